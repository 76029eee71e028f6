// The one bounded reader of HII package lists and of the IFR in forms packages.
// Every walk over package lists and opcodes goes through it: the form update,
// the registration of foreign stores, the snapshot of a card's values, the
// mirror walk, conditions and scope skipping. None of them does offset
// arithmetic on raw bytes.
//
// Nothing here trusts a length found inside the bytes. A package list is read
// up to the smaller of its stated length and the bytes really given; a package
// up to the smaller of its stated length and what the list leaves for it; an
// opcode only when its whole length lies inside its package. The first length
// that breaks these bounds (or is too short to hold its own header) stops the
// reader for good, with a status that says why.
//
//   PackageListReader Packages(ByteView(List, Size));
//   for (HiiPackage Package; Packages.Next(&Package);) {
//     if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
//     IfrCursor Cursor(Package.Bytes());
//     for (IfrOpCode Op; Cursor.Peek(&Op);) {
//       switch (Op.Kind()) { ... }   // then Cursor.Step() or Cursor.SkipScope()
//     }
//   }
#pragma once
#include "support/bytes.h"
#include "support/ifr_encode.h"
#include "support/memory.h"
#include "uefi/hii.h"
#include "uefi/ifr.h"

// Why a reader stopped. Sticky: once not Ok, it stays so and nothing more is read.
enum class IfrReadStatus : UINT8 {
  Ok,           // nothing malformed met (yet)
  ShortHeader,  // fewer bytes left than a header needs (list, package or opcode header)
  ShortLength,  // a stated length below its own header's size: an opcode of length 0 or 1,
                // a package below 4 bytes, a package list below 20
  PastEnd,      // a stated length that runs past the package or the list around it
  MissingEnd,   // the package ended while scopes were still open
};

// ---- Opcode facts ---------------------------------------------------------------

// What an opcode is, so that every walk can decide with one small switch.
enum class IfrKind : UINT8 {
  Unknown,     // not an opcode this table knows
  FormSet,     // EFI_IFR_FORM_SET
  Form,        // EFI_IFR_FORM, EFI_IFR_FORM_MAP
  Statement,   // subtitle, text, reset button: shown, no value
  Question,    // opcodes that carry an EFI_IFR_QUESTION_HEADER after their header
  Option,      // EFI_IFR_ONE_OF_OPTION
  Condition,   // suppress-if, gray-out-if, disable-if and the submit/warning checks
  Expression,  // operands and operators of conditions and values
  Store,       // variable-store declarations
  Default,     // EFI_IFR_DEFAULT and EFI_IFR_VALUE: where a question's value comes from
  Guid,        // EFI_IFR_GUID: labels and other extensions
  End,         // EFI_IFR_END
  Other,       // everything else the table knows (locked, refresh, rules, version, ...)
};

struct IFR_OPCODE_FACTS {
  UINT8 MinLength;  // bytes of the fixed fields, header included; an opcode below it is malformed
  IfrKind Kind;
};

namespace ifr_detail {

struct IFR_OPCODE_ROW {
  UINT8 OpCode;
  UINT8 MinLength;
  IfrKind Kind;
};

constexpr UINT8 HEADER = sizeof(EFI_IFR_OP_HEADER);
constexpr UINT8 QUESTION = HEADER + sizeof(EFI_IFR_QUESTION_HEADER);
// Numeric and one-of: the question, the flags and three bounds of at least one byte.
constexpr UINT8 RANGED_QUESTION = IfrNumericLength(EFI_IFR_NUMERIC_SIZE_1);

// One row per opcode the UEFI IFR defines. Lengths not taken from a structure
// of uefi/ifr.h are the fixed fields the UEFI specification gives the opcode.
inline constexpr IFR_OPCODE_ROW IFR_OPCODE_ROWS[] = {
    {EFI_IFR_FORM_OP, sizeof(EFI_IFR_FORM), IfrKind::Form},
    {EFI_IFR_SUBTITLE_OP, sizeof(EFI_IFR_SUBTITLE), IfrKind::Statement},
    {EFI_IFR_TEXT_OP, sizeof(EFI_IFR_TEXT), IfrKind::Statement},
    {EFI_IFR_IMAGE_OP, HEADER + 2, IfrKind::Other},
    {EFI_IFR_ONE_OF_OP, RANGED_QUESTION, IfrKind::Question},
    {EFI_IFR_CHECKBOX_OP, sizeof(EFI_IFR_CHECKBOX), IfrKind::Question},
    {EFI_IFR_NUMERIC_OP, RANGED_QUESTION, IfrKind::Question},
    {EFI_IFR_PASSWORD_OP, QUESTION + 4, IfrKind::Question},
    {EFI_IFR_ONE_OF_OPTION_OP, __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value) + 1, IfrKind::Option},
    {EFI_IFR_SUPPRESS_IF_OP, HEADER, IfrKind::Condition},
    {EFI_IFR_LOCKED_OP, HEADER, IfrKind::Other},
    {EFI_IFR_ACTION_OP, sizeof(EFI_IFR_ACTION_1), IfrKind::Question},
    {EFI_IFR_RESET_BUTTON_OP, HEADER + 6, IfrKind::Statement},
    {EFI_IFR_FORM_SET_OP, __builtin_offsetof(EFI_IFR_FORM_SET, ClassGuid), IfrKind::FormSet},
    {EFI_IFR_REF_OP, QUESTION, IfrKind::Question},
    {EFI_IFR_NO_SUBMIT_IF_OP, HEADER + 2, IfrKind::Condition},
    {EFI_IFR_INCONSISTENT_IF_OP, HEADER + 2, IfrKind::Condition},
    {EFI_IFR_EQ_ID_VAL_OP, sizeof(EFI_IFR_EQ_ID_VAL), IfrKind::Expression},
    {EFI_IFR_EQ_ID_ID_OP, sizeof(EFI_IFR_EQ_ID_ID), IfrKind::Expression},
    {EFI_IFR_EQ_ID_VAL_LIST_OP, __builtin_offsetof(EFI_IFR_EQ_ID_VAL_LIST, ValueList), IfrKind::Expression},
    {EFI_IFR_AND_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_OR_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_NOT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_RULE_OP, HEADER + 1, IfrKind::Other},
    {EFI_IFR_GRAY_OUT_IF_OP, HEADER, IfrKind::Condition},
    {EFI_IFR_DATE_OP, QUESTION + 1, IfrKind::Question},
    {EFI_IFR_TIME_OP, QUESTION + 1, IfrKind::Question},
    {EFI_IFR_STRING_OP, sizeof(EFI_IFR_STRING), IfrKind::Question},
    {EFI_IFR_REFRESH_OP, HEADER + 1, IfrKind::Other},
    {EFI_IFR_DISABLE_IF_OP, HEADER, IfrKind::Condition},
    {EFI_IFR_ANIMATION_OP, HEADER + 2, IfrKind::Other},
    {EFI_IFR_TO_LOWER_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_TO_UPPER_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_MAP_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_ORDERED_LIST_OP, QUESTION + 2, IfrKind::Question},
    {EFI_IFR_VARSTORE_OP, __builtin_offsetof(EFI_IFR_VARSTORE, Name), IfrKind::Store},
    {EFI_IFR_VARSTORE_NAME_VALUE_OP, HEADER + 2 + sizeof(EFI_GUID), IfrKind::Store},
    {EFI_IFR_VARSTORE_EFI_OP, __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name), IfrKind::Store},
    {EFI_IFR_VARSTORE_DEVICE_OP, HEADER + 2, IfrKind::Store},
    {EFI_IFR_VERSION_OP, HEADER, IfrKind::Other},
    {EFI_IFR_END_OP, HEADER, IfrKind::End},
    {EFI_IFR_MATCH_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_GET_OP, HEADER + 5, IfrKind::Expression},
    {EFI_IFR_SET_OP, HEADER + 5, IfrKind::Expression},
    {EFI_IFR_READ_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_WRITE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_EQUAL_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_NOT_EQUAL_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_GREATER_THAN_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_GREATER_EQUAL_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_LESS_THAN_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_LESS_EQUAL_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_BITWISE_AND_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_BITWISE_OR_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_BITWISE_NOT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_SHIFT_LEFT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_SHIFT_RIGHT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_ADD_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_SUBTRACT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_MULTIPLY_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_DIVIDE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_MODULO_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_RULE_REF_OP, HEADER + 1, IfrKind::Expression},
    {EFI_IFR_QUESTION_REF1_OP, HEADER + 2, IfrKind::Expression},
    {EFI_IFR_QUESTION_REF2_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_UINT8_OP, HEADER + 1, IfrKind::Expression},
    {EFI_IFR_UINT16_OP, HEADER + 2, IfrKind::Expression},
    {EFI_IFR_UINT32_OP, HEADER + 4, IfrKind::Expression},
    {EFI_IFR_UINT64_OP, HEADER + 8, IfrKind::Expression},
    {EFI_IFR_TRUE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_FALSE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_TO_UINT_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_TO_STRING_OP, HEADER + 1, IfrKind::Expression},
    {EFI_IFR_TO_BOOLEAN_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_MID_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_FIND_OP, HEADER + 1, IfrKind::Expression},
    {EFI_IFR_TOKEN_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_STRING_REF1_OP, HEADER + 2, IfrKind::Expression},
    {EFI_IFR_STRING_REF2_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_CONDITIONAL_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_QUESTION_REF3_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_ZERO_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_ONE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_ONES_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_UNDEFINED_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_LENGTH_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_DUP_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_THIS_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_SPAN_OP, HEADER + 1, IfrKind::Expression},
    {EFI_IFR_VALUE_OP, HEADER, IfrKind::Default},
    {EFI_IFR_DEFAULT_OP, sizeof(EFI_IFR_DEFAULT_2), IfrKind::Default},
    {EFI_IFR_DEFAULTSTORE_OP, sizeof(EFI_IFR_DEFAULTSTORE), IfrKind::Other},
    {EFI_IFR_FORM_MAP_OP, sizeof(EFI_IFR_FORM_MAP), IfrKind::Form},
    {EFI_IFR_CATENATE_OP, HEADER, IfrKind::Expression},
    {EFI_IFR_GUID_OP, sizeof(EFI_IFR_GUID), IfrKind::Guid},
    {EFI_IFR_SECURITY_OP, HEADER + sizeof(EFI_GUID), IfrKind::Expression},
    {EFI_IFR_MODAL_TAG_OP, HEADER, IfrKind::Other},
    {EFI_IFR_REFRESH_ID_OP, HEADER + sizeof(EFI_GUID), IfrKind::Other},
    {EFI_IFR_WARNING_IF_OP, HEADER + 3, IfrKind::Condition},
    {EFI_IFR_MATCH2_OP, HEADER + sizeof(EFI_GUID), IfrKind::Expression},
};

struct IFR_OPCODE_TABLE {
  IFR_OPCODE_FACTS Entries[256];
  bool Consistent;  // every opcode listed once
};

constexpr IFR_OPCODE_TABLE BuildOpCodeTable() {
  IFR_OPCODE_TABLE Table{};
  Table.Consistent = true;
  for (IFR_OPCODE_FACTS &Entry : Table.Entries) Entry = {HEADER, IfrKind::Unknown};
  for (const IFR_OPCODE_ROW &Row : IFR_OPCODE_ROWS) {
    if (Table.Entries[Row.OpCode].Kind != IfrKind::Unknown || Row.MinLength < HEADER)
      Table.Consistent = false;
    Table.Entries[Row.OpCode] = {Row.MinLength, Row.Kind};
  }
  return Table;
}

inline constexpr IFR_OPCODE_TABLE IFR_OPCODE_TABLE_BUILT = BuildOpCodeTable();
static_assert(IFR_OPCODE_TABLE_BUILT.Consistent, "each opcode once, none shorter than its header");
static_assert(ArrayCount(IFR_OPCODE_ROWS) == EFI_IFR_MATCH2_OP, "every opcode from 0x01 to 0x64");

}  // namespace ifr_detail

// The facts of any opcode byte; an unknown one is an Unknown of header length.
constexpr const IFR_OPCODE_FACTS &IfrOpCodeFacts(UINT8 OpCode) {
  return ifr_detail::IFR_OPCODE_TABLE_BUILT.Entries[OpCode];
}

// ---- Structures with a variable part ----------------------------------------------
// How many bytes an opcode must have before it can be loaded into T: its fixed
// fields. For most structures that is all of T; for those that end in a name,
// a list or a value of the opcode's own width it is less, and Load fills the
// rest of T only with what the opcode really holds.
template <typename T>
constexpr UINTN IfrRequiredLength(const T *, ByteView) {
  return sizeof(T);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_FORM_SET *, ByteView) {
  return __builtin_offsetof(EFI_IFR_FORM_SET, ClassGuid);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_VARSTORE *, ByteView) {
  return __builtin_offsetof(EFI_IFR_VARSTORE, Name);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_VARSTORE_EFI *, ByteView) {
  return __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_EQ_ID_VAL_LIST *, ByteView) {
  return __builtin_offsetof(EFI_IFR_EQ_ID_VAL_LIST, ValueList);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_ACTION *, ByteView) { return sizeof(EFI_IFR_ACTION_1); }
// A numeric or one-of needs its three bounds at the width its flags give.
constexpr UINTN IfrRequiredLength(const EFI_IFR_NUMERIC *, ByteView Op) {
  UINT8 Flags = 0;
  return Op.Read8(__builtin_offsetof(EFI_IFR_NUMERIC, Flags), &Flags) ? IfrNumericLength(Flags)
                                                                      : sizeof(EFI_IFR_NUMERIC);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_ONE_OF *, ByteView Op) {
  return IfrRequiredLength(static_cast<const EFI_IFR_NUMERIC *>(nullptr), Op);
}
// An option or a default needs a value of the width its type gives.
constexpr UINTN IfrRequiredLength(const EFI_IFR_ONE_OF_OPTION *, ByteView Op) {
  UINT8 Type = 0;
  if (!Op.Read8(__builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Type), &Type)) return sizeof(EFI_IFR_ONE_OF_OPTION);
  return __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value) + IfrValueWidth(Type);
}
constexpr UINTN IfrRequiredLength(const EFI_IFR_DEFAULT *, ByteView Op) {
  UINT8 Type = 0;
  if (!Op.Read8(__builtin_offsetof(EFI_IFR_DEFAULT, Type), &Type)) return sizeof(EFI_IFR_DEFAULT);
  return __builtin_offsetof(EFI_IFR_DEFAULT, Value) + IfrValueWidth(Type);
}

// ---- One opcode --------------------------------------------------------------------

// A view of one whole opcode inside its package. Every read is bounded by the
// opcode's own length.
class IfrOpCode {
 public:
  constexpr IfrOpCode() = default;
  constexpr IfrOpCode(ByteView Bytes, UINTN Position) : Bytes_(Bytes), Position_(Position) {}

  constexpr UINT8 Code() const { return Bytes_.Empty() ? 0 : Bytes_.Data()[0]; }
  constexpr UINT8 Length() const { return static_cast<UINT8>(Bytes_.Size()); }
  constexpr bool Scope() const { return Bytes_.Size() >= 2 && (Bytes_.Data()[1] & IFR_SCOPE_BIT) != 0; }
  // Offset of the opcode from the start of the package (or opcode sequence) it was read from.
  constexpr UINTN Position() const { return Position_; }
  // The whole opcode, header included.
  constexpr ByteView Bytes() const { return Bytes_; }

  constexpr const IFR_OPCODE_FACTS &Facts() const { return IfrOpCodeFacts(Code()); }
  constexpr IfrKind Kind() const { return Facts().Kind; }
  // False for an opcode shorter than the fixed fields of its kind.
  constexpr bool HasFixedFields() const { return Length() >= Facts().MinLength; }

  // Little-endian fields at an offset from the opcode's first byte (header included).
  constexpr bool Read8(UINTN Offset, UINT8 *Value) const { return Bytes_.Read8(Offset, Value); }
  constexpr bool Read16(UINTN Offset, UINT16 *Value) const { return Bytes_.Read16(Offset, Value); }
  constexpr bool Read32(UINTN Offset, UINT32 *Value) const { return Bytes_.Read32(Offset, Value); }
  constexpr bool ReadValue(UINTN Offset, UINTN Width, UINT64 *Value) const {
    return Bytes_.ReadValue(Offset, Width, Value);
  }
  // A GUID stored in standard byte order at Offset.
  constexpr bool ReadGuid(UINTN Offset, EFI_GUID *Guid) const {
    UINT32 Data1 = 0;
    UINT16 Data2 = 0, Data3 = 0;
    if (!Bytes_.Holds(Offset, sizeof(EFI_GUID)) || !Read32(Offset, &Data1) || !Read16(Offset + 4, &Data2) ||
        !Read16(Offset + 6, &Data3))
      return false;
    Guid->Data1 = Data1;
    Guid->Data2 = Data2;
    Guid->Data3 = Data3;
    for (UINTN Index = 0; Index < 8; ++Index) Guid->Data4[Index] = Bytes_.Data()[Offset + 8 + Index];
    return true;
  }
  // The bytes from Offset to the opcode's end (a name, a value list); empty past the end.
  constexpr ByteView Tail(UINTN Offset) const { return Bytes_.From(Offset); }

  // True when both are the same opcode byte for byte, header and scope bit included.
  constexpr bool SameAs(const IfrOpCode &Other) const { return Bytes_.SameBytes(Other.Bytes_); }

  // Copies the opcode into the packed structure T (header included) when it
  // holds T's fixed fields (IfrRequiredLength); the part of T the opcode does
  // not reach is zeroed. False, and *Out untouched, when the opcode is shorter.
  template <typename T>
  bool Load(T *Out) const {
    if (Bytes_.Size() < IfrRequiredLength(static_cast<const T *>(nullptr), Bytes_)) return false;
    ZeroBytes(Out, sizeof(T));
    CopyBytes(Out, Bytes_.Data(), Bytes_.Size() < sizeof(T) ? Bytes_.Size() : sizeof(T));
    return true;
  }

 private:
  ByteView Bytes_;
  UINTN Position_ = 0;
};

// The question header of a Question-kind opcode. False for other opcodes and
// for one too short to hold it.
constexpr bool ReadQuestionFields(const IfrOpCode &Op, IFR_QUESTION_FIELDS *Fields) {
  constexpr UINTN At = sizeof(EFI_IFR_OP_HEADER);
  if (Op.Kind() != IfrKind::Question || !Op.Bytes().Holds(At, sizeof(EFI_IFR_QUESTION_HEADER))) return false;
  IFR_QUESTION_FIELDS Read{};
  Op.Read16(At + __builtin_offsetof(EFI_IFR_STATEMENT_HEADER, Prompt), &Read.Prompt);
  Op.Read16(At + __builtin_offsetof(EFI_IFR_STATEMENT_HEADER, Help), &Read.Help);
  Op.Read16(At + __builtin_offsetof(EFI_IFR_QUESTION_HEADER, QuestionId), &Read.QuestionId);
  Op.Read16(At + __builtin_offsetof(EFI_IFR_QUESTION_HEADER, VarStoreId), &Read.VarStoreId);
  Op.Read16(At + __builtin_offsetof(EFI_IFR_QUESTION_HEADER, VarStoreInfo), &Read.VarOffset);
  Op.Read8(At + __builtin_offsetof(EFI_IFR_QUESTION_HEADER, Flags), &Read.Flags);
  *Fields = Read;
  return true;
}

// The flags and bounds of a numeric or one-of, each widened to 64 bits. False
// for other opcodes and for one too short for the width its flags give.
constexpr bool ReadNumericRange(const IfrOpCode &Op, IFR_NUMERIC_RANGE *Range) {
  constexpr UINTN FlagsAt = __builtin_offsetof(EFI_IFR_NUMERIC, Flags);
  constexpr UINTN DataAt = __builtin_offsetof(EFI_IFR_NUMERIC, data);
  IFR_NUMERIC_RANGE Read{};
  if ((Op.Code() != EFI_IFR_NUMERIC_OP && Op.Code() != EFI_IFR_ONE_OF_OP) ||
      !Op.Read8(FlagsAt, &Read.NumericFlags))
    return false;
  const UINTN Width = IfrNumericWidth(Read.NumericFlags);
  if (!Op.ReadValue(DataAt, Width, &Read.Minimum) || !Op.ReadValue(DataAt + Width, Width, &Read.Maximum) ||
      !Op.ReadValue(DataAt + 2 * Width, Width, &Read.Step))
    return false;
  *Range = Read;
  return true;
}

// ---- Opcodes of a forms package ------------------------------------------------------

// A cursor over the opcodes of one forms package (or of a bare opcode
// sequence). It stands on one opcode at a time: Peek reads it, Step consumes
// it, SkipScope consumes it with everything up to the END that closes its
// scope. It keeps the scope depth: an opcode with the scope bit opens a scope,
// an END closes the innermost one (an END with no scope open leaves the depth
// at 0) and opens none, whatever its scope bit says. Copying a cursor keeps a
// position to come back to.
class IfrCursor {
 public:
  // Package: a forms package, its 4-byte header included. The opcodes start
  // after the header and end at the smaller of the header's length and the
  // view's size.
  constexpr explicit IfrCursor(ByteView Package) : Bytes_(Package) {
    if (Package.Size() < sizeof(EFI_HII_PACKAGE_HEADER)) {
      Status_ = IfrReadStatus::ShortHeader;
      return;
    }
    const UINT32 Stated = ReadLe24(Package.Data());
    if (Stated < sizeof(EFI_HII_PACKAGE_HEADER)) {
      Status_ = IfrReadStatus::ShortLength;
      return;
    }
    Limit_ = Stated < Package.Size() ? Stated : Package.Size();
    Position_ = sizeof(EFI_HII_PACKAGE_HEADER);
  }
  // Opcodes packed back to back from the first byte, with no package header
  // (an opcode buffer).
  static constexpr IfrCursor OverOpCodes(ByteView OpCodes) { return IfrCursor(OpCodes, OpCodes.Size()); }

  // The opcode the cursor stands on. False at the end of the opcodes and at a
  // malformed opcode; the status then tells which (Ok at a clean end).
  constexpr bool Peek(IfrOpCode *Op) {
    if (Status_ != IfrReadStatus::Ok) return false;
    const UINTN Left = Limit_ - Position_;
    if (Left == 0) {
      if (Depth_ != 0) Status_ = IfrReadStatus::MissingEnd;
      return false;
    }
    if (Left < sizeof(EFI_IFR_OP_HEADER)) return Stop(IfrReadStatus::ShortHeader);
    const UINT8 Length = Bytes_.Data()[Position_ + 1] & IFR_LENGTH_MASK;
    if (Length < sizeof(EFI_IFR_OP_HEADER)) return Stop(IfrReadStatus::ShortLength);
    if (Length > Left) return Stop(IfrReadStatus::PastEnd);
    // Inside the view: Position_ + Length is at most the limit, which is at
    // most the view's size.
    *Op = IfrOpCode(ByteView(Bytes_.Data() + Position_, Length), Position_);
    return true;
  }

  // Consumes the opcode the cursor stands on; nothing at the end or at a fault.
  constexpr void Step() {
    IfrOpCode Op;
    if (Peek(&Op)) Pass(Op);
  }

  // Peek, then Step: the pull form for walks that handle every opcode in turn.
  constexpr bool Next(IfrOpCode *Op) {
    if (!Peek(Op)) return false;
    Pass(*Op);
    return true;
  }

  // Consumes the opcode the cursor stands on together with its scope, through
  // the END that closes it; an opcode without scope is consumed alone. The
  // depth is then what it was before. False when the opcodes end or turn
  // malformed first: the cursor stops there, with MissingEnd or the fault.
  constexpr bool SkipScope() {
    IfrOpCode Op;
    if (!Peek(&Op)) return false;
    const UINTN Outer = Depth_;
    Pass(Op);
    while (Depth_ > Outer) {
      if (!Peek(&Op)) {
        if (Status_ == IfrReadStatus::Ok) Status_ = IfrReadStatus::MissingEnd;
        return false;
      }
      Pass(Op);
    }
    return true;
  }

  // Offset of the opcode the cursor stands on, from the package's first byte.
  constexpr UINTN Position() const { return Position_; }
  // Scopes open at the current opcode.
  constexpr UINTN Depth() const { return Depth_; }
  // Where the opcodes end.
  constexpr UINTN Limit() const { return Limit_; }
  constexpr IfrReadStatus Status() const { return Status_; }
  // The bytes the cursor reads from (the whole package view it was given).
  constexpr ByteView Bytes() const { return Bytes_; }

 private:
  constexpr IfrCursor(ByteView Bytes, UINTN Limit) : Bytes_(Bytes), Limit_(Limit) {}
  // Moves past Op, which Peek just gave (so it is whole and inside the limit).
  // An END closes a scope and never opens one, whatever its scope bit says.
  constexpr void Pass(const IfrOpCode &Op) {
    Position_ += Op.Length();
    if (Op.Code() == EFI_IFR_END_OP) {
      if (Depth_ > 0) --Depth_;
    } else if (Op.Scope()) {
      ++Depth_;
    }
  }
  constexpr bool Stop(IfrReadStatus Why) {
    Status_ = Why;
    return false;
  }

  ByteView Bytes_;
  UINTN Position_ = 0;
  UINTN Limit_ = 0;
  UINTN Depth_ = 0;
  IfrReadStatus Status_ = IfrReadStatus::Ok;
};

// ---- Packages of a package list ----------------------------------------------------------

// A view of one whole package.
class HiiPackage {
 public:
  constexpr HiiPackage() = default;
  constexpr HiiPackage(ByteView Bytes, UINTN Offset) : Bytes_(Bytes), Offset_(Offset) {}

  constexpr UINT8 Type() const { return Bytes_.Size() < 4 ? 0 : Bytes_.Data()[3]; }
  constexpr UINTN Length() const { return Bytes_.Size(); }
  // Offset of the package from the start of the package list.
  constexpr UINTN Offset() const { return Offset_; }
  // The whole package, its header included (what IfrCursor takes).
  constexpr ByteView Bytes() const { return Bytes_; }
  // What follows the 4-byte header.
  constexpr ByteView Body() const { return Bytes_.From(sizeof(EFI_HII_PACKAGE_HEADER)); }

 private:
  ByteView Bytes_;
  UINTN Offset_ = 0;
};

// A reader of the packages of an exported package list
// (EFI_HII_PACKAGE_LIST_HEADER, then packages back to back). The end package
// is handed out like any other; the reader stops at the list's end.
class PackageListReader {
 public:
  constexpr explicit PackageListReader(ByteView List) : List_(List) {
    if (List.Size() < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) {
      Status_ = IfrReadStatus::ShortHeader;
      return;
    }
    const UINT32 Stated =
        ReadLe32(List.Data() + __builtin_offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength));
    if (Stated < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) {
      Status_ = IfrReadStatus::ShortLength;
      return;
    }
    Limit_ = Stated < List.Size() ? Stated : List.Size();
    Offset_ = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  }

  // The next package. False at the end of the list and at a malformed package
  // header; the status then tells which (Ok at a clean end).
  constexpr bool Next(HiiPackage *Package) {
    if (Status_ != IfrReadStatus::Ok || Offset_ == Limit_) return false;
    const UINTN Left = Limit_ - Offset_;
    if (Left < sizeof(EFI_HII_PACKAGE_HEADER)) return Stop(IfrReadStatus::ShortHeader);
    const UINT32 Length = ReadLe24(List_.Data() + Offset_);
    if (Length < sizeof(EFI_HII_PACKAGE_HEADER)) return Stop(IfrReadStatus::ShortLength);
    if (Length > Left) return Stop(IfrReadStatus::PastEnd);
    *Package = HiiPackage(List_.Slice(Offset_, Length), Offset_);
    Offset_ += Length;
    return true;
  }

  // The 20-byte list header; empty when the list is shorter.
  constexpr ByteView Header() const {
    return List_.Size() < sizeof(EFI_HII_PACKAGE_LIST_HEADER)
               ? ByteView()
               : List_.First(sizeof(EFI_HII_PACKAGE_LIST_HEADER));
  }
  // Where the packages end: the smaller of the stated length and the real size.
  constexpr UINTN Limit() const { return Limit_; }
  constexpr IfrReadStatus Status() const { return Status_; }

 private:
  constexpr bool Stop(IfrReadStatus Why) {
    Status_ = Why;
    return false;
  }

  ByteView List_;
  UINTN Offset_ = 0;
  UINTN Limit_ = 0;
  IfrReadStatus Status_ = IfrReadStatus::Ok;
};

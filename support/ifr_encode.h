// The one encoding of every IFR opcode the driver writes. The compiler runs
// these functions to build the static form set (forms/static_packages.cpp) and
// the run-time opcode writers (support/opcode_buffer.cpp) run the same ones, so
// an opcode has the same bytes wherever it comes from.
//
// Each encoder appends one whole opcode to a ByteWriter. An encoder whose
// fields do not fill exactly the length it announced fails the writer, which in
// constant evaluation stops the compilation (the static form set checks the
// writer) and at run time keeps the opcode out of the page.
#pragma once
#include "support/bytes.h"
#include "uefi/guids.h"
#include "uefi/ifr.h"

// The question header shared by every question opcode.
struct IFR_QUESTION_FIELDS {
  EFI_STRING_ID Prompt;
  EFI_STRING_ID Help;
  EFI_QUESTION_ID QuestionId;
  EFI_VARSTORE_ID VarStoreId;
  UINT16 VarOffset;  // VarStoreInfo: byte offset in a buffer or EFI-variable store
  UINT8 Flags;       // EFI_IFR_FLAG_*
};

// The flags and bounds of a numeric or one-of. The size bits of NumericFlags
// give the width at which Minimum, Maximum and Step are stored; each value is
// cut to that width.
struct IFR_NUMERIC_RANGE {
  UINT8 NumericFlags;
  UINT64 Minimum;
  UINT64 Maximum;
  UINT64 Step;
};

// Bytes a value of an EFI_IFR_TYPE_* takes in an option or a default; 0 for
// the types whose value has no fixed width (buffers, undefined, other).
constexpr UINT8 IfrValueWidth(UINT8 Type) {
  switch (Type) {
    case EFI_IFR_TYPE_NUM_SIZE_8:
    case EFI_IFR_TYPE_BOOLEAN:
      return 1;
    case EFI_IFR_TYPE_NUM_SIZE_16:
    case EFI_IFR_TYPE_STRING:
    case EFI_IFR_TYPE_ACTION:
      return 2;
    case EFI_IFR_TYPE_NUM_SIZE_32:
      return 4;
    case EFI_IFR_TYPE_NUM_SIZE_64:
      return 8;
    case EFI_IFR_TYPE_TIME:
      return sizeof(EFI_HII_TIME);
    case EFI_IFR_TYPE_DATE:
      return sizeof(EFI_HII_DATE);
    case EFI_IFR_TYPE_REF:
      return sizeof(EFI_HII_REF);
    default:
      return 0;
  }
}

// ---- Opcode frame ----------------------------------------------------------------

// Writes the opcode header and returns where the opcode starts; EndOpCode then
// checks that the fields written fill exactly the length the header announced.
constexpr UINTN BeginOpCode(ByteWriter &Out, UINT8 OpCode, UINTN Length, bool Scope) {
  if (Length < sizeof(EFI_IFR_OP_HEADER) || Length > IFR_LENGTH_MASK) Out.Fail();
  const UINTN Start = Out.Size();
  Out.Put8(OpCode);
  Out.Put8(IfrLengthByte(static_cast<UINT8>(Length), Scope));
  return Start;
}
constexpr void EndOpCode(ByteWriter &Out, UINTN Start) {
  if (Out.Size() - Start != (Out.At(Start + 1) & IFR_LENGTH_MASK)) Out.Fail();
}

// Opcodes that are nothing but their header (END, SUPPRESS_IF, TRUE, ...).
constexpr void EncodeHeaderOnly(ByteWriter &Out, UINT8 OpCode, bool Scope) {
  EndOpCode(Out, BeginOpCode(Out, OpCode, sizeof(EFI_IFR_OP_HEADER), Scope));
}
constexpr void EncodeEnd(ByteWriter &Out) { EncodeHeaderOnly(Out, EFI_IFR_END_OP, false); }

// ---- Form set, forms, stores ---------------------------------------------------------

// A form set with one class GUID; its scope holds the whole form set.
constexpr void EncodeFormSet(ByteWriter &Out, const EFI_GUID &Guid, EFI_STRING_ID Title, EFI_STRING_ID Help,
                             const EFI_GUID &ClassGuid) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_FORM_SET_OP, sizeof(EFI_IFR_FORM_SET), true);
  Out.PutGuid(Guid);
  Out.Put16(Title);
  Out.Put16(Help);
  Out.Put8(1);  // one class GUID follows
  Out.PutGuid(ClassGuid);
  EndOpCode(Out, Start);
}

constexpr void EncodeForm(ByteWriter &Out, EFI_FORM_ID FormId, EFI_STRING_ID Title) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_FORM_OP, sizeof(EFI_IFR_FORM), true);
  Out.Put16(FormId);
  Out.Put16(Title);
  EndOpCode(Out, Start);
}

constexpr void EncodeDefaultStore(ByteWriter &Out, EFI_STRING_ID Name, EFI_DEFAULT_ID DefaultId) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_DEFAULTSTORE_OP, sizeof(EFI_IFR_DEFAULTSTORE), false);
  Out.Put16(Name);
  Out.Put16(DefaultId);
  EndOpCode(Out, Start);
}

// A store that is a UEFI variable; Name is the variable's ASCII name.
constexpr void EncodeVarStoreEfi(ByteWriter &Out, EFI_VARSTORE_ID Id, const EFI_GUID &Guid, UINT32 Attributes,
                                 UINT16 Size, const CHAR8 *Name) {
  const UINTN Length = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name) + AsciiSize(Name);
  const UINTN Start = BeginOpCode(Out, EFI_IFR_VARSTORE_EFI_OP, Length, false);
  Out.Put16(Id);
  Out.PutGuid(Guid);
  Out.Put32(Attributes);
  Out.Put16(Size);
  Out.PutAscii(Name);
  EndOpCode(Out, Start);
}

// ---- GUID extensions: labels, class, subclass ------------------------------------------

// The extensions share one layout: the extended opcode and a 16-bit value.
constexpr void EncodeGuidExtension(ByteWriter &Out, UINT8 ExtendOpCode, UINT16 Value) {
  static_assert(sizeof(EFI_IFR_GUID_CLASS) == sizeof(EFI_IFR_GUID_LABEL));
  static_assert(sizeof(EFI_IFR_GUID_SUBCLASS) == sizeof(EFI_IFR_GUID_LABEL));
  const UINTN Start = BeginOpCode(Out, EFI_IFR_GUID_OP, sizeof(EFI_IFR_GUID_LABEL), false);
  Out.PutGuid(IFR_EXTENSION_GUID);
  Out.Put8(ExtendOpCode);
  Out.Put16(Value);
  EndOpCode(Out, Start);
}
constexpr void EncodeLabel(ByteWriter &Out, UINT16 Number) {
  EncodeGuidExtension(Out, EFI_IFR_EXTEND_OP_LABEL, Number);
}

// ---- Statements and questions ------------------------------------------------------------

constexpr void EncodeQuestionHeader(ByteWriter &Out, const IFR_QUESTION_FIELDS &Question) {
  Out.Put16(Question.Prompt);
  Out.Put16(Question.Help);
  Out.Put16(Question.QuestionId);
  Out.Put16(Question.VarStoreId);
  Out.Put16(Question.VarOffset);
  Out.Put8(Question.Flags);
}

// A numeric (EFI_IFR_NUMERIC_OP) or one-of (EFI_IFR_ONE_OF_OP): the question,
// the flags and the three bounds at the width the flags give.
constexpr void EncodeRangedQuestion(ByteWriter &Out, UINT8 OpCode, const IFR_QUESTION_FIELDS &Question,
                                    const IFR_NUMERIC_RANGE &Range, bool Scope) {
  const UINT8 Width = IfrNumericWidth(Range.NumericFlags);
  const UINTN Start = BeginOpCode(Out, OpCode, IfrNumericLength(Range.NumericFlags), Scope);
  EncodeQuestionHeader(Out, Question);
  Out.Put8(Range.NumericFlags);
  Out.PutValue(Range.Minimum, Width);
  Out.PutValue(Range.Maximum, Width);
  Out.PutValue(Range.Step, Width);
  EndOpCode(Out, Start);
}
constexpr void EncodeNumeric(ByteWriter &Out, const IFR_QUESTION_FIELDS &Question,
                             const IFR_NUMERIC_RANGE &Range, bool Scope) {
  EncodeRangedQuestion(Out, EFI_IFR_NUMERIC_OP, Question, Range, Scope);
}
// The one-of opcode alone; its options and END follow it inside its scope.
constexpr void EncodeOneOf(ByteWriter &Out, const IFR_QUESTION_FIELDS &Question,
                           const IFR_NUMERIC_RANGE &Range) {
  EncodeRangedQuestion(Out, EFI_IFR_ONE_OF_OP, Question, Range, true);
}

// An option whose value has the width of Type (EFI_IFR_TYPE_*); a type without
// a fixed width fails the writer.
constexpr void EncodeOneOfOption(ByteWriter &Out, EFI_STRING_ID Option, UINT8 Flags, UINT8 Type,
                                 UINT64 Value) {
  const UINT8 Width = IfrValueWidth(Type);
  if (Width == 0 || Width > sizeof(UINT64)) Out.Fail();
  const UINTN Start = BeginOpCode(Out, EFI_IFR_ONE_OF_OPTION_OP,
                                  __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value) + Width, false);
  Out.Put16(Option);
  Out.Put8(Flags);
  Out.Put8(Type);
  Out.PutValue(Value, Width);
  EndOpCode(Out, Start);
}

// A default of the question's own width and type (the numeric size bits and
// the numeric value types are numbered alike).
constexpr void EncodeDefault(ByteWriter &Out, EFI_DEFAULT_ID DefaultId, UINT8 NumericFlags, UINT64 Value) {
  static_assert(EFI_IFR_TYPE_NUM_SIZE_8 == EFI_IFR_NUMERIC_SIZE_1 &&
                EFI_IFR_TYPE_NUM_SIZE_16 == EFI_IFR_NUMERIC_SIZE_2);
  static_assert(EFI_IFR_TYPE_NUM_SIZE_32 == EFI_IFR_NUMERIC_SIZE_4 &&
                EFI_IFR_TYPE_NUM_SIZE_64 == EFI_IFR_NUMERIC_SIZE_8);
  const UINT8 Width = IfrNumericWidth(NumericFlags);
  const UINTN Start = BeginOpCode(Out, EFI_IFR_DEFAULT_OP, IfrDefaultLength(Width), false);
  Out.Put16(DefaultId);
  Out.Put8(NumericFlags & EFI_IFR_NUMERIC_SIZE);  // EFI_IFR_TYPE_NUM_SIZE_*
  Out.PutValue(Value, Width);
  EndOpCode(Out, Start);
}

constexpr void EncodeText(ByteWriter &Out, EFI_STRING_ID Prompt, EFI_STRING_ID Help, EFI_STRING_ID TextTwo) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_TEXT_OP, sizeof(EFI_IFR_TEXT), false);
  Out.Put16(Prompt);
  Out.Put16(Help);
  Out.Put16(TextTwo);
  EndOpCode(Out, Start);
}

constexpr void EncodeString(ByteWriter &Out, const IFR_QUESTION_FIELDS &Question, UINT8 MinSize,
                            UINT8 MaxSize, UINT8 Flags) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_STRING_OP, sizeof(EFI_IFR_STRING), false);
  EncodeQuestionHeader(Out, Question);
  Out.Put8(MinSize);
  Out.Put8(MaxSize);
  Out.Put8(Flags);
  EndOpCode(Out, Start);
}

// A goto to FormId of the same form set.
constexpr void EncodeRef(ByteWriter &Out, const IFR_QUESTION_FIELDS &Question, EFI_FORM_ID FormId) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_REF_OP, sizeof(EFI_IFR_REF), false);
  EncodeQuestionHeader(Out, Question);
  Out.Put16(FormId);
  EndOpCode(Out, Start);
}

// ---- Expressions ------------------------------------------------------------------------

constexpr void EncodeEqIdVal(ByteWriter &Out, EFI_QUESTION_ID QuestionId, UINT16 Value) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_EQ_ID_VAL_OP, sizeof(EFI_IFR_EQ_ID_VAL), false);
  Out.Put16(QuestionId);
  Out.Put16(Value);
  EndOpCode(Out, Start);
}

// True while the question's value is one of the Count values.
constexpr void EncodeEqIdValList(ByteWriter &Out, EFI_QUESTION_ID QuestionId, const UINT16 *Values,
                                 UINTN Count) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_EQ_ID_VAL_LIST_OP, IfrEqIdValListLength(Count), false);
  Out.Put16(QuestionId);
  Out.Put16(static_cast<UINT16>(Count));
  for (UINTN Index = 0; Index < Count; ++Index) Out.Put16(Values[Index]);
  EndOpCode(Out, Start);
}

// IFR (internal forms representation) opcodes: the byte layouts of the opcodes
// the driver writes or reads, and the codes of their fields.
//
// Every structure is packed (alignment 1) because opcodes sit back to back at
// any offset inside a forms package; all multi-byte fields are little-endian.
// Structures that end in a variable part (a name, a value list, a value of the
// question's width) declare it with its largest or first element; the length
// byte of the opcode header, not sizeof, tells how many bytes an opcode takes.
// Taking the address of a member of these structures gives an unaligned
// pointer: copy fields out (CopyBytes) instead of binding references to them.
#pragma once
#include "uefi/base.h"
#include "uefi/hii.h"

// ---- Opcode numbers ----------------------------------------------------------
inline constexpr UINT8 EFI_IFR_FORM_OP = 0x01;
inline constexpr UINT8 EFI_IFR_SUBTITLE_OP = 0x02;
inline constexpr UINT8 EFI_IFR_TEXT_OP = 0x03;
inline constexpr UINT8 EFI_IFR_IMAGE_OP = 0x04;
inline constexpr UINT8 EFI_IFR_ONE_OF_OP = 0x05;
inline constexpr UINT8 EFI_IFR_CHECKBOX_OP = 0x06;
inline constexpr UINT8 EFI_IFR_NUMERIC_OP = 0x07;
inline constexpr UINT8 EFI_IFR_PASSWORD_OP = 0x08;
inline constexpr UINT8 EFI_IFR_ONE_OF_OPTION_OP = 0x09;
inline constexpr UINT8 EFI_IFR_SUPPRESS_IF_OP = 0x0A;
inline constexpr UINT8 EFI_IFR_LOCKED_OP = 0x0B;
inline constexpr UINT8 EFI_IFR_ACTION_OP = 0x0C;
inline constexpr UINT8 EFI_IFR_RESET_BUTTON_OP = 0x0D;
inline constexpr UINT8 EFI_IFR_FORM_SET_OP = 0x0E;
inline constexpr UINT8 EFI_IFR_REF_OP = 0x0F;
inline constexpr UINT8 EFI_IFR_NO_SUBMIT_IF_OP = 0x10;
inline constexpr UINT8 EFI_IFR_INCONSISTENT_IF_OP = 0x11;
inline constexpr UINT8 EFI_IFR_EQ_ID_VAL_OP = 0x12;
inline constexpr UINT8 EFI_IFR_EQ_ID_ID_OP = 0x13;
inline constexpr UINT8 EFI_IFR_EQ_ID_VAL_LIST_OP = 0x14;
inline constexpr UINT8 EFI_IFR_AND_OP = 0x15;
inline constexpr UINT8 EFI_IFR_OR_OP = 0x16;
inline constexpr UINT8 EFI_IFR_NOT_OP = 0x17;
inline constexpr UINT8 EFI_IFR_RULE_OP = 0x18;
inline constexpr UINT8 EFI_IFR_GRAY_OUT_IF_OP = 0x19;
inline constexpr UINT8 EFI_IFR_DATE_OP = 0x1A;
inline constexpr UINT8 EFI_IFR_TIME_OP = 0x1B;
inline constexpr UINT8 EFI_IFR_STRING_OP = 0x1C;
inline constexpr UINT8 EFI_IFR_REFRESH_OP = 0x1D;
inline constexpr UINT8 EFI_IFR_DISABLE_IF_OP = 0x1E;
inline constexpr UINT8 EFI_IFR_ANIMATION_OP = 0x1F;
inline constexpr UINT8 EFI_IFR_TO_LOWER_OP = 0x20;
inline constexpr UINT8 EFI_IFR_TO_UPPER_OP = 0x21;
inline constexpr UINT8 EFI_IFR_MAP_OP = 0x22;
inline constexpr UINT8 EFI_IFR_ORDERED_LIST_OP = 0x23;
inline constexpr UINT8 EFI_IFR_VARSTORE_OP = 0x24;
inline constexpr UINT8 EFI_IFR_VARSTORE_NAME_VALUE_OP = 0x25;
inline constexpr UINT8 EFI_IFR_VARSTORE_EFI_OP = 0x26;
inline constexpr UINT8 EFI_IFR_VARSTORE_DEVICE_OP = 0x27;
inline constexpr UINT8 EFI_IFR_VERSION_OP = 0x28;
inline constexpr UINT8 EFI_IFR_END_OP = 0x29;
inline constexpr UINT8 EFI_IFR_MATCH_OP = 0x2A;
inline constexpr UINT8 EFI_IFR_GET_OP = 0x2B;
inline constexpr UINT8 EFI_IFR_SET_OP = 0x2C;
inline constexpr UINT8 EFI_IFR_READ_OP = 0x2D;
inline constexpr UINT8 EFI_IFR_WRITE_OP = 0x2E;
inline constexpr UINT8 EFI_IFR_EQUAL_OP = 0x2F;
inline constexpr UINT8 EFI_IFR_NOT_EQUAL_OP = 0x30;
inline constexpr UINT8 EFI_IFR_GREATER_THAN_OP = 0x31;
inline constexpr UINT8 EFI_IFR_GREATER_EQUAL_OP = 0x32;
inline constexpr UINT8 EFI_IFR_LESS_THAN_OP = 0x33;
inline constexpr UINT8 EFI_IFR_LESS_EQUAL_OP = 0x34;
inline constexpr UINT8 EFI_IFR_BITWISE_AND_OP = 0x35;
inline constexpr UINT8 EFI_IFR_BITWISE_OR_OP = 0x36;
inline constexpr UINT8 EFI_IFR_BITWISE_NOT_OP = 0x37;
inline constexpr UINT8 EFI_IFR_SHIFT_LEFT_OP = 0x38;
inline constexpr UINT8 EFI_IFR_SHIFT_RIGHT_OP = 0x39;
inline constexpr UINT8 EFI_IFR_ADD_OP = 0x3A;
inline constexpr UINT8 EFI_IFR_SUBTRACT_OP = 0x3B;
inline constexpr UINT8 EFI_IFR_MULTIPLY_OP = 0x3C;
inline constexpr UINT8 EFI_IFR_DIVIDE_OP = 0x3D;
inline constexpr UINT8 EFI_IFR_MODULO_OP = 0x3E;
inline constexpr UINT8 EFI_IFR_RULE_REF_OP = 0x3F;
inline constexpr UINT8 EFI_IFR_QUESTION_REF1_OP = 0x40;
inline constexpr UINT8 EFI_IFR_QUESTION_REF2_OP = 0x41;
inline constexpr UINT8 EFI_IFR_UINT8_OP = 0x42;
inline constexpr UINT8 EFI_IFR_UINT16_OP = 0x43;
inline constexpr UINT8 EFI_IFR_UINT32_OP = 0x44;
inline constexpr UINT8 EFI_IFR_UINT64_OP = 0x45;
inline constexpr UINT8 EFI_IFR_TRUE_OP = 0x46;
inline constexpr UINT8 EFI_IFR_FALSE_OP = 0x47;
inline constexpr UINT8 EFI_IFR_TO_UINT_OP = 0x48;
inline constexpr UINT8 EFI_IFR_TO_STRING_OP = 0x49;
inline constexpr UINT8 EFI_IFR_TO_BOOLEAN_OP = 0x4A;
inline constexpr UINT8 EFI_IFR_MID_OP = 0x4B;
inline constexpr UINT8 EFI_IFR_FIND_OP = 0x4C;
inline constexpr UINT8 EFI_IFR_TOKEN_OP = 0x4D;
inline constexpr UINT8 EFI_IFR_STRING_REF1_OP = 0x4E;
inline constexpr UINT8 EFI_IFR_STRING_REF2_OP = 0x4F;
inline constexpr UINT8 EFI_IFR_CONDITIONAL_OP = 0x50;
inline constexpr UINT8 EFI_IFR_QUESTION_REF3_OP = 0x51;
inline constexpr UINT8 EFI_IFR_ZERO_OP = 0x52;
inline constexpr UINT8 EFI_IFR_ONE_OP = 0x53;
inline constexpr UINT8 EFI_IFR_ONES_OP = 0x54;
inline constexpr UINT8 EFI_IFR_UNDEFINED_OP = 0x55;
inline constexpr UINT8 EFI_IFR_LENGTH_OP = 0x56;
inline constexpr UINT8 EFI_IFR_DUP_OP = 0x57;
inline constexpr UINT8 EFI_IFR_THIS_OP = 0x58;
inline constexpr UINT8 EFI_IFR_SPAN_OP = 0x59;
inline constexpr UINT8 EFI_IFR_VALUE_OP = 0x5A;
inline constexpr UINT8 EFI_IFR_DEFAULT_OP = 0x5B;
inline constexpr UINT8 EFI_IFR_DEFAULTSTORE_OP = 0x5C;
inline constexpr UINT8 EFI_IFR_FORM_MAP_OP = 0x5D;
inline constexpr UINT8 EFI_IFR_CATENATE_OP = 0x5E;
inline constexpr UINT8 EFI_IFR_GUID_OP = 0x5F;
inline constexpr UINT8 EFI_IFR_SECURITY_OP = 0x60;
inline constexpr UINT8 EFI_IFR_MODAL_TAG_OP = 0x61;
inline constexpr UINT8 EFI_IFR_REFRESH_ID_OP = 0x62;
inline constexpr UINT8 EFI_IFR_WARNING_IF_OP = 0x63;
inline constexpr UINT8 EFI_IFR_MATCH2_OP = 0x64;

// ---- Field codes ---------------------------------------------------------------
// Question flags (EFI_IFR_QUESTION_HEADER.Flags).
inline constexpr UINT8 EFI_IFR_FLAG_READ_ONLY = 0x01;
inline constexpr UINT8 EFI_IFR_FLAG_CALLBACK = 0x04;
inline constexpr UINT8 EFI_IFR_FLAG_RESET_REQUIRED = 0x10;
inline constexpr UINT8 EFI_IFR_FLAG_RECONNECT_REQUIRED = 0x40;
inline constexpr UINT8 EFI_IFR_FLAG_OPTIONS_ONLY = 0x80;

// Numeric and one-of flags: bits 0-1 the width of the value, bits 4-5 how it is shown.
inline constexpr UINT8 EFI_IFR_NUMERIC_SIZE = 0x03;
inline constexpr UINT8 EFI_IFR_NUMERIC_SIZE_1 = 0x00;
inline constexpr UINT8 EFI_IFR_NUMERIC_SIZE_2 = 0x01;
inline constexpr UINT8 EFI_IFR_NUMERIC_SIZE_4 = 0x02;
inline constexpr UINT8 EFI_IFR_NUMERIC_SIZE_8 = 0x03;
inline constexpr UINT8 EFI_IFR_DISPLAY = 0x30;
inline constexpr UINT8 EFI_IFR_DISPLAY_INT_DEC = 0x00;
inline constexpr UINT8 EFI_IFR_DISPLAY_UINT_DEC = 0x10;
inline constexpr UINT8 EFI_IFR_DISPLAY_UINT_HEX = 0x20;

// One-of option flags.
inline constexpr UINT8 EFI_IFR_OPTION_DEFAULT = 0x10;
inline constexpr UINT8 EFI_IFR_OPTION_DEFAULT_MFG = 0x20;

// Checkbox and string flags.
inline constexpr UINT8 EFI_IFR_CHECKBOX_DEFAULT = 0x01;
inline constexpr UINT8 EFI_IFR_CHECKBOX_DEFAULT_MFG = 0x02;
inline constexpr UINT8 EFI_IFR_STRING_MULTI_LINE = 0x01;

// Form-set flags: bits 0-1 count the class GUIDs that follow the fixed fields.
inline constexpr UINT8 EFI_IFR_FORM_SET_CLASS_GUID_COUNT = 0x03;

// Value types (EFI_IFR_ONE_OF_OPTION.Type, EFI_IFR_DEFAULT.Type, callback Type).
inline constexpr UINT8 EFI_IFR_TYPE_NUM_SIZE_8 = 0x00;
inline constexpr UINT8 EFI_IFR_TYPE_NUM_SIZE_16 = 0x01;
inline constexpr UINT8 EFI_IFR_TYPE_NUM_SIZE_32 = 0x02;
inline constexpr UINT8 EFI_IFR_TYPE_NUM_SIZE_64 = 0x03;
inline constexpr UINT8 EFI_IFR_TYPE_BOOLEAN = 0x04;
inline constexpr UINT8 EFI_IFR_TYPE_TIME = 0x05;
inline constexpr UINT8 EFI_IFR_TYPE_DATE = 0x06;
inline constexpr UINT8 EFI_IFR_TYPE_STRING = 0x07;
inline constexpr UINT8 EFI_IFR_TYPE_OTHER = 0x08;
inline constexpr UINT8 EFI_IFR_TYPE_UNDEFINED = 0x09;
inline constexpr UINT8 EFI_IFR_TYPE_ACTION = 0x0A;
inline constexpr UINT8 EFI_IFR_TYPE_BUFFER = 0x0B;
inline constexpr UINT8 EFI_IFR_TYPE_REF = 0x0C;

// Default stores.
inline constexpr EFI_DEFAULT_ID EFI_HII_DEFAULT_CLASS_STANDARD = 0x0000;
inline constexpr EFI_DEFAULT_ID EFI_HII_DEFAULT_CLASS_MANUFACTURING = 0x0001;

// Extended opcodes carried by EFI_IFR_GUID_OP with IFR_EXTENSION_GUID (uefi/guids.h).
inline constexpr UINT8 EFI_IFR_EXTEND_OP_LABEL = 0x00;
inline constexpr UINT8 EFI_IFR_EXTEND_OP_BANNER = 0x01;
inline constexpr UINT8 EFI_IFR_EXTEND_OP_TIMEOUT = 0x02;
inline constexpr UINT8 EFI_IFR_EXTEND_OP_CLASS = 0x03;
inline constexpr UINT8 EFI_IFR_EXTEND_OP_SUBCLASS = 0x04;

// Byte 1 of every opcode: bits 0-6 the length, bit 7 the scope flag.
inline constexpr UINT8 IFR_LENGTH_MASK = 0x7F;
inline constexpr UINT8 IFR_SCOPE_BIT = 0x80;
constexpr UINT8 IfrLengthByte(UINT8 Length, bool Scope) {
  return static_cast<UINT8>((Length & IFR_LENGTH_MASK) | (Scope ? IFR_SCOPE_BIT : 0));
}

// Width in bytes of a numeric or one-of value, from the flags' size bits.
constexpr UINT8 IfrNumericWidth(UINT8 NumericFlags) {
  return static_cast<UINT8>(1u << (NumericFlags & EFI_IFR_NUMERIC_SIZE));
}

#pragma pack(push, 1)

// ---- Values -----------------------------------------------------------------------
struct EFI_HII_TIME {
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
};
struct EFI_HII_DATE {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
};
struct EFI_HII_REF {
  EFI_QUESTION_ID QuestionId;
  EFI_FORM_ID FormId;
  EFI_GUID FormSetGuid;
  EFI_STRING_ID DevicePath;
};
union EFI_IFR_TYPE_VALUE {
  UINT8 u8;
  UINT16 u16;
  UINT32 u32;
  UINT64 u64;
  BOOLEAN b;
  EFI_HII_TIME time;
  EFI_HII_DATE date;
  EFI_STRING_ID string;
  EFI_HII_REF ref;
};
static_assert(sizeof(EFI_HII_TIME) == 3 && sizeof(EFI_HII_DATE) == 4 && sizeof(EFI_HII_REF) == 22);
static_assert(sizeof(EFI_IFR_TYPE_VALUE) == 22 && alignof(EFI_IFR_TYPE_VALUE) == 1);

// ---- Headers ------------------------------------------------------------------------
struct EFI_IFR_OP_HEADER {
  UINT8 OpCode;
  UINT8 Length : 7;
  UINT8 Scope : 1;
};
struct EFI_IFR_STATEMENT_HEADER {
  EFI_STRING_ID Prompt;
  EFI_STRING_ID Help;
};
struct EFI_IFR_QUESTION_HEADER {
  EFI_IFR_STATEMENT_HEADER Header;
  EFI_QUESTION_ID QuestionId;
  EFI_VARSTORE_ID VarStoreId;
  union {
    EFI_STRING_ID VarName;  // name/value stores
    UINT16 VarOffset;       // buffer and EFI-variable stores
  } VarStoreInfo;
  UINT8 Flags;
};
static_assert(sizeof(EFI_IFR_OP_HEADER) == 2 && sizeof(EFI_IFR_STATEMENT_HEADER) == 4);
static_assert(sizeof(EFI_IFR_QUESTION_HEADER) == 11);
static_assert(__builtin_offsetof(EFI_IFR_QUESTION_HEADER, QuestionId) == 4);
static_assert(__builtin_offsetof(EFI_IFR_QUESTION_HEADER, VarStoreId) == 6);
static_assert(__builtin_offsetof(EFI_IFR_QUESTION_HEADER, VarStoreInfo) == 8);
static_assert(__builtin_offsetof(EFI_IFR_QUESTION_HEADER, Flags) == 10);

// ---- Form set, forms, stores --------------------------------------------------------
struct EFI_IFR_FORM_SET {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  EFI_STRING_ID FormSetTitle;
  EFI_STRING_ID Help;
  UINT8 Flags;  // class GUID count in bits 0-1
  EFI_GUID ClassGuid[1];
};
static_assert(sizeof(EFI_IFR_FORM_SET) == 39);
static_assert(__builtin_offsetof(EFI_IFR_FORM_SET, Guid) == 2);
static_assert(__builtin_offsetof(EFI_IFR_FORM_SET, FormSetTitle) == 18);
static_assert(__builtin_offsetof(EFI_IFR_FORM_SET, Flags) == 22);
static_assert(__builtin_offsetof(EFI_IFR_FORM_SET, ClassGuid) == 23);

struct EFI_IFR_FORM {
  EFI_IFR_OP_HEADER Header;
  EFI_FORM_ID FormId;
  EFI_STRING_ID FormTitle;
};
static_assert(sizeof(EFI_IFR_FORM) == 6 && __builtin_offsetof(EFI_IFR_FORM, FormId) == 2);

// A form given by one or more maps (EFI_IFR_FORM_MAP_METHOD records follow FormId).
struct EFI_IFR_FORM_MAP {
  EFI_IFR_OP_HEADER Header;
  EFI_FORM_ID FormId;
};
struct EFI_IFR_FORM_MAP_METHOD {
  EFI_STRING_ID MethodTitle;
  EFI_GUID MethodIdentifier;
};
static_assert(sizeof(EFI_IFR_FORM_MAP) == 4 && __builtin_offsetof(EFI_IFR_FORM_MAP, FormId) == 2);
static_assert(sizeof(EFI_IFR_FORM_MAP_METHOD) == 18);

struct EFI_IFR_DEFAULTSTORE {
  EFI_IFR_OP_HEADER Header;
  EFI_STRING_ID DefaultName;
  EFI_DEFAULT_ID DefaultId;
};
static_assert(sizeof(EFI_IFR_DEFAULTSTORE) == 6 && __builtin_offsetof(EFI_IFR_DEFAULTSTORE, DefaultId) == 4);

// A buffer store served by the owner's configuration-access protocol. The
// NUL-terminated ASCII name follows Size; Name[1] is its first byte.
struct EFI_IFR_VARSTORE {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  EFI_VARSTORE_ID VarStoreId;
  UINT16 Size;
  UINT8 Name[1];
};
static_assert(sizeof(EFI_IFR_VARSTORE) == 23);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE, VarStoreId) == 18);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE, Size) == 20);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE, Name) == 22);

// A store that is a UEFI variable (the router reads and writes it itself). The
// NUL-terminated ASCII variable name follows Size.
struct EFI_IFR_VARSTORE_EFI {
  EFI_IFR_OP_HEADER Header;
  EFI_VARSTORE_ID VarStoreId;
  EFI_GUID Guid;
  UINT32 Attributes;
  UINT16 Size;
  UINT8 Name[1];
};
static_assert(sizeof(EFI_IFR_VARSTORE_EFI) == 27);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE_EFI, VarStoreId) == 2);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE_EFI, Guid) == 4);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE_EFI, Attributes) == 20);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE_EFI, Size) == 24);
static_assert(__builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name) == 26);

// ---- GUID opcode and its extensions ---------------------------------------------------
struct EFI_IFR_GUID {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
};
struct EFI_IFR_GUID_LABEL {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  UINT8 ExtendOpCode;
  UINT16 Number;
};
struct EFI_IFR_GUID_CLASS {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  UINT8 ExtendOpCode;
  UINT16 Class;
};
struct EFI_IFR_GUID_SUBCLASS {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  UINT8 ExtendOpCode;
  UINT16 SubClass;
};
static_assert(sizeof(EFI_IFR_GUID) == 18);
static_assert(sizeof(EFI_IFR_GUID_LABEL) == 21 && sizeof(EFI_IFR_GUID_CLASS) == 21);
static_assert(sizeof(EFI_IFR_GUID_SUBCLASS) == 21);
static_assert(__builtin_offsetof(EFI_IFR_GUID_LABEL, ExtendOpCode) == 18);
static_assert(__builtin_offsetof(EFI_IFR_GUID_LABEL, Number) == 19);

// ---- Statements and questions -------------------------------------------------------
// Minimum, maximum and step of a numeric or one-of, at the width the flags give.
union MINMAXSTEP_DATA {
  struct {
    UINT8 MinValue, MaxValue, Step;
  } u8;
  struct {
    UINT16 MinValue, MaxValue, Step;
  } u16;
  struct {
    UINT32 MinValue, MaxValue, Step;
  } u32;
  struct {
    UINT64 MinValue, MaxValue, Step;
  } u64;
};
static_assert(sizeof(MINMAXSTEP_DATA) == 24);

// Only the member of `data` that the size bits of Flags select is present.
struct EFI_IFR_NUMERIC {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  UINT8 Flags;
  MINMAXSTEP_DATA data;
};
struct EFI_IFR_ONE_OF {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  UINT8 Flags;
  MINMAXSTEP_DATA data;
};
static_assert(__builtin_offsetof(EFI_IFR_NUMERIC, Question) == 2);
static_assert(__builtin_offsetof(EFI_IFR_NUMERIC, Flags) == 13);
static_assert(__builtin_offsetof(EFI_IFR_NUMERIC, data) == 14);
static_assert(sizeof(EFI_IFR_NUMERIC) == 38 && sizeof(EFI_IFR_ONE_OF) == 38);
static_assert(__builtin_offsetof(EFI_IFR_ONE_OF, data) == 14);

// Encoded length of a numeric or one-of whose flags select a value width.
constexpr UINT8 IfrNumericLength(UINT8 NumericFlags) {
  return static_cast<UINT8>(__builtin_offsetof(EFI_IFR_NUMERIC, data) + 3 * IfrNumericWidth(NumericFlags));
}
static_assert(IfrNumericLength(EFI_IFR_NUMERIC_SIZE_1) == 17 &&
              IfrNumericLength(EFI_IFR_NUMERIC_SIZE_2) == 20);
static_assert(IfrNumericLength(EFI_IFR_NUMERIC_SIZE_4) == 26 &&
              IfrNumericLength(EFI_IFR_NUMERIC_SIZE_8) == 38);

// Only as many bytes of Value as Type needs are present.
struct EFI_IFR_ONE_OF_OPTION {
  EFI_IFR_OP_HEADER Header;
  EFI_STRING_ID Option;
  UINT8 Flags;
  UINT8 Type;
  EFI_IFR_TYPE_VALUE Value;
};
static_assert(__builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Flags) == 4);
static_assert(__builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Type) == 5);
static_assert(__builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value) == 6 && sizeof(EFI_IFR_ONE_OF_OPTION) == 28);

struct EFI_IFR_CHECKBOX {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  UINT8 Flags;
};
static_assert(sizeof(EFI_IFR_CHECKBOX) == 14);

struct EFI_IFR_STRING {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  UINT8 MinSize;
  UINT8 MaxSize;
  UINT8 Flags;
};
static_assert(sizeof(EFI_IFR_STRING) == 16 && __builtin_offsetof(EFI_IFR_STRING, MinSize) == 13);

struct EFI_IFR_TEXT {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_STATEMENT_HEADER Statement;
  EFI_STRING_ID TextTwo;
};
static_assert(sizeof(EFI_IFR_TEXT) == 8 && __builtin_offsetof(EFI_IFR_TEXT, TextTwo) == 6);

struct EFI_IFR_REF {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  EFI_FORM_ID FormId;
};
static_assert(sizeof(EFI_IFR_REF) == 15 && __builtin_offsetof(EFI_IFR_REF, FormId) == 13);

struct EFI_IFR_SUBTITLE {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_STATEMENT_HEADER Statement;
  UINT8 Flags;
};
static_assert(sizeof(EFI_IFR_SUBTITLE) == 7);

struct EFI_IFR_ACTION {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
  EFI_STRING_ID QuestionConfig;
};
// The shorter form, without a configuration string.
struct EFI_IFR_ACTION_1 {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_QUESTION_HEADER Question;
};
static_assert(sizeof(EFI_IFR_ACTION) == 15 && sizeof(EFI_IFR_ACTION_1) == 13);

// Only as many bytes of Value as Type needs are present.
struct EFI_IFR_DEFAULT {
  EFI_IFR_OP_HEADER Header;
  EFI_DEFAULT_ID DefaultId;
  UINT8 Type;
  EFI_IFR_TYPE_VALUE Value;
};
// A default given by an expression inside its scope.
struct EFI_IFR_DEFAULT_2 {
  EFI_IFR_OP_HEADER Header;
  EFI_DEFAULT_ID DefaultId;
  UINT8 Type;
};
static_assert(__builtin_offsetof(EFI_IFR_DEFAULT, Type) == 4);
static_assert(__builtin_offsetof(EFI_IFR_DEFAULT, Value) == 5 && sizeof(EFI_IFR_DEFAULT) == 27);
static_assert(sizeof(EFI_IFR_DEFAULT_2) == 5);

// Encoded length of a default of the given value width in bytes.
constexpr UINT8 IfrDefaultLength(UINT8 ValueWidth) {
  return static_cast<UINT8>(__builtin_offsetof(EFI_IFR_DEFAULT, Value) + ValueWidth);
}

// ---- Scope openers and closer -----------------------------------------------------------
struct EFI_IFR_END {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_SUPPRESS_IF {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_GRAY_OUT_IF {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_DISABLE_IF {
  EFI_IFR_OP_HEADER Header;
};
// The value of a question given by an expression inside its scope.
struct EFI_IFR_VALUE {
  EFI_IFR_OP_HEADER Header;
};
static_assert(sizeof(EFI_IFR_END) == 2 && sizeof(EFI_IFR_SUPPRESS_IF) == 2);
static_assert(sizeof(EFI_IFR_GRAY_OUT_IF) == 2 && sizeof(EFI_IFR_DISABLE_IF) == 2);
static_assert(sizeof(EFI_IFR_VALUE) == 2);

// ---- Expressions --------------------------------------------------------------------------
struct EFI_IFR_EQ_ID_VAL {
  EFI_IFR_OP_HEADER Header;
  EFI_QUESTION_ID QuestionId;
  UINT16 Value;
};
struct EFI_IFR_EQ_ID_ID {
  EFI_IFR_OP_HEADER Header;
  EFI_QUESTION_ID QuestionId1;
  EFI_QUESTION_ID QuestionId2;
};
// ListLength values follow ListLength; ValueList[1] is the first.
struct EFI_IFR_EQ_ID_VAL_LIST {
  EFI_IFR_OP_HEADER Header;
  EFI_QUESTION_ID QuestionId;
  UINT16 ListLength;
  UINT16 ValueList[1];
};
static_assert(sizeof(EFI_IFR_EQ_ID_VAL) == 6 && sizeof(EFI_IFR_EQ_ID_ID) == 6);
static_assert(sizeof(EFI_IFR_EQ_ID_VAL_LIST) == 8);
static_assert(__builtin_offsetof(EFI_IFR_EQ_ID_VAL_LIST, ListLength) == 4);
static_assert(__builtin_offsetof(EFI_IFR_EQ_ID_VAL_LIST, ValueList) == 6);

// Encoded length of an EFI_IFR_EQ_ID_VAL_LIST holding Count values.
constexpr UINTN IfrEqIdValListLength(UINTN Count) {
  return __builtin_offsetof(EFI_IFR_EQ_ID_VAL_LIST, ValueList) + Count * sizeof(UINT16);
}

struct EFI_IFR_TRUE {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_FALSE {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_NOT {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_AND {
  EFI_IFR_OP_HEADER Header;
};
struct EFI_IFR_OR {
  EFI_IFR_OP_HEADER Header;
};
static_assert(sizeof(EFI_IFR_TRUE) == 2 && sizeof(EFI_IFR_FALSE) == 2 && sizeof(EFI_IFR_NOT) == 2);
static_assert(sizeof(EFI_IFR_AND) == 2 && sizeof(EFI_IFR_OR) == 2);

#pragma pack(pop)

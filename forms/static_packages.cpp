// The static form set, encoded by the compiler: every byte of both package
// arrays is computed by the constexpr functions below and checked by
// static_assert, so the image carries plain read-only data and runs no code
// (firmware never calls global constructors).
#include "forms/static_packages.h"

#include "forms/form_ids.h"
#include "forms/identities.h"
#include "uefi/guids.h"
#include "uefi/hii.h"
#include "uefi/ifr.h"
#include "uefi/system_table.h"

namespace {

// Not constexpr: reaching it during constant evaluation stops the compilation,
// which is how a mistake in the encoding below is reported.
void PackageEncodingError() {}

constexpr void Require(bool Condition) {
  if (!Condition) PackageEncodingError();
}

// ---- Byte writer --------------------------------------------------------------

// Appends little-endian fields to a fixed block owned by the caller.
class ByteWriter {
 public:
  constexpr ByteWriter(UINT8 *Bytes, UINTN Capacity) : Bytes(Bytes), Capacity(Capacity) {}

  constexpr UINTN Size() const { return Used; }
  constexpr UINT8 At(UINTN Offset) const { return Bytes[Offset]; }

  constexpr void Put8(UINT8 Value) {
    Require(Used < Capacity);
    Bytes[Used++] = Value;
  }
  // The low Width bytes of Value, least significant first.
  constexpr void PutValue(UINT64 Value, UINTN Width) {
    Require(Width <= sizeof(Value));
    for (UINTN Index = 0; Index < Width; ++Index) Put8(static_cast<UINT8>(Value >> (8 * Index)));
  }
  constexpr void Put16(UINT16 Value) { PutValue(Value, 2); }
  constexpr void Put32(UINT32 Value) { PutValue(Value, 4); }
  constexpr void PutZeros(UINTN Count) {
    for (UINTN Index = 0; Index < Count; ++Index) Put8(0);
  }
  constexpr void PutGuid(const EFI_GUID &Guid) {
    Put32(Guid.Data1);
    Put16(Guid.Data2);
    Put16(Guid.Data3);
    for (UINT8 Byte : Guid.Data4) Put8(Byte);
  }
  // NUL-terminated texts, terminator included.
  constexpr void PutAscii(const CHAR8 *Text) {
    do Put8(static_cast<UINT8>(*Text));
    while (*Text++ != '\0');
  }
  constexpr void PutUcs2(const CHAR16 *Text) {
    do Put16(static_cast<UINT16>(*Text));
    while (*Text++ != u'\0');
  }
  constexpr void Patch32(UINTN Offset, UINT32 Value) {
    Require(Offset + 4 <= Used);
    for (UINTN Index = 0; Index < 4; ++Index)
      Bytes[Offset + Index] = static_cast<UINT8>(Value >> (8 * Index));
  }

 private:
  UINT8 *Bytes;
  UINTN Capacity;
  UINTN Used = 0;
};

constexpr UINTN AsciiSize(const CHAR8 *Text) {
  UINTN Size = 1;
  while (*Text++ != '\0') ++Size;
  return Size;
}

// ---- Arrays and packages ------------------------------------------------------

// A package array is a UINT32 total length and then whole packages.
constexpr void BeginPackageArray(ByteWriter &Out) { Out.Put32(0); }
constexpr void EndPackageArray(ByteWriter &Out) { Out.Patch32(0, static_cast<UINT32>(Out.Size())); }

// Returns where the package starts; EndPackage fills in its header.
constexpr UINTN BeginPackage(ByteWriter &Out) {
  const UINTN Start = Out.Size();
  Out.Put32(0);
  return Start;
}
constexpr void EndPackage(ByteWriter &Out, UINTN Start, UINT8 Type) {
  const UINTN Length = Out.Size() - Start;
  Require(Length < (1u << 24));
  Out.Patch32(Start, static_cast<UINT32>(Length) | (static_cast<UINT32>(Type) << 24));
}

// ---- String packages ------------------------------------------------------------

// The fixed header and the language tag; the string blocks start right after it.
constexpr void EmitStringPackageHeader(ByteWriter &Out, const CHAR8 *Language) {
  const UINTN PackageStart = Out.Size() - sizeof(EFI_HII_PACKAGE_HEADER);
  const UINT32 HeaderSize = static_cast<UINT32>(sizeof(EFI_HII_STRING_PACKAGE_HDR) + AsciiSize(Language));
  Out.Put32(HeaderSize);  // HdrSize
  Out.Put32(HeaderSize);  // StringInfoOffset
  Out.PutZeros(sizeof(EFI_HII_STRING_PACKAGE_HDR::LanguageWindow));
  Out.Put16(STR_LANGUAGE_NAME);
  Out.PutAscii(Language);
  Require(Out.Size() - PackageStart == HeaderSize);
}

constexpr void EmitUcs2Block(ByteWriter &Out, const CHAR16 *Text) {
  Out.Put8(EFI_HII_SIBT_STRING_UCS2);
  Out.PutUcs2(Text);
}
constexpr void EmitSkip2Block(ByteWriter &Out, UINT16 Count) {
  Out.Put8(EFI_HII_SIBT_SKIP2);
  Out.Put16(Count);
}
constexpr void EmitEndBlock(ByteWriter &Out) { Out.Put8(EFI_HII_SIBT_END); }

// The display strings, one per id from 1 up; the empty ones are set at run time
// or deliberately blank.
constexpr const CHAR16 *ENGLISH_STRINGS[] = {
    u"English",                                                                        // 1
    u"Talvorenix AddOnCard Form",                                                      // 2
    u"Talvorenix Add On Card Form",                                                    // 3
    u"Talvorenix AddOnCard Main",                                                      // 4
    u"Supported PCI ID Pair Count",                                                    // 5
    u"Number of supported PCI Vendor/Device ID pairs displayed on this page (1-10).",  // 6
    u"PCI Vendor ID #1",                                                               // 7
    u"PCI Vendor ID #2",
    u"PCI Vendor ID #3",
    u"PCI Vendor ID #4",
    u"PCI Vendor ID #5",
    u"PCI Vendor ID #6",
    u"PCI Vendor ID #7",
    u"PCI Vendor ID #8",
    u"PCI Vendor ID #9",
    u"PCI Vendor ID #10",                 // 16
    u"16-bit PCI Vendor ID (0-0xFFFF).",  // 17
    u"PCI Device ID #1",                  // 18
    u"PCI Device ID #2",
    u"PCI Device ID #3",
    u"PCI Device ID #4",
    u"PCI Device ID #5",
    u"PCI Device ID #6",
    u"PCI Device ID #7",
    u"PCI Device ID #8",
    u"PCI Device ID #9",
    u"PCI Device ID #10",                                   // 27
    u"16-bit PCI Device ID (0-0xFFFF).",                    // 28
    u"",                                                    // 29: holds a keyword only
    u"Select port network protocol (Ethernet/InfiniBand)",  // 30
    u"",                                                    // 31-40: card page titles
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",  // 41: the empty string
};
static_assert(ArrayCount(ENGLISH_STRINGS) == ADDONCARD_LAST_STATIC_STRING_ID);

struct KEYWORD_STRING {
  EFI_STRING_ID Id;
  const CHAR16 *Text;
};
// The keyword namespace: a question's keyword is its prompt string in this
// language. Ascending ids; the ids between them have no string.
constexpr KEYWORD_STRING KEYWORD_STRINGS[] = {
    {STR_LANGUAGE_NAME, u"x-QZV"},
    {STR_PAIR_COUNT_PROMPT, u"CSPACF14"},
    {PciVendorIdPromptStringId(0), u"CSPACF00"},
    {PciVendorIdPromptStringId(1), u"CSPACF01"},
    {PciVendorIdPromptStringId(2), u"CSPACF02"},
    {PciVendorIdPromptStringId(3), u"CSPACF03"},
    {PciVendorIdPromptStringId(4), u"CSPACF04"},
    {PciVendorIdPromptStringId(5), u"CSPACF05"},
    {PciVendorIdPromptStringId(6), u"CSPACF06"},
    {PciVendorIdPromptStringId(7), u"CSPACF07"},
    {PciVendorIdPromptStringId(8), u"CSPACF08"},
    {PciVendorIdPromptStringId(9), u"CSPACF09"},
    {PciDeviceIdPromptStringId(0), u"CSPACF0A"},
    {PciDeviceIdPromptStringId(1), u"CSPACF0B"},
    {PciDeviceIdPromptStringId(2), u"CSPACF0C"},
    {PciDeviceIdPromptStringId(3), u"CSPACF0D"},
    {PciDeviceIdPromptStringId(4), u"CSPACF0E"},
    {PciDeviceIdPromptStringId(5), u"CSPACF0F"},
    {PciDeviceIdPromptStringId(6), u"CSPACF10"},
    {PciDeviceIdPromptStringId(7), u"CSPACF11"},
    {PciDeviceIdPromptStringId(8), u"CSPACF12"},
    {PciDeviceIdPromptStringId(9), u"CSPACF13"},
    {STR_KEYWORD_PLACEHOLDER, u"CSPAC000"},
};

constexpr void EmitEnglishPackage(ByteWriter &Out) {
  const UINTN Start = BeginPackage(Out);
  EmitStringPackageHeader(Out, ADDONCARD_DISPLAY_LANGUAGE);
  for (const CHAR16 *Text : ENGLISH_STRINGS) EmitUcs2Block(Out, Text);
  EmitEndBlock(Out);
  EndPackage(Out, Start, EFI_HII_PACKAGE_STRINGS);
}

// Every id up to the last static one is accounted for, so both packages agree
// on the next free id when strings are added at run time.
constexpr void EmitKeywordPackage(ByteWriter &Out) {
  const UINTN Start = BeginPackage(Out);
  EmitStringPackageHeader(Out, ADDONCARD_KEYWORD_LANGUAGE);
  UINTN NextId = 1;
  for (const KEYWORD_STRING &Keyword : KEYWORD_STRINGS) {
    Require(Keyword.Id >= NextId);
    if (Keyword.Id > NextId) EmitSkip2Block(Out, static_cast<UINT16>(Keyword.Id - NextId));
    EmitUcs2Block(Out, Keyword.Text);
    NextId = Keyword.Id + 1;
  }
  Require(NextId <= ADDONCARD_LAST_STATIC_STRING_ID + 1);
  if (NextId <= ADDONCARD_LAST_STATIC_STRING_ID)
    EmitSkip2Block(Out, static_cast<UINT16>(ADDONCARD_LAST_STATIC_STRING_ID + 1 - NextId));
  EmitEndBlock(Out);
  EndPackage(Out, Start, EFI_HII_PACKAGE_STRINGS);
}

// ---- IFR opcodes -----------------------------------------------------------------

// Writes the opcode header and returns where the opcode starts; EndOpCode checks
// that the fields written fill exactly the length the header announced.
constexpr UINTN BeginOpCode(ByteWriter &Out, UINT8 OpCode, UINTN Length, bool Scope) {
  Require(Length >= sizeof(EFI_IFR_OP_HEADER) && Length <= IFR_LENGTH_MASK);
  const UINTN Start = Out.Size();
  Out.Put8(OpCode);
  Out.Put8(IfrLengthByte(static_cast<UINT8>(Length), Scope));
  return Start;
}
constexpr void EndOpCode(const ByteWriter &Out, UINTN Start) {
  Require(Out.Size() - Start == (Out.At(Start + 1) & IFR_LENGTH_MASK));
}

// Opcodes that are nothing but their header (END, SUPPRESS_IF, ...).
constexpr void EmitHeaderOnly(ByteWriter &Out, UINT8 OpCode, bool Scope) {
  EndOpCode(Out, BeginOpCode(Out, OpCode, sizeof(EFI_IFR_OP_HEADER), Scope));
}
constexpr void EmitEnd(ByteWriter &Out) { EmitHeaderOnly(Out, EFI_IFR_END_OP, false); }

constexpr void EmitFormSet(ByteWriter &Out) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_FORM_SET_OP, sizeof(EFI_IFR_FORM_SET), true);
  Out.PutGuid(ADDONCARD_FORMSET_GUID);
  Out.Put16(STR_FORMSET_TITLE);
  Out.Put16(STR_FORMSET_HELP);
  Out.Put8(1);  // one class GUID follows
  Out.PutGuid(PLATFORM_SETUP_CLASS_GUID);
  EndOpCode(Out, Start);
}

// The GUID-opcode extensions (labels, class, subclass) share one layout: the
// extended opcode and a 16-bit value.
constexpr void EmitGuidExtension(ByteWriter &Out, UINT8 ExtendOpCode, UINT16 Value) {
  static_assert(sizeof(EFI_IFR_GUID_CLASS) == sizeof(EFI_IFR_GUID_LABEL));
  static_assert(sizeof(EFI_IFR_GUID_SUBCLASS) == sizeof(EFI_IFR_GUID_LABEL));
  const UINTN Start = BeginOpCode(Out, EFI_IFR_GUID_OP, sizeof(EFI_IFR_GUID_LABEL), false);
  Out.PutGuid(IFR_EXTENSION_GUID);
  Out.Put8(ExtendOpCode);
  Out.Put16(Value);
  EndOpCode(Out, Start);
}
constexpr void EmitLabel(ByteWriter &Out, UINT16 Number) {
  EmitGuidExtension(Out, EFI_IFR_EXTEND_OP_LABEL, Number);
}

// Form-set class 0x00DE, subclass 0 (setup application).
constexpr void EmitClassAndSubclass(ByteWriter &Out) {
  EmitGuidExtension(Out, EFI_IFR_EXTEND_OP_CLASS, 0x00DE);
  EmitGuidExtension(Out, EFI_IFR_EXTEND_OP_SUBCLASS, 0x0000);
}

constexpr void EmitDefaultStore(ByteWriter &Out, EFI_STRING_ID Name, EFI_DEFAULT_ID DefaultId) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_DEFAULTSTORE_OP, sizeof(EFI_IFR_DEFAULTSTORE), false);
  Out.Put16(Name);
  Out.Put16(DefaultId);
  EndOpCode(Out, Start);
}
constexpr void EmitDefaultStores(ByteWriter &Out) {
  EmitDefaultStore(Out, 0, EFI_HII_DEFAULT_CLASS_STANDARD);
  EmitDefaultStore(Out, STR_EMPTY, EFI_HII_DEFAULT_CLASS_MANUFACTURING);
}

struct EFI_VARIABLE_STORE {
  EFI_VARSTORE_ID Id;
  const CHAR8 *Name;
  EFI_GUID Guid;
  UINT32 Attributes;
  UINT16 Size;
};
constexpr UINT32 VOLATILE_ATTRIBUTES = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr EFI_VARIABLE_STORE VARIABLE_STORES[] = {
    {ADDONCARD_OOB_VARSTORE_ID, "TLX_ADDONCARD_OOB_VAR", ADDONCARD_FORMSET_GUID, VOLATILE_ATTRIBUTES,
     ADDONCARD_OOB_VARSTORE_SIZE},
    {ADDONCARD_STRING_VARSTORE_ID, "TLX_ADDONCARD_STRING_VAR", ADDONCARD_FORMSET_GUID, VOLATILE_ATTRIBUTES,
     ADDONCARD_STRING_VARSTORE_SIZE},
    {ADDONCARD_PCI_VARSTORE_ID, "TLX_ADDONCARD_PCI_VAR", ADDONCARD_PCI_VAR_GUID,
     EFI_VARIABLE_NON_VOLATILE | VOLATILE_ATTRIBUTES, ADDONCARD_PCI_VARSTORE_SIZE},
};

constexpr void EmitVariableStore(ByteWriter &Out, const EFI_VARIABLE_STORE &Store) {
  const UINTN Length = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name) + AsciiSize(Store.Name);
  const UINTN Start = BeginOpCode(Out, EFI_IFR_VARSTORE_EFI_OP, Length, false);
  Out.Put16(Store.Id);
  Out.PutGuid(Store.Guid);
  Out.Put32(Store.Attributes);
  Out.Put16(Store.Size);
  Out.PutAscii(Store.Name);
  EndOpCode(Out, Start);
}

constexpr void EmitFormHeader(ByteWriter &Out, EFI_FORM_ID FormId, EFI_STRING_ID Title) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_FORM_OP, sizeof(EFI_IFR_FORM), true);
  Out.Put16(FormId);
  Out.Put16(Title);
  EndOpCode(Out, Start);
}

// A card page holds only the two labels between which its content is put at run time.
constexpr void EmitCardForm(ByteWriter &Out, UINTN Slot) {
  EmitFormHeader(Out, CardFormId(Slot), CardTitleStringId(Slot));
  EmitLabel(Out, CardPageLabelStart(Slot));
  EmitLabel(Out, CardPageLabelEnd(Slot));
  EmitEnd(Out);
}

// ---- Main page questions -------------------------------------------------------

// Every static question reports changes to the driver and asks for a reset.
constexpr UINT8 STATIC_QUESTION_FLAGS = EFI_IFR_FLAG_RESET_REQUIRED | EFI_IFR_FLAG_CALLBACK;

struct NUMERIC_QUESTION {
  EFI_QUESTION_ID QuestionId;
  EFI_STRING_ID Prompt;
  EFI_STRING_ID Help;
  UINT16 VarOffset;  // in the PCI ID list variable
  UINT8 NumericFlags;
  UINT64 Minimum;
  UINT64 Maximum;
  UINT64 Step;
  UINT64 Default;  // the same in both default stores
};

constexpr NUMERIC_QUESTION PairCountQuestion() {
  return {PCI_PAIR_COUNT_QUESTION_ID,
          STR_PAIR_COUNT_PROMPT,
          STR_PAIR_COUNT_HELP,
          PCI_PAIR_COUNT_OFFSET,
          EFI_IFR_NUMERIC_SIZE_1 | EFI_IFR_DISPLAY_UINT_DEC,
          1,
          ADDONCARD_MAX_PCI_ID_PAIRS,
          1,
          1};
}
constexpr NUMERIC_QUESTION VendorIdQuestion(UINTN Pair) {
  return {PciVendorIdQuestionId(Pair),
          PciVendorIdPromptStringId(Pair),
          STR_VENDOR_ID_HELP,
          PciVendorIdOffset(Pair),
          EFI_IFR_NUMERIC_SIZE_2 | EFI_IFR_DISPLAY_UINT_HEX,
          0,
          0xFFFF,
          1,
          Pair == 0 ? ADDONCARD_DEFAULT_VENDOR_ID : 0u};
}
constexpr NUMERIC_QUESTION DeviceIdQuestion(UINTN Pair) {
  return {PciDeviceIdQuestionId(Pair),
          PciDeviceIdPromptStringId(Pair),
          STR_DEVICE_ID_HELP,
          PciDeviceIdOffset(Pair),
          EFI_IFR_NUMERIC_SIZE_2 | EFI_IFR_DISPLAY_UINT_HEX,
          0,
          0xFFFF,
          1,
          Pair == 0 ? ADDONCARD_DEFAULT_DEVICE_ID : 0u};
}

// The value types of the four numeric widths are numbered like the size bits.
static_assert(EFI_IFR_TYPE_NUM_SIZE_8 == EFI_IFR_NUMERIC_SIZE_1 &&
              EFI_IFR_TYPE_NUM_SIZE_16 == EFI_IFR_NUMERIC_SIZE_2);
static_assert(EFI_IFR_TYPE_NUM_SIZE_32 == EFI_IFR_NUMERIC_SIZE_4 &&
              EFI_IFR_TYPE_NUM_SIZE_64 == EFI_IFR_NUMERIC_SIZE_8);

// A default value of the question's own width and type.
constexpr void EmitDefault(ByteWriter &Out, EFI_DEFAULT_ID DefaultId, UINT8 NumericFlags, UINT64 Value) {
  const UINT8 Width = IfrNumericWidth(NumericFlags);
  const UINTN Start = BeginOpCode(Out, EFI_IFR_DEFAULT_OP, IfrDefaultLength(Width), false);
  Out.Put16(DefaultId);
  Out.Put8(NumericFlags & EFI_IFR_NUMERIC_SIZE);  // EFI_IFR_TYPE_NUM_SIZE_*
  Out.PutValue(Value, Width);
  EndOpCode(Out, Start);
}

constexpr void EmitQuestionHeader(ByteWriter &Out, const NUMERIC_QUESTION &Question) {
  Out.Put16(Question.Prompt);
  Out.Put16(Question.Help);
  Out.Put16(Question.QuestionId);
  Out.Put16(ADDONCARD_PCI_VARSTORE_ID);
  Out.Put16(Question.VarOffset);
  Out.Put8(STATIC_QUESTION_FLAGS);
}

// The numeric opens a scope holding its defaults for both default stores.
constexpr void EmitNumericQuestion(ByteWriter &Out, const NUMERIC_QUESTION &Question) {
  const UINT8 Width = IfrNumericWidth(Question.NumericFlags);
  const UINTN Start = BeginOpCode(Out, EFI_IFR_NUMERIC_OP, IfrNumericLength(Question.NumericFlags), true);
  EmitQuestionHeader(Out, Question);
  Out.Put8(Question.NumericFlags);
  Out.PutValue(Question.Minimum, Width);
  Out.PutValue(Question.Maximum, Width);
  Out.PutValue(Question.Step, Width);
  EndOpCode(Out, Start);
  EmitDefault(Out, EFI_HII_DEFAULT_CLASS_STANDARD, Question.NumericFlags, Question.Default);
  EmitDefault(Out, EFI_HII_DEFAULT_CLASS_MANUFACTURING, Question.NumericFlags, Question.Default);
  EmitEnd(Out);
}

// True while the pair count is one of 1..Count.
constexpr void EmitPairCountIsAtMost(ByteWriter &Out, UINTN Count) {
  const UINTN Start = BeginOpCode(Out, EFI_IFR_EQ_ID_VAL_LIST_OP, IfrEqIdValListLength(Count), false);
  Out.Put16(PCI_PAIR_COUNT_QUESTION_ID);
  Out.Put16(static_cast<UINT16>(Count));
  for (UINTN Value = 1; Value <= Count; ++Value) Out.Put16(static_cast<UINT16>(Value));
  EndOpCode(Out, Start);
}

// Pair #(Pair + 1) is shown only while the pair count reaches it.
constexpr void EmitOptionalPair(ByteWriter &Out, UINTN Pair) {
  EmitHeaderOnly(Out, EFI_IFR_SUPPRESS_IF_OP, true);
  EmitPairCountIsAtMost(Out, Pair);
  EmitNumericQuestion(Out, VendorIdQuestion(Pair));
  EmitNumericQuestion(Out, DeviceIdQuestion(Pair));
  EmitEnd(Out);
}

constexpr void EmitMainForm(ByteWriter &Out) {
  EmitFormHeader(Out, ADDONCARD_MAIN_FORM_ID, STR_MAIN_FORM_TITLE);
  EmitNumericQuestion(Out, PairCountQuestion());
  EmitNumericQuestion(Out, VendorIdQuestion(0));
  EmitNumericQuestion(Out, DeviceIdQuestion(0));
  for (UINTN Pair = 1; Pair < ADDONCARD_MAX_PCI_ID_PAIRS; ++Pair) EmitOptionalPair(Out, Pair);
  for (const FORM_LABEL_PAIR &Labels : MAIN_FORM_LABEL_PAIRS) {
    EmitLabel(Out, Labels.Start);
    EmitLabel(Out, Labels.End);
  }
  EmitEnd(Out);
}

constexpr void EmitFormPackage(ByteWriter &Out) {
  const UINTN Start = BeginPackage(Out);
  EmitFormSet(Out);
  EmitClassAndSubclass(Out);
  EmitDefaultStores(Out);
  for (const EFI_VARIABLE_STORE &Store : VARIABLE_STORES) EmitVariableStore(Out, Store);
  for (UINTN Slot = 0; Slot < ADDONCARD_CARD_PAGE_COUNT; ++Slot) EmitCardForm(Out, Slot);
  EmitMainForm(Out);
  EmitEnd(Out);  // of the form set
  EndPackage(Out, Start, EFI_HII_PACKAGE_FORMS);
}

// ---- The two arrays --------------------------------------------------------------

template <UINTN Capacity>
struct PACKAGE_ARRAY {
  UINT8 Bytes[Capacity];
  UINTN Written;
};

constexpr PACKAGE_ARRAY<ADDONCARD_STRINGS_SIZE> BuildStringsArray() {
  PACKAGE_ARRAY<ADDONCARD_STRINGS_SIZE> Array{};
  ByteWriter Out(Array.Bytes, ADDONCARD_STRINGS_SIZE);
  BeginPackageArray(Out);
  EmitEnglishPackage(Out);
  EmitKeywordPackage(Out);
  EndPackageArray(Out);
  Array.Written = Out.Size();
  return Array;
}

constexpr PACKAGE_ARRAY<ADDONCARD_FORMS_SIZE> BuildFormsArray() {
  PACKAGE_ARRAY<ADDONCARD_FORMS_SIZE> Array{};
  ByteWriter Out(Array.Bytes, ADDONCARD_FORMS_SIZE);
  BeginPackageArray(Out);
  EmitFormPackage(Out);
  EndPackageArray(Out);
  Array.Written = Out.Size();
  return Array;
}

template <UINTN Capacity>
constexpr UINT32 ReadUint32(const PACKAGE_ARRAY<Capacity> &Array, UINTN Offset) {
  return static_cast<UINT32>(Array.Bytes[Offset]) | (static_cast<UINT32>(Array.Bytes[Offset + 1]) << 8) |
         (static_cast<UINT32>(Array.Bytes[Offset + 2]) << 16) |
         (static_cast<UINT32>(Array.Bytes[Offset + 3]) << 24);
}
template <UINTN Capacity>
constexpr UINT32 PackageLengthAt(const PACKAGE_ARRAY<Capacity> &Array, UINTN Offset) {
  return ReadUint32(Array, Offset) & 0x00FFFFFF;
}

constexpr PACKAGE_ARRAY<ADDONCARD_STRINGS_SIZE> STRINGS_ARRAY = BuildStringsArray();
constexpr PACKAGE_ARRAY<ADDONCARD_FORMS_SIZE> FORMS_ARRAY = BuildFormsArray();

constexpr UINTN FIRST_PACKAGE = sizeof(UINT32);
static_assert(STRINGS_ARRAY.Written == ADDONCARD_STRINGS_SIZE, "strings array fully written");
static_assert(ReadUint32(STRINGS_ARRAY, 0) == ADDONCARD_STRINGS_SIZE, "strings array length");
static_assert(PackageLengthAt(STRINGS_ARRAY, FIRST_PACKAGE) == ADDONCARD_ENGLISH_PACKAGE_SIZE,
              "en-US string package length");
static_assert(PackageLengthAt(STRINGS_ARRAY, FIRST_PACKAGE + ADDONCARD_ENGLISH_PACKAGE_SIZE) ==
                  ADDONCARD_KEYWORD_PACKAGE_SIZE,
              "keyword string package length");
static_assert(FORMS_ARRAY.Written == ADDONCARD_FORMS_SIZE, "forms array fully written");
static_assert(ReadUint32(FORMS_ARRAY, 0) == ADDONCARD_FORMS_SIZE, "forms array length");
static_assert(PackageLengthAt(FORMS_ARRAY, FIRST_PACKAGE) == ADDONCARD_FORM_PACKAGE_SIZE,
              "form package length");

}  // namespace

constinit const UINT8 (&AddOnCardStrings)[ADDONCARD_STRINGS_SIZE] = STRINGS_ARRAY.Bytes;
constinit const UINT8 (&AddOnCardForms)[ADDONCARD_FORMS_SIZE] = FORMS_ARRAY.Bytes;

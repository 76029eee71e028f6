// The static form set, encoded by the compiler: every byte of both package
// arrays is computed by the constexpr functions below (the opcodes by the
// encoders the run-time writers share, support/ifr_encode.h) and checked by
// static_assert, so the image carries plain read-only data and runs no code
// (firmware never calls global constructors).
#include "forms/static_packages.h"

#include "forms/form_ids.h"
#include "forms/identities.h"
#include "support/ifr_encode.h"
#include "support/ifr_reader.h"
#include "uefi/hii.h"
#include "uefi/system_table.h"

namespace {

// Not constexpr: reaching it during constant evaluation stops the compilation,
// which is how a mistake in the encoding below is reported.
void PackageEncodingError() {}

constexpr void Require(bool Condition) {
  if (!Condition) PackageEncodingError();
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
// The encodings themselves are shared with the run-time writers (support/ifr_encode.h).

// Form-set class 0x00DE, subclass 0 (setup application).
constexpr void EmitClassAndSubclass(ByteWriter &Out) {
  EncodeGuidExtension(Out, EFI_IFR_EXTEND_OP_CLASS, 0x00DE);
  EncodeGuidExtension(Out, EFI_IFR_EXTEND_OP_SUBCLASS, 0x0000);
}

constexpr void EmitDefaultStores(ByteWriter &Out) {
  EncodeDefaultStore(Out, 0, EFI_HII_DEFAULT_CLASS_STANDARD);
  EncodeDefaultStore(Out, STR_EMPTY, EFI_HII_DEFAULT_CLASS_MANUFACTURING);
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
  EncodeVarStoreEfi(Out, Store.Id, Store.Guid, Store.Attributes, Store.Size, Store.Name);
}

// A card page holds only the two labels between which its content is put at run time.
constexpr void EmitCardForm(ByteWriter &Out, UINTN Slot) {
  EncodeForm(Out, CardFormId(Slot), CardTitleStringId(Slot));
  EncodeLabel(Out, CardPageLabelStart(Slot));
  EncodeLabel(Out, CardPageLabelEnd(Slot));
  EncodeEnd(Out);
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

// The numeric opens a scope holding its defaults for both default stores.
constexpr void EmitNumericQuestion(ByteWriter &Out, const NUMERIC_QUESTION &Question) {
  const IFR_QUESTION_FIELDS Fields = {Question.Prompt,           Question.Help,      Question.QuestionId,
                                      ADDONCARD_PCI_VARSTORE_ID, Question.VarOffset, STATIC_QUESTION_FLAGS};
  EncodeNumeric(Out, Fields, {Question.NumericFlags, Question.Minimum, Question.Maximum, Question.Step},
                true);
  EncodeDefault(Out, EFI_HII_DEFAULT_CLASS_STANDARD, Question.NumericFlags, Question.Default);
  EncodeDefault(Out, EFI_HII_DEFAULT_CLASS_MANUFACTURING, Question.NumericFlags, Question.Default);
  EncodeEnd(Out);
}

// True while the pair count is one of 1..Count.
constexpr void EmitPairCountIsAtMost(ByteWriter &Out, UINTN Count) {
  UINT16 Values[ADDONCARD_MAX_PCI_ID_PAIRS] = {};
  Require(Count <= ArrayCount(Values));
  for (UINTN Index = 0; Index < Count; ++Index) Values[Index] = static_cast<UINT16>(Index + 1);
  EncodeEqIdValList(Out, PCI_PAIR_COUNT_QUESTION_ID, Values, Count);
}

// Pair #(Pair + 1) is shown only while the pair count reaches it.
constexpr void EmitOptionalPair(ByteWriter &Out, UINTN Pair) {
  EncodeHeaderOnly(Out, EFI_IFR_SUPPRESS_IF_OP, true);
  EmitPairCountIsAtMost(Out, Pair);
  EmitNumericQuestion(Out, VendorIdQuestion(Pair));
  EmitNumericQuestion(Out, DeviceIdQuestion(Pair));
  EncodeEnd(Out);
}

constexpr void EmitMainForm(ByteWriter &Out) {
  EncodeForm(Out, ADDONCARD_MAIN_FORM_ID, STR_MAIN_FORM_TITLE);
  EmitNumericQuestion(Out, PairCountQuestion());
  EmitNumericQuestion(Out, VendorIdQuestion(0));
  EmitNumericQuestion(Out, DeviceIdQuestion(0));
  for (UINTN Pair = 1; Pair < ADDONCARD_MAX_PCI_ID_PAIRS; ++Pair) EmitOptionalPair(Out, Pair);
  for (const FORM_LABEL_PAIR &Labels : MAIN_FORM_LABEL_PAIRS) {
    EncodeLabel(Out, Labels.Start);
    EncodeLabel(Out, Labels.End);
  }
  EncodeEnd(Out);
}

constexpr void EmitFormPackage(ByteWriter &Out) {
  const UINTN Start = BeginPackage(Out);
  EncodeFormSet(Out, ADDONCARD_FORMSET_GUID, STR_FORMSET_TITLE, STR_FORMSET_HELP, PLATFORM_SETUP_CLASS_GUID);
  EmitClassAndSubclass(Out);
  EmitDefaultStores(Out);
  for (const EFI_VARIABLE_STORE &Store : VARIABLE_STORES) EmitVariableStore(Out, Store);
  // A form browser opens a form set at its first form (Device Manager asks for
  // form 0): the main page comes first, or the supported list and the gotos to
  // the card pages could never be reached.
  EmitMainForm(Out);
  for (UINTN Slot = 0; Slot < ADDONCARD_CARD_PAGE_COUNT; ++Slot) EmitCardForm(Out, Slot);
  EncodeEnd(Out);  // of the form set
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
  Require(!Out.Failed());
  Array.Written = Out.Size();
  return Array;
}

constexpr PACKAGE_ARRAY<ADDONCARD_FORMS_SIZE> BuildFormsArray() {
  PACKAGE_ARRAY<ADDONCARD_FORMS_SIZE> Array{};
  ByteWriter Out(Array.Bytes, ADDONCARD_FORMS_SIZE);
  BeginPackageArray(Out);
  EmitFormPackage(Out);
  EndPackageArray(Out);
  Require(!Out.Failed());
  Array.Written = Out.Size();
  return Array;
}

template <UINTN Capacity>
constexpr UINT32 ReadUint32(const PACKAGE_ARRAY<Capacity> &Array, UINTN Offset) {
  return ReadLe32(Array.Bytes + Offset);
}
template <UINTN Capacity>
constexpr UINT32 PackageLengthAt(const PACKAGE_ARRAY<Capacity> &Array, UINTN Offset) {
  return ReadLe24(Array.Bytes + Offset);
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

// The driver's own reader walks the form package to its end: every opcode holds
// the fixed fields of its kind and every scope is closed.
constexpr bool FormPackageReadsBack() {
  IfrCursor Cursor(ByteView(FORMS_ARRAY.Bytes + FIRST_PACKAGE, ADDONCARD_FORM_PACKAGE_SIZE));
  for (IfrOpCode Op; Cursor.Next(&Op);)
    if (Op.Kind() == IfrKind::Unknown || !Op.HasFixedFields()) return false;
  return Cursor.Status() == IfrReadStatus::Ok && Cursor.Depth() == 0 &&
         Cursor.Position() == ADDONCARD_FORM_PACKAGE_SIZE;
}
static_assert(FormPackageReadsBack(), "form package reads back");

}  // namespace

constinit const UINT8 (&AddOnCardStrings)[ADDONCARD_STRINGS_SIZE] = STRINGS_ARRAY.Bytes;
constinit const UINT8 (&AddOnCardForms)[ADDONCARD_FORMS_SIZE] = FORMS_ARRAY.Bytes;

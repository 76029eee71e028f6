// The big card at run time (see big_card.h). The layout follows the host
// builder: FORM_SET with the platform-setup class GUID, the buffer store, one
// form whose questions each open a scope closed by END, then one en-US string
// package whose ids run in the order the builder hands them out.
#include "qemu/big_card.h"

#include "support/memory.h"
#include "support/pool.h"
#include "uefi/ifr.h"

namespace {

using namespace sim::big_card;

constexpr EFI_GUID PLATFORM_SETUP_CLASS_GUID = {
    0x93039971, 0x8545, 0x4B04, {0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E}};
constexpr CHAR8 LANGUAGE[] = "en-US";
constexpr CHAR8 LANGUAGE_NAME[] = "English";
constexpr UINTN STRING_PACKAGE_HEADER_SIZE = sizeof(EFI_HII_STRING_PACKAGE_HDR) + sizeof(LANGUAGE);
constexpr UINT8 VALUE_WIDTH = 1;  // every question is one byte

constexpr UINTN AsciiSize(const CHAR8 *Text) {
  UINTN Size = 1;
  while (*Text++ != 0) ++Size;
  return Size;
}

// Writes bytes while they fit; with no buffer it only counts them, which gives
// the size of the list before it is allocated.
class ByteSink {
 public:
  ByteSink(UINT8 *Data, UINTN Capacity) : Data_(Data), Capacity_(Capacity) {}
  void U8(UINT8 Value) {
    if (Data_ != nullptr && Size_ < Capacity_) Data_[Size_] = Value;
    ++Size_;
  }
  void U16(UINT16 Value) {
    U8(static_cast<UINT8>(Value));
    U8(static_cast<UINT8>(Value >> 8));
  }
  void U32(UINT32 Value) {
    U16(static_cast<UINT16>(Value));
    U16(static_cast<UINT16>(Value >> 16));
  }
  void Guid(const EFI_GUID &Guid) {
    const auto *Bytes = reinterpret_cast<const UINT8 *>(&Guid);
    for (UINTN Index = 0; Index < sizeof(EFI_GUID); ++Index) U8(Bytes[Index]);
  }
  void AsciiZ(const CHAR8 *Text) {
    while (*Text != 0) U8(static_cast<UINT8>(*Text++));
    U8(0);
  }
  // A UCS-2 string block of ASCII text.
  void StringBlock(const CHAR8 *Text) {
    U8(EFI_HII_SIBT_STRING_UCS2);
    while (*Text != 0) U16(static_cast<UINT8>(*Text++));
    U16(0);
  }
  // Fills in a length written earlier as a placeholder.
  void Patch(UINTN Offset, UINT32 Value, UINTN Width) {
    for (UINTN Index = 0; Index < Width; ++Index)
      if (Data_ != nullptr && Offset + Index < Capacity_)
        Data_[Offset + Index] = static_cast<UINT8>(Value >> (8 * Index));
  }
  UINTN Size() const { return Size_; }

 private:
  UINT8 *Data_;
  UINTN Capacity_;
  UINTN Size_ = 0;
};

// Texts numbered in fixed-width decimal, as "Setting 0042".
struct NumberedText {
  CHAR8 Chars[24];
  NumberedText(const CHAR8 *Prefix, UINTN Number, UINTN Digits) {
    UINTN Length = 0;
    while (*Prefix != 0) Chars[Length++] = *Prefix++;
    for (UINTN Digit = Digits; Digit > 0; --Digit) {
      Chars[Length + Digit - 1] = static_cast<CHAR8>('0' + Number % 10);
      Number /= 10;
    }
    Chars[Length + Digits] = 0;
  }
};
NumberedText QuestionPrompt(UINTN Index) { return NumberedText("Setting ", Index, 4); }
NumberedText StringPrompt(UINTN Index) { return NumberedText("Name ", Index, 3); }
NumberedText StringValue(UINTN Index) { return NumberedText("n", Index, 3); }

// String ids as the builder hands them out: the title, the form set's help, the
// form title, the two option texts, then each prompt with the shared empty help
// taking the id after the first prompt.
struct StringIds {
  static constexpr EFI_STRING_ID TITLE = 2, FORM_SET_HELP = 3, FORM_TITLE = 4, OFF = 5, ON = 6,
                                 FIRST_PROMPT = 7;
  static constexpr EFI_STRING_ID EMPTY_HELP = 8;
  static EFI_STRING_ID Prompt(UINTN Statement) {
    return static_cast<EFI_STRING_ID>(Statement == 0 ? FIRST_PROMPT : EMPTY_HELP + Statement);
  }
};

void OpcodeHeader(ByteSink &Out, UINT8 OpCode, UINT8 Length, bool Scope) {
  Out.U8(OpCode);
  Out.U8(IfrLengthByte(Length, Scope));
}

void End(ByteSink &Out) { OpcodeHeader(Out, EFI_IFR_END_OP, 2, false); }

void QuestionHeader(ByteSink &Out, UINTN Statement, EFI_QUESTION_ID Id, UINT16 Offset) {
  Out.U16(StringIds::Prompt(Statement));
  Out.U16(StringIds::EMPTY_HELP);
  Out.U16(Id);
  Out.U16(StoreId);
  Out.U16(Offset);
  Out.U8(0);  // question flags
}

void Option(ByteSink &Out, EFI_STRING_ID Text, UINT8 Value) {
  OpcodeHeader(Out, EFI_IFR_ONE_OF_OPTION_OP, 7, false);
  Out.U16(Text);
  Out.U8(0);                        // option flags
  Out.U8(EFI_IFR_TYPE_NUM_SIZE_8);  // value type
  Out.U8(Value);
}

void Question(ByteSink &Out, UINT16 Index) {
  const auto Id = static_cast<EFI_QUESTION_ID>(FirstQuestionId + Index);
  const bool IsOneOf = Index % 2 == 0;
  OpcodeHeader(Out, IsOneOf ? EFI_IFR_ONE_OF_OP : EFI_IFR_NUMERIC_OP, 2 + 11 + 1 + 3 * VALUE_WIDTH, true);
  QuestionHeader(Out, Index, Id, Index);
  Out.U8(EFI_IFR_NUMERIC_SIZE_1);
  // A one-of's range is unused and left zero; the numeric takes 0..255 step 1.
  Out.U8(0);
  Out.U8(IsOneOf ? 0 : 255);
  Out.U8(IsOneOf ? 0 : 1);
  if (IsOneOf) {
    Option(Out, StringIds::OFF, 0);
    Option(Out, StringIds::ON, 1);
  }
  End(Out);
}

void StringQuestion(ByteSink &Out, UINT16 Questions, UINT16 Index) {
  OpcodeHeader(Out, EFI_IFR_STRING_OP, 2 + 11 + 3, true);
  QuestionHeader(Out, Questions + Index, static_cast<EFI_QUESTION_ID>(FirstStringId + Index),
                 StoreSize(Questions, Index));
  Out.U8(0);  // MinSize
  Out.U8(StringMaxSize);
  Out.U8(0);  // string flags
  End(Out);
}

void FormsPackage(ByteSink &Out, UINT16 Questions, UINT16 Strings) {
  const UINTN Start = Out.Size();
  Out.U32(EFI_HII_PACKAGE_FORMS << 24);  // length patched below
  OpcodeHeader(Out, EFI_IFR_FORM_SET_OP, 2 + 16 + 2 + 2 + 1 + 16, true);
  Out.Guid(FormSetGuid);
  Out.U16(StringIds::TITLE);
  Out.U16(StringIds::FORM_SET_HELP);
  Out.U8(1);  // one class GUID
  Out.Guid(PLATFORM_SETUP_CLASS_GUID);

  OpcodeHeader(Out, EFI_IFR_VARSTORE_OP, static_cast<UINT8>(2 + 16 + 2 + 2 + AsciiSize(StoreName)), false);
  Out.Guid(StoreGuid);
  Out.U16(StoreId);
  Out.U16(StoreSize(Questions, Strings));
  Out.AsciiZ(StoreName);

  OpcodeHeader(Out, EFI_IFR_FORM_OP, 6, true);
  Out.U16(FormId);
  Out.U16(StringIds::FORM_TITLE);
  for (UINT16 Index = 0; Index < Questions; ++Index) Question(Out, Index);
  for (UINT16 Index = 0; Index < Strings; ++Index) StringQuestion(Out, Questions, Index);
  End(Out);  // the form
  End(Out);  // the form set
  Out.Patch(Start, static_cast<UINT32>(Out.Size() - Start), 3);
}

void StringPackage(ByteSink &Out, UINT16 Questions, UINT16 Strings) {
  const UINTN Start = Out.Size();
  Out.U32(static_cast<UINT32>(EFI_HII_PACKAGE_STRINGS) << 24);  // length patched below
  Out.U32(STRING_PACKAGE_HEADER_SIZE);                          // HdrSize
  Out.U32(STRING_PACKAGE_HEADER_SIZE);                          // StringInfoOffset
  for (UINTN Index = 0; Index < 16; ++Index) Out.U16(0);        // LanguageWindow
  Out.U16(1);                                                   // LanguageName: string 1
  Out.AsciiZ(LANGUAGE);

  Out.StringBlock(LANGUAGE_NAME);
  Out.StringBlock(Title);
  Out.StringBlock("");
  Out.StringBlock(FormTitle);
  Out.StringBlock("Off");
  Out.StringBlock("On");
  const UINTN Statements = Questions + Strings;
  for (UINTN Statement = 0; Statement < Statements; ++Statement) {
    Out.StringBlock(Statement < Questions ? QuestionPrompt(Statement).Chars
                                          : StringPrompt(Statement - Questions).Chars);
    if (Statement == 0) Out.StringBlock("");  // the shared empty help
  }
  Out.U8(EFI_HII_SIBT_END);
  Out.Patch(Start, static_cast<UINT32>(Out.Size() - Start), 3);
}

void PackageList(ByteSink &Out, UINT16 Questions, UINT16 Strings) {
  Out.Guid(FormSetGuid);
  Out.U32(0);  // length patched below
  FormsPackage(Out, Questions, Strings);
  StringPackage(Out, Questions, Strings);
  Out.U32(static_cast<UINT32>(EFI_HII_PACKAGE_END) << 24 | 4);
  Out.Patch(sizeof(EFI_GUID), static_cast<UINT32>(Out.Size()), 4);
}

void FillStore(UINT8 *Bytes, UINT16 Questions, UINT16 Strings) {
  for (UINT16 Index = 0; Index < Questions; ++Index) Bytes[Index] = QuestionValue(Index);
  for (UINT16 Index = 0; Index < Strings; ++Index) {
    const NumberedText Value = StringValue(Index);
    UINT8 *Slot = Bytes + StoreSize(Questions, Index);
    for (UINTN Char = 0; Value.Chars[Char] != 0; ++Char)
      Slot[2 * Char] = static_cast<UINT8>(Value.Chars[Char]);
  }
}

}  // namespace

EFI_STATUS BuildBigCard(UINT16 Questions, UINT16 Strings, BIG_CARD *Card) {
  if (Card == nullptr || Questions > MaxQuestions || Strings > MaxStrings) return EFI_INVALID_PARAMETER;
  ZeroBytes(Card, sizeof(*Card));
  ByteSink Counter(nullptr, 0);
  PackageList(Counter, Questions, Strings);
  const UINT16 Size = StoreSize(Questions, Strings);
  Card->PackageList = static_cast<UINT8 *>(PoolAllocZero(Counter.Size()));
  Card->StoreBytes = static_cast<UINT8 *>(PoolAllocZero(Size == 0 ? 1 : Size));
  if (Card->PackageList == nullptr || Card->StoreBytes == nullptr) {
    FreeBigCard(Card);
    return EFI_OUT_OF_RESOURCES;
  }
  ByteSink Out(Card->PackageList, Counter.Size());
  PackageList(Out, Questions, Strings);
  FillStore(Card->StoreBytes, Questions, Strings);
  Card->Store = {StoreName, StoreGuid, StoreId, Size, FALSE, 0, Card->StoreBytes};
  Card->Fixture = {"BigCard", Card->PackageList, Counter.Size(), &Card->Store, 1};
  return EFI_SUCCESS;
}

void FreeBigCard(BIG_CARD *Card) {
  if (Card == nullptr) return;
  PoolFree(Card->PackageList);
  PoolFree(Card->StoreBytes);
  ZeroBytes(Card, sizeof(*Card));
}

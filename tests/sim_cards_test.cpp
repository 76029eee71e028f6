// The simulated PCI functions and add-on card fixtures: configuration reads,
// locations and paths, the package lists the builder produces, and cards as the
// HII database and the configuration router see them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/card_fixture.h"
#include "sim/config_text.h"
#include "sim/pci.h"
#include "tests/sim_fixture.h"
#include "uefi/guids.h"

namespace {

using sim::CardFormSet;
namespace cond = sim::cond;

constexpr EFI_GUID StoreGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct Op {
  std::size_t Offset;  // within the forms package
  UINT8 Code;
  UINT8 Length;
  bool Scope;
};

std::size_t PackageLength(const UINT8 *Header) { return Header[0] | (Header[1] << 8) | (Header[2] << 16); }

// The packages of a list as (type, offset) pairs; fails the test on a list
// whose lengths do not add up.
std::vector<std::pair<UINT8, std::size_t>> Packages(const std::vector<UINT8> &List) {
  std::vector<std::pair<UINT8, std::size_t>> Found;
  UINT32 ListLength;
  std::memcpy(&ListLength, List.data() + 16, 4);
  EXPECT_EQ(ListLength, List.size());
  std::size_t At = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (At + 4 <= List.size()) {
    Found.emplace_back(List[At + 3], At);
    if (List[At + 3] == EFI_HII_PACKAGE_END) break;
    const std::size_t Length = PackageLength(&List[At]);
    if (Length < 4) break;
    At += Length;
  }
  EXPECT_EQ(At + 4, List.size()) << "the end package must close the list";
  return Found;
}

// The opcodes of the first forms package; scopes must balance.
std::vector<Op> Opcodes(const std::vector<UINT8> &List) {
  for (auto [Type, At] : Packages(List)) {
    if (Type != EFI_HII_PACKAGE_FORMS) continue;
    std::vector<Op> Ops;
    const std::size_t Length = PackageLength(&List[At]);
    int Depth = 0;
    for (std::size_t Pos = 4; Pos < Length;) {
      const Op Each{Pos, List[At + Pos], static_cast<UINT8>(List[At + Pos + 1] & 0x7F),
                    (List[At + Pos + 1] & 0x80) != 0};
      EXPECT_GE(Each.Length, 2);
      if (Each.Length < 2) break;
      Depth += Each.Scope ? 1 : 0;
      Depth -= Each.Code == EFI_IFR_END_OP ? 1 : 0;
      EXPECT_GE(Depth, 0);
      Ops.push_back(Each);
      Pos += Each.Length;
    }
    EXPECT_EQ(Depth, 0) << "unbalanced scopes";
    return Ops;
  }
  ADD_FAILURE() << "no forms package";
  return {};
}

const Op *FindOp(const std::vector<Op> &Ops, UINT8 Code, int Nth = 0) {
  for (const Op &Each : Ops)
    if (Each.Code == Code && Nth-- == 0) return &Each;
  return nullptr;
}

std::vector<UINT8> FormsBytes(const std::vector<UINT8> &List) {
  for (auto [Type, At] : Packages(List))
    if (Type == EFI_HII_PACKAGE_FORMS)
      return {List.begin() + At, List.begin() + At + PackageLength(&List[At])};
  return {};
}

CardFormSet OneForm() { return CardFormSet("Card").BufferStore(1, "Cfg", StoreGuid, 64).Form(1, "Main"); }

sim::Question Q(EFI_QUESTION_ID Id, UINT16 Offset) { return {Id, 1, Offset, "Prompt"}; }

// ---- PCI functions ------------------------------------------------------------------

class PciTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Pci = &sim::AddPciFunction(0x15B3, 0x1021, 0x3B, 2, 1);
  }
  EFI_STATUS Read(UINT32 Width, UINT32 Offset, UINTN Count, void *Buffer) {
    return Pci->PciIo.Pci.Read(&Pci->PciIo, static_cast<EFI_PCI_IO_PROTOCOL_WIDTH>(Width), Offset, Count,
                               Buffer);
  }
  sim::PciFunction *Pci = nullptr;
};

TEST_F(PciTest, ConfigReadsHonourWidthCountAndBounds) {
  struct Case {
    UINT32 Width;
    UINT32 Offset;
    UINTN Count;
    EFI_STATUS Status;
    std::vector<UINT8> Bytes;
  };
  Pci->ConfigSpace[0xFF] = 0xAB;
  const Case Cases[] = {
      {EfiPciIoWidthUint16, 0, 1, EFI_SUCCESS, {0xB3, 0x15}},
      {EfiPciIoWidthUint16, 2, 1, EFI_SUCCESS, {0x21, 0x10}},
      {EfiPciIoWidthUint8, 0, 4, EFI_SUCCESS, {0xB3, 0x15, 0x21, 0x10}},
      {EfiPciIoWidthUint32, 0, 1, EFI_SUCCESS, {0xB3, 0x15, 0x21, 0x10}},
      {EfiPciIoWidthUint64, 0xF8, 1, EFI_SUCCESS, {0, 0, 0, 0, 0, 0, 0, 0xAB}},
      {EfiPciIoWidthFifoUint16, 0, 3, EFI_SUCCESS, {0xB3, 0x15, 0xB3, 0x15, 0xB3, 0x15}},
      {EfiPciIoWidthFifoUint8, 0xFF, 3, EFI_SUCCESS, {0xAB, 0xAB, 0xAB}},
      {EfiPciIoWidthFillUint8, 0, 4, EFI_SUCCESS, {0x10}},
      {EfiPciIoWidthUint8, 0xFF, 1, EFI_SUCCESS, {0xAB}},
      {EfiPciIoWidthUint8, 0xFF, 2, EFI_UNSUPPORTED, {}},
      {EfiPciIoWidthUint16, 0x100, 1, EFI_UNSUPPORTED, {}},
      {EfiPciIoWidthUint8, 0xFFFFFFFF, 1, EFI_UNSUPPORTED, {}},
      {EfiPciIoWidthUint8, 0, ~UINTN{0}, EFI_UNSUPPORTED, {}},
      {EfiPciIoWidthUint32, 2, 1, EFI_UNSUPPORTED, {}},
      {EfiPciIoWidthMaximum, 0, 1, EFI_INVALID_PARAMETER, {}},
      {0xFF, 0, 1, EFI_INVALID_PARAMETER, {}},
  };
  for (const Case &C : Cases) {
    std::vector<UINT8> Buffer(16, 0xEE);
    EXPECT_EQ(Read(C.Width, C.Offset, C.Count, Buffer.data()), C.Status) << C.Width << "@" << C.Offset;
    const std::vector<UINT8> Head(Buffer.begin(), Buffer.begin() + C.Bytes.size());
    EXPECT_EQ(Head, C.Bytes) << C.Width << "@" << C.Offset;
    if (EFI_ERROR(C.Status)) EXPECT_EQ(Buffer[0], 0xEE) << "a refused read writes nothing";
  }
  EXPECT_EQ(Read(EfiPciIoWidthUint16, 0, 1, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(PciTest, WritesLandInConfigSpaceOnlyWithinBounds) {
  UINT16 Value = 0xBEEF;
  EXPECT_EQ(Pci->PciIo.Pci.Write(&Pci->PciIo, EfiPciIoWidthUint16, 0x40, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(Pci->ConfigSpace[0x40], 0xEF);
  EXPECT_EQ(Pci->PciIo.Pci.Write(&Pci->PciIo, EfiPciIoWidthUint16, 0xFF, 1, &Value), EFI_UNSUPPORTED);
  EXPECT_EQ(Pci->ConfigSpace[0xFF], 0);
}

TEST_F(PciTest, LocationIsConfigurableAndFaultsAreInjectable) {
  UINTN Segment = 9, Bus = 0, Device = 0, Function = 0;
  auto GetLocation = [&] { return Pci->PciIo.GetLocation(&Pci->PciIo, &Segment, &Bus, &Device, &Function); };
  ASSERT_EQ(GetLocation(), EFI_SUCCESS);
  EXPECT_EQ(std::vector<UINTN>({Segment, Bus, Device, Function}), std::vector<UINTN>({0, 0x3B, 2, 1}));

  Pci->Location = {0, 0x100, 0x20, 8};
  ASSERT_EQ(GetLocation(), EFI_SUCCESS);
  EXPECT_EQ(std::vector<UINTN>({Bus, Device, Function}), std::vector<UINTN>({0x100, 0x20, 8}));
  EXPECT_EQ(Pci->PciIo.GetLocation(&Pci->PciIo, &Segment, nullptr, &Device, &Function),
            EFI_INVALID_PARAMETER);

  sim::FailService("PciIo.GetLocation", EFI_DEVICE_ERROR);
  sim::FailService("PciIo.Read", EFI_TIMEOUT);
  UINT16 Id = 0;
  EXPECT_EQ(GetLocation(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Read(EfiPciIoWidthUint16, 0, 1, &Id), EFI_TIMEOUT);
  EXPECT_EQ(GetLocation(), EFI_SUCCESS);
  EXPECT_EQ(Read(EfiPciIoWidthUint16, 0, 1, &Id), EFI_SUCCESS);
  EXPECT_EQ(Id, 0x15B3);
}

TEST_F(PciTest, PathIsPciRootThenPciNode) {
  const std::vector<UINT8> Expected = {0x02, 0x01, 12,   0, 0xD0, 0x41, 0x03, 0x0A, 0x3B, 0, 0,
                                       0,    0x01, 0x01, 6, 0,    1,    2,    0x7F, 0xFF, 4, 0};
  EXPECT_EQ(Pci->DevicePath, Expected);
  void *Installed = nullptr;
  ASSERT_EQ(sim::SystemTable()->BootServices->HandleProtocol(Pci->Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                                             &Installed),
            EFI_SUCCESS);
  EXPECT_EQ(sim::DevicePathBytes(static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Installed)), Expected);
}

// ---- the package-list builder ---------------------------------------------------------

TEST(CardFormSetBuilder, QuestionOpcodesHaveTheirEncodedLengths) {
  struct Case {
    const char *Kind;
    CardFormSet Set;
    UINT8 Code;
    UINT8 Length;
    bool Scope;
  };
  const Case Cases[] = {
      {"one-of u8", OneForm().OneOf(Q(1, 0), 1), EFI_IFR_ONE_OF_OP, 17, true},
      {"one-of u16", OneForm().OneOf(Q(1, 0), 2), EFI_IFR_ONE_OF_OP, 20, true},
      {"one-of u32", OneForm().OneOf(Q(1, 0), 4), EFI_IFR_ONE_OF_OP, 26, true},
      {"one-of u64", OneForm().OneOf(Q(1, 0), 8), EFI_IFR_ONE_OF_OP, 38, true},
      {"numeric u8", OneForm().Numeric(Q(1, 0), 1, 0, 9), EFI_IFR_NUMERIC_OP, 17, true},
      {"numeric u16", OneForm().Numeric(Q(1, 0), 2, 0, 9), EFI_IFR_NUMERIC_OP, 20, true},
      {"numeric u32", OneForm().Numeric(Q(1, 0), 4, 0, 9), EFI_IFR_NUMERIC_OP, 26, true},
      {"numeric u64", OneForm().Numeric(Q(1, 0), 8, 0, 9), EFI_IFR_NUMERIC_OP, 38, true},
      {"option u8", OneForm().OneOf(Q(1, 0), 1).Option("A", 1), EFI_IFR_ONE_OF_OPTION_OP, 7, false},
      {"option u16", OneForm().OneOf(Q(1, 0), 2).Option("A", 1), EFI_IFR_ONE_OF_OPTION_OP, 8, false},
      {"option u32", OneForm().OneOf(Q(1, 0), 4).Option("A", 1), EFI_IFR_ONE_OF_OPTION_OP, 10, false},
      {"option u64", OneForm().OneOf(Q(1, 0), 8).Option("A", 1), EFI_IFR_ONE_OF_OPTION_OP, 14, false},
      {"default u16", OneForm().Numeric(Q(1, 0), 2, 0, 9).Default(3), EFI_IFR_DEFAULT_OP, 7, false},
      {"checkbox", OneForm().Checkbox(Q(1, 0)), EFI_IFR_CHECKBOX_OP, 14, true},
      {"string", OneForm().String(Q(1, 0), 1, 20), EFI_IFR_STRING_OP, 16, true},
      {"text", OneForm().Text("T", "H", "Two"), EFI_IFR_TEXT_OP, 8, false},
      {"subtitle", OneForm().Subtitle("S"), EFI_IFR_SUBTITLE_OP, 7, true},
      {"goto", OneForm().Goto(2, Q(9, 0)), EFI_IFR_REF_OP, 15, false},
      {"form", OneForm(), EFI_IFR_FORM_OP, 6, true},
      {"buffer store", OneForm(), EFI_IFR_VARSTORE_OP, 22 + 4, false},
      {"efi store", OneForm().EfiStore(2, "Efi", StoreGuid, 8), EFI_IFR_VARSTORE_EFI_OP, 26 + 4, false},
      {"form set", OneForm(), EFI_IFR_FORM_SET_OP, 23 + 16, true},
      {"form set, two classes", OneForm().ClassGuid(StoreGuid).ClassGuid(StoreGuid), EFI_IFR_FORM_SET_OP,
       23 + 32, true},
      {"eq-id-val", OneForm().SuppressIf(cond::EqIdVal(1, 2)).EndIf(), EFI_IFR_EQ_ID_VAL_OP, 6, false},
      {"eq-id-val-list", OneForm().GrayOutIf(cond::EqIdValList(1, {2, 3, 4})).EndIf(),
       EFI_IFR_EQ_ID_VAL_LIST_OP, 12, false},
  };
  for (const Case &C : Cases) {
    const std::vector<Op> Ops = Opcodes(C.Set.Build());
    const Op *Found = FindOp(Ops, C.Code);
    ASSERT_NE(Found, nullptr) << C.Kind;
    EXPECT_EQ(Found->Length, C.Length) << C.Kind;
    EXPECT_EQ(Found->Scope, C.Scope) << C.Kind;
  }
}

TEST(CardFormSetBuilder, FieldsAreLittleEndianAtTheQuestionsWidth) {
  const auto List = OneForm()
                        .Numeric({0x1234, 1, 0x20, "N", "", EFI_IFR_FLAG_RESET_REQUIRED}, 4, 5, 0x01020304, 7)
                        .OneOf(Q(2, 0), 2)
                        .Option("A", 0x0101, EFI_IFR_OPTION_DEFAULT)
                        .Build();
  const std::vector<UINT8> Forms = FormsBytes(List);
  const std::vector<Op> Ops = Opcodes(List);
  const UINT8 *Numeric = &Forms[FindOp(Ops, EFI_IFR_NUMERIC_OP)->Offset];
  EXPECT_EQ(
      std::vector<UINT8>(Numeric + 6, Numeric + 14),
      std::vector<UINT8>({0x34, 0x12, 1, 0, 0x20, 0, EFI_IFR_FLAG_RESET_REQUIRED, EFI_IFR_NUMERIC_SIZE_4}));
  EXPECT_EQ(std::vector<UINT8>(Numeric + 14, Numeric + 26),
            std::vector<UINT8>({5, 0, 0, 0, 4, 3, 2, 1, 7, 0, 0, 0}));
  const UINT8 *Option = &Forms[FindOp(Ops, EFI_IFR_ONE_OF_OPTION_OP)->Offset];
  EXPECT_EQ(std::vector<UINT8>(Option + 4, Option + 8),
            std::vector<UINT8>({EFI_IFR_OPTION_DEFAULT, EFI_IFR_TYPE_NUM_SIZE_16, 0x01, 0x01}));
}

TEST(CardFormSetBuilder, ConditionsArePostfixAndScopesNest) {
  const auto List =
      OneForm()
          .SuppressIf(cond::Not(cond::And(cond::EqIdVal(1, 2), cond::Or(cond::True(), cond::False()))))
          .GrayOutIf(cond::True())
          .Checkbox(Q(1, 0))
          .EndIf()
          .EndIf()
          .Build();
  std::vector<UINT8> Codes;
  for (const Op &Each : Opcodes(List)) Codes.push_back(Each.Code);
  const std::vector<UINT8> Expected = {EFI_IFR_FORM_SET_OP,    EFI_IFR_VARSTORE_OP,    EFI_IFR_FORM_OP,
                                       EFI_IFR_SUPPRESS_IF_OP, EFI_IFR_EQ_ID_VAL_OP,   EFI_IFR_TRUE_OP,
                                       EFI_IFR_FALSE_OP,       EFI_IFR_OR_OP,          EFI_IFR_AND_OP,
                                       EFI_IFR_NOT_OP,         EFI_IFR_GRAY_OUT_IF_OP, EFI_IFR_TRUE_OP,
                                       EFI_IFR_CHECKBOX_OP,    EFI_IFR_END_OP,         EFI_IFR_END_OP,
                                       EFI_IFR_END_OP,         EFI_IFR_END_OP,         EFI_IFR_END_OP};
  EXPECT_EQ(Codes, Expected);
}

TEST(CardFormSetBuilder, MisuseIsRefused) {
  EXPECT_THROW(OneForm().Option("A", 1), std::logic_error);
  EXPECT_THROW(OneForm().EndIf(), std::logic_error);
  EXPECT_THROW(OneForm().SuppressIf(cond::True()).Form(2, "Next"), std::logic_error);
  EXPECT_THROW(OneForm().SuppressIf(cond::True()).Build(), std::logic_error);
  EXPECT_THROW(CardFormSet("T").Checkbox(Q(1, 0)), std::logic_error);
  EXPECT_THROW(OneForm().Numeric(Q(1, 0), 3, 0, 1), std::invalid_argument);
}

// Reads the string blocks of a package into id -> text; skipped ids are absent.
std::map<UINT16, std::u16string> StringsOf(const std::vector<UINT8> &List, const std::string &Language,
                                           UINT16 *IdCount) {
  std::map<UINT16, std::u16string> Texts;
  for (auto [Type, At] : Packages(List)) {
    if (Type != EFI_HII_PACKAGE_STRINGS) continue;
    const UINT8 *Package = &List[At];
    UINT32 HdrSize;
    std::memcpy(&HdrSize, Package + 4, 4);
    if (Language != reinterpret_cast<const char *>(Package + 46)) continue;
    UINT16 Id = 1;
    for (std::size_t Pos = HdrSize; Package[Pos] != EFI_HII_SIBT_END;) {
      if (Package[Pos] == EFI_HII_SIBT_SKIP1) {
        Id = static_cast<UINT16>(Id + Package[Pos + 1]);
        Pos += 2;
      } else {
        EXPECT_EQ(Package[Pos], EFI_HII_SIBT_STRING_UCS2);
        std::u16string Text;
        for (Pos += 1; Package[Pos] | Package[Pos + 1]; Pos += 2)
          Text.push_back(static_cast<char16_t>(Package[Pos] | Package[Pos + 1] << 8));
        Pos += 2;
        Texts[Id++] = Text;
      }
    }
    *IdCount = static_cast<UINT16>(Id - 1);
    return Texts;
  }
  ADD_FAILURE() << "no string package " << Language;
  return Texts;
}

TEST(CardFormSetBuilder, StringPackagesPerLanguageWithKeywordsAndTranslations) {
  CardFormSet Set = OneForm().Languages({"en-US", "fr-FR"});
  Set.Checkbox(Q(1, 0)).PromptIn("fr-FR", u"Invite").Keyword("x-UEFI-QZV", "CARD0001").Text("Plain");
  const EFI_STRING_ID TextPrompt = Set.LastPromptId();
  const auto List = Set.Build();

  UINT16 EnCount = 0, FrCount = 0, KeyCount = 0;
  const auto En = StringsOf(List, "en-US", &EnCount);
  const auto Fr = StringsOf(List, "fr-FR", &FrCount);
  const auto Keywords = StringsOf(List, "x-UEFI-QZV", &KeyCount);
  EXPECT_EQ(En.at(Set.TitleId()), u"Card");
  EXPECT_EQ(En.at(1), u"English");
  EXPECT_EQ(Fr.at(TextPrompt), u"Plain") << "untranslated text falls back";
  // The checkbox prompt is the string before the shared empty help and the text's prompt.
  const std::vector<Op> Ops = Opcodes(List);
  const Op *Checkbox = FindOp(Ops, EFI_IFR_CHECKBOX_OP);
  const std::vector<UINT8> Forms = FormsBytes(List);
  const UINT16 CheckboxPrompt =
      static_cast<UINT16>(Forms[Checkbox->Offset + 2] | Forms[Checkbox->Offset + 3] << 8);
  EXPECT_EQ(En.at(CheckboxPrompt), u"Prompt");
  EXPECT_EQ(Fr.at(CheckboxPrompt), u"Invite");
  EXPECT_EQ(Keywords.at(CheckboxPrompt), u"CARD0001");
  EXPECT_EQ(Keywords.count(TextPrompt), 0u) << "keyword packages hold only keywords";
  EXPECT_EQ(Keywords.count(Set.TitleId()), 0u);
  EXPECT_EQ(EnCount, FrCount);
  EXPECT_EQ(EnCount, KeyCount) << "every package spans the same ids";
}

TEST(CardFormSetBuilder, ListHasFormsThenStringsThenEnd) {
  const auto List = OneForm().Languages({"en-US", "de-DE"}).Build();
  std::vector<UINT8> Types;
  for (auto [Type, At] : Packages(List)) Types.push_back(Type);
  EXPECT_EQ(Types, std::vector<UINT8>({EFI_HII_PACKAGE_FORMS, EFI_HII_PACKAGE_STRINGS,
                                       EFI_HII_PACKAGE_STRINGS, EFI_HII_PACKAGE_END}));
  EXPECT_EQ(std::vector<UINT8>(List.end() - 4, List.end()), std::vector<UINT8>({4, 0, 0, 0xDF}));
  EXPECT_EQ(std::memcmp(List.data(), &CardFormSet::DefaultGuid, 16), 0) << "list GUID is the form-set GUID";
  // FormSetTitle sits at offset 42 of the list (after list, package and opcode headers and the GUID).
  EXPECT_EQ(List[24], EFI_IFR_FORM_SET_OP);
  EXPECT_EQ(List[42] | List[43] << 8, CardFormSet("Card").TitleId());
}

TEST(SampleCard, HasEveryMirroredKindAndBothConditions) {
  const std::vector<Op> Ops = Opcodes(sim::BuildSampleCard());
  for (UINT8 Code : {EFI_IFR_ONE_OF_OP, EFI_IFR_NUMERIC_OP, EFI_IFR_CHECKBOX_OP, EFI_IFR_STRING_OP,
                     EFI_IFR_TEXT_OP, EFI_IFR_SUPPRESS_IF_OP, EFI_IFR_GRAY_OUT_IF_OP})
    EXPECT_NE(FindOp(Ops, Code), nullptr) << int(Code);
  EXPECT_EQ(FindOp(Ops, EFI_IFR_FORM_OP, 1) != nullptr, true) << "two forms";
  const std::vector<UINT8> Store = sim::SampleCardStore();
  ASSERT_EQ(Store.size(), sim::sample_card::StoreSize);
  EXPECT_EQ(Store[sim::sample_card::VlanIdOffset], 1);
  EXPECT_EQ(Store[sim::sample_card::BootTargetNameOffset], 'p');
}

// ---- published cards ------------------------------------------------------------------

class CardTest : public SimTest {
 protected:
  EFI_HII_DATABASE_PROTOCOL *Database() {
    void *Interface = nullptr;
    EXPECT_EQ(sim::SystemTable()->BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr,
                                                               &Interface),
              EFI_SUCCESS);
    return static_cast<EFI_HII_DATABASE_PROTOCOL *>(Interface);
  }
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
    void *Interface = nullptr;
    EXPECT_EQ(sim::SystemTable()->BootServices->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr,
                                                               &Interface),
              EFI_SUCCESS);
    return static_cast<EFI_HII_CONFIG_ROUTING_PROTOCOL *>(Interface);
  }
  static std::u16string Hex(const UINT8 *Bytes, std::size_t Count) {
    static const char16_t Digits[] = u"0123456789abcdef";
    std::u16string Text;
    for (std::size_t I = 0; I < Count; ++I) Text += {Digits[Bytes[I] >> 4], Digits[Bytes[I] & 15]};
    return Text;
  }
  static std::u16string Header(const sim::CardDriver &Card, const EFI_GUID &Guid, const std::string &Name) {
    std::u16string Text = u"GUID=" + Hex(reinterpret_cast<const UINT8 *>(&Guid), 16) + u"&NAME=";
    for (char C : Name) {
      const UINT8 Unit[2] = {0, static_cast<UINT8>(C)};
      Text += Hex(Unit, 2);
    }
    return Text + u"&PATH=" + Hex(Card.DevicePath.data(), Card.DevicePath.size());
  }
  static std::u16string SampleHeader(const sim::CardDriver &Card) {
    return Header(Card, sim::sample_card::StoreGuid, sim::sample_card::StoreName);
  }
  // Frees the router's answer and returns it as text.
  static std::u16string Take(CHAR16 *Results) {
    std::u16string Text = Results != nullptr ? Results : u"";
    if (Results != nullptr) sim::SystemTable()->BootServices->FreePool(Results);
    return Text;
  }
};

TEST_F(CardTest, PublishedListIsListedAndExportedOnTheCardHandle) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  EFI_HII_DATABASE_PROTOCOL *Db = Database();
  EFI_HII_HANDLE Handles[8];
  UINTN Length = sizeof(Handles);
  ASSERT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_FORMS, nullptr, &Length, Handles), EFI_SUCCESS);
  ASSERT_EQ(Length, sizeof(EFI_HII_HANDLE));
  EXPECT_EQ(Handles[0], Card.HiiHandle);
  EFI_HANDLE Owner = nullptr;
  ASSERT_EQ(Db->GetPackageListHandle(Db, Card.HiiHandle, &Owner), EFI_SUCCESS);
  EXPECT_EQ(Owner, Card.Handle);

  UINTN Size = 0;
  ASSERT_EQ(Db->ExportPackageLists(Db, Card.HiiHandle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  std::vector<UINT8> Exported(Size);
  ASSERT_EQ(Db->ExportPackageLists(Db, Card.HiiHandle, &Size,
                                   reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Exported.data())),
            EFI_SUCCESS);
  EXPECT_EQ(FormsBytes(Exported), FormsBytes(sim::BuildSampleCard())) << "forms exported byte-identical";
  bool PathFound = false;
  for (auto [Type, At] : Packages(Exported))
    if (Type == EFI_HII_PACKAGE_DEVICE_PATH)
      PathFound = std::vector<UINT8>(Exported.begin() + At + 4,
                                     Exported.begin() + At + PackageLength(&Exported[At])) == Card.DevicePath;
  EXPECT_TRUE(PathFound) << "the database adds the card handle's path";
}

TEST_F(CardTest, CardPathLeadsToItsOwnPciFunction) {
  sim::CardDriver &First = sim::PublishSampleCard(0x3B);
  sim::CardDriver &Second = sim::PublishSampleCard(0x5E);
  sim::CardDriver &SecondPort = sim::PublishCard(*Second.Pci, sim::BuildSampleCard());
  EXPECT_NE(Second.DevicePath, SecondPort.DevicePath) << "ports of one function differ in their MAC node";
  EXPECT_EQ(SecondPort.DevicePath[Second.Pci->DevicePath.size() - 4 + 9], 1) << "port number in the MAC";

  for (sim::CardDriver *Card : {&First, &Second, &SecondPort}) {
    std::vector<UINT8> Path = Card->DevicePath;
    auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path.data());
    EFI_HANDLE Device = nullptr;
    ASSERT_EQ(
        sim::SystemTable()->BootServices->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Remaining, &Device),
        EFI_SUCCESS);
    EXPECT_EQ(Device, Card->Pci->Handle);
    EXPECT_EQ(reinterpret_cast<UINT8 *>(Remaining) - Path.data(),
              static_cast<std::ptrdiff_t>(Card->Pci->DevicePath.size() - 4))
        << "the remaining path starts at the port node";
    void *PciIo = nullptr;
    ASSERT_EQ(sim::SystemTable()->BootServices->HandleProtocol(Device, &EFI_PCI_IO_PROTOCOL_GUID, &PciIo),
              EFI_SUCCESS);
    EXPECT_EQ(PciIo, &Card->Pci->PciIo);
  }
}

TEST_F(CardTest, CardsOffPciHaveNoPciAncestor) {
  const std::vector<UINT8> VendorPath = {0x01, 0x04, 20, 0,  1,  2,  3,  4,  5,    6,    7, 8,
                                         9,    10,   11, 12, 13, 14, 15, 16, 0x7F, 0xFF, 4, 0};
  sim::AddPciFunction(0x15B3, 0x1021, 1, 0, 0);
  sim::CardDriver &OffPci = sim::PublishCardOnPath(VendorPath, sim::BuildSampleCard());
  sim::CardDriver &NoPath = sim::PublishCardOnPath({}, CardFormSet("Pathless").Build());
  EXPECT_EQ(OffPci.Pci, nullptr);
  std::vector<UINT8> Path = OffPci.DevicePath;
  auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path.data());
  EFI_HANDLE Device = nullptr;
  EXPECT_EQ(Bs()->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Remaining, &Device), EFI_NOT_FOUND);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(NoPath.Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface), EFI_UNSUPPORTED);
  EXPECT_EQ(Bs()->HandleProtocol(NoPath.Handle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
}

TEST_F(CardTest, EfiStoresBecomeVariablesAndPowerOnDropsCards) {
  const auto List = CardFormSet("Efi Card")
                        .EfiStore(2, "CardVar", StoreGuid, 4, EFI_VARIABLE_BOOTSERVICE_ACCESS)
                        .BufferStore(1, "Cfg", StoreGuid, 8)
                        .Form(1, "Main")
                        .Build();
  sim::PciFunction &Pci = sim::AddPciFunction(0xABCD, 0x0043, 1, 0, 0);
  sim::CardDriver &Card = sim::PublishCard(Pci, List, {{"CardVar", {1, 2}}, {"Cfg", {9}}});
  EXPECT_EQ(Card.Store("Cfg"), std::vector<UINT8>({9, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_THROW(Card.Store("CardVar"), std::out_of_range) << "EFI stores live in variables";
  const auto Variable = sim::FindVariable(u"CardVar", StoreGuid);
  ASSERT_TRUE(Variable.has_value());
  EXPECT_EQ(Variable->Attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(Variable->Data, std::vector<UINT8>({1, 2, 0, 0}));
  EXPECT_THROW(sim::PublishCard(Pci, List, {{"Missing", {1}}}), std::invalid_argument);
  EXPECT_THROW(sim::PublishCard(Pci, List, {{"CardVar", {1, 2, 3, 4, 5}}}), std::invalid_argument);

  sim::PowerOn();
  sim::CardDriver &Again = sim::PublishSampleCard();
  EXPECT_EQ(Again.DevicePath[Again.Pci->DevicePath.size() - 4 + 9], 0) << "port numbering restarts";
  EXPECT_EQ(sim::PackageListHandles(), std::vector<EFI_HII_HANDLE>({Again.HiiHandle}));
}

TEST_F(CardTest, RouterReachesTheCardsBufferStore) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Rt = Router();
  CHAR16 *Progress = nullptr;

  const std::u16string Write = SampleHeader(Card) + u"&OFFSET=4&WIDTH=2&VALUE=0ffe";
  ASSERT_EQ(Rt->RouteConfig(Rt, Write.c_str(), &Progress), EFI_SUCCESS);
  EXPECT_EQ(Card.RouteConfigCalls, 1u);
  EXPECT_EQ(Card.LastConfiguration, Write);
  EXPECT_EQ(Card.Store(sim::sample_card::StoreName)[4], 0xFE);
  EXPECT_EQ(Card.Store(sim::sample_card::StoreName)[5], 0x0F);

  // A bare header asks for each question's bytes, in offset order, as the
  // reference firmware expands it; the standard defaults of the card's IFR follow.
  // Byte 0x4F belongs to no question and is not asked for.
  Card.Store(sim::sample_card::StoreName)[0x4F] = 0xA5;
  CHAR16 *Results = nullptr;
  const std::u16string Whole = SampleHeader(Card);
  ASSERT_EQ(Rt->ExtractConfig(Rt, Whole.c_str(), &Progress, &Results), EFI_SUCCESS);
  const std::u16string Answer = Take(Results);
  EXPECT_EQ(Card.ExtractConfigCalls, 1u);
  EXPECT_EQ(Card.LastRequest, Whole +
                                  u"&OFFSET=0000&WIDTH=0001&OFFSET=0001&WIDTH=0001&OFFSET=0002&WIDTH=0001"
                                  u"&OFFSET=0004&WIDTH=0002&OFFSET=0006&WIDTH=0001&OFFSET=0008&WIDTH=0040"
                                  u"&OFFSET=0048&WIDTH=0001");
  const std::u16string Current(sim::cfgtext::CurrentConfiguration(Answer));
  EXPECT_NE(Current.find(u"&OFFSET=0004&WIDTH=0002&VALUE=0ffe"), std::u16string::npos) << "last byte first";
  EXPECT_EQ(Current.find(u"a5"), std::u16string::npos);
  EXPECT_EQ(Answer.substr(Current.size()),
            u"&" + Whole +
                u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=00&OFFSET=0001&WIDTH=0001&VALUE=01"
                u"&OFFSET=0002&WIDTH=0001&VALUE=00&OFFSET=0004&WIDTH=0002&VALUE=0001"
                u"&OFFSET=0006&WIDTH=0001&VALUE=01&OFFSET=0048&WIDTH=0001&VALUE=00");
  std::vector<UINT8> Block(sim::sample_card::StoreSize);
  UINTN BlockSize = Block.size();
  ASSERT_EQ(Rt->ConfigToBlock(Rt, Current.c_str(), Block.data(), &BlockSize, &Progress), EFI_SUCCESS);
  Block[0x4F] = 0xA5;
  EXPECT_EQ(Block, Card.Store(sim::sample_card::StoreName));

  const std::u16string Part = SampleHeader(Card) + u"&OFFSET=4&WIDTH=2";
  ASSERT_EQ(Rt->ExtractConfig(Rt, Part.c_str(), &Progress, &Results), EFI_SUCCESS);
  EXPECT_EQ(Take(Results),
            Part + u"&VALUE=0ffe&" + Whole + u"&ALTCFG=0000&OFFSET=0004&WIDTH=0002&VALUE=0001");
}

TEST_F(CardTest, CardRefusesWhatItDoesNotOwnAndKeepsItsStore) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  const std::vector<UINT8> Before = Card.Store(sim::sample_card::StoreName);
  EFI_HII_CONFIG_ACCESS_PROTOCOL *Access = &Card.ConfigAccess;
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;

  const std::u16string OtherName =
      Header(Card, sim::sample_card::StoreGuid, "PortConfiG") + u"&OFFSET=0&WIDTH=1";
  EXPECT_EQ(Access->ExtractConfig(Access, OtherName.c_str(), &Progress, &Results), EFI_NOT_FOUND);
  const std::u16string OtherGuid =
      Header(Card, StoreGuid, sim::sample_card::StoreName) + u"&OFFSET=0&WIDTH=1";
  EXPECT_EQ(Access->RouteConfig(Access, (OtherGuid + u"&VALUE=01").c_str(), &Progress), EFI_NOT_FOUND);
  const std::u16string Beyond = SampleHeader(Card) + u"&OFFSET=4f&WIDTH=2&VALUE=0101";
  EXPECT_TRUE(EFI_ERROR(Access->RouteConfig(Access, Beyond.c_str(), &Progress)));
  EXPECT_EQ(Card.Store(sim::sample_card::StoreName), Before) << "a refused configuration changes nothing";
  EXPECT_EQ(Access->Callback(Access, EFI_BROWSER_ACTION_CHANGED, 1, 0, nullptr, nullptr), EFI_UNSUPPORTED);

  // A null request answers every buffer store; upper-case digits in the header still match.
  ASSERT_EQ(Access->ExtractConfig(Access, nullptr, &Progress, &Results), EFI_SUCCESS);
  const std::u16string All = Take(Results);
  EXPECT_EQ(All.rfind(SampleHeader(Card) + u"&OFFSET=0&WIDTH=50&VALUE=", 0), 0u);
  std::u16string Upper = SampleHeader(Card) + u"&OFFSET=0&WIDTH=1";
  for (char16_t &C : Upper)
    if (C >= u'a' && C <= u'f') C = static_cast<char16_t>(C - 32);
  ASSERT_EQ(Access->ExtractConfig(Access, Upper.c_str(), &Progress, &Results), EFI_SUCCESS);
  Take(Results);
  EXPECT_EQ(*Progress, u'\0');
}

}  // namespace

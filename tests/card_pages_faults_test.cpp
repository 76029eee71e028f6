// Card pages from cards that are not the tidy shapes: every kind of opcode a
// form set can hold, malformed and extreme IFR, a pool that refuses each
// allocation in turn, and keywords as the platform's keyword handler finds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "hii/foreign_varstore.h"
#include "sim/sim.h"
#include "support/pool.h"
#include "tests/card_page_fixture.h"
#include "tests/sim_hii_builders.h"

namespace {

using Bytes = std::vector<UINT8>;
constexpr EFI_GUID StoreGuid = {0x3C1E0F5A, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
constexpr EFI_GUID EfiGuid = {0x3C1E0F5B, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x67}};

// A question opcode (header, question header, Tail) with or without scope.
Bytes QuestionOp(UINT8 Code, EFI_STRING_ID Prompt, EFI_QUESTION_ID Id, const Bytes &Tail, bool Scope) {
  Bytes Op = {Code, 0, UINT8(Prompt), UINT8(Prompt >> 8), 0, 0, UINT8(Id), UINT8(Id >> 8), 1, 0, 40, 0, 0};
  Op.insert(Op.end(), Tail.begin(), Tail.end());
  Op[1] = static_cast<UINT8>(Op.size() | (Scope ? 0x80 : 0));
  return Op;
}
Bytes Join(std::initializer_list<Bytes> Parts) {
  Bytes All;
  for (const Bytes &Part : Parts) All.insert(All.end(), Part.begin(), Part.end());
  return All;
}
const Bytes End = {EFI_IFR_END_OP, 2};

// The card offsets of the questions a build recorded, from record First on.
std::set<UINT16> MirroredOffsets(UINTN First = 0) {
  std::set<UINT16> Offsets;
  for (UINTN Index = First; Index < MirroredQuestionCount; ++Index)
    Offsets.insert(MirroredQuestionTable[Index].CardVarOffset);
  return Offsets;
}

// ---- every kind of opcode ------------------------------------------------------------------

TEST_F(CardPageTest, OnlyOneOfsNumericsStringsAndTextsAreMirroredFromAnyOpcodeMix) {
  sim::CardFormSet Set("All Kinds");
  Set.DefaultStore(EFI_HII_DEFAULT_CLASS_STANDARD, "Standard")
      .BufferStore(1, "Kinds", StoreGuid, 64)
      .EfiStore(2, "KindsVar", EfiGuid, 4)
      .Form(1, "First")
      .Subtitle("A subtitle")
      .Text("Info", "About it", "two")
      .Numeric({0x10, 1, 0, "N1"}, 1, 0, 9)
      .Default(3)
      .Numeric({0x11, 1, 2, "N2"}, 2, 0, 9)
      .Numeric({0x12, 1, 4, "N4"}, 4, 0, 9)
      .Numeric({0x13, 1, 8, "N8"}, 8, 0, 9)
      .OneOf({0x14, 1, 16, "One"})
      .Options({{"a", 0}, {"b", 1, EFI_IFR_OPTION_DEFAULT}})
      .Default(1)
      .Checkbox({0x15, 1, 17, "Box"})
      .String({0x16, 1, 18, "Str"}, 2, 4, EFI_IFR_STRING_MULTI_LINE)
      .Goto(2, {0x17, 0, 0, "Go"});
  const EFI_STRING_ID Prompt = Set.NewString("Hidden kind");
  Set
      .Raw(Join(
          {QuestionOp(EFI_IFR_PASSWORD_OP, Prompt, 0x20, {1, 0, 8, 0}, false),
           QuestionOp(EFI_IFR_DATE_OP, Prompt, 0x21, {0}, false),
           QuestionOp(EFI_IFR_TIME_OP, Prompt, 0x22, {0}, true),
           End,
           QuestionOp(EFI_IFR_ORDERED_LIST_OP, Prompt, 0x23, {4, 0}, true),
           {EFI_IFR_ONE_OF_OPTION_OP, 7, 1, 0, 0, 0, 5},
           End,
           QuestionOp(EFI_IFR_ACTION_OP, Prompt, 0x24, {0, 0}, false),
           {EFI_IFR_RESET_BUTTON_OP, 8, UINT8(Prompt), 0, 0, 0, 0, 0},
           {EFI_IFR_RULE_OP, 0x83, 1},
           {EFI_IFR_TRUE_OP, 2},
           End,
           {EFI_IFR_VERSION_OP, 2},
           {EFI_IFR_VARSTORE_NAME_VALUE_OP, 20, 3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
           {EFI_IFR_LOCKED_OP, 2}}))
      .DisableIf(sim::cond::True())  // not evaluated: its content is walked as if enabled
      .Numeric({0x18, 1, 30, "Disabled"}, 1, 0, 9)
      .EndIf()
      .Label(0x7777)
      .Form(2, "Second")
      .Numeric({0x19, 2, 1, "From the variable"}, 1, 0, 9);
  sim::CardDriver &Card = sim::PublishCard(sim::AddPciFunction(1, 2, 0x11, 3, 1), Set.Build(),
                                           {{"Kinds", {4}}, {"KindsVar", {0, 6}}});
  ASSERT_EQ(Build(Card, u"All Kinds"), EFI_SUCCESS);
  EXPECT_TRUE(
      PageIs(Page(0, u"All Kinds",
                  {Text(u"Info (110301)", u"two", u"About it"), Numeric(u"N1 (110301)", 0, SHOWN, 0, 0, 9),
                   Numeric(u"N2 (110301)", 1, SHOWN, 0, 0, 9), Numeric(u"N4 (110301)", 2, SHOWN, 0, 0, 9),
                   Numeric(u"N8 (110301)", 3, SHOWN, 0, 0, 9),
                   OneOf(u"One (110301)", 4, SHOWN, {{u"a", 0, 0}, {u"b", 1, EFI_IFR_OPTION_DEFAULT}}),
                   String(u"Str (110301)", 0, SHOWN, 2, 4, EFI_IFR_STRING_MULTI_LINE),
                   Numeric(u"Disabled (110301)", 5, SHOWN, 0, 0, 9),
                   Numeric(u"From the variable (110301)", 6, SHOWN, 0, 0, 9)})));
  const std::vector<UINT8> OobBytes = Oob();
  EXPECT_EQ(OobBytes[0], 4);
  EXPECT_EQ(OobBytes[6], 6);
  const UINT8 Widths[] = {1, 2, 4, 8, 1, 1, 1};
  for (UINTN Index = 0; Index < 7; ++Index) EXPECT_EQ(MirroredQuestionTable[Index].CardWidth, Widths[Index]);
}

// ---- malformed and extreme IFR ----------------------------------------------------------------

class MalformedCardTest : public CardPageTest {
 protected:
  void SetUp() override {
    CardPageTest::SetUp();
    sim::CardFormSet Set("Malformed");
    Set.BufferStore(1, "M", StoreGuid, 16)
        .Form(1, "F")
        .Numeric({0x10, 1, 0, "A"}, 1, 0, 9)
        .Numeric({0x11, 1, 1, "B"}, 1, 0, 9)
        .OneOf({0x12, 1, 2, "C"})
        .Options({{"x", 0}, {"y", 1}})
        .Numeric({0x13, 1, 3, "D"}, 1, 0, 9);
    Card = &sim::PublishCard(sim::AddPciFunction(1, 2, 0x30, 0, 0), Set.Build(), {{"M", {1, 2, 1, 4}}});
    List = Export(Card->HiiHandle);
    ASSERT_EQ(List[20 + 3], EFI_HII_PACKAGE_FORMS);  // the database exports the forms first
  }
  // Where the opcode of the question Id starts in List.
  std::size_t QuestionAt(UINT16 Id) const {
    for (std::size_t At = 24; At + 8 < List.size(); ++At)
      if ((List[At] == EFI_IFR_NUMERIC_OP || List[At] == EFI_IFR_ONE_OF_OP) && List[At + 6] == UINT8(Id) &&
          List[At + 7] == 0)
        return At;
    ADD_FAILURE() << "no question " << Id;
    return 0;
  }
  void SetFormsLength(Bytes &Bytes_, std::size_t Length) const {
    Bytes_[20] = UINT8(Length), Bytes_[21] = UINT8(Length >> 8), Bytes_[22] = UINT8(Length >> 16);
  }
  // Builds a page from Given (exactly Size bytes of it on the heap) and gives
  // the offsets it mirrored.
  std::set<UINT16> BuildFrom(const Bytes &Given, std::size_t Size) {
    const UINTN First = MirroredQuestionCount;
    const Bytes Exact(Given.begin(), Given.begin() + static_cast<long>(std::min(Size, Given.size())));
    EXPECT_EQ(BuildCardPage(Card->HiiHandle, 0, u"Malformed", Exact.data(), Exact.size()), EFI_SUCCESS);
    const Bytes Driver = Export(DriverHiiHandle);
    PAGE_CHECK_RESULT Result = {};
    EXPECT_TRUE(CheckPackageList(Driver.data(), Driver.size(), &Result)) << Result.Message;
    return MirroredOffsets(First);
  }

  sim::CardDriver *Card = nullptr;
  Bytes List;
};

TEST_F(MalformedCardTest, AMalformedOpcodeEndsItsPackageKeepingWhatCameBefore) {
  using Offsets = std::set<UINT16>;
  const std::size_t B = QuestionAt(0x11), C = QuestionAt(0x12), D = QuestionAt(0x13);
  const std::size_t FormsEnd = 20 + (List[20] | List[21] << 8 | List[22] << 16);
  struct Case {
    const char *Name;
    Bytes Bytes_;
    std::size_t Size;
    Offsets Mirrored;
  } Cases[] = {
      {"well formed", List, List.size(), {0, 1, 2, 3}},
      {"zero length", List, List.size(), {0}},
      {"length 1", List, List.size(), {0}},
      {"package ends inside the one-of's options", List, List.size(), {0, 1}},
      {"package ends without its ENDs", List, List.size(), {0, 1, 2, 3}},
      {"package runs past the list", List, List.size(), {}},
      {"list given shorter than it states, forms whole", List, FormsEnd, {0, 1, 2, 3}},
      {"list given ends inside the forms package", List, C + 4, {}},
      {"less than a list header", List, 10, {}},
  };
  Cases[1].Bytes_[B + 1] = 0;
  Cases[2].Bytes_[B + 1] = 1;
  SetFormsLength(Cases[3].Bytes_,
                 C + 17 + 7 + 3 - 20);               // the one-of, its first option, 3 bytes of the second
  SetFormsLength(Cases[4].Bytes_, D + 17 + 2 - 20);  // D and its END; the form's and form set's ENDs are cut
  SetFormsLength(Cases[5].Bytes_, List.size());
  for (const Case &C_ : Cases) {
    SCOPED_TRACE(C_.Name);
    EXPECT_EQ(BuildFrom(C_.Bytes_, C_.Size), C_.Mirrored);
  }
}

TEST_F(MalformedCardTest, AScopeDeeperThanSixteenIsSkippedWhole) {
  for (int Nested : {14, 15}) {
    SCOPED_TRACE(Nested);
    // Form set and form take two scopes; then Nested suppress-ifs that hold nothing back.
    sim::CardFormSet Set("Deep");
    Set.BufferStore(1, "M", StoreGuid, 16).Form(1, "F");
    for (int Level = 0; Level < Nested; ++Level) Set.SuppressIf(sim::cond::False());
    Set.Numeric({0x10, 1, 0, "Innermost"}, 1, 0, 9);
    for (int Level = 0; Level < Nested; ++Level) Set.EndIf();
    Set.Numeric({0x11, 1, 1, "After"}, 1, 0, 9);
    sim::CardDriver &Deep = sim::PublishCard(sim::AddPciFunction(1, 2, 0x31, Nested, 0), Set.Build());
    const UINTN First = MirroredQuestionCount;
    ASSERT_EQ(Build(Deep), EFI_SUCCESS);
    const std::set<UINT16> Expected = Nested == 14 ? std::set<UINT16>{0, 1} : std::set<UINT16>{1};
    EXPECT_EQ(MirroredOffsets(First), Expected);
  }
}

// ---- a pool that refuses ----------------------------------------------------------------------

TEST_F(CardPageTest, EveryRefusedAllocationLeavesNoBlockAndNoHalfBuiltPage) {
  auto Publish = [] {
    sim::CardFormSet Set("Small");
    Set.BufferStore(1, "S", StoreGuid, 40)
        .EfiStore(2, "V", EfiGuid, 2)
        .Form(1, "F")
        .Text("Note", "", "t")
        .OneOf({0x10, 2, 0, "Mode", "How"})
        .Options({{"Off", 0}, {"On", 1}})
        .SuppressIf(sim::cond::EqIdVal(0x10, 0))
        .Numeric({0x11, 1, 0, "Level"}, 1, 0, 9)
        .EndIf()
        .String({0x12, 1, 2, "Name"}, 0, 8);
    return &sim::PublishCard(sim::AddPciFunction(1, 2, 0x40, 0, 0), Set.Build(),
                             {{"S", {5, 0, 'n', 0, 'm', 0}}, {"V", {1, 0}}});
  };
  const auto Full = [&] {
    return Page(
        0, u"Small",
        {Text(u"Note (400000)", u"t"), OneOf(u"Mode (400000)", 0, SHOWN, {{u"Off", 0, 0}, {u"On", 1, 0}}),
         Numeric(u"Level (400000)", 1, SHOWN, 0, 0, 9), String(u"Name (400000)", 0, SHOWN, 0, 8)});
  };
  for (std::size_t Nth = 1;; ++Nth) {
    SCOPED_TRACE(Nth);
    RegisteredDriverTest::SetUp();  // a fresh machine and image
    sim::CardDriver *Card = Publish();
    const Bytes List = Export(Card->HiiHandle);
    const std::size_t Blocks = sim::HeldBlocks();
    sim::FailNthAllocation(Nth);
    const EFI_STATUS Status = BuildCardPage(Card->HiiHandle, 0, u"Small", List.data(), List.size());
    sim::FailNthAllocation(0);
    EXPECT_EQ(sim::HeldBlocks(), Blocks);
    EXPECT_EQ(NextCardPage, 1u);
    if (Status == EFI_SUCCESS) {
      EXPECT_TRUE(PageIs(Full()));
      EXPECT_EQ(MirroredQuestionCount, 2u);
      if (PoolAllocationFailures() == 0) break;  // every allocation of a build has been refused once
      continue;
    }
    EXPECT_TRUE(Status == EFI_OUT_OF_RESOURCES || Status == EFI_INVALID_PARAMETER) << Status;
    EXPECT_TRUE(SlotIsEmpty(0));
    EXPECT_EQ(MirroredQuestionCount, 0u);
    EXPECT_EQ(StringSlotCount, 0u);
    EXPECT_EQ(MirroredQuestionTable[0].CardHiiHandle, nullptr);
    EXPECT_EQ(std::count(std::begin(OobVarCopy.Slot), std::end(OobVarCopy.Slot), 0), 1024);
    ASSERT_LT(Nth, 2000u);
  }
}

TEST_F(CardPageTest, AFailedServiceLeavesTheEarlierPagesAndTheirValuesAsTheyWere) {
  struct Case {
    const char *Service;
    EFI_STATUS Status;
    EFI_STATUS Returned;
  } Cases[] = {
      {"RuntimeServices.GetVariable", EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},    // the OOB record cannot be loaded
      {"RuntimeServices.SetVariable", EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},    // the build values cannot be stored
      {"HiiDatabase.UpdatePackageList", EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},  // the page cannot reach the database
      // What a failing platform call did not give is missing, not absent: the
      // page's title, a card's value (the page would show 0 and evaluate its
      // conditions on it), a prompt string.
      {"HiiString.SetString", EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES},
      {"ConfigRouting.ExtractConfig", EFI_DEVICE_ERROR, EFI_OUT_OF_RESOURCES},
      {"HiiString.NewString", EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES},
      {"HiiString.GetString", EFI_DEVICE_ERROR, EFI_OUT_OF_RESOURCES},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Service);
    RegisteredDriverTest::SetUp();
    sim::CardDriver &Card = sim::PublishSampleCard();
    ASSERT_EQ(Build(Card, u"Port 1 - Network Card"), EFI_SUCCESS);
    const std::vector<UINT8> OobBefore = Oob();
    const std::vector<UINT8> List = Export(Card.HiiHandle);
    sim::FailService(C.Service, C.Status);
    EXPECT_EQ(BuildCardPage(Card.HiiHandle, 0, u"Again", List.data(), List.size()), C.Returned);
    sim::ClearFaults();
    EXPECT_EQ(NextCardPage, 2u);
    EXPECT_EQ(MirroredQuestionCount, 4u);
    EXPECT_EQ(StringSlotCount, 1u);
    EXPECT_EQ(MirroredQuestionTable[4].CardHiiHandle, nullptr);
    EXPECT_TRUE(SlotIsEmpty(1));
    // The first page's bytes are still the card's values, in the variable and the driver's copy.
    const std::vector<UINT8> OobAfter = Oob();
    EXPECT_TRUE(std::equal(OobBefore.begin(), OobBefore.begin() + 4, OobAfter.begin()));
    EXPECT_EQ(0, std::memcmp(OobVarCopy.Slot, OobBefore.data(), 4));
  }
}

// ---- keywords ------------------------------------------------------------------------------------

class CardKeywordTest : public CardPageTest {
 protected:
  std::u16string GetKeyword(const std::u16string &Name, EFI_STATUS *Status) {
    auto *Handler =
        hiitest::Locate<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL>(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID);
    CHAR16 *Progress = nullptr, *Results = nullptr;
    UINT32 Error = 0;
    const std::u16string Keyword = u"KEYWORD=" + Name;
    *Status =
        Handler->GetData(Handler, u"NAMESPACE=x-UEFI-QZV", Keyword.c_str(), &Progress, &Error, &Results);
    return hiitest::Take(Results);
  }
};

TEST_F(CardKeywordTest, TheFirstKeywordReachesItsQuestionAndCardTextsNeverPassForKeywords) {
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", STR_KEYWORD_PLACEHOLDER), u"CSPAC000");
  sim::CardFormSet Set("Keywords");
  Set.BufferStore(1, "K", StoreGuid, 4)
      .Form(1, "F")
      .Text("CSPAC001", "CSPAC001", "CSPAC001")  // texts that look like a later keyword
      .OneOf({0x10, 1, 0, "Mode", "CSPAC001"})
      .Options({{"CSPAC001", 0}, {"On", 1}})
      .Numeric({0x11, 1, 1, "Level"}, 1, 0, 9);
  sim::CardDriver &Card =
      sim::PublishCard(sim::AddPciFunction(1, 2, 0x50, 0, 0), Set.Build(), {{"K", {1, 7}}});
  ASSERT_EQ(Build(Card), EFI_SUCCESS);
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", STR_KEYWORD_PLACEHOLDER), u"");
  // The platform's handler takes the first string with a keyword's text: each
  // keyword is in the namespace once, however the card's texts read.
  std::map<std::u16string, int> Keywords;
  for (EFI_STRING_ID Id = 1; Id < 200; ++Id) ++Keywords[ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", Id)];
  EXPECT_EQ(Keywords[u"CSPAC000"], 1);
  EXPECT_EQ(Keywords[u"CSPAC001"], 1);
  EFI_STATUS Status = EFI_SUCCESS;
  const std::u16string First = GetKeyword(u"CSPAC000", &Status);
  EXPECT_EQ(Status, EFI_SUCCESS);
  EXPECT_NE(First.find(u"&KEYWORD=CSPAC000&VALUE=01"), std::u16string::npos)
      << std::string(First.begin(), First.end());
  const std::u16string Second = GetKeyword(u"CSPAC001", &Status);
  EXPECT_EQ(Status, EFI_SUCCESS);
  EXPECT_NE(Second.find(u"&KEYWORD=CSPAC001&VALUE=07"), std::u16string::npos)
      << std::string(Second.begin(), Second.end());
}

}  // namespace

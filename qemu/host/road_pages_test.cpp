// The road's reading of forms out of exported package lists (qemu/road/road_pages.h),
// over form sets made by the card builder: sections between labels of one form
// only, every statement with its scope, and lists that break off.
#include "qemu/road/road_pages.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/card_fixture.h"

namespace {

using sim::CardFormSet;

constexpr EFI_GUID StoreGuid = {0x5A1E0C0D, 0x1234, 0x4321, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
constexpr UINT16 Start = 0x2000;
constexpr UINT16 End = 0x2FFF;

ByteView View(const std::vector<UINT8> &Bytes) { return ByteView(Bytes.data(), Bytes.size()); }

// Two forms with the same label numbers; form 1 holds one statement of each
// kind the road compares, form 2 a single text.
CardFormSet TwoForms() {
  CardFormSet Set("Reader Card");
  Set.BufferStore(1, "ReaderStore", StoreGuid, 0x20)
      .Form(1, "First")
      .Text("Outside", "", "before the labels")
      .Label(Start)
      .Text("Serial", "Serial help", "S-1")
      .OneOf({0x10, 1, 0, "Mode", "Mode help"})
      .Options({{"Off", 0}, {"On", 1, EFI_IFR_OPTION_DEFAULT}})
      .Numeric({0x11, 1, 2, "Level", "Level help"}, 2, 5, 100, 5)
      .String({0x12, 1, 4, "Name", "Name help"}, 1, 8)
      .Goto(2, {0x13, 0, 0, "Next", "Next help"})
      .Label(End)
      .Form(2, "Second")
      .Label(Start)
      .Text("Other")
      .Label(End);
  return Set;
}

TEST(RoadPages, SectionHoldsTheStatementsOfItsFormOnlyWithTheirScopes) {
  const std::vector<UINT8> List = TwoForms().Build();
  FORM_SECTION Section;
  ASSERT_TRUE(ReadFormSection(View(List), 1, Start, End, &Section));
  ASSERT_TRUE(Section.Found);
  EXPECT_FALSE(Section.Overflow);
  ASSERT_EQ(Section.Count, 5u);
  EXPECT_EQ(Section.Items[0].OpCode, EFI_IFR_TEXT_OP);
  EXPECT_NE(Section.Items[0].TextTwo, 0);
  EXPECT_NE(Section.Items[0].Question.Help, 0);

  const FORM_ITEM &OneOf = Section.Items[1];
  EXPECT_EQ(OneOf.OpCode, EFI_IFR_ONE_OF_OP);
  EXPECT_EQ(OneOf.Question.QuestionId, 0x10);
  ASSERT_EQ(OneOf.OptionCount, 2u);
  EXPECT_EQ(OneOf.Options[1].Value, 1u);
  EXPECT_EQ(OneOf.Options[1].Flags, EFI_IFR_OPTION_DEFAULT);

  const FORM_ITEM &Numeric = Section.Items[2];
  EXPECT_EQ(Numeric.OpCode, EFI_IFR_NUMERIC_OP);
  EXPECT_EQ(Numeric.Question.VarOffset, 2);
  EXPECT_EQ(Numeric.Range.NumericFlags & EFI_IFR_NUMERIC_SIZE, EFI_IFR_NUMERIC_SIZE_2);
  EXPECT_EQ(Numeric.Range.Minimum, 5u);
  EXPECT_EQ(Numeric.Range.Maximum, 100u);
  EXPECT_EQ(Numeric.Range.Step, 5u);

  EXPECT_EQ(Section.Items[3].OpCode, EFI_IFR_STRING_OP);
  EXPECT_EQ(Section.Items[3].MinSize, 1);
  EXPECT_EQ(Section.Items[3].MaxSize, 8);
  EXPECT_EQ(Section.Items[4].OpCode, EFI_IFR_REF_OP);
  EXPECT_EQ(Section.Items[4].RefFormId, 2);

  // The opcodes between the labels, from the text to the goto.
  ASSERT_FALSE(Section.OpCodes.Empty());
  EXPECT_EQ(Section.OpCodes.Data()[0], EFI_IFR_TEXT_OP);

  FORM_SECTION Other;
  ASSERT_TRUE(ReadFormSection(View(List), 2, Start, End, &Other));
  EXPECT_TRUE(Other.Found);
  EXPECT_EQ(Other.Count, 1u);
}

TEST(RoadPages, SectionIsNotFoundWhenItsEndLabelIsOnAnotherFormOrMissing) {
  CardFormSet Set("Reader Card");
  Set.Form(1, "First").Label(Start).Text("Loose").Form(2, "Second").Text("Elsewhere").Label(End);
  const std::vector<UINT8> List = Set.Build();
  FORM_SECTION Section;
  ASSERT_TRUE(ReadFormSection(View(List), 1, Start, End, &Section));
  EXPECT_FALSE(Section.Found);
  EXPECT_EQ(Section.Count, 1u);  // "Loose" only: nothing of form 2 is taken for form 1's page
  ASSERT_TRUE(ReadFormSection(View(List), 3, Start, End, &Section));
  EXPECT_FALSE(Section.Found);
  EXPECT_EQ(Section.Count, 0u);
}

TEST(RoadPages, EmptySectionAndOverflowingSection) {
  CardFormSet Set("Reader Card");
  Set.Form(1, "Empty").Label(Start).Label(End).Form(2, "Full").Label(Start);
  for (UINTN Index = 0; Index < SECTION_MAX_ITEMS + 3; ++Index) Set.Text("Line");
  Set.Label(End);
  const std::vector<UINT8> List = Set.Build();

  FORM_SECTION Section;
  ASSERT_TRUE(ReadFormSection(View(List), 1, Start, End, &Section));
  EXPECT_TRUE(Section.Found);
  EXPECT_EQ(Section.Count, 0u);
  EXPECT_TRUE(Section.OpCodes.Empty());

  ASSERT_TRUE(ReadFormSection(View(List), 2, Start, End, &Section));
  EXPECT_TRUE(Section.Found);
  EXPECT_TRUE(Section.Overflow);
  EXPECT_EQ(Section.Count, SECTION_MAX_ITEMS);
}

TEST(RoadPages, QuestionsTextsAndTitleAreFoundAcrossForms) {
  CardFormSet Set = TwoForms();
  const std::vector<UINT8> List = Set.Build();
  FORM_ITEM Item;
  ASSERT_TRUE(FindQuestion(View(List), 0x13, &Item));
  EXPECT_EQ(Item.OpCode, EFI_IFR_REF_OP);
  EXPECT_FALSE(FindQuestion(View(List), 0x99, &Item));
  ASSERT_TRUE(FindFirstText(View(List), &Item));
  EXPECT_NE(Item.TextTwo, 0);  // "before the labels", the first text of all
  EFI_STRING_ID Title = 0;
  ASSERT_TRUE(ReadFormSetTitle(View(List), &Title));
  EXPECT_EQ(Title, Set.TitleId());
}

TEST(RoadPages, ListThatBreaksOffIsMalformedAndNothingIsReadPastIt) {
  const std::vector<UINT8> Whole = TwoForms().Build();
  FORM_SECTION Section;
  // Every cut inside the forms package leaves a package stated longer than the bytes.
  for (UINTN Cut = sizeof(EFI_HII_PACKAGE_LIST_HEADER) + 8; Cut < Whole.size(); Cut += 7) {
    std::vector<UINT8> Partial(Whole.begin(), Whole.begin() + static_cast<std::ptrdiff_t>(Cut));
    ReadFormSection(View(Partial), 1, Start, End, &Section);
    FORM_ITEM Item;
    FindQuestion(View(Partial), 0x12, &Item);
  }
  std::vector<UINT8> Short(Whole.begin(), Whole.begin() + 40);
  EXPECT_FALSE(ReadFormSection(View(Short), 1, Start, End, &Section));
  EXPECT_FALSE(Section.Found);
}

}  // namespace

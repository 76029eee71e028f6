// Card pages built from the simulated card shapes and read back with the
// independent checker (qemu/page_check.h) against the shapes' expected pages
// (qemu/expected_pages.h): what a page holds, how the pages of several cards
// are numbered, what the mirrored question table says, and what is left when
// a build cannot finish.
#include <gtest/gtest.h>

#include <memory>

#include "hii/foreign_varstore.h"
#include "qemu/expected_pages.h"
#include "sim/card_shapes.h"
#include "sim/sim.h"
#include "tests/card_page_fixture.h"

namespace {

using sim::CardShapeId;

class ShapePageTest : public CardPageTest {
 protected:
  // Publishes a shape on a new PCI function at Bus:Device.0.
  static sim::CardDriver &Publish(CardShapeId Id, UINTN Bus, UINTN Device = 0) {
    return sim::PublishShape(sim::AddPciFunction(0x8086, 0x1572, Bus, Device, 0), sim::FixtureShape(Id));
  }
  // The page the shape must have at Origin, checked against the driver's export.
  ::testing::AssertionResult ShapePageIs(CardShapeId Id, const PAGE_ORIGIN &Origin) {
    return PageIs(ExpectedPage(Id, Origin, Space.get()));
  }
  static std::vector<MIRRORED_QUESTION> Records() {
    return {MirroredQuestionTable, MirroredQuestionTable + MirroredQuestionCount};
  }

  std::unique_ptr<EXPECTED_PAGE_SPACE> Space = std::make_unique<EXPECTED_PAGE_SPACE>();
};

// ---- what a page holds ------------------------------------------------------------------

TEST_F(ShapePageTest, EveryShapeGetsItsPageAndTheNumbersRunOnAcrossPages) {
  struct Step {
    CardShapeId Shape;
    UINTN Bus;
    const CHAR16 *Location;
  } Steps[] = {{CardShapeId::SampleCard, 0x3B, u"3B0000"},
               {CardShapeId::Edge, 0x05, u"050000"},
               {CardShapeId::CheckboxOnly, 0x06, u"060000"},
               {CardShapeId::SecondModel, 0xA0, u"A00000"},
               {CardShapeId::Road, 0x07, u"070000"}};
  PAGE_ORIGIN Origin = {0, nullptr, 0, 0};
  for (const Step &S : Steps) {
    SCOPED_TRACE(static_cast<int>(S.Shape));
    sim::CardDriver &Card = Publish(S.Shape, S.Bus);
    Origin.Location = S.Location;
    const EXPECTED_PAGE Expected = ExpectedPage(S.Shape, Origin, Space.get());
    EXPECT_EQ(Build(Card, Expected.Title), EFI_SUCCESS);
    EXPECT_TRUE(PageIs(Expected));
    Origin.Slot += 1;
    Origin.FirstQuestion = static_cast<UINT16>(Origin.FirstQuestion + ExpectedRangedQuestions(Expected));
    Origin.FirstString = static_cast<UINT16>(Origin.FirstString + ExpectedStrings(Expected));
    EXPECT_EQ(MirroredQuestionCount, Origin.FirstQuestion);
    EXPECT_EQ(StringSlotCount, Origin.FirstString);
  }
  EXPECT_EQ(NextCardPage, 5u);
  EXPECT_EQ(OobSlotCount, MirroredQuestionCount);
  EXPECT_EQ(KeywordCount, MirroredQuestionCount);
  EXPECT_TRUE(SlotIsEmpty(5));
}

TEST_F(ShapePageTest, SampleCardSeedsBothVariablesAndTheTable) {
  EXPECT_EQ(Build(Publish(CardShapeId::SampleCard, 0x3B), u"Port 1 - Network Card"), EFI_SUCCESS);
  const std::vector<UINT8> OobBytes = Oob();
  ASSERT_EQ(OobBytes.size(), 1024u);
  // Link speed 0, VLAN mode 0, VLAN id 1 (its low byte), boot protocol PXE; the rest untouched.
  EXPECT_EQ(std::vector<UINT8>(OobBytes.begin(), OobBytes.begin() + 5), (std::vector<UINT8>{0, 0, 1, 1, 0}));
  EXPECT_EQ(StringSlot(0), u"pxe-server-01");
  EXPECT_EQ(StringSlot(1), u"");
  EXPECT_EQ(0, std::memcmp(OobVarCopy.Slot, OobBytes.data(), OobBytes.size()));
  EXPECT_EQ(std::u16string(StringVarCopy.Slot[0]), u"pxe-server-01");
  const auto Table = Records();
  ASSERT_EQ(Table.size(), 4u);
  EXPECT_EQ(std::u16string(Table[3].Keyword), u"CSPAC003");
  EXPECT_EQ(Table[3].OpCode, EFI_IFR_ONE_OF_OP);
  EXPECT_EQ(Table[3].CardVarOffset, sim::sample_card::BootProtocolOffset);
  EXPECT_EQ(Table[3].OobSlot, 3u);
  EXPECT_EQ(Table[3].BuildValue, 1u);
  EXPECT_EQ(Table[2].OpCode, EFI_IFR_NUMERIC_OP);
  EXPECT_EQ(Table[2].CardFlags, EFI_IFR_NUMERIC_SIZE_2);
  EXPECT_EQ(MirroredQuestionTable[4].CardHiiHandle, nullptr);
}

// ---- one question, one OOB byte ------------------------------------------------------------

TEST_F(ShapePageTest, ValuesThatDoNotFitOneByteTheCardsOwnMarkAndAGrayOutAreNeverApplied) {
  sim::CardDriver &Card = Publish(CardShapeId::Edge, 0x05);
  ASSERT_EQ(Build(Card, u"Edge Case Adapter"), EFI_SUCCESS);
  struct Want {
    UINT16 Offset;
    UINT8 Width;
    UINT8 BuildValue;
    UINT8 ReadOnly;
  } Wanted[] = {
      {sim::edge_card::WideNumericOffset, 2, 300 & 0xFF, MIRRORED_WIDE_VALUE},  // range 0..1000, value 300
      {sim::edge_card::WideOneOfOffset, 2, 0x00, MIRRORED_WIDE_VALUE},          // options 0x100..0x300
      {sim::edge_card::CollidingOneOfOffset, 2, 0x01, MIRRORED_WIDE_VALUE},     // 0x0001 and 0x0101
      {sim::edge_card::ValueOneOfOffset, 1, 7, 0},
      {sim::edge_card::ReadOnlyOneOfOffset, 1, 1, MIRRORED_CARD_READ_ONLY},
      {sim::edge_card::LongPromptNumericOffset, 1, 42, 0},
      {sim::edge_card::EfiModeOffset, 1, 1, 0},
      {sim::edge_card::EfiLevelOffset, 1, 3, 0},
      {sim::edge_card::GrayedNumericOffset, 1, 4, MIRRORED_GRAYED_OUT},  // shown read-only: never applied
      {sim::edge_card::InnerGrayedOneOfOffset, 1, 1, MIRRORED_GRAYED_OUT},
      {sim::edge_card::AfterInnerNumericOffset, 1, 20, 0},
  };
  const auto Table = Records();
  ASSERT_EQ(Table.size(), std::size(Wanted));
  for (std::size_t I = 0; I < Table.size(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Table[I].CardHiiHandle, Card.HiiHandle);
    EXPECT_EQ(Table[I].CardVarOffset, Wanted[I].Offset);
    EXPECT_EQ(Table[I].CardWidth, Wanted[I].Width);
    EXPECT_EQ(Table[I].BuildValue, Wanted[I].BuildValue);
    EXPECT_EQ(Table[I].ReadOnly, Wanted[I].ReadOnly);
    EXPECT_EQ(MirroredQuestionIsApplied(Table[I]), Wanted[I].ReadOnly == 0);
    EXPECT_EQ(Oob()[I], Wanted[I].BuildValue);
  }
  EXPECT_EQ(Table[6].CardVarStoreId, sim::edge_card::EfiStoreId);
  EXPECT_EQ(Table[0].CardVarStoreId, sim::edge_card::BufferStoreId);
  // The page itself (read-only flags, one-byte bounds and option values) is the shape's expected page.
  EXPECT_TRUE(ShapePageIs(CardShapeId::Edge, {0, u"050000", 0, 0}));
  EXPECT_EQ(StringSlot(0), u"edge");  // MaxSize 0: read as far as the store holds it
  EXPECT_EQ(StringSlot(1), u"abc");
}

TEST_F(ShapePageTest, AWideQuestionWhoseValuesFitIsWritable) {
  sim::CardFormSet Set("Fits");
  Set.BufferStore(1, "S", {1, 2, 3, {4}}, 8)
      .Form(1, "F")
      .Numeric({0x10, 1, 0, "Percent"}, 2, 0, 200, 5, EFI_IFR_DISPLAY_UINT_HEX)
      .OneOf({0x11, 1, 4, "Choice"}, 4)
      .Options({{"Two", 2}, {"Nine", 9}});
  sim::CardDriver &Card = sim::PublishCard(sim::AddPciFunction(1, 2, 0x10, 0, 0), Set.Build(),
                                           {{"S", {150, 0, 0, 0, 9, 0, 0, 0}}});
  ASSERT_EQ(Build(Card, u"Fits"), EFI_SUCCESS);
  EXPECT_TRUE(PageIs(Page(0, u"Fits",
                          {Numeric(u"Percent (100000)", 0, SHOWN, EFI_IFR_DISPLAY_UINT_HEX, 0, 200, 5),
                           OneOf(u"Choice (100000)", 1, SHOWN, {{u"Two", 2, 0}, {u"Nine", 9, 0}})})));
  const auto Table = Records();
  ASSERT_EQ(Table.size(), 2u);
  EXPECT_EQ(Table[0].CardWidth, 2u);
  EXPECT_EQ(Table[1].CardWidth, 4u);
  EXPECT_TRUE(MirroredQuestionIsApplied(Table[0]) && MirroredQuestionIsApplied(Table[1]));
  EXPECT_EQ(Table[0].BuildValue, 150u);
  EXPECT_EQ(Table[1].BuildValue, 9u);
}

TEST_F(ShapePageTest, QuestionsWhoseValueHasNoCardStoreAreShownReadOnly) {
  sim::CardFormSet Set("Stores");
  Set.BufferStore(1, "S", {1, 2, 3, {5}}, 4)
      .Form(1, "F")
      .Numeric({0x10, 1, 3, "Kept"}, 1, 0, 9)
      .Numeric({0x11, 0, 0, "No storage"}, 1, 0, 9)
      .OneOf({0x12, 6, 0, "Undeclared store"})
      .Options({{"A", 0}, {"B", 1}})
      .Numeric({0x13, 1, 3, "Past the end"}, 2, 0, 9);
  sim::CardDriver &Card =
      sim::PublishCard(sim::AddPciFunction(1, 2, 0x10, 0, 0), Set.Build(), {{"S", {0, 0, 0, 4}}});
  ASSERT_EQ(Build(Card, u"Stores"), EFI_SUCCESS);
  // A change to these could never reach the card: no edit is offered.
  EXPECT_TRUE(PageIs(Page(
      0, u"Stores",
      {Numeric(u"Kept (100000)", 0, SHOWN, 0, 0, 9), Numeric(u"No storage (100000)", 1, READ_ONLY, 0, 0, 9),
       OneOf(u"Undeclared store (100000)", 2, READ_ONLY, {{u"A", 0, 0}, {u"B", 1, 0}}),
       Numeric(u"Past the end (100000)", 3, READ_ONLY, 0, 0, 9)})));
  const UINT8 ReadOnly[] = {0, MIRRORED_NO_CARD_STORE, MIRRORED_NO_CARD_STORE, MIRRORED_NO_CARD_STORE};
  const auto Table = Records();
  ASSERT_EQ(Table.size(), 4u);
  for (std::size_t I = 0; I < Table.size(); ++I) EXPECT_EQ(Table[I].ReadOnly, ReadOnly[I]) << I;
  EXPECT_EQ(Table[0].BuildValue, 4u);
}

// ---- several cards -------------------------------------------------------------------------

TEST_F(ShapePageTest, TwoCardsOfOneModelDifferOnlyInTheirLocation) {
  ASSERT_EQ(Build(Publish(CardShapeId::SampleCard, 0x3B), u"Port 1 - Network Card"), EFI_SUCCESS);
  ASSERT_EQ(Build(Publish(CardShapeId::SampleCard, 0x3C, 2), u"Port 1 - Network Card"), EFI_SUCCESS);
  EXPECT_TRUE(ShapePageIs(CardShapeId::SampleCard, {0, u"3B0000", 0, 0}));
  EXPECT_TRUE(ShapePageIs(CardShapeId::SampleCard, {1, u"3C0200", 4, 1}));
  EXPECT_EQ(std::u16string(MirroredQuestionTable[4].Keyword), u"CSPAC004");
  EXPECT_EQ(MirroredQuestionTable[4].OobSlot, 4u);
}

TEST_F(ShapePageTest, CardsWhoseStoresShareAnIdEachReadTheirOwn) {
  // Both number their one buffer store 1; offset 0 holds 0 (link speed) in the
  // sample card and 32 (queue depth) in the second model.
  sim::CardDriver &Sample = Publish(CardShapeId::SampleCard, 0x3B);
  sim::CardDriver &Second = Publish(CardShapeId::SecondModel, 0xA0);
  ASSERT_EQ(Build(Sample), EFI_SUCCESS);
  ASSERT_EQ(Build(Second, u"Storage Controller"), EFI_SUCCESS);
  ASSERT_EQ(Build(Sample), EFI_SUCCESS);  // a rescan: the registry takes no repeats
  const auto Table = Records();
  ASSERT_EQ(Table.size(), 10u);
  EXPECT_EQ(Table[4].CardHiiHandle, Second.HiiHandle);
  EXPECT_EQ(Table[4].CardVarStoreId, 1u);
  EXPECT_EQ(Table[4].BuildValue, sim::second_model::QueueDepthValue);
  EXPECT_EQ(Table[5].BuildValue, sim::second_model::CacheModeValue);
  EXPECT_EQ(Table[6].CardHiiHandle, Sample.HiiHandle);
  EXPECT_EQ(Table[6].BuildValue, 0u);
  EXPECT_EQ(StringSlot(1), u"array0");
  EXPECT_TRUE(ShapePageIs(CardShapeId::SecondModel, {1, u"A00000", 4, 1}));
  std::size_t Registered = 0;
  for (const VARSTORE_RECORD &Entry : VarStoreRegistry) Registered += Entry.VarStoreId != 0;
  EXPECT_EQ(Registered, 2u);
  ASSERT_NE(FindVarStore(Second.HiiHandle, 1), nullptr);
  EXPECT_EQ(std::u16string(FindVarStore(Second.HiiHandle, 1)->Name), u"CtrlSettings");
}

TEST_F(ShapePageTest, ACardWithOnlyCheckboxesGetsTitleAndGotoAndLeavesTheVariablesAlone) {
  ASSERT_EQ(Build(Publish(CardShapeId::SampleCard, 0x3B)), EFI_SUCCESS);
  const std::vector<UINT8> OobBefore = Oob(), StringsBefore = Variable(TLX_ADDONCARD_STRING_VAR);
  ASSERT_EQ(Build(Publish(CardShapeId::CheckboxOnly, 0x06), u"Feature Switches"), EFI_SUCCESS);
  EXPECT_TRUE(ShapePageIs(CardShapeId::CheckboxOnly, {1, u"060000", 4, 1}));
  EXPECT_EQ(Oob(), OobBefore);
  EXPECT_EQ(Variable(TLX_ADDONCARD_STRING_VAR), StringsBefore);
  EXPECT_EQ(MirroredQuestionCount, 4u);
}

TEST_F(ShapePageTest, The1025thQuestionAndThe51stStringAreNotMirroredButTextsAre) {
  const sim::CardShape Big =
      sim::BigCardShape(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings);
  sim::CardDriver &Card = sim::PublishShape(sim::AddPciFunction(1, 2, 0x20, 0, 0), Big);
  ASSERT_EQ(Build(Card, u"Big Card"), EFI_SUCCESS);
  EXPECT_EQ(MirroredQuestionCount, 1024u);
  EXPECT_EQ(StringSlotCount, 50u);
  EXPECT_TRUE(PageIs(ExpectedBigCardPage(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings,
                                         {0, u"200000", 0, 0}, Space.get())));
  EXPECT_EQ(Oob()[1023], sim::big_card::QuestionValue(1023));
  EXPECT_EQ(StringSlot(49), u"n049");
  EXPECT_EQ(std::u16string(MirroredQuestionTable[1023].Keyword), u"CSPAC3FF");
  // A later page keeps only what has no limit: its texts.
  ASSERT_EQ(Build(Publish(CardShapeId::SampleCard, 0x3B), u"Port 1 - Network Card"), EFI_SUCCESS);
  EXPECT_TRUE(ShapePageIs(CardShapeId::SampleCard, {1, u"3B0000", 1024, 50}));
}

TEST_F(ShapePageTest, AnEleventhCardChangesNothing) {
  sim::CardDriver &Card = Publish(CardShapeId::SampleCard, 0x3B);
  for (int Page = 0; Page < 10; ++Page) ASSERT_EQ(Build(Card, u"Port 1 - Network Card"), EFI_SUCCESS);
  EXPECT_TRUE(ShapePageIs(CardShapeId::SampleCard, {9, u"3B0000", 36, 9}));
  const std::vector<UINT8> Before = Export(DriverHiiHandle), OobBefore = Oob();
  const UINTN Blocks = sim::HeldBlocks();
  EXPECT_EQ(Build(Publish(CardShapeId::Road, 0x07)), EFI_SUCCESS);
  EXPECT_EQ(NextCardPage, 10u);
  EXPECT_EQ(MirroredQuestionCount, 40u);
  EXPECT_EQ(StringSlotCount, 10u);
  EXPECT_EQ(Export(DriverHiiHandle), Before);
  EXPECT_EQ(Oob(), OobBefore);
  EXPECT_EQ(sim::HeldBlocks(), Blocks);
}

}  // namespace

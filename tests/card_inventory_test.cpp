// What the driver learns about a card: its PCI location, the current values of
// its questions from either kind of store, and the conditions evaluated over
// them.
#include "driver/card_inventory.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/card_pages.h"
#include "hii/foreign_varstore.h"
#include "sim/card_shapes.h"
#include "tests/card_page_fixture.h"

namespace {

using Bytes = std::vector<UINT8>;

// ---- location ------------------------------------------------------------------------

class CardLocationTest : public CardPageTest {};

TEST_F(CardLocationTest, SixHexDigitsOfBusDeviceAndFunction) {
  struct Case {
    sim::PciLocation Location;
    EFI_STATUS Status;
    std::u16string Text;
  } Cases[] = {
      {{0, 0x3B, 0, 0}, EFI_SUCCESS, u"3B0000"},
      {{1, 0xFF, 0x1F, 7}, EFI_SUCCESS, u"FF1F07"},  // the segment is not shown
      {{0, 0x100, 0, 0}, EFI_DEVICE_ERROR, u""},
      {{0, 0, 0x20, 0}, EFI_DEVICE_ERROR, u""},
      {{0, 0, 0, 8}, EFI_DEVICE_ERROR, u""},
  };
  UINTN Slot = 0;  // each function its own path
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << "bus " << C.Location.Bus);
    sim::PciFunction &Pci = sim::AddPciFunction(0x8086, 0x1572, 0, Slot++, 0);
    Pci.Location = C.Location;
    sim::CardDriver &Card = sim::PublishCard(Pci, sim::BuildSampleCard(), {});
    CHAR16 Text[20];
    std::fill(std::begin(Text), std::end(Text), u'#');
    UINTN Bus = 99, Device = 99, Function = 99;
    EXPECT_EQ(GetCardLocationText(Card.HiiHandle, Text, &Bus, &Device, &Function), C.Status);
    EXPECT_EQ(std::u16string(Text), C.Text);
    if (C.Status == EFI_SUCCESS)
      EXPECT_EQ(Bus * 0x10000 + Device * 0x100 + Function,
                C.Location.Bus * 0x10000 + C.Location.Device * 0x100 + C.Location.Function);
    EXPECT_EQ(GetCardLocationText(Card.HiiHandle, Text, nullptr, nullptr, nullptr), C.Status);
  }
}

TEST_F(CardLocationTest, CardsOffPciAndUnknownListsHaveNoLocation) {
  // A driver whose handle's path leads to no PCI function, one without any path.
  const Bytes VendorPath = {0x01, 0x04, 0x14, 0,  1,  2,  3,  4,  5,    6,    7,    8,
                            9,    10,   11,   12, 13, 14, 15, 16, 0x7F, 0xFF, 0x04, 0};
  sim::CardDriver &OffPci = sim::PublishCardOnPath(VendorPath, sim::BuildSampleCard());
  sim::CardDriver &NoPath = sim::PublishCardOnPath({}, sim::SampleCardFormSet().Guid({1, 2, 3, {4}}).Build());
  CHAR16 Text[20];
  EXPECT_EQ(GetCardLocationText(OffPci.HiiHandle, Text, nullptr, nullptr, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Text[0], 0);
  EXPECT_TRUE(EFI_ERROR(GetCardLocationText(NoPath.HiiHandle, Text, nullptr, nullptr, nullptr)));
  EXPECT_TRUE(EFI_ERROR(
      GetCardLocationText(reinterpret_cast<EFI_HII_HANDLE>(0x1234), Text, nullptr, nullptr, nullptr)));
  EXPECT_EQ(GetCardLocationText(nullptr, Text, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetCardLocationText(OffPci.HiiHandle, nullptr, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
}

// ---- values --------------------------------------------------------------------------

// A card whose questions of every value width live in a buffer store and an
// EFI variable store, and whose stores are declared after its first question.
class CardValuesTest : public CardPageTest {
 protected:
  static constexpr EFI_GUID BufferGuid = {0xA1, 0xB2, 0xC3, {1, 2, 3, 4, 5, 6, 7, 8}};
  static constexpr EFI_GUID EfiGuid = {0xD4, 0xE5, 0xF6, {8, 7, 6, 5, 4, 3, 2, 1}};

  void SetUp() override {
    CardPageTest::SetUp();
    sim::CardFormSet Set("Value Card");
    Set.Form(1, "Values")
        .Numeric({0x10, 1, 0, "Early"}, 1, 0, 255)  // before the stores are declared
        .Raw({})
        .Numeric({0x11, 1, 1, "Word"}, 2, 0, 0xFFFF)
        .Numeric({0x12, 1, 3, "Dword"}, 4, 0, 0xFFFFFFFF)
        .Numeric({0x13, 1, 7, "Qword"}, 8, 0, ~0ull)
        .Checkbox({0x14, 1, 15, "Switch"})
        .OneOf({0x15, 2, 0, "Efi Mode"})
        .Options({{"A", 0}, {"B", 5}})
        .Numeric({0x16, 2, 3, "Past the variable"}, 2, 0, 9)
        .String({0x17, 1, 16, "Name"}, 0, 0)
        .String({0x18, 1, 16, "Short name"}, 0, 3)
        .Numeric({0x19, 0, 0, "No storage"}, 1, 0, 9)
        .Numeric({0x1A, 7, 0, "Unknown store"}, 1, 0, 9);
    // Stores declared at the end of the form set, not at its start.
    Set.Form(2, "Stores").Raw(StoreOpcodes());
    Bytes Buffer(32, 0);
    Buffer[0] = 0xAB;
    Buffer[1] = 0x34, Buffer[2] = 0x12;
    for (int I = 0; I < 4; ++I) Buffer[3 + I] = static_cast<UINT8>(0x10 * (I + 1));
    for (int I = 0; I < 8; ++I) Buffer[7 + I] = static_cast<UINT8>(0x81 + I);
    Buffer[15] = 1;
    const char16_t Name[] = u"abcdefgh";  // no NUL before the store ends
    std::memcpy(Buffer.data() + 16, Name, 16);
    Card = &sim::PublishCard(sim::AddPciFunction(0x8086, 0x1572, 2, 0, 0), Set.Build(), {{"Buf", Buffer}});
    // The variable is shorter than the store declares.
    sim::WriteVariable(u"EfiVar", EfiGuid, 0x7, {5, 0, 0});
    List = Export(Card->HiiHandle);
  }

  static Bytes StoreOpcodes() {
    Bytes Ops = {0x24, 0};
    Ops.insert(Ops.end(), reinterpret_cast<const UINT8 *>(&BufferGuid),
               reinterpret_cast<const UINT8 *>(&BufferGuid) + 16);
    Ops.insert(Ops.end(), {1, 0, 32, 0, 'B', 'u', 'f', 0});
    Ops[1] = static_cast<UINT8>(Ops.size());
    Bytes Efi = {0x26, 0, 2, 0};
    Efi.insert(Efi.end(), reinterpret_cast<const UINT8 *>(&EfiGuid),
               reinterpret_cast<const UINT8 *>(&EfiGuid) + 16);
    Efi.insert(Efi.end(), {7, 0, 0, 0, 8, 0, 'E', 'f', 'i', 'V', 'a', 'r', 0});
    Efi[1] = static_cast<UINT8>(Efi.size());
    Ops.insert(Ops.end(), Efi.begin(), Efi.end());
    return Ops;
  }

  sim::CardDriver *Card = nullptr;
  Bytes List;
};

TEST_F(CardValuesTest, SnapshotReadsEveryWidthFromEitherKindOfStoreOnTheFirstWalk) {
  auto Snapshot = std::make_unique<QUESTION_SNAPSHOT>();
  ASSERT_EQ(SnapshotCardQuestions(Card->HiiHandle, List.data(), List.size(), Snapshot.get()), EFI_SUCCESS);
  EXPECT_EQ(Snapshot->Signature, QUESTION_SNAPSHOT_SIGNATURE);
  struct {
    EFI_QUESTION_ID Id;
    UINT64 Value;
  } Expected[] = {{0x10, 0xAB}, {0x11, 0x1234}, {0x12, 0x40302010}, {0x13, 0x8887868584838281},
                  {0x14, 1},    {0x15, 5}};
  ASSERT_EQ(Snapshot->Count,
            std::size(Expected));  // "past the variable", no storage, unknown store: left out
  for (std::size_t I = 0; I < std::size(Expected); ++I) {
    EXPECT_EQ(Snapshot->Entries[I].CardQuestionId, Expected[I].Id);
    EXPECT_EQ(Snapshot->Entries[I].Value, Expected[I].Value);
    EXPECT_EQ(SnapshotValue(Snapshot.get(), Expected[I].Id), Expected[I].Value);
  }
  EXPECT_EQ(SnapshotValue(Snapshot.get(), 0x16), 0u);
  EXPECT_EQ(SnapshotValue(nullptr, 0x10), 0u);
  // Both stores are registered for this card, and the router was asked once.
  EXPECT_NE(FindVarStore(Card->HiiHandle, 1), nullptr);
  ASSERT_NE(FindVarStore(Card->HiiHandle, 2), nullptr);
  EXPECT_EQ(FindVarStore(Card->HiiHandle, 2)->IsEfi, 1);
  EXPECT_EQ(Card->ExtractConfigCalls, 1u);
  DiscardVarStoreReadCache();
}

TEST_F(CardValuesTest, StringsAreReadUpToTheirSizeAndTheStoreEnd) {
  SnapshotCardQuestions(Card->HiiHandle, List.data(), List.size(),
                        std::make_unique<QUESTION_SNAPSHOT>().get());
  IfrCursor Cursor(ByteView(List.data() + 20, List.size() - 20));
  std::vector<std::u16string> Read;
  for (IfrOpCode Op; Cursor.Next(&Op);) {
    if (Op.Code() != EFI_IFR_STRING_OP) continue;
    CHAR16 Value[QUESTION_STRING_CHARS + 1];
    EXPECT_EQ(ReadQuestionString(Card->HiiHandle, Op, Value), EFI_SUCCESS);
    Read.emplace_back(Value);
  }
  // MaxSize 0 reads to the end of the 32-byte store (8 characters, no NUL there); MaxSize 3 cuts.
  EXPECT_EQ(Read, (std::vector<std::u16string>{u"abcdefgh", u"abc"}));
  DiscardVarStoreReadCache();
}

TEST_F(CardValuesTest, ReadsRefuseWhatTheCardDoesNotHold) {
  SnapshotCardQuestions(Card->HiiHandle, List.data(), List.size(),
                        std::make_unique<QUESTION_SNAPSHOT>().get());
  IfrCursor Cursor(ByteView(List.data() + 20, List.size() - 20));
  std::vector<EFI_STATUS> Statuses;
  for (IfrOpCode Op; Cursor.Next(&Op);) {
    IFR_QUESTION_FIELDS Fields;
    UINT64 Value = 0;
    if (ReadQuestionFields(Op, &Fields) && Fields.QuestionId >= 0x16 && Fields.QuestionId != 0x17 &&
        Fields.QuestionId != 0x18)
      Statuses.push_back(ReadQuestionValue(Card->HiiHandle, Op, &Value));
  }
  EXPECT_EQ(Statuses, (std::vector<EFI_STATUS>{EFI_NOT_FOUND, EFI_NOT_FOUND, EFI_NOT_FOUND}));
  // Another card's store of the same id is not this card's.
  sim::CardDriver &Other = sim::PublishShape(sim::AddPciFunction(1, 2, 3, 0, 0), sim::SecondModelShape());
  IfrCursor Again(ByteView(List.data() + 20, List.size() - 20));
  for (IfrOpCode Op; Again.Next(&Op);) {
    UINT64 Value = 0;
    if (Op.Code() == EFI_IFR_NUMERIC_OP)
      EXPECT_EQ(ReadQuestionValue(Other.HiiHandle, Op, &Value), EFI_NOT_FOUND);
  }
  DiscardVarStoreReadCache();
}

TEST_F(CardValuesTest, AFullSnapshotKeepsTheFirst1024Values) {
  const sim::CardShape Big = sim::BigCardShape(1030, 0);
  sim::CardDriver &BigCard = sim::PublishShape(sim::AddPciFunction(1, 2, 4, 0, 0), Big);
  const Bytes BigList = Export(BigCard.HiiHandle);
  auto Snapshot = std::make_unique<QUESTION_SNAPSHOT>();
  EXPECT_EQ(SnapshotCardQuestions(BigCard.HiiHandle, BigList.data(), BigList.size(), Snapshot.get()),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Snapshot->Count, 1024u);
  EXPECT_EQ(SnapshotValue(Snapshot.get(), sim::big_card::FirstQuestionId + 1023),
            sim::big_card::QuestionValue(1023));
  EXPECT_EQ(SnapshotValue(Snapshot.get(), sim::big_card::FirstQuestionId + 1024), 0u);
  DiscardVarStoreReadCache();
}

// Cards number their questions as they like: the snapshot finds each value
// whatever the order, and a question met twice answers its first value.
TEST_F(CardValuesTest, ValuesAreFoundWhateverOrderTheCardNumbersItsQuestionsIn) {
  sim::CardFormSet Set("Shuffled Card");
  Set.BufferStore(1, "Buf", BufferGuid, 8).Form(1, "Shuffled");
  const EFI_QUESTION_ID Ids[] = {0x40, 0x07, 0x31, 0x07, 0x02, 0x3F, 0x10, 0x01};
  for (UINT16 Offset = 0; Offset < std::size(Ids); ++Offset)
    Set.Numeric({Ids[Offset], 1, Offset, "Q"}, 1, 0, 255);
  const Bytes Store = {10, 11, 12, 13, 14, 15, 16, 17};
  sim::CardDriver &Shuffled = sim::PublishCard(sim::AddPciFunction(1, 3, 5, 0, 0), Set.Build(), {{"Buf", Store}});
  const Bytes ShuffledList = Export(Shuffled.HiiHandle);
  auto Snapshot = std::make_unique<QUESTION_SNAPSHOT>();
  ASSERT_EQ(SnapshotCardQuestions(Shuffled.HiiHandle, ShuffledList.data(), ShuffledList.size(), Snapshot.get()),
            EFI_SUCCESS);
  ASSERT_EQ(Snapshot->Count, std::size(Ids));
  for (UINT16 Offset = 0; Offset < std::size(Ids); ++Offset) {
    if (Ids[Offset] == 0x07 && Offset != 1) continue;  // the repeat
    EXPECT_EQ(SnapshotValue(Snapshot.get(), Ids[Offset]), Store[Offset]) << "question " << Ids[Offset];
  }
  for (EFI_QUESTION_ID Absent : {0x00, 0x03, 0x41, 0xFFFF}) EXPECT_EQ(SnapshotValue(Snapshot.get(), Absent), 0u);
  DiscardVarStoreReadCache();
}

// ---- conditions ------------------------------------------------------------------------

Bytes Op(UINT8 Code, Bytes Payload = {}, bool Scope = false) {
  Bytes Bytes_ = {Code, static_cast<UINT8>((Payload.size() + 2) | (Scope ? 0x80 : 0))};
  Bytes_.insert(Bytes_.end(), Payload.begin(), Payload.end());
  return Bytes_;
}
Bytes EqIdVal(UINT16 Id, UINT16 Value) {
  return Op(EFI_IFR_EQ_ID_VAL_OP, {UINT8(Id), UINT8(Id >> 8), UINT8(Value), UINT8(Value >> 8)});
}
Bytes Join(std::initializer_list<Bytes> Parts) {
  Bytes All;
  for (const Bytes &Part : Parts) All.insert(All.end(), Part.begin(), Part.end());
  return All;
}

TEST(EvaluateConditionTest, UnderstoodConditionsAreEvaluatedAndAnythingElseIsTrue) {
  QUESTION_SNAPSHOT Snapshot = {QUESTION_SNAPSHOT_SIGNATURE, 2, {{0x10, 1}, {0x11, 0x10002}}, {}};
  IndexSnapshot(&Snapshot);
  const Bytes True = Op(EFI_IFR_TRUE_OP), False = Op(EFI_IFR_FALSE_OP), Not = Op(EFI_IFR_NOT_OP);
  const Bytes And = Op(EFI_IFR_AND_OP), Or = Op(EFI_IFR_OR_OP);
  const Bytes Statement = Op(EFI_IFR_TEXT_OP, {1, 0, 2, 0, 0, 0});
  struct Case {
    const char *Name;
    Bytes Condition;
    bool Result;
  } Cases[] = {
      {"question equals", EqIdVal(0x10, 1), true},
      {"question differs", EqIdVal(0x10, 2), false},
      {"low 16 bits of the value", EqIdVal(0x11, 2), true},
      {"a question the snapshot lacks is 0", EqIdVal(0x99, 0), true},
      {"not", Join({EqIdVal(0x10, 1), Not}), false},
      {"and", Join({True, False, And}), false},
      {"or", Join({False, True, Or}), true},
      {"nested", Join({EqIdVal(0x10, 2), EqIdVal(0x10, 1), Not, Or, Not}), true},
      {"false", False, false},
      {"nothing at all", {}, true},
      {"not without operand", Not, true},
      {"and with one operand", Join({False, And}), true},
      {"two values left", Join({False, False}), true},
      {"an unsupported opcode", Op(EFI_IFR_EQ_ID_VAL_LIST_OP, {0x10, 0, 1, 0, 2, 0}), true},
      {"false or an unsupported opcode", Join({False, Op(EFI_IFR_UINT8_OP, {0}), Or}), true},
      {"an operator with a scope of its own", Join({False, Op(EFI_IFR_MAP_OP, {}, true), Op(EFI_IFR_END_OP)}),
       true},
      {"a short EQ_ID_VAL", Op(EFI_IFR_EQ_ID_VAL_OP, {0x10, 0, 1}), true},
      {"seventeen operands",
       Join({False, False, False, False, False, False, False, False, False, False, False, False, False, False,
             False, False, False}),
       true},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    const Bytes Bytes_ = Join({C.Condition, Statement});
    IfrCursor Cursor = IfrCursor::OverOpCodes(ByteView(Bytes_.data(), Bytes_.size()));
    EXPECT_EQ(EvaluateCondition(Cursor, &Snapshot), C.Result);
    // The whole expression is consumed; the statement is left for the walk.
    EXPECT_EQ(Cursor.Position(), C.Condition.size());
  }
}

}  // namespace

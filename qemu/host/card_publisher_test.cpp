// The firmware tests' card driver and run-time big card, on the host: the big
// card is byte for byte the host builder's, and publishing cleans up after
// every failure it can meet. (What the published cards answer is checked by the
// card-fixtures group, in OVMF and in the simulator.)
#include "qemu/card_publisher.h"

#include <gtest/gtest.h>

#include <vector>

#include "qemu/big_card.h"
#include "qemu/test_machine.h"
#include "sim/card_shapes.h"
#include "sim/pci.h"
#include "tests/sim_fixture.h"

namespace {

std::vector<UINT8> Bytes(const UINT8 *Data, UINTN Size) { return {Data, Data + Size}; }

class BigCardTest : public SimTest {};

TEST_F(BigCardTest, RunTimeCardIsTheHostBuildersByteForByte) {
  const struct {
    UINT16 Questions;
    UINT16 Strings;
  } Sizes[] = {
      {0, 0}, {1, 0}, {0, 1}, {2, 3}, {sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings}};
  for (const auto &Size : Sizes) {
    BIG_CARD Card;
    ASSERT_EQ(BuildBigCard(Size.Questions, Size.Strings, &Card), EFI_SUCCESS);
    const sim::CardShape Shape = sim::BigCardShape(Size.Questions, Size.Strings);
    EXPECT_EQ(Bytes(Card.Fixture.PackageList, Card.Fixture.PackageListSize), Shape.PackageList)
        << Size.Questions << " questions, " << Size.Strings << " strings";
    ASSERT_EQ(Card.Fixture.StoreCount, 1u);
    const sim::CardStore &Store = Shape.Store(sim::big_card::StoreName);
    EXPECT_EQ(Card.Store.Size, Store.Size);
    EXPECT_EQ(Card.Store.Id, Store.Id);
    EXPECT_EQ(Bytes(Card.Store.Initial, Card.Store.Size), Store.Bytes);
    FreeBigCard(&Card);
    EXPECT_EQ(Card.PackageList, nullptr);
  }
}

TEST_F(BigCardTest, RefusedSizesAndFailedAllocationsLeaveNothing) {
  BIG_CARD Card;
  EXPECT_EQ(BuildBigCard(sim::big_card::MaxQuestions + 1, 0, &Card), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BuildBigCard(0, sim::big_card::MaxStrings + 1, &Card), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BuildBigCard(1, 1, nullptr), EFI_INVALID_PARAMETER);
  const std::size_t Held = sim::HeldBlocks();
  for (std::size_t Nth = 1; Nth <= 2; ++Nth) {
    sim::FailNthAllocation(Nth);
    EXPECT_EQ(BuildBigCard(3, 3, &Card), EFI_OUT_OF_RESOURCES) << Nth;
    EXPECT_EQ(sim::HeldBlocks(), Held) << Nth;
    EXPECT_EQ(Card.PackageList, nullptr);
  }
}

// A machine with the test functions, as the simulator run of the checks has.
class PublisherTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    for (const TEST_PCI_FUNCTION &Function : TEST_PCI_FUNCTIONS)
      sim::AddPciFunction(Function.VendorId, Function.DeviceId, Function.Bus, Function.Device,
                          Function.Function);
    UINTN Count = 0;
    ASSERT_EQ(FindPciFunctions(EDU_VENDOR_ID, EDU_DEVICE_ID, Edu, 2, &Count), EFI_SUCCESS);
    ASSERT_EQ(Count, 2u);
  }
  struct MachineState {
    std::size_t Blocks, Handles, Lists, Variables;
    bool operator==(const MachineState &) const = default;
  };
  static MachineState State() {
    return {sim::HeldBlocks(), sim::HandleCount(), sim::PackageListHandles().size(), sim::VariableCount()};
  }
  CARD_PCI_FUNCTION Edu[2] = {};
};

TEST_F(PublisherTest, FindsFunctionsByIdsWithTheirLocationsAndPaths) {
  EXPECT_EQ(Edu[0].Device, 0x10u);
  EXPECT_EQ(Edu[1].Device, 0x11u);
  EXPECT_EQ(Edu[0].DevicePathSize, 12u + 6u + 4u) << "PciRoot, Pci, end";
  CARD_PCI_FUNCTION One[1] = {};
  UINTN Count = 0;
  ASSERT_EQ(FindPciFunctions(EDU_VENDOR_ID, EDU_DEVICE_ID, One, 1, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 2u) << "the count goes on past the capacity";
  ASSERT_EQ(FindPciFunctions(0xABCD, 0x0001, One, 1, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 0u);
  EXPECT_EQ(FindPciFunctions(EDU_VENDOR_ID, EDU_DEVICE_ID, One, 1, nullptr), EFI_INVALID_PARAMETER);
}

// Every allocation failing in turn, then the firmware refusing the list: each
// failure undoes the handle, its protocols, the variables and the pool blocks.
TEST_F(PublisherTest, EveryFailureUndoesWhatWasDone) {
  const CARD_FIXTURE &Edge = GetCardFixture(sim::CardShapeId::Edge);
  const MachineState Before = State();
  PUBLISHED_CARD *Card = nullptr;
  EFI_STATUS Status = EFI_OUT_OF_RESOURCES;
  std::size_t Nth = 1;
  for (; Status == EFI_OUT_OF_RESOURCES && Nth < 64; ++Nth) {
    sim::FailNthAllocation(Nth);
    Status = PublishFixtureCard(Edge, Edu[0], 1, &Card);
    sim::FailNthAllocation(0);
    if (Status == EFI_OUT_OF_RESOURCES) {
      EXPECT_EQ(Card, nullptr) << Nth;
      EXPECT_TRUE(State() == Before) << "allocation " << Nth;
    }
  }
  ASSERT_EQ(Status, EFI_SUCCESS) << "after " << Nth - 1 << " failed allocations";
  EXPECT_GT(Nth, 4u) << "the card, its path, its store and a header at least";
  EXPECT_EQ(RemoveFixtureCard(Card, true), EFI_SUCCESS);
  EXPECT_TRUE(State() == Before);

  sim::FailService("HiiDatabase.NewPackageList", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(PublishFixtureCard(Edge, Edu[0], 1, &Card), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(State() == Before) << "the variable and the handle are gone again";
  sim::FailService("RuntimeServices.SetVariable", EFI_WRITE_PROTECTED, 2);  // the clearing delete, the write
  EXPECT_EQ(PublishFixtureCard(Edge, Edu[0], 1, &Card), EFI_WRITE_PROTECTED);
  EXPECT_TRUE(State() == Before);
  EXPECT_EQ(PublishFixtureCard(Edge, Edu[0], 1, nullptr), EFI_INVALID_PARAMETER);
  CARD_PCI_FUNCTION Pathless = Edu[0];
  Pathless.DevicePath = nullptr;
  EXPECT_EQ(PublishFixtureCard(Edge, Pathless, 1, &Card), EFI_INVALID_PARAMETER);
}

// A later boot's card keeps the settings its variables hold; a failed
// publication deletes only the variables it wrote itself.
TEST_F(PublisherTest, VariablesAreWrittenOrKeptAsAsked) {
  const CARD_FIXTURE &Road = GetCardFixture(sim::CardShapeId::Road);
  const CARD_FIXTURE_STORE &Store = *FindFixtureStore(Road, sim::road_card::EfiStoreName);
  const std::u16string Name(Store.Name, Store.Name + std::char_traits<char>::length(Store.Name));
  const std::vector<UINT8> Earlier = {9, 9, 9, 9};
  auto Variable = [&] { return sim::FindVariable(Name, Store.Guid)->Data; };
  PUBLISHED_CARD *Card = nullptr;

  sim::WriteVariable(Name, Store.Guid, Store.Attributes, Earlier);
  ASSERT_EQ(PublishFixtureCard(Road, Edu[0], 0, &Card, CardVariables::KeepExisting), EFI_SUCCESS);
  EXPECT_EQ(Variable(), Earlier);
  EXPECT_EQ(RemoveFixtureCard(Card, false), EFI_SUCCESS);
  EXPECT_EQ(Variable(), Earlier) << "removal without deleting keeps the variable";

  sim::FailService("HiiDatabase.NewPackageList", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(PublishFixtureCard(Road, Edu[0], 0, &Card, CardVariables::KeepExisting), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Variable(), Earlier) << "a variable it did not write survives a failed publication";

  sim::WriteVariable(Name, Store.Guid, Store.Attributes & ~EFI_VARIABLE_NON_VOLATILE, Earlier);
  ASSERT_EQ(PublishFixtureCard(Road, Edu[0], 0, &Card, CardVariables::KeepExisting), EFI_SUCCESS);
  EXPECT_EQ(Variable(), Bytes(Store.Initial, Store.Size)) << "other attributes: written anew";
  EXPECT_EQ(RemoveFixtureCard(Card, true), EFI_SUCCESS);
  EXPECT_FALSE(sim::FindVariable(Name, Store.Guid).has_value());
}

TEST_F(PublisherTest, TwoPortsOfOneFunctionDifferInTheirMacNodeOnly) {
  const CARD_FIXTURE &Sample = GetCardFixture(sim::CardShapeId::SampleCard);
  const CARD_FIXTURE &Checkboxes = GetCardFixture(sim::CardShapeId::CheckboxOnly);
  PUBLISHED_CARD *First = nullptr;
  PUBLISHED_CARD *Second = nullptr;
  ASSERT_EQ(PublishFixtureCard(Sample, Edu[1], 0, &First), EFI_SUCCESS);
  ASSERT_EQ(PublishFixtureCard(Checkboxes, Edu[1], 1, &Second), EFI_SUCCESS);
  ASSERT_EQ(First->DevicePathSize, Second->DevicePathSize);
  const std::vector<UINT8> A = Bytes(First->DevicePath, First->DevicePathSize);
  const std::vector<UINT8> B = Bytes(Second->DevicePath, Second->DevicePathSize);
  const std::size_t MacAddress = Edu[1].DevicePathSize - 4 + 4;
  for (std::size_t Index = 0; Index < A.size(); ++Index)
    EXPECT_EQ(A[Index] == B[Index], Index != MacAddress + 5) << Index;
  EXPECT_EQ(A[MacAddress + 3], 0x00) << "bus";
  EXPECT_EQ(A[MacAddress + 4], 0x11 << 3) << "device and function";
  EXPECT_NE(CardStoreBytes(*First, sim::sample_card::StoreName), nullptr);
  EXPECT_EQ(CardStoreBytes(*First, "NoSuchStore"), nullptr);
  EXPECT_EQ(RemoveFixtureCard(Second, true), EFI_SUCCESS);
  EXPECT_EQ(RemoveFixtureCard(First, true), EFI_SUCCESS);
  EXPECT_EQ(RemoveFixtureCard(nullptr, true), EFI_SUCCESS);
}

}  // namespace

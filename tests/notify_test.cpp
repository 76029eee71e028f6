// The three trigger handlers of the loaded driver: which package lists the scan
// takes as cards, how a changed value reaches a card's store, the removal of the
// form set, and each failure inside them, with a leak check after each.
#include <gtest/gtest.h>

#include "driver/card_inventory.h"
#include "sim/card_shapes.h"
#include "support/pool.h"
#include "tests/loaded_driver_fixture.h"

namespace {

using sim::sample_card::DeviceId;
using sim::sample_card::VendorId;
constexpr EFI_GUID OtherGuid = {0x7E57AB1E, 0x0001, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};

void WritePciList(const ADDONCARD_PCI_ID_LIST &List) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(&List);
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                     std::vector<UINT8>(Bytes, Bytes + sizeof(List)));
}

// The HII handle of the card each mirrored question stands for, in table order.
std::vector<EFI_HII_HANDLE> MirroredCards() {
  std::vector<EFI_HII_HANDLE> Cards;
  for (UINTN Index = 0; Index < MirroredQuestionCount; ++Index)
    if (Cards.empty() || Cards.back() != MirroredQuestionTable[Index].CardHiiHandle)
      Cards.push_back(MirroredQuestionTable[Index].CardHiiHandle);
  return Cards;
}

class NotifyTest : public LoadedDriverTest {
 protected:
  void SetUp() override {
    LoadedDriverTest::SetUp();
    Held = sim::HeldBlocks();
  }
  void Load() { ASSERT_EQ(LoadDriver(), EFI_SUCCESS); }
  std::size_t Held = 0;
};

// ---- which lists the scan takes -----------------------------------------------------

TEST_F(NotifyTest, ScanTakesFormSetsFirstInTheirListUnderASupportedPciFunction) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  sim::PublishShape(sim::AddPciFunction(VendorId, DeviceId, 1, 0, 0), sim::MacTitledCardShape());
  sim::PublishCard(sim::AddPciFunction(VendorId, DeviceId, 2, 0, 0),
                   sim::SampleCardFormSet().GuidPackage(OtherGuid, {1, 2, 3}).Build());
  sim::PublishCard(sim::AddPciFunction(VendorId, DeviceId, 3, 0, 0),
                   sim::CardFormSet(sim::IfrString::Id(0x7777), OtherGuid).Form(1, "F").Build());
  sim::PublishShape(sim::AddPciFunction(VendorId, DeviceId + 1, 4, 0, 0), sim::SecondModelShape());
  sim::PublishCardOnPath(hiitest::VendorPath(OtherGuid), sim::BuildSampleCard());
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  // Only the sample card: not the MAC-titled list, not a list with a GUID
  // package first, not one without a title, not other IDs, not one of no PCI function.
  EXPECT_EQ(NextCardPage, 1);
  EXPECT_EQ(MirroredCards(), std::vector<EFI_HII_HANDLE>{Card.HiiHandle});
  // The scan runs at every installation and gives the card another page.
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 2);
  EXPECT_TRUE(NothingLeaked(Held));
}

TEST_F(NotifyTest, PairsInUseAreTheFirstPairCountClampedToOneToTenAndNeedBothIds) {
  struct Row {
    UINT8 PairCount;
    UINTN Pair;  // where the card's IDs are
    UINT16 CardDevice;
    bool Matches;
  } Rows[] = {{0, 0, 0x5678, true},  {1, 1, 0x5678, false}, {0xFF, 9, 0x5678, true},
              {10, 9, 0x5678, true}, {9, 9, 0x5678, false}, {2, 1, 0, false}};
  for (const Row &Each : Rows) {
    sim::PowerOn();
    ADDONCARD_PCI_ID_LIST List = {{0x1111}, {0x2222}, Each.PairCount};
    List.VendorId[Each.Pair] = 0x1234;
    List.DeviceId[Each.Pair] = Each.CardDevice;
    WritePciList(List);
    sim::PublishCard(sim::AddPciFunction(0x1234, Each.CardDevice, 0, 1, 0), sim::BuildSampleCard());
    Load();
    InstallTrigger(CARD_FORMS_NOTIFY_GUID);
    EXPECT_EQ(NextCardPage, Each.Matches ? 1 : 0)
        << "PairCount " << int(Each.PairCount) << ", pair " << Each.Pair;
  }
}

TEST_F(NotifyTest, PciIdsComeFromTheFunctionTheListsDriverIsPublishedUnder) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  Load();
  UINT16 Vendor = 1, Device = 1;
  EXPECT_EQ(GetPackageListPciIds(Card.HiiHandle, &Vendor, &Device), EFI_SUCCESS);
  EXPECT_EQ(Vendor, VendorId);
  EXPECT_EQ(Device, DeviceId);
  EXPECT_EQ(GetPackageListPciIds(Card.HiiHandle, nullptr, &Device), EFI_INVALID_PARAMETER);
  Vendor = Device = 1;
  EXPECT_EQ(GetPackageListPciIds(DriverHiiHandle, &Vendor, &Device), EFI_NOT_FOUND);  // a vendor path only
  sim::FailService("PciIo.Read", EFI_DEVICE_ERROR);
  EXPECT_EQ(GetPackageListPciIds(Card.HiiHandle, &Vendor, &Device), EFI_DEVICE_ERROR);
  EXPECT_EQ(Vendor, 1);
  EXPECT_EQ(Device, 1);
}

// ---- failures inside the scan ---------------------------------------------------------

// Two sample cards; each row makes one service fail and says which cards get
// pages (by table order) and how many slots the scan used.
TEST_F(NotifyTest, AFailureInsideTheScanSkipsOnlyTheListItHits) {
  struct Row {
    const char *Service;
    int Times;
    UINTN Slots;
    std::vector<int> Cards;  // 0: first card, 1: second
  } Rows[] = {
      {"HiiDatabase.ListPackageLists", 1, 0, {}},
      {"HiiDatabase.ExportPackageLists", 1, 1, {1}},  // the first list's export
      {"PciIo.Read", 1, 1, {1}},                      // the first card's IDs
      {"HiiDatabase.UpdatePackageList", 1, 2, {1}},   // the first page build
      {"RuntimeServices.GetVariable", 1, 2, {0, 1}},  // the list reload: its defaults are used
  };
  for (const Row &Each : Rows) {
    sim::PowerOn();
    const sim::CardDriver *Cards[] = {&sim::PublishSampleCard(0x3B), &sim::PublishSampleCard(0x3C)};
    Load();
    const std::size_t HeldAfterLoad = sim::HeldBlocks();
    sim::FailService(Each.Service, EFI_DEVICE_ERROR, Each.Times);
    InstallTrigger(CARD_FORMS_NOTIFY_GUID);
    sim::ClearFaults();
    std::vector<EFI_HII_HANDLE> Expected;
    for (int Card : Each.Cards) Expected.push_back(Cards[Card]->HiiHandle);
    EXPECT_EQ(NextCardPage, Each.Slots) << Each.Service;
    EXPECT_EQ(MirroredCards(), Expected) << Each.Service;
    EXPECT_TRUE(NothingLeaked(HeldAfterLoad)) << Each.Service;
  }
}

TEST_F(NotifyTest, ScanWithoutADatabaseOrWithThePoolRefusingEachBlockLeaksNothing) {
  sim::PublishSampleCard();
  Load();
  HiiDatabase = nullptr;
  sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND, -1);
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 0);
  for (std::size_t Nth = 1;; ++Nth) {
    sim::PowerOn();
    sim::PublishSampleCard();
    Load();
    const std::size_t HeldAfterLoad = sim::HeldBlocks();
    sim::FailNthAllocation(Nth);
    InstallTrigger(CARD_FORMS_NOTIFY_GUID);
    const bool Reached = !sim::AllocationFailurePending();
    sim::FailNthAllocation(0);
    EXPECT_TRUE(NothingLeaked(HeldAfterLoad)) << "allocation " << Nth;
    // A page is whole or not there at all.
    EXPECT_TRUE(MirroredQuestionCount == 0 || MirroredQuestionCount == 4) << "allocation " << Nth;
    if (!Reached) {
      EXPECT_EQ(MirroredQuestionCount, 4u);
      break;
    }
  }
}

// ---- from the OOB byte to the card ------------------------------------------------------

constexpr EFI_GUID WidthStoreGuid = {0x7E57AB1E, 0x0002, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 8}};

// Numerics of 2, 4 and 8 bytes whose values fit one byte (written back), and
// three that can never be: no storage, an undeclared store, bytes past the store.
sim::CardFormSet WidthCard() {
  sim::CardFormSet Set("Widths");
  Set.BufferStore(1, "Widths", WidthStoreGuid, 24)
      .Form(1, "Widths")
      .Numeric({0x10, 1, 1, "Two"}, 2, 0, 200)
      .Numeric({0x11, 1, 4, "Four"}, 4, 0, 200)
      .Numeric({0x12, 1, 12, "Eight"}, 8, 0, 200)
      .Numeric({0x13, 0, 0, "Nowhere"}, 1, 0, 9)
      .Numeric({0x14, 7, 0, "Undeclared"}, 1, 0, 9)
      .Numeric({0x15, 1, 23, "Past the end"}, 2, 0, 9);
  return Set;
}

TEST_F(NotifyTest, AValueLandsWholeAtTheCardQuestionsWidthAndNothingBesideIt) {
  std::vector<UINT8> Store(24, 0xEE);
  const UINT16 Offsets[] = {1, 4, 12};
  const UINT8 Widths[] = {2, 4, 8};
  for (UINTN Index = 0; Index < 3; ++Index)
    for (UINT8 Byte = 0; Byte < Widths[Index]; ++Byte) Store[Offsets[Index] + Byte] = Byte == 0 ? 0x10 : 0;
  sim::CardDriver &Card = sim::PublishCard(sim::AddPciFunction(VendorId, DeviceId, 5, 0, 0),
                                           WidthCard().Build(), {{"Widths", Store}});
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  ASSERT_EQ(MirroredQuestionCount, 6u);
  for (UINTN Index = 0; Index < 3; ++Index) {
    EXPECT_EQ(MirroredQuestionTable[Index].CardWidth, Widths[Index]);
    EXPECT_EQ(MirroredQuestionTable[Index].ReadOnly, 0);
  }
  for (UINTN Index = 3; Index < 6; ++Index)
    EXPECT_EQ(MirroredQuestionTable[Index].ReadOnly, MIRRORED_NO_CARD_STORE);
  // Since the page was built the card has put high bytes into every field.
  std::vector<UINT8> &Live = Card.Store("Widths");
  for (UINTN Index = 0; Index < 3; ++Index) Live[Offsets[Index] + Widths[Index] - 1] = 0x01;
  std::vector<UINT8> Expected = Live;
  for (UINTN Index = 0; Index < 6; ++Index) SetOobSlot(Index, static_cast<UINT8>(0x80 + Index));
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  for (UINTN Index = 0; Index < 3; ++Index)
    for (UINT8 Byte = 0; Byte < Widths[Index]; ++Byte)
      Expected[Offsets[Index] + Byte] = Byte == 0 ? static_cast<UINT8>(0x80 + Index) : 0;
  EXPECT_EQ(Card.Store("Widths"), Expected);
  EXPECT_EQ(Card.RouteConfigCalls, 3u);
  EXPECT_EQ(SetQuestionByte(u"CSPAC003", 1), EFI_WRITE_PROTECTED);
  EXPECT_TRUE(NothingLeaked(Held));
}

TEST_F(NotifyTest, QuestionsMarkedReadOnlyAreNeverWritten) {
  const sim::CardShape Edge = sim::EdgeCardShape();
  sim::CardDriver &Card = sim::PublishShape(sim::AddPciFunction(VendorId, DeviceId, 6, 0, 0), Edge);
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  const std::vector<UINT8> StoreBefore = Card.Store(sim::edge_card::BufferStoreName);
  UINTN ReadOnly = 0;
  for (UINTN Index = 0; Index < MirroredQuestionCount; ++Index) {
    const MIRRORED_QUESTION &Record = MirroredQuestionTable[Index];
    if (Record.ReadOnly == 0) continue;
    ++ReadOnly;
    SetOobSlot(Record.OobSlot, static_cast<UINT8>(Record.BuildValue + 1));
    EXPECT_EQ(SetQuestionByte(Record.Keyword, static_cast<UINT8>(Record.BuildValue + 1)),
              EFI_WRITE_PROTECTED);
  }
  // Wide numeric, wide one-of, colliding one-of, read-only on the card, and the
  // two under a gray-out-if that holds.
  EXPECT_EQ(ReadOnly, 6u);
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  EXPECT_EQ(Card.RouteConfigCalls, 0u);
  EXPECT_EQ(Card.Store(sim::edge_card::BufferStoreName), StoreBefore);
}

TEST_F(NotifyTest, ApplyWritesChangedSlotsOfBothStoreKindsAndNothingWhenUnchanged) {
  using namespace sim::road_card;
  WritePciList({{0x1234}, {0x11E8}, 1});
  sim::CardDriver &Card =
      sim::PublishShape(sim::AddPciFunction(0x1234, 0x11E8, 0, 4, 0), sim::RoadCardShape());
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  // A value equal to the card's sends nothing.
  EXPECT_EQ(SetQuestionByte(u"CSPAC001", LevelValue), EFI_SUCCESS);
  EXPECT_EQ(SetQuestionByte(u"CSPAC0FF", 1), EFI_NOT_FOUND);
  EXPECT_EQ(Card.RouteConfigCalls, 0u);
  // Mode (buffer store) and Retries (EFI store) changed; Level changed to what
  // the card meanwhile holds itself.
  Card.Store(BufferStoreName)[LevelOffset] = 50;
  SetOobSlot(0, 2);
  SetOobSlot(1, 50);
  SetOobSlot(3, 8);
  std::vector<UINT8> Buffer = Card.Store(BufferStoreName);
  Buffer[ModeOffset] = 2;
  std::vector<UINT8> Efi = Variable(u"RoadEfiVar", EfiStoreGuid);
  Efi[EfiRetriesOffset] = 8;
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  EXPECT_EQ(Card.Store(BufferStoreName), Buffer);
  EXPECT_EQ(Variable(u"RoadEfiVar", EfiStoreGuid), Efi);
  EXPECT_EQ(Card.RouteConfigCalls, 1u);
  EXPECT_TRUE(NothingLeaked(Held));
}

// Each failure on the way to the card's store: nothing is written unless the
// store was read whole, a write that fails leaves the store as it was, and
// every block is given back.
TEST_F(NotifyTest, NoStoreIsWrittenBackThatWasNotReadWhole) {
  using namespace sim::road_card;
  WritePciList({{0x1234}, {0x11E8}, 1});
  sim::CardDriver &Card =
      sim::PublishShape(sim::AddPciFunction(0x1234, 0x11E8, 0, 4, 0), sim::RoadCardShape());
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  const std::vector<UINT8> Before = Card.Store(BufferStoreName);
  const std::size_t HeldAfterBuild = sim::HeldBlocks();
  const char *Services[] = {"ConfigRouting.ExtractConfig", "CardConfigAccess.ExtractConfig",
                            "ConfigRouting.ConfigToBlock", "HiiDatabase.ExportPackageLists",
                            "ConfigRouting.RouteConfig",   "CardConfigAccess.RouteConfig"};
  for (const char *Service : Services) {
    sim::FailService(Service, EFI_DEVICE_ERROR);
    EXPECT_TRUE(EFI_ERROR(SetQuestionByte(u"CSPAC001", 60))) << Service;
    sim::ClearFaults();
    EXPECT_EQ(Card.Store(BufferStoreName), Before) << Service;
    EXPECT_TRUE(NothingLeaked(HeldAfterBuild)) << Service;
  }
  EXPECT_EQ(Card.RouteConfigCalls, 0u);
  std::vector<UINT8> After = Before;
  After[LevelOffset] = 60;
  for (std::size_t Nth = 1;; ++Nth) {
    Card.Store(BufferStoreName) = Before;
    sim::FailNthAllocation(Nth);
    const EFI_STATUS Status = SetQuestionByte(u"CSPAC001", 60);
    const bool Reached = !sim::AllocationFailurePending();
    sim::FailNthAllocation(0);
    EXPECT_TRUE(NothingLeaked(HeldAfterBuild)) << Nth;
    EXPECT_EQ(Card.Store(BufferStoreName), EFI_ERROR(Status) ? Before : After) << Nth;
    if (!Reached) break;
  }
  EXPECT_EQ(Card.Store(BufferStoreName), After);
}

TEST_F(NotifyTest, OneStoresImageIsNeverWrittenIntoAnother) {
  using namespace sim::second_model;
  WritePciList({{VendorId, 0x1B36}, {DeviceId, 0x0005}, 2});
  sim::CardDriver &Sample = sim::PublishSampleCard();
  sim::CardDriver &Second =
      sim::PublishShape(sim::AddPciFunction(0x1B36, 0x0005, 0, 5, 0), sim::SecondModelShape());
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  ASSERT_EQ(MirroredCards(), (std::vector<EFI_HII_HANDLE>{Sample.HiiHandle, Second.HiiHandle}));
  const std::vector<UINT8> SampleBefore = Sample.Store(sim::sample_card::StoreName);
  std::vector<UINT8> SecondExpected = Second.Store(StoreName);
  // Both stores are VarStoreId 1 of their lists. An unchanged value leaves the
  // sample card's store cached; the second model's write must not use it.
  EXPECT_EQ(SetQuestionByte(u"CSPAC000", SampleBefore[sim::sample_card::LinkSpeedOffset]), EFI_SUCCESS);
  EXPECT_NE(VarStoreReadCache.Block, nullptr);
  EXPECT_EQ(SetQuestionByte(u"CSPAC004", 48), EFI_SUCCESS);  // Queue Depth
  SecondExpected[QueueDepthOffset] = 48;
  EXPECT_EQ(Second.Store(StoreName), SecondExpected);
  EXPECT_EQ(Sample.Store(sim::sample_card::StoreName), SampleBefore);
  EXPECT_EQ(Sample.RouteConfigCalls, 0u);
}

TEST_F(NotifyTest, ApplyRunsOnceAndStopsWhenTheOobVariableCannotBeRead) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  Load();
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  SetOobSlot(0, 3);
  sim::FailService("RuntimeServices.GetVariable", EFI_DEVICE_ERROR);
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  EXPECT_EQ(Card.RouteConfigCalls, 0u);
  EXPECT_EQ(sim::NotifyRegistrationCount(OOB_APPLY_NOTIFY_GUID), 0u);
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  EXPECT_EQ(Card.RouteConfigCalls, 0u);
  EXPECT_EQ(Oob()[0], 3);
  EXPECT_TRUE(NothingLeaked(Held));
}

// ---- removal ------------------------------------------------------------------------------

TEST_F(NotifyTest, ARefusedRemovalKeepsTheListAndItsHandle) {
  Load();
  const EFI_HII_HANDLE Own = DriverHiiHandle;
  sim::FailService("HiiDatabase.RemovePackageList", EFI_DEVICE_ERROR);
  InstallTrigger(FORMS_REMOVE_NOTIFY_GUID);
  EXPECT_EQ(DriverHiiHandle, Own);
  EXPECT_EQ(sim::PackageListHandles(), std::vector<EFI_HII_HANDLE>{Own});
  // The event is spent all the same.
  EXPECT_EQ(sim::NotifyRegistrationCount(FORMS_REMOVE_NOTIFY_GUID), 0u);
}

TEST_F(NotifyTest, AfterRemovalAScanBuildsNothingAndLeavesTheCardsListAlone) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  Load();
  InstallTrigger(FORMS_REMOVE_NOTIFY_GUID);
  EXPECT_EQ(DriverHiiHandle, nullptr);
  EXPECT_EQ(sim::PackageListHandles(), std::vector<EFI_HII_HANDLE>{Card.HiiHandle});
  const std::vector<UINT8> CardList = Export(Card.HiiHandle);
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 0);
  EXPECT_EQ(Export(Card.HiiHandle), CardList);
  EXPECT_TRUE(NothingLeaked(Held));
}

TEST_F(NotifyTest, RemovalWithoutADatabaseDoesNothing) {
  Load();
  const EFI_HII_HANDLE Own = DriverHiiHandle;
  HiiDatabase = nullptr;
  sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND, -1);
  InstallTrigger(FORMS_REMOVE_NOTIFY_GUID);
  sim::ClearFaults();
  EXPECT_EQ(DriverHiiHandle, Own);
  EXPECT_EQ(sim::PackageListHandles(), std::vector<EFI_HII_HANDLE>{Own});
  EXPECT_EQ(sim::NotifyRegistrationCount(FORMS_REMOVE_NOTIFY_GUID), 0u);
}

}  // namespace

// The road of one setting in the simulator, as a person would follow it: cards
// are published, the driver image is loaded through its entry point, the cards'
// IDs are put into the supported list with the keyword handler, the scan builds
// their pages, every keyword reads the cards' values, one mirrored keyword is
// set and applied to the card, the scan runs again, the form set is removed, and
// a second boot on the same variable store builds the pages again.
#include <gtest/gtest.h>

#include <memory>

#include "driver/card_inventory.h"
#include "qemu/expected_pages.h"
#include "sim/card_shapes.h"
#include "tests/loaded_driver_fixture.h"

namespace {

constexpr UINT16 RoadVendor = 0x1234, RoadDevice = 0x11E8;      // the road card and the MAC-titled list
constexpr UINT16 SecondVendor = 0x1B36, SecondDevice = 0x0005;  // the second card model
constexpr const CHAR16 *RoadLocation = u"000400";
constexpr const CHAR16 *SecondLocation = u"000500";

// The mirrored keywords in page order and the card values they must read:
// the road card's Mode, Level, Policy, Retries, Threshold and (grayed) Gain, then
// the second model's Queue Depth and Cache Mode.
struct MIRRORED_VALUE {
  const char16_t *Keyword;
  UINT8 Value;
};
constexpr MIRRORED_VALUE MirroredValues[] = {
    {u"CSPAC000", sim::road_card::ModeValue},          {u"CSPAC001", sim::road_card::LevelValue},
    {u"CSPAC002", sim::road_card::EfiPolicyValue},     {u"CSPAC003", sim::road_card::EfiRetriesValue},
    {u"CSPAC004", sim::road_card::ThresholdValue},     {u"CSPAC005", sim::road_card::LockedValue},
    {u"CSPAC006", sim::second_model::QueueDepthValue}, {u"CSPAC007", sim::second_model::CacheModeValue}};
constexpr UINTN LevelSlot = 1;
constexpr UINT8 NewLevel = 75;

std::u16string StaticKeyword(UINTN Index) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "CSPACF%02X", static_cast<unsigned>(Index));
  return std::u16string(Text, Text + 8);
}

class DriverRoadTest : public LoadedDriverTest {
 protected:
  // The cards as their drivers publish them; RoadStore, when given, is what the
  // road card kept from an earlier boot, and its variable is the one the
  // earlier boot left.
  void PublishCards(const std::vector<UINT8> *RoadStore = nullptr) {
    const sim::CardShape RoadShape = sim::RoadCardShape();
    std::vector<sim::StoreContents> Initial = RoadShape.InitialContents();
    if (RoadStore != nullptr)
      Initial = {{sim::road_card::BufferStoreName, *RoadStore},
                 {sim::road_card::EfiStoreName, EfiVariable()}};
    Road = &sim::PublishCard(sim::AddPciFunction(RoadVendor, RoadDevice, 0, 4, 0), RoadShape.PackageList,
                             Initial);
    Second =
        &sim::PublishShape(sim::AddPciFunction(SecondVendor, SecondDevice, 0, 5, 0), sim::SecondModelShape());
    sim::PublishShape(sim::AddPciFunction(RoadVendor, RoadDevice, 0, 6, 0), sim::MacTitledCardShape());
  }

  static ::testing::AssertionResult PageIs(UINTN Slot, sim::CardShapeId Shape, const CHAR16 *Location,
                                           UINT16 FirstQuestion, UINT16 FirstString) {
    auto Space = std::make_unique<EXPECTED_PAGE_SPACE>();
    const EXPECTED_PAGE Page = ExpectedPage(Shape, {Slot, Location, FirstQuestion, FirstString}, Space.get());
    const std::vector<UINT8> List = Export(DriverHiiHandle);
    PAGE_CHECK_RESULT Result = {};
    if (CheckCardPage(List.data(), List.size(), HiiString, DriverHiiHandle, Page, &Result))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "slot " << Slot << ": " << Result.Message;
  }

  std::vector<UINT8> EfiVariable() { return Variable(u"RoadEfiVar", sim::road_card::EfiStoreGuid); }

  sim::CardDriver *Road = nullptr;
  sim::CardDriver *Second = nullptr;
};

TEST_F(DriverRoadTest, OneSettingFromTheKeywordToTheCardAndThroughASecondBoot) {
  PublishCards();
  const std::size_t Held = sim::HeldBlocks();
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);

  // The supported list: the road card, the second model, two pairs in use.
  EXPECT_EQ(SetKeyword(u"CSPACF00", u"1234"), EFI_SUCCESS);  // vendor ID #1
  EXPECT_EQ(SetKeyword(u"CSPACF0A", u"11e8"), EFI_SUCCESS);  // device ID #1
  EXPECT_EQ(SetKeyword(u"CSPACF01", u"1b36"), EFI_SUCCESS);
  EXPECT_EQ(SetKeyword(u"CSPACF0B", u"0005"), EFI_SUCCESS);
  EXPECT_EQ(SetKeyword(u"CSPACF14", u"02"), EFI_SUCCESS);

  // The scan: a page each for the two cards, none for the MAC-titled list.
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 2);
  EXPECT_TRUE(PageIs(0, sim::CardShapeId::Road, RoadLocation, 0, 0));
  EXPECT_TRUE(PageIs(1, sim::CardShapeId::SecondModel, SecondLocation, 6, 1));
  EXPECT_TRUE(PageIs(2, sim::CardShapeId::MacTitled, nullptr, 0, 0));
  EXPECT_TRUE(NothingLeaked(Held));

  // Every keyword reads what it stands for.
  const std::vector<UINT8> Pci = Variable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID);
  ASSERT_EQ(Pci.size(), sizeof(ADDONCARD_PCI_ID_LIST));
  for (UINTN Pair = 0; Pair < ADDONCARD_MAX_PCI_ID_PAIRS; ++Pair) {
    EXPECT_EQ(GetKeyword(StaticKeyword(Pair)), Pci[2 * Pair] | Pci[2 * Pair + 1] << 8) << Pair;
    EXPECT_EQ(GetKeyword(StaticKeyword(Pair + 10)), Pci[0x14 + 2 * Pair] | Pci[0x15 + 2 * Pair] << 8) << Pair;
  }
  EXPECT_EQ(GetKeyword(u"CSPACF14"), 2u);
  EXPECT_EQ(GetKeyword(u"CSPACF01"), SecondVendor);
  for (const MIRRORED_VALUE &Each : MirroredValues)
    EXPECT_EQ(GetKeyword(Each.Keyword), Each.Value) << ::testing::PrintToString(std::u16string(Each.Keyword));

  // One mirrored keyword set, then applied: the card's own store holds the new
  // value and nothing else in any card store changed.
  const std::vector<UINT8> RoadBefore = Road->Store(sim::road_card::BufferStoreName);
  const std::vector<UINT8> EfiBefore = EfiVariable();
  const std::vector<UINT8> SecondBefore = Second->Store(sim::second_model::StoreName);
  EXPECT_EQ(SetKeyword(u"CSPAC001", u"4b"), EFI_SUCCESS);
  EXPECT_EQ(Oob()[LevelSlot], NewLevel);
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  std::vector<UINT8> RoadExpected = RoadBefore;
  RoadExpected[sim::road_card::LevelOffset] = NewLevel;
  EXPECT_EQ(Road->Store(sim::road_card::BufferStoreName), RoadExpected);
  EXPECT_EQ(Road->RouteConfigCalls, 1u);
  EXPECT_EQ(EfiVariable(), EfiBefore);
  EXPECT_EQ(Second->Store(sim::second_model::StoreName), SecondBefore);
  EXPECT_TRUE(NothingLeaked(Held));

  // The scan again: further slots, their numbers after the first pages', the
  // road card's page seeded with its new level.
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 4);
  EXPECT_TRUE(PageIs(2, sim::CardShapeId::Road, RoadLocation, 8, 2));
  EXPECT_TRUE(PageIs(3, sim::CardShapeId::SecondModel, SecondLocation, 14, 3));
  EXPECT_EQ(Oob()[8 + LevelSlot], NewLevel);
  EXPECT_EQ(GetKeyword(u"CSPAC009"), NewLevel);

  // Removed: the form set and its keywords are gone.
  const EFI_HII_HANDLE DriverList = DriverHiiHandle;
  InstallTrigger(FORMS_REMOVE_NOTIFY_GUID);
  const std::vector<EFI_HII_HANDLE> Lists = sim::PackageListHandles();
  EXPECT_EQ(std::count(Lists.begin(), Lists.end(), DriverList), 0);
  EXPECT_EQ(GetKeyword(u"CSPACF00"), std::nullopt);
  EXPECT_TRUE(NothingLeaked(Held));

  // Apply and remove act once: installed again, they do nothing.
  SetOobSlot(LevelSlot, 0x10);
  InstallTrigger(OOB_APPLY_NOTIFY_GUID);
  InstallTrigger(FORMS_REMOVE_NOTIFY_GUID);
  EXPECT_EQ(Road->Store(sim::road_card::BufferStoreName), RoadExpected);
  EXPECT_EQ(Road->RouteConfigCalls, 1u);
  EXPECT_EQ(sim::PackageListHandles(), Lists);

  // A second boot on the same variable store: the list is kept, the volatile
  // variables start again, the pages come from the cards' current values.
  const std::vector<UINT8> RoadKept = Road->Store(sim::road_card::BufferStoreName);
  sim::Reset();
  PublishCards(&RoadKept);
  EXPECT_EQ(EfiVariable(), EfiBefore);
  const std::size_t HeldAgain = sim::HeldBlocks();
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
  EXPECT_EQ(Variable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID), Pci);
  EXPECT_EQ(Oob(), std::vector<UINT8>(ADDONCARD_OOB_SLOT_COUNT, 0));
  EXPECT_EQ(GetKeyword(u"CSPACF0B"), SecondDevice);
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_TRUE(PageIs(0, sim::CardShapeId::Road, RoadLocation, 0, 0));
  EXPECT_TRUE(PageIs(1, sim::CardShapeId::SecondModel, SecondLocation, 6, 1));
  EXPECT_EQ(GetKeyword(u"CSPAC001"), NewLevel);
  EXPECT_EQ(GetKeyword(u"CSPAC000"), sim::road_card::ModeValue);
  EXPECT_TRUE(NothingLeaked(HeldAgain));
}

// The configuration access that start-up installed, called as the router and
// the browser call it, under each failure of the services it relies on.
TEST_F(DriverRoadTest, TheInstalledConfigAccessReportsEachFailureAndChangesNothing) {
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
  void *Interface = nullptr;
  ASSERT_EQ(Bs()->HandleProtocol(DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  auto *Access = static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(Interface);
  const auto *Path = reinterpret_cast<const UINT8 *>(&ADDONCARD_DEVICE_PATH);
  const hiitest::Bytes PathBytes(Path, Path + sizeof(ADDONCARD_DEVICE_PATH));
  const std::u16string Pci = hiitest::Header(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR, PathBytes);
  const std::u16string Other = hiitest::Header(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_PCI_VAR, PathBytes);
  const std::u16string PairCountThree = Pci + u"&OFFSET=28&WIDTH=1&VALUE=03";
  enum class Call { Extract, Route, Callback };
  struct Row {
    const char *Service;  // null: no fault, the request is the fault
    Call Operation;
    const std::u16string &Text;
    EFI_STATUS Status;
  } Rows[] = {
      {nullptr, Call::Extract, Other, EFI_NOT_FOUND},
      {nullptr, Call::Route, Other, EFI_NOT_FOUND},
      {"BootServices.AllocatePool", Call::Extract, Pci, EFI_OUT_OF_RESOURCES},
      {"ConfigRouting.BlockToConfig", Call::Extract, Pci, EFI_DEVICE_ERROR},
      {"ConfigRouting.ConfigToBlock", Call::Route, PairCountThree, EFI_DEVICE_ERROR},
      {"RuntimeServices.SetVariable", Call::Route, PairCountThree, EFI_DEVICE_ERROR},
      {"FormBrowser2.BrowserCallback", Call::Callback, Pci, EFI_NOT_FOUND},
  };
  const std::vector<UINT8> Stored = Variable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID);
  const std::size_t Held = sim::HeldBlocks();
  for (const Row &Each : Rows) {
    SCOPED_TRACE(Each.Service == nullptr ? "no fault" : Each.Service);
    // A refused allocation is reported as such; every other service fails with a device error.
    if (Each.Service != nullptr)
      sim::FailService(Each.Service,
                       Each.Status == EFI_OUT_OF_RESOURCES ? EFI_OUT_OF_RESOURCES : EFI_DEVICE_ERROR);
    CHAR16 *Progress = nullptr, *Results = nullptr;
    EFI_BROWSER_ACTION_REQUEST Request = 0;
    EFI_STATUS Status = EFI_SUCCESS;
    switch (Each.Operation) {
      case Call::Extract:
        Status = Access->ExtractConfig(Access, Each.Text.c_str(), &Progress, &Results);
        break;
      case Call::Route:
        Status = Access->RouteConfig(Access, Each.Text.c_str(), &Progress);
        break;
      case Call::Callback:
        Status = Access->Callback(Access, EFI_BROWSER_ACTION_CHANGED, 0xC001, 0, nullptr, &Request);
        break;
    }
    sim::ClearFaults();
    EXPECT_EQ(Status, Each.Status);
    EXPECT_EQ(Results, nullptr);
    EXPECT_EQ(Variable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID), Stored);
    EXPECT_EQ(std::memcmp(&PciIdListCopy, Stored.data(), Stored.size()), 0);
    EXPECT_TRUE(NothingLeaked(Held));
  }
}

}  // namespace

// Start-up of the image through its entry point: what a good start leaves on
// the machine, and each failure row with what remains after it.
#include <gtest/gtest.h>

#include "driver/card_inventory.h"
#include "forms/config_access.h"
#include "sim/card_shapes.h"
#include "tests/loaded_driver_fixture.h"

namespace {

class StartupTest : public LoadedDriverTest {
 protected:
  void SetUp() override {
    LoadedDriverTest::SetUp();
    Held = sim::HeldBlocks();
    Handles = sim::HandleCount();
  }
  static std::size_t Armed(const EFI_GUID &Protocol) { return sim::NotifyRegistrationCount(Protocol); }
  std::size_t Held = 0;
  std::size_t Handles = 0;
};

TEST_F(StartupTest, AGoodStartInstallsRegistersAndArmsTheThreeTriggers) {
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
  void *Path = nullptr, *Access = nullptr;
  ASSERT_EQ(Bs()->HandleProtocol(DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Path), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(Path, &ADDONCARD_DEVICE_PATH, sizeof(ADDONCARD_DEVICE_PATH)), 0);
  ASSERT_EQ(Bs()->HandleProtocol(DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Access), EFI_SUCCESS);
  EXPECT_EQ(Access, &AddOnCardConfigAccess);
  EXPECT_EQ(AddOnCardConfigAccess.ExtractConfig, ExtractConfig);
  EXPECT_EQ(AddOnCardConfigAccess.RouteConfig, RouteConfig);
  EXPECT_EQ(AddOnCardConfigAccess.Callback, Callback);
  EXPECT_EQ(sim::PackageListHandles(), std::vector<EFI_HII_HANDLE>{DriverHiiHandle});
  EXPECT_EQ(sim::OpenEventCount(), 3u);
  EXPECT_EQ(Armed(CARD_FORMS_NOTIFY_GUID), 1u);
  EXPECT_EQ(Armed(FORMS_REMOVE_NOTIFY_GUID), 1u);
  EXPECT_EQ(Armed(OOB_APPLY_NOTIFY_GUID), 1u);
  // The variables as a first boot creates them, and the copies holding them.
  const auto Oob = sim::FindVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID);
  const auto Pci = sim::FindVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID);
  ASSERT_TRUE(Oob && Pci && sim::FindVariable(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID));
  EXPECT_EQ(Oob->Attributes, ADDONCARD_VOLATILE_VAR_ATTRIBUTES);
  EXPECT_EQ(Pci->Attributes, ADDONCARD_PCI_VAR_ATTRIBUTES);
  EXPECT_EQ(std::memcmp(Pci->Data.data(), &ADDONCARD_PCI_DEFAULTS, sizeof(ADDONCARD_PCI_DEFAULTS)), 0);
  EXPECT_EQ(std::memcmp(&PciIdListCopy, &ADDONCARD_PCI_DEFAULTS, sizeof(ADDONCARD_PCI_DEFAULTS)), 0);
  EXPECT_TRUE(NothingLeaked(Held));
}

TEST_F(StartupTest, ATriggerInstalledBeforeTheImageLoadsDoesNotScan) {
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  sim::PublishSampleCard();
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
  EXPECT_EQ(NextCardPage, 0);
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 1);
}

// Each row: a service that fails, the entry point's status, and what is left.
TEST_F(StartupTest, EachFailedServiceLeavesWhatItsRowSays) {
  struct Row {
    const char *Service;
    int Times;
    EFI_STATUS Status;
    std::size_t Events;
    bool Registered;
  } Rows[] = {
      {"HiiDatabase.NewPackageList", 1, EFI_NO_MEDIA, 0, false},
      {"BootServices.InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES, 0, false},
      {"BootServices.LocateProtocol", -1, EFI_NO_MEDIA, 0, false},  // no HII protocol at all
      {"BootServices.CreateEvent", -1, EFI_SUCCESS, 0, true},
      {"BootServices.CreateEvent", 1, EFI_SUCCESS, 2, true},
      {"BootServices.RegisterProtocolNotify", -1, EFI_SUCCESS, 0, true},  // events closed again
  };
  for (const Row &Each : Rows) {
    SCOPED_TRACE(Each.Service);
    sim::PowerOn();
    const std::size_t HandlesBefore = sim::HandleCount();
    sim::FailService(Each.Service, EFI_OUT_OF_RESOURCES, Each.Times);
    EXPECT_EQ(LoadDriver(), Each.Status);
    sim::ClearFaults();
    EXPECT_EQ(sim::OpenEventCount(), Each.Events);
    EXPECT_EQ(sim::PackageListHandles().size(), Each.Registered ? 1u : 0u);
    // A failed start leaves no handle behind: the firmware unloads the image.
    EXPECT_EQ(sim::HandleCount(), HandlesBefore + (Each.Registered ? 1 : 0));
    EXPECT_EQ(DriverHandle == nullptr, !Each.Registered);
    EXPECT_TRUE(sim::FindVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID).has_value());
    EXPECT_TRUE(NothingLeaked(Held));
  }
  // With the first event missing, the card scan never runs; the others do.
  sim::PowerOn();
  sim::PublishSampleCard();
  sim::FailService("BootServices.CreateEvent", EFI_OUT_OF_RESOURCES, 1);
  ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
  EXPECT_EQ(Armed(CARD_FORMS_NOTIFY_GUID), 0u);
  EXPECT_EQ(Armed(FORMS_REMOVE_NOTIFY_GUID), 1u);
  InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  EXPECT_EQ(NextCardPage, 0);
}

TEST_F(StartupTest, APoolRefusingEachBlockInTurnGivesAWholeStartOrNoneAndLeaksNothing) {
  for (std::size_t Nth = 1;; ++Nth) {
    SCOPED_TRACE(Nth);
    sim::PowerOn();
    sim::FailNthAllocation(Nth);
    const EFI_STATUS Status = LoadDriver();
    const bool Reached = !sim::AllocationFailurePending();
    sim::FailNthAllocation(0);
    EXPECT_TRUE(Status == EFI_SUCCESS || Status == EFI_NO_MEDIA) << Status;
    EXPECT_EQ(sim::OpenEventCount(), Status == EFI_SUCCESS ? 3u : 0u);
    EXPECT_EQ(sim::HandleCount(), Handles + (Status == EFI_SUCCESS ? 1 : 0));
    EXPECT_TRUE(NothingLeaked(Held));
    if (!Reached) break;
  }
}

}  // namespace

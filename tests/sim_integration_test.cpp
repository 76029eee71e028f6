// One pass over the simulated machine as the driver will meet it: its form set
// in the HII database, a watched protocol arriving, and a configuration string
// travelling to a card's own store and back through the router.
#include <string>

#include "forms/identities.h"
#include "forms/static_packages.h"
#include "hii/config_string.h"
#include "hii/registration.h"
#include "sim/card_fixture.h"
#include "tests/sim_fixture.h"
#include "uefi/guids.h"

namespace {

constexpr EFI_GUID WatchedProtocolGuid = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};

int NotifyRuns = 0;
void EFIAPI CountNotify(EFI_EVENT, void *) { ++NotifyRuns; }

class SimMachine : public SimTest {};

TEST_F(SimMachine, FormSetNotifyAndRoundTripToACardLeaveNoPoolBlocks) {
  // The static form set, registered on a handle with the driver's device path.
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                           const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH)),
            EFI_SUCCESS);
  EFI_HII_HANDLE FormSet =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, Handle, AddOnCardStrings, AddOnCardForms, nullptr);
  ASSERT_NE(FormSet, nullptr);

  // A protocol installed before the event is armed does not run its notify;
  // the one installed after runs it exactly once.
  NotifyRuns = 0;
  int Interface = 0;
  EFI_HANDLE Early = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Early, &WatchedProtocolGuid, EFI_NATIVE_INTERFACE, &Interface),
            EFI_SUCCESS);
  EFI_EVENT Event = nullptr;
  void *Registration = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountNotify, nullptr, &Event), EFI_SUCCESS);
  ASSERT_EQ(Bs()->RegisterProtocolNotify(&WatchedProtocolGuid, Event, &Registration), EFI_SUCCESS);
  EXPECT_EQ(NotifyRuns, 0);
  EFI_HANDLE Trigger = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Trigger, &WatchedProtocolGuid, EFI_NATIVE_INTERFACE, &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(NotifyRuns, 1);

  // A configuration string to the sample card's own store and back.
  sim::CardDriver &Card = sim::PublishSampleCard();
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = nullptr;
  ASSERT_EQ(Bs()->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&Router)),
            EFI_SUCCESS);
  std::u16string Name(sim::sample_card::StoreName, sim::sample_card::StoreName + 10);
  CHAR16 *Header = BuildConfigHeader(&sim::sample_card::StoreGuid, Name.c_str(), Card.Handle);
  ASSERT_NE(Header, nullptr);
  std::u16string Element = u"&OFFSET=4&WIDTH=2";
  std::u16string Configuration = std::u16string(Header) + Element + u"&VALUE=0123";
  CHAR16 *Progress = nullptr;
  ASSERT_EQ(Router->RouteConfig(Router, Configuration.c_str(), &Progress), EFI_SUCCESS);
  EXPECT_EQ(Card.Store(sim::sample_card::StoreName)[4], 0x23);
  EXPECT_EQ(Card.Store(sim::sample_card::StoreName)[5], 0x01);

  std::u16string Request = std::u16string(Header) + Element;
  CHAR16 *Results = nullptr;
  ASSERT_EQ(Router->ExtractConfig(Router, Request.c_str(), &Progress, &Results), EFI_SUCCESS);
  EXPECT_NE(std::u16string(Results).find(u"&OFFSET=4&WIDTH=2&VALUE=0123"), std::u16string::npos);

  Bs()->FreePool(Results);
  Bs()->FreePool(Header);
  EXPECT_EQ(Bs()->CloseEvent(Event), EFI_SUCCESS);
  EFI_HANDLE AfterClose = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&AfterClose, &WatchedProtocolGuid, EFI_NATIVE_INTERFACE, &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(NotifyRuns, 1);
  EXPECT_EQ(sim::HeldBlocks(), 0u);
  EXPECT_EQ(sim::HeldBytes(), 0u);
}

}  // namespace

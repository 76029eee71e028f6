// The sample card (see card_fixture.h): one port of a network card with the
// setup questions such cards show, for the demo and the firmware tests.
#include <cstring>

#include "sim/card_fixture.h"

namespace sim {

CardFormSet SampleCardFormSet() {
  using namespace sample_card;
  constexpr UINT8 Default = EFI_IFR_OPTION_DEFAULT | EFI_IFR_OPTION_DEFAULT_MFG;
  constexpr EFI_QUESTION_ID BootFormGotoId = 0x1008;
  return CardFormSet(Title, FormSetGuid)
      .Help("Configure the network card port")
      .DefaultStore(EFI_HII_DEFAULT_CLASS_STANDARD, "Standard Default")
      .BufferStore(StoreId, StoreName, StoreGuid, StoreSize)
      .Form(MainFormId, "Port Configuration")
      .Subtitle("Port Settings")
      .Text("Permanent MAC Address", "Factory-assigned address of the port", "02:00:00:3B:00:00")
      .Text("Firmware Version", "", "1.4.2")
      .OneOf({LinkSpeedId, StoreId, LinkSpeedOffset, "Link Speed", "Speed of the link",
              EFI_IFR_FLAG_RESET_REQUIRED})
      .Options({{"Auto Negotiated", 0, Default}, {"10 Gb/s", 1}, {"25 Gb/s", 2}, {"100 Gb/s", 3}})
      .Checkbox(
          {WakeOnLanId, StoreId, WakeOnLanOffset, "Wake on LAN", "Power on when a wake-up packet arrives"},
          EFI_IFR_CHECKBOX_DEFAULT)
      .OneOf({VlanModeId, StoreId, VlanModeOffset, "VLAN Mode", "Tag the traffic of the port"})
      .Options({{"Disabled", 0, Default}, {"Enabled", 1}})
      .GrayOutIf(cond::EqIdVal(VlanModeId, 0))
      .Numeric({VlanIdId, StoreId, VlanIdOffset, "VLAN ID", "VLAN of the port's traffic (1-4094)"}, 2, 1,
               4094, 1)
      .Default(1)
      .EndIf()
      .Goto(BootFormId, {BootFormGotoId, 0, 0, "Boot Configuration", "Network boot settings"})
      .Form(BootFormId, "Boot Configuration")
      .OneOf({BootProtocolId, StoreId, BootProtocolOffset, "Boot Protocol",
              "Protocol used to boot from the network"})
      .Options({{"None", 0}, {"PXE", 1, Default}, {"iSCSI", 2}})
      .String(
          {BootTargetNameId, StoreId, BootTargetNameOffset, "Boot Target Name", "Name of the boot target"}, 0,
          32)
      .SuppressIf(cond::Not(cond::EqIdVal(BootProtocolId, 2)))
      .Numeric({IscsiLunId, StoreId, IscsiLunOffset, "iSCSI LUN", "Logical unit of the iSCSI target"}, 1, 0,
               255, 1)
      .EndIf();
}

std::vector<UINT8> BuildSampleCard() { return SampleCardFormSet().Build(); }

std::vector<UINT8> SampleCardStore() {
  using namespace sample_card;
  std::vector<UINT8> Store(StoreSize, 0);
  Store[LinkSpeedOffset] = 0;
  Store[WakeOnLanOffset] = 1;
  Store[VlanModeOffset] = 0;
  Store[VlanIdOffset] = 1;
  Store[BootProtocolOffset] = 1;
  const char16_t Target[] = u"pxe-server-01";
  std::memcpy(Store.data() + BootTargetNameOffset, Target, sizeof(Target));
  Store[IscsiLunOffset] = 0;
  return Store;
}

CardDriver &PublishSampleCard(UINTN Bus, UINTN Device, UINTN Function) {
  using namespace sample_card;
  PciFunction &Pci = AddPciFunction(VendorId, DeviceId, Bus, Device, Function);
  return PublishCard(Pci, BuildSampleCard(), {{StoreName, SampleCardStore()}});
}

}  // namespace sim

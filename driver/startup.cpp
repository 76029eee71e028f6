#include "driver/startup.h"

#include "driver/globals.h"
#include "forms/config_access.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/static_packages.h"
#include "forms/variables.h"
#include "hii/registration.h"
#include "uefi/guids.h"

namespace {

// The events start-up arms, in the order they are created.
struct TRIGGER {
  const EFI_GUID *Protocol;
  EFI_EVENT_NOTIFY Notify;
};
constexpr TRIGGER TRIGGERS[] = {
    {&CARD_FORMS_NOTIFY_GUID, OnCardFormsNotify},
    {&FORMS_REMOVE_NOTIFY_GUID, OnFormsRemoveNotify},
    {&OOB_APPLY_NOTIFY_GUID, OnOobApplyNotify},
};

// The variables straight into the driver-wide copies (publishing the copy
// itself copies nothing): no 26 KiB record on the firmware's stack. No browser
// has the form set open yet, so the publishing only fills the copies.
void LoadAndPublishVariables() {
  LoadOobVar(&OobVarCopy);
  LoadStringVar(&StringVarCopy);
  LoadPciVar(&PciIdListCopy);
  PublishOobVar(&OobVarCopy);
  PublishStringVar(&StringVarCopy);
  PublishPciVar(&PciIdListCopy);
}

// The device path is constant; the firmware only reads it.
void *DevicePathInterface() { return const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH); }

// Takes the protocols off DriverHandle again. The firmware unloads an image whose
// entry point fails, and an interface left installed would then point into
// freed memory.
void UninstallDriverProtocols() {
  BootServices->UninstallMultipleProtocolInterfaces(
      DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, DevicePathInterface(),
      &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &AddOnCardConfigAccess, nullptr);
  DriverHandle = nullptr;
}

void ArmTrigger(const TRIGGER &Trigger) {
  EFI_EVENT Event = nullptr;
  if (EFI_ERROR(BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, Trigger.Notify, nullptr, &Event)))
    return;
  void *Registration = nullptr;
  // An event registered for nothing would only be kept open for nothing.
  if (EFI_ERROR(BootServices->RegisterProtocolNotify(Trigger.Protocol, Event, &Registration)))
    BootServices->CloseEvent(Event);
}

}  // namespace

EFI_STATUS InstallAddOnCardHii() {
  if (BootServices == nullptr) return EFI_NOT_READY;
  LoadAndPublishVariables();
  GetConfigRouting();  // null when the firmware has none; the handlers then answer EFI_NOT_READY
  FillAddOnCardConfigAccess();
  DriverHandle = nullptr;
  const EFI_STATUS Status = BootServices->InstallMultipleProtocolInterfaces(
      &DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, DevicePathInterface(),
      &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &AddOnCardConfigAccess, nullptr);
  if (EFI_ERROR(Status)) {
    DriverHandle = nullptr;
    return Status;
  }
  DriverHiiHandle =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, DriverHandle, AddOnCardStrings, AddOnCardForms, nullptr);
  if (DriverHiiHandle != nullptr) return EFI_SUCCESS;
  UninstallDriverProtocols();
  return EFI_NO_MEDIA;
}

EFI_STATUS StartAddOnCardDriver() {
  const EFI_STATUS Status = InstallAddOnCardHii();
  if (EFI_ERROR(Status)) return Status;
  for (const TRIGGER &Trigger : TRIGGERS) ArmTrigger(Trigger);
  return EFI_SUCCESS;
}

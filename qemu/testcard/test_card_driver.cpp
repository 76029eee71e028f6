// AddOnCardTestCard.efi: the add-on card driver of the road test, a UEFI driver
// of the driver model as a card vendor ships one. Its driver binding takes the
// machine's card functions (qemu/test_machine.h) and gives each a card of its
// own: the road card on the first edu function, a form set titled "MAC:..." on
// the second, and a card of another model on the PCI test device. Start
// publishes the card on a child handle below the function (the function's
// path and a MAC node) through the tests' card publisher: its package list,
// its configuration access and the variables of its EFI stores, which keep
// what an earlier boot left.
//
// Like a real card driver, it keeps each buffer store in a non-volatile
// variable of the store's own name and GUID: a store is loaded from it at
// Start and saved to it after every configuration the router hands over, so a
// value applied in one boot is the card's value in the next.
#include "driver/globals.h"
#include "qemu/card_publisher.h"
#include "qemu/driver_model.h"
#include "qemu/test_machine.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

constexpr UINT32 BUFFER_STORE_VARIABLE_ATTRIBUTES =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINTN MAX_STORE_NAME_CHARS = 64;
constexpr UINT8 CARD_PORT = 0;

// Which card each function of the machine carries.
struct CARD_ASSIGNMENT {
  UINTN Function;  // index into TEST_PCI_FUNCTIONS
  sim::CardShapeId Shape;
};
constexpr CARD_ASSIGNMENT CARD_ASSIGNMENTS[] = {
    {FIRST_EDU_FUNCTION, sim::CardShapeId::Road},
    {SECOND_EDU_FUNCTION, sim::CardShapeId::MacTitled},
    {PCI_TESTDEV_FUNCTION, sim::CardShapeId::SecondModel},
};
constexpr UINTN CARD_COUNT = ArrayCount(CARD_ASSIGNMENTS);

struct BOUND_CARD {
  EFI_HANDLE Controller;
  PUBLISHED_CARD *Card;
};
constinit BOUND_CARD BoundCards[CARD_COUNT] = {};

// The publisher's RouteConfig, which the persisting one wraps.
constinit EFI_HII_ACCESS_ROUTE_CONFIG PublisherRouteConfig = nullptr;

// ---- the stores' own variables --------------------------------------------------------

bool StoreVariableName(const CARD_FIXTURE_STORE &Store, CHAR16 *Name) {
  UINTN Index = 0;
  for (; Store.Name[Index] != 0; ++Index) {
    if (Index + 1 >= MAX_STORE_NAME_CHARS) return false;
    Name[Index] = static_cast<CHAR16>(static_cast<UINT8>(Store.Name[Index]));
  }
  Name[Index] = 0;
  return true;
}

EFI_STATUS SaveBufferStore(PUBLISHED_CARD_STORE &Store) {
  CHAR16 Name[MAX_STORE_NAME_CHARS];
  if (!StoreVariableName(*Store.Fixture, Name)) return EFI_INVALID_PARAMETER;
  return RuntimeServices->SetVariable(Name, &Store.Fixture->Guid, BUFFER_STORE_VARIABLE_ATTRIBUTES,
                                      Store.Fixture->Size, Store.Bytes);
}

// Takes a stored copy of the right size and attributes; anything else (the
// first boot on a fresh machine) is replaced by the store's initial contents.
EFI_STATUS LoadBufferStore(PUBLISHED_CARD_STORE &Store) {
  CHAR16 Name[MAX_STORE_NAME_CHARS];
  if (!StoreVariableName(*Store.Fixture, Name)) return EFI_INVALID_PARAMETER;
  const UINTN Size = Store.Fixture->Size;
  auto *Stored = static_cast<UINT8 *>(PoolAlloc(Size + 1u));
  if (Stored == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN StoredSize = Size + 1u;
  UINT32 Attributes = 0;
  const bool Kept = RuntimeServices->GetVariable(Name, &Store.Fixture->Guid, &Attributes, &StoredSize,
                                                 Stored) == EFI_SUCCESS &&
                    StoredSize == Size && Attributes == BUFFER_STORE_VARIABLE_ATTRIBUTES;
  if (Kept) CopyBytes(Store.Bytes, Stored, Size);
  PoolFree(Stored);
  return Kept ? EFI_SUCCESS : SaveBufferStore(Store);
}

EFI_STATUS ForEachBufferStore(PUBLISHED_CARD &Card, EFI_STATUS (*Action)(PUBLISHED_CARD_STORE &)) {
  for (UINTN Index = 0; Index < Card.StoreCount; ++Index) {
    PUBLISHED_CARD_STORE &Store = Card.Stores[Index];
    if (Store.Bytes == nullptr) continue;
    const EFI_STATUS Status = Action(Store);
    if (EFI_ERROR(Status)) return Status;
  }
  return EFI_SUCCESS;
}

// The card's RouteConfig: the publisher applies the configuration to the
// store's bytes, and what it applied is saved. A store that cannot be saved
// fails the call, so nobody believes a setting that a reset would lose.
EFI_STATUS EFIAPI PersistingRouteConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This,
                                        const CHAR16 *Configuration, CHAR16 **Progress) {
  const EFI_STATUS Status = PublisherRouteConfig(This, Configuration, Progress);
  if (EFI_ERROR(Status) || This == nullptr) return Status;
  // The configuration access is the first member of the published card.
  auto *Card = reinterpret_cast<PUBLISHED_CARD *>(const_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(This));
  const EFI_STATUS Saved = ForEachBufferStore(*Card, SaveBufferStore);
  return EFI_ERROR(Saved) ? EFI_DEVICE_ERROR : Status;
}

// ---- binding --------------------------------------------------------------------------

const CARD_ASSIGNMENT *AssignmentOf(EFI_PCI_IO_PROTOCOL *PciIo) {
  UINT16 VendorId = 0, DeviceId = 0;
  UINTN Segment = 0, Bus = 0, Device = 0, Function = 0;
  if (EFI_ERROR(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0, 1, &VendorId)) ||
      EFI_ERROR(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 2, 1, &DeviceId)) ||
      EFI_ERROR(PciIo->GetLocation(PciIo, &Segment, &Bus, &Device, &Function)))
    return nullptr;
  for (const CARD_ASSIGNMENT &Assignment : CARD_ASSIGNMENTS) {
    const TEST_PCI_FUNCTION &Expected = TEST_PCI_FUNCTIONS[Assignment.Function];
    if (Expected.VendorId == VendorId && Expected.DeviceId == DeviceId && Expected.Bus == Bus &&
        Expected.Device == Device && Expected.Function == Function)
      return &Assignment;
  }
  return nullptr;
}

BOUND_CARD *BoundCardOf(EFI_HANDLE Controller) {
  for (BOUND_CARD &Bound : BoundCards)
    if (Bound.Card != nullptr && Bound.Controller == Controller) return &Bound;
  return nullptr;
}

BOUND_CARD *FreeBoundCard() {
  for (BOUND_CARD &Bound : BoundCards)
    if (Bound.Card == nullptr) return &Bound;
  return nullptr;
}

// The function as the publisher wants it, found among those of its model.
EFI_STATUS DescribeFunction(EFI_HANDLE Controller, const TEST_PCI_FUNCTION &Model, CARD_PCI_FUNCTION *Out) {
  CARD_PCI_FUNCTION Found[TEST_PCI_FUNCTION_COUNT] = {};
  UINTN Count = 0;
  const EFI_STATUS Status =
      FindPciFunctions(Model.VendorId, Model.DeviceId, Found, ArrayCount(Found), &Count);
  if (EFI_ERROR(Status)) return Status;
  for (UINTN Index = 0; Index < Count && Index < ArrayCount(Found); ++Index) {
    if (Found[Index].Handle != Controller) continue;
    *Out = Found[Index];
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI CardSupported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller,
                                EFI_DEVICE_PATH_PROTOCOL *) {
  void *Interface = nullptr;
  EFI_STATUS Status = OpenProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, &Interface,
                                   This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER);
  if (EFI_ERROR(Status)) return Status;
  const bool Ours = AssignmentOf(static_cast<EFI_PCI_IO_PROTOCOL *>(Interface)) != nullptr;
  CloseProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, This->DriverBindingHandle, Controller);
  return Ours ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

// Publishes the function's card and makes its handle a child of the function.
EFI_STATUS PublishCardOf(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller,
                         const CARD_ASSIGNMENT &Assignment, PUBLISHED_CARD **Out) {
  CARD_PCI_FUNCTION Function = {};
  EFI_STATUS Status = DescribeFunction(Controller, TEST_PCI_FUNCTIONS[Assignment.Function], &Function);
  if (EFI_ERROR(Status)) return Status;
  PUBLISHED_CARD *Card = nullptr;
  Status = PublishFixtureCard(GetCardFixture(Assignment.Shape), Function, CARD_PORT, &Card,
                              CardVariables::KeepExisting);
  if (EFI_ERROR(Status)) return Status;
  Status = ForEachBufferStore(*Card, LoadBufferStore);
  void *Interface = nullptr;
  if (!EFI_ERROR(Status))
    Status =
        OpenProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, &Interface,
                     This->DriverBindingHandle, Card->DriverHandle, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  if (EFI_ERROR(Status)) {
    RemoveFixtureCard(Card, false);
    return Status;
  }
  PublisherRouteConfig = Card->ConfigAccess.RouteConfig;
  Card->ConfigAccess.RouteConfig = PersistingRouteConfig;
  *Out = Card;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CardStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller,
                            EFI_DEVICE_PATH_PROTOCOL *) {
  void *Interface = nullptr;
  EFI_STATUS Status = OpenProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, &Interface,
                                   This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER);
  if (EFI_ERROR(Status)) return Status;
  const CARD_ASSIGNMENT *Assignment = AssignmentOf(static_cast<EFI_PCI_IO_PROTOCOL *>(Interface));
  BOUND_CARD *Bound = FreeBoundCard();
  Status = Assignment == nullptr ? EFI_UNSUPPORTED : Bound == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  PUBLISHED_CARD *Card = nullptr;
  if (!EFI_ERROR(Status)) Status = PublishCardOf(This, Controller, *Assignment, &Card);
  if (EFI_ERROR(Status)) {
    CloseProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, This->DriverBindingHandle, Controller);
    return Status;
  }
  *Bound = {Controller, Card};
  return EFI_SUCCESS;
}

// The firmware stops the children first (NumberOfChildren > 0), then the
// function itself (NumberOfChildren 0).
EFI_STATUS EFIAPI CardStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller, UINTN NumberOfChildren,
                           EFI_HANDLE *) {
  if (NumberOfChildren == 0)
    return CloseProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, This->DriverBindingHandle,
                         Controller);
  BOUND_CARD *Bound = BoundCardOf(Controller);
  if (Bound == nullptr) return EFI_SUCCESS;
  CloseProtocol(*BootServices, Controller, EFI_PCI_IO_PROTOCOL_GUID, This->DriverBindingHandle,
                Bound->Card->DriverHandle);
  const EFI_STATUS Status = RemoveFixtureCard(Bound->Card, false);
  *Bound = {};
  return Status;
}

constexpr UINT32 DRIVER_BINDING_VERSION = 0x10;
constinit EFI_DRIVER_BINDING_PROTOCOL CardBinding = {CardSupported,          CardStart, CardStop,
                                                     DRIVER_BINDING_VERSION, nullptr,   nullptr};

}  // namespace

// The image entry point: keeps the firmware's tables (which the publisher and
// the pool use) and installs the driver binding on the image handle. Cards
// appear only when the platform connects the functions.
extern "C" EFI_STATUS EFIAPI TestCardEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  CardBinding.ImageHandle = ImageHandle;
  CardBinding.DriverBindingHandle = ImageHandle;
  return BootServices->InstallMultipleProtocolInterfaces(&ImageHandle, &EFI_DRIVER_BINDING_PROTOCOL_GUID,
                                                         &CardBinding, nullptr);
}

// A card driver for the firmware tests, doing what a real add-on card's driver
// does in the firmware: it finds its PCI functions through the firmware's own
// PCI I/O protocol, and for each port it publishes, it installs on a new child
// handle the function's device path followed by a MAC node and the card's own
// EFI_HII_CONFIG_ACCESS_PROTOCOL, creates the UEFI variables of the card's EFI
// variable stores, and registers the card's package list with the HII database
// on that handle (the database adds the handle's device path to the list).
// The configuration access serves the card's buffer stores from bytes kept in
// memory, through the firmware router's BlockToConfig and ConfigToBlock.
//
// Freestanding: it runs inside OVMF in the firmware test application and, built
// from the same source, against the simulator (firmware_checks_in_simulator).
//
//   CARD_PCI_FUNCTION Edu[2];
//   UINTN Found = 0;
//   FindPciFunctions(EDU_VENDOR_ID, EDU_DEVICE_ID, Edu, 2, &Found);
//   PUBLISHED_CARD *Card = nullptr;
//   if (PublishFixtureCard(GetCardFixture(sim::CardShapeId::SampleCard), Edu[0], 0, &Card) == EFI_SUCCESS) {
//     ... Card->HiiHandle, CardStoreBytes(*Card, "PortConfig"), Card->RouteConfigCalls ...
//     RemoveFixtureCard(Card, true);
//   }
#pragma once
#include "qemu/card_fixtures.h"
#include "uefi/protocols.h"

inline constexpr UINTN CARD_MAX_STORES = 4;
// Longest device path of a PCI function the finder takes, end node included.
inline constexpr UINTN CARD_MAX_PCI_PATH_BYTES = 512;

// A PCI function as the firmware's PCI bus driver presents it.
struct CARD_PCI_FUNCTION {
  EFI_HANDLE Handle;
  EFI_PCI_IO_PROTOCOL *PciIo;
  const EFI_DEVICE_PATH_PROTOCOL *DevicePath;  // the firmware's, on Handle
  UINTN DevicePathSize;                        // bytes up to and including the end node
  UINT16 VendorId;
  UINT16 DeviceId;
  UINTN Segment;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
};

// Fills Found with the functions whose configuration space holds VendorId and
// DeviceId, in the order of the firmware's handle buffer, at most Capacity of
// them; *Count tells how many there are in all (it may exceed Capacity).
// Returns EFI_SUCCESS (also when none matches), EFI_INVALID_PARAMETER for a null
// Count, or the status of LocateHandleBuffer when the firmware has no PCI I/O.
EFI_STATUS FindPciFunctions(UINT16 VendorId, UINT16 DeviceId, CARD_PCI_FUNCTION *Found, UINTN Capacity,
                            UINTN *Count);

struct PUBLISHED_CARD_STORE {
  const CARD_FIXTURE_STORE *Fixture;
  UINT8 *Bytes;          // a buffer store's live contents (Fixture->Size bytes); null for an EFI store
  bool VariableWritten;  // an EFI store whose variable this publication wrote
};

// What publication does with the variable of an EFI store.
enum class CardVariables {
  Write,         // write the fixture's initial contents
  KeepExisting,  // keep one that has the declared size and attributes (a later boot's card)
};

struct PUBLISHED_CARD {
  // The interface installed on DriverHandle; first, so that the handlers find
  // their card from the This pointer the firmware passes.
  EFI_HII_CONFIG_ACCESS_PROTOCOL ConfigAccess;
  UINT32 Signature;
  const CARD_FIXTURE *Fixture;  // must outlive the card
  CARD_PCI_FUNCTION Pci;
  UINT8 Port;
  EFI_HANDLE DriverHandle;
  EFI_HII_HANDLE HiiHandle;
  UINT8 *DevicePath;  // the function's path, a MAC node, the end node
  UINTN DevicePathSize;
  PUBLISHED_CARD_STORE Stores[CARD_MAX_STORES];
  UINTN StoreCount;
  // Calls of the card's configuration access, by the router or anyone else.
  UINTN ExtractConfigCalls;
  UINTN RouteConfigCalls;
  // Located at publication and kept, as a card driver keeps what it located at start.
  EFI_HII_DATABASE_PROTOCOL *Database;
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router;
};

// Publishes Fixture as port Port of Function: buffer stores start with the
// fixture's initial contents, and the variables of its EFI stores are written
// with them and the attributes the stores declare (unless Variables keeps what
// an earlier boot left). Two cards of one shape share their EFI variables. *Card
// receives a pool record that RemoveFixtureCard releases. Returns EFI_SUCCESS;
// EFI_INVALID_PARAMETER for a null Card, a fixture with more than
// CARD_MAX_STORES stores or a function without a device path;
// EFI_OUT_OF_RESOURCES; or the status of the first firmware service that
// refuses (LocateProtocol, InstallMultipleProtocolInterfaces, SetVariable,
// NewPackageList), after undoing what was done (variables it wrote included).
EFI_STATUS PublishFixtureCard(const CARD_FIXTURE &Fixture, const CARD_PCI_FUNCTION &Function, UINT8 Port,
                              PUBLISHED_CARD **Card, CardVariables Variables = CardVariables::Write);

// Removes the package list, uninstalls the handle's protocols, deletes the EFI
// stores' variables when DeleteVariables is set, and frees the card. Null is
// ignored. Returns EFI_SUCCESS or the first failure of those services (the rest
// is still done).
EFI_STATUS RemoveFixtureCard(PUBLISHED_CARD *Card, bool DeleteVariables);

// The live bytes of the buffer store named Name (ASCII), or null.
UINT8 *CardStoreBytes(PUBLISHED_CARD &Card, const CHAR8 *Name);

// The configuration header of a store of Card, "GUID=...&NAME=...&PATH=..." in
// lowercase digits as the router writes them, in a pool string the caller frees;
// null when it cannot be allocated.
CHAR16 *CardStoreConfigHeader(const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Store);

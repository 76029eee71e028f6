// AddOnCardBrowserPlatform.efi: the platform's part around AddOnCard.efi in the
// setup-browser test (qemu/browser-test.sh), a boot-service driver that the
// person loads from the shell after the driver and the card driver, once the
// card functions are connected:
//
//   load AddOnCard.efi AddOnCardTestCard.efi
//   connect -r
//   load AddOnCardBrowserPlatform.efi
//   exit                                  into the firmware's own setup
//
// At load it shows the road card's own stores as they are now, puts the card's
// model (the edu function's 1234:11E8) on the supported list through the
// keyword handler, as a configuration agent would, installs the scan trigger,
// and registers for the firmware's reset. The setup browser asks for a reset
// once a question that needs one was saved, and a reset loses the volatile
// variable that holds what was changed; so, as a platform applies pending
// settings on its way down, the reset notification installs the apply trigger
// and shows the stores after it (debug console only: the screen then holds the
// browser's reset message).
//
// Lines, on the firmware console and the debug console (port 0x402):
//   <store> <when> <offset>: <bytes in hex>     16 bytes a line; when is now,
//                                              before or after (the apply)
//   <store> offset 0x<offset>: <old> -> <new>  each byte the apply changed
//   AddOnCardBrowserPlatform: ...              what it did, with the statuses
#include "driver/globals.h"
#include "forms/identities.h"
#include "qemu/report.h"
#include "qemu/road/road_expect.h"
#include "qemu/road/road_platform.h"
#include "support/pool.h"
#include "support/print.h"

namespace {

namespace rc = sim::road_card;

constexpr CHAR8 APP_NAME[] = "AddOnCardBrowserPlatform";
constexpr UINT16 CARD_VENDOR_ID = TEST_PCI_FUNCTIONS[ROAD_CARD_FUNCTION].VendorId;
constexpr UINT16 CARD_DEVICE_ID = TEST_PCI_FUNCTIONS[ROAD_CARD_FUNCTION].DeviceId;
constexpr UINTN ID_DIGITS = 4;
constexpr UINTN COUNT_DIGITS = 2;
constexpr UINTN BYTES_PER_LINE = 16;

// ---- the firmware's reset notification ---------------------------------------------------
constexpr EFI_GUID EFI_RESET_NOTIFICATION_PROTOCOL_GUID = {
    0x9DA34AE0, 0xEAF9, 0x4BBF, {0x8E, 0xC3, 0xFD, 0x60, 0x22, 0x6C, 0x44, 0xBE}};
struct EFI_RESET_NOTIFICATION_PROTOCOL {
  EFI_STATUS(EFIAPI *RegisterResetNotify)(EFI_RESET_NOTIFICATION_PROTOCOL *This, EFI_RESET_SYSTEM Function);
  EFI_STATUS(EFIAPI *UnregisterResetNotify)(EFI_RESET_NOTIFICATION_PROTOCOL *This, EFI_RESET_SYSTEM Function);
};

// ---- console lines -------------------------------------------------------------------------
enum class Where : bool { BothConsoles, DebugConsoleOnly };

void AppendStatusName(ReportLine &Line, EFI_STATUS Status) {
  CHAR16 Name[64];
  if (FormatUtf16(Name, sizeof(Name), u"%r", Status) == 0)
    Line.Status(Status);
  else
    Line.Utf16(Name);
}

void SayStatus(const CHAR8 *What, EFI_STATUS Status, Where To = Where::BothConsoles) {
  ReportLine Line;
  Line.Text(APP_NAME).Text(": ").Text(What).Text(": ");
  AppendStatusName(Line, Status);
  Line.Emit(To == Where::DebugConsoleOnly);
}

EFI_STATUS Refuse(EFI_STATUS Status, const CHAR8 *Why) {
  ReportLine().Text(APP_NAME).Text(": ").Text(Why).Emit();
  return Status;
}

// ---- the road card's own stores -------------------------------------------------------------
// The card driver keeps its buffer store in a non-volatile variable of the
// store's name; the EFI store is a variable of its own.
struct CARD_STORE {
  const CHAR8 *Name;
  const CHAR16 *VariableName;
  EFI_GUID Guid;
  UINTN Size;
};

constexpr bool SameName(const CHAR16 *Wide, const CHAR8 *Narrow) {
  for (; *Narrow != 0; ++Wide, ++Narrow)
    if (*Wide != static_cast<CHAR16>(*Narrow)) return false;
  return *Wide == 0;
}

constexpr CARD_STORE CARD_STORES[] = {
    {rc::BufferStoreName, u"RoadConfig", rc::BufferStoreGuid, rc::BufferStoreSize},
    {rc::EfiStoreName, u"RoadEfiVar", rc::EfiStoreGuid, rc::EfiStoreSize},
};
static_assert(SameName(CARD_STORES[0].VariableName, rc::BufferStoreName));
static_assert(SameName(CARD_STORES[1].VariableName, rc::EfiStoreName));
constexpr UINTN STORE_COUNT = ArrayCount(CARD_STORES);
constexpr UINTN LARGEST_STORE =
    rc::BufferStoreSize > rc::EfiStoreSize ? rc::BufferStoreSize : rc::EfiStoreSize;

struct STORES {
  UINT8 Bytes[STORE_COUNT][LARGEST_STORE];
};

EFI_STATUS ReadStores(STORES *Stores, Where To) {
  EFI_STATUS First = EFI_SUCCESS;
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    const CARD_STORE &Store = CARD_STORES[Index];
    const EFI_STATUS Status = ReadVariable(Store.VariableName, Store.Guid, Stores->Bytes[Index], Store.Size);
    if (!EFI_ERROR(Status)) continue;
    ReportLine Line;
    Line.Text(APP_NAME).Text(": cannot read the card store ").Text(Store.Name).Text(": ");
    AppendStatusName(Line, Status);
    Line.Emit(To == Where::DebugConsoleOnly);
    if (!EFI_ERROR(First)) First = Status;
  }
  return First;
}

void ShowStores(const STORES &Stores, const CHAR8 *When, Where To) {
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    const CARD_STORE &Store = CARD_STORES[Index];
    for (UINTN Offset = 0; Offset < Store.Size; Offset += BYTES_PER_LINE) {
      ReportLine Line;
      Line.Text(Store.Name).Text(" ").Text(When).Text(" ").Hex(Offset, 2).Text(":");
      for (UINTN At = Offset; At < Offset + BYTES_PER_LINE && At < Store.Size; ++At)
        Line.Text(" ").Hex(Stores.Bytes[Index][At], 2);
      Line.Emit(To == Where::DebugConsoleOnly);
    }
  }
}

void ShowChanges(const STORES &Before, const STORES &After, Where To) {
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    const CARD_STORE &Store = CARD_STORES[Index];
    bool Changed = false;
    for (UINTN Offset = 0; Offset < Store.Size; ++Offset) {
      const UINT8 Old = Before.Bytes[Index][Offset], New = After.Bytes[Index][Offset];
      if (Old == New) continue;
      Changed = true;
      ReportLine Line;
      Line.Text(Store.Name).Text(" offset 0x").Hex(Offset, 2).Text(": ").Hex(Old, 2).Text(" -> ").Hex(New, 2);
      Line.Emit(To == Where::DebugConsoleOnly);
    }
    if (!Changed) ReportLine().Text(Store.Name).Text(" unchanged").Emit(To == Where::DebugConsoleOnly);
  }
}

// ---- at load: the supported list and the scan ------------------------------------------------
EFI_STATUS SetSupportedList(const ROAD_SERVICES &Services, const CHAR16 *DriverPath) {
  const struct {
    const CHAR16 *Keyword;
    UINT64 Value;
    UINTN Digits;
  } Settings[] = {
      {u"CSPACF00", CARD_VENDOR_ID, ID_DIGITS},
      {u"CSPACF0A", CARD_DEVICE_ID, ID_DIGITS},
      {u"CSPACF14", 1, COUNT_DIGITS},
  };
  EFI_STATUS First = EFI_SUCCESS;
  for (const auto &Setting : Settings) {
    UINT32 Error = 0;
    const EFI_STATUS Status =
        SetKeyword(Services, DriverPath, Setting.Keyword, Setting.Value, Setting.Digits, &Error);
    ReportLine Line;
    Line.Text(APP_NAME)
        .Text(": SetData ")
        .Utf16(Setting.Keyword)
        .Text(" = ")
        .Hex(Setting.Value, Setting.Digits);
    Line.Text(": ");
    AppendStatusName(Line, Status);
    Line.Emit();
    if (EFI_ERROR(Status) && !EFI_ERROR(First)) First = Status;
  }
  return First;
}

// The title of the first card page, which the scan sets to the card's form-set title.
void SayFirstPage(const ROAD_SERVICES &Services, EFI_HII_HANDLE DriverHii) {
  CHAR16 *Title = ReadHiiString(Services, DriverHii, PageSlot(0).Title, "en-US");
  ReportLine Line;
  Line.Text(APP_NAME).Text(": ");
  if (Title == nullptr || Title[0] == 0)
    Line.Text("the driver built no card page");
  else
    Line.Text("card page 1 is \"").Utf16(Title).Text("\"");
  Line.Emit();
  PoolFree(Title);
}

// ---- at reset: the apply ------------------------------------------------------------------------
constinit bool Applied = false;

void EFIAPI ApplyBeforeReset(EFI_RESET_TYPE, EFI_STATUS, UINTN, void *) {
  if (Applied) return;
  Applied = true;
  STORES Before = {}, After = {};
  const bool Readable = !EFI_ERROR(ReadStores(&Before, Where::DebugConsoleOnly));
  if (Readable) ShowStores(Before, "before", Where::DebugConsoleOnly);
  SayStatus("the firmware resets; apply trigger installed", InstallTrigger(OOB_APPLY_NOTIFY_GUID),
            Where::DebugConsoleOnly);
  if (!Readable || EFI_ERROR(ReadStores(&After, Where::DebugConsoleOnly))) return;
  ShowStores(After, "after", Where::DebugConsoleOnly);
  ShowChanges(Before, After, Where::DebugConsoleOnly);
}

EFI_STATUS RegisterApplyAtReset() {
  void *Interface = nullptr;
  EFI_STATUS Status =
      BootServices->LocateProtocol(&EFI_RESET_NOTIFICATION_PROTOCOL_GUID, nullptr, &Interface);
  if (!EFI_ERROR(Status)) {
    auto *Notification = static_cast<EFI_RESET_NOTIFICATION_PROTOCOL *>(Interface);
    Status = Notification->RegisterResetNotify(Notification, ApplyBeforeReset);
  }
  SayStatus("apply trigger armed for the next reset", Status);
  return Status;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI BrowserPlatformEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  ROAD_SERVICES Services;
  EFI_STATUS Status = LocateRoadServices(ImageHandle, &Services);
  if (EFI_ERROR(Status)) return Refuse(Status, "the firmware lacks an HII service");
  const EFI_HII_HANDLE DriverHii = FindListByFormSet(Services, ADDONCARD_FORMSET_GUID);
  if (DriverHii == nullptr)
    return Refuse(EFI_NOT_STARTED, "AddOnCard.efi has no form set registered: load it first");
  if (FindListByFormSet(Services, rc::FormSetGuid) == nullptr)
    return Refuse(EFI_NOT_FOUND,
                  "the road card's form set is not published: load AddOnCardTestCard.efi "
                  "and connect -r first");
  RoadText DriverPath;
  if (!ListOwnerPathHex(Services, DriverHii, &DriverPath))
    return Refuse(EFI_NOT_FOUND, "the driver's form set has no device path");

  STORES Now = {};
  if (!EFI_ERROR(ReadStores(&Now, Where::BothConsoles))) ShowStores(Now, "now", Where::BothConsoles);
  Status = SetSupportedList(Services, DriverPath.Chars());
  const EFI_STATUS Scan = InstallTrigger(CARD_FORMS_NOTIFY_GUID);
  SayStatus("scan trigger installed", Scan);
  if (!EFI_ERROR(Scan)) SayFirstPage(Services, DriverHii);
  const EFI_STATUS Armed = RegisterApplyAtReset();
  // A driver that fails its entry is unloaded, and with it the reset notification.
  if (EFI_ERROR(Status)) return Status;
  return EFI_ERROR(Scan) ? Scan : Armed;
}

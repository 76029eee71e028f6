#include "qemu/perf/service_timing.h"

#include "driver/globals.h"
#include "support/memory.h"
#include "uefi/guids.h"

namespace {

constexpr const CHAR8 *SERVICE_NAMES[TIMED_SERVICE_COUNT] = {
    "NewString",     "SetString",       "GetString",       "GetLanguages", "ExportPackageLists",
    "UpdatePackageList", "ListPackageLists", "OtherDatabase", "ExtractConfig", "RouteConfig",
    "BlockToConfig", "ConfigToBlock",   "GetVariable",     "SetVariable",  "BrowserCallback",
    "AllocatePool",  "FreePool",        "OtherBootServices"};

constinit SERVICE_TIME Times[TIMED_SERVICE_COUNT] = {};
constinit UINTN Depth = 0;

// The firmware's tables, and the copies the driver is given.
constinit EFI_HII_STRING_PROTOCOL *RealStrings = nullptr;
constinit EFI_HII_DATABASE_PROTOCOL *RealDatabase = nullptr;
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL *RealRouter = nullptr;
constinit EFI_RUNTIME_SERVICES *RealRuntime = nullptr;
constinit EFI_BOOT_SERVICES *RealBoot = nullptr;
constinit EFI_FORM_BROWSER2_PROTOCOL *RealBrowser = nullptr;
constinit EFI_HII_STRING_PROTOCOL TimedStrings = {};
constinit EFI_HII_DATABASE_PROTOCOL TimedDatabase = {};
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL TimedRouter = {};
constinit EFI_RUNTIME_SERVICES TimedRuntime = {};
constinit EFI_BOOT_SERVICES TimedBoot = {};
constinit EFI_FORM_BROWSER2_PROTOCOL TimedBrowser = {};
// A card's configuration access handed to the driver, and the copy it gets
// instead: the driver calls the one it asked for last.
constinit EFI_HII_CONFIG_ACCESS_PROTOCOL *RealAccess = nullptr;
constinit EFI_HII_CONFIG_ACCESS_PROTOCOL TimedAccess = {};

// Pool blocks of the driver: pointer and size, unordered.
struct HELD_BLOCK {
  void *Block;
  UINTN Size;
};
constexpr UINTN HELD_BLOCK_CAPACITY = 16384;
constinit HELD_BLOCK *HeldBlocks = nullptr;
constinit UINTN HeldCount = 0;

// Times one call: the outermost call of any timed service is charged to it.
template <typename Call>
auto Timed(TimedService Service, Call &&Invoke) {
  const bool Outermost = Depth == 0;
  ++Depth;
  const UINT64 Start = ReadTsc();
  auto Status = Invoke();
  const UINT64 End = ReadTsc();
  --Depth;
  if (Outermost) {
    SERVICE_TIME &Time = Times[static_cast<UINTN>(Service)];
    ++Time.Calls;
    Time.Ticks += End - Start;
  }
  return Status;
}

EFI_STATUS EFIAPI NewString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List, EFI_STRING_ID *Id,
                            const CHAR8 *Language, const CHAR16 *Name, const CHAR16 *Text,
                            const EFI_FONT_INFO *Font) {
  return Timed(TimedService::NewString,
               [&] { return RealStrings->NewString(RealStrings, List, Id, Language, Name, Text, Font); });
}
EFI_STATUS EFIAPI GetString(const EFI_HII_STRING_PROTOCOL *, const CHAR8 *Language, EFI_HII_HANDLE List,
                            EFI_STRING_ID Id, CHAR16 *Text, UINTN *Size, EFI_FONT_INFO **Font) {
  return Timed(TimedService::GetString,
               [&] { return RealStrings->GetString(RealStrings, Language, List, Id, Text, Size, Font); });
}
EFI_STATUS EFIAPI SetString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List, EFI_STRING_ID Id,
                            const CHAR8 *Language, const CHAR16 *Text, const EFI_FONT_INFO *Font) {
  return Timed(TimedService::SetString,
               [&] { return RealStrings->SetString(RealStrings, List, Id, Language, Text, Font); });
}
EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List, CHAR8 *Languages,
                               UINTN *Size) {
  return Timed(TimedService::GetLanguages,
               [&] { return RealStrings->GetLanguages(RealStrings, List, Languages, Size); });
}

EFI_STATUS EFIAPI ListPackageLists(const EFI_HII_DATABASE_PROTOCOL *, UINT8 Type, const EFI_GUID *Guid,
                                   UINTN *Length, EFI_HII_HANDLE *Handles) {
  return Timed(TimedService::ListPackageLists,
               [&] { return RealDatabase->ListPackageLists(RealDatabase, Type, Guid, Length, Handles); });
}
EFI_STATUS EFIAPI ExportPackageLists(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle, UINTN *Size,
                                     EFI_HII_PACKAGE_LIST_HEADER *Buffer) {
  return Timed(TimedService::ExportPackageLists,
               [&] { return RealDatabase->ExportPackageLists(RealDatabase, Handle, Size, Buffer); });
}
EFI_STATUS EFIAPI UpdatePackageList(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle,
                                    const EFI_HII_PACKAGE_LIST_HEADER *List) {
  return Timed(TimedService::UpdatePackageList,
               [&] { return RealDatabase->UpdatePackageList(RealDatabase, Handle, List); });
}
EFI_STATUS EFIAPI GetPackageListHandle(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE List,
                                       EFI_HANDLE *Driver) {
  return Timed(TimedService::OtherDatabase,
               [&] { return RealDatabase->GetPackageListHandle(RealDatabase, List, Driver); });
}

EFI_STATUS EFIAPI ExtractConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Request,
                                CHAR16 **Progress, CHAR16 **Results) {
  return Timed(TimedService::ExtractConfig,
               [&] { return RealRouter->ExtractConfig(RealRouter, Request, Progress, Results); });
}
EFI_STATUS EFIAPI RouteConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Configuration,
                              CHAR16 **Progress) {
  return Timed(TimedService::RouteConfig,
               [&] { return RealRouter->RouteConfig(RealRouter, Configuration, Progress); });
}
EFI_STATUS EFIAPI BlockToConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Request,
                                const UINT8 *Block, UINTN Size, CHAR16 **Config, CHAR16 **Progress) {
  return Timed(TimedService::BlockToConfig,
               [&] { return RealRouter->BlockToConfig(RealRouter, Request, Block, Size, Config, Progress); });
}
EFI_STATUS EFIAPI ConfigToBlock(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Response, UINT8 *Block,
                                UINTN *Size, CHAR16 **Progress) {
  return Timed(TimedService::ConfigToBlock,
               [&] { return RealRouter->ConfigToBlock(RealRouter, Response, Block, Size, Progress); });
}

EFI_STATUS EFIAPI GetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size,
                              void *Data) {
  return Timed(TimedService::GetVariable,
               [&] { return RealRuntime->GetVariable(Name, Guid, Attributes, Size, Data); });
}
EFI_STATUS EFIAPI SetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN Size,
                              void *Data) {
  return Timed(TimedService::SetVariable,
               [&] { return RealRuntime->SetVariable(Name, Guid, Attributes, Size, Data); });
}

EFI_STATUS EFIAPI BrowserCallback(const EFI_FORM_BROWSER2_PROTOCOL *, UINTN *Size, CHAR16 *Data,
                                  BOOLEAN Retrieve, const EFI_GUID *Guid, const CHAR16 *Name) {
  return Timed(TimedService::BrowserCallback,
               [&] { return RealBrowser->BrowserCallback(RealBrowser, Size, Data, Retrieve, Guid, Name); });
}

void Track(void *Block, UINTN Size) {
  if (HeldBlocks != nullptr && HeldCount < HELD_BLOCK_CAPACITY) HeldBlocks[HeldCount++] = {Block, Size};
}
void Untrack(void *Block) {
  for (UINTN Index = 0; Index < HeldCount; ++Index) {
    if (HeldBlocks[Index].Block != Block) continue;
    HeldBlocks[Index] = HeldBlocks[--HeldCount];
    return;
  }
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, void **Buffer) {
  const bool Driver = Depth == 0;
  const EFI_STATUS Status =
      Timed(TimedService::AllocatePool, [&] { return RealBoot->AllocatePool(Type, Size, Buffer); });
  if (Driver && !EFI_ERROR(Status)) Track(*Buffer, Size);
  return Status;
}
EFI_STATUS EFIAPI FreePool(void *Buffer) {
  Untrack(Buffer);
  return Timed(TimedService::FreePool, [&] { return RealBoot->FreePool(Buffer); });
}
EFI_STATUS EFIAPI CardExtractConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, const CHAR16 *Request,
                                    CHAR16 **Progress, CHAR16 **Results) {
  return Timed(TimedService::ExtractConfig,
               [&] { return RealAccess->ExtractConfig(RealAccess, Request, Progress, Results); });
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface) {
  const EFI_STATUS Status = Timed(TimedService::OtherBootServices,
                                  [&] { return RealBoot->HandleProtocol(Handle, Protocol, Interface); });
  if (!EFI_ERROR(Status) && Depth == 0 && GuidEquals(*Protocol, EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID)) {
    RealAccess = static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(*Interface);
    TimedAccess = *RealAccess;
    TimedAccess.ExtractConfig = CardExtractConfig;
    *Interface = &TimedAccess;
  }
  return Status;
}
EFI_STATUS EFIAPI LocateDevicePath(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **Path,
                                   EFI_HANDLE *Device) {
  return Timed(TimedService::OtherBootServices,
               [&] { return RealBoot->LocateDevicePath(Protocol, Path, Device); });
}

}  // namespace

const CHAR8 *TimedServiceName(TimedService Service) { return SERVICE_NAMES[static_cast<UINTN>(Service)]; }

EFI_STATUS InstallServiceTiming() {
  if (HeldBlocks == nullptr &&
      EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, HELD_BLOCK_CAPACITY * sizeof(HELD_BLOCK),
                                           reinterpret_cast<void **>(&HeldBlocks))))
    return EFI_OUT_OF_RESOURCES;
  HeldCount = 0;
  ClearServiceTimes();
  RealStrings = GetHiiString();
  RealDatabase = GetHiiDatabase();
  RealRouter = GetConfigRouting();
  RealBrowser = GetFormBrowser2();
  RealRuntime = RuntimeServices;
  RealBoot = BootServices;
  TimedStrings = *RealStrings;
  TimedStrings.NewString = NewString;
  TimedStrings.GetString = GetString;
  TimedStrings.SetString = SetString;
  TimedStrings.GetLanguages = GetLanguages;
  TimedDatabase = *RealDatabase;
  TimedDatabase.ListPackageLists = ListPackageLists;
  TimedDatabase.ExportPackageLists = ExportPackageLists;
  TimedDatabase.UpdatePackageList = UpdatePackageList;
  TimedDatabase.GetPackageListHandle = GetPackageListHandle;
  TimedRouter = *RealRouter;
  TimedRouter.ExtractConfig = ExtractConfig;
  TimedRouter.RouteConfig = RouteConfig;
  TimedRouter.BlockToConfig = BlockToConfig;
  TimedRouter.ConfigToBlock = ConfigToBlock;
  TimedRuntime = *RealRuntime;
  TimedRuntime.GetVariable = GetVariable;
  TimedRuntime.SetVariable = SetVariable;
  TimedBoot = *RealBoot;
  TimedBoot.AllocatePool = AllocatePool;
  TimedBoot.FreePool = FreePool;
  TimedBoot.HandleProtocol = HandleProtocol;
  TimedBoot.LocateDevicePath = LocateDevicePath;
  HiiString = &TimedStrings;
  HiiDatabase = &TimedDatabase;
  ConfigRouting = &TimedRouter;
  RuntimeServices = &TimedRuntime;
  BootServices = &TimedBoot;
  if (RealBrowser != nullptr) {
    TimedBrowser = *RealBrowser;
    TimedBrowser.BrowserCallback = BrowserCallback;
    FormBrowser2 = &TimedBrowser;
  }
  return EFI_SUCCESS;
}

void RemoveServiceTiming() {
  if (RealBoot == nullptr) return;
  HiiString = RealStrings;
  HiiDatabase = RealDatabase;
  ConfigRouting = RealRouter;
  RuntimeServices = RealRuntime;
  BootServices = RealBoot;
  FormBrowser2 = RealBrowser;
}

void ClearServiceTimes() { ZeroBytes(Times, sizeof(Times)); }

const SERVICE_TIME &ServiceTime(TimedService Service) { return Times[static_cast<UINTN>(Service)]; }

UINT64 TicksInServices() {
  UINT64 Sum = 0;
  for (const SERVICE_TIME &Time : Times) Sum += Time.Ticks;
  return Sum;
}

UINT64 PoolBytesHeld() {
  UINT64 Sum = 0;
  for (UINTN Index = 0; Index < HeldCount; ++Index) Sum += HeldBlocks[Index].Size;
  return Sum;
}

// Declarations shared by the simulator's own files; nothing outside sim/ uses them.
#pragma once

#include <cstddef>
#include <vector>

#include "sim/sim.h"

namespace sim::internal {

// ---- lifecycle ----------------------------------------------------------------
enum class StartKind { PowerOn, Reset };
// How the machine was last started; components consult it while installing.
StartKind CurrentStart();

// ---- fault injection ------------------------------------------------------------
// Counts one AllocatePool call; true when FailNthAllocation armed this one.
bool TakeAllocationFault();

// Every service that can fail opens one of these on entry, for as long as it
// runs. A call made from outside the simulator (by the code under test, or a
// test outside a PlatformScope) is counted; a call a component makes while it
// serves another one is the firmware's own and is not. Fails() consults
// FailService and FailNthServiceCall.
class ServiceCall {
 public:
  explicit ServiceCall(const char *Service);
  ~ServiceCall();
  ServiceCall(const ServiceCall &) = delete;
  ServiceCall &operator=(const ServiceCall &) = delete;
  bool Fails(EFI_STATUS *Status);

 private:
  const char *Name;
  bool FailsByCount = false;
};

// Code of the simulated firmware that is not a service (another driver's
// configuration access, reached through the router): what it calls is the
// firmware's own.
using PlatformCode = PlatformScope;

// Held while the simulator runs code outside it (a notify function, a
// driver's configuration access): the calls that code makes count again.
class ForeignCode {
 public:
  ForeignCode();
  ~ForeignCode();
  ForeignCode(const ForeignCode &) = delete;
  ForeignCode &operator=(const ForeignCode &) = delete;

 private:
  int SavedDepth;
};

// ---- pool -----------------------------------------------------------------------
// Forgets and releases every block; called at the start of PowerOn() and Reset().
void ReleaseAllPool(bool ForgetErrors);
// A block handed to the caller of a service (LocateHandleBuffer); it is
// accounted like any AllocatePool block, but fault injection does not count it.
void *AllocateForCaller(std::size_t Size);
EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, void **Buffer);
EFI_STATUS EFIAPI FreePool(void *Buffer);

// ---- boot services ----------------------------------------------------------------
EFI_BOOT_SERVICES *BootServicesTable();

// Events and task priority (events.cpp).
void ResetEvents();
bool IsOpenEvent(EFI_EVENT Event);
// Signals as SignalEvent does; notify functions whose level is above the
// current one run before this returns.
void SignalOpenEvent(EFI_EVENT Event);
EFI_TPL EFIAPI RaiseTPL(EFI_TPL NewTpl);
void EFIAPI RestoreTPL(EFI_TPL OldTpl);
EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                              void *NotifyContext, EFI_EVENT *Event);
EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event);
EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event);
EFI_STATUS EFIAPI CheckEvent(EFI_EVENT Event);

// Handles, protocols and protocol notification (protocol_database.cpp).
void ResetProtocolDatabase();
// Drops the registrations made for Event; CloseEvent calls it.
void DropNotifyRegistrations(EFI_EVENT Event);
EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                           EFI_INTERFACE_TYPE InterfaceType, void *Interface);
EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *OldInterface,
                                             void *NewInterface);
EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *Interface);
EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface);
EFI_STATUS EFIAPI RegisterProtocolNotify(const EFI_GUID *Protocol, EFI_EVENT Event, void **Registration);
EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, void *SearchKey,
                               UINTN *BufferSize, EFI_HANDLE *Buffer);
EFI_STATUS EFIAPI LocateDevicePath(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                   EFI_HANDLE *Device);
EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                     void *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID *Protocol, void *Registration, void **Interface);
EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...);
EFI_STATUS EFIAPI UninstallMultipleProtocolInterfaces(EFI_HANDLE Handle, ...);
// True when Handle carries at least one protocol.
bool IsLiveHandle(EFI_HANDLE Handle);
// The device path installed on Handle, or null.
const EFI_DEVICE_PATH_PROTOCOL *DevicePathOfHandle(EFI_HANDLE Handle);
// Size of a device path, end node included, walking at most Limit bytes;
// 0 when the path is malformed or longer than Limit.
std::size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path, std::size_t Limit = 0x10000);

// ---- runtime services -------------------------------------------------------------
EFI_RUNTIME_SERVICES *RuntimeServicesTable();

// ---- console ------------------------------------------------------------------------
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConsoleOutput();

}  // namespace sim::internal

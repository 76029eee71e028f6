// The boot-services table: memory helpers and the few trivial services here,
// the rest from pool.cpp, events.cpp and protocol_database.cpp.
#include <cstring>

#include "sim/sim.h"
#include "sim/sim_internal.h"

namespace sim {
namespace {

void EFIAPI CopyMem(void *Destination, const void *Source, UINTN Length) {
  if (Length != 0) std::memmove(Destination, Source, Length);
}

void EFIAPI SetMem(void *Buffer, UINTN Size, UINT8 Value) {
  if (Size != 0) std::memset(Buffer, Value, Size);
}

EFI_STATUS EFIAPI Stall(UINTN) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.Stall");
  if (Call.Fails(&Status)) return Status;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN, UINT64, UINTN, CHAR16 *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.SetWatchdogTimer");
  if (Call.Fails(&Status)) return Status;
  return EFI_SUCCESS;
}

// Images cannot be loaded in the simulator: the driver under test is linked in.
EFI_STATUS EFIAPI LoadImage(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, void *, UINTN, EFI_HANDLE *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.LoadImage");
  if (Call.Fails(&Status)) return Status;
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI StartImage(EFI_HANDLE, UINTN *, CHAR16 **) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.StartImage");
  if (Call.Fails(&Status)) return Status;
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI Exit(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.Exit");
  if (Call.Fails(&Status)) return Status;
  return EFI_UNSUPPORTED;
}

constexpr UINT64 BootServicesSignature = 0x56524553544f4f42ULL;  // "BOOTSERV"

EFI_BOOT_SERVICES &Table() {
  static EFI_BOOT_SERVICES Value = {};
  return Value;
}

void BuildTable() {
  using namespace internal;
  EFI_BOOT_SERVICES &T = Table();
  T = {};
  T.Hdr.Signature = BootServicesSignature;
  T.Hdr.Revision = (2U << 16) | 70U;
  T.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  T.RaiseTPL = RaiseTPL;
  T.RestoreTPL = RestoreTPL;
  T.AllocatePool = AllocatePool;
  T.FreePool = FreePool;
  T.CreateEvent = CreateEvent;
  T.SignalEvent = SignalEvent;
  T.CloseEvent = CloseEvent;
  T.CheckEvent = CheckEvent;
  T.InstallProtocolInterface = InstallProtocolInterface;
  T.ReinstallProtocolInterface = ReinstallProtocolInterface;
  T.UninstallProtocolInterface = UninstallProtocolInterface;
  T.HandleProtocol = HandleProtocol;
  T.RegisterProtocolNotify = RegisterProtocolNotify;
  T.LocateHandle = LocateHandle;
  T.LocateDevicePath = LocateDevicePath;
  T.LoadImage = LoadImage;
  T.StartImage = StartImage;
  T.Exit = Exit;
  T.Stall = Stall;
  T.SetWatchdogTimer = SetWatchdogTimer;
  T.LocateHandleBuffer = LocateHandleBuffer;
  T.LocateProtocol = LocateProtocol;
  T.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfaces;
  T.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfaces;
  T.CopyMem = CopyMem;
  T.SetMem = SetMem;
}

// A new machine has no events and no handles; the table is rebuilt so a test
// that patched a member does not leak it into the next start.
void InstallBootServices() {
  internal::ResetEvents();
  internal::ResetProtocolDatabase();
  BuildTable();
}

ComponentRegistrar BootServicesComponent("BootServices", 0, InstallBootServices);

}  // namespace

EFI_BOOT_SERVICES *internal::BootServicesTable() { return &Table(); }

}  // namespace sim

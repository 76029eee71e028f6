// Handles and the protocol interfaces installed on them, protocol-installation
// notification and the locate services.
//
// Every installation (and reinstallation) gets a sequence number. The order of
// a protocol's installations is that of their numbers, so a reinstalled
// interface counts as newly installed: a notify registration remembers the last
// number it has seen and LocateProtocol with its key returns the next one.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace {

struct Installed {
  EFI_GUID Protocol;
  void *Interface;
  UINT64 Sequence;
};

struct Handle {
  std::vector<Installed> Protocols;
  bool Live = true;
};

struct Registration {
  EFI_GUID Protocol;
  EFI_EVENT Event;
  UINT64 LastSeen;
  bool Live = true;
};

struct ProtocolDatabase {
  // Handles and registrations are kept until the next start, so that their
  // addresses are never reused and stale ones stay recognisable.
  std::vector<std::unique_ptr<Handle>> Handles;
  std::unordered_set<const void *> LiveHandles;
  std::vector<std::unique_ptr<Registration>> Registrations;
  UINT64 NextSequence = 1;
};

ProtocolDatabase &Db() {
  static ProtocolDatabase State;
  return State;
}

Handle *LiveHandle(EFI_HANDLE H) {
  if (H == nullptr || Db().LiveHandles.count(H) == 0) return nullptr;
  return static_cast<Handle *>(H);
}

Installed *FindOn(Handle *H, const EFI_GUID &Protocol) {
  for (Installed &I : H->Protocols)
    if (GuidEquals(I.Protocol, Protocol)) return &I;
  return nullptr;
}

struct Found {
  Handle *Owner;
  Installed *Entry;
};

// Every installation of Protocol, oldest first.
std::vector<Found> InstallationsOf(const EFI_GUID &Protocol) {
  std::vector<Found> Result;
  for (auto &H : Db().Handles)
    if (H->Live)
      if (Installed *I = FindOn(H.get(), Protocol)) Result.push_back({H.get(), I});
  std::sort(Result.begin(), Result.end(),
            [](const Found &A, const Found &B) { return A.Entry->Sequence < B.Entry->Sequence; });
  return Result;
}

Registration *LiveRegistration(const void *Key) {
  for (auto &R : Db().Registrations)
    if (R.get() == Key) return R->Live ? R.get() : nullptr;
  return nullptr;
}

// The next installation a registration has not seen yet, or none.
const Found *NextUnseen(const std::vector<Found> &All, const Registration &R) {
  for (const Found &F : All)
    if (F.Entry->Sequence > R.LastSeen) return &F;
  return nullptr;
}

void NotifyInstallation(const EFI_GUID &Protocol) {
  std::vector<EFI_EVENT> ToSignal;
  for (auto &R : Db().Registrations)
    if (R->Live && GuidEquals(R->Protocol, Protocol)) ToSignal.push_back(R->Event);
  for (EFI_EVENT E : ToSignal) internal::SignalOpenEvent(E);
}

// Installs without signalling anyone; the caller notifies.
EFI_STATUS AddInterface(EFI_HANDLE *HandlePtr, const EFI_GUID &Protocol, void *Interface) {
  ProtocolDatabase &D = Db();
  Handle *H = nullptr;
  if (*HandlePtr != nullptr) {
    H = LiveHandle(*HandlePtr);
    if (H == nullptr) return EFI_INVALID_PARAMETER;
    if (FindOn(H, Protocol) != nullptr) return EFI_INVALID_PARAMETER;
  } else {
    D.Handles.push_back(std::make_unique<Handle>());
    H = D.Handles.back().get();
    D.LiveHandles.insert(H);
    *HandlePtr = H;
  }
  H->Protocols.push_back({Protocol, Interface, D.NextSequence++});
  return EFI_SUCCESS;
}

EFI_STATUS RemoveInterface(EFI_HANDLE HandleValue, const EFI_GUID &Protocol, void *Interface) {
  Handle *H = LiveHandle(HandleValue);
  if (H == nullptr) return EFI_INVALID_PARAMETER;
  Installed *I = FindOn(H, Protocol);
  if (I == nullptr || I->Interface != Interface) return EFI_NOT_FOUND;
  H->Protocols.erase(H->Protocols.begin() + (I - H->Protocols.data()));
  if (H->Protocols.empty()) {
    H->Live = false;
    Db().LiveHandles.erase(H);
  }
  return EFI_SUCCESS;
}

// Handles matching a search, in the order firmware reports them.
std::vector<EFI_HANDLE> SearchHandles(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                      void *SearchKey, Registration **Advance, UINT64 *AdvanceTo) {
  std::vector<EFI_HANDLE> Result;
  if (SearchType == AllHandles) {
    for (auto &H : Db().Handles)
      if (H->Live) Result.push_back(H.get());
  } else if (SearchType == ByProtocol) {
    for (const Found &F : InstallationsOf(*Protocol))
      if (std::find(Result.begin(), Result.end(), F.Owner) == Result.end()) Result.push_back(F.Owner);
  } else if (Registration *R = LiveRegistration(SearchKey)) {
    // By registration: one handle per call, the next newly installed one.
    std::vector<Found> All = InstallationsOf(R->Protocol);
    if (const Found *Next = NextUnseen(All, *R)) {
      Result.push_back(Next->Owner);
      *Advance = R;
      *AdvanceTo = Next->Entry->Sequence;
    }
  }
  return Result;
}

EFI_STATUS CheckSearch(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, void *SearchKey) {
  switch (SearchType) {
    case AllHandles:
      return EFI_SUCCESS;
    case ByProtocol:
      return Protocol == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    case ByRegisterNotify:
      return SearchKey == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  }
  return EFI_INVALID_PARAMETER;
}

bool IsDevicePathGuid(const EFI_GUID &Protocol) {
  return GuidEquals(Protocol, EFI_DEVICE_PATH_PROTOCOL_GUID);
}

// The handle with Protocol whose device path is the longest whole-node prefix
// of Source (SourceSize bytes without the end node); null when none.
Handle *NearestDevicePathOwner(const EFI_GUID &Protocol, const UINT8 *Source, std::size_t SourceSize,
                               std::size_t *MatchSize) {
  Handle *Best = nullptr;
  std::size_t BestSize = 0;
  for (const Found &F : InstallationsOf(Protocol)) {
    const EFI_DEVICE_PATH_PROTOCOL *Path = internal::DevicePathOfHandle(F.Owner);
    std::size_t Size = internal::DevicePathSize(Path);
    if (Size == 0) continue;
    Size -= END_DEVICE_PATH_LENGTH;
    // Equal bytes imply equal node lengths, so a byte prefix is a node prefix.
    if (Size > SourceSize || std::memcmp(Source, Path, Size) != 0) continue;
    if (Best == nullptr || Size > BestSize) {
      Best = F.Owner;
      BestSize = Size;
    }
  }
  *MatchSize = BestSize;
  return Best;
}

// True when the very same path (not just a prefix of it) is already installed.
bool DevicePathAlreadyInstalled(void *Interface) {
  const auto *Path = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface);
  std::size_t Size = internal::DevicePathSize(Path);
  if (Size == 0) return false;
  std::size_t MatchSize = 0;
  Handle *Owner = NearestDevicePathOwner(EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<const UINT8 *>(Path),
                                         Size - END_DEVICE_PATH_LENGTH, &MatchSize);
  return Owner != nullptr && MatchSize == Size - END_DEVICE_PATH_LENGTH;
}

constexpr int MaxInterfacePairs = 64;

struct ProtocolPair {
  const EFI_GUID *Protocol;
  void *Interface;
};

// The (GUID, interface) pairs of a variadic install or uninstall, up to the
// terminating null GUID; false when there are more than MaxInterfacePairs.
bool ReadProtocolPairs(__builtin_ms_va_list Args, std::vector<ProtocolPair> *Pairs) {
  for (;;) {
    auto *Protocol = __builtin_va_arg(Args, const EFI_GUID *);
    if (Protocol == nullptr) return true;
    void *Interface = __builtin_va_arg(Args, void *);
    if (Pairs->size() == MaxInterfacePairs) return false;
    Pairs->push_back({Protocol, Interface});
  }
}

}  // namespace

std::size_t NotifyRegistrationCount(const EFI_GUID &Protocol) {
  std::size_t Count = 0;
  for (auto &R : Db().Registrations) Count += (R->Live && GuidEquals(R->Protocol, Protocol)) ? 1 : 0;
  return Count;
}

std::size_t HandleCount() { return Db().LiveHandles.size(); }

namespace internal {

void ResetProtocolDatabase() {
  ProtocolDatabase &D = Db();
  D.Registrations.clear();
  D.LiveHandles.clear();
  D.Handles.clear();
  D.NextSequence = 1;
}

void DropNotifyRegistrations(EFI_EVENT Event) {
  for (auto &R : Db().Registrations)
    if (R->Event == Event) R->Live = false;
}

bool IsLiveHandle(EFI_HANDLE H) { return LiveHandle(H) != nullptr; }

const EFI_DEVICE_PATH_PROTOCOL *DevicePathOfHandle(EFI_HANDLE HandleValue) {
  Handle *H = LiveHandle(HandleValue);
  if (H == nullptr) return nullptr;
  Installed *I = FindOn(H, EFI_DEVICE_PATH_PROTOCOL_GUID);
  return I == nullptr ? nullptr : static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(I->Interface);
}

std::size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path, std::size_t Limit) {
  if (Path == nullptr) return 0;
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  std::size_t Offset = 0;
  for (;;) {
    if (Offset + sizeof(EFI_DEVICE_PATH_PROTOCOL) > Limit) return 0;
    const auto *Node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes + Offset);
    std::size_t Length = DevicePathNodeLength(*Node);
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || Offset + Length > Limit) return 0;
    Offset += Length;
    if (IsDevicePathEndNode(*Node)) return Offset;
  }
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *HandlePtr, const EFI_GUID *Protocol,
                                           EFI_INTERFACE_TYPE InterfaceType, void *Interface) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.InstallProtocolInterface");
  if (Call.Fails(&Status)) return Status;
  if (HandlePtr == nullptr || Protocol == nullptr || InterfaceType != EFI_NATIVE_INTERFACE)
    return EFI_INVALID_PARAMETER;
  EFI_TPL Old = RaiseTPL(TPL_NOTIFY);
  Status = AddInterface(HandlePtr, *Protocol, Interface);
  if (!EFI_ERROR(Status)) NotifyInstallation(*Protocol);
  RestoreTPL(Old);
  return Status;
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE HandleValue, const EFI_GUID *Protocol,
                                             void *OldInterface, void *NewInterface) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.ReinstallProtocolInterface");
  if (Call.Fails(&Status)) return Status;
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  Handle *H = LiveHandle(HandleValue);
  if (H == nullptr) return EFI_INVALID_PARAMETER;
  Installed *I = FindOn(H, *Protocol);
  if (I == nullptr || I->Interface != OldInterface) return EFI_NOT_FOUND;
  EFI_TPL Old = RaiseTPL(TPL_NOTIFY);
  I->Interface = NewInterface;
  I->Sequence = Db().NextSequence++;
  NotifyInstallation(*Protocol);
  RestoreTPL(Old);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE HandleValue, const EFI_GUID *Protocol,
                                             void *Interface) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.UninstallProtocolInterface");
  if (Call.Fails(&Status)) return Status;
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  return RemoveInterface(HandleValue, *Protocol, Interface);
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE HandleValue, const EFI_GUID *Protocol, void **Interface) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.HandleProtocol");
  if (Call.Fails(&Status)) return Status;
  if (Interface == nullptr) return EFI_INVALID_PARAMETER;
  *Interface = nullptr;
  Handle *H = LiveHandle(HandleValue);
  if (H == nullptr || Protocol == nullptr) return EFI_INVALID_PARAMETER;
  Installed *I = FindOn(H, *Protocol);
  if (I == nullptr) return EFI_UNSUPPORTED;
  *Interface = I->Interface;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RegisterProtocolNotify(const EFI_GUID *Protocol, EFI_EVENT Event, void **RegistrationOut) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.RegisterProtocolNotify");
  if (Call.Fails(&Status)) return Status;
  if (Protocol == nullptr || RegistrationOut == nullptr || !IsOpenEvent(Event)) return EFI_INVALID_PARAMETER;
  // Installations made so far count as seen: only later ones are reported.
  auto R = std::make_unique<Registration>(Registration{*Protocol, Event, Db().NextSequence - 1});
  *RegistrationOut = R.get();
  Db().Registrations.push_back(std::move(R));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, void *SearchKey,
                               UINTN *BufferSize, EFI_HANDLE *Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.LocateHandle");
  if (Call.Fails(&Status)) return Status;
  if (BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  Status = CheckSearch(SearchType, Protocol, SearchKey);
  if (EFI_ERROR(Status)) return Status;
  Registration *Advance = nullptr;
  UINT64 AdvanceTo = 0;
  std::vector<EFI_HANDLE> Handles = SearchHandles(SearchType, Protocol, SearchKey, &Advance, &AdvanceTo);
  if (Handles.empty()) return EFI_NOT_FOUND;
  UINTN Needed = Handles.size() * sizeof(EFI_HANDLE);
  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  std::memcpy(Buffer, Handles.data(), Needed);
  *BufferSize = Needed;
  if (Advance != nullptr) Advance->LastSeen = AdvanceTo;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                     void *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.LocateHandleBuffer");
  if (Call.Fails(&Status)) return Status;
  if (NoHandles == nullptr || Buffer == nullptr) return EFI_INVALID_PARAMETER;
  *NoHandles = 0;
  *Buffer = nullptr;
  Status = CheckSearch(SearchType, Protocol, SearchKey);
  if (EFI_ERROR(Status)) return Status;
  Registration *Advance = nullptr;
  UINT64 AdvanceTo = 0;
  std::vector<EFI_HANDLE> Handles = SearchHandles(SearchType, Protocol, SearchKey, &Advance, &AdvanceTo);
  if (Handles.empty()) return EFI_NOT_FOUND;
  void *Block = AllocateForCaller(Handles.size() * sizeof(EFI_HANDLE));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  std::memcpy(Block, Handles.data(), Handles.size() * sizeof(EFI_HANDLE));
  *Buffer = static_cast<EFI_HANDLE *>(Block);
  *NoHandles = Handles.size();
  if (Advance != nullptr) Advance->LastSeen = AdvanceTo;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID *Protocol, void *RegistrationKey, void **Interface) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.LocateProtocol");
  if (Call.Fails(&Status)) return Status;
  if (Interface == nullptr || Protocol == nullptr) return EFI_INVALID_PARAMETER;
  *Interface = nullptr;
  std::vector<Found> All = InstallationsOf(*Protocol);
  if (RegistrationKey == nullptr) {
    if (All.empty()) return EFI_NOT_FOUND;
    *Interface = All.front().Entry->Interface;
    return EFI_SUCCESS;
  }
  Registration *R = LiveRegistration(RegistrationKey);
  if (R == nullptr || !GuidEquals(R->Protocol, *Protocol)) return EFI_NOT_FOUND;
  const Found *Next = NextUnseen(All, *R);
  if (Next == nullptr) return EFI_NOT_FOUND;
  R->LastSeen = Next->Entry->Sequence;
  *Interface = Next->Entry->Interface;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateDevicePath(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                   EFI_HANDLE *Device) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.LocateDevicePath");
  if (Call.Fails(&Status)) return Status;
  if (Protocol == nullptr || DevicePath == nullptr || *DevicePath == nullptr || Device == nullptr)
    return EFI_INVALID_PARAMETER;
  std::size_t SourceSize = DevicePathSize(*DevicePath);
  if (SourceSize == 0) return EFI_INVALID_PARAMETER;
  SourceSize -= END_DEVICE_PATH_LENGTH;
  const auto *Source = reinterpret_cast<const UINT8 *>(*DevicePath);
  std::size_t BestSize = 0;
  Handle *Best = NearestDevicePathOwner(*Protocol, Source, SourceSize, &BestSize);
  if (Best == nullptr) return EFI_NOT_FOUND;
  *Device = Best;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<UINT8 *>(Source) + BestSize);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE *HandlePtr, ...) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.InstallMultipleProtocolInterfaces");
  if (Call.Fails(&Status)) return Status;
  if (HandlePtr == nullptr) return EFI_INVALID_PARAMETER;
  std::vector<ProtocolPair> Pairs;
  __builtin_ms_va_list Args;
  __builtin_ms_va_start(Args, HandlePtr);
  bool Complete = ReadProtocolPairs(Args, &Pairs);
  __builtin_ms_va_end(Args);
  if (!Complete) return EFI_INVALID_PARAMETER;

  // Installed as one step: the notify functions run once every interface is there.
  EFI_TPL Old = RaiseTPL(TPL_NOTIFY);
  EFI_HANDLE Original = *HandlePtr;
  std::size_t Done = 0;
  Status = EFI_SUCCESS;
  for (; Done < Pairs.size(); ++Done) {
    const ProtocolPair &P = Pairs[Done];
    if (IsDevicePathGuid(*P.Protocol) && DevicePathAlreadyInstalled(P.Interface)) {
      Status = EFI_ALREADY_STARTED;
      break;
    }
    Status = AddInterface(HandlePtr, *P.Protocol, P.Interface);
    if (EFI_ERROR(Status)) break;
    NotifyInstallation(*P.Protocol);
  }
  if (EFI_ERROR(Status)) {
    while (Done > 0) {
      --Done;
      RemoveInterface(*HandlePtr, *Pairs[Done].Protocol, Pairs[Done].Interface);
    }
    *HandlePtr = Original;
  }
  RestoreTPL(Old);
  return Status;
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfaces(EFI_HANDLE HandleValue, ...) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.UninstallMultipleProtocolInterfaces");
  if (Call.Fails(&Status)) return Status;
  std::vector<ProtocolPair> Pairs;
  __builtin_ms_va_list Args;
  __builtin_ms_va_start(Args, HandleValue);
  bool Complete = ReadProtocolPairs(Args, &Pairs);
  __builtin_ms_va_end(Args);
  if (!Complete) return EFI_INVALID_PARAMETER;

  // All or nothing: on a failure the interfaces removed so far go back as they
  // were, in their old places, without telling anyone (they never left for good).
  std::vector<Installed> Removed;
  Handle *H = LiveHandle(HandleValue);
  for (const ProtocolPair &P : Pairs) {
    Installed *I = H == nullptr ? nullptr : FindOn(H, *P.Protocol);
    if (I == nullptr || I->Interface != P.Interface) break;
    Removed.push_back(*I);
    RemoveInterface(HandleValue, *P.Protocol, P.Interface);
  }
  if (Removed.size() == Pairs.size()) return EFI_SUCCESS;
  if (!Removed.empty() && !H->Live) {
    H->Live = true;
    Db().LiveHandles.insert(H);
  }
  for (const Installed &I : Removed) H->Protocols.push_back(I);
  return EFI_INVALID_PARAMETER;
}

}  // namespace internal
}  // namespace sim

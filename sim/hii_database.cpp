// The HII database protocol: registration, update, listing and export of
// package lists. Incoming lists are checked completely before anything is
// stored. A new list whose packages run past its stated length, or that has no
// END package within it, is refused rather than read beyond its end; an update
// is walked to its END package whatever its header's length says, as the
// reference firmware walks it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/hii_internal.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace hii {
namespace {

constexpr std::size_t ListHeaderSize = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
constexpr std::size_t PackageHeaderSize = sizeof(EFI_HII_PACKAGE_HEADER);
constexpr std::size_t GuidPackageMinSize = PackageHeaderSize + sizeof(EFI_GUID);
constexpr UINT8 EndPackageBytes[] = {0x04, 0x00, 0x00, EFI_HII_PACKAGE_END};

// Export order: packages are grouped by type in this order.
constexpr UINT8 ExportOrder[] = {
    EFI_HII_PACKAGE_TYPE_GUID,    EFI_HII_PACKAGE_FORMS,       EFI_HII_PACKAGE_KEYBOARD_LAYOUT,
    EFI_HII_PACKAGE_STRINGS,      EFI_HII_PACKAGE_FONTS,       EFI_HII_PACKAGE_IMAGES,
    EFI_HII_PACKAGE_SIMPLE_FONTS, EFI_HII_PACKAGE_DEVICE_PATH, EFI_HII_PACKAGE_ANIMATIONS,
};

struct HandleToken {
  UINT64 Signature = 0x4C4E444849494853ULL;
};

struct Database {
  std::vector<std::unique_ptr<PackageList>> Lists;  // registration order
  // Handles are kept until the next start, so a removed one is never reused.
  std::vector<std::unique_ptr<HandleToken>> Tokens;
};

Database &Db() {
  static Database State;
  return State;
}

bool IsStorableType(UINT8 Type) {
  return std::find(std::begin(ExportOrder), std::end(ExportOrder), Type) != std::end(ExportOrder);
}

bool PackageIsWellFormed(UINT8 Type, const std::vector<UINT8> &Bytes) {
  switch (Type) {
    case EFI_HII_PACKAGE_TYPE_GUID:
      return Bytes.size() >= GuidPackageMinSize;
    case EFI_HII_PACKAGE_STRINGS:
      return StringPackageIsWellFormed(Bytes);
    case EFI_HII_PACKAGE_DEVICE_PATH:
      return Bytes.size() > PackageHeaderSize &&
             internal::DevicePathSize(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data() + 4),
                                      Bytes.size() - PackageHeaderSize) != 0;
    default:
      return IsStorableType(Type);
  }
}

// Splits a caller's package list into its packages, up to the END package,
// reading nothing at or past ListLength bytes from its start. False when the
// list is malformed.
bool SplitPackages(const EFI_HII_PACKAGE_LIST_HEADER *List, std::size_t ListLength,
                   std::vector<Package> *Out) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(List);
  std::size_t Offset = ListHeaderSize;
  for (;;) {
    if (Offset + PackageHeaderSize > ListLength) return false;
    EFI_HII_PACKAGE_HEADER Header;
    std::memcpy(&Header, Bytes + Offset, sizeof Header);
    if (PackageType(Header) == EFI_HII_PACKAGE_END) return true;
    std::size_t Length = PackageLength(Header);
    if (Length < PackageHeaderSize || Offset + Length > ListLength) return false;
    Package P{std::vector<UINT8>(Bytes + Offset, Bytes + Offset + Length)};
    if (!PackageIsWellFormed(PackageType(Header), P.Bytes)) return false;
    Out->push_back(std::move(P));
    Offset += Length;
  }
}

// A new list is bounded by the length its header states.
bool SplitPackageList(const EFI_HII_PACKAGE_LIST_HEADER *List, std::vector<Package> *Out) {
  UINT32 ListLength = 0;
  std::memcpy(&ListLength, &List->PackageLength, sizeof ListLength);
  return SplitPackages(List, ListLength, Out);
}

// An update is walked package by package to its END package; its header's
// length plays no part, so one that understates it is still applied whole.
bool SplitUpdateList(const EFI_HII_PACKAGE_LIST_HEADER *List, std::vector<Package> *Out) {
  return SplitPackages(List, SIZE_MAX, Out);
}

Package DevicePathPackage(const EFI_DEVICE_PATH_PROTOCOL *Path, std::size_t Size) {
  Package P;
  P.Bytes.resize(PackageHeaderSize);
  P.Bytes[3] = EFI_HII_PACKAGE_DEVICE_PATH;
  const auto *PathBytes = reinterpret_cast<const UINT8 *>(Path);
  P.Bytes.insert(P.Bytes.end(), PathBytes, PathBytes + Size);
  P.UpdateLength();
  return P;
}

bool HasType(const PackageList &L, UINT8 Type) {
  return std::any_of(L.Packages.begin(), L.Packages.end(),
                     [&](const Package &P) { return P.Type() == Type; });
}

bool HasGuidPackage(const PackageList &L, const EFI_GUID &Guid) {
  for (const Package &P : L.Packages) {
    if (P.Type() != EFI_HII_PACKAGE_TYPE_GUID) continue;
    EFI_GUID Stored;
    std::memcpy(&Stored, P.Bytes.data() + PackageHeaderSize, sizeof Stored);
    if (GuidEquals(Stored, Guid)) return true;
  }
  return false;
}

bool Matches(const PackageList &L, UINT8 Type, const EFI_GUID *Guid) {
  if (Type == EFI_HII_PACKAGE_TYPE_ALL) return true;
  if (Type == EFI_HII_PACKAGE_TYPE_GUID) return HasGuidPackage(L, *Guid);
  return HasType(L, Type);
}

void AppendExport(const PackageList &L, std::vector<UINT8> *Out) {
  std::size_t Start = Out->size();
  Out->resize(Start + ListHeaderSize);
  for (UINT8 Type : ExportOrder)
    for (const Package &P : L.Packages)
      if (P.Type() == Type) Out->insert(Out->end(), P.Bytes.begin(), P.Bytes.end());
  Out->insert(Out->end(), std::begin(EndPackageBytes), std::end(EndPackageBytes));
  EFI_HII_PACKAGE_LIST_HEADER Header{L.Guid, static_cast<UINT32>(Out->size() - Start)};
  std::memcpy(Out->data() + Start, &Header, sizeof Header);
}

EFI_STATUS EFIAPI NewPackageList(const EFI_HII_DATABASE_PROTOCOL *, const EFI_HII_PACKAGE_LIST_HEADER *List,
                                 EFI_HANDLE DriverHandle, EFI_HII_HANDLE *Handle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.NewPackageList");
  if (Call.Fails(&Status)) return Status;
  if (List == nullptr || Handle == nullptr) return EFI_INVALID_PARAMETER;
  EFI_GUID Guid;
  std::memcpy(&Guid, &List->PackageListGuid, sizeof Guid);
  for (const auto &L : Db().Lists)
    if (L->DriverHandle == DriverHandle && GuidEquals(L->Guid, Guid)) return EFI_INVALID_PARAMETER;
  auto Stored = std::make_unique<PackageList>(PackageList{nullptr, DriverHandle, Guid, {}});
  if (!SplitPackageList(List, &Stored->Packages)) return EFI_INVALID_PARAMETER;
  // The list remembers where its driver lives, so others can find the device.
  const EFI_DEVICE_PATH_PROTOCOL *Path = internal::DevicePathOfHandle(DriverHandle);
  std::size_t PathSize = internal::DevicePathSize(Path);
  if (PathSize != 0 && !HasType(*Stored, EFI_HII_PACKAGE_DEVICE_PATH))
    Stored->Packages.push_back(DevicePathPackage(Path, PathSize));
  Db().Tokens.push_back(std::make_unique<HandleToken>());
  Stored->Handle = Db().Tokens.back().get();
  *Handle = Stored->Handle;
  Db().Lists.push_back(std::move(Stored));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RemovePackageList(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.RemovePackageList");
  if (Call.Fails(&Status)) return Status;
  auto &Lists = Db().Lists;
  auto Found = std::find_if(Lists.begin(), Lists.end(), [&](const auto &L) { return L->Handle == Handle; });
  if (Handle == nullptr || Found == Lists.end()) return EFI_NOT_FOUND;
  Lists.erase(Found);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UpdatePackageList(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle,
                                    const EFI_HII_PACKAGE_LIST_HEADER *List) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.UpdatePackageList");
  if (Call.Fails(&Status)) return Status;
  if (List == nullptr) return EFI_INVALID_PARAMETER;
  PackageList *Stored = FindPackageList(Handle);
  if (Stored == nullptr) return EFI_NOT_FOUND;
  std::vector<Package> Incoming;
  if (!SplitUpdateList(List, &Incoming)) return EFI_INVALID_PARAMETER;
  // Every type the new list brings replaces all stored packages of that type.
  for (const Package &P : Incoming)
    std::erase_if(Stored->Packages, [&](const Package &Old) { return Old.Type() == P.Type(); });
  for (Package &P : Incoming) Stored->Packages.push_back(std::move(P));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ListPackageLists(const EFI_HII_DATABASE_PROTOCOL *, UINT8 PackageType,
                                   const EFI_GUID *PackageGuid, UINTN *HandleBufferLength,
                                   EFI_HII_HANDLE *HandleBuffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.ListPackageLists");
  if (Call.Fails(&Status)) return Status;
  if (HandleBufferLength == nullptr) return EFI_INVALID_PARAMETER;
  if (*HandleBufferLength > 0 && HandleBuffer == nullptr) return EFI_INVALID_PARAMETER;
  if ((PackageType == EFI_HII_PACKAGE_TYPE_GUID) != (PackageGuid != nullptr)) return EFI_INVALID_PARAMETER;
  std::vector<EFI_HII_HANDLE> Handles;
  for (const auto &L : Db().Lists)
    if (Matches(*L, PackageType, PackageGuid)) Handles.push_back(L->Handle);
  if (Handles.empty()) return EFI_NOT_FOUND;
  UINTN Needed = Handles.size() * sizeof(EFI_HII_HANDLE);
  if (*HandleBufferLength < Needed) {
    *HandleBufferLength = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(HandleBuffer, Handles.data(), Needed);
  *HandleBufferLength = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ExportPackageLists(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle,
                                     UINTN *BufferSize, EFI_HII_PACKAGE_LIST_HEADER *Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.ExportPackageLists");
  if (Call.Fails(&Status)) return Status;
  if (BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  if (*BufferSize > 0 && Buffer == nullptr) return EFI_INVALID_PARAMETER;
  std::vector<UINT8> Bytes;
  if (Handle != nullptr) {
    const PackageList *L = FindPackageList(Handle);
    if (L == nullptr) return EFI_NOT_FOUND;
    AppendExport(*L, &Bytes);
  } else {
    for (const auto &L : Db().Lists) AppendExport(*L, &Bytes);
  }
  if (*BufferSize < Bytes.size()) {
    *BufferSize = Bytes.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (!Bytes.empty()) std::memcpy(Buffer, Bytes.data(), Bytes.size());
  *BufferSize = Bytes.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPackageListHandle(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE PackageListHandle,
                                       EFI_HANDLE *DriverHandle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiDatabase.GetPackageListHandle");
  if (Call.Fails(&Status)) return Status;
  if (DriverHandle == nullptr) return EFI_INVALID_PARAMETER;
  const PackageList *L = FindPackageList(PackageListHandle);
  if (L == nullptr) return EFI_INVALID_PARAMETER;
  *DriverHandle = L->DriverHandle;
  return EFI_SUCCESS;
}

EFI_HII_DATABASE_PROTOCOL Protocol = {
    NewPackageList, RemovePackageList, UpdatePackageList, ListPackageLists, ExportPackageLists,  nullptr,
    nullptr,        nullptr,           nullptr,           nullptr,          GetPackageListHandle};

void InstallHiiDatabase() {
  Db().Lists.clear();
  Db().Tokens.clear();
  EFI_HANDLE Handle = nullptr;
  internal::InstallProtocolInterface(&Handle, &EFI_HII_DATABASE_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                     &Protocol);
}

ComponentRegistrar HiiDatabaseComponent("HiiDatabase", 10, InstallHiiDatabase);

}  // namespace

void Package::UpdateLength() {
  UINT32 Length = static_cast<UINT32>(Bytes.size());
  Bytes[0] = static_cast<UINT8>(Length);
  Bytes[1] = static_cast<UINT8>(Length >> 8);
  Bytes[2] = static_cast<UINT8>(Length >> 16);
}

PackageList *FindPackageList(EFI_HII_HANDLE Handle) {
  if (Handle == nullptr) return nullptr;
  for (const auto &L : Db().Lists)
    if (L->Handle == Handle) return L.get();
  return nullptr;
}

}  // namespace hii

std::vector<EFI_HII_HANDLE> PackageListHandles() {
  std::vector<EFI_HII_HANDLE> Handles;
  for (const auto &L : hii::Db().Lists) Handles.push_back(L->Handle);
  return Handles;
}

}  // namespace sim

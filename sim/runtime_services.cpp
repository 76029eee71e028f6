// The runtime-services table with the variable store. Variables are kept in
// creation order, which is the order GetNextVariableName walks; rewriting a
// variable keeps its place. A reset keeps the non-volatile ones only.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_internal.h"

namespace sim {
namespace {

constexpr UINT32 KnownAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
// The longest name, in characters, GetNextVariableName looks for a terminator in.
constexpr std::size_t MaxNameChars = 1024;

std::vector<VariableRecord> &Store() {
  static std::vector<VariableRecord> Variables;
  return Variables;
}

std::vector<VariableRecord>::iterator Find(const std::u16string &Name, const EFI_GUID &Guid) {
  return std::find_if(Store().begin(), Store().end(),
                      [&](const VariableRecord &V) { return V.Name == Name && GuidEquals(V.Guid, Guid); });
}

// The name as a string, or false when no terminator comes within Limit bytes.
bool ReadName(const CHAR16 *Name, std::size_t LimitBytes, std::u16string *Out) {
  std::size_t Limit = LimitBytes / sizeof(CHAR16);
  for (std::size_t I = 0; I < Limit; ++I)
    if (Name[I] == 0) {
      Out->assign(Name, I);
      return true;
    }
  return false;
}

EFI_STATUS EFIAPI GetVariable(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 *Attributes,
                              UINTN *DataSize, void *Data) {
  EFI_STATUS Status;
  internal::ServiceCall Call("RuntimeServices.GetVariable");
  if (Call.Fails(&Status)) return Status;
  if (VariableName == nullptr || VendorGuid == nullptr || DataSize == nullptr) return EFI_INVALID_PARAMETER;
  if (VariableName[0] == 0) return EFI_NOT_FOUND;
  auto Found = Find(VariableName, *VendorGuid);
  if (Found == Store().end()) return EFI_NOT_FOUND;
  UINTN Size = Found->Data.size();
  if (*DataSize < Size) {
    *DataSize = Size;
    if (Attributes != nullptr) *Attributes = Found->Attributes;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Data == nullptr && Size != 0) return EFI_INVALID_PARAMETER;
  if (Size != 0) std::memcpy(Data, Found->Data.data(), Size);
  *DataSize = Size;
  if (Attributes != nullptr) *Attributes = Found->Attributes;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetNextVariableName(UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid) {
  EFI_STATUS Status;
  internal::ServiceCall Call("RuntimeServices.GetNextVariableName");
  if (Call.Fails(&Status)) return Status;
  if (VariableNameSize == nullptr || VariableName == nullptr || VendorGuid == nullptr)
    return EFI_INVALID_PARAMETER;
  std::u16string Current;
  if (!ReadName(VariableName, std::min<std::size_t>(*VariableNameSize, MaxNameChars * sizeof(CHAR16)),
                &Current))
    return EFI_INVALID_PARAMETER;
  auto Next = Store().begin();
  if (!Current.empty()) {
    auto Found = Find(Current, *VendorGuid);
    if (Found == Store().end()) return EFI_INVALID_PARAMETER;
    Next = Found + 1;
  }
  if (Next == Store().end()) return EFI_NOT_FOUND;
  UINTN Needed = (Next->Name.size() + 1) * sizeof(CHAR16);
  if (*VariableNameSize < Needed) {
    *VariableNameSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(VariableName, Next->Name.c_str(), Needed);
  *VendorGuid = Next->Guid;
  *VariableNameSize = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetVariable(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 Attributes,
                              UINTN DataSize, void *Data) {
  EFI_STATUS Status;
  internal::ServiceCall Call("RuntimeServices.SetVariable");
  if (Call.Fails(&Status)) return Status;
  if (VariableName == nullptr || VariableName[0] == 0 || VendorGuid == nullptr) return EFI_INVALID_PARAMETER;
  if (DataSize != 0 && Data == nullptr) return EFI_INVALID_PARAMETER;
  if ((Attributes & ~KnownAttributes) != 0) return EFI_INVALID_PARAMETER;
  // Runtime access needs boot-service access; any stored variable needs the latter.
  if (Attributes != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) return EFI_INVALID_PARAMETER;
  auto Found = Find(VariableName, *VendorGuid);
  if (Found != Store().end() && Attributes != 0 && Attributes != Found->Attributes)
    return EFI_INVALID_PARAMETER;
  if (DataSize == 0 || Attributes == 0) {
    if (Found == Store().end()) return EFI_NOT_FOUND;
    Store().erase(Found);
    return EFI_SUCCESS;
  }
  const auto *Bytes = static_cast<const UINT8 *>(Data);
  if (Found == Store().end()) {
    Store().push_back({VariableName, *VendorGuid, Attributes, std::vector<UINT8>(Bytes, Bytes + DataSize)});
  } else {
    Found->Data.assign(Bytes, Bytes + DataSize);
  }
  return EFI_SUCCESS;
}

constexpr UINT64 RuntimeServicesSignature = 0x56524553544e5552ULL;  // "RUNTSERV"

EFI_RUNTIME_SERVICES &Table() {
  static EFI_RUNTIME_SERVICES Value = {};
  return Value;
}

void InstallRuntimeServices() {
  if (internal::CurrentStart() == internal::StartKind::PowerOn) {
    Store().clear();
  } else {
    std::erase_if(Store(),
                  [](const VariableRecord &V) { return (V.Attributes & EFI_VARIABLE_NON_VOLATILE) == 0; });
  }
  EFI_RUNTIME_SERVICES &T = Table();
  T = {};
  T.Hdr.Signature = RuntimeServicesSignature;
  T.Hdr.Revision = (2U << 16) | 70U;
  T.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  T.GetVariable = GetVariable;
  T.GetNextVariableName = GetNextVariableName;
  T.SetVariable = SetVariable;
}

ComponentRegistrar RuntimeServicesComponent("RuntimeServices", 1, InstallRuntimeServices);

}  // namespace

std::optional<VariableRecord> FindVariable(const std::u16string &Name, const EFI_GUID &Guid) {
  auto Found = Find(Name, Guid);
  if (Found == Store().end()) return std::nullopt;
  return *Found;
}

void WriteVariable(const std::u16string &Name, const EFI_GUID &Guid, UINT32 Attributes,
                   const std::vector<UINT8> &Data) {
  auto Found = Find(Name, Guid);
  if (Found == Store().end()) {
    Store().push_back({Name, Guid, Attributes, Data});
  } else {
    Found->Attributes = Attributes;
    Found->Data = Data;
  }
}

bool DeleteVariable(const std::u16string &Name, const EFI_GUID &Guid) {
  auto Found = Find(Name, Guid);
  if (Found == Store().end()) return false;
  Store().erase(Found);
  return true;
}

std::vector<VariableRecord> ListVariables() { return Store(); }
std::size_t VariableCount() { return Store().size(); }

EFI_RUNTIME_SERVICES *internal::RuntimeServicesTable() { return &Table(); }

}  // namespace sim

#include "sim/hii_forms.h"

#include <algorithm>
#include <cstring>

#include "sim/config_text.h"
#include "sim/sim.h"
#include "uefi/guids.h"
#include "uefi/ifr.h"

namespace sim::hiiview {
namespace {

// Longest device path taken from a protocol interface; real ones are far shorter.
constexpr std::size_t MaxInstalledPathBytes = 4096;

constexpr std::size_t StringPackageHeaderSize = sizeof(EFI_HII_STRING_PACKAGE_HDR);

// Fixed parts of the opcodes read here (header included).
constexpr std::size_t QuestionHeaderEnd = 13;  // op header 2 + statement 4 + question 7
constexpr std::size_t VarStoreFixed = 22;      // header, Guid, VarStoreId, Size
constexpr std::size_t VarStoreEfiFixed = 26;   // header, VarStoreId, Guid, Attributes, Size

UINT16 Read16(const UINT8 *Bytes) { return static_cast<UINT16>(Bytes[0] | Bytes[1] << 8); }
UINT32 Read32(const UINT8 *Bytes) {
  return static_cast<UINT32>(Bytes[0]) | static_cast<UINT32>(Bytes[1]) << 8 |
         static_cast<UINT32>(Bytes[2]) << 16 | static_cast<UINT32>(Bytes[3]) << 24;
}

template <typename Protocol>
Protocol *Locate(const EFI_GUID &Guid) {
  void *Interface = nullptr;
  if (EFI_ERROR(SystemTable()->BootServices->LocateProtocol(&Guid, nullptr, &Interface))) return nullptr;
  return static_cast<Protocol *>(Interface);
}

// The ASCII name that starts at Name and runs to its NUL or to Limit.
std::u16string WidenName(const UINT8 *Name, std::size_t Limit) {
  std::u16string Wide;
  for (std::size_t I = 0; I < Limit && Name[I] != 0; ++I) Wide += static_cast<char16_t>(Name[I]);
  return Wide;
}

UINT32 StorageWidth(const UINT8 *Op, std::size_t Length) {
  switch (Op[0]) {
    case IfrOneOfOp:
    case IfrNumericOp:
      return Length > QuestionHeaderEnd ? 1u << (Op[QuestionHeaderEnd] & IfrNumericSizeMask) : 0;
    case IfrCheckBoxOp:
      return 1;
    case IfrStringOp:
      // MinSize, MaxSize (characters), Flags follow the question header.
      return Length > QuestionHeaderEnd + 1 ? Op[QuestionHeaderEnd + 1] * 2u : 0;
    default:
      return 0;
  }
}

std::size_t MinimumLength(UINT8 OpCode) {
  switch (OpCode) {
    case IfrOneOfOp:
    case IfrNumericOp:
    case IfrCheckBoxOp:
      return QuestionHeaderEnd + 1;
    case IfrStringOp:
      return QuestionHeaderEnd + 3;
    case IfrVarStoreOp:
      return VarStoreFixed;
    case IfrVarStoreEfiOp:
      return VarStoreEfiFixed;
    case IfrFormSetOp:
      return 2 + sizeof(EFI_GUID) + 4;
    default:
      return 2;
  }
}

// A value of the given IFR type at Value, when Available bytes hold it.
std::optional<UINT64> TypedValue(UINT8 Type, const UINT8 *Value, std::size_t Available) {
  constexpr UINT8 Boolean = 0x04;
  const std::size_t Width = Type <= 3 ? std::size_t{1} << Type : Type == Boolean ? 1 : 0;
  if (Width == 0 || Width > Available) return std::nullopt;
  UINT64 Number = 0;
  for (std::size_t Index = Width; Index > 0; --Index) Number = Number << 8 | Value[Index - 1];
  return Number;
}

void SetDefault(Question &Q, EFI_DEFAULT_ID Store, UINT64 Value, bool Replace) {
  for (auto &[Id, Known] : Q.Defaults) {
    if (Id != Store) continue;
    if (Replace) Known = Value;
    return;
  }
  Q.Defaults.emplace_back(Store, Value);
}

// The defaults a question's own opcode carries: a numeric's minimum, a
// checkbox's default flags.
void TakeQuestionDefaults(Question &Q, const UINT8 *Op, std::size_t Length) {
  constexpr UINT8 CheckboxDefault = 0x01, CheckboxDefaultMfg = 0x02;
  if (Q.OpCode == IfrNumericOp && Length > QuestionHeaderEnd) {
    Q.Fallback = TypedValue(Op[QuestionHeaderEnd] & IfrNumericSizeMask, Op + QuestionHeaderEnd + 1,
                            Length - QuestionHeaderEnd - 1);
  } else if (Q.OpCode == IfrCheckBoxOp) {
    Q.Fallback = 0;
    if (Op[QuestionHeaderEnd] & CheckboxDefault) SetDefault(Q, EFI_HII_DEFAULT_CLASS_STANDARD, 1, false);
    if (Op[QuestionHeaderEnd] & CheckboxDefaultMfg)
      SetDefault(Q, EFI_HII_DEFAULT_CLASS_MANUFACTURING, 1, false);
  }
}

// An option or default inside the open question's scope. DEFAULT opcodes win
// over option flags; one without a constant value (an expression) is ignored.
void TakeScopedDefault(Question &Q, const UINT8 *Op, std::size_t Length) {
  constexpr std::size_t OptionValueAt = 6, DefaultValueAt = 5;
  constexpr UINT8 OptionDefault = 0x10, OptionDefaultMfg = 0x20;
  if (Op[0] == IfrOneOfOptionOp && Q.OpCode == IfrOneOfOp && Length > OptionValueAt) {
    const std::optional<UINT64> Value = TypedValue(Op[5], Op + OptionValueAt, Length - OptionValueAt);
    if (!Value) return;
    if (!Q.Fallback) Q.Fallback = *Value;
    if (Op[4] & OptionDefault) SetDefault(Q, EFI_HII_DEFAULT_CLASS_STANDARD, *Value, false);
    if (Op[4] & OptionDefaultMfg) SetDefault(Q, EFI_HII_DEFAULT_CLASS_MANUFACTURING, *Value, false);
  } else if (Op[0] == IfrDefaultOp && (Op[1] & IfrScopeBit) == 0 && Length > DefaultValueAt) {
    const std::optional<UINT64> Value = TypedValue(Op[4], Op + DefaultValueAt, Length - DefaultValueAt);
    if (Value) SetDefault(Q, Read16(Op + 2), *Value, true);
  }
}

// Walks one forms package into Scan; false (and Scan unchanged) when an opcode
// does not fit the package or is too short for its kind.
bool ScanFormsPackage(const Package &Forms, FormsScan &Scan) {
  FormsScan Local = Scan;
  // The question whose scope is open, and how deep inside it the walk is.
  std::optional<std::size_t> Open;
  std::size_t OpenDepth = 0;
  const UINT8 *Body = Forms.Data + sizeof(EFI_HII_PACKAGE_HEADER);
  std::size_t Size = Forms.Size - sizeof(EFI_HII_PACKAGE_HEADER);
  for (std::size_t Offset = 0; Offset < Size;) {
    if (Size - Offset < 2) return false;
    const UINT8 *Op = Body + Offset;
    std::size_t Length = Op[1] & 0x7F;
    if (Length < 2 || Length > Size - Offset || Length < MinimumLength(Op[0])) return false;
    std::size_t FormSet = Local.FormSets == 0 ? 0 : Local.FormSets - 1;
    if (Open) {
      if (Op[0] == IfrEndOp && --OpenDepth == 0) {
        Open.reset();
      } else {
        if (Op[1] & IfrScopeBit) ++OpenDepth;
        TakeScopedDefault(Local.Questions[*Open], Op, Length);
      }
    }
    switch (Op[0]) {
      case IfrFormSetOp:
        ++Local.FormSets;
        break;
      case IfrVarStoreOp: {
        VarStore Store;
        Store.OpCode = Op[0];
        Store.Guid = cfgtext::GuidOfBytes(Op + 2);
        Store.Id = Read16(Op + 18);
        Store.Size = Read16(Op + 20);
        Store.Name = WidenName(Op + VarStoreFixed, Length - VarStoreFixed);
        Store.FormSet = FormSet;
        Local.VarStores.push_back(Store);
        break;
      }
      case IfrVarStoreEfiOp: {
        VarStore Store;
        Store.OpCode = Op[0];
        Store.Id = Read16(Op + 2);
        Store.Guid = cfgtext::GuidOfBytes(Op + 4);
        Store.Attributes = Read32(Op + 20);
        Store.Size = Read16(Op + 24);
        Store.Name = WidenName(Op + VarStoreEfiFixed, Length - VarStoreEfiFixed);
        Store.FormSet = FormSet;
        Local.VarStores.push_back(Store);
        break;
      }
      case IfrOneOfOp:
      case IfrNumericOp:
      case IfrCheckBoxOp:
      case IfrStringOp: {
        Question Q;
        Q.OpCode = Op[0];
        Q.Prompt = Read16(Op + 2);
        Q.Id = Read16(Op + 6);
        Q.VarStoreId = Read16(Op + 8);
        Q.VarOffset = Read16(Op + 10);
        Q.QuestionFlags = Op[12];
        Q.Width = StorageWidth(Op, Length);
        Q.FormSet = FormSet;
        TakeQuestionDefaults(Q, Op, Length);
        Local.Questions.push_back(Q);
        if (!Open && (Op[1] & IfrScopeBit)) {
          Open = Local.Questions.size() - 1;
          OpenDepth = 1;
        }
        break;
      }
      case IfrDefaultStoreOp:
        if (Length >= 6) Local.DefaultStores.push_back({Read16(Op + 4), FormSet});
        break;
      default:
        break;
    }
    Offset += Length;
  }
  Scan = std::move(Local);
  return true;
}

}  // namespace

EFI_HII_DATABASE_PROTOCOL *Database() {
  return Locate<EFI_HII_DATABASE_PROTOCOL>(EFI_HII_DATABASE_PROTOCOL_GUID);
}
EFI_HII_STRING_PROTOCOL *Strings() { return Locate<EFI_HII_STRING_PROTOCOL>(EFI_HII_STRING_PROTOCOL_GUID); }
EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
  return Locate<EFI_HII_CONFIG_ROUTING_PROTOCOL>(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID);
}

std::vector<EFI_HII_HANDLE> PackageListHandles() {
  EFI_HII_DATABASE_PROTOCOL *Db = Database();
  if (Db == nullptr) return {};
  UINTN Length = 0;
  EFI_STATUS Status = Db->ListPackageLists(Db, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Length, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL || Length == 0) return {};
  std::vector<EFI_HII_HANDLE> Handles(Length / sizeof(EFI_HII_HANDLE) + 1);
  Length = Handles.size() * sizeof(EFI_HII_HANDLE);
  if (EFI_ERROR(Db->ListPackageLists(Db, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Length, Handles.data())))
    return {};
  Handles.resize(Length / sizeof(EFI_HII_HANDLE));
  return Handles;
}

std::vector<UINT8> ExportPackageList(EFI_HII_HANDLE Handle) {
  EFI_HII_DATABASE_PROTOCOL *Db = Database();
  if (Db == nullptr || Handle == nullptr) return {};
  UINTN Size = 0;
  if (Db->ExportPackageLists(Db, Handle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL || Size == 0) return {};
  std::vector<UINT8> Export(Size);
  if (EFI_ERROR(Db->ExportPackageLists(Db, Handle, &Size,
                                       reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Export.data()))) ||
      Size > Export.size())
    return {};
  Export.resize(Size);
  return Export;
}

std::vector<Package> PackagesOf(const std::vector<UINT8> &Export) {
  std::vector<Package> Packages;
  if (Export.size() < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) return Packages;
  std::size_t Limit = std::min<std::size_t>(Export.size(), Read32(Export.data() + sizeof(EFI_GUID)));
  for (std::size_t Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
       Offset + sizeof(EFI_HII_PACKAGE_HEADER) <= Limit;) {
    const auto *Header = reinterpret_cast<const EFI_HII_PACKAGE_HEADER *>(Export.data() + Offset);
    std::size_t Length = PackageLength(*Header);
    if (PackageType(*Header) == EFI_HII_PACKAGE_END) break;
    if (Length < sizeof(EFI_HII_PACKAGE_HEADER) || Length > Limit - Offset) break;
    Packages.push_back({PackageType(*Header), Export.data() + Offset, Length});
    Offset += Length;
  }
  return Packages;
}

EFI_HANDLE DriverHandleOf(EFI_HII_HANDLE Handle) {
  EFI_HII_DATABASE_PROTOCOL *Db = Database();
  EFI_HANDLE Driver = nullptr;
  if (Db == nullptr || EFI_ERROR(Db->GetPackageListHandle(Db, Handle, &Driver))) return nullptr;
  return Driver;
}

std::vector<UINT8> DevicePathOfHandle(EFI_HANDLE Handle) {
  void *Interface = nullptr;
  if (Handle == nullptr ||
      EFI_ERROR(
          SystemTable()->BootServices->HandleProtocol(Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface)) ||
      Interface == nullptr)
    return {};
  const auto *Path = static_cast<const UINT8 *>(Interface);
  std::size_t Size = cfgtext::DevicePathSize(Path, MaxInstalledPathBytes);
  return std::vector<UINT8>(Path, Path + Size);
}

std::vector<UINT8> DevicePathOfList(EFI_HII_HANDLE Handle, const std::vector<UINT8> &Export) {
  for (const Package &P : PackagesOf(Export)) {
    if (P.Type != EFI_HII_PACKAGE_DEVICE_PATH) continue;
    const UINT8 *Path = P.Data + sizeof(EFI_HII_PACKAGE_HEADER);
    std::size_t Size = cfgtext::DevicePathSize(Path, P.Size - sizeof(EFI_HII_PACKAGE_HEADER));
    if (Size != 0) return std::vector<UINT8>(Path, Path + Size);
  }
  return DevicePathOfHandle(DriverHandleOf(Handle));
}

std::vector<std::string> StringLanguages(const std::vector<UINT8> &Export) {
  std::vector<std::string> Languages;
  for (const Package &P : PackagesOf(Export)) {
    if (P.Type != EFI_HII_PACKAGE_STRINGS || P.Size < StringPackageHeaderSize) continue;
    std::size_t HeaderSize = Read32(P.Data + 4);
    if (HeaderSize < StringPackageHeaderSize || HeaderSize > P.Size) continue;
    std::string Language;
    for (std::size_t I = StringPackageHeaderSize; I < HeaderSize && P.Data[I] != 0; ++I)
      Language += static_cast<char>(P.Data[I]);
    Languages.push_back(Language);
  }
  return Languages;
}

FormsScan ScanForms(const std::vector<UINT8> &Export) {
  FormsScan Scan;
  for (const Package &P : PackagesOf(Export))
    if (P.Type == EFI_HII_PACKAGE_FORMS) ScanFormsPackage(P, Scan);
  return Scan;
}

std::optional<UINT64> Question::DefaultFor(EFI_DEFAULT_ID Store) const {
  for (const auto &[Id, Value] : Defaults)
    if (Id == Store) return Value;
  return Fallback;
}

const VarStore *FindVarStore(const FormsScan &Scan, std::size_t FormSet, EFI_VARSTORE_ID Id) {
  for (const VarStore &Store : Scan.VarStores)
    if (Store.FormSet == FormSet && Store.Id == Id) return &Store;
  return nullptr;
}

std::u16string GetString(EFI_HII_HANDLE Handle, const std::string &Language, EFI_STRING_ID Id) {
  EFI_HII_STRING_PROTOCOL *Hs = Strings();
  if (Hs == nullptr || Id == 0) return {};
  std::vector<CHAR16> Buffer(128);
  UINTN Size = Buffer.size() * sizeof(CHAR16);
  EFI_STATUS Status = Hs->GetString(Hs, Language.c_str(), Handle, Id, Buffer.data(), &Size, nullptr);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Buffer.assign(Size / sizeof(CHAR16) + 1, 0);
    Size = Buffer.size() * sizeof(CHAR16);
    Status = Hs->GetString(Hs, Language.c_str(), Handle, Id, Buffer.data(), &Size, nullptr);
  }
  if (EFI_ERROR(Status)) return {};
  Buffer.back() = 0;
  return std::u16string(Buffer.data());
}

bool LanguageEquals(const std::string &A, const std::string &B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I) {
    char X = A[I] >= 'A' && A[I] <= 'Z' ? static_cast<char>(A[I] - 'A' + 'a') : A[I];
    char Y = B[I] >= 'A' && B[I] <= 'Z' ? static_cast<char>(B[I] - 'A' + 'a') : B[I];
    if (X != Y) return false;
  }
  return true;
}

}  // namespace sim::hiiview

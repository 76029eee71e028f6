// The simulated configuration router. It finds the owner of a configuration
// through the device path in its PATH field; UEFI variable stores declared by
// the owner's form set are read and written here directly (the owner's
// ExtractConfig only contributes its alternate configurations), every other
// store goes to the owner's config-access protocol. An export is made of what
// the drivers themselves answer.
#include <algorithm>
#include <optional>

#include "sim/config_text.h"
#include "sim/hii_forms.h"
#include "sim/sim.h"
#include "uefi/guids.h"

namespace sim {
namespace {

using cfgtext::Text;
using cfgtext::TextView;

constexpr UINT32 DefaultEfiStoreAttributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// Where a configuration goes: the handle carrying its device path, that handle's
// config-access protocol (if any) and the store its form set declares (if any).
struct Target {
  EFI_HANDLE Driver = nullptr;
  EFI_HII_CONFIG_ACCESS_PROTOCOL *Access = nullptr;
  std::optional<hiiview::VarStore> Store;
  bool IsEfiStore() const { return Store && Store->OpCode == hiiview::IfrVarStoreEfiOp; }
};

// Result of handling one configuration of a multi-configuration text; FailAt is
// an index into that configuration.
struct PieceOutcome {
  EFI_STATUS Status = EFI_SUCCESS;
  std::size_t FailAt = 0;
};

EFI_HANDLE HandleWithDevicePath(const std::vector<UINT8> &Path) {
  if (Path.empty() || cfgtext::DevicePathSize(Path.data(), Path.size()) != Path.size()) return nullptr;
  std::vector<UINT8> Copy = Path;
  auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Copy.data());
  EFI_HANDLE Handle = nullptr;
  if (EFI_ERROR(
          SystemTable()->BootServices->LocateDevicePath(&EFI_DEVICE_PATH_PROTOCOL_GUID, &Remaining, &Handle)))
    return nullptr;
  // LocateDevicePath also accepts a handle whose path is only a prefix.
  return hiiview::DevicePathOfHandle(Handle) == Path ? Handle : nullptr;
}

std::optional<hiiview::VarStore> DeclaredStore(EFI_HANDLE Driver, const EFI_GUID &Guid, TextView Name) {
  for (EFI_HII_HANDLE List : hiiview::PackageListHandles()) {
    if (hiiview::DriverHandleOf(List) != Driver) continue;
    hiiview::FormsScan Scan = hiiview::ScanForms(hiiview::ExportPackageList(List));
    for (const hiiview::VarStore &Store : Scan.VarStores)
      if (GuidEquals(Store.Guid, Guid) && Store.Name == Name) return Store;
  }
  return std::nullopt;
}

EFI_STATUS FindTarget(const cfgtext::ConfigHeader &Header, Target *Found) {
  Found->Driver = HandleWithDevicePath(Header.Path);
  if (Found->Driver == nullptr) return EFI_NOT_FOUND;
  void *Access = nullptr;
  if (!EFI_ERROR(SystemTable()->BootServices->HandleProtocol(Found->Driver,
                                                             &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Access)))
    Found->Access = static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(Access);
  Found->Store = DeclaredStore(Found->Driver, Header.Guid, Header.Name);
  if (Found->Access == nullptr && !Found->IsEfiStore()) return EFI_NOT_FOUND;
  return EFI_SUCCESS;
}

EFI_STATUS ReadVariable(const Text &Name, const EFI_GUID &Guid, std::vector<UINT8> *Data,
                        UINT32 *Attributes) {
  EFI_RUNTIME_SERVICES *Rt = SystemTable()->RuntimeServices;
  Data->assign(256, 0);
  UINTN Size = Data->size();
  EFI_STATUS Status = Rt->GetVariable(Name.c_str(), &Guid, Attributes, &Size, Data->data());
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Data->assign(Size, 0);
    Status = Rt->GetVariable(Name.c_str(), &Guid, Attributes, &Size, Data->data());
  }
  if (EFI_ERROR(Status)) return Status;
  Data->resize(std::min<std::size_t>(Size, Data->size()));
  return EFI_SUCCESS;
}

// Index of Progress within Text, or 0 when the callee left it elsewhere.
std::size_t IndexOf(const CHAR16 *Progress, const Text &Text) {
  if (Progress < Text.data() || Progress > Text.data() + Text.size()) return 0;
  return static_cast<std::size_t>(Progress - Text.data());
}

PieceOutcome CallDriverExtract(EFI_HII_CONFIG_ACCESS_PROTOCOL *Access, TextView Piece, Text *Answer) {
  Text Request(Piece);
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Access->ExtractConfig(Access, Request.c_str(), &Progress, &Results);
  if (!EFI_ERROR(Status)) *Answer = Text(cfgtext::ViewOf(Results));
  cfgtext::FreePool(Results);
  return {Status, EFI_ERROR(Status) ? IndexOf(Progress, Request) : 0};
}

PieceOutcome CallDriverRoute(EFI_HII_CONFIG_ACCESS_PROTOCOL *Access, TextView Piece) {
  Text Configuration(Piece);
  CHAR16 *Progress = nullptr;
  EFI_STATUS Status = Access->RouteConfig(Access, Configuration.c_str(), &Progress);
  return {Status, EFI_ERROR(Status) ? IndexOf(Progress, Configuration) : 0};
}

// Adds the alternate configurations of the owner's own answer to the router's:
// everything from the first full header that is followed by "&ALTCFG=". An
// "&ALTCFG=" with no header of its own in front is dropped without a word, as
// the reference firmware drops it.
void MergeAlternates(Text *Answer, TextView DriverAnswer) {
  for (std::size_t Header = DriverAnswer.find(u"&GUID="); Header != cfgtext::npos;
       Header = DriverAnswer.find(u"&GUID=", Header + 1)) {
    std::optional<cfgtext::ConfigHeader> Parsed = cfgtext::ParseConfigHeader(DriverAnswer.substr(Header + 1));
    if (Parsed && DriverAnswer.substr(Header + 1 + Parsed->End).starts_with(u"&ALTCFG=")) {
      *Answer += DriverAnswer.substr(Header);
      return;
    }
  }
}

PieceOutcome ExtractEfiStore(TextView Piece, const cfgtext::ConfigHeader &Header, const Target &Owner,
                             Text *Answer) {
  std::vector<UINT8> Data;
  UINT32 Attributes = 0;
  EFI_STATUS Status = ReadVariable(Header.Name, Header.Guid, &Data, &Attributes);
  if (EFI_ERROR(Status)) return {Status, 0};
  std::size_t StoreSize = Owner.Store->Size != 0 ? Owner.Store->Size : Data.size();
  Data.resize(std::max(Data.size(), StoreSize), 0);

  // A request that names no bytes asks for the whole store.
  bool WholeStore = Piece.find(u"&OFFSET=") == cfgtext::npos;
  Text Request = WholeStore
                     ? Text(Piece.substr(0, Header.End)) + u"&OFFSET=0&WIDTH=" + cfgtext::HexOfUint(StoreSize)
                     : Text(Piece);
  std::size_t Position = 0;
  Status = cfgtext::BlockToConfigText(Request, Data.data(), Data.size(), Answer, &Position);
  if (EFI_ERROR(Status)) return {Status, std::min(Position, Piece.size())};

  if (Owner.Access != nullptr) {
    Text DriverAnswer;
    if (!EFI_ERROR(CallDriverExtract(Owner.Access, Piece, &DriverAnswer).Status))
      MergeAlternates(Answer, DriverAnswer);
  }
  return {EFI_SUCCESS, 0};
}

PieceOutcome RouteEfiStore(TextView Piece, const cfgtext::ConfigHeader &Header, const Target &Owner) {
  std::vector<UINT8> Data;
  UINT32 Attributes = 0;
  EFI_STATUS Status = ReadVariable(Header.Name, Header.Guid, &Data, &Attributes);
  if (Status == EFI_NOT_FOUND) {
    Data.clear();
  } else if (EFI_ERROR(Status)) {
    return {Status, 0};
  }
  Data.resize(std::max<std::size_t>(Data.size(), Owner.Store->Size), 0);
  std::size_t BlockSize = Data.size();
  std::size_t Position = 0;
  Status = cfgtext::ConfigToBlockText(Piece, Data.data(), &BlockSize, &Position);
  if (EFI_ERROR(Status)) return {Status, Position};

  UINT32 StoreAttributes = Owner.Store->Attributes;
  if (StoreAttributes == 0) StoreAttributes = Attributes != 0 ? Attributes : DefaultEfiStoreAttributes;
  Status = SystemTable()->RuntimeServices->SetVariable(Header.Name.c_str(), &Header.Guid, StoreAttributes,
                                                       Data.size(), Data.data());
  return {Status, 0};
}

bool IsAlternateOnly(TextView Piece, const cfgtext::ConfigHeader &Header) {
  return Piece.substr(Header.End).starts_with(u"&ALTCFG=");
}

PieceOutcome ExtractOne(TextView Piece, Text *Answer) {
  std::optional<cfgtext::ConfigHeader> Header = cfgtext::ParseConfigHeader(Piece);
  if (!Header) return {EFI_INVALID_PARAMETER, 0};
  if (IsAlternateOnly(Piece, *Header)) return {EFI_SUCCESS, 0};
  Target Owner;
  EFI_STATUS Status = FindTarget(*Header, &Owner);
  if (EFI_ERROR(Status)) return {Status, 0};
  if (Owner.IsEfiStore()) return ExtractEfiStore(Piece, *Header, Owner, Answer);
  return CallDriverExtract(Owner.Access, Piece, Answer);
}

PieceOutcome RouteOne(TextView Piece) {
  std::optional<cfgtext::ConfigHeader> Header = cfgtext::ParseConfigHeader(Piece);
  if (!Header) return {EFI_INVALID_PARAMETER, 0};
  if (IsAlternateOnly(Piece, *Header)) return {EFI_SUCCESS, 0};
  Target Owner;
  EFI_STATUS Status = FindTarget(*Header, &Owner);
  if (EFI_ERROR(Status)) return {Status, 0};
  if (Owner.IsEfiStore()) return RouteEfiStore(Piece, *Header, Owner);
  return CallDriverRoute(Owner.Access, Piece);
}

// Progress for a failure in the configuration that starts at Start: the "&" in
// front of it (or the start of the text), or the place inside it the handler named.
const CHAR16 *FailurePosition(const CHAR16 *Text, std::size_t Start, std::size_t FailAt) {
  if (FailAt != 0) return Text + Start + FailAt;
  return Text + (Start == 0 ? 0 : Start - 1);
}

EFI_STATUS EFIAPI ExtractConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Request,
                                CHAR16 **Progress, CHAR16 **Results) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.ExtractConfig", &Status)) return Status;
  if (Progress == nullptr || Results == nullptr) return EFI_INVALID_PARAMETER;
  *Results = nullptr;
  *Progress = const_cast<CHAR16 *>(Request);
  TextView View = cfgtext::ViewOf(Request);
  if (Request == nullptr || !View.starts_with(u"GUID=")) return EFI_INVALID_PARAMETER;

  Text Answer;
  for (auto [Start, End] : cfgtext::SplitConfigurations(View)) {
    Text One;
    PieceOutcome Outcome = ExtractOne(View.substr(Start, End - Start), &One);
    if (EFI_ERROR(Outcome.Status)) {
      *Progress = const_cast<CHAR16 *>(FailurePosition(Request, Start, Outcome.FailAt));
      return Outcome.Status;
    }
    if (One.empty()) continue;
    if (!Answer.empty()) Answer += u'&';
    Answer += One;
  }
  *Results = cfgtext::ToPoolString(Answer);
  if (*Results == nullptr) return EFI_OUT_OF_RESOURCES;
  *Progress = const_cast<CHAR16 *>(Request + View.size());
  return EFI_SUCCESS;
}

// The header of the first variable store the list's form sets declare, under
// the driver's path; empty when there is none.
Text FirstStoreHeader(EFI_HII_HANDLE List, EFI_HANDLE Driver) {
  hiiview::FormsScan Scan = hiiview::ScanForms(hiiview::ExportPackageList(List));
  if (Scan.VarStores.empty()) return {};
  const hiiview::VarStore &Store = Scan.VarStores.front();
  return cfgtext::BuildConfigHeader(Store.Guid, Store.Name, hiiview::DevicePathOfHandle(Driver));
}

// One driver's contribution to an export: its answer to a null request or,
// when that fails, to a request for the first store of its form set.
Text ExportOneDriver(EFI_HII_HANDLE List, EFI_HANDLE Driver, EFI_HII_CONFIG_ACCESS_PROTOCOL *Access) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Access->ExtractConfig(Access, nullptr, &Progress, &Results);
  if (EFI_ERROR(Status)) {
    cfgtext::FreePool(Results);
    Results = nullptr;
    Text Request = FirstStoreHeader(List, Driver);
    if (Request.empty()) return {};
    Status = Access->ExtractConfig(Access, Request.c_str(), &Progress, &Results);
  }
  Text Answer = EFI_ERROR(Status) ? Text() : Text(cfgtext::ViewOf(Results));
  cfgtext::FreePool(Results);
  return Answer;
}

// Gathers, as the reference firmware does, what each driver that owns a package
// list and carries a config-access protocol answers: the router reads no
// variable store itself here, so a store the driver leaves out is missing.
EFI_STATUS EFIAPI ExportConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, CHAR16 **Results) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.ExportConfig", &Status)) return Status;
  if (Results == nullptr) return EFI_INVALID_PARAMETER;
  *Results = nullptr;
  Text Export;
  std::vector<EFI_HANDLE> Asked;
  for (EFI_HII_HANDLE List : hiiview::PackageListHandles()) {
    EFI_HANDLE Driver = hiiview::DriverHandleOf(List);
    if (Driver == nullptr || std::find(Asked.begin(), Asked.end(), Driver) != Asked.end()) continue;
    Asked.push_back(Driver);
    void *Access = nullptr;
    if (EFI_ERROR(SystemTable()->BootServices->HandleProtocol(Driver, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID,
                                                              &Access)))
      continue;
    Text One = ExportOneDriver(List, Driver, static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(Access));
    if (One.empty()) continue;
    if (!Export.empty()) Export += u'&';
    Export += One;
  }
  *Results = cfgtext::ToPoolString(Export);
  return *Results == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI RouteConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Configuration,
                              CHAR16 **Progress) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.RouteConfig", &Status)) return Status;
  if (Progress == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(Configuration);
  TextView View = cfgtext::ViewOf(Configuration);
  if (Configuration == nullptr || !View.starts_with(u"GUID=")) return EFI_INVALID_PARAMETER;

  for (auto [Start, End] : cfgtext::SplitConfigurations(View)) {
    PieceOutcome Outcome = RouteOne(View.substr(Start, End - Start));
    if (EFI_ERROR(Outcome.Status)) {
      *Progress = const_cast<CHAR16 *>(FailurePosition(Configuration, Start, Outcome.FailAt));
      return Outcome.Status;
    }
  }
  *Progress = const_cast<CHAR16 *>(Configuration + View.size());
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BlockToConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *ConfigRequest,
                                const UINT8 *Block, UINTN BlockSize, CHAR16 **Config, CHAR16 **Progress) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.BlockToConfig", &Status)) return Status;
  if (Progress == nullptr || Config == nullptr) return EFI_INVALID_PARAMETER;
  *Config = nullptr;
  *Progress = const_cast<CHAR16 *>(ConfigRequest);
  if (ConfigRequest == nullptr || Block == nullptr) return EFI_INVALID_PARAMETER;

  Text Out;
  std::size_t Position = 0;
  Status = cfgtext::BlockToConfigText(cfgtext::ViewOf(ConfigRequest), Block, BlockSize, &Out, &Position);
  *Progress = const_cast<CHAR16 *>(ConfigRequest + Position);
  if (EFI_ERROR(Status)) return Status;
  *Config = cfgtext::ToPoolString(Out);
  return *Config == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI ConfigToBlock(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *ConfigResp,
                                UINT8 *Block, UINTN *BlockSize, CHAR16 **Progress) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.ConfigToBlock", &Status)) return Status;
  if (Progress == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(ConfigResp);
  if (ConfigResp == nullptr || Block == nullptr || BlockSize == nullptr) return EFI_INVALID_PARAMETER;

  std::size_t Size = *BlockSize;
  std::size_t Position = 0;
  Status = cfgtext::ConfigToBlockText(cfgtext::ViewOf(ConfigResp), Block, &Size, &Position);
  *Progress = const_cast<CHAR16 *>(ConfigResp + Position);
  if (Status == EFI_SUCCESS || Status == EFI_BUFFER_TOO_SMALL) *BlockSize = Size;
  return Status;
}

EFI_STATUS EFIAPI GetAltConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *, const EFI_GUID *,
                               const CHAR16 *, const EFI_DEVICE_PATH_PROTOCOL *, const UINT16 *,
                               CHAR16 **AltCfgResp) {
  EFI_STATUS Status;
  if (TakeInjectedFault("ConfigRouting.GetAltConfig", &Status)) return Status;
  if (AltCfgResp != nullptr) *AltCfgResp = nullptr;
  return EFI_UNSUPPORTED;
}

EFI_HII_CONFIG_ROUTING_PROTOCOL RouterProtocol = {ExtractConfig, ExportConfig,  RouteConfig,
                                                  BlockToConfig, ConfigToBlock, GetAltConfig};

void InstallRouter() {
  EFI_HANDLE Handle = nullptr;
  SystemTable()->BootServices->InstallProtocolInterface(&Handle, &EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID,
                                                        EFI_NATIVE_INTERFACE, &RouterProtocol);
}

ComponentRegistrar RegisterRouter("ConfigRouting", 20, InstallRouter);

}  // namespace
}  // namespace sim

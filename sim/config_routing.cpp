// The simulated configuration router. It finds the owner of a configuration
// through the device path in its PATH field; UEFI variable stores declared by
// the owner's form set are read and written here directly (the owner's
// ExtractConfig only contributes its alternate configurations), every other
// store goes to the owner's config-access protocol. An export is made of what
// the drivers themselves answer.
//
// As the reference firmware does, a request that is a bare header asks for one
// element per question of the store ("&OFFSET=%04x&WIDTH=%04x", in offset
// order), and every answer is followed by the defaults the owner's IFR gives
// for the requested questions, one "&ALTCFG=" section per declared default
// store, unless the owner's own answer already has a section of that id.
#include <algorithm>
#include <optional>

#include "sim/config_text.h"
#include "sim/hii_forms.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
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
  hiiview::FormsScan Scan;  // of the package list that declares Store
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

void FindDeclaredStore(EFI_HANDLE Driver, const EFI_GUID &Guid, TextView Name, Target *Found) {
  for (EFI_HII_HANDLE List : hiiview::PackageListHandles()) {
    if (hiiview::DriverHandleOf(List) != Driver) continue;
    hiiview::FormsScan Scan = hiiview::ScanForms(hiiview::ExportPackageList(List));
    for (const hiiview::VarStore &Store : Scan.VarStores) {
      if (!GuidEquals(Store.Guid, Guid) || Store.Name != Name) continue;
      Found->Store = Store;
      Found->Scan = std::move(Scan);
      return;
    }
  }
}

EFI_STATUS FindTarget(const cfgtext::ConfigHeader &Header, Target *Found) {
  Found->Driver = HandleWithDevicePath(Header.Path);
  if (Found->Driver == nullptr) return EFI_NOT_FOUND;
  void *Access = nullptr;
  if (!EFI_ERROR(SystemTable()->BootServices->HandleProtocol(Found->Driver,
                                                             &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Access)))
    Found->Access = static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(Access);
  FindDeclaredStore(Found->Driver, Header.Guid, Header.Name, Found);
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

// At least four lowercase digits, as the router writes OFFSET and WIDTH itself.
Text Hex4(UINT64 Value) {
  Text Digits = cfgtext::HexOfUint(Value);
  return Text(Digits.size() < 4 ? 4 - Digits.size() : 0, u'0') + Digits;
}

// The questions of the target's store, in offset order, each block once.
std::vector<const hiiview::Question *> StoreQuestions(const Target &Owner) {
  std::vector<const hiiview::Question *> Found;
  for (const hiiview::Question &Q : Owner.Scan.Questions)
    if (Q.FormSet == Owner.Store->FormSet && Q.VarStoreId == Owner.Store->Id) Found.push_back(&Q);
  std::stable_sort(Found.begin(), Found.end(), [](const hiiview::Question *A, const hiiview::Question *B) {
    return A->VarOffset != B->VarOffset ? A->VarOffset < B->VarOffset : A->Width < B->Width;
  });
  Found.erase(std::unique(Found.begin(), Found.end(),
                          [](const hiiview::Question *A, const hiiview::Question *B) {
                            return A->VarOffset == B->VarOffset && A->Width == B->Width;
                          }),
              Found.end());
  return Found;
}

// A bare header becomes a request for every question of the store; a request
// that names its blocks, or a store without questions, stays as it is.
Text ExpandRequest(TextView Piece, const cfgtext::ConfigHeader &Header, const Target &Owner) {
  if (Piece.size() != Header.End || !Owner.Store) return Text(Piece);
  Text Request(Piece);
  for (const hiiview::Question *Q : StoreQuestions(Owner))
    Request += u"&OFFSET=" + Hex4(Q->VarOffset) + u"&WIDTH=" + Hex4(Q->Width);
  return Request;
}

struct Block {
  UINT64 Offset;
  UINT64 Width;
};

// The OFFSET/WIDTH pairs of a request (the caller's or the expanded one).
std::vector<Block> RequestedBlocks(TextView Request) {
  std::vector<Block> Blocks;
  for (std::size_t At = Request.find(u"&OFFSET="); At != cfgtext::npos;
       At = Request.find(u"&OFFSET=", At + 1)) {
    TextView OffsetDigits = cfgtext::ElementValue(Request, At + 1, u"OFFSET=");
    std::size_t WidthAt = At + 8 + OffsetDigits.size();
    if (Request.substr(WidthAt, 7) != u"&WIDTH=") continue;
    std::optional<UINT64> Offset = cfgtext::UintOfHex(OffsetDigits);
    std::optional<UINT64> Width = cfgtext::UintOfHex(cfgtext::ElementValue(Request, WidthAt + 1, u"WIDTH="));
    if (Offset && Width) Blocks.push_back({*Offset, *Width});
  }
  return Blocks;
}

bool InsideABlock(const hiiview::Question &Q, const std::vector<Block> &Blocks) {
  for (const Block &Each : Blocks)
    if (Q.VarOffset >= Each.Offset && Q.Width <= Each.Width &&
        Q.VarOffset - Each.Offset <= Each.Width - Q.Width)
      return true;
  return false;
}

bool HasAlternate(TextView Answer, EFI_DEFAULT_ID Id) {
  for (std::size_t At = Answer.find(u"&ALTCFG="); At != cfgtext::npos;
       At = Answer.find(u"&ALTCFG=", At + 1)) {
    TextView Digits = cfgtext::ElementValue(Answer, At + 1, u"ALTCFG=");
    std::optional<UINT64> Value = cfgtext::UintOfHex(Digits);
    if (Value && *Value == Id) return true;
  }
  return false;
}

// The defaults of the requested questions, one section per default store of
// the form set that the owner's answer does not already cover.
void AppendIfrAlternates(Text *Answer, TextView Header, TextView Request, const Target &Owner) {
  if (!Owner.Store) return;
  const std::vector<Block> Blocks = RequestedBlocks(Request);
  const std::vector<const hiiview::Question *> Questions = StoreQuestions(Owner);
  for (const hiiview::DefaultStore &Store : Owner.Scan.DefaultStores) {
    if (Store.FormSet != Owner.Store->FormSet || HasAlternate(*Answer, Store.Id)) continue;
    Text Section;
    for (const hiiview::Question *Q : Questions) {
      std::optional<UINT64> Value = Q->DefaultFor(Store.Id);
      if (!Value || Q->Width == 0 || Q->Width > 8 || !InsideABlock(*Q, Blocks)) continue;
      UINT8 Bytes[8];
      for (UINT32 Index = 0; Index < Q->Width; ++Index)
        Bytes[Index] = static_cast<UINT8>(*Value >> (8 * Index));
      Section += u"&OFFSET=" + Hex4(Q->VarOffset) + u"&WIDTH=" + Hex4(Q->Width) + u"&VALUE=" +
                 cfgtext::HexOfNumber(Bytes, Q->Width);
    }
    if (!Section.empty()) *Answer += u"&" + Text(Header) + u"&ALTCFG=" + Hex4(Store.Id) + Section;
  }
}

PieceOutcome CallDriverExtract(EFI_HII_CONFIG_ACCESS_PROTOCOL *Access, TextView Piece, Text *Answer) {
  Text Request(Piece);
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status;
  {
    internal::ForeignCode Driver;
    Status = Access->ExtractConfig(Access, Request.c_str(), &Progress, &Results);
  }
  if (!EFI_ERROR(Status)) *Answer = Text(cfgtext::ViewOf(Results));
  cfgtext::FreePool(Results);
  return {Status, EFI_ERROR(Status) ? IndexOf(Progress, Request) : 0};
}

PieceOutcome CallDriverRoute(EFI_HII_CONFIG_ACCESS_PROTOCOL *Access, TextView Piece) {
  Text Configuration(Piece);
  CHAR16 *Progress = nullptr;
  EFI_STATUS Status;
  {
    internal::ForeignCode Driver;
    Status = Access->RouteConfig(Access, Configuration.c_str(), &Progress);
  }
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
  // (Piece is the expanded request: a bare header reached here only for a
  // store without questions.)
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
  // As in the reference firmware, an alternate configuration inside the piece
  // is refused where it starts, and an element past the store is reported at
  // the start of the configuration; the variable is not written either way.
  Status = cfgtext::ConfigToBlockText(Piece, Data.data(), &BlockSize, &Position);
  if (Status == EFI_BUFFER_TOO_SMALL) return {Status, 0};
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
  const Text Request = ExpandRequest(Piece, *Header, Owner);
  PieceOutcome Outcome = Owner.IsEfiStore() ? ExtractEfiStore(Request, *Header, Owner, Answer)
                                            : CallDriverExtract(Owner.Access, Request, Answer);
  // A failure inside the router's own expansion has no place in the caller's text.
  if (Outcome.FailAt > Piece.size()) Outcome.FailAt = 0;
  if (!EFI_ERROR(Outcome.Status)) AppendIfrAlternates(Answer, Piece.substr(0, Header->End), Request, Owner);
  return Outcome;
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
  internal::ServiceCall Call("ConfigRouting.ExtractConfig");
  if (Call.Fails(&Status)) return Status;
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
  EFI_STATUS Status;
  {
    internal::ForeignCode Owner;
    Status = Access->ExtractConfig(Access, nullptr, &Progress, &Results);
  }
  if (EFI_ERROR(Status)) {
    cfgtext::FreePool(Results);
    Results = nullptr;
    Text Request = FirstStoreHeader(List, Driver);
    if (Request.empty()) return {};
    internal::ForeignCode Owner;
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
  internal::ServiceCall Call("ConfigRouting.ExportConfig");
  if (Call.Fails(&Status)) return Status;
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
  internal::ServiceCall Call("ConfigRouting.RouteConfig");
  if (Call.Fails(&Status)) return Status;
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
  internal::ServiceCall Call("ConfigRouting.BlockToConfig");
  if (Call.Fails(&Status)) return Status;
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
  internal::ServiceCall Call("ConfigRouting.ConfigToBlock");
  if (Call.Fails(&Status)) return Status;
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
  internal::ServiceCall Call("ConfigRouting.GetAltConfig");
  if (Call.Fails(&Status)) return Status;
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

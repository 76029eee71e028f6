// The simulated form browser: no screen, only the edit buffers of one open form
// set, which drivers reach through BrowserCallback exactly as they would while a
// user has their page open.
#include "sim/browser.h"
#include "sim/config_text.h"
#include "sim/hii_forms.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace {

using cfgtext::Text;
using cfgtext::TextView;

struct Storage {
  EFI_GUID Guid;
  std::u16string Name;
  std::vector<UINT8> Buffer;
};

struct BrowserState {
  bool Open = false;
  std::vector<Storage> Storages;
};

BrowserState &State() {
  static BrowserState Browser;
  return Browser;
}

// Fills Buffer with the store's current contents as the router reports them;
// Buffer keeps its zeros when the router cannot answer or answers beyond it.
void LoadThroughRouter(const hiiview::VarStore &Store, const std::vector<UINT8> &Path,
                       std::vector<UINT8> *Buffer) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Routing = hiiview::Router();
  if (Routing == nullptr || Buffer->empty()) return;
  Text Request = cfgtext::BuildConfigHeader(Store.Guid, Store.Name, Path) + u"&OFFSET=0&WIDTH=" +
                 cfgtext::HexOfUint(Buffer->size());
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  if (!EFI_ERROR(Routing->ExtractConfig(Routing, Request.c_str(), &Progress, &Results))) {
    std::vector<UINT8> Loaded(Buffer->size(), 0);
    std::size_t Size = Loaded.size();
    std::size_t Position = 0;
    const TextView Current = cfgtext::CurrentConfiguration(cfgtext::ViewOf(Results));
    if (!EFI_ERROR(cfgtext::ConfigToBlockText(Current, Loaded.data(), &Size, &Position)))
      *Buffer = std::move(Loaded);
  }
  cfgtext::FreePool(Results);
}

Storage *FindStorage(const EFI_GUID *Guid, const CHAR16 *Name) {
  TextView WantedName = cfgtext::ViewOf(Name);
  for (Storage &Candidate : State().Storages) {
    if (Guid != nullptr && !GuidEquals(Candidate.Guid, *Guid)) continue;
    if (Name != nullptr && Candidate.Name != WantedName) continue;
    return &Candidate;
  }
  return nullptr;
}

Text StorageBody(const Storage &Store) {
  return u"OFFSET=0&WIDTH=" + cfgtext::HexOfUint(Store.Buffer.size()) + u"&VALUE=" +
         cfgtext::HexOfNumber(Store.Buffer.data(), Store.Buffer.size());
}

EFI_STATUS RetrieveStorage(const Storage &Store, UINTN *ResultsDataSize, CHAR16 *ResultsData) {
  Text Body = StorageBody(Store);
  UINTN Needed = (Body.size() + 1) * sizeof(CHAR16);
  if (*ResultsDataSize < Needed) {
    *ResultsDataSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (ResultsData == nullptr) return EFI_INVALID_PARAMETER;
  Body.copy(ResultsData, Body.size());
  ResultsData[Body.size()] = 0;
  *ResultsDataSize = Needed;
  return EFI_SUCCESS;
}

// The body is applied only when all of it is well formed and inside the buffer.
EFI_STATUS UpdateStorage(Storage &Store, const CHAR16 *ResultsData) {
  if (ResultsData == nullptr) return EFI_INVALID_PARAMETER;
  std::vector<UINT8> Updated = Store.Buffer;
  std::size_t Size = Updated.size();
  std::size_t Position = 0;
  EFI_STATUS Status =
      cfgtext::ConfigToBlockText(cfgtext::ViewOf(ResultsData), Updated.data(), &Size, &Position);
  if (EFI_ERROR(Status)) return Status;
  Store.Buffer = std::move(Updated);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SendForm(const EFI_FORM_BROWSER2_PROTOCOL *, EFI_HII_HANDLE *, UINTN, EFI_GUID *,
                           EFI_FORM_ID, const void *, EFI_BROWSER_ACTION_REQUEST *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("FormBrowser2.SendForm");
  if (Call.Fails(&Status)) return Status;
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI BrowserCallback(const EFI_FORM_BROWSER2_PROTOCOL *, UINTN *ResultsDataSize,
                                  CHAR16 *ResultsData, BOOLEAN RetrieveData, const EFI_GUID *VariableGuid,
                                  const CHAR16 *VariableName) {
  EFI_STATUS Status;
  internal::ServiceCall Call("FormBrowser2.BrowserCallback");
  if (Call.Fails(&Status)) return Status;
  if (ResultsDataSize == nullptr) return EFI_INVALID_PARAMETER;
  if (!State().Open) return EFI_NOT_FOUND;
  Storage *Store = FindStorage(VariableGuid, VariableName);
  if (Store == nullptr) return EFI_NOT_FOUND;
  return RetrieveData ? RetrieveStorage(*Store, ResultsDataSize, ResultsData)
                      : UpdateStorage(*Store, ResultsData);
}

EFI_FORM_BROWSER2_PROTOCOL BrowserProtocol = {SendForm, BrowserCallback};

void InstallFormBrowser() {
  CloseFormSet();
  EFI_HANDLE Handle = nullptr;
  SystemTable()->BootServices->InstallProtocolInterface(&Handle, &EFI_FORM_BROWSER2_PROTOCOL_GUID,
                                                        EFI_NATIVE_INTERFACE, &BrowserProtocol);
}

ComponentRegistrar RegisterFormBrowser("FormBrowser2", 22, InstallFormBrowser);

}  // namespace

EFI_STATUS OpenFormSet(EFI_HII_HANDLE Handle) {
  CloseFormSet();
  std::vector<UINT8> Export = hiiview::ExportPackageList(Handle);
  if (Export.empty()) return EFI_NOT_FOUND;
  hiiview::FormsScan Scan = hiiview::ScanForms(Export);
  std::vector<UINT8> Path = hiiview::DevicePathOfList(Handle, Export);
  for (const hiiview::VarStore &Declared : Scan.VarStores) {
    if (FindStorage(&Declared.Guid, Declared.Name.c_str()) != nullptr) continue;
    Storage Store{Declared.Guid, Declared.Name, std::vector<UINT8>(Declared.Size, 0)};
    LoadThroughRouter(Declared, Path, &Store.Buffer);
    State().Storages.push_back(std::move(Store));
  }
  if (State().Storages.empty()) return EFI_NOT_FOUND;
  State().Open = true;
  return EFI_SUCCESS;
}

std::vector<UINT8> *EditBuffer(const EFI_GUID &Guid, const std::u16string &Name) {
  if (!State().Open) return nullptr;
  Storage *Store = FindStorage(&Guid, Name.c_str());
  return Store == nullptr ? nullptr : &Store->Buffer;
}

void CloseFormSet() {
  State().Open = false;
  State().Storages.clear();
}

bool FormSetIsOpen() { return State().Open; }

}  // namespace sim

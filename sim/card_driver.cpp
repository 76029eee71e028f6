// Add-on card fixtures (see card_fixture.h): the card driver. It does what a
// card's own UEFI driver does for its setup pages: a handle for the port, the
// port's device path, a configuration-access protocol serving the card's buffer
// stores, and the package list registered on that handle.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "sim/card_fixture.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace {

// The located services a card driver keeps from its start, as real drivers do
// (so that faults armed for the code under test are not taken by the card).
struct CardServices {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = nullptr;
};

struct CardEntry {
  std::unique_ptr<CardDriver> Card;
  CardServices Services;
};

std::vector<CardEntry> &Cards() {
  static std::vector<CardEntry> List;
  return List;
}

void DropCards() { Cards().clear(); }
const ComponentRegistrar CardRegistrar("cards", 0, DropCards);

CardEntry *FindCard(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This) {
  for (CardEntry &Entry : Cards())
    if (&Entry.Card->ConfigAccess == This) return &Entry;
  return nullptr;
}

UINT16 Read16(const UINT8 *Bytes) { return static_cast<UINT16>(Bytes[0] | (Bytes[1] << 8)); }
UINT32 Read32(const UINT8 *Bytes) { return Read16(Bytes) | (static_cast<UINT32>(Read16(Bytes + 2)) << 16); }

std::string AsciiName(const UINT8 *Name, const UINT8 *Limit) {
  std::string Text;
  while (Name < Limit && *Name != 0) Text.push_back(static_cast<char>(*Name++));
  return Text;
}

// The stores an opcode declares, read within the opcode's own length.
std::optional<CardStore> StoreOfOpcode(const UINT8 *Op, UINTN Length) {
  CardStore Store;
  if (Op[0] == EFI_IFR_VARSTORE_OP && Length >= 23) {
    std::memcpy(&Store.Guid, Op + 2, sizeof(EFI_GUID));
    Store.Id = Read16(Op + 18);
    Store.Size = Read16(Op + 20);
    Store.Name = AsciiName(Op + 22, Op + Length);
  } else if (Op[0] == EFI_IFR_VARSTORE_EFI_OP && Length >= 27) {
    Store.Id = Read16(Op + 2);
    std::memcpy(&Store.Guid, Op + 4, sizeof(EFI_GUID));
    Store.Attributes = Read32(Op + 20);
    Store.Size = Read16(Op + 24);
    Store.Name = AsciiName(Op + 26, Op + Length);
    Store.IsEfi = true;
  } else {
    return std::nullopt;
  }
  Store.Bytes.assign(Store.Size, 0);
  return Store;
}

// Every store declared in the forms packages of a package list.
std::vector<CardStore> DeclaredStores(const std::vector<UINT8> &List) {
  std::vector<CardStore> Stores;
  if (List.size() < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) return Stores;
  const UINTN ListLength = std::min<UINTN>(List.size(), Read32(List.data() + 16));
  for (UINTN Package = sizeof(EFI_HII_PACKAGE_LIST_HEADER); Package + 4 <= ListLength;) {
    const UINT8 *Header = List.data() + Package;
    const UINTN PackageLength = Header[0] | (Header[1] << 8) | (Header[2] << 16);
    if (PackageLength < 4 || PackageLength > ListLength - Package) break;
    if (Header[3] == EFI_HII_PACKAGE_FORMS) {
      for (UINTN Op = 4; Op + 2 <= PackageLength;) {
        const UINTN OpLength = Header[Op + 1] & IFR_LENGTH_MASK;
        if (OpLength < 2 || OpLength > PackageLength - Op) break;
        if (auto Store = StoreOfOpcode(Header + Op, OpLength)) Stores.push_back(std::move(*Store));
        Op += OpLength;
      }
    }
    Package += PackageLength;
  }
  return Stores;
}

// ---- configuration text ------------------------------------------------------------

std::u16string HexBytes(const UINT8 *Bytes, UINTN Count) {
  static constexpr char16_t Digits[] = u"0123456789abcdef";
  std::u16string Text;
  for (UINTN Index = 0; Index < Count; ++Index) {
    Text.push_back(Digits[Bytes[Index] >> 4]);
    Text.push_back(Digits[Bytes[Index] & 0xF]);
  }
  return Text;
}

std::u16string HexNumber(UINTN Value) {
  static constexpr char16_t Digits[] = u"0123456789abcdef";
  std::u16string Text;
  do {
    Text.insert(Text.begin(), Digits[Value & 0xF]);
    Value >>= 4;
  } while (Value != 0);
  return Text;
}

std::optional<UINT8> HexDigit(char16_t Unit) {
  if (Unit >= u'0' && Unit <= u'9') return static_cast<UINT8>(Unit - u'0');
  if (Unit >= u'a' && Unit <= u'f') return static_cast<UINT8>(Unit - u'a' + 10);
  if (Unit >= u'A' && Unit <= u'F') return static_cast<UINT8>(Unit - u'A' + 10);
  return std::nullopt;
}

// The value of NAME=... up to the next '&', when Text starts with "NAME=".
std::optional<std::u16string_view> Field(std::u16string_view Text, std::u16string_view Name) {
  if (Text.substr(0, Name.size()) != Name) return std::nullopt;
  Text.remove_prefix(Name.size());
  return Text.substr(0, Text.find(u'&'));
}

std::optional<std::vector<UINT8>> DecodeHex(std::u16string_view Digits) {
  if (Digits.size() % 2 != 0) return std::nullopt;
  std::vector<UINT8> Bytes;
  for (std::size_t Index = 0; Index < Digits.size(); Index += 2) {
    const auto High = HexDigit(Digits[Index]);
    const auto Low = HexDigit(Digits[Index + 1]);
    if (!High || !Low) return std::nullopt;
    Bytes.push_back(static_cast<UINT8>(*High << 4 | *Low));
  }
  return Bytes;
}

std::u16string ConfigName(const std::string &Name) {
  std::u16string Text;
  for (char Ascii : Name) {
    const auto Unit = static_cast<UINT16>(static_cast<unsigned char>(Ascii));
    const UINT8 BigEndian[2] = {static_cast<UINT8>(Unit >> 8), static_cast<UINT8>(Unit)};
    Text += HexBytes(BigEndian, 2);
  }
  return Text;
}

// The buffer or EFI store a configuration header (GUID=...&NAME=...) names:
// GUID bytes and name characters compared as values, whatever the digits' case.
CardStore *StoreOfHeader(CardDriver &Card, std::u16string_view Text) {
  const auto GuidDigits = Field(Text, u"GUID=");
  if (!GuidDigits || GuidDigits->size() != 2 * sizeof(EFI_GUID)) return nullptr;
  const auto Guid = DecodeHex(*GuidDigits);
  Text.remove_prefix(5 + GuidDigits->size());
  const auto NameDigits = Field(Text, u"&NAME=");
  if (!Guid || !NameDigits || NameDigits->size() % 4 != 0) return nullptr;
  const auto NameBytes = DecodeHex(*NameDigits);
  if (!NameBytes) return nullptr;
  for (CardStore &Store : Card.Stores) {
    if (std::memcmp(Guid->data(), &Store.Guid, sizeof(EFI_GUID)) != 0) continue;
    if (NameBytes->size() != 2 * Store.Name.size()) continue;
    bool Same = true;
    for (std::size_t Index = 0; Index < Store.Name.size() && Same; ++Index)
      Same = (*NameBytes)[2 * Index] == 0 &&
             (*NameBytes)[2 * Index + 1] == static_cast<unsigned char>(Store.Name[Index]);
    if (Same) return &Store;
  }
  return nullptr;
}

std::u16string WholeStoreRequest(const CardDriver &Card, const CardStore &Store) {
  return u"GUID=" + HexBytes(reinterpret_cast<const UINT8 *>(&Store.Guid), sizeof(EFI_GUID)) + u"&NAME=" +
         ConfigName(Store.Name) + u"&PATH=" + HexBytes(Card.DevicePath.data(), Card.DevicePath.size()) +
         u"&OFFSET=0&WIDTH=" + HexNumber(Store.Size);
}

// ---- the configuration-access protocol ----------------------------------------------

// A null request asks for every buffer store, the answers joined by '&'.
EFI_STATUS ExtractEveryStore(CardEntry &Entry, CHAR16 **Results) {
  EFI_BOOT_SERVICES *Bs = SystemTable()->BootServices;
  std::u16string Joined;
  for (const CardStore &Store : Entry.Card->Stores) {
    if (Store.IsEfi) continue;
    const std::u16string Request = WholeStoreRequest(*Entry.Card, Store);
    CHAR16 *Answer = nullptr;
    CHAR16 *Progress = nullptr;
    const EFI_STATUS Status = Entry.Services.Router->BlockToConfig(
        Entry.Services.Router, Request.c_str(), Store.Bytes.data(), Store.Bytes.size(), &Answer, &Progress);
    if (EFI_ERROR(Status)) return Status;
    if (!Joined.empty()) Joined += u'&';
    Joined += Answer;
    Bs->FreePool(Answer);
  }
  if (Joined.empty()) return EFI_NOT_FOUND;
  void *Block = nullptr;
  const EFI_STATUS Status =
      Bs->AllocatePool(EfiBootServicesData, (Joined.size() + 1) * sizeof(CHAR16), &Block);
  if (EFI_ERROR(Status)) return Status;
  std::memcpy(Block, Joined.c_str(), (Joined.size() + 1) * sizeof(CHAR16));
  *Results = static_cast<CHAR16 *>(Block);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CardExtractConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Request,
                                    CHAR16 **Progress, CHAR16 **Results) {
  internal::PlatformCode OtherDriver;
  EFI_STATUS Status;
  if (TakeInjectedFault("CardConfigAccess.ExtractConfig", &Status)) return Status;
  CardEntry *Entry = FindCard(This);
  if (Entry == nullptr || Progress == nullptr || Results == nullptr) return EFI_INVALID_PARAMETER;
  CardDriver &Card = *Entry->Card;
  ++Card.ExtractConfigCalls;
  *Progress = const_cast<CHAR16 *>(Request);
  *Results = nullptr;
  if (Request == nullptr) {
    Card.LastRequest.clear();
    return ExtractEveryStore(*Entry, Results);
  }
  const std::u16string_view Text(Request);
  Card.LastRequest = Text;
  // EFI variable stores are read by the router itself.
  const CardStore *Store = StoreOfHeader(Card, Text);
  if (Store == nullptr || Store->IsEfi) return EFI_NOT_FOUND;

  // A bare header asks for the whole store.
  const bool HasBlocks = Text.find(u"&OFFSET=") != std::u16string_view::npos;
  std::u16string Full(Text);
  if (!HasBlocks) Full += u"&OFFSET=0&WIDTH=" + HexNumber(Store->Size);
  CHAR16 *BlockProgress = nullptr;
  Status = Entry->Services.Router->BlockToConfig(Entry->Services.Router, Full.c_str(), Store->Bytes.data(),
                                                 Store->Bytes.size(), Results, &BlockProgress);
  if (EFI_ERROR(Status)) {
    const bool InRequest =
        HasBlocks && BlockProgress >= Full.c_str() && BlockProgress <= Full.c_str() + Text.size();
    if (InRequest) *Progress = const_cast<CHAR16 *>(Request) + (BlockProgress - Full.c_str());
    return Status;
  }
  *Progress = const_cast<CHAR16 *>(Request) + Text.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CardRouteConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Configuration,
                                  CHAR16 **Progress) {
  internal::PlatformCode OtherDriver;
  EFI_STATUS Status;
  if (TakeInjectedFault("CardConfigAccess.RouteConfig", &Status)) return Status;
  CardEntry *Entry = FindCard(This);
  if (Entry == nullptr || Configuration == nullptr || Progress == nullptr) return EFI_INVALID_PARAMETER;
  CardDriver &Card = *Entry->Card;
  ++Card.RouteConfigCalls;
  const std::u16string_view Text(Configuration);
  Card.LastConfiguration = Text;
  *Progress = const_cast<CHAR16 *>(Configuration);
  CardStore *Store = StoreOfHeader(Card, Text);
  if (Store == nullptr || Store->IsEfi) return EFI_NOT_FOUND;

  // Applied to a copy, so that a refused configuration leaves the store as it
  // was; alternate configurations that follow are ignored.
  std::vector<UINT8> Block = Store->Bytes;
  UINTN BlockSize = Block.size();
  CHAR16 *BlockProgress = nullptr;
  std::u16string Current(Text.substr(0, std::min(Text.find(u"&ALTCFG="), Text.find(u"&GUID="))));
  Status = Entry->Services.Router->ConfigToBlock(Entry->Services.Router, Current.c_str(), Block.data(),
                                                 &BlockSize, &BlockProgress);
  if (EFI_ERROR(Status)) {
    if (BlockProgress >= Current.c_str() && BlockProgress <= Current.c_str() + Current.size())
      *Progress = const_cast<CHAR16 *>(Configuration) + (BlockProgress - Current.c_str());
    return Status;
  }
  Store->Bytes = std::move(Block);
  *Progress = const_cast<CHAR16 *>(Configuration) + Text.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CardCallback(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, EFI_BROWSER_ACTION, EFI_QUESTION_ID,
                               UINT8, EFI_IFR_TYPE_VALUE *, EFI_BROWSER_ACTION_REQUEST *) {
  return EFI_UNSUPPORTED;
}

// ---- publishing ------------------------------------------------------------------------

void *Locate(const EFI_GUID &Protocol, const char *What) {
  void *Interface = nullptr;
  const EFI_STATUS Status = SystemTable()->BootServices->LocateProtocol(&Protocol, nullptr, &Interface);
  if (EFI_ERROR(Status) || Interface == nullptr)
    throw std::runtime_error(std::string("PublishCard: no ") + What);
  return Interface;
}

// The port's path: the PCI function's path, then a MAC node with a locally
// administered address made of the location and the port number.
std::vector<UINT8> PortPath(const PciFunction &Pci, UINT8 Port) {
  std::vector<UINT8> Path = Pci.DevicePath;
  Path.resize(Path.size() - END_DEVICE_PATH_LENGTH);
  constexpr UINT8 MessagingPath = 0x03, MacAddressNode = 0x0B, MacNodeLength = 37, EthernetIfType = 1;
  const std::size_t Node = Path.size();
  Path.insert(Path.end(), {MessagingPath, MacAddressNode, MacNodeLength, 0});
  Path.resize(Node + MacNodeLength, 0);
  const UINT8 Mac[6] = {0x02,
                        0x00,
                        0x00,
                        static_cast<UINT8>(Pci.Location.Bus),
                        static_cast<UINT8>(Pci.Location.Device << 3 | (Pci.Location.Function & 7)),
                        Port};
  std::memcpy(Path.data() + Node + 4, Mac, sizeof(Mac));
  Path[Node + 36] = EthernetIfType;
  Path.insert(Path.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, END_DEVICE_PATH_LENGTH, 0});
  return Path;
}

void ApplyInitialContents(std::vector<CardStore> &Stores, const std::vector<StoreContents> &Initial) {
  for (const StoreContents &Given : Initial) {
    auto Store =
        std::find_if(Stores.begin(), Stores.end(), [&](const CardStore &S) { return S.Name == Given.Name; });
    if (Store == Stores.end()) throw std::invalid_argument("PublishCard: no store named " + Given.Name);
    if (Given.Bytes.size() > Store->Bytes.size())
      throw std::invalid_argument("PublishCard: contents larger than store " + Given.Name);
    std::copy(Given.Bytes.begin(), Given.Bytes.end(), Store->Bytes.begin());
  }
}

void CreateEfiVariables(const std::vector<CardStore> &Stores) {
  for (const CardStore &Store : Stores) {
    if (!Store.IsEfi) continue;
    const std::u16string Name(Store.Name.begin(), Store.Name.end());
    std::vector<UINT8> Bytes = Store.Bytes;
    const EFI_STATUS Status = SystemTable()->RuntimeServices->SetVariable(
        Name.c_str(), &Store.Guid, Store.Attributes, Bytes.size(), Bytes.data());
    if (EFI_ERROR(Status)) throw std::runtime_error("PublishCard: cannot create variable " + Store.Name);
  }
}

}  // namespace

std::vector<UINT8> &CardDriver::Store(std::string_view Name) {
  for (CardStore &Each : Stores)
    if (!Each.IsEfi && Each.Name == Name) return Each.Bytes;
  throw std::out_of_range("no buffer store named " + std::string(Name));
}

namespace {

CardDriver &Publish(PciFunction *Pci, std::vector<UINT8> DevicePath, const std::vector<UINT8> &PackageList,
                    const std::vector<StoreContents> &Initial) {
  auto Card = std::make_unique<CardDriver>();
  Card->Pci = Pci;
  Card->DevicePath = std::move(DevicePath);
  Card->PackageList = PackageList;
  Card->Stores = DeclaredStores(PackageList);
  ApplyInitialContents(Card->Stores, Initial);
  Card->ConfigAccess = {CardExtractConfig, CardRouteConfig, CardCallback};

  CardServices Services;
  Services.Router =
      static_cast<EFI_HII_CONFIG_ROUTING_PROTOCOL *>(Locate(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, "router"));
  auto *Database =
      static_cast<EFI_HII_DATABASE_PROTOCOL *>(Locate(EFI_HII_DATABASE_PROTOCOL_GUID, "HII database"));
  Cards().push_back({std::move(Card), Services});
  CardDriver &Published = *Cards().back().Card;

  EFI_BOOT_SERVICES *Bs = SystemTable()->BootServices;
  EFI_STATUS Status =
      Published.DevicePath.empty()
          ? Bs->InstallMultipleProtocolInterfaces(&Published.Handle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID,
                                                  &Published.ConfigAccess, nullptr)
          : Bs->InstallMultipleProtocolInterfaces(
                &Published.Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, Published.DevicePath.data(),
                &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Published.ConfigAccess, nullptr);
  if (EFI_ERROR(Status)) throw std::runtime_error("PublishCard: protocol installation failed");
  // The stores hold their values before the forms become visible.
  CreateEfiVariables(Published.Stores);
  Status = Database->NewPackageList(
      Database, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(Published.PackageList.data()),
      Published.Handle, &Published.HiiHandle);
  if (EFI_ERROR(Status)) throw std::runtime_error("PublishCard: the HII database refused the package list");
  return Published;
}

}  // namespace

CardDriver &PublishCard(PciFunction &Pci, const std::vector<UINT8> &PackageList,
                        const std::vector<StoreContents> &Initial) {
  UINT8 Port = 0;
  for (const CardEntry &Entry : Cards()) Port = static_cast<UINT8>(Port + (Entry.Card->Pci == &Pci));
  return Publish(&Pci, PortPath(Pci, Port), PackageList, Initial);
}

CardDriver &PublishCardOnPath(const std::vector<UINT8> &DevicePath, const std::vector<UINT8> &PackageList,
                              const std::vector<StoreContents> &Initial) {
  return Publish(nullptr, DevicePath, PackageList, Initial);
}

}  // namespace sim

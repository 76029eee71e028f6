// The firmware tests' card driver (see card_publisher.h).
#include "qemu/card_publisher.h"

#include "driver/globals.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "uefi/guids.h"

namespace {

constexpr UINT32 PUBLISHED_CARD_SIGNATURE = 0x44524143;  // "CARD"
constexpr UINT8 MESSAGING_DEVICE_PATH = 0x03;
constexpr UINT8 MSG_MAC_ADDR_DP = 0x0B;
constexpr UINT8 MAC_NODE_LENGTH = 37;  // header, 32-byte address, interface type
constexpr UINT8 ETHERNET_IF_TYPE = 1;
constexpr UINTN MAX_STORE_NAME_CHARS = 64;
constexpr CHAR16 HEX_DIGITS[] = u"0123456789abcdef";

// ---- text -------------------------------------------------------------------------

// A UTF-16 text of known capacity: appends that do not fit are dropped and
// mark the text failed, so a caller checks once at the end.
class Text {
 public:
  explicit Text(UINTN Capacity)
      : Chars_(static_cast<CHAR16 *>(PoolAllocZero((Capacity + 1) * sizeof(CHAR16)))), Capacity_(Capacity) {}
  ~Text() { PoolFree(Chars_); }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;

  Text &Char(CHAR16 Unit) {
    if (Chars_ == nullptr || Length_ >= Capacity_) {
      Failed_ = true;
      return *this;
    }
    Chars_[Length_++] = Unit;
    return *this;
  }
  Text &Ascii(const CHAR8 *Piece) {
    while (*Piece != 0) Char(static_cast<CHAR16>(static_cast<UINT8>(*Piece++)));
    return *this;
  }
  Text &Utf16(const CHAR16 *Piece, UINTN Count) {
    for (UINTN Index = 0; Index < Count; ++Index) Char(Piece[Index]);
    return *this;
  }
  Text &HexBytes(const UINT8 *Bytes, UINTN Count) {
    for (UINTN Index = 0; Index < Count; ++Index)
      Char(HEX_DIGITS[Bytes[Index] >> 4]).Char(HEX_DIGITS[Bytes[Index] & 0xF]);
    return *this;
  }
  // Without leading zeros, as configuration numbers are written.
  Text &HexNumber(UINT64 Value) {
    UINTN Digits = 1;
    while (Digits < 16 && (Value >> (4 * Digits)) != 0) ++Digits;
    while (Digits > 0) Char(HEX_DIGITS[(Value >> (4 * --Digits)) & 0xF]);
    return *this;
  }
  bool Failed() const { return Failed_ || Chars_ == nullptr; }
  UINTN Length() const { return Length_; }
  const CHAR16 *Chars() const { return Chars_; }
  // Hands the text over as a pool string; null when it failed (and then freed).
  CHAR16 *Take() {
    CHAR16 *Taken = Failed() ? nullptr : Chars_;
    if (Taken == nullptr) PoolFree(Chars_);
    Chars_ = nullptr;
    return Taken;
  }

 private:
  CHAR16 *Chars_;
  UINTN Capacity_;
  UINTN Length_ = 0;
  bool Failed_ = false;
};

CHAR16 Lower(CHAR16 Unit) { return Unit >= u'A' && Unit <= u'Z' ? static_cast<CHAR16>(Unit + 32) : Unit; }

// True when Subject starts with Prefix (Count characters), letters compared
// without regard to case: configuration text may come in either.
bool StartsWithFolded(const CHAR16 *Subject, const CHAR16 *Prefix, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index)
    if (Subject[Index] == 0 || Lower(Subject[Index]) != Lower(Prefix[Index])) return false;
  return true;
}

// Offset of the first Pattern in Subject at or after From, or the subject's length.
UINTN FindFrom(const CHAR16 *Subject, UINTN From, const CHAR16 *Pattern) {
  const UINTN Length = Utf16Length(Subject);
  const UINTN PatternLength = Utf16Length(Pattern);
  for (UINTN Index = From; Index + PatternLength <= Length; ++Index)
    if (StartsWithFolded(Subject + Index, Pattern, PatternLength)) return Index;
  return Length;
}

// ---- device paths --------------------------------------------------------------------

// Bytes of Path up to and including its end node; 0 when a node is malformed or
// the path runs past Limit bytes.
UINTN DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path, UINTN Limit) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  for (UINTN Offset = 0; Path != nullptr && Offset + 4 <= Limit;) {
    const EFI_DEVICE_PATH_PROTOCOL *Node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes + Offset);
    const UINTN Length = DevicePathNodeLength(*Node);
    if (Length < 4 || Length > Limit - Offset) return 0;
    Offset += Length;
    if (IsDevicePathEndNode(*Node)) return Offset;
  }
  return 0;
}

// The function's path without its end node, a MAC node with a locally
// administered address made of the location and the port, and an end node.
UINT8 *PortDevicePath(const CARD_PCI_FUNCTION &Function, UINT8 Port, UINTN *Size) {
  const UINTN Prefix = Function.DevicePathSize - END_DEVICE_PATH_LENGTH;
  *Size = Prefix + MAC_NODE_LENGTH + END_DEVICE_PATH_LENGTH;
  auto *Path = static_cast<UINT8 *>(PoolAllocZero(*Size));
  if (Path == nullptr) return nullptr;
  CopyBytes(Path, Function.DevicePath, Prefix);
  UINT8 *Mac = Path + Prefix;
  Mac[0] = MESSAGING_DEVICE_PATH;
  Mac[1] = MSG_MAC_ADDR_DP;
  Mac[2] = MAC_NODE_LENGTH;
  const UINT8 Address[6] = {0x02,
                            0x00,
                            0x00,
                            static_cast<UINT8>(Function.Bus),
                            static_cast<UINT8>(Function.Device << 3 | (Function.Function & 7)),
                            Port};
  CopyBytes(Mac + 4, Address, sizeof(Address));
  Mac[MAC_NODE_LENGTH - 1] = ETHERNET_IF_TYPE;
  UINT8 *End = Mac + MAC_NODE_LENGTH;
  End[0] = END_DEVICE_PATH_TYPE;
  End[1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End[2] = END_DEVICE_PATH_LENGTH;
  return Path;
}

// ---- stores ------------------------------------------------------------------------------

bool AsciiToUtf16(const CHAR8 *Ascii, CHAR16 *Out, UINTN Capacity) {
  UINTN Index = 0;
  for (; Ascii[Index] != 0; ++Index) {
    if (Index + 1 >= Capacity) return false;
    Out[Index] = static_cast<CHAR16>(static_cast<UINT8>(Ascii[Index]));
  }
  Out[Index] = 0;
  return true;
}

enum class VariableAction { Write, Delete };

EFI_STATUS WriteStoreVariable(const CARD_FIXTURE_STORE &Store, VariableAction Action) {
  CHAR16 Name[MAX_STORE_NAME_CHARS];
  if (!AsciiToUtf16(Store.Name, Name, MAX_STORE_NAME_CHARS)) return EFI_INVALID_PARAMETER;
  // A variable with other attributes cannot be written over: it goes first.
  const EFI_STATUS Deleted = RuntimeServices->SetVariable(Name, &Store.Guid, 0, 0, nullptr);
  if (Action == VariableAction::Delete) return Deleted;
  return RuntimeServices->SetVariable(Name, &Store.Guid, Store.Attributes, Store.Size,
                                      const_cast<UINT8 *>(Store.Initial));
}

// True when the store's variable is there with the declared size and attributes,
// as a card's driver finds the settings an earlier boot left.
bool StoreVariableKept(const CARD_FIXTURE_STORE &Store) {
  CHAR16 Name[MAX_STORE_NAME_CHARS];
  if (!AsciiToUtf16(Store.Name, Name, MAX_STORE_NAME_CHARS)) return false;
  auto *Data = static_cast<UINT8 *>(PoolAlloc(Store.Size + 1u));
  UINTN Size = Store.Size + 1u;
  UINT32 Attributes = 0;
  const bool Kept =
      Data != nullptr &&
      RuntimeServices->GetVariable(Name, &Store.Guid, &Attributes, &Size, Data) == EFI_SUCCESS &&
      Size == Store.Size && Attributes == Store.Attributes;
  PoolFree(Data);
  return Kept;
}

UINTN HeaderChars(const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Store) {
  return 5 + 2 * sizeof(EFI_GUID) + 6 + 4 * AsciiLengthBounded(Store.Name) + 6 + 2 * Card.DevicePathSize;
}

void AppendHeader(Text &Out, const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Store) {
  Out.Ascii("GUID=").HexBytes(reinterpret_cast<const UINT8 *>(&Store.Guid), sizeof(EFI_GUID)).Ascii("&NAME=");
  for (const CHAR8 *Name = Store.Name; *Name != 0; ++Name) {
    const UINT8 Unit[2] = {0, static_cast<UINT8>(*Name)};  // each character as four digits, high byte first
    Out.HexBytes(Unit, 2);
  }
  Out.Ascii("&PATH=").HexBytes(Card.DevicePath, Card.DevicePathSize);
}

// The store whose header begins Request, with the header's length; the header
// must end there or continue with '&'.
const PUBLISHED_CARD_STORE *StoreOfRequest(const PUBLISHED_CARD &Card, const CHAR16 *Request,
                                           UINTN *HeaderLength) {
  for (UINTN Index = 0; Index < Card.StoreCount; ++Index) {
    const PUBLISHED_CARD_STORE &Store = Card.Stores[Index];
    Text Header(HeaderChars(Card, *Store.Fixture));
    AppendHeader(Header, Card, *Store.Fixture);
    if (Header.Failed()) continue;
    const UINTN Length = Header.Length();
    if (StartsWithFolded(Request, Header.Chars(), Length) &&
        (Request[Length] == 0 || Request[Length] == u'&')) {
      *HeaderLength = Length;
      return &Store;
    }
  }
  return nullptr;
}

PUBLISHED_CARD *CardOf(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This) {
  auto *Card = reinterpret_cast<PUBLISHED_CARD *>(const_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(This));
  return Card != nullptr && Card->Signature == PUBLISHED_CARD_SIGNATURE ? Card : nullptr;
}

// "&OFFSET=0&WIDTH=<size>" after a store's header: the whole store.
EFI_STATUS WholeStoreAnswer(const PUBLISHED_CARD &Card, const PUBLISHED_CARD_STORE &Store, CHAR16 **Answer) {
  Text Request(HeaderChars(Card, *Store.Fixture) + 32);
  AppendHeader(Request, Card, *Store.Fixture);
  Request.Ascii("&OFFSET=0&WIDTH=").HexNumber(Store.Fixture->Size);
  if (Request.Failed()) return EFI_OUT_OF_RESOURCES;
  CHAR16 *Progress = nullptr;
  return Card.Router->BlockToConfig(Card.Router, Request.Chars(), Store.Bytes, Store.Fixture->Size, Answer,
                                    &Progress);
}

// A null request asks for every buffer store: their answers joined by '&'.
EFI_STATUS ExtractEveryStore(const PUBLISHED_CARD &Card, CHAR16 **Results) {
  CHAR16 *Answers[CARD_MAX_STORES] = {};
  UINTN Chars = 0;
  EFI_STATUS Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < Card.StoreCount; ++Index) {
    if (Card.Stores[Index].Bytes == nullptr) continue;
    Status = WholeStoreAnswer(Card, Card.Stores[Index], &Answers[Index]);
    if (EFI_ERROR(Status)) break;
    Chars += Utf16Length(Answers[Index]) + 1;
  }
  if (!EFI_ERROR(Status)) {
    Text Joined(Chars);
    for (CHAR16 *Answer : Answers) {
      if (Answer == nullptr) continue;
      if (Joined.Length() != 0) Joined.Char(u'&');
      Joined.Utf16(Answer, Utf16Length(Answer));
    }
    *Results = Joined.Take();
    if (*Results == nullptr) Status = EFI_OUT_OF_RESOURCES;
  }
  for (CHAR16 *Answer : Answers) PoolFree(Answer);
  return Status;
}

// The configuration-access contract knows no other failures of a request than
// these; a block the router cannot convert (beyond the store, say) is a request
// the card cannot parse.
EFI_STATUS RequestStatus(EFI_STATUS Status) {
  return Status == EFI_SUCCESS || Status == EFI_OUT_OF_RESOURCES ? Status : EFI_INVALID_PARAMETER;
}

// A hexadecimal number of at most 16 digits at Text[*At], up to the next '&'
// or the end; *At is left after it.
bool ReadHexField(const CHAR16 *Text, UINTN *At, UINT64 *Value) {
  UINTN Digits = 0;
  *Value = 0;
  for (; Text[*At] != 0 && Text[*At] != u'&'; ++*At, ++Digits) {
    const CHAR16 Unit = Lower(Text[*At]);
    const bool Decimal = Unit >= u'0' && Unit <= u'9';
    if (Digits == 16 || (!Decimal && (Unit < u'a' || Unit > u'f'))) return false;
    *Value = *Value << 4 | static_cast<UINT64>(Decimal ? Unit - u'0' : Unit - u'a' + 10);
  }
  return Digits != 0;
}

// The '&' that starts the first OFFSET/WIDTH element at or after From that
// cannot be read or reaches past Size bytes; the text's length when none does.
UINTN FirstElementPast(const CHAR16 *Text, UINTN From, UINTN Size) {
  const UINTN Length = Utf16Length(Text);
  constexpr UINTN OFFSET_CHARS = 8, WIDTH_CHARS = 7;  // "&OFFSET=", "&WIDTH="
  for (UINTN Element = FindFrom(Text, From, u"&OFFSET="); Element < Length;
       Element = FindFrom(Text, Element + 1, u"&OFFSET=")) {
    UINTN At = Element + OFFSET_CHARS;
    UINT64 Offset = 0, Width = 0;
    if (!ReadHexField(Text, &At, &Offset) || !StartsWithFolded(Text + At, u"&WIDTH=", WIDTH_CHARS))
      return Element;
    At += WIDTH_CHARS;
    if (!ReadHexField(Text, &At, &Width) || Offset > Size || Width > Size - Offset) return Element;
  }
  return Length;
}

// Where a failed conversion stopped, as a place in Original, whose first Count
// characters Copy holds: the router's own place when it named one inside the
// text, else the element that reaches past the store, else the start.
CHAR16 *FailureProgress(const CHAR16 *Original, const CHAR16 *Copy, UINTN Count, const CHAR16 *Stopped,
                        UINTN HeaderLength, UINTN Size) {
  if (Stopped >= Copy && Stopped < Copy + Count) return const_cast<CHAR16 *>(Original) + (Stopped - Copy);
  const UINTN Element = FirstElementPast(Copy, HeaderLength, Size);
  return const_cast<CHAR16 *>(Original) + (Element < Count ? Element : 0);
}

// ---- the configuration-access protocol ----------------------------------------------------

// Returns EFI_SUCCESS, EFI_INVALID_PARAMETER (null Progress or Results, a This
// that is no card, or a request the router's BlockToConfig refuses for any
// reason but memory, Progress then at the failing element), EFI_NOT_FOUND (the request names no buffer store
// of this card; EFI variable stores are the router's) or EFI_OUT_OF_RESOURCES.
EFI_STATUS EFIAPI CardExtractConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Request,
                                    CHAR16 **Progress, CHAR16 **Results) {
  PUBLISHED_CARD *Card = CardOf(This);
  if (Progress == nullptr || Results == nullptr || Card == nullptr) return EFI_INVALID_PARAMETER;
  ++Card->ExtractConfigCalls;
  *Progress = const_cast<CHAR16 *>(Request);
  *Results = nullptr;
  if (Request == nullptr) return ExtractEveryStore(*Card, Results);

  UINTN HeaderLength = 0;
  const PUBLISHED_CARD_STORE *Store = StoreOfRequest(*Card, Request, &HeaderLength);
  if (Store == nullptr || Store->Bytes == nullptr) return EFI_NOT_FOUND;
  const UINTN Length = Utf16Length(Request);
  // A bare header asks for the whole store.
  Text Full(Length + 32);
  Full.Utf16(Request, Length);
  if (Length == HeaderLength) Full.Ascii("&OFFSET=0&WIDTH=").HexNumber(Store->Fixture->Size);
  if (Full.Failed()) return EFI_OUT_OF_RESOURCES;
  CHAR16 *Stopped = nullptr;
  const EFI_STATUS Status = Card->Router->BlockToConfig(Card->Router, Full.Chars(), Store->Bytes,
                                                        Store->Fixture->Size, Results, &Stopped);
  *Progress = EFI_ERROR(Status) ? FailureProgress(Request, Full.Chars(), Length, Stopped, HeaderLength,
                                                  Store->Fixture->Size)
                                : const_cast<CHAR16 *>(Request) + Length;
  return RequestStatus(Status);
}

// Applies the configuration of one buffer store; alternate configurations that
// follow it ("&GUID=..." or "&ALTCFG=...") are ignored. The store changes only
// when the router's ConfigToBlock takes the whole configuration. Returns
// EFI_SUCCESS, EFI_INVALID_PARAMETER (null Configuration or Progress, a This that
// is no card, or a configuration ConfigToBlock refuses for any reason but
// memory, Progress then at the failing element), EFI_NOT_FOUND (no buffer store
// of this card) or EFI_OUT_OF_RESOURCES.
EFI_STATUS EFIAPI CardRouteConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Configuration,
                                  CHAR16 **Progress) {
  PUBLISHED_CARD *Card = CardOf(This);
  if (Progress == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(Configuration);
  if (Configuration == nullptr || Card == nullptr) return EFI_INVALID_PARAMETER;
  ++Card->RouteConfigCalls;

  UINTN HeaderLength = 0;
  const PUBLISHED_CARD_STORE *Store = StoreOfRequest(*Card, Configuration, &HeaderLength);
  if (Store == nullptr || Store->Bytes == nullptr) return EFI_NOT_FOUND;
  const UINTN Length = Utf16Length(Configuration);
  const UINTN NextHeader = FindFrom(Configuration, HeaderLength, u"&GUID=");
  const UINTN Alternate = FindFrom(Configuration, HeaderLength, u"&ALTCFG=");
  const UINTN Own = NextHeader < Alternate ? NextHeader : Alternate;

  Text Copy(Own);
  Copy.Utf16(Configuration, Own);
  const UINTN Size = Store->Fixture->Size;
  auto *Block = static_cast<UINT8 *>(PoolAllocCopy(Size, Store->Bytes));
  if (Copy.Failed() || Block == nullptr) {
    PoolFree(Block);
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN BlockSize = Size;
  CHAR16 *Stopped = nullptr;
  const EFI_STATUS Status =
      Card->Router->ConfigToBlock(Card->Router, Copy.Chars(), Block, &BlockSize, &Stopped);
  if (EFI_ERROR(Status)) {
    *Progress = FailureProgress(Configuration, Copy.Chars(), Own, Stopped, HeaderLength, Size);
  } else {
    CopyBytes(Store->Bytes, Block, Size);
    *Progress = const_cast<CHAR16 *>(Configuration) + Length;
  }
  PoolFree(Block);
  return RequestStatus(Status);
}

EFI_STATUS EFIAPI CardCallback(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, EFI_BROWSER_ACTION, EFI_QUESTION_ID,
                               UINT8, EFI_IFR_TYPE_VALUE *, EFI_BROWSER_ACTION_REQUEST *) {
  return EFI_UNSUPPORTED;
}

// ---- publishing ----------------------------------------------------------------------------

EFI_STATUS LocateServices(PUBLISHED_CARD &Card) {
  void *Interface = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Interface);
  if (EFI_ERROR(Status)) return Status;
  Card.Database = static_cast<EFI_HII_DATABASE_PROTOCOL *>(Interface);
  Status = BootServices->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr, &Interface);
  if (EFI_ERROR(Status)) return Status;
  Card.Router = static_cast<EFI_HII_CONFIG_ROUTING_PROTOCOL *>(Interface);
  return EFI_SUCCESS;
}

EFI_STATUS CopyStores(PUBLISHED_CARD &Card, const CARD_FIXTURE &Fixture) {
  if (Fixture.StoreCount > CARD_MAX_STORES) return EFI_INVALID_PARAMETER;
  for (UINTN Index = 0; Index < Fixture.StoreCount; ++Index) {
    const CARD_FIXTURE_STORE &Store = Fixture.Stores[Index];
    Card.Stores[Index].Fixture = &Store;
    if (!Store.IsEfi) {
      Card.Stores[Index].Bytes = static_cast<UINT8 *>(PoolAllocCopy(Store.Size, Store.Initial));
      if (Card.Stores[Index].Bytes == nullptr) return EFI_OUT_OF_RESOURCES;
    }
    Card.StoreCount = Index + 1;
  }
  return EFI_SUCCESS;
}

// The stores hold their values before the forms become visible, as a card's
// driver writes its variables before it registers its forms.
EFI_STATUS CreateStoreVariables(PUBLISHED_CARD &Card, CardVariables Variables) {
  for (UINTN Index = 0; Index < Card.StoreCount; ++Index) {
    PUBLISHED_CARD_STORE &Store = Card.Stores[Index];
    if (!Store.Fixture->IsEfi) continue;
    if (Variables == CardVariables::KeepExisting && StoreVariableKept(*Store.Fixture)) continue;
    const EFI_STATUS Status = WriteStoreVariable(*Store.Fixture, VariableAction::Write);
    if (EFI_ERROR(Status)) return Status;
    Store.VariableWritten = true;
  }
  return EFI_SUCCESS;
}

void FreeCard(PUBLISHED_CARD *Card) {
  for (UINTN Index = 0; Index < Card->StoreCount; ++Index) PoolFree(Card->Stores[Index].Bytes);
  PoolFree(Card->DevicePath);
  Card->Signature = 0;
  PoolFree(Card);
}

enum class VariableRemoval { None, WrittenHere, All };

// Takes back a card's registration and protocols, deletes variables as asked,
// and frees it; the first failure is returned, the rest still done.
EFI_STATUS TakeDown(PUBLISHED_CARD *Card, VariableRemoval Removal) {
  EFI_STATUS Result = EFI_SUCCESS;
  if (Card->HiiHandle != nullptr) Result = Card->Database->RemovePackageList(Card->Database, Card->HiiHandle);
  if (Card->DriverHandle != nullptr) {
    const EFI_STATUS Status = BootServices->UninstallMultipleProtocolInterfaces(
        Card->DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, Card->DevicePath,
        &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Card->ConfigAccess, nullptr);
    if (!EFI_ERROR(Result)) Result = Status;
  }
  for (UINTN Index = 0; Index < Card->StoreCount; ++Index) {
    const PUBLISHED_CARD_STORE &Store = Card->Stores[Index];
    const bool Delete =
        Removal == VariableRemoval::All || (Removal == VariableRemoval::WrittenHere && Store.VariableWritten);
    if (!Store.Fixture->IsEfi || !Delete) continue;
    const EFI_STATUS Status = WriteStoreVariable(*Store.Fixture, VariableAction::Delete);
    if (!EFI_ERROR(Result) && Status != EFI_NOT_FOUND) Result = Status;
  }
  FreeCard(Card);
  return Result;
}

EFI_STATUS InstallAndRegister(PUBLISHED_CARD &Card, CardVariables Variables) {
  EFI_STATUS Status = BootServices->InstallMultipleProtocolInterfaces(
      &Card.DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, Card.DevicePath,
      &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Card.ConfigAccess, nullptr);
  if (EFI_ERROR(Status)) {
    Card.DriverHandle = nullptr;
    return Status;
  }
  Status = CreateStoreVariables(Card, Variables);
  if (!EFI_ERROR(Status))
    Status = Card.Database->NewPackageList(
        Card.Database, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(Card.Fixture->PackageList),
        Card.DriverHandle, &Card.HiiHandle);
  return Status;
}

}  // namespace

EFI_STATUS FindPciFunctions(UINT16 VendorId, UINT16 DeviceId, CARD_PCI_FUNCTION *Found, UINTN Capacity,
                            UINTN *Count) {
  if (Count == nullptr) return EFI_INVALID_PARAMETER;
  *Count = 0;
  UINTN HandleCount = 0;
  EFI_HANDLE *Handles = nullptr;
  const EFI_STATUS Status = BootServices->LocateHandleBuffer(ByProtocol, &EFI_PCI_IO_PROTOCOL_GUID, nullptr,
                                                             &HandleCount, &Handles);
  if (EFI_ERROR(Status)) return Status;
  for (UINTN Index = 0; Index < HandleCount; ++Index) {
    CARD_PCI_FUNCTION Function = {};
    Function.Handle = Handles[Index];
    void *Interface = nullptr;
    if (EFI_ERROR(BootServices->HandleProtocol(Function.Handle, &EFI_PCI_IO_PROTOCOL_GUID, &Interface)))
      continue;
    Function.PciIo = static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
    if (EFI_ERROR(Function.PciIo->Pci.Read(Function.PciIo, EfiPciIoWidthUint16, 0, 1, &Function.VendorId)) ||
        EFI_ERROR(Function.PciIo->Pci.Read(Function.PciIo, EfiPciIoWidthUint16, 2, 1, &Function.DeviceId)) ||
        Function.VendorId != VendorId || Function.DeviceId != DeviceId)
      continue;
    Function.PciIo->GetLocation(Function.PciIo, &Function.Segment, &Function.Bus, &Function.Device,
                                &Function.Function);
    if (!EFI_ERROR(
            BootServices->HandleProtocol(Function.Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface))) {
      Function.DevicePath = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface);
      Function.DevicePathSize = DevicePathSize(Function.DevicePath, CARD_MAX_PCI_PATH_BYTES);
    }
    if (*Count < Capacity) Found[*Count] = Function;
    ++*Count;
  }
  BootServices->FreePool(Handles);
  return EFI_SUCCESS;
}

EFI_STATUS PublishFixtureCard(const CARD_FIXTURE &Fixture, const CARD_PCI_FUNCTION &Function, UINT8 Port,
                              PUBLISHED_CARD **Card, CardVariables Variables) {
  if (Card == nullptr) return EFI_INVALID_PARAMETER;
  *Card = nullptr;
  if (Function.DevicePath == nullptr || Function.DevicePathSize < END_DEVICE_PATH_LENGTH)
    return EFI_INVALID_PARAMETER;
  auto *New = static_cast<PUBLISHED_CARD *>(PoolAllocZero(sizeof(PUBLISHED_CARD)));
  if (New == nullptr) return EFI_OUT_OF_RESOURCES;
  New->ConfigAccess = {CardExtractConfig, CardRouteConfig, CardCallback};
  New->Signature = PUBLISHED_CARD_SIGNATURE;
  New->Fixture = &Fixture;
  New->Pci = Function;
  New->Port = Port;
  New->DevicePath = PortDevicePath(Function, Port, &New->DevicePathSize);

  EFI_STATUS Status = New->DevicePath == nullptr ? EFI_OUT_OF_RESOURCES : LocateServices(*New);
  if (!EFI_ERROR(Status)) Status = CopyStores(*New, Fixture);
  if (!EFI_ERROR(Status)) Status = InstallAndRegister(*New, Variables);
  if (EFI_ERROR(Status)) {
    TakeDown(New, VariableRemoval::WrittenHere);
    return Status;
  }
  *Card = New;
  return EFI_SUCCESS;
}

EFI_STATUS RemoveFixtureCard(PUBLISHED_CARD *Card, bool DeleteVariables) {
  if (Card == nullptr) return EFI_SUCCESS;
  return TakeDown(Card, DeleteVariables ? VariableRemoval::All : VariableRemoval::None);
}

UINT8 *CardStoreBytes(PUBLISHED_CARD &Card, const CHAR8 *Name) {
  const CARD_FIXTURE_STORE *Wanted = FindFixtureStore(*Card.Fixture, Name);
  for (UINTN Index = 0; Wanted != nullptr && Index < Card.StoreCount; ++Index)
    if (Card.Stores[Index].Fixture == Wanted) return Card.Stores[Index].Bytes;
  return nullptr;
}

CHAR16 *CardStoreConfigHeader(const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Store) {
  Text Header(HeaderChars(Card, Store));
  AppendHeader(Header, Card, Store);
  return Header.Take();
}

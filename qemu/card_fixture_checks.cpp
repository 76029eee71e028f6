// The card fixtures on the machine's PCI functions: the card shapes of the host
// tests published as a card's own driver publishes them, then read and written
// through the firmware's own router (no keywords), the way the driver's card
// pages will reach them. Two cards of one model sit on the two edu functions, a
// second model and the rest on the others. Every card is removed at the end, so
// later groups find the HII database as they would without this group.
#include "driver/globals.h"
#include "qemu/big_card.h"
#include "qemu/card_publisher.h"
#include "qemu/check_groups.h"
#include "qemu/test_machine.h"
#include "support/bytes.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

using sim::CardShapeId;

struct CardPlacement {
  CardShapeId Shape;
  UINTN Function;  // index into TEST_PCI_FUNCTIONS
  UINT8 Port;
};

constexpr CardPlacement CARD_PLACEMENTS[] = {
    {CardShapeId::SampleCard, FIRST_EDU_FUNCTION, 0},  {CardShapeId::Edge, FIRST_EDU_FUNCTION, 1},
    {CardShapeId::SampleCard, SECOND_EDU_FUNCTION, 0}, {CardShapeId::CheckboxOnly, SECOND_EDU_FUNCTION, 1},
    {CardShapeId::Road, SECOND_EDU_FUNCTION, 2},       {CardShapeId::SecondModel, PCI_TESTDEV_FUNCTION, 0},
    {CardShapeId::MacTitled, PCI_TESTDEV_FUNCTION, 1},
};
constexpr UINTN FIRST_SAMPLE_CARD = 0;
constexpr UINTN SECOND_SAMPLE_CARD = 2;
static_assert(CARD_PLACEMENTS[FIRST_SAMPLE_CARD].Shape == CardShapeId::SampleCard &&
              CARD_PLACEMENTS[SECOND_SAMPLE_CARD].Shape == CardShapeId::SampleCard &&
              CARD_PLACEMENTS[FIRST_SAMPLE_CARD].Function != CARD_PLACEMENTS[SECOND_SAMPLE_CARD].Function);
constexpr UINT8 BIG_CARD_PORT = 2;
constexpr UINTN CARD_COUNT = ArrayCount(CARD_PLACEMENTS) + 1;  // and the big card

// The firmware's services, located where they are used as a card's driver
// locates them, not taken from the driver under test.
template <typename Protocol>
Protocol *Located(const EFI_GUID &Guid) {
  void *Interface = nullptr;
  return EFI_ERROR(BootServices->LocateProtocol(&Guid, nullptr, &Interface))
             ? nullptr
             : static_cast<Protocol *>(Interface);
}
EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
  return Located<EFI_HII_CONFIG_ROUTING_PROTOCOL>(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID);
}
EFI_HII_DATABASE_PROTOCOL *Database() {
  return Located<EFI_HII_DATABASE_PROTOCOL>(EFI_HII_DATABASE_PROTOCOL_GUID);
}

// ---- names and text ------------------------------------------------------------------------

// "cards/<shape> at <bus>:<device>.<function> port <n>: <what>", built whole
// because a check's name is one string.
class CheckName {
 public:
  CheckName(const PUBLISHED_CARD &Card, const CHAR8 *What) {
    Text("cards/")
        .Text(Card.Fixture->Name)
        .Text(" at ")
        .Hex(Card.Pci.Bus, 2)
        .Text(":")
        .Hex(Card.Pci.Device, 2);
    Text(".").Hex(Card.Pci.Function, 1).Text(" port ").Hex(Card.Port, 1).Text(": ").Text(What);
  }
  CheckName(const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Store, const CHAR8 *What)
      : CheckName(Card, "") {
    Text("store ").Text(Store.Name).Text(" ").Text(What);
  }
  operator const CHAR8 *() const { return Chars; }

 private:
  CheckName &Text(const CHAR8 *Piece) {
    while (*Piece != 0 && Length + 1 < sizeof(Chars)) Chars[Length++] = *Piece++;
    Chars[Length] = 0;
    return *this;
  }
  // The low Digits hexadecimal digits of Value (1 or 2).
  CheckName &Hex(UINTN Value, UINTN Digits) {
    const CHAR8 Pair[3] = {"0123456789abcdef"[(Value >> 4) & 0xF], "0123456789abcdef"[Value & 0xF], 0};
    return Text(Digits == 1 ? Pair + 1 : Pair);
  }
  CHAR8 Chars[200] = {};
  UINTN Length = 0;
};

// Header + "&OFFSET=<offset>&WIDTH=<width>" + Tail, in a pool string.
CHAR16 *BlockRequest(const CHAR16 *Header, UINTN Offset, UINTN Width, const CHAR16 *Tail = u"") {
  const UINTN Chars = Utf16Length(Header) + Utf16Length(Tail) + 48;
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(Chars * sizeof(CHAR16)));
  if (Request == nullptr) return nullptr;
  UINTN Length = Utf16Length(Header);
  CopyBytes(Request, Header, Length * sizeof(CHAR16));
  auto Append = [&](const CHAR16 *Piece) {
    while (*Piece != 0 && Length + 1 < Chars) Request[Length++] = *Piece++;
  };
  auto AppendHex = [&](UINTN Value) {
    CHAR16 Digits[17] = {};
    UINTN Count = 0;
    do {
      Digits[Count++] = u"0123456789abcdef"[Value & 0xF];
      Value >>= 4;
    } while (Value != 0);
    while (Count > 0 && Length + 1 < Chars) Request[Length++] = Digits[--Count];
  };
  Append(u"&OFFSET=");
  AppendHex(Offset);
  Append(u"&WIDTH=");
  AppendHex(Width);
  Append(Tail);
  return Request;
}

// The answer's own configuration, up to the first alternate ("&GUID=" of the
// next header, or "&ALTCFG="), in a pool string: the router appends the IFR's
// defaults, and its ConfigToBlock refuses them.
CHAR16 *OwnConfiguration(const CHAR16 *Answer) {
  UINTN Length = Utf16Length(Answer);
  constexpr const CHAR16 *ALTERNATE_STARTS[] = {u"&GUID=", u"&ALTCFG="};
  for (const CHAR16 *Key : ALTERNATE_STARTS) {
    const CHAR16 *Next = Utf16Find(Answer, Key);
    if (Next != nullptr && static_cast<UINTN>(Next - Answer) < Length)
      Length = static_cast<UINTN>(Next - Answer);
  }
  auto *Own = static_cast<CHAR16 *>(PoolAllocZero((Length + 1) * sizeof(CHAR16)));
  if (Own != nullptr) CopyBytes(Own, Answer, Length * sizeof(CHAR16));
  return Own;
}

// Reads a store through the router's ExtractConfig and decodes the answer with
// its ConfigToBlock into Block (Size bytes).
EFI_STATUS ReadThroughRouter(const CHAR16 *Header, UINT8 *Block, UINTN Size, ReportLine &Details) {
  CHAR16 *Request = BlockRequest(Header, 0, Size);
  if (Request == nullptr) return EFI_OUT_OF_RESOURCES;
  CHAR16 *Progress = nullptr;
  CHAR16 *Answer = nullptr;
  EFI_STATUS Status = Router()->ExtractConfig(Router(), Request, &Progress, &Answer);
  if (EFI_ERROR(Status)) {
    Details.Text("router ExtractConfig gave ").Status(Status);
  } else if (CHAR16 *Own = OwnConfiguration(Answer); Own == nullptr) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    UINTN BlockSize = Size;
    Status = Router()->ConfigToBlock(Router(), Own, Block, &BlockSize, &Progress);
    if (EFI_ERROR(Status)) Details.Text("ConfigToBlock of the answer gave ").Status(Status);
    PoolFree(Own);
  }
  if (Answer != nullptr) BootServices->FreePool(Answer);
  PoolFree(Request);
  return Status;
}

EFI_STATUS WriteByteThroughRouter(const CHAR16 *Header, UINTN Offset, UINT8 Value) {
  const CHAR16 Digits[] = {u"0123456789abcdef"[Value >> 4], u"0123456789abcdef"[Value & 0xF], 0};
  CHAR16 Tail[16] = u"&VALUE=";
  CopyBytes(Tail + 7, Digits, sizeof(Digits));
  CHAR16 *Configuration = BlockRequest(Header, Offset, 1, Tail);
  if (Configuration == nullptr) return EFI_OUT_OF_RESOURCES;
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Router()->RouteConfig(Router(), Configuration, &Progress);
  PoolFree(Configuration);
  return Status;
}

// The offset of the first difference, or Size when the blocks are equal.
UINTN FirstDifference(const UINT8 *A, const UINT8 *B, UINTN Size) {
  for (UINTN Index = 0; Index < Size; ++Index)
    if (A[Index] != B[Index]) return Index;
  return Size;
}

// ---- the machine's functions ---------------------------------------------------------------

bool FindTestFunctions(CheckLog &Log, CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT]) {
  ReportLine Details;
  for (UINTN Index = 0; Index < TEST_PCI_FUNCTION_COUNT; ++Index) {
    const TEST_PCI_FUNCTION &Wanted = TEST_PCI_FUNCTIONS[Index];
    CARD_PCI_FUNCTION Found[8] = {};
    UINTN Count = 0;
    const EFI_STATUS Status =
        FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count);
    bool Located = false;
    for (UINTN Each = 0; Each < Count && Each < ArrayCount(Found) && !Located; ++Each) {
      Located = Found[Each].Bus == Wanted.Bus && Found[Each].Device == Wanted.Device &&
                Found[Each].Function == Wanted.Function && Found[Each].Segment == 0 &&
                Found[Each].DevicePathSize != 0;
      if (Located) Functions[Index] = Found[Each];
    }
    if (!Located && Details.IsEmpty())
      Details.Text("no ")
          .Hex(Wanted.VendorId, 4)
          .Text("/")
          .Hex(Wanted.DeviceId, 4)
          .Text(" at ")
          .Hex(Wanted.Bus, 2)
          .Text(":")
          .Hex(Wanted.Device, 2)
          .Text(".")
          .Hex(Wanted.Function)
          .Text(" (FindPciFunctions gave ")
          .Status(Status)
          .Text(", ")
          .Decimal(Count)
          .Text(" found)");
  }
  Log.Record("cards/the machine has two edu functions at 00:10.0 and 00:11.0 and a pci-testdev at 00:12.0",
             Details.IsEmpty(), Details);
  return Details.IsEmpty();
}

// ---- one card --------------------------------------------------------------------------------

// The package of Type in an exported or fixture list, as a view; empty when absent.
ByteView FindPackage(ByteView List, UINT8 Type) {
  UINT32 ListLength = 0;
  if (!List.Read32(sizeof(EFI_GUID), &ListLength) || ListLength > List.Size()) return {};
  for (UINTN Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER); List.Holds(Offset, 4) && Offset < ListLength;) {
    const UINT32 Length = ReadLe24(List.Data() + Offset);
    const UINT8 PackageType = List.Data()[Offset + 3];
    if (Length < 4 || !List.Holds(Offset, Length)) return {};
    if (PackageType == Type) return List.Slice(Offset, Length);
    if (PackageType == EFI_HII_PACKAGE_END) return {};
    Offset += Length;
  }
  return {};
}

ByteView ExportOf(EFI_HII_HANDLE Handle, UINT8 **Owned) {
  *Owned = nullptr;
  UINTN Size = 0;
  if (Database()->ExportPackageLists(Database(), Handle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  *Owned = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (*Owned == nullptr ||
      EFI_ERROR(Database()->ExportPackageLists(Database(), Handle, &Size,
                                               reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(*Owned))))
    return {};
  return ByteView(*Owned, Size);
}

void CheckRegistration(CheckLog &Log, const PUBLISHED_CARD &Card) {
  ReportLine Details;
  EFI_HANDLE Owner = nullptr;
  const EFI_STATUS Status = Database()->GetPackageListHandle(Database(), Card.HiiHandle, &Owner);
  UINT8 *Exported = nullptr;
  const ByteView Export = ExportOf(Card.HiiHandle, &Exported);
  const ByteView Fixture(Card.Fixture->PackageList, Card.Fixture->PackageListSize);
  const ByteView Forms = FindPackage(Export, EFI_HII_PACKAGE_FORMS);
  const ByteView FixtureForms = FindPackage(Fixture, EFI_HII_PACKAGE_FORMS);
  const ByteView Path = FindPackage(Export, EFI_HII_PACKAGE_DEVICE_PATH);
  if (Status != EFI_SUCCESS || Owner != Card.DriverHandle) {
    Details.Text("GetPackageListHandle gave ").Status(Status).Text(" and another handle");
  } else if (Forms.Empty() || Forms.Size() != FixtureForms.Size() ||
             CompareBytes(Forms.Data(), FixtureForms.Data(), Forms.Size()) != 0) {
    Details.Text("the exported forms package (").Decimal(Forms.Size()).Text(" bytes) is not the fixture's");
  } else if (Path.Size() != 4 + Card.DevicePathSize ||
             CompareBytes(Path.Data() + 4, Card.DevicePath, Card.DevicePathSize) != 0) {
    Details.Text("the export's device-path package (")
        .Decimal(Path.Size())
        .Text(" bytes) is not the card's path");
  }
  PoolFree(Exported);
  Log.Record(
      CheckName(Card, "the list is the card handle's, forms as built, the database added the card's path"),
      Details.IsEmpty(), Details);
}

void CheckPathLeadsToFunction(CheckLog &Log, const PUBLISHED_CARD &Card) {
  UINT8 *Copy = static_cast<UINT8 *>(PoolAllocCopy(Card.DevicePathSize, Card.DevicePath));
  auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Copy);
  EFI_HANDLE Device = nullptr;
  const EFI_STATUS Status =
      Copy == nullptr ? EFI_OUT_OF_RESOURCES
                      : BootServices->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Remaining, &Device);
  const bool AtPortNode =
      Status == EFI_SUCCESS && reinterpret_cast<UINT8 *>(Remaining) - Copy ==
                                   static_cast<INTN>(Card.Pci.DevicePathSize - END_DEVICE_PATH_LENGTH);
  PoolFree(Copy);
  ReportLine Details;
  Details.Text("LocateDevicePath gave ")
      .Status(Status)
      .Text(Device == Card.Pci.Handle ? "" : ", another handle");
  Log.Record(
      CheckName(Card, "LocateDevicePath of PCI I/O on its path finds its function, the port node left"),
      AtPortNode && Device == Card.Pci.Handle, Details);
}

void CheckBufferStore(CheckLog &Log, PUBLISHED_CARD &Card, const PUBLISHED_CARD_STORE &Store) {
  const CARD_FIXTURE_STORE &Fixture = *Store.Fixture;
  CHAR16 *Header = CardStoreConfigHeader(Card, Fixture);
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Fixture.Size));
  ReportLine ReadDetails;
  const UINTN ExtractsBefore = Card.ExtractConfigCalls;
  EFI_STATUS Status = Header == nullptr || Block == nullptr
                          ? EFI_OUT_OF_RESOURCES
                          : ReadThroughRouter(Header, Block, Fixture.Size, ReadDetails);
  const UINTN Differs = FirstDifference(Block, Fixture.Initial, Fixture.Size);
  if (Status == EFI_SUCCESS && Differs != Fixture.Size)
    ReadDetails.Text("byte ")
        .Hex(Differs, 2)
        .Text(" is ")
        .Hex(Block[Differs], 2)
        .Text(", published ")
        .Hex(Fixture.Initial[Differs], 2);
  if (Status == EFI_SUCCESS && Card.ExtractConfigCalls != ExtractsBefore + 1)
    ReadDetails.Text("the card's ExtractConfig ran ")
        .Decimal(Card.ExtractConfigCalls - ExtractsBefore)
        .Text(" times");
  Log.Record(CheckName(Card, Fixture, "reads back as published through the router's ExtractConfig"),
             Status == EFI_SUCCESS && ReadDetails.IsEmpty(), ReadDetails);

  // One byte changed through the router, then put back.
  const UINTN Offset = Fixture.Size / 2;
  const UINT8 Original = Store.Bytes[Offset];
  const UINTN RoutesBefore = Card.RouteConfigCalls;
  ReportLine WriteDetails;
  Status = Header == nullptr ? EFI_OUT_OF_RESOURCES : WriteByteThroughRouter(Header, Offset, Original ^ 0x5A);
  const bool OthersKept = Offset == 0 || CompareBytes(Store.Bytes, Fixture.Initial, Offset) == 0;
  const bool RestKept =
      CompareBytes(Store.Bytes + Offset + 1, Fixture.Initial + Offset + 1, Fixture.Size - Offset - 1) == 0;
  if (Status != EFI_SUCCESS) {
    WriteDetails.Text("router RouteConfig gave ").Status(Status);
  } else if (Store.Bytes[Offset] != (Original ^ 0x5A) || !OthersKept || !RestKept) {
    WriteDetails.Text("byte ")
        .Hex(Offset, 2)
        .Text(" is ")
        .Hex(Store.Bytes[Offset], 2)
        .Text(OthersKept && RestKept ? "" : ", and other bytes changed");
  } else if (Card.RouteConfigCalls != RoutesBefore + 1) {
    WriteDetails.Text("the card's RouteConfig ran ")
        .Decimal(Card.RouteConfigCalls - RoutesBefore)
        .Text(" times");
  }
  const EFI_STATUS Restore =
      Header == nullptr ? EFI_OUT_OF_RESOURCES : WriteByteThroughRouter(Header, Offset, Original);
  if (WriteDetails.IsEmpty() && (Restore != EFI_SUCCESS || Store.Bytes[Offset] != Original))
    WriteDetails.Text("writing the byte back gave ").Status(Restore);
  Log.Record(CheckName(Card, Fixture, "takes one byte through the router's RouteConfig and nothing else"),
             WriteDetails.IsEmpty(), WriteDetails);
  PoolFree(Block);
  PoolFree(Header);
}

// What the router refuses to write into an EFI store: an element past the
// store (too small, Progress at the start of the configuration) and an
// alternate configuration inside it (invalid, Progress at its "&"). The
// variable keeps its bytes either way.
void CheckEfiStoreRefusals(CheckLog &Log, const PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Fixture,
                           const CHAR16 *Name, const CHAR16 *Header) {
  struct Refusal {
    const CHAR16 *Tail;
    EFI_STATUS Status;
    const CHAR16 *ProgressAt;  // the text Progress must point at; null: the start
  };
  const Refusal Refusals[] = {
      {u"&VALUE=77&OFFSET=ffff&WIDTH=1&VALUE=01", EFI_BUFFER_TOO_SMALL, nullptr},
      {u"&VALUE=66&ALTCFG=0000&OFFSET=1&WIDTH=1&VALUE=01", EFI_INVALID_PARAMETER, u"&ALTCFG="},
  };
  ReportLine Details;
  for (const Refusal &Each : Refusals) {
    CHAR16 *Configuration = Header == nullptr ? nullptr : BlockRequest(Header, 0, 1, Each.Tail);
    CHAR16 *Progress = nullptr;
    const EFI_STATUS Status = Configuration == nullptr
                                  ? EFI_OUT_OF_RESOURCES
                                  : Router()->RouteConfig(Router(), Configuration, &Progress);
    const CHAR16 *Expected = Configuration == nullptr || Each.ProgressAt == nullptr
                                 ? Configuration
                                 : Utf16Find(Configuration, Each.ProgressAt);
    UINT8 Data[8] = {};
    UINTN Size = sizeof(Data);
    const EFI_STATUS Read = RuntimeServices->GetVariable(Name, &Fixture.Guid, nullptr, &Size, Data);
    const bool Kept =
        Read == EFI_SUCCESS && Size == Fixture.Size && CompareBytes(Data, Fixture.Initial, Size) == 0;
    if ((Status != Each.Status || Progress != Expected || !Kept) && Details.IsEmpty())
      Details.Text("RouteConfig gave ")
          .Status(Status)
          .Text(", Progress at ")
          .Decimal(Progress - Configuration)
          .Text(Kept ? "" : ", the variable changed");
    PoolFree(Configuration);
  }
  Log.Record(
      CheckName(Card, Fixture, "refuses a write past it or with an alternate inside, and keeps its bytes"),
      Details.IsEmpty(), Details);
}

void CheckEfiStore(CheckLog &Log, PUBLISHED_CARD &Card, const CARD_FIXTURE_STORE &Fixture) {
  CHAR16 Name[64] = {};
  for (UINTN Index = 0; Fixture.Name[Index] != 0 && Index + 1 < ArrayCount(Name); ++Index)
    Name[Index] = static_cast<CHAR16>(Fixture.Name[Index]);
  auto *Data = static_cast<UINT8 *>(PoolAllocZero(Fixture.Size + 1));
  UINTN Size = Fixture.Size + 1;
  UINT32 Attributes = 0;
  const EFI_STATUS Status = Data == nullptr
                                ? EFI_OUT_OF_RESOURCES
                                : RuntimeServices->GetVariable(Name, &Fixture.Guid, &Attributes, &Size, Data);
  ReportLine Details;
  Details.Text("GetVariable gave ")
      .Status(Status)
      .Text(", ")
      .Decimal(Size)
      .Text(" bytes, attributes ")
      .Hex(Attributes);
  Log.Record(CheckName(Card, Fixture, "is a variable with the declared attributes and the published bytes"),
             Status == EFI_SUCCESS && Size == Fixture.Size && Attributes == Fixture.Attributes &&
                 CompareBytes(Data, Fixture.Initial, Fixture.Size) == 0,
             Details);

  // The router reads such a store itself; the card's ExtractConfig only offers defaults.
  CHAR16 *Header = CardStoreConfigHeader(Card, Fixture);
  ReportLine ReadDetails;
  ZeroBytes(Data, Fixture.Size);
  const EFI_STATUS Read = Header == nullptr || Data == nullptr
                              ? EFI_OUT_OF_RESOURCES
                              : ReadThroughRouter(Header, Data, Fixture.Size, ReadDetails);
  if (Read == EFI_SUCCESS && CompareBytes(Data, Fixture.Initial, Fixture.Size) != 0)
    ReadDetails.Text("the answer decodes to other bytes");
  Log.Record(CheckName(Card, Fixture, "reads back as published through the router, from the variable"),
             Read == EFI_SUCCESS && ReadDetails.IsEmpty(), ReadDetails);
  PoolFree(Data);
  CheckEfiStoreRefusals(Log, Card, Fixture, Name, Header);
  PoolFree(Header);
}

void CheckPublishedCard(CheckLog &Log, PUBLISHED_CARD &Card) {
  CheckRegistration(Log, Card);
  CheckPathLeadsToFunction(Log, Card);
  for (UINTN Index = 0; Index < Card.StoreCount; ++Index) {
    if (Card.Stores[Index].Bytes != nullptr) {
      CheckBufferStore(Log, Card, Card.Stores[Index]);
    } else {
      CheckEfiStore(Log, Card, *Card.Stores[Index].Fixture);
    }
  }
}

// ---- between cards ---------------------------------------------------------------------------

void CheckTwoCardsOfOneModel(CheckLog &Log, PUBLISHED_CARD &First, PUBLISHED_CARD &Second) {
  const CARD_FIXTURE_STORE &Store = First.Fixture->Stores[0];
  CHAR16 *SecondHeader = CardStoreConfigHeader(Second, Store);
  const UINTN Offset = sim::sample_card::LinkSpeedOffset;
  const EFI_STATUS Status =
      SecondHeader == nullptr ? EFI_OUT_OF_RESOURCES : WriteByteThroughRouter(SecondHeader, Offset, 3);
  const bool Told = Status == EFI_SUCCESS && Second.Stores[0].Bytes[Offset] == 3 &&
                    CompareBytes(First.Stores[0].Bytes, Store.Initial, Store.Size) == 0;
  if (SecondHeader != nullptr) WriteByteThroughRouter(SecondHeader, Offset, Store.Initial[Offset]);
  PoolFree(SecondHeader);
  ReportLine Details;
  Details.Text("RouteConfig gave ").Status(Status);
  Log.Record("cards/two cards of one model: the router tells their stores apart by PATH alone", Told,
             Details);
}

// ---- the router's answers, word for word -------------------------------------------------------

// What the router answers for a store: Header, then Main; then, when the form
// set declares a default store, "&" Header and Alternate, the defaults it takes
// from the card's IFR (DEFAULT opcodes and default flags, else a numeric's
// minimum, a one-of's first option, an unchecked checkbox; nothing for strings
// or for a one-of without options). A bare header asks for one element per
// question, in offset order, with four-digit fields.
struct RouterAnswerCase {
  const CHAR8 *Name;
  UINTN Card;                 // index into CARD_PLACEMENTS
  UINTN Store;                // index into the card's stores
  const CHAR16 *RequestTail;  // after the header; empty for a bare header
  const CHAR16 *Main;
  const CHAR16 *Alternate;  // null: no alternate configuration
};

constexpr UINTN EDGE_CARD = 1;
constexpr UINTN ROAD_CARD = 4;
constexpr UINTN SECOND_MODEL_CARD = 5;
static_assert(CARD_PLACEMENTS[EDGE_CARD].Shape == CardShapeId::Edge &&
              CARD_PLACEMENTS[ROAD_CARD].Shape == CardShapeId::Road &&
              CARD_PLACEMENTS[SECOND_MODEL_CARD].Shape == CardShapeId::SecondModel);

constexpr RouterAnswerCase ROUTER_ANSWER_CASES[] = {
    {"cards/router: a bare header of the road card's buffer store gives every question and the standard "
     "defaults",
     ROAD_CARD, 0, u"",
     u"&OFFSET=0000&WIDTH=0001&VALUE=01&OFFSET=0001&WIDTH=0001&VALUE=28&OFFSET=0002&WIDTH=0010"
     u"&VALUE=000000000000000000640061006f0072&OFFSET=0012&WIDTH=0001&VALUE=01&OFFSET=0013&WIDTH=0001&VALUE="
     u"80"
     u"&OFFSET=0014&WIDTH=0001&VALUE=00&OFFSET=0015&WIDTH=0001&VALUE=07",
     u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=01&OFFSET=0001&WIDTH=0001&VALUE=05&OFFSET=0012&WIDTH=0001"
     u"&VALUE=00&OFFSET=0013&WIDTH=0001&VALUE=00&OFFSET=0014&WIDTH=0001&VALUE=00&OFFSET=0015&WIDTH=0001&"
     u"VALUE=00"},
    {"cards/router: a block of the road card's store gives the defaults of the questions inside it",
     ROAD_CARD, 0, u"&OFFSET=13&WIDTH=3", u"&OFFSET=13&WIDTH=3&VALUE=070080",
     u"&ALTCFG=0000&OFFSET=0013&WIDTH=0001&VALUE=00&OFFSET=0014&WIDTH=0001&VALUE=00&OFFSET=0015&WIDTH=0001"
     u"&VALUE=00"},
    {"cards/router: a bare header of the road card's EFI store reads the variable per question, with "
     "defaults",
     ROAD_CARD, 1, u"", u"&OFFSET=0000&WIDTH=0001&VALUE=00&OFFSET=0001&WIDTH=0001&VALUE=03",
     u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=00&OFFSET=0001&WIDTH=0001&VALUE=00"},
    {"cards/router: a bare header of the edge card's buffer store, a zero-width string and a VALUE one-of",
     EDGE_CARD, 0, u"",
     u"&OFFSET=0000&WIDTH=0002&VALUE=012c&OFFSET=0002&WIDTH=0002&VALUE=0200&OFFSET=0004&WIDTH=0002&VALUE=0101"
     u"&OFFSET=0006&WIDTH=0001&VALUE=07&OFFSET=0007&WIDTH=0001&VALUE=01&OFFSET=0008&WIDTH=0000&VALUE="
     u"&OFFSET=0028&WIDTH=0001&VALUE=2a&OFFSET=0029&WIDTH=0001&VALUE=01&OFFSET=002a&WIDTH=0001&VALUE=04"
     u"&OFFSET=002b&WIDTH=0001&VALUE=02&OFFSET=002c&WIDTH=0001&VALUE=09&OFFSET=002d&WIDTH=0001&VALUE=01"
     u"&OFFSET=002e&WIDTH=0001&VALUE=14&OFFSET=002f&WIDTH=0001&VALUE=05&OFFSET=0030&WIDTH=0010"
     u"&VALUE=00000000000000000000006300620061",
     u"&ALTCFG=0000&OFFSET=0000&WIDTH=0002&VALUE=0000&OFFSET=0002&WIDTH=0002&VALUE=0200&OFFSET=0004&WIDTH="
     u"0002"
     u"&VALUE=0001&OFFSET=0007&WIDTH=0001&VALUE=00&OFFSET=0028&WIDTH=0001&VALUE=00&OFFSET=0029&WIDTH=0001"
     u"&VALUE=00&OFFSET=002a&WIDTH=0001&VALUE=00&OFFSET=002b&WIDTH=0001&VALUE=00&OFFSET=002c&WIDTH=0001"
     u"&VALUE=00&OFFSET=002d&WIDTH=0001&VALUE=00&OFFSET=002e&WIDTH=0001&VALUE=00&OFFSET=002f&WIDTH=0001"
     u"&VALUE=00"},
    {"cards/router: a bare header of the edge card's EFI store", EDGE_CARD, 1, u"",
     u"&OFFSET=0000&WIDTH=0001&VALUE=01&OFFSET=0001&WIDTH=0001&VALUE=03",
     u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=01&OFFSET=0001&WIDTH=0001&VALUE=00"},
    {"cards/router: a form set without a default store gets no alternate configuration", SECOND_MODEL_CARD, 0,
     u"",
     u"&OFFSET=0000&WIDTH=0001&VALUE=20&OFFSET=0010&WIDTH=0001&VALUE=01&OFFSET=0012&WIDTH=0018"
     u"&VALUE=000000000000000000000000003000790061007200720061",
     nullptr},
};

// Header Main ["&" Header Alternate], in a pool string.
CHAR16 *ExpectedAnswer(const CHAR16 *Header, const RouterAnswerCase &Case) {
  const UINTN HeaderLength = Utf16Length(Header);
  const UINTN MainLength = Utf16Length(Case.Main);
  const UINTN AlternateLength = Case.Alternate == nullptr ? 0 : Utf16Length(Case.Alternate);
  auto *Text = static_cast<CHAR16 *>(
      PoolAllocZero((2 * HeaderLength + MainLength + AlternateLength + 2) * sizeof(CHAR16)));
  if (Text == nullptr) return nullptr;
  CopyBytes(Text, Header, HeaderLength * sizeof(CHAR16));
  CopyBytes(Text + HeaderLength, Case.Main, MainLength * sizeof(CHAR16));
  if (Case.Alternate != nullptr) {
    CHAR16 *At = Text + HeaderLength + MainLength;
    *At++ = u'&';
    CopyBytes(At, Header, HeaderLength * sizeof(CHAR16));
    CopyBytes(At + HeaderLength, Case.Alternate, AlternateLength * sizeof(CHAR16));
  }
  return Text;
}

void CheckRouterAnswer(CheckLog &Log, PUBLISHED_CARD &Card, const RouterAnswerCase &Case) {
  const CARD_FIXTURE_STORE &Store = *Card.Stores[Case.Store].Fixture;
  CHAR16 *Header = CardStoreConfigHeader(Card, Store);
  const UINTN HeaderLength = Header == nullptr ? 0 : Utf16Length(Header);
  const UINTN TailLength = Utf16Length(Case.RequestTail);
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero((HeaderLength + TailLength + 1) * sizeof(CHAR16)));
  CHAR16 *Expected = Header == nullptr ? nullptr : ExpectedAnswer(Header, Case);
  CHAR16 *Progress = nullptr;
  CHAR16 *Answer = nullptr;
  const UINTN CallsBefore = Card.ExtractConfigCalls;
  EFI_STATUS Status = EFI_OUT_OF_RESOURCES;
  if (Request != nullptr && Expected != nullptr) {
    CopyBytes(Request, Header, HeaderLength * sizeof(CHAR16));
    CopyBytes(Request + HeaderLength, Case.RequestTail, TailLength * sizeof(CHAR16));
    Status = Router()->ExtractConfig(Router(), Request, &Progress, &Answer);
  }
  ReportLine Details;
  if (Status != EFI_SUCCESS || Answer == nullptr) {
    Details.Text("ExtractConfig gave ").Status(Status);
  } else if (!SameText(Answer, Expected)) {
    const UINTN Common =
        FirstDifference(reinterpret_cast<const UINT8 *>(Answer), reinterpret_cast<const UINT8 *>(Expected),
                        (Utf16Length(Answer) + 1) * sizeof(CHAR16)) /
        sizeof(CHAR16);
    const UINTN From = Common > 8 ? Common - 8 : 0;
    Details.Text("from character ").Decimal(From).Text(" the answer reads ").Quoted(Answer + From, 120);
  } else if (Card.ExtractConfigCalls != CallsBefore + 1) {
    Details.Text("the card's ExtractConfig ran ")
        .Decimal(Card.ExtractConfigCalls - CallsBefore)
        .Text(" times");
  }
  Log.Record(Case.Name, Details.IsEmpty(), Details);
  if (Answer != nullptr) BootServices->FreePool(Answer);
  PoolFree(Header);
  PoolFree(Request);
  PoolFree(Expected);
}

// ---- the router's block conversions at the edges the card answers reach ---------------------

// A header the conversions skip, as in the UEFI example.
constexpr CHAR16 ANY_HEADER[] = u"GUID=00000000000000000000000000000000&NAME=0000&PATH=00";
constexpr UINTN CONVERSION_BLOCK = 4;
constexpr UINT8 UNTOUCHED = 0x55;
constexpr UINTN PROGRESS_AT_END = ~UINTN{0};

struct ConfigToBlockCase {
  const CHAR8 *Name;
  const CHAR16 *Body;  // after ANY_HEADER
  EFI_STATUS Status;
  UINTN ProgressAt;  // index into Body (PROGRESS_AT_END: its end)
  UINT8 Block[CONVERSION_BLOCK];
  UINTN SizeAfter;
};

// The conversions as the reference firmware makes them where a card's answers
// take them: alternates after the current values, zero-width elements (a string
// whose MaxSize is 0), elements beyond the block. (It is more lenient than the
// simulator with malformed values, which no check here sends.)
constexpr ConfigToBlockCase CONFIG_TO_BLOCK_CASES[] = {
    {"cards/router: ConfigToBlock stops at an alternate configuration: invalid parameter, what came before "
     "written",
     u"&OFFSET=0&WIDTH=1&VALUE=11&ALTCFG=0000&OFFSET=1&WIDTH=1&VALUE=22",
     EFI_INVALID_PARAMETER,
     26,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     CONVERSION_BLOCK},
    {"cards/router: ConfigToBlock stops at the header of the next configuration the same way",
     u"&OFFSET=0&WIDTH=1&VALUE=11&GUID=00000000000000000000000000000000&NAME=0000&PATH=00&ALTCFG=0000"
     u"&OFFSET=1&WIDTH=1&VALUE=22",
     EFI_INVALID_PARAMETER,
     26,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     CONVERSION_BLOCK},
    {"cards/router: ConfigToBlock refuses an element without digits, the ones before it written",
     u"&OFFSET=0&WIDTH=1&VALUE=11&OFFSET=1&WIDTH=1&VALUE=",
     EFI_INVALID_PARAMETER,
     26,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     CONVERSION_BLOCK},
    {"cards/router: ConfigToBlock refuses an element without VALUE, the ones before it written",
     u"&OFFSET=0&WIDTH=1&VALUE=11&OFFSET=1&WIDTH=1",
     EFI_INVALID_PARAMETER,
     26,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     CONVERSION_BLOCK},
    {"cards/router: ConfigToBlock passes over an element beyond the block: too small, size needed, Progress "
     "at the end",
     u"&OFFSET=3&WIDTH=2&VALUE=2222&OFFSET=0&WIDTH=1&VALUE=11",
     EFI_BUFFER_TOO_SMALL,
     PROGRESS_AT_END,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     5},
    {"cards/router: ConfigToBlock takes zero-width elements and writes nothing for them",
     u"&OFFSET=1&WIDTH=0&VALUE=&OFFSET=2&WIDTH=0&VALUE=00&OFFSET=0&WIDTH=1&VALUE=11",
     EFI_SUCCESS,
     PROGRESS_AT_END,
     {0x11, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     1},
    {"cards/router: ConfigToBlock of a header alone is refused, Progress after the header",
     u"",
     EFI_INVALID_PARAMETER,
     0,
     {UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED},
     CONVERSION_BLOCK},
};

struct BlockToConfigCase {
  const CHAR8 *Name;
  const CHAR16 *Body;  // after ANY_HEADER
  EFI_STATUS Status;
  const CHAR16 *Answer;  // after ANY_HEADER, when Status is EFI_SUCCESS
  UINTN ProgressAt;      // index into Body (PROGRESS_AT_END: its end)
};

constexpr BlockToConfigCase BLOCK_TO_CONFIG_CASES[] = {
    {"cards/router: BlockToConfig answers a zero-width element with an empty VALUE",
     u"&OFFSET=1&WIDTH=0&OFFSET=0&WIDTH=1", EFI_SUCCESS,
     u"&OFFSET=1&WIDTH=0&VALUE=&OFFSET=0&WIDTH=1&VALUE=55", PROGRESS_AT_END},
    {"cards/router: BlockToConfig keeps the order and repeats of the request",
     u"&OFFSET=2&WIDTH=2&OFFSET=0&WIDTH=1&OFFSET=0&WIDTH=1", EFI_SUCCESS,
     u"&OFFSET=2&WIDTH=2&VALUE=5555&OFFSET=0&WIDTH=1&VALUE=55&OFFSET=0&WIDTH=1&VALUE=55", PROGRESS_AT_END},
    {"cards/router: BlockToConfig answers a header alone with itself", u"", EFI_SUCCESS, u"",
     PROGRESS_AT_END},
    {"cards/router: BlockToConfig refuses an element beyond the block: device error, Progress at the end",
     u"&OFFSET=0&WIDTH=4&OFFSET=3&WIDTH=2", EFI_DEVICE_ERROR, nullptr, PROGRESS_AT_END},
    {"cards/router: BlockToConfig refuses an alternate configuration in the request at its \"&\"",
     u"&OFFSET=0&WIDTH=1&ALTCFG=0000&OFFSET=0&WIDTH=1", EFI_INVALID_PARAMETER, nullptr, 17},
};

CHAR16 *Concatenate(const CHAR16 *First, const CHAR16 *Second) {
  const UINTN FirstLength = Utf16Length(First);
  const UINTN SecondLength = Utf16Length(Second);
  auto *Text = static_cast<CHAR16 *>(PoolAllocZero((FirstLength + SecondLength + 1) * sizeof(CHAR16)));
  if (Text == nullptr) return nullptr;
  CopyBytes(Text, First, FirstLength * sizeof(CHAR16));
  CopyBytes(Text + FirstLength, Second, SecondLength * sizeof(CHAR16));
  return Text;
}

void CheckConfigToBlock(CheckLog &Log, const ConfigToBlockCase &Case) {
  CHAR16 *Response = Concatenate(ANY_HEADER, Case.Body);
  UINT8 Block[CONVERSION_BLOCK];
  FillBytes(Block, sizeof(Block), UNTOUCHED);
  UINTN Size = sizeof(Block);
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Response == nullptr
                                ? EFI_OUT_OF_RESOURCES
                                : Router()->ConfigToBlock(Router(), Response, Block, &Size, &Progress);
  const UINTN HeaderLength = Utf16Length(ANY_HEADER);
  const UINTN ProgressAt = Case.ProgressAt == PROGRESS_AT_END ? Utf16Length(Case.Body) : Case.ProgressAt;
  const bool Ok = Status == Case.Status && Progress == Response + HeaderLength + ProgressAt &&
                  CompareBytes(Block, Case.Block, sizeof(Block)) == 0 && Size == Case.SizeAfter;
  ReportLine Details;
  Details.Text("gave ")
      .Status(Status)
      .Text(", Progress at ")
      .Decimal(Progress - Response - HeaderLength)
      .Text(", block ");
  for (UINT8 Byte : Block) Details.Hex(Byte, 2);
  Details.Text(", size ").Decimal(Size);
  Log.Record(Case.Name, Ok, Details);
  PoolFree(Response);
}

void CheckBlockToConfig(CheckLog &Log, const BlockToConfigCase &Case) {
  CHAR16 *Request = Concatenate(ANY_HEADER, Case.Body);
  CHAR16 *Expected = Case.Answer == nullptr ? nullptr : Concatenate(ANY_HEADER, Case.Answer);
  UINT8 Block[CONVERSION_BLOCK];
  FillBytes(Block, sizeof(Block), UNTOUCHED);
  CHAR16 *Config = nullptr;
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Request == nullptr ? EFI_OUT_OF_RESOURCES
                                               : Router()->BlockToConfig(Router(), Request, Block,
                                                                         sizeof(Block), &Config, &Progress);
  const UINTN HeaderLength = Utf16Length(ANY_HEADER);
  const UINTN ProgressAt = Case.ProgressAt == PROGRESS_AT_END ? Utf16Length(Case.Body) : Case.ProgressAt;
  const bool Answered =
      Expected == nullptr ? Config == nullptr : Config != nullptr && SameText(Config, Expected);
  ReportLine Details;
  Details.Text("gave ")
      .Status(Status)
      .Text(", Progress at ")
      .Decimal(Progress - Request - HeaderLength)
      .Text(", ")
      .Quoted(Config, 160);
  Log.Record(Case.Name, Status == Case.Status && Answered && Progress == Request + HeaderLength + ProgressAt,
             Details);
  if (Config != nullptr) BootServices->FreePool(Config);
  PoolFree(Request);
  PoolFree(Expected);
}

// ---- the card's own configuration access, called directly --------------------------------------

void CheckNullRequest(CheckLog &Log, PUBLISHED_CARD &Card) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Card.ConfigAccess.ExtractConfig(&Card.ConfigAccess, nullptr, &Progress, &Results);
  const PUBLISHED_CARD_STORE &Store = Card.Stores[0];
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Store.Fixture->Size));
  CHAR16 *Header = CardStoreConfigHeader(Card, *Store.Fixture);
  ReportLine Details;
  if (Status != EFI_SUCCESS || Results == nullptr || Block == nullptr || Header == nullptr) {
    Details.Text("ExtractConfig gave ").Status(Status);
  } else if (Utf16CompareN(Results, Header, Utf16Length(Header)) != 0) {
    Details.Text("the answer does not begin with the store's header");
  } else {
    UINTN Size = Store.Fixture->Size;
    Status = Router()->ConfigToBlock(Router(), Results, Block, &Size, &Progress);
    if (Status != EFI_SUCCESS || CompareBytes(Block, Store.Bytes, Store.Fixture->Size) != 0)
      Details.Text("ConfigToBlock of the answer gave ").Status(Status).Text(" or other bytes");
  }
  if (Results != nullptr) BootServices->FreePool(Results);
  PoolFree(Block);
  PoolFree(Header);
  Log.Record("cards/a card's ExtractConfig with no request answers its whole buffer store", Details.IsEmpty(),
             Details);
}

void CheckForeignRequests(CheckLog &Log, PUBLISHED_CARD &Card, const PUBLISHED_CARD &Other) {
  CHAR16 *Foreign = CardStoreConfigHeader(Other, Other.Fixture->Stores[0]);
  CHAR16 *Request = Foreign == nullptr ? nullptr : BlockRequest(Foreign, 0, 1);
  CHAR16 *Configuration = Foreign == nullptr ? nullptr : BlockRequest(Foreign, 0, 1, u"&VALUE=01");
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  const EFI_STATUS Extract =
      Request == nullptr ? EFI_OUT_OF_RESOURCES
                         : Card.ConfigAccess.ExtractConfig(&Card.ConfigAccess, Request, &Progress, &Results);
  const bool ExtractProgress = Progress == Request && Results == nullptr;
  const EFI_STATUS Route = Configuration == nullptr
                               ? EFI_OUT_OF_RESOURCES
                               : Card.ConfigAccess.RouteConfig(&Card.ConfigAccess, Configuration, &Progress);
  const bool RouteProgress = Progress == Configuration;
  ReportLine Details;
  Details.Text("ExtractConfig gave ")
      .Status(Extract)
      .Text(ExtractProgress ? "" : " (Progress moved)")
      .Text(", RouteConfig gave ")
      .Status(Route)
      .Text(RouteProgress ? "" : " (Progress moved)");
  Log.Record("cards/a card refuses another card's store: not found, Progress at the start of the request",
             Extract == EFI_NOT_FOUND && Route == EFI_NOT_FOUND && ExtractProgress && RouteProgress, Details);
  PoolFree(Foreign);
  PoolFree(Request);
  PoolFree(Configuration);
}

// The card's own configuration sets byte 0; an alternate configuration after
// it, under its own header, would set byte 1.
void CheckAlternatesIgnored(CheckLog &Log, PUBLISHED_CARD &Card) {
  const PUBLISHED_CARD_STORE &Store = Card.Stores[0];
  CHAR16 *Header = CardStoreConfigHeader(Card, *Store.Fixture);
  CHAR16 *Own = Header == nullptr ? nullptr : BlockRequest(Header, 0, 1, u"&VALUE=77&");
  CHAR16 *OwnAndHeader = Own == nullptr ? nullptr : Concatenate(Own, Header);
  CHAR16 *Configuration = OwnAndHeader == nullptr
                              ? nullptr
                              : Concatenate(OwnAndHeader, u"&ALTCFG=0000&OFFSET=1&WIDTH=1&VALUE=ee");
  const UINT8 Before[2] = {Store.Bytes[0], Store.Bytes[1]};
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Configuration == nullptr
                                ? EFI_OUT_OF_RESOURCES
                                : Card.ConfigAccess.RouteConfig(&Card.ConfigAccess, Configuration, &Progress);
  const bool Applied = Status == EFI_SUCCESS && Store.Bytes[0] == 0x77 && Store.Bytes[1] == Before[1] &&
                       Progress == Configuration + Utf16Length(Configuration);
  Store.Bytes[0] = Before[0];
  ReportLine Details;
  Details.Text("RouteConfig gave ")
      .Status(Status)
      .Text(", bytes ")
      .Hex(Store.Bytes[0], 2)
      .Text(" ")
      .Hex(Store.Bytes[1], 2);
  Log.Record(
      "cards/a card's RouteConfig applies its own configuration and ignores the alternate one after it",
      Applied, Details);
  PoolFree(Header);
  PoolFree(Own);
  PoolFree(OwnAndHeader);
  PoolFree(Configuration);
}

// Two bytes from the last one: the second lies beyond the store. Both handlers
// refuse it as a request they cannot parse, with Progress at its "&OFFSET=".
void CheckBeyondStoreRefused(CheckLog &Log, PUBLISHED_CARD &Card) {
  const PUBLISHED_CARD_STORE &Store = Card.Stores[0];
  CHAR16 *Header = CardStoreConfigHeader(Card, *Store.Fixture);
  const UINTN Last = Store.Fixture->Size - 1;
  CHAR16 *Request = Header == nullptr ? nullptr : BlockRequest(Header, Last, 2);
  CHAR16 *Configuration = Header == nullptr ? nullptr : BlockRequest(Header, Last, 2, u"&VALUE=0101");
  const UINTN Element = Header == nullptr ? 0 : Utf16Length(Header);
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Request == nullptr
                          ? EFI_OUT_OF_RESOURCES
                          : Card.ConfigAccess.ExtractConfig(&Card.ConfigAccess, Request, &Progress, &Results);
  ReportLine ReadDetails;
  ReadDetails.Text("ExtractConfig gave ").Status(Status).Text(", Progress at ").Decimal(Progress - Request);
  Log.Record("cards/a card refuses a read beyond its store: invalid parameter, Progress at the element",
             Status == EFI_INVALID_PARAMETER && Progress == Request + Element && Results == nullptr,
             ReadDetails);

  Status = Configuration == nullptr
               ? EFI_OUT_OF_RESOURCES
               : Card.ConfigAccess.RouteConfig(&Card.ConfigAccess, Configuration, &Progress);
  const bool Kept = CompareBytes(Store.Bytes, Store.Fixture->Initial, Store.Fixture->Size) == 0;
  ReportLine WriteDetails;
  WriteDetails.Text("RouteConfig gave ")
      .Status(Status)
      .Text(", Progress at ")
      .Decimal(Progress - Configuration)
      .Text(Kept ? "" : ", the store changed");
  Log.Record(
      "cards/a card refuses a write beyond its store: invalid parameter, store kept, Progress at the element",
      Status == EFI_INVALID_PARAMETER && Kept && Progress == Configuration + Element, WriteDetails);
  if (Results != nullptr) BootServices->FreePool(Results);
  PoolFree(Header);
  PoolFree(Request);
  PoolFree(Configuration);
}

// ---- removal ---------------------------------------------------------------------------------

bool VariableExists(const CARD_FIXTURE_STORE &Store) {
  CHAR16 Name[64] = {};
  for (UINTN Index = 0; Store.Name[Index] != 0 && Index + 1 < ArrayCount(Name); ++Index)
    Name[Index] = static_cast<CHAR16>(Store.Name[Index]);
  UINT8 Probe = 0;
  UINTN Size = 0;
  return RuntimeServices->GetVariable(Name, &Store.Guid, nullptr, &Size, &Probe) != EFI_NOT_FOUND;
}

void CheckRemoval(CheckLog &Log, PUBLISHED_CARD *(&Cards)[CARD_COUNT]) {
  ReportLine Details;
  for (PUBLISHED_CARD *&Card : Cards) {
    if (Card == nullptr) continue;
    const EFI_HII_HANDLE HiiHandle = Card->HiiHandle;
    const EFI_HANDLE Handle = Card->DriverHandle;
    const CARD_FIXTURE *Fixture = Card->Fixture;
    const EFI_STATUS Status = RemoveFixtureCard(Card, true);
    for (UINTN Index = 0; Index < Fixture->StoreCount; ++Index)
      if (Fixture->Stores[Index].IsEfi && VariableExists(Fixture->Stores[Index]) && Details.IsEmpty())
        Details.Text("the variable ").Text(Fixture->Stores[Index].Name).Text(" is still there");
    Card = nullptr;
    UINTN Size = 0;
    void *Interface = nullptr;
    if (Status != EFI_SUCCESS && Details.IsEmpty()) Details.Text("RemoveFixtureCard gave ").Status(Status);
    if (Database()->ExportPackageLists(Database(), HiiHandle, &Size, nullptr) == EFI_BUFFER_TOO_SMALL &&
        Details.IsEmpty())
      Details.Text("a removed list still exports");
    if (!EFI_ERROR(BootServices->HandleProtocol(Handle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Interface)) &&
        Details.IsEmpty())
      Details.Text("a removed card's handle keeps its configuration access");
  }
  Log.Record("cards/every card is removed again: list, handle protocols and variables", Details.IsEmpty(),
             Details);
}

}  // namespace

void RunCardFixtureChecks(CheckLog &Log) {
  ReportLine Missing;
  if (Router() == nullptr || Database() == nullptr) {
    Log.Fail("cards/the firmware has an HII database and a configuration router",
             Missing.Text("not located"));
    return;
  }
  CARD_PCI_FUNCTION Functions[TEST_PCI_FUNCTION_COUNT] = {};
  if (!FindTestFunctions(Log, Functions)) return;

  PUBLISHED_CARD *Cards[CARD_COUNT] = {};
  BIG_CARD Big = {};
  ReportLine Details;
  for (UINTN Index = 0; Index < ArrayCount(CARD_PLACEMENTS); ++Index) {
    const CardPlacement &Placement = CARD_PLACEMENTS[Index];
    const EFI_STATUS Status = PublishFixtureCard(
        GetCardFixture(Placement.Shape), Functions[Placement.Function], Placement.Port, &Cards[Index]);
    if (EFI_ERROR(Status) && Details.IsEmpty())
      Details.Text(GetCardFixture(Placement.Shape).Name).Text(" gave ").Status(Status);
  }
  EFI_STATUS Status = BuildBigCard(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings, &Big);
  if (Status == EFI_SUCCESS)
    Status = PublishFixtureCard(Big.Fixture, Functions[PCI_TESTDEV_FUNCTION], BIG_CARD_PORT,
                                &Cards[CARD_COUNT - 1]);
  if (EFI_ERROR(Status) && Details.IsEmpty()) Details.Text("the big card gave ").Status(Status);
  Log.Record("cards/every shape publishes on its function (the big card with 1025 questions and 51 strings)",
             Details.IsEmpty(), Details);

  for (PUBLISHED_CARD *Card : Cards)
    if (Card != nullptr) CheckPublishedCard(Log, *Card);
  for (const ConfigToBlockCase &Case : CONFIG_TO_BLOCK_CASES) CheckConfigToBlock(Log, Case);
  for (const BlockToConfigCase &Case : BLOCK_TO_CONFIG_CASES) CheckBlockToConfig(Log, Case);
  for (const RouterAnswerCase &Case : ROUTER_ANSWER_CASES)
    if (Cards[Case.Card] != nullptr) CheckRouterAnswer(Log, *Cards[Case.Card], Case);
  if (Cards[FIRST_SAMPLE_CARD] != nullptr && Cards[SECOND_SAMPLE_CARD] != nullptr) {
    CheckTwoCardsOfOneModel(Log, *Cards[FIRST_SAMPLE_CARD], *Cards[SECOND_SAMPLE_CARD]);
    CheckNullRequest(Log, *Cards[FIRST_SAMPLE_CARD]);
    CheckForeignRequests(Log, *Cards[FIRST_SAMPLE_CARD], *Cards[SECOND_SAMPLE_CARD]);
    CheckAlternatesIgnored(Log, *Cards[FIRST_SAMPLE_CARD]);
    CheckBeyondStoreRefused(Log, *Cards[FIRST_SAMPLE_CARD]);
  }
  CheckRemoval(Log, Cards);
  FreeBigCard(&Big);
}

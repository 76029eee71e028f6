// AddOnCardRoad.efi: the road of one setting through AddOnCard.efi in real
// firmware. Booted from a disk that also holds AddOnCard.efi and
// AddOnCardTestCard.efi, it plays the platform: it loads and starts the driver
// and the card driver, connects the card functions, puts the road card's IDs
// into the supported list through the keyword handler, installs the scan
// trigger and checks the page the driver built from the card's own form set,
// reads every keyword, sets one, installs the apply trigger and checks what
// landed in the card's own store, scans again, and removes the form set. A
// later boot on the same variable store finds the list kept and the page built
// again from the card's current values. It reports like the firmware test
// application and ends QEMU with the verdict.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "qemu/card_publisher.h"
#include "qemu/driver_model.h"
#include "qemu/port_io.h"
#include "qemu/road/road.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"

namespace {

namespace rc = sim::road_card;

constexpr CHAR16 DRIVER_FILE[] = u"\\AddOnCard.efi";
constexpr CHAR16 CARD_DRIVER_FILE[] = u"\\AddOnCardTestCard.efi";
constexpr CHAR16 BOOT_COUNTER_NAME[] = u"AddOnCardRoadBoots";
constexpr EFI_GUID ROAD_GUID = {0x7A4041FE, 0xDC74, 0x4530, {0x8B, 0x2F, 0x41, 0x1D, 0x99, 0x8A, 0x85, 0xE3}};
constexpr UINT32 BOOT_COUNTER_ATTRIBUTES =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN ID_DIGITS = 4;
constexpr UINTN BYTE_DIGITS = 2;

// The cards the card driver publishes, where, and whether the driver gives them a page.
struct CARD_ON_MACHINE {
  const CHAR8 *Title;
  EFI_GUID FormSet;
  UINTN Function;
  const CHAR8 *WhyNoPage;  // null for the road card
};
constexpr CARD_ON_MACHINE CARDS[] = {
    {rc::Title, rc::FormSetGuid, ROAD_CARD_FUNCTION, nullptr},
    {sim::mac_card::Title, sim::mac_card::FormSetGuid, MAC_CARD_FUNCTION, "its title begins \"MAC:\""},
    {sim::second_model::Title, sim::second_model::FormSetGuid, SECOND_MODEL_FUNCTION,
     "its IDs are not on the list"},
};

// The pair the road puts on the supported list: the road card's model.
constexpr UINT16 ROAD_VENDOR_ID = TEST_PCI_FUNCTIONS[ROAD_CARD_FUNCTION].VendorId;
constexpr UINT16 ROAD_DEVICE_ID = TEST_PCI_FUNCTIONS[ROAD_CARD_FUNCTION].DeviceId;

// Without the exit device the write does nothing; the firmware's own shutdown
// then ends QEMU, and the runner still reads the verdict from the summary line.
[[noreturn]] void EndVirtualMachine(bool Success) {
  WritePortWord(DEBUG_EXIT_PORT, Success ? DEBUG_EXIT_SUCCESS : DEBUG_EXIT_FAILURE);
  if (RuntimeServices != nullptr)
    RuntimeServices->ResetSystem(EfiResetShutdown, Success ? EFI_SUCCESS : EFI_ABORTED, 0, nullptr);
  for (;;) __asm__ __volatile__("hlt");
}

// The boot number on this variable store, counted in a variable of the road's own.
UINT32 CountThisBoot() {
  UINT32 Previous = 0;
  if (EFI_ERROR(ReadVariable(BOOT_COUNTER_NAME, ROAD_GUID, &Previous, sizeof(Previous)))) Previous = 0;
  UINT32 Boot = Previous + 1;
  const EFI_STATUS Status = RuntimeServices->SetVariable(BOOT_COUNTER_NAME, &ROAD_GUID,
                                                         BOOT_COUNTER_ATTRIBUTES, sizeof(Boot), &Boot);
  ReportLine Note;
  Note.Text("NOTE road boot: ").Decimal(Boot);
  if (EFI_ERROR(Status)) Note.Text(" (the counter could not be kept: ").Status(Status).Text(")");
  Note.Emit();
  return Boot;
}

void AppendLocation(ReportLine &Line, const TEST_PCI_FUNCTION &Function) {
  Line.Hex(Function.Bus, 2).Text(":").Hex(Function.Device, 2).Text(".").Hex(Function.Function);
}

void AppendIds(ReportLine &Line, UINT16 VendorId, UINT16 DeviceId) {
  Line.Hex(VendorId, 4).Text(":").Hex(DeviceId, 4);
}

// ---- step 1: the driver and the card driver ------------------------------------------------

EFI_HANDLE PciFunctionHandle(const TEST_PCI_FUNCTION &Wanted) {
  CARD_PCI_FUNCTION Found[TEST_PCI_FUNCTION_COUNT] = {};
  UINTN Count = 0;
  if (EFI_ERROR(FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count)))
    return nullptr;
  for (UINTN Index = 0; Index < Count && Index < ArrayCount(Found); ++Index)
    if (Found[Index].Bus == Wanted.Bus && Found[Index].Device == Wanted.Device &&
        Found[Index].Function == Wanted.Function)
      return Found[Index].Handle;
  return nullptr;
}

bool LoadDriver(ROAD &Road) {
  EFI_STATUS Loaded = EFI_SUCCESS;
  const EFI_STATUS Started = LoadAndStartImage(Road.Services, DRIVER_FILE, &Loaded);
  ReportLine Details;
  Details.Text("LoadImage ").Status(Loaded).Text(", StartImage ").Status(Started);
  Road.Log->Record("road/LoadImage and StartImage of AddOnCard.efi succeed",
                   Loaded == EFI_SUCCESS && Started == EFI_SUCCESS, Details);

  Road.DriverHii = FindListByFormSet(Road.Services, ADDONCARD_FORMSET_GUID);
  RoadText Expected;
  Expected.HexBytes(&ADDONCARD_DEVICE_PATH, sizeof(ADDONCARD_DEVICE_PATH));
  const bool Registered =
      Road.DriverHii != nullptr && ListOwnerPathHex(Road.Services, Road.DriverHii, &Road.DriverPath);
  const bool Ok =
      Registered && Utf16CompareN(Road.DriverPath.Chars(), Expected.Chars(), Expected.Length() + 1) == 0;
  ReportLine PathDetails;
  PathDetails.Text(Road.DriverHii == nullptr ? "no list with the form-set GUID" : "owner path ")
      .Utf16(Road.DriverPath.Chars());
  Road.Log->Record(
      "road/the driver's form set is registered, on a handle with the driver's vendor device path", Ok,
      PathDetails);

  ReportLine Show = ShowLine();
  Show.Text("AddOnCard.efi loaded and started: ");
  AppendStatus(Show, Started);
  Show.Text(Registered ? "; its form set is registered" : "; its form set is NOT registered").Emit();
  return Registered;
}

bool LoadCardDriver(ROAD &Road) {
  EFI_STATUS Loaded = EFI_SUCCESS;
  const EFI_STATUS Started = LoadAndStartImage(Road.Services, CARD_DRIVER_FILE, &Loaded);
  ReportLine Details;
  Details.Text("LoadImage ").Status(Loaded).Text(", StartImage ").Status(Started);
  Road.Log->Record("road/LoadImage and StartImage of the card driver succeed",
                   Loaded == EFI_SUCCESS && Started == EFI_SUCCESS, Details);

  bool Connected = true;
  ReportLine Connect;
  for (const CARD_ON_MACHINE &Card : CARDS) {
    const TEST_PCI_FUNCTION &Function = TEST_PCI_FUNCTIONS[Card.Function];
    const EFI_HANDLE Handle = PciFunctionHandle(Function);
    const EFI_STATUS Status = Handle == nullptr ? EFI_NOT_FOUND : ConnectController(*BootServices, Handle);
    Connected = Connected && Status == EFI_SUCCESS;
    AppendLocation(Connect, Function);
    Connect.Text(" ").Status(Status).Text("; ");
  }
  Road.Log->Record("road/ConnectController of each card function succeeds", Connected, Connect);
  return Loaded == EFI_SUCCESS && Started == EFI_SUCCESS;
}

// Each card's list is registered below its function; the road card's is kept.
bool FindCards(ROAD &Road) {
  bool Ok = true;
  ReportLine Details;
  for (const CARD_ON_MACHINE &Card : CARDS) {
    const TEST_PCI_FUNCTION &Function = TEST_PCI_FUNCTIONS[Card.Function];
    const EFI_HII_HANDLE Handle = FindListByFormSet(Road.Services, Card.FormSet);
    OWNER_FUNCTION Owner = {};
    const EFI_STATUS Status =
        Handle == nullptr ? EFI_NOT_FOUND : ListOwnerFunction(Road.Services, Handle, &Owner);
    const bool Below = Status == EFI_SUCCESS && Owner.VendorId == Function.VendorId &&
                       Owner.DeviceId == Function.DeviceId && Owner.Bus == Function.Bus &&
                       Owner.Device == Function.Device && Owner.Function == Function.Function;
    if (!Below) {
      Ok = false;
      Details.QuotedAscii(Card.Title).Text(": ").Status(Status).Text("; ");
    }
    ReportLine Show = ShowLine();
    Show.Text("  ");
    AppendLocation(Show, Function);
    Show.Text("  ");
    AppendIds(Show, Function.VendorId, Function.DeviceId);
    Show.Text("  ").QuotedAscii(Card.Title).Text(Below ? "" : "  (NOT published)").Emit();
    if (Card.WhyNoPage != nullptr || !Below) continue;
    Road.CardHii = Handle;
    ListOwnerPathHex(Road.Services, Handle, &Road.CardPath);
  }
  Road.Log->Record("road/the card driver publishes each card's form set on a child of its PCI function", Ok,
                   Details);
  if (Road.CardHii == nullptr) return false;

  const EFI_STATUS Exported = ExportList(Road.Services, Road.CardHii, &Road.CardList);
  EFI_STRING_ID TitleId = 0;
  CHAR16 *Title = nullptr;
  if (!EFI_ERROR(Exported) && ReadFormSetTitle(Road.CardList.View(), &TitleId))
    Title = ReadHiiString(Road.Services, Road.CardHii, TitleId, "en-US");
  if (Title != nullptr) {
    UINTN Index = 0;
    for (; Title[Index] != 0 && Index + 1 < SHOWN_TEXT_CHARS; ++Index) Road.CardTitle[Index] = Title[Index];
    Road.CardTitle[Index] = 0;
  }
  PoolFree(Title);
  const TEST_PCI_FUNCTION &Function = TEST_PCI_FUNCTIONS[ROAD_CARD_FUNCTION];
  RoadText Location;
  Location.HexValue(Function.Bus, 2, true)
      .HexValue(Function.Device, 2, true)
      .HexValue(Function.Function, 2, true);
  for (UINTN Index = 0; Index <= Location.Length() && Index < ArrayCount(Road.Location); ++Index)
    Road.Location[Index] = Location.Chars()[Index];
  ReportLine ExportDetails;
  Road.Log->Record("road/the road card's list exports, with its form-set title", Title != nullptr,
                   ExportDetails.Text("export ").Status(Exported));
  return Road.CardList.Bytes != nullptr;
}

bool StepLoad(ROAD &Road) {
  BeginStep("1. Load the driver and the card driver; connect the card functions");
  const bool Driver = LoadDriver(Road);
  ShowLine().Text("The card driver (AddOnCardTestCard.efi) binds to the machine's PCI functions:").Emit();
  const bool Cards = LoadCardDriver(Road) && FindCards(Road);
  return Driver && Cards;
}

// ---- step 2: the supported list ----------------------------------------------------------------

ADDONCARD_PCI_ID_LIST RoadList() {
  ADDONCARD_PCI_ID_LIST List = {};
  List.VendorId[0] = ROAD_VENDOR_ID;
  List.DeviceId[0] = ROAD_DEVICE_ID;
  List.PairCount = 1;
  return List;
}

void CheckListVariable(ROAD &Road, const CHAR8 *Check) {
  ADDONCARD_PCI_ID_LIST Stored = {};
  UINT32 Attributes = 0;
  const EFI_STATUS Status =
      ReadVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, &Stored, sizeof(Stored), &Attributes);
  const ADDONCARD_PCI_ID_LIST Expected = RoadList();
  const bool Ok = Status == EFI_SUCCESS && Attributes == ADDONCARD_PCI_VAR_ATTRIBUTES &&
                  CompareBytes(&Stored, &Expected, sizeof(Stored)) == 0;
  ReportLine Details;
  Details.Text("GetVariable ")
      .Status(Status)
      .Text(", attributes 0x")
      .Hex(Attributes)
      .Text(", pair count ")
      .Decimal(Stored.PairCount)
      .Text(", pair 1 ");
  AppendIds(Details, Stored.VendorId[0], Stored.DeviceId[0]);
  Road.Log->Record(Check, Ok, Details);
  ReportLine Show = ShowLine();
  Show.Text("TLX_ADDONCARD_PCI_VAR holds ")
      .Decimal(Stored.PairCount)
      .Text(Stored.PairCount == 1 ? " pair:" : " pairs:");
  for (UINTN Index = 0; Index < Stored.PairCount && Index < ADDONCARD_MAX_PCI_ID_PAIRS; ++Index) {
    Show.Text(" ");
    AppendIds(Show, Stored.VendorId[Index], Stored.DeviceId[Index]);
  }
  Show.Emit();
}

void StepSetList(ROAD &Road) {
  BeginStep("2. Put the card's IDs into the supported list through the keyword handler");
  const struct {
    const CHAR16 *Keyword;
    UINT64 Value;
    UINTN Digits;
  } Settings[] = {
      {u"CSPACF00", ROAD_VENDOR_ID, ID_DIGITS},
      {u"CSPACF0A", ROAD_DEVICE_ID, ID_DIGITS},
      {u"CSPACF14", 1, BYTE_DIGITS},
  };
  bool Ok = true;
  ReportLine Details;
  for (const auto &Setting : Settings) {
    RoadText Request;
    UINT32 Error = 0;
    const EFI_STATUS Status = SetKeyword(Road.Services, Road.DriverPath.Chars(), Setting.Keyword,
                                         Setting.Value, Setting.Digits, &Error, &Request);
    if (Status != EFI_SUCCESS) {
      Ok = false;
      Details.Utf16(Setting.Keyword).Text(" gave ").Status(Status).Text(" error 0x").Hex(Error).Text("; ");
    }
    ReportLine Show = ShowLine();
    Show.Text("SetData ").Utf16(Request.Chars()).Text(" -> ");
    AppendStatus(Show, Status);
    Show.Emit();
  }
  Road.Log->Record("road/SetData of CSPACF00, CSPACF0A and CSPACF14 succeeds", Ok, Details);
  CheckListVariable(Road,
                    "road/the PCI list variable then holds the card's IDs as its one pair, attributes 0x7");
}

void StepListKept(ROAD &Road) {
  BeginStep("2. The supported list, kept from the earlier boot");
  CheckListVariable(Road, "road/the PCI list variable still holds the card's IDs after the reset");
}

// ---- step 3: the scan ----------------------------------------------------------------------------

void CheckTrigger(ROAD &Road, const CHAR8 *Check, const EFI_GUID &Trigger) {
  const EFI_STATUS Status = InstallTrigger(Trigger);
  ReportLine Details;
  Road.Log->Record(Check, Status == EFI_SUCCESS,
                   Details.Text("InstallProtocolInterface gave ").Status(Status));
}

bool StepScan(ROAD &Road, BUILT_PAGE *Page) {
  BeginStep("3. Install the scan trigger; the driver builds the card's page");
  CheckTrigger(Road, "road/the platform installs CARD_FORMS_NOTIFY", CARD_FORMS_NOTIFY_GUID);
  EXPORTED_LIST Driver = {};
  if (!ExportDriverList(Road, &Driver)) return false;
  const bool Built = CheckCardPage(Road, Driver, 0, 0, 0, Page);
  CheckEmptySlot(Road, Driver, 1);
  FreeExport(&Driver);
  ReportLine Found = ShowLine();
  Found.Text("Card found: ").Quoted(Road.CardTitle).Text(" (");
  AppendIds(Found, ROAD_VENDOR_ID, ROAD_DEVICE_ID);
  Found.Text(" at ").Utf16(Road.Location).Text(")").Emit();
  if (Built) ShowPage(Road, *Page);
  for (const CARD_ON_MACHINE &Card : CARDS)
    if (Card.WhyNoPage != nullptr)
      ShowLine().Text("No page for ").QuotedAscii(Card.Title).Text(": ").Text(Card.WhyNoPage).Emit();
  return Built;
}

// ---- step 4: every keyword ---------------------------------------------------------------------------

void StepReadKeywords(ROAD &Road, const BUILT_PAGE &Page) {
  BeginStep("4. Read every static and every mirrored keyword with GetData");
  const CARD_STORES Card = ReadCardStores(Road);
  CheckStaticKeywords(Road);
  ShowLine().Text("Mirrored keywords, each against the card's own store:").Emit();
  CheckPageKeywords(Road, Page, Card, true);
  CheckPageString(Road, Page, Card);
  if (Road.Boot > 1) {
    const MIRROR *Changed = MirrorOf(Page, CHANGED_QUESTION);
    UINT8 Value = 0;
    const bool Ok = Changed != nullptr && CardByte(Card, Changed->Card, &Value) && Value == CHANGED_VALUE;
    ReportLine Details;
    Road.Log->Record(
        "road/the card holds the value applied in the earlier boot, and its page shows it", Ok,
        Details.Text("the card holds ").Decimal(Value).Text(", applied ").Decimal(CHANGED_VALUE));
    if (Changed != nullptr)
      ShowLine()
          .Utf16(Changed->CardPrompt)
          .Text(" is ")
          .Decimal(Value)
          .Text(Ok ? ": the value applied in the earlier boot, read from the card"
                   : ", NOT the value applied before")
          .Emit();
  }
}

// ---- steps 5 and 6: a keyword set, the change applied ------------------------------------------------

// The offset and store bytes of a card question in Stores; null when unknown.
UINT8 *CardBytePlace(CARD_STORES &Stores, const FORM_ITEM &Question) {
  const UINTN Offset = Question.Question.VarOffset;
  if (Question.Question.VarStoreId == rc::BufferStoreId && Offset < sizeof(Stores.Buffer))
    return &Stores.Buffer[Offset];
  if (Question.Question.VarStoreId == rc::EfiStoreId && Offset < sizeof(Stores.Efi))
    return &Stores.Efi[Offset];
  return nullptr;
}

// Names in Details each byte of a store that differs from Expected.
bool SameBytes(const CHAR8 *Store, const UINT8 *Found, const UINT8 *Expected, UINTN Size,
               ReportLine &Details) {
  bool Same = true;
  for (UINTN Index = 0; Index < Size; ++Index) {
    if (Found[Index] == Expected[Index]) continue;
    Same = false;
    Details.Text(Store).Text("[0x").Hex(Index, 2).Text("] ").Decimal(Found[Index]);
    Details.Text(" expected ").Decimal(Expected[Index]).Text("; ");
  }
  return Same;
}

// Both stores equal Expected; Details names the bytes that differ.
bool SameStores(const CARD_STORES &Found, const CARD_STORES &Expected, ReportLine &Details) {
  const bool Read = Found.Status == EFI_SUCCESS && Expected.Status == EFI_SUCCESS;
  if (!Read) Details.Text("reading the stores gave ").Status(Found.Status).Text(" ");
  const bool Buffer =
      SameBytes(rc::BufferStoreName, Found.Buffer, Expected.Buffer, sizeof(Found.Buffer), Details);
  const bool Efi = SameBytes(rc::EfiStoreName, Found.Efi, Expected.Efi, sizeof(Found.Efi), Details);
  return Read && Buffer && Efi;
}

// The OOB variable is the apply's mailbox: whatever a slot holds when the apply
// trigger comes counts as a change, however it got there. A value put straight
// into the read-only question's slot must still never reach the card.
void MailReadOnlyValue(ROAD &Road, const MIRROR &ReadOnly) {
  auto *Slots = static_cast<UINT8 *>(PoolAllocZero(ADDONCARD_OOB_VARSTORE_SIZE));
  const UINTN Slot = ReadOnly.Page.Question.VarOffset;
  EFI_STATUS Status = Slots == nullptr ? EFI_OUT_OF_RESOURCES
                                       : ReadVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, Slots,
                                                      ADDONCARD_OOB_VARSTORE_SIZE);
  if (!EFI_ERROR(Status) && Slot < ADDONCARD_OOB_VARSTORE_SIZE) {
    Slots[Slot] = READ_ONLY_TRY;
    Status =
        RuntimeServices->SetVariable(TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID,
                                     ADDONCARD_VOLATILE_VAR_ATTRIBUTES, ADDONCARD_OOB_VARSTORE_SIZE, Slots);
  }
  PoolFree(Slots);
  ReportLine Details;
  Road.Log->Record("road/the platform writes a value into the read-only question's OOB slot directly",
                   Status == EFI_SUCCESS, Details.Text("gave ").Status(Status));
  ReportLine Tell = ShowLine();
  Tell.Text("TLX_ADDONCARD_OOB_VAR byte ")
      .Decimal(Slot)
      .Text(" (")
      .Utf16(ReadOnly.CardPrompt)
      .Text(") set to ");
  Tell.Decimal(READ_ONLY_TRY).Text(" directly -> ");
  AppendStatus(Tell, Status);
  Tell.Text("; the apply must leave the card's value alone").Emit();
}

void StepSetKeyword(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Before) {
  BeginStep("5. Set one mirrored keyword with SetData");
  const MIRROR *Changed = MirrorOf(Page, CHANGED_QUESTION);
  RoadText Request;
  UINT32 Error = 0;
  const EFI_STATUS Status = SetKeyword(Road.Services, Road.DriverPath.Chars(), Changed->Keyword,
                                       CHANGED_VALUE, BYTE_DIGITS, &Error, &Request);
  ReportLine Details;
  Road.Log->Record("road/SetData of the mirrored keyword succeeds", Status == EFI_SUCCESS,
                   Details.Text("gave ").Status(Status).Text(" error 0x").Hex(Error));
  ReportLine Show = ShowLine();
  Show.Text("SetData ").Utf16(Request.Chars()).Text(" -> ");
  AppendStatus(Show, Status);
  Show.Emit();

  KEYWORD_READING Reading = GetKeyword(Road.Services, Road.DriverPath.Chars(), Changed->Keyword);
  ReportLine ReadDetails;
  Road.Log->Record("road/GetData then answers the new value",
                   Reading.Status == EFI_SUCCESS && Reading.Value == CHANGED_VALUE,
                   ReadDetails.Text("gave ").Status(Reading.Status).Text(" ").Quoted(Reading.Answer, 200));
  FreeReading(&Reading);

  const CARD_STORES Now = ReadCardStores(Road);
  ReportLine Untouched;
  Road.Log->Record("road/the card's own store is untouched until the change is applied",
                   SameStores(Now, Before, Untouched), Untouched);
  UINT8 Held = 0;
  CardByte(Now, Changed->Card, &Held);
  ShowLine()
      .Text("  ")
      .Utf16(Changed->CardPrompt)
      .Text(" is ")
      .Decimal(CHANGED_VALUE)
      .Text(" in the driver's OOB store; the card still holds ")
      .Decimal(Held)
      .Emit();

  // A grayed-out question is read-only on the page; whatever the keyword
  // handler does with a value for it, the card must not receive it.
  const MIRROR *ReadOnly = MirrorOf(Page, READ_ONLY_QUESTION);
  RoadText Tried;
  const EFI_STATUS Refused = SetKeyword(Road.Services, Road.DriverPath.Chars(), ReadOnly->Keyword,
                                        READ_ONLY_TRY, BYTE_DIGITS, &Error, &Tried);
  ReportLine Tell = ShowLine();
  Tell.Text("SetData of the read-only keyword ")
      .Utf16(ReadOnly->Keyword)
      .Text(" (")
      .Utf16(ReadOnly->CardPrompt)
      .Text(") to ")
      .Decimal(READ_ONLY_TRY)
      .Text(" -> ");
  AppendStatus(Tell, Refused);
  Tell.Text(", error 0x").Hex(Error).Emit();
  MailReadOnlyValue(Road, *ReadOnly);
}

void StepApply(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Before, CARD_STORES *After) {
  BeginStep("6. Install the apply trigger; the change lands in the card's own store");
  CheckTrigger(Road, "road/the platform installs OOB_APPLY_NOTIFY", OOB_APPLY_NOTIFY_GUID);
  const MIRROR *Changed = MirrorOf(Page, CHANGED_QUESTION);
  CARD_STORES Expected = Before;
  UINT8 *Place = CardBytePlace(Expected, Changed->Card);
  if (Place != nullptr) *Place = CHANGED_VALUE;
  *After = ReadCardStores(Road);
  ReportLine Details;
  Road.Log->Record(
      "road/the card's store holds the new value at the question's offset, and nothing else in it changed "
      "(the read-only question's neither)",
      Place != nullptr && SameStores(*After, Expected, Details), Details);
  UINT8 Old = 0, New = 0;
  CardByte(Before, Changed->Card, &Old);
  CardByte(*After, Changed->Card, &New);
  ShowLine()
      .Text("The card's store ")
      .Text(rc::BufferStoreName)
      .Text(", offset 0x")
      .Hex(Changed->Card.Question.VarOffset, 2)
      .Text(" (")
      .Utf16(Changed->CardPrompt)
      .Text("): ")
      .Decimal(Old)
      .Text(" -> ")
      .Decimal(New)
      .Text(Details.IsEmpty() ? "; every other byte as it was" : "; OTHER BYTES CHANGED")
      .Emit();
}

// ---- step 7: the scan again --------------------------------------------------------------------------

void StepScanAgain(ROAD &Road, const BUILT_PAGE &First, BUILT_PAGE *Second) {
  BeginStep("7. Install the scan trigger again; the same card gets a further page");
  CheckTrigger(Road, "road/the platform installs CARD_FORMS_NOTIFY again", CARD_FORMS_NOTIFY_GUID);
  EXPORTED_LIST Driver = {};
  if (!ExportDriverList(Road, &Driver)) return;
  const bool Built = CheckCardPage(Road, Driver, 1, ROAD_PAGE_KEYWORDS, ROAD_PAGE_STRINGS, Second);
  CheckEmptySlot(Road, Driver, 2);
  ReportLine Details;
  Road.Log->Record("road/the first page keeps its opcodes byte for byte", PageUnchanged(Driver, First),
                   Details);
  FreeExport(&Driver);
  if (!Built) return;
  ShowPage(Road, *Second);
  const CARD_STORES Card = ReadCardStores(Road);
  CheckPageKeywords(Road, *Second, Card, true);
  CheckPageString(Road, *Second, Card);
}

// ---- step 8: a second apply, the removal -----------------------------------------------------------------

void StepRemove(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Applied) {
  BeginStep("8. Install the remove trigger; a second apply and remove do nothing");
  const MIRROR *Late = MirrorOf(Page, LATE_QUESTION);
  UINT32 Error = 0;
  RoadText Request;
  const EFI_STATUS Set = SetKeyword(Road.Services, Road.DriverPath.Chars(), Late->Keyword, LATE_VALUE,
                                    BYTE_DIGITS, &Error, &Request);
  ReportLine SetDetails;
  Road.Log->Record("road/SetData of another mirrored keyword succeeds", Set == EFI_SUCCESS,
                   SetDetails.Text("gave ").Status(Set));
  ReportLine Show = ShowLine();
  Show.Text("SetData ").Utf16(Request.Chars()).Text(" -> ");
  AppendStatus(Show, Set);
  Show.Emit();
  CheckTrigger(Road, "road/the platform installs OOB_APPLY_NOTIFY a second time", OOB_APPLY_NOTIFY_GUID);
  const CARD_STORES Now = ReadCardStores(Road);
  ReportLine Details;
  const bool Unchanged = SameStores(Now, Applied, Details);
  Road.Log->Record("road/a second apply trigger writes nothing to the card", Unchanged, Details);
  ShowLine()
      .Text("Apply trigger again: ")
      .Text(Unchanged ? "the card's store unchanged" : "THE CARD'S STORE CHANGED")
      .Emit();

  CheckTrigger(Road, "road/the platform installs FORMS_REMOVE_NOTIFY", FORMS_REMOVE_NOTIFY_GUID);
  UINTN ListsAfterRemove = 0;
  const EFI_HII_HANDLE Left = FindListByFormSet(Road.Services, ADDONCARD_FORMSET_GUID, &ListsAfterRemove);
  const bool CardsStay = FindListByFormSet(Road.Services, rc::FormSetGuid) != nullptr;
  ReportLine Gone;
  Road.Log->Record(
      "road/the remove trigger takes the driver's form set out of the HII database; the cards' stay",
      Left == nullptr && CardsStay,
      Gone.Text(Left == nullptr ? "form set gone" : "form set still there")
          .Text(CardsStay ? "" : ", the road card's list gone"));
  KEYWORD_READING Reading = GetKeyword(Road.Services, Road.DriverPath.Chars(), u"CSPACF00");
  ReportLine NoKeyword;
  // The PATH of the request then names no registered list: any error will do.
  Road.Log->Record("road/no keyword of the driver answers once its form set is gone",
                   EFI_ERROR(Reading.Status) && Reading.Answer == nullptr,
                   NoKeyword.Text("GetData of CSPACF00 gave ")
                       .Status(Reading.Status)
                       .Text(" ")
                       .Quoted(Reading.Answer, 160));
  FreeReading(&Reading);

  CheckTrigger(Road, "road/the platform installs FORMS_REMOVE_NOTIFY a second time",
               FORMS_REMOVE_NOTIFY_GUID);
  UINTN ListsAfterSecond = 0;
  const EFI_HII_HANDLE Again = FindListByFormSet(Road.Services, ADDONCARD_FORMSET_GUID, &ListsAfterSecond);
  ReportLine Second;
  Road.Log->Record("road/a second remove trigger changes nothing in the HII database",
                   Again == nullptr && ListsAfterSecond == ListsAfterRemove,
                   Second.Decimal(ListsAfterRemove)
                       .Text(" lists after the first, ")
                       .Decimal(ListsAfterSecond)
                       .Text(" after the second"));
  ShowLine()
      .Text("Remove trigger: the form set is gone (")
      .Decimal(ListsAfterRemove)
      .Text(" package lists left); a second one changed nothing")
      .Emit();
}

void RunRoad(ROAD &Road) {
  BUILT_PAGE *Pages = static_cast<BUILT_PAGE *>(PoolAllocZero(2 * sizeof(BUILT_PAGE)));
  if (Pages == nullptr) {
    ReportLine Details;
    Road.Log->Fail("road/memory for the pages", Details.Text("out of pool"));
    return;
  }
  if (!StepLoad(Road)) {
    ReportLine Details;
    Road.Log->Fail("road/the road goes on past step 1",
                   Details.Text("the driver or the road card is missing"));
  } else {
    if (Road.Boot == 1)
      StepSetList(Road);
    else
      StepListKept(Road);
    if (StepScan(Road, &Pages[0])) {
      StepReadKeywords(Road, Pages[0]);
      if (Road.Boot == 1) {
        const CARD_STORES Before = ReadCardStores(Road);
        CARD_STORES Applied = {};
        StepSetKeyword(Road, Pages[0], Before);
        StepApply(Road, Pages[0], Before, &Applied);
        StepScanAgain(Road, Pages[0], &Pages[1]);
        StepRemove(Road, Pages[0], Applied);
      }
    }
  }
  FreeExport(&Road.CardList);
  FreeBuiltPage(&Pages[0]);
  FreeBuiltPage(&Pages[1]);
  PoolFree(Pages);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI RoadEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  // The boot manager arms a five-minute watchdog for every boot option; a slow
  // emulated run must not be reset under the road.
  BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

  ReportLine Line;
  Line.Text("AddOnCard road: start").Emit();
  CheckLog Log;
  ROAD Road = {};
  const EFI_STATUS Located = LocateRoadServices(ImageHandle, &Road.Services);
  ReportLine Details;
  Log.Record("road/the firmware has the HII database, strings, router and keyword handler",
             Located == EFI_SUCCESS, Details.Text("gave ").Status(Located));
  if (Located == EFI_SUCCESS) {
    Road.Log = &Log;
    Road.Boot = CountThisBoot();
    RunRoad(Road);
  }
  EndVirtualMachine(EmitSummary(Log));
}

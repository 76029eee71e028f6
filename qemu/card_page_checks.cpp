// Card pages built in the firmware: the card shapes published on the machine's
// PCI functions by the tests' card driver (each with its own configuration
// access for its buffer stores), BuildCardPage run on each card's exported
// list as the scan runs it, and every page read back from the firmware's HII
// database by the independent checker against the shape's expected page, its
// strings through the firmware's string protocol. Then: a keyword of a page
// through the firmware's keyword handler, one section updated twice, and an
// eleventh card. At the end the cards are removed, every slot is emptied again
// and the page builder starts from slot 0, so later groups find the driver's
// list as registration left its forms.
#include "driver/card_pages.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "qemu/big_card.h"
#include "qemu/card_publisher.h"
#include "qemu/check_groups.h"
#include "qemu/expected_pages.h"
#include "qemu/test_machine.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

using sim::CardShapeId;

// One page build: which card, on which function and port, under which name.
struct PageStep {
  const CHAR8 *Check;
  CardShapeId Shape;  // Count: the big card
  UINTN Function;     // index into TEST_PCI_FUNCTIONS
  UINT8 Port;
  bool Publish;  // false: the card published by an earlier step on the same function and port
};

constexpr CardShapeId BIG_CARD_SHAPE = CardShapeId::Count;

// Ten pages: two cards of one model, a second model whose store shares their
// VarStoreId, every hard case, a card of checkboxes only, the road card, the
// big card that takes the rest of the 1024 questions and 50 strings, and three
// cards scanned again, whose pages then hold only their texts.
constexpr PageStep PAGE_STEPS[] = {
    {"card-pages/slot 0: the sample card on the first edu function", CardShapeId::SampleCard,
     FIRST_EDU_FUNCTION, 0, true},
    {"card-pages/slot 1: the sample card on the second edu function, numbers running on",
     CardShapeId::SampleCard, SECOND_EDU_FUNCTION, 0, true},
    {"card-pages/slot 2: the second model, its store also VarStoreId 1", CardShapeId::SecondModel,
     PCI_TESTDEV_FUNCTION, 0, true},
    {"card-pages/slot 3: the edge card (EFI store conditions, wide values, VALUE, MaxSize 0, long prompt)",
     CardShapeId::Edge, FIRST_EDU_FUNCTION, 1, true},
    {"card-pages/slot 4: a card of checkboxes only: title and goto, no statement", CardShapeId::CheckboxOnly,
     SECOND_EDU_FUNCTION, 1, true},
    {"card-pages/slot 5: the road card", CardShapeId::Road, SECOND_EDU_FUNCTION, 2, true},
    {"card-pages/slot 6: the big card up to the 1024th question and the 50th string", BIG_CARD_SHAPE,
     PCI_TESTDEV_FUNCTION, 1, true},
    {"card-pages/slot 7: the sample card again: texts only, the limits are reached", CardShapeId::SampleCard,
     FIRST_EDU_FUNCTION, 0, false},
    {"card-pages/slot 8: the second model again: texts only", CardShapeId::SecondModel, PCI_TESTDEV_FUNCTION,
     0, false},
    {"card-pages/slot 9: the road card again: texts only", CardShapeId::Road, SECOND_EDU_FUNCTION, 2, false},
};
static_assert(ArrayCount(PAGE_STEPS) == CARD_PAGE_SLOTS);
constexpr UINTN CARD_COUNT = 7;  // the cards the steps publish

struct Export {
  UINT8 *Bytes = nullptr;
  UINTN Size = 0;
};

Export ExportList(EFI_HII_HANDLE Handle) {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (Bytes == nullptr) return {};
  UINTN Written = Size;
  if (EFI_ERROR(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Written,
                                                reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes)))) {
    PoolFree(Bytes);
    return {};
  }
  return {Bytes, Size};
}

bool SameExport(const Export &A, const Export &B) {
  return A.Bytes != nullptr && B.Bytes != nullptr && A.Size == B.Size &&
         CompareBytes(A.Bytes, B.Bytes, A.Size) == 0;
}

// The firmware's string protocol, located here rather than taken from the driver.
EFI_HII_STRING_PROTOCOL *FirmwareStrings() {
  void *Interface = nullptr;
  return EFI_ERROR(BootServices->LocateProtocol(&EFI_HII_STRING_PROTOCOL_GUID, nullptr, &Interface))
             ? nullptr
             : static_cast<EFI_HII_STRING_PROTOCOL *>(Interface);
}

// Holds the driver's exported list against Page with the independent checker.
void CheckPage(CheckLog &Log, const CHAR8 *Name, const EXPECTED_PAGE &Page) {
  const Export List = ExportList(DriverHiiHandle);
  PAGE_CHECK_RESULT Result = {};
  const bool Ok = List.Bytes != nullptr &&
                  CheckCardPage(List.Bytes, List.Size, FirmwareStrings(), DriverHiiHandle, Page, &Result);
  ReportLine Details;
  Log.Record(Name, Ok,
             Details.Text(List.Bytes == nullptr ? "the driver's list does not export" : Result.Message));
  PoolFree(List.Bytes);
}

const CHAR16 *LOCATIONS[TEST_PCI_FUNCTION_COUNT] = {u"001000", u"001100", u"001200"};

// Empties every card page and main-page region, and starts the page slots and
// the mirrored question table again, as at load.
bool EmptyAllSlots() {
  SetCurrentHiiHandle(DriverHiiHandle);
  bool Emptied = true;
  for (UINTN Slot = 0; Slot < CARD_PAGE_SLOTS; ++Slot) {
    OpCodeBuffer *Page = nullptr, *PageEnd = nullptr, *Goto = nullptr, *GotoEnd = nullptr;
    const CARD_PAGE_SLOT &Row = CardPageTable[Slot];
    Emptied = !EFI_ERROR(CreateLabelBuffers(&Page, &PageEnd, Row.LabelStart, Row.LabelEnd)) &&
              !EFI_ERROR(CreateLabelBuffers(&Goto, &GotoEnd, MainFormLabelTable[Slot].LabelStart,
                                            MainFormLabelTable[Slot].LabelEnd)) &&
              Emptied;
    const FORM_SECTION_UPDATE Sections[] = {{Row.FormId, Page, PageEnd},
                                            {ADDONCARD_MAIN_FORM_ID, Goto, GotoEnd}};
    if (Page != nullptr && Goto != nullptr) Emptied = !EFI_ERROR(UpdateFormSections(Sections, 2)) && Emptied;
    SetStringInLanguages(Row.TitleStringId, u"", nullptr);
    OpCodeBufferFree(Page);
    OpCodeBufferFree(PageEnd);
    OpCodeBufferFree(Goto);
    OpCodeBufferFree(GotoEnd);
  }
  ClearMirroredQuestions();  // the table goes back to the pool first
  ResetCardInventoryState();
  return Emptied;
}

struct Cards {
  PUBLISHED_CARD *Published[CARD_COUNT] = {};
  UINTN Count = 0;
  BIG_CARD Big = {};
};

// The card a step builds from: published now, or found among those published.
PUBLISHED_CARD *CardOfStep(const PageStep &Step,
                           const CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT], Cards &All,
                           EFI_STATUS *Status) {
  *Status = EFI_SUCCESS;
  if (!Step.Publish) {
    for (UINTN Index = 0; Index < All.Count; ++Index) {
      PUBLISHED_CARD *Card = All.Published[Index];
      if (Card->Port == Step.Port && Card->Pci.Handle == Functions[Step.Function].Handle) return Card;
    }
    *Status = EFI_NOT_FOUND;
    return nullptr;
  }
  if (Step.Shape == BIG_CARD_SHAPE)
    *Status = BuildBigCard(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings, &All.Big);
  PUBLISHED_CARD *Card = nullptr;
  if (!EFI_ERROR(*Status))
    *Status = PublishFixtureCard(Step.Shape == BIG_CARD_SHAPE ? All.Big.Fixture : GetCardFixture(Step.Shape),
                                 Functions[Step.Function], Step.Port, &Card);
  if (Card != nullptr && All.Count < CARD_COUNT) All.Published[All.Count++] = Card;
  return Card;
}

// Builds the page of one step from the card's exported list, as the scan does.
EFI_STATUS BuildPage(PUBLISHED_CARD &Card, const CHAR16 *Title) {
  const Export List = ExportList(Card.HiiHandle);
  if (List.Bytes == nullptr) return EFI_NOT_FOUND;
  const EFI_STATUS Status = BuildCardPage(Card.HiiHandle, 0, Title, List.Bytes, List.Size);
  PoolFree(List.Bytes);
  return Status;
}

EXPECTED_PAGE ExpectedOfStep(const PageStep &Step, const PAGE_ORIGIN &Origin, EXPECTED_PAGE_SPACE *Space) {
  if (Step.Shape == BIG_CARD_SHAPE)
    return ExpectedBigCardPage(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings, Origin,
                               Space);
  return ExpectedPage(Step.Shape, Origin, Space);
}

void BuildAndCheckPages(CheckLog &Log, const CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT],
                        Cards &All, EXPECTED_PAGE_SPACE *Space) {
  PAGE_ORIGIN Origin = {0, nullptr, 0, 0};
  for (const PageStep &Step : PAGE_STEPS) {
    Origin.Location = LOCATIONS[Step.Function];
    const EXPECTED_PAGE Expected = ExpectedOfStep(Step, Origin, Space);
    EFI_STATUS Status;
    PUBLISHED_CARD *Card = CardOfStep(Step, Functions, All, &Status);
    if (Card != nullptr) Status = BuildPage(*Card, Expected.Title);
    if (EFI_ERROR(Status)) {
      ReportLine Details;
      Log.Fail(Step.Check,
               Details.Text(Card == nullptr ? "the card could not be published: " : "BuildCardPage gave ")
                   .Status(Status));
    } else {
      CheckPage(Log, Step.Check, Expected);
    }
    Origin.Slot += 1;
    Origin.FirstQuestion = static_cast<UINT16>(Origin.FirstQuestion + ExpectedRangedQuestions(Expected));
    Origin.FirstString = static_cast<UINT16>(Origin.FirstString + ExpectedStrings(Expected));
  }
}

// The first page's one-of and numeric bytes in the OOB variable as the
// firmware stores it, and its string in the STRING variable.
void CheckVariables(CheckLog &Log) {
  UINT8 Oob[1024] = {};
  UINTN Size = sizeof(Oob);
  UINT32 Attributes = 0;
  EFI_STATUS Status = RuntimeServices->GetVariable(u"TLX_ADDONCARD_OOB_VAR", &ADDONCARD_FORMSET_GUID,
                                                   &Attributes, &Size, Oob);
  const UINT8 Sample[] = {0, 0, 1, 1};  // link speed, VLAN mode, VLAN id's low byte, PXE
  ReportLine Details;
  Details.Text("GetVariable gave ").Status(Status).Text(", bytes ").Hex(Oob[0], 2).Text(" ").Hex(Oob[1], 2);
  Log.Record("card-pages/the OOB variable holds the sample card's values at the first page's bytes",
             Status == EFI_SUCCESS && Size == 1024 && Attributes == 0x6 &&
                 CompareBytes(Oob, Sample, 4) == 0 && CompareBytes(Oob + 4, Sample, 4) == 0,
             Details);
}

// Keyword 0 is the first page's link speed: the platform's handler finds it by
// its text, so the static string that carried "CSPAC000" must no longer.
void CheckFirstKeyword(CheckLog &Log) {
  void *Interface = nullptr;
  BootServices->LocateProtocol(&EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID, nullptr, &Interface);
  auto *Handler = static_cast<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *>(Interface);
  const CHAR16 *Keywords[] = {u"KEYWORD=CSPAC000", u"KEYWORD=CSPAC002"};
  const CHAR16 *Values[] = {u"&KEYWORD=CSPAC000&VALUE=00", u"&KEYWORD=CSPAC002&VALUE=01"};
  const CHAR8 *Names[] = {"card-pages/keyword CSPAC000 reaches the first page's link speed",
                          "card-pages/keyword CSPAC002 reaches the first page's VLAN ID (low byte 01)"};
  for (UINTN Index = 0; Index < ArrayCount(Keywords); ++Index) {
    CHAR16 *Progress = nullptr, *Results = nullptr;
    UINT32 Error = 0;
    const EFI_STATUS Status = Handler == nullptr
                                  ? EFI_NOT_FOUND
                                  : Handler->GetData(Handler, u"NAMESPACE=x-UEFI-QZV", Keywords[Index],
                                                     &Progress, &Error, &Results);
    ReportLine Details;
    Details.Text("gave ").Status(Status).Text(" ").Quoted(Results, 200);
    Log.Record(Names[Index],
               Status == EFI_SUCCESS && Results != nullptr && Utf16Find(Results, Values[Index]) != nullptr,
               Details);
    if (Results != nullptr) BootServices->FreePool(Results);
  }
}

// Slot 9's page replaced twice by hand: the second update leaves only its own
// text, with the title and goto the build gave.
void CheckSectionUpdatedTwice(CheckLog &Log, EXPECTED_PAGE_SPACE *Space) {
  const CARD_PAGE_SLOT &Row = CardPageTable[9];
  const EFI_STRING_ID First = SetStringInLanguages(0, u"First update (001100)", "en-US");
  const EFI_STRING_ID Second = SetStringInLanguages(0, u"Second update (001100)", "en-US");
  OpCodeBuffer *Start = nullptr, *End = nullptr, *Again = nullptr, *AgainEnd = nullptr;
  EFI_STATUS Status = EFI_OUT_OF_RESOURCES;
  if (First != 0 && Second != 0 &&
      !EFI_ERROR(CreateLabelBuffers(&Start, &End, Row.LabelStart, Row.LabelEnd)) &&
      !EFI_ERROR(CreateLabelBuffers(&Again, &AgainEnd, Row.LabelStart, Row.LabelEnd))) {
    EmitText(Start, First, STR_EMPTY, 0);
    EmitText(Again, Second, STR_EMPTY, 0);
    Status = UpdateFormSection(Row.FormId, Start, End);
    if (!EFI_ERROR(Status)) Status = UpdateFormSection(Row.FormId, Again, AgainEnd);
  }
  OpCodeBufferFree(Start);
  OpCodeBufferFree(End);
  OpCodeBufferFree(Again);
  OpCodeBufferFree(AgainEnd);
  const CHAR8 *Name = "card-pages/slot 9 updated twice by hand holds only the second update";
  if (EFI_ERROR(Status)) {
    ReportLine Details;
    Log.Fail(Name, Details.Text("UpdateFormSection gave ").Status(Status));
    return;
  }
  EXPECTED_PAGE Page = ExpectedPage(CardShapeId::Road, {9, u"001100", 1024, 50}, Space);
  Space->Statements[0] = {};
  Space->Statements[0].Kind = ExpectedKind::Text;
  Space->Statements[0].Prompt = u"Second update (001100)";
  Space->Statements[0].Help = u"";
  Page.StatementCount = 1;
  CheckPage(Log, Name, Page);
}

// With every slot used, another card changes nothing and is not an error.
void CheckEleventhCard(CheckLog &Log, Cards &All) {
  const Export Before = ExportList(DriverHiiHandle);
  const EFI_STATUS Status =
      All.Count > 3 ? BuildPage(*All.Published[3], u"Edge Case Adapter") : EFI_NOT_FOUND;
  const Export After = ExportList(DriverHiiHandle);
  ReportLine Details;
  Details.Text("BuildCardPage gave ").Status(Status).Text(", next slot ").Decimal(NextCardPage);
  Log.Record("card-pages/an eleventh card gets no page: success, the slot stays 10, the list unchanged",
             Status == EFI_SUCCESS && NextCardPage == CARD_PAGE_SLOTS && SameExport(Before, After), Details);
  PoolFree(Before.Bytes);
  PoolFree(After.Bytes);
}

// Keywords "CSPAC..." that string checks of earlier groups left in the driver's
// keyword namespace (ids after the static ones). The platform's handler takes
// the first string with a keyword's text, so they would hide the keywords the
// pages give out; no page exists yet, so none of them is a page's. The static
// string 29 is left alone: emptying it is the driver's business.
bool ClearStrayKeywords() {
  EFI_HII_STRING_PROTOCOL *Strings = FirmwareStrings();
  bool Cleared = true;
  for (EFI_STRING_ID Id = ADDONCARD_LAST_STATIC_STRING_ID + 1;; ++Id) {
    CHAR16 Text[64] = {};
    UINTN Size = sizeof(Text);
    const EFI_STATUS Status =
        Strings->GetString(Strings, "x-UEFI-QZV", DriverHiiHandle, Id, Text, &Size, nullptr);
    if (Status == EFI_NOT_FOUND || Status == EFI_INVALID_LANGUAGE || Id == 0xFFFF) break;
    if (!EFI_ERROR(Status) && CompareBytes(Text, u"CSPAC", 5 * sizeof(CHAR16)) == 0)
      Cleared =
          !EFI_ERROR(Strings->SetString(Strings, DriverHiiHandle, Id, "x-UEFI-QZV", u"", nullptr)) && Cleared;
  }
  return Cleared;
}

bool FindFunctions(CheckLog &Log, CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT]) {
  for (UINTN Index = 0; Index < TEST_PCI_FUNCTION_COUNT; ++Index) {
    const TEST_PCI_FUNCTION &Wanted = TEST_PCI_FUNCTIONS[Index];
    CARD_PCI_FUNCTION Found[4] = {};
    UINTN Count = 0;
    FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count);
    bool Located = false;
    for (UINTN Each = 0; Each < Count && Each < ArrayCount(Found) && !Located; ++Each) {
      Located = Found[Each].Bus == Wanted.Bus && Found[Each].Device == Wanted.Device &&
                Found[Each].Function == Wanted.Function;
      if (Located) Functions[Index] = Found[Each];
    }
    if (!Located) {
      ReportLine Details;
      Log.Fail("card-pages/the machine has the test's PCI functions",
               Details.Text("no function ").Hex(Wanted.VendorId, 4).Text("/").Hex(Wanted.DeviceId, 4));
      return false;
    }
  }
  return true;
}

}  // namespace

void RunCardPageChecks(CheckLog &Log) {
  ReportLine Details;
  if (DriverHiiHandle == nullptr || HiiDatabase == nullptr || FirmwareStrings() == nullptr) {
    Log.Fail("card-pages/the driver's list is registered", Details.Text("no driver list or HII services"));
    return;
  }
  CARD_PCI_FUNCTION Functions[TEST_PCI_FUNCTION_COUNT] = {};
  if (!FindFunctions(Log, Functions)) return;
  auto *Space = static_cast<EXPECTED_PAGE_SPACE *>(PoolAllocZero(sizeof(EXPECTED_PAGE_SPACE)));
  Log.Record("card-pages/every slot starts empty; no keyword text left by earlier string checks",
             Space != nullptr && EmptyAllSlots() && ClearStrayKeywords(),
             Details.Text("the slots or the keyword strings could not be emptied"));
  if (Space != nullptr) {
    Cards All;
    BuildAndCheckPages(Log, Functions, All, Space);
    CheckVariables(Log);
    CheckFirstKeyword(Log);
    CheckSectionUpdatedTwice(Log, Space);
    CheckEleventhCard(Log, All);
    for (UINTN Index = 0; Index < All.Count; ++Index) RemoveFixtureCard(All.Published[Index], true);
    FreeBigCard(&All.Big);
    ReportLine Emptied;
    Log.Record("card-pages/every slot is emptied again", EmptyAllSlots(), Emptied.Text("an update failed"));
  }
  PoolFree(Space);
}

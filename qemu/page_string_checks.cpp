// The page builder writes each page's new strings into the driver's list
// together with the page's forms, as string blocks appended to the list's
// string packages. Here the same pages are built twice on a fresh list, once
// that way and once through the firmware's own string service, one NewString
// and SetString per string as the blocks stand for; after every page the two
// lists must hold the same forms and string packages, byte for byte. At the
// end the driver's list is registered afresh, as registration left it.
#include "driver/card_pages.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/static_packages.h"
#include "hii/registration.h"
#include "qemu/big_card.h"
#include "qemu/card_publisher.h"
#include "qemu/check_groups.h"
#include "qemu/test_machine.h"
#include "support/ifr_reader.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/string_batch.h"

namespace {

using sim::CardShapeId;

constexpr UINT16 BIG_QUESTIONS = 300;
constexpr UINT16 BIG_STRINGS = 6;

struct PAGE_CARD {
  CardShapeId Shape;  // Count: the big card
  UINTN Function;
  UINT8 Port;
};
constexpr PAGE_CARD PAGE_CARDS[] = {
    {CardShapeId::SampleCard, FIRST_EDU_FUNCTION, 4},
    {CardShapeId::Edge, SECOND_EDU_FUNCTION, 4},
    {CardShapeId::Count, PCI_TESTDEV_FUNCTION, 4},
    {CardShapeId::Road, FIRST_EDU_FUNCTION, 5},
    {CardShapeId::SampleCard, FIRST_EDU_FUNCTION, 4},  // the same card again: texts only
};
constexpr UINTN PAGE_COUNT = ArrayCount(PAGE_CARDS);
constexpr UINTN CARD_COUNT = 4;

const CHAR8 *const PAGE_CHECKS[PAGE_COUNT] = {
    "page-strings/page 1, the sample card: batched and one by one the same",
    "page-strings/page 2, the edge card: batched and one by one the same",
    "page-strings/page 3, a big card of 300 questions: batched and one by one the same",
    "page-strings/page 4, the road card: batched and one by one the same",
    "page-strings/page 5, the sample card again: batched and one by one the same",
};

// FNV-1a over the forms and string packages of the driver's exported list;
// 0 when it cannot be exported.
UINT64 PageDigest() {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return 0;
  auto *List = static_cast<UINT8 *>(PoolAlloc(Size));
  if (List == nullptr) return 0;
  UINTN Written = Size;
  UINT64 Hash = 0;
  if (!EFI_ERROR(HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Written,
                                                 reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List)))) {
    Hash = 0xCBF29CE484222325ULL;
    PackageListReader Packages(ByteView(List, Size));
    for (HiiPackage Package; Packages.Next(&Package);) {
      if (Package.Type() != EFI_HII_PACKAGE_FORMS && Package.Type() != EFI_HII_PACKAGE_STRINGS) continue;
      for (UINTN Index = 0; Index < Package.Bytes().Size(); ++Index) {
        Hash ^= Package.Bytes().Data()[Index];
        Hash *= 0x100000001B3ULL;
      }
    }
  }
  PoolFree(List);
  return Hash;
}

// The driver's list registered anew on its handle, and the page builder at slot 0.
bool RegisterFreshList() {
  if (DriverHiiHandle != nullptr && EFI_ERROR(HiiDatabase->RemovePackageList(HiiDatabase, DriverHiiHandle)))
    return false;
  DriverHiiHandle =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, DriverHandle, AddOnCardStrings, AddOnCardForms, nullptr);
  SetCurrentHiiHandle(DriverHiiHandle);
  ClearMirroredQuestions();
  ResetCardInventoryState();
  return DriverHiiHandle != nullptr;
}

bool FindFunction(UINTN Index, CARD_PCI_FUNCTION *Function) {
  const TEST_PCI_FUNCTION &Wanted = TEST_PCI_FUNCTIONS[Index];
  CARD_PCI_FUNCTION Found[8] = {};
  UINTN Count = 0;
  FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count);
  for (UINTN Each = 0; Each < Count && Each < ArrayCount(Found); ++Each)
    if (Found[Each].Bus == Wanted.Bus && Found[Each].Device == Wanted.Device &&
        Found[Each].Function == Wanted.Function) {
      *Function = Found[Each];
      return true;
    }
  return false;
}

struct CARDS {
  PUBLISHED_CARD *Published[CARD_COUNT];
  BIG_CARD Big;
};

EFI_STATUS PublishCards(CARDS &Cards) {
  EFI_STATUS Status = BuildBigCard(BIG_QUESTIONS, BIG_STRINGS, &Cards.Big);
  for (UINTN Index = 0; Index < CARD_COUNT && !EFI_ERROR(Status); ++Index) {
    const PAGE_CARD &Card = PAGE_CARDS[Index];
    CARD_PCI_FUNCTION Function = {};
    if (!FindFunction(Card.Function, &Function)) return EFI_NOT_FOUND;
    Status = PublishFixtureCard(Card.Shape == CardShapeId::Count ? Cards.Big.Fixture : GetCardFixture(Card.Shape),
                                Function, Card.Port, &Cards.Published[Index]);
  }
  return Status;
}

void RemoveCards(CARDS &Cards) {
  for (PUBLISHED_CARD *Card : Cards.Published) RemoveFixtureCard(Card, true);
  FreeBigCard(&Cards.Big);
}

// Builds the pages on a fresh list, the strings written by Writer (null: with
// the forms), and the digest of the list after each page into Digests.
bool BuildPages(CARDS &Cards, PAGE_STRINGS_WRITER Writer, UINT64 (&Digests)[PAGE_COUNT]) {
  if (!RegisterFreshList()) return false;
  PageStringsWriter = Writer;
  bool Built = true;
  for (UINTN Page = 0; Page < PAGE_COUNT; ++Page) {
    // The fifth page is the first card again.
    PUBLISHED_CARD *Card = Cards.Published[Page < CARD_COUNT ? Page : 0];
    UINTN Size = 0;
    UINT8 *List = nullptr;
    if (HiiDatabase->ExportPackageLists(HiiDatabase, Card->HiiHandle, &Size, nullptr) == EFI_BUFFER_TOO_SMALL)
      List = static_cast<UINT8 *>(PoolAlloc(Size));
    UINTN Written = Size;
    Built = List != nullptr &&
            !EFI_ERROR(HiiDatabase->ExportPackageLists(HiiDatabase, Card->HiiHandle, &Written,
                                                       reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List))) &&
            !EFI_ERROR(BuildCardPage(Card->HiiHandle, 0, u"Card", List, Size)) && Built;
    PoolFree(List);
    Digests[Page] = PageDigest();
  }
  PageStringsWriter = nullptr;
  return Built;
}

}  // namespace

void RunPageStringChecks(CheckLog &Log) {
  ReportLine Details;
  if (DriverHiiHandle == nullptr || DriverHandle == nullptr || HiiDatabase == nullptr) {
    Log.Fail("page-strings/the driver's list is registered", Details.Text("no driver list or HII database"));
    return;
  }
  CARDS Cards = {};
  const EFI_STATUS Published = PublishCards(Cards);
  UINT64 OneByOne[PAGE_COUNT] = {}, Batched[PAGE_COUNT] = {};
  const bool Built = !EFI_ERROR(Published) && BuildPages(Cards, WriteStringBatchOneByOne, OneByOne) &&
                     BuildPages(Cards, nullptr, Batched);
  Log.Record("page-strings/the cards publish and every page builds both ways", Built,
             Details.Text("publishing gave ").Status(Published));
  for (UINTN Page = 0; Page < PAGE_COUNT && Built; ++Page) {
    ReportLine Differs;
    Log.Record(PAGE_CHECKS[Page], OneByOne[Page] != 0 && OneByOne[Page] == Batched[Page],
               Differs.Text("digests ").Hex(OneByOne[Page], 16).Text(" and ").Hex(Batched[Page], 16));
  }
  RemoveCards(Cards);
  ReportLine Fresh;
  Log.Record("page-strings/the driver's list is registered afresh", RegisterFreshList(),
             Fresh.Text("RemovePackageList or RegisterPackageList failed"));
}

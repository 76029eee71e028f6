// A card's package list through the whole page build: the snapshot of the
// card's values, the mirror walk with its conditions and scope skipping, the
// store registry, the form splice and the commit.
//
// The input is a card's package list. When the simulated HII database accepts
// it, it is published as a card below a supported PCI function and the scan
// finds it (it then builds from the database's export), a page is built from
// the input's own bytes, and the apply path writes every mirrored question
// back with a changed value. When the database refuses it, the bytes are still
// handed to BuildCardPage for the sample card: the driver must survive any
// bytes given to it. Linked with fuzz/ifr_mutator.cpp, the same harness is
// driven by the structure-aware mutator.
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "driver/card_pages.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "fuzz/harness.h"
#include "sim/card_fixture.h"
#include "sim/sim.h"

namespace {

// The default pair of the supported list: the scan takes cards with these IDs.
constexpr UINT16 VENDOR = 0x15B3, DEVICE = 0x1021;

bool StatedLengthFits(const std::vector<UINT8> &List) {
  if (List.size() < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) return false;
  UINT32 Stated = 0;
  std::memcpy(&Stated, List.data() + 16, sizeof Stated);
  return Stated <= List.size();
}

// The card driver's publication, or null when the database refuses the list.
sim::CardDriver *TryPublish(const std::vector<UINT8> &List) {
  if (!StatedLengthFits(List)) return nullptr;
  try {
    return &sim::PublishCard(sim::AddPciFunction(VENDOR, DEVICE, 0x3C, 0, 0), List);
  } catch (const std::exception &) {
    return nullptr;
  }
}

// A page built from Bytes must be there whole (content and goto) or not at all.
void BuildAndCheck(EFI_HII_HANDLE Card, const uint8_t *Data, size_t Size) {
  const UINTN Slot = NextCardPage;
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  const EFI_STATUS Status = BuildCardPage(Card, 0, u"Fuzzed card", Data, Size);
  fuzz::CheckPool(Mark, "BuildCardPage");
  if (Slot >= CARD_PAGE_SLOTS) return;
  const fuzz::SlotState State = fuzz::InspectSlot(Slot);
  if (EFI_ERROR(Status) && (State.PageHasContent || State.HasGoto))
    fuzz::Fail("a failed page build left a page or its goto behind");
  if (!EFI_ERROR(Status) && !State.HasGoto) fuzz::Fail("a page build succeeded without its goto");
}

// Every mirrored question gets a new OOB byte, and the apply path writes them.
void ApplyChangedValues() {
  auto Oob = sim::FindVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID);
  if (!Oob || Oob->Data.size() != ADDONCARD_OOB_VARSTORE_SIZE) return;
  for (UINTN Index = 0; Index < OobSlotCount && Index < Oob->Data.size(); ++Index) ++Oob->Data[Index];
  sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, Oob->Attributes, Oob->Data);
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  OnOobApplyNotify(nullptr, nullptr);
  fuzz::CheckPool(Mark, "OnOobApplyNotify");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  fuzz::LoadDriver();
  const std::vector<UINT8> List(Data, Data + Size);
  sim::CardDriver *Card = TryPublish(List);
  const bool Published = Card != nullptr;
  if (!Published) Card = &sim::PublishSampleCard();
  const fuzz::PoolMark Mark = fuzz::MarkPool();

  if (Published) {
    OnCardFormsNotify(nullptr, nullptr);
    fuzz::CheckAll(Mark, "scan");
  }
  BuildAndCheck(Card->HiiHandle, Data, Size);
  ApplyChangedValues();
  fuzz::CheckAll(Mark, "card page");
  return 0;
}

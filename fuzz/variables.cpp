// The three variables' contents at load: each of TLX_ADDONCARD_OOB_VAR,
// TLX_ADDONCARD_STRING_VAR and TLX_ADDONCARD_PCI_VAR is absent or stored with
// attributes, a size and bytes from the input before the driver starts. Then a
// card is published under one of the pairs the driver loaded, the scan builds
// its page, the OOB bytes change and the apply path runs. Every variable must
// come out a valid record, and the driver must survive.
//
// Input: a header of 12 bytes, then the bytes of the PCI, OOB and STRING
// variables in that order (each up to its size; missing bytes are zeros).
//   0      bit n (0 PCI, 1 OOB, 2 STRING): the variable exists; bit n + 4: its
//          size is the next header field, not the record's
//   1      the pair whose IDs the card has (modulo 10)
//   2..10  per variable (PCI, OOB, STRING): attributes (the low three bits,
//          boot-service access always set), size (16 bits)
//   11     added to each mirrored question's OOB byte before the apply
#include <string>
#include <vector>

#include "driver/card_inventory.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "fuzz/harness.h"
#include "sim/card_fixture.h"
#include "sim/sim.h"

namespace {

constexpr std::size_t HEADER = 12;

struct StoredVariable {
  const char16_t *Name;
  const EFI_GUID *Guid;
  std::size_t RecordSize;
};
const StoredVariable VARIABLES[] = {
    {TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VARSTORE_SIZE},
    {TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, ADDONCARD_OOB_VARSTORE_SIZE},
    {TLX_ADDONCARD_STRING_VAR, &ADDONCARD_FORMSET_GUID, ADDONCARD_STRING_VARSTORE_SIZE},
};

// Stores the variables as the header says; returns the bytes after them.
std::size_t StoreVariables(const uint8_t *Data, std::size_t Size) {
  std::size_t At = HEADER;
  for (std::size_t Index = 0; Index < std::size(VARIABLES); ++Index) {
    const StoredVariable &V = VARIABLES[Index];
    const uint8_t *Field = Data + 2 + 3 * Index;
    const std::size_t Length = (Data[0] >> (4 + Index) & 1) ? (Field[1] | Field[2] << 8) : V.RecordSize;
    const std::size_t Given = std::min(Length, Size - At);
    std::vector<UINT8> Bytes(Data + At, Data + At + Given);
    At += Given;
    Bytes.resize(Length, 0);
    // Attributes the firmware stores: boot-service access with or without the
    // other two plain bits.
    const UINT32 Attributes = (Field[0] & ADDONCARD_PCI_VAR_ATTRIBUTES) | EFI_VARIABLE_BOOTSERVICE_ACCESS;
    if (Data[0] >> Index & 1) sim::WriteVariable(V.Name, *V.Guid, Attributes, Bytes);
  }
  return At;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < HEADER) return 0;
  sim::PowerOn();
  StoreVariables(Data, Size);
  fuzz::StartDriver();
  fuzz::CheckVariables("load");

  // A card with the IDs of one of the pairs the driver took.
  const std::size_t Pair = Data[1] % ADDONCARD_MAX_PCI_ID_PAIRS;
  sim::PciFunction &Pci = sim::AddPciFunction(PciIdListCopy.VendorId[Pair], PciIdListCopy.DeviceId[Pair], 0x3B, 0, 0);
  sim::PublishCard(Pci, sim::BuildSampleCard(), {{sim::sample_card::StoreName, sim::SampleCardStore()}});
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  OnCardFormsNotify(nullptr, nullptr);
  fuzz::CheckAll(Mark, "scan");

  // The OOB bytes as a browser or a direct write could leave them, then the apply.
  if (auto Oob = sim::FindVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID)) {
    for (std::size_t Index = 0; Index < OobSlotCount && Index < Oob->Data.size(); ++Index)
      Oob->Data[Index] = static_cast<UINT8>(Oob->Data[Index] + Data[11]);
    sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, Oob->Attributes, Oob->Data);
  }
  OnOobApplyNotify(nullptr, nullptr);
  fuzz::CheckAll(Mark, "apply");
  return 0;
}

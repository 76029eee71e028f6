// The add-on card shapes of the host tests (sim/card_shapes.h) as constant bytes
// for the firmware test application: each shape's package list and the initial
// contents of every store it declares. The bytes come from the generated file
// qemu/fixtures/card_fixtures.inc, which the ctest card_fixture_arrays_up_to_date
// holds equal to what the host builders produce now. Ids, offsets and values of
// each shape are in sim/card_shape_ids.h.
#pragma once
#include "sim/card_shape_ids.h"
#include "uefi/base.h"

// A store as the form set declares it.
struct CARD_FIXTURE_STORE {
  const CHAR8 *Name;  // ASCII, as in the store opcode
  EFI_GUID Guid;
  EFI_VARSTORE_ID Id;
  UINT16 Size;
  BOOLEAN IsEfi;         // EFI_IFR_VARSTORE_EFI: a UEFI variable that the router reads and writes
  UINT32 Attributes;     // an EFI store's attributes as declared; 0 for a buffer store
  const UINT8 *Initial;  // Size bytes
};

struct CARD_FIXTURE {
  const CHAR8 *Name;  // the shape's name, e.g. "SampleCard"
  const UINT8 *PackageList;
  UINTN PackageListSize;
  const CARD_FIXTURE_STORE *Stores;
  UINTN StoreCount;
};

const CARD_FIXTURE &GetCardFixture(sim::CardShapeId Shape);
// The store of Fixture named Name (ASCII), or null.
const CARD_FIXTURE_STORE *FindFixtureStore(const CARD_FIXTURE &Fixture, const CHAR8 *Name);

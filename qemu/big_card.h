// The big card (sim/card_shape_ids.h, namespace big_card) built at run time in
// the firmware test application, byte for byte as sim::BigCardShape builds it on
// the host (a host test holds the two equal): generated arrays of a card with
// more than a thousand questions would bloat the image.
#pragma once
#include "qemu/card_fixtures.h"

struct BIG_CARD {
  CARD_FIXTURE Fixture;      // Fixture.Stores points at Store: keep the record in place
  CARD_FIXTURE_STORE Store;  // the buffer store "BigConfig"
  UINT8 *PackageList;        // pool
  UINT8 *StoreBytes;         // pool, the initial contents
};

// Builds the card with Questions one-of and numeric questions and Strings string
// questions into *Card. Returns EFI_SUCCESS, EFI_INVALID_PARAMETER (null Card, or
// more than big_card::MaxQuestions or MaxStrings) or EFI_OUT_OF_RESOURCES.
EFI_STATUS BuildBigCard(UINT16 Questions, UINT16 Strings, BIG_CARD *Card);
// Releases the card's pool blocks; the record is zeroed. Null is ignored.
void FreeBigCard(BIG_CARD *Card);

// The generated card fixture arrays (see card_fixtures.h).
#include "qemu/card_fixtures.h"

#include "qemu/fixtures/card_fixtures.inc"
#include "support/strings.h"

static_assert(ArrayCount(card_fixture_data::Fixtures) == static_cast<UINTN>(sim::CardShapeId::Count),
              "one generated fixture per shape id");

const CARD_FIXTURE &GetCardFixture(sim::CardShapeId Shape) {
  const auto Index = static_cast<UINTN>(Shape);
  return card_fixture_data::Fixtures[Index < ArrayCount(card_fixture_data::Fixtures) ? Index : 0];
}

const CARD_FIXTURE_STORE *FindFixtureStore(const CARD_FIXTURE &Fixture, const CHAR8 *Name) {
  const UINTN Length = AsciiLengthBounded(Name);
  for (UINTN Index = 0; Index < Fixture.StoreCount; ++Index) {
    const CARD_FIXTURE_STORE &Store = Fixture.Stores[Index];
    if (AsciiLengthBounded(Store.Name) == Length && AsciiCompareN(Store.Name, Name, Length) == 0)
      return &Store;
  }
  return nullptr;
}

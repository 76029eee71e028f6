// The add-on card shapes shared by host tests and the firmware tests: each is a
// package list built with CardFormSet and the initial contents of every store it
// declares. Ids, offsets, values and the truth of each condition are listed in
// card_shape_ids.h; the firmware test application gets the same bytes from the
// generated qemu/fixtures/card_fixtures.inc (the big card from qemu/big_card.h).
//
// Example:
//   const sim::CardShape Edge = sim::EdgeCardShape();
//   sim::CardDriver &Card = sim::PublishShape(sim::AddPciFunction(0x1234, 0x11E8, 0, 0x10, 0), Edge);
//   Card.Store(sim::edge_card::BufferStoreName)[sim::edge_card::ValueOneOfOffset];  // 7
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/card_fixture.h"
#include "sim/card_shape_ids.h"

namespace sim {

struct CardShape {
  std::string Name;  // the shape's name in the generated arrays, e.g. "SampleCard"
  std::vector<UINT8> PackageList;
  // Every store the form set declares, in declaration order; Bytes holds the
  // initial contents, Size bytes (for an EFI store, the variable's contents).
  std::vector<CardStore> Stores;

  const CardStore &Store(std::string_view StoreName) const;  // throws std::out_of_range
  std::vector<StoreContents> InitialContents() const;
};

// (a) The sample network card (sim::sample_card).
CardShape SampleCardShape();
// (b) A second card model whose buffer store is also VarStoreId 1 (sim::second_model).
CardShape SecondModelShape();
// (c) Checkboxes only (sim::checkbox_card).
CardShape CheckboxCardShape();
// (d) The edge card: EFI and buffer stores, wide and colliding values, VALUE
// options, MaxSize 0, a long prompt, nested conditions (sim::edge_card).
CardShape EdgeCardShape();
// (e) A form set whose title begins "MAC:" (sim::mac_card).
CardShape MacTitledCardShape();
// (f) The big card with Questions one-of and numeric questions and Strings string
// questions (sim::big_card); throws std::invalid_argument beyond its maxima.
CardShape BigCardShape(UINT16 Questions, UINT16 Strings);
// (g) The card of the running-driver road (sim::road_card).
CardShape RoadCardShape();

// The shapes of the generated fixture arrays, in CardShapeId order.
std::vector<CardShape> FixtureShapes();
CardShape FixtureShape(CardShapeId Id);

// Publishes Shape below Pci with its initial contents (see PublishCard).
CardDriver &PublishShape(PciFunction &Pci, const CardShape &Shape);

}  // namespace sim

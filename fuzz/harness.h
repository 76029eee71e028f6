// Common ground of the fuzz harnesses: a fresh simulated machine with the
// driver loaded for every input, and the invariants every input must leave
// standing. A broken invariant aborts with a message, which libFuzzer reports
// as a finding and saves the input for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "uefi/protocols.h"

namespace fuzz {

// sim::PowerOn, a fresh image state and the driver's entry point, as firmware
// loads the image; aborts when the driver does not start on a clean machine.
void LoadDriver();
// A fresh image state and the entry point on the machine as it is.
void StartDriver();
// sim::PowerOn, a fresh image state and the located services only (no
// variables, no form set): for harnesses of pure parts.
void BareMachine();

// A baseline of pool blocks to hold the end of an input against.
struct PoolMark {
  std::size_t Held;
  bool LanguageListCached;
  bool MirroredTableHeld;
};
PoolMark MarkPool();

// Every block obtained since Mark was returned (the driver's language list,
// kept for the life of the image, excepted), the read cache is released and
// nothing freed a block it did not own.
void CheckPool(const PoolMark &Mark, const char *Where);

// The driver's package list exports, walks back whole (an independent reader,
// qemu/page_check.h), and no card page holds statements without the goto that
// leads to it on the main page.
void CheckDriverList(const char *Where);

// Slot Slot of the driver's pages: whether the card page has content between
// its labels and whether the main page's region holds its goto.
struct SlotState {
  bool Found;  // both regions found in the export
  bool PageHasContent;
  bool HasGoto;
};
SlotState InspectSlot(UINTN Slot);

// The three variables, where they exist, have their records' sizes and
// attributes; the mirrored question table and its counters agree.
void CheckVariables(const char *Where);

// CheckPool, CheckDriverList (when the driver's list is registered) and
// CheckVariables.
void CheckAll(const PoolMark &Mark, const char *Where);

[[noreturn]] void Fail(const std::string &Message);

// Bytes as CHAR16 text: each input byte one code unit, a NUL added.
std::u16string Widen(const uint8_t *Data, std::size_t Size);

}  // namespace fuzz

// The scan the benchmarks measure and the page digests pin: a fresh simulated
// machine, the driver loaded through its entry point, supported cards published
// on PCI functions of their own, and the scan trigger installed.
//
// Example:
//   bench::PrepareScan({.Cards = 4, .Questions = 400});
//   bench::RunScan();
//   std::vector<UINT8> List = bench::ExportDriverList();
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/card_shapes.h"
#include "uefi/base.h"

namespace bench {

// The vendor and device ID every card of a scan has; the only supported pair.
inline constexpr UINT16 SCAN_VENDOR_ID = 0x1234;
inline constexpr UINT16 SCAN_DEVICE_ID = 0x11E8;

struct ScanShape {
  unsigned Cards = 1;
  unsigned Questions = 10;      // one-of and numeric questions in all, shared out among the cards
  unsigned StringsPerCard = 2;  // string questions of each card
};

// The name a shape goes by in tables: "4 cards, 400 questions".
std::string ShapeName(const ScanShape &Shape);

// A fresh machine with the supported list holding SCAN_VENDOR_ID:SCAN_DEVICE_ID,
// the big cards of Shape published on functions 00:<n+1>.0, and the driver loaded.
void PrepareScan(const ScanShape &Shape);
// The same around any card shapes, each on a function of its own, in order; the
// platform language is PlatformLang when not empty.
void PrepareScan(const std::vector<sim::CardShape> &Shapes, const std::string &PlatformLang = {});

// Pool bytes held just before the driver was loaded by the last PrepareScan:
// what the machine itself holds (the driver holds the rest).
std::size_t PoolBytesBeforeDriver();

// Installs the scan trigger once: the driver builds the pages of every card.
void RunScan();

// The driver's package list as the HII database exports it; empty on failure.
std::vector<UINT8> ExportDriverList();
// Only its forms and string packages, in export order.
std::vector<UINT8> FormAndStringPackages(const std::vector<UINT8> &List);

// FNV-1a over the bytes.
std::uint64_t Digest(const std::vector<UINT8> &Bytes, std::uint64_t Seed = 0xCBF29CE484222325ULL);

}  // namespace bench

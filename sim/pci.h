// Simulated PCI functions: a handle with a device path (PciRoot, then one PCI
// node) and an EFI_PCI_IO_PROTOCOL that serves a 256-byte configuration space
// and reports a bus location. Card drivers publish their forms on handles below
// such a function (see card_fixture.h).
//
// Functions live until the next sim::PowerOn() or sim::Reset(); references
// handed out before that dangle afterwards.
#pragma once

#include <array>
#include <vector>

#include "uefi/protocols.h"

namespace sim {

struct PciLocation {
  UINTN Segment = 0;
  UINTN Bus = 0;
  UINTN Device = 0;
  UINTN Function = 0;
};

struct PciFunction {
  EFI_HANDLE Handle = nullptr;
  EFI_PCI_IO_PROTOCOL PciIo{};
  // PciRoot(0) / Pci(Device, Function) / End, as installed on Handle.
  std::vector<UINT8> DevicePath;
  // Configuration space served by Pci.Read and changed by Pci.Write; tests may
  // edit it directly.
  std::array<UINT8, 256> ConfigSpace{};
  // What GetLocation reports; tests may set values no real bus would give.
  PciLocation Location;

  const EFI_DEVICE_PATH_PROTOCOL *Path() const {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(DevicePath.data());
  }
};

// Installs a new PCI function (device path and PCI I/O on a new handle) with the
// IDs at configuration offsets 0 and 2 and the location reported by GetLocation.
// Device and Function go into the PCI path node as bytes.
PciFunction &AddPciFunction(UINT16 VendorId, UINT16 DeviceId, UINTN Bus, UINTN Device, UINTN Function);

// The function whose PCI I/O interface is This, or null.
PciFunction *FindPciFunction(const EFI_PCI_IO_PROTOCOL *This);

// Bytes of a device path up to and including its end node (no validation beyond
// stopping at a zero-length node).
std::vector<UINT8> DevicePathBytes(const EFI_DEVICE_PATH_PROTOCOL *Path);

}  // namespace sim

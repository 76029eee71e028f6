// The HII database's store of package lists, shared by the database and the
// string protocol (which reads and rewrites the string packages in place).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim::hii {

// One package, its 4-byte header included; the header's length always equals
// Bytes.size().
struct Package {
  std::vector<UINT8> Bytes;
  UINT8 Type() const { return Bytes[3]; }
  void UpdateLength();  // writes Bytes.size() into the header
};

struct PackageList {
  EFI_HII_HANDLE Handle;
  EFI_HANDLE DriverHandle;
  EFI_GUID Guid;
  std::vector<Package> Packages;  // in the order they were added
};

// Null for an unknown or removed handle.
PackageList *FindPackageList(EFI_HII_HANDLE Handle);

// ---- string packages (hii_string.cpp) ------------------------------------------
// True when a string package's header, language and string blocks all lie
// within it and the blocks end with an END block.
bool StringPackageIsWellFormed(const std::vector<UINT8> &Package);
// The package's language tag (everything up to its NUL).
std::string StringPackageLanguage(const std::vector<UINT8> &Package);

}  // namespace sim::hii

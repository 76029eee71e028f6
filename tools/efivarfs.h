// UEFI variables as the running Linux system sees them: through efivarfs, by way
// of libefivar, the library the system's own boot tools use.
//
// The directory is EFIVARFS_PATH when that is set (a directory that mimics
// efivarfs: one file per variable, named NAME-guid, holding the 4 attribute
// bytes and then the data), else the kernel's /sys/firmware/efi/efivars/.
//
// Kept apart from the UEFI headers of the driver: libefivar's header defines
// macros (EFI_GUID, EFI_VARIABLE_*) that clash with them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class EfivarfsStatus { Ok, Unavailable, NotFound, ReadOnly, Denied, Failed };

// Ok, or what went wrong in words a person can act on.
struct EfivarfsOutcome {
  EfivarfsStatus Status = EfivarfsStatus::Ok;
  std::string Message;
  bool Ok() const { return Status == EfivarfsStatus::Ok; }
};

using EfiGuidBytes = std::array<std::uint8_t, 16>;  // as stored: Data1-3 little-endian

struct EfiVariableContents {
  std::uint32_t Attributes = 0;
  std::vector<std::uint8_t> Data;
};

// The directory the variables are read from, ending in '/'.
std::string EfivarfsDirectory();

// libefivar reads EFIVARFS_PATH once, when it is loaded, and puts the file name
// straight after it; without its final '/' every variable would be looked for
// under a wrong name. When EFIVARFS_PATH lacks it, this starts the program again
// with the '/' added and does not return; it returns Failed when that restart
// could not be made, and Ok when there is nothing to do.
EfivarfsOutcome RestartWithEfivarfsSlash(const std::vector<std::string> &Arguments);

// Ok when variables can be read through efivarfs; Unavailable when the directory
// is missing or (at the kernel's place) not an efivarfs mount.
EfivarfsOutcome CheckEfivarfs();

// Ok, NotFound (no such variable), Denied, Failed.
EfivarfsOutcome ReadEfiVariable(const EfiGuidBytes &Guid, const std::string &Name, EfiVariableContents *Out);

// Writes Contents (replacing the data, unless its attributes ask for an append)
// and reads the variable back to confirm. The immutable flag efivarfs puts on its
// files is cleared for the write and put back after it. Ok, ReadOnly (a read-only
// mount), Denied (not root), Failed (the firmware refused the write, or the
// variable reads back otherwise).
EfivarfsOutcome WriteEfiVariable(const EfiGuidBytes &Guid, const std::string &Name,
                                 const EfiVariableContents &Contents);

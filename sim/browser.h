// Test controls of the simulated form browser. A test opens the form set of a
// registered package list, as a user entering the page would; the browser then
// holds one edit buffer per variable store the form set declares, loaded through
// the configuration router. While it is open, BrowserCallback reads and writes
// those buffers. PowerOn() and Reset() close it.
#pragma once

#include <string>
#include <vector>

#include "uefi/protocols.h"

namespace sim {

// Opens the form sets of the package list Handle, replacing one already open.
// Every VARSTORE and VARSTORE_EFI gets an edit buffer of its declared size,
// filled from the router's ExtractConfig (zeros where the router cannot answer).
// EFI_NOT_FOUND when the list is unknown or declares no variable store.
EFI_STATUS OpenFormSet(EFI_HII_HANDLE Handle);
// The edit buffer of the open store with that GUID and name, or null.
std::vector<UINT8> *EditBuffer(const EFI_GUID &Guid, const std::u16string &Name);
void CloseFormSet();
bool FormSetIsOpen();

}  // namespace sim

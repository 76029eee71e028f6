// The driver's dealings with the HII database, the string store and the form
// browser other than configuration-string coding: registering the package list,
// creating run-time strings in every language of it, and moving variable
// contents between the driver and the browser's edit buffers.
#pragma once
#include "uefi/protocols.h"

// The language list of the driver's own package list; fetched at first use and
// kept for the life of the image.
extern CHAR8 *CachedLanguageList;

// Joins package arrays (each a UINT32 total length counting its own four bytes,
// then whole packages), passed as pointers and ended by a null pointer, into one
// package list and registers it against DriverHandle. Returns the new handle, or
// null when there is nothing to register, an array is malformed, the pool is
// exhausted or the database refuses the list.
EFI_HII_HANDLE RegisterPackageList(const EFI_GUID *PackageListGuid, EFI_HANDLE DriverHandle, ...);

// Creates one new string holding Text in every language of the driver's own
// package list, keyword namespaces included. Returns its id, 0 on any failure.
EFI_STRING_ID SetStringAllLanguages(const CHAR16 *Text);

// Without SetResults: a new pool string with the browser's current results body
// (OFFSET=...&WIDTH=...&VALUE=...) for the variable, empty when the browser has
// none. With SetResults: hands that body to the browser and returns SetResults.
// Null on failure.
CHAR16 *BrowserDataExchange(const CHAR16 *VariableName, const CHAR16 *SetResults);

// Fills Block (BlockSize bytes) from the browser's edit buffer of the variable;
// TRUE on success.
BOOLEAN ReadBrowserData(const CHAR16 *VariableName, UINTN BlockSize, UINT8 *Block);

// Replaces the browser's edit buffer of the variable with Block; TRUE on success.
// The browser is asked for its buffer of the variable first: one that has
// none to give (or fails) gets nothing, and Block is not converted (FALSE).
BOOLEAN WriteBrowserData(const CHAR16 *VariableName, UINTN BlockSize, const UINT8 *Block);

// Forgets the cached list (host tests: a fresh image load; the pool it came from
// is gone with the old machine).
void ResetRegistrationState();

// The package list the firmware test registers in OVMF and the host test in the
// simulator, so that both exports start from the same bytes: the list header
// with the form-set GUID, the packages of the strings array and then of the
// forms array (each without its UINT32 length prefix), and the end package.
#pragma once
#include "forms/identities.h"
#include "forms/static_packages.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/hii.h"

inline constexpr UINTN STATIC_ARRAY_LENGTH_PREFIX = 4;
inline constexpr UINTN STATIC_FORM_PACKAGE_SIZE = ADDONCARD_FORMS_SIZE - STATIC_ARRAY_LENGTH_PREFIX;
inline constexpr UINTN STATIC_STRING_PACKAGES_SIZE = ADDONCARD_STRINGS_SIZE - STATIC_ARRAY_LENGTH_PREFIX;
inline constexpr UINTN STATIC_PACKAGE_LIST_SIZE = sizeof(EFI_HII_PACKAGE_LIST_HEADER) +
                                                  STATIC_STRING_PACKAGES_SIZE + STATIC_FORM_PACKAGE_SIZE +
                                                  sizeof(EFI_HII_PACKAGE_HEADER);

// A pool block of STATIC_PACKAGE_LIST_SIZE bytes the caller frees; null when the
// pool is exhausted.
inline EFI_HII_PACKAGE_LIST_HEADER *BuildStaticPackageList() {
  UINT8 *List = static_cast<UINT8 *>(PoolAlloc(STATIC_PACKAGE_LIST_SIZE));
  if (List == nullptr) return nullptr;
  const EFI_HII_PACKAGE_LIST_HEADER Header = {ADDONCARD_FORMSET_GUID,
                                              static_cast<UINT32>(STATIC_PACKAGE_LIST_SIZE)};
  CopyBytes(List, &Header, sizeof(Header));
  UINT8 *At = List + sizeof(Header);
  CopyBytes(At, AddOnCardStrings + STATIC_ARRAY_LENGTH_PREFIX, STATIC_STRING_PACKAGES_SIZE);
  At += STATIC_STRING_PACKAGES_SIZE;
  CopyBytes(At, AddOnCardForms + STATIC_ARRAY_LENGTH_PREFIX, STATIC_FORM_PACKAGE_SIZE);
  At += STATIC_FORM_PACKAGE_SIZE;
  const EFI_HII_PACKAGE_HEADER End = {{static_cast<UINT8>(sizeof(End)), 0, 0, EFI_HII_PACKAGE_END}};
  CopyBytes(At, &End, sizeof(End));
  return reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List);
}

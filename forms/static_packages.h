// The driver's static form set as two package arrays, ready for registration:
// each is a UINT32 total length (counting its own four bytes) followed by whole
// HII packages.
//   AddOnCardStrings: the "en-US" string package, then the "x-UEFI-QZV"
//                     keyword package.
//   AddOnCardForms:   the one forms package.
// The compiler computes every byte (forms/static_packages.cpp), so each name is
// a reference bound to a constant array: it is used exactly like the array
// (indexing, sizeof, ArrayCount, decay to a pointer) and needs no start-up code.
#pragma once
#include "uefi/base.h"

inline constexpr UINTN ADDONCARD_STRINGS_SIZE = 0x78C;
inline constexpr UINTN ADDONCARD_ENGLISH_PACKAGE_SIZE = 0x590;
inline constexpr UINTN ADDONCARD_KEYWORD_PACKAGE_SIZE = 0x1F8;
inline constexpr UINTN ADDONCARD_FORMS_SIZE = 0x83D;
inline constexpr UINTN ADDONCARD_FORM_PACKAGE_SIZE = 0x839;

extern const UINT8 (&AddOnCardStrings)[ADDONCARD_STRINGS_SIZE];
extern const UINT8 (&AddOnCardForms)[ADDONCARD_FORMS_SIZE];

// HII package structures: package-list and package headers, string packages and
// their string-information blocks. Every multi-byte field is little-endian and
// the structures are packed exactly as they appear in a package list.
#pragma once
#include "uefi/base.h"

using EFI_HII_HANDLE = void *;
using EFI_STRING_ID = UINT16;
using EFI_QUESTION_ID = UINT16;
using EFI_FORM_ID = UINT16;
using EFI_VARSTORE_ID = UINT16;
using EFI_DEFAULT_ID = UINT16;

struct EFI_HII_PACKAGE_LIST_HEADER {
  EFI_GUID PackageListGuid;
  UINT32 PackageLength;  // the whole list, this header included
};
static_assert(sizeof(EFI_HII_PACKAGE_LIST_HEADER) == 20);

// One little-endian UINT32: bits 0-23 the package length (header included),
// bits 24-31 the type. Kept as raw bytes so it can sit at any offset.
struct EFI_HII_PACKAGE_HEADER {
  UINT8 Bytes[4];
};
static_assert(sizeof(EFI_HII_PACKAGE_HEADER) == 4 && alignof(EFI_HII_PACKAGE_HEADER) == 1);

constexpr UINT32 PackageLength(const EFI_HII_PACKAGE_HEADER &H) {
  return static_cast<UINT32>(H.Bytes[0]) | (static_cast<UINT32>(H.Bytes[1]) << 8) |
         (static_cast<UINT32>(H.Bytes[2]) << 16);
}
constexpr UINT8 PackageType(const EFI_HII_PACKAGE_HEADER &H) { return H.Bytes[3]; }

inline constexpr UINT8 EFI_HII_PACKAGE_TYPE_ALL = 0x00;
inline constexpr UINT8 EFI_HII_PACKAGE_TYPE_GUID = 0x01;
inline constexpr UINT8 EFI_HII_PACKAGE_FORMS = 0x02;
inline constexpr UINT8 EFI_HII_PACKAGE_STRINGS = 0x04;
inline constexpr UINT8 EFI_HII_PACKAGE_FONTS = 0x05;
inline constexpr UINT8 EFI_HII_PACKAGE_IMAGES = 0x06;
inline constexpr UINT8 EFI_HII_PACKAGE_SIMPLE_FONTS = 0x07;
inline constexpr UINT8 EFI_HII_PACKAGE_DEVICE_PATH = 0x08;
inline constexpr UINT8 EFI_HII_PACKAGE_KEYBOARD_LAYOUT = 0x09;
inline constexpr UINT8 EFI_HII_PACKAGE_ANIMATIONS = 0x0A;
inline constexpr UINT8 EFI_HII_PACKAGE_END = 0xDF;

// String package header; the ASCII language tag (Language[]) follows it and
// runs up to HdrSize. StringInfoOffset is where the string blocks start.
struct EFI_HII_STRING_PACKAGE_HDR {
  EFI_HII_PACKAGE_HEADER Header;
  UINT32 HdrSize;
  UINT32 StringInfoOffset;
  CHAR16 LanguageWindow[16];
  EFI_STRING_ID LanguageName;
} __attribute__((packed));
static_assert(sizeof(EFI_HII_STRING_PACKAGE_HDR) == 46);
static_assert(__builtin_offsetof(EFI_HII_STRING_PACKAGE_HDR, HdrSize) == 4);
static_assert(__builtin_offsetof(EFI_HII_STRING_PACKAGE_HDR, StringInfoOffset) == 8);
static_assert(__builtin_offsetof(EFI_HII_STRING_PACKAGE_HDR, LanguageName) == 44);

// String-information block types.
inline constexpr UINT8 EFI_HII_SIBT_END = 0x00;
inline constexpr UINT8 EFI_HII_SIBT_STRING_SCSU = 0x10;
inline constexpr UINT8 EFI_HII_SIBT_STRING_SCSU_FONT = 0x11;
inline constexpr UINT8 EFI_HII_SIBT_STRINGS_SCSU = 0x12;
inline constexpr UINT8 EFI_HII_SIBT_STRINGS_SCSU_FONT = 0x13;
inline constexpr UINT8 EFI_HII_SIBT_STRING_UCS2 = 0x14;
inline constexpr UINT8 EFI_HII_SIBT_STRING_UCS2_FONT = 0x15;
inline constexpr UINT8 EFI_HII_SIBT_STRINGS_UCS2 = 0x16;
inline constexpr UINT8 EFI_HII_SIBT_STRINGS_UCS2_FONT = 0x17;
inline constexpr UINT8 EFI_HII_SIBT_DUPLICATE = 0x20;
inline constexpr UINT8 EFI_HII_SIBT_SKIP2 = 0x21;
inline constexpr UINT8 EFI_HII_SIBT_SKIP1 = 0x22;
inline constexpr UINT8 EFI_HII_SIBT_EXT1 = 0x30;
inline constexpr UINT8 EFI_HII_SIBT_EXT2 = 0x31;
inline constexpr UINT8 EFI_HII_SIBT_EXT4 = 0x32;
inline constexpr UINT8 EFI_HII_SIBT_FONT = 0x40;

struct EFI_HII_STRING_BLOCK {
  UINT8 BlockType;
};
struct EFI_HII_SIBT_SKIP1_BLOCK {
  EFI_HII_STRING_BLOCK Header;
  UINT8 SkipCount;
};
struct EFI_HII_SIBT_SKIP2_BLOCK {
  EFI_HII_STRING_BLOCK Header;
  UINT16 SkipCount;
} __attribute__((packed));
static_assert(sizeof(EFI_HII_SIBT_SKIP1_BLOCK) == 2 && sizeof(EFI_HII_SIBT_SKIP2_BLOCK) == 3);

// Font information passed to the string protocol; the driver always passes none.
struct EFI_FONT_INFO;

// Reading and extending HII string packages in memory, within their bytes:
// the layout the UEFI specification gives them (a 46-byte header, the ASCII
// language up to HdrSize, string blocks from StringInfoOffset to an END block).
// Ids start at 1; each block covers as many ids as it holds strings, a skip
// block covers ids without text.
//
// Only the plainest blocks are read here: UCS-2 strings without a font, one or
// several in a block, and skips. A package with any other block (fonts,
// compressed text, duplicates, extensions) is not read at all: its strings are
// left to the firmware's string protocol.
#pragma once
#include "support/bytes.h"
#include "uefi/hii.h"

struct STRING_PACKAGE_INFO {
  ByteView Package;        // the whole package, header included
  ByteView Language;       // the language tag, without its NUL
  UINTN EndBlock;          // offset of the END block in Package
  EFI_STRING_ID NextId;    // the id a new string of this package would get (0x10000 does not fit: 0)
  UINT32 IdCount;          // ids the blocks cover (NextId - 1, up to 0xFFFF)
};

// Reads the header and walks the blocks of a string package (its bytes as
// the list holds them: the package header's length is not trusted beyond
// Package.Size()). False for another package type, a package with a block not
// read here, or a malformed one: a header or language outside it, a block
// running past it, ids beyond 0xFFFF, no END block.
bool ReadStringPackageInfo(ByteView Package, STRING_PACKAGE_INFO *Info);

// Where the text of each id lies: Offsets (Count entries, the caller's)
// receives for id n, at index n - 1, the offset of its first UCS-2 code unit,
// or 0 when the package has no text for it. False for a Count below IdCount.
bool IndexStringTexts(const STRING_PACKAGE_INFO &Info, UINT32 *Offsets, UINT32 Count);

// The UCS-2 bytes of the text at Offset of Package, up to (not including) its
// NUL; empty when the offset is 0 or the text does not end inside the package.
ByteView StringTextAt(ByteView Package, UINT32 Offset);

// The language tags compared as the string protocol compares them: equal
// without regard to case.
bool SameLanguage(ByteView Tag, ByteView Other);

// Bytes of the block that holds Text (UCS-2, no font) with its NUL: 1 + 2 *
// (characters + 1).
constexpr UINTN Ucs2BlockSize(UINTN Characters) { return 1 + 2 * (Characters + 1); }

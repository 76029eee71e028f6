// Configuration-string text shared by the simulated router, keyword handler and
// form browser: hex codings, the GUID/NAME/PATH header, and the two block
// conversions the router exports (BlockToConfig, ConfigToBlock).
//
// Everything works on bounded views of the caller's text; positions are code-unit
// indexes into the view so that each service can turn them into its own Progress
// pointer. Nothing here writes outside the block it is given.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uefi/protocols.h"

namespace sim::cfgtext {

using Text = std::u16string;
using TextView = std::u16string_view;
inline constexpr std::size_t npos = TextView::npos;

// Longest caller string the services walk; a longer one counts as unterminated.
inline constexpr std::size_t MaxTextUnits = 1u << 24;

// View of a NUL-terminated caller string (empty for null).
TextView ViewOf(const CHAR16 *String);

bool IsHexDigit(char16_t Unit);
// Value of a hex digit; only valid when IsHexDigit.
unsigned HexDigitValue(char16_t Unit);

// Lowercase digits of the bytes in memory order (GUID and PATH form).
Text HexOfBytes(const UINT8 *Bytes, std::size_t Count);
// Lowercase digits of the bytes read as one little-endian number, most
// significant byte first (VALUE form).
Text HexOfNumber(const UINT8 *Bytes, std::size_t Count);
// Four lowercase digits per code unit (NAME form).
Text HexOfName(TextView Name);
// Minimal lowercase digits of a number (OFFSET and WIDTH as written here).
Text HexOfUint(UINT64 Value);

// Inverse codings. Each refuses anything but hex digits of the right count.
std::optional<std::vector<UINT8>> BytesOfHex(TextView Digits);
std::optional<Text> NameOfHex(TextView Digits);
// A number of any number of digits whose value fits 64 bits.
std::optional<UINT64> UintOfHex(TextView Digits);
// True when Digits are one or more hex digits whose value fits Width bytes.
bool ValueFitsWidth(TextView Digits, UINT64 Width);
// VALUE digits into Width bytes (last digit = low nibble of byte 0). Fails when
// there are no digits, a non-digit, or more significant digits than Width holds.
bool DecodeNumberInto(TextView Digits, UINT8 *Bytes, std::size_t Width);

// The value of element KEY= that starts at Position (Position at the key):
// from after "=" to the next "&" or the end.
TextView ElementValue(TextView Text, std::size_t Position, TextView Key);

struct ConfigHeader {
  EFI_GUID Guid{};
  Text Name;
  std::vector<UINT8> Path;
  // Index just after the PATH digits: the end, or the "&" of the next element.
  std::size_t End = 0;
};
// Parses "GUID=<32 digits>&NAME=<4n digits>&PATH=<2n digits>" at the start of Text.
std::optional<ConfigHeader> ParseConfigHeader(TextView Text);
Text BuildConfigHeader(const EFI_GUID &Guid, TextView Name, const std::vector<UINT8> &Path);
// A GUID as the 16 bytes of its memory layout, and back.
std::vector<UINT8> GuidBytes(const EFI_GUID &Guid);
EFI_GUID GuidOfBytes(const UINT8 *Bytes);

// Lowercases A-F inside values ("=" opens a value, "&" closes it); keys stay as they are.
void FoldValueDigits(Text &Text);

// Splits a multi-configuration text at every "&GUID=": [start, end) of each
// configuration, start at its "GUID=".
std::vector<std::pair<std::size_t, std::size_t>> SplitConfigurations(TextView Text);

// BlockToConfig over text: Request is an optional header and OFFSET/WIDTH pairs
// (a header alone is answered with itself). On error *Progress is the index of
// the failing element ("&" before it, or 0), or the end for an element beyond
// the block (EFI_DEVICE_ERROR).
EFI_STATUS BlockToConfigText(TextView Request, const UINT8 *Block, std::size_t BlockSize, Text *Config,
                             std::size_t *Progress);
// ConfigToBlock over text: Response is an optional header and OFFSET/WIDTH/VALUE
// triples, written into Block as they are read. Anything else, an alternate
// configuration ("&ALTCFG=", "&GUID=") included, stops it with
// EFI_INVALID_PARAMETER and *Progress at its "&" (the elements before it stay
// written); elements beyond *BlockSize are passed over and give
// EFI_BUFFER_TOO_SMALL with the size needed. On success *BlockSize is the index
// of the last byte the elements reach.
EFI_STATUS ConfigToBlockText(TextView Response, UINT8 *Block, std::size_t *BlockSize, std::size_t *Progress);
// The current values of a router answer: the text before its first alternate
// configuration ("&GUID=" of the next header, or "&ALTCFG=").
TextView CurrentConfiguration(TextView Answer);

// Device-path byte size including the end node, 0 unless the nodes are well
// formed within Available bytes.
std::size_t DevicePathSize(const UINT8 *Path, std::size_t Available);

// A pool copy of Text with a terminator, for results handed to callers; null
// when the pool is exhausted.
CHAR16 *ToPoolString(TextView Text);
void FreePool(void *Block);

}  // namespace sim::cfgtext

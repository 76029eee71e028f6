// Text of configuration strings: the header that names a variable store
// (GUID=, &NAME=, &PATH=), the OFFSET/WIDTH/VALUE fields of a block, the matching
// of an incoming request against one of the driver's stores, and the placeholder
// header used when only a block body matters.
//
// Header values are written with lowercase hex digits; VALUE and WIDTH digits
// with uppercase ones. Every writer takes the room of its destination and refuses
// (writing nothing) rather than overrun it.
#pragma once
#include "support/bytes.h"
#include "uefi/base.h"

// Stands in front of a block body whenever the router needs a whole configuration
// string but the real header does not matter.
inline constexpr CHAR16 PLACEHOLDER_CONFIG_HDR[] = u"GUID=00000000000000000000000000000000&NAME=0000&PATH=00";

// Largest byte string HexEncodeBytes takes (the size of its scratch copy).
inline constexpr UINTN HEX_ENCODE_BYTES_MAX = 32768;

// VALUE form: the bytes as one little-endian number, most significant digit
// first, uppercase. Writes DigitCount digits and a NUL into Text (room for
// TextChars code units) and sets *OutCount to DigitCount + 1. Byte i lands in
// Text[DigitCount - 2 - 2i] (high nibble) and Text[DigitCount - 1 - 2i] (low);
// digits above the last byte are "0". Refuses without writing:
// EFI_BUFFER_TOO_SMALL when DigitCount + 1 exceeds TextChars,
// EFI_INVALID_PARAMETER when DigitCount is below 2 x ByteCount (high bytes would
// be lost) or a pointer is null.
EFI_STATUS HexEncodeNumber(CHAR16 *Text, UINTN TextChars, UINTN *OutCount, const UINT8 *Bytes,
                           UINTN ByteCount, UINTN DigitCount);

// GUID/PATH form: 2 x ByteCount lowercase digits in memory order, then NUL.
// Works on a pool scratch copy of HEX_ENCODE_BYTES_MAX bytes. Writes nothing and
// returns EFI_OUT_OF_RESOURCES when the copy cannot be allocated,
// EFI_BAD_BUFFER_SIZE when ByteCount exceeds HEX_ENCODE_BYTES_MAX, and
// EFI_BUFFER_TOO_SMALL when Text (TextChars code units) cannot hold the digits
// and the NUL.
EFI_STATUS HexEncodeBytes(CHAR16 *Text, UINTN TextChars, const UINT8 *Bytes, UINTN ByteCount);

// NAME form: four lowercase digits per code unit of Name, then NUL. The size
// needed, 8 x length + 2 bytes, is stored in *InOutSize in every case; a smaller
// incoming *InOutSize gives EFI_BUFFER_TOO_SMALL and nothing is written.
EFI_STATUS HexEncodeName(CHAR16 *Text, UINTN *InOutSize, const CHAR16 *Name);

// Eight uppercase zero-padded digits of the low 32 bits of Value, in the next of
// ten static slots: the text stays valid until ten further calls.
const CHAR16 *HexText32(UINT64 Value);

// Number of leading hex digits (0-9, A-F, a-f) of Text, counting at most Maximum.
UINTN CountHexDigits(const CHAR16 *Text, UINTN Maximum);

// Decodes a VALUE text (hex digits up to the first non-digit, last digit = low
// nibble of byte 0) into Bytes, writing ceil(digits / 2) bytes. A text without a
// leading digit writes nothing. A text with more digits than 2 x ByteCapacity is
// refused with EFI_BUFFER_TOO_SMALL and nothing is written.
EFI_STATUS HexDecodeNumber(UINT8 *Bytes, UINTN ByteCapacity, const CHAR16 *Text);

// The one writer of a configuration header: "GUID=<guid>&NAME=<name>&PATH=<path>"
// at Text, which has room for Capacity code units (NUL included). The GUID's 16
// bytes in memory order and the path's bytes take two lowercase hex digits each,
// each code unit of Name four. A null Guid or Name, or an empty Path, leaves its
// value empty. EFI_BUFFER_TOO_SMALL when the header does not fit: Text then
// holds the terminated part that did.
EFI_STATUS WriteConfigHeader(CHAR16 *Text, UINTN Capacity, const EFI_GUID *Guid, const CHAR16 *Name,
                             ByteView Path);

// A new pool string holding the header for the given GUID, variable name and the
// device path on DriverHandle; each may be null (its field is then empty). A
// path that fails the device-path checks gives an empty PATH. Null when the pool
// is exhausted or DriverHandle carries no device path. The caller frees it.
CHAR16 *BuildConfigHeader(const EFI_GUID *Guid, const CHAR16 *Name, EFI_HANDLE DriverHandle);

// TRUE when the span from the first StartKey to the following StopKey is the
// same text in both strings (exact, case-sensitive, key included).
BOOLEAN CompareHeaderField(const CHAR16 *Request, const CHAR16 *Built, const CHAR16 *StartKey,
                           const CHAR16 *StopKey);

// TRUE when the first header of Request names the store Guid/Name. Only the
// fields given are compared, as exact text against lowercase digits; PATH is
// never compared.
BOOLEAN MatchConfigHeader(const CHAR16 *Request, const EFI_GUID *Guid, const CHAR16 *Name);

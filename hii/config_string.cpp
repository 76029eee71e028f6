#include "hii/config_string.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "support/device_path.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"
#include "uefi/guids.h"

namespace {

constexpr UINTN HEX_TEXT32_SLOTS = 10;
constexpr UINTN HEX_TEXT32_CHARS = 10;
constexpr UINTN UINTN_MAX = ~static_cast<UINTN>(0);

// The eight-digit texts handed out by HexText32 stay valid for ten further
// calls, so callers may hold a few of them at once (one request holds one).
constinit CHAR16 HexText32Ring[HEX_TEXT32_SLOTS][HEX_TEXT32_CHARS] = {};
constinit UINTN HexText32Index = 0;

// Fixed part of a header: "GUID=" + 32 digits + "&NAME=" + "&PATH=" + NUL, with
// room to spare; the digits of name and path come on top.
constexpr UINTN HEADER_FIXED_CHARS = 50;

constexpr CHAR16 UpperHexDigit(UINTN Nibble) {
  return static_cast<CHAR16>(u"0123456789ABCDEF"[Nibble & 0xF]);
}
constexpr CHAR16 LowerHexDigit(UINTN Nibble) {
  return static_cast<CHAR16>(u"0123456789abcdef"[Nibble & 0xF]);
}

// Value of a hex digit, or -1 when Character is none.
constexpr INTN HexDigitValue(CHAR16 Character) {
  if (Character >= u'0' && Character <= u'9') return Character - u'0';
  if (Character >= u'A' && Character <= u'F') return Character - u'A' + 10;
  if (Character >= u'a' && Character <= u'f') return Character - u'a' + 10;
  return -1;
}

void LowercaseLetters(CHAR16 *Text) {
  for (; *Text != 0; ++Text)
    if (*Text >= u'A' && *Text <= u'Z') *Text = static_cast<CHAR16>(*Text - u'A' + u'a');
}

// Appends to a text of fixed capacity; once an append does not fit, the text
// keeps what it had and every later append is refused as well.
class BoundedText {
 public:
  BoundedText(CHAR16 *Text, UINTN Capacity) : Text_(Text), Capacity_(Capacity) { Text_[0] = 0; }

  void Append(const CHAR16 *Piece) {
    const UINTN PieceLength = Utf16Length(Piece);
    if (!Reserve(PieceLength)) return;
    CopyBytes(Text_ + Length_, Piece, PieceLength * sizeof(CHAR16));
    Terminate(Length_ + PieceLength);
  }

  // Width (2 or 4) zero-padded uppercase digits of Value.
  void AppendHex(UINT64 Value, UINTN Width) {
    CHAR16 Digits[5];
    if (EFI_ERROR(FormatHexValue(Digits, sizeof(Digits), Value, Width))) {
      Complete_ = false;
      return;
    }
    Append(Digits);
  }

  bool Complete() const { return Complete_; }

 private:
  bool Reserve(UINTN Count) {
    if (!Complete_ || Count >= Capacity_ - Length_) Complete_ = false;
    return Complete_;
  }
  void Terminate(UINTN NewLength) {
    Length_ = NewLength;
    Text_[Length_] = 0;
  }

  CHAR16 *Text_;
  UINTN Capacity_;
  UINTN Length_ = 0;
  bool Complete_ = true;
};

// Inside a header value ("=" opens one, "&" closes it) hex letters become
// lowercase; keys and separators stay as they are.
void FoldHeaderValuesToLowercase(CHAR16 *Text) {
  bool InValue = false;
  for (; *Text != 0; ++Text) {
    if (*Text == u'=') {
      InValue = true;
    } else if (*Text == u'&') {
      InValue = false;
    } else if (InValue && *Text >= u'A' && *Text <= u'F') {
      *Text = static_cast<CHAR16>(*Text - u'A' + u'a');
    }
  }
}

// The device path on DriverHandle; false when the handle has none.
bool GetHandleDevicePath(EFI_HANDLE Handle, const EFI_DEVICE_PATH_PROTOCOL **Path) {
  void *Interface = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface)))
    return false;
  *Path = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface);
  return Interface != nullptr;
}

}  // namespace

EFI_STATUS HexEncodeNumber(CHAR16 *Text, UINTN TextChars, UINTN *OutCount, const UINT8 *Bytes,
                           UINTN ByteCount, UINTN DigitCount) {
  if (Text == nullptr || OutCount == nullptr || (Bytes == nullptr && ByteCount != 0))
    return EFI_INVALID_PARAMETER;
  if (ByteCount > UINTN_MAX / 2 || DigitCount < 2 * ByteCount) return EFI_INVALID_PARAMETER;
  if (DigitCount >= TextChars) return EFI_BUFFER_TOO_SMALL;
  // Digit j counted from the right is nibble j of the number.
  for (UINTN FromRight = 0; FromRight < DigitCount; ++FromRight) {
    const UINTN ByteIndex = FromRight / 2;
    const UINT8 Byte = ByteIndex < ByteCount ? Bytes[ByteIndex] : 0;
    Text[DigitCount - 1 - FromRight] = UpperHexDigit((FromRight % 2 == 0) ? Byte : Byte >> 4);
  }
  Text[DigitCount] = 0;
  *OutCount = DigitCount + 1;
  return EFI_SUCCESS;
}

EFI_STATUS HexEncodeBytes(CHAR16 *Text, UINTN TextChars, const UINT8 *Bytes, UINTN ByteCount) {
  if (Text == nullptr || (Bytes == nullptr && ByteCount != 0)) return EFI_INVALID_PARAMETER;
  if (ByteCount > HEX_ENCODE_BYTES_MAX) return EFI_BAD_BUFFER_SIZE;
  if (2 * ByteCount >= TextChars) return EFI_BUFFER_TOO_SMALL;
  // The bytes are taken from a private copy, so Bytes may lie inside Text.
  auto *Scratch = static_cast<UINT8 *>(PoolAllocZero(HEX_ENCODE_BYTES_MAX));
  if (Scratch == nullptr) return EFI_OUT_OF_RESOURCES;
  if (ByteCount != 0) CopyBytes(Scratch, Bytes, ByteCount);
  for (UINTN Index = 0; Index < ByteCount; ++Index) {
    Text[2 * Index] = UpperHexDigit(Scratch[Index] >> 4);
    Text[2 * Index + 1] = UpperHexDigit(Scratch[Index]);
  }
  Text[2 * ByteCount] = 0;
  PoolFree(Scratch);
  LowercaseLetters(Text);
  return EFI_SUCCESS;
}

EFI_STATUS HexEncodeName(CHAR16 *Text, UINTN *InOutSize, const CHAR16 *Name) {
  if (InOutSize == nullptr) return EFI_INVALID_PARAMETER;
  const UINTN NameLength = Utf16Length(Name);
  const UINTN Needed = (4 * NameLength + 1) * sizeof(CHAR16);
  const UINTN Offered = *InOutSize;
  *InOutSize = Needed;
  if (Offered < Needed) return EFI_BUFFER_TOO_SMALL;
  if (Text == nullptr) return EFI_INVALID_PARAMETER;
  for (UINTN Index = 0; Index < NameLength; ++Index)
    for (UINTN Digit = 0; Digit < 4; ++Digit)
      Text[4 * Index + Digit] = LowerHexDigit(Name[Index] >> (12 - 4 * Digit));
  Text[4 * NameLength] = 0;
  return EFI_SUCCESS;
}

const CHAR16 *HexText32(UINT64 Value) {
  HexText32Index = (HexText32Index + 1) % HEX_TEXT32_SLOTS;
  CHAR16 *Slot = HexText32Ring[HexText32Index];
  const auto Low = static_cast<UINT32>(Value);
  for (UINTN Index = 0; Index < 8; ++Index) Slot[Index] = UpperHexDigit(Low >> (4 * (7 - Index)));
  Slot[8] = 0;
  return Slot;
}

UINTN CountHexDigits(const CHAR16 *Text, UINTN Maximum) {
  if (Text == nullptr) return 0;
  UINTN Count = 0;
  while (Count < Maximum && HexDigitValue(Text[Count]) >= 0) ++Count;
  return Count;
}

EFI_STATUS HexDecodeNumber(UINT8 *Bytes, UINTN ByteCapacity, const CHAR16 *Text) {
  if (Text == nullptr) return EFI_INVALID_PARAMETER;
  const UINTN DigitLimit = ByteCapacity > (UINTN_MAX - 1) / 2 ? UINTN_MAX - 1 : 2 * ByteCapacity;
  const UINTN Digits = CountHexDigits(Text, DigitLimit + 1);
  if (Digits > DigitLimit) return EFI_BUFFER_TOO_SMALL;
  if (Digits != 0 && Bytes == nullptr) return EFI_INVALID_PARAMETER;
  // The last digit is the low nibble of byte 0; an odd count leaves the top
  // byte with a low nibble only.
  for (UINTN ByteIndex = 0; 2 * ByteIndex < Digits; ++ByteIndex) {
    const UINTN LowPosition = Digits - 1 - 2 * ByteIndex;
    UINT8 Byte = static_cast<UINT8>(HexDigitValue(Text[LowPosition]));
    if (LowPosition != 0) Byte = static_cast<UINT8>(Byte | (HexDigitValue(Text[LowPosition - 1]) << 4));
    Bytes[ByteIndex] = Byte;
  }
  return EFI_SUCCESS;
}

EFI_STATUS WriteConfigHeader(CHAR16 *Text, UINTN Capacity, const EFI_GUID *Guid, const CHAR16 *Name,
                             ByteView Path) {
  if (Text == nullptr || Capacity == 0) return EFI_BUFFER_TOO_SMALL;
  BoundedText Header(Text, Capacity);
  Header.Append(u"GUID=");
  if (Guid != nullptr) {
    const auto *GuidBytes = reinterpret_cast<const UINT8 *>(Guid);
    for (UINTN Index = 0; Index < sizeof(EFI_GUID); ++Index) Header.AppendHex(GuidBytes[Index], 2);
  }
  Header.Append(u"&NAME=");
  const UINTN NameLength = Utf16Length(Name);
  for (UINTN Index = 0; Index < NameLength && Header.Complete(); ++Index) Header.AppendHex(Name[Index], 4);
  Header.Append(u"&PATH=");
  for (UINTN Index = 0; Index < Path.Size() && Header.Complete(); ++Index)
    Header.AppendHex(Path.Data()[Index], 2);
  FoldHeaderValuesToLowercase(Text);
  return Header.Complete() ? EFI_SUCCESS : EFI_BUFFER_TOO_SMALL;
}

CHAR16 *BuildConfigHeader(const EFI_GUID *Guid, const CHAR16 *Name, EFI_HANDLE DriverHandle) {
  const UINTN NameLength = Utf16Length(Name);
  UINTN PathSize = 0;
  const EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  if (DriverHandle != nullptr) {
    if (!GetHandleDevicePath(DriverHandle, &Path)) return nullptr;
    PathSize = ValidatedDevicePathSize(Path);
  }
  const UINTN Capacity = HEADER_FIXED_CHARS + 4 * NameLength + 2 * PathSize;
  auto *Header = static_cast<CHAR16 *>(PoolAllocZero(Capacity * sizeof(CHAR16)));
  if (Header == nullptr) return nullptr;
  WriteConfigHeader(Header, Capacity, Guid, Name, ByteView(Path, PathSize));
  return Header;
}

BOOLEAN CompareHeaderField(const CHAR16 *Request, const CHAR16 *Built, const CHAR16 *StartKey,
                           const CHAR16 *StopKey) {
  const CHAR16 *RequestStart = Utf16Find(Request, StartKey);
  const CHAR16 *BuiltStart = Utf16Find(Built, StartKey);
  if (RequestStart == nullptr || BuiltStart == nullptr) return FALSE;
  const CHAR16 *RequestStop = Utf16Find(RequestStart, StopKey);
  const CHAR16 *BuiltStop = Utf16Find(BuiltStart, StopKey);
  if (RequestStop == nullptr || BuiltStop == nullptr) return FALSE;
  const auto SpanLength = static_cast<UINTN>(RequestStop - RequestStart);
  if (SpanLength != static_cast<UINTN>(BuiltStop - BuiltStart)) return FALSE;
  return CompareBytes(RequestStart, BuiltStart, SpanLength * sizeof(CHAR16)) == 0 ? TRUE : FALSE;
}

BOOLEAN MatchConfigHeader(const CHAR16 *Request, const EFI_GUID *Guid, const CHAR16 *Name) {
  CHAR16 *Built = BuildConfigHeader(Guid, Name, nullptr);
  if (Built == nullptr) return FALSE;
  BOOLEAN Matches = TRUE;
  if (Guid != nullptr) Matches = CompareHeaderField(Request, Built, u"GUID=", u"&NAME=");
  if (Matches && Name != nullptr) Matches = CompareHeaderField(Request, Built, u"&NAME=", u"&PATH=");
  PoolFree(Built);
  return Matches;
}

void ResetConfigStringState() {
  ZeroBytes(HexText32Ring, sizeof(HexText32Ring));
  HexText32Index = 0;
}

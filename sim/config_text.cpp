#include "sim/config_text.h"

#include <algorithm>
#include <cstring>

#include "sim/sim.h"
#include "uefi/guids.h"

namespace sim::cfgtext {
namespace {

constexpr char16_t LowerDigits[] = u"0123456789abcdef";

bool StartsAt(TextView Text, std::size_t Position, TextView Key) {
  return Position <= Text.size() && Text.substr(Position, Key.size()) == Key;
}

// Index of the next "&" at or after Position, or the end.
std::size_t ElementEnd(TextView Text, std::size_t Position) {
  std::size_t Amp = Text.find(u'&', Position);
  return Amp == npos ? Text.size() : Amp;
}

// The key of the element at Position: skips the joining "&" except at the start.
// npos when the element is not properly joined.
std::size_t KeyStart(TextView Text, std::size_t Position) {
  if (Position == 0) return 0;
  if (Position < Text.size() && Text[Position] == u'&') return Position + 1;
  return npos;
}

struct BlockElement {
  std::size_t Start;  // "&" before OFFSET, or 0
  UINT64 Offset;
  UINT64 Width;
  TextView Value;
};

// Reads "OFFSET=<hex>&WIDTH=<hex>" at KeyAt; on success *After is the index past
// the WIDTH digits.
bool ReadOffsetWidth(TextView Text, std::size_t KeyAt, BlockElement *Element, std::size_t *After) {
  if (!StartsAt(Text, KeyAt, u"OFFSET=")) return false;
  TextView OffsetDigits = ElementValue(Text, KeyAt, u"OFFSET=");
  std::optional<UINT64> Offset = UintOfHex(OffsetDigits);
  std::size_t WidthAt = KeyAt + 7 + OffsetDigits.size();
  if (!Offset || !StartsAt(Text, WidthAt, u"&WIDTH=")) return false;
  TextView WidthDigits = ElementValue(Text, WidthAt + 1, u"WIDTH=");
  std::optional<UINT64> Width = UintOfHex(WidthDigits);
  // A zero-width element (a string question whose MaxSize is 0) names no byte;
  // the reference firmware converts it to and from an empty VALUE.
  if (!Width) return false;
  Element->Offset = *Offset;
  Element->Width = *Width;
  *After = WidthAt + 7 + WidthDigits.size();
  return true;
}

bool FitsBlock(const BlockElement &Element, std::size_t BlockSize) {
  return Element.Offset <= BlockSize && Element.Width <= BlockSize - Element.Offset;
}

// Skips "GUID=...[&NAME=...][&PATH=...]" at the start of a response; the values
// are not needed for a conversion into a block.
std::size_t SkipHeader(TextView Text) {
  std::size_t Position = ElementEnd(Text, 0);
  for (TextView Key : {TextView(u"&NAME="), TextView(u"&PATH=")})
    if (StartsAt(Text, Position, Key)) Position = ElementEnd(Text, Position + 1);
  return Position;
}

}  // namespace

TextView ViewOf(const CHAR16 *String) {
  if (String == nullptr) return {};
  std::size_t Length = 0;
  while (Length < MaxTextUnits && String[Length] != 0) ++Length;
  return TextView(String, Length);
}

bool IsHexDigit(char16_t Unit) {
  return (Unit >= u'0' && Unit <= u'9') || (Unit >= u'a' && Unit <= u'f') || (Unit >= u'A' && Unit <= u'F');
}

unsigned HexDigitValue(char16_t Unit) {
  if (Unit >= u'0' && Unit <= u'9') return Unit - u'0';
  if (Unit >= u'a' && Unit <= u'f') return Unit - u'a' + 10;
  return Unit - u'A' + 10;
}

Text HexOfBytes(const UINT8 *Bytes, std::size_t Count) {
  Text Out;
  Out.reserve(Count * 2);
  for (std::size_t I = 0; I < Count; ++I) {
    Out += LowerDigits[Bytes[I] >> 4];
    Out += LowerDigits[Bytes[I] & 0xF];
  }
  return Out;
}

Text HexOfNumber(const UINT8 *Bytes, std::size_t Count) {
  Text Out;
  Out.reserve(Count * 2);
  for (std::size_t I = Count; I-- > 0;) {
    Out += LowerDigits[Bytes[I] >> 4];
    Out += LowerDigits[Bytes[I] & 0xF];
  }
  return Out;
}

Text HexOfName(TextView Name) {
  Text Out;
  for (char16_t Unit : Name)
    for (int Shift = 12; Shift >= 0; Shift -= 4) Out += LowerDigits[(Unit >> Shift) & 0xF];
  return Out;
}

Text HexOfUint(UINT64 Value) {
  Text Out;
  do {
    Out.insert(Out.begin(), LowerDigits[Value & 0xF]);
    Value >>= 4;
  } while (Value != 0);
  return Out;
}

std::optional<std::vector<UINT8>> BytesOfHex(TextView Digits) {
  if (Digits.size() % 2 != 0) return std::nullopt;
  std::vector<UINT8> Bytes;
  Bytes.reserve(Digits.size() / 2);
  for (std::size_t I = 0; I < Digits.size(); I += 2) {
    if (!IsHexDigit(Digits[I]) || !IsHexDigit(Digits[I + 1])) return std::nullopt;
    Bytes.push_back(static_cast<UINT8>(HexDigitValue(Digits[I]) << 4 | HexDigitValue(Digits[I + 1])));
  }
  return Bytes;
}

std::optional<Text> NameOfHex(TextView Digits) {
  if (Digits.size() % 4 != 0) return std::nullopt;
  Text Name;
  for (std::size_t I = 0; I < Digits.size(); I += 4) {
    unsigned Unit = 0;
    for (std::size_t J = 0; J < 4; ++J) {
      if (!IsHexDigit(Digits[I + J])) return std::nullopt;
      Unit = Unit << 4 | HexDigitValue(Digits[I + J]);
    }
    Name += static_cast<char16_t>(Unit);
  }
  return Name;
}

std::optional<UINT64> UintOfHex(TextView Digits) {
  if (Digits.empty()) return std::nullopt;
  UINT64 Value = 0;
  for (char16_t Unit : Digits) {
    if (!IsHexDigit(Unit) || (Value >> 60) != 0) return std::nullopt;
    Value = Value << 4 | HexDigitValue(Unit);
  }
  return Value;
}

bool ValueFitsWidth(TextView Digits, UINT64 Width) {
  if (Digits.empty()) return false;
  for (char16_t Unit : Digits)
    if (!IsHexDigit(Unit)) return false;
  std::size_t FirstSignificant = Digits.find_first_not_of(u'0');
  std::size_t Significant = FirstSignificant == npos ? 0 : Digits.size() - FirstSignificant;
  return (Significant + 1) / 2 <= Width;
}

bool DecodeNumberInto(TextView Digits, UINT8 *Bytes, std::size_t Width) {
  if (!ValueFitsWidth(Digits, Width)) return false;
  std::size_t FirstSignificant = Digits.find_first_not_of(u'0');
  std::size_t Significant = FirstSignificant == npos ? 0 : Digits.size() - FirstSignificant;
  std::memset(Bytes, 0, Width);
  for (std::size_t Nibble = 0; Nibble < Significant; ++Nibble) {
    unsigned Value = HexDigitValue(Digits[Digits.size() - 1 - Nibble]);
    Bytes[Nibble / 2] |= static_cast<UINT8>(Nibble % 2 == 0 ? Value : Value << 4);
  }
  return true;
}

TextView ElementValue(TextView Text, std::size_t Position, TextView Key) {
  std::size_t Start = Position + Key.size();
  if (Start > Text.size()) return {};
  return Text.substr(Start, ElementEnd(Text, Start) - Start);
}

std::optional<ConfigHeader> ParseConfigHeader(TextView Text) {
  if (!StartsAt(Text, 0, u"GUID=")) return std::nullopt;
  ConfigHeader Header;
  TextView GuidDigits = ElementValue(Text, 0, u"GUID=");
  std::optional<std::vector<UINT8>> Guid = BytesOfHex(GuidDigits);
  if (!Guid || Guid->size() != sizeof(EFI_GUID)) return std::nullopt;
  Header.Guid = GuidOfBytes(Guid->data());

  std::size_t NameAt = 5 + GuidDigits.size();
  if (!StartsAt(Text, NameAt, u"&NAME=")) return std::nullopt;
  TextView NameDigits = ElementValue(Text, NameAt + 1, u"NAME=");
  std::optional<cfgtext::Text> Name = NameOfHex(NameDigits);
  if (!Name) return std::nullopt;
  Header.Name = *Name;

  std::size_t PathAt = NameAt + 6 + NameDigits.size();
  if (!StartsAt(Text, PathAt, u"&PATH=")) return std::nullopt;
  TextView PathDigits = ElementValue(Text, PathAt + 1, u"PATH=");
  std::optional<std::vector<UINT8>> Path = BytesOfHex(PathDigits);
  if (!Path) return std::nullopt;
  Header.Path = *Path;
  Header.End = PathAt + 6 + PathDigits.size();
  return Header;
}

std::vector<UINT8> GuidBytes(const EFI_GUID &Guid) {
  std::vector<UINT8> Bytes(sizeof(EFI_GUID));
  std::memcpy(Bytes.data(), &Guid, sizeof(EFI_GUID));
  return Bytes;
}

EFI_GUID GuidOfBytes(const UINT8 *Bytes) {
  EFI_GUID Guid;
  std::memcpy(&Guid, Bytes, sizeof(EFI_GUID));
  return Guid;
}

Text BuildConfigHeader(const EFI_GUID &Guid, TextView Name, const std::vector<UINT8> &Path) {
  std::vector<UINT8> GuidData = GuidBytes(Guid);
  return u"GUID=" + HexOfBytes(GuidData.data(), GuidData.size()) + u"&NAME=" + HexOfName(Name) + u"&PATH=" +
         HexOfBytes(Path.data(), Path.size());
}

void FoldValueDigits(Text &Text) {
  bool InValue = false;
  for (char16_t &Unit : Text) {
    if (Unit == u'=') {
      InValue = true;
    } else if (Unit == u'&') {
      InValue = false;
    } else if (InValue && Unit >= u'A' && Unit <= u'F') {
      Unit = static_cast<char16_t>(Unit - u'A' + u'a');
    }
  }
}

std::vector<std::pair<std::size_t, std::size_t>> SplitConfigurations(TextView Text) {
  std::vector<std::pair<std::size_t, std::size_t>> Pieces;
  std::size_t Start = 0;
  for (std::size_t Next = Text.find(u"&GUID="); Next != npos; Next = Text.find(u"&GUID=", Start)) {
    Pieces.emplace_back(Start, Next);
    Start = Next + 1;
  }
  Pieces.emplace_back(Start, Text.size());
  return Pieces;
}

EFI_STATUS BlockToConfigText(TextView Request, const UINT8 *Block, std::size_t BlockSize, Text *Config,
                             std::size_t *Progress) {
  std::size_t Position = 0;
  Text Out;
  if (StartsAt(Request, 0, u"GUID=")) {
    Position = Request.find(u"&OFFSET=");
    // A header that names no block is answered with itself, as the reference firmware does.
    if (Position == npos) Position = Request.size();
    Out = Request.substr(0, Position);
  } else if (!StartsAt(Request, 0, u"OFFSET=")) {
    *Progress = 0;
    return EFI_INVALID_PARAMETER;
  }

  while (Position < Request.size()) {
    BlockElement Element{Position, 0, 0, {}};
    std::size_t KeyAt = KeyStart(Request, Position);
    std::size_t After = 0;
    if (KeyAt == npos || !ReadOffsetWidth(Request, KeyAt, &Element, &After)) {
      *Progress = Position;
      return EFI_INVALID_PARAMETER;
    }
    // The reference firmware leaves Progress at the end here (UEFI leaves
    // it undefined).
    if (!FitsBlock(Element, BlockSize)) {
      *Progress = Request.size();
      return EFI_DEVICE_ERROR;
    }
    Out += Request.substr(Position, After - Position);
    Out += u"&VALUE=";
    Out += HexOfNumber(Block + Element.Offset, Element.Width);
    Position = After;
  }
  FoldValueDigits(Out);
  *Config = std::move(Out);
  *Progress = Request.size();
  return EFI_SUCCESS;
}

// The reference firmware writes each element as it reads it: an element that
// is malformed, or any key other than OFFSET after the last element (such as
// the "&ALTCFG=" or "&GUID=" of an alternate configuration), ends the
// conversion with EFI_INVALID_PARAMETER and Progress at its "&", the elements
// before it already written. Elements beyond the block are passed over and
// reported at the end as EFI_BUFFER_TOO_SMALL with the size needed. Unlike the
// reference firmware, which takes the low digits of a long value, reads past a
// short one and wraps an offset past 2^64, the simulator refuses all three.
EFI_STATUS ConfigToBlockText(TextView Response, UINT8 *Block, std::size_t *BlockSize, std::size_t *Progress) {
  std::size_t Position = 0;
  if (StartsAt(Response, 0, u"GUID=")) {
    Position = SkipHeader(Response);
  } else if (!StartsAt(Response, 0, u"OFFSET=")) {
    *Progress = 0;
    return EFI_INVALID_PARAMETER;
  }

  UINT64 Needed = 0;
  bool Elements = false;
  while (Position < Response.size()) {
    std::size_t KeyAt = KeyStart(Response, Position);
    BlockElement Element{Position, 0, 0, {}};
    std::size_t After = 0;
    if (KeyAt == npos || !ReadOffsetWidth(Response, KeyAt, &Element, &After) ||
        !StartsAt(Response, After, u"&VALUE=") || Element.Width > ~0ULL - Element.Offset) {
      *Progress = Position;
      return EFI_INVALID_PARAMETER;
    }
    Element.Value = ElementValue(Response, After + 1, u"VALUE=");
    const bool ZeroWidth = Element.Width == 0;
    if (ZeroWidth ? Element.Value.find_first_not_of(u'0') != npos
                  : !ValueFitsWidth(Element.Value, Element.Width)) {
      *Progress = Position;
      return EFI_INVALID_PARAMETER;
    }
    Elements = true;
    Needed = std::max<UINT64>(Needed, Element.Offset + Element.Width);
    if (!ZeroWidth && FitsBlock(Element, *BlockSize))
      DecodeNumberInto(Element.Value, Block + Element.Offset, Element.Width);
    Position = After + 7 + Element.Value.size();
  }
  *Progress = Position;
  if (!Elements) return EFI_INVALID_PARAMETER;
  if (Needed > *BlockSize) {
    *BlockSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  // The index of the last byte the elements reach (zero-width ones count too).
  *BlockSize = Needed == 0 ? 0 : Needed - 1;
  return EFI_SUCCESS;
}

TextView CurrentConfiguration(TextView Answer) {
  std::size_t End = Answer.size();
  for (TextView Key : {TextView(u"&GUID="), TextView(u"&ALTCFG=")}) End = std::min(End, Answer.find(Key));
  return Answer.substr(0, End);
}

std::size_t DevicePathSize(const UINT8 *Path, std::size_t Available) {
  std::size_t Offset = 0;
  while (Path != nullptr && Offset + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= Available) {
    const UINT8 *Node = Path + Offset;
    std::size_t Length = Node[2] | (Node[3] << 8);
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || Length > Available - Offset) return 0;
    Offset += Length;
    if (Node[0] == END_DEVICE_PATH_TYPE && Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) return Offset;
  }
  return 0;
}

CHAR16 *ToPoolString(TextView Text) {
  void *Block = nullptr;
  std::size_t Bytes = (Text.size() + 1) * sizeof(CHAR16);
  if (EFI_ERROR(SystemTable()->BootServices->AllocatePool(EfiBootServicesData, Bytes, &Block)) ||
      Block == nullptr)
    return nullptr;
  auto *String = static_cast<CHAR16 *>(Block);
  if (!Text.empty()) std::memcpy(String, Text.data(), Text.size() * sizeof(CHAR16));
  String[Text.size()] = 0;
  return String;
}

void FreePool(void *Block) {
  if (Block != nullptr) SystemTable()->BootServices->FreePool(Block);
}

}  // namespace sim::cfgtext

#include "support/print.h"

#include "support/strings.h"

namespace {

// One engine serves both character sizes: UTF-16 for every caller, 8-bit only for
// the GUID, time and status texts it expands for itself. The mode is the size of
// one character in bytes and applies to the format and the output together.
enum class CharMode : UINTN { Narrow = 1, Wide = 2 };

constexpr CHAR8 DIGITS[] = "0123456789ABCDEF";
// Large enough for a GUID (36 characters) and its NUL; also holds every number,
// time and status text.
constexpr UINTN SCRATCH_CHARS = 38;
constexpr UINTN MAX_HEX_BUFFER_BYTES = MAX_FORMAT_CHARS * sizeof(CHAR16) + 1;
constexpr UINTN UINTN_MAX = ~static_cast<UINTN>(0);

constexpr const CHAR8 *WARNING_NAMES[] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
};
// Indexed by the error code minus 1.
constexpr const CHAR8 *ERROR_NAMES[] = {
    "Load Error",           "Invalid Parameter",  "Unsupported",
    "Bad Buffer Size",      "Buffer Too Small",   "Not Ready",
    "Device Error",         "Write Protected",    "Out of Resources",
    "Volume Corrupt",       "Volume Full",        "No Media",
    "Media changed",        "Not Found",          "Access Denied",
    "No Response",          "No mapping",         "Time out",
    "Not started",          "Already started",    "Aborted",
    "ICMP Error",           "TFTP Error",         "Protocol Error",
    "Incompatible Version", "Security Violation", "CRC Error",
    "End of Media",         "Reserved (29)",      "Reserved (30)",
    "End of File",          "Invalid Language",   "Compromised Data",
};
static_assert(ArrayCount(WARNING_NAMES) == 6 && ArrayCount(ERROR_NAMES) == 33);

void StoreChar(UINT8 *Position, CHAR16 Character, UINTN CharSize) {
  if (CharSize == 1) {
    *Position = static_cast<UINT8>(Character);
  } else {
    __builtin_memcpy(Position, &Character, sizeof Character);
  }
}

CHAR16 LoadChar(const UINT8 *Position, UINTN CharSize) {
  if (CharSize == 1) return *Position;
  CHAR16 Character;
  __builtin_memcpy(&Character, Position, sizeof Character);
  return Character;
}

// Writes up to Count copies of Character while Position is below End; gives the
// new position.
UINT8 *FillChars(UINT8 *Position, const UINT8 *End, UINTN Count, CHAR16 Character, UINTN CharSize) {
  for (; Count > 0 && Position < End; --Count, Position += CharSize) StoreChar(Position, Character, CharSize);
  return Position;
}

UINTN Excess(UINTN Value, UINTN Over) { return Value > Over ? Value - Over : 0; }
UINTN Larger(UINTN A, UINTN B) { return A > B ? A : B; }
UINTN Smaller(UINTN A, UINTN B) { return A < B ? A : B; }

UINTN NarrowLengthBounded(const CHAR8 *String, UINTN Maximum) {
  UINTN Length = 0;
  while (Length < Maximum && String[Length] != 0) ++Length;
  return Length;
}

// A run of characters to lay out, in either character size.
struct Text {
  const void *Chars;
  UINTN CharSize;
  UINTN Count;

  CHAR16 At(UINTN Index) const {
    return LoadChar(static_cast<const UINT8 *>(Chars) + Index * CharSize, CharSize);
  }
};

Text NarrowText(const CHAR8 *String, UINTN Maximum) {
  return {String, 1, NarrowLengthBounded(String, Maximum)};
}
Text WideText(const CHAR16 *String, UINTN Maximum) {
  return {String, sizeof(CHAR16), Utf16LengthBounded(String, Maximum)};
}

// Flags, width and precision of one conversion; fresh for every "%".
struct Conversion {
  bool LeftJustify = false;
  bool Sign = false;
  bool Blank = false;
  bool Comma = false;
  bool Long = false;
  bool Zero = false;
  bool WidthGiven = false;
  bool PrecisionGiven = false;
  UINTN Width = 0;
  UINTN Precision = 1;

  // Strings are walked no further than a given precision, and never beyond the
  // string limit, so an unterminated argument cannot run away.
  UINTN TextBound() const { return PrecisionGiven ? Smaller(Precision, MAX_STRING_CHARS) : MAX_STRING_CHARS; }
};

struct FormatState {
  UINT8 *Position;
  const UINT8 *End;  // the place kept for the NUL
  const UINT8 *Format;
  UINTN CharSize;
  __builtin_va_list Arguments;
};

CHAR16 PeekFormat(const FormatState &State) { return LoadChar(State.Format, State.CharSize); }
void SkipFormat(FormatState &State) { State.Format += State.CharSize; }

void Put(FormatState &State, CHAR16 Character) {
  State.Position = FillChars(State.Position, State.End, 1, Character, State.CharSize);
}
void Fill(FormatState &State, UINTN Count, CHAR16 Character) {
  State.Position = FillChars(State.Position, State.End, Count, Character, State.CharSize);
}

UINTN RunFormat(void *Buffer, UINTN SizeInChars, CharMode Mode, const void *Format,
                __builtin_va_list Arguments);

// The 8-bit mode, for the texts the engine composes itself.
UINTN FormatNarrow(CHAR8 (&Scratch)[SCRATCH_CHARS], const CHAR8 *Format, ...) {
  __builtin_va_list Arguments;
  __builtin_va_start(Arguments, Format);
  const UINTN Count = RunFormat(Scratch, SCRATCH_CHARS, CharMode::Narrow, Format, Arguments);
  __builtin_va_end(Arguments);
  return Count;
}

// ---- Parsing a conversion ----

bool IsDigit(CHAR16 Character) { return Character >= u'0' && Character <= u'9'; }

// A decimal run; saturates instead of wrapping so a silly width stays huge.
UINTN ReadDecimal(FormatState &State) {
  UINTN Value = 0;
  for (CHAR16 Character = PeekFormat(State); IsDigit(Character);
       SkipFormat(State), Character = PeekFormat(State)) {
    const UINTN Digit = Character - u'0';
    Value = Value > (UINTN_MAX - Digit) / 10 ? UINTN_MAX : Value * 10 + Digit;
  }
  return Value;
}

void SetWidth(Conversion &Conv, UINTN Value) {
  Conv.Width = Value;
  Conv.WidthGiven = true;
}

struct FlagCharacter {
  CHAR16 Character;
  bool Conversion::*Flag;
};
constexpr FlagCharacter FLAG_CHARACTERS[] = {
    {u'-', &Conversion::LeftJustify}, {u'+', &Conversion::Sign}, {u' ', &Conversion::Blank},
    {u',', &Conversion::Comma},       {u'L', &Conversion::Long}, {u'l', &Conversion::Long},
};

// Sets the flag a character stands for; false when it stands for none.
bool ApplyFlag(Conversion &Conv, CHAR16 Character) {
  for (const FlagCharacter &Entry : FLAG_CHARACTERS) {
    if (Entry.Character != Character) continue;
    Conv.*Entry.Flag = true;
    return true;
  }
  return false;
}

// A run of digits: the width before a ".", the precision after it. A leading "0"
// of the width asks for zero fill.
void ReadNumberField(FormatState &State, Conversion &Conv, bool AfterDot) {
  if (AfterDot) {
    Conv.Precision = ReadDecimal(State);
    return;
  }
  if (PeekFormat(State) == u'0') Conv.Zero = true;
  SetWidth(Conv, ReadDecimal(State));
}

// "*": the width or precision comes from the next argument.
void ReadStarField(FormatState &State, Conversion &Conv, bool AfterDot) {
  const auto Value = __builtin_va_arg(State.Arguments, UINTN);
  if (AfterDot) {
    Conv.Precision = Value;
  } else {
    SetWidth(Conv, Value);
  }
}

// Consumes flags, width and precision in any order; gives the character that ended
// them, still unconsumed.
CHAR16 ReadConversionFields(FormatState &State, Conversion &Conv) {
  bool AfterDot = false;
  for (CHAR16 Character = PeekFormat(State);; Character = PeekFormat(State)) {
    if (IsDigit(Character)) {
      ReadNumberField(State, Conv, AfterDot);
      continue;
    }
    if (Character == u'.') {
      AfterDot = true;
      Conv.PrecisionGiven = true;
    } else if (Character == u'*') {
      ReadStarField(State, Conv, AfterDot);
    } else if (!ApplyFlag(Conv, Character)) {
      return Character;
    }
    SkipFormat(State);
  }
}

// ---- Layouts ----

void LayOutText(FormatState &State, const Conversion &Conv, const Text &Characters) {
  const UINTN Precision = Larger(Conv.Precision, Characters.Count);
  if (Conv.WidthGiven && !Conv.LeftJustify) Fill(State, Excess(Conv.Width, Precision), u' ');
  Fill(State, Precision - Characters.Count, u' ');
  for (UINTN Index = 0; Index < Characters.Count && State.Position < State.End; ++Index)
    Put(State, Characters.At(Index));
  if (Conv.WidthGiven && Conv.LeftJustify) Fill(State, Excess(Conv.Width, Precision), u' ');
}

// Digits of Magnitude, least significant first; none for 0 at precision 0.
UINTN ProduceDigits(UINT64 Magnitude, UINTN Radix, UINTN Precision, CHAR8 (&Digits)[SCRATCH_CHARS]) {
  if (Magnitude == 0 && Precision == 0) return 0;
  UINTN Count = 0;
  do {
    Digits[Count++] = DIGITS[Magnitude % Radix];
    Magnitude /= Radix;
  } while (Magnitude != 0);
  return Count;
}

void WriteDigits(FormatState &State, const CHAR8 (&Digits)[SCRATCH_CHARS], UINTN Count, bool Commas) {
  for (UINTN Remaining = Count; Remaining > 0; --Remaining) {
    Put(State, static_cast<CHAR16>(Digits[Remaining - 1]));
    if (Commas && Remaining > 1 && (Remaining - 1) % 3 == 0) Put(State, u',');
  }
}

void LayOutNumber(FormatState &State, Conversion Conv, UINT64 Magnitude, UINTN Radix, CHAR16 Prefix) {
  const bool Commas = Conv.Comma && Radix == 10;
  if (Commas) {
    Conv.Zero = false;
    Conv.Precision = 1;
  }
  CHAR8 Digits[SCRATCH_CHARS];
  const UINTN DigitCount = ProduceDigits(Magnitude, Radix, Conv.Precision, Digits);
  UINTN Count = DigitCount + (Commas && DigitCount > 0 ? (DigitCount - 1) / 3 : 0);
  UINTN Precision = Conv.Precision;
  if (Prefix != 0) {
    ++Count;
    if (Precision != UINTN_MAX) ++Precision;
  }
  if (Conv.Zero && !Conv.LeftJustify && Conv.WidthGiven && !Conv.PrecisionGiven) Precision = Conv.Width;
  Precision = Larger(Precision, Count);

  if (Conv.WidthGiven && !Conv.LeftJustify) Fill(State, Excess(Conv.Width, Precision), u' ');
  if (Prefix != 0) Put(State, Prefix);
  Fill(State, Precision - Count, u'0');
  WriteDigits(State, Digits, DigitCount, Commas);
  if (Conv.WidthGiven && Conv.LeftJustify) Fill(State, Excess(Conv.Width, Precision), u' ');
}

CHAR16 FlagPrefix(const Conversion &Conv) {
  if (Conv.Sign) return u'+';
  return Conv.Blank ? u' ' : 0;
}

// ---- Conversions ----

void FormatSigned(FormatState &State, const Conversion &Conv) {
  const INT64 Value =
      Conv.Long ? __builtin_va_arg(State.Arguments, INT64) : __builtin_va_arg(State.Arguments, int);
  // Negated in unsigned arithmetic so that the most negative value survives.
  const UINT64 Magnitude = Value < 0 ? 0 - static_cast<UINT64>(Value) : static_cast<UINT64>(Value);
  LayOutNumber(State, Conv, Magnitude, 10, Value < 0 ? u'-' : FlagPrefix(Conv));
}

UINT64 ReadUnsigned(FormatState &State, const Conversion &Conv) {
  return Conv.Long ? __builtin_va_arg(State.Arguments, UINT64) : __builtin_va_arg(State.Arguments, unsigned);
}

void FormatUnsigned(FormatState &State, Conversion Conv) {
  Conv.Sign = false;
  LayOutNumber(State, Conv, ReadUnsigned(State, Conv), 10, FlagPrefix(Conv));
}

void FormatHex(FormatState &State, Conversion Conv, bool ZeroFill) {
  if (ZeroFill) Conv.Zero = true;
  LayOutNumber(State, Conv, ReadUnsigned(State, Conv), 16, FlagPrefix(Conv));
}

void FormatPointer(FormatState &State, Conversion Conv) {
  Conv.Blank = Conv.Sign = false;
  Conv.Long = true;
  Conv.Zero = true;
  LayOutNumber(State, Conv, __builtin_va_arg(State.Arguments, UINT64), 16, 0);
}

Text ClipToPrecision(Text Characters, const Conversion &Conv) {
  if (Conv.PrecisionGiven) Characters.Count = Smaller(Characters.Count, Conv.Precision);
  return Characters;
}

constexpr CHAR8 NULL_STRING_TEXT[] = "<null string>";

void FormatWideString(FormatState &State, Conversion Conv) {
  const auto *String = __builtin_va_arg(State.Arguments, const CHAR16 *);
  const UINTN Bound = Conv.TextBound();
  if (!Conv.PrecisionGiven) Conv.Precision = 0;
  LayOutText(State, Conv, String != nullptr ? WideText(String, Bound) : NarrowText(NULL_STRING_TEXT, Bound));
}

void FormatNarrowString(FormatState &State, Conversion Conv) {
  const auto *String = __builtin_va_arg(State.Arguments, const CHAR8 *);
  const UINTN Bound = Conv.TextBound();
  if (!Conv.PrecisionGiven) Conv.Precision = 0;
  LayOutText(State, Conv, NarrowText(String != nullptr ? String : NULL_STRING_TEXT, Bound));
}

void FormatCharacter(FormatState &State, const Conversion &Conv, CHAR16 Character) {
  LayOutText(State, Conv, ClipToPrecision({&Character, sizeof Character, 1}, Conv));
}

void FormatGuid(FormatState &State, const Conversion &Conv) {
  const auto *Guid = __builtin_va_arg(State.Arguments, const EFI_GUID *);
  if (Guid == nullptr) return LayOutText(State, Conv, NarrowText("<null guid>", Conv.TextBound()));
  CHAR8 Scratch[SCRATCH_CHARS];
  const UINT8 *Tail = Guid->Data4;
  const UINTN Count =
      FormatNarrow(Scratch, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Guid->Data1, Guid->Data2,
                   Guid->Data3, Tail[0], Tail[1], Tail[2], Tail[3], Tail[4], Tail[5], Tail[6], Tail[7]);
  LayOutText(State, Conv, ClipToPrecision({Scratch, 1, Count}, Conv));
}

void FormatTime(FormatState &State, const Conversion &Conv) {
  const auto *Time = __builtin_va_arg(State.Arguments, const EFI_TIME *);
  if (Time == nullptr) return LayOutText(State, Conv, NarrowText("<null time>", Conv.TextBound()));
  CHAR8 Scratch[SCRATCH_CHARS];
  const UINTN Count = FormatNarrow(Scratch, "%02d/%02d/%04d  %02d:%02d", Time->Month, Time->Day, Time->Year,
                                   Time->Hour, Time->Minute);
  LayOutText(State, Conv, ClipToPrecision({Scratch, 1, Count}, Conv));
}

// The high bit marks an error; its name is chosen by the remaining bits.
const CHAR8 *StatusName(EFI_STATUS Status) {
  if (EFI_ERROR(Status)) {
    const UINTN Code = Status & ~EFI_ERROR_BIT;
    return Code >= 1 && Code <= ArrayCount(ERROR_NAMES) ? ERROR_NAMES[Code - 1] : nullptr;
  }
  return Status < ArrayCount(WARNING_NAMES) ? WARNING_NAMES[Status] : nullptr;
}

void FormatStatus(FormatState &State, const Conversion &Conv) {
  const auto Status = __builtin_va_arg(State.Arguments, EFI_STATUS);
  const CHAR8 *Name = StatusName(Status);
  if (Name != nullptr) return LayOutText(State, Conv, NarrowText(Name, Conv.TextBound()));
  CHAR8 Scratch[SCRATCH_CHARS];
  const UINTN Count = FormatNarrow(Scratch, "%08X", static_cast<UINT32>(Status));
  LayOutText(State, Conv, ClipToPrecision({Scratch, 1, Count}, Conv));
}

// LF alone or LF CR becomes CR LF; CR LF stays CR LF; a lone CR stays CR.
// Character has already been consumed.
void WriteLineBreak(FormatState &State, CHAR16 Character) {
  const CHAR16 Partner = Character == u'\n' ? u'\r' : u'\n';
  const bool Paired = PeekFormat(State) == Partner;
  if (Paired) SkipFormat(State);
  Put(State, u'\r');
  if (Character == u'\n' || Paired) Put(State, u'\n');
}

void FormatConversion(FormatState &State) {
  Conversion Conv;
  const CHAR16 Kind = ReadConversionFields(State, Conv);
  if (Kind == 0) {
    // The format ended inside the conversion: only the fill to a given width.
    Conv.Precision = 0;
    return LayOutText(State, Conv, {nullptr, 1, 0});
  }
  SkipFormat(State);
  switch (Kind) {
    case u'd':
      return FormatSigned(State, Conv);
    case u'u':
      return FormatUnsigned(State, Conv);
    case u'x':
      return FormatHex(State, Conv, false);
    case u'X':
      return FormatHex(State, Conv, true);
    case u'p':
      return FormatPointer(State, Conv);
    case u's':
    case u'S':
      return FormatWideString(State, Conv);
    case u'a':
      return FormatNarrowString(State, Conv);
    case u'c':
      return FormatCharacter(State, Conv, static_cast<CHAR16>(__builtin_va_arg(State.Arguments, int)));
    case u'g':
      return FormatGuid(State, Conv);
    case u't':
      return FormatTime(State, Conv);
    case u'r':
      return FormatStatus(State, Conv);
    case u'\n':
    case u'\r':
      return WriteLineBreak(State, Kind);
    default:
      return FormatCharacter(State, Conv, Kind);
  }
}

bool FormatIsWithinLimit(const UINT8 *Format, UINTN CharSize) {
  for (UINTN Index = 0; Index <= MAX_FORMAT_CHARS; ++Index)
    if (LoadChar(Format + Index * CharSize, CharSize) == 0) return true;
  return false;
}

UINTN RunFormat(void *Buffer, UINTN SizeInChars, CharMode Mode, const void *Format,
                __builtin_va_list Arguments) {
  const auto CharSize = static_cast<UINTN>(Mode);
  if (Buffer == nullptr || Format == nullptr || SizeInChars == 0 || SizeInChars > MAX_FORMAT_CHARS) return 0;
  if (!FormatIsWithinLimit(static_cast<const UINT8 *>(Format), CharSize)) return 0;

  auto *Start = static_cast<UINT8 *>(Buffer);
  FormatState State{
      Start, Start + (SizeInChars - 1) * CharSize, static_cast<const UINT8 *>(Format), CharSize, {}};
  __builtin_va_copy(State.Arguments, Arguments);
  while (State.Position < State.End) {
    const CHAR16 Character = PeekFormat(State);
    if (Character == 0) break;
    SkipFormat(State);
    if (Character == u'%') {
      FormatConversion(State);
    } else if (Character == u'\n' || Character == u'\r') {
      WriteLineBreak(State, Character);
    } else {
      Put(State, Character);
    }
  }
  __builtin_va_end(State.Arguments);
  StoreChar(State.Position, 0, CharSize);
  return static_cast<UINTN>(State.Position - Start) / CharSize;
}

UINTN HexDigitsNeeded(UINT64 Value) {
  UINTN Count = 1;
  while (Value >>= 4) ++Count;
  return Count;
}

}  // namespace

UINTN FormatUtf16(CHAR16 *Buffer, UINTN BufferSize, const CHAR16 *Format, ...) {
  __builtin_va_list Arguments;
  __builtin_va_start(Arguments, Format);
  const UINTN Count = RunFormat(Buffer, BufferSize / sizeof(CHAR16), CharMode::Wide, Format, Arguments);
  __builtin_va_end(Arguments);
  return Count;
}

EFI_STATUS FormatHexValue(CHAR16 *Buffer, UINTN BufferSize, UINT64 Value, UINTN Width) {
  if (Buffer == nullptr || BufferSize > MAX_HEX_BUFFER_BYTES || Width >= SCRATCH_CHARS)
    return EFI_INVALID_PARAMETER;
  const UINTN Chars = Width != 0 ? Width : HexDigitsNeeded(Value);
  if (BufferSize < (Chars + 1) * sizeof(CHAR16)) return EFI_BUFFER_TOO_SMALL;
  // A width narrower than the value keeps its low digits: the field width is fixed.
  for (UINTN Index = Chars; Index > 0; --Index, Value >>= 4) Buffer[Index - 1] = DIGITS[Value & 0xF];
  Buffer[Chars] = 0;
  return EFI_SUCCESS;
}

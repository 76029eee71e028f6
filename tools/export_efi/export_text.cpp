#include "tools/export_efi/export_text.h"

#include "support/print.h"

namespace {

constexpr CHAR8 LOWER_DIGITS[] = "0123456789abcdef";
constexpr UINT32 REPLACEMENT_CHARACTER = 0xFFFD;
// Bytes of the sidecar besides the title: five keys, a 36-character GUID, IDs
// and a location whose fields may be as wide as 64-bit numbers.
constexpr UINTN SIDECAR_FIXED_BYTES = 256;
// A UTF-16 unit never takes more than three bytes of UTF-8 (a pair of them four).
constexpr UINTN UTF8_BYTES_PER_UNIT = 3;

bool IsHighSurrogate(UINT32 Unit) { return Unit >= 0xD800 && Unit <= 0xDBFF; }
bool IsLowSurrogate(UINT32 Unit) { return Unit >= 0xDC00 && Unit <= 0xDFFF; }

void PutCodePoint(ByteWriter &Out, UINT32 CodePoint) {
  if (CodePoint < 0x80) {
    Out.Put8(static_cast<UINT8>(CodePoint));
  } else if (CodePoint < 0x800) {
    Out.Put8(static_cast<UINT8>(0xC0 | (CodePoint >> 6)));
    Out.Put8(static_cast<UINT8>(0x80 | (CodePoint & 0x3F)));
  } else if (CodePoint < 0x10000) {
    Out.Put8(static_cast<UINT8>(0xE0 | (CodePoint >> 12)));
    Out.Put8(static_cast<UINT8>(0x80 | ((CodePoint >> 6) & 0x3F)));
    Out.Put8(static_cast<UINT8>(0x80 | (CodePoint & 0x3F)));
  } else {
    Out.Put8(static_cast<UINT8>(0xF0 | (CodePoint >> 18)));
    Out.Put8(static_cast<UINT8>(0x80 | ((CodePoint >> 12) & 0x3F)));
    Out.Put8(static_cast<UINT8>(0x80 | ((CodePoint >> 6) & 0x3F)));
    Out.Put8(static_cast<UINT8>(0x80 | (CodePoint & 0x3F)));
  }
}

void PutKey(ByteWriter &Out, const CHAR8 *Key) {
  PutText(Out, Key);
  PutText(Out, ": ");
}

}  // namespace

void PutText(ByteWriter &Out, const CHAR8 *Text) {
  for (; *Text != '\0' && !Out.Failed(); ++Text) Out.Put8(static_cast<UINT8>(*Text));
}

void PutLowerHex(ByteWriter &Out, UINT64 Value, UINTN Digits) {
  UINTN Needed = 1;
  while (Needed < 16 && (Value >> (4 * Needed)) != 0) ++Needed;
  if (Needed < Digits) Needed = Digits;
  for (UINTN Index = Needed; Index > 0; --Index) {
    const UINTN Shift = 4 * (Index - 1);
    Out.Put8(static_cast<UINT8>(Shift < 64 ? LOWER_DIGITS[(Value >> Shift) & 0xF] : '0'));
  }
}

void PutGuidText(ByteWriter &Out, const EFI_GUID &Guid) {
  PutLowerHex(Out, Guid.Data1, 8);
  Out.Put8('-');
  PutLowerHex(Out, Guid.Data2, 4);
  Out.Put8('-');
  PutLowerHex(Out, Guid.Data3, 4);
  Out.Put8('-');
  for (UINTN Index = 0; Index < 8; ++Index) {
    if (Index == 2) Out.Put8('-');
    PutLowerHex(Out, Guid.Data4[Index], 2);
  }
}

void PutUtf8OneLine(ByteWriter &Out, const CHAR16 *Text, UINTN Chars) {
  for (UINTN Index = 0; Index < Chars && !Out.Failed(); ++Index) {
    UINT32 Unit = Text[Index];
    if (Unit < 0x20 || Unit == 0x7F) {
      Unit = ' ';
    } else if (IsHighSurrogate(Unit) && Index + 1 < Chars && IsLowSurrogate(Text[Index + 1])) {
      Unit = 0x10000 + ((Unit - 0xD800) << 10) + (Text[Index + 1] - 0xDC00u);
      ++Index;
    } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
      Unit = REPLACEMENT_CHARACTER;
    }
    PutCodePoint(Out, Unit);
  }
}

void PutLocation(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci) {
  PutLowerHex(Out, Pci.Segment, 4);
  Out.Put8(':');
  PutLowerHex(Out, Pci.Bus, 2);
  Out.Put8(':');
  PutLowerHex(Out, Pci.Device, 2);
  Out.Put8('.');
  PutLowerHex(Out, Pci.Function, 1);
}

void PutPciIds(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci) {
  PutLowerHex(Out, Pci.VendorId, 4);
  Out.Put8(':');
  PutLowerHex(Out, Pci.DeviceId, 4);
}

UINTN SidecarCapacity(UINTN TitleChars) { return SIDECAR_FIXED_BYTES + UTF8_BYTES_PER_UNIT * TitleChars; }

void PutSidecar(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci, const EFI_GUID &ListGuid,
                const CHAR16 *Title, UINTN TitleChars) {
  PutKey(Out, "vendor");
  PutLowerHex(Out, Pci.VendorId, 4);
  PutKey(Out, "\ndevice");
  PutLowerHex(Out, Pci.DeviceId, 4);
  PutKey(Out, "\nlocation");
  PutLocation(Out, Pci);
  if (Title != nullptr) {
    PutKey(Out, "\ntitle");
    PutUtf8OneLine(Out, Title, TitleChars);
  }
  PutKey(Out, "\nguid");
  PutGuidText(Out, ListGuid);
  Out.Put8('\n');
}

void PutIndexLine(ByteWriter &Out, UINTN Number) {
  CHAR16 Name[CARD_FILE_NAME_CHARS];
  for (const CHAR8 *Extension : CARD_FILE_EXTENSIONS) {
    if (!CardFileName(Name, Number, Extension)) {
      Out.Fail();
      return;
    }
    if (Extension != CARD_FILE_EXTENSIONS[0]) Out.Put8(' ');
    for (const CHAR16 *Each = Name; *Each != u'\0'; ++Each) Out.Put8(static_cast<UINT8>(*Each));
  }
  Out.Put8('\n');
}

bool CardFileName(CHAR16 (&Name)[CARD_FILE_NAME_CHARS], UINTN Number, const CHAR8 *Extension) {
  return FormatUtf16(Name, sizeof Name, u"card-%02Lu.%a", static_cast<UINT64>(Number), Extension) != 0;
}

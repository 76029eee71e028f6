// Building report lines and counting verdicts; where a line goes is the
// business of the output file of each build (report_output.cpp in firmware).
#include "qemu/report.h"

namespace {

constexpr CHAR8 HEX_DIGITS[] = "0123456789ABCDEF";

}  // namespace

void ReportLine::Append(CHAR8 Character) {
  if (Length + 1 >= CAPACITY) return;
  Buffer[Length++] = Character;
  Buffer[Length] = 0;
}

ReportLine &ReportLine::Text(const CHAR8 *Ascii) {
  if (Ascii == nullptr) return Text("<null>");
  while (*Ascii != 0) Append(*Ascii++);
  return *this;
}

ReportLine &ReportLine::Utf16(const CHAR16 *String, UINTN MaxChars) {
  if (String == nullptr) return Text("<null>");
  for (UINTN Index = 0; Index < MaxChars && String[Index] != 0; ++Index) {
    CHAR16 Character = String[Index];
    if (Character >= 0x20 && Character < 0x7F && Character != u'\\') {
      Append(static_cast<CHAR8>(Character));
    } else {
      Text("\\u").Hex(Character, 4);
    }
  }
  return *this;
}

ReportLine &ReportLine::Quoted(const CHAR16 *String, UINTN MaxChars) {
  if (String == nullptr) return Text("<null>");
  Append('"');
  Utf16(String, MaxChars);
  Append('"');
  return *this;
}

ReportLine &ReportLine::QuotedAscii(const CHAR8 *Ascii) {
  if (Ascii == nullptr) return Text("<null>");
  Append('"');
  Text(Ascii);
  Append('"');
  return *this;
}

ReportLine &ReportLine::Hex(UINT64 Value, UINTN MinDigits) {
  CHAR8 Digits[16];
  UINTN Count = 0;
  do {
    Digits[Count++] = HEX_DIGITS[Value & 0xF];
    Value >>= 4;
  } while (Value != 0);
  for (UINTN Pad = Count; Pad < MinDigits && Pad < 16; ++Pad) Append('0');
  while (Count > 0) Append(Digits[--Count]);
  return *this;
}

ReportLine &ReportLine::Decimal(UINT64 Value) {
  CHAR8 Digits[20];
  UINTN Count = 0;
  do {
    Digits[Count++] = static_cast<CHAR8>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count > 0) Append(Digits[--Count]);
  return *this;
}

ReportLine &ReportLine::Status(EFI_STATUS Value) { return Text("0x").Hex(Value, 16); }

void CheckLog::Pass(const CHAR8 *Name) {
  ++Passed;
  ReportLine Line;
  Line.Text("PASS ").Text(Name).Emit();
}

void CheckLog::Fail(const CHAR8 *Name, const ReportLine &Details) {
  ++Failed;
  ReportLine Line;
  Line.Text("FAIL ").Text(Name).Text(": ").Line(Details).Emit();
}

void CheckLog::Record(const CHAR8 *Name, bool Ok, const ReportLine &Details) {
  if (Ok) {
    Pass(Name);
  } else {
    Fail(Name, Details);
  }
}

bool EmitSummary(const CheckLog &Log) {
  ReportLine Line;
  Line.Text("SUMMARY ")
      .Decimal(Log.PassedCount())
      .Text(" passed, ")
      .Decimal(Log.FailedCount())
      .Text(" failed")
      .Emit();
  return Log.FailedCount() == 0 && Log.PassedCount() > 0;
}

void EmitHexBlock(const CHAR8 *Label, const void *Bytes, UINTN Size) {
  constexpr UINTN BYTES_PER_LINE = 32;
  const UINT8 *Data = static_cast<const UINT8 *>(Bytes);
  ReportLine Line;
  Line.Text("BEGIN ").Text(Label).Text(" ").Decimal(Size).Text(" bytes").Emit(true);
  for (UINTN Offset = 0; Offset < Size; Offset += BYTES_PER_LINE) {
    for (UINTN Index = Offset; Index < Size && Index < Offset + BYTES_PER_LINE; ++Index)
      Line.Hex(Data[Index], 2);
    Line.Emit(true);
  }
  Line.Text("END ").Text(Label).Emit(true);
}

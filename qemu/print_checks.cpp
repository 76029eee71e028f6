// The formatter inside real firmware: its variable arguments come through the
// Microsoft x64 convention of the image, where an int travels in a 64-bit slot
// whose upper half is not defined, and its output must stay inside the buffer.
#include "forms/identities.h"
#include "qemu/check_groups.h"
#include "support/print.h"
#include "support/strings.h"

namespace {

struct FormatCase {
  const CHAR8 *Name;
  const CHAR16 *Expected;
  UINTN BufferBytes;  // the size handed to the formatter
  UINTN (*Format)(CHAR16 *Buffer, UINTN BufferBytes);
};

constexpr UINTN DEFAULT_BYTES = 128;
constexpr UINTN SCRATCH_CHARS = 96;
constexpr CHAR16 UNTOUCHED = 0xFFFF;
constexpr EFI_TIME SAMPLE_TIME = {2026, 12, 7, 20, 17, 5, 0, 0, 0, 0, 0};

constexpr FormatCase FORMAT_CASES[] = {
    {"print/%016LX of 0x1F gives fifteen zeros and 1F", u"000000000000001F", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%016LX", 0x1FULL); }},
    {"print/%g of the form-set GUID gives C3870F7E-595E-4F50-B37F-C1D5B7CBEB3E",
     u"C3870F7E-595E-4F50-B37F-C1D5B7CBEB3E", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%g", &ADDONCARD_FORMSET_GUID); }},
    {"print/%r of EFI_NOT_FOUND gives Not Found", u"Not Found", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%r", EFI_NOT_FOUND); }},
    {"print/%r of 0 gives Success and of an unnamed error its low 32 bits", u"Success/00000022",
     DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%r/%r", EFI_SUCCESS, EncodeError(34)); }},
    {"print/%,d of 1234567 gives 1,234,567", u"1,234,567", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%,d", 1234567); }},
    {"print/%5s of ab gives three blanks and ab", u"   ab", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%5s", u"ab"); }},
    {"print/%05d of -42 and %d %u of -5 7 read 32-bit ints from 64-bit slots", u"-0042 -5 7", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%05d %d %u", -42, -5, 7u); }},
    {"print/%a widens an 8-bit string", u"x-UEFI-QZV", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%a", "x-UEFI-QZV"); }},
    {"print/CSPAC%03X of 0 and 0x2A gives the run-time keywords", u"CSPAC000 CSPAC02A", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"CSPAC%03X CSPAC%03X", 0, 0x2A); }},
    {"print/a configuration piece %s&OFFSET=0&WIDTH=%016LX", u"NAME=0000&OFFSET=0&WIDTH=0000000000000029",
     DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) {
       return FormatUtf16(B, S, u"%s&OFFSET=0&WIDTH=%016LX", u"NAME=0000", 0x29ULL);
     }},
    {"print/%t of an EFI_TIME gives month/day/year and the time", u"12/07/2026  20:17", DEFAULT_BYTES,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%t", &SAMPLE_TIME); }},
    {"print/an 8-byte buffer receives abc and a NUL of abcdef", u"abc", 8,
     [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"abcdef"); }},
};

void RunFormatCase(CheckLog &Log, const FormatCase &Case) {
  CHAR16 Scratch[SCRATCH_CHARS];
  for (CHAR16 &Character : Scratch) Character = UNTOUCHED;
  const UINTN Written = Case.Format(Scratch, Case.BufferBytes);
  const UINTN UsableChars = Case.BufferBytes / 2;

  bool StayedInside = true;
  for (UINTN Index = UsableChars; Index < SCRATCH_CHARS; ++Index) StayedInside &= Scratch[Index] == UNTOUCHED;
  const UINTN ExpectedCount = Utf16Length(Case.Expected);
  ReportLine Details;
  if (!StayedInside) {
    Details.Text("wrote past the ").Decimal(Case.BufferBytes).Text("-byte buffer");
  } else if (Written != ExpectedCount || !SameText(Scratch, Case.Expected)) {
    Details.Text("got ")
        .Quoted(Scratch, UsableChars)
        .Text(" (")
        .Decimal(Written)
        .Text(" characters), expected ");
    Details.Quoted(Case.Expected).Text(" (").Decimal(ExpectedCount).Text(")");
  }
  Log.Record(Case.Name, Details.IsEmpty(), Details);
}

}  // namespace

void RunFormatterChecks(CheckLog &Log) {
  for (const FormatCase &Case : FORMAT_CASES) RunFormatCase(Log, Case);
}

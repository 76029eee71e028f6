#include "support/print.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "forms/identities.h"

namespace {

using Formatter = std::function<UINTN(CHAR16 *, UINTN)>;

struct FormatCase {
  const char *Format;
  std::u16string Expected;
  Formatter Run;
};

// One row: the expected text, then the format and its arguments exactly as a
// caller writes them.
#define ROW(Expected, Format, ...)                                                              \
  FormatCase {                                                                                  \
#Format, Expected,                                                                          \
        [](CHAR16 * Buffer,                                                                     \
           UINTN Size) { return FormatUtf16(Buffer, Size, Format __VA_OPT__(, ) __VA_ARGS__); } \
  }

const EFI_TIME SampleTime = {2024, 3, 7, 9, 5, 59, 0, 0, 0, 0, 0};
const CHAR16 *const NullWide = nullptr;
const CHAR8 *const NullNarrow = nullptr;
const EFI_GUID *const NullGuid = nullptr;
const EFI_TIME *const NullTime = nullptr;

TEST(FormatUtf16, ConversionsAndLayouts) {
  const std::vector<FormatCase> Cases = {
      // Hexadecimal: one upper-case digit table; X zero-fills to a given width.
      ROW(u"FF", u"%x", 255),
      ROW(u"0A", u"%02x", 10),
      ROW(u"000000000000001F", u"%016LX", 0x1FULL),
      ROW(u"000000FF", u"%8X", 255),
      ROW(u"      FF", u"%8x", 255),
      ROW(u"FFFFFFFF", u"%x", -1),
      ROW(u"FFFFFFFFFFFFFFFF", u"%lx", ~0ULL),
      ROW(u"+FF", u"%+x", 255),
      ROW(u"01AB10", u"%02x%02x%02x", 1, 0xAB, 0x10),
      ROW(u"CSPAC005", u"CSPAC%03X", 5),
      ROW(u"FF", u"%,x", 255),
      // Decimal: prefixes, zero fill, precision, commas, extremes.
      ROW(u"-5", u"%d", -5),
      ROW(u"-0042", u"%05d", -42),
      ROW(u"+0042", u"%+05d", 42),
      ROW(u"+5", u"%+d", 5),
      ROW(u"5", u"%+u", 5),
      ROW(u" 5", u"% u", 5),
      ROW(u"1,234,567", u"%,d", 1234567),
      ROW(u"123", u"%,d", 123),
      ROW(u"-1,234,567,890,123", u"%,Ld", -1234567890123LL),
      ROW(u"  1,000", u"%07,d", 1000),
      ROW(u"", u"%.0d", 0),
      ROW(u"0", u"%d", 0),
      ROW(u"007", u"%.3d", 7),
      ROW(u"  007", u"%5.3d", 7),
      ROW(u"+007", u"%+.3d", 7),
      ROW(u"-007", u"%.3d", -7),
      ROW(u"42   |", u"%-05d|", 42),
      ROW(u"    42", u"%*d", UINTN{6}, 42),
      ROW(u"0007", u"%.*d", UINTN{4}, 7),
      ROW(u"-2147483648", u"%d", -2147483647 - 1),
      ROW(u"-9223372036854775808", u"%Ld", -9223372036854775807LL - 1),
      ROW(u"18446744073709551615", u"%Lu", ~0ULL),
      ROW(u"4294967295", u"%u", ~0u),
      // Pointers: always 64-bit, no sign prefix, zero-filled to a given width.
      ROW(u"1234", u"%+ p", UINT64{0x1234}),
      ROW(u"00001234", u"%8p", UINT64{0x1234}),
      // Text: width, justification, precision (which pads in front too).
      ROW(u"   ab", u"%5s", u"ab"),
      ROW(u"ab   |", u"%-5s|", u"ab"),
      ROW(u"a", u"%.1s", u"ab"),
      ROW(u"   ab", u"%.5s", u"ab"),
      ROW(u"   ab", u"%05s", u"ab"),
      ROW(u"wide", u"%S", u"wide"),
      ROW(u"[]", u"[%s%a]", u"", ""),
      ROW(u"narrow ", u"%-7a", "narrow"),
      ROW(u"\u00e9", u"%a", "\xe9"),
      ROW(u"Name (00:1F.3)", u"%s (%s)", u"Name", u"00:1F.3"),
      ROW(u"<null string>", u"%s", NullWide),
      ROW(u"<null string>", u"%a", NullNarrow),
      ROW(u"<nu", u"%.3s", NullWide),
      // Characters: the low 16 bits, laid out like a one-character text.
      ROW(u"\u1234", u"%c", 0x1234),
      ROW(u"A", u"%c", 0x10041),
      ROW(u"    x", u"%5c", u'x'),
      // GUID, time, status: expanded internally, then laid out as text.
      ROW(u"C3870F7E-595E-4F50-B37F-C1D5B7CBEB3E", u"%g", &ADDONCARD_FORMSET_GUID),
      ROW(u"C3870F7E", u"%.8g", &ADDONCARD_FORMSET_GUID),
      ROW(u"<null guid>", u"%g", NullGuid),
      ROW(u"03/07/2024  09:05", u"%t", &SampleTime),
      ROW(u"<null time>", u"%t", NullTime),
      ROW(u"Success", u"%r", EFI_SUCCESS),
      ROW(u"Not Found", u"%r", EFI_NOT_FOUND),
      ROW(u"Load Error", u"%r", EFI_LOAD_ERROR),
      ROW(u"Compromised Data", u"%r", EFI_COMPROMISED_DATA),
      ROW(u"Warning Stale Data", u"%r", EFI_WARN_STALE_DATA),
      ROW(u"00000022", u"%r", EncodeError(34)),
      ROW(u"00000006", u"%r", UINTN{6}),
      ROW(u"00000000", u"%r", EncodeError(0)),
      ROW(u"  Not Found|", u"%11r|", EFI_NOT_FOUND),
      // Literal characters, unknown conversions, a format ending inside a conversion.
      ROW(u"100%", u"100%%"),
      ROW(u"q", u"%q"),
      ROW(u"  q", u"%3q"),
      ROW(u"a", u"a%"),
      ROW(u"a   ", u"a%3"),
      ROW(u"a   ", u"a%-3"),
      // Line ends: LF and LF CR become CR LF, CR LF stays, a lone CR stays.
      ROW(u"a\r\nb", u"a\nb"),
      ROW(u"a\r\nb", u"a\n\rb"),
      ROW(u"a\r\nb", u"a\r\nb"),
      ROW(u"a\rb", u"a\rb"),
      ROW(u"\r\n\r\n", u"\n\n"),
      ROW(u"\r\n", u"%\n"),
      // Composite texts the driver builds.
      ROW(u"GUID=1&OFFSET=0&WIDTH=0000000000000010", u"%s&OFFSET=0&WIDTH=%016LX", u"GUID=1", UINT64{16}),
      ROW(u"&OFFSET=1F&WIDTH=4", u"&OFFSET=%x&WIDTH=%x", 0x1F, 4),
  };
  for (const FormatCase &Case : Cases) {
    std::vector<CHAR16> Buffer(64, u'#');
    const UINTN Count = Case.Run(Buffer.data(), Buffer.size() * sizeof(CHAR16));
    EXPECT_EQ(std::u16string(Buffer.data()), Case.Expected) << Case.Format;
    EXPECT_EQ(Count, Case.Expected.size()) << Case.Format;
  }
}

// Output that does not fit is cut at the buffer's end, always NUL-terminated,
// and never written past the given size.
TEST(FormatUtf16, TruncatesAtTheBufferEnd) {
  struct Case {
    UINTN SizeInBytes;
    const char *Format;
    std::u16string Expected;
    Formatter Run;
  };
  const auto Plain = [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"abcdef"); };
  const std::vector<Case> Cases = {
      {8, "abcdef", u"abc", Plain},
      {9, "abcdef, odd size", u"abc", Plain},
      {2, "abcdef, one character", u"", Plain},
      {14, "abcdef, exact fit", u"abcdef", Plain},
      {8, "%s", u"abc", [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%s", u"abcdef"); }},
      {8, "%08d", u"000", [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%08d", 5); }},
      {8, "%-9d|", u"7  ", [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%-9d|", 7); }},
      {8, "ab LF", u"ab\r", [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"ab\n"); }},
      {8, "%g", u"C38", [](CHAR16 *B, UINTN S) { return FormatUtf16(B, S, u"%g", &ADDONCARD_FORMSET_GUID); }},
  };
  for (const Case &Test : Cases) {
    std::vector<UINT8> Bytes(Test.SizeInBytes + 4, 0xEE);
    const UINTN Count = Test.Run(reinterpret_cast<CHAR16 *>(Bytes.data()), Test.SizeInBytes);
    EXPECT_EQ(std::u16string(reinterpret_cast<CHAR16 *>(Bytes.data())), Test.Expected) << Test.Format;
    EXPECT_EQ(Count, Test.Expected.size()) << Test.Format;
    const UINTN Used = (Test.Expected.size() + 1) * sizeof(CHAR16);
    for (UINTN Index = Used; Index < Bytes.size(); ++Index) EXPECT_EQ(Bytes[Index], 0xEE) << Test.Format;
  }
}

TEST(FormatUtf16, RefusesMissingArgumentsAndExceededLimits) {
  CHAR16 Small[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(FormatUtf16(nullptr, 8, u"x"), 0u);
  EXPECT_EQ(FormatUtf16(Small, 8, nullptr), 0u);
  EXPECT_EQ(FormatUtf16(Small, 0, u"x"), 0u);
  EXPECT_EQ(FormatUtf16(Small, 1, u"x"), 0u);
  // The size is checked before anything is written.
  EXPECT_EQ(FormatUtf16(Small, (MAX_FORMAT_CHARS + 1) * sizeof(CHAR16), u"x"), 0u);
  EXPECT_EQ(Small[0], u'#');

  std::vector<CHAR16> Large(MAX_FORMAT_CHARS, u'#');
  EXPECT_EQ(FormatUtf16(Large.data(), MAX_FORMAT_CHARS * sizeof(CHAR16) + 1, u"xy"), 2u);

  std::vector<CHAR16> Format(MAX_FORMAT_CHARS + 1, u'f');
  Format.back() = 0;  // exactly the limit: accepted, output cut to the buffer
  EXPECT_EQ(FormatUtf16(Small, sizeof Small, Format.data()), 3u);
  Format.back() = u'f';
  Format.push_back(0);  // one more: refused
  Small[0] = u'#';
  EXPECT_EQ(FormatUtf16(Small, sizeof Small, Format.data()), 0u);
  EXPECT_EQ(Small[0], u'#');
}

TEST(FormatUtf16, PrecisionBoundsTheReadOfAnUnterminatedString) {
  const CHAR16 Wide[3] = {u'a', u'b', u'c'};
  const CHAR8 Narrow[2] = {'d', 'e'};
  CHAR16 Buffer[16];
  EXPECT_EQ(FormatUtf16(Buffer, sizeof Buffer, u"%.3s%.2a", Wide, Narrow), 5u);
  EXPECT_EQ(std::u16string(Buffer), u"abcde");
}

TEST(FormatHexValue, FixedWidthUpperCaseDigits) {
  struct Case {
    UINT64 Value;
    UINTN Width;
    UINTN BufferSize;
    EFI_STATUS Status;
    std::u16string Expected;
  };
  const std::u16string AllF(16, u'F');
  const Case Cases[] = {
      {0xAB, 2, 64, EFI_SUCCESS, u"AB"},
      {0xAB, 4, 64, EFI_SUCCESS, u"00AB"},
      {0xAB, 0, 64, EFI_SUCCESS, u"AB"},
      {0, 0, 64, EFI_SUCCESS, u"0"},
      {~0ULL, 0, 64, EFI_SUCCESS, AllF},
      {~0ULL, 37, 76, EFI_SUCCESS, std::u16string(21, u'0') + AllF},
      {0xABC, 2, 64, EFI_SUCCESS, u"BC"},
      {0xAB, 2, 6, EFI_SUCCESS, u"AB"},
      {0xAB, 2, 4, EFI_BUFFER_TOO_SMALL, u""},
      {0xAB, 0, 5, EFI_BUFFER_TOO_SMALL, u""},
      {0xAB, 38, 128, EFI_INVALID_PARAMETER, u""},
      {0xAB, 2, MAX_FORMAT_CHARS * 2 + 2, EFI_INVALID_PARAMETER, u""},
  };
  for (const Case &Test : Cases) {
    std::vector<CHAR16> Buffer(64, u'#');
    EXPECT_EQ(FormatHexValue(Buffer.data(), Test.BufferSize, Test.Value, Test.Width), Test.Status)
        << Test.Width;
    if (Test.Status == EFI_SUCCESS) {
      EXPECT_EQ(std::u16string(Buffer.data()), Test.Expected);
    } else {
      EXPECT_EQ(Buffer[0], u'#') << "written on failure";
    }
  }
  EXPECT_EQ(FormatHexValue(nullptr, 8, 1, 2), EFI_INVALID_PARAMETER);
}

}  // namespace

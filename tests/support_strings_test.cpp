#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forms/identities.h"
#include "support/device_path.h"
#include "support/strings.h"

namespace {

constexpr CHAR16 Filler = u'#';

std::u16string Contents(const CHAR16 *Buffer, UINTN Chars) { return std::u16string(Buffer, Chars); }

TEST(Utf16LengthBounded, StopsAtTheTerminatorOrTheMaximum) {
  EXPECT_EQ(Utf16LengthBounded(u"hello", 3), 3u);
  EXPECT_EQ(Utf16LengthBounded(u"hello", 10), 5u);
  EXPECT_EQ(Utf16LengthBounded(u"hello", 0), 0u);
  EXPECT_EQ(Utf16LengthBounded(u"", 10), 0u);
  EXPECT_EQ(Utf16LengthBounded(nullptr, 10), 0u);
  // Never reads past the maximum (ASan would see it): no terminator here.
  const CHAR16 Unterminated[3] = {u'a', u'b', u'c'};
  EXPECT_EQ(Utf16LengthBounded(Unterminated, 3), 3u);
}

TEST(Utf16CopyChecked, ChecksArgumentsAndSizeBeforeWriting) {
  struct Case {
    bool NullDestination;
    bool NullSource;
    UINTN Size;
    const CHAR16 *Source;
    EFI_STATUS Expected;
  };
  const Case Cases[] = {
      {false, false, 5, u"abcd", EFI_SUCCESS},
      {false, false, 4, u"abcd", EFI_BUFFER_TOO_SMALL},
      {false, false, 1, u"", EFI_SUCCESS},
      {true, false, 5, u"ab", EFI_INVALID_PARAMETER},
      {false, true, 5, u"ab", EFI_INVALID_PARAMETER},
      {false, false, 0, u"ab", EFI_INVALID_PARAMETER},
      {false, false, MAX_STRING_CHARS + 1, u"ab", EFI_INVALID_PARAMETER},
  };
  for (const Case &Test : Cases) {
    CHAR16 Buffer[8];
    std::fill(std::begin(Buffer), std::end(Buffer), Filler);
    const EFI_STATUS Status = Utf16CopyChecked(Test.NullDestination ? nullptr : Buffer, Test.Size,
                                               Test.NullSource ? nullptr : Test.Source);
    EXPECT_EQ(Status, Test.Expected) << Test.Size;
    if (Status == EFI_SUCCESS) {
      EXPECT_EQ(std::u16string(Buffer), Test.Source);
    } else {
      EXPECT_EQ(Contents(Buffer, 8), std::u16string(8, Filler)) << "written on failure";
    }
  }
}

// Source and destination inside one buffer: Base[0..15] holds "abcdefghijklmno".
TEST(Utf16CopyChecked, RefusesOverlappingRegions) {
  struct Case {
    UINTN DestinationOffset;
    UINTN DestinationChars;
    UINTN SourceOffset;
    UINTN SourceLength;  // a terminator is put after this many characters
    EFI_STATUS Expected;
  };
  const Case Cases[] = {
      {0, 8, 4, 2, EFI_ACCESS_DENIED},  // source above, inside the destination buffer
      {0, 4, 4, 2, EFI_SUCCESS},        // source right after the destination buffer
      {3, 8, 0, 6, EFI_ACCESS_DENIED},  // destination inside the source text
      {3, 8, 0, 3, EFI_ACCESS_DENIED},  // destination on the source's terminator
      {4, 8, 0, 3, EFI_SUCCESS},        // destination just past the terminator
      {2, 8, 2, 3, EFI_ACCESS_DENIED},  // the same place
  };
  for (const Case &Test : Cases) {
    CHAR16 Base[16];
    for (UINTN Index = 0; Index < 15; ++Index) Base[Index] = static_cast<CHAR16>(u'a' + Index);
    Base[15] = 0;
    Base[Test.SourceOffset + Test.SourceLength] = 0;
    const std::u16string Before(Base, 16);
    const std::u16string Source(Base + Test.SourceOffset, Test.SourceLength);
    const EFI_STATUS Status =
        Utf16CopyChecked(Base + Test.DestinationOffset, Test.DestinationChars, Base + Test.SourceOffset);
    EXPECT_EQ(Status, Test.Expected) << Test.DestinationOffset << " <- " << Test.SourceOffset;
    if (Status == EFI_SUCCESS) {
      EXPECT_EQ(std::u16string(Base + Test.DestinationOffset), Source);
    } else {
      EXPECT_EQ(std::u16string(Base, 16), Before);
    }
  }
}

TEST(Utf16AppendChecked, ChecksInOrderAndAppendsAfterTheCurrentText) {
  struct Case {
    std::u16string Initial;  // padded with Filler to the size, so no terminator if it fills it
    UINTN Size;
    const CHAR16 *Source;
    EFI_STATUS Expected;
    std::u16string Result;
  };
  const Case Cases[] = {
      {u"ab", 5, u"cd", EFI_SUCCESS, u"abcd"},
      {u"ab", 4, u"cd", EFI_BUFFER_TOO_SMALL, u""},
      {u"", 3, u"xy", EFI_SUCCESS, u"xy"},
      {u"abc", 4, u"", EFI_SUCCESS, u"abc"},
      {u"", 0, u"x", EFI_INVALID_PARAMETER, u""},
      {u"", MAX_STRING_CHARS + 1, u"x", EFI_INVALID_PARAMETER, u""},
  };
  for (const Case &Test : Cases) {
    std::vector<CHAR16> Buffer(8, Filler);
    std::copy(Test.Initial.begin(), Test.Initial.end(), Buffer.begin());
    Buffer[Test.Initial.size()] = 0;
    const std::vector<CHAR16> Before = Buffer;
    EXPECT_EQ(Utf16AppendChecked(Buffer.data(), Test.Size, Test.Source), Test.Expected) << Test.Size;
    if (Test.Expected == EFI_SUCCESS) {
      EXPECT_EQ(std::u16string(Buffer.data()), Test.Result);
    } else {
      EXPECT_EQ(Buffer, Before);
    }
  }
}

TEST(Utf16AppendChecked, UnterminatedDestinationAndSelfAppend) {
  CHAR16 Full[4] = {u'a', u'b', u'c', u'd'};
  EXPECT_EQ(Utf16AppendChecked(Full, 4, u""), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Utf16AppendChecked(Full, 4, nullptr), EFI_INVALID_PARAMETER);

  CHAR16 Text[16] = u"abc";
  // Too little room is reported before the overlap.
  EXPECT_EQ(Utf16AppendChecked(Text, 5, Text), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Utf16AppendChecked(Text, 16, Text), EFI_ACCESS_DENIED);
  EXPECT_EQ(Utf16AppendChecked(Text, 16, Text + 1), EFI_ACCESS_DENIED);
  EXPECT_EQ(std::u16string(Text), u"abc");
}

TEST(AsciiLengthBounded, TellsAnOverlongStringFromOneAtTheLimit) {
  EXPECT_EQ(AsciiLengthBounded(nullptr), 0u);
  EXPECT_EQ(AsciiLengthBounded("abc"), 3u);
  std::vector<CHAR8> AtLimit(MAX_STRING_CHARS + 1, 'x');
  AtLimit.back() = 0;
  EXPECT_EQ(AsciiLengthBounded(AtLimit.data()), MAX_STRING_CHARS);
  // Exactly limit + 1 bytes and no terminator: nothing beyond them is read.
  std::vector<CHAR8> Overlong(MAX_STRING_CHARS + 1, 'x');
  EXPECT_EQ(AsciiLengthBounded(Overlong.data()), MAX_STRING_CHARS + 1);
}

TEST(CompareN, StopsAtCountOrTerminatorAndComparesUnsigned) {
  EXPECT_EQ(Utf16CompareN(u"abcX", u"abcY", 3), 0);
  EXPECT_LT(Utf16CompareN(u"abcX", u"abcY", 4), 0);
  EXPECT_EQ(Utf16CompareN(u"abcX", u"abcY", 4), u'X' - u'Y');
  EXPECT_EQ(Utf16CompareN(u"a", u"b", 0), 0);
  EXPECT_GT(Utf16CompareN(u"\xFFFF", u"a", 1), 0);
  EXPECT_GT(Utf16CompareN(u"ab", u"a", 5), 0);
  // Characters after equal terminators are not compared.
  const CHAR16 Left[] = {u'a', 0, u'x'}, Right[] = {u'a', 0, u'y'};
  EXPECT_EQ(Utf16CompareN(Left, Right, 3), 0);

  EXPECT_EQ(AsciiCompareN("abcX", "abcY", 3), 0);
  EXPECT_LT(AsciiCompareN("abcX", "abcY", 4), 0);
  EXPECT_GT(AsciiCompareN("\xFF", "a", 1), 0);
  EXPECT_EQ(AsciiCompareN("a\0x", "a\0y", 3), 0);
}

TEST(Utf16Find, FindsTheFirstOccurrence) {
  const CHAR16 *Text = u"aaabaab";
  struct Case {
    const CHAR16 *Pattern;
    INTN Offset;  // -1: none
  };
  const Case Cases[] = {{u"", 0},      {u"aab", 1},       {u"b", 3},  {u"baab", 3},
                        {u"aabx", -1}, {u"aaabaabb", -1}, {u"c", -1}, {u"ab", 2}};
  for (const Case &Test : Cases) {
    const CHAR16 *Found = Utf16Find(Text, Test.Pattern);
    if (Test.Offset < 0) {
      EXPECT_EQ(Found, nullptr);
    } else {
      EXPECT_EQ(Found, Text + Test.Offset);
    }
  }
  EXPECT_EQ(Utf16Find(u"", u"a"), nullptr);
  EXPECT_EQ(Utf16Find(static_cast<const CHAR16 *>(nullptr), u"a"), nullptr);
}

// ---- Device paths ----

void AppendNode(std::vector<UINT8> &Path, UINT8 Type, UINT8 SubType, UINT16 Length,
                std::vector<UINT8> Body = {}) {
  Path.insert(Path.end(), {Type, SubType, static_cast<UINT8>(Length), static_cast<UINT8>(Length >> 8)});
  Path.insert(Path.end(), Body.begin(), Body.end());
}

void AppendEnd(std::vector<UINT8> &Path, UINT16 Length = END_DEVICE_PATH_LENGTH) {
  AppendNode(Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, Length);
}

UINTN SizeOf(const std::vector<UINT8> &Path) {
  return ValidatedDevicePathSize(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Path.data()));
}

TEST(DevicePath, SizeCoversEveryNodeAndTheEndNode) {
  const auto *Own = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(&ADDONCARD_DEVICE_PATH);
  EXPECT_TRUE(DevicePathIsValid(Own));
  EXPECT_EQ(ValidatedDevicePathSize(Own), 24u);

  std::vector<UINT8> Instances;  // PCI node, end-of-instance, PCI node, end
  AppendNode(Instances, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, {0, 1});
  AppendNode(Instances, END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE, 4);
  AppendNode(Instances, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, {0, 2});
  AppendEnd(Instances);
  EXPECT_EQ(SizeOf(Instances), 20u);

  std::vector<UINT8> EndOnly;
  AppendEnd(EndOnly);
  EXPECT_EQ(SizeOf(EndOnly), 4u);
}

TEST(DevicePath, MalformedPathsAreInvalid) {
  EXPECT_FALSE(DevicePathIsValid(nullptr));
  EXPECT_EQ(ValidatedDevicePathSize(nullptr), 0u);

  std::vector<UINT8> ShortNode;
  AppendNode(ShortNode, HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 3);
  ShortNode.push_back(0);
  AppendEnd(ShortNode);
  EXPECT_EQ(SizeOf(ShortNode), 0u);

  std::vector<UINT8> LongEnd;
  AppendNode(LongEnd, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, {0, 1});
  AppendEnd(LongEnd, 8);
  LongEnd.resize(LongEnd.size() + 4);
  EXPECT_EQ(SizeOf(LongEnd), 0u);
}

UINTN SizeWithin(const std::vector<UINT8> &Bytes) {
  return ValidatedDevicePathSize(ByteView(Bytes.data(), Bytes.size()));
}

TEST(DevicePath, TheBoundedWalkReadsNothingPastTheBytesItIsGiven) {
  std::vector<UINT8> Path;
  AppendNode(Path, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, {0, 1});
  AppendEnd(Path);
  EXPECT_EQ(SizeWithin(Path), 10u);
  std::vector<UINT8> Trailing = Path;  // bytes after the end node are not the path's
  Trailing.resize(Trailing.size() + 3, 0xEE);
  EXPECT_EQ(SizeWithin(Trailing), 10u);
  // Every cut of it, on the heap with exactly the bytes given: any read past them is caught.
  for (std::size_t Cut = 0; Cut < Path.size(); ++Cut) {
    SCOPED_TRACE(Cut);
    EXPECT_EQ(SizeWithin(std::vector<UINT8>(Path.begin(), Path.begin() + static_cast<long>(Cut))), 0u);
  }
  std::vector<UINT8> Runaway;  // a node that claims more bytes than there are
  AppendNode(Runaway, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, {0, 1});
  AppendNode(Runaway, HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 0x40);
  EXPECT_EQ(SizeWithin(Runaway), 0u);
  EXPECT_EQ(ValidatedDevicePathSize(ByteView()), 0u);
}

TEST(DevicePath, AnUnsizedPathIsWalkedUpToTheFixedLimitOnly) {
  std::vector<UINT8> Long;  // two nodes of 0xFFFC bytes, then the end node
  for (int Node = 0; Node < 2; ++Node) {
    AppendNode(Long, HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 0xFFFC);
    Long.resize(Long.size() + 0xFFFC - 4);
  }
  AppendEnd(Long);
  ASSERT_GT(Long.size(), DEVICE_PATH_WALK_LIMIT);
  EXPECT_EQ(SizeWithin(Long), Long.size());
  EXPECT_EQ(SizeOf(Long), 0u);
  EXPECT_FALSE(DevicePathIsValid(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Long.data())));
}

TEST(DevicePath, FilePathNodesMustEndWithANulCharacter) {
  std::vector<UINT8> Terminated;
  AppendNode(Terminated, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, 8, {'a', 0, 0, 0});
  AppendEnd(Terminated);
  EXPECT_EQ(SizeOf(Terminated), 12u);

  std::vector<UINT8> Unterminated;
  AppendNode(Unterminated, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, 8, {'a', 0, 'b', 0});
  AppendEnd(Unterminated);
  EXPECT_EQ(SizeOf(Unterminated), 0u);
}

}  // namespace

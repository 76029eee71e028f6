// Configuration-string codec: the block-field encoders and decoder, the header
// builder and the matching of requests against the driver's stores.
#include "hii/config_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver_state.h"
#include "forms/identities.h"
#include "support/pool.h"
#include "tests/sim_fixture.h"
#include "uefi/guids.h"

namespace {

constexpr CHAR16 Sentinel = u'#';
const std::u16string FormsetGuidDigits = u"7e0f87c35e59504fb37fc1d5b7cbeb3e";
const std::u16string DriverPathDigits = u"010414007e0f87c35e59504fb37fc1d5b7cbeb3e7fff0400";

std::u16string Text(const CHAR16 *Chars) { return Chars == nullptr ? u"<null>" : std::u16string(Chars); }

// Text buffers start filled with a sentinel, so a refused call can be seen to
// have written nothing and a successful one to have stopped at its terminator.
std::vector<CHAR16> SentinelText(std::size_t Chars) { return std::vector<CHAR16>(Chars, Sentinel); }
bool Untouched(const std::vector<CHAR16> &Buffer) {
  return std::u16string(Buffer.begin(), Buffer.end()).find_first_not_of(Sentinel) == std::u16string::npos;
}

TEST(HexEncodeNumber, WritesTheBlockAsOneNumberMostSignificantByteFirst) {
  const struct {
    const char *Name;
    std::vector<UINT8> Bytes;
    UINTN DigitCount, TextChars;
    EFI_STATUS Status;
    std::u16string Digits;
  } Cases[] = {
      {"two bytes", {0x01, 0x02}, 4, 5, EFI_SUCCESS, u"0201"},
      {"uppercase letters", {0xAB, 0xcd, 0x0e}, 6, 7, EFI_SUCCESS, u"0ECDAB"},
      {"empty block", {}, 0, 1, EFI_SUCCESS, u""},
      {"extra digits are leading zeros", {0x01, 0x02}, 7, 8, EFI_SUCCESS, u"0000201"},
      {"no room for the terminator", {0x01, 0x02}, 4, 4, EFI_BUFFER_TOO_SMALL, u""},
      {"fewer digits than the bytes need", {0x01, 0x02}, 3, 8, EFI_INVALID_PARAMETER, u""},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Buffer = SentinelText(C.TextChars + 2);
    UINTN Count = 999;
    EXPECT_EQ(
        HexEncodeNumber(Buffer.data(), C.TextChars, &Count, C.Bytes.data(), C.Bytes.size(), C.DigitCount),
        C.Status);
    if (C.Status != EFI_SUCCESS) {
      EXPECT_TRUE(Untouched(Buffer));
      continue;
    }
    EXPECT_EQ(Text(Buffer.data()), C.Digits);
    EXPECT_EQ(Count, C.DigitCount + 1);
    EXPECT_EQ(Buffer[C.DigitCount + 1], Sentinel);
  }
}

TEST(HexDecodeNumber, ReadsLeadingDigitsLastDigitFirstAndNeverPastTheDestination) {
  const struct {
    const char *Name;
    std::u16string Text;
    UINTN Capacity;
    EFI_STATUS Status;
    std::vector<UINT8> Written;  // the rest keep 0xEE
  } Cases[] = {
      {"stops at the next key", u"0201&WIDTH=29", 4, EFI_SUCCESS, {0x01, 0x02}},
      {"odd digit count", u"ABC", 4, EFI_SUCCESS, {0xBC, 0x0A}},
      {"mixed case", u"aBcD", 4, EFI_SUCCESS, {0xCD, 0xAB}},
      {"no leading digit", u"&VALUE=01", 4, EFI_SUCCESS, {}},
      {"exactly fills the destination", u"010203", 3, EFI_SUCCESS, {0x03, 0x02, 0x01}},
      {"one digit too many", u"1010203", 3, EFI_BUFFER_TOO_SMALL, {}},
      {"far too many", std::u16string(5000, u'f'), 3, EFI_BUFFER_TOO_SMALL, {}},
      {"no room at all", u"1", 0, EFI_BUFFER_TOO_SMALL, {}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    std::vector<UINT8> Bytes(C.Capacity, 0xEE);  // exactly the destination: ASan sees any write past it
    EXPECT_EQ(HexDecodeNumber(Bytes.data(), C.Capacity, C.Text.c_str()), C.Status);
    for (std::size_t I = 0; I < Bytes.size(); ++I)
      EXPECT_EQ(Bytes[I], I < C.Written.size() ? C.Written[I] : 0xEE) << "byte " << I;
  }
}

TEST(HexText32, GivesEightUppercaseDigitsInARingOfTenTexts) {
  ResetConfigStringState();
  EXPECT_EQ(Text(HexText32(0x29)), u"00000029");
  EXPECT_EQ(Text(HexText32(0x1234ABCDEF12ULL)), u"ABCDEF12");
  std::vector<const CHAR16 *> Slots;
  for (UINT32 I = 0; I < 10; ++I) Slots.push_back(HexText32(I));
  for (UINT32 I = 0; I < 10; ++I) EXPECT_EQ(Text(Slots[I]), std::u16string(u"0000000") + char16_t(u'0' + I));
  EXPECT_EQ(HexText32(0xA), Slots[0]);
  EXPECT_EQ(Text(Slots[0]), u"0000000A");
}

TEST(HexEncodeName, WritesFourLowercaseDigitsPerCodeUnitOrReportsTheSizeNeeded) {
  auto Buffer = SentinelText(32);
  UINTN Size = 32 * sizeof(CHAR16);
  ASSERT_EQ(HexEncodeName(Buffer.data(), &Size, u"abZ\xABCD"), EFI_SUCCESS);
  EXPECT_EQ(Text(Buffer.data()), u"00610062005aabcd");
  EXPECT_EQ(Size, 8u * 4 + 2);
  EXPECT_EQ(Buffer[17], Sentinel);

  auto Small = SentinelText(32);
  Size = 8 * 3 + 1;
  EXPECT_EQ(HexEncodeName(Small.data(), &Size, u"abc"), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 8u * 3 + 2);
  EXPECT_TRUE(Untouched(Small));
}

class ConfigStringTest : public SimTest {
 protected:
  // A new handle carrying Interface under Protocol.
  EFI_HANDLE HandleWith(const EFI_GUID &Protocol, const void *Interface) {
    EFI_HANDLE Handle = nullptr;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&Handle, &Protocol, EFI_NATIVE_INTERFACE,
                                             const_cast<void *>(Interface)),
              EFI_SUCCESS);
    return Handle;
  }
  std::u16string Take(CHAR16 *Pooled) {
    std::u16string Result = Text(Pooled);
    PoolFree(Pooled);
    return Result;
  }
};

TEST_F(ConfigStringTest, HexEncodeBytesWritesLowercaseDigitsOrRefusesWithoutWriting) {
  std::vector<UINT8> Big(HEX_ENCODE_BYTES_MAX + 1, 0x5A);
  const auto *Guid = reinterpret_cast<const UINT8 *>(&ADDONCARD_FORMSET_GUID);
  const auto *Path = reinterpret_cast<const UINT8 *>(&ADDONCARD_DEVICE_PATH);
  const struct {
    const char *Name;
    const UINT8 *Bytes;
    UINTN ByteCount, TextChars;
    std::size_t FailAllocation;  // 0: none
    EFI_STATUS Status;
    std::u16string Digits;
  } Cases[] = {
      {"GUID in memory order", Guid, 16, 33, 0, EFI_SUCCESS, FormsetGuidDigits},
      {"device path", Path, 24, 49, 0, EFI_SUCCESS, DriverPathDigits},
      {"largest input", Big.data(), HEX_ENCODE_BYTES_MAX, 2 * HEX_ENCODE_BYTES_MAX + 1, 0, EFI_SUCCESS, u""},
      {"no room for the terminator", Path, 24, 48, 0, EFI_BUFFER_TOO_SMALL, u""},
      {"input above the scratch copy", Big.data(), HEX_ENCODE_BYTES_MAX + 1, 2 * HEX_ENCODE_BYTES_MAX + 4, 0,
       EFI_BAD_BUFFER_SIZE, u""},
      {"scratch copy unavailable", Guid, 16, 33, 1, EFI_OUT_OF_RESOURCES, u""},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Buffer = SentinelText(C.TextChars + 1);
    if (C.FailAllocation != 0) sim::FailNthAllocation(C.FailAllocation);
    EXPECT_EQ(HexEncodeBytes(Buffer.data(), C.TextChars, C.Bytes, C.ByteCount), C.Status);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    if (C.Status != EFI_SUCCESS) {
      EXPECT_TRUE(Untouched(Buffer));
    } else if (C.Bytes == Big.data()) {
      EXPECT_EQ(Text(Buffer.data()).find_first_not_of(u"5a"), std::u16string::npos);
      EXPECT_EQ(Text(Buffer.data()).size(), 2 * HEX_ENCODE_BYTES_MAX);
    } else {
      EXPECT_EQ(Text(Buffer.data()), C.Digits);
    }
  }
}

TEST_F(ConfigStringTest, BuildConfigHeaderNamesGuidNameAndDevicePathInThatOrder) {
  EXPECT_EQ(Take(BuildConfigHeader(nullptr, nullptr, nullptr)), u"GUID=&NAME=&PATH=");
  const EFI_HANDLE Driver = HandleWith(EFI_DEVICE_PATH_PROTOCOL_GUID, &ADDONCARD_DEVICE_PATH);
  EXPECT_EQ(Take(BuildConfigHeader(&ADDONCARD_FORMSET_GUID, u"abc", Driver)),
            u"GUID=" + FormsetGuidDigits + u"&NAME=006100620063&PATH=" + DriverPathDigits);
  EXPECT_EQ(Take(BuildConfigHeader(nullptr, u"\xFEDC", nullptr)), u"GUID=&NAME=fedc&PATH=");
  // A path without a proper end node is not encoded at all.
  static const UINT8 Broken[] = {0x01, 0x04, 0x02, 0x00, 0x7F, 0xFF, 0x04, 0x00};
  EXPECT_EQ(Take(BuildConfigHeader(nullptr, u"a", HandleWith(EFI_DEVICE_PATH_PROTOCOL_GUID, Broken))),
            u"GUID=&NAME=0061&PATH=");
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

TEST_F(ConfigStringTest, NoHeaderWithoutDevicePathOrPoolAndThenNoMatch) {
  static int Other = 0;
  EXPECT_EQ(BuildConfigHeader(&ADDONCARD_FORMSET_GUID, u"abc", HandleWith(EFI_PCI_IO_PROTOCOL_GUID, &Other)),
            nullptr);
  sim::FailNthAllocation(1);
  EXPECT_EQ(BuildConfigHeader(&ADDONCARD_FORMSET_GUID, u"abc", nullptr), nullptr);
  const std::u16string Request = u"GUID=" + FormsetGuidDigits + u"&NAME=0054&PATH=";
  sim::FailNthAllocation(1);
  EXPECT_FALSE(MatchConfigHeader(Request.c_str(), &ADDONCARD_FORMSET_GUID, u"T"));
  EXPECT_TRUE(MatchConfigHeader(Request.c_str(), &ADDONCARD_FORMSET_GUID, u"T"));
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

TEST_F(ConfigStringTest, MatchConfigHeaderComparesGuidAndNameTextButNeverThePath) {
  const std::u16string Header = u"GUID=" + FormsetGuidDigits + u"&NAME=0054&PATH=";
  const EFI_GUID *Formset = &ADDONCARD_FORMSET_GUID;
  const struct {
    const char *Name;
    std::u16string Request;
    const EFI_GUID *Guid;
    const CHAR16 *VarName;
    BOOLEAN Matches;
  } Cases[] = {
      {"same store, driver path", Header + DriverPathDigits + u"&OFFSET=0&WIDTH=1", Formset, u"T", TRUE},
      {"any path matches", Header + u"0123", Formset, u"T", TRUE},
      {"uppercase GUID digits", u"GUID=7E0F87C35E59504FB37FC1D5B7CBEB3E&NAME=0054&PATH=", Formset, u"T",
       FALSE},
      {"uppercase name digits", u"GUID=" + FormsetGuidDigits + u"&NAME=005A&PATH=", Formset, u"Z", FALSE},
      {"other GUID", u"GUID=" + FormsetGuidDigits.substr(0, 31) + u"f&NAME=0054&PATH=", Formset, u"T", FALSE},
      {"other name", Header, Formset, u"U", FALSE},
      {"longer name", u"GUID=" + FormsetGuidDigits + u"&NAME=00540054&PATH=", Formset, u"T", FALSE},
      {"no NAME with a GUID given", u"GUID=" + FormsetGuidDigits + u"&PATH=00", Formset, u"T", FALSE},
      {"GUID only", Header, Formset, nullptr, TRUE},
      {"name only", u"GUID=00&NAME=0054&PATH=", nullptr, u"T", TRUE},
      {"neither, no header at all", u"OFFSET=0", nullptr, nullptr, TRUE},
      {"only the first header counts", u"GUID=00&NAME=0054&PATH=&" + Header, Formset, u"T", FALSE},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(MatchConfigHeader(C.Request.c_str(), C.Guid, C.VarName), C.Matches);
  }
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

}  // namespace

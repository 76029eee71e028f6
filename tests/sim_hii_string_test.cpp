// The simulator's HII string protocol: new ids across packages, the language
// rules of GetString, writes into the stored blocks, and the language lists.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim_fixture.h"
#include "sim_packages.h"
#include "uefi/guids.h"

namespace {

using simtest::AsList;
using simtest::PackageBytes;
using simtest::PackageList;
using simtest::StringPackage;
using simtest::TestListGuid;
using Strings = std::vector<std::optional<std::u16string>>;

// Ids 1..41 in English; the keyword package holds 2 and 30 only, 41 skipped.
Strings EnglishStrings() {
  Strings S;
  for (int Id = 1; Id <= 41; ++Id)
    S.push_back(u"E" + std::u16string(1, static_cast<char16_t>(u'@' + Id % 26)));
  return S;
}

Strings KeywordStrings() {
  Strings S(41);
  S[1] = u"CSPACF00";
  S[29] = u"CSPACF14";
  return S;
}

class SimHiiString : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(Bs()->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&Db)),
              EFI_SUCCESS);
    ASSERT_EQ(Bs()->LocateProtocol(&EFI_HII_STRING_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&Str)),
              EFI_SUCCESS);
  }

  // Each list under a GUID of its own, so several may be registered.
  EFI_HII_HANDLE Register(const std::vector<PackageBytes> &Packages) {
    EFI_GUID Guid = TestListGuid;
    Guid.Data2 = static_cast<UINT16>(++Registered);
    EFI_HII_HANDLE Handle = nullptr;
    EXPECT_EQ(Db->NewPackageList(Db, AsList(PackageList(Guid, Packages)), nullptr, &Handle), EFI_SUCCESS);
    return Handle;
  }

  EFI_HII_HANDLE RegisterDriverLike() {
    return Register(
        {StringPackage("en-US", EnglishStrings()), StringPackage("x-UEFI-QZV", KeywordStrings())});
  }

  // The string, or the failing status.
  std::pair<EFI_STATUS, std::u16string> Get(EFI_HII_HANDLE Handle, const char *Language, EFI_STRING_ID Id) {
    UINTN Size = 0;
    EFI_STATUS Status = Str->GetString(Str, Language, Handle, Id, nullptr, &Size, nullptr);
    if (Status != EFI_BUFFER_TOO_SMALL) return {Status, u""};
    std::u16string Text(Size / 2, u'?');
    Status = Str->GetString(Str, Language, Handle, Id, Text.data(), &Size, nullptr);
    EXPECT_EQ(Size, Text.size() * 2);
    Text.resize(Size / 2 - 1);
    return {Status, Text};
  }

  PackageBytes Export(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    Db->ExportPackageLists(Db, Handle, &Size, nullptr);
    PackageBytes Bytes(Size);
    EXPECT_EQ(Db->ExportPackageLists(Db, Handle, &Size,
                                     reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes.data())),
              EFI_SUCCESS);
    return Bytes;
  }

  std::string Languages(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    EXPECT_EQ(Str->GetLanguages(Str, Handle, nullptr, &Size), EFI_BUFFER_TOO_SMALL);
    std::string Text(Size, '?');
    EXPECT_EQ(Str->GetLanguages(Str, Handle, Text.data(), &Size), EFI_SUCCESS);
    EXPECT_EQ(Text.back(), '\0');
    Text.pop_back();
    return Text;
  }

  EFI_HII_DATABASE_PROTOCOL *Db = nullptr;
  EFI_HII_STRING_PROTOCOL *Str = nullptr;
  int Registered = 0;
};

using Result = std::pair<EFI_STATUS, std::u16string>;

// ---- NewString ----------------------------------------------------------------------

TEST_F(SimHiiString, NewStringTakesTheNextIdAndReservesItEverywhere) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"Fresh", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 42);
  EXPECT_EQ(Get(Handle, "en-US", 42), Result(EFI_SUCCESS, u"Fresh"));
  EXPECT_EQ(Get(Handle, "x-UEFI-QZV", 42), Result(EFI_SUCCESS, u""));
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "x-UEFI-QZV", nullptr, u"CSPAC000", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 43);
  EXPECT_EQ(Get(Handle, "en-US", 43), Result(EFI_SUCCESS, u""));
  EXPECT_EQ(Get(Handle, "x-UEFI-QZV", 43), Result(EFI_SUCCESS, u"CSPAC000"));
  EXPECT_EQ(Get(Handle, "en-US", 41).first, EFI_SUCCESS);  // earlier strings untouched
}

TEST_F(SimHiiString, NewStringGrowsTheStoredPackagesAndTheirLengths) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  PackageBytes Before = Export(Handle);
  std::vector<PackageBytes> Old = simtest::SplitExport(Before);
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"Abc", nullptr), EFI_SUCCESS);
  PackageBytes After = Export(Handle);
  std::vector<PackageBytes> New = simtest::SplitExport(After);
  ASSERT_EQ(New.size(), Old.size());
  EXPECT_EQ(New[0].size(), Old[0].size() + 1 + 8);  // UCS-2 block: type, 3 characters, terminator
  EXPECT_EQ(New[1].size(), Old[1].size() + 1 + 2);  // empty string
  UINT32 ListLength = 0;
  std::memcpy(&ListLength, After.data() + 16, 4);
  EXPECT_EQ(ListLength, After.size());
  EXPECT_EQ(After.size(), Before.size() + 9 + 3);
  // The new block sits right before the END block.
  EXPECT_EQ(PackageBytes(New[1].end() - 4, New[1].end()), (PackageBytes{EFI_HII_SIBT_STRING_UCS2, 0, 0, 0}));
}

TEST_F(SimHiiString, NewStringCountsTrailingSkippedIds) {
  EFI_HII_HANDLE Handle = Register({StringPackage("en-US", {u"A", std::nullopt, std::nullopt})});
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"D", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 4);
  EXPECT_EQ(Get(Handle, "en-US", 4), Result(EFI_SUCCESS, u"D"));
}

TEST_F(SimHiiString, NewStringFailsWithoutChangingAnything) {
  EFI_HII_HANDLE Disagreeing =
      Register({StringPackage("en-US", {u"A", u"B"}), StringPackage("fr-FR", {u"A"})});
  PackageBytes Before = Export(Disagreeing);
  EFI_STRING_ID Id = 0;
  EXPECT_TRUE(EFI_ERROR(Str->NewString(Str, Disagreeing, &Id, "en-US", nullptr, u"C", nullptr)));
  EXPECT_EQ(Export(Disagreeing), Before);

  EFI_HII_HANDLE Handle = RegisterDriverLike();
  struct Case {
    const char *Language;
    EFI_STATUS Expected;
  } Cases[] = {
      {"de-DE", EFI_INVALID_PARAMETER},
      {"en", EFI_INVALID_PARAMETER},
      {"x-UEFI", EFI_INVALID_PARAMETER},
      {"EN-us", EFI_SUCCESS}};
  for (const Case &C : Cases)
    EXPECT_EQ(Str->NewString(Str, Handle, &Id, C.Language, nullptr, u"X", nullptr), C.Expected) << C.Language;
  EXPECT_EQ(Id, 42);
  int NotAHandle = 0;
  EXPECT_EQ(Str->NewString(Str, &NotAHandle, &Id, "en-US", nullptr, u"X", nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Str->NewString(Str, Handle, nullptr, "en-US", nullptr, u"X", nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
}

// As seen in the reference firmware: a language name makes NewString add a
// package for a language the list lacks; the earlier ids read empty there.
TEST_F(SimHiiString, NewStringWithALanguageNameAddsThatLanguage) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "fr-FR", u"Francais", u"Bonjour", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 42);
  EXPECT_EQ(Get(Handle, "fr-FR", 42), Result(EFI_SUCCESS, u"Bonjour"));
  EXPECT_EQ(Get(Handle, "fr-FR", 2), Result(EFI_SUCCESS, u""));
  EXPECT_EQ(Get(Handle, "en-US", 42), Result(EFI_SUCCESS, u""));
  char Languages[64] = {};
  UINTN Size = sizeof(Languages);
  ASSERT_EQ(Str->GetLanguages(Str, Handle, Languages, &Size), EFI_SUCCESS);
  EXPECT_STREQ(Languages, "en-US;x-UEFI-QZV;fr-FR");
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"Next", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 43);
}

// ---- GetString ----------------------------------------------------------------------

TEST_F(SimHiiString, GetStringTellsAWrongLanguageFromAMissingId) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  struct Case {
    const char *Language;
    EFI_STRING_ID Id;
    EFI_STATUS Expected;
  } Cases[] = {
      {"en-US", 2, EFI_SUCCESS},
      {"EN-US", 41, EFI_SUCCESS},
      {"x-UEFI-QZV", 2, EFI_SUCCESS},
      {"x-uefi-qzv", 30, EFI_SUCCESS},
      {"x-UEFI-QZV", 3, EFI_INVALID_LANGUAGE},   // skipped there, held in English
      {"x-UEFI-QZV", 41, EFI_INVALID_LANGUAGE},  // skipped at the end
      {"x-QZV", 2, EFI_INVALID_LANGUAGE},        // no such package
      {"x-QZV", 30, EFI_INVALID_LANGUAGE},
      {"en", 2, EFI_INVALID_LANGUAGE},
      {"en-US", 42, EFI_NOT_FOUND},  // beyond every package
      {"x-QZV", 42, EFI_NOT_FOUND},
  };
  for (const Case &C : Cases)
    EXPECT_EQ(Get(Handle, C.Language, C.Id).first, C.Expected) << C.Language << " id " << C.Id;
  EXPECT_EQ(Get(Handle, "x-UEFI-QZV", 30).second, u"CSPACF14");
}

TEST_F(SimHiiString, GetStringSizesAreBytesWithTheTerminator) {
  EFI_HII_HANDLE Handle = Register({StringPackage("en-US", {u"Hello"})});
  CHAR16 Buffer[6];
  UINTN Size = 11;
  EXPECT_EQ(Str->GetString(Str, "en-US", Handle, 1, Buffer, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 12u);
  EXPECT_EQ(Str->GetString(Str, "en-US", Handle, 1, Buffer, &Size, nullptr), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Buffer), u"Hello");
  Size = 0;
  EXPECT_EQ(Str->GetString(Str, "en-US", Handle, 1, nullptr, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  Size = 4;
  EXPECT_EQ(Str->GetString(Str, "en-US", Handle, 1, nullptr, &Size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Str->GetString(Str, "en-US", Handle, 0, Buffer, &Size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Str->GetString(Str, nullptr, Handle, 1, Buffer, &Size, nullptr), EFI_INVALID_PARAMETER);
  int NotAHandle = 0;
  Size = sizeof Buffer;
  EXPECT_EQ(Str->GetString(Str, "en-US", &NotAHandle, 1, Buffer, &Size, nullptr), EFI_NOT_FOUND);
}

TEST_F(SimHiiString, ALanguageMatchesOnlyThePrimaryTagInFull) {
  EFI_HII_HANDLE Handle = Register({StringPackage("en-US;fr-FR", {u"Both"})});
  EXPECT_EQ(Get(Handle, "en-us", 1), Result(EFI_SUCCESS, u"Both"));
  EXPECT_EQ(Get(Handle, "fr-FR", 1).first, EFI_INVALID_LANGUAGE);
  EXPECT_EQ(Get(Handle, "en-US;fr-FR", 1).first, EFI_INVALID_LANGUAGE);
  EXPECT_EQ(Get(Handle, "en-U", 1).first, EFI_INVALID_LANGUAGE);
}

TEST_F(SimHiiString, ReadsEveryKindOfStringBlock) {
  // clang-format off
  PackageBytes Blocks = {
      EFI_HII_SIBT_STRINGS_UCS2, 2, 0, 'A', 0, 0, 0, 'B', 0, 'b', 0, 0, 0,  // ids 1, 2
      EFI_HII_SIBT_EXT1, 0x40, 5, 0xAA, 0xBB,                               // no id
      EFI_HII_SIBT_STRING_SCSU, 'S', 'c', 0,                                // id 3
      EFI_HII_SIBT_SKIP2, 2, 0,                                             // ids 4, 5
      EFI_HII_SIBT_DUPLICATE, 2, 0,                                         // id 6 = id 2
      EFI_HII_SIBT_STRING_UCS2_FONT, 7, 'F', 0, 0, 0,                       // id 7
      EFI_HII_SIBT_STRINGS_SCSU_FONT, 7, 1, 0, 'x', 0,                      // id 8
      EFI_HII_SIBT_END};
  // clang-format on
  EFI_HII_HANDLE Handle = Register({simtest::StringPackageWithBlocks("en-US", Blocks)});
  EXPECT_EQ(Get(Handle, "en-US", 1), Result(EFI_SUCCESS, u"A"));
  EXPECT_EQ(Get(Handle, "en-US", 2), Result(EFI_SUCCESS, u"Bb"));
  EXPECT_EQ(Get(Handle, "en-US", 3), Result(EFI_SUCCESS, u"Sc"));
  EXPECT_EQ(Get(Handle, "en-US", 4).first, EFI_NOT_FOUND);
  EXPECT_EQ(Get(Handle, "en-US", 5).first, EFI_NOT_FOUND);
  EXPECT_EQ(Get(Handle, "en-US", 6), Result(EFI_SUCCESS, u"Bb"));
  EXPECT_EQ(Get(Handle, "en-US", 7), Result(EFI_SUCCESS, u"F"));
  EXPECT_EQ(Get(Handle, "en-US", 8), Result(EFI_SUCCESS, u"x"));
  EXPECT_EQ(Get(Handle, "en-US", 9).first, EFI_NOT_FOUND);
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"New", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 9);
}

// ---- SetString ------------------------------------------------------------------------

TEST_F(SimHiiString, SetStringRewritesTheBlockAndTheLengths) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  PackageBytes Before = Export(Handle);
  ASSERT_EQ(Str->SetString(Str, Handle, 2, "en-US", u"A longer text", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Get(Handle, "en-US", 2), Result(EFI_SUCCESS, u"A longer text"));
  EXPECT_EQ(Get(Handle, "x-UEFI-QZV", 2), Result(EFI_SUCCESS, u"CSPACF00"));
  EXPECT_EQ(Get(Handle, "en-US", 3), Result(EFI_SUCCESS, u"EC"));  // the next block intact
  PackageBytes After = Export(Handle);
  std::size_t Growth = (13 - 2) * 2;  // "EB" became 13 characters
  EXPECT_EQ(After.size(), Before.size() + Growth);
  EXPECT_EQ(simtest::SplitExport(After)[0].size(), simtest::SplitExport(Before)[0].size() + Growth);
  UINT32 ListLength = 0;
  std::memcpy(&ListLength, After.data() + 16, 4);
  EXPECT_EQ(ListLength, After.size());
  ASSERT_EQ(Str->SetString(Str, Handle, 2, "en-US", u"", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Get(Handle, "en-US", 2), Result(EFI_SUCCESS, u""));
}

TEST_F(SimHiiString, SetStringKeepsTheOtherStringsOfAMultiStringBlock) {
  PackageBytes Blocks = {
      EFI_HII_SIBT_STRINGS_UCS2_FONT, 3, 3, 0, 'a', 0, 0, 0, 'b', 0, 0, 0, 'c', 0, 0, 0, EFI_HII_SIBT_END};
  EFI_HII_HANDLE Handle = Register({simtest::StringPackageWithBlocks("en-US", Blocks)});
  ASSERT_EQ(Str->SetString(Str, Handle, 2, "en-US", u"Bee", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Get(Handle, "en-US", 1), Result(EFI_SUCCESS, u"a"));
  EXPECT_EQ(Get(Handle, "en-US", 2), Result(EFI_SUCCESS, u"Bee"));
  EXPECT_EQ(Get(Handle, "en-US", 3), Result(EFI_SUCCESS, u"c"));
  EFI_STRING_ID Id = 0;
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"d", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 4);
}

TEST_F(SimHiiString, SetStringNeedsTheLanguageAndAnExistingString) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  PackageBytes Before = Export(Handle);
  struct Case {
    const char *Language;
    EFI_STRING_ID Id;
    EFI_STATUS Expected;
  } Cases[] = {
      {"de-DE", 2, EFI_NOT_FOUND},      {"en", 2, EFI_NOT_FOUND},
      {"x-UEFI-QZV", 3, EFI_NOT_FOUND},  // skipped in that package
      {"en-US", 42, EFI_NOT_FOUND},     {"en-US", 0, EFI_INVALID_PARAMETER},
  };
  for (const Case &C : Cases)
    EXPECT_EQ(Str->SetString(Str, Handle, C.Id, C.Language, u"X", nullptr), C.Expected) << C.Language << C.Id;
  EXPECT_EQ(Export(Handle), Before);
}

// ---- languages ------------------------------------------------------------------------

TEST_F(SimHiiString, GetLanguagesListsPackagesInOrder) {
  EFI_HII_HANDLE Handle = Register({StringPackage("x-UEFI-QZV", {u"K"}), StringPackage("en-US", {u"E"}),
                                    StringPackage("fr-FR;en-US", {u"F"})});
  EXPECT_EQ(Languages(Handle), "x-UEFI-QZV;en-US;fr-FR;en-US");
  char Small[4] = "abc";
  UINTN Size = sizeof Small;
  EXPECT_EQ(Str->GetLanguages(Str, Handle, Small, &Size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 29u);
  EXPECT_EQ(std::string(Small), "abc");
  int NotAHandle = 0;
  EXPECT_EQ(Str->GetLanguages(Str, &NotAHandle, Small, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(Str->GetLanguages(Str, Handle, nullptr, &Size), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiString, SecondaryLanguagesFollowThePrimaryTag) {
  EFI_HII_HANDLE Handle =
      Register({StringPackage("fr-FR;en-US;de-DE", {u"F"}), StringPackage("en-US", {u"E"})});
  char Buffer[32] = {};
  UINTN Size = sizeof Buffer;
  ASSERT_EQ(Str->GetSecondaryLanguages(Str, Handle, "fr-fr", Buffer, &Size), EFI_SUCCESS);
  EXPECT_EQ(std::string(Buffer), "en-US;de-DE");
  Size = sizeof Buffer;
  ASSERT_EQ(Str->GetSecondaryLanguages(Str, Handle, "en-US", Buffer, &Size), EFI_SUCCESS);
  EXPECT_EQ(std::string(Buffer), "");
  EXPECT_EQ(Str->GetSecondaryLanguages(Str, Handle, "es-ES", Buffer, &Size), EFI_INVALID_LANGUAGE);
}

TEST_F(SimHiiString, ServicesConsultTheirFaults) {
  EFI_HII_HANDLE Handle = RegisterDriverLike();
  EFI_STRING_ID Id = 0;
  sim::FailService("HiiString.NewString", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"X", nullptr), EFI_OUT_OF_RESOURCES);
  sim::FailService("HiiString.GetString", EFI_DEVICE_ERROR);
  EXPECT_EQ(Get(Handle, "en-US", 2).first, EFI_DEVICE_ERROR);
  sim::FailService("HiiString.SetString", EFI_DEVICE_ERROR);
  EXPECT_EQ(Str->SetString(Str, Handle, 2, "en-US", u"X", nullptr), EFI_DEVICE_ERROR);
  sim::FailService("HiiString.GetLanguages", EFI_DEVICE_ERROR);
  UINTN Size = 0;
  EXPECT_EQ(Str->GetLanguages(Str, Handle, nullptr, &Size), EFI_DEVICE_ERROR);
  // Nothing of that reached the package list.
  ASSERT_EQ(Str->NewString(Str, Handle, &Id, "en-US", nullptr, u"X", nullptr), EFI_SUCCESS);
  EXPECT_EQ(Id, 42);
  EXPECT_EQ(Get(Handle, "en-US", 2).first, EFI_SUCCESS);
}

}  // namespace

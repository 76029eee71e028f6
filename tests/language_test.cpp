// Language choice, strings written in lists of languages, and strings read in
// the best language for the platform.
#include "support/language.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "tests/driver_hii_fixture.h"

namespace {

std::string Take(CHAR8 *Block) {
  std::string Text = Block == nullptr ? "<none>" : Block;
  if (Block != nullptr) sim::SystemTable()->BootServices->FreePool(Block);
  return Text;
}

std::u16string Take(CHAR16 *Block) {
  std::u16string Text = Block == nullptr ? u"<none>" : Block;
  if (Block != nullptr) sim::SystemTable()->BootServices->FreePool(Block);
  return Text;
}

void SetPlatformLang(const std::optional<std::string> &Bytes) {
  if (Bytes) sim::WriteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE, 0x6, {Bytes->begin(), Bytes->end()});
}

// ---- language choice -----------------------------------------------------------------

using PickBestLanguageTest = SimTest;

TEST_F(PickBestLanguageTest, ChoosesTheFirstSupportedEntryThatTheBestCandidatePrefixes) {
  struct Row {
    const char *Supported;
    std::vector<const char *> Candidates;
    const char *Expected;
  };
  const std::vector<Row> Rows = {
      {"en-US;x-UEFI-QZV", {"en-GB"}, "en-US"},  // shortened to "en"
      {"en-US", {"fr-FR", "en-US"}, "en-US"},    // the first candidate finds nothing
      {";;en-US;", {"en"}, "en-US"},             // empty entries are passed over
      {"fr;zh;zh-Hant", {"zh-Hant-TW"}, "zh-Hant"},
      {"fr;zh", {"zh-Hant-TW"}, "zh"},
      {"en-US;fr-FR", {"", "", "fr-FR;en-US"}, "fr-FR"},  // empty candidates skipped; first entry counts
      {"eng", {"en"}, "eng"},                             // a plain prefix match
      {"en-US", {"fr-FR", "de"}, "<none>"},
      {"en-US", {}, "<none>"},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Supported);
    const char *C[3] = {};
    for (std::size_t I = 0; I < R.Candidates.size(); ++I) C[I] = R.Candidates[I];
    EXPECT_EQ(Take(PickBestLanguage(R.Supported, C[0], C[1], C[2], nullptr)), R.Expected);
  }
  sim::FailNthAllocation(1);
  EXPECT_EQ(Take(PickBestLanguage("en-US", "en", "en-US", nullptr)), "<none>");
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

// ---- writing strings -----------------------------------------------------------------

class SetStringInLanguagesTest : public RegisteredDriverTest {
 protected:
  void SetUp() override {
    RegisteredDriverTest::SetUp();
    HiiString = StringSpy::Wrap(HiiString);
    SetCurrentHiiHandle(DriverHiiHandle);
  }
};

TEST_F(SetStringInLanguagesTest, WritesExactlyTheLanguagesAsked) {
  struct Row {
    EFI_STRING_ID Id;
    const char *Languages;
    EFI_STRING_ID Expected;
    std::vector<std::string> Calls;
  };
  const std::vector<Row> Rows = {
      {0, "en-US", 42, {"New en-US"}},
      {42, "x-UEFI-QZV", 42, {"Set x-UEFI-QZV #42"}},
      {0, nullptr, 43, {"Languages", "Languages", "New en-US"}},  // keyword namespaces passed over
      {43, "en-US;x-UEFI-QZV", 43, {"Set en-US #43", "Set x-UEFI-QZV #43"}},
      {43, "", 0, {}},
      {43, ";;", 0, {}},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Languages == nullptr ? "(all)" : R.Languages);
    StringSpy::Calls.clear();
    EXPECT_EQ(SetStringInLanguages(R.Id, u"text", R.Languages), R.Expected);
    EXPECT_EQ(StringSpy::Calls, R.Calls);
  }
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", 43), u"text");
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

TEST_F(SetStringInLanguagesTest, AKeywordLandsInTheKeywordPackageUnderThePromptsId) {
  const EFI_STRING_ID Prompt = SetStringInLanguages(0, u"Link Speed (00:02.0)", "en-US");
  ASSERT_EQ(Prompt, 42);
  EXPECT_EQ(SetStringInLanguages(Prompt, u"CSPAC000", "x-QZV"), 0);  // no package has that language
  EXPECT_EQ(SetStringInLanguages(Prompt, u"CSPAC000", "x-UEFI-QZV"), Prompt);
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", Prompt), u"CSPAC000");
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "en-US", Prompt), u"Link Speed (00:02.0)");
}

TEST_F(SetStringInLanguagesTest, GivesZeroWhenNothingOrNotAllCouldBeWritten) {
  const std::vector<UINT8> KeywordsOnly =
      simtest::PackageList(simtest::OtherListGuid, {simtest::StringPackage("x-UEFI-QZV", {u"x-QZV"})});
  EFI_HII_HANDLE KeywordList = nullptr;
  ASSERT_EQ(HiiDatabase->NewPackageList(HiiDatabase, simtest::AsList(KeywordsOnly), nullptr, &KeywordList),
            EFI_SUCCESS);
  struct Row {
    const char *Name;
    const char *Languages;
    std::function<void()> Arrange;
  };
  const std::vector<Row> Rows = {
      {"only keyword namespaces", nullptr, [&] { SetCurrentHiiHandle(KeywordList); }},
      {"no language list", nullptr, [] { sim::FailService("HiiString.GetLanguages", EFI_DEVICE_ERROR); }},
      {"copy of the list", "en-US", [] { sim::FailNthAllocation(1); }},
      {"NewString fails", "en-US", [] { sim::FailService("HiiString.NewString", EFI_OUT_OF_RESOURCES); }},
      {"second language fails", "en-US;x-UEFI-QZV",
       [] { sim::FailService("HiiString.SetString", EFI_DEVICE_ERROR); }},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    R.Arrange();
    EXPECT_EQ(SetStringInLanguages(0, u"lost", R.Languages), 0);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    sim::ClearFaults();
    SetCurrentHiiHandle(DriverHiiHandle);
  }
  // The language before the failing one keeps the text.
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "en-US", 42), u"lost");
  EXPECT_EQ(ReadHiiString(KeywordList, "x-UEFI-QZV", 2), u"<error>");
}

// ---- reading strings -------------------------------------------------------------------

class BestLanguageTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    // String 3 exists only in the second display language.
    const std::vector<UINT8> List = simtest::PackageList(
        simtest::TestListGuid, {simtest::StringPackage("en-US", {u"English", u"Hello"}),
                                simtest::StringPackage("x-UEFI-QZV", {u"x-QZV", u"KW", u"KW3"}),
                                simtest::StringPackage("fr-FR", {u"Francais", u"Bonjour", u"Seulement"})});
    ASSERT_EQ(HiiDatabase->NewPackageList(HiiDatabase, simtest::AsList(List), nullptr, &Handle), EFI_SUCCESS);
  }
  EFI_HII_HANDLE Handle = nullptr;
};

TEST_F(BestLanguageTest, ReadsInThePlatformLanguageElseInListOrder) {
  struct Row {
    std::optional<std::string> PlatformLang;
    EFI_STRING_ID Id;
    std::u16string Expected;
  };
  const std::vector<Row> Rows = {
      {std::string("en-GB", 6), 2, u"Hello"},  {std::string("fr-FR", 6), 2, u"Bonjour"},
      {std::string("fr-FR"), 2, u"Bonjour"},  // stored without its NUL
      {std::string("de-DE", 6), 2, u"Hello"},  {std::nullopt, 2, u"Hello"},
      {std::string("en-US", 6), 9, u"<none>"},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.PlatformLang.value_or("(none)") + " #" + std::to_string(R.Id));
    sim::DeleteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE);
    SetPlatformLang(R.PlatformLang);
    EXPECT_EQ(Take(GetStringInBestLanguage(Handle, R.Id)), R.Expected);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
}

TEST_F(BestLanguageTest, SkipsToTheSecondDisplayLanguageWhenTheFirstLacksTheString) {
  const std::vector<UINT8> List = simtest::PackageList(
      simtest::OtherListGuid, {simtest::StringPackage("en-US", {u"English", u"Hello"}),
                               simtest::StringPackage("fr-FR", {u"Francais", u"Bonjour", u"Seulement"})});
  ASSERT_EQ(HiiDatabase->NewPackageList(HiiDatabase, simtest::AsList(List), nullptr, &Handle), EFI_SUCCESS);
  SetPlatformLang(std::string("en-US", 6));
  EXPECT_EQ(Take(GetStringInBestLanguage(Handle, 3)), u"Seulement");
}

TEST_F(BestLanguageTest, NeverShowsAKeywordAndReachesEveryListedLanguage) {
  using Strings = std::vector<std::optional<std::u16string>>;
  struct Row {
    const char *Name;
    std::vector<std::pair<std::string, Strings>> Packages;
    std::optional<std::string> PlatformLang;
    EFI_STRING_ID Id;
    std::u16string Expected;
  };
  const Strings Keywords = {u"x-QZV", u"KW", u"KW3"};
  const std::vector<Row> Rows = {
      {"keyword namespace listed first, platform language unmatched",
       {{"x-UEFI-QZV", Keywords}, {"en-US", {u"English", u"Prompt"}}},
       std::string("de-DE", 6),
       2,
       u"Prompt"},
      {"keyword namespace before the second display language",
       {{"en-US", {u"English", u"Hello"}},
        {"x-UEFI-QZV", Keywords},
        {"fr-FR", {u"Francais", u"Bonjour", u"Seul"}}},
       std::string("en-US", 6),
       3,
       u"Seul"},
      {"string only in a keyword namespace",
       {{"en-US", {u"English", u"Hello"}}, {"x-UEFI-QZV", Keywords}},
       std::nullopt,
       3,
       u"<none>"},
      {"platform language naming a keyword namespace",
       {{"x-UEFI-QZV", Keywords}, {"en-US", {u"English", u"Prompt"}}},
       std::string("x-UEFI-QZV", 11),
       2,
       u"Prompt"},
      {"a language that an earlier one would swallow by prefix",
       {{"en-US", {u"English", u"Hello"}}, {"en", {u"English", u"Hello", u"Only en"}}},
       std::nullopt,
       3,
       u"Only en"},
      {"the same after the platform language missed",
       {{"en-US", {u"English", u"Hello"}}, {"en", {u"English", u"Hello", u"Only en"}}},
       std::string("en-US", 6),
       3,
       u"Only en"},
  };
  UINT32 Serial = 0;
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    std::vector<simtest::PackageBytes> Packages;
    for (const auto &[Language, Texts] : R.Packages)
      Packages.push_back(simtest::StringPackage(Language, Texts));
    EFI_GUID Guid = simtest::OtherListGuid;
    Guid.Data1 += ++Serial;
    const std::vector<UINT8> List = simtest::PackageList(Guid, Packages);
    EFI_HII_HANDLE ListHandle = nullptr;
    ASSERT_EQ(HiiDatabase->NewPackageList(HiiDatabase, simtest::AsList(List), nullptr, &ListHandle),
              EFI_SUCCESS);
    sim::DeleteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE);
    SetPlatformLang(R.PlatformLang);
    EXPECT_EQ(Take(GetStringInBestLanguage(ListHandle, R.Id)), R.Expected);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
}

TEST_F(BestLanguageTest, FailuresGiveNoTextAndKeepNoBlock) {
  SetPlatformLang(std::string("fr-FR", 6));
  for (const char *Service : {"HiiString.GetLanguages", "HiiString.GetString"}) {
    SCOPED_TRACE(Service);
    sim::FailService(Service, EFI_DEVICE_ERROR);
    EXPECT_EQ(Take(GetStringInBestLanguage(Handle, 2)), u"<none>");
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    sim::ClearFaults();
  }
  // Whichever allocation fails, the result is the text or nothing, never a leak.
  for (std::size_t N = 1; N <= 6; ++N) {
    SCOPED_TRACE(N);
    sim::FailNthAllocation(N);
    const std::u16string Text = Take(GetStringInBestLanguage(Handle, 2));
    EXPECT_TRUE(Text == u"Bonjour" || Text == u"Hello" || Text == u"<none>")
        << std::string(Text.begin(), Text.end());
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    sim::ClearFaults();
  }
}

// ---- sizes from outside ----------------------------------------------------------------

// A string protocol that fills every byte it reports, with no NUL.
struct UnterminatedStrings {
  static inline EFI_HII_STRING_PROTOCOL Table{};
  static EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE, CHAR8 *Languages,
                                        UINTN *Size) {
    if (*Size < 5) {
      *Size = 5;
      return EFI_BUFFER_TOO_SMALL;
    }
    std::memcpy(Languages, "en-US", 5);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI GetString(const EFI_HII_STRING_PROTOCOL *, const CHAR8 *, EFI_HII_HANDLE,
                                     EFI_STRING_ID, CHAR16 *Text, UINTN *Size, EFI_FONT_INFO **) {
    if (*Size < 4) {
      *Size = 4;
      return EFI_BUFFER_TOO_SMALL;
    }
    std::memcpy(Text, u"Hi", 4);
    return EFI_SUCCESS;
  }
};

TEST_F(BestLanguageTest, ForeignTextWithoutTerminatorIsCutAtItsReportedSize) {
  UnterminatedStrings::Table.GetLanguages = UnterminatedStrings::GetLanguages;
  UnterminatedStrings::Table.GetString = UnterminatedStrings::GetString;
  HiiString = &UnterminatedStrings::Table;
  EXPECT_EQ(Take(GetPackageLanguages(Handle)), "en-US");
  EXPECT_EQ(Take(GetStringInBestLanguage(Handle, 2)), u"Hi");

  SetPlatformLang(std::string("en-US"));
  CHAR8 *Value = nullptr;
  EXPECT_EQ(ReadPlatformLanguage(&Value), EFI_SUCCESS);
  EXPECT_EQ(Take(Value), "en-US");
}

TEST_F(BestLanguageTest, PlatformLanguageFailuresGiveNoValue) {
  struct Row {
    const char *Name;
    std::function<void()> Arrange;
    EFI_STATUS Expected;
  };
  const std::vector<Row> Rows = {
      {"absent", [] { sim::DeleteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE); }, EFI_NOT_FOUND},
      {"pool exhausted",
       [] {
         SetPlatformLang(std::string("en-US", 6));
         sim::FailNthAllocation(1);
       },
       EFI_OUT_OF_RESOURCES},
      {"read fails", [] { sim::FailService("RuntimeServices.GetVariable", EFI_DEVICE_ERROR); },
       EFI_DEVICE_ERROR},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    R.Arrange();
    CHAR8 *Value = reinterpret_cast<CHAR8 *>(1);
    EXPECT_EQ(ReadPlatformLanguage(&Value), R.Expected);
    EXPECT_EQ(Value, nullptr);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    sim::ClearFaults();
  }
}

}  // namespace

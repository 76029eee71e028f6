// Registering the static package arrays, strings created in every language of
// the driver's list, and the exchange of variable contents with the browser.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "forms/variables.h"
#include "hii/config_string.h"
#include "tests/driver_hii_fixture.h"

namespace {

// ---- package registration ---------------------------------------------------------

struct DatabaseSpy {
  static inline EFI_HII_DATABASE_PROTOCOL Table{};
  static inline EFI_HII_DATABASE_PROTOCOL *Real = nullptr;
  static inline std::vector<UINT8> LastList;
  static inline int Calls = 0;
  static void Wrap() {
    if (HiiDatabase != &Table) Real = HiiDatabase;
    Table = *Real;
    Table.NewPackageList = NewPackageList;
    HiiDatabase = &Table;
    Calls = 0;
  }
  static EFI_STATUS EFIAPI NewPackageList(const EFI_HII_DATABASE_PROTOCOL *,
                                          const EFI_HII_PACKAGE_LIST_HEADER *List, EFI_HANDLE Driver,
                                          EFI_HII_HANDLE *Handle) {
    ++Calls;
    const auto *Bytes = reinterpret_cast<const UINT8 *>(List);
    LastList.assign(Bytes, Bytes + List->PackageLength);
    return Real->NewPackageList(Real, List, Driver, Handle);
  }
};

using RegisterPackageListTest = SimTest;

TEST_F(RegisterPackageListTest, JoinsTheStaticArraysBehindOneHeaderAndEndPackage) {
  DatabaseSpy::Wrap();
  const std::size_t Held = sim::HeldBlocks();
  EFI_HII_HANDLE Handle =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, nullptr, AddOnCardStrings, AddOnCardForms, nullptr);
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(sim::HeldBlocks(), Held);

  const std::vector<UINT8> &List = DatabaseSpy::LastList;
  ASSERT_EQ(List.size(), 24u + (0x78C - 4) + (0x83D - 4));
  EXPECT_EQ(std::memcmp(List.data(), &ADDONCARD_FORMSET_GUID, 16), 0);
  EXPECT_EQ(std::memcmp(List.data() + 20, AddOnCardStrings + 4, 0x78C - 4), 0);
  EXPECT_EQ(std::memcmp(List.data() + 20 + 0x788, AddOnCardForms + 4, 0x83D - 4), 0);
  EXPECT_EQ(std::vector<UINT8>(List.end() - 4, List.end()), (std::vector<UINT8>{0x04, 0x00, 0x00, 0xDF}));
  EXPECT_EQ(ReadHiiString(Handle, "en-US", 2), u"Talvorenix AddOnCard Form");
  EXPECT_EQ(ReadHiiString(Handle, "x-UEFI-QZV", 5), u"CSPACF14");
}

TEST_F(RegisterPackageListTest, GivesNoHandleAndKeepsNoBlockWhenItCannotRegister) {
  static const UINT8 EmptyArray[4] = {4, 0, 0, 0};
  static const UINT8 TruncatedArray[4] = {3, 0, 0, 0};
  struct Row {
    const char *Name;
    std::function<void()> Arrange;
    std::function<EFI_HII_HANDLE()> Register;
    bool DatabaseAsked;
  };
  const EFI_GUID *Guid = &ADDONCARD_FORMSET_GUID;
  const std::vector<Row> Rows = {
      {"no array", [] {}, [&] { return RegisterPackageList(Guid, nullptr, nullptr); }, false},
      {"only empty arrays", [] {},
       [&] { return RegisterPackageList(Guid, nullptr, EmptyArray, EmptyArray, nullptr); }, false},
      {"array shorter than its length field", [] {},
       [&] { return RegisterPackageList(Guid, nullptr, AddOnCardStrings, TruncatedArray, nullptr); }, false},
      {"pool exhausted", [] { sim::FailNthAllocation(1); },
       [&] { return RegisterPackageList(Guid, nullptr, AddOnCardStrings, nullptr); }, false},
      {"database refuses", [] { sim::FailService("HiiDatabase.NewPackageList", EFI_OUT_OF_RESOURCES); },
       [&] { return RegisterPackageList(Guid, nullptr, AddOnCardStrings, nullptr); }, true},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    DatabaseSpy::Wrap();
    const std::size_t Held = sim::HeldBlocks();
    R.Arrange();
    EXPECT_EQ(R.Register(), nullptr);
    EXPECT_EQ(DatabaseSpy::Calls, R.DatabaseAsked ? 1 : 0);
    EXPECT_EQ(sim::HeldBlocks(), Held);
    EXPECT_TRUE(sim::PackageListHandles().empty());
    sim::ClearFaults();
  }
}

// ---- strings in every language -----------------------------------------------------

class SetStringAllLanguagesTest : public RegisteredDriverTest {
 protected:
  void SetUp() override {
    RegisteredDriverTest::SetUp();
    HiiString = StringSpy::Wrap(HiiString);
  }
};

TEST_F(SetStringAllLanguagesTest, CreatesInTheFirstLanguageAndSetsTheSameIdInTheOthers) {
  EXPECT_EQ(SetStringAllLanguages(u"Card A"), 42);
  EXPECT_EQ(StringSpy::Calls,
            (std::vector<std::string>{"Languages", "Languages", "New en-US", "Set x-UEFI-QZV #42"}));
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "en-US", 42), u"Card A");
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", 42), u"Card A");

  // The language list is fetched once and kept; it is the one block left held.
  StringSpy::Calls.clear();
  const std::size_t Held = sim::HeldBlocks();
  EXPECT_EQ(SetStringAllLanguages(u"Card B"), 43);
  EXPECT_EQ(StringSpy::Calls, (std::vector<std::string>{"New en-US", "Set x-UEFI-QZV #43"}));
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

TEST_F(SetStringAllLanguagesTest, OneLanguageListMakesOneNewString) {
  const std::vector<UINT8> List =
      simtest::PackageList(simtest::TestListGuid, {simtest::StringPackage("en-US", {u"English", u"a"})});
  ASSERT_EQ(HiiDatabase->NewPackageList(HiiDatabase, simtest::AsList(List), nullptr, &DriverHiiHandle),
            EFI_SUCCESS);
  EXPECT_EQ(SetStringAllLanguages(u"only"), 3);
  EXPECT_EQ(StringSpy::Calls, (std::vector<std::string>{"Languages", "Languages", "New en-US"}));
}

TEST_F(SetStringAllLanguagesTest, AnyFailureGivesZero) {
  struct Row {
    const char *Name;
    std::function<void()> Arrange;
  };
  const std::vector<Row> Rows = {
      {"string protocol missing",
       [] {
         HiiString = nullptr;
         sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND);
       }},
      {"languages unavailable", [] { sim::FailService("HiiString.GetLanguages", EFI_DEVICE_ERROR); }},
      {"pool exhausted", [] { sim::FailNthAllocation(1); }},
      {"NewString fails", [] { sim::FailService("HiiString.NewString", EFI_OUT_OF_RESOURCES); }},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    R.Arrange();
    const std::size_t Held = sim::HeldBlocks();
    EXPECT_EQ(SetStringAllLanguages(u"x"), 0);
    EXPECT_LE(sim::HeldBlocks(), Held + 1);  // at most the cached language list
    sim::ClearFaults();
    HiiString = StringSpy::Wrap(HiiString);
  }
}

TEST_F(SetStringAllLanguagesTest, AFailedLanguageLeavesTheCachedListWhole) {
  sim::FailService("HiiString.NewString", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(SetStringAllLanguages(u"none"), 0);
  sim::FailService("HiiString.SetString", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(SetStringAllLanguages(u"first"), 0);
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "en-US", 42), u"first");  // the language before stays written
  StringSpy::Calls.clear();
  EXPECT_EQ(SetStringAllLanguages(u"second"), 43);
  EXPECT_EQ(StringSpy::Calls, (std::vector<std::string>{"New en-US", "Set x-UEFI-QZV #43"}));
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "x-UEFI-QZV", 43), u"second");
}

// ---- browser data -------------------------------------------------------------------

// A browser whose answers a test scripts.
struct FakeBrowser {
  static inline EFI_FORM_BROWSER2_PROTOCOL Table{};
  static inline std::vector<EFI_STATUS> Statuses;  // one per call, in order
  static inline UINTN ReportedSize = 0;
  static inline std::u16string Text;  // written without its NUL
  static inline std::vector<std::u16string> Received;
  static inline const EFI_GUID *LastGuid = nullptr;

  static EFI_FORM_BROWSER2_PROTOCOL *Install(std::vector<EFI_STATUS> Script, UINTN Size,
                                             std::u16string Body) {
    Table.BrowserCallback = Callback;
    Statuses = std::move(Script);
    ReportedSize = Size;
    Text = std::move(Body);
    Received.clear();
    return &Table;
  }
  static EFI_STATUS EFIAPI Callback(const EFI_FORM_BROWSER2_PROTOCOL *, UINTN *Size, CHAR16 *Data,
                                    BOOLEAN Retrieve, const EFI_GUID *Guid, const CHAR16 *) {
    LastGuid = Guid;
    if (!Retrieve) Received.push_back(Data);
    EFI_STATUS Status = Statuses.empty() ? EFI_DEVICE_ERROR : Statuses.front();
    if (!Statuses.empty()) Statuses.erase(Statuses.begin());
    if (Status == EFI_BUFFER_TOO_SMALL) *Size = ReportedSize;
    if (Status == EFI_SUCCESS && Retrieve && *Size >= Text.size() * 2) Text.copy(Data, Text.size());
    return Status;
  }
};

using BrowserDataTest = RegisteredDriverTest;

TEST_F(BrowserDataTest, GetCopesWithEveryBrowserAnswer) {
  struct Row {
    const char *Name;
    std::vector<EFI_STATUS> Script;
    UINTN Size;
    std::u16string Text;
    const char16_t *Expected;  // null: no result
  };
  const std::vector<Row> Rows = {
      {"no data on the probe", {EFI_SUCCESS}, 0, u"", u""},
      {"text filling every reported byte", {EFI_BUFFER_TOO_SMALL, EFI_SUCCESS}, 8, u"OFFS", u"OFFS"},
      {"odd reported size", {EFI_BUFFER_TOO_SMALL, EFI_SUCCESS}, 5, u"AB", u"AB"},
      {"second call fails", {EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR}, 8, u"", nullptr},
      {"unknown variable", {EFI_NOT_FOUND}, 0, u"", nullptr},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    FormBrowser2 = FakeBrowser::Install(R.Script, R.Size, R.Text);
    const std::size_t Held = sim::HeldBlocks();
    CHAR16 *Result = BrowserDataExchange(TLX_ADDONCARD_OOB_VAR, nullptr);
    if (R.Expected == nullptr) {
      EXPECT_EQ(Result, nullptr);
    } else {
      ASSERT_NE(Result, nullptr);
      EXPECT_EQ(std::u16string(Result), R.Expected);
    }
    if (Result != nullptr) Bs()->FreePool(Result);
    EXPECT_EQ(sim::HeldBlocks(), Held);
  }
}

TEST_F(BrowserDataTest, NamesEachVariableWithItsOwnVendorGuid) {
  FormBrowser2 = FakeBrowser::Install({EFI_SUCCESS, EFI_SUCCESS}, 0, u"");
  const CHAR16 *Body = u"OFFSET=0&WIDTH=1&VALUE=00";
  EXPECT_EQ(BrowserDataExchange(TLX_ADDONCARD_PCI_VAR, Body), Body);
  EXPECT_TRUE(GuidEquals(*FakeBrowser::LastGuid, ADDONCARD_PCI_VAR_GUID));
  EXPECT_EQ(BrowserDataExchange(TLX_ADDONCARD_OOB_VAR, Body), Body);
  EXPECT_TRUE(GuidEquals(*FakeBrowser::LastGuid, ADDONCARD_FORMSET_GUID));
}

TEST_F(BrowserDataTest, WriteAndReadGoThroughTheOpenFormSet) {
  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  ADDONCARD_PCI_ID_LIST Record = ADDONCARD_PCI_DEFAULTS;
  Record.VendorId[3] = 0xBEEF;
  Record.PairCount = 4;
  EXPECT_TRUE(
      WriteBrowserData(TLX_ADDONCARD_PCI_VAR, sizeof(Record), reinterpret_cast<const UINT8 *>(&Record)));
  std::vector<UINT8> *Edit = sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR);
  ASSERT_NE(Edit, nullptr);
  EXPECT_EQ(std::memcmp(Edit->data(), &Record, sizeof(Record)), 0);

  (*sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR))[1023] = 0x5A;
  ADDONCARD_OOB_SLOTS Oob = {};
  EXPECT_TRUE(ReadBrowserData(TLX_ADDONCARD_OOB_VAR, sizeof(Oob), Oob.Slot));
  EXPECT_EQ(Oob.Slot[1023], 0x5A);
}

struct RouterSpy {
  static inline EFI_HII_CONFIG_ROUTING_PROTOCOL Table{};
  static inline EFI_HII_CONFIG_ROUTING_PROTOCOL *Real = nullptr;
  static inline std::u16string Request;
  static inline const char16_t *Answer = nullptr;  // replaces the real answer when set

  static void Wrap(const char16_t *Replacement) {
    if (ConfigRouting != &Table) Real = ConfigRouting;
    Table = *Real;
    Table.BlockToConfig = BlockToConfig;
    ConfigRouting = &Table;
    Answer = Replacement;
  }
  static EFI_STATUS EFIAPI BlockToConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *ConfigRequest,
                                         const UINT8 *Block, UINTN Size, CHAR16 **Config, CHAR16 **Progress) {
    Request = ConfigRequest;
    EFI_STATUS Status = Real->BlockToConfig(Real, ConfigRequest, Block, Size, Config, Progress);
    if (Answer != nullptr && !EFI_ERROR(Status)) std::char_traits<char16_t>::copy(*Config, Answer, 4);
    return Status;
  }
};

TEST_F(BrowserDataTest, WriteSendsTheWholeBlockRequestAndChecksTheAnswersHeader) {
  const ADDONCARD_PCI_ID_LIST Record = ADDONCARD_PCI_DEFAULTS;
  const auto *Block = reinterpret_cast<const UINT8 *>(&Record);
  // Asked for its buffer first, the browser reports its size; then it takes the block.
  FormBrowser2 = FakeBrowser::Install({EFI_BUFFER_TOO_SMALL, EFI_SUCCESS}, 82, u"");
  RouterSpy::Wrap(nullptr);
  EXPECT_TRUE(WriteBrowserData(TLX_ADDONCARD_PCI_VAR, sizeof(Record), Block));
  EXPECT_EQ(RouterSpy::Request, std::u16string(PLACEHOLDER_CONFIG_HDR) + u"&OFFSET=0&WIDTH=0000000000000029");
  ASSERT_EQ(FakeBrowser::Received.size(), 1u);
  EXPECT_EQ(FakeBrowser::Received[0].substr(0, 16), u"OFFSET=0&WIDTH=0");

  // An answer that does not repeat the header (here cut short at 3 characters, or
  // starting differently) is never stepped into, and nothing reaches the browser.
  for (const char16_t *Answer : {u"GUI\0", u"XUID"}) {
    FormBrowser2 = FakeBrowser::Install({EFI_SUCCESS, EFI_SUCCESS}, 0, u"");
    RouterSpy::Wrap(Answer);
    const std::size_t Held = sim::HeldBlocks();
    EXPECT_FALSE(WriteBrowserData(TLX_ADDONCARD_PCI_VAR, sizeof(Record), Block));
    EXPECT_TRUE(FakeBrowser::Received.empty());
    EXPECT_EQ(sim::HeldBlocks(), Held);
  }
}

TEST_F(BrowserDataTest, ReadAndWriteFailWithoutLeaking) {
  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  struct Row {
    const char *Name;
    bool Write;
    std::function<void()> Arrange;
  };
  const auto NoBrowser = [] { sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND); };
  const std::vector<Row> Rows = {
      {"read: no browser installed", false, NoBrowser},
      {"read: browser fails", false,
       [] { sim::FailService("FormBrowser2.BrowserCallback", EFI_DEVICE_ERROR); }},
      {"read: results block", false, [] { sim::FailNthAllocation(1); }},
      {"read: configuration text", false, [] { sim::FailNthAllocation(2); }},
      {"read: router refuses", false,
       [] { sim::FailService("ConfigRouting.ConfigToBlock", EFI_INVALID_PARAMETER); }},
      {"read: browser holds no data", false,
       [] { FormBrowser2 = FakeBrowser::Install({EFI_SUCCESS}, 0, u""); }},
      {"write: no browser installed", true, NoBrowser},
      {"write: request block", true, [] { sim::FailNthAllocation(1); }},
      {"write: router refuses", true,
       [] { sim::FailService("ConfigRouting.BlockToConfig", EFI_INVALID_PARAMETER); }},
      {"write: browser fails when asked for its buffer", true,
       [] { sim::FailService("FormBrowser2.BrowserCallback", EFI_DEVICE_ERROR); }},
      {"write: browser refuses the block", true,
       [] { FormBrowser2 = FakeBrowser::Install({EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR}, 82, u""); }},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    ADDONCARD_OOB_SLOTS Oob = {};
    R.Arrange();
    const std::size_t Held = sim::HeldBlocks();
    EXPECT_FALSE(R.Write ? WriteBrowserData(TLX_ADDONCARD_OOB_VAR, sizeof(Oob), Oob.Slot)
                         : ReadBrowserData(TLX_ADDONCARD_OOB_VAR, sizeof(Oob), Oob.Slot));
    EXPECT_EQ(sim::HeldBlocks(), Held);
    sim::ClearFaults();
    FormBrowser2 = nullptr;
  }
  // A variable the open form set does not declare is refused as well, and is
  // not even converted for the browser.
  ADDONCARD_OOB_SLOTS Oob = {};
  sim::ResetServiceCallCounts();
  EXPECT_FALSE(WriteBrowserData(u"NoSuchVariable", sizeof(Oob), Oob.Slot));
  EXPECT_EQ(sim::ServiceCallCount("ConfigRouting.BlockToConfig"), 0u);
  EXPECT_FALSE(ReadBrowserData(u"NoSuchVariable", sizeof(Oob), Oob.Slot));
}

}  // namespace

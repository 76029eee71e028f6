// The driver's configuration access on its handle: answers of ExtractConfig for
// every store, the defaults as a real alternate configuration, the Progress
// contract on every refusal, RouteConfig over the stored variable, Callback, and
// round trips through the simulated router, export and keyword handler.
#include "forms/config_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/config_text.h"
#include "tests/driver_hii_fixture.h"
#include "tests/sim_hii_builders.h"

namespace {

using hiitest::Bytes;
using hiitest::Take;
constexpr std::size_t NoProgress = std::u16string::npos;

template <typename T>
Bytes BytesOf(const T &Record) {
  const auto *P = reinterpret_cast<const UINT8 *>(&Record);
  return Bytes(P, P + sizeof(T));
}

std::u16string Header(const EFI_GUID &Guid, const CHAR16 *Name) {
  return hiitest::Header(Guid, Name, hiitest::VendorPath(ADDONCARD_FORMSET_GUID));
}
const std::u16string OobHeader = Header(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR);
const std::u16string StringHeader = Header(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_STRING_VAR);
const std::u16string PciHeader = Header(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR);

// VALUE digits of a block as the router writes them: last byte first, lowercase.
std::u16string Value(const Bytes &Block) { return sim::cfgtext::HexOfNumber(Block.data(), Block.size()); }

// The PCI list the tests store: two pairs, so that it differs from the defaults.
constexpr ADDONCARD_PCI_ID_LIST EDITED = {{0xABCD, 0x1234}, {0x0042, 0x5678}, 2};

// The answer for every byte of the PCI store, its defaults behind it.
std::u16string WholePciAnswer(const Bytes &Current) {
  const std::u16string Element = u"&OFFSET=0&WIDTH=0000000000000029";
  return PciHeader + Element + u"&VALUE=" + Value(Current) + u"&" + PciHeader + u"&ALTCFG=0000" + Element +
         u"&VALUE=" + Value(BytesOf(ADDONCARD_PCI_DEFAULTS));
}

struct Extracted {
  EFI_STATUS Status;
  std::u16string Results;
  std::size_t ProgressAt;  // NoProgress: Progress null
};

class ConfigAccessTest : public RegisteredDriverTest {
 protected:
  void SetUp() override {
    RegisteredDriverTest::SetUp();
    FillAddOnCardConfigAccess();
    // Start-up puts the protocol on the handle that carries the path and the forms.
    ASSERT_EQ(Bs()->InstallProtocolInterface(&DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &AddOnCardConfigAccess),
              EFI_SUCCESS);
    Oob = Bytes(1024, 0);
    Oob[5] = 0x42;
    Oob[1023] = 0x7F;
    Strings = Bytes(25600, 0);
    Strings[512] = 'H';
    Strings[514] = 'i';
    sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, 0x6, Oob);
    sim::WriteVariable(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID, 0x6, Strings);
    sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x7, BytesOf(EDITED));
  }

  static Extracted Extract(const CHAR16 *Request) {
    CHAR16 *Progress = nullptr;
    CHAR16 *Results = nullptr;
    EFI_STATUS Status =
        AddOnCardConfigAccess.ExtractConfig(&AddOnCardConfigAccess, Request, &Progress, &Results);
    return {Status, Take(Results), Progress == nullptr ? NoProgress : std::size_t(Progress - Request)};
  }
  static Extracted Extract(const std::u16string &Request) { return Extract(Request.c_str()); }
  static Extracted Route(const std::u16string &Configuration) {
    CHAR16 *Progress = nullptr;
    EFI_STATUS Status =
        AddOnCardConfigAccess.RouteConfig(&AddOnCardConfigAccess, Configuration.c_str(), &Progress);
    return {Status, u"", Progress == nullptr ? NoProgress : std::size_t(Progress - Configuration.c_str())};
  }
  static Bytes Stored(const std::u16string &Name, const EFI_GUID &Guid, UINT32 *Attributes = nullptr) {
    auto Found = sim::FindVariable(Name, Guid);
    if (!Found) return {};
    if (Attributes != nullptr) *Attributes = Found->Attributes;
    return Found->Data;
  }
  static Bytes StoredPci() { return Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID); }
  static EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
    return hiitest::Locate<EFI_HII_CONFIG_ROUTING_PROTOCOL>(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID);
  }

  Bytes Oob;
  Bytes Strings;
};

// ---- answers ------------------------------------------------------------------------

TEST_F(ConfigAccessTest, ABareHeaderIsAnsweredWithTheWholeStoreReloadedFromItsVariable) {
  Extracted A = Extract(OobHeader);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, OobHeader + u"&OFFSET=0&WIDTH=0000000000000400&VALUE=" + Value(Oob));
  EXPECT_EQ(A.ProgressAt, OobHeader.size());
  EXPECT_EQ(BytesOf(OobVarCopy), Oob);

  A = Extract(StringHeader);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, StringHeader + u"&OFFSET=0&WIDTH=0000000000006400&VALUE=" + Value(Strings));
  EXPECT_EQ(A.ProgressAt, StringHeader.size());
  EXPECT_EQ(BytesOf(StringVarCopy), Strings);

  A = Extract(PciHeader);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, WholePciAnswer(BytesOf(EDITED)));
  EXPECT_EQ(A.ProgressAt, PciHeader.size());
  EXPECT_EQ(BytesOf(PciIdListCopy), BytesOf(EDITED));
}

TEST_F(ConfigAccessTest, ElementsAreAnsweredAsAskedAndThePciDefaultsFollowTheSameElements) {
  std::u16string Request = OobHeader + u"&OFFSET=5&WIDTH=1&OFFSET=3FF&WIDTH=1&OFFSET=4&WIDTH=2";
  Extracted A = Extract(Request);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(
      A.Results,
      OobHeader + u"&OFFSET=5&WIDTH=1&VALUE=42&OFFSET=3ff&WIDTH=1&VALUE=7f&OFFSET=4&WIDTH=2&VALUE=4200");
  EXPECT_EQ(A.ProgressAt, Request.size());

  Request = PciHeader + u"&OFFSET=0&WIDTH=2&OFFSET=28&WIDTH=1";
  A = Extract(Request);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, PciHeader + u"&OFFSET=0&WIDTH=2&VALUE=abcd&OFFSET=28&WIDTH=1&VALUE=02&" + PciHeader +
                           u"&ALTCFG=0000&OFFSET=0&WIDTH=2&VALUE=15b3&OFFSET=28&WIDTH=1&VALUE=01");
  EXPECT_EQ(A.ProgressAt, Request.size());
}

// The defaults are a UEFI alternate configuration: the platform's own
// conversion reads them back as the default record under the store's header.
TEST_F(ConfigAccessTest, ThePciDefaultsReadBackAsTheDefaultRecord) {
  Extracted A = Extract(PciHeader);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  std::size_t Alternate = A.Results.find(u"&ALTCFG=0000");
  ASSERT_NE(Alternate, std::u16string::npos);
  ASSERT_EQ(A.Results.rfind(u"&GUID=", Alternate), Alternate - PciHeader.size() - 1);
  std::u16string Defaults = PciHeader + A.Results.substr(Alternate + 12);
  Bytes Block(41, 0xEE);
  UINTN Size = Block.size();
  CHAR16 *Progress = nullptr;
  ASSERT_EQ(Router()->ConfigToBlock(Router(), Defaults.c_str(), Block.data(), &Size, &Progress), EFI_SUCCESS);
  EXPECT_EQ(Block, BytesOf(ADDONCARD_PCI_DEFAULTS));
}

// A null request asks for everything the driver holds; an export is made of
// exactly that answer, so a store left out would be missing from it.
TEST_F(ConfigAccessTest, ANullRequestAnswersEveryStoreAndTheExportCarriesThem) {
  Extracted A = Extract(nullptr);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.ProgressAt, NoProgress);
  const std::u16string All = OobHeader + u"&OFFSET=0&WIDTH=0000000000000400&VALUE=" + Value(Oob) + u"&" +
                             StringHeader + u"&OFFSET=0&WIDTH=0000000000006400&VALUE=" + Value(Strings) +
                             u"&" + WholePciAnswer(BytesOf(EDITED));
  EXPECT_EQ(A.Results, All);

  CHAR16 *Export = nullptr;
  ASSERT_EQ(Router()->ExportConfig(Router(), &Export), EFI_SUCCESS);
  EXPECT_EQ(Take(Export), All);
}

// ---- refusals -------------------------------------------------------------------------

TEST_F(ConfigAccessTest, RequestsForNoStoreOfTheDriverAreNotFoundWithProgressAtTheStart) {
  const std::u16string Upper = PciHeader.substr(0, 5) + u"E9DDC9C6" + PciHeader.substr(13);
  const std::u16string Rows[] = {
      Header(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_PCI_VAR) +
          u"&OFFSET=0&WIDTH=1",  // the PCI name, wrong GUID
      Header(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_OOB_VAR),
      Upper,  // GUID digits in uppercase
      u"GUID=" + PciHeader.substr(5, 32) + u"&NAME=0054",
      u"OFFSET=0&WIDTH=1",
      u"",
  };
  for (const std::u16string &Request : Rows) {
    SCOPED_TRACE(std::string(Request.begin(), Request.end()));
    Extracted A = Extract(Request);
    EXPECT_EQ(A.Status, EFI_NOT_FOUND);
    EXPECT_EQ(A.ProgressAt, 0u);
    EXPECT_EQ(A.Results, u"<null>");
    Extracted R = Route(Request + u"&VALUE=00");
    EXPECT_EQ(R.Status, EFI_NOT_FOUND);
    EXPECT_EQ(R.ProgressAt, 0u);
  }
  EXPECT_EQ(StoredPci(), BytesOf(EDITED));
}

// Progress names the "&" in front of the first element that cannot be served,
// or the start when the header is malformed or a configuration has no element;
// nothing is read or written.
TEST_F(ConfigAccessTest, IllegalSyntaxIsRefusedAtTheFailingElement) {
  struct Row {
    const char *Name;
    std::u16string Good;  // up to the failing element; Progress points behind it
    std::u16string Bad;
    bool Route;
  };
  const std::u16string OddPath = OobHeader.substr(0, OobHeader.size() - 1);
  const Row Rows[] = {
      {"past the store", OobHeader + u"&OFFSET=0&WIDTH=1", u"&OFFSET=3FF&WIDTH=2", false},
      {"offset past the store", PciHeader, u"&OFFSET=29&WIDTH=1", false},
      {"width zero", OobHeader, u"&OFFSET=0&WIDTH=0", false},
      {"offset and width overflow", OobHeader, u"&OFFSET=FFFFFFFFFFFFFFFF&WIDTH=2", false},
      {"more than 64 bits", OobHeader, u"&OFFSET=10000000000000000&WIDTH=1", false},
      {"no width", OobHeader, u"&OFFSET=0", false},
      {"width first", OobHeader, u"&WIDTH=1&OFFSET=0", false},
      {"unknown name", OobHeader + u"&OFFSET=0&WIDTH=1", u"&FOO=1", false},
      {"trailing &", OobHeader + u"&OFFSET=0&WIDTH=1", u"&", false},
      {"a second store", OobHeader + u"&OFFSET=0&WIDTH=1", u"&" + PciHeader + u"&OFFSET=0&WIDTH=1", false},
      {"a value in a request", OobHeader + u"&OFFSET=0&WIDTH=1", u"&VALUE=00", false},
      {"malformed path", u"", OddPath, false},
      {"value too short for its width", PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=3",
       u"&OFFSET=0&WIDTH=2&VALUE=7", true},
      {"value too long", PciHeader, u"&OFFSET=28&WIDTH=1&VALUE=123", true},
      {"value not hex", PciHeader, u"&OFFSET=28&WIDTH=1&VALUE=0G", true},
      {"value missing", PciHeader, u"&OFFSET=28&WIDTH=1", true},
      {"value past the store", StringHeader, u"&OFFSET=63FF&WIDTH=2&VALUE=0000", true},
      {"alternate in a configuration", PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=03",
       u"&ALTCFG=0000&OFFSET=28&WIDTH=1&VALUE=01", true},
      {"a second store", PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=03",
       u"&" + OobHeader + u"&OFFSET=0&WIDTH=1&VALUE=01", true},
      {"header only", u"", PciHeader, true},
      {"malformed path", u"", OddPath + u"&OFFSET=0&WIDTH=1&VALUE=00", true},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    Extracted A = R.Route ? Route(R.Good + R.Bad) : Extract(R.Good + R.Bad);
    EXPECT_EQ(A.Status, EFI_INVALID_PARAMETER);
    EXPECT_EQ(A.ProgressAt, R.Good.size());
    EXPECT_EQ(A.Results, R.Route ? u"" : u"<null>");
  }
  EXPECT_EQ(StoredPci(), BytesOf(EDITED));
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID), Oob);
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

TEST_F(ConfigAccessTest, NullArgumentsAreRefusedAndNothingIsWritten) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EXPECT_EQ(ExtractConfig(nullptr, PciHeader.c_str(), nullptr, &Results), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ExtractConfig(nullptr, PciHeader.c_str(), &Progress, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Results, nullptr);
  EXPECT_EQ(Progress, nullptr);
  EXPECT_EQ(RouteConfig(nullptr, nullptr, &Progress), EFI_INVALID_PARAMETER);
  const std::u16string Config = PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=05";
  EXPECT_EQ(RouteConfig(nullptr, Config.c_str(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(StoredPci(), BytesOf(EDITED));
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

// ---- routing ------------------------------------------------------------------------

TEST_F(ConfigAccessTest, RouteConfigWritesTheVariableThenPublishesItToTheCopyAndTheBrowser) {
  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  // No value check: a count of 12 is stored as routed; readers clamp it.
  const std::u16string Config = PciHeader + u"&OFFSET=0&WIDTH=2&VALUE=BEEF&OFFSET=28&WIDTH=1&VALUE=C";
  Extracted R = Route(Config);
  ASSERT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.ProgressAt, Config.size());
  ADDONCARD_PCI_ID_LIST Expected = EDITED;
  Expected.VendorId[0] = 0xBEEF;
  Expected.PairCount = 12;
  UINT32 Attributes = 0;
  EXPECT_EQ(Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, &Attributes), BytesOf(Expected));
  EXPECT_EQ(Attributes, 0x7u);
  EXPECT_EQ(BytesOf(PciIdListCopy), BytesOf(Expected));
  EXPECT_EQ(*sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR), BytesOf(Expected));

  // Overlapping elements land in order; the volatile stores keep their attributes.
  ASSERT_EQ(Route(OobHeader + u"&OFFSET=3FE&WIDTH=2&VALUE=1111&OFFSET=3FF&WIDTH=1&VALUE=22").Status,
            EFI_SUCCESS);
  Bytes Want = Oob;
  Want[1022] = 0x11;
  Want[1023] = 0x22;
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, &Attributes), Want);
  EXPECT_EQ(Attributes, 0x6u);
  EXPECT_EQ(*sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR), Want);
}

// The router writes UEFI variable stores itself (a keyword set, for one), so
// the driver's copy may be older than the variable: routing starts from the
// variable and loses none of those writes.
TEST_F(ConfigAccessTest, RouteConfigKeepsWhatTheRouterWroteToTheVariableMeanwhile) {
  ASSERT_EQ(Extract(PciHeader).Status, EFI_SUCCESS);  // the copy now holds EDITED
  CHAR16 *Progress = nullptr;
  const std::u16string ByRouter = PciHeader + u"&OFFSET=0&WIDTH=2&VALUE=1af4";
  ASSERT_EQ(Router()->RouteConfig(Router(), ByRouter.c_str(), &Progress), EFI_SUCCESS);
  ASSERT_EQ(Route(PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=03").Status, EFI_SUCCESS);
  ADDONCARD_PCI_ID_LIST Expected = EDITED;
  Expected.VendorId[0] = 0x1AF4;
  Expected.PairCount = 3;
  EXPECT_EQ(StoredPci(), BytesOf(Expected));
  EXPECT_EQ(BytesOf(PciIdListCopy), BytesOf(Expected));
}

TEST_F(ConfigAccessTest, AFailedRouteChangesNeitherTheVariableNorTheCopy) {
  ASSERT_EQ(Extract(PciHeader).Status, EFI_SUCCESS);
  const std::u16string Config = PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=09";
  const struct {
    const char *Service;
    EFI_STATUS Status;
  } Rows[] = {
      {"RuntimeServices.SetVariable", EFI_WRITE_PROTECTED},
      {"ConfigRouting.ConfigToBlock", EFI_DEVICE_ERROR},
      {"RuntimeServices.GetVariable", EFI_DEVICE_ERROR},  // the variable cannot be read afresh
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Service);
    sim::FailService(Row.Service, Row.Status);
    Extracted R = Route(Config);
    EXPECT_EQ(R.Status, Row.Status);
    EXPECT_EQ(R.ProgressAt, 0u);
    EXPECT_EQ(StoredPci(), BytesOf(EDITED));
    EXPECT_EQ(BytesOf(PciIdListCopy), BytesOf(EDITED));
  }
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

// ---- failures of the platform ----------------------------------------------------

// Every allocation in turn fails: the call either succeeds or reports the
// failure with no answer, and no block is left behind.
TEST_F(ConfigAccessTest, EveryAllocationFailureIsReportedAndLeavesNoBlock) {
  const std::function<EFI_STATUS()> Calls[] = {
      [] { return Extract(nullptr).Status; },
      [] { return Extract(PciHeader).Status; },
      [] { return Extract(StringHeader + u"&OFFSET=0&WIDTH=4").Status; },
      [] { return Route(PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=01").Status; },
  };
  for (std::size_t Call = 0; Call < std::size(Calls); ++Call) {
    SCOPED_TRACE(Call);
    bool Refused = false;
    for (std::size_t N = 1; N <= 40; ++N) {
      sim::FailNthAllocation(N);
      const EFI_STATUS Status = Calls[Call]();
      Refused = Refused || Status == EFI_OUT_OF_RESOURCES;
      EXPECT_TRUE(Status == EFI_SUCCESS || Status == EFI_OUT_OF_RESOURCES)
          << "allocation " << N << ": " << Status;
      sim::FailNthAllocation(0);
      EXPECT_EQ(sim::HeldBlocks(), 0u) << "allocation " << N;
    }
    EXPECT_TRUE(Refused);
    EXPECT_EQ(Calls[Call](), EFI_SUCCESS);
  }
}

// Without its defaults the current configuration is still a whole answer.
TEST_F(ConfigAccessTest, DefaultsThatCannotBeAppendedAreLeftOut) {
  const std::u16string Request = PciHeader + u"&OFFSET=28&WIDTH=1";
  const std::u16string Current = Request + u"&VALUE=02";
  for (std::size_t N : {2u, 3u}) {  // the defaults' conversion, then the joined answer
    SCOPED_TRACE(N);
    sim::FailNthAllocation(N);
    Extracted A = Extract(Request);
    EXPECT_EQ(A.Status, EFI_SUCCESS);
    EXPECT_EQ(A.Results, Current);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
  sim::FailService("ConfigRouting.BlockToConfig", EFI_DEVICE_ERROR);
  Extracted A = Extract(Request);
  EXPECT_EQ(A.Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(A.Results, u"<null>");
  EXPECT_EQ(A.ProgressAt, 0u);

  CHAR16 *Results = nullptr;
  EXPECT_EQ(AppendPciDefaults(Request.c_str(), &ADDONCARD_PCI_DEFAULTS, &Results), EFI_INVALID_PARAMETER);
  EXPECT_EQ(AppendPciDefaults(nullptr, &ADDONCARD_PCI_DEFAULTS, &Results), EFI_INVALID_PARAMETER);
}

TEST_F(ConfigAccessTest, WithoutARouterNothingIsConvertedOrWritten) {
  ConfigRouting = nullptr;
  sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND, -1);
  EXPECT_EQ(Extract(PciHeader).Status, EFI_NOT_READY);
  EXPECT_EQ(Route(PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=09").Status, EFI_NOT_READY);
  EXPECT_EQ(StoredPci(), BytesOf(EDITED));
  sim::ClearFaults();
}

// ---- callback -----------------------------------------------------------------------

// A browser that holds scripted texts for the OOB and PCI stores and records
// what is handed back.
struct ScriptedBrowser {
  static inline EFI_FORM_BROWSER2_PROTOCOL Table{};
  static inline std::u16string OobText;
  static inline std::u16string PciText;
  static inline std::vector<std::u16string> Received;

  static EFI_STATUS EFIAPI Callback(const EFI_FORM_BROWSER2_PROTOCOL *, UINTN *Size, CHAR16 *Data,
                                    BOOLEAN Retrieve, const EFI_GUID *, const CHAR16 *Name) {
    if (!Retrieve) {
      Received.push_back(Data);
      return EFI_SUCCESS;
    }
    const std::u16string &Text = std::u16string(Name) == TLX_ADDONCARD_OOB_VAR ? OobText : PciText;
    if (Text.empty()) return EFI_NOT_FOUND;
    const UINTN Needed = (Text.size() + 1) * sizeof(CHAR16);
    if (*Size < Needed) {
      *Size = Needed;
      return EFI_BUFFER_TOO_SMALL;
    }
    std::memcpy(Data, Text.c_str(), Needed);
    return EFI_SUCCESS;
  }
};

TEST_F(ConfigAccessTest, CallbackHandsTheBrowsersBuffersBackUnchanged) {
  EFI_IFR_TYPE_VALUE *NoValue = nullptr;
  EFI_BROWSER_ACTION_REQUEST Request = 0x5A;
  // No form set open: no edit buffer to refresh.
  EXPECT_EQ(Callback(nullptr, EFI_BROWSER_ACTION_CHANGED, 0xC015, 0, NoValue, &Request), EFI_NOT_FOUND);

  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  std::vector<UINT8> *OobEdit = sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR);
  std::vector<UINT8> *PciEdit = sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR);
  (*OobEdit)[7] = 0x77;
  (*PciEdit)[0x28] = 5;
  const Bytes OobBefore = *OobEdit;
  const Bytes PciBefore = *PciEdit;
  for (EFI_BROWSER_ACTION Action : {EFI_BROWSER_ACTION_CHANGING, EFI_BROWSER_ACTION_FORM_OPEN}) {
    EXPECT_EQ(Callback(nullptr, Action, 0xC001, 0, NoValue, &Request), EFI_SUCCESS);
    EXPECT_EQ(*OobEdit, OobBefore);
    EXPECT_EQ(*PciEdit, PciBefore);
  }
  EXPECT_EQ(Request, 0x5Au);

  sim::FailService("FormBrowser2.BrowserCallback", EFI_DEVICE_ERROR);
  EXPECT_EQ(Callback(nullptr, EFI_BROWSER_ACTION_CHANGED, 0xC001, 0, NoValue, &Request), EFI_NOT_FOUND);
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

// A browser text that names only some bytes: the rest goes back as the driver's
// copy holds them, never as whatever the stack held.
TEST_F(ConfigAccessTest, CallbackFillsBytesTheBrowserDoesNotNameFromTheCopy) {
  ASSERT_EQ(Extract(OobHeader).Status, EFI_SUCCESS);  // the copy holds Oob
  ScriptedBrowser::Table.BrowserCallback = ScriptedBrowser::Callback;
  ScriptedBrowser::OobText = u"OFFSET=0&WIDTH=1&VALUE=09";
  ScriptedBrowser::PciText = u"OFFSET=0&WIDTH=29&VALUE=" + Value(BytesOf(EDITED));
  ScriptedBrowser::Received.clear();
  FormBrowser2 = &ScriptedBrowser::Table;
  ASSERT_EQ(Callback(nullptr, EFI_BROWSER_ACTION_CHANGED, 0x100, 0, nullptr, nullptr), EFI_SUCCESS);
  Bytes Expected = Oob;
  Expected[0] = 0x09;
  ASSERT_EQ(ScriptedBrowser::Received.size(), 2u);
  EXPECT_EQ(ScriptedBrowser::Received[0], u"OFFSET=0&WIDTH=0000000000000400&VALUE=" + Value(Expected));
  EXPECT_EQ(ScriptedBrowser::Received[1], u"OFFSET=0&WIDTH=0000000000000029&VALUE=" + Value(BytesOf(EDITED)));
}

// ---- the platform's keyword handler -------------------------------------------------

TEST_F(ConfigAccessTest, KeywordsReadAndWriteThePciListWithTheProtocolInstalled) {
  auto *Keywords =
      hiitest::Locate<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL>(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID);
  const std::u16string Prefix =
      u"NAMESPACE=x-UEFI-QZV&PATH=" + hiitest::Hex(hiitest::VendorPath(ADDONCARD_FORMSET_GUID));
  for (const auto &[Keyword, Expected] : {std::pair{u"CSPACF00", u"abcd"}, std::pair{u"CSPACF14", u"02"}}) {
    CHAR16 *Progress = nullptr;
    CHAR16 *Results = nullptr;
    UINT32 Error = 0;
    const std::u16string Request = std::u16string(u"KEYWORD=") + Keyword;
    ASSERT_EQ(
        Keywords->GetData(Keywords, u"NAMESPACE=x-UEFI-QZV", Request.c_str(), &Progress, &Error, &Results),
        EFI_SUCCESS);
    EXPECT_EQ(Take(Results), Prefix + u"&" + Request + u"&VALUE=" + Expected);
  }

  CHAR16 *Progress = nullptr;
  UINT32 Error = 0;
  const std::u16string Set = Prefix + u"&KEYWORD=CSPACF14&VALUE=03";
  ASSERT_EQ(Keywords->SetData(Keywords, Set.c_str(), &Progress, &Error), EFI_SUCCESS);
  EXPECT_EQ(Extract(PciHeader + u"&OFFSET=28&WIDTH=1").Results.substr(0, PciHeader.size() + 27),
            PciHeader + u"&OFFSET=28&WIDTH=1&VALUE=03");
}

}  // namespace

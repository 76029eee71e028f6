// The driver's EFI_HII_CONFIG_ACCESS_PROTOCOL held to what UEFI asks of every
// such protocol, store by store, row by row: null arguments; requests for
// stores the driver does not own; requests naming several stores; elements
// that are unknown, out of range or overlapping; Progress on every error (the
// start of the text, or the "&" in front of the first element that fails; the
// terminator on success) and no answer left behind; every browser action of
// Callback, with and without Value and ActionRequest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "forms/config_access.h"
#include "sim/browser.h"
#include "sim/config_text.h"
#include "tests/driver_hii_fixture.h"
#include "tests/sim_hii_builders.h"
#include "uefi/ifr.h"

namespace {

using hiitest::Bytes;

struct STORE {
  const char *Label;
  const CHAR16 *Name;
  const EFI_GUID *Guid;
  std::size_t Size;
  UINT32 Attributes;
};
const STORE Stores[] = {
    {"OOB", TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, sizeof(ADDONCARD_OOB_SLOTS), 0x6},
    {"STRING", TLX_ADDONCARD_STRING_VAR, &ADDONCARD_FORMSET_GUID, sizeof(ADDONCARD_STRING_SLOTS), 0x6},
    {"PCI", TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, sizeof(ADDONCARD_PCI_ID_LIST), 0x7},
};

std::u16string Header(const EFI_GUID &Guid, const CHAR16 *Name) {
  return hiitest::Header(Guid, Name, hiitest::VendorPath(ADDONCARD_FORMSET_GUID));
}
std::u16string Header(const STORE &S) { return Header(*S.Guid, S.Name); }
std::u16string Hex(std::size_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "%zx", Value);
  return std::u16string(Text, Text + std::strlen(Text));
}
std::u16string Element(std::size_t Offset, std::size_t Width) {
  return u"&OFFSET=" + Hex(Offset) + u"&WIDTH=" + Hex(Width);
}
std::u16string Zeros(std::size_t Width) { return u"&VALUE=" + std::u16string(2 * Width, u'0'); }

// Where Progress must point: the start of the text, behind the good part, or
// (success) the terminator.
enum class At { Start, Bad, End };

// A request or configuration: Good, then Bad (empty for a whole text).
struct ROW {
  std::string Name;
  std::u16string Good;
  std::u16string Bad;
  EFI_STATUS Status;
  At Progress;
};

class ConfigAccessConformanceTest : public RegisteredDriverTest {
 protected:
  void SetUp() override {
    RegisteredDriverTest::SetUp();
    FillAddOnCardConfigAccess();
    ASSERT_EQ(Bs()->InstallProtocolInterface(&DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &AddOnCardConfigAccess),
              EFI_SUCCESS);
    // Every store holds a pattern, so that an answer or a write shows.
    for (const STORE &S : Stores) {
      Bytes Data(S.Size);
      for (std::size_t Index = 0; Index < S.Size; ++Index) Data[Index] = static_cast<UINT8>(Index * 7 + 1);
      sim::WriteVariable(S.Name, *S.Guid, S.Attributes, Data);
    }
    Stored = Variables();
  }

  static std::vector<Bytes> Variables() {
    std::vector<Bytes> All;
    for (const STORE &S : Stores) {
      auto Found = sim::FindVariable(S.Name, *S.Guid);
      All.push_back(Found ? Found->Data : Bytes{});
    }
    return All;
  }

  // Runs Row through ExtractConfig (Route false) or RouteConfig and checks the
  // status, Progress, that no answer is left on an error and that no variable changed.
  void Expect(const ROW &Row, bool Route) {
    SCOPED_TRACE(Row.Name + (Route ? " (RouteConfig)" : " (ExtractConfig)"));
    const std::u16string Text = Row.Good + Row.Bad;
    CHAR16 *Progress = reinterpret_cast<CHAR16 *>(0x1);
    CHAR16 *Results = reinterpret_cast<CHAR16 *>(0x1);
    const EFI_STATUS Status =
        Route ? AddOnCardConfigAccess.RouteConfig(&AddOnCardConfigAccess, Text.c_str(), &Progress)
              : AddOnCardConfigAccess.ExtractConfig(&AddOnCardConfigAccess, Text.c_str(), &Progress, &Results);
    EXPECT_EQ(Status, Row.Status);
    const std::size_t Want = Row.Progress == At::Start ? 0 : Row.Progress == At::Bad ? Row.Good.size() : Text.size();
    EXPECT_EQ(Progress, Text.c_str() + Want) << "Progress " << (Progress - Text.c_str()) << ", expected " << Want;
    if (!Route && EFI_ERROR(Status)) EXPECT_EQ(Results, nullptr);
    if (!Route && !EFI_ERROR(Status)) hiitest::Take(Results);
    if (EFI_ERROR(Status) || !Route) EXPECT_EQ(Variables(), Stored);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }

  std::vector<Bytes> Stored;
};

// ---- arguments ----------------------------------------------------------------------

TEST_F(ConfigAccessConformanceTest, EveryNullArgumentIsRefusedBeforeAnythingIsWritten) {
  const std::u16string Request = Header(Stores[2]) + Element(0, 2);
  const std::u16string Configuration = Request + Zeros(2);
  for (const CHAR16 *Text : {static_cast<const CHAR16 *>(nullptr), Request.c_str()})
    for (bool NullProgress : {false, true})
      for (bool NullResults : {false, true}) {
        if (!NullProgress && !NullResults) continue;
        SCOPED_TRACE(::testing::Message() << (Text == nullptr ? "null request" : "request") << NullProgress
                                          << NullResults);
        CHAR16 *Progress = reinterpret_cast<CHAR16 *>(0x1), *Results = reinterpret_cast<CHAR16 *>(0x1);
        EXPECT_EQ(ExtractConfig(&AddOnCardConfigAccess, Text, NullProgress ? nullptr : &Progress,
                                NullResults ? nullptr : &Results),
                  EFI_INVALID_PARAMETER);
        // Nothing is written through the pointers that were given.
        EXPECT_EQ(Progress, reinterpret_cast<CHAR16 *>(0x1));
        EXPECT_EQ(Results, reinterpret_cast<CHAR16 *>(0x1));
      }
  CHAR16 *Progress = reinterpret_cast<CHAR16 *>(0x1);
  EXPECT_EQ(RouteConfig(&AddOnCardConfigAccess, nullptr, &Progress), EFI_INVALID_PARAMETER);
  EXPECT_EQ(RouteConfig(&AddOnCardConfigAccess, Configuration.c_str(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(RouteConfig(&AddOnCardConfigAccess, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Progress, reinterpret_cast<CHAR16 *>(0x1));
  EXPECT_EQ(Variables(), Stored);
}

// ---- stores ----------------------------------------------------------------------------

TEST_F(ConfigAccessConformanceTest, StoresTheDriverDoesNotOwnAreNotFoundWithProgressAtTheStart) {
  const EFI_GUID CardGuid = {0x8011B5E5, 0x6483, 0x4F5C, {0x90, 0x26, 0xC2, 0x0D, 0xBB, 0x19, 0x27, 0xF6}};
  const std::vector<std::pair<std::string, std::u16string>> Foreign = {
      {"a card's store", hiitest::Header(CardGuid, u"RoadConfig", hiitest::VendorPath(CardGuid))},
      {"an unknown name under the driver's GUID and path", Header(ADDONCARD_FORMSET_GUID, u"TLX_ADDONCARD")},
      {"the STRING name under the PCI GUID", Header(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_STRING_VAR)},
      {"a name that only begins like a store's", Header(ADDONCARD_FORMSET_GUID, u"TLX_ADDONCARD_OOB_VARS")},
      {"a store's name cut short", Header(ADDONCARD_FORMSET_GUID, u"TLX_ADDONCARD_OOB_VA")},
      {"no GUID", u"NAME=0041&PATH=00"},
  };
  for (const auto &[Name, Head] : Foreign) {
    Expect({Name, Head + Element(0, 1), u"", EFI_NOT_FOUND, At::Start}, false);
    Expect({Name, Head + Element(0, 1) + Zeros(1), u"", EFI_NOT_FOUND, At::Start}, true);
  }
}

// A request names one store; whatever follows its elements is refused at the
// "&" in front of the second header, even when it names the same store again.
TEST_F(ConfigAccessConformanceTest, ASecondStoreIsRefusedAtItsHeaderForEveryPairOfStores) {
  for (const STORE &First : Stores)
    for (const STORE &Second : Stores) {
      const std::string Name = std::string(First.Label) + " then " + Second.Label;
      Expect({Name, Header(First) + Element(0, 1), u"&" + Header(Second) + Element(0, 1), EFI_INVALID_PARAMETER,
              At::Bad},
             false);
      Expect({Name, Header(First) + Element(0, 1) + Zeros(1),
              u"&" + Header(Second) + Element(0, 1) + Zeros(1), EFI_INVALID_PARAMETER, At::Bad},
             true);
    }
}

// ---- elements -------------------------------------------------------------------------

TEST_F(ConfigAccessConformanceTest, UnknownAndOutOfRangeElementsAreRefusedAtTheirAmpersand) {
  for (const STORE &S : Stores) {
    const std::u16string Head = Header(S);
    const std::u16string First = Head + Element(0, 1);
    struct BAD {
      const char *Name;
      std::u16string Element;
      std::size_t Width;  // of the value a configuration gives it
    };
    const BAD Bad[] = {
        {"offset at the end", Element(S.Size, 1), 1},
        {"width one past the end", Element(S.Size - 1, 2), 2},
        {"wider than the store", Element(0, S.Size + 1), S.Size + 1},
        {"width zero", Element(0, 0), 0},
        {"offset and width wrapping around", u"&OFFSET=ffffffffffffffff&WIDTH=2", 2},
        {"an unknown name", u"&LENGTH=1", 0},
        {"a label without its number", u"&OFFSET=&WIDTH=1", 1},
        {"a number that is not hex", u"&OFFSET=0x&WIDTH=1", 1},
        {"an alternate configuration", u"&ALTCFG=0000", 0},
    };
    for (const BAD &B : Bad) {
      const std::string Name = std::string(S.Label) + ": " + B.Name;
      Expect({Name, First, B.Element, EFI_INVALID_PARAMETER, At::Bad}, false);
      Expect({Name + ", first", Head, B.Element + Element(0, 1), EFI_INVALID_PARAMETER, At::Bad}, false);
      Expect({Name, First + Zeros(1), B.Element + Zeros(B.Width), EFI_INVALID_PARAMETER, At::Bad}, true);
    }
  }
}

// Overlapping elements are all answered with the bytes they name, and routed
// in order: the later one wins where they overlap.
TEST_F(ConfigAccessConformanceTest, OverlappingElementsAreAnsweredAndRoutedInOrderForEveryStore) {
  for (std::size_t Index = 0; Index < std::size(Stores); ++Index) {
    const STORE &S = Stores[Index];
    SCOPED_TRACE(S.Label);
    const std::u16string Request = Header(S) + Element(0, 4) + Element(2, 4) + Element(2, 1);
    CHAR16 *Progress = nullptr, *Results = nullptr;
    ASSERT_EQ(ExtractConfig(&AddOnCardConfigAccess, Request.c_str(), &Progress, &Results), EFI_SUCCESS);
    EXPECT_EQ(Progress, Request.c_str() + Request.size());
    const std::u16string Answer = hiitest::Take(Results);
    const Bytes &Data = Stored[Index];
    const std::u16string Want = Header(S) + u"&OFFSET=0&WIDTH=4&VALUE=" +
                                sim::cfgtext::HexOfNumber(Data.data(), 4) + u"&OFFSET=2&WIDTH=4&VALUE=" +
                                sim::cfgtext::HexOfNumber(Data.data() + 2, 4) + u"&OFFSET=2&WIDTH=1&VALUE=" +
                                sim::cfgtext::HexOfNumber(Data.data() + 2, 1);
    EXPECT_EQ(Answer.substr(0, Want.size()), Want);

    const std::u16string Configuration =
        Header(S) + u"&OFFSET=0&WIDTH=4&VALUE=11111111&OFFSET=2&WIDTH=4&VALUE=22222222&OFFSET=3&WIDTH=1&VALUE=33";
    ASSERT_EQ(RouteConfig(&AddOnCardConfigAccess, Configuration.c_str(), &Progress), EFI_SUCCESS);
    EXPECT_EQ(Progress, Configuration.c_str() + Configuration.size());
    Bytes Expected = Data;
    const UINT8 Routed[] = {0x11, 0x11, 0x22, 0x33, 0x22, 0x22};
    std::copy(std::begin(Routed), std::end(Routed), Expected.begin());
    EXPECT_EQ(Variables()[Index], Expected);
  }
}

// ---- Progress when the platform fails -------------------------------------------------

TEST_F(ConfigAccessConformanceTest, AFailingPlatformLeavesProgressAtTheStartAndNothingWritten) {
  struct FAULT {
    const char *Service;
    EFI_STATUS Status;
    bool Route;
  } Faults[] = {
      {"ConfigRouting.BlockToConfig", EFI_OUT_OF_RESOURCES, false},
      {"BootServices.AllocatePool", EFI_OUT_OF_RESOURCES, false},
      {"ConfigRouting.ConfigToBlock", EFI_DEVICE_ERROR, true},
      {"RuntimeServices.GetVariable", EFI_DEVICE_ERROR, true},
      {"RuntimeServices.SetVariable", EFI_OUT_OF_RESOURCES, true},
  };
  for (const STORE &S : Stores)
    for (const FAULT &F : Faults)
      for (bool Bare : {false, true}) {
        if (Bare && F.Route) continue;  // a configuration needs its values
        const std::u16string Text = Header(S) + (Bare ? u"" : Element(1, 2) + (F.Route ? Zeros(2) : u""));
        sim::FailService(F.Service, F.Status);
        Expect({std::string(S.Label) + ": " + F.Service + (Bare ? ", bare header" : ""), Text, u"", F.Status,
                At::Start},
               F.Route);
        sim::ClearFaults();
      }
}

// ---- Callback -----------------------------------------------------------------------

// Every action UEFI defines, with and without Value and ActionRequest: the
// edit buffers go back unchanged, Value and ActionRequest are never touched,
// and a default action is left to the form's own defaults.
TEST_F(ConfigAccessConformanceTest, CallbackAnswersEveryActionAndTouchesNeitherValueNorActionRequest) {
  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  std::vector<UINT8> *OobEdit = sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR);
  std::vector<UINT8> *PciEdit = sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR);
  ASSERT_NE(OobEdit, nullptr);
  ASSERT_NE(PciEdit, nullptr);
  (*OobEdit)[3] = 0x5A;
  const Bytes OobBefore = *OobEdit, PciBefore = *PciEdit;
  const struct {
    EFI_BROWSER_ACTION Action;
    EFI_STATUS Status;
  } Actions[] = {
      {EFI_BROWSER_ACTION_CHANGING, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_CHANGED, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_RETRIEVE, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_FORM_OPEN, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_FORM_CLOSE, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_SUBMITTED, EFI_SUCCESS},
      {EFI_BROWSER_ACTION_DEFAULT_STANDARD, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_MANUFACTURING, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_SAFE, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_PLATFORM, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_HARDWARE, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_FIRMWARE, EFI_UNSUPPORTED},
      {EFI_BROWSER_ACTION_DEFAULT_STANDARD + 0x0FFF, EFI_UNSUPPORTED},
  };
  for (const auto &Row : Actions)
    for (bool WithValue : {false, true})
      for (bool WithRequest : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "action 0x" << std::hex << Row.Action << " value " << WithValue
                                          << " request " << WithRequest);
        EFI_IFR_TYPE_VALUE Value;
        std::memset(&Value, 0xC3, sizeof(Value));
        EFI_BROWSER_ACTION_REQUEST Request = 0x77;
        EXPECT_EQ(Callback(&AddOnCardConfigAccess, Row.Action, 0xC001, EFI_IFR_TYPE_NUM_SIZE_16,
                           WithValue ? &Value : nullptr, WithRequest ? &Request : nullptr),
                  Row.Status);
        const UINT8 *Bytes_ = reinterpret_cast<const UINT8 *>(&Value);
        EXPECT_TRUE(std::all_of(Bytes_, Bytes_ + sizeof(Value), [](UINT8 B) { return B == 0xC3; }));
        EXPECT_EQ(Request, 0x77u);
        EXPECT_EQ(*OobEdit, OobBefore);
        EXPECT_EQ(*PciEdit, PciBefore);
      }
  EXPECT_EQ(Variables(), Stored);
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

}  // namespace

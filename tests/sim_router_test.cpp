// The simulated configuration router: block conversions, routing to a driver's
// buffer store, and UEFI variable stores the router serves itself.
#include <gtest/gtest.h>

#include "sim/card_fixture.h"
#include "sim/config_text.h"
#include "tests/sim_fixture.h"
#include "tests/sim_hii_builders.h"

namespace {

using hiitest::Bytes;
using hiitest::Take;

constexpr EFI_GUID StoreGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
constexpr EFI_GUID PathGuid = {0xA0A0A0A0, 0xB1B1, 0xC2C2, {1, 2, 3, 4, 5, 6, 7, 8}};
const std::u16string Placeholder = u"GUID=00000000000000000000000000000000&NAME=0000&PATH=00";

// The 41-byte default PCI ID record: 0x15B3/0x1021, one pair.
Bytes DefaultRecord() {
  Bytes R(41, 0);
  R[0] = 0xB3, R[1] = 0x15, R[0x14] = 0x21, R[0x15] = 0x10, R[0x28] = 1;
  return R;
}

class RouterTest : public SimTest {
 protected:
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
    return hiitest::Locate<EFI_HII_CONFIG_ROUTING_PROTOCOL>(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID);
  }
  EFI_STATUS BlockToConfig(const std::u16string &Request, const Bytes &Block, std::u16string *Config,
                           std::size_t *ProgressAt) {
    CHAR16 *Out = nullptr;
    CHAR16 *Progress = nullptr;
    EFI_STATUS Status =
        Router()->BlockToConfig(Router(), Request.c_str(), Block.data(), Block.size(), &Out, &Progress);
    *ProgressAt = Progress - Request.c_str();
    *Config = Take(Out);
    return Status;
  }
  // Converts into the middle of a guarded buffer; the guards must survive.
  EFI_STATUS ConfigToBlock(const std::u16string &Response, Bytes *Block, UINTN *Size,
                           std::size_t *ProgressAt) {
    Bytes Guarded(Block->size() + 32, 0xEE);
    std::copy(Block->begin(), Block->end(), Guarded.begin() + 16);
    CHAR16 *Progress = nullptr;
    *Size = Block->size();
    EFI_STATUS Status =
        Router()->ConfigToBlock(Router(), Response.c_str(), Guarded.data() + 16, Size, &Progress);
    *ProgressAt = Progress - Response.c_str();
    for (std::size_t I = 0; I < 16; ++I) {
      EXPECT_EQ(Guarded[I], 0xEE);
      EXPECT_EQ(Guarded[Guarded.size() - 1 - I], 0xEE);
    }
    std::copy(Guarded.begin() + 16, Guarded.end() - 16, Block->begin());
    return Status;
  }
};

TEST_F(RouterTest, BlockToConfigOfTheDefaultRecordMatchesTheReferenceAndConvertsBack) {
  std::u16string Request = Placeholder + u"&OFFSET=0&WIDTH=0000000000000029";
  std::u16string Config;
  std::size_t At = 0;
  ASSERT_EQ(BlockToConfig(Request, DefaultRecord(), &Config, &At), EFI_SUCCESS);
  std::u16string Zeros(36, u'0');
  EXPECT_EQ(Config, Request + u"&VALUE=01" + Zeros + u"1021" + Zeros + u"15b3");
  EXPECT_EQ(At, Request.size());

  Bytes Block(41, 0xFF);
  UINTN Size = 0;
  ASSERT_EQ(ConfigToBlock(Config, &Block, &Size, &At), EFI_SUCCESS);
  EXPECT_EQ(Block, DefaultRecord());
  EXPECT_EQ(Size, 40u);  // the highest index written
  EXPECT_EQ(At, Config.size());
}

TEST_F(RouterTest, BlockToConfigWritesEveryPairMostSignificantByteFirstInLowercase) {
  Bytes Block = {0x0A, 0xBC, 0xDE, 0xF0, 0x12};
  std::u16string Request =
      u"GUID=ABCDEF00000000000000000000000000&NAME=0041&PATH=7FFF0400&OFFSET=1&WIDTH=2"
      u"&OFFSET=0&WIDTH=5";
  std::u16string Config;
  std::size_t At = 0;
  ASSERT_EQ(BlockToConfig(Request, Block, &Config, &At), EFI_SUCCESS);
  EXPECT_EQ(Config,
            u"GUID=abcdef00000000000000000000000000&NAME=0041&PATH=7fff0400&OFFSET=1&WIDTH=2"
            u"&VALUE=debc&OFFSET=0&WIDTH=5&VALUE=12f0debc0a");
  // A body without a header, as browser data is.
  ASSERT_EQ(BlockToConfig(u"OFFSET=4&WIDTH=1", Block, &Config, &At), EFI_SUCCESS);
  EXPECT_EQ(Config, u"OFFSET=4&WIDTH=1&VALUE=12");
}

TEST_F(RouterTest, BlockToConfigRefusesBadRequestsAtTheFaultyElement) {
  const std::u16string H = Placeholder;
  struct Case {
    std::u16string Request;
    EFI_STATUS Status;
    std::size_t ProgressAt;
  } Cases[] = {
      // Past the 4-byte block: Progress at the end, as the reference firmware leaves it.
      {H + u"&OFFSET=0&WIDTH=4&OFFSET=3&WIDTH=2", EFI_DEVICE_ERROR, H.size() + 34},
      {H + u"&OFFSET=ffffffffffffffff&WIDTH=2", EFI_DEVICE_ERROR, H.size() + 32},
      {H + u"&OFFSET=0x1&WIDTH=1", EFI_INVALID_PARAMETER, H.size()},
      {H + u"&OFFSET=0&WIDTH=1&VALUE=00", EFI_INVALID_PARAMETER, H.size() + 17},
      {H + u"&OFFSET=0", EFI_INVALID_PARAMETER, H.size()},
      {H + u"&OFFSET=1&WIDTH=1&&OFFSET=0&WIDTH=1", EFI_INVALID_PARAMETER, H.size() + 17},
      {H + u"&OFFSET=0&WIDTH=1&ALTCFG=0000&OFFSET=0&WIDTH=1", EFI_INVALID_PARAMETER, H.size() + 17},
      {u"NAME=0041&OFFSET=0&WIDTH=1", EFI_INVALID_PARAMETER, 0},
  };
  for (const Case &C : Cases) {
    std::u16string Config;
    std::size_t At = 0;
    EXPECT_EQ(BlockToConfig(C.Request, Bytes(4, 0), &Config, &At), C.Status)
        << std::string(C.Request.begin(), C.Request.end());
    EXPECT_EQ(At, C.ProgressAt) << std::string(C.Request.begin(), C.Request.end());
    EXPECT_EQ(Config, u"<null>");
  }
  // A zero-width element (a string whose MaxSize is 0) has an empty VALUE; a
  // header alone is answered with itself.
  std::u16string Answer;
  std::size_t At = 0;
  ASSERT_EQ(BlockToConfig(H + u"&OFFSET=1&WIDTH=0&OFFSET=0&WIDTH=1", Bytes{7, 8}, &Answer, &At), EFI_SUCCESS);
  EXPECT_EQ(Answer, H + u"&OFFSET=1&WIDTH=0&VALUE=&OFFSET=0&WIDTH=1&VALUE=07");
  ASSERT_EQ(BlockToConfig(H, Bytes{7, 8}, &Answer, &At), EFI_SUCCESS);
  EXPECT_EQ(Answer, H);
  EXPECT_EQ(At, H.size());

  CHAR16 *Config = nullptr;
  CHAR16 *Progress = nullptr;
  EXPECT_EQ(Router()->BlockToConfig(Router(), nullptr, Bytes(4).data(), 4, &Config, &Progress),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Router()->BlockToConfig(Router(), u"OFFSET=0&WIDTH=1", nullptr, 4, &Config, &Progress),
            EFI_INVALID_PARAMETER);
}

TEST_F(RouterTest, ConfigToBlockAcceptsEitherCaseAndShortValues) {
  Bytes Block(6, 0x55);
  UINTN Size = 0;
  std::size_t At = 0;
  std::u16string Response = Placeholder + u"&OFFSET=0&WIDTH=2&VALUE=aB0c&OFFSET=3&WIDTH=3&VALUE=7";
  ASSERT_EQ(ConfigToBlock(Response, &Block, &Size, &At), EFI_SUCCESS);
  EXPECT_EQ(Block, (Bytes{0x0C, 0xAB, 0x55, 0x07, 0x00, 0x00}));
  EXPECT_EQ(Size, 5u);

  // Zero-width elements take an empty value (or zeros) and write nothing; the
  // size reported is the last index any element reaches.
  Block.assign(4, 0);
  Response = Placeholder + u"&OFFSET=1&WIDTH=0&VALUE=&OFFSET=3&WIDTH=0&VALUE=00&OFFSET=0&WIDTH=1&VALUE=11";
  ASSERT_EQ(ConfigToBlock(Response, &Block, &Size, &At), EFI_SUCCESS);
  EXPECT_EQ(Block, (Bytes{0x11, 0, 0, 0}));
  EXPECT_EQ(Size, 2u);
  EXPECT_EQ(At, Response.size());
}

// Elements are written as they are read, as the reference firmware does: what
// stops the conversion leaves the elements before it written.
TEST_F(RouterTest, ConfigToBlockStopsAtAlternatesWithTheCurrentValuesWritten) {
  Bytes Block(2, 0);
  UINTN Size = 0;
  std::size_t At = 0;
  std::u16string Response = u"OFFSET=0&WIDTH=2&VALUE=0102&ALTCFG=0000&OFFSET=0&WIDTH=2&VALUE=ffff";
  EXPECT_EQ(ConfigToBlock(Response, &Block, &Size, &At), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Block, (Bytes{0x02, 0x01}));
  EXPECT_EQ(Response.substr(At, 8), u"&ALTCFG=");
  EXPECT_EQ(Size, 2u) << "the size is left as given";

  Block.assign(2, 0);
  Response =
      Placeholder + u"&OFFSET=1&WIDTH=1&VALUE=07&" + Placeholder + u"&ALTCFG=0000&OFFSET=1&WIDTH=1&VALUE=01";
  EXPECT_EQ(ConfigToBlock(Response, &Block, &Size, &At), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Block, (Bytes{0, 0x07}));
  EXPECT_EQ(Response.substr(At, 6), u"&GUID=");
  EXPECT_EQ(sim::cfgtext::CurrentConfiguration(Response), Placeholder + u"&OFFSET=1&WIDTH=1&VALUE=07");
}

// The simulator refuses values the reference firmware would take by their low
// digits (or read past), and offsets it would wrap; elements before the bad one
// stay written. Elements beyond the block are passed over and reported at the end.
TEST_F(RouterTest, ConfigToBlockRefusesBadElementsAndPassesOverThoseBeyondTheBlock) {
  const std::u16string H = Placeholder;
  const std::u16string Good = u"&OFFSET=0&WIDTH=1&VALUE=11";
  const std::u16string BeyondFirst = u"&OFFSET=3&WIDTH=2&VALUE=2222";
  constexpr std::size_t AtEnd = std::u16string::npos;
  struct Case {
    std::u16string Response;
    EFI_STATUS Status;
    std::size_t ProgressAt;
    UINTN SizeAfter;
  } Cases[] = {
      {H + Good + BeyondFirst, EFI_BUFFER_TOO_SMALL, AtEnd, 5},
      {H + BeyondFirst + Good, EFI_BUFFER_TOO_SMALL, AtEnd, 5},
      {H + Good + u"&OFFSET=10000&WIDTH=1&VALUE=22", EFI_BUFFER_TOO_SMALL, AtEnd, 0x10001},
      {H + Good + u"&OFFSET=1&WIDTH=1&VALUE=123", EFI_INVALID_PARAMETER, H.size() + Good.size(), 4},
      {H + Good + u"&OFFSET=1&WIDTH=1&VALUE=1g", EFI_INVALID_PARAMETER, H.size() + Good.size(), 4},
      {H + Good + u"&OFFSET=1&WIDTH=1&VALUE=", EFI_INVALID_PARAMETER, H.size() + Good.size(), 4},
      {H + Good + u"&OFFSET=1&WIDTH=1", EFI_INVALID_PARAMETER, H.size() + Good.size(), 4},
      {H + Good + u"&WIDTH=1&VALUE=00", EFI_INVALID_PARAMETER, H.size() + Good.size(), 4},
      {H + Good + u"&OFFSET=fffffffffffffffe&WIDTH=4&VALUE=00", EFI_INVALID_PARAMETER, H.size() + Good.size(),
       4},
      {H, EFI_INVALID_PARAMETER, H.size(), 4},
      {u"VALUE=00", EFI_INVALID_PARAMETER, 0, 4},
  };
  for (const Case &C : Cases) {
    Bytes Block(4, 0);
    UINTN Size = 0;
    std::size_t At = 0;
    std::string Label(C.Response.begin(), C.Response.end());
    EXPECT_EQ(ConfigToBlock(C.Response, &Block, &Size, &At), C.Status) << Label;
    const bool GoodRead = C.Response.find(Good) != std::u16string::npos;
    EXPECT_EQ(Block, GoodRead ? (Bytes{0x11, 0, 0, 0}) : Bytes(4, 0)) << Label;
    EXPECT_EQ(At, C.ProgressAt == AtEnd ? C.Response.size() : C.ProgressAt) << Label;
    EXPECT_EQ(Size, C.SizeAfter) << Label;
  }
}

// A driver with a buffer store and, beside it, a UEFI variable store, both
// declared by its form set.
class RoutedStoresTest : public RouterTest {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    Driver.Store = {1, 2, 3, 4, 5, 6, 7, 8};
    Driver.Install(hiitest::VendorPath(PathGuid), true);
    hiitest::Ifr Forms;
    Forms.FormSet(StoreGuid, 0)
        .VarStore(1, StoreGuid, 8, "Buf")
        .VarStoreEfi(2, StoreGuid, 0x7, 4, "Efi")
        .Form(1)
        .End()
        .End();
    hiitest::Register(hiitest::PackageList(StoreGuid, {Forms.Package()}), Driver.Handle);
  }
  std::u16string BufHeader() { return hiitest::Header(StoreGuid, u"Buf", Driver.Path); }
  std::u16string EfiHeader() { return hiitest::Header(StoreGuid, u"Efi", Driver.Path); }

  EFI_STATUS Extract(const std::u16string &Request, std::u16string *Results, std::size_t *ProgressAt) {
    CHAR16 *Out = nullptr;
    CHAR16 *Progress = nullptr;
    EFI_STATUS Status = Router()->ExtractConfig(Router(), Request.c_str(), &Progress, &Out);
    *ProgressAt = Progress - Request.c_str();
    *Results = Take(Out);
    return Status;
  }
  EFI_STATUS Route(const std::u16string &Configuration, std::size_t *ProgressAt) {
    CHAR16 *Progress = nullptr;
    EFI_STATUS Status = Router()->RouteConfig(Router(), Configuration.c_str(), &Progress);
    *ProgressAt = Progress - Configuration.c_str();
    return Status;
  }

  hiitest::BufferDriver Driver;
};

TEST_F(RoutedStoresTest, BufferStoresGoToTheOwningDriverBothWays) {
  std::u16string Results;
  std::size_t At = 0;
  std::u16string Request = BufHeader() + u"&OFFSET=2&WIDTH=2";
  ASSERT_EQ(Extract(Request, &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, Request + u"&VALUE=0403");
  EXPECT_EQ(Driver.LastRequest, Request);
  EXPECT_EQ(At, Request.size());

  std::u16string Config = BufHeader() + u"&OFFSET=6&WIDTH=2&VALUE=BEEF";
  ASSERT_EQ(Route(Config, &At), EFI_SUCCESS);
  EXPECT_EQ(Driver.LastConfiguration, Config);
  EXPECT_EQ(Driver.Store, (Bytes{1, 2, 3, 4, 5, 6, 0xEF, 0xBE}));
  EXPECT_EQ(At, Config.size());
}

// A second driver declares the very same stores: only the PATH tells them apart.
TEST_F(RoutedStoresTest, ThePathAloneChoosesTheOwner) {
  hiitest::BufferDriver Twin;
  Twin.Store = {9, 9, 9, 9, 9, 9, 9, 9};
  Twin.Install(hiitest::VendorPath(StoreGuid), true);
  hiitest::Ifr Forms;
  Forms.FormSet(StoreGuid, 0).VarStore(1, StoreGuid, 8, "Buf").Form(1).End().End();
  hiitest::Register(hiitest::PackageList(StoreGuid, {Forms.Package()}), Twin.Handle);
  std::u16string TwinHeader = hiitest::Header(StoreGuid, u"Buf", Twin.Path);

  std::size_t At = 0;
  ASSERT_EQ(Route(TwinHeader + u"&OFFSET=0&WIDTH=1&VALUE=77", &At), EFI_SUCCESS);
  EXPECT_EQ(Twin.Store[0], 0x77);
  EXPECT_EQ(Driver.Store[0], 1);
  EXPECT_EQ(Driver.RouteCalls, 0);
  std::u16string Results;
  ASSERT_EQ(Extract(BufHeader() + u"&OFFSET=0&WIDTH=2", &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, BufHeader() + u"&OFFSET=0&WIDTH=2&VALUE=0201");
  EXPECT_EQ(Twin.ExtractCalls, 0);
}

TEST_F(RoutedStoresTest, SeveralRequestsAreAnsweredTogetherAndAFailureIsPlaced) {
  sim::WriteVariable(u"Efi", StoreGuid, 0x7, {0xAA, 0xBB, 0xCC, 0xDD});
  std::u16string First = BufHeader() + u"&OFFSET=0&WIDTH=1";
  std::u16string Second = EfiHeader() + u"&OFFSET=3&WIDTH=1";
  std::u16string Results;
  std::size_t At = 0;
  ASSERT_EQ(Extract(First + u"&" + Second, &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, First + u"&VALUE=01&" + Second + u"&VALUE=dd");

  // The second configuration names a path no handle has: Progress at its "&".
  std::u16string Unknown =
      hiitest::Header(StoreGuid, u"Buf", hiitest::VendorPath(StoreGuid)) + u"&OFFSET=0&WIDTH=1";
  EXPECT_EQ(Extract(First + u"&" + Unknown, &Results, &At), EFI_NOT_FOUND);
  EXPECT_EQ(At, First.size());
  EXPECT_EQ(Results, u"<null>");
  EXPECT_EQ(Route(Unknown + u"&VALUE=00", &At), EFI_NOT_FOUND);
  EXPECT_EQ(At, 0u);
  EXPECT_EQ(Extract(u"OFFSET=0&WIDTH=1", &Results, &At), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Extract(u"GUID=12&NAME=0041&PATH=00", &Results, &At), EFI_INVALID_PARAMETER);
}

TEST_F(RoutedStoresTest, UefiVariableStoresAreReadByTheRouterWithTheDriversAlternatesMerged) {
  sim::WriteVariable(u"Efi", StoreGuid, 0x7, {0x10, 0x20, 0x30, 0x40});
  Driver.Alternate = u"&" + EfiHeader() + u"&ALTCFG=0000&OFFSET=0&WIDTH=4&VALUE=00000001";
  std::u16string Results;
  std::size_t At = 0;
  // No OFFSET: the whole store.
  ASSERT_EQ(Extract(EfiHeader(), &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, EfiHeader() + u"&OFFSET=0&WIDTH=4&VALUE=40302010" + Driver.Alternate);
  EXPECT_EQ(Driver.ExtractCalls, 1);
  EXPECT_EQ(At, EfiHeader().size());

  // Alternates without a header of their own are dropped, not an error.
  Driver.Alternate = u"&ALTCFG=0000&OFFSET=0&WIDTH=4&VALUE=00000001";
  ASSERT_EQ(Extract(EfiHeader(), &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, EfiHeader() + u"&OFFSET=0&WIDTH=4&VALUE=40302010");

  // The driver's own answer carries a header in front of its alternates.
  Driver.Alternate = u"&" + EfiHeader() + u"&ALTCFG=0001&OFFSET=0&WIDTH=1&VALUE=09";
  ASSERT_EQ(Extract(EfiHeader() + u"&OFFSET=1&WIDTH=2", &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(Results, EfiHeader() + u"&OFFSET=1&WIDTH=2&VALUE=3020" + Driver.Alternate);

  sim::DeleteVariable(u"Efi", StoreGuid);
  EXPECT_EQ(Extract(EfiHeader(), &Results, &At), EFI_NOT_FOUND);
}

TEST_F(RoutedStoresTest, UefiVariableStoresAreWrittenByTheRouterWithTheStoresAttributes) {
  std::size_t At = 0;
  ASSERT_EQ(Route(EfiHeader() + u"&OFFSET=1&WIDTH=2&VALUE=1234", &At), EFI_SUCCESS);
  auto Variable = sim::FindVariable(u"Efi", StoreGuid);
  ASSERT_TRUE(Variable.has_value());
  EXPECT_EQ(Variable->Attributes, 0x7u);
  EXPECT_EQ(Variable->Data, (Bytes{0, 0x34, 0x12, 0}));
  EXPECT_EQ(Driver.RouteCalls, 0);

  // Bytes not named keep their values; an element past the store changes nothing.
  ASSERT_EQ(Route(EfiHeader() + u"&OFFSET=3&WIDTH=1&VALUE=ff", &At), EFI_SUCCESS);
  EXPECT_EQ(sim::FindVariable(u"Efi", StoreGuid)->Data, (Bytes{0, 0x34, 0x12, 0xFF}));
  std::u16string Beyond = EfiHeader() + u"&OFFSET=0&WIDTH=1&VALUE=77&OFFSET=4&WIDTH=1&VALUE=01";
  EXPECT_EQ(Route(Beyond, &At), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(At, 0u) << "the reference firmware points at the start of the configuration";
  EXPECT_EQ(sim::FindVariable(u"Efi", StoreGuid)->Data, (Bytes{0, 0x34, 0x12, 0xFF}));
  std::u16string Alternate =
      EfiHeader() + u"&OFFSET=0&WIDTH=1&VALUE=66&ALTCFG=0000&OFFSET=1&WIDTH=1&VALUE=01";
  EXPECT_EQ(Route(Alternate, &At), EFI_INVALID_PARAMETER);
  EXPECT_EQ(At, Alternate.find(u"&ALTCFG="));
  EXPECT_EQ(sim::FindVariable(u"Efi", StoreGuid)->Data, (Bytes{0, 0x34, 0x12, 0xFF}));

  sim::FailService("RuntimeServices.SetVariable", EFI_WRITE_PROTECTED);
  EXPECT_EQ(Route(EfiHeader() + u"&OFFSET=0&WIDTH=1&VALUE=01", &At), EFI_WRITE_PROTECTED);
}

// The export holds what each driver answers; one that takes no null request is
// asked for the first store of its form set instead.
TEST_F(RoutedStoresTest, ExportGathersTheDriversOwnAnswers) {
  CHAR16 *Export = nullptr;
  ASSERT_EQ(Router()->ExportConfig(Router(), &Export), EFI_SUCCESS);
  EXPECT_EQ(Take(Export), BufHeader() + u"&OFFSET=0&WIDTH=0008&VALUE=0807060504030201");
  EXPECT_EQ(Driver.ExtractCalls, 2);
  EXPECT_EQ(Driver.LastRequest, BufHeader());
}

TEST_F(RoutedStoresTest, MembersHonourInjectedFaultsAndLeakNoPool) {
  std::size_t Held = sim::HeldBlocks();
  std::u16string Results;
  std::size_t At = 0;
  Driver.Alternate = u"&ALTCFG=0000&OFFSET=0&WIDTH=1&VALUE=00";
  sim::WriteVariable(u"Efi", StoreGuid, 0x7, {1, 2, 3, 4});
  ASSERT_EQ(Extract(EfiHeader() + u"&" + BufHeader(), &Results, &At), EFI_SUCCESS);
  EXPECT_EQ(sim::HeldBlocks(), Held);

  sim::FailService("ConfigRouting.ExtractConfig", EFI_DEVICE_ERROR);
  EXPECT_EQ(Extract(BufHeader(), &Results, &At), EFI_DEVICE_ERROR);
  sim::FailService("ConfigRouting.RouteConfig", EFI_ACCESS_DENIED);
  EXPECT_EQ(Route(BufHeader() + u"&OFFSET=0&WIDTH=1&VALUE=00", &At), EFI_ACCESS_DENIED);
  CHAR16 *Export = nullptr;
  sim::FailService("ConfigRouting.ExportConfig", EFI_DEVICE_ERROR);
  EXPECT_EQ(Router()->ExportConfig(Router(), &Export), EFI_DEVICE_ERROR);
  sim::FailNthAllocation(1);
  EXPECT_EQ(Extract(BufHeader() + u"&OFFSET=0&WIDTH=1", &Results, &At), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

}  // namespace

namespace {

// The alternates the router adds from a card's IFR, as OVMF does for the
// standard store (the firmware check group pins that store in OVMF): one section
// per declared default store, DEFAULT opcodes before option and checkbox flags,
// else a numeric's minimum, a one-of's first option, an unchecked checkbox;
// nothing for strings or a one-of without options; a section the card's own
// answer already has is not added again.
TEST_F(RouterTest, AlternatesComeFromTheIfrOfEveryDeclaredDefaultStore) {
  constexpr UINT8 Mfg = EFI_IFR_OPTION_DEFAULT_MFG;
  const std::vector<UINT8> List = sim::CardFormSet("Defaults")
                                      .DefaultStore(EFI_HII_DEFAULT_CLASS_STANDARD, "Standard")
                                      .DefaultStore(EFI_HII_DEFAULT_CLASS_MANUFACTURING, "Manufacturing")
                                      .BufferStore(1, "Cfg", StoreGuid, 8)
                                      .Form(1, "Main")
                                      .OneOf({0x10, 1, 0, "Mode"})
                                      .Options({{"A", 4}, {"B", 5, EFI_IFR_OPTION_DEFAULT}, {"C", 6, Mfg}})
                                      .Numeric({0x11, 1, 1, "Level"}, 1, 3, 9)
                                      .Default(7, EFI_HII_DEFAULT_CLASS_MANUFACTURING)
                                      .Checkbox({0x12, 1, 2, "Flag"}, EFI_IFR_CHECKBOX_DEFAULT_MFG)
                                      .OneOf({0x13, 1, 3, "Valued"})
                                      .Value(2)
                                      .String({0x14, 1, 4, "Name"}, 0, 2)
                                      .Build();
  sim::CardDriver &Card = sim::PublishCard(sim::AddPciFunction(0x1234, 0x11E8, 0, 0x10, 0), List);
  const std::u16string Header = hiitest::Header(StoreGuid, u"Cfg", Card.DevicePath);
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  ASSERT_EQ(Router()->ExtractConfig(Router(), Header.c_str(), &Progress, &Results), EFI_SUCCESS);
  EXPECT_EQ(
      Take(Results),
      Header +
          u"&OFFSET=0000&WIDTH=0001&VALUE=00&OFFSET=0001&WIDTH=0001&VALUE=00&OFFSET=0002&WIDTH=0001&VALUE=00"
          u"&OFFSET=0003&WIDTH=0001&VALUE=00&OFFSET=0004&WIDTH=0004&VALUE=00000000&" +
          Header +
          u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=05&OFFSET=0001&WIDTH=0001&VALUE=03"
          u"&OFFSET=0002&WIDTH=0001&VALUE=00&" +
          Header +
          u"&ALTCFG=0001&OFFSET=0000&WIDTH=0001&VALUE=06&OFFSET=0001&WIDTH=0001&VALUE=07"
          u"&OFFSET=0002&WIDTH=0001&VALUE=01");

  // A driver that answers with its own standard defaults gets only the others added.
  hiitest::BufferDriver Driver;
  Driver.Store = Bytes(8, 0);
  Driver.Install(hiitest::VendorPath(PathGuid), true);
  hiitest::Register(List, Driver.Handle);
  const std::u16string Own = hiitest::Header(StoreGuid, u"Cfg", Driver.Path);
  Driver.Alternate = u"&" + Own + u"&ALTCFG=0000&OFFSET=0000&WIDTH=0001&VALUE=09";
  const std::u16string Request = Own + u"&OFFSET=0&WIDTH=1";
  ASSERT_EQ(Router()->ExtractConfig(Router(), Request.c_str(), &Progress, &Results), EFI_SUCCESS);
  EXPECT_EQ(Take(Results), Request + u"&VALUE=00" + Driver.Alternate + u"&" + Own +
                               u"&ALTCFG=0001&OFFSET=0000&WIDTH=0001&VALUE=06");
}

}  // namespace

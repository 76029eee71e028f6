// The simulated keyword handler: keyword lookup by prompt string in an x-UEFI
// namespace, values read and written through the router, the reference answers
// for the driver's own static form set, and package lists it must pass over.
#include <gtest/gtest.h>

#include "forms/identities.h"
#include "forms/static_packages.h"
#include "tests/sim_fixture.h"
#include "tests/sim_hii_builders.h"

namespace {

using hiitest::Bytes;
using hiitest::Take;

constexpr EFI_GUID ListGuid = {0x5A5A5A5A, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr EFI_GUID VarGuid = {0x0C0C0C0C, 0x0D0D, 0x0E0E, {1, 1, 2, 2, 3, 3, 4, 4}};

struct Answer {
  EFI_STATUS Status;
  std::u16string Results;
  std::size_t ProgressAt;  // npos: Progress null
  UINT32 Error;
};

class KeywordTest : public SimTest {
 protected:
  EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *Handler() {
    return hiitest::Locate<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL>(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID);
  }
  Answer Get(const CHAR16 *Namespace, const CHAR16 *Keyword) {
    CHAR16 *Progress = nullptr;
    CHAR16 *Results = nullptr;
    UINT32 Error = 0xFFFF;
    EFI_STATUS Status = Handler()->GetData(Handler(), Namespace, Keyword, &Progress, &Error, &Results);
    return {Status, Take(Results),
            Progress == nullptr ? std::u16string::npos : std::size_t(Progress - Keyword), Error};
  }
  Answer Set(const std::u16string &Request) {
    CHAR16 *Progress = nullptr;
    UINT32 Error = 0xFFFF;
    EFI_STATUS Status = Handler()->SetData(Handler(), Request.c_str(), &Progress, &Error);
    return {Status, u"", std::size_t(Progress - Request.c_str()), Error};
  }
};

// A card-like list: a UEFI variable store and a driver's buffer store, each with
// keyword questions of every supported kind.
class KeywordStoresTest : public KeywordTest {
 protected:
  void SetUp() override {
    KeywordTest::SetUp();
    Driver.Store = {0x41, 0, 0x42, 0, 0, 0, 0, 0};  // "AB" as a 4-character string
    Driver.Install(hiitest::VendorPath(ListGuid), true);
    hiitest::Ifr Forms;
    Forms.FormSet(ListGuid, 1)
        .VarStoreEfi(1, VarGuid, 0x3, 8, "Settings")
        .VarStore(2, ListGuid, 8, "Buf")
        .Form(1)
        .Number(0x05, 0x10, 2, 1, 0, 1)        // one-of, 1 byte
        .Number(0x07, 0x11, 3, 1, 2, 2)        // numeric, 2 bytes
        .CheckBox(0x12, 4, 1, 4)               //
        .Number(0x07, 0x13, 5, 1, 5, 1, 0x01)  // read-only numeric
        .Number(0x07, 0x14, 6, 1, 6, 1)        // no keyword
        .String(0x15, 7, 2, 0, 4)              // 8 bytes of the buffer store
        .End()
        .End();
    std::map<EFI_STRING_ID, std::u16string> English = {
        {1, u"Card"}, {2, u"Mode"}, {3, u"Speed"}, {4, u"Wake"}, {5, u"Rev"}, {6, u"Plain"}, {7, u"Name"}};
    std::map<EFI_STRING_ID, std::u16string> Keywords = {
        {2, u"MODE"}, {3, u"SPEED"}, {4, u"WAKE"}, {5, u"REV"}, {7, u"NAME"}};
    hiitest::Register(
        hiitest::PackageList(ListGuid, {Forms.Package(), hiitest::StringPackage("en-US", English),
                                        hiitest::StringPackage("x-UEFI-QZV", Keywords)}),
        Driver.Handle);
    sim::WriteVariable(u"Settings", VarGuid, 0x3, {0x02, 0, 0x34, 0x12, 0x01, 0x07, 0x09, 0});
  }
  std::u16string Prefix() { return u"NAMESPACE=x-UEFI-QZV&PATH=" + hiitest::Hex(Driver.Path) + u"&KEYWORD="; }

  hiitest::BufferDriver Driver;
};

TEST_F(KeywordStoresTest, GetDataAnswersEachQuestionKindAtItsWidth) {
  struct Case {
    const char16_t *Keyword;
    std::u16string Tail;
  } Cases[] = {
      {u"KEYWORD=MODE", u"MODE&VALUE=02"},
      {u"KEYWORD=SPEED", u"SPEED&VALUE=1234"},
      {u"KEYWORD=WAKE", u"WAKE&VALUE=01"},
      {u"KEYWORD=REV", u"REV&VALUE=07&READONLY"},
      {u"KEYWORD=NAME", u"NAME&VALUE=0000000000420041"},
  };
  for (const Case &C : Cases) {
    Answer A = Get(u"NAMESPACE=x-UEFI-QZV", C.Keyword);
    EXPECT_EQ(A.Status, EFI_SUCCESS);
    EXPECT_EQ(A.Results, Prefix() + C.Tail);
    EXPECT_EQ(A.ProgressAt, std::char_traits<char16_t>::length(C.Keyword));
    EXPECT_EQ(A.Error, KEYWORD_HANDLER_NO_ERROR);
  }
  std::u16string WithPath = u"PATH=" + hiitest::Hex(Driver.Path) + u"&KEYWORD=SPEED";
  EXPECT_EQ(Get(u"NAMESPACE=x-UEFI-QZV", WithPath.c_str()).Results, Prefix() + u"SPEED&VALUE=1234");
}

TEST_F(KeywordStoresTest, GetDataWithoutKeywordListsEveryKeywordInQuestionOrder) {
  Answer A = Get(u"NAMESPACE=x-UEFI-QZV", nullptr);
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, Prefix() + u"MODE&VALUE=02&" + Prefix() + u"SPEED&VALUE=1234&" + Prefix() +
                           u"WAKE&VALUE=01&" + Prefix() + u"REV&VALUE=07&READONLY&" + Prefix() +
                           u"NAME&VALUE=0000000000420041");
  EXPECT_EQ(A.ProgressAt, std::u16string::npos);
}

TEST_F(KeywordStoresTest, GetDataReportsWhatItCannotFind) {
  std::u16string OtherPath = u"PATH=" + hiitest::Hex(hiitest::VendorPath(VarGuid)) + u"&KEYWORD=MODE";
  struct Case {
    const char16_t *Namespace;
    const char16_t *Keyword;
    EFI_STATUS Status;
    UINT32 Error;
    std::size_t ProgressAt;
  } Cases[] = {
      {u"x-UEFI-QZV", u"KEYWORD=MODE", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 0},
      {u"NAMESPACE=", u"KEYWORD=MODE", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 0},
      {u"NAMESPACE=x-UEFI-ABC", u"KEYWORD=MODE", EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND, 0},
      {u"NAMESPACE=en-US", u"KEYWORD=MODE", EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND, 0},
      {u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=Mode", EFI_NOT_FOUND, KEYWORD_HANDLER_KEYWORD_NOT_FOUND, 0},
      {u"NAMESPACE=x-UEFI-QZV", OtherPath.c_str(), EFI_NOT_FOUND, KEYWORD_HANDLER_KEYWORD_NOT_FOUND,
       OtherPath.find(u"KEYWORD")},
      {u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=MODE&VALUE=01", EFI_INVALID_PARAMETER,
       KEYWORD_HANDLER_MALFORMED_STRING, 13},
      {u"NAMESPACE=x-UEFI-QZV", u"PATH=0g&KEYWORD=MODE", EFI_INVALID_PARAMETER,
       KEYWORD_HANDLER_MALFORMED_STRING, 0},
      {u"NAMESPACE=x-UEFI-QZV", u"MODE", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 0},
  };
  for (const Case &C : Cases) {
    Answer A = Get(C.Namespace, C.Keyword);
    std::string Label(C.Keyword, C.Keyword + std::char_traits<char16_t>::length(C.Keyword));
    EXPECT_EQ(A.Status, C.Status) << Label;
    EXPECT_EQ(A.Error, C.Error) << Label;
    EXPECT_EQ(A.ProgressAt, C.ProgressAt) << Label;
    EXPECT_EQ(A.Results, u"<null>") << Label;
  }
}

TEST_F(KeywordStoresTest, SetDataWritesThroughTheRouterIntoEitherKindOfStore) {
  Answer A = Set(Prefix() + u"SPEED&VALUE=BEEF");
  ASSERT_EQ(A.Status, EFI_SUCCESS);
  auto Variable = sim::FindVariable(u"Settings", VarGuid);
  EXPECT_EQ(Variable->Data, (Bytes{0x02, 0, 0xEF, 0xBE, 0x01, 0x07, 0x09, 0}));
  EXPECT_EQ(Variable->Attributes, 0x3u);

  // A short value fills the question's width; the string lands in the driver's buffer.
  ASSERT_EQ(Set(Prefix() + u"MODE&VALUE=3").Status, EFI_SUCCESS);
  EXPECT_EQ(sim::FindVariable(u"Settings", VarGuid)->Data[0], 0x03);
  ASSERT_EQ(Set(Prefix() + u"NAME&VALUE=0043").Status, EFI_SUCCESS);
  EXPECT_EQ(Driver.Store, (Bytes{0x43, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Get(u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=NAME").Results, Prefix() + u"NAME&VALUE=0000000000000043");
}

TEST_F(KeywordStoresTest, SetDataRefusesWithoutWriting) {
  std::u16string P = Prefix();
  struct Case {
    std::u16string Request;
    EFI_STATUS Status;
    UINT32 Error;
    std::size_t ProgressAt;
  } Cases[] = {
      {P + u"MODE&VALUE=123", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_INCOMPATIBLE_VALUE_DETECTED,
       P.size() + 5},
      {P + u"MODE&VALUE=", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_INCOMPATIBLE_VALUE_DETECTED, P.size() + 5},
      {P + u"REV&VALUE=01", EFI_ACCESS_DENIED, KEYWORD_HANDLER_ACCESS_NOT_PERMITTED, P.size() - 8},
      {P + u"NOPE&VALUE=01", EFI_NOT_FOUND, KEYWORD_HANDLER_KEYWORD_NOT_FOUND, P.size() - 8},
      {P + u"MODE", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, P.size() + 4},
      {P + u"MODE&VALUE=01&JUNK", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, P.size() + 14},
      {u"KEYWORD=MODE&VALUE=01", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 0},
      {u"NAMESPACE=x-UEFI-QZV", EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 20},
      {u"NAMESPACE=x-UEFI-ZZZ&KEYWORD=MODE&VALUE=01", EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND,
       0},
  };
  for (const Case &C : Cases) {
    Answer A = Set(C.Request);
    std::string Label(C.Request.begin(), C.Request.end());
    EXPECT_EQ(A.Status, C.Status) << Label;
    EXPECT_EQ(A.Error, C.Error) << Label;
    EXPECT_EQ(A.ProgressAt, C.ProgressAt) << Label;
  }
  EXPECT_EQ(sim::FindVariable(u"Settings", VarGuid)->Data, (Bytes{0x02, 0, 0x34, 0x12, 0x01, 0x07, 0x09, 0}));
  EXPECT_EQ(Driver.RouteCalls, 0);
}

TEST_F(KeywordStoresTest, MalformedPackageListsArePassedOver) {
  // Forms whose last opcode claims more bytes than the package holds, and a
  // one-of too short for its header, each in a list with the same keyword.
  const EFI_GUID BadGuid = {0xBAD, 0, 0, {0}};
  hiitest::BufferDriver Other;
  Other.Install(hiitest::VendorPath(BadGuid), false);
  hiitest::Ifr Overrun;
  Overrun.FormSet(BadGuid, 1)
      .VarStoreEfi(1, VarGuid, 0x3, 8, "Settings")
      .Form(1)
      .Number(0x05, 0x10, 2, 1, 0, 1);
  Overrun.Body.insert(Overrun.Body.end(), {0x05, 0x7F, 0x02});
  hiitest::Ifr Short;
  Short.FormSet(BadGuid, 1).VarStoreEfi(1, VarGuid, 0x3, 8, "Settings").Op(0x05, false, {2, 0, 0, 0});
  for (const hiitest::Ifr *Forms : {&Overrun, &Short}) {
    EFI_GUID Guid = BadGuid;
    Guid.Data2 = Forms == &Short ? 1 : 2;
    hiitest::Register(
        hiitest::PackageList(Guid, {Forms->Package(), hiitest::StringPackage("x-UEFI-QZV", {{2, u"MODE"}})}),
        Other.Handle);
  }
  Answer A = Get(u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=MODE");
  EXPECT_EQ(A.Status, EFI_SUCCESS);
  EXPECT_EQ(A.Results, Prefix() + u"MODE&VALUE=02");
}

// The driver's static form set registered as the platform would find it, with
// no config-access protocol: the router serves the PCI variable itself.
class StaticFormSetKeywordTest : public KeywordTest {
 protected:
  void SetUp() override {
    KeywordTest::SetUp();
    Path.assign(reinterpret_cast<const UINT8 *>(&ADDONCARD_DEVICE_PATH),
                reinterpret_cast<const UINT8 *>(&ADDONCARD_DEVICE_PATH) + sizeof(ADDONCARD_DEVICE_PATH));
    Card.Install(Path, false);
    Bytes Strings(AddOnCardStrings + 4, AddOnCardStrings + sizeof(AddOnCardStrings));
    Bytes Forms(AddOnCardForms + 4, AddOnCardForms + sizeof(AddOnCardForms));
    hiitest::Register(hiitest::PackageList(ADDONCARD_FORMSET_GUID, {Strings, Forms}), Card.Handle);
    Bytes Record(41, 0);
    Record[0] = 0xB3, Record[1] = 0x15, Record[0x14] = 0x21, Record[0x15] = 0x10, Record[0x28] = 1;
    sim::WriteVariable(u"TLX_ADDONCARD_PCI_VAR", ADDONCARD_PCI_VAR_GUID, 0x7, Record);
  }
  Bytes Path;
  hiitest::BufferDriver Card;
};

TEST_F(StaticFormSetKeywordTest, ReproducesTheReferenceKeywordAnswers) {
  const std::u16string Prefix =
      u"NAMESPACE=x-UEFI-QZV&PATH=010414007e0f87c35e59504fb37fc1d5b7cbeb3e7fff0400&KEYWORD=";
  EXPECT_EQ(Get(u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=CSPACF00").Results, Prefix + u"CSPACF00&VALUE=15b3");
  EXPECT_EQ(Get(u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=CSPACF14").Results, Prefix + u"CSPACF14&VALUE=01");
  Answer All = Get(u"NAMESPACE=x-UEFI-QZV", nullptr);
  ASSERT_EQ(All.Status, EFI_SUCCESS);
  std::u16string Leading =
      Prefix + u"CSPACF14&VALUE=01&" + Prefix + u"CSPACF00&VALUE=15b3&" + Prefix + u"CSPACF01&VALUE=0000&";
  EXPECT_EQ(All.Results.substr(0, Leading.size()), Leading);
  Answer Missing = Get(u"NAMESPACE=x-UEFI-QZV", u"KEYWORD=CSPAC000");
  EXPECT_EQ(Missing.Status, EFI_NOT_FOUND);
  EXPECT_EQ(Missing.Error, KEYWORD_HANDLER_KEYWORD_NOT_FOUND);

  ASSERT_EQ(Set(Prefix + u"CSPACF00&VALUE=1234").Status, EFI_SUCCESS);
  auto Variable = sim::FindVariable(u"TLX_ADDONCARD_PCI_VAR", ADDONCARD_PCI_VAR_GUID);
  ASSERT_TRUE(Variable.has_value());
  EXPECT_EQ(Variable->Attributes, 0x7u);
  EXPECT_EQ(Variable->Data[0], 0x34);
  EXPECT_EQ(Variable->Data[1], 0x12);
  EXPECT_EQ(Variable->Data.size(), 41u);
}

}  // namespace

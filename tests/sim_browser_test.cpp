// The simulated form browser: edit buffers loaded through the router when a
// form set is opened, and BrowserCallback reading and writing them.
#include <gtest/gtest.h>

#include "sim/browser.h"
#include "tests/sim_fixture.h"
#include "tests/sim_hii_builders.h"

namespace {

using hiitest::Bytes;

constexpr EFI_GUID FormSetGuid = {0x77777777, 0x1111, 0x2222, {3, 3, 4, 4, 5, 5, 6, 6}};
constexpr EFI_GUID EfiGuid = {0x88888888, 0x1111, 0x2222, {3, 3, 4, 4, 5, 5, 6, 6}};

class BrowserTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Driver.Store = {0xA1, 0xA2, 0xA3};
    Driver.Install(hiitest::VendorPath(FormSetGuid), true);
    hiitest::Ifr Forms;
    Forms.FormSet(FormSetGuid, 0)
        .VarStore(1, FormSetGuid, 3, "Buf")
        .VarStoreEfi(2, EfiGuid, 0x6, 4, "Efi")
        .Form(1)
        .End()
        .End();
    List = hiitest::Register(hiitest::PackageList(FormSetGuid, {Forms.Package()}), Driver.Handle);
    sim::WriteVariable(u"Efi", EfiGuid, 0x6, {0x01, 0x02, 0x03, 0x04});
  }
  void TearDown() override {
    sim::CloseFormSet();
    SimTest::TearDown();
  }
  EFI_FORM_BROWSER2_PROTOCOL *Browser() {
    return hiitest::Locate<EFI_FORM_BROWSER2_PROTOCOL>(EFI_FORM_BROWSER2_PROTOCOL_GUID);
  }
  EFI_STATUS Retrieve(const EFI_GUID *Guid, const CHAR16 *Name, std::u16string *Body) {
    UINTN Size = 0;
    CHAR16 Probe[1];
    EFI_STATUS Status = Browser()->BrowserCallback(Browser(), &Size, Probe, TRUE, Guid, Name);
    if (Status != EFI_BUFFER_TOO_SMALL) return Status;
    std::vector<CHAR16> Buffer(Size / 2);
    Status = Browser()->BrowserCallback(Browser(), &Size, Buffer.data(), TRUE, Guid, Name);
    *Body = Buffer.data();
    EXPECT_EQ(Size, (Body->size() + 1) * 2);
    return Status;
  }
  EFI_STATUS Send(const EFI_GUID *Guid, const CHAR16 *Name, const std::u16string &Body) {
    UINTN Size = 0;
    return Browser()->BrowserCallback(Browser(), &Size, const_cast<CHAR16 *>(Body.c_str()), FALSE, Guid,
                                      Name);
  }

  hiitest::BufferDriver Driver;
  EFI_HII_HANDLE List = nullptr;
};

TEST_F(BrowserTest, OpeningLoadsEveryDeclaredStoreThroughTheRouter) {
  ASSERT_EQ(sim::OpenFormSet(List), EFI_SUCCESS);
  ASSERT_NE(sim::EditBuffer(FormSetGuid, u"Buf"), nullptr);
  EXPECT_EQ(*sim::EditBuffer(FormSetGuid, u"Buf"), (Bytes{0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(*sim::EditBuffer(EfiGuid, u"Efi"), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(sim::EditBuffer(EfiGuid, u"Buf"), nullptr);
  EXPECT_EQ(sim::OpenFormSet(nullptr), EFI_NOT_FOUND);
  EXPECT_FALSE(sim::FormSetIsOpen());
}

TEST_F(BrowserTest, RetrieveGivesTheBodyAndItsSize) {
  ASSERT_EQ(sim::OpenFormSet(List), EFI_SUCCESS);
  std::u16string Body;
  ASSERT_EQ(Retrieve(&EfiGuid, u"Efi", &Body), EFI_SUCCESS);
  EXPECT_EQ(Body, u"OFFSET=0&WIDTH=4&VALUE=04030201");
  ASSERT_EQ(Retrieve(&FormSetGuid, u"Buf", &Body), EFI_SUCCESS);
  EXPECT_EQ(Body, u"OFFSET=0&WIDTH=3&VALUE=a3a2a1");

  // One unit short of the terminator.
  UINTN Size = Body.size() * 2;
  std::vector<CHAR16> Small(Body.size(), u'#');
  EXPECT_EQ(Browser()->BrowserCallback(Browser(), &Size, Small.data(), TRUE, &FormSetGuid, u"Buf"),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, (Body.size() + 1) * 2);
  EXPECT_EQ(Small, std::vector<CHAR16>(Body.size(), u'#'));
}

TEST_F(BrowserTest, SendingUpdatesOnlyTheEditBuffer) {
  ASSERT_EQ(sim::OpenFormSet(List), EFI_SUCCESS);
  ASSERT_EQ(Send(&EfiGuid, u"Efi", u"OFFSET=1&WIDTH=2&VALUE=BBAA"), EFI_SUCCESS);
  EXPECT_EQ(*sim::EditBuffer(EfiGuid, u"Efi"), (Bytes{1, 0xAA, 0xBB, 4}));
  EXPECT_EQ(sim::FindVariable(u"Efi", EfiGuid)->Data, (Bytes{1, 2, 3, 4}));

  // Bad or oversized bodies leave the buffer as it was.
  EXPECT_EQ(Send(&EfiGuid, u"Efi", u"OFFSET=0&WIDTH=5&VALUE=00"), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Send(&EfiGuid, u"Efi", u"OFFSET=0&WIDTH=1&VALUE=11&OFFSET=1"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(*sim::EditBuffer(EfiGuid, u"Efi"), (Bytes{1, 0xAA, 0xBB, 4}));

  std::u16string Body;
  ASSERT_EQ(Retrieve(&EfiGuid, u"Efi", &Body), EFI_SUCCESS);
  EXPECT_EQ(Body, u"OFFSET=0&WIDTH=4&VALUE=04bbaa01");
}

TEST_F(BrowserTest, UnknownStoresAndAClosedBrowserGiveNotFound) {
  std::u16string Body;
  EXPECT_EQ(Retrieve(&EfiGuid, u"Efi", &Body), EFI_NOT_FOUND);
  EXPECT_EQ(Send(&EfiGuid, u"Efi", u"OFFSET=0&WIDTH=1&VALUE=00"), EFI_NOT_FOUND);
  ASSERT_EQ(sim::OpenFormSet(List), EFI_SUCCESS);
  EXPECT_EQ(Retrieve(&FormSetGuid, u"Efi", &Body), EFI_NOT_FOUND);
  EXPECT_EQ(Retrieve(&EfiGuid, u"EFI", &Body), EFI_NOT_FOUND);
  sim::CloseFormSet();
  EXPECT_EQ(Retrieve(&EfiGuid, u"Efi", &Body), EFI_NOT_FOUND);
  EXPECT_EQ(sim::EditBuffer(EfiGuid, u"Efi"), nullptr);

  ASSERT_EQ(sim::OpenFormSet(List), EFI_SUCCESS);
  sim::FailService("FormBrowser2.BrowserCallback", EFI_DEVICE_ERROR);
  EXPECT_EQ(Retrieve(&EfiGuid, u"Efi", &Body), EFI_DEVICE_ERROR);
  sim::Reset();
  EXPECT_FALSE(sim::FormSetIsOpen());
}

}  // namespace

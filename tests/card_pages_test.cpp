// Card pages built from simulated cards and read back with the independent
// checker: what a page holds, how pages of several cards are numbered, what the
// mirrored question table says, and what is left when a build cannot finish.
#include <gtest/gtest.h>

#include "hii/foreign_varstore.h"
#include "sim/sim.h"
#include "tests/card_page_fixture.h"

namespace {

using namespace sim::sample_card;

class SampleCardPageTest : public CardPageTest {
 protected:
  // The sample card's page when it sits at Bus and its first question is number N.
  EXPECTED_PAGE SamplePage(UINTN Slot, const std::u16string &Location, UINT16 N, UINT16 S) {
    const std::u16string At = u" (" + Location + u")";
    return Page(Slot, u"Port 1 - Network Card",
                {Text(u"Permanent MAC Address" + At, u"02:00:00:3B:00:00", u"Factory-assigned address of the port"),
                 Text(u"Firmware Version" + At, u"1.4.2", u""),
                 OneOf(u"Link Speed" + At, N, SHOWN,
                       {{u"Auto Negotiated", 0, DEFAULT_OPTION}, {u"10 Gb/s", 1, 0}, {u"25 Gb/s", 2, 0},
                        {u"100 Gb/s", 3, 0}},
                       u"Speed of the link"),
                 OneOf(u"VLAN Mode" + At, N + 1, SHOWN, {{u"Disabled", 0, DEFAULT_OPTION}, {u"Enabled", 1, 0}}),
                 // Grayed out (VLAN mode 0), and its range does not fit one byte.
                 Numeric(u"VLAN ID" + At, N + 2, READ_ONLY, 0x00, 0, 255),
                 OneOf(u"Boot Protocol" + At, N + 3, SHOWN, {{u"None", 0, 0}, {u"PXE", 1, DEFAULT_OPTION}, {u"iSCSI", 2, 0}}),
                 String(u"Boot Target Name" + At, S, SHOWN, 0, 32)});
    // The iSCSI LUN is suppressed: the boot protocol is PXE.
  }
};

TEST_F(SampleCardPageTest, MirrorsTheVisibleStatementsOfEveryFormOntoOnePage) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  ASSERT_EQ(Build(Card, u"Port 1 - Network Card"), EFI_SUCCESS);
  EXPECT_TRUE(PageIs(SamplePage(0, u"3B0000", 0, 0)));
  EXPECT_TRUE(SlotIsEmpty(1));
  EXPECT_EQ(NextCardPage, 1u);
  EXPECT_EQ(MirroredQuestionCount, 4u);
  EXPECT_EQ(OobSlotCount, 4u);
  EXPECT_EQ(KeywordCount, 4u);
  EXPECT_EQ(StringSlotCount, 1u);

  const std::vector<UINT8> OobBytes = Oob();
  ASSERT_EQ(OobBytes.size(), 1024u);
  EXPECT_EQ(std::vector<UINT8>(OobBytes.begin(), OobBytes.begin() + 5), (std::vector<UINT8>{0, 0, 1, 1, 0}));
  EXPECT_EQ(StringSlot(0), u"pxe-server-01");
  EXPECT_EQ(0, std::memcmp(OobVarCopy.Slot, OobBytes.data(), OobBytes.size()));
  EXPECT_EQ(std::u16string(StringVarCopy.Slot[0]), u"pxe-server-01");
}

}  // namespace

// A simulated machine with the driver's form set registered, cards published
// below simulated PCI functions, and helpers that build a card's page and hold
// the driver's exported list against the independent checker (qemu/page_check.h).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "driver/card_pages.h"
#include "forms/variables.h"
#include "qemu/page_check.h"
#include "sim/card_fixture.h"
#include "tests/driver_hii_fixture.h"

// Question flags a mirrored question has: shown, and read-only.
inline constexpr UINT8 SHOWN = 0x14;
inline constexpr UINT8 READ_ONLY = 0x15;
inline constexpr UINT8 DEFAULT_OPTION = EFI_IFR_OPTION_DEFAULT | EFI_IFR_OPTION_DEFAULT_MFG;

class CardPageTest : public RegisteredDriverTest {
 protected:
  static std::vector<UINT8> Export(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
    std::vector<UINT8> List(Size);
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size,
                                              reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data())),
              EFI_SUCCESS);
    return List;
  }

  // Builds the next page from the card's exported list, as the scan does.
  static EFI_STATUS Build(const sim::CardDriver &Card, const CHAR16 *Title = u"Card") {
    const std::vector<UINT8> List = Export(Card.HiiHandle);
    return BuildCardPage(Card.HiiHandle, 0, Title, List.data(), List.size());
  }

  // The driver's list as the database exports it, held against Page.
  static ::testing::AssertionResult PageIs(const EXPECTED_PAGE &Page) {
    const std::vector<UINT8> List = Export(DriverHiiHandle);
    PAGE_CHECK_RESULT Result = {};
    if (CheckCardPage(List.data(), List.size(), HiiString, DriverHiiHandle, Page, &Result))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Result.Message;
  }
  static ::testing::AssertionResult SlotIsEmpty(UINTN Slot) { return PageIs({Slot, nullptr, nullptr, 0}); }

  static std::vector<UINT8> Variable(const std::u16string &Name) {
    auto Found = sim::FindVariable(Name, ADDONCARD_FORMSET_GUID);
    return Found ? Found->Data : std::vector<UINT8>{};
  }
  static std::vector<UINT8> Oob() { return Variable(TLX_ADDONCARD_OOB_VAR); }
  static std::u16string StringSlot(UINTN Slot) {
    const std::vector<UINT8> Strings = Variable(TLX_ADDONCARD_STRING_VAR);
    if (Strings.size() < (Slot + 1) * ADDONCARD_STRING_SLOT_BYTES) return u"<missing>";
    return std::u16string(
        reinterpret_cast<const char16_t *>(Strings.data() + Slot * ADDONCARD_STRING_SLOT_BYTES));
  }

  // Expected statements; the texts and option lists live as long as the test.
  const CHAR16 *Keep(const std::u16string &Text) { return Texts.emplace_back(Text).c_str(); }
  EXPECTED_STATEMENT OneOf(const std::u16string &Prompt, UINT16 N, UINT8 Flags,
                           std::vector<EXPECTED_OPTION> Options, const CHAR16 *Help = nullptr) {
    const std::vector<EXPECTED_OPTION> &Kept = OptionLists.emplace_back(std::move(Options));
    return {.Kind = ExpectedKind::OneOf,
            .Prompt = Keep(Prompt),
            .Help = Help,
            .QuestionId = static_cast<UINT16>(0x100 + N),
            .QuestionFlags = Flags,
            .Options = Kept.data(),
            .OptionCount = Kept.size()};
  }
  EXPECTED_STATEMENT Numeric(const std::u16string &Prompt, UINT16 N, UINT8 Flags, UINT8 NumericFlags,
                             UINT8 Min, UINT8 Max, UINT8 Step = 1) {
    return {.Kind = ExpectedKind::Numeric,
            .Prompt = Keep(Prompt),
            .QuestionId = static_cast<UINT16>(0x100 + N),
            .QuestionFlags = Flags,
            .NumericFlags = NumericFlags,
            .Minimum = Min,
            .Maximum = Max,
            .Step = Step};
  }
  EXPECTED_STATEMENT String(const std::u16string &Prompt, UINT16 S, UINT8 Flags, UINT8 MinSize, UINT8 MaxSize,
                            UINT8 StringFlags = 0) {
    return {.Kind = ExpectedKind::String,
            .Prompt = Keep(Prompt),
            .QuestionId = static_cast<UINT16>(0x800 + S),
            .QuestionFlags = Flags,
            .MinSize = MinSize,
            .MaxSize = MaxSize,
            .StringFlags = StringFlags};
  }
  EXPECTED_STATEMENT Text(const std::u16string &Prompt, const std::u16string &TextTwo,
                          const CHAR16 *Help = nullptr) {
    return {.Kind = ExpectedKind::Text,
            .Prompt = Keep(Prompt),
            .Help = Help,
            .TextTwo = TextTwo.empty() ? nullptr : Keep(TextTwo)};
  }
  EXPECTED_PAGE Page(UINTN Slot, const CHAR16 *Title, const std::vector<EXPECTED_STATEMENT> &Statements) {
    const std::vector<EXPECTED_STATEMENT> &Kept = Pages.emplace_back(Statements);
    return {Slot, Title, Kept.data(), Kept.size()};
  }

 private:
  std::deque<std::u16string> Texts;
  std::deque<std::vector<EXPECTED_OPTION>> OptionLists;
  std::deque<std::vector<EXPECTED_STATEMENT>> Pages;
};

// A simulated machine into which the driver image is loaded as firmware loads
// it (a fresh image state, then its entry point), with the platform's side of
// the road: installing the trigger protocols, the keyword handler's GetData and
// SetData, exports of package lists and the leak check.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/startup.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "hii/foreign_varstore.h"
#include "hii/registration.h"
#include "tests/sim_fixture.h"
#include "tests/sim_hii_builders.h"
#include "uefi/guids.h"

class LoadedDriverTest : public SimTest {
 protected:
  // A fresh image load and its entry point.
  static EFI_STATUS LoadDriver() {
    ResetDriverState();
    return AddOnCardEntry(nullptr, sim::SystemTable());
  }

  // Another component installs an instance of a watched protocol.
  static void InstallTrigger(const EFI_GUID &Protocol) {
    EFI_HANDLE Handle = nullptr;
    ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &Protocol, EFI_NATIVE_INTERFACE, nullptr), EFI_SUCCESS);
  }

  // Blocks the driver keeps for the life of the image: the language list of its
  // own package list, once read. Everything else a call obtains it releases.
  static std::size_t BlocksKeptForLife() { return CachedLanguageList != nullptr ? 1 : 0; }
  static ::testing::AssertionResult NothingLeaked(std::size_t HeldBefore) {
    const std::size_t Held = sim::HeldBlocks();
    if (VarStoreReadCache.Block != nullptr)
      return ::testing::AssertionFailure() << "a read cache is still held";
    if (Held == HeldBefore + BlocksKeptForLife()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Held << " blocks held, " << HeldBefore << " before and "
                                         << BlocksKeptForLife() << " kept for life";
  }

  static std::vector<UINT8> Export(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    if (HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL)
      return {};
    std::vector<UINT8> List(Size);
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size,
                                              reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data())),
              EFI_SUCCESS);
    return List;
  }

  // ---- the platform's keyword handler, on the driver's own keywords ----------------
  static EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *Keywords() {
    return hiitest::Locate<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL>(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID);
  }
  static std::u16string DriverPathHex() {
    const auto *Path = reinterpret_cast<const UINT8 *>(&ADDONCARD_DEVICE_PATH);
    return hiitest::Hex(hiitest::Bytes(Path, Path + sizeof(ADDONCARD_DEVICE_PATH)));
  }
  // SetData of one keyword with VALUE digits as the keyword string carries them.
  static EFI_STATUS SetKeyword(const std::u16string &Keyword, const std::u16string &Value) {
    const std::u16string Request =
        u"NAMESPACE=x-UEFI-QZV&PATH=" + DriverPathHex() + u"&KEYWORD=" + Keyword + u"&VALUE=" + Value;
    CHAR16 *Progress = nullptr;
    UINT32 Error = 0;
    return Keywords()->SetData(Keywords(), Request.c_str(), &Progress, &Error);
  }
  // The value GetData answers for the keyword; none when it fails.
  static std::optional<UINT64> GetKeyword(const std::u16string &Keyword) {
    const std::u16string Name = u"KEYWORD=" + Keyword;
    CHAR16 *Progress = nullptr, *Results = nullptr;
    UINT32 Error = 0;
    if (EFI_ERROR(Keywords()->GetData(Keywords(), u"NAMESPACE=x-UEFI-QZV", Name.c_str(), &Progress, &Error,
                                      &Results)))
      return std::nullopt;
    const std::u16string Answer = hiitest::Take(Results);
    const std::size_t At = Answer.find(u"&VALUE=");
    if (At == std::u16string::npos) return std::nullopt;
    return std::stoull(std::string(Answer.begin() + At + 7, Answer.end()), nullptr, 16);
  }

  static std::vector<UINT8> Variable(const std::u16string &Name, const EFI_GUID &Guid) {
    auto Found = sim::FindVariable(Name, Guid);
    return Found ? Found->Data : std::vector<UINT8>{};
  }
  static std::vector<UINT8> Oob() { return Variable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID); }
  // Changes one OOB byte as a direct write of the variable would.
  static void SetOobSlot(UINTN Slot, UINT8 Value) {
    std::vector<UINT8> Bytes = Oob();
    ASSERT_GT(Bytes.size(), Slot);
    Bytes[Slot] = Value;
    sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, ADDONCARD_VOLATILE_VAR_ATTRIBUTES,
                       Bytes);
  }
};

// A simulated machine on which the driver's handle carries its device path and
// the static form set is registered against it, as start-up leaves them; and
// pass-through wrappers of the string protocol and the router that record what
// the driver asks of them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forms/identities.h"
#include "forms/static_packages.h"
#include "hii/registration.h"
#include "sim/browser.h"
#include "tests/sim_fixture.h"
#include "tests/sim_packages.h"
#include "uefi/guids.h"

// The text of Id in Language, or "<error>" when there is none.
inline std::u16string ReadHiiString(EFI_HII_HANDLE List, const char *Language, EFI_STRING_ID Id) {
  CHAR16 Buffer[512] = {};
  UINTN Size = sizeof(Buffer);
  EFI_STATUS Status = HiiString->GetString(HiiString, Language, List, Id, Buffer, &Size, nullptr);
  return EFI_ERROR(Status) ? u"<error>" : std::u16string(Buffer);
}

class RegisteredDriverTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(Bs()->InstallMultipleProtocolInterfaces(&DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                                      &ADDONCARD_DEVICE_PATH, nullptr),
              EFI_SUCCESS);
    DriverHiiHandle =
        RegisterPackageList(&ADDONCARD_FORMSET_GUID, DriverHandle, AddOnCardStrings, AddOnCardForms, nullptr);
    ASSERT_NE(DriverHiiHandle, nullptr);
  }
  void TearDown() override {
    sim::CloseFormSet();
    SimTest::TearDown();
  }
};

// Records NewString/SetString calls ("New en-US", "Set x-UEFI-QZV #42") and
// GetLanguages calls, and passes each on to the real protocol.
struct StringSpy {
  static inline EFI_HII_STRING_PROTOCOL Table{};
  static inline EFI_HII_STRING_PROTOCOL *Real = nullptr;
  static inline std::vector<std::string> Calls;

  // Wrapping the spy itself, or nothing, keeps the protocol wrapped before.
  static EFI_HII_STRING_PROTOCOL *Wrap(EFI_HII_STRING_PROTOCOL *Protocol) {
    if (Protocol != nullptr && Protocol != &Table) Real = Protocol;
    Table = *Real;
    Table.NewString = NewString;
    Table.SetString = SetString;
    Table.GetLanguages = GetLanguages;
    Calls.clear();
    return &Table;
  }
  static EFI_STATUS EFIAPI NewString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List, EFI_STRING_ID *Id,
                                     const CHAR8 *Language, const CHAR16 *Name, const CHAR16 *Text,
                                     const EFI_FONT_INFO *Font) {
    Calls.push_back(std::string("New ") + Language);
    return Real->NewString(Real, List, Id, Language, Name, Text, Font);
  }
  static EFI_STATUS EFIAPI SetString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List, EFI_STRING_ID Id,
                                     const CHAR8 *Language, const CHAR16 *Text, const EFI_FONT_INFO *Font) {
    Calls.push_back(std::string("Set ") + Language + " #" + std::to_string(Id));
    return Real->SetString(Real, List, Id, Language, Text, Font);
  }
  static EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE List,
                                        CHAR8 *Languages, UINTN *Size) {
    Calls.push_back("Languages");
    return Real->GetLanguages(Real, List, Languages, Size);
  }
};

// The simulator's variable store: sizes and statuses of the variable services,
// enumeration, the test controls, and what survives a reset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_fixture.h"
#include "uefi/guids.h"

namespace {

constexpr EFI_GUID VendorA = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EFI_GUID VendorB = {0x87654321, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr UINT32 Volatile = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINT32 NonVolatile = EFI_VARIABLE_NON_VOLATILE | Volatile;

// These tests start from an empty store: the platform language that the
// simulated boot manager leaves behind is taken away first.
class SimVariables : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::DeleteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE);
  }
  EFI_STATUS Set(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, std::vector<UINT8> Data) {
    return Rt()->SetVariable(Name, &Guid, Attributes, Data.size(), Data.empty() ? nullptr : Data.data());
  }
};

TEST_F(SimVariables, GetReportsExactSizesAndAttributes) {
  ASSERT_EQ(Set(u"Var", VendorA, Volatile, {1, 2, 3}), EFI_SUCCESS);
  UINT8 Buffer[8] = {};
  UINT32 Attributes = 0;
  UINTN Size = 2;
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorA, &Attributes, &Size, Buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 3u);
  EXPECT_EQ(Attributes, Volatile);  // told on a short buffer too
  EXPECT_EQ(Buffer[0], 0);          // nothing written on a short buffer
  Attributes = 0;
  Size = sizeof Buffer;
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorA, &Attributes, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 3u);
  EXPECT_EQ(Attributes, Volatile);
  EXPECT_EQ(std::vector<UINT8>(Buffer, Buffer + 4), (std::vector<UINT8>{1, 2, 3, 0}));
  Size = sizeof Buffer;
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorA, nullptr, &Size, Buffer), EFI_SUCCESS);
}

TEST_F(SimVariables, LookupsAreByNameAndGuid) {
  ASSERT_EQ(Set(u"Var", VendorA, Volatile, {1}), EFI_SUCCESS);
  UINT8 Byte = 0;
  UINTN Size = 1;
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorB, nullptr, &Size, &Byte), EFI_NOT_FOUND);
  EXPECT_EQ(Rt()->GetVariable(u"var", &VendorA, nullptr, &Size, &Byte), EFI_NOT_FOUND);
  EXPECT_EQ(Rt()->GetVariable(u"", &VendorA, nullptr, &Size, &Byte), EFI_NOT_FOUND);
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorA, nullptr, nullptr, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Rt()->GetVariable(u"Var", nullptr, nullptr, &Size, &Byte), EFI_INVALID_PARAMETER);
}

TEST_F(SimVariables, SetChecksAttributesAndDeletes) {
  struct Case {
    const char *What;
    UINT32 Attributes;
    std::vector<UINT8> Data;
    EFI_STATUS Expected;
  } Cases[] = {
      {"runtime without boot-service access", EFI_VARIABLE_RUNTIME_ACCESS, {1}, EFI_INVALID_PARAMETER},
      {"unknown attribute bit", Volatile | 0x100, {1}, EFI_INVALID_PARAMETER},
      {"delete of a missing variable", Volatile, {}, EFI_NOT_FOUND},
      {"create", Volatile, {1, 2}, EFI_SUCCESS},
      {"rewrite with other attributes", NonVolatile, {3}, EFI_INVALID_PARAMETER},
      {"rewrite, new size", Volatile, {3, 4, 5}, EFI_SUCCESS},
      {"delete by size 0", Volatile, {}, EFI_SUCCESS},
      {"create again", Volatile, {7}, EFI_SUCCESS},
      {"delete by attributes 0", 0, {9}, EFI_SUCCESS},
  };
  for (const Case &C : Cases) EXPECT_EQ(Set(u"Var", VendorA, C.Attributes, C.Data), C.Expected) << C.What;
  EXPECT_FALSE(sim::FindVariable(u"Var", VendorA).has_value());
  EXPECT_EQ(Rt()->SetVariable(u"Var", &VendorA, Volatile, 4, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Rt()->SetVariable(u"", &VendorA, Volatile, 0, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimVariables, RewriteKeepsTheNewBytesOnly) {
  ASSERT_EQ(Set(u"Var", VendorA, Volatile, {1, 2, 3, 4}), EFI_SUCCESS);
  ASSERT_EQ(Set(u"Var", VendorA, Volatile, {9}), EFI_SUCCESS);
  auto Stored = sim::FindVariable(u"Var", VendorA);
  ASSERT_TRUE(Stored.has_value());
  EXPECT_EQ(Stored->Data, std::vector<UINT8>{9});
  EXPECT_EQ(Stored->Attributes, Volatile);
}

TEST_F(SimVariables, GetNextVariableNameWalksEveryVariableOnce) {
  Set(u"First", VendorA, Volatile, {1});
  Set(u"Second", VendorB, NonVolatile, {2});
  Set(u"First", VendorB, Volatile, {3});
  std::vector<std::pair<std::u16string, UINT32>> Seen;
  CHAR16 Name[64] = {0};
  EFI_GUID Guid = {};
  for (;;) {
    UINTN Size = sizeof Name;
    EFI_STATUS Status = Rt()->GetNextVariableName(&Size, Name, &Guid);
    if (Status == EFI_NOT_FOUND) break;
    ASSERT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Size, (std::u16string(Name).size() + 1) * 2);
    Seen.push_back({Name, Guid.Data1});
  }
  EXPECT_EQ(Seen, (std::vector<std::pair<std::u16string, UINT32>>{
                      {u"First", VendorA.Data1}, {u"Second", VendorB.Data1}, {u"First", VendorB.Data1}}));
  EXPECT_EQ(sim::VariableCount(), 3u);
  EXPECT_EQ(sim::ListVariables()[1].Name, u"Second");
}

TEST_F(SimVariables, GetNextVariableNameSizesAndUnknownNames) {
  Set(u"LongerName", VendorA, Volatile, {1});
  CHAR16 Name[64] = {0};
  EFI_GUID Guid = {};
  UINTN Size = 4;
  EXPECT_EQ(Rt()->GetNextVariableName(&Size, Name, &Guid), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 22u);
  std::u16string Unknown = u"Nope";
  std::copy(Unknown.begin(), Unknown.end(), Name);
  Size = sizeof Name;
  EXPECT_EQ(Rt()->GetNextVariableName(&Size, Name, &Guid), EFI_INVALID_PARAMETER);
  CHAR16 Unterminated[2] = {u'A', u'B'};
  Size = sizeof Unterminated;
  EXPECT_EQ(Rt()->GetNextVariableName(&Size, Unterminated, &Guid), EFI_INVALID_PARAMETER);
}

TEST_F(SimVariables, ResetKeepsNonVolatileAndPowerOnDropsAll) {
  Set(u"Kept", VendorA, NonVolatile, {1});
  Set(u"Lost", VendorA, Volatile, {2});
  sim::Reset();
  EXPECT_TRUE(sim::FindVariable(u"Kept", VendorA).has_value());
  EXPECT_FALSE(sim::FindVariable(u"Lost", VendorA).has_value());
  UINT8 Byte = 0;
  UINTN Size = 1;
  EXPECT_EQ(sim::SystemTable()->RuntimeServices->GetVariable(u"Kept", &VendorA, nullptr, &Size, &Byte),
            EFI_SUCCESS);
  EXPECT_EQ(Byte, 1);
  sim::PowerOn();
  ASSERT_EQ(sim::VariableCount(), 1u);
  // Set anew by the boot manager as the reference firmware leaves it: "en" with its NUL, non-volatile.
  const sim::VariableRecord Language = sim::ListVariables()[0];
  EXPECT_EQ(Language.Name, u"PlatformLang");
  EXPECT_TRUE(GuidEquals(Language.Guid, EFI_GLOBAL_VARIABLE));
  EXPECT_EQ(Language.Attributes, NonVolatile);
  EXPECT_EQ(Language.Data, (std::vector<UINT8>{'e', 'n', 0}));
}

TEST_F(SimVariables, TestControlsBypassTheChecks) {
  sim::WriteVariable(u"Odd", VendorA, EFI_VARIABLE_NON_VOLATILE, {});
  auto Stored = sim::FindVariable(u"Odd", VendorA);
  ASSERT_TRUE(Stored.has_value());
  EXPECT_EQ(Stored->Attributes, EFI_VARIABLE_NON_VOLATILE);
  EXPECT_TRUE(Stored->Data.empty());
  UINTN Size = 0;
  EXPECT_EQ(Rt()->GetVariable(u"Odd", &VendorA, nullptr, &Size, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(sim::DeleteVariable(u"Odd", VendorA));
  EXPECT_FALSE(sim::DeleteVariable(u"Odd", VendorA));
}

TEST_F(SimVariables, VariableServicesConsultTheirFaults) {
  sim::FailService("RuntimeServices.SetVariable", EFI_WRITE_PROTECTED);
  EXPECT_EQ(Set(u"Var", VendorA, Volatile, {1}), EFI_WRITE_PROTECTED);
  EXPECT_EQ(sim::VariableCount(), 0u);
  EXPECT_EQ(Set(u"Var", VendorA, Volatile, {1}), EFI_SUCCESS);
  sim::FailService("RuntimeServices.GetVariable", EFI_DEVICE_ERROR);
  UINT8 Byte = 0;
  UINTN Size = 1;
  EXPECT_EQ(Rt()->GetVariable(u"Var", &VendorA, nullptr, &Size, &Byte), EFI_DEVICE_ERROR);
  sim::FailService("RuntimeServices.GetNextVariableName", EFI_DEVICE_ERROR);
  CHAR16 Name[8] = {0};
  EFI_GUID Guid = {};
  Size = sizeof Name;
  EXPECT_EQ(Rt()->GetNextVariableName(&Size, Name, &Guid), EFI_DEVICE_ERROR);
}

}  // namespace

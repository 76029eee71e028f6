// The three variables: what a load keeps, repairs or creates, and what a publish
// hands to the driver-wide copies and the browser.
#include "forms/variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "tests/driver_hii_fixture.h"

namespace {

using Bytes = std::vector<UINT8>;

template <typename T>
Bytes BytesOf(const T &Record) {
  const auto *P = reinterpret_cast<const UINT8 *>(&Record);
  return Bytes(P, P + sizeof(T));
}

Bytes Stored(const std::u16string &Name, const EFI_GUID &Guid, UINT32 *Attributes = nullptr) {
  std::optional<sim::VariableRecord> Found = sim::FindVariable(Name, Guid);
  if (!Found) return {};
  if (Attributes != nullptr) *Attributes = Found->Attributes;
  return Found->Data;
}

const Bytes DefaultPci = BytesOf(ADDONCARD_PCI_DEFAULTS);

Bytes PciRecord(UINT16 Vendor0, UINT16 Device0, UINT8 Count, UINT16 Vendor3 = 0) {
  ADDONCARD_PCI_ID_LIST R = {};
  R.VendorId[0] = Vendor0;
  R.DeviceId[0] = Device0;
  R.VendorId[3] = Vendor3;
  R.PairCount = Count;
  return BytesOf(R);
}

using VariableLoadTest = SimTest;

TEST_F(VariableLoadTest, FirstBootCreatesAllThreeWithTheirAttributes) {
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_STRING_SLOTS Strings;
  ADDONCARD_PCI_ID_LIST Pci;
  std::memset(&Oob, 0xAA, sizeof(Oob));
  std::memset(&Strings, 0xAA, sizeof(Strings));
  EXPECT_EQ(LoadOobVar(&Oob), EFI_SUCCESS);
  EXPECT_EQ(LoadStringVar(&Strings), EFI_SUCCESS);
  EXPECT_EQ(LoadPciVar(&Pci), EFI_SUCCESS);

  UINT32 Attributes = 0;
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, &Attributes), Bytes(1024, 0));
  EXPECT_EQ(Attributes, 0x6u);
  EXPECT_EQ(Stored(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID, &Attributes), Bytes(25600, 0));
  EXPECT_EQ(Attributes, 0x6u);
  EXPECT_EQ(Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, &Attributes), DefaultPci);
  EXPECT_EQ(Attributes, 0x7u);
  EXPECT_EQ(BytesOf(Oob), Bytes(1024, 0));
  EXPECT_EQ(BytesOf(Strings), Bytes(25600, 0));
  EXPECT_EQ(BytesOf(Pci), DefaultPci);
}

TEST_F(VariableLoadTest, PciListIsKeptUnlessMisSizedOrBlank) {
  struct Row {
    const char *Name;
    Bytes Data;
    bool Kept;
  };
  const std::vector<Row> Rows = {
      {"40 bytes", Bytes(40, 1), false},
      {"42 bytes", Bytes(42, 1), false},
      {"count and first pair zero, fourth pair set", PciRecord(0, 0, 0, 0xABCD), false},
      {"count zero, first vendor set", PciRecord(0x15B3, 0, 0), true},
      {"count 0xFF", PciRecord(0x1234, 0x5678, 0xFF), true},
      {"edited list", PciRecord(0xABCD, 0x0042, 1, 0x15B3), true},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x7, R.Data);
    ADDONCARD_PCI_ID_LIST Pci;
    EXPECT_EQ(LoadPciVar(&Pci), EFI_SUCCESS);
    const Bytes &Expected = R.Kept ? R.Data : DefaultPci;
    EXPECT_EQ(BytesOf(Pci), Expected);
    EXPECT_EQ(Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID), Expected);
  }
}

TEST_F(VariableLoadTest, VolatileRecordsAreKeptOnlyAtTheirExactSize) {
  struct Row {
    const char *Name;
    Bytes Data;
    bool Kept;
  };
  Bytes Marked(1024, 0);
  Marked[1023] = 0x42;
  const std::vector<Row> Rows = {
      {"1023 bytes", Bytes(1023, 7), false},
      {"1025 bytes", Bytes(1025, 7), false},
      {"1024 bytes", Marked, true},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, 0x6, R.Data);
    ADDONCARD_OOB_SLOTS Oob;
    EXPECT_EQ(LoadOobVar(&Oob), EFI_SUCCESS);
    const Bytes Expected = R.Kept ? R.Data : Bytes(1024, 0);
    EXPECT_EQ(BytesOf(Oob), Expected);
    EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID), Expected);
  }
}

TEST_F(VariableLoadTest, FailuresStillLeaveAUsableRecord) {
  // A failed write is reported; the caller works on with zeros or defaults.
  sim::FailService("RuntimeServices.SetVariable", EFI_OUT_OF_RESOURCES, -1);
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_PCI_ID_LIST Pci;
  EXPECT_EQ(LoadOobVar(&Oob), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(LoadPciVar(&Pci), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(BytesOf(Oob), Bytes(1024, 0));
  EXPECT_EQ(BytesOf(Pci), DefaultPci);
  EXPECT_FALSE(sim::FindVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID).has_value());
  EXPECT_FALSE(sim::FindVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID).has_value());
  sim::ClearFaults();

  // A read that fails for another reason than absence or size says nothing about
  // the stored record, which is therefore not overwritten.
  const Bytes Edited = PciRecord(0xABCD, 0x0042, 1);
  Bytes Pending(1024, 0);
  Pending[3] = 9;
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x7, Edited);
  sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, 0x6, Pending);
  sim::FailService("RuntimeServices.GetVariable", EFI_DEVICE_ERROR, 2);
  EXPECT_EQ(LoadPciVar(&Pci), EFI_DEVICE_ERROR);
  EXPECT_EQ(LoadOobVar(&Oob), EFI_DEVICE_ERROR);
  EXPECT_EQ(BytesOf(Pci), DefaultPci);
  EXPECT_EQ(BytesOf(Oob), Bytes(1024, 0));
  EXPECT_EQ(Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID), Edited);
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID), Pending);
}

// A variable stored with other attributes than its own (by an older image, a
// tool, a damaged store) cannot be written over: the firmware refuses a change
// of attributes. The load stores it again with its own, keeping a usable record.
TEST_F(VariableLoadTest, OtherAttributesAreReplacedWithTheVariablesOwn) {
  const Bytes Edited = PciRecord(0xABCD, 0x0042, 1);
  Bytes Marked(1024, 0);
  Marked[5] = 0x42;
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x3, Edited);
  sim::WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, 0x7, Marked);
  sim::WriteVariable(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID, 0x7, Bytes(12, 1));
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_STRING_SLOTS Strings;
  ADDONCARD_PCI_ID_LIST Pci;
  EXPECT_EQ(LoadOobVar(&Oob), EFI_SUCCESS);
  EXPECT_EQ(LoadStringVar(&Strings), EFI_SUCCESS);
  EXPECT_EQ(LoadPciVar(&Pci), EFI_SUCCESS);

  UINT32 Attributes = 0;
  EXPECT_EQ(Stored(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, &Attributes), Edited);
  EXPECT_EQ(Attributes, 0x7u);
  EXPECT_EQ(BytesOf(Pci), Edited);
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, &Attributes), Marked);
  EXPECT_EQ(Attributes, 0x6u);
  EXPECT_EQ(BytesOf(Oob), Marked);
  // Of the wrong size as well: replaced by zeros.
  EXPECT_EQ(Stored(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID, &Attributes), Bytes(25600, 0));
  EXPECT_EQ(Attributes, 0x6u);

  // The variables take writes again.
  Marked[6] = 0x43;
  EXPECT_EQ(Rt()->SetVariable(TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, 0x6, Marked.size(), Marked.data()),
            EFI_SUCCESS);
}

TEST_F(VariableLoadTest, AResetDropsTheVolatileVariablesOnly) {
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_STRING_SLOTS Strings;
  ADDONCARD_PCI_ID_LIST Pci;
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x7, PciRecord(0xABCD, 0x0042, 1));
  LoadOobVar(&Oob);
  LoadStringVar(&Strings);
  sim::Reset();
  ResetDriverState();
  InitializeServiceTables(nullptr, sim::SystemTable());
  EXPECT_TRUE(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID).empty());
  EXPECT_TRUE(Stored(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID).empty());
  EXPECT_EQ(LoadPciVar(&Pci), EFI_SUCCESS);
  EXPECT_EQ(Pci.VendorId[0], 0xABCD);
  EXPECT_EQ(LoadOobVar(&Oob), EFI_SUCCESS);
  EXPECT_EQ(Stored(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID), Bytes(1024, 0));
}

// ---- publish -----------------------------------------------------------------------------

class VariablePublishTest : public RegisteredDriverTest {};

TEST_F(VariablePublishTest, StartUpFillsTheCopiesWhileNoBrowserIsOpen) {
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, 0x7, PciRecord(0xABCD, 0x0042, 2));
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_STRING_SLOTS Strings;
  ADDONCARD_PCI_ID_LIST Pci;
  LoadOobVar(&Oob);
  LoadStringVar(&Strings);
  LoadPciVar(&Pci);
  const std::size_t Held = sim::HeldBlocks();
  EXPECT_FALSE(PublishOobVar(&Oob));
  EXPECT_FALSE(PublishStringVar(&Strings));
  EXPECT_FALSE(PublishPciVar(&Pci));
  EXPECT_EQ(BytesOf(PciIdListCopy), PciRecord(0xABCD, 0x0042, 2));
  EXPECT_EQ(BytesOf(OobVarCopy), Bytes(1024, 0));
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

TEST_F(VariablePublishTest, PushesEachCopyIntoTheOpenFormSet) {
  ASSERT_EQ(sim::OpenFormSet(DriverHiiHandle), EFI_SUCCESS);
  const std::size_t Held = sim::HeldBlocks();

  ADDONCARD_PCI_ID_LIST Pci = ADDONCARD_PCI_DEFAULTS;
  Pci.VendorId[1] = 0xABCD;
  Pci.PairCount = 2;
  EXPECT_TRUE(PublishPciVar(&Pci));
  EXPECT_EQ(BytesOf(PciIdListCopy), BytesOf(Pci));
  EXPECT_EQ(*sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR), BytesOf(Pci));

  OobVarCopy.Slot[5] = 7;  // the copy itself as the source
  EXPECT_TRUE(PublishOobVar(&OobVarCopy));
  EXPECT_EQ((*sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_OOB_VAR))[5], 7);

  ADDONCARD_STRING_SLOTS Strings = {};
  std::memcpy(Strings.Slot[49], u"last slot", 20);
  EXPECT_TRUE(PublishStringVar(&Strings));
  EXPECT_EQ(*sim::EditBuffer(ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_STRING_VAR), BytesOf(Strings));
  EXPECT_EQ(sim::HeldBlocks(), Held);

  // A failing browser is reported and otherwise ignored: the copy is updated.
  sim::FailService("FormBrowser2.BrowserCallback", EFI_DEVICE_ERROR, -1);
  Pci.PairCount = 3;
  EXPECT_FALSE(PublishPciVar(&Pci));
  EXPECT_EQ(PciIdListCopy.PairCount, 3);
  EXPECT_EQ((*sim::EditBuffer(ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR))[0x28], 2);
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

}  // namespace

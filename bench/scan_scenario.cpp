#include "bench/scan_scenario.h"

#include <cstring>
#include <stdexcept>

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "driver/startup.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "sim/sim.h"
#include "uefi/guids.h"

namespace bench {
namespace {

std::size_t HeldBeforeDriver = 0;

void WriteSupportedList() {
  ADDONCARD_PCI_ID_LIST List = {};
  List.VendorId[0] = SCAN_VENDOR_ID;
  List.DeviceId[0] = SCAN_DEVICE_ID;
  List.PairCount = 1;
  const auto *Bytes = reinterpret_cast<const UINT8 *>(&List);
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                     std::vector<UINT8>(Bytes, Bytes + sizeof(List)));
}

void LoadDriver() {
  ResetDriverState();
  if (AddOnCardEntry(nullptr, sim::SystemTable()) != EFI_SUCCESS)
    throw std::runtime_error("the driver did not start");
}

}  // namespace

std::string ShapeName(const ScanShape &Shape) {
  return std::to_string(Shape.Cards) + (Shape.Cards == 1 ? " card, " : " cards, ") +
         std::to_string(Shape.Questions) + " questions";
}

void PrepareScan(const ScanShape &Shape) {
  if (Shape.Cards == 0 || Shape.Cards > 10 || Shape.Questions < Shape.Cards)
    throw std::invalid_argument("1 to 10 cards, at least one question each");
  std::vector<sim::CardShape> Shapes;
  for (unsigned Card = 0; Card < Shape.Cards; ++Card) {
    // The first cards take the questions the division leaves over.
    const unsigned Questions = Shape.Questions / Shape.Cards + (Card < Shape.Questions % Shape.Cards ? 1 : 0);
    Shapes.push_back(
        sim::BigCardShape(static_cast<UINT16>(Questions), static_cast<UINT16>(Shape.StringsPerCard)));
  }
  PrepareScan(Shapes);
}

void PrepareScan(const std::vector<sim::CardShape> &Shapes, const std::string &PlatformLang) {
  sim::PowerOn();
  WriteSupportedList();
  if (!PlatformLang.empty())
    sim::WriteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE, 0x6,
                       std::vector<UINT8>(PlatformLang.begin(), PlatformLang.end() + 1));
  for (std::size_t Index = 0; Index < Shapes.size(); ++Index)
    sim::PublishShape(sim::AddPciFunction(SCAN_VENDOR_ID, SCAN_DEVICE_ID, 0, Index + 1, 0), Shapes[Index]);
  HeldBeforeDriver = sim::HeldBytes();
  LoadDriver();
}

std::size_t PoolBytesBeforeDriver() { return HeldBeforeDriver; }

void RunScan() {
  EFI_HANDLE Handle = nullptr;
  if (sim::SystemTable()->BootServices->InstallProtocolInterface(
          &Handle, &CARD_FORMS_NOTIFY_GUID, EFI_NATIVE_INTERFACE, nullptr) != EFI_SUCCESS)
    throw std::runtime_error("the scan trigger could not be installed");
}

std::vector<UINT8> ExportDriverList() {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL)
    return {};
  std::vector<UINT8> List(Size);
  if (HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Size,
                                      reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data())) !=
      EFI_SUCCESS)
    return {};
  return List;
}

std::vector<UINT8> FormAndStringPackages(const std::vector<UINT8> &List) {
  std::vector<UINT8> Kept;
  std::size_t Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (Offset + 4 <= List.size()) {
    UINT32 Header = 0;
    std::memcpy(&Header, List.data() + Offset, 4);
    const std::size_t Length = Header & 0xFFFFFF;
    const UINT8 Type = static_cast<UINT8>(Header >> 24);
    if (Type == EFI_HII_PACKAGE_END || Length < 4 || Offset + Length > List.size()) break;
    if (Type == EFI_HII_PACKAGE_FORMS || Type == EFI_HII_PACKAGE_STRINGS)
      Kept.insert(Kept.end(), List.begin() + Offset, List.begin() + Offset + Length);
    Offset += Length;
  }
  return Kept;
}

std::uint64_t Digest(const std::vector<UINT8> &Bytes, std::uint64_t Seed) {
  std::uint64_t Hash = Seed;
  for (UINT8 Byte : Bytes) {
    Hash ^= Byte;
    Hash *= 0x100000001B3ULL;
  }
  return Hash;
}

}  // namespace bench

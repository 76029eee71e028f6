// The simulator's HII database must export the driver's static package list
// exactly as OVMF does. The firmware test application registers the same list
// in OVMF and prints its export; ctest runs this test as
// firmware_export_matches_ovmf after firmware_ovmf, with ADDONCARD_FIRMWARE_EXPORT
// naming the file the runner cut that export into.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qemu/static_package_list.h"
#include "tests/sim_fixture.h"
#include "uefi/guids.h"

namespace {

// Hexadecimal digit pairs; white space between them is ignored.
bool ReadHexFile(const std::string &Path, std::vector<UINT8> &Bytes, std::string &Error) {
  std::ifstream File(Path);
  if (!File) {
    Error = "cannot open " + Path;
    return false;
  }
  std::string Digits;
  for (char Character; File.get(Character);) {
    if (std::isspace(static_cast<unsigned char>(Character))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(Character))) {
      Error = Path + ": not a hexadecimal digit: '" + Character + "'";
      return false;
    }
    Digits += Character;
  }
  if (Digits.empty() || Digits.size() % 2 != 0) {
    Error =
        Path + ": " + std::to_string(Digits.size()) + " hexadecimal digits, expected a non-empty even count";
    return false;
  }
  for (size_t Index = 0; Index < Digits.size(); Index += 2)
    Bytes.push_back(static_cast<UINT8>(std::stoul(Digits.substr(Index, 2), nullptr, 16)));
  return true;
}

struct PackageSpan {
  size_t Offset;
  UINT8 Type;
  UINT32 Length;
};

// The packages after the list header, as far as their lengths stay inside.
std::vector<PackageSpan> SplitExport(const std::vector<UINT8> &Export) {
  std::vector<PackageSpan> Packages;
  size_t Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (Offset + sizeof(EFI_HII_PACKAGE_HEADER) <= Export.size()) {
    const auto &Header = *reinterpret_cast<const EFI_HII_PACKAGE_HEADER *>(Export.data() + Offset);
    const UINT32 Length = PackageLength(Header);
    if (Length < sizeof(EFI_HII_PACKAGE_HEADER) || Length > Export.size() - Offset) break;
    Packages.push_back({Offset, PackageType(Header), Length});
    if (PackageType(Header) == EFI_HII_PACKAGE_END) break;
    Offset += Length;
  }
  return Packages;
}

std::string Hex(size_t Value, int Digits = 0) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%0*zX", Digits, Value);
  return Text;
}

std::string DescribeLayout(const std::vector<UINT8> &Export) {
  std::string Text = std::to_string(Export.size()) + " bytes; packages (type/length):";
  for (const PackageSpan &Package : SplitExport(Export))
    Text += " " + Hex(Package.Type, 2) + "/0x" + Hex(Package.Length);
  return Text;
}

std::string BytesAround(const std::vector<UINT8> &Export, size_t Offset) {
  std::string Text;
  for (size_t Index = Offset; Index < Export.size() && Index < Offset + 16; ++Index)
    Text += Hex(Export[Index], 2) + " ";
  return Text.empty() ? "(end)" : Text;
}

// Where the two exports part: both layouts, then the first differing byte with
// the package it falls in and the bytes from there on.
std::string DescribeDifference(const std::vector<UINT8> &Firmware, const std::vector<UINT8> &Simulator) {
  size_t First = 0;
  while (First < Firmware.size() && First < Simulator.size() && Firmware[First] == Simulator[First]) ++First;
  std::string Where = "the list header";
  for (const PackageSpan &Package : SplitExport(Firmware))
    if (First >= Package.Offset && First < Package.Offset + Package.Length)
      Where = "package type " + Hex(Package.Type, 2) + " at 0x" + Hex(Package.Offset) + ", its byte 0x" +
              Hex(First - Package.Offset);
  return "OVMF:      " + DescribeLayout(Firmware) + "\nsimulator: " + DescribeLayout(Simulator) +
         "\nfirst difference at byte 0x" + Hex(First) + " (in OVMF's " + Where +
         ")\n  OVMF:      " + BytesAround(Firmware, First) +
         "\n  simulator: " + BytesAround(Simulator, First);
}

class FirmwareExport : public SimTest {
 protected:
  // Registers the list as the firmware test did: on a new handle carrying the
  // driver's vendor device path.
  std::vector<UINT8> RegisterAndExport() {
    EFI_HANDLE Handle = nullptr;
    EXPECT_EQ(
        Bs()->InstallProtocolInterface(&Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                       const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH)),
        EFI_SUCCESS);
    EFI_HII_PACKAGE_LIST_HEADER *List = BuildStaticPackageList();
    EFI_HII_HANDLE HiiHandle = nullptr;
    EXPECT_EQ(HiiDatabase->NewPackageList(HiiDatabase, List, Handle, &HiiHandle), EFI_SUCCESS);
    PoolFree(List);
    UINTN Size = 0;
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, HiiHandle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
    std::vector<UINT8> Export(Size);
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, HiiHandle, &Size,
                                              reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Export.data())),
              EFI_SUCCESS);
    return Export;
  }
};

TEST_F(FirmwareExport, SimulatorExportsTheStaticListAsOvmfDid) {
  const char *Path = std::getenv("ADDONCARD_FIRMWARE_EXPORT");
  ASSERT_NE(Path, nullptr) << "needs OVMF's export; ctest runs this as firmware_export_matches_ovmf after firmware_ovmf";
  std::vector<UINT8> Firmware;
  std::string Error;
  ASSERT_TRUE(ReadHexFile(Path, Firmware, Error)) << Error;
  const std::vector<UINT8> Simulator = RegisterAndExport();
  EXPECT_TRUE(Firmware == Simulator) << DescribeDifference(Firmware, Simulator);
}

}  // namespace

// Writes the seed inputs that come from this repository's own fixtures into
// the corpus directories below its argument (fuzz/make-seeds.sh runs it):
//   card_page/          the card shapes' package lists
//   form_update/        the driver's exported list with no, one and three pages
//   config_strings/     requests and configurations of the driver's three
//                       stores, and a card's real answer through the router
//   variables/          valid records of the three variables
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/card_pages.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "driver/startup.h"
#include "forms/config_access.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "sim/card_shapes.h"
#include "sim/sim.h"

namespace {

std::filesystem::path Root;

void Write(const std::string &Dir, const std::string &Name, const std::vector<UINT8> &Bytes) {
  std::filesystem::create_directories(Root / Dir);
  std::ofstream File(Root / Dir / Name, std::ios::binary);
  File.write(reinterpret_cast<const char *>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

std::vector<UINT8> Narrow(UINT8 Mode, const std::vector<UINT8> &Prefix, const std::u16string &Text) {
  std::vector<UINT8> Bytes = {Mode};
  Bytes.insert(Bytes.end(), Prefix.begin(), Prefix.end());
  for (char16_t Unit : Text) Bytes.push_back(static_cast<UINT8>(Unit));
  return Bytes;
}

void LoadDriver() {
  sim::PowerOn();
  ResetDriverState();
  AddOnCardEntry(nullptr, sim::SystemTable());
}

std::vector<UINT8> ExportList(EFI_HII_HANDLE Handle) {
  UINTN Size = 0;
  HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr);
  std::vector<UINT8> List(Size);
  HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size,
                                  reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()));
  return List;
}

void CardPages() {
  for (const sim::CardShape &Shape : sim::FixtureShapes()) Write("card_page", "shape-" + Shape.Name, Shape.PackageList);
}

void DriverExports() {
  LoadDriver();
  Write("form_update", "driver-no-page", ExportList(DriverHiiHandle));
  sim::PublishShape(sim::AddPciFunction(0x15B3, 0x1021, 0x3B, 0, 0), sim::SampleCardShape());
  OnCardFormsNotify(nullptr, nullptr);
  Write("form_update", "driver-one-page", ExportList(DriverHiiHandle));
  sim::PublishShape(sim::AddPciFunction(0x15B3, 0x1021, 0x3C, 0, 0), sim::EdgeCardShape());
  OnCardFormsNotify(nullptr, nullptr);
  Write("form_update", "driver-three-pages", ExportList(DriverHiiHandle));
}

void ConfigStrings() {
  LoadDriver();
  CHAR16 *Progress = nullptr, *Results = nullptr;
  ExtractConfig(&AddOnCardConfigAccess, nullptr, &Progress, &Results);
  std::u16string All(Results);
  sim::SystemTable()->BootServices->FreePool(Results);
  // One configuration per store: the answer split before each "GUID=" but the first.
  std::vector<std::u16string> Configurations;
  for (std::size_t At = 0; At != std::u16string::npos;) {
    const std::size_t Next = All.find(u"&GUID=", At + 1);
    Configurations.push_back(All.substr(At, Next == std::u16string::npos ? Next : Next - At));
    At = Next == std::u16string::npos ? Next : Next + 1;
  }
  int Index = 0;
  for (const std::u16string &Configuration : Configurations) {
    const std::u16string Header = Configuration.substr(0, Configuration.find(u"&OFFSET="));
    const std::string N = std::to_string(Index++);
    Write("config_strings", "extract-header-" + N, Narrow(0, {}, Header));
    Write("config_strings", "extract-element-" + N, Narrow(0, {}, Header + u"&OFFSET=0&WIDTH=4"));
    // Values cut short: the seeds stay small.
    const std::u16string Route = Header + u"&OFFSET=1&WIDTH=2&VALUE=ab12";
    Write("config_strings", "route-" + N, Narrow(1, {}, Route));
  }
  Write("config_strings", "route-whole-pci", Narrow(1, {}, Configurations.back()));
  // The browser's edit buffer as the body of a configuration.
  const std::u16string &Oob = Configurations.front();
  Write("config_strings", "browser-data", Narrow(3, {0}, Oob.substr(Oob.find(u"&OFFSET=") + 1, 120)));

  // A card's store as the router answers a read of it.
  sim::CardDriver &Card = sim::PublishSampleCard();
  const sim::CardStore &Store = Card.Stores.front();
  std::u16string Request;
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = ConfigRouting;
  CHAR16 *Answer = nullptr;
  Request = u"GUID=";
  for (std::size_t Byte = 0; Byte < sizeof(EFI_GUID); ++Byte) {
    static const char16_t Digits[] = u"0123456789abcdef";
    const UINT8 Value = reinterpret_cast<const UINT8 *>(&Store.Guid)[Byte];
    Request += Digits[Value >> 4];
    Request += Digits[Value & 0xF];
  }
  Request += u"&NAME=";
  for (char Ascii : Store.Name) {
    static const char16_t Digits[] = u"0123456789abcdef";
    Request += u"00";
    Request += Digits[static_cast<UINT8>(Ascii) >> 4];
    Request += Digits[static_cast<UINT8>(Ascii) & 0xF];
  }
  Request += u"&PATH=";
  for (UINT8 Byte : Card.DevicePath) {
    static const char16_t Digits[] = u"0123456789abcdef";
    Request += Digits[Byte >> 4];
    Request += Digits[Byte & 0xF];
  }
  Request += u"&OFFSET=0&WIDTH=50";
  if (!EFI_ERROR(Router->ExtractConfig(Router, Request.c_str(), &Progress, &Answer))) {
    Write("config_strings", "router-answer", Narrow(2, {0, 0, 0, 0, 0}, Answer));
    Write("config_strings", "router-answer-short", Narrow(2, {16, 0, 1, 0, 40}, Answer));
    sim::SystemTable()->BootServices->FreePool(Answer);
  }
}

void Variables() {
  // Header: all three present at their record sizes, pair 1, the right attributes.
  std::vector<UINT8> Input = {0x07, 1, ADDONCARD_PCI_VAR_ATTRIBUTES, 0, 0, ADDONCARD_VOLATILE_VAR_ATTRIBUTES, 0, 0,
                              ADDONCARD_VOLATILE_VAR_ATTRIBUTES, 0, 0, 1};
  ADDONCARD_PCI_ID_LIST Pci = {{0x15B3, 0x8086}, {0x1021, 0x1572}, 2};
  const auto *PciBytes = reinterpret_cast<const UINT8 *>(&Pci);
  Input.insert(Input.end(), PciBytes, PciBytes + sizeof(Pci));
  Write("variables", "valid-records", Input);
  // The PCI list only, the volatile ones missing; an OOB record of the wrong size.
  Input[0] = 0x01;
  Write("variables", "pci-only", Input);
  Input[0] = 0x23;
  Input[6] = 0x10;
  Write("variables", "oob-wrong-size", Input);
}

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-DIRECTORY\n", Argv[0]);
    return 2;
  }
  Root = Argv[1];
  CardPages();
  DriverExports();
  ConfigStrings();
  Variables();
  return 0;
}

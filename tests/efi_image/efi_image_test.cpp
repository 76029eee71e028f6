// AddOnCard.efi as the efi build leaves it for a platform's firmware build: a
// PE32+ boot-service driver for x64 whose entry point is AddOnCardEntry, its
// dependency expression, and a module description (AddOnCard.inf) that names
// what the image really is, needs and uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "forms/notify.h"
#include "uefi/guids.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Dir(const char *Variable) {
  const char *Value = std::getenv(Variable);
  return Value == nullptr ? std::string() : std::string(Value) + "/";
}
std::string EfiDir() { return Dir("ADDONCARD_EFI_BUILD_DIR"); }

Bytes ReadFile(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(In), {});
}
std::string ReadText(const std::string &Path) {
  const Bytes B = ReadFile(Path);
  return std::string(B.begin(), B.end());
}

unsigned Le(const Bytes &B, std::size_t At, unsigned Width) {
  unsigned Value = 0;
  for (unsigned Index = Width; Index > 0; --Index) Value = Value << 8 | B.at(At + Index - 1);
  return Value;
}

Bytes GuidBytes(const EFI_GUID &Guid) {
  const auto *Raw = reinterpret_cast<const unsigned char *>(&Guid);
  return Bytes(Raw, Raw + sizeof(EFI_GUID));
}
bool Contains(const Bytes &Haystack, const Bytes &Needle) {
  return std::search(Haystack.begin(), Haystack.end(), Needle.begin(), Needle.end()) != Haystack.end();
}
std::string GuidText(const EFI_GUID &G) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2,
                G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6],
                G.Data4[7]);
  return Text;
}

// The names a module description gives the GUIDs of uefi/guids.h.
const std::map<std::string, EFI_GUID> &KnownGuids() {
  static const std::map<std::string, EFI_GUID> Known = {
      {"gEfiHiiDatabaseProtocolGuid", EFI_HII_DATABASE_PROTOCOL_GUID},
      {"gEfiHiiStringProtocolGuid", EFI_HII_STRING_PROTOCOL_GUID},
      {"gEfiHiiConfigRoutingProtocolGuid", EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID},
      {"gEfiHiiConfigAccessProtocolGuid", EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID},
      {"gEfiFormBrowser2ProtocolGuid", EFI_FORM_BROWSER2_PROTOCOL_GUID},
      {"gEfiConfigKeywordHandlerProtocolGuid", EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID},
      {"gEfiPciIoProtocolGuid", EFI_PCI_IO_PROTOCOL_GUID},
      {"gEfiDevicePathProtocolGuid", EFI_DEVICE_PATH_PROTOCOL_GUID},
      {"gEfiLoadedImageProtocolGuid", EFI_LOADED_IMAGE_PROTOCOL_GUID},
      {"gEfiHiiFontProtocolGuid", EFI_HII_FONT_PROTOCOL_GUID},
      {"gEfiHiiImageProtocolGuid", EFI_HII_IMAGE_PROTOCOL_GUID},
      {"gEfiGlobalVariableGuid", EFI_GLOBAL_VARIABLE},
      {"gEfiIfrTianoGuid", IFR_EXTENSION_GUID},
  };
  return Known;
}

// The lines of one [Section] of the description, comments and blanks dropped.
std::vector<std::string> Section(const std::string &Inf, const std::string &Name) {
  std::vector<std::string> Lines;
  std::istringstream In(Inf);
  bool Inside = false;
  for (std::string Line; std::getline(In, Line);) {
    Line = Line.substr(0, Line.find('#'));
    Line = std::regex_replace(Line, std::regex("^\\s+|\\s+$"), "");
    if (Line.empty()) continue;
    if (Line.front() == '[') {
      Inside = Line == "[" + Name + "]";
      continue;
    }
    if (Inside) Lines.push_back(Line);
  }
  return Lines;
}
std::string Define(const std::string &Inf, const std::string &Key) {
  for (const std::string &Line : Section(Inf, "Defines")) {
    std::smatch Match;
    if (std::regex_match(Line, Match, std::regex(Key + "\\s*=\\s*(\\S+)"))) return Match[1];
  }
  return "<none>";
}

class EfiImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (EfiDir().empty()) GTEST_SKIP() << "ADDONCARD_EFI_BUILD_DIR is not set";
    Image = ReadFile(EfiDir() + "AddOnCard.efi");
    Inf = ReadText(Dir("ADDONCARD_SOURCE_DIR") + "efi/AddOnCard.inf");
    ASSERT_GT(Image.size(), 0x400u) << "no image in " << EfiDir();
    ASSERT_FALSE(Inf.empty());
  }
  Bytes Image;
  std::string Inf;
};

TEST_F(EfiImageTest, ImageIsAnX64BootServiceDriverEnteredAtAddOnCardEntry) {
  ASSERT_EQ(Le(Image, 0, 2), 0x5A4Du);  // "MZ"
  const std::size_t Pe = Le(Image, 0x3C, 4);
  ASSERT_EQ(Le(Image, Pe, 4), 0x4550u);  // "PE\0\0"
  EXPECT_EQ(Le(Image, Pe + 4, 2), 0x8664u);
  const std::size_t Optional = Pe + 24;
  ASSERT_EQ(Le(Image, Optional, 2), 0x20Bu);    // PE32+
  EXPECT_EQ(Le(Image, Optional + 68, 2), 11u);  // EFI boot-service driver
  // The linker's map: the symbol at the entry point.
  const std::string Map = ReadText(EfiDir() + "AddOnCard.map");
  std::smatch Base, Entry;
  ASSERT_TRUE(std::regex_search(Map, Base, std::regex("Preferred load address is ([0-9a-fA-F]+)")));
  ASSERT_TRUE(std::regex_search(Map, Entry, std::regex("\\sAddOnCardEntry\\s+([0-9a-fA-F]+)")));
  const unsigned long long EntryRva = std::stoull(Entry[1], nullptr, 16) - std::stoull(Base[1], nullptr, 16);
  EXPECT_EQ(Le(Image, Optional + 16, 4), EntryRva);
}

TEST_F(EfiImageTest, ModuleDescriptionNamesThisImageAndItsDependencyExpression) {
  EXPECT_EQ(Define(Inf, "MODULE_TYPE"), "DXE_DRIVER");  // a boot-service driver dispatched by DXE
  EXPECT_EQ(Define(Inf, "BASE_NAME"), "AddOnCard");
  EXPECT_TRUE(
      std::regex_match(Define(Inf, "FILE_GUID"), std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
  EXPECT_EQ(Section(Inf, "Binaries.X64"),
            (std::vector<std::string>{"PE32|AddOnCard.efi|*", "DXE_DEPEX|AddOnCard.depex|*"}));
  EXPECT_EQ(ReadText(EfiDir() + "AddOnCard.inf"), Inf);  // beside the image, as it is in the sources

  // The expression: PUSH each of the three protocols, AND them, END.
  const Bytes Depex = ReadFile(EfiDir() + "AddOnCard.depex");
  std::set<std::string> Pushed;
  std::size_t At = 0, Operands = 0;
  for (; At < Depex.size() && Depex[At] != 0x08; ++At) {
    if (Depex[At] == 0x02 && At + 16 < Depex.size()) {
      EFI_GUID Guid;
      std::memcpy(&Guid, &Depex[At + 1], sizeof(Guid));
      Pushed.insert(GuidText(Guid));
      At += 16;
      ++Operands;
    } else {
      ASSERT_EQ(Depex[At], 0x03) << "at " << At;  // AND
      ASSERT_GE(Operands, 2u);
      --Operands;
    }
  }
  EXPECT_EQ(At + 1, Depex.size());  // END, last
  EXPECT_EQ(Operands, 1u);
  const std::set<std::string> Needed = {GuidText(EFI_HII_DATABASE_PROTOCOL_GUID),
                                        GuidText(EFI_HII_STRING_PROTOCOL_GUID),
                                        GuidText(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID)};
  EXPECT_EQ(Pushed, Needed);
  EXPECT_NE(Inf.find("#  gEfiHiiDatabaseProtocolGuid AND gEfiHiiStringProtocolGuid AND "
                     "gEfiHiiConfigRoutingProtocolGuid"),
            std::string::npos);
}

// A GUID is listed exactly when the image holds it: nothing used goes unnamed,
// nothing named is unused.
TEST_F(EfiImageTest, ProtocolsAndGuidsListedAreThoseTheImageUses) {
  std::set<std::string> Listed;
  for (const char *Name : {"Protocols", "Guids"})
    for (const std::string &Line : Section(Inf, Name))
      Listed.insert(Line.substr(0, Line.find_first_of(" \t")));
  for (const std::string &Name : Listed) EXPECT_TRUE(KnownGuids().count(Name)) << "unknown name " << Name;
  for (const auto &[Name, Guid] : KnownGuids())
    EXPECT_EQ(Listed.count(Name) == 1, Contains(Image, GuidBytes(Guid))) << Name;
  // The watched protocols, which no package declares, are named in its comments.
  for (const EFI_GUID *Trigger :
       {&CARD_FORMS_NOTIFY_GUID, &FORMS_REMOVE_NOTIFY_GUID, &OOB_APPLY_NOTIFY_GUID}) {
    EXPECT_TRUE(Contains(Image, GuidBytes(*Trigger)));
    EXPECT_NE(Inf.find(GuidText(*Trigger)), std::string::npos) << GuidText(*Trigger);
  }
}

}  // namespace

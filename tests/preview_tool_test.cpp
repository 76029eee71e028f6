// `addoncard preview` run as a program, as an integrator runs it, over card
// shapes written to files in the layout the export tool writes (card-NN.hpk,
// card-NN.pci with the shapes' store contents, index.txt): the pages as text,
// the keyword registry as JSON held against the attribute registry's
// structure, and files that are cut short, misstate lengths or are garbage,
// each refused with its name and the byte at fault and nothing on stdout.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sim/card_shape_ids.h"
#include "sim/card_shapes.h"

namespace {

using Bytes = std::vector<UINT8>;
using Json = nlohmann::json;

std::string ReadText(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

void WriteBytes(const std::string &Path, const Bytes &Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char *>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

void WriteText(const std::string &Path, const std::string &Text) {
  WriteBytes(Path, Bytes(Text.begin(), Text.end()));
}

std::string HexOf(const Bytes &Data) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string Text;
  for (UINT8 Byte : Data) Text += {Digits[Byte >> 4], Digits[Byte & 0xF]};
  return Text;
}

std::string GuidText(const EFI_GUID &Guid) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Guid.Data1,
                Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

struct ToolRun {
  int Status;
  std::string Out;
  std::string Err;
};

// A card as the export tool writes it: the list, and its sidecar.
struct CardOnDisk {
  sim::CardShape Shape;
  std::string Ids;       // "vvvv:dddd"
  std::string Location;  // "ssss:bb:dd.f"
};

// The card shapes on distinct PCI functions, in the order of their files.
std::vector<CardOnDisk> ShapeCards() {
  return {{sim::SampleCardShape(), "15b3:1021", "0000:3b:00.0"},
          {sim::SecondModelShape(), "1000:0097", "0000:5e:00.0"},
          {sim::CheckboxCardShape(), "8086:1572", "0000:00:10.0"},
          {sim::EdgeCardShape(), "1234:11e8", "0000:00:10.1"},
          {sim::MacTitledCardShape(), "1af4:1041", "0000:00:11.0"},
          {sim::RoadCardShape(), "1b36:0010", "0000:00:12.0"}};
}

std::string Sidecar(const CardOnDisk &Card) {
  std::string Text = "vendor: " + Card.Ids.substr(0, 4) + "\ndevice: " + Card.Ids.substr(5) +
                     "\nlocation: " + Card.Location + "\n";
  for (const sim::CardStore &Store : Card.Shape.Stores)
    Text += "store " + Store.Name + ": " + HexOf(Store.Bytes) + "\n";
  EFI_GUID ListGuid;
  std::memcpy(&ListGuid, Card.Shape.PackageList.data(), sizeof(ListGuid));
  return Text + "guid: " + GuidText(ListGuid) + "\n";
}

// A scratch directory laid out as the export tool lays out its output.
class ExportDirectory {
 public:
  ExportDirectory() {
    char Template[] = "/tmp/addoncard-preview-XXXXXX";
    Root = mkdtemp(Template);
    Directory = Root + "/export";
    std::filesystem::create_directory(Directory);
  }
  ~ExportDirectory() { std::filesystem::remove_all(Root); }
  ExportDirectory(const ExportDirectory &) = delete;
  ExportDirectory &operator=(const ExportDirectory &) = delete;

  std::string Name(std::size_t Number, const char *Extension) const {
    char Text[32];
    std::snprintf(Text, sizeof(Text), "card-%02zu.%s", Number, Extension);
    return Text;
  }
  std::string ListPath(std::size_t Number) const { return Directory + "/" + Name(Number, "hpk"); }
  std::string SidecarPath(std::size_t Number) const { return Directory + "/" + Name(Number, "pci"); }

  void Write(const std::vector<CardOnDisk> &Cards) {
    std::string Index;
    for (std::size_t Number = 0; Number < Cards.size(); ++Number) {
      WriteBytes(ListPath(Number), Cards[Number].Shape.PackageList);
      WriteText(SidecarPath(Number), Sidecar(Cards[Number]));
      Index += Name(Number, "hpk") + " " + Name(Number, "pci") + "\n";
    }
    WriteText(Directory + "/index.txt", Index);
  }

  ToolRun Run(const std::string &Arguments) const {
    const std::string Command =
        std::string(ADDONCARD_TOOL_PATH) + " preview " + Arguments + " >" + Root + "/out 2>" + Root + "/err";
    const int Raw = std::system(Command.c_str());
    return {WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadText(Root + "/out"), ReadText(Root + "/err")};
  }

  std::string Root;
  std::string Directory;
};

bool Has(const std::string &Text, const std::string &Part) { return Text.find(Part) != std::string::npos; }

// The line of Text that contains Part, or "".
std::string LineWith(const std::string &Text, const std::string &Part) {
  const std::size_t At = Text.find(Part);
  if (At == std::string::npos) return "";
  const std::size_t Start = Text.rfind('\n', At) + 1;
  return Text.substr(Start, Text.find('\n', At) - Start);
}

class PreviewToolTest : public ::testing::Test {
 protected:
  void SetUp() override { Export.Write(ShapeCards()); }
  ExportDirectory Export;
};

// ---- text ------------------------------------------------------------------------------

TEST_F(PreviewToolTest, TextShowsEachPageAsTheBrowserShowsIt) {
  const ToolRun Run = Export.Run(Export.Directory);
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  EXPECT_EQ(Run.Err, "");
  const std::string &Out = Run.Out;
  // The main page: the supported list holds the cards' pairs, one goto per page built.
  EXPECT_TRUE(Has(Out, "Supported list: 15b3:1021 1000:0097 8086:1572 1234:11e8 1af4:1041 1b36:0010\n"))
      << Out;
  EXPECT_TRUE(Has(LineWith(Out, "Supported PCI ID Pair Count"), "[6]"));
  EXPECT_TRUE(Has(LineWith(Out, "PCI Vendor ID #4 "), "[0x1234]"));
  EXPECT_FALSE(Has(Out, "PCI Vendor ID #7"));  // hidden while the count is 6
  EXPECT_TRUE(Has(LineWith(Out, "> Port 1 - Network Card"), "goto card page 0"));
  EXPECT_TRUE(Has(LineWith(Out, "> Road Test Card"), "goto card page 4"));
  // The sample card's page: location suffix, current values, options, read-only marks, keywords.
  EXPECT_TRUE(Has(Out, "Card page 0: Port 1 - Network Card\n")) << Out;
  EXPECT_TRUE(Has(Out, "card-00.hpk, 15b3:1021 at 0000:3b:00.0)"));
  const std::string Speed = LineWith(Out, "Link Speed (3B0000)");
  EXPECT_TRUE(Has(Speed, "<Auto Negotiated>") && Has(Speed, "keyword CSPAC000") && !Has(Speed, "read-only"))
      << Speed;
  EXPECT_TRUE(Has(Out,
                  "      (*) Auto Negotiated  = 0, default, manufacturing default\n"
                  "      ( ) 10 Gb/s  = 1\n"));
  EXPECT_TRUE(Has(Out, "      help: Speed of the link\n"));
  // Grayed out while VLAN mode is Disabled, and its 1..4094 do not fit the one byte the driver keeps.
  const std::string Vlan = LineWith(Out, "VLAN ID (3B0000)");
  EXPECT_TRUE(Has(Vlan, "[1]") && Has(Vlan, "0..255 step 1") && Has(Vlan, "read-only") &&
              Has(Vlan, "CSPAC002"))
      << Vlan;
  EXPECT_TRUE(Has(LineWith(Out, "Boot Protocol (3B0000)"), "<PXE>"));
  const std::string Target = LineWith(Out, "Boot Target Name (3B0000)");
  EXPECT_TRUE(Has(Target, "[pxe-server-01]") && Has(Target, "0..32 characters") && !Has(Target, "keyword"));
  EXPECT_TRUE(Has(LineWith(Out, "Permanent MAC Address (3B0000)"), "02:00:00:3B:00:00"));
  EXPECT_FALSE(Has(Out, "iSCSI LUN"));  // suppressed unless the protocol is iSCSI
  // Later pages continue the keywords; the checkbox card has a page with nothing on it.
  EXPECT_TRUE(Has(LineWith(Out, "Queue Depth (5E0000)"), "keyword CSPAC004"));
  EXPECT_TRUE(Has(Out,
                  "Card page 2: Feature Switches\n=============================\n"
                  "  (" +
                      Export.ListPath(2) + ", 8086:1572 at 0000:00:10.0)\n\nCard page 3"));
  // The edge card's prompt of 45 characters is cut with its suffix to 49.
  EXPECT_TRUE(Has(Out, "  Maximum Interrupt Rate of Every Receive Queue (00 ")) << Out;
  // The card whose title begins "MAC:" gets no page, and the preview says why.
  EXPECT_TRUE(Has(Out, "No page\n=======\n  " + Export.ListPath(4) +
                           ", 1af4:1041 at 0000:00:11.0: its form set's title begins with \"MAC:\"\n"))
      << Out;
}

TEST_F(PreviewToolTest, CardsComeFromTheCommandLineOrSidecarsAlike) {
  const ToolRun FromIndex = Export.Run(Export.Directory + " --json");
  ASSERT_EQ(FromIndex.Status, 0) << FromIndex.Err;
  std::string Arguments = "--json";
  const std::vector<CardOnDisk> Cards = ShapeCards();
  for (std::size_t Number = 0; Number < Cards.size(); ++Number) {
    // Without its sidecar a list names its card on the command line; its
    // stores then start zero-filled, so only the first keeps its sidecar.
    if (Number == 0) {
      Arguments += " " + Export.ListPath(Number);
      continue;
    }
    std::filesystem::remove(Export.SidecarPath(Number));
    Arguments +=
        " --card " + Export.ListPath(Number) + "=" + Cards[Number].Ids + "@" + Cards[Number].Location;
  }
  const ToolRun FromCommandLine = Export.Run(Arguments);
  ASSERT_EQ(FromCommandLine.Status, 0) << FromCommandLine.Err;
  const Json A = Json::parse(FromIndex.Out), B = Json::parse(FromCommandLine.Out);
  EXPECT_EQ(A["RegistryEntries"]["Menus"], B["RegistryEntries"]["Menus"]);
  EXPECT_EQ(A["Oem"]["Talvorenix"]["Cards"], B["Oem"]["Talvorenix"]["Cards"]);
  // The first card's values came from its sidecar both times; the second model's
  // queue depth is 32 in its sidecar and 0 without one.
  auto Attribute = [](const Json &Registry, const std::string &Name) {
    for (const Json &Each : Registry["RegistryEntries"]["Attributes"])
      if (Each["AttributeName"] == Name) return Each;
    return Json();
  };
  EXPECT_EQ(Attribute(A, "CSPAC003")["CurrentValue"], "1");
  EXPECT_EQ(Attribute(B, "CSPAC003")["CurrentValue"], "1");
  EXPECT_EQ(Attribute(A, "CSPAC004")["CurrentValue"], 32);
  EXPECT_EQ(Attribute(B, "CSPAC004")["CurrentValue"], 0);
}

TEST_F(PreviewToolTest, OutputIsTheSameOnEveryRun) {
  for (const char *Format : {"", " --json"}) {
    const ToolRun First = Export.Run(Export.Directory + Format);
    const ToolRun Second = Export.Run(Export.Directory + Format);
    ASSERT_EQ(First.Status, 0) << First.Err;
    EXPECT_EQ(First.Out, Second.Out);
  }
}

TEST_F(PreviewToolTest, TenPagesAtMostThenTheRestAreNamed) {
  std::vector<CardOnDisk> Cards;
  for (int Port = 0; Port < 12; ++Port)
    Cards.push_back({sim::SampleCardShape(), "15b3:1021", "0000:3b:00.0"});
  Export.Write(Cards);
  const ToolRun Run = Export.Run(Export.Directory);
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  EXPECT_TRUE(Has(Run.Out, "Card page 9: Port 1 - Network Card"));
  EXPECT_FALSE(Has(Run.Out, "Card page 10"));
  for (std::size_t Number : {10u, 11u})
    EXPECT_TRUE(
        Has(Run.Out, Export.ListPath(Number) +
                         ", 15b3:1021 at 0000:3b:00.0: all 10 card pages were used by the lists before it"))
        << Run.Out;
}

// ---- the registry ------------------------------------------------------------------------

// The structure of an AttributeRegistry document as the preview writes it;
// the first fault found, or "".
std::string RegistryFault(const Json &Registry) {
  auto IsString = [](const Json &Object, const char *Key) {
    return Object.contains(Key) && Object[Key].is_string();
  };
  if (Registry.value("@odata.type", "") != "#AttributeRegistry.v1_3_6.AttributeRegistry")
    return "@odata.type";
  for (const char *Key : {"Id", "Name", "Language", "RegistryVersion", "OwningEntity"})
    if (!IsString(Registry, Key)) return std::string("header ") + Key;
  if (!std::regex_match(Registry["RegistryVersion"].get<std::string>(), std::regex(R"(\d+\.\d+\.\d+)")))
    return "RegistryVersion";
  const Json &Entries = Registry["RegistryEntries"];
  if (!Entries["Attributes"].is_array() || !Entries["Menus"].is_array()) return "RegistryEntries";
  std::set<std::string> MenuPaths, MenuNames;
  std::set<long> MenuOrders;
  for (const Json &Menu : Entries["Menus"]) {
    if (!IsString(Menu, "MenuName") || !IsString(Menu, "DisplayName") || !IsString(Menu, "MenuPath") ||
        !Menu["DisplayOrder"].is_number_integer())
      return "menu members: " + Menu.dump();
    if (!MenuNames.insert(Menu["MenuName"]).second ||
        !MenuOrders.insert(Menu["DisplayOrder"].get<long>()).second)
      return "menu name or order twice: " + Menu.dump();
    MenuPaths.insert(Menu["MenuPath"].get<std::string>());
  }
  std::set<std::string> Names;
  std::set<long> Orders;
  for (const Json &A : Entries["Attributes"]) {
    const std::string Where = A.value("AttributeName", "?") + ": ";
    for (const char *Key : {"AttributeName", "DisplayName", "HelpText", "MenuPath", "Type", "UefiKeywordName",
                            "UefiNamespaceId"})
      if (!IsString(A, Key)) return Where + Key;
    for (const char *Key : {"ReadOnly", "ResetRequired", "Hidden"})
      if (!A.contains(Key) || !A[Key].is_boolean()) return Where + Key;
    if (!A["DisplayOrder"].is_number_integer()) return Where + "DisplayOrder";
    if (!std::regex_match(A["AttributeName"].get<std::string>(), std::regex("[A-Za-z][A-Za-z0-9_]+")))
      return Where + "AttributeName pattern";
    if (A["UefiKeywordName"] != A["AttributeName"] || A["UefiNamespaceId"] != "x-UEFI-QZV")
      return Where + "keyword";
    if (!Names.insert(A["AttributeName"]).second) return Where + "AttributeName twice";
    if (!Orders.insert(A["DisplayOrder"].get<long>()).second) return Where + "DisplayOrder twice";
    if (!MenuPaths.count(A["MenuPath"])) return Where + "MenuPath names no menu";
    if (!A.contains("CurrentValue") || !A.contains("DefaultValue"))
      return Where + "CurrentValue or DefaultValue";
    if (!A["Oem"]["Talvorenix"]["DriverStore"].is_object()) return Where + "Oem";
    if (A["Type"] == "Enumeration") {
      if (!A["Value"].is_array()) return Where + "Value";
      std::set<std::string> ValueNames;
      for (const Json &Value : A["Value"]) {
        if (!IsString(Value, "ValueName") || !IsString(Value, "ValueDisplayName"))
          return Where + "Value members";
        ValueNames.insert(Value["ValueName"].get<std::string>());
      }
      for (const char *Key : {"CurrentValue", "DefaultValue"})
        if (!A[Key].is_null() && (!A[Key].is_string() || !ValueNames.count(A[Key])))
          return Where + Key + " not a ValueName";
      if (A.contains("LowerBound")) return Where + "bounds on an enumeration";
    } else if (A["Type"] == "Integer") {
      for (const char *Key : {"LowerBound", "UpperBound", "ScalarIncrement"})
        if (!A[Key].is_number_integer()) return Where + Key;
      if (A["LowerBound"] > A["UpperBound"]) return Where + "bounds";
      for (const char *Key : {"CurrentValue", "DefaultValue"})
        if (!A[Key].is_null() && !A[Key].is_number_integer()) return Where + Key;
      if (A.contains("Value")) return Where + "Value on an integer";
    } else {
      return Where + "Type";
    }
  }
  return "";
}

const Json &AttributeNamed(const Json &Registry, const std::string &Name) {
  static const Json None;
  for (const Json &Each : Registry["RegistryEntries"]["Attributes"])
    if (Each["AttributeName"] == Name) return Each;
  return None;
}

TEST_F(PreviewToolTest, RegistryHasOneAttributePerKeywordAndOneMenuPerPage) {
  const ToolRun Run = Export.Run("--json " + Export.Directory);
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  EXPECT_EQ(Run.Err, "");
  const Json Registry = Json::parse(Run.Out);
  EXPECT_EQ(RegistryFault(Registry), "");
  EXPECT_EQ(Registry["Language"], "en-US");
  EXPECT_EQ(Registry["OwningEntity"], "Talvorenix");

  // Menus: the main page and the five pages built, each titled as the page.
  const Json &Menus = Registry["RegistryEntries"]["Menus"];
  ASSERT_EQ(Menus.size(), 6u);
  EXPECT_EQ(Menus[0]["MenuPath"], "./AddOnCardMain");
  EXPECT_EQ(Menus[1]["MenuName"], "CardPage0");
  EXPECT_EQ(Menus[1]["DisplayName"], "Port 1 - Network Card");
  EXPECT_EQ(Menus[1]["MenuPath"], "./AddOnCardMain/CardPage0");
  EXPECT_EQ(Menus[1]["Oem"]["Talvorenix"]["Card"]["Location"], "0000:3b:00.0");

  // Every static keyword of the main page, hidden where the pair count hides it.
  for (unsigned Number = 0; Number <= 0x14; ++Number) {
    char Name[16];
    std::snprintf(Name, sizeof(Name), "CSPACF%02X", Number);
    const Json &A = AttributeNamed(Registry, Name);
    ASSERT_FALSE(A.is_null()) << Name;
    EXPECT_EQ(A["Type"], "Integer");
    EXPECT_EQ(A["MenuPath"], "./AddOnCardMain");
    EXPECT_EQ(A["Oem"]["Talvorenix"]["DriverStore"]["Name"], "TLX_ADDONCARD_PCI_VAR");
    const unsigned Pair = Number < 10 ? Number : Number - 10;
    if (Number != 0x14) EXPECT_EQ(A["Hidden"], Pair >= 6) << Name;
  }
  EXPECT_EQ(AttributeNamed(Registry, "CSPACF14")["CurrentValue"], 6);
  EXPECT_EQ(AttributeNamed(Registry, "CSPACF14")["DefaultValue"], 1);
  EXPECT_EQ(AttributeNamed(Registry, "CSPACF03")["CurrentValue"], 0x1234);
  EXPECT_EQ(AttributeNamed(Registry, "CSPACF0D")["CurrentValue"], 0x11E8);

  // A mirrored one-of: options as values, the default from the option flags,
  // and the card store the keyword stands for.
  const Json &Speed = AttributeNamed(Registry, "CSPAC000");
  EXPECT_EQ(Speed["DisplayName"], "Link Speed (3B0000)");
  EXPECT_EQ(Speed["HelpText"], "Speed of the link");
  EXPECT_EQ(Speed["Type"], "Enumeration");
  EXPECT_EQ(Speed["Value"], Json::parse(R"([{"ValueName":"0","ValueDisplayName":"Auto Negotiated"},
      {"ValueName":"1","ValueDisplayName":"10 Gb/s"},{"ValueName":"2","ValueDisplayName":"25 Gb/s"},
      {"ValueName":"3","ValueDisplayName":"100 Gb/s"}])"));
  EXPECT_EQ(Speed["DefaultValue"], "0");
  EXPECT_EQ(Speed["CurrentValue"], "0");
  EXPECT_EQ(Speed["MenuPath"], "./AddOnCardMain/CardPage0");
  EXPECT_EQ(Speed["ReadOnly"], false);
  EXPECT_EQ(Speed["ResetRequired"], true);
  const Json &SpeedOem = Speed["Oem"]["Talvorenix"];
  EXPECT_EQ(SpeedOem["QuestionId"], 0x100);
  EXPECT_EQ(SpeedOem["DriverStore"], Json::parse(R"({"Name":"TLX_ADDONCARD_OOB_VAR",
      "Guid":"c3870f7e-595e-4f50-b37f-c1d5b7cbeb3e","Offset":0,"Width":1})"));
  EXPECT_EQ(SpeedOem["Card"]["VendorId"], "15b3");
  EXPECT_EQ(SpeedOem["Card"]["DeviceId"], "1021");
  EXPECT_EQ(SpeedOem["CardStore"]["Name"], "PortConfig");
  EXPECT_EQ(SpeedOem["CardStore"]["Guid"], GuidText(sim::sample_card::StoreGuid));
  EXPECT_EQ(SpeedOem["CardStore"]["Kind"], "Buffer");
  EXPECT_EQ(SpeedOem["CardStore"]["Offset"], sim::sample_card::LinkSpeedOffset);
  EXPECT_EQ(SpeedOem["CardStore"]["Width"], 1);
  EXPECT_EQ(SpeedOem["WrittenBack"], true);

  // A numeric wider than the driver's byte: read-only, 0..255, never written back.
  const Json &Vlan = AttributeNamed(Registry, "CSPAC002");
  EXPECT_EQ(Vlan["Type"], "Integer");
  EXPECT_EQ(Vlan["ReadOnly"], true);
  EXPECT_EQ(Vlan["LowerBound"], 0);
  EXPECT_EQ(Vlan["UpperBound"], 255);
  EXPECT_EQ(Vlan["CurrentValue"], 1);
  EXPECT_EQ(Vlan["Oem"]["Talvorenix"]["CardStore"]["Offset"], sim::sample_card::VlanIdOffset);
  EXPECT_EQ(Vlan["Oem"]["Talvorenix"]["CardStore"]["Width"], 2);
  EXPECT_EQ(Vlan["Oem"]["Talvorenix"]["WrittenBack"], false);

  // Keywords run on across pages in the order of the table; an EFI variable store is named as such.
  bool SawEfiStore = false;
  unsigned Mirrored = 0;
  for (const Json &A : Registry["RegistryEntries"]["Attributes"]) {
    const std::string Name = A["AttributeName"];
    if (Name.compare(0, 6, "CSPACF") == 0) continue;
    char Expected[16];
    std::snprintf(Expected, sizeof(Expected), "CSPAC%03X", Mirrored);
    EXPECT_EQ(Name, Expected);
    EXPECT_EQ(A["Oem"]["Talvorenix"]["DriverStore"]["Offset"], Mirrored);
    ++Mirrored;
    const Json &Store = A["Oem"]["Talvorenix"]["CardStore"];
    if (Store["Kind"] == "EfiVariable") {
      SawEfiStore = true;
      EXPECT_TRUE(Store["Name"] == "EdgeEfiVar" || Store["Name"] == "RoadEfiVar") << Store;
    }
  }
  EXPECT_TRUE(SawEfiStore);
  EXPECT_GT(Mirrored, 10u);

  // The card with no page is listed with the reason.
  const Json &Mac = Registry["Oem"]["Talvorenix"]["Cards"][4];
  EXPECT_TRUE(Mac["Page"].is_null());
  EXPECT_TRUE(Has(Mac["NoPageBecause"], "MAC:"));
}

TEST_F(PreviewToolTest, AValueNoOptionHoldsIsShownAsStoredAndLeftOutOfTheEnumeration) {
  std::vector<CardOnDisk> Cards = {ShapeCards()[0]};
  Cards[0].Shape.Stores[0].Bytes[sim::sample_card::LinkSpeedOffset] = 7;
  Export.Write(Cards);
  const ToolRun Text = Export.Run(Export.Directory);
  ASSERT_EQ(Text.Status, 0) << Text.Err;
  EXPECT_TRUE(Has(LineWith(Text.Out, "Link Speed (3B0000)"), "<7: no such option>")) << Text.Out;
  const ToolRun Registry = Export.Run("--json " + Export.Directory);
  ASSERT_EQ(Registry.Status, 0) << Registry.Err;
  const Json Parsed = Json::parse(Registry.Out);
  EXPECT_EQ(RegistryFault(Parsed), "");
  const Json &Speed = AttributeNamed(Parsed, "CSPAC000");
  EXPECT_TRUE(Speed["CurrentValue"].is_null());
  EXPECT_EQ(Speed["Oem"]["Talvorenix"]["ValueOfNoOption"], 7);
  EXPECT_EQ(Speed["Oem"]["Talvorenix"]["ValueWhenBuilt"], 7);
}

TEST_F(PreviewToolTest, ACardBeyondTheLimitsFillsTheKeywordSpace) {
  using namespace sim::big_card;
  Export.Write({{sim::BigCardShape(OverLimitQuestions, OverLimitStrings), "15b3:1021", "0000:3b:00.0"}});
  const ToolRun Run = Export.Run("--json " + Export.Directory);
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  const Json Registry = Json::parse(Run.Out);
  EXPECT_EQ(RegistryFault(Registry), "");
  const Json &Attributes = Registry["RegistryEntries"]["Attributes"];
  ASSERT_EQ(Attributes.size(), 21u + 1024u);
  EXPECT_EQ(Attributes.back()["AttributeName"], "CSPAC3FF");
  EXPECT_EQ(Attributes.back()["DisplayName"], "Setting 1023 (3B0000)");
}

// ---- bad input -------------------------------------------------------------------------------

// A run that must be refused: exit 1, nothing on stdout, the file and a byte
// offset on stderr.
::testing::AssertionResult Refused(const ToolRun &Run, const std::string &File,
                                   std::optional<std::size_t> Offset = {}) {
  if (Run.Status != 1)
    return ::testing::AssertionFailure() << "status " << Run.Status << ", stderr " << Run.Err;
  if (!Run.Out.empty()) return ::testing::AssertionFailure() << "stdout: " << Run.Out.substr(0, 200);
  const std::string Expected =
      "addoncard: " + File + ": byte " + (Offset ? std::to_string(*Offset) + ": " : "");
  if (Run.Err.compare(0, Expected.size(), Expected) != 0)
    return ::testing::AssertionFailure() << "stderr " << Run.Err << " does not begin " << Expected;
  return ::testing::AssertionSuccess();
}

void Put16(Bytes &Data, std::size_t At, UINT16 Value) {
  Data[At] = static_cast<UINT8>(Value);
  Data[At + 1] = static_cast<UINT8>(Value >> 8);
}
void Put24(Bytes &Data, std::size_t At, UINT32 Value) {
  Put16(Data, At, static_cast<UINT16>(Value));
  Data[At + 2] = static_cast<UINT8>(Value >> 16);
}
void Put32(Bytes &Data, std::size_t At, UINT32 Value) {
  Put16(Data, At, static_cast<UINT16>(Value));
  Put16(Data, At + 2, static_cast<UINT16>(Value >> 16));
}

// Offsets of the packages of a list (the shapes' lists are whole).
std::vector<std::size_t> PackageOffsets(const Bytes &List) {
  std::vector<std::size_t> Offsets;
  for (std::size_t At = 20; At < List.size(); At += List[At] | List[At + 1] << 8 | List[At + 2] << 16)
    Offsets.push_back(At);
  return Offsets;
}

TEST_F(PreviewToolTest, AFileCutShortIsRefusedWhereverItEnds) {
  const Bytes Whole = sim::SampleCardShape().PackageList;
  std::set<std::size_t> Cuts = {0, 1, 19, 20, 21, 23, 24, 25, Whole.size() - 4, Whole.size() - 1};
  for (std::size_t Package : PackageOffsets(Whole))
    for (std::size_t Near :
         {Package - 1, Package, Package + 1, Package + 3, Package + 4, Package + 7, Package + 30})
      if (Near < Whole.size()) Cuts.insert(Near);
  for (std::size_t Step = 37; Step < Whole.size(); Step += 97) Cuts.insert(Step);
  for (std::size_t Cut : Cuts) {
    SCOPED_TRACE("cut at " + std::to_string(Cut));
    // As a copy cut short leaves it: the header still states the whole length.
    WriteBytes(Export.ListPath(0), Bytes(Whole.begin(), Whole.begin() + Cut));
    EXPECT_TRUE(Refused(Export.Run(Export.ListPath(0)), Export.ListPath(0), Cut));
    // With the header made to agree, the walk itself must find where the packages stop.
    if (Cut < 20) continue;
    Bytes Agreeing(Whole.begin(), Whole.begin() + Cut);
    Put32(Agreeing, 16, static_cast<UINT32>(Cut));
    WriteBytes(Export.ListPath(0), Agreeing);
    const ToolRun Run = Export.Run(Export.ListPath(0));
    EXPECT_TRUE(Refused(Run, Export.ListPath(0)));
    const std::size_t Offset = std::stoul(Run.Err.substr(Run.Err.find(": byte ") + 7));
    EXPECT_LE(Offset, Cut) << Run.Err;
  }
}

TEST_F(PreviewToolTest, WrongLengthsAndHostileContentAreRefusedAtTheirByte) {
  const Bytes Whole = sim::SampleCardShape().PackageList;
  const std::vector<std::size_t> Packages = PackageOffsets(Whole);
  const std::size_t Forms = Packages.at(0), Strings = Packages.at(1), End = Packages.back();
  ASSERT_EQ(Whole[Forms + 3], EFI_HII_PACKAGE_FORMS);
  ASSERT_EQ(Whole[Strings + 3], EFI_HII_PACKAGE_STRINGS);
  const std::size_t FormSet = Forms + 4, SecondOp = FormSet + (Whole[FormSet + 1] & 0x7F);
  const std::size_t StringBlocks = Strings + (Whole[Strings + 8] | Whole[Strings + 9] << 8);
  struct Row {
    const char *Name;
    std::function<void(Bytes &)> Break;
    std::size_t Offset;
    const char *Says;
  };
  const std::vector<Row> Rows = {
      {"list longer than it states", [](Bytes &L) { L.push_back(0); }, Whole.size(), "1 bytes after"},
      {"list length below its header", [](Bytes &L) { Put32(L, 16, 12); }, 16, "shorter than its header"},
      {"package of length 0", [&](Bytes &L) { Put24(L, Forms, 0); }, Forms, "shorter than its header"},
      {"package of length 3", [&](Bytes &L) { Put24(L, Strings, 3); }, Strings, "shorter than its header"},
      {"package past the list", [&](Bytes &L) { Put24(L, Strings, 0xFFFFFF); }, Strings, "runs past the end"},
      {"end package turned into a short GUID package",
       [&](Bytes &L) { L[End + 3] = EFI_HII_PACKAGE_TYPE_GUID; }, End, "GUID package shorter"},
      {"no end package",
       [&](Bytes &L) {
         L.resize(End);
         Put32(L, 16, static_cast<UINT32>(End));
       },
       End, "no end package"},
      {"end package of another length",
       [&](Bytes &L) {
         L.insert(L.end(), 4, 0);
         Put24(L, End, 8);
         Put32(L, 16, static_cast<UINT32>(L.size()));
       },
       End, "end package of length 8"},
      {"package after the end package",
       [&](Bytes &L) {
         L.insert(L.end(), {4, 0, 0, EFI_HII_PACKAGE_END});
         Put32(L, 16, static_cast<UINT32>(L.size()));
       },
       Whole.size(), "after the end package"},
      {"package of a type no list holds", [&](Bytes &L) { L[Strings + 3] = 0x42; }, Strings, "type 0x42"},
      {"opcode of length 0", [&](Bytes &L) { L[SecondOp + 1] = 0x80; }, SecondOp, "of length 0"},
      {"opcode of length 1", [&](Bytes &L) { L[SecondOp + 1] = 0x01; }, SecondOp, "of length 1"},
      {"opcode past its package", [&](Bytes &L) { L[Strings - 1] = 3; }, Strings - 2,
       "runs past its package"},
      {"form set shorter than its class GUIDs", [&](Bytes &L) { L[FormSet + 22] = 3; }, FormSet,
       "fixed bytes"},
      {"a scope never closed",
       [&](Bytes &L) {
         // The last END of the forms package becomes a subtitle-sized opcode that opens nothing.
         const std::size_t LastEnd = Strings - 2;
         ASSERT_EQ(L[LastEnd], EFI_IFR_END_OP);
         L[LastEnd] = EFI_IFR_LOCKED_OP;
       },
       Strings, "1 scopes open"},
      {"an END with no scope open",
       [&](Bytes &L) {
         L[FormSet + 1] &= 0x7F;  // the form set no longer opens its scope
       },
       Strings - 2, "END opcode with no scope open"},
      {"string header size past the package", [&](Bytes &L) { Put32(L, Strings + 4, 0xFFFF); }, Strings + 4,
       "header size"},
      {"string blocks of an unknown type", [&](Bytes &L) { L[StringBlocks] = 0x7E; }, StringBlocks,
       "unknown type"},
      {"string package without an END block", [&](Bytes &L) { L[End - 1] = EFI_HII_SIBT_SKIP1; }, End - 1,
       "runs past its package"},
      {"language tag without terminator",
       [&](Bytes &L) {
         for (std::size_t At = Strings + 46; At < StringBlocks; ++At) L[At] = 'x';
       },
       Strings + 46, "no terminator"},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    Bytes List = Whole;
    R.Break(List);
    WriteBytes(Export.ListPath(0), List);
    const ToolRun Run = Export.Run(Export.ListPath(0));
    EXPECT_TRUE(Refused(Run, Export.ListPath(0), R.Offset));
    EXPECT_TRUE(Has(Run.Err, R.Says)) << Run.Err;
  }
}

TEST_F(PreviewToolTest, GarbageNeverCrashesAndNeverPassesForARegistry) {
  // The edge card alone, beside the sample card: the card with the most to get wrong.
  const std::vector<CardOnDisk> Cards = ShapeCards();
  Export.Write({Cards[0], Cards[3]});
  const Bytes Whole = Cards[3].Shape.PackageList;
  std::mt19937 Random(20240607);
  for (int Round = 0; Round < 32; ++Round) {
    Bytes List = Whole;
    const int Flips = 1 + Round % 4;
    for (int Flip = 0; Flip < Flips; ++Flip)
      List[20 + Random() % (List.size() - 20)] = static_cast<UINT8>(Random());
    WriteBytes(Export.ListPath(1), List);
    const ToolRun Run = Export.Run("--json " + Export.Directory);
    SCOPED_TRACE("round " + std::to_string(Round) + ": " + Run.Err);
    ASSERT_TRUE(Run.Status == 0 || Run.Status == 1);
    if (Run.Status == 1) {
      EXPECT_EQ(Run.Out, "");
      EXPECT_TRUE(Has(Run.Err, "addoncard: "));
    } else {
      EXPECT_EQ(RegistryFault(Json::parse(Run.Out)), "");
    }
  }
}

TEST_F(PreviewToolTest, BadSidecarsAndIndexFilesAreRefusedAtTheirByte) {
  const std::string Good = Sidecar(ShapeCards()[0]);
  const std::size_t Device = Good.find("device: ") + 8;
  struct Row {
    const char *Name;
    std::string Sidecar;
    std::size_t Offset;
    const char *Says;
  };
  const std::string WithoutDevice =
      Good.substr(0, Good.find("device: ")) + Good.substr(Good.find("location: "));
  const std::string OtherGuid =
      Good.substr(0, Good.find("guid: ") + 6) + "00000000-0000-0000-0000-000000000000\n";
  const std::vector<Row> Rows = {
      {"no device line", WithoutDevice, WithoutDevice.size(), "no \"device\" line"},
      {"device not hex", Good.substr(0, Device) + "10x1" + Good.substr(Device + 4), Device,
       "not 1 to 4 hex digits"},
      {"device of five digits", Good.substr(0, Device) + "10211" + Good.substr(Device + 4), Device,
       "hex digits"},
      {"device 0", Good.substr(0, Device) + "0000" + Good.substr(Device + 4), Device, "device ID 0"},
      {"a line that is no key and value", "vendor 15b3\n" + Good, 0, "not a \"key: value\" line"},
      {"a key twice", Good + "vendor: 15b3\n", Good.size(), "a second \"vendor\" line"},
      {"location without function", "vendor: 15b3\ndevice: 1021\nlocation: 0000:3b:00\n", 36, "location"},
      {"contents of a store the list lacks", Good + "store Nothing: 00\n", Good.size() + 15,
       "does not declare"},
      {"store contents too long",
       Good.substr(0, Good.find("store ")) + "store PortConfig: " + std::string(2 * 0x51, '0') + "\n",
       Good.find("store ") + 18, "the store holds 80"},
      {"a guid of another list", OtherGuid, OtherGuid.size() - 37, "do not belong together"},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    WriteText(Export.SidecarPath(0), R.Sidecar);
    const ToolRun Run = Export.Run(Export.Directory);
    EXPECT_TRUE(Refused(Run, Export.SidecarPath(0), R.Offset));
    EXPECT_TRUE(Has(Run.Err, R.Says)) << Run.Err;
  }
  WriteText(Export.SidecarPath(0), Good);

  const std::string Index = Export.Directory + "/index.txt";
  const std::vector<Row> Indexes = {
      {"a name outside the directory", "../card-00.hpk card-00.pci\n", 0,
       "not a file name of this directory"},
      {"one name on a line", "card-00.hpk card-00.pci\ncard-01.hpk\n", 24, "two file names"},
      {"nothing named", "\n", 1, "names no package list"},
  };
  for (const Row &R : Indexes) {
    SCOPED_TRACE(R.Name);
    WriteText(Index, R.Sidecar);
    EXPECT_TRUE(Refused(Export.Run(Export.Directory), Index, R.Offset));
  }
  WriteText(Index, "card-00.hpk card-00.pci\ncard-09.hpk card-09.pci\n");
  EXPECT_TRUE(Refused(Export.Run(Export.Directory), Export.ListPath(9), 0));
}

// An EFI variable store's variable as the export found it: of another size
// than the store declares, or not there at all. The driver reads the variable
// as it is, so the values shown follow the variable, not the declaration.
TEST_F(PreviewToolTest, VariableLinesGiveEfiStoresAsTheMachineHeldThem) {
  namespace rc = sim::road_card;
  std::vector<CardOnDisk> Road = {ShapeCards()[5]};
  Export.Write(Road);
  const std::string Good = Sidecar(Road[0]);
  auto RegistryWith = [&](const std::string &Line) {
    WriteText(Export.SidecarPath(0), Good + Line);
    const ToolRun Run = Export.Run("--json " + Export.Directory);
    EXPECT_EQ(Run.Status, 0) << Line << Run.Err;
    return Run.Status == 0 ? Json::parse(Run.Out) : Json();
  };
  auto Shown = [](const Json &Registry, UINT16 Offset) {
    for (const Json &Each : Registry["RegistryEntries"]["Attributes"]) {
      // Attributes of the main page have no card store: look, never index.
      const Json Store = Each.value(Json::json_pointer("/Oem/Talvorenix/CardStore"), Json());
      if (Store.is_object() && Store.value("Name", Json()) == rc::EfiStoreName &&
          Store.value("Offset", Json()) == Offset)
        return Json{Each["CurrentValue"], Each["ReadOnly"]};
    }
    return Json("no attribute");
  };
  const Json Longer = RegistryWith("variable RoadEfiVar: 0107000000ff\n");
  EXPECT_EQ(Shown(Longer, rc::EfiPolicyOffset), Json({"1", false}));
  EXPECT_EQ(Shown(Longer, rc::EfiRetriesOffset), Json({7, false}));
  const Json Shorter = RegistryWith("variable RoadEfiVar: 01\n");
  EXPECT_EQ(Shown(Shorter, rc::EfiPolicyOffset), Json({"1", false}));
  // A value the variable does not hold shows as 0 and stays editable: the
  // declared store holds it, so an edit can still be written to the card.
  EXPECT_EQ(Shown(Shorter, rc::EfiRetriesOffset), Json({0, false})) << "past the variable's end";
  const Json Absent = RegistryWith("variable RoadEfiVar: absent\n");
  EXPECT_EQ(Shown(Absent, rc::EfiPolicyOffset), Json({"0", false}));
  EXPECT_EQ(Shown(Absent, rc::EfiRetriesOffset), Json({0, false}));

  struct Row {
    const char *Name;
    std::string Line;
    std::size_t Offset;
    const char *Says;
  };
  const std::vector<Row> Rows = {
      {"a buffer store", "variable RoadConfig: 00\n", 21, "not an EFI variable store"},
      {"no bytes", "variable RoadEfiVar: \n", 21, "no variable is empty"},
      {"not hex", "variable RoadEfiVar: 0x\n", 21, "nor \"absent\""},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    WriteText(Export.SidecarPath(0), Good + R.Line);
    const ToolRun Run = Export.Run(Export.Directory);
    EXPECT_TRUE(Refused(Run, Export.SidecarPath(0), Good.size() + R.Offset));
    EXPECT_TRUE(Has(Run.Err, R.Says)) << Run.Err;
  }

  // One machine has one variable of a name: two sidecars that differ on it
  // come from two machines.
  Road.push_back(Road[0]);
  Road[1].Location = "0000:00:13.0";
  Export.Write(Road);
  WriteText(Export.SidecarPath(0), Good + "variable RoadEfiVar: 01\n");
  const std::string Second = Sidecar(Road[1]) + "variable RoadEfiVar: 02\n";
  WriteText(Export.SidecarPath(1), Second);
  const ToolRun Run = Export.Run(Export.Directory);
  EXPECT_TRUE(Refused(Run, Export.SidecarPath(1), Second.size() - 3));
  EXPECT_TRUE(Has(Run.Err, "not of one machine")) << Run.Err;
}

TEST_F(PreviewToolTest, CardsTheFirmwareCannotHoldAreRefused) {
  // Two files put two different cards at one PCI function.
  std::vector<CardOnDisk> Cards = ShapeCards();
  Cards[1].Location = Cards[0].Location;
  Export.Write(Cards);
  ToolRun Run = Export.Run(Export.Directory);
  EXPECT_TRUE(Refused(Run, Export.SidecarPath(1), Sidecar(Cards[1]).find("0000:3b")));
  EXPECT_TRUE(Has(Run.Err, "is 1000:0097 for")) << Run.Err;

  // Eleven different pairs do not fit the supported list.
  Cards.clear();
  for (unsigned Number = 0; Number < 11; ++Number) {
    char Ids[16], Location[16];
    std::snprintf(Ids, sizeof(Ids), "15b3:%04x", 0x1021 + Number);
    std::snprintf(Location, sizeof(Location), "0000:%02x:00.0", 0x10 + Number);
    Cards.push_back({sim::SampleCardShape(), Ids, Location});
  }
  Export.Write(Cards);
  Run = Export.Run(Export.Directory);
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out, "");
  EXPECT_TRUE(Has(Run.Err, "11 different vendor/device pairs")) << Run.Err;
}

TEST_F(PreviewToolTest, AMalformedCommandLineIsAUsageError) {
  for (const std::string &Arguments :
       {std::string(""), std::string("--frobnicate " + Export.Directory), "--card " + Export.ListPath(0),
        "--card " + Export.ListPath(0) + "=15b3:1021",
        "--card " + Export.ListPath(0) + "=0000:1021@3b:00.0"}) {
    SCOPED_TRACE(Arguments);
    const ToolRun Run = Export.Run(Arguments);
    EXPECT_EQ(Run.Status, 2) << Run.Err;
    EXPECT_EQ(Run.Out, "");
    EXPECT_TRUE(Has(Run.Err, "usage: addoncard preview")) << Run.Err;
  }
}

}  // namespace

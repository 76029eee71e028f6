// What AddOnCardExport.efi wrote in OVMF, read back on the host. ctest runs this
// as export_ovmf_files after export_ovmf (qemu/run-export-test.sh), with
// ADDONCARD_EXPORT_OVMF_DIR naming the runner's output directory. The lists are
// the real form sets of two network cards' UEFI drivers; everything here is
// parsed independently of the driver's own readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t PACKAGE_FORMS = 0x02;
constexpr std::uint8_t PACKAGE_STRINGS = 0x04;
constexpr std::uint8_t PACKAGE_END = 0xDF;
constexpr std::uint8_t IFR_FORM_SET_OP = 0x0E;
constexpr std::size_t LIST_HEADER_SIZE = 20;

fs::path OutputDirectory() {
  const char *Dir = std::getenv("ADDONCARD_EXPORT_OVMF_DIR");
  return Dir == nullptr ? fs::path() : fs::path(Dir);
}

Bytes ReadFile(const fs::path &Path) {
  std::ifstream File(Path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(File), {});
}

std::string ReadText(const fs::path &Path) {
  const Bytes Data = ReadFile(Path);
  return std::string(Data.begin(), Data.end());
}

std::vector<std::string> Lines(const std::string &Text) {
  std::vector<std::string> Result;
  std::istringstream Stream(Text);
  for (std::string Line; std::getline(Stream, Line);) Result.push_back(Line);
  return Result;
}

std::uint32_t Le(const Bytes &Data, std::size_t Offset, std::size_t Width) {
  std::uint32_t Value = 0;
  for (std::size_t Index = Width; Index > 0; --Index) Value = (Value << 8) | Data.at(Offset + Index - 1);
  return Value;
}

struct Package {
  std::size_t Offset;
  std::uint8_t Type;
  std::size_t Length;
};

// The packages of a whole list file; an empty result and a message when the
// lengths do not add up to exactly the file, closed by one 4-byte end package.
std::vector<Package> SplitList(const Bytes &List, std::string *Problem) {
  std::vector<Package> Packages;
  if (List.size() < LIST_HEADER_SIZE) {
    *Problem = "shorter than a list header";
    return {};
  }
  if (Le(List, 16, 4) != List.size()) {
    *Problem =
        "header length " + std::to_string(Le(List, 16, 4)) + " for " + std::to_string(List.size()) + " bytes";
    return {};
  }
  for (std::size_t At = LIST_HEADER_SIZE; At < List.size();) {
    if (List.size() - At < 4) {
      *Problem = "a package header cut at " + std::to_string(At);
      return {};
    }
    const std::size_t Length = Le(List, At, 3);
    if (Length < 4 || Length > List.size() - At) {
      *Problem = "package length " + std::to_string(Length) + " at " + std::to_string(At);
      return {};
    }
    Packages.push_back({At, List[At + 3], Length});
    At += Length;
  }
  if (Packages.empty() || Packages.back().Type != PACKAGE_END || Packages.back().Length != 4) {
    *Problem = "not closed by a 4-byte end package";
    return {};
  }
  for (std::size_t Index = 0; Index + 1 < Packages.size(); ++Index)
    if (Packages[Index].Type == PACKAGE_END) {
      *Problem = "an end package before the last";
      return {};
    }
  return Packages;
}

std::string GuidText(const Bytes &Data, std::size_t Offset) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Le(Data, Offset, 4),
                Le(Data, Offset + 4, 2), Le(Data, Offset + 6, 2), Data[Offset + 8], Data[Offset + 9],
                Data[Offset + 10], Data[Offset + 11], Data[Offset + 12], Data[Offset + 13], Data[Offset + 14],
                Data[Offset + 15]);
  return Text;
}

// The title string id of the list's first form set; 0 when it has none.
std::uint16_t FormSetTitleId(const Bytes &List, const std::vector<Package> &Packages) {
  for (const Package &P : Packages) {
    if (P.Type != PACKAGE_FORMS) continue;
    for (std::size_t At = P.Offset + 4; At + 2 <= P.Offset + P.Length;) {
      const std::size_t Length = List[At + 1] & 0x7F;
      if (Length < 2) break;
      if (List[At] == IFR_FORM_SET_OP && Length >= 22)
        return static_cast<std::uint16_t>(Le(List, At + 18, 2));
      At += Length;
    }
  }
  return 0;
}

std::string Utf8OneLine(const std::u16string &Text) {
  std::string Out;
  for (std::size_t Index = 0; Index < Text.size(); ++Index) {
    std::uint32_t Unit = Text[Index];
    if (Unit < 0x20 || Unit == 0x7F) Unit = ' ';
    if (Unit >= 0xD800 && Unit <= 0xDBFF && Index + 1 < Text.size() && Text[Index + 1] >= 0xDC00 &&
        Text[Index + 1] <= 0xDFFF) {
      Unit = 0x10000 + ((Unit - 0xD800) << 10) + (Text[++Index] - 0xDC00);
    } else if (Unit >= 0xD800 && Unit <= 0xDFFF) {
      Unit = 0xFFFD;
    }
    if (Unit < 0x80) {
      Out += static_cast<char>(Unit);
    } else if (Unit < 0x800) {
      Out += static_cast<char>(0xC0 | (Unit >> 6));
      Out += static_cast<char>(0x80 | (Unit & 0x3F));
    } else if (Unit < 0x10000) {
      Out += static_cast<char>(0xE0 | (Unit >> 12));
      Out += static_cast<char>(0x80 | ((Unit >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Unit & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | (Unit >> 18));
      Out += static_cast<char>(0x80 | ((Unit >> 12) & 0x3F));
      Out += static_cast<char>(0x80 | ((Unit >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Unit & 0x3F));
    }
  }
  return Out;
}

// The texts of Id in every string package of the list that holds it. Only the
// UCS-2, skip and duplicate blocks are followed; others end the walk.
std::vector<std::string> StringTexts(const Bytes &List, const std::vector<Package> &Packages,
                                     std::uint16_t Id) {
  std::vector<std::string> Texts;
  for (const Package &P : Packages) {
    if (P.Type != PACKAGE_STRINGS || P.Length < 46) continue;
    const std::size_t End = P.Offset + P.Length;
    std::size_t At = P.Offset + Le(List, P.Offset + 8, 4);
    std::map<std::uint16_t, std::u16string> Strings;
    auto ReadUcs2 = [&](std::size_t *Where) {
      std::u16string Text;
      while (*Where + 2 <= End && Le(List, *Where, 2) != 0) {
        Text += static_cast<char16_t>(Le(List, *Where, 2));
        *Where += 2;
      }
      *Where += 2;
      return Text;
    };
    for (std::uint16_t Next = 1; At < End;) {
      const std::uint8_t Block = List[At++];
      if (Block == 0x14) {
        Strings[Next++] = ReadUcs2(&At);
      } else if (Block == 0x16) {
        const std::size_t Count = Le(List, At, 2);
        At += 2;
        for (std::size_t Index = 0; Index < Count; ++Index) Strings[Next++] = ReadUcs2(&At);
      } else if (Block == 0x21) {
        Next = static_cast<std::uint16_t>(Next + Le(List, At, 2));
        At += 2;
      } else if (Block == 0x22) {
        Next = static_cast<std::uint16_t>(Next + List[At++]);
      } else if (Block == 0x20) {
        const auto Original = static_cast<std::uint16_t>(Le(List, At, 2));
        At += 2;
        Strings[Next++] = Strings[Original];
      } else {
        break;  // the end block, or one this walk does not follow
      }
    }
    if (Strings.count(Id) != 0) Texts.push_back(Utf8OneLine(Strings[Id]));
  }
  return Texts;
}

struct Device {
  std::string Vendor, DeviceId, Location;
  auto operator<=>(const Device &Other) const = default;
};

std::set<Device> MachineDevices() {
  std::set<Device> Devices;
  for (const std::string &Line : Lines(ReadText(OutputDirectory() / "devices.txt"))) {
    std::istringstream Words(Line);
    Device Each;
    if (Words >> Each.Vendor >> Each.DeviceId >> Each.Location) Devices.insert(Each);
  }
  return Devices;
}

// One exported pair, read and checked for its own consistency.
struct ExportedCard {
  std::string Name;  // card-NN
  Bytes List;
  std::map<std::string, std::string> Sidecar;
  Device Owner;
};

// Reads index.txt and the pairs it names, failing the test for any file that is
// malformed, missing, or present without being named.
std::vector<ExportedCard> ReadRun(const fs::path &Dir) {
  std::vector<ExportedCard> Cards;
  EXPECT_TRUE(fs::is_regular_file(Dir / "index.txt")) << Dir;
  std::set<std::string> Named;
  for (const std::string &Line : Lines(ReadText(Dir / "index.txt"))) {
    std::istringstream Words(Line);
    std::string ListFile, SidecarFile, Extra;
    Words >> ListFile >> SidecarFile;
    const std::string Stem = ListFile.substr(0, ListFile.find('.'));
    EXPECT_TRUE(ListFile == Stem + ".hpk" && SidecarFile == Stem + ".pci" && !(Words >> Extra))
        << Dir << ": index line \"" << Line << "\"";
    EXPECT_EQ(Stem, "card-" + std::string(Cards.size() < 10 ? "0" : "") + std::to_string(Cards.size()))
        << Dir << ": pairs are numbered from 00 in order";
    Named.insert(ListFile);
    Named.insert(SidecarFile);

    ExportedCard Card{Stem, ReadFile(Dir / ListFile), {}, {}};
    std::string Problem;
    const std::vector<Package> Packages = SplitList(Card.List, &Problem);
    EXPECT_FALSE(Packages.empty()) << Dir / ListFile << ": " << Problem;

    const std::vector<std::string> SidecarLines = Lines(ReadText(Dir / SidecarFile));
    std::vector<std::string> Keys;
    for (const std::string &Each : SidecarLines) {
      const std::size_t Colon = Each.find(": ");
      EXPECT_NE(Colon, std::string::npos) << Dir / SidecarFile << ": \"" << Each << "\"";
      if (Colon == std::string::npos) continue;
      const std::string Key = Each.substr(0, Colon), Value = Each.substr(Colon + 2);
      Card.Sidecar[Key] = Value;
      // The stores' contents come last: hex pairs, or "absent" for a variable not there.
      const bool Store = Key.rfind("store ", 0) == 0, Variable = Key.rfind("variable ", 0) == 0;
      if (!Store && !Variable) {
        EXPECT_EQ(Card.Sidecar.size(), Keys.size() + 1)
            << Dir / SidecarFile << ": \"" << Each << "\" after a store";
        Keys.push_back(Key);
        continue;
      }
      const bool Hex = !Value.empty() && Value.size() % 2 == 0 &&
                       Value.find_first_not_of("0123456789abcdef") == std::string::npos;
      EXPECT_TRUE(Key.size() > (Store ? 6u : 9u) && (Hex || (Variable && Value == "absent")))
          << Dir / SidecarFile << ": \"" << Each << "\"";
    }
    const std::uint16_t TitleId = Packages.empty() ? 0 : FormSetTitleId(Card.List, Packages);
    const std::vector<std::string> Expected =
        TitleId != 0 ? std::vector<std::string>{"vendor", "device", "location", "title", "guid"}
                     : std::vector<std::string>{"vendor", "device", "location", "guid"};
    EXPECT_EQ(Keys, Expected) << Dir / SidecarFile;
    if (Card.List.size() >= LIST_HEADER_SIZE)
      EXPECT_EQ(Card.Sidecar["guid"], GuidText(Card.List, 0))
          << Dir / SidecarFile << ": the list header's GUID";
    if (TitleId != 0) {
      const std::vector<std::string> Texts = StringTexts(Card.List, Packages, TitleId);
      EXPECT_NE(std::find(Texts.begin(), Texts.end(), Card.Sidecar["title"]), Texts.end())
          << Dir / SidecarFile << ": title \"" << Card.Sidecar["title"] << "\" is not string " << TitleId
          << " of the list";
    }
    Card.Owner = {Card.Sidecar["vendor"], Card.Sidecar["device"], Card.Sidecar["location"]};
    Cards.push_back(std::move(Card));
  }
  if (fs::is_directory(Dir))
    for (const auto &Entry : fs::directory_iterator(Dir)) {
      const std::string Name = Entry.path().filename().string();
      if (Name.rfind("card-", 0) == 0)
        EXPECT_EQ(Named.count(Name), 1u) << Dir / Name << " is not in index.txt (left from an earlier run?)";
    }
  return Cards;
}

// The same lists, byte for byte, in the same order.
void ExpectSameLists(const std::vector<ExportedCard> &Actual,
                     const std::vector<const ExportedCard *> &Expected, const std::string &What) {
  ASSERT_EQ(Actual.size(), Expected.size()) << What;
  for (std::size_t Index = 0; Index < Actual.size(); ++Index) {
    EXPECT_TRUE(Actual[Index].List == Expected[Index]->List) << What << ": " << Actual[Index].Name;
    EXPECT_EQ(Actual[Index].Sidecar, Expected[Index]->Sidecar) << What << ": " << Actual[Index].Name;
  }
}

std::vector<const ExportedCard *> All(const std::vector<ExportedCard> &Cards) {
  std::vector<const ExportedCard *> Result;
  for (const ExportedCard &Card : Cards) Result.push_back(&Card);
  return Result;
}

class ExportedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (OutputDirectory().empty()) GTEST_SKIP() << "ADDONCARD_EXPORT_OVMF_DIR is not set";
    Disk = OutputDirectory() / "disk";
  }
  fs::path Disk;
};

TEST_F(ExportedFiles, EachRunEndsWithTheStatusItsCommandLineCalls) {
  std::map<std::string, std::string> Statuses;
  for (const std::string &Line : Lines(ReadText(OutputDirectory() / "runs.txt"))) {
    std::istringstream Words(Line);
    std::string Name, Status;
    Words >> Name >> Status;
    Statuses[Name] = Status;
  }
  const std::map<std::string, std::string> Expected = {
      {"help", "0x0"}, {"all", "0x0"},  {"root", "0x0"},      {"filtered", "0x0"},
      {"both", "0x0"}, {"none", "0xE"}, {"malformed", "0x2"}, {"blocked", "0xF"},
  };
  EXPECT_EQ(Statuses, Expected)
      << "shell %lasterror% per run (0xE not found, 0x2 invalid parameter, 0xF access denied)";

  const std::string Console = ReadText(OutputDirectory() / "console.log");
  EXPECT_NE(Console.find("Usage: AddOnCardExport.efi [-h] [VVVV:DDDD ...] [DIRECTORY]"), std::string::npos);
  EXPECT_NE(Console.find("cannot use the argument \"-x\""), std::string::npos);
}

TEST_F(ExportedFiles, EveryListOfBothCardsIsWrittenWellFormedWithItsCardsIdsAndLocation) {
  const std::vector<ExportedCard> Cards = ReadRun(Disk / "nested" / "all");
  const std::set<Device> Machine = MachineDevices();
  ASSERT_EQ(Machine.size(), 2u);
  std::set<Device> Seen;
  for (const ExportedCard &Card : Cards) {
    EXPECT_EQ(Machine.count(Card.Owner), 1u)
        << Card.Name << ": " << Card.Owner.Vendor << ":" << Card.Owner.DeviceId << " at "
        << Card.Owner.Location << " is not a card of the machine";
    Seen.insert(Card.Owner);
  }
  EXPECT_EQ(Seen, Machine) << "each card publishes form sets under its PCI path";
}

TEST_F(ExportedFiles, IdFiltersKeepExactlyTheListsOfThoseCards) {
  const std::vector<ExportedCard> Everything = ReadRun(Disk / "nested" / "all");
  std::vector<const ExportedCard *> VirtioOnly;
  for (const ExportedCard &Card : Everything)
    if (Card.Owner.Vendor == "1af4" && Card.Owner.DeviceId == "1000") VirtioOnly.push_back(&Card);
  ASSERT_FALSE(VirtioOnly.empty());
  ASSERT_LT(VirtioOnly.size(), Everything.size());

  ExpectSameLists(ReadRun(Disk / "filtered"), VirtioOnly, "1AF4:1000 (upper case)");
  ExpectSameLists(ReadRun(Disk / "both"), All(Everything), "both cards' IDs, in another order");
  EXPECT_TRUE(ReadRun(Disk / "none").empty());
  EXPECT_EQ(fs::file_size(Disk / "none" / "index.txt"), 0u);
}

TEST_F(ExportedFiles, TheDefaultDirectoryIsTheRootAndOlderCardFilesThereAreReplaced) {
  const std::vector<ExportedCard> Everything = ReadRun(Disk / "nested" / "all");
  // card-00.hpk was a 64 KiB file before the run; card-10.hpk and card-11.pci
  // were beyond this run's count. ReadRun fails on any card file not indexed.
  ExpectSameLists(ReadRun(Disk), All(Everything), "the root");
  EXPECT_EQ(ReadText(Disk / "blocked"), "a file, not a directory\n")
      << "a file where a directory is asked stays";
}

}  // namespace

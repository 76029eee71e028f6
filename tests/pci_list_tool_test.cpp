// `addoncard pci-list` run as a program, as an administrator runs it, against a
// directory laid out as efivarfs lays out its files (4 attribute bytes, then the
// data); and the records it writes, read by the driver's own load.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "forms/identities.h"
#include "forms/variables.h"
#include "tests/sim_fixture.h"

namespace {

using Bytes = std::vector<UINT8>;
using Pairs = std::vector<std::pair<UINT16, UINT16>>;

constexpr char VARIABLE_FILE[] = "TLX_ADDONCARD_PCI_VAR-c6c9dde9-d404-4480-929c-ecf3fbdaf7dd";

// The 41-byte record holding Listed from the first slot; PairCount is their
// number unless Count says otherwise.
Bytes Record(const Pairs &Listed, int Count = -1) {
  ADDONCARD_PCI_ID_LIST R = {};
  for (size_t Index = 0; Index < Listed.size(); ++Index) {
    R.VendorId[Index] = Listed[Index].first;
    R.DeviceId[Index] = Listed[Index].second;
  }
  R.PairCount = static_cast<UINT8>(Count < 0 ? Listed.size() : Count);
  const auto *P = reinterpret_cast<const UINT8 *>(&R);
  return Bytes(P, P + sizeof(R));
}

// A variable file as efivarfs shows it.
Bytes VariableFile(UINT32 Attributes, const Bytes &Data) {
  Bytes File = {static_cast<UINT8>(Attributes), static_cast<UINT8>(Attributes >> 8),
                static_cast<UINT8>(Attributes >> 16), static_cast<UINT8>(Attributes >> 24)};
  File.insert(File.end(), Data.begin(), Data.end());
  return File;
}

std::string ReadText(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

struct ToolRun {
  int Status;
  std::string Out;
  std::string Err;
};

// Sets or clears the immutable flag on Path; false when the file system or the
// caller's privileges do not allow it.
bool SetImmutable(const std::string &Path, bool On) {
  const int Fd = open(Path.c_str(), O_RDONLY);
  if (Fd < 0) return false;
  int Flags = 0;
  bool Done = ioctl(Fd, FS_IOC_GETFLAGS, &Flags) == 0;
  Flags = On ? (Flags | FS_IMMUTABLE_FL) : (Flags & ~FS_IMMUTABLE_FL);
  Done = Done && ioctl(Fd, FS_IOC_SETFLAGS, &Flags) == 0;
  close(Fd);
  return Done;
}

bool IsImmutable(const std::string &Path) {
  const int Fd = open(Path.c_str(), O_RDONLY);
  int Flags = 0;
  const bool Read = Fd >= 0 && ioctl(Fd, FS_IOC_GETFLAGS, &Flags) == 0;
  if (Fd >= 0) close(Fd);
  return Read && (Flags & FS_IMMUTABLE_FL) != 0;
}

// A scratch directory standing in for efivarfs, with the tool's output beside it.
class ScratchEfivarfs {
 public:
  ScratchEfivarfs() {
    char Template[] = "/tmp/addoncard-pci-list-XXXXXX";
    Root = mkdtemp(Template);
    chmod(Root.c_str(), 0755);  // reachable by the unprivileged run
    Directory = Root + "/efivars";
    std::filesystem::create_directory(Directory);
  }
  ~ScratchEfivarfs() {
    SetImmutable(VariablePath(), false);
    std::filesystem::remove_all(Root);
  }
  ScratchEfivarfs(const ScratchEfivarfs &) = delete;
  ScratchEfivarfs &operator=(const ScratchEfivarfs &) = delete;

  std::string VariablePath() const { return Directory + "/" + VARIABLE_FILE; }

  void Store(UINT32 Attributes, const Bytes &Data) const {
    std::ofstream Out(VariablePath(), std::ios::binary | std::ios::trunc);
    const Bytes File = VariableFile(Attributes, Data);
    Out.write(reinterpret_cast<const char *>(File.data()), static_cast<std::streamsize>(File.size()));
    Out.close();
    chmod(VariablePath().c_str(), 0644);  // as efivarfs shows its files
  }

  Bytes StoredFile() const {
    const std::string Text = ReadText(VariablePath());
    return Bytes(Text.begin(), Text.end());
  }

  // `addoncard pci-list Arguments` with EFIVARFS_PATH at the directory. Wrapper,
  // when given, is a shell command with one %s where the tool's command goes.
  ToolRun Run(const std::string &Arguments, const std::string &EfivarfsPath = "") const {
    return RunWrapped(Arguments, "%s", EfivarfsPath);
  }
  ToolRun RunWrapped(const std::string &Arguments, const std::string &Wrapper,
                     const std::string &EfivarfsPath = "") const {
    const std::string Tool = "env EFIVARFS_PATH=" + (EfivarfsPath.empty() ? Directory + "/" : EfivarfsPath) +
                             " " + ADDONCARD_TOOL_PATH + " pci-list " + Arguments;
    std::string Command = Wrapper;
    Command.replace(Command.find("%s"), 2, Tool);
    Command += " >" + Root + "/out 2>" + Root + "/err";
    const int Raw = std::system(Command.c_str());
    return {WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadText(Root + "/out"), ReadText(Root + "/err")};
  }

  std::string Root;
  std::string Directory;
};

const std::pair<UINT16, UINT16> A = {0x15B3, 0x1021}, B = {0x8086, 0x1572}, C = {0x1AF4, 0x1041};

using PciListToolTest = ::testing::Test;

TEST_F(PciListToolTest, ShowsThePairsTheDriverUses) {
  struct Row {
    const char *Name;
    UINT32 Attributes;
    Bytes Data;
    std::vector<std::string> Shown;
    std::vector<std::string> NotShown;
  };
  Bytes Stale = Record({A, B, {0xDEAD, 0xBEEF}}, 2);
  const std::vector<Row> Rows = {
      {"two pairs, a stale third after them",
       0x7,
       Stale,
       {"(2 of 10 pairs)", "   1  15B3:1021\n", "   2  8086:1572\n"},
       {"DEAD", "Attributes", "PairCount"}},
      {"zero ID and a repeat",
       0x7,
       Record({A, {0x8086, 0}, A}),
       {"8086:0000   never matches: zero ID", "15B3:1021   repeats pair 1"},
       {}},
      {"count 0 reads as 1", 0x7, Record({A, B}, 0), {"(1 of 10 pairs)", "PairCount is 0"}, {"8086"}},
      {"count 255 reads as 10", 0x7, Record({A}, 255), {"(10 of 10 pairs)", "  10  0000:0000"}, {}},
      {"volatile", 0x6, Record({A}), {"Attributes are 0x6, not 0x7: the list does not survive a reset"}, {}},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    ScratchEfivarfs Efivarfs;
    Efivarfs.Store(R.Attributes, R.Data);
    const ToolRun Run = Efivarfs.Run("");
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_EQ(Run.Err, "");
    for (const std::string &Text : R.Shown) EXPECT_NE(Run.Out.find(Text), std::string::npos) << Run.Out;
    for (const std::string &Text : R.NotShown) EXPECT_EQ(Run.Out.find(Text), std::string::npos) << Run.Out;
    EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(R.Attributes, R.Data));
  }
}

TEST_F(PciListToolTest, EditsWriteAPackedRecordWithTheStoredAttributes) {
  struct Row {
    const char *Name;
    UINT32 Attributes;
    Bytes Before;
    std::string Arguments;
    UINT32 AttributesAfter;
    Bytes After;
    std::vector<std::string> Said;
  };
  const std::vector<Row> Rows = {
      {"add after a stale slot",
       0x7,
       Record({A, B, C}, 1),
       "add 8086:1572",
       0x7,
       Record({A, B}),
       {"Added 8086:1572.\n", "(2 of 10 pairs)"}},
      {"add two, lower-case and short IDs",
       0x7,
       Record({A}),
       "add 1af4:1041 15b3:a2d",
       0x7,
       Record({A, C, {0x15B3, 0x0A2D}}),
       {"Added 1AF4:1041.\nAdded 15B3:0A2D.\n"}},
      {"remove the first: the rest moves up",
       0x7,
       Record({A, B, C}),
       "remove 15B3:1021",
       0x7,
       Record({B, C}),
       {"Removed 15B3:1021.\n", "   1  8086:1572\n"}},
      {"remove two", 0x7, Record({A, B, C}), "remove 1AF4:1041 15b3:1021", 0x7, Record({B}), {}},
      {"attributes kept as stored", 0x6, Record({A}), "add 8086:1572", 0x6, Record({A, B}), {}},
      {"no append bit: the record is replaced, not extended",
       0x47,
       Record({A}),
       "add 8086:1572",
       0x7,
       Record({A, B}),
       {}},
      {"zero IDs and repeats dropped, and said so",
       0x7,
       Record({A, {0x8086, 0}, A, B}),
       "add 1AF4:1041",
       0x7,
       Record({A, B, C}),
       {"Dropped pair 2, 8086:0000: it never matches: zero ID.\n",
        "Dropped pair 3, 15B3:1021: it repeats pair 1.\n"}},
      {"count 0 edits the one pair the driver uses",
       0x7,
       Record({A, B}, 0),
       "add 1AF4:1041",
       0x7,
       Record({A, C}),
       {}},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    ScratchEfivarfs Efivarfs;
    Efivarfs.Store(R.Attributes, R.Before);
    const ToolRun Run = Efivarfs.Run(R.Arguments);
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(R.AttributesAfter, R.After));
    for (const std::string &Text : R.Said) EXPECT_NE(Run.Out.find(Text), std::string::npos) << Run.Out;
  }
}

TEST_F(PciListToolTest, RefusalsLeaveTheVariableAsItWas) {
  struct Row {
    const char *Name;
    Bytes Data;
    std::string Arguments;
    int Status;
    std::string Said;
  };
  const Pairs Ten = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}};
  const Bytes Blank = Record({{0, 0}, B}, 0);
  const std::vector<Row> Rows = {
      {"repeat", Record({A, B}), "add 8086:1572", 1, "8086:1572 is already on the list"},
      {"repeat within the request", Record({A}), "add 8086:1572 8086:1572", 1, "already on the list"},
      {"full", Record(Ten), "add 8086:1572", 1, "the list is full (10 pairs)"},
      {"eleventh of a request", Record(Pairs(Ten.begin(), Ten.end() - 1)), "add 1AF4:1041 8086:1572", 1,
       "cannot add 8086:1572"},
      {"not listed", Record({A, B}), "remove 1AF4:1041", 1, "1AF4:1041 is not on the list"},
      {"last pair", Record({A}), "remove 15B3:1021", 1, "cannot remove 15B3:1021, the last pair"},
      {"every pair", Record({A, B}), "remove 15B3:1021 8086:1572", 1, "the last pair"},
      {"40 bytes", Bytes(40, 1), "add 8086:1572", 1, "holds 40 bytes, not 41"},
      {"42 bytes, shown", Bytes(42, 1), "", 1, "holds 42 bytes, not 41"},
      {"empty", Bytes(), "", 1, "holds 0 bytes, not 41"},
      {"blank", Blank, "add 8086:1572", 1, "blank (PairCount and the first pair zero)"},
      {"zero vendor", Record({A}), "add 0000:1021", 2, "0000:1021: a zero ID never matches a card"},
      {"zero device", Record({A}), "remove 15B3:0", 2, "a zero ID"},
      {"no device", Record({A}), "add 15B3", 2, "'15B3' is not a vendor:device pair"},
      {"five digits", Record({A}), "add 15B3:10210", 2, "is not a vendor:device pair"},
      {"not hex", Record({A}), "add 15G3:1021", 2, "is not a vendor:device pair"},
      {"no pair", Record({A}), "add", 2, "usage: addoncard pci-list"},
      {"unknown verb", Record({A}), "clear", 2, "usage: addoncard pci-list"},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    ScratchEfivarfs Efivarfs;
    Efivarfs.Store(0x7, R.Data);
    const ToolRun Run = Efivarfs.Run(R.Arguments);
    EXPECT_EQ(Run.Status, R.Status);
    EXPECT_NE(Run.Err.find(R.Said), std::string::npos) << Run.Err;
    EXPECT_EQ(Run.Out, "");
    EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, R.Data));
  }
}

TEST_F(PciListToolTest, SaysWhereEfivarfsOrTheVariableIsMissing) {
  ScratchEfivarfs Efivarfs;
  ToolRun Run = Efivarfs.Run("", Efivarfs.Root + "/absent/");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_NE(Run.Err.find("no efivarfs at " + Efivarfs.Root + "/absent/"), std::string::npos) << Run.Err;

  Run = Efivarfs.Run("add 8086:1572");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_NE(Run.Err.find("no variable " + Efivarfs.VariablePath()), std::string::npos) << Run.Err;
  EXPECT_NE(Run.Err.find("the driver creates it"), std::string::npos) << Run.Err;
  EXPECT_FALSE(std::filesystem::exists(Efivarfs.VariablePath()));

  // libefivar puts the file name straight after EFIVARFS_PATH.
  Efivarfs.Store(0x7, Record({A}));
  Run = Efivarfs.Run("add 8086:1572", Efivarfs.Directory);
  EXPECT_EQ(Run.Status, 0) << Run.Err;
  EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, Record({A, B})));
}

TEST_F(PciListToolTest, ImmutableFlagIsClearedForTheWriteAndPutBack) {
  ScratchEfivarfs Efivarfs;
  Efivarfs.Store(0x7, Record({A}));
  if (!SetImmutable(Efivarfs.VariablePath(), true)) GTEST_SKIP() << "no immutable flag here (needs root)";
  const ToolRun Run = Efivarfs.Run("add 8086:1572");
  EXPECT_EQ(Run.Status, 0) << Run.Err;
  EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, Record({A, B})));
  EXPECT_TRUE(IsImmutable(Efivarfs.VariablePath()));
}

TEST_F(PciListToolTest, ReadOnlyMountIsReportedAndLeftAlone) {
  ScratchEfivarfs Efivarfs;
  Efivarfs.Store(0x7, Record({A}));
  SetImmutable(Efivarfs.VariablePath(), true);
  if (std::system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mount namespace here";
  const std::string D = Efivarfs.Directory;
  const ToolRun Run =
      Efivarfs.RunWrapped("add 8086:1572", "unshare -m sh -c 'mount --bind " + D + " " + D +
                                               " && mount -o remount,bind,ro " + D + " || exit 77; exec %s'");
  if (Run.Status == 77) GTEST_SKIP() << "no read-only bind mount here";
  EXPECT_EQ(Run.Status, 1);
  EXPECT_NE(Run.Err.find("is mounted read-only"), std::string::npos) << Run.Err;
  EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, Record({A})));
}

TEST_F(PciListToolTest, WritingAsAnotherUserThanRootIsDenied) {
  ScratchEfivarfs Efivarfs;
  Efivarfs.Store(0x7, Record({A}));
  std::string Wrapper = "%s";
  if (geteuid() == 0) {
    if (std::system("setpriv --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
    Wrapper = "setpriv --reuid=65534 --regid=65534 --clear-groups %s";
  } else {
    chmod(Efivarfs.VariablePath().c_str(), 0444);
  }
  ToolRun Run = Efivarfs.RunWrapped("", Wrapper);
  EXPECT_EQ(Run.Status, 0) << "reading needs no privilege: " << Run.Err;
  Run = Efivarfs.RunWrapped("add 8086:1572", Wrapper);
  EXPECT_EQ(Run.Status, 1);
  EXPECT_NE(Run.Err.find("permission denied writing " + Efivarfs.VariablePath()), std::string::npos)
      << Run.Err;
  EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, Record({A})));
}

// The records the tool writes, handed to the driver as firmware would after a
// reboot: its load keeps each as it is rather than putting its defaults in.
// (That the driver then builds a page for each listed card is for the tests of
// the card scan.)
using PciListToolDriverTest = SimTest;

TEST_F(PciListToolDriverTest, DriverKeepsEveryRecordTheToolWrites) {
  ScratchEfivarfs Efivarfs;
  Efivarfs.Store(0x7, Record({A}));
  for (const char *Arguments :
       {"add 8086:1572 1AF4:1041", "remove 15B3:1021", "remove 8086:1572", "add 15B3:1021"}) {
    SCOPED_TRACE(Arguments);
    const ToolRun Run = Efivarfs.Run(Arguments);
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    const Bytes File = Efivarfs.StoredFile();
    ASSERT_EQ(File.size(), 4 + sizeof(ADDONCARD_PCI_ID_LIST));
    const UINT32 Attributes = File[0] | File[1] << 8 | File[2] << 16 | static_cast<UINT32>(File[3]) << 24;
    const Bytes Data(File.begin() + 4, File.end());

    sim::Reset();
    ResetDriverState();
    InitializeServiceTables(nullptr, sim::SystemTable());
    sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, Attributes, Data);
    ADDONCARD_PCI_ID_LIST Loaded;
    EXPECT_EQ(LoadPciVar(&Loaded), EFI_SUCCESS);
    const auto *P = reinterpret_cast<const UINT8 *>(&Loaded);
    EXPECT_EQ(Bytes(P, P + sizeof(Loaded)), Data);
    const std::optional<sim::VariableRecord> Stored =
        sim::FindVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID);
    ASSERT_TRUE(Stored.has_value());
    EXPECT_EQ(Stored->Data, Data);
    EXPECT_EQ(Stored->Attributes, ADDONCARD_PCI_VAR_ATTRIBUTES);
  }
  EXPECT_EQ(Efivarfs.StoredFile(), VariableFile(0x7, Record({C, A})));
}

}  // namespace

// AddOnCardExport.efi's code on the host: its command line, the text of the
// files it writes, and whole runs in the simulator against a volume held in
// memory that behaves as the firmware's FAT driver does (opening an existing
// file keeps its bytes; writes go where the position is).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/card_fixture.h"
#include "sim/pci.h"
#include "support/pool.h"
#include "tests/sim_fixture.h"
#include "tools/export_efi/export_args.h"
#include "tools/export_efi/export_lists.h"
#include "tools/export_efi/export_run.h"
#include "tools/export_efi/export_text.h"
#include "uefi/guids.h"

namespace {

using Bytes = std::vector<UINT8>;

std::string Text(const Bytes &Data) { return std::string(Data.begin(), Data.end()); }

// ---- Command line -------------------------------------------------------------------

EFI_STATUS Parse(const std::vector<std::u16string> &Words16, EXPORT_OPTIONS *Options, UINTN *Bad) {
  std::vector<const CHAR16 *> Words;
  for (const std::u16string &Word : Words16) Words.push_back(Word.c_str());
  return ParseExportArguments(Words.data(), Words.size(), Options, Bad);
}

struct ParseCase {
  std::vector<std::u16string> Words;
  bool Help;
  std::vector<std::pair<UINT16, UINT16>> Filters;
  std::u16string Directory;
};

TEST(ExportArguments, FiltersDirectoryAndHelpAreReadInAnyOrder) {
  const ParseCase Cases[] = {
      {{}, false, {}, u""},
      {{u"15B3:1021"}, false, {{0x15B3, 0x1021}}, u""},
      {{u"out", u"8086:10fb", u"1:2"}, false, {{0x8086, 0x10FB}, {1, 2}}, u"out"},
      {{u"/a//b\\c/"}, false, {}, u"a\\b\\c"},
      {{u"\\"}, false, {}, u""},
      {{u"-h", u"dir"}, true, {}, u"dir"},
      {{u"--help"}, true, {}, u""},
  };
  for (const ParseCase &Case : Cases) {
    EXPORT_OPTIONS Options;
    UINTN Bad = 99;
    ASSERT_EQ(Parse(Case.Words, &Options, &Bad), EFI_SUCCESS);
    EXPECT_EQ(Options.Help, Case.Help);
    std::vector<std::pair<UINT16, UINT16>> Filters;
    for (UINTN Index = 0; Index < Options.FilterCount; ++Index)
      Filters.emplace_back(Options.Filters[Index].VendorId, Options.Filters[Index].DeviceId);
    EXPECT_EQ(Filters, Case.Filters);
    EXPECT_EQ(std::u16string(Options.Directory), Case.Directory);
  }
}

TEST(ExportArguments, WordsThatCannotBeUsedAreNamed) {
  const std::pair<std::vector<std::u16string>, UINTN> Cases[] = {
      {{u"-x"}, 0},
      {{u"a", u"b"}, 1},            // a second directory
      {{u"1:2", u"fs0:\\out"}, 1},  // a volume name cannot be reached
      {{u"15B3:10211"}, 0},         // five digits: neither an ID nor a directory
      {{u""}, 0},
      {{u"a\tb"}, 0},
      {{std::u16string(EXPORT_MAX_DIRECTORY_CHARS + 1, u'd')}, 0},
      {std::vector<std::u16string>(EXPORT_MAX_ID_FILTERS + 1, u"1:1"), EXPORT_MAX_ID_FILTERS},
  };
  for (const auto &[Words, BadIndex] : Cases) {
    EXPORT_OPTIONS Options;
    UINTN Bad = 99;
    EXPECT_EQ(Parse(Words, &Options, &Bad), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Bad, BadIndex);
  }
}

struct SplitResult {
  EFI_STATUS Status;
  std::vector<std::u16string> Words;
};

SplitResult Split(const void *Options, UINTN Size) {
  auto Line = std::make_unique<COMMAND_LINE_WORDS>();
  SplitResult Result{SplitLoadOptions(Options, Size, Line.get()), {}};
  for (UINTN Index = 0; Index < Line->Count; ++Index) Result.Words.push_back(Line->Words[Index]);
  return Result;
}

SplitResult SplitText(const std::u16string &Options, bool WithNul = true) {
  return Split(Options.c_str(), (Options.size() + (WithNul ? 1 : 0)) * sizeof(CHAR16));
}

TEST(ExportArguments, LoadOptionsAreACommandLineOnlyWhenTheyAreText) {
  using Words = std::vector<std::u16string>;
  EXPECT_EQ(SplitText(u"fs0:\\AddOnCardExport.EFI 15b3:1021  out").Words, (Words{u"15b3:1021", u"out"}));
  EXPECT_EQ(SplitText(u"15b3:1021 \"my dir\"\tx").Words, (Words{u"15b3:1021", u"my dir", u"x"}));
  EXPECT_EQ(SplitText(u"out", false).Words, Words{u"out"}) << "ended by the size, without a NUL";
  EXPECT_EQ(SplitText(std::u16string(u"a\0b", 3), true).Words, Words{u"a"}) << "the NUL ends the text";
  EXPECT_EQ(Split(nullptr, 0).Status, EFI_SUCCESS);
  EXPECT_TRUE(Split(nullptr, 0).Words.empty());

  // What a boot manager leaves there for its own options: a GUID.
  const EFI_GUID Marker = {0x8108AC4E, 0x9F11, 0x4D59, {0x85, 0x0E, 0xE2, 0x1A, 0x52, 0x2C, 0x59, 0xB2}};
  EXPECT_EQ(Split(&Marker, sizeof Marker).Status, EFI_UNSUPPORTED);
  EXPECT_EQ(SplitText(u"out", false).Status, EFI_SUCCESS);
  EXPECT_EQ(SplitText(u"out\u00e9").Status, EFI_UNSUPPORTED);
  const char OddSize[] = {'o', 0, 'u', 0, 't'};
  EXPECT_EQ(Split(OddSize, sizeof OddSize).Status, EFI_UNSUPPORTED);

  EXPECT_EQ(SplitText(std::u16string(EXPORT_MAX_COMMAND_LINE_CHARS, u'a')).Status, EFI_SUCCESS);
  EXPECT_EQ(SplitText(std::u16string(EXPORT_MAX_COMMAND_LINE_CHARS + 1, u'a')).Status, EFI_BAD_BUFFER_SIZE);
  std::u16string ManyWords;
  for (UINTN Index = 0; Index <= EXPORT_MAX_WORDS; ++Index) ManyWords += u"w ";
  EXPECT_EQ(SplitText(ManyWords).Status, EFI_BAD_BUFFER_SIZE);
}

// ---- Text of the files ---------------------------------------------------------------

std::string Sidecar(const PCI_FUNCTION_IDENTITY &Pci, const EFI_GUID &Guid, const std::u16string *Title) {
  const UINTN Chars = Title == nullptr ? 0 : Title->size();
  Bytes Buffer(SidecarCapacity(Chars));
  ByteWriter Out(Buffer.data(), Buffer.size());
  PutSidecar(Out, Pci, Guid, Title == nullptr ? nullptr : Title->c_str(), Chars);
  EXPECT_FALSE(Out.Failed());
  return std::string(Buffer.begin(), Buffer.begin() + static_cast<long>(Out.Size()));
}

constexpr EFI_GUID ListGuid = {0xC3870F7E, 0x595E, 0x4F50, {0xB3, 0x7F, 0xC1, 0xD5, 0xB7, 0xCB, 0xEB, 0x3E}};

TEST(ExportText, TheSidecarHasOneKeyAndValuePerLineInLowerCaseHex) {
  const std::u16string Title = u"Port 1 Config";
  EXPECT_EQ(Sidecar({0x15B3, 0x1021, 0, 0x3B, 0, 0}, ListGuid, &Title),
            "vendor: 15b3\ndevice: 1021\nlocation: 0000:3b:00.0\ntitle: Port 1 Config\n"
            "guid: c3870f7e-595e-4f50-b37f-c1d5b7cbeb3e\n");
  EXPECT_EQ(
      Sidecar({0x8086, 0xA, 0x1F, 0x100, 0x1F, 7}, ListGuid, nullptr),
      "vendor: 8086\ndevice: 000a\nlocation: 001f:100:1f.7\nguid: c3870f7e-595e-4f50-b37f-c1d5b7cbeb3e\n")
      << "no title without a form set; wider numbers are not cut";
}

TEST(ExportText, TitlesAreUtf8AndStayOnTheirLine) {
  const std::pair<std::u16string, std::string> Cases[] = {
      {u"Carte r\u00e9seau \u20ac", "Carte r\xc3\xa9seau \xe2\x82\xac"},
      {u"A\U0001F600", "A\xf0\x9f\x98\x80"},
      {u"line\r\nbreak\ttab\x7f", "line  break tab "},
      {std::u16string(u"x") + char16_t(0xD800) + u"y" + char16_t(0xDC00), "x\xef\xbf\xbdy\xef\xbf\xbd"},
  };
  for (const auto &[Title, Utf8] : Cases) {
    const std::string Whole = Sidecar({1, 2, 0, 0, 0, 0}, ListGuid, &Title);
    EXPECT_NE(Whole.find("\ntitle: " + Utf8 + "\nguid: "), std::string::npos) << Whole;
  }
  // The capacity holds the worst case: every unit three bytes, the widest numbers.
  const std::u16string Worst(300, u'\u20ac');
  const std::string Whole = Sidecar({0xFFFF, 0xFFFF, ~0ULL, ~0ULL, ~0ULL, ~0ULL}, ListGuid, &Worst);
  EXPECT_EQ(Whole.size(), (8 + 4 + 1) * 2 + (10 + 4 * 16 + 3 + 1) + (7 + 3 * 300 + 1) + (6 + 36 + 1));
}

TEST(ExportText, IndexLinesAndFileNamesCountFromTwoDigits) {
  Bytes Buffer(3 * INDEX_LINE_CAPACITY);
  ByteWriter Out(Buffer.data(), Buffer.size());
  for (UINTN Number : {0, 9, 100}) PutIndexLine(Out, Number);
  EXPECT_EQ(Text(Bytes(Buffer.begin(), Buffer.begin() + static_cast<long>(Out.Size()))),
            "card-00.hpk card-00.pci\ncard-09.hpk card-09.pci\ncard-100.hpk card-100.pci\n");
}

Bytes ListOf(std::initializer_list<Bytes> Packages, INT64 LengthAdjust = 0) {
  Bytes List(20, 0xAB);
  for (const Bytes &Package : Packages) List.insert(List.end(), Package.begin(), Package.end());
  WriteLe(List.data() + 16, static_cast<UINT64>(static_cast<INT64>(List.size()) + LengthAdjust), 4);
  return List;
}

TEST(ExportLists, OnlyWholeListsClosedByOneEndPackageAreWellFormed) {
  const Bytes Forms = {6, 0, 0, EFI_HII_PACKAGE_FORMS, 0, 0};
  const Bytes End = {4, 0, 0, EFI_HII_PACKAGE_END};
  const std::pair<Bytes, bool> Cases[] = {
      {ListOf({Forms, End}), true},
      {ListOf({End}), true},
      {ListOf({Forms}), false},                                        // no end package
      {ListOf({End, Forms}), false},                                   // a package after the end
      {ListOf({Forms, {5, 0, 0, EFI_HII_PACKAGE_END, 0}}), false},     // an end package with a body
      {ListOf({Forms, End}, -1), false},                               // the header says less than there is
      {ListOf({Forms, End}, +1), false},                               // ... or more
      {ListOf({{9, 0, 0, EFI_HII_PACKAGE_FORMS, 0, 0}, End}), false},  // a package past the list
      {ListOf({{2, 0, 0, EFI_HII_PACKAGE_FORMS}, End}), false},        // shorter than its header
      {Bytes(19, 0), false},
  };
  for (const auto &[List, WellFormed] : Cases)
    EXPECT_EQ(PackageListIsWellFormed(ByteView(List.data(), List.size())), WellFormed)
        << ::testing::PrintToString(List);
}

// ---- A volume in memory ------------------------------------------------------------------

// Paths are relative to the root, names joined by "\".
class MemoryVolume {
 public:
  std::map<std::string, Bytes> Files;
  std::set<std::string> Directories{""};
  // Faults: the file whose Write, Flush or Delete fails, and how.
  std::string FailingWrite, FailingFlush, Undeletable;
  EFI_STATUS Failure = EFI_VOLUME_FULL;
  bool ShortWrites = false;  // Write takes at most 7 bytes per call
  int OpenHandles = 0;

  struct FILE_SYSTEM {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL Protocol;
    MemoryVolume *Volume;
  } FileSystem{{0x00010000, OpenVolume}, this};

  MemoryVolume() = default;
  MemoryVolume(const MemoryVolume &) = delete;
  MemoryVolume &operator=(const MemoryVolume &) = delete;

  void Clear() {
    Files.clear();
    Directories = {""};
    FailingWrite = FailingFlush = Undeletable = "";
    ShortWrites = false;
  }

 private:
  struct Handle {
    EFI_FILE_PROTOCOL Protocol;
    MemoryVolume *Volume;
    std::string Path;
    UINTN Position;
  };

  static Handle &Self(EFI_FILE_PROTOCOL *This) { return *reinterpret_cast<Handle *>(This); }
  bool IsDirectory(const std::string &Path) const { return Directories.count(Path) != 0; }

  EFI_FILE_PROTOCOL *NewHandle(const std::string &Path) {
    auto *Opened = new Handle{{}, this, Path, 0};
    Opened->Protocol = {0x00010000, Open,    Close, Delete,  nullptr, Write,   nullptr, nullptr,
                        GetInfo,    nullptr, Flush, nullptr, nullptr, nullptr, nullptr};
    ++OpenHandles;
    return &Opened->Protocol;
  }

  static EFI_STATUS EFIAPI OpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root) {
    *Root = reinterpret_cast<FILE_SYSTEM *>(This)->Volume->NewHandle("");
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Open(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **New, const CHAR16 *Name,
                                UINT64 Mode, UINT64 Attributes) {
    MemoryVolume &Volume = *Self(This).Volume;
    std::string Path = Self(This).Path;
    if (!Volume.IsDirectory(Path)) return EFI_NOT_FOUND;
    std::string Component;
    for (const CHAR16 *Each = Name;; ++Each) {
      if (*Each != u'\\' && *Each != 0) {
        Component += static_cast<char>(*Each);
        continue;
      }
      if (!Component.empty()) {
        if (!Volume.IsDirectory(Path)) return EFI_NOT_FOUND;
        Path = Path.empty() ? Component : Path + "\\" + Component;
        Component.clear();
      }
      if (*Each == 0) break;
    }
    if (!Volume.IsDirectory(Path) && Volume.Files.count(Path) == 0) {
      if ((Mode & EFI_FILE_MODE_CREATE) == 0) return EFI_NOT_FOUND;
      if ((Attributes & EFI_FILE_DIRECTORY) != 0)
        Volume.Directories.insert(Path);
      else
        Volume.Files[Path];
    }
    *New = Volume.NewHandle(Path);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Close(EFI_FILE_PROTOCOL *This) {
    --Self(This).Volume->OpenHandles;
    delete &Self(This);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Delete(EFI_FILE_PROTOCOL *This) {
    const bool Refused = Self(This).Path == Self(This).Volume->Undeletable;
    if (!Refused) Self(This).Volume->Files.erase(Self(This).Path);
    Close(This);
    return Refused ? EFI_WARN_DELETE_FAILURE : EFI_SUCCESS;
  }
  // At the handle's position: what lies past the written bytes stays.
  static EFI_STATUS EFIAPI Write(EFI_FILE_PROTOCOL *This, UINTN *Size, const void *Buffer) {
    Handle &At = Self(This);
    if (At.Path == At.Volume->FailingWrite) return At.Volume->Failure;
    if (At.Volume->ShortWrites && *Size > 7) *Size = 7;
    Bytes &File = At.Volume->Files[At.Path];
    if (File.size() < At.Position + *Size) File.resize(At.Position + *Size);
    std::memcpy(File.data() + At.Position, Buffer, *Size);
    At.Position += *Size;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Flush(EFI_FILE_PROTOCOL *This) {
    return Self(This).Path == Self(This).Volume->FailingFlush ? Self(This).Volume->Failure : EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI GetInfo(EFI_FILE_PROTOCOL *This, const EFI_GUID *Type, UINTN *Size, void *Buffer) {
    if (!GuidEquals(*Type, EFI_FILE_INFO_ID)) return EFI_UNSUPPORTED;
    const UINTN Needed = sizeof(EFI_FILE_INFO) + sizeof(CHAR16);
    if (*Size < Needed) {
      *Size = Needed;
      return EFI_BUFFER_TOO_SMALL;
    }
    EFI_FILE_INFO Info{};
    Info.Size = Needed;
    Info.Attribute = Self(This).Volume->IsDirectory(Self(This).Path) ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
    std::memcpy(Buffer, &Info, sizeof Info);
    return EFI_SUCCESS;
  }
};

// ---- Whole runs in the simulator ---------------------------------------------------------

constexpr EFI_GUID SecondListGuid = {
    0x5E1C0A7D, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class ExportRun : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Volume.Clear();
    VolumeHandle = ImageHandle = nullptr;
    ASSERT_EQ(Bs()->InstallProtocolInterface(&VolumeHandle, &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &Volume.FileSystem.Protocol),
              EFI_SUCCESS);
    Image.DeviceHandle = VolumeHandle;
    ASSERT_EQ(Bs()->InstallProtocolInterface(&ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &Image),
              EFI_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(Volume.OpenHandles, 0) << "every file handle is closed";
    SimTest::TearDown();
  }

  // The sample card (15B3:1021 at 0000:3b:00.0), a second card, a list of a
  // driver below no PCI function and a list without a driver handle.
  void PublishMachine() {
    sim::PublishSampleCard();
    sim::PublishCard(sim::AddPciFunction(0x8086, 0x1572, 0x5E, 0x1F, 1),
                     sim::CardFormSet("Second Port", SecondListGuid).Form(1, "Main").Build());
    Bytes VendorPath = {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 20, 0};
    VendorPath.resize(20, 0x5A);  // the vendor GUID
    VendorPath.insert(VendorPath.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
    sim::PublishCardOnPath(VendorPath, sim::CardFormSet("Platform Driver").Form(1, "Main").Build());
    RegisterWithoutDriver(sim::CardFormSet("Orphan").Form(1, "Main").Build());
  }
  static void RegisterWithoutDriver(const Bytes &List) {
    EFI_HII_HANDLE Handle = nullptr;
    ASSERT_EQ(GetHiiDatabase()->NewPackageList(
                  GetHiiDatabase(), reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(List.data()),
                  nullptr, &Handle),
              EFI_SUCCESS);
  }

  void UseShellWords(std::vector<std::u16string> Words) {
    ShellWords = std::move(Words);
    ShellArgv.clear();
    for (std::u16string &Word : ShellWords) ShellArgv.push_back(Word.data());
    Shell = {ShellArgv.data(), ShellArgv.size(), nullptr, nullptr, nullptr};
    ASSERT_EQ(Bs()->InstallProtocolInterface(&ImageHandle, &EFI_SHELL_PARAMETERS_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &Shell),
              EFI_SUCCESS);
  }

  EFI_STATUS Run() {
    const std::size_t Held = sim::HeldBlocks();
    const EFI_STATUS Status = RunExport(ImageHandle);
    EXPECT_EQ(sim::HeldBlocks(), Held) << "no pool block is left behind";
    Console = sim::TakeConsoleOutput();
    return Status;
  }

  // What ExportPackageLists gives for the list of the card's driver.
  static Bytes Exported(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    GetHiiDatabase()->ExportPackageLists(GetHiiDatabase(), Handle, &Size, nullptr);
    Bytes List(Size);
    GetHiiDatabase()->ExportPackageLists(GetHiiDatabase(), Handle, &Size,
                                         reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()));
    return List;
  }

  std::string File(const std::string &Path) { return Text(Volume.Files.at(Path)); }
  std::set<std::string> FileNames() const {
    std::set<std::string> Names;
    for (const auto &[Name, Data] : Volume.Files) Names.insert(Name);
    return Names;
  }
  bool ConsoleSays(const std::u16string &Words) const { return Console.find(Words) != std::u16string::npos; }

  MemoryVolume Volume;
  EFI_HANDLE VolumeHandle = nullptr;
  EFI_HANDLE ImageHandle = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL Image{};
  EFI_SHELL_PARAMETERS_PROTOCOL Shell{};
  std::vector<std::u16string> ShellWords;
  std::vector<CHAR16 *> ShellArgv;
  std::u16string Console;
};

std::string HexOf(const Bytes &Data) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string Text;
  for (UINT8 Byte : Data) Text += {Digits[Byte >> 4], Digits[Byte & 0xF]};
  return Text;
}

// The sample card's one buffer store, as its driver holds it.
const std::string SampleSidecar =
    "vendor: 15b3\ndevice: 1021\nlocation: 0000:3b:00.0\ntitle: Port 1 - Network Card\n"
    "guid: f44ab8d3-52dd-4a76-83f3-9420ede47991\nstore PortConfig: " +
    HexOf(sim::SampleCardStore()) + "\n";
const std::string SecondSidecar =
    "vendor: 8086\ndevice: 1572\nlocation: 0000:5e:1f.1\ntitle: Second Port\n"
    "guid: 5e1c0a7d-1111-4222-8333-444455556666\n";

TEST_F(ExportRun, EachListOfAPciFunctionIsWrittenWithItsSidecarAndTheIndex) {
  PublishMachine();
  ASSERT_EQ(Run(), EFI_SUCCESS);
  const std::vector<EFI_HII_HANDLE> Lists = sim::PackageListHandles();
  ASSERT_EQ(Lists.size(), 4u);
  EXPECT_EQ(FileNames(),
            (std::set<std::string>{"card-00.hpk", "card-00.pci", "card-01.hpk", "card-01.pci", "index.txt"}));
  EXPECT_EQ(Volume.Files["card-00.hpk"], Exported(Lists[0]));
  EXPECT_EQ(Volume.Files["card-01.hpk"], Exported(Lists[1]));
  EXPECT_EQ(File("card-00.pci"), SampleSidecar);
  EXPECT_EQ(File("card-01.pci"), SecondSidecar);
  EXPECT_EQ(File("index.txt"), "card-00.hpk card-00.pci\ncard-01.hpk card-01.pci\n");
  EXPECT_TRUE(ConsoleSays(u"card-00  15b3:1021  0000:3b:00.0"))
      << std::string(Console.begin(), Console.end());
  EXPECT_TRUE(
      ConsoleSays(u"2 of 2 selected package lists written to the root (4 lists in the database: 2 of no "
                  u"PCI function, 0 of other IDs)"));
}

TEST_F(ExportRun, TheSidecarCarriesWhatTheCardsStoresHoldOnThisMachine) {
  constexpr EFI_GUID Guid = {0x0DDBA115, 0x1234, 0x4567, {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67}};
  constexpr EFI_GUID Other = {0x0DDBA115, 0x1234, 0x4567, {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x68}};
  constexpr UINT32 Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
  const Bytes List = sim::CardFormSet("Stores")
                         .BufferStore(1, "Buf", Guid, 4)
                         .EfiStore(2, "Longer", Guid, 2, Attributes)
                         .EfiStore(3, "Gone", Guid, 2, Attributes)
                         .BufferStore(4, "Twin", Guid, 2)
                         .EfiStore(5, "Twin", Other, 2, Attributes)
                         .BufferStore(6, "a: b", Guid, 2)
                         .BufferStore(7, "Buf", Guid, 4)  // the same store declared again
                         .BufferStore(8, "Empty", Guid, 0)
                         .Form(1, "Main")
                         .Build();
  sim::PublishCard(sim::AddPciFunction(0x8086, 0x1572, 0x5E, 0x1F, 1), List, {{"Buf", {1, 0x2A, 0, 0xFF}}});
  // The driver reads an EFI store's variable as it is: longer than declared, or not there.
  UINT8 Three[] = {0xA, 0xB, 0xC};
  ASSERT_EQ(Rt()->SetVariable(u"Longer", &Guid, Attributes, 3, Three), EFI_SUCCESS);
  ASSERT_EQ(Rt()->SetVariable(u"Gone", &Guid, Attributes, 0, nullptr), EFI_SUCCESS);

  ASSERT_EQ(Run(), EFI_SUCCESS);
  const std::string Sidecar = File("card-00.pci");
  const std::string Stores = Sidecar.substr(Sidecar.find("\nstore ") + 1);
  EXPECT_EQ(Stores, "store Buf: 012a00ff\nvariable Longer: 0a0b0c\nvariable Gone: absent\n")
      << "a repeated declaration gets one line, a store of no bytes none";
  EXPECT_TRUE(ConsoleSays(
      u"card-00: no contents for the buffer store \"Twin\": another store of the list has the same name"))
      << std::string(Console.begin(), Console.end());
  EXPECT_TRUE(ConsoleSays(u"the EFI variable store \"Twin\": another store"));
  EXPECT_TRUE(ConsoleSays(u"the buffer store \"a: b\": its name cannot be written on a line"));

  // A store its card's driver does not hand over costs its line, not the pair.
  sim::FailService("CardConfigAccess.ExtractConfig", EFI_DEVICE_ERROR);
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(File("card-00.pci"), Sidecar.substr(0, Sidecar.size() - Stores.size()) +
                                     "variable Longer: 0a0b0c\nvariable Gone: absent\n");
  EXPECT_TRUE(ConsoleSays(
      u"the buffer store \"Buf\" cannot be read: Device Error; the preview starts it zero-filled"))
      << std::string(Console.begin(), Console.end());
}

TEST_F(ExportRun, ShellWordsChooseTheIdsAndADirectoryThatIsCreated) {
  PublishMachine();
  UseShellWords({u"fs0:\\AddOnCardExport.efi", u"8086:1572", u"out/sub"});
  Volume.ShortWrites = true;
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(FileNames(),
            (std::set<std::string>{"out\\sub\\card-00.hpk", "out\\sub\\card-00.pci", "out\\sub\\index.txt"}));
  EXPECT_EQ(File("out\\sub\\card-00.pci"), SecondSidecar);
  EXPECT_EQ(Volume.Files["out\\sub\\card-00.hpk"], Exported(sim::PackageListHandles()[1]));
}

TEST_F(ExportRun, LoadOptionsAreTheCommandLineOfABootApplication) {
  PublishMachine();
  const std::u16string Options = u"AddOnCardExport.efi 15b3:1021";
  Image.LoadOptions = const_cast<char16_t *>(Options.c_str());
  Image.LoadOptionsSize = static_cast<UINT32>((Options.size() + 1) * sizeof(CHAR16));
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(File("card-00.pci"), SampleSidecar);
  EXPECT_EQ(FileNames().count("card-01.pci"), 0u);

  // A boot manager's binary data there: everything, into the root, with a note.
  const EFI_GUID Marker = ListGuid;
  Image.LoadOptions = const_cast<EFI_GUID *>(&Marker);
  Image.LoadOptionsSize = sizeof Marker;
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(File("card-01.pci"), SecondSidecar);
  EXPECT_TRUE(ConsoleSays(u"the load options are not a command line"));
}

TEST_F(ExportRun, AnEarlierRunsFilesAreReplacedWholeAndItsExtraCardsRemoved) {
  PublishMachine();
  Volume.Files["card-00.hpk"] = Bytes(65536, 'S');
  Volume.Files["card-02.hpk"] = Bytes(10, 'S');
  Volume.Files["card-03.pci"] = Bytes(10, 'S');
  Volume.Files["card-05.pci"] = Bytes(10, 'S');  // after a gap: not this tool's to guess about
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Volume.Files["card-00.hpk"], Exported(sim::PackageListHandles()[0]));
  EXPECT_EQ(FileNames(), (std::set<std::string>{"card-00.hpk", "card-00.pci", "card-01.hpk", "card-01.pci",
                                                "card-05.pci", "index.txt"}));
}

struct WriteFault {
  const char *Name;
  std::string MemoryVolume::*File;
  std::string Path;
  EFI_STATUS Status;
};

TEST_F(ExportRun, AFailedFileCostsItsPairOnlyAndIsReported) {
  const WriteFault Faults[] = {
      {"list write", &MemoryVolume::FailingWrite, "card-00.hpk", EFI_VOLUME_FULL},
      {"sidecar write", &MemoryVolume::FailingWrite, "card-00.pci", EFI_WRITE_PROTECTED},
      {"sidecar flush", &MemoryVolume::FailingFlush, "card-00.pci", EFI_DEVICE_ERROR},
      {"old list kept", &MemoryVolume::Undeletable, "card-00.hpk", EFI_ACCESS_DENIED},
  };
  for (const WriteFault &Fault : Faults) {
    SCOPED_TRACE(Fault.Name);
    SetUp();  // a fresh machine with the volume and the image
    PublishMachine();
    if (Fault.File == &MemoryVolume::Undeletable) Volume.Files[Fault.Path] = Bytes(3, 'S');
    Volume.*Fault.File = Fault.Path;
    Volume.Failure = Fault.Status;
    EXPECT_EQ(Run(), Fault.Status);
    const std::set<std::string> Names = FileNames();
    EXPECT_EQ(Names.count("card-00.pci"), 0u) << "no half pair";
    if (Fault.File != &MemoryVolume::Undeletable) EXPECT_EQ(Names.count("card-00.hpk"), 0u) << "no half pair";
    EXPECT_EQ(File("card-01.pci"), SecondSidecar) << "the lists after it are still written";
    EXPECT_EQ(File("index.txt"), "card-01.hpk card-01.pci\n");
    EXPECT_TRUE(ConsoleSays(u"cannot write card-00.")) << std::string(Console.begin(), Console.end());
    EXPECT_TRUE(ConsoleSays(u"1 of 2 selected package lists written"));
  }
}

TEST_F(ExportRun, AListWhosePciFunctionCannotBeToldIsAFailureNotASkip) {
  PublishMachine();
  // A driver handle whose path holds a file-path node without its terminator.
  const Bytes BadPath = {MEDIA_DEVICE_PATH,
                         MEDIA_FILEPATH_DP,
                         6,
                         0,
                         'A',
                         0,
                         END_DEVICE_PATH_TYPE,
                         END_ENTIRE_DEVICE_PATH_SUBTYPE,
                         4,
                         0};
  sim::PublishCardOnPath(BadPath, sim::CardFormSet("Bad Path").Form(1, "Main").Build());
  EXPECT_EQ(Run(), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(ConsoleSays(u"cannot tell the PCI function of package list 4: Invalid Parameter"));
  EXPECT_EQ(File("index.txt"), "card-00.hpk card-00.pci\ncard-01.hpk card-01.pci\n");

  sim::FailService("PciIo.Read", EFI_DEVICE_ERROR);
  EXPECT_EQ(Run(), EFI_DEVICE_ERROR);
  EXPECT_TRUE(ConsoleSays(u"cannot tell the PCI function of package list 0: Device Error"));
  EXPECT_EQ(File("index.txt"), "card-00.hpk card-00.pci\n");
  EXPECT_EQ(File("card-00.pci"), SecondSidecar);
}

TEST_F(ExportRun, NothingSelectedIsNotFoundWithAnEmptyIndex) {
  PublishMachine();
  Volume.Files["card-00.hpk"] = Bytes(3, 'S');
  UseShellWords({u"AddOnCardExport.efi", u"abcd:1"});
  EXPECT_EQ(Run(), EFI_NOT_FOUND);
  EXPECT_EQ(FileNames(), std::set<std::string>{"index.txt"});
  EXPECT_EQ(File("index.txt"), "");
  EXPECT_TRUE(ConsoleSays(u"no package list belongs to a PCI function with those IDs"));
}

TEST_F(ExportRun, HelpMalformedWordsAndABlockedDirectoryWriteNothing) {
  PublishMachine();
  UseShellWords({u"AddOnCardExport.efi", u"-h"});
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_TRUE(ConsoleSays(u"Usage: AddOnCardExport.efi [-h] [VVVV:DDDD ...] [DIRECTORY]"));

  ShellWords[1] = u"1:2:3";
  ShellArgv[1] = ShellWords[1].data();
  EXPECT_EQ(Run(), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(ConsoleSays(u"cannot use the argument \"1:2:3\""));
  EXPECT_TRUE(ConsoleSays(u"Usage: "));

  Volume.Files["blocked"] = Bytes(3, 'F');
  ShellWords[1] = u"blocked";
  ShellArgv[1] = ShellWords[1].data();
  EXPECT_EQ(Run(), EFI_ACCESS_DENIED);
  EXPECT_TRUE(ConsoleSays(u"cannot open the directory blocked"));
  EXPECT_EQ(FileNames(), std::set<std::string>{"blocked"});
}

TEST_F(ExportRun, AnImageFromAVolumeWithoutFileSystemIsRefused) {
  PublishMachine();
  Image.DeviceHandle = nullptr;
  EXPECT_EQ(Run(), EFI_UNSUPPORTED);
  EXPECT_TRUE(Volume.Files.empty());
}

TEST_F(ExportRun, PoolExhaustionAtAnyPointFailsCleanly) {
  PublishMachine();
  Volume.Files["index.txt"] = Bytes(3, 'S');  // an earlier run's
  // More allocations than a run makes: the last runs meet no fault at all.
  constexpr std::size_t Runs = 150;
  for (std::size_t Nth = 1; Nth <= Runs; ++Nth) {
    SCOPED_TRACE(Nth);
    sim::FailNthAllocation(Nth);
    const EFI_STATUS Status = Run();
    sim::FailNthAllocation(0);
    // Whatever failed, an index there names whole pairs, and every card file.
    if (Volume.Files.count("index.txt") != 0) {
      for (const auto &[Name, Data] : Volume.Files)
        if (Name != "index.txt") EXPECT_NE(File("index.txt").find(Name), std::string::npos) << Name;
    } else {
      EXPECT_TRUE(EFI_ERROR(Status)) << "no index is a failure";
    }
    if (Nth == Runs) {
      EXPECT_EQ(Status, EFI_SUCCESS);
      EXPECT_EQ(File("card-00.pci"), SampleSidecar);
      EXPECT_EQ(File("card-01.pci"), SecondSidecar);
    }
  }
}

}  // namespace

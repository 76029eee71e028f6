// addoncard preview: the command line and the files it names. Every package
// list is checked whole, with a walk of its own bounded by the file's real
// size, before any of it reaches the simulated firmware: a file that is cut
// short, misstates a length or holds what no exported list holds is refused
// with its name and the byte where the fault lies.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "tools/preview.h"
#include "uefi/hii.h"
#include "uefi/ifr.h"

namespace preview {
namespace {

// Larger than any package list a firmware holds; a file beyond it is not one.
constexpr uint64_t LIST_FILE_LIMIT = 16u << 20;
// Sidecars and index files are a few lines.
constexpr uint64_t TEXT_FILE_LIMIT = 1u << 20;
constexpr std::size_t MAX_SUPPORTED_PAIRS = 10;

constexpr std::size_t LIST_HEADER_BYTES = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
constexpr std::size_t PACKAGE_HEADER_BYTES = sizeof(EFI_HII_PACKAGE_HEADER);

uint32_t Le(const std::vector<uint8_t> &Bytes, uint64_t At, unsigned Width) {
  uint32_t Value = 0;
  for (unsigned Index = Width; Index > 0; --Index) Value = (Value << 8) | Bytes[At + Index - 1];
  return Value;
}

std::string Hex(uint64_t Value) {
  std::ostringstream Text;
  Text << "0x" << std::hex << std::uppercase << Value;
  return Text.str();
}

// ---- files -----------------------------------------------------------------------------

std::vector<uint8_t> ReadWholeFile(const std::string &Path, uint64_t Limit) {
  std::error_code Error;
  if (std::filesystem::is_directory(Path, Error)) throw InputError(Path, 0, "is a directory, not a file");
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw InputError(Path, 0, std::string("cannot be read: ") + std::strerror(errno));
  std::vector<uint8_t> Bytes;
  char Chunk[65536];
  while (In.read(Chunk, sizeof(Chunk)) || In.gcount() > 0) {
    Bytes.insert(Bytes.end(), Chunk, Chunk + In.gcount());
    if (Bytes.size() > Limit)
      throw InputError(Path, Limit,
                       "longer than " + std::to_string(Limit) + " bytes, more than such a file holds");
  }
  if (In.bad()) throw InputError(Path, Bytes.size(), "cannot be read to its end");
  return Bytes;
}

// ---- numbers and IDs ---------------------------------------------------------------------

// One to MaxDigits hex digits, nothing else.
std::optional<uint64_t> ParseHex(std::string_view Text, std::size_t MaxDigits) {
  if (Text.empty() || Text.size() > MaxDigits) return std::nullopt;
  uint64_t Value = 0;
  for (char Character : Text) {
    const int Digit = std::isdigit(static_cast<unsigned char>(Character)) ? Character - '0'
                      : Character >= 'a' && Character <= 'f'              ? Character - 'a' + 10
                      : Character >= 'A' && Character <= 'F'              ? Character - 'A' + 10
                                                                          : -1;
    if (Digit < 0) return std::nullopt;
    Value = Value << 4 | static_cast<uint64_t>(Digit);
  }
  return Value;
}

std::optional<uint16_t> ParseId(std::string_view Text) {
  const auto Value = ParseHex(Text, 4);
  if (!Value) return std::nullopt;
  return static_cast<uint16_t>(*Value);
}

// "[segment:]bus:device.function", hex fields of up to 16 digits (what the
// export tool may write for a function GetLocation describes oddly).
std::optional<PciAddress> ParseLocation(std::string_view Text) {
  const std::size_t Dot = Text.rfind('.');
  if (Dot == std::string_view::npos) return std::nullopt;
  const auto Function = ParseHex(Text.substr(Dot + 1), 16);
  Text = Text.substr(0, Dot);
  const std::size_t LastColon = Text.rfind(':');
  if (!Function || LastColon == std::string_view::npos) return std::nullopt;
  const auto Device = ParseHex(Text.substr(LastColon + 1), 16);
  Text = Text.substr(0, LastColon);
  const std::size_t FirstColon = Text.rfind(':');
  const auto Bus = ParseHex(FirstColon == std::string_view::npos ? Text : Text.substr(FirstColon + 1), 16);
  std::optional<uint64_t> Segment = uint64_t{0};
  if (FirstColon != std::string_view::npos) Segment = ParseHex(Text.substr(0, FirstColon), 16);
  if (!Device || !Bus || !Segment) return std::nullopt;
  return PciAddress{*Segment, *Bus, *Device, *Function};
}

// "vvvv:dddd@[ssss:]bb:dd.f"
bool ParseCardIdentity(std::string_view Text, CardFile *Card) {
  const std::size_t At = Text.find('@');
  const std::size_t Colon = Text.find(':');
  if (At == std::string_view::npos || Colon == std::string_view::npos || Colon > At) return false;
  const auto Vendor = ParseId(Text.substr(0, Colon));
  const auto Device = ParseId(Text.substr(Colon + 1, At - Colon - 1));
  const auto Location = ParseLocation(Text.substr(At + 1));
  if (!Vendor || !Device || !Location || *Vendor == 0 || *Device == 0) return false;
  Card->Vendor = *Vendor;
  Card->Device = *Device;
  Card->Location = *Location;
  return true;
}

// 36 characters, 8-4-4-4-12 hex digits, into the byte order of an EFI_GUID.
std::optional<std::vector<uint8_t>> ParseGuid(std::string_view Text) {
  static constexpr std::size_t Groups[] = {8, 4, 4, 4, 12};
  std::vector<uint8_t> Digits;
  std::size_t At = 0;
  for (std::size_t Group = 0; Group < 5; ++Group) {
    if (Group > 0 && (At >= Text.size() || Text[At++] != '-')) return std::nullopt;
    for (std::size_t Index = 0; Index < Groups[Group]; Index += 2, At += 2) {
      const auto Byte = At + 2 <= Text.size() ? ParseHex(Text.substr(At, 2), 2) : std::nullopt;
      if (!Byte) return std::nullopt;
      Digits.push_back(static_cast<uint8_t>(*Byte));
    }
  }
  if (At != Text.size()) return std::nullopt;
  // Data1, Data2 and Data3 are stored little-endian.
  std::vector<uint8_t> Guid = {Digits[3], Digits[2], Digits[1], Digits[0],
                               Digits[5], Digits[4], Digits[7], Digits[6]};
  Guid.insert(Guid.end(), Digits.begin() + 8, Digits.end());
  return Guid;
}

// ---- sidecars --------------------------------------------------------------------------------

struct TextLine {
  uint64_t Offset;
  std::string_view Text;
};

// The lines of a small ASCII or UTF-8 text file; a CR before the LF is dropped.
std::vector<TextLine> LinesOf(const std::string &Path, const std::vector<uint8_t> &Bytes) {
  std::vector<TextLine> Lines;
  const std::string_view All(reinterpret_cast<const char *>(Bytes.data()), Bytes.size());
  for (std::size_t Start = 0; Start < All.size();) {
    std::size_t End = All.find('\n', Start);
    if (End == std::string_view::npos) End = All.size();
    std::string_view Line = All.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    for (std::size_t Index = 0; Index < Line.size(); ++Index)
      if (static_cast<unsigned char>(Line[Index]) < 0x20 && Line[Index] != '\t')
        throw InputError(Path, Start + Index, "a control character in a text file");
    Lines.push_back({Start, Line});
    Start = End + 1;
  }
  return Lines;
}

// "store NAME: HEX": the contents a store of the list starts with.
void ReadStoreContents(const std::string &Path, const std::string &Name, const TextLine &Value,
                       CardFile *Card) {
  const auto Store = std::find_if(Card->Facts.Stores.begin(), Card->Facts.Stores.end(),
                                  [&](const StoreDeclaration &Each) { return Each.Name == Name; });
  if (Store == Card->Facts.Stores.end())
    throw InputError(Path, Value.Offset,
                     "contents of \"" + Name + "\", a store " + Card->ListPath + " does not declare");
  std::vector<uint8_t> Bytes;
  for (std::size_t At = 0; At < Value.Text.size(); At += 2) {
    const auto Byte = At + 2 <= Value.Text.size() ? ParseHex(Value.Text.substr(At, 2), 2) : std::nullopt;
    if (!Byte) throw InputError(Path, Value.Offset + At, "store contents are not pairs of hex digits");
    Bytes.push_back(static_cast<uint8_t>(*Byte));
  }
  if (Bytes.size() > Store->Size)
    throw InputError(Path, Value.Offset,
                     "contents of \"" + Name + "\" are " + std::to_string(Bytes.size()) +
                         " bytes, the store holds " + std::to_string(Store->Size));
  Card->StoreContents.emplace_back(Name, std::move(Bytes));
}

// "variable NAME: HEX" or "variable NAME: absent": an EFI variable store's
// variable as the machine held it, of whatever size.
void ReadVariableContents(const std::string &Path, const std::string &Name, const TextLine &Value,
                          CardFile *Card) {
  const auto Store =
      std::find_if(Card->Facts.Stores.begin(), Card->Facts.Stores.end(),
                   [&](const StoreDeclaration &Each) { return Each.IsEfi && Each.Name == Name; });
  if (Store == Card->Facts.Stores.end())
    throw InputError(
        Path, Value.Offset,
        "contents of variable \"" + Name + "\", not an EFI variable store " + Card->ListPath + " declares");
  CardFile::Variable Variable{static_cast<std::size_t>(Store - Card->Facts.Stores.begin()), std::nullopt,
                              Value.Offset};
  if (Value.Text != "absent") {
    std::vector<uint8_t> Bytes;
    for (std::size_t At = 0; At < Value.Text.size(); At += 2) {
      const auto Byte = At + 2 <= Value.Text.size() ? ParseHex(Value.Text.substr(At, 2), 2) : std::nullopt;
      if (!Byte)
        throw InputError(Path, Value.Offset + At,
                         "variable contents are not pairs of hex digits nor \"absent\"");
      Bytes.push_back(static_cast<uint8_t>(*Byte));
    }
    if (Bytes.empty())
      throw InputError(Path, Value.Offset, "variable \"" + Name + "\" of no bytes: no variable is empty");
    Variable.Bytes = std::move(Bytes);
  }
  Card->Variables.push_back(std::move(Variable));
}

// The IDs and location of the card a list belongs to, from the "key: value"
// lines the export tool writes beside it. Keys it does not know are passed
// over, so a newer export tool's sidecars still read.
void ReadSidecar(const std::string &Path, CardFile *Card) {
  const std::vector<uint8_t> Bytes = ReadWholeFile(Path, TEXT_FILE_LIMIT);
  std::map<std::string, TextLine> Values;
  for (const TextLine &Line : LinesOf(Path, Bytes)) {
    if (Line.Text.empty()) continue;
    const std::size_t Colon = Line.Text.find(": ");
    if (Colon == std::string_view::npos || Colon == 0)
      throw InputError(Path, Line.Offset, "not a \"key: value\" line");
    const std::string Key(Line.Text.substr(0, Colon));
    const TextLine Value = {Line.Offset + Colon + 2, Line.Text.substr(Colon + 2)};
    if (!Values.emplace(Key, Value).second)
      throw InputError(Path, Line.Offset, "a second \"" + Key + "\" line");
  }
  auto Required = [&](const char *Key) -> const TextLine & {
    const auto Found = Values.find(Key);
    if (Found == Values.end()) throw InputError(Path, Bytes.size(), std::string("no \"") + Key + "\" line");
    return Found->second;
  };
  const TextLine &Vendor = Required("vendor"), &Device = Required("device"), &Location = Required("location");
  const auto VendorId = ParseId(Vendor.Text), DeviceId = ParseId(Device.Text);
  const auto Address = ParseLocation(Location.Text);
  if (!VendorId) throw InputError(Path, Vendor.Offset, "vendor ID is not 1 to 4 hex digits");
  if (!DeviceId) throw InputError(Path, Device.Offset, "device ID is not 1 to 4 hex digits");
  if (!Address) throw InputError(Path, Location.Offset, "location is not segment:bus:device.function in hex");
  // The driver never matches a zero ID, and no supported list can hold one.
  if (*VendorId == 0) throw InputError(Path, Vendor.Offset, "vendor ID 0 names no card");
  if (*DeviceId == 0) throw InputError(Path, Device.Offset, "device ID 0 names no card");
  Card->Vendor = *VendorId;
  Card->Device = *DeviceId;
  Card->Location = *Address;
  Card->LocationOffset = Location.Offset;
  for (const auto &[Key, Value] : Values) {
    if (Key.compare(0, 6, "store ") == 0) ReadStoreContents(Path, Key.substr(6), Value, Card);
    if (Key.compare(0, 9, "variable ") == 0) ReadVariableContents(Path, Key.substr(9), Value, Card);
  }
  if (const auto Guid = Values.find("guid"); Guid != Values.end()) {
    const auto Parsed = ParseGuid(Guid->second.Text);
    if (!Parsed) throw InputError(Path, Guid->second.Offset, "guid is not a GUID in its 36-character form");
    if (Card->List.size() >= 16 && !std::equal(Parsed->begin(), Parsed->end(), Card->List.begin()))
      throw InputError(
          Path, Guid->second.Offset,
          "guid is not the GUID of " + Card->ListPath + ": the two files do not belong together");
  }
}

// The sidecar the export tool writes beside a list: the same name with ".pci".
std::string SidecarOf(const std::string &ListPath) {
  std::filesystem::path Path(ListPath);
  Path.replace_extension(".pci");
  return Path.string();
}

// A file name of an index file: a plain name in the index file's directory.
std::string IndexedName(const std::string &Index, const TextLine &Line, std::string_view Name) {
  const uint64_t Offset = Line.Offset + static_cast<uint64_t>(Name.data() - Line.Text.data());
  if (Name == "." || Name == ".." || Name.find('/') != std::string_view::npos ||
      Name.find('\\') != std::string_view::npos)
    throw InputError(Index, Offset, "\"" + std::string(Name) + "\" is not a file name of this directory");
  return std::string(Name);
}

// The pairs of files an index file names, "card-NN.hpk card-NN.pci" a line.
std::vector<std::pair<std::string, std::string>> ReadIndex(const std::string &Directory) {
  const std::string Index = (std::filesystem::path(Directory) / "index.txt").string();
  const std::vector<uint8_t> Bytes = ReadWholeFile(Index, TEXT_FILE_LIMIT);
  std::vector<std::pair<std::string, std::string>> Pairs;
  for (const TextLine &Line : LinesOf(Index, Bytes)) {
    if (Line.Text.empty()) continue;
    const std::size_t Space = Line.Text.find(' ');
    if (Space == std::string_view::npos || Line.Text.find(' ', Space + 1) != std::string_view::npos)
      throw InputError(Index, Line.Offset, "not a line of two file names");
    const std::string List = IndexedName(Index, Line, Line.Text.substr(0, Space));
    const std::string Sidecar = IndexedName(Index, Line, Line.Text.substr(Space + 1));
    Pairs.emplace_back((std::filesystem::path(Directory) / List).string(),
                       (std::filesystem::path(Directory) / Sidecar).string());
  }
  if (Pairs.empty()) throw InputError(Index, Bytes.size(), "names no package list");
  return Pairs;
}

CardFile ReadCard(const std::string &ListPath, const std::string &SidecarPath, const std::string &Identity) {
  CardFile Card;
  Card.ListPath = ListPath;
  if (!Identity.empty() && !ParseCardIdentity(Identity, &Card))
    throw std::invalid_argument("--card " + ListPath + "=" + Identity +
                                ": IDs and location are VVVV:DDDD@[SSSS:]BB:DD.F in hex, IDs not 0");
  Card.List = ReadWholeFile(ListPath, LIST_FILE_LIMIT);
  Card.Facts = CheckPackageListFile(ListPath, Card.List);
  if (!Identity.empty()) return Card;
  Card.SidecarPath = SidecarPath.empty() ? SidecarOf(ListPath) : SidecarPath;
  std::error_code Error;
  if (!std::filesystem::exists(Card.SidecarPath, Error))
    throw InputError(ListPath, 0,
                     "no " + Card.SidecarPath + " beside it: give the card with --card " + ListPath +
                         "=VVVV:DDDD@SSSS:BB:DD.F");
  ReadSidecar(Card.SidecarPath, &Card);
  return Card;
}

// ---- the set of cards ----------------------------------------------------------------------------

// One machine holds one variable of a name and GUID: sidecars that give it
// different contents cannot come from the same machine.
void CheckVariablesAgree(const std::vector<CardFile> &Cards) {
  std::map<std::pair<std::string, std::string>, std::pair<const CardFile *, const CardFile::Variable *>> Seen;
  for (const CardFile &Card : Cards) {
    for (const CardFile::Variable &Variable : Card.Variables) {
      const StoreDeclaration &Store = Card.Facts.Stores[Variable.Store];
      const std::string Guid(reinterpret_cast<const char *>(Store.Guid), sizeof(Store.Guid));
      const auto [Earlier, First] =
          Seen.emplace(std::make_pair(Store.Name, Guid), std::make_pair(&Card, &Variable));
      if (!First && Earlier->second.second->Bytes != Variable.Bytes)
        throw InputError(Card.SidecarPath, Variable.Offset,
                         "variable \"" + Store.Name + "\" differs from what " +
                             Earlier->second.first->SidecarPath +
                             " gives for the same variable: the two cards are not of one machine");
    }
  }
}

// What the firmware must be able to hold: every card on the supported list,
// one pair of IDs per PCI function, each EFI variable store one variable.
void CheckCardSet(const std::vector<CardFile> &Cards) {
  std::set<std::pair<uint16_t, uint16_t>> Pairs;
  std::map<std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>, const CardFile *> Functions;
  std::map<std::pair<std::string, std::string>, std::pair<const CardFile *, const StoreDeclaration *>> Stores;
  for (const CardFile &Card : Cards) {
    Pairs.emplace(Card.Vendor, Card.Device);
    const auto Key = std::make_tuple(Card.Location.Segment, Card.Location.Bus, Card.Location.Device,
                                     Card.Location.Function);
    const auto [Function, New] = Functions.emplace(Key, &Card);
    if (!New && (Function->second->Vendor != Card.Vendor || Function->second->Device != Card.Device)) {
      const std::string Why = "the PCI function at " + LocationText(Card.Location) + " is " +
                              PciIdsText(Card.Vendor, Card.Device) + " for " + Card.ListPath + " but " +
                              PciIdsText(Function->second->Vendor, Function->second->Device) + " for " +
                              Function->second->ListPath;
      if (Card.SidecarPath.empty()) throw std::invalid_argument(Why);
      throw InputError(Card.SidecarPath, Card.LocationOffset, Why);
    }
    for (const StoreDeclaration &Store : Card.Facts.Stores) {
      if (!Store.IsEfi) continue;
      const std::string Guid(reinterpret_cast<const char *>(Store.Guid), sizeof(Store.Guid));
      const auto [Earlier, First] =
          Stores.emplace(std::make_pair(Store.Name, Guid), std::make_pair(&Card, &Store));
      if (!First && Earlier->second.second->Attributes != Store.Attributes)
        throw InputError(Card.ListPath, Store.Offset,
                         "EFI variable store \"" + Store.Name + "\" with attributes " +
                             Hex(Store.Attributes) + ", but " + Earlier->second.first->ListPath +
                             " declares the same variable with " + Hex(Earlier->second.second->Attributes));
    }
  }
  CheckVariablesAgree(Cards);
  if (Pairs.size() > MAX_SUPPORTED_PAIRS)
    throw RunError(std::to_string(Pairs.size()) +
                   " different vendor/device pairs; the driver's supported list holds at most " +
                   std::to_string(MAX_SUPPORTED_PAIRS) + ": preview fewer cards at a time");
}

}  // namespace

std::string LocationText(const PciAddress &Location) {
  std::ostringstream Text;
  Text << std::hex << std::setfill('0') << std::setw(4) << Location.Segment << ':' << std::setw(2)
       << Location.Bus << ':' << std::setw(2) << Location.Device << '.' << Location.Function;
  return Text.str();
}

std::string PciIdsText(uint16_t Vendor, uint16_t Device) {
  std::ostringstream Text;
  Text << std::hex << std::setfill('0') << std::setw(4) << Vendor << ':' << std::setw(4) << Device;
  return Text.str();
}

Options ReadOptions(int ArgumentCount, char **Arguments) {
  Options Given;
  // Each input in command-line order: a list with its card (--card), a list
  // with a sidecar beside it, or a directory with an index file.
  struct Input {
    std::string Path;
    std::string Identity;
  };
  std::vector<Input> Inputs;
  for (int Index = 0; Index < ArgumentCount; ++Index) {
    const std::string Argument = Arguments[Index];
    if (Argument == "--json") {
      Given.Json = true;
    } else if (Argument == "--card") {
      if (Index + 1 == ArgumentCount) throw std::invalid_argument("--card needs FILE=VVVV:DDDD@SSSS:BB:DD.F");
      const std::string Value = Arguments[++Index];
      const std::size_t Equals = Value.rfind('=');
      if (Equals == std::string::npos || Equals == 0 || Equals + 1 == Value.size())
        throw std::invalid_argument("--card " + Value + ": expected FILE=VVVV:DDDD@SSSS:BB:DD.F");
      Inputs.push_back({Value.substr(0, Equals), Value.substr(Equals + 1)});
    } else if (Argument.size() > 1 && Argument[0] == '-') {
      throw std::invalid_argument("unknown option " + Argument);
    } else {
      Inputs.push_back({Argument, ""});
    }
  }
  if (Inputs.empty()) throw std::invalid_argument("no package list given");
  for (const Input &Each : Inputs) {
    std::error_code Error;
    if (Each.Identity.empty() && std::filesystem::is_directory(Each.Path, Error)) {
      for (const auto &[List, Sidecar] : ReadIndex(Each.Path))
        Given.Cards.push_back(ReadCard(List, Sidecar, ""));
    } else {
      Given.Cards.push_back(ReadCard(Each.Path, "", Each.Identity));
    }
  }
  CheckCardSet(Given.Cards);
  return Given;
}

// ---- the check of a package list ---------------------------------------------------------------

namespace {

// A fault inside a list: InputError at an offset from the file's start.
struct ListWalk {
  const std::string &File;
  const std::vector<uint8_t> &Bytes;

  [[noreturn]] void Fail(uint64_t At, const std::string &Why) const { throw InputError(File, At, Why); }
};

unsigned ValueWidthOfType(uint8_t Type) {
  switch (Type) {
    case EFI_IFR_TYPE_NUM_SIZE_8:
    case EFI_IFR_TYPE_BOOLEAN:
      return 1;
    case EFI_IFR_TYPE_NUM_SIZE_16:
    case EFI_IFR_TYPE_STRING:
    case EFI_IFR_TYPE_ACTION:
      return 2;
    case EFI_IFR_TYPE_TIME:
      return 3;
    case EFI_IFR_TYPE_NUM_SIZE_32:
    case EFI_IFR_TYPE_DATE:
      return 4;
    case EFI_IFR_TYPE_NUM_SIZE_64:
      return 8;
    default:
      return 0;
  }
}

// The fixed bytes of the opcodes whose fields a walk of card forms reads;
// other opcodes need only their 2-byte header. Numbers are the UEFI layouts.
std::size_t FixedBytes(const std::vector<uint8_t> &Bytes, uint64_t At, uint8_t Length) {
  const uint8_t Code = Bytes[At];
  auto Byte = [&](unsigned Offset) -> unsigned { return Offset < Length ? Bytes[At + Offset] : 0; };
  switch (Code) {
    case EFI_IFR_FORM_SET_OP:  // GUID, title, help, flags, then (flags & 3) class GUIDs
      return 23 + 16 * (Byte(22) & 0x03);
    case EFI_IFR_FORM_OP:
      return 6;
    case EFI_IFR_SUBTITLE_OP:
      return 7;
    case EFI_IFR_TEXT_OP:
      return 8;
    case EFI_IFR_ONE_OF_OP:
    case EFI_IFR_NUMERIC_OP:  // question header, flags, minimum, maximum, step at the flags' width
      return 14 + 3 * (1u << (Byte(13) & 0x03));
    case EFI_IFR_CHECKBOX_OP:
      return 14;
    case EFI_IFR_STRING_OP:
      return 16;
    case EFI_IFR_REF_OP:
      return 15;
    case EFI_IFR_ONE_OF_OPTION_OP:
      return 6 + ValueWidthOfType(static_cast<uint8_t>(Byte(5)));
    case EFI_IFR_DEFAULT_OP:
      return 5 + ValueWidthOfType(static_cast<uint8_t>(Byte(4)));
    case EFI_IFR_EQ_ID_VAL_OP:
      return 6;
    case EFI_IFR_EQ_ID_VAL_LIST_OP:
      return 6 + 2 * (Byte(4) | Byte(5) << 8);
    case EFI_IFR_VARSTORE_OP:  // GUID, id, size, then the name
      return 22;
    case EFI_IFR_VARSTORE_EFI_OP:  // id, GUID, attributes, size, then the name
      return 26;
    case EFI_IFR_DEFAULTSTORE_OP:
      return 6;
    case EFI_IFR_GUID_OP:
      return 18;
    default:
      return 2;
  }
}

std::string NameInOpcode(const std::vector<uint8_t> &Bytes, uint64_t From, uint64_t End) {
  std::string Name;
  for (uint64_t At = From; At < End && Bytes[At] != 0; ++At) Name.push_back(static_cast<char>(Bytes[At]));
  return Name;
}

// The stores the firmware would be asked to create for an EFI variable store
// must be ones it can create: a name, a size, and the attributes of a variable
// a driver may set at boot time.
void CheckEfiStore(const ListWalk &Walk, uint64_t At, uint8_t Length, ListFacts *Facts) {
  StoreDeclaration Store;
  Store.Offset = At;
  Store.IsEfi = true;
  std::memcpy(Store.Guid, Walk.Bytes.data() + At + 4, sizeof(Store.Guid));
  Store.Attributes = Le(Walk.Bytes, At + 20, 4);
  Store.Size = static_cast<uint16_t>(Le(Walk.Bytes, At + 24, 2));
  Store.Name = NameInOpcode(Walk.Bytes, At + 26, At + Length);
  constexpr uint32_t Known = 0x7;  // non-volatile, boot-service and runtime access
  if (Store.Name.empty()) Walk.Fail(At, "an EFI variable store without a name");
  if (Store.Size == 0) Walk.Fail(At, "EFI variable store \"" + Store.Name + "\" of size 0");
  if ((Store.Attributes & ~Known) != 0 || (Store.Attributes & 0x2) == 0)
    Walk.Fail(At, "EFI variable store \"" + Store.Name + "\" with attributes " + Hex(Store.Attributes) +
                      ", not a variable a driver sets at boot time");
  for (const char *Own : {"TLX_ADDONCARD_OOB_VAR", "TLX_ADDONCARD_STRING_VAR", "TLX_ADDONCARD_PCI_VAR"})
    if (Store.Name == Own)
      Walk.Fail(At, "EFI variable store \"" + Store.Name + "\" is the AddOnCard driver's own");
  Facts->Stores.push_back(Store);
}

void RecordBufferStore(const ListWalk &Walk, uint64_t At, uint8_t Length, ListFacts *Facts) {
  StoreDeclaration Store;
  Store.Offset = At;
  std::memcpy(Store.Guid, Walk.Bytes.data() + At + 2, sizeof(Store.Guid));
  Store.Size = static_cast<uint16_t>(Le(Walk.Bytes, At + 20, 2));
  Store.Name = NameInOpcode(Walk.Bytes, At + 22, At + Length);
  Facts->Stores.push_back(Store);
}

void CheckFormsPackage(const ListWalk &Walk, uint64_t Package, uint64_t End, bool First, ListFacts *Facts) {
  uint64_t Depth = 0;
  for (uint64_t At = Package + PACKAGE_HEADER_BYTES; At < End;) {
    if (End - At < 2) Walk.Fail(At, "the forms package ends inside an opcode header");
    const uint8_t Code = Walk.Bytes[At];
    const uint8_t Length = Walk.Bytes[At + 1] & IFR_LENGTH_MASK;
    const bool Scope = (Walk.Bytes[At + 1] & IFR_SCOPE_BIT) != 0;
    if (Length < 2) Walk.Fail(At, "opcode " + Hex(Code) + " of length " + std::to_string(Length));
    if (Length > End - At)
      Walk.Fail(At, "opcode " + Hex(Code) + " of length " + std::to_string(Length) +
                        " runs past its package (" + std::to_string(End - At) + " bytes left)");
    const std::size_t Fixed = FixedBytes(Walk.Bytes, At, Length);
    if (Length < Fixed)
      Walk.Fail(At, "opcode " + Hex(Code) + " of length " + std::to_string(Length) + ", shorter than its " +
                        std::to_string(Fixed) + " fixed bytes");
    if (First && At == Package + PACKAGE_HEADER_BYTES) Facts->FormSetFirst = Code == EFI_IFR_FORM_SET_OP;
    if (Code == EFI_IFR_VARSTORE_EFI_OP) CheckEfiStore(Walk, At, Length, Facts);
    if (Code == EFI_IFR_VARSTORE_OP) RecordBufferStore(Walk, At, Length, Facts);
    if (Code == EFI_IFR_END_OP) {
      if (Scope) Walk.Fail(At, "an END opcode that opens a scope");
      if (Depth == 0) Walk.Fail(At, "an END opcode with no scope open");
      --Depth;
    } else if (Scope) {
      ++Depth;
    }
    At += Length;
  }
  if (Depth != 0) Walk.Fail(End, "the forms package ends with " + std::to_string(Depth) + " scopes open");
}

bool IsTextBlock(uint8_t Type) {
  return Type >= EFI_HII_SIBT_STRING_SCSU && Type <= EFI_HII_SIBT_STRINGS_UCS2_FONT;
}

// Bytes of one string-information block at At (before End), and the string
// ids it stands for.
uint64_t StringBlockBytes(const ListWalk &Walk, uint64_t At, uint64_t End, uint64_t *Ids) {
  const uint8_t Type = Walk.Bytes[At];
  auto Need = [&](uint64_t Bytes) {
    if (End - At < Bytes) Walk.Fail(At, "string block of type " + Hex(Type) + " runs past its package");
  };
  switch (Type) {
    case EFI_HII_SIBT_DUPLICATE:
      Need(3);
      *Ids = 1;
      return 3;
    case EFI_HII_SIBT_SKIP2:
      Need(3);
      *Ids = Le(Walk.Bytes, At + 1, 2);
      return 3;
    case EFI_HII_SIBT_SKIP1:
      Need(2);
      *Ids = Walk.Bytes[At + 1];
      return 2;
    case EFI_HII_SIBT_EXT1:
    case EFI_HII_SIBT_EXT2:
    case EFI_HII_SIBT_EXT4: {
      const unsigned Header = Type == EFI_HII_SIBT_EXT1 ? 3 : Type == EFI_HII_SIBT_EXT2 ? 4 : 6;
      Need(Header);
      const uint64_t Length = Le(Walk.Bytes, At + 2, Header - 2);
      if (Length < Header) Walk.Fail(At, "extended string block of length " + std::to_string(Length));
      Need(Length);
      *Ids = 0;
      return Length;
    }
    default:
      break;
  }
  if (!IsTextBlock(Type)) Walk.Fail(At, "string block of unknown type " + Hex(Type));
  const bool Font = Type == EFI_HII_SIBT_STRING_SCSU_FONT || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
                    Type == EFI_HII_SIBT_STRING_UCS2_FONT || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
  const bool Several = Type == EFI_HII_SIBT_STRINGS_SCSU || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
                       Type == EFI_HII_SIBT_STRINGS_UCS2 || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
  const unsigned Unit = Type >= EFI_HII_SIBT_STRING_UCS2 ? 2 : 1;
  uint64_t Text = 1 + (Font ? 1 : 0) + (Several ? 2 : 0);
  Need(Text);
  const uint64_t Count = Several ? Le(Walk.Bytes, At + Text - 2, 2) : 1;
  Text += At;
  for (uint64_t String = 0; String < Count; ++String) {
    for (;;) {
      if (End - Text < Unit)
        Walk.Fail(At, "string block of type " + Hex(Type) + " holds a text with no terminator");
      const bool Nul = Walk.Bytes[Text] == 0 && (Unit == 1 || Walk.Bytes[Text + 1] == 0);
      Text += Unit;
      if (Nul) break;
    }
  }
  *Ids = Count;
  return Text - At;
}

void CheckStringPackage(const ListWalk &Walk, uint64_t Package, uint64_t End) {
  constexpr uint64_t Fixed = sizeof(EFI_HII_STRING_PACKAGE_HDR);
  const uint64_t Length = End - Package;
  if (Length < Fixed + 1)
    Walk.Fail(Package, "string package of " + std::to_string(Length) + " bytes, shorter than its header");
  const uint64_t HeaderSize = Le(Walk.Bytes, Package + 4, 4);
  const uint64_t InfoOffset = Le(Walk.Bytes, Package + 8, 4);
  if (HeaderSize <= Fixed || HeaderSize > Length)
    Walk.Fail(Package + 4,
              "string package header size " + std::to_string(HeaderSize) + " does not fit the package");
  if (InfoOffset < HeaderSize || InfoOffset >= Length)
    Walk.Fail(Package + 8,
              "string information offset " + std::to_string(InfoOffset) + " does not fit the package");
  bool Terminated = false;
  for (uint64_t At = Package + Fixed; At < Package + HeaderSize && !Terminated; ++At) {
    const uint8_t Character = Walk.Bytes[At];
    Terminated = Character == 0;
    if (!Terminated && (Character < 0x21 || Character > 0x7E))
      Walk.Fail(At, "string package language tag holds the byte " + Hex(Character));
  }
  if (!Terminated) Walk.Fail(Package + Fixed, "string package language tag has no terminator in its header");
  uint64_t NextId = 1;
  for (uint64_t At = Package + InfoOffset;;) {
    if (At >= End) Walk.Fail(End, "string package ends without an END block");
    if (Walk.Bytes[At] == EFI_HII_SIBT_END) return;
    uint64_t Ids = 0;
    const uint64_t Bytes = StringBlockBytes(Walk, At, End, &Ids);
    NextId += Ids;
    if (NextId > 0x10000) Walk.Fail(At, "string block beyond string id 0xFFFF");
    At += Bytes;
  }
}

void CheckDevicePathPackage(const ListWalk &Walk, uint64_t Package, uint64_t End) {
  for (uint64_t At = Package + PACKAGE_HEADER_BYTES;;) {
    if (End - At < 4) Walk.Fail(At, "the device path ends without an end node");
    const uint64_t Length = Le(Walk.Bytes, At + 2, 2);
    if (Length < 4 || Length > End - At)
      Walk.Fail(At, "device path node of length " + std::to_string(Length) + " does not fit its package");
    if (Walk.Bytes[At] == 0x7F && Walk.Bytes[At + 1] == 0xFF) return;
    At += Length;
  }
}

void CheckPackage(const ListWalk &Walk, uint64_t Package, uint64_t End, bool First, ListFacts *Facts) {
  const uint8_t Type = Walk.Bytes[Package + 3];
  switch (Type) {
    case EFI_HII_PACKAGE_TYPE_GUID:
      if (End - Package < PACKAGE_HEADER_BYTES + 16) Walk.Fail(Package, "GUID package shorter than its GUID");
      return;
    case EFI_HII_PACKAGE_FORMS:
      CheckFormsPackage(Walk, Package, End, First, Facts);
      return;
    case EFI_HII_PACKAGE_STRINGS:
      CheckStringPackage(Walk, Package, End);
      return;
    case EFI_HII_PACKAGE_DEVICE_PATH:
      CheckDevicePathPackage(Walk, Package, End);
      return;
    case EFI_HII_PACKAGE_FONTS:
    case EFI_HII_PACKAGE_IMAGES:
    case EFI_HII_PACKAGE_SIMPLE_FONTS:
    case EFI_HII_PACKAGE_KEYBOARD_LAYOUT:
    case EFI_HII_PACKAGE_ANIMATIONS:
      return;
    default:
      Walk.Fail(Package, "package of type " + Hex(Type) + ", which no exported package list holds");
  }
}

}  // namespace

ListFacts CheckPackageListFile(const std::string &File, const std::vector<uint8_t> &Bytes) {
  const ListWalk Walk{File, Bytes};
  ListFacts Facts;
  if (Bytes.size() < LIST_HEADER_BYTES)
    Walk.Fail(Bytes.size(), "the file ends inside the 20-byte package list header");
  const uint64_t Stated = Le(Bytes, 16, 4);
  if (Stated < LIST_HEADER_BYTES)
    Walk.Fail(16, "package list length " + std::to_string(Stated) + " is shorter than its header");
  if (Stated > Bytes.size())
    Walk.Fail(Bytes.size(), "the list states " + std::to_string(Stated) + " bytes but the file ends after " +
                                std::to_string(Bytes.size()));
  if (Stated < Bytes.size())
    Walk.Fail(Stated, std::to_string(Bytes.size() - Stated) + " bytes after the " + std::to_string(Stated) +
                          " bytes the list states");
  bool SawEnd = false;
  for (uint64_t At = LIST_HEADER_BYTES; At < Stated;) {
    if (Stated - At < PACKAGE_HEADER_BYTES) Walk.Fail(At, "the list ends inside a package header");
    const uint64_t Length = Le(Bytes, At, 3);
    const uint8_t Type = Bytes[At + 3];
    if (SawEnd) Walk.Fail(At, "a package after the end package");
    if (Length < PACKAGE_HEADER_BYTES)
      Walk.Fail(At, "package of type " + Hex(Type) + " of length " + std::to_string(Length) +
                        ", shorter than its header");
    if (Length > Stated - At)
      Walk.Fail(At, "package of type " + Hex(Type) + " of length " + std::to_string(Length) +
                        " runs past the end of the list (" + std::to_string(Stated - At) + " bytes left)");
    if (Type == EFI_HII_PACKAGE_END) {
      if (Length != PACKAGE_HEADER_BYTES) Walk.Fail(At, "end package of length " + std::to_string(Length));
      SawEnd = true;
    } else {
      CheckPackage(Walk, At, At + Length, At == LIST_HEADER_BYTES, &Facts);
    }
    At += Length;
  }
  if (!SawEnd) Walk.Fail(Stated, "the list has no end package");
  return Facts;
}

}  // namespace preview

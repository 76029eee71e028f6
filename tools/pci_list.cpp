// addoncard pci-list: the supported vendor/device pairs in TLX_ADDONCARD_PCI_VAR,
// the list the driver matches add-on cards against, shown and edited from the
// running system through efivarfs.
//
//   addoncard pci-list                       the pairs the driver uses
//   addoncard pci-list add VVVV:DDDD...      append pairs
//   addoncard pci-list remove VVVV:DDDD...   remove pairs
//
// Every record written is one the driver keeps as it is: 41 bytes, 1 to 10 pairs
// packed from the first slot, no zero ID, no pair twice, PairCount the number of
// pairs, unused slots zero, and the attributes the variable already has. A stored
// record the driver would replace with its defaults (another size, or PairCount
// and the first pair all zero) is reported and left alone: an edit would hide
// that the driver is about to discard it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "forms/identities.h"
#include "forms/variables.h"
#include "tools/efivarfs.h"
#include "tools/tool.h"
#include "uefi/system_table.h"

namespace {

constexpr UINTN MAX_PAIRS = ADDONCARD_MAX_PCI_ID_PAIRS;
// A request to SetVariable rather than a stored attribute; kept with the others
// it would make the write add a second record after the first.
constexpr UINT32 APPEND_WRITE_ATTRIBUTE = 0x40;

struct PciPair {
  UINT16 Vendor;
  UINT16 Device;
  bool operator==(const PciPair &) const = default;
};

constexpr PciPair DEFAULT_PAIR = {ADDONCARD_PCI_DEFAULTS.VendorId[0], ADDONCARD_PCI_DEFAULTS.DeviceId[0]};

enum class Edit { None, Add, Remove };

struct Request {
  Edit Kind = Edit::None;
  std::vector<PciPair> Pairs;
};

std::string PairText(PciPair Pair) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "%04X:%04X", Pair.Vendor, Pair.Device);
  return Text;
}

int Fail(const std::string &Message) {
  std::fprintf(stderr, "addoncard: %s\n", Message.c_str());
  return EXIT_FAILED;
}

bool Refuse(const std::string &Message) {
  Fail(Message);
  return false;
}

std::string VariableName() {
  std::string Name;
  for (const CHAR16 *Character = TLX_ADDONCARD_PCI_VAR; *Character != 0; ++Character)
    Name += static_cast<char>(*Character);
  return Name;
}

EfiGuidBytes VariableGuid() {
  static_assert(sizeof(EFI_GUID) == sizeof(EfiGuidBytes));
  EfiGuidBytes Bytes;
  std::memcpy(Bytes.data(), &ADDONCARD_PCI_VAR_GUID, Bytes.size());
  return Bytes;
}

// ---- command line -------------------------------------------------------------

// One to four hex digits.
bool ParseId(std::string_view Text, UINT16 *Id) {
  if (Text.empty() || Text.size() > 4) return false;
  UINT16 Value = 0;
  for (const char Digit : Text) {
    if (std::isxdigit(static_cast<unsigned char>(Digit)) == 0) return false;
    const int Nibble = std::isdigit(static_cast<unsigned char>(Digit)) != 0
                           ? Digit - '0'
                           : std::tolower(static_cast<unsigned char>(Digit)) - 'a' + 10;
    Value = static_cast<UINT16>(Value << 4 | Nibble);
  }
  *Id = Value;
  return true;
}

// "VVVV:DDDD", both IDs non-zero. EXIT_OK, or EXIT_USAGE with the reason printed.
int ParsePair(std::string_view Text, PciPair *Pair) {
  const size_t Colon = Text.find(':');
  if (Colon == std::string_view::npos || !ParseId(Text.substr(0, Colon), &Pair->Vendor) ||
      !ParseId(Text.substr(Colon + 1), &Pair->Device)) {
    std::fprintf(stderr, "addoncard: '%.*s' is not a vendor:device pair of hex IDs such as 15B3:1021\n",
                 static_cast<int>(Text.size()), Text.data());
    return EXIT_USAGE;
  }
  if (Pair->Vendor == 0 || Pair->Device == 0) {
    std::fprintf(stderr, "addoncard: %s: a zero ID never matches a card\n", PairText(*Pair).c_str());
    return EXIT_USAGE;
  }
  return EXIT_OK;
}

int ParseRequest(int ArgumentCount, char **Arguments, Request *Parsed) {
  if (ArgumentCount == 0) return EXIT_OK;
  const std::string_view Verb = Arguments[0];
  if (Verb == "add") {
    Parsed->Kind = Edit::Add;
  } else if (Verb == "remove") {
    Parsed->Kind = Edit::Remove;
  } else {
    return EXIT_USAGE;
  }
  if (ArgumentCount < 2) return EXIT_USAGE;
  for (int Index = 1; Index < ArgumentCount; ++Index) {
    PciPair Pair;
    const int Status = ParsePair(Arguments[Index], &Pair);
    if (Status != EXIT_OK) return Status;
    Parsed->Pairs.push_back(Pair);
  }
  return EXIT_OK;
}

// ---- the stored record --------------------------------------------------------------

// The record as the driver's load would keep it. Anything else is reported (and
// false returned): the driver puts its defaults in its place at its next start.
bool KeptRecord(const EfiVariableContents &Stored, ADDONCARD_PCI_ID_LIST *Record) {
  const std::string Replaced = "the driver replaces it with its default pair " + PairText(DEFAULT_PAIR) +
                               " at its next start; left as it is";
  if (Stored.Data.size() != sizeof(*Record))
    return Refuse(VariableName() + " holds " + std::to_string(Stored.Data.size()) + " bytes, not " +
                  std::to_string(sizeof(*Record)) + ": " + Replaced);
  std::memcpy(Record, Stored.Data.data(), sizeof(*Record));
  if (Record->PairCount == 0 && Record->VendorId[0] == 0 && Record->DeviceId[0] == 0)
    return Refuse(VariableName() + " is blank (PairCount and the first pair zero): " + Replaced);
  return true;
}

// The driver reads the first PairCount pairs, taking 0 for 1 and anything above
// the slots for all of them.
UINTN PairsInUse(const ADDONCARD_PCI_ID_LIST &Record) {
  return std::clamp<UINTN>(Record.PairCount, 1, MAX_PAIRS);
}

PciPair PairAt(const ADDONCARD_PCI_ID_LIST &Record, UINTN Index) {
  return {Record.VendorId[Index], Record.DeviceId[Index]};
}

// Why the pair at Index takes no part in matching, or "" when it does.
std::string IdleReason(const ADDONCARD_PCI_ID_LIST &Record, UINTN Index) {
  const PciPair Pair = PairAt(Record, Index);
  if (Pair.Vendor == 0 || Pair.Device == 0) return "never matches: zero ID";
  for (UINTN Earlier = 0; Earlier < Index; ++Earlier)
    if (PairAt(Record, Earlier) == Pair) return "repeats pair " + std::to_string(Earlier + 1);
  return "";
}

void PrintList(const ADDONCARD_PCI_ID_LIST &Record, UINT32 Attributes) {
  const UINTN Count = PairsInUse(Record);
  std::printf("Supported add-on cards (%zu of %zu pairs):\n", static_cast<size_t>(Count),
              static_cast<size_t>(MAX_PAIRS));
  for (UINTN Index = 0; Index < Count; ++Index) {
    const std::string Reason = IdleReason(Record, Index);
    std::printf("  %2zu  %s%s%s\n", static_cast<size_t>(Index + 1), PairText(PairAt(Record, Index)).c_str(),
                Reason.empty() ? "" : "   ", Reason.c_str());
  }
  if (Record.PairCount != Count)
    std::printf("PairCount is %u: the driver uses the first %zu.\n", Record.PairCount,
                static_cast<size_t>(Count));
  if (Attributes != ADDONCARD_PCI_VAR_ATTRIBUTES)
    std::printf("Attributes are 0x%X, not 0x%X%s.\n", Attributes, ADDONCARD_PCI_VAR_ATTRIBUTES,
                (Attributes & EFI_VARIABLE_NON_VOLATILE) == 0 ? ": the list does not survive a reset" : "");
}

// ---- edits ------------------------------------------------------------------------

// The pairs that take part in matching, in order; each one left out is described
// in *Dropped.
std::vector<PciPair> MatchingPairs(const ADDONCARD_PCI_ID_LIST &Record, std::vector<std::string> *Dropped) {
  std::vector<PciPair> Pairs;
  for (UINTN Index = 0; Index < PairsInUse(Record); ++Index) {
    const std::string Reason = IdleReason(Record, Index);
    if (Reason.empty()) {
      Pairs.push_back(PairAt(Record, Index));
    } else {
      Dropped->push_back("Dropped pair " + std::to_string(Index + 1) + ", " +
                         PairText(PairAt(Record, Index)) + ": it " + Reason + ".");
    }
  }
  return Pairs;
}

// All of the request or nothing: false (with the reason printed) at the first
// pair that cannot be added or removed.
bool ApplyEdit(const Request &Wanted, std::vector<PciPair> *Pairs) {
  for (const PciPair &Pair : Wanted.Pairs) {
    const auto Found = std::find(Pairs->begin(), Pairs->end(), Pair);
    if (Wanted.Kind == Edit::Add) {
      if (Found != Pairs->end()) return Refuse(PairText(Pair) + " is already on the list");
      if (Pairs->size() == MAX_PAIRS)
        return Refuse("cannot add " + PairText(Pair) + ": the list is full (" + std::to_string(MAX_PAIRS) +
                      " pairs); remove one first");
      Pairs->push_back(Pair);
    } else {
      if (Found == Pairs->end()) return Refuse(PairText(Pair) + " is not on the list");
      if (Pairs->size() == 1)
        return Refuse("cannot remove " + PairText(Pair) + ", the last pair: the driver replaces an empty " +
                      "list with its default pair " + PairText(DEFAULT_PAIR) + "; add another pair first");
      Pairs->erase(Found);
    }
  }
  return true;
}

ADDONCARD_PCI_ID_LIST PackedRecord(const std::vector<PciPair> &Pairs) {
  ADDONCARD_PCI_ID_LIST Record = {};
  for (UINTN Index = 0; Index < Pairs.size(); ++Index) {
    Record.VendorId[Index] = Pairs[Index].Vendor;
    Record.DeviceId[Index] = Pairs[Index].Device;
  }
  Record.PairCount = static_cast<UINT8>(Pairs.size());
  return Record;
}

int WriteEdited(const Request &Wanted, const ADDONCARD_PCI_ID_LIST &Record, UINT32 Attributes) {
  std::vector<std::string> Dropped;
  std::vector<PciPair> Pairs = MatchingPairs(Record, &Dropped);
  if (!ApplyEdit(Wanted, &Pairs)) return EXIT_FAILED;
  const ADDONCARD_PCI_ID_LIST Edited = PackedRecord(Pairs);
  const auto *Bytes = reinterpret_cast<const UINT8 *>(&Edited);
  const EfiVariableContents Contents = {Attributes & ~APPEND_WRITE_ATTRIBUTE,
                                        std::vector<UINT8>(Bytes, Bytes + sizeof(Edited))};
  const EfivarfsOutcome Written = WriteEfiVariable(VariableGuid(), VariableName(), Contents);
  if (!Written.Ok()) return Fail(Written.Message + "; the list is unchanged");
  for (const std::string &Line : Dropped) std::printf("%s\n", Line.c_str());
  for (const PciPair &Pair : Wanted.Pairs)
    std::printf("%s %s.\n", Wanted.Kind == Edit::Add ? "Added" : "Removed", PairText(Pair).c_str());
  PrintList(Edited, Contents.Attributes);
  return EXIT_OK;
}

}  // namespace

int RunPciList(int ArgumentCount, char **Arguments) {
  Request Wanted;
  const int Parsed = ParseRequest(ArgumentCount, Arguments, &Wanted);
  if (Parsed != EXIT_OK) return Parsed;

  std::vector<std::string> CommandLine = {"addoncard", "pci-list"};
  CommandLine.insert(CommandLine.end(), Arguments, Arguments + ArgumentCount);
  EfivarfsOutcome Outcome = RestartWithEfivarfsSlash(CommandLine);
  if (Outcome.Ok()) Outcome = CheckEfivarfs();
  if (!Outcome.Ok()) return Fail(Outcome.Message);

  EfiVariableContents Stored;
  Outcome = ReadEfiVariable(VariableGuid(), VariableName(), &Stored);
  if (Outcome.Status == EfivarfsStatus::NotFound)
    return Fail(Outcome.Message + ": the driver creates it, holding " + PairText(DEFAULT_PAIR) +
                ", when it first starts");
  if (!Outcome.Ok()) return Fail(Outcome.Message);

  ADDONCARD_PCI_ID_LIST Record;
  if (!KeptRecord(Stored, &Record)) return EXIT_FAILED;
  if (Wanted.Kind == Edit::None) {
    PrintList(Record, Stored.Attributes);
    return EXIT_OK;
  }
  return WriteEdited(Wanted, Record, Stored.Attributes);
}

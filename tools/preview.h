// addoncard preview: the card pages the driver builds over package lists read
// from files, shown as a setup browser shows them or as a keyword registry.
//
// The pieces, each in a file of its own:
//   preview_input.cpp     the command line, the files, their sidecars and index
//                         files, and a full bounded check of every list
//   preview_machine.cpp   the simulated boot: PCI functions, the cards' drivers,
//                         the AddOnCard driver, the scan; then the driver's own
//                         package list read back into forms and statements
//   preview_text.cpp      the pages as text
//   preview_registry.cpp  the keywords as an attribute registry (JSON)
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace preview {

// A file that cannot be used: which one, where in it, and why. Offset is the
// byte the fault was found at (for a file that ends too early, its size).
class InputError : public std::runtime_error {
 public:
  InputError(std::string File, uint64_t Offset, const std::string &Why)
      : std::runtime_error(Why), File_(std::move(File)), Offset_(Offset) {}
  const std::string &File() const { return File_; }
  uint64_t Offset() const { return Offset_; }

 private:
  std::string File_;
  uint64_t Offset_;
};

// A fault that belongs to no one file (the set of cards, the simulated run).
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PciAddress {
  uint64_t Segment = 0;
  uint64_t Bus = 0;
  uint64_t Device = 0;
  uint64_t Function = 0;
  bool operator==(const PciAddress &) const = default;
};

// "ssss:bb:dd.f", lower-case hex, as lspci and the export tool print it.
std::string LocationText(const PciAddress &Location);
// "vvvv:dddd", lower-case hex.
std::string PciIdsText(uint16_t Vendor, uint16_t Device);

// A variable store declared by an EFI_IFR_VARSTORE or EFI_IFR_VARSTORE_EFI
// opcode of a list.
struct StoreDeclaration {
  uint64_t Offset = 0;  // of the opcode, in the file
  std::string Name;
  uint8_t Guid[16] = {};
  bool IsEfi = false;
  uint32_t Attributes = 0;  // EFI variable stores
  uint16_t Size = 0;
};

// What the check of a list found out on the way.
struct ListFacts {
  // The first package is a forms package whose first opcode is a form set:
  // the shape the driver's scan looks for.
  bool FormSetFirst = false;
  std::vector<StoreDeclaration> Stores;
};

// One package list to preview, with the card it belongs to.
struct CardFile {
  std::string ListPath;     // as given, or joined to the directory of its index file
  std::string SidecarPath;  // empty when the IDs came from the command line
  std::vector<uint8_t> List;
  uint16_t Vendor = 0;
  uint16_t Device = 0;
  PciAddress Location;
  uint64_t LocationOffset = 0;  // of the location in the sidecar
  ListFacts Facts;
  // Contents of the list's stores by name, from "store NAME: HEX" lines of
  // the sidecar; stores not given start zero-filled.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> StoreContents;
  // The variables of its EFI variable stores as the machine held them, from
  // "variable NAME: HEX" lines (any size) and "variable NAME: absent" (no
  // such variable). They replace what the store's declaration made.
  struct Variable {
    std::size_t Store = 0;  // index into Facts.Stores
    std::optional<std::vector<uint8_t>> Bytes;
    uint64_t Offset = 0;  // of the value, in the sidecar
  };
  std::vector<Variable> Variables;
};

struct Options {
  bool Json = false;
  std::vector<CardFile> Cards;  // in the order given: the order the firmware registers them
};

// Parses the arguments after "preview" and reads and checks every file.
// Throws InputError for a file that cannot be used, RunError for a set of
// cards the driver cannot be given, std::invalid_argument for a malformed
// command line (the message says what).
Options ReadOptions(int ArgumentCount, char **Arguments);

// Checks that Bytes (the contents of File) are one whole package list as
// ExportPackageLists writes it: header, packages that fill it exactly, and
// the end package last; forms packages of whole opcodes with balanced scopes,
// string packages of whole blocks ending in an END block, device paths of
// whole nodes ending in an end node. Throws InputError at the first fault.
ListFacts CheckPackageListFile(const std::string &File, const std::vector<uint8_t> &Bytes);

// ---- what the driver built ----------------------------------------------------------

enum class StatementKind { OneOf, Numeric, String, Text, Goto, Subtitle, Other };

struct OptionView {
  std::string Text;
  uint64_t Value = 0;
  uint8_t Flags = 0;  // EFI_IFR_OPTION_DEFAULT, EFI_IFR_OPTION_DEFAULT_MFG
};

// One statement of a form as the browser shows it; texts are UTF-8.
struct StatementView {
  StatementKind Kind = StatementKind::Other;
  std::string Prompt;
  std::string Help;
  std::string Keyword;  // its prompt in the keyword namespace; empty: none
  uint16_t QuestionId = 0;
  uint16_t VarStoreId = 0;
  uint16_t VarOffset = 0;
  uint8_t QuestionFlags = 0;
  bool Hidden = false;  // inside a suppress-if that holds over the current values
  // One-of and numeric.
  uint8_t NumericFlags = 0;
  uint64_t Minimum = 0, Maximum = 0, Step = 0;
  std::vector<OptionView> Options;
  std::optional<uint64_t> Value;    // the current value; none when its store cannot be read
  std::optional<uint64_t> Default;  // a numeric's DEFAULT for the standard default store
  // String.
  uint8_t MinSize = 0, MaxSize = 0;
  std::string StringValue;
  // Text.
  std::string TextTwo;
  // Goto.
  uint16_t TargetForm = 0;

  bool ReadOnly() const { return (QuestionFlags & 0x01) != 0; }
  bool ResetRequired() const { return (QuestionFlags & 0x10) != 0; }
  unsigned ValueWidth() const { return 1u << (NumericFlags & 0x03); }
};

struct FormView {
  uint16_t FormId = 0;
  std::string Title;
  std::vector<StatementView> Statements;
};

// What a mirrored keyword stands for: the driver's mirrored question record
// and the card store it names.
struct MirroredTarget {
  std::size_t Card = 0;  // index into Options::Cards
  uint16_t CardVarStoreId = 0;
  std::string CardStoreName;  // empty when the driver has not registered the store
  std::string CardStoreGuid;
  bool CardStoreIsEfi = false;
  uint16_t CardVarOffset = 0;
  uint8_t CardWidth = 0;
  uint16_t OobSlot = 0;
  uint8_t BuildValue = 0;
  bool CardReadOnly = false;  // the card marks the question read-only
  bool WideValue = false;     // its values do not fit the one byte the driver keeps
};

// One card page the driver built, and the card it shows.
struct CardPage {
  std::size_t Slot = 0;
  std::size_t Card = 0;  // index into Options::Cards
  FormView Form;
};

// A list that got no page, and why.
struct PassedOver {
  std::size_t Card = 0;
  std::string Reason;
};

struct Preview {
  std::string FormSetTitle;
  FormView Main;
  std::vector<CardPage> Pages;  // in slot order
  std::vector<PassedOver> Skipped;
  std::vector<std::pair<uint16_t, uint16_t>> SupportedList;  // the pairs the driver matched against
  // By keyword text.
  std::vector<std::pair<std::string, MirroredTarget>> Targets;

  struct DriverStore {
    uint16_t Id;
    std::string Name;
    std::string Guid;
  };
  std::vector<DriverStore> DriverStores;
};

// Boots the simulated machine with the cards of Given and the AddOnCard
// driver, lets the driver scan, and reads back what it built. Throws RunError
// when the simulated firmware refuses a card or the driver's list cannot be
// read back; InputError when a card's driver refuses its list.
Preview RunDriver(const Options &Given);

// ---- output ----------------------------------------------------------------------------

std::string RenderText(const Options &Given, const Preview &Built);
// Throws RunError when the registry would not be whole (a keyword twice).
std::string RenderRegistry(const Options &Given, const Preview &Built);

}  // namespace preview

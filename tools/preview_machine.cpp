// addoncard preview: the simulated boot. Each card becomes a simulated PCI
// function with the card's IDs and location, its package list published below
// it by a card driver (its stores as the sidecar gives them, zero-filled
// otherwise: exported lists do not carry their contents); the AddOnCard driver
// is loaded with the cards' IDs on its supported list, and the scan runs. What
// the driver built is then read back from the driver's own package list as the
// HII database exports it.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <sstream>

#include "driver/card_inventory.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "driver/startup.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "hii/foreign_varstore.h"
#include "sim/card_fixture.h"
#include "sim/pci.h"
#include "sim/sim.h"
#include "support/language.h"
#include "support/pool.h"
#include "tools/preview.h"
#include "uefi/guids.h"

namespace preview {
namespace {

constexpr char DISPLAY_LANGUAGE[] = "en-US";
constexpr char KEYWORD_LANGUAGE[] = "x-UEFI-QZV";
constexpr uint16_t FIRST_CARD_FORM = 0x9011;

// ---- text -----------------------------------------------------------------------------

std::string Utf8(const CHAR16 *Text, std::size_t Limit = 4096) {
  std::string Out;
  for (std::size_t Index = 0; Index < Limit && Text != nullptr && Text[Index] != 0; ++Index) {
    uint32_t Unit = Text[Index];
    if (Unit >= 0xD800 && Unit <= 0xDBFF && Index + 1 < Limit && Text[Index + 1] >= 0xDC00 &&
        Text[Index + 1] <= 0xDFFF) {
      Unit = 0x10000 + ((Unit - 0xD800) << 10) + (Text[Index + 1] - 0xDC00u);
      ++Index;
    } else if (Unit >= 0xD800 && Unit <= 0xDFFF) {
      Unit = 0xFFFD;
    }
    if (Unit < 0x80) {
      Out.push_back(static_cast<char>(Unit));
    } else if (Unit < 0x800) {
      Out.push_back(static_cast<char>(0xC0 | Unit >> 6));
      Out.push_back(static_cast<char>(0x80 | (Unit & 0x3F)));
    } else if (Unit < 0x10000) {
      Out.push_back(static_cast<char>(0xE0 | Unit >> 12));
      Out.push_back(static_cast<char>(0x80 | ((Unit >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (Unit & 0x3F)));
    } else {
      Out.push_back(static_cast<char>(0xF0 | Unit >> 18));
      Out.push_back(static_cast<char>(0x80 | ((Unit >> 12) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | ((Unit >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (Unit & 0x3F)));
    }
  }
  return Out;
}

std::string Hex(uint64_t Value) {
  std::ostringstream Text;
  Text << "0x" << std::hex << std::uppercase << Value;
  return Text.str();
}

std::string GuidText(const EFI_GUID &Guid) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Guid.Data1,
                Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

bool SameLanguage(const std::string &A, const char *B) {
  return A.size() == std::strlen(B) &&
         std::equal(A.begin(), A.end(), B, [](char X, char Y) { return std::tolower(X) == std::tolower(Y); });
}

// ---- the exported lists ------------------------------------------------------------------

std::vector<uint8_t> Export(EFI_HII_HANDLE Handle) {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  std::vector<uint8_t> List(Size);
  const EFI_STATUS Status = HiiDatabase->ExportPackageLists(
      HiiDatabase, Handle, &Size, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()));
  if (EFI_ERROR(Status)) return {};
  List.resize(Size);
  return List;
}

uint32_t Le(const std::vector<uint8_t> &Bytes, std::size_t At, unsigned Width) {
  uint32_t Value = 0;
  for (unsigned Index = Width; Index > 0; --Index) Value = (Value << 8) | Bytes[At + Index - 1];
  return Value;
}

// The list without its device-path package. That package names the device on
// the machine the list was exported from; the simulated card driver's handle
// carries the simulated function's path, which the HII database then records
// (the lists were checked whole before, so the walk needs no bounds of its own
// beyond the list's).
std::vector<uint8_t> WithoutDevicePath(const std::vector<uint8_t> &List) {
  std::vector<uint8_t> Out(List.begin(), List.begin() + sizeof(EFI_HII_PACKAGE_LIST_HEADER));
  for (std::size_t At = sizeof(EFI_HII_PACKAGE_LIST_HEADER); At + 4 <= List.size();) {
    const std::size_t Length = Le(List, At, 3);
    if (Length < 4 || Length > List.size() - At) break;
    if (List[At + 3] != EFI_HII_PACKAGE_DEVICE_PATH)
      Out.insert(Out.end(), List.begin() + At, List.begin() + At + Length);
    At += Length;
  }
  const uint32_t Size = static_cast<uint32_t>(Out.size());
  std::memcpy(Out.data() + 16, &Size, sizeof(Size));
  return Out;
}

// ---- the machine ----------------------------------------------------------------------------

struct PublishedCard {
  std::size_t Card;
  EFI_HII_HANDLE Handle;
};

// One simulated function per location; cards at one location share it.
sim::PciFunction &FunctionFor(const CardFile &Card, std::map<std::string, sim::PciFunction *> &Functions) {
  const std::string Key = LocationText(Card.Location);
  if (auto Found = Functions.find(Key); Found != Functions.end()) return *Found->second;
  sim::PciFunction &Pci = sim::AddPciFunction(Card.Vendor, Card.Device, Card.Location.Bus,
                                              Card.Location.Device, Card.Location.Function);
  Pci.Location.Segment = Card.Location.Segment;
  // The simulated root bridge's UID carries the bus; functions that differ
  // only in segment (or in bus bits above 32) would share a path, and the
  // driver would find one function for both. The path is patched in place
  // (the installed interface points at these bytes) to a UID of its own.
  constexpr std::size_t RootUidAt = 8;
  for (const auto &[Other, Earlier] : Functions)
    if (Earlier->DevicePath == Pci.DevicePath) {
      const uint32_t Uid = 0x80000000u | static_cast<uint32_t>(Functions.size());
      std::memcpy(Pci.DevicePath.data() + RootUidAt, &Uid, sizeof(Uid));
      break;
    }
  Functions.emplace(Key, &Pci);
  return Pci;
}

// The EFI variable stores' variables as the sidecar gives them, replacing
// what publishing the card made of the stores' declarations: the driver reads
// a variable as it is, of whatever size, and a variable that is absent cannot
// be read at all.
void PutVariables(const CardFile &Card) {
  for (const CardFile::Variable &Variable : Card.Variables) {
    const StoreDeclaration &Store = Card.Facts.Stores[Variable.Store];
    std::u16string Name;
    for (char Byte : Store.Name) Name.push_back(static_cast<unsigned char>(Byte));
    EFI_GUID Guid;
    std::memcpy(&Guid, Store.Guid, sizeof(Guid));
    std::vector<uint8_t> Bytes = Variable.Bytes.value_or(std::vector<uint8_t>{});
    const EFI_STATUS Status = sim::SystemTable()->RuntimeServices->SetVariable(
        Name.c_str(), &Guid, Store.Attributes, Bytes.size(), Bytes.empty() ? nullptr : Bytes.data());
    if (EFI_ERROR(Status) && !(Bytes.empty() && Status == EFI_NOT_FOUND))
      throw InputError(
          Card.SidecarPath, Variable.Offset,
          "the simulated firmware refused variable \"" + Store.Name + "\": status " + Hex(Status));
  }
}

std::vector<PublishedCard> PublishCards(const Options &Given) {
  std::map<std::string, sim::PciFunction *> Functions;
  std::vector<PublishedCard> Published;
  for (std::size_t Index = 0; Index < Given.Cards.size(); ++Index) {
    const CardFile &Card = Given.Cards[Index];
    sim::PciFunction &Pci = FunctionFor(Card, Functions);
    try {
      std::vector<sim::StoreContents> Initial;
      for (const auto &[Name, Bytes] : Card.StoreContents) Initial.push_back({Name, Bytes});
      sim::CardDriver &Driver = sim::PublishCard(Pci, WithoutDevicePath(Card.List), Initial);
      Published.push_back({Index, Driver.HiiHandle});
    } catch (const std::exception &Refused) {
      throw InputError(Card.ListPath, 0,
                       std::string("the simulated firmware refused the list: ") + Refused.what());
    }
  }
  for (const CardFile &Card : Given.Cards) PutVariables(Card);
  return Published;
}

// The distinct pairs of the cards, in the order they first appear.
std::vector<std::pair<uint16_t, uint16_t>> CardPairs(const Options &Given) {
  std::vector<std::pair<uint16_t, uint16_t>> Pairs;
  for (const CardFile &Card : Given.Cards)
    if (std::find(Pairs.begin(), Pairs.end(), std::make_pair(Card.Vendor, Card.Device)) == Pairs.end())
      Pairs.emplace_back(Card.Vendor, Card.Device);
  return Pairs;
}

// TLX_ADDONCARD_PCI_VAR holding the cards' pairs, as an administrator would
// have set it before the boot.
void StoreSupportedList(const std::vector<std::pair<uint16_t, uint16_t>> &Pairs) {
  ADDONCARD_PCI_ID_LIST Record = {};
  for (std::size_t Index = 0; Index < Pairs.size() && Index < ADDONCARD_MAX_PCI_ID_PAIRS; ++Index) {
    Record.VendorId[Index] = Pairs[Index].first;
    Record.DeviceId[Index] = Pairs[Index].second;
  }
  Record.PairCount = static_cast<UINT8>(std::min<std::size_t>(Pairs.size(), ADDONCARD_MAX_PCI_ID_PAIRS));
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&Record);
  sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                     std::vector<uint8_t>(Bytes, Bytes + sizeof(Record)));
}

// What the scan makes of a card's list, worked out from the same facts the
// scan reads: which lists get a page, in which slot, under which title. It is
// held against what the driver built, so that each page is told with certainty
// which card it shows.
struct Expectation {
  bool Page = false;
  std::string Reason;  // when no page
  std::u16string Title;
};

Expectation Expect(const CardFile &Card, EFI_HII_HANDLE Handle, std::size_t PagesBefore) {
  Expectation Result;
  if (!Card.Facts.FormSetFirst) {
    Result.Reason = "its first package is not a forms package that starts with a form set";
    return Result;
  }
  const std::vector<uint8_t> List = Export(Handle);
  constexpr std::size_t TitleAt = 42;  // FormSetTitle of the form-set opcode of the first package
  CHAR16 *Title = List.size() >= TitleAt + 2
                      ? GetStringInBestLanguage(Handle, static_cast<EFI_STRING_ID>(Le(List, TitleAt, 2)))
                      : nullptr;
  if (Title != nullptr) Result.Title = Title;
  PoolFree(Title);
  if (Title == nullptr) {
    Result.Reason = "its form set has no title in the platform's language";
  } else if (Result.Title.compare(0, 4, u"MAC:") == 0) {
    Result.Reason = "its form set's title begins with \"MAC:\"";
  } else if (PagesBefore >= CARD_PAGE_SLOTS) {
    Result.Reason = "all " + std::to_string(CARD_PAGE_SLOTS) + " card pages were used by the lists before it";
  } else {
    Result.Page = true;
  }
  return Result;
}

// Loads the AddOnCard driver as firmware loads it (its entry point) and has
// it scan: another component installs the scan trigger protocol.
void BootDriverAndScan() {
  const EFI_STATUS Started = AddOnCardEntry(nullptr, sim::SystemTable());
  if (EFI_ERROR(Started)) throw RunError("the driver's entry point failed with status " + Hex(Started));
  EFI_HANDLE Trigger = nullptr;
  const EFI_STATUS Installed = sim::SystemTable()->BootServices->InstallProtocolInterface(
      &Trigger, &CARD_FORMS_NOTIFY_GUID, EFI_NATIVE_INTERFACE, nullptr);
  if (EFI_ERROR(Installed))
    throw RunError("the scan trigger could not be installed: status " + Hex(Installed));
}

// ---- reading back ----------------------------------------------------------------------------

// The strings of the driver's export, by language and id, read once: a page
// of a thousand questions would otherwise cost thousands of lookups that
// each walk the whole string package.
class StringTable {
 public:
  explicit StringTable(const std::vector<uint8_t> &List) {
    for (std::size_t At = sizeof(EFI_HII_PACKAGE_LIST_HEADER); At + 4 <= List.size();) {
      const std::size_t Length = Le(List, At, 3);
      if (Length < 4 || Length > List.size() - At) break;
      if (List[At + 3] == EFI_HII_PACKAGE_STRINGS)
        Read(std::vector<uint8_t>(List.begin() + At, List.begin() + At + Length));
      At += Length;
    }
  }

  // UTF-8 text of Id in Language; empty when there is none.
  std::string Text(const char *Language, uint16_t Id) const {
    for (const auto &[Tag, Strings] : Languages_)
      if (SameLanguage(Tag, Language)) {
        const auto Found = Strings.find(Id);
        return Found == Strings.end() ? "" : Utf8(Found->second.c_str(), Found->second.size());
      }
    return "";
  }

 private:
  // One string package, walked within its own length; a block that does not
  // fit ends the walk (the list was exported by the firmware, but nothing is
  // read past it either way).
  void Read(const std::vector<uint8_t> &Package) {
    constexpr std::size_t Fixed = sizeof(EFI_HII_STRING_PACKAGE_HDR);
    if (Package.size() <= Fixed) return;
    const std::size_t HeaderSize = Le(Package, 4, 4), InfoOffset = Le(Package, 8, 4);
    if (HeaderSize > Package.size() || InfoOffset > Package.size()) return;
    std::string Tag;
    for (std::size_t At = Fixed; At < HeaderSize && Package[At] != 0; ++At)
      Tag.push_back(static_cast<char>(Package[At]));
    std::map<uint16_t, std::u16string> &Strings = Languages_[Tag];
    uint32_t Id = 1;
    for (std::size_t At = InfoOffset; At < Package.size() && Id <= 0xFFFF;) {
      const uint8_t Type = Package[At];
      auto Fits = [&](std::size_t Bytes) { return Package.size() - At >= Bytes; };
      if (Type == EFI_HII_SIBT_END) return;
      if (Type == EFI_HII_SIBT_SKIP1 || Type == EFI_HII_SIBT_SKIP2) {
        const unsigned Bytes = Type == EFI_HII_SIBT_SKIP1 ? 2 : 3;
        if (!Fits(Bytes)) return;
        Id += Le(Package, At + 1, Bytes - 1);
        At += Bytes;
      } else if (Type == EFI_HII_SIBT_DUPLICATE) {
        if (!Fits(3)) return;
        Strings[static_cast<uint16_t>(Id++)] = Strings[static_cast<uint16_t>(Le(Package, At + 1, 2))];
        At += 3;
      } else if (Type == EFI_HII_SIBT_EXT1 || Type == EFI_HII_SIBT_EXT2 || Type == EFI_HII_SIBT_EXT4) {
        const unsigned Header = Type == EFI_HII_SIBT_EXT1 ? 3 : Type == EFI_HII_SIBT_EXT2 ? 4 : 6;
        if (!Fits(Header)) return;
        const std::size_t Length = Le(Package, At + 2, Header - 2);
        if (Length < Header || !Fits(Length)) return;
        At += Length;
      } else if (Type >= EFI_HII_SIBT_STRING_SCSU && Type <= EFI_HII_SIBT_STRINGS_UCS2_FONT) {
        const bool Font = Type == EFI_HII_SIBT_STRING_SCSU_FONT || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
                          Type == EFI_HII_SIBT_STRING_UCS2_FONT || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
        const bool Several = Type == EFI_HII_SIBT_STRINGS_SCSU || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
                             Type == EFI_HII_SIBT_STRINGS_UCS2 || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
        const unsigned Unit = Type >= EFI_HII_SIBT_STRING_UCS2 ? 2 : 1;
        std::size_t Text = At + 1 + (Font ? 1 : 0) + (Several ? 2 : 0);
        if (Text > Package.size()) return;
        const std::size_t Count = Several ? Le(Package, Text - 2, 2) : 1;
        for (std::size_t String = 0; String < Count; ++String) {
          std::u16string Value;
          for (;;) {
            if (Package.size() - Text < Unit) return;
            const char16_t Character =
                static_cast<char16_t>(Unit == 2 ? Le(Package, Text, 2) : Package[Text]);
            Text += Unit;
            if (Character == 0) break;
            Value.push_back(Character);
          }
          if (Id <= 0xFFFF) Strings[static_cast<uint16_t>(Id)] = std::move(Value);
          ++Id;
        }
        At = Text;
      } else {
        return;
      }
    }
  }

  std::map<std::string, std::map<uint16_t, std::u16string>> Languages_;
};

struct DriverStoreBytes {
  uint16_t Id;
  std::string Name;
  EFI_GUID Guid;
  std::vector<uint8_t> Bytes;
};

// The driver's form set, walked back from its export into forms and statements.
class FormReader {
 public:
  FormReader(const StringTable &Strings, const std::vector<uint8_t> &Package)
      : Strings_(Strings), Package_(Package) {}

  std::vector<FormView> Read(std::vector<DriverStoreBytes> *Stores);

 private:
  enum class Scope { Other, Form, Suppress, Question };

  uint8_t Byte(std::size_t At) const { return At < Limit_ ? Package_[At] : 0; }
  uint16_t Word(std::size_t At) const { return static_cast<uint16_t>(Byte(At) | Byte(At + 1) << 8); }
  uint64_t Value(std::size_t At, unsigned Width) const {
    uint64_t Result = 0;
    for (unsigned Index = Width; Index > 0; --Index) Result = Result << 8 | Byte(At + Index - 1);
    return Result;
  }
  std::string Text(uint16_t Id) const { return Strings_.Text(DISPLAY_LANGUAGE, Id); }
  std::string Keyword(uint16_t Id) const { return Strings_.Text(KEYWORD_LANGUAGE, Id); }

  void Store(std::size_t At, uint8_t Length);
  StatementView Question(std::size_t At, StatementKind Kind);
  void CurrentValue(StatementView &Statement) const;
  bool Condition(std::size_t &At, std::size_t End);
  bool Hidden() const;

  const StringTable &Strings_;
  const std::vector<uint8_t> &Package_;
  std::size_t Limit_ = 0;
  std::vector<DriverStoreBytes> Stores_;
  std::map<uint16_t, uint64_t> Values_;  // question id -> current value, for conditions
  std::vector<std::pair<Scope, bool>> Scopes_;
};

void FormReader::Store(std::size_t At, uint8_t Length) {
  DriverStoreBytes Store;
  Store.Id = Word(At + 2);
  std::memcpy(&Store.Guid, Package_.data() + At + 4, sizeof(EFI_GUID));
  for (std::size_t Name = At + 26; Name < At + Length && Byte(Name) != 0; ++Name)
    Store.Name.push_back(static_cast<char>(Byte(Name)));
  const std::u16string Wide(Store.Name.begin(), Store.Name.end());
  if (auto Found = sim::FindVariable(Wide, Store.Guid)) Store.Bytes = Found->Data;
  Stores_.push_back(std::move(Store));
}

void FormReader::CurrentValue(StatementView &Statement) const {
  const auto Found = std::find_if(Stores_.begin(), Stores_.end(),
                                  [&](const DriverStoreBytes &S) { return S.Id == Statement.VarStoreId; });
  if (Found == Stores_.end()) return;
  const std::vector<uint8_t> &Bytes = Found->Bytes;
  if (Statement.Kind == StatementKind::String) {
    std::u16string Text;
    for (std::size_t At = Statement.VarOffset; At + 1 < Bytes.size() && Text.size() < Statement.MaxSize;
         At += 2) {
      const char16_t Unit = static_cast<char16_t>(Bytes[At] | Bytes[At + 1] << 8);
      if (Unit == 0) break;
      Text.push_back(Unit);
    }
    Statement.StringValue = Utf8(Text.c_str(), Text.size());
    return;
  }
  const unsigned Width = Statement.ValueWidth();
  if (Statement.VarOffset + Width > Bytes.size()) return;
  uint64_t Value = 0;
  for (unsigned Index = Width; Index > 0; --Index)
    Value = Value << 8 | Bytes[Statement.VarOffset + Index - 1];
  Statement.Value = Value;
}

StatementView FormReader::Question(std::size_t At, StatementKind Kind) {
  StatementView Statement;
  Statement.Kind = Kind;
  const uint16_t PromptId = Word(At + 2);
  Statement.Prompt = Text(PromptId);
  Statement.Help = Text(Word(At + 4));
  Statement.QuestionId = Word(At + 6);
  Statement.VarStoreId = Word(At + 8);
  Statement.VarOffset = Word(At + 10);
  Statement.QuestionFlags = Byte(At + 12);
  Statement.Keyword = Keyword(PromptId);
  if (Kind == StatementKind::OneOf || Kind == StatementKind::Numeric) {
    Statement.NumericFlags = Byte(At + 13);
    const unsigned Width = Statement.ValueWidth();
    Statement.Minimum = Value(At + 14, Width);
    Statement.Maximum = Value(At + 14 + Width, Width);
    Statement.Step = Value(At + 14 + 2 * Width, Width);
  } else if (Kind == StatementKind::String) {
    Statement.MinSize = Byte(At + 13);
    Statement.MaxSize = Byte(At + 14);
  } else if (Kind == StatementKind::Goto) {
    Statement.TargetForm = Word(At + 13);
  }
  Statement.Hidden = Hidden();
  return Statement;
}

// The opcodes of IFR expressions: operands and operators.
bool IsExpression(uint8_t Code) {
  return (Code >= EFI_IFR_EQ_ID_VAL_OP && Code <= EFI_IFR_NOT_OP) ||
         (Code >= EFI_IFR_TO_LOWER_OP && Code <= EFI_IFR_MAP_OP) ||
         (Code >= EFI_IFR_MATCH_OP && Code <= EFI_IFR_SPAN_OP) || Code == EFI_IFR_CATENATE_OP ||
         Code == EFI_IFR_SECURITY_OP || Code == EFI_IFR_MATCH2_OP;
}

// Evaluates the condition of a suppress-if from At (its first expression
// opcode) over the current values, the way the browser does for the opcodes
// the driver's form set uses; At is left on the first opcode after it. A
// condition with anything else counts as false: the statement is shown.
bool FormReader::Condition(std::size_t &At, std::size_t End) {
  std::vector<bool> Stack;
  bool Understood = true;
  while (At + 2 <= End) {
    const uint8_t Code = Byte(At), Length = Byte(At + 1) & IFR_LENGTH_MASK;
    if (Length < 2 || Length > End - At) break;
    if (Code == EFI_IFR_EQ_ID_VAL_OP) {
      Stack.push_back(Values_[Word(At + 2)] == Word(At + 4));
    } else if (Code == EFI_IFR_EQ_ID_VAL_LIST_OP) {
      const uint64_t Current = Values_[Word(At + 2)];
      bool Any = false;
      for (unsigned Index = 0; Index < Word(At + 4) && At + 8 + 2 * Index <= At + Length; ++Index)
        Any = Any || Current == Word(At + 6 + 2 * Index);
      Stack.push_back(Any);
    } else if (Code == EFI_IFR_TRUE_OP || Code == EFI_IFR_FALSE_OP) {
      Stack.push_back(Code == EFI_IFR_TRUE_OP);
    } else if (Code == EFI_IFR_NOT_OP && !Stack.empty()) {
      Stack.back() = !Stack.back();
    } else if ((Code == EFI_IFR_AND_OP || Code == EFI_IFR_OR_OP) && Stack.size() >= 2) {
      const bool Right = Stack.back();
      Stack.pop_back();
      Stack.back() = Code == EFI_IFR_AND_OP ? Stack.back() && Right : Stack.back() || Right;
    } else if (IsExpression(Code)) {
      Understood = false;  // another expression opcode
    } else {
      break;
    }
    At += Length;
  }
  return Understood && Stack.size() == 1 && Stack.back();
}

bool FormReader::Hidden() const {
  return std::any_of(Scopes_.begin(), Scopes_.end(),
                     [](const auto &Open) { return Open.first == Scope::Suppress && Open.second; });
}

std::vector<FormView> FormReader::Read(std::vector<DriverStoreBytes> *Stores) {
  std::vector<FormView> Forms;
  Limit_ = std::min<std::size_t>(Package_.size(), Le(Package_, 0, 3));
  // The one-of or numeric whose scope is open: its options and defaults follow.
  std::optional<std::pair<std::size_t, std::size_t>> Open;
  auto OpenQuestion = [&]() -> StatementView * {
    return Open ? &Forms[Open->first].Statements[Open->second] : nullptr;
  };
  for (std::size_t At = 4; At + 2 <= Limit_;) {
    const uint8_t Code = Byte(At), Length = Byte(At + 1) & IFR_LENGTH_MASK;
    const bool Opens = (Byte(At + 1) & IFR_SCOPE_BIT) != 0;
    if (Length < 2 || Length > Limit_ - At)
      throw RunError("the driver's form set is malformed at byte " + std::to_string(At));
    Scope Kind = Scope::Other;
    bool Condition = false;
    std::size_t Next = At + Length;
    FormView *Form = Forms.empty() ? nullptr : &Forms.back();
    switch (Code) {
      case EFI_IFR_VARSTORE_EFI_OP:
        if (Length >= 26) Store(At, Length);
        break;
      case EFI_IFR_FORM_OP:
        Forms.push_back({Word(At + 2), Text(Word(At + 4)), {}});
        Kind = Scope::Form;
        break;
      case EFI_IFR_SUPPRESS_IF_OP:
        Kind = Scope::Suppress;
        Condition = this->Condition(Next, Limit_);
        break;
      case EFI_IFR_ONE_OF_OP:
      case EFI_IFR_NUMERIC_OP:
      case EFI_IFR_STRING_OP:
      case EFI_IFR_REF_OP: {
        if (Form == nullptr) break;
        const StatementKind Statement = Code == EFI_IFR_ONE_OF_OP    ? StatementKind::OneOf
                                        : Code == EFI_IFR_NUMERIC_OP ? StatementKind::Numeric
                                        : Code == EFI_IFR_STRING_OP  ? StatementKind::String
                                                                     : StatementKind::Goto;
        Form->Statements.push_back(Question(At, Statement));
        CurrentValue(Form->Statements.back());
        if (Form->Statements.back().Value)
          Values_[Form->Statements.back().QuestionId] = *Form->Statements.back().Value;
        if ((Code == EFI_IFR_ONE_OF_OP || Code == EFI_IFR_NUMERIC_OP) && Opens) {
          Kind = Scope::Question;
          Open = std::make_pair(Forms.size() - 1, Form->Statements.size() - 1);
        }
        break;
      }
      case EFI_IFR_ONE_OF_OPTION_OP:
        if (StatementView *Question = OpenQuestion();
            Question != nullptr && Question->Kind == StatementKind::OneOf) {
          const unsigned Width = 1u << (Byte(At + 5) & 0x03);
          Question->Options.push_back({Text(Word(At + 2)), Value(At + 6, Width), Byte(At + 4)});
        }
        break;
      case EFI_IFR_DEFAULT_OP:  // the standard default store's value
        if (StatementView *Question = OpenQuestion(); Question != nullptr && Word(At + 2) == 0)
          Question->Default = Value(At + 5, 1u << (Byte(At + 4) & 0x03));
        break;
      case EFI_IFR_TEXT_OP:
        if (Form != nullptr) {
          StatementView Statement;
          Statement.Kind = StatementKind::Text;
          Statement.Prompt = Text(Word(At + 2));
          Statement.Help = Text(Word(At + 4));
          Statement.TextTwo = Text(Word(At + 6));
          Statement.Keyword = Keyword(Word(At + 2));
          Statement.Hidden = Hidden();
          Form->Statements.push_back(Statement);
        }
        break;
      case EFI_IFR_SUBTITLE_OP:
        if (Form != nullptr) {
          StatementView Statement;
          Statement.Kind = StatementKind::Subtitle;
          Statement.Prompt = Text(Word(At + 2));
          Statement.Hidden = Hidden();
          Form->Statements.push_back(Statement);
        }
        break;
      default:
        break;
    }
    if (Code == EFI_IFR_END_OP) {
      if (!Scopes_.empty()) {
        if (Scopes_.back().first == Scope::Question) Open.reset();
        Scopes_.pop_back();
      }
    } else if (Opens) {
      Scopes_.emplace_back(Kind, Condition);
    }
    At = Next;
  }
  *Stores = std::move(Stores_);
  return Forms;
}

// The forms package of the driver's export that holds its form set.
std::vector<uint8_t> DriverFormsPackage(const std::vector<uint8_t> &List) {
  for (std::size_t At = sizeof(EFI_HII_PACKAGE_LIST_HEADER); At + 4 <= List.size();) {
    const std::size_t Length = Le(List, At, 3);
    if (Length < 4 || Length > List.size() - At) break;
    if (List[At + 3] == EFI_HII_PACKAGE_FORMS && Length >= 22 && List[At + 4] == EFI_IFR_FORM_SET_OP &&
        std::memcmp(List.data() + At + 6, &ADDONCARD_FORMSET_GUID, sizeof(EFI_GUID)) == 0)
      return std::vector<uint8_t>(List.begin() + At, List.begin() + At + Length);
    At += Length;
  }
  throw RunError("the driver's exported package list holds no form set of the driver");
}

std::string KeywordText(const CHAR16 (&Keyword)[MIRRORED_KEYWORD_CHARS]) {
  return Utf8(Keyword, MIRRORED_KEYWORD_CHARS);
}

// What each mirrored keyword stands for, from the driver's mirrored question
// table and its registry of card stores.
std::vector<std::pair<std::string, MirroredTarget>> MirroredTargets(
    const std::vector<PublishedCard> &Published) {
  std::vector<std::pair<std::string, MirroredTarget>> Targets;
  for (std::size_t Index = 0; Index < MirroredQuestionCount && Index < MIRRORED_QUESTION_LIMIT; ++Index) {
    const MIRRORED_QUESTION &Record = MirroredQuestionTable[Index];
    const auto Card = std::find_if(Published.begin(), Published.end(), [&](const PublishedCard &Each) {
      return Each.Handle == Record.CardHiiHandle;
    });
    if (Card == Published.end()) continue;
    MirroredTarget Target;
    Target.Card = Card->Card;
    Target.CardVarStoreId = Record.CardVarStoreId;
    if (const VARSTORE_RECORD *Store = FindVarStore(Record.CardHiiHandle, Record.CardVarStoreId)) {
      Target.CardStoreName = Utf8(Store->Name, VARSTORE_NAME_CHARS);
      Target.CardStoreGuid = GuidText(Store->Guid);
      Target.CardStoreIsEfi = Store->IsEfi != 0;
    }
    Target.CardVarOffset = Record.CardVarOffset;
    Target.CardWidth = Record.CardWidth;
    Target.OobSlot = Record.OobSlot;
    Target.BuildValue = Record.BuildValue;
    Target.CardReadOnly = (Record.ReadOnly & MIRRORED_CARD_READ_ONLY) != 0;
    Target.WideValue = (Record.ReadOnly & MIRRORED_WIDE_VALUE) != 0;
    Targets.emplace_back(KeywordText(Record.Keyword), Target);
  }
  return Targets;
}

// Which card each built page shows: the expected slot order, held against the
// page the driver really built (its title, and the cards its keywords name).
void AssignPages(const Options &Given, const std::vector<PublishedCard> &Published,
                 const std::vector<FormView> &Forms, Preview &Built) {
  struct SlotCard {
    std::size_t Card;
    std::string Title;
  };
  std::vector<SlotCard> Slots;
  for (const PublishedCard &Card : Published) {
    const Expectation Expected = Expect(Given.Cards[Card.Card], Card.Handle, Slots.size());
    if (Expected.Page)
      Slots.push_back({Card.Card, Utf8(Expected.Title.c_str())});
    else
      Built.Skipped.push_back({Card.Card, Expected.Reason});
  }
  for (const StatementView &Goto : Built.Main.Statements) {
    if (Goto.Kind != StatementKind::Goto) continue;
    const std::size_t Slot = Goto.TargetForm - FIRST_CARD_FORM;
    const auto Form = std::find_if(Forms.begin(), Forms.end(),
                                   [&](const FormView &F) { return F.FormId == Goto.TargetForm; });
    if (Slot >= Slots.size() || Form == Forms.end())
      throw RunError("the driver built card page " + std::to_string(Slot) +
                     ", which no card was expected to get");
    const SlotCard &Expected = Slots[Slot];
    if (Form->Title != Expected.Title)
      throw RunError("card page " + std::to_string(Slot) + " is titled \"" + Form->Title + "\", expected \"" +
                     Expected.Title + "\" of " + Given.Cards[Expected.Card].ListPath);
    for (const StatementView &Statement : Form->Statements) {
      const auto Target = std::find_if(Built.Targets.begin(), Built.Targets.end(), [&](const auto &Each) {
        return !Statement.Keyword.empty() && Each.first == Statement.Keyword;
      });
      if (Target != Built.Targets.end() && Target->second.Card != Expected.Card)
        throw RunError("card page " + std::to_string(Slot) + " holds questions of " +
                       Given.Cards[Target->second.Card].ListPath + ", expected " +
                       Given.Cards[Expected.Card].ListPath);
    }
    Built.Pages.push_back({Slot, Expected.Card, *Form});
  }
  std::sort(Built.Pages.begin(), Built.Pages.end(),
            [](const CardPage &A, const CardPage &B) { return A.Slot < B.Slot; });
  for (std::size_t Slot = 0; Slot < Slots.size(); ++Slot)
    if (std::none_of(Built.Pages.begin(), Built.Pages.end(),
                     [&](const CardPage &Page) { return Page.Slot == Slot; }))
      Built.Skipped.push_back(
          {Slots[Slot].Card, "the driver could not build its page (slot " + std::to_string(Slot) + ")"});
}

}  // namespace

Preview RunDriver(const Options &Given) {
  sim::PowerOn();
  ResetDriverState();
  const std::vector<PublishedCard> Published = PublishCards(Given);
  // Set before the driver loads, as an administrator would have set it.
  StoreSupportedList(CardPairs(Given));
  BootDriverAndScan();

  Preview Built;
  const std::vector<uint8_t> DriverList = Export(DriverHiiHandle);
  if (DriverList.empty()) throw RunError("the driver's package list could not be exported");
  const std::vector<uint8_t> Package = DriverFormsPackage(DriverList);
  std::vector<DriverStoreBytes> Stores;
  const StringTable Strings(DriverList);
  std::vector<FormView> Forms = FormReader(Strings, Package).Read(&Stores);
  for (const DriverStoreBytes &Store : Stores)
    Built.DriverStores.push_back({Store.Id, Store.Name, GuidText(Store.Guid)});
  Built.FormSetTitle = Strings.Text(DISPLAY_LANGUAGE, STR_FORMSET_TITLE);
  const auto Main = std::find_if(Forms.begin(), Forms.end(),
                                 [](const FormView &F) { return F.FormId == ADDONCARD_MAIN_FORM_ID; });
  if (Main == Forms.end()) throw RunError("the driver's form set has no main form");
  Built.Main = *Main;
  Built.Targets = MirroredTargets(Published);
  AssignPages(Given, Published, Forms, Built);
  std::stable_sort(Built.Skipped.begin(), Built.Skipped.end(),
                   [](const PassedOver &A, const PassedOver &B) { return A.Card < B.Card; });
  // The list the driver matched against: the variable as the driver left it.
  if (auto Stored = sim::FindVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID);
      Stored && Stored->Data.size() == sizeof(ADDONCARD_PCI_ID_LIST)) {
    ADDONCARD_PCI_ID_LIST Record;
    std::memcpy(&Record, Stored->Data.data(), sizeof(Record));
    const std::size_t Count = std::clamp<std::size_t>(Record.PairCount, 1, ADDONCARD_MAX_PCI_ID_PAIRS);
    for (std::size_t Index = 0; Index < Count; ++Index)
      Built.SupportedList.emplace_back(Record.VendorId[Index], Record.DeviceId[Index]);
  }
  return Built;
}

}  // namespace preview

// The keyword registry of `addoncard preview --json` over what AddOnCardExport.efi
// wrote in OVMF, held against what AddOnCard.efi built in that same boot
// (qemu/run-agree-test.sh): the driver's own package list (driver.hpk) and the
// keyword handler's GetData answer for every keyword (keywords.txt). ctest runs
// this as agree_ovmf_registry after agree_ovmf, with ADDONCARD_AGREE_DIR naming
// the directory the boot wrote. The driver's list is read here on its own,
// independently of the preview's and the driver's readers; every disagreement
// is listed, keyword by keyword.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qemu/road/road_expect.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

constexpr std::uint8_t PACKAGE_FORMS = 0x02;
constexpr std::uint8_t PACKAGE_STRINGS = 0x04;
constexpr std::uint8_t PACKAGE_END = 0xDF;
constexpr std::size_t LIST_HEADER_SIZE = 20;
constexpr std::size_t STRING_HEADER_FIXED = 46;  // up to the language name

constexpr std::uint8_t FORM_OP = 0x01, ONE_OF_OP = 0x05, NUMERIC_OP = 0x07, ONE_OF_OPTION_OP = 0x09,
                       REF_OP = 0x0F, END_OP = 0x29;
constexpr std::uint8_t READ_ONLY_FLAG = 0x01;
// Opcodes that carry a question header, and so may name a keyword: one-of,
// checkbox, numeric, password, action, ref, date, time, string, ordered list.
const std::set<std::uint8_t> QUESTION_OPS = {0x05, 0x06, 0x07, 0x08, 0x0C, 0x0F, 0x1A, 0x1B, 0x1C, 0x23};

fs::path AgreeDirectory() {
  const char *Dir = std::getenv("ADDONCARD_AGREE_DIR");
  return Dir == nullptr ? fs::path() : fs::path(Dir);
}

Bytes ReadFile(const fs::path &Path) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) throw std::runtime_error("cannot read " + Path.string());
  return Bytes(std::istreambuf_iterator<char>(File), {});
}

std::uint64_t Le(const Bytes &Data, std::size_t At, std::size_t Width) {
  if (At + Width > Data.size())
    throw std::runtime_error("driver.hpk: a field past the end at " + std::to_string(At));
  std::uint64_t Value = 0;
  for (std::size_t Index = Width; Index > 0; --Index) Value = (Value << 8) | Data[At + Index - 1];
  return Value;
}

// ---- the driver's package list, read on its own ---------------------------------------------

// Strings of one language by id, from the UCS-2 and SCSU blocks (the blocks a
// string package of a driver holds; an unknown block stops the read loudly).
std::map<std::uint16_t, std::string> ReadStrings(const Bytes &List, std::size_t Package, std::size_t End,
                                                 std::string *Language) {
  std::map<std::uint16_t, std::string> Strings;
  const std::size_t InfoOffset = Le(List, Package + 8, 4);
  Language->clear();
  for (std::size_t At = Package + STRING_HEADER_FIXED; At < End && List[At] != 0; ++At)
    Language->push_back(static_cast<char>(List[At]));
  std::uint16_t Id = 1;
  auto Utf8 = [](std::uint32_t Unit, std::string &Out) {
    if (Unit < 0x80) {
      Out.push_back(static_cast<char>(Unit));
    } else if (Unit < 0x800) {
      Out.push_back(static_cast<char>(0xC0 | Unit >> 6));
      Out.push_back(static_cast<char>(0x80 | (Unit & 0x3F)));
    } else {
      Out.push_back(static_cast<char>(0xE0 | Unit >> 12));
      Out.push_back(static_cast<char>(0x80 | ((Unit >> 6) & 0x3F)));
      Out.push_back(static_cast<char>(0x80 | (Unit & 0x3F)));
    }
  };
  for (std::size_t At = Package + InfoOffset; At < End;) {
    const std::uint8_t Type = List[At];
    if (Type == 0x00) return Strings;  // END
    const bool Font = Type == 0x11 || Type == 0x13 || Type == 0x15 || Type == 0x17;
    if (Type >= 0x10 && Type <= 0x17) {
      const bool Ucs2 = Type >= 0x14;
      const bool Several = Type == 0x12 || Type == 0x13 || Type == 0x16 || Type == 0x17;
      std::size_t Text = At + 1 + (Font ? 1 : 0);
      std::size_t Count = 1;
      if (Several) {
        Count = Le(List, Text, 2);
        Text += 2;
      }
      for (std::size_t Each = 0; Each < Count; ++Each) {
        std::string Out;
        for (;;) {
          const std::uint32_t Unit = Ucs2 ? static_cast<std::uint32_t>(Le(List, Text, 2)) : List.at(Text);
          Text += Ucs2 ? 2 : 1;
          if (Unit == 0) break;
          Utf8(Unit, Out);
        }
        Strings[Id++] = Out;
      }
      At = Text;
    } else if (Type == 0x20) {  // DUPLICATE
      Strings[Id] = Strings[static_cast<std::uint16_t>(Le(List, At + 1, 2))];
      ++Id;
      At += 3;
    } else if (Type == 0x21) {  // SKIP2
      Id = static_cast<std::uint16_t>(Id + Le(List, At + 1, 2));
      At += 3;
    } else if (Type == 0x22) {  // SKIP1
      Id = static_cast<std::uint16_t>(Id + List.at(At + 1));
      At += 2;
    } else if (Type == 0x30 || Type == 0x31 || Type == 0x32) {  // EXT1, EXT2, EXT4
      const std::size_t Width = Type == 0x30 ? 1 : Type == 0x31 ? 2 : 4;
      const std::size_t Length = Le(List, At + 2, Width);
      if (Length == 0) throw std::runtime_error("driver.hpk: an extended string block of length 0");
      At += Length;
    } else {
      throw std::runtime_error("driver.hpk: string block type " + std::to_string(Type) + " at " +
                               std::to_string(At) + ", which this reader does not know");
    }
  }
  throw std::runtime_error("driver.hpk: a string package without an END block");
}

struct Option {
  std::uint64_t Value;
  std::uint16_t Text;
};

struct Question {
  std::uint8_t Op = 0;
  std::uint16_t Form = 0;
  std::uint16_t Prompt = 0, Help = 0;
  std::uint8_t Flags = 0;
  std::uint64_t Minimum = 0, Maximum = 0, Step = 0;
  std::vector<Option> Options;
};

struct DriverList {
  std::map<std::string, std::map<std::uint16_t, std::string>> Strings;  // by language
  std::map<std::uint16_t, std::uint16_t> FormTitles;                    // form id -> title string
  std::vector<std::uint16_t> MainGotos;                                 // targets of the main form's REFs
  std::vector<Question> Questions;

  std::string Text(const std::string &Language, std::uint16_t Id) const {
    const auto Table = Strings.find(Language);
    if (Table == Strings.end()) return "<no " + Language + " strings>";
    const auto Found = Table->second.find(Id);
    return Found == Table->second.end() ? "<no string " + std::to_string(Id) + ">" : Found->second;
  }
  std::optional<std::string> Keyword(std::uint16_t Prompt) const {
    const auto Table = Strings.find("x-UEFI-QZV");
    if (Table == Strings.end()) return std::nullopt;
    const auto Found = Table->second.find(Prompt);
    if (Found == Table->second.end() || Found->second.empty()) return std::nullopt;
    return Found->second;
  }
};

void ReadForms(const Bytes &List, std::size_t Package, std::size_t End, DriverList *Driver) {
  std::vector<std::uint8_t> Scopes;  // opcode of each open scope
  std::uint16_t Form = 0;
  std::optional<std::size_t> OpenOneOf;  // index of the one-of whose options come
  for (std::size_t At = Package + 4; At < End;) {
    const std::uint8_t Op = List[At];
    const std::size_t Length = List.at(At + 1) & 0x7F;
    const bool Scope = (List[At + 1] & 0x80) != 0;
    if (Length < 2 || At + Length > End)
      throw std::runtime_error("driver.hpk: a malformed opcode at " + std::to_string(At));
    if (Op == FORM_OP) {
      Form = static_cast<std::uint16_t>(Le(List, At + 2, 2));
      Driver->FormTitles[Form] = static_cast<std::uint16_t>(Le(List, At + 4, 2));
    } else if (QUESTION_OPS.count(Op) != 0) {
      Question Each;
      Each.Op = Op;
      Each.Form = Form;
      Each.Prompt = static_cast<std::uint16_t>(Le(List, At + 2, 2));
      Each.Help = static_cast<std::uint16_t>(Le(List, At + 4, 2));
      Each.Flags = List.at(At + 12);
      if (Op == ONE_OF_OP || Op == NUMERIC_OP) {
        const std::size_t Width = std::size_t{1} << (List.at(At + 13) & 0x03);
        Each.Minimum = Le(List, At + 14, Width);
        Each.Maximum = Le(List, At + 14 + Width, Width);
        Each.Step = Le(List, At + 14 + 2 * Width, Width);
      }
      Driver->Questions.push_back(Each);
      if (Op == ONE_OF_OP && Scope) OpenOneOf = Driver->Questions.size() - 1;
      if (Op == REF_OP && Form == MAIN_FORM_ID)
        Driver->MainGotos.push_back(static_cast<std::uint16_t>(Le(List, At + 13, 2)));
    } else if (Op == ONE_OF_OPTION_OP && OpenOneOf && !Scopes.empty() && Scopes.back() == ONE_OF_OP) {
      static constexpr std::size_t Widths[] = {1, 2, 4, 8, 1};
      const std::uint8_t Type = List.at(At + 5);
      Driver->Questions[*OpenOneOf].Options.push_back(
          {Type < 5 ? Le(List, At + 6, Widths[Type]) : 0, static_cast<std::uint16_t>(Le(List, At + 2, 2))});
    }
    if (Op == END_OP) {
      if (Scopes.empty())
        throw std::runtime_error("driver.hpk: an END with no scope open at " + std::to_string(At));
      if (Scopes.back() == ONE_OF_OP) OpenOneOf.reset();
      Scopes.pop_back();
    } else if (Scope) {
      Scopes.push_back(Op);
    }
    At += Length;
  }
}

DriverList ReadDriverList(const Bytes &List) {
  if (List.size() < LIST_HEADER_SIZE || Le(List, 16, 4) != List.size())
    throw std::runtime_error("driver.hpk: the header's length is not the file's");
  DriverList Driver;
  for (std::size_t At = LIST_HEADER_SIZE; At < List.size();) {
    const std::size_t Length = Le(List, At, 3);
    const std::uint8_t Type = List.at(At + 3);
    if (Length < 4 || At + Length > List.size()) throw std::runtime_error("driver.hpk: a malformed package");
    if (Type == PACKAGE_END) break;
    if (Type == PACKAGE_FORMS) ReadForms(List, At, At + Length, &Driver);
    if (Type == PACKAGE_STRINGS) {
      std::string Language;
      auto Strings = ReadStrings(List, At, At + Length, &Language);
      Driver.Strings[Language] = std::move(Strings);
    }
    At += Length;
  }
  return Driver;
}

// ---- GetData answers ------------------------------------------------------------------------

struct Reading {
  std::uint64_t Status = 0;
  std::string Answer;
  std::optional<std::uint64_t> Value;
  bool ReadOnly = false;
};

std::map<std::string, Reading> ReadKeywords(const fs::path &Path, std::vector<std::string> *Order) {
  std::map<std::string, Reading> Readings;
  const Bytes Text = ReadFile(Path);
  std::istringstream Lines(std::string(Text.begin(), Text.end()));
  for (std::string Line; std::getline(Lines, Line);) {
    std::istringstream Words(Line);
    std::string Keyword, Status;
    Reading Each;
    Words >> Keyword >> Status >> Each.Answer;
    if (Each.Answer.empty() || Status.rfind("0x", 0) != 0 ||
        Status.find_first_not_of("0123456789abcdef", 2) != std::string::npos)
      throw std::runtime_error("keywords.txt: not a line \"KEYWORD STATUS ANSWER\": \"" + Line + "\"");
    Each.Status = std::stoull(Status, nullptr, 16);
    const std::size_t Value = Each.Answer.find("&VALUE=");
    if (Value != std::string::npos) {
      const std::string Digits = Each.Answer.substr(Value + 7, Each.Answer.find('&', Value + 7) - Value - 7);
      if (!Digits.empty() && Digits.size() <= 16) Each.Value = std::stoull(Digits, nullptr, 16);
    }
    Each.ReadOnly = Each.Answer.find("&READONLY") != std::string::npos;
    Order->push_back(Keyword);
    Readings[Keyword] = Each;
  }
  return Readings;
}

// ---- the registry -----------------------------------------------------------------------------

Json RunPreview(const fs::path &Directory) {
  const fs::path Out = Directory.parent_path() / "registry.json";
  const fs::path Err = Directory.parent_path() / "preview.stderr";
  const std::string Command = std::string(ADDONCARD_TOOL_PATH) + " preview --json '" + Directory.string() +
                              "' >'" + Out.string() + "' 2>'" + Err.string() + "'";
  const int Status = std::system(Command.c_str());
  const Bytes Message = ReadFile(Err);
  if (Status != 0)
    throw std::runtime_error("addoncard preview failed (" + std::to_string(Status) +
                             "): " + std::string(Message.begin(), Message.end()));
  const Bytes Text = ReadFile(Out);
  return Json::parse(Text.begin(), Text.end());
}

// Everything both sides say, read once for all tests.
struct Agreement {
  DriverList Driver;
  std::vector<std::string> KeywordOrder;
  std::map<std::string, Reading> Readings;
  Json Registry;
  std::map<std::string, Json> Attributes;             // by AttributeName
  std::map<std::string, Json> Menus;                  // by MenuPath
  std::map<std::string, const Question *> Questions;  // by keyword, from driver.hpk
  std::vector<std::string> Problems;                  // reading either side

  static const Agreement &Get() {
    static const Agreement Once = Load();
    return Once;
  }

 private:
  static Agreement Load() {
    Agreement A;
    const fs::path Dir = AgreeDirectory();
    try {
      A.Driver = ReadDriverList(ReadFile(Dir / "driver.hpk"));
      A.Readings = ReadKeywords(Dir / "keywords.txt", &A.KeywordOrder);
      A.Registry = RunPreview(Dir);
      for (const Json &Attribute : A.Registry.at("RegistryEntries").at("Attributes"))
        A.Attributes[Attribute.at("AttributeName").get<std::string>()] = Attribute;
      for (const Json &Menu : A.Registry.at("RegistryEntries").at("Menus"))
        A.Menus[Menu.at("MenuPath").get<std::string>()] = Menu;
    } catch (const std::exception &Error) {
      A.Problems.push_back(Error.what());
    }
    for (const Question &Each : A.Driver.Questions)
      if (const auto Keyword = A.Driver.Keyword(Each.Prompt)) {
        if (!A.Questions.emplace(*Keyword, &Each).second)
          A.Problems.push_back("driver.hpk: the keyword " + *Keyword + " names two questions");
      }
    return A;
  }
};

std::string Listed(const std::vector<std::string> &Lines) {
  std::string Text;
  for (const std::string &Line : Lines) Text += "\n  " + Line;
  return Text;
}

std::string Quoted(const std::string &Text) { return "\"" + Text + "\""; }

// A member of the registry by its path of keys; null when any step is missing,
// so that a registry of the wrong shape is reported as a difference.
const Json &Field(const Json &Object, std::initializer_list<const char *> Path) {
  static const Json None;
  const Json *At = &Object;
  for (const char *Key : Path) {
    if (!At->is_object() || !At->contains(Key)) return None;
    At = &(*At)[Key];
  }
  return *At;
}

class AgreeOvmf : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(AgreeDirectory().empty()) << "ADDONCARD_AGREE_DIR is not set";
    ASSERT_TRUE(A.Problems.empty()) << Listed(A.Problems);
  }
  // The driver's form behind a registry menu: its Oem form id, the main form for the main menu.
  std::optional<std::uint16_t> FormOfMenu(const std::string &MenuPath) const {
    const auto Menu = A.Menus.find(MenuPath);
    if (Menu == A.Menus.end()) return std::nullopt;
    if (MenuPath == "./AddOnCardMain") return MAIN_FORM_ID;
    const Json &Form = Field(Menu->second, {"Oem", "Talvorenix", "FormId"});
    if (!Form.is_number_unsigned()) return std::nullopt;
    return Form.get<std::uint16_t>();
  }

  const Agreement &A = Agreement::Get();
};

TEST_F(AgreeOvmf, TheRegistryHasEveryKeywordTheDriverBuiltAndNoOther) {
  std::vector<std::string> Diff;
  for (const auto &[Keyword, Question] : A.Questions)
    if (A.Attributes.count(Keyword) == 0)
      Diff.push_back(Keyword + ": in the driver's forms, not in the registry");
  for (const auto &[Keyword, Attribute] : A.Attributes)
    if (A.Questions.count(Keyword) == 0)
      Diff.push_back(Keyword + ": in the registry, not in the driver's forms");
  std::vector<std::string> FromForms;
  for (const Question &Each : A.Driver.Questions)
    if (const auto Keyword = A.Driver.Keyword(Each.Prompt)) FromForms.push_back(*Keyword);
  EXPECT_EQ(A.KeywordOrder, FromForms) << "keywords.txt reads the keywords of driver.hpk, in order";
  EXPECT_TRUE(Diff.empty()) << Listed(Diff);

  // Not a vacuous agreement: both card models got a page with mirrored keywords.
  std::size_t Mirrored = 0;
  for (const auto &[Keyword, Attribute] : A.Attributes) Mirrored += Keyword.rfind("CSPACF", 0) != 0;
  EXPECT_GT(Mirrored, 6u) << "the road card's six keywords and the second model's";
  EXPECT_EQ(A.Driver.MainGotos.size(), 2u) << "a page for each model on the supported list";
}

TEST_F(AgreeOvmf, MenusAreThePagesTheDriverBuilt) {
  std::vector<std::string> Diff;
  std::set<std::uint16_t> Pages(A.Driver.MainGotos.begin(), A.Driver.MainGotos.end());
  std::set<std::uint16_t> Menus;
  for (const auto &[Path, Menu] : A.Menus) {
    const auto Form = FormOfMenu(Path);
    if (!Form) {
      Diff.push_back(Path + ": no form id");
      continue;
    }
    if (Path != "./AddOnCardMain") Menus.insert(*Form);
    const std::string Title = A.Driver.Text("en-US", A.Driver.FormTitles.at(*Form));
    if (Field(Menu, {"DisplayName"}) != Title)
      Diff.push_back(Path + " DisplayName: registry " + Field(Menu, {"DisplayName"}).dump() + ", driver " +
                     Quoted(Title));
  }
  EXPECT_EQ(Menus, Pages) << "one menu per card page the main page leads to";
  EXPECT_TRUE(Diff.empty()) << Listed(Diff);
}

TEST_F(AgreeOvmf, EachAttributeShowsWhatTheDriversFormsShow) {
  std::vector<std::string> Diff;
  for (const auto &[Name, Attribute] : A.Attributes) {
    const auto Found = A.Questions.find(Name);
    if (Found == A.Questions.end()) continue;
    const Question &Q = *Found->second;
    const std::string &Keyword = Name;
    auto Differs = [&](const std::string &Field, const Json &Registry, const Json &Driver) {
      if (Registry != Driver)
        Diff.push_back(Keyword + " " + Field + ": registry " + Registry.dump() + ", driver " + Driver.dump());
    };
    Differs("DisplayName", Field(Attribute, {"DisplayName"}), A.Driver.Text("en-US", Q.Prompt));
    Differs("HelpText", Field(Attribute, {"HelpText"}), A.Driver.Text("en-US", Q.Help));
    Differs("ReadOnly", Field(Attribute, {"ReadOnly"}), (Q.Flags & READ_ONLY_FLAG) != 0);
    const Json &MenuPath = Field(Attribute, {"MenuPath"});
    const auto Form = MenuPath.is_string() ? FormOfMenu(MenuPath.get<std::string>()) : std::nullopt;
    Differs("MenuPath (form)", Form ? Json(*Form) : Json(nullptr), Q.Form);
    if (Q.Op != NUMERIC_OP && Q.Op != ONE_OF_OP) {
      Differs("Type", Field(Attribute, {"Type"}),
              "none: opcode " + std::to_string(Q.Op) + " has no attribute type");
    } else if (Q.Op == NUMERIC_OP) {
      Differs("Type", Field(Attribute, {"Type"}), "Integer");
      Differs("LowerBound", Field(Attribute, {"LowerBound"}), Q.Minimum);
      Differs("UpperBound", Field(Attribute, {"UpperBound"}), Q.Maximum);
      Differs("ScalarIncrement", Field(Attribute, {"ScalarIncrement"}), Q.Step);
    } else {
      Differs("Type", Field(Attribute, {"Type"}), "Enumeration");
      Json Options = Json::array();
      for (const Option &Each : Q.Options)
        Options.push_back({{"ValueName", std::to_string(Each.Value)},
                           {"ValueDisplayName", A.Driver.Text("en-US", Each.Text)}});
      Differs("Value", Field(Attribute, {"Value"}), Options);
    }
  }
  EXPECT_TRUE(Diff.empty()) << Listed(Diff);
}

TEST_F(AgreeOvmf, CurrentValuesAreWhatTheKeywordHandlerAnswers) {
  std::vector<std::string> Diff;
  std::size_t NonZeroCardValues = 0;
  for (const auto &[Keyword, Attribute] : A.Attributes) {
    const auto Read = A.Readings.find(Keyword);
    const auto Found = A.Questions.find(Keyword);
    if (Read == A.Readings.end() || Found == A.Questions.end()) {
      Diff.push_back(Keyword + ": no GetData answer in keywords.txt");
      continue;
    }
    const Reading &R = Read->second;
    if (R.Status != 0 || !R.Value) {
      Diff.push_back(Keyword + ": GetData gave status 0x" + std::to_string(R.Status) + ", answer " +
                     R.Answer);
      continue;
    }
    if (Field(Attribute, {"ReadOnly"}) != R.ReadOnly)
      Diff.push_back(Keyword + " ReadOnly: registry " + Field(Attribute, {"ReadOnly"}).dump() + ", GetData " +
                     (R.ReadOnly ? "answers READONLY" : "answers without READONLY"));
    Json Expected = *R.Value;
    if (Field(Attribute, {"Type"}) == "Enumeration") {
      Expected = nullptr;
      for (const Option &Each : Found->second->Options)
        if (Each.Value == *R.Value) Expected = std::to_string(Each.Value);
      if (Expected.is_null() && Field(Attribute, {"Oem", "Talvorenix", "ValueOfNoOption"}) != *R.Value)
        Diff.push_back(Keyword + " ValueOfNoOption: registry " +
                       Field(Attribute, {"Oem", "Talvorenix", "ValueOfNoOption"}).dump() + ", GetData " +
                       std::to_string(*R.Value));
    }
    if (Field(Attribute, {"CurrentValue"}) != Expected)
      Diff.push_back(Keyword + " CurrentValue: registry " + Field(Attribute, {"CurrentValue"}).dump() +
                     ", GetData " + std::to_string(*R.Value) + " (" +
                     R.Answer.substr(R.Answer.find("&KEYWORD=") + 1) + ")");
    if (Keyword.rfind("CSPACF", 0) != 0 && *R.Value != 0) ++NonZeroCardValues;
  }
  EXPECT_TRUE(Diff.empty()) << Listed(Diff);
  // The card stores hold values other than zero: the export's store contents
  // reached the preview, not zero-filled stores.
  EXPECT_GT(NonZeroCardValues, 2u);
}

}  // namespace

// addoncard preview --json: the driver's keywords as a DMTF Redfish
// AttributeRegistry, the document management controllers and fleet tools read
// BIOS settings from. One attribute per keyword (the main page's static ones
// and every mirrored one-of and numeric), one menu per page; what a keyword
// stands for in the card and in the driver's own variables goes under Oem.
// The mapping is described in the README.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "tools/preview.h"

namespace preview {
namespace {

using Json = nlohmann::ordered_json;

constexpr char OWNING_ENTITY[] = "Talvorenix";
constexpr char REGISTRY_VERSION[] = "1.0.0";
constexpr char KEYWORD_NAMESPACE[] = "x-UEFI-QZV";
constexpr char MAIN_MENU[] = "AddOnCardMain";
constexpr uint8_t OPTION_DEFAULT = 0x10;

std::string MenuPathOf(const std::string &Menu) {
  return std::string("./") + MAIN_MENU + (Menu == MAIN_MENU ? "" : "/" + Menu);
}
std::string CardMenu(std::size_t Slot) { return "CardPage" + std::to_string(Slot); }

Json CardJson(const CardFile &Card) {
  Json Out;
  Out["File"] = Card.ListPath;
  Out["VendorId"] = PciIdsText(Card.Vendor, Card.Device).substr(0, 4);
  Out["DeviceId"] = PciIdsText(Card.Vendor, Card.Device).substr(5);
  Out["Location"] = LocationText(Card.Location);
  return Out;
}

const Preview::DriverStore *DriverStore(const Preview &Built, uint16_t Id) {
  for (const Preview::DriverStore &Store : Built.DriverStores)
    if (Store.Id == Id) return &Store;
  return nullptr;
}

const MirroredTarget *TargetOf(const Preview &Built, const std::string &Keyword) {
  for (const auto &[Name, Target] : Built.Targets)
    if (Name == Keyword) return &Target;
  return nullptr;
}

std::string ValueName(uint64_t Value) { return std::to_string(Value); }

// Type, values and bounds of one question.
void PutValues(Json &Attribute, const StatementView &Statement) {
  if (Statement.Kind == StatementKind::OneOf) {
    Attribute["Type"] = "Enumeration";
    Json Values = Json::array();
    Json Default = nullptr;
    for (const OptionView &Option : Statement.Options) {
      Values.push_back({{"ValueName", ValueName(Option.Value)}, {"ValueDisplayName", Option.Text}});
      if ((Option.Flags & OPTION_DEFAULT) != 0 && Default.is_null()) Default = ValueName(Option.Value);
    }
    // A current value that no option holds has no ValueName: it goes under
    // Oem (see OemOf), and CurrentValue stays null.
    Json Current = nullptr;
    for (const OptionView &Option : Statement.Options)
      if (Statement.Value && Option.Value == *Statement.Value) Current = ValueName(Option.Value);
    Attribute["Value"] = Values;
    Attribute["CurrentValue"] = Current;
    Attribute["DefaultValue"] = Default;
    return;
  }
  Attribute["Type"] = "Integer";
  Attribute["LowerBound"] = Statement.Minimum;
  Attribute["UpperBound"] = Statement.Maximum;
  Attribute["ScalarIncrement"] = Statement.Step;
  Attribute["CurrentValue"] = Statement.Value ? Json(*Statement.Value) : Json(nullptr);
  Attribute["DefaultValue"] = Statement.Default ? Json(*Statement.Default) : Json(nullptr);
}

// Where the keyword's value lives: the driver's variable, and for a mirrored
// question the card and the card's own store the driver writes it back to.
Json OemOf(const Options &Given, const Preview &Built, const StatementView &Statement, const CardPage *Page) {
  Json Oem;
  Oem["QuestionId"] = Statement.QuestionId;
  Json Store;
  if (const Preview::DriverStore *Own = DriverStore(Built, Statement.VarStoreId)) {
    Store["Name"] = Own->Name;
    Store["Guid"] = Own->Guid;
  }
  Store["Offset"] = Statement.VarOffset;
  Store["Width"] = Statement.ValueWidth();
  Oem["DriverStore"] = Store;
  if (Statement.Kind == StatementKind::OneOf && Statement.Value &&
      std::none_of(Statement.Options.begin(), Statement.Options.end(),
                   [&](const OptionView &Option) { return Option.Value == *Statement.Value; }))
    Oem["ValueOfNoOption"] = *Statement.Value;
  if (Page == nullptr) return Oem;
  Json Card = CardJson(Given.Cards[Page->Card]);
  Card["Page"] = Page->Slot;
  Oem["Card"] = Card;
  if (const MirroredTarget *Target = TargetOf(Built, Statement.Keyword)) {
    Json CardStore;
    CardStore["Name"] = Target->CardStoreName.empty() ? Json(nullptr) : Json(Target->CardStoreName);
    CardStore["Guid"] = Target->CardStoreGuid.empty() ? Json(nullptr) : Json(Target->CardStoreGuid);
    CardStore["Kind"] = Target->CardStoreName.empty() ? "Unknown"
                        : Target->CardStoreIsEfi      ? "EfiVariable"
                                                      : "Buffer";
    CardStore["VarStoreId"] = Target->CardVarStoreId;
    CardStore["Offset"] = Target->CardVarOffset;
    CardStore["Width"] = Target->CardWidth;
    Oem["CardStore"] = CardStore;
    Oem["ValueWhenBuilt"] = Target->BuildValue;
    const bool Applied = !Target->CardReadOnly && !Target->WideValue;
    Oem["WrittenBack"] = Applied;
    if (!Applied)
      Oem["NotWrittenBackBecause"] = Target->CardReadOnly
                                         ? "the card marks the question read-only"
                                         : "its values do not fit the one byte the driver keeps";
  }
  return Oem;
}

void PutAttributes(Json &Attributes, std::set<std::string> &Names, int &Order, const Options &Given,
                   const Preview &Built, const FormView &Form, const std::string &Menu,
                   const CardPage *Page) {
  for (const StatementView &Statement : Form.Statements) {
    if (Statement.Keyword.empty() ||
        (Statement.Kind != StatementKind::OneOf && Statement.Kind != StatementKind::Numeric))
      continue;
    if (!Names.insert(Statement.Keyword).second)
      throw RunError("the keyword " + Statement.Keyword + " stands for two questions");
    Json Attribute;
    Attribute["AttributeName"] = Statement.Keyword;
    Attribute["DisplayName"] = Statement.Prompt;
    Attribute["HelpText"] = Statement.Help;
    Attribute["MenuPath"] = MenuPathOf(Menu);
    Attribute["DisplayOrder"] = ++Order;
    Attribute["ReadOnly"] = Statement.ReadOnly();
    Attribute["ResetRequired"] = Statement.ResetRequired();
    Attribute["Hidden"] = Statement.Hidden;
    PutValues(Attribute, Statement);
    Attribute["UefiKeywordName"] = Statement.Keyword;
    Attribute["UefiNamespaceId"] = KEYWORD_NAMESPACE;
    Attribute["Oem"] = {{OWNING_ENTITY, OemOf(Given, Built, Statement, Page)}};
    Attributes.push_back(Attribute);
  }
}

Json Menu(const std::string &Name, const std::string &Title, int Order) {
  return {
      {"MenuName", Name}, {"DisplayName", Title}, {"MenuPath", MenuPathOf(Name)}, {"DisplayOrder", Order}};
}

}  // namespace

std::string RenderRegistry(const Options &Given, const Preview &Built) {
  Json Attributes = Json::array();
  Json Menus = Json::array();
  std::set<std::string> Names;
  int Order = 0;
  Menus.push_back(Menu(MAIN_MENU, Built.Main.Title, 1));
  PutAttributes(Attributes, Names, Order, Given, Built, Built.Main, MAIN_MENU, nullptr);
  for (const CardPage &Page : Built.Pages) {
    Json PageMenu = Menu(CardMenu(Page.Slot), Page.Form.Title, static_cast<int>(Menus.size()) + 1);
    Json Card = CardJson(Given.Cards[Page.Card]);
    PageMenu["Oem"] = {{OWNING_ENTITY, {{"FormId", Page.Form.FormId}, {"Card", Card}}}};
    Menus.push_back(PageMenu);
    PutAttributes(Attributes, Names, Order, Given, Built, Page.Form, CardMenu(Page.Slot), &Page);
  }

  Json Cards = Json::array();
  for (std::size_t Index = 0; Index < Given.Cards.size(); ++Index) {
    Json Card = CardJson(Given.Cards[Index]);
    Card["Page"] = nullptr;
    for (const CardPage &Page : Built.Pages)
      if (Page.Card == Index) Card["Page"] = Page.Slot;
    for (const PassedOver &Skipped : Built.Skipped)
      if (Skipped.Card == Index) Card["NoPageBecause"] = Skipped.Reason;
    Cards.push_back(Card);
  }
  Json Supported = Json::array();
  for (const auto &[Vendor, Device] : Built.SupportedList)
    Supported.push_back({{"VendorId", PciIdsText(Vendor, Device).substr(0, 4)},
                         {"DeviceId", PciIdsText(Vendor, Device).substr(5)}});

  Json Registry;
  Registry["@odata.type"] = "#AttributeRegistry.v1_3_6.AttributeRegistry";
  Registry["Id"] = std::string("AddOnCardAttributes.") + REGISTRY_VERSION;
  Registry["Name"] = Built.FormSetTitle + " Attribute Registry";
  Registry["Description"] =
      "The configuration keywords of the " + Built.FormSetTitle + " and the add-on card questions it mirrors";
  Registry["Language"] = "en-US";
  Registry["RegistryVersion"] = REGISTRY_VERSION;
  Registry["OwningEntity"] = OWNING_ENTITY;
  Registry["RegistryEntries"] = {{"Attributes", Attributes}, {"Menus", Menus}};
  Registry["Oem"] = {
      {OWNING_ENTITY,
       {{"KeywordNamespace", KEYWORD_NAMESPACE}, {"SupportedList", Supported}, {"Cards", Cards}}}};
  return Registry.dump(2) + "\n";
}

}  // namespace preview

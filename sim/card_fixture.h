// Add-on card fixtures: a builder for a card's HII package list (form set,
// stores, questions, conditions, string packages) and a card driver that
// publishes such a list below a simulated PCI function the way real card
// drivers do: a driver handle with the function's path plus a port node, the
// card's own EFI_HII_CONFIG_ACCESS_PROTOCOL serving its buffer stores, and the
// package list registered with the HII database on that handle.
//
// Example:
//   auto List = sim::CardFormSet("Port 1 Config")
//                   .BufferStore(0x1, "PortCfg", StoreGuid, 64)
//                   .Form(0x1, "Main")
//                   .OneOf({.Id = 0x10, .Store = 0x1, .Offset = 0, .Prompt = "Link Speed"})
//                   .Options({{"Auto", 0, EFI_IFR_OPTION_DEFAULT}, {"10 Gb/s", 2}})
//                   .SuppressIf(sim::cond::EqIdVal(0x10, 0))
//                   .Numeric({.Id = 0x11, .Store = 0x1, .Offset = 2, .Prompt = "MTU"}, 2, 68, 9000)
//                   .EndIf()
//                   .Build();
//   sim::CardDriver &Card = sim::PublishCard(sim::AddPciFunction(0x15B3, 0x1021, 0x3B, 0, 0), List,
//                                            {{"PortCfg", {2, 0, 0xDC, 0x05}}});
//
// Cards, like PCI functions, are dropped at sim::PowerOn() and sim::Reset().
#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card_shape_ids.h"
#include "sim/pci.h"
#include "uefi/ifr.h"
#include "uefi/protocols.h"

namespace sim {

// ---- package-list builder ------------------------------------------------------

// A string for the builder: UTF-8 or UTF-16 text that becomes a new string id,
// or an explicit id (IfrString::Id) that is used as it is, e.g. 0 or an id no
// package holds.
class IfrString {
 public:
  IfrString(const char *Utf8);
  IfrString(std::string_view Utf8);
  IfrString(const std::string &Utf8);
  IfrString(const char16_t *Text);
  IfrString(std::u16string_view Text);
  IfrString(const std::u16string &Text);
  static IfrString Id(EFI_STRING_ID Id);

  bool IsId() const { return IsId_; }
  EFI_STRING_ID GivenId() const { return Id_; }
  const std::u16string &Text() const { return Text_; }

 private:
  IfrString() = default;
  std::u16string Text_;
  bool IsId_ = false;
  EFI_STRING_ID Id_ = 0;
};

// A condition of a suppress-if, gray-out-if or disable-if: IFR expression
// opcodes in their postfix order.
struct Condition {
  std::vector<UINT8> Bytes;
};
namespace cond {
Condition EqIdVal(EFI_QUESTION_ID QuestionId, UINT16 Value);
Condition EqIdValList(EFI_QUESTION_ID QuestionId, const std::vector<UINT16> &Values);
Condition True();
Condition False();
Condition Not(const Condition &Operand);
Condition And(const Condition &Left, const Condition &Right);
Condition Or(const Condition &Left, const Condition &Right);
// Any other expression opcodes, verbatim.
Condition Raw(std::vector<UINT8> Bytes);
}  // namespace cond

// The question header of a one-of, numeric, checkbox, string or goto.
struct Question {
  EFI_QUESTION_ID Id = 0;
  EFI_VARSTORE_ID Store = 0;  // 0: the question has no storage
  UINT16 Offset = 0;          // VarStoreInfo: byte offset in the store
  IfrString Prompt = "";
  IfrString Help = "";
  UINT8 Flags = 0;  // EFI_IFR_FLAG_*
};

struct Option {
  IfrString Text;
  UINT64 Value = 0;
  UINT8 Flags = 0;  // EFI_IFR_OPTION_DEFAULT, EFI_IFR_OPTION_DEFAULT_MFG
};

// A store the card's form set declares.
struct CardStore {
  std::string Name;
  EFI_GUID Guid{};
  EFI_VARSTORE_ID Id = 0;
  UINT16 Size = 0;
  bool IsEfi = false;  // an EFI variable (the router's business) rather than a buffer
  UINT32 Attributes = 0;
  std::vector<UINT8> Bytes;  // buffer stores: the live contents
};

// Builds one form set, laid out as a compiled form set is: FORM_SET (with its
// class GUIDs), default stores, variable stores, then the forms, each question
// opening a scope closed by END (defaults and options inside). Questions,
// statements and conditions go into the form opened last. An open question is
// closed by whatever is added next that is not one of its options or defaults.
class CardFormSet {
 public:
  static constexpr EFI_GUID DefaultGuid = {
      0xE36B87B6, 0xC84F, 0x4840, {0xB2, 0x55, 0x5F, 0x10, 0x2D, 0x72, 0x13, 0x1A}};
  // Platform setup: the class GUID a form set has unless ClassGuid() is given.
  static constexpr EFI_GUID PlatformSetupClassGuid = {
      0x93039971, 0x8545, 0x4B04, {0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E}};

  explicit CardFormSet(IfrString Title, const EFI_GUID &FormSetGuid = DefaultGuid);

  CardFormSet &Guid(const EFI_GUID &FormSetGuid);
  CardFormSet &PackageListGuid(const EFI_GUID &ListGuid);  // default: the form-set GUID
  CardFormSet &Help(IfrString Text);
  CardFormSet &ClassGuid(const EFI_GUID &Class);  // replaces the default; at most three
  // The languages of the string packages, in package order; the first is the
  // language in which every text given to the builder is written. Default: en-US.
  CardFormSet &Languages(std::vector<std::string> Tags);

  CardFormSet &DefaultStore(EFI_DEFAULT_ID Id, IfrString Name);
  CardFormSet &BufferStore(EFI_VARSTORE_ID Id, std::string Name, const EFI_GUID &StoreGuid, UINT16 Size);
  CardFormSet &EfiStore(EFI_VARSTORE_ID Id, std::string Name, const EFI_GUID &StoreGuid, UINT16 Size,
                        UINT32 Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                            EFI_VARIABLE_RUNTIME_ACCESS);

  CardFormSet &Form(EFI_FORM_ID Id, IfrString Title);
  CardFormSet &Subtitle(IfrString Prompt);
  CardFormSet &Text(IfrString Prompt, IfrString Help = "", IfrString TextTwo = IfrString::Id(0));
  CardFormSet &Goto(EFI_FORM_ID Target, const Question &Q);
  // Width: bytes of the value (1, 2, 4 or 8); DisplayFlags: EFI_IFR_DISPLAY_* bits.
  CardFormSet &OneOf(const Question &Q, UINT8 Width = 1);
  CardFormSet &Numeric(const Question &Q, UINT8 Width, UINT64 Min, UINT64 Max, UINT64 Step = 1,
                       UINT8 DisplayFlags = 0);
  CardFormSet &Checkbox(const Question &Q, UINT8 CheckboxFlags = 0);
  CardFormSet &String(const Question &Q, UINT8 MinSize, UINT8 MaxSize, UINT8 StringFlags = 0);
  // An EFI_IFR_VALUE opcode in the open question's scope: the value the question
  // takes, a constant at its width. Inside a one-of it stands where options would.
  CardFormSet &Value(UINT64 Value);
  // Options of the open one-of, values at its width.
  CardFormSet &Option(IfrString Text, UINT64 Value, UINT8 Flags = 0);
  CardFormSet &Options(std::initializer_list<sim::Option> List);
  // A default of the open question, at its width (a checkbox default is BOOLEAN).
  CardFormSet &Default(UINT64 Value, EFI_DEFAULT_ID Store = EFI_HII_DEFAULT_CLASS_STANDARD);

  CardFormSet &SuppressIf(const Condition &If);
  CardFormSet &GrayOutIf(const Condition &If);
  CardFormSet &DisableIf(const Condition &If);
  CardFormSet &EndIf();  // closes the innermost suppress-if, gray-out-if or disable-if

  CardFormSet &Label(UINT16 Number);
  // Opcodes appended verbatim into the current form (an open question is closed first).
  CardFormSet &Raw(std::vector<UINT8> Opcodes);
  // Opcodes appended verbatim inside the open question's scope (e.g. options
  // nested in a suppress-if).
  CardFormSet &RawInQuestion(std::vector<UINT8> Opcodes);

  // The text of the last statement's or question's prompt in another language,
  // such as a translation, or a keyword in an x-UEFI namespace. The language is
  // added to the list when it is not there yet.
  CardFormSet &PromptIn(const std::string &Language, IfrString Text);
  CardFormSet &Keyword(const std::string &Namespace, IfrString Name) { return PromptIn(Namespace, Name); }

  // A GUID package placed before the forms package (as the HII database exports it).
  CardFormSet &GuidPackage(const EFI_GUID &Guid, std::vector<UINT8> Data);

  // A string of the list that no opcode uses yet, e.g. an option text that many
  // options share (IfrString::Id of the result).
  EFI_STRING_ID NewString(IfrString Text) { return AddString(Text); }
  EFI_STRING_ID LastPromptId() const { return LastPrompt_; }
  // The stores declared so far, in declaration order, their bytes zero-filled.
  const std::vector<CardStore> &Stores() const { return DeclaredStores_; }
  EFI_STRING_ID TitleId() const { return TitleId_; }

  // Forms package only (package header and IFR).
  std::vector<UINT8> FormsPackage() const;
  // The package list: header, GUID packages, forms, one string package per
  // language, end package.
  std::vector<UINT8> Build() const;

 private:
  enum class OpenKind { None, OneOf, Numeric, Checkbox, String };

  EFI_STRING_ID AddString(const IfrString &Text);
  EFI_STRING_ID HelpId(const IfrString &Text);
  void CloseQuestion();
  void RequireForm(const char *What) const;
  void Emit(UINT8 OpCode, bool Scope, const std::vector<UINT8> &Payload);
  void EmitQuestion(UINT8 OpCode, const Question &Q, const std::vector<UINT8> &Tail, OpenKind Kind,
                    UINT8 ValueWidth);
  std::vector<UINT8> StringPackage(const std::string &Language) const;

  EFI_GUID FormSetGuid_;
  EFI_GUID ListGuid_{};
  bool ListGuidSet_ = false;
  std::vector<EFI_GUID> ClassGuids_{PlatformSetupClassGuid};
  bool ClassGuidsGiven_ = false;
  std::vector<std::string> Languages_{"en-US"};
  std::vector<std::u16string> Strings_;  // primary language, index = id - 2
  std::map<std::string, std::map<EFI_STRING_ID, std::u16string>> Translations_;
  EFI_STRING_ID TitleId_ = 0;
  EFI_STRING_ID HelpId_ = 0;
  EFI_STRING_ID EmptyId_ = 0;
  EFI_STRING_ID LastPrompt_ = 0;
  std::vector<UINT8> Stores_;  // default stores and variable stores
  std::vector<CardStore> DeclaredStores_;
  std::vector<UINT8> Body_;  // the forms
  std::vector<std::vector<UINT8>> GuidPackages_;
  bool FormOpen_ = false;
  int OpenConditions_ = 0;
  OpenKind Open_ = OpenKind::None;
  UINT8 OpenWidth_ = 1;
};

// ---- card driver -------------------------------------------------------------------

struct CardDriver {
  EFI_HII_CONFIG_ACCESS_PROTOCOL ConfigAccess{};
  EFI_HANDLE Handle = nullptr;
  EFI_HII_HANDLE HiiHandle = nullptr;
  PciFunction *Pci = nullptr;     // null for a card published by PublishCardOnPath
  std::vector<UINT8> DevicePath;  // the PCI function's path, a MAC node, the end node
  std::vector<UINT8> PackageList;
  std::vector<CardStore> Stores;

  // What the router brought: calls, the last request (empty for a null
  // request) and the last configuration received.
  std::size_t ExtractConfigCalls = 0;
  std::size_t RouteConfigCalls = 0;
  std::u16string LastRequest;
  std::u16string LastConfiguration;

  // The live bytes of a buffer store, by name; throws std::out_of_range.
  std::vector<UINT8> &Store(std::string_view Name);
  const EFI_DEVICE_PATH_PROTOCOL *Path() const {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(DevicePath.data());
  }
};

// Initial contents of a store, by name; shorter contents are zero-filled.
struct StoreContents {
  std::string Name;
  std::vector<UINT8> Bytes;
};

// Publishes a card below Pci: stores not given start zero-filled; EFI stores
// become UEFI variables with the store's attributes. Throws std::invalid_argument
// for contents of unknown stores or larger than the store, std::runtime_error
// when a firmware service refuses the card.
CardDriver &PublishCard(PciFunction &Pci, const std::vector<UINT8> &PackageList,
                        const std::vector<StoreContents> &Initial = {});
// The same for a driver that is not below a PCI function: its handle carries
// DevicePath (none when empty, so the router cannot reach it); Pci stays null.
CardDriver &PublishCardOnPath(const std::vector<UINT8> &DevicePath, const std::vector<UINT8> &PackageList,
                              const std::vector<StoreContents> &Initial = {});

// ---- the sample card ---------------------------------------------------------------
// A network card port with the questions card setup pages usually have; its
// constants (sim::sample_card) are in card_shape_ids.h.
CardFormSet SampleCardFormSet();
std::vector<UINT8> BuildSampleCard();
// Its store as shipped: Auto speed, wake-on-LAN on, VLAN disabled (id 1), PXE,
// target "pxe-server-01", LUN 0.
std::vector<UINT8> SampleCardStore();
// Adds the card's PCI function (0x15B3/0x1021 at Bus/Device/Function) and
// publishes the sample card with its shipped store.
CardDriver &PublishSampleCard(UINTN Bus = sample_card::Bus, UINTN Device = 0, UINTN Function = 0);

}  // namespace sim

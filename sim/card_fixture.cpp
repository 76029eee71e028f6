// Add-on card fixtures (see card_fixture.h): the package-list builder.
#include "sim/card_fixture.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "uefi/guids.h"

namespace sim {
namespace {

void Put16(std::vector<UINT8> &Out, UINT16 Value) {
  Out.push_back(static_cast<UINT8>(Value));
  Out.push_back(static_cast<UINT8>(Value >> 8));
}
void Put32(std::vector<UINT8> &Out, UINT32 Value) {
  Put16(Out, static_cast<UINT16>(Value));
  Put16(Out, static_cast<UINT16>(Value >> 16));
}
void PutValue(std::vector<UINT8> &Out, UINT64 Value, UINT8 Width) {
  for (UINT8 Index = 0; Index < Width; ++Index)
    Out.push_back(Index < 8 ? static_cast<UINT8>(Value >> (8 * Index)) : 0);
}
void PutGuid(std::vector<UINT8> &Out, const EFI_GUID &Guid) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(&Guid);
  Out.insert(Out.end(), Bytes, Bytes + sizeof(EFI_GUID));
}
void PutAsciiZ(std::vector<UINT8> &Out, const std::string &Text) {
  Out.insert(Out.end(), Text.begin(), Text.end());
  Out.push_back(0);
}
void Append(std::vector<UINT8> &Out, const std::vector<UINT8> &More) {
  Out.insert(Out.end(), More.begin(), More.end());
}

void PutPackageHeader(std::vector<UINT8> &Out, std::size_t Length, UINT8 Type) {
  if (Length >= (1u << 24)) throw std::length_error("package longer than 24 bits can tell");
  Out.push_back(static_cast<UINT8>(Length));
  Out.push_back(static_cast<UINT8>(Length >> 8));
  Out.push_back(static_cast<UINT8>(Length >> 16));
  Out.push_back(Type);
}

std::vector<UINT8> Opcode(UINT8 Code, bool Scope, const std::vector<UINT8> &Payload = {}) {
  const std::size_t Length = 2 + Payload.size();
  if (Length > IFR_LENGTH_MASK) throw std::length_error("IFR opcode longer than 127 bytes");
  std::vector<UINT8> Bytes{Code, IfrLengthByte(static_cast<UINT8>(Length), Scope)};
  Append(Bytes, Payload);
  return Bytes;
}

// The size bits of a numeric or one-of for a value width in bytes.
UINT8 SizeBits(UINT8 Width) {
  switch (Width) {
    case 1:
      return EFI_IFR_NUMERIC_SIZE_1;
    case 2:
      return EFI_IFR_NUMERIC_SIZE_2;
    case 4:
      return EFI_IFR_NUMERIC_SIZE_4;
    case 8:
      return EFI_IFR_NUMERIC_SIZE_8;
    default:
      throw std::invalid_argument("value width must be 1, 2, 4 or 8 bytes");
  }
}

std::u16string FromUtf8(std::string_view Utf8) {
  std::u16string Out;
  for (std::size_t Index = 0; Index < Utf8.size();) {
    const auto Lead = static_cast<unsigned char>(Utf8[Index]);
    const std::size_t Count = Lead < 0x80 ? 1 : Lead < 0xE0 ? 2 : Lead < 0xF0 ? 3 : 4;
    if (Index + Count > Utf8.size()) throw std::invalid_argument("truncated UTF-8 text");
    char32_t Code = Count == 1   ? Lead
                    : Count == 2 ? (Lead & 0x1F)
                    : Count == 3 ? (Lead & 0x0F)
                                 : (Lead & 0x07);
    for (std::size_t More = 1; More < Count; ++More)
      Code = (Code << 6) | (static_cast<unsigned char>(Utf8[Index + More]) & 0x3F);
    Index += Count;
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Out.push_back(static_cast<char16_t>(0xD800 + (Code >> 10)));
      Out.push_back(static_cast<char16_t>(0xDC00 + (Code & 0x3FF)));
    } else {
      Out.push_back(static_cast<char16_t>(Code));
    }
  }
  return Out;
}

bool IsKeywordLanguage(const std::string &Tag) {
  static constexpr std::string_view Prefix = "x-uefi";
  if (Tag.size() < Prefix.size()) return false;
  for (std::size_t Index = 0; Index < Prefix.size(); ++Index)
    if (std::tolower(static_cast<unsigned char>(Tag[Index])) != Prefix[Index]) return false;
  return true;
}

// The printable name a string package carries as its string 1.
std::u16string LanguageDisplayName(const std::string &Tag) {
  if (Tag.rfind("en", 0) == 0) return u"English";
  if (Tag.rfind("fr", 0) == 0) return u"Fran\u00E7ais";
  if (Tag.rfind("de", 0) == 0) return u"Deutsch";
  return FromUtf8(Tag);
}

void PutSkip(std::vector<UINT8> &Out, std::size_t Count) {
  while (Count > 0) {
    if (Count <= 0xFF) {
      Out.insert(Out.end(), {EFI_HII_SIBT_SKIP1, static_cast<UINT8>(Count)});
      return;
    }
    const auto Step = static_cast<UINT16>(std::min<std::size_t>(Count, 0xFFFF));
    Out.push_back(EFI_HII_SIBT_SKIP2);
    Put16(Out, Step);
    Count -= Step;
  }
}

}  // namespace

// ---- IfrString ------------------------------------------------------------------

IfrString::IfrString(const char *Utf8) : Text_(FromUtf8(Utf8)) {}
IfrString::IfrString(std::string_view Utf8) : Text_(FromUtf8(Utf8)) {}
IfrString::IfrString(const std::string &Utf8) : Text_(FromUtf8(Utf8)) {}
IfrString::IfrString(const char16_t *Text) : Text_(Text) {}
IfrString::IfrString(std::u16string_view Text) : Text_(Text) {}
IfrString::IfrString(const std::u16string &Text) : Text_(Text) {}
IfrString IfrString::Id(EFI_STRING_ID Id) {
  IfrString Given;
  Given.IsId_ = true;
  Given.Id_ = Id;
  return Given;
}

// ---- conditions -----------------------------------------------------------------

namespace cond {
Condition EqIdVal(EFI_QUESTION_ID QuestionId, UINT16 Value) {
  std::vector<UINT8> Payload;
  Put16(Payload, QuestionId);
  Put16(Payload, Value);
  return {Opcode(EFI_IFR_EQ_ID_VAL_OP, false, Payload)};
}
Condition EqIdValList(EFI_QUESTION_ID QuestionId, const std::vector<UINT16> &Values) {
  std::vector<UINT8> Payload;
  Put16(Payload, QuestionId);
  Put16(Payload, static_cast<UINT16>(Values.size()));
  for (UINT16 Value : Values) Put16(Payload, Value);
  return {Opcode(EFI_IFR_EQ_ID_VAL_LIST_OP, false, Payload)};
}
Condition True() { return {Opcode(EFI_IFR_TRUE_OP, false)}; }
Condition False() { return {Opcode(EFI_IFR_FALSE_OP, false)}; }
Condition Not(const Condition &Operand) {
  Condition Result = Operand;
  Append(Result.Bytes, Opcode(EFI_IFR_NOT_OP, false));
  return Result;
}
Condition And(const Condition &Left, const Condition &Right) {
  Condition Result = Left;
  Append(Result.Bytes, Right.Bytes);
  Append(Result.Bytes, Opcode(EFI_IFR_AND_OP, false));
  return Result;
}
Condition Or(const Condition &Left, const Condition &Right) {
  Condition Result = Left;
  Append(Result.Bytes, Right.Bytes);
  Append(Result.Bytes, Opcode(EFI_IFR_OR_OP, false));
  return Result;
}
Condition Raw(std::vector<UINT8> Bytes) { return {std::move(Bytes)}; }
}  // namespace cond

// ---- CardFormSet ----------------------------------------------------------------

CardFormSet::CardFormSet(IfrString Title, const EFI_GUID &FormSetGuid) : FormSetGuid_(FormSetGuid) {
  TitleId_ = AddString(Title);
  HelpId_ = AddString(IfrString(""));
}

CardFormSet &CardFormSet::Guid(const EFI_GUID &FormSetGuid) {
  FormSetGuid_ = FormSetGuid;
  return *this;
}

CardFormSet &CardFormSet::PackageListGuid(const EFI_GUID &ListGuid) {
  ListGuid_ = ListGuid;
  ListGuidSet_ = true;
  return *this;
}

CardFormSet &CardFormSet::Help(IfrString Text) {
  if (Text.IsId())
    HelpId_ = Text.GivenId();
  else
    Strings_.at(HelpId_ - 2) = Text.Text();
  return *this;
}

CardFormSet &CardFormSet::ClassGuid(const EFI_GUID &Class) {
  if (!ClassGuidsGiven_) ClassGuids_.clear();
  ClassGuidsGiven_ = true;
  if (ClassGuids_.size() == EFI_IFR_FORM_SET_CLASS_GUID_COUNT)
    throw std::invalid_argument("a form set has at most three class GUIDs");
  ClassGuids_.push_back(Class);
  return *this;
}

CardFormSet &CardFormSet::Languages(std::vector<std::string> Tags) {
  if (Tags.empty()) throw std::invalid_argument("a form set needs at least one language");
  Languages_ = std::move(Tags);
  return *this;
}

EFI_STRING_ID CardFormSet::AddString(const IfrString &Text) {
  if (Text.IsId()) return Text.GivenId();
  // Id 1 is the language name of each package; the builder's texts start at 2.
  if (Strings_.size() >= 0xFFFD) throw std::length_error("too many strings");
  Strings_.push_back(Text.Text());
  return static_cast<EFI_STRING_ID>(Strings_.size() + 1);
}

// Help texts left empty share one empty string, as compiled forms share theirs.
EFI_STRING_ID CardFormSet::HelpId(const IfrString &Text) {
  if (Text.IsId() || !Text.Text().empty()) return AddString(Text);
  if (EmptyId_ == 0) EmptyId_ = AddString(IfrString(""));
  return EmptyId_;
}

void CardFormSet::RequireForm(const char *What) const {
  if (!FormOpen_) throw std::logic_error(std::string(What) + " outside a form");
}

void CardFormSet::CloseQuestion() {
  if (Open_ == OpenKind::None) return;
  Append(Body_, Opcode(EFI_IFR_END_OP, false));
  Open_ = OpenKind::None;
}

void CardFormSet::Emit(UINT8 OpCode, bool Scope, const std::vector<UINT8> &Payload) {
  Append(Body_, Opcode(OpCode, Scope, Payload));
}

void CardFormSet::EmitQuestion(UINT8 OpCode, const Question &Q, const std::vector<UINT8> &Tail, OpenKind Kind,
                               UINT8 ValueWidth) {
  CloseQuestion();
  RequireForm("a question");
  std::vector<UINT8> Payload;
  LastPrompt_ = AddString(Q.Prompt);
  Put16(Payload, LastPrompt_);
  Put16(Payload, HelpId(Q.Help));
  Put16(Payload, Q.Id);
  Put16(Payload, Q.Store);
  Put16(Payload, Q.Offset);
  Payload.push_back(Q.Flags);
  Append(Payload, Tail);
  Emit(OpCode, Kind != OpenKind::None, Payload);
  Open_ = Kind;
  OpenWidth_ = ValueWidth;
}

CardFormSet &CardFormSet::DefaultStore(EFI_DEFAULT_ID Id, IfrString Name) {
  std::vector<UINT8> Payload;
  Put16(Payload, AddString(Name));
  Put16(Payload, Id);
  Append(Stores_, Opcode(EFI_IFR_DEFAULTSTORE_OP, false, Payload));
  return *this;
}

CardFormSet &CardFormSet::BufferStore(EFI_VARSTORE_ID Id, std::string Name, const EFI_GUID &StoreGuid,
                                      UINT16 Size) {
  std::vector<UINT8> Payload;
  PutGuid(Payload, StoreGuid);
  Put16(Payload, Id);
  Put16(Payload, Size);
  PutAsciiZ(Payload, Name);
  Append(Stores_, Opcode(EFI_IFR_VARSTORE_OP, false, Payload));
  DeclaredStores_.push_back({std::move(Name), StoreGuid, Id, Size, false, 0, std::vector<UINT8>(Size, 0)});
  return *this;
}

CardFormSet &CardFormSet::EfiStore(EFI_VARSTORE_ID Id, std::string Name, const EFI_GUID &StoreGuid,
                                   UINT16 Size, UINT32 Attributes) {
  std::vector<UINT8> Payload;
  Put16(Payload, Id);
  PutGuid(Payload, StoreGuid);
  Put32(Payload, Attributes);
  Put16(Payload, Size);
  PutAsciiZ(Payload, Name);
  Append(Stores_, Opcode(EFI_IFR_VARSTORE_EFI_OP, false, Payload));
  DeclaredStores_.push_back(
      {std::move(Name), StoreGuid, Id, Size, true, Attributes, std::vector<UINT8>(Size, 0)});
  return *this;
}

CardFormSet &CardFormSet::Form(EFI_FORM_ID Id, IfrString Title) {
  CloseQuestion();
  if (OpenConditions_ != 0) throw std::logic_error("a form ends inside a condition");
  if (FormOpen_) Append(Body_, Opcode(EFI_IFR_END_OP, false));
  std::vector<UINT8> Payload;
  Put16(Payload, Id);
  Put16(Payload, AddString(Title));
  Emit(EFI_IFR_FORM_OP, true, Payload);
  FormOpen_ = true;
  return *this;
}

CardFormSet &CardFormSet::Subtitle(IfrString Prompt) {
  CloseQuestion();
  RequireForm("a subtitle");
  std::vector<UINT8> Payload;
  LastPrompt_ = AddString(Prompt);
  Put16(Payload, LastPrompt_);
  Put16(Payload, HelpId(IfrString("")));
  Payload.push_back(0);
  Emit(EFI_IFR_SUBTITLE_OP, true, Payload);
  Append(Body_, Opcode(EFI_IFR_END_OP, false));
  return *this;
}

CardFormSet &CardFormSet::Text(IfrString Prompt, IfrString Help, IfrString TextTwo) {
  CloseQuestion();
  RequireForm("a text");
  std::vector<UINT8> Payload;
  LastPrompt_ = AddString(Prompt);
  Put16(Payload, LastPrompt_);
  Put16(Payload, HelpId(Help));
  Put16(Payload, AddString(TextTwo));
  Emit(EFI_IFR_TEXT_OP, false, Payload);
  return *this;
}

CardFormSet &CardFormSet::Goto(EFI_FORM_ID Target, const Question &Q) {
  std::vector<UINT8> Tail;
  Put16(Tail, Target);
  EmitQuestion(EFI_IFR_REF_OP, Q, Tail, OpenKind::None, 0);
  return *this;
}

CardFormSet &CardFormSet::OneOf(const Question &Q, UINT8 Width) {
  // A one-of's range is unused; compiled forms leave it zero.
  std::vector<UINT8> Tail{SizeBits(Width)};
  PutValue(Tail, 0, static_cast<UINT8>(3 * Width));
  EmitQuestion(EFI_IFR_ONE_OF_OP, Q, Tail, OpenKind::OneOf, Width);
  return *this;
}

CardFormSet &CardFormSet::Numeric(const Question &Q, UINT8 Width, UINT64 Min, UINT64 Max, UINT64 Step,
                                  UINT8 DisplayFlags) {
  std::vector<UINT8> Tail{static_cast<UINT8>(SizeBits(Width) | (DisplayFlags & EFI_IFR_DISPLAY))};
  PutValue(Tail, Min, Width);
  PutValue(Tail, Max, Width);
  PutValue(Tail, Step, Width);
  EmitQuestion(EFI_IFR_NUMERIC_OP, Q, Tail, OpenKind::Numeric, Width);
  return *this;
}

CardFormSet &CardFormSet::Checkbox(const Question &Q, UINT8 CheckboxFlags) {
  EmitQuestion(EFI_IFR_CHECKBOX_OP, Q, {CheckboxFlags}, OpenKind::Checkbox, 1);
  return *this;
}

CardFormSet &CardFormSet::String(const Question &Q, UINT8 MinSize, UINT8 MaxSize, UINT8 StringFlags) {
  EmitQuestion(EFI_IFR_STRING_OP, Q, {MinSize, MaxSize, StringFlags}, OpenKind::String, 2);
  return *this;
}

CardFormSet &CardFormSet::Option(IfrString Text, UINT64 Value, UINT8 Flags) {
  if (Open_ != OpenKind::OneOf) throw std::logic_error("an option outside a one-of");
  std::vector<UINT8> Payload;
  Put16(Payload, AddString(Text));
  Payload.push_back(Flags);
  Payload.push_back(SizeBits(OpenWidth_));  // EFI_IFR_TYPE_NUM_SIZE_8..64 match the size bits
  PutValue(Payload, Value, OpenWidth_);
  Emit(EFI_IFR_ONE_OF_OPTION_OP, false, Payload);
  return *this;
}

CardFormSet &CardFormSet::Value(UINT64 Value) {
  if (Open_ != OpenKind::OneOf && Open_ != OpenKind::Numeric)
    throw std::logic_error("a value outside a one-of or numeric");
  // EFI_IFR_UINT8_OP to EFI_IFR_UINT64_OP follow each other as the size bits do.
  std::vector<UINT8> Constant;
  PutValue(Constant, Value, OpenWidth_);
  Emit(EFI_IFR_VALUE_OP, true, {});
  Append(Body_, Opcode(static_cast<UINT8>(EFI_IFR_UINT8_OP + SizeBits(OpenWidth_)), false, Constant));
  Append(Body_, Opcode(EFI_IFR_END_OP, false));
  return *this;
}

CardFormSet &CardFormSet::Options(std::initializer_list<sim::Option> List) {
  for (const sim::Option &Each : List) Option(Each.Text, Each.Value, Each.Flags);
  return *this;
}

CardFormSet &CardFormSet::Default(UINT64 Value, EFI_DEFAULT_ID Store) {
  UINT8 Type = 0;
  UINT8 Width = OpenWidth_;
  switch (Open_) {
    case OpenKind::OneOf:
    case OpenKind::Numeric:
      Type = SizeBits(OpenWidth_);
      break;
    case OpenKind::Checkbox:
      Type = EFI_IFR_TYPE_BOOLEAN;
      break;
    case OpenKind::String:
      Type = EFI_IFR_TYPE_STRING;
      break;  // the value is a string id
    case OpenKind::None:
      throw std::logic_error("a default outside a question");
  }
  std::vector<UINT8> Payload;
  Put16(Payload, Store);
  Payload.push_back(Type);
  PutValue(Payload, Value, Width);
  Emit(EFI_IFR_DEFAULT_OP, false, Payload);
  return *this;
}

CardFormSet &CardFormSet::SuppressIf(const Condition &If) {
  CloseQuestion();
  RequireForm("a suppress-if");
  Emit(EFI_IFR_SUPPRESS_IF_OP, true, {});
  Append(Body_, If.Bytes);
  ++OpenConditions_;
  return *this;
}

CardFormSet &CardFormSet::GrayOutIf(const Condition &If) {
  CloseQuestion();
  RequireForm("a gray-out-if");
  Emit(EFI_IFR_GRAY_OUT_IF_OP, true, {});
  Append(Body_, If.Bytes);
  ++OpenConditions_;
  return *this;
}

CardFormSet &CardFormSet::DisableIf(const Condition &If) {
  CloseQuestion();
  RequireForm("a disable-if");
  Emit(EFI_IFR_DISABLE_IF_OP, true, {});
  Append(Body_, If.Bytes);
  ++OpenConditions_;
  return *this;
}

CardFormSet &CardFormSet::EndIf() {
  CloseQuestion();
  if (OpenConditions_ == 0) throw std::logic_error("EndIf without an open condition");
  Append(Body_, Opcode(EFI_IFR_END_OP, false));
  --OpenConditions_;
  return *this;
}

CardFormSet &CardFormSet::Label(UINT16 Number) {
  CloseQuestion();
  RequireForm("a label");
  std::vector<UINT8> Payload;
  PutGuid(Payload, IFR_EXTENSION_GUID);
  Payload.push_back(EFI_IFR_EXTEND_OP_LABEL);
  Put16(Payload, Number);
  Emit(EFI_IFR_GUID_OP, false, Payload);
  return *this;
}

CardFormSet &CardFormSet::Raw(std::vector<UINT8> Opcodes) {
  CloseQuestion();
  RequireForm("raw opcodes");
  Append(Body_, Opcodes);
  return *this;
}

CardFormSet &CardFormSet::RawInQuestion(std::vector<UINT8> Opcodes) {
  if (Open_ == OpenKind::None) throw std::logic_error("no open question");
  Append(Body_, Opcodes);
  return *this;
}

CardFormSet &CardFormSet::PromptIn(const std::string &Language, IfrString Text) {
  if (LastPrompt_ == 0) throw std::logic_error("no prompt to translate");
  if (Text.IsId()) throw std::invalid_argument("a translation needs text");
  if (std::find(Languages_.begin(), Languages_.end(), Language) == Languages_.end())
    Languages_.push_back(Language);
  Translations_[Language][LastPrompt_] = Text.Text();
  return *this;
}

CardFormSet &CardFormSet::GuidPackage(const EFI_GUID &Guid, std::vector<UINT8> Data) {
  std::vector<UINT8> Package;
  PutPackageHeader(Package, 4 + sizeof(EFI_GUID) + Data.size(), EFI_HII_PACKAGE_TYPE_GUID);
  PutGuid(Package, Guid);
  Append(Package, Data);
  GuidPackages_.push_back(std::move(Package));
  return *this;
}

std::vector<UINT8> CardFormSet::FormsPackage() const {
  std::vector<UINT8> Forms = Body_;
  if (Open_ != OpenKind::None) Append(Forms, Opcode(EFI_IFR_END_OP, false));
  if (OpenConditions_ != 0) throw std::logic_error("a condition is still open");
  if (FormOpen_) Append(Forms, Opcode(EFI_IFR_END_OP, false));

  std::vector<UINT8> FormSet;
  PutGuid(FormSet, FormSetGuid_);
  Put16(FormSet, TitleId_);
  Put16(FormSet, HelpId_);
  FormSet.push_back(static_cast<UINT8>(ClassGuids_.size()));
  for (const EFI_GUID &Class : ClassGuids_) PutGuid(FormSet, Class);

  std::vector<UINT8> Ifr = Opcode(EFI_IFR_FORM_SET_OP, true, FormSet);
  Append(Ifr, Stores_);
  Append(Ifr, Forms);
  Append(Ifr, Opcode(EFI_IFR_END_OP, false));

  std::vector<UINT8> Package;
  PutPackageHeader(Package, 4 + Ifr.size(), EFI_HII_PACKAGE_FORMS);
  Append(Package, Ifr);
  return Package;
}

// Every package covers the same ids (1 to the highest id of any language), so
// that the packages agree on the next free id; an id a package has no text for
// is skipped. Ordinary languages fall back to the first language's text, keyword
// namespaces hold only the keywords given.
std::vector<UINT8> CardFormSet::StringPackage(const std::string &Language) const {
  const auto Given = Translations_.find(Language);
  const bool Keywords = IsKeywordLanguage(Language);
  std::size_t HighestId = Strings_.size() + 1;
  for (const auto &[Tag, Texts] : Translations_)
    if (!Texts.empty()) HighestId = std::max<std::size_t>(HighestId, Texts.rbegin()->first);

  std::vector<UINT8> Blocks;
  std::size_t Skipped = 0;
  for (std::size_t Id = 1; Id <= HighestId; ++Id) {
    const std::u16string *Text = nullptr;
    std::u16string Name;
    if (Id == 1) {
      Name = Keywords ? FromUtf8(Language) : LanguageDisplayName(Language);
      Text = &Name;
    } else if (Given != Translations_.end() && Given->second.count(static_cast<EFI_STRING_ID>(Id))) {
      Text = &Given->second.at(static_cast<EFI_STRING_ID>(Id));
    } else if (!Keywords && Id - 2 < Strings_.size()) {
      Text = &Strings_[Id - 2];
    }
    if (Text == nullptr) {
      ++Skipped;
      continue;
    }
    PutSkip(Blocks, Skipped);
    Skipped = 0;
    Blocks.push_back(EFI_HII_SIBT_STRING_UCS2);
    for (char16_t Unit : *Text) Put16(Blocks, Unit);
    Put16(Blocks, 0);
  }
  PutSkip(Blocks, Skipped);
  Blocks.push_back(EFI_HII_SIBT_END);

  const std::size_t HeaderSize = sizeof(EFI_HII_STRING_PACKAGE_HDR) + Language.size() + 1;
  std::vector<UINT8> Package;
  PutPackageHeader(Package, HeaderSize + Blocks.size(), EFI_HII_PACKAGE_STRINGS);
  Put32(Package, static_cast<UINT32>(HeaderSize));  // HdrSize
  Put32(Package, static_cast<UINT32>(HeaderSize));  // StringInfoOffset
  Package.insert(Package.end(), 32, 0);             // LanguageWindow
  Put16(Package, 1);                                // LanguageName: string 1
  PutAsciiZ(Package, Language);
  Append(Package, Blocks);
  return Package;
}

std::vector<UINT8> CardFormSet::Build() const {
  std::vector<UINT8> Packages;
  for (const auto &Package : GuidPackages_) Append(Packages, Package);
  Append(Packages, FormsPackage());
  for (const std::string &Language : Languages_) Append(Packages, StringPackage(Language));
  PutPackageHeader(Packages, 4, EFI_HII_PACKAGE_END);

  std::vector<UINT8> List;
  PutGuid(List, ListGuidSet_ ? ListGuid_ : FormSetGuid_);
  Put32(List, static_cast<UINT32>(sizeof(EFI_HII_PACKAGE_LIST_HEADER) + Packages.size()));
  Append(List, Packages);
  return List;
}

}  // namespace sim

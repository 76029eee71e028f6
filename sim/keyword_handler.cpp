// The simulated configuration keyword handler. A keyword is the text that a
// question's prompt string id holds in an "x-UEFI-..." language of its package
// list; its value is that question's storage, read and written through the
// configuration router so that the router's rules for each kind of store apply.
#include <algorithm>
#include <optional>
#include <string>

#include "sim/config_text.h"
#include "sim/hii_forms.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace {

using cfgtext::Text;
using cfgtext::TextView;

constexpr std::string_view KeywordNamespacePrefix = "x-UEFI-";

// One question that carries a keyword.
struct KeywordSite {
  std::string Namespace;  // the language tag of the package list
  std::vector<UINT8> Path;
  Text Keyword;
  hiiview::Question Question;
  hiiview::VarStore Store;
};

// One KEY=VALUE element of a keyword string; Start is the index of its key.
struct Element {
  TextView Key;
  TextView Value;
  std::size_t Start;
  bool HasValue;
};

std::vector<Element> ElementsOf(TextView String) {
  std::vector<Element> Elements;
  std::size_t Start = 0;
  while (Start <= String.size()) {
    std::size_t End = String.find(u'&', Start);
    if (End == cfgtext::npos) End = String.size();
    TextView Piece = String.substr(Start, End - Start);
    std::size_t Equals = Piece.find(u'=');
    if (Equals == cfgtext::npos)
      Elements.push_back({Piece, {}, Start, false});
    else
      Elements.push_back({Piece.substr(0, Equals), Piece.substr(Equals + 1), Start, true});
    Start = End + 1;
  }
  return Elements;
}

bool IsKeywordNamespace(const std::string &Language) {
  return Language.size() > KeywordNamespacePrefix.size() &&
         hiiview::LanguageEquals(Language.substr(0, KeywordNamespacePrefix.size()),
                                 std::string(KeywordNamespacePrefix));
}

std::string Narrow(TextView Wide) {
  std::string Narrowed;
  for (char16_t Unit : Wide) Narrowed += Unit < 0x80 ? static_cast<char>(Unit) : '?';
  return Narrowed;
}

// The keyword namespaces of one list that the caller asked for (all when Wanted is empty).
std::vector<std::string> NamespacesOf(const std::vector<UINT8> &Export, const std::string &Wanted) {
  std::vector<std::string> Namespaces;
  for (const std::string &Language : hiiview::StringLanguages(Export)) {
    if (!IsKeywordNamespace(Language) || (!Wanted.empty() && !hiiview::LanguageEquals(Language, Wanted)))
      continue;
    bool Seen = false;
    for (const std::string &Known : Namespaces) Seen = Seen || hiiview::LanguageEquals(Known, Language);
    if (!Seen) Namespaces.push_back(Language);
  }
  return Namespaces;
}

// Every question with a keyword, in package-list order and, within a list, in
// the order of the keyword strings (their string ids), as the reference
// firmware lists them; questions sharing a prompt keep their IFR order.
// *NamespaceFound tells whether any list has the namespace at all.
std::vector<KeywordSite> CollectSites(const std::string &Wanted, bool *NamespaceFound) {
  std::vector<KeywordSite> Sites;
  *NamespaceFound = false;
  for (EFI_HII_HANDLE List : hiiview::PackageListHandles()) {
    std::vector<UINT8> Export = hiiview::ExportPackageList(List);
    std::vector<std::string> Namespaces = NamespacesOf(Export, Wanted);
    if (Namespaces.empty()) continue;
    *NamespaceFound = true;
    std::vector<UINT8> Path = hiiview::DevicePathOfList(List, Export);
    if (Path.empty()) continue;  // nothing the router could reach
    hiiview::FormsScan Scan = hiiview::ScanForms(Export);
    std::stable_sort(
        Scan.Questions.begin(), Scan.Questions.end(),
        [](const hiiview::Question &A, const hiiview::Question &B) { return A.Prompt < B.Prompt; });
    for (const hiiview::Question &Question : Scan.Questions) {
      const hiiview::VarStore *Store = hiiview::FindVarStore(Scan, Question.FormSet, Question.VarStoreId);
      if (Question.VarStoreId == 0 || Question.Width == 0 || Store == nullptr) continue;
      for (const std::string &Namespace : Namespaces) {
        Text Keyword = hiiview::GetString(List, Namespace, Question.Prompt);
        if (Keyword.empty()) continue;
        Sites.push_back({Namespace, Path, Keyword, Question, *Store});
        break;
      }
    }
  }
  return Sites;
}

Text SiteRequest(const KeywordSite &Site) {
  return cfgtext::BuildConfigHeader(Site.Store.Guid, Site.Store.Name, Site.Path) + u"&OFFSET=" +
         cfgtext::HexOfUint(Site.Question.VarOffset) + u"&WIDTH=" + cfgtext::HexOfUint(Site.Question.Width);
}

EFI_STATUS ReadSiteValue(const KeywordSite &Site, Text *Value) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Routing = hiiview::Router();
  if (Routing == nullptr) return EFI_NOT_FOUND;
  Text Request = SiteRequest(Site);
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Routing->ExtractConfig(Routing, Request.c_str(), &Progress, &Results);
  if (EFI_ERROR(Status)) {
    cfgtext::FreePool(Results);
    return Status;
  }
  TextView Answer = cfgtext::ViewOf(Results);
  std::size_t ValueAt = Answer.find(u"&VALUE=");
  if (ValueAt != cfgtext::npos) *Value = Text(cfgtext::ElementValue(Answer, ValueAt + 1, u"VALUE="));
  cfgtext::FreePool(Results);
  return ValueAt == cfgtext::npos ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

Text KeywordResponse(const KeywordSite &Site, TextView Value) {
  Text Response = u"NAMESPACE=";
  for (char Unit : Site.Namespace) Response += static_cast<char16_t>(static_cast<UINT8>(Unit));
  Response += u"&PATH=" + cfgtext::HexOfBytes(Site.Path.data(), Site.Path.size()) + u"&KEYWORD=" +
              Site.Keyword + u"&VALUE=" + Text(Value);
  if ((Site.Question.QuestionFlags & hiiview::IfrFlagReadOnly) != 0) Response += u"&READONLY";
  return Response;
}

// What a caller asked for: the namespace and, optionally, the path and keyword.
struct KeywordQuery {
  std::string Namespace;
  std::optional<std::vector<UINT8>> Path;
  std::optional<Text> Keyword;
  std::size_t KeywordAt = 0;  // index of KEYWORD= in the caller's string
};

bool Matches(const KeywordSite &Site, const KeywordQuery &Query) {
  return (!Query.Path || *Query.Path == Site.Path) && (!Query.Keyword || *Query.Keyword == Site.Keyword);
}

// Fills Namespace from "NAMESPACE=<tag>"; a bare tag is malformed.
bool ParseNamespace(const Element &Item, std::string *Namespace) {
  if (Item.Key != u"NAMESPACE" || !Item.HasValue || Item.Value.empty()) return false;
  *Namespace = Narrow(Item.Value);
  return true;
}

// Reads "[PATH=<hex>&]KEYWORD=<name>" from Elements[*Index...]; *BadAt names
// the first element that does not fit.
bool ParsePathAndKeyword(const std::vector<Element> &Elements, std::size_t *Index, KeywordQuery *Query,
                         std::size_t *BadAt) {
  if (*Index < Elements.size() && Elements[*Index].Key == u"PATH") {
    std::optional<std::vector<UINT8>> Path = cfgtext::BytesOfHex(Elements[*Index].Value);
    if (!Path || Path->empty()) {
      *BadAt = Elements[*Index].Start;
      return false;
    }
    Query->Path = *Path;
    ++*Index;
  }
  if (*Index >= Elements.size()) return Query->Path.has_value();  // a path alone lists its keywords
  const Element &Keyword = Elements[*Index];
  if (Keyword.Key != u"KEYWORD" || !Keyword.HasValue || Keyword.Value.empty()) {
    *BadAt = Keyword.Start;
    return false;
  }
  Query->Keyword = Text(Keyword.Value);
  Query->KeywordAt = Keyword.Start;
  ++*Index;
  return true;
}

struct Failure {
  EFI_STATUS Status;
  UINT32 Error;
  std::size_t At;
};

EFI_STATUS Report(const Failure &F, const CHAR16 *String, CHAR16 **Progress, UINT32 *ProgressErr) {
  *Progress = const_cast<CHAR16 *>(String == nullptr ? nullptr : String + F.At);
  *ProgressErr = F.Error;
  return F.Status;
}

EFI_STATUS EFIAPI GetData(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *, const CHAR16 *NameSpaceId,
                          const CHAR16 *KeywordString, CHAR16 **Progress, UINT32 *ProgressErr,
                          CHAR16 **Results) {
  EFI_STATUS Status;
  internal::ServiceCall Call("KeywordHandler.GetData");
  if (Call.Fails(&Status)) return Status;
  if (Progress == nullptr || ProgressErr == nullptr || Results == nullptr) return EFI_INVALID_PARAMETER;
  *Results = nullptr;
  *Progress = const_cast<CHAR16 *>(KeywordString);
  *ProgressErr = KEYWORD_HANDLER_NO_ERROR;

  KeywordQuery Query;
  if (NameSpaceId != nullptr) {
    std::vector<Element> Items = ElementsOf(cfgtext::ViewOf(NameSpaceId));
    if (Items.size() != 1 || !ParseNamespace(Items[0], &Query.Namespace))
      return Report({EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, 0}, KeywordString, Progress,
                    ProgressErr);
    if (!IsKeywordNamespace(Query.Namespace))
      return Report({EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND, 0}, KeywordString, Progress,
                    ProgressErr);
  }
  TextView Keywords = cfgtext::ViewOf(KeywordString);
  if (!Keywords.empty()) {
    std::vector<Element> Items = ElementsOf(Keywords);
    std::size_t Index = 0;
    std::size_t BadAt = 0;
    if (!ParsePathAndKeyword(Items, &Index, &Query, &BadAt))
      return Report({EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, BadAt}, KeywordString, Progress,
                    ProgressErr);
    if (Index != Items.size())
      return Report({EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, Items[Index].Start},
                    KeywordString, Progress, ProgressErr);
  }

  bool NamespaceFound = false;
  Text Answer;
  for (const KeywordSite &Site : CollectSites(Query.Namespace, &NamespaceFound)) {
    if (!Matches(Site, Query)) continue;
    Text Value;
    Status = ReadSiteValue(Site, &Value);
    // A listing passes over questions whose storage cannot be read; a lookup of
    // one keyword reports it.
    if (EFI_ERROR(Status)) {
      if (Query.Keyword)
        return Report({Status, KEYWORD_HANDLER_UNDEFINED_PROCESSING_ERROR, Query.KeywordAt}, KeywordString,
                      Progress, ProgressErr);
      continue;
    }
    if (!Answer.empty()) Answer += u'&';
    Answer += KeywordResponse(Site, Value);
  }
  if (!NamespaceFound)
    return Report({EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND, 0}, KeywordString, Progress,
                  ProgressErr);
  if (Answer.empty())
    return Report({EFI_NOT_FOUND, KEYWORD_HANDLER_KEYWORD_NOT_FOUND, Query.KeywordAt}, KeywordString,
                  Progress, ProgressErr);
  *Results = cfgtext::ToPoolString(Answer);
  if (*Results == nullptr)
    return Report({EFI_OUT_OF_RESOURCES, KEYWORD_HANDLER_UNDEFINED_PROCESSING_ERROR, 0}, KeywordString,
                  Progress, ProgressErr);
  *Progress = const_cast<CHAR16 *>(KeywordString == nullptr ? nullptr : KeywordString + Keywords.size());
  return EFI_SUCCESS;
}

// One "NAMESPACE=...&[PATH=...&]KEYWORD=...&VALUE=...[&READONLY]" request.
struct SetRequest {
  KeywordQuery Query;
  TextView Value;
  std::size_t ValueAt = 0;
};

// Reads the request that starts at Elements[*Index]; on failure F says where.
// End is the length of the whole string, the place of a missing element.
bool ParseSetRequest(const std::vector<Element> &Elements, std::size_t End, std::size_t *Index,
                     SetRequest *Request, Failure *F) {
  auto Here = [&] { return *Index < Elements.size() ? Elements[*Index].Start : End; };
  *F = {EFI_INVALID_PARAMETER, KEYWORD_HANDLER_MALFORMED_STRING, Here()};
  if (!ParseNamespace(Elements[*Index], &Request->Query.Namespace)) return false;
  ++*Index;
  std::size_t BadAt = 0;
  if (!ParsePathAndKeyword(Elements, Index, &Request->Query, &BadAt)) {
    F->At = *Index < Elements.size() ? BadAt : End;
    return false;
  }
  F->At = Here();
  if (!Request->Query.Keyword || *Index >= Elements.size() || Elements[*Index].Key != u"VALUE" ||
      !Elements[*Index].HasValue)
    return false;
  Request->Value = Elements[*Index].Value;
  Request->ValueAt = Elements[*Index].Start;
  ++*Index;
  if (*Index < Elements.size() && Elements[*Index].Key == u"READONLY" && !Elements[*Index].HasValue) ++*Index;
  F->At = Here();
  return *Index >= Elements.size() || Elements[*Index].Key == u"NAMESPACE";
}

bool WriteSiteValue(const KeywordSite &Site, const SetRequest &Request, Failure *F) {
  std::vector<UINT8> Bytes(Site.Question.Width);
  if (!cfgtext::DecodeNumberInto(Request.Value, Bytes.data(), Bytes.size())) {
    *F = {EFI_INVALID_PARAMETER, KEYWORD_HANDLER_INCOMPATIBLE_VALUE_DETECTED, Request.ValueAt};
    return false;
  }
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Routing = hiiview::Router();
  if (Routing == nullptr) {
    *F = {EFI_NOT_FOUND, KEYWORD_HANDLER_UNDEFINED_PROCESSING_ERROR, Request.Query.KeywordAt};
    return false;
  }
  Text Configuration = SiteRequest(Site) + u"&VALUE=" + cfgtext::HexOfNumber(Bytes.data(), Bytes.size());
  CHAR16 *Progress = nullptr;
  EFI_STATUS Status = Routing->RouteConfig(Routing, Configuration.c_str(), &Progress);
  if (EFI_ERROR(Status)) {
    *F = {Status, KEYWORD_HANDLER_UNDEFINED_PROCESSING_ERROR, Request.Query.KeywordAt};
    return false;
  }
  return true;
}

bool ApplySetRequest(const SetRequest &Request, Failure *F) {
  bool NamespaceFound = false;
  if (IsKeywordNamespace(Request.Query.Namespace)) {
    for (const KeywordSite &Site : CollectSites(Request.Query.Namespace, &NamespaceFound)) {
      if (!Matches(Site, Request.Query)) continue;
      if ((Site.Question.QuestionFlags & hiiview::IfrFlagReadOnly) != 0) {
        *F = {EFI_ACCESS_DENIED, KEYWORD_HANDLER_ACCESS_NOT_PERMITTED, Request.Query.KeywordAt};
        return false;
      }
      return WriteSiteValue(Site, Request, F);
    }
  }
  if (!NamespaceFound)
    *F = {EFI_NOT_FOUND, KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND, 0};
  else
    *F = {EFI_NOT_FOUND, KEYWORD_HANDLER_KEYWORD_NOT_FOUND, Request.Query.KeywordAt};
  return false;
}

EFI_STATUS EFIAPI SetData(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *, const CHAR16 *KeywordString,
                          CHAR16 **Progress, UINT32 *ProgressErr) {
  EFI_STATUS Status;
  internal::ServiceCall Call("KeywordHandler.SetData");
  if (Call.Fails(&Status)) return Status;
  if (KeywordString == nullptr || Progress == nullptr || ProgressErr == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(KeywordString);
  *ProgressErr = KEYWORD_HANDLER_NO_ERROR;

  TextView String = cfgtext::ViewOf(KeywordString);
  std::vector<Element> Elements = ElementsOf(String);
  for (std::size_t Index = 0; Index < Elements.size();) {
    SetRequest Request;
    Failure F{};
    if (!ParseSetRequest(Elements, String.size(), &Index, &Request, &F) || !ApplySetRequest(Request, &F))
      return Report(F, KeywordString, Progress, ProgressErr);
  }
  *Progress = const_cast<CHAR16 *>(KeywordString + String.size());
  return EFI_SUCCESS;
}

EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL KeywordProtocol = {SetData, GetData};

void InstallKeywordHandler() {
  EFI_HANDLE Handle = nullptr;
  SystemTable()->BootServices->InstallProtocolInterface(&Handle, &EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID,
                                                        EFI_NATIVE_INTERFACE, &KeywordProtocol);
}

ComponentRegistrar RegisterKeywordHandler("KeywordHandler", 21, InstallKeywordHandler);

}  // namespace
}  // namespace sim

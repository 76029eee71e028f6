// Strings written and read by language through the firmware's string protocol,
// on the driver's own package list (en-US and the keyword namespace x-UEFI-QZV):
// a display text in every language under one id, a keyword under a prompt's id
// as the card page builder writes it, display-only writes, and reading in the
// platform's language.
#include "driver/globals.h"
#include "hii/registration.h"
#include "qemu/check_groups.h"
#include "support/language.h"
#include "support/pool.h"

namespace {

constexpr UINTN TEXT_CHARS = 128;

// GetString of Id in Language, compared with Expected; the details say what
// came back otherwise.
bool StringIs(const CHAR8 *Language, EFI_STRING_ID Id, const CHAR16 *Expected, ReportLine &Details) {
  CHAR16 Text[TEXT_CHARS] = {};
  UINTN Size = sizeof(Text);
  const EFI_STATUS Status =
      HiiString->GetString(HiiString, Language, DriverHiiHandle, Id, Text, &Size, nullptr);
  if (Status == EFI_SUCCESS && SameText(Text, Expected)) return true;
  Details.Text(Language).Text(" #").Decimal(Id).Text(": ");
  if (EFI_ERROR(Status)) {
    Details.Text("GetString gave ").Status(Status);
  } else {
    Details.Text("got ").Quoted(Text, TEXT_CHARS).Text(", expected ").Quoted(Expected);
  }
  Details.Text("; ");
  return false;
}

struct Expectation {
  const CHAR8 *Language;
  const CHAR16 *Text;
};

// Every expectation is checked, so that one line reports all that differ.
template <UINTN Count>
void RecordStrings(CheckLog &Log, const CHAR8 *Name, EFI_STRING_ID Id, const Expectation (&Expected)[Count],
                   ReportLine &Details) {
  bool Ok = Id != 0;
  if (Id == 0) Details.Text("id 0; ");
  for (const Expectation &Each : Expected)
    if (Id != 0 && !StringIs(Each.Language, Id, Each.Text, Details)) Ok = false;
  Log.Record(Name, Ok, Details);
}

void CheckAllLanguages(CheckLog &Log) {
  static constexpr CHAR16 TEXT[] = u"Card page title in every language";
  const EFI_STRING_ID Id = SetStringAllLanguages(TEXT);
  ReportLine Details;
  Details.Text("id ").Decimal(Id).Text("; ");
  RecordStrings(Log, "strings/SetStringAllLanguages writes one id in en-US and in x-UEFI-QZV", Id,
                {{"en-US", TEXT}, {"x-UEFI-QZV", TEXT}}, Details);
}

// The builder's order: the prompt in en-US creates the id, then the keyword goes
// under it, first in the short namespace tag and, when that is refused, in the
// full one.
void CheckKeywordUnderPrompt(CheckLog &Log) {
  static constexpr CHAR16 PROMPT[] = u"Link Speed [00:02.0]";
  static constexpr CHAR16 KEYWORD[] = u"CSPAC000";
  const EFI_STRING_ID Prompt = SetStringInLanguages(0, PROMPT, "en-US");
  ReportLine PromptDetails;
  PromptDetails.Text("id ").Decimal(Prompt).Text("; ");
  RecordStrings(Log, "strings/a prompt created in en-US leaves an empty x-UEFI-QZV string at its id", Prompt,
                {{"en-US", PROMPT}, {"x-UEFI-QZV", u""}}, PromptDetails);
  if (Prompt == 0) return;

  const EFI_STRING_ID Short = SetStringInLanguages(Prompt, KEYWORD, "x-QZV");
  ReportLine ShortDetails;
  Log.Record("strings/the keyword in language x-QZV (no such package) gives 0", Short == 0,
             ShortDetails.Text("gave id ").Decimal(Short));

  const EFI_STRING_ID Full = SetStringInLanguages(Prompt, KEYWORD, "x-UEFI-QZV");
  ReportLine FullDetails;
  FullDetails.Text("gave id ").Decimal(Full).Text(" for prompt ").Decimal(Prompt).Text("; ");
  RecordStrings(Log, "strings/the keyword in x-UEFI-QZV lands under the prompt's id, the prompt stays",
                Full == Prompt ? Full : EFI_STRING_ID{0}, {{"x-UEFI-QZV", KEYWORD}, {"en-US", PROMPT}},
                FullDetails);
}

void CheckDisplayLanguagesOnly(CheckLog &Log) {
  static constexpr CHAR16 TEXT[] = u"Display only";
  static constexpr CHAR16 CHANGED[] = u"Display only, changed";
  const EFI_STRING_ID Id = SetStringInLanguages(0, TEXT, nullptr);
  ReportLine Details;
  Details.Text("id ").Decimal(Id).Text("; ");
  RecordStrings(Log, "strings/SetStringInLanguages(0, text, no languages) writes en-US only", Id,
                {{"en-US", TEXT}, {"x-UEFI-QZV", u""}}, Details);
  if (Id == 0) return;

  const EFI_STRING_ID Again = SetStringInLanguages(Id, CHANGED, nullptr);
  ReportLine AgainDetails;
  AgainDetails.Text("gave id ").Decimal(Again).Text("; ");
  RecordStrings(Log, "strings/rewriting that id with no languages changes en-US only",
                Again == Id ? Again : EFI_STRING_ID{0}, {{"en-US", CHANGED}, {"x-UEFI-QZV", u""}},
                AgainDetails);
}

struct BestLanguageCase {
  const CHAR8 *Name;
  EFI_STRING_ID Id;
  const CHAR16 *Expected;  // null: no string
};

// Id 2 exists in en-US only; 5 in both packages (the keyword there).
constexpr BestLanguageCase BEST_LANGUAGE_CASES[] = {
    {"strings/GetStringInBestLanguage #2 gives the en-US title", 2, u"Talvorenix AddOnCard Form"},
    {"strings/GetStringInBestLanguage #5 gives the en-US prompt, not the keyword", 5,
     u"Supported PCI ID Pair Count"},
    {"strings/GetStringInBestLanguage #999 (no such string) gives none", 999, nullptr},
};

void CheckBestLanguage(CheckLog &Log) {
  CHAR8 *Platform = nullptr;
  const EFI_STATUS Status = ReadPlatformLanguage(&Platform);
  ReportLine Note;
  Note.Text("NOTE ReadPlatformLanguage gave ").Status(Status).Text(" ").QuotedAscii(Platform).Emit();
  ReportLine Details;
  Log.Record("strings/ReadPlatformLanguage reads the PlatformLang the firmware set",
             Status == EFI_SUCCESS && Platform != nullptr && Platform[0] != 0,
             Details.Text("gave ").Status(Status));
  PoolFree(Platform);

  for (const BestLanguageCase &Case : BEST_LANGUAGE_CASES) {
    CHAR16 *Text = GetStringInBestLanguage(DriverHiiHandle, Case.Id);
    ReportLine CaseDetails;
    const bool Ok =
        Case.Expected == nullptr ? Text == nullptr : Text != nullptr && SameText(Text, Case.Expected);
    Log.Record(Case.Name, Ok, CaseDetails.Text("got ").Quoted(Text, TEXT_CHARS));
    PoolFree(Text);
  }
}

}  // namespace

void RunLanguageStringChecks(CheckLog &Log) {
  if (DriverHiiHandle == nullptr) {
    ReportLine Details;
    Log.Fail("strings/the driver's package list is registered", Details.Text("no DriverHiiHandle"));
    return;
  }
  CheckAllLanguages(Log);
  CheckKeywordUnderPrompt(Log);
  CheckDisplayLanguagesOnly(Log);
  CheckBestLanguage(Log);
}

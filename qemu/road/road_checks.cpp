// The checks of the driver's pages and keywords that several steps of the road
// make (see road.h).
#include "forms/identities.h"
#include "forms/variables.h"
#include "qemu/road/road.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"

namespace {

namespace rc = sim::road_card;

constexpr UINTN MAX_PROMPT_CHARS = 49;   // what the page's prompt buffer holds
constexpr UINT8 NO_MAX_SIZE = 255;       // a card string without MaxSize is shown with this
constexpr UINTN STATIC_KEYWORDS = 0x15;  // CSPACF00 to CSPACF14
constexpr UINTN PAIR_COUNT_KEYWORD = 0x14;
constexpr UINTN ID_DIGITS = 4;
constexpr UINTN BYTE_DIGITS = 2;
constexpr CHAR8 EN_US[] = "en-US";
constexpr CHAR8 KEYWORD_LANGUAGE[] = "x-UEFI-QZV";

bool TextEquals(const CHAR16 *A, const CHAR16 *B) {
  if (A == nullptr || B == nullptr) return false;
  const UINTN Length = Utf16Length(A);
  return Length == Utf16Length(B) && Utf16CompareN(A, B, Length + 1) == 0;
}

void CopyCut(CHAR16 *Out, UINTN Capacity, const CHAR16 *Text) {
  UINTN Index = 0;
  for (; Text != nullptr && Text[Index] != 0 && Index + 1 < Capacity; ++Index) Out[Index] = Text[Index];
  Out[Index] = 0;
}

UINT8 ExpectedOpCode(MirrorKind Kind) {
  switch (Kind) {
    case MirrorKind::Text:
      return EFI_IFR_TEXT_OP;
    case MirrorKind::OneOf:
      return EFI_IFR_ONE_OF_OP;
    case MirrorKind::Numeric:
      return EFI_IFR_NUMERIC_OP;
    case MirrorKind::String:
      return EFI_IFR_STRING_OP;
  }
  return 0;
}

const CHAR8 *KindName(MirrorKind Kind) {
  switch (Kind) {
    case MirrorKind::Text:
      return "text";
    case MirrorKind::OneOf:
      return "one-of";
    case MirrorKind::Numeric:
      return "numeric";
    case MirrorKind::String:
      return "string";
  }
  return "?";
}

bool HasKeyword(MirrorKind Kind) { return Kind == MirrorKind::OneOf || Kind == MirrorKind::Numeric; }

void KeywordText(const CHAR8 *Prefix, UINTN Number, UINTN Digits, CHAR16 *Out) {
  RoadText Text;
  Text.Ascii(Prefix).HexValue(Number, Digits, true);
  CopyCut(Out, KEYWORD_CHARS, Text.Chars());
}

// A pool string of the list in Language; the caller frees it.
CHAR16 *StringOf(const ROAD &Road, EFI_HII_HANDLE Handle, EFI_STRING_ID Id, const CHAR8 *Language = EN_US) {
  return ReadHiiString(Road.Services, Handle, Id, Language);
}

// Notes a failed row in Details (the first few) and clears Ok.
void Fault(bool *Ok, ReportLine &Details, const MIRROR &Row, const CHAR8 *What) {
  if (*Ok)
    Details.Text("row ");
  else
    Details.Text("; row ");
  *Ok = false;
  Details.Text(KindName(Row.Row->Kind)).Text(" 0x").Hex(Row.Row->CardQuestion, 4).Text(": ").Text(What);
}

// ---- the per-row checks -------------------------------------------------------------------

bool PromptMatches(const ROAD &Road, MIRROR &Row, ReportLine &Details) {
  CHAR16 *Card = StringOf(Road, Road.CardHii, Row.Card.Question.Prompt);
  CHAR16 *Page = StringOf(Road, Road.DriverHii, Row.Page.Question.Prompt);
  RoadText Full;
  Full.Utf16(Card).Ascii(" (").Utf16(Road.Location).Ascii(")");
  CHAR16 Expected[MAX_PROMPT_CHARS + 1];
  CopyCut(Expected, ArrayCount(Expected), Full.Chars());
  CopyCut(Row.Prompt, SHOWN_TEXT_CHARS, Page);
  CopyCut(Row.CardPrompt, SHOWN_TEXT_CHARS, Card);
  const bool Ok = Card != nullptr && TextEquals(Page, Expected);
  if (!Ok) Details.Text(" page ").Quoted(Page).Text(", expected ").Quoted(Expected);
  PoolFree(Card);
  PoolFree(Page);
  return Ok;
}

bool HelpMatches(const ROAD &Road, const MIRROR &Row, ReportLine &Details) {
  CHAR16 *Card = Row.Card.Question.Help == 0 ? nullptr : StringOf(Road, Road.CardHii, Row.Card.Question.Help);
  bool Ok = false;
  if (Card == nullptr) {
    Ok = Row.Page.Question.Help == EMPTY_HELP_STRING;
  } else {
    CHAR16 *Page = StringOf(Road, Road.DriverHii, Row.Page.Question.Help);
    Ok = TextEquals(Page, Card);
    if (!Ok) Details.Text(" page ").Quoted(Page).Text(", card ").Quoted(Card);
    PoolFree(Page);
  }
  PoolFree(Card);
  return Ok;
}

// Question id, store, offset and flags of a one-of, numeric or string.
bool NumberingMatches(const MIRROR &Row, UINTN Keyword, UINTN StringSlot, ReportLine &Details) {
  const IFR_QUESTION_FIELDS &Q = Row.Page.Question;
  const UINT8 Flags = static_cast<UINT8>(MIRROR_QUESTION_FLAGS | (Row.Row->ReadOnly ? READ_ONLY_FLAG : 0));
  const bool IsString = Row.Row->Kind == MirrorKind::String;
  const UINTN Id = IsString ? FIRST_MIRRORED_STRING + StringSlot : FIRST_MIRRORED_QUESTION + Keyword;
  const EFI_VARSTORE_ID Store = IsString ? STRING_VARSTORE_ID : OOB_VARSTORE_ID;
  const UINTN Offset = IsString ? STRING_SLOT_BYTES * StringSlot : Keyword;
  const bool Ok = Q.QuestionId == Id && Q.VarStoreId == Store && Q.VarOffset == Offset && Q.Flags == Flags;
  if (!Ok)
    Details.Text(" question 0x")
        .Hex(Q.QuestionId)
        .Text(" store 0x")
        .Hex(Q.VarStoreId)
        .Text(" offset 0x")
        .Hex(Q.VarOffset)
        .Text(" flags 0x")
        .Hex(Q.Flags)
        .Text(", expected 0x")
        .Hex(Id)
        .Text(" 0x")
        .Hex(Store)
        .Text(" 0x")
        .Hex(Offset)
        .Text(" 0x")
        .Hex(Flags);
  return Ok;
}

bool KeywordMatches(const ROAD &Road, const MIRROR &Row, ReportLine &Details) {
  CHAR16 *Page = StringOf(Road, Road.DriverHii, Row.Page.Question.Prompt, KEYWORD_LANGUAGE);
  const bool Ok = TextEquals(Page, Row.Keyword);
  if (!Ok) Details.Text(" x-UEFI-QZV ").Quoted(Page).Text(", expected ").Quoted(Row.Keyword);
  PoolFree(Page);
  return Ok;
}

bool OptionsMatch(const ROAD &Road, const MIRROR &Row, ReportLine &Details) {
  const FORM_ITEM &Card = Row.Card;
  const FORM_ITEM &Page = Row.Page;
  if (Page.Range.NumericFlags != EFI_IFR_NUMERIC_SIZE_1 || Page.OptionCount != Card.OptionCount ||
      Card.TooManyOptions) {
    Details.Text(" one-of flags 0x")
        .Hex(Page.Range.NumericFlags)
        .Text(", ")
        .Decimal(Page.OptionCount)
        .Text(" options, the card's ")
        .Decimal(Card.OptionCount);
    return false;
  }
  bool Ok = true;
  for (UINTN Index = 0; Index < Page.OptionCount; ++Index) {
    const ITEM_OPTION &P = Page.Options[Index];
    const ITEM_OPTION &C = Card.Options[Index];
    CHAR16 *PageText = StringOf(Road, Road.DriverHii, P.Text);
    CHAR16 *CardText = StringOf(Road, Road.CardHii, C.Text);
    const UINT8 Flags = C.Flags & (EFI_IFR_OPTION_DEFAULT | EFI_IFR_OPTION_DEFAULT_MFG);
    if (!TextEquals(PageText, CardText) || P.Value != (C.Value & 0xFF) || P.Flags != Flags ||
        P.Type != EFI_IFR_TYPE_NUM_SIZE_8) {
      Details.Text(" option ")
          .Quoted(PageText)
          .Text(" = ")
          .Decimal(P.Value)
          .Text(" flags 0x")
          .Hex(P.Flags)
          .Text(", the card's ")
          .Quoted(CardText)
          .Text(" = ")
          .Decimal(C.Value);
      Ok = false;
    }
    PoolFree(PageText);
    PoolFree(CardText);
  }
  return Ok;
}

bool BoundsMatch(const MIRROR &Row, ReportLine &Details) {
  const IFR_NUMERIC_RANGE &P = Row.Page.Range;
  const IFR_NUMERIC_RANGE &C = Row.Card.Range;
  const bool Ok = P.NumericFlags == C.NumericFlags && P.Minimum == C.Minimum && P.Maximum == C.Maximum &&
                  P.Step == C.Step;
  if (!Ok)
    Details.Text(" flags 0x")
        .Hex(P.NumericFlags)
        .Text(" ")
        .Decimal(P.Minimum)
        .Text("..")
        .Decimal(P.Maximum)
        .Text(" step ")
        .Decimal(P.Step)
        .Text(", the card's 0x")
        .Hex(C.NumericFlags)
        .Text(" ")
        .Decimal(C.Minimum)
        .Text("..")
        .Decimal(C.Maximum);
  return Ok;
}

bool StringSizesMatch(const MIRROR &Row, ReportLine &Details) {
  const FORM_ITEM &P = Row.Page;
  const FORM_ITEM &C = Row.Card;
  const UINT8 MaxSize = C.MaxSize == 0 ? NO_MAX_SIZE : C.MaxSize;
  const bool Ok = P.MinSize == C.MinSize && P.MaxSize == MaxSize &&
                  P.StringFlags == (C.StringFlags & EFI_IFR_STRING_MULTI_LINE);
  if (!Ok) Details.Text(" sizes ").Decimal(P.MinSize).Text("..").Decimal(P.MaxSize);
  return Ok;
}

bool TextTwoMatches(const ROAD &Road, const MIRROR &Row, ReportLine &Details) {
  CHAR16 *Card = StringOf(Road, Road.CardHii, Row.Card.TextTwo);
  CHAR16 *Page = StringOf(Road, Road.DriverHii, Row.Page.TextTwo);
  const bool Ok = TextEquals(Page, Card);
  if (!Ok) Details.Text(" second text ").Quoted(Page).Text(", the card's ").Quoted(Card);
  PoolFree(Card);
  PoolFree(Page);
  return Ok;
}

// ---- the page --------------------------------------------------------------------------------

// Pairs the page's statements with the card's, in order. True when the page
// holds exactly the expected statements.
bool PairRows(const ROAD &Road, const FORM_SECTION &Section, BUILT_PAGE *Page, ReportLine &Details) {
  bool Ok = Section.Count == ROAD_PAGE_ROWS && !Section.Overflow;
  if (!Ok) Details.Text(Section.Overflow ? "more than " : "").Decimal(Section.Count).Text(" statements; ");
  UINTN Keyword = Page->FirstKeyword;
  for (UINTN Index = 0; Index < ROAD_PAGE_ROWS; ++Index) {
    MIRROR &Row = Page->Rows[Index];
    Row = {};
    Row.Row = &ROAD_PAGE[Index];
    const bool Found = Row.Row->Kind == MirrorKind::Text
                           ? FindFirstText(Road.CardList.View(), &Row.Card)
                           : FindQuestion(Road.CardList.View(), Row.Row->CardQuestion, &Row.Card);
    if (HasKeyword(Row.Row->Kind)) KeywordText("CSPAC", Keyword++, 3, Row.Keyword);
    Row.Present = Found && Index < Section.Count;
    if (Row.Present) Row.Page = Section.Items[Index];
    if (!Row.Present || Row.Page.OpCode != ExpectedOpCode(Row.Row->Kind)) {
      Fault(&Ok, Details, Row, Found ? "another statement or none there" : "not in the card's own form set");
      Row.Present = false;
      if (Index < Section.Count) Details.Text(" (opcode 0x").Hex(Section.Items[Index].OpCode, 2).Text(")");
    }
  }
  return Ok;
}

struct ROW_CHECKS {
  bool Prompt = true, Help = true, Numbering = true, Keyword = true, Shape = true;
  ReportLine PromptDetails, HelpDetails, NumberingDetails, KeywordDetails, ShapeDetails;
};

// Notes a failed row and why in Details, and clears Ok.
void Note(bool *Ok, ReportLine &Details, const MIRROR &Row, const ReportLine &Why) {
  Fault(Ok, Details, Row, "");
  Details.Line(Why);
}

void CheckRows(const ROAD &Road, BUILT_PAGE *Page, ROW_CHECKS &Checks) {
  UINTN Keyword = Page->FirstKeyword;
  UINTN StringSlot = Page->FirstString;
  for (MIRROR &Row : Page->Rows) {
    const MirrorKind Kind = Row.Row->Kind;
    if (Row.Present) {
      ReportLine Prompt, Help, Numbering, Keywords, Shape;
      if (!PromptMatches(Road, Row, Prompt)) Note(&Checks.Prompt, Checks.PromptDetails, Row, Prompt);
      if (!HelpMatches(Road, Row, Help)) Note(&Checks.Help, Checks.HelpDetails, Row, Help);
      if (Kind != MirrorKind::Text && !NumberingMatches(Row, Keyword, StringSlot, Numbering))
        Note(&Checks.Numbering, Checks.NumberingDetails, Row, Numbering);
      if (HasKeyword(Kind) && !KeywordMatches(Road, Row, Keywords))
        Note(&Checks.Keyword, Checks.KeywordDetails, Row, Keywords);
      const bool ShapeOk = Kind == MirrorKind::OneOf     ? OptionsMatch(Road, Row, Shape)
                           : Kind == MirrorKind::Numeric ? BoundsMatch(Row, Shape)
                           : Kind == MirrorKind::String  ? StringSizesMatch(Row, Shape)
                                                         : TextTwoMatches(Road, Row, Shape);
      if (!ShapeOk) Note(&Checks.Shape, Checks.ShapeDetails, Row, Shape);
    }
    if (HasKeyword(Kind)) ++Keyword;
    if (Kind == MirrorKind::String) ++StringSlot;
  }
}

void CheckGoto(ROAD &Road, const EXPORTED_LIST &Driver, UINTN Slot) {
  const PAGE_SLOT S = PageSlot(Slot);
  auto *Main = static_cast<FORM_SECTION *>(PoolAllocZero(sizeof(FORM_SECTION)));
  const bool Read =
      Main != nullptr && ReadFormSection(Driver.View(), MAIN_FORM_ID, S.MainLabelStart, S.MainLabelEnd, Main);
  CHAR16 *Title = StringOf(Road, Road.DriverHii, S.Title);
  const FORM_ITEM *Goto = Read && Main->Found && Main->Count == 1 ? &Main->Items[0] : nullptr;
  const bool Ok = Goto != nullptr && Goto->OpCode == EFI_IFR_REF_OP &&
                  Goto->Question.QuestionId == S.FormId && Goto->RefFormId == S.FormId &&
                  Goto->Question.Prompt == S.Title && Goto->Question.Help == S.Title &&
                  Goto->Question.Flags == GOTO_FLAGS && Goto->Question.VarStoreId == 0 &&
                  TextEquals(Title, Road.CardTitle);
  ReportLine Details;
  Details.Text("region 0x").Hex(S.MainLabelStart, 4).Text(": ");
  if (Main == nullptr || !Read || !Main->Found) {
    Details.Text("labels not found");
  } else {
    Details.Decimal(Main->Count).Text(" statements");
    if (Main->Count > 0)
      Details.Text(", first opcode 0x")
          .Hex(Main->Items[0].OpCode, 2)
          .Text(" question 0x")
          .Hex(Main->Items[0].Question.QuestionId)
          .Text(" form 0x")
          .Hex(Main->Items[0].RefFormId)
          .Text(" prompt ")
          .Decimal(Main->Items[0].Question.Prompt)
          .Text(" flags 0x")
          .Hex(Main->Items[0].Question.Flags);
  }
  Details.Text("; title ").Quoted(Title);
  Road.Log->Record("road/the main page has a goto to the page, titled with the card's form-set title", Ok,
                   Details);
  PoolFree(Title);
  PoolFree(Main);
}

UINT8 CardStoreByteAt(const CARD_STORES &Stores, EFI_VARSTORE_ID Store, UINTN Offset, bool *Found) {
  *Found = true;
  if (Store == rc::BufferStoreId && Offset < sizeof(Stores.Buffer)) return Stores.Buffer[Offset];
  if (Store == rc::EfiStoreId && Offset < sizeof(Stores.Efi)) return Stores.Efi[Offset];
  *Found = false;
  return 0;
}

}  // namespace

// ---- output ------------------------------------------------------------------------------------

void AppendStatus(ReportLine &Line, EFI_STATUS Status) {
  const struct {
    EFI_STATUS Status;
    const CHAR8 *Name;
  } Names[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
      {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
      {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
      {EFI_NO_MEDIA, "EFI_NO_MEDIA"},
      {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
      {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
      {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
  };
  for (const auto &Known : Names)
    if (Known.Status == Status) {
      Line.Text(Known.Name);
      return;
    }
  Line.Status(Status);
}

void BeginStep(const CHAR8 *Title) {
  ReportLine Line;
  Line.Text("GROUP ").Text(Title).Emit();
}

ReportLine ShowLine() {
  ReportLine Line;
  Line.Text("SHOW ");
  return Line;
}

void AppendPadded(ReportLine &Line, const CHAR16 *Text, UINTN Width) {
  const UINTN Length = Text == nullptr ? 0 : Utf16Length(Text);
  Line.Utf16(Text == nullptr ? u"" : Text);
  for (UINTN Pad = Length; Pad < Width; ++Pad) Line.Text(" ");
}

void AppendPaddedAscii(ReportLine &Line, const CHAR8 *Text, UINTN Width) {
  const UINTN Length = AsciiLengthBounded(Text);
  Line.Text(Text);
  for (UINTN Pad = Length; Pad < Width; ++Pad) Line.Text(" ");
}

// ---- the card ---------------------------------------------------------------------------------

CARD_STORES ReadCardStores(const ROAD &Road) {
  CARD_STORES Stores = {};
  CHAR16 EfiName[32];
  RoadText Name;
  Name.Ascii(rc::EfiStoreName);
  CopyCut(EfiName, ArrayCount(EfiName), Name.Chars());
  Stores.Status = ReadBufferStore(Road.Services, rc::BufferStoreGuid, rc::BufferStoreName,
                                  Road.CardPath.Chars(), Stores.Buffer, sizeof(Stores.Buffer));
  if (!EFI_ERROR(Stores.Status))
    Stores.Status = ReadVariable(EfiName, rc::EfiStoreGuid, Stores.Efi, sizeof(Stores.Efi));
  return Stores;
}

bool CardByte(const CARD_STORES &Stores, const FORM_ITEM &Question, UINT8 *Value) {
  bool Found = false;
  *Value = CardStoreByteAt(Stores, Question.Question.VarStoreId, Question.Question.VarOffset, &Found);
  return Found;
}

// ---- pages ------------------------------------------------------------------------------------

bool ExportDriverList(ROAD &Road, EXPORTED_LIST *List) {
  const EFI_STATUS Status = ExportList(Road.Services, Road.DriverHii, List);
  if (EFI_ERROR(Status)) {
    ReportLine Details;
    Road.Log->Fail("road/the driver's package list exports",
                   Details.Text("ExportPackageLists gave ").Status(Status));
    return false;
  }
  return true;
}

bool CheckCardPage(ROAD &Road, const EXPORTED_LIST &Driver, UINTN Slot, UINTN FirstKeyword, UINTN FirstString,
                   BUILT_PAGE *Page) {
  *Page = {};
  Page->Slot = Slot;
  Page->FirstKeyword = FirstKeyword;
  Page->FirstString = FirstString;
  const PAGE_SLOT S = PageSlot(Slot);
  auto *Section = static_cast<FORM_SECTION *>(PoolAllocZero(sizeof(FORM_SECTION)));
  const bool Read = Section != nullptr &&
                    ReadFormSection(Driver.View(), S.FormId, S.PageLabelStart, S.PageLabelEnd, Section);
  ReportLine Details;
  Details.Text("form 0x").Hex(S.FormId, 4).Text(": ");
  if (!Read || !Section->Found) {
    Road.Log->Fail("road/the page's form and labels are in the driver's list",
                   Details.Text("not found or malformed"));
    PoolFree(Section);
    return false;
  }
  const bool Paired = PairRows(Road, *Section, Page, Details);
  Page->OpCodes = static_cast<UINT8 *>(PoolAllocCopy(Section->OpCodes.Size(), Section->OpCodes.Data()));
  Page->OpCodesSize = Page->OpCodes == nullptr ? 0 : Section->OpCodes.Size();
  PoolFree(Section);
  Road.Log->Record("road/the page holds the card's visible statements in the card's order, and nothing else",
                   Paired, Details);

  ROW_CHECKS Checks;
  CheckRows(Road, Page, Checks);
  Road.Log->Record("road/every prompt is the card's prompt with the location suffix", Checks.Prompt,
                   Checks.PromptDetails);
  Road.Log->Record("road/every help is the card's help", Checks.Help, Checks.HelpDetails);
  Road.Log->Record(
      "road/one-of and numeric questions take 0x100+n and OOB byte n, strings 0x800+s and STRING slot s; "
      "read-only only under the gray-out that holds",
      Checks.Numbering, Checks.NumberingDetails);
  Road.Log->Record("road/every one-of and numeric question carries its keyword CSPAC%03X in x-UEFI-QZV",
                   Checks.Keyword, Checks.KeywordDetails);
  Road.Log->Record("road/bounds, options, string sizes and the text's second line are the card's",
                   Checks.Shape, Checks.ShapeDetails);
  CheckGoto(Road, Driver, Slot);
  return true;
}

void CheckEmptySlot(ROAD &Road, const EXPORTED_LIST &Driver, UINTN Slot) {
  const PAGE_SLOT S = PageSlot(Slot);
  auto *Section = static_cast<FORM_SECTION *>(PoolAllocZero(sizeof(FORM_SECTION)));
  auto *Main = static_cast<FORM_SECTION *>(PoolAllocZero(sizeof(FORM_SECTION)));
  const bool Read = Section != nullptr && Main != nullptr &&
                    ReadFormSection(Driver.View(), S.FormId, S.PageLabelStart, S.PageLabelEnd, Section) &&
                    ReadFormSection(Driver.View(), MAIN_FORM_ID, S.MainLabelStart, S.MainLabelEnd, Main);
  CHAR16 *Title = StringOf(Road, Road.DriverHii, S.Title);
  const bool Ok = Read && Section->Found && Section->Count == 0 && Main->Found && Main->Count == 0 &&
                  Title != nullptr && Title[0] == 0;
  ReportLine Details;
  Details.Text("slot ").Decimal(Slot).Text(": ");
  if (Read)
    Details.Decimal(Section->Count)
        .Text(" statements on the page, ")
        .Decimal(Main->Count)
        .Text(" in the main page's region, ");
  Details.Text("title ").Quoted(Title);
  Road.Log->Record("road/no further page: the MAC: form set and the card of an unsupported model get none",
                   Ok, Details);
  PoolFree(Title);
  PoolFree(Main);
  PoolFree(Section);
}

void ShowPage(const ROAD &Road, const BUILT_PAGE &Page) {
  const PAGE_SLOT S = PageSlot(Page.Slot);
  ReportLine Head = ShowLine();
  Head.Text("Page 0x")
      .Hex(S.FormId, 4)
      .Text(" ")
      .Quoted(Road.CardTitle)
      .Text(", reached by a goto on the main page:");
  Head.Emit();
  for (const MIRROR &Row : Page.Rows) {
    ReportLine Line = ShowLine();
    Line.Text("  ");
    AppendPaddedAscii(Line, KindName(Row.Row->Kind), 9);
    if (!Row.Present) {
      Line.Text("(missing)").Emit();
      continue;
    }
    AppendPadded(Line, Row.Prompt, 34);
    AppendPadded(Line, Row.Keyword, 10);
    switch (Row.Row->Kind) {
      case MirrorKind::Text: {
        CHAR16 *Two = StringOf(Road, Road.DriverHii, Row.Page.TextTwo);
        Line.Utf16(Two);
        PoolFree(Two);
        break;
      }
      case MirrorKind::OneOf:
        for (UINTN Index = 0; Index < Row.Page.OptionCount; ++Index) {
          CHAR16 *Option = StringOf(Road, Road.DriverHii, Row.Page.Options[Index].Text);
          Line.Text(Index == 0 ? "" : " | ").Decimal(Row.Page.Options[Index].Value).Text(" ").Utf16(Option);
          PoolFree(Option);
        }
        break;
      case MirrorKind::Numeric:
        Line.Decimal(Row.Page.Range.Minimum).Text("..").Decimal(Row.Page.Range.Maximum);
        break;
      case MirrorKind::String:
        Line.Text("up to ").Decimal(Row.Page.MaxSize).Text(" characters");
        break;
    }
    if (Row.Row->ReadOnly) Line.Text("  (read-only)");
    Line.Emit();
  }
}

void FreeBuiltPage(BUILT_PAGE *Page) {
  PoolFree(Page->OpCodes);
  Page->OpCodes = nullptr;
  Page->OpCodesSize = 0;
}

bool PageUnchanged(const EXPORTED_LIST &Driver, const BUILT_PAGE &Page) {
  const PAGE_SLOT S = PageSlot(Page.Slot);
  auto *Section = static_cast<FORM_SECTION *>(PoolAllocZero(sizeof(FORM_SECTION)));
  const bool Same = Section != nullptr && Page.OpCodes != nullptr &&
                    ReadFormSection(Driver.View(), S.FormId, S.PageLabelStart, S.PageLabelEnd, Section) &&
                    Section->Found && Section->OpCodes.SameBytes(ByteView(Page.OpCodes, Page.OpCodesSize));
  PoolFree(Section);
  return Same;
}

const MIRROR *MirrorOf(const BUILT_PAGE &Page, EFI_QUESTION_ID CardQuestion) {
  for (const MIRROR &Row : Page.Rows)
    if (Row.Row != nullptr && Row.Row->CardQuestion == CardQuestion) return &Row;
  return nullptr;
}

// ---- keywords ------------------------------------------------------------------------------------

void CheckStaticKeywords(ROAD &Road) {
  ADDONCARD_PCI_ID_LIST List = {};
  const EFI_STATUS Read = ReadVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, &List, sizeof(List));
  bool Ok = Read == EFI_SUCCESS;
  ReportLine Details;
  ReportLine Show = ShowLine();
  Show.Text("Static keywords:");
  UINTN Zeros = 0;
  if (!Ok) Details.Text("the PCI list variable: ").Status(Read).Text("; ");
  for (UINTN Number = 0; Number < STATIC_KEYWORDS; ++Number) {
    CHAR16 Keyword[KEYWORD_CHARS];
    KeywordText("CSPACF", Number, 2, Keyword);
    const bool IsCount = Number == PAIR_COUNT_KEYWORD;
    const UINT64 Expected = IsCount ? List.PairCount
                            : Number < ADDONCARD_MAX_PCI_ID_PAIRS
                                ? List.VendorId[Number]
                                : List.DeviceId[Number - ADDONCARD_MAX_PCI_ID_PAIRS];
    KEYWORD_READING Reading = GetKeyword(Road.Services, Road.DriverPath.Chars(), Keyword);
    if (Reading.Status != EFI_SUCCESS || Reading.Digits != (IsCount ? BYTE_DIGITS : ID_DIGITS) ||
        Reading.Value != Expected) {
      Ok = false;
      Details.Utf16(Keyword)
          .Text(" gave ")
          .Status(Reading.Status)
          .Text(" ")
          .Quoted(Reading.Answer, 160)
          .Text(", expected ")
          .Hex(Expected)
          .Text("; ");
    }
    if (Reading.Status == EFI_SUCCESS && Reading.Value == 0) {
      ++Zeros;
    } else {
      Show.Text(" ").Utf16(Keyword).Text(" = ");
      if (Reading.Status == EFI_SUCCESS)
        Show.Hex(Reading.Value, Reading.Digits);
      else
        AppendStatus(Show, Reading.Status);
      Show.Text(",");
    }
    FreeReading(&Reading);
  }
  Show.Text(" the other ").Decimal(Zeros).Text(" read 0").Emit();
  Road.Log->Record("road/GetData of every static keyword, CSPACF00 to CSPACF14, answers the supported list",
                   Ok, Details);
}

void CheckPageKeywords(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Card, bool Show) {
  bool Ok = Card.Status == EFI_SUCCESS;
  bool ReadOnlyOk = true;
  ReportLine Details, ReadOnlyDetails;
  if (!Ok) Details.Text("the card's stores: ").Status(Card.Status).Text("; ");
  for (const MIRROR &Row : Page.Rows) {
    if (!HasKeyword(Row.Row->Kind)) continue;
    UINT8 Expected = 0;
    const bool Known = CardByte(Card, Row.Card, &Expected);
    KEYWORD_READING Reading = GetKeyword(Road.Services, Road.DriverPath.Chars(), Row.Keyword);
    if (!Known || Reading.Status != EFI_SUCCESS || Reading.Digits != BYTE_DIGITS ||
        Reading.Value != Expected) {
      Ok = false;
      Details.Utf16(Row.Keyword)
          .Text(" gave ")
          .Status(Reading.Status)
          .Text(" ")
          .Quoted(Reading.Answer, 160)
          .Text(", the card holds ")
          .Decimal(Expected)
          .Text("; ");
    }
    if (Row.Row->ReadOnly && !Reading.ReadOnly) {
      ReadOnlyOk = false;
      ReadOnlyDetails.Utf16(Row.Keyword).Text(" answered ").Quoted(Reading.Answer, 200);
    }
    if (Show) {
      ReportLine Line = ShowLine();
      Line.Text("  ");
      AppendPadded(Line, Row.Keyword, 10);
      AppendPadded(Line, Row.Prompt, 34);
      Line.Text("= ");
      if (Reading.Status == EFI_SUCCESS) {
        UINTN Digits = 1;
        for (UINT64 Rest = Reading.Value; Rest >= 10; Rest /= 10) ++Digits;
        Line.Decimal(Reading.Value);
        for (; Digits < 6; ++Digits) Line.Text(" ");
      } else {
        AppendStatus(Line, Reading.Status);
        Line.Text(" ");
      }
      Line.Text(Row.Card.Question.VarStoreId == sim::road_card::BufferStoreId ? "card: " : "card variable: ")
          .Text(Row.Card.Question.VarStoreId == sim::road_card::BufferStoreId ? rc::BufferStoreName
                                                                              : rc::EfiStoreName)
          .Text("[0x")
          .Hex(Row.Card.Question.VarOffset, 2)
          .Text("] = ")
          .Decimal(Expected);
      if (Reading.ReadOnly) Line.Text(", READONLY");
      Line.Emit();
    }
    FreeReading(&Reading);
  }
  Road.Log->Record("road/GetData of every mirrored keyword answers the card's value", Ok, Details);
  Road.Log->Record("road/the keyword of the grayed-out question answers READONLY", ReadOnlyOk,
                   ReadOnlyDetails);
}

void CheckPageString(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Card) {
  const MIRROR *Row = nullptr;
  for (const MIRROR &Candidate : Page.Rows)
    if (Candidate.Row->Kind == MirrorKind::String) Row = &Candidate;
  auto *Strings = static_cast<UINT8 *>(PoolAllocZero(ADDONCARD_STRING_VARSTORE_SIZE));
  const EFI_STATUS Status = Strings == nullptr
                                ? EFI_OUT_OF_RESOURCES
                                : ReadVariable(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID, Strings,
                                               ADDONCARD_STRING_VARSTORE_SIZE);
  bool Ok = Row != nullptr && Row->Present && Status == EFI_SUCCESS && Card.Status == EFI_SUCCESS;
  ReportLine Details;
  Details.Text("STRING variable ").Status(Status);
  if (Ok) {
    const UINTN Slot = Row->Page.Question.VarOffset;
    const UINTN CardOffset = Row->Card.Question.VarOffset;
    const UINTN MaxChars = Row->Card.MaxSize;
    CHAR16 Mirrored[256] = {};
    CHAR16 Original[256] = {};
    for (UINTN Index = 0; Index < MaxChars && Index < 255; ++Index) {
      if (Slot + 2 * Index + 1 < ADDONCARD_STRING_VARSTORE_SIZE)
        Mirrored[Index] = static_cast<CHAR16>(ReadLe16(Strings + Slot + 2 * Index));
      if (CardOffset + 2 * Index + 1 < sizeof(Card.Buffer))
        Original[Index] = static_cast<CHAR16>(ReadLe16(Card.Buffer + CardOffset + 2 * Index));
    }
    Ok = TextEquals(Mirrored, Original) && Original[0] != 0;
    Details.Text(", slot at ")
        .Decimal(Slot)
        .Text(" ")
        .Quoted(Mirrored)
        .Text(", the card's ")
        .Quoted(Original);
  }
  Road.Log->Record("road/the STRING store slot of the mirrored string holds the card's string", Ok, Details);
  PoolFree(Strings);
}

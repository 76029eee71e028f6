#include "driver/card_pages.h"

#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/foreign_varstore.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"

namespace {

// Values a mirrored one-of or numeric can hold: its one byte of the OOB store.
constexpr UINT64 OOB_BYTE_MAX = 0xFF;
constexpr UINTN STRING_MAX_SIZE_AT = __builtin_offsetof(EFI_IFR_STRING, MaxSize);
constexpr UINTN STRING_MIN_SIZE_AT = __builtin_offsetof(EFI_IFR_STRING, MinSize);
constexpr UINTN STRING_FLAGS_AT = __builtin_offsetof(EFI_IFR_STRING, Flags);
constexpr UINTN ONE_OF_FLAGS_AT = __builtin_offsetof(EFI_IFR_ONE_OF, Flags);
constexpr UINTN OPTION_TEXT_AT = __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Option);
constexpr UINTN OPTION_FLAGS_AT = __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Flags);
constexpr UINTN OPTION_TYPE_AT = __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Type);
constexpr UINTN OPTION_VALUE_AT = __builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value);
constexpr UINTN EQ_ID_VAL_QUESTION_AT = __builtin_offsetof(EFI_IFR_EQ_ID_VAL, QuestionId);
constexpr UINTN EQ_ID_VAL_VALUE_AT = __builtin_offsetof(EFI_IFR_EQ_ID_VAL, Value);
constexpr UINTN TEXT_PROMPT_AT = __builtin_offsetof(EFI_IFR_TEXT, Statement);
constexpr UINTN TEXT_HELP_AT = TEXT_PROMPT_AT + sizeof(EFI_STRING_ID);
constexpr UINTN TEXT_TEXT_TWO_AT = __builtin_offsetof(EFI_IFR_TEXT, TextTwo);
constexpr UINTN CONDITION_STACK_ENTRIES = 16;

// ---- one page build ------------------------------------------------------------------

// The pool blocks of one build: the snapshot the conditions read and the two
// variable records the mirrored questions fill (about 43 KiB together).
struct PAGE_WORK {
  QUESTION_SNAPSHOT QuestionSnapshot;
  ADDONCARD_OOB_SLOTS Oob;
  ADDONCARD_STRING_SLOTS Strings;
};

struct PAGE_BUILD {
  EFI_HII_HANDLE Card;
  PAGE_WORK *Work;
  CHAR16 Location[CARD_LOCATION_TEXT_BYTES / sizeof(CHAR16)];
  OpCodeBuffer *Start;  // the card page: its start label, then the mirrored opcodes
  OpCodeBuffer *End;
  OpCodeBuffer *GotoStart;  // the main page's region: its start label and the goto
  OpCodeBuffer *GotoEnd;
};

// The counters as a build found them, to go back to when it fails.
struct MIRROR_COUNTERS {
  UINT16 Questions;
  UINT16 OobSlots;
  UINT16 Keywords;
  UINT16 StringSlots;
};

MIRROR_COUNTERS SaveCounters() {
  return {MirroredQuestionCount, OobSlotCount, KeywordCount, StringSlotCount};
}

// Forgets the questions a failed build recorded: none of them reached a page.
void RestoreCounters(const MIRROR_COUNTERS &Saved) {
  for (UINTN Index = Saved.Questions; Index < MirroredQuestionCount && Index < MIRRORED_QUESTION_LIMIT;
       ++Index)
    MirroredQuestionTable[Index] = {};
  MirroredQuestionCount = Saved.Questions;
  OobSlotCount = Saved.OobSlots;
  KeywordCount = Saved.Keywords;
  StringSlotCount = Saved.StringSlots;
}

void ResetMirroredQuestions() {
  ZeroBytes(MirroredQuestionTable, sizeof(MirroredQuestionTable));
  RestoreCounters({0, 0, 0, 0});
}

// ---- walk state -------------------------------------------------------------------------

enum class ScopeKind : UINT8 { Other, SuppressIf, GrayOutIf };

struct OPEN_SCOPE {
  ScopeKind Kind;
  bool Condition;  // of a suppress-if or gray-out-if
};

// The scopes open at the cursor of one forms package, innermost last.
struct WALK_STATE {
  OPEN_SCOPE Scopes[MIRROR_SCOPE_LIMIT];
  UINTN Depth;
};

// A card opcode is hidden while any enclosing suppress-if holds.
bool Hidden(const WALK_STATE &Walk) {
  for (UINTN Index = 0; Index < Walk.Depth; ++Index)
    if (Walk.Scopes[Index].Kind == ScopeKind::SuppressIf && Walk.Scopes[Index].Condition) return true;
  return false;
}

// A question is grayed out when the innermost gray-out-if holds.
bool GrayedOut(const WALK_STATE &Walk) {
  for (UINTN Index = Walk.Depth; Index > 0; --Index)
    if (Walk.Scopes[Index - 1].Kind == ScopeKind::GrayOutIf) return Walk.Scopes[Index - 1].Condition;
  return false;
}

// Steps onto the opcode at the cursor, entering its scope when it has one. A
// scope that would be one more than the walk keeps track of is skipped whole
// instead: its content is not shown.
void StepInto(WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op, ScopeKind Kind, bool Condition) {
  if (!Op.Scope()) {
    Cursor.Step();
    return;
  }
  if (Walk.Depth == MIRROR_SCOPE_LIMIT) {
    SkipScope(Cursor);
    return;
  }
  Cursor.Step();
  Walk.Scopes[Walk.Depth++] = {Kind, Condition};
}

// ---- strings ---------------------------------------------------------------------------

// A string of the card in its best language; null when it has none (id 0) or
// it cannot be read. The caller frees it.
CHAR16 *CardText(const PAGE_BUILD &Build, EFI_STRING_ID Id) {
  return Id == 0 ? nullptr : GetStringInBestLanguage(Build.Card, Id);
}

bool IsEmpty(const CHAR16 *Text) { return Text == nullptr || Text[0] == 0; }

// A new string of the driver's list in its display languages. The keyword
// namespace gets only the empty string the database reserves at the new id:
// card texts there could pass for keywords (the first string with a keyword's
// text wins).
EFI_STRING_ID NewDisplayString(const CHAR16 *Text) { return SetStringInLanguages(0, Text, nullptr); }

// "<card prompt> (<location>)", cut to 49 characters.
EFI_STRING_ID NewPromptString(const PAGE_BUILD &Build, const CHAR16 *CardPrompt) {
  CHAR16 Prompt[MIRRORED_PROMPT_BYTES / sizeof(CHAR16)];
  FormatUtf16(Prompt, sizeof(Prompt), u"%s (%s)", CardPrompt, Build.Location);
  return NewDisplayString(Prompt);
}

// The card's help text as a new string; the empty string when it has none.
EFI_STRING_ID NewHelpString(const PAGE_BUILD &Build, EFI_STRING_ID CardHelp) {
  CHAR16 *Text = CardText(Build, CardHelp);
  const EFI_STRING_ID Id = IsEmpty(Text) ? 0 : NewDisplayString(Text);
  PoolFree(Text);
  return Id == 0 ? STR_EMPTY : Id;
}

// The card's text of Id as a new string; 0 when the card gives none.
EFI_STRING_ID CopyCardString(const PAGE_BUILD &Build, EFI_STRING_ID CardId) {
  CHAR16 *Text = CardText(Build, CardId);
  const EFI_STRING_ID Id = Text == nullptr ? 0 : NewDisplayString(Text);
  PoolFree(Text);
  return Id;
}

// Gives the prompt PromptId the next keyword: its text in the keyword
// namespace. The static string 29 carries "CSPAC000" there, and the platform's
// keyword handler takes the first string with a keyword's text, so it is
// emptied before keyword 0 is given out. False when that cannot be done: the
// question is then not mirrored. A keyword that cannot be written is not
// reported; the question stays reachable through the form and the router.
bool GiveKeyword(EFI_STRING_ID PromptId, CHAR16 (&Keyword)[MIRRORED_KEYWORD_CHARS]) {
  if (KeywordCount == 0 &&
      SetStringInLanguages(STR_KEYWORD_PLACEHOLDER, u"", ADDONCARD_KEYWORD_LANGUAGE) == 0)
    return false;
  CHAR16 Text[MIRRORED_KEYWORD_BYTES / sizeof(CHAR16)];
  FormatUtf16(Text, sizeof(Text), u"CSPAC%03X", static_cast<UINT32>(KeywordCount));
  SetStringInLanguages(PromptId, Text, ADDONCARD_KEYWORD_LANGUAGE);
  ZeroBytes(Keyword, sizeof(Keyword));
  Utf16CopyChecked(Keyword, MIRRORED_KEYWORD_CHARS, Text);
  return true;
}

// ---- one-of and numeric ----------------------------------------------------------------

// A card one-of or numeric about to be mirrored.
struct RANGED_QUESTION {
  UINT8 OpCode;
  IFR_QUESTION_FIELDS Card;
  UINT8 CardFlags;  // one-of or numeric flags: size and display bits
  UINT64 Value;     // the card's current value, 0 when it cannot be read
  UINT8 ReadOnly;   // MIRRORED_* bits
};

// True when the card question's bytes lie inside a store registered for the
// card: the only place a changed value can be written back to.
bool CardStoreHolds(const PAGE_BUILD &Build, const IFR_QUESTION_FIELDS &Card, UINTN Width) {
  const VARSTORE_RECORD *Store = FindVarStore(Build.Card, Card.VarStoreId);
  return Store != nullptr && Card.VarOffset <= Store->Size && Width <= Store->Size - Card.VarOffset;
}

// Reads what every mirrored one-of or numeric needs; false for an opcode too
// short for its fields.
bool ReadRangedQuestion(const PAGE_BUILD &Build, const IfrOpCode &Op, RANGED_QUESTION *Question) {
  RANGED_QUESTION Read = {};
  if (!ReadQuestionFields(Op, &Read.Card) || !Op.Read8(ONE_OF_FLAGS_AT, &Read.CardFlags)) return false;
  Read.OpCode = Op.Code();
  if (EFI_ERROR(ReadQuestionValue(Build.Card, Op, &Read.Value))) Read.Value = 0;
  if ((Read.Card.Flags & EFI_IFR_FLAG_READ_ONLY) != 0) Read.ReadOnly |= MIRRORED_CARD_READ_ONLY;
  // An edit the apply path could never write back is not offered.
  if (!CardStoreHolds(Build, Read.Card, IfrNumericWidth(Read.CardFlags)))
    Read.ReadOnly |= MIRRORED_NO_CARD_STORE;
  if (Read.Value > OOB_BYTE_MAX) Read.ReadOnly |= MIRRORED_WIDE_VALUE;
  *Question = Read;
  return true;
}

bool RoomForRangedQuestion() {
  return MirroredQuestionCount < MIRRORED_QUESTION_LIMIT && OobSlotCount < OOB_SLOT_LIMIT;
}

// The mirrored question's own header: the next question id and OOB byte.
IFR_QUESTION_FIELDS MirroredFields(EFI_STRING_ID Prompt, EFI_STRING_ID Help, bool ReadOnly) {
  return {Prompt,
          Help,
          static_cast<EFI_QUESTION_ID>(MIRRORED_QUESTION_ID_BASE + MirroredQuestionCount),
          ADDONCARD_OOB_VARSTORE_ID,
          OobSlotCount,
          static_cast<UINT8>(MIRRORED_QUESTION_FLAGS | (ReadOnly ? EFI_IFR_FLAG_READ_ONLY : 0))};
}

// Records the question just emitted and gives it its OOB byte, seeded with the
// low byte of the card's value.
void RecordRangedQuestion(PAGE_BUILD &Build, const RANGED_QUESTION &Question,
                          const CHAR16 (&Keyword)[MIRRORED_KEYWORD_CHARS]) {
  MIRRORED_QUESTION &Record = MirroredQuestionTable[MirroredQuestionCount];
  Record = {};
  Record.CardHiiHandle = Build.Card;
  Record.CardVarStoreId = Question.Card.VarStoreId;
  CopyBytes(Record.Keyword, Keyword, sizeof(Record.Keyword));
  Record.CardVarOffset = Question.Card.VarOffset;
  Record.OobSlot = OobSlotCount;
  Record.OpCode = Question.OpCode;
  Record.CardFlags = Question.CardFlags;
  Record.CardWidth = IfrNumericWidth(Question.CardFlags);
  Record.BuildValue = static_cast<UINT8>(Question.Value);
  Record.ReadOnly = Question.ReadOnly;
  Build.Work->Oob.Slot[OobSlotCount] = static_cast<UINT8>(Question.Value);
  ++MirroredQuestionCount;
  ++OobSlotCount;
  ++KeywordCount;
}

// The strings of a mirrored one-of or numeric: prompt, keyword and help. False
// when the prompt or the keyword cannot be given: the question is then not
// mirrored.
bool NewRangedQuestionStrings(const PAGE_BUILD &Build, const CHAR16 *CardPrompt, EFI_STRING_ID CardHelp,
                              EFI_STRING_ID *Prompt, EFI_STRING_ID *Help,
                              CHAR16 (&Keyword)[MIRRORED_KEYWORD_CHARS]) {
  *Prompt = NewPromptString(Build, CardPrompt);
  if (*Prompt == 0 || !GiveKeyword(*Prompt, Keyword)) return false;
  *Help = NewHelpString(Build, CardHelp);
  return true;
}

// A numeric stores one byte. Its bounds are the card's when they and the
// value fit that byte; otherwise the question is read-only and shows 0 to 255,
// which holds whatever low byte it was seeded with, so the browser never sees
// its value out of bounds.
IFR_NUMERIC_RANGE OneByteRange(const IFR_NUMERIC_RANGE &Card, bool Wide) {
  const UINT8 Flags = static_cast<UINT8>(EFI_IFR_NUMERIC_SIZE_1 | (Card.NumericFlags & EFI_IFR_DISPLAY));
  if (Wide) return {Flags, 0, OOB_BYTE_MAX, 1};
  return {Flags, Card.Minimum, Card.Maximum, Card.Step};
}

void MirrorNumeric(PAGE_BUILD &Build, const WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op) {
  RANGED_QUESTION Question;
  IFR_NUMERIC_RANGE Range = {};
  if (!RoomForRangedQuestion() || !ReadRangedQuestion(Build, Op, &Question) ||
      !GetNumericBounds(Op, &Range.Maximum, &Range.Minimum, &Range.Step)) {
    SkipScope(Cursor);
    return;
  }
  Range.NumericFlags = Question.CardFlags;
  if (Range.Minimum > OOB_BYTE_MAX || Range.Maximum > OOB_BYTE_MAX || Range.Step > OOB_BYTE_MAX)
    Question.ReadOnly |= MIRRORED_WIDE_VALUE;
  CHAR16 *CardPrompt = CardText(Build, Question.Card.Prompt);
  // Its defaults and END go with it; a scope that does not close ends the walk.
  const bool Whole = SkipScope(Cursor);
  EFI_STRING_ID Prompt = 0, Help = 0;
  CHAR16 Keyword[MIRRORED_KEYWORD_CHARS];
  if (Whole && !IsEmpty(CardPrompt) &&
      NewRangedQuestionStrings(Build, CardPrompt, Question.Card.Help, &Prompt, &Help, Keyword)) {
    if (GrayedOut(Walk)) Question.ReadOnly |= MIRRORED_GRAYED_OUT;
    EmitNumeric(Build.Start, MirroredFields(Prompt, Help, Question.ReadOnly != 0),
                OneByteRange(Range, (Question.ReadOnly & MIRRORED_WIDE_VALUE) != 0));
    RecordRangedQuestion(Build, Question, Keyword);
  }
  PoolFree(CardPrompt);
}

// Adds one card option to Options: its text, its default flags and the low
// byte of its value. An option whose text cannot be read, or whose value has
// no fixed width, is dropped. A value above one byte makes the question wide.
void AddCardOption(const PAGE_BUILD &Build, const IfrOpCode &Option, OpCodeBuffer *Options,
                   RANGED_QUESTION *Question) {
  UINT16 TextId = 0;
  UINT8 Flags = 0, Type = 0;
  UINT64 Value = 0;
  if (!Option.Read16(OPTION_TEXT_AT, &TextId) || !Option.Read8(OPTION_FLAGS_AT, &Flags) ||
      !Option.Read8(OPTION_TYPE_AT, &Type) || IfrValueWidth(Type) == 0 ||
      IfrValueWidth(Type) > sizeof(UINT64) || !Option.ReadValue(OPTION_VALUE_AT, IfrValueWidth(Type), &Value))
    return;
  CHAR16 *CardOption = CardText(Build, TextId);
  if (CardOption == nullptr) return;
  CHAR16 Text[MIRRORED_OPTION_BYTES / sizeof(CHAR16)];
  FormatUtf16(Text, sizeof(Text), u"%s", CardOption);
  PoolFree(CardOption);
  const EFI_STRING_ID Id = NewDisplayString(Text);
  if (Id == 0) return;
  // Distinct values that fit a byte never share their low byte, so this also
  // catches options that would collide in the OOB byte.
  if (Value > OOB_BYTE_MAX) Question->ReadOnly |= MIRRORED_WIDE_VALUE;
  EmitOneOfOption(Options, Id, Flags, static_cast<UINT8>(Value));
}

// An EFI_IFR_VALUE gives the question its value by an expression; the mirror
// shows the current value as the one option, in decimal.
void AddCurrentValueOption(OpCodeBuffer *Options, const RANGED_QUESTION &Question) {
  CHAR16 Text[MIRRORED_OPTION_BYTES / sizeof(CHAR16)];
  FormatUtf16(Text, sizeof(Text), u"%d", static_cast<UINT32>(Question.Value & OOB_BYTE_MAX));
  const EFI_STRING_ID Id = NewDisplayString(Text);
  if (Id != 0) EmitOneOfOption(Options, Id, 0, static_cast<UINT8>(Question.Value));
}

void AddOption(const PAGE_BUILD &Build, IfrCursor &Cursor, const IfrOpCode &Op, OpCodeBuffer *Options,
               RANGED_QUESTION *Question) {
  if (Op.Code() == EFI_IFR_ONE_OF_OPTION_OP) AddCardOption(Build, Op, Options, Question);
  if (Op.Code() == EFI_IFR_VALUE_OP) AddCurrentValueOption(Options, *Question);
  // An option's or a value's own scope (the value's expression) goes with it.
  SkipScope(Cursor);
}

// Consumes the one-of at the cursor with its options: those inside its scope,
// at any depth, or, for a one-of without scope, the options, values and
// defaults right after it. False when its scope does not close.
bool CollectOptions(const PAGE_BUILD &Build, IfrCursor &Cursor, const IfrOpCode &OneOf, OpCodeBuffer *Options,
                    RANGED_QUESTION *Question) {
  const UINTN Outer = Cursor.Depth();
  Cursor.Step();
  IfrOpCode Op;
  if (!OneOf.Scope()) {
    while (Cursor.Peek(&Op) && (Op.Code() == EFI_IFR_ONE_OF_OPTION_OP || Op.Code() == EFI_IFR_VALUE_OP ||
                                Op.Code() == EFI_IFR_DEFAULT_OP))
      AddOption(Build, Cursor, Op, Options, Question);
    return Cursor.Status() == IfrReadStatus::Ok;
  }
  while (Cursor.Depth() > Outer) {
    if (!Cursor.Peek(&Op)) return false;
    if (Op.Code() == EFI_IFR_ONE_OF_OPTION_OP || Op.Code() == EFI_IFR_VALUE_OP)
      AddOption(Build, Cursor, Op, Options, Question);
    else
      Cursor.Step();
  }
  return true;
}

void MirrorOneOf(PAGE_BUILD &Build, const WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op) {
  RANGED_QUESTION Question;
  OpCodeBuffer *Options = nullptr;
  if (!RoomForRangedQuestion() || !ReadRangedQuestion(Build, Op, &Question) ||
      (Options = OpCodeBufferNew()) == nullptr) {
    SkipScope(Cursor);
    return;
  }
  CHAR16 *CardPrompt = CardText(Build, Question.Card.Prompt);
  if (IsEmpty(CardPrompt)) {
    SkipScope(Cursor);
  } else if (CollectOptions(Build, Cursor, Op, Options, &Question)) {
    EFI_STRING_ID Prompt = 0, Help = 0;
    CHAR16 Keyword[MIRRORED_KEYWORD_CHARS];
    if (NewRangedQuestionStrings(Build, CardPrompt, Question.Card.Help, &Prompt, &Help, Keyword)) {
      if (GrayedOut(Walk)) Question.ReadOnly |= MIRRORED_GRAYED_OUT;
      EmitOneOf(Build.Start, MirroredFields(Prompt, Help, Question.ReadOnly != 0), Options);
      RecordRangedQuestion(Build, Question, Keyword);
    }
  }
  PoolFree(CardPrompt);
  OpCodeBufferFree(Options);
}

// ---- strings and texts ---------------------------------------------------------------------

void MirrorString(PAGE_BUILD &Build, const WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op) {
  IFR_QUESTION_FIELDS Card;
  UINT8 MinSize = 0, MaxSize = 0, Flags = 0;
  if (StringSlotCount >= STRING_SLOT_LIMIT || !ReadQuestionFields(Op, &Card) || !Op.HasFixedFields() ||
      !Op.Read8(STRING_MIN_SIZE_AT, &MinSize) || !Op.Read8(STRING_MAX_SIZE_AT, &MaxSize) ||
      !Op.Read8(STRING_FLAGS_AT, &Flags)) {
    SkipScope(Cursor);
    return;
  }
  CHAR16 *CardPrompt = CardText(Build, Card.Prompt);
  CHAR16 Value[QUESTION_STRING_CHARS + 1];
  if (EFI_ERROR(ReadQuestionString(Build.Card, Op, Value))) ZeroBytes(Value, sizeof(Value));
  const EFI_STRING_ID Prompt =
      SkipScope(Cursor) && !IsEmpty(CardPrompt) ? NewPromptString(Build, CardPrompt) : 0;
  PoolFree(CardPrompt);
  if (Prompt == 0) return;

  const UINT16 Slot = StringSlotCount;
  const bool ReadOnly = GrayedOut(Walk) || (Card.Flags & EFI_IFR_FLAG_READ_ONLY) != 0;
  const IFR_QUESTION_FIELDS Mirrored = {
      Prompt,
      NewHelpString(Build, Card.Help),
      static_cast<EFI_QUESTION_ID>(MIRRORED_STRING_ID_BASE + Slot),
      ADDONCARD_STRING_VARSTORE_ID,
      static_cast<UINT16>(Slot * ADDONCARD_STRING_SLOT_BYTES),
      static_cast<UINT8>(MIRRORED_QUESTION_FLAGS | (ReadOnly ? EFI_IFR_FLAG_READ_ONLY : 0))};
  EmitString(Build.Start, Mirrored, MinSize, MaxSize == 0 ? QUESTION_STRING_CHARS : MaxSize,
             Flags & EFI_IFR_STRING_MULTI_LINE);
  CHAR16 *SlotText = Build.Work->Strings.Slot[Slot];
  ZeroBytes(SlotText, ADDONCARD_STRING_SLOT_BYTES);
  Utf16CopyChecked(SlotText, QUESTION_STRING_CHARS + 1, Value);
  ++StringSlotCount;
}

void MirrorText(PAGE_BUILD &Build, IfrCursor &Cursor, const IfrOpCode &Op) {
  UINT16 PromptId = 0, HelpId = 0, TextTwoId = 0;
  const bool Readable = Op.HasFixedFields() && Op.Read16(TEXT_PROMPT_AT, &PromptId) &&
                        Op.Read16(TEXT_HELP_AT, &HelpId) && Op.Read16(TEXT_TEXT_TWO_AT, &TextTwoId);
  CHAR16 *CardPrompt = Readable ? CardText(Build, PromptId) : nullptr;
  const EFI_STRING_ID Prompt =
      SkipScope(Cursor) && !IsEmpty(CardPrompt) ? NewPromptString(Build, CardPrompt) : 0;
  PoolFree(CardPrompt);
  if (Prompt == 0) return;
  const EFI_STRING_ID TextTwo = CopyCardString(Build, TextTwoId);
  EmitText(Build.Start, Prompt, NewHelpString(Build, HelpId), TextTwo);
}

// ---- the walk ---------------------------------------------------------------------------

// A suppress-if or gray-out-if: its condition is evaluated (also inside hidden
// content, where it only keeps the scopes in step) and kept for its scope.
void OpenCondition(PAGE_BUILD &Build, WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op) {
  const ScopeKind Kind = Op.Code() == EFI_IFR_SUPPRESS_IF_OP ? ScopeKind::SuppressIf : ScopeKind::GrayOutIf;
  if (!Op.Scope() || Walk.Depth == MIRROR_SCOPE_LIMIT) {
    // Guarding nothing, it is stepped past; one scope too deep, it is skipped
    // whole with what it guards.
    StepInto(Walk, Cursor, Op, Kind, true);
    return;
  }
  Cursor.Step();
  const bool Condition = EvaluateCondition(Cursor, &Build.Work->QuestionSnapshot);
  Walk.Scopes[Walk.Depth++] = {Kind, Condition};
}

// Opcodes skipped with their scope: what they hold belongs to something that
// is not mirrored.
bool SkippedWithScope(UINT8 OpCode) {
  switch (OpCode) {
    case EFI_IFR_ONE_OF_OPTION_OP:
    case EFI_IFR_RULE_OP:
    case EFI_IFR_VERSION_OP:
    case EFI_IFR_RULE_REF_OP:
    case EFI_IFR_VALUE_OP:
    case EFI_IFR_DEFAULT_OP:
    case EFI_IFR_DEFAULTSTORE_OP:
    case EFI_IFR_FORM_MAP_OP:
    case EFI_IFR_GUID_OP:
      return true;
    default:
      return false;
  }
}

void HandleOpCode(PAGE_BUILD &Build, WALK_STATE &Walk, IfrCursor &Cursor, const IfrOpCode &Op) {
  switch (Op.Code()) {
    case EFI_IFR_END_OP:
      Cursor.Step();
      if (Walk.Depth > 0) --Walk.Depth;
      return;
    case EFI_IFR_SUPPRESS_IF_OP:
    case EFI_IFR_GRAY_OUT_IF_OP:
      OpenCondition(Build, Walk, Cursor, Op);
      return;
    default:
      break;
  }
  if (Hidden(Walk) || SkippedWithScope(Op.Code())) {
    SkipScope(Cursor);
    return;
  }
  switch (Op.Code()) {
    case EFI_IFR_NUMERIC_OP:
      return MirrorNumeric(Build, Walk, Cursor, Op);
    case EFI_IFR_ONE_OF_OP:
      return MirrorOneOf(Build, Walk, Cursor, Op);
    case EFI_IFR_STRING_OP:
      return MirrorString(Build, Walk, Cursor, Op);
    case EFI_IFR_TEXT_OP:
      return MirrorText(Build, Cursor, Op);
    case EFI_IFR_VARSTORE_OP:
    case EFI_IFR_VARSTORE_EFI_OP:
      RecordVarStoreOpcode(Build.Card, Op);
      break;
    default:
      break;
  }
  // Form sets, forms and everything not shown (checkboxes, passwords, dates,
  // gotos, disable-if, ...): their scopes are walked as if they were not there.
  StepInto(Walk, Cursor, Op, ScopeKind::Other, false);
}

// Mirrors every forms package of the card's list. A malformed opcode (a
// length of 0 or 1, or one that runs past its package) ends the walk of its
// package: what was mirrored before it stays, nothing after it is read.
void WalkCardForms(PAGE_BUILD &Build, ByteView List) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    WALK_STATE Walk = {};
    for (IfrOpCode Op; Cursor.Peek(&Op);) HandleOpCode(Build, Walk, Cursor, Op);
  }
}

// ---- condition evaluation --------------------------------------------------------------

struct CONDITION_STACK {
  bool Values[CONDITION_STACK_ENTRIES];
  UINTN Count;
};

bool Push(CONDITION_STACK &Stack, bool Value) {
  if (Stack.Count == CONDITION_STACK_ENTRIES) return false;
  Stack.Values[Stack.Count++] = Value;
  return true;
}

// Applies one expression opcode; false when it is not understood or finds too
// few operands.
bool Apply(CONDITION_STACK &Stack, const IfrOpCode &Op, const QUESTION_SNAPSHOT *Snapshot) {
  UINT16 QuestionId = 0, Value = 0;
  switch (Op.Code()) {
    case EFI_IFR_EQ_ID_VAL_OP:
      if (!Op.HasFixedFields() || !Op.Read16(EQ_ID_VAL_QUESTION_AT, &QuestionId) ||
          !Op.Read16(EQ_ID_VAL_VALUE_AT, &Value))
        return false;
      return Push(Stack, static_cast<UINT16>(SnapshotValue(Snapshot, QuestionId)) == Value);
    case EFI_IFR_TRUE_OP:
      return Push(Stack, true);
    case EFI_IFR_FALSE_OP:
      return Push(Stack, false);
    case EFI_IFR_NOT_OP:
      if (Stack.Count < 1) return false;
      Stack.Values[Stack.Count - 1] = !Stack.Values[Stack.Count - 1];
      return true;
    case EFI_IFR_AND_OP:
    case EFI_IFR_OR_OP: {
      if (Stack.Count < 2) return false;
      const bool Right = Stack.Values[--Stack.Count];
      bool &Left = Stack.Values[Stack.Count - 1];
      Left = Op.Code() == EFI_IFR_AND_OP ? (Left && Right) : (Left || Right);
      return true;
    }
    default:
      return false;
  }
}

// ---- committing a page -------------------------------------------------------------------

void FreeBuffers(PAGE_BUILD &Build) {
  OpCodeBufferFree(Build.Start);
  OpCodeBufferFree(Build.End);
  OpCodeBufferFree(Build.GotoStart);
  OpCodeBufferFree(Build.GotoEnd);
  Build.Start = Build.End = Build.GotoStart = Build.GotoEnd = nullptr;
}

// The card page's label buffers, and the main page's region holding the goto
// to the page: prompt and help are the page's title.
EFI_STATUS CreatePageBuffers(PAGE_BUILD &Build, UINTN Slot) {
  const CARD_PAGE_SLOT &Page = CardPageTable[Slot];
  const MAIN_FORM_LABELS &Region = MainFormLabelTable[Slot];
  if (EFI_ERROR(CreateLabelBuffers(&Build.Start, &Build.End, Page.LabelStart, Page.LabelEnd)) ||
      EFI_ERROR(CreateLabelBuffers(&Build.GotoStart, &Build.GotoEnd, Region.LabelStart, Region.LabelEnd)))
    return EFI_INVALID_PARAMETER;
  EmitRef(Build.GotoStart, {Page.TitleStringId, Page.TitleStringId, Page.FormId, 0, 0, EFI_IFR_FLAG_CALLBACK},
          Page.FormId);
  return OpCodeBufferStatus(Build.GotoStart);
}

EFI_STATUS WriteVolatileVariable(const CHAR16 *Name, UINTN Size, void *Record) {
  if (RuntimeServices == nullptr) return EFI_NOT_READY;
  return RuntimeServices->SetVariable(Name, &ADDONCARD_FORMSET_GUID, ADDONCARD_VOLATILE_VAR_ATTRIBUTES, Size,
                                      Record);
}

// The variables first: a page whose questions reached the database before
// their build values reached the OOB variable would have those values taken
// for changes and written into the card. Then the page and its goto, in one
// update, so that neither is there without the other.
EFI_STATUS CommitPage(PAGE_BUILD &Build, UINTN Slot) {
  EFI_STATUS Status = WriteVolatileVariable(TLX_ADDONCARD_OOB_VAR, sizeof(Build.Work->Oob), &Build.Work->Oob);
  if (!EFI_ERROR(Status))
    Status =
        WriteVolatileVariable(TLX_ADDONCARD_STRING_VAR, sizeof(Build.Work->Strings), &Build.Work->Strings);
  if (EFI_ERROR(Status)) return Status;
  const FORM_SECTION_UPDATE Sections[] = {{CardPageTable[Slot].FormId, Build.Start, Build.End},
                                          {ADDONCARD_MAIN_FORM_ID, Build.GotoStart, Build.GotoEnd}};
  Status = UpdateFormSections(Sections, ArrayCount(Sections));
  if (EFI_ERROR(Status)) return Status;
  // The browser's copy follows the variables; a browser that refuses them
  // reads them again when it opens the form set.
  PublishOobVar(&Build.Work->Oob);
  PublishStringVar(&Build.Work->Strings);
  return EFI_SUCCESS;
}

// Everything of a build after its work blocks exist; the caller frees them.
EFI_STATUS BuildPage(PAGE_BUILD &Build, UINTN Slot, ByteView List, UINTN FailuresBefore) {
  if (SnapshotCardQuestions(Build.Card, List.Data(), List.Size(), &Build.Work->QuestionSnapshot) ==
      EFI_OUT_OF_RESOURCES)
    return EFI_OUT_OF_RESOURCES;
  GetCardLocationText(Build.Card, Build.Location, nullptr, nullptr, nullptr);  // empty when unknown
  EFI_STATUS Status = CreatePageBuffers(Build, Slot);
  if (EFI_ERROR(Status)) return Status;
  // Earlier pages' slots must come back as stored: a record read as zeros
  // would be written over them.
  Status = LoadOobVar(&Build.Work->Oob);
  if (!EFI_ERROR(Status)) Status = LoadStringVar(&Build.Work->Strings);
  if (EFI_ERROR(Status)) return Status;

  WalkCardForms(Build, List);
  // A page missing what the pool could not hold, or what a failing platform
  // call did not give (a string, a card's value), is not built at all.
  if (PlatformFailures() != FailuresBefore) return EFI_OUT_OF_RESOURCES;
  Status = OpCodeBufferStatus(Build.Start);
  if (EFI_ERROR(Status)) return Status;
  return CommitPage(Build, Slot);
}

}  // namespace

EFI_STATUS CreateLabelBuffers(OpCodeBuffer **Start, OpCodeBuffer **End, UINT16 LabelStart, UINT16 LabelEnd) {
  if (Start == nullptr || End == nullptr) return EFI_INVALID_PARAMETER;
  *Start = OpCodeBufferNew();
  *End = OpCodeBufferNew();
  EmitLabel(*Start, LabelStart);
  EmitLabel(*End, LabelEnd);
  if (!EFI_ERROR(OpCodeBufferStatus(*Start)) && !EFI_ERROR(OpCodeBufferStatus(*End))) return EFI_SUCCESS;
  OpCodeBufferFree(*Start);
  OpCodeBufferFree(*End);
  *Start = *End = nullptr;
  return EFI_INVALID_PARAMETER;
}

bool SkipScope(IfrCursor &Cursor) { return Cursor.SkipScope(); }

bool EvaluateCondition(IfrCursor &Cursor, const QUESTION_SNAPSHOT *Snapshot) {
  CONDITION_STACK Stack = {};
  bool Understood = true;
  for (IfrOpCode Op; Cursor.Peek(&Op) && Op.Kind() == IfrKind::Expression;) {
    // An operator with a scope of its own (such as a map) is none of the
    // understood ones; it goes whole.
    if (Op.Scope()) {
      Understood = false;
      SkipScope(Cursor);
      continue;
    }
    Understood = Apply(Stack, Op, Snapshot) && Understood;
    Cursor.Step();
  }
  return !Understood || Stack.Count != 1 || Stack.Values[0];
}

EFI_STATUS MirrorCardForms(EFI_HII_HANDLE CardHiiHandle, const void *PackageList, UINTN PackageListSize) {
  if (CardHiiHandle == nullptr || PackageList == nullptr || NextCardPage >= CARD_PAGE_SLOTS)
    return EFI_INVALID_PARAMETER;
  const UINTN FailuresBefore = PlatformFailures();
  const MIRROR_COUNTERS Saved = SaveCounters();
  PAGE_BUILD Build = {};
  Build.Card = CardHiiHandle;
  Build.Work = static_cast<PAGE_WORK *>(PoolAllocZero(sizeof(PAGE_WORK)));
  if (Build.Work == nullptr) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Status =
      BuildPage(Build, NextCardPage, ByteView(PackageList, PackageListSize), FailuresBefore);
  if (EFI_ERROR(Status)) RestoreCounters(Saved);
  FreeBuffers(Build);
  PoolFree(Build.Work);
  return Status;
}

EFI_STATUS BuildCardPage(EFI_HII_HANDLE CardHiiHandle, UINT16, const CHAR16 *Title, const void *PackageList,
                         UINTN PackageListSize) {
  SetCurrentHiiHandle(DriverHiiHandle);
  if (NextCardPage >= CARD_PAGE_SLOTS) return EFI_SUCCESS;
  if (NextCardPage == 0) ResetMirroredQuestions();
  const UINTN FailuresBefore = PlatformFailures();
  // A page whose title could not be written would show an empty title and goto.
  const bool Titled =
      Title == nullptr || SetStringInLanguages(CardPageTable[NextCardPage].TitleStringId, Title, nullptr) != 0;
  EFI_STATUS Status = EFI_SUCCESS;
  if (PlatformFailures() != FailuresBefore)
    Status = EFI_OUT_OF_RESOURCES;
  else if (!Titled)
    Status = EFI_DEVICE_ERROR;
  else
    Status = MirrorCardForms(CardHiiHandle, PackageList, PackageListSize);
  DiscardVarStoreReadCache();
  ++NextCardPage;
  return Status;
}

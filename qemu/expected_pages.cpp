// The expected card pages of the card shapes (see expected_pages.h). Each page
// is written as a person reading the shape's form set would mirror it: the
// statements in the order the card's forms hold them, hidden ones left out,
// grayed ones and those whose values do not fit one byte read-only.
#include "qemu/expected_pages.h"

namespace {

constexpr UINT8 SHOWN = 0x14;      // callback, reset required
constexpr UINT8 READ_ONLY = 0x15;  // and read-only
constexpr UINT8 DEFAULTS = 0x30;   // the option is the default of both default stores
constexpr UINTN RANGED_LIMIT = 1024;
constexpr UINTN STRING_LIMIT = 50;

// Appends the expectations of one page to a space, numbering its questions
// from the origin on.
class PageWriter {
 public:
  PageWriter(EXPECTED_PAGE_SPACE *Space, const PAGE_ORIGIN &Origin, const CHAR8 *Title)
      : Space_(Space), Origin_(Origin), NextQuestion_(Origin.FirstQuestion), NextString_(Origin.FirstString) {
    Space_->StatementCount = 0;
    Space_->OptionCount = 0;
    Space_->Overflow = false;
    UINTN Length = 0;
    for (; Title != nullptr && Title[Length] != 0 && Length + 1 < EXPECTED_TITLE_CHARS; ++Length)
      Space_->Title[Length] = static_cast<CHAR16>(Title[Length]);
    Space_->Title[Length] = 0;
  }

  bool RoomForQuestion() const { return NextQuestion_ < RANGED_LIMIT; }
  bool RoomForString() const { return NextString_ < STRING_LIMIT; }

  void Text(const CHAR8 *Prompt, const CHAR16 *Help, const CHAR16 *TextTwo) {
    EXPECTED_STATEMENT *Statement = Add(Prompt);
    if (Statement == nullptr) return;
    Statement->Kind = ExpectedKind::Text;
    Statement->Help = Help;
    Statement->TextTwo = TextTwo;
  }
  void OneOf(const CHAR8 *Prompt, const CHAR16 *Help, UINT8 Flags, const EXPECTED_OPTION *Options,
             UINTN Count) {
    // Past the boot's limit a question is simply not on the page.
    if (!RoomForQuestion()) return;
    if (Space_->OptionCount + Count > EXPECTED_OPTIONS_MAX) {
      Space_->Overflow = true;
      return;
    }
    EXPECTED_STATEMENT *Statement = Ranged(Prompt, Help, Flags, ExpectedKind::OneOf);
    if (Statement == nullptr) return;
    Statement->Options = Space_->Options + Space_->OptionCount;
    Statement->OptionCount = Count;
    for (UINTN Index = 0; Index < Count; ++Index) Space_->Options[Space_->OptionCount++] = Options[Index];
  }
  void Numeric(const CHAR8 *Prompt, const CHAR16 *Help, UINT8 Flags, UINT8 NumericFlags, UINT8 Min, UINT8 Max,
               UINT8 Step) {
    if (!RoomForQuestion()) return;
    EXPECTED_STATEMENT *Statement = Ranged(Prompt, Help, Flags, ExpectedKind::Numeric);
    if (Statement == nullptr) return;
    Statement->NumericFlags = NumericFlags;
    Statement->Minimum = Min;
    Statement->Maximum = Max;
    Statement->Step = Step;
  }
  void String(const CHAR8 *Prompt, const CHAR16 *Help, UINT8 Flags, UINT8 MinSize, UINT8 MaxSize) {
    if (!RoomForString()) return;
    EXPECTED_STATEMENT *Statement = Add(Prompt);
    if (Statement == nullptr) return;
    Statement->Kind = ExpectedKind::String;
    Statement->Help = Help;
    Statement->QuestionId = static_cast<UINT16>(0x800 + NextString_++);
    Statement->QuestionFlags = Flags;
    Statement->MinSize = MinSize;
    Statement->MaxSize = MaxSize;
  }

  EXPECTED_PAGE Page() const {
    return {Origin_.Slot, Space_->Title, Space_->Statements, Space_->StatementCount};
  }

 private:
  // A new statement whose prompt is "<Prompt> (<location>)" cut to 49 characters.
  EXPECTED_STATEMENT *Add(const CHAR8 *Prompt) {
    if (Space_->StatementCount == EXPECTED_STATEMENTS_MAX) {
      Space_->Overflow = true;
      return nullptr;
    }
    CHAR16 *Text = Space_->Prompts[Space_->StatementCount];
    UINTN Length = 0;
    auto Put = [&](CHAR16 Character) {
      if (Length + 1 < EXPECTED_PROMPT_CHARS) Text[Length++] = Character;
    };
    for (const CHAR8 *At = Prompt; *At != 0; ++At) Put(static_cast<CHAR16>(*At));
    Put(u' ');
    Put(u'(');
    for (const CHAR16 *At = Origin_.Location; At != nullptr && *At != 0; ++At) Put(*At);
    Put(u')');
    Text[Length] = 0;
    EXPECTED_STATEMENT *Statement = &Space_->Statements[Space_->StatementCount++];
    *Statement = {};
    Statement->Prompt = Text;
    return Statement;
  }
  EXPECTED_STATEMENT *Ranged(const CHAR8 *Prompt, const CHAR16 *Help, UINT8 Flags, ExpectedKind Kind) {
    EXPECTED_STATEMENT *Statement = Add(Prompt);
    if (Statement == nullptr) return nullptr;
    Statement->Kind = Kind;
    Statement->Help = Help;
    Statement->QuestionId = static_cast<UINT16>(0x100 + NextQuestion_++);
    Statement->QuestionFlags = Flags;
    return Statement;
  }

  EXPECTED_PAGE_SPACE *Space_;
  PAGE_ORIGIN Origin_;
  UINTN NextQuestion_;
  UINTN NextString_;
};

template <UINTN N>
void OneOf(PageWriter &Page, const CHAR8 *Prompt, const CHAR16 *Help, UINT8 Flags,
           const EXPECTED_OPTION (&Options)[N]) {
  Page.OneOf(Prompt, Help, Flags, Options, N);
}

void SampleCard(PageWriter &Page) {
  constexpr EXPECTED_OPTION Speeds[] = {
      {u"Auto Negotiated", 0, DEFAULTS}, {u"10 Gb/s", 1, 0}, {u"25 Gb/s", 2, 0}, {u"100 Gb/s", 3, 0}};
  constexpr EXPECTED_OPTION VlanModes[] = {{u"Disabled", 0, DEFAULTS}, {u"Enabled", 1, 0}};
  constexpr EXPECTED_OPTION Protocols[] = {{u"None", 0, 0}, {u"PXE", 1, DEFAULTS}, {u"iSCSI", 2, 0}};
  Page.Text("Permanent MAC Address", u"Factory-assigned address of the port", u"02:00:00:3B:00:00");
  Page.Text("Firmware Version", u"", u"1.4.2");
  OneOf(Page, "Link Speed", u"Speed of the link", SHOWN, Speeds);
  // The checkbox "Wake on LAN" is not mirrored.
  OneOf(Page, "VLAN Mode", u"Tag the traffic of the port", SHOWN, VlanModes);
  // Grayed out while the VLAN mode is 0, and its range 1..4094 does not fit one byte.
  Page.Numeric("VLAN ID", u"VLAN of the port's traffic (1-4094)", READ_ONLY, 0x00, 0, 255, 1);
  // The goto to the boot form is not mirrored; the boot form's statements follow.
  OneOf(Page, "Boot Protocol", u"Protocol used to boot from the network", SHOWN, Protocols);
  Page.String("Boot Target Name", u"Name of the boot target", SHOWN, 0, 32);
  // "iSCSI LUN" is suppressed: the boot protocol is PXE, not iSCSI.
}

void SecondModel(PageWriter &Page) {
  constexpr EXPECTED_OPTION Modes[] = {
      {u"Write-Through", 0, 0}, {u"Write-Back", 1, DEFAULTS}, {u"Disabled", 2, 0}};
  Page.Text("Controller Firmware", u"Version of the controller firmware", u"7.1.0");
  Page.Numeric("Queue Depth", u"Commands outstanding per device", SHOWN, 0x00, 1, 64, 1);
  OneOf(Page, "Cache Mode", u"How writes reach the disks", SHOWN, Modes);
  Page.String("Array Name", u"Name of the disk array", SHOWN, 1, 12);
}

void EdgeCard(PageWriter &Page) {
  // Option values cut to their low byte; the questions are read-only then.
  constexpr EXPECTED_OPTION Powers[] = {{u"Low", 0x00, 0}, {u"Medium", 0x00, DEFAULTS}, {u"High", 0x00, 0}};
  constexpr EXPECTED_OPTION Lanes[] = {{u"Lane 1", 0x01, 0}, {u"Lane 257", 0x01, 0}};
  // The one-of's value comes from a VALUE opcode: its one option is the store's value, 7.
  constexpr EXPECTED_OPTION RingSizes[] = {{u"7", 7, 0}};
  constexpr EXPECTED_OPTION Variants[] = {{u"Standard", 0, 0}, {u"Extended", 1, 0}};
  constexpr EXPECTED_OPTION OffOn[] = {{u"Off", 0, 0}, {u"On", 1, DEFAULTS}};
  constexpr EXPECTED_OPTION NoYes[] = {{u"No", 0, 0}, {u"Yes", 1, 0}};
  Page.Text("Card Revision", u"Hardware revision of the card", u"B2");
  Page.Numeric("Moderation Interval", u"Microseconds (0-1000)", READ_ONLY, 0x00, 0, 255, 1);
  OneOf(Page, "Transmit Power", u"Power level of the transmitter", READ_ONLY, Powers);
  OneOf(Page, "Lane Map", u"Lanes the port uses", READ_ONLY, Lanes);
  OneOf(Page, "Ring Size", u"Descriptors per ring", SHOWN, RingSizes);
  OneOf(Page, "Board Variant", u"Set at the factory", READ_ONLY, Variants);  // the card's own mark
  Page.String("Port Alias", u"Free name of the port", SHOWN, 0, 255);        // MaxSize 0
  Page.Numeric(sim::edge_card::LongPrompt, u"Interrupts per millisecond", SHOWN, 0x00, 0, 100, 1);
  OneOf(Page, "Power Saving", u"Lower the power when idle", SHOWN, OffOn);  // EFI variable store
  Page.Numeric("Power Saving Level", u"Depth of power saving (0-15)", SHOWN, 0x00, 0, 15, 1);
  // suppress-if (mode 0 or offload off) is false; gray-out-if (mode 1 and the variant not 0) is true.
  Page.Numeric("Offload Queues", u"Queues used for offload", READ_ONLY, 0x00, 0, 10, 1);
  // suppress-if (level 3) is true: the deep-sleep profile and the wake delay are hidden.
  // gray-out-if (level not 3) is false.
  Page.String("Offload Tag", u"Tag of offloaded frames", SHOWN, 1, 8);
  OneOf(Page, "Strict Ordering", u"Keep frames in order", READ_ONLY, NoYes);  // gray-out-if (interval 300)
  Page.Numeric("Offload Budget", u"Frames per poll", SHOWN, 0x00, 0, 50, 1);
  // "Idle Timeout" is guarded by EQ_ID_VAL_LIST, which the mirror does not evaluate: hidden.
}

void RoadCard(PageWriter &Page) {
  constexpr EXPECTED_OPTION Modes[] = {{u"Off", 0, 0}, {u"Auto", 1, DEFAULTS}, {u"Manual", 2, 0}};
  constexpr EXPECTED_OPTION Policies[] = {{u"Strict", 0, DEFAULTS}, {u"Relaxed", 1, 0}};
  Page.Text("Serial Number", u"Serial number of the card", u"RC-0001");
  OneOf(Page, "Operating Mode", u"How the card runs", SHOWN, Modes);
  Page.Numeric("Signal Level", u"Percent of full level", SHOWN, 0x00, 5, 100, 1);
  Page.String("Card Label", u"Name shown for the card", SHOWN, 0, 8);
  OneOf(Page, "Update Policy", u"Which updates the card takes", SHOWN, Policies);
  Page.Numeric("Link Retries", u"Attempts to bring the link up", SHOWN, 0x00, 0, 9, 1);
  Page.Numeric("Alarm Threshold", u"Level that raises the alarm", SHOWN, 0x00, 0, 255, 1);
  // "Relaxed Extras" is suppressed (the policy is strict); the gain is grayed (mode 1).
  Page.Numeric("Manual Gain", u"Gain in manual mode", READ_ONLY, 0x00, 0, 15, 1);
}

const CHAR8 *ShapeTitle(sim::CardShapeId Shape) {
  switch (Shape) {
    case sim::CardShapeId::SampleCard:
      return sim::sample_card::Title;
    case sim::CardShapeId::SecondModel:
      return sim::second_model::Title;
    case sim::CardShapeId::CheckboxOnly:
      return sim::checkbox_card::Title;
    case sim::CardShapeId::Edge:
      return sim::edge_card::Title;
    case sim::CardShapeId::Road:
      return sim::road_card::Title;
    default:
      return nullptr;
  }
}

void Decimal(CHAR8 *Out, UINTN Digits, UINTN Value) {
  for (UINTN Index = Digits; Index > 0; --Index, Value /= 10)
    Out[Index - 1] = static_cast<CHAR8>('0' + Value % 10);
  Out[Digits] = 0;
}

}  // namespace

EXPECTED_PAGE ExpectedPage(sim::CardShapeId Shape, const PAGE_ORIGIN &Origin, EXPECTED_PAGE_SPACE *Space) {
  PageWriter Page(Space, Origin, ShapeTitle(Shape));
  switch (Shape) {
    case sim::CardShapeId::SampleCard:
      SampleCard(Page);
      break;
    case sim::CardShapeId::SecondModel:
      SecondModel(Page);
      break;
    case sim::CardShapeId::Edge:
      EdgeCard(Page);
      break;
    case sim::CardShapeId::Road:
      RoadCard(Page);
      break;
    case sim::CardShapeId::CheckboxOnly:  // title and goto, no statement
      break;
    default:
      return {Origin.Slot, nullptr, nullptr, 0};
  }
  return Page.Page();
}

EXPECTED_PAGE ExpectedBigCardPage(UINT16 Questions, UINT16 Strings, const PAGE_ORIGIN &Origin,
                                  EXPECTED_PAGE_SPACE *Space) {
  constexpr EXPECTED_OPTION OffOn[] = {{u"Off", 0, 0}, {u"On", 1, 0}};
  PageWriter Page(Space, Origin, sim::big_card::Title);
  CHAR8 Prompt[16] = "Setting ";
  for (UINT16 Index = 0; Index < Questions && Page.RoomForQuestion(); ++Index) {
    Decimal(Prompt + 8, 4, Index);
    if (Index % 2 == 0)
      OneOf(Page, Prompt, u"", SHOWN, OffOn);
    else
      Page.Numeric(Prompt, u"", SHOWN, 0x00, 0, 255, 1);
  }
  CHAR8 Name[16] = "Name ";
  for (UINT16 Index = 0; Index < Strings && Page.RoomForString(); ++Index) {
    Decimal(Name + 5, 3, Index);
    Page.String(Name, u"", SHOWN, 0, sim::big_card::StringMaxSize);
  }
  return Page.Page();
}

UINT16 ExpectedRangedQuestions(const EXPECTED_PAGE &Page) {
  UINT16 Count = 0;
  for (UINTN Index = 0; Index < Page.StatementCount; ++Index)
    Count = static_cast<UINT16>(Count + (Page.Statements[Index].Kind == ExpectedKind::OneOf ||
                                         Page.Statements[Index].Kind == ExpectedKind::Numeric));
  return Count;
}

UINT16 ExpectedStrings(const EXPECTED_PAGE &Page) {
  UINT16 Count = 0;
  for (UINTN Index = 0; Index < Page.StatementCount; ++Index)
    Count = static_cast<UINT16>(Count + (Page.Statements[Index].Kind == ExpectedKind::String));
  return Count;
}

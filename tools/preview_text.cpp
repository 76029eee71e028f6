// addoncard preview: the pages as a setup browser shows them. One block per
// form: its title, then one line per statement the browser shows (prompt,
// current value, marks, keyword), the options of a one-of below it, and the
// help text when there is one. Statements the browser hides (inside a
// suppress-if that holds) are left out, as the browser leaves them out.
#include <sstream>

#include "tools/preview.h"

namespace preview {
namespace {

constexpr std::size_t PROMPT_COLUMNS = 50;
constexpr std::size_t VALUE_COLUMNS = 26;

std::size_t Columns(const std::string &Text) {
  std::size_t Count = 0;
  for (unsigned char Byte : Text) Count += (Byte & 0xC0) != 0x80;
  return Count;
}

std::string Pad(const std::string &Text, std::size_t Width) {
  const std::size_t Used = Columns(Text);
  return Used >= Width ? Text + " " : Text + std::string(Width - Used, ' ');
}

std::string Number(uint64_t Value, uint8_t NumericFlags) {
  std::ostringstream Text;
  if ((NumericFlags & 0x30) == 0x20)
    Text << "0x" << std::hex << std::uppercase << Value;
  else
    Text << Value;
  return Text.str();
}

const OptionView *CurrentOption(const StatementView &Statement) {
  if (!Statement.Value) return nullptr;
  for (const OptionView &Option : Statement.Options)
    if (Option.Value == *Statement.Value) return &Option;
  return nullptr;
}

std::string ValueText(const StatementView &Statement) {
  switch (Statement.Kind) {
    case StatementKind::OneOf: {
      if (const OptionView *Option = CurrentOption(Statement)) return "<" + Option->Text + ">";
      return Statement.Value ? "<" + std::to_string(*Statement.Value) + ": no such option>" : "<?>";
    }
    case StatementKind::Numeric:
      return Statement.Value ? "[" + Number(*Statement.Value, Statement.NumericFlags) + "]" : "[?]";
    case StatementKind::String:
      return "[" + Statement.StringValue + "]";
    case StatementKind::Text:
      return Statement.TextTwo;
    default:
      return "";
  }
}

std::string Marks(const StatementView &Statement) {
  std::string Text;
  auto Add = [&](const std::string &Mark) { Text += (Text.empty() ? "" : ", ") + Mark; };
  if (Statement.Kind == StatementKind::Numeric)
    Add(Number(Statement.Minimum, Statement.NumericFlags) + ".." +
        Number(Statement.Maximum, Statement.NumericFlags) + " step " +
        Number(Statement.Step, Statement.NumericFlags));
  if (Statement.Kind == StatementKind::String)
    Add(std::to_string(Statement.MinSize) + ".." + std::to_string(Statement.MaxSize) + " characters");
  if (Statement.ReadOnly()) Add("read-only");
  if (!Statement.Keyword.empty()) Add("keyword " + Statement.Keyword);
  return Text;
}

void PutStatement(std::ostringstream &Out, const StatementView &Statement, const Preview &Built) {
  if (Statement.Hidden) return;
  if (Statement.Kind == StatementKind::Subtitle) {
    Out << "  " << Statement.Prompt << "\n";
    return;
  }
  if (Statement.Kind == StatementKind::Goto) {
    std::string Where;
    for (const CardPage &Page : Built.Pages)
      if (Page.Form.FormId == Statement.TargetForm) Where = "card page " + std::to_string(Page.Slot);
    Out << "  " << Pad("> " + Statement.Prompt, PROMPT_COLUMNS) << "goto " << Where << "\n";
    return;
  }
  if (Statement.Kind == StatementKind::Other) return;
  const std::string Line = "  " + Pad(Statement.Prompt, PROMPT_COLUMNS) +
                           Pad(ValueText(Statement), VALUE_COLUMNS) + Marks(Statement);
  Out << Line.substr(0, Line.find_last_not_of(' ') + 1) << "\n";
  const OptionView *Current = CurrentOption(Statement);
  for (const OptionView &Option : Statement.Options) {
    std::string Flags;
    if (Option.Flags & 0x10) Flags += ", default";
    if (Option.Flags & 0x20) Flags += ", manufacturing default";
    Out << "      " << (&Option == Current ? "(*) " : "( ) ") << Option.Text << "  = " << Option.Value
        << Flags << "\n";
  }
  if (!Statement.Help.empty()) Out << "      help: " << Statement.Help << "\n";
}

void PutForm(std::ostringstream &Out, const std::string &Heading, const std::string &About,
             const FormView &Form, const Preview &Built) {
  Out << "\n" << Heading << "\n" << std::string(Columns(Heading), '=') << "\n";
  if (!About.empty()) Out << "  (" << About << ")\n";
  for (const StatementView &Statement : Form.Statements) PutStatement(Out, Statement, Built);
}

std::string CardText(const CardFile &Card) {
  return Card.ListPath + ", " + PciIdsText(Card.Vendor, Card.Device) + " at " + LocationText(Card.Location);
}

}  // namespace

std::string RenderText(const Options &Given, const Preview &Built) {
  std::ostringstream Out;
  Out << Built.FormSetTitle << "\n";
  Out << "Supported list:";
  for (const auto &[Vendor, Device] : Built.SupportedList) Out << " " << PciIdsText(Vendor, Device);
  Out << "\n";
  PutForm(Out, Built.Main.Title, "", Built.Main, Built);
  for (const CardPage &Page : Built.Pages)
    PutForm(Out, "Card page " + std::to_string(Page.Slot) + ": " + Page.Form.Title,
            CardText(Given.Cards[Page.Card]), Page.Form, Built);
  if (!Built.Skipped.empty()) {
    Out << "\nNo page\n=======\n";
    for (const PassedOver &Skipped : Built.Skipped)
      Out << "  " << CardText(Given.Cards[Skipped.Card]) << ": " << Skipped.Reason << "\n";
  }
  return Out.str();
}

}  // namespace preview

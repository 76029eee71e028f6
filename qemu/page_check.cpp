// The independent page check (see page_check.h). Everything here is written
// from the bytes of the UEFI formats and the form set's published numbers; it
// includes nothing of the driver but the UEFI type declarations.
#include "qemu/page_check.h"

namespace {

// ---- the form set's published numbers -------------------------------------------------

// C3870F7E-595E-4F50-B37F-C1D5B7CBEB3E and 0F0B1735-87A0-4193-B266-538C38AF48CE,
// in the byte order of an EFI_GUID.
constexpr UINT8 DRIVER_FORMSET_GUID_BYTES[16] = {0x7E, 0x0F, 0x87, 0xC3, 0x5E, 0x59, 0x50, 0x4F,
                                                 0xB3, 0x7F, 0xC1, 0xD5, 0xB7, 0xCB, 0xEB, 0x3E};
constexpr UINT8 LABEL_GUID_BYTES[16] = {0x35, 0x17, 0x0B, 0x0F, 0xA0, 0x87, 0x93, 0x41,
                                        0xB2, 0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE};
constexpr UINT16 MAIN_FORM = 0x9001;
constexpr UINT16 OOB_STORE = 0x1000;
constexpr UINT16 STRING_STORE = 0x1001;
constexpr UINT16 FIRST_RANGED_QUESTION = 0x100;
constexpr UINT16 FIRST_STRING_QUESTION = 0x800;
constexpr UINT16 STRING_SLOT_BYTES = 512;
constexpr UINT8 GOTO_FLAGS = 0x04;

UINT16 CardForm(UINTN Slot) { return static_cast<UINT16>(0x9011 + Slot); }
UINT16 CardPageStart(UINTN Slot) { return static_cast<UINT16>(0x2000 + 0x1000 * Slot); }
UINT16 CardPageEnd(UINTN Slot) { return static_cast<UINT16>(0x2FFF + 0x1000 * Slot); }
UINT16 CardTitle(UINTN Slot) { return static_cast<UINT16>(31 + Slot); }
// Region 0 is 0x2000..0x21FF, region k (1..9) 0x2100 + 0x100 k .. 0x21FF + 0x100 k.
UINT16 MainRegionStart(UINTN Slot) { return static_cast<UINT16>(Slot == 0 ? 0x2000 : 0x2100 + 0x100 * Slot); }
UINT16 MainRegionEnd(UINTN Slot) { return static_cast<UINT16>(0x21FF + 0x100 * Slot); }

// ---- opcodes ------------------------------------------------------------------------

constexpr UINT8 OP_FORM = 0x01, OP_TEXT = 0x03, OP_ONE_OF = 0x05, OP_NUMERIC = 0x07, OP_OPTION = 0x09;
constexpr UINT8 OP_FORM_SET = 0x0E, OP_REF = 0x0F, OP_STRING = 0x1C, OP_END = 0x29, OP_GUID = 0x5F;
constexpr UINT8 PACKAGE_FORMS = 0x02, PACKAGE_END = 0xDF;

UINT64 Le(const UINT8 *Bytes, UINTN Width) {
  UINT64 Value = 0;
  for (UINTN Index = Width; Index > 0; --Index) Value = (Value << 8) | Bytes[Index - 1];
  return Value;
}
UINT16 Le16(const UINT8 *Bytes) { return static_cast<UINT16>(Le(Bytes, 2)); }

bool SameBytes(const UINT8 *A, const UINT8 *B, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index)
    if (A[Index] != B[Index]) return false;
  return true;
}

// One opcode at Offset of a package; Valid only when its header and its whole
// length lie before Limit.
struct OPCODE {
  const UINT8 *Bytes;
  UINT8 Code;
  UINT8 Length;
  bool Scope;
  bool Valid;
};

OPCODE OpcodeAt(const UINT8 *Package, UINTN Limit, UINTN Offset) {
  OPCODE Op = {};
  if (Offset >= Limit || Limit - Offset < 2) return Op;
  const UINT8 Length = Package[Offset + 1] & 0x7F;
  if (Length < 2 || Length > Limit - Offset) return Op;
  return {Package + Offset, Package[Offset], Length, (Package[Offset + 1] & 0x80) != 0, true};
}

bool IsLabel(const OPCODE &Op, UINT16 Number) {
  return Op.Valid && Op.Code == OP_GUID && Op.Length == 21 && !Op.Scope &&
         SameBytes(Op.Bytes + 2, LABEL_GUID_BYTES, 16) && Op.Bytes[18] == 0 && Le16(Op.Bytes + 19) == Number;
}

// ---- messages --------------------------------------------------------------------------

class Note {
 public:
  explicit Note(PAGE_CHECK_RESULT *Result) : Result_(Result) {
    Length_ = 0;
    while (Length_ < sizeof(Result->Message) && Result->Message[Length_] != 0) ++Length_;
  }
  Note &Text(const CHAR8 *Ascii) {
    while (Ascii != nullptr && *Ascii != 0) Put(*Ascii++);
    return *this;
  }
  Note &Hex(UINT64 Value) {
    CHAR8 Digits[17] = {};
    UINTN Count = 0;
    do Digits[Count++] = "0123456789ABCDEF"[Value & 0xF];
    while ((Value >>= 4) != 0);
    Text("0x");
    while (Count > 0) Put(Digits[--Count]);
    return *this;
  }
  Note &Decimal(UINT64 Value) {
    CHAR8 Digits[21] = {};
    UINTN Count = 0;
    do Digits[Count++] = static_cast<CHAR8>('0' + Value % 10);
    while ((Value /= 10) != 0);
    while (Count > 0) Put(Digits[--Count]);
    return *this;
  }
  Note &Quoted(const CHAR16 *Text16) {
    if (Text16 == nullptr) return Text("<none>");
    Put('"');
    for (UINTN Index = 0; Index < 80 && Text16[Index] != 0; ++Index)
      Put(Text16[Index] >= 0x20 && Text16[Index] < 0x7F ? static_cast<CHAR8>(Text16[Index]) : '?');
    Put('"');
    return *this;
  }

 private:
  void Put(CHAR8 Character) {
    if (Length_ + 1 >= sizeof(Result_->Message)) return;
    Result_->Message[Length_++] = Character;
    Result_->Message[Length_] = 0;
  }
  PAGE_CHECK_RESULT *Result_;
  UINTN Length_;
};

// Starts the message of a failed check; the caller adds the details.
Note Fail(PAGE_CHECK_RESULT *Result) {
  Result->Ok = false;
  return Note(Result);
}

// For a check whose message is complete: the verdict.
bool Refused(const Note &) { return false; }

// ---- strings ---------------------------------------------------------------------------

constexpr UINTN TEXT_CHARS = 256;

struct STRING_READER {
  EFI_HII_STRING_PROTOCOL *Strings;
  EFI_HII_HANDLE Handle;
};

// The text of Id in Language; false when the list has none there (or it is
// longer than TEXT_CHARS - 1 characters).
bool ReadText(const STRING_READER &Reader, const CHAR8 *Language, UINT16 Id, CHAR16 (&Text)[TEXT_CHARS]) {
  for (CHAR16 &Unit : Text) Unit = 0;
  UINTN Size = sizeof(Text) - sizeof(CHAR16);
  if (Id == 0 || Reader.Strings == nullptr) return false;
  const EFI_STATUS Status =
      Reader.Strings->GetString(Reader.Strings, Language, Reader.Handle, Id, Text, &Size, nullptr);
  return !EFI_ERROR(Status);
}

bool SameText(const CHAR16 *A, const CHAR16 *B) {
  for (UINTN Index = 0;; ++Index) {
    if (A[Index] != B[Index]) return false;
    if (A[Index] == 0) return true;
  }
}

// The context of one statement's findings.
struct WHERE {
  UINTN Slot;
  UINTN Statement;
  UINT16 QuestionId;
};

Note FailAt(PAGE_CHECK_RESULT *Result, const WHERE &Where) {
  Note Message = Fail(Result);
  Message.Text("slot ").Decimal(Where.Slot).Text(", statement ").Decimal(Where.Statement);
  if (Where.QuestionId != 0) Message.Text(" (question ").Hex(Where.QuestionId).Text(")");
  return Message.Text(": ");
}

// String Id must read Expected in Language.
bool CheckText(const STRING_READER &Reader, const CHAR8 *Language, UINT16 Id, const CHAR16 *Expected,
               const CHAR8 *What, const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  CHAR16 Text[TEXT_CHARS];
  if (!ReadText(Reader, Language, Id, Text)) {
    FailAt(Result, Where)
        .Text(What)
        .Text(" (string ")
        .Decimal(Id)
        .Text(") cannot be read in ")
        .Text(Language);
    return false;
  }
  if (SameText(Text, Expected)) return true;
  FailAt(Result, Where)
      .Text(What)
      .Text(" in ")
      .Text(Language)
      .Text(" is ")
      .Quoted(Text)
      .Text(", expected ")
      .Quoted(Expected);
  return false;
}

// Strings and texts carry no keyword: their prompt is empty in the keyword
// namespace, or not there at all.
bool CheckNoKeyword(const STRING_READER &Reader, UINT16 Id, const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  CHAR16 Text[TEXT_CHARS];
  if (!ReadText(Reader, "x-UEFI-QZV", Id, Text) || Text[0] == 0) return true;
  FailAt(Result, Where).Text("a keyword ").Quoted(Text).Text(" on a statement that has none");
  return false;
}

void KeywordOf(UINT16 QuestionId, CHAR16 (&Keyword)[9]) {
  const CHAR16 Prefix[] = u"CSPAC";
  const UINT16 Number = static_cast<UINT16>(QuestionId - FIRST_RANGED_QUESTION);
  for (UINTN Index = 0; Index < 5; ++Index) Keyword[Index] = Prefix[Index];
  for (UINTN Index = 0; Index < 3; ++Index)
    Keyword[5 + Index] = u"0123456789ABCDEF"[(Number >> (8 - 4 * Index)) & 0xF];
  Keyword[8] = 0;
}

// ---- package list ------------------------------------------------------------------------

bool CheckFormsPackage(const UINT8 *Package, UINTN Length, UINTN Offset, PAGE_CHECK_RESULT *Result) {
  UINTN Depth = 0;
  for (UINTN At = 4; At < Length;) {
    const OPCODE Op = OpcodeAt(Package, Length, At);
    if (!Op.Valid) {
      Fail(Result).Text("forms package at ").Hex(Offset).Text(": no whole opcode at ").Hex(At);
      return false;
    }
    if (Op.Code == OP_END) {
      if (Depth == 0) {
        Fail(Result).Text("forms package at ").Hex(Offset).Text(": END without an open scope at ").Hex(At);
        return false;
      }
      --Depth;
    } else if (Op.Scope) {
      ++Depth;
    }
    At += Op.Length;
  }
  if (Depth == 0) return true;
  Fail(Result).Text("forms package at ").Hex(Offset).Text(": ").Decimal(Depth).Text(" scopes left open");
  return false;
}

// ---- sections ------------------------------------------------------------------------------

struct SECTION {
  UINTN Begin;  // the first opcode after the start label
  UINTN End;    // the end label
};

// What encloses an opcode: the driver's form set and the form asked for count
// only while their scopes are open.
struct ENCLOSING {
  UINTN FormSetDepth;  // depth inside the driver's form set; 0 outside it
  UINTN FormDepth;     // depth inside the form asked for; 0 outside it
};

void Enter(const OPCODE &Op, UINTN Depth, UINT16 FormId, ENCLOSING *In) {
  if (Op.Code == OP_FORM_SET && Op.Length >= 18 && Op.Scope)
    In->FormSetDepth = SameBytes(Op.Bytes + 2, DRIVER_FORMSET_GUID_BYTES, 16) ? Depth + 1 : 0;
  if (Op.Code == OP_FORM && Op.Length >= 4 && Op.Scope)
    In->FormDepth = Le16(Op.Bytes + 2) == FormId ? Depth + 1 : 0;
}

// The opcodes between the labels Start and End of form FormId of the driver's
// form set, both labels at one depth. False when the form or a label is missing.
bool FindSection(const UINT8 *Package, UINTN Length, UINT16 FormId, UINT16 Start, UINT16 End,
                 SECTION *Section) {
  ENCLOSING In = {};
  UINTN Depth = 0;
  UINTN LabelDepth = 0;
  bool Started = false;
  for (UINTN At = 4; At < Length;) {
    const OPCODE Op = OpcodeAt(Package, Length, At);
    if (!Op.Valid) return false;
    const bool Inside = In.FormSetDepth != 0 && In.FormDepth != 0;
    if (Inside && !Started && IsLabel(Op, Start)) {
      Started = true;
      LabelDepth = Depth;
      Section->Begin = At + Op.Length;
    } else if (Started && Depth == LabelDepth && IsLabel(Op, End)) {
      Section->End = At;
      return true;
    }
    Enter(Op, Depth, FormId, &In);
    if (Op.Code == OP_END && Depth > 0)
      --Depth;
    else if (Op.Scope)
      ++Depth;
    if (Depth < In.FormSetDepth) In.FormSetDepth = 0;
    if (Depth < In.FormDepth) In.FormDepth = 0;
    if (Started && Depth < LabelDepth) return false;
    At += Op.Length;
  }
  return false;
}

// The forms package holding the driver's form set.
bool FindDriverForms(const UINT8 *List, UINTN ListSize, const UINT8 **Package, UINTN *Length) {
  for (UINTN At = 20; At + 4 <= ListSize;) {
    const UINTN PackageLength = Le(List + At, 3);
    if (PackageLength < 4 || PackageLength > ListSize - At) return false;
    const UINT8 *Bytes = List + At;
    if (Bytes[3] == PACKAGE_FORMS) {
      const OPCODE First = OpcodeAt(Bytes, PackageLength, 4);
      if (First.Valid && First.Code == OP_FORM_SET && First.Length >= 18 &&
          SameBytes(First.Bytes + 2, DRIVER_FORMSET_GUID_BYTES, 16)) {
        *Package = Bytes;
        *Length = PackageLength;
        return true;
      }
    }
    At += PackageLength;
  }
  return false;
}

// ---- statements ------------------------------------------------------------------------------

// The question header shared by one-of, numeric, string and goto.
struct QUESTION {
  UINT16 Prompt, Help, QuestionId, VarStoreId, VarOffset;
  UINT8 Flags;
};

QUESTION QuestionOf(const OPCODE &Op) {
  const UINT8 *B = Op.Bytes;
  return {Le16(B + 2), Le16(B + 4), Le16(B + 6), Le16(B + 8), Le16(B + 10), B[12]};
}

bool Expect(bool Holds, const WHERE &Where, PAGE_CHECK_RESULT *Result, const CHAR8 *What, UINT64 Found,
            UINT64 Wanted) {
  if (Holds) return true;
  FailAt(Result, Where).Text(What).Text(" is ").Hex(Found).Text(", expected ").Hex(Wanted);
  return false;
}

bool ExpectField(UINT64 Found, UINT64 Wanted, const CHAR8 *What, const WHERE &Where,
                 PAGE_CHECK_RESULT *Result) {
  return Expect(Found == Wanted, Where, Result, What, Found, Wanted);
}

// The header fields every mirrored question has, and its prompt and help.
bool CheckQuestion(const STRING_READER &Reader, const OPCODE &Op, const EXPECTED_STATEMENT &Want,
                   UINT16 Store, UINT16 Offset, const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  const QUESTION Q = QuestionOf(Op);
  return ExpectField(Q.QuestionId, Want.QuestionId, "question id", Where, Result) &&
         ExpectField(Q.VarStoreId, Store, "store", Where, Result) &&
         ExpectField(Q.VarOffset, Offset, "store offset", Where, Result) &&
         ExpectField(Q.Flags, Want.QuestionFlags, "question flags", Where, Result) &&
         CheckText(Reader, "en-US", Q.Prompt, Want.Prompt, "prompt", Where, Result) &&
         (Want.Help == nullptr || CheckText(Reader, "en-US", Q.Help, Want.Help, "help", Where, Result));
}

bool CheckKeyword(const STRING_READER &Reader, const OPCODE &Op, const WHERE &Where,
                  PAGE_CHECK_RESULT *Result) {
  const QUESTION Q = QuestionOf(Op);
  CHAR16 Keyword[9];
  KeywordOf(Q.QuestionId, Keyword);
  return CheckText(Reader, "x-UEFI-QZV", Q.Prompt, Keyword, "keyword", Where, Result);
}

bool CheckOpcode(const OPCODE &Op, UINT8 Code, UINT8 Length, bool Scope, const WHERE &Where,
                 PAGE_CHECK_RESULT *Result) {
  if (Op.Valid && Op.Code == Code && Op.Length == Length && Op.Scope == Scope) return true;
  Note Message = FailAt(Result, Where);
  if (!Op.Valid) {
    Message.Text("no whole opcode where one was expected");
    return false;
  }
  Message.Text("opcode ")
      .Hex(Op.Code)
      .Text(" of length ")
      .Decimal(Op.Length)
      .Text(Op.Scope ? " with" : " without");
  Message.Text(" scope, expected ").Hex(Code).Text(" of length ").Decimal(Length);
  return false;
}

bool CheckNumeric(const STRING_READER &Reader, const OPCODE &Op, const EXPECTED_STATEMENT &Want,
                  const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  const UINT8 *B = Op.Bytes;
  return CheckOpcode(Op, OP_NUMERIC, 17, false, Where, Result) &&
         CheckQuestion(Reader, Op, Want, OOB_STORE,
                       static_cast<UINT16>(Want.QuestionId - FIRST_RANGED_QUESTION), Where, Result) &&
         ExpectField(B[13], Want.NumericFlags, "numeric flags", Where, Result) &&
         ExpectField(B[14], Want.Minimum, "minimum", Where, Result) &&
         ExpectField(B[15], Want.Maximum, "maximum", Where, Result) &&
         ExpectField(B[16], Want.Step, "step", Where, Result) && CheckKeyword(Reader, Op, Where, Result);
}

// The one-of, its options and its END; At moves past them.
bool CheckOneOf(const STRING_READER &Reader, const UINT8 *Package, UINTN Limit, UINTN *At,
                const EXPECTED_STATEMENT &Want, const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  const OPCODE Op = OpcodeAt(Package, Limit, *At);
  const UINT8 *B = Op.Bytes;
  if (!CheckOpcode(Op, OP_ONE_OF, 17, true, Where, Result) ||
      !CheckQuestion(Reader, Op, Want, OOB_STORE,
                     static_cast<UINT16>(Want.QuestionId - FIRST_RANGED_QUESTION), Where, Result) ||
      !ExpectField(B[13], 0, "one-of flags", Where, Result) ||
      !ExpectField(Le(B + 14, 3), 0, "one-of bounds", Where, Result) ||
      !CheckKeyword(Reader, Op, Where, Result))
    return false;
  *At += Op.Length;
  for (UINTN Index = 0; Index < Want.OptionCount; ++Index) {
    const EXPECTED_OPTION &Option = Want.Options[Index];
    const OPCODE Opt = OpcodeAt(Package, Limit, *At);
    if (!CheckOpcode(Opt, OP_OPTION, 7, false, Where, Result)) return false;
    if (!ExpectField(Opt.Bytes[4], Option.Flags, "option flags", Where, Result) ||
        !ExpectField(Opt.Bytes[5], 0, "option type", Where, Result) ||
        !ExpectField(Opt.Bytes[6], Option.Value, "option value", Where, Result) ||
        !CheckText(Reader, "en-US", Le16(Opt.Bytes + 2), Option.Text, "option text", Where, Result))
      return false;
    *At += Opt.Length;
  }
  const OPCODE End = OpcodeAt(Package, Limit, *At);
  if (!CheckOpcode(End, OP_END, 2, false, Where, Result)) return false;
  *At += End.Length;
  return true;
}

bool CheckString(const STRING_READER &Reader, const OPCODE &Op, const EXPECTED_STATEMENT &Want,
                 const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  const UINT8 *B = Op.Bytes;
  const UINT16 Offset = static_cast<UINT16>((Want.QuestionId - FIRST_STRING_QUESTION) * STRING_SLOT_BYTES);
  return CheckOpcode(Op, OP_STRING, 16, false, Where, Result) &&
         CheckQuestion(Reader, Op, Want, STRING_STORE, Offset, Where, Result) &&
         ExpectField(B[13], Want.MinSize, "minimum size", Where, Result) &&
         ExpectField(B[14], Want.MaxSize, "maximum size", Where, Result) &&
         ExpectField(B[15], Want.StringFlags, "string flags", Where, Result) &&
         CheckNoKeyword(Reader, QuestionOf(Op).Prompt, Where, Result);
}

bool CheckTextStatement(const STRING_READER &Reader, const OPCODE &Op, const EXPECTED_STATEMENT &Want,
                        const WHERE &Where, PAGE_CHECK_RESULT *Result) {
  if (!CheckOpcode(Op, OP_TEXT, 8, false, Where, Result)) return false;
  const UINT16 Prompt = Le16(Op.Bytes + 2), Help = Le16(Op.Bytes + 4), TextTwo = Le16(Op.Bytes + 6);
  return CheckText(Reader, "en-US", Prompt, Want.Prompt, "prompt", Where, Result) &&
         (Want.Help == nullptr || CheckText(Reader, "en-US", Help, Want.Help, "help", Where, Result)) &&
         (Want.TextTwo == nullptr
              ? ExpectField(TextTwo, 0, "second text", Where, Result)
              : CheckText(Reader, "en-US", TextTwo, Want.TextTwo, "second text", Where, Result)) &&
         CheckNoKeyword(Reader, Prompt, Where, Result);
}

bool CheckStatements(const STRING_READER &Reader, const UINT8 *Package, const SECTION &Section,
                     const EXPECTED_PAGE &Page, PAGE_CHECK_RESULT *Result) {
  UINTN At = Section.Begin;
  for (UINTN Index = 0; Index < Page.StatementCount; ++Index) {
    const EXPECTED_STATEMENT &Want = Page.Statements[Index];
    const WHERE Where = {Page.Slot, Index, Want.Kind == ExpectedKind::Text ? UINT16{0} : Want.QuestionId};
    if (Want.Kind == ExpectedKind::OneOf) {
      if (!CheckOneOf(Reader, Package, Section.End, &At, Want, Where, Result)) return false;
      continue;
    }
    const OPCODE Op = OpcodeAt(Package, Section.End, At);
    bool Ok = false;
    switch (Want.Kind) {
      case ExpectedKind::OneOf:
        break;
      case ExpectedKind::Numeric:
        Ok = CheckNumeric(Reader, Op, Want, Where, Result);
        break;
      case ExpectedKind::String:
        Ok = CheckString(Reader, Op, Want, Where, Result);
        break;
      case ExpectedKind::Text:
        Ok = CheckTextStatement(Reader, Op, Want, Where, Result);
        break;
    }
    if (!Ok) return false;
    At += Op.Length;
  }
  if (At == Section.End) return true;
  Fail(Result)
      .Text("slot ")
      .Decimal(Page.Slot)
      .Text(": ")
      .Decimal(Section.End - At)
      .Text(" bytes of opcodes after the last expected statement");
  return false;
}

// The main page's region holds exactly the goto to the page.
bool CheckGoto(const UINT8 *Package, const SECTION &Region, UINTN Slot, PAGE_CHECK_RESULT *Result) {
  const WHERE Where = {Slot, 0, 0};
  const OPCODE Op = OpcodeAt(Package, Region.End, Region.Begin);
  if (!CheckOpcode(Op, OP_REF, 15, false, Where, Result)) return false;
  const QUESTION Q = QuestionOf(Op);
  return ExpectField(Q.Prompt, CardTitle(Slot), "goto prompt", Where, Result) &&
         ExpectField(Q.Help, CardTitle(Slot), "goto help", Where, Result) &&
         ExpectField(Q.QuestionId, CardForm(Slot), "goto question id", Where, Result) &&
         ExpectField(Q.VarStoreId, 0, "goto store", Where, Result) &&
         ExpectField(Q.VarOffset, 0, "goto offset", Where, Result) &&
         ExpectField(Q.Flags, GOTO_FLAGS, "goto flags", Where, Result) &&
         ExpectField(Le16(Op.Bytes + 13), CardForm(Slot), "goto form", Where, Result) &&
         ExpectField(Region.End - Region.Begin, Op.Length, "main-page region bytes", Where, Result);
}

}  // namespace

bool CheckPackageList(const void *List, UINTN ListSize, PAGE_CHECK_RESULT *Result) {
  Result->Ok = true;
  Result->Message[0] = 0;
  const auto *Bytes = static_cast<const UINT8 *>(List);
  if (Bytes == nullptr || ListSize < 20) return Refused(Fail(Result).Text("no package list header"));
  const UINT64 Stated = Le(Bytes + 16, 4);
  if (Stated != ListSize)
    return Refused(Fail(Result).Text("list states ").Decimal(Stated).Text(" bytes, has ").Decimal(ListSize));
  bool SawEnd = false;
  for (UINTN At = 20; At < ListSize;) {
    const UINTN Length = ListSize - At < 4 ? 0 : Le(Bytes + At, 3);
    if (Length < 4 || Length > ListSize - At)
      return Refused(
          Fail(Result).Text("package at ").Hex(At).Text(" of length ").Decimal(Length).Text(" does not fit"));
    if (SawEnd) return Refused(Fail(Result).Text("package after the end package at ").Hex(At));
    const UINT8 Type = Bytes[At + 3];
    if (Type == PACKAGE_END && Length != 4)
      return Refused(Fail(Result).Text("end package of length ").Decimal(Length));
    if (Type == PACKAGE_END) SawEnd = true;
    if (Type == PACKAGE_FORMS && !CheckFormsPackage(Bytes + At, Length, At, Result)) return false;
    At += Length;
  }
  if (!SawEnd) return Refused(Fail(Result).Text("no end package"));
  return true;
}

bool CheckCardPage(const void *List, UINTN ListSize, EFI_HII_STRING_PROTOCOL *Strings, EFI_HII_HANDLE Handle,
                   const EXPECTED_PAGE &Page, PAGE_CHECK_RESULT *Result) {
  if (!CheckPackageList(List, ListSize, Result)) return false;
  const UINT8 *Forms = nullptr;
  UINTN FormsLength = 0;
  if (!FindDriverForms(static_cast<const UINT8 *>(List), ListSize, &Forms, &FormsLength))
    return Refused(Fail(Result).Text("no forms package with the driver's form set"));
  SECTION Content = {}, Region = {};
  if (!FindSection(Forms, FormsLength, CardForm(Page.Slot), CardPageStart(Page.Slot), CardPageEnd(Page.Slot),
                   &Content))
    return Refused(
        Fail(Result).Text("slot ").Decimal(Page.Slot).Text(": the card page's labels are not in its form"));
  if (!FindSection(Forms, FormsLength, MAIN_FORM, MainRegionStart(Page.Slot), MainRegionEnd(Page.Slot),
                   &Region))
    return Refused(
        Fail(Result).Text("slot ").Decimal(Page.Slot).Text(": the main page's region is not there"));
  if (Page.Title == nullptr) {
    if (Content.Begin == Content.End && Region.Begin == Region.End) return true;
    Fail(Result).Text("slot ").Decimal(Page.Slot).Text(" holds ").Decimal(Content.End - Content.Begin);
    Fail(Result)
        .Text(" page bytes and ")
        .Decimal(Region.End - Region.Begin)
        .Text(" main-page bytes, expected none");
    return false;
  }
  const STRING_READER Reader = {Strings, Handle};
  const WHERE Title = {Page.Slot, 0, 0};
  return CheckText(Reader, "en-US", CardTitle(Page.Slot), Page.Title, "page title", Title, Result) &&
         CheckGoto(Forms, Region, Page.Slot, Result) && CheckStatements(Reader, Forms, Content, Page, Result);
}

// Forms read out of exported package lists (see road_pages.h).
#include "qemu/road/road_pages.h"

#include "support/ifr_reader.h"
#include "uefi/guids.h"

namespace {

void ReadOption(const IfrOpCode &Op, FORM_ITEM *Item) {
  EFI_IFR_ONE_OF_OPTION Option;
  if (!Op.Load(&Option)) return;
  if (Item->OptionCount == ITEM_MAX_OPTIONS) {
    Item->TooManyOptions = true;
    return;
  }
  UINT64 Value = 0;
  Op.ReadValue(__builtin_offsetof(EFI_IFR_ONE_OF_OPTION, Value), IfrValueWidth(Option.Type), &Value);
  Item->Options[Item->OptionCount++] = {Option.Option, Option.Flags, Option.Type, Value};
}

// The fields of the opcode the cursor stands on.
void ReadFields(const IfrOpCode &Op, FORM_ITEM *Item) {
  *Item = {};
  Item->OpCode = Op.Code();
  if (Op.Kind() == IfrKind::Question) ReadQuestionFields(Op, &Item->Question);
  switch (Op.Code()) {
    case EFI_IFR_TEXT_OP: {
      EFI_IFR_TEXT Text;
      if (Op.Load(&Text)) {
        Item->Question.Prompt = Text.Statement.Prompt;
        Item->Question.Help = Text.Statement.Help;
        Item->TextTwo = Text.TextTwo;
      }
      break;
    }
    case EFI_IFR_ONE_OF_OP:
    case EFI_IFR_NUMERIC_OP:
      ReadNumericRange(Op, &Item->Range);
      break;
    case EFI_IFR_STRING_OP: {
      EFI_IFR_STRING String;
      if (Op.Load(&String)) {
        Item->MinSize = String.MinSize;
        Item->MaxSize = String.MaxSize;
        Item->StringFlags = String.Flags;
      }
      break;
    }
    case EFI_IFR_REF_OP: {
      EFI_IFR_REF Ref;
      if (Op.Load(&Ref)) Item->RefFormId = Ref.FormId;
      break;
    }
    default:
      break;
  }
}

// Reads the opcode the cursor stands on with its whole scope, the options
// inside it collected, and leaves the cursor after it.
bool ReadItem(IfrCursor &Cursor, FORM_ITEM *Item) {
  IfrOpCode Op;
  if (!Cursor.Peek(&Op)) return false;
  ReadFields(Op, Item);
  const UINTN Outer = Cursor.Depth();
  Cursor.Step();
  while (Cursor.Depth() > Outer) {
    IfrOpCode Inner;
    if (!Cursor.Peek(&Inner)) return false;
    if (Inner.Code() == EFI_IFR_ONE_OF_OPTION_OP) ReadOption(Inner, Item);
    Cursor.Step();
  }
  return true;
}

bool LabelNumber(const IfrOpCode &Op, UINT16 *Number) {
  EFI_GUID Guid = {};
  UINT8 Extended = 0;
  return Op.Code() == EFI_IFR_GUID_OP && Op.Length() >= sizeof(EFI_IFR_GUID_LABEL) &&
         Op.ReadGuid(__builtin_offsetof(EFI_IFR_GUID, Guid), &Guid) && GuidEquals(Guid, IFR_EXTENSION_GUID) &&
         Op.Read8(__builtin_offsetof(EFI_IFR_GUID_LABEL, ExtendOpCode), &Extended) &&
         Extended == EFI_IFR_EXTEND_OP_LABEL &&
         Op.Read16(__builtin_offsetof(EFI_IFR_GUID_LABEL, Number), Number);
}

// Calls Visit(cursor, op) for every opcode of every forms package, the cursor
// standing on op; Visit consumes what it wants (at least op) and returns false
// to stop. False when a package is malformed.
template <typename Visitor>
bool WalkForms(ByteView List, Visitor Visit) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    for (IfrOpCode Op; Cursor.Peek(&Op);)
      if (!Visit(Cursor, Op)) return Cursor.Status() == IfrReadStatus::Ok;
    if (Cursor.Status() != IfrReadStatus::Ok) return false;
  }
  return Packages.Status() == IfrReadStatus::Ok;
}

}  // namespace

bool ReadFormSection(ByteView List, EFI_FORM_ID FormId, UINT16 LabelStart, UINT16 LabelEnd,
                     FORM_SECTION *Section) {
  *Section = {};
  EFI_FORM_ID Form = 0;
  bool Inside = false;
  bool Read = true;
  UINTN First = 0;
  const bool Walked = WalkForms(List, [&](IfrCursor &Cursor, const IfrOpCode &Op) {
    UINT16 Label = 0;
    if (Op.Code() == EFI_IFR_FORM_OP) {
      Op.Read16(__builtin_offsetof(EFI_IFR_FORM, FormId), &Form);
      Inside = false;
    } else if (Op.Code() == EFI_IFR_END_OP) {
      // Statements consume their own scopes: an END met here closes the form
      // (or a condition around the labels), so no section runs past it.
      Inside = false;
    } else if (Form == FormId && LabelNumber(Op, &Label) && (Label == LabelStart || Label == LabelEnd)) {
      if (Label == LabelEnd && Inside) {
        Section->Found = true;
        Section->OpCodes = Cursor.Bytes().Slice(First, Op.Position() - First);
        return false;
      }
      Inside = Label == LabelStart;
      First = Op.Position() + Op.Length();
    } else if (Inside) {
      FORM_ITEM Item;
      Read = ReadItem(Cursor, &Item);
      if (Section->Count == SECTION_MAX_ITEMS)
        Section->Overflow = true;
      else
        Section->Items[Section->Count++] = Item;
      return Read;
    }
    Cursor.Step();
    return true;
  });
  return Walked && Read;
}

bool FindQuestion(ByteView List, EFI_QUESTION_ID QuestionId, FORM_ITEM *Item) {
  bool Found = false;
  WalkForms(List, [&](IfrCursor &Cursor, const IfrOpCode &Op) {
    IFR_QUESTION_FIELDS Fields{};
    if (ReadQuestionFields(Op, &Fields) && Fields.QuestionId == QuestionId) {
      Found = ReadItem(Cursor, Item);
      return false;
    }
    Cursor.Step();
    return true;
  });
  return Found;
}

bool FindFirstText(ByteView List, FORM_ITEM *Item) {
  bool Found = false;
  WalkForms(List, [&](IfrCursor &Cursor, const IfrOpCode &Op) {
    if (Op.Code() == EFI_IFR_TEXT_OP) {
      Found = ReadItem(Cursor, Item);
      return false;
    }
    Cursor.Step();
    return true;
  });
  return Found;
}

bool ReadFormSetTitle(ByteView List, EFI_STRING_ID *Title) {
  bool Found = false;
  WalkForms(List, [&](IfrCursor &, const IfrOpCode &Op) {
    Found = Op.Code() == EFI_IFR_FORM_SET_OP &&
            Op.Read16(__builtin_offsetof(EFI_IFR_FORM_SET, FormSetTitle), Title);
    return false;
  });
  return Found;
}

// UpdateFormSection on the driver's registered list in the firmware's own HII
// database: a card form's section and a main-form region filled, the same
// section updated again, sections emptied, and forms or labels that are not
// there. Each export is held against bytes computed here by plain insertion
// into the static forms package, not by the driver's splice; at the end the
// list is exactly what registration left.
#include "driver/globals.h"
#include "forms/form_ids.h"
#include "forms/static_packages.h"
#include "qemu/check_groups.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"

namespace {

constexpr UINTN LIST_HEADER_SIZE = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
constexpr UINTN LABEL_SIZE = sizeof(EFI_IFR_GUID_LABEL);

// A pool block holding one export of a package list; empty on failure.
struct ListCopy {
  UINT8 *Bytes = nullptr;
  UINTN Size = 0;
  ByteView View() const { return ByteView(Bytes, Size); }
  // The first package, which is the forms package: the database exports it first.
  ByteView FormsPackage() const {
    const ByteView Rest = View().From(LIST_HEADER_SIZE);
    return Rest.Size() < sizeof(EFI_HII_PACKAGE_HEADER) ? ByteView() : Rest.First(ReadLe24(Rest.Data()));
  }
};

ListCopy ExportDriverList() {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL)
    return {};
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (Bytes == nullptr) return {};
  const EFI_STATUS Status = HiiDatabase->ExportPackageLists(
      HiiDatabase, DriverHiiHandle, &Size, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes));
  if (EFI_ERROR(Status)) {
    PoolFree(Bytes);
    return {};
  }
  return {Bytes, Size};
}

// Where the Nth (from 0) copy of Pattern ends in Bytes; 0 when there is none.
UINTN EndOfPattern(ByteView Bytes, ByteView Pattern, UINTN Nth) {
  for (UINTN At = 0; At + Pattern.Size() <= Bytes.Size(); ++At)
    if (Bytes.Slice(At, Pattern.Size()).SameBytes(Pattern) && Nth-- == 0) return At + Pattern.Size();
  return 0;
}

// The static forms package with MainOpCodes after the label 0x2000 of the main
// form (the first copy of that label: the main form comes first) and CardOpCodes
// after the label 0x2000 of card form 0x9011, its length fixed: what the
// database must then export.
struct Expected {
  UINT8 Bytes[ADDONCARD_FORM_PACKAGE_SIZE + 512] = {};
  UINTN Size = 0;
};
bool BuildExpected(ByteView StartLabel, ByteView CardOpCodes, ByteView MainOpCodes, Expected *Out) {
  const ByteView Static(AddOnCardForms + 4, ADDONCARD_FORM_PACKAGE_SIZE);
  const UINTN MainAt = EndOfPattern(Static, StartLabel, 0);
  const UINTN CardAt = EndOfPattern(Static, StartLabel, 1);
  if (MainAt == 0 || CardAt <= MainAt) return false;
  ByteWriter Writer(Out->Bytes, sizeof(Out->Bytes));
  Writer.PutBytes(Static.First(MainAt));
  Writer.PutBytes(MainOpCodes);
  Writer.PutBytes(Static.Slice(MainAt, CardAt - MainAt));
  Writer.PutBytes(CardOpCodes);
  Writer.PutBytes(Static.From(CardAt));
  Writer.PatchValue(0, Writer.Size(), 3);
  Out->Size = Writer.Size();
  return !Writer.Failed();
}

// The buffers the group writes; all are freed at the end.
struct Buffers {
  OpCodeBuffer *CardStart = nullptr;  // label 0x2000, a text, a numeric
  OpCodeBuffer *CardAgain = nullptr;  // label 0x2000, another text
  OpCodeBuffer *CardEnd = nullptr;    // label 0x2FFF
  OpCodeBuffer *MainStart = nullptr;  // label 0x2000, a goto to card form 0x9011
  OpCodeBuffer *MainEnd = nullptr;    // label 0x21FF
  OpCodeBuffer *LabelOnly = nullptr;  // label 0x2000
  OpCodeBuffer *OtherEnd = nullptr;   // label 0x3FFF, which form 0x9011 lacks
};

bool Build(Buffers &B) {
  OpCodeBuffer **All[] = {&B.CardStart, &B.CardAgain, &B.CardEnd, &B.MainStart,
                          &B.MainEnd,   &B.LabelOnly, &B.OtherEnd};
  for (OpCodeBuffer **Buffer : All)
    if ((*Buffer = OpCodeBufferNew()) == nullptr) return false;
  OpCodeBuffer *Starts[] = {B.CardStart, B.CardAgain, B.MainStart, B.LabelOnly};
  for (OpCodeBuffer *Start : Starts) EmitLabel(Start, CardPageLabelStart(0));
  EmitText(B.CardStart, STR_FORMSET_TITLE, STR_EMPTY, 0);
  EmitNumeric(B.CardStart, {STR_PAIR_COUNT_PROMPT, STR_EMPTY, 0x100, ADDONCARD_OOB_VARSTORE_ID, 0, 0x14},
              {EFI_IFR_NUMERIC_SIZE_1, 0, 255, 1});
  EmitText(B.CardAgain, STR_FORMSET_HELP, STR_EMPTY, STR_FORMSET_TITLE);
  EmitRef(B.MainStart,
          {CardTitleStringId(0), CardTitleStringId(0), CardFormId(0), 0, 0, EFI_IFR_FLAG_CALLBACK},
          CardFormId(0));
  EmitLabel(B.CardEnd, CardPageLabelEnd(0));
  EmitLabel(B.MainEnd, MAIN_FORM_LABEL_PAIRS[0].End);
  EmitLabel(B.OtherEnd, CardPageLabelEnd(1));
  for (OpCodeBuffer **Buffer : All)
    if (EFI_ERROR(OpCodeBufferStatus(*Buffer))) return false;
  return true;
}

void Free(Buffers &B) {
  OpCodeBuffer *All[] = {B.CardStart, B.CardAgain, B.CardEnd, B.MainStart,
                         B.MainEnd,   B.LabelOnly, B.OtherEnd};
  for (OpCodeBuffer *Buffer : All) OpCodeBufferFree(Buffer);
}

ByteView After(const OpCodeBuffer *Start) { return OpCodeBufferBytes(Start).From(LABEL_SIZE); }

// Runs one update, then holds the export against the static forms package with
// CardOpCodes and MainOpCodes inserted: the forms package byte for byte, its
// length, and the list's length in its header and in the export's size.
void CheckUpdate(CheckLog &Log, const CHAR8 *Name, EFI_FORM_ID FormId, const OpCodeBuffer *Start,
                 const OpCodeBuffer *End, ByteView CardOpCodes, ByteView MainOpCodes,
                 const ListCopy &Original) {
  ReportLine Details;
  const EFI_STATUS Status = UpdateFormSection(FormId, Start, End);
  Expected Want;
  ListCopy Now = Status == EFI_SUCCESS ? ExportDriverList() : ListCopy{};
  const ByteView Forms = Now.FormsPackage();
  UINT32 StatedListLength = 0;
  Now.View().Read32(__builtin_offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength), &StatedListLength);
  const UINTN Added = CardOpCodes.Size() + MainOpCodes.Size();
  if (Status != EFI_SUCCESS) {
    Details.Text("UpdateFormSection gave ").Status(Status);
  } else if (Now.Bytes == nullptr) {
    Details.Text("the list could not be exported");
  } else if (!BuildExpected(OpCodeBufferBytes(Start).First(LABEL_SIZE), CardOpCodes, MainOpCodes, &Want)) {
    Details.Text("the static forms package has no place for the opcodes");
  } else if (Now.Size != Original.Size + Added || StatedListLength != Now.Size) {
    Details.Text("list of ")
        .Decimal(Now.Size)
        .Text(" bytes stating ")
        .Decimal(StatedListLength)
        .Text(", expected ");
    Details.Decimal(Original.Size + Added);
  } else if (Forms.Size() != Want.Size) {
    Details.Text("forms package of ").Decimal(Forms.Size()).Text(" bytes, expected ").Decimal(Want.Size);
  } else if (!Forms.SameBytes(ByteView(Want.Bytes, Want.Size))) {
    Details.Text("the forms package differs from the static one with the opcodes inserted");
  }
  Log.Record(Name, Details.IsEmpty(), Details);
  PoolFree(Now.Bytes);
}

// An update that must not happen: its status, and the export still the original.
void CheckRefusal(CheckLog &Log, const CHAR8 *Name, EFI_FORM_ID FormId, const OpCodeBuffer *Start,
                  const OpCodeBuffer *End, const ListCopy &Original) {
  ReportLine Details;
  const EFI_STATUS Status = UpdateFormSection(FormId, Start, End);
  ListCopy Now = ExportDriverList();
  if (Status != EFI_NOT_FOUND)
    Details.Text("UpdateFormSection gave ").Status(Status);
  else if (Now.Bytes == nullptr || Now.Size != Original.Size || !Now.View().SameBytes(Original.View()))
    Details.Text("the exported list changed");
  Log.Record(Name, Details.IsEmpty(), Details);
  PoolFree(Now.Bytes);
}

}  // namespace

void RunFormUpdateChecks(CheckLog &Log) {
  ReportLine Details;
  ListCopy Original = DriverHiiHandle == nullptr ? ListCopy{} : ExportDriverList();
  Buffers B;
  const bool Ready = Original.Bytes != nullptr && Build(B);
  Log.Record(
      "form-update/the driver's list exports and the opcode buffers are written", Ready,
      Details.Text(DriverHiiHandle == nullptr ? "no driver list registered" : "export or buffers failed"));
  if (Ready) {
    SetCurrentHiiHandle(DriverHiiHandle);
    const ByteView None;
    CheckUpdate(Log, "form-update/card form 0x9011 takes a text and a numeric between its labels",
                CardFormId(0), B.CardStart, B.CardEnd, After(B.CardStart), None, Original);
    CheckUpdate(Log, "form-update/main-form region 0 takes a goto; the card form keeps its opcodes",
                ADDONCARD_MAIN_FORM_ID, B.MainStart, B.MainEnd, After(B.CardStart), After(B.MainStart),
                Original);
    CheckUpdate(Log, "form-update/a second update of the card section replaces the first", CardFormId(0),
                B.CardAgain, B.CardEnd, After(B.CardAgain), After(B.MainStart), Original);
    CheckUpdate(Log, "form-update/a start buffer holding only its label empties the card section",
                CardFormId(0), B.LabelOnly, B.CardEnd, None, After(B.MainStart), Original);
    CheckUpdate(Log,
                "form-update/the main-form region empties too: the forms package is the static one again",
                ADDONCARD_MAIN_FORM_ID, B.LabelOnly, B.MainEnd, None, None, Original);
    CheckRefusal(Log, "form-update/an unknown form gives EFI_NOT_FOUND and changes nothing", 0x9099,
                 B.CardStart, B.CardEnd, Original);
    CheckRefusal(Log, "form-update/labels of form 0x9011 asked for in form 0x9012 give EFI_NOT_FOUND",
                 CardFormId(1), B.CardStart, B.CardEnd, Original);
    CheckRefusal(Log, "form-update/an end label the form lacks gives EFI_NOT_FOUND", CardFormId(0),
                 B.CardStart, B.OtherEnd, Original);

    ListCopy Final = ExportDriverList();
    ReportLine FinalDetails;
    Log.Record(
        "form-update/the list exports byte for byte as registration left it",
        Final.Bytes != nullptr && Final.View().SameBytes(Original.View()),
        FinalDetails.Text("export of ").Decimal(Final.Size).Text(" bytes, was ").Decimal(Original.Size));
    PoolFree(Final.Bytes);
  }
  Free(B);
  PoolFree(Original.Bytes);
}

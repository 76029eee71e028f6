#include "support/form_update.h"

#include "driver/globals.h"
#include "forms/identities.h"
#include "support/ifr_reader.h"
#include "support/language.h"
#include "support/pool.h"

namespace {

constexpr UINTN MAX_UINTN = ~static_cast<UINTN>(0);
constexpr UINTN MAX_PACKAGE_LENGTH = 0xFFFFFF;         // 24 bits of a package header
constexpr UINTN MAX_PACKAGE_LIST_LENGTH = 0xFFFFFFFF;  // the list header's UINT32

// Where the old section of a form lies in its package.
struct FORM_SECTION {
  UINTN Begin;  // just after the start label
  UINTN End;    // at the end label
  UINTN Limit;  // the end of the package's opcodes
};

// A label to look for: the first opcode of a buffer, whole and without scope
// (a label that opened a scope would take its END out with the old section).
bool FirstLabel(ByteView OpCodes, IfrOpCode *Label) {
  IfrCursor Cursor = IfrCursor::OverOpCodes(OpCodes);
  return Cursor.Peek(Label) && !Label->Scope();
}

// True when the bytes are whole opcodes and close every scope they open, so
// that putting them into a form keeps its scopes balanced.
bool WholeOpCodes(ByteView OpCodes) {
  IfrCursor Cursor = IfrCursor::OverOpCodes(OpCodes);
  for (IfrOpCode Op; Cursor.Next(&Op);) {
  }
  return Cursor.Status() == IfrReadStatus::Ok;
}

bool IsDriverFormSet(const IfrOpCode &Op) {
  EFI_GUID Guid = {};
  return Op.ReadGuid(__builtin_offsetof(EFI_IFR_FORM_SET, Guid), &Guid) &&
         GuidEquals(Guid, ADDONCARD_FORMSET_GUID);
}

// EFI_IFR_FORM and EFI_IFR_FORM_MAP both carry the form id right after the header.
bool IsForm(const IfrOpCode &Op, EFI_FORM_ID FormId) {
  static_assert(__builtin_offsetof(EFI_IFR_FORM, FormId) == __builtin_offsetof(EFI_IFR_FORM_MAP, FormId));
  UINT16 Id = 0;
  return Op.Read16(__builtin_offsetof(EFI_IFR_FORM, FormId), &Id) && Id == FormId;
}

// The depth inside the scope an opener starts, or 0 when it starts none.
UINTN DepthInside(const IfrCursor &Cursor, const IfrOpCode &Op) {
  return Op.Scope() ? Cursor.Depth() + 1 : 0;
}

// Leaves the cursor on the start label inside form FormId of the driver's form
// set. The form set and the form count only while their scopes are open.
bool FindStartLabel(IfrCursor &Cursor, EFI_FORM_ID FormId, const IfrOpCode &StartLabel) {
  UINTN FormSetDepth = 0;  // depth inside the driver's form set, 0 outside it
  UINTN FormDepth = 0;     // depth inside the form asked for, 0 outside it
  for (IfrOpCode Op; Cursor.Peek(&Op);) {
    if (Op.Code() == EFI_IFR_FORM_SET_OP)
      FormSetDepth = IsDriverFormSet(Op) ? DepthInside(Cursor, Op) : 0;
    else if (Op.Code() == EFI_IFR_FORM_OP || Op.Code() == EFI_IFR_FORM_MAP_OP)
      FormDepth = IsForm(Op, FormId) ? DepthInside(Cursor, Op) : 0;
    else if (FormSetDepth != 0 && FormDepth != 0 && Op.SameAs(StartLabel))
      return true;
    Cursor.Step();
    if (Cursor.Depth() < FormSetDepth) FormSetDepth = 0;
    if (Cursor.Depth() < FormDepth) FormDepth = 0;
  }
  return false;
}

// The end label must stand in the scope that holds the start label, at the
// same depth: replacing what lies between them then removes whole scopes only.
EFI_STATUS FindSection(EFI_FORM_ID FormId, ByteView Package, const IfrOpCode &StartLabel,
                       const IfrOpCode &EndLabel, FORM_SECTION *Section) {
  IfrCursor Cursor(Package);
  if (!FindStartLabel(Cursor, FormId, StartLabel)) return EFI_NOT_FOUND;
  const UINTN LabelDepth = Cursor.Depth();
  Cursor.Step();
  const UINTN Begin = Cursor.Position();
  for (IfrOpCode Op; Cursor.Peek(&Op);) {
    if (Cursor.Depth() == LabelDepth && Op.SameAs(EndLabel)) {
      *Section = {Begin, Cursor.Position(), Cursor.Limit()};
      return EFI_SUCCESS;
    }
    Cursor.Step();
    if (Cursor.Depth() < LabelDepth) break;
  }
  return EFI_NOT_FOUND;
}

// Strings to add to the string packages on the way, with their keyword language.
struct NEW_STRINGS {
  const STRING_BATCH *Batch;
  const CHAR8 *KeywordLanguage;
};

// Room the spliced copy of List may need: each forms package can grow by the
// start buffer's opcodes, each string package by the new strings. False when
// that cannot be counted.
bool SplicedListCapacity(ByteView List, UINTN StartSize, const NEW_STRINGS *Strings, UINTN *Capacity) {
  UINTN FormsPackages = 0, StringPackages = 0;
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() == EFI_HII_PACKAGE_FORMS) ++FormsPackages;
    if (Package.Type() == EFI_HII_PACKAGE_STRINGS) ++StringPackages;
  }
  const UINTN Growth = Strings == nullptr ? 0 : StringBatchGrowth(*Strings->Batch);
  if (StartSize != 0 && FormsPackages > (MAX_UINTN - List.Size()) / StartSize) return false;
  *Capacity = List.Size() + FormsPackages * StartSize;
  if (Growth != 0 && StringPackages > (MAX_UINTN - *Capacity) / Growth) return false;
  *Capacity += StringPackages * Growth;
  return true;
}

// SpliceFormPackageList, with the new strings put into the string packages
// when there are any.
EFI_STATUS RewritePackageList(EFI_FORM_ID FormId, ByteView List, ByteView Start, ByteView End,
                              const NEW_STRINGS *Strings, ByteWriter &Output);

// Splices one section (and the new strings, when given) into a copy of List in
// a new pool block (*Spliced, of *SplicedSize bytes); the caller frees it.
EFI_STATUS SpliceIntoNewBlock(ByteView List, const FORM_SECTION_UPDATE &Section, const NEW_STRINGS *Strings,
                              UINT8 **Spliced, UINTN *SplicedSize) {
  const ByteView Start = OpCodeBufferBytes(Section.Start);
  UINTN Capacity = 0;
  if (!SplicedListCapacity(List, Start.Size(), Strings, &Capacity)) return EFI_BAD_BUFFER_SIZE;
  auto *NewList = static_cast<UINT8 *>(PoolAlloc(Capacity));
  if (NewList == nullptr) return EFI_OUT_OF_RESOURCES;
  ByteWriter Output(NewList, Capacity);
  const EFI_STATUS Status =
      RewritePackageList(Section.FormId, List, Start, OpCodeBufferBytes(Section.End), Strings, Output);
  if (EFI_ERROR(Status)) {
    PoolFree(NewList);
    return Status;
  }
  *Spliced = NewList;
  *SplicedSize = Output.Size();
  return EFI_SUCCESS;
}

// Splices every section into the exported list, each into the result of the
// one before (the last one adding the new strings, when there are any), and
// hands the last result to the database.
EFI_STATUS SpliceAndUpdate(EFI_HII_DATABASE_PROTOCOL *Database, ByteView Exported,
                           const FORM_SECTION_UPDATE *Sections, UINTN Count, const NEW_STRINGS *Strings) {
  UINT8 *List = nullptr;  // the latest spliced copy; null while it is the export
  ByteView Current = Exported;
  EFI_STATUS Status = EFI_SUCCESS;
  for (UINTN Index = 0; Index < Count && !EFI_ERROR(Status); ++Index) {
    UINT8 *Spliced = nullptr;
    UINTN SplicedSize = 0;
    Status = SpliceIntoNewBlock(Current, Sections[Index], Index + 1 == Count ? Strings : nullptr, &Spliced,
                                &SplicedSize);
    if (EFI_ERROR(Status)) break;
    PoolFree(List);
    List = Spliced;
    Current = ByteView(Spliced, SplicedSize);
  }
  if (!EFI_ERROR(Status))
    Status = Database->UpdatePackageList(Database, CurrentHiiHandle,
                                         reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(List));
  PoolFree(List);
  return Status;
}

// A section whose buffers can be spliced: both present and not failed.
EFI_STATUS CheckSection(const FORM_SECTION_UPDATE &Section) {
  if (Section.Start == nullptr || Section.End == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(Section.Start->status)) return Section.Start->status;
  return Section.End->status;
}

// Sections that can be spliced into the current handle's list.
EFI_STATUS CheckSections(const FORM_SECTION_UPDATE *Sections, UINTN Count) {
  if (Sections == nullptr || Count == 0) return EFI_INVALID_PARAMETER;
  for (UINTN Index = 0; Index < Count; ++Index) {
    const EFI_STATUS Status = CheckSection(Sections[Index]);
    if (EFI_ERROR(Status)) return Status;
  }
  // With no handle the export would hand out every list in the database.
  return CurrentHiiHandle == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

}  // namespace

EFI_STATUS SpliceFormPackage(EFI_FORM_ID FormId, ByteView Package, ByteView Start, ByteView End,
                             ByteWriter &Output) {
  IfrOpCode StartLabel, EndLabel;
  if (!FirstLabel(Start, &StartLabel) || !FirstLabel(End, &EndLabel) || !WholeOpCodes(Start))
    return EFI_INVALID_PARAMETER;
  FORM_SECTION Section = {};
  const EFI_STATUS Status = FindSection(FormId, Package, StartLabel, EndLabel, &Section);
  if (EFI_ERROR(Status)) return Status;

  const ByteView Before = Package.First(Section.Begin);
  const ByteView NewOpCodes = Start.From(StartLabel.Length());
  const ByteView After = Package.Slice(Section.End, Section.Limit - Section.End);
  const UINTN Length = Before.Size() + NewOpCodes.Size() + After.Size();
  if (Length > MAX_PACKAGE_LENGTH) return EFI_BAD_BUFFER_SIZE;
  if (Output.Failed() || Length > Output.Room()) return EFI_BUFFER_TOO_SMALL;
  const UINTN At = Output.Size();
  Output.PutBytes(Before);
  Output.PutBytes(NewOpCodes);
  Output.PutBytes(After);
  Output.PatchValue(At, Length, 3);  // bits 0-23; the type byte stays
  return EFI_SUCCESS;
}

EFI_STATUS SpliceFormPackageList(EFI_FORM_ID FormId, ByteView List, ByteView Start, ByteView End,
                                 ByteWriter &Output) {
  return RewritePackageList(FormId, List, Start, End, nullptr, Output);
}

namespace {

EFI_STATUS RewritePackageList(EFI_FORM_ID FormId, ByteView List, ByteView Start, ByteView End,
                              const NEW_STRINGS *Strings, ByteWriter &Output) {
  PackageListReader Packages(List);
  if (Packages.Status() != IfrReadStatus::Ok) return EFI_VOLUME_CORRUPTED;
  const UINTN At = Output.Size();
  Output.PutBytes(Packages.Header());
  bool Changed = false;
  for (HiiPackage Package; Packages.Next(&Package);) {
    EFI_STATUS Status = EFI_NOT_FOUND;
    if (Package.Type() == EFI_HII_PACKAGE_FORMS) {
      Status = SpliceFormPackage(FormId, Package.Bytes(), Start, End, Output);
      Changed = Changed || Status == EFI_SUCCESS;
    } else if (Package.Type() == EFI_HII_PACKAGE_STRINGS && Strings != nullptr) {
      Status = AppendBatchToPackage(Package.Bytes(), *Strings->Batch, Strings->KeywordLanguage, Output);
    }
    if (Status == EFI_NOT_FOUND)
      Output.PutBytes(Package.Bytes());
    else if (EFI_ERROR(Status))
      return Status;
  }
  if (Packages.Status() != IfrReadStatus::Ok) return EFI_VOLUME_CORRUPTED;
  if (!Changed) return EFI_NOT_FOUND;
  if (Output.Failed()) return EFI_BUFFER_TOO_SMALL;
  const UINTN Length = Output.Size() - At;
  if (Length > MAX_PACKAGE_LIST_LENGTH) return EFI_BAD_BUFFER_SIZE;
  Output.PatchValue(At + __builtin_offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength), Length, 4);
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS UpdateFormSection(EFI_FORM_ID FormId, const OpCodeBuffer *Start, const OpCodeBuffer *End) {
  const FORM_SECTION_UPDATE Section = {FormId, Start, End};
  return UpdateFormSections(&Section, 1);
}

EFI_STATUS UpdateFormSectionsAndStrings(ByteView Exported, const FORM_SECTION_UPDATE *Sections, UINTN Count,
                                        const STRING_BATCH &Strings, const CHAR8 *KeywordLanguage) {
  EFI_STATUS Status = CheckSections(Sections, Count);
  if (EFI_ERROR(Status)) return Status;
  if (KeywordLanguage == nullptr || Exported.Empty()) return EFI_INVALID_PARAMETER;
  Status = StringBatchStatus(Strings);
  if (EFI_ERROR(Status)) return Status;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  const NEW_STRINGS New = {&Strings, KeywordLanguage};
  return SpliceAndUpdate(Database, Exported, Sections, Count, &New);
}

EFI_STATUS UpdateFormSections(const FORM_SECTION_UPDATE *Sections, UINTN Count) {
  const EFI_STATUS Checked = CheckSections(Sections, Count);
  if (EFI_ERROR(Checked)) return Checked;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;

  UINTN Size = 0;
  EFI_STATUS Status = Database->ExportPackageLists(Database, CurrentHiiHandle, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return Status;
  auto *Exported = static_cast<UINT8 *>(PoolAlloc(Size));
  if (Exported == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Written = Size;
  Status = Database->ExportPackageLists(Database, CurrentHiiHandle, &Written,
                                        reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Exported));
  if (!EFI_ERROR(Status)) Status = SpliceAndUpdate(Database, ByteView(Exported, Size), Sections, Count, nullptr);
  PoolFree(Exported);
  return Status;
}

#include "forms/notify.h"

#include "driver/card_inventory.h"
#include "driver/card_pages.h"
#include "driver/globals.h"
#include "forms/variables.h"
#include "hii/foreign_varstore.h"
#include "support/bytes.h"
#include "support/ifr_reader.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"

namespace {

constexpr UINTN FORM_SET_TITLE_AT = __builtin_offsetof(EFI_IFR_FORM_SET, FormSetTitle);
constexpr UINT32 PCI_VENDOR_ID_OFFSET = 0x00;
constexpr UINT32 PCI_DEVICE_ID_OFFSET = 0x02;
// Titles of the form sets that network stacks publish per MAC address; they
// are never a card's own setup.
constexpr CHAR16 MAC_TITLE_PREFIX[] = u"MAC:";
constexpr UINTN MAC_TITLE_PREFIX_CHARS = ArrayCount(MAC_TITLE_PREFIX) - 1;

// ---- the scan -------------------------------------------------------------------------

// The handles of every package list in the database that holds a forms
// package, in a new pool block: no other list can be a card's setup, so no
// other list is exported.
EFI_STATUS ListAllPackageLists(EFI_HII_DATABASE_PROTOCOL *Database, EFI_HII_HANDLE **Handles, UINTN *Count) {
  UINTN Length = 0;
  EFI_STATUS Status = Database->ListPackageLists(Database, EFI_HII_PACKAGE_FORMS, nullptr, &Length, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  auto *Buffer = static_cast<EFI_HII_HANDLE *>(PoolAllocZero(Length));
  if (Buffer == nullptr) return EFI_OUT_OF_RESOURCES;
  const UINTN Allocated = Length;
  Status = Database->ListPackageLists(Database, EFI_HII_PACKAGE_FORMS, nullptr, &Length, Buffer);
  if (EFI_ERROR(Status)) {
    PoolFree(Buffer);
    return Status;
  }
  // Never more handles than the block holds, whatever length came back.
  *Handles = Buffer;
  *Count = (Length < Allocated ? Length : Allocated) / sizeof(EFI_HII_HANDLE);
  return EFI_SUCCESS;
}

// One package list as the database exports it, in a new pool block of *Size bytes.
EFI_STATUS ExportOneList(EFI_HII_DATABASE_PROTOCOL *Database, EFI_HII_HANDLE Handle, UINT8 **List,
                         UINTN *Size) {
  // A null handle would export every list of the database.
  if (Handle == nullptr) return EFI_INVALID_PARAMETER;
  UINTN Needed = 0;
  EFI_STATUS Status = Database->ExportPackageLists(Database, Handle, &Needed, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  // Not cleared first: the export writes the list over it, and a card's list
  // can be large. Whatever the firmware reports it did not write is cleared.
  auto *Bytes = static_cast<UINT8 *>(PoolAlloc(Needed));
  if (Bytes == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Written = Needed;
  Status = Database->ExportPackageLists(Database, Handle, &Written,
                                        reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes));
  if (EFI_ERROR(Status)) {
    PoolFree(Bytes);
    return Status;
  }
  if (Written < Needed) ZeroBytes(Bytes + Written, Needed - Written);
  *List = Bytes;
  *Size = Needed;  // the firmware may leave the size as passed on success
  return EFI_SUCCESS;
}

// The title string of the list's form set when the list qualifies as a card's
// setup: its first package is a forms package whose first opcode is a whole
// form set. False for any other list, and for one malformed before that point.
bool QualifyingFormSetTitle(ByteView List, EFI_STRING_ID *Title) {
  PackageListReader Packages(List);
  HiiPackage First;
  if (!Packages.Next(&First) || First.Type() != EFI_HII_PACKAGE_FORMS) return false;
  IfrCursor Cursor(First.Bytes());
  IfrOpCode Op;
  return Cursor.Peek(&Op) && Op.Code() == EFI_IFR_FORM_SET_OP && Op.HasFixedFields() &&
         Op.Read16(FORM_SET_TITLE_AT, Title);
}

bool IsMacTitle(const CHAR16 *Title) {
  return Utf16LengthBounded(Title, MAC_TITLE_PREFIX_CHARS) == MAC_TITLE_PREFIX_CHARS &&
         Utf16CompareN(Title, MAC_TITLE_PREFIX, MAC_TITLE_PREFIX_CHARS) == 0;
}

// The first pair in use that both IDs match; pairs in use are the first
// PairCount, taken as 1 when 0 and as 10 above 10.
bool FindSupportedPair(const ADDONCARD_PCI_ID_LIST &List, UINT16 VendorId, UINT16 DeviceId, UINTN *Pair) {
  if (VendorId == 0 || DeviceId == 0) return false;
  UINTN InUse = List.PairCount == 0 ? 1 : List.PairCount;
  if (InUse > ADDONCARD_MAX_PCI_ID_PAIRS) InUse = ADDONCARD_MAX_PCI_ID_PAIRS;
  for (UINTN Index = 0; Index < InUse; ++Index) {
    if (List.VendorId[Index] == VendorId && List.DeviceId[Index] == DeviceId) {
      *Pair = Index;
      return true;
    }
  }
  return false;
}

// True when Handle's list was published for a supported card; *Pair is then
// the supported pair it matches.
bool IsSupportedCardList(EFI_HII_HANDLE Handle, UINTN *Pair) {
  UINT16 VendorId = 0, DeviceId = 0;
  return !EFI_ERROR(GetPackageListPciIds(Handle, &VendorId, &DeviceId)) &&
         FindSupportedPair(PciIdListCopy, VendorId, DeviceId, Pair);
}

// Builds a page for the exported list of a supported card's Handle when the
// list qualifies.
void ScanOneList(EFI_HII_HANDLE Handle, UINT16 DeviceId, ByteView List) {
  EFI_STRING_ID TitleId = 0;
  if (!QualifyingFormSetTitle(List, &TitleId)) return;
  CHAR16 *Title = GetStringInBestLanguage(Handle, TitleId);
  if (Title != nullptr && !IsMacTitle(Title))
    BuildCardPage(Handle, DeviceId, Title, List.Data(), List.Size());
  PoolFree(Title);
}

// ---- apply ------------------------------------------------------------------------------

// The used record with that keyword, or null.
const MIRRORED_QUESTION *FindMirroredQuestion(const CHAR16 *KeywordText) {
  for (UINTN Index = 0; Index < MirroredQuestionCount && Index < MIRRORED_QUESTION_LIMIT; ++Index) {
    const MIRRORED_QUESTION &Record = MirroredQuestionTable[Index];
    if (Record.CardHiiHandle == nullptr) break;
    if (Utf16CompareN(Record.Keyword, KeywordText, MIRRORED_KEYWORD_CHARS) == 0) return &Record;
  }
  return nullptr;
}

bool IsValueWidth(UINTN Width) { return Width == 1 || Width == 2 || Width == 4 || Width == 8; }

// The card's store read whole, the question's bytes set to Value at its full
// width, and the store written back when they changed.
EFI_STATUS ApplyToStore(const MIRRORED_QUESTION &Record, const VARSTORE_RECORD &Store, UINT8 Value) {
  const UINTN Width = Record.CardWidth;
  if (!IsValueWidth(Width) || Store.Size > VARSTORE_BLOCK_BYTES || Record.CardVarOffset > Store.Size ||
      Width > Store.Size - Record.CardVarOffset)
    return EFI_BAD_BUFFER_SIZE;
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Store.Size));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  EFI_STATUS Status = ReadVarStoreBlock(Record.CardHiiHandle, Store.Name, &Store.Guid, Block, Store.Size);
  // Nothing is written back but what was read whole.
  if (!EFI_ERROR(Status) && ReadLe(Block + Record.CardVarOffset, Width) != Value) {
    WriteLe(Block + Record.CardVarOffset, Value, Width);
    Status = WriteVarStoreBlock(Record.CardHiiHandle, Store.Name, &Store.Guid, Block, Store.Size);
    DiscardVarStoreReadCache();
  }
  PoolFree(Block);
  return Status;
}

// The keyword of a record as the text SetQuestionByte takes: at most
// MIRRORED_KEYWORD_CHARS characters, NUL-terminated. Copied, never used as a
// format: it is data.
void KeywordText(const MIRRORED_QUESTION &Record, CHAR16 (&Text)[APPLY_KEYWORD_CHARS]) {
  static_assert(MIRRORED_KEYWORD_CHARS < APPLY_KEYWORD_CHARS);
  ZeroBytes(Text, sizeof(Text));
  for (UINTN Index = 0; Index < MIRRORED_KEYWORD_CHARS && Record.Keyword[Index] != 0; ++Index)
    Text[Index] = Record.Keyword[Index];
}

void ApplyChangedSlots(const ADDONCARD_OOB_SLOTS &Oob) {
  // The count is read again after every write-back.
  for (UINTN Index = 0; Index < MirroredQuestionCount && Index < MIRRORED_QUESTION_LIMIT; ++Index) {
    const MIRRORED_QUESTION &Record = MirroredQuestionTable[Index];
    if (!MirroredQuestionIsApplied(Record) || Record.OobSlot >= ADDONCARD_OOB_SLOT_COUNT) continue;
    const UINT8 Value = Oob.Slot[Record.OobSlot];
    if (Value == Record.BuildValue) continue;
    CHAR16 Keyword[APPLY_KEYWORD_CHARS];
    KeywordText(Record, Keyword);
    SetQuestionByte(Keyword, Value);
  }
}

void CloseOwnEvent(EFI_EVENT Event) {
  if (BootServices != nullptr && Event != nullptr) BootServices->CloseEvent(Event);
}

}  // namespace

void EFIAPI OnCardFormsNotify(EFI_EVENT, void *) {
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  // With the driver's form set removed there is no list to put pages on.
  if (Database == nullptr || DriverHiiHandle == nullptr) return;
  EFI_HII_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (EFI_ERROR(ListAllPackageLists(Database, &Handles, &Count))) return;
  LoadPciVar(&PciIdListCopy);
  for (UINTN Index = 0; Index < Count; ++Index) {
    // The card is identified before its list is exported: the platform's own
    // form sets, most of the lists, are never copied out.
    UINTN Pair = 0;
    UINT8 *List = nullptr;
    UINTN Size = 0;
    if (!IsSupportedCardList(Handles[Index], &Pair) ||
        EFI_ERROR(ExportOneList(Database, Handles[Index], &List, &Size)))
      continue;
    ScanOneList(Handles[Index], PciIdListCopy.DeviceId[Pair], ByteView(List, Size));
    PoolFree(List);
  }
  PoolFree(Handles);
}

void EFIAPI OnFormsRemoveNotify(EFI_EVENT Event, void *) {
  CloseOwnEvent(Event);
  // No database: nothing can be registered, so there is nothing to remove.
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr || DriverHiiHandle == nullptr) return;
  if (!EFI_ERROR(Database->RemovePackageList(Database, DriverHiiHandle))) DriverHiiHandle = nullptr;
}

void EFIAPI OnOobApplyNotify(EFI_EVENT Event, void *) {
  CloseOwnEvent(Event);
  ADDONCARD_OOB_SLOTS Oob;
  if (EFI_ERROR(LoadOobVar(&Oob))) return;
  DiscardVarStoreReadCache();
  ApplyChangedSlots(Oob);
  DiscardVarStoreReadCache();
}

EFI_STATUS GetPackageListPciIds(EFI_HII_HANDLE HiiHandle, UINT16 *VendorId, UINT16 *DeviceId) {
  if (VendorId == nullptr || DeviceId == nullptr) return EFI_INVALID_PARAMETER;
  EFI_PCI_IO_PROTOCOL *PciIo = nullptr;
  EFI_STATUS Status = FindCardPciIo(HiiHandle, &PciIo);
  if (EFI_ERROR(Status)) return Status;
  UINT16 Vendor = 0, Device = 0;
  Status = PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, PCI_VENDOR_ID_OFFSET, 1, &Vendor);
  if (EFI_ERROR(Status)) return Status;
  Status = PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, PCI_DEVICE_ID_OFFSET, 1, &Device);
  if (EFI_ERROR(Status)) return Status;
  *VendorId = Vendor;
  *DeviceId = Device;
  return EFI_SUCCESS;
}

EFI_STATUS SetQuestionByte(const CHAR16 *KeywordText, UINT8 Value) {
  if (KeywordText == nullptr) return EFI_INVALID_PARAMETER;
  const MIRRORED_QUESTION *Record = FindMirroredQuestion(KeywordText);
  if (Record == nullptr) return EFI_NOT_FOUND;
  if (!MirroredQuestionIsApplied(*Record)) return EFI_WRITE_PROTECTED;
  const VARSTORE_RECORD *Store = FindVarStore(Record->CardHiiHandle, Record->CardVarStoreId);
  if (Store == nullptr) return EFI_NOT_FOUND;
  return ApplyToStore(*Record, *Store, Value);
}

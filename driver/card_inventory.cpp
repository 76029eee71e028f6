#include "driver/card_inventory.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "hii/foreign_varstore.h"
#include "support/device_path.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "uefi/guids.h"

constinit UINT16 NextCardPage = 0;
constinit MIRRORED_QUESTION *MirroredQuestionTable = nullptr;
constinit UINT16 MirroredQuestionCapacity = 0;
constinit UINT16 MirroredQuestionCount = 0;
constinit UINT16 OobSlotCount = 0;
constinit UINT16 KeywordCount = 0;
constinit UINT16 StringSlotCount = 0;
constinit CARD_STORE_CACHE CardStoreCache = {};

namespace {

constexpr UINTN ONE_OF_FLAGS_AT = __builtin_offsetof(EFI_IFR_ONE_OF, Flags);
constexpr UINTN STRING_MAX_SIZE_AT = __builtin_offsetof(EFI_IFR_STRING, MaxSize);
static_assert(ONE_OF_FLAGS_AT == __builtin_offsetof(EFI_IFR_NUMERIC, Flags));

// ---- reading a card's stores ------------------------------------------------------------

// A whole store in a new pool block (at least one byte long) of *Size bytes.
struct STORE_BYTES {
  UINT8 *Block = nullptr;
  UINTN Size = 0;
};

// An EFI variable store, read as the variable really is: its size is asked
// first, so a variable larger or smaller than the store declares is read whole
// and only what it holds is used.
EFI_STATUS ReadEfiStore(const VARSTORE_RECORD &Store, STORE_BYTES *Bytes) {
  if (RuntimeServices == nullptr) return EFI_NOT_READY;
  const EFI_GUID *Guid = &Store.Guid;
  UINT32 Attributes = 0;
  UINTN Size = 0;
  EFI_STATUS Status = RuntimeServices->GetVariable(Store.Name, Guid, &Attributes, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  if (Size > VARSTORE_BLOCK_BYTES) return EFI_BUFFER_TOO_SMALL;
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Size == 0 ? 1 : Size));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Read = Size;
  Status = RuntimeServices->GetVariable(Store.Name, Guid, &Attributes, &Read, Block);
  if (EFI_ERROR(Status)) {
    PoolFree(Block);
    return Status;
  }
  *Bytes = {Block, Read < Size ? Read : Size};
  return EFI_SUCCESS;
}

bool CachingStoresOf(EFI_HII_HANDLE CardHiiHandle) {
  return CardStoreCache.Card != nullptr && CardStoreCache.Card == CardHiiHandle;
}

// A buffer store at the size it declares: through the router (or the read
// cache), or, while its card's page is built, from the card itself.
EFI_STATUS ReadBufferStore(EFI_HII_HANDLE CardHiiHandle, const VARSTORE_RECORD &Store, STORE_BYTES *Bytes) {
  if (Store.Size > VARSTORE_BLOCK_BYTES) return EFI_BUFFER_TOO_SMALL;
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Store.Size == 0 ? 1 : Store.Size));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Status =
      CachingStoresOf(CardHiiHandle)
          ? ReadCardStoreBlock(CardHiiHandle, Store.Name, &Store.Guid, Block, Store.Size, CardStoreCache.List)
          : ReadVarStoreBlock(CardHiiHandle, Store.Name, &Store.Guid, Block, Store.Size);
  if (EFI_ERROR(Status)) {
    PoolFree(Block);
    return Status;
  }
  *Bytes = {Block, Store.Size};
  return EFI_SUCCESS;
}

// The block of the store kept for this page build, or null.
const CARD_STORE_CACHE_ENTRY *KeptStore(EFI_HII_HANDLE CardHiiHandle, UINT16 VarStoreId) {
  if (!CachingStoresOf(CardHiiHandle)) return nullptr;
  for (UINTN Index = 0; Index < CardStoreCache.Count; ++Index)
    if (CardStoreCache.Entries[Index].VarStoreId == VarStoreId) return &CardStoreCache.Entries[Index];
  return nullptr;
}

// Keeps a block just read for the rest of the page build; false when it is
// not kept (no build of that card, or no room), and the caller frees it.
bool KeepStore(EFI_HII_HANDLE CardHiiHandle, UINT16 VarStoreId, const STORE_BYTES &Bytes) {
  if (!CachingStoresOf(CardHiiHandle) || CardStoreCache.Count == CARD_STORE_CACHE_ENTRIES) return false;
  CardStoreCache.Entries[CardStoreCache.Count++] = {VarStoreId, Bytes.Block, Bytes.Size};
  return true;
}

// Up to Count bytes from Offset of the card's store VarStoreId into Out; *Got
// tells how many the store holds there. EFI_NOT_FOUND when the store is not
// registered for this card or Offset lies past its end. A store that could not
// be read is asked again at the next question.
EFI_STATUS ReadCardStore(EFI_HII_HANDLE CardHiiHandle, UINT16 VarStoreId, UINTN Offset, UINTN Count,
                         UINT8 *Out, UINTN *Got) {
  const VARSTORE_RECORD *Store = FindVarStore(CardHiiHandle, VarStoreId);
  if (Store == nullptr) return EFI_NOT_FOUND;
  const CARD_STORE_CACHE_ENTRY *Kept = KeptStore(CardHiiHandle, VarStoreId);
  STORE_BYTES Bytes = Kept != nullptr ? STORE_BYTES{Kept->Block, Kept->Size} : STORE_BYTES{};
  if (Kept == nullptr) {
    const EFI_STATUS Status =
        Store->IsEfi != 0 ? ReadEfiStore(*Store, &Bytes) : ReadBufferStore(CardHiiHandle, *Store, &Bytes);
    if (EFI_ERROR(Status)) return Status;
  }
  const ByteView Held = ByteView(Bytes.Block, Bytes.Size).From(Offset);
  const bool Inside = Offset < Bytes.Size;
  *Got = Held.Size() < Count ? Held.Size() : Count;
  if (Inside && *Got != 0) CopyBytes(Out, Held.Data(), *Got);
  if (Kept == nullptr && !KeepStore(CardHiiHandle, VarStoreId, Bytes)) PoolFree(Bytes.Block);
  return Inside ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// ---- snapshot ---------------------------------------------------------------------

bool IsValueQuestion(UINT8 OpCode) {
  return OpCode == EFI_IFR_ONE_OF_OP || OpCode == EFI_IFR_CHECKBOX_OP || OpCode == EFI_IFR_NUMERIC_OP;
}

// Registers the stores of every forms package first, so that a question read
// in the second walk finds its store wherever the card declared it.
void RegisterCardStores(EFI_HII_HANDLE CardHiiHandle, ByteView List) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    for (IfrOpCode Op; Cursor.Next(&Op);)
      if (Op.Kind() == IfrKind::Store) RecordVarStoreOpcode(CardHiiHandle, Op);
  }
}

// The worse of two outcomes: a read short of pool outweighs a full snapshot.
EFI_STATUS Worse(EFI_STATUS Kept, EFI_STATUS New) {
  if (Kept == EFI_OUT_OF_RESOURCES || New == EFI_OUT_OF_RESOURCES) return EFI_OUT_OF_RESOURCES;
  return New == EFI_BUFFER_TOO_SMALL ? New : Kept;
}

// Adds the value of one question; the status says what the snapshot lost.
EFI_STATUS SnapshotQuestion(EFI_HII_HANDLE CardHiiHandle, const IfrOpCode &Op, QUESTION_SNAPSHOT *Snapshot) {
  IFR_QUESTION_FIELDS Fields;
  if (!ReadQuestionFields(Op, &Fields) || Fields.VarStoreId == 0) return EFI_SUCCESS;
  if (Snapshot->Count >= QUESTION_SNAPSHOT_ENTRIES) return EFI_BUFFER_TOO_SMALL;
  UINT64 Value = 0;
  const EFI_STATUS Status = ReadQuestionValue(CardHiiHandle, Op, &Value, &Fields);
  if (Status == EFI_BUFFER_TOO_SMALL || Status == EFI_OUT_OF_RESOURCES) return Status;
  if (EFI_ERROR(Status)) return EFI_SUCCESS;
  Snapshot->Entries[Snapshot->Count++] = {Fields.QuestionId, Value};
  return EFI_SUCCESS;
}

// A heap sort of keys, in place and n log n whatever order the card numbers
// its questions in. Each round takes the next root while the heap is being
// built, and afterwards moves the largest key behind the shrinking heap; either
// way one key is held and sifted down into the hole it leaves.
void SortKeys(UINT32 *Keys, UINTN Count) {
  if (Count < 2) return;
  UINTN NextRoot = Count / 2, Last = Count - 1;
  for (;;) {
    UINT32 Held;
    if (NextRoot > 0) {
      Held = Keys[--NextRoot];
    } else {
      Held = Keys[Last];
      Keys[Last] = Keys[0];
      if (--Last == 0) {
        Keys[0] = Held;
        return;
      }
    }
    UINTN Hole = NextRoot;
    for (UINTN Child; (Child = 2 * Hole + 1) <= Last; Hole = Child) {
      if (Child < Last && Keys[Child] < Keys[Child + 1]) ++Child;
      if (Held >= Keys[Child]) break;
      Keys[Hole] = Keys[Child];
    }
    Keys[Hole] = Held;
  }
}

}  // namespace

EFI_STATUS FindCardPciIo(EFI_HII_HANDLE CardHiiHandle, EFI_PCI_IO_PROTOCOL **PciIo) {
  if (PciIo == nullptr) return EFI_INVALID_PARAMETER;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr || BootServices == nullptr) return EFI_NOT_FOUND;
  EFI_HANDLE CardDriverHandle = nullptr;
  EFI_STATUS Status = Database->GetPackageListHandle(Database, CardHiiHandle, &CardDriverHandle);
  if (EFI_ERROR(Status)) return Status;
  void *Path = nullptr;
  Status = BootServices->HandleProtocol(CardDriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Path);
  if (EFI_ERROR(Status)) return Status;
  // The firmware walks the path without bounds; it only gets one that ends.
  if (Path == nullptr || !DevicePathIsValid(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Path)))
    return EFI_NOT_FOUND;
  auto *Remaining = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path);
  EFI_HANDLE Controller = nullptr;
  Status = BootServices->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Remaining, &Controller);
  if (EFI_ERROR(Status)) return Status;
  void *Interface = nullptr;
  Status = BootServices->HandleProtocol(Controller, &EFI_PCI_IO_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  if (Interface == nullptr) return EFI_NOT_FOUND;
  *PciIo = static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
  return EFI_SUCCESS;
}

EFI_STATUS GetCardLocationText(EFI_HII_HANDLE CardHiiHandle, CHAR16 *Text, UINTN *Bus, UINTN *Device,
                               UINTN *Function) {
  if (Text == nullptr || CardHiiHandle == nullptr) return EFI_INVALID_PARAMETER;
  ZeroBytes(Text, CARD_LOCATION_TEXT_BYTES);
  EFI_PCI_IO_PROTOCOL *PciIo = nullptr;
  const EFI_STATUS Status = FindCardPciIo(CardHiiHandle, &PciIo);
  if (EFI_ERROR(Status)) return Status;
  UINTN Segment = 0, BusNumber = 0, DeviceNumber = 0, FunctionNumber = 0;
  if (EFI_ERROR(PciIo->GetLocation(PciIo, &Segment, &BusNumber, &DeviceNumber, &FunctionNumber)) ||
      BusNumber > 0xFF || DeviceNumber > 0x1F || FunctionNumber > 7)
    return EFI_DEVICE_ERROR;
  if (FormatUtf16(Text, CARD_LOCATION_TEXT_BYTES, u"%02x%02x%02x", static_cast<UINT32>(BusNumber),
                  static_cast<UINT32>(DeviceNumber), static_cast<UINT32>(FunctionNumber)) == 0)
    return EFI_INVALID_PARAMETER;
  if (Bus != nullptr) *Bus = BusNumber;
  if (Device != nullptr) *Device = DeviceNumber;
  if (Function != nullptr) *Function = FunctionNumber;
  return EFI_SUCCESS;
}

UINT8 QuestionValueWidth(const IfrOpCode &Question) {
  UINT8 Flags = 0;
  switch (Question.Code()) {
    case EFI_IFR_CHECKBOX_OP:
      return Question.HasFixedFields() ? 1 : 0;
    case EFI_IFR_ONE_OF_OP:
    case EFI_IFR_NUMERIC_OP:
      return Question.Read8(ONE_OF_FLAGS_AT, &Flags) ? IfrNumericWidth(Flags) : 0;
    default:
      return 0;
  }
}

EFI_STATUS ReadQuestionValue(EFI_HII_HANDLE CardHiiHandle, const IfrOpCode &Question, UINT64 *Value,
                             const IFR_QUESTION_FIELDS *Header) {
  const UINT8 Width = QuestionValueWidth(Question);
  IFR_QUESTION_FIELDS Fields;
  if (Value == nullptr || Width == 0 || (Header == nullptr && !ReadQuestionFields(Question, &Fields)))
    return EFI_NOT_FOUND;
  if (Header != nullptr) Fields = *Header;
  if (Fields.VarStoreId == 0) return EFI_NOT_FOUND;
  UINT8 Bytes[sizeof(UINT64)] = {};
  UINTN Got = 0;
  // A store that could not be read (rather than one that does not hold the
  // value) is noted: a page must not take the missing value for 0.
  const EFI_STATUS Status = NotePlatformFailure(
      ReadCardStore(CardHiiHandle, Fields.VarStoreId, Fields.VarOffset, Width, Bytes, &Got));
  if (EFI_ERROR(Status)) return Status;
  if (Got != Width) return EFI_NOT_FOUND;
  *Value = ReadLe(Bytes, Width);
  return EFI_SUCCESS;
}

EFI_STATUS ReadQuestionString(EFI_HII_HANDLE CardHiiHandle, const IfrOpCode &Question, CHAR16 *Destination) {
  if (Destination == nullptr) return EFI_INVALID_PARAMETER;
  ZeroBytes(Destination, (QUESTION_STRING_CHARS + 1) * sizeof(CHAR16));
  IFR_QUESTION_FIELDS Fields;
  UINT8 MaxSize = 0;
  if (Question.Code() != EFI_IFR_STRING_OP || !ReadQuestionFields(Question, &Fields) ||
      Fields.VarStoreId == 0)
    return EFI_SUCCESS;
  if (!Question.Read8(STRING_MAX_SIZE_AT, &MaxSize)) return EFI_NOT_FOUND;
  const UINTN Chars = MaxSize == 0 ? QUESTION_STRING_CHARS : MaxSize;
  UINT8 Bytes[QUESTION_STRING_CHARS * sizeof(CHAR16)];
  UINTN Got = 0;
  const EFI_STATUS Status = NotePlatformFailure(
      ReadCardStore(CardHiiHandle, Fields.VarStoreId, Fields.VarOffset, Chars * sizeof(CHAR16), Bytes, &Got));
  if (EFI_ERROR(Status)) return Status;
  for (UINTN Index = 0; Index < Got / sizeof(CHAR16); ++Index) {
    Destination[Index] = ReadLe16(Bytes + Index * sizeof(CHAR16));
    if (Destination[Index] == 0) break;
  }
  return EFI_SUCCESS;
}

bool GetNumericBounds(const IfrOpCode &Question, UINT64 *Max, UINT64 *Min, UINT64 *Step) {
  IFR_NUMERIC_RANGE Range;
  if (Max == nullptr || Min == nullptr || Step == nullptr || !ReadNumericRange(Question, &Range))
    return false;
  *Max = Range.Maximum;
  *Min = Range.Minimum;
  *Step = Range.Step;
  return true;
}

EFI_STATUS SnapshotCardQuestions(EFI_HII_HANDLE CardHiiHandle, const void *List, UINTN ListSize,
                                 QUESTION_SNAPSHOT *Snapshot) {
  if (Snapshot == nullptr) return EFI_INVALID_PARAMETER;
  DiscardVarStoreReadCache();
  ZeroBytes(Snapshot, sizeof(*Snapshot));
  Snapshot->Signature = QUESTION_SNAPSHOT_SIGNATURE;
  const ByteView Bytes(List, ListSize);
  RegisterCardStores(CardHiiHandle, Bytes);

  EFI_STATUS Result = EFI_SUCCESS;
  PackageListReader Packages(Bytes);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    for (IfrOpCode Op; Cursor.Next(&Op);)
      if (IsValueQuestion(Op.Code())) Result = Worse(Result, SnapshotQuestion(CardHiiHandle, Op, Snapshot));
  }
  IndexSnapshot(Snapshot);
  return Result;
}

void IndexSnapshot(QUESTION_SNAPSHOT *Snapshot) {
  const UINTN Count = Snapshot->Count < QUESTION_SNAPSHOT_ENTRIES ? Snapshot->Count : QUESTION_SNAPSHOT_ENTRIES;
  // Cards mostly number their questions in the order they appear: then the
  // keys come out sorted and the sort is not needed.
  bool Sorted = true;
  for (UINTN Index = 0; Index < Count; ++Index) {
    Snapshot->ById[Index] = static_cast<UINT32>(Snapshot->Entries[Index].CardQuestionId) << 16 | Index;
    if (Index > 0 && Snapshot->ById[Index] < Snapshot->ById[Index - 1]) Sorted = false;
  }
  if (!Sorted) SortKeys(Snapshot->ById, Count);
}

UINT64 SnapshotValue(const QUESTION_SNAPSHOT *Snapshot, EFI_QUESTION_ID CardQuestionId) {
  if (Snapshot == nullptr) return 0;
  const UINTN Count = Snapshot->Count < QUESTION_SNAPSHOT_ENTRIES ? Snapshot->Count : QUESTION_SNAPSHOT_ENTRIES;
  const UINT32 Wanted = static_cast<UINT32>(CardQuestionId) << 16;
  UINTN Low = 0, High = Count;  // the first key of the question lies in [Low, High]
  while (Low < High) {
    const UINTN Middle = Low + (High - Low) / 2;
    if (Snapshot->ById[Middle] < Wanted)
      Low = Middle + 1;
    else
      High = Middle;
  }
  if (Low == Count || Snapshot->ById[Low] >> 16 != CardQuestionId) return 0;
  return Snapshot->Entries[Snapshot->ById[Low] & 0xFFFF].Value;
}

bool GrowMirroredQuestionTable() {
  constexpr UINTN FIRST_CAPACITY = 64;
  const UINTN Capacity = MirroredQuestionCapacity == 0 ? FIRST_CAPACITY : 2 * MirroredQuestionCapacity;
  const UINTN Bounded = Capacity < MIRRORED_QUESTION_LIMIT ? Capacity : MIRRORED_QUESTION_LIMIT;
  if (Bounded <= MirroredQuestionCapacity) return false;
  auto *Grown = static_cast<MIRRORED_QUESTION *>(
      PoolRealloc(MirroredQuestionCapacity * sizeof(MIRRORED_QUESTION), Bounded * sizeof(MIRRORED_QUESTION),
                  MirroredQuestionTable));
  if (Grown == nullptr) return false;
  MirroredQuestionTable = Grown;
  MirroredQuestionCapacity = static_cast<UINT16>(Bounded);
  return true;
}

void FreeMirroredQuestionTable() {
  PoolFree(MirroredQuestionTable);
  MirroredQuestionTable = nullptr;
  MirroredQuestionCapacity = 0;
}

void ClearMirroredQuestions() {
  MirroredQuestionCount = OobSlotCount = KeywordCount = StringSlotCount = 0;
  FreeMirroredQuestionTable();
}

void BeginCardStoreCache(EFI_HII_HANDLE CardHiiHandle, ByteView List) {
  EndCardStoreCache();
  CardStoreCache.Card = CardHiiHandle;
  CardStoreCache.List = List;
}

void EndCardStoreCache() {
  for (UINTN Index = 0; Index < CardStoreCache.Count; ++Index) PoolFree(CardStoreCache.Entries[Index].Block);
  CardStoreCache = {};
}

void ResetCardInventoryState() {
  // The blocks belonged to the machine of the last image load.
  CardStoreCache = {};
  NextCardPage = 0;
  // The table, like the cache, belonged to the machine of the last image load.
  MirroredQuestionTable = nullptr;
  MirroredQuestionCapacity = 0;
  MirroredQuestionCount = 0;
  OobSlotCount = 0;
  KeywordCount = 0;
  StringSlotCount = 0;
}

#include "tools/export_efi/export_stores.h"

#include "driver/globals.h"
#include "hii/foreign_varstore.h"
#include "support/ifr_reader.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "tools/export_efi/export_console.h"
#include "tools/export_efi/export_text.h"

namespace {

// An opcode is at most 127 bytes long, so a store's name always fits whole.
constexpr UINTN STORE_NAME_CHARS = 128;
constexpr UINTN BUFFER_GUID_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Guid);
constexpr UINTN BUFFER_SIZE_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Size);
constexpr UINTN BUFFER_NAME_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Name);
constexpr UINTN EFI_GUID_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Guid);
constexpr UINTN EFI_SIZE_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Size);
constexpr UINTN EFI_NAME_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name);
static_assert(STORE_NAME_CHARS > IFR_LENGTH_MASK - BUFFER_NAME_AT);

constexpr CHAR8 BUFFER_KEY[] = "store ";
constexpr CHAR8 VARIABLE_KEY[] = "variable ";
constexpr CHAR8 ABSENT[] = "absent";
// "variable " NAME ": " ... "\n", besides the name and the value.
constexpr UINTN LINE_FIXED_BYTES = sizeof(VARIABLE_KEY) + 2 + 1;

struct DECLARED_STORE {
  CHAR8 Name[STORE_NAME_CHARS];  // NUL-terminated
  EFI_GUID Guid;
  UINT16 Size;
  bool IsEfi;
};

struct DECLARED_STORES {
  DECLARED_STORE Stores[EXPORT_STORES_PER_LIST];
  UINTN Count;
  UINTN Beyond;  // declarations past the table
};

// What a store's contents came to.
struct STORE_CONTENTS {
  EFI_STATUS Status;  // EFI_SUCCESS: Bytes/Size hold them; EFI_NOT_FOUND for an EFI store: no variable
  UINT8 *Bytes;       // pool
  UINTN Size;
};

// The name runs to its NUL or to the opcode's end.
void CopyStoreName(ByteView Tail, CHAR8 (&Name)[STORE_NAME_CHARS]) {
  UINTN Length = 0;
  for (UINT8 Byte = 0; Length + 1 < STORE_NAME_CHARS && Tail.Read8(Length, &Byte) && Byte != 0; ++Length)
    Name[Length] = static_cast<CHAR8>(Byte);
  Name[Length] = '\0';
}

// Whether a sidecar line can carry the name so that the preview reads back
// exactly it: printable ASCII, and no ": ", which ends a line's key.
bool NameFitsALine(const CHAR8 *Name) {
  if (Name[0] == '\0') return false;
  for (UINTN Index = 0; Name[Index] != '\0'; ++Index) {
    if (Name[Index] < ' ' || Name[Index] > '~') return false;
    if (Name[Index] == ':' && Name[Index + 1] == ' ') return false;
  }
  return true;
}

bool SameName(const CHAR8 *A, const CHAR8 *B) {
  const UINTN Length = AsciiLengthBounded(A);
  return Length == AsciiLengthBounded(B) && AsciiCompareN(A, B, Length) == 0;
}

// Reads one store declaration; false for another opcode or one too short.
bool ReadDeclaration(const IfrOpCode &Op, DECLARED_STORE *Store) {
  const bool IsEfi = Op.Code() == EFI_IFR_VARSTORE_EFI_OP;
  if (!IsEfi && Op.Code() != EFI_IFR_VARSTORE_OP) return false;
  const UINTN GuidAt = IsEfi ? EFI_GUID_AT : BUFFER_GUID_AT;
  const UINTN SizeAt = IsEfi ? EFI_SIZE_AT : BUFFER_SIZE_AT;
  const UINTN NameAt = IsEfi ? EFI_NAME_AT : BUFFER_NAME_AT;
  if (Op.Length() < NameAt || !Op.ReadGuid(GuidAt, &Store->Guid) || !Op.Read16(SizeAt, &Store->Size))
    return false;
  Store->IsEfi = IsEfi;
  CopyStoreName(Op.Tail(NameAt), Store->Name);
  return true;
}

void CollectDeclarations(ByteView List, DECLARED_STORES *Declared) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    for (IfrOpCode Op; Cursor.Next(&Op);) {
      DECLARED_STORE Store;
      if (Op.Kind() != IfrKind::Store || !ReadDeclaration(Op, &Store)) continue;
      if (Declared->Count == EXPORT_STORES_PER_LIST) {
        ++Declared->Beyond;
        continue;
      }
      Declared->Stores[Declared->Count++] = Store;
    }
  }
}

bool SameStore(const DECLARED_STORE &A, const DECLARED_STORE &B) {
  return A.IsEfi == B.IsEfi && GuidEquals(A.Guid, B.Guid) && SameName(A.Name, B.Name);
}

enum class LineChoice : UINT8 {
  Write,   // read the store and write its line
  Repeat,  // an earlier declaration of the same store has the line; a buffer
           // store of no bytes has nothing to tell
  Refuse,  // no line, for the reason given
};

LineChoice ChooseLine(const DECLARED_STORES &Declared, UINTN Index, const CHAR16 **Why) {
  const DECLARED_STORE &Store = Declared.Stores[Index];
  if (Store.Size == 0 && !Store.IsEfi) return LineChoice::Repeat;
  *Why = u"its name cannot be written on a line";
  if (!NameFitsALine(Store.Name)) return LineChoice::Refuse;
  bool Repeat = false;
  for (UINTN Other = 0; Other < Declared.Count; ++Other) {
    if (Other == Index || !SameName(Store.Name, Declared.Stores[Other].Name)) continue;
    *Why = u"another store of the list has the same name";
    if (!SameStore(Store, Declared.Stores[Other])) return LineChoice::Refuse;
    Repeat = Repeat || Other < Index;
  }
  return Repeat ? LineChoice::Repeat : LineChoice::Write;
}

void ToUtf16(const CHAR8 *Name, CHAR16 (&Wide)[STORE_NAME_CHARS]) {
  UINTN Index = 0;
  for (; Name[Index] != '\0' && Index + 1 < STORE_NAME_CHARS; ++Index)
    Wide[Index] = static_cast<CHAR16>(static_cast<UINT8>(Name[Index]));
  Wide[Index] = 0;
}

STORE_CONTENTS ReadBufferContents(EFI_HII_HANDLE HiiHandle, const DECLARED_STORE &Store) {
  if (Store.Size > EXPORT_STORE_BYTES_LIMIT) return {EFI_BAD_BUFFER_SIZE, nullptr, 0};
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Store.Size));
  if (Bytes == nullptr) return {EFI_OUT_OF_RESOURCES, nullptr, 0};
  CHAR16 Name[STORE_NAME_CHARS];
  ToUtf16(Store.Name, Name);
  const EFI_STATUS Status = ReadVarStoreBlock(HiiHandle, Name, &Store.Guid, Bytes, Store.Size);
  if (EFI_ERROR(Status)) {
    PoolFree(Bytes);
    return {Status, nullptr, 0};
  }
  return {EFI_SUCCESS, Bytes, Store.Size};
}

// The variable as it is: its size asked first, then read whole.
STORE_CONTENTS ReadVariableContents(const DECLARED_STORE &Store) {
  if (RuntimeServices == nullptr) return {EFI_NOT_READY, nullptr, 0};
  CHAR16 Name[STORE_NAME_CHARS];
  ToUtf16(Store.Name, Name);
  UINT32 Attributes = 0;
  UINTN Size = 0;
  EFI_STATUS Status = RuntimeServices->GetVariable(Name, &Store.Guid, &Attributes, &Size, nullptr);
  if (Status == EFI_NOT_FOUND) return {EFI_NOT_FOUND, nullptr, 0};
  if (Status != EFI_BUFFER_TOO_SMALL) return {EFI_ERROR(Status) ? Status : EFI_DEVICE_ERROR, nullptr, 0};
  if (Size == 0 || Size > EXPORT_STORE_BYTES_LIMIT) return {EFI_BAD_BUFFER_SIZE, nullptr, 0};
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (Bytes == nullptr) return {EFI_OUT_OF_RESOURCES, nullptr, 0};
  UINTN Read = Size;
  Status = RuntimeServices->GetVariable(Name, &Store.Guid, &Attributes, &Read, Bytes);
  // A variable that changed size in between is read on the next export.
  if (EFI_ERROR(Status) || Read != Size) {
    PoolFree(Bytes);
    return {EFI_ERROR(Status) ? Status : EFI_BAD_BUFFER_SIZE, nullptr, 0};
  }
  return {EFI_SUCCESS, Bytes, Size};
}

// Appends one line to *Lines, growing its block. False when the pool is exhausted.
bool AppendLine(STORE_LINES *Lines, const DECLARED_STORE &Store, const STORE_CONTENTS &Contents) {
  const bool Absent = Contents.Status == EFI_NOT_FOUND;
  const UINTN Value = Absent ? sizeof(ABSENT) : 2 * Contents.Size;
  const UINTN Needed = LINE_FIXED_BYTES + AsciiLengthBounded(Store.Name) + Value;
  auto *Grown = static_cast<UINT8 *>(PoolRealloc(Lines->Size, Lines->Size + Needed, Lines->Bytes));
  if (Grown == nullptr) return false;
  Lines->Bytes = Grown;
  ByteWriter Out(Grown + Lines->Size, Needed);
  PutText(Out, Store.IsEfi ? VARIABLE_KEY : BUFFER_KEY);
  PutText(Out, Store.Name);
  PutText(Out, ": ");
  if (Absent) PutText(Out, ABSENT);
  for (UINTN Index = 0; Index < Contents.Size; ++Index) PutLowerHex(Out, Contents.Bytes[Index], 2);
  Out.Put8('\n');
  if (Out.Failed()) return false;
  Lines->Size += Out.Size();
  return true;
}

void ReportPassed(UINTN Number, const DECLARED_STORE &Store, const CHAR16 *Why, EFI_STATUS Status) {
  const CHAR16 *Kind = Store.IsEfi ? u"EFI variable store" : u"buffer store";
  if (Why != nullptr)
    ExportSay(u"AddOnCardExport: card-%02Lu: no contents for the %s \"%a\": %s\r\n",
              static_cast<UINT64>(Number), Kind, Store.Name, Why);
  else
    ExportSay(
        u"AddOnCardExport: card-%02Lu: the %s \"%a\" cannot be read: %r; the preview starts it "
        u"zero-filled\r\n",
        static_cast<UINT64>(Number), Kind, Store.Name, Status);
}

// Writes the line of store Index, or tells why it has none. False only when
// the pool is exhausted.
bool AddStore(EFI_HII_HANDLE HiiHandle, const DECLARED_STORES &Declared, UINTN Index, UINTN Number,
              STORE_LINES *Lines) {
  const DECLARED_STORE &Store = Declared.Stores[Index];
  const CHAR16 *Why = nullptr;
  const LineChoice Choice = ChooseLine(Declared, Index, &Why);
  if (Choice == LineChoice::Repeat) return true;
  if (Choice == LineChoice::Refuse) {
    ++Lines->Passed;
    ReportPassed(Number, Store, Why, EFI_SUCCESS);
    return true;
  }
  STORE_CONTENTS Contents = Store.IsEfi ? ReadVariableContents(Store) : ReadBufferContents(HiiHandle, Store);
  if (Contents.Status == EFI_OUT_OF_RESOURCES) return false;
  const bool Readable = !EFI_ERROR(Contents.Status) || (Store.IsEfi && Contents.Status == EFI_NOT_FOUND);
  bool Appended = true;
  if (Readable) {
    Appended = AppendLine(Lines, Store, Contents);
    if (Appended) ++Lines->Written;
  } else {
    ++Lines->Passed;
    ReportPassed(Number, Store, nullptr, Contents.Status);
  }
  PoolFree(Contents.Bytes);
  return Appended;
}

}  // namespace

EFI_STATUS BuildStoreLines(EFI_HII_HANDLE HiiHandle, ByteView List, UINTN Number, STORE_LINES *Lines) {
  *Lines = {};
  auto *Declared = static_cast<DECLARED_STORES *>(PoolAllocZero(sizeof(DECLARED_STORES)));
  if (Declared == nullptr) return EFI_OUT_OF_RESOURCES;
  CollectDeclarations(List, Declared);
  bool Whole = true;
  for (UINTN Index = 0; Index < Declared->Count && Whole; ++Index)
    Whole = AddStore(HiiHandle, *Declared, Index, Number, Lines);
  if (Whole && Declared->Beyond != 0) {
    Lines->Passed += Declared->Beyond;
    ExportSay(u"AddOnCardExport: card-%02Lu: %Lu store declarations past the first %Lu get no contents\r\n",
              static_cast<UINT64>(Number), static_cast<UINT64>(Declared->Beyond),
              static_cast<UINT64>(EXPORT_STORES_PER_LIST));
  }
  PoolFree(Declared);
  // The reader keeps a copy of the last store it read; nothing else here needs it.
  DiscardVarStoreReadCache();
  if (Whole) return EFI_SUCCESS;
  FreeStoreLines(Lines);
  return EFI_OUT_OF_RESOURCES;
}

void FreeStoreLines(STORE_LINES *Lines) {
  PoolFree(Lines->Bytes);
  *Lines = {};
}

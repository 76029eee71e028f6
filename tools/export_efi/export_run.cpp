#include "tools/export_efi/export_run.h"

#include "driver/globals.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "tools/export_efi/export_console.h"
#include "tools/export_efi/export_files.h"
#include "tools/export_efi/export_lists.h"
#include "tools/export_efi/export_stores.h"
#include "tools/export_efi/export_text.h"
#include "uefi/guids.h"

namespace {

constexpr CHAR16 INDEX_FILE_NAME[] = u"index.txt";
// Removal of an earlier run's files stops at the first number with neither file.
constexpr UINTN MAX_STALE_CARDS = 10000;

constexpr CHAR16 USAGE[] =
    u"Usage: AddOnCardExport.efi [-h] [VVVV:DDDD ...] [DIRECTORY]\r\n"
    u"Writes each HII package list that belongs to a PCI function to card-NN.hpk,\r\n"
    u"its PCI IDs, location, form-set title, GUID and the contents of its variable\r\n"
    u"stores to card-NN.pci, and the pairs written to index.txt, on the volume the\r\n"
    u"application was loaded from.\r\n"
    u"  VVVV:DDDD  only lists of PCI functions with these vendor:device IDs (hex)\r\n"
    u"  DIRECTORY  a directory on that volume (created when missing) instead of its root\r\n"
    u"  -h         this text\r\n";

// Keeps the first error; later ones are reported but do not replace it.
void NoteFailure(EXPORT_TALLY *Tally, EFI_STATUS Status) {
  if (!EFI_ERROR(Tally->FirstError)) Tally->FirstError = Status;
}

// The card-NN.<Extension> name, or a report of why there is none.
bool NameCardFile(CHAR16 (&Name)[CARD_FILE_NAME_CHARS], UINTN Number, const CHAR8 *Extension) {
  if (CardFileName(Name, Number, Extension)) return true;
  ExportSay(u"AddOnCardExport: no file name for list %Lu\r\n", static_cast<UINT64>(Number));
  return false;
}

// Writes the sidecar of one list, its store lines last, into a pool block;
// null when the pool is exhausted.
UINT8 *BuildSidecar(const PCI_FUNCTION_IDENTITY &Pci, const EFI_GUID &Guid, const CHAR16 *Title,
                    const STORE_LINES &Stores, UINTN *Size) {
  const UINTN TitleChars = Title == nullptr ? 0 : Utf16Length(Title);
  const UINTN Capacity = SidecarCapacity(TitleChars) + Stores.Size;
  auto *Bytes = static_cast<UINT8 *>(PoolAlloc(Capacity));
  if (Bytes == nullptr) return nullptr;
  ByteWriter Out(Bytes, Capacity);
  PutSidecar(Out, Pci, Guid, Title, TitleChars);
  Out.PutBytes(ByteView(Stores.Bytes, Stores.Size));
  if (Out.Failed()) {
    PoolFree(Bytes);
    return nullptr;
  }
  *Size = Out.Size();
  return Bytes;
}

// Removes card-NN.hpk and card-NN.pci; true when either was there.
bool RemoveCardFiles(EFI_FILE_PROTOCOL *Directory, UINTN Number) {
  CHAR16 Name[CARD_FILE_NAME_CHARS];
  bool Found = false;
  for (const CHAR8 *Extension : CARD_FILE_EXTENSIONS)
    if (CardFileName(Name, Number, Extension) && RemoveFileIfPresent(Directory, Name)) Found = true;
  return Found;
}

// Writes card-NN.hpk and card-NN.pci; the caller removes both on a failure.
EFI_STATUS WriteCardFiles(EFI_FILE_PROTOCOL *Directory, UINTN Number, ByteView List, ByteView Sidecar) {
  CHAR16 ListName[CARD_FILE_NAME_CHARS];
  CHAR16 SidecarName[CARD_FILE_NAME_CHARS];
  if (!NameCardFile(ListName, Number, CARD_LIST_EXTENSION) ||
      !NameCardFile(SidecarName, Number, CARD_SIDECAR_EXTENSION))
    return EFI_BUFFER_TOO_SMALL;
  const CHAR16 *Failed = ListName;
  EFI_STATUS Status = WriteWholeFile(Directory, ListName, List);
  if (!EFI_ERROR(Status)) {
    Failed = SidecarName;
    Status = WriteWholeFile(Directory, SidecarName, Sidecar);
  }
  if (EFI_ERROR(Status)) ExportSay(u"AddOnCardExport: cannot write %s: %r\r\n", Failed, Status);
  return Status;
}

// "vvvv:dddd  ssss:bb:dd.f" of the function, for the console.
struct FUNCTION_TEXT {
  CHAR8 Text[80];
};
FUNCTION_TEXT DescribeFunction(const PCI_FUNCTION_IDENTITY &Pci) {
  FUNCTION_TEXT Described{};
  ByteWriter Out(reinterpret_cast<UINT8 *>(Described.Text), sizeof Described.Text - 1);
  PutPciIds(Out, Pci);
  PutText(Out, "  ");
  PutLocation(Out, Pci);
  return Described;
}

void ShowWritten(UINTN Number, const PCI_FUNCTION_IDENTITY &Pci, UINTN ListSize, const CHAR16 *Title) {
  ExportSay(u"  card-%02Lu  %a  %6Lu bytes  %s\r\n", static_cast<UINT64>(Number), DescribeFunction(Pci).Text,
            static_cast<UINT64>(ListSize), Title == nullptr ? u"(no title)" : Title);
}

// The list of HiiHandle and the sidecar lines of its stores. The stores are
// read through the card's own driver, which may change its strings as it
// answers (a network driver names its interface then): the list is exported
// again after, so that it shows what every later reader sees, and a second
// export run writes the same bytes as the first.
EFI_STATUS ExportListAndStores(EFI_HII_HANDLE HiiHandle, UINTN Number, UINT8 **List, UINTN *ListSize,
                               STORE_LINES *Stores) {
  EFI_STATUS Status = ExportOnePackageList(HiiHandle, List, ListSize);
  if (EFI_ERROR(Status)) return Status;
  // A sidecar without the stores' contents would start them zero-filled in the
  // preview, showing values this machine does not hold: no pair then.
  Status = BuildStoreLines(HiiHandle, ByteView(*List, *ListSize), Number, Stores);
  PoolFree(*List);
  *List = nullptr;
  if (!EFI_ERROR(Status)) Status = ExportOnePackageList(HiiHandle, List, ListSize);
  if (EFI_ERROR(Status)) FreeStoreLines(Stores);
  return Status;
}

// Exports one selected list as card-<Number>.
EFI_STATUS ExportSelectedList(EFI_FILE_PROTOCOL *Directory, EFI_HII_HANDLE HiiHandle, UINTN Number,
                              const PCI_FUNCTION_IDENTITY &Pci) {
  UINT8 *List = nullptr;
  UINTN ListSize = 0;
  STORE_LINES Stores{};
  EFI_STATUS Status = ExportListAndStores(HiiHandle, Number, &List, &ListSize, &Stores);
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: cannot export the list of %a (card-%02Lu): %r\r\n",
              DescribeFunction(Pci).Text, static_cast<UINT64>(Number), Status);
    return Status;
  }
  // A well-formed list holds its whole header.
  EFI_HII_PACKAGE_LIST_HEADER Header;
  CopyBytes(&Header, List, sizeof Header);
  CHAR16 *Title = nullptr;
  EFI_STRING_ID TitleId = 0;
  if (ReadFormSetTitle(HiiHandle, ByteView(List, ListSize), &Title, &TitleId) == EFI_INVALID_LANGUAGE)
    ExportSay(
        u"AddOnCardExport: card-%02Lu: the form set's title (string %u) cannot be read; its sidecar has "
        u"none\r\n",
        static_cast<UINT64>(Number), static_cast<unsigned>(TitleId));
  UINTN SidecarSize = 0;
  UINT8 *Sidecar = BuildSidecar(Pci, Header.PackageListGuid, Title, Stores, &SidecarSize);
  FreeStoreLines(&Stores);
  if (Sidecar == nullptr) {
    Status = EFI_OUT_OF_RESOURCES;
    ExportSay(u"AddOnCardExport: no memory for the sidecar of card-%02Lu\r\n", static_cast<UINT64>(Number));
  } else {
    Status = WriteCardFiles(Directory, Number, ByteView(List, ListSize), ByteView(Sidecar, SidecarSize));
  }
  if (!EFI_ERROR(Status)) ShowWritten(Number, Pci, ListSize, Title);
  PoolFree(Sidecar);
  PoolFree(Title);
  PoolFree(List);
  return Status;
}

// Whether HiiHandle's list is to be written, and for which function. Lists of
// no PCI function and of other IDs are counted and passed over; a list whose
// function cannot be told is a failure.
bool SelectList(const EXPORT_OPTIONS &Options, EFI_HII_HANDLE HiiHandle, UINTN Position,
                PCI_FUNCTION_IDENTITY *Pci, EXPORT_TALLY *Tally) {
  const EFI_STATUS Status = FindOwningPciFunction(HiiHandle, Pci);
  if (Status == EFI_NOT_FOUND) {
    ++Tally->NotPci;
    return false;
  }
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: cannot tell the PCI function of package list %Lu: %r\r\n",
              static_cast<UINT64>(Position), Status);
    NoteFailure(Tally, Status);
    return false;
  }
  if (!ExportFilterMatches(Options, Pci->VendorId, Pci->DeviceId)) {
    ++Tally->OtherIds;
    return false;
  }
  return true;
}

EFI_STATUS WriteIndex(EFI_FILE_PROTOCOL *Directory, const UINTN *Numbers, UINTN Count) {
  const UINTN Capacity = INDEX_LINE_CAPACITY * Count + 1;
  auto *Bytes = static_cast<UINT8 *>(PoolAlloc(Capacity));
  if (Bytes == nullptr) return EFI_OUT_OF_RESOURCES;
  ByteWriter Out(Bytes, Capacity);
  for (UINTN Index = 0; Index < Count; ++Index) PutIndexLine(Out, Numbers[Index]);
  const EFI_STATUS Status =
      Out.Failed() ? EFI_BUFFER_TOO_SMALL : WriteWholeFile(Directory, INDEX_FILE_NAME, Out.Written());
  PoolFree(Bytes);
  return Status;
}

// Files of an earlier, longer run: card-NN from First on, up to the first
// number with neither file.
void RemoveStaleCards(EFI_FILE_PROTOCOL *Directory, UINTN First) {
  UINTN Number = First;
  while (Number < First + MAX_STALE_CARDS && RemoveCardFiles(Directory, Number)) ++Number;
}

void ShowSummary(const EXPORT_OPTIONS &Options, const EXPORT_TALLY &Tally) {
  const CHAR16 *Where = Options.Directory[0] == u'\0' ? u"the root" : Options.Directory;
  ExportSay(
      u"AddOnCardExport: %Lu of %Lu selected package lists written to %s (%Lu lists in the database: %Lu of "
      u"no "
      u"PCI function, %Lu of other IDs)\r\n",
      static_cast<UINT64>(Tally.Written), static_cast<UINT64>(Tally.Selected), Where,
      static_cast<UINT64>(Tally.Lists), static_cast<UINT64>(Tally.NotPci),
      static_cast<UINT64>(Tally.OtherIds));
}

// The words after the application's name: the shell's, else the load options'.
EFI_STATUS GetCommandLine(EFI_HANDLE ImageHandle, COMMAND_LINE_WORDS *Line, const CHAR16 *const **Words,
                          UINTN *Count) {
  *Words = nullptr;
  *Count = 0;
  void *Interface = nullptr;
  if (!EFI_ERROR(
          BootServices->HandleProtocol(ImageHandle, &EFI_SHELL_PARAMETERS_PROTOCOL_GUID, &Interface)) &&
      Interface != nullptr) {
    const auto *Shell = static_cast<EFI_SHELL_PARAMETERS_PROTOCOL *>(Interface);
    if (Shell->Argv == nullptr || Shell->Argc == 0) return EFI_SUCCESS;
    *Words = Shell->Argv + 1;
    *Count = Shell->Argc - 1;
    return EFI_SUCCESS;
  }
  Interface = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface)) ||
      Interface == nullptr)
    return EFI_SUCCESS;
  const auto *Image = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  const EFI_STATUS Status = SplitLoadOptions(Image->LoadOptions, Image->LoadOptionsSize, Line);
  if (Status == EFI_UNSUPPORTED) {
    // A boot manager's own data, not words for this application.
    ExportSay(
        u"AddOnCardExport: the load options are not a command line; exporting everything to the root\r\n");
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Status)) return Status;
  *Words = Line->Words;
  *Count = Line->Count;
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS ExportToDirectory(const EXPORT_OPTIONS &Options, EFI_FILE_PROTOCOL *Directory,
                             EXPORT_TALLY *Tally) {
  *Tally = {};
  // An index of an earlier run must not outlive this run's files, whatever
  // stops this run before its own index is written.
  RemoveFileIfPresent(Directory, INDEX_FILE_NAME);
  EFI_HII_HANDLE *Handles = nullptr;
  EFI_STATUS Status = ListAllPackageLists(&Handles, &Tally->Lists);
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: cannot list the HII package lists: %r\r\n", Status);
    return Status;
  }
  // One slot per list: at most every list is written.
  auto *Written = static_cast<UINTN *>(PoolAlloc((Tally->Lists + 1) * sizeof(UINTN)));
  if (Written == nullptr) {
    PoolFree(Handles);
    return EFI_OUT_OF_RESOURCES;
  }
  for (UINTN Position = 0; Position < Tally->Lists; ++Position) {
    PCI_FUNCTION_IDENTITY Pci{};
    if (!SelectList(Options, Handles[Position], Position, &Pci, Tally)) continue;
    const UINTN Number = Tally->Selected++;
    Status = ExportSelectedList(Directory, Handles[Position], Number, Pci);
    if (EFI_ERROR(Status)) {
      // No half pair, and no pair of an earlier run under this number.
      RemoveCardFiles(Directory, Number);
      NoteFailure(Tally, Status);
    } else {
      Written[Tally->Written++] = Number;
    }
  }
  PoolFree(Handles);

  RemoveStaleCards(Directory, Tally->Selected);
  Status = WriteIndex(Directory, Written, Tally->Written);
  PoolFree(Written);
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: cannot write %s: %r\r\n", INDEX_FILE_NAME, Status);
    NoteFailure(Tally, Status);
  }
  ShowSummary(Options, *Tally);
  if (EFI_ERROR(Tally->FirstError)) return Tally->FirstError;
  if (Tally->Selected == 0) {
    ExportSay(u"AddOnCardExport: no package list %s\r\n", Options.FilterCount == 0
                                                              ? u"belongs to a PCI function"
                                                              : u"belongs to a PCI function with those IDs");
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

EFI_STATUS RunExport(EFI_HANDLE ImageHandle) {
  COMMAND_LINE_WORDS *Line = static_cast<COMMAND_LINE_WORDS *>(PoolAllocZero(sizeof(COMMAND_LINE_WORDS)));
  if (Line == nullptr) return EFI_OUT_OF_RESOURCES;
  const CHAR16 *const *Words = nullptr;
  UINTN Count = 0;
  EFI_STATUS Status = GetCommandLine(ImageHandle, Line, &Words, &Count);
  EXPORT_OPTIONS Options{};
  UINTN BadWord = 0;
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: the load options are too long or hold too many words\r\n");
  } else {
    Status = ParseExportArguments(Words, Count, &Options, &BadWord);
    if (EFI_ERROR(Status)) ExportSay(u"AddOnCardExport: cannot use the argument \"%s\"\r\n", Words[BadWord]);
  }
  PoolFree(Line);
  if (EFI_ERROR(Status) || Options.Help) {
    ExportPrint(USAGE);
    return EFI_ERROR(Status) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  }

  EFI_FILE_PROTOCOL *Directory = nullptr;
  Status = OpenOutputDirectory(ImageHandle, Options.Directory, &Directory);
  if (EFI_ERROR(Status)) {
    ExportSay(u"AddOnCardExport: cannot open the directory %s on the application's volume: %r\r\n",
              Options.Directory[0] == u'\0' ? u"\\" : Options.Directory, Status);
    return Status;
  }
  EXPORT_TALLY Tally;
  Status = ExportToDirectory(Options, Directory, &Tally);
  const EFI_STATUS Closed = Directory->Close(Directory);
  return EFI_ERROR(Status) ? Status : Closed;
}

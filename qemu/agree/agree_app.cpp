// AddOnCardAgree.efi: one boot in which the export tool and the driver meet.
// Booted from a FAT disk that also holds AddOnCard.efi, AddOnCardTestCard.efi
// and AddOnCardExport.efi, it plays the platform as the road does (loads the
// driver and the card driver, connects the card functions, puts both card
// models on the supported list through the keyword handler, installs the scan
// trigger), then runs AddOnCardExport.efi with a command line in its load
// options, and writes beside the export what the driver built in this boot:
//
//   agree/card-NN.hpk, card-NN.pci, index.txt   the export tool's files
//   agree/driver.hpk     the driver's own package list, as ExportPackageLists gives it
//   agree/keywords.txt   one line per keyword the driver's forms name (the
//                        prompt's x-UEFI-QZV string, when not empty), in their order:
//                        "KEYWORD STATUS ANSWER", STATUS GetData's status in
//                        hex, ANSWER its answer as given ("-" when none)
//
// The host (tests/agree_ovmf) previews the export and holds the keyword
// registry against these two files. Checks here only tell whether each step
// ran; the judging is the host's.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "qemu/card_publisher.h"
#include "qemu/driver_model.h"
#include "qemu/port_io.h"
#include "qemu/report.h"
#include "qemu/road/road_expect.h"
#include "qemu/road/road_platform.h"
#include "support/device_path.h"
#include "support/ifr_reader.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "tools/export_efi/export_files.h"
#include "uefi/guids.h"

namespace {

constexpr CHAR16 DRIVER_FILE[] = u"\\AddOnCard.efi";
constexpr CHAR16 CARD_DRIVER_FILE[] = u"\\AddOnCardTestCard.efi";
constexpr CHAR16 EXPORT_FILE[] = u"\\AddOnCardExport.efi";
constexpr CHAR16 OUTPUT_DIRECTORY[] = u"agree";
// Both card models of the machine, in the order the firmware enumerates their
// functions: the order their lists are exported in, and so the order the
// preview puts them on its supported list.
constexpr CHAR16 EXPORT_COMMAND_LINE[] = u"AddOnCardExport.efi 1234:11e8 1b36:0005 agree";
constexpr CHAR8 KEYWORD_LANGUAGE[] = "x-UEFI-QZV";
constexpr UINTN ID_DIGITS = 4;
constexpr UINTN BYTE_DIGITS = 2;
// Keyword lines: at most one per question of the driver's forms.
constexpr UINTN KEYWORDS_FILE_BYTES = 512 * 1024;
constexpr UINTN MAX_ANSWER_CHARS = 2048;

struct AGREE {
  CheckLog *Log;
  ROAD_SERVICES Services;
  EFI_HII_HANDLE DriverHii;
  RoadText DriverPath;
  EFI_FILE_PROTOCOL *Output;
};

[[noreturn]] void EndVirtualMachine(bool Success) {
  WritePortWord(DEBUG_EXIT_PORT, Success ? DEBUG_EXIT_SUCCESS : DEBUG_EXIT_FAILURE);
  if (RuntimeServices != nullptr)
    RuntimeServices->ResetSystem(EfiResetShutdown, Success ? EFI_SUCCESS : EFI_ABORTED, 0, nullptr);
  for (;;) __asm__ __volatile__("hlt");
}

void RecordStatus(AGREE &Agree, const CHAR8 *Check, EFI_STATUS Status) {
  ReportLine Details;
  Agree.Log->Record(Check, Status == EFI_SUCCESS, Details.Text("gave ").Status(Status));
}

// ---- the platform's part -----------------------------------------------------------------------

EFI_STATUS ConnectCardFunctions() {
  EFI_STATUS Result = EFI_SUCCESS;
  for (const TEST_PCI_FUNCTION &Wanted : TEST_PCI_FUNCTIONS) {
    CARD_PCI_FUNCTION Found[TEST_PCI_FUNCTION_COUNT] = {};
    UINTN Count = 0;
    EFI_STATUS Status = FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count);
    EFI_HANDLE Handle = nullptr;
    for (UINTN Index = 0; !EFI_ERROR(Status) && Index < Count && Index < ArrayCount(Found); ++Index)
      if (Found[Index].Bus == Wanted.Bus && Found[Index].Device == Wanted.Device &&
          Found[Index].Function == Wanted.Function)
        Handle = Found[Index].Handle;
    Status = Handle == nullptr ? EFI_NOT_FOUND : ConnectController(*BootServices, Handle);
    if (EFI_ERROR(Status) && !EFI_ERROR(Result)) Result = Status;
  }
  return Result;
}

bool LoadDrivers(AGREE &Agree) {
  EFI_STATUS Loaded = EFI_SUCCESS;
  EFI_STATUS Started = LoadAndStartImage(Agree.Services, DRIVER_FILE, &Loaded);
  RecordStatus(Agree, "agree/AddOnCard.efi loads and starts", EFI_ERROR(Loaded) ? Loaded : Started);
  Agree.DriverHii = FindListByFormSet(Agree.Services, ADDONCARD_FORMSET_GUID);
  const bool Registered =
      Agree.DriverHii != nullptr && ListOwnerPathHex(Agree.Services, Agree.DriverHii, &Agree.DriverPath);
  ReportLine Details;
  Agree.Log->Record("agree/the driver's form set is registered", Registered, Details);

  Started = LoadAndStartImage(Agree.Services, CARD_DRIVER_FILE, &Loaded);
  RecordStatus(Agree, "agree/AddOnCardTestCard.efi loads and starts", EFI_ERROR(Loaded) ? Loaded : Started);
  const EFI_STATUS Connected = ConnectCardFunctions();
  RecordStatus(Agree, "agree/the card functions are connected", Connected);
  return Registered && !EFI_ERROR(Started) && !EFI_ERROR(Connected);
}

// Both models on the supported list, as an administrator sets it through the
// keyword handler.
bool SetSupportedList(AGREE &Agree) {
  const struct {
    const CHAR16 *Keyword;
    UINT64 Value;
    UINTN Digits;
  } Settings[] = {
      {u"CSPACF00", EDU_VENDOR_ID, ID_DIGITS},
      {u"CSPACF0A", EDU_DEVICE_ID, ID_DIGITS},
      {u"CSPACF01", PCI_TESTDEV_VENDOR_ID, ID_DIGITS},
      {u"CSPACF0B", PCI_TESTDEV_DEVICE_ID, ID_DIGITS},
      {u"CSPACF14", 2, BYTE_DIGITS},
  };
  EFI_STATUS First = EFI_SUCCESS;
  for (const auto &Setting : Settings) {
    UINT32 Error = 0;
    const EFI_STATUS Status = SetKeyword(Agree.Services, Agree.DriverPath.Chars(), Setting.Keyword,
                                         Setting.Value, Setting.Digits, &Error);
    if (EFI_ERROR(Status) && !EFI_ERROR(First)) First = Status;
  }
  RecordStatus(Agree, "agree/SetData puts 1234:11E8 and 1B36:0005 on the supported list", First);
  return !EFI_ERROR(First);
}

// ---- the export tool ---------------------------------------------------------------------------

// Loads AddOnCardExport.efi from this disk and starts it with CommandLine as
// its load options, as a boot manager hands them over. The tool's own status.
EFI_STATUS RunExportTool(const ROAD_SERVICES &Services, const CHAR16 *CommandLine) {
  void *Interface = nullptr;
  EFI_STATUS Status =
      BootServices->HandleProtocol(Services.ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  const auto *Self = static_cast<const EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  Status = BootServices->HandleProtocol(Self->DeviceHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  const UINTN DiskSize = ValidatedDevicePathSize(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface));
  const UINTN NameBytes = sizeof(EXPORT_FILE);
  const UINTN NodeSize = FILE_PATH_NODE_HEADER + NameBytes;
  if (DiskSize < END_DEVICE_PATH_LENGTH) return EFI_INVALID_PARAMETER;
  auto *Path = static_cast<UINT8 *>(PoolAllocZero(DiskSize + NodeSize));
  if (Path == nullptr) return EFI_OUT_OF_RESOURCES;
  const UINTN Prefix = DiskSize - END_DEVICE_PATH_LENGTH;
  CopyBytes(Path, Interface, Prefix);
  UINT8 *Node = Path + Prefix;
  Node[0] = MEDIA_DEVICE_PATH;
  Node[1] = MEDIA_FILEPATH_DP;
  WriteLe(Node + 2, NodeSize, 2);
  CopyBytes(Node + FILE_PATH_NODE_HEADER, EXPORT_FILE, NameBytes);
  Node[NodeSize] = END_DEVICE_PATH_TYPE;
  Node[NodeSize + 1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  WriteLe(Node + NodeSize + 2, END_DEVICE_PATH_LENGTH, 2);

  EFI_HANDLE Image = nullptr;
  Status = BootServices->LoadImage(0, Services.ImageHandle,
                                   reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path), nullptr, 0, &Image);
  PoolFree(Path);
  if (EFI_ERROR(Status)) return Status;
  Status = BootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  auto *Loaded = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  Loaded->LoadOptions = const_cast<CHAR16 *>(CommandLine);
  Loaded->LoadOptionsSize = static_cast<UINT32>((Utf16Length(CommandLine) + 1) * sizeof(CHAR16));
  return BootServices->StartImage(Image, nullptr, nullptr);
}

// ---- what the driver built ---------------------------------------------------------------------

void WriteDriverList(AGREE &Agree) {
  EXPORTED_LIST List = {};
  EFI_STATUS Status = ExportList(Agree.Services, Agree.DriverHii, &List);
  if (!EFI_ERROR(Status)) Status = WriteWholeFile(Agree.Output, u"driver.hpk", List.View());
  FreeExport(&List);
  RecordStatus(Agree, "agree/the driver's package list is written to agree/driver.hpk", Status);
}

void PutAscii(ByteWriter &Out, const CHAR8 *Text) {
  while (*Text != '\0') Out.Put8(static_cast<UINT8>(*Text++));
}

// UTF-16 text of the firmware's as ASCII; anything else (there should be
// nothing else in a keyword or a configuration string) as '?'.
void PutUtf16AsAscii(ByteWriter &Out, const CHAR16 *Text, UINTN MaxChars) {
  for (UINTN Index = 0; Index < MaxChars && Text[Index] != 0; ++Index)
    Out.Put8(Text[Index] > u' ' && Text[Index] <= u'~' ? static_cast<UINT8>(Text[Index]) : '?');
}

void PutStatus(ByteWriter &Out, EFI_STATUS Status) {
  constexpr CHAR8 Digits[] = "0123456789abcdef";
  PutAscii(Out, "0x");
  UINTN Shown = 16;
  while (Shown > 1 && ((Status >> (4 * (Shown - 1))) & 0xF) == 0) --Shown;
  for (UINTN Index = Shown; Index > 0; --Index)
    Out.Put8(static_cast<UINT8>(Digits[(Status >> (4 * (Index - 1))) & 0xF]));
}

// GetData of the keyword named by the prompt of one question, as a line; false
// when the prompt names no keyword (no string in the keyword language, or an
// empty one).
bool PutKeywordLine(AGREE &Agree, EFI_STRING_ID Prompt, ByteWriter &Out) {
  CHAR16 *Keyword = ReadHiiString(Agree.Services, Agree.DriverHii, Prompt, KEYWORD_LANGUAGE);
  if (Keyword == nullptr || Keyword[0] == 0) {
    PoolFree(Keyword);
    return false;
  }
  KEYWORD_READING Reading = GetKeyword(Agree.Services, Agree.DriverPath.Chars(), Keyword);
  PutUtf16AsAscii(Out, Keyword, MAX_ANSWER_CHARS);
  Out.Put8(' ');
  PutStatus(Out, Reading.Status);
  Out.Put8(' ');
  if (Reading.Answer == nullptr)
    Out.Put8('-');
  else
    PutUtf16AsAscii(Out, Reading.Answer, MAX_ANSWER_CHARS);
  Out.Put8('\n');
  FreeReading(&Reading);
  PoolFree(Keyword);
  return true;
}

void WriteKeywords(AGREE &Agree) {
  EXPORTED_LIST List = {};
  EFI_STATUS Status = ExportList(Agree.Services, Agree.DriverHii, &List);
  auto *Text = static_cast<UINT8 *>(PoolAlloc(KEYWORDS_FILE_BYTES));
  if (!EFI_ERROR(Status) && Text == nullptr) Status = EFI_OUT_OF_RESOURCES;
  UINTN Keywords = 0;
  if (!EFI_ERROR(Status)) {
    ByteWriter Out(Text, KEYWORDS_FILE_BYTES);
    PackageListReader Packages(List.View());
    for (HiiPackage Package; Packages.Next(&Package);) {
      if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
      IfrCursor Cursor(Package.Bytes());
      for (IfrOpCode Op; Cursor.Next(&Op);) {
        IFR_QUESTION_FIELDS Fields;
        if (ReadQuestionFields(Op, &Fields) && PutKeywordLine(Agree, Fields.Prompt, Out)) ++Keywords;
      }
    }
    Status =
        Out.Failed() ? EFI_BUFFER_TOO_SMALL : WriteWholeFile(Agree.Output, u"keywords.txt", Out.Written());
  }
  PoolFree(Text);
  FreeExport(&List);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", ").Decimal(Keywords).Text(" keywords");
  Agree.Log->Record("agree/GetData of every keyword of the driver's forms is written to agree/keywords.txt",
                    Status == EFI_SUCCESS && Keywords != 0, Details);
  ReportLine Note;
  Note.Text("NOTE agree keywords: ").Decimal(Keywords).Emit();
}

void RunAgree(AGREE &Agree) {
  if (!LoadDrivers(Agree) || !SetSupportedList(Agree)) return;
  RecordStatus(Agree, "agree/the platform installs CARD_FORMS_NOTIFY",
               InstallTrigger(CARD_FORMS_NOTIFY_GUID));

  const EFI_STATUS Exported = RunExportTool(Agree.Services, EXPORT_COMMAND_LINE);
  RecordStatus(Agree, "agree/AddOnCardExport.efi writes the cards' lists to agree/", Exported);

  EFI_STATUS Status = OpenOutputDirectory(Agree.Services.ImageHandle, OUTPUT_DIRECTORY, &Agree.Output);
  RecordStatus(Agree, "agree/the directory agree/ opens for writing", Status);
  if (EFI_ERROR(Status)) return;
  WriteDriverList(Agree);
  WriteKeywords(Agree);
  Status = Agree.Output->Close(Agree.Output);
  RecordStatus(Agree, "agree/the directory closes with everything written", Status);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI AgreeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  // The boot manager's five-minute watchdog must not reset a slow emulated run.
  BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

  ReportLine Line;
  Line.Text("AddOnCard agree: start").Emit();
  CheckLog Log;
  AGREE Agree = {};
  Agree.Log = &Log;
  const EFI_STATUS Located = LocateRoadServices(ImageHandle, &Agree.Services);
  RecordStatus(Agree, "agree/the firmware has the HII database, strings, router and keyword handler",
               Located);
  if (Located == EFI_SUCCESS) RunAgree(Agree);
  EndVirtualMachine(EmitSummary(Log));
}

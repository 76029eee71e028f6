// The driver's static package arrays registered in the firmware's own HII
// database, on a handle carrying the driver's vendor device path, and what the
// firmware's database and string services then answer. The export printed here
// is what the host simulator must reproduce byte for byte.
#include "driver/globals.h"
#include "forms/identities.h"
#include "qemu/check_groups.h"
#include "qemu/static_package_list.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "uefi/guids.h"

namespace {

struct Registration {
  EFI_HANDLE DriverHandle = nullptr;
  EFI_HII_HANDLE HiiHandle = nullptr;
};

bool Register(CheckLog &Log, Registration &Reg) {
  ReportLine Details;
  EFI_STATUS Status = BootServices->InstallProtocolInterface(
      &Reg.DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
      const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH));
  Log.Record("hii/the driver's 24-byte vendor device path installs on a new handle", Status == EFI_SUCCESS,
             Details.Text("InstallProtocolInterface gave ").Status(Status));
  if (EFI_ERROR(Status)) return false;

  EFI_HII_PACKAGE_LIST_HEADER *List = BuildStaticPackageList();
  Status = List == nullptr ? EFI_OUT_OF_RESOURCES
                           : HiiDatabase->NewPackageList(HiiDatabase, List, Reg.DriverHandle, &Reg.HiiHandle);
  Details.Text("NewPackageList gave ").Status(Status);
  Log.Record("hii/NewPackageList registers the strings and forms arrays as one list on that handle",
             Status == EFI_SUCCESS && Reg.HiiHandle != nullptr, Details);

  if (Status == EFI_SUCCESS) {
    EFI_HII_HANDLE Second = nullptr;
    const EFI_STATUS Again = HiiDatabase->NewPackageList(HiiDatabase, List, Reg.DriverHandle, &Second);
    ReportLine Refusal;
    Refusal.Text("a second NewPackageList gave ").Status(Again);
    Log.Record("hii/NewPackageList refuses the same list GUID again for the same handle (invalid parameter)",
               Again == EFI_INVALID_PARAMETER, Refusal);
    if (Again == EFI_SUCCESS) HiiDatabase->RemovePackageList(HiiDatabase, Second);

    EFI_HANDLE Owner = nullptr;
    const EFI_STATUS OwnerStatus = HiiDatabase->GetPackageListHandle(HiiDatabase, Reg.HiiHandle, &Owner);
    ReportLine OwnerDetails;
    OwnerDetails.Text("GetPackageListHandle gave ").Status(OwnerStatus);
    Log.Record("hii/GetPackageListHandle gives back the driver handle",
               OwnerStatus == EFI_SUCCESS && Owner == Reg.DriverHandle, OwnerDetails);
  }
  PoolFree(List);
  return Status == EFI_SUCCESS;
}

void CheckLanguages(CheckLog &Log, const Registration &Reg) {
  static constexpr CHAR8 EXPECTED[] = "en-US;x-UEFI-QZV";
  CHAR8 Languages[64] = {};
  UINTN Size = 4;
  const EFI_STATUS Probe = HiiString->GetLanguages(HiiString, Reg.HiiHandle, Languages, &Size);
  const UINTN NeededSize = Size;
  Size = sizeof(Languages) - 1;
  const EFI_STATUS Status = HiiString->GetLanguages(HiiString, Reg.HiiHandle, Languages, &Size);
  ReportLine Details;
  if (Probe != EFI_BUFFER_TOO_SMALL || NeededSize != sizeof(EXPECTED)) {
    Details.Text("a 4-byte buffer gave ").Status(Probe).Text(" and size ").Decimal(NeededSize);
  } else if (Status != EFI_SUCCESS || AsciiCompareN(Languages, EXPECTED, sizeof(EXPECTED)) != 0) {
    Details.Text("gave ").Status(Status).Text(" ").QuotedAscii(Languages);
  }
  Log.Record("hii/GetLanguages gives \"en-US;x-UEFI-QZV\" (17 bytes; a small buffer is told that size)",
             Details.IsEmpty(), Details);
}

struct StringCase {
  const CHAR8 *Name;
  const CHAR8 *Language;
  EFI_STRING_ID Id;
  EFI_STATUS ExpectedStatus;
  const CHAR16 *ExpectedText;  // checked when ExpectedStatus is EFI_SUCCESS
};

constexpr StringCase STATIC_STRING_CASES[] = {
    {"hii/GetString en-US #2 gives \"Talvorenix AddOnCard Form\"", "en-US", 2, EFI_SUCCESS,
     u"Talvorenix AddOnCard Form"},
    {"hii/GetString en-US #5 gives \"Supported PCI ID Pair Count\"", "en-US", 5, EFI_SUCCESS,
     u"Supported PCI ID Pair Count"},
    {"hii/GetString en-US #7 gives \"PCI Vendor ID #1\"", "en-US", 7, EFI_SUCCESS, u"PCI Vendor ID #1"},
    {"hii/GetString en-US #18 gives \"PCI Device ID #1\"", "en-US", 18, EFI_SUCCESS, u"PCI Device ID #1"},
    {"hii/GetString en-us (other case) #2 gives \"Talvorenix AddOnCard Form\"", "en-us", 2, EFI_SUCCESS,
     u"Talvorenix AddOnCard Form"},
    {"hii/GetString x-UEFI-QZV #5 gives \"CSPACF14\"", "x-UEFI-QZV", 5, EFI_SUCCESS, u"CSPACF14"},
    {"hii/GetString x-UEFI-QZV #7 gives \"CSPACF00\"", "x-UEFI-QZV", 7, EFI_SUCCESS, u"CSPACF00"},
    {"hii/GetString x-UEFI-QZV #16 gives \"CSPACF09\"", "x-UEFI-QZV", 16, EFI_SUCCESS, u"CSPACF09"},
    {"hii/GetString x-UEFI-QZV #18 gives \"CSPACF0A\"", "x-UEFI-QZV", 18, EFI_SUCCESS, u"CSPACF0A"},
    {"hii/GetString x-UEFI-QZV #29 gives \"CSPAC000\"", "x-UEFI-QZV", 29, EFI_SUCCESS, u"CSPAC000"},
    {"hii/GetString x-UEFI-QZV #2 (skipped there) gives invalid language", "x-UEFI-QZV", 2,
     EFI_INVALID_LANGUAGE, nullptr},
    {"hii/GetString x-UEFI-QZV #41 (skipped there) gives invalid language", "x-UEFI-QZV", 41,
     EFI_INVALID_LANGUAGE, nullptr},
    {"hii/GetString x-QZV #5 (no such package) gives invalid language", "x-QZV", 5, EFI_INVALID_LANGUAGE,
     nullptr},
    {"hii/GetString en-US #42 (beyond every package) gives not found", "en-US", 42, EFI_NOT_FOUND, nullptr},
};

constexpr UINTN STRING_BUFFER_CHARS = 128;

void RunStringCase(CheckLog &Log, const Registration &Reg, const StringCase &Case) {
  CHAR16 Text[STRING_BUFFER_CHARS] = {};
  UINTN Size = sizeof(Text);
  const EFI_STATUS Status =
      HiiString->GetString(HiiString, Case.Language, Reg.HiiHandle, Case.Id, Text, &Size, nullptr);
  ReportLine Details;
  if (Status != Case.ExpectedStatus) {
    Details.Text("status ").Status(Status).Text(", expected ").Status(Case.ExpectedStatus);
  } else if (Status == EFI_SUCCESS && !SameText(Text, Case.ExpectedText)) {
    Details.Text("got ").Quoted(Text, STRING_BUFFER_CHARS).Text(", expected ").Quoted(Case.ExpectedText);
  }
  Log.Record(Case.Name, Details.IsEmpty(), Details);
}

void CheckStringBufferTooSmall(CheckLog &Log, const Registration &Reg) {
  CHAR16 Text[2] = {};
  UINTN Size = sizeof(Text);
  const EFI_STATUS Status = HiiString->GetString(HiiString, "en-US", Reg.HiiHandle, 7, Text, &Size, nullptr);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(" and size ").Decimal(Size);
  Log.Record(
      "hii/GetString with a 4-byte buffer gives buffer too small and 34 bytes for \"PCI Vendor ID #1\"",
      Status == EFI_BUFFER_TOO_SMALL && Size == 34, Details);
}

// A view of the packages of an exported list; every length is checked against
// the export's size before it is used.
struct ExportedPackage {
  UINT8 Type;
  UINT32 Length;
  const UINT8 *Bytes;
};

UINTN SplitExport(const UINT8 *Export, UINTN Size, ExportedPackage *Packages, UINTN Capacity) {
  UINTN Count = 0;
  UINTN Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (Count < Capacity && Offset + sizeof(EFI_HII_PACKAGE_HEADER) <= Size) {
    const auto &Header = *reinterpret_cast<const EFI_HII_PACKAGE_HEADER *>(Export + Offset);
    const UINT32 Length = PackageLength(Header);
    if (Length < sizeof(EFI_HII_PACKAGE_HEADER) || Length > Size - Offset) break;
    Packages[Count++] = {PackageType(Header), Length, Export + Offset};
    if (PackageType(Header) == EFI_HII_PACKAGE_END) break;
    Offset += Length;
  }
  return Count;
}

struct ExpectedPackage {
  UINT8 Type;
  UINT32 Length;
};
// Packages grouped by type, forms first; the database adds the device path of
// the driver handle (its 4-byte header and the 24-byte path).
constexpr ExpectedPackage EXPECTED_EXPORT_LAYOUT[] = {{EFI_HII_PACKAGE_FORMS, 0x839},
                                                      {EFI_HII_PACKAGE_STRINGS, 0x590},
                                                      {EFI_HII_PACKAGE_STRINGS, 0x1F8},
                                                      {EFI_HII_PACKAGE_DEVICE_PATH, 0x1C},
                                                      {EFI_HII_PACKAGE_END, 4}};

void CheckExportLayout(CheckLog &Log, const UINT8 *Export, UINTN Size) {
  ExportedPackage Packages[8] = {};
  const UINTN Count = SplitExport(Export, Size, Packages, ArrayCount(Packages));
  const auto &Header = *reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(Export);
  ReportLine Details;
  if (!GuidEquals(Header.PackageListGuid, ADDONCARD_FORMSET_GUID) || Header.PackageLength != Size)
    Details.Text("list header: length ").Decimal(Header.PackageLength).Text(" of ").Decimal(Size).Text("; ");
  bool LayoutMatches = Count == ArrayCount(EXPECTED_EXPORT_LAYOUT);
  for (UINTN Index = 0; LayoutMatches && Index < Count; ++Index)
    LayoutMatches = Packages[Index].Type == EXPECTED_EXPORT_LAYOUT[Index].Type &&
                    Packages[Index].Length == EXPECTED_EXPORT_LAYOUT[Index].Length;
  if (!LayoutMatches) {
    Details.Text("packages (type/length):");
    for (UINTN Index = 0; Index < Count; ++Index)
      Details.Text(" ").Hex(Packages[Index].Type, 2).Text("/").Hex(Packages[Index].Length);
  }
  Log.Record("hii/ExportPackageLists lays out forms, strings en-US, strings x-UEFI-QZV, device path, end",
             Details.IsEmpty(), Details);
  if (!LayoutMatches) return;

  ReportLine FormDetails;
  const bool FormsSame = CompareBytes(Packages[0].Bytes, AddOnCardForms + STATIC_ARRAY_LENGTH_PREFIX,
                                      STATIC_FORM_PACKAGE_SIZE) == 0;
  Log.Record("hii/ExportPackageLists gives back the form package byte for byte", FormsSame,
             FormDetails.Text("the exported form package differs from the forms array"));

  ReportLine StringDetails;
  const bool StringsSame = CompareBytes(Packages[1].Bytes, AddOnCardStrings + STATIC_ARRAY_LENGTH_PREFIX,
                                        STATIC_STRING_PACKAGES_SIZE) == 0;
  Log.Record("hii/ExportPackageLists gives back both string packages byte for byte", StringsSame,
             StringDetails.Text("the exported string packages differ from the strings array"));

  ReportLine PathDetails;
  const bool PathSame = CompareBytes(Packages[3].Bytes + sizeof(EFI_HII_PACKAGE_HEADER),
                                     &ADDONCARD_DEVICE_PATH, sizeof(ADDONCARD_DEVICE_PATH)) == 0;
  Log.Record("hii/the device-path package holds the driver handle's vendor device path", PathSame,
             PathDetails.Text("the device-path package holds another path"));
}

// Exports the registered list, checks it and prints it for the host, whose
// simulator must give the same bytes for the same registration.
void CheckExport(CheckLog &Log, const Registration &Reg) {
  UINTN Size = 0;
  EFI_STATUS Status = HiiDatabase->ExportPackageLists(HiiDatabase, Reg.HiiHandle, &Size, nullptr);
  ReportLine Details;
  if (Status != EFI_BUFFER_TOO_SMALL || Size < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) {
    Log.Fail("hii/ExportPackageLists tells the size of the list",
             Details.Text("gave ").Status(Status).Text(" and size ").Decimal(Size));
    return;
  }
  UINT8 *Export = static_cast<UINT8 *>(PoolAllocZero(Size));
  UINTN ExportSize = Size;
  Status = Export == nullptr
               ? EFI_OUT_OF_RESOURCES
               : HiiDatabase->ExportPackageLists(HiiDatabase, Reg.HiiHandle, &ExportSize,
                                                 reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Export));
  Details.Text("gave ").Status(Status).Text(", ").Decimal(ExportSize).Text(" bytes of ").Decimal(Size);
  Log.Record("hii/ExportPackageLists exports the list in the size it told",
             Status == EFI_SUCCESS && ExportSize == Size, Details);
  if (Status == EFI_SUCCESS) {
    CheckExportLayout(Log, Export, Size);
    EmitHexBlock("PACKAGE LIST EXPORT", Export, Size);
  }
  PoolFree(Export);
}

// A language the list has no package for: without a language name NewString
// refuses it, with one the database adds a string package for it; SetString
// cannot add a language. (Runs last: it adds a package to the list.)
void CheckUnknownLanguage(CheckLog &Log, const Registration &Reg) {
  EFI_STRING_ID Id = 0;
  EFI_STATUS Status =
      HiiString->NewString(HiiString, Reg.HiiHandle, &Id, "fr-FR", nullptr, u"Chaine", nullptr);
  ReportLine Unnamed;
  Unnamed.Text("gave ").Status(Status);
  Log.Record("hii/NewString in a language no package has, without a language name, gives invalid parameter",
             Status == EFI_INVALID_PARAMETER, Unnamed);

  Status = HiiString->SetString(HiiString, Reg.HiiHandle, 5, "fr-FR", u"Chaine", nullptr);
  ReportLine Set;
  Set.Text("gave ").Status(Status);
  Log.Record("hii/SetString in a language no package has gives not found", Status == EFI_NOT_FOUND, Set);

  Status = HiiString->NewString(HiiString, Reg.HiiHandle, &Id, "fr-FR", u"Francais", u"Chaine", nullptr);
  CHAR8 Languages[64] = {};
  UINTN Size = sizeof(Languages) - 1;
  const EFI_STATUS LanguagesStatus = HiiString->GetLanguages(HiiString, Reg.HiiHandle, Languages, &Size);
  static constexpr CHAR8 EXPECTED[] = "en-US;x-UEFI-QZV;fr-FR";
  ReportLine Named;
  Named.Text("gave ")
      .Status(Status)
      .Text(" and id ")
      .Decimal(Id)
      .Text("; GetLanguages ")
      .Status(LanguagesStatus);
  Named.Text(" ").QuotedAscii(Languages);
  Log.Record("hii/NewString with a language name adds a package for that language (id 44, \"...;fr-FR\")",
             Status == EFI_SUCCESS && Id == 44 && LanguagesStatus == EFI_SUCCESS &&
                 AsciiCompareN(Languages, EXPECTED, sizeof(EXPECTED)) == 0,
             Named);
}

void CheckNewString(CheckLog &Log, const Registration &Reg) {
  EFI_STRING_ID First = 0;
  EFI_STATUS Status = HiiString->NewString(HiiString, Reg.HiiHandle, &First, "en-US", nullptr,
                                           u"Firmware test string", nullptr);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(" and id ").Decimal(First);
  Log.Record("hii/NewString in en-US gives id 42", Status == EFI_SUCCESS && First == 42, Details);
  if (Status != EFI_SUCCESS) return;

  constexpr StringCase AFTER_NEW_STRING[] = {
      {"hii/GetString en-US #42 then gives the new text", "en-US", 42, EFI_SUCCESS, u"Firmware test string"},
      {"hii/GetString x-UEFI-QZV #42 then gives an empty string", "x-UEFI-QZV", 42, EFI_SUCCESS, u""},
  };
  for (const StringCase &Case : AFTER_NEW_STRING)
    RunStringCase(Log, Reg, {Case.Name, Case.Language, First, Case.ExpectedStatus, Case.ExpectedText});

  EFI_STRING_ID Second = 0;
  Status = HiiString->NewString(HiiString, Reg.HiiHandle, &Second, "en-US", nullptr, u"Second", nullptr);
  ReportLine SecondDetails;
  SecondDetails.Text("gave ").Status(Status).Text(" and id ").Decimal(Second);
  Log.Record("hii/a second NewString in en-US gives id 43", Status == EFI_SUCCESS && Second == 43,
             SecondDetails);

  CheckUnknownLanguage(Log, Reg);
}

// Leaves the firmware as the group found it, for the groups that follow.
void Unregister(CheckLog &Log, Registration &Reg) {
  EFI_STATUS Status = HiiDatabase->RemovePackageList(HiiDatabase, Reg.HiiHandle);
  ReportLine Details;
  Details.Text("RemovePackageList gave ").Status(Status);
  Log.Record("hii/RemovePackageList removes the list", Status == EFI_SUCCESS, Details);
  BootServices->UninstallProtocolInterface(Reg.DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                           const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH));
}

}  // namespace

void RunStaticPackageChecks(CheckLog &Log) {
  Registration Reg;
  if (!Register(Log, Reg)) return;
  CheckLanguages(Log, Reg);
  for (const StringCase &Case : STATIC_STRING_CASES) RunStringCase(Log, Reg, Case);
  CheckStringBufferTooSmall(Log, Reg);
  // Export before NewString: the host compares the list as registered.
  CheckExport(Log, Reg);
  CheckNewString(Log, Reg);
  Unregister(Log, Reg);
}

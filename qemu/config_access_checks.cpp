// The driver's configuration access, installed on its handle as start-up does,
// next to the vendor path and the registered form set. The firmware's router
// reads and writes the three UEFI variable stores itself and asks the driver
// only for alternate configurations; its export is made of the driver's own
// answer to a null request; the keyword handler reads through the router. Each
// answer is read back with the firmware's own ConfigToBlock, so what is checked
// is what the platform accepts, not only the text. The driver's handlers are
// also called directly for the Progress contract. The PCI list is put back as
// found at the end, for the second boot.
#include "driver/globals.h"
#include "forms/config_access.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/config_string.h"
#include "qemu/check_groups.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "uefi/guids.h"

namespace {

constexpr CHAR16 ALTCFG_0000[] = u"&ALTCFG=0000";

// ---- text ---------------------------------------------------------------------------

// A + B + C in a new pool string; null when the pool is exhausted.
CHAR16 *Join(const CHAR16 *A, const CHAR16 *B, const CHAR16 *C = u"") {
  const UINTN LengthA = Utf16Length(A);
  const UINTN LengthB = Utf16Length(B);
  const UINTN LengthC = Utf16Length(C);
  auto *Text = static_cast<CHAR16 *>(PoolAllocZero((LengthA + LengthB + LengthC + 1) * sizeof(CHAR16)));
  if (Text == nullptr) return nullptr;
  CopyBytes(Text, A, LengthA * sizeof(CHAR16));
  CopyBytes(Text + LengthA, B, LengthB * sizeof(CHAR16));
  CopyBytes(Text + LengthA + LengthB, C, LengthC * sizeof(CHAR16));
  return Text;
}

// The first Count code units of Text in a new pool string.
CHAR16 *Prefix(const CHAR16 *Text, UINTN Count) {
  auto *Copy = static_cast<CHAR16 *>(PoolAllocZero((Count + 1) * sizeof(CHAR16)));
  if (Copy != nullptr) CopyBytes(Copy, Text, Count * sizeof(CHAR16));
  return Copy;
}

bool StartsWith(const CHAR16 *Text, const CHAR16 *Start) {
  return Text != nullptr && Utf16CompareN(Text, Start, Utf16Length(Start)) == 0;
}

constexpr CHAR16 Lower(CHAR16 C) { return C >= u'A' && C <= u'Z' ? static_cast<CHAR16>(C - u'A' + u'a') : C; }

// The VALUE digits of Bytes as the router writes them, compared without regard
// to case at Text.
bool ValueDigitsAt(const CHAR16 *Text, const UINT8 *Bytes, UINTN Size) {
  for (UINTN Index = 0; Index < 2 * Size; ++Index) {
    const UINT8 Byte = Bytes[Size - 1 - Index / 2];
    const UINTN Nibble = Index % 2 == 0 ? Byte >> 4 : Byte & 0xF;
    if (Lower(Text[Index]) != u"0123456789abcdef"[Nibble]) return false;
  }
  return true;
}

// ---- the stores -------------------------------------------------------------------

struct Store {
  const CHAR8 *Label;
  const CHAR16 *Name;
  const EFI_GUID *Guid;
  UINTN Size;
  const CHAR16 *Elements;  // a request's elements
  UINTN Offset;            // the bytes they name
  UINTN Width;
};

constexpr Store OOB = {"OOB",
                       TLX_ADDONCARD_OOB_VAR,
                       &ADDONCARD_FORMSET_GUID,
                       ADDONCARD_OOB_VARSTORE_SIZE,
                       u"&OFFSET=3fe&WIDTH=2",
                       0x3FE,
                       2};
constexpr Store STRINGS = {"STRING",
                           TLX_ADDONCARD_STRING_VAR,
                           &ADDONCARD_FORMSET_GUID,
                           ADDONCARD_STRING_VARSTORE_SIZE,
                           u"&OFFSET=200&WIDTH=4",
                           0x200,
                           4};
constexpr Store PCI = {"PCI",
                       TLX_ADDONCARD_PCI_VAR,
                       &ADDONCARD_PCI_VAR_GUID,
                       ADDONCARD_PCI_VARSTORE_SIZE,
                       u"&OFFSET=0&WIDTH=2",
                       0,
                       2};
constexpr const Store *STORES[] = {&OOB, &STRINGS, &PCI};

// The variable's bytes in a pool block of Store.Size; null when it cannot be read whole.
UINT8 *ReadStored(const Store &S) {
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(S.Size));
  if (Bytes == nullptr) return nullptr;
  UINTN Size = S.Size;
  UINT32 Attributes = 0;
  if (EFI_ERROR(RuntimeServices->GetVariable(S.Name, S.Guid, &Attributes, &Size, Bytes)) || Size != S.Size) {
    PoolFree(Bytes);
    return nullptr;
  }
  return Bytes;
}

bool StoredEquals(const Store &S, const void *Expected) {
  UINT8 *Stored = ReadStored(S);
  const bool Same = Stored != nullptr && CompareBytes(Stored, Expected, S.Size) == 0;
  PoolFree(Stored);
  return Same;
}

// ---- sections of an answer ----------------------------------------------------------

// Decodes the section of Text that follows Header: its current configuration
// (the header followed by "&OFFSET="), or with Alternate its "&ALTCFG=0000"
// configuration, up to the next header, into Block through the firmware's own
// ConfigToBlock. False when there is no such section or the platform refuses it.
bool DecodeSection(const CHAR16 *Text, const CHAR16 *Header, bool Alternate, UINT8 *Block, UINTN Size,
                   ReportLine &Details) {
  CHAR16 *Key = Join(Header, Alternate ? ALTCFG_0000 : u"&OFFSET=");
  const CHAR16 *Found = Key == nullptr ? nullptr : Utf16Find(Text, Key);
  PoolFree(Key);
  if (Found == nullptr) {
    Details.Text(Alternate ? "no header followed by &ALTCFG=0000" : "no header followed by &OFFSET=");
    return false;
  }
  const CHAR16 *Body = Found + Utf16Length(Header) + (Alternate ? ArrayCount(ALTCFG_0000) - 1 : 0);
  const CHAR16 *End = Utf16Find(Body, u"&GUID=");
  CHAR16 *BodyOnly = Prefix(Body, End == nullptr ? Utf16Length(Body) : static_cast<UINTN>(End - Body));
  CHAR16 *Section = BodyOnly == nullptr ? nullptr : Join(Header, BodyOnly);
  PoolFree(BodyOnly);
  if (Section == nullptr) return false;
  CHAR16 *Progress = nullptr;
  UINTN BlockSize = Size;
  const EFI_STATUS Status =
      ConfigRouting->ConfigToBlock(ConfigRouting, Section, Block, &BlockSize, &Progress);
  PoolFree(Section);
  if (EFI_ERROR(Status)) Details.Text("ConfigToBlock of the section gave ").Status(Status);
  return !EFI_ERROR(Status);
}

// The section decodes to Expected: every byte of the store named, with its value.
void CheckSection(CheckLog &Log, const CHAR8 *Check, const CHAR16 *Text, const CHAR16 *Header, bool Alternate,
                  const void *Expected, UINTN Size) {
  auto *Block = static_cast<UINT8 *>(PoolAlloc(Size));
  ReportLine Details;
  bool Ok = Block != nullptr;
  if (Ok) {
    FillBytes(Block, Size, 0xEE);  // a byte left unnamed shows
    Ok = DecodeSection(Text, Header, Alternate, Block, Size, Details);
    if (Ok && CompareBytes(Block, Expected, Size) != 0) {
      Ok = false;
      Details.Text("decoded bytes differ; first 16: ");
      for (UINTN Index = 0; Index < 16 && Index < Size; ++Index) Details.Hex(Block[Index], 2);
    }
  }
  Log.Record(Check, Ok, Details);
  PoolFree(Block);
}

// ---- calls ---------------------------------------------------------------------------

struct Answer {
  EFI_STATUS Status;
  CHAR16 *Results;  // pool, the caller frees it
  UINTN ProgressAt;
};

Answer RouterExtract(const CHAR16 *Request) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  const EFI_STATUS Status = ConfigRouting->ExtractConfig(ConfigRouting, Request, &Progress, &Results);
  return {Status, Results, Progress == nullptr ? 0 : static_cast<UINTN>(Progress - Request)};
}

Answer DriverExtract(const CHAR16 *Request) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  const EFI_STATUS Status = ExtractConfig(&AddOnCardConfigAccess, Request, &Progress, &Results);
  return {Status, Results, Progress == nullptr ? 0 : static_cast<UINTN>(Progress - Request)};
}

Answer DriverRoute(const CHAR16 *Configuration) {
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = RouteConfig(&AddOnCardConfigAccess, Configuration, &Progress);
  return {Status, nullptr, Progress == nullptr ? 0 : static_cast<UINTN>(Progress - Configuration)};
}

void Describe(ReportLine &Details, const Answer &A) {
  Details.Text("gave ").Status(A.Status).Text(", progress at ").Decimal(A.ProgressAt);
  if (A.Results != nullptr) Details.Text(", answer ").Quoted(A.Results, 160);
}

EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *KeywordHandler() {
  void *Interface = nullptr;
  BootServices->LocateProtocol(&EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID, nullptr, &Interface);
  return static_cast<EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *>(Interface);
}

// ---- the checks ----------------------------------------------------------------------

struct Headers {
  CHAR16 *Of[3];  // OOB, STRING, PCI, under the driver handle's path
};

// Before the protocol is installed no alternate configuration comes from the
// driver; after, the router merges the driver's ALTCFG into what it reads, and
// the keyword handler must still find the current value.
void CheckKeywords(CheckLog &Log, bool Installed, const ADDONCARD_PCI_ID_LIST &Stored) {
  EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *Handler = KeywordHandler();
  const struct {
    const CHAR8 *Check[2];
    const CHAR16 *Keyword;
    const void *Bytes;
    UINTN Size;
  } Rows[] = {
      {{"access/keyword GetData of CSPACF00 without the protocol gives the stored vendor ID",
        "access/keyword GetData of CSPACF00 with the protocol (its ALTCFG merged) gives the stored vendor "
        "ID"},
       u"KEYWORD=CSPACF00",
       &Stored.VendorId[0],
       2},
      {{"access/keyword GetData of CSPACF14 without the protocol gives the stored pair count",
        "access/keyword GetData of CSPACF14 with the protocol (its ALTCFG merged) gives the stored pair "
        "count"},
       u"KEYWORD=CSPACF14",
       &Stored.PairCount,
       1},
  };
  for (const auto &Row : Rows) {
    CHAR16 *Progress = nullptr;
    CHAR16 *Results = nullptr;
    UINT32 Error = 0;
    const EFI_STATUS Status = Handler == nullptr ? EFI_NOT_FOUND
                                                 : Handler->GetData(Handler, u"NAMESPACE=x-UEFI-QZV",
                                                                    Row.Keyword, &Progress, &Error, &Results);
    const CHAR16 *Value = Results == nullptr ? nullptr : Utf16Find(Results, u"&VALUE=");
    const bool Ok = Status == EFI_SUCCESS && Value != nullptr && Utf16Length(Value + 7) == 2 * Row.Size &&
                    ValueDigitsAt(Value + 7, static_cast<const UINT8 *>(Row.Bytes), Row.Size);
    ReportLine Details;
    Details.Text("gave ").Status(Status).Text(" ");
    Log.Record(Row.Check[Installed ? 1 : 0], Ok, Details.Quoted(Results, 200));
    PoolFree(Results);
  }
}

void CheckRouterReads(CheckLog &Log, const Headers &H) {
  for (UINTN Index = 0; Index < 3; ++Index) {
    const Store &S = *STORES[Index];
    UINT8 *Stored = ReadStored(S);
    CHAR16 *Request = Join(H.Of[Index], S.Elements);
    Answer A = Stored == nullptr || Request == nullptr ? Answer{EFI_OUT_OF_RESOURCES, nullptr, 0}
                                                       : RouterExtract(Request);
    const CHAR16 *Value = A.Results == nullptr ? nullptr : A.Results + Utf16Length(Request);
    const bool Ok = A.Status == EFI_SUCCESS && StartsWith(A.Results, Request) &&
                    StartsWith(Value, u"&VALUE=") && ValueDigitsAt(Value + 7, Stored + S.Offset, S.Width);
    ReportLine Details;
    Details.Text(S.Label).Text(": ");
    Describe(Details, A);
    Log.Record("access/router ExtractConfig with OFFSET/WIDTH answers the stored bytes of each store", Ok,
               Details);
    PoolFree(A.Results);

    // A bare header: the router answers from the form's questions (none yet on
    // the OOB and STRING stores); whatever it names must be the stored bytes.
    A = RouterExtract(H.Of[Index]);
    ReportLine WholeDetails;
    WholeDetails.Text(S.Label).Text(": ");
    Describe(WholeDetails, A);
    Log.Record("access/router ExtractConfig of a bare header succeeds and answers under that header",
               A.Status == EFI_SUCCESS && StartsWith(A.Results, H.Of[Index]), WholeDetails);
    if (A.Results != nullptr && Utf16Find(A.Results, u"&OFFSET=") != nullptr && Stored != nullptr) {
      auto *Block = static_cast<UINT8 *>(PoolAllocCopy(S.Size, Stored));
      ReportLine DecodeDetails;
      const bool Decoded =
          Block != nullptr && DecodeSection(A.Results, H.Of[Index], false, Block, S.Size, DecodeDetails);
      Log.Record("access/what the router answers for a bare header reads back as the stored bytes",
                 Decoded && CompareBytes(Block, Stored, S.Size) == 0, DecodeDetails.Text(S.Label));
      PoolFree(Block);
    }
    if (Index == 2 && A.Status == EFI_SUCCESS) {
      CheckSection(Log, "access/router ExtractConfig of the PCI header: the current list reads back whole",
                   A.Results, H.Of[Index], false, Stored, S.Size);
      CheckSection(Log,
                   "access/router ExtractConfig of the PCI header: ALTCFG=0000 reads back as the defaults",
                   A.Results, H.Of[Index], true, &ADDONCARD_PCI_DEFAULTS, S.Size);
    }
    PoolFree(A.Results);
    PoolFree(Request);
    PoolFree(Stored);
  }
}

void CheckExport(CheckLog &Log, const Headers &H) {
  CHAR16 *Export = nullptr;
  const EFI_STATUS Status = ConfigRouting->ExportConfig(ConfigRouting, &Export);
  ReportLine Details;
  Log.Record("access/router ExportConfig succeeds", Status == EFI_SUCCESS && Export != nullptr,
             Details.Text("gave ").Status(Status));
  if (Export == nullptr) return;
  const CHAR8 *Checks[] = {"access/ExportConfig holds the OOB store, reading back as its variable",
                           "access/ExportConfig holds the STRING store, reading back as its variable",
                           "access/ExportConfig holds the PCI list, reading back as its variable"};
  for (UINTN Index = 0; Index < 3; ++Index) {
    UINT8 *Stored = ReadStored(*STORES[Index]);
    if (Stored != nullptr)
      CheckSection(Log, Checks[Index], Export, H.Of[Index], false, Stored, STORES[Index]->Size);
    PoolFree(Stored);
  }
  CheckSection(Log, "access/ExportConfig holds the PCI defaults as ALTCFG=0000 under the PCI header", Export,
               H.Of[2], true, &ADDONCARD_PCI_DEFAULTS, PCI.Size);
  PoolFree(Export);
}

// A driver that answered a null request with the OOB store alone: the export,
// which the router makes of that answer only, would lack the PCI list.
EFI_STATUS EFIAPI ExtractOobForNull(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Request,
                                    CHAR16 **Progress, CHAR16 **Results) {
  if (Request != nullptr) return ExtractConfig(This, Request, Progress, Results);
  CHAR16 *Header = BuildConfigHeader(OOB.Guid, OOB.Name, DriverHandle);
  const EFI_STATUS Status = ExtractConfig(This, Header, Progress, Results);
  PoolFree(Header);
  *Progress = nullptr;
  return Status;
}

void CheckExportFollowsTheNullAnswer(CheckLog &Log, const Headers &H) {
  static EFI_HII_CONFIG_ACCESS_PROTOCOL OobOnly = {ExtractOobForNull, RouteConfig, Callback};
  EFI_STATUS Status = BootServices->ReinstallProtocolInterface(
      DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &AddOnCardConfigAccess, &OobOnly);
  CHAR16 *Export = nullptr;
  if (!EFI_ERROR(Status)) Status = ConfigRouting->ExportConfig(ConfigRouting, &Export);
  const bool HasOob = Export != nullptr && Utf16Find(Export, H.Of[0]) != nullptr;
  const bool HasPci = Export != nullptr && Utf16Find(Export, H.Of[2]) != nullptr;
  PoolFree(Export);
  const EFI_STATUS Back = BootServices->ReinstallProtocolInterface(
      DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &OobOnly, &AddOnCardConfigAccess);
  ReportLine Details;
  Details.Text("export ").Status(Status).Text(", OOB ").Decimal(HasOob).Text(", PCI ").Decimal(HasPci);
  Log.Record(
      "access/the export is the driver's null answer: with the OOB store alone the PCI list is missing",
      Status == EFI_SUCCESS && HasOob && !HasPci && Back == EFI_SUCCESS, Details);
}

void CheckRouterWrites(CheckLog &Log, const Headers &H, const ADDONCARD_PCI_ID_LIST &Found) {
  // The router writes the variable itself; the driver's copy is then older.
  CHAR16 *Config = Join(H.Of[2], u"&OFFSET=28&WIDTH=1&VALUE=03");
  CHAR16 *Progress = nullptr;
  EFI_STATUS Status =
      Config == nullptr ? EFI_OUT_OF_RESOURCES : ConfigRouting->RouteConfig(ConfigRouting, Config, &Progress);
  ADDONCARD_PCI_ID_LIST Expected = Found;
  Expected.PairCount = 3;
  ReportLine Details;
  Log.Record("access/router RouteConfig of the pair count stores it in the PCI variable",
             Status == EFI_SUCCESS && StoredEquals(PCI, &Expected), Details.Text("gave ").Status(Status));
  PoolFree(Config);

  Config = Join(H.Of[2], u"&OFFSET=2&WIDTH=2&VALUE=1af4");
  const Answer R = Config == nullptr ? Answer{EFI_OUT_OF_RESOURCES, nullptr, 0} : DriverRoute(Config);
  Expected.VendorId[1] = 0x1AF4;
  ReportLine RouteDetails;
  Describe(RouteDetails, R);
  Log.Record("access/the driver's RouteConfig keeps what the router wrote before it, Progress at the end",
             R.Status == EFI_SUCCESS && R.ProgressAt == Utf16Length(Config) && StoredEquals(PCI, &Expected) &&
                 CompareBytes(&PciIdListCopy, &Expected, sizeof(Expected)) == 0,
             RouteDetails);
  PoolFree(Config);

  EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *Handler = KeywordHandler();
  CHAR16 *Set = Join(u"NAMESPACE=x-UEFI-QZV&PATH=010414007e0f87c35e59504fb37fc1d5b7cbeb3e7fff0400",
                     u"&KEYWORD=CSPACF14&VALUE=04");
  UINT32 Error = 0;
  Status = Handler == nullptr || Set == nullptr ? EFI_NOT_FOUND
                                                : Handler->SetData(Handler, Set, &Progress, &Error);
  PoolFree(Set);
  Config = Join(H.Of[2], u"&OFFSET=28&WIDTH=1");
  const Answer A = Config == nullptr ? Answer{EFI_OUT_OF_RESOURCES, nullptr, 0} : DriverExtract(Config);
  const CHAR16 *Value = A.Results == nullptr ? nullptr : A.Results + Utf16Length(Config);
  ReportLine SetDetails;
  SetDetails.Text("SetData gave ").Status(Status).Text("; ");
  Describe(SetDetails, A);
  Log.Record("access/keyword SetData of CSPACF14 reaches the variable; the driver's ExtractConfig reads it",
             Status == EFI_SUCCESS && StartsWith(Value, u"&VALUE=04&GUID="), SetDetails);
  PoolFree(A.Results);
  PoolFree(Config);
}

// The driver's own handlers, called directly: the Progress contract.
void CheckProgress(CheckLog &Log, const Headers &H, const ADDONCARD_PCI_ID_LIST &Before) {
  struct Case {
    const CHAR8 *Check;
    const CHAR16 *Head;  // null: the request is Rest alone
    const CHAR16 *Good;
    const CHAR16 *Bad;
    bool Route;
    EFI_STATUS Status;
    bool AtStart;
  };
  const Case Cases[] = {
      {"access/driver ExtractConfig of a foreign store: EFI_NOT_FOUND, Progress at the start", nullptr,
       u"GUID=7e0f87c35e59504fb37fc1d5b7cbeb3e&NAME="
       u"0054004c0058005f004100440044004f004e0043004100520044005f00500"
       u"0430049005f005600410052&PATH=00",
       u"", false, EFI_NOT_FOUND, true},
      {"access/driver ExtractConfig past the store: EFI_INVALID_PARAMETER, Progress at that element's &",
       H.Of[2], u"&OFFSET=0&WIDTH=2", u"&OFFSET=28&WIDTH=2", false, EFI_INVALID_PARAMETER, false},
      {"access/driver ExtractConfig naming two stores: EFI_INVALID_PARAMETER, Progress at the second "
       "header's &",
       H.Of[0], u"&OFFSET=0&WIDTH=1", u"&GUID=", false, EFI_INVALID_PARAMETER, false},
      {"access/driver RouteConfig with a value shorter than its width: refused at the element, nothing "
       "written",
       H.Of[2], u"", u"&OFFSET=0&WIDTH=2&VALUE=7", true, EFI_INVALID_PARAMETER, false},
      {"access/driver RouteConfig of a bare header: EFI_INVALID_PARAMETER, Progress at the start", H.Of[2],
       u"", u"", true, EFI_INVALID_PARAMETER, true},
  };
  for (const Case &C : Cases) {
    CHAR16 *Good = Join(C.Head == nullptr ? u"" : C.Head, C.Good);
    CHAR16 *Text = Good == nullptr ? nullptr : Join(Good, C.Bad);
    if (Text == nullptr) {
      PoolFree(Good);
      continue;
    }
    const Answer A = C.Route ? DriverRoute(Text) : DriverExtract(Text);
    const UINTN At = C.AtStart ? 0 : Utf16Length(Good);
    ReportLine Details;
    Describe(Details, A);
    Log.Record(
        C.Check,
        A.Status == C.Status && A.ProgressAt == At && A.Results == nullptr && StoredEquals(PCI, &Before),
        Details.Text(", expected at ").Decimal(At));
    PoolFree(A.Results);
    PoolFree(Text);
    PoolFree(Good);
  }

  // The firmware's ConfigToBlock copies WIDTH bytes from a shorter value's
  // digits and so writes bytes nobody gave: the reason the handler refuses it.
  UINT8 Block[2] = {0xA5, 0xA5};
  UINTN Size = sizeof(Block);
  CHAR16 *Progress = nullptr;
  CHAR16 *Short = Join(H.Of[2], u"&OFFSET=0&WIDTH=2&VALUE=7");
  const EFI_STATUS Status = Short == nullptr
                                ? EFI_OUT_OF_RESOURCES
                                : ConfigRouting->ConfigToBlock(ConfigRouting, Short, Block, &Size, &Progress);
  ReportLine Note;
  Note.Text("NOTE firmware ConfigToBlock of a 1-digit VALUE for WIDTH=2 gave ")
      .Status(Status)
      .Text(", bytes ");
  Note.Hex(Block[0], 2).Text(" ").Hex(Block[1], 2).Emit(true);
  PoolFree(Short);

  const Answer A = DriverExtract(nullptr);
  ReportLine Details;
  Details.Text("gave ").Status(A.Status);
  bool AllThree = A.Status == EFI_SUCCESS && A.ProgressAt == 0;
  for (CHAR16 *Header : H.Of)
    AllThree = AllThree && A.Results != nullptr && Utf16Find(A.Results, Header) != nullptr;
  Log.Record("access/driver ExtractConfig of a null request answers all three stores, Progress null",
             AllThree, Details);
  PoolFree(A.Results);

  EFI_BROWSER_ACTION_REQUEST Request = 0;
  const EFI_STATUS CallbackStatus = Callback(&AddOnCardConfigAccess, EFI_BROWSER_ACTION_CHANGED,
                                             PCI_PAIR_COUNT_QUESTION_ID, 0, nullptr, &Request);
  ReportLine CallbackDetails;
  Log.Record("access/Callback with no form set open gives EFI_NOT_FOUND", CallbackStatus == EFI_NOT_FOUND,
             CallbackDetails.Text("gave ").Status(CallbackStatus));
}

}  // namespace

void RunConfigAccessChecks(CheckLog &Log) {
  ADDONCARD_PCI_ID_LIST Found = {};
  UINTN Size = sizeof(Found);
  UINT32 Attributes = 0;
  const EFI_STATUS Read = RuntimeServices->GetVariable(TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID,
                                                       &Attributes, &Size, &Found);
  Headers H = {};
  for (UINTN Index = 0; Index < 3; ++Index)
    H.Of[Index] = BuildConfigHeader(STORES[Index]->Guid, STORES[Index]->Name, DriverHandle);
  ReportLine Details;
  const bool Ready = Read == EFI_SUCCESS && Size == sizeof(Found) && H.Of[0] && H.Of[1] && H.Of[2];
  Log.Record("access/the PCI list is stored and the three headers are built", Ready,
             Details.Text("GetVariable gave ").Status(Read).Text(", size ").Decimal(Size));

  if (Ready) {
    CheckKeywords(Log, false, Found);
    FillAddOnCardConfigAccess();
    const EFI_STATUS Status = BootServices->InstallProtocolInterface(
        &DriverHandle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, EFI_NATIVE_INTERFACE, &AddOnCardConfigAccess);
    ReportLine InstallDetails;
    Log.Record("access/the config access protocol installs on the driver handle", Status == EFI_SUCCESS,
               InstallDetails.Text("gave ").Status(Status));
    if (Status == EFI_SUCCESS) {
      CheckKeywords(Log, true, Found);
      CheckRouterReads(Log, H);
      CheckExport(Log, H);
      CheckExportFollowsTheNullAnswer(Log, H);
      CheckProgress(Log, H, Found);
      CheckRouterWrites(Log, H, Found);
    }
    const EFI_STATUS Restored = RuntimeServices->SetVariable(
        TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES, sizeof(Found), &Found);
    ReportLine RestoreDetails;
    Log.Record("access/the PCI list is put back as it was found", Restored == EFI_SUCCESS,
               RestoreDetails.Text("SetVariable gave ").Status(Restored));
  }
  for (CHAR16 *Header : H.Of) PoolFree(Header);
}

// The driver's configuration access held to what UEFI asks of every such
// protocol, in the firmware: called directly (null arguments, stores it does
// not own, several stores, elements unknown or out of range, Progress on every
// error, every browser action) and through the firmware's router with the
// driver's PATH (a store read, a name the driver does not own, an element past
// a store). The config-access group installed the protocol on the driver's
// handle; nothing here changes a variable, which each check confirms.
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

// A + B + C in a new pool string; null when the pool is exhausted.
CHAR16 *Join(const CHAR16 *A, const CHAR16 *B, const CHAR16 *C = u"") {
  const UINTN LengthA = Utf16Length(A), LengthB = Utf16Length(B), LengthC = Utf16Length(C);
  auto *Text = static_cast<CHAR16 *>(PoolAllocZero((LengthA + LengthB + LengthC + 1) * sizeof(CHAR16)));
  if (Text == nullptr) return nullptr;
  CopyBytes(Text, A, LengthA * sizeof(CHAR16));
  CopyBytes(Text + LengthA, B, LengthB * sizeof(CHAR16));
  CopyBytes(Text + LengthA + LengthB, C, LengthC * sizeof(CHAR16));
  return Text;
}

struct STORE {
  const CHAR8 *Label;
  const CHAR16 *Name;
  const EFI_GUID *Guid;
  UINTN Size;
  const CHAR16 *PastTheEnd;  // an element that starts at the store's end
};
constexpr STORE STORES[] = {
    {"OOB", TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, ADDONCARD_OOB_VARSTORE_SIZE, u"&OFFSET=400&WIDTH=1"},
    {"STRING", TLX_ADDONCARD_STRING_VAR, &ADDONCARD_FORMSET_GUID, ADDONCARD_STRING_VARSTORE_SIZE,
     u"&OFFSET=6400&WIDTH=1"},
    {"PCI", TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VARSTORE_SIZE, u"&OFFSET=29&WIDTH=1"},
};
constexpr UINTN STORE_COUNT = ArrayCount(STORES);

// The three variables as stored, to see that nothing was written.
struct STORED {
  UINT8 *Bytes[STORE_COUNT];
};

STORED ReadAll() {
  STORED All = {};
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    const STORE &S = STORES[Index];
    All.Bytes[Index] = static_cast<UINT8 *>(PoolAllocZero(S.Size));
    UINTN Size = S.Size;
    UINT32 Attributes = 0;
    if (All.Bytes[Index] != nullptr &&
        EFI_ERROR(RuntimeServices->GetVariable(S.Name, S.Guid, &Attributes, &Size, All.Bytes[Index])))
      ZeroBytes(All.Bytes[Index], S.Size);
  }
  return All;
}

void FreeAll(STORED &All) {
  for (UINT8 *&Bytes : All.Bytes) {
    PoolFree(Bytes);
    Bytes = nullptr;
  }
}

bool Unchanged(const STORED &Before) {
  STORED Now = ReadAll();
  bool Same = true;
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index)
    Same = Same && Before.Bytes[Index] != nullptr && Now.Bytes[Index] != nullptr &&
           CompareBytes(Before.Bytes[Index], Now.Bytes[Index], STORES[Index].Size) == 0;
  FreeAll(Now);
  return Same;
}

enum class Via { Driver, Router };

// One refused text: Good then Bad; the status wanted (0: any error) and where
// Progress must point (Bad: behind Good; otherwise the start).
struct REFUSAL {
  const CHAR8 *Check;
  const CHAR16 *Good;
  const CHAR16 *Bad;
  bool Route;
  Via Through;
  EFI_STATUS Status;
  bool AtBad;
};

void CheckRefusal(CheckLog &Log, const REFUSAL &R, const STORED &Before) {
  CHAR16 *Text = Join(R.Good, R.Bad);
  if (Text == nullptr) return;
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status;
  if (R.Through == Via::Router)
    Status = R.Route ? ConfigRouting->RouteConfig(ConfigRouting, Text, &Progress)
                     : ConfigRouting->ExtractConfig(ConfigRouting, Text, &Progress, &Results);
  else
    Status = R.Route ? RouteConfig(&AddOnCardConfigAccess, Text, &Progress)
                     : ExtractConfig(&AddOnCardConfigAccess, Text, &Progress, &Results);
  // Where the router's Progress points is the router's own business.
  const UINTN Want = R.AtBad ? Utf16Length(R.Good) : 0;
  const UINTN Got = Progress == nullptr ? 0xFFFF : static_cast<UINTN>(Progress - Text);
  const bool ProgressOk = R.Through == Via::Router || Got == Want;
  const bool StatusOk = R.Status == 0 ? EFI_ERROR(Status) : Status == R.Status;
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", progress at ").Decimal(Got).Text(", expected ").Decimal(Want);
  if (Results != nullptr) Details.Text(", an answer was left");
  Log.Record(R.Check, StatusOk && ProgressOk && Results == nullptr && Unchanged(Before), Details);
  PoolFree(Results);
  PoolFree(Text);
}

// Each store's header under the driver's path, and what follows from it.
void CheckStores(CheckLog &Log, CHAR16 *const (&Headers)[STORE_COUNT], const STORED &Before) {
  CHAR16 *Foreign = BuildConfigHeader(&ADDONCARD_FORMSET_GUID, u"TLX_ADDONCARD", DriverHandle);
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    const STORE &S = STORES[Index];
    CHAR16 *First = Join(Headers[Index], u"&OFFSET=0&WIDTH=1");
    CHAR16 *FirstValue = Join(First, u"&VALUE=00");
    CHAR16 *Second = Join(u"&", Headers[(Index + 1) % STORE_COUNT], u"&OFFSET=0&WIDTH=1");
    CHAR16 *Past = Join(S.PastTheEnd, u"&VALUE=00");
    if (First != nullptr && FirstValue != nullptr && Second != nullptr && Past != nullptr && Foreign != nullptr) {
      const REFUSAL Rows[] = {
          {"conformance/driver ExtractConfig naming two stores: EFI_INVALID_PARAMETER at the second header's &",
           First, Second, false, Via::Driver, EFI_INVALID_PARAMETER, true},
          {"conformance/driver ExtractConfig of an element at the store's end: EFI_INVALID_PARAMETER at its &",
           First, S.PastTheEnd, false, Via::Driver, EFI_INVALID_PARAMETER, true},
          {"conformance/driver ExtractConfig of an unknown element: EFI_INVALID_PARAMETER at its &", First,
           u"&LENGTH=1", false, Via::Driver, EFI_INVALID_PARAMETER, true},
          {"conformance/driver RouteConfig of an element at the store's end: EFI_INVALID_PARAMETER at its &",
           FirstValue, Past, true, Via::Driver, EFI_INVALID_PARAMETER, true},
          {"conformance/driver RouteConfig of a bare header: EFI_INVALID_PARAMETER at the start", Headers[Index],
           u"", true, Via::Driver, EFI_INVALID_PARAMETER, false},
          {"conformance/router RouteConfig of an element past the store: an error, nothing written", FirstValue,
           Past, true, Via::Router, 0, false},
      };
      for (const REFUSAL &R : Rows) CheckRefusal(Log, R, Before);

      // A read through the router with the driver's PATH is answered under that header.
      CHAR16 *Progress = nullptr, *Results = nullptr;
      const EFI_STATUS Status = ConfigRouting->ExtractConfig(ConfigRouting, First, &Progress, &Results);
      ReportLine Details;
      Details.Text(S.Label).Text(": gave ").Status(Status).Text(" ").Quoted(Results, 160);
      Log.Record("conformance/router ExtractConfig of one element with the driver's PATH: answered under it",
                 Status == EFI_SUCCESS && Results != nullptr &&
                     Utf16CompareN(Results, First, Utf16Length(First)) == 0,
                 Details);
      PoolFree(Results);
    }
    PoolFree(First);
    PoolFree(FirstValue);
    PoolFree(Second);
    PoolFree(Past);
  }

  if (Foreign != nullptr) {
    CHAR16 *ForeignRequest = Join(Foreign, u"&OFFSET=0&WIDTH=1");
    CHAR16 *ForeignConfig = Join(Foreign, u"&OFFSET=0&WIDTH=1&VALUE=00");
    if (ForeignRequest != nullptr && ForeignConfig != nullptr) {
      const REFUSAL Rows[] = {
          {"conformance/driver ExtractConfig of a store it does not own: EFI_NOT_FOUND at the start",
           ForeignRequest, u"", false, Via::Driver, EFI_NOT_FOUND, false},
          {"conformance/driver RouteConfig of a store it does not own: EFI_NOT_FOUND at the start", ForeignConfig,
           u"", true, Via::Driver, EFI_NOT_FOUND, false},
          {"conformance/router ExtractConfig of a name the driver does not own, with its PATH: an error, no "
           "answer",
           ForeignRequest, u"", false, Via::Router, 0, false},
      };
      for (const REFUSAL &R : Rows) CheckRefusal(Log, R, Before);
    }
    PoolFree(ForeignRequest);
    PoolFree(ForeignConfig);
  }
  PoolFree(Foreign);
}

void CheckNullArguments(CheckLog &Log, const CHAR16 *Header, const STORED &Before) {
  CHAR16 *Progress = nullptr, *Results = nullptr;
  const EFI_STATUS Statuses[] = {
      ExtractConfig(&AddOnCardConfigAccess, Header, nullptr, &Results),
      ExtractConfig(&AddOnCardConfigAccess, Header, &Progress, nullptr),
      ExtractConfig(&AddOnCardConfigAccess, nullptr, nullptr, nullptr),
      RouteConfig(&AddOnCardConfigAccess, nullptr, &Progress),
      RouteConfig(&AddOnCardConfigAccess, Header, nullptr),
  };
  bool Ok = Results == nullptr && Progress == nullptr && Unchanged(Before);
  ReportLine Details;
  for (EFI_STATUS Status : Statuses) {
    Ok = Ok && Status == EFI_INVALID_PARAMETER;
    Details.Status(Status).Text(" ");
  }
  Log.Record("conformance/every null Progress, Results or text: EFI_INVALID_PARAMETER, nothing written", Ok,
             Details);
}

// No form set is open: an action that refreshes the browser finds no edit
// buffer; a default action is left to the form's own defaults. Value and
// ActionRequest are never touched.
void CheckCallbackActions(CheckLog &Log, const STORED &Before) {
  const EFI_BROWSER_ACTION Actions[] = {
      EFI_BROWSER_ACTION_CHANGING,         EFI_BROWSER_ACTION_CHANGED,
      EFI_BROWSER_ACTION_RETRIEVE,         EFI_BROWSER_ACTION_FORM_OPEN,
      EFI_BROWSER_ACTION_FORM_CLOSE,       EFI_BROWSER_ACTION_SUBMITTED,
      EFI_BROWSER_ACTION_DEFAULT_STANDARD, EFI_BROWSER_ACTION_DEFAULT_MANUFACTURING,
      EFI_BROWSER_ACTION_DEFAULT_SAFE,     EFI_BROWSER_ACTION_DEFAULT_PLATFORM,
      EFI_BROWSER_ACTION_DEFAULT_HARDWARE, EFI_BROWSER_ACTION_DEFAULT_FIRMWARE};
  bool Ok = true;
  ReportLine Details;
  for (EFI_BROWSER_ACTION Action : Actions)
    for (UINTN Variant = 0; Variant < 4; ++Variant) {
      UINT64 Value[2] = {0xC3C3C3C3C3C3C3C3ULL, 0xC3C3C3C3C3C3C3C3ULL};
      EFI_BROWSER_ACTION_REQUEST Request = 0x77;
      const EFI_STATUS Status =
          Callback(&AddOnCardConfigAccess, Action, PCI_PAIR_COUNT_QUESTION_ID, 0,
                   (Variant & 1) != 0 ? reinterpret_cast<EFI_IFR_TYPE_VALUE *>(Value) : nullptr,
                   (Variant & 2) != 0 ? &Request : nullptr);
      const EFI_STATUS Wanted = IsDefaultBrowserAction(Action) ? EFI_UNSUPPORTED : EFI_NOT_FOUND;
      if (Status != Wanted || Request != 0x77 || Value[0] != 0xC3C3C3C3C3C3C3C3ULL ||
          Value[1] != 0xC3C3C3C3C3C3C3C3ULL) {
        Ok = false;
        Details.Text("action ").Hex(Action).Text(" variant ").Decimal(Variant).Text(" gave ").Status(Status).Text("; ");
      }
    }
  Log.Record("conformance/Callback of every browser action: default actions unsupported, the rest find no "
             "open form set; Value and ActionRequest untouched",
             Ok && Unchanged(Before), Details);
}

}  // namespace

void RunConfigAccessConformanceChecks(CheckLog &Log) {
  STORED Before = ReadAll();
  CHAR16 *Headers[STORE_COUNT] = {};
  bool Ready = ConfigRouting != nullptr && DriverHandle != nullptr;
  for (UINTN Index = 0; Index < STORE_COUNT; ++Index) {
    Headers[Index] = BuildConfigHeader(STORES[Index].Guid, STORES[Index].Name, DriverHandle);
    Ready = Ready && Headers[Index] != nullptr && Before.Bytes[Index] != nullptr;
  }
  ReportLine Details;
  Log.Record("conformance/the router, the driver's handle and the three stores are there", Ready, Details);
  if (Ready) {
    CheckNullArguments(Log, Headers[2], Before);
    CheckStores(Log, Headers, Before);
    CheckCallbackActions(Log, Before);
  }
  for (CHAR16 *Header : Headers) PoolFree(Header);
  FreeAll(Before);
}

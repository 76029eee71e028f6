#include "hii/registration.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/config_string.h"
#include "support/bytes.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"
#include "uefi/guids.h"

constinit CHAR8 *CachedLanguageList = nullptr;

namespace {

// ---- package list ---------------------------------------------------------------

constexpr UINTN PACKAGE_ARRAY_LENGTH_BYTES = 4;
constexpr UINTN END_PACKAGE_BYTES = 4;
constexpr UINTN PACKAGE_LIST_FRAME_BYTES = sizeof(EFI_HII_PACKAGE_LIST_HEADER) + END_PACKAGE_BYTES;
constexpr UINT64 MAX_PACKAGE_LIST_BYTES = 0xFFFFFFFFULL;  // PackageLength is a UINT32

UINT32 PackageArrayLength(const UINT8 *Array) { return ReadLe32(Array); }

// Sum of the package bytes of every array (each array's length less its own
// length field). False when an array is shorter than its length field or the
// list would not fit a UINT32 length.
bool SumPackageBytes(__builtin_va_list Args, UINT64 *Sum) {
  *Sum = 0;
  for (const UINT8 *Array = __builtin_va_arg(Args, const UINT8 *); Array != nullptr;
       Array = __builtin_va_arg(Args, const UINT8 *)) {
    const UINT32 Length = PackageArrayLength(Array);
    if (Length < PACKAGE_ARRAY_LENGTH_BYTES) return false;
    *Sum += Length - PACKAGE_ARRAY_LENGTH_BYTES;
    if (*Sum + PACKAGE_LIST_FRAME_BYTES > MAX_PACKAGE_LIST_BYTES) return false;
  }
  return true;
}

// Header, every array's packages in order, end package (04 00 00 DF).
void FillPackageList(UINT8 *List, UINT32 ListLength, const EFI_GUID *Guid, __builtin_va_list Args) {
  EFI_HII_PACKAGE_LIST_HEADER Header = {*Guid, ListLength};
  CopyBytes(List, &Header, sizeof(Header));
  UINTN Offset = sizeof(Header);
  for (const UINT8 *Array = __builtin_va_arg(Args, const UINT8 *); Array != nullptr;
       Array = __builtin_va_arg(Args, const UINT8 *)) {
    const UINTN Bytes = PackageArrayLength(Array) - PACKAGE_ARRAY_LENGTH_BYTES;
    CopyBytes(List + Offset, Array + PACKAGE_ARRAY_LENGTH_BYTES, Bytes);
    Offset += Bytes;
  }
  const UINT8 EndPackage[END_PACKAGE_BYTES] = {END_PACKAGE_BYTES, 0, 0, EFI_HII_PACKAGE_END};
  CopyBytes(List + Offset, EndPackage, sizeof(EndPackage));
}

// ---- strings in every language ----------------------------------------------------

// The language list of the driver's own package list, fetched once.
const CHAR8 *DriverLanguageList() {
  if (CachedLanguageList == nullptr) CachedLanguageList = GetPackageLanguages(DriverHiiHandle);
  return CachedLanguageList;
}

// ---- browser --------------------------------------------------------------------

// The largest results text taken from the browser, in bytes; far above the
// largest variable's text (25600 bytes are some 51300 characters).
constexpr UINTN MAX_BROWSER_RESULTS_BYTES = MAX_STRING_CHARS * sizeof(CHAR16);
constexpr UINTN PLACEHOLDER_HDR_CHARS = ArrayCount(PLACEHOLDER_CONFIG_HDR) - 1;

// The browser finds an open storage by vendor GUID and name together, so each
// variable is named to it with its own vendor GUID.
const EFI_GUID *BrowserVariableGuid(const CHAR16 *VariableName) {
  if (Utf16CompareN(VariableName, TLX_ADDONCARD_PCI_VAR, ArrayCount(TLX_ADDONCARD_PCI_VAR)) == 0)
    return &ADDONCARD_PCI_VAR_GUID;
  return &ADDONCARD_FORMSET_GUID;
}

CHAR16 *RetrieveBrowserResults(EFI_FORM_BROWSER2_PROTOCOL *Browser, const EFI_GUID *Guid,
                               const CHAR16 *VariableName) {
  CHAR16 Scratch = 0;
  UINTN Size = 0;
  EFI_STATUS Status = Browser->BrowserCallback(Browser, &Size, &Scratch, TRUE, Guid, VariableName);
  if (!EFI_ERROR(Status)) return static_cast<CHAR16 *>(PoolAllocZero(sizeof(CHAR16)));
  if (Status != EFI_BUFFER_TOO_SMALL || Size > MAX_BROWSER_RESULTS_BYTES) return nullptr;
  // Whole code units plus one spare, zeroed: the text stays terminated even when
  // the browser fills every reported byte.
  const UINTN Reported = Size;
  auto *Results = static_cast<CHAR16 *>(PoolAllocZero((Reported + 1) / 2 * 2 + sizeof(CHAR16)));
  if (Results == nullptr) return nullptr;
  Status = Browser->BrowserCallback(Browser, &Size, Results, TRUE, Guid, VariableName);
  if (EFI_ERROR(Status)) {
    PoolFree(Results);
    return nullptr;
  }
  return Results;
}

// The router writes the request's header back in front of the body; anything
// else is not an answer to this request. Letters are compared without regard to
// case because the router may change the case of hex digits.
bool StartsWithPlaceholderHeader(const CHAR16 *Config) {
  for (UINTN Index = 0; Index < PLACEHOLDER_HDR_CHARS; ++Index) {
    CHAR16 Left = Config[Index];
    CHAR16 Right = PLACEHOLDER_CONFIG_HDR[Index];
    if (Left >= u'a' && Left <= u'z') Left = static_cast<CHAR16>(Left - u'a' + u'A');
    if (Right >= u'a' && Right <= u'z') Right = static_cast<CHAR16>(Right - u'a' + u'A');
    if (Left != Right) return false;  // also ends at Config's NUL
  }
  return Config[PLACEHOLDER_HDR_CHARS] == u'&';
}

// True when a browser holds an edit buffer of the variable: asked for it, it
// answers with its size or with nothing to give.
bool BrowserHasVariable(const CHAR16 *VariableName) {
  EFI_FORM_BROWSER2_PROTOCOL *Browser = VariableName == nullptr ? nullptr : GetFormBrowser2();
  if (Browser == nullptr) return false;
  CHAR16 Scratch = 0;
  UINTN Size = 0;
  const EFI_STATUS Status = Browser->BrowserCallback(Browser, &Size, &Scratch, TRUE,
                                                     BrowserVariableGuid(VariableName), VariableName);
  return Status == EFI_BUFFER_TOO_SMALL || Status == EFI_SUCCESS;
}

}  // namespace

EFI_HII_HANDLE RegisterPackageList(const EFI_GUID *PackageListGuid, EFI_HANDLE DriverHandle, ...) {
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (PackageListGuid == nullptr || Database == nullptr) return nullptr;
  __builtin_va_list Args;
  __builtin_va_start(Args, DriverHandle);
  UINT64 Sum = 0;
  const bool WellFormed = SumPackageBytes(Args, &Sum);
  __builtin_va_end(Args);
  if (!WellFormed || Sum == 0) return nullptr;

  const auto ListLength = static_cast<UINT32>(Sum + PACKAGE_LIST_FRAME_BYTES);
  auto *List = static_cast<UINT8 *>(PoolAllocZero(ListLength));
  if (List == nullptr) return nullptr;
  __builtin_va_start(Args, DriverHandle);
  FillPackageList(List, ListLength, PackageListGuid, Args);
  __builtin_va_end(Args);

  EFI_HII_HANDLE Handle = nullptr;
  const EFI_STATUS Status = Database->NewPackageList(
      Database, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(List), DriverHandle, &Handle);
  PoolFree(List);  // the database keeps its own copy
  return EFI_ERROR(Status) ? nullptr : Handle;
}

EFI_STRING_ID SetStringAllLanguages(const CHAR16 *Text) {
  if (Text == nullptr || GetHiiString() == nullptr || DriverLanguageList() == nullptr) return 0;
  // Every language, the keyword namespace included; the walk puts each ";" back,
  // on the failure path too, so the cached list stays whole for later calls.
  EFI_STRING_ID StringId = 0;
  const EFI_STATUS Status =
      WriteStringInLanguageList(DriverHiiHandle, &StringId, CachedLanguageList, Text, false);
  return EFI_ERROR(Status) ? 0 : StringId;
}

CHAR16 *BrowserDataExchange(const CHAR16 *VariableName, const CHAR16 *SetResults) {
  if (VariableName == nullptr) return nullptr;
  EFI_FORM_BROWSER2_PROTOCOL *Browser = GetFormBrowser2();
  if (Browser == nullptr) return nullptr;
  const EFI_GUID *Guid = BrowserVariableGuid(VariableName);
  if (SetResults == nullptr) return RetrieveBrowserResults(Browser, Guid, VariableName);

  // The size of the text handed over, in bytes with its NUL, as the browser
  // interface defines it.
  UINTN Size = (Utf16Length(SetResults) + 1) * sizeof(CHAR16);
  auto *Results = const_cast<CHAR16 *>(SetResults);
  const EFI_STATUS Status = Browser->BrowserCallback(Browser, &Size, Results, FALSE, Guid, VariableName);
  return EFI_ERROR(Status) ? nullptr : Results;
}

BOOLEAN ReadBrowserData(const CHAR16 *VariableName, UINTN BlockSize, UINT8 *Block) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Block == nullptr || Router == nullptr) return FALSE;
  CHAR16 *Results = BrowserDataExchange(VariableName, nullptr);
  if (Results == nullptr) return FALSE;
  // An empty text means the browser holds nothing for the variable: the block
  // would be left as it was, so this is no successful read.
  const UINTN ResultsChars = Utf16Length(Results);
  if (ResultsChars == 0) {
    PoolFree(Results);
    return FALSE;
  }

  // "<placeholder header>&<results>": the router wants a whole configuration.
  const UINTN ConfigChars = PLACEHOLDER_HDR_CHARS + 1 + ResultsChars + 1;
  auto *Config = static_cast<CHAR16 *>(PoolAllocZero(ConfigChars * sizeof(CHAR16)));
  if (Config == nullptr) {
    PoolFree(Results);
    return FALSE;
  }
  CopyBytes(Config, PLACEHOLDER_CONFIG_HDR, PLACEHOLDER_HDR_CHARS * sizeof(CHAR16));
  Config[PLACEHOLDER_HDR_CHARS] = u'&';
  CopyBytes(Config + PLACEHOLDER_HDR_CHARS + 1, Results, ResultsChars * sizeof(CHAR16));
  PoolFree(Results);

  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Router->ConfigToBlock(Router, Config, Block, &BlockSize, &Progress);
  PoolFree(Config);
  return EFI_ERROR(Status) ? FALSE : TRUE;
}

BOOLEAN WriteBrowserData(const CHAR16 *VariableName, UINTN BlockSize, const UINT8 *Block) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Block == nullptr || Router == nullptr) return FALSE;
  // A browser without an edit buffer for the variable takes nothing: asked
  // first, the block (25600 bytes for the STRING variable) is not converted
  // into text for nobody.
  if (!BrowserHasVariable(VariableName)) return FALSE;
  // Header, "&OFFSET=0&WIDTH=" (16), sixteen digits, NUL.
  const UINTN RequestBytes = (PLACEHOLDER_HDR_CHARS + 33) * sizeof(CHAR16);
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(RequestBytes));
  if (Request == nullptr) return FALSE;
  FormatUtf16(Request, RequestBytes, u"%s&OFFSET=0&WIDTH=%016LX", PLACEHOLDER_CONFIG_HDR,
              static_cast<UINT64>(BlockSize));

  CHAR16 *Config = nullptr;
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Router->BlockToConfig(Router, Request, Block, BlockSize, &Config, &Progress);
  PoolFree(Request);
  if (EFI_ERROR(Status) || Config == nullptr) return FALSE;
  // Only an answer that repeats the header has a body behind it; a shorter or
  // different one is not stepped into.
  BOOLEAN Written = FALSE;
  if (StartsWithPlaceholderHeader(Config))
    Written = BrowserDataExchange(VariableName, Config + PLACEHOLDER_HDR_CHARS + 1) != nullptr ? TRUE : FALSE;
  PoolFree(Config);
  return Written;
}

void ResetRegistrationState() { CachedLanguageList = nullptr; }

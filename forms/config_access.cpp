#include "forms/config_access.h"

#include "driver/globals.h"
#include "forms/identities.h"
#include "hii/config_string.h"
#include "hii/registration.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"

namespace {

// ---- the three stores ------------------------------------------------------------

EFI_STATUS AppendPciStoreDefaults(const CHAR16 *Request, CHAR16 **Results) {
  return AppendPciDefaults(Request, &ADDONCARD_PCI_DEFAULTS, Results);
}

// One of the driver's variable stores as a configuration string names it (GUID
// and NAME), with the copy the handlers convert and the variable behind it.
struct VARIABLE_STORE {
  const CHAR16 *Name;
  const EFI_GUID *Guid;
  void *Copy;
  UINTN Size;
  UINT32 Attributes;
  EFI_STATUS (*Load)(void *Record);
  BOOLEAN (*Publish)(const void *Record);
  // Appends the store's default configuration to an answer; null when the
  // store answers none.
  EFI_STATUS (*AppendDefaults)(const CHAR16 *Request, CHAR16 **Results);
};

// In the order a null request answers them.
constexpr VARIABLE_STORE VARIABLE_STORES[] = {
    {TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, &OobVarCopy, sizeof(OobVarCopy),
     ADDONCARD_VOLATILE_VAR_ATTRIBUTES,
     [](void *Record) { return LoadOobVar(static_cast<ADDONCARD_OOB_SLOTS *>(Record)); },
     [](const void *Record) { return PublishOobVar(static_cast<const ADDONCARD_OOB_SLOTS *>(Record)); },
     nullptr},
    {TLX_ADDONCARD_STRING_VAR, &ADDONCARD_FORMSET_GUID, &StringVarCopy, sizeof(StringVarCopy),
     ADDONCARD_VOLATILE_VAR_ATTRIBUTES,
     [](void *Record) { return LoadStringVar(static_cast<ADDONCARD_STRING_SLOTS *>(Record)); },
     [](const void *Record) { return PublishStringVar(static_cast<const ADDONCARD_STRING_SLOTS *>(Record)); },
     nullptr},
    {TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, &PciIdListCopy, sizeof(PciIdListCopy),
     ADDONCARD_PCI_VAR_ATTRIBUTES,
     [](void *Record) { return LoadPciVar(static_cast<ADDONCARD_PCI_ID_LIST *>(Record)); },
     [](const void *Record) { return PublishPciVar(static_cast<const ADDONCARD_PCI_ID_LIST *>(Record)); },
     AppendPciStoreDefaults},
};

// Room for the header of any of the stores without a path: "GUID=", 32 digits,
// "&NAME=", four digits per name character, "&PATH=", NUL.
constexpr UINTN STORE_HEADER_CHARS = 50 + 4 * (ArrayCount(TLX_ADDONCARD_STRING_VAR) - 1);
static_assert(ArrayCount(TLX_ADDONCARD_OOB_VAR) <= ArrayCount(TLX_ADDONCARD_STRING_VAR) &&
              ArrayCount(TLX_ADDONCARD_PCI_VAR) <= ArrayCount(TLX_ADDONCARD_STRING_VAR));

// True when the first header of Text names Store: its GUID and NAME fields are
// the store's, as exact text with lowercase digits; PATH is not compared. The
// store's header is written on the stack, so an exhausted pool cannot make a
// request for a store look like a request for none.
bool NamesStore(const CHAR16 *Text, const VARIABLE_STORE &Store) {
  CHAR16 Header[STORE_HEADER_CHARS];
  if (EFI_ERROR(WriteConfigHeader(Header, STORE_HEADER_CHARS, Store.Guid, Store.Name, ByteView())))
    return false;
  return CompareHeaderField(Text, Header, u"GUID=", u"&NAME=") &&
         CompareHeaderField(Text, Header, u"&NAME=", u"&PATH=");
}

const VARIABLE_STORE *StoreNamedBy(const CHAR16 *Text) {
  for (const VARIABLE_STORE &Store : VARIABLE_STORES)
    if (NamesStore(Text, Store)) return &Store;
  return nullptr;
}

// ---- syntax ------------------------------------------------------------------------

constexpr UINT64 HexDigitValue(CHAR16 Digit) {
  if (Digit >= u'0' && Digit <= u'9') return Digit - u'0';
  if (Digit >= u'a' && Digit <= u'f') return Digit - u'a' + 10;
  return Digit - u'A' + 10;
}

constexpr bool EndsElement(CHAR16 Character) { return Character == 0 || Character == u'&'; }

// The hex digits of the element "Key<digits>" at *Cursor: their count, 0 when
// the key is not there or the digits do not run up to the next "&" or the end.
UINTN ElementDigits(const CHAR16 *Cursor, const CHAR16 *Key, const CHAR16 **Digits) {
  const UINTN KeyChars = Utf16Length(Key);
  if (Utf16CompareN(Cursor, Key, KeyChars) != 0) return 0;
  *Digits = Cursor + KeyChars;
  const UINTN Count = CountHexDigits(*Digits, MAX_STRING_CHARS);
  return EndsElement((*Digits)[Count]) ? Count : 0;
}

// A header field: its key, and its digit count as a multiple (and, if not 0,
// an exact count).
struct HEADER_FIELD {
  const CHAR16 *Key;
  UINTN Multiple;
  UINTN Exact;
};
constexpr HEADER_FIELD HEADER_FIELDS[] = {
    {u"GUID=", 2, 2 * sizeof(EFI_GUID)}, {u"&NAME=", 4, 0}, {u"&PATH=", 2, 0}};

// Where the body of Text begins: the "&" or NUL right after a well-formed header
// at its very start ("GUID=" 32 digits, "&NAME=" digits in fours, "&PATH="
// digits in pairs); null when Text does not begin with one.
const CHAR16 *BodyOf(const CHAR16 *Text) {
  const CHAR16 *Cursor = Text;
  for (const HEADER_FIELD &Field : HEADER_FIELDS) {
    const UINTN KeyChars = Utf16Length(Field.Key);
    if (Utf16CompareN(Cursor, Field.Key, KeyChars) != 0) return nullptr;
    const CHAR16 *Digits = Cursor + KeyChars;
    const UINTN Count = CountHexDigits(Digits, MAX_STRING_CHARS);
    if (!EndsElement(Digits[Count]) || Count % Field.Multiple != 0 ||
        (Field.Exact != 0 && Count != Field.Exact))
      return nullptr;
    Cursor = Digits + Count;
  }
  return Cursor;
}

// Reads "Key<hex number>" at *Cursor into *Value; false when the key is missing,
// the number is empty, runs into something other than "&" or the end, or does
// not fit 64 bits.
bool ReadNumber(const CHAR16 **Cursor, const CHAR16 *Key, UINT64 *Value) {
  const CHAR16 *Digits = nullptr;
  const UINTN Count = ElementDigits(*Cursor, Key, &Digits);
  if (Count == 0) return false;
  UINT64 Number = 0;
  for (UINTN Index = 0; Index < Count; ++Index) {
    if ((Number >> 60) != 0) return false;
    Number = Number << 4 | HexDigitValue(Digits[Index]);
  }
  *Value = Number;
  *Cursor = Digits + Count;
  return true;
}

// Skips "&VALUE=<digits>" at *Cursor when its digits make exactly Width bytes
// (2 x Width digits, or one fewer with the leading zero left out). The
// platform's ConfigToBlock copies Width bytes out of what it decoded: from a
// shorter value it would copy bytes it never wrote, and a longer one does not
// fit the element.
bool SkipValue(const CHAR16 **Cursor, UINT64 Width) {
  const CHAR16 *Digits = nullptr;
  const UINTN Count = ElementDigits(*Cursor, u"&VALUE=", &Digits);
  if (Count == 0 || (Count + 1) / 2 != Width) return false;
  *Cursor = Digits + Count;
  return true;
}

// The element names at least one byte, and only bytes of the store.
constexpr bool ElementFitsStore(UINT64 Offset, UINT64 Width, UINTN StoreSize) {
  return Width != 0 && Width <= StoreSize && Offset <= StoreSize - Width;
}

// What the walk over a body found.
struct BODY_CHECK {
  EFI_STATUS Status;  // EFI_SUCCESS or EFI_INVALID_PARAMETER
  const CHAR16 *At;   // the terminator, or the "&" in front of the failing element
  UINTN Elements;
};

// Checks every element of Body (right after the header) before anything is read
// or written: "&OFFSET=<hex>&WIDTH=<hex>", followed by "&VALUE=<hex>" in a
// configuration, each inside a store of StoreSize bytes. Anything else, a
// second header included, is illegal syntax.
BODY_CHECK CheckBody(const CHAR16 *Body, UINTN StoreSize, bool WithValues) {
  UINTN Elements = 0;
  const CHAR16 *Cursor = Body;
  while (*Cursor != 0) {
    const CHAR16 *Element = Cursor;
    UINT64 Offset = 0;
    UINT64 Width = 0;
    if (!ReadNumber(&Cursor, u"&OFFSET=", &Offset) || !ReadNumber(&Cursor, u"&WIDTH=", &Width) ||
        !ElementFitsStore(Offset, Width, StoreSize) || (WithValues && !SkipValue(&Cursor, Width)))
      return {EFI_INVALID_PARAMETER, Element, Elements};
    ++Elements;
  }
  return {EFI_SUCCESS, Cursor, Elements};
}

// ---- answers -----------------------------------------------------------------------

// "&OFFSET=0&WIDTH=" (16), sixteen digits, NUL.
constexpr UINTN WHOLE_STORE_SUFFIX_CHARS = 33;

// "<header>&OFFSET=0&WIDTH=<16 uppercase digits>": the request for every byte
// of a store of Size bytes. Null when the pool is exhausted.
CHAR16 *WholeStoreRequest(const CHAR16 *Header, UINTN HeaderChars, UINTN Size) {
  const UINTN Chars = HeaderChars + WHOLE_STORE_SUFFIX_CHARS;
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(Chars * sizeof(CHAR16)));
  if (Request == nullptr) return nullptr;
  CopyBytes(Request, Header, HeaderChars * sizeof(CHAR16));
  FormatUtf16(Request + HeaderChars, WHOLE_STORE_SUFFIX_CHARS * sizeof(CHAR16), u"&OFFSET=0&WIDTH=%016LX",
              static_cast<UINT64>(Size));
  return Request;
}

// The store's variable, reloaded into its copy, for the elements of Request (a
// header and at least one element), followed by its defaults if it has any.
EFI_STATUS ExtractStore(const VARIABLE_STORE &Store, const CHAR16 *Request, CHAR16 **Results) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Router == nullptr) return EFI_NOT_READY;
  // A failed load leaves zeros or the defaults in the copy; they are answered.
  Store.Load(Store.Copy);
  CHAR16 *Config = nullptr;
  CHAR16 *RouterProgress = nullptr;
  const EFI_STATUS Status = Router->BlockToConfig(Router, Request, static_cast<const UINT8 *>(Store.Copy),
                                                  Store.Size, &Config, &RouterProgress);
  if (EFI_ERROR(Status)) return Status;
  if (Config == nullptr) return EFI_DEVICE_ERROR;
  // Without its defaults the current configuration is still a whole answer.
  if (Store.AppendDefaults != nullptr) Store.AppendDefaults(Request, &Config);
  *Results = Config;
  return EFI_SUCCESS;
}

// Every byte of the store, under the header of the driver's own handle.
EFI_STATUS ExtractWholeStore(const VARIABLE_STORE &Store, CHAR16 **Results) {
  // Start-up installs the device path and this protocol on the handle together,
  // so a header that cannot be built means the pool is exhausted.
  CHAR16 *Header = BuildConfigHeader(Store.Guid, Store.Name, DriverHandle);
  if (Header == nullptr) return EFI_OUT_OF_RESOURCES;
  CHAR16 *Request = WholeStoreRequest(Header, Utf16Length(Header), Store.Size);
  PoolFree(Header);
  if (Request == nullptr) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Status = ExtractStore(Store, Request, Results);
  PoolFree(Request);
  return Status;
}

// "<First>&<Second>" in a new pool string; both inputs are released. Null when
// the pool is exhausted.
CHAR16 *JoinConfigurations(CHAR16 *First, CHAR16 *Second) {
  const UINTN FirstChars = Utf16Length(First);
  const UINTN SecondChars = Utf16Length(Second);
  auto *Joined = static_cast<CHAR16 *>(PoolAllocZero((FirstChars + 1 + SecondChars + 1) * sizeof(CHAR16)));
  if (Joined != nullptr) {
    CopyBytes(Joined, First, FirstChars * sizeof(CHAR16));
    Joined[FirstChars] = u'&';
    CopyBytes(Joined + FirstChars + 1, Second, SecondChars * sizeof(CHAR16));
  }
  PoolFree(First);
  PoolFree(Second);
  return Joined;
}

// A null request asks for everything the driver keeps: each store in turn.
EFI_STATUS ExtractAllStores(CHAR16 **Results) {
  CHAR16 *All = nullptr;
  for (const VARIABLE_STORE &Store : VARIABLE_STORES) {
    CHAR16 *One = nullptr;
    const EFI_STATUS Status = ExtractWholeStore(Store, &One);
    if (EFI_ERROR(Status)) {
      PoolFree(All);
      return Status;
    }
    All = All == nullptr ? One : JoinConfigurations(All, One);
    if (All == nullptr) return EFI_OUT_OF_RESOURCES;
  }
  *Results = All;
  return EFI_SUCCESS;
}

// ---- routing ---------------------------------------------------------------------

// Lays Configuration over the variable as stored now (not over the copy, which
// may be older than a write the router made to the variable itself), writes the
// result and only then makes it the copy and hands it to the browser.
EFI_STATUS RouteToStore(const VARIABLE_STORE &Store, const CHAR16 *Configuration) {
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Router == nullptr) return EFI_NOT_READY;
  auto *Block = static_cast<UINT8 *>(PoolAllocZero(Store.Size));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  EFI_STATUS Status = Store.Load(Block);
  if (!EFI_ERROR(Status)) {
    UINTN BlockSize = Store.Size;
    CHAR16 *RouterProgress = nullptr;
    Status = Router->ConfigToBlock(Router, Configuration, Block, &BlockSize, &RouterProgress);
  }
  if (!EFI_ERROR(Status))
    Status = RuntimeServices->SetVariable(Store.Name, Store.Guid, Store.Attributes, Store.Size, Block);
  if (!EFI_ERROR(Status)) Store.Publish(Block);
  PoolFree(Block);
  return Status;
}

}  // namespace

EFI_STATUS EFIAPI ExtractConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, const CHAR16 *Request,
                                CHAR16 **Progress, CHAR16 **Results) {
  if (Progress == nullptr || Results == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(Request);
  *Results = nullptr;
  if (Request == nullptr) return ExtractAllStores(Results);

  const VARIABLE_STORE *Store = StoreNamedBy(Request);
  if (Store == nullptr) return EFI_NOT_FOUND;
  const CHAR16 *Body = BodyOf(Request);
  if (Body == nullptr) return EFI_INVALID_PARAMETER;
  const BODY_CHECK Check = CheckBody(Body, Store->Size, false);
  if (EFI_ERROR(Check.Status)) {
    *Progress = const_cast<CHAR16 *>(Check.At);
    return Check.Status;
  }

  EFI_STATUS Status;
  if (Check.Elements != 0) {
    Status = ExtractStore(*Store, Request, Results);
  } else {
    // A bare header asks for the whole store, under the caller's own header.
    CHAR16 *Whole = WholeStoreRequest(Request, static_cast<UINTN>(Body - Request), Store->Size);
    if (Whole == nullptr) return EFI_OUT_OF_RESOURCES;
    Status = ExtractStore(*Store, Whole, Results);
    PoolFree(Whole);
  }
  if (!EFI_ERROR(Status)) *Progress = const_cast<CHAR16 *>(Check.At);
  return Status;
}

EFI_STATUS EFIAPI RouteConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, const CHAR16 *Configuration,
                              CHAR16 **Progress) {
  if (Configuration == nullptr || Progress == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = const_cast<CHAR16 *>(Configuration);
  const VARIABLE_STORE *Store = StoreNamedBy(Configuration);
  if (Store == nullptr) return EFI_NOT_FOUND;
  const CHAR16 *Body = BodyOf(Configuration);
  if (Body == nullptr) return EFI_INVALID_PARAMETER;
  const BODY_CHECK Check = CheckBody(Body, Store->Size, true);
  if (EFI_ERROR(Check.Status)) {
    *Progress = const_cast<CHAR16 *>(Check.At);
    return Check.Status;
  }
  if (Check.Elements == 0) return EFI_INVALID_PARAMETER;  // a header alone sets nothing

  const EFI_STATUS Status = RouteToStore(*Store, Configuration);
  if (!EFI_ERROR(Status)) *Progress = const_cast<CHAR16 *>(Check.At);
  return Status;
}

EFI_STATUS EFIAPI Callback(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, EFI_BROWSER_ACTION Action, EFI_QUESTION_ID,
                           UINT8, EFI_IFR_TYPE_VALUE *, EFI_BROWSER_ACTION_REQUEST *) {
  // A default action asks for the question's default in *Value: success would
  // make the browser take whatever *Value holds (the current value) for the
  // default, and loading defaults would restore nothing. Unsupported, the
  // browser takes the form's own defaults.
  if (IsDefaultBrowserAction(Action)) return EFI_UNSUPPORTED;
  // Bytes the browser's text does not name keep the driver's values rather than
  // whatever the stack held: both blocks go back to the browser whole.
  ADDONCARD_OOB_SLOTS Oob = OobVarCopy;
  ADDONCARD_PCI_ID_LIST Pci = PciIdListCopy;
  if (!ReadBrowserData(TLX_ADDONCARD_OOB_VAR, sizeof(Oob), reinterpret_cast<UINT8 *>(&Oob)))
    return EFI_NOT_FOUND;
  if (!ReadBrowserData(TLX_ADDONCARD_PCI_VAR, sizeof(Pci), reinterpret_cast<UINT8 *>(&Pci)))
    return EFI_NOT_FOUND;
  WriteBrowserData(TLX_ADDONCARD_OOB_VAR, sizeof(Oob), reinterpret_cast<const UINT8 *>(&Oob));
  WriteBrowserData(TLX_ADDONCARD_PCI_VAR, sizeof(Pci), reinterpret_cast<const UINT8 *>(&Pci));
  return EFI_SUCCESS;
}

EFI_STATUS AppendPciDefaults(const CHAR16 *Request, const ADDONCARD_PCI_ID_LIST *DefaultBlock,
                             CHAR16 **Results) {
  if (Request == nullptr || DefaultBlock == nullptr || Results == nullptr || *Results == nullptr)
    return EFI_INVALID_PARAMETER;
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Router == nullptr) return EFI_NOT_READY;
  CHAR16 *Defaults = nullptr;
  CHAR16 *RouterProgress = nullptr;
  const EFI_STATUS Status =
      Router->BlockToConfig(Router, Request, reinterpret_cast<const UINT8 *>(DefaultBlock),
                            sizeof(*DefaultBlock), &Defaults, &RouterProgress);
  if (EFI_ERROR(Status) || Defaults == nullptr) return Status;
  const CHAR16 *Body = Utf16Find(Defaults, u"&OFFSET=");
  if (Body == nullptr) {
    PoolFree(Defaults);
    return EFI_DEVICE_ERROR;
  }

  // "<results>&<header>&ALTCFG=0000<body>": an alternate configuration is
  // recognised by the full header in front of ALTCFG; without it the platform
  // drops the defaults.
  constexpr CHAR16 ALTCFG[] = u"&ALTCFG=0000";
  const UINTN ResultsChars = Utf16Length(*Results);
  const auto HeaderChars = static_cast<UINTN>(Body - Defaults);
  const UINTN BodyChars = Utf16Length(Body);
  const UINTN AltChars = ArrayCount(ALTCFG) - 1;
  const UINTN Chars = ResultsChars + 1 + HeaderChars + AltChars + BodyChars + 1;
  auto *Combined = static_cast<CHAR16 *>(PoolAllocZero(Chars * sizeof(CHAR16)));
  if (Combined == nullptr) {
    PoolFree(Defaults);
    return EFI_OUT_OF_RESOURCES;
  }
  CHAR16 *Cursor = Combined;
  CopyBytes(Cursor, *Results, ResultsChars * sizeof(CHAR16));
  Cursor += ResultsChars;
  *Cursor++ = u'&';
  CopyBytes(Cursor, Defaults, HeaderChars * sizeof(CHAR16));
  Cursor += HeaderChars;
  CopyBytes(Cursor, ALTCFG, AltChars * sizeof(CHAR16));
  Cursor += AltChars;
  CopyBytes(Cursor, Body, BodyChars * sizeof(CHAR16));
  PoolFree(Defaults);
  PoolFree(*Results);
  *Results = Combined;
  return EFI_SUCCESS;
}

void FillAddOnCardConfigAccess() {
  AddOnCardConfigAccess.ExtractConfig = ExtractConfig;
  AddOnCardConfigAccess.RouteConfig = RouteConfig;
  AddOnCardConfigAccess.Callback = Callback;
}

// What the road application does as the platform: everything it asks of the
// driver goes through the firmware's own services and protocols (image
// loading, the HII database and strings, the configuration router, the keyword
// handler, UEFI variables, protocol installation), as a platform's setup or a
// configuration agent would.
#pragma once
#include "support/bytes.h"
#include "uefi/protocols.h"

struct ROAD_SERVICES {
  EFI_HANDLE ImageHandle;  // the road application's own
  EFI_HII_DATABASE_PROTOCOL *Database;
  EFI_HII_STRING_PROTOCOL *Strings;
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router;
  EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *Keywords;
};

// Locates the four HII protocols. EFI_SUCCESS or the first LocateProtocol failure.
EFI_STATUS LocateRoadServices(EFI_HANDLE ImageHandle, ROAD_SERVICES *Services);

// ---- text ---------------------------------------------------------------------------

// A UTF-16 text of fixed capacity. Appends that do not fit are dropped and mark
// the text overflowed, so a caller checks once at the end.
class RoadText {
 public:
  static constexpr UINTN CAPACITY = 1024;
  RoadText &Ascii(const CHAR8 *Piece);
  RoadText &Utf16(const CHAR16 *Piece);
  // Each byte as two lower-case digits, as configuration text writes bytes.
  RoadText &HexBytes(const void *Bytes, UINTN Count);
  // Exactly Digits digits, lower-case unless Upper.
  RoadText &HexValue(UINT64 Value, UINTN Digits, bool Upper = false);
  bool Overflowed() const { return Overflowed_; }
  const CHAR16 *Chars() const { return Chars_; }
  UINTN Length() const { return Length_; }

 private:
  RoadText &Char(CHAR16 Unit);
  CHAR16 Chars_[CAPACITY + 1] = {};
  UINTN Length_ = 0;
  bool Overflowed_ = false;
};

// ---- images, controllers, triggers --------------------------------------------------

// Loads FileName (e.g. u"\\AddOnCard.efi") from the disk the road application
// was loaded from, with LoadImage, and starts it with StartImage. *Loaded is
// LoadImage's status; the result is StartImage's (the image's entry status),
// or *Loaded when loading failed.
EFI_STATUS LoadAndStartImage(const ROAD_SERVICES &Services, const CHAR16 *FileName, EFI_STATUS *Loaded);

// Installs a protocol with the GUID (and no interface) on a new handle, as the
// platform does to trigger the driver. The notify functions of TPL_NOTIFY run
// before this returns.
EFI_STATUS InstallTrigger(const EFI_GUID &Trigger);

// ---- package lists ---------------------------------------------------------------------

// A pool copy of one exported package list.
struct EXPORTED_LIST {
  EFI_HII_HANDLE Handle;
  UINT8 *Bytes;
  UINTN Size;
  ByteView View() const { return ByteView(Bytes, Size); }
};
void FreeExport(EXPORTED_LIST *List);

// Exports the list of Handle. EFI_SUCCESS, EFI_OUT_OF_RESOURCES or the status
// of ExportPackageLists.
EFI_STATUS ExportList(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, EXPORTED_LIST *List);

// The handle of the registered list whose first forms package declares the
// form set FormSetGuid; null when there is none. *ListCount (optional) gets the
// number of lists registered.
EFI_HII_HANDLE FindListByFormSet(const ROAD_SERVICES &Services, const EFI_GUID &FormSetGuid,
                                 UINTN *ListCount = nullptr);

// The string Id of the list in Language, in a pool string; null when the
// firmware has none.
CHAR16 *ReadHiiString(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, EFI_STRING_ID Id,
                      const CHAR8 *Language);

// The device path on the handle that registered the list, as the lower-case
// hexadecimal text configuration strings carry (PATH=...); false when it has none.
bool ListOwnerPathHex(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, RoadText *Hex);
// The PCI function on whose path the list's owner sits, with its location.
struct OWNER_FUNCTION {
  UINT16 VendorId;
  UINT16 DeviceId;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
};
EFI_STATUS ListOwnerFunction(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, OWNER_FUNCTION *Owner);

// ---- keywords ------------------------------------------------------------------------------

inline constexpr CHAR16 ROAD_NAMESPACE[] = u"NAMESPACE=x-UEFI-QZV";

struct KEYWORD_READING {
  EFI_STATUS Status;
  UINT32 ProgressErr;
  UINT64 Value;    // the VALUE of the answer, when it has one of 1 to 16 digits
  UINTN Digits;    // digits of VALUE; 0 when the answer has none
  bool ReadOnly;   // the answer ends in "&READONLY"
  CHAR16 *Answer;  // the handler's answer (pool), for messages; FreeReading releases it
};
void FreeReading(KEYWORD_READING *Reading);

// GetData of "PATH=<PathHex>&KEYWORD=<Keyword>" in the driver's namespace.
KEYWORD_READING GetKeyword(const ROAD_SERVICES &Services, const CHAR16 *PathHex, const CHAR16 *Keyword);
// SetData of "NAMESPACE=...&PATH=<PathHex>&KEYWORD=<Keyword>&VALUE=<Value in Digits digits>".
// *Request (optional) receives the text handed to the handler.
EFI_STATUS SetKeyword(const ROAD_SERVICES &Services, const CHAR16 *PathHex, const CHAR16 *Keyword,
                      UINT64 Value, UINTN Digits, UINT32 *ProgressErr, RoadText *Request = nullptr);

// ---- stores -----------------------------------------------------------------------------------

// The whole of a buffer store, read through the router: ExtractConfig of
// "GUID=..&NAME=..&PATH=<PathHex>&OFFSET=0&WIDTH=<Size>", whose VALUE the
// router writes most significant byte first. EFI_SUCCESS, the router's status,
// or EFI_PROTOCOL_ERROR for an answer without exactly Size bytes of VALUE.
EFI_STATUS ReadBufferStore(const ROAD_SERVICES &Services, const EFI_GUID &Guid, const CHAR8 *Name,
                           const CHAR16 *PathHex, UINT8 *Bytes, UINTN Size);

// A UEFI variable of exactly Size bytes. EFI_SUCCESS, GetVariable's status, or
// EFI_BAD_BUFFER_SIZE when it has another size.
EFI_STATUS ReadVariable(const CHAR16 *Name, const EFI_GUID &Guid, void *Bytes, UINTN Size,
                        UINT32 *Attributes = nullptr);

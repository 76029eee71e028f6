// The protocols the driver, its test application and the simulator use, member
// order as in the UEFI specification. Inputs the callee must not change are
// declared const; that does not change the calling convention or the layout.
#pragma once
#include "uefi/base.h"
#include "uefi/device_path.h"
#include "uefi/hii.h"
#include "uefi/system_table.h"

union EFI_IFR_TYPE_VALUE;

// ---- HII database ----------------------------------------------------------
struct EFI_HII_DATABASE_PROTOCOL;
using EFI_HII_DATABASE_NEW_PACK = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                       const EFI_HII_PACKAGE_LIST_HEADER *PackageList,
                                                       EFI_HANDLE DriverHandle, EFI_HII_HANDLE *Handle);
using EFI_HII_DATABASE_REMOVE_PACK = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                          EFI_HII_HANDLE Handle);
using EFI_HII_DATABASE_UPDATE_PACK = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                          EFI_HII_HANDLE Handle,
                                                          const EFI_HII_PACKAGE_LIST_HEADER *PackageList);
using EFI_HII_DATABASE_LIST_PACKS = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This, UINT8 PackageType,
                                                         const EFI_GUID *PackageGuid, UINTN *HandleBufferLength,
                                                         EFI_HII_HANDLE *Handle);
using EFI_HII_DATABASE_EXPORT_PACKS = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                           EFI_HII_HANDLE Handle, UINTN *BufferSize,
                                                           EFI_HII_PACKAGE_LIST_HEADER *Buffer);
using EFI_HII_DATABASE_GET_PACKAGE_LIST_HANDLE = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                                      EFI_HII_HANDLE PackageListHandle,
                                                                      EFI_HANDLE *DriverHandle);
struct EFI_HII_DATABASE_PROTOCOL {
  EFI_HII_DATABASE_NEW_PACK NewPackageList;
  EFI_HII_DATABASE_REMOVE_PACK RemovePackageList;
  EFI_HII_DATABASE_UPDATE_PACK UpdatePackageList;
  EFI_HII_DATABASE_LIST_PACKS ListPackageLists;
  EFI_HII_DATABASE_EXPORT_PACKS ExportPackageLists;
  void *RegisterPackageNotify;
  void *UnregisterPackageNotify;
  void *FindKeyboardLayouts;
  void *GetKeyboardLayout;
  void *SetKeyboardLayout;
  EFI_HII_DATABASE_GET_PACKAGE_LIST_HANDLE GetPackageListHandle;
};
static_assert(sizeof(EFI_HII_DATABASE_PROTOCOL) == 11 * 8);

// ---- HII string ------------------------------------------------------------
struct EFI_HII_STRING_PROTOCOL;
using EFI_HII_NEW_STRING = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This, EFI_HII_HANDLE PackageList,
                                                EFI_STRING_ID *StringId, const CHAR8 *Language,
                                                const CHAR16 *LanguageName, const CHAR16 *String,
                                                const EFI_FONT_INFO *StringFontInfo);
using EFI_HII_GET_STRING = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This, const CHAR8 *Language,
                                                EFI_HII_HANDLE PackageList, EFI_STRING_ID StringId,
                                                CHAR16 *String, UINTN *StringSize,
                                                EFI_FONT_INFO **StringFontInfo);
using EFI_HII_SET_STRING = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This, EFI_HII_HANDLE PackageList,
                                                EFI_STRING_ID StringId, const CHAR8 *Language,
                                                const CHAR16 *String, const EFI_FONT_INFO *StringFontInfo);
using EFI_HII_GET_LANGUAGES = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This,
                                                   EFI_HII_HANDLE PackageList, CHAR8 *Languages,
                                                   UINTN *LanguagesSize);
using EFI_HII_GET_2ND_LANGUAGES = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This,
                                                       EFI_HII_HANDLE PackageList, const CHAR8 *PrimaryLanguage,
                                                       CHAR8 *SecondaryLanguages, UINTN *SecondaryLanguagesSize);
struct EFI_HII_STRING_PROTOCOL {
  EFI_HII_NEW_STRING NewString;
  EFI_HII_GET_STRING GetString;
  EFI_HII_SET_STRING SetString;
  EFI_HII_GET_LANGUAGES GetLanguages;
  EFI_HII_GET_2ND_LANGUAGES GetSecondaryLanguages;
};
static_assert(sizeof(EFI_HII_STRING_PROTOCOL) == 5 * 8);

// ---- HII configuration routing --------------------------------------------
struct EFI_HII_CONFIG_ROUTING_PROTOCOL;
using EFI_HII_EXTRACT_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                    const CHAR16 *Request, CHAR16 **Progress, CHAR16 **Results);
using EFI_HII_EXPORT_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                   CHAR16 **Results);
using EFI_HII_ROUTE_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                  const CHAR16 *Configuration, CHAR16 **Progress);
using EFI_HII_BLOCK_TO_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                     const CHAR16 *ConfigRequest, const UINT8 *Block,
                                                     UINTN BlockSize, CHAR16 **Config, CHAR16 **Progress);
using EFI_HII_CONFIG_TO_BLOCK = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                     const CHAR16 *ConfigResp, UINT8 *Block, UINTN *BlockSize,
                                                     CHAR16 **Progress);
using EFI_HII_GET_ALT_CFG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ROUTING_PROTOCOL *This,
                                                 const CHAR16 *ConfigResp, const EFI_GUID *Guid,
                                                 const CHAR16 *Name, const EFI_DEVICE_PATH_PROTOCOL *DevicePath,
                                                 const UINT16 *AltCfgId, CHAR16 **AltCfgResp);
struct EFI_HII_CONFIG_ROUTING_PROTOCOL {
  EFI_HII_EXTRACT_CONFIG ExtractConfig;
  EFI_HII_EXPORT_CONFIG ExportConfig;
  EFI_HII_ROUTE_CONFIG RouteConfig;
  EFI_HII_BLOCK_TO_CONFIG BlockToConfig;
  EFI_HII_CONFIG_TO_BLOCK ConfigToBlock;
  EFI_HII_GET_ALT_CFG GetAltConfig;
};
static_assert(sizeof(EFI_HII_CONFIG_ROUTING_PROTOCOL) == 6 * 8);

// ---- HII configuration access (produced by the driver) ---------------------
using EFI_BROWSER_ACTION = UINTN;
using EFI_BROWSER_ACTION_REQUEST = UINTN;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_CHANGING = 0;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_CHANGED = 1;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_RETRIEVE = 2;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_FORM_OPEN = 3;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_FORM_CLOSE = 4;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_SUBMITTED = 5;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_STANDARD = 0x1000;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_MANUFACTURING = 0x1001;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_SAFE = 0x1002;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_PLATFORM = 0x2000;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_HARDWARE = 0x3000;
inline constexpr EFI_BROWSER_ACTION EFI_BROWSER_ACTION_DEFAULT_FIRMWARE = 0x4000;
// The default actions take up 0x1000 to 0x4FFF (a range per kind of default).
constexpr bool IsDefaultBrowserAction(EFI_BROWSER_ACTION Action) {
  return Action >= EFI_BROWSER_ACTION_DEFAULT_STANDARD && Action < 0x5000;
}

struct EFI_HII_CONFIG_ACCESS_PROTOCOL;
using EFI_HII_ACCESS_EXTRACT_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This,
                                                           const CHAR16 *Request, CHAR16 **Progress,
                                                           CHAR16 **Results);
using EFI_HII_ACCESS_ROUTE_CONFIG = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This,
                                                         const CHAR16 *Configuration, CHAR16 **Progress);
using EFI_HII_ACCESS_FORM_CALLBACK = EFI_STATUS(EFIAPI *)(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This,
                                                          EFI_BROWSER_ACTION Action, EFI_QUESTION_ID QuestionId,
                                                          UINT8 Type, EFI_IFR_TYPE_VALUE *Value,
                                                          EFI_BROWSER_ACTION_REQUEST *ActionRequest);
struct EFI_HII_CONFIG_ACCESS_PROTOCOL {
  EFI_HII_ACCESS_EXTRACT_CONFIG ExtractConfig;
  EFI_HII_ACCESS_ROUTE_CONFIG RouteConfig;
  EFI_HII_ACCESS_FORM_CALLBACK Callback;
};
static_assert(sizeof(EFI_HII_CONFIG_ACCESS_PROTOCOL) == 3 * 8);

// ---- Form browser 2 --------------------------------------------------------
struct EFI_FORM_BROWSER2_PROTOCOL;
using EFI_SEND_FORM2 = EFI_STATUS(EFIAPI *)(const EFI_FORM_BROWSER2_PROTOCOL *This, EFI_HII_HANDLE *Handle,
                                            UINTN HandleCount, EFI_GUID *FormSetGuid, EFI_FORM_ID FormId,
                                            const void *ScreenDimensions,
                                            EFI_BROWSER_ACTION_REQUEST *ActionRequest);
using EFI_BROWSER_CALLBACK2 = EFI_STATUS(EFIAPI *)(const EFI_FORM_BROWSER2_PROTOCOL *This,
                                                   UINTN *ResultsDataSize, CHAR16 *ResultsData,
                                                   BOOLEAN RetrieveData, const EFI_GUID *VariableGuid,
                                                   const CHAR16 *VariableName);
struct EFI_FORM_BROWSER2_PROTOCOL {
  EFI_SEND_FORM2 SendForm;
  EFI_BROWSER_CALLBACK2 BrowserCallback;
};

// ---- Configuration keyword handler ------------------------------------------
inline constexpr UINT32 KEYWORD_HANDLER_NO_ERROR = 0x00000000;
inline constexpr UINT32 KEYWORD_HANDLER_NAMESPACE_ID_NOT_FOUND = 0x00000001;
inline constexpr UINT32 KEYWORD_HANDLER_MALFORMED_STRING = 0x00000002;
inline constexpr UINT32 KEYWORD_HANDLER_KEYWORD_NOT_FOUND = 0x00000004;
inline constexpr UINT32 KEYWORD_HANDLER_INCOMPATIBLE_VALUE_DETECTED = 0x00000008;
inline constexpr UINT32 KEYWORD_HANDLER_ACCESS_NOT_PERMITTED = 0x00000010;
inline constexpr UINT32 KEYWORD_HANDLER_UNDEFINED_PROCESSING_ERROR = 0x80000000;

struct EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL;
using EFI_CONFIG_KEYWORD_HANDLER_SET_DATA = EFI_STATUS(EFIAPI *)(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *This,
                                                                 const CHAR16 *KeywordString, CHAR16 **Progress,
                                                                 UINT32 *ProgressErr);
using EFI_CONFIG_KEYWORD_HANDLER_GET_DATA = EFI_STATUS(EFIAPI *)(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL *This,
                                                                 const CHAR16 *NameSpaceId,
                                                                 const CHAR16 *KeywordString, CHAR16 **Progress,
                                                                 UINT32 *ProgressErr, CHAR16 **Results);
struct EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL {
  EFI_CONFIG_KEYWORD_HANDLER_SET_DATA SetData;
  EFI_CONFIG_KEYWORD_HANDLER_GET_DATA GetData;
};

// ---- PCI I/O ---------------------------------------------------------------
enum EFI_PCI_IO_PROTOCOL_WIDTH : UINT32 {
  EfiPciIoWidthUint8,
  EfiPciIoWidthUint16,
  EfiPciIoWidthUint32,
  EfiPciIoWidthUint64,
  EfiPciIoWidthFifoUint8,
  EfiPciIoWidthFifoUint16,
  EfiPciIoWidthFifoUint32,
  EfiPciIoWidthFifoUint64,
  EfiPciIoWidthFillUint8,
  EfiPciIoWidthFillUint16,
  EfiPciIoWidthFillUint32,
  EfiPciIoWidthFillUint64,
  EfiPciIoWidthMaximum
};

struct EFI_PCI_IO_PROTOCOL;
using EFI_PCI_IO_PROTOCOL_CONFIG = EFI_STATUS(EFIAPI *)(EFI_PCI_IO_PROTOCOL *This,
                                                        EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                                        UINTN Count, void *Buffer);
using EFI_PCI_IO_PROTOCOL_GET_LOCATION = EFI_STATUS(EFIAPI *)(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentNumber,
                                                              UINTN *BusNumber, UINTN *DeviceNumber,
                                                              UINTN *FunctionNumber);
struct EFI_PCI_IO_PROTOCOL_ACCESS {
  void *Read;
  void *Write;
};
struct EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS {
  EFI_PCI_IO_PROTOCOL_CONFIG Read;
  EFI_PCI_IO_PROTOCOL_CONFIG Write;
};
struct EFI_PCI_IO_PROTOCOL {
  void *PollMem;
  void *PollIo;
  EFI_PCI_IO_PROTOCOL_ACCESS Mem;
  EFI_PCI_IO_PROTOCOL_ACCESS Io;
  EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS Pci;
  void *CopyMem;
  void *Map;
  void *Unmap;
  void *AllocateBuffer;
  void *FreeBuffer;
  void *Flush;
  EFI_PCI_IO_PROTOCOL_GET_LOCATION GetLocation;
  void *Attributes;
  void *GetBarAttributes;
  void *SetBarAttributes;
  UINT64 RomSize;
  void *RomImage;
};
static_assert(__builtin_offsetof(EFI_PCI_IO_PROTOCOL, Pci) == 6 * 8);
static_assert(__builtin_offsetof(EFI_PCI_IO_PROTOCOL, GetLocation) == 14 * 8);
static_assert(sizeof(EFI_PCI_IO_PROTOCOL) == 20 * 8);

// ---- Loaded image ----------------------------------------------------------
struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  void *Reserved;
  UINT32 LoadOptionsSize;
  void *LoadOptions;
  void *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  void *Unload;
};
static_assert(__builtin_offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64);
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);

// HII Font and HII Image are located at start-up and never called.
struct EFI_HII_FONT_PROTOCOL;
struct EFI_HII_IMAGE_PROTOCOL;

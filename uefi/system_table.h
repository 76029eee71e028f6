// EFI_SYSTEM_TABLE, EFI_BOOT_SERVICES and EFI_RUNTIME_SERVICES, members in the
// order of the UEFI specification. Services the driver never calls are kept as
// correctly typed-by-position placeholders so the tables' layout is exact.
#pragma once
#include "uefi/base.h"

struct EFI_DEVICE_PATH_PROTOCOL;

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
};

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

inline constexpr UINT32 EVT_TIMER = 0x80000000;
inline constexpr UINT32 EVT_RUNTIME = 0x40000000;
inline constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100;
inline constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;

inline constexpr EFI_TPL TPL_APPLICATION = 4;
inline constexpr EFI_TPL TPL_CALLBACK = 8;
inline constexpr EFI_TPL TPL_NOTIFY = 16;
inline constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x1;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x2;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x4;

using EFI_EVENT_NOTIFY = void(EFIAPI *)(EFI_EVENT Event, void *Context);

// Function-pointer types of the services the driver, its test application or the
// simulator call. Members nobody calls are typed as opaque pointers.
using EFI_RAISE_TPL = EFI_TPL(EFIAPI *)(EFI_TPL NewTpl);
using EFI_RESTORE_TPL = void(EFIAPI *)(EFI_TPL OldTpl);
using EFI_ALLOCATE_POOL = EFI_STATUS(EFIAPI *)(EFI_MEMORY_TYPE PoolType, UINTN Size, void **Buffer);
using EFI_FREE_POOL = EFI_STATUS(EFIAPI *)(void *Buffer);
using EFI_CREATE_EVENT = EFI_STATUS(EFIAPI *)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                              void *NotifyContext, EFI_EVENT *Event);
using EFI_SIGNAL_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);
using EFI_CLOSE_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);
using EFI_CHECK_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);
using EFI_INSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                            EFI_INTERFACE_TYPE InterfaceType, void *Interface);
using EFI_REINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                              void *OldInterface, void *NewInterface);
using EFI_UNINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                              void *Interface);
using EFI_HANDLE_PROTOCOL = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface);
using EFI_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, EFI_EVENT Event,
                                                          void **Registration);
using EFI_LOCATE_HANDLE = EFI_STATUS(EFIAPI *)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                               void *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer);
using EFI_LOCATE_DEVICE_PATH = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                    EFI_HANDLE *Device);
using EFI_IMAGE_LOAD = EFI_STATUS(EFIAPI *)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                            EFI_DEVICE_PATH_PROTOCOL *DevicePath, void *SourceBuffer,
                                            UINTN SourceSize, EFI_HANDLE *ImageHandle);
using EFI_IMAGE_START = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData);
using EFI_EXIT = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize,
                                      CHAR16 *ExitData);
using EFI_STALL = EFI_STATUS(EFIAPI *)(UINTN Microseconds);
using EFI_SET_WATCHDOG_TIMER = EFI_STATUS(EFIAPI *)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                    CHAR16 *WatchdogData);
using EFI_LOCATE_HANDLE_BUFFER = EFI_STATUS(EFIAPI *)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                                      void *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
using EFI_LOCATE_PROTOCOL = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, void *Registration, void **Interface);
// Variadic: (Handle*, GUID*, Interface, GUID*, Interface, ..., NULL). The variadic
// part follows the Microsoft x64 convention on both builds.
using EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES = EFI_STATUS(EFIAPI *)(EFI_HANDLE *Handle, ...);
using EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, ...);
using EFI_COPY_MEM = void(EFIAPI *)(void *Destination, const void *Source, UINTN Length);
using EFI_SET_MEM = void(EFIAPI *)(void *Buffer, UINTN Size, UINT8 Value);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  void *AllocatePages;
  void *FreePages;
  void *GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  void *SetTimer;
  void *WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  void *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  void *InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  void *UnloadImage;
  void *ExitBootServices;
  void *GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  void *ConnectController;
  void *DisconnectController;
  void *OpenProtocol;
  void *CloseProtocol;
  void *OpenProtocolInformation;
  void *ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  void *CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  void *CreateEventEx;
};
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, AllocatePool) == 24 + 5 * 8);
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 24 + 16 * 8);
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, LocateDevicePath) == 24 + 20 * 8);
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 24 + 36 * 8);
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CopyMem) == 24 + 41 * 8);
static_assert(sizeof(EFI_BOOT_SERVICES) == 24 + 44 * 8);

using EFI_GET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 *Attributes,
                                              UINTN *DataSize, void *Data);
using EFI_GET_NEXT_VARIABLE_NAME = EFI_STATUS(EFIAPI *)(UINTN *VariableNameSize, CHAR16 *VariableName,
                                                        EFI_GUID *VendorGuid);
using EFI_SET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 Attributes,
                                              UINTN DataSize, void *Data);
using EFI_RESET_SYSTEM = void(EFIAPI *)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                        void *ResetData);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  void *GetTime;
  void *SetTime;
  void *GetWakeupTime;
  void *SetWakeupTime;
  void *SetVirtualAddressMap;
  void *ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  void *GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  void *UpdateCapsule;
  void *QueryCapsuleCapabilities;
  void *QueryVariableInfo;
};
static_assert(__builtin_offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 24 + 6 * 8);
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 24 + 14 * 8);

// Console output: the test application and the demo print through it.
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
using EFI_TEXT_STRING = EFI_STATUS(EFIAPI *)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  void *Reset;
  EFI_TEXT_STRING OutputString;
  void *TestString;
  void *QueryMode;
  void *SetMode;
  void *SetAttribute;
  void *ClearScreen;
  void *SetCursorPosition;
  void *EnableCursor;
  void *Mode;
};

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  void *VendorTable;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  void *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);

using EFI_IMAGE_ENTRY_POINT = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

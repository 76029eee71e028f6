// The parts of the UEFI driver model that only the road's images use: the test
// card driver binds to PCI functions through EFI_DRIVER_BINDING_PROTOCOL and
// opens their PCI I/O; the road application loads images from its boot disk
// and connects controllers. The driver itself never calls these services, so
// the shared boot-services table (uefi/system_table.h) keeps them untyped; the
// types below are theirs by position.
#pragma once
#include "uefi/protocols.h"

// ---- Opening protocols and connecting controllers ---------------------------------
inline constexpr UINT32 EFI_OPEN_PROTOCOL_GET_PROTOCOL = 0x02;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER = 0x08;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_BY_DRIVER = 0x10;

using EFI_OPEN_PROTOCOL = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface,
                                               EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle,
                                               UINT32 Attributes);
using EFI_CLOSE_PROTOCOL = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
using EFI_CONNECT_CONTROLLER = EFI_STATUS(EFIAPI *)(EFI_HANDLE ControllerHandle,
                                                    EFI_HANDLE *DriverImageHandle,
                                                    EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath,
                                                    BOOLEAN Recursive);

inline EFI_STATUS OpenProtocol(const EFI_BOOT_SERVICES &Services, EFI_HANDLE Handle, const EFI_GUID &Protocol,
                               void **Interface, EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  return reinterpret_cast<EFI_OPEN_PROTOCOL>(Services.OpenProtocol)(Handle, &Protocol, Interface, Agent,
                                                                    Controller, Attributes);
}
inline EFI_STATUS CloseProtocol(const EFI_BOOT_SERVICES &Services, EFI_HANDLE Handle,
                                const EFI_GUID &Protocol, EFI_HANDLE Agent, EFI_HANDLE Controller) {
  return reinterpret_cast<EFI_CLOSE_PROTOCOL>(Services.CloseProtocol)(Handle, &Protocol, Agent, Controller);
}
// Connects every driver that supports Controller, its children not included.
inline EFI_STATUS ConnectController(const EFI_BOOT_SERVICES &Services, EFI_HANDLE Controller) {
  return reinterpret_cast<EFI_CONNECT_CONTROLLER>(Services.ConnectController)(Controller, nullptr, nullptr,
                                                                              0);
}

// ---- Driver binding -----------------------------------------------------------------
inline constexpr EFI_GUID EFI_DRIVER_BINDING_PROTOCOL_GUID = {
    0x18A031AB, 0xB443, 0x4D1A, {0xA5, 0xC0, 0x0C, 0x09, 0x26, 0x1E, 0x9F, 0x71}};

struct EFI_DRIVER_BINDING_PROTOCOL;
using EFI_DRIVER_BINDING_SUPPORTED = EFI_STATUS(EFIAPI *)(EFI_DRIVER_BINDING_PROTOCOL *This,
                                                          EFI_HANDLE ControllerHandle,
                                                          EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
using EFI_DRIVER_BINDING_START = EFI_STATUS(EFIAPI *)(EFI_DRIVER_BINDING_PROTOCOL *This,
                                                      EFI_HANDLE ControllerHandle,
                                                      EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
using EFI_DRIVER_BINDING_STOP = EFI_STATUS(EFIAPI *)(EFI_DRIVER_BINDING_PROTOCOL *This,
                                                     EFI_HANDLE ControllerHandle, UINTN NumberOfChildren,
                                                     EFI_HANDLE *ChildHandleBuffer);
struct EFI_DRIVER_BINDING_PROTOCOL {
  EFI_DRIVER_BINDING_SUPPORTED Supported;
  EFI_DRIVER_BINDING_START Start;
  EFI_DRIVER_BINDING_STOP Stop;
  UINT32 Version;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DriverBindingHandle;
};
static_assert(__builtin_offsetof(EFI_DRIVER_BINDING_PROTOCOL, Version) == 24);
static_assert(__builtin_offsetof(EFI_DRIVER_BINDING_PROTOCOL, ImageHandle) == 32);
static_assert(sizeof(EFI_DRIVER_BINDING_PROTOCOL) == 48);

// ---- File paths ------------------------------------------------------------------------
// A media file-path node: the 4-byte header and a NUL-terminated UTF-16 path name.
inline constexpr UINTN FILE_PATH_NODE_HEADER = sizeof(EFI_DEVICE_PATH_PROTOCOL);

// Device-path nodes used by the driver: the generic node header, the vendor
// hardware node of the driver's own path, the PCI node of a card's path and the
// end node.
#pragma once
#include "uefi/base.h"

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];  // little-endian, whole node including these 4 bytes
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4 && alignof(EFI_DEVICE_PATH_PROTOCOL) == 1);

inline constexpr UINT8 HARDWARE_DEVICE_PATH = 0x01;
inline constexpr UINT8 HW_PCI_DP = 0x01;
inline constexpr UINT8 HW_VENDOR_DP = 0x04;
inline constexpr UINT8 ACPI_DEVICE_PATH = 0x02;
inline constexpr UINT8 ACPI_DP = 0x01;
inline constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
inline constexpr UINT8 MEDIA_FILEPATH_DP = 0x04;
inline constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7F;
inline constexpr UINT8 END_ENTIRE_DEVICE_PATH_SUBTYPE = 0xFF;
inline constexpr UINT8 END_INSTANCE_DEVICE_PATH_SUBTYPE = 0x01;
inline constexpr UINT16 END_DEVICE_PATH_LENGTH = 4;

struct VENDOR_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID Guid;
} __attribute__((packed));
static_assert(sizeof(VENDOR_DEVICE_PATH) == 20);

struct PCI_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 Function;
  UINT8 Device;
};
static_assert(sizeof(PCI_DEVICE_PATH) == 6);

struct ACPI_HID_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT32 HID;
  UINT32 UID;
} __attribute__((packed));
static_assert(sizeof(ACPI_HID_DEVICE_PATH) == 12);

constexpr UINT16 DevicePathNodeLength(const EFI_DEVICE_PATH_PROTOCOL &Node) {
  return static_cast<UINT16>(Node.Length[0] | (Node.Length[1] << 8));
}
constexpr bool IsDevicePathEndNode(const EFI_DEVICE_PATH_PROTOCOL &Node) {
  return Node.Type == END_DEVICE_PATH_TYPE && Node.SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

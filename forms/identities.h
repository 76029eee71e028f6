// Identities of the driver's form set, variables and device path.
#pragma once
#include "uefi/device_path.h"

inline constexpr EFI_GUID ADDONCARD_FORMSET_GUID = {
    0xC3870F7E, 0x595E, 0x4F50, {0xB3, 0x7F, 0xC1, 0xD5, 0xB7, 0xCB, 0xEB, 0x3E}};
inline constexpr EFI_GUID ADDONCARD_PCI_VAR_GUID = {
    0xC6C9DDE9, 0xD404, 0x4480, {0x92, 0x9C, 0xEC, 0xF3, 0xFB, 0xDA, 0xF7, 0xDD}};
// Class GUID of the form set: platform setup.
inline constexpr EFI_GUID PLATFORM_SETUP_CLASS_GUID = {
    0x93039971, 0x8545, 0x4B04, {0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E}};

// The vendor hardware node carrying the form-set GUID, then the end node.
struct ADDONCARD_DEVICE_PATH_NODES {
  VENDOR_DEVICE_PATH Vendor;
  EFI_DEVICE_PATH_PROTOCOL End;
};
static_assert(sizeof(ADDONCARD_DEVICE_PATH_NODES) == 24);

inline constexpr ADDONCARD_DEVICE_PATH_NODES ADDONCARD_DEVICE_PATH = {
    {{HARDWARE_DEVICE_PATH, HW_VENDOR_DP, {20, 0}}, ADDONCARD_FORMSET_GUID},
    {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {END_DEVICE_PATH_LENGTH, 0}}};

// Device-path checks.
#pragma once
#include "uefi/device_path.h"

bool DevicePathIsValid(const EFI_DEVICE_PATH_PROTOCOL *DevicePath);
UINTN ValidatedDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath);

// Device-path checks. One walk serves them all: it reads nothing outside the
// bytes it is told the path may occupy.
#pragma once
#include "support/bytes.h"
#include "uefi/device_path.h"

// How far the walk goes over a path whose size nobody states (a bare pointer
// from HandleProtocol). It ends a runaway walk over a path without an end node;
// it cannot keep the walk inside memory the path does not own, which only a
// caller that knows the path's size can do (the bounded form below).
inline constexpr UINTN DEVICE_PATH_WALK_LIMIT = 65536;

// The byte size of the path at the start of Bytes, end node included, when every
// node lies inside Bytes, every node before the end node is at least 4 bytes
// long, every file-path node ends with a NUL character and the end node is
// exactly 4 bytes; otherwise 0.
UINTN ValidatedDevicePathSize(ByteView Bytes);

// The same for a path given as a bare pointer, walked over at most
// DEVICE_PATH_WALK_LIMIT bytes: a longer path counts as invalid. Only for paths
// the firmware built and terminated (such as those on handles).
bool DevicePathIsValid(const EFI_DEVICE_PATH_PROTOCOL *DevicePath);
UINTN ValidatedDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath);

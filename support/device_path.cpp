#include "support/device_path.h"

namespace {

// Largest running total of node lengths; keeps the total plus the 4-byte end node
// representable.
constexpr UINT64 MAX_DEVICE_PATH_TOTAL = ~0ULL - END_DEVICE_PATH_LENGTH;

bool IsFilePathNode(const EFI_DEVICE_PATH_PROTOCOL &Node) {
  return Node.Type == MEDIA_DEVICE_PATH && Node.SubType == MEDIA_FILEPATH_DP;
}

// A file-path node carries a UTF-16 name whose terminator must lie inside the node.
bool FilePathNodeIsTerminated(const UINT8 *Node, UINT16 Length) {
  return Node[Length - 2] == 0 && Node[Length - 1] == 0;
}

// Walks the nodes up to the end-of-entire-path node; gives the whole path's byte
// size including that node, or 0 as soon as a node fails a check. The walk has no
// byte bound of its own: callers pass paths that firmware has built and terminated.
UINTN WalkDevicePath(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  if (DevicePath == nullptr) return 0;
  const auto *Node = reinterpret_cast<const UINT8 *>(DevicePath);
  UINT64 Total = 0;
  for (;;) {
    const auto &Header = *reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Node);
    const UINT16 Length = DevicePathNodeLength(Header);
    if (IsDevicePathEndNode(Header)) return Length == END_DEVICE_PATH_LENGTH ? Total + Length : 0;
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) return 0;
    if (Length > MAX_DEVICE_PATH_TOTAL - Total) return 0;
    Total += Length;
    if (IsFilePathNode(Header) && !FilePathNodeIsTerminated(Node, Length)) return 0;
    Node += Length;
  }
}

}  // namespace

bool DevicePathIsValid(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) { return WalkDevicePath(DevicePath) != 0; }

UINTN ValidatedDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  return WalkDevicePath(DevicePath);
}

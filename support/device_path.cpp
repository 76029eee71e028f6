#include "support/device_path.h"

namespace {

bool IsFilePathNode(UINT8 Type, UINT8 SubType) {
  return Type == MEDIA_DEVICE_PATH && SubType == MEDIA_FILEPATH_DP;
}

// A file-path node carries a UTF-16 name whose terminator must lie inside the node.
bool FilePathNodeIsTerminated(ByteView Node) {
  const UINTN Length = Node.Size();
  return Node.Data()[Length - 2] == 0 && Node.Data()[Length - 1] == 0;
}

ByteView UnsizedPath(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  return ByteView(reinterpret_cast<const UINT8 *>(DevicePath), DEVICE_PATH_WALK_LIMIT);
}

}  // namespace

UINTN ValidatedDevicePathSize(ByteView Bytes) {
  UINTN Offset = 0;
  for (;;) {
    UINT8 Type = 0;
    UINT8 SubType = 0;
    UINT16 Length = 0;
    if (!Bytes.Read8(Offset, &Type) || !Bytes.Read8(Offset + 1, &SubType) ||
        !Bytes.Read16(Offset + 2, &Length))
      return 0;
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || !Bytes.Holds(Offset, Length)) return 0;
    if (Type == END_DEVICE_PATH_TYPE && SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE)
      return Length == END_DEVICE_PATH_LENGTH ? Offset + Length : 0;
    if (IsFilePathNode(Type, SubType) && !FilePathNodeIsTerminated(Bytes.Slice(Offset, Length))) return 0;
    Offset += Length;
  }
}

UINTN ValidatedDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  return ValidatedDevicePathSize(UnsizedPath(DevicePath));
}

bool DevicePathIsValid(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  return ValidatedDevicePathSize(DevicePath) != 0;
}

// Base types of the UEFI specification, written for a freestanding C++20 build.
// Both builds (the PE32+ image and the host build) use the Microsoft x64 calling
// convention for every service and protocol member, so the function tables are
// identical and the host simulator calls the driver exactly as firmware does.
#pragma once

#define EFIAPI __attribute__((ms_abi))

using UINT8 = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using UINT64 = unsigned long long;
using INT8 = signed char;
using INT16 = short;
using INT32 = int;
using INT64 = long long;
using UINTN = UINT64;
using INTN = INT64;
using BOOLEAN = UINT8;
using CHAR8 = char;
using CHAR16 = char16_t;
using VOID = void;

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4 && sizeof(UINT64) == 8);
static_assert(sizeof(UINTN) == sizeof(void *), "x86-64 only");
static_assert(sizeof(CHAR16) == 2 && sizeof(BOOLEAN) == 1);

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

using EFI_STATUS = UINTN;
using EFI_HANDLE = void *;
using EFI_EVENT = void *;
using EFI_TPL = UINTN;
using EFI_LBA = UINT64;
using EFI_PHYSICAL_ADDRESS = UINT64;
using EFI_VIRTUAL_ADDRESS = UINT64;
using EFI_STRING = CHAR16 *;

inline constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
constexpr EFI_STATUS EncodeError(UINTN Code) { return EFI_ERROR_BIT | Code; }
constexpr bool EFI_ERROR(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
inline constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
inline constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
inline constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
inline constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
inline constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
inline constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EncodeError(10);
inline constexpr EFI_STATUS EFI_VOLUME_FULL = EncodeError(11);
inline constexpr EFI_STATUS EFI_NO_MEDIA = EncodeError(12);
inline constexpr EFI_STATUS EFI_MEDIA_CHANGED = EncodeError(13);
inline constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
inline constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
inline constexpr EFI_STATUS EFI_NO_RESPONSE = EncodeError(16);
inline constexpr EFI_STATUS EFI_NO_MAPPING = EncodeError(17);
inline constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
inline constexpr EFI_STATUS EFI_NOT_STARTED = EncodeError(19);
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
inline constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);
inline constexpr EFI_STATUS EFI_ICMP_ERROR = EncodeError(22);
inline constexpr EFI_STATUS EFI_TFTP_ERROR = EncodeError(23);
inline constexpr EFI_STATUS EFI_PROTOCOL_ERROR = EncodeError(24);
inline constexpr EFI_STATUS EFI_INCOMPATIBLE_VERSION = EncodeError(25);
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EncodeError(26);
inline constexpr EFI_STATUS EFI_CRC_ERROR = EncodeError(27);
inline constexpr EFI_STATUS EFI_END_OF_MEDIA = EncodeError(28);
inline constexpr EFI_STATUS EFI_END_OF_FILE = EncodeError(31);
inline constexpr EFI_STATUS EFI_INVALID_LANGUAGE = EncodeError(32);
inline constexpr EFI_STATUS EFI_COMPROMISED_DATA = EncodeError(33);

inline constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
inline constexpr EFI_STATUS EFI_WARN_DELETE_FAILURE = 2;
inline constexpr EFI_STATUS EFI_WARN_WRITE_FAILURE = 3;
inline constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;
inline constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16 && alignof(EFI_GUID) == 4);

constexpr bool GuidEquals(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (int I = 0; I < 8; ++I)
    if (A.Data4[I] != B.Data4[I]) return false;
  return true;
}

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

// Size of a fixed array, usable in constant expressions.
template <typename T, UINTN N> constexpr UINTN ArrayCount(const T (&)[N]) { return N; }

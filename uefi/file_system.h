// File access for UEFI applications: the simple file system protocol on a
// volume's handle, the file protocol it opens, and the shell's parameters
// protocol on the image handle of an application the shell started. Member
// order as in the UEFI and UEFI Shell specifications.
#pragma once
#include "uefi/base.h"

inline constexpr EFI_GUID EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
// Information type of GetInfo and SetInfo: EFI_FILE_INFO.
inline constexpr EFI_GUID EFI_FILE_INFO_ID = {
    0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID EFI_SHELL_PARAMETERS_PROTOCOL_GUID = {
    0x752F3136, 0x4E16, 0x4FDC, {0xA2, 0x2A, 0xE5, 0xF4, 0x68, 0x12, 0xF4, 0xCA}};

// ---- File ------------------------------------------------------------------
inline constexpr UINT64 EFI_FILE_MODE_READ = 0x0000000000000001ULL;
inline constexpr UINT64 EFI_FILE_MODE_WRITE = 0x0000000000000002ULL;
inline constexpr UINT64 EFI_FILE_MODE_CREATE = 0x8000000000000000ULL;

inline constexpr UINT64 EFI_FILE_READ_ONLY = 0x01;
inline constexpr UINT64 EFI_FILE_HIDDEN = 0x02;
inline constexpr UINT64 EFI_FILE_SYSTEM = 0x04;
inline constexpr UINT64 EFI_FILE_RESERVED = 0x08;
inline constexpr UINT64 EFI_FILE_DIRECTORY = 0x10;
inline constexpr UINT64 EFI_FILE_ARCHIVE = 0x20;

// The file's name (CHAR16, NUL-terminated) follows; Size counts it.
struct EFI_FILE_INFO {
  UINT64 Size;
  UINT64 FileSize;
  UINT64 PhysicalSize;
  EFI_TIME CreateTime;
  EFI_TIME LastAccessTime;
  EFI_TIME ModificationTime;
  UINT64 Attribute;
};
static_assert(__builtin_offsetof(EFI_FILE_INFO, Attribute) == 72);
static_assert(sizeof(EFI_FILE_INFO) == 80);

struct EFI_FILE_PROTOCOL;
using EFI_FILE_OPEN = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle,
                                           const CHAR16 *FileName, UINT64 OpenMode, UINT64 Attributes);
// Closes the handle whatever it returns.
using EFI_FILE_CLOSE = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This);
// Closes the handle; EFI_WARN_DELETE_FAILURE when the file was not deleted.
using EFI_FILE_DELETE = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This);
using EFI_FILE_READ = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, void *Buffer);
using EFI_FILE_WRITE = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, const void *Buffer);
using EFI_FILE_GET_POSITION = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, UINT64 *Position);
using EFI_FILE_SET_POSITION = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, UINT64 Position);
using EFI_FILE_GET_INFO = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType,
                                               UINTN *BufferSize, void *Buffer);
using EFI_FILE_SET_INFO = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType,
                                               UINTN BufferSize, const void *Buffer);
using EFI_FILE_FLUSH = EFI_STATUS(EFIAPI *)(EFI_FILE_PROTOCOL *This);

// Revision 2 adds the asynchronous members (OpenEx and on); nobody here calls them.
struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  EFI_FILE_DELETE Delete;
  EFI_FILE_READ Read;
  EFI_FILE_WRITE Write;
  EFI_FILE_GET_POSITION GetPosition;
  EFI_FILE_SET_POSITION SetPosition;
  EFI_FILE_GET_INFO GetInfo;
  EFI_FILE_SET_INFO SetInfo;
  EFI_FILE_FLUSH Flush;
  void *OpenEx;
  void *ReadEx;
  void *WriteEx;
  void *FlushEx;
};
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Open) == 8);
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Write) == 5 * 8);
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Flush) == 10 * 8);
static_assert(sizeof(EFI_FILE_PROTOCOL) == 15 * 8);

// ---- Simple file system ----------------------------------------------------
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
using EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME =
    EFI_STATUS(EFIAPI *)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME OpenVolume;
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);

// ---- Shell parameters ------------------------------------------------------
// Installed by the shell on the image handle of each application it starts:
// the command line split into words, Argv[0] the application's own name.
struct EFI_SHELL_PARAMETERS_PROTOCOL {
  CHAR16 **Argv;
  UINTN Argc;
  void *StdIn;  // SHELL_FILE_HANDLE
  void *StdOut;
  void *StdErr;
};
static_assert(__builtin_offsetof(EFI_SHELL_PARAMETERS_PROTOCOL, Argc) == 8);
static_assert(sizeof(EFI_SHELL_PARAMETERS_PROTOCOL) == 5 * 8);

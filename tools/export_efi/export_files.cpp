#include "tools/export_efi/export_files.h"

#include "driver/globals.h"
#include "support/pool.h"
#include "support/strings.h"
#include "tools/export_efi/export_args.h"
#include "uefi/guids.h"

namespace {

constexpr UINT64 READ_WRITE = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;

EFI_STATUS OpenImageVolume(EFI_HANDLE ImageHandle, EFI_FILE_PROTOCOL **Root) {
  void *Interface = nullptr;
  EFI_STATUS Status = BootServices->HandleProtocol(ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  const auto *Image = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  if (Image == nullptr || Image->DeviceHandle == nullptr) return EFI_UNSUPPORTED;
  Interface = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(Image->DeviceHandle, &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID,
                                             &Interface)) ||
      Interface == nullptr)
    return EFI_UNSUPPORTED;
  auto *FileSystem = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *>(Interface);
  return FileSystem->OpenVolume(FileSystem, Root);
}

// Creating a directory over a file of that name opens the file.
//   EFI_SUCCESS        File is a directory
//   EFI_ACCESS_DENIED  it is a file
//   any status of GetInfo, EFI_OUT_OF_RESOURCES
EFI_STATUS RequireDirectory(EFI_FILE_PROTOCOL *File) {
  UINTN Size = 0;
  EFI_STATUS Status = File->GetInfo(File, &EFI_FILE_INFO_ID, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_DEVICE_ERROR;
  if (Size < sizeof(EFI_FILE_INFO)) return EFI_DEVICE_ERROR;
  auto *Info = static_cast<EFI_FILE_INFO *>(PoolAllocZero(Size));
  if (Info == nullptr) return EFI_OUT_OF_RESOURCES;
  Status = File->GetInfo(File, &EFI_FILE_INFO_ID, &Size, Info);
  if (!EFI_ERROR(Status) && (Info->Attribute & EFI_FILE_DIRECTORY) == 0) Status = EFI_ACCESS_DENIED;
  PoolFree(Info);
  return Status;
}

// Opens (or creates) the directory Name below *Current and closes *Current, so
// the walk down holds one handle at a time.
EFI_STATUS StepInto(EFI_FILE_PROTOCOL **Current, const CHAR16 *Name) {
  EFI_FILE_PROTOCOL *Child = nullptr;
  EFI_STATUS Status =
      (*Current)->Open(*Current, &Child, Name, READ_WRITE | EFI_FILE_MODE_CREATE, EFI_FILE_DIRECTORY);
  (*Current)->Close(*Current);
  *Current = nullptr;
  if (EFI_ERROR(Status)) return Status;
  if (Child == nullptr) return EFI_DEVICE_ERROR;
  Status = RequireDirectory(Child);
  if (EFI_ERROR(Status)) {
    Child->Close(Child);
    return Status;
  }
  *Current = Child;
  return EFI_SUCCESS;
}

// Writes all of Bytes; Write may take less than it was given.
EFI_STATUS WriteAll(EFI_FILE_PROTOCOL *File, ByteView Bytes) {
  UINTN Done = 0;
  while (Done < Bytes.Size()) {
    UINTN Chunk = Bytes.Size() - Done;
    const EFI_STATUS Status = File->Write(File, &Chunk, Bytes.Data() + Done);
    if (EFI_ERROR(Status)) return Status;
    if (Chunk == 0 || Chunk > Bytes.Size() - Done) return EFI_DEVICE_ERROR;
    Done += Chunk;
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS OpenOutputDirectory(EFI_HANDLE ImageHandle, const CHAR16 *Directory, EFI_FILE_PROTOCOL **Opened) {
  *Opened = nullptr;
  EFI_FILE_PROTOCOL *Current = nullptr;
  EFI_STATUS Status = OpenImageVolume(ImageHandle, &Current);
  if (EFI_ERROR(Status)) return Status;
  if (Current == nullptr) return EFI_DEVICE_ERROR;
  // One name at a time: a file system need not create missing parents itself.
  CHAR16 Name[EXPORT_MAX_DIRECTORY_CHARS + 1];
  const UINTN Length = Utf16LengthBounded(Directory, EXPORT_MAX_DIRECTORY_CHARS + 1);
  if (Length > EXPORT_MAX_DIRECTORY_CHARS) {
    Current->Close(Current);
    return EFI_INVALID_PARAMETER;
  }
  for (UINTN Start = 0; Start < Length;) {
    UINTN End = Start;
    while (End < Length && Directory[End] != u'\\') ++End;
    for (UINTN Index = Start; Index < End; ++Index) Name[Index - Start] = Directory[Index];
    Name[End - Start] = u'\0';
    if (End > Start) {
      Status = StepInto(&Current, Name);
      if (EFI_ERROR(Status)) return Status;
    }
    Start = End + 1;
  }
  *Opened = Current;
  return EFI_SUCCESS;
}

bool RemoveFileIfPresent(EFI_FILE_PROTOCOL *Directory, const CHAR16 *Name) {
  EFI_FILE_PROTOCOL *File = nullptr;
  if (EFI_ERROR(Directory->Open(Directory, &File, Name, READ_WRITE, 0)) || File == nullptr) return false;
  File->Delete(File);
  return true;
}

EFI_STATUS WriteWholeFile(EFI_FILE_PROTOCOL *Directory, const CHAR16 *Name, ByteView Bytes) {
  EFI_FILE_PROTOCOL *File = nullptr;
  EFI_STATUS Status = Directory->Open(Directory, &File, Name, READ_WRITE, 0);
  if (!EFI_ERROR(Status) && File != nullptr && File->Delete(File) != EFI_SUCCESS) return EFI_ACCESS_DENIED;

  File = nullptr;
  Status = Directory->Open(Directory, &File, Name, READ_WRITE | EFI_FILE_MODE_CREATE, 0);
  if (EFI_ERROR(Status)) return Status;
  if (File == nullptr) return EFI_DEVICE_ERROR;
  Status = WriteAll(File, Bytes);
  if (!EFI_ERROR(Status)) Status = File->Flush(File);
  if (EFI_ERROR(Status)) {
    File->Delete(File);
    return Status;
  }
  Status = File->Close(File);
  if (EFI_ERROR(Status)) RemoveFileIfPresent(Directory, Name);
  return Status;
}

// Files on the volume the application was loaded from, through the firmware's
// simple file system protocol.
#pragma once
#include "support/bytes.h"
#include "uefi/file_system.h"

// Opens Directory ("" for the root; names separated by "\") on the volume of
// the device the image was loaded from, creating each missing directory on the
// way. The caller closes *Directory.
//   EFI_SUCCESS      *Directory open for reading and writing
//   EFI_UNSUPPORTED  the image came from a device without a file system (a
//                    firmware volume, the network)
//   any status of HandleProtocol, OpenVolume or Open (EFI_WRITE_PROTECTED,
//   EFI_ACCESS_DENIED when a file of that name is in the way, ...)
EFI_STATUS OpenOutputDirectory(EFI_HANDLE ImageHandle, const CHAR16 *Directory, EFI_FILE_PROTOCOL **Opened);

// Writes Bytes as the whole of the file Name in Directory. A file already there
// is deleted first: opening it would keep its old tail past the new end. A file
// left incomplete by a failed write is deleted, so no file is ever half written.
//   EFI_SUCCESS          the file holds exactly Bytes
//   EFI_ACCESS_DENIED    an old file of that name could not be deleted
//   EFI_VOLUME_FULL, EFI_WRITE_PROTECTED, EFI_DEVICE_ERROR, ... of Open, Write,
//   Flush or Close; EFI_DEVICE_ERROR also when Write stops short without an error
EFI_STATUS WriteWholeFile(EFI_FILE_PROTOCOL *Directory, const CHAR16 *Name, ByteView Bytes);

// Deletes Name in Directory when it is there (true: it was there).
bool RemoveFileIfPresent(EFI_FILE_PROTOCOL *Directory, const CHAR16 *Name);

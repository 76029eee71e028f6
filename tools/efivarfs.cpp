#include "tools/efivarfs.h"

// The header of this version declares some functions without C linkage.
extern "C" {
#include <efivar.h>
}
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char KERNEL_EFIVARFS_DIRECTORY[] = "/sys/firmware/efi/efivars/";
constexpr std::uint32_t EFIVARFS_MAGIC_NUMBER = 0xde5e81e4;

efi_guid_t ToEfivarGuid(const EfiGuidBytes &Guid) {
  static_assert(sizeof(efi_guid_t) == sizeof(EfiGuidBytes));
  efi_guid_t Result;
  std::memcpy(&Result, Guid.data(), sizeof(Result));
  return Result;
}

std::string FileName(const EfiGuidBytes &Guid, const std::string &Name) {
  char *Text = nullptr;
  const efi_guid_t EfivarGuid = ToEfivarGuid(Guid);
  if (efi_guid_to_str(&EfivarGuid, &Text) < 0) return Name;
  std::string Result = Name + "-" + Text;
  std::free(Text);
  return Result;
}

EfivarfsOutcome Outcome(EfivarfsStatus Status, std::string Message) { return {Status, std::move(Message)}; }

// libefivar leaves errno as the failing system call set it.
EfivarfsOutcome WriteFailure(int Error, const std::string &File) {
  const std::string Where = EfivarfsDirectory() + File;
  switch (Error) {
    case EROFS:
      return Outcome(EfivarfsStatus::ReadOnly, "efivarfs at " + EfivarfsDirectory() +
                                                   " is mounted read-only; remount it read-write first "
                                                   "(mount -o remount,rw " +
                                                   EfivarfsDirectory() + ")");
    case EACCES:
    case EPERM:
      return Outcome(EfivarfsStatus::Denied,
                     "permission denied writing " + Where + ": changing UEFI variables needs root");
    case ENOSPC:
      return Outcome(EfivarfsStatus::Failed,
                     "the firmware's variable store is full; " + Where + " was not written");
    default:
      return Outcome(EfivarfsStatus::Failed, "cannot write " + Where + ": " + std::strerror(Error));
  }
}

}  // namespace

std::string EfivarfsDirectory() {
  const char *Configured = std::getenv("EFIVARFS_PATH");
  return Configured != nullptr ? Configured : KERNEL_EFIVARFS_DIRECTORY;
}

EfivarfsOutcome RestartWithEfivarfsSlash(const std::vector<std::string> &Arguments) {
  const char *Configured = std::getenv("EFIVARFS_PATH");
  if (Configured == nullptr || *Configured == '\0' || Configured[std::strlen(Configured) - 1] == '/')
    return {};
  const std::string WithSlash = std::string(Configured) + "/";
  std::vector<char *> Argv;
  for (const std::string &Argument : Arguments) Argv.push_back(const_cast<char *>(Argument.c_str()));
  Argv.push_back(nullptr);
  if (setenv("EFIVARFS_PATH", WithSlash.c_str(), 1) == 0) execv("/proc/self/exe", Argv.data());
  return Outcome(EfivarfsStatus::Failed, "cannot restart with EFIVARFS_PATH=" + WithSlash + ": " +
                                             std::strerror(errno) + "; set it with its final '/'");
}

EfivarfsOutcome CheckEfivarfs() {
  const std::string Directory = EfivarfsDirectory();
  const bool Configured = std::getenv("EFIVARFS_PATH") != nullptr;
  struct stat Status;
  if (stat(Directory.c_str(), &Status) != 0 || !S_ISDIR(Status.st_mode)) {
    if (Configured)
      return Outcome(EfivarfsStatus::Unavailable,
                     "no efivarfs at " + Directory + " (EFIVARFS_PATH): no such directory");
    return Outcome(EfivarfsStatus::Unavailable,
                   "no efivarfs at " + Directory +
                       ": the system did not start through UEFI, or efivarfs is not mounted "
                       "(mount -t efivarfs efivarfs /sys/firmware/efi/efivars)");
  }
  // At the kernel's place only the real file system will do: libefivar would
  // otherwise fall back to older interfaces this tool does not handle. A
  // configured directory is taken as it is (tests use a plain one).
  struct statfs FileSystem;
  const bool IsEfivarfs = statfs(Directory.c_str(), &FileSystem) == 0 &&
                          static_cast<std::uint32_t>(FileSystem.f_type) == EFIVARFS_MAGIC_NUMBER;
  if ((!Configured && !IsEfivarfs) || efi_variables_supported() == 0)
    return Outcome(EfivarfsStatus::Unavailable,
                   "efivarfs is not mounted at " + Directory +
                       " (mount -t efivarfs efivarfs /sys/firmware/efi/efivars)");
  return {};
}

EfivarfsOutcome ReadEfiVariable(const EfiGuidBytes &Guid, const std::string &Name, EfiVariableContents *Out) {
  std::uint8_t *Data = nullptr;
  size_t Size = 0;
  std::uint32_t Attributes = 0;
  errno = 0;
  if (efi_get_variable(ToEfivarGuid(Guid), Name.c_str(), &Data, &Size, &Attributes) < 0) {
    const int Error = errno;
    efi_error_clear();
    const std::string Where = EfivarfsDirectory() + FileName(Guid, Name);
    if (Error == ENOENT) return Outcome(EfivarfsStatus::NotFound, "no variable " + Where);
    if (Error == EACCES || Error == EPERM)
      return Outcome(EfivarfsStatus::Denied, "permission denied reading " + Where);
    return Outcome(EfivarfsStatus::Failed, "cannot read " + Where + ": " + std::strerror(Error));
  }
  Out->Attributes = Attributes;
  Out->Data.assign(Data, Data + Size);
  std::free(Data);
  return {};
}

EfivarfsOutcome WriteEfiVariable(const EfiGuidBytes &Guid, const std::string &Name,
                                 const EfiVariableContents &Contents) {
  const std::string File = FileName(Guid, Name);
  // Said up front, before libefivar has touched the file's flags.
  struct statvfs FileSystem;
  if (statvfs(EfivarfsDirectory().c_str(), &FileSystem) == 0 && (FileSystem.f_flag & ST_RDONLY) != 0)
    return WriteFailure(EROFS, File);
  const std::uint32_t Attributes = Contents.Attributes;
  errno = 0;
  if (efi_set_variable(ToEfivarGuid(Guid), Name.c_str(), const_cast<std::uint8_t *>(Contents.Data.data()),
                       Contents.Data.size(), Attributes, 0644) < 0) {
    const int Error = errno;
    efi_error_clear();
    return WriteFailure(Error, File);
  }
  EfiVariableContents ReadBack;
  const EfivarfsOutcome Read = ReadEfiVariable(Guid, Name, &ReadBack);
  if (!Read.Ok()) return Outcome(EfivarfsStatus::Failed, "written, but " + Read.Message);
  if (ReadBack.Data != Contents.Data || ReadBack.Attributes != Attributes)
    return Outcome(EfivarfsStatus::Failed,
                   EfivarfsDirectory() + File + " reads back otherwise than it was written");
  return {};
}

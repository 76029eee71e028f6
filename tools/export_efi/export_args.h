// The command line of the export application: where it comes from (the
// shell's parameters, else the image's load options) and what it says.
//
//   AddOnCardExport.efi [-h] [VVVV:DDDD ...] [DIRECTORY]
//
// VVVV:DDDD (one to four hex digits each) keeps only the package lists of PCI
// functions with those IDs; DIRECTORY (on the application's own volume, "/" or
// "\" between names) receives the files instead of the volume's root.
#pragma once
#include "uefi/base.h"

inline constexpr UINTN EXPORT_MAX_ID_FILTERS = 16;
inline constexpr UINTN EXPORT_MAX_DIRECTORY_CHARS = 240;
// Words taken from load options; more are refused rather than dropped.
inline constexpr UINTN EXPORT_MAX_WORDS = 32;
inline constexpr UINTN EXPORT_MAX_COMMAND_LINE_CHARS = 1024;

struct PCI_ID_PAIR {
  UINT16 VendorId;
  UINT16 DeviceId;
};

struct EXPORT_OPTIONS {
  bool Help;
  UINTN FilterCount;
  PCI_ID_PAIR Filters[EXPORT_MAX_ID_FILTERS];
  bool DirectoryGiven;
  // Names separated by "\", without a leading or trailing one; empty: the root.
  CHAR16 Directory[EXPORT_MAX_DIRECTORY_CHARS + 1];
};

// True when no filter is given or one of them names these IDs.
bool ExportFilterMatches(const EXPORT_OPTIONS &Options, UINT16 VendorId, UINT16 DeviceId);

// Reads the words of a command line (the application's name not among them).
//   EFI_SUCCESS            *Options filled
//   EFI_INVALID_PARAMETER  a word is empty or an unknown option, a second
//                          directory, a directory with a volume name (":") or a
//                          control character, or one too long; too many filters.
//                          *BadWord is its index.
EFI_STATUS ParseExportArguments(const CHAR16 *const *Words, UINTN WordCount, EXPORT_OPTIONS *Options,
                                UINTN *BadWord);

// A command line held in load options, split into words. The text is copied
// into Storage and each word ended there; Words point into Storage. Words in
// double quotes may hold spaces. A first word ending in ".efi" is the
// application's own name (as a shell or boot manager may put it first) and is
// dropped.
struct COMMAND_LINE_WORDS {
  CHAR16 Storage[EXPORT_MAX_COMMAND_LINE_CHARS + 1];
  const CHAR16 *Words[EXPORT_MAX_WORDS];
  UINTN Count;
};

// Splits LoadOptions (Size bytes) into Line. Load options are a command line
// only when they are UTF-16 text of printable ASCII, ended by a NUL or by their
// size: boot managers also pass binary data there.
//   EFI_SUCCESS            Line holds the words (none for empty options)
//   EFI_UNSUPPORTED        the options are not such text; Line holds no words
//   EFI_BAD_BUFFER_SIZE    the text is longer than the storage, or has too many words
EFI_STATUS SplitLoadOptions(const void *LoadOptions, UINTN Size, COMMAND_LINE_WORDS *Line);

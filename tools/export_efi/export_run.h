// The export application's work, apart from its image entry point so that the
// host tests run it in the simulator.
//
// For each package list of the HII database, in the database's order, that
// belongs to a PCI function (and, when IDs are given, to a function with one
// of them), the export writes card-NN.hpk (the list as ExportPackageLists
// writes it for that one handle) and card-NN.pci (its sidecar, see
// export_text.h, with the contents of the list's stores last, see
// export_stores.h), NN counting the selected lists from 00. index.txt names the
// pairs written, one "card-NN.hpk card-NN.pci" line each. An earlier index is
// removed first and the new one written last, also when nothing was selected,
// so an index.txt present names whole pairs of this run only; card-NN files of
// an earlier run beyond this run's count are removed too.
#pragma once
#include "tools/export_efi/export_args.h"
#include "uefi/file_system.h"

struct EXPORT_TALLY {
  UINTN Lists;     // package lists in the database
  UINTN NotPci;    // of them, lists of no PCI function
  UINTN OtherIds;  // lists of PCI functions whose IDs were not asked for
  UINTN Selected;  // lists to write
  UINTN Written;   // of them, lists whose two files were written
  EFI_STATUS FirstError;
};

// Writes the selected lists and index.txt into Directory, reporting each list
// and each failure on the console.
//   EFI_SUCCESS    every selected list and index.txt written
//   EFI_NOT_FOUND  no list was selected (index.txt written, empty)
//   otherwise the first failure: listing the database, exporting a list,
//   telling a list's PCI function, writing a file (the lists after it are
//   still written)
EFI_STATUS ExportToDirectory(const EXPORT_OPTIONS &Options, EFI_FILE_PROTOCOL *Directory,
                             EXPORT_TALLY *Tally);

// The whole application: the command line from the shell's parameters on the
// image handle, else from the image's load options; usage for -h; then the
// export into the directory asked for on the image's own volume.
//   EFI_SUCCESS            usage printed, or everything written
//   EFI_INVALID_PARAMETER  a malformed command line (usage printed)
//   EFI_UNSUPPORTED        the image's device has no file system
//   any status of ExportToDirectory or of opening the directory
EFI_STATUS RunExport(EFI_HANDLE ImageHandle);

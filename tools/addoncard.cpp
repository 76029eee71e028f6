// addoncard: host command-line tool around the driver sources.
//
//   addoncard packages DIR   write DIR/strings.bin and DIR/forms.bin, the two
//                            package arrays exactly as the driver holds them
//   addoncard pci-list       show the supported vendor/device pairs in
//                            TLX_ADDONCARD_PCI_VAR; `add` and `remove` edit them
//   addoncard preview FILE.. the card pages the driver builds over exported
//                            package lists, as text or (--json) a keyword registry
//
// Each command is one row of COMMANDS: a name, a usage line and a function that
// receives the arguments after the command name and returns the exit status.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "forms/static_packages.h"
#include "tools/tool.h"

namespace {

struct ToolCommand {
  const char *Name;
  const char *Usage;
  int (*Run)(int ArgumentCount, char **Arguments);
};

bool WriteFile(const std::string &Path, const UINT8 *Bytes, size_t Size) {
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  File.write(reinterpret_cast<const char *>(Bytes), static_cast<std::streamsize>(Size));
  File.close();
  if (!File) {
    std::fprintf(stderr, "addoncard: cannot write %s\n", Path.c_str());
    return false;
  }
  return true;
}

int RunPackages(int ArgumentCount, char **Arguments) {
  if (ArgumentCount != 1) return EXIT_USAGE;
  const std::string Directory = Arguments[0];
  const bool Written = WriteFile(Directory + "/strings.bin", AddOnCardStrings, sizeof(AddOnCardStrings)) &&
                       WriteFile(Directory + "/forms.bin", AddOnCardForms, sizeof(AddOnCardForms));
  return Written ? EXIT_OK : EXIT_FAILED;
}

const ToolCommand COMMANDS[] = {
    {"packages", "packages DIR   write DIR/strings.bin and DIR/forms.bin (the static package arrays)",
     RunPackages},
    {"pci-list", "pci-list [add|remove VVVV:DDDD...]   show or edit the supported vendor/device pairs",
     RunPciList},
    {"preview",
     "preview [--json] [--card FILE=VVVV:DDDD@SSSS:BB:DD.F]... [FILE.hpk|DIRECTORY]...   show the pages the "
     "driver builds over exported package lists",
     RunPreview},
};

void PrintUsage(std::FILE *Stream) {
  std::fprintf(Stream, "usage: addoncard COMMAND [ARGUMENTS]\ncommands:\n");
  for (const ToolCommand &Command : COMMANDS) std::fprintf(Stream, "  %s\n", Command.Usage);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return EXIT_USAGE;
  }
  if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    PrintUsage(stdout);
    return EXIT_OK;
  }
  for (const ToolCommand &Command : COMMANDS) {
    if (std::strcmp(argv[1], Command.Name) != 0) continue;
    const int Status = Command.Run(argc - 2, argv + 2);
    if (Status == EXIT_USAGE) std::fprintf(stderr, "usage: addoncard %s\n", Command.Usage);
    return Status;
  }
  std::fprintf(stderr, "addoncard: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return EXIT_USAGE;
}

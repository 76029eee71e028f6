// What the addoncard tool's commands share: exit statuses and the commands
// that live in files of their own.
#pragma once

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the command could not do its job; the reason is on stderr
inline constexpr int EXIT_USAGE = 2;   // the command line is wrong; main prints the usage line

// addoncard pci-list [add|remove VVVV:DDDD...]
int RunPciList(int ArgumentCount, char **Arguments);
// addoncard preview [--json] [--card FILE=VVVV:DDDD@SSSS:BB:DD.F]... [FILE|DIRECTORY]...
int RunPreview(int ArgumentCount, char **Arguments);

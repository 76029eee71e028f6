// addoncard preview: runs the AddOnCard driver inside the host firmware
// simulator over package lists exported from a machine and shows what it
// builds. Output is written only once the whole preview succeeded: a file that
// cannot be used leaves stdout empty and exits with EXIT_FAILED.
#include "tools/preview.h"

#include <cstdio>

#include "tools/tool.h"

int RunPreview(int ArgumentCount, char **Arguments) {
  try {
    const preview::Options Given = preview::ReadOptions(ArgumentCount, Arguments);
    const preview::Preview Built = preview::RunDriver(Given);
    const std::string Output =
        Given.Json ? preview::RenderRegistry(Given, Built) : preview::RenderText(Given, Built);
    std::fwrite(Output.data(), 1, Output.size(), stdout);
    return std::fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
  } catch (const preview::InputError &Error) {
    std::fprintf(stderr, "addoncard: %s: byte %llu: %s\n", Error.File().c_str(),
                 static_cast<unsigned long long>(Error.Offset()), Error.what());
  } catch (const preview::RunError &Error) {
    std::fprintf(stderr, "addoncard: %s\n", Error.what());
  } catch (const std::invalid_argument &Error) {
    std::fprintf(stderr, "addoncard: %s\n", Error.what());
    return EXIT_USAGE;
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "addoncard: preview failed: %s\n", Error.what());
  }
  return EXIT_FAILED;
}

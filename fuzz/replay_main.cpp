// A plain main for the coverage build of the harnesses: each argument, a file
// or a directory of files, is read and handed to LLVMFuzzerTestOneInput once.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);

namespace {

void RunFile(const std::filesystem::path &Path) {
  std::ifstream File(Path, std::ios::binary);
  const std::vector<char> Bytes((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(Bytes.data()), Bytes.size());
}

}  // namespace

int main(int Argc, char **Argv) {
  std::size_t Runs = 0;
  for (int Index = 1; Index < Argc; ++Index) {
    const std::filesystem::path Path(Argv[Index]);
    if (std::filesystem::is_directory(Path)) {
      for (const auto &Entry : std::filesystem::directory_iterator(Path))
        if (Entry.is_regular_file()) {
          RunFile(Entry.path());
          ++Runs;
        }
    } else {
      RunFile(Path);
      ++Runs;
    }
  }
  std::printf("replayed %zu inputs\n", Runs);
  return 0;
}

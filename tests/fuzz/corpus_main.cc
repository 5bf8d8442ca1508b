// Runs a fuzz target over every file of the folders (or files) named on the command line, once
// each, as libFuzzer would replay them. Exit status 1 when a folder cannot be read.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_regular_file(path, error)) {
      RunFile(path);
      ++files;
      continue;
    }
    std::filesystem::directory_iterator it(path, error);
    if (error) {
      std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
      return 1;
    }
    for (const auto& entry : it) {
      if (entry.is_regular_file(error)) {
        RunFile(entry.path());
        ++files;
      }
    }
  }
  // An empty input is a case too.
  LLVMFuzzerTestOneInput(nullptr, 0);
  std::printf("%d inputs\n", files);
  return 0;
}

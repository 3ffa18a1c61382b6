// A fuzz target as a plain program, for the trees built without clang: runs
// its LLVMFuzzerTestOneInput once over each file named on the command line
// and over every file of each folder named (in name order), as libFuzzer does
// with files. Each input is handed over in a heap block of its exact size, so
// that under AddressSanitizer a read past its end is seen. A broken property
// aborts the program; a folder without files, or a file that cannot be read,
// fails it too, so that a lost corpus is not taken for a passing one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool ReadFile(const fs::path& path, std::vector<char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      std::vector<fs::path> found;
      for (const fs::directory_entry& entry : fs::directory_iterator(argv[i], error)) {
        if (entry.is_regular_file()) found.push_back(entry.path());
      }
      if (found.empty()) {
        std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
        return 1;
      }
      std::sort(found.begin(), found.end());
      inputs.insert(inputs.end(), found.begin(), found.end());
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  size_t total = 0;
  for (const fs::path& path : inputs) {
    std::vector<char> bytes;
    if (!ReadFile(path, &bytes)) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
      return 1;
    }
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(block.get(), bytes.size());
    total += bytes.size();
  }
  std::printf("%s: replayed %zu inputs, %zu bytes\n", argv[0], inputs.size(), total);
  return 0;
}

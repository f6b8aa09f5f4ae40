// Runs a fuzz target once on every file named on the command line, or found in
// a directory named there, so that its corpus replays as an ordinary test
// without libFuzzer (under g++ too).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool readFile(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The files to run, in name order so that a failing run is repeatable.
bool collectInputs(const fs::path& arg, std::vector<fs::path>& inputs) {
  std::error_code ec;
  if (!fs::is_directory(arg, ec)) {
    inputs.push_back(arg);
    return true;
  }
  std::vector<fs::path> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(arg, ec)) {
    if (entry.is_regular_file(ec)) found.push_back(entry.path());
  }
  if (ec) return false;
  std::sort(found.begin(), found.end());
  inputs.insert(inputs.end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!collectInputs(argv[i], inputs)) {
      std::fprintf(stderr, "cannot list the directory %s\n", argv[i]);
      return 1;
    }
  }
  // An empty corpus would pass without testing anything.
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY... (no input found)\n", argv[0]);
    return 1;
  }
  std::vector<uint8_t> bytes;
  for (const fs::path& input : inputs) {
    if (!readFile(input, bytes)) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    // Named before the run, so that the input of a crash is the last one shown.
    std::fprintf(stderr, "running %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs passed\n", inputs.size());
  return 0;
}

// Replays fuzz inputs without libFuzzer: each argument is a file or a
// directory of files (not recursive), run in name order. Used by CTest to run
// the checked-in corpus under the ordinary build, and to replay a crash file
// or a machine's history by hand.
//
//   fuzz_<target> [--persistent] [--variant=N] FILE|DIR...
//
// By default every input runs on a freshly built machine, once for each of
// the target's variants, so that a crash file replays the same way every
// time. --persistent runs all inputs in order through one machine per
// variant, as the fuzzer does (a history written at a failure replays so).
// --variant=N runs only that variant. The machines are torn down at the end,
// with the host's leak checks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  bool persistent = false;
  int only_variant = -1;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--persistent") == 0) {
      persistent = true;
      continue;
    }
    if (std::strncmp(argv[i], "--variant=", 10) == 0) {
      only_variant = std::atoi(argv[i] + 10);
      continue;
    }
    fs::path arg(argv[i]);
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(arg, error)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s [--persistent] [--variant=N] FILE|DIR...\n", argv[0]);
    return 2;
  }
  std::vector<std::vector<uint8_t>> contents;
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    contents.emplace_back((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  const unsigned variants = usbeth::fuzz::TargetVariants();
  size_t runs = 0;
  for (unsigned variant = 0; variant < variants; variant++) {
    if (only_variant >= 0 && static_cast<unsigned>(only_variant) != variant) continue;
    usbeth::fuzz::Replay() = {!persistent, static_cast<int>(variant)};
    for (size_t i = 0; i < inputs.size(); i++) {
      std::fprintf(stderr, "replaying %s (%zu bytes, variant %u)\n", inputs[i].c_str(),
                   contents[i].size(), variant);
      LLVMFuzzerTestOneInput(contents[i].data(), contents[i].size());
      runs++;
    }
    usbeth::fuzz::RetireMachines();
  }
  std::printf("%zu inputs replayed, %zu runs\n", inputs.size(), runs);
  return 0;
}

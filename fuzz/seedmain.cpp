// The seed program of one fuzz target: writes the target's seeds into its
// seed folder, adds the given files, and checks that every seed reaches the
// target's accept path and fits its maximum input. Also writes the target's
// libFuzzer options. Exits 1, naming the seeds, when one does not.
//
//   seeds_<target> <seed folder> <options file> [seed file...]
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// libFuzzer's maximum input when none is given.
constexpr std::size_t kDefaultMaxLen = 4096;

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <seed folder> <options file> [seed file...]\n", argv[0]);
    return 2;
  }
  const fs::path folder = argv[1];
  tarn::fuzz::Seeds seeds;
  FuzzSeeds(&seeds);
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 1;
    }
    seeds.Add(fs::path(argv[i]).filename().string(),
              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  if (seeds.list.empty()) {
    std::fprintf(stderr, "%s: the target names no seeds\n", argv[0]);
    return 1;
  }

  // The folder holds exactly this build's seeds: a renamed seed leaves no
  // stale file behind.
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "%s: cannot create %s\n", argv[0], folder.c_str());
    return 1;
  }
  const std::size_t maxLen = seeds.maxLen != 0 ? seeds.maxLen : kDefaultMaxLen;
  int failed = 0;
  for (const tarn::fuzz::Seed& seed : seeds.list) {
    if (!WriteFile(folder / seed.name, seed.bytes)) {
      std::fprintf(stderr, "%s: cannot write seed %s\n", argv[0], seed.name.c_str());
      return 1;
    }
    if (seed.bytes.size() > maxLen) {
      std::fprintf(stderr, "%s: seed %s has %zu bytes, more than the maximum input of %zu\n",
                   argv[0], seed.name.c_str(), seed.bytes.size(), maxLen);
      ++failed;
    }
    tarn::fuzz::acceptedInputs = 0;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.bytes.data()),
                           seed.bytes.size());
    if (tarn::fuzz::acceptedInputs == 0) {
      std::fprintf(stderr, "%s: seed %s does not reach the accept path\n", argv[0],
                   seed.name.c_str());
      ++failed;
    }
  }
  const std::string options =
      seeds.maxLen != 0 ? "-max_len=" + std::to_string(seeds.maxLen) + "\n" : std::string();
  if (!WriteFile(argv[2], options)) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
    return 1;
  }
  return failed == 0 ? 0 : 1;
}

// Seeds and the accept mark of the fuzz targets. Every target names the
// inputs the build writes as its first corpus, made with the writers of the
// format it reads, and marks the point where an input was taken as valid;
// the build fails when one of its seeds no longer gets there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn::fuzz {

struct Seed {
  std::string name;  // file name inside the target's seed folder
  std::string bytes;
};

struct Seeds {
  // libFuzzer's -max_len for the target: room for the largest input of its
  // format worth mutating. 0 leaves libFuzzer's default of 4096 bytes, which
  // every seed must then fit.
  std::size_t maxLen = 0;
  std::vector<Seed> list;

  void Add(std::string name, std::string_view bytes) {
    list.push_back({std::move(name), std::string(bytes)});
  }
  void Add(std::string name, std::span<const std::uint8_t> bytes) {
    Add(std::move(name),
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  // An input whose first byte selects what the target does with the rest.
  void Add(std::string name, std::uint8_t selector, std::string_view rest) {
    Add(std::move(name), std::string(1, static_cast<char>(selector)).append(rest));
  }
};

// Inputs that reached an accept path since the seed check last looked.
inline int acceptedInputs = 0;

// Called by a target where the current input was accepted.
inline void Accepted() {
  ++acceptedInputs;
}

// Where a target puts the files it needs while it runs: the temporary folder
// of the install root when TARN_ROOT is set (as in fuzz runs), else $TMPDIR,
// else /tmp.
inline std::string ScratchDir() {
  if (const char* root = std::getenv("TARN_ROOT"); root != nullptr && root[0] != '\0')
    return std::string(root) + "/var/opt/tarn/tmp";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

}  // namespace tarn::fuzz

// Defined by every fuzz target: its seeds.
void FuzzSeeds(tarn::fuzz::Seeds* seeds);

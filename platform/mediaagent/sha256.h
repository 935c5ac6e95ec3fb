// SHA-256 for the stand-in media agent's stream metadata: a stream's digest is
// computed block by block as the blocks are stored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarn::mediaagent {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;
  // kBest takes the processor's SHA instructions when it has them.
  enum class Engine { kBest, kPortable };

  explicit Sha256(Engine engine = Engine::kBest);
  // Whether kBest uses the processor's SHA instructions here.
  static bool HardwareAvailable();
  void update(std::span<const std::uint8_t> bytes);
  // The digest of everything given so far; the object may not be updated after.
  Digest finish();
  // finish() as 64 lower-case hexadecimal digits.
  std::string hex();

 private:
  // Runs `blocks` 64-byte blocks from `data` through the state.
  void compress(const std::uint8_t* data, std::size_t blocks);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
  bool hardware_ = false;
};

}  // namespace tarn::mediaagent

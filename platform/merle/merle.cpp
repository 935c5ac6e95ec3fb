// Encoding library stand-in: each byte is rotated and mixed with a 64-byte
// pattern selected by its position, so equal plain bytes encode differently.
#include "merle/merle.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t kPatternSize = 64;

constexpr std::array<std::uint8_t, kPatternSize> MakePattern() {
  std::array<std::uint8_t, kPatternSize> p{};
  std::uint32_t x = 0x9E3779B9u;
  for (std::size_t i = 0; i < kPatternSize; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p[i] = static_cast<std::uint8_t>(x | 1);  // never 0: no byte is left as it was
  }
  return p;
}
constexpr std::array<std::uint8_t, kPatternSize> kPattern = MakePattern();

int initCalls = 0;

inline std::uint8_t Rotl3(std::uint8_t b) {
  return static_cast<std::uint8_t>(b << 3 | b >> 5);
}
inline std::uint8_t Rotr3(std::uint8_t b) {
  return static_cast<std::uint8_t>(b >> 3 | b << 5);
}

}  // namespace

int DeInit(char* buffer) {
  if (buffer == nullptr) return 0;
  return initCalls++ == 0 ? 1 : ~1;
}

int DeEncode(unsigned char* data, int length) {
  if (data == nullptr || length < 0 || initCalls == 0) return -1;
  for (int i = 0; i < length; ++i) data[i] = Rotl3(data[i]) ^ kPattern[i % kPatternSize];
  return 0;
}

int DeDecode(unsigned char* data, int length) {
  if (data == nullptr || length < 0 || initCalls == 0) return -1;
  for (int i = 0; i < length; ++i) data[i] = Rotr3(data[i] ^ kPattern[i % kPatternSize]);
  return 0;
}

void DeExit(void) {
  initCalls = 0;
}

// Throughput of the CRC-32 checksum over whole data buffers: slicing-by-16
// against the byte-at-a-time loop it replaces and against zlib's crc32.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "cmn/crc.h"
#include "cmn/defines.h"

TARN_RCSID("bench/crc_bench.cpp");

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) != 0 ? 0xEDB88320u : 0u);
    t[i] = r;
  }
  return t;
}
constexpr auto kTable = MakeTable();

std::uint32_t ByteLoopCrc(const unsigned char* p, std::size_t n) {
  std::uint32_t crc = 0;
  while (n-- > 0) crc = (crc >> 8) ^ kTable[(crc ^ *p++) & 0xFFu];
  return crc;
}

const std::vector<unsigned char>& Buffer(std::size_t size) {
  static std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(1u << 20);
    std::mt19937 random(7);
    for (auto& b : d) b = static_cast<unsigned char>(random());
    return d;
  }();
  (void)size;
  return data;
}

void BM_CmnGenerateCRC(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto& data = Buffer(n);
  for (auto _ : state) benchmark::DoNotOptimize(CmnGenerateCRC(data.data(), n));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_ByteLoop(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto& data = Buffer(n);
  for (auto _ : state) benchmark::DoNotOptimize(ByteLoopCrc(data.data(), n));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto& data = Buffer(n);
  for (auto _ : state) benchmark::DoNotOptimize(crc32_z(0L, data.data(), n));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_CmnGenerateCRC)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_ByteLoop)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(64 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();

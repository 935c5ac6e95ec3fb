// What the road programs share: one printed line per step, the figures in
// it, and deterministic table-space data for the stand-in DB2.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "db2/store.h"
#include "keyclaims.h"

namespace road {

// The instance and database both roads work with.
inline constexpr char kInstance[] = "db2inst1";
inline constexpr char kDatabase[] = "SAMPLE";
inline constexpr char kPassword[] = "road-s3cret";
inline constexpr int kPartitions[] = {0, 1};

using Clock = std::chrono::steady_clock;
inline constexpr double kMiB = 1024.0 * 1024.0;

// Steps that failed so far; the program's exit code follows it.
inline int failures = 0;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

inline void Step(bool ok, const std::string& what) {
  if (!ok) ++failures;
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
}

// Claims the System V keys of the install root TARN_ROOT names for as long
// as the result lives (other test roots on this machine could share them);
// null, with the reason printed, when it could not.
inline std::unique_ptr<tarn::test::KeyClaims> ClaimRootKeys(const char* program) {
  const char* root = std::getenv("TARN_ROOT");
  if (root == nullptr || *root == '\0') {
    std::fprintf(stderr, "%s: TARN_ROOT is not set\n", program);
    return nullptr;
  }
  auto claims = std::make_unique<tarn::test::KeyClaims>(std::string(root) + "/.keys");
  if (!claims->claimRoot(root)) {
    std::fprintf(stderr, "%s: %s\n", program, claims->error().c_str());
    return nullptr;
  }
  return claims;
}

inline std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// "<MiB> MiB in <s> s (<MiB/s> MiB/s)".
inline std::string Rate(double bytes, double seconds) {
  const double mib = bytes / kMiB;
  return Format("%.1f MiB in %.2f s (%.1f MiB/s)", mib, seconds, seconds > 0 ? mib / seconds : 0);
}

inline std::string Hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// Fills the first `n` bytes of `data` with the sequence that `x` carries on.
inline void Pattern(std::string& data, std::size_t n, std::uint32_t& x) {
  for (std::size_t i = 0; i < n; i += 4) {
    x = x * 1664525u + 1013904223u;
    std::memcpy(&data[i], &x, std::min<std::size_t>(4, n - i));
  }
}

// Appends `bytes` of deterministic data to a table space, 4 MiB at a time.
inline void Fill(const db2sim::Store& store, const std::string& instance,
                 const std::string& database, int node, const char* tableSpace, std::size_t bytes,
                 unsigned seed) {
  std::string chunk(4 << 20, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  while (bytes > 0) {
    const std::size_t n = std::min(bytes, chunk.size());
    Pattern(chunk, n, x);
    store.WriteData(instance, database, node, tableSpace, chunk.substr(0, n));
    bytes -= n;
  }
}

}  // namespace road

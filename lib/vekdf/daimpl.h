// Inside the data-stream format library: trace level and the reports every
// part of it makes.
#pragma once

#include <cstdint>
#include <cstring>

namespace vekdf_detail {

inline constexpr int kLevel = 70;
inline constexpr int kLevelRecord = 71;

// A fault of the calling code (an impossible request, a record type without a
// converter): marked and reported as an internal error; the process goes on.
void ReportInternal(const char* function, const char* file, int line);
// A block or record read back that cannot be used, at severity 3.
void ReportDamaged(const char* function, const char* file, int line);

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace vekdf_detail

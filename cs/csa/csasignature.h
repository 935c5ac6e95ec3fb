// Compile-time check of a message's items against the signature that
// StrMsgFAppend reads them with, so that a request built through C varargs
// cannot take an item of the wrong type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace csa_detail {

// True when `letter` is a conversion StrMsgFAppend knows.
constexpr bool KnownConversion(char letter) {
  switch (letter) {
    case 's':
    case 'd':
    case 'u':
    case 'l':
    case 'O':
    case 'f':
    case 'p': return true;
    default: return false;
  }
}

// True when an item of type T, handed through C varargs, is exactly what the
// conversion `letter` reads: %s const char* or char*, %d int, %u unsigned,
// %l unsigned long, %O std::uint64_t, %f double, %p void* or const void*.
// Promotions are refused too (a bool or a char for %d is a mistake).
template <typename T>
constexpr bool ReadsAs(char letter) {
  using U = std::remove_cv_t<T>;
  switch (letter) {
    case 's': return std::is_same_v<U, const char*> || std::is_same_v<U, char*>;
    case 'd': return std::is_same_v<U, int>;
    case 'u': return std::is_same_v<U, unsigned>;
    case 'l': return std::is_same_v<U, unsigned long>;
    case 'O': return std::is_same_v<U, std::uint64_t>;
    case 'f': return std::is_same_v<U, double>;
    case 'p': return std::is_same_v<U, void*> || std::is_same_v<U, const void*>;
    default: return false;
  }
}

// True when `signature` is a row of "%x" conversions StrMsgFAppend knows
// (empty included); false for null.
constexpr bool WellFormedSignature(const char* signature) {
  if (signature == nullptr) return false;
  std::size_t at = 0;
  for (; signature[at] != '\0'; at += 2) {
    if (signature[at] != '%' || !KnownConversion(signature[at + 1])) return false;
  }
  return true;
}

// True when `signature` is well formed and has one conversion per item, each
// reading its item's exact type.
template <typename... Items>
constexpr bool SignatureTakes(const char* signature) {
  if (!WellFormedSignature(signature)) return false;
  std::size_t at = 0;
  const bool each =
      ((signature[at] != '\0' && ReadsAs<Items>(signature[at + 1]) && (at += 2) > 0) && ...);
  return each && signature[at] == '\0';
}

}  // namespace csa_detail

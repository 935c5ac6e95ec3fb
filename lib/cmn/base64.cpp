// Base64 encoding and strict decoding: a group of four characters is either
// fully valid or the whole text is refused.
#include "cmn/base64.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"

TARN_RCSID("lib/cmn/base64.cpp");

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Reverse table: 0-63 for alphabet characters; the two markers for the rest.
constexpr std::uint8_t kIsPad = 0xFE;
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeReverse() {
  std::array<std::uint8_t, 256> r{};
  for (auto& v : r) v = kInvalid;
  for (int i = 0; i < 64; ++i)
    r[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  r[static_cast<unsigned char>(kPad)] = kIsPad;
  return r;
}

constexpr std::array<std::uint8_t, 256> kReverse = MakeReverse();

// Invalid base64 shares its code with the cell-server session start.
constexpr int kErrBase64 = ERH_CSA_SESSION;
static_assert(kErrBase64 == 1009);

char* Refuse(char* buffer, const char* why) {
  DbgPlain(kDbgParse, "[base64decode] invalid input: %s", why);
  ErhMark(kErrBase64, 0, "base64decode", kErhWarning);
  safe_free(buffer, TARN_HERE);
  return nullptr;
}

}  // namespace

char* base64encode(const void* data, std::size_t length) {
  const auto* in = static_cast<const unsigned char*>(data);
  if (in == nullptr) length = 0;
  if (length > (std::numeric_limits<std::size_t>::max() - 6) / 8 * 6) return nullptr;
  // Room for (length + 5) / 6 * 8 characters, which covers the 4 per 3 bytes.
  const std::size_t size = (length + 5) / 6 * 8 + 1;
  auto* out = static_cast<char*>(safe_calloc(size, 1, TARN_HERE));
  if (out == nullptr) return nullptr;
  char* o = out;
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const std::uint32_t v =
        (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  const std::size_t rest = length - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{in[i]} << 16;
    if (rest == 2) v |= std::uint32_t{in[i + 1]} << 8;
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : kPad;
    *o++ = kPad;
  }
  return out;
}

char* base64Tencode(const char* text) {
  return base64encode(text, text != nullptr ? std::strlen(text) : 0);
}

char* base64decode(const char* text, std::size_t* length) {
  if (text == nullptr) return Refuse(nullptr, "no text");
  const std::size_t n = std::strlen(text);
  auto* out = static_cast<char*>(safe_calloc(n + 1, 1, TARN_HERE));
  if (out == nullptr) return nullptr;
  if (n % 4 != 0) return Refuse(out, "length is not a multiple of four");
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  auto* o = reinterpret_cast<unsigned char*>(out);
  for (std::size_t i = 0; i < n; i += 4) {
    const std::uint8_t a = kReverse[in[i]];
    const std::uint8_t b = kReverse[in[i + 1]];
    const std::uint8_t c = kReverse[in[i + 2]];
    const std::uint8_t d = kReverse[in[i + 3]];
    if (a >= 64 || b >= 64 || c == kInvalid || d == kInvalid || (c == kIsPad && d != kIsPad)) {
      return Refuse(out, "invalid group");
    }
    if (d == kIsPad && i + 4 != n) return Refuse(out, "padding before the end");
    *o++ = static_cast<unsigned char>((a << 2) | (b >> 4));
    if (c == kIsPad) break;
    *o++ = static_cast<unsigned char>((b << 4) | (c >> 2));
    if (d == kIsPad) break;
    *o++ = static_cast<unsigned char>((c << 6) | d);
  }
  if (length != nullptr)
    *length += static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out));
  return out;
}

char* base64Tdecode(const char* text) {
  return base64decode(text, nullptr);
}

// Strings: hex texts of byte strings, URL escaping of configuration paths and
// one-line uuencoding.
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strcode.cpp");

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The escape of a URL character, or NULL when it passes unchanged.
const char* UrlEscape(unsigned char c) {
  switch (c) {
    case '"': return "%22";
    case '*': return "%2A";
    case '/': return "%2F";
    case ':': return "%3A";
    case '<': return "%3C";
    case '>': return "%3E";
    case '?': return "%3F";
    case '\\': return "%5C";
    case '|': return "%7C";
    case '%': return "%%";
    default: return nullptr;
  }
}

}  // namespace

int StrBytesToHex(const void* bytes, size_t n, char* dst, size_t dstSize) {
  if (dst == nullptr || dstSize == 0) return -1;
  dst[0] = '\0';
  if (n == 0 || bytes == nullptr || n > (dstSize - 1) / 2) return -1;
  const auto* in = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < n; ++i) {
    dst[2 * i] = kHexDigits[in[i] >> 4];
    dst[2 * i + 1] = kHexDigits[in[i] & 0x0F];
  }
  dst[2 * n] = '\0';
  return 0;
}

int StrHexToBytes(const char* text, void* out, size_t max, size_t* count) {
  size_t stored = 0;
  int rc = 0;
  if (text != nullptr && out != nullptr) {
    auto* bytes = static_cast<unsigned char*>(out);
    for (const char* p = text; *p != '\0' && stored < max; p += 2) {
      const int hi = HexValue(p[0]);
      const int lo = hi < 0 ? -1 : HexValue(p[1]);
      if (lo < 0) {
        rc = -1;
        break;
      }
      bytes[stored++] = static_cast<unsigned char>(hi << 4 | lo);
    }
  }
  if (count != nullptr) *count = stored;
  return rc;
}

const char* StrToUrl(const char* s) {
  static CmnBuffer area;
  if (s == nullptr) return nullptr;
  const size_t len = std::strlen(s);
  if (CmnBufferRealloc(&area, 3 * len) != 0) return nullptr;
  char* out = area.data;
  for (const char* p = s; *p != '\0'; ++p) {
    const char* escape = UrlEscape(static_cast<unsigned char>(*p));
    if (escape == nullptr) {
      *out++ = *p;
    } else {
      const size_t n = std::strlen(escape);
      std::memcpy(out, escape, n);
      out += n;
    }
  }
  *out = '\0';
  return area.data;
}

const char* StrFromUrl(const char* s) {
  static CmnBuffer area;
  if (s == nullptr) return nullptr;
  if (CmnBufferRealloc(&area, std::strlen(s)) != 0) return nullptr;
  char* out = area.data;
  for (const char* p = s; *p != '\0';) {
    if (p[0] == '%' && p[1] == '%') {
      *out++ = '%';
      p += 2;
      continue;
    }
    if (p[0] != '%' || p[1] == '\0' || p[2] == '\0') {
      *out++ = *p++;
      continue;
    }
    const int hi = HexValue(p[1]);
    const int lo = HexValue(p[2]);
    if (hi < 0 || lo < 0) return nullptr;
    *out++ = static_cast<char>(hi << 4 | lo);
    p += 3;
  }
  *out = '\0';
  return area.data;
}

int uuencode(const char* s, char** out) {
  if (out == nullptr) return -1;
  const char* in = s != nullptr ? s : "";
  const size_t len = std::strlen(in);
  char* text = static_cast<char*>(safe_calloc(len * 4 / 3 + 4, 1, TARN_HERE));
  *out = text;
  if (text == nullptr) return -1;
  char* o = text;
  for (size_t i = 0; i < len; i += 3) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    const auto b1 = i + 1 < len ? static_cast<unsigned char>(in[i + 1]) : 0u;
    const auto b2 = i + 2 < len ? static_cast<unsigned char>(in[i + 2]) : 0u;
    *o++ = static_cast<char>(0x20 + (b0 >> 2));
    *o++ = static_cast<char>(0x20 + (((b0 << 4) | (b1 >> 4)) & 0x3F));
    *o++ = static_cast<char>(0x20 + (((b1 << 2) | (b2 >> 6)) & 0x3F));
    *o++ = static_cast<char>(0x20 + (b2 & 0x3F));
  }
  return 0;
}

int uudecode(const char* s, char** out) {
  if (out == nullptr) return -1;
  const char* in = s != nullptr ? s : "";
  const size_t len = std::strlen(in);
  char* text = static_cast<char*>(safe_calloc(len * 3 / 4 + 4, 1, TARN_HERE));
  *out = text;
  if (text == nullptr) return -1;
  auto six = [&](size_t i) { return i < len ? static_cast<unsigned>(in[i] - 0x20) & 0x3F : 0u; };
  char* o = text;
  for (size_t i = 0; i < len; i += 4) {
    const unsigned c0 = six(i);
    const unsigned c1 = six(i + 1);
    const unsigned c2 = six(i + 2);
    const unsigned c3 = six(i + 3);
    // A short last group yields only the bytes its characters carry.
    const size_t chars = len - i < 4 ? len - i : 4;
    if (chars >= 2) *o++ = static_cast<char>((c0 << 2) | (c1 >> 4));
    if (chars >= 3) *o++ = static_cast<char>(((c1 << 4) | (c2 >> 2)) & 0xFF);
    if (chars >= 4) *o++ = static_cast<char>(((c2 << 6) | c3) & 0xFF);
  }
  return 0;
}

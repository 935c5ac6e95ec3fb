// Password letters over the system's own UTF-16 conversion, and the byte
// scrambler with a generator of its own.
#include "xtra/passwd.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/utf.h"

TARN_RCSID("lib/xtra/passwd.cpp");

namespace {

constexpr char kFirstLetter = 'B';  // nibble 0; 'Q' is nibble 15
constexpr int kLettersPerUnit = 4;

// Clears a buffer that held a password before it is released.
void Wipe(void* p, std::size_t n) {
  if (p != nullptr) explicit_bzero(p, n);
}

// The C standard's example generator: the same sequence on every system, and
// state that belongs to one call rather than to the process.
class ScrambleGenerator {
 public:
  explicit ScrambleGenerator(std::uint32_t seed) : next_(seed) {}
  int Draw() {
    next_ = next_ * 1103515245u + 12345u;
    return static_cast<int>((next_ / 65536u) % 32768u);
  }

 private:
  std::uint32_t next_;
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

char* EncodePassword(const char* text) {
  if (text == nullptr) return nullptr;
  char16_t* wide = StrNewCopyS2W(text);
  if (wide == nullptr) return nullptr;
  const auto units = static_cast<std::size_t>(lstrlenW(wide));
  auto* out = static_cast<char*>(safe_malloc(units * kLettersPerUnit + 1, TARN_HERE));
  if (out != nullptr) {
    char* o = out;
    for (std::size_t i = 0; i < units; ++i) {
      const unsigned unit = wide[i];
      const unsigned low = unit & 0xFFu;
      const unsigned high = unit >> 8;
      *o++ = static_cast<char>(kFirstLetter + (low & 0xFu));
      *o++ = static_cast<char>(kFirstLetter + (low >> 4));
      *o++ = static_cast<char>(kFirstLetter + (high & 0xFu));
      *o++ = static_cast<char>(kFirstLetter + (high >> 4));
    }
    *o = '\0';
  }
  Wipe(wide, units * sizeof(char16_t));
  safe_free(wide, TARN_HERE);
  return out;
}

char* DecodePassword(const char* encoded) {
  if (encoded == nullptr) return nullptr;
  // Stored configurations were written by older encoders too, so decoding is
  // lenient: letters left over after the last group of four are ignored, and
  // every letter counts as its distance from 'B' without a range check. A
  // unit that comes out as 0 ends the password.
  const std::size_t units = std::strlen(encoded) / kLettersPerUnit;
  std::u16string wide(units, u'\0');
  for (std::size_t i = 0; i < units; ++i) {
    const auto* letters = reinterpret_cast<const unsigned char*>(encoded + i * kLettersPerUnit);
    unsigned unit = 0;
    for (int k = kLettersPerUnit - 1; k >= 0; --k)
      unit = (unit << 4) + (static_cast<unsigned>(letters[k]) - kFirstLetter);
    wide[i] = static_cast<char16_t>(unit & 0xFFFFu);
  }
  char* text = StrNewCopyW2S(wide.c_str());
  Wipe(wide.data(), wide.size() * sizeof(char16_t));
  return text;
}

int ByteToChars(int byte, char* out) {
  out[0] = kHexDigits[(byte >> 4) & 0xF];
  out[1] = kHexDigits[byte & 0xF];
  return 2;
}

int CharsToByte(const char* text) {
  if (text == nullptr) return -1;
  const int high = HexValue(text[0]);
  if (high < 0) return -1;
  const int low = HexValue(text[1]);
  if (low < 0) return -1;
  return (high << 4) | low;
}

int CmnScrambleBytes(const void* data, int length, char* out) {
  if (out == nullptr) return -1;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (length < 0)
    length =
        bytes != nullptr ? static_cast<int>(std::strlen(static_cast<const char*>(data))) + 1 : 0;
  if (bytes == nullptr) length = 0;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  ScrambleGenerator seeder(static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  seeder.Draw();
  const int seed = seeder.Draw();
  char* o = out;
  o += ByteToChars((seed >> 8) & 0xFF, o);
  o += ByteToChars(seed & 0xFF, o);
  ScrambleGenerator generator(static_cast<std::uint32_t>(seed & 0xFFFF));
  for (int i = 0; i < length; ++i) o += ByteToChars((generator.Draw() + bytes[i]) & 0xFF, o);
  *o = '\0';
  return static_cast<int>(o - out);
}

int CmnUnScrambleBytes(const char* text, void* out, int max) {
  if (text == nullptr || out == nullptr) return -1;
  const std::size_t length = std::strlen(text);
  if (length < 4 || length % 2 != 0) return -1;
  const int high = CharsToByte(text);
  const int low = CharsToByte(text + 2);
  if (high < 0 || low < 0) return -1;
  ScrambleGenerator generator(static_cast<std::uint32_t>((high << 8) + low));
  auto* bytes = static_cast<unsigned char*>(out);
  int written = 0;
  for (const char* p = text + 4; *p != '\0' && written < max; p += 2) {
    const int value = CharsToByte(p);
    if (value < 0) return -1;
    bytes[written++] = static_cast<unsigned char>((value - generator.Draw()) & 0xFF);
  }
  return written;
}

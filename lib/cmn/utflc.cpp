// Character sets: the locale conversions of catalogue texts through iconv;
// everything else uses the system's own conversion.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/utf.h"

TARN_RCSID("lib/cmn/utflc.cpp");

namespace {

// iconv of a whole text into a zeroed block of 3 x (length + 1) bytes; NULL
// when the conversion cannot start or stops before the end of the input.
char* Convert(const char* s, const char* tocode, const char* fromcode) {
  if (s == nullptr || tocode == nullptr || fromcode == nullptr) return nullptr;
  iconv_t cd = iconv_open(tocode, fromcode);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  const size_t len = std::strlen(s);
  const size_t size = 3 * (len + 1);
  char* out = static_cast<char*>(safe_calloc(size, 1, TARN_HERE));
  if (out == nullptr) {
    iconv_close(cd);
    return nullptr;
  }
  char* in = const_cast<char*>(s);
  size_t inLeft = len;
  char* o = out;
  size_t outLeft = size - 1;  // the last byte stays the terminator
  size_t rc = 0;
  do {
    rc = iconv(cd, &in, &inLeft, &o, &outLeft);
  } while (rc == static_cast<size_t>(-1) && errno == EINTR);
  if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &o, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inLeft != 0) {
    safe_free(out, TARN_HERE);
    return nullptr;
  }
  return out;
}

}  // namespace

char* StrNullCopyAdjustLC(const char* s, const char* fromcode) {
  return Convert(s, "utf8", fromcode);
}

char* StrNullCopyAdjustLC_input(const char* s, const char* tocode) {
  return Convert(s, tocode, "UTF-8");
}

int IsValidUXLocale(const char* codeset) {
  if (codeset == nullptr) return 0;
  // UTF-8 itself is probed from Latin-1, under the name this C library knows.
  const char* from = std::strcmp(codeset, "UTF-8") == 0 ? "ISO-8859-1" : codeset;
  iconv_t cd = iconv_open("UTF-8", from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  iconv_close(cd);
  return 1;
}

// Fuzz target of the two decoders of this library: an encoded password read
// from the configuration and a scrambled text. Refusal is fine; a crash or an
// overrun is not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "xtra/passwd.h"

TARN_RCSID("lib/xtra/fuzz/passwd_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  char* password = DecodePassword(text.c_str());
  if (password != nullptr) {
    // Whatever decodes must encode again to letters only.
    char* again = EncodePassword(password);
    if (again == nullptr) std::abort();
    for (const char* p = again; *p != '\0'; ++p) {
      if (*p < 'B' || *p > 'Q') std::abort();
    }
    safe_free(again, TARN_HERE);
    safe_free(password, TARN_HERE);
  }
  std::vector<unsigned char> out(size / 2 + 1);
  const int n = CmnUnScrambleBytes(text.c_str(), out.data(), static_cast<int>(out.size()));
  if (n > static_cast<int>(out.size())) std::abort();
  return 0;
}

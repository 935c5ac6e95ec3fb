// Fuzz target of the two decoders of this library: an encoded password read
// from the configuration and a scrambled text. Refusal is fine; a crash or an
// overrun is not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "fuzz/fuzzseed.h"
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
    tarn::fuzz::Accepted();
  }
  std::vector<unsigned char> out(size / 2 + 1);
  const int n = CmnUnScrambleBytes(text.c_str(), out.data(), static_cast<int>(out.size()));
  if (n > static_cast<int>(out.size())) std::abort();
  if (n > 0) tarn::fuzz::Accepted();
  return 0;
}

// An encoded password as the configuration stores it, and scrambled bytes.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  char* encoded = EncodePassword("s3cr\xC3\xA9t pass");
  if (encoded == nullptr) std::abort();
  seeds->Add("encoded", encoded);
  safe_free(encoded, TARN_HERE);
  const unsigned char bytes[] = {0x00, 0x7F, 0x80, 0xFF, 'k', 'e', 'y'};
  std::vector<char> scrambled(4 + 2 * sizeof bytes + 1);
  const int n = CmnScrambleBytes(bytes, sizeof bytes, scrambled.data());
  if (n <= 0) std::abort();
  seeds->Add("scrambled", std::string_view(scrambled.data(), static_cast<std::size_t>(n)));
}

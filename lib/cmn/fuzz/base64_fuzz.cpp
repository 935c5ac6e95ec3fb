// Fuzz target of the strict base64 decoder: any text either decodes to bytes
// that encode and decode back to themselves, or is refused; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/base64.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/base64_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // cut at an inner NUL
  std::size_t length = 0;
  char* decoded = base64decode(text.c_str(), &length);
  ErhClearError();
  if (decoded == nullptr) return 0;
  if (length > std::strlen(text.c_str())) std::abort();
  char* again = base64encode(decoded, length);
  if (again == nullptr) std::abort();
  std::size_t length2 = 0;
  char* decoded2 = base64decode(again, &length2);
  if (decoded2 == nullptr || length2 != length || std::memcmp(decoded, decoded2, length) != 0)
    std::abort();
  safe_free(decoded2, TARN_HERE);
  safe_free(again, TARN_HERE);
  safe_free(decoded, TARN_HERE);
  tarn::fuzz::Accepted();

  // The raw input as binary data must survive an encode/decode round trip.
  char* encoded = base64encode(data, size);
  if (encoded == nullptr) std::abort();
  std::size_t length3 = 0;
  char* raw = base64decode(encoded, &length3);
  if (raw == nullptr || length3 != size || (size > 0 && std::memcmp(raw, data, size) != 0))
    std::abort();
  safe_free(raw, TARN_HERE);
  safe_free(encoded, TARN_HERE);
  return 0;
}

// Encodings of every length modulo three, and of binary bytes.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const std::string plain[] = {"a", "ab", "abc", std::string("\0\xff\x10 binary\x80", 12)};
  int n = 0;
  for (const std::string& bytes : plain) {
    char* text = base64encode(bytes.data(), bytes.size());
    seeds->Add("encoded" + std::to_string(n++), text);
    safe_free(text, TARN_HERE);
  }
}

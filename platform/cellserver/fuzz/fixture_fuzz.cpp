// Fuzz target of the stand-in cell server's fixture parser: any text is either
// read into a fixture or refused with a line number; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cellserver/fixture.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/fuzz/fixture_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto fixture = tarn::cellserver::ParseFixture(text, &why);
  if (!fixture && !why.starts_with("line ")) std::abort();
  (void)tarn::cellserver::Utf8ToUtf16LeWithMark(text);
  return 0;
}

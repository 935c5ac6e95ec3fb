// Fuzz target of the keyword scanner: under any switches every token but the
// end consumes input, so a scan always finishes, and texts stay bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzzseed.h"
#include "parse/pstoken.h"

namespace {

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

int NextChar(void* arg1, void*) {
  auto* in = static_cast<Input*>(arg1);
  return in->pos < in->size ? in->data[in->pos++] : -1;
}

constexpr PsKeyword kKeywords[] = {
    {"device", 400, 1, 2}, {"pool", 401, 3, 4}, {"42", 402, 5, 6}, {nullptr, 0, 0, 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: the five switches; the rest: the input.
  const unsigned bits = data[0];
  PsSwitches switches{};
  switches.listSyntax = (bits & 1) != 0;
  switches.colonInWords = (bits & 2) != 0;
  switches.endAtEquals = (bits & 4) != 0;
  switches.endAtComma = (bits & 8) != 0;
  switches.endAtParens = (bits & 16) != 0;
  PsSetSwitches(switches);
  Input in{data + 1, size - 1, 0};
  int current = ' ';
  // Every token takes at least one character, so there are at most as many
  // tokens as characters; more means the scan stood still.
  for (std::size_t tokens = 0;; ++tokens) {
    int v1 = 0;
    int v2 = 0;
    const int code = PsGetToken(NextChar, &current, &in, nullptr, kKeywords, &v1, &v2);
    if (code == PS_TOK_END) break;
    if (code == kKeywords[0].code || code == kKeywords[1].code) tarn::fuzz::Accepted();
    if (tokens >= in.size) std::abort();
    if (std::strlen(PsTokenText()) > in.size) std::abort();
  }
  PsSetSwitches({});
  return 0;
}

// Keyword lines of a device description, with the switches (first byte) the
// readers use.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("plain", 0, "device \"tape 1\" pool 42 # comment\n");
  seeds->Add("list", 1 | 4 | 8 | 16, "pool=(a, b:c), device='x'\n");
}

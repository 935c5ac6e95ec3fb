// Fuzz target of the VEKOPTS text: split into words and applied to an option
// record. Any text ends in a record, never in a read outside the text or a
// word longer than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bar2/baropt.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"

TARN_RCSID("integ/bar2/fuzz/vekopts_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ArgvVec list{};
  if (ArgvInit(&list, 20) != 0) return 0;
  if (ArgvReadEnv(&list, text.c_str()) < 0) std::abort();
  for (int i = 0; i < list.count; ++i) {
    const std::size_t n = std::strlen(list.items[i]);
    if (n == 0 || n > kOptWordMax) std::abort();
  }
  IntegOptions opts{};
  OptParseOpts(list.count, list.items, &opts);
  if (opts.dbgPostfix != nullptr && std::strlen(opts.dbgPostfix) > kOptDbgPostfixMax) std::abort();
  if (opts.mirror.count % kOptMirrorWords != 0) std::abort();
  OptFreeOpts(&opts);
  ArgvFree(&list);
  return 0;
}

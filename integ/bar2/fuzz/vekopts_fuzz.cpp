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
#include "fuzz/fuzzseed.h"

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
  if (opts.appType[0] != '\0' || opts.appName[0] != '\0' || opts.maHost[0] != '\0' ||
      opts.dbgRanges[0] != '\0')
    tarn::fuzz::Accepted();
  if (opts.dbgPostfix != nullptr && std::strlen(opts.dbgPostfix) > kOptDbgPostfixMax) std::abort();
  if (opts.mirror.count % kOptMirrorWords != 0) std::abort();
  OptFreeOpts(&opts);
  ArgvFree(&list);
  return 0;
}

// VEKOPTS texts as a session manager hands them to an agent.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("agent",
             "-appt DB2 -appn db2inst1 -set db2_full -sess 2026/12/09-7 -debug 1-99 fz kestrel "
             "-report 3 -log -protect days 7 -access 2 1 -encode -compress -load 0.5");
  seeds->Add("quoted",
             "-ma \"ma host\" 5566 -objname 'db2host:/db2inst1/SAMPLE/0' -nosparse "
             "-mirror a b c d e -start 1700000000 -since 1690000000");
}

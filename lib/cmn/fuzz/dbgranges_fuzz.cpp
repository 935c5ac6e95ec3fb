// Fuzz target for the debug options parsers: a debug options text split into
// words, its ranges word parsed, and the select word matched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/dbgimpl.h"
#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  char ranges[kDbgTextMax];
  char postfix[kDbgWordMax];
  char select[kDbgWordMax];
  DbgParseStr(text.c_str(), ranges, postfix, select);
  DbgRangeSpec spec;
  DbgParseRanges(ranges, &spec);
  if (spec.rangeCount < 0 || spec.rangeCount > kDbgMaxRanges) __builtin_trap();
  if (spec.rangeCount > 0) tarn::fuzz::Accepted();
  DbgParseRanges(text.c_str(), &spec);
  if (spec.rangeCount < 0 || spec.rangeCount > kDbgMaxRanges) __builtin_trap();
  DbgStreamRecord record{};
  DbgInitializeRanges(&record, text.c_str());
  DbgSelected(select, "kestrel", "host");
  DbgSelected(text.c_str(), "kestrel", "host");
  return 0;
}

// Debug options as a process hands them to the processes it starts: the
// ranges text of a started trace (with its id) and the words around it.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const struct {
    const char* name;
    const char* ranges;
    const char* words;
  } kOptions[] = {
      {"plain", "1-99", " fz kestrel"},
      {"keywords", "1-5,10-20,40,C:100,T:1000,SESSION:2026/12/09-7", " /trace/fz host@kestrel"},
  };
  for (const auto& o : kOptions) {
    DbgStreamRecord record{};
    if (DbgInitializeRanges(&record, o.ranges) <= 0) std::abort();
    seeds->Add(o.name, std::string("-debug ") + record.rangesText + o.words);
  }
}

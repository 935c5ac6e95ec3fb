// Fuzz target for the debug options parsers: a debug options text split into
// words, its ranges word parsed, and the select word matched.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cmn/dbgimpl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  char ranges[kDbgTextMax];
  char postfix[kDbgWordMax];
  char select[kDbgWordMax];
  DbgParseStr(text.c_str(), ranges, postfix, select);
  DbgRangeSpec spec;
  DbgParseRanges(ranges, &spec);
  DbgParseRanges(text.c_str(), &spec);
  if (spec.rangeCount < 0 || spec.rangeCount > kDbgMaxRanges) __builtin_trap();
  DbgStreamRecord record{};
  DbgInitializeRanges(&record, text.c_str());
  DbgSelected(select, "kestrel", "host");
  DbgSelected(text.c_str(), "kestrel", "host");
  return 0;
}

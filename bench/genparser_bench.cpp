// Keyword-line parser: one line of many fields (time per field must not grow
// with the line) against the same fields spread over lines of a cell
// description's length.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "cmn/defines.h"
#include "gen_parser/genparser.h"

TARN_RCSID("bench/genparser_bench.cpp");

namespace {

constexpr char kFormat[] =
    "-key host -desc \"client host\"\n-key virt[ual\n-key clus[ter\n-key os\n"
    "-key email\n-key pass -flags 0x80000000\n";

// `fields` fields in `lines` lines, the keys out of table order and repeated.
std::string Text(std::int64_t fields, std::int64_t perLine) {
  static const char* const kKeys[] = {"-os", "-clus", "-host", "-email", "-virt", "-pass"};
  std::string text;
  for (std::int64_t f = 0; f < fields; ++f) {
    text += kKeys[f % 6];
    text += " value" + std::to_string(f);
    text += (f + 1) % perLine == 0 ? '\n' : ' ';
  }
  return text;
}

void Run(benchmark::State& state, std::int64_t perLine) {
  const std::int64_t fields = state.range(0);
  const std::string text = Text(fields, perLine);
  for (auto _ : state) {
    ParserList* list = PLParse(kFormat, text.c_str());
    benchmark::DoNotOptimize(list);
    PLFree(list);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  // Seconds per field, printed with an SI prefix (n for nanoseconds).
  state.counters["per_field"] = benchmark::Counter(
      static_cast<double>(fields),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// All fields on one line.
void BM_OneLine(benchmark::State& state) {
  Run(state, state.range(0));
}

// Lines of six fields, as a cell description has them.
void BM_ShortLines(benchmark::State& state) {
  Run(state, 6);
}

}  // namespace

BENCHMARK(BM_OneLine)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShortLines)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

// Fuzz target of the option template parser: the first line is a template,
// the rest a command line split at NUL bytes; compiling, matching and word
// splitting must give a keyed list (or an array of words), never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/var.h"
#include "fuzz/fuzzseed.h"
#include "getopt/getopt.h"

TARN_RCSID("lib/type/getopt/fuzz/getopt_fuzz.cpp");

namespace {

constexpr size_t kMaxEntries = 64;

void CheckLimits(const OptionLevel& level, int depth) {
  if (depth > kGetoptMaxDepth) std::abort();
  for (const OptionNode& node : level) {
    if (node.args.size() > static_cast<size_t>(kGetoptMaxArgs)) std::abort();
    if (!node.hasGroup && !node.group.empty()) std::abort();
    if (node.hasGroup) CheckLimits(node.group, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string templ = input.substr(0, newline);
  const std::string line = newline == std::string::npos ? std::string() : input.substr(newline + 1);

  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= line.size() && entries.size() < kMaxEntries) {
    const size_t nul = line.find('\0', start);
    entries.push_back(
        line.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
    if (nul == std::string::npos) break;
    start = nul + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& e : entries) argv.push_back(e.c_str());

  OptionLevel level;
  if (GetoptCompile(templ.c_str(), &level) == 0) CheckLimits(level, 0);

  CmnVar result = GetoptParse(templ.c_str(), static_cast<int>(argv.size()), argv.data());
  if (CmnVarKindOf(result) != VAR_KIND_LIST) std::abort();
  if (GetoptResultOk(result)) tarn::fuzz::Accepted();
  char* packed = CmnVarPack(result);
  if (packed == nullptr) std::abort();
  safe_free(packed, TARN_HERE);
  CmnVarFree(&result);

  CmnVar words = GetoptSplitWords(line.c_str());
  if (CmnVarKindOf(words) != VAR_KIND_ARRAY) std::abort();
  CmnVarFree(&words);
  return 0;
}

// Templates, each with a command line (split at NULs) that matches it.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace std::string_view_literals;
  seeds->Add("agent",
             "-ver[sion -incr -delta -debug <dbgranges> <[dbgpostfix]> <[dbgselect]> \n"
             "-debug\0"
             "1-500\0post\0-VERS\0-incr"sv);
  seeds->Add("groups",
             "-obj <name> { -ts <tsname> ... -full -opt <[o]> } ... -incr\n"
             "-obj\0a\0-ts\0t1\0-full\0-obj\0b\0-incr"sv);
  seeds->Add("alternatives", "-v|-ver[bose -f <file> ...\n-verb\0-f\0x"sv);
}

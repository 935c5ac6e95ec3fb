// Fuzz target of the small text parsers of start-up and command lines:
// argument texts, file-name patterns, keywords, item names, versions and
// platform texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/cmntext_fuzz.cpp");

namespace {

int Sign(int v) {
  return (v > 0) - (v < 0);
}

bool HasPatternCharacters(const std::string& s) {
  return s.find_first_of("*?[") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int flags = data[0] & 0x0f;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string whole(text.c_str());  // cut at an inner NUL
  const size_t split = whole.find('\x01');
  const std::string first = whole.substr(0, split);
  const std::string second = split == std::string::npos ? std::string() : whole.substr(split + 1);

  ArgvVec argv;
  if (ArgvInit(&argv, 0) != 0) std::abort();
  const int added = ArgvReadFromBuffer(&argv, whole.c_str());
  if (added != argv.count || argv.items[argv.count] != nullptr) std::abort();
  for (int i = 0; i < argv.count; ++i) {
    if (argv.items[i][0] == '\0') std::abort();
  }
  ArgvFree(&argv);

  const int match = FnmFilenameMatch(first.c_str(), second.c_str(), flags);
  if (match != 0 && match != 1) std::abort();
  // A pattern without special characters is a plain comparison.
  if ((flags & kFnmCaseFold) == 0 && !HasPatternCharacters(first) &&
      match != (first == second ? 1 : 0)) {
    std::abort();
  }
  if (FnmFilenameMatch("*", second.c_str(), 0) != 1) std::abort();

  const int kw = CliKwMatch(first.c_str(), second.c_str());
  if (kw != 0 && kw != 1) std::abort();
  const CliKeyword table[] = {{1, second.c_str(), kCliKwNegatable}, {2, "mou[nt", 0}};
  const int id = CliKwLookup(first.c_str(), table, 2, nullptr);
  if (id < -2 || id > 2 || id == 0) std::abort();

  // A typed item name as the cell server sends it; the kind from the input.
  int code = 5;
  char name[kCmnItemNameMax + 1];
  if (CmnItemFromTname(&code, name, first.c_str(), second.c_str()) == 0) {
    tarn::fuzz::Accepted();
    if (code < 0 || std::strlen(name) > kCmnItemNameMax || CmnValidItemName(name) != 0)
      std::abort();
  } else if (code != -1) {
    std::abort();
  }

  if (Sign(VersionCmp(first.c_str(), second.c_str())) !=
      -Sign(VersionCmp(second.c_str(), first.c_str()))) {
    std::abort();
  }
  const int platform = CvtStrToPlatformId(whole.c_str());
  if (platform < -1) std::abort();
  return 0;
}

// A kind and a typed item name as the cell server sends them; the first byte
// holds the pattern flags.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("datalist", 0,
             "datalist\x01"
             "DB2 nightly full");
  seeds->Add("schedule", kFnmCaseFold, "tempschedule\x01oracle8 weekly run\nrest");
}

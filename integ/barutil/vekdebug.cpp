// Debug options of a program and their transfer to child processes through
// the environment.
#include "barutil/vekdebug.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("integ/barutil/vekdebug.cpp");

namespace {

constexpr int kLevel = 30;
constexpr char kDebugWord[] = "-debug";

bool IsOption(const char* word) {
  return word[0] == '-' && std::isalpha(static_cast<unsigned char>(word[1])) != 0;
}

// The words of `text` as StrToArgEx splits them.
std::vector<std::string> Words(const char* text) {
  std::vector<std::string> words;
  int argc = 0;
  char** argv = nullptr;
  if (StrToArgEx(nullptr, text, &argc, &argv, 1) != 0) return words;
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i]);
  FreeStrToArg(&argc, &argv);
  return words;
}

// Index of the last "-debug" word, or -1: as in the integration's option
// parser, a later word wins.
int FindDebug(int argc, const char* const* argv) {
  for (int i = argc - 1; i >= 0; --i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], kDebugWord) == 0) return i;
  }
  return -1;
}

// Fills *out from the up to three words after position `at`; returns how
// many words were taken.
int TakeWords(DebugOpts* out, int at, int argc, const char* const* argv) {
  DebugOpts found{};
  char* fields[] = {found.ranges, found.postfix, found.select};
  const std::size_t sizes[] = {kDebugRangesMax, kDebugWordMax, kDebugWordMax};
  int taken = 0;
  for (; taken < 3 && at + 1 + taken < argc; ++taken) {
    const char* word = argv[at + 1 + taken];
    if (word == nullptr || IsOption(word)) break;
    StrCopy(fields[taken], word, sizes[taken]);
  }
  *out = found;
  return taken;
}

std::vector<const char*> Pointers(const std::vector<std::string>& words) {
  std::vector<const char*> argv;
  argv.reserve(words.size());
  for (const std::string& w : words) argv.push_back(w.c_str());
  return argv;
}

// A word as the splitter reads it back as one word.
std::string Quoted(std::string_view word) {
  if (!word.empty() && word.find_first_of(" '\"") == std::string_view::npos) {
    return std::string(word);
  }
  const char quote = word.find('\'') == std::string_view::npos ? '\'' : '"';
  return quote + std::string(word) + quote;
}

}  // namespace

int VEK_DebugOptsFromArg(DebugOpts* out, int argc, const char* const* argv) {
  if (out == nullptr || argv == nullptr || argc <= 0) return 0;
  const int at = FindDebug(argc, argv);
  if (at < 0) return 0;
  TakeWords(out, at, argc, argv);
  DbgPlain(kLevel, "[VEK_DebugOptsFromArg] ranges='%s' postfix='%s' select='%s'", out->ranges,
           out->postfix, out->select);
  return 1;
}

int VEK_DebugOptsFromStr(DebugOpts* out, const char* text) {
  if (out == nullptr || text == nullptr) return 0;
  const std::vector<std::string> words = Words(text);
  const std::vector<const char*> argv = Pointers(words);
  return VEK_DebugOptsFromArg(out, static_cast<int>(argv.size()), argv.data());
}

int VEK_DebugOptsFromEnv(DebugOpts* out) {
  if (out == nullptr) return 0;
  if (VEK_DebugOptsFromStr(out, std::getenv("VEKOPTS")) == 1) return 1;
  const char* vekdbg = std::getenv("VEKDBG");
  if (vekdbg == nullptr || vekdbg[0] == '\0') return 0;
  std::vector<std::string> words = Words(vekdbg);
  if (words.empty()) return 0;
  if (words.front() != kDebugWord) words.insert(words.begin(), kDebugWord);
  const std::vector<const char*> argv = Pointers(words);
  return VEK_DebugOptsFromArg(out, static_cast<int>(argv.size()), argv.data());
}

int VEK_DebugOptsToEnv(const DebugOpts* options) {
  if (options == nullptr || options->ranges[0] == '\0') return 0;
  std::string text = std::string(kDebugWord) + " " + Quoted(options->ranges);
  const bool hasSelect = options->select[0] != '\0';
  if (options->postfix[0] != '\0' || hasSelect) text += " " + Quoted(options->postfix);
  if (hasSelect) text += " " + Quoted(options->select);

  DbgPlain(kLevel, "[VEK_DebugOptsToEnv] VEKOPTS=%s ...", text.c_str());
  // Keep the rest of VEKOPTS: it carries the integration's other options.
  const char* old = std::getenv("VEKOPTS");
  const std::vector<std::string> words = Words(old != nullptr ? old : "");
  const std::vector<const char*> argv = Pointers(words);
  const int argc = static_cast<int>(argv.size());
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], kDebugWord) == 0) {
      DebugOpts ignored{};
      i += TakeWords(&ignored, i, argc, argv.data());
      continue;
    }
    text += " " + Quoted(words[i]);
  }
  return setenv("VEKOPTS", text.c_str(), 1) == 0 ? 0 : -1;
}

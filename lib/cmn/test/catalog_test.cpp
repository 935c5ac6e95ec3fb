// The "C" catalogue against the code: every (set, number) the product packs,
// formats, looks up or marks has a text, and that text takes as many
// arguments as the call passes, of a kind a literal argument can fill.
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cmn/nlsfmt.h"
#include "tarn_test.h"

namespace fs = std::filesystem;

namespace {

// Product code that uses the catalogue; tests and fuzzers use sets of their own.
constexpr const char* kProductDirs[] = {"lib", "integ", "da", "cs"};

struct Call {
  std::string file;
  int line;
  std::string name;
  std::vector<std::string> args;
};

struct Use {
  std::string_view name;
  int set;         // -1: the first argument is the set
  int numberArg;   // index of the number argument
  bool formatted;  // the arguments after the number fill the text
};

constexpr Use kUses[] = {
    {"NlsPackMessage", -1, 1, true},
    {"NlsGetMessage", -1, 1, true},
    {"NlsGetCatalogStringEx", -1, 1, false},
    {"NlsGetFormat", -1, 1, false},
    {"NlsGetLiteral", 11, 0, false},
    {"NlsPackLiteral", 11, 0, false},
    {"NlsGetLiteralEn", 149, 0, false},
    {"ErhMark", 12, 0, false},
    {"ErhMarkM", 12, 0, false},
    {"ErhPromoteError", 12, 0, false},
    {"ErhPromoteErrorM", 12, 0, false},
};

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool IsIdent(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The top-level arguments of the call whose "(" is at text[open]; nullopt
// when the parentheses do not close.
std::optional<std::vector<std::string>> Arguments(const std::string& text, size_t open) {
  std::vector<std::string> args;
  std::string current;
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const size_t start = i;
      for (++i; i < text.size() && text[i] != c; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (depth > 0) current += text.substr(start, i - start + 1);
      continue;
    }
    if (c == '(' || c == '[' || c == '{') {
      if (depth++ == 0) continue;
    } else if (c == ')' || c == ']' || c == '}') {
      if (--depth == 0) {
        if (!Trim(current).empty() || !args.empty()) args.push_back(Trim(current));
        return args;
      }
    } else if (c == ',' && depth == 1) {
      args.push_back(Trim(current));
      current.clear();
      continue;
    }
    current += c;
  }
  return std::nullopt;
}

// Named integer constants: "constexpr int kX = 5;", enumerators, #defines.
void CollectConstants(const std::string& text, std::map<std::string, long long>* constants) {
  static const std::regex kConst(
      R"((?:constexpr|const)\s+(?:int|unsigned|long)\s+(\w+)\s*=\s*(\d+)\s*;)");
  static const std::regex kEnum(R"(\b(\w+)\s*=\s*(\d+)\s*[,}])");
  static const std::regex kDefine(R"(#define\s+(\w+)\s+\(?(\d+)\)?\s*$)");
  for (const std::regex* re : {&kConst, &kEnum, &kDefine}) {
    for (std::sregex_iterator it(text.begin(), text.end(), *re), end; it != end; ++it) {
      (*constants)[(*it)[1]] = std::stoll((*it)[2]);
    }
  }
}

// Named constants that take another's value: "constexpr int kX = kY;".
void CollectAliases(const std::string& text, std::map<std::string, std::string>* aliases) {
  static const std::regex kAlias(
      R"((?:constexpr|const)\s+(?:int|unsigned|long)\s+(\w+)\s*=\s*([A-Za-z_]\w*)\s*;)");
  for (std::sregex_iterator it(text.begin(), text.end(), kAlias), end; it != end; ++it) {
    (*aliases)[(*it)[1]] = (*it)[2];
  }
}

// Gives every alias whose target is known (in `local`, else in `global`) the
// target's value in `constants`.
void ResolveAliases(const std::map<std::string, std::string>& aliases,
                    const std::map<std::string, long long>& global,
                    std::map<std::string, long long>* constants) {
  for (const auto& [name, target] : aliases) {
    if (auto it = constants->find(target); it != constants->end()) {
      (*constants)[name] = it->second;
    } else if (auto g = global.find(target); g != global.end()) {
      (*constants)[name] = g->second;
    }
  }
}

std::vector<Call> FindCalls(const std::string& file, const std::string& text) {
  std::vector<Call> calls;
  for (const Use& use : kUses) {
    for (size_t pos = text.find(use.name); pos != std::string::npos;
         pos = text.find(use.name, pos + 1)) {
      const size_t after = pos + use.name.size();
      if ((pos > 0 && IsIdent(text[pos - 1])) || after >= text.size() || text[after] != '(')
        continue;
      auto args = Arguments(text, after);
      if (!args) continue;
      const int line = 1 + static_cast<int>(std::count(
                               text.begin(), text.begin() + static_cast<long>(pos), '\n'));
      calls.push_back(Call{file, line, std::string(use.name), *args});
    }
  }
  return calls;
}

std::optional<long long> Resolve(const std::string& expression,
                                 const std::map<std::string, long long>& local,
                                 const std::map<std::string, long long>& global) {
  if (expression.empty()) return std::nullopt;
  if (std::all_of(expression.begin(), expression.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return std::stoll(expression);
  }
  if (!std::all_of(expression.begin(), expression.end(), IsIdent)) return std::nullopt;
  if (auto it = local.find(expression); it != local.end()) return it->second;
  if (auto it = global.find(expression); it != global.end()) return it->second;
  return std::nullopt;
}

std::map<std::pair<int, int>, std::string> ReadCatalogueSource() {
  std::map<std::pair<int, int>, std::string> texts;
  std::istringstream in(tarn::test::ReadFile(std::string(TARN_SOURCE_DIR) + "/lib/cmn/cat/C.msg"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int set = 0;
    int number = 0;
    fields >> set >> number;
    const size_t text = line.find(' ', line.find(' ') + 1);
    texts[{set, number}] = text == std::string::npos ? "" : line.substr(text + 1);
  }
  return texts;
}

TEST(CatalogTest, EveryCatalogueTextIsWellFormed) {
  for (const auto& [key, text] : ReadCatalogueSource()) {
    NlsConversionWalker walker(text);
    std::string_view literal;
    NlsConversion c;
    int slot = 0;
    while (walker.Next(&literal, &c, &slot)) {
      if (c.percent) continue;
      EXPECT_NE(std::string("diouxXcpfFgGeEsS").find(text[c.end - 1]), std::string::npos)
          << key.first << "/" << key.second << ": unknown conversion in \"" << text << "\"";
    }
  }
}

TEST(CatalogTest, EveryUseInTheCodeHasAMatchingText) {
  const auto catalogue = ReadCatalogueSource();
  std::map<std::string, std::string> files;
  std::map<std::string, long long> global;
  for (const char* dir : kProductDirs) {
    const fs::path root = fs::path(TARN_SOURCE_DIR) / dir;
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string path = entry.path().string();
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      // Inside the tree only: the tree itself may lie in a folder named so.
      const std::string inTree =
          "/" + entry.path().lexically_relative(TARN_SOURCE_DIR).generic_string();
      if (inTree.find("/test/") != std::string::npos || inTree.find("/fuzz/") != std::string::npos)
        continue;
      files[path] = tarn::test::ReadFile(path);
      CollectConstants(files[path], &global);
    }
  }
  std::map<std::string, std::string> globalAliases;
  for (const auto& [path, text] : files) CollectAliases(text, &globalAliases);
  ResolveAliases(globalAliases, global, &global);
  int checked = 0;
  std::set<std::string> failures;
  for (const auto& [path, text] : files) {
    std::map<std::string, long long> local;
    CollectConstants(text, &local);
    std::map<std::string, std::string> localAliases;
    CollectAliases(text, &localAliases);
    ResolveAliases(localAliases, global, &local);
    for (const Call& call : FindCalls(path, text)) {
      const Use& use = *std::find_if(std::begin(kUses), std::end(kUses),
                                     [&](const Use& u) { return u.name == call.name; });
      const size_t needed = static_cast<size_t>(use.numberArg) + 1;
      if (call.args.size() < needed) continue;
      const auto set =
          use.set >= 0 ? std::optional<long long>(use.set) : Resolve(call.args[0], local, global);
      const auto number = Resolve(call.args[static_cast<size_t>(use.numberArg)], local, global);
      if (!set || !number) continue;  // computed at run time
      ++checked;
      const std::string where = call.file + ":" + std::to_string(call.line) + " " + call.name +
                                "(" + std::to_string(*set) + ", " + std::to_string(*number) + ")";
      const auto found = catalogue.find({static_cast<int>(*set), static_cast<int>(*number)});
      if (found == catalogue.end()) {
        failures.insert(where + ": no text in the catalogue");
        continue;
      }
      if (!use.formatted) continue;
      const std::vector<std::string> passed(call.args.begin() + static_cast<long>(needed),
                                            call.args.end());
      const std::string& format = found->second;
      const int slots = NlsConversionWalker::SlotCount(format);
      if (static_cast<int>(passed.size()) != slots) {
        failures.insert(where + ": passes " + std::to_string(passed.size()) + " arguments, \"" +
                        format + "\" takes " + std::to_string(slots));
        continue;
      }
      // Literal arguments show their kind: a quoted text, or a number.
      NlsConversionWalker walker(format);
      std::string_view literal;
      NlsConversion c;
      int slot = 0;
      while (walker.Next(&literal, &c, &slot)) {
        if (c.percent) continue;
        const std::string& arg = passed[static_cast<size_t>(slot)];
        const bool textArg = !arg.empty() && arg[0] == '"';
        const bool numberArg = !arg.empty() && std::isdigit(static_cast<unsigned char>(arg[0]));
        const bool textConversion = c.letter == 's' || c.letter == 'S';
        if ((textArg && !textConversion) || (numberArg && textConversion)) {
          failures.insert(where + ": argument " + std::to_string(slot + 1) + " (" + arg +
                          ") does not suit \"" + format + "\"");
        }
      }
    }
  }
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  // The scan must find the uses the common library itself makes.
  EXPECT_GE(checked, 5);
}

}  // namespace

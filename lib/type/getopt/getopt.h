// Option template parser: a command line matched against the options that one
// template text describes, giving a keyed variant list of what was found.
#pragma once

#include <string>
#include <vector>

#include "cmn/var.h"

// Template syntax, by token:
//   word         an option, e.g. "-ver[sion" ("[" marks where an abbreviation
//                may stop; "a|b" gives alternatives, the first names the key)
//   <name>       an argument of the preceding option; "<[name]>" is optional
//   { ... }      a group: options that may follow the preceding option, whose
//                arguments and group results are stored under its key
//   ...          the preceding option may repeat; its argument values (or,
//                with a group, one keyed list per occurrence) are collected
//                in an array
// Keys are canonical names: the first alternative without "[", "]" and "-".

// Keys under which a parse leaves its errors in the result list.
inline constexpr const char kGetoptUnknownKey[] = "#unknown";  // the offending entry
inline constexpr const char kGetoptMissingKey[] = "#missing";  // the option as written

// Limits of a template: argument names on one option word, and nesting of groups.
inline constexpr int kGetoptMaxArgs = 16;
inline constexpr int kGetoptMaxDepth = 32;

enum GetoptNodeFlags : int {
  GETOPT_REPEATABLE = 2,  // "..." followed the word or its arguments
};

// One option word of a template level, as compiled.
struct OptionNode {
  std::string name;               // as written, e.g. "-ver[sion"
  std::vector<std::string> args;  // argument names as written between < and >
  bool hasGroup = false;          // a brace group followed (it may be empty)
  std::vector<OptionNode> group;  // the group's level
  int flags = 0;                  // GetoptNodeFlags
};
using OptionLevel = std::vector<OptionNode>;

// Compiles a template text into *level (replaced). Returns 0, or -1 for a
// refused template: an option word with more than kGetoptMaxArgs argument
// names, groups nested deeper than kGetoptMaxDepth, a "{" with no option word
// before it, a second group on one word, or a "}" that closes nothing. *level
// is then empty and `*reason` (when given) says why. A null text is empty.
int GetoptCompile(const char* text, OptionLevel* level, std::string* reason = nullptr);

// Canonical key of an option or argument name as written ("-ver[sion" gives
// "version", "[dbgpostfix]" gives "dbgpostfix").
std::string GetoptKeyOf(const std::string& name);

// Parses a template and matches the arguments against it (argv without the
// program name; null and empty entries are skipped). Returns a new keyed list
// that the caller frees with CmnVarFree: one key per option found (an option
// without arguments counts its occurrences; an option with arguments gets 1
// and each argument value is stored as text under its own key), plus
// kGetoptUnknownKey or kGetoptMissingKey when the parse stopped there; what
// was parsed before stays. A refused template matches no option, so the
// first entry is unknown.
CmnVar GetoptParse(const char* templateText, int argc, const char* const* argv);

// The same against a compiled template, which the caller keeps and frees.
CmnVar getopt_parse(const OptionLevel& level, int argc, const char* const* argv);

// Matches argv[*index...] at one template level into *target (a keyed list or
// undefined). Advances *index past what it used. Returns 0, -1 (a mandatory
// argument missing: kGetoptMissingKey set), -2 (an entry unknown at this
// level: kGetoptUnknownKey set, *index left on it), or the result of the
// last group parsed.
int getopt_parse_r(const OptionLevel& level, int argc, const char* const* argv, int* index,
                   CmnVar* target);

// True when the result holds neither kGetoptUnknownKey nor kGetoptMissingKey.
bool GetoptResultOk(CmnVar result);

// Splits a command text into words: blank-separated, or quoted with ' or "
// (quotes removed, running to the same quote or the end). Returns a new array
// of texts (empty for null) that the caller frees with CmnVarFree.
CmnVar GetoptSplitWords(const char* text);

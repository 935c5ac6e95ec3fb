// Global options: the option table in its fixed dispatch order, the process
// globals it sets, and GlobalDispatch with its special rules.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/dbg.h"
#include "cmn/global.h"
#include "cmn/global_private.h"
#include "cmn/paths.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/global_table.cpp");

using global_detail::OptReply;

// Every global starts at zero and receives its default from the table before
// main (see the end of this file), so code that runs before the cell's
// options arrive already sees the defaults. They are defined here rather
// than inline in global.h so that a program that only reads one still links
// this file, and with it the defaults.
int glCellInetPort;

#define GLOPT_SECTION(title, ...)
#define GLOPT_INT(name, global, ...) int global;
#define GLOPT_FLAG(name, global, ...) int global;
#define GLOPT_RANGE(name, global, ...) int global;
#define GLOPT_HIDDEN(name, global, ...) int global;
#define GLOPT_MINUTES(name, global, ...) int global;
#define GLOPT_MINUTES_ALSO(name, global)
#define GLOPT_TEXT(name, global, size, ...) char global[size];
#define GLOPT_QUOTED(name, global, size, ...) char global[size];
#include "cmn/global_options.def"

namespace {

constexpr int kTraceLevel = kDbgParse;
constexpr int kGranularityDefault = 15;

enum class Kind { kSection, kInt, kRange, kHidden, kMinutes, kText, kQuoted };

// Defaults of text options that depend on the process's identity.
enum class TextDefault { kFixed, kCellServer, kSenderAddress, kRecoveryImages };

enum class Rule { kNone, kInetPort, kSchedulerGranularity, kFileMediumCapacity };

struct OptRow {
  Kind kind;
  const char* name;  // the section title for kSection
  int* global;
  int defaultValue;
  int min;
  int max;
  char* text;
  std::size_t size;
  const char* textDefault;
  TextDefault textFrom;
  const char* altName;     // read when `name` is absent
  const int* defaultFrom;  // the default is this global's value at dispatch
  Rule rule;

  constexpr OptRow orName(const char* other) const {
    OptRow row = *this;
    row.altName = other;
    return row;
  }
  constexpr OptRow defaultOf(const int* other) const {
    OptRow row = *this;
    row.defaultFrom = other;
    return row;
  }
  constexpr OptRow then(Rule r) const {
    OptRow row = *this;
    row.rule = r;
    return row;
  }
  constexpr OptRow from(TextDefault source) const {
    OptRow row = *this;
    row.textFrom = source;
    return row;
  }
};

constexpr OptRow Section(const char* title) {
  return {Kind::kSection,      title,   nullptr, 0,          0, 0, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Int(const char* name, int* global, int def) {
  return {Kind::kInt,          name,    global,  def,        INT_MIN, INT_MAX, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Range(const char* name, int* global, int def, int min, int max) {
  return {Kind::kRange,        name,    global,  def,        min, max, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Flag(const char* name, int* global, int def) {
  return Range(name, global, def, 0, 1);
}
constexpr OptRow Hidden(const char* name, int* global, int max) {
  return {Kind::kHidden,       name,    global,  -1,         0, max, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Minutes(const char* name, int* global, int defSeconds) {
  return {Kind::kMinutes,      name,    global,  defSeconds, 0, 0, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
template <std::size_t N>
constexpr OptRow Text(const char* name, char (&global)[N], const char* def) {
  return {Kind::kText,         name,    nullptr, 0,          0, 0, global, N, def,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
template <std::size_t N>
constexpr OptRow Quoted(const char* name, char (&global)[N], const char* def) {
  return {Kind::kQuoted,       name,    nullptr, 0,          0, 0, global, N, def,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}

// The rows of cmn/global_options.def, in its order.
#define GLOPT_SECTION(title, ...) Section(title) __VA_ARGS__,
#define GLOPT_INT(name, global, def, ...) Int(name, &global, def) __VA_ARGS__,
#define GLOPT_FLAG(name, global, def, ...) Flag(name, &global, def) __VA_ARGS__,
#define GLOPT_RANGE(name, global, def, min, max, ...) \
  Range(name, &global, def, min, max) __VA_ARGS__,
#define GLOPT_HIDDEN(name, global, max, ...) Hidden(name, &global, max) __VA_ARGS__,
#define GLOPT_MINUTES(name, global, def, ...) Minutes(name, &global, def) __VA_ARGS__,
#define GLOPT_MINUTES_ALSO(name, global) Minutes(name, &(global), 0).defaultOf(&(global)),
#define GLOPT_TEXT(name, global, size, def, ...) Text(name, global, def) __VA_ARGS__,
#define GLOPT_QUOTED(name, global, size, def, ...) Quoted(name, global, def) __VA_ARGS__,
constexpr OptRow kOptions[] = {
#include "cmn/global_options.def"
};

std::string TextDefaultOf(const OptRow& row) {
  switch (row.textFrom) {
    case TextDefault::kCellServer: return global_detail::CellServerName();
    case TextDefault::kSenderAddress: return global_detail::SenderAddress();
    case TextDefault::kRecoveryImages: return std::string(cmnFenConfig) + "/dr/p1s";
    case TextDefault::kFixed: break;
  }
  return row.textDefault != nullptr ? row.textDefault : "";
}

void Announce(const char* title) {
  DbgPlain(kTraceLevel, "%s", "");
  DbgPlain(kTraceLevel, "%s", title);
  DbgPlain(kTraceLevel, "%s", std::string(std::strlen(title), '-').c_str());
}

void ApplyRule(Rule rule) {
  switch (rule) {
    case Rule::kInetPort: glCellInetPort = global_detail::InetPort(); break;
    case Rule::kSchedulerGranularity:
      if (glSchedulerGranularity != 1 && glSchedulerGranularity != kGranularityDefault) {
        DbgPlain(kDbgDetail,
                 "Wrong SchedulerGranularity setting (%d), resetting it to default (%d)...",
                 glSchedulerGranularity, kGranularityDefault);
        glSchedulerGranularity = kGranularityDefault;
      }
      break;
    case Rule::kFileMediumCapacity:
      // Sizes are kept in KB; a capacity whose KB do not fit keeps the old size.
      if (glFileMediumCapacity >= 0 &&
          static_cast<unsigned>(glFileMediumCapacity) <= UINT_MAX / 1024U) {
        mediaClasses[MmFindClass(kFileMediumClass)].defaultSize =
            static_cast<unsigned>(glFileMediumCapacity) * 1024U;
      }
      break;
    case Rule::kNone: break;
  }
}

int Dispatch(const OptReply& reply, const OptRow& row) {
  const char* name = row.name;
  if (row.altName != nullptr && reply.find(name) == nullptr) name = row.altName;
  const int def = row.defaultFrom != nullptr ? *row.defaultFrom : row.defaultValue;
  switch (row.kind) {
    case Kind::kInt: return global_detail::DispatchInt(reply, name, row.global, def);
    case Kind::kRange:
      return global_detail::DispatchIntRange(reply, name, row.global, def, row.min, row.max, false);
    case Kind::kHidden:
      return global_detail::DispatchIntRange(reply, name, row.global, def, row.min, row.max, true);
    case Kind::kMinutes: return global_detail::DispatchMin(reply, name, row.global, def);
    case Kind::kText:
    case Kind::kQuoted: {
      const std::string text = TextDefaultOf(row);
      return global_detail::DispatchStr(reply, name, row.text, row.size, text.c_str(),
                                        row.kind == Kind::kQuoted);
    }
    case Kind::kSection: break;
  }
  return 0;
}

// Fixed defaults before main; identity-dependent texts wait for the dispatch.
bool ApplyDefaults() {
  for (const OptRow& row : kOptions) {
    if (row.global != nullptr) {
      *row.global = row.defaultFrom != nullptr ? *row.defaultFrom : row.defaultValue;
    }
    if (row.text != nullptr && row.textFrom == TextDefault::kFixed) {
      StrCopy(row.text, row.textDefault, row.size - 1);
    }
    ApplyRule(row.rule == Rule::kFileMediumCapacity ? row.rule : Rule::kNone);
  }
  return true;
}

[[maybe_unused]] const bool defaultsApplied = ApplyDefaults();

}  // namespace

int GlobalDispatch(const char* reply) {
  DbgMessageM(TARN_HERE, kTraceLevel, "GlobalDispatch");
  DbgPlain(kTraceLevel, "Parsing global options:");
  const OptReply parsed(reply);
  int taken = 0;
  for (const OptRow& row : kOptions) {
    if (row.kind == Kind::kSection) {
      Announce(row.name);
    } else if (const int n = Dispatch(parsed, row); n > 0) {
      taken += n;
    }
    ApplyRule(row.rule);
  }
  taken += global_detail::DispMediaClasses(parsed);
  taken += global_detail::DispDevicePolicies(parsed);
  DbgMessageM(TARN_HERE, kTraceLevel, nullptr);
  DbgPlain(kTraceLevel, "Globals updated!");
  return taken;
}

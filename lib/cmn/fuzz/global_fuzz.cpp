// Fuzz target of the options-reply readers: the input's lines become the
// items of an options reply (name, value, name, ...) that GlobalDispatch
// applies; afterwards every bounded option must still hold a value in range.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/global.h"
#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string reply("120", 4);
  std::string item;
  const auto flush = [&] {
    reply += " " + item;
    reply.push_back('\0');
    item.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      flush();
    } else if (c != '\0') {
      item.push_back(c);
    }
  }
  flush();
  reply.push_back('\0');
  if (GlobalDispatch(reply.c_str()) > 0) tarn::fuzz::Accepted();
  // Every bounded option of the table, and minutes that turned into seconds.
  const auto within = [](int value, int min, int max) {
    if (value < min || value > max) std::abort();
  };
#define GLOPT_SECTION(title, ...)
#define GLOPT_INT(name, global, ...)
#define GLOPT_FLAG(name, global, ...) within(global, 0, 1);
#define GLOPT_RANGE(name, global, def, min, max, ...) within(global, min, max);
#define GLOPT_HIDDEN(name, global, max, ...) within(global, -1, max);
#define GLOPT_MINUTES(name, global, ...) within(global, 0, INT_MAX);
#define GLOPT_MINUTES_ALSO(name, global)
#define GLOPT_TEXT(name, global, ...)
#define GLOPT_QUOTED(name, global, ...)
#include "cmn/global_options.def"
  if (glSchedulerGranularity != 1 && glSchedulerGranularity != 15) std::abort();
  for (int i = 0; i <= kMediaClassRows; ++i) {
    if (mediaClasses[i].ageLimit < 0) std::abort();
  }
  return 0;
}

// Every option of the table, as the cell server sends it, with its default
// and with its upper bound.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->maxLen = 16384;
  std::string defaults;
  std::string bounds;
  const auto add = [](std::string* reply, const char* name, const std::string& value) {
    reply->append(name).append("\n").append(value).append("\n");
  };
  const auto quoted = [](const char* text) { return "\"" + std::string(text) + "\""; };
#define GLOPT_SECTION(title, ...)
#define GLOPT_INT(name, global, ...) \
  add(&defaults, name, "1");         \
  add(&bounds, name, "-1");
#define GLOPT_FLAG(name, global, def, ...)   \
  add(&defaults, name, std::to_string(def)); \
  add(&bounds, name, "1");
#define GLOPT_RANGE(name, global, def, min, max, ...) \
  add(&defaults, name, std::to_string(def));          \
  add(&bounds, name, std::to_string(max));
#define GLOPT_HIDDEN(name, global, max, ...) add(&bounds, name, std::to_string(max));
#define GLOPT_MINUTES(name, global, def, ...) \
  add(&defaults, name, std::to_string(def));  \
  add(&bounds, name, "0");
#define GLOPT_MINUTES_ALSO(name, global) add(&bounds, name, "1");
#define GLOPT_TEXT(name, global, size, def, ...) add(&defaults, name, def);
#define GLOPT_QUOTED(name, global, size, def, ...) add(&defaults, name, quoted(def));
#include "cmn/global_options.def"
  seeds->Add("defaults", defaults);
  seeds->Add("bounds", bounds);
}

// Fuzz target of the options-reply readers: the input's lines become the
// items of an options reply (name, value, name, ...) that GlobalDispatch
// applies; afterwards every bounded option must still hold a value in range.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/global.h"

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
  GlobalDispatch(reply.c_str());
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

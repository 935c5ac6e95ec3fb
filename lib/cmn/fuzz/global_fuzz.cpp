// Fuzz target of the options-reply readers: the input's lines become the
// items of an options reply (name, value, name, ...) that GlobalDispatch
// applies; afterwards every range option must still hold a value in range.
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
  if (glMaxSessions < 25 || glMaxSessions > 200 || glBindTimeout < 1 || glBindTimeout > 3600 ||
      glMmFairLimit < 0 || glMmFairLimit > 100 || glMmdLockTimeout < 0 ||
      (glSchedulerGranularity != 1 && glSchedulerGranularity != 15)) {
    std::abort();
  }
  for (int i = 0; i <= kMediaClassRows; ++i) {
    if (mediaClasses[i].ageLimit < 0) std::abort();
  }
  return 0;
}

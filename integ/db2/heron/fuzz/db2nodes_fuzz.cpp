// Fuzz target: the db2nodes.cfg reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "heron/heron.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [node, host] : ParseNodesFile(text))
    if (node < 0 || node > 999 || host.empty()) __builtin_trap();
  return 0;
}

// Fuzz target of the agent's option line: any bytes give a parse result and
// items within the line's limits, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kestrel/agent.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  AgentOptions options;
  AgentItems items;
  const int rc = ParseOptLine(line, &options, &items);
  if (rc != kOptOk && rc != kOptFailed) std::abort();
  if (options.stopTime.size() > kStopTimeMax || options.fromInstance.size() > kFromInstanceMax ||
      options.concurrency < 0 || options.concurrency > kConcurrencyMax || options.devices < 1 ||
      options.devices > kDevicesMax)
    std::abort();
  for (const AgentItem& item : items)
    if (item.database.empty() || item.database.size() > kAgentNameMax || item.kind < 0 ||
        item.kind > kItemLog)
      std::abort();
  return 0;
}

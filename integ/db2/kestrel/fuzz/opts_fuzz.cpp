// Fuzz target of the agent's option line: any bytes give a parse result and
// items within the line's limits, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzzseed.h"
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
  if (rc == kOptOk) tarn::fuzz::Accepted();
  for (const AgentItem& item : items)
    if (item.database.empty() || item.database.size() > kAgentNameMax || item.kind < 0 ||
        item.kind > kItemLog)
      std::abort();
  return 0;
}

// Option lines as the session manager writes them: a backup, a table-space
// backup and a restore with its session and stop time.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("backup", std::string_view("-backup -dbname sample -sessionID 2008/10/11-5 -offline "
                                        "-conc 2 -dev_number 2\n"));
  seeds->Add("tablespaces",
             std::string_view("-backup -tsname SAMPLE*USERSPACE1 -tsname SAMPLE*SYSCATSPACE\n"));
  seeds->Add("restore", std::string_view("-restore -rollforward -time 2026-12-09-12.00.00.000000 "
                                         "-dbname sample -sessionID 2008/10/11-5\n"));
}

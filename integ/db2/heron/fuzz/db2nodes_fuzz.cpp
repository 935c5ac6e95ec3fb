// Fuzz target: the db2nodes.cfg reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzzseed.h"
#include "heron/heron.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto nodes = ParseNodesFile(text);
  for (const auto& [node, host] : nodes)
    if (node < 0 || node > 999 || host.empty()) __builtin_trap();
  if (!nodes.empty()) tarn::fuzz::Accepted();
  return 0;
}

// DB2 writes this file itself; these are its line forms (number, host, port
// and an optional net name), one partition and several on two hosts.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("single", std::string_view("0 dbhost 0\n"));
  seeds->Add("two_hosts", std::string_view("0 hosta 0\n1 hosta 1\n2 hostb 0 hostb-ib\n"));
}

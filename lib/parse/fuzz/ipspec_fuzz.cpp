// Fuzz target of the IP-spec parser and the client matcher: any
// text is refused or gives ranges inside 0 to 255, and matching never faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzzseed.h"
#include "parse/ipspec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: the part count (1 to 8); the rest: the IP spec text, and
  // after a NUL a client address for the matcher.
  const int count = data[0] % 8 + 1;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string spec = rest.substr(0, rest.find('\0'));
  int low[8];
  int high[8];
  if (IPspecToRanges(spec.c_str(), low, high, count) == 1) {
    tarn::fuzz::Accepted();
    for (int i = 0; i < count; ++i) {
      if (low[i] < 0 || low[i] > high[i] || high[i] > 255) std::abort();
    }
  }
  const std::size_t nul = rest.find('\0');
  const std::string client = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
  ConnectionIPCheck(client.c_str(), nullptr, spec.c_str());
  ConnectionIPCheck("host", client.c_str(), spec.c_str());
  if (ConnectionIPCheck(nullptr, nullptr, spec.c_str()) == 1 &&
      spec.find('*') == std::string::npos) {
    std::abort();  // without a client only a "*" entry can match
  }
  return 0;
}

// IP specifications of four parts (the first byte), with a client address.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("ranges", 3,
             std::string_view("10.0.0-7.*\0"
                              "10.0.3.200",
                              21));
  seeds->Add("single", 3, "192.168.1.10");
}

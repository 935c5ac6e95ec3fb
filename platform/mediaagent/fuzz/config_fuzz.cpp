// Fuzz target of the stand-in media agent's command line, stored metadata and
// the session manager's requests: any words are read into a configuration or
// refused with a reason; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/rcsid.h"
#include "mediaagent/config.h"
#include "mediaagent/protocol.h"
#include "mediaagent/store.h"

TARN_RCSID("platform/mediaagent/fuzz/config_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Words split at NUL bytes, as they would arrive in argv.
  std::vector<std::string> args;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = std::min(text.find('\0', from), text.size());
    args.emplace_back(text.substr(from, end - from));
    from = end + 1;
  }
  std::string why;
  if (!tarn::mediaagent::ParseCommandLine(args, &why) && why.empty()) std::abort();
  tarn::mediaagent::Faults faults;
  why.clear();
  if (!tarn::mediaagent::ParseFault(std::string(text), faults, &why) && why.empty()) std::abort();
  why.clear();
  const auto meta = tarn::mediaagent::ParseMeta(text, &why);
  if (!meta && why.empty()) std::abort();
  if (meta && tarn::mediaagent::MetaText(*meta) != text) std::abort();
  // A direction is only ever read from a whole line that names the DA id.
  if (tarn::mediaagent::RequestedDirection(text, 7) &&
      text.find("OBJECT da=7 backup\n") == std::string_view::npos &&
      text.find("OBJECT da=7 restore\n") == std::string_view::npos)
    std::abort();
  return 0;
}

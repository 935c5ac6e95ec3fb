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
#include "fuzz/fuzzseed.h"
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
  if (tarn::mediaagent::ParseCommandLine(args, &why)) {
    tarn::fuzz::Accepted();
  } else if (why.empty()) {
    std::abort();
  }
  tarn::mediaagent::Faults faults;
  why.clear();
  if (tarn::mediaagent::ParseFault(std::string(text), faults, &why)) {
    tarn::fuzz::Accepted();
  } else if (why.empty()) {
    std::abort();
  }
  why.clear();
  const auto meta = tarn::mediaagent::ParseMeta(text, &why);
  if (!meta && why.empty()) std::abort();
  if (meta && tarn::mediaagent::MetaText(*meta) != text) std::abort();
  if (meta) tarn::fuzz::Accepted();
  // A direction is only ever read from a whole line that names the DA id.
  if (tarn::mediaagent::RequestedDirection(text, 7) &&
      text.find("OBJECT da=7 backup\n") == std::string_view::npos &&
      text.find("OBJECT da=7 restore\n") == std::string_view::npos)
    std::abort();
  return 0;
}

// A command line (words parted by NULs), fault texts, and a stored stream's
// metadata as the store writes it.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace std::string_view_literals;
  seeds->Add("command_line",
             "--store\0/s\0--port\0"
             "5566\0--buffer-size\0"
             "8192\0--buffer-count\0"
             "4\0"
             "--offer\0"
             "99,100\0--fault\0corrupt=1:used\0--fault\0"
             "delay=5\0--sink"sv);
  seeds->Add("fault", "lose-acks=3");
  tarn::mediaagent::StreamMeta meta;
  meta.da = 7;
  meta.stopped = true;
  meta.geometry = {4096, 4, 12, 1};
  meta.blocks = 3;
  meta.bytes = 3 * meta.geometry.capacity();
  meta.sha256 = std::string(64, 'a');
  seeds->Add("metadata", tarn::mediaagent::MetaText(meta));
}

// Fuzz target of the stand-ins' message reader: any packet either parses into a
// message that encodes back to the same bytes, or is refused; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "codec/message.h"
#include "codec/rcsid.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("platform/codec/fuzz/message_fuzz.cpp");

using namespace tarn::standin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto message = ParseMessage(bytes);
  if (!message) return 0;
  // Leading zeros and "-0" read fine but encode shorter, so compare messages.
  const auto again = ParseMessage(EncodeMessage(*message));
  if (!again || !(*again == *message)) std::abort();
  tarn::fuzz::Accepted();
  (void)ReadPackedError(*message);
  (void)ParseClientDataHeader(*message);
  (void)ParseServerDataHeader(*message);
  return 0;
}

// Messages as the stand-ins' writers build them: a report, results with and
// without an error, and the headers of bulk data both ways.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  Message error = MakeResult(PackedError{1001, 2, "CsaExec", "[110] Connection timed out"});
  const std::pair<const char*, Message> kMessages[] = {
      {"report", Message{15, {"\x07\x01[131:11]\x03arg", "plain"}}},
      {"result", MakeResult()},
      {"error", error},
      {"result_extra", MakeResult({}, {"a", "", "42"})},
      {"client_data", MakeClientDataHeader(true, 4096)},
      {"server_data", MakeServerDataHeader(65536)},
  };
  for (const auto& [name, message] : kMessages) seeds->Add(name, EncodeMessage(message));
}

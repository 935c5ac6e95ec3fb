// Fuzz target of the stand-ins' message reader: any packet either parses into a
// message that encodes back to the same bytes, or is refused; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/message.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/codec/fuzz/message_fuzz.cpp");

using namespace tarn::standin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto message = ParseMessage(bytes);
  if (!message) return 0;
  // Leading zeros and "-0" read fine but encode shorter, so compare messages.
  const auto again = ParseMessage(EncodeMessage(*message));
  if (!again || !(*again == *message)) std::abort();
  (void)ReadPackedError(*message);
  (void)ParseClientDataHeader(*message);
  (void)ParseServerDataHeader(*message);
  return 0;
}

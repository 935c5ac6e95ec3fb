// Fuzz target of what the stand-in media agent reads from a client: any packet
// is refused or read as a message whose ids and counts lie in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/message.h"
#include "codec/rcsid.h"
#include "mediaagent/protocol.h"

TARN_RCSID("platform/mediaagent/fuzz/message_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace ma = tarn::mediaagent;
  if (size < 1) return 0;
  const int count = data[0] % 64 + 1;
  const auto message = tarn::standin::ParseMessage(
      std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  if (!message) return 0;
  if (const auto id = ma::ParseBackupData(*message, count); id && (*id < 0 || *id >= count))
    std::abort();
  if (const auto id = ma::ParseRestoreData(*message, 7, count); id && (*id < 0 || *id >= count))
    std::abort();
  if (const auto da = ma::ParseOpen(*message); da && *da < 0) std::abort();
  if (const auto da = ma::ParseReconnect(*message); da && *da < 0) std::abort();
  (void)ma::ParseProtocolAnswer(*message);
  return 0;
}

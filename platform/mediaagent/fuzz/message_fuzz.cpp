// Fuzz target of what the stand-in media agent reads from a client: any packet
// is refused or read as a message whose ids and counts lie in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "codec/message.h"
#include "codec/rcsid.h"
#include "fuzz/fuzzseed.h"
#include "mediaagent/protocol.h"

TARN_RCSID("platform/mediaagent/fuzz/message_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace ma = tarn::mediaagent;
  if (size < 1) return 0;
  const int count = data[0] % 64 + 1;
  const auto message = tarn::standin::ParseMessage(
      std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  if (!message) return 0;
  bool accepted = false;
  if (const auto id = ma::ParseBackupData(*message, count)) {
    if (*id < 0 || *id >= count) std::abort();
    accepted = true;
  }
  if (const auto id = ma::ParseRestoreData(*message, 7, count)) {
    if (*id < 0 || *id >= count) std::abort();
    accepted = true;
  }
  if (const auto da = ma::ParseOpen(*message)) {
    if (*da < 0) std::abort();
    accepted = true;
  }
  if (const auto da = ma::ParseReconnect(*message)) {
    if (*da < 0) std::abort();
    accepted = true;
  }
  if (ma::ParseProtocolAnswer(*message)) accepted = true;
  if (accepted) tarn::fuzz::Accepted();
  return 0;
}

// What a client sends the agent, after the byte that sets the buffer count
// (eight): buffer messages, opens of both forms, a reconnect and a protocol
// answer.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  namespace ma = tarn::mediaagent;
  using tarn::standin::EncodeMessage;
  using tarn::standin::Message;
  const std::pair<const char*, Message> kMessages[] = {
      {"backup_data", ma::MakeBufferMessage(5)},
      {"restore_data", Message{ma::kMsgData, {"7", "3"}}},
      {"open", Message{ma::kMsgOpen, {"7"}}},
      {"open_long", Message{ma::kMsgOpen, {"7", "db2host", "SAMPLE", "0", "1"}}},
      {"reconnect", Message{ma::kMsgReconnect, {"7"}}},
      {"protocol", Message{ma::kMsgProtocol, {"27", "100", "600", "A.01.00", "kestrel", "2"}}},
  };
  for (const auto& [name, message] : kMessages) seeds->Add(name, 7, EncodeMessage(message));
}

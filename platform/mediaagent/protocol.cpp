// What the stand-in media agent speaks on its data-path connections: message
// ids, the buffer geometry, and the messages it builds and reads.
#include "mediaagent/protocol.h"

#include <limits>

#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/protocol.cpp");

namespace tarn::mediaagent {

using standin::Message;
using standin::ParseDecimal;

namespace {

constexpr long long kIntMax = std::numeric_limits<int>::max();

std::optional<int> Int(const std::string& text, long long min, long long max) {
  const auto value = ParseDecimal(text, min, max);
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace

bool CheckGeometry(const Geometry& g, std::string* why) {
  const auto fail = [why](const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (g.bufferCount < 1 || g.bufferCount > kMaxBufferCount) return fail("buffer count not 1..64");
  if (g.bufferSize < kMinBufferSize || g.bufferSize > kMaxBufferSize)
    return fail("buffer size not 1024..16777216");
  if (g.offset >= g.bufferSize || g.blockStart() + 128u > g.bufferSize)
    return fail("buffer offset leaves less than 128 bytes for the block");
  if (g.section < 0 || g.section > 63) return fail("section not 0..63");
  if (g.segmentSize() > kMaxSegmentSize) return fail("segment larger than 1 GiB");
  return true;
}

Message MakeOffer(int version) {
  return {kMsgProtocol,
          {std::to_string(kOfferType), std::to_string(version), std::to_string(kOfferAgent), "100",
           "tarn-mediaagent", std::to_string(kOfferFlags)}};
}

std::optional<ProtocolAnswer> ParseProtocolAnswer(const Message& message) {
  if (message.code != kMsgProtocol || message.items.size() < 6) return std::nullopt;
  const auto version = Int(message.items[1], -kIntMax, kIntMax);
  const auto flags = Int(message.items[5], -kIntMax, kIntMax);
  if (!version || !flags) return std::nullopt;
  return ProtocolAnswer{*version, *flags};
}

Message MakeDescription(const Geometry& g, int key, std::uintptr_t address) {
  return {kMsgListen,
          {std::to_string(g.section), std::to_string(key), std::to_string(address),
           std::to_string(g.bufferSize), std::to_string(g.bufferCount),
           std::to_string(g.segmentSize()), std::to_string(g.offset)}};
}

Message MakeReopenListen(const Geometry& g, int key) {
  return {kMsgListen,
          {std::to_string(key), std::to_string(g.segmentSize()), std::to_string(g.section),
           std::to_string(g.bufferCount), std::to_string(g.bufferSize), std::to_string(g.offset)}};
}

Message MakeBufferState(std::uint32_t blocks, std::uint32_t acks, int bufferCount) {
  const auto ring = static_cast<std::uint32_t>(2 * bufferCount);
  return {kMsgBufferState, {std::to_string(blocks % ring), std::to_string(acks % ring)}};
}

Message MakeBufferMessage(int id) {
  return {kMsgData, {std::to_string(id)}};
}

std::optional<int> ParseOpen(const Message& message) {
  if (message.code != kMsgOpen || message.items.empty()) return std::nullopt;
  return Int(message.items[0], 0, kIntMax);
}

std::optional<Direction> RequestedDirection(std::string_view requests, int da) {
  const std::string wanted = "OBJECT da=" + std::to_string(da) + " ";
  std::optional<Direction> found;
  for (std::size_t at = 0, end; (end = requests.find('\n', at)) != std::string_view::npos;
       at = end + 1) {
    const std::string_view line = requests.substr(at, end - at);
    if (!line.starts_with(wanted)) continue;
    const std::string_view direction = line.substr(wanted.size());
    if (direction == "backup") found = Direction::kBackup;
    if (direction == "restore") found = Direction::kRestore;
  }
  return found;
}

std::optional<int> ParseReconnect(const Message& message) {
  if (message.code != kMsgReconnect || message.items.size() != 1) return std::nullopt;
  return Int(message.items[0], 0, kIntMax);
}

std::optional<int> ParseBackupData(const Message& message, int bufferCount) {
  if (message.code != kMsgData || message.items.size() != 1) return std::nullopt;
  return Int(message.items[0], 0, bufferCount - 1);
}

std::optional<int> ParseRestoreData(const Message& message, int daId, int bufferCount) {
  if (message.code != kMsgData || message.items.size() != 2) return std::nullopt;
  const auto da = Int(message.items[0], 0, kIntMax);
  if (!da || *da != daId) return std::nullopt;
  return Int(message.items[1], 0, bufferCount - 1);
}

}  // namespace tarn::mediaagent

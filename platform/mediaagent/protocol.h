// What the stand-in media agent speaks on its data-path connections: message
// ids, the buffer geometry and where blocks lie in it, and the one place each
// message it sends is built and each message it takes is read.
//
// Choices where the data-path client leaves the agent's side open:
// - Negotiation: with versions to offer the agent opens with 267 (type 10,
//   the version, agent 600, subversion "100", name "tarn-mediaagent", flags 2)
//   and offers the next version while the client answers flags without bit 2
//   or another version; when none is left it sends MSG_ABORT and closes. A
//   client that reconnects expects the description at once, so reconnection
//   needs an agent started without versions to offer.
// - The description is message 10 with seven items: section, key, address,
//   buffer size, buffer count, segment size, buffer offset. The segment holds
//   (section + 1) x count x size bytes; the address is where the agent
//   attached it.
// - Backup or restore: the direction comes from the request. The long form of
//   MSG_OPEN (options after the DA id) is only ever a backup's; the short form
//   carries only the DA id, so the direction then comes from the command line
//   (role backup or restore) or, with role auto, from the session manager's
//   object requests (--requests: the latest line "OBJECT da=<id> backup" or
//   "OBJECT da=<id> restore" that names the DA id; a DA id no line names is
//   refused). Role auto without a requests file serves a DA id whose stream
//   has ended (its metadata file is there) as a restore and any other as a
//   backup.
// - A stored stream is never overwritten: a backup to a DA id whose blocks or
//   metadata file exists is answered with MSG_ABORT, whatever its status.
// - Block places: buffer i of a local segment lies at size x (section x count
//   + i) for a backup client, behind the buffers of the sections in front, and
//   at size x i for a restore client, whatever the section: restore clients
//   read their buffers there. The block starts at the buffer offset rounded
//   up to 8 and holds size less that many bytes. A raw packet always carries
//   one whole buffer.
// - Backup acknowledgement: 24 with the buffer id, sent only after the block
//   was checked and written to the store file. A block that fails the check,
//   a buffer id outside 0..count-1 or a store failure is answered with
//   MSG_ABORT and the stream ends aborted.
// - Restore: the agent fills free buffers in the order they came back (at
//   first 0..count-1) and announces each with 24 and the buffer id; the client
//   returns one with 24, DA id, buffer id. MSG_STOP or MSG_ABORT end it;
//   MSG_CLOSE ends the object, after which MSG_OPEN without items is answered
//   with MSG_LISTEN (key, segment size, section, count, size, offset) and a
//   MSG_OPEN with the DA id serves the stream again from its first block.
//   With the truncate fault the agent answers MSG_ABORT once every block it
//   announced has come back: the stream ends there, as on a short medium.
// - The configured geometry must give the stored blocks' capacity (buffer size
//   and offset); count and section may differ, they only shape the segment.
// - Reconnection answers MSG_MA_BUFFER_STATE with the blocks stored and the
//   acknowledgements sent, both modulo 2 x count; blocks stored but never
//   acknowledged are acknowledged right after it, so no buffer stays lost.
// - Every end of a backup stream prints one STREAM_END line: status stop after
//   MSG_STOP, abort after MSG_ABORT, a refused block, a closed or broken link
//   or a time-out; a stream kept for resumption (a broken link) adds the word
//   "resumable". A resumed stream prints its own line when it ends again.
// - The zero-copy messages 600 and 601 are not served: MSG_OPEN_NOMEMCPY is
//   answered with MSG_ABORT. Which of its buffers a zero-copy caller may fill
//   is agreed through the map library and map names the message carries, a
//   matter of the real agent and its map library that nothing here describes.
// - A restore serves only streams stored with status stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/message.h"

namespace tarn::mediaagent {

inline constexpr int kMsgAbort = 1;
inline constexpr int kMsgStop = 6;
inline constexpr int kMsgListen = 10;  // the description, and the answer to a reopen
inline constexpr int kMsgData = 24;
inline constexpr int kMsgOpen = 27;
inline constexpr int kMsgClose = 28;
inline constexpr int kMsgOpenNoMemcpy = 601;  // MSG_OPEN_NOMEMCPY, refused
inline constexpr int kMsgProtocol = 267;
inline constexpr int kMsgProbe = 1050;
inline constexpr int kMsgReconnect = 1051;    // MSG_DAMA_RECONNECT
inline constexpr int kMsgBufferState = 1052;  // MSG_MA_BUFFER_STATE

inline constexpr int kMaxBufferCount = 64;
inline constexpr std::uint32_t kMinBufferSize = 1024;
inline constexpr std::uint32_t kMaxBufferSize = 16u << 20;
inline constexpr std::uint64_t kMaxSegmentSize = 1ull << 30;
// Agent values in the 267 offer.
inline constexpr int kOfferType = 10;
inline constexpr int kOfferAgent = 600;
inline constexpr int kOfferFlags = 2;

struct Geometry {
  std::uint32_t bufferSize = 65536;
  int bufferCount = 8;
  std::uint32_t offset = 0;
  int section = 0;

  bool operator==(const Geometry&) const = default;

  // Where the block starts inside a buffer, and its capacity.
  std::uint32_t blockStart() const { return (offset + 7u) & ~7u; }
  std::uint32_t capacity() const { return bufferSize - blockStart(); }
  std::uint64_t segmentSize() const {
    return std::uint64_t(section + 1) * std::uint64_t(bufferCount) * bufferSize;
  }
  // Offset of buffer `id` in a local segment: a backup buffer lies behind the
  // buffers of the sections in front, a restore buffer at the segment's
  // start whatever the section.
  std::uint64_t backupBuffer(int id) const {
    return std::uint64_t(bufferSize) * (std::uint64_t(section) * bufferCount + id);
  }
  std::uint64_t restoreBuffer(int id) const {
    return std::uint64_t(bufferSize) * std::uint64_t(id);
  }
};

// Nothing when the geometry is unusable, with the reason in *why: count 1..64,
// size 1 KiB..16 MiB, offset below size leaving a capacity of at least 128
// bytes, section 0..63, segment at most 1 GiB.
bool CheckGeometry(const Geometry& geometry, std::string* why);

standin::Message MakeOffer(int version);
// The client's answer to an offer: its version and flags.
struct ProtocolAnswer {
  int version = 0;
  int flags = 0;
};
std::optional<ProtocolAnswer> ParseProtocolAnswer(const standin::Message& message);

// Message 10 with the seven items of the description.
standin::Message MakeDescription(const Geometry& geometry, int key, std::uintptr_t address);
// MSG_LISTEN with the six items a client gets after reopening a restore.
standin::Message MakeReopenListen(const Geometry& geometry, int key);
standin::Message MakeBufferState(std::uint32_t blocks, std::uint32_t acks, int bufferCount);
standin::Message MakeBufferMessage(int id);  // 24 "<id>": acknowledgement or filled buffer

// MSG_OPEN (short or long form): the DA id, 0..INT_MAX.
std::optional<int> ParseOpen(const standin::Message& message);
// Whether a MSG_OPEN is in the long form, which only a backup sends.
inline bool IsBackupOpen(const standin::Message& message) {
  return message.items.size() > 1;
}

enum class Direction { kBackup, kRestore };
// The direction of the latest "OBJECT da=<da> backup|restore" line of the
// session manager's requests text; nothing when no complete line names `da`.
std::optional<Direction> RequestedDirection(std::string_view requests, int da);
// MSG_DAMA_RECONNECT: the DA id.
std::optional<int> ParseReconnect(const standin::Message& message);
// Backup MSG_DATA: exactly the buffer id, in 0..count-1.
std::optional<int> ParseBackupData(const standin::Message& message, int bufferCount);
// Restore MSG_DATA: DA id and buffer id; nothing unless the DA id is `daId`
// and the buffer id in 0..count-1.
std::optional<int> ParseRestoreData(const standin::Message& message, int daId, int bufferCount);

}  // namespace tarn::mediaagent

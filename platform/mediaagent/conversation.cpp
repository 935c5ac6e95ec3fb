// One data-path connection of the stand-in media agent: segment, negotiation,
// description, then a backup, a resumed backup or a restore, with the faults.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>

#include "codec/dastream.h"
#include "codec/rcsid.h"
#include "mediaagent/agent.h"
#include "mediaagent/channel.h"
#include "mediaagent/items.h"
#include "mediaagent/segment.h"

TARN_RCSID("platform/mediaagent/conversation.cpp");

namespace tarn::mediaagent {

namespace {

using standin::Message;
namespace ds = standin::dastream;

// The requests file is read up to this much from its end: its latest lines.
constexpr std::size_t kMaxRequestsRead = 4 << 20;

// The last `limit` bytes of the file at `path` (whole lines only when cut)
// into `out`; false with the reason in *why.
bool ReadTail(const std::string& path, std::size_t limit, std::string& out, std::string* why) {
  const standin::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    *why = "cannot read the requests file " + path + ": " + std::strerror(errno);
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t from = size > limit ? size - limit : 0;
  out.assign(static_cast<std::size_t>(size - from), '\0');
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd.get(), out.data() + done, out.size() - done, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  // A cut first line could name another DA id's tail as this one.
  if (from > 0) {
    const std::size_t first = out.find('\n');
    out.erase(0, first == std::string::npos ? out.size() : first + 1);
  }
  return true;
}

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void Put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

void Put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

// Damages one field of a block for the corrupt fault; false when the block
// holds no record that has the field.
bool Corrupt(std::span<std::uint8_t> block, CorruptField field) {
  constexpr std::size_t kFirst = ds::kBlockHeaderSize;
  switch (field) {
    case CorruptField::kMagic: block[0] ^= 0xFF; return true;
    case CorruptField::kUsed:
      Put32(block, 32, static_cast<std::uint32_t>(block.size() + 8));
      return true;
    default: break;
  }
  if (Get32(block, 32) < kFirst + ds::kRecordHeaderSize) return false;
  if (field == CorruptField::kRecordLength) {
    Put32(block, kFirst + 20, 0x7FFFFFF8u);
    return true;
  }
  if (field == CorruptField::kRecordType) {
    Put32(block, kFirst + 4, 99);
    return true;
  }
  ds::DecodeOptions options;
  options.reservedMustBeZero = false;
  const auto decoded = ds::DecodeBlock(std::span<const std::uint8_t>(block), options);
  if (!decoded) return false;
  for (const ds::Record& r : decoded->records) {
    const auto type = static_cast<ds::RecordType>(r.type);
    if (field == CorruptField::kDataLength &&
        (type == ds::RecordType::kData || type == ds::RecordType::kDataSkipped)) {
      Put16(block, r.offset + 44, 0xFFFF);
      Put16(block, r.offset + 56, 0x7FFF);
      return true;
    }
    if (field == CorruptField::kStringLength) {
      std::size_t at = 0;
      if (type == ds::RecordType::kStart) at = 68;
      if (type == ds::RecordType::kAttribute || type == ds::RecordType::kAttributeNoCatalog)
        at = 76;
      if (type == ds::RecordType::kError) at = 40;
      if (at != 0) {
        Put16(block, r.offset + at, 0xFFFF);
        return true;
      }
    }
  }
  return false;
}

class Conversation {
 public:
  Conversation(Agent& agent, Channel& channel)
      : agent_(agent), config_(agent.config()), g_(config_.geometry), channel_(channel) {}

  void run();

 private:
  bool negotiate();
  // Whether the MSG_OPEN of `da` asks for a backup or a restore; nothing with
  // the reason in *why.
  std::optional<Direction> directionOf(const Message& open, int da, std::string* why);
  void backup(const std::shared_ptr<BackupStream>& stream);
  // One MSG_DATA of a backup; false when the conversation ends (*interrupted
  // tells whether the stream may resume).
  bool backupBlock(BackupStream& stream, int id, bool& interrupted);
  bool acknowledge(BackupStream& stream, int id, std::uint32_t block);
  // The hold fault: false when the agent stops first.
  bool holdUntilReleased(std::uint32_t block);
  // Writes the stream's metadata, gives its DA id free (or keeps the stream
  // for a reconnect when `interrupted`), then announces the end: a driver
  // that reacts to the STREAM_END line finds the stream complete and free.
  void finishBackup(const std::shared_ptr<BackupStream>& stream, bool stopped, bool interrupted);
  void restore(int da);
  // Serves one object; true when the client reopens it after MSG_CLOSE.
  bool serveRestore(const StreamReader& reader, int da);
  bool announce(const StreamReader& reader, std::uint32_t block, int id, int announcedId);
  bool local();
  // The next message; a frame that is no message is answered with MSG_ABORT.
  bool receive(Message& message) {
    const Channel::Got got = channel_.receive(message);
    if (got == Channel::Got::kBad) abort("unreadable input");
    return got == Channel::Got::kMessage;
  }
  // Removes the segment before the client sees the connection end.
  void end(std::string_view reason) {
    segment_.reset();
    channel_.close(reason);
  }
  void abort(std::string_view why) {
    channel_.note("abort", why);
    channel_.send({kMsgAbort, {}});
    end("aborted");
  }

  Agent& agent_;
  const Config& config_;
  const Geometry& g_;
  Channel& channel_;
  std::unique_ptr<Segment> segment_;
  std::optional<bool> local_;
  // A received raw packet, or a block read from the segment: sized once per
  // conversation, then overwritten block by block.
  std::vector<std::uint8_t> raw_;
  std::vector<std::uint8_t> buffer_;  // one buffer for a restore to a remote client
};

bool Conversation::local() {
  if (!local_) {
    switch (config_.transfer) {
      case Transfer::kSharedMemory: local_ = true; break;
      case Transfer::kSocket: local_ = false; break;
      case Transfer::kAuto: local_ = segment_->attachCount() > 1; break;
    }
    channel_.note("transfer", *local_ ? "shared memory" : "socket");
  }
  return *local_;
}

void Conversation::run() {
  if (agent_.refuseOnce()) {
    abort("fault refuse");
    return;
  }
  std::string why;
  segment_ = Segment::Create(static_cast<std::size_t>(g_.segmentSize()), &why,
                             SegmentLedger(config_.storeDir));
  if (!segment_) {
    abort(why);
    return;
  }
  channel_.note("segment", "key " + std::to_string(segment_->key()));
  // A reconnecting client expects the description as the first message.
  if (!agent_.resumePending() && !negotiate()) return;
  if (!channel_.send(MakeDescription(g_, segment_->key(), segment_->address()))) return;

  Message message;
  if (!receive(message)) return;
  if (message.code == kMsgAbort || message.code == kMsgStop) return;
  if (message.code == kMsgReconnect) {
    const auto da = ParseReconnect(message);
    auto stream = da ? agent_.resumeBackup(*da) : nullptr;
    if (!stream) return abort("no interrupted stream to resume");
    if (!channel_.send(MakeBufferState(stream->received, stream->acks, g_.bufferCount))) {
      agent_.endBackup(stream, true);
      return;
    }
    // Blocks stored without an acknowledgement would keep their buffers
    // away from the client for good.
    std::vector<int> unacked;
    unacked.swap(stream->unacked);
    for (const int id : unacked) {
      if (!channel_.send(MakeBufferMessage(id))) {
        stream->unacked = unacked;
        agent_.endBackup(stream, true);
        return;
      }
      ++stream->acks;
    }
    return backup(stream);
  }
  if (message.code == kMsgOpenNoMemcpy) return abort("zero-copy streams are not served");
  const auto da = ParseOpen(message);
  if (!da) return abort("expected MSG_OPEN or MSG_DAMA_RECONNECT");
  const auto direction = directionOf(message, *da, &why);
  if (!direction) return abort(why);
  if (*direction == Direction::kRestore) return restore(*da);
  auto stream = agent_.beginBackup(*da, &why);
  if (!stream) return abort(why);
  backup(stream);
}

std::optional<Direction> Conversation::directionOf(const Message& open, int da, std::string* why) {
  const std::string name = "DA " + std::to_string(da);
  if (IsBackupOpen(open)) {
    if (config_.role != Role::kRestore) return Direction::kBackup;
    *why = "a backup's MSG_OPEN for " + name + " at an agent for restores";
    return std::nullopt;
  }
  switch (config_.role) {
    case Role::kBackup: return Direction::kBackup;
    case Role::kRestore: return Direction::kRestore;
    case Role::kAuto: break;
  }
  if (config_.requests.empty())
    return StreamRecorded(config_.storeDir, da) ? Direction::kRestore : Direction::kBackup;
  std::string text;
  if (!ReadTail(config_.requests, kMaxRequestsRead, text, why)) return std::nullopt;
  const auto requested = RequestedDirection(text, da);
  if (!requested) *why = "no object request of the session manager names " + name;
  return requested;
}

bool Conversation::negotiate() {
  for (const int version : config_.offers) {
    if (!channel_.send(MakeOffer(version))) return false;
    Message answer;
    if (!receive(answer)) return false;
    const auto parsed = ParseProtocolAnswer(answer);
    if (!parsed) {
      abort("expected a 267 answer");
      return false;
    }
    if ((parsed->flags & kOfferFlags) != 0 && parsed->version == version) {
      channel_.note("negotiated", std::to_string(version));
      return true;
    }
  }
  if (config_.offers.empty()) return true;
  abort("no offered version accepted");
  return false;
}

void Conversation::backup(const std::shared_ptr<BackupStream>& stream) {
  bool interrupted = true;
  for (;;) {
    Message message;
    if (!receive(message)) break;
    if (message.code == kMsgData) {
      const auto id = ParseBackupData(message, g_.bufferCount);
      if (!id) {
        abort("MSG_DATA without a buffer id in 0.." + std::to_string(g_.bufferCount - 1));
        break;
      }
      if (!backupBlock(*stream, *id, interrupted)) break;
    } else if (message.code == kMsgStop) {
      finishBackup(stream, true, false);
      end("stop");
      return;
    } else if (message.code == kMsgAbort) {
      break;
    } else if (message.code == kMsgProbe) {
      continue;
    } else {
      abort("message " + std::to_string(message.code) + " during a backup");
      break;
    }
  }
  finishBackup(stream, false, interrupted);
}

bool Conversation::backupBlock(BackupStream& stream, int id, bool& interrupted) {
  const std::uint32_t block = stream.received;
  if (agent_.fires(&Faults::dropAfter, block)) {
    agent_.breakingLink(stream.da);
    channel_.reset("fault drop-after");
    return false;
  }
  std::span<const std::uint8_t> bytes;
  if (local() && config_.sink) {
    // Acknowledged unread.
  } else if (local()) {
    const auto shared = segment_->bytes(g_.backupBuffer(id) + g_.blockStart(), g_.capacity());
    // A private copy: the client could change its buffer while it is checked.
    if (raw_.size() < shared.size()) raw_.resize(shared.size());
    std::memcpy(raw_.data(), shared.data(), shared.size());
    bytes = std::span(raw_).first(shared.size());
  } else {
    if (raw_.size() < g_.bufferSize) raw_.resize(g_.bufferSize);
    const Channel::Got got = channel_.receiveRaw(std::span(raw_).first(g_.bufferSize));
    if (got == Channel::Got::kBad) abort("unreadable raw packet");
    if (got != Channel::Got::kMessage) return false;
    bytes = std::span<const std::uint8_t>(raw_).first(g_.bufferSize).subspan(g_.blockStart());
  }
  if (agent_.fires(&Faults::abortAt, block)) {
    abort("fault abort-at");
    return false;
  }
  if (!config_.sink) {
    if (block == 0 && bytes.size() >= ds::kBlockHeaderSize &&
        Get32(bytes, 8) != static_cast<std::uint32_t>(stream.da)) {
      interrupted = false;
      abort("block 0 carries DA id " + std::to_string(Get32(bytes, 8)));
      return false;
    }
    const auto decoded = stream.decoder.Feed(bytes);
    if (!decoded) {
      interrupted = false;
      abort(stream.decoder.error());
      return false;
    }
    ReportItems(agent_, stream.da, *decoded);
    std::string why;
    if (!stream.writer->append(bytes, &why)) {
      interrupted = false;
      abort(why);
      return false;
    }
  }
  ++stream.received;
  return acknowledge(stream, id, block);
}

bool Conversation::acknowledge(BackupStream& stream, int id, std::uint32_t block) {
  if (config_.faults.loseAcks && block >= *config_.faults.loseAcks) {
    channel_.note("fault", "lose-acks " + std::to_string(block));
    stream.unacked.push_back(id);
    return true;
  }
  if (config_.faults.hold && block == *config_.faults.hold && !holdUntilReleased(block))
    return false;
  if (config_.faults.delay.count() > 0 && !channel_.pause(config_.faults.delay)) return false;
  if (agent_.fires(&Faults::badAck, block)) {
    channel_.note("fault", "bad-ack " + std::to_string(block));
    id = g_.bufferCount;
  }
  if (agent_.fires(&Faults::cutAt, block)) {
    ++stream.acks;
    channel_.sendHalfAndClose(MakeBufferMessage(id), {});
    return false;
  }
  if (!channel_.send(MakeBufferMessage(id))) {
    stream.unacked.push_back(id);
    return false;
  }
  ++stream.acks;
  return true;
}

bool Conversation::holdUntilReleased(std::uint32_t block) {
  const std::string release = config_.storeDir + "/release";
  const auto read = [&release] {
    std::ifstream in(release, std::ios::binary);
    std::string text(64, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
  };
  const std::string held = read();
  channel_.note("fault", "hold " + std::to_string(block));
  while (read() == held) {
    if (!channel_.pause(std::chrono::milliseconds(5))) return false;
  }
  channel_.note("fault", "released " + std::to_string(block));
  return true;
}

void Conversation::finishBackup(const std::shared_ptr<BackupStream>& stream, bool stopped,
                                bool interrupted) {
  std::string why;
  if (stream->writer && !stream->writer->finish(stopped, &why)) channel_.note("store", why);
  agent_.endBackup(stream, interrupted);
  // A stream kept for its client's reconnection has not ended for good.
  const std::string line =
      "STREAM_END da=" + std::to_string(stream->da) + " status=" + (stopped ? "stop" : "abort") +
      " blocks=" + std::to_string(stream->received) + (interrupted ? " resumable" : "");
  channel_.note("event", line);
  agent_.event(line);
}

void Conversation::restore(int da) {
  if (!agent_.beginRestore(da)) return abort("DA " + std::to_string(da) + " is in use");
  std::string why;
  const auto reader = StreamReader::Open(config_.storeDir, da, &why);
  if (!reader) {
    abort(why);
  } else if (!reader->meta().stopped) {
    abort("stream of DA " + std::to_string(da) + " was not stopped");
  } else if (reader->meta().geometry.bufferSize != g_.bufferSize ||
             reader->meta().geometry.blockStart() != g_.blockStart()) {
    abort("configured geometry differs from the stored one");
  } else {
    if (!local()) buffer_.assign(g_.bufferSize, 0);
    while (serveRestore(*reader, da)) {
    }
  }
  agent_.endRestore(da);
}

bool Conversation::announce(const StreamReader& reader, std::uint32_t block, int id,
                            int announcedId) {
  // A local client gets the block read straight into its buffer in the
  // segment (the buffer is the agent's until the message announces it); the
  // few bytes in front of the block are zero there too, as in the buffer sent
  // to a remote client, whatever the client left in them. A remote client's
  // block goes from the store file to the socket without a copy of ours,
  // unless a fault must change or cut it.
  const bool shared = local();
  const bool corrupt = agent_.fires(&Faults::corruptAt, block);
  const std::span<std::uint8_t> whole =
      shared ? segment_->bytes(g_.restoreBuffer(id), g_.bufferSize) : std::span(buffer_);
  if (shared) std::fill_n(whole.begin(), g_.blockStart(), std::uint8_t{0});
  const std::span<std::uint8_t> blockBytes = whole.subspan(g_.blockStart(), g_.capacity());
  const auto readBlock = [&] {
    if (reader.read(block, blockBytes)) return true;
    abort("cannot read block " + std::to_string(block));
    return false;
  };
  const bool fromFile = !shared && !corrupt;
  if (!fromFile && !readBlock()) return false;
  if (corrupt && !Corrupt(blockBytes, config_.faults.corruptField))
    channel_.note("fault", "corrupt: block " + std::to_string(block) + " has no such field");
  if (config_.faults.delay.count() > 0 && !channel_.pause(config_.faults.delay)) return false;
  if (config_.faults.restoreHold && block == *config_.faults.restoreHold &&
      !holdUntilReleased(block))
    return false;
  const bool cut =
      agent_.fires(&Faults::cutAt, block) || agent_.fires(&Faults::restoreCutAt, block);
  if (shared) {
    if (cut) {
      channel_.sendHalfAndClose(MakeBufferMessage(announcedId), {});
      return false;
    }
    return channel_.send(MakeBufferMessage(announcedId));
  }
  if (cut) {
    if (fromFile && !readBlock()) return false;
    channel_.sendHalfAndClose(MakeBufferMessage(announcedId), buffer_);
    return false;
  }
  if (fromFile) {
    return channel_.sendWithRawFromFile(MakeBufferMessage(announcedId),
                                        whole.first(g_.blockStart()), reader.file(),
                                        reader.offsetOf(block), g_.capacity());
  }
  return channel_.sendWithRaw(MakeBufferMessage(announcedId), buffer_);
}

bool Conversation::serveRestore(const StreamReader& reader, int da) {
  const int count = g_.bufferCount;
  std::deque<int> free;
  std::vector<bool> out(static_cast<std::size_t>(count), false);
  for (int id = 0; id < count; ++id) free.push_back(id);
  std::uint32_t last = reader.meta().blocks;
  std::uint32_t next = 0;
  const auto truncate = config_.faults.truncate;
  bool truncated = false;
  if (truncate && *truncate < last && agent_.fires(&Faults::truncate, *truncate)) {
    channel_.note("fault", "truncate " + std::to_string(*truncate));
    last = *truncate;
    truncated = true;
  }
  (void)local();
  for (;;) {
    while (next < last && !free.empty()) {
      const int id = free.front();
      free.pop_front();
      out[static_cast<std::size_t>(id)] = true;
      const int announced = agent_.fires(&Faults::badBuffer, next) ? count : id;
      if (!announce(reader, next, id, announced)) return false;
      if (!agent_.fires(&Faults::duplicate, next)) ++next;
    }
    // A client still reading waits for the block that will not come.
    if (truncated && next == last && std::find(out.begin(), out.end(), true) == out.end()) {
      abort("truncated after block " + std::to_string(last));
      return false;
    }
    Message message;
    if (!receive(message)) return false;
    if (message.code == kMsgData) {
      const auto id = ParseRestoreData(message, da, count);
      if (!id || !out[static_cast<std::size_t>(*id)]) {
        abort("MSG_DATA without DA id " + std::to_string(da) + " and a buffer held by the client");
        return false;
      }
      out[static_cast<std::size_t>(*id)] = false;
      free.push_back(*id);
    } else if (message.code == kMsgStop || message.code == kMsgAbort) {
      end(message.code == kMsgStop ? "stop" : "abort");
      return false;
    } else if (message.code == kMsgClose) {
      if (!receive(message)) return false;
      if (message.code != kMsgOpen || !message.items.empty()) {
        abort("expected MSG_OPEN without items after MSG_CLOSE");
        return false;
      }
      if (!channel_.send(MakeReopenListen(g_, segment_->key()))) return false;
      if (!receive(message)) return false;
      const auto again = ParseOpen(message);
      if (!again || *again != da) {
        abort("expected MSG_OPEN with DA id " + std::to_string(da));
        return false;
      }
      return true;
    } else {
      abort("message " + std::to_string(message.code) + " during a restore");
      return false;
    }
  }
}

}  // namespace

void Converse(Agent& agent, standin::Fd fd, std::string label) {
  const Config& config = agent.config();
  Channel channel(std::move(fd), std::move(label), agent.traffic(), agent.stopFd(),
                  Timeouts{config.idle, config.io},
                  config.trafficEvery ? TrafficDetail::kEvery : TrafficDetail::kKinds);
  Conversation(agent, channel).run();
}

}  // namespace tarn::mediaagent

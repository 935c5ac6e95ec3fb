// One client connection of the stand-in cell server, with logged and time-bound
// receive and send, and the replies with their injected faults.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cellserver/fixture.h"
#include "cellserver/protocol.h"
#include "cellserver/traffic.h"
#include "codec/message.h"
#include "codec/wire.h"

namespace tarn::cellserver {

struct Timeouts {
  std::chrono::milliseconds idle{600000};  // for the next message of a conversation
  std::chrono::milliseconds io{30000};     // for the rest of a packet, a send, a bulk chunk
};

// Largest message a client may send; bulk chunks have their own limit.
inline constexpr std::size_t kMaxMessage = 1 << 20;

class Link {
 public:
  enum class Got { kMessage, kClosed, kTimeout, kStopped, kBad };

  // `label` names the connection in the traffic log; `stopFd` ends every wait.
  Link(standin::Fd fd, std::string label, Traffic& traffic, int stopFd, Timeouts timeouts);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // The next message; waits at most the idle time for it to start.
  Got receive(standin::Message& out);
  // Waits at most `span` for input: kMessage once some is there (receive
  // reads it), kTimeout, kStopped or kClosed.
  Got wait(std::chrono::milliseconds span);
  // One raw packet of exactly `length` bytes.
  Got receiveRaw(std::string& out, std::size_t length);
  bool send(const standin::Message& message);
  bool sendRaw(std::string_view bytes);
  // Bytes as they are, without a frame: for injected faults.
  bool sendBytes(std::string_view bytes);
  // Waits `span` unless the stop descriptor fires first (then false).
  bool pause(std::chrono::milliseconds span);

  void note(std::string_view what, std::string_view text = {});
  // Closes the connection; logs `reason` once.
  void close(std::string_view reason);
  bool open() const { return fd_.valid(); }
  // While it waits for the start of a message, a connection is idle. An idle
  // one can be cut from another thread: its wait then ends as kClosed.
  bool idle() const { return idle_; }
  std::chrono::steady_clock::time_point idleSince() const { return idleSince_.load(); }
  bool cutIfIdle();
  const std::string& label() const { return label_; }
  const Timeouts& timeouts() const { return timeouts_; }

 private:
  standin::Fd fd_;
  mutable std::mutex fdMutex_;  // between close and cutIfIdle
  std::atomic<bool> idle_{false};
  std::atomic<std::chrono::steady_clock::time_point> idleSince_{};
  std::string label_;
  Traffic& traffic_;
  int stopFd_;
  Timeouts timeouts_;
};

// Faults that hit one request, taken together from the fault book.
struct ActiveFaults {
  std::optional<Fault> error;
  std::optional<Fault> delay;
  std::optional<Fault> closeMid;
  std::optional<Fault> wrongId;
  std::optional<Fault> missingItems;
  std::optional<Fault> oversizedHeader;
  bool port0 = false;
  std::optional<Fault> chunkLength;
  bool deadPort = false;
};

// The fixture's faults with their remaining counts; safe from several threads.
class FaultBook {
 public:
  explicit FaultBook(std::map<int, std::vector<Fault>> faults);
  // The faults for a request with this id; counts one use of each.
  ActiveFaults take(int requestId);

 private:
  std::mutex mutex_;
  std::map<int, std::vector<Fault>> faults_;
};

// What goes back for one request: messages and raw packets in order.
struct Reply {
  struct Unit {
    bool raw = false;
    standin::Message message;
    std::size_t offset = 0;  // raw: the bytes payload[offset, offset + length)
    std::size_t length = 0;
  };
  std::vector<Unit> units;
  std::string payload;
  bool closeAfter = false;

  static Reply Of(standin::Message message);
  // The result with a packed error and items behind it.
  static Reply Result(const standin::PackedError& error, std::vector<std::string> extra = {});
  // `message`, then a success result.
  static Reply Query(standin::Message message);
  // `bytes` in data chunks of at most 81920 bytes, then a success result.
  static Reply Bulk(std::string bytes);
};

// A packed error of the stand-in for request `id`.
standin::PackedError ServerError(int code, int id, int level = kErrorLevel);

// Sends `reply` with the faults applied: delay first; wrong id and missing
// items change the first message; close-mid and oversized header replace
// the reply and close the link. False when the link is closed afterwards.
bool SendReply(Link& link, Reply reply, const ActiveFaults& faults);

}  // namespace tarn::cellserver

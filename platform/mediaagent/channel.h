// One data-path connection of the stand-in media agent: logged, time-bound
// receive and send of messages and raw packets, and the ways it may end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cellserver/traffic.h"
#include "codec/message.h"
#include "codec/wire.h"

namespace tarn::mediaagent {

struct Timeouts {
  std::chrono::milliseconds idle{600000};  // for the next message
  std::chrono::milliseconds io{30000};     // for the rest of a packet, a raw packet, a send
};

// What the traffic log gets of a connection's messages and raw packets.
enum class TrafficDetail {
  kKinds,  // the first of each kind (code and direction, raw per direction), then one
           // "counts" line at the end with how many of each kind went by
  kEvery,  // every one
};

// Largest message a client may send; raw packets are limited by the buffer size.
inline constexpr std::size_t kMaxMessage = 1 << 20;

class Channel {
 public:
  enum class Got { kMessage, kClosed, kTimeout, kStopped, kBad };

  // `label` names the connection in the traffic log; `stopFd` ends every wait.
  Channel(standin::Fd fd, std::string label, cellserver::Traffic& traffic, int stopFd,
          Timeouts timeouts, TrafficDetail detail = TrafficDetail::kEvery);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The next message; waits at most the idle time for it to start.
  Got receive(standin::Message& out);
  // One raw packet of exactly `into.size()` bytes into `into`.
  Got receiveRaw(std::span<std::uint8_t> into);
  bool send(const standin::Message& message);
  // `message` and a raw packet of `raw` in one write.
  bool sendWithRaw(const standin::Message& message, std::span<const std::uint8_t> raw);
  // `message` and a raw packet of `front` followed by `count` bytes of the
  // file `file` from `at`: the file's bytes go from the page cache to the
  // socket (sendfile), never through a buffer of ours.
  bool sendWithRawFromFile(const standin::Message& message, std::span<const std::uint8_t> front,
                           int file, off_t at, std::size_t count);
  // The first half of the frame of `message` (and `raw`), then a close.
  void sendHalfAndClose(const standin::Message& message, std::span<const std::uint8_t> raw);
  bool pause(std::chrono::milliseconds span);

  void note(std::string_view what, std::string_view text = {});
  // Ends the connection so that what was sent still arrives.
  void close(std::string_view reason);
  // Ends the connection with a reset, as a broken network would.
  void reset(std::string_view reason);
  bool open() const { return fd_.valid(); }

 private:
  // Kinds: a message code, or kRaw for raw packets.
  static constexpr int kRaw = -1;
  struct Kind {
    char direction;
    int code;
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
  };
  // True when the message or packet goes to the log line by line.
  bool logs(char direction, int code, std::size_t bytes);
  void logCounts();

  standin::Fd fd_;
  std::string label_;
  cellserver::Traffic& traffic_;
  int stopFd_;
  Timeouts timeouts_;
  TrafficDetail detail_;
  std::vector<Kind> kinds_;  // a handful per connection
};

}  // namespace tarn::mediaagent

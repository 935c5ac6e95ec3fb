// TCP sockets for the stand-ins: framed packets with a deadline on every wait
// and a stop descriptor that ends any wait at once, so no stand-in ever hangs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarn::standin {

// Owns one descriptor; closes it on destruction. Not copyable.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A point in time by which a wait must end.
class Deadline {
 public:
  static Deadline After(std::chrono::milliseconds span);
  bool expired() const;
  // Milliseconds left, rounded up, for poll(); 0 when expired.
  int pollMs() const;

 private:
  std::chrono::steady_clock::time_point when_;
};

// A pipe whose read end becomes readable, for good, once raised. Every wait
// given its fd() ends with kStopped from then on.
class StopSignal {
 public:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  void raise();
  bool raised() const;
  int fd() const { return read_.get(); }

 private:
  Fd read_;
  Fd write_;
};

// Outcome of a socket operation.
enum class Io {
  kOk,
  kClosed,     // the peer closed before the first byte
  kTruncated,  // the peer closed in the middle of a frame
  kTimeout,
  kStopped,   // the stop descriptor became readable
  kTooLarge,  // a frame header announced more than the caller accepts
  kError,
};
const char* IoName(Io io);

// Sleeps `span` unless `stopFd` becomes readable first (then false at once).
bool PauseUnlessStopped(std::chrono::milliseconds span, int stopFd);

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT). stopFd -1: none.
Io WaitReady(int fd, short events, const Deadline& deadline, int stopFd);
// Reads exactly out.size() bytes; *got (when given) tells how many arrived.
Io ReadExact(int fd, std::span<std::uint8_t> out, const Deadline& deadline, int stopFd,
             std::size_t* got = nullptr);
// Writes `first` then `second` completely, in as few system calls as the
// socket allows.
Io WriteAll(int fd, std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
            const Deadline& deadline, int stopFd);

// Reads one frame into `data`. Waits for its first byte until `idle`, then
// gives the rest `body` more time. A header announcing more than `maxLength`
// gives kTooLarge with nothing of the data read; *announced (when given) holds
// the announced length.
Io ReadFrame(int fd, std::string& data, std::size_t maxLength, const Deadline& idle,
             std::chrono::milliseconds body, int stopFd, std::uint32_t* announced = nullptr);
// Reads one frame into caller storage that is not cleared first (a data
// path reuses one buffer); a frame longer than `into` gives kTooLarge with
// nothing of its data read. `length` is the frame's length on success, else 0.
Io ReadFrameInto(int fd, std::span<std::uint8_t> into, std::size_t& length, const Deadline& idle,
                 std::chrono::milliseconds body, int stopFd, std::uint32_t* announced = nullptr);
// Writes one frame: header and data.
Io WriteFrame(int fd, std::string_view data, const Deadline& deadline, int stopFd);

// Closes a connection so that what was sent still arrives: shuts the sending
// side, discards what the peer still sends (at most `linger`, 1 MiB, or until
// stopFd fires), then closes. Closing with unread input would reset the
// connection and could destroy the last reply on its way.
void CloseGracefully(Fd& fd, std::chrono::milliseconds linger, int stopFd);

// A listening TCP socket on `address` (dotted IPv4) and `port` (0: the system
// picks one). Invalid Fd and the reason in *why on failure.
Fd ListenTcp(const std::string& address, int port, std::string* why);
// The local port of a bound socket, or -1.
int LocalPort(int fd);
// Accepts one connection. Invalid Fd with *status kTimeout, kStopped or kError
// when none came; *peer gets "address:port".
Fd AcceptTcp(int listenFd, const Deadline& deadline, int stopFd, Io* status, std::string* peer);
// Connects to `address` (dotted IPv4) and `port` within the deadline.
Fd ConnectTcp(const std::string& address, int port, const Deadline& deadline, std::string* why);

}  // namespace tarn::standin

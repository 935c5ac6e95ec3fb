// TCP sockets for the stand-ins: framed packets with a deadline on every wait
// and a stop descriptor that ends any wait at once, so no stand-in ever hangs.
#include "codec/wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "codec/frame.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/codec/wire.cpp");

namespace tarn::standin {

namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

void SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string SystemReason(const char* call) {
  return std::string(call) + ": " + std::strerror(errno);
}

bool ParseIpv4(const std::string& address, int port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<std::uint16_t>(port));
  return port >= 0 && port <= 65535 && inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Deadline Deadline::After(std::chrono::milliseconds span) {
  Deadline deadline;
  deadline.when_ = std::chrono::steady_clock::now() + span;
  return deadline;
}

bool Deadline::expired() const {
  return std::chrono::steady_clock::now() >= when_;
}

int Deadline::pollMs() const {
  const auto left = when_ - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

StopSignal::StopSignal() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    read_.reset(fds[0]);
    write_.reset(fds[1]);
  }
}

void StopSignal::raise() {
  const char byte = 1;
  // A full pipe is raised already; nothing else can fail here.
  if (write_.valid() && ::write(write_.get(), &byte, 1) < 0) return;
}

bool StopSignal::raised() const {
  pollfd p{read_.get(), POLLIN, 0};
  return read_.valid() && poll(&p, 1, 0) == 1;
}

const char* IoName(Io io) {
  switch (io) {
    case Io::kOk: return "ok";
    case Io::kClosed: return "closed";
    case Io::kTruncated: return "truncated";
    case Io::kTimeout: return "timeout";
    case Io::kStopped: return "stopped";
    case Io::kTooLarge: return "too-large";
    case Io::kError: return "error";
  }
  return "?";
}

bool PauseUnlessStopped(std::chrono::milliseconds span, int stopFd) {
  const Deadline deadline = Deadline::After(span);
  pollfd p{stopFd, POLLIN, 0};
  while (!deadline.expired()) {
    const int n = poll(&p, stopFd >= 0 ? 1 : 0, deadline.pollMs());
    if (n > 0) return false;
  }
  return !(stopFd >= 0 && poll(&p, 1, 0) > 0);
}

Io WaitReady(int fd, short events, const Deadline& deadline, int stopFd) {
  pollfd set[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  const nfds_t count = stopFd >= 0 ? 2 : 1;
  for (;;) {
    const int n = poll(set, count, deadline.pollMs());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Io::kError;
    }
    if (count == 2 && set[1].revents != 0) return Io::kStopped;
    if (n == 0) return Io::kTimeout;
    if ((set[0].revents & POLLNVAL) != 0) return Io::kError;
    // A hang-up or error is reported by the read or write that follows.
    return Io::kOk;
  }
}

Io ReadExact(int fd, std::span<std::uint8_t> out, const Deadline& deadline, int stopFd,
             std::size_t* got) {
  std::size_t done = 0;
  Io status = Io::kOk;
  while (done < out.size()) {
    const ssize_t n = recv(fd, out.data() + done, out.size() - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      status = done == 0 ? Io::kClosed : Io::kTruncated;
      break;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      status = WaitReady(fd, POLLIN, deadline, stopFd);
      if (status != Io::kOk) break;
    } else {
      status = Io::kError;
      break;
    }
  }
  if (got != nullptr) *got = done;
  return status;
}

Io WriteAll(int fd, std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
            const Deadline& deadline, int stopFd) {
  iovec parts[2] = {{const_cast<std::uint8_t*>(first.data()), first.size()},
                    {const_cast<std::uint8_t*>(second.data()), second.size()}};
  iovec* part = parts;
  std::size_t left = 2;
  while (left > 0) {
    if (part->iov_len == 0) {
      ++part;
      --left;
      continue;
    }
    msghdr header{};
    header.msg_iov = part;
    header.msg_iovlen = left;
    ssize_t n = sendmsg(fd, &header, kSendFlags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::kError;
      const Io status = WaitReady(fd, POLLOUT, deadline, stopFd);
      if (status != Io::kOk) return status;
      continue;
    }
    while (n > 0) {
      const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), part->iov_len);
      part->iov_base = static_cast<std::uint8_t*>(part->iov_base) + take;
      part->iov_len -= take;
      n -= static_cast<ssize_t>(take);
      if (part->iov_len == 0 && left > 0) {
        ++part;
        --left;
      }
    }
  }
  return Io::kOk;
}

namespace {

// The header of the next frame: its length, checked against `maxLength`
// before any of its data is read. *rest is the deadline of the body.
Io ReadFrameHeader(int fd, std::size_t maxLength, const Deadline& idle,
                   std::chrono::milliseconds body, int stopFd, std::uint32_t* announced,
                   std::uint32_t& length, Deadline& rest) {
  Io status = WaitReady(fd, POLLIN, idle, stopFd);
  if (status != Io::kOk) return status;
  rest = Deadline::After(body);
  FrameHeader header{};
  status = ReadExact(fd, header, rest, stopFd);
  if (status != Io::kOk) return status;
  length = DecodeFrameHeader(header);
  if (announced != nullptr) *announced = length;
  return length > maxLength ? Io::kTooLarge : Io::kOk;
}

}  // namespace

Io ReadFrame(int fd, std::string& data, std::size_t maxLength, const Deadline& idle,
             std::chrono::milliseconds body, int stopFd, std::uint32_t* announced) {
  data.clear();
  std::uint32_t length = 0;
  Deadline rest = idle;
  Io status = ReadFrameHeader(fd, maxLength, idle, body, stopFd, announced, length, rest);
  if (status != Io::kOk) return status;
  data.resize(length);
  status = ReadExact(fd, std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()), rest,
                     stopFd);
  if (status == Io::kClosed) status = Io::kTruncated;
  if (status != Io::kOk) data.clear();
  return status;
}

Io ReadFrameInto(int fd, std::span<std::uint8_t> into, std::size_t& length, const Deadline& idle,
                 std::chrono::milliseconds body, int stopFd, std::uint32_t* announced) {
  length = 0;
  std::uint32_t announcedLength = 0;
  Deadline rest = idle;
  Io status =
      ReadFrameHeader(fd, into.size(), idle, body, stopFd, announced, announcedLength, rest);
  if (status != Io::kOk) return status;
  status = ReadExact(fd, into.first(announcedLength), rest, stopFd);
  if (status == Io::kClosed) status = Io::kTruncated;
  if (status == Io::kOk) length = announcedLength;
  return status;
}

Io WriteFrame(int fd, std::string_view data, const Deadline& deadline, int stopFd) {
  if (data.size() > UINT32_MAX) return Io::kTooLarge;
  const FrameHeader header = EncodeFrameHeader(static_cast<std::uint32_t>(data.size()));
  return WriteAll(fd, header,
                  std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()),
                  deadline, stopFd);
}

void CloseGracefully(Fd& fd, std::chrono::milliseconds linger, int stopFd) {
  if (!fd.valid()) return;
  if (shutdown(fd.get(), SHUT_WR) == 0) {
    const Deadline deadline = Deadline::After(linger);
    std::uint8_t sink[16384];
    for (std::size_t discarded = 0; discarded < (1u << 20);) {
      if (WaitReady(fd.get(), POLLIN, deadline, stopFd) != Io::kOk) break;
      const ssize_t n = recv(fd.get(), sink, sizeof sink, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) break;
      discarded += static_cast<std::size_t>(n);
    }
  }
  fd.reset();
}

Fd ListenTcp(const std::string& address, int port, std::string* why) {
  sockaddr_in addr{};
  if (!ParseIpv4(address, port, &addr)) {
    if (why != nullptr)
      *why = "not an IPv4 address and port: " + address + ":" + std::to_string(port);
    return Fd();
  }
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    if (why != nullptr) *why = SystemReason("socket");
    return Fd();
  }
  const int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (why != nullptr) *why = SystemReason("bind");
    return Fd();
  }
  if (listen(fd.get(), 128) != 0) {
    if (why != nullptr) *why = SystemReason("listen");
    return Fd();
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
      addr.sin_family != AF_INET)
    return -1;
  return ntohs(addr.sin_port);
}

Fd AcceptTcp(int listenFd, const Deadline& deadline, int stopFd, Io* status, std::string* peer) {
  for (;;) {
    const Io ready = WaitReady(listenFd, POLLIN, deadline, stopFd);
    if (ready != Io::kOk) {
      if (status != nullptr) *status = ready;
      return Fd();
    }
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    Fd fd(accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &length,
                  SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
        continue;
      if (status != nullptr) *status = Io::kError;
      return Fd();
    }
    SetBlocking(fd.get(), true);
    SetNoDelay(fd.get());
    if (peer != nullptr) {
      char text[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
      *peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    }
    if (status != nullptr) *status = Io::kOk;
    return fd;
  }
}

Fd ConnectTcp(const std::string& address, int port, const Deadline& deadline, std::string* why) {
  sockaddr_in addr{};
  if (!ParseIpv4(address, port, &addr)) {
    if (why != nullptr)
      *why = "not an IPv4 address and port: " + address + ":" + std::to_string(port);
    return Fd();
  }
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    if (why != nullptr) *why = SystemReason("socket");
    return Fd();
  }
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      if (why != nullptr) *why = SystemReason("connect");
      return Fd();
    }
    if (WaitReady(fd.get(), POLLOUT, deadline, -1) != Io::kOk) {
      if (why != nullptr) *why = "connect timed out";
      return Fd();
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      errno = error;
      if (why != nullptr) *why = SystemReason("connect");
      return Fd();
    }
  }
  SetBlocking(fd.get(), true);
  SetNoDelay(fd.get());
  return fd;
}

}  // namespace tarn::standin

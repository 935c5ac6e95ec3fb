// One data-path connection of the stand-in media agent.
#include "mediaagent/channel.h"

#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>

#include "codec/frame.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/channel.cpp");

namespace tarn::mediaagent {

using standin::Deadline;
using standin::Io;
using standin::Message;

namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The frame of `message` followed by the header of a raw packet of `rawSize`.
std::string MessageAndRawHeader(const Message& message, std::size_t rawSize) {
  std::string head = standin::Frame(standin::EncodeMessage(message));
  const auto header = standin::EncodeFrameHeader(static_cast<std::uint32_t>(rawSize));
  head.append(header.begin(), header.end());
  return head;
}

}  // namespace

Channel::Channel(standin::Fd fd, std::string label, cellserver::Traffic& traffic, int stopFd,
                 Timeouts timeouts, TrafficDetail detail)
    : fd_(std::move(fd)),
      label_(std::move(label)),
      traffic_(traffic),
      stopFd_(stopFd),
      timeouts_(timeouts),
      detail_(detail) {}

bool Channel::logs(char direction, int code, std::size_t bytes) {
  if (detail_ == TrafficDetail::kEvery) return true;
  for (Kind& k : kinds_) {
    if (k.direction != direction || k.code != code) continue;
    ++k.count;
    k.bytes += bytes;
    return false;
  }
  kinds_.push_back({direction, code, 1, bytes});
  return true;
}

void Channel::logCounts() {
  std::string text;
  for (const Kind& k : kinds_) {
    if (k.count < 2) continue;
    if (!text.empty()) text += ", ";
    text += std::string(1, k.direction) + ' ' +
            (k.code == kRaw ? std::string("raw") : std::to_string(k.code)) + " x" +
            std::to_string(k.count);
    if (k.code == kRaw) text += ' ' + std::to_string(k.bytes) + " bytes";
  }
  kinds_.clear();
  if (!text.empty()) note("counts", text);
}

Channel::~Channel() {
  close("end");
}

Channel::Got Channel::receive(Message& out) {
  if (!fd_.valid()) return Got::kClosed;
  std::string why;
  const Io io = standin::ReadMessage(fd_.get(), &out, kMaxMessage, Deadline::After(timeouts_.idle),
                                     timeouts_.io, stopFd_, &why);
  switch (io) {
    case Io::kOk: break;
    case Io::kClosed: return Got::kClosed;
    case Io::kStopped: return Got::kStopped;
    case Io::kTimeout: note("timeout", "waiting for a message"); return Got::kTimeout;
    default: note("bad", why); return Got::kBad;
  }
  if (logs('<', out.code, 0)) traffic_.message(label_, '<', out);
  return Got::kMessage;
}

Channel::Got Channel::receiveRaw(std::span<std::uint8_t> into) {
  if (!fd_.valid()) return Got::kClosed;
  const std::size_t length = into.size();
  std::size_t got = 0;
  std::uint32_t announced = 0;
  const Io io = standin::ReadFrameInto(fd_.get(), into, got, Deadline::After(timeouts_.io),
                                       timeouts_.io, stopFd_, &announced);
  if (io == Io::kStopped) return Got::kStopped;
  if (io == Io::kTimeout) {
    note("timeout", "waiting for a raw packet");
    return Got::kTimeout;
  }
  if (io == Io::kClosed) return Got::kClosed;
  if (io != Io::kOk || got != length) {
    note("bad", "raw packet of " + std::to_string(announced) + " bytes where " +
                    std::to_string(length) + " were due (" + standin::IoName(io) + ")");
    return Got::kBad;
  }
  if (logs('<', kRaw, got)) traffic_.raw(label_, '<', got);
  return Got::kMessage;
}

bool Channel::send(const Message& message) {
  if (!fd_.valid()) return false;
  if (logs('>', message.code, 0)) traffic_.message(label_, '>', message);
  return standin::WriteFrame(fd_.get(), standin::EncodeMessage(message),
                             Deadline::After(timeouts_.io), stopFd_) == Io::kOk;
}

bool Channel::sendWithRaw(const Message& message, std::span<const std::uint8_t> raw) {
  if (!fd_.valid()) return false;
  if (logs('>', message.code, 0)) traffic_.message(label_, '>', message);
  if (logs('>', kRaw, raw.size())) traffic_.raw(label_, '>', raw.size());
  const std::string head = MessageAndRawHeader(message, raw.size());
  return standin::WriteAll(fd_.get(), Bytes(head), raw, Deadline::After(timeouts_.io), stopFd_) ==
         Io::kOk;
}

bool Channel::sendWithRawFromFile(const Message& message, std::span<const std::uint8_t> front,
                                  int file, off_t at, std::size_t count) {
  if (!fd_.valid()) return false;
  if (logs('>', message.code, 0)) traffic_.message(label_, '>', message);
  if (logs('>', kRaw, front.size() + count)) traffic_.raw(label_, '>', front.size() + count);
  const Deadline deadline = Deadline::After(timeouts_.io);
  const std::string head = MessageAndRawHeader(message, front.size() + count);
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<std::uint8_t*>(front.data()), front.size()}};
  std::size_t first = 0;
  // The message and the packet's start wait for the file's bytes (MSG_MORE),
  // so that the packet does not leave as a small segment of its own.
  while (first < 2) {
    msghdr header{};
    header.msg_iov = parts + first;
    header.msg_iovlen = 2 - first;
    ssize_t n = ::sendmsg(fd_.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) ||
          standin::WaitReady(fd_.get(), POLLOUT, deadline, stopFd_) != Io::kOk)
        return false;
      continue;
    }
    for (; first < 2 && n >= 0; ++first) {
      const auto step = std::min(static_cast<std::size_t>(n), parts[first].iov_len);
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      n -= static_cast<ssize_t>(step);
      if (parts[first].iov_len > 0) break;
    }
  }
  for (std::size_t left = count; left > 0;) {
    const ssize_t n = ::sendfile(fd_.get(), file, &at, left);
    if (n > 0) {
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return false;  // the file ended before the block did
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) ||
        standin::WaitReady(fd_.get(), POLLOUT, deadline, stopFd_) != Io::kOk)
      return false;
  }
  return true;
}

void Channel::sendHalfAndClose(const Message& message, std::span<const std::uint8_t> raw) {
  if (!fd_.valid()) return;
  std::string all = raw.empty() ? standin::Frame(standin::EncodeMessage(message))
                                : MessageAndRawHeader(message, raw.size());
  all.append(reinterpret_cast<const char*>(raw.data()), raw.size());
  all.resize(all.size() / 2);
  note("fault", "cut after " + std::to_string(all.size()) + " bytes");
  standin::WriteAll(fd_.get(), Bytes(all), {}, Deadline::After(timeouts_.io), stopFd_);
  close("cut");
}

bool Channel::pause(std::chrono::milliseconds span) {
  return standin::PauseUnlessStopped(span, stopFd_);
}

void Channel::note(std::string_view what, std::string_view text) {
  traffic_.event(label_, what, text);
}

void Channel::close(std::string_view reason) {
  if (!fd_.valid()) return;
  standin::CloseGracefully(fd_, std::chrono::milliseconds(250), stopFd_);
  logCounts();
  note("close", reason);
}

void Channel::reset(std::string_view reason) {
  if (!fd_.valid()) return;
  const linger abortive{1, 0};
  setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  fd_.reset();
  logCounts();
  note("reset", reason);
}

}  // namespace tarn::mediaagent

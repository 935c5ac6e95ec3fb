// One client connection of the stand-in cell server, with logged and time-bound
// receive and send, and the replies with their injected faults.
#include "cellserver/link.h"

#include <poll.h>
#include <sys/socket.h>

#include "codec/frame.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/link.cpp");

namespace tarn::cellserver {

using standin::Deadline;
using standin::Io;
using standin::Message;

Link::Link(standin::Fd fd, std::string label, Traffic& traffic, int stopFd, Timeouts timeouts)
    : fd_(std::move(fd)),
      label_(std::move(label)),
      traffic_(traffic),
      stopFd_(stopFd),
      timeouts_(timeouts) {}

Link::~Link() {
  close("end");
}

Link::Got Link::receive(Message& out) {
  if (!fd_.valid()) return Got::kClosed;
  std::string why;
  idleSince_ = std::chrono::steady_clock::now();
  idle_ = true;
  const Io io = standin::ReadMessage(fd_.get(), &out, kMaxMessage, Deadline::After(timeouts_.idle),
                                     timeouts_.io, stopFd_, &why);
  idle_ = false;
  switch (io) {
    case Io::kOk: break;
    case Io::kClosed: return Got::kClosed;
    case Io::kStopped: return Got::kStopped;
    case Io::kTimeout: return Got::kTimeout;
    default: note("bad", why); return Got::kBad;
  }
  traffic_.message(label_, '<', out);
  return Got::kMessage;
}

Link::Got Link::wait(std::chrono::milliseconds span) {
  if (!fd_.valid()) return Got::kClosed;
  idleSince_ = std::chrono::steady_clock::now();
  idle_ = true;
  const Io io = standin::WaitReady(fd_.get(), POLLIN, Deadline::After(span), stopFd_);
  idle_ = false;
  switch (io) {
    case Io::kTimeout: return Got::kTimeout;
    case Io::kStopped: return Got::kStopped;
    default: return Got::kMessage;  // input, a close or an error: receive tells which
  }
}

bool Link::cutIfIdle() {
  std::unique_lock lock(fdMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return true;  // closing already
  if (!fd_.valid() || !idle_) return false;
  // Shutting down (not closing) keeps the descriptor number ours until the
  // owning thread closes it; its wait sees the end of input.
  ::shutdown(fd_.get(), SHUT_RDWR);
  return true;
}

Link::Got Link::receiveRaw(std::string& out, std::size_t length) {
  if (!fd_.valid()) return Got::kClosed;
  std::uint32_t announced = 0;
  const Io io = standin::ReadFrame(fd_.get(), out, length, Deadline::After(timeouts_.io),
                                   timeouts_.io, stopFd_, &announced);
  if (io == Io::kStopped) return Got::kStopped;
  if (io == Io::kTimeout) return Got::kTimeout;
  if (io != Io::kOk || out.size() != length) {
    note("bad", "raw packet of " + std::to_string(announced) + " bytes where " +
                    std::to_string(length) + " were announced (" + standin::IoName(io) + ")");
    return Got::kBad;
  }
  traffic_.raw(label_, '<', out.size());
  return Got::kMessage;
}

bool Link::send(const Message& message) {
  if (!fd_.valid()) return false;
  traffic_.message(label_, '>', message);
  return standin::WriteFrame(fd_.get(), standin::EncodeMessage(message),
                             Deadline::After(timeouts_.io), stopFd_) == Io::kOk;
}

bool Link::sendRaw(std::string_view bytes) {
  if (!fd_.valid()) return false;
  traffic_.raw(label_, '>', bytes.size());
  return standin::WriteFrame(fd_.get(), bytes, Deadline::After(timeouts_.io), stopFd_) == Io::kOk;
}

bool Link::sendBytes(std::string_view bytes) {
  if (!fd_.valid()) return false;
  return standin::WriteAll(
             fd_.get(),
             std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), {},
             Deadline::After(timeouts_.io), stopFd_) == Io::kOk;
}

bool Link::pause(std::chrono::milliseconds span) {
  return standin::PauseUnlessStopped(span, stopFd_);
}

void Link::note(std::string_view what, std::string_view text) {
  traffic_.event(label_, what, text);
}

void Link::close(std::string_view reason) {
  if (!fd_.valid()) return;
  std::lock_guard lock(fdMutex_);
  standin::CloseGracefully(fd_, std::chrono::milliseconds(250), stopFd_);
  note("close", reason);
}

FaultBook::FaultBook(std::map<int, std::vector<Fault>> faults) : faults_(std::move(faults)) {}

ActiveFaults FaultBook::take(int requestId) {
  ActiveFaults active;
  std::lock_guard lock(mutex_);
  const auto it = faults_.find(requestId);
  if (it == faults_.end()) return active;
  for (Fault& fault : it->second) {
    if (fault.after > 0) {
      --fault.after;
      continue;
    }
    if (fault.times == 0) continue;
    if (fault.times > 0) --fault.times;
    switch (fault.kind) {
      case FaultKind::kError: active.error = fault; break;
      case FaultKind::kDelay: active.delay = fault; break;
      case FaultKind::kCloseMid: active.closeMid = fault; break;
      case FaultKind::kWrongId: active.wrongId = fault; break;
      case FaultKind::kMissingItems: active.missingItems = fault; break;
      case FaultKind::kOversizedHeader: active.oversizedHeader = fault; break;
      case FaultKind::kPort0: active.port0 = true; break;
      case FaultKind::kChunkLength: active.chunkLength = fault; break;
      case FaultKind::kDeadPort: active.deadPort = true; break;
    }
  }
  return active;
}

Reply Reply::Of(Message message) {
  Reply reply;
  reply.units.push_back(Unit{false, std::move(message), 0, 0});
  return reply;
}

Reply Reply::Result(const standin::PackedError& error, std::vector<std::string> extra) {
  return Of(standin::MakeResult(error, std::move(extra)));
}

Reply Reply::Query(Message message) {
  Reply reply = Of(std::move(message));
  reply.units.push_back(Unit{false, standin::MakeResult(), 0, 0});
  return reply;
}

Reply Reply::Bulk(std::string bytes) {
  Reply reply;
  reply.payload = std::move(bytes);
  for (std::size_t offset = 0; offset < reply.payload.size(); offset += standin::kDataChunkMax) {
    const std::size_t length = std::min(standin::kDataChunkMax, reply.payload.size() - offset);
    reply.units.push_back(
        Unit{false, standin::MakeServerDataHeader(static_cast<std::uint32_t>(length)), 0, 0});
    reply.units.push_back(Unit{true, {}, offset, length});
  }
  reply.units.push_back(Unit{false, standin::MakeResult(), 0, 0});
  return reply;
}

standin::PackedError ServerError(int code, int id, int level) {
  return standin::PackedError{code, level, "cellserver " + std::to_string(id), ""};
}

bool SendReply(Link& link, Reply reply, const ActiveFaults& faults) {
  if (faults.delay) {
    link.note("fault", "delay " + std::to_string(faults.delay->value));
    if (!link.pause(std::chrono::milliseconds(faults.delay->value))) return false;
  }
  Reply::Unit* first = nullptr;
  for (Reply::Unit& unit : reply.units) {
    if (!unit.raw) {
      first = &unit;
      break;
    }
  }
  if (first != nullptr && faults.wrongId) {
    link.note("fault", "wrong-id " + std::to_string(faults.wrongId->value));
    first->message.code = static_cast<int>(faults.wrongId->value);
  }
  if (first != nullptr && faults.missingItems) {
    const auto keep = static_cast<std::size_t>(faults.missingItems->value);
    link.note("fault", "missing-items " + std::to_string(keep));
    if (first->message.items.size() > keep) first->message.items.resize(keep);
  }
  if (faults.chunkLength) {
    for (Reply::Unit& unit : reply.units) {
      if (unit.raw || unit.message.code != standin::kMsgData) continue;
      link.note("fault", "chunk-length " + std::to_string(faults.chunkLength->value));
      unit.message.items = {std::to_string(faults.chunkLength->value)};
      break;
    }
  }
  if (faults.oversizedHeader) {
    const auto length = static_cast<std::uint32_t>(faults.oversizedHeader->value);
    link.note("fault", "oversized-header " + std::to_string(length));
    const standin::FrameHeader header = standin::EncodeFrameHeader(length);
    link.sendBytes(std::string_view(reinterpret_cast<const char*>(header.data()), header.size()));
    link.close("after fault");
    return false;
  }
  if (faults.closeMid && first != nullptr) {
    const std::string framed = standin::Frame(standin::EncodeMessage(first->message));
    const std::size_t cut =
        standin::kFrameHeaderSize + (framed.size() - standin::kFrameHeaderSize) / 2;
    link.note("fault", "close-mid " + std::to_string(cut) + " of " + std::to_string(framed.size()) +
                           " bytes");
    link.sendBytes(std::string_view(framed).substr(0, cut));
    link.close("after fault");
    return false;
  }
  for (const Reply::Unit& unit : reply.units) {
    const bool sent =
        unit.raw ? link.sendRaw(std::string_view(reply.payload).substr(unit.offset, unit.length))
                 : link.send(unit.message);
    if (!sent) {
      link.close("send failed");
      return false;
    }
  }
  if (reply.closeAfter) {
    link.close("done");
    return false;
  }
  return true;
}

}  // namespace tarn::cellserver

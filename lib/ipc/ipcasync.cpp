// Asynchronous packets: receive and send state machines that move a packet
// piece by piece as descriptors become ready, and the wait that drives them.
#include "ipc/ipcasync.h"

#include <poll.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcasync.cpp");

using namespace ipc_detail;

namespace {

int EndReceive(IpcHandle handle, IpcEntry& entry, int event) {
  entry.rx.state = RX_IDLE;
  IpcSetEvent(handle, event);
  return handle;
}

int EndSend(IpcHandle handle, IpcEntry& entry, int event) {
  entry.tx.state = TX_IDLE;
  entry.tx.dataSize = 0;
  IpcSetEvent(handle, event);
  return handle;
}

int GoesOn(IpcHandle handle) {
  if (IpcInstance* instance = IpcMyInstance()) instance->lastIncoming = handle;
  return -2;
}

// The length word is complete: decide where the data go. False when the
// packet is refused (marked; the transfer must end).
bool AcceptHeader(IpcEntry& entry, const char* caller) {
  AsyncReceive& rx = entry.rx;
  char* target = nullptr;
  const int length = PlacePacket(entry, rx.header, rx.buffer, rx.room, true, &target, caller);
  if (length < 0) return false;
  if (rx.buffer != nullptr) rx.room = length;
  rx.target = target;
  rx.expected = length;
  rx.received = 0;
  rx.state = RX_DATA;
  return true;
}

// A transfer that ended leaves the next wait to start after its handle, so
// that a handle with more bytes at hand waits its turn.
int Served(IpcInstance& instance, int result) {
  if (result >= 0) instance.lastIncoming = result;
  return result;
}

}  // namespace

int IpcReceiveAsync(IpcHandle handle, void* buffer, int size) {
  static const char kFn[] = "IpcReceiveAsync";
  IpcEntry* entry = IdleReceiveEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (buffer != nullptr && size < 1) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  AsyncReceive& rx = entry->rx;
  rx = AsyncReceive();
  rx.state = RX_HEADER;
  rx.expected = kIpcHeaderSize;
  rx.buffer = static_cast<char*>(buffer);
  rx.size = buffer != nullptr ? size : 0;
  rx.room = rx.size;
  return 0;
}

int IpcSendAsync(IpcHandle handle, const void* data, int length) {
  static const char kFn[] = "IpcSendAsync";
  IpcEntry* entry = IdleSendEntry(handle, kFn);
  if (entry == nullptr) return -1;
  const char* bytes = SendSource(*entry, data, &length, kFn);
  if (bytes == nullptr) return -1;
  if (length < 1) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  AsyncSend& tx = entry->tx;
  tx = AsyncSend();
  tx.dataSize = length;
  if (IpcPackPacket(handle, bytes, length) == 0) {
    tx.state = TX_DATA;
    tx.source = reinterpret_cast<const char*>(entry->pack);
    tx.remaining = length + kIpcHeaderSize;
  } else {
    PutHeader(tx.header, static_cast<std::uint32_t>(length));
    tx.state = TX_HEADER;
    tx.source = reinterpret_cast<const char*>(tx.header);
    tx.remaining = kIpcHeaderSize;
    tx.data = bytes;
  }
  return 0;
}

int IpcSendStrMsgAsync(IpcHandle handle) {
  return IpcSendAsync(handle, nullptr, 0);
}

int IpcSendStrMsgAsyncL(IpcHandle handle, StrMsg* msg) {
  if (msg == nullptr || msg->data == nullptr) {
    ErhMark(EIPCPACKET, 0, "IpcSendStrMsgAsyncL", kErhMinor);
    return -1;
  }
  return IpcSendAsync(handle, msg->data, static_cast<int>(msg->length) + 1);
}

int IpcSendStrMsgAndDataAsync(IpcHandle handle, const void* data, int length) {
  static const char kFn[] = "IpcSendStrMsgAndDataAsync";
  IpcEntry* entry = IdleSendEntry(handle, kFn);
  if (entry == nullptr) return -1;
  int messageLength = 0;
  const char* message = SendSource(*entry, nullptr, &messageLength, kFn);
  if (message == nullptr) return -1;
  if (data == nullptr || length < 1 || IpcPackPacket(handle, message, messageLength) != 0) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  AsyncSend& tx = entry->tx;
  tx = AsyncSend();
  PutHeader(tx.header, static_cast<std::uint32_t>(length));
  tx.parts[0] = {entry->pack, static_cast<std::size_t>(messageLength + kIpcHeaderSize)};
  tx.parts[1] = {tx.header, kIpcHeaderSize};
  tx.parts[2] = {const_cast<void*>(data), static_cast<std::size_t>(length)};
  tx.partCount = 3;
  tx.state = TX_PARTS;
  tx.dataSize = messageLength + length;
  tx.remaining = tx.dataSize + 2 * kIpcHeaderSize;
  return 0;
}

int IpcCanReceiveAsync(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcCanReceiveAsync");
  if (entry == nullptr) return -1;
  return entry->rx.state == RX_IDLE ? 1 : 0;
}

int IpcCanSendAsync(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcCanSendAsync");
  if (entry == nullptr) return -1;
  return entry->tx.state == TX_IDLE ? 1 : 0;
}

int IpcReceiveAsyncCallBack(IpcHandle handle) {
  static const char kFn[] = "IpcReceiveAsyncCallBack";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  AsyncReceive& rx = entry->rx;
  if (rx.state == RX_IDLE) {
    VEK_Yield(2);
    return GoesOn(handle);
  }
  if (rx.state != RX_HEADER && rx.state != RX_DATA) {
    ErhMark(EIPCRECVSTATE, 0, kFn, kErhMinor);
    rx.state = RX_IDLE;
    return -1;
  }
  const int fd = ReadDescriptor(*entry);
  // Steps on while the bytes are there: read ahead, or a read that got all
  // it asked for. A read that came short found the descriptor drained.
  for (;;) {
    char* into = rx.state == RX_HEADER
                     ? reinterpret_cast<char*>(rx.header) + (kIpcHeaderSize - rx.expected)
                     : rx.target;
    const bool fromAhead = HoldsBytes(*entry);
    if (rx.state == RX_HEADER && rx.expected == kIpcHeaderSize) {
      entry->ahead.limit = rx.buffer != nullptr ? rx.size : dynBufMax;
    }
    const auto asked = static_cast<std::size_t>(rx.expected);
    const ssize_t n = asked > 0 ? ReadSome(*entry, fd, into, asked, true) : 0;
    if (n == 0) return EndReceive(handle, *entry, IPC_EVENT_CLOSED);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR && cmnDefine_ORACLE_SIGNALS != 0) return GoesOn(handle);
      if (err == EAGAIN || err == EWOULDBLOCK) {
        DbgPlain(kLevelData, "[%s] EWOULDBLOCK", kFn);
        return GoesOn(handle);
      }
      ErhMark(EIPCRECEIVE, err, kFn, kErhMajor);
      return EndReceive(handle, *entry, IPC_EVENT_ERROR);
    }
    rx.lastRead = static_cast<int>(n);
    rx.expected -= static_cast<int>(n);
    if (rx.state == RX_HEADER) {
      if (rx.expected == 0) {
        if (!AcceptHeader(*entry, kFn)) return EndReceive(handle, *entry, IPC_EVENT_ERROR);
        // An empty packet is complete with its header.
        if (rx.expected == 0) return EndReceive(handle, *entry, IPC_EVENT_RECEIVED);
        // The data mostly came with their length word: read on at once.
        continue;
      }
    } else {
      rx.target += n;
      rx.received += static_cast<int>(n);
      if (rx.buffer != nullptr) rx.room -= static_cast<int>(n);
      if (rx.expected == 0) return EndReceive(handle, *entry, IPC_EVENT_RECEIVED);
    }
    const bool more = HoldsBytes(*entry) || (!fromAhead && asked >= sizeof entry->ahead.bytes &&
                                             static_cast<std::size_t>(n) == asked);
    if (!more) return GoesOn(handle);
  }
}

int IpcSendAsyncCallBack(IpcHandle handle) {
  static const char kFn[] = "IpcSendAsyncCallBack";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  AsyncSend& tx = entry->tx;
  if (tx.state == TX_IDLE) {
    ErhMark(EIPCNOEVENT, 0, kFn, kErhMinor);
    return -2;
  }
  if (tx.state != TX_HEADER && tx.state != TX_DATA && tx.state != TX_PARTS) {
    ErhMark(EIPCSENDSTATE, 0, kFn, kErhMinor);
    return -1;
  }
  const int fd = WriteDescriptor(*entry);
  const ssize_t n =
      tx.state == TX_PARTS ? WriteParts(*entry, fd, tx.parts + tx.part, tx.partCount - tx.part, true)
      : tx.state == TX_HEADER
          ? WriteSomeWithHeader(*entry, fd, tx.source, static_cast<std::size_t>(tx.remaining),
                                tx.data, static_cast<std::size_t>(tx.dataSize), true)
          : WriteSome(*entry, fd, tx.source, static_cast<std::size_t>(tx.remaining), true);
  if (n == 0) {
    ErhMark(EIPCSEND, 0, kFn, kErhMinor);
    return EndSend(handle, *entry, IPC_EVENT_CLOSED);
  }
  if (n < 0) {
    const int err = errno;
    if (err == EINTR && cmnDefine_ORACLE_SIGNALS != 0) return -2;
    if (err == EAGAIN || err == EWOULDBLOCK) return -2;
    if (err == EPIPE) {
      ErhMark(EIPCSEND, err, kFn, kErhMajor);
      return EndSend(handle, *entry, IPC_EVENT_CLOSED);
    }
    ErhMark(EIPCSEND, err, kFn, kErhMinor);
    return EndSend(handle, *entry, IPC_EVENT_ERROR);
  }
  IpcDecreaseLoad(handle, static_cast<int>(n));
  tx.lastWritten = static_cast<int>(n);
  int written = static_cast<int>(n);
  if (tx.state == TX_PARTS) {
    tx.sent += written;
    tx.remaining -= written;
    for (auto left = static_cast<std::size_t>(written); left > 0;) {
      iovec& part = tx.parts[tx.part];
      const std::size_t step = std::min(left, part.iov_len);
      part.iov_base = static_cast<char*>(part.iov_base) + step;
      part.iov_len -= step;
      left -= step;
      if (part.iov_len == 0) ++tx.part;
    }
    if (tx.remaining > 0) return -2;
    return EndSend(handle, *entry, IPC_EVENT_SENT);
  }
  if (tx.state == TX_HEADER) {
    const int ofHeader = std::min(written, tx.remaining);
    tx.source += ofHeader;
    tx.remaining -= ofHeader;
    written -= ofHeader;
    if (tx.remaining > 0) return -2;
    tx.state = TX_DATA;
    tx.source = tx.data;
    tx.remaining = tx.dataSize;
    if (written == 0) return -2;
  }
  tx.source += written;
  tx.remaining -= written;
  tx.sent += written;
  if (tx.remaining > 0) return -2;
  return EndSend(handle, *entry, IPC_EVENT_SENT);
}

IpcHandle IpcAcceptAsyncCallBack() {
  return AcceptNew("IpcAcceptAsyncCallBack", false);
}

IpcHandle IpcWaitForAsyncIpcEvent(int timeout) {
  static const char kFn[] = "IpcWaitForAsyncIpcEvent";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  // A send not tried yet is tried first, without a poll: the descriptor
  // rarely is full. So is a receive whose bytes the layer knows are there:
  // read ahead, seen by a look with the packet before, or found by the last
  // poll on a handle not served since (which also keeps the turns fair).
  const int first = FairScan(*instance, instance->highWater, [&](IpcHandle handle) {
    IpcEntry* entry = instance->table[handle].get();
    if (entry == nullptr || (entry->type != IPC_SOCKET && entry->type != IPC_PIPE)) {
      return kPassOver;
    }
    if (entry->tx.state != TX_IDLE && entry->tx.dataSize > 0 && !entry->tx.tried) {
      entry->tx.tried = true;
      const int sent = IpcSendAsyncCallBack(handle);
      if (sent != kPassOver) return sent;
    }
    const bool bytesThere = KnowsBytes(*entry) || entry->ahead.polledReadable;
    if (entry->rx.state != RX_IDLE && !entry->rx.tried && bytesThere &&
        ReadDescriptor(*entry) >= 0) {
      entry->rx.tried = true;
      return IpcReceiveAsyncCallBack(handle);
    }
    return kPassOver;
  });
  if (first != kPassOver) return Served(*instance, first);
  PollSet set;
  std::bitset<kIpcMaxHandles> readyNow;
  for (;;) {
    const int top = instance->highWater;
    set.clear();
    readyNow.reset();
    for (int handle = 0; handle < top; ++handle) {
      IpcEntry* entry = instance->table[handle].get();
      if (entry == nullptr || (entry->type != IPC_SOCKET && entry->type != IPC_PIPE)) continue;
      entry->waitRead = ReadDescriptor(*entry);
      entry->waitWrite = WriteDescriptor(*entry);
      if (entry->rx.state != RX_IDLE && entry->waitRead >= 0) {
        // Bytes read ahead or seen on the socket, or a read ahead that filled
        // all its room, make the handle worth a try without waiting.
        if (KnowsBytes(*entry) || entry->ahead.full) readyNow.set(static_cast<std::size_t>(handle));
        set.watchRead(handle, entry->waitRead);
      }
      if (entry->tx.state != TX_IDLE && entry->tx.dataSize > 0 && entry->waitWrite >= 0) {
        set.watchWrite(handle, entry->waitWrite);
      }
    }
    if (instance->listenSocket >= 0) set.watchListen(instance->listenSocket);

    switch (readyNow.any() ? set.glance(kFn) : set.wait(timeout, kFn)) {
      case PollSet::Outcome::kFailed: return -1;
      case PollSet::Outcome::kConnection: return IpcAcceptAsyncCallBack();
      case PollSet::Outcome::kHandles: break;
    }
    for (int handle = 0; handle < top; ++handle) {
      if (!set.readable(handle)) continue;
      if (IpcEntry* entry = instance->table[handle].get()) entry->ahead.polledReadable = true;
    }
    // A step that only made progress scans on; a round without an ending
    // transfer waits again.
    const int result = FairScan(*instance, top, [&](IpcHandle handle) {
      if (readyNow.test(static_cast<std::size_t>(handle)) || set.readable(handle)) {
        return IpcReceiveAsyncCallBack(handle);
      }
      if (set.writable(handle)) return IpcSendAsyncCallBack(handle);
      return kPassOver;
    });
    if (result != kPassOver) return Served(*instance, result);
  }
}

int IpcFlushAsyncHandle(IpcHandle handle, int timeout) {
  static const char kFn[] = "IpcFlushAsyncHandle";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  while (entry->tx.state != TX_IDLE) {
    if (IpcWaitForIpcEventOnHandleEx(handle, timeout, 2) < 0) return -1;
    const int rc = IpcSendAsyncCallBack(handle);
    if (rc == -1) return -1;
    if (rc == handle) return entry->lastEvent == IPC_EVENT_SENT ? 1 : -1;
  }
  return 1;
}

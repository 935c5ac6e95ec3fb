// Packet framing on sockets and pipes: synchronous send, receive and peek of
// length-prefixed packets, with time-outs, and the StrMsg forms.
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipc.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcframe.cpp");

using namespace ipc_detail;

namespace {

// Ends the bytes of a caller's buffer with up to two NULs inside its size, so
// that a text parse of the packet stops inside the buffer.
void Terminate(char* buffer, int length, int size) {
  if (length < size) buffer[length] = '\0';
  if (length + 1 < size) buffer[length + 1] = '\0';
}

// After a failed read or write: 0 to try again (an interruption inside a host
// process, or a descriptor that became ready in time), else -1 with the
// failure marked as `failure` (or as the interruption or the failed wait).
int RetryAfter(int err, int fd, short events, Clock::time_point start, int timeout, int failure,
               const char* caller) {
  if (err == EINTR) {
    if (cmnDefine_ORACLE_SIGNALS != 0) {
      errno = 0;
      return 0;
    }
    ErhMark(EIPCINTR, err, caller, kErhMinor);
    return -1;
  }
  if (err != EAGAIN && err != EWOULDBLOCK) {
    ErhMark(failure, err, caller, kErhMinor);
    return -1;
  }
  // A descriptor made non-blocking by its owner waits without limit when the
  // call has no time-out.
  const long ms = timeout > 0 ? RemainingMs(start, timeout) : -1;
  const int ready = ms != 0 ? WaitDescriptor(fd, events, ms, caller) : 0;
  if (ready > 0) return 0;
  if (ready < 0) {
    ErhMark(EIPCSELECT, errno, caller, kErhMinor);
  } else {
    ErhMark(failure, ETIMEDOUT, caller, kErhMinor);
  }
  return -1;
}

// Time-out to use on the entry: none in blocking mode.
int UsableTimeout(const IpcEntry& entry, int timeout) {
  if (timeout <= 0 || (entry.flags & IPC_FLAG_BLOCKING) != 0) return 0;
  return timeout;
}

// Receives one packet on `fd` into `buffer` (`size` bytes) or, when null, into
// the entry's receive message. *packet tells whether a whole header arrived.
int ReceiveInto(IpcHandle handle, IpcEntry& entry, int fd, char* buffer, int size, int timeout,
                bool* packet, const char* caller) {
  *packet = false;
  entry.ahead.limit = buffer != nullptr ? size : dynBufMax;
  int rc = ipcI_receivePacket(handle, fd, entry.receiveHeader, kIpcHeaderSize, timeout, 0, caller);
  if (rc < 1) return rc;
  char* target = nullptr;
  const int length = PlacePacket(entry, entry.receiveHeader, buffer, size, false, &target, caller);
  if (length < 0) return -1;
  DbgPlain(kLevelData, "[%s] handle %d: packet of %d bytes", caller, handle, length);
  if (length == 0) {
    *packet = true;
    return 0;
  }
  rc = ipcI_receivePacket(handle, fd, target, length, timeout, 0, caller);
  if (rc != length) return rc;
  *packet = true;
  return length;
}

// ReceiveInto on the handle's read descriptor.
int ReceiveNow(IpcHandle handle, IpcEntry& entry, char* buffer, int size, int timeout, bool* packet,
               const char* caller) {
  *packet = false;
  const int fd = ReadDescriptor(entry);
  if (fd < 0) {
    ErhMark(EIPCRECEIVE, EBADF, caller, kErhMinor);
    return -1;
  }
  return ReceiveInto(handle, entry, fd, buffer, size, UsableTimeout(entry, timeout), packet, caller);
}

}  // namespace

const char* ipc_detail::SendSource(const IpcEntry& entry, const void* data, int* length,
                                   const char* caller) {
  if (data != nullptr) return static_cast<const char*>(data);
  const StrMsg* msg = entry.sendMsg;
  if (msg == nullptr || msg->data == nullptr) {
    ErhMark(EIPCPACKET, 0, caller, kErhMinor);
    return nullptr;
  }
  *length = static_cast<int>(msg->length) + 1;
  return msg->data;
}

void ipc_detail::RefuseHeader(const unsigned char* header, std::int64_t length,
                              const char* caller) {
  DbgPlain(kDbgUnexpected, "[%s] invalid IPC packet header (%i) => fail with ERROR", caller,
           static_cast<int>(length));
  DbgPlain(kDbgUnexpected, "Dump of the first %d bytes:", kIpcHeaderSize);
  DbgDumpMem(kDbgUnexpected, header, kIpcHeaderSize);
  ErhMark(EIPCPACKET, 0, caller, kErhMinor);
}

namespace {

int PlaceOrRefuse(IpcEntry& entry, const unsigned char* header, char* buffer, int size, bool async,
                  char** target, const char* caller) {
  const std::uint32_t raw = GetHeader(header);
  if (raw > kHeaderMaxSigned || raw > static_cast<std::uint32_t>(dynBufMax)) {
    RefuseHeader(header, static_cast<std::int32_t>(raw), caller);
    return -1;
  }
  const int length = static_cast<int>(raw);
  if (buffer == nullptr) {
    StrMsg* msg = entry.receiveMsg;
    if (msg == nullptr || DynBufChkSizeL(msg, length, DYNBUF_RECEIVE) < 0) {
      RefuseHeader(header, length, caller);
      return -1;
    }
    // The message buffer now ends in two NULs behind `length` bytes.
    *target = StrMsgGetRBufL(msg);
    return length;
  }
  if (length > size) {
    if (async) {
      DbgPlain(kDbgUnexpected,
               "[%s] buffer %i bytes too small to receive data %i bytes => fail with ERROR", caller,
               size, length);
    } else {
      DbgPlain(kDbgUnexpected,
               "[%s] buffer (%i bytes) too small to receive data (%i bytes) => fail with ERROR",
               caller, size, length);
    }
    ErhMark(EIPCPACKET, 0, caller, kErhMinor);
    return -1;
  }
  Terminate(buffer, length, size);
  *target = buffer;
  return length;
}

}  // namespace

int ipc_detail::PlacePacket(IpcEntry& entry, const unsigned char* header, char* buffer, int size,
                            bool async, char** target, const char* caller) {
  const int length = PlaceOrRefuse(entry, header, buffer, size, async, target, caller);
  // A refused length word is taken off the connection, its data are not.
  if (length < 0) DropHandedOut(entry);
  return length;
}

int ipcI_sendPacket(IpcHandle handle, int descriptor, const void* bytes, int count, int timeout,
                    const char* caller) {
  if (count < 1) return count;
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry == nullptr) return -1;
  const auto start = Clock::now();
  const char* next = static_cast<const char*>(bytes);
  int left = count;
  for (;;) {
    const ssize_t n =
        WriteSome(*entry, descriptor, next, static_cast<std::size_t>(left), timeout > 0);
    if (n > 0) {
      IpcDecreaseLoad(handle, static_cast<int>(n));
      next += n;
      left -= static_cast<int>(n);
      if (left == 0) return count;
      continue;
    }
    const int err = n == 0 ? EIO : errno;
    if (err == EPIPE) {
      ErhMark(EIPCBROKENPIPE, err, caller, kErhMajor);
      return -1;
    }
    if (RetryAfter(err, descriptor, POLLOUT, start, timeout, EIPCSEND, caller) != 0) return -1;
  }
}

int ipcI_receivePacket(IpcHandle handle, int descriptor, void* buffer, int count, int timeout,
                       int flags, const char* caller) {
  if (count < 1) return count;
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry == nullptr) return -1;
  const auto start = Clock::now();
  char* next = static_cast<char*>(buffer);
  int got = 0;
  for (;;) {
    const ssize_t n =
        ReadSome(*entry, descriptor, next + got, static_cast<std::size_t>(count - got), timeout > 0);
    if (n == 0) return 0;
    if (n > 0) {
      got += static_cast<int>(n);
      if (got == count) return count;
      if ((flags & 1) != 0) return static_cast<int>(n);
      continue;
    }
    if (RetryAfter(errno, descriptor, POLLIN, start, timeout, EIPCRECEIVE, caller) != 0) return -1;
  }
}

int IpcPackPacket(IpcHandle handle, const void* data, int length) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcPackPacket");
  if (entry == nullptr || length < 0 || length > kIpcPackMax) return -1;
  if (length > 0 && data == nullptr) return -1;
  PutHeader(entry->pack, static_cast<std::uint32_t>(length));
  if (length > 0) std::memcpy(entry->pack + kIpcHeaderSize, data, static_cast<std::size_t>(length));
  return 0;
}

int IpcSendData(IpcHandle handle, const void* data, int length) {
  return ipc_sendDataEx(handle, data, length, 0);
}

int ipc_sendDataEx(IpcHandle handle, const void* data, int length, int timeout) {
  static const char kFn[] = "ipc_sendDataEx";
  IpcEntry* entry = IdleSendEntry(handle, kFn);
  if (entry == nullptr) return -1;
  const char* bytes = SendSource(*entry, data, &length, kFn);
  if (bytes == nullptr) return -1;
  if (length < 0) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  const int fd = WriteDescriptor(*entry);
  if (fd < 0) {
    ErhMark(EIPCSEND, EBADF, kFn, kErhMinor);
    return -1;
  }
  DbgPlain(kLevelData, "[%s] handle %d: packet of %d bytes", kFn, handle, length);
  const int wait = UsableTimeout(*entry, timeout);
  if (IpcPackPacket(handle, bytes, length) == 0) {
    return ipcI_sendPacket(handle, fd, entry->pack, length + kIpcHeaderSize, wait, kFn);
  }
  PutHeader(entry->sendHeader, static_cast<std::uint32_t>(length));
  const int rc = ipcI_sendPacket(handle, fd, entry->sendHeader, kIpcHeaderSize, wait, kFn);
  if (rc < 0) return rc;
  return ipcI_sendPacket(handle, fd, bytes, length, wait, kFn);
}

int IpcReceiveData(IpcHandle handle, void* buffer, int size) {
  return ipc_receiveDataEx(handle, buffer, size, 0);
}

int ipc_receiveDataEx(IpcHandle handle, void* buffer, int size, int timeout) {
  static const char kFn[] = "ipc_receiveDataEx";
  IpcEntry* entry = IdleReceiveEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if ((entry->flags & IPC_FLAG_PEEKED) != 0) {
    const int rc = ipc_getpeekeddata(handle, buffer, size);
    if (rc != -1) entry->flags &= ~IPC_FLAG_PEEKED;
    return rc;
  }
  if (buffer != nullptr && size < 0) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  bool packet = false;
  return ReceiveNow(handle, *entry, static_cast<char*>(buffer), size, timeout, &packet, kFn);
}

int IpcPeekData(IpcHandle handle, void* buffer, int size) {
  return ipc_peekDataEx(handle, buffer, size, 0);
}

int ipc_peekDataEx(IpcHandle handle, void* buffer, int size, int timeout) {
  static const char kFn[] = "ipc_peekDataEx";
  IpcEntry* entry = IdleReceiveEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if ((entry->flags & IPC_FLAG_PEEKED) == 0) {
    bool packet = false;
    const int rc = ReceiveNow(handle, *entry, nullptr, 0, timeout, &packet, kFn);
    if (!packet) return rc;
    entry->flags |= IPC_FLAG_PEEKED;
    entry->peekedMsg = entry->receiveMsg;
  }
  return ipc_getpeekeddata(handle, buffer, size);
}

int ipc_getpeekeddata(IpcHandle handle, void* buffer, int size) {
  static const char kFn[] = "ipc_getpeekeddata";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  // Validated when the packet was received.
  const int length = static_cast<int>(GetHeader(entry->receiveHeader));
  StrMsg* holder = entry->peekedMsg;
  const char* source = StrMsgGetRBufL(holder);
  // Without a pending peek the header may belong to a packet received
  // elsewhere; and a message rebuilt since the peek may hold less than it.
  const std::uint32_t held = holder == nullptr        ? 0
                             : source == holder->rbuf ? holder->rcapacity
                                                      : holder->capacity;
  if ((entry->flags & IPC_FLAG_PEEKED) == 0 ||
      (length > 0 && (source == nullptr || static_cast<std::uint32_t>(length) > held))) {
    DbgPlain(kLevel, "[%s] no peeked packet of %d bytes on handle %d", kFn, length, handle);
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  if (buffer != nullptr) {
    if (length > size) {
      DbgPlain(kDbgUnexpected,
               "[%s] buffer (%i bytes) too small to receive data (%i bytes) => fail with ERROR",
               kFn, size, length);
      ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
      return -1;
    }
    if (length > 0) std::memcpy(buffer, source, static_cast<std::size_t>(length));
    Terminate(static_cast<char*>(buffer), length, size);
    return length;
  }
  // A receive into another message than the one peeked into gets a copy.
  StrMsg* target = entry->receiveMsg;
  if (target != holder && target != nullptr) {
    if (DynBufChkSizeL(target, length, DYNBUF_RECEIVE) < 0) {
      ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
      return -1;
    }
    if (length > 0) std::memcpy(StrMsgGetRBufL(target), source, static_cast<std::size_t>(length));
  }
  return length;
}

int IpcSendStrMsg(IpcHandle handle) {
  return ipc_sendDataEx(handle, nullptr, 0, 0);
}

int IpcSendStrMsgL(IpcHandle handle, StrMsg* msg) {
  static const char kFn[] = "IpcSendStrMsgL";
  if (msg == nullptr || msg->data == nullptr) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  return ipc_sendDataEx(handle, msg->data, static_cast<int>(msg->length) + 1, 0);
}

int IpcReceiveStrMsgL(IpcHandle handle, StrMsg* msg) {
  return IpcReceiveStrMsgExL(handle, msg, 0);
}

int IpcReceiveStrMsgExL(IpcHandle handle, StrMsg* msg, int timeout) {
  static const char kFn[] = "IpcReceiveStrMsgExL";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (msg == nullptr) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  StrMsg* previous = entry->receiveMsg;
  entry->receiveMsg = msg;
  const int rc = ipc_receiveDataEx(handle, nullptr, 0, timeout);
  entry->receiveMsg = previous;
  return rc;
}

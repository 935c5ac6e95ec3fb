// Event waits of the IPC layer: on every handle with round-robin fairness and
// new connections, or on one handle for reading or writing; and the poll set
// the waits on every handle share with the asynchronous wait.
#include <arpa/inet.h>
#include <poll.h>

#include <array>
#include <bitset>
#include <cerrno>
#include <cstdint>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "ipc/ipc.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcwait.cpp");

using namespace ipc_detail;

bool ipc_detail::WaitGaveNothing(int result, const char* caller) {
  if (result > 0) return false;
  if (result < 0) {
    ErhMark(EIPCSELECT, errno, caller, kErhMinor);
    IpcSetEvent(-1, IPC_EVENT_ERROR);
  } else {
    IpcSetEvent(-1, IPC_EVENT_TIMEOUT);
  }
  return true;
}

int ipc_detail::NoEvent(const char* caller) {
  ErhMark(EIPCNOEVENT, 0, caller, kErhMinor);
  IpcSetEvent(-1, IPC_EVENT_ERROR);
  return -1;
}

IpcHandle ipc_detail::AcceptNew(const char* caller, bool lookupPeer) {
  IpcInstance* instance = IpcGetInstance(caller);
  if (instance == nullptr) return -1;
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  if (handle < 0) return -1;
  IpcEntry* entry = IpcGetEntry(handle, caller);
  socklen_t length = sizeof entry->peer;
  const int fd =
      IpcAccept(instance->listenSocket, reinterpret_cast<sockaddr*>(&entry->peer), &length);
  if (fd < 0) {
    const int err = errno;
    DbgPlain(kLevel, "[%s] accept(%d, %p, &(addrlen=%d)) failed (errno=%d)", caller,
             instance->listenSocket, static_cast<void*>(&entry->peer), static_cast<int>(length),
             err);
    ErhMark(EIPCACCEPT, err, caller, kErhMinor);
    IpcReleaseIpcHandle(handle);
    IpcSetEvent(-1, IPC_EVENT_NONE);
    return -1;
  }
  entry->type = IPC_SOCKET;
  entry->readFd = fd;
  entry->writeFd = fd;
  DottedAddress(entry->peer.sin_addr.s_addr, entry->connectionIp, sizeof entry->connectionIp);
  TuneSocket(handle, *entry);
  IpcHandleIsLocal(handle);
  IpcSetEvent(handle, IPC_EVENT_ACCEPTED);
  // A reverse lookup can take long; it is only made for the trace.
  if (lookupPeer && DbgMatch(kLevel)) {
    char peer[kIpcHostNameSize] = {};
    IpcGetPeer(handle, peer);
    DbgPlain(kLevel, "The new socket is %d on handle %d address %x, Table %x, host=\"%s\"\n", fd,
             handle, static_cast<unsigned>(ntohl(entry->peer.sin_addr.s_addr)),
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(instance)), peer);
  }
  return handle;
}

void PollSet::clear() {
  fds_.clear();
  read_.fill(-1);
  write_.fill(-1);
  listen_ = -1;
}

void PollSet::watchRead(IpcHandle handle, int fd) {
  read_[static_cast<std::size_t>(handle)] = static_cast<int>(fds_.size());
  fds_.push_back(pollfd{fd, POLLIN, 0});
}

void PollSet::watchWrite(IpcHandle handle, int fd) {
  const int shared = read_[static_cast<std::size_t>(handle)];
  if (shared >= 0 && fds_[static_cast<std::size_t>(shared)].fd == fd) {
    write_[static_cast<std::size_t>(handle)] = shared;
    fds_[static_cast<std::size_t>(shared)].events |= POLLOUT;
    return;
  }
  write_[static_cast<std::size_t>(handle)] = static_cast<int>(fds_.size());
  fds_.push_back(pollfd{fd, POLLOUT, 0});
}

void PollSet::watchListen(int fd) {
  listen_ = static_cast<int>(fds_.size());
  fds_.push_back(pollfd{fd, POLLIN, 0});
}

PollSet::Outcome PollSet::wait(int timeout, const char* caller) {
  // Nothing to wait for would block for ever.
  if (fds_.empty() && timeout < 0) {
    NoEvent(caller);
    return Outcome::kFailed;
  }
  const int n = IpcSelectM(fds_.data(), fds_.size(), PollMs(timeout), caller, __LINE__);
  if (WaitGaveNothing(n, caller)) return Outcome::kFailed;
  if (listen_ >= 0 && fds_[static_cast<std::size_t>(listen_)].revents != 0) {
    return Outcome::kConnection;
  }
  return Outcome::kHandles;
}

PollSet::Outcome PollSet::glance(const char* caller) {
  if (fds_.empty()) return Outcome::kHandles;
  const int n = IpcSelectM(fds_.data(), fds_.size(), 0, caller, __LINE__);
  if (n < 0) {
    WaitGaveNothing(n, caller);
    return Outcome::kFailed;
  }
  if (n > 0 && listen_ >= 0 && fds_[static_cast<std::size_t>(listen_)].revents != 0) {
    return Outcome::kConnection;
  }
  return Outcome::kHandles;
}

bool PollSet::readable(IpcHandle handle) const {
  const int slot = read_[static_cast<std::size_t>(handle)];
  return slot >= 0 && (fds_[static_cast<std::size_t>(slot)].revents & kReadable) != 0;
}

bool PollSet::writable(IpcHandle handle) const {
  const int slot = write_[static_cast<std::size_t>(handle)];
  return slot >= 0 && (fds_[static_cast<std::size_t>(slot)].revents & kWritable) != 0;
}

namespace {

// Adds the read descriptor of a socket or pipe handle to `set`. True when a
// peeked packet, bytes read ahead or bytes seen on the socket make the
// handle ready at once.
bool Watch(PollSet& set, IpcHandle handle, IpcEntry& entry) {
  if ((entry.flags & IPC_FLAG_PEEKED) != 0 || KnowsBytes(entry)) return true;
  if (entry.type != IPC_SOCKET && entry.type != IPC_PIPE) return false;
  const int fd = ReadDescriptor(entry);
  if (fd < 0) return false;
  entry.waitRead = fd;
  set.watchRead(handle, fd);
  return false;
}

}  // namespace

IpcHandle IpcWaitForIpcEvent(int timeout) {
  static const char kFn[] = "IpcWaitForIpcEvent";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  const int top = instance->highWater;
  PollSet set;
  std::bitset<kIpcMaxHandles> readyNow;
  for (int handle = 0; handle < top; ++handle) {
    IpcEntry* entry = instance->table[handle].get();
    if (entry == nullptr || (entry->flags & IPC_FLAG_NOWAIT) != 0) continue;
    if (Watch(set, handle, *entry)) readyNow.set(static_cast<std::size_t>(handle));
  }
  if (instance->listenSocket >= 0) set.watchListen(instance->listenSocket);

  // A handle with bytes at hand is served in its turn among those the
  // descriptors show ready now.
  switch (readyNow.any() ? set.glance(kFn) : set.wait(timeout, kFn)) {
    case PollSet::Outcome::kFailed: return -1;
    case PollSet::Outcome::kConnection:
      DbgPlain(kLevel, "%s: new connection on socket %d", kFn, instance->listenSocket);
      return AcceptNew(kFn, true);
    case PollSet::Outcome::kHandles: break;
  }
  const int handle = FairScan(*instance, top, [&](IpcHandle candidate) {
    if (!readyNow.test(static_cast<std::size_t>(candidate)) && !set.readable(candidate)) {
      return kPassOver;
    }
    instance->lastIncoming = candidate;
    IpcSetEvent(candidate, IPC_EVENT_READ);
    return candidate;
  });
  return handle != kPassOver ? handle : NoEvent(kFn);
}

IpcHandle IpcWaitForIpcEventOnHandles(const IpcHandle* handles, int count, int timeout) {
  static const char kFn[] = "IpcWaitForIpcEventOnHandles";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  PollSet set;
  std::bitset<kIpcMaxHandles> readyNow;
  IpcHandle only = -1;
  int watched = 0;
  for (int i = 0; i < count; ++i) {
    const IpcHandle handle = handles[i];
    if (handle < 0) continue;
    IpcEntry* entry = IpcGetEntry(handle, kFn);
    if (entry == nullptr) return -1;
    if (Watch(set, handle, *entry)) readyNow.set(static_cast<std::size_t>(handle));
    if (entry->type == IPC_SOCKET && ReadDescriptor(*entry) >= 0) {
      only = handle;
      ++watched;
    } else {
      watched += 2;
    }
  }
  // A wait on one socket looks at its bytes instead of polling, so that the
  // receive that follows takes them without a look of its own.
  if (readyNow.none() && watched == 1) {
    IpcEntry* entry = IpcGetEntry(only, kFn);
    const int looked = LookForBytes(*entry, ReadDescriptor(*entry), PollMs(timeout));
    if (looked != -2) {
      if (WaitGaveNothing(looked, kFn)) return -1;
      instance->lastIncoming = only;
      IpcSetEvent(only, IPC_EVENT_READ);
      return only;
    }
  }
  if ((readyNow.any() ? set.glance(kFn) : set.wait(timeout, kFn)) == PollSet::Outcome::kFailed) {
    return -1;
  }
  const auto ready = [&](IpcHandle handle) {
    return readyNow.test(static_cast<std::size_t>(handle)) || set.readable(handle);
  };
  // Fair turns among the listed handles, starting after the last one served.
  int start = 0;
  for (int i = 0; i < count; ++i) {
    if (handles[i] == instance->lastIncoming) start = i + 1;
  }
  IpcHandle chosen = -1;
  for (int step = 0; step < count && chosen < 0; ++step) {
    const IpcHandle handle = handles[(start + step) % count];
    if (handle >= 0 && ready(handle)) chosen = handle;
  }
  if (chosen < 0) return NoEvent(kFn);
  instance->lastIncoming = chosen;
  IpcSetEvent(chosen, IPC_EVENT_READ);
  return chosen;
}

int IpcWaitForIpcEventOnHandle(IpcHandle handle, int timeout) {
  return IpcWaitForIpcEventOnHandleEx(handle, timeout, 1);
}

int IpcWaitForIpcEventOnHandleEx(IpcHandle handle, int timeout, int mode) {
  static const char kFn[] = "IpcWaitForIpcEventOnHandleEx";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  IpcInstance* instance = IpcMyInstance();
  const bool stream = entry->type == IPC_SOCKET || entry->type == IPC_PIPE;
  const int readFd = stream && (mode & 1) != 0 ? ReadDescriptor(*entry) : -1;
  const int writeFd = stream && (mode & 2) != 0 ? WriteDescriptor(*entry) : -1;
  if (readFd < 0 && writeFd < 0) return NoEvent(kFn);
  if (readFd >= 0 && KnowsBytes(*entry)) {
    instance->lastIncoming = handle;
    IpcSetEvent(handle, IPC_EVENT_READ);
    return entry->type == IPC_SOCKET ? 9 : 0;
  }
  std::array<pollfd, 2> fds{};
  nfds_t count = 0;
  int readSlot = -1;
  int writeSlot = -1;
  if (readFd >= 0) {
    readSlot = static_cast<int>(count);
    fds[count++] = pollfd{readFd, POLLIN, 0};
    entry->waitRead = readFd;
  }
  if (writeFd >= 0) {
    writeSlot = static_cast<int>(count);
    fds[count++] = pollfd{writeFd, POLLOUT, 0};
    entry->waitWrite = writeFd;
  }
  const int n = IpcSelectM(fds.data(), count, PollMs(timeout), kFn, __LINE__);
  if (WaitGaveNothing(n, kFn)) return -1;
  if (readSlot >= 0 && (fds[static_cast<std::size_t>(readSlot)].revents & kReadable) != 0) {
    instance->lastIncoming = handle;
    IpcSetEvent(handle, IPC_EVENT_READ);
    return entry->type == IPC_SOCKET ? 9 : 0;
  }
  if (writeSlot >= 0 && (fds[static_cast<std::size_t>(writeSlot)].revents & kWritable) != 0) {
    instance->lastIncoming = handle;
    IpcSetEvent(handle, IPC_EVENT_WRITE);
    return 0;
  }
  return NoEvent(kFn);
}

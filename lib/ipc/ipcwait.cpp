// Event waits of the IPC layer: on every handle with round-robin fairness and
// new connections, or on one handle for reading or writing.
#include <arpa/inet.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

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
    ErhMark(EIPCSELECT, errno, caller, 2);
    IpcSetEvent(-1, IPC_EVENT_ERROR);
  } else {
    IpcSetEvent(-1, IPC_EVENT_TIMEOUT);
  }
  return true;
}

int ipc_detail::NoEvent(const char* caller) {
  ErhMark(EIPCNOEVENT, 0, caller, 2);
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
    ErhMark(EIPCACCEPT, err, caller, 2);
    IpcReleaseIpcHandle(handle);
    IpcSetEvent(-1, IPC_EVENT_NONE);
    return -1;
  }
  entry->type = IPC_SOCKET;
  entry->readFd = fd;
  entry->writeFd = fd;
  DottedAddress(entry->peer.sin_addr.s_addr, entry->connectionIp, sizeof entry->connectionIp);
  IpcSocketSetLinger(handle);
  IpcSocketSetKeepAlive(handle);
  IpcSocketMaxTCPBuffers(handle);
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

IpcHandle IpcWaitForIpcEvent(int timeout) {
  static const char kFn[] = "IpcWaitForIpcEvent";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  const int top = instance->highWater;
  std::vector<pollfd> fds;
  fds.reserve(static_cast<std::size_t>(top) + 1);
  std::array<int, kIpcMaxHandles> slot;
  slot.fill(-1);
  for (int handle = 0; handle < top; ++handle) {
    IpcEntry* entry = instance->table[handle].get();
    if (entry == nullptr || (entry->flags & IPC_FLAG_NOWAIT) != 0) continue;
    if ((entry->flags & IPC_FLAG_PEEKED) != 0) {
      instance->lastIncoming = handle;
      IpcSetEvent(handle, IPC_EVENT_READ);
      return handle;
    }
    if (entry->type != IPC_SOCKET && entry->type != IPC_PIPE) continue;
    const int fd = ReadDescriptor(*entry);
    if (fd < 0) continue;
    entry->waitRead = fd;
    slot[handle] = static_cast<int>(fds.size());
    fds.push_back(pollfd{fd, POLLIN, 0});
  }
  const int listenSlot = instance->listenSocket >= 0 ? static_cast<int>(fds.size()) : -1;
  if (listenSlot >= 0) fds.push_back(pollfd{instance->listenSocket, POLLIN, 0});
  // Nothing to wait for would block for ever.
  if (fds.empty() && timeout < 0) return NoEvent(kFn);

  const int n = IpcSelectM(fds.data(), fds.size(), PollMs(timeout), kFn, __LINE__);
  if (WaitGaveNothing(n, kFn)) return -1;
  if (listenSlot >= 0 && fds[static_cast<std::size_t>(listenSlot)].revents != 0) {
    DbgPlain(kLevel, "%s: new connection on socket %d", kFn, instance->listenSocket);
    return AcceptNew(kFn, true);
  }
  if (instance->lastIncoming >= top) instance->lastIncoming = top - 1;
  const int last = instance->lastIncoming;
  // Fair turns: start after the handle answered last time.
  for (int step = 1; step <= top; ++step) {
    const int handle = (last + step) % top;
    const int index = slot[handle];
    if (index < 0 || (fds[static_cast<std::size_t>(index)].revents & kReadable) == 0) continue;
    instance->lastIncoming = handle;
    IpcSetEvent(handle, IPC_EVENT_READ);
    return handle;
  }
  return NoEvent(kFn);
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

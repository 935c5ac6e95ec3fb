// Connections of the IPC layer: connecting over every address of a host,
// attaching descriptors, locality and peer names, close and orderly shutdown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "ipc/ipc.h"
#include "ipc/ipcasync.h"
#include "ipc/ipchooks.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcconn.cpp");

using namespace ipc_detail;

namespace {

constexpr int kConnectInterruptWait = 60;
constexpr int kDiscardChunk = 2048;
constexpr int kDefaultShutdownFlags = 1;
constexpr int kDefaultShutdownTimeout = 60;

IpcPeerLocality peerLocality = IpcPeerLocality::kByAddress;

// Closes the descriptors of a socket entry: 0, or the errno of a failed close.
int CloseSocketDescriptors(IpcEntry& entry) {
  int failure = 0;
  if (entry.writeFd != entry.readFd && CloseFd(entry.writeFd) != 0) failure = errno;
  entry.writeFd = -1;
  if (CloseFd(entry.readFd) != 0) failure = errno;
  return failure;
}

}  // namespace

void ipc_detail::TuneSocket(IpcHandle handle, const IpcEntry& entry) {
  IpcSocketSetLinger(handle);
  IpcSocketSetKeepAlive(handle);
  IpcSocketMaxTCPBuffers(handle);
  SendSmallWritesAtOnce(entry);
}

IpcHandle IpcConnectToProcess(const char* host, unsigned port, int flag) {
  static const char kFn[] = "IpcConnectToProcess";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "host=%s port=%u flag=%d", host != nullptr ? host : "(null)",
             port, flag);
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
    return rc;
  };
  ErhSetErrorInfo(host != nullptr ? host : "");
  if (port == 0 || port > 65535) {
    ErhMark(EIPCCONNECT, EINVAL, kFn, kErhMinor);
    return done(-1);
  }
  IpcHandleGuard taken(IpcFindEmptyIpcHandle(), IpcReleaseIpcHandle);
  if (!taken) return done(-1);
  const IpcHandle handle = taken.get();

  const int local = IpcIPIsLocal(host);
  const hostent* entry = nullptr;
  if (local == 1) {
    entry = IpcGetHostByName("127.0.0.1");
  } else if (local == -1) {
    DbgPlain(kLevel, "[%s] IpcIPIsLocal() failed authoritatively.", kFn);
    ErhPromoteError(EIPCRESOLVE);
    return done(-1);
  } else {
    if (local != 0) ErhClearError();
    entry = IpcGetHostByName(host);
  }
  const std::vector<in_addr_t> addresses = HostAddresses(entry);
  if (addresses.empty()) {
    ErhPromoteError(EIPCRESOLVE);
    return done(-1);
  }

  IpcEntry* e = IpcGetEntry(handle, kFn);
  int lastError = 0;
  bool connected = false;
  for (const in_addr_t address : addresses) {
    char ip[kIpcHostNameSize];
    DottedAddress(address, ip, sizeof ip);
    e->type = IPC_SOCKET;
    const int fd = IpcNewSocket(kFn);
    if (fd < 0) return done(-1);
    e->readFd = fd;
    e->writeFd = fd;
    e->peer = sockaddr_in{};
    e->peer.sin_family = AF_INET;
    e->peer.sin_port = htons(static_cast<std::uint16_t>(port));
    e->peer.sin_addr.s_addr = address;
    StrCopy(e->connectionIp, ip, sizeof e->connectionIp - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&e->peer), sizeof e->peer) == 0) {
      connected = true;
      break;
    }
    lastError = errno;
    if (lastError == EINTR && cmnDefine_ORACLE_SIGNALS != 0) {
      DbgPlain(kLevel, "[%s] EINTR caught, going to IpcWaitForConnect()", kFn);
      if (IpcWaitForConnect(handle, kConnectInterruptWait) == 0) {
        connected = true;
        break;
      }
      lastError = errno;
    } else {
      DbgPlain(kLevel, "[%s] connect(%d, %u(\"%s\"->%s), %u(%u)) failed (errno=%d)", kFn, fd,
               static_cast<unsigned>(address), host, ip, port,
               static_cast<unsigned>(e->peer.sin_port), lastError);
    }
    CloseSocketDescriptors(*e);
  }
  if (!connected) {
    DbgPlain(kLevel, "[%s] Connect failed\n", kFn);
    ErhMark(EIPCCONNECT, lastError, kFn, kErhMinor);
    return done(-1);
  }
  DbgPlain(kLevel, "[%s] CONNECTED", kFn);
  TuneSocket(handle, *e);
  IpcHandleIsLocal(handle);
  return done(taken.release());
}

int IpcWaitForConnect(IpcHandle handle, int timeout) {
  static const char kFn[] = "IpcWaitForConnect";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  const int fd = entry->writeFd;
  pollfd wait{fd, POLLOUT, 0};
  const int n = IpcSelectM(&wait, 1, PollMs(timeout), kFn, __LINE__);
  if (n < 0) return -1;
  if (n == 0) {
    errno = ETIMEDOUT;
    return -2;
  }
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
    const int err = errno;
    DbgPlain(kLevel,
             "[%s] getsockopt(%d, SOL_SOCKET, SO_ERROR, %p, &(optlen=%d)) failed (errno=%d)", kFn,
             fd, static_cast<void*>(&pending), static_cast<int>(length), err);
    errno = err;
    return -1;
  }
  if (pending != 0) {
    errno = pending;
    return -1;
  }
  return 0;
}

IpcHandle IpcAttachConnection(int readfd, int writefd) {
  static const char kFn[] = "IpcAttachConnection";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  for (int handle = 0; handle < instance->highWater; ++handle) {
    const IpcEntry* entry = instance->table[handle].get();
    if (entry != nullptr && entry->type == IPC_SOCKET && entry->readFd == readfd &&
        entry->writeFd == writefd) {
      DbgPlain(kLevel, "%s: socket already attached, reusing handle %d", kFn, handle);
      return handle;
    }
  }
  if (readfd < 0 || writefd < 0 || fcntl(readfd, F_GETFL) < 0 || fcntl(writefd, F_GETFL) < 0) {
    const int err = readfd < 0 || writefd < 0 ? EBADF : errno;
    DbgPlain(kLevel, "[%s] failed to verify sockets %d and %d (errno=%d)", kFn, readfd, writefd,
             err);
    ErhMark(EIPCBADFDS, err, kFn, kErhMinor);
    return -1;
  }
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  if (handle < 0) return -1;
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  entry->type = IPC_SOCKET;
  entry->readFd = readfd;
  entry->writeFd = writefd;
  TuneSocket(handle, *entry);
  IpcHandleIsLocal(handle);
  return handle;
}

IpcPeerLocality IpcSetPeerLocality(IpcPeerLocality locality) {
  const IpcPeerLocality previous = peerLocality;
  peerLocality = locality;
  return previous;
}

int IpcHandleIsLocal(IpcHandle handle) {
  static const char kFn[] = "IpcHandleIsLocal";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (entry->type == IPC_SOCKET && peerLocality != IpcPeerLocality::kByAddress) {
    return peerLocality == IpcPeerLocality::kLocal ? 1 : 0;
  }
  if (entry->locality == 0) return 1;
  if (entry->locality == 1) return 0;
  entry->locality = 1;
  if (entry->type == IPC_PIPE || entry->type == IPC_SHMEM) {
    entry->locality = 0;
    return 1;
  }
  if (entry->type != IPC_SOCKET) return 0;

  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(entry->readFd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    return 0;
  }
  entry->peer = peer;
  DottedAddress(peer.sin_addr.s_addr, entry->connectionIp, sizeof entry->connectionIp);
  bool local = IsLoopback(peer.sin_addr.s_addr);
  if (!local) {
    // A peer whose address is our own end's address is on this host; no name
    // lookup needed.
    sockaddr_in self{};
    length = sizeof self;
    local = getsockname(entry->readFd, reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
            self.sin_addr.s_addr == peer.sin_addr.s_addr;
  }
  if (!local) {
    const bool pending = ErhErrno() != 0;
    const std::vector<in_addr_t> mine = OwnAddresses();
    if (mine.empty() && !pending) ErhClearError();
    local = std::find(mine.begin(), mine.end(), peer.sin_addr.s_addr) != mine.end();
  }
  if (!local) return 0;
  entry->locality = 0;
  return 1;
}

int IpcGetPeer(IpcHandle handle, char* name) {
  return IpcGetPeerN(handle, name, kIpcHostNameSize);
}

int IpcGetPeerN(IpcHandle handle, char* name, std::size_t size) {
  static const char kFn[] = "IpcGetPeer";
  IpcEntry* entry = SocketEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (name == nullptr || size == 0) {
    ErhMark(EIPCPACKET, 0, kFn, kErhMinor);
    return -1;
  }
  const std::size_t room = size - 1;
  if (IpcHandleIsLocal(handle) == 1) {
    char own[kIpcHostNameSize] = {};
    if (gethostname(own, sizeof own - 1) != 0) own[0] = '\0';
    const bool pending = ErhErrno() != 0;
    const hostent* host = IpcGetHostByName(own);
    if (host != nullptr) {
      StrCopy(name, CmnCheckHostentAliases(host), room);
    } else {
      if (!pending) ErhClearError();
      StrCopy(name, own, room);
    }
    return 0;
  }
  const in_addr_t address = entry->peer.sin_addr.s_addr;
  hostent* host = gethostbyaddr(&address, sizeof address, AF_INET);
  if (host == nullptr) {
    DbgPlain(kLevel, "[%s] gethostbyaddr(&(hostip=%u), %d, AF_INET) failed (h_errno=%d)", kFn,
             static_cast<unsigned>(address), static_cast<int>(sizeof address), h_errno);
  } else if (host->h_name != nullptr && host->h_name[0] != '\0') {
    StrCopy(name, CmnCheckHostentAliases(host), room);
    return 0;
  }
  DbgPlain(kLevel, "%s: Could not expand ConnectionIP \"%s\"", kFn, entry->connectionIp);
  StrCopy(name, entry->connectionIp, room);
  return 0;
}

int IpcTestConnection(IpcHandle handle) {
  IpcEntry* entry = SocketEntry(handle, "IpcTestConnection");
  if (entry == nullptr) return -1;
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  return getpeername(entry->readFd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? 1 : 0;
}

int IpcCloseConnection(IpcHandle handle) {
  static const char kFn[] = "IpcCloseConnection";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (entry->shmAttached != 0) {
    if (OwnsSegment(*entry)) {
      IpcFreeShmem(handle);
    } else {
      IpcDetachShmem(handle);
    }
  }
  switch (entry->type) {
    case IPC_SOCKET: {
      const int fd = entry->readFd;
      // An attached descriptor that is no socket may be shared with its
      // owner, who gets it back in the mode it had.
      if (entry->plainDescriptor) RestoreBlocking(*entry);
      const int failure = CloseSocketDescriptors(*entry);
      if (failure != 0) ErhMark(EIPCCLOSE, failure, kFn, kErhMinor);
      DbgPlain(kLevel, "Socket %d of handle %d closed.", fd, handle);
      return IpcReleaseIpcHandle(handle);
    }
    case IPC_PIPE: return IpcClosePipes(handle);
    case IPC_SHMEM:
      DbgPlain(kLevel, "%s Releasing handle %d of type IPC_SHMEM.\n", kFn, handle);
      return IpcReleaseIpcHandle(handle);
    default:
      DbgPlain(kDbgUnexpected, "Releasing handle %d of unknown type.\n", handle);
      CloseSocketDescriptors(*entry);
      return IpcReleaseIpcHandle(handle);
  }
}

int IpcShutdownAndDiscard(IpcHandle handle, int flags, int timeout) {
  static const char kFn[] = "IpcShutdownAndDiscard";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (entry->type != IPC_SOCKET) {
    DbgPlain(kLevel, "[%s] Handle %d not a socket, ignored.", kFn, handle);
    return 0;
  }
  const int fd = entry->readFd;
  if ((flags & 8) != 0 && timeout > 0) {
    DbgPlain(kLevel, "[%s] Entering sleep(%d) before shutdown...", kFn, timeout);
    Sleep(timeout, 0);
  }
  int how = -1;
  switch (flags & 3) {
    case 1: how = SHUT_WR; break;
    case 2: how = SHUT_RDWR; break;
    case 3: how = SHUT_RD; break;
    default: break;
  }
  int result = 0;
  if (how >= 0 && shutdown(fd, how) != 0) {
    ErhMark(EIPCSHUTDOWN, errno, kFn, kErhMinor);
    result = -1;
  }
  if (timeout <= 0) return result;
  if ((flags & 3) != 1) {
    if ((flags & 4) != 0) {
      DbgPlain(kLevel, "[%s] Entering sleep(%d)...", kFn, timeout);
      Sleep(timeout, 0);
    }
    return result;
  }
  // Whatever the peer still sends is read and dropped until it closes, for at
  // most `timeout` seconds in all, even when it keeps sending.
  const auto start = Clock::now();
  char discard[kDiscardChunk];
  for (;;) {
    const ssize_t n = ReadSome(*entry, fd, discard, sizeof discard, true);
    if (n == 0) break;
    if (n > 0) {
      DbgPlain(kLevel, "[%s] received %d bytes after shutdown => discarded.", kFn,
               static_cast<int>(n));
      if (RemainingMs(start, timeout) == 0) {
        ErhMark(EIPCRECEIVE, ETIMEDOUT, kFn, kErhMinor);
        return -1;
      }
      continue;
    }
    const int err = errno;
    if (err == EINTR && cmnDefine_ORACLE_SIGNALS != 0) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      const long ms = RemainingMs(start, timeout);
      const int ready = ms > 0 ? WaitDescriptor(fd, POLLIN, ms, kFn) : 0;
      if (ready > 0) continue;
      ErhMark(ready < 0 ? EIPCSELECT : EIPCRECEIVE, ready < 0 ? errno : ETIMEDOUT, kFn, kErhMinor);
      return -1;
    }
    ErhMark(err == EINTR ? EIPCINTR : EIPCRECEIVE, err, kFn, kErhMinor);
    return -1;
  }
  return result;
}

int IpcShutdownAndCloseConnectionEx(IpcHandle handle, int flags, int timeout) {
  static const char kFn[] = "IpcShutdownAndCloseConnectionEx";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "handle=%d flags=%d timeout=%d", handle, flags, timeout);
  if (entry->shmAttached != 0 && OwnsSegment(*entry)) IpcFreeShmem(handle);
  int rc;
  if (entry->type == IPC_SOCKET) {
    if (flags != 0 || timeout != 0) IpcShutdownAndDiscard(handle, flags, timeout);
    const int fd = entry->readFd;
    const int failure = CloseSocketDescriptors(*entry);
    if (failure != 0) ErhMark(EIPCCLOSE, failure, kFn, kErhMinor);
    DbgPlain(kLevel, "Socket %d of handle %d closed.", fd, handle);
    IpcReleaseIpcHandle(handle);
    rc = 0;
  } else {
    rc = IpcCloseConnection(handle);
  }
  DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
  return rc;
}

int IpcShutdownAndCloseConnection(IpcHandle handle) {
  int flags = kDefaultShutdownFlags;
  int timeout = kDefaultShutdownTimeout;
  EnvReadInt("VEKSHUTDOWNFLAGS", &flags);
  EnvReadInt("VEKSHUTDOWNTIMEOUT", &timeout);
  return IpcShutdownAndCloseConnectionEx(handle, flags, timeout);
}

int IpcJustCloseSocket(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcJustCloseSocket");
  if (entry == nullptr) return -1;
  const int fd = entry->readFd;
  CloseSocketDescriptors(*entry);
  DbgPlain(kLevel, "Socket %d of handle %d closed.", fd, handle);
  return 0;
}

int IpcFixHandleForReconnect(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcFixHandleForReconnect");
  if (entry == nullptr) return -1;
  // The entry never left the table, so the count of handles in use stays.
  entry->type = IPC_TYPE_NONE;
  entry->locality = -1;
  return 0;
}

int IpcSocketSetLinger(IpcHandle) {
  return 0;
}
int IpcSocketSetKeepAlive(IpcHandle) {
  return 0;
}
int IpcSocketFlush(IpcHandle) {
  return 0;
}
int IpcSocketMaxTCPBuffers(IpcHandle) {
  return 0;
}

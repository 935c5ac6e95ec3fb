// Descriptor-level work of the IPC layer: reads and writes without SIGPIPE,
// temporary non-blocking mode, waits on descriptors, and small address helpers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"
#include "ipc/ipc.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcio.cpp");

namespace ipc_detail {

int ReadDescriptor(const IpcEntry& entry) {
  switch (entry.type) {
    case IPC_SOCKET: return entry.readFd;
    case IPC_PIPE: return entry.pipeRead;
    default: return -1;
  }
}

int WriteDescriptor(const IpcEntry& entry) {
  switch (entry.type) {
    case IPC_SOCKET: return entry.writeFd;
    case IPC_PIPE: return entry.pipeWrite;
    default: return -1;
  }
}

namespace {

bool UsesSocketCalls(const IpcEntry& entry) {
  return entry.type == IPC_SOCKET && !entry.plainDescriptor;
}

// write() on a pipe whose reader is gone raises SIGPIPE, which would end the
// process. The signal is blocked for the call and a SIGPIPE the write raised
// is taken off again, so no handler is ever swapped: in a host process the
// handler is the host's.
ssize_t PlainWrite(int fd, const void* bytes, std::size_t count) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  const bool wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  const bool blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) == 0;
  const ssize_t n = write(fd, bytes, count);
  const int err = errno;
  if (blocked) {
    if (n < 0 && err == EPIPE && !wasPending) {
      const timespec none{0, 0};
      while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  errno = err;
  return n;
}

}  // namespace

ssize_t ReadSome(IpcEntry& entry, int fd, void* buffer, std::size_t count, bool dontWait) {
  if (UsesSocketCalls(entry)) {
    const ssize_t n = recv(fd, buffer, count, dontWait ? MSG_DONTWAIT : 0);
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  // A pipe has no per-call flag; a step of an asynchronous transfer must
  // not block on it either.
  const NonBlockingScope scope(fd, dontWait);
  return read(fd, buffer, count);
}

ssize_t WriteSome(IpcEntry& entry, int fd, const void* bytes, std::size_t count, bool dontWait) {
  if (UsesSocketCalls(entry)) {
    const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  // A blocking pipe write waits until every byte fits, however long the
  // reader takes.
  const NonBlockingScope scope(fd, dontWait);
  return PlainWrite(fd, bytes, count);
}

ssize_t WriteSomeWithHeader(IpcEntry& entry, int fd, const void* header, std::size_t headerCount,
                            const void* data, std::size_t dataCount, bool dontWait) {
  if (UsesSocketCalls(entry) && dataCount > 0) {
    iovec parts[2] = {{const_cast<void*>(header), headerCount},
                      {const_cast<void*>(data), dataCount}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  return WriteSome(entry, fd, header, headerCount, dontWait);
}

NonBlockingScope::NonBlockingScope(int fd, bool wanted) : fd_(fd) {
  if (!wanted || fd < 0) return;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return;
  if ((flags & O_NONBLOCK) != 0) {
    active_ = true;
    return;
  }
  int on = 1;
  if (ioctl(fd, FIONBIO, &on) == 0) {
    switched_ = true;
    active_ = true;
  }
}

NonBlockingScope::~NonBlockingScope() {
  if (!switched_) return;
  const int err = errno;
  int off = 0;
  ioctl(fd_, FIONBIO, &off);
  errno = err;
}

long RemainingMs(Clock::time_point start, int timeout) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const long left = static_cast<long>(timeout) * 1000 - static_cast<long>(elapsed.count());
  return left > 0 ? left : 0;
}

int WaitDescriptor(int fd, short events, long ms, const char* caller) {
  pollfd entry{fd, events, 0};
  const int wait = ms < 0 ? -1 : static_cast<int>(std::min<long>(ms, INT_MAX));
  const int n = IpcSelectM(&entry, 1, wait, caller, __LINE__);
  if (n < 0) return -1;
  return n > 0 ? 1 : 0;
}

bool IsLoopback(in_addr_t address) {
  return (ntohl(address) >> 24) == 127;
}

int CloseFd(int& fd) {
  if (fd < 0) return 0;
  const int rc = close(fd);
  fd = -1;
  return rc;
}

bool OwnsSegment(const IpcEntry& entry) {
  return entry.shmOwner != 0 && entry.shmCreator == getpid();
}

void DropShmem(IpcEntry& entry) {
  if (entry.shmAttached == 0) return;
  if (entry.shmAddress != nullptr) shmdt(entry.shmAddress);
  if (OwnsSegment(entry)) shmctl(entry.shmId, IPC_RMID, nullptr);
  entry.shmAttached = 0;
  entry.shmAddress = nullptr;
}

void SendSmallWritesAtOnce(const IpcEntry& entry) {
  const int saved = errno;
  int on = 1;
  if (entry.writeFd >= 0 &&
      setsockopt(entry.writeFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 &&
      errno != ENOTSOCK && errno != EOPNOTSUPP) {
    DbgPlain(kLevelData, "setsockopt(%d, IPPROTO_TCP, TCP_NODELAY, &(value=1)) failed (errno=%d)",
             entry.writeFd, errno);
  }
  errno = saved;
}

void DottedAddress(in_addr_t address, char* out, std::size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace ipc_detail

int IpcSelectM(pollfd* fds, nfds_t count, int timeout, const char* caller, int line) {
  using namespace ipc_detail;
  (void)line;  // the caller's line, kept for the interface
  DbgPlain(kLevelSelect, "%s: select", caller != nullptr ? caller : "");
  const auto start = Clock::now();
  int n;
  for (;;) {
    int wait = timeout;
    if (timeout > 0) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      wait = elapsed >= timeout ? 0 : timeout - static_cast<int>(elapsed);
    }
    n = poll(fds, count, wait);
    if (n >= 0 || errno != EINTR || cmnDefine_ORACLE_SIGNALS == 0) break;
  }
  const int err = errno;
  DbgPlain(kLevelSelect, "%s: select returned %d", caller != nullptr ? caller : "", n);
  errno = err;
  return n;
}

int IpcAccept(int socket, sockaddr* address, socklen_t* length) {
  return cmn::RetryEintrIf(cmnDefine_ORACLE_SIGNALS != 0,
                           [&] { return accept4(socket, address, length, SOCK_CLOEXEC); });
}

// Descriptor-level work of the IPC layer: reads (read ahead) and writes without
// SIGPIPE, non-blocking mode set once, waits on descriptors, address helpers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

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

// SIGPIPE blocked by HoldSigPipe for the life of the layer; the mask to put
// back holds it when the process had blocked it itself.
bool sigPipeHeld = false;
bool sigPipeWasBlocked = false;
// Set by IpcOwnSignals in a detached child of a host process.
bool signalsOwned = false;

sigset_t SigPipeOnly() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

// Takes back the SIGPIPE one of our writes raised while the signal was
// blocked, so that it is never delivered later.
void DropRaisedSigPipe(const sigset_t& pipeOnly) {
  const timespec none{0, 0};
  while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
  }
}

// write() on a pipe whose reader is gone raises SIGPIPE, which would end the
// process. Where the process owns its signals the signal stays blocked while
// the layer runs (HoldSigPipe), so a write costs nothing more and may gather
// all `count` parts. In a host process the host's mask is only borrowed for
// a write of the first part, and no handler is ever swapped.
ssize_t PlainWrite(int fd, const iovec* parts, int count) {
  HoldSigPipe();
  const sigset_t pipeOnly = SigPipeOnly();
  if (sigPipeHeld && !sigPipeWasBlocked) {
    const ssize_t n =
        count == 1 ? write(fd, parts[0].iov_base, parts[0].iov_len) : writev(fd, parts, count);
    if (n < 0 && errno == EPIPE) {
      DropRaisedSigPipe(pipeOnly);
      errno = EPIPE;
    }
    return n;
  }
  sigset_t previous;
  const bool blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) == 0;
  // A SIGPIPE already pending under the host's own mask is the host's.
  bool wasPending = false;
  if (blocked && sigismember(&previous, SIGPIPE) == 1) {
    sigset_t pending;
    sigemptyset(&pending);
    wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  const ssize_t n = write(fd, parts[0].iov_base, parts[0].iov_len);
  const int err = errno;
  if (blocked) {
    if (n < 0 && err == EPIPE && !wasPending) DropRaisedSigPipe(pipeOnly);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  errno = err;
  return n;
}

// Switches a plain descriptor of the entry to non-blocking mode, once; slot
// 0 notes the read descriptor, slot 1 the write descriptor.
void KeepNonBlocking(IpcEntry& entry, int fd, int slot) {
  ModeNote& note = entry.nonBlocking[slot];
  if (fd < 0 || note.fd == fd) return;
  const int saved = errno;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
    note = ModeNote{fd, false};
  } else if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    note = ModeNote{fd, true};
  }
  errno = saved;
}

// A receive on a socket. A wait that looked at the socket may have left a
// receive time-out on it, which makes the kernel end a blocking receive
// interrupted by a handler even where the handler asks for the call to go
// on: such a receive is made again, as it was before the time-out.
template <class Receive>
ssize_t Received(const IpcEntry& entry, bool dontWait, Receive receive) {
  for (;;) {
    const ssize_t n = receive();
    if (n >= 0 || errno != EINTR || dontWait || entry.receiveTimeoutMs == 0 || !HandlersRestart()) {
      return n;
    }
  }
}

ssize_t ReadDirect(IpcEntry& entry, int fd, void* buffer, std::size_t count, bool dontWait) {
  if (UsesSocketCalls(entry)) {
    const ssize_t n = Received(
        entry, dontWait, [&] { return recv(fd, buffer, count, dontWait ? MSG_DONTWAIT : 0); });
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  KeepNonBlocking(entry, fd, 0);
  return read(fd, buffer, count);
}

// The bytes of the whole packets at the start of `bytes`: the first one if
// its length is at most `limit`, then those of at most kIpcPackMax bytes.
std::size_t WholePackets(const char* bytes, std::size_t count, std::int64_t limit) {
  std::size_t whole = 0;
  for (;;) {
    if (count - whole < kIpcHeaderSize) return whole;
    const std::uint32_t length = GetHeader(reinterpret_cast<const unsigned char*>(bytes + whole));
    if (length > (whole == 0 ? limit : kIpcPackMax)) return whole;
    if (count - whole - kIpcHeaderSize < length) return whole;
    whole += kIpcHeaderSize + length;
  }
}

// A read that takes bytes off the descriptor. Bytes handed out from what a
// look saw (a length word) are dropped in the same receive.
ssize_t TakeDirect(IpcEntry& entry, int fd, void* buffer, std::size_t count, bool dontWait) {
  ReadAhead& ahead = entry.ahead;
  // From here on the look no longer tells what the socket holds.
  ahead.seen = 0;
  while (ahead.skip > 0) {
    char dropped[kIpcHeaderSize];
    iovec parts[2] = {{dropped, static_cast<std::size_t>(ahead.skip)}, {buffer, count}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const ssize_t n = Received(entry, dontWait,
                               [&] { return recvmsg(fd, &message, dontWait ? MSG_DONTWAIT : 0); });
    if (n <= 0) return n;
    if (n > ahead.skip) {
      const ssize_t got = n - ahead.skip;
      ahead.skip = 0;
      return got;
    }
    ahead.skip -= static_cast<int>(n);
    if (dontWait) {
      errno = EAGAIN;
      return -1;
    }
  }
  return ReadDirect(entry, fd, buffer, count, dontWait);
}

// A fresh length word on a socket. The socket is looked at (MSG_PEEK) unless
// a look already saw what it holds; whole packets the look saw are taken in
// one receive, and the length word of a packet too long for the look is
// handed out from it and taken with the packet's data. Nothing past a length
// word is taken before its receive accepted it.
ssize_t ReadHeaderOnSocket(IpcEntry& entry, int fd, void* buffer, std::int64_t limit,
                           bool dontWait) {
  ReadAhead& ahead = entry.ahead;
  if (ahead.seen == 0) {
    ahead.start = 0;
    ahead.end = 0;
    const ssize_t n = Received(entry, dontWait, [&] {
      return recv(fd, ahead.bytes, sizeof ahead.bytes, MSG_PEEK | (dontWait ? MSG_DONTWAIT : 0));
    });
    if (n < 0 && errno == ENOTSOCK) return ReadDirect(entry, fd, buffer, kIpcHeaderSize, dontWait);
    if (n <= 0) {
      ahead.full = false;
      return n;
    }
    ahead.seen = static_cast<int>(n);
  }
  char* head = ahead.bytes + ahead.end;
  const std::size_t whole = WholePackets(head, static_cast<std::size_t>(ahead.seen), limit);
  if (whole > 0) {
    const ssize_t n = recv(fd, head, whole, MSG_DONTWAIT);
    if (n <= 0) {
      ahead.seen = 0;
      return n;
    }
    ahead.seen -= static_cast<int>(n);
    ahead.end += static_cast<int>(n);
    ahead.full = ahead.end == static_cast<int>(sizeof ahead.bytes);
    return ReadSome(entry, fd, buffer, kIpcHeaderSize, dontWait);
  }
  if (ahead.seen >= kIpcHeaderSize) {
    std::memcpy(buffer, head, kIpcHeaderSize);
    ahead.skip = kIpcHeaderSize;
    return kIpcHeaderSize;
  }
  // Part of a length word: taken as far as it came.
  return TakeDirect(entry, fd, buffer, static_cast<std::size_t>(ahead.seen), dontWait);
}

constexpr long kDayMs = 24L * 3600 * 1000;

// Sets the socket's receive time-out to `ms` when it differs from the one set
// last. False when the socket refuses it.
bool SetReceiveTimeout(IpcEntry& entry, int fd, long ms) {
  const long wanted = ms;
  if (entry.receiveTimeoutMs == wanted) return true;
  const timeval limit{static_cast<time_t>(wanted / 1000),
                      static_cast<suseconds_t>(wanted % 1000 * 1000)};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
  entry.receiveTimeoutMs = wanted;
  return true;
}

}  // namespace

void HoldSigPipe() {
  if (sigPipeHeld || (CmnInHostProcess() && !signalsOwned)) return;
  const sigset_t pipeOnly = SigPipeOnly();
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) != 0) return;
  sigPipeHeld = true;
  sigPipeWasBlocked = sigismember(&previous, SIGPIPE) == 1;
}

}  // namespace ipc_detail

void IpcOwnSignals() {
  ipc_detail::signalsOwned = true;
  ipc_detail::HoldSigPipe();
}

namespace ipc_detail {

void ReleaseSigPipe() {
  signalsOwned = false;
  if (!sigPipeHeld) return;
  sigPipeHeld = false;
  if (sigPipeWasBlocked) return;
  const sigset_t pipeOnly = SigPipeOnly();
  // Every SIGPIPE raised meanwhile was one the layer ignores.
  DropRaisedSigPipe(pipeOnly);
  pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);
}

ssize_t ReadSome(IpcEntry& entry, int fd, void* buffer, std::size_t count, bool dontWait) {
  ReadAhead& ahead = entry.ahead;
  const std::int64_t limit = ahead.limit;
  ahead.limit = -1;
  if (ahead.held() > 0) {
    const std::size_t take = std::min(count, static_cast<std::size_t>(ahead.held()));
    std::memcpy(buffer, ahead.bytes + ahead.start, take);
    ahead.start += static_cast<int>(take);
    return static_cast<ssize_t>(take);
  }
  ahead.polledReadable = false;
  if (limit < 0 || count != kIpcHeaderSize || ahead.skip > 0) {
    return TakeDirect(entry, fd, buffer, count, dontWait);
  }
  if (UsesSocketCalls(entry)) return ReadHeaderOnSocket(entry, fd, buffer, limit, dontWait);
  const ssize_t n = ReadDirect(entry, fd, ahead.bytes, sizeof ahead.bytes, dontWait);
  if (n <= 0) {
    ahead.full = false;
    return n;
  }
  ahead.start = 0;
  ahead.end = static_cast<int>(n);
  ahead.full = n == static_cast<ssize_t>(sizeof ahead.bytes);
  return ReadSome(entry, fd, buffer, count, dontWait);
}

void DropHandedOut(IpcEntry& entry) {
  ReadAhead& ahead = entry.ahead;
  if (ahead.skip == 0) return;
  const int saved = errno;
  char dropped[kIpcHeaderSize];
  // The look saw these bytes, so they are there.
  (void)recv(ReadDescriptor(entry), dropped, static_cast<std::size_t>(ahead.skip), MSG_DONTWAIT);
  ahead.skip = 0;
  ahead.seen = 0;
  errno = saved;
}

int LookForBytes(IpcEntry& entry, int fd, int ms) {
  ReadAhead& ahead = entry.ahead;
  if (!UsesSocketCalls(entry) || ahead.held() > 0 || ahead.seen > 0 || ahead.skip > 0) return -2;
  const auto start = Clock::now();
  // The whole wait first, so that a caller that always waits as long sets
  // the time-out once.
  long left = ms;
  for (;; left = LeftOfWait(start, ms)) {
    // A receive with a time-out is never restarted after a signal handler,
    // so that a caught signal ends the wait as it ends a poll; a wait
    // without limit looks again after each day.
    if (left != 0 && !SetReceiveTimeout(entry, fd, left < 0 ? kDayMs : left)) return -2;
    ahead.start = 0;
    ahead.end = 0;
    const ssize_t n =
        recv(fd, ahead.bytes, sizeof ahead.bytes, MSG_PEEK | (left == 0 ? MSG_DONTWAIT : 0));
    if (n > 0) {
      ahead.seen = static_cast<int>(n);
      return 1;
    }
    if (n == 0) return 1;
    const int err = errno;
    if (err == EINTR) {
      if (cmnDefine_ORACLE_SIGNALS != 0) continue;
      return -1;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
      // A descriptor its owner made non-blocking answers at once: poll waits.
      if (left == 0 || LeftOfWait(start, ms) == 0) return 0;
      if (left < 0 && Clock::now() - start >= std::chrono::milliseconds(kDayMs)) continue;
      return -2;
    }
    if (err == ENOTSOCK) {
      entry.plainDescriptor = true;
      return -2;
    }
    // The receive that follows finds the error, as after a poll.
    errno = err;
    return 1;
  }
}

ssize_t WriteSome(IpcEntry& entry, int fd, const void* bytes, std::size_t count, bool dontWait) {
  if (UsesSocketCalls(entry)) {
    const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  KeepNonBlocking(entry, fd, 1);
  const iovec part{const_cast<void*>(bytes), count};
  return PlainWrite(fd, &part, 1);
}

ssize_t WriteParts(IpcEntry& entry, int fd, iovec* parts, int count, bool dontWait) {
  if (count == 1) return WriteSome(entry, fd, parts[0].iov_base, parts[0].iov_len, dontWait);
  if (UsesSocketCalls(entry)) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<std::size_t>(count);
    const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (n >= 0 || errno != ENOTSOCK) return n;
    entry.plainDescriptor = true;
  }
  KeepNonBlocking(entry, fd, 1);
  return PlainWrite(fd, parts, count);
}

ssize_t WriteSomeWithHeader(IpcEntry& entry, int fd, const void* header, std::size_t headerCount,
                            const void* data, std::size_t dataCount, bool dontWait) {
  iovec parts[2] = {{const_cast<void*>(header), headerCount}, {const_cast<void*>(data), dataCount}};
  return WriteParts(entry, fd, parts, dataCount > 0 ? 2 : 1, dontWait);
}

void RestoreBlocking(IpcEntry& entry) {
  const int saved = errno;
  for (ModeNote& note : entry.nonBlocking) {
    if (note.switched) {
      const int flags = fcntl(note.fd, F_GETFL);
      if (flags >= 0) fcntl(note.fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    note = ModeNote{};
  }
  errno = saved;
}

long RemainingMs(Clock::time_point start, int timeout) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const long left = static_cast<long>(timeout) * 1000 - static_cast<long>(elapsed.count());
  return left > 0 ? left : 0;
}

long LeftOfWait(Clock::time_point start, long ms) {
  if (ms <= 0) return ms;
  const long elapsed = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  return elapsed >= ms ? 0 : ms - elapsed;
}

bool HandlersRestart() {
  for (int sig = 1; sig < NSIG; ++sig) {
    // A fault is raised by the faulting thread itself and never interrupts a
    // wait; crash handlers of the host need not restart.
    if (sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP ||
        sig == SIGSYS)
      continue;
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) != 0) continue;  // numbers the C library keeps
    const bool caught =
        (now.sa_flags & SA_SIGINFO) != 0 || (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
    if (caught && (now.sa_flags & SA_RESTART) == 0) return false;
  }
  return true;
}

int WaitDescriptor(int fd, short events, long ms, const char* caller) {
  pollfd entry{fd, events, 0};
  const auto start = Clock::now();
  for (;;) {
    const long left = LeftOfWait(start, ms);
    const int wait = left < 0 ? -1 : static_cast<int>(std::min<long>(left, INT_MAX));
    const int n = IpcSelectM(&entry, 1, wait, caller, __LINE__);
    if (n >= 0) return n > 0 ? 1 : 0;
    // The wait stands in for a blocking read or write, which the kernel
    // restarts after a handler installed with SA_RESTART; poll never is.
    if (errno != EINTR || !HandlersRestart()) return -1;
  }
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

namespace {

// Whether process `pid` has ended or is ending: gone, a zombie, or past the
// start of its exit (the kernel's PF_EXITING flag), which it reaches before
// its descriptors close, so before a peer sees its connection end. Plain
// system calls only: this runs in the SIGINT clean-up too.
bool Ended(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  char path[32] = "/proc/";
  char digits[12];
  int count = 0;
  for (auto v = static_cast<unsigned>(pid); v != 0 && count < 11; v /= 10) {
    digits[count++] = static_cast<char>('0' + v % 10);
  }
  std::size_t at = std::strlen(path);
  while (count > 0) path[at++] = digits[--count];
  std::memcpy(path + at, "/stat", 6);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // "pid (name) state ppid pgrp session tty tpgid flags ..."; the name may
  // hold anything, so the fields start after its last ')'.
  const char* field = std::strrchr(text, ')');
  if (field == nullptr || field[1] != ' ' || field[2] == '\0') return false;
  if (field[2] == 'Z' || field[2] == 'X') return true;
  field += 2;
  for (int skip = 0; skip < 6 && field != nullptr; ++skip) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  if (field == nullptr) return false;
  unsigned long flags = 0;
  for (; *field >= '0' && *field <= '9'; ++field) flags = flags * 10 + static_cast<unsigned>(*field - '0');
  constexpr unsigned long kExiting = 0x4;
  return (flags & kExiting) != 0;
}

}  // namespace

void RemoveIfOrphaned(int id) {
  const int saved = errno;
  shmid_ds state{};
  // Whatever still counts as attached: the kernel may release a killed
  // maker's own mapping only after its connections have closed, when the
  // last attached process here has gone and no one would mark it any more.
  if (shmctl(id, IPC_STAT, &state) == 0 && state.shm_cpid > 0 && Ended(state.shm_cpid)) {
    shmctl(id, IPC_RMID, nullptr);
  }
  errno = saved;
}

void DropShmem(IpcEntry& entry) {
  if (entry.shmAttached == 0) return;
  if (entry.shmAddress != nullptr) shmdt(entry.shmAddress);
  if (OwnsSegment(entry)) {
    shmctl(entry.shmId, IPC_RMID, nullptr);
  } else {
    RemoveIfOrphaned(entry.shmId);
  }
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
    n = poll(fds, count, static_cast<int>(LeftOfWait(start, timeout)));
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

// Shared set-up of the IPC tests: a started layer over a temporary root, raw
// peers on 127.0.0.1, forked peer processes, and a sleep that only records.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cmn/erh.h"
#include "cmn/paths.h"
#include "ipc/ipc.h"
#include "ipc/ipchooks.h"
#include "tarn_test.h"

namespace ipctest {

// The sleeps the layer asked for, instead of sleeping.
inline std::vector<std::pair<long, long>> sleeps;
inline void RecordSleep(long seconds, long microseconds) {
  sleeps.emplace_back(seconds, microseconds);
}
inline double SleptSeconds() {
  double total = 0;
  for (const auto& [s, us] : sleeps)
    total += static_cast<double>(s) + static_cast<double>(us) / 1e6;
  return total;
}

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhClearErrorM("ipc_test", 0);
    sleeps.clear();
    ASSERT_EQ(IpcInit(), 0);
  }
  void TearDown() override {
    IpcExit();
    ErhClearErrorM("ipc_test", 0);
    IpcSetSleepFunction(nullptr);
    IpcSetResolverFunction(nullptr);
  }
  tarn::test::TempRoot root_;
};

inline void WriteAll(int fd, const void* bytes, std::size_t count) {
  const auto* p = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t n = send(fd, p, count, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, p, count);  // a pipe
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
}

inline void WriteAll(int fd, std::string_view bytes) {
  WriteAll(fd, bytes.data(), bytes.size());
}

// Exactly `count` bytes, or fewer when the peer closed first.
inline std::string ReadExactly(int fd, std::size_t count) {
  std::string out(count, '\0');
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(fd, out.data() + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

using tarn::test::Packet;
using tarn::test::Span;

inline std::string Header(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

// A listening socket of the test on 127.0.0.1, on a port the system chose.
class RawListener {
 public:
  RawListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~RawListener() { close(fd_); }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;
  unsigned port() const { return static_cast<unsigned>(port_); }
  int Accept() const { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A raw client socket connected to 127.0.0.1:port, or -1.
inline int RawConnect(unsigned port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// An IPC handle connected to a raw socket of the test.
struct Connection {
  IpcHandle handle = -1;
  int peer = -1;
  ~Connection() {
    if (peer >= 0) close(peer);
  }
};

inline void Connect(Connection* c) {
  RawListener listener;
  ASSERT_NE(listener.port(), 0u);
  c->handle = IpcConnectToProcess("127.0.0.1", listener.port(), 0);
  ASSERT_GE(c->handle, 0);
  c->peer = listener.Accept();
  ASSERT_GE(c->peer, 0);
}

// A handle over one end of a datagram-preserving pair: every write of the
// layer arrives at the other end as one record.
struct RecordPair {
  IpcHandle handle = -1;
  int peer = -1;
  RecordPair() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return;
    peer = pair[0];
    handle = IpcAttachConnection(pair[1], pair[1]);
  }
  ~RecordPair() { close(peer); }
  RecordPair(const RecordPair&) = delete;
  RecordPair& operator=(const RecordPair&) = delete;
  // The next record written to the handle; empty when none is waiting.
  std::string NextRecord() const {
    std::string record(1 << 16, '\0');
    const ssize_t n = recv(peer, record.data(), record.size(), MSG_DONTWAIT);
    record.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return record;
  }
};

// A forked peer process; killed and collected when the object dies.
class Peer : public tarn::test::ChildProcess {
 public:
  explicit Peer(const std::function<int()>& body) : ChildProcess(body) {}
  // The child's exit code, or -1 when it did not exit normally.
  int Wait() { return ExitCode(); }
};

}  // namespace ipctest

// Shared set-up of the data-path tests: a started IPC layer, a handle whose
// peer end the test holds, the wire form of string messages, an object
// through the record writers, a media agent played by the test and a
// shared-memory segment of the test's own.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn/idring.h"
#include "ipc/ipc.h"
#include "ipc/ipchooks.h"
#include "tarn_test.h"
#include "vekdf/rm.h"

namespace datest {

// The text of a string message: code, NUL, per item a blank, the item and a
// NUL, then a final NUL.
inline std::string Msg(std::initializer_list<std::string_view> fields) {
  std::string out;
  bool first = true;
  for (std::string_view field : fields) {
    if (!first) out += ' ';
    out.append(field);
    out += '\0';
    first = false;
  }
  out += '\0';
  return out;
}

using tarn::test::Packet;
using tarn::test::Span;

// An IPC handle over one end of a stream socket pair; the test plays the
// peer on the other end. Messages the peer should send are written before
// the call under test, which then finds them waiting.
class PeerLink {
 public:
  PeerLink() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    peer_ = pair[0];
    handle_ = IpcAttachConnection(pair[1], pair[1]);
  }
  ~PeerLink() {
    CloseHandle();
    ClosePeer();
  }
  PeerLink(const PeerLink&) = delete;
  PeerLink& operator=(const PeerLink&) = delete;

  IpcHandle handle() const { return handle_; }
  int peer() const { return peer_; }
  void Send(std::string_view message) const {
    const std::string packet = Packet(message);
    ASSERT_EQ(write(peer_, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
  }
  // Everything the handle has written so far.
  std::string Written() const {
    std::string out;
    char chunk[4096];
    for (;;) {
      const ssize_t n = recv(peer_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n <= 0) break;
      out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Closes the handle's side, as its owner in the product would.
  void CloseHandle() {
    if (handle_ >= 0) IpcCloseConnection(handle_);
    handle_ = -1;
  }
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }

 private:
  IpcHandle handle_ = -1;
  int peer_ = -1;
};

// A media agent played by the test: it accepts one connection, writes the
// packets of `messages` in one go (so that the client finds them all waiting
// at once) and keeps what the client sends until it closes.
class ScriptedAgent {
 public:
  explicit ScriptedAgent(std::vector<std::string> messages) {
    for (const std::string& message : messages) script_ += Packet(message);
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listen_, 1) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedAgent() { Join(); }
  ScriptedAgent(const ScriptedAgent&) = delete;
  ScriptedAgent& operator=(const ScriptedAgent&) = delete;
  int port() const { return port_; }
  // What the client sent, once it closed.
  const std::string& received() {
    Join();
    return received_;
  }

 private:
  void Serve() {
    const int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    if (write(fd, script_.data(), script_.size()) == static_cast<ssize_t>(script_.size())) {
      char chunk[4096];
      for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        received_.append(chunk, static_cast<std::size_t>(n));
      }
    }
    close(fd);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) close(listen_);
    listen_ = -1;
  }

  std::string script_;
  int listen_ = -1;
  int port_ = -1;
  std::thread thread_;
  std::string received_;
};

// A System V segment of `size` bytes under a key of its own, attached here
// and removed at the end.
class TestSegment {
 public:
  explicit TestSegment(int size) {
    for (key_ = 0x5B000000 + getpid() % 0x10000;; ++key_) {
      id_ = shmget(key_, static_cast<std::size_t>(size), IPC_CREAT | IPC_EXCL | 0600);
      if (id_ >= 0 || errno != EEXIST) break;
    }
    if (id_ < 0) return;
    guard_.segment(id_);
    void* base = shmat(id_, nullptr, 0);
    if (base != reinterpret_cast<void*>(-1)) base_ = static_cast<char*>(base);
  }
  ~TestSegment() {
    if (base_ != nullptr) shmdt(base_);
  }
  TestSegment(const TestSegment&) = delete;
  TestSegment& operator=(const TestSegment&) = delete;
  int key() const { return key_; }
  // Null when the segment could not be made.
  char* base() const { return base_; }

 private:
  tarn::test::SysVGuard guard_;
  int key_ = 0;
  int id_ = -1;
  char* base_ = nullptr;
};
// Plays a media agent on a loopback port, one packet at a time.
class FakeAgent {
 public:
  FakeAgent() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(listen_, 4) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~FakeAgent() {
    Drop();
    close(listen_);
  }
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  int port() const { return port_; }
  // Takes the next connection; false when none comes within `ms`.
  bool Accept(int ms = 20000) {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    fd_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
  }
  // One packet: a message, or raw bytes.
  void Send(const std::string& message) const {
    const std::string p = Packet(message);
    ASSERT_EQ(write(fd_, p.data(), p.size()), static_cast<ssize_t>(p.size()));
  }
  // One packet's data; empty when the peer closed or nothing came in 20 s.
  std::string Read() const {
    unsigned char h[4];
    if (!Fill(h, 4)) return {};
    const std::size_t n = (std::size_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
    std::string data(n, '\0');
    if (!Fill(data.data(), n)) return {};
    return data;
  }
  // True when the peer has closed its end (after what it sent was read).
  bool PeerClosed() const {
    char byte = 0;
    pollfd w{fd_, POLLIN, 0};
    return poll(&w, 1, 20000) == 1 && read(fd_, &byte, 1) == 0;
  }
  // Ends the link with a reset, as a broken network would.
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Drop();
  }
  void Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  bool Fill(void* to, std::size_t n) const {
    auto* p = static_cast<char*>(to);
    while (n > 0) {
      pollfd w{fd_, POLLIN, 0};
      if (poll(&w, 1, 20000) != 1) return false;
      const ssize_t got = read(fd_, p, n);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  int listen_ = -1;
  int fd_ = -1;
  int port_ = -1;
};

// An agent's description: section, key, address, size, count, segment, offset.
inline std::string Description(int code, int size, int count, int section = 0) {
  return Msg({std::to_string(code), std::to_string(section), "0", "0", std::to_string(size),
              std::to_string(count), std::to_string(size * count * (section + 1)), "0"});
}

// Makes the IPC layer count socket peers on loopback as on another host
// while it lives, for this process and the network processes it starts.
class RemotePeers {
 public:
  RemotePeers() : previous_(IpcSetPeerLocality(IpcPeerLocality::kRemote)) {}
  ~RemotePeers() { IpcSetPeerLocality(previous_); }
  RemotePeers(const RemotePeers&) = delete;
  RemotePeers& operator=(const RemotePeers&) = delete;

 private:
  IpcPeerLocality previous_;
};

// The children of this process (all its threads'), ended ones included.
inline std::set<pid_t> Children() {
  std::set<pid_t> pids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return pids;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/children");
    for (pid_t pid = 0; in >> pid;) pids.insert(pid);
  }
  closedir(tasks);
  return pids;
}

// While it lives, network processes started by this process become its
// children (it is their subreaper), so a test can wait for one and read its
// exit code. Without it they belong to init.
class AdoptNetProcesses {
 public:
  AdoptNetProcesses() {
    prctl(PR_GET_CHILD_SUBREAPER, &previous_);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  ~AdoptNetProcesses() { prctl(PR_SET_CHILD_SUBREAPER, previous_); }
  AdoptNetProcesses(const AdoptNetProcesses&) = delete;
  AdoptNetProcesses& operator=(const AdoptNetProcesses&) = delete;

 private:
  int previous_ = 0;
};

// Collects the process's reports and console texts, expanded, while it
// lives; the hooks before it are put back at its end.
class CapturedReports {
 public:
  CapturedReports() {
    all().clear();
    ErhSetHooks(&saved_, Capture, Capture);
  }
  ~CapturedReports() { ErhSetHooks(nullptr, saved_.report, saved_.console); }
  CapturedReports(const CapturedReports&) = delete;
  CapturedReports& operator=(const CapturedReports&) = delete;

  // True when a report holds `text`.
  bool Has(const std::string& text) const {
    for (const std::string& report : all())
      if (report.find(text) != std::string::npos) return true;
    return false;
  }
  std::string Joined() const {
    std::string out;
    for (const std::string& report : all()) out += report + "\n";
    return out;
  }

 private:
  static std::vector<std::string>& all() {
    static std::vector<std::string> reports;
    return reports;
  }
  static void Capture(const char* text) {
    char* expanded = NlsFormatPackedMessage(text);
    all().emplace_back(expanded != nullptr ? expanded : text);
    safe_free(expanded, "dacmn_test_util", 0);
  }
  ErhHooks saved_{};
};

// The next message a network process sends its parent on `pipe`, parsed up
// to its code, which it returns (0: pipe closed, -1: failure or nothing
// within 20 s). A report or console text goes to `reports` as "code:text";
// the rest of any message is left to parse from the pipe's receive message.
inline int NextFromChild(IpcHandle pipe, std::vector<std::string>* reports) {
  const int n = ipc_receiveDataEx(pipe, nullptr, 0, 20);
  if (n <= 0) return n;
  StrMsg* in = IpcGetReceiveStrMsg(pipe);
  const int code = StrParseStartL(in, nullptr);
  if (code == MSG_MSG || code == MSG_MSGFMT || code == MSG_CON) {
    const char* text = StrParseNextL(in);
    reports->push_back(std::to_string(code) + ":" + (text != nullptr ? text : ""));
  }
  return code;
}

inline bool HasReport(const std::vector<std::string>& reports, const std::string& part) {
  for (const std::string& r : reports)
    if (r.find(part) != std::string::npos) return true;
  return false;
}

// Three rounds on a ring of N slots whose slots held rubbish: it is filled
// to the last slot (one more is refused), `taken` ids are taken and as many
// put back. The ids come out in the order they went in, across the wrap,
// and the indices stay in range.
template <int N>
void ExpectRingOrderAcrossTheWrap(int taken) {
  IdRingOf<N> ring;
  std::memset(&ring, 0xEE, sizeof ring);
  NetClrID(&ring);
  EXPECT_EQ(NetGetID(&ring), -1);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < N; ++i) ASSERT_EQ(NetPutID(&ring, i), 0);
    EXPECT_EQ(NetPutID(&ring, 999), -1);
    EXPECT_EQ(ring.idSize, N);
    for (int i = 0; i < taken; ++i) ASSERT_EQ(NetGetID(&ring), i);
    for (int i = 0; i < taken; ++i) ASSERT_EQ(NetPutID(&ring, 1000 + i), 0);
    std::vector<int> want;
    for (int i = taken; i < N; ++i) want.push_back(i);
    for (int i = 0; i < taken; ++i) want.push_back(1000 + i);
    std::vector<int> got;
    while (!NetEmptyID(&ring)) got.push_back(NetGetID(&ring));
    EXPECT_EQ(got, want);
    EXPECT_GE(ring.idHead, 0);
    EXPECT_LT(ring.idHead, N);
  }
}

class DaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnSetProgname("datest");
    ErhInit(0);
    ErhClearErrorM("da_test", 0);
    ASSERT_EQ(IpcInit(), 0);
  }
  void TearDown() override {
    IpcExit();
    ErhClearErrorM("da_test", 0);
  }
};

// A test of a network process: the common library started, none of the
// environment that steers the processes set, and the processes the test
// starts its own children (AdoptNetProcesses).
class NetProcessTest : public DaTest {
 protected:
  void SetUp() override {
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("datest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    DaTest::SetUp();
    for (const char* name :
         {"VEKBDANET", "VEKRDANET", "VEKRECONNECT_RETRY", "VEKDABLOCKSIZE", "VEKDABLOCKSPERDA"}) {
      unsetenv(name);
    }
  }

  // Points the stream of DA `da` at an agent at 127.0.0.1:`port`, or with
  // port -1 at the file variant's `path`, for the next network process; the
  // shared context.
  static DacmnPtd* AimStream(int port, const std::string& path, int da) {
    DacmnPtd* ctx = DacmnGetContext();
    std::snprintf(ctx->maHost, sizeof ctx->maHost, "%s", port == -1 ? "" : "127.0.0.1");
    ctx->maPort = port;
    std::snprintf(ctx->filePath, sizeof ctx->filePath, "%s", path.c_str());
    ctx->daId = da;
    ctx->netLoad = 1.0;
    return ctx;
  }

  AdoptNetProcesses adopt_;
};

}  // namespace datest

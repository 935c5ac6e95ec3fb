// Shared set-up of the data-path tests: a started IPC layer, a handle whose
// peer end the test holds, the wire form of string messages, an object
// through the record writers, a media agent played by the test and a
// shared-memory segment of the test's own.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "ipc/ipc.h"
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

// An object of the given items (ids 1, 2, ..., names "image.001", ...)
// through the record writers of the open stream; false at the first writer
// that fails.
inline bool WriteItems(std::uint32_t daId, const std::vector<std::vector<std::uint8_t>>& items) {
  if (RmWriteStart(daId, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS", "full", "VEKBAR", "A.01") !=
      1) {
    return false;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::vector<std::uint8_t>& payload = items[i];
    DaItemAttr item{};
    item.itemId = static_cast<std::uint32_t>(i + 1);
    item.fileType = kDaFileRegular;
    const std::string name = "image.00" + std::to_string(i + 1);
    item.name = name.c_str();
    item.size = payload.size();
    if (RmWriteObjAttr(item) != 1) return false;
    std::size_t done = 0;
    while (done < payload.size()) {
      std::uint32_t granted = 0;
      std::uint8_t* data =
          RmGetObjDataBuf(static_cast<std::uint32_t>(payload.size() - done), &granted);
      if (data == nullptr) return false;
      std::memcpy(data, payload.data() + done, granted);
      if (RmWriteObjData(data, item.itemId, granted, static_cast<std::uint32_t>(done), 0, 0, 0) !=
          1) {
        return false;
      }
      done += granted;
    }
    if (RmWriteObjEnd(item, 0) != 1) return false;
  }
  return RmWriteEnd(daId, 1000, 1100, 0, 0) == 1;
}

// A media agent played by the test: it accepts one connection, writes the
// packets of `messages` in one go (so that the client finds them all waiting
// at once) and keeps what the client sends until it closes.
class FakeAgent {
 public:
  explicit FakeAgent(std::vector<std::string> messages) {
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
  ~FakeAgent() { Join(); }
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;
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

}  // namespace datest

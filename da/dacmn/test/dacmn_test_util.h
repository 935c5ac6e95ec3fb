// Shared set-up of the data-path tests: a started IPC layer, a handle whose
// peer end the test holds, and the wire form of string messages.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "ipc/ipc.h"
#include "tarn_test.h"

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

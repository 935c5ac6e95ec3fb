// Asynchronous transfers: the write a small and a large send make, a large
// exchange with a slow peer in both directions at once, packets refused for
// the armed buffer, empty packets, closed peers, fair turns across handles and
// accepting while waiting.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipcasync.h"
#include "ipc_test_util.h"

TARN_RCSID("lib/ipc/test/async_test.cpp");

namespace {

using ipctest::Connection;
using ipctest::Header;
using ipctest::IpcTest;
using ipctest::Packet;
using ipctest::Peer;
using ipctest::ReadExactly;
using ipctest::RecordPair;
using ipctest::Span;
using ipctest::WriteAll;
using tarn::test::Bytes;
using tarn::test::BytesEqual;

class AsyncTest : public IpcTest {};

std::string Pattern(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return out;
}

// A large packet's header travels in the same write as its data, so that
// the reader is not woken by a tiny segment before the data is there.
TEST_F(AsyncTest, SmallAndLargeSendsAreEachOneWrite) {
  const RecordPair pair;
  const IpcHandle handle = pair.handle;
  ASSERT_GE(pair.peer, 0);
  ASSERT_GE(handle, 0);
  ASSERT_EQ(IpcSendAsync(handle, "0123456789", 10), 0);
  EXPECT_EQ(IpcCanSendAsync(handle), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_SENT);
  EXPECT_EQ(IpcCanSendAsync(handle), 1);
  EXPECT_TRUE(BytesEqual(Bytes(std::string_view("\0\0\0\x0a"
                                                "0123456789",
                                                14)),
                         Span(pair.NextRecord())));

  const std::string large = Pattern(10000, 1);
  ASSERT_EQ(IpcSendAsync(handle, large.data(), 10000), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_SENT);
  EXPECT_EQ(pair.NextRecord(), std::string("\0\0\x27\x10", 4) + large);
  EXPECT_EQ(IpcGetSendPacketSize(handle), 10000);
}

TEST_F(AsyncTest, LargeTransfersBothWaysWithASlowPeer) {
  tarn::test::Watchdog watchdog(90);
  Connection c;
  ipctest::Connect(&c);
  const int small = 16 << 10;
  setsockopt(IpcGetWriteSocket(c.handle), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string out = Pattern(3 << 20, 7);
  const std::string back = Pattern(2 << 20, 9);
  Peer peer([&] {
    // Reads in small bites with pauses, then answers in small bites.
    std::string got;
    char chunk[4096];
    const std::string header = ReadExactly(c.peer, 4);
    while (got.size() < out.size()) {
      const ssize_t n = recv(c.peer, chunk, sizeof chunk, 0);
      if (n <= 0) return 1;
      got.append(chunk, static_cast<std::size_t>(n));
      if (got.size() % (256 << 10) < 4096) usleep(2000);
    }
    if (header != Header(static_cast<std::uint32_t>(out.size())) || got != out) return 2;
    const std::string wire = Packet(back);
    for (std::size_t at = 0; at < wire.size(); at += 8192) {
      WriteAll(c.peer, wire.data() + at, std::min<std::size_t>(8192, wire.size() - at));
      if (at % (256 << 10) == 0) usleep(2000);
    }
    return 0;
  });
  std::string in(back.size(), '\0');
  ASSERT_EQ(IpcSendAsync(c.handle, out.data(), static_cast<int>(out.size())), 0);
  ASSERT_EQ(IpcReceiveAsync(c.handle, in.data(), static_cast<int>(in.size())), 0);
  bool sent = false;
  bool received = false;
  while (!sent || !received) {
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(20);
    ASSERT_EQ(handle, c.handle);
    const int event = IpcGetLastIpcHandleEvent(handle);
    ASSERT_TRUE(event == IPC_EVENT_SENT || event == IPC_EVENT_RECEIVED) << event;
    (event == IPC_EVENT_SENT ? sent : received) = true;
  }
  EXPECT_TRUE(in == back);
  EXPECT_EQ(IpcGetReceivePacketSize(c.handle), static_cast<int>(back.size()));
  EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(AsyncTest, PacketLargerThanTheArmedBufferEndsWithAnErrorAndStaysUnread) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet(std::string(200, 'z')));
  char buffer[100];
  ASSERT_EQ(IpcReceiveAsync(c.handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), c.handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_ERROR);
  EXPECT_EQ(ErhErrno(), EIPCPACKET);
  EXPECT_EQ(IpcCanReceiveAsync(c.handle), 1);
  EXPECT_EQ(ReadExactly(IpcGetReadSocket(c.handle), 200), std::string(200, 'z'));
  ErhClearError();

  EXPECT_EQ(IpcReceiveAsync(c.handle, buffer, 0), -1);
  EXPECT_EQ(ErhErrno(), EIPCPACKET);
  ErhClearError();
  EXPECT_EQ(IpcSendAsync(c.handle, "x", 0), -1);
  EXPECT_EQ(ErhErrno(), EIPCPACKET);
}

TEST_F(AsyncTest, EmptyPacketCompletesAsAnEmptyMessage) {
  Connection c;
  ipctest::Connect(&c);
  ASSERT_EQ(IpcSetAsyncDynBuf(c.handle), 0);
  WriteAll(c.peer, Header(0) + Packet("next"));
  ASSERT_EQ(IpcReceiveAsync(c.handle, nullptr, 0), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), c.handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_RECEIVED);
  EXPECT_EQ(IpcGetReceivePacketSize(c.handle), 0);
  const char* text = StrMsgGetRBufL(IpcGetReceiveStrMsg(c.handle));
  EXPECT_EQ(std::string(text, 2), std::string("\0\0", 2));

  ASSERT_EQ(IpcReceiveAsync(c.handle, nullptr, 0), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), c.handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_RECEIVED);
  EXPECT_EQ(std::string(StrMsgGetRBufL(IpcGetReceiveStrMsg(c.handle)), 6),
            std::string("next\0\0", 6));
}

TEST_F(AsyncTest, PeerClosingDuringAReceiveEndsIt) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Header(10) + "abc");
  close(c.peer);
  c.peer = -1;
  char buffer[16];
  ASSERT_EQ(IpcReceiveAsync(c.handle, buffer, sizeof buffer), 0);
  IpcHandle handle;
  do {
    handle = IpcWaitForAsyncIpcEvent(5);
  } while (handle == -1 && IpcGetLastIpcEvent() != IPC_EVENT_TIMEOUT);
  EXPECT_EQ(handle, c.handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_CLOSED);
  EXPECT_EQ(IpcCanReceiveAsync(c.handle), 1);
}

TEST_F(AsyncTest, FlushCompletesAPendingSend) {
  tarn::test::Watchdog watchdog(60);
  Connection c;
  ipctest::Connect(&c);
  const std::string data = Pattern(4 << 20, 3);
  Peer reader([&] { return ReadExactly(c.peer, data.size() + 4) == Packet(data) ? 0 : 1; });
  ASSERT_EQ(IpcSendAsync(c.handle, data.data(), static_cast<int>(data.size())), 0);
  EXPECT_EQ(IpcFlushAsyncHandle(c.handle, 20), 1);
  EXPECT_EQ(IpcCanSendAsync(c.handle), 1);
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_EQ(IpcFlushAsyncHandle(c.handle, 1), 1);  // nothing pending
}

TEST_F(AsyncTest, WaitServesArmedHandlesInTurn) {
  std::vector<Connection> peers(3);
  char buffers[3][8];
  for (Connection& c : peers) ipctest::Connect(&c);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(IpcReceiveAsync(peers[i].handle, buffers[i], sizeof buffers[i]), 0);
    WriteAll(peers[i].peer, Packet("1") + Packet("2"));
  }
  std::vector<IpcHandle> order;
  for (int n = 0; n < 6; ++n) {
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(5);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_RECEIVED);
    order.push_back(handle);
    // Armed again at once, a handle that has more to read still waits its turn.
    if (std::count(order.begin(), order.end(), handle) == 1) {
      const auto i = static_cast<std::size_t>(
          std::find_if(peers.begin(), peers.end(),
                       [&](const Connection& c) { return c.handle == handle; }) -
          peers.begin());
      ASSERT_LT(i, 3u);
      ASSERT_EQ(IpcReceiveAsync(handle, buffers[i], sizeof buffers[i]), 0);
    }
  }
  EXPECT_EQ(std::set<IpcHandle>(order.begin(), order.begin() + 3).size(), 3u);
  EXPECT_EQ(std::set<IpcHandle>(order.begin() + 3, order.end()).size(), 3u);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
}

TEST_F(AsyncTest, WaitAcceptsNewConnections) {
  ASSERT_EQ(IpcAcceptConnections(0), 0);
  const int client = ipctest::RawConnect(IpcGetListenPort());
  ASSERT_GE(client, 0);
  const IpcHandle handle = IpcWaitForAsyncIpcEvent(5);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_ACCEPTED);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  close(client);
}

TEST_F(AsyncTest, WaitWithNothingArmedAndNoTimeLimitFails) {
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(-1), -1);
  EXPECT_EQ(ErhErrno(), EIPCNOEVENT);
}

}  // namespace

namespace {

// Sets the handle's send message to `code` with one item; its bytes as they
// go out (with the final NUL), or empty when it could not be built.
std::string SetMessage(IpcHandle handle, int code, const std::string& item) {
  StrMsg* msg = IpcGetStrMsg(handle);
  if (msg == nullptr || StrMsgStartExL(msg, nullptr, 0, code, 0) != 0 ||
      StrMsgFAppendL(msg, "%s", item.c_str()) != 0) {
    return {};
  }
  return std::string(msg->data, msg->length + 1);
}

}  // namespace

// A block goes out behind its message without a wake-up of the reader
// between the two: one write holds both packets, and one event reports it.
TEST_F(AsyncTest, MessageAndBlockLeaveInOneWrite) {
  const RecordPair pair;
  const IpcHandle handle = pair.handle;
  ASSERT_GE(handle, 0);
  const std::string message = SetMessage(handle, 4, "3");
  ASSERT_FALSE(message.empty());
  const std::string block = Pattern(20000, 3);
  ASSERT_EQ(IpcSendStrMsgAndDataAsync(handle, block.data(), static_cast<int>(block.size())), 0);
  EXPECT_EQ(IpcCanSendAsync(handle), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(5), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_SENT);
  EXPECT_EQ(IpcCanSendAsync(handle), 1);
  const std::string record = pair.NextRecord();
  EXPECT_EQ(record.substr(0, 4 + message.size() + 4),
            Header(static_cast<std::uint32_t>(message.size())) + message + std::string("\0\0\x4e\x20", 4));
  EXPECT_TRUE(record == Packet(message) + Packet(block));
  EXPECT_EQ(pair.NextRecord(), "");
}

TEST_F(AsyncTest, MessageAndBlockSendRefusesWhatItCannotFrame) {
  const RecordPair pair;
  const IpcHandle handle = pair.handle;
  ASSERT_GE(handle, 0);
  struct Case {
    const char* name;
    std::string item;
    const char* data;
    int length;
  };
  for (const Case& k : {Case{"no data", "1", nullptr, 10}, Case{"empty block", "1", "x", 0},
                        Case{"message above the pack size", std::string(300, 'm'), "x", 1}}) {
    SCOPED_TRACE(k.name);
    ASSERT_FALSE(SetMessage(handle, 4, k.item).empty());
    EXPECT_EQ(IpcSendStrMsgAndDataAsync(handle, k.data, k.length), -1);
    EXPECT_EQ(ErhErrno(), EIPCPACKET);
    EXPECT_EQ(IpcCanSendAsync(handle), 1);
    ErhClearError();
  }
  EXPECT_EQ(pair.NextRecord(), "");
}

// Small packets that arrive together are taken from the socket in one read
// and each served by its own receive; the waits in between must see the
// bytes already read, not the empty socket.
TEST_F(AsyncTest, SmallPacketsArrivingTogetherAreServedFromOneRead) {
  for (const bool async : {false, true}) {
    SCOPED_TRACE(async ? "asynchronous" : "synchronous");
    Connection c;
    ipctest::Connect(&c);
    WriteAll(c.peer, Packet("ack 1") + Packet("ack 2") + Packet("ack 3"));
    char buffer[16];
    for (const char* want : {"ack 1", "ack 2", "ack 3"}) {
      std::memset(buffer, 0, sizeof buffer);
      if (async) {
        ASSERT_EQ(IpcReceiveAsync(c.handle, buffer, sizeof buffer), 0);
        ASSERT_EQ(IpcWaitForAsyncIpcEvent(5), c.handle);
        ASSERT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_RECEIVED);
      } else {
        const IpcHandle handles[1] = {c.handle};
        ASSERT_EQ(IpcWaitForIpcEventOnHandles(handles, 1, 5), c.handle);
        ASSERT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 5);
      }
      EXPECT_STREQ(buffer, want);
      // Everything left the socket with the first read.
      char probe;
      EXPECT_EQ(recv(IpcGetReadSocket(c.handle), &probe, 1, MSG_PEEK | MSG_DONTWAIT), -1);
    }
    const IpcHandle handles[1] = {c.handle};
    EXPECT_EQ(IpcWaitForIpcEventOnHandles(handles, 1, 0), -1);
    EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
    ErhClearError();
  }
}

// Packet framing: the literal wire bytes, the small-packet rule at its edge,
// peers that trickle, close early or lie about lengths, peeking, and
// time-outs that leave the descriptor as they found it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipcasync.h"
#include "ipc_test_util.h"

TARN_RCSID("lib/ipc/test/framing_test.cpp");

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

class FramingTest : public IpcTest {};

bool NonBlocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST_F(FramingTest, StringMessageTravelsAsItsTextAndNulBehindABigEndianLength) {
  Connection c;
  ipctest::Connect(&c);
  StrMsg* msg = StrMsgNew();
  ASSERT_EQ(StrMsgStartExL(msg, nullptr, 0, 15, 0), 0);
  ASSERT_EQ(StrMsgAppendL(msg, "abc"), 0);
  EXPECT_EQ(IpcSendStrMsgL(c.handle, msg), 13);
  const std::string wire = ReadExactly(c.peer, 13);
  EXPECT_TRUE(BytesEqual(Bytes(std::string_view("\0\0\0\x09"
                                                "15\0 abc\0\0",
                                                13)),
                         Span(wire)));
  StrMsgDelete(&msg);

  // The other way round the same bytes give the same message.
  WriteAll(c.peer, wire);
  StrMsg* in = StrMsgNew();
  ASSERT_EQ(IpcReceiveStrMsgL(c.handle, in), 9);
  EXPECT_EQ(StrParseStartL(in, StrMsgGetRBufL(in)), 15);
  EXPECT_STREQ(StrParseNextL(in), "abc");
  EXPECT_EQ(StrParseNextL(in), nullptr);
  StrMsgDelete(&in);
}

TEST_F(FramingTest, PacketsUpTo252BytesLeaveInOneWriteLongerOnesInTwo) {
  RecordPair pair;
  ASSERT_GE(pair.handle, 0);
  const std::string small(252, 's');
  EXPECT_EQ(IpcSendData(pair.handle, small.data(), 252), 256);
  EXPECT_EQ(pair.NextRecord(), Packet(small));
  EXPECT_EQ(pair.NextRecord(), "");

  const std::string large(253, 'l');
  EXPECT_EQ(IpcSendData(pair.handle, large.data(), 253), 253);
  EXPECT_TRUE(BytesEqual(Bytes(std::string_view("\0\0\0\xfd", 4)), Span(pair.NextRecord())));
  EXPECT_EQ(pair.NextRecord(), large);

  EXPECT_EQ(IpcSendData(pair.handle, "", 0), 4);
  EXPECT_TRUE(BytesEqual(Bytes(std::string_view("\0\0\0\0", 4)), Span(pair.NextRecord())));
}

TEST_F(FramingTest, PeerSendingOneByteAtATimeGivesTheWholePacket) {
  tarn::test::Watchdog watchdog(60);
  Connection c;
  ipctest::Connect(&c);
  const std::string data = "one byte at a time";
  const std::string wire = Packet(data) + Packet(data);
  Peer peer([&] {
    for (char byte : wire) {
      WriteAll(c.peer, &byte, 1);
      usleep(2000);
    }
    return 0;
  });
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), static_cast<int>(data.size()));
  EXPECT_EQ(std::string(buffer, data.size()), data);
  StrMsg* msg = StrMsgNew();
  ASSERT_EQ(IpcReceiveStrMsgExL(c.handle, msg, 5), static_cast<int>(data.size()));
  EXPECT_EQ(std::string(StrMsgGetRBufL(msg), data.size()), data);
  StrMsgDelete(&msg);
  EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(FramingTest, ReceivedDataEndInTwoNulsWhateverThePeerSent) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet("abc") + Packet("defg"));
  StrMsg* msg = StrMsgNew();
  ASSERT_EQ(IpcReceiveStrMsgL(c.handle, msg), 3);
  const char* text = StrMsgGetRBufL(msg);
  EXPECT_EQ(std::string(text, 5), std::string("abc\0\0", 5));
  StrMsgDelete(&msg);

  char buffer[6];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 6), std::string("defg\0\0", 6));
}

TEST_F(FramingTest, PeerClosingInsideHeaderOrDataGivesZero) {
  {
    Connection c;
    ipctest::Connect(&c);
    WriteAll(c.peer, std::string_view("\0\0", 2));
    close(c.peer);
    c.peer = -1;
    char buffer[16];
    EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 0);
    EXPECT_EQ(ErhErrno(), 0);
  }
  {
    Connection c;
    ipctest::Connect(&c);
    WriteAll(c.peer, Packet("complete").substr(0, 7));
    close(c.peer);
    c.peer = -1;
    EXPECT_EQ(IpcReceiveData(c.handle, nullptr, 0), 0);
    EXPECT_EQ(ErhErrno(), 0);
  }
}

TEST_F(FramingTest, LyingHeadersAreRefusedBeforeAnyDataIsRead) {
  struct Case {
    std::uint32_t length;
    int size;  // caller's buffer; 0 = the handle's message
  };
  for (const Case& k : {Case{0x80000000u, 0}, Case{0xFFFFFFFFu, 64},
                        Case{static_cast<std::uint32_t>(dynBufMax) + 1, 0},
                        Case{static_cast<std::uint32_t>(dynBufMax) + 1, 64}, Case{65, 64}}) {
    SCOPED_TRACE(k.length);
    Connection c;
    ipctest::Connect(&c);
    WriteAll(c.peer, Header(k.length) + "payload");
    std::string buffer(64, '\0');
    EXPECT_EQ(IpcReceiveData(c.handle, k.size > 0 ? buffer.data() : nullptr, k.size), -1);
    EXPECT_EQ(ErhErrno(), EIPCPACKET);
    ErhClearError();
    // The data behind the refused header are still on the connection.
    EXPECT_EQ(ReadExactly(IpcGetReadSocket(c.handle), 7), "payload");
  }
  // Each refusal leaves its reason in debug.log.
  const std::string log = root_.read("/var/opt/tarn/log/debug.log");
  EXPECT_NE(log.find("invalid IPC packet header (-2147483648) => fail with ERROR"),
            std::string::npos);
  EXPECT_NE(log.find("invalid IPC packet header (-1) => fail with ERROR"), std::string::npos);
  EXPECT_NE(log.find("Dump of the first 4 bytes:"), std::string::npos);
  EXPECT_NE(log.find("buffer (64 bytes) too small to receive data (65 bytes) => fail with ERROR"),
            std::string::npos);
}

TEST_F(FramingTest, PeekedPacketIsReturnedByTheNextReceiveWithoutReading) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet("first packet") + Packet("second"));
  char small[4];
  EXPECT_EQ(IpcPeekData(c.handle, small, sizeof small), -1);
  EXPECT_EQ(ErhErrno(), EIPCPACKET);
  ErhClearError();
  // Still peeked: the wait answers at once, the receive reads nothing.
  EXPECT_EQ(IpcWaitForIpcEvent(0), c.handle);
  char buffer[32] = {};
  EXPECT_EQ(IpcPeekData(c.handle, buffer, sizeof buffer), 12);
  EXPECT_STREQ(buffer, "first packet");
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 12);
  EXPECT_STREQ(buffer, "first packet");
  EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "second");
}

TEST_F(FramingTest, PeekedDataAreOnlyHandedOutWhileAPeekIsPending) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet("abc") + Packet(std::string(5000, 'L')));
  EXPECT_EQ(IpcPeekData(c.handle, nullptr, 0), 3);
  char small[8];
  EXPECT_EQ(IpcReceiveData(c.handle, small, sizeof small), 3);
  std::string large(6000, '\0');
  EXPECT_EQ(IpcReceiveData(c.handle, large.data(), static_cast<int>(large.size())), 5000);
  // The stored header now announces 5000 bytes the peek message never held.
  EXPECT_EQ(ipc_getpeekeddata(c.handle, large.data(), static_cast<int>(large.size())), -1);
  EXPECT_EQ(ErhErrno(), EIPCPACKET);
}

TEST_F(FramingTest, PeekedPacketReachesTheMessageOfALaterReceive) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet(std::string_view("7\0 x\0\0", 6)));
  EXPECT_EQ(IpcPeekData(c.handle, nullptr, 0), 6);
  StrMsg* msg = StrMsgNew();
  EXPECT_EQ(IpcReceiveStrMsgL(c.handle, msg), 6);
  EXPECT_EQ(StrParseStartL(msg, StrMsgGetRBufL(msg)), 7);
  EXPECT_STREQ(StrParseNextL(msg), "x");
  StrMsgDelete(&msg);
}

TEST_F(FramingTest, ReceiveTimeOutLeavesTheBlockingModeAsItWas) {
  Connection c;
  ipctest::Connect(&c);
  const int fd = IpcGetReadSocket(c.handle);
  const auto start = std::chrono::steady_clock::now();
  char buffer[8];
  EXPECT_EQ(ipc_receiveDataEx(c.handle, buffer, sizeof buffer, 1), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(ErhErrno(), EIPCRECEIVE);
  EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
  EXPECT_FALSE(NonBlocking(fd));
  ErhClearError();

  // Header in time, data never: the mode is put back on that path too.
  WriteAll(c.peer, Header(5) + "ab");
  EXPECT_EQ(ipc_receiveDataEx(c.handle, buffer, sizeof buffer, 1), -1);
  EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
  EXPECT_FALSE(NonBlocking(fd));
  ErhClearError();

  // A descriptor its owner made non-blocking stays so.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  EXPECT_EQ(ipc_receiveDataEx(c.handle, buffer, sizeof buffer, 1), -1);
  EXPECT_TRUE(NonBlocking(fd));
}

TEST_F(FramingTest, SendToAPeerThatNeverReadsTimesOut) {
  tarn::test::Watchdog watchdog(60);
  Connection c;
  ipctest::Connect(&c);
  const std::string big(32 << 20, 'b');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ipc_sendDataEx(c.handle, big.data(), static_cast<int>(big.size()), 1), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(ErhErrno(), EIPCSEND);
  EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
  EXPECT_FALSE(NonBlocking(IpcGetWriteSocket(c.handle)));
}

TEST_F(FramingTest, SendTimeOutOnAPipePairSwitchesThePipeItWritesTo) {
  tarn::test::Watchdog watchdog(60);
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  Peer child([&] {
    IpcPrepareChildPipesAfterFork(handle);
    char go = 0;
    return read(ready[0], &go, 1) == 1 ? 0 : 1;  // never reads the pipe pair
  });
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);
  const std::string big(4 << 20, 'p');
  EXPECT_EQ(ipc_sendDataEx(handle, big.data(), static_cast<int>(big.size()), 1), -1);
  EXPECT_EQ(ErhErrno(), EIPCSEND);
  EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
  ErhClearError();
  ASSERT_EQ(write(ready[1], "g", 1), 1);
  EXPECT_EQ(child.Wait(), 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(IpcClosePipes(handle), 0);
}

volatile sig_atomic_t interrupted = 0;
void OnSignal(int) {
  interrupted = 1;
}

// True once process `pid` sleeps (state "S" in /proc/<pid>/stat), checked
// every millisecond for up to 10 s. Called in a forked peer, so it neither
// allocates nor uses streams.
bool WaitUntilSleeping(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  for (int i = 0; i < 10000; ++i) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    char stat[512];
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n > 0) {
      stat[n] = '\0';
      // "pid (name) state ...": the name may hold blanks and parentheses.
      const char* end = std::strrchr(stat, ')');
      if (end != nullptr && end[1] == ' ' && end[2] == 'S') return true;
    }
    usleep(1000);
  }
  return false;
}

// Runs `call` while the peer interrupts us with a signal and then, with
// `thenSend`, sends. The peer signals only once we sleep in the call (the
// only wait between its start and the call's end), and sends only once we
// sleep again: in the repeated receive, or in reaping it after the
// interrupted one. `flags` are the handler's (without SA_RESTART the read is
// interrupted).
int UnderSignal(const Connection& c, int flags, bool thenSend, const std::function<int()>& call) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGUSR1, &action, &previous);
  const pid_t parent = getpid();
  interrupted = 0;
  Peer peer([&] {
    if (!WaitUntilSleeping(parent)) return 1;
    kill(parent, SIGUSR1);
    if (!thenSend) return 0;
    if (!WaitUntilSleeping(parent)) return 1;
    WriteAll(c.peer, Packet("after the signal"));
    return 0;
  });
  const int rc = call();
  EXPECT_EQ(peer.Wait(), 0);
  sigaction(SIGUSR1, &previous, nullptr);
  return rc;
}

int ReceiveUnderSignal(const Connection& c, char* buffer, int size, int flags = 0) {
  return UnderSignal(c, flags, true, [&] { return IpcReceiveData(c.handle, buffer, size); });
}

TEST_F(FramingTest, InterruptedReceiveFailsUnlessTheHostInterruptsUs) {
  tarn::test::Watchdog watchdog(60);
  char buffer[32] = {};
  {
    Connection c;
    ipctest::Connect(&c);
    EXPECT_EQ(ReceiveUnderSignal(c, buffer, sizeof buffer), -1);
    EXPECT_EQ(interrupted, 1);
    EXPECT_EQ(ErhErrno(), EIPCINTR);
    ErhClearError();
  }
  {
    Connection c;
    ipctest::Connect(&c);
    cmnDefine_ORACLE_SIGNALS = 1;
    EXPECT_EQ(ReceiveUnderSignal(c, buffer, sizeof buffer), 16);
    cmnDefine_ORACLE_SIGNALS = 0;
    EXPECT_EQ(interrupted, 1);
    EXPECT_STREQ(buffer, "after the signal");
  }
  {
    // A handler that restarts what it interrupts: a blocking receive on a
    // pipe (which the layer keeps non-blocking and waits on) goes on.
    int toUs[2] = {-1, -1};
    int fromUs[2] = {-1, -1};
    ASSERT_EQ(pipe(toUs), 0);
    ASSERT_EQ(pipe(fromUs), 0);
    Connection c;
    c.handle = IpcAttachConnection(toUs[0], fromUs[1]);
    ASSERT_GE(c.handle, 0);
    c.peer = toUs[1];
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ReceiveUnderSignal(c, buffer, sizeof buffer, SA_RESTART), 16);
    EXPECT_EQ(interrupted, 1);
    EXPECT_STREQ(buffer, "after the signal");
    close(c.peer);
    c.peer = -1;
    IpcCloseConnection(c.handle);
    close(fromUs[0]);
  }
}

// Bytes of a length word the receive before saw (with its own packet) are
// still on the socket until the receive that takes them accepts them: a long
// packet behind a short one arrives whole, a refused one leaves its data on
// the connection, synchronous or asynchronous.
TEST_F(FramingTest, ALengthWordSeenWithThePacketBeforeIsTakenOnlyOnceAccepted) {
  std::string large(5000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
  for (const bool async : {false, true}) {
    for (const int room : {6000, 64}) {
      SCOPED_TRACE(std::string(async ? "asynchronous" : "synchronous") + " room " +
                   std::to_string(room));
      Connection c;
      ipctest::Connect(&c);
      WriteAll(c.peer, Packet("short") + Packet(large) + Packet("after"));
      std::string buffer(6000, '\0');
      const auto receive = [&](int size) {
        if (!async) return IpcReceiveData(c.handle, buffer.data(), size);
        if (IpcReceiveAsync(c.handle, buffer.data(), size) != 0) return -2;
        if (IpcWaitForAsyncIpcEvent(5) != c.handle) return -3;
        return IpcGetLastIpcHandleEvent(c.handle) == IPC_EVENT_RECEIVED
                   ? IpcGetReceivePacketSize(c.handle)
                   : -1;
      };
      ASSERT_EQ(receive(room), 5);
      EXPECT_EQ(buffer.substr(0, 5), "short");
      if (room < 5000) {
        EXPECT_EQ(receive(room), -1);
        EXPECT_EQ(ErhErrno(), EIPCPACKET);
        ErhClearError();
        EXPECT_EQ(ReadExactly(IpcGetReadSocket(c.handle), large.size()), large);
      } else {
        ASSERT_EQ(receive(room), 5000);
        EXPECT_TRUE(buffer.substr(0, 5000) == large);
      }
      ASSERT_EQ(receive(room), 5);
      EXPECT_EQ(buffer.substr(0, 5), "after");
    }
  }
}

// A wait on one socket looks at its bytes instead of polling; it must end as
// a poll does: at its time-out, when the peer goes, and when a handler
// catches a signal. A receive blocked after it still goes on after a handler
// that restarts what it interrupts.
TEST_F(FramingTest, AWaitOnOneSocketEndsAsAPollDoes) {
  tarn::test::Watchdog watchdog(60);
  Connection c;
  ipctest::Connect(&c);
  const IpcHandle only[2] = {c.handle, -1};
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(only, 2, 0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(only, 2, 1), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(900));

  EXPECT_EQ(
      UnderSignal(c, SA_RESTART, false, [&] { return IpcWaitForIpcEventOnHandles(only, 2, -1); }),
      -1);
  EXPECT_EQ(ErhErrno(), EIPCSELECT);
  EXPECT_EQ(interrupted, 1);
  ErhClearError();
  // The look left a time-out on the socket: the blocking receive still goes
  // on after the restarting handler.
  char buffer[32] = {};
  EXPECT_EQ(ReceiveUnderSignal(c, buffer, sizeof buffer, SA_RESTART), 16);
  EXPECT_STREQ(buffer, "after the signal");

  WriteAll(c.peer, Packet("ack"));
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(only, 2, -1), c.handle);
  EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "ack");
  close(c.peer);
  c.peer = -1;
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(only, 2, -1), c.handle);
  EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), 0);
}

TEST_F(FramingTest, PendingAsynchronousTransfersLockTheirDirection) {
  Connection c;
  ipctest::Connect(&c);
  char buffer[16];
  ASSERT_EQ(IpcReceiveAsync(c.handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(IpcReceiveData(c.handle, buffer, sizeof buffer), -1);
  EXPECT_EQ(ErhErrno(), EIPCRECVPENDING);
  ErhClearError();
  EXPECT_EQ(IpcGetReceiveStrMsg(c.handle), nullptr);
  ErhClearError();
  EXPECT_EQ(IpcSetStrMsg(c.handle, nullptr, nullptr), -1);
  ErhClearError();

  const std::string big(1 << 16, 'a');
  ASSERT_EQ(IpcSendAsync(c.handle, big.data(), static_cast<int>(big.size())), 0);
  EXPECT_EQ(IpcSendData(c.handle, "x", 1), -1);
  EXPECT_EQ(ErhErrno(), EIPCSENDPENDING);
  ErhClearError();
  EXPECT_EQ(IpcGetStrMsg(c.handle), nullptr);
  EXPECT_EQ(ErhErrno(), EIPCSENDPENDING);
}

}  // namespace

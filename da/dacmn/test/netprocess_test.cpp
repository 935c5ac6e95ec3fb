// Network processes: the child restarts the common library under its own
// name with the stream's fields and only its pipe pair, talks to its parent
// over the pipes and ends with the code it chooses, while the parent's other
// connections stay intact.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"

namespace {

using datest::Msg;
using datest::Packet;
using datest::PeerLink;

constexpr int kHelloCode = 77;

// The child's main loop: tells the parent what it sees, then waits for
// MSG_STOP with the exit code, or returns on anything else.
void HelloMain() {
  DacmnPtd* ctx = DacmnGetContext();
  const IpcHandle pipe = ctx->maIpcHandle;
  int inUse = 0;
  for (int h = 0; h < kIpcMaxHandles; ++h) inUse += IpcTestIpcHandle(h) == 0 ? 1 : 0;
  StrMsg* out = IpcGetStrMsg(pipe);
  StrMsgStartExL(out, nullptr, 0, kHelloCode, 0);
  StrMsgFAppendL(out, "%s%s%d%d%d%s%d%s%d%f%d%d", CmnGetProgname(), CmnGetAdditionalId(),
                 static_cast<int>(getpid()), CmnIsInitialized(), DaIsNetProcess(), ctx->maHost,
                 ctx->maPort, ctx->filePath, ctx->daId, ctx->netLoad, inUse, ctx->smHandle);
  if (IpcSendStrMsg(pipe) <= 0) BdaNetExit(10);
  if (IpcReceiveData(pipe, nullptr, 0) <= 0) BdaNetExit(11);
  StrMsg* in = IpcGetReceiveStrMsg(pipe);
  if (StrParseStartL(in, nullptr) == MSG_STOP) {
    const char* code = StrParseNextL(in);
    BdaNetExit(code != nullptr ? std::atoi(code) : 12);
  }
}

class DaNetProcessTest : public datest::DaTest {
 protected:
  void SetUp() override {
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("datest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    DaTest::SetUp();
    sigaction(SIGCHLD, nullptr, &savedChld_);
    DacmnPtd* ctx = DacmnGetContext();
    std::snprintf(ctx->maHost, sizeof ctx->maHost, "%s", "ma.example");
    ctx->maPort = 7777;
    std::snprintf(ctx->filePath, sizeof ctx->filePath, "%s", "/tmp/stream.dat");
    ctx->daId = 42;
    ctx->netLoad = 0.5;
    ctx->smHandle = 5;
  }
  void TearDown() override {
    DaSetBdaNetMain(nullptr);
    DaSetRdaNetMain(nullptr);
    VEK_ShutdownBDANetIO();
    sigaction(SIGCHLD, &savedChld_, nullptr);
    DaTest::TearDown();
  }
  // The child's first message, item by item.
  std::vector<std::string> Hello(IpcHandle pipe) {
    std::vector<std::string> items;
    if (IpcReceiveData(pipe, nullptr, 0) <= 0) return items;
    StrMsg* in = IpcGetReceiveStrMsg(pipe);
    if (StrParseStartL(in, nullptr) != kHelloCode) return items;
    while (const char* item = StrParseNextL(in)) items.emplace_back(item);
    return items;
  }
  // Lets the child be collected, sends it `message` and returns its exit code.
  int Finish(IpcHandle pipe, pid_t pid, const std::string& message) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, nullptr);
    if (IpcSendData(pipe, message.data(), static_cast<int>(message.size())) <= 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  struct sigaction savedChld_ {};
};

TEST_F(DaNetProcessTest, BackupChildRunsUnderItsOwnNameWithTheStreamFieldsAndOnlyItsPipes) {
  tarn::test::Watchdog watchdog(30);
  PeerLink survivor;
  PeerLink closedByParent;
  ASSERT_GE(survivor.handle(), 0);
  ASSERT_GE(closedByParent.handle(), 0);
  DaSetBdaNetMain(HelloMain);

  ASSERT_EQ(VEK_CreateBDANetIO("stream-7", nullptr, nullptr, nullptr, 0), 1);
  const IpcHandle pipe = MaIpcHandle();
  ASSERT_GE(pipe, 0);
  struct sigaction chld {};
  sigaction(SIGCHLD, nullptr, &chld);
  EXPECT_EQ(chld.sa_handler, SIG_IGN);

  const std::vector<std::string> hello = Hello(pipe);
  ASSERT_EQ(hello.size(), 12u);
  EXPECT_EQ(hello[0], "BDA-NET");
  EXPECT_EQ(hello[1], "stream-7");
  const pid_t pid = std::atoi(hello[2].c_str());
  EXPECT_NE(pid, getpid());
  EXPECT_EQ(hello[3], "1");  // the common library runs again
  EXPECT_EQ(hello[4], "1");  // and knows it is a network process
  EXPECT_EQ(hello[5], "ma.example");
  EXPECT_EQ(hello[6], "7777");
  EXPECT_EQ(hello[7], "/tmp/stream.dat");
  EXPECT_EQ(hello[8], "42");
  EXPECT_DOUBLE_EQ(std::atof(hello[9].c_str()), 0.5);
  EXPECT_EQ(hello[10], "1");   // of all IPC handles only the pipe pair
  EXPECT_EQ(hello[11], "-1");  // the session-manager link stays with the parent

  // The child holds no copy of the parent's connections: one the parent
  // closes now ends at once for its peer.
  closedByParent.CloseHandle();
  pollfd ready{closedByParent.peer(), POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 5000), 1);
  char byte = 0;
  EXPECT_EQ(recv(closedByParent.peer(), &byte, 1, 0), 0);

  EXPECT_EQ(Finish(pipe, pid, Msg({"6", "5"})), 5);
  EXPECT_EQ(IpcReceiveData(pipe, nullptr, 0), 0);

  // The child's exit left the parent's other connection working both ways.
  ASSERT_EQ(IpcSendData(survivor.handle(), "ping", 4), 8);
  EXPECT_EQ(survivor.Written(), Packet("ping"));
  survivor.Send("pong");
  char reply[16] = {};
  EXPECT_EQ(IpcReceiveData(survivor.handle(), reply, sizeof reply), 4);
  EXPECT_STREQ(reply, "pong");

  EXPECT_EQ(VEK_ShutdownBDANetIO(), 0);
  EXPECT_EQ(MaIpcHandle(), -1);
  EXPECT_EQ(VEK_ShutdownBDANetIO(), -1);
}

TEST_F(DaNetProcessTest, RestoreChildRunsUnderItsOwnNameAndAReturningMainLoopIsAFailure) {
  tarn::test::Watchdog watchdog(30);
  DaSetRdaNetMain(HelloMain);
  // A start-up text inside a context slot (here the process-wide message
  // buffer) that the child's restart releases still arrives.
  ASSERT_EQ(StrMsgStartEx(nullptr, 0, 4711, 0), 0);
  ASSERT_EQ(VEK_CreateRDANetIO(StrMsgGetBuf(), nullptr, nullptr, nullptr, 0), 1);
  const IpcHandle pipe = MaIpcHandle();
  const std::vector<std::string> hello = Hello(pipe);
  ASSERT_EQ(hello.size(), 12u);
  EXPECT_EQ(hello[0], "RDA-NET");
  EXPECT_EQ(hello[1], "4711");
  EXPECT_EQ(Finish(pipe, std::atoi(hello[2].c_str()), Msg({"1"})), DA_NET_EXIT_IPC);
  EXPECT_EQ(VEK_ShutdownRDANetIO(), 0);
}

TEST_F(DaNetProcessTest, ChildWithoutAMainLoopEndsAtOnce) {
  tarn::test::Watchdog watchdog(30);
  DaSetBdaNetMain(nullptr);
  ASSERT_EQ(VEK_CreateBDANetIO(nullptr, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(IpcReceiveData(MaIpcHandle(), nullptr, 0), 0);
}

TEST_F(DaNetProcessTest, ExitOutsideANetworkProcessDoesNotEndTheProcess) {
  EXPECT_EQ(DaIsNetProcess(), 0);
  BdaNetExit(DA_NET_EXIT_ABORT);
  RdaNetExit(DA_NET_EXIT_STOP);
  SUCCEED();
}

}  // namespace

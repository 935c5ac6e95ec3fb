// Network processes: the child restarts the common library under its own
// name with the stream's fields and only its pipe pair, talks to its parent
// over the pipes and ends with the code it chooses, while the parent's other
// connections stay intact. The start leaves the caller's SIGCHLD action and
// its own children alone and leaves no zombie; a process that ends before it
// is ready is reported by the buffer managers, and a segment it made does
// not outlive it and its parent.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "dacmn/bm.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"
#include "dacmn/netimpl.h"
#include "dacmn/rbm.h"
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

// What AnnounceAndDie announces: the key of a segment of four buffers of
// 4096 bytes, made by the network process itself or (as a local agent's
// would be) by someone else. Set before the fork.
int announcedKey = 0;
bool announceOwn = true;

// Announces the segment with MSG_LISTEN and dies at once, with no clean-up,
// before any message of its parent (a backup parent's MSG_OPEN is read
// first, so that it is sure to have been sent).
void AnnounceAndDie(bool readOpen) {
  const IpcHandle pipe = MaIpcHandle();
  constexpr int kSize = 4 * 4096;
  if (readOpen && IpcReceiveData(pipe, nullptr, 0) <= 0) BdaNetExit(3);
  const int id = announceOwn ? shmget(announcedKey, kSize, IPC_CREAT | IPC_EXCL | 0600)
                             : shmget(announcedKey, 0, 0);
  if (id < 0 || shmat(id, nullptr, 0) == reinterpret_cast<void*>(-1)) BdaNetExit(2);
  StrMsg* out = IpcGetStrMsg(pipe);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, MSG_LISTEN, 0) != 0 ||
      StrMsgFAppendL(out, "%d%d%d%d%d%d", announcedKey, kSize, 0, 4, 4096, 0) != 0 ||
      IpcSendStrMsg(pipe) <= 0) {
    BdaNetExit(3);
  }
  raise(SIGKILL);
}
void BackupAnnounceAndDie() {
  AnnounceAndDie(true);
}
void RestoreAnnounceAndDie() {
  AnnounceAndDie(false);
}

// A key no segment has.
int FreeKey() {
  int key = 0x5C000000 + getpid() % 0x10000;
  while (shmget(key, 0, 0) >= 0 || errno != ENOENT) ++key;
  return key;
}

class DaNetProcessTest : public datest::DaTest {
 protected:
  void SetUp() override {
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("datest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    DaTest::SetUp();
    sigaction(SIGCHLD, nullptr, &savedChld_);
    ErhSetHooks(&savedHooks_, CaptureReport, CaptureReport);
    reports.clear();
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
    dacmn_detail::DaSetNetProcessFork(nullptr);
    unsetenv("VEKBDANET");
    unsetenv("VEKRDANET");
    ErhSetHooks(nullptr, savedHooks_.report, savedHooks_.console);
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
  // Sends the child `message` and returns its exit code; the child must have
  // been adopted (datest::AdoptNetProcesses).
  static int Finish(IpcHandle pipe, pid_t pid, const std::string& message) {
    if (IpcSendData(pipe, message.data(), static_cast<int>(message.size())) <= 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  static void CaptureReport(const char* text) {
    char* expanded = NlsFormatPackedMessage(text);
    reports.emplace_back(expanded != nullptr ? expanded : text);
    safe_free(expanded, "netprocess_test", 0);
  }
  static bool Reported(const std::string& text) {
    for (const std::string& report : reports)
      if (report.find(text) != std::string::npos) return true;
    return false;
  }
  // Both buffer managers fork a network process, which runs `backup` or
  // `restore`.
  static void ForceNetProcesses(DaNetMainFn backup, DaNetMainFn restore) {
    setenv("VEKBDANET", "1", 1);
    setenv("VEKRDANET", "1", 1);
    DaSetBdaNetMain(backup);
    DaSetRdaNetMain(restore);
  }
  static std::string AllReports() {
    std::string all;
    for (const std::string& report : reports) all += report + "\n";
    return all;
  }

  static inline std::vector<std::string> reports;
  struct sigaction savedChld_ {};
  ErhHooks savedHooks_{};
};

TEST_F(DaNetProcessTest, BackupChildRunsUnderItsOwnNameWithTheStreamFieldsAndOnlyItsPipes) {
  tarn::test::Watchdog watchdog(30);
  datest::AdoptNetProcesses adopt;
  PeerLink survivor;
  PeerLink closedByParent;
  ASSERT_GE(survivor.handle(), 0);
  ASSERT_GE(closedByParent.handle(), 0);
  DaSetBdaNetMain(HelloMain);

  ASSERT_EQ(VEK_CreateBDANetIO("stream-7", nullptr, nullptr, nullptr, 0), 1);
  const IpcHandle pipe = MaIpcHandle();
  ASSERT_GE(pipe, 0);

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
  datest::AdoptNetProcesses adopt;
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

// ---------------------------------------------------------------- the caller's children

volatile sig_atomic_t chldSeen = 0;
void CountChld(int) {
  chldSeen = chldSeen + 1;
}

// Field 4 of /proc/<pid>/stat: the parent's pid; -1 when the process is gone.
pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  char state = 0;
  int parent = -1;
  if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) != 2) return -1;
  return parent;
}

// Reaps the caller's own child with waitpid(-1, WNOHANG) polls; its exit code
// or -1.
int ReapOwnChild(pid_t own) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid == own) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (pid != 0) return -1;  // another child, or none at all
    usleep(5000);
  }
  return -1;
}

TEST_F(DaNetProcessTest, StartLeavesTheCallersSigchldHandlerAndChildrenAloneAndNoZombie) {
  tarn::test::Watchdog watchdog(30);
  struct sigaction handler {};
  handler.sa_handler = CountChld;
  handler.sa_flags = SA_RESTART;
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(sigaction(SIGCHLD, &handler, nullptr), 0);
  DaSetBdaNetMain(HelloMain);
  DaSetRdaNetMain(HelloMain);

  for (const bool backup : {true, false}) {
    SCOPED_TRACE(backup ? "backup" : "restore");
    const std::set<pid_t> before = datest::Children();
    // A child of the caller's own, started before and ended meanwhile.
    const pid_t own = fork();
    ASSERT_GE(own, 0);
    if (own == 0) _exit(7);

    const int started = backup ? VEK_CreateBDANetIO("stream-8", nullptr, nullptr, nullptr, 0)
                               : VEK_CreateRDANetIO("stream-8", nullptr, nullptr, nullptr, 0);
    ASSERT_EQ(started, 1) << AllReports();
    const IpcHandle pipe = MaIpcHandle();
    const std::vector<std::string> hello = Hello(pipe);
    ASSERT_EQ(hello.size(), 12u);
    const pid_t net = std::atoi(hello[2].c_str());

    struct sigaction now {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &CountChld);
    EXPECT_EQ(now.sa_flags & SA_RESTART, SA_RESTART);
    // The network process is not ours, and nothing started for it is left
    // behind as our child: only our own child is new.
    EXPECT_NE(ParentOf(net), getpid());
    EXPECT_GT(ParentOf(net), 0);
    std::set<pid_t> added;
    for (pid_t pid : datest::Children())
      if (before.count(pid) == 0) added.insert(pid);
    EXPECT_EQ(added, std::set<pid_t>{own});

    // The caller still collects its own child, with its exit code.
    EXPECT_EQ(ReapOwnChild(own), 7);
    EXPECT_EQ(waitpid(net, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // Once it ends, it is no zombie of ours either.
    const std::string stop = Msg({"6", "0"});
    ASSERT_GT(IpcSendData(pipe, stop.data(), static_cast<int>(stop.size())), 0);
    EXPECT_EQ(IpcReceiveData(pipe, nullptr, 0), 0);
    EXPECT_EQ(datest::Children().count(net), 0u);
    EXPECT_EQ(backup ? VEK_ShutdownBDANetIO() : VEK_ShutdownRDANetIO(), 0);
  }
  EXPECT_GT(chldSeen, 0);  // the handler stayed installed and saw our child
}

// A host that ignores SIGCHLD, or whose own handler reaps every child, takes
// the intermediate process away from the start: no failure, and its action
// stays as it was.
void ReapAll(int) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

TEST_F(DaNetProcessTest, HostThatCollectsChildrenItselfStillGetsTheNetworkProcess) {
  tarn::test::Watchdog watchdog(30);
  DaSetBdaNetMain(HelloMain);
  for (const auto action : {SIG_IGN, &ReapAll}) {
    SCOPED_TRACE(action == SIG_IGN ? "ignored" : "reaping handler");
    struct sigaction host {};
    host.sa_handler = action;
    sigemptyset(&host.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &host, nullptr), 0);
    ASSERT_EQ(VEK_CreateBDANetIO(nullptr, nullptr, nullptr, nullptr, 0), 1) << AllReports();
    const std::vector<std::string> hello = Hello(MaIpcHandle());
    EXPECT_EQ(hello.size(), 12u);
    struct sigaction now {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, action);
    const std::string stop = Msg({"6", "0"});
    IpcSendData(MaIpcHandle(), stop.data(), static_cast<int>(stop.size()));
    EXPECT_EQ(VEK_ShutdownBDANetIO(), 0);
  }
}

pid_t FailingFork() {
  errno = EAGAIN;
  return -1;
}

// The network process cannot be forked: the caller sees the failure, with
// the pipe pair closed and no process left.
TEST_F(DaNetProcessTest, FailedForkOfTheNetworkProcessIsReportedAndClosesThePipes) {
  tarn::test::Watchdog watchdog(30);
  DaSetBdaNetMain(HelloMain);
  dacmn_detail::DaSetNetProcessFork(FailingFork);
  const std::set<pid_t> before = datest::Children();
  int inUse = 0;
  for (int h = 0; h < kIpcMaxHandles; ++h) inUse += IpcTestIpcHandle(h) == 0 ? 1 : 0;

  EXPECT_EQ(VEK_CreateBDANetIO(nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(VEK_CreateRDANetIO(nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(MaIpcHandle(), -1);
  int after = 0;
  for (int h = 0; h < kIpcMaxHandles; ++h) after += IpcTestIpcHandle(h) == 0 ? 1 : 0;
  EXPECT_EQ(after, inUse);
  EXPECT_EQ(datest::Children(), before);
  ASSERT_EQ(reports.size(), 2u);
  for (const std::string& report : reports) {
    EXPECT_NE(
        report.find("Cannot start the network process: " + std::string(ErhSysErrnoToText(EAGAIN))),
        std::string::npos)
        << report;
  }
}

// A network process that ends before it sends anything (here for want of a
// main loop) fails the buffer manager's open with a clear report.
TEST_F(DaNetProcessTest, BufferManagersReportANetworkProcessThatEndedBeforeItWasReady) {
  tarn::test::Watchdog watchdog(30);
  ForceNetProcesses(nullptr, nullptr);
  const std::string expected =
      "The data connection was closed: the network process ended before it was ready";

  EXPECT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, 7, "127.0.0.1",
                   1, nullptr, 1.0, nullptr, nullptr, nullptr),
            0);
  EXPECT_TRUE(Reported(expected)) << AllReports();
  EXPECT_TRUE(Reported("Major")) << AllReports();
  EXPECT_EQ(MaIpcHandle(), -1);

  reports.clear();
  EXPECT_EQ(RbmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, 7, "127.0.0.1",
                    1, nullptr, 1.0),
            0);
  EXPECT_TRUE(Reported(expected)) << AllReports();
  EXPECT_EQ(MaIpcHandle(), -1);
}

// The parent marks a segment the network process made as soon as it has
// attached it: a process that dies right after announcing it leaves nothing
// behind. A segment someone else made (a local agent's) is left alone.
TEST_F(DaNetProcessTest, ASegmentTheNetworkProcessMadeGoesWithTheStreamThoughTheProcessDied) {
  tarn::test::Watchdog watchdog(30);
  ForceNetProcesses(BackupAnnounceAndDie, RestoreAnnounceAndDie);
  for (const bool own : {true, false}) {
    for (const DaSide side : {DA_BACKUP, DA_RESTORE}) {
      SCOPED_TRACE(std::string(own ? "own" : "another's") +
                   (side == DA_BACKUP ? " backup" : " restore"));
      datest::TestSegment others(4 * 4096);
      ASSERT_NE(others.base(), nullptr);
      tarn::test::SysVGuard guard;
      announceOwn = own;
      announcedKey = own ? FreeKey() : others.key();
      if (side == DA_BACKUP) {
        if (BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, 7, "127.0.0.1",
                   1, nullptr, 1.0, nullptr, nullptr, nullptr) == 1) {
          BmExit(1);
        }
      } else {
        EXPECT_EQ(RbmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, 7,
                          "127.0.0.1", 1, nullptr, 1.0),
                  0);
      }
      EXPECT_EQ(MaIpcHandle(), -1);
      const int id = shmget(announcedKey, 0, 0);
      if (own && id >= 0) guard.segment(id);
      EXPECT_EQ(id >= 0, !own);
    }
  }
}

// A network process marks only segments it made: a key whose segment has
// gone may name another process's by now, and that one is left alone.
TEST_F(DaNetProcessTest, ANetworkProcessRemovesOnlySegmentsItMade) {
  tarn::test::SysVGuard guard;
  const int key = FreeKey();
  tarn::test::ChildProcess other(
      [key] { return shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600) >= 0 ? 0 : 1; });
  ASSERT_EQ(other.ExitCode(), 0);
  const int id = shmget(key, 0, 0);
  ASSERT_GE(id, 0);
  guard.segment(id);
  dacmn_detail::NetRemoveOwnSegment(key);
  EXPECT_TRUE(dacmn_detail::NetRemoveWhenShared(key));
  EXPECT_EQ(shmget(key, 0, 0), id);
  // One of its own goes.
  datest::TestSegment own(4096);
  dacmn_detail::NetRemoveOwnSegment(own.key());
  EXPECT_LT(shmget(own.key(), 0, 0), 0);
}

}  // namespace

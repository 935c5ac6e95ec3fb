// Shared memory and pipes: the key counter, owner-only segments, attaching a
// segment that appears late, segments and pipe pairs used across fork, and
// the SIGINT clean-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "ipc/ipcasync.h"
#include "ipc_test_util.h"

TARN_RCSID("lib/ipc/test/shmpipe_test.cpp");

namespace {

using ipctest::Connection;
using ipctest::IpcTest;
using ipctest::Peer;

class ShmPipeTest : public IpcTest {};

int SegmentId(int key) {
  return shmget(key, 0, 0);
}

bool SegmentExists(int id) {
  shmid_ds info{};
  return shmctl(id, IPC_STAT, &info) == 0;
}

TEST_F(ShmPipeTest, SegmentsTakeTheNextFreeKeyAndAreTheOwnersOnly) {
  tarn::test::SysVGuard guard;
  const IpcHandle first = IpcFindEmptyIpcHandle();
  void* address = nullptr;
  ASSERT_EQ(IpcAllocShmem(first, &address, 8192), 0);
  ASSERT_NE(address, nullptr);
  const int key = IpcGetShmemKey(first);
  const int id = SegmentId(key);
  ASSERT_GE(id, 0);
  guard.segment(id);
  shmid_ds info{};
  ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
  EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
  std::memset(address, 0x5A, 8192);

  // The next key is taken by someone else: the one after it is used.
  const int foreign = shmget(key + 1, 4096, IPC_CREAT | IPC_EXCL | 0600);
  if (foreign >= 0) guard.segment(foreign);
  const IpcHandle second = IpcFindEmptyIpcHandle();
  address = nullptr;
  ASSERT_EQ(IpcAllocShmem(second, &address, 4096), 0);
  EXPECT_GE(IpcGetShmemKey(second), key + 2);
  const int secondId = SegmentId(IpcGetShmemKey(second));
  guard.segment(secondId);

  // Closing the handles removes what they created.
  EXPECT_EQ(IpcCloseConnection(first), 0);
  EXPECT_EQ(IpcCloseConnection(second), 0);
  EXPECT_FALSE(SegmentExists(id));
  EXPECT_FALSE(SegmentExists(secondId));
}

int lateKey = 0;
int lateId = -1;
int lateAfter = 0;
void CreateOnThirdSleep(long, long) {
  ipctest::RecordSleep(0, 0);
  if (static_cast<int>(ipctest::sleeps.size()) == lateAfter) {
    lateId = shmget(lateKey, 4096, IPC_CREAT | IPC_EXCL | 0600);
  }
}

TEST_F(ShmPipeTest, AttachWaitsForASegmentThatAppearsLate) {
  tarn::test::SysVGuard guard;
  IpcSetSleepFunction(CreateOnThirdSleep);
  lateKey = 0x7E000000 + (getpid() & 0xFFFFF);
  lateAfter = 3;
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  void* address = nullptr;
  const int rc = IpcAttachShmem(handle, lateKey, &address, 4096);
  if (lateId >= 0) guard.segment(lateId);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(ipctest::sleeps.size(), 3u);
  EXPECT_NE(address, nullptr);
  // A borrowed segment is only detached, never removed.
  EXPECT_EQ(IpcFreeShmem(handle), -1);
  EXPECT_EQ(ErhErrno(), EIPCSHMFREE);
  ErhClearError();
  EXPECT_EQ(IpcCloseConnection(handle), 0);
  EXPECT_TRUE(SegmentExists(lateId));
}

// A media agent killed mid-stream cannot remove its segment: whoever leaves
// it once its maker has ended (reaped or still a zombie) marks it, so that it
// goes with the last mapping, also one the kernel drops only later (the dead
// maker's own, which may outlast its connections). Both ways of leaving count.
TEST_F(ShmPipeTest, ASegmentWhoseMakerHasEndedGoesWithTheLastToLeaveIt) {
  tarn::test::Watchdog watchdog(30);
  tarn::test::SysVGuard guard;
  struct Case {
    const char* what;
    bool reaped;
    bool mappedElsewhere;  // a mapping beside the handle's outlives it
  };
  const Case cases[] = {
      {"maker reaped, closed with the connection", true, false},
      {"maker a zombie, detached", false, false},
      {"maker reaped, its mapping released after the connection", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int key = 0x7C000000 + (getpid() & 0xFFFFF);
    const pid_t maker = fork();
    ASSERT_GE(maker, 0);
    if (maker == 0) _exit(shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600) >= 0 ? 0 : 1);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(maker), &info, WEXITED | (c.reaped ? 0 : WNOWAIT)),
              0);
    ASSERT_EQ(info.si_status, 0);
    const int id = SegmentId(key);
    guard.segment(id);
    void* other = c.mappedElsewhere ? shmat(id, nullptr, 0) : nullptr;
    ASSERT_NE(other, reinterpret_cast<void*>(-1));
    const IpcHandle handle = IpcFindEmptyIpcHandle();
    void* address = nullptr;
    ASSERT_EQ(IpcAttachShmem(handle, key, &address, 4096), 0);
    if (!c.reaped) {
      EXPECT_EQ(IpcDetachShmem(handle), 0);
    }
    EXPECT_EQ(IpcCloseConnection(handle), 0);
    if (other != nullptr) {
      EXPECT_EQ(SegmentId(key), -1) << "not marked for removal";
      shmdt(other);
    }
    EXPECT_FALSE(SegmentExists(id));
    if (!c.reaped) waitpid(maker, nullptr, 0);
  }
}

TEST_F(ShmPipeTest, AttachGivesUpAfterAHundredRetries) {
  IpcSetSleepFunction(ipctest::RecordSleep);
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  void* address = nullptr;
  EXPECT_EQ(IpcAttachShmem(handle, 0x7D000000 + (getpid() & 0xFFFFF), &address, 4096), -1);
  EXPECT_EQ(ErhErrno(), EIPCSHMATTACH);
  EXPECT_EQ(ErhSysErrno(), ENOENT);
  EXPECT_EQ(ipctest::sleeps.size(), 100u);
}

TEST_F(ShmPipeTest, SegmentCallsOnAHandleWithoutOne) {
  Connection c;
  ipctest::Connect(&c);
  EXPECT_EQ(IpcGetShmemKey(c.handle), -1);
  EXPECT_EQ(ErhErrno(), EIPCSHMNONE);
  ErhClearError();
  EXPECT_EQ(IpcDetachShmem(c.handle), -1);
  EXPECT_EQ(ErhErrno(), EIPCSHMNONE);
  ErhClearError();
  EXPECT_EQ(IpcPrepareParentPipesAfterFork(c.handle), -1);
  EXPECT_EQ(ErhErrno(), EIPCNOTPIPE);
}

TEST_F(ShmPipeTest, SegmentIsSharedWithAForkedChildThatAttachesByKey) {
  tarn::test::Watchdog watchdog(30);
  tarn::test::SysVGuard guard;
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  void* address = nullptr;
  ASSERT_EQ(IpcAllocShmem(handle, &address, 4096), 0);
  const int key = IpcGetShmemKey(handle);
  guard.segment(SegmentId(key));
  const int status = tarn::test::RunInChild([key] {
    CmnContextAtFork();
    if (IpcInit() != 0) return 1;
    const IpcHandle mine = IpcFindEmptyIpcHandle();
    void* at = nullptr;
    if (IpcAttachShmem(mine, key, &at, 4096) != 0) return 2;
    std::strcpy(static_cast<char*>(at), "written by the child");
    IpcExit();
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_STREQ(static_cast<const char*>(address), "written by the child");
}

TEST_F(ShmPipeTest, ChildStoppingTheInheritedLayerLeavesTheParentsSegment) {
  tarn::test::Watchdog watchdog(30);
  tarn::test::SysVGuard guard;
  const IpcHandle handle = IpcOpenPipes();
  void* address = nullptr;
  ASSERT_EQ(IpcAllocShmem(handle, &address, 4096), 0);
  const int id = SegmentId(IpcGetShmemKey(handle));
  guard.segment(id);
  const int status = tarn::test::RunInChild([handle] {
    IpcPrepareChildPipesAfterFork(handle);
    if (IpcFreeShmem(handle) != -1 || ErhErrno() != EIPCSHMFREE) return 1;
    return IpcExit() == 0 ? 0 : 2;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(SegmentExists(id));
  IpcPrepareParentPipesAfterFork(handle);
  EXPECT_EQ(IpcCloseConnection(handle), 0);
  EXPECT_FALSE(SegmentExists(id));
}

TEST_F(ShmPipeTest, PipePairCarriesPacketsBothWaysAcrossFork) {
  tarn::test::Watchdog watchdog(30);
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  Peer child([handle] {
    if (IpcPrepareChildPipesAfterFork(handle) != 0) return 1;
    char buffer[32] = {};
    if (IpcReceiveData(handle, buffer, sizeof buffer) != 4 || std::strcmp(buffer, "ping") != 0)
      return 2;
    if (IpcSendData(handle, "pong", 5) != 9) return 3;
    // The parent closing its ends is the end of the pipe here.
    if (IpcReceiveData(handle, buffer, sizeof buffer) != 0) return 4;
    return IpcClosePipes(handle) == 0 ? 0 : 5;
  });
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);
  EXPECT_EQ(IpcHandleIsLocal(handle), 1);
  ASSERT_EQ(IpcSendData(handle, "ping", 4), 8);
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(handle, 10), 0);
  EXPECT_EQ(IpcWaitForIpcEvent(10), handle);
  char buffer[32] = {};
  EXPECT_EQ(IpcReceiveData(handle, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "pong");
  EXPECT_EQ(IpcCloseConnection(handle), 0);
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(ShmPipeTest, ChildKeepsItsPipeEndsThroughARestartOfTheLayer) {
  tarn::test::Watchdog watchdog(30);
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  int readFd = -1;
  int writeFd = -1;
  // Only a prepared side can hand its ends over.
  EXPECT_EQ(IpcTakePipeEnds(handle, &readFd, &writeFd), -1);
  ErhClearErrorM("ipc_test", 0);
  Peer child([handle] {
    int in = -1;
    int out = -1;
    if (IpcPrepareChildPipesAfterFork(handle) != 0 || IpcTakePipeEnds(handle, &in, &out) != 0)
      return 1;
    if (IpcTestIpcHandle(handle) != -1) return 2;
    IpcExit();  // must leave the ends alone
    if (IpcInit() != 0) return 3;
    const IpcHandle again = IpcAttachPipes(in, out);
    if (again < 0 || IpcHandleIsLocal(again) != 1) return 4;
    char buffer[32] = {};
    if (IpcReceiveData(again, buffer, sizeof buffer) != 4 || std::strcmp(buffer, "ping") != 0)
      return 5;
    if (IpcSendData(again, "pong", 5) != 9) return 6;
    return IpcCloseConnection(again) == 0 ? 0 : 7;
  });
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);
  ASSERT_EQ(IpcSendData(handle, "ping", 4), 8);
  char buffer[32] = {};
  EXPECT_EQ(IpcReceiveData(handle, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "pong");
  // The child's close is the end of the pipe here.
  EXPECT_EQ(IpcReceiveData(handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(IpcCloseConnection(handle), 0);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(IpcAttachPipes(-1, -1), -1);
}

TEST_F(ShmPipeTest, AsynchronousReceiveOnAPipePair) {
  tarn::test::Watchdog watchdog(30);
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  Peer child([handle] {
    IpcPrepareChildPipesAfterFork(handle);
    const std::string big(300000, 'q');
    return IpcSendData(handle, big.data(), static_cast<int>(big.size())) == 300000 ? 0 : 1;
  });
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);
  ASSERT_EQ(IpcSetAsyncDynBuf(handle), 0);
  ASSERT_EQ(IpcReceiveAsync(handle, nullptr, 0), 0);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(10), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_RECEIVED);
  EXPECT_EQ(IpcGetReceivePacketSize(handle), 300000);
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(ShmPipeTest, AsynchronousSendOnAPipePairNeverBlocksOnASlowReader) {
  tarn::test::Watchdog watchdog(30);
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const std::string data(1 << 20, 'w');
  Peer child([&] {
    IpcPrepareChildPipesAfterFork(handle);
    char start = 0;
    if (read(go[0], &start, 1) != 1) return 1;  // reads nothing before the word
    std::string in(data.size(), '\0');
    return IpcReceiveData(handle, in.data(), static_cast<int>(in.size())) ==
                       static_cast<int>(data.size()) &&
                   in == data
               ? 0
               : 2;
  });
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);
  ASSERT_EQ(IpcSendAsync(handle, data.data(), static_cast<int>(data.size())), 0);
  // The pipe fills; the wait gives up at its time-out instead of blocking in
  // a write.
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(1), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  EXPECT_EQ(IpcCanSendAsync(handle), 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(IpcWaitForAsyncIpcEvent(20), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_SENT);
  EXPECT_EQ(child.Wait(), 0);
  close(go[0]);
  close(go[1]);
  EXPECT_EQ(IpcClosePipes(handle), 0);
}

int callbackCalls = 0;
int GoOn() {
  ++callbackCalls;
  return 0;
}

TEST_F(ShmPipeTest, SigIntGivesBackSegmentsAndDescriptorsThenEnds) {
  tarn::test::Watchdog watchdog(30);
  tarn::test::SysVGuard guard;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const int status = tarn::test::RunInChild([&] {
    close(report[0]);
    const IpcHandle handle = IpcFindEmptyIpcHandle();
    void* address = nullptr;
    if (IpcAllocShmem(handle, &address, 4096) != 0) return 2;
    const int id = shmget(IpcGetShmemKey(handle), 0, 0);
    if (write(report[1], &id, sizeof id) != sizeof id) return 3;
    IpcInstallSigIntr(nullptr);
    raise(SIGINT);
    return 4;  // not reached
  });
  close(report[1]);
  int id = -1;
  ASSERT_EQ(read(report[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
  close(report[0]);
  guard.segment(id);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_FALSE(SegmentExists(id));
}

TEST_F(ShmPipeTest, SigIntCallbackReturningZeroLetsTheProcessGoOn) {
  tarn::test::Watchdog watchdog(30);
  Connection c;
  ipctest::Connect(&c);
  const int fd = IpcGetReadSocket(c.handle);
  const int status = tarn::test::RunInChild([&] {
    IpcInstallSigIntr(GoOn);
    raise(SIGINT);
    if (callbackCalls != 1) return 2;
    if (fcntl(fd, F_GETFL) != -1) return 3;  // closed by the handler
    IpcRestoreSigIntr();
    IpcExit();  // frees what the handler left
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

// The layer keeps its pipe ends non-blocking while it owns them; a caller who
// takes them over gets them back in blocking mode, and a SIGPIPE the layer
// held back never reaches the process once the layer stops.
TEST_F(ShmPipeTest, TakenPipeEndsAreBlockingAgainAndNoSigPipeOutlivesTheLayer) {
  const IpcHandle handle = IpcOpenPipes();
  ASSERT_GE(handle, 0);
  ASSERT_EQ(IpcPrepareParentPipesAfterFork(handle), 0);  // the read end of B is gone
  EXPECT_EQ(IpcSendData(handle, "x", 1), -1);
  EXPECT_EQ(ErhErrno(), EIPCBROKENPIPE);
  ErhClearError();
  int readFd = -1;
  int writeFd = -1;
  ASSERT_EQ(IpcTakePipeEnds(handle, &readFd, &writeFd), 0);
  for (const int fd : {readFd, writeFd}) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
  }
  IpcExit();
  sigset_t mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  ASSERT_EQ(IpcInit(), 0);
}

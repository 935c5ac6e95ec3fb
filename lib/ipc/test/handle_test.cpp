// Handle table and the life of the layer: the 64 handles, the high-water
// mark, handles that are out of range or free, message installation, SIGPIPE
// around the layer's life, and a forked child that drops what it inherited.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <utility>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipcasync.h"
#include "ipc/ipcimpl.h"
#include "ipc_test_util.h"

TARN_RCSID("lib/ipc/test/handle_test.cpp");

namespace {

using ipctest::Connection;
using ipctest::IpcTest;

class HandleTest : public IpcTest {};

int HighWater() {
  return IpcMyInstance()->highWater;
}

TEST_F(HandleTest, TableHoldsSixtyFourHandlesAndRefusesTheNext) {
  std::vector<IpcHandle> handles;
  for (int i = 0; i < kIpcMaxHandles; ++i) handles.push_back(IpcFindEmptyIpcHandle());
  for (int i = 0; i < kIpcMaxHandles; ++i) EXPECT_EQ(handles[i], i);
  EXPECT_EQ(IpcFindEmptyIpcHandle(), -1);
  EXPECT_EQ(ErhErrno(), EIPCTABLEFULL);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_ERROR);
  ErhClearError();

  // A freed handle is the next one given out.
  EXPECT_EQ(IpcReleaseIpcHandle(17), 0);
  EXPECT_EQ(IpcFindEmptyIpcHandle(), 17);
}

TEST_F(HandleTest, ReleasingTheTopHandleLowersTheMarkPastFreeSlots) {
  for (int i = 0; i < 6; ++i) ASSERT_EQ(IpcFindEmptyIpcHandle(), i);
  EXPECT_EQ(HighWater(), 6);
  ASSERT_EQ(IpcReleaseIpcHandle(3), 0);
  ASSERT_EQ(IpcReleaseIpcHandle(4), 0);
  EXPECT_EQ(HighWater(), 6);
  ASSERT_EQ(IpcReleaseIpcHandle(5), 0);
  EXPECT_EQ(HighWater(), 3);
  EXPECT_EQ(IpcMyInstance()->inUse, 3);
}

TEST_F(HandleTest, GuardGivesTheHandleBackUnlessReleased) {
  {
    IpcHandleGuard taken(IpcFindEmptyIpcHandle(), IpcReleaseIpcHandle);
    ASSERT_EQ(taken.get(), 0);
    IpcHandleGuard moved(std::move(taken));
    EXPECT_FALSE(taken);
    EXPECT_EQ(moved.get(), 0);
  }
  EXPECT_EQ(IpcTestIpcHandle(0), -1) << "released once, by the guard it was moved to";
  EXPECT_EQ(IpcMyInstance()->inUse, 0);

  IpcHandle kept = kIpcNoHandle;
  {
    IpcHandleGuard taken(IpcFindEmptyIpcHandle(), IpcReleaseIpcHandle);
    kept = taken.release();
  }
  EXPECT_EQ(IpcTestIpcHandle(kept), 0);
  ASSERT_EQ(IpcReleaseIpcHandle(kept), 0);

  // By default the connection is closed, its descriptors with it.
  int pipeEnd = -1;
  {
    IpcHandleGuard pipes(IpcOpenPipes());
    ASSERT_TRUE(pipes);
    pipeEnd = IpcMyInstance()->table[pipes.get()]->pipeA[0];
    ASSERT_NE(fcntl(pipeEnd, F_GETFD), -1);
  }
  EXPECT_EQ(fcntl(pipeEnd, F_GETFD), -1);
  EXPECT_EQ(IpcMyInstance()->inUse, 0);
}

TEST_F(HandleTest, HandlesOutOfRangeOrFreeAreRejected) {
  ASSERT_EQ(IpcFindEmptyIpcHandle(), 0);
  for (IpcHandle bad : {-1, -2, 64, 1000, 1}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(IpcTestIpcHandle(bad), -1);
    EXPECT_EQ(IpcGetReadSocket(bad), -1);
    EXPECT_EQ(ErhErrno(), EIPCBADHANDLE);
    EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_ERROR);
    ErhClearError();
    EXPECT_EQ(IpcSendData(bad, "x", 1), -1);
    EXPECT_EQ(IpcReceiveData(bad, nullptr, 0), -1);
    EXPECT_EQ(IpcGetStrMsg(bad), nullptr);
    EXPECT_EQ(IpcCloseConnection(bad), -1);
    EXPECT_EQ(IpcReceiveAsync(bad, nullptr, 0), -1);
    EXPECT_EQ(IpcGetShmemKey(bad), -1);
    EXPECT_EQ(ErhErrno(), EIPCBADHANDLE);
    ErhClearError();
  }
  EXPECT_EQ(IpcTestIpcHandle(0), 0);
}

TEST_F(HandleTest, EventsAreKeptPerHandleAndForTheProcess) {
  ASSERT_EQ(IpcFindEmptyIpcHandle(), 0);
  IpcSetEvent(0, IPC_EVENT_RECEIVED);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(0), IPC_EVENT_RECEIVED);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_RECEIVED);
  IpcSetEvent(-1, IPC_EVENT_TIMEOUT);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(0), IPC_EVENT_RECEIVED);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
}

TEST_F(HandleTest, InstalledMessagesAreTheHandlesAndFreshHandlesShareTheGlobalOne) {
  const IpcHandle a = IpcFindEmptyIpcHandle();
  const IpcHandle b = IpcFindEmptyIpcHandle();
  EXPECT_EQ(IpcGetStrMsg(a), StrMsgGetGlobal());
  EXPECT_EQ(IpcGetReceiveStrMsg(b), StrMsgGetGlobal());

  StrMsg* send = StrMsgNew();
  StrMsg* receive = StrMsgNew();
  ASSERT_EQ(IpcSetStrMsg(a, send, receive), 0);
  EXPECT_EQ(IpcGetStrMsg(a), send);
  EXPECT_EQ(IpcGetReceiveStrMsg(a), receive);
  // Installing the same messages again keeps them alive.
  ASSERT_EQ(IpcSetStrMsg(a, send, receive), 0);
  EXPECT_EQ(IpcGetStrMsg(a), send);
  // Replacing deletes them (the leak checker would see them otherwise).
  ASSERT_EQ(IpcSetStrMsg(a, nullptr, nullptr), 0);
  EXPECT_EQ(IpcGetStrMsg(a), StrMsgGetGlobal());

  ASSERT_EQ(IpcSetAsyncDynBuf(b), 0);
  EXPECT_NE(IpcGetStrMsg(b), StrMsgGetGlobal());
  EXPECT_NE(IpcGetStrMsg(b), IpcGetReceiveStrMsg(b));
  EXPECT_EQ(IpcReleaseIpcHandle(b), 0);
}

void MarkHandler(int) {}

TEST_F(HandleTest, SigPipeIsIgnoredWhileTheLayerRunsAndPutBackAfter) {
  IpcExit();
  struct sigaction mine {};
  mine.sa_handler = MarkHandler;
  sigemptyset(&mine.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGPIPE, &mine, &before), 0);

  ASSERT_EQ(IpcInit(), 0);
  ASSERT_EQ(IpcInit(), 0);  // a second start changes nothing
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  Connection c;
  ipctest::Connect(&c);
  ASSERT_EQ(IpcSendData(c.handle, "x", 1), 5);  // a write puts the ignored action back too
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);

  EXPECT_EQ(IpcExit(), 0);
  EXPECT_EQ(IpcIsInitialized(), 0);
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, &MarkHandler);
  EXPECT_EQ(IpcExit(), 0);  // nothing to stop
  sigaction(SIGPIPE, &before, nullptr);
  ASSERT_EQ(IpcInit(), 0);
}

int sigPipeCalls = 0;
void CountSigPipe(int) {
  ++sigPipeCalls;
}

// A pipe-pair handle whose reader is gone: every write meets EPIPE.
IpcHandle BrokenPipe() {
  const IpcHandle handle = IpcOpenPipes();
  if (handle >= 0) IpcPrepareParentPipesAfterFork(handle);  // closes the read end of B
  return handle;
}

bool SigPipePending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

bool SigPipeBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

// In a host process the host's handler stays and the mask is only borrowed
// per write; a child detached from the host owns its signals and blocks
// SIGPIPE once, until the layer ends.
TEST_F(HandleTest, HostProcessKeepsItsSigPipeHandlerAndOurWritesNeverRaiseIt) {
  for (const bool detached : {false, true}) {
    SCOPED_TRACE(detached ? "detached child" : "host process");
    IpcExit();
    struct sigaction mine {};
    mine.sa_handler = CountSigPipe;
    sigemptyset(&mine.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGPIPE, &mine, &before), 0);
    sigPipeCalls = 0;
    cmnDefine_ORACLE8 = 1;
    ASSERT_EQ(IpcInit(), 0);
    if (detached) IpcOwnSignals();
    EXPECT_EQ(SigPipeBlocked(), detached);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &CountSigPipe);

    const IpcHandle handle = BrokenPipe();
    ASSERT_GE(handle, 0);
    EXPECT_EQ(IpcSendData(handle, "x", 1), -1);
    EXPECT_EQ(ErhErrno(), EIPCBROKENPIPE);
    EXPECT_EQ(ErhSysErrno(), EPIPE);
    EXPECT_EQ(sigPipeCalls, 0);
    EXPECT_FALSE(SigPipePending());
    EXPECT_EQ(SigPipeBlocked(), detached);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &CountSigPipe);
    EXPECT_EQ(IpcExit(), 0);
    EXPECT_FALSE(SigPipeBlocked());
    EXPECT_EQ(sigPipeCalls, 0);
    cmnDefine_ORACLE8 = 0;
    sigaction(SIGPIPE, &before, nullptr);
    ErhClearError();
    ASSERT_EQ(IpcInit(), 0);
  }
}

TEST_F(HandleTest, PipeWriteToAGoneReaderFailsWithoutSigPipe) {
  // Even with the signal's default action back in place, a write ends in an
  // error, not in the death of the process.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGPIPE, &fallback, &before), 0);
  const IpcHandle handle = BrokenPipe();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(IpcSendData(handle, "x", 1), -1);
  EXPECT_EQ(ErhErrno(), EIPCBROKENPIPE);
  EXPECT_FALSE(SigPipePending());
  sigaction(SIGPIPE, &before, nullptr);
}

TEST_F(HandleTest, WithoutTheLayerCallsFailWithNotInitialised) {
  IpcExit();
  EXPECT_EQ(IpcGetInstance("test"), nullptr);
  EXPECT_EQ(ErhErrno(), EIPCNOTINIT);
  ErhClearError();
  EXPECT_EQ(IpcFindEmptyIpcHandle(), -1);
  EXPECT_EQ(IpcGetListenPort(), kIpcNoPort);
  EXPECT_EQ(IpcGetLastIpcEvent(), -1);
  ErhClearError();
  IpcAtExit();  // quiet without the layer
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(HandleTest, ExitClosesEveryConnection) {
  Connection c;
  ipctest::Connect(&c);
  ASSERT_EQ(IpcAcceptConnections(0), 0);
  const int fd = IpcGetReadSocket(c.handle);
  ASSERT_EQ(IpcExit(), 0);
  EXPECT_EQ(fcntl(fd, F_GETFL), -1);
  char byte;
  EXPECT_EQ(recv(c.peer, &byte, 1, 0), 0);  // the peer sees the end
  ASSERT_EQ(IpcInit(), 0);
  EXPECT_EQ(IpcGetListenPort(), kIpcNoPort);
}

TEST_F(HandleTest, ForkedChildDropsTheInheritedState) {
  tarn::test::Watchdog watchdog(30);
  Connection c;
  ipctest::Connect(&c);
  const int fd = IpcGetReadSocket(c.handle);
  const int status = tarn::test::RunInChild([&] {
    CmnContextAtFork();
    if (IpcIsInitialized() != 0) return 1;
    return fcntl(fd, F_GETFL) == -1 && errno == EBADF ? 0 : 2;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's connection is untouched.
  EXPECT_EQ(IpcSendData(c.handle, "ok", 2), 6);
  EXPECT_EQ(ipctest::ReadExactly(c.peer, 6), ipctest::Packet("ok"));
}

}  // namespace

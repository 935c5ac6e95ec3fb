// The event wait restricted to some handles: other readable handles of the
// process are neither reported nor touched, and ready handles take turns.
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "ipc/ipc.h"
#include "ipc_test_util.h"

namespace {

using WaitHandlesTest = ipctest::IpcTest;

// A socket handle whose peer end the test writes to.
struct Pair {
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    peer = fds[0];
    handle = IpcAttachConnection(fds[1], fds[1]);
  }
  ~Pair() {
    if (handle >= 0) IpcCloseConnection(handle);
    if (peer >= 0) close(peer);
  }
  void Ready() const { ASSERT_EQ(write(peer, "x", 1), 1); }
  int peer = -1;
  IpcHandle handle = -1;
};

TEST_F(WaitHandlesTest, OnlyTheListedHandlesAreWaitedOn) {
  Pair stray;
  Pair a;
  Pair b;
  ASSERT_GE(b.handle, 0);
  stray.Ready();
  const std::array<IpcHandle, 2> listed{a.handle, b.handle};
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(listed.data(), 2, 0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  b.Ready();
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(listed.data(), 2, 1), b.handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(b.handle), IPC_EVENT_READ);
  // Both ready: they take turns.
  a.Ready();
  const IpcHandle first = IpcWaitForIpcEventOnHandles(listed.data(), 2, 1);
  const IpcHandle second = IpcWaitForIpcEventOnHandles(listed.data(), 2, 1);
  EXPECT_NE(first, second);
  // The stray handle still holds its byte.
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(stray.handle, 0), 9);
}

TEST_F(WaitHandlesTest, NoHandleToWaitOnFailsAtOnceWithoutATimeLimit) {
  const std::array<IpcHandle, 2> none{-1, -1};
  EXPECT_EQ(IpcWaitForIpcEventOnHandles(none.data(), 2, -1), -1);
  EXPECT_EQ(ErhErrno(), EIPCNOEVENT);
}

}  // namespace

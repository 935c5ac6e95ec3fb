// Fuzz target of the IPC receive path: any bytes from a peer end in whole
// packets followed by two NULs, in a refusal, or in "peer closed"; never a
// read or write outside the buffers.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"
#include "fuzz/wireseed.h"
#include "ipc/ipcasync.h"

TARN_RCSID("lib/ipc/fuzz/receive_fuzz.cpp");

namespace {

constexpr int kMaxPackets = 64;

// The peer: every byte written, then the connection closed.
IpcHandle Feed(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  const int buffer = 1 << 20;
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(pair[0], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(pair[0]);
  const IpcHandle handle = IpcAttachConnection(pair[1], pair[1]);
  if (handle < 0) std::abort();
  return handle;
}

void IntoMessage(IpcHandle handle) {
  StrMsg* msg = StrMsgNew();
  for (int i = 0; i < kMaxPackets; ++i) {
    // The wait on this one socket looks at its bytes; the receive takes them
    // from what it saw.
    if (IpcWaitForIpcEventOnHandles(&handle, 1, 1) != handle) break;
    const int rc = IpcReceiveStrMsgL(handle, msg);
    if (rc <= 0) break;
    tarn::fuzz::Accepted();
    const char* text = StrMsgGetRBufL(msg);
    if (text[rc] != '\0' || text[rc + 1] != '\0') std::abort();
    if (StrParseStartNL(msg, text, static_cast<std::size_t>(rc)) >= 0) {
      while (StrParseNextL(msg) != nullptr) {
      }
    }
  }
  StrMsgDelete(&msg);
}

void IntoBuffer(IpcHandle handle) {
  char buffer[64];
  for (int i = 0; i < kMaxPackets; ++i) {
    const int rc = IpcPeekData(handle, buffer, sizeof buffer);
    const int again = IpcReceiveData(handle, buffer, sizeof buffer);
    if (rc > 0 && again != rc) std::abort();
    if (again <= 0) break;
    tarn::fuzz::Accepted();
  }
}

void Asynchronous(IpcHandle handle) {
  IpcSetAsyncDynBuf(handle);
  for (int i = 0; i < kMaxPackets; ++i) {
    if (IpcReceiveAsync(handle, nullptr, 0) != 0) break;
    const IpcHandle done = IpcWaitForAsyncIpcEvent(1);
    if (done != handle || IpcGetLastIpcHandleEvent(handle) != IPC_EVENT_RECEIVED) break;
    const int size = IpcGetReceivePacketSize(handle);
    const char* text = StrMsgGetRBufL(IpcGetReceiveStrMsg(handle));
    if (size > 0 && (text[size] != '\0' || text[size + 1] != '\0')) std::abort();
    if (size > 0) tarn::fuzz::Accepted();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = IpcInit() == 0;
  if (!started || size == 0) return 0;
  const IpcHandle handle = Feed(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: IntoMessage(handle); break;
    case 1: IntoBuffer(handle); break;
    default: Asynchronous(handle); break;
  }
  IpcCloseConnection(handle);
  ErhClearError();
  return 0;
}

// Packets as the IPC layer sends them, for each way of receiving (the first
// byte).
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using tarn::fuzz::MessageBytes;
  using tarn::fuzz::WireBytes;
  const std::string messages =
      WireBytes({MessageBytes(120, {"MaxSessions", "50"}), MessageBytes(5, {"0", "0", "", ""})});
  seeds->Add("message", 0, messages);
  seeds->Add("data", 1, WireBytes({"first packet", std::string(60, 'x'), "last"}));
  seeds->Add("async", 2, messages);
}

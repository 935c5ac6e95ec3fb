// Fuzz target of what the data path reads from its peers: the media side's
// protocol offers and the key service's replies. The first byte picks the
// call, the rest is the peer's byte stream; any stream ends in a result,
// never in a read outside the buffers or a wait without end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"

TARN_RCSID("da/dacmn/fuzz/peer_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = [] {
    CmnSetProgname("dafuzz");
    return IpcInit() == 0;
  }();
  if (!started || size < 1) return 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  const int room = 1 << 20;
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  std::size_t done = 1;
  while (done < size) {
    const ssize_t n = write(pair[0], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  // The peer sends nothing more but still takes our answers.
  shutdown(pair[0], SHUT_WR);
  const IpcHandle handle = IpcAttachConnection(pair[1], pair[1]);
  if (handle < 0) std::abort();

  const int choice = data[0] % 4;
  if (choice == 3) {
    IpcSetAsyncDynBuf(handle);
    if (IpcReceiveData(handle, nullptr, 0) > 0) DaProtocolCheck(handle, nullptr);
  } else {
    std::vector<char> buffer(kDaSmBufferSize);
    DaKeyInfo info{};
    std::memcpy(info.entity, "fuzz", 5);
    DaeGetKeyInfo(handle, buffer.data(), &info, choice);
  }
  IpcCloseConnection(handle);
  close(pair[0]);
  ErhClearError();
  return 0;
}

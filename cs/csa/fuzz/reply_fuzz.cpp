// Fuzz target of the cell-server client's reply handling: whatever a server
// sends in answer to a request (results, query replies, bulk data, protocol
// answers, global options) ends in a result or a clean error, never a read
// or write outside the buffers and never the end of the process.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csaops.h"
#include "ipc/ipc.h"

TARN_RCSID("cs/csa/fuzz/reply_fuzz.cpp");

namespace {

// A client with slot 0 bound to nothing yet.
CsaContext* Client() {
  static CsaContext* c = [] {
    if (IpcInit() != 0) std::abort();
    CsaContext* context = csa_detail::Ctx();
    if (context == nullptr) std::abort();
    context->initialised = 1;
    context->message = StrMsgNew();
    context->boundSlots = 1;
    return context;
  }();
  return c;
}

void Free(char* p) {
  if (p != nullptr) safe_free(p, TARN_HERE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > (1u << 16)) return 0;
  CsaContext* c = Client();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
  const int buffer = 1 << 20;
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  // The server's bytes, then its end of sending; its receiving end stays open
  // so that the request goes out.
  for (std::size_t done = 1; done < size;) {
    const ssize_t n = write(pair[0], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  shutdown(pair[0], SHUT_WR);
  CsaServerSlot& slot = c->slots[0];
  slot.handle = IpcAttachConnection(pair[1], pair[1]);
  if (slot.handle < 0) std::abort();
  slot.connected = 1;

  char* text = nullptr;
  int value = 0;
  switch (data[0] % 8) {
    case 0: MCsaExec(0, "cmd", &value); break;
    case 1: MCsaGetDatalists(0, &text); break;
    case 2: MCsaGetGroupItem(0, 12, "item", &text, 0); break;
    case 3: MCsaGetGroupItem(0, 42, "item", &text, 0); break;
    case 4: MCsaPutGroupItem(0, 12, "item", "\xFF\xFEvalue", 1); break;
    case 5: csa_detail::Negotiate(slot.handle, "fuzz", "CRS"); break;
    case 6: MCsaSemaphoreControl(0, 1, "resource", 1, 2); break;
    case 7: HandleGlobals(); break;
  }
  Free(text);
  if (slot.connected != 0) csa_detail::Disconnect(slot);
  close(pair[0]);
  ErhClearError();
  return 0;
}

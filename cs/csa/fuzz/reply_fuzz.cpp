// Fuzz target of the cell-server client's reply handling: whatever a server
// sends in answer to a request (results, query replies, bulk data, protocol
// answers, global options) ends in a result or a clean error, never a read
// or write outside the buffers and never the end of the process.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csaops.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"
#include "fuzz/wireseed.h"
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
  int rc = -1;
  switch (data[0] % 8) {
    case 0: rc = MCsaExec(0, "cmd", &value); break;
    case 1: rc = MCsaGetDatalists(0, &text); break;
    case 2: rc = MCsaGetGroupItem(0, 12, "item", &text, 0); break;
    case 3: rc = MCsaGetGroupItem(0, 42, "item", &text, 0); break;
    case 4: rc = MCsaPutGroupItem(0, 12, "item", "\xFF\xFEvalue", 1); break;
    case 5: rc = csa_detail::Negotiate(slot.handle, "fuzz", "CRS"); break;
    case 6: rc = MCsaSemaphoreControl(0, 1, "resource", 1, 2); break;
    case 7: rc = HandleGlobals(); break;
  }
  if (rc >= 0) tarn::fuzz::Accepted();
  Free(text);
  if (slot.connected != 0) csa_detail::Disconnect(slot);
  close(pair[0]);
  ErhClearError();
  return 0;
}

// A server's answers to each request (the first byte picks the request), as
// its IPC layer sends them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace std::string_view_literals;
  using tarn::fuzz::MessageBytes;
  using tarn::fuzz::WireBytes;
  const std::string done = MessageBytes(5, {"0", "0", "", ""});
  seeds->Add("exec", 0, WireBytes({MessageBytes(5, {"0", "0", "", "42"})}));
  seeds->Add("datalists", 1, WireBytes({MessageBytes(104, {"a", "b"}), done}));
  seeds->Add("item_text", 2, WireBytes({MessageBytes(24, {"5"}), "hello", done}));
  seeds->Add("item_utf16", 2, WireBytes({MessageBytes(24, {"6"}), "\xFF\xFEh\0i\0"sv, done}));
  seeds->Add("item_raw", 3, WireBytes({MessageBytes(24, {"4"}), "\0\1\2\3"sv, done}));
  seeds->Add("put", 4, WireBytes({done}));
  seeds->Add(
      "protocol", 5,
      WireBytes({MessageBytes(267, {"0", "0", "", "", "22", "100", "600", "100", "cs", "1"})}));
  seeds->Add("semaphore", 6, WireBytes({MessageBytes(5, {"0", "0", "", "", "7"})}));
  seeds->Add("globals", 7,
             WireBytes({MessageBytes(120, {"BindTimeout", "5", "MaxSessions", "9"}), done}));
}

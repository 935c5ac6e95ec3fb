// Latency of small exchanges with the cell server: a conversation of 100
// requests with the stand-in (half of them puts that send a request, its
// MSG_DATA and the data as separate small writes), and a session started and
// left. A stall on each small write (a peer's delayed acknowledgement) shows
// as tens of milliseconds per request or session here.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "csa/csasession.h"
#include "ipc/ipc.h"
#include "tarn_test.h"

TARN_RCSID("bench/csa_bench.cpp");

namespace {

constexpr int kRequests = 100;
constexpr int kGroup = 12;
constexpr char kItem[] = "bench_item";
constexpr char kText[] = "Username=db2inst1\nPassword=none\n";

// The common runtime over a temporary root, the stand-in cell server, and
// the client bound to it; all stopped at the end.
class Conversation {
 public:
  Conversation() {
    CmnPathsInit(root_.path().c_str());
    if (!CmnIsInitialized() && CmnInit("csabench", nullptr, nullptr, nullptr, nullptr, 0) != 0) {
      failure_ = "the common runtime did not start";
      return;
    }
    glBindTimeout = 0;
    // Leaving a session waits for the stand-in to close its end, not a minute.
    setenv("VEKSHUTDOWNTIMEOUT", "2", 1);
    server_ = std::make_unique<tarn::test::CellServerStandIn>();
    if (!server_->ready()) {
      failure_ = "the stand-in cell server did not start";
      return;
    }
    server_->exportInetPort();
    if (MCsaInit("127.0.0.1") != 0) {
      failure_ = "MCsaInit failed with error " + std::to_string(ErhErrno());
      return;
    }
    // The item the gets read exists from the start.
    if (MCsaPutGroupItem(0, kGroup, kItem, kText, 1) != 0) {
      failure_ = "the first put failed with error " + std::to_string(ErhErrno());
    }
  }
  ~Conversation() {
    CsaExitEx(0);
    IpcExit();
    ErhClearErrorM("csabench", 0);
  }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  // Empty when the conversation can start.
  const std::string& failure() const { return failure_; }

 private:
  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
  std::string failure_;
};

// One iteration is one whole conversation.
void BM_CsaConversationOf100Requests(benchmark::State& state) {
  Conversation conversation;
  if (!conversation.failure().empty()) {
    state.SkipWithError(conversation.failure().c_str());
    return;
  }
  for (auto _ : state) {
    for (int i = 0; i < kRequests / 2; ++i) {
      if (MCsaPutGroupItem(0, kGroup, kItem, kText, 1) != 0) {
        state.SkipWithError("a put failed");
        return;
      }
      char* text = nullptr;
      const int rc = MCsaGetGroupItem(0, kGroup, kItem, &text, 0);
      if (text != nullptr) safe_free(text, "csa_bench", 0);
      if (rc != 0) {
        state.SkipWithError("a get failed");
        return;
      }
    }
  }
}

// Ends a session as a client ends it: MSG_STOP on its connection. A session
// only left would wait for a re-attach and hold one of the session
// manager's running sessions.
bool StopSession(IpcHandle session) {
  constexpr int kMsgStop = 6;
  StrMsg* msg = IpcGetStrMsg(session);
  return msg != nullptr && StrMsgStartExL(msg, nullptr, 0, kMsgStop, 0) == 0 &&
         IpcSendStrMsg(session) > 0;
}

// One iteration starts a backup session and stops it.
void BM_CsaSessionStart(benchmark::State& state) {
  Conversation conversation;
  if (!conversation.failure().empty()) {
    state.SkipWithError(conversation.failure().c_str());
    return;
  }
  StrMsg start;
  StrMsgInitL(&start);
  StrMsgMakeL(&start, nullptr, 0, MSG_PORT_REQUEST, "-bar", kItem, nullptr);
  for (auto _ : state) {
    const IpcHandle session = MCsaStartSession(0, kCsaSessionBackup, StrMsgGetBufL(&start));
    if (session < 0 || !StopSession(session) || MCsaDisconnectSession(session) != 0) {
      state.SkipWithError("a session did not start or end");
      break;
    }
  }
  StrMsgFreeL(&start);
}

}  // namespace

BENCHMARK(BM_CsaConversationOf100Requests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CsaSessionStart)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

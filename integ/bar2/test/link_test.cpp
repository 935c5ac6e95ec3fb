// The session-manager link against a scripted peer (a socket pair or a
// loopback listener speaking the message text form) and against the stand-in
// cell server: status rate and layout, wait slices, abort and stop, the
// object request, reconnection through the reconnect port and sessions.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barrc.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "csa/csa.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "tarn_test.h"

TARN_RCSID("integ/bar2/test/link_test.cpp");

namespace {

using namespace std::chrono_literals;

// A message text: code and items, each item NUL-ended, then the final NUL.
std::string Wire(std::initializer_list<std::string> parts) {
  std::string text;
  bool first = true;
  for (const std::string& p : parts) {
    if (!first) text += ' ';
    text += p;
    text += '\0';
    first = false;
  }
  text += '\0';
  return text;
}

std::string Frame(const std::string& text) {
  const uint32_t n = htonl(static_cast<uint32_t>(text.size()));
  std::string out(reinterpret_cast<const char*>(&n), 4);
  return out + text;
}

bool WriteFrame(int fd, const std::string& text) {
  const std::string f = Frame(text);
  return cmn::WriteAll(fd, f.data(), f.size()) == f.size();
}

// One packet's data from a plain descriptor; empty when the peer closed.
std::string ReadFrame(int fd) {
  uint32_t n = 0;
  if (cmn::ReadAll(fd, &n, 4) != 4) return {};
  std::string data(ntohl(n), '\0');
  if (cmn::ReadAll(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) return {};
  return data;
}

// The session manager's end of a socket pair, read and written raw.
struct Pair {
  int peer = -1;
  IpcHandle ours = kIpcNoHandle;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    ours = IpcAttachConnection(fds[0], fds[0]);
    peer = fds[1];
  }
  ~Pair() {
    if (peer >= 0) close(peer);
  }
  void closePeer() {
    close(peer);
    peer = -1;
  }
  // The next message, with the code and NULs as sent; "" when none came.
  std::string next() const {
    pollfd p{peer, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    return ReadFrame(peer);
  }
  bool nothingWaiting() const {
    pollfd p{peer, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }
};

int Code(const std::string& text) {
  return std::atoi(text.c_str());
}

// What the replaceable wait saw.
struct WaitLog {
  std::vector<int> slices;
  cmn::ManualClock* clock = nullptr;
};
WaitLog waitLog;

int TimedOutWait(IpcHandle, int seconds) {
  waitLog.slices.push_back(seconds);
  if (waitLog.clock != nullptr) waitLog.clock->Advance(std::chrono::seconds(seconds));
  return 0;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    for (const char* name :
         {"VEKOPTS", "VEKBARUPDATE", "VEKAPPNAME_RPT", "VEKDBG", "VEK_CELL_SERVER_HOSTNAME",
          "VEKBARHOSTNAME", "VEKRECONNECT_RETRY", "VEKRECONNECT_ACK", "VEKDISKONLY"})
      unsetenv(name);
    setenv("VEKSHUTDOWNTIMEOUT", "1", 1);
    VEK_SetFlags(0);
    bar2_detail::ResetGlobals();
    BarSetLinkHooks(nullptr);
    waitLog = WaitLog{};
  }
  void TearDown() override {
    bar2_detail::SetSmWait(nullptr);
    if (BarContext* ctx = VEK_GetContext()) {
      ctx->mode = BAR_MODE_IDLE;
      if (ctx->session.smHandle != kIpcNoHandle) IpcCloseConnection(ctx->session.smHandle);
      ctx->session.smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    DaSetReconnectPort(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
    unsetenv("VEKSHUTDOWNTIMEOUT");
  }

  void StartServer(std::string fixture = {}) {
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = std::move(fixture)});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    setenv("VEKOPTS", "-server 127.0.0.1", 1);
  }

  BarContext* Open() {
    BarContext* ctx = nullptr;
    EXPECT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx), 0) << "error " << ErhErrno();
    return ctx;
  }

  // Makes the socket pair the context's link.
  static BarContext* OnPair(BarContext* ctx, const Pair& pair) {
    if (ctx == nullptr) return nullptr;
    ctx->output = 0;  // keep report lines off the scripted link
    ctx->session.smHandle = pair.ours;
    *DaConIpcHandle() = pair.ours;
    return ctx;
  }

  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

// ---------------------------------------------------------------- status

TEST_F(LinkTest, StatusLayoutRateAndKilobytes) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  Pair pair;
  OnPair(ctx, pair);
  ASSERT_NE(ctx, nullptr);
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  VEK_Global.update = 20;
  ctx->object.counters.worstLevel = 2;
  ctx->object.counters.level0Reports = 1;
  ctx->object.counters.errorReports = 3;
  ctx->object.counters.items = 4;
  ctx->object.counters.objItems = 5;
  ctx->object.counters.objSize = 1;
  const auto before = std::time(nullptr);
  ASSERT_EQ(VEK_UpdateStatus(ctx, 1025, 0), 0);
  const std::string first = pair.next();
  const auto after = std::time(nullptr);
  // Literal bytes after the time item: 1 byte is 1 KB, 1025 bytes 2 KB, and
  // a 64-bit count goes as one plain decimal item.
  const std::size_t timeEnd = first.find('\0', 4);
  ASSERT_NE(timeEnd, std::string::npos);
  const long sentTime = std::atol(first.c_str() + 4);
  EXPECT_GE(sentTime, before);
  EXPECT_LE(sentTime, after);
  EXPECT_EQ(first.substr(0, 4), std::string("33\0 ", 4));
  EXPECT_EQ(first.substr(timeEnd), std::string("\0 2\0 1\0 3\0 4\0 5\0 1\0 2\0\0", 23));

  // Within the interval only a forced status goes out.
  clock.Advance(19s);
  EXPECT_EQ(VEK_UpdateStatus(ctx, 1024, 0), 0);
  EXPECT_TRUE(pair.nothingWaiting());
  EXPECT_EQ(VEK_UpdateStatus(ctx, 0, 1), 0);
  EXPECT_EQ(Code(pair.next()), MSG_BDASTATUS);
  EXPECT_EQ(VEK_UpdateStatus(ctx, 0, 1), 0);
  EXPECT_EQ(Code(pair.next()), MSG_BDASTATUS);
  clock.Advance(20s);
  EXPECT_EQ(VEK_UpdateStatus(ctx, 0, 0), 0);
  const std::string due = pair.next();
  EXPECT_EQ(due.substr(due.find('\0', 4)), std::string("\0 2\0 1\0 3\0 4\0 5\0 1\0 3\0\0", 23))
      << "2049 bytes done so far";
  EXPECT_EQ(ctx->object.counters.bytesDone, 2049);
}

// ---------------------------------------------------------------- receive

TEST_F(LinkTest, WaitSlicesEndInTimeOutWithAForcedStatusEach) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  Pair pair;
  OnPair(ctx, pair);
  ASSERT_NE(ctx, nullptr);
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  waitLog.clock = &clock;
  bar2_detail::SetSmWait(TimedOutWait);
  VEK_Global.update = 20;

  EXPECT_EQ(VEK_ReceiveMessageEx(ctx, 5, nullptr), BAR_EWAIT);
  EXPECT_EQ(waitLog.slices, std::vector<int>{5});
  EXPECT_TRUE(pair.nothingWaiting());

  waitLog.slices.clear();
  EXPECT_EQ(VEK_ReceiveMessageEx(ctx, 50, nullptr), BAR_EWAIT);
  EXPECT_EQ(waitLog.slices, (std::vector<int>{20, 20, 20}));
  EXPECT_EQ(Code(pair.next()), MSG_BDASTATUS);
  EXPECT_EQ(Code(pair.next()), MSG_BDASTATUS);
  EXPECT_TRUE(pair.nothingWaiting());
  EXPECT_EQ(ctx->session.smHandle, pair.ours) << "a time-out keeps the link";

  // A time-out of 0 still waits in whole slices, never in a tight loop.
  waitLog.slices.clear();
  EXPECT_EQ(VEK_ReceiveMessageEx(ctx, 0, nullptr), BAR_EWAIT);
  EXPECT_EQ(waitLog.slices, std::vector<int>{1});
}

TEST_F(LinkTest, UnparsableMessageAbortsNeverStops) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  Pair pair;
  OnPair(ctx, pair);
  ASSERT_NE(ctx, nullptr);
  ASSERT_TRUE(WriteFrame(pair.peer, std::string("no code\0\0", 9)));
  StrMsg msg;
  StrMsgInitL(&msg);
  EXPECT_EQ(VEK_ReceiveMessage(ctx, &msg), BAR_ECOMM);
  StrMsgFreeL(&msg);
  EXPECT_EQ(pair.next(), Wire({"1", "8004"}));
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
  EXPECT_EQ(*DaConIpcHandle(), kIpcNoHandle);
}

TEST_F(LinkTest, ClosedPeerAndFailedSendGiveUpWithoutRetrying) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  {
    BarContext* ctx = Open();
    Pair pair;
    OnPair(ctx, pair);
    ASSERT_NE(ctx, nullptr);
    pair.closePeer();
    EXPECT_EQ(VEK_ReceiveMessage(ctx, nullptr), BAR_ECOMM);
    EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
    EXPECT_EQ(VEK_ReceiveMessage(ctx, nullptr), BAR_ENOCONTEXT) << "no connection left";
  }
  Pair pair;
  BarContext* ctx = VEK_GetContext();
  ctx->session.smHandle = pair.ours;
  pair.closePeer();
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrMsgStartExL(&msg, nullptr, 0, MSG_BAROPT, 0), 0);
  EXPECT_EQ(VEK_SendMessage(ctx, &msg), BAR_ECOMM);
  StrMsgFreeL(&msg);
  EXPECT_EQ(clock.sleeps(), 0) << "a closed connection is not tried again";
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
}

// ---------------------------------------------------------------- object request

StrMsg* BarOpt(StrMsg* msg) {
  StrMsgInitL(msg);
  StrMsgStartExL(msg, nullptr, 0, MSG_BAROPT, 0);
  StrMsgNAppendL(msg, "inst1", "obj", nullptr);
  return msg;
}

TEST_F(LinkTest, ObjectRequestTakesTheConnectOptions) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  Pair pair;
  OnPair(ctx, pair);
  ASSERT_NE(ctx, nullptr);
  ASSERT_TRUE(WriteFrame(pair.peer, Wire({"45", "-ma", "mahost", "7000", "-daid", "3", "-lport",
                                          "127.0.0.1", "5555"})));
  StrMsg req;
  IntegOptions opts{};
  EXPECT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOpt(&req), &opts), 0);
  EXPECT_EQ(pair.next(), Wire({"51", "inst1", "obj"}));
  EXPECT_STREQ(opts.maHost, "mahost");
  EXPECT_EQ(opts.maPort, 7000);
  EXPECT_EQ(opts.daId, 3);
  EXPECT_EQ(DaGetReconnectPort(), 5555);
  EXPECT_STREQ(DaGetReconnectHost(), "127.0.0.1");
  OptFreeOpts(&opts);
  StrMsgFreeL(&req);
}

TEST_F(LinkTest, AbortFromTheSessionManagerIsEchoedAndUnexpectedCodesRefused) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  {
    BarContext* ctx = Open();
    Pair pair;
    OnPair(ctx, pair);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(WriteFrame(pair.peer, Wire({"1", "12"})));
    StrMsg req;
    IntegOptions opts{};
    EXPECT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOpt(&req), &opts), BAR_EABORTED);
    EXPECT_EQ(Code(pair.next()), MSG_BAROPT);
    EXPECT_EQ(pair.next(), Wire({"1", "12"}));
    EXPECT_EQ(ctx->session.abortCode, 12);
    EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
    EXPECT_EQ(VEK_GetErrno(ctx), BAR_EABORTED);
    StrMsgFreeL(&req);
  }
  Pair pair;
  BarContext* ctx = VEK_GetContext();
  ctx->session.smHandle = pair.ours;
  ASSERT_TRUE(WriteFrame(pair.peer, Wire({"99"})));
  StrMsg req;
  IntegOptions opts{};
  EXPECT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOpt(&req), &opts), BAR_ECOMM);
  EXPECT_EQ(ctx->session.smHandle, pair.ours);
  StrMsgFreeL(&req);
}

// ---------------------------------------------------------------- reconnection

// A session manager's reconnect listener on loopback that accepts once,
// keeps what arrives and answers MSG_RECONNECT with `answer`.
class ReconnectPeer {
 public:
  explicit ReconnectPeer(std::string answer, int extra = 0) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 4);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, answer = std::move(answer), extra] {
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      received_.push_back(ReadFrame(fd));
      WriteFrame(fd, answer);
      for (int i = 0; i < extra; ++i) received_.push_back(ReadFrame(fd));
      close(fd);
    });
  }
  ~ReconnectPeer() {
    shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listen_);
  }
  int port() const { return port_; }
  std::vector<std::string> join() {
    thread_.join();
    return received_;
  }

 private:
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::vector<std::string> received_;
};

TEST_F(LinkTest, SendReconnectsThroughTheReconnectPort) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  CmnSetProgname("kestrel");
  ReconnectPeer peer(Wire({"67"}), 1);
  DaSetReconnectHost("127.0.0.1");
  DaSetReconnectPort(peer.port());
  DaSetReconnectID(7);
  Pair pair;
  pair.closePeer();
  *DaConIpcHandle() = pair.ours;
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrMsgStartExL(&msg, nullptr, 0, MSG_STOP, 0), 0);
  EXPECT_GT(RcIpcSendMsg(pair.ours, &msg), 0);
  StrMsgFreeL(&msg);
  const IpcHandle fresh = *DaConIpcHandle();
  EXPECT_GE(fresh, 0);
  const std::vector<std::string> got = peer.join();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], Wire({"66", "kestrel", VEK_Global.shortVersion, "7", "0", "0"}));
  EXPECT_EQ(got[1], Wire({"6"}));
  IpcCloseConnection(fresh);
}

TEST_F(LinkTest, FailedReconnectionLeavesNoHandle) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_NE(Open(), nullptr);
  {
    // A wrong answer ends it at once although time is left.
    ReconnectPeer peer(Wire({"45"}));
    DaSetReconnectHost("127.0.0.1");
    DaSetReconnectPort(peer.port());
    Pair pair;
    pair.closePeer();
    *DaConIpcHandle() = pair.ours;
    StrMsg msg;
    StrMsgInitL(&msg);
    EXPECT_EQ(RcIpcReceiveMsg(pair.ours, &msg), kRcLost);
    StrMsgFreeL(&msg);
    EXPECT_EQ(*DaConIpcHandle(), kIpcNoHandle);
    EXPECT_EQ(peer.join().size(), 1u);
  }
  // Nobody listens: attempts at 0, 10 and 20 s of a 25-second window.
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  setenv("VEKRECONNECT_RETRY", "25", 1);
  DaSetReconnectPort(tarn::test::FreePort());
  Pair pair;
  pair.closePeer();
  *DaConIpcHandle() = pair.ours;
  EXPECT_EQ(Reconnect(pair.ours), -1);
  EXPECT_EQ(clock.sleeps(), 3);
  EXPECT_EQ(*DaConIpcHandle(), kIpcNoHandle);
  unsetenv("VEKRECONNECT_RETRY");

  // Only the connection in force can be reconnected.
  EXPECT_EQ(Reconnect(5), -1);
}

TEST_F(LinkTest, ReceiveWithoutReconnectionGivesItsOwnResult) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_NE(Open(), nullptr);
  DaSetReconnectPort(0);
  Pair pair;
  pair.closePeer();
  *DaConIpcHandle() = pair.ours;
  char buffer[64];
  EXPECT_EQ(RcIpcReceiveData(pair.ours, buffer, sizeof buffer), 0);
  EXPECT_EQ(*DaConIpcHandle(), pair.ours);
  IpcCloseConnection(pair.ours);
}

// ---------------------------------------------------------------- sessions

TEST_F(LinkTest, NewSessionThenReattachAndRefusedReattach) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  SessionConnectOptions o{};
  o.barlist = "nightly";
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), 0);
  EXPECT_GE(ctx->session.smHandle, 0);
  EXPECT_EQ(*DaConIpcHandle(), ctx->session.smHandle);
  const std::string guid = ctx->session.sessGuid;
  EXPECT_GE(guid.size(), 36u);
  EXPECT_TRUE(server_->waitForTraffic("205"));

  // Between two objects the connection closes and the GUID stays.
  EXPECT_EQ(VEK_CloseSession(ctx), 0);
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
  EXPECT_EQ(std::string(ctx->session.sessGuid), guid);
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), 0);
  EXPECT_GE(ctx->session.smHandle, 0);
  EXPECT_TRUE(server_->waitForTraffic("283"));
  EXPECT_EQ(VEK_CloseSession(ctx), 0);

  // A session the server does not know is refused with 1005, once.
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  StrSafeCopyA(ctx->session.sessGuid, "{00000000-0000-0000-0000-000000000000}", kBarGuidMax);
  EXPECT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), BAR_ECOMM);
  EXPECT_EQ(clock.sleeps(), 0);
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
  EXPECT_EQ(std::strlen(ctx->session.sessGuid), 38u);

  EXPECT_EQ(VEK_ConnectSession(ctx, 9, &o), BAR_EPARAM);
  ctx->smLink = 0;
  EXPECT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), 0);
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
}

// ---------------------------------------------------------------- with the session manager

StrMsg* BarOptFor(StrMsg* msg, const char* object) {
  StrMsgInitL(msg);
  StrMsgStartExL(msg, nullptr, 0, MSG_BAROPT, 0);
  StrMsgNAppendL(msg, "inst1", object, nullptr);
  return msg;
}

TEST_F(LinkTest, TwoObjectsWithAReattachBetweenThem) {
  ASSERT_NO_FATAL_FAILURE(
      StartServer("baropt connect -ma 127.0.0.1 7000 -daid 1\nbaropt connect -daid 2\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  StrSafeCopyA(ctx->session.barlist, "nightly", kBarListMax);
  SessionConnectOptions o{};
  o.barlist = ctx->session.barlist;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), 0);
  StrMsg req;
  IntegOptions opts{};
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj1"), &opts), 0);
  StrMsgFreeL(&req);
  EXPECT_EQ(opts.daId, 1);
  EXPECT_EQ(opts.maPort, 7000);
  EXPECT_EQ(VEK_CloseSession(ctx), 0);

  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, &o), 0);
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj2"), &opts), 0);
  StrMsgFreeL(&req);
  EXPECT_EQ(opts.daId, 2);
  OptFreeOpts(&opts);
  EXPECT_TRUE(server_->waitForTraffic("\"obj1\""));
  EXPECT_TRUE(server_->waitForTraffic("283"));
  EXPECT_TRUE(server_->waitForTraffic("\"obj2\""));
  EXPECT_EQ(BarEndSession(ctx, 0), 0);
  EXPECT_TRUE(server_->waitForTraffic("stopped \"obj2\""));
  EXPECT_EQ(ctx->session.sessGuid[0], '\0');
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
}

TEST_F(LinkTest, WaitEndsTheSessionAndStartsANewOne) {
  ASSERT_NO_FATAL_FAILURE(StartServer("baropt wait 3\nbaropt connect -daid 5\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), 0);
  const std::string firstGuid = ctx->session.sessGuid;
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  const auto start = clock.Now();
  StrMsg req;
  IntegOptions opts{};
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), 0);
  StrMsgFreeL(&req);
  EXPECT_EQ(opts.daId, 5);
  OptFreeOpts(&opts);
  EXPECT_GE(clock.Now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(server_->waitForTraffic("stop ends"));
  EXPECT_NE(std::string(ctx->session.sessGuid), firstGuid) << "a new session, not a re-attach";
  EXPECT_GE(ctx->session.smHandle, 0);
}

TEST_F(LinkTest, TheBackupSessionStartedAgainAfterAWaitKeepsDiskOnly) {
  setenv("VEKDISKONLY", "1", 1);
  ASSERT_NO_FATAL_FAILURE(StartServer("baropt wait 3\nbaropt connect -daid 5\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ASSERT_EQ(VEK_StartBackup(ctx, "nightly"), 0);
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  StrMsg req;
  IntegOptions opts{};
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), 0);
  StrMsgFreeL(&req);
  OptFreeOpts(&opts);
  std::vector<std::string> starts;
  for (const std::string& line : server_->traffic())
    if (line.find("start message 2 ") != std::string::npos) starts.push_back(line);
  ASSERT_EQ(starts.size(), 2u);
  for (const std::string& line : starts)
    EXPECT_NE(line.find("\"-bar\" \"DB2 nightly\" \"-disk_only\""), std::string::npos) << line;
}

TEST_F(LinkTest, SessionManagerAbortIsAnsweredWithTheEcho) {
  ASSERT_NO_FATAL_FAILURE(StartServer("baropt abort 12\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), 0);
  StrMsg req;
  IntegOptions opts{};
  EXPECT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), BAR_EABORTED);
  StrMsgFreeL(&req);
  EXPECT_EQ(ctx->session.abortCode, 12);
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
  EXPECT_TRUE(server_->waitForTraffic("abort 12 ends"));
}

TEST_F(LinkTest, ReconnectionThroughTheReconnectPortMidObject) {
  ASSERT_NO_FATAL_FAILURE(StartServer("baropt connect -daid 4 -lport ${host} ${lport}\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), 0);
  StrMsg req;
  IntegOptions opts{};
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), 0);
  StrMsgFreeL(&req);
  OptFreeOpts(&opts);
  ASSERT_NE(DaGetReconnectPort(), 0);
  // The link breaks under the stream.
  const IpcHandle old = ctx->session.smHandle;
  ASSERT_EQ(shutdown(IpcGetWriteSocket(old), SHUT_RDWR), 0);
  ctx->object.counters.objSize = 4096;
  EXPECT_EQ(VEK_UpdateStatus(ctx, 2048, 1), 0);
  EXPECT_GE(ctx->session.smHandle, 0);
  EXPECT_EQ(*DaConIpcHandle(), ctx->session.smHandle);
  EXPECT_TRUE(server_->waitForTraffic("reconnect DA 4"));
  EXPECT_TRUE(server_->waitForTraffic("sizeKB=4 doneKB=2"));
}

TEST_F(LinkTest, SessionStartRetriesForTheBudgetTenSecondsApart) {
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 205 dead-port\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  setenv("VEKRECONNECT_RETRY", "25", 1);
  EXPECT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), BAR_ECOMM);
  EXPECT_EQ(clock.sleeps(), 3) << "attempts at 0, 10 and 20 s";
  EXPECT_EQ(ctx->session.smHandle, kIpcNoHandle);
  unsetenv("VEKRECONNECT_RETRY");
  const long before = clock.sleeps();
  EXPECT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), BAR_ECOMM);
  EXPECT_EQ(clock.sleeps() - before, 60) << "600 s by default";
}

TEST_F(LinkTest, BracedGuidIsKeptWholeAndAWaitBelowOneIsBounded) {
  ASSERT_NO_FATAL_FAILURE(StartServer("guids braced\nbaropt wait 0\nbaropt connect\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), 0);
  EXPECT_EQ(std::strlen(ctx->session.sessGuid), 38u);
  EXPECT_EQ(ctx->session.sessGuid[0], '{');
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  const auto start = clock.Now();
  StrMsg req;
  IntegOptions opts{};
  EXPECT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), 0);
  StrMsgFreeL(&req);
  OptFreeOpts(&opts);
  EXPECT_EQ(clock.Now() - start, std::chrono::seconds(kBarWaitDefault));
}

TEST_F(LinkTest, DebugOptionsOfTheConnectStartTracingOnce) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  setenv("VEKDBGDIR", root_.at("/var/opt/tarn/tmp").c_str(), 1);
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(DbgGetFd(), nullptr);
  EXPECT_EQ(VEK_RestartDebugging(ctx, "p1", "", ""), 0);
  EXPECT_EQ(DbgGetFd(), nullptr) << "no ranges: ignored";
  EXPECT_EQ(VEK_RestartDebugging(ctx, "p1", "1-50", ""), 0);
  EXPECT_STREQ(ctx->dbgPostfix.get(), "DB2LIB_p1");
  EXPECT_STREQ(ctx->dbgRanges, "1-50");
  EXPECT_NE(DbgGetFd(), nullptr);
  EXPECT_EQ(VEK_RestartDebugging(ctx, "p2", "1-99", ""), 0);
  EXPECT_STREQ(ctx->dbgPostfix.get(), "DB2LIB_p1") << "tracing already runs";
  unsetenv("VEKDBGDIR");
}

TEST_F(LinkTest, CellServerClientStartIsTriedElevenTimesFiveSecondsApart) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  server_->stop();
  CsaExit();
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  const auto start = clock.Now();
  EXPECT_NE(VEK_InitCsa(), 0);
  EXPECT_EQ(clock.Now() - start, std::chrono::seconds(50)) << "ten pauses between eleven tries";
  EXPECT_EQ(ctx->csaStarted, 0);
  // The session start then fails with its report, leaving nothing open.
  setenv("VEKRECONNECT_RETRY", "5", 1);
  EXPECT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), BAR_ECOMM);
  EXPECT_FALSE(CsaIsInitialized());
  unsetenv("VEKRECONNECT_RETRY");
}

std::vector<std::string> reportsSent;

TEST_F(LinkTest, AbortReportNamesTheAbortLiteralOrUnknown) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  BarLinkHooks hooks{};
  hooks.updateStatus = [](BarContext*, int64_t, int) { return 0; };
  hooks.sendReport = [](BarContext*, char* message) {
    reportsSent.emplace_back(message, static_cast<std::size_t>(StrMsgTSize(message)));
    return 0;
  };
  BarSetLinkHooks(&hooks);
  for (const auto& [code, expected] :
       std::vector<std::pair<std::string, std::string>>{{"12", "7512"}, {"4000", "Unknown"}}) {
    reportsSent.clear();
    Pair pair;
    OnPair(ctx, pair);
    ctx->output = 1;
    ASSERT_TRUE(WriteFrame(pair.peer, Wire({"1", code})));
    EXPECT_EQ(VEK_ReceiveMessage(ctx, &ctx->session.smMsg), MSG_ABORT);
    EXPECT_EQ(VEK_OnAbortM(ctx, &ctx->session.smMsg, rcsId, "test", __LINE__), BAR_EABORTED);
    EXPECT_EQ(pair.next(), Wire({"1", code})) << "the echo";
    ASSERT_EQ(reportsSent.size(), 1u);
    EXPECT_NE(reportsSent[0].find(expected), std::string::npos) << code;
    EXPECT_EQ(Code(reportsSent[0]), MSG_MSGFMT);
  }
  BarSetLinkHooks(nullptr);
}

TEST_F(LinkTest, EndClosesObjectSessionAndContextInTurn) {
  ASSERT_NO_FATAL_FAILURE(StartServer("baropt connect -daid 6\n"));
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->output = 0;
  ctx->mode = BAR_MODE_BACKUP;
  ASSERT_EQ(VEK_ConnectSession(ctx, kBarSessionBackup, nullptr), 0);
  StrMsg req;
  IntegOptions opts{};
  ASSERT_EQ(VEK_RequestObject(ctx, kBarSessionBackup, BarOptFor(&req, "obj"), &opts), 0);
  StrMsgFreeL(&req);
  OptFreeOpts(&opts);
  ctx->mode = BAR_MODE_OBJECT_BACKUP;
  EXPECT_EQ(VEK_End(ctx, 5), 0);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_TRUE(server_->waitForTraffic("283")) << "the session is attached again to end it";
  EXPECT_TRUE(server_->waitForTraffic("code 5"));
  EXPECT_EQ(VEK_End(nullptr, 0), 0) << "nothing left to end";
}

}  // namespace

// Faults the stand-in cell server injects: every one ends in a clean error,
// never a crash or a hang, and a connection that is out of step is dropped and
// bound again on request.
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "cmn/strmsg.h"
#include "csa/csaimpl.h"
#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/fault_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::kHost;
using csatest::Owned;

class FaultTest : public CsaTest {
 protected:
  // A fault that hangs the client ends the test program instead of the run.
  tarn::test::Watchdog watchdog_{90};

  // A request on slot 0 that must fail with 1011 and drop the connection.
  void ExpectDropped(const char* what) {
    SCOPED_TRACE(what);
    Owned text;
    EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), -1);
    EXPECT_EQ(text.p, nullptr);
    EXPECT_EQ(ErhErrno(), ECSACONNECTION);
    EXPECT_EQ(CsaGetContext()->slots[0].connected, 0);
    ErhClearError();
  }
  // Binding the cell server again reconnects slot 0; the item then reads.
  void ExpectRebound() {
    int reused = -1;
    ASSERT_EQ(MCsaBindServerEx(kHost, &reused), 0);
    EXPECT_EQ(reused, 0);
    Owned text;
    EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), 0);
    EXPECT_EQ(text.str(), "value");
  }
};

TEST_F(FaultTest, WrongReplyIdDropsTheConnectionUntilBoundAgain) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 wrong-id 7 times=1\n"));
  ExpectDropped("wrong id");
  Owned text;
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), -1);  // refused before anything is sent
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
  ErhClearError();
  EXPECT_TRUE(server().waitForTraffic("request close"));
  EXPECT_EQ(Count("request < 214"), 1);
  ExpectRebound();
}

TEST_F(FaultTest, TruncatedPacketIsAClosedConnection) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 close-mid times=1\n"));
  ExpectDropped("close-mid");
  ExpectRebound();
}

TEST_F(FaultTest, OversizedHeaderIsRefusedWithoutReadingIt) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 oversized-header times=1\n"));
  ExpectDropped("header of 4294967280 bytes");
  ASSERT_NO_FATAL_FAILURE(ExpectRebound());
  CsaExit();
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 oversized-header 100000 times=1\n"));
  ExpectDropped("header of 100000 bytes, then nothing");
  ExpectRebound();
}

TEST_F(FaultTest, ChunkHeaderWithoutLengthIsABadDataFormat) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 missing-items 0 times=1\n"));
  ExpectDropped("MSG_DATA without its length");
  ExpectRebound();
}

TEST_F(FaultTest, ChunkLengthsAreCheckedAgainstLimitsAndTheirPackets) {
  // The item is 5 bytes; each fault announces another length for its chunk.
  for (const char* length : {"0", "81921", "3", "10", "4294967295"}) {
    SCOPED_TRACE(length);
    ASSERT_NO_FATAL_FAILURE(
        Init(std::string("item 12 item value\nfault 214 chunk-length ") + length + " times=1\n"));
    ExpectDropped(length);
    ExpectRebound();
    CsaExit();
  }
}

TEST_F(FaultTest, BulkDataBeyondTheMessageSizeLimitIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Init());
  const std::string big(200000, 'x');
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "item", big.c_str(), 1), 0);
  const int saved = dynBufMax;
  dynBufMax = 150000;
  ExpectDropped("200000 bytes over a limit of 150000");
  dynBufMax = saved;
}

TEST_F(FaultTest, ResultWithoutErrorStateIsABrokenReply) {
  ASSERT_NO_FATAL_FAILURE(Init("fault 216 missing-items 2 times=1\nitem 12 item value\n"));
  EXPECT_EQ(MCsaRemoveGroupItem(0, 12, "item", 0), -1);
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 0);
}

TEST_F(FaultTest, InetServiceFaultsFailTheStart) {
  struct Case {
    const char* fixture;
    int error;
  };
  for (const Case& c :
       {Case{"fault 2 port0\n", ECSAPORT}, Case{"fault 2 wrong-id 110\n", ECSAPORT},
        Case{"fault 2 missing-items 1\n", ECSAPORTREPLY},
        Case{"fault 2 missing-items 0\n", ECSAPORT}, Case{"fault 2 error 1007\n", ECSAPORT},
        Case{"fault 2 close-mid\n", ECSAPORT}, Case{"fault 2 oversized-header\n", ECSAPORT}}) {
    SCOPED_TRACE(c.fixture);
    ASSERT_NO_FATAL_FAILURE(StartServer(c.fixture));
    EXPECT_EQ(MCsaInit(kHost), -1);
    EXPECT_EQ(ErhErrno(), c.error);
    EXPECT_EQ(CsaIsInitialized(), 0);
    ErhClearError();
  }
}

TEST_F(FaultTest, SilentInetServiceIsGivenUpAfterTheBindTimeout) {
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 2 delay 8000\n"));
  glBindTimeout = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MCsaInit(kHost), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ErhErrno(), ECSAPORT);
  EXPECT_LT(took, std::chrono::seconds(4));
}

// A server that takes a request and never answers is given up after the
// reply time-out at every wait, the login's included: the call fails with
// the transport's 1011 marked as a time-out, the slot is dropped, and a
// request on it then fails at once saying the same, until a bind.
TEST_F(FaultTest, SilentServerIsGivenUpAfterTheReplyTimeoutAtEveryWait) {
  struct Case {
    const char* what;
    int request;
    std::function<int()> call;
  };
  const std::string big(200000, 'x');
  const Case cases[] = {
      {"login", 0, [] { return MCsaInit(kHost); }},
      {"result (SarAnswer)", 216, [] { return MCsaRemoveGroupItem(0, 12, "item", 0); }},
      {"reply (SarQuery)", 209,
       [] {
         Owned reply;
         return MCsaGetSessionOverview(0, &reply.p);
       }},
      {"bulk data (SarReceivebuf)", 214,
       [] {
         Owned text;
         return MCsaGetGroupItem(0, 12, "item", &text.p, 0);
       }},
      {"result after bulk data (SarSendbuf)", 215,
       [&big] { return MCsaPutGroupItem(0, 12, "item", big.c_str(), 1); }},
      {"session start", 205,
       [] {
         StrMsg start;
         StrMsgInitL(&start);
         StrMsgMakeL(&start, nullptr, 0, MSG_PORT_REQUEST, "-bar", "logs", nullptr);
         const IpcHandle h = MCsaStartSession(0, kCsaSessionBackup, StrMsgGetBufL(&start));
         StrMsgFreeL(&start);
         return h >= 0 ? 0 : -1;
       }},
      {"session re-attach", 283, [] { return MCsaReconnectSession(0, "guid") >= 0 ? 0 : -1; }},
      {"semaphore control", 281, [] { return MCsaResourceCleanup(0) >= 0 ? 0 : -1; }},
  };
  setenv("VEKCSREPLYTIMEOUT", "2", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string fault = "fault " + std::to_string(c.request) + " delay 20000\n";
    if (c.request == 0) {
      ASSERT_NO_FATAL_FAILURE(StartServer(fault));
    } else {
      ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\n" + fault));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.call(), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::seconds(6));
    EXPECT_EQ(ErhErrno(), ECSACONNECTION);
    EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
    EXPECT_EQ(CsaServerSilent(), 1);
    ErhClearError();
    EXPECT_EQ(c.request == 0 ? CsaIsInitialized() : CsaGetContext()->slots[0].connected, 0);
    CsaExit();
  }
  // The dropped slot fails at once, and is bound again only past one more
  // reply time-out.
  setenv("VEKCSREPLYTIMEOUT", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 delay 3000 times=1\n"));
  Owned text;
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), -1);
  ErhClearError();
  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(MCsaRemoveGroupItem(0, 12, "item", 0), -1);
  EXPECT_EQ(MCsaBindServerEx(kHost, nullptr), -1);
  EXPECT_EQ(CsaServerSilent(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));
  ErhClearError();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(MCsaBindServerEx(kHost, nullptr), 0) << ErhErrno();
  EXPECT_EQ(CsaGetContext()->slots[0].silent, 0);
}

// The time-outs are settings: the bind time-out also for a client that has
// no global options yet, and a failure that is no time-out is not silent.
TEST_F(FaultTest, BoundsAreSettingsAndOnlyATimeOutIsSilent) {
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 2 delay 8000\n"));
  setenv("VEKCSBINDTIMEOUT", "1", 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(ErhErrno(), ECSAPORT);
  EXPECT_EQ(CsaServerSilent(), 1);
  ErhClearError();

  // A setting out of its range leaves the default.
  setenv("VEKCSREPLYTIMEOUT", "0", 1);
  EXPECT_EQ(csa_detail::ReplyTimeout(), kCsaDefaultReplyTimeout);
  setenv("VEKCSBINDTIMEOUT", "3601", 1);
  glBindTimeout = 7;
  EXPECT_EQ(csa_detail::BindTimeout(), 7);
  unsetenv("VEKCSBINDTIMEOUT");

  // Nobody listens: refused, not silent.
  server_.reset();
  setenv("TARN_INET_PORT", std::to_string(tarn::test::FreePort()).c_str(), 1);
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  EXPECT_EQ(CsaServerSilent(), 0);
  ErhClearError();
  // A server's own error is an answer.
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 2 error 1007\n"));
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(CsaServerSilent(), 0);
}

TEST_F(FaultTest, BrokenGlobalOptionsFailTheStart) {
  for (const char* fixture :
       {"fault 225 wrong-id 121\n", "fault 225 close-mid\n", "fault 225 error 1001\n"}) {
    SCOPED_TRACE(fixture);
    ASSERT_NO_FATAL_FAILURE(StartServer(fixture));
    EXPECT_EQ(MCsaInit(kHost), -1);
    EXPECT_NE(ErhErrno(), 0);
    EXPECT_EQ(CsaIsInitialized(), 0);
    ErhClearError();
  }
}

TEST_F(FaultTest, ServerErrorKeepsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 item value\nfault 214 error 1245 times=1\n"));
  Owned text;
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), -1);
  EXPECT_EQ(ErhErrno(), 1245);
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 1);
  ErhClearError();
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text.p, 0), 0);
  EXPECT_EQ(text.str(), "value");
}

}  // namespace

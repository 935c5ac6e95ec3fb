// Sessions on the stand-in cell server: start with the "-bar" message, attach
// by key, re-attach by GUID, refusals before anything is sent, signals and
// the disconnect hook, a peer that closes, and the session manager's faults.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "cmn/strmsg.h"
#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/session_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::Owned;

// A start message: code 2 and the given items.
class StartMessage {
 public:
  StartMessage(const char* first, const char* second, int code = 2) {
    StrMsgInitL(&msg_);
    StrMsgMakeL(&msg_, nullptr, 0, code, first, second, nullptr);
  }
  ~StartMessage() { StrMsgFreeL(&msg_); }
  StartMessage(const StartMessage&) = delete;
  StartMessage& operator=(const StartMessage&) = delete;
  const char* text() { return StrMsgGetBufL(&msg_); }

 private:
  StrMsg msg_;
};

class SessionTest : public CsaTest {};

IpcHandle hooked = -1;
void Hook(IpcHandle handle) {
  hooked = handle;
}

TEST_F(SessionTest, BackupSessionStartsAndIsReattachedByItsGuid) {
  ASSERT_NO_FATAL_FAILURE(Init());
  StartMessage start("-bar", "nightly");
  const IpcHandle h = MCsaStartSessionEx(0, 7, start.text(), "1-99", "post", "sel");
  ASSERT_GE(h, 0) << ErhErrno();
  const std::string key = MCsaGetSessionKey(h);
  const std::string guid = MCsaGetSessionGuid(h);
  EXPECT_EQ(guid.size(), 36u);
  EXPECT_EQ(CsaGetContext()->sessionCount, 1);
  EXPECT_TRUE(server().waitForTraffic("request < 205 \"7\" \"nightly\" \"1-99\" \"post\" \"sel\""));
  EXPECT_TRUE(server().waitForTraffic("bulk start message 2 \"-bar\" \"nightly\""));
  EXPECT_TRUE(server().waitForTraffic("session:" + key + " identity \"csatest\""));

  ASSERT_EQ(MCsaDisconnectSession(h), 0);
  EXPECT_EQ(CsaGetContext()->sessionCount, 0);
  EXPECT_EQ(MCsaGetSessionKey(h), nullptr);
  ErhClearError();

  const IpcHandle again = MCsaReconnectSession(0, guid.c_str());
  ASSERT_GE(again, 0) << ErhErrno();
  EXPECT_EQ(MCsaGetSessionGuid(again), guid);
  EXPECT_EQ(MCsaGetSessionKey(again), key);
  EXPECT_EQ(CsaSessions()[again].type, 7);
  EXPECT_TRUE(server().waitForTraffic("request < 283 \"" + guid + "\""));
  EXPECT_EQ(MCsaWrite(again, "21\0 status\0"), 0);
  EXPECT_TRUE(server().waitForTraffic("session:" + key + " < 21 \"status\""));
  ASSERT_EQ(MCsaDisconnectSession(again), 0);

  const IpcHandle byKey = MCsaConnectSession(0, key.c_str());
  ASSERT_GE(byKey, 0) << ErhErrno();
  EXPECT_EQ(MCsaGetSessionKey(byKey), key);
  EXPECT_EQ(MCsaDisconnectSession(byKey), 0);
}

TEST_F(SessionTest, ReattachToAnUnknownSessionIsRefusedByTheServer) {
  ASSERT_NO_FATAL_FAILURE(Init());
  EXPECT_EQ(MCsaReconnectSession(0, "{00000000-0000-4000-8000-000000000000}"), -1);
  EXPECT_EQ(ErhErrno(), 1005);
  EXPECT_EQ(CsaGetContext()->sessionCount, 0);
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 1);
  ErhClearError();
  EXPECT_EQ(MCsaConnectSession(0, "2024/01/01-1"), -1);
  EXPECT_EQ(ErhErrno(), 1005);
}

TEST_F(SessionTest, RefusalsComeBeforeAnythingIsSent) {
  ASSERT_NO_FATAL_FAILURE(Init());
  StartMessage bar("-bar", "nightly");
  StartMessage noBar("-other", "nightly");
  StartMessage wrongCode("-bar", "nightly", 3);
  for (int type : {9, 15, 18, 20, -1}) {
    EXPECT_EQ(MCsaStartSession(0, type, bar.text()), -1);
    EXPECT_EQ(ErhErrno(), ECSAARG);
    ErhClearError();
  }
  EXPECT_EQ(MCsaStartSession(0, 7, noBar.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSASTARTMSG);
  ErhClearError();
  EXPECT_EQ(MCsaStartSession(0, 2, wrongCode.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSASTARTMSG);
  ErhClearError();
  EXPECT_EQ(MCsaStartSession(1, 2, bar.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSARANGE);
  ErhClearError();
  EXPECT_EQ(Count("< 205"), 0);
  std::string tooLong(kCsaGuidMax + 1, 'a');
  EXPECT_EQ(MCsaReconnectSession(0, tooLong.c_str()), -1);
  EXPECT_EQ(Count("< 283"), 0);
  ErhClearError();
  EXPECT_EQ(MCsaGetSessionKey(200), nullptr);
  EXPECT_EQ(ErhErrno(), ECSARANGE);
  ErhClearError();
  EXPECT_EQ(MCsaGetSessionGuid(kCsaSessionHandles), nullptr);
  EXPECT_EQ(MCsaDisconnectSession(0), -1);  // the slot's connection is no session
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 1);
}

TEST_F(SessionTest, OtherTypesNeedNoBarMessage) {
  ASSERT_NO_FATAL_FAILURE(Init());
  StartMessage start("anything", "else");
  const IpcHandle h = MCsaStartSession(0, 2, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  EXPECT_TRUE(server().waitForTraffic("request < 205 \"2\" \"\""));
  EXPECT_EQ(MCsaDisconnectSession(h), 0);
}

TEST_F(SessionTest, NullStartMessageTakesTheProcessWideMessage) {
  ASSERT_NO_FATAL_FAILURE(Init());
  ASSERT_EQ(StrMsgStartEx(nullptr, 0, 2, 0), 0);
  ASSERT_EQ(StrMsgNAppend("-bar", "global", nullptr), 0);
  const IpcHandle h = MCsaStartSession(0, 7, nullptr);
  ASSERT_GE(h, 0) << ErhErrno();
  EXPECT_TRUE(server().waitForTraffic("request < 205 \"7\" \"global\""));
  EXPECT_TRUE(server().waitForTraffic("bulk start message 2 \"-bar\" \"global\""));
  EXPECT_EQ(MCsaDisconnectSession(h), 0);
  CsaExit();

  // The client's own requests go through the process-wide message too: the
  // start message is taken before the request overwrites it.
  csaUseGlobalStrMsg = 1;
  ASSERT_EQ(MCsaInit(csatest::kHost), 0);
  ASSERT_EQ(StrMsgStartEx(nullptr, 0, 2, 0), 0);
  ASSERT_EQ(StrMsgNAppend("-bar", "shared", nullptr), 0);
  const IpcHandle shared = MCsaStartSession(0, 8, nullptr);
  csaUseGlobalStrMsg = 0;
  ASSERT_GE(shared, 0) << ErhErrno();
  EXPECT_TRUE(server().waitForTraffic("bulk start message 2 \"-bar\" \"shared\""));
  EXPECT_EQ(MCsaDisconnectSession(shared), 0);
}

TEST_F(SessionTest, SignalledSessionRunsTheHookAndAClosedPeerReads1012) {
  ASSERT_NO_FATAL_FAILURE(Init());
  CsaSetDisconnectHook(Hook);
  hooked = -1;
  StartMessage start("-bar", "weekly");
  const IpcHandle h = MCsaStartSession(0, 8, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  const std::string key = MCsaGetSessionKey(h);
  // Once the session manager holds the connection, ending the session closes it.
  ASSERT_TRUE(server().waitForTraffic("session:" + key + " identity"));
  ASSERT_EQ(MCsaSignalSession(0, h, 15), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 236 \"" + key + "\" \"15\""));
  Owned message;
  EXPECT_EQ(MCsaRead(h, &message.p), -1);
  EXPECT_EQ(message.p, nullptr);
  EXPECT_EQ(ErhErrno(), ECSAPEERCLOSED);
  ErhClearError();
  EXPECT_EQ(MCsaDisconnectSession(h), 0);
  EXPECT_EQ(hooked, h);
  CsaSetDisconnectHook(nullptr);
}

TEST_F(SessionTest, ReadHandsOverOneMessage) {
  ASSERT_NO_FATAL_FAILURE(Init());
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const IpcHandle h = IpcAttachConnection(pair[1], pair[1]);
  ASSERT_GE(h, 0);
  ASSERT_EQ(write(pair[0],
                  "\0\0\0\x0c"
                  "21\0 status\0\0",
                  16),
            16);
  Owned message;
  ASSERT_EQ(MCsaRead(h, &message.p), 0);
  EXPECT_EQ(std::string(message.p, 12), std::string("21\0 status\0\0", 12));
  IpcCloseConnection(h);
  close(pair[0]);
}

TEST_F(SessionTest, SessionManagerNegotiationWhenAsked) {
  setenv("VEK_PROTNEG_CSA_SM", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Init());
  StartMessage start("-bar", "nightly");
  const IpcHandle h = MCsaStartSession(0, 7, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  const std::string key = MCsaGetSessionKey(h);
  EXPECT_TRUE(server().waitForTraffic("session:" + key + " < 267 \"22\" \"100\" \"600\""));
  EXPECT_EQ(MCsaDisconnectSession(h), 0);
}

TEST_F(SessionTest, RefusedNegotiationClosesTheSessionConnection) {
  setenv("VEK_PROTNEG_CSA_SM", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Init("fault 267 error 1007\n"));
  StartMessage start("-bar", "nightly");
  EXPECT_EQ(MCsaStartSession(0, 7, start.text()), -1);
  EXPECT_EQ(ErhErrno(), 1007);
  EXPECT_EQ(CsaGetContext()->sessionCount, 0);
  EXPECT_TRUE(server().waitForTraffic("close before identity"));
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 1);
}

TEST_F(SessionTest, BarSessionTriesOnceMoreWhenItsFirstConnectFails) {
  ASSERT_NO_FATAL_FAILURE(Init("fault 205 dead-port times=1\n"));
  StartMessage start("-bar", "nightly");
  const IpcHandle h = MCsaStartSession(0, 8, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  EXPECT_EQ(Count("request < 205 "), 2);
  EXPECT_EQ(MCsaDisconnectSession(h), 0);
  CsaExit();

  ASSERT_NO_FATAL_FAILURE(Init("fault 205 dead-port times=2\n"));
  EXPECT_EQ(MCsaStartSession(0, 7, start.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  EXPECT_EQ(Count("request < 205 "), 2);
  ErhClearError();
  CsaExit();

  ASSERT_NO_FATAL_FAILURE(Init("fault 205 dead-port times=1\n"));
  EXPECT_EQ(MCsaStartSession(0, 2, start.text()), -1);  // only bar sessions try again
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  EXPECT_EQ(Count("request < 205 "), 1);
}

TEST_F(SessionTest, GuidInBracesSurvivesForTheReattach) {
  ASSERT_NO_FATAL_FAILURE(Init("guids braced\n"));
  StartMessage start("-bar", "nightly");
  const IpcHandle h = MCsaStartSession(0, 7, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  const std::string guid = MCsaGetSessionGuid(h);
  EXPECT_EQ(guid.size(), 38u);
  EXPECT_EQ(guid.front(), '{');
  ASSERT_EQ(MCsaDisconnectSession(h), 0);
  const IpcHandle again = MCsaReconnectSession(0, guid.c_str());
  ASSERT_GE(again, 0) << ErhErrno();
  EXPECT_EQ(MCsaGetSessionGuid(again), guid);
  EXPECT_EQ(MCsaDisconnectSession(again), 0);
}

TEST_F(SessionTest, BrokenStartRepliesFailCleanly) {
  ASSERT_NO_FATAL_FAILURE(Init("fault 205 port0 times=1\nfault 283 port0 times=1\n"));
  StartMessage start("-bar", "nightly");
  EXPECT_EQ(MCsaStartSession(0, 7, start.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  ErhClearError();
  const IpcHandle h = MCsaStartSession(0, 7, start.text());
  ASSERT_GE(h, 0) << ErhErrno();
  const std::string guid = MCsaGetSessionGuid(h);
  ASSERT_EQ(MCsaDisconnectSession(h), 0);
  EXPECT_EQ(MCsaReconnectSession(0, guid.c_str()), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  ErhClearError();
  CsaExit();

  ASSERT_NO_FATAL_FAILURE(Init("fault 205 missing-items 5 times=1\n"));
  EXPECT_EQ(MCsaStartSession(0, 7, start.text()), -1);
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
  EXPECT_EQ(CsaGetContext()->slots[0].connected, 0);
}

}  // namespace

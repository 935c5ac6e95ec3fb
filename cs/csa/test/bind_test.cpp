// Binding to the stand-in cell server: start and stop of the client, login
// replies whole, partial and refused, negotiation, global options, slot reuse
// and the limits of the slot table.
#include <string>

#include "cmn/strmsg.h"
#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/bind_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::kHost;
using csatest::Owned;

class BindTest : public CsaTest {};

TEST_F(BindTest, InitBindsSlotZeroLogsInAndKeepsTheLoginItems) {
  ASSERT_NO_FATAL_FAILURE(Init("login 0x800 3 \"Cell server on host1\" four 0x11 six\n"));
  EXPECT_EQ(CsaIsInitialized(), 1);
  const CsaContext* c = CsaGetContext();
  EXPECT_EQ(c->boundSlots, 1);
  const CsaServerSlot& slot = c->slots[0];
  EXPECT_EQ(slot.connected, 1);
  EXPECT_STREQ(slot.host, kHost);
  EXPECT_EQ(slot.port, server().requestPort());
  EXPECT_EQ(slot.loginItem2, 3);
  EXPECT_STREQ(slot.loginItem3, " host1");  // kept from its last blank
  EXPECT_STREQ(slot.loginItem4, "four");
  EXPECT_STREQ(slot.loginItem6, "six");
  std::uint32_t rights = 0;
  int flags = 0;
  EXPECT_EQ(MCsaGetAcl(0, &rights), 0);
  EXPECT_EQ(rights, 0x800u);
  EXPECT_EQ(MCsaGetInstFlags(0, &flags), 0);
  EXPECT_EQ(flags, 0x11);
  EXPECT_EQ(MCsaGetAcl(1, &rights), -1);
  EXPECT_EQ(ErhErrno(), ECSARANGE);
  EXPECT_TRUE(server().waitForTraffic("request < 0 \"csatest\""));
  EXPECT_TRUE(server().waitForTraffic("request < 225"));
  EXPECT_EQ(Count("< 267"), 0);
}

TEST_F(BindTest, SecondInitFailsAndLeavesTheFirstBindingIntact) {
  ASSERT_NO_FATAL_FAILURE(Init());
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), ECSAINITIALIZED);
  ErhClearError();
  Owned text;
  EXPECT_EQ(MCsaGetSingleFile(0, 8, &text.p, 1), 0);
}

TEST_F(BindTest, NegotiatesWithTheRequestServerWhenAsked) {
  setenv("VEK_PROTNEG_CSA_CRS", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Init());
  EXPECT_TRUE(
      server().waitForTraffic("request < 267 \"22\" \"100\" \"600\" \"100\" \"csatest\" \"1\""));
  EXPECT_TRUE(server().waitForTraffic("request < 0 "));
}

TEST_F(BindTest, RefusedNegotiationFailsTheBindAndClosesItsConnection) {
  setenv("VEK_PROTNEG_CSA_CRS", "yes", 1);
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 267 error 1007\n"));
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), 1007);
  EXPECT_EQ(CsaIsInitialized(), 0);
  EXPECT_TRUE(server().waitForTraffic("close by peer"));
  EXPECT_EQ(Count("request < 0 "), 0);
}

TEST_F(BindTest, RefusedLoginFailsTheStartWithTheServersError) {
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 0 error 1002\n"));
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), 1002);
  EXPECT_EQ(CsaIsInitialized(), 0);
  EXPECT_EQ(IpcIsInitialized(), 0);  // the client started it, so it stopped it
}

TEST_F(BindTest, LoginWithoutAccessRightsIsABrokenReply) {
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 0 missing-items 4\n"));
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
}

TEST_F(BindTest, MissingTrailingLoginItemsDefault) {
  ASSERT_NO_FATAL_FAILURE(Init("login 0x801 7 three four 9 six\nfault 0 missing-items 6\n"));
  const CsaServerSlot& slot = CsaGetContext()->slots[0];
  EXPECT_EQ(slot.acl, 0x801u);
  EXPECT_EQ(slot.loginItem2, 7);
  EXPECT_STREQ(slot.loginItem3, "");
  EXPECT_STREQ(slot.loginItem4, "");
  EXPECT_EQ(slot.instFlags, 0);
  EXPECT_STREQ(slot.loginItem6, "");
}

TEST_F(BindTest, GlobalOptionsAreAppliedUnlessEmbedded) {
  ASSERT_NO_FATAL_FAILURE(Init("option BindTimeout 5\noption MaxSessions 77\n"));
  EXPECT_EQ(glBindTimeout, 5);
  EXPECT_EQ(glMaxSessions, 77);
  CsaExit();

  glBindTimeout = 0;
  CsaSetEmbedded(1);
  ASSERT_EQ(MCsaInit(kHost), 0);
  EXPECT_EQ(glBindTimeout, 0);
  EXPECT_EQ(Count("request < 225"), 1);
  EXPECT_EQ(MCsaReInitGlobals(), 0);
  EXPECT_EQ(glBindTimeout, 0);
}

TEST_F(BindTest, SameHostIsReusedAndAnUnboundSlotReconnected) {
  ASSERT_NO_FATAL_FAILURE(Init());
  int reused = 0;
  EXPECT_EQ(MCsaBindServerEx("127.0.0.1", &reused), 0);
  EXPECT_EQ(reused, 1);
  setenv("TARN_HOSTS", "second.example:127.0.0.1", 1);
  EXPECT_EQ(MCsaBindServerEx("second.example", &reused), 1);
  EXPECT_EQ(reused, 0);
  EXPECT_EQ(CsaGetContext()->boundSlots, 2);
  MCsaUnbindServer(1, 1);
  EXPECT_EQ(CsaGetContext()->slots[1].connected, 0);
  Owned text;
  EXPECT_EQ(MCsaGetSingleFile(1, 8, &text.p, 1), -1);  // refused before anything is sent
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
  ErhClearError();
  EXPECT_EQ(MCsaBindServerEx("SECOND.example", &reused), 1);
  EXPECT_EQ(reused, 0);
  EXPECT_EQ(CsaGetContext()->boundSlots, 2);
  EXPECT_EQ(MCsaGetSingleFile(1, 8, &text.p, 1), 0);
  unsetenv("TARN_HOSTS");
}

TEST_F(BindTest, FiftyFirstServerIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Init());
  std::string hosts;
  for (int i = 1; i <= kCsaMaxServers; ++i) hosts += "srv" + std::to_string(i) + ":127.0.0.1:";
  setenv("TARN_HOSTS", hosts.c_str(), 1);
  for (int i = 1; i < kCsaMaxServers; ++i) {
    ASSERT_EQ(MCsaBindServerEx(("srv" + std::to_string(i)).c_str(), nullptr), i) << ErhErrno();
  }
  EXPECT_EQ(MCsaBindServerEx("srv50", nullptr), -1);
  EXPECT_EQ(ErhErrno(), ECSARANGE);
  EXPECT_EQ(CsaGetContext()->boundSlots, kCsaMaxServers);
  unsetenv("TARN_HOSTS");
}

TEST_F(BindTest, EmbeddedExitLeavesTheIpcLayerAndClosesOnlyTheSlots) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_EQ(IpcInit(), 0);
  CsaSetEmbedded(1);
  ASSERT_EQ(MCsaInit(kHost), 0);
  const IpcHandle slotHandle = CsaGetContext()->slots[0].handle;
  EXPECT_EQ(IpcTestIpcHandle(slotHandle), 0);
  CsaExit();
  EXPECT_EQ(IpcIsInitialized(), 1);
  EXPECT_EQ(IpcTestIpcHandle(slotHandle), -1);
}

TEST_F(BindTest, ExitWithStartedFlagStopsOnlyAnIpcLayerTheClientStarted) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_EQ(IpcInit(), 0);
  ASSERT_EQ(MCsaInit(kHost), 0);
  CsaExitEx(kCsaStartedIpc);
  EXPECT_EQ(IpcIsInitialized(), 1);
  IpcExit();
  ASSERT_EQ(MCsaInit(kHost), 0);
  CsaExitEx(kCsaStartedIpc);
  EXPECT_EQ(IpcIsInitialized(), 0);
}

TEST_F(BindTest, NoHostAndNoServerFailCleanly) {
  EXPECT_EQ(MCsaInit(""), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  ErhClearError();
  setenv("TARN_INET_PORT", std::to_string(tarn::test::FreePort()).c_str(), 1);
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), ECSANOHOST);
  EXPECT_EQ(CsaIsInitialized(), 0);
  unsetenv("TARN_INET_PORT");
}

}  // namespace

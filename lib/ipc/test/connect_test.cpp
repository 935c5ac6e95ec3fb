// Connections: port ranges per program, listening and accepting, TARN_HOSTS,
// resolver retries, locality without a name service, small writes sent at
// once, fair event waits, shutdown against a peer that keeps talking, and the
// load throttle.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"
#include "ipc/ipcasync.h"
#include "ipc/ipchooks.h"
#include "ipc/ipcimpl.h"
#include "ipc_test_util.h"

TARN_RCSID("lib/ipc/test/connect_test.cpp");

namespace {

using ipctest::Connection;
using ipctest::IpcTest;
using ipctest::Packet;
using ipctest::Peer;
using ipctest::RawConnect;
using ipctest::ReadExactly;
using ipctest::WriteAll;

// Sets or removes environment variables for one test.
class Env {
 public:
  ~Env() {
    for (const auto& [name, old] : saved_) {
      if (old.has_value()) {
        setenv(name.c_str(), old->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const char* value) {
    if (saved_.find(name) == saved_.end()) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value != nullptr) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class ConnectTest : public IpcTest {
 protected:
  void SetUp() override {
    IpcTest::SetUp();
    CmnSetProgname("kestrel");
    env_.Set("VEKPORTRANGESPEC", nullptr);
    env_.Set("VEKPORTRANGE", nullptr);
    env_.Set("TARN_HOSTS", nullptr);
    env_.Set("VEK_DNSTIMEOUT", nullptr);
    asked.clear();
  }
  Env env_;

  // A resolver that knows a few names and records every question.
  static inline std::vector<std::string> asked;
  static inline std::map<std::string, std::vector<in_addr_t>> known;
  static inline int failure = 1;
  static int FakeResolver(const char* name, std::string* official, std::vector<in_addr_t>* out) {
    asked.emplace_back(name);
    const auto it = known.find(name);
    if (it == known.end()) return failure;
    *official = name;
    *out = it->second;
    return 0;
  }
  static in_addr_t Ip(const char* text) { return inet_addr(text); }
  static std::string OwnName() {
    char own[256] = {};
    gethostname(own, sizeof own - 1);
    return own;
  }
};

struct Range {
  int result;
  int start;
  int end;
  bool operator==(const Range&) const = default;
};

Range PortRange() {
  Range r{0, -1, -1};
  r.result = IpcGetPortRange(&r.start, &r.end);
  return r;
}

TEST_F(ConnectTest, PortRangeOfTheProgramWinsOverSubstringEntries) {
  env_.Set("VEKPORTRANGESPEC", "xkest:7000-7010;kestrel:8000-8005");
  EXPECT_EQ(PortRange(), (Range{1, 8000, 8005}));
  env_.Set("VEKPORTRANGESPEC", "kestrel:8000-8005;xkest:7000-7010");
  EXPECT_EQ(PortRange(), (Range{1, 8000, 8005}));
  env_.Set("VEKPORTRANGESPEC", " heron:6000-6001, xstrel:7000-7010");
  EXPECT_EQ(PortRange(), (Range{1, 7000, 7010}));
  env_.Set("VEKPORTRANGESPEC", "xfoo:7000-7010");
  EXPECT_EQ(PortRange(), (Range{0, -1, -1}));
}

TEST_F(ConnectTest, PortRangeFallsBackToTheCommonRangeAndRefusesNonsense) {
  env_.Set("VEKPORTRANGE", "9100-9200");
  EXPECT_EQ(PortRange(), (Range{1, 9100, 9200}));
  env_.Set("VEKPORTRANGESPEC", "nocolon;:1-2;heron:1-2");
  EXPECT_EQ(PortRange(), (Range{1, 9100, 9200}));
  env_.Set("VEKPORTRANGE", "9200-9100");
  EXPECT_EQ(PortRange().result, -1);
  env_.Set("VEKPORTRANGE", "ports");
  EXPECT_EQ(PortRange().result, -1);
  env_.Set("VEKPORTRANGE", nullptr);
  for (const char* bad : {"kestrel:abc", "kestrel:0-10", "kestrel:70000-70010", "kestrel:-5-10",
                          "kestrel:99999999999999999999-1"}) {
    env_.Set("VEKPORTRANGESPEC", bad);
    EXPECT_EQ(PortRange().result, -1) << bad;
  }
  // A reversed range of the program is taken as it is.
  env_.Set("VEKPORTRANGESPEC", "kestrel:9000-8000");
  EXPECT_EQ(PortRange(), (Range{1, 9000, 8000}));
}

// Occupies `count` consecutive ports on every address; empty when the ports
// around a free one are taken.
std::vector<int> Occupy(int first, int count) {
  std::vector<int> fds;
  for (int port = first; port < first + count; ++port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      for (int open : fds) close(open);
      return {};
    }
    fds.push_back(fd);
  }
  return fds;
}

TEST_F(ConnectTest, ListenTakesTheFirstFreePortOfTheRangeAndFailsWhenAllAreTaken) {
  std::vector<int> taken;
  int first = 0;
  for (int attempt = 0; attempt < 20 && taken.empty(); ++attempt) {
    first = tarn::test::FreePort();
    if (first > 0 && first < 65000) taken = Occupy(first, 3);
  }
  ASSERT_EQ(taken.size(), 3u);
  const std::string range = std::to_string(first) + "-" + std::to_string(first + 2);
  env_.Set("VEKPORTRANGE", range.c_str());
  EXPECT_EQ(IpcAcceptConnections(0), -1);
  EXPECT_EQ(ErhErrno(), EIPCPORTRANGE);
  EXPECT_EQ(IpcGetListenPort(), kIpcNoPort);
  ErhClearError();

  close(taken[1]);
  ASSERT_EQ(IpcAcceptConnections(0), 0);
  EXPECT_EQ(IpcGetListenPort(), static_cast<unsigned>(first + 1));
  EXPECT_EQ(IpcCancelAccept(), 0);

  // A reversed range tries its start only.
  const std::string reversed = "kestrel:" + std::to_string(first) + "-" + std::to_string(first - 5);
  env_.Set("VEKPORTRANGESPEC", reversed.c_str());
  EXPECT_EQ(IpcAcceptConnections(0), -1);
  EXPECT_EQ(ErhErrno(), EIPCPORTRANGE);
  close(taken[0]);
  close(taken[2]);
}

TEST_F(ConnectTest, PeerLocalityOverrideCountsLoopbackSocketsAsRemoteButNotPipes) {
  ASSERT_EQ(IpcAcceptConnections(0), 0);
  const int client = RawConnect(IpcGetListenPort());
  ASSERT_GE(client, 0);
  const IpcHandle socket = IpcWaitForIpcEvent(5);
  ASSERT_GE(socket, 0);
  const IpcHandle pipes = IpcOpenPipes();
  ASSERT_GE(pipes, 0);
  struct Case {
    IpcPeerLocality setting;
    int socket;
  };
  for (const Case c : {Case{IpcPeerLocality::kRemote, 0}, Case{IpcPeerLocality::kLocal, 1},
                       Case{IpcPeerLocality::kByAddress, 1}}) {
    const IpcPeerLocality previous = IpcSetPeerLocality(c.setting);
    EXPECT_EQ(IpcHandleIsLocal(socket), c.socket) << static_cast<int>(c.setting);
    EXPECT_EQ(IpcHandleIsLocal(pipes), 1) << static_cast<int>(c.setting);
    // A forked child keeps the setting, whatever the layer does in between.
    const unsigned port = IpcGetListenPort();
    const int expected = c.socket;
    Peer child([port, expected] {
      IpcExit();
      if (IpcInit() != 0) return 1;
      const int fd = RawConnect(port);
      const IpcHandle handle = fd < 0 ? -1 : IpcAttachConnection(fd, fd);
      return handle >= 0 && IpcHandleIsLocal(handle) == expected ? 0 : 2;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(IpcSetPeerLocality(previous), c.setting);
  }
  EXPECT_EQ(IpcClosePipes(pipes), 0);
  close(client);
}

TEST_F(ConnectTest, ListenWithoutRangeGetsASystemPortAndAcceptsConnections) {
  ASSERT_EQ(IpcAcceptConnections(0), 0);
  const unsigned port = IpcGetListenPort();
  EXPECT_NE(port, 0u);
  EXPECT_NE(port, kIpcNoPort);
  EXPECT_EQ(IpcAcceptConnections(0), -1);
  EXPECT_EQ(ErhErrno(), EIPCLISTENING);
  ErhClearError();

  const int client = RawConnect(port);
  ASSERT_GE(client, 0);
  const IpcHandle handle = IpcWaitForIpcEvent(5);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_ACCEPTED);
  EXPECT_STREQ(IpcGetConnectionIP(handle), "127.0.0.1");
  EXPECT_EQ(IpcHandleIsLocal(handle), 1);
  EXPECT_EQ(IpcTestConnection(handle), 1);

  WriteAll(client, Packet("hello"));
  EXPECT_EQ(IpcWaitForIpcEvent(5), handle);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(handle), IPC_EVENT_READ);
  char buffer[8] = {};
  EXPECT_EQ(IpcReceiveData(handle, buffer, sizeof buffer), 5);
  close(client);

  EXPECT_EQ(IpcCancelAccept(), 0);
  EXPECT_EQ(IpcGetListenPort(), kIpcNoPort);
  EXPECT_EQ(IpcCancelAccept(), -1);
  EXPECT_EQ(ErhErrno(), EIPCLISTENING);
}

// The TCP_NODELAY setting of a descriptor: 1 or 0, -1 when it has none.
int NoDelay(int fd) {
  int value = -1;
  socklen_t length = sizeof value;
  return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 ? (value != 0 ? 1 : 0) : -1;
}

TEST_F(ConnectTest, SocketsOfTheLayerSendSmallWritesAtOnce) {
  Connection connected;
  ipctest::Connect(&connected);
  EXPECT_EQ(NoDelay(connected.peer), 0);  // the test's own socket keeps the default
  EXPECT_EQ(NoDelay(IpcGetWriteSocket(connected.handle)), 1);

  ASSERT_EQ(IpcAcceptConnections(0), 0);
  const int client = RawConnect(IpcGetListenPort());
  ASSERT_GE(client, 0);
  const IpcHandle accepted = IpcWaitForIpcEvent(5);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(accepted), IPC_EVENT_ACCEPTED);
  EXPECT_EQ(NoDelay(IpcGetWriteSocket(accepted)), 1);
  close(client);

  // A socket connected elsewhere and attached, as the cell-server client does.
  ipctest::RawListener listener;
  const int own = RawConnect(listener.port());
  ASSERT_GE(own, 0);
  const int far = listener.Accept();
  const IpcHandle attached = IpcAttachConnection(own, own);
  ASSERT_GE(attached, 0);
  EXPECT_EQ(NoDelay(own), 1);
  close(far);

  // Descriptors that are no TCP sockets attach as before, with no error left.
  const ipctest::RecordPair pair;
  EXPECT_GE(pair.handle, 0);
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(ConnectTest, TarnHostsNamesHostsWithoutTheResolver) {
  IpcSetResolverFunction(FakeResolver);
  known.clear();
  env_.Set("TARN_HOSTS", " alpha : 10.1.2.3 :\tbad:999.1.1.1:bad:10.9.9.9: peer:127.0.0.1 ");
  EXPECT_EQ(IpcGetHostFromEnv("alpha"), 1);
  EXPECT_EQ(*reinterpret_cast<in_addr_t*>(TarnHost.h_addr_list[0]), Ip("10.1.2.3"));
  EXPECT_EQ(TarnHost.h_addr_list[1], nullptr);
  EXPECT_STREQ(TarnHost.h_name, "alpha");
  EXPECT_EQ(IpcGetHostFromEnv("alph"), 0);
  EXPECT_EQ(IpcGetHostFromEnv("10.1.2.3"), 0);
  // An invalid address is skipped; a later pair for the name still counts.
  EXPECT_EQ(IpcGetHostFromEnv("bad"), 1);
  EXPECT_EQ(*reinterpret_cast<in_addr_t*>(TarnHost.h_addr_list[0]), Ip("10.9.9.9"));

  ipctest::RawListener listener;
  const IpcHandle handle = IpcConnectToProcess("peer", listener.port(), 0);
  ASSERT_GE(handle, 0);
  EXPECT_STREQ(IpcGetConnectionIP(handle), "127.0.0.1");
  EXPECT_TRUE(asked.empty()) << asked.front();
}

TEST_F(ConnectTest, ResolverIsAskedAgainWhileItSaysTryAgain) {
  IpcSetSleepFunction(ipctest::RecordSleep);
  IpcSetResolverFunction(FakeResolver);
  known.clear();
  failure = 2;
  env_.Set("VEK_DNSTIMEOUT", "3");
  EXPECT_EQ(IpcGetHostByName("busy"), nullptr);
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(ipctest::sleeps.size(), 2u);
  EXPECT_EQ(ipctest::SleptSeconds(), 2.0);
  EXPECT_EQ(ErhErrno(), EIPCRESOLVE);
  EXPECT_STREQ(ErhSysErrorStr(), "TRY_AGAIN");
  ErhClearError();

  // A bound below 1 still asks once.
  asked.clear();
  env_.Set("VEK_DNSTIMEOUT", "0");
  EXPECT_EQ(IpcGetHostByName("busy"), nullptr);
  EXPECT_EQ(asked.size(), 1u);
  ErhClearError();

  // Any other answer ends at once.
  asked.clear();
  failure = 1;
  env_.Set("VEK_DNSTIMEOUT", "30");
  EXPECT_EQ(IpcGetHostByName("nowhere"), nullptr);
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_STREQ(ErhSysErrorStr(), "HOST_NOT_FOUND");
}

TEST_F(ConnectTest, LoopbackIsLocalWithoutLookingUpOurOwnName) {
  IpcSetResolverFunction(FakeResolver);
  known = {{"loop", {Ip("127.0.1.1")}}, {"far", {Ip("10.0.0.1")}}};
  failure = 1;
  EXPECT_EQ(IpcIPIsLocal("127.0.0.5"), 1);
  EXPECT_EQ(IpcIPIsLocal("loop"), 1);
  EXPECT_EQ(asked, std::vector<std::string>{"loop"});
  // Our own name does not resolve here: the answer says so.
  EXPECT_EQ(IpcIPIsLocal("far"), -5);
  EXPECT_EQ(ErhErrno(), EIPCRESOLVE);
  ErhClearError();
  EXPECT_EQ(IpcIPIsLocal("unknown"), -1);
  ErhClearError();

  known[OwnName()] = {Ip("10.0.0.2"), Ip("10.0.0.1")};
  EXPECT_EQ(IpcIPIsLocal("far"), 1);
  known[OwnName()] = {Ip("10.0.0.2")};
  EXPECT_EQ(IpcIPIsLocal("far"), 0);
}

TEST_F(ConnectTest, EqualNamesShareAnAddress) {
  IpcSetResolverFunction(FakeResolver);
  known = {
      {"a", {Ip("10.0.0.1"), Ip("10.0.0.2")}}, {"b", {Ip("10.0.0.2")}}, {"c", {Ip("10.0.0.3")}}};
  failure = 1;
  EXPECT_EQ(IpcIPIsEqual("a", "b"), 1);
  EXPECT_EQ(IpcIPIsEqual("a", "c"), 0);
  asked.clear();
  EXPECT_EQ(IpcIPIsEqual("a", "c"), 0);
  EXPECT_TRUE(asked.empty());  // both answers kept
  EXPECT_EQ(IpcIPIsEqual("a", "nowhere"), -1);
  EXPECT_EQ(ErhErrno(), EIPCRESOLVE);
}

TEST_F(ConnectTest, FailedConnectLeavesNoHandle) {
  const int port = tarn::test::FreePort();
  EXPECT_EQ(IpcConnectToProcess("127.0.0.1", static_cast<unsigned>(port), 0), -1);
  EXPECT_EQ(ErhErrno(), EIPCCONNECT);
  EXPECT_EQ(ErhSysErrno(), ECONNREFUSED);
  EXPECT_EQ(IpcTestIpcHandle(0), -1);
  EXPECT_EQ(IpcMyInstance()->inUse, 0);
  ErhClearError();
  IpcSetResolverFunction(FakeResolver);
  known.clear();
  EXPECT_EQ(IpcConnectToProcess("nowhere", 1, 0), -1);
  EXPECT_EQ(ErhErrno(), EIPCRESOLVE);
  EXPECT_EQ(IpcTestIpcHandle(0), -1);
}

TEST_F(ConnectTest, PeerNameOfALocalPeerIsOurHostName) {
  IpcSetResolverFunction(FakeResolver);
  known = {{OwnName(), {Ip("10.0.0.2")}}};
  Connection c;
  ipctest::Connect(&c);
  char name[kIpcHostNameSize] = {};
  ASSERT_EQ(IpcGetPeer(c.handle, name), 0);
  EXPECT_STRCASEEQ(name, OwnName().c_str());
  char small[4] = {};
  ASSERT_EQ(IpcGetPeerN(c.handle, small, sizeof small), 0);
  EXPECT_EQ(std::string(small), OwnName().substr(0, 3));
}

TEST_F(ConnectTest, EventWaitServesReadyHandlesInTurn) {
  std::vector<Connection> peers(3);
  for (Connection& c : peers) ipctest::Connect(&c);
  for (Connection& c : peers) WriteAll(c.peer, Packet("1") + Packet("2"));
  std::vector<IpcHandle> order;
  for (int i = 0; i < 6; ++i) {
    const IpcHandle handle = IpcWaitForIpcEvent(5);
    ASSERT_GE(handle, 0);
    char byte[2];
    ASSERT_EQ(IpcReceiveData(handle, byte, sizeof byte), 1);
    order.push_back(handle);
  }
  const IpcHandle a = peers[0].handle;
  // Every ready handle is served once before any is served again.
  EXPECT_EQ(std::set<IpcHandle>(order.begin(), order.begin() + 3).size(), 3u);
  EXPECT_EQ(std::vector<IpcHandle>(order.begin(), order.begin() + 3),
            std::vector<IpcHandle>(order.begin() + 3, order.end()));
  EXPECT_EQ(IpcWaitForIpcEvent(0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);

  // A handle marked to be left out is not served.
  WriteAll(peers[0].peer, Packet("3"));
  ASSERT_EQ(IpcSetEntryFlag(a, IPC_FLAG_NOWAIT), 0);
  EXPECT_EQ(IpcWaitForIpcEvent(0), -1);
  ASSERT_EQ(IpcClearEntryFlag(a, IPC_FLAG_NOWAIT), 0);
  EXPECT_EQ(IpcWaitForIpcEvent(0), a);
}

TEST_F(ConnectTest, WaitOnOneHandleTellsReadableFromWritable) {
  Connection c;
  ipctest::Connect(&c);
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(c.handle, 0), -1);
  EXPECT_EQ(IpcGetLastIpcEvent(), IPC_EVENT_TIMEOUT);
  EXPECT_EQ(IpcWaitForIpcEventOnHandleEx(c.handle, 0, 2), 0);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_WRITE);
  WriteAll(c.peer, Packet("x"));
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(c.handle, 5), 9);
  EXPECT_EQ(IpcGetLastIpcHandleEvent(c.handle), IPC_EVENT_READ);
  EXPECT_EQ(IpcGetLastIncomingHandle(), c.handle);
}

TEST_F(ConnectTest, WaitsWithNothingToWaitOnOrAVeryLongLimit) {
  EXPECT_EQ(IpcWaitForIpcEvent(-1), -1);  // returns instead of hanging
  EXPECT_EQ(ErhErrno(), EIPCNOEVENT);
  ErhClearError();

  // 4294968 s in milliseconds overflows 32 bits to 704 ms.
  tarn::test::Watchdog watchdog(30);
  Connection c;
  ipctest::Connect(&c);
  Peer late([&] {
    usleep(1200000);
    WriteAll(c.peer, Packet("late"));
    return 0;
  });
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(c.handle, 4294968), 9);
  EXPECT_EQ(IpcWaitForIpcEvent(4294968), c.handle);
  EXPECT_EQ(late.Wait(), 0);
}

TEST_F(ConnectTest, DiscardAfterShutdownEndsAtItsTimeOutWhileThePeerTrickles) {
  tarn::test::Watchdog watchdog(60);
  Connection c;
  ipctest::Connect(&c);
  Peer trickler([&] {
    for (;;) {
      if (send(c.peer, "t", 1, MSG_NOSIGNAL) != 1) return 0;
      usleep(20000);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(IpcShutdownAndDiscard(c.handle, 1, 1), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  // A discard that waited for the peer to stop would last until the
  // trickler's own 30 s limit; half of that cannot be reached by load alone.
  EXPECT_LT(took, std::chrono::seconds(15));
  EXPECT_EQ(ErhSysErrno(), ETIMEDOUT);
  ErhClearError();
  EXPECT_EQ(IpcShutdownAndCloseConnectionEx(c.handle, 0, 0), 0);
  EXPECT_EQ(IpcTestIpcHandle(c.handle), -1);
}

TEST_F(ConnectTest, ShutdownReadsWhatIsLeftUntilThePeerCloses) {
  Connection c;
  ipctest::Connect(&c);
  WriteAll(c.peer, Packet("unread"));
  const int peer = c.peer;
  Peer closer([&] {
    char buffer[16];
    // Our side's shutdown arrives as the end of data; then the peer closes.
    while (recv(peer, buffer, sizeof buffer, 0) > 0) {
    }
    return 0;
  });
  close(c.peer);
  c.peer = -1;
  EXPECT_EQ(IpcShutdownAndCloseConnectionEx(c.handle, 1, 10), 0);
  EXPECT_EQ(ErhErrno(), 0);
  EXPECT_EQ(IpcTestIpcHandle(c.handle), -1);
  EXPECT_EQ(closer.Wait(), 0);
}

TEST_F(ConnectTest, LayerSleepsOnTheProcessClockUnlessReplaced) {
  cmn::ManualClock manual;
  cmn::ScopedClock scoped(manual);
  const auto start = cmn::ClockNow();
  IpcSleep(2, 500000);
  IpcSleep(0, 1500000);
  IpcSleep(-1, 0);
  IpcSleep(0, -1);
  IpcSleep(0, 0);
  EXPECT_EQ(cmn::ClockNow() - start, std::chrono::seconds(4));
  EXPECT_EQ(manual.sleeps(), 2);

  IpcSetSleepFunction(ipctest::RecordSleep);
  IpcSleep(7, 0);
  EXPECT_EQ(ipctest::SleptSeconds(), 7.0);
  EXPECT_EQ(manual.sleeps(), 2) << "a replaced sleep leaves the clock alone";
}

TEST_F(ConnectTest, ThrottleSleepsForTheShareOfBandwidthNotUsed) {
  IpcSetSleepFunction(ipctest::RecordSleep);
  Connection c;
  ipctest::Connect(&c);
  ASSERT_EQ(IpcSetMaxNetLoad(0.5), 0);
  const std::string data(10000, 'd');
  ASSERT_EQ(IpcSendData(c.handle, data.data(), static_cast<int>(data.size())), 10000);
  // (1/0.5 - 1) * bytes / (100 * 104857.6) seconds for header and data.
  EXPECT_NEAR(ipctest::SleptSeconds(), 10004.0 / 10485760.0, 2e-6);

  ipctest::sleeps.clear();
  env_.Set("VEKIPCNETLOAD", "25");
  ASSERT_EQ(IpcSetMaxNetLoad(0.9), 0);  // the environment overrides the caller
  ASSERT_EQ(IpcSendData(c.handle, data.data(), 200), 204);
  EXPECT_NEAR(ipctest::SleptSeconds(), 3.0 * 204 / 10485760.0, 2e-6);
  env_.Set("VEKIPCNETLOAD", nullptr);

  EXPECT_EQ(IpcSetMaxNetLoad(1.5), -1);
  EXPECT_EQ(IpcSetMaxNetLoad(-0.1), -1);
  ASSERT_EQ(IpcSetMaxNetLoad(1.0), 0);
  ipctest::sleeps.clear();
  ASSERT_EQ(IpcSendData(c.handle, data.data(), 300), 300);
  EXPECT_TRUE(ipctest::sleeps.empty());
}

TEST_F(ConnectTest, BandwidthUnitOfZeroOrLessIsTheDefault) {
  IpcExit();
  env_.Set("VEKIPCNETBANDW", "0");
  env_.Set("VEKIPCNETLOADMAX", "50");
  ASSERT_EQ(IpcInit(), 0);
  EXPECT_EQ(IpcNetBandw, 100);
  EXPECT_EQ(IpcMyInstance()->load, 0.5);
  IpcExit();
  env_.Set("VEKIPCNETBANDW", "-7");
  env_.Set("VEKIPCNETLOADMAX", "101");
  ASSERT_EQ(IpcInit(), 0);
  EXPECT_EQ(IpcNetBandw, 100);
  EXPECT_EQ(IpcMyInstance()->load, 1.0);
}

}  // namespace

// One client conversation per request family of the stand-in cell server,
// driven over TCP by a raw test client: inet service, negotiation and login,
// global options, configuration items, files, sessions, lists and answers.
#include <gtest/gtest.h>

#include "cellserver/testing/cellserver_standin.h"
#include "raw_client.h"

using cstest::Client;
using cstest::ErrorOf;
using cstest::IsSuccess;
using cstest::Msg;
using tarn::test::CellServerStandIn;

namespace {

using Items = std::vector<std::string>;

// A logged-in request connection to a fresh stand-in.
struct Session {
  explicit Session(std::string fixture = {})
      : server({.fixture = std::move(fixture)}), client(server.requestPort()) {
    EXPECT_TRUE(server.ready());
    EXPECT_TRUE(IsSuccess(client.login()));
  }
  CellServerStandIn server;
  Client client;
};

}  // namespace

TEST(InetService, AnswersThePortRequestWithTheRequestPortAndCloses) {
  CellServerStandIn server({.fixture = "inet-reply 7\n"});
  ASSERT_TRUE(server.ready());
  Client inet(server.inetPort());
  const Msg reply = inet.request(2, {"client.host", "0", "root", "sys", "C", "15"});
  EXPECT_EQ(reply.code, 109);
  EXPECT_EQ(reply.items, (Items{std::to_string(server.requestPort()), "7"}));
  EXPECT_TRUE(inet.closedByPeer());
  EXPECT_TRUE(
      server.waitForTraffic("inet < 2 \"client.host\" \"0\" \"root\" \"sys\" \"C\" \"15\""));

  Client wrong(server.inetPort());
  EXPECT_EQ(ErrorOf(wrong.request(2, {"client.host", "0", "root", "sys", "C", "14"})), "1007");
  EXPECT_TRUE(wrong.closedByPeer());
}

TEST(Negotiation, ReplyCarriesThePackedErrorThenTheProtocolData) {
  CellServerStandIn server({.fixture = "protocol 22 101 601 \"B.02\" \"cs\" 3\n"});
  Client client(server.requestPort());
  const Msg reply = client.request(267, {"22", "100", "600", "100", "cstest", "1"});
  EXPECT_EQ(reply.code, 267);
  EXPECT_EQ(reply.items, (Items{"0", "0", "", "", "22", "101", "601", "B.02", "cs", "3"}));
  EXPECT_TRUE(IsSuccess(client.login()));
}

TEST(Login, ResultIsFollowedByTheSixConfiguredItems) {
  {
    Session s;
    Client fresh(s.server.requestPort());
    const Msg reply = fresh.login();
    EXPECT_EQ(reply.items,
              (Items{"0", "0", "", "", "4294967295", "0", "tarn cell server", "", "0", ""}));
  }
  CellServerStandIn server({.fixture = "login 0x800 3 \"CM on host\" four 0x11 \"six\"\n"});
  Client client(server.requestPort());
  EXPECT_EQ(ErrorOf(client.request(214, {"80", "x"})), "1007");  // nothing before the login
  const Msg reply = client.login();
  EXPECT_EQ(reply.items, (Items{"0", "0", "", "", "2048", "3", "CM on host", "four", "17", "six"}));
  EXPECT_EQ(ErrorOf(client.request(0, {"p", "v", "u", "g", "notapid", "n"})), "1007");
  EXPECT_EQ(ErrorOf(client.request(0, {"p", "v"})), "1007");
}

TEST(GlobalOptions, PairsInFixtureOrderThenTheResult) {
  Session s("option BindTimeout 5\noption SchedulerGranularity 15\noption BindTimeout 6\n");
  const Msg options = s.client.request(225);
  EXPECT_EQ(options.code, 120);
  EXPECT_EQ(options.items,
            (Items{"BindTimeout", "5", "SchedulerGranularity", "15", "BindTimeout", "6"}));
  EXPECT_TRUE(IsSuccess(s.client.recv()));
  EXPECT_EQ(ErrorOf(s.client.request(225, {"extra"})), "1007");
}

TEST(GroupItems, StoreReadListRenameRemoveInChunksBothWays) {
  Session s;
  Client& c = s.client;
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);

  c.send(215, {"80", "config/DB2/host%inst", std::to_string(big.size())});
  c.sendBulk(big);
  EXPECT_TRUE(IsSuccess(c.recv()));
  EXPECT_TRUE(s.server.waitForTraffic("request < 24 \"0\" \"81920\""));
  EXPECT_TRUE(s.server.waitForTraffic("request < 24 \"1\" \"36160\""));

  c.send(214, {"80", "config/DB2/host%inst"});
  Msg result;
  std::vector<std::size_t> sizes;
  EXPECT_TRUE(c.recvBulk(&result, &sizes) == big);
  EXPECT_TRUE(IsSuccess(result));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{81920, 81920, 36160}));

  // Binary items share the store and carry any byte.
  const std::string binary("\xFF\xFE\0\x01\0\0", 6);
  c.send(257, {"42", "key", "6"});
  c.sendBulk(binary);
  EXPECT_TRUE(IsSuccess(c.recv()));
  c.send(263, {"42", "key"});
  EXPECT_EQ(c.recvBulk(&result), binary);

  // An empty item: one MSG_DATA of length 0 in, no MSG_DATA out.
  c.send(215, {"80", "", "0"});
  c.sendBulk("");
  EXPECT_TRUE(IsSuccess(c.recv()));
  c.send(214, {"80", ""});
  EXPECT_EQ(c.recvBulk(&result), "");
  EXPECT_TRUE(IsSuccess(result));

  const Msg list = c.request(211, {"80"});
  EXPECT_EQ(list.code, 102);
  EXPECT_EQ(list.items, (Items{"", "config/DB2/host%inst"}));
  EXPECT_TRUE(IsSuccess(c.recv()));

  EXPECT_TRUE(IsSuccess(c.request(219, {"80", "config/DB2/host%inst", "renamed"})));
  EXPECT_EQ(ErrorOf(c.request(219, {"80", "", "renamed"})), "1001");  // never overwrites
  c.send(214, {"80", "config/DB2/host%inst"});
  c.recvBulk(&result);
  EXPECT_EQ(ErrorOf(result), "1001");
  EXPECT_TRUE(IsSuccess(c.request(216, {"80", "renamed"})));
  EXPECT_EQ(ErrorOf(c.request(216, {"80", "renamed"})), "1001");
  EXPECT_EQ(ErrorOf(c.request(214, {"-1", "x"})), "1001");
}

TEST(GroupItems, FixtureItemArrivesAsUtf16WithItsMark) {
  Session s("item 80 \"config/DB2/h%i\" \"Username=db2\" utf16\n");
  s.client.send(214, {"80", "config/DB2/h%i"});
  Msg result;
  const std::string text = s.client.recvBulk(&result);
  EXPECT_TRUE(IsSuccess(result));
  EXPECT_EQ(text, std::string("\xFF\xFEU\0s\0e\0r\0n\0a\0m\0e\0=\0d\0b\0\x32\0", 26));
}

TEST(StoredData, SecondProcessOnTheSameStateReadsWhatTheFirstStored) {
  tarn::test::TempDir state;
  {
    CellServerStandIn first({.stateDir = state.path()});
    Client c(first.requestPort());
    c.login();
    c.send(203, {"1", "11"});
    c.sendBulk("root sys * ");
    EXPECT_TRUE(IsSuccess(c.recv()));
    c.send(260, {"5", "cell/cell_format", "6"});
    c.sendBulk("format");
    EXPECT_TRUE(IsSuccess(c.recv()));
    c.send(1091, {"ca", "3"});
    c.sendBulk("pem");
    EXPECT_TRUE(IsSuccess(c.recv()));
  }
  CellServerStandIn second({.stateDir = state.path()});
  Client c(second.requestPort());
  c.login();
  Msg result;
  c.send(202, {"1"});
  EXPECT_EQ(c.recvBulk(&result), "root sys * ");
  c.send(259, {"5", "cell/cell_format"});
  EXPECT_EQ(c.recvBulk(&result), "format");
  c.send(1092, {"ca"});
  EXPECT_EQ(c.recvBulk(&result), "pem");
  const Msg certs = c.request(1090);
  EXPECT_EQ(certs.code, 102);
  EXPECT_EQ(certs.items, (Items{"ca"}));
  c.recv();
}

TEST(StoredData, SingleAndCustomFiles) {
  Session s("file 0 \"host=a virtual=b\\n\"\n");
  Client& c = s.client;
  Msg result;
  c.send(202, {"0"});
  EXPECT_EQ(c.recvBulk(&result), "host=a virtual=b\n");
  c.send(202, {"26"});  // never written: empty, not an error
  EXPECT_EQ(c.recvBulk(&result), "");
  EXPECT_TRUE(IsSuccess(result));
  c.send(256, {"8", "-1"});  // no text
  c.sendBulk("");
  EXPECT_TRUE(IsSuccess(c.recv()));
  EXPECT_TRUE(s.server.waitForTraffic("bulk announced -1 bytes, received 0"));

  c.send(259, {"5", "missing"});
  c.recvBulk(&result);
  EXPECT_EQ(ErrorOf(result), "1001");
  EXPECT_EQ(result.item(4), "custom file 5/missing: missing");
  c.send(260, {"5", "../../escape", "1"});
  c.sendBulk("x");
  EXPECT_TRUE(IsSuccess(c.recv()));
  EXPECT_TRUE(IsSuccess(c.request(264, {"5", "../../escape"})));
  EXPECT_EQ(ErrorOf(c.request(264, {"5", "../../escape"})), "1001");
}

TEST(Sessions, StartConnectReconnectSignalAndTheirPorts) {
  Session s;
  Client& c = s.client;
  c.send(205, {"7", "DB2 nightly", "1-99", "", "", "C"});
  c.sendBulk(cstest::Encode(2, {"-bar", "DB2 nightly"}));
  const Msg started = c.recv();
  ASSERT_TRUE(IsSuccess(started));
  ASSERT_EQ(started.items.size(), 7u);
  const std::string port = started.items[4], key = started.items[5], guid = started.items[6];
  EXPECT_LE(key.size(), 17u);
  EXPECT_EQ(guid.size(), 36u);
  EXPECT_NE(port, std::to_string(s.server.requestPort()));
  EXPECT_TRUE(s.server.waitForTraffic("bulk start message 2 \"-bar\" \"DB2 nightly\""));

  // The session port takes a negotiation and the identity, then holds on.
  Client sm(std::stoi(port));
  const Msg protocol = sm.request(267, {"22", "100", "600", "100", "cstest", "1"});
  EXPECT_EQ(protocol.code, 267);
  EXPECT_EQ(protocol.item(0), "0");
  sm.send(0, {"cstest", "A.01.00"});
  EXPECT_TRUE(s.server.waitForTraffic("session:" + key + " identity \"cstest\" \"A.01.00\""));
  sm.send(30, {"anything"});
  EXPECT_TRUE(s.server.waitForTraffic("session:" + key + " < 30 \"anything\""));

  EXPECT_EQ(c.request(207, {key}).items, (Items{"0", "0", "", "", "7", port}));
  EXPECT_EQ(c.request(283, {guid}).items, (Items{"0", "0", "", "", "7", port, key}));
  Client second(std::stoi(port));
  second.send(0, {"cstest", "A.01.00"});
  EXPECT_TRUE(s.server.waitForTraffic("identity \"cstest\" \"A.01.00\""));

  const Msg overview = c.request(209);
  EXPECT_EQ(overview.code, 101);
  ASSERT_EQ(overview.items.size(), 7u);
  EXPECT_EQ(overview.items[0], guid);
  EXPECT_EQ(overview.items[1], "0");
  EXPECT_EQ(overview.items[5], "DB2 nightly");
  EXPECT_EQ(overview.items[6], key);
  c.recv();
  const Msg status = c.request(210, {key});
  EXPECT_EQ(status.code, 103);
  EXPECT_EQ(status.items, overview.items);
  c.recv();

  EXPECT_TRUE(IsSuccess(c.request(236, {key, "10"})));  // recorded, session goes on
  EXPECT_TRUE(IsSuccess(c.request(283, {guid})));
  EXPECT_TRUE(IsSuccess(c.request(236, {key, "15"})));  // ends it
  EXPECT_TRUE(sm.closedByPeer());
  EXPECT_EQ(ErrorOf(c.request(283, {guid})), "1005");
  EXPECT_EQ(ErrorOf(c.request(207, {key})), "1005");
  EXPECT_EQ(ErrorOf(c.request(236, {key, "15"})), "1005");
  EXPECT_EQ(ErrorOf(c.request(283, {"00000000-0000-4000-8000-000000000000"})), "1005");
  EXPECT_EQ(ErrorOf(c.request(210, {key})), "1005");
  EXPECT_TRUE(s.server.waitForTraffic("session:" + key + " listen closed"));
  EXPECT_FALSE(Client(std::stoi(port), 500).ok());
}

TEST(Sessions, EachSessionHasAPortOfItsOwn) {
  Session s;
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    s.client.send(205, {"0", "", "", "", "", "C"});
    s.client.sendBulk(cstest::Encode(2, {"-x"}));
    const Msg started = s.client.recv();
    ASSERT_TRUE(IsSuccess(started));
    ports.push_back(started.item(4));
  }
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_NE(ports[1], ports[2]);
  // A refused start still takes its bulk data, so the connection stays in step.
  s.client.send(205, {"20", "", "", "", "", "C"});
  s.client.sendBulk(cstest::Encode(2, {"-x"}));
  EXPECT_EQ(ErrorOf(s.client.recv()), "1001");
  EXPECT_TRUE(IsSuccess(s.client.request(235, {"1"})));
}

TEST(Sessions, BackupSessionsOfOneBarlistShareTheKeyAndOneOverviewRow) {
  Session s;
  const auto start = [&s](const char* type, const char* name) {
    s.client.send(205, {type, name, "", "", "", "C"});
    s.client.sendBulk(cstest::Encode(2, {"-bar", name}));
    const Msg started = s.client.recv();
    EXPECT_TRUE(IsSuccess(started));
    return started.items.size() == 7 ? started.items : Items(7);
  };
  const Items first = start("7", "DB2 logs"), second = start("7", "DB2 logs");
  const Items other = start("7", "DB2 other"), restore = start("8", "DB2 logs");
  EXPECT_EQ(second[5], first[5]);
  EXPECT_NE(second[6], first[6]) << "each keeps a GUID of its own";
  EXPECT_NE(second[4], first[4]);
  EXPECT_NE(other[5], first[5]);
  EXPECT_NE(restore[5], first[5]);
  const Msg overview = s.client.request(209);
  ASSERT_EQ(overview.items.size(), 3u * 7u);
  EXPECT_EQ(overview.items[0], first[6]);
  EXPECT_EQ(overview.items[5], "DB2 logs");
  EXPECT_EQ(overview.items[6], first[5]);
  s.client.recv();
  // The key stays while one of them runs; a later start gets a new one.
  EXPECT_TRUE(IsSuccess(s.client.request(236, {first[5], "15"})));
  EXPECT_TRUE(IsSuccess(s.client.request(236, {first[5], "15"})));
  EXPECT_NE(start("7", "DB2 logs")[5], first[5]);
}

TEST(ListsAndAnswers, EveryQueryAnswersWithItsReplyIdThenTheResult) {
  Session s("list 212 \"DB2 nightly\" \"DB2 weekly\"\nlist 213 a b\nanswer 265 \"client text\"\n");
  Client& c = s.client;
  const struct {
    int id;
    Items items;
    int reply;
  } queries[] = {{212, {}, 104}, {238, {}, 104}, {275, {"1"}, 104}, {213, {"0"}, 105},
                 {244, {}, 113}, {266, {}, 114}, {254, {}, 115},    {270, {}, 116},
                 {271, {}, 117}, {272, {}, 118}, {1090, {}, 102},   {209, {}, 101}};
  for (const auto& q : queries) {
    const Msg reply = c.request(q.id, q.items);
    EXPECT_EQ(reply.code, q.reply) << q.id;
    EXPECT_TRUE(IsSuccess(c.recv())) << q.id;
    if (q.id == 212) {
      EXPECT_EQ(reply.items, (Items{"DB2 nightly", "DB2 weekly"}));
    } else if (q.id == 213) {
      EXPECT_EQ(reply.items, (Items{"a", "b"}));
    }
  }
  EXPECT_EQ(ErrorOf(c.request(213, {"x"})), "1001");

  EXPECT_EQ(c.request(265, {"a", "b"}).item(4), "client text");
  EXPECT_EQ(c.request(234, {"cmd"}).item(4), "0");
  EXPECT_EQ(c.request(282, {"a", "b", "c", "", ""}).item(4), "4294967295");
  EXPECT_TRUE(c.request(273, {"80"}).item(4).ends_with("/items/80"));
  EXPECT_EQ(c.request(281, {"1", "res", "1", "2"}).item(4), "1");
  EXPECT_EQ(c.request(281, {"1", "res", "1", "2"}).item(4), "2");
  EXPECT_EQ(c.request(281, {"4", "1", "30"}).item(4), "0");
  EXPECT_EQ(ErrorOf(c.request(281, {"4", "1"})), "1007");
  EXPECT_EQ(ErrorOf(c.request(281, {"8"})), "1007");
  const struct {
    int id;
    std::size_t items;
  } answers[] = {{227, 3}, {228, 2}, {229, 2}, {231, 2}, {235, 1}, {246, 1},
                 {247, 2}, {248, 2}, {249, 1}, {250, 2}, {251, 2}, {258, 6},
                 {261, 1}, {262, 1}, {302, 7}, {303, 6}, {304, 2}};
  for (const auto& a : answers)
    EXPECT_TRUE(IsSuccess(c.request(a.id, Items(a.items, "1")))) << a.id;
}

// The stand-in session manager on a session port, driven by the raw test
// client: object requests answered per the fixture's script, status and
// report lines recorded, the end of objects and sessions, re-attaching by
// GUID, the reconnect port, the scripted abort and the key service.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "cellserver/testing/cellserver_standin.h"
#include "mediaagent/test/ma_client.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "raw_client.h"

using cstest::Client;
using cstest::ErrorOf;
using cstest::IsSuccess;
using cstest::Msg;
using tarn::test::CellServerStandIn;

namespace {

using Items = std::vector<std::string>;

struct Started {
  int port = 0;
  std::string key;
  std::string guid;
};

// A stand-in with a logged-in request connection.
struct Manager {
  explicit Manager(std::string fixture, std::vector<std::string> args = {})
      : server({.fixture = std::move(fixture), .args = std::move(args)}),
        client(server.requestPort()) {
    EXPECT_TRUE(server.ready());
    EXPECT_TRUE(IsSuccess(client.login()));
  }

  // Starts a session of `type` with its MSG_OPTIONS as the start message.
  Started start(int type = 7) {
    client.send(205, {std::to_string(type), "DB2 nightly", "", "", "", "C"});
    client.sendBulk(cstest::Encode(2, {"-bar", "DB2 nightly"}));
    const Msg started = client.recv();
    EXPECT_TRUE(IsSuccess(started));
    return Started{std::stoi(started.item(4)), started.item(5), started.item(6)};
  }

  CellServerStandIn server;
  Client client;
};

// A session-manager connection after its identity.
std::unique_ptr<Client> Attach(int port, int timeoutMs = 10000) {
  auto sm = std::make_unique<Client>(port, timeoutMs);
  EXPECT_TRUE(sm->ok());
  sm->send(0, {"cstest", "A.01.00"});
  return sm;
}

// A backup object request as the client sends it.
Items BackupRequest(const std::string& object) {
  return {"DB2", object, "3", "0", "1", "0", "", "-trees /db", "0", "-host h1"};
}

Items Status() {
  return {"1700000000", "0", "1", "0", "2", "2", "8", "4"};
}

// A literal with its NUL bytes.
template <std::size_t N>
std::string B(const char (&text)[N]) {
  return std::string(text, N - 1);
}

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::app);
  out << text;
}

// The next frame the session manager sends, waiting at most `polls` of the
// client's receive time-outs for it.
std::optional<std::string> NextFrame(Client& client, int polls = 20) {
  std::optional<std::string> frame;
  for (int i = 0; i < polls && !frame; ++i) frame = client.recvFrame();
  return frame;
}

// A stand-in media agent and a backup session whose object (DA 7) the
// session manager sent to it; the session manager watches the agent's events.
struct ObjectAtMediaAgent {
  ObjectAtMediaAgent()
      : m("baropt connect -ma 127.0.0.1 " + std::to_string(ma.port()) + " -daid 7\n",
          {"--media-events", ma.eventsPath()}) {
    EXPECT_TRUE(ma.ready());
    sm = Attach(m.start().port, 300);
    EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
  }

  tarn::test::MediaAgentStandIn ma{{.args = {"--buffer-size", "4096", "--buffer-count", "4"}}};
  Manager m;
  std::unique_ptr<Client> sm;
};

}  // namespace

TEST(SessionManager, AnswersObjectRequestsInScriptOrder) {
  Manager m(
      "baropt connect -ma 127.0.0.1 5555 -daid 7 -sess ${session} -lport ${host} ${lport}\n"
      "baropt connect -daid 8\n"
      "baropt wait 0\n"
      "baropt abort 12\n");
  const Started s = m.start();
  EXPECT_TRUE(m.server.waitForTraffic("bulk start message 2 \"-bar\" \"DB2 nightly\""));
  auto sm = Attach(s.port);
  const Msg connect = sm->request(51, BackupRequest("/h1/DB2/SAMPLE"));
  EXPECT_EQ(connect.code, 45);
  ASSERT_EQ(connect.items.size(), 10u);
  EXPECT_EQ(connect.items[6], s.key);
  EXPECT_EQ(connect.items[8], "127.0.0.1");
  EXPECT_GT(std::stoi(connect.items[9]), 0);
  EXPECT_TRUE(m.server.waitForTraffic("object backup \"/h1/DB2/SAMPLE\""));

  // The answers as bytes: code, then each word behind a blank, NUL-ended.
  sm->send(6);
  sm->send(51, BackupRequest("/h1/DB2/TWO"));
  EXPECT_EQ(sm->recvFrame(), B("45\0 -daid\0 8\0\0"));
  sm->send(6);
  sm->send(51, BackupRequest("/h1/DB2/THREE"));
  EXPECT_EQ(sm->recvFrame(), B("64\0 0\0\0"));
  sm->send(51, BackupRequest("/h1/DB2/THREE"));
  EXPECT_EQ(sm->recvFrame(), B("1\0 12\0\0"));
  // Script used up: a connect without words.
  sm->send(51, BackupRequest("/h1/DB2/FOUR"));
  EXPECT_EQ(sm->recvFrame(), B("45\0\0"));
  // A request without an object name is aborted with a failure code.
  sm->send(51, {"DB2"});
  EXPECT_EQ(sm->recvFrame(), B("1\0 2\0\0"));
}

TEST(SessionManager, RecordsStatusAndExpandedReportLines) {
  Manager m(
      "baropt connect -daid 7\n"
      "catalogue 131 11 \"Backup of %s: %d%% done (%s)\"\n"
      "literal 7512 \"aborted by operator\"\n");
  const Started s = m.start();
  auto sm = Attach(s.port);
  EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
  sm->send(33, Status());
  EXPECT_TRUE(m.server.waitForTraffic(
      "status now=1700000000 worst=0 level0=1 errors=0 items=2 objectItems=2 sizeKB=8 doneKB=4"));
  sm->send(33, {"1", "2"});
  EXPECT_TRUE(m.server.waitForTraffic("bad status with 2 items"));
  // As the error layer sends it: items apart, a typed literal among them.
  sm->send(15, {"\x07\x01[131:11]", "obj", "50", "\x07\x02[7512]"});
  EXPECT_TRUE(m.server.waitForTraffic("report \"Backup of obj: 50% done (aborted by operator)\""));
  // Flattened into one item, and a reference the catalogue does not know.
  sm->send(15, {"\x07\x01[131:11]\x03obj\x03"
                "7\x03x"});
  EXPECT_TRUE(m.server.waitForTraffic("report \"Backup of obj: 7% done (x)\""));
  sm->send(15, {"\x07\x01[9:9]", "a", "\x07\x22plain"});
  EXPECT_TRUE(m.server.waitForTraffic("report \"[9:9] a plain\""));
  // The whole message text flattened, and a packed message nested as an argument.
  sm->send(15, {"15\x03 \x07\x01[131:11]\x03 x\x03 1\x03 \x07\x01[9:9]\x03"});
  EXPECT_TRUE(m.server.waitForTraffic("report \"Backup of x: 1% done ([9:9])\"")) << [&] {
    std::string all;
    for (const auto& line : m.server.traffic()) all += line + "\n";
    return all;
  }();
  sm->send(15, {"\x07\x01[131:11]", "\x07\x01[9:8]\x03z", "3",
                "\x07\x22"
                "12"});
  EXPECT_TRUE(m.server.waitForTraffic("report \"Backup of [9:8] z: 3% done (12)\""));
}

TEST(SessionManager, ObjectsEndWithStopSessionsSurviveForReattach) {
  Manager m("baropt connect -daid 7 -sess S1\nbaropt connect -daid 7\n");
  const Started s = m.start();
  auto sm = Attach(s.port);
  EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
  sm->send(6);  // the object ends, the session waits for its client
  EXPECT_TRUE(m.server.waitForTraffic("object stopped \"/h1/obj\""));
  EXPECT_TRUE(m.server.waitForTraffic("catalogue \"/h1/obj\" version 1 session S1 time "));
  EXPECT_TRUE(m.server.waitForTraffic("options \"-backupId \\\"S1\\\" -trees /db\""));
  sm->hangUp();

  const Msg again = m.client.request(283, {s.guid});
  EXPECT_EQ(again.items, (Items{"0", "0", "", "", "7", std::to_string(s.port), s.key}));
  sm = Attach(s.port);
  EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
  sm->send(1, {"5"});  // an aborted object keeps the session too
  EXPECT_TRUE(m.server.waitForTraffic("object aborted \"/h1/obj\" code 5"));
  sm->hangUp();
  EXPECT_TRUE(IsSuccess(m.client.request(283, {s.guid})));

  // Stop without an open object ends the session: re-attaching is refused.
  sm = Attach(s.port);
  sm->send(6);
  EXPECT_TRUE(sm->closedByPeer());
  EXPECT_EQ(ErrorOf(m.client.request(283, {s.guid})), "1005");
}

TEST(SessionManager, AbortAnsweredWithTheEchoEndsTheSession) {
  Manager m("baropt abort 12\n");
  const Started s = m.start();
  auto sm = Attach(s.port);
  EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).items, (Items{"12"}));
  sm->send(1, {"12"});
  EXPECT_TRUE(sm->closedByPeer());
  EXPECT_TRUE(m.server.waitForTraffic("session abort 12 ends " + s.key));
  EXPECT_EQ(ErrorOf(m.client.request(283, {s.guid})), "1005");
}

TEST(SessionManager, UnattendedSessionEndsAfterItsTimeout) {
  Manager m("session-timeout 200\n");
  const Started s = m.start();
  {
    auto sm = Attach(s.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // Attached: it does not end however long the client takes.
    EXPECT_TRUE(IsSuccess(m.client.request(283, {s.guid})));
  }
  EXPECT_TRUE(m.server.waitForTraffic("ends unattended " + s.key));
  EXPECT_EQ(ErrorOf(m.client.request(283, {s.guid})), "1005");
  // One nobody ever attached to ends the same way.
  const Started never = m.start();
  EXPECT_TRUE(m.server.waitForTraffic("ends unattended " + never.key));
}

TEST(SessionManager, StopOnlyAfterTheMediaAgentEndedTheStream) {
  tarn::test::TempDir dir;
  const std::string events = dir.path() + "/events";
  Append(events, "STREAM_END da=7 status=stop blocks=1\n");  // an earlier object's
  Manager m("baropt connect -daid 7\n", {"--media-events", events});
  const Started s = m.start();
  auto sm = Attach(s.port, 300);
  EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
  EXPECT_FALSE(sm->recvFrame());
  Append(events, "STREAM_END da=7 status=abort blocks=2 resumable\n");
  EXPECT_FALSE(sm->recvFrame());
  Append(events, "STREAM_END da=8 status=stop blocks=3\nSTREAM_END da=7 st");
  EXPECT_FALSE(sm->recvFrame());
  Append(events, "atus=stop blocks=3\n");
  EXPECT_EQ(NextFrame(*sm), B("6\0\0"));
  EXPECT_FALSE(sm->recvFrame());  // once only
  sm->send(6);
  EXPECT_TRUE(m.server.waitForTraffic("catalogue \"/h1/obj\" version 1"));
}

TEST(SessionManager, StopFollowsTheStandInMediaAgentsStreamEnd) {
  tarn::test::Watchdog watchdog(60);
  ObjectAtMediaAgent o;
  matest::RemoteBackup(o.ma.port(), 2);
  ASSERT_TRUE(o.ma.waitForEvent("STREAM_END da=7 status=stop blocks=2"));
  EXPECT_EQ(NextFrame(*o.sm), B("6\0\0"));
}

TEST(SessionManager, AnAbortedStreamEndAbortsTheObjectAndKeepsItOutOfTheCatalogue) {
  const struct {
    const char* status;
    std::string answer;
    bool stored;
  } cases[] = {{"stop", B("6\0\0"), true}, {"abort", B("1\0 2\0\0"), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    tarn::test::TempDir dir;
    const std::string events = dir.path() + "/events";
    Manager m("baropt connect -daid 7\n", {"--media-events", events});
    const Started s = m.start();
    auto sm = Attach(s.port, 300);
    EXPECT_EQ(sm->request(51, BackupRequest("/h1/obj")).code, 45);
    Append(events, std::string("STREAM_END da=7 status=") + c.status + " blocks=3\n");
    EXPECT_EQ(NextFrame(*sm), c.answer);
    // Even a client that answers an abort with a stop has no stored object.
    sm->send(6);
    EXPECT_TRUE(m.server.waitForTraffic(c.stored ? "catalogue \"/h1/obj\" version 1"
                                                 : "not stored \"/h1/obj\""));
  }
}

TEST(SessionManager, AnObjectWhoseMediaAgentDiedIsAborted) {
  tarn::test::Watchdog watchdog(60);
  ObjectAtMediaAgent o;
  EXPECT_FALSE(o.sm->recvFrame());
  ASSERT_EQ(::kill(o.ma.pid(), SIGKILL), 0);
  o.ma.stop();  // reaped: no STREAM_END will ever come
  EXPECT_EQ(NextFrame(*o.sm, 40), B("1\0 2\0\0"));
  EXPECT_TRUE(o.m.server.waitForTraffic("stream of DA 7: the media agent died"));
}

TEST(SessionManager, CatalogueSessionsEndWithTheirConnection) {
  Manager m("");
  for (int i = 0; i < 3; ++i) {
    const Started s = m.start(2);
    Attach(s.port)->hangUp();
    EXPECT_TRUE(m.server.waitForTraffic("catalogue session " + s.key + " ends"));
    EXPECT_EQ(ErrorOf(m.client.request(283, {s.guid})), "1005");
  }
}

TEST(SessionManager, ObjectRequestsWithADaIdAreWrittenForTheMediaAgent) {
  tarn::test::TempDir dir;
  const std::string requests = dir.path() + "/requests";
  Manager m("baropt connect -daid 7\nbaropt connect\nbaropt connect -daid 7\n",
            {"--media-requests", requests});
  auto backup = Attach(m.start(7).port);
  EXPECT_EQ(backup->request(51, BackupRequest("/h1/obj")).code, 45);
  EXPECT_EQ(tarn::test::ReadFile(requests), "OBJECT da=7 backup\n");
  backup->send(6);
  EXPECT_EQ(backup->request(51, BackupRequest("/h1/two")).code, 45);  // no DA id: no line
  auto restore = Attach(m.start(8).port);
  EXPECT_EQ(restore->request(51, {"DB2", "/h1/obj", "k", "0", "", "1", "-save"}).code, 45);
  EXPECT_EQ(tarn::test::ReadFile(requests), "OBJECT da=7 backup\nOBJECT da=7 restore\n");
}

TEST(SessionManager, ReconnectPortCarriesTheObjectOnAndScriptedAbortFollows) {
  Manager m("baropt connect -daid 9 -lport ${host} ${lport}\nsm-abort 33 status 2\n");
  const Started s = m.start();
  auto sm = Attach(s.port);
  const Msg connect = sm->request(51, BackupRequest("/h1/obj"));
  ASSERT_EQ(connect.items.size(), 5u);
  const int lport = std::stoi(connect.items[4]);
  sm->send(33, Status());
  sm->hangUp();

  Client wrong(lport);
  wrong.send(66, {"cstest", "A.01.00", "10", "0", "0"});
  EXPECT_TRUE(wrong.closedByPeer());
  Client bad(lport);
  bad.send(66, {"cstest", "A.01.00", "9"});
  EXPECT_TRUE(bad.closedByPeer());

  Client again(lport);
  EXPECT_EQ(again.request(66, {"cstest", "A.01.00", "9", "0", "0"}).code, 67);
  EXPECT_TRUE(m.server.waitForTraffic("reconnect DA 9 session " + s.key));
  again.send(33, Status());  // the object's second status: the scripted abort
  const Msg abort = again.recv();
  EXPECT_EQ(abort.code, 1);
  EXPECT_EQ(abort.items, (Items{"33"}));
  again.send(1, {"33"});
  EXPECT_TRUE(m.server.waitForTraffic("object aborted \"/h1/obj\" code 33"));
  // The reconnected connection ends with its session, like one on the session port.
  EXPECT_TRUE(IsSuccess(m.client.request(236, {s.key, "15"})));
  EXPECT_TRUE(again.closedByPeer());
}

TEST(SessionManager, KeyServiceAnswersInHexadecimal) {
  const std::string id(32, 'a'), store(32, 'b'), data(64, 'c');
  Manager m("key db2/inst1 " + id + " " + store + " 3 1 " + data + "\n");
  const Started s = m.start();
  auto sm = Attach(s.port);
  sm->send(1116, {"0", "1", "3", "db2/inst1", "", ""});
  EXPECT_EQ(sm->recvFrame(),
            B("1117\0 ") + id + B("\0 ") + store + B("\0 3\0 1\0 ") + data + B("\0\0"));
  const Msg byId = sm->request(1116, {"0", "2", "3", "", std::string(32, 'A'), store});
  EXPECT_EQ(byId.items, (Items{id, store, "3", "1", data}));

  // A new entity gets a key of its own that its ids find again.
  const Msg fresh = sm->request(1116, {"0", "1", "3", "db2/other", "", ""});
  ASSERT_EQ(fresh.items.size(), 5u);
  EXPECT_EQ(fresh.items[0].size(), 32u);
  EXPECT_EQ(fresh.items[4].size(), 64u);
  EXPECT_NE(fresh.items[4], data);
  EXPECT_EQ(sm->request(1116, {"0", "2", "3", "", fresh.items[0], fresh.items[1]}).items,
            fresh.items);

  EXPECT_TRUE(sm->request(1116, {"0", "2", "3", "", "zz", store}).items.empty());
  EXPECT_TRUE(sm->request(1116, {"0", "1"}).items.empty());
  const Msg random = sm->request(1123, {"0", "16"});
  EXPECT_EQ(random.code, 1124);
  ASSERT_EQ(random.items.size(), 1u);
  EXPECT_EQ(random.items[0].size(), 32u);
  EXPECT_EQ(random.items[0].find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_TRUE(sm->request(1123, {"0", "0"}).items.empty());
  EXPECT_TRUE(sm->request(1123, {"0", "4097"}).items.empty());
}

// The stand-in catalogue: catalogue sessions answered from fixture rows and
// from the versions the session manager stored, kept across processes on one
// state directory; the row and result layout in literal bytes.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "cellserver/fixture.h"
#include "cellserver/protocol.h"
#include "cellserver/session.h"
#include "cellserver/sm.h"
#include "cellserver/testing/cellserver_standin.h"
#include "codec/message.h"
#include "raw_client.h"

using cstest::Client;
using cstest::ErrorOf;
using cstest::IsSuccess;
using cstest::Msg;
using tarn::cellserver::CatItem;
using tarn::cellserver::Fixture;
using tarn::cellserver::ParseFixture;
using tarn::cellserver::SessionManagerBook;
using tarn::test::CellServerStandIn;

namespace {

using Items = std::vector<std::string>;

constexpr const char* kCatalogue =
    "cat-object \"05 h1:/empty // E\" 5\n"
    "cat-version 10 \"05 h1:/db // D\" S1 1700000000 \"-backupId \\\"B1\\\" -trees \\\"/db\\\"\" "
    "type=5 size=4294967298\n"
    "cat-version 11 \"05 h1:/db // D\" S2 1700000100 \"-trees \\\"/db\\\"\" type=5 copy=1\n"
    "cat-item 10 /db/a 7 1699999999\n"
    "cat-item 10 /db/sub/b.log 9 1699999998 100 200 0600\n"
    "cat-item 11 /db/a 8 1700000050\n"
    "cat-medium 10 0a1b2c3d_00000001_0001 \"Pool Disk\" \"Tape 1\" 3\n";

std::unique_ptr<SessionManagerBook> Book(const std::string& text) {
  std::string why;
  const auto fixture = ParseFixture(text, &why);
  EXPECT_TRUE(fixture) << why;
  return std::make_unique<SessionManagerBook>(fixture ? *fixture : Fixture{});
}

template <std::size_t N>
std::string B(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// A catalogue session on a stand-in: the request connection, session 205 of
// type 2, the session port after its identity.
struct CatalogueSession {
  explicit CatalogueSession(CellServerStandIn& server) : client(server.requestPort()) {
    EXPECT_TRUE(IsSuccess(client.login()));
    client.send(205, {"2", "catalogue", "", "", "", "C"});
    client.sendBulk(cstest::Encode(2, {}));
    const Msg started = client.recv();
    EXPECT_TRUE(IsSuccess(started));
    sm = std::make_unique<Client>(std::stoi(started.item(4)));
    sm->send(0, {"cstest", "A.01.00"});
  }

  // Rows until MSG_RESULT; the result in *result.
  std::vector<Msg> query(int id, const Items& args, Msg* result) {
    sm->send(id, args);
    std::vector<Msg> rows;
    for (;;) {
      Msg m = sm->recv();
      if (m.code == 5 || m.code < 0) {
        *result = m;
        return rows;
      }
      rows.push_back(std::move(m));
    }
  }

  Client client;
  std::unique_ptr<Client> sm;
};

TEST(Catalogue, FixtureLinesAndTheirErrors) {
  std::string why;
  const auto f = ParseFixture(kCatalogue, &why);
  ASSERT_TRUE(f) << why;
  ASSERT_EQ(f->catVersions.size(), 2u);
  EXPECT_EQ(f->catVersions[0].size, 4294967298LL);
  EXPECT_EQ(f->catVersions[0].options, "-backupId \"B1\" -trees \"/db\"");
  EXPECT_EQ(f->catVersions[1].version, 2);  // its place among the object's versions
  EXPECT_EQ(f->catVersions[1].copy, 1);
  EXPECT_EQ(f->catItems[1].mode, 0600);
  EXPECT_EQ(f->catMedia[0].pool, 3);
  EXPECT_EQ(f->catObjects[0].type, 5);

  for (const char* bad : {
           "cat-version 0 o s 1 \"\"\n",                         // id below 1
           "cat-version 1 o s 1 \"\"\ncat-version 1 p s 1 x\n",  // id twice
           "cat-version 1 o s 1 \"\" colour=3\n",
           "cat-version 1 o s 1 \"\" size=-1\n",
           "cat-item 1 /a 7\n",
           "cat-item 1 /a 7 1 0 0\n",
           "cat-item 1 /a 7 1 0 0 0800\n",
           "cat-medium 1 012345678901234567890123456789012 d l\n",  // 33 characters
           "cat-protection 1 2\n",
       }) {
    EXPECT_FALSE(ParseFixture(bad, &why)) << bad;
    EXPECT_TRUE(why.starts_with("line ")) << why;
  }
}

TEST(Catalogue, QuotedWordsReadBackWhole) {
  const std::string text = std::string("a \"q\" \\ \n\r\t\x01\x7f", 13) + "end";
  const std::string quoted = tarn::cellserver::QuoteFixtureWord(text);
  EXPECT_EQ(quoted, "\"a \\\"q\\\" \\\\ \\n\\r\\t\\x01\\x7fend\"");
  std::string why;
  const auto f = ParseFixture("cat-object " + quoted + " 1\n", &why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->catObjects.at(0).name, text);
}

// The version id travels in the first field of the version part: field 0 of
// a 1024 row, field 2 of the 1001 result.
TEST(Catalogue, VersionRowAndResultBytes) {
  auto book = Book(
      "cat-version 42 \"05 h:/m // L\" S9 1700000000 \"-backupId \\\"B\\\"\" type=5 size=5 "
      "level=1\n");
  const auto rows = book->answerCatalogue({1024, {"05 h:/m // L", "0", "0"}});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(tarn::standin::EncodeMessage(rows[0]),
            B("1025\0 42\0 1\0 1700000000\0 0\0 1\0 5\0 0\0 0\0 0\0 0\0 5\0 0\0 \0 \0 0\0 0\0 "
              "0\0 \0 \0 0\0 \0 \0 S9\0 0\0 0\0 -backupId \"B\"\0 S9\0\0"));
  EXPECT_EQ(tarn::standin::EncodeMessage(rows[1]), B("5\0 0\0 0\0 \0 \0\0"));

  const auto got = book->answerCatalogue({1001, {"42"}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].code, 5);
  ASSERT_EQ(got[0].items.size(), 4u + 29u);
  EXPECT_EQ(got[0].items[4], "05 h:/m // L");
  EXPECT_EQ(got[0].items[4 + 2], "42");
  EXPECT_EQ(got[0].items.back(), "S9");
}

TEST(Catalogue, EveryListingHasTheTablesFieldCount) {
  auto book = Book(kCatalogue);
  struct Case {
    int id;
    Items args;
    int rowId;
    std::size_t fields;
    std::size_t rows;
  };
  const Case cases[] = {
      {1022, {"0"}, 1023, 2, 2},
      {1022, {"7"}, 1023, 2, 0},
      {1069, {"5", "/db"}, 1070, 2, 1},
      {1083, {"B1", "", ""}, 1084, 28, 1},
      {1026, {"S2"}, 1027, 28, 1},
      {1024, {"05 h1:/db // D", "0", "0"}, 1025, 27, 2},
      {1024, {"05 h1:/db // D", "0", "1"}, 1025, 27, 1},
      {1032, {"10"}, 1033, 10, 2},
      {1033, {"10", "/db/sub", ""}, 1034, 4, 1},
      {1036, {"*.log", "", "", "0", "0", "0", "0", "0"}, 1037, 11, 1},
      {1060, {"0", "/db/a"}, 1061, 37, 2},
      {1054, {"10", "/db"}, 1055, 11, 1},
      {1050, {"05 h1:/db // D", "0", "0", "0", "0", "0"}, 1051, 29, 2},
      {1612, {"10", "0"}, 1613, 22, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const auto out = book->answerCatalogue({c.id, c.args});
    ASSERT_EQ(out.size(), c.rows + 1);
    for (std::size_t i = 0; i < c.rows; ++i) {
      EXPECT_EQ(out[i].code, c.rowId);
      EXPECT_EQ(out[i].items.size(), c.fields);
    }
    const auto error = tarn::standin::ReadPackedError(out.back());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.rows == 0 ? 1245 : 0);
    EXPECT_EQ(error->level, 0);
    EXPECT_EQ(out.back().items.size(), 4u + (c.id == 1050 ? 4u : 0u));
  }
  // The newest version, its medium and its item with the version id behind.
  const auto fast = book->answerCatalogue({1024, {"05 h1:/db // D", "0", "1"}});
  EXPECT_EQ(fast[0].items[0], "11");
  const auto medium = book->answerCatalogue({1612, {"10", "0"}})[0].items;
  EXPECT_EQ(medium[7], "0a1b2c3d_00000001_0001");
  EXPECT_EQ(medium[3], "Pool Disk");
  EXPECT_EQ(medium[1], "Tape 1");
  EXPECT_EQ(medium[18], "3");
  const auto found =
      book->answerCatalogue({1036, {"b.*", "h1", "/db/sub", "0", "0", "0", "0", "0"}});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].items[0], "/db/sub/b.log");
  EXPECT_EQ(found[0].items[10], "10");
  // The pattern matches the name's last part; host and directory narrow.
  EXPECT_EQ(book->answerCatalogue({1036, {"a", "", "", "0", "0", "0", "0", "0"}}).size(), 3u);
  EXPECT_EQ(book->answerCatalogue({1036, {"a", "h2", "", "0", "0", "0", "0", "0"}}).size(), 1u);
  EXPECT_EQ(book->answerCatalogue({1036, {"b.log", "", "/db", "0", "0", "0", "0", "0"}}).size(),
            1u);
  // 1083: session, then host and application type of the object.
  EXPECT_EQ(book->answerCatalogue({1083, {"B1", "h1", "D"}}).size(), 2u);
  EXPECT_EQ(book->answerCatalogue({1083, {"B1", "h2", ""}}).size(), 1u);
  EXPECT_EQ(book->answerCatalogue({1083, {"B1", "", "E"}}).size(), 1u);
}

TEST(Catalogue, UnknownAndMalformedRequestsAndProtection) {
  auto book = Book(kCatalogue);
  const auto code = [&](tarn::standin::Message request) {
    const auto out = book->answerCatalogue(request);
    return out.size() == 1 ? tarn::standin::ReadPackedError(out[0])->code : -1;
  };
  EXPECT_EQ(code({1020, {"a", "b", "c", "d"}}), 8002);  // not served
  EXPECT_EQ(code({4711, {}}), 8002);
  EXPECT_EQ(code({1022, {}}), 8010);
  EXPECT_EQ(code({1022, {"x"}}), 8010);
  EXPECT_EQ(code({1024, {"05 h1:/db // D", "0", "1.5"}}), 8010);
  EXPECT_EQ(code({1001, {"99"}}), 1252);
  EXPECT_EQ(code({1601, {"99", "1", "5"}}), 1001);
  EXPECT_EQ(code({1601, {"10", "2", "x"}}), 8010);
  EXPECT_EQ(code({1601, {"10", "2", "1800000000"}}), 0);
  const auto got = book->answerCatalogue({1001, {"10"}});
  EXPECT_EQ(got[0].items[4 + 2 + 8], "2");
  EXPECT_EQ(got[0].items[4 + 2 + 9], "1800000000");
}

// A version given up (its protection changed to none, as a client deletes
// an image) is no longer found by the object and version lists; an object
// with none left is gone from them, a look-up by id still answers.
TEST(Catalogue, AVersionGivenUpIsLeftOutOfTheListsARestoreSearches) {
  auto book = Book(kCatalogue);
  const auto rows = [&](tarn::standin::Message request) {
    return book->answerCatalogue(request).size() - 1;
  };
  ASSERT_EQ(rows({1024, {"05 h1:/db // D", "0", "0"}}), 2u);
  ASSERT_EQ(book->answerCatalogue({1601, {"11", "0", "0"}}).size(), 1u);
  const auto left = book->answerCatalogue({1024, {"05 h1:/db // D", "0", "1"}});
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].items[0], "10");  // the older one, not the newest given up
  EXPECT_EQ(rows({1069, {"5", "h1:/db"}}), 1u);

  ASSERT_EQ(book->answerCatalogue({1601, {"10", "0", "0"}}).size(), 1u);
  EXPECT_EQ(rows({1024, {"05 h1:/db // D", "0", "1"}}), 0u);
  EXPECT_EQ(rows({1069, {"5", "h1:/db"}}), 0u);
  EXPECT_EQ(rows({1022, {"5"}}), 1u);  // only the fixture's empty object
  EXPECT_EQ(book->answerCatalogue({1001, {"10"}})[0].items[4 + 2 + 8], "0");
  // Protected again, it is listed again.
  ASSERT_EQ(book->answerCatalogue({1601, {"10", "2", "1800000000"}}).size(), 1u);
  EXPECT_EQ(rows({1069, {"5", "h1:/db"}}), 1u);
}

TEST(Catalogue, StoredVersionsComeBackAndABadFileIsReported) {
  tarn::test::TempDir dir;
  const std::string file = dir.path() + "/catalogue";
  std::string why;
  const auto fixture = ParseFixture("cat-version 1 \"05 h:/m // L\" S1 1 \"\"\n", &why);
  ASSERT_TRUE(fixture) << why;
  {
    SessionManagerBook book(*fixture, file);
    const auto v = book.store(std::string("05 h:/m // L\x01\"\\", 13), "S2", 7, "-backupId \"S2\"");
    EXPECT_EQ(v.versionId, 2);
    EXPECT_EQ(v.version, 1);  // another object than the fixture's
    EXPECT_EQ(v.type, 5);
    ASSERT_EQ(book.answerCatalogue({1601, {"2", "4", "9"}}).size(), 1u);
  }
  {
    SessionManagerBook book(*fixture, file);
    EXPECT_EQ(book.catalogueError(), "");
    const auto all = book.catalogue();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].objectName, std::string("05 h:/m // L\x01\"\\", 13));
    EXPECT_EQ(all[1].options, "-backupId \"S2\"");
    EXPECT_EQ(all[1].protection, 4);
    EXPECT_EQ(all[1].protectionValue, 9);
    EXPECT_EQ(book.store("05 h:/m // L", "S3", 8, "").versionId, 3);
  }
  // A fixture that took the stored id keeps it; the clash is reported.
  const auto other = ParseFixture("cat-version 2 other S9 1 \"\"\n", &why);
  ASSERT_TRUE(other) << why;
  {
    SessionManagerBook book(*other, file);
    EXPECT_NE(book.catalogueError().find("version id 2"), std::string::npos);
    EXPECT_EQ(book.catalogue().size(), 2u);  // its own 2 and the stored 3
  }
  {
    std::ofstream(file, std::ios::app) << "cat-version x\n";
    SessionManagerBook book(*fixture, file);
    EXPECT_NE(book.catalogueError().find("line 4"), std::string::npos) << book.catalogueError();
    EXPECT_EQ(book.catalogue().size(), 1u);
  }
}

TEST(Catalogue, SessionListsStoredBackupsInALaterProcess) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::TempDir state;
  {
    CellServerStandIn server({.fixture = "baropt connect -sess S7\n", .stateDir = state.path()});
    ASSERT_TRUE(server.ready());
    Client client(server.requestPort());
    ASSERT_TRUE(IsSuccess(client.login()));
    client.send(205, {"7", "DB2 nightly", "", "", "", "C"});
    client.sendBulk(cstest::Encode(2, {"-bar"}));
    const Msg started = client.recv();
    ASSERT_TRUE(IsSuccess(started));
    Client sm(std::stoi(started.item(4)));
    sm.send(0, {"cstest", "A.01.00"});
    EXPECT_EQ(sm.request(51, {"DB2", "05 h1:/db // D", "3", "0", "1", "0", "", "-trees \"/db\"",
                              "0", "-host h1"})
                  .code,
              45);
    sm.send(6);
    EXPECT_TRUE(server.waitForTraffic("catalogue \"05 h1:/db // D\" version 1"));

    CatalogueSession cat(server);
    Msg result;
    EXPECT_EQ(cat.query(1601, {"1", "3", "1900000000"}, &result).size(), 0u);
    EXPECT_EQ(ErrorOf(result), "0");
  }
  CellServerStandIn server({.fixture = kCatalogue, .stateDir = state.path()});
  ASSERT_TRUE(server.ready());
  CatalogueSession cat(server);
  Msg result;
  const auto rows = cat.query(1024, {"05 h1:/db // D", "0", "0"}, &result);
  EXPECT_EQ(ErrorOf(result), "0");
  ASSERT_EQ(rows.size(), 3u);  // two from the fixture, the stored one
  const Msg& stored = rows[2];
  EXPECT_EQ(stored.code, 1025);
  ASSERT_EQ(stored.items.size(), 27u);
  EXPECT_EQ(stored.item(0), "1");  // the id it was stored with
  EXPECT_EQ(stored.item(1), "1");
  EXPECT_EQ(stored.item(8), "3");
  EXPECT_EQ(stored.item(9), "1900000000");
  EXPECT_EQ(stored.item(25), "-backupId \"S7\" -trees \"/db\"");
  EXPECT_EQ(stored.item(26), "S7");

  EXPECT_TRUE(cat.query(1020, {"1", "2", "3", "4"}, &result).empty());
  EXPECT_EQ(ErrorOf(result), "8002");
  // The session goes on after an error; MSG_STOP ends it.
  EXPECT_EQ(cat.query(1022, {"5"}, &result).size(), 2u);
  cat.sm->send(6);
  EXPECT_TRUE(cat.sm->closedByPeer());
}

// The start time the sessions of these tests are given, away from midnight
// in every zone a host may have (12:00 UTC).
constexpr std::time_t kSessionClock = 1781179200;

// The date session keys of kSessionClock carry.
std::string KeyDate() {
  std::tm local{};
  localtime_r(&kSessionClock, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y/%m/%d", &local);
  return text;
}

// A backup session of the barlist in which one object is stored; its key.
std::string StoreOneBackup(CellServerStandIn& server, const std::string& object) {
  Client client(server.requestPort());
  EXPECT_TRUE(IsSuccess(client.login()));
  client.send(205, {"7", "DB2 nightly", "", "", "", "C"});
  client.sendBulk(cstest::Encode(2, {"-bar"}));
  const Msg started = client.recv();
  EXPECT_TRUE(IsSuccess(started));
  Client sm(std::stoi(started.item(4)));
  sm.send(0, {"cstest", "A.01.00"});
  EXPECT_EQ(
      sm.request(51, {"DB2", object, "3", "0", "1", "0", "", "-trees \"/db\"", "0", "-host h1"})
          .code,
      45);
  sm.send(6);
  EXPECT_TRUE(server.waitForTraffic("catalogue \"" + object + "\""));
  return started.item(5);
}

// Started again on its state, the server numbers its sessions past the ones
// its catalogue holds: no two backups share a session.
TEST(Catalogue, SessionKeysOfALaterProcessFollowTheStoredOnes) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::TempDir state;
  std::vector<std::string> keys;
  for (const char* object : {"05 h1:/db // A", "05 h1:/db // B", "05 h1:/db // C"}) {
    CellServerStandIn server(
        {.stateDir = state.path(), .args = {"--clock", std::to_string(kSessionClock)}});
    ASSERT_TRUE(server.ready());
    keys.push_back(StoreOneBackup(server, object));
  }
  EXPECT_EQ(keys, (Items{KeyDate() + "-1", KeyDate() + "-2", KeyDate() + "-3"}));
}

// Which stored session ids hold the numbering back, in both of their forms.
TEST(Catalogue, StoredSessionIdsReserveTheirNumbersOfTheirDay) {
  struct Case {
    const char* what;
    Items stored;
    int first;  // the number of the next session's key
  };
  const std::string day = KeyDate();
  const Case cases[] = {
      {"nothing stored", {}, 1},
      {"a key of the day", {day + "-3"}, 4},
      {"the agents' form", {day + " 0007"}, 8},
      {"the highest of several", {day + "-5", day + "-2"}, 6},
      {"another day's", {"1999/01/01-9"}, 1},
      {"not a session id", {"S7", "", day + "-", day + "-x", day + "-1x"}, 1},
      {"beyond a key's number", {day + "-99999"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tarn::cellserver::SessionRegistry registry;
    registry.setClock([] { return kSessionClock; });
    for (const std::string& id : c.stored) registry.reserve(id);
    const auto first = registry.add(tarn::cellserver::SessionInfo{.type = 7, .name = "DB2 a"});
    const auto second = registry.add(tarn::cellserver::SessionInfo{.type = 2});
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->info().key, day + "-" + std::to_string(c.first));
    EXPECT_EQ(second->info().key, day + "-" + std::to_string(c.first + 1));
  }
}

}  // namespace

namespace {

// A restore's object request reads the stream of the version it names, or of
// its session, and the choice survives a new process on the same file.
TEST(CatalogueDaIds, RestoreReadsTheStreamOfTheRequestedVersion) {
  tarn::test::TempDir dir;
  const std::string file = dir.path() + "/catalogue";
  const std::string a = "05 h:/a // DB2";
  {
    SessionManagerBook book(Fixture{}, file);
    EXPECT_EQ(book.daFor(a, "", 0), 0);
    book.store(a, "S1", 1, "", 3, {CatItem{0, "/a/x\x01", 5, 9, 1, 2, 0640}});
    book.store("05 h:/b // DB2", "S1", 2, "", 4);
    book.store(a, "S2", 3, "", 7);
  }
  SessionManagerBook book(Fixture{}, file);
  EXPECT_EQ(book.catalogueError(), "");
  EXPECT_EQ(book.daFor(a, "", 0), 7);
  EXPECT_EQ(book.daFor(a, "S1", 0), 3);
  EXPECT_EQ(book.daFor(a, "S9", 0), 0);
  EXPECT_EQ(book.daFor(a, "", 1), 3);
  EXPECT_EQ(book.daFor(a, "", 2), 0) << "version 2 is another object's";
  // Restore object request: application, object, session, "0", tree, version.
  EXPECT_EQ(tarn::cellserver::RestoreDa(book, {51, {"DB2", a, "S2", "0", "", "1"}}), 3);
  EXPECT_EQ(tarn::cellserver::RestoreDa(book, {51, {"DB2", a, "S1", "0", "", "0"}}), 3);
  EXPECT_EQ(tarn::cellserver::RestoreDa(book, {51, {"DB2", a}}), 7);
  // The stored item came back with its version.
  const auto items = book.answerCatalogue({1032, {"1"}});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].items[0], "/a/x\x01");
  EXPECT_EQ(items[0].items[5], "416");
  tarn::cellserver::SessionInfo session;
  session.key = "2026/12/09-1";
  EXPECT_EQ(
      tarn::cellserver::ExpandWords({"-ma", "${host}", "-daid", "${da}", "-sess", "${session}"}, 1,
                                    "127.0.0.1", session, book.daFor(a, "S1", 0)),
      (Items{"-ma", "127.0.0.1", "-daid", "3", "-sess", "2026/12/09-1"}));
}

// The media agent's item lines of a stream's last run become its items.
TEST(CatalogueDaIds, ItemsOfAStreamComeFromTheLastRunOfItsDa) {
  tarn::test::TempDir dir;
  const std::string events = dir.path() + "/events";
  tarn::test::WriteFile(
      events,
      "ITEM da=3 id=0 type=2 mode=600 uid=1 gid=2 size=3 mtime=4 name=6f6c64\n"
      "STREAM_END da=3 status=abort blocks=1\n"
      "ITEM da=3 id=0 type=2 mode=4640 uid=1 gid=2 size=5 mtime=6 name=6e6577\n"
      "ITEM da=4 id=0 type=2 mode=600 uid=1 gid=2 size=3 mtime=4 name=6f74686572\n"
      "ITEM da=3 broken\n"
      "STREAM_END da=3 status=stop blocks=1\n");
  const auto items = tarn::cellserver::StreamItems(events, 3);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "new");
  EXPECT_EQ(items[0].mode, 04640);
  EXPECT_EQ(items[0].size, 5);
  EXPECT_EQ(items[0].modified, 6);
  EXPECT_TRUE(tarn::cellserver::StreamItems(events, 4).empty()) << "no end seen yet";
}

}  // namespace

// Query engine and catalogue records against a scripted peer: literal request
// bytes, rows and results, the ends of a listing, malformed rows and the
// draining close.
#include "barutil/query.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "barutil/vekquery.h"
#include "barutil_test_util.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"

TARN_RCSID("integ/barutil/test/query_test.cpp");

namespace {

using barutiltest::BarutilTest;

// The literal's bytes without the compiler's closing NUL.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// Wire form of a message: code, then " item" each NUL-ended, then one NUL.
std::string Msg(int code, const std::vector<std::string>& items) {
  std::string m = std::to_string(code);
  m.push_back('\0');
  for (const std::string& item : items) {
    m += ' ' + item;
    m.push_back('\0');
  }
  m.push_back('\0');
  return m;
}

std::string Result(int error, const std::vector<std::string>& fields = {}) {
  std::vector<std::string> items = {std::to_string(error), error == 0 ? "0" : "2", "peer", ""};
  items.insert(items.end(), fields.begin(), fields.end());
  return Msg(5, items);
}

// The 27 version fields: v0 id, v2 time, v7 rank, v25 options, v26 session.
std::vector<std::string> Version(int id, int time, int rank, const std::string& options,
                                 const std::string& session) {
  std::vector<std::string> v(27, "0");
  v[0] = std::to_string(id);
  v[1] = "1";
  v[2] = std::to_string(time);
  v[7] = std::to_string(rank);
  v[22] = session;
  v[25] = options;
  v[26] = session;
  return v;
}

struct Peer {
  std::deque<std::string> replies;
  std::vector<std::string> requests;
  bool failRead = false;
};
Peer* peer = nullptr;

int ScriptRead(IpcHandle, char** message, int) {
  *message = nullptr;
  if (peer->failRead || peer->replies.empty()) {
    ErhMark(1011, 0, "ScriptRead", 2);
    return -1;
  }
  const std::string& m = peer->replies.front();
  // Texts from a read end in two NULs, as a received packet does.
  *message = static_cast<char*>(safe_malloc(m.size() + 2, "query_test", 0));
  std::memcpy(*message, m.data(), m.size());
  (*message)[m.size()] = (*message)[m.size() + 1] = '\0';
  peer->replies.pop_front();
  return 0;
}

int ScriptWrite(IpcHandle, const char* message) {
  peer->requests.emplace_back(message, static_cast<std::size_t>(StrMsgTSize(message)));
  return 0;
}

class QueryTest : public BarutilTest {
 protected:
  void SetUp() override {
    BarutilTest::SetUp();
    peer = &peer_;
    query_setio(ScriptRead, ScriptWrite);
    catalog_.handle = 7;
  }
  void TearDown() override {
    VEK_QueryClose(&catalog_);
    query_setio(nullptr, nullptr);
    peer = nullptr;
    BarutilTest::TearDown();
  }
  Peer peer_;
  VEK_Catalog catalog_;
};

TEST_F(QueryTest, TableRowsAreFoundByIdAndByName) {
  const QueryDescription* d = query_get_description(1050);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "FUN_FBLISTALLOVER");
  EXPECT_EQ(d->rowFields, 29);
  EXPECT_EQ(d->resultFields, 4);
  EXPECT_EQ(query_get_description_by_name("fun_getover"), query_get_description(1001));
  EXPECT_EQ(query_get_description(4711), nullptr);
}

TEST_F(QueryTest, RequestBytesAreTheMessageTextForm) {
  peer_.replies = {Result(1245)};
  array_t out{};
  EXPECT_EQ(VEK_QueryObjectVersionsEx2(&catalog_, "01 host:/db // DB", 0, &out), 0);
  EXPECT_EQ(out.count, 0);
  ASSERT_EQ(peer_.requests.size(), 1u);
  const std::string expected = Bytes("1024\0 01 host:/db // DB\0 0\0 0\0\0");
  EXPECT_EQ(peer_.requests[0], expected);
  EXPECT_EQ(VEK_ChangeOVProtection(&catalog_, 42, 1, 0), kVekQueryFailed);  // no reply left
  EXPECT_EQ(peer_.requests[1], Bytes("1601\0 42\0 1\0 0\0\0"));
  array_free(&out);
}

TEST_F(QueryTest, UnknownRequestFailsBeforeSending) {
  EXPECT_FALSE(query_open(&catalog_.query, 7, 4711, "%d", 1));
  EXPECT_EQ(catalog_.query.error, kQueryNoRequest);
  EXPECT_TRUE(peer_.requests.empty());
  EXPECT_FALSE(query_read(&catalog_.query));
  EXPECT_EQ(catalog_.query.error, kQueryNoRequest);
}

TEST_F(QueryTest, VersionIdTravelsInTheFirstFieldOfTheRow) {
  // A 1025 row as the catalogue sends it: the id 4242 is its first item.
  std::string row = Msg(1025, Version(4242, 1700000000, 0, "-backupId \"S1\"", "S1"));
  EXPECT_EQ(row.substr(0, 11), Bytes("1025\0 4242\0"));
  peer_.replies = {row, Result(0)};
  int count = 0;
  VEK_Version* versions = nullptr;
  ASSERT_EQ(VEK_QueryObjectVersionsEx(&catalog_, "01 h:/d // x", 0, &count, &versions), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(VEK_VersionId(versions[0]), 4242);
  EXPECT_EQ(VEK_VersionTime(versions[0]), 1700000000);
  EXPECT_STREQ(versions[0].backupId, "S1");
  EXPECT_STREQ(versions[0].options, "-backupId \"S1\"");
  VEK_FreeArray(count, versions, sizeof(VEK_Version), VEK_VersionFree);
}

TEST_F(QueryTest, OneVersionPerBackupIdKeepsTheLowestRankInArrivalOrder) {
  peer_.replies = {Msg(1025, Version(1, 100, 2, "-backupId B", "S1")),
                   Msg(1025, Version(2, 200, 0, "-backupId C", "S2")),
                   Msg(1025, Version(3, 300, 1, "-backupId B", "S3")),
                   Msg(1025, Version(4, 400, 5, "-backupId B", "S4")), Result(0)};
  int count = 0;
  VEK_Version* v = nullptr;
  ASSERT_EQ(VEK_QueryObjectVersionsEx(&catalog_, "o", 1, &count, &v), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(VEK_VersionId(v[0]), 3);
  EXPECT_EQ(VEK_VersionId(v[1]), 2);
  VEK_FreeArray(count, v, sizeof(VEK_Version), VEK_VersionFree);
}

TEST_F(QueryTest, OptionsTextGivesBackupIdTreesAndBaropt) {
  VEK_Version v{};
  ASSERT_EQ(
      VEK_ReadVersionOptions(
          "-backupId \"B7\" -trees \"/a b\" \"/c\" -mp_bhost h1 -baropt x=1 -zz -backupId Q", &v),
      0);
  EXPECT_STREQ(v.backupId, "B7");
  ASSERT_EQ(v.trees.count, 2);
  EXPECT_STREQ(static_cast<char*>(array_get(&v.trees, 0)), "/a b");
  EXPECT_STREQ(static_cast<char*>(array_get(&v.trees, 1)), "/c");
  EXPECT_STREQ(v.barOpt, "x=1");
  VEK_VersionFree(&v);

  VEK_Version bad{};
  EXPECT_EQ(VEK_ReadVersionOptions("-tree \"/unterminated", &bad), -1);
  VEK_VersionFree(&bad);
  VEK_Version tooLong{};
  EXPECT_EQ(VEK_ReadVersionOptions("-backupId 01234567890123456", &tooLong), -1);
  VEK_VersionFree(&tooLong);
}

TEST_F(QueryTest, VersionWithoutBackupIdShowsItsSessionId) {
  std::vector<const char*> f;
  std::vector<std::string> v = Version(5, 1, 0, "-tree \"/x\"", "2026/12/09-7");
  for (const std::string& s : v) f.push_back(s.c_str());
  VEK_Version rec;
  ASSERT_EQ(VEK_VersionUnpack(f.data(), 27, &rec), 0);
  EXPECT_STREQ(rec.backupId, "2026/12/09-7");
  EXPECT_EQ(rec.trees.count, 1);
  VEK_VersionFree(&rec);
  // Without the session field (26 version fields) and without -backupId.
  ASSERT_EQ(VEK_VersionUnpack(f.data(), 26, &rec), 0);
  EXPECT_STREQ(rec.backupId, "");
  VEK_VersionFree(&rec);
}

TEST_F(QueryTest, MalformedRowFailsTheQueryWithoutAHalfRecord) {
  std::vector<std::string> shortRow = Version(1, 1, 0, "", "S");
  shortRow.pop_back();
  std::vector<std::string> badNumber = Version(2, 1, 0, "", "S");
  badNumber[2] = "12x";
  for (const std::string& row : {Msg(1025, shortRow), Msg(1025, badNumber)}) {
    peer_.replies = {Msg(1025, Version(9, 1, 0, "", "S")), row, Result(0)};
    array_t out{};
    EXPECT_EQ(VEK_QueryObjectVersionsEx2(&catalog_, "o", 0, &out), kVekQueryFailed);
    EXPECT_EQ(out.count, 1);  // the good row before it
    EXPECT_TRUE(peer_.replies.empty()) << "the rest is drained by the close";
    array_free(&out);
  }
}

TEST_F(QueryTest, EndsOfAListing) {
  // Error 1252 ends normally; another error ends with 8013 and -18.
  peer_.replies = {Result(1252)};
  array_t out{};
  EXPECT_EQ(VEK_QueryCatalog2(&catalog_, 3, &out), 0);
  peer_.replies = {Result(1600)};
  EXPECT_EQ(VEK_QueryCatalog2(&catalog_, 3, &out), kVekQueryFailed);
  EXPECT_EQ(catalog_.query.error, 0) << "the close leaves the query idle";
  EXPECT_EQ(out.count, 0);
  peer_.failRead = true;
  EXPECT_FALSE(VEK_QueryOpen(&catalog_, 1032, "%d", 1) != 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  EXPECT_EQ(catalog_.query.error, kQueryReadFailed);
  array_free(&out);
}

std::vector<std::string> reports;
void CaptureReport(const char* text) {
  reports.emplace_back(text);
}

TEST_F(QueryTest, FailuresAreReportedAsCatalogueMessages) {
  ErhHooks previous{};
  ErhSetHooks(&previous, CaptureReport, CaptureReport);
  reports.clear();
  peer_.replies = {Msg(77, {"x"})};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  peer_.replies = {Result(1600)};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  ErhSetHooks(nullptr, previous.report, previous.console);
  std::string all;
  for (const std::string& r : reports) all += r + "\n";
  EXPECT_NE(all.find("[131:7]"), std::string::npos) << all;
  EXPECT_NE(all.find("[131:6]"), std::string::npos) << all;
}

TEST_F(QueryTest, UnexpectedMessageUnderTheStrictFlag) {
  peer_.replies = {Msg(77, {"x"}), Result(0)};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  EXPECT_EQ(catalog_.query.error, kQueryUnexpected);
  peer_.replies = {Msg(77, {"x"}), Result(0)};
  catalog_.query.strict = 0;
  ASSERT_TRUE(query_opens(&catalog_.query, 7, 1032, "1", nullptr));
  EXPECT_FALSE(query_read(&catalog_.query));
  EXPECT_EQ(catalog_.query.error, 0);
}

TEST_F(QueryTest, CloseAfterAFailureKeepsTheSessionInStep) {
  // An unexpected message or a bad one: the rest up to MSG_RESULT is drained.
  peer_.replies = {Msg(77, {"x"}), Msg(1033, std::vector<std::string>(10, "0")), Result(0),
                   Result(1245)};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  VEK_QueryClose(&catalog_);
  EXPECT_EQ(peer_.replies.size(), 1u);
  peer_.replies = {"garbage", Result(0), Result(1245)};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  EXPECT_EQ(catalog_.query.error, kQueryBadMessage);
  VEK_QueryClose(&catalog_);
  EXPECT_EQ(peer_.replies.size(), 1u);
  EXPECT_EQ(catalog_.handle, 7);
  // A failed read leaves replies that may still come: the session is closed.
  peer_.failRead = true;
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), 0);
  EXPECT_FALSE(VEK_QueryRead(&catalog_));
  VEK_QueryClose(&catalog_);
  EXPECT_EQ(catalog_.handle, -1);
  EXPECT_EQ(VEK_QueryOpen(&catalog_, 1032, "%d", 1), kVekQueryFailed);
}

TEST_F(QueryTest, GetObjectVersionReadsTheResultFields) {
  std::vector<std::string> fields = {"01 host:/db // DB", "0"};
  const std::vector<std::string> v = Version(31, 5, 0, "-backupId K", "S9");
  fields.insert(fields.end(), v.begin(), v.end());  // 29 result fields
  peer_.replies = {Result(0, fields)};
  VEK_ObjectVersion ov;
  ASSERT_EQ(VEK_QueryGetObjectVersion(&catalog_, 31, &ov), 0);
  EXPECT_EQ(VEK_VersionId(ov.version), 31);
  EXPECT_STREQ(ov.object.host, "host");
  EXPECT_STREQ(ov.object.mountPoint, "/db");
  EXPECT_STREQ(ov.object.description, "DB");
  EXPECT_STREQ(ov.version.backupId, "K");
  VEK_ObjectVersionFree(&ov);
  EXPECT_EQ(peer_.requests[0], Bytes("1001\0 31\0\0"));
}

TEST_F(QueryTest, CloseMidListingDrainsThenTheNextQueryWorks) {
  peer_.replies = {Msg(1023, {"01 h:/a // A", "0"}),
                   Msg(1023, {"01 h:/b // B", "0"}),
                   Msg(1023, {"01 h:/c // C", "0"}),
                   Result(0),
                   Msg(1023, {"01 h:/d // A", "0"}),
                   Msg(1023, {"01 h:/e // B", "0"}),
                   Result(0)};
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1022, "%d", 1), 0);
  ASSERT_TRUE(VEK_QueryRead(&catalog_));
  VEK_QueryClose(&catalog_);
  EXPECT_EQ(peer_.replies.size(), 3u);
  int count = 0;
  VEK_Object* objects = nullptr;
  ASSERT_EQ(VEK_QueryObjects(&catalog_, 1, "A", &count, &objects), 0);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(objects[0].mountPoint, "/d");
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
}

TEST_F(QueryTest, ItemAndMediumRows) {
  std::vector<std::string> item = {"/db/f", "11", "1",  "100", "200", "420",
                                   "5",     "1",  "77", "0",   "31"};
  std::vector<std::string> medium(22, "0");
  medium[1] = "tape one";
  medium[3] = "pool desc";
  medium[7] = "0a0b0c0d:00000001:0001:0001";
  medium[18] = "3";
  peer_.replies = {Msg(1037, item), Result(0), Msg(1613, medium), Result(0)};
  int count = 0;
  VEK_Item* items = nullptr;
  ASSERT_EQ(VEK_QueryPatternSearch(&catalog_, "a", "b", "c", 1, 2, 3, &count, &items), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(items[0].size, (1ull << 32) + 5);
  EXPECT_EQ(items[0].number10, 31);
  VEK_FreeArray(count, items, sizeof(VEK_Item), nullptr);
  VEK_Medium* media = nullptr;
  ASSERT_EQ(VEK_QueryMedia(&catalog_, 31, 0, &count, &media), 0);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(media[0].id, "0a0b0c0d:00000001:0001:0001");
  EXPECT_STREQ(media[0].label, "tape one");
  EXPECT_EQ(media[0].number, 3);
  VEK_FreeArray(count, media, sizeof(VEK_Medium), nullptr);
}

TEST_F(QueryTest, VersionsSortByTime) {
  VEK_Version a{};
  VEK_Version b{};
  a.value[kVekVersionTimeField] = 10;
  b.value[kVekVersionTimeField] = 20;
  EXPECT_LT(cmp_version_asc(&a, &b), 0);
  EXPECT_GT(cmp_version_desc(&a, &b), 0);
}

}  // namespace

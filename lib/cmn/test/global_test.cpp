// Global options: GlobalDispatch over an options reply (defaults, validity,
// special rules, trace lines and the fixed order), the option readers, the
// media tables and functions, and the integer queue.
#include "cmn/global.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cmn/paths.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

namespace {

using namespace std::string_view_literals;

// An options reply: code 120, then name and value items.
std::string Reply(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string text("120", 4);
  for (const auto& [name, value] : pairs) {
    text += " " + name;
    text.push_back('\0');
    text += " " + value;
    text.push_back('\0');
  }
  text.push_back('\0');
  return text;
}

// Binding to the cell server uses BindTimeout before any options arrive.
TEST(GlobalDefaults, HoldBeforeAnyReply) {
  EXPECT_EQ(glBindTimeout, 15);
  EXPECT_EQ(glMaxSessions, 200);
  EXPECT_EQ(glSmWaitForNewClient, 30);
  EXPECT_EQ(glDbKeyLimit, -1);
  EXPECT_STREQ(glDefScriptUser, "tarnvale");
  EXPECT_EQ(mediaClasses[MmFindClass(kFileMediumClass)].defaultSize, 102400U);
}

class GlobalDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    GlobalDispatch(Reply({}).c_str());  // every global back to its default
  }
  void TearDown() override { GlobalDispatch(Reply({}).c_str()); }
  tarn::test::TempRoot root_;
};

TEST_F(GlobalDispatchTest, LiteralReplySetsGlobalsAndTracesEachOption) {
  // Code 120; pairs: MaxSessions 500 (out of range), BindTimeout 0x1F,
  // MmdLockTimeout 2 (minutes), SchedulerGranularity 5, maxbsessions in
  // lower case twice (the last wins), ClnTapeBCPrefix CLEAN, AuditLogRetention abc.
  constexpr std::string_view kReply =
      "120\0"
      " MaxSessions\0 500\0"
      " BindTimeout\0 0x1F\0"
      " MmdLockTimeout\0 2\0"
      " SchedulerGranularity\0 5\0"
      " maxbsessions\0 7\0"
      " MAXBSESSIONS\0 9\0"
      " ClnTapeBCPrefix\0 CLEAN\0"
      " AuditLogRetention\0 abc\0"
      "\0"sv;
  const std::string reply(kReply);
  int taken = 0;
  const std::string trace = cmntest::Traced("1-30", [&] { taken = GlobalDispatch(reply.c_str()); });

  EXPECT_EQ(glMaxSessions, 200);
  EXPECT_EQ(glBindTimeout, 31);
  EXPECT_EQ(glMmdLockTimeout, 120);
  EXPECT_EQ(glSchedulerGranularity, 15);
  EXPECT_EQ(glMaxBSessions, 9);
  EXPECT_STREQ(glClnTapeBCPrefix, "CLEAN");
  EXPECT_EQ(glAuditLogRetention, 60);
  EXPECT_EQ(glMaxMaPerSm, 32);  // absent: the default
  // Taken: BindTimeout, MmdLockTimeout, SchedulerGranularity, MaxBSessions, ClnTapeBCPrefix.
  EXPECT_EQ(taken, 5);

  for (const char* line : {
           "# MaxSessions               = 200  <== invalid format\n",
           "* BindTimeout               = 31\n",
           "* MmdLockTimeout            = 2 min\n",
           "  MaxMaPerSm                = 32\n",
           "* MaxBSessions              = 9\n",
           "* ClnTapeBCPrefix           = \"CLEAN\"\n",
           "  DevDetectTree             = \"/dev\"\n",
           "# AuditLogRetention         = 60  <== invalid format\n",
           "Wrong SchedulerGranularity setting (5), resetting it to default (15)...\n",
           "Parsing global options:\n",
           "Cell Server\n[ 20] -----------\n",
           "Globals updated!\n",
       }) {
    EXPECT_NE(trace.find(line), std::string::npos) << line;
  }
  // Hidden options appear only when they differ from the default.
  EXPECT_EQ(trace.find("DbKeyLimit"), std::string::npos);
}

// The option names of cmn/global_options.def, in its order.
std::vector<std::string> OptionNames() {
  return {
#define GLOPT_SECTION(title, ...)
#define GLOPT_INT(name, ...) name,
#define GLOPT_FLAG(name, ...) name,
#define GLOPT_RANGE(name, ...) name,
#define GLOPT_HIDDEN(name, ...) name,
#define GLOPT_MINUTES(name, ...) name,
#define GLOPT_MINUTES_ALSO(name, ...) name,
#define GLOPT_TEXT(name, ...) name,
#define GLOPT_QUOTED(name, ...) name,
#include "cmn/global_options.def"
  };
}

TEST_F(GlobalDispatchTest, EveryOptionIsDispatchedInTheFixedOrder) {
  const std::vector<std::string> names = OptionNames();
  ASSERT_EQ(names.size(), 211U);
  // With "1" everywhere the hidden options differ from their default and are
  // traced too; the alternative spellings, sent as well, lose to the names
  // of the table.
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& name : names) pairs.emplace_back(name, "1");
  for (const char* other : {"SessSuccessfulWhenNoObjectsBackedUp", "RptDisplayPhysicalPath"}) {
    pairs.emplace_back(other, "1");
  }
  const std::string reply = Reply(pairs);
  const std::string trace = cmntest::Traced("1-30", [&] { GlobalDispatch(reply.c_str()); });

  std::vector<std::string> traced;
  const std::regex line(R"(\] [ *#] (\S+) +=)");
  for (std::sregex_iterator it(trace.begin(), trace.end(), line), end; it != end; ++it) {
    traced.push_back((*it)[1]);
  }
  EXPECT_EQ(traced, names);
}

TEST_F(GlobalDispatchTest, LinkedDefaultsAndAlternativeNames) {
  GlobalDispatch(Reply({{"SmIdleTimeout", "10"},
                        {"SmDaIdleTimeout", "3"},
                        {"SmWaitForFirstClientSec", "45"},
                        {"SessSuccessfulWhenNoObjectsToCopyOrConsolidate", "1"},
                        {"SessionStatusWhenNoObjectToConsolidate", "0"},
                        {"SessSuccessfulWhenNoObjectsBackedUp", "1"},
                        {"RptDisplayPhysicalPath", "1"}})
                     .c_str());
  // SmConnIdleTimeout is absent and keeps what SmIdleTimeout set; the last
  // of the three wins.
  EXPECT_EQ(glSmIdleTimeout, 180);
  EXPECT_EQ(glSmWaitForFirstClient, 45);  // the minutes form defaults to the seconds form
  EXPECT_EQ(glSessionStatusWhenNoObjectToCopy, 1);
  EXPECT_EQ(glSessionStatusWhenNoObjectToConsolidate, 0);
  EXPECT_EQ(glSessSuccessfulWhenNoObjectsBackedUp, 1);
  EXPECT_EQ(glRptShowPhysicalDeviceInDeviceFlowReport, 1);

  // When both spellings are sent, the older one decides.
  GlobalDispatch(Reply({{"SessSucessfulWhenNoObjectsBackedUp", "0"},
                        {"SessSuccessfulWhenNoObjectsBackedUp", "1"}})
                     .c_str());
  EXPECT_EQ(glSessSuccessfulWhenNoObjectsBackedUp, 0);
}

TEST_F(GlobalDispatchTest, TextOptionsAreCutToTheirFieldsAndDefaultsFollowTheHost) {
  const std::string longTime(100, '9');
  const std::string longPath(5000, 'p');
  GlobalDispatch(Reply({{"DailyMaintenanceTime", longTime},
                        {"DevDetectTree", longPath},
                        {"MonBackupObj", "  \"status name\" trailing"}})
                     .c_str());
  EXPECT_EQ(std::string(glDailyMaintenanceTime), longTime.substr(0, kOptTimeSize - 1));
  EXPECT_EQ(std::string(glDevDetectTree), longPath.substr(0, kOptPathSize - 1));
  EXPECT_STREQ(glMonBackupObj, "status name");
  // Defaults come back with the next reply that lacks the options.
  GlobalDispatch(Reply({}).c_str());
  EXPECT_STREQ(glDailyMaintenanceTime, "12:00");
  EXPECT_STREQ(glMonBackupObj,
               "status type name source device size done errors warnings description");
  EXPECT_EQ(std::string(glEADRImagePath), root_.path() + "/etc/opt/tarn/server/dr/p1s");
  EXPECT_NE(std::strchr(glSMTPSenderAddress, '@'), nullptr);
}

TEST_F(GlobalDispatchTest, MinutesThatOverflowAndNegativeMinutesKeepTheDefault) {
  GlobalDispatch(
      Reply({{"MountDelay", "-1"}, {"SmPeerId", "40000000"}, {"SmWaitForDB", "35791394"}}).c_str());
  EXPECT_EQ(glMountDelay, 1800);
  EXPECT_EQ(glSmPeerId, 300);
  EXPECT_EQ(glSmWaitForDB, 35791394 * 60);
}

TEST_F(GlobalDispatchTest, AReplyWithAnotherCodeLeavesEveryDefault) {
  std::string reply = Reply({{"MaxSessions", "50"}, {"ScriptUser", "other"}});
  reply.replace(0, 3, "121");
  EXPECT_EQ(GlobalDispatch(reply.c_str()), 0);
  EXPECT_EQ(glMaxSessions, 200);
  EXPECT_STREQ(glDefScriptUser, "tarnvale");
  EXPECT_EQ(OptGetInt(reply.c_str(), "MaxSessions", nullptr), -1);
}

TEST_F(GlobalDispatchTest, MediaClassAndDevicePolicyOptions) {
  const int file = MmFindClass(kFileMediumClass);
  const int lto = MmFindClass(9);
  const int dlt = MmFindClass(2);
  const int oldDltAge = mediaClasses[dlt].ageLimit;
  const std::string trace = cmntest::Traced("1-30", [&] {
    GlobalDispatch(Reply({{"FileMediumCapacity", "200"},
                          {"MC_9", "0 12 100 2000 4"},
                          {"MC_2", "1 900 10"},  // 900 months do not fit in seconds
                          {"DP_3", "0 255"}})
                       .c_str());
  });
  EXPECT_EQ(mediaClasses[file].defaultSize, 204800U);
  EXPECT_EQ(mediaClasses[lto].visible, 0);
  EXPECT_EQ(mediaClasses[lto].ageLimit, 12 * kMediaAgeUnit);
  EXPECT_EQ(mediaClasses[lto].overwritesLimit, 100);
  EXPECT_EQ(mediaClasses[lto].defaultSize, 2000U);
  EXPECT_EQ(mediaClasses[lto].defaultConcurrency, 4);
  EXPECT_EQ(mediaClasses[dlt].ageLimit, oldDltAge);
  EXPECT_EQ(mediaClasses[dlt].overwritesLimit, 10);
  EXPECT_EQ(devPolicies[2].visible, 0);
  EXPECT_EQ(devPolicies[2].mediaClassMask, 255U);
  for (const char* line : {"MC_9 \"LTO-Ultrium\"\n", "  age limit        = 12 months\n",
                           "  default size     = 2000 KBytes\n", "DP_3 \"Jukebox\"\n",
                           "  supp media class = 0x000000ff\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(OptDispMediaClasses("121\0"), 0);

  int visible = 7;
  unsigned mask = 0;
  const std::string negative = Reply({{"DP_1", "1 -2147483647"}});
  EXPECT_EQ(OptDispatchGetDP(negative.c_str(), "DP_1", &visible, &mask), 2);
  EXPECT_EQ(mask, 0x80000001U);
}

TEST(OptReaders, IntegerForms) {
  const std::string reply = Reply({{"Hex", "0x1F"},
                                   {"Dec", " -42"},
                                   {"Bad", "abc"},
                                   {"Big", "99999999999"},
                                   {"AllOnes", "0xFFFFFFFF"}});
  int value = 7;
  EXPECT_EQ(OptGetInt(reply.c_str(), "hex", &value), 1);
  EXPECT_EQ(value, 31);
  EXPECT_EQ(OptGetInt(reply.c_str(), "Dec", &value), 1);
  EXPECT_EQ(value, -42);
  EXPECT_EQ(OptGetInt(reply.c_str(), "AllOnes", &value), 1);
  EXPECT_EQ(value, -1);
  value = 7;
  EXPECT_EQ(OptGetInt(reply.c_str(), "Bad", &value), -1);
  EXPECT_EQ(OptGetInt(reply.c_str(), "Big", &value), -1);
  EXPECT_EQ(OptGetInt(reply.c_str(), "Missing", &value), 0);
  EXPECT_EQ(value, 7);

  int global = 0;
  EXPECT_EQ(OptDispatchIntRange(reply.c_str(), "Dec", &global, 5, 0, 10), -1);
  EXPECT_EQ(global, 5);
  EXPECT_EQ(OptDispatchIntRange(reply.c_str(), "Hex", &global, 5, 0, 31), 1);
  EXPECT_EQ(global, 31);
}

TEST(OptReaders, QuotedTextIsCutToTheBuffer) {
  const std::string reply = Reply({{"Q", " \"abcdef\""}, {"Open", "\"abc"}, {"Bare", "x y"}});
  char buffer[4];
  EXPECT_EQ(OptGetQuotedStr(reply.c_str(), "Q", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "abc");
  char wide[16];
  EXPECT_EQ(OptGetQuotedStr(reply.c_str(), "Open", wide, sizeof wide), 1);
  EXPECT_STREQ(wide, "abc");
  EXPECT_EQ(OptGetQuotedStr(reply.c_str(), "Bare", wide, sizeof wide), 1);
  EXPECT_STREQ(wide, "x y");
  EXPECT_EQ(OptGetQuotedStr(reply.c_str(), "None", wide, sizeof wide), 0);
}

TEST(Media, FindClass) {
  EXPECT_STREQ(mediaClasses[MmFindClass(kFileMediumClass)].name, "File");
  EXPECT_EQ(mediaClasses[MmFindClass(22)].id, 22);
  EXPECT_STREQ(mediaClasses[MmFindClass(21)].name, "UNKNOWN");
  EXPECT_EQ(MmFindClass(0), kMediaClassRows);
}

TEST(Media, MediumStateAgainstTheFairLimit) {
  const int saved = glMmFairLimit;
  glMmFairLimit = 80;
  struct Case {
    int a, flag, b, n, capacity, limit, state;
  };
  // capacity 1000 and limit 100: fair from 800 used or 80 overwrites.
  for (const Case& c : {
           Case{500, 0, 0, 50, 1000, 100, 2},     // good
           Case{500, 0, 0, 80, 1000, 100, 1},     // overwrites reach the fair share
           Case{900, 0, 50, 10, 1000, 100, 1},    // 850 used
           Case{900, 0, 200, 10, 1000, 100, 2},   // 700 used
           Case{1200, 0, 100, 10, 1000, 100, 0},  // used beyond capacity
           Case{10, 0, 0, 100, 1000, 100, 0},     // overwrites at the limit
           Case{10, 1, 0, 0, 1000, 100, 0},       // flagged
       }) {
    EXPECT_EQ(MmMediumState(c.a, c.flag, c.b, c.n, c.capacity, c.limit), c.state)
        << c.a << " " << c.b << " " << c.n;
  }
  glMmFairLimit = saved;
}

TEST(Media, CartridgeTypes) {
  const std::string saved = glClnTapeBCPrefix;
  std::strcpy(glClnTapeBCPrefix, "CLN");
  struct Case {
    const char* option;
    const char* label;
    int type;
  };
  for (const Case& c : {
           Case{"-tar", "CLN001", 10},
           Case{nullptr, nullptr, 0},
           Case{"", "A1", 0},
           Case{"tar", "A1", 1},
           Case{"-tar", "A1", 2},
           Case{"-cpio", nullptr, 3},
           Case{"-ansi", "", 8},
           Case{"-fbackup", "x", 9},
           Case{"-TarnStorage", "x", 4},
           Case{"-FileSystem", "x", 5},
           Case{"-Tarnvale I", "x", 6},
           Case{"-Cleaning Tape", "x", 10},
           Case{"-foreign application", "x", 13},
           Case{"-UNKNOWN", "x", 12},
           Case{"-TAR", "x", 7},
           Case{"-other", "x", 7},
       }) {
    EXPECT_EQ(MmGetCartType(c.option, c.label), c.type) << (c.option ? c.option : "null");
  }
  glClnTapeBCPrefix[0] = '\0';
  EXPECT_EQ(MmGetCartType("-tar", "CLN001"), 2);  // no prefix: labels say nothing
  std::strcpy(glClnTapeBCPrefix, saved.c_str());
}

TEST(Media, CodeAndNameTables) {
  static constexpr UnRwRow kTable[] = {
      {4, "Read", 0, 0}, {8, "Write", 0, 0}, {-1, "unknown", 0, 0}};
  EXPECT_EQ(GetUnRwTable(kTable, "WRITE"), 8);
  EXPECT_EQ(GetUnRwTable(kTable, "exec"), -1);
  EXPECT_STREQ(GetUnRwTableStr(kTable, 4), "Read");
  EXPECT_STREQ(GetUnRwTableStr(kTable, 5), "unknown");
}

std::vector<int> Drain(QueRec* q) {
  std::vector<int> values;
  for (int v = 0; QueGet(q, &v) == 1;) values.push_back(v);
  return values;
}

TEST(Que, HoldsNValuesAndUngetPutsTheValueFirst) {
  QueRec q;
  ASSERT_EQ(QueInit(&q, 3), 0);
  EXPECT_EQ(QuePut(&q, 1), 1);
  EXPECT_EQ(QuePut(&q, 2), 1);
  EXPECT_EQ(QuePut(&q, 3), 1);
  EXPECT_EQ(QuePut(&q, 4), 0);
  int v = 0;
  EXPECT_EQ(QueGet(&q, &v), 1);
  EXPECT_EQ(QueUnget(&q, v), 1);
  EXPECT_EQ(QueUnget(&q, 9), 0);  // full again
  EXPECT_EQ(QueCount(&q), 3);
  EXPECT_EQ(Drain(&q), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(QueGet(&q, &v), 0);
  QueCleanup(&q);
  EXPECT_EQ(q.entries, nullptr);
}

TEST(Que, UngetAtTheFirstSlotWrapsAround) {
  QueRec q;
  ASSERT_EQ(QueInit(&q, 2), 0);
  EXPECT_EQ(QueUnget(&q, 5), 1);  // front is slot 0: the slot before it is the last
  EXPECT_EQ(QuePut(&q, 6), 1);
  EXPECT_EQ(QuePut(&q, 7), 0);
  EXPECT_EQ(Drain(&q), (std::vector<int>{5, 6}));
  for (int round = 0; round < 10; ++round) {
    EXPECT_EQ(QuePut(&q, round), 1);
    EXPECT_EQ(QueUnget(&q, -round), 1);
    EXPECT_EQ(Drain(&q), (std::vector<int>{-round, round}));
  }
  QueCleanup(&q);
  QueRec zeroed{};
  EXPECT_EQ(QuePut(&zeroed, 1), 0);
  EXPECT_EQ(QueUnget(&zeroed, 1), 0);
  EXPECT_EQ(QueInit(&zeroed, 0), -1);
}

}  // namespace

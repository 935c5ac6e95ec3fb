// The roll-forward records: the stop time in UTC and what the input carries.
#include "kestrel/rollfwd.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tarn_test.h"

TARN_RCSID("integ/db2/kestrel/test/rollfwd_test.cpp");

namespace {

// Runs with TZ set for the test's span.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

TEST(StopTime, LocalTimeOfThatDateBecomesUtc) {
  ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    const char* local;
    const char* utc;  // null: refused
  };
  const Case cases[] = {
      // Winter and summer time of the same zone.
      {"2008-01-15-12.00.00.000000", "2008-01-15-11.00.00.000000"},
      {"2008-07-15-12.00.00.000000", "2008-07-15-10.00.00.000000"},
      {"2008-07-15 12.00.00.5", "2008-07-15-10.00.00.000000"},
      {"2008-07-15T12.00.00", "2008-07-15-10.00.00.000000"},
      {"2008-07-15-12.00", nullptr},
      {"2008-07-15", nullptr},
      {"2008-13-15-12.00.00", nullptr},
      {"2008-07-15-25.00.00", nullptr},
      {"2008-07-15-12.00.00junk", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    std::string utc;
    ASSERT_EQ(StopTimeToUtc(c.local, &utc), c.utc != nullptr);
    if (c.utc != nullptr) {
      EXPECT_EQ(utc, c.utc);
    }
  }
}

// Under a zone with daylight saving: a day the month lacks and a local
// time the clock skips are refused; a time it shows twice takes the earlier
// instant. The same under the rule string and the zone name.
TEST(StopTime, DaylightSavingEdgesAreRefusedOrTakeTheEarlierInstant) {
  struct Case {
    const char* local;
    int rc;
    const char* utc;
    bool repeated;
  };
  const Case cases[] = {
      {"2026-02-30-10.00.00", kStopTimeNoSuchDate, nullptr, false},
      {"2026-04-31-10.00.00", kStopTimeNoSuchDate, nullptr, false},
      {"2025-02-29-10.00.00", kStopTimeNoSuchDate, nullptr, false},
      {"2024-02-29-10.00.00", kStopTimeOk, "2024-02-29-09.00.00.000000", false},
      {"2026-03-29-02.30.00", kStopTimeInGap, nullptr, false},
      {"2026-03-29-03.00.00", kStopTimeOk, "2026-03-29-01.00.00.000000", false},
      {"2026-10-25-02.30.00", kStopTimeOk, "2026-10-25-00.30.00.000000", true},
      {"2026-10-25-03.00.00", kStopTimeOk, "2026-10-25-02.00.00.000000", false},
      {"2026-01-01-11.00.00.5", kStopTimeOk, "2026-01-01-10.00.00.000000", false},
      {"2026-01-01-11.00.60", kStopTimeBadForm, nullptr, false},
      {"2026-01-01-11", kStopTimeBadForm, nullptr, false},
  };
  std::vector<const char*> zones = {"CET-1CEST,M3.5.0,M10.5.0/3"};
  if (std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin"))
    zones.push_back("Europe/Berlin");
  else
    std::printf("Europe/Berlin is left out: the zone files (tzdata) are not installed\n");
  for (const char* name : zones) {
    ZoneScope zone(name);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(name) + " " + c.local);
      StopTime stop;
      ASSERT_EQ(ConvertStopTime(c.local, &stop), c.rc);
      if (c.rc != kStopTimeOk) continue;
      EXPECT_EQ(stop.utc, c.utc);
      EXPECT_EQ(stop.repeated, c.repeated);
    }
  }
}

TEST(RfwdInput, AliasStopTimeAndTableSpaces) {
  ZoneScope zone("UTC0");
  struct Case {
    const char* what;
    Db2Database db;
    std::string stopTime;
    int rc;
    const char* alias;
    const char* stop;
    int connectMode;
    int tablespaces;
  };
  Db2Database whole;
  whole.name = "SAMPLE";
  Db2Database renamed = whole;
  renamed.newName = "COPY";
  Db2Database spaces = whole;
  spaces.hasTablespaces = true;
  spaces.tablespaces = {"TS1", "TS2"};
  Db2Database offline = spaces;
  offline.online = 0;
  Db2Database tooLong = spaces;
  tooLong.tablespaces = {"A_NAME_LONGER_THAN_18"};
  const Case cases[] = {
      {"end of logs", whole, "", 0, "SAMPLE", kEndOfLogs, 0, 0},
      {"new name and time", renamed, "2020-02-02-02.02.02", 0, "COPY", "2020-02-02-02.02.02.000000",
       0, 0},
      {"table spaces online", spaces, "", 0, "SAMPLE", kEndOfLogs, 1, 2},
      {"table spaces without the mode word", offline, "", 0, "SAMPLE", kEndOfLogs, 0, 2},
      {"bad time", whole, "2020-02-02", -1, nullptr, nullptr, 0, 0},
      {"long table-space name", tooLong, "", -1, nullptr, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AgentOptions options;
    options.stopTime = c.stopTime;
    RfwdInput in;
    ASSERT_EQ(InitRfwdInput(&in, c.db, options, nullptr, 3), c.rc);
    if (c.rc != 0) continue;
    EXPECT_STREQ(in.input.pDbAlias, c.alias);
    EXPECT_STREQ(in.input.pStopTime, c.stop);
    EXPECT_EQ(in.input.ConnectMode, c.connectMode);
    EXPECT_EQ(in.input.NumNodeInfo, 3);
    if (c.tablespaces == 0) {
      EXPECT_EQ(in.input.pTablespaceList, nullptr);
    } else {
      ASSERT_NE(in.input.pTablespaceList, nullptr);
      EXPECT_EQ(in.input.pTablespaceList->num_entry, c.tablespaces);
      EXPECT_STREQ(in.input.pTablespaceList->tablespace[1].tablespace_entry, "TS2");
    }
  }
  RfwdOutput out;
  ASSERT_EQ(InitRfwdOutput(&out, 3), 0);
  EXPECT_EQ(out.replies.size(), 3u);
  EXPECT_EQ(out.output.pNodeInfo, out.replies.data());
}

}  // namespace

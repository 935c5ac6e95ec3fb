// Host lists: IP specifications in valid and invalid forms, and matching a
// client by address or name against an IP spec list.
#include "parse/ipspec.h"

#include <string>

#include "cmn/cmninit.h"
#include "tarn_test.h"

namespace {

struct Ranges {
  int low[4];
  int high[4];
};

TEST(IPspecToRanges, ValidFormsGiveRanges) {
  Ranges r{};
  ASSERT_EQ(IPspecToRanges("10.0.0-7.*", r.low, r.high, 4), 1);
  EXPECT_EQ((std::vector<int>{r.low[0], r.high[0], r.low[1], r.high[1], r.low[2], r.high[2],
                              r.low[3], r.high[3]}),
            (std::vector<int>{10, 10, 0, 0, 0, 7, 0, 255}));
  ASSERT_EQ(IPspecToRanges("00255.1.2.3", r.low, r.high, 4), 1);  // five digits at most
  EXPECT_EQ(r.low[0], 255);
  int low = 0;
  int high = 0;
  EXPECT_EQ(IPspecToRanges("3-200", &low, &high, 1), 1);
  EXPECT_EQ(low, 3);
  EXPECT_EQ(high, 200);
}

TEST(IPspecToRanges, InvalidFormsAreRefused) {
  Ranges r{};
  for (const char* spec :
       {"", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "1..2.3", "256.1.1.1", "000001.1.1.1",
        "7-3.1.1.1", "3-3.1.1.1", "1-.1.1.1", "-1.1.1.1", "1-2-3.1.1.1", "a.b.c.d", " 1.2.3.4",
        "1.2.3.4 ", "**.1.1.1", "+1.1.1.1", "1.2.3.0x4"}) {
    EXPECT_EQ(IPspecToRanges(spec, r.low, r.high, 4), 0) << spec;
  }
  EXPECT_EQ(IPspecToRanges(nullptr, r.low, r.high, 4), 0);
  EXPECT_EQ(IPspecToRanges("1", r.low, r.high, 0), 0);
}

TEST(ConnectionIPCheck, AddressesAgainstSpecifications) {
  EXPECT_EQ(ConnectionIPCheck("any", nullptr, "*"), 1);
  EXPECT_EQ(ConnectionIPCheck(nullptr, "10.0.0.5", "10.0.0-7.*"), 1);
  EXPECT_EQ(ConnectionIPCheck(nullptr, "10.0.3.200", "10.0.0-7.*"), 1);
  EXPECT_EQ(ConnectionIPCheck(nullptr, "10.0.8.1", "10.0.0-7.*"), 0);
  EXPECT_EQ(ConnectionIPCheck("host", "10.0.8.1", " other ; 10.0.8.* ;"), 1);
  // Without an address a host written as an address is used as one.
  EXPECT_EQ(ConnectionIPCheck("10.0.0.5", nullptr, "10.0.0-7.*"), 1);
  EXPECT_EQ(ConnectionIPCheck("10.0.0.5", "", "10.0.0.5"), 1);
  // An IP spec never matches a client known only by name.
  EXPECT_EQ(ConnectionIPCheck("host", nullptr, "*.*.*.*"), 0);
  EXPECT_EQ(ConnectionIPCheck("host", "::1", "*.*.*.*"), 0);
  EXPECT_EQ(ConnectionIPCheck("host", "10.0.0.1", nullptr), 0);
}

TEST(ConnectionIPCheck, HostNames) {
  EXPECT_EQ(ConnectionIPCheck("alpha", "10.1.1.1", "beta;Alpha"), 1);  // host names fold A-Z
  EXPECT_EQ(ConnectionIPCheck("alpha", nullptr, "beta; gamma"), 0);
  // A downward range is no IP spec: the entry is a name.
  EXPECT_EQ(ConnectionIPCheck("10.0.7-3.1", "10.0.5.1", "10.0.7-3.1"), 1);
  EXPECT_EQ(ConnectionIPCheck("other", "10.0.5.1", "10.0.7-3.1"), 0);
  // A host taken as the address is not compared as a name.
  EXPECT_EQ(ConnectionIPCheck("10.0.0.5", nullptr, "10.0.0.6;10.0.0.5x"), 0);
  // Entries of 65 characters or more are skipped; 64 still count.
  const std::string name64(64, 'h');
  const std::string name65(65, 'h');
  EXPECT_EQ(ConnectionIPCheck(name64.c_str(), nullptr, name64.c_str()), 1);
  EXPECT_EQ(ConnectionIPCheck(name65.c_str(), nullptr, (name65 + ";*").c_str()), 1);
  EXPECT_EQ(ConnectionIPCheck(name65.c_str(), nullptr, name65.c_str()), 0);
  EXPECT_EQ(ConnectionIPCheck("alpha", nullptr, ""), 0);
  EXPECT_EQ(ConnectionIPCheck("alpha", nullptr, ";;  ;"), 0);
}

TEST(HostInArgvList, ComparesHostNames) {
  ArgvVec argv{};
  ArgvAdd(&argv, "alpha");
  ArgvAdd(&argv, "Beta");
  EXPECT_EQ(HostInArgvList("beta", &argv), 1);
  EXPECT_EQ(HostInArgvList("gamma", &argv), 0);
  EXPECT_EQ(HostInArgvList("alpha", nullptr), 0);
  ArgvFree(&argv);
}

}  // namespace

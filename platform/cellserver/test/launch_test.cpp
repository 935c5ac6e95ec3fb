// The launch file of the session manager's agent start: what it takes and
// what it refuses.
#include "cellserver/launch.h"

#include <gtest/gtest.h>

namespace tarn::cellserver {
namespace {

TEST(LaunchSpec, ReadsEveryLine) {
  std::string why;
  const auto spec = ParseLaunchSpec(
      "# agent\nbarlist nightly\nappname db2inst1\nclient 127.0.0.1 4000\nprogram /k\n"
      "arg -incr\nenv TEST_BAR=1\ninput -backup -dbname SAMPLE\ntimeout 30\n",
      &why);
  ASSERT_TRUE(spec) << why;
  EXPECT_EQ(spec->application, "DB2");
  EXPECT_EQ(spec->clientHost, "127.0.0.1");
  EXPECT_EQ(spec->clientPort, 4000);
  EXPECT_EQ(spec->args, std::vector<std::string>{"-incr"});
  EXPECT_EQ(spec->env, std::vector<std::string>{"TEST_BAR=1"});
  EXPECT_EQ(spec->input, "-backup -dbname SAMPLE");
  EXPECT_EQ(spec->timeoutSeconds, 30);
}

TEST(LaunchSpec, RefusesWhatCannotRun) {
  const std::string base = "barlist b\nappname i\nprogram /k\n";
  using namespace std::string_literals;
  const std::string bad[] = {"client 127.0.0.1\n",
                             "client 127.0.0.1 0\n",
                             "client 127.0.0.1 1\ntimeout 0\n",
                             "client 127.0.0.1 1\nunknown x\n",
                             "client 127.0.0.1 1\ninput -backup \0-dbname SAMPLE\n"s};
  for (const std::string& tail : bad) {
    std::string why;
    EXPECT_FALSE(ParseLaunchSpec(base + tail, &why)) << tail;
    EXPECT_FALSE(why.empty());
  }
  EXPECT_FALSE(ParseLaunchSpec("client 127.0.0.1 1\nprogram /k\n", nullptr));
}

}  // namespace
}  // namespace tarn::cellserver

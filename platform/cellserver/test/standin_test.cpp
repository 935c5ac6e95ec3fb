// The test helper that runs the stand-in cell server and the program's own
// command line: ready on free ports, TARN_INET_PORT, always stopped.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "cellserver/testing/cellserver_standin.h"
#include "raw_client.h"

using tarn::test::CellServerStandIn;

namespace {

// Runs the program with `args`; its exit status.
int RunProgram(std::vector<std::string> args) {
  args.insert(args.begin(), TARN_CELLSERVER_PROGRAM);
  return tarn::test::RunInChild([&] {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    freopen("/dev/null", "w", stderr);
    execv(argv[0], argv.data());
    return 127;
  });
}

}  // namespace

TEST(StandIn, StartsOnFreePortsAndStopsOnDestruction) {
  pid_t pid = -1;
  {
    CellServerStandIn server;
    ASSERT_TRUE(server.ready());
    EXPECT_NE(server.inetPort(), server.requestPort());
    pid = server.pid();
    EXPECT_EQ(kill(pid, 0), 0);
    unsetenv("TARN_INET_PORT");
    server.exportInetPort();
    EXPECT_STREQ(std::getenv("TARN_INET_PORT"), std::to_string(server.inetPort()).c_str());
  }
  EXPECT_NE(kill(pid, 0), 0);
  EXPECT_EQ(std::getenv("TARN_INET_PORT"), nullptr);
}

TEST(StandIn, TwoAtOnceAndTheirTrafficApart) {
  CellServerStandIn a;
  CellServerStandIn b;
  ASSERT_TRUE(a.ready() && b.ready());
  EXPECT_NE(a.inetPort(), b.inetPort());
  cstest::Client(a.requestPort()).login();
  EXPECT_TRUE(a.waitForTraffic("request < 0 \"cstest\""));
  EXPECT_FALSE(b.waitForTraffic("request < 0", std::chrono::milliseconds(50)));
  EXPECT_EQ(b.traffic().size(), 1u);  // "server start ..."
}

TEST(StandIn, BadFixtureIsReportedToTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        CellServerStandIn server({.fixture = "bogus\n"});
        EXPECT_FALSE(server.ready());
      },
      "ended at start");
}

TEST(Program, RefusesABadCommandLine) {
  tarn::test::TempDir dir;
  const auto exitCode = [](int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; };
  EXPECT_EQ(exitCode(RunProgram({})), 2);
  EXPECT_EQ(exitCode(RunProgram({"--state", dir.path(), "--bogus", "1"})), 2);
  EXPECT_EQ(exitCode(RunProgram({"--state", dir.path(), "--inet-port", "65536"})), 2);
  EXPECT_EQ(exitCode(RunProgram({"--state", dir.path(), "--fixture", dir.path() + "/none"})), 2);
  EXPECT_EQ(exitCode(RunProgram({"--state", dir.path(), "--bind", "not-an-address"})), 1);
}

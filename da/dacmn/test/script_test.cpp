// Pre- and post-execution commands: the VEKOEXECOFF switch, bare names run
// from lbin, refused paths and unsafe names, missing programs, arguments
// and time-outs.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cmn/paths.h"
#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"

namespace {

std::vector<std::string> reports;
void CaptureReport(const char* text) {
  reports.emplace_back(text != nullptr ? text : "");
}
void DropConsole(const char*) {}

class DaScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhInit(0);
    ErhSetHooks(&previous_, CaptureReport, DropConsole);
    reports.clear();
    for (const char* name : {"VEKOEXECOFF", "VEKSCRIPTTIMEOUT", "VEKEXECTIMEOUT"}) unsetenv(name);
    Program("/opt/tarn/lbin/hello", "printf '%s|' \"$@\" > " + ArgsFile() + "\nexit 3");
    Program("/opt/tarn/lbin/sleeper", "sleep 5");
  }
  void TearDown() override {
    ErhSetHooks(nullptr, previous_.report, previous_.console);
    for (const char* name : {"VEKOEXECOFF", "VEKSCRIPTTIMEOUT"}) unsetenv(name);
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  void Program(const std::string& path, const std::string& body) {
    root_.write(path, "#!/bin/sh\n" + body + "\n");
    chmod(root_.at(path).c_str(), 0755);
  }
  std::string ArgsFile() const { return root_.at("/var/opt/tarn/tmp/args"); }
  std::string Args() const { return tarn::test::ReadFile(ArgsFile()); }
  std::string InetLog() const { return root_.read("/var/opt/tarn/log/inet.log"); }

  tarn::test::TempRoot root_;
  ErhHooks previous_{};
};

TEST_F(DaScriptTest, BareNameRunsFromLbinWithItsArgumentsAndGivesItsStatus) {
  EXPECT_EQ(DaRunScript("hello one \"two words\" three", 30), 3);
  EXPECT_EQ(Args(), "one|two words|three|");
  EXPECT_TRUE(reports.empty());
}

TEST_F(DaScriptTest, SwitchedOffRunsNothingAndSaysSoInTheLog) {
  setenv("VEKOEXECOFF", "1", 1);
  EXPECT_EQ(DaRunScript("hello a", 30), 0);
  EXPECT_EQ(Args(), "");
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_NE(InetLog().find("VEKOEXECOFF=1, command \"hello a\" specified but not executed."),
            std::string::npos);
}

TEST_F(DaScriptTest, PathsAreRefusedWhenOnlyLbinIsAllowed) {
  setenv("VEKOEXECOFF", "2", 1);
  EXPECT_EQ(DaRunScript("/bin/true", 30), 7);
  EXPECT_EQ(DaRunScript("./hello", 30), 7);
  EXPECT_NE(InetLog().find("VEKOEXECOFF=2, command \"/bin/true\" specified but not executed."),
            std::string::npos);
  EXPECT_EQ(reports.size(), 2u);
  // A bare name still runs.
  EXPECT_EQ(DaRunScript("hello", 30), 3);
}

TEST_F(DaScriptTest, PathsRunAsGivenWhenAllowed) {
  Program("/opt/tarn/bin/own", "exit 9");
  EXPECT_EQ(DaRunScript((root_.at("/opt/tarn/bin") + "//own").c_str(), 30), 9);
}

TEST_F(DaScriptTest, UnsafeNamesAreRefused) {
  EXPECT_EQ(DaRunScript("hello|tee", 30), 7);
  EXPECT_EQ(DaRunScript("..", 30), 7);
  EXPECT_EQ(Args(), "");
}

TEST_F(DaScriptTest, MissingProgramGivesMinusOne) {
  EXPECT_EQ(DaRunScript("nosuch", 30), -1);
  EXPECT_EQ(DaRunScript("/nonexistent/prog x", 30), -1);
  EXPECT_EQ(DaRunScript("", 30), -1);
  EXPECT_EQ(DaRunScript(nullptr, 30), -1);
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(DaScriptTest, CommandThatRunsTooLongIsEndedWithTheRunnersTimeOut) {
  tarn::test::Watchdog watchdog(30);
  EXPECT_EQ(DaRunScript("sleeper", 1), -2);
  // No time-out given: VEKSCRIPTTIMEOUT applies.
  setenv("VEKSCRIPTTIMEOUT", "1", 1);
  EXPECT_EQ(DaRunScript("sleeper", 0), -2);
}

}  // namespace

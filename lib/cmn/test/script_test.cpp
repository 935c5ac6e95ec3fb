// Running programs in a child: exit codes, signals, exec failures, input,
// output relay, time-outs, detached runs and the signal state left behind.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/script_test.cpp");

namespace {

std::vector<std::string> consoleLines;

void CaptureConsole(const char* text) {
  consoleLines.emplace_back(text != nullptr ? text : "");
}

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhInit(0);
    ErhSetHooks(&previous_, nullptr, CaptureConsole);
    consoleLines.clear();
    unsetenv("VEKEXECTIMEOUT");
  }
  void TearDown() override {
    ErhSetHooks(nullptr, previous_.report, previous_.console);
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }

  // Writes an executable shell script into the scratch directory.
  void Script(const std::string& name, const std::string& body) {
    const std::string path = dir_.path() + "/" + name;
    tarn::test::WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }

  int Run(const std::string& name, const char* input, int timeout, int flags, int* value,
          const char* user = nullptr) {
    const char* argv[] = {name.c_str(), "first arg", nullptr};
    return CmnRunScriptExAsUser(dir_.path().c_str(), 2, argv, input, timeout, flags, user, nullptr,
                                value);
  }

  static double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  }

  tarn::test::Watchdog watchdog_{90};
  tarn::test::TempRoot root_;
  tarn::test::TempDir dir_;
  ErhHooks previous_{};
};

// No child of this process is left, running or dead.
bool NoChildrenLeft() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST_F(ScriptTest, ExitCodeAndArgumentsComeBack) {
  Script("args.sh", "echo \"$0|$1\"; exit 3");
  int value = -7;
  EXPECT_EQ(Run("args.sh", nullptr, 10, 0, &value), 0);
  EXPECT_EQ(value, 3);
  ASSERT_EQ(consoleLines.size(), 1u);
  EXPECT_EQ(consoleLines[0], dir_.path() + "/args.sh|first arg");
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, DeathBySignalGivesSignalPlus100) {
  Script("killed.sh", "kill -9 $$");
  int value = 0;
  EXPECT_EQ(Run("killed.sh", nullptr, 10, 0, &value), -1);
  EXPECT_EQ(value, 109);
}

TEST_F(ScriptTest, ExecFailureIsReportedWithTheChildsErrno) {
  int value = 0;
  EXPECT_EQ(Run("missing.sh", nullptr, 10, 0, &value), -3);
  EXPECT_EQ(value, ENOENT);

  tarn::test::WriteFile(dir_.path() + "/plain.txt", "not a program\n");
  chmod((dir_.path() + "/plain.txt").c_str(), 0644);
  EXPECT_EQ(Run("plain.txt", nullptr, 10, 0, &value), -3);
  EXPECT_EQ(value, EACCES);
  // The report is not shown as program output.
  EXPECT_TRUE(consoleLines.empty());
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, NoProgramGivesMinus4) {
  int value = 55;
  const char* argv[] = {nullptr};
  EXPECT_EQ(CmnRunScriptEx(dir_.path().c_str(), 0, argv, nullptr, 10, 0, &value), -4);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(CmnRunScriptEx(dir_.path().c_str(), 1, argv, nullptr, 10, 0, &value), -4);
}

TEST_F(ScriptTest, RelativeProgramRunsFromLbin) {
  const std::string path = root_.at("/opt/tarn/lbin/inlbin.sh");
  tarn::test::WriteFile(path, "#!/bin/sh\necho lbin\n");
  chmod(path.c_str(), 0755);
  const char* argv[] = {"inlbin.sh"};
  int value = -1;
  EXPECT_EQ(CmnRunScriptEx(nullptr, 1, argv, nullptr, 10, 0, &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(consoleLines, std::vector<std::string>{"lbin"});
}

TEST_F(ScriptTest, InputIsFedAndOutputRelayedLineByLine) {
  Script("echo.sh", "read a; read b; echo \"got $a\"; echo \"and $b\"; printf 'no newline'");
  int value = -1;
  EXPECT_EQ(Run("echo.sh", "secret\nmore\n", 10, kRunNoInputTrace, &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(consoleLines, (std::vector<std::string>{"got secret", "and more", "no newline"}));
}

TEST_F(ScriptTest, LongLinesAreCutInto1023CharacterPieces) {
  Script("long.sh", "head -c 2100 /dev/zero | tr '\\0' x; echo");
  int value = -1;
  EXPECT_EQ(Run("long.sh", nullptr, 10, 0, &value), 0);
  ASSERT_EQ(consoleLines.size(), 3u);
  EXPECT_EQ(consoleLines[0], std::string(1023, 'x'));
  EXPECT_EQ(consoleLines[1], std::string(1023, 'x'));
  EXPECT_EQ(consoleLines[2], std::string(54, 'x'));
}

TEST_F(ScriptTest, LargeInputDoesNotDeadlockAgainstLargeOutput) {
  // The child echoes everything back; both directions exceed a pipe buffer.
  Script("cat.sh", "cat");
  std::string input;
  for (int i = 0; i < 20000; ++i) input += "line " + std::to_string(i) + "\n";
  int value = -1;
  EXPECT_EQ(Run("cat.sh", input.c_str(), 20, kRunNoOutputTrace | kRunNoInputTrace, &value), 0);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(consoleLines.size(), 20000u);
  EXPECT_EQ(consoleLines.back(), "line 19999");
}

TEST_F(ScriptTest, FailedInputWriteIsAnErrorAndTheChildIsReaped) {
  // The child closes its input at once; a text larger than the pipe buffer
  // cannot be written.
  Script("closer.sh", "exec 0<&-; sleep 1; exit 0");
  const std::string input(1 << 20, 'a');
  int value = 0;
  EXPECT_EQ(Run("closer.sh", input.c_str(), 10, kRunNoInputTrace, &value), -1);
  EXPECT_EQ(value, EPIPE);
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, SilenceLongerThanTheTimeoutKillsTheChild) {
  Script("silent.sh", "echo started; exec sleep 30");
  int value = 77;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("silent.sh", nullptr, 1, 0, &value), -2);
  EXPECT_LT(Seconds(start), 10.0);
  EXPECT_EQ(value, 77);
  EXPECT_EQ(consoleLines, std::vector<std::string>{"started"});
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, SteadyOutputRunsPastTheTimeout) {
  // A line every 0.3 s for 2.4 s against a silence limit of 2 s: the script
  // outlives the limit, and a busy machine would have to hold a line back
  // for 1.7 s to break it.
  Script("steady.sh", "for i in 1 2 3 4 5 6 7 8; do echo tick $i; sleep 0.3; done; exit 2");
  int value = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("steady.sh", nullptr, 2, 0, &value), 0);
  EXPECT_GT(Seconds(start), 2.0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(consoleLines.size(), 8u);
}

TEST_F(ScriptTest, ChildThatClosesItsOutputIsStillTimedOut) {
  Script("quiet.sh", "exec >/dev/null 2>&1; exec sleep 30");
  int value = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("quiet.sh", nullptr, 1, 0, &value), -2);
  EXPECT_LT(Seconds(start), 10.0);
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, ZeroTimeoutMeansNoLimit) {
  Script("slow.sh", "sleep 1.5; exit 6");
  int value = -1;
  EXPECT_EQ(Run("slow.sh", nullptr, 0, 0, &value), 0);
  EXPECT_EQ(value, 6);
  EXPECT_EQ(Run("slow.sh", nullptr, 0, kRunNoOutputRead, &value), 0);
  EXPECT_EQ(value, 6);
}

TEST_F(ScriptTest, EnvironmentTimeoutReplacesAGivenOne) {
  Script("slow.sh", "exec sleep 30");
  setenv("VEKEXECTIMEOUT", "1", 1);
  int value = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("slow.sh", nullptr, 0, 0, &value), -2);
  EXPECT_LT(Seconds(start), 10.0);
  unsetenv("VEKEXECTIMEOUT");
}

TEST_F(ScriptTest, WaitOnlyDoesNotReadOutputButKeepsTheExitCode) {
  Script("wait.sh", "echo hidden; exit 4");
  int value = -1;
  EXPECT_EQ(Run("wait.sh", nullptr, 10, kRunNoOutputRead, &value), 0);
  EXPECT_EQ(value, 4);
  EXPECT_TRUE(consoleLines.empty());

  Script("long.sh", "exec sleep 30");
  EXPECT_EQ(Run("long.sh", nullptr, 1, kRunNoOutputRead, &value), -2);
  EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ScriptTest, DetachedRunReturnsAtOnceAndLeavesNoZombie) {
  const std::string marker = dir_.path() + "/done";
  const std::string go = dir_.path() + "/go";
  // The script cannot end before the test lets it (or 20 s passed), so a run
  // that waited for it would be caught without a clock.
  Script("later.sh",
         "read word; i=0; while [ ! -e '" + go +
             "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; echo \"$word\" > '" + marker +
             "'");
  int value = 12;
  EXPECT_EQ(Run("later.sh", "written\n", -1, kRunNoOutputRead, &value), 0);
  EXPECT_EQ(tarn::test::ReadFile(marker), "") << "the run waited for the script";
  EXPECT_TRUE(NoChildrenLeft());
  tarn::test::WriteFile(go, "");
  for (int i = 0; i < 400 && tarn::test::ReadFile(marker).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(tarn::test::ReadFile(marker), "written\n");
}

TEST_F(ScriptTest, CallersSignalStateIsKeptAndIgnoredSigchldLosesNoStatus) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction saved {};
  sigaction(SIGCHLD, &ignore, &saved);
  sigset_t before;
  sigprocmask(SIG_SETMASK, nullptr, &before);

  Script("five.sh", "exit 5");
  int value = -1;
  EXPECT_EQ(Run("five.sh", nullptr, 10, 0, &value), 0);
  EXPECT_EQ(value, 5);

  struct sigaction now {};
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  sigset_t after;
  sigprocmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGCHLD), sigismember(&before, SIGCHLD));
  EXPECT_EQ(sigismember(&after, SIGPIPE), sigismember(&before, SIGPIPE));
  sigaction(SIGCHLD, &saved, nullptr);
}

// A guest in a host process finds its child's end without ever taking the
// host's SIGCHLD action, and still keeps exit codes and time-outs.
TEST_F(ScriptTest, GuestLeavesTheHostsSigchldActionAlone) {
  const int status = tarn::test::RunInChild([this] {
    static volatile sig_atomic_t hostSignals = 0;
    struct sigaction host {};
    host.sa_handler = [](int) { hostSignals = hostSignals + 1; };
    sigemptyset(&host.sa_mask);
    sigaction(SIGCHLD, &host, nullptr);
    cmnDefine_ORACLE8 = 1;

    // Another thread of the host watches the action during the runs.
    std::atomic<bool> done{false};
    std::atomic<bool> swapped{false};
    std::thread watcher([&] {
      while (!done) {
        struct sigaction now {};
        sigaction(SIGCHLD, nullptr, &now);
        if (now.sa_handler != host.sa_handler) swapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    Script("seven.sh", "echo out; sleep 0.3; exit 7");
    Script("stuck.sh", "exec sleep 30");
    int value = -1;
    const int exitCode = Run("seven.sh", "in\n", 10, 0, &value);
    const int exitValue = value;
    const int waited = Run("seven.sh", nullptr, 10, kRunNoOutputRead, &value);
    const int waitedValue = value;
    const int stuck = Run("stuck.sh", nullptr, 1, 0, &value);
    done = true;
    watcher.join();
    if (exitCode != 0 || exitValue != 7) return 1;
    if (waited != 0 || waitedValue != 7) return 2;
    if (stuck != -2 || !NoChildrenLeft()) return 3;
    if (swapped) return 4;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check";
}

TEST_F(ScriptTest, RunsAsTheGivenOrTheDefaultScriptUser) {
  const struct passwd* me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  const std::string myName = me->pw_name;
  Script("who.sh", "id -un");
  int value = -1;
  EXPECT_EQ(Run("who.sh", nullptr, 10, 0, &value, myName.c_str()), 0);
  EXPECT_EQ(consoleLines, std::vector<std::string>{myName});

  // An unknown user falls back to the global options' script user.
  consoleLines.clear();
  StrCopy(glDefScriptUser, myName.c_str(), sizeof glDefScriptUser - 1);
  EXPECT_EQ(Run("who.sh", nullptr, 10, 0, &value, "no_such_user_tarn"), 0);
  EXPECT_EQ(consoleLines, std::vector<std::string>{myName});

  // Without either the child says so and ends with 13.
  consoleLines.clear();
  glDefScriptUser[0] = '\0';
  EXPECT_EQ(Run("who.sh", nullptr, 10, 0, &value, "no_such_user_tarn"), 0);
  EXPECT_EQ(value, 13);
  EXPECT_EQ(consoleLines, std::vector<std::string>{"Cannot switch to user \"no_such_user_tarn\"."});
}

}  // namespace

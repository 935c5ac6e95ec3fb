// Keyword matching and lookup, options in argument vectors, the host files of
// the client and the server, and the interactive command mode on a terminal.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/user.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/cli_test.cpp");

namespace {

TEST(CliKwTest, AbbreviationsDownToTheBracket) {
  for (const char* word : {"MOUNT", "Mou", "mount", "moun"}) {
    EXPECT_EQ(CliKwLookup(word, fenComArr, 5, nullptr), kCliCmdMount) << word;
  }
  EXPECT_EQ(CliKwLookup("mo", fenComArr, 5, nullptr), -1);
  EXPECT_EQ(CliKwLookup("mountx", fenComArr, 5, nullptr), -1);
  EXPECT_EQ(CliKwLookup("", fenComArr, 5, nullptr), -1);
  EXPECT_EQ(CliKwLookup("continue", fenComArr, 5, nullptr), kCliCmdContinue);
  EXPECT_EQ(CliKwLookup("can", fenComArr, 5, nullptr), kCliCmdCancel);

  // A pattern without "[" must be typed in full; a shared ":" ends the word.
  EXPECT_EQ(CliKwMatch("os", "os"), 1);
  EXPECT_EQ(CliKwMatch("o", "os"), 0);
  EXPECT_EQ(CliKwMatch("type:DB2", "ty[pe:"), 1);
  EXPECT_EQ(CliKwMatch("ty", "ty[pe:"), 1);
  EXPECT_EQ(CliKwMatch("type", "ty[pe:"), 1);
  EXPECT_EQ(CliKwMatch("typex", "ty[pe:"), 0);
  // Upper-case input folds; an upper-case pattern letter does not take lower.
  EXPECT_EQ(CliKwMatch("VER", "ver[sion"), 1);
  EXPECT_EQ(CliKwMatch("ver", "VER[sion"), 0);
  EXPECT_EQ(CliKwMatch(nullptr, "x"), 0);
}

TEST(CliKwTest, TwoRowsAcceptingTheSameWordAreAmbiguous) {
  const CliKeyword table[] = {{1, "st[art", 0}, {2, "st[op", 0}, {3, "stat[us", 0}};
  EXPECT_EQ(CliKwLookup("st", table, 3, nullptr), -2);
  EXPECT_EQ(CliKwLookup("sto", table, 3, nullptr), 2);
  // "stat" goes past "sta" of start, where start needs an "r".
  EXPECT_EQ(CliKwLookup("stat", table, 3, nullptr), 3);
  EXPECT_EQ(CliKwLookup("sta", table, 3, nullptr), 1);
}

TEST(CliKwTest, NoPrefixNegatesOnlyNegatableRows) {
  const CliKeyword table[] = {{1, "comp[ress", kCliKwNegatable}, {2, "enc[rypt", 0}, {3, "no_", 0}};
  int negation = -1;
  EXPECT_EQ(CliKwLookup("no_compress", table, 3, &negation), 1);
  EXPECT_EQ(negation, 1);
  EXPECT_EQ(CliKwLookup("NO_comp", table, 3, &negation), 1);
  EXPECT_EQ(negation, 1);
  EXPECT_EQ(CliKwLookup("no_encrypt", table, 3, &negation), -1);
  EXPECT_EQ(negation, 1);
  EXPECT_EQ(CliKwLookup("compress", table, 3, &negation), 1);
  EXPECT_EQ(negation, 0);
  // The prefix alone is looked up as it is.
  EXPECT_EQ(CliKwLookup("no_", table, 3, &negation), 3);
  EXPECT_EQ(negation, 0);
}

TEST(CliKwTest, FindIdLooksOnlyAtDashArguments) {
  const CliKeyword table[] = {{7, "ver[sion", 0}, {8, "deb[ug", kCliKwNegatable}};
  const char* argv[] = {"prog", "version", "-x", "-no_debug", "-ver"};
  int negation = -1;
  EXPECT_EQ(CliFindID(5, argv, table, 2, 7, &negation), 4);
  EXPECT_EQ(negation, 0);
  EXPECT_EQ(CliFindID(5, argv, table, 2, 8, &negation), 3);
  EXPECT_EQ(negation, 1);
  EXPECT_EQ(CliFindID(5, argv, table, 2, 9, &negation), -1);
}

class HostFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhInit(0);
    ErhClearError();
  }
  void TearDown() override {
    ErhClearError();
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  std::string Local() { return CmnExpandHostname("localhost"); }
  tarn::test::TempRoot root_;
};

TEST_F(HostFileTest, CellServerIsTheFirstLineThatResolves) {
  root_.write("/etc/opt/tarn/client/cell_server", "\n\nno-such-host.invalid\n  localhost  \r\nother\n");
  char* host = nullptr;
  ASSERT_EQ(CliReadCSHost(&host), 0);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(std::string(host), Local());
  safe_free(host, TARN_HERE);
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(HostFileTest, CellServerFileMissingOrUnresolvable) {
  char* host = reinterpret_cast<char*>(1);
  EXPECT_EQ(CliReadCSHost(&host), -1);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(ErhErrno(), ERH_NO_CS_HOST);
  ErhClearError();
  root_.write("/etc/opt/tarn/client/cell_server", "no-such-host.invalid\n" + std::string(3000, 'l') + "\n");
  EXPECT_EQ(CliReadCSHost(&host), -1);
  EXPECT_EQ(ErhErrno(), ERH_NO_CS_HOST);
}

TEST_F(HostFileTest, ManagerOfManagersHost) {
  char* host = nullptr;
  EXPECT_EQ(CliReadMCMHost(&host), -1);
  EXPECT_EQ(ErhErrno(), ERH_CSA_READ);
  ErhClearError();

  root_.write("/etc/opt/tarn/server/cell/mom_server", " \n\t\n");
  EXPECT_EQ(CliReadMCMHost(&host), -1);
  EXPECT_EQ(ErhErrno(), ERH_NO_MCM_HOST);
  ErhClearError();

  root_.write("/etc/opt/tarn/server/cell/mom_server", "  localhost\n");
  ASSERT_EQ(CliReadMCMHost(&host), 0);
  EXPECT_EQ(std::string(host), Local());
  safe_free(host, TARN_HERE);

  root_.write("/etc/opt/tarn/server/cell/mom_server", "\tno-such-host.invalid \n");
  ASSERT_EQ(CliReadMCMHost(&host), 0);
  EXPECT_EQ(std::string(host), "no-such-host.invalid");
  safe_free(host, TARN_HERE);
}

TEST(CliErhReportTest, EmptyTextPrintsTheCurrentError) {
  const int status = tarn::test::RunInChild([] {
    tarn::test::TempDir dir;
    const std::string path = dir.path() + "/err";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    ErhInit(0);
    CliErhReport("plain text");
    ErhMark(ERH_NO_CS_HOST, 0, "test", 3);
    CliErhReport(cmnEmptyString);
    const std::string expected = std::string("plain text\n") + ErhErrnoToText() + "\n";
    return tarn::test::ReadFile(path) == expected && expected.size() > 12 ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Command mode in a child whose standard input and output are a terminal;
// the test types on the other side.
class CommandModeTest : public ::testing::Test {
 protected:
  // Starts the child; `body` runs there with the terminal as stdin/stdout and
  // its result becomes the exit code.
  void Start(const std::function<int()>& body) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    const std::string slave = ptsname(master_);
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0) _exit(99);
      dup2(fd, STDIN_FILENO);
      dup2(fd, STDOUT_FILENO);
      _exit(body());
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  // Collects terminal output until `text` appeared (or 10 s passed).
  bool WaitFor(const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      char buffer[512];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) output_.append(buffer, static_cast<size_t>(n));
      if (output_.find(text, seen_) != std::string::npos) {
        seen_ = output_.find(text, seen_) + text.size();
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Type(const std::string& text) { ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  int ExitCode() {
    int status = 0;
    waitpid(child_, &status, 0);
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  tarn::test::Watchdog watchdog_{60};
  tarn::test::TempRoot root_;
  int master_ = -1;
  pid_t child_ = -1;
  std::string output_;
  size_t seen_ = 0;
};

int RunCommandMode(int allowed, int expectSecond = 0) {
  CmnPathsInit(std::getenv("TARN_ROOT"));
  char second[kCliSecondWordMax + 1] = "";
  const int id = CliCommandMode("Medium \"tape1\" needed.\n", allowed, second);
  if (expectSecond && std::strcmp(second, "tape1") != 0) return 100;
  return id;
}

TEST_F(CommandModeTest, DisallowedCommandPromptsAgainAllowedOneReturns) {
  Start([] { return RunCommandMode(kCliCmdAbort); });
  ASSERT_TRUE(WaitFor("continue   - go on"));
  EXPECT_EQ(output_.find("cancel     - cancel"), std::string::npos);
  EXPECT_NE(output_.find("Medium \"tape1\" needed."), std::string::npos);
  Type("cancel 5\n");
  ASSERT_TRUE(WaitFor("Mount request."));
  Type("bogus\n");
  ASSERT_TRUE(WaitFor("Mount request."));
  Type("abort\n");
  ASSERT_TRUE(WaitFor("Leaving command mode."));
  EXPECT_EQ(ExitCode(), kCliCmdAbort);
}

TEST_F(CommandModeTest, MountNeedsItsSecondWord) {
  Start([] { return RunCommandMode(kCliCmdMount | kCliCmdCancel, 1); });
  ASSERT_TRUE(WaitFor("go on"));
  Type("mount\n");
  ASSERT_TRUE(WaitFor("Mount request."));
  // An answer ended by end-of-file instead of a line feed loses no character.
  Type("MOU tape1\x04");
  EXPECT_EQ(ExitCode(), kCliCmdMount);
}

TEST_F(CommandModeTest, NoAnswerInTimeContinuesAndTheCallersAlarmIsBack) {
  Start([] {
    cliCommandModeTimeout = 1;
    struct sigaction mine {};
    mine.sa_handler = CmnVoidAlarmHandler;
    sigemptyset(&mine.sa_mask);
    sigaction(SIGALRM, &mine, nullptr);
    alarm(100);
    const int id = RunCommandMode(kCliCmdAbort);
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    const unsigned left = alarm(0);
    if (now.sa_handler != CmnVoidAlarmHandler) return 101;
    if (left < 90 || left > 100) return 102;
    return id;
  });
  ASSERT_TRUE(WaitFor("No answer in time"));
  EXPECT_EQ(ExitCode(), kCliCmdContinue);
}

TEST_F(CommandModeTest, InterruptKeyReturns4) {
  Start([] {
    cliCommandModeTimeout = 20;
    CliSetCommandModeIntr();
    const int id = RunCommandMode(kCliCmdAbort);
    return commandModeSet == 0 ? id : 103;
  });
  ASSERT_TRUE(WaitFor("go on"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(child_, SIGINT);
  ASSERT_TRUE(WaitFor("Command mode interrupted."));
  EXPECT_EQ(ExitCode(), kCliCmdInterrupted);
}

TEST_F(CommandModeTest, EndOfInputAndNoTerminalContinue) {
  Start([] { return RunCommandMode(kCliCmdAbort); });
  ASSERT_TRUE(WaitFor("go on"));
  Type("\x04");  // end of file on the terminal
  EXPECT_EQ(ExitCode(), kCliCmdContinue);

  const int status = tarn::test::RunInChild([] {
    const int fd = open("/dev/null", O_RDONLY);
    dup2(fd, STDIN_FILENO);
    const int out = open("/dev/null", O_WRONLY);
    dup2(out, STDERR_FILENO);
    return CliCommandMode("x", kCliCmdAbort, nullptr);
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kCliCmdContinue);
}

}  // namespace

// Keyword matching and lookup, options in argument vectors, the host files of
// the client and the server, and the interactive command mode on a terminal.
#include "cmn/cli.h"

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

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "cmn_test_util.h"
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

class HostFileTest : public cmntest::ErrorStateTest {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhInit(0);
    cmntest::ErrorStateTest::SetUp();
  }
  void TearDown() override {
    cmntest::ErrorStateTest::TearDown();
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  std::string Local() { return CmnExpandHostname("localhost"); }
  tarn::test::TempRoot root_;
};

TEST_F(HostFileTest, CellServerIsTheFirstLineThatResolves) {
  root_.write("/etc/opt/tarn/client/cell_server",
              "\n\nno-such-host.invalid\n  localhost  \r\nother\n");
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
  root_.write("/etc/opt/tarn/client/cell_server",
              "no-such-host.invalid\n" + std::string(3000, 'l') + "\n");
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

class ProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    unsetenv("LANG");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    ASSERT_EQ(NlsOpenCatalog(), 0);
  }
  void TearDown() override {
    NlsCloseCatalog();
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  static std::string Text(int type, int value) {
    CliProtectionStruct p;
    EXPECT_EQ(InitCliConstructProtectionStruct(&p, type, value), 0) << type << " " << value;
    char buffer[256];
    const char* text = CliConstructProtectionStr(&p, buffer, sizeof buffer);
    return text != nullptr ? text : "<null>";
  }
  tarn::test::TempRoot root_;
};

TEST_F(ProtectionTest, InitRefusesWhatNoTextCanSay) {
  CliProtectionStruct p{kCliProtDays, 9};
  EXPECT_EQ(InitCliConstructProtectionStruct(&p, kCliProtPermanent, 77), 0);
  EXPECT_EQ(p.type, kCliProtPermanent);
  EXPECT_EQ(p.value, 0);
  for (const auto& [type, value] :
       {std::pair{5, 1}, {-1, 0}, {kCliProtDays, 0}, {kCliProtWeeks, -3}, {kCliProtUntil, 0}}) {
    p = {kCliProtDays, 9};
    EXPECT_EQ(InitCliConstructProtectionStruct(&p, type, value), -1) << type << " " << value;
    EXPECT_EQ(p.type, kCliProtNone);
    EXPECT_EQ(p.value, 0);
  }
  EXPECT_EQ(InitCliConstructProtectionStruct(nullptr, kCliProtNone, 0), -1);
}

TEST_F(ProtectionTest, PlainTextInTheProcesssLanguage) {
  EXPECT_EQ(Text(kCliProtNone, 0), "None");
  EXPECT_EQ(Text(kCliProtPermanent, 0), "Permanent");
  EXPECT_EQ(Text(kCliProtDays, 14), "14 days");
  EXPECT_EQ(Text(kCliProtDays, 1), "1 day");
  EXPECT_EQ(Text(kCliProtWeeks, 3), "3 weeks");
  EXPECT_EQ(Text(kCliProtWeeks, 1), "1 week");
  const int end = 1700000000;
  EXPECT_EQ(Text(kCliProtUntil, end), std::string("Until ") + StrFromTime(end));

  // Only a whole text is handed out; a record nobody initialised is refused.
  CliProtectionStruct p;
  InitCliConstructProtectionStruct(&p, kCliProtDays, 14);
  char buffer[8];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(CliConstructProtectionStr(&p, buffer, 8), buffer);
  EXPECT_STREQ(buffer, "14 days");
  EXPECT_EQ(CliConstructProtectionStr(&p, buffer, 7), nullptr);
  EXPECT_STREQ(buffer, "");
  p = {kCliProtUntil, -5};
  EXPECT_EQ(CliConstructProtectionStr(&p, buffer, sizeof buffer), nullptr);
  EXPECT_EQ(CliConstructProtectionCatStr(&p, buffer, sizeof buffer), nullptr);
  EXPECT_EQ(CliConstructProtectionStr(nullptr, buffer, sizeof buffer), nullptr);
}

TEST_F(ProtectionTest, CatalogueTextIsAPackedMessageTheReceiverExpands) {
  using namespace std::string_literals;
  CliProtectionStruct p;
  char packed[256];
  InitCliConstructProtectionStruct(&p, kCliProtDays, 14);
  ASSERT_NE(CliConstructProtectionCatStr(&p, packed, sizeof packed), nullptr);
  EXPECT_TRUE(tarn::test::BytesEqual(tarn::test::Bytes("15\x03 \x07\x01[11:7603]\x03 14\x03"s),
                                     tarn::test::Bytes(packed)));
  InitCliConstructProtectionStruct(&p, kCliProtUntil, 1700000000);
  ASSERT_NE(CliConstructProtectionCatStr(&p, packed, sizeof packed), nullptr);
  EXPECT_TRUE(tarn::test::BytesEqual(tarn::test::Bytes("15\x03 \x07\x01[11:7602]\x03 \x07\x04"
                                                       "1700000000\x03"s),
                                     tarn::test::Bytes(packed)));

  // Expanded here, every form reads as the plain text.
  for (const auto& [type, value] : {std::pair{kCliProtNone, 0},
                                    {kCliProtPermanent, 0},
                                    {kCliProtUntil, 1234567890},
                                    {kCliProtDays, 1},
                                    {kCliProtDays, 30},
                                    {kCliProtWeeks, 1},
                                    {kCliProtWeeks, 52}}) {
    InitCliConstructProtectionStruct(&p, type, value);
    ASSERT_NE(CliConstructProtectionCatStr(&p, packed, sizeof packed), nullptr);
    char* expanded = NlsFormatPackedMessage(packed);
    ASSERT_NE(expanded, nullptr);
    EXPECT_EQ(std::string(expanded), Text(type, value)) << type;
    safe_free(expanded, TARN_HERE);
  }
  // A packed message that does not fit is not cut.
  InitCliConstructProtectionStruct(&p, kCliProtDays, 14);
  const size_t whole = std::strlen(CliConstructProtectionCatStr(&p, packed, sizeof packed));
  EXPECT_EQ(CliConstructProtectionCatStr(&p, packed, whole), nullptr);
  EXPECT_STREQ(packed, "");
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
    // No alarm of the harness in the child: command mode keeps the caller's.
    child_ = tarn::test::ChildProcess(
        [&] {
          const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
          if (fd < 0) return 99;
          dup2(fd, STDIN_FILENO);
          dup2(fd, STDOUT_FILENO);
          return body();
        },
        0);
    ASSERT_TRUE(child_.started());
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    child_.Kill();
    if (master_ >= 0) close(master_);
  }
  // Waits until the child sleeps in a system call (reading its answer), so a
  // signal sent next arrives during the read.
  bool AwaitBlocked() {
    const std::string stat = "/proc/" + std::to_string(child_.pid()) + "/stat";
    for (int i = 0; i < 1000; ++i) {
      const std::string text = tarn::test::ReadFile(stat);
      const std::size_t close = text.rfind(") ");
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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
  void Type(const std::string& text) {
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  int ExitCode() { return child_.ExitCode(); }

  tarn::test::Watchdog watchdog_{60};
  tarn::test::TempRoot root_;
  int master_ = -1;
  tarn::test::ChildProcess child_;
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
  ASSERT_TRUE(AwaitBlocked());
  kill(child_.pid(), SIGINT);
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

// Debug tracing: trace files named by the ranges grammar, level filtering and
// prefixes, the function-trace stack and its repair, the circular trace.
#include "cmn/dbg.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbgimpl.h"
#include "cmn/paths.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/dbg_test.cpp");

namespace {

using tarn::test::ReadFile;

constexpr char kEndBanner[] =
    "==================================================================\n"
    "  DEBUGGING ENDED PROPERLY\n"
    "==================================================================\n\n";

class DbgTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"VEKDBG", "VEKDBGDIR", "VEKDBG_PATH"}) unsetenv(name);
    CmnPathsInit(root_.path().c_str());
    DbgSetTmpDir(tmp_.path().c_str());
    setenv("VEKDBG_PATH", tmp_.path().c_str(), 1);
  }
  void TearDown() override {
    DbgExit();
    DbgSetTmpDir(nullptr);
    for (const char* name : {"VEKDBG", "VEKDBGDIR", "VEKDBG_PATH"}) unsetenv(name);
  }

  std::string Pid() const { return std::to_string(getpid()); }
  // "VEKDBG_<id>_<session>_<program>_<host>_<pid>_<postfix>"
  std::string TraceName(const std::string& id, const std::string& session,
                        const std::string& program, const std::string& postfix) const {
    return "VEKDBG_" + id + "_" + session + "_" + program + "_" + DbgHostName() + "_" + Pid() +
           "_" + postfix;
  }
  std::string DebugLog() const { return root_.read("/var/opt/tarn/log/debug.log"); }

  tarn::test::TempRoot root_;
  tarn::test::TempDir tmp_;
};

TEST_F(DbgTrace, FileNamedByTheGrammarWithBannerPrefixesAndEndLine) {
  ASSERT_EQ(DbgInitEx("p", "1-99,500", "", "kestrel", 7), 0);
  const std::string path = tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "p");
  ASSERT_NE(DbgGetFd(), nullptr);
  EXPECT_EQ(dbgActive, 1);
  EXPECT_EQ(std::string(DbgGetRanges()), "1-99,500,ID:" + Pid());

  DbgPlain(5, "five %d", 5);
  DbgPlain(100, "not written");
  DbgPlain(500, "five hundred");
  DbgPlain(-1, "minus one");
  DbgPlain(-2, "minus two");
  DbgExit();
  EXPECT_EQ(DbgGetFd(), nullptr);
  EXPECT_EQ(dbgActive, 0);

  const std::string trace = ReadFile(path);
  const std::string banner =
      "==================================================================\n\n"
      "  DEBUGGING STARTED\n"
      "     PROGNAME: kestrel\n"
      "     VERSION:  A.01.00 Build 100\n"
      "     RANGES:   1-99,500,ID:" +
      Pid() +
      "\n"
      "     SELECT:   \n"
      "     FILE:     " +
      path +
      "\n"
      "     PID/TID:  " +
      Pid() +
      ".7\n"
      "     USER:     " +
      DbgUserName() +
      "\n"
      "     GROUP:    " +
      DbgGroupName() +
      "\n"
      "     MACHINE:  " +
      DbgMachineText() +
      "\n\n"
      "==================================================================\n\n\n";
  EXPECT_NE(trace.find(banner), std::string::npos) << trace;
  EXPECT_NE(trace.find("\n[  5] five 5\n"), std::string::npos);
  EXPECT_EQ(trace.find("not written"), std::string::npos);
  EXPECT_NE(trace.find("\n[500] five hundred\n"), std::string::npos);
  EXPECT_NE(trace.find("\nminus one\n"), std::string::npos);
  EXPECT_NE(trace.find("\n[ -2] minus two\n"), std::string::npos);
  ASSERT_GE(trace.size(), sizeof kEndBanner - 1);
  EXPECT_EQ(trace.substr(trace.size() - (sizeof kEndBanner - 1)), kEndBanner);
  EXPECT_NE(DebugLog().find("minus two\n"), std::string::npos);
}

TEST_F(DbgTrace, LevelFilter) {
  EXPECT_EQ(DbgMatch(-1), 0);  // no record yet
  DbgInitEx("p", "1-99,500", "", "kestrel", 0);
  for (int level : {-2, -1, 1, 50, 99, 500}) EXPECT_EQ(DbgMatch(level), 1) << level;
  for (int level : {0, 100, 499, 501}) EXPECT_EQ(DbgMatch(level), 0) << level;

  DbgSetRanges("200-300 T:0");
  EXPECT_EQ(DbgMatch(1), 0);
  EXPECT_EQ(DbgMatch(250), 1);
  EXPECT_EQ(std::string(DbgGetRanges()), "200-300 T:0,ID:" + Pid());
}

TEST_F(DbgTrace, TwentyFirstRangeIsNotTraced) {
  std::string ranges;
  for (int i = 1; i <= 21; ++i) ranges += std::to_string(i * 10) + ",";
  DbgInitEx("p", ranges.c_str(), "", "kestrel", 0);
  EXPECT_EQ(DbgMatch(200), 1);
  EXPECT_EQ(DbgMatch(210), 0);
}

TEST_F(DbgTrace, ZeroAloneStartsNoTraceAndZeroRangeDropsPrefixes) {
  DbgInitEx("p", "0", "", "kestrel", 0);
  EXPECT_EQ(DbgGetFd(), nullptr);
  DbgExit();

  DbgInitEx("q", "0-200 T:0", "", "kestrel", 0);
  ASSERT_NE(DbgGetFd(), nullptr);
  DbgPlain(0, "level zero");
  DbgMessageM(TARN_HERE, 3, "with text");
  const int line = __LINE__ - 1;
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "q"));
  EXPECT_NE(trace.find("\nlevel zero\n"), std::string::npos);
  // Time mode 0 leaves the time text empty; the header keeps its level.
  EXPECT_NE(trace.find("\n[  3]  (\"lib/cmn/test/dbg_test.cpp 1.0\":" + std::to_string(line) +
                       ") A.01.00 b100\nwith text\n"),
            std::string::npos)
      << trace;
}

TEST_F(DbgTrace, TakesRangesFromVekdbgWhenNoneAreGiven) {
  setenv("VEKDBG", "-debug \"1-5 ID:job/7 SESSION:s/1\" pf kestrel", 1);
  DbgInitEx(nullptr, nullptr, nullptr, "kestrel", 0);
  ASSERT_NE(DbgGetFd(), nullptr);
  EXPECT_STREQ(DbgGetPostfix(), "pf");
  EXPECT_STREQ(DbgGetSelect(), "kestrel");
  EXPECT_STREQ(DbgGetDbgID(), "job/7");
  EXPECT_STREQ(DbgGetDbgSessID(), "s-1");
  // A "/" inside a name never becomes a directory of the trace file.
  EXPECT_TRUE(
      std::filesystem::exists(tmp_.path() + "/" + TraceName("job-7", "s-1", "kestrel", "pf")));
  const std::string ctrace = root_.read("/var/opt/tarn/log/ctrace.log");
  EXPECT_NE(ctrace.find("\nProcess kestrel for session s-1 started in debugging mode.\n" +
                        tmp_.path() + "/" + TraceName("job-7", "s-1", "kestrel", "pf") + "\n"),
            std::string::npos)
      << ctrace;
}

TEST_F(DbgTrace, SelectionThatDoesNotNameThisProcessTracesNothing) {
  DbgInitEx("p", "1", "plover otherhost", "kestrel", 0);
  EXPECT_EQ(DbgGetFd(), nullptr);
  EXPECT_EQ(DbgIsInitialized(), 1);
  DbgInitEx("p", "1", "", "kestrel", 0);  // the record exists: nothing happens
  EXPECT_EQ(DbgGetFd(), nullptr);
}

TEST_F(DbgTrace, DirectoryFromVekdbgdirOrAbsolutePostfix) {
  tarn::test::TempDir dir;
  setenv("VEKDBGDIR", dir.path().c_str(), 1);
  DbgInitEx("/elsewhere/leaf", "1", "", "ke/st:rel", 0);
  // Characters a file name cannot hold are replaced in the program name.
  EXPECT_TRUE(
      std::filesystem::exists(dir.path() + "/" + TraceName(Pid(), "", "ke~st~rel", "leaf")));
  DbgExit();
  unsetenv("VEKDBGDIR");

  tarn::test::TempDir other;
  const std::string postfix = other.path() + "/leaf2";
  DbgInitEx(postfix.c_str(), "1", "", "kestrel", 0);
  EXPECT_NE(DbgGetFd(), nullptr);
  EXPECT_TRUE(
      std::filesystem::exists(other.path() + "/" + TraceName(Pid(), "", "kestrel", "leaf2")));
}

TEST_F(DbgTrace, UnusableDirectoryFallsBackOnceAndLogsWhy) {
  const std::string missing = tmp_.path() + "/missing";
  setenv("VEKDBGDIR", missing.c_str(), 1);
  DbgInitEx("p", "1", "", "kestrel", 0);
  EXPECT_NE(DbgGetFd(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "p")));
  EXPECT_NE(DebugLog().find("Debug file cannot be opened, errcode=2 [path=" + missing + "/"),
            std::string::npos);
  DbgExit();

  setenv("VEKDBG_PATH", missing.c_str(), 1);
  DbgInitEx("p", "1", "", "kestrel", 0);
  EXPECT_EQ(DbgGetFd(), nullptr);
}

TEST_F(DbgTrace, LinkAtTheTracePathIsNeitherFollowedNorTruncated) {
  if (isatty(STDERR_FILENO)) GTEST_SKIP() << "a terminal on stderr takes the trace instead";
  const std::string target = tmp_.path() + "/precious";
  tarn::test::WriteFile(target, "keep me");
  const std::string path = tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "p");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  DbgInitEx("p", "1 C:1", "", "kestrel", 0);
  EXPECT_EQ(DbgGetFd(), nullptr);
  EXPECT_EQ(ReadFile(target), "keep me");
  EXPECT_NE(DebugLog().find("File [" + path + "] is not regular file. Debug file not created.\n"),
            std::string::npos);
}

TEST_F(DbgTrace, CircularTraceWrapsAfterTheFirstQuarter) {
  const std::string path = tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "c");
  tarn::test::WriteFile(path, std::string(20000, 'o'));  // an old trace is truncated
  DbgInitEx("c", "1 C:1", "", "kestrel", 0);
  ASSERT_NE(DbgGetFd(), nullptr);
  for (int i = 0; i < 400; ++i) DbgPlain(1, "line %04d of the circular trace", i);
  DbgPlain(1, "last line");
  const std::string trace = ReadFile(path);
  EXPECT_LT(trace.size(), 4096u + 2048u);
  EXPECT_EQ(trace.find("ooo"), std::string::npos);
  EXPECT_LT(trace.find("DEBUGGING STARTED"), 200u);
  EXPECT_NE(trace.find("*** CIRCULAR DEBUG TRACE END MARKER ***"), std::string::npos);
  const size_t start = trace.find("*** CIRCULAR DEBUG TRACE START MARKER ***");
  ASSERT_NE(start, std::string::npos);
  EXPECT_NE(trace.find("...\n\n...\n\n...\n\n...\n"), std::string::npos);
  EXPECT_GT(trace.find("[  1] last line\n"), start);
}

TEST_F(DbgTrace, FunctionEntryAndExitLines) {
  DbgInitEx("f", "1-10 T:0", "", "kestrel", 0);
  static const char kOuter[] = "Outer";
  DbgFcnInEx(TARN_HERE, kOuter, 3, "x=%d", 1);
  EXPECT_STREQ(DbgGetParmsFromStack(), "x=1");
  DbgFcnOutEx(TARN_HERE, kOuter, 3, "%d", 5);
  EXPECT_STREQ(DbgGetParmsFromStack(), "#DbgFcnStack overflow#");
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "f"));
  EXPECT_NE(trace.find("\n[  3] ===>> (0) Outer {\n[  3]   Args: x=1\n[  3] \n"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find(
                "\n[  3] <<=== (0) }  /* Outer */\n[  3]   Args: x=1\n[  3]   RetVal: 5\n[  3] \n"),
            std::string::npos)
      << trace;
}

TEST_F(DbgTrace, MissingExitIsRepairedByTheOuterExit) {
  DbgInitEx("s", "1-10", "", "kestrel", 0);
  static const char kA[] = "A";
  static const char kB[] = "B";
  DbgFcnInEx(TARN_HERE, kA, 1, "a");
  DbgFcnInEx(TARN_HERE, kB, 1, "b");
  DbgFcnOutEx(TARN_HERE, kA, 1, nullptr);                          // B's exit is missing
  EXPECT_STREQ(DbgGetParmsFromStack(), "#DbgFcnStack overflow#");  // depth 0 again

  const std::string log = DebugLog();
  EXPECT_NE(log.find("DbgStack: DbgFcnOut() function does not match function on stack!\n"
                     "    ExitFcn=\"A\", StackFcn=\"B\"\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tLevel  1: B(b)\n\tLevel  0: A(a)\n"), std::string::npos);
  EXPECT_NE(
      log.find(
          "\"A\" found on stack, adjusted level to 0 (one or more DbgFcnOut() calls missing)\n"),
      std::string::npos);

  DbgFcnOutEx(TARN_HERE, kB, 1, nullptr);
  EXPECT_NE(DebugLog().find("DbgStack: DbgFcnOut() and level already 0!\n    ExitFcn=\"B\"\n"),
            std::string::npos);
  DbgFcnInEx(TARN_HERE, kA, 1, nullptr);
  DbgFcnOutEx(TARN_HERE, kB, 1, nullptr);
  EXPECT_NE(DebugLog().find("\"B\" not found on stack, this was an excessive DbgFcnOut() call\n"),
            std::string::npos);
  EXPECT_STREQ(DbgGetParmsFromStack(), "");  // A is still active
}

TEST_F(DbgTrace, StackOverflowIsReportedAndUnwindsCleanly) {
  DbgInit("o", "1", "");  // traces nothing at level 2, but keeps the stack
  static const char kDeep[] = "Deep";
  for (int i = 0; i < 101; ++i) DbgFcnInEx(TARN_HERE, kDeep, 2, "%d", i);
  EXPECT_STREQ(DbgGetParmsFromStack(), "#DbgFcnStack overflow#");
  EXPECT_NE(DebugLog().find("DbgStack: stack overflow!\n    Function: Deep(99)\n"),
            std::string::npos);
  for (int i = 0; i < 101; ++i) DbgFcnOutEx(TARN_HERE, kDeep, 2, nullptr);
  EXPECT_EQ(DebugLog().find("does not match"), std::string::npos);
  EXPECT_EQ(DebugLog().find("already 0"), std::string::npos);
}

TEST_F(DbgTrace, SessionIdIsSetOnce) {
  DbgInitEx("p", "1", "", "kestrel", 0);
  DbgSetDbgSessID("2024/05/01-0001");
  EXPECT_STREQ(DbgGetDbgSessID(), "2024-05-01-0001");
  EXPECT_EQ(std::string(DbgGetRanges()), "1,ID:" + Pid() + ",SESSION:2024/05/01-0001");
  DbgSetDbgSessID("other");
  EXPECT_STREQ(DbgGetDbgSessID(), "2024-05-01-0001");
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "p"));
  EXPECT_NE(trace.find("DbgSetDbgSessID: Debugging session ID already set (\"2024-05-01-0001\"), "
                       "keeping previous."),
            std::string::npos);
}

TEST_F(DbgTrace, MemoryDumpInLinesOfEight) {
  DbgInitEx("m", "1", "", "kestrel", 0);
  const unsigned char bytes[10] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0x01, 0xff};
  DbgDumpMem(1, bytes, 10);
  DbgDumpMem(1, bytes, 0);
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "m"));
  char first[64];
  char second[64];
  std::snprintf(first, sizeof first, "[  1] %p   ", static_cast<const void*>(bytes));
  std::snprintf(second, sizeof second, "[  1] %p   ", static_cast<const void*>(bytes + 8));
  EXPECT_NE(trace.find(std::string(first) + "41 42 43 44 45 46 47 48   ABCDEFGH\n"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find(std::string(second) + "01 FF " + std::string(6 * 3, ' ') + "  ..\n"),
            std::string::npos)
      << trace;
}

TEST_F(DbgTrace, MessageDumpShowsCodeAndItems) {
  DbgInitEx("d", "10", "", "kestrel", 0);
  static const char kMessage[] = "15\0 abc\0 -x\0";  // the literal adds the final NUL
  DbgDumpMessage("reply", kMessage);
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "d"));
  EXPECT_NE(trace.find("[ 10] \t+-------------------------------\n\t| reply (msg no. 15)\n\t|\n"
                       "[ 10] \t|   \"abc\"\n"
                       "[ 10] \t| \"-x\"\n"
                       "[ 10] \t+-------------------------------\n\n"),
            std::string::npos)
      << trace;
}

TEST_F(DbgTrace, ForkedChildDropsTheInheritedTrace) {
  DbgInitEx("k", "1", "", "kestrel", 0);
  ASSERT_NE(DbgGetFd(), nullptr);
  const int status = tarn::test::RunInChild([] {
    CmnContextAtFork();
    DbgPlain(1, "from the child");
    return DbgGetFd() == nullptr && dbgActive == 0 ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  DbgPlain(1, "parent goes on");
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "k"));
  EXPECT_EQ(trace.find("from the child"), std::string::npos);
  EXPECT_NE(trace.find("parent goes on"), std::string::npos);
}

// A text argument that points nowhere, as a stale pointer would.
const char* const kStalePointer = reinterpret_cast<const char*>(16);

int Sprint(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = DbgVsprintf(buffer, format, args);
  va_end(args);
  return n;
}

void OwnHandler(int) {
  _exit(42);
}

TEST_F(DbgTrace, FaultWhileFormattingIsCaughtAndTheHandlerPutBack) {
  DbgInitEx("g", "1", "", "kestrel", 0);
  struct sigaction own {};
  own.sa_handler = OwnHandler;
  sigemptyset(&own.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGSEGV, &own, &saved), 0);

  DbgPlain(1, "stale %s here", kStalePointer);
  DbgPlain(1, "next line");
  char buffer[64];
  EXPECT_EQ(Sprint(buffer, "v%s", kStalePointer), 3);
  EXPECT_STREQ(buffer, "v%s");
  EXPECT_EQ(Sprint(buffer, "%s-%d", "ok", 7), 4);
  EXPECT_STREQ(buffer, "ok-7");

  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGSEGV, &saved, &now), 0);
  EXPECT_EQ(now.sa_handler, &OwnHandler);
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "g"));
  EXPECT_NE(trace.find("[  1] Got SIGSEGV while printing debug message.\nThe format string was:\n"
                       "\"stale %s here\"\n\n[  1] next line\n"),
            std::string::npos)
      << trace;
}

TEST_F(DbgTrace, HostProcessKeepsItsOwnFaultHandler) {
  DbgInitEx("h", "1", "", "kestrel", 0);
  const int status = tarn::test::RunInChild([] {
    struct sigaction own {};
    own.sa_handler = OwnHandler;
    sigemptyset(&own.sa_mask);
    if (sigaction(SIGSEGV, &own, nullptr) != 0) return 1;
    cmnDefine_ORACLE8 = 1;
    DbgPlain(1, "stale %s here", kStalePointer);  // the host's handler runs
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST_F(DbgTrace, SwitchMakesEveryLineUnexpected) {
  DbgInitEx("u", "1", "", "kestrel", 0);
  cmnDefine_DISABLE_DBG_UNEXPECTED = 1;
  DbgPlain(999, "always");
  cmnDefine_DISABLE_DBG_UNEXPECTED = 0;
  const std::string trace = ReadFile(tmp_.path() + "/" + TraceName(Pid(), "", "kestrel", "u"));
  EXPECT_NE(trace.find("\nalways\n"), std::string::npos);
}

}  // namespace

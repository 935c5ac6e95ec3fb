// Plain logs: debug.log written with tracing off, the server log directory,
// the /tmp fallback, the header of full entries and safe opening.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/dbgimpl.h"
#include "cmn/paths.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/dbglog_test.cpp");

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;

class DbgLog : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    DbgSetTmpDir(tmp_.path().c_str());
  }
  void TearDown() override {
    DbgExit();
    DbgSetTmpDir(nullptr);
  }
  std::string HostLine() const {
    return std::string("**********************  ") + DbgHostName() + "  **********************\n";
  }

  tarn::test::TempRoot root_;
  tarn::test::TempDir tmp_;
};

TEST_F(DbgLog, UnexpectedLineReachesDebugLogWithTracingOff) {
  ASSERT_EQ(DbgGetFd(), nullptr);
  errno = EAGAIN;
  DbgPlain(-2, "open failed, errcode=%d", 13);
  EXPECT_EQ(errno, EAGAIN);
  DbgPlain(5, "not logged");
  const std::string path = root_.at("/var/opt/tarn/log/debug.log");
  EXPECT_EQ(ReadFile(path), HostLine() + "open failed, errcode=13\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(DbgLog, FullEntryHeader) {
  DbgLogFull(TARN_HERE, "kestrel", 42, 3, nullptr, "MALLOC failed Size=%d, errcode=%d", 16, 12);
  const int line = __LINE__ - 1;
  DbgMessageM(TARN_HERE, -2, "header text");
  const std::string log = root_.read("/var/opt/tarn/log/debug.log");
  // "\n<date> <time>  program.pid.extra [\"source\":line] version build\n<text>\n"
  const size_t at =
      log.find("  kestrel.42.3 [\"lib/cmn/test/dbglog_test.cpp 1.0\":" + std::to_string(line) +
               "] A.01.00 b100\nMALLOC failed Size=16, errcode=12\n");
  ASSERT_NE(at, std::string::npos) << log;
  const size_t start = log.rfind('\n', at);
  ASSERT_NE(start, std::string::npos);
  EXPECT_GT(at, start + 1);  // the date and time
  EXPECT_EQ(log.substr(0, HostLine().size() + 1), HostLine() + "\n");
  EXPECT_NE(log.find("\"lib/cmn/test/dbglog_test.cpp 1.0\":" + std::to_string(line + 2) +
                     "] A.01.00 b100\nheader text\n"),
            std::string::npos)
      << log;
}

TEST_F(DbgLog, ServerNamesTryTheServerDirectoryFirst) {
  DbgLogPlain("server/sm.log", "to the server log");
  DbgLogPlain("ctrace.log", "to the client log");
  EXPECT_EQ(root_.read("/var/opt/tarn/server/log/sm.log"), HostLine() + "to the server log\n");
  EXPECT_EQ(root_.read("/var/opt/tarn/log/ctrace.log"), HostLine() + "to the client log\n");
  char buffer[kCmnPathMax];
  EXPECT_EQ(std::string(DbgLogGetPathname(buffer, "\\SERVER\\sm.log")),
            root_.at("/var/opt/tarn/server/log/sm.log"));
  EXPECT_EQ(std::string(DbgLogGetPathname(buffer, nullptr)),
            root_.at("/var/opt/tarn/log/debug.log"));

  fs::remove_all(root_.at("/var/opt/tarn/server/log"));
  DbgLogPlain("server/sm.log", "server dir gone");
  EXPECT_EQ(root_.read("/var/opt/tarn/log/sm.log"), HostLine() + "server dir gone\n");
  EXPECT_EQ(std::string(DbgLogGetPathname(buffer, "server/sm.log")),
            root_.at("/var/opt/tarn/log/sm.log"));
}

TEST_F(DbgLog, FallsBackToTmpWhenTheLogDirectoryIsUnusable) {
  fs::remove_all(root_.at("/var/opt/tarn/log"));
  DbgLogPlain(nullptr, "nowhere else %s", "to go");
  // The fallback file is not made world-writable: no directory was given.
  EXPECT_EQ(ReadFile(tmp_.path() + "/debug.log"), HostLine() + "nowhere else to go\n");
  char buffer[kCmnPathMax];
  EXPECT_EQ(std::string(DbgLogGetPathname(buffer, nullptr)), tmp_.path() + "/debug.log");

  fs::remove_all(tmp_.path());
  DbgLogPlain(nullptr, "silently skipped");  // no place at all
}

TEST_F(DbgLog, LinkInPlaceOfTheLogIsNotFollowed) {
  const std::string target = tmp_.path() + "/precious";
  tarn::test::WriteFile(target, "keep me");
  const std::string logDir = root_.at("/var/opt/tarn/log");
  ASSERT_EQ(symlink(target.c_str(), (logDir + "/debug.log").c_str()), 0);
  fs::create_directory(logDir + "/dir.log");
  // Such a path is no log: the console takes its place when it can be opened.
  // Nothing is written here, so the test leaves the console alone.
  for (const char* name : {"debug.log", "dir.log"}) {
    FILE* stream = DbgLogOpenInDir(logDir.c_str(), name);
    if (stream == nullptr) continue;
    struct stat st {};
    ASSERT_EQ(fstat(fileno(stream), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << name;
    DbgLogClose(stream);
  }
  EXPECT_EQ(ReadFile(target), "keep me");
}

TEST_F(DbgLog, ExistingLogIsAppendedWithoutANewHostLine) {
  root_.write("/var/opt/tarn/log/debug.log", "old\n");
  chmod(root_.at("/var/opt/tarn/log/debug.log").c_str(), 0600);
  DbgLogPlain(nullptr, "new");
  EXPECT_EQ(root_.read("/var/opt/tarn/log/debug.log"), "old\nnew\n");
  struct stat st {};
  ASSERT_EQ(stat(root_.at("/var/opt/tarn/log/debug.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // never changed on an existing file
}

TEST_F(DbgLog, LongEntryIsCutNotOverrun) {
  const std::string text(20000, 'x');
  DbgLogPlain(nullptr, "%s", text.c_str());
  const std::string log = root_.read("/var/opt/tarn/log/debug.log");
  EXPECT_EQ(log.size(), HostLine().size() + 8191);
  EXPECT_EQ(log.back(), '\n');
}

}  // namespace

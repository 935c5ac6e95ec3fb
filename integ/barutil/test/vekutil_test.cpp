// Utility calls: the result line, masked start-up dumps, the jump-back
// signal handler, library loading and temporary files.
#include "barutil/vekutil.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <regex>
#include <string>

#include "barutil_test_util.h"
#include "cmn/dbg.h"
#include "cmn/test/cmn_test_util.h"

namespace {

using barutiltest::Owned;

class VekUtilTest : public barutiltest::BarutilTest {
 protected:
  // The trace a body writes (tracing started here, over whatever CmnInit set).
  template <class Body>
  std::string Trace(Body body) {
    DbgExit();
    return cmntest::Traced("1-200", body);
  }
};

std::string Report(int code, const char* text, std::string* console) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  testing::internal::CaptureStdout();
  VEK_UtilReport(stream, code, text);
  *console = testing::internal::GetCapturedStdout();
  std::fclose(stream);
  std::string line(buffer, size);
  free(buffer);
  return line;
}

TEST_F(VekUtilTest, ResultLineCarriesTheCodeAndTheTextsGoToTheConsole) {
  std::string console;
  EXPECT_EQ(Report(15003, "Instance not found", &console), "*RETVAL*15003\n");
  EXPECT_EQ(console, "Instance not found\n");
  EXPECT_EQ(Report(0, nullptr, &console), "*RETVAL*0\n");
  EXPECT_EQ(console, "");
}

TEST_F(VekUtilTest, NegativeCodeTakesTheErrorStateAndNeverReadsAsSuccess) {
  std::string console;
  EXPECT_EQ(Report(-1, "failed", &console), "*RETVAL*1007\n");
  EXPECT_EQ(console, "failed\n");
  ErhMarkM(1012, ENOENT, "open", kErhMajor, "barutil_test", 0);
  ErhSetSysErrorStr("[2] No such file or directory");
  EXPECT_EQ(Report(-3, "", &console), "*RETVAL*1012\n");
  EXPECT_EQ(console, "[2] No such file or directory\n");
}

TEST_F(VekUtilTest, ResultLineIsTraced) {
  std::string console;
  const std::string trace = Trace([&] { Report(42, nullptr, &console); });
  EXPECT_NE(trace.find("[VEK_UtilReport] *RETVAL*42"), std::string::npos) << trace;
}

TEST_F(VekUtilTest, DumpsMaskPasswordsAndKeys) {
  const char* argv[] = {"heron",     "-user",        "db2inst1", "-password", "s3cret",
                        "-pwfile=x", "Password=abc", "-PWD",     "hidden"};
  const char* envp[] = {"HOME=/home/db2", "DB2_PASSWORD=topsecret", "ENC_KEY=k1", nullptr};
  const std::string plain = Trace([&] { VEK_DumpArgs(10, 9, argv, envp); });
  EXPECT_NE(plain.find("Startup arguments"), std::string::npos) << plain;
  EXPECT_NE(plain.find("argv[2] db2inst1"), std::string::npos);
  EXPECT_NE(plain.find("argv[3] -password"), std::string::npos);
  EXPECT_NE(plain.find("argv[4] ****"), std::string::npos);
  EXPECT_NE(plain.find("argv[6] Password=****"), std::string::npos);
  EXPECT_NE(plain.find("argv[8] ****"), std::string::npos);
  EXPECT_NE(plain.find("envp[0] HOME=/home/db2"), std::string::npos);
  EXPECT_NE(plain.find("envp[1] DB2_PASSWORD=****"), std::string::npos);
  EXPECT_NE(plain.find("envp[2] ENC_KEY=****"), std::string::npos);
  for (const char* secret : {"s3cret", "abc", "hidden", "topsecret", "k1"})
    EXPECT_EQ(plain.find(secret), std::string::npos) << secret;

  const char* args[] = {"kestrel", "-pw", "first", "-PWsecond", "-pwd", "x"};
  const std::string ex = Trace([&] { VEK_DumpArgsEx(10, 6, args, envp, "-pw"); });
  EXPECT_NE(ex.find("Dump startup parameters"), std::string::npos) << ex;
  EXPECT_NE(ex.find("argv[1] ****"), std::string::npos);
  EXPECT_NE(ex.find("argv[2] ****"), std::string::npos);
  EXPECT_NE(ex.find("argv[3] ****"), std::string::npos);
  for (const char* secret : {"first", "second", "topsecret"})
    EXPECT_EQ(ex.find(secret), std::string::npos) << secret;
}

TEST_F(VekUtilTest, ExceptionHandlerJumpsBackWithTheSignal) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = VEK_ExceptionHandler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  volatile int reached = 0;
  const int jumped = sigsetjmp(vekExceptionJump, 1);
  if (jumped == 0) {
    vekExceptionArmed = 1;
    std::raise(SIGUSR1);
    reached = 1;
  }
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(jumped, SIGUSR1);
  EXPECT_EQ(reached, 0);
  EXPECT_EQ(vekExceptionArmed, 0);
  EXPECT_EQ(vekExceptionSignal, SIGUSR1);
}

TEST_F(VekUtilTest, UnarmedHandlerLeavesTheSignalItsDefaultAction) {
  const int status = tarn::test::RunInChild([] {
    std::signal(SIGUSR2, VEK_ExceptionHandler);
    std::raise(SIGUSR2);
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGUSR2);
}

TEST_F(VekUtilTest, LoadLibraryLoadsOrMarks1026WithTheLoaderMessage) {
  void* handle = VEK_LoadLibrary("libm.so.6");
  ASSERT_NE(handle, nullptr);
  dlclose(handle);
  EXPECT_EQ(VEK_LoadLibrary("/no/such/libx.so"), nullptr);
  EXPECT_EQ(ErhErrno(), 1026);
  EXPECT_EQ(ErhStatus()->level, kErhMinor);
  EXPECT_EQ(std::string(ErhSysErrorStr()).rfind("/no/such/libx.so: ", 0), 0u) << ErhSysErrorStr();
  ErhClearErrorM("barutil_test", 0);
  EXPECT_EQ(VEK_LoadLibraryEx(nullptr, RTLD_LAZY), nullptr);
  EXPECT_EQ(ErhErrno(), 1026);
}

TEST_F(VekUtilTest, TempFileNamesAndTheirExclusiveCreation) {
  const std::string pid = std::to_string(getpid());
  Owned name(VEK_GetTempFileName("/tmp//x/", nullptr, nullptr));
  EXPECT_TRUE(std::regex_match(name.str(), std::regex("/tmp/x/vek[0-9]+" + pid + "0[0-9]+\\.tmp")))
      << name.str();
  Owned named(VEK_GetTempFileName(nullptr, "db2", "log"));
  EXPECT_EQ(named.str().rfind(std::string(cmnFenTmp) + "/db2", 0), 0u) << named.str();
  EXPECT_EQ(VEK_GetTempFileName("/tmp", "../etc/x", nullptr), nullptr);
  EXPECT_EQ(VEK_GetTempFileName("/tmp", nullptr, "a/b"), nullptr);
  const std::string deep(1100, 'd');
  EXPECT_EQ(VEK_GetTempFileName(("/" + deep).c_str(), nullptr, nullptr), nullptr);

  tarn::test::TempDir dir;
  Owned path;
  const int fd = VEK_CreateTempFile(dir.path().c_str(), "t", "x", &path.p);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  close(fd);
  EXPECT_EQ(access(path.p, F_OK), 0);
  Owned none;
  EXPECT_EQ(VEK_CreateTempFile("/no/such/dir", nullptr, nullptr, &none.p), -1);
  EXPECT_EQ(none.p, nullptr);
}

}  // namespace

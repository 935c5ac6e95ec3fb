// Start-up and exit of the common runtime in a fresh process, process
// identity, exit handlers, the inet port, and the user and machine texts.
#include "cmn/cmninit.h"

#include <dirent.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"
#include "cmn/user.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/cmninit_test.cpp");

namespace {

// Runs `body` in a fresh child and expects exit code 0; a nonzero code names
// the check that failed.
void InChild(const std::function<int()>& body) {
  const int status = tarn::test::RunInChild(body, 60);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check " << WEXITSTATUS(status);
}

// Name of the first file in `dir` whose name ends in `suffix`, or "".
std::string FindFile(const std::string& dir, const std::string& suffix) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string found;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found = dir + "/" + name;
    }
  }
  closedir(d);
  return found;
}

struct ProgramRun {
  int status = -1;  // raw wait status
  std::string out;
  std::string err;
};

// Starts `args` (args[0] the path) as a child with this process's environment
// and collects both of its output streams until it ends.
ProgramRun RunProgram(const std::vector<std::string>& args) {
  ProgramRun run;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return run;
  tarn::test::ChildProcess child([&] {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    return 127;
  });
  close(out[1]);
  close(err[1]);
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  run.status = child.Wait();
  return run;
}

// The whole life of a program: it starts under TARN_ROOT, reads the rc file,
// prints its version line, stops cleanly and leaves nothing in debug.log.
TEST(CmnInitTest, AProgramStartsPrintsItsVersionLineAndStopsUnderTarnRoot) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::TempRoot root;  // also TARN_ROOT of the programs started below
  root.write("/opt/tarn/.tarnrc", "TARN_RC_PROBE=from the rc file\n");

  const ProgramRun version = RunProgram({TARN_STARTPROBE, "-version"});
  ASSERT_TRUE(WIFEXITED(version.status)) << version.status;
  EXPECT_EQ(WEXITSTATUS(version.status), 0) << version.err;
  EXPECT_TRUE(std::regex_match(version.out,
                               std::regex("Tarn Backup A\\.01\\.00: startprobe, internal build " +
                                          std::string(kTarnBuild) + ", built on [^\n]+\n")))
      << version.out;
  EXPECT_EQ(version.err, "");

  const ProgramRun env = RunProgram({TARN_STARTPROBE, "-env", "TARN_RC_PROBE"});
  EXPECT_TRUE(WIFEXITED(env.status) && WEXITSTATUS(env.status) == 0) << env.status << env.err;
  EXPECT_EQ(env.out, "from the rc file\n");
  EXPECT_EQ(root.read("/var/opt/tarn/log/debug.log"), "");

  // Without its catalogue the program does not start; debug.log says why.
  std::remove(root.at("/opt/tarn/lib/nls/C/tarn.cat").c_str());
  const ProgramRun broken = RunProgram({TARN_STARTPROBE, "-version"});
  EXPECT_TRUE(WIFEXITED(broken.status) && WEXITSTATUS(broken.status) == 1) << broken.status;
  EXPECT_EQ(broken.out, "");
  EXPECT_EQ(broken.err, "startprobe: cannot start\n");
  EXPECT_NE(root.read("/var/opt/tarn/log/debug.log").find("NlsOpenCatalog: catopen() failed"),
            std::string::npos);
}

TEST(CmnInitTest, RcFileIsExportedBeforeTracingStarts) {
  InChild([] {
    tarn::test::TempRoot root;
    CmnPathsInit(root.path().c_str());
    const std::string traceDir = root.at("/var/opt/tarn/tmp");
    root.write("/opt/tarn/.tarnrc",
               "# set by the installation\nTARN_RC_PROBE=from rc\nVEKDBG=1-200 rcpost\n"
               "VEKDBGDIR=" +
                   traceDir + "\n");
    unsetenv("VEKDBG");
    if (CmnIsInitialized()) return 1;
    if (CmnInit("rcprog", "addid", nullptr, nullptr, nullptr, 0) != 0) return 2;
    if (!CmnIsInitialized() || cmnUsageCount != 1 || !cmnProcessInited) return 3;
    const char* probe = std::getenv("TARN_RC_PROBE");
    if (probe == nullptr || std::strcmp(probe, "from rc") != 0) return 4;
    if (std::strcmp(CmnGetProgname(), "rcprog") != 0 ||
        std::strcmp(CmnGetAdditionalId(), "addid") != 0)
      return 5;
    if (std::strcmp(cmnHostname, "hostname_unknown") == 0 || std::strcmp(cmnEun, "unnamed") == 0)
      return 6;
    // A missing cell_server file is no error of the program's.
    if (ErhErrno() != 0 || std::strcmp(cmnCSHostname, "unnamed") != 0) return 7;
    const std::string trace = FindFile(traceDir, "_rcpost");
    if (trace.empty()) return 8;
    if (tarn::test::ReadFile(trace).find("CmnInit() done") == std::string::npos) return 9;
    // A second start by another layer neither counts twice nor re-reads.
    if (CmnInit("rcprog", nullptr, nullptr, nullptr, nullptr, 0) != 0 || cmnUsageCount != 1)
      return 10;
    if (CmnExit() != 0 || CmnIsInitialized()) return 11;
    if (DbgGetFd() != nullptr) return 12;
    return 0;
  });
}

TEST(CmnInitTest, CellServerHostIsTakenFromTheClientFile) {
  InChild([] {
    tarn::test::TempRoot root;
    CmnPathsInit(root.path().c_str());
    root.write("/etc/opt/tarn/client/cell_server", "localhost\n");
    if (CmnInit("csprog", nullptr, nullptr, nullptr, nullptr, 0) != 0) return 1;
    const char* expected = CmnExpandHostname("localhost");
    if (expected == nullptr || std::strcmp(cmnCSHostname, expected) != 0) return 2;
    CmnExit();
    return 0;
  });
}

TEST(CmnInitTest, WithoutACatalogueStartUpFails) {
  InChild([] {
    tarn::test::TempRoot root;
    std::remove(root.at("/opt/tarn/lib/nls/C/tarn.cat").c_str());
    CmnPathsInit(root.path().c_str());
    unsetenv("LANG");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    if (CmnInit("nocat", nullptr, nullptr, nullptr, nullptr, 0) != -1) return 1;
    if (CmnIsInitialized() || cmnUsageCount != 0) return 2;
    return 0;
  });
}

TEST(CmnInitTest, ProgramNameSurvivesAForkedChildsFreshSlots) {
  InChild([] {
    CmnSetProgname("  parent name that is long enough  ");
    CmnSetAdditionalId("id-1");
    CmnContextAtFork();
    if (std::strcmp(CmnGetProgname(), "  parent name that is long enough  ") != 0) return 1;
    if (std::strcmp(CmnGetAdditionalId(), "id-1") != 0) return 2;
    CmnSetProgname(std::string(400, 'p').c_str());
    if (std::strlen(CmnGetProgname()) != kCmnProgNameMax) return 3;
    CmnSetProgname(nullptr);
    if (std::strlen(CmnGetProgname()) != kCmnProgNameMax) return 4;
    return 0;
  });
}

TEST(CmnInitTest, ExitHandlersHonourNoAtExit) {
  tarn::test::TempDir dir;
  static std::string marker;
  marker = dir.path() + "/ran";
  for (int noAtExit : {0, 1}) {
    const int status = tarn::test::RunInChild([noAtExit] {
      cmnDefine_NOATEXIT = noAtExit;
      CmnSetAtAxit([] { tarn::test::WriteFile(marker, "yes"); });
      std::exit(0);
      return 0;
    });
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(tarn::test::ReadFile(marker), noAtExit ? "" : "yes") << noAtExit;
    std::remove(marker.c_str());
  }
}

TEST(CmnInitTest, InetPortFromTheEnvironmentComesFirst) {
  const int status = tarn::test::RunInChild([] {
    setenv("TARN_INET_PORT", "40123", 1);
    if (CmnGetInetPort() != 40123) return 1;
    setenv("TARN_INET_PORT", "70000", 1);  // no port: the service or the default
    const int looked = CmnGetInetPort();
    if (looked <= 0 || looked > 65535 || glInetPort != looked) return 2;
    setenv("TARN_INET_PORT", "12x", 1);
    if (CmnGetInetPort() != looked) return 3;
    unsetenv("TARN_INET_PORT");
    if (CmnGetInetPort() != looked) return 4;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(CmnInitTest, HostNamesAndLookups) {
  char node[kCmnHostNameSize];
  GetNodename(node, sizeof node);
  EXPECT_FALSE(std::string(node).empty());
  for (char c : std::string(node)) EXPECT_FALSE(c >= 'A' && c <= 'Z');

  EXPECT_EQ(GetHostByName(nullptr), nullptr);
  EXPECT_EQ(GetHostByName(""), nullptr);
  EXPECT_EQ(CmnExpandHostname("no-such-host.invalid"), nullptr);
  const char* local = CmnExpandHostname("LOCALHOST");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(std::string(local), "localhost");

  char* copy = nullptr;
  EXPECT_EQ(CmnExpandHostName("no-such-host.invalid", &copy), 0);
  EXPECT_EQ(std::string(copy), "no-such-host.invalid");
  safe_free(copy, TARN_HERE);
  EXPECT_EQ(CmnExpandHostName("localhost", &copy), 1);
  EXPECT_EQ(std::string(copy), "localhost");
  safe_free(copy, TARN_HERE);
  EXPECT_EQ(CmnExpandHostName(nullptr, &copy), -1);
  EXPECT_EQ(copy, nullptr);

  EXPECT_EQ(std::string(CmnCheckHostentAliases(GetHostByName("localhost"))), "localhost");
}

TEST(CmnInitTest, SleepAndYield) {
  const auto start = std::chrono::steady_clock::now();
  CmnSleep(120);
  VEK_Yield(3);
  VEK_Yield(7);
  const double spent =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(spent, 0.13);
  EXPECT_LT(spent, 2.0);
  const double now = CmnGetCurrentTime();
  EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(CmnInitTest, SleepsGoThroughTheProcessClock) {
  cmn::ManualClock manual;
  cmn::ScopedClock scoped(manual);
  const auto start = cmn::ClockNow();
  CmnSleep(90000);
  VEK_Yield(1);
  VEK_Yield(5);
  VEK_Yield(7);
  CmnSleep(-5);
  EXPECT_EQ(cmn::ClockNow() - start, std::chrono::microseconds(91000100));
  EXPECT_EQ(manual.sleeps(), 3) << "a yield and a negative sleep do not sleep";
}

TEST(UserTest, IdentityMachineAndCluster) {
  ASSERT_EQ(CmnGetUserInfo(), 0);
  EXPECT_STRNE(cmnEun, "unnamed");
  EXPECT_STRNE(cmnEgn, "unnamed");
  char machine[kCmnMachineInfoSize];
  const std::string text = CmnGetMachineInfoString(machine, sizeof machine);
  EXPECT_EQ(text.rfind("Linux ", 0), 0u) << text;
  EXPECT_EQ(text.back(), ' ');
  char tiny[6];
  EXPECT_EQ(std::string(CmnGetMachineInfoString(tiny, sizeof tiny)), "Linux");

  const int status = tarn::test::RunInChild([] {
    setenv("VEKSGENABLED", "10", 1);
    UxCheckCluster();
    if (cmnClus != 0 || cmnClusLibLoaded != 0) return 1;
    setenv("VEKSGENABLED", "1", 1);
    CmnCheckAndUpdateEnvironment();
    return cmnClus == 1 && cmnClusLibLoaded == 1 ? 0 : 2;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(UserTest, SetUidToAnUnknownUserChangesNothing) {
  const int status = tarn::test::RunInChild([] {
    const uid_t before = geteuid();
    if (CmnSetUid("no_such_user_tarn") != 0) return 1;
    if (CmnSetUid(nullptr) != 0) return 2;
    if (geteuid() != before) return 3;
    // Switching to the user we already are always works.
    CmnGetUserInfo();
    return CmnSetUid(cmnEun) == 1 && geteuid() == before ? 0 : 4;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(UserTest, SetUidDropsSupplementaryGroups) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a privileged process to set groups";
  const int status = tarn::test::RunInChild([] {
    const gid_t extra[] = {0, 4242};
    if (setgroups(2, extra) != 0) return 1;
    CmnGetUserInfo();
    if (CmnSetUid(cmnEun) != 1) return 2;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
      if (groups[i] == 4242) return 3;
    }
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

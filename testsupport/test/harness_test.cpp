// The harness itself: child processes that end, hang or fail to start, owned
// heap texts, and the install layout every root gets from the one list.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "tarn_test.h"

namespace {

using tarn::test::ChildProcess;

TEST(ChildProcessTest, RunsAFunctionOrAProgramWhileTheTestGoesOn) {
  tarn::test::Watchdog watchdog(60);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ChildProcess child([&] {
    char byte = 0;
    return read(pipeFds[0], &byte, 1) == 1 ? byte : 99;
  });
  ASSERT_TRUE(child.started());
  EXPECT_TRUE(child.Running()) << "the child waits for the test";
  ASSERT_EQ(write(pipeFds[1], "\x07", 1), 1);
  EXPECT_EQ(child.ExitCode(), 7);
  EXPECT_FALSE(child.Running());
  EXPECT_EQ(child.pid(), -1);
  EXPECT_EQ(child.ExitCode(), 7) << "the status is kept once reaped";
  close(pipeFds[0]);
  close(pipeFds[1]);

  EXPECT_EQ(ChildProcess::Program({"/bin/sh", "-c", "exit 5"}).ExitCode(), 5);
  EXPECT_EQ(ChildProcess::Program({"/nonexistent/program"}).ExitCode(), 127);
  const int raw = tarn::test::RunInChild([] { return 3; });
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 3);
}

TEST(ChildProcessTest, AChildLeftRunningIsKilledAndReaped) {
  tarn::test::Watchdog watchdog(60);
  pid_t pid = -1;
  {
    ChildProcess child([] {
      pause();
      return 0;
    });
    pid = child.pid();
    ASSERT_GT(pid, 0);
    ChildProcess moved = std::move(child);
    EXPECT_EQ(child.pid(), -1);
    EXPECT_EQ(moved.pid(), pid);
  }
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1) << "neither running nor a zombie";
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcessTest, AWaitPastItsBoundKillsTheChildAndFails) {
  tarn::test::Watchdog watchdog(60);
  ChildProcess child([] {
    pause();
    return 0;
  });
  int status = 0;
  EXPECT_NONFATAL_FAILURE(status = child.Wait(1), "killed after 1s");
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(child.ExitCode(), -1);
}

int frees = 0;
void CountingFree(void* heap) {
  ++frees;
  std::free(heap);
}

TEST(HeapTextTest, OwnsTheTextUntilItGoes) {
  frees = 0;
  {
    tarn::test::HeapText<CountingFree> text;
    EXPECT_EQ(text.str(), "");
    text.p = strdup("owned");
    EXPECT_EQ(text.str(), "owned");
  }
  EXPECT_EQ(frees, 1);
  EXPECT_EQ(tarn::test::TakeText<CountingFree>(strdup("taken")), "taken");
  EXPECT_EQ(tarn::test::TakeText<CountingFree>(nullptr), "<null>");
  EXPECT_EQ(frees, 2);
}

// Every folder of layout.txt (the list the scripts read too) is in a root.
TEST(TempRootTest, HasEveryFolderOfTheLayoutList) {
  std::istringstream list(tarn::test::ReadFile(TARN_SOURCE_DIR "/testsupport/layout.txt"));
  tarn::test::TempRoot root;
  EXPECT_STREQ(std::getenv("TARN_ROOT"), root.path().c_str());
  int folders = 0;
  for (std::string dir; std::getline(list, dir);) {
    if (dir.empty()) continue;
    ++folders;
    EXPECT_TRUE(std::filesystem::is_directory(root.at("/" + dir))) << dir;
  }
  EXPECT_GE(folders, 8);
}

int resets = 0;
void CountReset() {
  ++resets;
}

class ResetTest : public tarn::test::ResetAroundEachTest<CountReset> {};

TEST_F(ResetTest, RunsBeforeAndAfterEachTest) {
  EXPECT_EQ(resets % 2, 1) << "once before this test, not yet after";
}

}  // namespace

// The placement a namespace runner hands over: loopback without it, each
// stand-in behind `ip netns exec` at its own address with it, and a value
// of the wrong shape refused rather than half used.
TEST(TestHostsTest, ReadsThePlacementOrKeepsLoopback) {
  struct Case {
    const char* value;  // null: unset
    bool malformed;
    std::string cellServer, mediaAgent, self, csNamespace;
  };
  const Case cases[] = {
      {nullptr, false, "127.0.0.1", "127.0.0.1", "127.0.0.1", ""},
      {"", false, "127.0.0.1", "127.0.0.1", "127.0.0.1", ""},
      {"cs 10.7.1.2 ma 10.7.2.2 db 10.7.1.1", false, "10.7.1.2", "10.7.2.2", "10.7.1.1", "cs"},
      {"cs 10.7.1.2 ma 10.7.2.2 db", true, "127.0.0.1", "127.0.0.1", "127.0.0.1", ""},
      {"cs 10.7.1.2 ma 10.7.2.2 db 10.7.1.1 extra", true, "127.0.0.1", "127.0.0.1", "127.0.0.1",
       ""},
  };
  const char* old = std::getenv("TARN_TEST_NETNS");
  const std::string saved = old != nullptr ? old : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "<unset>");
    if (c.value != nullptr) {
      setenv("TARN_TEST_NETNS", c.value, 1);
    } else {
      unsetenv("TARN_TEST_NETNS");
    }
    tarn::test::Hosts hosts;
    if (c.malformed) {
      EXPECT_NONFATAL_FAILURE(hosts = tarn::test::TestHosts(), "needs six words");
    } else {
      hosts = tarn::test::TestHosts();
    }
    EXPECT_EQ(hosts.cellServer.address, c.cellServer);
    EXPECT_EQ(hosts.mediaAgent.address, c.mediaAgent);
    EXPECT_EQ(hosts.self, c.self);
    EXPECT_EQ(hosts.apart, !c.csNamespace.empty());
    if (!c.csNamespace.empty()) {
      EXPECT_EQ(hosts.cellServer.prefix,
                (std::vector<std::string>{"ip", "netns", "exec", c.csNamespace}));
      EXPECT_EQ(hosts.mediaAgent.prefix, (std::vector<std::string>{"ip", "netns", "exec", "ma"}));
    } else {
      EXPECT_TRUE(hosts.cellServer.prefix.empty());
    }
  }
  if (old != nullptr) {
    setenv("TARN_TEST_NETNS", saved.c_str(), 1);
  } else {
    unsetenv("TARN_TEST_NETNS");
  }
}

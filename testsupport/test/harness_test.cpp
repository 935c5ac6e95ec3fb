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

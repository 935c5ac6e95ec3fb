// The leftover check: a process of the run, a segment it made and a semaphore
// set keyed on a file of the root are found; an object of no run is not.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <string>

#include "leftovers.h"
#include "tarn_test.h"

namespace {

TEST(LeftoversTest, FindsTheRunsProcessesAndObjectsUntilTheyGo) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::TempRoot root;
  tarn::test::SysVGuard guard;
  tarn::test::Leftovers leftovers(root.path());
  EXPECT_EQ(leftovers.Remaining(std::chrono::milliseconds(0)), "");

  const std::string idFile = root.at("/var/opt/tarn/tmp/shmid");
  auto maker = tarn::test::ChildProcess::Program(
      {"/usr/bin/perl", "-e",
       "open(my $f, '>', '" + idFile + "'); print $f shmget(0, 4096, 0600 | 01000), \"\\n\";"
       " close($f); sleep 30;"});
  ASSERT_TRUE(tarn::test::WaitForFileText(idFile, "\n", std::chrono::seconds(10)));
  const int segment = std::stoi(tarn::test::ReadFile(idFile));
  guard.segment(segment);
  const int keyed = semget(ftok(idFile.c_str(), 'T'), 1, IPC_CREAT | 0600);
  ASSERT_GE(keyed, 0);
  guard.semaphore(keyed);
  const int foreign = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
  ASSERT_GE(foreign, 0);
  guard.semaphore(foreign);

  const std::string left = leftovers.Remaining(std::chrono::milliseconds(100));
  EXPECT_NE(left.find("process " + std::to_string(maker.pid()) + ": /usr/bin/perl"), std::string::npos)
      << left;
  EXPECT_NE(left.find("shared segment " + std::to_string(segment) + " "), std::string::npos) << left;
  EXPECT_NE(left.find("semaphore set " + std::to_string(keyed) + " "), std::string::npos) << left;
  EXPECT_EQ(left.find("semaphore set " + std::to_string(foreign) + " "), std::string::npos) << left;

  maker.Kill();
  shmctl(segment, IPC_RMID, nullptr);
  semctl(keyed, 0, IPC_RMID);
  EXPECT_EQ(leftovers.Remaining(std::chrono::seconds(2)), "");
}

}  // namespace

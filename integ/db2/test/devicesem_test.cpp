// The agent's device semaphore: several devices given back at once, a wait
// that ends, and devices whose holders ended without giving them back.
#include <sys/sem.h>

#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "db2/nodesem.h"
#include "tarn_test.h"

namespace {

class DeviceSem : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    root_.writeKeyPrograms();
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("devicesemtest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
  }
  // The hold goes too, and with the last hold the set that counts them.
  void TearDown() override { DB2GlobalSemsDelete(&sems_); }
  void Create(int devices) {
    ASSERT_EQ(DB2GlobalSemsCreate(&sems_, devices), 0);
    guard_.semaphore(sems_.globalLock);
    guard_.semaphore(sems_.device);
  }
  int Free() const { return semctl(sems_.device, 0, GETVAL); }

  tarn::test::Watchdog watchdog_{30};
  tarn::test::TempRoot root_;
  tarn::test::SysVGuard guard_;
  Db2GlobalSems sems_;
};

TEST_F(DeviceSem, WaitTakesReleaseGivesSeveralAtOnce) {
  Create(2);
  EXPECT_EQ(DB2DeviceWait(&sems_, 50), 0);
  EXPECT_EQ(DB2DeviceWait(&sems_, 50), 0);
  // No device left: the wait ends rather than waiting for ever.
  EXPECT_EQ(DB2DeviceWait(&sems_, 50), -2);
  EXPECT_EQ(DB2DeviceRelease(&sems_, 2), 0);
  EXPECT_EQ(Free(), 2);
  EXPECT_EQ(DB2DeviceRelease(&sems_, -1), -1);
}

TEST_F(DeviceSem, TopUpBringsBackOnlyWhatIsMissing) {
  Create(3);
  struct Step {
    int take;     // devices taken before the top-up
    int atLeast;  // free devices asked for
    int added, free;
  };
  const Step steps[] = {
      {3, 1, 1, 1},  // two holders still run, one ended without giving back
      {0, 1, 0, 1},  // nothing missing
      {1, 3, 3, 3},  // every holder gone
  };
  for (const Step& s : steps) {
    for (int i = 0; i < s.take; ++i) ASSERT_EQ(DB2DeviceWait(&sems_, 50), 0);
    EXPECT_EQ(DB2DeviceTopUp(&sems_, s.atLeast), s.added);
    EXPECT_EQ(Free(), s.free);
  }
}

TEST_F(DeviceSem, GoneSetIsReportedNotWaitedFor) {
  Create(1);
  // Another process deleted the sets (a coordinator that gave up pacing).
  const Db2GlobalSems stale = sems_;
  DB2GlobalSemsDelete(&sems_);
  EXPECT_EQ(DB2DeviceWait(&stale, 50), -1);
  EXPECT_EQ(DB2DeviceRelease(&stale, 1), -1);
  EXPECT_EQ(DB2DeviceTopUp(&stale, 1), -1);
}

}  // namespace

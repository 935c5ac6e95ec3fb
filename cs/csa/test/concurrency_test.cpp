// Two processes bind to the same stand-in cell server at once and each writes
// and reads back its own large item while the other does the same.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/concurrency_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::kHost;

class ConcurrencyTest : public CsaTest {};

// Binds, then writes and reads its item ten times. The exit code names the
// step that failed.
int Client(int id) {
  CmnContextAtFork();
  if (MCsaInit(kHost) != 0) return 10;
  std::string value(150000 + id, static_cast<char>('a' + id));
  const std::string name = "proc" + std::to_string(id);
  for (int round = 0; round < 10; ++round) {
    value[round] = static_cast<char>('0' + round);
    if (MCsaPutGroupItem(0, 12, name.c_str(), value.c_str(), 1) != 0) return 20;
    csatest::Owned text;
    if (MCsaGetGroupItem(0, 12, name.c_str(), &text.p, 0) != 0) return 30;
    if (value != text.str()) return 40;
  }
  CsaExit();
  return 0;
}

TEST_F(ConcurrencyTest, TwoProcessesBindAndTransferAtOnce) {
  tarn::test::Watchdog watchdog(60);
  ASSERT_NO_FATAL_FAILURE(StartServer());
  tarn::test::ChildProcess children[2];
  for (int id = 0; id < 2; ++id) {
    children[id] = tarn::test::ChildProcess([id] { return Client(id); });
    ASSERT_TRUE(children[id].started());
  }
  for (tarn::test::ChildProcess& child : children) {
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(Count("request < 0 "), 2);
}

}  // namespace

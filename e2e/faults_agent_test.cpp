// The media agent failing under the backup agent: killed early, in the middle
// and at the end of a backup and in the middle of a restore, its disk full,
// a stored stream cut short or with a byte flipped before a restore, and the
// link to it cut inside one object of a backup or a restore. Each run must
// end in bounded time as a failure that DB2, the session manager and the
// administrator see (or, where the stream resumes, as a whole image), restore
// no wrong data, keep no version of a broken stream in the catalogue, and
// leave nothing behind.
#include <signal.h>
#include <sys/shm.h>

#include <atomic>
#include <thread>

#include "kestrel_fixture.h"
#include "leftovers.h"
#include "link_cut.h"

namespace {

using Checksums = std::vector<std::uint64_t>;
constexpr int kNodes[] = {0, 1, 2};
// Two sessions for each of the three partitions.
constexpr int kStreams = 6;

// Blocks the media agent has taken in (backup) or handed out (restore), by
// its traffic log: one "< 24" or "> 24" line per block.
int BlocksMoved(const std::vector<std::string>& traffic, const char* direction) {
  const std::string mark = std::string(direction) + " 24 \"";
  return static_cast<int>(std::count_if(traffic.begin(), traffic.end(), [&](const std::string& l) {
    return l.find(mark) != std::string::npos;
  }));
}

class AgentFaultTest : public KestrelTest {
 protected:
  // The stand-ins with an agent that answers each block after `delayMs`, so
  // that a kill lands where it is aimed, and `faults` on its command line.
  void StartSlow(int restores, int delayMs, const std::vector<std::string>& faults = {}) {
    std::vector<std::string> args = {"--fault", "delay=" + std::to_string(delayMs)};
    for (const std::string& f : faults) args.insert(args.end(), {"--fault", f});
    Start(kStreams, restores, args);
  }

  Checksums Sums() const {
    Checksums sums;
    for (int node : kNodes) sums.push_back(db2_.store().ContentChecksum(kInstance, kDatabase, node));
    return sums;
  }
  // Some 25 blocks more for each session; `base` tells one fill from another.
  void Fill(char base) const {
    for (int node : kNodes)
      db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1",
                             std::string(200000, static_cast<char>(base + node)));
  }

  // Runs the agent with `line` while a watcher kills the media agent with
  // SIGKILL once `moved` blocks went in `direction`, or, with the agent's
  // hold fault, once every stream of the run has opened and each open one
  // waits at its held block (earlier, held streams are let go whenever all
  // open ones wait). Whether it fired.
  AgentRun RunKillingAgentAt(const std::string& line, const char* direction, int moved,
                             bool* fired) {
    std::atomic<bool> done{false};
    std::atomic<bool> killed{false};
    const pid_t pid = ma_->pid();
    const int before = BlocksMoved(ma_->traffic(), direction);
    std::thread watcher([&] {
      for (;;) {
        if (done) return;
        const std::vector<std::string> traffic = ma_->traffic();
        if (BlocksMoved(traffic, direction) - before >= moved) break;
        const int held = holding_ ? ma_->held() : 0;
        if (held > 0 && held == ma_->openConnections()) {
          if (Opened(traffic) >= kStreams) break;
          ReleaseHeld(held);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      clientsHeld_ = SegmentsOf(pid, 2);
      killed = kill(pid, SIGKILL) == 0;
      killedAgent_ = pid;
      for (const std::string& e : ma_->events())
        streamsStored_ += e.find("STREAM_END") != std::string::npos &&
                          e.find("status=stop") != std::string::npos;
    });
    AgentRun r = Agent(line);
    done = true;
    watcher.join();
    *fired = killed;
    return r;
  }

  // The run failed where everyone sees it: DB2's result with an error, a
  // non-zero exit of the agent (not its end by the session manager's
  // time-out) and a failed session. Clears DB2's calls log for the next run.
  void ExpectVisibleFailure(const AgentRun& r) const {
    EXPECT_NE(r.exitCode, 0) << r.record << "\n" << r.output;
    EXPECT_NE(r.exitCode, -1) << "the agent did not end by itself: " << r.record;
    EXPECT_NE(r.record.find("outcome=failed"), std::string::npos) << r.record;
    const std::string log = tarn::test::ReadFile(db2_.store().CallsLog());
    int errors = 0;
    for (const Call& c : Calls(log)) {
      const bool result = c.call == "sqlubkp-result" || c.call == "sqlurestore-result";
      errors += result && c.text.rfind("sqlcode=0 ", 0) != 0 && c.text != "sqlcode=0";
    }
    EXPECT_GT(errors, 0) << log;
    std::filesystem::remove(db2_.store().CallsLog());
  }

  // Each partition holds what it held before the restore or what was backed
  // up, never a third state.
  void ExpectNoWrongData(const Checksums& before, const Checksums& backedUp) const {
    const Checksums now = Sums();
    for (std::size_t i = 0; i < now.size(); ++i)
      EXPECT_TRUE(now[i] == before[i] || now[i] == backedUp[i]) << "partition " << kNodes[i];
  }

  // Lets every stream held now go on, and waits (a little) until each has.
  void ReleaseHeld(int held) const {
    const auto released = [this] {
      const std::vector<std::string> traffic = ma_->traffic();
      return std::count_if(traffic.begin(), traffic.end(), [](const std::string& l) {
        return l.find(" fault released ") != std::string::npos;
      });
    };
    const auto before = released();
    ma_->release();
    for (int i = 0; i < 1000 && released() < before + held; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Connections the agent has taken, by its traffic log.
  static int Opened(const std::vector<std::string>& traffic) {
    return static_cast<int>(std::count_if(traffic.begin(), traffic.end(), [](const std::string& l) {
      return l.find(" open ") != std::string::npos && l.rfind("c", 0) == 0;
    }));
  }

  // Stops the stand-ins and expects nothing of the run left behind, every
  // segment of the run counted, the media agent's too. After a killed agent
  // the client side has taken back the segments it held when the agent died,
  // and the agent, restarted on its store, removes what its dead self made.
  void ExpectNothingLeft(const tarn::test::Leftovers& leftovers) {
    if (killedAgent_ > 0) {
      std::string kept;
      for (int i = 0; i < 250; ++i) {
        kept.clear();
        for (int id : clientsHeld_)
          if (shmid_ds state{}; shmctl(id, IPC_STAT, &state) == 0) kept += std::to_string(id) + " ";
        if (kept.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_EQ(kept, "") << "segments the clients held when the agent died";
      EXPECT_TRUE(ma_->restart());
    }
    if (ma_) ma_->stop();
    ma_.reset();
    cs_.reset();
    clientsvc_.reset();
    EXPECT_EQ(leftovers.Remaining(), "");
  }

  // The segments `creator` made that at least `attached` processes hold.
  static std::vector<int> SegmentsOf(pid_t creator, int attached) {
    std::vector<int> ids;
    std::istringstream table(tarn::test::ReadFile("/proc/sysvipc/shm"));
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      long long key = 0, size = 0;
      int id = -1;
      std::string perms;
      pid_t cpid = 0, lpid = 0;
      int nattch = 0;
      if (fields >> key >> id >> perms >> size >> cpid >> lpid >> nattch && cpid == creator &&
          nattch >= attached)
        ids.push_back(id);
    }
    return ids;
  }

  std::vector<int> clientsHeld_;
  bool holding_ = false;  // the agent runs with the hold fault
  pid_t killedAgent_ = -1;
  int streamsStored_ = 0;  // when the agent was killed
};

constexpr char kBackup[] = "-backup -dbname SAMPLE -conc 2";
constexpr char kRestore[] = "-restore -dbname SAMPLE";

struct BackupFault {
  const char* name;
  int (*killAt)(int total);  // blocks stored, of `total`, when the agent is killed; null: not killed
  std::vector<std::string> faults;
  // Each stream held two blocks before the end of the shortest: the kill
  // comes before the last streams are stored however slow the run.
  bool holdNearTheEnd = false;
};

void PrintTo(const BackupFault& fault, std::ostream* out) {
  *out << fault.name;
}

// One test each: a case runs a whole backup or two, which under a sanitizer
// on a loaded machine takes a good share of a test's time.
class AgentBackupFaultTest : public AgentFaultTest,
                             public ::testing::WithParamInterface<BackupFault> {};

TEST_P(AgentBackupFaultTest, FailsTheBackup) {
  const BackupFault& c = GetParam();
  Fill('a');
  int total = 0;
  std::vector<std::string> faults = c.faults;
  if (c.killAt != nullptr) {
    // The blocks of a whole backup, from one that runs undisturbed.
    ASSERT_NO_FATAL_FAILURE(StartSlow(0, 0));
    const AgentRun whole = Agent(kBackup);
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    total = BlocksMoved(ma_->traffic(), "<");
    ASSERT_GE(total, 10 * kStreams);
    if (c.holdNearTheEnd) {
      int shortest = total;
      for (const std::string& e : ma_->events())
        if (const std::size_t at = e.find(" blocks="); e.starts_with("STREAM_END") && at != e.npos)
          shortest = std::min(shortest, std::atoi(e.c_str() + at + 8));
      ASSERT_GE(shortest, 10);
      faults.push_back("hold=" + std::to_string(shortest - 2));
      holding_ = true;
    }
  }
  tarn::test::Leftovers leftovers(root_.path());
  // Acknowledgements 30 ms apart leave the watcher time to kill between
  // the last blocks even on a loaded machine.
  ASSERT_NO_FATAL_FAILURE(StartSlow(0, 30, faults));
  AgentRun r;
  if (c.killAt != nullptr) {
    bool fired = false;
    r = RunKillingAgentAt(kBackup, "<", c.killAt(total), &fired);
    ASSERT_TRUE(fired) << "the backup ended before the agent was killed: " << r.record;
    ASSERT_LT(streamsStored_, kStreams) << "every stream was stored before the kill";
  } else {
    r = Agent(kBackup);
  }
  ExpectVisibleFailure(r);
  ExpectNothingLeft(leftovers);
}

INSTANTIATE_TEST_SUITE_P(
    MediaAgent, AgentBackupFaultTest,
    ::testing::Values(BackupFault{"KilledAtTheFirstBlock", [](int) { return 1; }, {}},
                      BackupFault{"KilledInTheMiddle", [](int total) { return total / 2; }, {}},
                      // Some two blocks before each stream's end: a run's count
                      // may fall a little short of the undisturbed run's.
                      BackupFault{"KilledAtTheLastBlocks",
                                  [](int total) { return total - 2 * kStreams; }, {}, true},
                      BackupFault{"DiskFull", nullptr, {"disk-full=16384"}}),
    [](const ::testing::TestParamInfo<BackupFault>& info) { return std::string(info.param.name); });

// The restore streams are held at block 10 (of some 25 each) and the agent is
// killed once every open stream waits there: no clock decides when.
TEST_F(AgentFaultTest, ARestoreWhoseAgentDiesFailsAndRestoresNothingWrong) {
  ASSERT_NO_FATAL_FAILURE(StartSlow(kStreams, 10, {"restore-hold=10"}));
  holding_ = true;
  Fill('a');
  const Checksums backedUp = Sums();
  ASSERT_EQ(Agent(kBackup).exitCode, 0);
  const int stored = BlocksMoved(ma_->traffic(), "<");
  Fill('k');
  const Checksums before = Sums();

  tarn::test::Leftovers leftovers(root_.path());
  bool fired = false;
  const AgentRun r = RunKillingAgentAt(kRestore, ">", stored, &fired);
  ASSERT_TRUE(fired) << "the restore ended before the agent was killed: " << r.record;
  ExpectVisibleFailure(r);
  ExpectNoWrongData(before, backedUp);
  ExpectNothingLeft(leftovers);
}

TEST_F(AgentFaultTest, ADamagedStoredStreamFailsTheRestoreAndRestoresNothingWrong) {
  tarn::test::Leftovers leftovers(root_.path());
  ASSERT_NO_FATAL_FAILURE(StartSlow(2 * kStreams, 0));
  Fill('a');
  const Checksums backedUp = Sums();
  ASSERT_EQ(Agent(kBackup).exitCode, 0);
  Fill('k');
  const Checksums before = Sums();

  // A stored stream of partition 0, found by its data.
  const std::string marker(256, 'a');
  int da = 1;
  while (da <= kStreams && ma_->blocks(da).find(marker) == std::string::npos) ++da;
  ASSERT_LE(da, kStreams);
  const std::string path = ma_->storeDir() + "/da-" + std::to_string(da);
  const std::string blocks = ma_->blocks(da);
  std::string flipped = blocks;
  flipped[blocks.find(marker) + marker.size() / 2] ^= 0x01;
  struct Case {
    const char* what;
    std::string blocks;
  };
  const Case cases[] = {
      {"cut in the middle", blocks.substr(0, blocks.size() / 2 + 100)},
      {"a byte of data flipped", flipped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tarn::test::WriteFile(path + ".blocks", c.blocks);
    const AgentRun r = Agent(kRestore);
    ExpectVisibleFailure(r);
    ExpectNoWrongData(before, backedUp);
  }
  ExpectNothingLeft(leftovers);
}

// ---------------------------------------------------------------- a link cut inside one object

// What a run with a cut link must end in.
enum class CutEnd { kFails, kCompletes, kEither };

struct LinkCutCase {
  const char* name;
  bool restore;                     // the cut comes in the restore (else in the backup)
  std::string rc;                   // added to the rc file: the network process forced
  std::string smWords;              // added to each object answer: a reconnect port
  std::vector<std::string> faults;  // the media agent's own cut
  bool veth;                        // the veth link to the agent taken down and up
  CutEnd apart;                     // with the stand-ins in namespaces of their own
  CutEnd loopback;                  // with the stand-ins beside the test
};

void PrintTo(const LinkCutCase& c, std::ostream* out) {
  *out << c.name;
}

class AgentLinkCutTest : public AgentFaultTest, public ::testing::WithParamInterface<LinkCutCase> {
 protected:
  // Runs the agent with `line`; once `moved` blocks went in `direction` the
  // link to the media agent goes down for `down`, then up again. Sets
  // *endedAtCut to the streams that had ended when it went down (-1: no cut).
  AgentRun RunCuttingTheLinkAt(const std::string& line, const char* direction, int moved,
                               std::chrono::milliseconds down, int* endedAtCut) {
    std::atomic<bool> done{false};
    std::atomic<int> ended{-1};
    const int before = BlocksMoved(ma_->traffic(), direction);
    std::thread watcher([&] {
      while (!done && BlocksMoved(ma_->traffic(), direction) - before < moved)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (done) return;
      tarn::test::LinkCut cut(tarn::test::kLinkToMediaAgent);
      if (!cut.ok()) return;
      int n = 0;
      for (const std::string& e : ma_->events()) n += e.find("STREAM_END") != std::string::npos;
      ended = n - endedBefore_;
      for (auto left = down; left.count() > 0 && !done; left -= std::chrono::milliseconds(50))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    AgentRun r = Agent(line);
    done = true;
    watcher.join();
    *endedAtCut = ended;
    return r;
  }

  // Every version the session manager stored names a stream the media agent
  // took to its stop: a broken stream never reads as complete.
  void ExpectOnlyWholeVersions() const {
    for (const std::string& line : tarn::test::FileLines(cs_->stateDir() + "/catalogue")) {
      if (line.rfind("cat-version ", 0) != 0) continue;
      const std::size_t at = line.rfind(" da=");
      ASSERT_NE(at, std::string::npos) << line;
      const int da = std::atoi(line.c_str() + at + 4);
      EXPECT_NE(ma_->metadata(da).find("status stop"), std::string::npos) << line;
    }
  }

  int endedBefore_ = 0;  // stream ends the media agent printed before the cut run
};

// Data moves 30 ms a block; a stream holds some 30 blocks. The cut comes
// at block 10 of the first stream that gets there, or with 10 blocks moved in
// all, when no stream has ended yet.
constexpr int kCutBlock = 10;
constexpr auto kCutBound = std::chrono::seconds(60);
constexpr auto kLinkDown = std::chrono::seconds(3);
const std::string kNetBackup = "VEKBDANET=1\n";
const std::string kNetRestore = "VEKRDANET=1\n";
const std::string kReconnect = " -lport ${host} ${lport}";
const std::string kAgentCloses = "cut-at=" + std::to_string(kCutBlock);
const std::string kAgentResets = "drop-after=" + std::to_string(kCutBlock);
const std::string kAgentClosesRestore = "restore-cut-at=" + std::to_string(kCutBlock);

TEST_P(AgentLinkCutTest, EndsInAnErrorOrAWholeImage) {
  const LinkCutCase& c = GetParam();
  if (c.veth && !hosts_.apart) GTEST_SKIP() << "the veth links are there in the namespaces only";
  const CutEnd expected = hosts_.apart ? c.apart : c.loopback;
  std::vector<std::string> args = {"--fault", "delay=30"};
  for (const std::string& f : c.faults) args.insert(args.end(), {"--fault", f});
  ASSERT_NO_FATAL_FAILURE(Start(kStreams, kStreams, args, c.smWords));
  // A reconnection gives up within the bound.
  WriteRc(c.rc + "VEKRECONNECT_RETRY=10\n");
  Fill('a');
  const Checksums backedUp = Sums();
  tarn::test::Leftovers leftovers(root_.path());
  if (c.restore) {
    const AgentRun backup = Agent(kBackup);
    ASSERT_EQ(backup.exitCode, 0) << backup.record << "\n" << backup.output;
    std::filesystem::remove(db2_.store().CallsLog());
    Fill('k');
  }
  const Checksums before = Sums();
  for (const std::string& e : ma_->events())
    endedBefore_ += e.find("STREAM_END") != std::string::npos;

  const auto began = std::chrono::steady_clock::now();
  const std::string line = c.restore ? kRestore : kBackup;
  AgentRun r;
  if (c.veth) {
    int endedAtCut = -1;
    r = RunCuttingTheLinkAt(line, c.restore ? ">" : "<", kCutBlock, kLinkDown, &endedAtCut);
    ASSERT_GE(endedAtCut, 0) << "the link was not cut: " << r.record;
    EXPECT_EQ(endedAtCut, 0) << "the cut came after a stream had ended";
  } else {
    r = Agent(line);
    const bool resets = c.faults.front().rfind("drop", 0) == 0;
    EXPECT_TRUE(ma_->waitForTraffic(resets ? "drop-after" : "cut after"))
        << "the agent's own cut did not come";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, kCutBound) << r.record;
  if (expected != CutEnd::kEither) {
    EXPECT_EQ(r.exitCode == 0, expected == CutEnd::kCompletes) << r.record << "\n" << r.output;
  }

  if (r.exitCode != 0) {
    ExpectVisibleFailure(r);
    ExpectNoWrongData(before, backedUp);
  } else if (c.restore) {
    EXPECT_EQ(Sums(), backedUp);
  } else {
    // The images that went through the cut restore whole.
    Fill('k');
    const AgentRun restore = Agent(kRestore);
    EXPECT_EQ(restore.exitCode, 0) << restore.record << "\n" << restore.output;
    EXPECT_EQ(Sums(), backedUp);
  }
  ExpectOnlyWholeVersions();
  ExpectNothingLeft(leftovers);
}

INSTANTIATE_TEST_SUITE_P(
    MediaAgent, AgentLinkCutTest,
    ::testing::Values(
        // The agent closes the link in the middle of an object's stream: the
        // network process passes the abort on, no reconnection.
        LinkCutCase{"BackupLinkClosedByTheAgent", false, kNetBackup, kReconnect, {kAgentCloses},
                    false, CutEnd::kFails, CutEnd::kFails},
        // The link breaks (a reset): without a reconnect port the stream
        // fails; with one a remote agent's stream resumes, while a link the
        // IPC layer counts as local is not reconnected.
        LinkCutCase{"BackupLinkResetWithoutReconnectPort", false, kNetBackup, "", {kAgentResets},
                    false, CutEnd::kFails, CutEnd::kFails},
        LinkCutCase{"BackupLinkResetWithReconnectPort", false, kNetBackup, kReconnect,
                    {kAgentResets}, false, CutEnd::kCompletes, CutEnd::kFails},
        // A restore never reconnects: from the agent's segment (on this
        // host) or through the network process.
        LinkCutCase{"RestoreLinkClosedByTheAgent", true, "", "", {kAgentClosesRestore}, false,
                    CutEnd::kFails, CutEnd::kFails},
        LinkCutCase{"RestoreThroughTheNetworkProcessLinkClosedByTheAgent", true, kNetRestore, "",
                    {kAgentClosesRestore}, false, CutEnd::kFails, CutEnd::kFails},
        // The veth link down for seconds and up again: the streams hold
        // (or resume), or the run fails where all see it.
        LinkCutCase{"BackupAcrossTheLinkDownAndUp", false, "", kReconnect, {}, true,
                    CutEnd::kEither, CutEnd::kEither},
        LinkCutCase{"RestoreAcrossTheLinkDownAndUp", true, "", "", {}, true, CutEnd::kEither,
                    CutEnd::kEither}),
    [](const ::testing::TestParamInfo<LinkCutCase>& info) { return std::string(info.param.name); });

}  // namespace

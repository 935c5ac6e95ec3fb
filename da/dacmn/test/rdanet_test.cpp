// The restore network process, driven from a test parent over its pipe pair:
// a stored stream from the stand-in media agent over the socket into the
// shared segment (also behind a section and across a close and reopen), the
// stop handshake and the exit codes, the agent's faults, the checks on what
// the agent and the parent send, and the file variant.
#include "dacmn/rdanet.h"

#include <dirent.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cmn/strmsg.h"
#include "codec/dastream.h"
#include "dacmn/bm.h"
#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"
#include "dastream_test_util.h"
#include "mediaagent/testing/mediaagent_standin.h"

namespace {

using namespace std::string_literals;
using datest::Description;
using datest::FakeAgent;
using datest::HasReport;
using datest::Msg;
namespace ds = tarn::standin::dastream;
using tarn::test::MediaAgentStandIn;

constexpr int kDa = datest::kStreamDa;

// ---------------------------------------------------------------- rings

TEST(RIdRingTest, Holds256IdsInOrderAcrossTheWrap) {
  ASSERT_NO_FATAL_FAILURE(datest::ExpectRingOrderAcrossTheWrap<256>(200));
  // The backup ring of the same kind still holds 64.
  IdRing small{};
  NetClrID(&small);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(NetPutID(&small, i), 0);
  EXPECT_EQ(NetPutID(&small, 64), -1);
}

// ---------------------------------------------------------------- the test parent

// The restore buffer manager's side of the pipe: attaches the segment that
// MSG_LISTEN names, takes the buffers the child announces, releases them and
// stops or aborts.
class Parent {
 public:
  // Each segment it attaches is removed by `guard`, when given, at its end.
  explicit Parent(IpcHandle pipe, tarn::test::SysVGuard* guard = nullptr)
      : pipe_(pipe), guard_(guard) {}
  ~Parent() { Detach(); }
  Parent(const Parent&) = delete;
  Parent& operator=(const Parent&) = delete;

  // The next message from the child, its code (0: pipe closed, -1: failure
  // or nothing within 20 s). Reports are collected, MSG_LISTEN attaches the
  // segment and MSG_DATA adds to `announced`.
  int Next() {
    const int code = datest::NextFromChild(pipe_, &reports);
    StrMsg* in = IpcGetReceiveStrMsg(pipe_);
    if (code == MSG_DATA) {
      int id = -1;
      if (StrParseMessageFL(in, "%d", &id) == 0) announced.push_back(id);
    } else if (code == MSG_LISTEN) {
      // A child that has ended may have taken its segment along.
      if (StrParseMessageFL(in, "%d%d%d%d%d%d", &key, &segment, &section, &count, &size, &offset) !=
              0 ||
          !Attach()) {
        Detach();
      }
    }
    return code;
  }

  // Waits for MSG_LISTEN; false on MSG_ABORT, a closed pipe or a failure.
  bool Listen() {
    for (;;) {
      lastCode = Next();
      if (lastCode == MSG_LISTEN) break;
      if (lastCode <= 0 || lastCode == MSG_ABORT) return false;
    }
    return base_ != nullptr;
  }

  bool Send(const std::string& message) {
    return IpcSendData(pipe_, message.data(), static_cast<int>(message.size())) > 0;
  }
  bool Send(int code) { return Send(Msg({std::to_string(code)})); }
  bool Release(int id, int da = kDa) {
    return Send(Msg({"24", std::to_string(da), std::to_string(id)}));
  }

  // Takes `buffers` announced buffers in turn, keeps a copy of each (whole,
  // or its block behind the offset) and releases it. The copies joined;
  // shorter when the child sent anything else (its code in lastCode).
  std::string Take(int buffers, bool blocksOnly = true) {
    std::string out;
    for (int n = 0; n < buffers; ++n) {
      std::size_t at = announced.size();
      while (announced.size() == at) {
        lastCode = Next();
        if (lastCode != MSG_DATA && lastCode != MSG_MSG && lastCode != MSG_MSGFMT &&
            lastCode != MSG_CON) {
          return out;
        }
      }
      const int id = announced[at];
      out += blocksOnly ? Block(id) : Buffer(id);
      if (!Release(id)) return out;
    }
    return out;
  }

  // Restore buffers lie at the segment's start whatever the section.
  std::string Buffer(int id) const {
    return std::string(base_ + std::size_t(size) * std::size_t(id), std::size_t(size));
  }
  std::string Block(int id) const {
    const std::size_t start = (std::size_t(offset) + 7) & ~std::size_t(7);
    return Buffer(id).substr(start);
  }
  std::string Segment() const { return std::string(base_, std::size_t(segment)); }
  int shmid() const { return shmid_; }

  int key = -1, segment = 0, section = 0, count = 0, size = 0, offset = 0;
  std::vector<std::string> reports;
  std::vector<int> announced;
  int lastCode = 0;

 private:
  bool Attach() {
    Detach();
    shmid_ = shmget(key, 0, 0);
    if (shmid_ < 0) return false;
    if (guard_ != nullptr) guard_->segment(shmid_);
    void* at = shmat(shmid_, nullptr, SHM_RDONLY);
    if (at == reinterpret_cast<void*>(-1)) return false;
    base_ = static_cast<char*>(at);
    return true;
  }
  void Detach() {
    if (base_ != nullptr) shmdt(base_);
    base_ = nullptr;
  }

  IpcHandle pipe_;
  tarn::test::SysVGuard* guard_;
  int shmid_ = -1;
  char* base_ = nullptr;
};

// Every block decodes, in sequence from 0.
void ExpectDecodes(const std::string& blocks, std::size_t blockSize) {
  ASSERT_EQ(blocks.size() % blockSize, 0u);
  ds::StreamDecoder decoder;
  for (std::size_t at = 0; at < blocks.size(); at += blockSize) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(blocks.data()) + at;
    ASSERT_TRUE(decoder.Check({p, blockSize})) << decoder.error();
  }
  EXPECT_EQ(decoder.blocks(), blocks.size() / blockSize);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RdaNetTest : public datest::NetProcessTest {
 protected:
  void TearDown() override {
    VEK_ShutdownRDANetIO();
    NetProcessTest::TearDown();
  }

  // Stores one object with `bytes` of data at the stand-in, through its own
  // shared memory; the stored blocks.
  static std::string Store(const MediaAgentStandIn& ma, std::size_t bytes) {
    EXPECT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa,
                     "127.0.0.1", ma.port(), nullptr, 1.0, nullptr, nullptr, nullptr),
              1);
    EXPECT_TRUE(datest::WriteObject(datest::Payload(bytes)));
    EXPECT_EQ(BmFlush(), 1);
    EXPECT_EQ(BmExit(1), 1);
    EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
    return ma.blocks(kDa);
  }

  // Starts the restore network process for an agent at 127.0.0.1:port (port
  // -1: the file variant at `path`); its process id.
  pid_t Start(int port, const std::string& path = "") {
    AimStream(port, path, kDa);
    const std::set<pid_t> before = datest::Children();
    EXPECT_EQ(VEK_CreateRDANetIO("rdanet-test", nullptr, nullptr, nullptr, 0), 1);
    for (pid_t pid : datest::Children())
      if (before.count(pid) == 0) return pid;
    return -1;
  }

  // The exit code of the network process; -1 when it did not exit normally.
  static int ExitCode(pid_t pid) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

std::vector<std::string> Agent(std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// What the stand-in saw, for a failed expectation.
std::string Seen(const MediaAgentStandIn& ma, const Parent& parent) {
  std::string out = "last message " + std::to_string(parent.lastCode) + "\n";
  for (const std::string& line : parent.reports) out += line + "\n";
  for (const std::string& line : ma.traffic())
    if (line.find(" 24 ") == std::string::npos) out += line + "\n";
  for (const std::string& line : ma.events()) out += line + "\n";
  return out;
}

// ---------------------------------------------------------------- a remote agent

TEST_F(RdaNetTest, RemoteAgentsBlocksArriveWholeInTheSharedSegmentAndStopEndsWith0) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Agent()});
  ASSERT_TRUE(ma.ready());
  // More blocks than a ring has slots: both rings wrap.
  const std::string stored = Store(ma, 1200000);
  const int blocks = static_cast<int>(stored.size() / 4096);
  ASSERT_GT(blocks, kRNetRingSlots);

  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_EQ(parent.count, 4);
  EXPECT_EQ(parent.size, 4096);
  EXPECT_EQ(parent.section, 0);
  EXPECT_EQ(parent.segment, 4 * 4096);
  EXPECT_EQ(parent.offset, 0);

  const std::string got = parent.Take(blocks);
  ASSERT_EQ(got.size(), stored.size()) << parent.lastCode;
  EXPECT_TRUE(got == stored);
  ExpectDecodes(got, 4096);
  // The bytes came over the socket into a segment of the process's own.
  EXPECT_TRUE(ma.waitForTraffic("socket"));

  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(parent.Next(), 0);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_STOP);
  EXPECT_TRUE(parent.reports.empty()) << parent.reports.front();
}

TEST_F(RdaNetTest, LocalAgentFillsItsOwnSegmentAndOnlyIdsTravel) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Agent({"--transfer", "shm"})});
  ASSERT_TRUE(ma.ready());
  const std::string stored = Store(ma, 60000);
  const int blocks = static_cast<int>(stored.size() / 4096);

  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle());
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_EQ(parent.segment, 4 * 4096);
  EXPECT_TRUE(parent.Take(blocks) == stored);
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_STOP);
  for (const std::string& line : ma.traffic()) EXPECT_EQ(line.find("raw"), std::string::npos);
}

// A section only shapes the segment: a remote agent's bytes for buffer i land
// i buffers from its start, where the parent reads them.
TEST_F(RdaNetTest, RemoteBuffersLieFromTheSegmentsStartWhateverTheSection) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Agent({"--section", "2"})});
  ASSERT_TRUE(ma.ready());
  const std::string stored = Store(ma, 30000);
  const int blocks = static_cast<int>(stored.size() / 4096);

  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_EQ(parent.section, 2);
  EXPECT_EQ(parent.segment, 3 * 4 * 4096);
  EXPECT_TRUE(parent.Take(blocks) == stored);
  // Nothing landed behind the first four buffers.
  EXPECT_EQ(parent.Segment().substr(4 * 4096), std::string(2 * 4 * 4096, '\0'));
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_STOP);
}

TEST_F(RdaNetTest, ClosedObjectIsOpenedAgainFromItsFirstBlockWithoutAnAbort) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Agent()});
  ASSERT_TRUE(ma.ready());
  const std::string stored = Store(ma, 60000);
  const int blocks = static_cast<int>(stored.size() / 4096);

  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_TRUE(parent.Take(3) == stored.substr(0, 3 * 4096));

  ASSERT_TRUE(parent.Send(MSG_CLOSE));
  ASSERT_TRUE(parent.Send(Msg({"27", std::to_string(kDa)})));
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_TRUE(parent.Take(blocks) == stored);
  ASSERT_TRUE(parent.Send(MSG_STOP));
  int code = 0;
  while ((code = parent.Next()) == MSG_DATA) {
  }
  EXPECT_EQ(code, MSG_STOP);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_STOP);
  EXPECT_TRUE(parent.reports.empty()) << parent.reports.front();
}

TEST_F(RdaNetTest, ParentClosingThePipeWithoutAStopEndsWith3) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Agent()});
  ASSERT_TRUE(ma.ready());
  Store(ma, 30000);
  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  {
    Parent parent(MaIpcHandle(), &guard);
    ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
    parent.Take(1);
  }
  EXPECT_EQ(VEK_ShutdownRDANetIO(), 0);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_IPC);
}

TEST_F(RdaNetTest, AgentLeavingWithoutACloseAbortsTheParent) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  // The fault would hit the backup first: another agent on the same store
  // serves the restore.
  tarn::test::TempDir store;
  std::string stored;
  {
    MediaAgentStandIn backup({.args = Agent(), .storeDir = store.path()});
    ASSERT_TRUE(backup.ready());
    stored = Store(backup, 60000);
  }
  MediaAgentStandIn ma({.args = Agent({"--fault", "cut-at=2"}), .storeDir = store.path()});
  ASSERT_TRUE(ma.ready());
  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen()) << Seen(ma, parent);
  EXPECT_TRUE(parent.Take(10) == stored.substr(0, 2 * 4096));
  EXPECT_EQ(parent.lastCode, MSG_ABORT);
  ASSERT_TRUE(parent.Send(MSG_ABORT));
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_ABORT);
}

TEST_F(RdaNetTest, AnnouncedBufferOutsideTheSegmentEndsTheProcessUnreceived) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Agent({"--fault", "bad-buffer=1"})});
  ASSERT_TRUE(ma.ready());
  Store(ma, 30000);
  setenv("VEKRDANET", "1", 1);
  const pid_t pid = Start(ma.port());
  Parent parent(MaIpcHandle(), &guard);
  // Block 0 comes in buffer 0, block 1 is announced in buffer 4 of 0..3.
  while (parent.Next() > 0) {
  }
  EXPECT_EQ(parent.announced, (std::vector<int>{0}));
  EXPECT_TRUE(HasReport(parent.reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_IPC);
}

// ---------------------------------------------------------------- a scripted agent

// The network process against a scripted agent over the socket, driven by
// the test parent.
class RdaNetScriptedTest : public RdaNetTest {
 protected:
  void TearDown() override {
    // As a test's own locals would, they end before the process's pipe.
    parent_.reset();
    agent_.reset();
    guard_.reset();
    RdaNetTest::TearDown();
  }

  // Starts the process on the agent, its buffers over the socket.
  void Launch() {
    ASSERT_GT(agent_->port(), 0);
    setenv("VEKRDANET", "1", 1);
    pid_ = Start(agent_->port());
    parent_.emplace(MaIpcHandle(), &*guard_);
  }
  // Launch, and the agent connects a stream of `count` buffers (Describe).
  void Open(int count) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    ASSERT_NO_FATAL_FAILURE(Describe(count));
  }
  // The agent takes the connection and describes `count` buffers of 2048
  // bytes behind `section`; the parent has attached the segment, which the
  // test removes at its end.
  void Describe(int count, int section = 0) {
    ASSERT_TRUE(agent_->Accept());
    agent_->Send(Description(10, 2048, count, section));
    EXPECT_EQ(agent_->Read(), "27\0 7\0\0"s);
    ASSERT_TRUE(parent_->Listen()) << parent_->lastCode;
  }

  tarn::test::Watchdog watchdog_{60};
  std::optional<tarn::test::SysVGuard> guard_{std::in_place};
  std::optional<FakeAgent> agent_{std::in_place};
  pid_t pid_ = -1;
  std::optional<Parent> parent_;
};

TEST_F(RdaNetScriptedTest, BytesGoWhereTheAnnouncementSaysAndABufferIsNeverAnnouncedTwice) {
  ASSERT_NO_FATAL_FAILURE(Open(4));
  EXPECT_EQ(parent_->segment, 4 * 2048);

  agent_->Send("24\0 3\0\0"s);
  agent_->Send(std::string(2048, 'c'));
  agent_->Send("24\0 1\0\0"s);
  agent_->Send(std::string(100, 'p'));  // a short packet fills the buffer's start
  while (parent_->announced.size() < 2) ASSERT_EQ(parent_->Next(), MSG_DATA);
  EXPECT_EQ(parent_->announced, (std::vector<int>{3, 1}));
  EXPECT_EQ(parent_->Segment().substr(3 * 2048), std::string(2048, 'c'));
  EXPECT_EQ(parent_->Buffer(1).substr(0, 100), std::string(100, 'p'));

  // The agent learns of the release under the stream's DA id, whatever the
  // parent wrote.
  ASSERT_TRUE(parent_->Release(3, 99));
  EXPECT_EQ(agent_->Read(), "24\0 7\0 3\0\0"s);

  // Buffer 1 is the parent's: announced again, nothing may land in it.
  agent_->Send("24\0 1\0\0"s);
  agent_->Send(std::string(2048, 'x'));
  while (parent_->Next() > 0) {
  }
  EXPECT_EQ(parent_->Buffer(1).substr(0, 100), std::string(100, 'p'));
  EXPECT_EQ(parent_->announced, (std::vector<int>{3, 1}));
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(pid_), DA_NET_EXIT_IPC);
}

TEST_F(RdaNetScriptedTest, CloseStopAndTheirWireForms) {
  ASSERT_NO_FATAL_FAILURE(Open(2));
  agent_->Send("24\0 0\0\0"s);
  agent_->Send(std::string(2048, 'a'));
  ASSERT_EQ(parent_->Next(), MSG_DATA);

  // The end of the object: MSG_CLOSE, then the connection ends orderly and
  // the parent gets no abort.
  ASSERT_TRUE(parent_->Send(MSG_CLOSE));
  EXPECT_EQ(agent_->Read(), "28\0\0"s);
  // What the agent still sends belongs to no object.
  agent_->Send("24\0 1\0\0"s);
  agent_->Send(std::string(2048, 'z'));
  EXPECT_TRUE(agent_->PeerClosed());
  agent_->Drop();
  ASSERT_TRUE(parent_->Send(Msg({"27", "7"})));
  ASSERT_NO_FATAL_FAILURE(Describe(2, 1));
  EXPECT_EQ(parent_->section, 1);
  EXPECT_EQ(parent_->segment, 2 * 2 * 2048);
  agent_->Send("24\0 1\0\0"s);
  agent_->Send(std::string(2048, 'b'));
  ASSERT_EQ(parent_->Next(), MSG_DATA);
  EXPECT_EQ(parent_->announced, (std::vector<int>{0, 1}));
  // Buffer 1 lies one buffer from the start, whatever the section.
  EXPECT_EQ(parent_->Segment().substr(2048, 2048), std::string(2048, 'b'));
  EXPECT_EQ(parent_->Segment().substr(2 * 2048), std::string(2 * 2048, '\0'));

  // The stop goes on as the parent sent it and is answered.
  ASSERT_TRUE(parent_->Send("6\0 end\0\0"s));
  EXPECT_EQ(agent_->Read(), "6\0 end\0\0"s);
  agent_->Drop();
  EXPECT_EQ(parent_->Next(), MSG_STOP);
  EXPECT_EQ(parent_->Next(), 0);
  EXPECT_EQ(ExitCode(pid_), DA_NET_EXIT_STOP);
  EXPECT_FALSE(HasReport(parent_->reports, "[80:"));
}

TEST_F(RdaNetScriptedTest, AgentMessageOtherThanAnAnnouncementEndsTheProcess) {
  ASSERT_NO_FATAL_FAILURE(Open(2));
  agent_->Send("99\0 1\0\0"s);
  while (parent_->Next() > 0) {
  }
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(pid_), DA_NET_EXIT_IPC);
}

TEST_F(RdaNetScriptedTest, DescriptionWhoseBuffersDoNotFitTheSegmentIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Launch());
  ASSERT_TRUE(agent_->Accept());
  // Two buffers of 2048 bytes need 4096 whatever the section; the segment
  // has one byte less.
  agent_->Send(Msg({"10", "1", "0", "0", "2048", "2", "4095", "0"}));
  EXPECT_FALSE(parent_->Listen());
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(pid_), DA_NET_EXIT_SETUP);
}

// ---------------------------------------------------------------- file variant

TEST_F(RdaNetTest, FileOfTheBackupFileVariantComesBackBufferByBuffer) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/stream.dat";
  ASSERT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa, nullptr,
                   -1, path.c_str(), 1.0, nullptr, nullptr, nullptr),
            1);
  ASSERT_TRUE(datest::WriteObject(datest::Payload(100000)));
  ASSERT_EQ(BmFlush(), 1);
  ASSERT_EQ(BmExit(1), 1);
  const std::string file = ReadFile(path);
  ASSERT_EQ(file.size() % 8192, 0u);
  const int buffers = static_cast<int>(file.size() / 8192);
  ASSERT_GT(buffers, 3);

  // Fewer buffers than the file has: they are filled again as they come back.
  setenv("VEKDABLOCKSPERDA", "3", 1);
  const pid_t pid = Start(-1, path);
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen());
  EXPECT_EQ(parent.count, 3);
  EXPECT_EQ(parent.size, 8192);
  EXPECT_EQ(parent.section, 0);
  EXPECT_EQ(parent.segment, 3 * 8192);
  EXPECT_EQ(parent.offset, 0);
  const std::string got = parent.Take(buffers, false);
  EXPECT_TRUE(got == file);
  ExpectDecodes(got, 8192);
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_STOP);
  EXPECT_TRUE(parent.reports.empty()) << parent.reports.front();
}

TEST_F(RdaNetTest, PartialLastBufferIsAnnouncedAndAFileThatEndsTooSoonAbortsTheParent) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/short.dat";
  std::string bytes(20000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(1 + i % 251);
  std::ofstream(path, std::ios::binary) << bytes;

  const pid_t pid = Start(-1, path);
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen());
  EXPECT_EQ(parent.count, 32);
  while (parent.announced.size() < 3) ASSERT_EQ(parent.Next(), MSG_DATA);
  EXPECT_EQ(parent.announced, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(parent.Buffer(0) + parent.Buffer(1), bytes.substr(0, 16384));
  // 3616 bytes of the file, then nothing of an earlier use of the buffer.
  EXPECT_EQ(parent.Buffer(2), bytes.substr(16384) + std::string(8192 - 3616, '\0'));

  // Everything back and more wanted: the file has no more, so the parent is
  // told instead of waiting.
  for (int id : {0, 1, 2}) ASSERT_TRUE(parent.Release(id));
  int code = 0;
  while ((code = parent.Next()) == MSG_MSG || code == MSG_MSGFMT) {
  }
  EXPECT_EQ(code, MSG_ABORT);
  EXPECT_EQ(parent.announced.size(), 3u);
  EXPECT_TRUE(HasReport(parent.reports, "[80:1044]"));
  ASSERT_TRUE(parent.Send(MSG_ABORT));
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_ABORT);
}

TEST_F(RdaNetTest, FileBufferGeometryFromTheEnvironmentWithinItsRanges) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/one.dat";
  std::ofstream(path, std::ios::binary) << std::string(100, 'z');
  struct Case {
    const char* size;
    const char* count;
    int wantSize;
    int wantCount;
  };
  for (const Case& c : {Case{"16384", "0", 16384, 32}, Case{"4096", "33", 8192, 32},
                        Case{"1048576", "1", 1048576, 1}, Case{"1048577", "5", 8192, 5}}) {
    SCOPED_TRACE(std::string(c.size) + " x " + c.count);
    setenv("VEKDABLOCKSIZE", c.size, 1);
    setenv("VEKDABLOCKSPERDA", c.count, 1);
    const pid_t pid = Start(-1, path);
    Parent parent(MaIpcHandle(), &guard);
    ASSERT_TRUE(parent.Listen());
    EXPECT_EQ(parent.size, c.wantSize);
    EXPECT_EQ(parent.count, c.wantCount);
    EXPECT_EQ(parent.segment, c.wantSize * c.wantCount);
    ASSERT_EQ(parent.Next(), MSG_DATA);
    EXPECT_EQ(parent.Buffer(0).substr(0, 101), std::string(100, 'z') + '\0');
    ASSERT_TRUE(parent.Send(MSG_ABORT));
    EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_ABORT);
    VEK_ShutdownRDANetIO();
  }
}

TEST_F(RdaNetTest, FileVariantRefusesAMissingFileAndAReleaseOfABufferNotAnnounced) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  tarn::test::TempDir dir;
  {
    const pid_t pid = Start(-1, dir.path() + "/missing.dat");
    Parent parent(MaIpcHandle(), &guard);
    EXPECT_FALSE(parent.Listen());
    EXPECT_TRUE(HasReport(parent.reports, "[80:1004]"));
    EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_SETUP);
    VEK_ShutdownRDANetIO();
  }
  const std::string path = dir.path() + "/one.dat";
  std::ofstream(path, std::ios::binary) << std::string(100, 'z');
  const pid_t pid = Start(-1, path);
  Parent parent(MaIpcHandle(), &guard);
  ASSERT_TRUE(parent.Listen());
  ASSERT_EQ(parent.Next(), MSG_DATA);
  ASSERT_TRUE(parent.Release(5));
  while (parent.Next() > 0) {
  }
  EXPECT_TRUE(HasReport(parent.reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(pid), DA_NET_EXIT_IPC);
}

}  // namespace

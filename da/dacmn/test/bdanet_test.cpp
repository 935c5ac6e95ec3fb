// The backup network process, driven from a test parent over its pipe pair:
// blocks to the stand-in media agent over the socket and through the agent's
// own segment, reconnection after a dropped link, the agent's abort, the
// checks on what the agent and the parent send, and the file variant.
#include "dacmn/bdanet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "codec/dastream.h"
#include "dacmn/dacmn.h"
#include "dacmn/netimpl.h"
#include "dacmn_test_util.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "vekdf/dablock.h"
#include "vekdf/rm.h"

namespace {

// The network process marks its private segment removed once both sides are
// attached; it does so on its own schedule, so the key is given a moment to go.
bool KeyIsGone(int key) {
  for (int i = 0; i < 500; ++i) {
    if (shmget(key, 0, 0) < 0) return true;
    usleep(10000);
  }
  return false;
}

using datest::HasReport;
using datest::Msg;
using datest::Packet;
namespace ds = tarn::standin::dastream;
using tarn::test::MediaAgentStandIn;

constexpr int kDa = 7;

// ---------------------------------------------------------------- rings

IdRing Ring(std::initializer_list<int> ids) {
  IdRing ring;
  std::memset(&ring, 0xEE, sizeof ring);
  NetClrID(&ring);
  for (int id : ids) EXPECT_EQ(NetPutID(&ring, id), 0);
  return ring;
}

std::vector<int> Drain(IdRing* ring) {
  std::vector<int> ids;
  while (!NetEmptyID(ring)) ids.push_back(NetGetID(ring));
  return ids;
}

// The agent must get a stop even when the parent's bytes cannot be had.
TEST(RelayedStopTest, ParentsStopGoesAsItCameElseBare) {
  StrMsg none;
  StrMsgInitL(&none);
  EXPECT_EQ(dacmn_detail::NetRelayedStop(&none), (std::vector<char>{'6', '\0', '\0'}));
  StrMsgFreeL(&none);

  StrMsg parent;
  StrMsgInitL(&parent);
  const char stop[] = {'6', '\0', '1', '\0', '\0'};
  ASSERT_EQ(StrParseStartNL(&parent, stop, sizeof stop), MSG_STOP);
  EXPECT_EQ(dacmn_detail::NetRelayedStop(&parent), std::vector<char>(stop, stop + sizeof stop));
  StrMsgFreeL(&parent);
}

TEST(IdRingTest, KeepsOrderAcrossTheWrapAndHoldsExactly64) {
  datest::ExpectRingOrderAcrossTheWrap<64>(40);
}

TEST(IdRingTest, ForwardedAcknowledgementsFollowTheLastAcknowledgedId) {
  IdRing ring = Ring({3});
  EXPECT_EQ(NetGetID(&ring), 3);
  EXPECT_EQ(NetFwdAck(&ring, 2, 4, 3), 1);
  EXPECT_EQ(Drain(&ring), (std::vector<int>{0, 1}));
  // A ring that never held an id: the stream's first buffers, not whatever
  // the untouched slots hold.
  IdRing fresh = Ring({});
  EXPECT_EQ(NetFwdAck(&fresh, 3, 4, -1), 1);
  EXPECT_EQ(Drain(&fresh), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(NetFwdAck(&fresh, 0, 4, 2), 1);
  EXPECT_TRUE(NetEmptyID(&fresh));
  EXPECT_EQ(NetFwdAck(&fresh, -1, 4, 2), -1);
  // All 64 buffers of a stream acknowledged at once fit.
  EXPECT_EQ(NetFwdAck(&fresh, 64, 64, 63), 1);
  EXPECT_EQ(fresh.idSize, 64);
  EXPECT_EQ(NetFwdAck(&fresh, 1, 64, 63), -1);
  EXPECT_EQ(fresh.idSize, 64);
}

TEST(IdRingTest, RewindMakesTheLastTakenIdsDueAgain) {
  IdRing ring = Ring({0, 1, 2, 3, 0, 1});
  for (int i = 0; i < 5; ++i) NetGetID(&ring);
  EXPECT_EQ(NetRewData(&ring, 2), 1);
  EXPECT_EQ(Drain(&ring), (std::vector<int>{3, 0, 1}));
  EXPECT_EQ(NetRewData(&ring, 0), 1);
  EXPECT_TRUE(NetEmptyID(&ring));

  // 64 buffers out and none stored: all 64 are due again, across the wrap.
  IdRing full = Ring({});
  for (int i = 0; i < 10; ++i) NetPutID(&full, 0), NetGetID(&full);
  for (int i = 0; i < 64; ++i) NetPutID(&full, i);
  Drain(&full);
  EXPECT_EQ(NetRewData(&full, 64), 1);
  std::vector<int> all;
  for (int i = 0; i < 64; ++i) all.push_back(i);
  EXPECT_EQ(Drain(&full), all);
  // More than the ring holds is refused and leaves it as it was.
  IdRing some = Ring({5, 6});
  EXPECT_EQ(NetRewData(&some, 63), -1);
  EXPECT_EQ(NetRewData(&some, -1), -1);
  EXPECT_EQ(Drain(&some), (std::vector<int>{5, 6}));
}

// ---------------------------------------------------------------- the test parent

// The buffer manager's side of the pipe: opens the stream, fills buffers with
// valid blocks and hands their ids over, collects acknowledgements and
// reports, stops or aborts.
class Parent : public DaBlockSink {
 public:
  // The segment it attaches is removed by `guard`, when given, at its end.
  explicit Parent(IpcHandle pipe, tarn::test::SysVGuard* guard = nullptr)
      : pipe_(pipe), guard_(guard) {}
  ~Parent() override {
    if (base_ != nullptr) shmdt(base_);
  }

  bool Open() { return SendOpen() && Attach(); }
  bool SendOpen() {
    const std::string open = Msg({"27", std::to_string(kDa)});
    return IpcSendData(pipe_, open.data(), static_cast<int>(open.size())) > 0;
  }
  // Waits for MSG_LISTEN and attaches the segment it names.
  bool Attach() {
    for (;;) {
      const int code = Next();
      if (code == MSG_LISTEN) break;
      if (code < 0 || code == MSG_ABORT) return false;
    }
    StrMsg* in = IpcGetReceiveStrMsg(pipe_);
    if (StrParseMessageFL(in, "%d%d%d%d%d%d", &key_, &segment_, &section_, &count_, &size_,
                          &offset_) != 0) {
      return false;
    }
    shmid_ = shmget(key_, 0, 0);
    if (shmid_ < 0) return false;
    if (guard_ != nullptr) guard_->segment(shmid_);
    void* at = shmat(shmid_, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) return false;
    base_ = static_cast<char*>(at);
    for (int id = 0; id < count_; ++id) free_.push_back(id);
    return true;
  }

  // The next message from the child, its code (0: pipe closed, -1: failure
  // or nothing within 20 s). Reports are collected on the way.
  int Next() {
    const int code = datest::NextFromChild(pipe_, &reports);
    if (code == MSG_DATA) {
      int id = -1;
      if (StrParseMessageFL(IpcGetReceiveStrMsg(pipe_), "%d", &id) == 0) {
        acks.push_back(id);
        free_.push_back(id);
      }
    }
    return code;
  }

  // Waits until the child holds no buffer; false on anything but an
  // acknowledgement.
  bool Drain() {
    while (static_cast<int>(free_.size()) < count_) {
      const int code = Next();
      if (code != MSG_DATA && code != MSG_MSG && code != MSG_MSGFMT && code != MSG_CON)
        return false;
    }
    return true;
  }

  bool Send(int code) {
    const std::string m = Msg({std::to_string(code)});
    return IpcSendData(pipe_, m.data(), static_cast<int>(m.size())) > 0;
  }

  // A whole object of `blocks` blocks or a little more, written through the
  // record writers.
  // False as soon as a block cannot be had or handed over.
  bool WriteStream(int blocks) {
    DaBlockWriter writer(*this, kDa);
    RmSetBlockWriter(&writer);
    bool ok = writer.GetBlock() && RmWriteStart(kDa, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS",
                                                "full", "VEKBAR", "A.01.00") == 1;
    std::uint32_t done = 0;
    while (ok && writer.blkSeqNo() < static_cast<std::uint32_t>(blocks)) {
      std::uint32_t granted = 0;
      std::uint8_t* data = RmGetObjDataBuf(1000, &granted);
      ok = data != nullptr;
      if (!ok) break;
      for (std::uint32_t i = 0; i < granted; ++i) data[i] = static_cast<std::uint8_t>(done + i);
      ok = RmWriteObjData(data, 1, granted, done, 0, 0, 0) == 1;
      done += granted;
    }
    ok = ok && RmWriteEnd(kDa, 1000, 1100, 0, 0) == 1;
    if (ok && writer.hasBlock()) ok = writer.PutBlock();
    RmSetBlockWriter(nullptr);
    sentBlocks = writer.blkSeqNo();
    if (!ok) {
      std::fprintf(stderr, "WriteStream: stopped after %u blocks, %zu acks\n", sentBlocks,
                   acks.size());
      for (const std::string& r : reports) std::fprintf(stderr, "  report %s\n", r.c_str());
    }
    return ok;
  }

  std::span<std::uint8_t> TakeBlock() override {
    while (free_.empty()) {
      const int code = Next();
      if (code <= 0 || code == MSG_ABORT) return {};
    }
    const int id = free_.front();
    free_.pop_front();
    current_ = id;
    const std::size_t start = (static_cast<std::size_t>(offset_) + 7) & ~std::size_t(7);
    char* buffer = base_ + std::size_t(size_) * (std::size_t(section_) * count_ + id);
    return {reinterpret_cast<std::uint8_t*>(buffer + start), size_ - start};
  }

  bool SendBlock(std::span<std::uint8_t> block, std::uint32_t) override {
    copies.emplace_back(block.begin(), block.end());
    const std::string m = Msg({"24", std::to_string(current_)});
    return IpcSendData(pipe_, m.data(), static_cast<int>(m.size())) > 0;
  }

  int shmid() const { return shmid_; }
  char* buffer(int id) const { return base_ + std::size_t(size_) * id; }
  int key() const { return key_; }
  int count() const { return count_; }
  int size() const { return size_; }
  int section() const { return section_; }
  int segment() const { return segment_; }

  std::vector<std::string> reports;
  std::vector<int> acks;
  std::vector<std::vector<std::uint8_t>> copies;
  std::uint32_t sentBlocks = 0;

 private:
  IpcHandle pipe_;
  tarn::test::SysVGuard* guard_;
  int key_ = -1, segment_ = 0, section_ = 0, count_ = 0, size_ = 0, offset_ = 0;
  int shmid_ = -1;
  char* base_ = nullptr;
  std::deque<int> free_;
  int current_ = -1;
};

// The parent writes a stream of `blocks` blocks and has every buffer back.
// Both sides were attached: the segment is gone with the last of them.
void WriteAndDrain(Parent& parent, int blocks) {
  ASSERT_TRUE(parent.WriteStream(blocks));
  ASSERT_TRUE(parent.Drain());
  EXPECT_TRUE(KeyIsGone(parent.key()));
}

// Every stored block decodes, in sequence from 0, with the DA id.
void ExpectStoredStream(const std::string& bytes, std::size_t blockSize, std::uint32_t blocks) {
  ASSERT_EQ(bytes.size() % blockSize, 0u);
  ASSERT_EQ(bytes.size() / blockSize, blocks);
  ds::StreamDecoder decoder;
  for (std::size_t at = 0; at < bytes.size(); at += blockSize) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + at;
    ASSERT_TRUE(decoder.Check({p, blockSize})) << decoder.error();
  }
  EXPECT_EQ(decoder.blocks(), blocks);
}

class BdaNetTest : public datest::NetProcessTest {
 protected:
  void TearDown() override {
    VEK_ShutdownBDANetIO();
    // A child that a failed test left behind ends with its pipe; it must not
    // be taken for the next test's child.
    for (int n = 0; n < 1000; ++n) {
      const pid_t pid = waitpid(-1, nullptr, WNOHANG);
      if (pid < 0) break;
      if (pid == 0) usleep(10000);
    }
    unsetenv("VEKBDANET");
    unsetenv("VEKRECONNECT_RETRY");
    NetProcessTest::TearDown();
  }

  // Starts the network process for an agent at 127.0.0.1:port (port -1: the
  // file variant at `path`); the pipe handle.
  IpcHandle Start(int port, const std::string& path = "", int reconnect = 0) {
    AimStream(port, path, kDa)->savedReconnectPort = reconnect;
    EXPECT_EQ(VEK_CreateBDANetIO("bdanet-test", nullptr, nullptr, nullptr, 0), 1);
    return MaIpcHandle();
  }

  // The exit code of the network process (not the stand-in's).
  static int ExitCode(pid_t other = -1) {
    for (;;) {
      int status = 0;
      const pid_t pid = waitpid(-1, &status, 0);
      if (pid < 0) return -1;
      if (pid == other) continue;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
};

std::vector<std::string> Socket(std::vector<std::string> more) {
  std::vector<std::string> args = {"--buffer-size", "4096",  "--buffer-count", "4",
                                   "--transfer",    "socket"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST_F(BdaNetTest, RemoteStreamReachesTheAgentWholeAndStopsInOrder) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Socket({"--offset", "100"})});
  ASSERT_TRUE(ma.ready());
  setenv("VEKBDANET", "1", 1);
  const IpcHandle pipe = Start(ma.port());
  Parent parent(pipe, &guard);
  ASSERT_TRUE(parent.Open());
  // A private segment of the agent's geometry, section 0.
  EXPECT_EQ(parent.count(), 4);
  EXPECT_EQ(parent.size(), 4096);
  EXPECT_EQ(parent.section(), 0);
  EXPECT_EQ(parent.segment(), 4 * 4096 + 16);

  ASSERT_NO_FATAL_FAILURE(WriteAndDrain(parent, 40));
  // Every buffer came back once, in the order it went out.
  ASSERT_EQ(parent.acks.size(), parent.sentBlocks);
  for (std::size_t i = 0; i < parent.acks.size(); ++i) EXPECT_EQ(parent.acks[i], int(i % 4));
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(parent.Next(), 0);
  EXPECT_EQ(ExitCode(ma.pid()), DA_NET_EXIT_STOP);
  ASSERT_TRUE(
      ma.waitForEvent("STREAM_END da=7 status=stop blocks=" + std::to_string(parent.sentBlocks)));
  ExpectStoredStream(ma.blocks(kDa), 4096 - 104, parent.sentBlocks);
  EXPECT_TRUE(parent.reports.empty()) << parent.reports.front();
}

TEST_F(BdaNetTest, LocalAgentReadsItsOwnSegmentBehindTheSection) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = {"--buffer-size", "8192", "--buffer-count", "4", "--section", "2",
                                 "--transfer", "shm"}});
  ASSERT_TRUE(ma.ready());
  const IpcHandle pipe = Start(ma.port());
  Parent parent(pipe);
  ASSERT_TRUE(parent.Open());
  EXPECT_EQ(parent.section(), 2);
  EXPECT_EQ(parent.segment(), 3 * 4 * 8192);
  ASSERT_TRUE(parent.WriteStream(12));
  // The stop follows the last blocks at once: it must not overtake them.
  ASSERT_TRUE(parent.Send(MSG_STOP));
  int code = 0;
  while ((code = parent.Next()) == MSG_DATA) {
  }
  EXPECT_EQ(code, MSG_STOP);
  EXPECT_EQ(ExitCode(ma.pid()), DA_NET_EXIT_STOP);
  ASSERT_TRUE(
      ma.waitForEvent("STREAM_END da=7 status=stop blocks=" + std::to_string(parent.sentBlocks)))
      << ::testing::PrintToString(ma.events()) << ::testing::PrintToString(ma.traffic());
  ExpectStoredStream(ma.blocks(kDa), 8192, parent.sentBlocks);
}

TEST_F(BdaNetTest, DroppedLinkIsResumedWithoutGapOrDuplicate) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  // The agent negotiates on the first link and resumes on the second.
  MediaAgentStandIn ma({.args = Socket({"--fault", "drop-after=6"})});
  ASSERT_TRUE(ma.ready());
  datest::RemotePeers remote;
  const IpcHandle pipe = Start(ma.port(), "", ma.port());
  Parent parent(pipe, &guard);
  ASSERT_TRUE(parent.Open());
  ASSERT_TRUE(parent.WriteStream(30));
  ASSERT_TRUE(parent.Drain());
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(ExitCode(ma.pid()), DA_NET_EXIT_STOP);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=6"));
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
  ExpectStoredStream(ma.blocks(kDa), 4096, parent.sentBlocks);
  EXPECT_EQ(parent.acks.size(), parent.sentBlocks);
  EXPECT_TRUE(HasReport(parent.reports, "[80:1400]"));
  EXPECT_TRUE(HasReport(parent.reports, "[80:1401]"));
}

TEST_F(BdaNetTest, AgentThatClosesTheLinkAbortsTheParent) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  MediaAgentStandIn ma({.args = Socket({"--fault", "cut-at=2"})});
  ASSERT_TRUE(ma.ready());
  setenv("VEKBDANET", "1", 1);
  const IpcHandle pipe = Start(ma.port(), "", ma.port());
  Parent parent(pipe, &guard);
  ASSERT_TRUE(parent.Open());
  // The writer runs out of buffers when the child passes the abort on.
  EXPECT_FALSE(parent.WriteStream(40));
  EXPECT_EQ(parent.acks, (std::vector<int>{0, 1}));
  ASSERT_TRUE(parent.Send(MSG_ABORT));
  EXPECT_EQ(ExitCode(ma.pid()), DA_NET_EXIT_ABORT);
}

// ---------------------------------------------------------------- a scripted agent

using datest::Description;
using datest::FakeAgent;

// The parent's MSG_OPEN goes out, and the agent connected for it answers
// with `description`.
void Describe(FakeAgent& agent, Parent& parent, const std::string& description) {
  ASSERT_TRUE(parent.SendOpen());
  ASSERT_TRUE(agent.Accept());
  agent.Send(description);
}

// Opens a stream to the scripted agent: description of 4 buffers of 2048
// bytes, MSG_OPEN relayed, MSG_LISTEN to the parent.
void OpenScripted(FakeAgent& agent, Parent& parent) {
  using namespace std::string_literals;
  Describe(agent, parent, Description(10, 2048, 4));
  EXPECT_EQ(agent.Read(), "27\0 7\0\0"s);
  ASSERT_TRUE(parent.Attach());
}

// The network process against a scripted agent, driven by the test parent.
class BdaNetScriptedTest : public BdaNetTest {
 protected:
  void TearDown() override {
    // As a test's own locals would, they end before the process's pipe.
    parent_.reset();
    agent_.reset();
    guard_.reset();
    BdaNetTest::TearDown();
  }

  // Starts the process on the agent, to connect to it again after a broken
  // link when `reconnect`.
  void Launch(bool reconnect) {
    ASSERT_GT(agent_->port(), 0);
    parent_.emplace(Start(agent_->port(), "", reconnect ? agent_->port() : 0), &*guard_);
  }
  // Launch and OpenScripted; the test removes the segment at its end.
  void Open(bool reconnect) {
    ASSERT_NO_FATAL_FAILURE(Launch(reconnect));
    ASSERT_NO_FATAL_FAILURE(OpenScripted(*agent_, *parent_));
  }

  tarn::test::Watchdog watchdog_{60};
  std::optional<tarn::test::SysVGuard> guard_{std::in_place};
  std::optional<FakeAgent> agent_{std::in_place};
  std::optional<Parent> parent_;
};

TEST_F(BdaNetScriptedTest, AcknowledgementOfABufferThatIsNotOutIsAProtocolError) {
  setenv("VEKBDANET", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Launch(false));
  Describe(*agent_, *parent_, Description(10, 2048, 4));
  EXPECT_EQ(agent_->Read(), Msg({"27", "7"}));
  // Buffer 1 is with the parent.
  agent_->Send(Msg({"24", "1"}));
  std::vector<int> codes;
  for (int code = parent_->Next(); code > 0; code = parent_->Next()) codes.push_back(code);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), MSG_LISTEN);
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1032]"));
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_IPC);
}

// Buffers the parent could not use are refused before the parent hears of
// them: more than 64, or a size that leaves the blocks unaligned.
TEST_F(BdaNetTest, DescriptionWithMoreThan64BuffersIsRefused) {
  struct Case {
    int size;
    int count;
  };
  for (const Case c : {Case{1024, 65}, Case{1020, 4}}) {
    SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
    tarn::test::Watchdog watchdog(60);
    FakeAgent agent;
    ASSERT_GT(agent.port(), 0);
    setenv("VEKBDANET", "1", 1);
    Parent parent(Start(agent.port()));
    Describe(agent, parent, Description(10, c.size, c.count));
    std::vector<int> codes;
    for (int code = parent.Next(); code > 0; code = parent.Next()) codes.push_back(code);
    EXPECT_TRUE(std::find(codes.begin(), codes.end(), MSG_LISTEN) == codes.end());
    EXPECT_TRUE(HasReport(parent.reports, "[80:1032]"));
    EXPECT_EQ(ExitCode(), DA_NET_EXIT_SETUP);
    VEK_ShutdownBDANetIO();
  }
}

TEST_F(BdaNetScriptedTest, ResumedStreamWithAnotherGeometryIsGivenUp) {
  datest::RemotePeers remote;
  ASSERT_NO_FATAL_FAILURE(Launch(true));
  const IpcHandle pipe = MaIpcHandle();
  IpcSendData(pipe, Msg({"27", "7"}).data(), static_cast<int>(Msg({"27", "7"}).size()));
  ASSERT_TRUE(agent_->Accept());
  agent_->Send(Description(10, 2048, 4));
  EXPECT_EQ(agent_->Read(), Msg({"27", "7"}));
  ASSERT_EQ(parent_->Next(), MSG_LISTEN);
  const std::string data0 = Msg({"24", "0"});
  IpcSendData(pipe, data0.data(), static_cast<int>(data0.size()));
  // The header and the whole buffer as one raw packet.
  EXPECT_EQ(agent_->Read(), Msg({"24", "0"}));
  EXPECT_EQ(agent_->Read().size(), 2048u);
  agent_->Reset();
  ASSERT_TRUE(agent_->Accept());
  agent_->Send(Description(10, 4096, 4));
  std::vector<int> codes;
  for (int code = parent_->Next(); code > 0; code = parent_->Next()) codes.push_back(code);
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1400]"));
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_ABORT);
}

TEST_F(BdaNetScriptedTest, ReconnectionResendsWhatTheAgentMissedAndForwardsLostAcknowledgements) {
  using namespace std::string_literals;
  datest::RemotePeers remote;
  ASSERT_NO_FATAL_FAILURE(Open(true));
  const IpcHandle pipe = MaIpcHandle();
  for (int id = 0; id < 3; ++id) {
    std::memset(parent_->buffer(id), 'a' + id, 2048);
    const std::string data = "24\0 "s + std::to_string(id) + "\0\0"s;
    ASSERT_EQ(IpcSendData(pipe, data.data(), static_cast<int>(data.size())), 11);
    EXPECT_EQ(agent_->Read(), data);
    EXPECT_EQ(agent_->Read(), std::string(2048, static_cast<char>('a' + id)));
  }
  agent_->Send("24\0 0\0\0"s);
  ASSERT_EQ(parent_->Next(), MSG_DATA);
  agent_->Reset();

  // The agent stored blocks 0 and 1 and acknowledged both; the second
  // acknowledgement and block 2 were lost with the link.
  ASSERT_TRUE(agent_->Accept());
  agent_->Send(Description(10, 2048, 4));
  EXPECT_EQ(agent_->Read(), "1051\0 7\0\0"s);
  agent_->Send("1052\0 2\0 2\0\0"s);
  EXPECT_EQ(agent_->Read(), "24\0 2\0\0"s);
  EXPECT_EQ(agent_->Read(), std::string(2048, 'c'));
  agent_->Send("24\0 2\0\0"s);
  while (parent_->acks.size() < 3) ASSERT_GT(parent_->Next(), 0);
  EXPECT_EQ(parent_->acks, (std::vector<int>{0, 1, 2}));
  // The stop goes on as the parent sent it.
  const std::string stop = "6\0 end\0\0"s;
  ASSERT_EQ(IpcSendData(pipe, stop.data(), static_cast<int>(stop.size())), 12);
  EXPECT_EQ(agent_->Read(), stop);
  agent_->Drop();
  int code = 0;
  while ((code = parent_->Next()) == MSG_MSG || code == MSG_MSGFMT) {
  }
  EXPECT_EQ(code, MSG_STOP);
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_STOP);
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1400]"));
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1401]"));
}

TEST_F(BdaNetScriptedTest, BrokenLinkToAnAgentOnThisHostIsNotReconnectedEvenWhenForcedRemote) {
  // Buffers go over the socket, but the IPC layer knows the agent is here.
  setenv("VEKBDANET", "1", 1);
  ASSERT_NO_FATAL_FAILURE(Open(true));
  agent_->Reset();
  int code = 0;
  while ((code = parent_->Next()) > 0) {
  }
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1028]"));
  EXPECT_FALSE(HasReport(parent_->reports, "[80:1400]"));
  EXPECT_FALSE(agent_->Accept(500)) << "the process connected again";
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_IPC);
}

TEST_F(BdaNetTest, IdleLinkIsProbedOnlyWhenTheIpcLayerCountsTheAgentRemote) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    bool remotePeers;
    bool probed;
  };
  for (const Case c : {Case{"remote by the IPC layer", true, true},
                       Case{"here, transfer forced remote", false, false}}) {
    SCOPED_TRACE(c.name);
    tarn::test::Watchdog watchdog(60);
    tarn::test::SysVGuard guard;
    FakeAgent agent;
    ASSERT_GT(agent.port(), 0);
    std::optional<datest::RemotePeers> remote;
    if (c.remotePeers) {
      remote.emplace();
    } else {
      setenv("VEKBDANET", "1", 1);
    }
    const int probeSeconds = NetSetProbeSeconds(1);
    Parent parent(Start(agent.port()), &guard);
    NetSetProbeSeconds(probeSeconds);
    ASSERT_NO_FATAL_FAILURE(OpenScripted(agent, parent));
    if (c.probed) {
      EXPECT_EQ(agent.Read(), "1050\0\0"s);
    } else {
      // Two probe intervals and more without a word to the agent.
      usleep(2500 * 1000);
    }
    ASSERT_TRUE(parent.Send(MSG_STOP));
    std::string next;
    while ((next = agent.Read()) == "1050\0\0"s) {
    }
    EXPECT_EQ(next, "6\0\0"s);
    agent.Drop();
    EXPECT_EQ(parent.Next(), MSG_STOP);
    EXPECT_EQ(ExitCode(), DA_NET_EXIT_STOP);
    VEK_ShutdownBDANetIO();
    unsetenv("VEKBDANET");
  }
}

TEST_F(BdaNetScriptedTest, ReconnectAttemptsOfOneOutageShareOneDeadline) {
  using namespace std::string_literals;
  // The process inherits the clock: its pauses between attempts take no time.
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  setenv("VEKRECONNECT_RETRY", "30", 1);
  datest::RemotePeers remote;
  ASSERT_NO_FATAL_FAILURE(Open(true));
  agent_->Reset();
  // Each new link hears MSG_DAMA_RECONNECT and breaks before the buffer
  // state: an attempt to be repeated 10 s later, until 30 s have passed.
  int attempts = 0;
  for (; attempts < 8 && agent_->Accept(1000); ++attempts) {
    agent_->Send(Description(10, 2048, 4));
    EXPECT_EQ(agent_->Read(), "1051\0 7\0\0"s);
    agent_->Drop();
  }
  EXPECT_EQ(attempts, 3);
  int code = 0;
  while ((code = parent_->Next()) > 0) {
  }
  EXPECT_TRUE(HasReport(parent_->reports, "[80:1400]"));
  EXPECT_FALSE(HasReport(parent_->reports, "[80:1401]"));
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_ABORT);
}

// ---------------------------------------------------------------- file variant

TEST_F(BdaNetTest, FileVariantHoldsEveryBufferWholeInOrder) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/stream.dat";
  setenv("VEKDABLOCKSIZE", "4096", 1);  // below the minimum: ignored
  setenv("VEKDABLOCKSPERDA", "3", 1);
  Parent parent(Start(-1, path), &guard);
  ASSERT_TRUE(parent.Open());
  EXPECT_EQ(parent.size(), 8192);
  EXPECT_EQ(parent.count(), 3);
  EXPECT_EQ(parent.segment(), 3 * 8192 + 16);
  ASSERT_NO_FATAL_FAILURE(WriteAndDrain(parent, 10));
  ASSERT_TRUE(parent.Send(MSG_STOP));
  EXPECT_EQ(parent.Next(), MSG_STOP);
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_STOP);
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ExpectStoredStream(bytes, 8192, parent.sentBlocks);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(BdaNetTest, FullDiskFailsTheFileVariant) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::SysVGuard guard;
  Parent parent(Start(-1, "/dev/full"), &guard);
  ASSERT_TRUE(parent.Open());
  parent.WriteStream(3);  // fails once the child is gone, or not yet
  std::vector<int> codes;
  for (int code = parent.Next(); code > 0; code = parent.Next()) codes.push_back(code);
  EXPECT_TRUE(HasReport(parent.reports, "[80:1042]"));
  EXPECT_TRUE(std::find(codes.begin(), codes.end(), MSG_STOP) == codes.end());
  EXPECT_EQ(ExitCode(), DA_NET_EXIT_IPC);
}

}  // namespace

// Each fault the stand-in media agent injects, as a client meets it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "codec/dastream.h"
#include "mediaagent/test/ma_client.h"
#include "mediaagent/testing/mediaagent_standin.h"

namespace {

using namespace matest;
using namespace std::string_view_literals;
using tarn::test::MediaAgentStandIn;

constexpr std::uint32_t kDa = 7;

std::vector<std::string> Small(std::vector<std::string> faults) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--offer",       "none"};
  for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
  return args;
}

TEST(MediaAgentFaults, RefuseAnswersTheFirstConnectionWithAbortOnly) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"refuse"})});
  ASSERT_TRUE(ma.ready());
  {
    Client c(ma.port());
    EXPECT_EQ(c.recv().code, 1);
    EXPECT_TRUE(c.closedByPeer());
  }
  Client c(ma.port());
  EXPECT_EQ(c.recv().code, 10);
}

TEST(MediaAgentFaults, LostAcknowledgementsArriveAfterTheReconnection) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"lose-acks=1"})});
  ASSERT_TRUE(ma.ready());
  Description d;
  {
    Client c(ma.port(), 300);
    d = OpenStream(c);
    SendStreamBlock(c, d, 0);
    EXPECT_EQ(c.recv().item(0), "0");
    SendStreamBlock(c, d, 1);
    EXPECT_FALSE(c.recvFrame());
  }
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=2"));
  Client c(ma.port());
  Handshake(c);
  c.send(1051, {"7"});
  EXPECT_EQ(c.recv().items, (std::vector<std::string>{"2", "1"}));
  EXPECT_EQ(c.recv().items, std::vector<std::string>{"1"});
}

TEST(MediaAgentFaults, CutLeavesHalfAnAcknowledgementFrame) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"cut-at=1"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().item(0), "0");
  SendStreamBlock(c, d, 1);
  // "24\0 1\0\0" is 7 bytes behind its header: 5 of the 11 arrive.
  EXPECT_EQ(c.recvUntilClosed(),
            "\0\0\0\x07"
            "2"sv);
  // The block was stored before the cut.
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=2"));
}

TEST(MediaAgentFaults, BadAckCarriesTheBufferCountAsId) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"bad-ack=0"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().items, std::vector<std::string>{"4"});
  SendStreamBlock(c, d, 1);
  EXPECT_EQ(c.recv().items, std::vector<std::string>{"1"});
}

TEST(MediaAgentFaults, AbortAtAnswersTheBlockWithAbortUnstored) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"abort-at=1"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().item(0), "0");
  SendStreamBlock(c, d, 1);
  EXPECT_EQ(c.recv().code, 1);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=1"));
  EXPECT_EQ(ma.blocks(kDa).size(), d.capacity());
}

TEST(MediaAgentFaults, FullDiskEndsTheStreamWithAbort) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"disk-full=8192"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  for (int b = 0; b < 2; ++b) {
    SendStreamBlock(c, d, b);
    EXPECT_EQ(c.recv().item(0), std::to_string(b));
  }
  SendStreamBlock(c, d, 2);
  EXPECT_EQ(c.recv().code, 1);
  EXPECT_TRUE(ma.waitForTraffic("No space left on device"));
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=2"));
  EXPECT_NE(ma.metadata(kDa).find("blocks 2\nbytes 8192\n"), std::string::npos);
}

TEST(MediaAgentFaults, DelayHoldsEveryAcknowledgement) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"delay=300"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  const auto start = std::chrono::steady_clock::now();
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().item(0), "0");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(MediaAgentFaults, HoldKeepsEachStreamsBlockUntilReleased) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"hold=1"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port(), 300);
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().item(0), "0");
  SendStreamBlock(c, d, 1);
  EXPECT_FALSE(c.recvFrame()) << "block 1 acknowledged while held";
  ASSERT_TRUE(ma.waitForTraffic("fault hold 1"));
  EXPECT_EQ(ma.held(), 1);
  EXPECT_EQ(ma.openConnections(), 1);
  ma.release();
  EXPECT_EQ(c.recv().item(0), "1");
  EXPECT_EQ(ma.held(), 0);
  SendStreamBlock(c, d, 2);
  EXPECT_EQ(c.recv().item(0), "2");
}

// An agent killed with a connection open leaves its segment; the next agent
// started on the same store removes it, but not the segment of another agent
// still serving that store.
TEST(MediaAgentFaults, ARestartedAgentRemovesTheSegmentsOfItsKilledSelf) {
  tarn::test::Watchdog watchdog(60);
  const tarn::test::TempDir store;
  const std::string dir = store.path() + "/s";
  MediaAgentStandIn killed({.args = Small({}), .storeDir = dir});
  MediaAgentStandIn running({.args = Small({}), .storeDir = dir});
  ASSERT_TRUE(killed.ready() && running.ready());
  Client toKilled(killed.port());
  Client toRunning(running.port());
  const int deadKey = Handshake(toKilled).key;
  const int liveKey = Handshake(toRunning).key;
  // What an earlier run may have left in the ledger: lines that name nothing.
  tarn::test::WriteFile(dir + "/segments.more", "x y\n99999999 2147483647\n-5 3\n");
  tarn::test::WriteFile(dir + "/segments", tarn::test::ReadFile(dir + "/segments") +
                                               tarn::test::ReadFile(dir + "/segments.more"));
  ASSERT_EQ(::kill(killed.pid(), SIGKILL), 0);
  ASSERT_TRUE(killed.restart());
  EXPECT_FALSE(SegmentExists(deadKey));
  EXPECT_TRUE(SegmentExists(liveKey));
  EXPECT_TRUE(killed.waitForTraffic("removed 1 left behind"));
}

// A restore of the stream stored in `store` by an agent with `faults`.
class MediaAgentRestoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    MediaAgentStandIn ma({.args = Small({}), .storeDir = store_.path() + "/s"});
    ASSERT_TRUE(ma.ready());
    // Block 0 holds a start record, the blocks after it one data record each.
    RemoteBackup(ma.port(), 4, kDa, [](std::uint32_t b, std::uint32_t capacity) {
      return b == 0 ? tb::BlockBytes(kDa, 0, capacity, 200, {tb::StartRecordBytes()})
                    : StreamBlock(kDa, b, capacity);
    });
    ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop blocks=4"));
  }

  std::unique_ptr<MediaAgentStandIn> Agent(std::vector<std::string> faults) {
    auto ma = std::make_unique<MediaAgentStandIn>(
        MediaAgentStandIn::Options{.args = Small(faults), .storeDir = store_.path() + "/s"});
    EXPECT_TRUE(ma->ready());
    return ma;
  }

  // Announcements as (buffer id, block) until `n` arrived or the agent
  // went quiet; buffers are returned at once.
  std::vector<std::pair<std::string, Bytes>> Read(Client& c, std::size_t n) {
    const Description d = OpenStream(c);
    std::vector<std::pair<std::string, Bytes>> got;
    while (got.size() < n) {
      const auto frame = c.recvFrame();
      if (!frame) break;
      const Msg m = cstest::Decode(*frame);
      if (m.code != 24) break;
      const auto raw = c.recvFrame();
      if (!raw) break;
      got.emplace_back(m.item(0), Bytes(raw->begin() + d.blockStart(), raw->end()));
      if (m.item(0) != "4") c.send(24, {"7", m.item(0)});
    }
    return got;
  }

  tarn::test::TempDir store_;
};

TEST_F(MediaAgentRestoreFaults, TruncateServesOnlyTheFirstBlocks) {
  tarn::test::Watchdog watchdog(30);
  const auto ma = Agent({"truncate=2"});
  Client c(ma->port(), 500);
  EXPECT_EQ(Read(c, 4).size(), 2u);
  // Once both came back the agent ends the stream rather than leave the
  // client waiting.
  EXPECT_TRUE(ma->waitForTraffic("truncated after block 2"));
}

TEST_F(MediaAgentRestoreFaults, DuplicateSendsABlockTwice) {
  tarn::test::Watchdog watchdog(30);
  const auto ma = Agent({"duplicate=1"});
  Client c(ma->port());
  const auto got = Read(c, 5);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[1].second, got[2].second);
  EXPECT_EQ(got[2].second, StreamBlock(kDa, 1, 4096));
  EXPECT_EQ(got[3].second, StreamBlock(kDa, 2, 4096));
}

TEST_F(MediaAgentRestoreFaults, BadBufferAnnouncesTheBufferCount) {
  tarn::test::Watchdog watchdog(30);
  const auto ma = Agent({"bad-buffer=1"});
  Client c(ma->port());
  const auto got = Read(c, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, "0");
  EXPECT_EQ(got[1].first, "4");
}

TEST_F(MediaAgentRestoreFaults, CutEndsInsideTheRawPacket) {
  tarn::test::Watchdog watchdog(30);
  for (const char* fault : {"cut-at=0", "restore-cut-at=0"}) {
    SCOPED_TRACE(fault);
    const auto ma = Agent({fault});
    Client c(ma->port());
    OpenStream(c);
    // Message frame (11 bytes), raw header (4) and 4096 bytes: half is 2055.
    EXPECT_EQ(c.recvUntilClosed().size(), 2055u);
  }
}

TEST_F(MediaAgentRestoreFaults, RestoreCutLeavesBackupsWhole) {
  tarn::test::Watchdog watchdog(30);
  const auto ma = Agent({"restore-cut-at=1"});
  RemoteBackup(ma->port(), 4, kDa + 1, [](std::uint32_t b, std::uint32_t capacity) {
    return b == 0 ? tb::BlockBytes(kDa + 1, 0, capacity, 200, {tb::StartRecordBytes()})
                  : StreamBlock(kDa + 1, b, capacity);
  });
  EXPECT_TRUE(ma->waitForEvent("STREAM_END da=8 status=stop blocks=4"));
}

TEST_F(MediaAgentRestoreFaults, CorruptDamagesTheNamedField) {
  tarn::test::Watchdog watchdog(60);
  struct Case {
    std::string fault;
    std::size_t at;                   // byte offset in the block
    std::vector<std::uint8_t> bytes;  // what is found there
    std::string why;                  // what the reader then says
  };
  const Case cases[] = {
      {"corrupt=1:magic", 0, {0x44, 0xBB, 0xBB, 0xBB}, "block magic"},
      {"corrupt=1:used", 32, {0x00, 0x00, 0x10, 0x08}, "used bytes 4104"},
      {"corrupt=1:record-length", 84, {0x7F, 0xFF, 0xFF, 0xF8}, "record length"},
      {"corrupt=1:record-type", 68, {0x00, 0x00, 0x00, 0x63}, "unknown record type 99"},
      {"corrupt=1:data-length", 108, {0xFF, 0xFF}, "data length"},
      {"corrupt=0:string-length", 132, {0xFF, 0xFF}, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fault);
    const auto ma = Agent({k.fault});
    Client c(ma->port());
    const auto got = Read(c, 4);
    ASSERT_EQ(got.size(), 4u);
    const std::size_t block = k.fault[8] == '0' ? 0 : 1;
    const Bytes& damaged = got[block].second;
    EXPECT_EQ(Bytes(damaged.begin() + k.at, damaged.begin() + k.at + k.bytes.size()), k.bytes);
    std::string why;
    EXPECT_FALSE(tarn::standin::dastream::DecodeBlock(damaged, {}, &why));
    EXPECT_NE(why.find(k.why), std::string::npos) << why;
    // Only the one block is damaged.
    EXPECT_EQ(got[2].second, StreamBlock(kDa, 2, 4096));
  }
}

TEST_F(MediaAgentRestoreFaults, DelayHoldsEveryAnnouncement) {
  tarn::test::Watchdog watchdog(30);
  const auto ma = Agent({"delay=200"});
  Client c(ma->port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(c, 2).size(), 2u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

}  // namespace

// The backup buffer manager against the stand-in media agent on this host:
// a stored stream that the independent decoder accepts and that ends with
// stop, the agent's and the session manager's faults, and descriptions of
// shared memory that must be refused.
#include "dacmn/bm.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/strmsg.h"
#include "codec/dastream.h"
#include "dacmn/daimpl.h"
#include "dacmn_test_util.h"
#include "dastream_test_util.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "vekdf/rm.h"

namespace {

using datest::Msg;
using datest::Packet;
using datest::Payload;
using datest::PeerLink;
using datest::ScriptedAgent;
using datest::WriteObject;
using tarn::test::MediaAgentStandIn;
namespace ds = tarn::standin::dastream;

constexpr int kDa = 7;
constexpr std::uint32_t kCapacity = 4096;

// The agent reads every block from its segment, also after the stream has
// ended on this side.
std::vector<std::string> Small(std::vector<std::string> faults = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--transfer",    "shm"};
  for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
  return args;
}

// The data bytes of a stored stream, checked block by block by the
// independent decoder.
std::vector<std::uint8_t> StoredData(const std::string& blocks, std::uint32_t* count,
                                     std::uint32_t capacity = kCapacity) {
  std::vector<std::uint8_t> data;
  ds::StreamDecoder decoder;
  *count = 0;
  EXPECT_EQ(blocks.size() % capacity, 0u);
  for (std::size_t at = 0; at + capacity <= blocks.size(); at += capacity) {
    const auto block = decoder.Feed(
        ds::ByteSpan(reinterpret_cast<const std::uint8_t*>(blocks.data()) + at, capacity));
    EXPECT_TRUE(block.has_value()) << decoder.error();
    if (!block) break;
    ++*count;
    for (const ds::Record& record : block->records) {
      if (const auto* d = record.as<ds::DataRecord>()) {
        data.insert(data.end(), d->data.begin(), d->data.end());
      }
    }
  }
  return data;
}

// Backs up an object of 100000 bytes (far more blocks than the agent's four
// buffers, so buffers must come back) through the open stream, ends it and
// checks what `ma` stored. The number of blocks stored.
std::uint32_t BackUpAndCheckStored(const MediaAgentStandIn& ma) {
  const std::vector<std::uint8_t> payload = Payload(100000);
  EXPECT_TRUE(WriteObject(payload));
  EXPECT_EQ(BmFlush(), 1);
  EXPECT_EQ(BmExit(1), 1);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
  std::uint32_t blocks = 0;
  EXPECT_EQ(StoredData(ma.blocks(kDa), &blocks), payload);
  EXPECT_TRUE(ma.waitForEvent("blocks=" + std::to_string(blocks)));
  return blocks;
}

// The agent answers block 1 with MSG_ABORT: the writer or the flush fails
// and the agent keeps the stream as aborted after one block.
void ExpectAbortAtBlock1(const MediaAgentStandIn& ma) {
  const bool written = WriteObject(Payload(100000));
  EXPECT_FALSE(written && BmFlush() == 1);
  EXPECT_EQ(BmExit(1), 0);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=1"));
}

class BmTest : public datest::DaTest {
 protected:
  void SetUp() override {
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("bmtest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    DaTest::SetUp();
    unsetenv("VEKBDANET");
    BmSetSmReceive(nullptr);
  }
  void TearDown() override {
    BmExit(1);
    DaTest::TearDown();
  }
  static int Open(int port, IpcHandle sm = kIpcNoHandle, char* smBuffer = nullptr) {
    return BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, sm, smBuffer, kDa, "127.0.0.1", port,
                  nullptr, 1.0, nullptr, nullptr, nullptr);
  }

  tarn::test::Watchdog watchdog_{60};
};

TEST_F(BmTest, LocalBackupIsStoredWholeAndEndsWithStop) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  EXPECT_EQ(MaIpcHandle() >= 0, true);
  int bufSize = 0;
  int headRoom = 0;
  EXPECT_EQ(BmGetParams(&bufSize, &headRoom), 1);
  EXPECT_EQ(bufSize, 4096);
  EXPECT_EQ(headRoom, 64);
  EXPECT_GT(BackUpAndCheckStored(ma), 24u);
  EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
}

TEST_F(BmTest, ExitWithoutFlushAbortsTheStream) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  ASSERT_TRUE(WriteObject(Payload(10000)));
  EXPECT_EQ(BmExit(1), 0);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort"));
}

TEST_F(BmTest, FlushWithAnEmptyBlockSendsNothing) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  EXPECT_EQ(BmFlush(), 1);
  EXPECT_EQ(BmExit(1), 1);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
  EXPECT_TRUE(ma.blocks(kDa).empty());
}

// Every buffer id back once, in any order, is a legitimate stream; an id
// that is not out would hand out a buffer the agent still reads.
TEST_F(BmTest, AcknowledgementOfABufferThatIsNotOutFailsTheStream) {
  MediaAgentStandIn ma({.args = Small({"bad-ack=0"})});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  ASSERT_TRUE(WriteObject(Payload(100)));
  EXPECT_EQ(BmFlush(), 0);
  EXPECT_EQ(BmExit(1), 0);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort"));
}

TEST_F(BmTest, AgentAbortFailsTheStream) {
  MediaAgentStandIn ma({.args = Small({"abort-at=1"})});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  ExpectAbortAtBlock1(ma);
}

// A block that cannot be handed over is a failed write, not a lost block.
TEST_F(BmTest, PutBlockReportsAFailedSend) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  ma.stop();
  bool failed = false;
  for (int block = 0; block < 4 && !failed; ++block) {
    ASSERT_EQ(RmWriteNull(100), 1);
    failed = BmPutBlock() == 0;
    if (!failed) {
      ASSERT_EQ(BmGetBlock(), 1);
    }
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(BmFlush(), 0);
}

TEST_F(BmTest, FailedNegotiationAndRefusalFailTheOpening) {
  {
    MediaAgentStandIn ma({.args = {"--offer", "999"}});
    ASSERT_TRUE(ma.ready());
    EXPECT_EQ(Open(ma.port()), 0);
    EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
  }
  MediaAgentStandIn ma({.args = Small({"refuse"})});
  ASSERT_TRUE(ma.ready());
  EXPECT_EQ(Open(ma.port()), 0);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
  // The refusal hit once: the next stream opens.
  ASSERT_EQ(Open(ma.port()), 1);
}

TEST_F(BmTest, SessionManagerStopWhileABlockIsAwaitedFailsTheWrite) {
  MediaAgentStandIn ma({.args = Small({"lose-acks=0"})});
  ASSERT_TRUE(ma.ready());
  PeerLink sm;
  std::vector<char> smBuffer(kDaSmBufferSize);
  ASSERT_EQ(Open(ma.port(), sm.handle(), smBuffer.data()), 1);
  sm.Send(Msg({"6"}));
  EXPECT_FALSE(WriteObject(Payload(100000)));
  EXPECT_EQ(BmExit(1), 0);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=4"));
}

TEST_F(BmTest, SessionManagerAbortEndsTheFlush) {
  MediaAgentStandIn ma({.args = Small({"lose-acks=0"})});
  ASSERT_TRUE(ma.ready());
  PeerLink sm;
  ASSERT_EQ(Open(ma.port(), sm.handle()), 1);
  ASSERT_TRUE(WriteObject(Payload(100)));
  sm.Send(Msg({"1"}));
  EXPECT_EQ(BmFlush(), 0);
}

// A stream whose exit waits for the session manager's stop.
TEST_F(BmTest, ExitWaitsForTheSessionManagersStop) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  PeerLink sm;
  std::vector<char> smBuffer(kDaSmBufferSize);
  ASSERT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 1, sm.handle(), smBuffer.data(), kDa,
                   "127.0.0.1", ma.port(), nullptr, 1.0, nullptr, nullptr, nullptr),
            1);
  ASSERT_TRUE(WriteObject(Payload(5000)));
  ASSERT_EQ(BmFlush(), 1);
  sm.Send(Msg({"6"}));
  EXPECT_EQ(BmExit(0), 1);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
}

// Another connection of the process with input waiting (a cell-server
// binding, say) is none of the stream's business.
TEST_F(BmTest, AStrayReadableHandleDoesNotDisturbTheStream) {
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  PeerLink stray;
  stray.Send(Msg({"24", "0"}));
  ASSERT_EQ(Open(ma.port()), 1);
  ASSERT_TRUE(WriteObject(Payload(50000)));
  ASSERT_EQ(BmFlush(), 1);
  EXPECT_EQ(BmExit(1), 1);
  EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(stray.handle(), 0), 9);
}

// A context released with its stream open (a thread or session that ends
// without BmExit) takes the stream with it: the record layer gets its
// previous writer back and the next stream of the process opens.
TEST_F(BmTest, ReleasedContextEndsItsOpenStream) {
  MediaAgentStandIn first({.args = Small()});
  ASSERT_TRUE(first.ready());
  ASSERT_EQ(Open(first.port()), 1);
  ASSERT_NE(RmGetBlockWriter(), nullptr);
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_BDA);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
  IpcCloseConnection(MaIpcHandle());
  DacmnGetContext()->maIpcHandle = kIpcNoHandle;

  MediaAgentStandIn second({.args = Small()});
  ASSERT_TRUE(second.ready());
  ASSERT_EQ(Open(second.port()), 1);
  EXPECT_GT(BackUpAndCheckStored(second), 24u);
}

TEST(BmDescription, BuffersMustLieInsideTheSegmentAndNumberAtMost64) {
  const BmShmDescription good{2, 1, 0, 4096, 64, 3 * 64 * 4096, 100};
  EXPECT_EQ(BmCheckShmDescription(good, DA_BACKUP), nullptr);
  BmShmDescription d = good;
  d.bufNum = 65;
  d.shmSize = 3 * 65 * 4096;
  EXPECT_STREQ(BmCheckShmDescription(d, DA_BACKUP), "buffer count outside 1..64");
  d = good;
  d.bufNum = 0;
  EXPECT_NE(BmCheckShmDescription(d, DA_BACKUP), nullptr);
  // The section term: buffers of section 2 end at 3 x count x size.
  d = good;
  d.shmSize -= 1;
  EXPECT_STREQ(BmCheckShmDescription(d, DA_BACKUP), "the buffers do not lie inside the segment");
  // A restore stream's buffers lie at the segment's start whatever the
  // section: one ring of them must fit, and they then lie inside.
  d = good;
  d.shmSize = 64 * 4096;
  EXPECT_STREQ(BmCheckShmDescription(d, DA_BACKUP), "the buffers do not lie inside the segment");
  EXPECT_EQ(BmCheckShmDescription(d, DA_RESTORE), nullptr);
  d.shmSize -= 1;
  EXPECT_STREQ(BmCheckShmDescription(d, DA_RESTORE), "the buffers do not lie inside the segment");
  DaShmBuffers shm{};
  shm.shmemSection = good.section;
  shm.bufNum = good.bufNum;
  shm.bufSize = good.bufSize;
  EXPECT_EQ(DaBufferStart(shm, 3, DA_BACKUP), (2u * 64 + 3) * 4096);
  EXPECT_EQ(DaBufferStart(shm, 3, DA_RESTORE), 3u * 4096);
  d = good;
  d.section = -1;
  EXPECT_NE(BmCheckShmDescription(d, DA_BACKUP), nullptr);
  d = good;
  d.bufSize = 4100;
  EXPECT_NE(BmCheckShmDescription(d, DA_BACKUP), nullptr);
  // 4096 - 4000 rounded is 96: one header and one record header still fit.
  d = good;
  d.bufOffset = 4000;
  EXPECT_EQ(BmCheckShmDescription(d, DA_BACKUP), nullptr);
  d.bufOffset = 4001;
  EXPECT_STREQ(BmCheckShmDescription(d, DA_BACKUP), "buffer offset leaves no room for a block");
  d = good;
  d.bufSize = 1 << 30;
  d.section = 1 << 20;
  d.shmSize = INT_MAX;
  EXPECT_NE(BmCheckShmDescription(d, DA_BACKUP), nullptr);
}

TEST(BmDescription, TheAgentsSevenItemsAreReadInOrder) {
  const std::string text = Msg({"10", "1", "1234", "0x7f0000", "4096", "4", "32768", "20"});
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrParseStartNL(&msg, text.data(), text.size()), 10);
  BmShmDescription d{};
  EXPECT_EQ(BmParseShmDescription(&msg, &d, DA_BACKUP), nullptr);
  EXPECT_EQ(d.section, 1);
  EXPECT_EQ(d.key, 1234);
  EXPECT_EQ(d.address, 0x7f0000u);
  EXPECT_EQ(d.bufSize, 4096);
  EXPECT_EQ(d.bufNum, 4);
  EXPECT_EQ(d.shmSize, 32768);
  EXPECT_EQ(d.bufOffset, 20);
  for (const std::string& bad : {Msg({"10", "1", "1234", "7f0000", "4096", "4", "32768", "20"}),
                                 Msg({"10", "1", "1234", "140000", "4096", "4", "32768"}),
                                 Msg({"10", "1", "1234", "140000", "4096", "4", "32767", "20"})}) {
    ASSERT_EQ(StrParseStartNL(&msg, bad.data(), bad.size()), 10);
    EXPECT_NE(BmParseShmDescription(&msg, &d, DA_BACKUP), nullptr);
  }
  StrMsgFreeL(&msg);
}

class BmSegmentTest : public BmTest {
 protected:
  void SetUp() override {
    BmTest::SetUp();
    ASSERT_NE(segment_.base(), nullptr);
    key_ = segment_.key();
    mine_ = segment_.base();
  }
  std::string Description(int count, std::uintptr_t address) const {
    return Msg({"10", "0", std::to_string(key_), std::to_string(address), "4096",
                std::to_string(count), std::to_string(kSize), "0"});
  }

  static constexpr int kSize = 65 * 4096;
  datest::TestSegment segment_{kSize};
  int key_ = 0;
  void* mine_ = nullptr;
};

// The agent's address is taken here already: the segment is attached where
// the system chooses, and the stream works there.
TEST_F(BmSegmentTest, AnAddressInUseIsAttachedElsewhere) {
  ScriptedAgent agent({Description(4, reinterpret_cast<std::uintptr_t>(mine_))});
  ASSERT_GT(agent.port(), 0);
  ASSERT_EQ(Open(agent.port()), 1);
  BdaPtd* bda = BdaGetContext();
  EXPECT_NE(bda->shm.shmemBasePtr, nullptr);
  EXPECT_NE(static_cast<void*>(bda->shm.shmemBasePtr), mine_);
  ASSERT_EQ(RmWriteNull(100), 1);
  ASSERT_EQ(BmPutBlock(), 1);
  // The block landed in the segment, seen through the test's own attachment.
  EXPECT_EQ(std::memcmp(static_cast<const char*>(mine_) + 8, "\0\0\0\x07", 4), 0);
  EXPECT_EQ(BmExit(1), 0);
  // MSG_OPEN with the DA id, the block of buffer 0, then the abort of an
  // unflushed stream.
  EXPECT_EQ(agent.received(),
            Packet(Msg({"27", "7"})) + Packet(Msg({"24", "0"})) + Packet(Msg({"1"})));
}

// A peer that owes a message and stays silent for the bound ends the wait
// with a report: an agent that acknowledges nothing (the fifth block waits
// for a buffer), and a session manager that never sends the stop the exit
// waits for.
TEST_F(BmSegmentTest, ASilentPeerFailsTheStreamAtTheBound) {
  const int previous = dacmn_detail::DaSetPeerWaitSeconds(1);
  const std::string report = "Waiting for data failed: nothing received for 1 seconds";
  {
    datest::CapturedReports reports;
    ScriptedAgent agent({Description(4, 0)});
    ASSERT_EQ(Open(agent.port()), 1);
    EXPECT_FALSE(WriteObject(Payload(100000)));
    EXPECT_TRUE(reports.Has(report)) << reports.Joined();
    EXPECT_EQ(BmExit(1), 0);
    std::string sent = Packet(Msg({"27", "7"}));
    for (const char* id : {"0", "1", "2", "3"}) sent += Packet(Msg({"24", id}));
    EXPECT_EQ(agent.received(), sent + Packet(Msg({"1"})));
  }
  {
    datest::CapturedReports reports;
    ScriptedAgent agent({Description(4, 0)});
    PeerLink sm;
    ASSERT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 1, sm.handle(), nullptr, kDa,
                     "127.0.0.1", agent.port(), nullptr, 1.0, nullptr, nullptr, nullptr),
              1);
    ASSERT_EQ(BmFlush(), 1);
    EXPECT_EQ(BmExit(0), 0);
    EXPECT_TRUE(reports.Has(report)) << reports.Joined();
    EXPECT_EQ(agent.received(), Packet(Msg({"27", "7"})) + Packet(Msg({"6"})));
  }
  dacmn_detail::DaSetPeerWaitSeconds(previous);
}

TEST_F(BmSegmentTest, MoreThan64BuffersAreRefused) {
  ScriptedAgent agent({Description(65, 0)});
  ASSERT_GT(agent.port(), 0);
  EXPECT_EQ(Open(agent.port()), 0);
  EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
  // Refused before the stream is opened.
  EXPECT_EQ(agent.received(), Packet(Msg({"1"})));
}

}  // namespace

// Zero copy: the caller's own buffer of the agent's segment becomes the block
// and leaves with the buffer id taken for it and the caller's id.
TEST_F(BmSegmentTest, ZeroCopyBlockLeavesWithBothIds) {
  ScriptedAgent agent({Description(4, 0)});
  ASSERT_GT(agent.port(), 0);
  ASSERT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa,
                   "127.0.0.1", agent.port(), nullptr, 1.0, "zc", "companion", nullptr),
            1);
  char* own = BdaGetContext()->shm.shmemBasePtr + 3 * 4096;
  std::uint32_t room = 0;
  std::uint8_t* first = BmAllocShm(own, 0x1F, &room);
  ASSERT_EQ(first, reinterpret_cast<std::uint8_t*>(own) + 64);
  EXPECT_EQ(room, 4096u - 64);
  EXPECT_EQ(BmAllocShm(BdaGetContext()->shm.shmemBasePtr + kSize, 1, &room), nullptr);
  ASSERT_EQ(RmWriteNull(100), 1);
  ASSERT_EQ(BmPutBlock(), 1);
  EXPECT_EQ(std::memcmp(static_cast<const char*>(mine_) + 3 * 4096 + 8, "\0\0\0\x07", 4), 0);
  EXPECT_EQ(BmExit(1), 0);
  EXPECT_EQ(agent.received(), Packet(Msg({"601", "7", "zc", "companion"})) +
                                  Packet(Msg({"600", "0", "31"})) + Packet(Msg({"1"})));
}

// The same stream carried by a network process: VEKBDANET forces one for an
// agent on this host, which then sees raw packets.
class BmRemoteTest : public BmTest {
 protected:
  void SetUp() override {
    BmTest::SetUp();
    setenv("VEKBDANET", "1", 1);
  }
  void TearDown() override {
    unsetenv("VEKBDANET");
    BmTest::TearDown();
  }
};

TEST_F(BmRemoteTest, NetworkProcessStoresTheStreamWholeAndEndsWithStop) {
  MediaAgentStandIn ma({.args = {"--buffer-size", "4096", "--buffer-count", "4"}});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  BackUpAndCheckStored(ma);
}

TEST_F(BmRemoteTest, AgentAbortThroughTheNetworkProcessFailsTheStream) {
  MediaAgentStandIn ma(
      {.args = {"--buffer-size", "4096", "--buffer-count", "4", "--fault", "abort-at=1"}});
  ASSERT_TRUE(ma.ready());
  ASSERT_EQ(Open(ma.port()), 1);
  ExpectAbortAtBlock1(ma);
}

// Once the media side has ended the stream, no buffer out there comes back:
// the end of the object (its end record and flush) fails at once instead of
// waiting for acknowledgements.
TEST_F(BmRemoteTest, AStreamTheAgentEndedFailsItsEndAtOnce) {
  tarn::test::Watchdog watchdog(60);
  for (const char* fault : {"abort-at=1", "cut-at=1"}) {
    SCOPED_TRACE(fault);
    MediaAgentStandIn ma({.args = {"--buffer-size", "4096", "--buffer-count", "4", "--fault", fault}});
    ASSERT_TRUE(ma.ready());
    ASSERT_EQ(Open(ma.port()), 1);
    EXPECT_FALSE(WriteObject(Payload(100000)));
    const auto began = std::chrono::steady_clock::now();
    RmWriteEnd(kDa, 0, 0, 2, 0);  // room left in the block or not
    EXPECT_EQ(BmFlush(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(BmExit(1), 0);
    EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort"));
  }
}

// Without a media agent the network process writes the stream to the file.
TEST_F(BmRemoteTest, FileVariantStoresTheStreamWhole) {
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/stream.dat";
  ASSERT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa, nullptr, 0,
                   path.c_str(), 1.0, nullptr, nullptr, nullptr),
            1);
  int bufSize = 0;
  int headRoom = 0;
  ASSERT_EQ(BmGetParams(&bufSize, &headRoom), 1);
  const std::vector<std::uint8_t> payload = Payload(300000);
  ASSERT_TRUE(WriteObject(payload));
  ASSERT_EQ(BmFlush(), 1);
  EXPECT_EQ(BmExit(1), 1);
  // Every block was acknowledged after its write; the process may still sync.
  const std::string stored = tarn::test::ReadFile(path);
  std::uint32_t blocks = 0;
  EXPECT_EQ(StoredData(stored, &blocks, static_cast<std::uint32_t>(bufSize - (headRoom - 64))),
            payload);
}

// The agent drops the link mid-stream; the network process reconnects and
// the stored stream has no gap and no block twice.
TEST_F(BmRemoteTest, ReconnectionAfterADroppedLinkStoresTheStreamWhole) {
  MediaAgentStandIn ma({.args = {"--buffer-size", "4096", "--buffer-count", "4", "--offer", "none",
                                 "--role", "backup", "--fault", "drop-after=6"}});
  ASSERT_TRUE(ma.ready());
  // Only an agent on another host is reconnected.
  datest::RemotePeers remote;
  DaSetReconnectPort(ma.port());
  const int opened = Open(ma.port());
  DaSetReconnectPort(0);
  ASSERT_EQ(opened, 1);
  EXPECT_GT(BackUpAndCheckStored(ma), 6u);
}

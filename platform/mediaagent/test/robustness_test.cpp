// The stand-in media agent against clients that break the protocol: every id,
// length and block is checked, every wait ends, and nothing is stored wrongly.
#include <gtest/gtest.h>

#include "mediaagent/test/ma_client.h"
#include "mediaagent/testing/mediaagent_standin.h"

namespace {

using namespace matest;
using tarn::test::MediaAgentStandIn;

constexpr std::uint32_t kDa = 7;

std::vector<std::string> Small(std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--offer",       "none"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class MediaAgentRobustness : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ma_.ready()); }

  // The client is answered with MSG_ABORT and the stream ends aborted after
  // `blocks` blocks, with `reason` in the traffic log.
  void ExpectAbort(Client& c, std::uint32_t blocks, const std::string& reason) {
    EXPECT_EQ(c.recv().code, 1);
    EXPECT_TRUE(ma_.waitForTraffic(reason)) << reason;
    EXPECT_TRUE(ma_.waitForEvent("STREAM_END da=7 status=abort blocks=" + std::to_string(blocks)));
  }

  tarn::test::Watchdog watchdog_{30};
  MediaAgentStandIn ma_{{.args = Small({"--idle-timeout", "1", "--io-timeout", "1"})}};
};

TEST_F(MediaAgentRobustness, BufferIdOutsideTheCountIsRefused) {
  Client c(ma_.port());
  OpenStream(c);
  c.send(24, {"4"});
  ExpectAbort(c, 0, "MSG_DATA without a buffer id in 0..3");
}

TEST_F(MediaAgentRobustness, RawPacketOfAnotherLengthIsRefused) {
  Client shorter(ma_.port());
  const Description d = OpenStream(shorter);
  shorter.send(24, {"0"});
  shorter.sendFrame(RawBuffer(d, StreamBlock(kDa, 0, d.capacity())).substr(1));
  ExpectAbort(shorter, 0, "raw packet of 4095 bytes where 4096 were due");

  // DA 7 now holds the aborted stream, which is never backed up over.
  Client longer(ma_.port());
  OpenStream(longer, 8);
  longer.send(24, {"0"});
  longer.sendFrame(RawBuffer(d, StreamBlock(8, 0, d.capacity())) + "x");
  EXPECT_EQ(longer.recv().code, 1);
  EXPECT_TRUE(ma_.waitForTraffic("raw packet of 4097 bytes where 4096 were due"));
}

TEST_F(MediaAgentRobustness, BlocksThatFailTheCheckAreNotStored) {
  Client c(ma_.port());
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0);
  EXPECT_EQ(c.recv().item(0), "0");
  // Block 2 where block 1 is due.
  SendRemoteBlock(c, d, 1, StreamBlock(kDa, 2, d.capacity()));
  ExpectAbort(c, 1, "block sequence 2, expected 1");
  EXPECT_EQ(ma_.blocks(kDa).size(), d.capacity());
}

TEST_F(MediaAgentRobustness, FirstBlockMustCarryTheOpenedDaId) {
  Client c(ma_.port());
  const Description d = OpenStream(c);
  SendStreamBlock(c, d, 0, 8);
  ExpectAbort(c, 0, "block 0 carries DA id 8");
}

TEST_F(MediaAgentRobustness, UsedBytesBeyondTheCapacityAreRefused) {
  Client c(ma_.port());
  const Description d = OpenStream(c);
  Bytes block = StreamBlock(kDa, 0, d.capacity());
  tb::Put32(block, 32, d.capacity() + 8);
  SendRemoteBlock(c, d, 0, block);
  ExpectAbort(c, 0, "used bytes 4104 outside 64..4096");
}

TEST_F(MediaAgentRobustness, UnreadableFramesEndTheStream) {
  Client garbage(ma_.port());
  OpenStream(garbage);
  garbage.sendFrame("24 0");
  ExpectAbort(garbage, 0, "no NUL after the code");

  Client huge(ma_.port());
  Handshake(huge);
  huge.sendBytes(std::string("\x7F\xFF\xFF\xFF", 4));
  EXPECT_EQ(huge.recv().code, 1);
  EXPECT_TRUE(ma_.waitForTraffic("header announces 2147483647 bytes"));
}

TEST_F(MediaAgentRobustness, UnexpectedMessagesAreRefusedAtEachStage) {
  Client first(ma_.port());
  Handshake(first);
  first.send(24, {"0"});
  EXPECT_EQ(first.recv().code, 1);
  EXPECT_TRUE(ma_.waitForTraffic("expected MSG_OPEN or MSG_DAMA_RECONNECT"));

  Client zeroCopy(ma_.port());
  Handshake(zeroCopy);
  zeroCopy.send(601, {"7", "libmap.so", "map0"});
  EXPECT_EQ(zeroCopy.recv().code, 1);
  EXPECT_TRUE(ma_.waitForTraffic("zero-copy streams are not served"));
  EXPECT_EQ(ma_.blocks(kDa), "");

  Client during(ma_.port());
  OpenStream(during);
  during.send(28);
  ExpectAbort(during, 0, "message 28 during a backup");
}

TEST_F(MediaAgentRobustness, OneDaIdServesOneConnectionAtATime) {
  Client one(ma_.port());
  OpenStream(one);
  ASSERT_TRUE(ma_.waitForTraffic("< 27 \"7\""));
  Client two(ma_.port());
  OpenStream(two);
  EXPECT_EQ(two.recv().code, 1);
  EXPECT_TRUE(ma_.waitForTraffic("DA 7 is in use"));
}

TEST_F(MediaAgentRobustness, QuietClientsAreDroppedAfterTheIdleTime) {
  Client c(ma_.port());
  const Description d = OpenStream(c);
  EXPECT_TRUE(c.closedByPeer());
  EXPECT_TRUE(ma_.waitForTraffic("timeout waiting for a message"));
  EXPECT_TRUE(ma_.waitForEvent("STREAM_END da=7 status=abort blocks=0"));
  EXPECT_FALSE(SegmentExists(d.key));

  // A raw packet that never comes ends at the I/O time-out.
  Client slow(ma_.port());
  Handshake(slow);
  slow.send(27, {"9"});
  slow.send(24, {"0"});
  EXPECT_TRUE(slow.closedByPeer());
  EXPECT_TRUE(ma_.waitForTraffic("timeout waiting for a raw packet"));
}

TEST(MediaAgentRestoreRobustness, AcknowledgementsMustNameTheStreamAndAHeldBuffer) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--buffer-count", "2"})});
  ASSERT_TRUE(ma.ready());
  ASSERT_TRUE(StoreStream(ma, 3));
  for (const auto& ack : std::vector<std::vector<std::string>>{{"8", "0"}, {"7", "1", "0"}}) {
    Client c(ma.port());
    OpenStream(c);
    EXPECT_EQ(c.recv().item(0), "0");
    ASSERT_TRUE(c.recvFrame());
    EXPECT_EQ(c.recv().item(0), "1");
    ASSERT_TRUE(c.recvFrame());
    c.send(24, ack);
    EXPECT_EQ(c.recv().code, 1);
  }
  // Buffer 0 returned twice: the second time it is not held by the client.
  Client c(ma.port());
  OpenStream(c);
  for (int i = 0; i < 2; ++i) {
    c.recv();
    c.recvFrame();
  }
  c.send(24, {"7", "0"});
  EXPECT_EQ(c.recv().item(0), "0");
  ASSERT_TRUE(c.recvFrame());
  c.send(24, {"7", "1"});
  c.send(24, {"7", "1"});
  EXPECT_EQ(c.recv().code, 1);
  EXPECT_TRUE(ma.waitForTraffic("a buffer held by the client"));
}

}  // namespace

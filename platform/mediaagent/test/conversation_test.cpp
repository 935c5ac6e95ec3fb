// The stand-in media agent end to end with a raw-socket client: a stream is
// stored over raw packets or the agent's segment, read back the same way,
// resumed after a broken link, and refused where the geometry does not fit.
#include <gtest/gtest.h>

#include <cstring>

#include "mediaagent/sha256.h"
#include "mediaagent/test/ma_client.h"
#include "mediaagent/testing/mediaagent_standin.h"

namespace {

using namespace matest;
using tarn::test::MediaAgentStandIn;

constexpr std::uint32_t kDa = 7;

std::vector<std::string> Small(std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--offset",      "12"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string Sha256Of(const std::string& bytes) {
  tarn::mediaagent::Sha256 hash;
  hash.update({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return hash.hex();
}

TEST(MediaAgentConversation, RemoteStreamIsStoredCheckedAndReadBack) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small({"--role", "auto"})});
  ASSERT_TRUE(ma.ready());
  ASSERT_TRUE(StoreStream(ma, 10));

  const std::string blocks = ma.blocks(kDa);
  ASSERT_EQ(blocks.size(), 10u * 4080);
  EXPECT_EQ(blocks.substr(3 * 4080, 4080), Text(StreamBlock(kDa, 3, 4080)));
  EXPECT_EQ(ma.metadata(kDa),
            "da 7\nstatus stop\nbuffer-size 4096\nbuffer-count 4\n"
            "buffer-offset 12\nsection 0\ncapacity 4080\nblocks 10\n"
            "bytes 40800\nsha256 " +
                Sha256Of(blocks) + "\n");

  const std::vector<Bytes> back = RemoteRestore(ma.port(), 10);
  ASSERT_EQ(back.size(), 10u);
  for (std::uint32_t b = 0; b < 10; ++b) EXPECT_EQ(back[b], StreamBlock(kDa, b, 4080)) << b;
  EXPECT_TRUE(ma.waitForTraffic("< 24 \"7\" \"3\""));
  EXPECT_TRUE(ma.waitForTraffic("transfer socket"));
}

// Without --traffic-every the log names each kind of message once and counts
// the rest when the connection ends: one line per kind, not per block.
TEST(MediaAgentConversation, TrafficLogCountsBlocksPerKind) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small({"--role", "auto"}), .trafficEvery = false});
  ASSERT_TRUE(ma.ready());
  ASSERT_TRUE(StoreStream(ma, 10));
  ASSERT_TRUE(ma.waitForTraffic(" close "));
  int data = 0, raw = 0;
  std::string counts;
  for (const std::string& line : ma.traffic()) {
    if (line.find(" counts ") != std::string::npos) {
      counts = line;
      continue;
    }
    data += line.find(" < 24 ") != std::string::npos ? 1 : 0;
    raw += line.find(" < raw ") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(data, 1);
  EXPECT_EQ(raw, 1);
  EXPECT_NE(counts.find("< 24 x10, < raw x10 40960 bytes"), std::string::npos) << counts;
}

TEST(MediaAgentConversation, NegotiationOffersUntilAVersionIsAccepted) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--offer", "99,100"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  Msg m = c.recv();
  EXPECT_EQ(m.code, 267);
  EXPECT_EQ(m.items, (std::vector<std::string>{"10", "99", "600", "100", "tarn-mediaagent", "2"}));
  c.send(267, {"27", "99", "600", "build", "test", "0"});
  m = c.recv();
  EXPECT_EQ(m.items[1], "100");
  c.send(267, {"27", "100", "600", "build", "test", "2"});
  const Description d = ReadDescription(c.recv());
  EXPECT_EQ(d.bufferCount, 4);
  EXPECT_EQ(d.segmentSize, 4u * 4096);
  EXPECT_TRUE(SegmentExists(d.key));
}

TEST(MediaAgentConversation, NoAcceptedVersionEndsWithAbort) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--offer", "100"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  EXPECT_EQ(c.recv().code, 267);
  c.send(267, {"27", "100", "600", "build", "test", "0"});
  EXPECT_EQ(c.recv().code, 1);
  EXPECT_TRUE(c.closedByPeer());
}

TEST(MediaAgentConversation, LocalClientUsesTheSegmentBothWays) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = {"--buffer-size", "4096", "--buffer-count", "2", "--section", "1",
                                 "--offer", "none"}});
  ASSERT_TRUE(ma.ready());
  {
    Client c(ma.port());
    const Description d = Handshake(c);
    EXPECT_EQ(d.section, 1);
    EXPECT_EQ(d.segmentSize, 2u * 2 * 4096);
    c.send(27, {"7"});
    Attached shm(d.key);
    ASSERT_NE(shm.base(), nullptr);
    for (std::uint32_t b = 0; b < 5; ++b) {
      const int id = static_cast<int>(b % 2);
      if (b >= 2) {
        EXPECT_EQ(c.recv().item(0), std::to_string(id));
      }
      // Backup buffers of section 1 lie behind the two of section 0.
      const Bytes block = StreamBlock(kDa, b, 4096);
      std::memcpy(shm.base() + 4096 * (2 + id), block.data(), block.size());
      c.send(24, {std::to_string(id)});
    }
    EXPECT_EQ(c.recv().item(0), "1");
    EXPECT_EQ(c.recv().item(0), "0");
    c.send(6);
    ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop blocks=5"));
    EXPECT_TRUE(ma.waitForTraffic("transfer shared memory"));
  }
  Client c(ma.port());
  const Description d = Handshake(c);
  Attached shm(d.key);
  ASSERT_NE(shm.base(), nullptr);
  c.send(27, {"7"});
  for (std::uint32_t b = 0; b < 5; ++b) {
    const Msg m = c.recv();
    ASSERT_EQ(m.code, 24);
    const int id = std::stoi(m.item(0));
    ASSERT_TRUE(id == 0 || id == 1);
    // Restore buffers lie at the segment's start whatever the section.
    const Bytes block(shm.base() + 4096 * id, shm.base() + 4096 * (1 + id));
    EXPECT_EQ(block, StreamBlock(kDa, b, 4096)) << b;
    c.send(24, {"7", m.item(0)});
  }
  c.send(6);
  EXPECT_TRUE(c.closedByPeer());
  EXPECT_FALSE(SegmentExists(d.key));
}

// The agent reads a stored block straight into the local client's buffer:
// what the client left in a buffer it gave back must not show in front of
// the next block announced in it.
TEST(MediaAgentConversation, LocalRestoreFillsWholeBuffersWhateverTheClientLeft) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  ASSERT_TRUE(StoreStream(ma, 7));
  Client c(ma.port());
  const Description d = Handshake(c);
  Attached shm(d.key);
  ASSERT_NE(shm.base(), nullptr);
  c.send(27, {"7"});
  const Bytes zeros(d.blockStart(), 0);
  for (std::uint32_t b = 0; b < 7; ++b) {
    const Msg m = c.recv();
    ASSERT_EQ(m.code, 24);
    const int id = std::stoi(m.item(0));
    ASSERT_TRUE(id >= 0 && id < 4);
    std::uint8_t* buffer = shm.base() + 4096 * id;
    EXPECT_EQ(Bytes(buffer, buffer + d.blockStart()), zeros) << b;
    EXPECT_EQ(Bytes(buffer + d.blockStart(), buffer + 4096), StreamBlock(kDa, b, d.capacity()))
        << b;
    std::memset(buffer, 0xA5, 4096);
    c.send(24, {"7", m.item(0)});
  }
  EXPECT_TRUE(ma.waitForTraffic("transfer shared memory"));
  c.send(6);
  EXPECT_TRUE(c.closedByPeer());
}

TEST(MediaAgentConversation, RestoreIsRefusedForAnotherGeometryOrUnknownStream) {
  tarn::test::Watchdog watchdog(60);
  tarn::test::TempDir store;
  {
    MediaAgentStandIn ma({.args = Small(), .storeDir = store.path() + "/s"});
    ASSERT_TRUE(ma.ready());
    ASSERT_TRUE(StoreStream(ma, 2));
  }
  MediaAgentStandIn ma(
      {.args = {"--buffer-size", "8192", "--role", "restore"}, .storeDir = store.path() + "/s"});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  OpenStream(c);
  EXPECT_EQ(c.recv().code, 1);
  EXPECT_TRUE(ma.waitForTraffic("configured geometry differs from the stored one"));

  Client unknown(ma.port());
  OpenStream(unknown, 8);
  EXPECT_EQ(unknown.recv().code, 1);
}

TEST(MediaAgentConversation, RestoreObjectReopensOnTheSameConnection) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  RemoteBackup(ma.port(), 1);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
  Client c(ma.port());
  const Description d = Handshake(c);
  for (int round = 0; round < 2; ++round) {
    c.send(27, {"7"});
    EXPECT_EQ(c.recv().item(0), "0");
    const auto raw = c.recvFrame();
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->substr(d.blockStart()), Text(StreamBlock(kDa, 0, d.capacity())));
    c.send(24, {"7", "0"});
    c.send(28);
    c.send(27);
    const Msg listen = c.recv();
    EXPECT_EQ(listen.code, 10);
    EXPECT_EQ(listen.items,
              (std::vector<std::string>{std::to_string(d.key), "16384", "0", "4", "4096", "12"}));
  }
}

TEST(MediaAgentConversation, ResetLinkResumesWithoutGapOrDuplicate) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small({"--offer", "none", "--fault", "drop-after=3"})});
  ASSERT_TRUE(ma.ready());
  Description d;
  {
    Client c(ma.port());
    d = OpenStream(c);
    for (std::uint32_t b = 0; b < 4; ++b) {
      if (b < 3) {
        SendStreamBlock(c, d, b);
        EXPECT_EQ(c.recv().item(0), std::to_string(b));
      } else {
        // The agent resets the link on the fourth block's header.
        c.send(24, {"3"});
        c.write(RawBuffer(d, StreamBlock(kDa, 3, d.capacity())));
        EXPECT_FALSE(c.recvFrame());
      }
    }
  }
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=abort blocks=3"));
  EXPECT_NE(ma.metadata(kDa).find("status abort\n"), std::string::npos);

  Client c(ma.port());
  Handshake(c);
  c.send(1051, {"7"});
  const Msg state = c.recv();
  EXPECT_EQ(state.code, 1052);
  EXPECT_EQ(state.items, (std::vector<std::string>{"3", "3"}));
  SendStreamBlock(c, d, 3);
  EXPECT_EQ(c.recv().item(0), "3");
  SendStreamBlock(c, d, 4);
  EXPECT_EQ(c.recv().item(0), "0");
  c.send(6);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop blocks=5"));
  const std::string blocks = ma.blocks(kDa);
  ASSERT_EQ(blocks.size(), 5u * d.capacity());
  for (std::uint32_t b = 0; b < 5; ++b)
    EXPECT_EQ(blocks.substr(b * d.capacity(), d.capacity()),
              Text(StreamBlock(kDa, b, d.capacity())));
}

TEST(MediaAgentConversation, ReconnectingClientGetsTheDescriptionWithoutAnOffer) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small({"--fault", "drop-after=1"})});
  ASSERT_TRUE(ma.ready());
  Description d;
  {
    Client c(ma.port());
    d = OpenStream(c);
    SendStreamBlock(c, d, 0);
    EXPECT_EQ(c.recv().item(0), "0");
    c.send(24, {"1"});
    EXPECT_FALSE(c.recvFrame());
  }
  // The client resumes at once: the agent may not have let the old link go.
  Client c(ma.port());
  const Msg first = c.recv();
  EXPECT_EQ(first.code, 10);
  c.send(1051, {"7"});
  EXPECT_EQ(c.recv().items, (std::vector<std::string>{"1", "1"}));
  c.send(6);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop blocks=1"));
  // With nothing left to resume, a new connection is offered the protocol again.
  Client fresh(ma.port());
  EXPECT_EQ(fresh.recv().code, 267);
}

TEST(MediaAgentConversation, ResumedStreamStillRefusesADuplicateBlock) {
  tarn::test::Watchdog watchdog(60);
  MediaAgentStandIn ma({.args = Small({"--offer", "none", "--fault", "drop-after=2"})});
  ASSERT_TRUE(ma.ready());
  Description d;
  {
    Client c(ma.port());
    d = OpenStream(c);
    for (std::uint32_t b = 0; b < 2; ++b) {
      SendStreamBlock(c, d, b);
      EXPECT_EQ(c.recv().item(0), std::to_string(b));
    }
    c.send(24, {"2"});
    EXPECT_FALSE(c.recvFrame());
  }
  ASSERT_TRUE(ma.waitForEvent("status=abort blocks=2"));
  Client c(ma.port());
  Handshake(c);
  c.send(1051, {"7"});
  EXPECT_EQ(c.recv().items, (std::vector<std::string>{"2", "2"}));
  SendStreamBlock(c, d, 1);
  EXPECT_EQ(c.recv().code, 1);
  EXPECT_TRUE(ma.waitForTraffic("block sequence 1, expected 2"));
}

TEST(MediaAgentConversation, ReconnectWaitsForTheOldLinkToLetGo) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--offer", "none"})});
  ASSERT_TRUE(ma.ready());
  Client old(ma.port());
  const Description d = OpenStream(old);
  SendStreamBlock(old, d, 0);
  EXPECT_EQ(old.recv().item(0), "0");
  Client c(ma.port());
  Handshake(c);
  c.send(1051, {"7"});
  ASSERT_TRUE(ma.waitForTraffic("< 1051 \"7\""));
  old.hangUp();
  EXPECT_EQ(c.recv().items, (std::vector<std::string>{"1", "1"}));
}

TEST(MediaAgentConversation, ReconnectWithoutAnInterruptedStreamIsRefused) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--offer", "none"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  Handshake(c);
  c.send(1051, {"9"});
  EXPECT_EQ(c.recv().code, 1);
}

TEST(MediaAgentConversation, SinkModeAcknowledgesWithoutStoring) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small({"--sink"})});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = OpenStream(c);
  // Not even a block: the sink does not look.
  SendRemoteBlock(c, d, 2, Bytes(d.capacity(), 0xEE));
  EXPECT_EQ(c.recv().item(0), "2");
  c.send(6);
  ASSERT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop blocks=1"));
  EXPECT_EQ(ma.metadata(kDa), "");
  EXPECT_EQ(ma.blocks(kDa), "");
}

TEST(MediaAgentConversation, SigtermRemovesTheSegmentsOfOpenConnections) {
  tarn::test::Watchdog watchdog(30);
  MediaAgentStandIn ma({.args = Small()});
  ASSERT_TRUE(ma.ready());
  Client c(ma.port());
  const Description d = Handshake(c);
  ASSERT_TRUE(SegmentExists(d.key));
  const int status = ma.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(SegmentExists(d.key));
}

}  // namespace

namespace {

// A stand-in over a store whose DA 7 holds a stopped stream of two blocks.
struct StoredStream {
  StoredStream() {
    MediaAgentStandIn first({.args = Small(), .storeDir = dir()});
    EXPECT_TRUE(first.ready());
    EXPECT_TRUE(StoreStream(first, 2));
    blocks = first.blocks(kDa);
  }
  std::string dir() const { return store.path() + "/s"; }
  std::string path(const char* suffix) const { return dir() + "/da-7" + suffix; }

  tarn::test::TempDir store;
  std::string blocks;
};

}  // namespace

TEST(MediaAgentConversation, DirectionComesFromTheRequestAndStoredStreamsStay) {
  tarn::test::Watchdog watchdog(120);
  const struct {
    const char* name;
    const char* requests;  // null: no requests file
    bool longOpen;         // the open a backup with options sends
    bool unreadableMeta;
    const char* refusal;
  } cases[] = {
      {"restore of an unreadable stream", nullptr, false, true, "metadata of DA 7"},
      {"backup with options to a stored stream", nullptr, true, false,
       "DA 7 already holds a stored stream"},
      {"backup requested to a stored stream", "OBJECT da=7 restore\nOBJECT da=7 backup\n", false,
       false, "DA 7 already holds a stored stream"},
      {"backup requested over an unreadable stream", "OBJECT da=7 backup\n", false, true,
       "DA 7 already holds a stored stream"},
      {"open no request names", "OBJECT da=8 restore\nOBJECT da=77 backup\n", false, false,
       "no object request of the session manager names DA 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StoredStream stored;
    if (c.unreadableMeta) tarn::test::WriteFile(stored.path(".meta"), "da 7\nstatus ");
    const std::string meta = tarn::test::ReadFile(stored.path(".meta"));
    std::vector<std::string> args = Small();
    if (c.requests != nullptr) {
      tarn::test::WriteFile(stored.store.path() + "/requests", c.requests);
      args.insert(args.end(), {"--requests", stored.store.path() + "/requests"});
    }
    MediaAgentStandIn ma({.args = args, .storeDir = stored.dir()});
    ASSERT_TRUE(ma.ready());
    Client client(ma.port());
    Handshake(client);
    client.send(27, c.longOpen ? std::vector<std::string>{"7", "-1", "test", "0", "", "0", "4", "1"}
                               : std::vector<std::string>{"7"});
    EXPECT_EQ(client.recv().code, 1);
    EXPECT_TRUE(ma.waitForTraffic(c.refusal));
    EXPECT_EQ(Sha256Of(tarn::test::ReadFile(stored.path(".blocks"))), Sha256Of(stored.blocks));
    EXPECT_EQ(tarn::test::ReadFile(stored.path(".meta")), meta);
  }
}

TEST(MediaAgentConversation, RequestedRestoreIsServed) {
  tarn::test::Watchdog watchdog(60);
  StoredStream stored;
  const std::string requests = stored.store.path() + "/requests";
  tarn::test::WriteFile(requests, "OBJECT da=7 backup\nOBJECT da=7 restore\n");
  MediaAgentStandIn ma({.args = Small({"--requests", requests}), .storeDir = stored.dir()});
  ASSERT_TRUE(ma.ready());
  const std::vector<Bytes> back = RemoteRestore(ma.port(), 2);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1], StreamBlock(kDa, 1, 4080));
}

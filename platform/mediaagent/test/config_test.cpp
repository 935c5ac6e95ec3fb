// The stand-in media agent's command line and fault flags.
#include "mediaagent/config.h"

#include <gtest/gtest.h>

namespace {

using namespace tarn::mediaagent;

std::optional<Config> Parse(std::vector<std::string> args, std::string* why = nullptr) {
  return ParseCommandLine(args, why);
}

TEST(MediaAgentConfig, EveryOptionIsRead) {
  const auto c = Parse({"--store",
                        "/s",
                        "--port",
                        "0",
                        "--buffer-size",
                        "8192",
                        "--buffer-count",
                        "64",
                        "--offset",
                        "20",
                        "--section",
                        "1",
                        "--offer",
                        "99,100",
                        "--transfer",
                        "socket",
                        "--role",
                        "restore",
                        "--sink",
                        "--idle-timeout",
                        "5",
                        "--io-timeout",
                        "2",
                        "--lifetime",
                        "60",
                        "--fault",
                        "delay=15",
                        "--fault",
                        "corrupt=2:string-length",
                        "--fault",
                        "refuse"});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->storeDir, "/s");
  EXPECT_EQ(c->geometry, (Geometry{8192, 64, 20, 1}));
  EXPECT_EQ(c->offers, (std::vector<int>{99, 100}));
  EXPECT_EQ(c->transfer, Transfer::kSocket);
  EXPECT_EQ(c->role, Role::kRestore);
  EXPECT_TRUE(c->sink);
  EXPECT_EQ(c->idle, std::chrono::seconds(5));
  EXPECT_EQ(c->faults.delay, std::chrono::milliseconds(15));
  EXPECT_EQ(c->faults.corruptAt, 2u);
  EXPECT_EQ(c->faults.corruptField, CorruptField::kStringLength);
  EXPECT_TRUE(c->faults.refuse);
  EXPECT_TRUE(Parse({"--store", "/s", "--offer", "none"})->offers.empty());
  EXPECT_EQ(Parse({"--store", "/s"})->offers, std::vector<int>{100});
}

TEST(MediaAgentConfig, BadCommandLinesNameTheirFault) {
  const auto refused = [](std::vector<std::string> args, const std::string& reason) {
    std::string why;
    EXPECT_FALSE(Parse(args, &why));
    EXPECT_EQ(why, reason);
  };
  refused({}, "--store is required");
  refused({"--store"}, "--store needs a value");
  refused({"--store", "/s", "--verbose", "1"}, "unknown option --verbose");
  refused({"--store", "/s", "--port", "65536"}, "bad value for --port: 65536");
  refused({"--store", "/s", "--buffer-count", "65"}, "bad value for --buffer-count: 65");
  refused({"--store", "/s", "--offer", "100,"}, "bad value for --offer: 100,");
  refused({"--store", "/s", "--offer", ""}, "bad value for --offer: ");
  refused({"--store", "/s", "--transfer", "pipe"}, "bad value for --transfer: pipe");
  refused({"--store", "/s", "--buffer-size", "1024", "--offset", "1000"},
          "buffer offset leaves less than 128 bytes for the block");
  refused({"--store", "/s", "--fault", "drop-after"}, "fault drop-after needs =<value>");
  refused({"--store", "/s", "--fault", "drop-after=-1"}, "fault drop-after needs a block number");
  refused({"--store", "/s", "--fault", "corrupt=1:crc"}, "unknown corrupt field crc");
  refused({"--store", "/s", "--fault", "corrupt=1"}, "corrupt needs <block>:<field>");
  refused({"--store", "/s", "--fault", "refuse=1"}, "fault refuse takes no value");
  refused({"--store", "/s", "--fault", "melt=1"}, "unknown fault melt");
}

TEST(MediaAgentConfig, BlockFaultsTakeTheirNumbers) {
  Faults f;
  for (const char* text :
       {"drop-after=1", "lose-acks=2", "cut-at=3", "bad-ack=4", "abort-at=5", "truncate=6",
        "duplicate=7", "bad-buffer=8", "disk-full=4096", "restore-cut-at=9", "hold=10", "restore-hold=11"})
    ASSERT_TRUE(ParseFault(text, f, nullptr)) << text;
  EXPECT_EQ(f.dropAfter, 1u);
  EXPECT_EQ(f.loseAcks, 2u);
  EXPECT_EQ(f.cutAt, 3u);
  EXPECT_EQ(f.badAck, 4u);
  EXPECT_EQ(f.abortAt, 5u);
  EXPECT_EQ(f.truncate, 6u);
  EXPECT_EQ(f.duplicate, 7u);
  EXPECT_EQ(f.badBuffer, 8u);
  EXPECT_EQ(f.diskFull, 4096u);
  EXPECT_EQ(f.restoreCutAt, 9u);
  EXPECT_EQ(f.hold, 10u);
  EXPECT_EQ(f.restoreHold, 11u);
}

}  // namespace

// The stand-in media agent's messages as bytes on the wire, the checks on what
// it reads, and where its geometry puts the blocks.
#include "mediaagent/protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "cellserver/traffic.h"
#include "mediaagent/channel.h"

namespace {

using namespace std::string_view_literals;
using namespace tarn::mediaagent;
using tarn::standin::EncodeMessage;
using tarn::standin::Message;

TEST(MediaAgentProtocol, MessagesTheAgentSendsAsBytes) {
  const Geometry g{4096, 4, 12, 1};
  EXPECT_EQ(EncodeMessage(MakeDescription(g, 4660, 140000)),
            "10\0 1\0 4660\0 140000\0 4096\0 4\0 32768\0 12\0\0"sv);
  EXPECT_EQ(EncodeMessage(MakeReopenListen(g, 4660)),
            "10\0 4660\0 32768\0 1\0 4\0 4096\0 12\0\0"sv);
  EXPECT_EQ(EncodeMessage(MakeOffer(100)),
            "267\0 10\0 100\0 600\0 100\0 tarn-mediaagent\0 2\0\0"sv);
  // Counters modulo twice the buffer count.
  EXPECT_EQ(EncodeMessage(MakeBufferState(11, 9, 4)), "1052\0 3\0 1\0\0"sv);
  EXPECT_EQ(EncodeMessage(MakeBufferMessage(3)), "24\0 3\0\0"sv);
}

TEST(MediaAgentProtocol, MessageAndRawPacketLeaveInOneFrameEach) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  tarn::cellserver::Traffic quiet("");
  tarn::standin::StopSignal stop;
  {
    Channel channel(tarn::standin::Fd(pair[0]), "c1", quiet, stop.fd(), Timeouts{});
    const std::uint8_t raw[] = {0xAB, 0x00, 0xCD};
    ASSERT_TRUE(channel.sendWithRaw(MakeBufferMessage(2), raw));
  }
  std::string got(64, '\0');
  const ssize_t n = read(pair[1], got.data(), got.size());
  got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  close(pair[1]);
  EXPECT_EQ(got,
            "\0\0\0\x07"
            "24\0 2\0\0"
            "\0\0\0\x03\xAB\0\xCD"sv);
}

TEST(MediaAgentProtocol, ReadsOnlyIdsInRange) {
  EXPECT_EQ(ParseBackupData({24, {"3"}}, 4), 3);
  EXPECT_FALSE(ParseBackupData({24, {"4"}}, 4));
  EXPECT_FALSE(ParseBackupData({24, {"-1"}}, 4));
  EXPECT_FALSE(ParseBackupData({24, {"1", "2"}}, 4));
  EXPECT_FALSE(ParseBackupData({24, {" 1"}}, 4));
  EXPECT_FALSE(ParseBackupData({25, {"1"}}, 4));

  EXPECT_EQ(ParseRestoreData({24, {"7", "0"}}, 7, 4), 0);
  EXPECT_FALSE(ParseRestoreData({24, {"8", "0"}}, 7, 4));
  EXPECT_FALSE(ParseRestoreData({24, {"7", "4"}}, 7, 4));
  EXPECT_FALSE(ParseRestoreData({24, {"7"}}, 7, 4));

  EXPECT_EQ(ParseOpen({27, {"7"}}), 7);
  EXPECT_EQ(ParseOpen({27, {"9", "-1", "prog", "0", "", "0", "8", "3", "0", "0", "opt"}}), 9);
  EXPECT_FALSE(ParseOpen({27, {}}));
  EXPECT_FALSE(ParseOpen({27, {"-7"}}));
  EXPECT_FALSE(ParseOpen({27, {"2147483648"}}));
  EXPECT_EQ(ParseReconnect({1051, {"7"}}), 7);
  EXPECT_FALSE(ParseReconnect({1051, {"7", "1"}}));

  const auto answer = ParseProtocolAnswer({267, {"27", "100", "600", "b", "n", "2"}});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->version, 100);
  EXPECT_EQ(answer->flags, 2);
  EXPECT_FALSE(ParseProtocolAnswer({267, {"27", "100", "600", "b", "n"}}));
  EXPECT_FALSE(ParseProtocolAnswer({267, {"27", "x", "600", "b", "n", "2"}}));
}

TEST(MediaAgentProtocol, DirectionIsTheLatestCompleteRequestOfTheDaId) {
  using enum Direction;
  const struct {
    const char* text;
    std::optional<Direction> expected;
  } cases[] = {
      {"OBJECT da=7 backup\n", kBackup},
      {"OBJECT da=7 backup\nOBJECT da=8 backup\nOBJECT da=7 restore\n", kRestore},
      {"OBJECT da=7 restore\nOBJECT da=7 backup", kRestore},  // the last line is not complete
      {"OBJECT da=77 backup\nOBJECT da=17 restore\n", std::nullopt},
      {"OBJECT da=7 backups\n OBJECT da=7 restore\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(RequestedDirection(c.text, 7), c.expected) << c.text;
  EXPECT_FALSE(IsBackupOpen({27, {"7"}}));
  EXPECT_TRUE(IsBackupOpen({27, {"7", "-1", "prog", "0", "", "0", "8", "1"}}));
}

TEST(MediaAgentProtocol, GeometryPlacesBlocksAndIsChecked) {
  // Section 2, 4 buffers of 64 KiB: backup buffer 0 lies 524288 bytes in.
  const Geometry g{65536, 4, 13, 2};
  EXPECT_EQ(g.backupBuffer(0), 524288u);
  EXPECT_EQ(g.backupBuffer(3), 524288u + 3 * 65536);
  // A restore client of section 2 reads its buffers from the segment's start.
  EXPECT_EQ(g.restoreBuffer(0), 0u);
  EXPECT_EQ(g.restoreBuffer(3), 3u * 65536);
  EXPECT_EQ(Geometry({4096, 4, 0, 0}).restoreBuffer(3), 3u * 4096);
  EXPECT_EQ(g.blockStart(), 16u);
  EXPECT_EQ(g.capacity(), 65520u);
  EXPECT_EQ(g.segmentSize(), 3u * 4 * 65536);

  std::string why;
  EXPECT_TRUE(CheckGeometry(g, &why)) << why;
  EXPECT_FALSE(CheckGeometry({65536, 65, 0, 0}, &why));
  EXPECT_EQ(why, "buffer count not 1..64");
  EXPECT_FALSE(CheckGeometry({65536, 0, 0, 0}, &why));
  EXPECT_FALSE(CheckGeometry({1023, 4, 0, 0}, &why));
  EXPECT_FALSE(CheckGeometry({1024, 4, 900, 0}, &why));
  EXPECT_EQ(why, "buffer offset leaves less than 128 bytes for the block");
  EXPECT_FALSE(CheckGeometry({16u << 20, 64, 0, 1}, &why));
  EXPECT_EQ(why, "segment larger than 1 GiB");
}

}  // namespace

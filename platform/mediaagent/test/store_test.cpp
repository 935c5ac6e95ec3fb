// The stand-in media agent's store: the metadata text byte for byte, what it
// refuses to read, and blocks written and read back with a full disk.
#include "mediaagent/store.h"

#include <gtest/gtest.h>

#include "tarn_test.h"

namespace {

using namespace tarn::mediaagent;

const std::string kHash(64, 'a');

TEST(MediaAgentStore, MetadataText) {
  const StreamMeta meta{7, true, Geometry{4096, 4, 12, 1}, 3, 3 * 4080, kHash};
  const std::string text =
      "da 7\nstatus stop\nbuffer-size 4096\nbuffer-count 4\nbuffer-offset 12\nsection 1\n"
      "capacity 4080\nblocks 3\nbytes 12240\nsha256 " +
      kHash + "\n";
  EXPECT_EQ(MetaText(meta), text);
  const auto parsed = ParseMeta(text, nullptr);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, meta);
}

TEST(MediaAgentStore, MetadataThatDoesNotAddUpIsRefused) {
  const std::string good = MetaText({7, false, Geometry{4096, 4, 12, 0}, 2, 8160, kHash});
  const auto refused = [&](std::string from, std::string to, std::string reason) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::string why;
    EXPECT_FALSE(ParseMeta(text, &why)) << text;
    EXPECT_EQ(why, reason) << from;
  };
  EXPECT_TRUE(ParseMeta(good, nullptr));
  refused("bytes 8160", "bytes 8161", "bytes is not blocks x capacity");
  refused("capacity 4080", "capacity 4096", "capacity does not follow the geometry");
  refused("da 7", "da 007", "numbers not in their plain form");
  refused("status abort", "status done", "status is done");
  refused("buffer-count 4", "buffer-count 65", "a number is out of range");
  refused("section 0\n", "", "line 6 is not section");
  refused(kHash, kHash.substr(1) + "g", "sha256 is not 64 hex digits");
  refused("sha256 " + kHash + "\n", "sha256 " + kHash, "no line sha256");
  EXPECT_FALSE(ParseMeta(good + "x", nullptr));
  EXPECT_FALSE(ParseMeta(std::string(5000, '\n'), nullptr));
}

TEST(MediaAgentStore, BlocksAreWrittenUntilTheDiskIsFullAndReadBack) {
  tarn::test::TempDir dir;
  const Geometry g{1024, 2, 0, 0};
  std::string why;
  auto writer = StreamWriter::Create(dir.path(), 5, g, 2048, &why);
  ASSERT_TRUE(writer) << why;
  std::vector<std::uint8_t> block(1024);
  for (std::uint8_t i = 0; i < 3; ++i) {
    std::fill(block.begin(), block.end(), static_cast<std::uint8_t>(0x10 + i));
    EXPECT_EQ(writer->append(block, &why), i < 2) << int(i);
  }
  EXPECT_EQ(why, "write: No space left on device");
  EXPECT_EQ(writer->blocks(), 2u);
  ASSERT_TRUE(writer->finish(true, &why)) << why;

  const auto reader = StreamReader::Open(dir.path(), 5, &why);
  ASSERT_TRUE(reader) << why;
  EXPECT_EQ(reader->meta().blocks, 2u);
  EXPECT_TRUE(reader->meta().stopped);
  // SHA-256 of 1024 x 0x10 then 1024 x 0x11.
  Sha256 expected;
  std::vector<std::uint8_t> all(1024, 0x10);
  all.resize(2048, 0x11);
  expected.update(all);
  EXPECT_EQ(reader->meta().sha256, expected.hex());
  std::vector<std::uint8_t> back(1024);
  ASSERT_TRUE(reader->read(1, back));
  EXPECT_EQ(back, std::vector<std::uint8_t>(1024, 0x11));
  EXPECT_FALSE(reader->read(2, back));

  // A blocks file shorter than its metadata says is not served.
  tarn::test::WriteFile(BlocksPath(dir.path(), 5), "short");
  EXPECT_FALSE(StreamReader::Open(dir.path(), 5, &why));
  EXPECT_FALSE(StreamReader::Open(dir.path(), 6, &why));
  EXPECT_EQ(why, "no stored stream for DA 6");
}

}  // namespace

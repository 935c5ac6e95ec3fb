// Byte layout of backup images and the checks a restore makes on them.
#include "db2/image.h"

#include <gtest/gtest.h>

#include "db2/util.h"
#include "tarn_test.h"

namespace db2sim {
namespace {

std::span<const std::uint8_t> Span(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(ImageLayout, ShareHeaderBytes) {
  ShareHeader h{1, 3, -2, 0x0102, 0x10, 0x20, 0x1122334455667788ULL, 0xA1A2A3A4A5A6A7A8ULL};
  auto b = EncodeShareHeader(h);
  EXPECT_TRUE(
      tarn::test::BytesEqual(tarn::test::Bytes(std::string("SDB2IMG1"
                                                           "\x01\x00\x00\x00"
                                                           "\x01\x00\x00\x00"
                                                           "\x03\x00\x00\x00"
                                                           "\xfe\xff\xff\xff"
                                                           "\x02\x01\x00\x00\x00\x00\x00\x00"
                                                           "\x10\x00\x00\x00\x00\x00\x00\x00"
                                                           "\x20\x00\x00\x00\x00\x00\x00\x00"
                                                           "\x88\x77\x66\x55\x44\x33\x22\x11"
                                                           "\xa8\xa7\xa6\xa5\xa4\xa3\xa2\xa1",
                                                           kShareHeaderSize)),
                             b));
  auto back = DecodeShareHeader(b);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->node, -2);
  EXPECT_EQ(back->shareChecksum, h.shareChecksum);
}

TEST(ImageLayout, HeaderOutsideItsPayloadIsRefused) {
  ShareHeader h{0, 1, 0, 10, 4, 7, 0, 0};  // 4 + 7 > 10
  EXPECT_FALSE(DecodeShareHeader(EncodeShareHeader(h)));
  h = {1, 1, 0, 10, 0, 10, 0, 0};  // index not below count
  EXPECT_FALSE(DecodeShareHeader(EncodeShareHeader(h)));
  auto b = EncodeShareHeader({0, 1, 0, 10, 0, 10, 0, 0});
  b[8] = 2;  // unknown version
  EXPECT_FALSE(DecodeShareHeader(b));
}

TEST(ImageLayout, PayloadRecordBytes) {
  std::string p = EncodePayload({{"TS/0", "ab"}});
  EXPECT_TRUE(tarn::test::BytesEqual(
      tarn::test::Bytes(std::string("\x04\x00\x00\x00TS/0\x02\x00\x00\x00\x00\x00\x00\x00"
                                    "ab",
                                    18)),
      Span(p)));
  auto back = DecodePayload(Span(p));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].data, "ab");
  EXPECT_THROW(DecodePayload(Span(p.substr(0, p.size() - 1))), Error);
  std::string huge = p;
  huge[8] = '\xff';  // data length far beyond the payload
  EXPECT_THROW(DecodePayload(Span(huge)), Error);
}

// Builds the objects a backup of `payload` over `count` sessions sends.
std::vector<std::string> Objects(const std::string& payload, std::uint32_t count) {
  std::uint64_t sum = Checksum(Span(payload));
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto [off, len] = ShareRange(payload.size(), i, count);
    auto share = payload.substr(off, len);
    auto h = EncodeShareHeader({i, count, 0, payload.size(), off, len, sum, Checksum(Span(share))});
    out.push_back(std::string(h.begin(), h.end()) + share);
  }
  return out;
}

TEST(ImageAssembly, SharesInAnyOrderGiveThePayloadBack) {
  std::string payload(1001, 'x');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  auto objects = Objects(payload, 3);
  std::swap(objects[0], objects[2]);
  EXPECT_EQ(AssembleShares(objects), payload);
  EXPECT_EQ(AssembleShares(Objects("", 2)), "");
}

TEST(ImageAssembly, DamagedOrIncompleteImagesAreRefused) {
  std::string payload(300, 'q');
  auto objects = Objects(payload, 3);

  auto flipped = objects;
  flipped[1][kShareHeaderSize + 5] ^= 1;
  EXPECT_THROW(AssembleShares(flipped), Error);

  auto shortened = objects;
  shortened[2].pop_back();
  EXPECT_THROW(AssembleShares(shortened), Error);

  auto missing = objects;
  missing.pop_back();
  EXPECT_THROW(AssembleShares(missing), Error);

  auto twice = objects;
  twice[2] = twice[1];
  EXPECT_THROW(AssembleShares(twice), Error);

  EXPECT_THROW(AssembleShares({"not an image"}), Error);
  // A header that claims a huge image is refused before anything is sized by it.
  auto h = EncodeShareHeader({0, 1, 0, 1ULL << 60, 0, 1ULL << 60, 0, 0});
  EXPECT_THROW(AssembleShares({std::string(h.begin(), h.end())}), Error);
}

TEST(ImageStream, ChecksumFedInPiecesEqualsTheOneOverTheWhole) {
  std::string bytes(1000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + 5);
  const std::uint64_t whole = Checksum(Span(bytes));
  for (std::size_t step : {1, 3, 7, 8, 9, 64, 999, 1000}) {
    ChecksumStream sum;
    for (std::size_t at = 0; at < bytes.size(); at += step)
      sum.Update(Span(bytes).subspan(at, std::min(step, bytes.size() - at)));
    EXPECT_EQ(sum.Final(), whole) << step;
  }
}

// Shares laid out over container files and read through pieces are, byte
// for byte, the objects a backup built in memory would send.
TEST(ImageStream, SharesReadFromFilesAreTheObjectsOfTheWholePayload) {
  tarn::test::TempDir dir;
  const std::vector<PayloadEntry> entries = {
      {"SYSCATSPACE/0", std::string(77, 's')}, {"USERSPACE1/0", ""}, {"USERSPACE1/1", "user data"}};
  std::vector<PayloadPart> parts;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string path = dir.path() + "/c" + std::to_string(i);
    WriteWholeFile(path, "prefix" + entries[i].data);
    parts.push_back({entries[i].name, {Piece{{}, path, 6, entries[i].data.size()}}});
  }
  parts.push_back({"#state", {Piece{"lsn=1\n"}}});
  std::vector<PayloadEntry> all = entries;
  all.push_back({"#state", "lsn=1\n"});
  const std::string payload = EncodePayload(all);
  const Pieces pieces = PayloadPieces(parts);
  ASSERT_EQ(PiecesSize(pieces), payload.size());
  for (std::uint32_t count : {1u, 2u, 3u, 7u, 200u}) {
    const std::vector<std::string> objects = Objects(payload, count);
    const std::vector<ShareHeader> heads = MakeShareHeaders(pieces, count, 0);
    for (std::uint32_t i = 0; i < count; ++i) {
      const auto head = EncodeShareHeader(heads[i]);
      Pieces share =
          DecodePieces(EncodePieces(SlicePieces(pieces, heads[i].offset, heads[i].length)));
      EXPECT_EQ(std::string(head.begin(), head.end()) + ReadPieces(share, 0, heads[i].length),
                objects[i])
          << count << " " << i;
    }
  }
  std::vector<PayloadEntry> back;
  for (const PayloadPart& p : DecodePayloadPieces(pieces))
    back.push_back({p.name, ReadPieces(p.data, 0, PiecesSize(p.data))});
  ASSERT_EQ(back.size(), all.size());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(back[i].data, all[i].data) << i;
}

TEST(ImageStream, StoredObjectsAreCheckedBeforeTheirPayloadIsUsed) {
  tarn::test::TempDir dir;
  std::string payload(3000, 'x');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  const auto store = [&](std::vector<std::string> objects) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < objects.size(); ++i) {
      paths.push_back(dir.path() + "/obj." + std::to_string(i));
      WriteWholeFile(paths.back(), objects[i]);
    }
    return paths;
  };
  auto objects = Objects(payload, 3);
  std::swap(objects[0], objects[2]);
  const StoredImage image = VerifyShareFiles(store(objects));
  EXPECT_EQ(ReadPieces(image.payload, 0, payload.size()), payload);

  auto flipped = objects;
  flipped[1][kShareHeaderSize + 700] ^= 1;
  auto shortened = objects;
  shortened[2].pop_back();
  auto headless = objects;
  headless[0].resize(kShareHeaderSize - 1);
  for (const auto& bad : {flipped, shortened, headless})
    EXPECT_THROW(VerifyShareFiles(store(bad)), Error);
}

// A container that shrank after the image was laid out (or a piece list
// naming more than a file holds) is an error, never a read past the end of a
// mapping.
TEST(ImageStream, APieceBeyondItsFileIsAnErrorOnEveryWayOfReadingIt) {
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/c0";
  WriteWholeFile(path, std::string(5000, 'c'));
  const Pieces beyond = {Piece{"head"}, Piece{{}, path, 4096, 5000}};
  const Pieces missing = {Piece{{}, dir.path() + "/gone", 0, 1}};
  std::vector<std::uint8_t> buffer(1 << 16);
  for (const Pieces& pieces : {beyond, missing}) {
    EXPECT_THROW(PieceReader(pieces).Read(buffer), Error);
    EXPECT_THROW(ChecksumPieces(pieces), Error);
    EXPECT_THROW(WritePiecesToFile(dir.path() + "/out", pieces), Error);
    EXPECT_FALSE(Exists(TempPath(dir.path() + "/out")));
  }
  EXPECT_EQ(ReadPieces({Piece{{}, path, 4096, 904}}, 900, 4), "cccc");
}

TEST(ImageStream, PieceListBytesAndRefusals) {
  const Pieces pieces = {Piece{"ab\nc"}, Piece{{}, "/d/c0", 6, 77}};
  const std::string text = EncodePieces(pieces);
  EXPECT_EQ(text,
            "b 4\nab\nc"
            "f 6 77 /d/c0\n");
  const Pieces back = DecodePieces(text);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].bytes, "ab\nc");
  EXPECT_EQ(back[1].path, "/d/c0");
  EXPECT_EQ(back[1].offset, 6u);
  EXPECT_EQ(back[1].length, 77u);
  for (const char* bad :
       {"b 5\nab", "b x\n", "f 1 2 relative\n", "f 1 2 /p", "f 1 /p\n",
        "f 18446744073709551615 1 /p\n", "f 99999999999999999999 1 /p\n", "q 1\n", "b -1\n"})
    EXPECT_THROW(DecodePieces(bad), Error) << bad;
  EXPECT_THROW(DecodePieces("b 0\nb 0\n", 1), Error);
}

}  // namespace
}  // namespace db2sim

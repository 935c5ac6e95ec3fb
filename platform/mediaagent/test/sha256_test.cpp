// SHA-256 of the stand-in media agent against the standard test vectors, fed
// whole and in uneven pieces.
#include "mediaagent/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using tarn::mediaagent::Sha256;

std::string Digest(std::string_view text, std::size_t piece = 0,
                   Sha256::Engine engine = Sha256::Engine::kBest) {
  Sha256 hash(engine);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (piece == 0) {
    hash.update({bytes, text.size()});
  } else {
    for (std::size_t at = 0; at < text.size(); at += piece)
      hash.update({bytes + at, std::min(piece, text.size() - at)});
  }
  return hash.hex();
}

TEST(MediaAgentSha256, StandardVectors) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(
      Digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklm"
             "nopqrlmnopqrsmnopqrstnopqrstu"),
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(Digest(std::string(1000000, 'a'), 4093),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(MediaAgentSha256, PortableEngineAgreesWithTheVectorsAndTheProcessor) {
  EXPECT_EQ(Digest("abc", 0, Sha256::Engine::kPortable),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(std::string(1000000, 'a'), 4093, Sha256::Engine::kPortable),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  std::string text(100000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + (i >> 8));
  for (const std::size_t length : {0u, 1u, 64u, 127u, 4096u, 100000u})
    EXPECT_EQ(Digest(text.substr(0, length), 0, Sha256::Engine::kPortable),
              Digest(text.substr(0, length)))
        << length;
  if (!Sha256::HardwareAvailable()) GTEST_SKIP() << "no SHA instructions here";
}

TEST(MediaAgentSha256, PiecesAroundTheBlockAndPaddingEdgesGiveTheSameDigest) {
  for (const std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i * 7 + 1);
    const std::string whole = Digest(text);
    for (const std::size_t piece : {1u, 3u, 63u, 64u, 65u})
      EXPECT_EQ(Digest(text, piece), whole) << length << " in pieces of " << piece;
  }
  // 56 bytes need a second padding block: the known digest of 56 'a'.
  EXPECT_EQ(Digest(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

}  // namespace

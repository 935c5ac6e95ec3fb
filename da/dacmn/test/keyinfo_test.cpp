// Key relay to the key service through the session manager: the literal
// requests, replies that fill the key record, and replies of the wrong
// kind, length or id, which leave the record alone.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"

namespace {

using datest::Msg;
using datest::Packet;
using datest::PeerLink;

const std::string kKeyIdHex = "000102030405060708090A0B0C0D0E0F";
const std::string kStoreIdHex = "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";
const std::string kKeyHex = "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F";

std::vector<unsigned char> Range(unsigned char first, int count) {
  std::vector<unsigned char> out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<unsigned char>(first + i));
  return out;
}

template <std::size_t N>
std::vector<unsigned char> Vec(const unsigned char (&bytes)[N]) {
  return {bytes, bytes + N};
}

class DaKeyInfoTest : public datest::DaTest {
 protected:
  void SetUp() override {
    DaTest::SetUp();
    link_ = std::make_unique<PeerLink>();
    ASSERT_GE(link_->handle(), 0);
    std::memset(&info_, 0, sizeof info_);
    std::snprintf(info_.entity, sizeof info_.entity, "%s", "db2inst1");
  }
  void TearDown() override {
    link_.reset();
    DaTest::TearDown();
  }
  int Ask(int action) { return DaeGetKeyInfo(link_->handle(), buffer_.data(), &info_, action); }

  std::unique_ptr<PeerLink> link_;
  std::vector<char> buffer_ = std::vector<char>(kDaSmBufferSize);
  DaKeyInfo info_{};
};

TEST_F(DaKeyInfoTest, KeyByEntitySendsItsRequestAndFillsTheRecord) {
  const std::string reply = Msg({"1117", kKeyIdHex, kStoreIdHex, "3", "1", kKeyHex});
  link_->Send(reply);
  EXPECT_EQ(Ask(DA_KEY_BY_ENTITY), static_cast<int>(reply.size()));
  const std::string expected(
      "\x00\x00\x00\x1d"
      "1116\x00 0\x00 1\x00 3\x00 db2inst1\x00 \x00 \x00\x00",
      33);
  EXPECT_TRUE(tarn::test::BytesEqual(datest::Span(expected), datest::Span(link_->Written())));
  EXPECT_EQ(info_.keyType, 3);
  EXPECT_EQ(info_.keyFlag, 1);
  EXPECT_EQ(Vec(info_.keyId), Range(0x00, 16));
  EXPECT_EQ(Vec(info_.storeId), Range(0xF0, 16));
  EXPECT_EQ(Vec(info_.key), Range(0x20, 32));
}

TEST_F(DaKeyInfoTest, KeyByIdSendsBothIdsInHex) {
  std::memcpy(info_.keyId, Range(0x00, 16).data(), 16);
  std::memcpy(info_.storeId, Range(0xF0, 16).data(), 16);
  // Every item of the reply is optional: only the key comes back.
  link_->Send(Msg({"1117", "", "", "", "", kKeyHex}));
  EXPECT_GT(Ask(DA_KEY_BY_ID), 0);
  EXPECT_EQ(link_->Written(), Packet(Msg({"1116", "0", "2", "3", "", kKeyIdHex, kStoreIdHex})));
  EXPECT_EQ(Vec(info_.key), Range(0x20, 32));
  EXPECT_EQ(Vec(info_.keyId), Range(0x00, 16));
}

TEST_F(DaKeyInfoTest, RandomBytesGoIntoTheFirstSixteenBytesOfTheRecord) {
  const int wanted = 16;
  std::memcpy(reinterpret_cast<unsigned char*>(&info_) + kDaRandSize, &wanted, sizeof wanted);
  link_->Send(Msg({"1124", kKeyIdHex}));
  EXPECT_GT(Ask(DA_KEY_RANDBYTES), 0);
  const std::string expected(
      "\x00\x00\x00\x0d"
      "1123\x00 0\x00 16\x00\x00",
      17);
  EXPECT_TRUE(tarn::test::BytesEqual(datest::Span(expected), datest::Span(link_->Written())));
  std::vector<unsigned char> first(16);
  std::memcpy(first.data(), &info_, 16);
  EXPECT_EQ(first, Range(0x00, 16));
}

TEST_F(DaKeyInfoTest, RepliesOfTheWrongLengthFailAndLeaveTheRecordAlone) {
  const DaKeyInfo before = info_;
  const std::string shortHex = kKeyIdHex.substr(0, 30);
  for (const std::string& reply :
       {Msg({"1117", shortHex}), Msg({"1117", kKeyIdHex + "00"}), Msg({"1117", "zz" + shortHex}),
        Msg({"1117", kKeyIdHex, shortHex}), Msg({"1117", kKeyIdHex, kStoreIdHex, "x3"}),
        Msg({"1117", kKeyIdHex, kStoreIdHex, "3", "1", kKeyHex.substr(2)})}) {
    link_->Send(reply);
    EXPECT_EQ(Ask(DA_KEY_BY_ENTITY), -1) << reply.c_str() + 5;
    EXPECT_EQ(std::memcmp(&before, &info_, sizeof info_), 0);
  }
  link_->Send(Msg({"1124", shortHex}));
  EXPECT_EQ(Ask(DA_KEY_RANDBYTES), -1);
  link_->Send(Msg({"1124"}));
  EXPECT_EQ(Ask(DA_KEY_RANDBYTES), -1);
  EXPECT_EQ(std::memcmp(&before, &info_, sizeof info_), 0);
}

TEST_F(DaKeyInfoTest, RepliesOfTheWrongKindOrIdFail) {
  link_->Send(Msg({"1124", kKeyIdHex}));
  EXPECT_EQ(Ask(DA_KEY_BY_ENTITY), -1);
  link_->Send(Msg({"1117", kKeyIdHex}));
  EXPECT_EQ(Ask(DA_KEY_RANDBYTES), -1);
  link_->Send(Msg({"1116", kKeyIdHex}));
  EXPECT_EQ(Ask(DA_KEY_BY_ID), -1);
  // Not a message at all: no final NUL inside the packet.
  link_->Send(std::string("1117\0 ab", 8));
  EXPECT_EQ(Ask(DA_KEY_BY_ENTITY), -1);
}

TEST_F(DaKeyInfoTest, UnknownActionSendsNothing) {
  EXPECT_EQ(Ask(5), -1);
  EXPECT_EQ(link_->Written(), "");
}

TEST_F(DaKeyInfoTest, ClosedLinkFails) {
  link_->ClosePeer();
  EXPECT_EQ(Ask(DA_KEY_BY_ENTITY), -1);
}

}  // namespace

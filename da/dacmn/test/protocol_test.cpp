// Protocol negotiation with the media side: peers that do not negotiate,
// accepted and refused offers, the literal answer bytes and the bound on
// the number of offers.
#include <memory>
#include <string>

#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"

namespace {

using datest::Msg;
using datest::Packet;
using datest::PeerLink;

std::string Offer(std::string_view version, std::string_view flags) {
  return Msg({"267", "22", version, "600", "A.02.00", "ma-host", flags});
}

// The shared-memory description a local agent sends after the negotiation.
const std::string kDescription = Msg({"0", "3", "4660", "0", "65536", "8", "524288", "0"});

class DaProtocolTest : public datest::DaTest {
 protected:
  void SetUp() override {
    DaTest::SetUp();
    holder_ = std::make_unique<PeerLink>();
    ASSERT_GE(link().handle(), 0);
    ASSERT_EQ(IpcSetAsyncDynBuf(link().handle()), 0);
  }
  void TearDown() override {
    holder_.reset();
    DaTest::TearDown();
  }
  // Receives the first message as the callers do, then negotiates.
  int Check() {
    if (IpcReceiveData(link().handle(), nullptr, 0) <= 0) return -99;
    return DaProtocolCheck(link().handle(), nullptr);
  }
  std::string NextItem() {
    const char* item = StrParseNextL(IpcGetReceiveStrMsg(link().handle()));
    return item != nullptr ? item : "<none>";
  }
  std::unique_ptr<PeerLink> holder_;
  PeerLink& link() { return *holder_; }
};

TEST_F(DaProtocolTest, PeerWithoutNegotiationIsAcceptedAndItsMessageLeftToTheCaller) {
  link().Send(kDescription);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(link().Written(), "");
  EXPECT_EQ(NextItem(), "3");
  EXPECT_EQ(NextItem(), "4660");
}

TEST_F(DaProtocolTest, SupportedVersionIsAnsweredWithFlagsTwoAndTheNextMessageIsParsed) {
  link().Send(Offer("100", "2"));
  link().Send(kDescription);
  EXPECT_EQ(Check(), 0);
  // 267, type 27, version 100, agent 600, build "100", program "datest", flags 2.
  const std::string expected(
      "\x00\x00\x00\x23"
      "267\x00 27\x00 100\x00 600\x00 100\x00 datest\x00 2\x00\x00",
      39);
  EXPECT_TRUE(tarn::test::BytesEqual(datest::Span(expected), datest::Span(link().Written())));
  EXPECT_EQ(NextItem(), "3");
  EXPECT_EQ(NextItem(), "4660");
}

TEST_F(DaProtocolTest, UnsupportedVersionIsEchoedWithFlagsZeroAndTheNextOfferAccepted) {
  link().Send(Offer("99", "2"));
  link().Send(Offer("100", "2"));
  link().Send(kDescription);
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(link().Written(), Packet(Msg({"267", "27", "99", "600", "100", "datest", "0"})) +
                                  Packet(Msg({"267", "27", "100", "600", "100", "datest", "2"})));
  EXPECT_EQ(NextItem(), "3");
}

TEST_F(DaProtocolTest, OfferWithoutTheNegotiationFlagIsRefusedUnanswered) {
  link().Send(Offer("100", "1"));
  EXPECT_EQ(Check(), -1);
  EXPECT_EQ(link().Written(), "");
}

TEST_F(DaProtocolTest, MalformedOfferFails) {
  link().Send(Msg({"267", "22", "100", "600"}));
  EXPECT_EQ(Check(), -1);
  link().Send(Msg({"267", "22", "x100", "600", "A", "ma", "2"}));
  EXPECT_EQ(Check(), -1);
  EXPECT_EQ(link().Written(), "");
}

TEST_F(DaProtocolTest, PeerThatLeavesTheNegotiationOrCloses) {
  link().Send(Offer("99", "2"));
  link().Send(kDescription);
  EXPECT_EQ(Check(), -1);

  link().Send(Offer("100", "2"));
  link().ClosePeer();
  EXPECT_EQ(Check(), -1);
}

TEST_F(DaProtocolTest, PeerThatNeverOffersASupportedVersionIsGivenUpAfterTheBound) {
  for (int i = 0; i <= kDaProtocolMaxRounds; ++i) link().Send(Offer("99", "2"));
  EXPECT_EQ(Check(), -1);
  std::string answers;
  for (int i = 0; i < kDaProtocolMaxRounds; ++i)
    answers += Packet(Msg({"267", "27", "99", "600", "100", "datest", "0"}));
  EXPECT_EQ(link().Written(), answers);
}

TEST_F(DaProtocolTest, HandleWithoutMessageBuffersFails) {
  EXPECT_EQ(DaProtocolCheck(63, nullptr), -1);
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(DaProtocolTest, FirstMessageInACallersBuffer) {
  std::string first = Offer("100", "2");
  link().Send(kDescription);
  EXPECT_EQ(DaProtocolCheck(link().handle(), first.data()), 0);
  EXPECT_EQ(NextItem(), "3");
}

}  // namespace

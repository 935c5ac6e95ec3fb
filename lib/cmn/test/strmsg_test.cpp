// Message buffers: the literal bytes of the text form, the size classes at
// their edges, buffer ownership, typed items, and parsing of truncated or
// unterminated peer texts.
#include "cmn/strmsg.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/strmsg_test.cpp");

namespace {

using tarn::test::Bytes;
using tarn::test::BytesEqual;

std::span<const std::uint8_t> Span(const char* text, std::size_t size) {
  return {reinterpret_cast<const std::uint8_t*>(text), size};
}

// A literal message text: every byte of the literal but the compiler's NUL.
template <std::size_t N>
constexpr std::string_view Wire(const char (&text)[N]) {
  return {text, N - 1};
}

// The bytes of the record's message: length + 1.
std::span<const std::uint8_t> Content(const StrMsg& msg) {
  return Span(msg.data, msg.length + 1);
}

// Keeps the process-wide sizing as the test found it.
class StrMsgTest : public ::testing::Test {
 protected:
  void SetUp() override { StrMsgInitL(&msg_); }
  void TearDown() override {
    StrMsgFreeL(&msg_);
    dynBufMax = kDynBufMaxDefault;
    dynBufOpt = kDynBufOptDefault;
    dynBufOversize = kDynBufOversizeDefault;
  }
  StrMsg msg_;
};

// A copy of `bytes` in heap memory of exactly that size, so that a read past
// its end is caught by the address sanitizer.
std::unique_ptr<char[]> Exact(std::string_view bytes) {
  auto copy = std::make_unique<char[]>(bytes.size());
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

// Lands `bytes` in the record as a received packet would.
char* Receive(StrMsg* msg, std::string_view bytes) {
  if (DynBufChkSizeL(msg, static_cast<int>(bytes.size()), DYNBUF_RECEIVE) < 0) return nullptr;
  char* target = StrMsgGetRBufL(msg);
  std::memcpy(target, bytes.data(), bytes.size());
  return target;
}

constexpr std::string_view kAbc = Wire("15\0 abc\0\0");

TEST_F(StrMsgTest, CodeAndOneItemIsTheLiteralWireText) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 15, 0), 0);
  ASSERT_EQ(StrMsgAppendL(&msg_, "abc"), 0);
  EXPECT_TRUE(BytesEqual(Bytes(kAbc), Content(msg_)));
  EXPECT_EQ(msg_.length, 8u);
  EXPECT_EQ(StrMsgTSize(msg_.data), 9);
  EXPECT_EQ(StrMsgSizeBufL(&msg_), 9);
}

TEST_F(StrMsgTest, EmptyItemsAndBlanksInsideItemsKeepTheirPlace) {
  ASSERT_EQ(StrMsgMakeL(&msg_, nullptr, 0, 7, "", "x y", nullptr), 0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("7\0 \0 x y\0\0")), Content(msg_)));
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, -3, 0), 0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("-3\0\0")), Content(msg_)));
}

TEST_F(StrMsgTest, CodeOnlyMessageParsesToNoItems) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 123, 0), 0);
  EXPECT_EQ(StrMsgSizeBufL(&msg_), 5);
  EXPECT_EQ(StrParseStartL(&msg_, nullptr), 123);
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
}

TEST_F(StrMsgTest, TypedItemsHaveTheirTextForms) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  const std::uint64_t big = (std::uint64_t{1} << 32) + 5;
  ASSERT_EQ(StrMsgFAppendL(&msg_, "%d%u%l%O%f%s", -5, 4000000000u, 12345678901UL, big, 1.5, "t"),
            0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("1\0 -5\0 4000000000\0 12345678901\0 5 1\0 1.500000\0 t\0\0")),
                         Content(msg_)));
}

TEST_F(StrMsgTest, NullTextItemIsEmptyAndTheRestStillFollows) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 2, 0), 0);
  ASSERT_EQ(StrMsgFAppendL(&msg_, "%s%d%s", static_cast<const char*>(nullptr), 7, "end"), 0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("2\0 \0 7\0 end\0\0")), Content(msg_)));
}

TEST_F(StrMsgTest, FailedTypedOrListAppendLeavesTheMessageAsItWas) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  ASSERT_EQ(StrMsgAppendL(&msg_, "keep"), 0);
  const std::vector<std::uint8_t> before(Content(msg_).begin(), Content(msg_).end());

  EXPECT_EQ(StrMsgFAppendL(&msg_, "%d%x", 5, 6), -1);  // unknown letter
  EXPECT_TRUE(BytesEqual(before, Content(msg_)));

  // A borrowed buffer that fills up half way through the list.
  char local[24];
  StrMsg small;
  ASSERT_EQ(StrMsgLocalL(&small, local, sizeof local), 0);
  ASSERT_EQ(StrMsgAppendL(&small, "9"), 0);
  EXPECT_EQ(StrMsgNAppendL(&small, "abcdef", "ghijklmnopqrstuvwxyz", nullptr), -1);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("9\0\0")), Content(small)));
  EXPECT_EQ(StrMsgFAppendL(&small, "%s%s", "abcdef", "ghijklmnopqrstuvwxyz"), -1);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("9\0\0")), Content(small)));
}

TEST_F(StrMsgTest, TAppendKeepsWhatFitBeforeTheFailure) {
  StrMsg* global = StrMsgGetGlobal();
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(global->flags & STRMSG_GLOBAL, STRMSG_GLOBAL);
  char local[16];
  ASSERT_EQ(StrMsgStartEx(local, sizeof local, 4, 1), 0);
  EXPECT_EQ(StrMsgTAppend("ab", "0123456789", nullptr), -1);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("4\0 ab\0\0")), Content(*global)));
  StrMsgFreeL(global);
  StrMsgDelete(&global);  // the process-wide record is never deleted
  EXPECT_NE(global, nullptr);
  StrMsgInitExL(global, nullptr, 0, 0);
  StrMsgFreeL(global);
}

TEST_F(StrMsgTest, CutDropsEverythingAppendedSinceTheMark) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 15, 0), 0);
  ASSERT_EQ(StrMsgAppendL(&msg_, "abc"), 0);
  StrMsgMarkL(&msg_);
  ASSERT_EQ(StrMsgNAppendL(&msg_, "x", "yz", nullptr), 0);
  StrMsgCutL(&msg_);
  EXPECT_TRUE(BytesEqual(Bytes(kAbc), Content(msg_)));
  ASSERT_EQ(StrMsgAppendL(&msg_, "d"), 0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("15\0 abc\0 d\0\0")), Content(msg_)));
}

TEST_F(StrMsgTest, SizeClassesAtTheirEdges) {
  EXPECT_EQ(DynBufOptimizeSize(-1), -1);
  EXPECT_EQ(DynBufOptimizeSize(0), 2016);
  EXPECT_EQ(DynBufOptimizeSize(2016), 2016);
  EXPECT_EQ(DynBufOptimizeSize(2017), 16256);
  EXPECT_EQ(DynBufOptimizeSize(16256), 16256);
  EXPECT_EQ(DynBufOptimizeSize(16257), 102400);
  EXPECT_EQ(DynBufOptimizeSize(102400), 102400);
  EXPECT_EQ(DynBufOptimizeSize(102401), 204800);
  EXPECT_EQ(DynBufOptimizeSize(204800), 204800);
  EXPECT_EQ(DynBufOptimizeSize(204801), 262144);
  EXPECT_EQ(DynBufOptimizeSize(262145), 327680);
  EXPECT_EQ(DynBufOptimizeSize(16777215), 16777215);  // the round-up stops at the maximum
  EXPECT_EQ(DynBufOptimizeSize(16777216), -1);

  dynBufMax = 300000;
  EXPECT_EQ(DynBufOptimizeSize(299999), 300000);
  EXPECT_EQ(DynBufOptimizeSize(300001), -1);

  dynBufOpt = 1000;
  EXPECT_EQ(DynBufOptimizeSize(0), 1000);
  EXPECT_EQ(DynBufOptimizeSize(1000), 1000);
  EXPECT_EQ(DynBufOptimizeSize(1001), 2000);
  EXPECT_EQ(DynBufOptimizeSize(300001), -1);
}

TEST_F(StrMsgTest, ConfigureReplacesValuesOutsideTheirRange) {
  setenv("VEK_DYNBUFMAX", "102399", 1);
  setenv("VEK_DYNBUFOPT", "512", 1);
  setenv("VEK_DYNBUFOVERSIZE", "17", 1);
  dynBufOversize = 4;
  StrMsgConfigure();
  EXPECT_EQ(dynBufMax, kDynBufMaxDefault);
  EXPECT_EQ(dynBufOpt, 512);
  EXPECT_EQ(dynBufOversize, kDynBufOversizeDefault);
  setenv("VEK_DYNBUFMAX", "268435455", 1);
  unsetenv("VEK_DYNBUFOPT");
  unsetenv("VEK_DYNBUFOVERSIZE");
  dynBufOpt = 0;  // out of range even without the environment
  StrMsgConfigure();
  EXPECT_EQ(dynBufMax, 268435455);
  EXPECT_EQ(dynBufOpt, kDynBufOptDefault);
  unsetenv("VEK_DYNBUFMAX");
}

TEST_F(StrMsgTest, HundredKilobyteLimitRefusesTheLimitItself) {
  ASSERT_EQ(StrMsgInitExL(&msg_, nullptr, 0, 1), 0);
  EXPECT_EQ(DynBufChkSizeL(&msg_, 102400, 0), -1);
  EXPECT_EQ(DynBufChkSizeL(&msg_, 102399, 0), 102400);
  // The receive side is governed by dynBufMax alone.
  msg_.flags |= STRMSG_RECEIVE;
  EXPECT_EQ(DynBufChkSizeL(&msg_, 150000, DYNBUF_RECEIVE), 204800);
  EXPECT_EQ(DynBufChkSizeL(&msg_, kDynBufMaxDefault + 1, DYNBUF_RECEIVE), -1);
}

TEST_F(StrMsgTest, ReceiveSideIsOversized) {
  dynBufOversize = 2;
  msg_.flags |= STRMSG_RECEIVE;
  EXPECT_EQ(DynBufChkSizeL(&msg_, 3000, DYNBUF_RECEIVE), 16256);
  EXPECT_EQ(msg_.rcapacity, 16256u);
  EXPECT_EQ(msg_.data, nullptr);
}

TEST_F(StrMsgTest, ReceiveBufferTakesEachPacketsClassUnlessItsContentIsKept) {
  msg_.flags |= STRMSG_RECEIVE;
  ASSERT_EQ(DynBufChkSizeL(&msg_, 150000, DYNBUF_RECEIVE), 204800);
  // A small packet after a large one gets a small block again.
  ASSERT_EQ(DynBufChkSizeL(&msg_, 100, DYNBUF_RECEIVE), 2016);
  EXPECT_EQ(msg_.rcapacity, 2016u);
  // With its content kept the buffer only grows, and what it held stays.
  std::memcpy(msg_.rbuf, "42", 3);
  EXPECT_EQ(DynBufChkSizeL(&msg_, 5000, DYNBUF_RECEIVE | DYNBUF_KEEP), 16256);
  EXPECT_STREQ(msg_.rbuf, "42");
  EXPECT_EQ(DynBufChkSizeL(&msg_, 100, DYNBUF_RECEIVE | DYNBUF_KEEP), 16256);
  EXPECT_EQ(msg_.data, nullptr) << "the data buffer is not touched";

  // A borrowed receive buffer is let go, never written: an owned one takes the packet.
  StrMsgParseDoneL(&msg_);
  char borrowed[8] = {'7', '\0', '\0'};
  ASSERT_EQ(StrParseStartL(&msg_, borrowed), 7);
  ASSERT_EQ(msg_.rbuf, borrowed);
  EXPECT_EQ(DynBufChkSizeL(&msg_, 4, DYNBUF_RECEIVE), 2016);
  EXPECT_NE(msg_.rbuf, borrowed);
  EXPECT_NE(msg_.flags & STRMSG_ROWNED, 0u);
  EXPECT_EQ(std::string_view(borrowed, 3), Wire("7\0\0"));
  EXPECT_EQ(StrParseNextL(&msg_), nullptr) << "the parse of the let-go text is over";
}

TEST_F(StrMsgTest, RestartAfterAHugeMessageGivesTheBufferBack) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  EXPECT_EQ(msg_.capacity, 2016u);
  ASSERT_EQ(StrMsgAppendL(&msg_, std::string(20000, 'a').c_str()), 0);
  EXPECT_EQ(msg_.capacity, 102400u);
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 2, 0), 0);
  EXPECT_EQ(msg_.capacity, 102400u);  // up to 100 KB a buffer is reused
  ASSERT_EQ(StrMsgAppendL(&msg_, std::string(150000, 'b').c_str()), 0);
  EXPECT_EQ(msg_.capacity, 204800u);
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 3, 0), 0);
  EXPECT_EQ(msg_.capacity, 2016u);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("3\0\0")), Content(msg_)));
}

TEST_F(StrMsgTest, BorrowedBufferNeverGrows) {
  char local[8];
  ASSERT_EQ(StrMsgStartExL(&msg_, local, sizeof local, 1, 0), 0);
  EXPECT_EQ(StrMsgAppendL(&msg_, "ab"), -1);  // needs 2 + 2 + 4 bytes, not fewer than 8
  EXPECT_EQ(StrMsgAppendL(&msg_, "a"), 0);
  EXPECT_EQ(msg_.data, local);
  EXPECT_EQ(StrMsgInitExL(&msg_, local, 2, 0), -1);
}

TEST_F(StrMsgTest, BouncedMessageIsSentAsReceivedAndTakesNoItems) {
  msg_.flags |= STRMSG_RECEIVE;
  ASSERT_NE(Receive(&msg_, kAbc), nullptr);
  EXPECT_EQ(StrMsgPrepareForBounceL(&msg_, nullptr), 8);
  EXPECT_EQ(msg_.data, msg_.rbuf);
  EXPECT_EQ(msg_.capacity, 0u);
  EXPECT_TRUE(BytesEqual(Bytes(kAbc), Content(msg_)));
  EXPECT_EQ(StrMsgAppendL(&msg_, "x"), -1);
  // Giving the receive buffer back also ends the borrowed message.
  StrMsgParseDoneL(&msg_);
  EXPECT_EQ(msg_.data, nullptr);
  EXPECT_EQ(msg_.length, 0u);
}

TEST_F(StrMsgTest, ConcurrentAppendBuildsWhileTheReceivedMessageIsParsed) {
  ASSERT_NE(Receive(&msg_, Wire("9\0 one\0 two\0\0")), nullptr);
  EXPECT_EQ(msg_.rbuf, nullptr);  // without flag 32 the data buffer receives
  EXPECT_EQ(StrParseStartL(&msg_, nullptr), 9);
  EXPECT_STREQ(StrParseNextL(&msg_), "one");
  StrMsgPrepareForConcurrentAppendL(&msg_);
  ASSERT_NE(msg_.rbuf, nullptr);
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 10, 0), 0);
  ASSERT_EQ(StrMsgAppendL(&msg_, "reply"), 0);
  EXPECT_NE(msg_.data, msg_.rbuf);
  EXPECT_STREQ(StrParseNextL(&msg_), "two");
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
  StrMsgParseDoneL(&msg_);
  EXPECT_EQ(msg_.rbuf, nullptr);
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("10\0 reply\0\0")), Content(msg_)));
}

TEST_F(StrMsgTest, ParseStartReadsTheLeadingCode) {
  char zero[] = {'0', 0, 0};
  EXPECT_EQ(StrParseStartL(&msg_, zero), 0);
  char letters[] = {'x', 0, 0};
  EXPECT_EQ(StrParseStartL(&msg_, letters), -1);
  EXPECT_EQ(msg_.cursor, nullptr);
  char minusZero[] = {'-', '0', 0, 0};
  EXPECT_EQ(StrParseStartL(&msg_, minusZero), -1);
  char huge[] = {'9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', 0, 0};
  EXPECT_EQ(StrParseStartL(&msg_, huge), -1);
  char trailing[] = {'4', '2', 'z', 0, ' ', 'a', 0, 0};
  EXPECT_EQ(StrParseStartL(&msg_, trailing), 42);
  EXPECT_STREQ(StrParseNextL(&msg_), "a");
}

TEST_F(StrMsgTest, MarkedUtf16MessageIsParsedAsNarrowText) {
  // FEFF "1" NUL " a" NUL NUL as little-endian units.
  constexpr std::string_view wide = Wire(
      "\xFF\xFE"
      "1\0\0\0 \0a\0\0\0\0\0");
  auto text = Exact(wide);
  ASSERT_EQ(StrParseStartNL(&msg_, text.get(), wide.size()), 1);
  EXPECT_STREQ(StrParseNextL(&msg_), "a");
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
  EXPECT_NE(msg_.rbuf, text.get());  // the borrowed text itself is left alone
  StrMsgParseDoneL(&msg_);

  msg_.flags |= STRMSG_RECEIVE;
  ASSERT_NE(Receive(&msg_, wide), nullptr);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 1);
  EXPECT_STREQ(StrParseNextL(&msg_), "a");
  StrMsgFreeL(&msg_);
  // However it is cut, nothing behind the bytes received is read.
  for (std::size_t cut = 0; cut < wide.size(); ++cut) {
    auto part = Exact(wide.substr(0, cut));
    const int code = StrParseStartNL(&msg_, part.get(), cut);
    EXPECT_TRUE(code == -1 || code == 1) << "cut " << cut;
    StrMsgFreeL(&msg_);
    StrMsgInitL(&msg_);
  }
}

TEST_F(StrMsgTest, SizeWalkNeedsTheFinalNulInsideTheLimit) {
  for (std::size_t limit = 0; limit < kAbc.size(); ++limit) {
    auto text = Exact(kAbc.substr(0, limit));
    EXPECT_EQ(StrMsgTSizeN(text.get(), limit), -1) << "limit " << limit;
  }
  auto text = Exact(kAbc);
  EXPECT_EQ(StrMsgTSizeN(text.get(), kAbc.size()), 9);
  EXPECT_EQ(StrMsgTSizeN(nullptr, 5), 0);
  EXPECT_EQ(StrMsgTSize(nullptr), 0);
}

TEST_F(StrMsgTest, TruncatedPeerTextIsRefusedNotOverrun) {
  const std::string_view full{"3\0 alpha\0 beta\0\0", 16};
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    auto text = Exact(full.substr(0, cut));
    EXPECT_EQ(StrParseStartNL(&msg_, text.get(), cut), -1) << "cut " << cut;
    EXPECT_EQ(StrParseNextL(&msg_), nullptr);
    StrMsgParseDoneL(&msg_);
  }
  auto text = Exact(full);
  ASSERT_EQ(StrParseStartNL(&msg_, text.get(), full.size()), 3);
  EXPECT_STREQ(StrParseNextL(&msg_), "alpha");
  EXPECT_STREQ(StrParseNextL(&msg_), "beta");
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
  StrMsgParseDoneL(&msg_);
}

TEST_F(StrMsgTest, ReceivedPacketWithoutItsFinalNulIsRefused) {
  for (bool intoReceiveBuffer : {false, true}) {
    StrMsgFreeL(&msg_);
    msg_.flags = intoReceiveBuffer ? std::uint32_t{STRMSG_RECEIVE} : 0u;
    // A peer's packet of 2016 bytes (a whole size class) with no NUL at all.
    ASSERT_NE(Receive(&msg_, std::string(2016, '7')), nullptr);
    EXPECT_EQ(StrParseStartL(&msg_, nullptr), -1);
    EXPECT_EQ(StrMsgSizeRBufL(&msg_), -1);
    EXPECT_EQ(StrMsgPrepareForBounceL(&msg_, nullptr), -1);
    // A packet cut after the last item's NUL.
    ASSERT_NE(Receive(&msg_, Wire("15\0 abc\0")), nullptr);
    EXPECT_EQ(StrParseStartL(&msg_, nullptr), -1);
    // Named explicitly, the receive buffer is still known to end there.
    EXPECT_EQ(StrParseStartL(&msg_, StrMsgGetRBufL(&msg_)), -1);
    ASSERT_NE(Receive(&msg_, kAbc), nullptr);
    EXPECT_EQ(StrParseStartL(&msg_, nullptr), 15);
    EXPECT_STREQ(StrParseNextL(&msg_), "abc");
  }
}

TEST_F(StrMsgTest, DetachedReceiveBufferStaysTerminated) {
  msg_.flags |= STRMSG_RECEIVE;
  const std::string packet(2016, 'q');
  ASSERT_NE(Receive(&msg_, packet), nullptr);
  char* text = StrMsgDetachRBufL(&msg_);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(msg_.rbuf, nullptr);
  // Whoever parses the detached text without its size stops at the packet's end.
  EXPECT_EQ(StrMsgTSize(text), 2018);
  StrMsg other;
  StrMsgInitL(&other);
  EXPECT_EQ(StrParseStartL(&other, text), -1);
  safe_free(text, TARN_HERE);
}

TEST_F(StrMsgTest, NewTextInTheParsedBufferEndsTheOldParse) {
  msg_.flags |= STRMSG_RECEIVE;
  ASSERT_NE(Receive(&msg_, Wire("1\0 a\0 b\0\0")), nullptr);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 1);
  ASSERT_NE(Receive(&msg_, Wire("2\0\0")), nullptr);
  EXPECT_EQ(StrParseNextL(&msg_), nullptr);
}

TEST_F(StrMsgTest, TypedParseChecksEveryItem) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 5, 0), 0);
  void* pointer = &msg_;
  const std::uint64_t big = (std::uint64_t{7} << 32) + 9;
  ASSERT_EQ(
      StrMsgFAppendL(&msg_, "%s%d%u%l%O%f%p", "name", -42, 4000000000u, 77UL, big, 2.25, pointer),
      0);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 5);
  char name[5];
  int d = 0;
  unsigned u = 0;
  unsigned long l = 0;
  std::uint64_t o = 0;
  double f = 0;
  void* p = nullptr;
  ASSERT_EQ(StrParseMessageFL(&msg_, "%s%d%u%l%O%f%p", name, sizeof name, &d, &u, &l, &o, &f, &p),
            0);
  EXPECT_STREQ(name, "name");
  EXPECT_EQ(d, -42);
  EXPECT_EQ(u, 4000000000u);
  EXPECT_EQ(l, 77UL);
  EXPECT_EQ(o, big);
  EXPECT_EQ(f, 2.25);
  EXPECT_EQ(p, pointer);
}

TEST_F(StrMsgTest, TypedParseRefusesWhatDoesNotFit) {
  ASSERT_EQ(StrMsgMakeL(&msg_, nullptr, 0, 5, "name", "99999999999", "-1", "5", "x", nullptr), 0);
  auto restart = [&] { ASSERT_EQ(StrParseStartL(&msg_, nullptr), 5); };
  char small[4];
  restart();
  EXPECT_EQ(StrParseMessageFL(&msg_, "%s", small, sizeof small), -1);  // "name" needs 5 bytes
  int d = 0;
  restart();
  char fits[5];
  EXPECT_EQ(StrParseMessageFL(&msg_, "%s%d", fits, sizeof fits, &d), -1);  // out of int range
  EXPECT_STREQ(fits, "name");
  unsigned u = 0;
  restart();
  StrParseNextL(&msg_);
  StrParseNextL(&msg_);
  EXPECT_EQ(StrParseMessageFL(&msg_, "%u", &u), 0);  // as "%u" reads it
  EXPECT_EQ(u, 4294967295u);
  std::uint64_t o = 0;
  EXPECT_EQ(StrParseMessageFL(&msg_, "%O", &o), -1);  // one word only
  double f = 0;
  EXPECT_EQ(StrParseMessageFL(&msg_, "%f", &f), -1);
  EXPECT_EQ(StrParseMessageFL(&msg_, "%d", &d), -1);  // no item left
  restart();
  EXPECT_EQ(StrParseMessageFL(&msg_, "s", small, sizeof small), -1);  // no "%"
  restart();
  EXPECT_EQ(StrParseMessageFL(&msg_, "%q", &d), -1);
  restart();
  EXPECT_EQ(StrParseMessageFL(&msg_, "", &d), 0);
}

// Puts a numeric locale in force for its lifetime and the previous one back,
// whether the test passes or not.
class NumericLocale {
 public:
  explicit NumericLocale(const char* name) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    saved_ = previous != nullptr ? previous : "C";
    active_ = std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  ~NumericLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
  NumericLocale(const NumericLocale&) = delete;
  NumericLocale& operator=(const NumericLocale&) = delete;
  bool active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

// scripts/deps.sh generates de_DE.UTF-8, so the test runs wherever the suite runs.
TEST_F(StrMsgTest, DoubleItemsUseAPointWhateverTheLocale) {
  NumericLocale comma("de_DE.UTF-8");
  ASSERT_TRUE(comma.active()) << "locale de_DE.UTF-8 missing: run scripts/deps.sh";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f", 0.5);
  ASSERT_STREQ(text, "0,5") << "the locale does not use a decimal comma";

  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  ASSERT_EQ(StrMsgFAppendL(&msg_, "%f", 0.5), 0);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 1);
  double f = 0;
  EXPECT_EQ(StrParseMessageFL(&msg_, "%f", &f), 0);
  EXPECT_TRUE(BytesEqual(Bytes(Wire("1\0 0.500000\0\0")), Content(msg_)));
  EXPECT_EQ(f, 0.5);
}

// Counts the occurrences of `what` in `text`.
int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(StrMsgTest, TraceShowsFramedItemsAndABoundedDump) {
  tarn::test::TempRoot root;
  CmnPathsInit(root.path().c_str());
  const std::string trace = cmntest::Traced("40,340", [&] {
    ASSERT_EQ(StrMsgMakeL(&msg_, nullptr, 0, 15, "abc", "", nullptr), 0);
    StrParseMessageToDebugsL(&msg_, nullptr, 40, "title", "> ", 1);
    StrParseMessageToDebugsL(&msg_, nullptr, 41, "unseen", "", 1);  // level not active
    char word[] = {'x', 0, 0};
    StrParseMessageToDebugsL(nullptr, word, 40, "t", "", 0);
    StrMsg none;
    StrMsgInitL(&none);
    StrParseMessageToDebugsL(&none, nullptr, 40, "t", "", 1);
    StrMsg big;
    StrMsgInitL(&big);
    ASSERT_EQ(StrMsgMakeL(&big, nullptr, 0, 2, std::string(200, 'z').c_str(), nullptr), 0);
    StrParseMessageToDebugsL(&big, nullptr, 40, "big", "", 0);
    StrMsgFreeL(&big);
  });
  CmnPathsInit(std::getenv("TARN_ROOT"));
  ASSERT_FALSE(trace.empty());
  EXPECT_NE(trace.find("] +===== START [15] title\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("] > abc\n"), std::string::npos);
  EXPECT_NE(trace.find("] > \n"), std::string::npos);  // the empty item
  EXPECT_NE(trace.find("] +===== END\n"), std::string::npos);
  EXPECT_EQ(trace.find("unseen"), std::string::npos);
  EXPECT_NE(trace.find("] INVALID MESSAGE\n"), std::string::npos);
  EXPECT_NE(trace.find("] StrParseMessageToDebugs: strMsg==NULL\n"), std::string::npos);
  EXPECT_EQ(Count(trace, "BINARY MESSAGE DUMP:"), 3);
  EXPECT_NE(trace.find("31 35 00 20 61 62 63 00"), std::string::npos);
  EXPECT_EQ(Count(trace, "Note: Message size exceeds 80 bytes => output limited."), 1);
  // 80 bytes of the long message, eight a line.
  EXPECT_EQ(Count(trace, "7A 7A 7A 7A 7A 7A 7A 7A"), 9);
}

TEST_F(StrMsgTest, NNextPutsTheCursorBackWhenAnItemIsMissing) {
  ASSERT_EQ(StrMsgMakeL(&msg_, nullptr, 0, 8, "a", "b", nullptr), 0);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 8);
  char* first = nullptr;
  char* second = nullptr;
  char* third = nullptr;
  EXPECT_EQ(StrParseNNextL(&msg_, 3, &first, &second, &third), -1);
  EXPECT_EQ(StrParseNNextL(&msg_, 2, &first, &second), 0);
  EXPECT_STREQ(first, "a");
  EXPECT_STREQ(second, "b");

  char* items[2];
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 8);
  EXPECT_EQ(StrParseMessageL(&msg_, 0, items), -1);
  EXPECT_EQ(StrParseMessageL(&msg_, 2, items), 0);
  ASSERT_EQ(StrParseStartL(&msg_, nullptr), 8);
  char* three[3];
  EXPECT_EQ(StrParseMessageL(&msg_, 3, three), -1);
}

TEST_F(StrMsgTest, UseAdoptsOnlyACompleteMessage) {
  char text[] = {'1', '2', 0, ' ', 'x', 0, 0};
  EXPECT_EQ(StrMsgUseL(&msg_, text, sizeof text), 12);
  EXPECT_EQ(msg_.data, text);
  EXPECT_EQ(msg_.length, 6u);
  char open[] = {'1', '2', 0, ' ', 'x', 0, 0};
  EXPECT_EQ(StrMsgUseL(&msg_, open, sizeof open - 1), -1);
  EXPECT_EQ(msg_.data, text);
  char word[] = {'h', 'i', 0, 0};
  EXPECT_EQ(StrMsgUseL(&msg_, word, sizeof word), -1);
  EXPECT_EQ(msg_.data, word);
}

TEST_F(StrMsgTest, AttachAndDetachHandOwnershipOver) {
  char* heap = static_cast<char*>(safe_malloc(32, TARN_HERE));
  std::memcpy(heap, kAbc.data(), kAbc.size());
  EXPECT_EQ(StrMsgAttachBufL(&msg_, heap, 32, 0, STRMSG_ATTACH_OWN | STRMSG_ATTACH_SCAN), 8);
  EXPECT_EQ(msg_.flags & (STRMSG_OWNED | STRMSG_LIMIT100K), STRMSG_OWNED);
  ASSERT_EQ(StrMsgAppendL(&msg_, "d"), 0);
  EXPECT_EQ(StrMsgSizeBufL(&msg_), 12);
  // A new owned buffer frees the old one (the sanitizer sees any leak).
  char* second = static_cast<char*>(safe_malloc(8, TARN_HERE));
  std::memcpy(second, "7\0\0", 3);
  EXPECT_EQ(StrMsgAttachBufL(&msg_, second, 8, 1, STRMSG_ATTACH_OWN | STRMSG_ATTACH_LIMIT), 1);
  EXPECT_NE(msg_.flags & STRMSG_LIMIT100K, 0u);
  EXPECT_EQ(StrMsgAttachBufL(&msg_, second, 8, 8, STRMSG_ATTACH_OWN), -1);  // final NUL outside
  char* taken = StrMsgDetachBufL(&msg_);
  EXPECT_EQ(taken, second);
  EXPECT_EQ(msg_.data, nullptr);
  EXPECT_EQ(StrMsgDetachBufL(&msg_), nullptr);
  safe_free(taken, TARN_HERE);

  char local[16];
  StrMsgAttachBufL(&msg_, local, sizeof local, 0, 0);
  EXPECT_EQ(StrMsgDetachBufL(&msg_), nullptr);  // borrowed memory is not handed over
  EXPECT_EQ(StrMsgDetachRBufL(&msg_), nullptr);
}

TEST_F(StrMsgTest, ReleaseKeepsABufferOfTheWantedClass) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  char* buffer = msg_.data;
  StrMsgReleaseBufferL(&msg_, 100);
  EXPECT_EQ(msg_.data, buffer);
  ASSERT_EQ(StrMsgAppendL(&msg_, std::string(3000, 'z').c_str()), 0);
  StrMsgReleaseBufferL(&msg_, 100);
  EXPECT_EQ(msg_.data, nullptr);
  EXPECT_EQ(msg_.capacity, 0u);
  EXPECT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);  // still owning: a new buffer
  StrMsgReleaseBufferL(&msg_, 0);
  EXPECT_EQ(msg_.data, nullptr);
}

TEST_F(StrMsgTest, CopyNewTakesAFreshOwnedCopy) {
  auto text = Exact(kAbc);
  ASSERT_EQ(StrMsgCopyNew(text.get(), 0, &msg_), 0);
  EXPECT_NE(msg_.data, text.get());
  EXPECT_NE(msg_.flags & STRMSG_OWNED, 0u);
  EXPECT_TRUE(BytesEqual(Bytes(kAbc), Content(msg_)));
  EXPECT_EQ(StrMsgCopyNew(msg_.data, 0, &msg_), -1);
  EXPECT_EQ(StrMsgCopyNew(msg_.data + 4, 0, &msg_), -1);
  char out[9];
  EXPECT_EQ(StrMsgCopy(out, msg_.data), 9);
  EXPECT_TRUE(BytesEqual(Bytes(kAbc), Span(out, sizeof out)));
}

TEST_F(StrMsgTest, AppendOfAnItemOfTheSameMessageSurvivesGrowth) {
  ASSERT_EQ(StrMsgStartExL(&msg_, nullptr, 0, 1, 0), 0);
  const std::string big(2000, 'k');
  ASSERT_EQ(StrMsgAppendL(&msg_, big.c_str()), 0);
  ASSERT_EQ(StrMsgAppendL(&msg_, msg_.data + 3), 0);  // needs a larger buffer
  EXPECT_EQ(msg_.capacity, 16256u);
  EXPECT_EQ(StrParseStartL(&msg_, nullptr), 1);
  EXPECT_EQ(StrParseNextL(&msg_), big);
  EXPECT_EQ(StrParseNextL(&msg_), big);
}

TEST_F(StrMsgTest, HeapRecordIsDeletedWithItsBuffers) {
  StrMsg* msg = StrMsgNew();
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->flags, STRMSG_ALLOCATED);
  ASSERT_EQ(StrMsgStartExL(msg, nullptr, 0, 1, 0), 0);
  msg->flags |= STRMSG_RECEIVE;
  ASSERT_NE(Receive(msg, kAbc), nullptr);
  StrMsgDelete(&msg);
  EXPECT_EQ(msg, nullptr);
}

}  // namespace

namespace {

// An owned buffer attached by the caller has no spare bytes behind it: a
// packet that fills it must still get its two closing NULs.
TEST(StrMsgReceive, AttachedBufferFullToTheEdgeStillGetsItsNuls) {
  StrMsg msg;
  StrMsgInitL(&msg);
  constexpr int kCapacity = 2016;
  auto* own = static_cast<char*>(safe_malloc(kCapacity, TARN_HERE));
  ASSERT_NE(own, nullptr);
  ASSERT_GE(StrMsgAttachBufL(&msg, own, kCapacity, 0, STRMSG_ATTACH_OWN), 0);
  for (const int packet : {kCapacity, kCapacity - 1}) {
    const int capacity = DynBufChkSizeL(&msg, packet, DYNBUF_RECEIVE);
    ASSERT_GE(capacity, packet);
    const bool spareBehind = (msg.flags & STRMSG_DATA_SPARE) != 0;
    EXPECT_TRUE(spareBehind || capacity >= packet + 2) << "packet " << packet;
  }
  StrMsgFreeL(&msg);
}

}  // namespace

// Faults the stand-in cell server injects per request id on the fixture's
// word: errors, delays, broken packets, wrong ids, missing items, port 0.
#include <gtest/gtest.h>

#include <chrono>

#include "cellserver/testing/cellserver_standin.h"
#include "raw_client.h"

using cstest::Client;
using cstest::ErrorOf;
using cstest::IsSuccess;
using cstest::Msg;
using tarn::test::CellServerStandIn;
using Items = std::vector<std::string>;

TEST(Faults, ErrorReplacesTheAnswerAndCarriesTheFixtureAnswer) {
  CellServerStandIn server({.fixture = "fault 214 error 1601 1\n"
                                       "fault 228 error 1001\nanswer 228 \"host unknown\"\n"
                                       "fault 215 error 1001 times=1\n"
                                       "item 80 x y\n"});
  Client c(server.requestPort());
  c.login();
  EXPECT_EQ(c.request(214, {"80", "x"}).items, (Items{"1601", "1", "cellserver 214", ""}));
  const Msg refused = c.request(228, {"host", "0"});
  EXPECT_EQ(refused.items, (Items{"1001", "2", "cellserver 228", "", "host unknown"}));

  // A refused put still takes its bulk data; the next one goes through.
  c.send(215, {"80", "x", "3"});
  c.sendBulk("new");
  EXPECT_EQ(ErrorOf(c.recv()), "1001");
  c.send(215, {"80", "x", "3"});
  c.sendBulk("new");
  EXPECT_TRUE(IsSuccess(c.recv()));
}

TEST(Faults, NegotiationErrorTravelsInsideThe267Reply) {
  CellServerStandIn server({.fixture = "fault 267 error 1603 times=1\n"});
  Client c(server.requestPort());
  const Msg failed = c.request(267, {"22", "100", "600", "100", "t", "1"});
  EXPECT_EQ(failed.code, 267);
  EXPECT_EQ(failed.items, (Items{"1603", "2", "cellserver 267", "", "22", "100", "600", "100",
                                 "tarn-cellserver", "1"}));
  EXPECT_EQ(c.request(267, {"22", "100", "600", "100", "t", "1"}).item(0), "0");
}

TEST(Faults, DelayHoldsTheAnswerBack) {
  CellServerStandIn server({.fixture = "fault 235 delay 300\n"});
  Client c(server.requestPort());
  c.login();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsSuccess(c.request(235, {"1"})));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

// after= leaves the first requests alone: only the third and fourth wait.
TEST(Faults, AfterLeavesTheFirstRequestsAlone) {
  CellServerStandIn server({.fixture = "fault 235 delay 300 after=2 times=2\n"});
  Client c(server.requestPort());
  c.login();
  for (const bool held : {false, false, true, true, false}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(IsSuccess(c.request(235, {"1"})));
    EXPECT_EQ(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(300), held);
  }
}

TEST(Faults, CloseMidSendsHalfOfTheFirstPacket) {
  CellServerStandIn server({.fixture = "option A B\nfault 225 close-mid\n"});
  Client c(server.requestPort());
  c.login();
  c.send(225);
  // The reply 120 "A" "B" has 11 data bytes: its header and 5 of them arrive.
  const std::string expected(
      "\0\0\0\x0B"
      "120\0 ",
      9);
  EXPECT_TRUE(
      tarn::test::BytesEqual(tarn::test::Bytes(expected), tarn::test::Bytes(c.recvUntilClosed())));
}

TEST(Faults, WrongIdAndMissingItemsChangeTheFirstReplyMessage) {
  CellServerStandIn server({.fixture =
                                "option A B\nfault 225 wrong-id 121\nfault 0 missing-items 4\n"
                                "fault 2 missing-items 1\n"});
  Client inet(server.inetPort());
  const Msg port = inet.request(2, {"h", "0", "u", "g", "C", "15"});
  EXPECT_EQ(port.code, 109);
  EXPECT_EQ(port.items, (Items{std::to_string(server.requestPort())}));

  Client c(server.requestPort());
  EXPECT_EQ(c.login().items, (Items{"0", "0", "", ""}));
  const Msg options = c.request(225);
  EXPECT_EQ(options.code, 121);
  EXPECT_EQ(options.items, (Items{"A", "B"}));
  EXPECT_TRUE(IsSuccess(c.recv()));
}

TEST(Faults, OversizedHeaderIsAllThatArrives) {
  CellServerStandIn server({.fixture = "fault 214 oversized-header\n"});
  Client c(server.requestPort());
  c.login();
  c.send(214, {"80", "x"});
  EXPECT_FALSE(c.recvFrame());
  EXPECT_EQ(c.lastHeader(), 0xFFFFFFF0u);
  EXPECT_TRUE(c.closedByPeer());
}

TEST(Faults, Port0OnceThenTheRealPort) {
  CellServerStandIn server({.fixture = "fault 2 port0 times=1\nfault 205 port0 times=1\n"});
  {
    Client inet(server.inetPort());
    EXPECT_EQ(inet.request(2, {"h", "0", "u", "g", "C", "15"}).item(0), "0");
  }
  {
    Client inet(server.inetPort());
    EXPECT_EQ(inet.request(2, {"h", "0", "u", "g", "C", "15"}).item(0),
              std::to_string(server.requestPort()));
  }
  Client c(server.requestPort());
  c.login();
  for (const char* expected : {"0", "real"}) {
    c.send(205, {"7", "DB2 x", "", "", "", "C"});
    c.sendBulk(cstest::Encode(2, {"-bar", "DB2 x"}));
    const Msg started = c.recv();
    ASSERT_TRUE(IsSuccess(started));
    if (std::string(expected) == "0") {
      EXPECT_EQ(started.item(4), "0");
    } else {
      EXPECT_NE(started.item(4), "0");
      EXPECT_TRUE(Client(std::stoi(started.item(4))).ok());
    }
  }
}

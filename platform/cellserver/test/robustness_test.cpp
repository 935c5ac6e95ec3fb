// The stand-in cell server under hostile and heavy use: malformed packets,
// oversized headers, broken bulk data, peers that vanish, many clients at
// once, and a stop by SIGTERM that never hangs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "cellserver/testing/cellserver_standin.h"
#include "raw_client.h"

using cstest::Client;
using cstest::ErrorOf;
using cstest::IsSuccess;
using cstest::Msg;
using tarn::test::CellServerStandIn;

namespace {

// The server still answers a fresh client.
bool StillServes(const CellServerStandIn& server) {
  Client c(server.requestPort());
  return c.ok() && IsSuccess(c.login()) && c.request(225).code == 120;
}

}  // namespace

TEST(Robustness, MalformedPacketsGetAnErrorAndLoseTheirConnection) {
  CellServerStandIn server;
  const std::string packets[] = {
      std::string("15\0 abc", 7),         // no final NUL
      std::string("x\0\0", 3),            // no code
      std::string("15\0 abc\0\0\0", 10),  // bytes after the end
      std::string("15\0xabc\0\0", 9),     // item without its blank
      std::string(""),                    // empty packet
  };
  for (const std::string& packet : packets) {
    Client c(server.requestPort());
    c.sendFrame(packet);
    EXPECT_EQ(ErrorOf(c.recv()), "1007");
    EXPECT_TRUE(c.closedByPeer());
  }
  Client oversized(server.requestPort());
  oversized.sendBytes(std::string("\x7F\xFF\xFF\xFF", 4));
  EXPECT_EQ(ErrorOf(oversized.recv()), "1007");
  EXPECT_TRUE(server.waitForTraffic("bad header announces 2147483647 bytes"));

  Client half(server.requestPort());
  half.sendBytes(
      std::string("\0\0\0\x20"
                  "12",
                  6));
  half.hangUp();
  EXPECT_TRUE(StillServes(server));
}

TEST(Robustness, UnknownIdsAreAnsweredAndTheConnectionGoesOn) {
  CellServerStandIn server;
  Client c(server.requestPort());
  c.login();
  for (int id : {1, 24, 109, 999, -5, 2147483647}) {
    const Msg reply = c.request(id, {"a"});
    EXPECT_EQ(ErrorOf(reply), "1007") << id;
    EXPECT_EQ(reply.item(4), "unknown request") << id;
  }
  EXPECT_EQ(c.request(225).code, 120);
}

TEST(Robustness, BrokenBulkDataEndsTheConnection) {
  CellServerStandIn server;
  {
    Client c(server.requestPort());
    c.login();
    c.send(215, {"80", "x", "3"});
    c.send(24, {"1", "3"});
    c.sendFrame("four");  // longer than announced
    EXPECT_EQ(ErrorOf(c.recv()), "1007");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    Client c(server.requestPort());
    c.login();
    c.send(215, {"80", "x", "3"});
    c.send(24, {"1", "81921"});  // chunk above the limit
    EXPECT_EQ(ErrorOf(c.recv()), "1007");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    Client c(server.requestPort());
    c.login();
    c.send(203, {"1", "3"});
    c.send(225);  // not a MSG_DATA
    EXPECT_EQ(ErrorOf(c.recv()), "1007");
    EXPECT_TRUE(c.closedByPeer());
  }
  EXPECT_TRUE(StillServes(server));
}

TEST(Robustness, RandomBytesNeverBringItDown) {
  CellServerStandIn server;
  std::mt19937 random(4711);
  for (int round = 0; round < 40; ++round) {
    Client c(server.requestPort(), 2000);
    if (round % 2 == 0) c.login();
    for (int i = 0; i < 5; ++i) {
      std::string frame(random() % 64, '\0');
      for (char& b : frame) b = static_cast<char>(random() % 4 == 0 ? 0 : random() % 256);
      // The server may close on the first bad packet; later sends may fail.
      if (!c.write(random() % 3 == 0 ? frame : cstest::Framed(frame))) break;
    }
  }
  EXPECT_TRUE(StillServes(server));
}

TEST(Robustness, ManyClientsAtOnce) {
  CellServerStandIn server;
  constexpr int kClients = 24;
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      Client inet(server.inetPort());
      if (inet.request(2, {"h", "0", "u", "g", "C", "15"}).code != 109) return;
      Client c(server.requestPort());
      if (!IsSuccess(c.login())) return;
      const std::string name = "item" + std::to_string(i);
      const std::string value(1000 + i * 5000, static_cast<char>('A' + i));
      c.send(215, {"80", name, std::to_string(value.size())});
      c.sendBulk(value);
      if (!IsSuccess(c.recv())) return;
      c.send(214, {"80", name});
      Msg result;
      if (c.recvBulk(&result) == value && IsSuccess(result)) ++good;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(good, kClients);
}

TEST(Robustness, SigtermStopsPromptlyWhateverTheClientsAreDoing) {
  CellServerStandIn server;
  Client idle(server.requestPort());
  idle.login();
  Client midBulk(server.requestPort());
  midBulk.login();
  midBulk.send(215, {"80", "x", "100"});
  midBulk.send(24, {"0", "50"});
  Client silentInet(server.inetPort());
  idle.send(205, {"0", "", "", "", "", "C"});
  idle.sendBulk(cstest::Encode(2, {"-x"}));
  const Msg started = idle.recv();
  Client session(std::stoi(started.item(4)));
  session.send(0, {"p", "v"});
  ASSERT_TRUE(server.waitForTraffic("identity \"p\" \"v\""));

  const auto begin = std::chrono::steady_clock::now();
  const int status = server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(idle.closedByPeer());
  EXPECT_TRUE(session.closedByPeer());
}

TEST(Robustness, EndsByItselfAfterItsLifetime) {
  CellServerStandIn server({.args = {"--lifetime", "1"}});
  ASSERT_TRUE(server.ready());
  const int status = server.waitForExit(std::chrono::seconds(5));
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The bytes the client puts on the wire, captured by raw listeners that stand
// in for the inet service and the request port: the port request, the login
// message and the negotiation offer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "cmn/nls.h"
#include "cmn/strmsg.h"
#include "cmn/user.h"
#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/wire_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::kHost;
using tarn::test::BytesEqual;

// A listening socket on 127.0.0.1 whose first connection is served by a
// thread: it reads `packets` packets (kept with their headers), writes
// `reply` and closes.
class RawListener {
 public:
  RawListener(int packets, std::string reply) : packets_(packets), reply_(std::move(reply)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "raw listener";
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawListener() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;
  int port() const { return port_; }
  // What arrived; complete once the client has had its answer.
  std::string captured() {
    if (thread_.joinable()) thread_.join();
    return captured_;
  }

 private:
  static bool ReadExactly(int fd, char* out, std::size_t count) {
    while (count > 0) {
      const ssize_t n = recv(fd, out, count, 0);
      if (n <= 0) return false;
      out += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }
  void serve() {
    const int peer = accept(fd_, nullptr, nullptr);
    if (peer < 0) return;
    for (int i = 0; i < packets_; ++i) {
      unsigned char header[4];
      if (!ReadExactly(peer, reinterpret_cast<char*>(header), 4)) break;
      const std::size_t length =
          (std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
      std::string data(length, '\0');
      if (length > 65536 || !ReadExactly(peer, data.data(), length)) break;
      captured_.append(reinterpret_cast<const char*>(header), 4);
      captured_ += data;
    }
    const std::uint32_t length = htonl(static_cast<std::uint32_t>(reply_.size()));
    std::string framed(reinterpret_cast<const char*>(&length), 4);
    framed += reply_;
    (void)send(peer, framed.data(), framed.size(), MSG_NOSIGNAL);
    close(peer);
  }

  int fd_ = -1;
  int port_ = 0;
  int packets_;
  std::string reply_;
  std::string captured_;
  std::thread thread_;
};

// The bytes of a literal with its terminating NUL, which ends the message.
template <std::size_t N>
std::string Lit(const char (&text)[N]) {
  return std::string(text, N);
}

using tarn::test::Span;

class WireTest : public CsaTest {
 protected:
  void SetUp() override {
    CsaTest::SetUp();
    saved_ = {cmnHostname, cmnNodename, cmnEun, cmnEgn, cmnLang, CmnGetProgname()};
    std::strcpy(cmnHostname, "client1");
    std::strcpy(cmnNodename, "node1");
    std::strcpy(cmnEun, "alice");
    std::strcpy(cmnEgn, "staff");
    std::strcpy(cmnLang, "C");
    CmnSetProgname("csawire");
  }
  void TearDown() override {
    std::strcpy(cmnHostname, saved_[0].c_str());
    std::strcpy(cmnNodename, saved_[1].c_str());
    std::strcpy(cmnEun, saved_[2].c_str());
    std::strcpy(cmnEgn, saved_[3].c_str());
    std::strcpy(cmnLang, saved_[4].c_str());
    CmnSetProgname(saved_[5].c_str());
    unsetenv("TARN_INET_PORT");
    CsaTest::TearDown();
  }
  std::vector<std::string> saved_;
};

// The port reply that sends the client on to `port`.
std::string PortReply(int port) {
  return std::string("109\0 ", 5) + std::to_string(port) + Lit("\0 0\0");
}

const std::string kRefused = Lit("5\0 1002\0 2\0 cs\0 \0");

TEST_F(WireTest, PortRequestAndLoginMessage) {
  RawListener request(1, kRefused);
  RawListener inet(1, PortReply(request.port()));
  setenv("TARN_INET_PORT", std::to_string(inet.port()).c_str(), 1);
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), 1002);

  EXPECT_TRUE(BytesEqual(Span(Lit("\0\0\0\x24"
                                  "2\0 client1\0 0\0 alice\0 staff\0 C\0 15\0")),
                         Span(inet.captured())));

  char version[256];
  MakeShortVersionString(sizeof version, version);
  ASSERT_NE(version[0], '\0');
  const std::string data = std::string("0\0 csawire\0 ", 12) + version +
                           std::string("\0 alice\0 staff\0 ", 16) + std::to_string(getpid()) +
                           Lit("\0 node1\0");
  ASSERT_LT(data.size(), 256u);
  const std::string expected = std::string(3, '\0') + static_cast<char>(data.size()) + data;
  EXPECT_TRUE(BytesEqual(Span(expected), Span(request.captured())));
}

TEST_F(WireTest, NegotiationOfferPrecedesTheLogin) {
  setenv("VEK_PROTNEG_CSA_CRS", "1", 1);
  // The refusal answers the offer, which ends the bind before the login.
  RawListener request(1, Lit("267\0 1007\0 2\0 cs\0 \0"));
  RawListener inet(1, PortReply(request.port()));
  setenv("TARN_INET_PORT", std::to_string(inet.port()).c_str(), 1);
  EXPECT_EQ(MCsaInit(kHost), -1);
  EXPECT_EQ(ErhErrno(), 1007);
  EXPECT_TRUE(BytesEqual(Span(Lit("\0\0\0\x24"
                                  "267\0 22\0 100\0 600\0 100\0 csawire\0 1\0")),
                         Span(request.captured())));
}

TEST_F(WireTest, ProtocolReplyCarriesTheErrorThenTheProtocolData) {
  ASSERT_NO_FATAL_FAILURE(Init());
  StrMsg* msg = CsaGetContext()->message;
  const std::string reply = Lit("267\0 0\0 0\0 \0 \0 22\0 100\0 600\0 4711\0 cs1\0 1\0");
  ASSERT_EQ(StrParseStartNL(msg, reply.data(), reply.size()), MSG_PROTOCOL);
  ASSERT_EQ(ErhUnpackMsgL(msg), 0);
  CsaProtocolData data{};
  ASSERT_EQ(CsaParseProtocolData(&data), 0);
  EXPECT_EQ(data.type, 22);
  EXPECT_EQ(data.version, 100);
  EXPECT_EQ(data.moduleVersion, 600);
  EXPECT_STREQ(data.moduleSubversion, "4711");
  EXPECT_STREQ(data.sender, "cs1");
  EXPECT_EQ(data.flags, 1);

  // Protocol data one item short are refused.
  const std::string shortReply = Lit("267\0 0\0 0\0 \0 \0 22\0 100\0 600\0 4711\0 cs1\0");
  ASSERT_EQ(StrParseStartNL(msg, shortReply.data(), shortReply.size()), MSG_PROTOCOL);
  ASSERT_EQ(ErhUnpackMsgL(msg), 0);
  EXPECT_EQ(CsaParseProtocolData(&data), -1);
  StrMsgParseDoneL(msg);
}

}  // namespace

// Deadline-bound socket I/O of the stand-ins: frames split across writes,
// peers that close or stall, oversized headers, and the stop signal.
#include "codec/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "codec/frame.h"
#include "tarn_test.h"

using namespace tarn::standin;
using namespace std::chrono_literals;

namespace {

struct Pair {
  Fd a, b;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
};

void Put(int fd, std::string_view bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

}  // namespace

TEST(ReadFrame, AssemblesAFrameWrittenByteByByte) {
  Pair p;
  const std::string framed = Frame("hello");
  std::thread writer([&] {
    for (char c : framed) {
      Put(p.b.get(), std::string_view(&c, 1));
      std::this_thread::sleep_for(1ms);
    }
  });
  std::string data;
  EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(5s), 5000ms, -1), Io::kOk);
  EXPECT_EQ(data, "hello");
  writer.join();
}

TEST(ReadFrame, ClosedBeforeAndInsideAFrame) {
  {
    Pair p;
    p.b.reset();
    std::string data;
    EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(5s), 5000ms, -1), Io::kClosed);
  }
  {
    Pair p;
    Put(p.b.get(), std::string_view("\0\0", 2));
    p.b.reset();
    std::string data;
    EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(5s), 5000ms, -1), Io::kTruncated);
  }
  {
    Pair p;
    Put(p.b.get(), std::string_view("\0\0\0\5abc", 7));
    p.b.reset();
    std::string data;
    EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(5s), 5000ms, -1), Io::kTruncated);
    EXPECT_TRUE(data.empty());
  }
}

TEST(ReadFrame, OversizedHeaderReadsNoData) {
  Pair p;
  Put(p.b.get(), std::string_view("\x7f\xff\xff\xff"
                                  "data",
                                  8));
  std::string data;
  std::uint32_t announced = 0;
  EXPECT_EQ(ReadFrame(p.a.get(), data, 1 << 20, Deadline::After(5s), 5000ms, -1, &announced),
            Io::kTooLarge);
  EXPECT_EQ(announced, 0x7fffffffu);
  char rest[4];
  EXPECT_EQ(read(p.a.get(), rest, 4), 4);  // the data stayed on the connection
}

// Into caller storage: only the frame's bytes change, a frame larger than the
// storage leaves its data on the connection, a short one is truncated.
TEST(ReadFrameInto, FillsOnlyTheFrameAndRefusesWhatDoesNotFit) {
  struct Case {
    std::string_view sent;
    Io io;
    std::size_t length;
    std::string_view storage;  // the 8 bytes of storage after the read
  };
  const Case cases[] = {
      {std::string_view("\0\0\0\5hello", 9), Io::kOk, 5, "hello***"},
      {std::string_view("\0\0\0\x08"
                        "abcdefgh",
                        12),
       Io::kOk, 8, "abcdefgh"},
      {std::string_view("\0\0\0\x09"
                        "abcdefghi",
                        13),
       Io::kTooLarge, 0, "********"},
      {std::string_view("\0\0\0\5abc", 7), Io::kTruncated, 0, "abc*****"},
  };
  for (const Case& c : cases) {
    Pair p;
    Put(p.b.get(), c.sent);
    p.b.reset();
    std::uint8_t storage[8];
    std::memset(storage, '*', sizeof storage);
    std::size_t length = 99;
    EXPECT_EQ(ReadFrameInto(p.a.get(), storage, length, Deadline::After(5s), 5000ms, -1), c.io)
        << c.storage;
    EXPECT_EQ(length, c.length) << c.storage;
    EXPECT_EQ(std::string_view(reinterpret_cast<char*>(storage), 8), c.storage);
  }
}

TEST(ReadFrame, StallingPeerTimesOutAndStopEndsTheWait) {
  Pair p;
  std::string data;
  EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(30ms), 30ms, -1), Io::kTimeout);
  Put(p.b.get(), std::string_view("\0\0\0\5ab", 6));
  EXPECT_EQ(ReadFrame(p.a.get(), data, 100, Deadline::After(5s), 30ms, -1), Io::kTimeout);

  StopSignal stop;
  EXPECT_FALSE(stop.raised());
  std::thread raiser([&] {
    std::this_thread::sleep_for(20ms);
    stop.raise();
  });
  Pair q;
  EXPECT_EQ(ReadFrame(q.a.get(), data, 100, Deadline::After(60s), 60000ms, stop.fd()),
            Io::kStopped);
  raiser.join();
  EXPECT_TRUE(stop.raised());
}

TEST(WriteFrame, LargeFrameReachesASlowReaderWhole) {
  Pair p;
  std::string big(3 << 20, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>(i);
  std::thread writer(
      [&] { EXPECT_EQ(WriteFrame(p.b.get(), big, Deadline::After(20s), -1), Io::kOk); });
  std::string data;
  EXPECT_EQ(ReadFrame(p.a.get(), data, big.size(), Deadline::After(20s), 20000ms, -1), Io::kOk);
  writer.join();
  EXPECT_TRUE(data == big);
}

TEST(WriteFrame, PeerGoneIsAnErrorNotASignal) {
  Pair p;
  p.a.reset();
  EXPECT_EQ(WriteFrame(p.b.get(), "abc", Deadline::After(1s), -1), Io::kError);
}

TEST(Tcp, ListenConnectAcceptOnLoopback) {
  std::string why;
  Fd listener = ListenTcp("127.0.0.1", 0, &why);
  ASSERT_TRUE(listener.valid()) << why;
  const int port = LocalPort(listener.get());
  ASSERT_GT(port, 0);
  Fd client = ConnectTcp("127.0.0.1", port, Deadline::After(5s), &why);
  ASSERT_TRUE(client.valid()) << why;
  Io status = Io::kError;
  std::string peer;
  Fd server = AcceptTcp(listener.get(), Deadline::After(5s), -1, &status, &peer);
  ASSERT_TRUE(server.valid());
  EXPECT_EQ(status, Io::kOk);
  EXPECT_TRUE(peer.starts_with("127.0.0.1:"));
  EXPECT_EQ(WriteFrame(client.get(), "ping", Deadline::After(5s), -1), Io::kOk);
  std::string data;
  EXPECT_EQ(ReadFrame(server.get(), data, 10, Deadline::After(5s), 5000ms, -1), Io::kOk);
  EXPECT_EQ(data, "ping");

  EXPECT_FALSE(ListenTcp("localhost", 0, &why).valid());
  EXPECT_FALSE(AcceptTcp(listener.get(), Deadline::After(10ms), -1, &status, nullptr).valid());
  EXPECT_EQ(status, Io::kTimeout);
  listener.reset();
  EXPECT_FALSE(ConnectTcp("127.0.0.1", port, Deadline::After(5s), &why).valid());
}

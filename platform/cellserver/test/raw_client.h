// A minimal client of the cell-server protocol for the stand-in's tests, written
// apart from the stand-ins' codec (own framing, own message text), so that a
// fault in the codec cannot hide on both ends of a test.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cstest {

struct Msg {
  int code = -1;
  std::vector<std::string> items;
  std::string item(std::size_t i) const { return i < items.size() ? items[i] : "<missing>"; }
};

inline std::string Encode(int code, const std::vector<std::string>& items) {
  std::string text = std::to_string(code);
  text.push_back('\0');
  for (const std::string& item : items) {
    text.push_back(' ');
    text += item;
    text.push_back('\0');
  }
  text.push_back('\0');
  return text;
}

inline std::string Framed(std::string_view data) {
  const auto n = static_cast<std::uint32_t>(data.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
  out += data;
  return out;
}

// Splits a message text at its NULs; the code must be the first item.
inline Msg Decode(const std::string& data) {
  Msg msg;
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::size_t end = data.find('\0', pos);
    if (end == std::string::npos || end == pos) break;
    parts.push_back(data.substr(pos, end - pos));
    pos = end + 1;
  }
  if (parts.empty()) return msg;
  msg.code = std::stoi(parts[0]);
  for (std::size_t i = 1; i < parts.size(); ++i) msg.items.push_back(parts[i].substr(1));
  return msg;
}

// One blocking TCP connection to 127.0.0.1 with a receive time-out.
class Client {
 public:
  explicit Client(int port, int timeoutMs = 10000) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const { return fd_ >= 0; }
  void hangUp() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  // False when the server has gone away.
  bool write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  void sendBytes(std::string_view bytes) {
    if (!write(bytes)) ADD_FAILURE() << "send failed";
  }
  void sendFrame(std::string_view data) { sendBytes(Framed(data)); }
  void send(int code, const std::vector<std::string>& items = {}) {
    sendFrame(Encode(code, items));
  }

  // The data of the next frame; nothing when the peer closed or went quiet.
  std::optional<std::string> recvFrame() {
    std::string header;
    if (!readExact(4, header)) return std::nullopt;
    const std::uint32_t n = (std::uint32_t(std::uint8_t(header[0])) << 24) |
                            (std::uint32_t(std::uint8_t(header[1])) << 16) |
                            (std::uint32_t(std::uint8_t(header[2])) << 8) | std::uint8_t(header[3]);
    if (n > (64u << 20)) {
      lastHeader_ = n;
      return std::nullopt;
    }
    std::string data;
    if (!readExact(n, data)) return std::nullopt;
    return data;
  }
  Msg recv() {
    const auto data = recvFrame();
    if (!data) {
      ADD_FAILURE() << "no reply";
      return {};
    }
    return Decode(*data);
  }
  Msg request(int code, const std::vector<std::string>& items = {}) {
    send(code, items);
    return recv();
  }
  // True when the server closed the connection (no frame arrives).
  bool closedByPeer() {
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }
  std::uint32_t lastHeader() const { return lastHeader_; }
  // Every byte until the server closes (or the receive time-out passes).
  std::string recvUntilClosed() {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
  }

  // The login every request connection starts with; the result message.
  Msg login() { return request(0, {"cstest", "A.01.00", "user", "group", "4711", "node"}); }

  // The bulk data behind a request, chunked as a client does.
  void sendBulk(std::string_view data, std::size_t chunk = 81920) {
    if (data.empty()) {
      send(24, {"1", "0"});
      return;
    }
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      const std::size_t n = std::min(chunk, data.size() - at);
      send(24, {at + n == data.size() ? "1" : "0", std::to_string(n)});
      sendFrame(data.substr(at, n));
    }
  }
  // Reads MSG_DATA chunks until the result; `sizes` gets the chunk lengths.
  std::string recvBulk(Msg* result, std::vector<std::size_t>* sizes = nullptr) {
    std::string data;
    for (;;) {
      Msg m = recv();
      if (m.code != 24) {
        *result = m;
        return data;
      }
      const auto chunk = recvFrame();
      if (!chunk) {
        ADD_FAILURE() << "chunk missing";
        *result = {};
        return data;
      }
      EXPECT_EQ(m.item(0), std::to_string(chunk->size()));
      if (sizes != nullptr) sizes->push_back(chunk->size());
      data += *chunk;
    }
  }

 private:
  bool readExact(std::size_t n, std::string& out) {
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }

  int fd_ = -1;
  std::uint32_t lastHeader_ = 0;
};

// "5 0 0 "" """: a result without error.
inline bool IsSuccess(const Msg& m) {
  return m.code == 5 && m.items.size() >= 4 && m.items[0] == "0";
}
inline std::string ErrorOf(const Msg& m) {
  return m.code == 5 ? m.item(0) : "<not a result: " + std::to_string(m.code) + ">";
}

}  // namespace cstest

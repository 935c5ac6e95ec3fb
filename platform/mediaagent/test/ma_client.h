// A data-path client for the stand-in media agent's tests: the raw-socket
// client of the cell-server tests (its own framing and message text), the
// handshake, blocks built byte by byte, and the agent's segment seen by key.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cellserver/test/raw_client.h"
#include "codec/test/dastream_bytes.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"

namespace matest {

using cstest::Client;
using cstest::Msg;
using Bytes = std::vector<std::uint8_t>;
namespace tb = tarn::standin::dastream::testbytes;

// The seven items of the agent's description.
struct Description {
  int section = -1;
  int key = -1;
  unsigned long address = 0;
  std::uint32_t bufferSize = 0;
  int bufferCount = 0;
  std::uint64_t segmentSize = 0;
  std::uint32_t offset = 0;
  std::uint32_t blockStart() const { return (offset + 7) & ~7u; }
  std::uint32_t capacity() const { return bufferSize - blockStart(); }
};

inline Description ReadDescription(const Msg& m) {
  Description d;
  EXPECT_EQ(m.code, 10);
  if (m.items.size() != 7) {
    ADD_FAILURE() << "description with " << m.items.size() << " items";
    return d;
  }
  d.section = std::stoi(m.items[0]);
  d.key = std::stoi(m.items[1]);
  d.address = std::stoul(m.items[2]);
  d.bufferSize = static_cast<std::uint32_t>(std::stoul(m.items[3]));
  d.bufferCount = std::stoi(m.items[4]);
  d.segmentSize = std::stoull(m.items[5]);
  d.offset = static_cast<std::uint32_t>(std::stoul(m.items[6]));
  return d;
}

// Accepts the agent's first offer when there is one; the description.
inline Description Handshake(Client& c) {
  Msg m = c.recv();
  if (m.code == 267) {
    c.send(267, {"27", m.item(1), "600", "build", "test", "2"});
    m = c.recv();
  }
  return ReadDescription(m);
}

// A data record of `payload` for item 1 at item offset `at`.
inline Bytes DataRecord(std::uint32_t sequence, std::string_view payload, std::uint32_t at = 0) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  Bytes r(88 + payload.size(), 0);
  tb::Put32(r, 0, 0xAAAAAAAA);
  tb::Put32(r, 4, 3);
  tb::Put32(r, 8, 7);
  tb::Put32(r, 12, 1002);
  tb::Put32(r, 16, sequence);
  tb::Put32(r, 20, 88 + n);
  tb::Put32(r, 32, 1);
  tb::Put32(r, 36, at);
  tb::Put16(r, 44, static_cast<std::uint16_t>(n));
  tb::Put16(r, 46, 88);
  tb::Put16(r, 56, static_cast<std::uint16_t>(n >> 16));
  std::copy(payload.begin(), payload.end(), r.begin() + 88);
  return r;
}

// Block `sequence` of a stream of `da`: one data record numbered like the
// block, its payload a text naming the block.
inline Bytes StreamBlock(std::uint32_t da, std::uint32_t sequence, std::uint32_t capacity) {
  const std::string payload = "block " + std::to_string(sequence) + " of DA " + std::to_string(da);
  const Bytes record = DataRecord(sequence, payload);
  const auto used = static_cast<std::uint32_t>((64 + record.size() + 7) / 8 * 8);
  return tb::BlockBytes(da, sequence, capacity, used, {record});
}

// A whole buffer for a raw packet: zeros up to the block start, then the block.
inline std::string RawBuffer(const Description& d, const Bytes& block) {
  std::string raw(d.blockStart(), '\0');
  raw.append(block.begin(), block.end());
  raw.resize(d.bufferSize, '\0');
  return raw;
}

inline std::string Text(const Bytes& b) {
  return {b.begin(), b.end()};
}

// Sends block `sequence` in buffer `id` as a remote client does.
inline void SendRemoteBlock(Client& c, const Description& d, int id, const Bytes& block) {
  c.send(24, {std::to_string(id)});
  c.sendFrame(RawBuffer(d, block));
}

// Sends stream block `sequence` of DA `da` in buffer `sequence` modulo the
// buffer count, as a client that hands out its buffers in turn does.
inline void SendStreamBlock(Client& c, const Description& d, std::uint32_t sequence,
                            std::uint32_t da = 7) {
  SendRemoteBlock(c, d, static_cast<int>(sequence % d.bufferCount),
                  StreamBlock(da, sequence, d.capacity()));
}

// Handshake, then opens the stream of DA `da`; the description.
inline Description OpenStream(Client& c, std::uint32_t da = 7) {
  const Description d = Handshake(c);
  c.send(27, {std::to_string(da)});
  return d;
}

// Backs up `blocks` blocks over raw packets, keeping at most `count` buffers
// out, and stops the stream.
inline void RemoteBackup(int port, std::uint32_t blocks, std::uint32_t da = 7,
                         const std::function<Bytes(std::uint32_t, std::uint32_t)>& make = {}) {
  Client c(port);
  ASSERT_TRUE(c.ok());
  const Description d = Handshake(c);
  c.send(27, {std::to_string(da), "-1", "test", "0", "", "0", "4", "1"});
  std::uint32_t acked = 0;
  for (std::uint32_t b = 0; b < blocks; ++b) {
    if (b >= static_cast<std::uint32_t>(d.bufferCount)) {
      const Msg ack = c.recv();
      ASSERT_EQ(ack.code, 24);
      EXPECT_EQ(ack.item(0), std::to_string(acked % d.bufferCount));
      ++acked;
    }
    SendRemoteBlock(c, d, static_cast<int>(b % d.bufferCount),
                    make ? make(b, d.capacity()) : StreamBlock(da, b, d.capacity()));
  }
  for (; acked < blocks; ++acked)
    EXPECT_EQ(c.recv().item(0), std::to_string(acked % d.bufferCount));
  c.send(6);
}

// RemoteBackup of DA 7 to `ma`, then the wait until `ma` stored the stream.
inline ::testing::AssertionResult StoreStream(const tarn::test::MediaAgentStandIn& ma,
                                              std::uint32_t blocks) {
  const std::string stored = "STREAM_END da=7 status=stop blocks=" + std::to_string(blocks);
  RemoteBackup(ma.port(), blocks);
  if (ma.waitForEvent(stored)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << stored << "\"";
}

// Reads a stored stream back over raw packets; the blocks in their order.
inline std::vector<Bytes> RemoteRestore(int port, std::uint32_t expected, std::uint32_t da = 7) {
  Client c(port);
  const Description d = OpenStream(c, da);
  std::vector<Bytes> got;
  while (got.size() < expected) {
    const Msg m = c.recv();
    if (m.code != 24) {
      ADD_FAILURE() << "message " << m.code << " after " << got.size() << " blocks";
      break;
    }
    const auto raw = c.recvFrame();
    if (!raw || raw->size() != d.bufferSize) {
      ADD_FAILURE() << "raw packet missing or not one buffer";
      break;
    }
    // The bytes in front of the block are zero, whatever path the block took.
    EXPECT_EQ(Bytes(raw->begin(), raw->begin() + d.blockStart()), Bytes(d.blockStart(), 0))
        << "in front of block " << got.size();
    got.emplace_back(raw->begin() + d.blockStart(), raw->end());
    c.send(24, {std::to_string(da), m.item(0)});
  }
  c.send(6);
  return got;
}

// The agent's segment attached in this process; detached on destruction.
class Attached {
 public:
  explicit Attached(int key) {
    const int id = shmget(key, 0, 0);
    if (id >= 0) base_ = static_cast<std::uint8_t*>(shmat(id, nullptr, 0));
    if (base_ == reinterpret_cast<std::uint8_t*>(-1)) base_ = nullptr;
  }
  ~Attached() {
    if (base_ != nullptr) shmdt(base_);
  }
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  std::uint8_t* base() const { return base_; }

 private:
  std::uint8_t* base_ = nullptr;
};

inline bool SegmentExists(int key) {
  return shmget(key, 0, 0) >= 0;
}

}  // namespace matest

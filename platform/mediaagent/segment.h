// The System V shared-memory segment a media agent offers one connection:
// created under a fresh key with mode 0600, removed when the object dies.
// A ledger file notes each segment with its maker's pid, so that an agent
// started after one that was killed can remove what the dead one left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tarn::mediaagent {

class Segment {
 public:
  // A new segment of `size` bytes, attached, noted in `ledger` when one is
  // named. Null with the reason in *why.
  static std::unique_ptr<Segment> Create(std::size_t size, std::string* why,
                                         const std::string& ledger = {});
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  int key() const { return key_; }
  int id() const { return id_; }
  std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(base_); }
  std::size_t size() const { return size_; }
  // `length` bytes at `offset`; the caller keeps offset + length within size().
  std::span<std::uint8_t> bytes(std::uint64_t offset, std::size_t length) const {
    return {base_ + offset, length};
  }
  // Processes attached, this one included; -1 when it cannot be read.
  int attachCount() const;

 private:
  Segment(int key, int id, std::uint8_t* base, std::size_t size)
      : key_(key), id_(id), base_(base), size_(size) {}

  int key_;
  int id_;
  std::uint8_t* base_;
  std::size_t size_;
};

// The ledger of the agents that serve the store `storeDir`.
inline std::string SegmentLedger(const std::string& storeDir) { return storeDir + "/segments"; }

// Removes the segments `ledger` notes for makers that have ended and which
// those very makers created (an id in use again by another's segment is left
// alone), then keeps only the lines of makers still running. How many it
// removed; a missing ledger is an empty one.
int RemoveLeftBehind(const std::string& ledger);

}  // namespace tarn::mediaagent

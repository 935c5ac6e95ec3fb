// The System V shared-memory segment a media agent offers one connection:
// created under a fresh key with mode 0600, removed when the object dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tarn::mediaagent {

class Segment {
 public:
  // A new segment of `size` bytes, attached. Null with the reason in *why.
  static std::unique_ptr<Segment> Create(std::size_t size, std::string* why);
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

}  // namespace tarn::mediaagent

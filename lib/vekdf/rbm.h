// Reader checks of the restore side: block and record headers read back from
// a media agent, with the expected sequence numbers of one stream. Nothing in
// a block is trusted; every failure is reported and ends the stream's read.
#pragma once

#include <cstdint>
#include <span>

#include "vekdf/daformat.h"

// Expected sequence numbers of one restore stream. A fresh state knows none
// and takes the first block and the first record it sees.
struct RbmCheckState {
  std::uint32_t expectedBlkSeqNo = 0;
  std::uint32_t expectedRecSeqNo = 0;
  bool blkKnown = false;
  bool recKnown = false;
};

// Checks a block header already in host order against `capacity`, the size
// of the reader's own buffer. Returns the used bytes (64 to capacity) of a
// block to read; 0 for a block that repeats the previous one (reported at
// severity 0, skip it); -1 for a bad magic or version, used bytes outside the
// block, or a block out of sequence (reported at severity 3). `capacity`
// above INT32_MAX is taken as INT32_MAX.
int RbmCheckDAblk(RbmCheckState& state, const DaBlkHeader& header, std::uint32_t capacity);

// Checks a record header already in host order; `remaining` is the number of
// bytes from the record start to the block's used end. Returns the record
// length (32 to remaining, at least the type's fixed part) of a record to
// read; 0 for a record that repeats the previous one (reported at severity 0:
// skip the rest of the block); -1 for a bad magic, version, type or length,
// or a record out of sequence (reported at severity 3). An object's start
// record with number 0 begins the numbering again.
int RbmCheckDArec(RbmCheckState& state, const DaRecHeader& header, std::uint32_t remaining);

// Walks one block read back: converts and checks its header, then hands out
// its records one by one, converted and checked. Does not own the block.
class DaBlockReader {
 public:
  explicit DaBlockReader(RbmCheckState& state) : state_(state) {}
  DaBlockReader(const DaBlockReader&) = delete;
  DaBlockReader& operator=(const DaBlockReader&) = delete;

  // `block` is the reader's whole buffer in network order (its size is the
  // capacity the reader expects); it is converted in place and must stay
  // alive while records are read. Returns RbmCheckDAblk's result; with 0 or
  // -1 the block has no records to read.
  int Open(std::span<std::uint8_t> block);
  // The next record in host order, its span covering its length. 1 with
  // *record set; 0 at the end of the block or when the rest repeats records
  // already read; -1 for a damaged or out-of-sequence record (reported),
  // after which the block yields nothing more.
  int Next(std::span<std::uint8_t>* record);

 private:
  RbmCheckState& state_;
  std::span<std::uint8_t> block_;
  std::uint32_t used_ = 0;
  std::uint32_t offset_ = 0;
};

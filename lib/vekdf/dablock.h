// Block assembly on the backup side: room for a record is reserved in the
// current block, the record is filled in host order and committed (converted
// in place), and a full block gets its header and goes to a replaceable sink.
#pragma once

#include <cstdint>
#include <span>

#include "vekdf/daformat.h"

// Where blocks come from and go to. The backup buffer manager is the sink of
// the real data path; tests put blocks into memory.
class DaBlockSink {
 public:
  virtual ~DaBlockSink() = default;
  // The next empty block: 8-aligned, its size is its capacity (header
  // included). An empty span when none can be had; the sink has reported why.
  virtual std::span<std::uint8_t> TakeBlock() = 0;
  // `block` (a span handed out by TakeBlock or given to UseBlock) is complete:
  // header filled and in network order, `used` bytes of records, the rest
  // zero. False when it could not be passed on; the sink has reported why.
  // Either way the writer no longer touches it.
  virtual bool SendBlock(std::span<std::uint8_t> block, std::uint32_t used) = 0;
};

// The current block of one backup stream, with its block and record sequence
// numbers. Not copyable; the sink must outlive the writer.
class DaBlockWriter {
 public:
  DaBlockWriter(DaBlockSink& sink, std::uint32_t daId);
  DaBlockWriter(const DaBlockWriter&) = delete;
  DaBlockWriter& operator=(const DaBlockWriter&) = delete;

  // Takes the next block from the sink as current block, write offset after
  // the header. The current block, if any, is dropped unsent. False when the
  // sink has none or hands out a block that cannot hold a record.
  bool GetBlock();
  // Makes `block` the current block (a buffer the caller filled in place; its
  // records still have to be committed). Same conditions as GetBlock.
  bool UseBlock(std::span<std::uint8_t> block);
  // Fills and converts the header (DA id, next block sequence number,
  // capacity, write offset as used bytes), zeroes the bytes past the last
  // record and sends the block. False without a current block or when the
  // sink fails; there is no current block afterwards.
  bool PutBlock();
  // Forgets the current block unsent.
  void DropBlock();

  // Reserves room for one record: `wanted` bytes when they fit, else all the
  // room left, never less than `minimum` (at least a record header, at most
  // `wanted`). A block with too little room is sent and the next one taken.
  // Returns the record's first byte and the room in *granted; null when the
  // minimum cannot fit an empty block (reported: 80/1005), on a sink failure
  // or after an internal fault.
  std::uint8_t* Alloc(std::uint32_t wanted, std::uint32_t minimum, std::uint32_t* granted);
  // Commits the record of `length` bytes at the write offset, filled in host
  // order: converts it, zeroes the gap to the next multiple of 8 and moves on.
  // When fewer than a record header's bytes remain, the block is sent and the
  // next one taken. False when the record cannot be committed (reported), or
  // when sending or taking a block failed.
  bool Write(std::uint32_t length);

  // The stream's record sequence number: the next record's number. Writers
  // outside this library number their records through it too.
  std::uint32_t* RecSeqNo() { return &recSeqNo_; }
  // Returns the next record sequence number and counts it.
  std::uint32_t TakeRecSeqNo() { return recSeqNo_++; }

  // The record reserved by the last Alloc (null when it was committed or its
  // block left) and its room.
  std::uint8_t* reserved() const { return reserved_; }
  std::uint32_t reservedRoom() const { return reservedRoom_; }

  bool hasBlock() const { return !block_.empty(); }
  std::span<std::uint8_t> block() const { return block_; }
  std::uint32_t capacity() const { return static_cast<std::uint32_t>(block_.size()); }
  std::uint32_t offset() const { return offset_; }
  // Block sequence number of the next block sent.
  std::uint32_t blkSeqNo() const { return blkSeqNo_; }
  std::uint32_t daId() const { return daId_; }
  // True after an internal fault: the stream takes no further record.
  bool failed() const { return failed_; }

 private:
  void Fail(const char* function, int line);

  DaBlockSink& sink_;
  std::uint32_t daId_;
  std::span<std::uint8_t> block_;
  std::uint32_t offset_ = 0;
  std::uint32_t blkSeqNo_ = 0;
  std::uint32_t recSeqNo_ = 0;
  std::uint8_t* reserved_ = nullptr;
  std::uint32_t reservedRoom_ = 0;
  bool failed_ = false;
};

// Seed writer of the fuzz targets that read the data stream: blocks as the
// backup side's record writers fill them, and the records in them as the
// restore side's block reader hands them out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vekdf/dablock.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"

namespace tarn::fuzz {

// The blocks (`blockSize` bytes each, network order) holding the records
// that `write` puts in with the record writers (the Rm calls), the last one
// sent when `write` returns.
inline std::vector<std::string> StreamBlocks(std::uint32_t blockSize,
                                             const std::function<void()>& write) {
  class Sink final : public DaBlockSink {
   public:
    explicit Sink(std::uint32_t size) : size_(size) {}
    std::span<std::uint8_t> TakeBlock() override {
      // 8-aligned, as a segment's buffers are.
      buffers_.push_back(std::make_unique<std::uint64_t[]>(size_ / 8));
      return {reinterpret_cast<std::uint8_t*>(buffers_.back().get()), size_ / 8 * 8};
    }
    bool SendBlock(std::span<std::uint8_t> block, std::uint32_t) override {
      blocks.emplace_back(reinterpret_cast<const char*>(block.data()), block.size());
      return true;
    }
    std::vector<std::string> blocks;

   private:
    std::uint32_t size_;
    std::vector<std::unique_ptr<std::uint64_t[]>> buffers_;
  };
  Sink sink(blockSize);
  DaBlockWriter writer(sink, 1);
  DaBlockWriter* previous = RmSetBlockWriter(&writer);
  if (!writer.GetBlock()) std::abort();
  write();
  if (writer.failed() || !writer.PutBlock()) std::abort();
  RmSetBlockWriter(previous);
  return sink.blocks;
}

// The records of `blocks`, in host order, as the reader hands them out.
inline std::vector<std::string> StreamRecords(const std::vector<std::string>& blocks) {
  RbmCheckState state;
  std::vector<std::string> records;
  for (const std::string& bytes : blocks) {
    std::vector<std::uint64_t> buffer((bytes.size() + 7) / 8);
    std::memcpy(buffer.data(), bytes.data(), bytes.size());
    DaBlockReader reader(state);
    if (reader.Open({reinterpret_cast<std::uint8_t*>(buffer.data()), bytes.size()}) <= 0)
      std::abort();
    std::span<std::uint8_t> record;
    while (reader.Next(&record) == 1)
      records.emplace_back(reinterpret_cast<const char*>(record.data()), record.size());
  }
  return records;
}

// One backup object of one regular file holding `data` (cut into data
// records of at most `chunk` bytes), between a start and an end record.
inline void WriteFileObject(const std::string& data, std::uint32_t chunk) {
  if (RmWriteStart(1, 1000, 900, 5, 1, 2, 3, 4, 6, "db2host:/db2inst1/SAMPLE/0 // full",
                   "DB2 backup", "VEKBAR", "A.01.00") != 1)
    std::abort();
  DaItemAttr item{};
  item.itemId = 1;
  item.fileType = kDaFileRegular;
  item.name = "SQL00001.DB2";
  item.size = data.size();
  item.mode = 0640;
  if (RmWriteObjAttr(item) != 1) std::abort();
  for (std::uint32_t at = 0; at < data.size();) {
    // The rest of a block may take less than a whole chunk.
    std::uint32_t granted = 0;
    std::uint8_t* room =
        RmGetObjDataBuf(std::min<std::uint32_t>(chunk, data.size() - at), &granted);
    if (room == nullptr || granted == 0) std::abort();
    std::memcpy(room, data.data() + at, granted);
    if (RmWriteObjData(room, item.itemId, granted, at, 0, 0, 0) != 1) std::abort();
    at += granted;
  }
  if (RmWriteObjEnd(item, 0) != 1 || RmWriteEnd(1, 1000, 1100, 0, 0) != 1) std::abort();
}

// An encryption record whose key is `keyByte` repeated, as a backup of an
// encrypted object writes it before the item's data.
inline void WriteEncryptRecord(std::uint8_t keyByte) {
  DaeMetaData meta{};
  meta[0] = 1;
  for (std::size_t i = kDaeMetaFirst; i < kDaeMetaKey; ++i) meta[i] = static_cast<std::uint8_t>(i);
  std::memset(meta.data() + kDaeMetaKey, keyByte, kDaeKeySize);
  if (RmWriteObjEncrypt(nullptr, meta) != 1) std::abort();
}

}  // namespace tarn::fuzz

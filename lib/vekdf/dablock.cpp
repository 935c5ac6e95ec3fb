// Block assembly: reserving and committing records in the current block and
// sending full blocks with their header.
#include "vekdf/dablock.h"

#include <algorithm>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "vekdf/daimpl.h"
#include "vekdf/damsg.h"

TARN_RCSID("lib/vekdf/dablock.cpp");

using namespace vekdf_detail;

namespace {

// Smallest block that can take a record after its header.
constexpr std::uint32_t kMinCapacity = kDaBlkHeaderSize + kDaRecHeaderSize;

}  // namespace

DaBlockWriter::DaBlockWriter(DaBlockSink& sink, std::uint32_t daId) : sink_(sink), daId_(daId) {}

void DaBlockWriter::Fail(const char* function, int line) {
  ReportInternal(function, rcsId, line);
}

bool DaBlockWriter::UseBlock(std::span<std::uint8_t> block) {
  static const char kFn[] = "DaBlockWriter::UseBlock";
  DropBlock();
  if (block.size() < kMinCapacity || block.size() > UINT32_MAX ||
      reinterpret_cast<std::uintptr_t>(block.data()) % kDaAlign != 0) {
    DbgPlain(kDbgUnexpected, "[%s] unusable block %p of %zu bytes", kFn,
             static_cast<void*>(block.data()), block.size());
    Fail(kFn, __LINE__);
    return false;
  }
  block_ = block;
  offset_ = kDaBlkHeaderSize;
  return true;
}

bool DaBlockWriter::GetBlock() {
  DropBlock();
  const std::span<std::uint8_t> block = sink_.TakeBlock();
  if (block.empty()) return false;
  if (!UseBlock(block)) return false;
  DbgPlain(kLevelRecord, "GetBlock: blkSize = %u", capacity());
  return true;
}

void DaBlockWriter::DropBlock() {
  block_ = {};
  offset_ = 0;
  reserved_ = nullptr;
  reservedRoom_ = 0;
}

bool DaBlockWriter::PutBlock() {
  if (block_.empty()) return false;
  DaBlkHeader header{};
  header.magic = kDaBlkMagic;
  header.tag = kDaBlkTag;
  header.daId = daId_;
  header.one = 1;
  header.version = kDaBlkVersion;
  header.blkSeqNo = blkSeqNo_++;
  header.capacity = capacity();
  header.used = offset_;
  std::memcpy(block_.data(), &header, sizeof header);
  HostNetBlkHeader(block_.data());
  // Stored blocks must not depend on what the buffer held before.
  std::memset(block_.data() + offset_, 0, block_.size() - offset_);
  const std::span<std::uint8_t> block = block_;
  const std::uint32_t used = offset_;
  DropBlock();
  DbgPlain(kLevelRecord, "PutBlock: blkSeqNo = %u, used = %u", header.blkSeqNo, used);
  return sink_.SendBlock(block, used);
}

std::uint8_t* DaBlockWriter::Alloc(std::uint32_t wanted, std::uint32_t minimum,
                                   std::uint32_t* granted) {
  static const char kFn[] = "BmAlloc";
  *granted = 0;
  if (failed_) return nullptr;
  if (minimum > wanted || minimum < kDaRecHeaderSize) {
    DbgPlain(kDbgUnexpected, "[%s] wanted %u, minimum %u", kFn, wanted, minimum);
    Fail(kFn, __LINE__);
    return nullptr;
  }
  if (block_.empty()) {
    DbgPlain(kDbgUnexpected, "[%s] no current block", kFn);
    return nullptr;
  }
  if (capacity() - offset_ < minimum) {
    if (minimum <= capacity() - kDaBlkHeaderSize && (!PutBlock() || !GetBlock())) return nullptr;
    // Checked on the block now current: a sink may hand out a smaller one.
    if (capacity() - offset_ < minimum) {
      ErhFullReportPacked(
          kFn, kErhMajor,
          NlsPackMessage(kDaMsgSet, kDaMsgRecordTooLarge, minimum, capacity() - kDaBlkHeaderSize));
      return nullptr;
    }
  }
  reserved_ = block_.data() + offset_;
  reservedRoom_ = std::min(wanted, capacity() - offset_);
  *granted = reservedRoom_;
  return reserved_;
}

bool DaBlockWriter::Write(std::uint32_t length) {
  static const char kFn[] = "BmWrite";
  if (failed_) return false;
  if (block_.empty()) {
    DbgPlain(kDbgUnexpected, "[%s] no current block", kFn);
    return false;
  }
  if (length < kDaRecHeaderSize || length > capacity() - offset_) {
    DbgPlain(kDbgUnexpected, "[%s] record of %u bytes, room %u", kFn, length, capacity() - offset_);
    Fail(kFn, __LINE__);
    return false;
  }
  std::uint8_t* record = block_.data() + offset_;
  if (!HostNetRec(std::span(record, length))) {
    // A record this library cannot convert would leave an unreadable stream.
    DbgPlain(kDbgUnexpected, "[%s] record type %u cannot be converted", kFn,
             Load32(record + offsetof(DaRecHeader, type)));
    Fail(kFn, __LINE__);
    failed_ = true;
    return false;
  }
  const std::uint32_t end = offset_ + length;
  const auto next = static_cast<std::uint32_t>(std::min<std::uint64_t>(DaAlignUp(end), capacity()));
  std::memset(block_.data() + end, 0, next - end);
  offset_ = next;
  reserved_ = nullptr;
  reservedRoom_ = 0;
  if (capacity() - offset_ < kDaRecHeaderSize) return PutBlock() && GetBlock();
  return true;
}

// Reader checks: block and record headers read back, their sequence numbers,
// and the walk over the records of one block.
#include "vekdf/rbm.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "vekdf/daimpl.h"
#include "vekdf/damsg.h"

TARN_RCSID("lib/vekdf/rbm.cpp");

using namespace vekdf_detail;

int RbmCheckDAblk(RbmCheckState& state, const DaBlkHeader& header, std::uint32_t capacity) {
  static const char kFn[] = "RbmCheckDAblk";
  capacity = std::min<std::uint32_t>(capacity, INT32_MAX);
  if (header.magic != kDaBlkMagic || header.version > kDaBlkVersion ||
      header.used < kDaBlkHeaderSize || header.used > capacity) {
    DbgPlain(kLevel, "[%s] magic 0x%08X, version %u, used %u of %u", kFn, header.magic,
             header.version, header.used, capacity);
    ReportDamaged(kFn, rcsId, __LINE__);
    return -1;
  }
  const std::uint32_t seq = header.blkSeqNo;
  if (!state.blkKnown || seq == state.expectedBlkSeqNo) {
    state.blkKnown = true;
    state.expectedBlkSeqNo = seq + 1;
    return static_cast<int>(header.used);
  }
  if (state.expectedBlkSeqNo == seq + 1) {
    DbgPlain(kLevel, "[%s] block %u delivered again; skipping it", kFn, seq);
    ErhFullReportPacked(kFn, kErhNormal,
                        NlsPackMessage(kDaMsgSet, kDaMsgBlockSequence, state.expectedBlkSeqNo));
    return 0;
  }
  DbgPlain(kLevel, "[%s] block %u, expected %u", kFn, seq, state.expectedBlkSeqNo);
  ErhFullReportPacked(kFn, kErhMajor,
                      NlsPackMessage(kDaMsgSet, kDaMsgBlockSequence, state.expectedBlkSeqNo));
  return -1;
}

int RbmCheckDArec(RbmCheckState& state, const DaRecHeader& header, std::uint32_t remaining) {
  static const char kFn[] = "RbmCheckDArec";
  remaining = std::min<std::uint32_t>(remaining, INT32_MAX);
  const DaCvtEntry* entry = DaFindCvt(header.type);
  if (header.magic != kDaRecMagic || header.version > kDaRecVersion || entry == nullptr ||
      header.length < entry->minLength || header.length > remaining) {
    DbgPlain(kLevel, "[%s] magic 0x%08X, version %u, type %u, length %u of %u", kFn, header.magic,
             header.version, header.type, header.length, remaining);
    ReportDamaged(kFn, rcsId, __LINE__);
    return -1;
  }
  const std::uint32_t seq = header.seqNo;
  const bool restart = header.type == DA_REC_START && seq == 0;
  if (!state.recKnown || seq == state.expectedRecSeqNo) {
    state.recKnown = true;
    state.expectedRecSeqNo = seq + 1;
    return static_cast<int>(header.length);
  }
  if (state.expectedRecSeqNo == seq + 1) {
    DbgPlain(kLevel, "ERROR: Doubled block found on tape, recSeqNo= %d. Skipping it",
             static_cast<int>(seq));
    ErhFullReportPacked(kFn, kErhNormal,
                        NlsPackMessage(kDaMsgSet, kDaMsgRecordSequence, state.expectedRecSeqNo));
    return 0;
  }
  if (restart) {
    state.expectedRecSeqNo = 1;
    return static_cast<int>(header.length);
  }
  // Records missing in between would be data lost without notice.
  DbgPlain(kLevel, "%s: \tRecord sequence error!\n", kFn);
  ErhFullReportPacked(kFn, kErhMajor,
                      NlsPackMessage(kDaMsgSet, kDaMsgRecordSequence, state.expectedRecSeqNo));
  return -1;
}

int DaBlockReader::Open(std::span<std::uint8_t> block) {
  static const char kFn[] = "DaBlockReader::Open";
  block_ = {};
  used_ = 0;
  offset_ = 0;
  if (block.size() < kDaBlkHeaderSize) {
    DbgPlain(kLevel, "[%s] block of %zu bytes", kFn, block.size());
    ReportDamaged(kFn, rcsId, __LINE__);
    return -1;
  }
  NetHostBlkHeader(block.data());
  DaBlkHeader header;
  std::memcpy(&header, block.data(), sizeof header);
  const int used = RbmCheckDAblk(
      state_, header, static_cast<std::uint32_t>(std::min<std::size_t>(block.size(), INT32_MAX)));
  if (used > 0) {
    block_ = block;
    used_ = static_cast<std::uint32_t>(used);
    offset_ = kDaBlkHeaderSize;
  }
  return used;
}

int DaBlockReader::Next(std::span<std::uint8_t>* record) {
  static const char kFn[] = "DaBlockReader::Next";
  *record = {};
  if (offset_ >= used_) return 0;
  const std::uint32_t remaining = used_ - offset_;
  const std::span<std::uint8_t> room = block_.subspan(offset_, remaining);
  int length = -1;
  if (remaining < kDaRecHeaderSize) {
    DbgPlain(kLevel, "[%s] %u bytes left at offset %u", kFn, remaining, offset_);
    ReportDamaged(kFn, rcsId, __LINE__);
  } else {
    NetHostRec(room);
    DaRecHeader header;
    std::memcpy(&header, room.data(), sizeof header);
    length = RbmCheckDArec(state_, header, remaining);
  }
  if (length <= 0) {
    offset_ = used_;
    return length;
  }
  *record = room.first(static_cast<std::size_t>(length));
  offset_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      DaAlignUp(std::uint64_t{offset_} + static_cast<std::uint32_t>(length)), used_));
  return 1;
}

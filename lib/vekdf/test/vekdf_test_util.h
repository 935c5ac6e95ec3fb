// Shared set-up of the data-stream format tests: a block sink over memory
// that keeps every block sent, an installed block writer, captured reports,
// and hex text for literal bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/erh.h"
#include "cmn/paths.h"
#include "tarn_test.h"
#include "vekdf/dablock.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"

namespace vekdftest {

// Hands out blocks of one capacity (until changed), filled with 0xEE so that
// bytes the writer fails to set show up; keeps a copy of every block sent.
class MemorySink : public DaBlockSink {
 public:
  explicit MemorySink(std::size_t capacity) : capacity_(capacity) {}
  // The capacity of the blocks handed out from now on.
  void SetCapacity(std::size_t capacity) { capacity_ = capacity; }

  std::span<std::uint8_t> TakeBlock() override {
    if (failTake) return {};
    buffers_.push_back(std::make_unique<std::vector<std::uint8_t>>(capacity_, 0xEE));
    return *buffers_.back();
  }
  bool SendBlock(std::span<std::uint8_t> block, std::uint32_t used) override {
    sent.emplace_back(block.begin(), block.end());
    usedBytes.push_back(used);
    return !failSend;
  }

  std::vector<std::vector<std::uint8_t>> sent;
  std::vector<std::uint32_t> usedBytes;
  bool failTake = false;
  bool failSend = false;

 private:
  std::size_t capacity_;
  std::vector<std::unique_ptr<std::vector<std::uint8_t>>> buffers_;
};

inline std::vector<std::string> reports;
inline void CaptureReport(const char* text) {
  reports.emplace_back(text != nullptr ? text : "");
}
// Reports that name catalogue message (set, number).
inline int ReportsOf(int set, int number) {
  const std::string key = "[" + std::to_string(set) + ":" + std::to_string(number) + "]";
  int n = 0;
  for (const std::string& r : reports) n += r.find(key) != std::string::npos ? 1 : 0;
  return n;
}

// A writer over a memory sink with `capacity`-byte blocks, installed for the
// record writers, its first block taken; reports are captured.
class StreamTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kDaId = 0x0102;

  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ErhExit();
    ErhInit(0);
    ErhSetHooks(&previous_, CaptureReport, CaptureReport);
    reports.clear();
  }
  void TearDown() override {
    RmSetBlockWriter(nullptr);
    RmSetDaeRecvEncryptMetaData(nullptr);
    ErhSetHooks(nullptr, previous_.report, previous_.console);
    ErhExit();
  }
  // Starts a stream with blocks of `capacity` bytes.
  void Open(std::size_t capacity) {
    sink_ = std::make_unique<MemorySink>(capacity);
    writer_ = std::make_unique<DaBlockWriter>(*sink_, kDaId);
    ASSERT_TRUE(writer_->GetBlock());
    RmSetBlockWriter(writer_.get());
  }
  // Sends the current block (if it holds records) and returns every block sent.
  const std::vector<std::vector<std::uint8_t>>& Flush() {
    if (writer_->hasBlock() && writer_->offset() > kDaBlkHeaderSize) writer_->PutBlock();
    return sink_->sent;
  }
  // Every record of the flushed blocks, read back as the restore side reads
  // them (host order), appended to `records`.
  void ReadBack(std::vector<std::vector<std::uint8_t>>& records) {
    RbmCheckState state;
    for (std::vector<std::uint8_t> block : Flush()) {
      DaBlockReader reader(state);
      ASSERT_GT(reader.Open(block), 0);
      std::span<std::uint8_t> record;
      while (reader.Next(&record) == 1) records.emplace_back(record.begin(), record.end());
    }
  }

  tarn::test::TempRoot root_;
  ErhHooks previous_{};
  std::unique_ptr<MemorySink> sink_;
  std::unique_ptr<DaBlockWriter> writer_;
};

// Bytes from hex text; blanks and newlines are ignored.
inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : hex) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::span<const std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from,
                                           std::size_t count) {
  return std::span<const std::uint8_t>(v).subspan(from, count);
}

inline bool AllZero(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

inline void Put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t value) {
  v[at] = static_cast<std::uint8_t>(value >> 24);
  v[at + 1] = static_cast<std::uint8_t>(value >> 16);
  v[at + 2] = static_cast<std::uint8_t>(value >> 8);
  v[at + 3] = static_cast<std::uint8_t>(value);
}

}  // namespace vekdftest

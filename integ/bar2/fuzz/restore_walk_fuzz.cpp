// Fuzz target of the restore record walk: any sequence of records, as the
// restore buffer manager hands them out, goes through the item calls (item
// start with a small extended-attribute buffer, reads of odd sizes, the
// callback form, item end). Nothing may read or write outside a record or
// the caller's buffers, and the walk always ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bar2/barrestore.h"
#include "bar2/bartransform.h"
#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/streamseed.h"
#include "vekdf/daformat.h"

TARN_RCSID("integ/bar2/fuzz/restore_walk_fuzz.cpp");

namespace {

std::vector<std::vector<std::uint8_t>> records;
std::size_t next = 0;

int ReadRecord(BarContext*, std::span<std::uint8_t>* out) {
  if (next >= records.size()) return 0;
  *out = records[next++];
  return 1;
}

int KeyCallback(IpcHandle, char*, DaKeyInfo* info, int) {
  std::memset(info->key, 0x5A, sizeof info->key);
  return 1;
}

int Swallow(const void*, int length, void*) {
  return length;
}

void Quiet(const char*) {}

constexpr std::size_t kExtRoom = kBarExtAttrMax;
constexpr int kRounds = 64;

}  // namespace

// Input: records, each a 2-byte little-endian length followed by that many
// bytes; the header's length field is set to it as the block reader checked.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    ErhInit(0);
    ErhSetHooks(nullptr, Quiet, Quiet);
    BarSetKeyCallback(KeyCallback);
    BarLinkHooks hooks{};
    hooks.rbmRead = ReadRecord;
    BarSetLinkHooks(&hooks);
    VEK_Global.capability = kVekCapEncode | kVekCapEncrypt;
    return true;
  }();
  (void)ready;
  records.clear();
  next = 0;
  for (std::size_t at = 0; at + 2 <= size;) {
    const std::size_t n = data[at] | static_cast<std::size_t>(data[at + 1]) << 8;
    at += 2;
    if (n < sizeof(DaRecHeader) || n > size - at) break;
    std::vector<std::uint8_t> record(data + at, data + at + n);
    DaRecHeader h;
    std::memcpy(&h, record.data(), sizeof h);
    h.length = static_cast<std::uint32_t>(n);
    std::memcpy(record.data(), &h, sizeof h);
    records.push_back(std::move(record));
    at += n;
  }

  auto ctx = std::make_unique<BarContext>();
  ctx->session.smHandle = -1;
  ctx->mode = BAR_MODE_OBJECT_RESTORE;
  for (int round = 0; round < kRounds && next < records.size(); ++round) {
    ctx->mode = BAR_MODE_OBJECT_RESTORE;
    VEK_Item item{};
    std::uint8_t ext[kExtRoom];
    int extSize = static_cast<int>(kExtRoom);
    if (VEK_StartItemRestoreEx(ctx.get(), nullptr, &item, ext, &extSize) != 0) continue;
    tarn::fuzz::Accepted();
    if (extSize < 0 || extSize > static_cast<int>(kExtRoom)) std::abort();
    if (round % 2 == 0) {
      std::uint8_t buffer[37];
      for (int reads = 0; reads < 1024; ++reads) {
        const int n = VEK_ReadItemData(ctx.get(), buffer, sizeof buffer);
        if (n > static_cast<int>(sizeof buffer)) std::abort();
        if (n <= 0) break;
      }
    } else {
      VEK_RestoreItemCB(ctx.get(), Swallow);
    }
    int code = 0;
    VEK_EndItemRestore(ctx.get(), &code);
  }
  BarEndTransforms(ctx.get());
  CmnVarFree(&ctx->item.itemName);
  ErhClearError();
  return 0;
}

// The records of backed-up objects behind the start record, as the block
// reader hands them out, each behind its two-byte length.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->maxLen = 16384;
  const auto add = [&](const std::string& name, const std::string& data) {
    const auto records = tarn::fuzz::StreamRecords(
        tarn::fuzz::StreamBlocks(4096, [&] { tarn::fuzz::WriteFileObject(data, 1000); }));
    std::string input;
    for (std::size_t i = 1; i < records.size(); ++i) {
      const std::size_t n = records[i].size();
      input.push_back(static_cast<char>(n & 0xFF));
      input.push_back(static_cast<char>(n >> 8));
      input += records[i];
    }
    seeds->Add(name, input);
  };
  add("small", "one record of data");
  add("chunks", std::string(2500, 'c'));
}

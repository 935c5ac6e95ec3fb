// Fuzz target of the restore side's reader checks: arbitrary bytes cut into
// blocks of one stream go through the block and record checks and every body
// view; no read or write may leave the block, and nothing may abort.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "cmn/defines.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/streamseed.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"

TARN_RCSID("lib/vekdf/fuzz/read_fuzz.cpp");

namespace {

void Quiet(const char*) {}

void View(std::span<std::uint8_t> record) {
  DaRecHeader h;
  std::memcpy(&h, record.data(), sizeof h);
  switch (h.type) {
    case DA_REC_START: {
      DaStartView v;
      DaViewStart(record, &v);
      break;
    }
    case DA_REC_OBJ_ATTR:
    case DA_REC_OBJ_NOCAT: {
      DaAttrView v;
      DaViewAttr(record, &v);
      break;
    }
    case DA_REC_OBJ_SYS: {
      DaSysView v;
      if (DaViewSys(record, &v)) {
        std::uint8_t buffer[16];
        DaCopySysData(v, buffer);
      }
      break;
    }
    case DA_REC_OBJ_DATA:
    case kDaRecDataOther: {
      DaDataView v;
      if (DaViewData(record, &v) && !v.data.empty()) v.data[v.data.size() - 1] ^= 1;
      break;
    }
    case DA_REC_OBJ_ERR: {
      DaErrView v;
      DaViewErr(record, &v);
      break;
    }
    case DA_REC_OBJ_END: {
      DaObjEndView v;
      DaViewObjEnd(record, &v);
      break;
    }
    case DA_REC_END: {
      DaEndView v;
      DaViewEnd(record, &v);
      break;
    }
    case DA_REC_OBJ_NT_ATTR:
    case DA_REC_OBJ_NT_NOCAT: {
      DaNtAttrView v;
      DaViewNtAttr(record, &v);
      break;
    }
    case DA_REC_OBJ_CRYPT: {
      DaCryptView v;
      if (DaViewCrypt(record, &v)) DaCryptKeyMatches(v, DaCryptMetaData(v));
      break;
    }
    default: break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool once = [] {
    ErhInit(0);
    ErhSetHooks(nullptr, Quiet, Quiet);
    return true;
  }();
  (void)once;
  if (size < 2) return 0;
  // The first two bytes choose the reader's block size (64 to 4159 bytes).
  const std::size_t blockSize = 64 + ((std::size_t{data[0]} << 8 | data[1]) % 4096);
  data += 2;
  size -= 2;
  RbmCheckState state;
  for (std::size_t at = 0; at < size; at += blockSize) {
    // A buffer of exactly the block's size, so that any overrun is caught.
    std::vector<std::uint8_t> block(data + at, data + std::min(size, at + blockSize));
    DaBlockReader reader(state);
    if (reader.Open(block) <= 0) continue;
    std::span<std::uint8_t> record;
    while (reader.Next(&record) == 1) {
      View(record);
      tarn::fuzz::Accepted();
    }
  }
  ErhClearError();
  return 0;
}

// Streams as the backup side writes them, after the two bytes that give the
// reader their block size.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  // Eight blocks of the largest size the first two bytes can choose.
  seeds->maxLen = 2 + 8 * (64 + 4095);
  const std::string data(2500, 'd');
  for (const std::uint32_t blockSize : {256u, 1024u, 4096u}) {
    const std::uint16_t choice = static_cast<std::uint16_t>(blockSize - 64);
    std::string bytes = {static_cast<char>(choice >> 8), static_cast<char>(choice & 0xFF)};
    for (const std::string& block : tarn::fuzz::StreamBlocks(blockSize, [&] {
           tarn::fuzz::WriteEncryptRecord(0x5A);
           tarn::fuzz::WriteFileObject(data, blockSize / 2);
         }))
      bytes += block;
    seeds->Add("blocks" + std::to_string(blockSize), bytes);
  }
}

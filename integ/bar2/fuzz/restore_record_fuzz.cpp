// Fuzz target of the restore side's transforms: any record read back goes
// through VEK_RbmNextRecord (data decoded or decrypted in place) and, as an
// encryption record, through VEK_ProcessEncryptMetaData. Nothing may read or
// write outside the record, and encrypted data is only handed out after a
// key was accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bar2/bartransform.h"
#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/streamseed.h"

TARN_RCSID("integ/bar2/fuzz/restore_record_fuzz.cpp");

namespace {

std::vector<std::uint8_t> record;
bool handedOut = false;

int ReadRecord(BarContext*, std::span<std::uint8_t>* out) {
  if (handedOut) return 0;
  handedOut = true;
  *out = record;
  return 1;
}

int KeyCallback(IpcHandle, char*, DaKeyInfo* info, int) {
  std::memset(info->key, 0x5A, sizeof info->key);
  return 1;
}

void Quiet(const char*) {}

}  // namespace

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
  if (size < sizeof(DaRecHeader)) return 0;
  record.assign(data, data + size);
  DaRecHeader h;
  std::memcpy(&h, record.data(), sizeof h);
  h.length = static_cast<std::uint32_t>(size);  // as the block reader checked it
  std::memcpy(record.data(), &h, sizeof h);
  handedOut = false;

  auto ctx = std::make_unique<BarContext>();
  ctx->session.smHandle = -1;
  if (BarStartRestoreTransforms(ctx.get()) == 0 && VEK_InitEncryption(ctx.get(), 0) == 0) {
    const bool keyed = VEK_ProcessEncryptMetaData(ctx.get(), record) == 0;
    std::uint8_t* r = VEK_RbmNextRecord(ctx.get());
    if (r != nullptr && r != record.data()) std::abort();
    if (keyed || r != nullptr) tarn::fuzz::Accepted();
  }
  BarEndTransforms(ctx.get());
  ErhClearError();
  return 0;
}

// A data record and an encryption record (its key the one the key callback
// above hands out), as the block reader hands them out.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const auto records = tarn::fuzz::StreamRecords(tarn::fuzz::StreamBlocks(4096, [] {
    tarn::fuzz::WriteEncryptRecord(0x5A);
    tarn::fuzz::WriteFileObject("restored data", 64);
  }));
  for (const std::string& r : records) {
    DaRecHeader h;
    std::memcpy(&h, r.data(), sizeof h);
    if (h.type == DA_REC_OBJ_CRYPT) seeds->Add("crypt", r);
    if (h.type == DA_REC_OBJ_DATA) seeds->Add("data", r);
  }
}

// Fuzz target of the stored configuration text: BP_ParseBuffer and BP_Unpack
// either refuse the text or give a list that packs and reads back equal, and
// the typed getters never crash on what they find. The first byte chooses the
// flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "barutil/bp.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("integ/barutil/fuzz/bp_fuzz.cpp");

namespace {

void Probe(BpList list) {
  for (int i = 0; i < CmnVarLength(list); ++i) {
    const char* name = CmnVarKey(list, i);
    int64_t n = 0;
    const char* text = nullptr;
    CmnVar* inner = nullptr;
    BP_GetIntAt(list, i, &n);
    BP_GetStrAt(list, i, &text);
    if (name != nullptr && name[0] != '\0') {
      BP_GetStr(list, name);
      BP_GetByName(list, BP_KIND_LIST, name, 1, &inner);
    }
    if (BP_GetAt(list, BP_KIND_STRLIST, i, &inner) == kBpOk) {
      for (int j = 0; j <= BP_StrListCount(*inner); ++j) BP_StrListAt(*inner, j);
    }
    if (CmnVar* nested = BP_GetOptAt(list, i)) Probe(*nested);
  }
}

void RoundTrip(BpList list, int flags) {
  char* text = BP_Pack(list, flags);
  if (text == nullptr) std::abort();
  BpList again = VarUndef;
  if (BP_Unpack(&again, text, flags) != kBpOk || CmnVarCmp(again, list) != 0) std::abort();
  safe_free(text, TARN_HERE);
  CmnVarFree(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int flags = data[0] & (VAR_PACK_BASE64 | VAR_PACK_NOTABS | VAR_PACK_NOLF);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  BpList list = VarUndef;
  const int rc = (data[0] & 0x80) != 0 ? BP_ParseBuffer(text.c_str(), &list)
                                       : BP_Unpack(&list, text.c_str(), flags);
  if (rc == kBpOk) {
    if (BP_TypeOf(list) != BP_KIND_LIST) std::abort();
    Probe(list);
    RoundTrip(list, (data[0] & 0x80) != 0 ? kBpStored : flags);
    tarn::fuzz::Accepted();
  } else if (BP_TypeOf(list) != BP_KIND_NONE) {
    std::abort();
  }
  CmnVarFree(&list);
  ErhClearError();
  return 0;
}

// An instance's configuration as BP_Pack writes it, under each flag set (the
// first byte; its top bit picks the stored form).
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  BpList config = VarUndef;
  CmnVar* env = nullptr;
  CmnVar* nodes = nullptr;
  if (BP_AddStr(&config, "Username", "db2inst1") != kBpOk ||
      BP_AddStr(&config, "Password", "BCDEFGHI") != kBpOk ||
      BP_AddInt(&config, "Version", 11) != kBpOk ||
      BP_AddList(&config, "Environment", &env) != kBpOk ||
      BP_AddStr(env, "VEKOPTS", "-debug 1-99 \"fz\"") != kBpOk ||
      BP_AddStrList(&config, "DB2_NODES", &nodes) != kBpOk ||
      BP_ChangeStrListAdd(&config, "DB2_NODES", "0 db2host 0") != kBpOk ||
      BP_ChangeStrListAdd(&config, "DB2_NODES", "1 db2host 1") != kBpOk)
    std::abort();
  for (const int flags : {0, int{VAR_PACK_NOTABS}, VAR_PACK_NOTABS | VAR_PACK_NOLF,
                          int{VAR_PACK_BASE64}, kBpStored}) {
    char* text = BP_Pack(config, flags);
    if (text == nullptr) std::abort();
    const int selector = flags == kBpStored ? 0x80 : flags;
    seeds->Add("flags" + std::to_string(flags), static_cast<std::uint8_t>(selector), text);
    safe_free(text, TARN_HERE);
  }
  CmnVarFree(&config);
}

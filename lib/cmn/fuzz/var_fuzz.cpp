// Fuzz target of the variant text parser: any input either fails with a
// syntax error or gives a value whose text form reads back equal; never a
// crash. The first byte chooses the flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/var.h"
#include "cmn/var_impl.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/var_fuzz.cpp");

namespace {

void CheckRoundTrip(CmnVar value, int parseFlags, int layoutFlags) {
  const CmnVarPackOptions options{parseFlags | layoutFlags, nullptr};
  char* text = CmnVarPackEx(value, &options);
  if (text == nullptr) std::abort();
  CmnVarUnpackState state{};
  state.flags = parseFlags;
  CmnVar again = CmnVarUnpackEx(text, &state);
  if (state.error != 0 || CmnVarCmp(again, value) != 0) std::abort();
  char* text2 = CmnVarPackEx(again, &options);
  if (text2 == nullptr || std::string(text) != text2) std::abort();
  safe_free(text2, TARN_HERE);
  safe_free(text, TARN_HERE);
  CmnVarFree(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int parseFlags = data[0] & (VAR_PACK_NOBRACES | VAR_PACK_BASE64);
  const int layoutFlags = data[0] & (VAR_PACK_NOTABS | VAR_PACK_NOLF);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // As a C string (cut at an inner NUL), through the public entry.
  CmnVarUnpackState state{};
  state.flags = parseFlags;
  CmnVar value = CmnVarUnpackEx(text.c_str(), &state);
  if (state.error == 0) {
    CheckRoundTrip(value, parseFlags, layoutFlags);
    tarn::fuzz::Accepted();
  }
  CmnVarFree(&value);
  ErhClearError();

  // As counted bytes, NULs included, the way files are read.
  CmnVarUnpackState counted{};
  CmnVar raw =
      cmnvar::ParseText(text.data(), text.size(), &counted, parseFlags & VAR_PACK_NOBRACES);
  if (counted.error == 0) CheckRoundTrip(raw, parseFlags & VAR_PACK_NOBRACES, layoutFlags);
  CmnVarFree(&raw);
  ErhClearError();
  return 0;
}

// A value of every kind in the text form of each flag set; the first byte
// holds the flags.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  CmnVar value =
      CmnVarList("Username", CmnVarText("db2inst1"), "Sessions", CmnVarInt64(-3), "Nodes",
                 CmnVarRange(0, 7), "Environment",
                 CmnVarList("VEKOPTS", CmnVarText("-debug 1-99 \"fz\"\ttab"), "Empty",
                            CmnVarText(""), nullptr),
                 "List", CmnVarArray(CmnVarText("a b"), CmnVarInt64(1), VarUndef), nullptr);
  for (const int flags : {0, VAR_PACK_NOTABS | VAR_PACK_NOLF, int{VAR_PACK_NOBRACES},
                          VAR_PACK_BASE64 | VAR_PACK_NOTABS}) {
    const CmnVarPackOptions options{flags, nullptr};
    char* text = CmnVarPackEx(value, &options);
    if (text == nullptr) std::abort();
    seeds->Add("flags" + std::to_string(flags), static_cast<std::uint8_t>(flags), text);
    safe_free(text, TARN_HERE);
  }
  CmnVarFree(&value);
}

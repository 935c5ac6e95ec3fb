// Fuzz target of the UTF-8/UTF-16 conversion: any bytes come back unchanged
// through UTF-16, and any UTF-16 (either byte order, as text, list or
// message) converts without reading or writing out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/strmsg.h"
#include "cmn/utf.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"

TARN_RCSID("lib/cmn/fuzz/utf_fuzz.cpp");

namespace {

struct Msg {
  StrMsg m;
  Msg() { StrMsgInitL(&m); }
  ~Msg() { StrMsgFreeL(&m); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const int n = static_cast<int>(size);
  const auto* text = reinterpret_cast<const char*>(data);

  // Narrow -> wide -> narrow gives the very bytes back.
  Msg wide;
  const int w = DynConvS2W(text, &wide.m, n, kConvCount | kConvKeepBom);
  if (w < 2 || w % 2 != 0) std::abort();
  Msg narrow;
  const int back = DynConvW2S(wide.m.data, &narrow.m, (w - 2) / 2, kConvCount | kConvKeepBom);
  if (back != n + 1 || std::memcmp(narrow.m.data, data, size) != 0) std::abort();
  tarn::fuzz::Accepted();

  // The input as UTF-16 in both byte orders and as a list.
  for (int flags : {kConvCount, kConvCount | kConvBigEndian, kConvCount | kConvList}) {
    Msg out;
    const int r = DynConvW2S(data, &out.m, n / 2, flags);
    if (r < 1 || r != DynConvW2S(data, nullptr, n / 2, flags | kConvSizeOnly)) std::abort();
  }

  // A received message of exactly these bytes, marked or not.
  std::vector<char> received(data, data + size);
  Msg msg;
  if (StrParseStartNL(&msg.m, received.data(), received.size()) >= 0) {
    while (StrParseNextL(&msg.m) != nullptr) {
    }
  }

  // A counted heap buffer through the native adjustment.
  if (size >= 2) {
    char* buf = static_cast<char*>(safe_malloc(size, TARN_HERE));
    std::memcpy(buf, data, size);
    int len = n;
    DynBufAdjustToNative(&buf, &len, kConvList | 8);
    safe_free(buf, TARN_HERE);
  }
  return 0;
}

// UTF-8 text, the same text as UTF-16 with its mark as the converter writes
// it, and a message of it.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const char* text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  seeds->Add("utf8", text);
  Msg wide;
  const int w = DynConvS2W(text, &wide.m, -1, kConvWriteBom);
  if (w < 2) std::abort();
  seeds->Add("utf16", std::string_view(wide.m.data, static_cast<std::size_t>(w - 2)));
  seeds->Add("message", tarn::fuzz::MessageBytes(12, {text, "item"}));
}

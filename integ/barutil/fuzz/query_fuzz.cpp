// Fuzz target of the query engine over a scripted peer: the input, split at
// 0xFF bytes, is the sequence of messages the catalogue answers with; the
// first byte picks the row form. Every answer must end the query cleanly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "barutil/vekquery.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"

TARN_RCSID("integ/barutil/fuzz/query_fuzz.cpp");

namespace {

std::deque<std::string> replies;

int ScriptRead(IpcHandle, char** message, int) {
  *message = nullptr;
  if (replies.empty()) {
    ErhMark(1011, 0, "ScriptRead", 2);
    return -1;
  }
  const std::string& m = replies.front();
  *message = static_cast<char*>(safe_malloc(m.size() + 2, TARN_HERE));
  std::memcpy(*message, m.data(), m.size());
  (*message)[m.size()] = (*message)[m.size() + 1] = '\0';
  replies.pop_front();
  return 0;
}

int ScriptWrite(IpcHandle, const char*) {
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  query_setio(ScriptRead, ScriptWrite);
  replies.clear();
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || static_cast<unsigned char>(text[i]) == 0xFF) {
      replies.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  VEK_Catalog catalog;
  catalog.handle = 3;
  array_t out{};
  switch (data[0] % 6) {
    case 0: VEK_QueryObjects2(&catalog, 1, "A", &out); break;
    case 1: VEK_QueryObjectVersionsEx2(&catalog, "o", 1, &out); break;
    case 2: VEK_QueryFileVersions2(&catalog, "f", &out); break;
    case 3: VEK_QueryMedia2(&catalog, 1, 0, &out); break;
    case 4: {
      VEK_ObjectVersion ov;
      if (VEK_QueryGetObjectVersion(&catalog, 1, &ov) == 0) VEK_ObjectVersionFree(&ov);
      break;
    }
    default: VEK_QueryFbVersions(&catalog, "n", 0, 0, &out); break;
  }
  array_free(&out);
  VEK_QueryClose(&catalog);
  ErhClearErrorM(rcsId, __LINE__);
  return 0;
}

// Fuzz target of the query engine over a scripted peer: the input, split at
// 0xFF bytes, is the sequence of messages the catalogue answers with; the
// first byte picks the row form. Every answer must end the query cleanly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "barutil/vekquery.h"
#include "catalogue_rows.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"

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
  int rc = -1;
  bool single = false;
  switch (data[0] % 6) {
    case 0: rc = VEK_QueryObjects2(&catalog, 1, "A", &out); break;
    case 1: rc = VEK_QueryObjectVersionsEx2(&catalog, "o", 1, &out); break;
    case 2: rc = VEK_QueryFileVersions2(&catalog, "f", &out); break;
    case 3: rc = VEK_QueryMedia2(&catalog, 1, 0, &out); break;
    case 4: {
      VEK_ObjectVersion ov;
      rc = VEK_QueryGetObjectVersion(&catalog, 1, &ov);
      if (rc == 0) VEK_ObjectVersionFree(&ov);
      single = true;
      break;
    }
    default: rc = VEK_QueryFbVersions(&catalog, "n", 0, 0, &out); break;
  }
  // A query that ended well with its rows (or its one record) unpacked.
  if (rc == 0 && (single || out.count > 0)) tarn::fuzz::Accepted();
  array_free(&out);
  VEK_QueryClose(&catalog);
  ErhClearErrorM(rcsId, __LINE__);
  return 0;
}

// The catalogue's answers to each query (the first byte): rows, then the
// MSG_RESULT, as the cell server builds them; 0xFF parts them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace barutil_fuzz;
  using tarn::fuzz::MessageBytes;
  constexpr int kResult = 5;
  const std::vector<std::string> ok = {"0", "0", "", ""};
  const auto answer = [&](std::uint8_t query, int rowId, const std::vector<std::string>& row,
                          const std::vector<std::string>& result) {
    std::string text(1, static_cast<char>(query));
    for (int i = 0; i < 2; ++i) text += MessageBytes(rowId, row) + '\xFF';
    return text + MessageBytes(kResult, result);
  };
  seeds->maxLen = 8192;
  // The query above keeps the objects described "A".
  seeds->Add("objects", answer(0, 1023, ObjectFields("A"), ok));
  seeds->Add("versions", answer(1, 1025, VersionFields(), ok));
  seeds->Add("file_versions", answer(2, 1061, Join(ItemFields(), VersionFields()), ok));
  seeds->Add("media", answer(3, 1613, MediumFields(), ok));
  seeds->Add(
      "one_version",
      std::string(1, 4) + MessageBytes(kResult, Join(ok, Join(ObjectFields(), VersionFields()))));
  seeds->Add("fb_versions", answer(5, 1051, Join(ObjectFields(), VersionFields()),
                                   {"0", "0", "", "", "1", "2", "3", "4"}));
}

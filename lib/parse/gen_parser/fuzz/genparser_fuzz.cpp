// Fuzz target of the keyword-line parser: the input is a format text and a
// data text split at the first NUL; every list parsed renders, its values
// read back, its copy renders alike, and the scramble round-trips.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "fuzz/fuzzseed.h"
#include "gen_parser/genparser.h"

TARN_RCSID("lib/parse/gen_parser/fuzz/genparser_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');
  const std::string format = input.substr(0, cut);
  const std::string text = cut == std::string::npos ? std::string() : input.substr(cut + 1);
  const std::string dataText = text.substr(0, text.find('\0'));

  if (ParserList* list = PLParse(format.c_str(), dataText.c_str())) {
    tarn::fuzz::Accepted();
    for (const PLNode* line = list->first; line != nullptr; line = line->nextLine)
      for (const PLNode* f = line; f != nullptr; f = f->next) (void)PLGetValue(line, f->key.c_str());
    char* out = nullptr;
    if (PLGetBufferFromList(list, &out) != 1 || out == nullptr) std::abort();
    // A copy renders the same and outlives its original.
    ParserList* copy = PLCopyList(list);
    PLFree(list);
    char* again = nullptr;
    if (copy == nullptr || PLGetBufferFromList(copy, &again) != 1 || std::strcmp(out, again) != 0)
      std::abort();
    safe_free(again, TARN_HERE);
    safe_free(out, TARN_HERE);
    if (PLReplaceLine(copy, copy->first, copy->last) == nullptr) std::abort();
    PLDumpList(copy);
    PLFree(copy);
  }
  char* merged = nullptr;
  if (PLMergeFormatFiles(format.c_str(), dataText.c_str(), &merged) >= 0) safe_free(merged, TARN_HERE);

  if (char* scrambled = PLEncode(dataText.c_str())) {
    char* plain = PLDecode(scrambled);
    if (plain == nullptr || std::strcmp(plain, dataText.c_str()) != 0) std::abort();
    safe_free(plain, TARN_HERE);
    safe_free(scrambled, TARN_HERE);
  }
  if (char* plain = PLDecode(format.c_str())) safe_free(plain, TARN_HERE);
  return 0;
}

// A cell description's format and lines, as the user exit reads them, and a
// format merged with another.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace std::string_view_literals;
  seeds->Add("cell",
             "-key host\n-key virt[ual -flags 0x80000000\n-key clus\n"
             "-key pass -flags 0x20000000\0"
             "-host alpha -virtual \"beta gamma\" -pass F$\n-host b -clus c\n"sv);
  seeds->Add("abbreviated", "-key ho[st\n-key cl[us\0-ho alpha -clus c\n"sv);
}

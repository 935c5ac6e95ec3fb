// Fuzz target of packed-message expansion: any text expands or is refused
// within bounds, and a plain argument can never shift the ones after it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "cmn/ctx.h"
#include "cmn/nls.h"
#include "cmn/nlsfile.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/nlspack_fuzz.cpp");

namespace {

struct Text {
  std::uint32_t set;
  std::uint32_t number;
  const char* text;
};

// Sorted by set and number, as the compiler writes them.
constexpr Text kTexts[] = {
    {11, 1, "one"},
    {11, 2, "two"},
    {250, 1, "%2$s %1$d\\n"},
    {250, 2, "Outer: %s!"},
    {250, 3, "%s|%s"},
    {250, 4, "%5d %.2f %x %c %%"},
    {250, 5, "%1$s%1$s%1$s%3$s%99$s"},
};

std::string CatalogueBytes() {
  std::string index;
  std::string texts;
  for (const Text& t : kTexts) {
    const NlsCatEntry e{t.set, t.number, static_cast<std::uint32_t>(texts.size())};
    index.append(reinterpret_cast<const char*>(&e), sizeof e);
    texts += t.text;
    texts += '\0';
  }
  const NlsCatHeader h{kNlsCatMagic, static_cast<std::uint32_t>(std::size(kTexts)), 0};
  return std::string(reinterpret_cast<const char*>(&h), sizeof h) + index + texts;
}

struct Root {
  std::string path;
  Root() {
    path = tarn::fuzz::ScratchDir() + "/nlspack_fuzz.XXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
    std::filesystem::create_directories(path + "/opt/tarn/lib/nls/C");
    std::ofstream(path + "/opt/tarn/lib/nls/C/tarn.cat", std::ios::binary) << CatalogueBytes();
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    CmnPathsInit(path.c_str());
    if (NlsOpenCatalog() != 0) std::abort();
    // The open catalogue outlives its directory; a fuzzer ends without
    // running destructors.
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// The catalogue above, open for the rest of the process.
void OpenCatalogue() {
  static Root root;
}

void Free(char* text) {
  if (text != nullptr && std::strlen(text) > kSKprintfMax) std::abort();
  safe_free(text, TARN_HERE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OpenCatalogue();
  if (size > 4096) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const char* text = bytes.c_str();  // cut at an inner NUL

  char* formatted = NlsFormatPackedMessage(text);
  if (formatted != nullptr) tarn::fuzz::Accepted();
  Free(formatted);
  Free(NlsExtractFromSM(text));

  // The input as a message text with NUL separators.
  std::string message = bytes;
  message.append(2, '\0');
  if (std::strlen(message.c_str()) > 0) Free(SKprintf(message.c_str()));

  // A plain or nested argument stays one item: the next argument survives
  // whenever the message had room for it.
  const char* message2 = NlsPackMessage(250, 3, text, "end");
  const bool room = std::strlen(message2) + 8 < static_cast<size_t>(kNlsPackedMax);
  char* packed = NlsFormatPackedMessage(message2);
  if (packed == nullptr) std::abort();
  const size_t n = std::strlen(packed);
  if (room && (n < 4 || std::strcmp(packed + n - 4, "|end") != 0)) std::abort();
  Free(packed);
  return 0;
}

// Packed messages as the packer writes them: typed, positional and nested
// arguments.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  OpenCatalogue();
  seeds->Add("positional", NlsPackMessage(250, 1, 42, "text"));
  seeds->Add("typed", NlsPackMessage(250, 4, 7, 2.5, 255, 'c'));
  seeds->Add("nested", NlsPackMessage(250, 2, NlsPackMessage(250, 3, "a", NlsPackMessage(11, 2))));
  seeds->Add("repeated", NlsPackMessage(250, 5, "x", "y", "z"));
}

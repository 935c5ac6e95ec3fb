// Fuzz target of the catalogue file reader: any file is either refused or
// answers every lookup from inside itself, mapped and through reads alike.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/nls.h"
#include "cmn/nlsfile.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/nlscat_fuzz.cpp");

namespace {

std::string path;

void Probe(const std::uint8_t* data, std::size_t size) {
  const CmnCatd h = VEK_catopen(path.c_str(), 0);
  if (h == -1) return;
  tarn::fuzz::Accepted();
  // Ask for every (set, number) the index names, and for a few it does not.
  std::uint32_t count = 0;
  std::memcpy(&count, data + 4, sizeof count);
  for (std::uint32_t i = 0; i < count && i < 64; ++i) {
    NlsCatEntry e;
    std::memcpy(&e, data + kNlsCatHeaderSize + i * kNlsCatEntrySize, sizeof e);
    const char* text = VEK_catgets(h, static_cast<int>(e.set & kNlsCatSetMask),
                                   static_cast<int>(e.number), nullptr);
    if (text != nullptr && std::strlen(text) > static_cast<size_t>(kNlsMaxText)) std::abort();
  }
  for (int set : {0, 11, 12, 255, 256}) VEK_catgets(h, set, 1, nullptr);
  (void)size;
  if (VEK_catclose(h) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A file of its own per input, gone before the next: a fuzzer ends
  // without running destructors.
  static const std::string pattern = tarn::fuzz::ScratchDir() + "/nlscat_fuzz.XXXXXX";
  std::string name = pattern;
  const int fd = mkstemp(name.data());
  if (fd < 0) std::abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  path = name;
  CmnMapFileForceEmulation(false);
  Probe(data, size);
  CmnMapFileForceEmulation(true);
  Probe(data, size);
  CmnMapFileForceEmulation(false);
  unlink(name.c_str());
  return 0;
}

// The build adds the catalogue it compiles.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->maxLen = 65536;
}

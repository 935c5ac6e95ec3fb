// Fuzz target of the local media agent's shared-memory description as the
// backup buffer manager reads it: any message text ends in a verdict, and a
// description taken as usable has its buffers inside the segment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cmn/strmsg.h"
#include "dacmn/bm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrParseStartNL(&msg, reinterpret_cast<const char*>(data), size) >= 0) {
    BmShmDescription d{};
    if (BmParseShmDescription(&msg, &d) == nullptr) {
      const std::uint64_t end =
          std::uint64_t(d.bufSize) * std::uint64_t(d.section + 1) * std::uint64_t(d.bufNum);
      if (d.bufNum < 1 || d.bufNum > kBmMaxBuffers || end > std::uint64_t(d.shmSize)) std::abort();
    }
  }
  StrMsgFreeL(&msg);
  return 0;
}

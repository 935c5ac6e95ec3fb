// Fuzz target of the media side's shared-memory descriptions as the buffer
// managers read them: a local agent's seven items and a network process's
// MSG_LISTEN. Any message text ends in a verdict, and a description taken as
// usable has its buffers inside the segment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn/dashm.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"

namespace {

void ExpectInside(const BmShmDescription& d, DaSide side) {
  const std::uint64_t rings = side == DA_RESTORE ? 1 : std::uint64_t(d.section) + 1;
  const std::uint64_t end = std::uint64_t(d.bufSize) * rings * std::uint64_t(d.bufNum);
  if (d.bufNum < 1 || d.bufNum > kBmMaxBuffers || end > std::uint64_t(d.shmSize)) std::abort();
  DaShmBuffers shm{};
  shm.shmemSection = d.section;
  shm.bufNum = d.bufNum;
  shm.bufSize = d.bufSize;
  if (DaBufferStart(shm, d.bufNum - 1, side) + std::uint64_t(d.bufSize) >
          std::uint64_t(d.shmSize) ||
      DaBlockSkip(d.bufOffset) >= d.bufSize) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StrMsg msg;
  StrMsgInitL(&msg);
  const char* text = reinterpret_cast<const char*>(data);
  for (const DaSide side : {DA_BACKUP, DA_RESTORE}) {
    if (StrParseStartNL(&msg, text, size) >= 0) {
      BmShmDescription d{};
      if (BmParseShmDescription(&msg, &d, side) == nullptr) {
        ExpectInside(d, side);
        tarn::fuzz::Accepted();
      }
    }
    if (StrParseStartNL(&msg, text, size) >= 0) {
      BmShmDescription d{};
      if (DaParseListen(&msg, &d) == nullptr && BmCheckShmDescription(d, side) == nullptr) {
        ExpectInside(d, side);
        tarn::fuzz::Accepted();
      }
    }
  }
  StrMsgFreeL(&msg);
  return 0;
}

// A local agent's description of its segment, and a network process's
// MSG_LISTEN, as their writers build them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using tarn::fuzz::MessageBytes;
  seeds->Add("local", MessageBytes(MSG_LISTEN, {"1", "4660", "0", "2048", "8", "65536", "0"}));
  seeds->Add("listen", MessageBytes(MSG_LISTEN, {"4660", "32768", "1", "8", "2048", "64"}));
}

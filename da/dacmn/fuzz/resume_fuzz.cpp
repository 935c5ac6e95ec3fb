// Fuzz target of what a reconnecting network process reads from the media
// agent: the description and the buffer state that decide which blocks are
// sent again and which acknowledgements are made up. The first bytes set the
// stream's counters and rings, the rest is the agent's byte stream. Whatever
// it says, the rings stay inside their 64 slots and never hold more ids than
// buffers were out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cmn/cmninit.h"
#include "dacmn/bdanet.h"
#include "fedpeer.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"
#include "fuzz/wireseed.h"
#include "ipc/ipc.h"

TARN_RCSID("da/dacmn/fuzz/resume_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = [] {
    CmnSetProgname("dafuzz");
    return IpcInit() == 0;
  }();
  constexpr std::size_t kHead = 6;
  if (!started || size < kHead) return 0;
  const int count = 1 + data[0] % kBmMaxBuffers;
  const int out = data[1] % (count + 1);
  IdRing maRing{};
  IdRing ackRing{};
  NetClrID(&maRing);
  NetClrID(&ackRing);
  // Rings part-way round, as a running stream leaves them.
  for (int n = 0; n < data[2] % 64; ++n) {
    NetPutID(&maRing, n % count);
    NetGetID(&maRing);
  }
  for (int n = 0; n < out; ++n) {
    NetPutID(&maRing, n % count);
    NetGetID(&maRing);
  }
  const int queued = data[3] % (count - out + 1);
  for (int n = 0; n < queued; ++n) NetPutID(&maRing, n % count);
  DaNetLink link{kIpcNoHandle,
                 &maRing,
                 &ackRing,
                 data[4] % (2 * count),
                 data[5] % (2 * count),
                 data[5] % (count + 1) - 1,
                 out,
                 count,
                 2048,
                 0};

  const tarn::fuzz::FedPeer peer(data + kHead, size - kHead);
  const IpcHandle handle = peer.handle();
  link.maHandle = handle;
  if (ResumeDAMA(&link, handle) == Reconnect::kDone) {
    if (maRing.idSize > queued + out || ackRing.idSize > out) std::abort();
    tarn::fuzz::Accepted();
  }
  if (maRing.idSize < 0 || maRing.idSize > kBmMaxBuffers || ackRing.idSize < 0 ||
      ackRing.idSize > kBmMaxBuffers) {
    std::abort();
  }
  return 0;
}

// An agent that resumes a stream of eight 2048-byte buffers with three out:
// its description, then its counters, one block behind and one
// acknowledgement ahead.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using tarn::fuzz::MessageBytes;
  // Eight buffers, three out, two queued, block counter 10, ack counter 7.
  const std::string head = {7, 3, 5, 2, 10, 7};
  seeds->Add("resume",
             head + tarn::fuzz::WireBytes(
                        {MessageBytes(MSG_LISTEN, {"0", "4660", "0", "2048", "8", "16384", "0"}),
                         MessageBytes(MSG_MA_BUFFER_STATE, {"9", "8"})}));
}

// Fuzz target of what the data path reads from its peers: the media side's
// protocol offers and the key service's replies. The first byte picks the
// call, the rest is the peer's byte stream; any stream ends in a result,
// never in a read outside the buffers or a wait without end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "dacmn/dacmn.h"
#include "fedpeer.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"
#include "fuzz/wireseed.h"
#include "ipc/ipc.h"

TARN_RCSID("da/dacmn/fuzz/peer_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = [] {
    CmnSetProgname("dafuzz");
    return IpcInit() == 0;
  }();
  if (!started || size < 1) return 0;
  {
    // The first byte is ours; the rest is the peer's.
    const tarn::fuzz::FedPeer peer(data + 1, size - 1);
    const IpcHandle handle = peer.handle();
    const int choice = data[0] % 4;
    if (choice == 3) {
      IpcSetAsyncDynBuf(handle);
      if (IpcReceiveData(handle, nullptr, 0) > 0 && DaProtocolCheck(handle, nullptr) == 0)
        tarn::fuzz::Accepted();
    } else {
      std::vector<char> buffer(kDaSmBufferSize);
      DaKeyInfo info{};
      std::memcpy(info.entity, "fuzz", 5);
      if (DaeGetKeyInfo(handle, buffer.data(), &info, choice) > 0) tarn::fuzz::Accepted();
    }
  }
  ErhClearError();
  return 0;
}

namespace {

std::string Hex(std::size_t bytes, unsigned char fill) {
  const std::vector<unsigned char> data(bytes, fill);
  std::string text(2 * bytes + 1, '\0');
  if (StrBytesToHex(data.data(), bytes, text.data(), text.size()) < 0) std::abort();
  text.pop_back();
  return text;
}

}  // namespace

// The key service's replies to each request (the first byte), and a media
// agent's protocol offer followed by its first message, as their senders
// put them on the wire.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using tarn::fuzz::MessageBytes;
  using tarn::fuzz::WireBytes;
  const std::string keyId = Hex(kDaKeyIdSize, 0x11);
  const std::string storeId = Hex(kDaKeyIdSize, 0x22);
  const std::string key = Hex(kDaKeySize, 0x5A);
  const std::string reply = WireBytes(
      {MessageBytes(MSG_KEYGET_REPLY, {keyId.c_str(), storeId.c_str(), "1", "0", key.c_str()})});
  seeds->Add("random", DA_KEY_RANDBYTES,
             WireBytes({MessageBytes(MSG_KEYRANDBYTES_REPLY, {Hex(kDaRandSize, 0x3C).c_str()})}));
  seeds->Add("by_entity", DA_KEY_BY_ENTITY, reply);
  seeds->Add("by_id", DA_KEY_BY_ID, reply);
  seeds->Add("protocol", 3,
             WireBytes({MessageBytes(MSG_PROTOCOL, {"27", "100", "600", "A.01.00", "ma", "2"}),
                        MessageBytes(MSG_LISTEN, {"4660", "16384", "0", "8", "2048", "0"})}));
}

// Length framing spoken by every peer of the stand-ins: a 4-byte big-endian
// length, then exactly that many bytes.
#include "codec/frame.h"

#include <limits>
#include <stdexcept>

#include "codec/rcsid.h"

TARN_RCSID("platform/codec/frame.cpp");

namespace tarn::standin {

std::string Frame(std::string_view data) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("frame data longer than a 32-bit length");
  }
  const FrameHeader header = EncodeFrameHeader(static_cast<std::uint32_t>(data.size()));
  std::string out;
  out.reserve(kFrameHeaderSize + data.size());
  out.append(reinterpret_cast<const char*>(header.data()), header.size());
  out.append(data);
  return out;
}

}  // namespace tarn::standin

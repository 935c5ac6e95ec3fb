// Feeds arbitrary bytes to the image readers of the stand-in DB2.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "db2/image.h"
#include "db2/util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::span(data, size);
  (void)db2sim::DecodeShareHeader(bytes);
  try {
    (void)db2sim::DecodePayload(bytes);
  } catch (const db2sim::Error&) {
  }
  try {
    std::size_t half = size / 2;
    (void)db2sim::AssembleShares(
        {std::string(reinterpret_cast<const char*>(data), half),
         std::string(reinterpret_cast<const char*>(data) + half, size - half)});
  } catch (const db2sim::Error&) {
  }
  return 0;
}

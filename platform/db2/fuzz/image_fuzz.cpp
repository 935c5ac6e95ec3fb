// Feeds arbitrary bytes to the image readers of the stand-in DB2.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db2/image.h"
#include "db2/util.h"
#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::span(data, size);
  if (db2sim::DecodeShareHeader(bytes)) tarn::fuzz::Accepted();
  try {
    if (!db2sim::DecodePayload(bytes).empty()) tarn::fuzz::Accepted();
  } catch (const db2sim::Error&) {
  }
  try {
    const db2sim::Pieces pieces =
        db2sim::DecodePieces(std::string_view(reinterpret_cast<const char*>(data), size), 64);
    if (!pieces.empty()) tarn::fuzz::Accepted();
  } catch (const db2sim::Error&) {
  }
  try {
    std::size_t half = size / 2;
    (void)db2sim::AssembleShares(
        {std::string(reinterpret_cast<const char*>(data), half),
         std::string(reinterpret_cast<const char*>(data) + half, size - half)});
    tarn::fuzz::Accepted();
  } catch (const db2sim::Error&) {
  }
  return 0;
}

// A payload as the stand-in DB2 encodes a partition's content, and that
// payload cut into two shares with their headers, as its backup sends them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->maxLen = 16384;
  // Both halves of the input must be whole shares: a payload of even length.
  const auto encode = [](std::size_t n) {
    return db2sim::EncodePayload(
        {{"SYSCATSPACE/c0", std::string(n, 's')}, {"USERSPACE1/c0", "user data"}, {"state", ""}});
  };
  const std::string payload = encode(1000).size() % 2 == 0 ? encode(1000) : encode(1001);
  seeds->Add("payload", payload);
  const auto all = std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  const std::uint64_t sum = db2sim::Checksum(all);
  std::string shares;
  for (std::uint32_t i = 0; i < 2; ++i) {
    const auto [offset, length] = db2sim::ShareRange(payload.size(), i, 2);
    const db2sim::ShareHeader h{i,      2,      3,   payload.size(),
                                offset, length, sum, db2sim::Checksum(all.subspan(offset, length))};
    const auto head = db2sim::EncodeShareHeader(h);
    shares.append(reinterpret_cast<const char*>(head.data()), head.size());
    shares.append(payload, offset, length);
  }
  seeds->Add("shares", shares);
  // What a backup session is told about its share.
  seeds->Add("pieces", db2sim::EncodePieces({db2sim::Piece{"head"},
                                             db2sim::Piece{{}, "/db/NODE0000/c0", 16, 4096}}));
}

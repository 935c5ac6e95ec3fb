// Layout of a backup image as the stand-in DB2 writes it through a vendor
// library: the database content (payload) cut into one share per session,
// each share sent as one backup object = a 64-byte header + the share's bytes.
// A restore checks every header and both checksums before it applies anything.
//
// Header, little-endian:
//   0  8  magic "SDB2IMG1"
//   8  4  header version (1)
//  12  4  share index (0-based)
//  16  4  share count
//  20  4  partition number (signed)
//  24  8  payload length (whole image)
//  32  8  share offset in the payload
//  40  8  share length
//  48  8  payload checksum
//  56  8  share checksum
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace db2sim {

inline constexpr std::size_t kShareHeaderSize = 64;
inline constexpr std::uint32_t kShareVersion = 1;

struct ShareHeader {
  std::uint32_t index = 0;
  std::uint32_t count = 0;
  std::int32_t node = 0;
  std::uint64_t payloadLength = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t payloadChecksum = 0;
  std::uint64_t shareChecksum = 0;
};

std::array<std::uint8_t, kShareHeaderSize> EncodeShareHeader(const ShareHeader& h);
// Empty when the bytes are not a sound header (magic, version, index below
// count, share inside the payload).
std::optional<ShareHeader> DecodeShareHeader(std::span<const std::uint8_t> bytes);

// Offset and length of share `index` of `count` over `payloadLength` bytes:
// equal cuts, the last one takes the rest.
std::pair<std::uint64_t, std::uint64_t> ShareRange(std::uint64_t payloadLength, std::uint32_t index,
                                                   std::uint32_t count);

// Database content as one payload: per container, the record
//   u32 name length, name, u64 data length, data   (little-endian)
// where name is "<table space>/<container>".
struct PayloadEntry {
  std::string name;
  std::string data;
};
std::string EncodePayload(const std::vector<PayloadEntry>& entries);
// Throws Error on a truncated or malformed payload.
std::vector<PayloadEntry> DecodePayload(std::span<const std::uint8_t> payload);

// Puts the shares back together and checks them: every index of one count
// exactly once, each share checksum, lengths, the payload checksum. Throws
// Error describing the first fault.
std::string AssembleShares(const std::vector<std::string>& objects);

}  // namespace db2sim

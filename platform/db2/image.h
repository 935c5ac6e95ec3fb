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
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db2/util.h"

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

// A byte stream laid together from pieces, so that an image of any size
// passes through a few buffers: bytes held here (record heads, the small
// state entry, a share header) or ranges of files (container data, stored
// backup objects).
struct Piece {
  std::string bytes;  // the piece, when path is empty
  std::string path;
  std::uint64_t offset = 0;  // of the file range
  std::uint64_t length = 0;
  std::uint64_t size() const { return path.empty() ? bytes.size() : length; }
};
using Pieces = std::vector<Piece>;

std::uint64_t PiecesSize(const Pieces& pieces);
// The pieces that cover bytes [offset, offset + length) of the stream, which
// must lie inside it.
Pieces SlicePieces(const Pieces& pieces, std::uint64_t offset, std::uint64_t length);

// Reads a stream of pieces in order, one file open at a time. Throws Error
// when a file cannot be read or ends inside its range.
class PieceReader {
 public:
  explicit PieceReader(const Pieces& pieces) : pieces_(pieces) {}
  // Fills `out` with the next bytes; fewer only at the end of the stream.
  std::size_t Read(std::span<std::uint8_t> out);

 private:
  const Pieces& pieces_;
  std::size_t index_ = 0;
  std::uint64_t at_ = 0;  // bytes of the current piece already read
  Fd fd_;
};

// Bytes [offset, offset + length) of the stream, for small reads (record
// heads, the state entry). Throws Error.
std::string ReadPieces(const Pieces& pieces, std::uint64_t offset, std::size_t length);

// Hands the stream to `take` in order, file ranges mapped rather than
// copied (a file must cover its range: it is checked before it is mapped).
// Throws Error.
void ScanPieces(const Pieces& pieces,
                const std::function<void(std::span<const std::uint8_t>)>& take);

// Checksum over the whole stream, read once.
std::uint64_t ChecksumPieces(const Pieces& pieces);

// Writes the stream to `path` through a temporary name and rename, file
// ranges copied by the kernel. Throws Error.
void WritePiecesToFile(const std::string& path, const Pieces& pieces);

// What a backup session is told to send: "b <n>\n" and n bytes, or
// "f <offset> <length> <path>\n", per piece. Decode throws Error on
// anything else, or more than `maxPieces` pieces.
std::string EncodePieces(const Pieces& pieces);
Pieces DecodePieces(std::string_view text, std::size_t maxPieces = 100000);

// A payload record whose data lies in pieces (a container file, or a range
// of stored objects).
struct PayloadPart {
  std::string name;
  Pieces data;
};
// The payload of the records: each record's head held here, its data as given.
Pieces PayloadPieces(const std::vector<PayloadPart>& parts);
// The records of a payload in pieces, their data as slices of it (only the
// heads are read). Throws Error on a truncated or malformed payload.
std::vector<PayloadPart> DecodePayloadPieces(const Pieces& payload);

// The headers, checksums included, of a backup of `payload` in `count`
// shares, reading the payload once.
std::vector<ShareHeader> MakeShareHeaders(const Pieces& payload, std::uint32_t count,
                                          std::int32_t node);

// The stored objects of an image checked as AssembleShares checks them,
// reading each byte once: the first header, and the payload as ranges of
// the files. Throws Error describing the first fault.
struct StoredImage {
  ShareHeader header;
  Pieces payload;
};
StoredImage VerifyShareFiles(const std::vector<std::string>& paths);

}  // namespace db2sim

// Reader of the data stream as a media agent stores it: block headers, typed
// records and their bodies, each field checked strictly against the layout.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarn::standin::dastream {

using ByteSpan = std::span<const std::uint8_t>;

// Block header: 16 big-endian words; words 11-15 are zero bytes.
inline constexpr std::size_t kBlockHeaderSize = 64;
inline constexpr std::uint32_t kBlockMagic = 0xBBBBBBBBu;
inline constexpr std::uint32_t kBlockMark = 0x41424344u;  // "ABCD"
inline constexpr std::uint32_t kBlockVersion = 1001;

// Record header: 6 big-endian words and 8 reserved bytes. Records start at
// multiples of 8 from the block start.
inline constexpr std::size_t kRecordHeaderSize = 32;
inline constexpr std::size_t kRecordAlign = 8;
inline constexpr std::uint32_t kRecordMagic = 0xAAAAAAAAu;
inline constexpr std::uint32_t kRecordVersion = 1002;
// The older record version: a data record's length is its low 16 bits alone.
inline constexpr std::uint32_t kRecordVersionShortData = 1001;

// Where the variable part of each body starts, and the fixed record sizes.
inline constexpr std::size_t kStartTextOffset = 116;
inline constexpr std::size_t kAttributeNameOffset = 148;
inline constexpr std::size_t kSystemDataOffset = 64;
inline constexpr std::size_t kDataOffset = 88;
inline constexpr std::size_t kErrorTextOffset = 64;
inline constexpr std::size_t kItemEndSize = 64;
inline constexpr std::size_t kEndSize = 80;
inline constexpr std::size_t kNtFixedSize = 108;
inline constexpr std::size_t kEncryptionSize = 144;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kCryptFieldSize = 16;
inline constexpr std::uint8_t kPaddingByte = 'x';

enum class RecordType : std::uint32_t {
  kStart = 0,
  kAttribute = 1,
  kSystem = 2,
  kData = 3,
  kError = 4,
  kItemEnd = 5,
  kEnd = 6,
  kPadding = 7,
  kNtAttribute = 8,
  kDataSkipped = 9,  // laid out like a data record; readers skip it
  kNtAttributeNoCatalog = 10,
  kEncryption = 11,
  kAttributeNoCatalog = 12,
};

// CRC-32 over `bytes`, reflected polynomial 0xEDB88320, starting from `crc`
// (0 for a fresh sum), no final inversion.
std::uint32_t Crc32(ByteSpan bytes, std::uint32_t crc = 0);

struct BlockHeader {
  std::uint32_t daId = 0;
  std::uint32_t sequence = 0;
  std::uint32_t capacity = 0;
  std::uint32_t used = 0;  // offset just past the last record
};

// Every string_view and span below points into the block given to the decoder;
// the caller keeps that block alive and unchanged while it uses them. Strings
// are without their terminating NUL.

struct StartRecord {
  std::uint32_t daId = 0;
  std::uint32_t objectType = 0;
  std::uint32_t backupType = 0;
  std::uint32_t accessType = 0;
  std::uint32_t accessValue = 0;
  std::uint32_t protectionType = 0;
  std::uint32_t protectionValue = 0;
  std::uint32_t startTime = 0;
  std::uint32_t sinceTime = 0;
  std::string_view objectName;
  std::string_view objectDescription;
  std::string_view applicationName;
  std::string_view applicationDescription;
};

// Types 1 and 12. Ids, size and quantity have their low and high halves joined.
struct AttributeRecord {
  std::uint32_t itemId = 0;
  std::uint32_t fileType = 0;
  std::uint32_t attributeWord = 0;
  std::uint32_t userId = 0;
  std::uint32_t groupId = 0;
  std::uint16_t permissions = 0;
  std::uint32_t modificationTime = 0;
  std::uint64_t size = 0;
  std::uint64_t quantity = 0;
  std::array<std::uint8_t, 32> extra{};  // bytes 116-147 as the writer copied them
  std::string_view name;
};

// Type 2. Its body stays in the writer's byte order (DecodeOptions::systemOrder).
struct SystemRecord {
  std::uint32_t kind = 0;
  std::uint16_t dataLength = 0;
  std::uint16_t dataOffset = 0;
  ByteSpan data;
};

// Types 3 and 9.
struct DataRecord {
  std::uint32_t itemId = 0;
  std::uint32_t offsetLow = 0;
  std::uint32_t offsetHigh = 0;
  std::uint16_t lengthLow = 0;
  std::uint16_t lengthHigh = 0;
  // lengthLow alone in a version-1001 record, else both halves joined.
  std::uint32_t length = 0;
  std::uint16_t dataOffset = 0;
  std::uint32_t compressionId = 0;
  std::uint32_t transformId = 0;
  ByteSpan data;

  std::uint64_t itemOffset() const { return std::uint64_t{offsetHigh} << 32 | offsetLow; }
};

struct ErrorRecord {
  std::uint32_t itemId = 0;
  std::uint32_t errorCode = 0;
  std::string_view text;
};

struct ItemEndRecord {
  std::uint32_t itemId = 0;
  std::uint32_t completionCode = 0;
};

struct EndRecord {
  std::uint32_t daId = 0;
  std::uint32_t startTime = 0;
  std::uint32_t endTime = 0;
  std::uint32_t completionCode = 0;
  std::uint32_t fifth = 0;  // the writer's fifth argument; 0 from every caller
};

// Type 7: a header and `fill` bytes 'x'.
struct PaddingRecord {
  std::size_t fill = 0;
};

// Types 8 and 10, as raw fields: sixteen words at bytes 32-95, six halves at
// 96-107. The accessors name the fields a restore takes.
struct NtAttributeRecord {
  std::array<std::uint32_t, 16> words{};
  std::array<std::uint16_t, 6> halves{};
  // UTF-16 code units from the name offset up to, not including, the first
  // zero unit; their byte order is as stored.
  ByteSpan name;

  std::uint32_t itemId() const { return words[0]; }
  std::uint32_t attributeBits() const { return words[2]; }
  std::uint32_t fileType() const { return words[3]; }
  std::uint32_t attributeWord() const { return words[4]; }
  std::span<const std::uint32_t, 6> keptWords() const {
    return std::span<const std::uint32_t, 16>(words).subspan<5, 6>();
  }
  std::uint32_t modificationTime() const { return words[11]; }
  std::uint64_t size() const { return std::uint64_t{words[14]} << 32 | words[13]; }
  std::uint16_t nameOffset() const { return halves[3]; }
};

// Type 11. The metadata is byte 0, then fields B, A and C; the 32-byte key
// that follows it is never stored, only its CRC.
struct EncryptionRecord {
  std::uint8_t metadataByte0 = 0;
  std::uint16_t one = 0;
  std::uint32_t offsetA = 0, lengthA = 0;
  std::uint32_t offsetB = 0, lengthB = 0;
  std::uint32_t offsetC = 0, lengthC = 0;
  std::uint32_t keyCrc = 0;
  std::array<std::uint8_t, kCryptFieldSize> fieldA{};
  std::array<std::uint8_t, kCryptFieldSize> fieldB{};
  std::array<std::uint8_t, kCryptFieldSize> fieldC{};

  // The 49 metadata bytes in front of the key, rebuilt from the fields.
  std::array<std::uint8_t, 1 + 3 * kCryptFieldSize> metadata() const;
};

using RecordBody =
    std::variant<StartRecord, AttributeRecord, SystemRecord, DataRecord, ErrorRecord, ItemEndRecord,
                 EndRecord, PaddingRecord, NtAttributeRecord, EncryptionRecord>;

struct Record {
  std::size_t offset = 0;  // from the block start
  std::uint32_t type = 0;
  std::uint32_t format = 0;
  std::uint32_t version = 0;
  std::uint32_t sequence = 0;
  std::uint32_t length = 0;  // header included, without the gap to the next record
  RecordBody body;

  // The body as `T`, or null when the record is of another layout.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&body);
  }
};

struct Block {
  BlockHeader header;
  std::vector<Record> records;
};

struct DecodeOptions {
  // Bytes the writer leaves unused must be zero: record header bytes 24-31,
  // the reserved areas of the bodies and the gap up to the next record.
  bool reservedMustBeZero = true;
  // Byte order of system data bodies: that of the host that wrote them.
  std::endian systemOrder = std::endian::native;
  // When given, every encryption record's CRC must be that of this key.
  std::optional<std::array<std::uint8_t, kKeySize>> key;
};

// Decodes one stored block on its own. `block` is the whole block as stored;
// its size must equal the capacity in the header. Records inside it must
// follow each other in sequence, a start record carrying 0; the first record's
// number is free unless it is a start record. Nothing on any fault, with a
// text that names block, record offset and field in *why when given.
std::optional<Block> DecodeBlock(ByteSpan block, const DecodeOptions& options = {},
                                 std::string* why = nullptr);
// The result would point into a temporary.
std::optional<Block> DecodeBlock(std::vector<std::uint8_t>&&, const DecodeOptions& = {},
                                 std::string* = nullptr) = delete;

// Checks a stream block by block as it is stored. Besides what DecodeBlock
// checks: block sequence numbers run 0, 1, 2, ...; every block carries the
// DA id of the first; record sequence numbers continue across blocks. The
// first fault ends the stream: every later Feed fails with the same text.
class StreamDecoder {
 public:
  explicit StreamDecoder(DecodeOptions options = {}) : options_(std::move(options)) {}

  // Decodes the next block. Nothing when it, or an earlier block, is faulty.
  std::optional<Block> Feed(ByteSpan block);
  std::optional<Block> Feed(std::vector<std::uint8_t>&&) = delete;
  // Feed without keeping the result.
  bool Check(ByteSpan block) { return Feed(block).has_value(); }

  bool failed() const { return !error_.empty(); }
  // The first fault, empty while none was found.
  const std::string& error() const { return error_; }
  // Blocks and records accepted so far.
  std::uint32_t blocks() const { return blocks_; }
  std::uint64_t records() const { return records_; }

 private:
  DecodeOptions options_;
  std::string error_;
  std::uint32_t blocks_ = 0;
  std::uint64_t records_ = 0;
  std::optional<std::uint32_t> daId_;
  std::optional<std::uint32_t> lastRecord_;
};

}  // namespace tarn::standin::dastream

// Reader of the data stream as a media agent stores it: block headers, typed
// records and their bodies, each field checked strictly against the layout.
#include "codec/dastream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/rcsid.h"

TARN_RCSID("platform/codec/dastream.cpp");

namespace tarn::standin::dastream {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr std::size_t RoundUp8(std::size_t n) {
  return (n + kRecordAlign - 1) & ~(kRecordAlign - 1);
}

std::string Hex(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string HexByte(std::uint8_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string Num(std::uint64_t value) {
  return std::to_string(value);
}

bool AllZero(ByteSpan bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Record type, its format word (none for types without a writer) and name.
struct TypeInfo {
  RecordType type;
  std::optional<std::uint32_t> format;
  const char* name;
};
constexpr std::array<TypeInfo, 13> kTypes = {{
    {RecordType::kStart, 7, "start"},
    {RecordType::kAttribute, 10, "attribute"},
    {RecordType::kSystem, 22, "system data"},
    {RecordType::kData, 7, "data"},
    {RecordType::kError, 7, "error"},
    {RecordType::kItemEnd, 7, "item end"},
    {RecordType::kEnd, 10, "end"},
    {RecordType::kPadding, 7, "padding"},
    {RecordType::kNtAttribute, std::nullopt, "NT attribute"},
    {RecordType::kDataSkipped, std::nullopt, "data"},
    {RecordType::kNtAttributeNoCatalog, std::nullopt, "NT attribute"},
    {RecordType::kEncryption, 3, "encryption"},
    {RecordType::kAttributeNoCatalog, 10, "attribute"},
}};
static_assert([] {
  for (std::size_t i = 0; i < kTypes.size(); ++i)
    if (static_cast<std::size_t>(kTypes[i].type) != i) return false;
  return true;
}());

// One record's bytes, header included, with big-endian field access by offset
// from the record start. Callers check the length before reading a field.
class RecordBytes {
 public:
  explicit RecordBytes(ByteSpan bytes) : bytes_(bytes) {}
  std::size_t size() const { return bytes_.size(); }
  std::uint16_t u16(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes_[at] << 8 | bytes_[at + 1]);
  }
  std::uint32_t u32(std::size_t at) const {
    return std::uint32_t{bytes_[at]} << 24 | std::uint32_t{bytes_[at + 1]} << 16 |
           std::uint32_t{bytes_[at + 2]} << 8 | bytes_[at + 3];
  }
  std::uint16_t u16le(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes_[at + 1] << 8 | bytes_[at]);
  }
  std::uint32_t u32le(std::size_t at) const {
    return std::uint32_t{bytes_[at + 3]} << 24 | std::uint32_t{bytes_[at + 2]} << 16 |
           std::uint32_t{bytes_[at + 1]} << 8 | bytes_[at];
  }
  ByteSpan span(std::size_t at, std::size_t size) const { return bytes_.subspan(at, size); }
  ByteSpan from(std::size_t at) const { return bytes_.subspan(at); }
  std::string_view text(std::size_t at, std::size_t size) const {
    return {reinterpret_cast<const char*>(bytes_.data() + at), size};
  }

 private:
  ByteSpan bytes_;
};

// Decodes one block; `lastRecord` carries the record sequence in and out.
class BlockDecoding {
 public:
  BlockDecoding(ByteSpan block, std::uint32_t index, const DecodeOptions& options,
                std::optional<std::uint32_t>& lastRecord, std::string& why)
      : block_(block), index_(index), options_(options), lastRecord_(lastRecord), why_(why) {}

  // The block header, then the records. A caller may check the header
  // against its stream between the two.
  bool Header(BlockHeader& header);
  bool Records(Block& out);
  bool BlockFault(const std::string& text) {
    why_ = "block " + Num(index_) + ": " + text;
    return false;
  }

 private:
  bool Fault(const std::string& text) {
    why_ = "block " + Num(index_) + ", record at " + Num(recordAt_) + ": " + text;
    return false;
  }
  bool OneRecord(std::size_t used, Record& record);
  bool Reserved(const RecordBytes& rec, std::size_t from, std::size_t to);
  bool MustBeZero(const RecordBytes& rec, std::size_t from, std::size_t to, const char* what);
  bool Exactly(std::size_t length, std::size_t wanted, const char* what);
  bool AtLeast(std::size_t length, std::size_t wanted, const char* what);
  bool Text(const RecordBytes& rec, std::size_t length, std::size_t offset, const char* what,
            std::string_view& out);

  bool Start(const RecordBytes& rec, StartRecord& out);
  bool Attribute(const RecordBytes& rec, AttributeRecord& out);
  bool System(const RecordBytes& rec, SystemRecord& out);
  bool Data(const RecordBytes& rec, std::uint32_t version, DataRecord& out);
  bool Error(const RecordBytes& rec, ErrorRecord& out);
  bool ItemEnd(const RecordBytes& rec, ItemEndRecord& out);
  bool End(const RecordBytes& rec, EndRecord& out);
  bool Padding(const RecordBytes& rec, PaddingRecord& out);
  bool NtAttribute(const RecordBytes& rec, NtAttributeRecord& out);
  bool Encryption(const RecordBytes& rec, EncryptionRecord& out);

  ByteSpan block_;
  std::uint32_t index_;
  const DecodeOptions& options_;
  std::optional<std::uint32_t>& lastRecord_;
  std::string& why_;
  std::size_t recordAt_ = 0;
};

bool BlockDecoding::Header(BlockHeader& header) {
  if (block_.size() < kBlockHeaderSize)
    return BlockFault(Num(block_.size()) + " bytes, shorter than the 64-byte block header");
  const RecordBytes h(block_);
  if (h.u32(0) != kBlockMagic) return BlockFault("block magic " + Hex(h.u32(0)));
  if (h.u32(4) != kBlockMark) return BlockFault("word 1 is " + Hex(h.u32(4)) + ", not 0x41424344");
  if (h.u32(20) != kBlockVersion) return BlockFault("block version " + Num(h.u32(20)));
  if (h.u32(12) != 0) return BlockFault("word 3 is " + Hex(h.u32(12)) + ", not 0");
  if (h.u32(16) != 1) return BlockFault("word 4 is " + Hex(h.u32(16)) + ", not 1");
  if (h.u32(36) != 0) return BlockFault("word 9 is " + Hex(h.u32(36)) + ", not 0");
  if (h.u32(40) != 0) return BlockFault("word 10 is " + Hex(h.u32(40)) + ", not 0");
  if (!AllZero(h.span(44, 20))) return BlockFault("words 11-15 are not zero");
  header.daId = h.u32(8);
  header.sequence = h.u32(24);
  header.capacity = h.u32(28);
  header.used = h.u32(32);
  if (header.capacity != block_.size()) {
    return BlockFault("capacity " + Num(header.capacity) + " differs from the stored size " +
                      Num(block_.size()));
  }
  if (header.used < kBlockHeaderSize || header.used > header.capacity) {
    return BlockFault("used bytes " + Num(header.used) + " outside 64.." + Num(header.capacity));
  }
  if (header.used % kRecordAlign != 0 && header.used != header.capacity) {
    return BlockFault("used bytes " + Num(header.used) +
                      " neither a multiple of 8 nor the capacity");
  }
  return true;
}

bool BlockDecoding::Records(Block& out) {
  const std::size_t used = out.header.used;
  std::size_t at = kBlockHeaderSize;
  while (at < used) {
    recordAt_ = at;
    Record record;
    record.offset = at;
    if (!OneRecord(used, record)) return false;
    const std::size_t end = at + record.length;
    const std::size_t next = std::min(RoundUp8(end), used);
    if (options_.reservedMustBeZero && !AllZero(block_.subspan(end, next - end)))
      return Fault("gap bytes after the record are not zero");
    out.records.push_back(std::move(record));
    at = next;
  }
  return true;
}

bool BlockDecoding::OneRecord(std::size_t used, Record& record) {
  const std::size_t left = used - recordAt_;
  if (left < kRecordHeaderSize) {
    return Fault(Num(left) + " bytes left before the used end " + Num(used) +
                 ", less than a record header");
  }
  const RecordBytes head(block_.subspan(recordAt_, kRecordHeaderSize));
  if (head.u32(0) != kRecordMagic) return Fault("record magic " + Hex(head.u32(0)));
  record.type = head.u32(4);
  record.format = head.u32(8);
  record.version = head.u32(12);
  record.sequence = head.u32(16);
  record.length = head.u32(20);
  if (record.type >= kTypes.size()) return Fault("unknown record type " + Num(record.type));
  const TypeInfo& info = kTypes[record.type];
  if (record.version != kRecordVersion && record.version != kRecordVersionShortData)
    return Fault("record version " + Num(record.version));
  if (info.format && record.format != *info.format) {
    return Fault(std::string(info.name) + " record format word " + Num(record.format) +
                 ", expected " + Num(*info.format));
  }
  if (record.length < kRecordHeaderSize)
    return Fault("record length " + Num(record.length) + " shorter than its header");
  if (record.length > left) {
    return Fault("record length " + Num(record.length) + " runs past the used bytes " + Num(used));
  }
  if (info.type == RecordType::kStart) {
    if (record.sequence != 0)
      return Fault("start record sequence " + Num(record.sequence) + ", expected 0");
  } else if (lastRecord_ && record.sequence != *lastRecord_ + 1) {
    return Fault("record sequence " + Num(record.sequence) + ", expected " +
                 Num(std::uint32_t(*lastRecord_ + 1)));
  }
  const RecordBytes rec(block_.subspan(recordAt_, record.length));
  if (!Reserved(rec, 24, 32)) return false;

  bool ok = false;
  switch (info.type) {
    case RecordType::kStart: ok = Start(rec, record.body.emplace<StartRecord>()); break;
    case RecordType::kAttribute:
    case RecordType::kAttributeNoCatalog:
      ok = Attribute(rec, record.body.emplace<AttributeRecord>());
      break;
    case RecordType::kSystem: ok = System(rec, record.body.emplace<SystemRecord>()); break;
    case RecordType::kData:
    case RecordType::kDataSkipped:
      ok = Data(rec, record.version, record.body.emplace<DataRecord>());
      break;
    case RecordType::kError: ok = Error(rec, record.body.emplace<ErrorRecord>()); break;
    case RecordType::kItemEnd: ok = ItemEnd(rec, record.body.emplace<ItemEndRecord>()); break;
    case RecordType::kEnd: ok = End(rec, record.body.emplace<EndRecord>()); break;
    case RecordType::kPadding: ok = Padding(rec, record.body.emplace<PaddingRecord>()); break;
    case RecordType::kNtAttribute:
    case RecordType::kNtAttributeNoCatalog:
      ok = NtAttribute(rec, record.body.emplace<NtAttributeRecord>());
      break;
    case RecordType::kEncryption:
      ok = Encryption(rec, record.body.emplace<EncryptionRecord>());
      break;
  }
  if (!ok) return false;
  lastRecord_ = record.sequence;
  return true;
}

bool BlockDecoding::Reserved(const RecordBytes& rec, std::size_t from, std::size_t to) {
  if (!options_.reservedMustBeZero || AllZero(rec.span(from, to - from))) return true;
  return Fault("reserved bytes " + Num(from) + "-" + Num(to - 1) + " are not zero");
}

bool BlockDecoding::MustBeZero(const RecordBytes& rec, std::size_t from, std::size_t to,
                               const char* what) {
  if (AllZero(rec.span(from, to - from))) return true;
  return Fault(std::string(what) + " (bytes " + Num(from) + "-" + Num(to - 1) + ") not zero");
}

bool BlockDecoding::Exactly(std::size_t length, std::size_t wanted, const char* what) {
  if (length == wanted) return true;
  return Fault(std::string(what) + " record length " + Num(length) + ", expected " + Num(wanted));
}

bool BlockDecoding::AtLeast(std::size_t length, std::size_t wanted, const char* what) {
  if (length >= wanted) return true;
  return Fault(std::string(what) + " record length " + Num(length) + ", shorter than " +
               Num(wanted));
}

bool BlockDecoding::Text(const RecordBytes& rec, std::size_t length, std::size_t offset,
                         const char* what, std::string_view& out) {
  if (length == 0) return Fault(std::string(what) + " length 0 leaves no room for its NUL");
  if (offset + length > rec.size()) {
    return Fault(std::string(what) + " at " + Num(offset) + " length " + Num(length) +
                 " runs past the record length " + Num(rec.size()));
  }
  const ByteSpan bytes = rec.span(offset, length);
  if (bytes.back() != 0) return Fault(std::string(what) + " is not NUL-terminated");
  if (std::memchr(bytes.data(), 0, length - 1) != nullptr)
    return Fault(std::string(what) + " holds a NUL before its end");
  out = rec.text(offset, length - 1);
  return true;
}

bool BlockDecoding::Start(const RecordBytes& rec, StartRecord& out) {
  if (!AtLeast(rec.size(), kStartTextOffset, "start")) return false;
  out.daId = rec.u32(32);
  out.objectType = rec.u32(36);
  out.backupType = rec.u32(40);
  out.accessType = rec.u32(44);
  out.accessValue = rec.u32(48);
  out.protectionType = rec.u32(52);
  out.protectionValue = rec.u32(56);
  out.startTime = rec.u32(60);
  out.sinceTime = rec.u32(64);
  struct Field {
    const char* name;
    std::string_view* out;
  };
  const std::array<Field, 4> fields = {{{"object name", &out.objectName},
                                        {"object description", &out.objectDescription},
                                        {"application name", &out.applicationName},
                                        {"application description", &out.applicationDescription}}};
  std::size_t expected = kStartTextOffset;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::size_t length = rec.u16(68 + 4 * i);
    const std::size_t offset = rec.u16(70 + 4 * i);
    if (offset != expected) {
      return Fault(std::string(fields[i].name) + " offset " + Num(offset) + ", expected " +
                   Num(expected));
    }
    if (!Text(rec, length, offset, fields[i].name, *fields[i].out)) return false;
    expected += length;
  }
  if (!Exactly(rec.size(), expected, "start")) return false;
  return Reserved(rec, 84, 116);
}

bool BlockDecoding::Attribute(const RecordBytes& rec, AttributeRecord& out) {
  if (!AtLeast(rec.size(), kAttributeNameOffset, "attribute")) return false;
  out.itemId = rec.u32(32);
  out.fileType = rec.u32(36);
  out.attributeWord = rec.u32(40);
  out.userId = std::uint32_t{rec.u16(84)} << 16 | rec.u16(44);
  out.groupId = std::uint32_t{rec.u16(86)} << 16 | rec.u16(46);
  out.permissions = rec.u16(48);
  out.modificationTime = rec.u32(60);
  out.size = std::uint64_t{rec.u32(88)} << 32 | rec.u32(68);
  out.quantity = std::uint64_t{rec.u32(92)} << 32 | rec.u32(72);
  const ByteSpan extra = rec.span(116, out.extra.size());
  std::copy(extra.begin(), extra.end(), out.extra.begin());
  const std::size_t nameLength = rec.u16(76);
  const std::size_t nameOffset = rec.u16(78);
  if (nameOffset != kAttributeNameOffset)
    return Fault("attribute name offset " + Num(nameOffset) + ", expected 148");
  if (!Text(rec, nameLength, nameOffset, "item name", out.name)) return false;
  if (!Exactly(rec.size(), kAttributeNameOffset + nameLength, "attribute")) return false;
  if (!MustBeZero(rec, 52, 60, "time words at 52 and 56") ||
      !MustBeZero(rec, 64, 68, "time word at 64") || !MustBeZero(rec, 80, 84, "word at 80"))
    return false;
  return Reserved(rec, 50, 52) && Reserved(rec, 96, 116);
}

bool BlockDecoding::System(const RecordBytes& rec, SystemRecord& out) {
  if (!AtLeast(rec.size(), kSystemDataOffset, "system data")) return false;
  const bool big = options_.systemOrder == std::endian::big;
  out.kind = big ? rec.u32(32) : rec.u32le(32);
  out.dataLength = big ? rec.u16(36) : rec.u16le(36);
  out.dataOffset = big ? rec.u16(38) : rec.u16le(38);
  if (out.dataOffset != kSystemDataOffset)
    return Fault("system data offset " + Num(out.dataOffset) + ", expected 64");
  if (!Exactly(rec.size(), kSystemDataOffset + out.dataLength, "system data")) return false;
  out.data = rec.from(kSystemDataOffset);
  return Reserved(rec, 40, 64);
}

bool BlockDecoding::Data(const RecordBytes& rec, std::uint32_t version, DataRecord& out) {
  if (!AtLeast(rec.size(), kDataOffset, "data")) return false;
  out.itemId = rec.u32(32);
  out.offsetLow = rec.u32(36);
  out.offsetHigh = rec.u32(40);
  out.lengthLow = rec.u16(44);
  out.dataOffset = rec.u16(46);
  out.compressionId = rec.u32(48);
  out.transformId = rec.u32(52);
  out.lengthHigh = rec.u16(56);
  out.length = version > kRecordVersionShortData
                   ? std::uint32_t{out.lengthHigh} << 16 | out.lengthLow
                   : out.lengthLow;
  if (out.dataOffset != kDataOffset)
    return Fault("data offset " + Num(out.dataOffset) + ", expected 88");
  if (rec.size() != kDataOffset + std::size_t{out.length}) {
    return Fault("data length " + Num(out.length) + " does not fill the record length " +
                 Num(rec.size()));
  }
  out.data = rec.from(kDataOffset);
  return Reserved(rec, 58, 88);
}

bool BlockDecoding::Error(const RecordBytes& rec, ErrorRecord& out) {
  if (!AtLeast(rec.size(), kErrorTextOffset, "error")) return false;
  out.itemId = rec.u32(32);
  out.errorCode = rec.u32(36);
  const std::size_t length = rec.u16(40);
  const std::size_t offset = rec.u16(42);
  if (offset != kErrorTextOffset)
    return Fault("error text offset " + Num(offset) + ", expected 64");
  if (!Text(rec, length, offset, "error text", out.text)) return false;
  if (!Exactly(rec.size(), kErrorTextOffset + length, "error")) return false;
  return Reserved(rec, 44, 64);
}

bool BlockDecoding::ItemEnd(const RecordBytes& rec, ItemEndRecord& out) {
  if (!Exactly(rec.size(), kItemEndSize, "item end")) return false;
  out.itemId = rec.u32(32);
  out.completionCode = rec.u32(36);
  return Reserved(rec, 40, 64);
}

bool BlockDecoding::End(const RecordBytes& rec, EndRecord& out) {
  if (!Exactly(rec.size(), kEndSize, "end")) return false;
  out.daId = rec.u32(32);
  out.startTime = rec.u32(36);
  out.endTime = rec.u32(40);
  out.completionCode = rec.u32(44);
  out.fifth = rec.u32(48);
  return Reserved(rec, 52, 80);
}

bool BlockDecoding::Padding(const RecordBytes& rec, PaddingRecord& out) {
  const ByteSpan fill = rec.from(kRecordHeaderSize);
  const auto bad =
      std::find_if(fill.begin(), fill.end(), [](std::uint8_t b) { return b != kPaddingByte; });
  if (bad != fill.end()) {
    return Fault("padding byte at " + Num(kRecordHeaderSize + (bad - fill.begin())) + " is " +
                 HexByte(*bad) + ", not 'x'");
  }
  out.fill = fill.size();
  return true;
}

bool BlockDecoding::NtAttribute(const RecordBytes& rec, NtAttributeRecord& out) {
  if (!AtLeast(rec.size(), kNtFixedSize, "NT attribute")) return false;
  for (std::size_t i = 0; i < out.words.size(); ++i) out.words[i] = rec.u32(32 + 4 * i);
  for (std::size_t i = 0; i < out.halves.size(); ++i) out.halves[i] = rec.u16(96 + 2 * i);
  const std::size_t offset = out.nameOffset();
  if (offset < kNtFixedSize || offset >= rec.size()) {
    return Fault("NT name offset " + Num(offset) + " outside " + Num(kNtFixedSize) + ".." +
                 Num(rec.size() - 1));
  }
  for (std::size_t at = offset; at + 2 <= rec.size(); at += 2) {
    if (rec.u16(at) == 0) {
      out.name = rec.span(offset, at - offset);
      return true;
    }
  }
  return Fault("NT name at " + Num(offset) + " has no terminating zero unit");
}

bool BlockDecoding::Encryption(const RecordBytes& rec, EncryptionRecord& out) {
  if (!Exactly(rec.size(), kEncryptionSize, "encryption")) return false;
  const std::uint16_t byte0 = rec.u16(32);
  if (byte0 > 0xFF) return Fault("metadata byte 0 holds " + Num(byte0));
  out.metadataByte0 = static_cast<std::uint8_t>(byte0);
  out.one = rec.u16(34);
  if (out.one != 1) return Fault("encryption word at 34 is " + Num(out.one) + ", not 1");
  struct Field {
    char name;
    std::size_t at;
    std::uint32_t wantedOffset;
    std::uint32_t* offset;
    std::uint32_t* length;
    std::array<std::uint8_t, kCryptFieldSize>* bytes;
  };
  const std::array<Field, 3> fields = {{{'A', 36, 96, &out.offsetA, &out.lengthA, &out.fieldA},
                                        {'B', 44, 112, &out.offsetB, &out.lengthB, &out.fieldB},
                                        {'C', 52, 128, &out.offsetC, &out.lengthC, &out.fieldC}}};
  for (const Field& f : fields) {
    *f.offset = rec.u32(f.at);
    *f.length = rec.u32(f.at + 4);
    if (*f.offset != f.wantedOffset || *f.length != kCryptFieldSize) {
      return Fault(std::string("field ") + f.name + " at " + Num(*f.offset) + " length " +
                   Num(*f.length) + ", expected " + Num(f.wantedOffset) + " length 16");
    }
    const ByteSpan bytes = rec.span(*f.offset, kCryptFieldSize);
    std::copy(bytes.begin(), bytes.end(), f.bytes->begin());
  }
  out.keyCrc = rec.u32(60);
  if (!MustBeZero(rec, 64, 96, "encryption bytes")) return false;
  if (options_.key) {
    const std::uint32_t crc = Crc32(*options_.key);
    if (crc != out.keyCrc)
      return Fault("key CRC " + Hex(crc) + " differs from the stored " + Hex(out.keyCrc));
  }
  return true;
}

}  // namespace

std::uint32_t Crc32(ByteSpan bytes, std::uint32_t crc) {
  for (const std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return crc;
}

std::array<std::uint8_t, 1 + 3 * kCryptFieldSize> EncryptionRecord::metadata() const {
  std::array<std::uint8_t, 1 + 3 * kCryptFieldSize> out{};
  out[0] = metadataByte0;
  std::copy(fieldB.begin(), fieldB.end(), out.begin() + 1);
  std::copy(fieldA.begin(), fieldA.end(), out.begin() + 1 + kCryptFieldSize);
  std::copy(fieldC.begin(), fieldC.end(), out.begin() + 1 + 2 * kCryptFieldSize);
  return out;
}

std::optional<Block> DecodeBlock(ByteSpan block, const DecodeOptions& options, std::string* why) {
  std::optional<std::uint32_t> lastRecord;
  std::string reason;
  Block out;
  BlockDecoding decoding(block, 0, options, lastRecord, reason);
  if (decoding.Header(out.header) && decoding.Records(out)) return out;
  if (why != nullptr) *why = std::move(reason);
  return std::nullopt;
}

std::optional<Block> StreamDecoder::Feed(ByteSpan block) {
  if (failed()) return std::nullopt;
  std::optional<std::uint32_t> lastRecord = lastRecord_;
  Block out;
  BlockDecoding decoding(block, blocks_, options_, lastRecord, error_);
  if (!decoding.Header(out.header)) return std::nullopt;
  if (out.header.sequence != blocks_) {
    decoding.BlockFault("block sequence " + Num(out.header.sequence) + ", expected " +
                        Num(blocks_));
    return std::nullopt;
  }
  if (daId_ && out.header.daId != *daId_) {
    decoding.BlockFault("DA id " + Num(out.header.daId) + ", the stream's is " + Num(*daId_));
    return std::nullopt;
  }
  if (!decoding.Records(out)) return std::nullopt;
  daId_ = out.header.daId;
  lastRecord_ = lastRecord;
  ++blocks_;
  records_ += out.records.size();
  return out;
}

}  // namespace tarn::standin::dastream

// Data-stream blocks and records for the reader's tests, written out byte by
// byte from the layout tables so that no code of a writer stands in between.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tarn::standin::dastream::testbytes {

using Bytes = std::vector<std::uint8_t>;

// A known 32-byte key, 0x00..0x1F; its CRC is 0x882C2B27.
inline constexpr std::array<std::uint8_t, 32> kKey = [] {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  return key;
}();

inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

inline Bytes Zeros(std::size_t n) {
  return Bytes(n, 0);
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Block header words 0-15 for the given fields, then each record padded with
// zeros to a multiple of 8, then zeros up to the capacity.
inline Bytes BlockBytes(std::uint32_t daId, std::uint32_t sequence, std::uint32_t capacity,
                        std::uint32_t used, std::initializer_list<Bytes> records) {
  Bytes b = {0xBB, 0xBB, 0xBB, 0xBB, 0x41, 0x42, 0x43, 0x44};
  b.resize(64);
  Put32(b, 8, daId);
  Put32(b, 16, 1);
  Put32(b, 20, 1001);
  Put32(b, 24, sequence);
  Put32(b, 28, capacity);
  Put32(b, 32, used);
  for (const Bytes& r : records) {
    b.insert(b.end(), r.begin(), r.end());
    b.resize((b.size() + 7) / 8 * 8);
  }
  b.resize(capacity);
  return b;
}

// Capacity 256, one data record of 5 bytes: the whole block as stored.
inline Bytes FirstDataBlock() {
  Bytes b = Cat({
      {0xBB, 0xBB, 0xBB, 0xBB},  // block magic
      {0x41, 0x42, 0x43, 0x44},  // "ABCD"
      {0x00, 0x00, 0x00, 0x07},  // DA id 7
      {0x00, 0x00, 0x00, 0x00},  // word 3
      {0x00, 0x00, 0x00, 0x01},  // word 4
      {0x00, 0x00, 0x03, 0xE9},  // block version 1001
      {0x00, 0x00, 0x00, 0x00},  // block sequence 0
      {0x00, 0x00, 0x01, 0x00},  // capacity 256
      {0x00, 0x00, 0x00, 0xA0},  // used 160
      Zeros(8),                  // words 9 and 10
      Zeros(20),                 // words 11-15
      // record at 64
      {0xAA, 0xAA, 0xAA, 0xAA},  // record magic
      {0x00, 0x00, 0x00, 0x03},  // type 3, data
      {0x00, 0x00, 0x00, 0x07},  // format word 7
      {0x00, 0x00, 0x03, 0xEA},  // record version 1002
      {0x00, 0x00, 0x00, 0x00},  // record sequence 0
      {0x00, 0x00, 0x00, 0x5D},  // length 93
      Zeros(8),                  // reserved
      {0x00, 0x00, 0x00, 0x11},  // item id
      {0x00, 0x00, 0x01, 0x00},  // item offset low
      {0x00, 0x00, 0x00, 0x02},  // item offset high
      {0x00, 0x05},              // data length low
      {0x00, 0x58},              // data offset 88
      {0x00, 0x00, 0x00, 0x00},  // compression id
      {0x00, 0x00, 0x00, 0x03},  // transform id: encrypted
      {0x00, 0x00},              // data length high
      {0x00, 0x00},              // reserved
      Zeros(28),                 // reserved 60-87
      {'h', 'e', 'l', 'l', 'o'},
      Zeros(3),  // gap to 160
  });
  b.resize(256);
  return b;
}

// Start record, length 134, strings "obj1", "d", "VEKBAR", "1.0".
inline Bytes StartRecordBytes() {
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},  // record magic
      {0x00, 0x00, 0x00, 0x00},  // type 0, start
      {0x00, 0x00, 0x00, 0x07},  // format word 7
      {0x00, 0x00, 0x03, 0xEA},  // version 1002
      {0x00, 0x00, 0x00, 0x00},  // sequence 0
      {0x00, 0x00, 0x00, 0x86},  // length 134
      Zeros(8),
      {0x00, 0x00, 0x00, 0x07},  // DA id
      {0x00, 0x00, 0x00, 0x05},  // object type
      {0x00, 0x00, 0x00, 0x01},  // backup type
      {0x00, 0x00, 0x00, 0x02},  // access type
      {0x00, 0x00, 0x00, 0x03},  // access value
      {0x00, 0x00, 0x00, 0x04},  // protection type
      {0x00, 0x01, 0x51, 0x80},  // protection value 86400
      {0x5F, 0x5E, 0x10, 0x00},  // start time 1600000000
      {0x5F, 0x00, 0x00, 0x00},  // since time
      {0x00, 0x05, 0x00, 0x74},  // object name: 5 at 116
      {0x00, 0x02, 0x00, 0x79},  // object description: 2 at 121
      {0x00, 0x07, 0x00, 0x7B},  // application name: 7 at 123
      {0x00, 0x04, 0x00, 0x82},  // application description: 4 at 130
      Zeros(32),                 // reserved 84-115
      {'o', 'b', 'j', '1', 0, 'd', 0, 'V', 'E', 'K', 'B', 'A', 'R', 0, '1', '.', '0', 0},
  });
}

inline Bytes StartBlockAt(std::uint32_t sequence) {
  return BlockBytes(7, sequence, 256, 200, {StartRecordBytes()});
}
inline Bytes StartBlock() {
  return StartBlockAt(0);
}

// Attribute record not for the catalogue (type 12), sequence 1, length 150.
inline Bytes AttributeRecordBytes() {
  Bytes extra(32);
  for (std::size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<std::uint8_t>(0xE0 + i);
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x0C},  // type 12
      {0x00, 0x00, 0x00, 0x0A},  // format word 10
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x01},  // sequence 1
      {0x00, 0x00, 0x00, 0x96},  // length 150
      Zeros(8),
      {0x00, 0x00, 0x00, 0x21},  // item id
      {0x00, 0x00, 0x00, 0x02},  // file type: regular file
      {0x80, 0x00, 0x00, 0x01},  // attribute word
      {0x00, 0x02},              // user id low
      {0x00, 0x04},              // group id low
      {0x01, 0xA4},              // permissions 0644
      {0x00, 0x00},              // reserved
      Zeros(8),                  // time words at 52 and 56
      {0x61, 0x00, 0x00, 0x00},  // modification time
      Zeros(4),                  // time word at 64
      {0x00, 0x00, 0x00, 0x06},  // size low
      {0x00, 0x00, 0x00, 0x08},  // quantity low
      {0x00, 0x02},              // name length
      {0x00, 0x94},              // name offset 148
      Zeros(4),                  // word at 80
      {0x00, 0x01},              // user id high
      {0x00, 0x03},              // group id high
      {0x00, 0x00, 0x00, 0x05},  // size high
      {0x00, 0x00, 0x00, 0x07},  // quantity high
      Zeros(20),                 // reserved 96-115
      extra,                     // 116-147
      {'f', 0},
  });
}

// Error record, sequence 2, length 71, text "EACCES".
inline Bytes ErrorRecordBytes() {
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x04},  // type 4
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x02},  // sequence 2
      {0x00, 0x00, 0x00, 0x47},  // length 71
      Zeros(8),
      {0x00, 0x00, 0x00, 0x21},  // item id
      {0x00, 0x00, 0x00, 0x0D},  // error code 13
      {0x00, 0x07},              // text length
      {0x00, 0x40},              // text offset 64
      Zeros(20),
      {'E', 'A', 'C', 'C', 'E', 'S', 0},
  });
}

// Item end record, length 64.
inline Bytes ItemEndRecordBytes(std::uint8_t sequence) {
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x05},  // type 5
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, sequence},
      {0x00, 0x00, 0x00, 0x40},  // length 64
      Zeros(8),
      {0x00, 0x00, 0x00, 0x21},  // item id
      {0x00, 0x00, 0x00, 0x01},  // completion code
      Zeros(24),
  });
}

// End record, sequence 4, length 80.
inline Bytes EndRecordBytes() {
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x06},  // type 6
      {0x00, 0x00, 0x00, 0x0A},  // format word 10
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x04},  // sequence 4
      {0x00, 0x00, 0x00, 0x50},  // length 80
      Zeros(8),
      {0x00, 0x00, 0x00, 0x07},  // DA id
      {0x5F, 0x5E, 0x10, 0x00},  // start time 1600000000
      {0x5F, 0x5E, 0x10, 0x64},  // end time 1600000100
      {0x00, 0x00, 0x00, 0x02},  // completion code
      {0x00, 0x00, 0x00, 0x00},  // fifth word
      Zeros(28),
  });
}

// Start, attribute, error, item end and end at 64, 200, 352, 424 and 488.
inline Bytes ItemBlock() {
  return BlockBytes(7, 0, 600, 568,
                    {StartRecordBytes(), AttributeRecordBytes(), ErrorRecordBytes(),
                     ItemEndRecordBytes(3), EndRecordBytes()});
}

// Data record of 70000 bytes (low half 4464, high half 1) in a block of 70152.
// As version 1001 the same halves mean 4464 bytes, and the record is shorter.
inline Bytes BigDataBlock(std::uint16_t version) {
  const bool split = version > 1001;
  const std::size_t dataLength = split ? 70000 : 4464;
  Bytes data(dataLength);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  const Bytes record = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x03},
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x03, static_cast<std::uint8_t>(split ? 0xEA : 0xE9)},
      {0x00, 0x00, 0x00, 0x00},
      split ? Bytes{0x00, 0x01, 0x11, 0xC8} : Bytes{0x00, 0x00, 0x11, 0xC8},  // 70088 or 4552
      Zeros(8),
      {0x00, 0x00, 0x00, 0x11},  // item id
      Zeros(8),                  // item offset
      {0x11, 0x70},              // data length low 4464
      {0x00, 0x58},              // data offset 88
      Zeros(8),                  // compression and transform ids
      {0x00, 0x01},              // data length high 1
      Zeros(30),
      data,
  });
  return BlockBytes(7, 0, 70152, split ? 70152 : 4616, {record});
}

// Encryption record of metadata byte 0x5A and bytes 1-48 0x01..0x30, with the
// CRC of kKey.
inline Bytes EncryptionBlock() {
  Bytes fields(48);
  for (std::size_t i = 0; i < 16; ++i) {
    fields[i] = static_cast<std::uint8_t>(0x11 + i);       // A: metadata 17-32
    fields[16 + i] = static_cast<std::uint8_t>(0x01 + i);  // B: metadata 1-16
    fields[32 + i] = static_cast<std::uint8_t>(0x21 + i);  // C: metadata 33-48
  }
  const Bytes record = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x0B},  // type 11
      {0x00, 0x00, 0x00, 0x03},  // format word 3
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x90},  // length 144
      Zeros(8),
      {0x00, 0x5A},              // metadata byte 0
      {0x00, 0x01},              // 1
      {0x00, 0x00, 0x00, 0x60},  // field A offset 96
      {0x00, 0x00, 0x00, 0x10},  // length 16
      {0x00, 0x00, 0x00, 0x70},  // field B offset 112
      {0x00, 0x00, 0x00, 0x10},
      {0x00, 0x00, 0x00, 0x80},  // field C offset 128
      {0x00, 0x00, 0x00, 0x10},
      {0x88, 0x2C, 0x2B, 0x27},  // CRC-32 of the key
      Zeros(32),
      fields,
  });
  return BlockBytes(7, 0, 256, 208, {record});
}

// System data from a little-endian writer, padding of 11 bytes, an NT
// attribute record and a type 9 record without data; used 392 of 400.
inline Bytes MixedBlock() {
  const Bytes system = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x02},  // type 2
      {0x00, 0x00, 0x00, 0x16},  // format word 22
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x00, 0x43},  // length 67
      Zeros(8),
      {0x04, 0x03, 0x02, 0x01},  // kind, writer's order
      {0x03, 0x00},              // data length 3
      {0x40, 0x00},              // data offset 64
      Zeros(24),
      {'a', 'b', 'c'},
  });
  const Bytes padding = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x07},  // type 7
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x01},
      {0x00, 0x00, 0x00, 0x2B},  // length 43
      Zeros(8),
      Bytes(11, 'x'),
  });
  const Bytes nt = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x08},  // type 8
      {0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x02},
      {0x00, 0x00, 0x00, 0x72},  // length 114
      Zeros(8),
      {0x00, 0x00, 0x00, 0x31},  // 32 item id
      {0x00, 0x00, 0x00, 0x00},  // 36
      {0x00, 0x00, 0x00, 0x20},  // 40 attribute bits
      {0x00, 0x00, 0x00, 0x02},  // 44 file type
      {0x00, 0x00, 0x00, 0x44},  // 48 attribute word
      {0x00, 0x00, 0x00, 0x52},  // 52-75 kept words
      {0x00, 0x00, 0x00, 0x56},
      {0x00, 0x00, 0x00, 0x60},
      {0x00, 0x00, 0x00, 0x64},
      {0x00, 0x00, 0x00, 0x68},
      {0x00, 0x00, 0x00, 0x72},
      {0x62, 0x00, 0x00, 0x00},  // 76 modification time
      {0x00, 0x00, 0x00, 0x00},  // 80
      {0x00, 0x00, 0x00, 0x10},  // 84 size low
      {0x00, 0x00, 0x00, 0x09},  // 88 size high
      {0x00, 0x00, 0x00, 0x00},  // 92
      {0x0A, 0x0B, 0x00, 0x00, 0x00, 0x00},
      {0x00, 0x6C},  // 102 name offset 108
      {0x00, 0x00, 0x00, 0x00},
      {'n', 0, 't', 0, 0, 0},
  });
  const Bytes skipped = Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x09},  // type 9
      {0x00, 0x00, 0x00, 0x00},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, 0x03},
      {0x00, 0x00, 0x00, 0x58},  // length 88
      Zeros(8),
      Zeros(14),
      {0x00, 0x58},  // data offset 88
      Zeros(40),
  });
  return BlockBytes(7, 0, 400, 392, {system, padding, nt, skipped});
}

// Padding record of `fill` bytes 'x'.
inline Bytes PaddingRecordBytes(std::uint8_t sequence, std::uint8_t fill) {
  return Cat({
      {0xAA, 0xAA, 0xAA, 0xAA},
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x00, 0x07},
      {0x00, 0x00, 0x03, 0xEA},
      {0x00, 0x00, 0x00, sequence},
      {0x00, 0x00, 0x00, static_cast<std::uint8_t>(32 + fill)},
      Zeros(8),
      Bytes(fill, 'x'),
  });
}

}  // namespace tarn::standin::dastream::testbytes

// CRC-32 by slicing-by-16: sixteen bytes a step through sixteen lookup tables
// that the compiler builds, in both byte orders.
#include "cmn/crc.h"

#include <array>
#include <bit>
#include <cstring>

#include "cmn/defines.h"

TARN_RCSID("lib/cmn/crc.cpp");

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr std::uint32_t Swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Table 0: the register after shifting byte i through eight steps; table k:
// table k-1 carried one byte further.
constexpr CrcTables MakeLittleEndianTables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) != 0 ? kPolynomial : 0u);
    t[0][i] = r;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr CrcTables MakeBigEndianTables(const CrcTables& le) {
  CrcTables t{};
  for (int k = 0; k < kSlices; ++k) {
    for (int i = 0; i < 256; ++i) t[k][i] = Swap32(le[k][i]);
  }
  return t;
}

constexpr CrcTables kTablesLE = MakeLittleEndianTables();
constexpr CrcTables kTablesBE = MakeBigEndianTables(kTablesLE);

static_assert(kTablesLE[0][1] == 0x77073096u && kTablesLE[0][255] == 0x2D02EF8Du);
static_assert(kTablesBE[0][1] == 0x96300777u);

// Long buffers run as two interleaved lanes of kLane bytes each, so that the
// lookups of one lane overlap the register dependency of the other. The
// lanes are joined by moving the first lane's register over kLane zero bytes
// (a linear map, applied through four tables) and adding the second's.
constexpr std::size_t kLane = 2048;

// a * b modulo the polynomial, in the reflected representation (bit 31 is x^0).
constexpr std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// x^(8 * bytes) modulo the polynomial: the effect of `bytes` zero bytes.
constexpr std::uint32_t ZeroBytesOperator(std::size_t bytes) {
  std::uint32_t result = 1u << 31;  // x^0
  std::uint32_t square = 1u << 30;  // x^1
  for (std::size_t e = 8 * bytes; e != 0; e >>= 1) {
    if ((e & 1u) != 0) result = MultiplyModP(square, result);
    square = MultiplyModP(square, square);
  }
  return result;
}

using ShiftTables = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr ShiftTables MakeShiftTables(std::size_t bytes) {
  const std::uint32_t op = ZeroBytesOperator(bytes);
  ShiftTables t{};
  for (int k = 0; k < 4; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = MultiplyModP(op, b << (8 * k));
  }
  return t;
}

constexpr ShiftTables kShiftLane = MakeShiftTables(kLane);

// The register of the little-endian form after kLane zero bytes.
inline std::uint32_t ShiftLE(std::uint32_t r) {
  const auto& t = kShiftLane;
  return (t[0][r & 0xFFu] ^ t[1][(r >> 8) & 0xFFu]) ^ (t[2][(r >> 16) & 0xFFu] ^ t[3][r >> 24]);
}

// One zero byte moves a register exactly as one step of table 0 does.
static_assert(MultiplyModP(ZeroBytesOperator(1), 0x12345678u) ==
              ((0x12345678u >> 8) ^ kTablesLE[0][0x78]));

// Words are assembled in a fixed byte order so that each form is correct on
// any processor; on its own processor the load is a single instruction.
inline std::uint32_t LoadLE(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = Swap32(v);
  return v;
}

inline std::uint32_t LoadBE(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = Swap32(v);
  return v;
}

inline bool Aligned4(const unsigned char* p) {
  return (reinterpret_cast<std::uintptr_t>(p) & 3u) == 0;
}

// One step over 16 bytes. Only the lookups of the first word wait for the
// register; they are XORed in last so the other twelve run ahead. Bytes 4-7
// and 12-15 are indexed straight from memory, which balances loads against
// shifts.
[[gnu::always_inline]] inline std::uint32_t StepLE(std::uint32_t crc, const unsigned char* p) {
  const auto& t = kTablesLE;
  const std::uint32_t w0 = LoadLE(p) ^ crc;
  const std::uint32_t w2 = LoadLE(p + 8);
  const std::uint32_t rest =
      ((t[11][p[4]] ^ t[10][p[5]]) ^ (t[9][p[6]] ^ t[8][p[7]])) ^
      ((t[7][w2 & 0xFFu] ^ t[6][(w2 >> 8) & 0xFFu]) ^ (t[5][(w2 >> 16) & 0xFFu] ^ t[4][w2 >> 24])) ^
      ((t[3][p[12]] ^ t[2][p[13]]) ^ (t[1][p[14]] ^ t[0][p[15]]));
  return ((t[15][w0 & 0xFFu] ^ t[14][(w0 >> 8) & 0xFFu]) ^
          (t[13][(w0 >> 16) & 0xFFu] ^ t[12][w0 >> 24])) ^
         rest;
}

// The mirror image: the register is kept byte-swapped and shifted left.
[[gnu::always_inline]] inline std::uint32_t StepBE(std::uint32_t crc, const unsigned char* p) {
  const auto& t = kTablesBE;
  const std::uint32_t w0 = LoadBE(p) ^ crc;
  const std::uint32_t w2 = LoadBE(p + 8);
  const std::uint32_t rest =
      ((t[11][p[4]] ^ t[10][p[5]]) ^ (t[9][p[6]] ^ t[8][p[7]])) ^
      ((t[7][w2 >> 24] ^ t[6][(w2 >> 16) & 0xFFu]) ^ (t[5][(w2 >> 8) & 0xFFu] ^ t[4][w2 & 0xFFu])) ^
      ((t[3][p[12]] ^ t[2][p[13]]) ^ (t[1][p[14]] ^ t[0][p[15]]));
  return ((t[15][w0 >> 24] ^ t[14][(w0 >> 16) & 0xFFu]) ^
          (t[13][(w0 >> 8) & 0xFFu] ^ t[12][w0 & 0xFFu])) ^
         rest;
}

// The byte-at-a-time step of each form.
inline std::uint32_t ByteLE(std::uint32_t crc, unsigned char b) {
  return (crc >> 8) ^ kTablesLE[0][(crc ^ b) & 0xFFu];
}
inline std::uint32_t ByteBE(std::uint32_t crc, unsigned char b) {
  return (crc << 8) ^ kTablesBE[0][(crc >> 24) ^ b];
}

// The same for the big-endian form's byte-swapped register.
inline std::uint32_t ShiftBE(std::uint32_t r) {
  return Swap32(ShiftLE(Swap32(r)));
}

using ByteFn = std::uint32_t (*)(std::uint32_t, unsigned char);
using StepFn = std::uint32_t (*)(std::uint32_t, const unsigned char*);
using ShiftFn = std::uint32_t (*)(std::uint32_t);

// Single bytes up to a 4-byte boundary, pairs of lanes, 16-byte steps, then
// the last bytes one at a time. Returns the register in the form's own order.
template <ByteFn Byte, StepFn Step, ShiftFn Shift>
std::uint32_t SlicingBy16(const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t crc = 0;
  while (length > 0 && !Aligned4(p)) {
    crc = Byte(crc, *p++);
    --length;
  }
  while (length >= 2 * kLane) {
    std::uint32_t first = crc;
    std::uint32_t second = 0;
    for (std::size_t i = 0; i < kLane; i += 16) {
      first = Step(first, p + i);
      second = Step(second, p + kLane + i);
    }
    crc = Shift(first) ^ second;
    p += 2 * kLane;
    length -= 2 * kLane;
  }
  while (length >= 16) {
    crc = Step(crc, p);
    p += 16;
    length -= 16;
  }
  while (length-- > 0) crc = Byte(crc, *p++);
  return crc;
}

}  // namespace

std::uint32_t SlicingBy16CRC32_32bit_LE(const void* data, std::size_t length) {
  return SlicingBy16<ByteLE, StepLE, ShiftLE>(data, length);
}

std::uint32_t SlicingBy16CRC32_32bit_BE(const void* data, std::size_t length) {
  return Swap32(SlicingBy16<ByteBE, StepBE, ShiftBE>(data, length));
}

std::uint32_t CmnGenerateCRC(const void* data, std::size_t length) {
  if constexpr (std::endian::native == std::endian::big) {
    return SlicingBy16CRC32_32bit_BE(data, length);
  } else {
    return SlicingBy16CRC32_32bit_LE(data, length);
  }
}

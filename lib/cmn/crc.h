// CRC-32 of the common library: the checksum that guards encryption metadata
// and whole data buffers.
#pragma once

#include <cstddef>
#include <cstdint>

// The reflected CRC-32 of polynomial 0xEDB88320 with initial value 0 and no
// final inversion (so NOT the value zlib's crc32 returns): 0 for no bytes,
// 0xCA6598D0 for "abc". `data` may be null only when `length` is 0. Any
// alignment is fine; the result does not depend on it.
std::uint32_t CmnGenerateCRC(const void* data, std::size_t length);

// The two table-driven forms behind CmnGenerateCRC, which picks the one of the
// processor's byte order. Both give the same result on any processor (the
// other one is merely slower there).
std::uint32_t SlicingBy16CRC32_32bit_LE(const void* data, std::size_t length);
std::uint32_t SlicingBy16CRC32_32bit_BE(const void* data, std::size_t length);

// Length framing spoken by every peer of the stand-ins: a 4-byte big-endian
// length, then exactly that many bytes. The one place the header is built and read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarn::standin {

inline constexpr std::size_t kFrameHeaderSize = 4;
using FrameHeader = std::array<std::uint8_t, kFrameHeaderSize>;

// The header announcing `length` data bytes.
constexpr FrameHeader EncodeFrameHeader(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

// The data length a header announces.
constexpr std::uint32_t DecodeFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> header) {
  return (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
         (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
}

static_assert(EncodeFrameHeader(0x01020304u) == FrameHeader{1, 2, 3, 4});

// Header and data as one byte string. Throws std::length_error when `data` is
// longer than a header can announce.
std::string Frame(std::string_view data);

}  // namespace tarn::standin

// On-disk layout of the message catalogue file "tarn.cat", shared by the
// reader in the common library and the catalogue compiler.
#pragma once

#include <cstddef>
#include <cstdint>

// All numbers are unsigned 32-bit in the machine's byte order.
//   0  magic
//   4  count N of index entries
//   8  unused (written as 0)
//  12  N index entries {set, number, text offset}, sorted by set, then number
//  12 + 12N  text area: each text ends with a newline or NUL
inline constexpr std::uint32_t kNlsCatMagic = 0xEAEBFCFDu;
inline constexpr size_t kNlsCatHeaderSize = 12;
inline constexpr size_t kNlsCatEntrySize = 12;
// Only the low bits of an entry's set number count.
inline constexpr std::uint32_t kNlsCatSetMask = 0x1FFFFFFFu;
// Sets that can be looked up: 0 to kNlsCatSets - 1.
inline constexpr int kNlsCatSets = 256;

struct NlsCatHeader {
  std::uint32_t magic;
  std::uint32_t count;
  std::uint32_t unused;
};

struct NlsCatEntry {
  std::uint32_t set;
  std::uint32_t number;
  std::uint32_t offset;  // from the start of the text area
};

static_assert(sizeof(NlsCatHeader) == kNlsCatHeaderSize);
static_assert(sizeof(NlsCatEntry) == kNlsCatEntrySize);
static_assert(offsetof(NlsCatEntry, offset) == 8);

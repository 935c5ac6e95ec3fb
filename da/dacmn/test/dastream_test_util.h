// Streams for the data-path tests: one object of one item through the
// record writers, with a payload whose bytes depend on their position.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "vekdf/rm.h"

namespace datest {

// The DA id the data-path tests stream under.
inline constexpr int kStreamDa = 7;

inline std::vector<std::uint8_t> Payload(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// One object of one item through the record writers; false at the first
// writer that fails.
inline bool WriteObject(const std::vector<std::uint8_t>& payload) {
  if (RmWriteStart(kStreamDa, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS", "full", "VEKBAR",
                   "A.01") != 1) {
    return false;
  }
  DaItemAttr item{};
  item.itemId = 1;
  item.fileType = kDaFileRegular;
  item.name = "image.001";
  item.size = payload.size();
  if (RmWriteObjAttr(item) != 1) return false;
  std::size_t done = 0;
  while (done < payload.size()) {
    std::uint32_t granted = 0;
    std::uint8_t* data =
        RmGetObjDataBuf(static_cast<std::uint32_t>(payload.size() - done), &granted);
    if (data == nullptr) return false;
    std::memcpy(data, payload.data() + done, granted);
    if (RmWriteObjData(data, 1, granted, static_cast<std::uint32_t>(done), 0, 0, 0) != 1) {
      return false;
    }
    done += granted;
  }
  return RmWriteObjEnd(item, 0) == 1 && RmWriteEnd(kStreamDa, 1000, 1100, 0, 0) == 1;
}

}  // namespace datest

// Streams for the data-path tests: objects through the record writers,
// with payloads whose bytes depend on their position.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
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

// An object of the given items (ids 1, 2, ..., names "image.001", ...)
// through the record writers of the open stream; false at the first writer
// that fails.
inline bool WriteItems(std::uint32_t daId, const std::vector<std::vector<std::uint8_t>>& items) {
  if (RmWriteStart(daId, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS", "full", "VEKBAR", "A.01") !=
      1) {
    return false;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::vector<std::uint8_t>& payload = items[i];
    DaItemAttr item{};
    item.itemId = static_cast<std::uint32_t>(i + 1);
    item.fileType = kDaFileRegular;
    const std::string name = "image.00" + std::to_string(i + 1);
    item.name = name.c_str();
    item.size = payload.size();
    if (RmWriteObjAttr(item) != 1) return false;
    std::size_t done = 0;
    while (done < payload.size()) {
      std::uint32_t granted = 0;
      std::uint8_t* data =
          RmGetObjDataBuf(static_cast<std::uint32_t>(payload.size() - done), &granted);
      if (data == nullptr) return false;
      std::memcpy(data, payload.data() + done, granted);
      if (RmWriteObjData(data, item.itemId, granted, static_cast<std::uint32_t>(done), 0, 0, 0) !=
          1) {
        return false;
      }
      done += granted;
    }
    if (RmWriteObjEnd(item, 0) != 1) return false;
  }
  return RmWriteEnd(daId, 1000, 1100, 0, 0) == 1;
}

// One object of one item through the record writers; false at the first
// writer that fails.
inline bool WriteObject(const std::vector<std::uint8_t>& payload) {
  return WriteItems(kStreamDa, {payload});
}

}  // namespace datest

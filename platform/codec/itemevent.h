// The line the stand-in media agent prints for each item it decodes from a
// backup stream, and which the stand-in session manager reads to learn the
// items of a stored object:
//   ITEM da=<da> id=<id> type=<t> mode=<octal> uid=<u> gid=<g> size=<n> mtime=<t> name=<hex>
// The name travels as lowercase hexadecimal, two digits a byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/dastream.h"

namespace tarn::standin {

struct ItemEvent {
  int da = 0;
  std::uint32_t id = 0;
  std::uint32_t type = 0;
  std::uint32_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t size = 0;
  std::uint32_t mtime = 0;
  std::string name;

  bool operator==(const ItemEvent&) const = default;
};

// The item of an attribute record of the stream `da`.
ItemEvent ItemEventOf(int da, const dastream::AttributeRecord& record);
// The line, without its newline.
std::string FormatItemEvent(const ItemEvent& item);
// Nothing unless `line` is such a line whole.
std::optional<ItemEvent> ParseItemEvent(std::string_view line);

}  // namespace tarn::standin

// Item lines of the stand-in media agent's events: built and read here only.
#include "codec/itemevent.h"

#include <cstdio>
#include <limits>
#include <vector>

#include "codec/message.h"

namespace tarn::standin {
namespace {

constexpr char kDigits[] = "0123456789abcdef";
constexpr std::string_view kTag = "ITEM";
constexpr std::string_view kKeys[] = {"da", "id", "type", "mode", "uid", "gid", "size", "mtime",
                                      "name"};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::uint64_t> Number(std::string_view text, int base, std::uint64_t max) {
  if (text.empty() || text.size() > 22) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = HexValue(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    if (value > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace

ItemEvent ItemEventOf(int da, const dastream::AttributeRecord& record) {
  return ItemEvent{da,
                   record.itemId,
                   record.fileType,
                   record.permissions,
                   record.userId,
                   record.groupId,
                   record.size,
                   record.modificationTime,
                   std::string(record.name)};
}

std::string FormatItemEvent(const ItemEvent& item) {
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", item.mode);
  std::string line = std::string(kTag) + " da=" + std::to_string(item.da) +
                     " id=" + std::to_string(item.id) + " type=" + std::to_string(item.type) +
                     " mode=" + mode + " uid=" + std::to_string(item.uid) +
                     " gid=" + std::to_string(item.gid) + " size=" + std::to_string(item.size) +
                     " mtime=" + std::to_string(item.mtime) + " name=";
  line.reserve(line.size() + 2 * item.name.size());
  for (const char c : item.name) {
    const auto byte = static_cast<unsigned char>(c);
    line.push_back(kDigits[byte >> 4]);
    line.push_back(kDigits[byte & 0xF]);
  }
  return line;
}

std::optional<ItemEvent> ParseItemEvent(std::string_view line) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0; at <= line.size();) {
    const std::size_t blank = line.find(' ', at);
    words.push_back(line.substr(at, blank == std::string_view::npos ? blank : blank - at));
    if (blank == std::string_view::npos) break;
    at = blank + 1;
  }
  if (words.size() != 1 + std::size(kKeys) || words[0] != kTag) return std::nullopt;
  std::string_view values[std::size(kKeys)];
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    const std::string_view w = words[i + 1];
    if (!w.starts_with(kKeys[i]) || w.size() <= kKeys[i].size() || w[kKeys[i].size()] != '=')
      return std::nullopt;
    values[i] = w.substr(kKeys[i].size() + 1);
  }
  constexpr std::uint64_t k32 = std::numeric_limits<std::uint32_t>::max();
  const auto da = Number(values[0], 10, std::numeric_limits<int>::max());
  const auto id = Number(values[1], 10, k32);
  const auto type = Number(values[2], 10, k32);
  const auto mode = Number(values[3], 8, k32);
  const auto uid = Number(values[4], 10, k32);
  const auto gid = Number(values[5], 10, k32);
  const auto size = Number(values[6], 10, std::numeric_limits<std::uint64_t>::max());
  const auto mtime = Number(values[7], 10, k32);
  if (!da || !id || !type || !mode || !uid || !gid || !size || !mtime) return std::nullopt;
  const std::string_view hex = values[8];
  if (hex.size() % 2 != 0) return std::nullopt;
  ItemEvent item{static_cast<int>(*da),
                 static_cast<std::uint32_t>(*id),
                 static_cast<std::uint32_t>(*type),
                 static_cast<std::uint32_t>(*mode),
                 static_cast<std::uint32_t>(*uid),
                 static_cast<std::uint32_t>(*gid),
                 *size,
                 static_cast<std::uint32_t>(*mtime),
                 {}};
  item.name.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    item.name.push_back(static_cast<char>(hi << 4 | lo));
  }
  return item;
}

}  // namespace tarn::standin

// What the stand-in session manager learns about stored streams: the items
// the media agent reported for a stream, and which stream a restore reads.
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "cellserver/sm.h"
#include "codec/itemevent.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/storedstreams.cpp");

namespace tarn::cellserver {

std::vector<CatItem> StreamItems(const std::string& path, int daId) {
  std::ifstream in(path, std::ios::binary);
  const std::string end = "STREAM_END da=" + std::to_string(daId) + " ";
  std::vector<CatItem> items, ended;
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(end)) {
      // A later stream of the same DA id replaces an earlier one.
      ended = std::move(items);
      items.clear();
      continue;
    }
    const auto item = standin::ParseItemEvent(line);
    if (!item || item->da != daId) continue;
    CatItem c;
    c.name = item->name;
    c.size = static_cast<long long>(
        std::min<std::uint64_t>(item->size, std::numeric_limits<long long>::max()));
    c.modified = static_cast<std::time_t>(item->mtime);
    c.owner = static_cast<int>(std::min<std::uint32_t>(item->uid, std::numeric_limits<int>::max()));
    c.group = static_cast<int>(std::min<std::uint32_t>(item->gid, std::numeric_limits<int>::max()));
    c.mode = static_cast<int>(item->mode & 07777);
    items.push_back(std::move(c));
  }
  return ended;
}

int RestoreDa(const SessionManagerBook& book, const standin::Message& request) {
  const auto& items = request.items;
  const std::string sessionId = items.size() > 2 ? items[2] : "";
  const long long versionId =
      items.size() > 5 ? standin::ParseDecimal(items[5], 0, std::numeric_limits<int>::max())
                             .value_or(0)
                       : 0;
  return book.daFor(items.at(1), sessionId, versionId);
}

}  // namespace tarn::cellserver

// Item events of the stand-in media agent.
#include "mediaagent/items.h"

#include "codec/itemevent.h"

namespace tarn::mediaagent {

void ReportItems(Agent& agent, int da, const standin::dastream::Block& block) {
  for (const auto& record : block.records) {
    if (record.type != static_cast<std::uint32_t>(standin::dastream::RecordType::kAttribute))
      continue;
    if (const auto* attr = record.as<standin::dastream::AttributeRecord>())
      agent.event(standin::FormatItemEvent(standin::ItemEventOf(da, *attr)));
  }
}

}  // namespace tarn::mediaagent

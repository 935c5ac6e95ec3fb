// The items the stand-in media agent decodes from a backup stream, printed as
// events so that the stand-in session manager can catalogue them.
#pragma once

#include "codec/dastream.h"
#include "mediaagent/agent.h"

namespace tarn::mediaagent {

// Prints one ITEM line (codec/itemevent.h) for every catalogued attribute
// record (type 1) of a decoded block of stream `da`.
void ReportItems(Agent& agent, int da, const standin::dastream::Block& block);

}  // namespace tarn::mediaagent

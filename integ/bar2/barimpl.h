// What the integration API's own files share and callers do not see.
#pragma once

#include <cstdint>

#include "bar2/bar2.h"

namespace bar2_detail {

// Calls into the session-manager link and the data path, through the hooks
// of BarSetLinkHooks or their built-in behaviour.
int LinkAbort(BarContext* ctx, int code);
int LinkUpdateStatus(BarContext* ctx, int64_t bytes, int force);
int LinkSendReport(BarContext* ctx, char* message);
void LinkEndOpenWork(BarContext* ctx);
int LinkRbmRead(BarContext* ctx, std::span<std::uint8_t>* record);
int LinkWriteItemData(BarContext* ctx, const void* data, int length);
int LinkReadItemData(BarContext* ctx, void* buffer, int length);

// Lets VEK_InitGlobals run its body again (tests); the flags word stays.
void ResetGlobals();

}  // namespace bar2_detail

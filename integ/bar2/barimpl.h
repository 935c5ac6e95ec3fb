// What the integration API's own files share and callers do not see.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bar2/bar2.h"
#include "cmn/str.h"
#include "ipc/ipc.h"

namespace bar2_detail {

// Copies into a field of a record, cut to its width.
template <std::size_t N>
void CopyText(char (&dst)[N], const char* src) {
  StrSafeCopyA(dst, src, N - 1);
}

// Calls into the session-manager link and the data path, through the hooks
// of BarSetLinkHooks or their built-in behaviour.
int LinkAbort(BarContext* ctx, int code);
int LinkUpdateStatus(BarContext* ctx, int64_t bytes, int force);
int LinkSendReport(BarContext* ctx, char* message);
void LinkEndOpenWork(BarContext* ctx);
int LinkEndObject(BarContext* ctx, int code);
int LinkEndSession(BarContext* ctx, int code);

// Waits up to `seconds` for input on the session-manager handle: 1 ready,
// 0 timed out, -1 failed. Replaceable so that tests run wait slices on the
// process clock; null restores the IPC layer's wait. Returns the previous.
using SmWaitFn = int (*)(IpcHandle handle, int seconds);
SmWaitFn SetSmWait(SmWaitFn wait);

// A number of seconds from the environment; `fallback` when the variable is
// missing, reads as 0 or less, or exceeds kEnvSecondsMax.
inline constexpr long kEnvSecondsMax = 24L * 3600 * 365;
int EnvSeconds(const char* name, int fallback);
int LinkRbmRead(BarContext* ctx, std::span<std::uint8_t>* record);
int LinkWriteItemData(BarContext* ctx, const void* data, int length);
int LinkReadItemData(BarContext* ctx, void* buffer, int length);

// Lets VEK_InitGlobals run its body again (tests); the flags word stays.
void ResetGlobals();

}  // namespace bar2_detail

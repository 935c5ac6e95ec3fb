// What the integration API's own files share and callers do not see.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bar2/bar2.h"
#include "cmn/str.h"
#include "ipc/ipc.h"

struct IntegOptions;

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

// ---- what backup and restore objects share (barsession.cpp)

// Seconds on the process clock, which tests may replace: for elapsed times
// and waits only. Not since 1970, so never stored or sent.
int Now();
// Seconds since 1970 on the wall clock: for times that records and messages
// carry.
int WallSeconds();
// The options of a session the context opens by itself (session start and
// the restart after MSG_WAIT): the context's barlist and, for a backup, the
// disk-only option that VEKDISKONLY may switch on. Points into `ctx`.
SessionConnectOptions SessionOptionsOf(const BarContext* ctx, int type);
// Traces the condition a parameter failed (at `level`) and stores -4.
int ParamFail(BarContext* ctx, const char* fn, const char* condition, int level = kBarLevelFlow);
// Installs the session calls VEK_End, VEK_Exit and the compression callbacks
// use (VEK_EndObjectBackup or VEK_EndObjectRestore by mode, and so on), each
// only where no hook was set.
void InstallSessionHooks();
// Reports (set 131, `number`) with the user form of the object's name at the
// level of progress lines; `decode` also undoes the path escapes for display.
void ReportObject(const char* fn, int number, const char* objName, bool decode);
// The profile line (`set`, `number`): hours, minutes, seconds since the
// object began and the rate in MB per second.
void ReportProfile(const char* fn, int set, int number, const BarContext* ctx);
// The last code, last error and error number back to 0, as a call that
// starts afresh leaves them.
void ClearLastResult(BarContext* ctx);
// Takes what the session manager's MSG_CONNECT fixed for the object: its
// data-path id, start and since times, sparse and profile switches and the
// media agent's host.
void TakeObjectOptions(BarContext* ctx, const IntegOptions& opts);
// The session-manager side of an object's end: stop for code 0, else abort
// with the code; then the session of the context's barlist opens again
// through `start` (VEK_StartBackup or VEK_StartRestore), whose result is
// returned. `fn` names the caller in the trace.
int ReopenSession(BarContext* ctx, const char* fn, int code,
                  int (*start)(BarContext* ctx, const char* barlist));
// An object start failed after the session manager handed the object out:
// ends the codecs and aborts the session with `rc` so that the session
// manager learns of it. Returns BarFail(ctx, rc).
int AbortObjectStart(BarContext* ctx, int rc);

}  // namespace bar2_detail

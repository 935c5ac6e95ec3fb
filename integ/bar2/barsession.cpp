// What backup and restore objects share: the session calls installed for
// VEK_End, VEK_Exit and the compression callbacks, the object options taken
// from the session manager, the progress and profile reports, the abort of a
// failed object start and the session reopened at an object's end.
#include <chrono>
#include <ctime>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barrestore.h"
#include "bar2/bartransform.h"
#include "barutil/barmsg.h"
#include "barutil/bustr.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/objname.h"
#include "cmn/sysio.h"
#include "dacmn/bm.h"
#include "dacmn/rbm.h"

TARN_RCSID("integ/bar2/barsession.cpp");

namespace {

constexpr int kLevel = 1;
constexpr int kAbortOpenWork = 8003;

bool RestoreObjectOpen(const BarContext* ctx) {
  return ctx->mode == BAR_MODE_OBJECT_RESTORE || ctx->mode == BAR_MODE_ITEM_RESTORE;
}

int HookEndObject(BarContext* ctx, int code) {
  return ctx->mode == BAR_MODE_OBJECT_RESTORE ? VEK_EndObjectRestore(ctx, code)
                                              : VEK_EndObjectBackup(ctx, code);
}

int HookEndSession(BarContext* ctx, int code) {
  return ctx->mode == BAR_MODE_RESTORE ? VEK_EndRestore(ctx, code) : VEK_EndBackup(ctx, code);
}

int HookWriteItemData(BarContext* ctx, const void* data, int length) {
  const int rc = VEK_WriteItemData(ctx, data, length);
  return rc < 0 ? 0 : rc;
}

int HookReadItemData(BarContext* ctx, void* buffer, int length) {
  const int rc = VEK_ReadItemData(ctx, buffer, length);
  return rc < 0 ? 0 : rc;
}

// The context is released with an object open: its stream must end as
// aborted, the codecs stop, and the session manager must not take the
// object as stored (or restored).
void HookEndOpenWork(BarContext* ctx) {
  if (RestoreObjectOpen(ctx)) {
    RbmExit(1);
    ctx->item.DropRestoreRecord();
  } else {
    BmExit(1);
    BmSetSmReceive(nullptr);
    ctx->item.DropDataRecord();
  }
  ctx->object.maLocal = -1;
  BarEndTransforms(ctx);
  VEK_SendAbort(ctx, kAbortOpenWork);
  ctx->session.sessGuid[0] = '\0';
}

}  // namespace

namespace bar2_detail {

int Now() {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::seconds>(cmn::ClockNow().time_since_epoch()).count());
}

SessionConnectOptions SessionOptionsOf(const BarContext* ctx, int type) {
  SessionConnectOptions options{};
  options.barlist = ctx->session.barlist;
  options.diskOnly = type == kBarSessionBackup ? 1 : 0;
  return options;
}

int WallSeconds() {
  return static_cast<int>(std::time(nullptr));
}

int ParamFail(BarContext* ctx, const char* fn, const char* condition, int level) {
  DbgPlain(level, "[%s] Condition not fulfilled: %s", fn, condition);
  return BarFail(ctx, BAR_EPARAM);
}

void InstallSessionHooks() {
  BarLinkHooks hooks = BarSetLinkHooks(nullptr);
  if (hooks.endOpenWork == nullptr) hooks.endOpenWork = HookEndOpenWork;
  if (hooks.endObject == nullptr) hooks.endObject = HookEndObject;
  if (hooks.endSession == nullptr) hooks.endSession = HookEndSession;
  if (hooks.writeItemData == nullptr) hooks.writeItemData = HookWriteItemData;
  if (hooks.readItemData == nullptr) hooks.readItemData = HookReadItemData;
  BarSetLinkHooks(&hooks);
}

void ReportObject(const char* fn, int number, const char* objName, bool decode) {
  char user[kObjNameSize];
  if (StrObjectNameToUserObjectName(user, objName) != 0) CopyText(user, objName);
  const char* shown = user;
  if (decode) {
    // An escape that does not decode is shown as it was stored.
    if (const char* plain = BU_DecodePath(user); plain != nullptr)
      shown = plain;
    else
      ErhClearError();
  }
  ErhFullReportPacked(fn, kErhCritical, NlsPackMessage(kBarMsgSet, number, shown));
}

void ReportProfile(const char* fn, int set, int number, const BarContext* ctx) {
  const int elapsed = Now() - ctx->object.counters.objBeginTime;
  double rate = static_cast<double>(ctx->object.counters.bytesDone) / 1048576.0;
  if (elapsed != 0) rate /= elapsed;
  ErhFullReportPacked(
      fn, kErhCritical,
      NlsPackMessage(set, number, elapsed / 3600, elapsed / 60 % 60, elapsed % 60, rate));
}

void ClearLastResult(BarContext* ctx) {
  ctx->lastCode = 0;
  ctx->lastError = 0;
  ctx->erhErrno = 0;
}

void TakeObjectOptions(BarContext* ctx, const IntegOptions& opts) {
  BarObjectState& object = ctx->object;
  object.daId = opts.daId;
  object.startTime = opts.objStartTime;
  object.sinceTime = opts.objSinceTime;
  object.sparse = opts.sparse;
  object.profile = opts.profile;
  CopyText(object.maHost, opts.maHost);
}

int ReopenSession(BarContext* ctx, const char* fn, int code,
                  int (*start)(BarContext* ctx, const char* barlist)) {
  if (code == 0)
    VEK_Stop(ctx);
  else
    LinkAbort(ctx, code);
  DbgPlain(kLevel, "[%s] Reconecting to Session Manager after socket shutdown.", fn);
  ctx->mode = BAR_MODE_IDLE;
  // The start copies the barlist into the context: hand it a copy.
  char barlist[kBarListMax + 1];
  CopyText(barlist, ctx->session.barlist);
  return start(ctx, barlist);
}

int AbortObjectStart(BarContext* ctx, int rc) {
  BarEndTransforms(ctx);
  ctx->object.maLocal = -1;
  LinkAbort(ctx, rc);
  return BarFail(ctx, rc);
}

}  // namespace bar2_detail

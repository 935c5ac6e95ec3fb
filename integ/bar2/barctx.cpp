// The integration context: its slot, creation and release with the layers
// below it, VEK_Global, the call-order check, accessors and setters.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bar2/bar2.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barrc.h"
#include "bar2/bartransform.h"
#include "barutil/barmsg.h"
#include "barutil/vekhost.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "csa/csa.h"
#include "dacmn/dacmn.h"
#include "dacmn/rbm.h"
#include "ipc/ipc.h"
#include "vekdf/daformat.h"

TARN_RCSID("integ/bar2/barctx.cpp");

using bar2_detail::CopyText;

VekGlobalRecord VEK_Global{"", "", kVekUpdateDefault, 0, 0};

namespace {

constexpr int kLevelFlow = kBarLevelFlow;
constexpr int kLevelDetail = 30;
constexpr int kCsaAttempts = 11;
constexpr long kCsaPauseMs = 5000;
// Abort code of a session left with an object or item open.
constexpr int kBarAbortOpenWork = 8003;

bool globalsDone = false;

void VEK_AtInit(void* data) {
  auto* ctx = new (data) BarContext{};
  ctx->output = 1;
  ctx->smLink = 1;
  CopyText(ctx->appName, "<unknownInstance>");
  CopyText(ctx->object.objName, "<unknownObject>");
}

// A forked child must not use its parent's session-manager connection.
void VEK_AtFork(void*) {
  auto* da = static_cast<DacmnPtd*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_DACMN));
  if (da != nullptr) da->conIpcHandle = kIpcNoHandle;
}

void VEK_AtFini(void* data) {
  auto* ctx = static_cast<BarContext*>(data);
  BarEndTransforms(ctx);
  ctx->~BarContext();
}

const PtdDescriptor BarPtd = {"BarPtd",   nullptr,    sizeof(BarContext),
                              VEK_AtInit, VEK_AtFork, VEK_AtFini};

// Frees slot 19, then stops the layers the context started (all of them
// unless the flags word asks to stop only those).
void ReleaseContext(BarContext* ctx) {
  const bool all = (VEK_Global.flags & kVekFlagStopStarted) == 0;
  const bool csa = all || ctx->csaStarted != 0;
  const bool ipc = all || ctx->ipcStarted != 0;
  const bool cmn = all || ctx->cmnStarted != 0;
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_BAR);
  if (csa && CsaIsInitialized()) {
    CsaExit();
    CsaSetEmbedded(0);
  }
  if (ipc) IpcExit();
  if (cmn) CmnExit();
}

BarLinkHooks linkHooks{};

}  // namespace

BarLinkHooks BarSetLinkHooks(const BarLinkHooks* hooks) {
  const BarLinkHooks previous = linkHooks;
  linkHooks = hooks != nullptr ? *hooks : BarLinkHooks{};
  return previous;
}

namespace bar2_detail {

int LinkAbort(BarContext* ctx, int code) {
  if (linkHooks.abort != nullptr) return linkHooks.abort(ctx, code);
  return VEK_Abort(ctx, code);
}

int LinkUpdateStatus(BarContext* ctx, int64_t bytes, int force) {
  if (linkHooks.updateStatus != nullptr) return linkHooks.updateStatus(ctx, bytes, force);
  return VEK_UpdateStatus(ctx, bytes, force);
}

int LinkSendReport(BarContext* ctx, char* message) {
  if (linkHooks.sendReport != nullptr) return linkHooks.sendReport(ctx, message);
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrMsgPrepareForBounceL(&msg, message) < 0) return -1;
  if (IpcHandle* con = DaConIpcHandle()) *con = ctx->session.smHandle;
  const int rc = RcIpcSendMsg(ctx->session.smHandle, &msg);
  StrMsgFreeL(&msg);
  if (const IpcHandle* con = DaConIpcHandle()) ctx->session.smHandle = *con;
  return rc > 0 ? 0 : -1;
}

void LinkEndOpenWork(BarContext* ctx) {
  if (linkHooks.endOpenWork != nullptr) {
    linkHooks.endOpenWork(ctx);
    return;
  }
  // The object was never ended: the session manager must not take it as stored.
  VEK_SendAbort(ctx, kBarAbortOpenWork);
  ctx->session.sessGuid[0] = '\0';
}

int LinkEndObject(BarContext* ctx, int code) {
  if (linkHooks.endObject != nullptr) return linkHooks.endObject(ctx, code);
  const int rc = VEK_CloseSession(ctx);
  ctx->mode = ctx->mode == BAR_MODE_OBJECT_RESTORE ? BAR_MODE_RESTORE : BAR_MODE_BACKUP;
  return rc;
}

int LinkEndSession(BarContext* ctx, int code) {
  if (linkHooks.endSession != nullptr) return linkHooks.endSession(ctx, code);
  const int rc = BarEndSession(ctx, code);
  ctx->mode = BAR_MODE_IDLE;
  return rc;
}

int LinkRbmRead(BarContext* ctx, std::span<std::uint8_t>* record) {
  if (linkHooks.rbmRead != nullptr) return linkHooks.rbmRead(ctx, record);
  // The restore buffer manager hands out checked records only: the header's
  // length lies within the block. Its stream ends with DA_REC_END, so a
  // missing record is a failure.
  std::uint8_t* next = RbmRead();
  if (next == nullptr) return -1;
  DaRecHeader header;
  std::memcpy(&header, next, sizeof header);
  *record = std::span<std::uint8_t>(next, header.length);
  return 1;
}

int LinkWriteItemData(BarContext* ctx, const void* data, int length) {
  return linkHooks.writeItemData != nullptr ? linkHooks.writeItemData(ctx, data, length) : 0;
}

int LinkReadItemData(BarContext* ctx, void* buffer, int length) {
  return linkHooks.readItemData != nullptr ? linkHooks.readItemData(ctx, buffer, length) : 0;
}

}  // namespace bar2_detail

using namespace bar2_detail;

BarContext* VEK_GetContext() {
  return static_cast<BarContext*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_BAR));
}

BarContext* BarResolve(BarContext* ctx) {
  return ctx != nullptr ? ctx : VEK_GetContext();
}

int BarFail(BarContext* ctx, int code) {
  if (ctx != nullptr) {
    ctx->lastCode = code;
    ctx->lastError = code;
    ctx->erhErrno = ErhErrno();
  }
  return code;
}

int BarCheckMode(BarContext* ctx, const char* function, int mode, int other, int level) {
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (ctx->mode == mode || (other != -1 && ctx->mode == other)) return 0;
  if (other == -1) {
    DbgPlain(level, "[%s] Invalid function call sequence.(current mode: %d, should be: %d)",
             function, ctx->mode, mode);
  } else {
    DbgPlain(level,
             "[%s] Invalid function call sequence.(current mode: %d, should be: %d or %d)",
             function, ctx->mode, mode, other);
  }
  ctx->lastCode = BAR_ESEQUENCE;
  return BAR_ESEQUENCE;
}

// ---------------------------------------------------------------- state by lifetime

void BarTextFree::operator()(char* text) const {
  safe_free(text, TARN_HERE);
}

void BarCodecs::ClearTransforms() {
  encode = 0;
  encrypt = 0;
  compress = 0;
  transformId = 0;
  compressionId = 0;
  decryptReady = 0;
}

BarSessionState::~BarSessionState() {
  StrMsgFreeL(&smMsg);
}

BarObjectState::~BarObjectState() {
  IVecFree(&trees);
}

BarItemState::~BarItemState() {
  CmnVarFree(&itemName);
}

void BarItemState::Reset() {
  CmnVarFree(&itemName);
  itemId = 0;
  itemOffset = 0;
  bytesRead = 0;
  bytesWritten = 0;
  DropDataRecord();
  DropRestoreRecord();
}

void BarItemState::DropRestoreRecord() {
  restoreRecord = nullptr;
  recBytes = 0;
  recSize = 0;
  recSpaceLeft = 0;
}

void BarItemState::DropDataRecord() {
  dataRecord = nullptr;
  recSize = 0;
  recSpaceLeft = 0;
}

// ---------------------------------------------------------------- globals

void VEK_SetFlags(int flags) {
  VEK_Global.flags = flags;
}

void VEK_InitClustering() {
  const char* name = std::getenv("VEKBARHOSTNAME");
  if (name == nullptr || name[0] == '\0') return;
  VEK_SetHostname(name);
  DbgPlain(kLevelFlow, "VEKBARHOSTNAME variable is set to %s, using it as the hostname",
           cmnHostname);
}

const char* VEK_GetCMHost() {
  if (VEK_Global.cmHost[0] == '\0') {
    if (const char* host = VEK_CellServer()) CopyText(VEK_Global.cmHost, host);
  }
  return VEK_Global.cmHost;
}

int VEK_InitGlobals() {
  static const char fn[] = "VEK_InitGlobals";
  if (globalsDone) return 0;
  globalsDone = true;
  if ((VEK_Global.flags & kVekFlagClustering) != 0) VEK_InitClustering();
  MakeShortVersionString(sizeof VEK_Global.shortVersion, VEK_Global.shortVersion);
  VEK_Global.update = kVekUpdateDefault;
  if (const char* text = std::getenv("VEKBARUPDATE")) {
    const long value = std::strtol(text, nullptr, 10);
    VEK_Global.update = static_cast<int>(value < kVekUpdateMin   ? kVekUpdateMin
                                         : value > kVekUpdateMax ? kVekUpdateMax
                                                                 : value);
  }
  DbgPlain(kLevelFlow, "[%s] VEK_Global.update = %d", fn, VEK_Global.update);
  if (VEK_GetCMHost()[0] == '\0') {
    ErhFullReportPacked(fn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgNoCellManager));
    return 0;
  }
  VEK_Global.capability &= static_cast<unsigned char>(~kVekCapCompress);
  if (cmnDefine_ORACLE8 == 0) {
    VEK_Global.capability |= kVekCapEncode;
  } else {
    VEK_Global.capability &= static_cast<unsigned char>(~kVekCapEncode);
  }
  VEK_Global.capability |= kVekCapEncrypt;
  return 0;
}

namespace bar2_detail {
// Lets a test run VEK_InitGlobals's body again.
void ResetGlobals() {
  globalsDone = false;
  VEK_Global = VekGlobalRecord{"", "", kVekUpdateDefault, 0, VEK_Global.flags};
}
}  // namespace bar2_detail

int VEK_InitCsa() {
  static const char fn[] = "VEK_InitCsa";
  BarContext* ctx = VEK_GetContext();
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  CsaSetEmbedded(1);
  if (CsaIsInitialized()) {
    MCsaSetProgname(CmnGetProgname());
    return 0;
  }
  int rc = -1;
  for (int attempt = 1; attempt <= kCsaAttempts; ++attempt) {
    rc = MCsaInit(VEK_Global.cmHost);
    if (rc == 0) break;
    // A server that is down or restarting refuses or cannot be reached, and
    // the pauses serve it; one that took the connection and never answered
    // would cost the whole bound again on every try.
    const bool silent = CsaServerSilent() != 0;
    if (attempt == kCsaAttempts || silent) {
      DbgPlain(kLevelFlow, "[%s] CsaInit(%s) failed. Error: %s", fn, VEK_Global.cmHost,
               ErhErrnoToText());
      break;
    }
    ErhClearError();
    CmnSleep(kCsaPauseMs);
  }
  ctx->csaStarted = rc == 0 ? 1 : 0;
  return rc;
}

// ---------------------------------------------------------------- start and stop

int VEK_Init(const char* appType, const char* appName, const char* module, int, BarContext** out) {
  static const char fn[] = "VEK_Init";
  if (out != nullptr) *out = nullptr;
  if (BarContext* existing = VEK_GetContext()) {
    DbgPlain(kLevelFlow, "[%s] Context exists", fn);
    if (out != nullptr) *out = existing;
    return BAR_EEXISTS;
  }
  ErhSetHooks(nullptr, BAR2ReportHookFn, BAR2ConsoleHookFn);
  if (appType == nullptr) {
    DbgPlain(kLevelFlow, "[%s] Condition not fulfilled: %s", fn, "appType");
    return BAR_EPARAM;
  }
  if (appName == nullptr) {
    DbgPlain(kLevelFlow, "[%s] Condition not fulfilled: %s", fn, "appName");
    return BAR_EPARAM;
  }
  auto* ctx = static_cast<BarContext*>(CmnCreateContextEx(&BarPtd, CMN_SLOT_BAR));
  if (ctx == nullptr) {
    DbgPlain(kLevelFlow, "[%s] Cannot allocate context (internal error or out of memory): %d", fn,
             errno);
    return BAR_ENOMEM;
  }
  CopyText(ctx->appType, appType);
  CopyText(ctx->appName, appName);
  CopyText(ctx->module, module);

  {
    OptHolder opts;
    OptParseEnvOpts(std::getenv("VEKOPTS"), opts.get());
    ctx->dbgPostfix.reset(opts->dbgPostfix);  // the record's copy is handed over
    opts->dbgPostfix = nullptr;
    CopyText(ctx->dbgRanges, opts->dbgRanges);
    CopyText(ctx->dbgSelect, opts->dbgSelect);
    ctx->reportLevel = opts->reportLevel;
  }

  char identity[kBarModuleMax + 8];
  if (ctx->module[0] != '\0') {
    std::snprintf(identity, sizeof identity, "VEKBAR_%s", ctx->module);
  } else {
    CopyText(identity, "VEKBAR");
  }
  const char* rpt = std::getenv("VEKAPPNAME_RPT");
  CopyText(ctx->reportName, rpt != nullptr && rpt[0] != '\0' ? rpt : appName);

  ctx->cmnStarted = CmnIsInitialized() ? 0 : 1;
  ctx->ipcStarted = IpcIsInitialized() ? 0 : 1;
  ctx->csaStarted = 0;

  const int cmnRc = CmnInit(identity, ctx->reportName, ctx->dbgPostfix.get(), ctx->dbgRanges,
                            ctx->dbgSelect, ctx->reportLevel);
  if (cmnRc == -1) {
    char* why = ErhFormatCmnInitFailure();
    DbgPlain(kLevelFlow, "[%s] CmnInit failed. Result: %d Error: %s. %s", fn, cmnRc,
             ErhErrnoToText(), why != nullptr ? why : "");
    ErhFullReport(fn, kErhMinor, why);
    safe_free(why, TARN_HERE);
  } else if (cmnRc == 1) {
    ErhFullReport(fn, kErhWarning, "\tCannot open message catalog => switching to LAN=C.\n");
  }

  int rc = BAR_OK;
  DbgPlain(kLevelFlow, "[%s] appName: %s", fn, ctx->appName);
  if (!IpcIsInitialized() && IpcInit() != 0) {
    DbgPlain(kLevelFlow, "[%s] IpcInit failed. Result: %d Error: %s", fn, -1, ErhErrnoToText());
    rc = BAR_ECOMM;
  }
  if (rc == BAR_OK) {
    VEK_InitGlobals();
    if (VEK_InitCsa() != 0) {
      ErhFullReportPacked(fn, kErhMajor,
                          NlsPackMessage(kBarMsgSet, kBarMsgCellManagerConnect, ErhErrnoToText()));
      rc = BAR_ECOMM;
    }
  }
  if (rc == BAR_OK) {
    uint32_t rights = 0;
    if (MCsaGetAcl(0, &rights) == -1) {
      DbgPlain(kLevelFlow, "[%s] CsaGetAcl failed. Error: %s", fn, ErhErrnoToText());
      ErhFullReportPacked(fn, kErhMajor,
                          NlsPackMessage(kBarMsgSet, kBarMsgAccessRights, ErhErrnoToText()));
      rc = BAR_ECOMM;
    } else if (rights == 0) {
      DbgPlain(kLevelFlow, "[%s] User %s.%s does not exist in VEK. Error: %s", fn, cmnEun, cmnEgn,
               ErhErrnoToText());
      ErhFullReportPacked(
          fn, kErhMajor,
          NlsPackMessage(kBarMsgSet, kBarMsgUnknownUser, cmnEun, cmnEgn, cmnHostname));
      rc = BAR_EPERM;
    } else {
      ctx->access = rights;
    }
  }
  if (rc != BAR_OK) {
    ReleaseContext(ctx);
    return rc;
  }
  ctx->mode = BAR_MODE_IDLE;
  ctx->lastCode = 0;
  if (out != nullptr) *out = ctx;
  return BAR_OK;
}

int VEK_Exit(BarContext* ctx) {
  static const char fn[] = "VEK_Exit";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_OK;
  ErhClearError();
  int rc = BAR_OK;
  switch (ctx->mode) {
    case BAR_MODE_IDLE:
      if (IpcHandle* con = DaConIpcHandle()) *con = kIpcNoHandle;
      if (ctx->session.smHandle != kIpcNoHandle) {
        DbgPlain(kLevelFlow, "[%s] INTERNAL ERROR: SM handle [%d] still open.\n", fn,
                 ctx->session.smHandle);
        LinkAbort(ctx, 8003);
      }
      if (ctx->dbsmHandle != kIpcNoHandle) {
        DbgPlain(kLevelFlow, "[%s] Disconnecting DBSM.", fn);
        IpcShutdownAndCloseConnection(ctx->dbsmHandle);
        ctx->dbsmHandle = kIpcNoHandle;
      }
      break;
    case BAR_MODE_BACKUP:
    case BAR_MODE_RESTORE: return BarFail(ctx, BAR_ESESSION);
    case BAR_MODE_OBJECT_BACKUP:
    case BAR_MODE_ITEM_BACKUP:
    case BAR_MODE_OBJECT_RESTORE:
    case BAR_MODE_ITEM_RESTORE:
      // Nothing may keep running behind a freed context.
      BarCheckMode(ctx, fn, BAR_MODE_IDLE);
      LinkEndOpenWork(ctx);
      rc = BAR_ESEQUENCE;
      break;
    default: BarCheckMode(ctx, fn, BAR_MODE_IDLE); return BAR_ESEQUENCE;
  }
  ReleaseContext(ctx);
  return rc;
}

// ---------------------------------------------------------------- accessors

namespace {

template <class T, class F>
T Get(BarContext* ctx, T none, F field) {
  ctx = BarResolve(ctx);
  return ctx != nullptr ? field(ctx) : none;
}

template <class F>
int Set(BarContext* ctx, F apply) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  apply(ctx);
  return 0;
}

}  // namespace

int VEK_GetErrno(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->lastCode; });
}
int VEK_GetErhno(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->erhErrno; });
}
int VEK_GetLastError(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->lastError; });
}
int VEK_GetOutput(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->output; });
}
int VEK_GetSMHandle(BarContext* ctx) {
  return Get(ctx, int{kIpcNoHandle}, [](BarContext* c) { return c->session.smHandle; });
}
int VEK_GetIntegSpecific(BarContext* ctx) {
  return Get(ctx, 0, [](BarContext* c) { return c->integSpecific; });
}
const char* VEK_GetSessionId(BarContext* ctx) {
  return Get(ctx, static_cast<const char*>(nullptr),
             [](BarContext* c) -> const char* { return c->session.sessId; });
}
const char* VEK_GetSessionGuid(BarContext* ctx) {
  return Get(ctx, static_cast<const char*>(nullptr),
             [](BarContext* c) -> const char* { return c->session.sessGuid; });
}
int VEK_GetObjectStartTime(BarContext* ctx) {
  return Get(ctx, 0, [](BarContext* c) { return c->object.startTime; });
}
int VEK_GetMode(BarContext* ctx) {
  return Get(ctx, -1, [](BarContext* c) { return c->mode; });
}
int VEK_IsMALocal(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->object.maLocal; });
}
int VEK_MABlockSize(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->object.maBlockSize; });
}
int VEK_DARecOffset(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT}, [](BarContext* c) { return c->object.recOffset; });
}
const char* VEK_AppType(BarContext* ctx) {
  return Get(ctx, static_cast<const char*>(nullptr),
             [](BarContext* c) -> const char* { return c->appType; });
}
const char* VEK_AppName(BarContext* ctx) {
  return Get(ctx, static_cast<const char*>(nullptr),
             [](BarContext* c) -> const char* { return c->appName; });
}
const char* VEK_BarList(BarContext* ctx) {
  return Get(ctx, static_cast<const char*>(nullptr),
             [](BarContext* c) -> const char* { return c->session.barlist; });
}
int VEK_NumErrors(BarContext* ctx) {
  return Get(ctx, int{BAR_ENOCONTEXT},
             [](BarContext* c) { return c->object.counters.errorReports; });
}
CmnVec* VEK_GetTrees(BarContext* ctx) {
  return Get(ctx, static_cast<CmnVec*>(nullptr), [](BarContext* c) { return &c->object.trees; });
}
int VEK_DmpContext(BarContext* ctx) {
  return Get(ctx, 0, [](BarContext* c) { return c->dmpContext; });
}
int VEK_GetDaID(BarContext* ctx) {
  return Get(ctx, -1, [](BarContext* c) { return c->object.daId; });
}

int VEK_SetErrno(BarContext* ctx, int code) {
  return Set(ctx, [code](BarContext* c) { c->lastCode = code; });
}
int VEK_SetLastError(BarContext* ctx, int code) {
  return Set(ctx, [code](BarContext* c) { c->lastError = code; });
}
int VEK_SetOutput(BarContext* ctx, int output) {
  return Set(ctx, [output](BarContext* c) { c->output = output; });
}
int VEK_SetIntegSpecific(BarContext* ctx, int word) {
  return Set(ctx, [word](BarContext* c) { c->integSpecific = word; });
}
int VEK_SetAppTypeAppName(BarContext* ctx, const char* appType, const char* appName) {
  return Set(ctx, [appType, appName](BarContext* c) {
    CopyText(c->appType, appType);
    CopyText(c->appName, appName);
    CmnSetAdditionalId(c->appName);
  });
}
int VEK_SetObjectSize(BarContext* ctx, int64_t size) {
  return Set(ctx, [size](BarContext* c) { c->object.counters.objSize = size; });
}
int VEK_SetDatabaseId(BarContext* ctx, const char* id) {
  return Set(ctx, [id](BarContext* c) { CopyText(c->databaseId, id); });
}

void VEK_DumpMessage(const char* message) {
  StrParseMessageToDebugs(message, kLevelDetail, nullptr, "\t|", 0);
}

void VEK_DumpMessageL(StrMsg* msg) {
  StrParseMessageToDebugsL(msg, nullptr, kLevelDetail, nullptr, "\t|", 0);
}

int VEK_IsConsole() {
  return isatty(STDIN_FILENO) ? 1 : 0;
}

// The session-manager link of an integration context: opening and
// re-attaching the session, sending and receiving its messages, progress
// status, abort and stop, and the object request.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bar2/bar2.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barrc.h"
#include "barutil/barmsg.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/sysio.h"
#include "csa/csa.h"
#include "csa/csasession.h"
#include "dacmn/dacmn.h"

TARN_RCSID("integ/bar2/barlink.cpp");

using bar2_detail::CopyText;

namespace {

constexpr int kLiteralAbortBase = 7500;
constexpr int kLevelFlow = 1;
constexpr int kLevelItems = 20;
constexpr int kConnectBudgetDefault = 600;
constexpr int kConnectPause = 10;

int DefaultWait(IpcHandle handle, int seconds) {
  if (IpcWaitForIpcEventOnHandle(handle, seconds) >= 0) return 1;
  return IpcGetLastIpcEvent() == IPC_EVENT_TIMEOUT ? 0 : -1;
}

bar2_detail::SmWaitFn smWait = DefaultWait;

// The data path's copy of the connection, which reconnection replaces.
void SetConHandle(IpcHandle handle) {
  if (IpcHandle* con = DaConIpcHandle()) *con = handle;
}

// After a reconnecting call the data path holds the connection in force.
void TakeHandleBack(BarContext* ctx) {
  if (const IpcHandle* con = DaConIpcHandle()) ctx->session.smHandle = *con;
}

void TraceItems(StrMsg* msg, const char* title) {
  StrParseMessageToDebugsL(msg, StrMsgGetBufL(msg), kLevelItems, title, "\t|", 0);
}

int StatusInterval() {
  return VEK_Global.update > 0 ? VEK_Global.update : kVekUpdateDefault;
}

int64_t Kilobytes(int64_t bytes) {
  return bytes > 0 ? (bytes + 1023) / 1024 : 0;
}

// Builds MSG_OPTIONS for a new session.
bool BuildOptions(BarContext* ctx, int type, const SessionConnectOptions& o, StrMsg* msg) {
  std::string head = std::string(ctx->appType) + " " + (o.barlist != nullptr ? o.barlist : "");
  if (StrMsgStartExL(msg, nullptr, 0, MSG_OPTIONS, 0) != 0 ||
      StrMsgNAppendL(msg, "-bar", head.c_str(), nullptr) != 0)
    return false;
  if (type == kBarSessionBackup) {
    const char* diskOnly = std::getenv("VEKDISKONLY");
    if (o.diskOnly != 0 && diskOnly != nullptr && std::strtol(diskOnly, nullptr, 10) != 0 &&
        StrMsgAppendL(msg, "-disk_only") != 0)
      return false;
    return true;
  }
  if (o.restoreFlag != 0 && StrMsgAppendL(msg, kBarRestoreFlagWord) != 0) return false;
  if (o.noAutoDeviceSelection != 0 && StrMsgAppendL(msg, "-no_auto_device_selection") != 0)
    return false;
  if (o.devices != nullptr) {
    // Only whole pairs go out: a lone last entry would shift the session
    // manager's reading of every later word.
    for (int i = 0; i + 1 < o.deviceCount; i += 2) {
      if (StrMsgNAppendL(msg, "-changedevice", o.devices[i], o.devices[i + 1], nullptr) != 0)
        return false;
    }
  }
  return true;
}

// Closes without shutting down: the peer is gone or must not hear more.
void DropConnection(BarContext* ctx) {
  if (ctx->session.smHandle != kIpcNoHandle) {
    if (CsaIsInitialized() && MCsaGetSessionKey(ctx->session.smHandle) != nullptr) {
      MCsaDisconnectSession(ctx->session.smHandle);
    } else {
      IpcCloseConnection(ctx->session.smHandle);
    }
    ErhClearError();
  }
  ctx->session.smHandle = kIpcNoHandle;
  SetConHandle(kIpcNoHandle);
}

}  // namespace

namespace bar2_detail {
SmWaitFn SetSmWait(SmWaitFn wait) {
  const SmWaitFn previous = smWait;
  smWait = wait != nullptr ? wait : DefaultWait;
  return previous;
}
}  // namespace bar2_detail

int VEK_ConnectSession(BarContext* ctx, int type, const SessionConnectOptions* options) {
  static const char fn[] = "VEK_ConnectSession";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (type != kBarSessionBackup && type != kBarSessionRestore) return BarFail(ctx, BAR_EPARAM);
  if (ctx->smLink == 0) return 0;
  const SessionConnectOptions none{};
  const SessionConnectOptions& o = options != nullptr ? *options : none;

  StrMsg start;
  StrMsgInitL(&start);
  const bool fresh = ctx->session.sessGuid[0] == '\0';
  if (fresh) {
    if (!BuildOptions(ctx, type, o, &start)) {
      StrMsgFreeL(&start);
      return BarFail(ctx, BAR_EPARAM);
    }
    DbgPlain(kLevelFlow, "[%s] BAR2 --> MSG_OPTIONS (%s) --> SM (%d)", fn, StrMsgGetBufL(&start),
             ctx->session.smHandle);
  }
  int budget = bar2_detail::EnvSeconds("VEKRECONNECT_RETRY", kConnectBudgetDefault);
  DbgPlain(kLevelFlow, "[%s] guid: %s", fn, ctx->session.sessGuid);

  bool startedCsa = false;
  IpcHandle handle = kIpcNoHandle;
  bool failed = false;
  if (!CsaIsInitialized()) {
    if (VEK_InitCsa() != 0) {
      failed = true;
    } else {
      startedCsa = true;
    }
  }
  while (!failed && budget > 0) {
    ErhClearError();
    handle = fresh ? MCsaStartSession(0, type, StrMsgGetBufL(&start))
                   : MCsaReconnectSession(0, ctx->session.sessGuid);
    if (handle >= 0) break;
    if (!fresh && ErhErrno() == ECSANOTFOUND) break;
    // The cell server took the request and did not answer within the
    // client's bound: more attempts would wait it out again and again.
    if (CsaServerSilent() != 0) break;
    budget -= kConnectPause;
    cmn::SleepFor(std::chrono::seconds(kConnectPause));
  }
  StrMsgFreeL(&start);

  if (handle >= 0) {
    ctx->session.smHandle = handle;
    SetConHandle(handle);
    if (const char* guid = MCsaGetSessionGuid(handle); guid != nullptr && guid[0] != '\0') {
      if (std::strlen(guid) <= kBarGuidMax) {
        CopyText(ctx->session.sessGuid, guid);
      } else {
        // A cut GUID would re-attach to nothing; keep none rather than half.
        DbgPlain(kLevelFlow, "[%s] session id of %zu characters not kept", fn, std::strlen(guid));
        ctx->session.sessGuid[0] = '\0';
      }
    }
    DbgPlain(kLevelFlow, "[%s] smHandle: %d", fn, handle);
    if (startedCsa) {
      CsaExit();
      ctx->csaStarted = 0;
    }
    return 0;
  }
  if (startedCsa) {
    CsaExit();
    ctx->csaStarted = 0;
  }
  DbgPlain(kLevelFlow, "[%s] CsaStart/ReconnectSession failed. Error: %s", fn, ErhErrnoToText());
  ErhFullReportPacked(fn, kErhMajor,
                      NlsPackMessage(kBarMsgSet, kBarMsgSmConnect, ErhErrnoToText()));
  ErhClearError();
  return BarFail(ctx, BAR_ECOMM);
}

int VEK_CloseSession(BarContext* ctx) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  int rc = 0;
  if (ctx->session.smHandle != kIpcNoHandle) {
    if (CsaIsInitialized() && MCsaGetSessionKey(ctx->session.smHandle) != nullptr) {
      rc = MCsaDisconnectSession(ctx->session.smHandle);
    } else {
      ErhClearError();
      rc = IpcShutdownAndCloseConnection(ctx->session.smHandle);
    }
  }
  ctx->session.smHandle = kIpcNoHandle;
  SetConHandle(kIpcNoHandle);
  return rc < 0 ? BarFail(ctx, BAR_ENOMEM) : 0;
}

int VEK_SendMessage(BarContext* ctx, StrMsg* msg) {
  static const char fn[] = "VEK_SendMessage";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  TraceItems(msg, fn);
  SetConHandle(ctx->session.smHandle);
  const int rc =
      ctx->session.smHandle != kIpcNoHandle ? RcIpcSendMsg(ctx->session.smHandle, msg) : -1;
  TakeHandleBack(ctx);
  if (rc > 0) return 0;
  // Reconnecting has already been tried where it could be; sending again on
  // a closed connection cannot succeed.
  DbgPlain(kLevelFlow, "[%s] Cannot send data to SM (smHandle: %d). Error: %s", fn,
           ctx->session.smHandle, ErhErrnoToText());
  const std::string why = ErhErrnoToText();
  // Closed first, so that the report below is not sent into the broken link.
  DropConnection(ctx);
  ErhFullReportPacked(fn, kErhMinor, NlsPackMessage(kBarMsgSet, kBarMsgSmSend, why.c_str()));
  ErhClearError();
  return BarFail(ctx, BAR_ECOMM);
}

int VEK_ReceiveMessageEx(BarContext* ctx, int timeout, StrMsg* msg) {
  static const char fn[] = "VEK_ReceiveMessageEx";
  ctx = BarResolve(ctx);
  if (ctx == nullptr || ctx->session.smHandle == kIpcNoHandle) return BAR_ENOCONTEXT;
  if (msg == nullptr) msg = StrMsgGetGlobal();
  if (msg == nullptr) return BAR_ENOCONTEXT;
  const int interval = StatusInterval();
  int slice = timeout >= 0 && timeout <= interval ? timeout : interval;
  if (slice < 1) slice = 1;
  long waited = 0;
  for (;;) {
    const int ready = smWait(ctx->session.smHandle, slice);
    if (ready > 0) break;
    if (ready == 0) {
      waited += slice;
      if (timeout != -1 && waited >= timeout) return BarFail(ctx, BAR_EWAIT);
      VEK_UpdateStatus(ctx, 0, 1);
      if (ctx->session.smHandle == kIpcNoHandle) return BarFail(ctx, BAR_ECOMM);
      continue;
    }
    DbgPlain(kLevelFlow, "[%s] IpcWaitForIpcEventOnHandle got error %d", fn, ErhErrno());
    break;
  }
  SetConHandle(ctx->session.smHandle);
  const int n = RcIpcReceiveMsg(ctx->session.smHandle, msg);
  TakeHandleBack(ctx);
  const char* what = nullptr;
  int report = 0;
  int code = -1;
  if (n < 0) {
    what = "\"Read error\"";
    report = kBarMsgSmRead;
  } else if (n == 0) {
    what = "\"Close on read\"";
    report = kBarMsgSmClosed;
  } else {
    code = StrParseStartNL(msg, StrMsgGetRBufL(msg), static_cast<std::size_t>(n));
    if (code < 0) {
      what = "\"Parse error\"";
      report = kBarMsgSmParse;
    }
  }
  if (what != nullptr) {
    DbgPlain(kLevelFlow, "[%s] %s (smHandle: %d) Error: %s", fn, what, ctx->session.smHandle,
             ErhErrnoToText());
    if (report == kBarMsgSmParse) {
      // A stop would tell the session manager that all went well.
      VEK_SendAbort(ctx, kBarAbortBadMessage);
    } else {
      DropConnection(ctx);
    }
    ErhFullReportPacked(fn, kErhMinor, NlsPackMessage(kBarMsgSet, report));
    ErhClearError();
    return BarFail(ctx, BAR_ECOMM);
  }
  StrParseMessageToDebugsL(msg, nullptr, kLevelItems, fn, "\t|", 0);
  return code;
}

int VEK_ReceiveMessage(BarContext* ctx, StrMsg* msg) {
  return VEK_ReceiveMessageEx(ctx, -1, msg);
}

int VEK_UpdateStatus(BarContext* ctx, int64_t bytes, int force) {
  static const char fn[] = "VEK_UpdateStatus";
  ctx = BarResolve(ctx);
  if (ctx == nullptr || ctx->session.smHandle == kIpcNoHandle) return 0;
  if (bytes > 0) ctx->object.counters.bytesDone += bytes;
  const int now = bar2_detail::Now();
  if (force == 0 && ctx->object.counters.lastStatus != 0 &&
      now < ctx->object.counters.lastStatus + StatusInterval())
    return 0;
  DbgPlain(kLevelFlow, "[%s] BAR2 --> MSG_BDASTATUS --> SM (%d)", fn, ctx->session.smHandle);
  StrMsg msg;
  StrMsgInitL(&msg);
  int rc = StrMsgStartExL(&msg, nullptr, 0, MSG_BDASTATUS, 0);
  // The sizes go as plain 64-bit decimals, which the session manager reads
  // as one number each (the message codec's own 64-bit form is two halves).
  const std::string sizeKb = std::to_string(Kilobytes(ctx->object.counters.objSize));
  const std::string doneKb = std::to_string(Kilobytes(ctx->object.counters.bytesDone));
  if (rc == 0)
    rc = StrMsgFAppendL(&msg, "%d%d%d%d%d%d%s%s", bar2_detail::WallSeconds(),
                        ctx->object.counters.worstLevel, ctx->object.counters.level0Reports,
                        ctx->object.counters.errorReports, ctx->object.counters.items,
                        ctx->object.counters.objItems, sizeKb.c_str(), doneKb.c_str());
  SetConHandle(ctx->session.smHandle);
  if (rc == 0) rc = RcIpcSendMsg(ctx->session.smHandle, &msg) > 0 ? 0 : -1;
  StrMsgFreeL(&msg);
  TakeHandleBack(ctx);
  ctx->object.counters.lastStatus = static_cast<time_t>(now);
  return rc == 0 ? 0 : BAR_ECOMM;
}

int VEK_SendAbort(BarContext* ctx, int code) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (ctx->session.smHandle == kIpcNoHandle) return 0;
  DbgPlain(kLevelFlow, "[VEK_SendAbort] BAR2 --> MSG_ABORT (code %d) --> SM (%d)", code,
           ctx->session.smHandle);
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrMsgStartExL(&msg, nullptr, 0, MSG_ABORT, 0) == 0 && StrMsgFAppendL(&msg, "%d", code) == 0)
    IpcSendStrMsgL(ctx->session.smHandle, &msg);
  StrMsgFreeL(&msg);
  ErhClearError();
  return VEK_CloseSession(ctx);
}

int VEK_Abort(BarContext* ctx, int code) {
  static const char fn[] = "VEK_Abort";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  ErhFullReportPacked(
      fn, kErhMinor,
      NlsPackMessage(kBarMsgSet,
                     ctx->session.abortWording != 0 ? kBarMsgAbortingCode : kBarMsgAbortedCode,
                     code));
  return VEK_SendAbort(ctx, code);
}

int VEK_OnAbortM(BarContext* ctx, StrMsg* received, const char* file, const char* function,
                 int line) {
  static const char fn[] = "VEK_OnAbortM";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  int code = 0;
  if (received == nullptr || StrParseMessageFL(received, "%d", &code) != 0) code = 0;
  ctx->session.abortCode = code;
  DbgPlain(kLevelFlow, "[%s] BAR2 <-- MSG_ABORT (code %d) <-- SM (%d). (%s %s:%d)", fn, code,
           ctx->session.smHandle, function != nullptr ? function : "", file != nullptr ? file : "",
           line);
  int found = 0;
  const char* text = "Unknown";
  if (code >= 0 && code <= 100000) {
    NlsGetCatalogStringEx(kNlsSetLiteral, code + kLiteralAbortBase, &found);
    if (found != 0) text = NlsPackLiteral(code + kLiteralAbortBase);
  }
  ErhFullReportPacked(
      fn, kErhMinor,
      NlsPackMessage(kBarMsgSet,
                     ctx->session.abortWording != 0 ? kBarMsgSmAborted : kBarMsgSessionAborted,
                     text));
  VEK_SendAbort(ctx, code);
  return BarFail(ctx, BAR_EABORTED);
}

int VEK_Stop(BarContext* ctx) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (ctx->session.smHandle == kIpcNoHandle) return 0;
  DbgPlain(kLevelFlow, "[VEK_Stop] BAR2 --> MSG_STOP --> SM (%d)", ctx->session.smHandle);
  StrMsg msg;
  StrMsgInitL(&msg);
  SetConHandle(ctx->session.smHandle);
  if (StrMsgStartExL(&msg, nullptr, 0, MSG_STOP, 0) == 0) RcIpcSendMsg(ctx->session.smHandle, &msg);
  StrMsgFreeL(&msg);
  TakeHandleBack(ctx);
  ErhClearError();
  return VEK_CloseSession(ctx);
}

int BarEndSession(BarContext* ctx, int code) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  int rc = 0;
  if (ctx->session.sessGuid[0] != '\0' && ctx->session.smHandle == kIpcNoHandle &&
      ctx->smLink != 0) {
    // Between objects the connection is closed: attach again to end it.
    const int type = ctx->mode == BAR_MODE_RESTORE || ctx->mode == BAR_MODE_OBJECT_RESTORE
                         ? kBarSessionRestore
                         : kBarSessionBackup;
    rc = VEK_ConnectSession(ctx, type, nullptr);
  }
  if (rc == 0) rc = code == 0 ? VEK_Stop(ctx) : VEK_Abort(ctx, code);
  ctx->session.sessGuid[0] = '\0';
  return rc;
}

int VEK_RestartDebugging(BarContext* ctx, const char* postfix, const char* ranges,
                         const char* select) {
  static const char fn[] = "VEK_RestartDebugging";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (DbgGetFd() != nullptr) {
    DbgPlain(kLevelFlow,
             "[%s] Debugging already running. Ignoring new debug parameters.\nsession: %s\nranges "
             ": %s\nselect : %s\n",
             fn, postfix != nullptr ? postfix : "", ranges != nullptr ? ranges : "",
             select != nullptr ? select : "");
    return 0;
  }
  if (postfix == nullptr || postfix[0] == '\0' || ranges == nullptr || ranges[0] == '\0') {
    DbgPlain(kLevelFlow, "[%s] session or ranges not specified. Ignoring new debug parameters.\n",
             fn);
    return 0;
  }
  DbgEndTrace();
  const std::string full = std::string(ctx->module) + "_" + postfix;
  ctx->dbgPostfix.reset(StrNewCopy(full.c_str()));
  CopyText(ctx->dbgRanges, ranges);
  CopyText(ctx->dbgSelect, select != nullptr ? select : "");
  DbgInit(ctx->dbgPostfix.get(), ctx->dbgRanges, ctx->dbgSelect);
  return 0;
}

int VEK_End(BarContext* ctx, int code) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return 0;
  int first = 0;
  auto keep = [&first](int rc) {
    if (first == 0) first = rc;
  };
  if (ctx->mode == BAR_MODE_OBJECT_BACKUP) keep(bar2_detail::LinkEndObject(ctx, code));
  if (ctx->mode == BAR_MODE_BACKUP) keep(bar2_detail::LinkEndSession(ctx, code));
  if (ctx->mode == BAR_MODE_OBJECT_RESTORE) keep(bar2_detail::LinkEndObject(ctx, code));
  if (ctx->mode == BAR_MODE_RESTORE) keep(bar2_detail::LinkEndSession(ctx, code));
  if (ctx->mode == BAR_MODE_IDLE) keep(VEK_Exit(ctx));
  return first;
}

int VEK_RequestObject(BarContext* ctx, int type, StrMsg* request, IntegOptions* opts) {
  static const char fn[] = "VEK_RequestObject";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (request == nullptr || opts == nullptr || StrMsgGetBufL(request) == nullptr)
    return BarFail(ctx, BAR_EPARAM);
  DbgPlain(kLevelFlow, "[%s] BAR2 --> MSG_BAROPT --> SM (%d). Options:", fn, ctx->session.smHandle);
  TraceItems(request, fn);
  for (;;) {
    if (VEK_SendMessage(ctx, request) != 0) return BarFail(ctx, BAR_ECOMM);
    StrMsg* answer = &ctx->session.smMsg;
    const int code = VEK_ReceiveMessage(ctx, answer);
    if (code < 0) return BarFail(ctx, BAR_ECOMM);
    switch (code) {
      case MSG_CONNECT:
        DbgPlain(kLevelFlow, "[%s] BAR2 <-- MSG_CONNECT <-- SM (%d).", fn, ctx->session.smHandle);
        OptFreeOpts(opts);
        OptParseMsgOpts(answer, opts);
        return 0;
      case MSG_ABORT: return VEK_OnAbortM(ctx, answer, rcsId, fn, __LINE__);
      case MSG_WAIT: {
        int seconds = 0;
        if (StrParseMessageFL(answer, "%d", &seconds) != 0 || seconds < 1)
          seconds = kBarWaitDefault;
        DbgPlain(kLevelFlow, "[%s] BAR2 <-- MSG_WAIT (%d sec) <-- SM (%d).", fn, seconds,
                 ctx->session.smHandle);
        BarEndSession(ctx, 0);
        cmn::SleepFor(std::chrono::seconds(seconds));
        const SessionConnectOptions again = bar2_detail::SessionOptionsOf(ctx, type);
        if (VEK_ConnectSession(ctx, type, &again) != 0) return BarFail(ctx, BAR_ECOMM);
        continue;
      }
      default:
        DbgPlain(kLevelFlow, "[%s] Got unexpected message from SM. Error: %s", fn,
                 ErhErrnoToText());
        ErhFullReportPacked(fn, kErhMinor, NlsPackMessage(kBarMsgSet, kBarMsgSmUnexpected, code));
        ErhClearError();
        return BarFail(ctx, BAR_ECOMM);
    }
  }
}

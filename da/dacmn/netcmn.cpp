// What the backup and the restore network processes share: reports to the
// parent, the connection to the media agent and the data segment.
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/vekfile.h"
#include "dacmn/netimpl.h"
#include "ipc/ipcasync.h"

TARN_RCSID("da/dacmn/netcmn.cpp");

namespace dacmn_detail {

namespace {

// Marks the segment under `key` for removal once at least `attached`
// processes hold it; false while fewer do. A segment another process made is
// left alone: the parent may have removed ours already, and its key may name
// someone else's by now.
bool RemoveOwnSegment(int key, shmatt_t attached) {
  const int id = shmget(key, 0, 0);
  if (id < 0) return true;
  shmid_ds state{};
  if (shmctl(id, IPC_STAT, &state) != 0) return false;
  if (state.shm_cpid != getpid()) return true;
  if (state.shm_nattch < attached) return false;
  if (shmctl(id, IPC_RMID, nullptr) != 0) {
    DbgPlain(kLevel, "NetRemoveWhenShared: shmctl(%d, IPC_RMID) failed (errno=%d)", id, errno);
  }
  return true;
}

// A flattened packed catalogue message: its code, then the separator.
bool IsPacked(std::string_view text) {
  const std::string code = std::to_string(kNlsPackedCode);
  return text.size() > code.size() && text.starts_with(code) && text[code.size()] == kNlsSeparator;
}

}  // namespace

int NetSendToParent(int code, const char* text, int DacmnPtd::*asyncFlag) {
  static const char fn[] = "NetSendReport";
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr || ctx->maIpcHandle == kIpcNoHandle || text == nullptr) return -1;
  const IpcHandle pipe = ctx->maIpcHandle;
  const bool async = ctx->*asyncFlag != 0;
  bool flushed = false;
  if (async && IpcCanSendAsync(pipe) == 0) {
    const int rc = IpcFlushAsyncHandle(pipe, kNetFlushSeconds);
    if (rc == -1) DbgPlain(kLevel, "%s: maIpcHandle could not be flushed", fn);
    if (rc == 0) DbgPlain(kLevel, "%s: maIpcHandle flush reached timeout", fn);
    if (rc != 1) return -1;
    flushed = true;
  }
  StrMsg* out = IpcGetStrMsg(pipe);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, code, 0) != 0 ||
      StrMsgAppendL(out, text) != 0) {
    DbgPlain(kLevel, "%s: Could not assemble new message", fn);
    return -1;
  }
  if (!async) return IpcSendStrMsg(pipe) > 0 ? 1 : -1;
  if (IpcSendStrMsgAsync(pipe) != 0) return -1;
  // A send that was already pending ends in the main loop, which waits for
  // its completion; this one then takes its place.
  if (flushed) return 1;
  const int rc = IpcFlushAsyncHandle(pipe, kNetFlushSeconds);
  if (rc == -1) DbgPlain(kLevel, "%s: maIpcHandle could not be flushed", fn);
  return rc == 1 ? 1 : -1;
}

void NetForwardReport(const char* message, int DacmnPtd::*asyncFlag) {
  if (message == nullptr) return;
  NetSendToParent(IsPacked(message) ? MSG_MSGFMT : MSG_MSG, message, asyncFlag);
}

void NetForwardConsole(const char* message, int DacmnPtd::*asyncFlag) {
  if (message == nullptr) return;
  NetSendToParent(MSG_CON, message, asyncFlag);
}

NetStep NetConnectAgent(DacmnPtd* ctx, const NetAgentSide& side, IpcHandle* ma, bool* remote) {
  *ma = IpcConnectToProcess(ctx->maHost, static_cast<unsigned>(ctx->maPort), 0);
  if (*ma == kIpcNoHandle) {
    ErhFullReportPacked(
        side.prog, kErhMajor,
        NlsPackMessage(kSetDataPath, kDaMsgConnect, ctx->maHost, ctx->maPort, ErhErrnoToText()));
    return NetStep::kExitSetup;
  }
  if (IpcSetAsyncDynBuf(*ma) != 0) {
    ErhFullReportPacked(side.prog, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgNetRead, ErhErrnoToText()));
    return NetStep::kExitIpc;
  }
  if (IpcReceiveData(*ma, nullptr, 0) <= 0) {
    ErhFullReportPacked(side.prog, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgNoAnswer, ErhErrnoToText()));
    return NetStep::kExitSetup;
  }
  if (StrParseStartL(IpcGetReceiveStrMsg(*ma), nullptr) == MSG_ABORT) {
    if (side.abortTrace != nullptr) DbgPlain(kLevel, "%s", side.abortTrace);
    return NetStep::kExitAbort;
  }
  const int negotiated = DaProtocolCheck(*ma, nullptr);
  if (negotiated != 0 && negotiated != 1) {
    ErhFullReportPacked(side.prog, kErhMajor, NlsPackMessage(kSetError, kMsgNegotiation));
    return NetStep::kExitIpc;
  }
  *remote = IpcHandleIsLocal(*ma) != 1;
  int forced = 0;
  if (EnvReadInt(side.forceRemote, &forced) == 1 && forced != 0) {
    DbgPlain(kLevel, "%s", side.forcedTrace);
    *remote = true;
  }
  return NetStep::kGoOn;
}

bool NetSetUpSegment(IpcHandle pipe, bool remote, BmShmDescription* g) {
  void* address = nullptr;
  if (!remote) {
    if (IpcAttachShmem(pipe, g->key, &address, g->shmSize) != 0) return false;
  } else if (IpcAllocShmem(pipe, &address, g->shmSize) != 0 ||
             (g->key = IpcGetShmemKey(pipe)) == -1) {
    return false;
  }
  g->address = reinterpret_cast<std::uintptr_t>(address);
  return true;
}

bool NetSendListen(IpcHandle pipe, const BmShmDescription& g) {
  StrMsg* out = IpcGetStrMsg(pipe);
  return out != nullptr && StrMsgStartExL(out, nullptr, 0, MSG_LISTEN, 0) == 0 &&
         StrMsgFAppendL(out, "%d%d%d%d%d%d", g.key, g.shmSize, g.section, g.bufNum, g.bufSize,
                        g.bufOffset) == 0 &&
         IpcSendStrMsg(pipe) > 0;
}

void NetFileGeometry(const char* prog, int* size, int* count) {
  int value = 0;
  if (EnvReadInt("VEKDABLOCKSIZE", &value) == 1) {
    if (value >= 8192 && value <= 1048576) {
      *size = value;
    } else {
      DbgPlain(kLevel, "%s: VEKDABLOCKSIZE=%d out of range, ignored", prog, value);
    }
  }
  if (EnvReadInt("VEKDABLOCKSPERDA", &value) == 1) {
    if (value >= 1 && value <= 32) {
      *count = value;
    } else {
      DbgPlain(kLevel, "%s: VEKDABLOCKSPERDA=%d out of range, ignored", prog, value);
    }
  }
}

NetStep NetStartProcess(DacmnPtd* ctx, IpcHandle pipe, const char* prog,
                        void (*fileMain)(const char*)) {
  IpcSetMaxNetLoad(ctx->netLoad);
  if (ctx->maPort == -1 && ctx->maHost[0] == '\0') {
    fileMain(ctx->filePath);
    return NetStep::kExitIpc;
  }
  if (IpcSetAsyncDynBuf(pipe) == 0) return NetStep::kGoOn;
  NetReportIpc(prog);
  return NetStep::kExitIpc;
}

NetStep NetFileStart(DacmnPtd* ctx, const char* prog, int DacmnPtd::*asyncFlag,
                     BmShmDescription* g) {
  const IpcHandle pipe = ctx->maIpcHandle;
  if (!NetSetUpSegment(pipe, true, g)) {
    ErhFullReportPacked(prog, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgAttach, ErhErrnoToText()));
    return NetStep::kExitSetup;
  }
  if (IpcSetAsyncDynBuf(pipe) == 0 && NetSendListen(pipe, *g)) {
    ctx->*asyncFlag = 1;
    if (IpcReceiveAsync(pipe, nullptr, 0) == 0) return NetStep::kGoOn;
  }
  NetReportIpc(prog);
  return NetStep::kExitIpc;
}

bool NetSendWhenDue(IpcHandle pipe, NetStop* state, int code, bool* sent) {
  if (*state != NetStop::kDue) return false;
  *state = NetStop::kSent;
  const bool started = NetSendCode(pipe, code, -1);
  if (sent != nullptr) *sent = started;
  return true;
}

bool NetSendOnce(IpcHandle pipe, NetStop* state, int code) {
  if (*state != NetStop::kNone) return true;
  if (IpcCanSendAsync(pipe) != 1) {
    *state = NetStop::kDue;
    return true;
  }
  *state = NetStop::kSent;
  return NetSendCode(pipe, code, -1);
}

void NetReportIpc(const char* prog) {
  ErhFullReportPacked(prog, kErhMajor,
                      NlsPackMessage(kSetDataPath, kDaMsgNetRead, ErhErrnoToText()));
}

NetStep NetRearmPipe(IpcHandle pipe, const char* prog) {
  if (IpcReceiveAsync(pipe, nullptr, 0) == 0) return NetStep::kGoOn;
  NetReportIpc(prog);
  return NetStep::kExitIpc;
}

NetStep NetFileVariant::OpenFile(const char* prog, int mode, int flags) {
  fd_ = cmn::UniqueFd(VEK_OpenFile(path_ != nullptr ? path_ : "", mode, flags));
  if (fd_.get() >= 0) return NetStep::kGoOn;
  ErhFullReportPacked(prog, kErhMajor,
                      NlsPackMessage(kSetDataPath, kDaMsgOpenFile, ErhSysErrnoToText(errno)));
  return NetStep::kExitSetup;
}

NetStep NetFileVariant::StartSegment(const char* prog, int DacmnPtd::*asyncFlag, int size,
                                     int count, int spare) {
  size_ = size;
  count_ = count;
  NetFileGeometry(prog, &size_, &count_);
  BmShmDescription g{};
  g.bufSize = size_;
  g.bufNum = count_;
  g.shmSize = count_ * size_ + spare;
  if (const NetStep rc = NetFileStart(ctx_, prog, asyncFlag, &g); rc != NetStep::kGoOn) return rc;
  key_ = g.key;
  base_ = reinterpret_cast<char*>(g.address);
  return NetStep::kGoOn;
}

bool NetRemoveWhenShared(int key) {
  return RemoveOwnSegment(key, 2);
}

void NetRemoveOwnSegment(int key) {
  RemoveOwnSegment(key, 0);
}

namespace {

bool BuildCode(IpcHandle handle, int code, int id) {
  StrMsg* out = IpcGetStrMsg(handle);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, code, 0) != 0) return false;
  return id < 0 || StrMsgFAppendL(out, "%d", id) == 0;
}

}  // namespace

bool NetSendCode(IpcHandle handle, int code, int id) {
  return BuildCode(handle, code, id) && IpcSendStrMsgAsync(handle) == 0;
}

bool NetSendCodeWithBlock(IpcHandle handle, int code, int id, const void* block, int length) {
  return BuildCode(handle, code, id) && IpcSendStrMsgAndDataAsync(handle, block, length) == 0;
}

std::vector<char> NetRelayedStop(StrMsg* msg) {
  const int size = StrMsgSizeRBufL(msg);
  const char* text = StrMsgGetRBufL(msg);
  if (size > 0 && text != nullptr) return std::vector<char>(text, text + size);
  char buffer[16];
  StrMsg bare;
  StrMsgInitL(&bare);
  if (StrMsgStartExL(&bare, buffer, sizeof buffer, MSG_STOP, 1) != 0) return {};
  const char* bytes = StrMsgGetBufL(&bare);
  return std::vector<char>(bytes, bytes + StrMsgSizeBufL(&bare));
}

bool NetReadInt(StrMsg* msg, int* value) {
  return StrParseMessageFL(msg, "%d", value) == 0;
}

}  // namespace dacmn_detail

// The stream's segment as both buffer managers see it: the media side's
// description, where buffers lie, the opening of a local media agent and the
// attachment, and the reports and texts both sides share.
#include "dacmn/dashm.h"

#include <sys/shm.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "dacmn/bmimpl.h"
#include "dacmn/daimpl.h"
#include "ipc/ipcasync.h"
#include "vekdf/daformat.h"

TARN_RCSID("da/dacmn/dashm.cpp");

using namespace dacmn_detail;
using namespace bm_detail;

namespace {

// Smallest block: its header and one record header.
constexpr int kMinBlock = static_cast<int>(kDaBlkHeaderSize + kDaRecHeaderSize);

// A segment that the network process `creator` made for the stream is marked
// for removal as soon as this side has attached it too: it then goes with the
// last of the two, however either ends, also when the network process dies
// before it hears from this side. A local agent's own segment, and one that
// has gone and whose key now names another's, are left alone.
void RemoveWhenMadeBy(int key, int creator) {
  if (creator <= 0) return;
  const int id = shmget(key, 0, 0);
  shmid_ds state{};
  if (id < 0 || shmctl(id, IPC_STAT, &state) != 0 || state.shm_cpid != creator) return;
  if (shmctl(id, IPC_RMID, nullptr) != 0) {
    DbgPlain(kLevel, "shmctl(%d, IPC_RMID) failed (errno=%d)", id, errno);
  }
}

bool ParseAddress(const char* text, std::uintptr_t* address) {
  const char* end = text + std::strlen(text);
  int base = 10;
  if (end - text > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text += 2;
    base = 16;
  }
  const auto [last, error] = std::from_chars(text, end, *address, base);
  return error == std::errc() && last == end;
}

}  // namespace

const char* BmCheckShmDescription(const BmShmDescription& d, DaSide side) {
  if (d.bufNum < 1 || d.bufNum > kBmMaxBuffers) return "buffer count outside 1..64";
  if (d.bufSize < 1 || d.bufSize % static_cast<int>(kDaAlign) != 0) {
    return "buffer size not a positive multiple of 8";
  }
  if (d.bufOffset < 0 || d.bufOffset > d.bufSize ||
      d.bufSize - DaBlockSkip(d.bufOffset) < kMinBlock) {
    return "buffer offset leaves no room for a block";
  }
  if (d.section < 0) return "negative section";
  const std::uint64_t rings =
      side == DA_RESTORE ? 1 : std::uint64_t(static_cast<unsigned>(d.section)) + 1;
  const std::uint64_t needed = std::uint64_t(static_cast<unsigned>(d.bufSize)) * rings *
                               std::uint64_t(static_cast<unsigned>(d.bufNum));
  if (d.shmSize < 1 || needed > static_cast<std::uint64_t>(d.shmSize)) {
    return "the buffers do not lie inside the segment";
  }
  return nullptr;
}

const char* DaReadShmDescription(StrMsg* msg, BmShmDescription* d) {
  char address[64] = "";
  if (StrParseMessageFL(msg, "%d%d%s%d%d%d%d", &d->section, &d->key, address, sizeof address,
                        &d->bufSize, &d->bufNum, &d->shmSize, &d->bufOffset) != 0) {
    return "malformed shared memory description";
  }
  if (!ParseAddress(address, &d->address)) return "malformed shared memory address";
  return nullptr;
}

const char* BmParseShmDescription(StrMsg* msg, BmShmDescription* d, DaSide side) {
  if (const char* why = DaReadShmDescription(msg, d)) return why;
  return BmCheckShmDescription(*d, side);
}

const char* DaParseListen(StrMsg* msg, BmShmDescription* d) {
  d->address = 0;
  if (StrParseMessageFL(msg, "%d%d%d%d%d%d", &d->key, &d->shmSize, &d->section, &d->bufNum,
                        &d->bufSize, &d->bufOffset) != 0) {
    return "malformed MSG_LISTEN";
  }
  return nullptr;
}

int DaBlockSkip(int bufOffset) {
  return static_cast<int>(DaAlignUp(static_cast<std::uint64_t>(bufOffset)));
}

std::size_t DaBufferStart(const DaShmBuffers& shm, int id, DaSide side) {
  const std::size_t before = side == DA_RESTORE ? 0
                                                : static_cast<std::size_t>(shm.shmemSection) *
                                                      static_cast<std::size_t>(shm.bufNum);
  return static_cast<std::size_t>(shm.bufSize) * (before + static_cast<std::size_t>(id));
}

namespace {

// Beyond the retry window: a network process's two waits of 600 seconds on
// its reconnected agent, and one probe interval.
constexpr int kPeerWaitBeyondRetry = 2 * 600 + 120;
constexpr int kDefaultRetryWindow = 1200;
int peerWaitOverride = 0;

}  // namespace

int dacmn_detail::DaSetPeerWaitSeconds(int seconds) {
  const int previous = peerWaitOverride;
  peerWaitOverride = seconds > 0 ? seconds : 0;
  return previous;
}

namespace bm_detail {

int PeerWaitSeconds() {
  if (peerWaitOverride > 0) return peerWaitOverride;
  int retry = 0;
  if (EnvReadInt("VEKRECONNECT_RETRY", &retry) != 1 || retry <= 0) retry = kDefaultRetryWindow;
  return retry > INT_MAX - kPeerWaitBeyondRetry ? INT_MAX : retry + kPeerWaitBeyondRetry;
}

void ReportSilentPeer(const char* fn, int seconds) {
  DbgPlain(kLevel, "%s: no message on the stream's links for %d seconds; giving the stream up", fn,
           seconds);
  ReportDataPath(fn, kDaMsgWaitFailed,
                 "nothing received for " + std::to_string(seconds) + " seconds");
}

IpcHandle WaitOnStream(const char* fn, IpcHandle sm, IpcHandle ma, bool poll, bool* idle) {
  *idle = false;
  const int limit = PeerWaitSeconds();
  const IpcHandle handles[2] = {sm, ma};
  const bool none = sm < 0 && ma < 0;
  const IpcHandle handle = IpcWaitForIpcEventOnHandles(handles, 2, poll ? 0 : (none ? -1 : limit));
  if (handle >= 0) return handle;
  if (IpcGetLastIpcEvent() == IPC_EVENT_TIMEOUT) {
    ErhClearError();
    if (poll) {
      *idle = true;
    } else {
      ReportSilentPeer(fn, limit);
    }
    return -1;
  }
  ReportDataPath(fn, kDaMsgWaitFailed, ErrorText());
  ErhClearError();
  return -1;
}

std::string ErrorText() {
  const char* text = ErhSysErrorStr();
  if (text == nullptr || text[0] == '\0') text = ErhErrnoToText();
  return text != nullptr ? text : "";
}

void ReportDataPath(const char* function, int number) {
  ErhFullReportPacked(function, kErhMajor, NlsPackMessage(kSetDataPath, number));
}

void ReportDataPath(const char* function, int number, const std::string& text) {
  ErhFullReportPacked(function, kErhMajor, NlsPackMessage(kSetDataPath, number, text));
}

void ReportInternal(const char* function, const char* sourceId, int line) {
  DbgPlain(kDbgUnexpected, "[%s] internal error at line %d", function, line);
  ErhMarkM(ERH_INTERNAL, 0, function, kErhMajor, sourceId, line);
  const std::string file = Get_FILE_from_rcsId(sourceId);
  ErhFullReportPackedM(function, kErhMajor,
                       NlsPackMessage(kSetError, kNlsErrorInternal, file, line, file, line),
                       sourceId, line);
}

dacmn_detail::TracedExit TraceOpening(const char* file, int line, const char* function, int daId,
                                      const char* maHost, int maPort) {
  DbgFcnInEx(file, line, function, kLevel, "(da %d, host %s, port %d)", daId,
             maHost != nullptr ? maHost : "", maPort);
  return dacmn_detail::TracedExit(file, line, function);
}

bool NoStreamOpen(const char* function, const char* rcsId, int line, bool streamOpen,
                  const DacmnPtd* ctx) {
  if (!streamOpen && ctx->maIpcHandle < 0) return true;
  DbgPlain(kDbgUnexpected, "[%s] a stream is already open", function);
  ReportInternal(function, rcsId, line);
  return false;
}

bool QueueBuffer(const char* function, const char* rcsId, int line, QueRec* queue, const char* name,
                 int id) {
  DbgPlain(kLevel, "ack (%2d)", id);
  if (QuePut(queue, id) != 0) return true;
  DbgPlain(kDbgUnexpected, "%s: QuePut (%s) buffer %ul failed!", function, name,
           static_cast<unsigned>(id));
  DbgPlain(kDbgUnexpected, "Queue size: %d, front : %d, rear: %d", queue->size, queue->front,
           queue->rear);
  ReportInternal(function, rcsId, line);
  return false;
}

bool SendBare(IpcHandle handle, int code) {
  StrMsg* msg = IpcGetStrMsg(handle);
  return msg != nullptr && StrMsgStartExL(msg, nullptr, 0, code, 0) == 0 &&
         IpcSendStrMsg(handle) > 0;
}

int StoreStreamFields(DacmnPtd* ctx, DaSide side, int waitForStop, IpcHandle smHandle,
                      char* smBuffer, int daId, const char* maHost, int maPort,
                      const char* filePath, double netLoad) {
  ctx->daId = daId;
  std::snprintf(ctx->maHost, sizeof ctx->maHost, "%s", maHost != nullptr ? maHost : "");
  // The network process takes port -1 with no host for the file variant.
  const bool file = ctx->maHost[0] == '\0' && filePath != nullptr && filePath[0] != '\0';
  ctx->maPort = file ? -1 : maPort;
  std::snprintf(ctx->filePath, sizeof ctx->filePath, "%s", filePath != nullptr ? filePath : "");
  ctx->netLoad = netLoad;
  ctx->waitForStop = waitForStop;
  ctx->smHandle = smHandle;
  ctx->smBuffer = smBuffer;
  ctx->netPid = 0;
  const int netIO = DaChooseNetIO(side, maHost, filePath);
  if (netIO >= 0) ctx->netIO = netIO;
  return netIO;
}

int SessionManagerCode(IpcHandle handle, char* buffer, int length) {
  if (buffer == nullptr) return StrParseStartL(IpcGetReceiveStrMsg(handle), nullptr);
  StrMsg local;
  StrMsgInitL(&local);
  const int code = StrParseStartNL(&local, buffer, static_cast<std::size_t>(length));
  StrMsgFreeL(&local);
  return code;
}

bool OpenLocalAgent(DacmnPtd* ctx, DaSide side, BmShmDescription* d) {
  const char* fn = side == DA_RESTORE ? "RbmInit" : "BmInit";
  IpcHandleGuard guard(IpcConnectToProcess(ctx->maHost, static_cast<unsigned>(ctx->maPort), 0));
  if (!guard) {
    ErhFullReportPacked(
        fn, kErhMajor,
        NlsPackMessage(kSetDataPath, kDaMsgConnect, ctx->maHost, ctx->maPort, ErrorText()));
    ErhClearError();
    return false;
  }
  const IpcHandle handle = guard.get();
  if (IpcSetAsyncDynBuf(handle) != 0) {
    ReportDataPath(fn, kDaMsgNetRead, ErrorText());
    ErhClearError();
    return false;
  }
  DbgPlain(kLevel, "[%s] Succesfully set handle [maIpcHandle] %d to aync dyn mode", fn, handle);
  if (ipc_receiveDataEx(handle, nullptr, 0, kSetupTimeout) <= 0) {
    ReportDataPath(fn, kDaMsgNoAnswer, ErrorText());
    ErhClearError();
    return false;
  }
  const int negotiated = DaProtocolCheck(handle, nullptr);
  if (negotiated != 0 && negotiated != 1) {
    if (side == DA_RESTORE) {
      ErhFullReport(fn, kErhMajor, "\tFailed to negotiate protocol version with Media Agent.\n");
    } else {
      ErhFullReportPacked(fn, kErhMajor, NlsPackMessage(kSetError, kMsgNegotiation));
    }
    ErhClearError();
    return false;
  }
  if (negotiated == 0 && side == DA_RESTORE) {
    ErhFullReport(fn, kErhCritical,
                  "\tSuccessfully negotiated protocol version with Media Agent.\n");
  }
  StrMsg* msg = IpcGetReceiveStrMsg(handle);
  const int code = StrParseStartL(msg, nullptr);
  if (code != MSG_LISTEN) {
    DbgPlain(kLevel, "[%s] the media agent sent message %d instead of its description", fn, code);
    ReportDataPath(fn, kDaMsgAttach,
                   "no shared memory description (message " + std::to_string(code) + ")");
    return false;
  }
  if (const char* why = BmParseShmDescription(msg, d, side)) {
    DbgPlain(kLevel, "[%s] unusable shared memory description: %s", fn, why);
    ReportDataPath(fn, kDaMsgAttach, why);
    SendBare(handle, MSG_ABORT);
    return false;
  }
  ctx->maIpcHandle = guard.release();
  return true;
}

bool AttachSegment(const char* fn, DaSide side, IpcHandle handle, const BmShmDescription& d,
                   DaShmBuffers* shm) {
  DbgPlain(kLevel, "shmemKey\t= %d", d.key);
  DbgPlain(kLevel, "shmemSize\t= %d", d.shmSize);
  DbgPlain(kLevel, "shmemSection\t= %d", d.section);
  DbgPlain(kLevel, "shmemBasePtr\t= 0x%p", reinterpret_cast<void*>(d.address));
  DbgPlain(kLevel, "bufNum\t\t=%d", d.bufNum);
  DbgPlain(kLevel, "bufSize\t\t=%d", d.bufSize);
  DbgPlain(kLevel, "bufOffset\t=%d", d.bufOffset);
  if (const char* why = BmCheckShmDescription(d, side)) {
    DbgPlain(kLevel, "[%s] unusable shared memory description: %s", fn, why);
    ReportDataPath(fn, kDaMsgAttach, why);
    return false;
  }
  // The agent's address is only a wish: where it is taken here the IPC layer
  // attaches elsewhere.
  void* address = reinterpret_cast<void*>(d.address);
  if (IpcAttachShmem(handle, d.key, &address, d.shmSize) != 0) {
    ReportDataPath(fn, kDaMsgAttach, ErrorText());
    ErhClearError();
    return false;
  }
  DbgPlain(kLevel, "Attached shmemBasePtr\t= %p", address);
  if (const DacmnPtd* ctx = DacmnGetContext(); ctx != nullptr && ctx->netIO != 0) {
    RemoveWhenMadeBy(d.key, ctx->netPid);
  }
  shm->shmemKey = d.key;
  shm->shmemSize = d.shmSize;
  shm->shmemSection = d.section;
  shm->shmemBasePtr = static_cast<char*>(address);
  shm->bufNum = d.bufNum;
  shm->bufSize = d.bufSize;
  shm->bufOffset = d.bufOffset;
  shm->bufID = -1;
  shm->bufPtr = nullptr;
  return true;
}

bool ParseBufferId(const char* item, int bufNum, int* id) {
  if (item == nullptr || item[0] == '\0') return false;
  const char* end = item + std::strlen(item);
  int value = -1;
  if (std::from_chars(item, end, value).ptr != end || value < 0 || value >= bufNum) return false;
  *id = value;
  return true;
}

bool ForwardNetText(const char* fn, int code, StrMsg* msg) {
  switch (code) {
    case MSG_MSG:
    case MSG_MSGFMT: {
      DbgPlain(kLevel, code == MSG_MSG ? "from NET: MSG_MSG" : "from NET: MSG_MSGFMT");
      const char* text = StrParseNextL(msg);
      if (text != nullptr && text[0] != '\0') {
        if (code == MSG_MSG) {
          ErhFullReport(fn, -1, text);
        } else {
          ErhFullReportPacked(fn, -1, text);
        }
      }
      return true;
    }
    case MSG_CON: {
      DbgPlain(kLevel, "from NET: MSG_CON");
      const char* text = StrParseNextL(msg);
      if (text != nullptr) ErhToConsole(text);
      return true;
    }
    default: return false;
  }
}

Common OnSmCode(const char* function, const char* peer, int code, int known) {
  if (code == known) return Common::kOwn;
  switch (code) {
    case -1: ReportDataPath(function, kDaMsgSmParse, "no message"); return Common::kFailed;
    case MSG_ABORT:
      DbgPlain(kLevel, "from %s: MSG_ABORT", peer);
      ReportDataPath(function, kDaMsgSmAbort);
      return Common::kFailed;
    default:
      DbgPlain(kLevel, "from %s: Unknown Message ID: %d", peer, code);
      ReportDataPath(function, kDaMsgSmUnknown);
      return Common::kFailed;
  }
}

Common OnNetCode(const char* function, int code, StrMsg* msg) {
  switch (code) {
    case -1: ReportDataPath(function, kDaMsgNetParse, "no message"); return Common::kWait;
    case MSG_ABORT:
      DbgPlain(kLevel, "from NET: MSG_ABORT");
      ReportDataPath(function, kDaMsgNetAbort);
      return Common::kFailed;
    case MSG_MSG:
    case MSG_MSGFMT:
    case MSG_CON: ForwardNetText(function, code, msg); return Common::kWait;
    case MSG_STOP: DbgPlain(kLevel, "from NET: MSG_STOP"); return Common::kStopped;
    default: return Common::kOwn;
  }
}

void ReportUnknownNet(const char* function, int code) {
  DbgPlain(kLevel, "from NET: Unknown Message ID: %d", code);
  ReportDataPath(function, kDaMsgNetUnknown);
}

}  // namespace bm_detail

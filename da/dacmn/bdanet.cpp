// The backup network process: one event loop over the pipe to the parent and
// the connection to the media agent, with at most one send and one receive
// pending on each; blocks leave straight from the shared segment.
#include "dacmn/bdanet.h"

#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "dacmn/daimpl.h"
#include "dacmn/netimpl.h"
#include "ipc/ipcasync.h"

TARN_RCSID("da/dacmn/bdanet.cpp");

using namespace dacmn_detail;

namespace {

constexpr char kProg[] = "NetMain";
constexpr int kReconnectWindow = 600;
constexpr int kReconnectAnswerSeconds = 600;
constexpr int kReconnectPause = 10;
constexpr int kFileBufferSize = 8192;
constexpr int kFileBufferCount = 8;

// Idle seconds before MSG_PROBE; inherited by the processes forked later.
int probeSeconds = kNetProbeSeconds;

void Report(int level, const char* packed) {
  ErhFullReportPacked(kProg, level, packed);
}

// ---------------------------------------------------------------- geometry

// Takes a counter difference into 0 .. modulo - 1.
int Wrap(int difference, int modulo) {
  return difference < 0 ? difference + modulo : difference;
}

// ---------------------------------------------------------------- the process

class BackupNet {
 public:
  explicit BackupNet(DacmnPtd* ctx) : ctx_(ctx), pipe_(ctx->maIpcHandle) {}
  // The exit code.
  NetStep Run();

 private:
  NetStep SetUp();
  NetStep Loop();
  NetStep OnPipe(int event);
  NetStep OnParentMessage();
  NetStep OnAgent(int event);
  NetStep OnAgentMessage();
  NetStep OnAgentBroken();
  NetStep OnTimeout();
  void StopAgent();
  void StopParent();
  bool FeedAgent();
  bool FeedParent();
  void CloseAgent();
  void AbortParent();
  char* Buffer(int id) const { return base_ + std::size_t(id) * std::size_t(g_.bufSize); }

  DacmnPtd* ctx_;
  IpcHandle pipe_;
  IpcHandle ma_ = kIpcNoHandle;
  BmShmDescription g_{};
  bool remote_ = false;
  char* base_ = nullptr;
  std::vector<char> open_;      // the parent's MSG_OPEN, relayed to the agent
  std::vector<char> stopText_;  // and its MSG_STOP
  IdRing maRing_{};
  IdRing ackRing_{};
  int blockCounter_ = 0;
  int ackCounter_ = 0;
  int lastAcked_ = -1;
  // Per buffer: 0 with the parent, 1 queued here, 2 sent to the agent.
  std::array<int, kBmMaxBuffers> where_{};
  NetStop stop_ = NetStop::kNone;
  NetStop abort_ = NetStop::kNone;
  bool agentStopped_ = false;
  bool segmentRemoved_ = false;
  // While the link is down, and after a reconnection until the agent has
  // acknowledged a buffer over the new link: when reconnecting gives up.
  std::optional<cmn::Clock::TimePoint> reconnectDeadline_;
};

NetStep BackupNet::Run() {
  if (const NetStep rc = SetUp(); rc != NetStep::kGoOn) return rc;
  const NetStep code = Loop();
  // Acknowledgements still unread when the socket closes would turn its
  // close into a reset, which may cost the agent the MSG_STOP before it.
  if (agentStopped_ && ma_ != kIpcNoHandle) {
    IpcShutdownAndCloseConnectionEx(ma_, 1, kNetFlushSeconds);
    ma_ = kIpcNoHandle;
  }
  return code;
}

// kGoOn when set up, else the step that ends the process.
NetStep BackupNet::SetUp() {
  if (const NetStep rc = NetStartProcess(ctx_, pipe_, kProg, NetMainFile); rc != NetStep::kGoOn) {
    return rc;
  }
  if (IpcReceiveData(pipe_, nullptr, 0) <= 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  StrMsg* in = IpcGetReceiveStrMsg(pipe_);
  if (StrParseStartL(in, nullptr) != MSG_OPEN) {
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
    return NetStep::kExitIpc;
  }
  const int openSize = StrMsgSizeRBufL(in);
  if (openSize <= 0) {
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
    return NetStep::kExitIpc;
  }
  const char* openText = StrMsgGetRBufL(in);
  open_.assign(openText, openText + openSize);

  static constexpr NetAgentSide kSide = {kProg, "VEKBDANET", "Forced the remote DA.", nullptr};
  if (const NetStep rc = NetConnectAgent(ctx_, kSide, &ma_, &remote_); rc != NetStep::kGoOn)
    return rc;
  const char* why = DaReadShmDescription(IpcGetReceiveStrMsg(ma_), &g_);
  if (why == nullptr && remote_) {
    // A remote agent's buffers are sent over the socket: they lie in a
    // segment of our own, one ring behind a small trailer.
    const std::int64_t ring = std::int64_t(g_.bufSize) * g_.bufNum;
    if (ring < 0 || ring + 16 > INT_MAX) {
      why = "the buffers do not fit a segment";
    } else {
      g_.section = 0;
      g_.shmSize = static_cast<int>(ring) + 16;
    }
  }
  if (why == nullptr) why = BmCheckShmDescription(g_, DA_BACKUP);
  if (why != nullptr) {
    DbgPlain(kLevel,
             "%s: unusable description (%s): section %d, buffer size %d, count %d, segment %d, "
             "offset %d",
             kProg, why, g_.section, g_.bufSize, g_.bufNum, g_.shmSize, g_.bufOffset);
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
    return NetStep::kExitSetup;
  }
  if (!NetSetUpSegment(pipe_, remote_, &g_)) {
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgAttach, ErhErrnoToText()));
    return NetStep::kExitSetup;
  }
  // The buffer table: a local agent's buffers lie behind `section` rings.
  base_ = reinterpret_cast<char*>(g_.address) +
          (remote_ ? 0 : std::size_t(g_.bufSize) * g_.bufNum * g_.section);
  if (!NetSendListen(pipe_, g_)) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  DbgPlain(kLevel, "%s: MSG_OPEN (DA %d) to the media agent", kProg, ctx_->daId);
  if (IpcSendData(ma_, open_.data(), static_cast<int>(open_.size())) <= 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  ctx_->asyncReport = 1;
  if (IpcReceiveAsync(pipe_, nullptr, 0) != 0 || IpcReceiveAsync(ma_, nullptr, 0) != 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  NetClrID(&maRing_);
  NetClrID(&ackRing_);
  return NetStep::kGoOn;
}

NetStep BackupNet::Loop() {
  for (;;) {
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(probeSeconds);
    NetStep rc = NetStep::kGoOn;
    if (handle < 0) {
      if (IpcGetLastIpcEvent() == IPC_EVENT_TIMEOUT) {
        rc = OnTimeout();
      } else {
        Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgWaitFailed, ErhErrnoToText()));
        return NetStep::kExitIpc;
      }
    } else if (handle == pipe_) {
      rc = OnPipe(IpcGetLastIpcHandleEvent(pipe_));
    } else if (handle == ma_) {
      rc = OnAgent(IpcGetLastIpcHandleEvent(ma_));
    } else if (IpcGetLastIpcHandleEvent(handle) == IPC_EVENT_ACCEPTED) {
      DbgPlain(kLevel, "Got IPC_CONNECT_EVENT ???");
      IpcCloseConnection(handle);
    } else {
      DbgPlain(kDbgUnexpected, "Wrong handle!! (%d)", handle);
      return NetStep::kExitIpc;
    }
    if (rc != NetStep::kGoOn) return rc;
  }
}

NetStep BackupNet::OnTimeout() {
  if (ma_ != kIpcNoHandle && IpcCanSendAsync(ma_) == 1 && IpcHandleIsLocal(ma_) == 0) {
    DbgPlain(kLevel, "%s: MSG_PROBE to the media agent", kProg);
    NetSendCode(ma_, MSG_PROBE, -1);
  }
  return NetStep::kGoOn;
}

bool BackupNet::FeedAgent() {
  if (ma_ == kIpcNoHandle || IpcCanSendAsync(ma_) != 1) return true;
  if (NetEmptyID(&maRing_)) {
    if (stop_ == NetStop::kDue && !agentStopped_) StopAgent();
    return true;
  }
  const int id = NetGetID(&maRing_);
  blockCounter_ = (blockCounter_ + 1) % (2 * g_.bufNum);
  where_[id] = 2;
  DbgPlain(kLevel, "NET -> MA: MSG_DATA (%2d)", id);
  // A remote agent takes the block as a raw packet behind its message.
  if (remote_) return NetSendCodeWithBlock(ma_, MSG_DATA, id, Buffer(id), g_.bufSize);
  return NetSendCode(ma_, MSG_DATA, id);
}

bool BackupNet::FeedParent() {
  if (NetEmptyID(&ackRing_) || IpcCanSendAsync(pipe_) != 1) return true;
  const int id = NetGetID(&ackRing_);
  DbgPlain(kLevel, "NET -> BMA: MSG_DATA (%2d)", id);
  return NetSendCode(pipe_, MSG_DATA, id);
}

// The parent's MSG_STOP goes to the agent behind every block still queued;
// called once nothing is left to send.
void BackupNet::StopAgent() {
  agentStopped_ = true;
  if (ma_ == kIpcNoHandle) return;
  if (IpcSendData(ma_, stopText_.data(), static_cast<int>(stopText_.size())) <= 0) {
    DbgPlain(kLevel, "%s: NET -> BMA: error sending MSG_STOP", kProg);
    ErhClearError();
  }
}

// Answers the parent's MSG_STOP once the agent has it.
void BackupNet::StopParent() {
  if (stop_ == NetStop::kDue && agentStopped_ && IpcCanSendAsync(pipe_) == 1) {
    stop_ = NetStop::kSent;
    NetSendCode(pipe_, MSG_STOP, -1);
  }
}

void BackupNet::CloseAgent() {
  if (ma_ == kIpcNoHandle) return;
  IpcCloseConnection(ma_);
  ma_ = kIpcNoHandle;
  ErhClearError();
}

NetStep BackupNet::OnPipe(int event) {
  switch (event) {
    case IPC_EVENT_RECEIVED: return OnParentMessage();
    case IPC_EVENT_SENT:
      if (NetSendWhenDue(pipe_, &abort_, MSG_ABORT)) return NetStep::kGoOn;
      if (abort_ == NetStop::kSent) {
        abort_ = NetStop::kNone;
      } else if (stop_ == NetStop::kDue && agentStopped_) {
        StopParent();
      } else if (stop_ == NetStop::kSent) {
        return NetStep::kExitStop;
      } else if ((ctx_->netFlags & kDaNetReconnected) != 0) {
        ctx_->netFlags &= ~kDaNetReconnected;
        Report(kErhCritical, NlsPackMessage(kSetDataPath, kDaMsgReconnected));
      } else if (!FeedParent()) {
        NetReportIpc(kProg);
        return NetStep::kExitIpc;
      }
      return NetStep::kGoOn;
    case IPC_EVENT_CLOSED:
      if (stop_ == NetStop::kNone) {
        Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetClosed, ErhErrnoToText()));
        return NetStep::kExitIpc;
      }
      return NetStep::kExitStop;
    case IPC_EVENT_ERROR: NetReportIpc(kProg); return NetStep::kExitIpc;
    default: return NetStep::kGoOn;
  }
}

NetStep BackupNet::OnParentMessage() {
  // Any message after MSG_LISTEN comes from a parent that has attached.
  if (remote_ && !segmentRemoved_) segmentRemoved_ = NetRemoveWhenShared(g_.key);
  StrMsg* in = IpcGetReceiveStrMsg(pipe_);
  const int code = StrParseStartL(in, nullptr);
  int id = -1;
  switch (code) {
    case -1: ErhToConsole("NET MSG format error\n"); break;
    case MSG_DATA:
      // A buffer the parent does not hold would be sent twice or from the
      // wrong place.
      if (!NetReadInt(in, &id) || id < 0 || id >= g_.bufNum || where_[id] != 0 ||
          stop_ != NetStop::kNone || NetPutID(&maRing_, id) != 0) {
        DbgPlain(kLevel, "%s: Protocol error! MSG_DATA (%d) from the parent => ABORTING", kProg,
                 id);
        Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
        return NetStep::kExitIpc;
      }
      where_[id] = 1;
      if (!FeedAgent()) return OnAgentBroken();
      break;
    case MSG_STOP:
      if (stop_ == NetStop::kNone) {
        stopText_ = NetRelayedStop(in);
        stop_ = NetStop::kDue;
        if (NetEmptyID(&maRing_) && (ma_ == kIpcNoHandle || IpcCanSendAsync(ma_) == 1)) {
          StopAgent();
        }
        StopParent();
      }
      break;
    case MSG_ABORT: return NetStep::kExitAbort;
    default:
      DbgPlain(kLevel, "%s: Protocol error! Message %d received from MA => ABORTING", kProg, code);
      Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
      return NetStep::kExitIpc;
  }
  return NetRearmPipe(pipe_, kProg);
}

NetStep BackupNet::OnAgent(int event) {
  switch (event) {
    case IPC_EVENT_RECEIVED: return OnAgentMessage();
    case IPC_EVENT_SENT:
      if (!FeedAgent()) return OnAgentBroken();
      StopParent();
      return NetStep::kGoOn;
    case IPC_EVENT_CLOSED:
      // The agent closing its end, whichever transfer saw it, ends the
      // stream; only a failing link is reconnected.
      CloseAgent();
      if (!agentStopped_) AbortParent();
      return NetStep::kGoOn;
    case IPC_EVENT_ERROR: return OnAgentBroken();
    default: return NetStep::kGoOn;
  }
}

// The agent ended the stream: the parent is told to abort, and the process
// ends when it does.
void BackupNet::AbortParent() {
  NetSendOnce(pipe_, &abort_, MSG_ABORT);
}

NetStep BackupNet::OnAgentMessage() {
  StrMsg* in = IpcGetReceiveStrMsg(ma_);
  const int code = StrParseStartL(in, nullptr);
  int id = -1;
  if (code == MSG_ABORT) {
    DbgPlain(kLevel, "%s: MSG_ABORT from the media agent", kProg);
    CloseAgent();
    AbortParent();
    return NetStep::kGoOn;
  }
  // Only a buffer that is out with the agent can come back.
  if (code != MSG_DATA || !NetReadInt(in, &id) || id < 0 || id >= g_.bufNum || where_[id] != 2) {
    DbgPlain(kLevel, "%s: Protocol error! Message %d (%d) received from MA => ABORTING", kProg,
             code, id);
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
    return NetStep::kExitIpc;
  }
  where_[id] = 0;
  lastAcked_ = id;
  reconnectDeadline_.reset();
  NetPutID(&ackRing_, id);
  ackCounter_ = (ackCounter_ + 1) % (2 * g_.bufNum);
  if (!FeedParent()) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  if (IpcReceiveAsync(ma_, nullptr, 0) != 0) return OnAgentBroken();
  return NetStep::kGoOn;
}

NetStep BackupNet::OnAgentBroken() {
  DbgPlain(kLevel, "Got IPC_ERROR_EVENT net.reconn=%d", ctx_->savedReconnectPort);
  if (agentStopped_) {
    CloseAgent();
    return NetStep::kGoOn;
  }
  // Reconnection is for a link across the network, whatever VEKBDANET made
  // of the transfer.
  if (ctx_->savedReconnectPort == 0 || IpcHandleIsLocal(ma_) == 1) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  Report(kErhNormal, NlsPackMessage(kSetDataPath, kDaMsgReconnecting, ctx_->maHost));
  // A link that fails again before the agent has acknowledged anything over
  // it is the same outage: every attempt shares one deadline.
  if (!reconnectDeadline_) reconnectDeadline_ = NetReconnectDeadline();
  for (;;) {
    int outstanding = 0;
    for (int id = 0; id < g_.bufNum; ++id) outstanding += where_[id] == 2 ? 1 : 0;
    DaNetLink link{ma_,        &maRing_,    &ackRing_, blockCounter_, ackCounter_,
                   lastAcked_, outstanding, g_.bufNum, g_.bufSize,    g_.bufOffset};
    Reconnect rc = Reconnect::kRetry;
    while ((rc = ReconnectDAMA(&link, *reconnectDeadline_)) == Reconnect::kRetry) {
      DbgPlain(kLevel, "Reconnect attempt faild - probably because of network error. Try again!\n");
      cmn::SleepFor(std::chrono::seconds(kReconnectPause));
    }
    ma_ = link.maHandle;
    if (rc == Reconnect::kUnusable) return NetStep::kExitIpc;
    if (rc == Reconnect::kGiveUp) return NetStep::kExitAbort;
    // The forwarded acknowledgements bring their buffers home.
    for (int n = 0, slot = ackRing_.idTail; n < ackRing_.idSize; ++n, slot = IdRing::Next(slot)) {
      where_[ackRing_.idBuffer[slot]] = 0;
    }
    if (!NetEmptyID(&ackRing_)) lastAcked_ = ackRing_.idBuffer[IdRing::Previous(ackRing_.idHead)];
    // Blocks due again are not with the agent until they are sent again.
    for (int n = 0, slot = maRing_.idTail; n < maRing_.idSize; ++n, slot = IdRing::Next(slot)) {
      where_[maRing_.idBuffer[slot]] = 1;
    }
    blockCounter_ = link.blockCounter;
    ackCounter_ = link.ackCounter;
    ErhClearError();
    Report(kErhCritical, NlsPackMessage(kSetDataPath, kDaMsgReconnected));
    ctx_->netFlags &= ~kDaNetReconnected;
    if (!FeedParent()) {
      NetReportIpc(kProg);
      return NetStep::kExitIpc;
    }
    if (FeedAgent()) {
      StopParent();
      if (IpcCanReceiveAsync(ma_) != 1 || IpcReceiveAsync(ma_, nullptr, 0) == 0) {
        // Nothing out that the agent could acknowledge: the outage is over.
        if (std::find(where_.begin(), where_.end(), 2) == where_.end() && NetEmptyID(&maRing_)) {
          reconnectDeadline_.reset();
        }
        return NetStep::kGoOn;
      }
    }
    if (agentStopped_) {
      CloseAgent();
      return NetStep::kGoOn;
    }
    DbgPlain(kLevel, "Got IPC_ERROR_EVENT net.reconn=%d", ctx_->savedReconnectPort);
  }
}

// ---------------------------------------------------------------- file variant

class FileNet : public NetFileVariant {
 public:
  using NetFileVariant::NetFileVariant;
  NetStep Run();

 private:
  // A message from the parent other than MSG_ABORT.
  NetStep OnMessage(int code, StrMsg* in);
  NetStep Finish();
  bool FeedParent();

  IdRing ackRing_{};
};

bool FileNet::FeedParent() {
  if (NetEmptyID(&ackRing_) || IpcCanSendAsync(pipe_) != 1) return true;
  return NetSendCode(pipe_, MSG_DATA, NetGetID(&ackRing_));
}

// A stream that is not on the disk as a whole must not end as a success.
NetStep FileNet::Finish() {
  if (fsync(fd_.get()) != 0 || VEK_CloseFile(fd_.release()) != 0) {
    Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgFileWrite, ErhSysErrnoToText(errno)));
    return NetStep::kExitIpc;
  }
  return NetStep::kExitStop;
}

NetStep FileNet::Run() {
  if (const NetStep rc = OpenFile(kProg, 1, 1 | (0600 << 3)); rc != NetStep::kGoOn) return rc;
  NetClrID(&ackRing_);
  if (const NetStep rc =
          StartSegment(kProg, &DacmnPtd::asyncReport, kFileBufferSize, kFileBufferCount, 16);
      rc != NetStep::kGoOn) {
    return rc;
  }
  for (;;) {
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(-1);
    if (handle < 0) {
      Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgWaitFailed, ErhErrnoToText()));
      return NetStep::kExitIpc;
    }
    if (handle != pipe_) continue;
    const NetStep rc = OnPipe(
        kProg, [this](int code, StrMsg* in) { return OnMessage(code, in); },
        [this] {
          if (FeedParent()) return NetStep::kGoOn;
          NetReportIpc(kProg);
          return NetStep::kExitIpc;
        });
    if (rc != NetStep::kGoOn) return rc;
  }
}

NetStep FileNet::OnMessage(int code, StrMsg* in) {
  int id = -1;
  switch (code) {
    case MSG_DATA: {
      if (!NetReadInt(in, &id) || id < 0 || id >= count_ || stop_ != NetStop::kNone) {
        DbgPlain(kLevel, "%s: Protocol error! MSG_DATA (%d) from the parent => ABORTING", kProg,
                 id);
        Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
        return NetStep::kExitIpc;
      }
      const char* buffer = Buffer(id);
      if (cmn::WriteAll(fd_.get(), buffer, std::size_t(size_)) != std::size_t(size_)) {
        const int err = errno != 0 ? errno : ENOSPC;
        Report(kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgFileWrite, ErhSysErrnoToText(err)));
        return NetStep::kExitIpc;
      }
      NetPutID(&ackRing_, id);
      if (!FeedParent()) {
        NetReportIpc(kProg);
        return NetStep::kExitIpc;
      }
      break;
    }
    case MSG_STOP:
      if (stop_ == NetStop::kNone) {
        if (const NetStep rc = Finish(); rc != NetStep::kExitStop) return rc;
        if (!NetSendOnce(pipe_, &stop_, MSG_STOP)) return NetStep::kExitIpc;
      }
      break;
    case MSG_OPEN: break;
    default:
      DbgPlain(kLevel, "%s: Protocol error! Message %d received from DA => IGNORED", kProg, code);
      break;
  }
  return NetStep::kGoOn;
}

}  // namespace

// ---------------------------------------------------------------- rings

int NetFwdAck(IdRing* ring, int diff, int bufferCount, int lastAcked) {
  if (diff == 0) {
    DbgPlain(kLevel, "%s: All ACKs received", "NetFwdAck");
    return 1;
  }
  if (diff < 0 || bufferCount < 1 || ring->idSize + diff > kBmMaxBuffers) return -1;
  int id = lastAcked < 0 ? -1 : lastAcked % bufferCount;
  for (int n = 0; n < diff; ++n) {
    id = id + 1 >= bufferCount ? 0 : id + 1;
    NetPutID(ring, id);
  }
  return 1;
}

int NetRewData(IdRing* ring, int diff) {
  if (diff == 0) {
    DbgPlain(kLevel,
             "%s: next block that should be send is correct one, proceeding normally [all ACK ok]",
             "NetRewData");
    return 1;
  }
  if (diff < 0 || ring->idSize + diff > kBmMaxBuffers) {
    DbgPlain(kLevel, "%s: Buffer full", "NetRewData");
    return -1;
  }
  for (int n = 0; n < diff; ++n) ring->idTail = IdRing::Previous(ring->idTail);
  ring->idSize += diff;
  return 1;
}

// ---------------------------------------------------------------- reconnection

MessageWait WaitForMessage(IpcHandle handle, int timeout) {
  if (IpcWaitForIpcEventOnHandle(handle, timeout) < 0) return MessageWait::kFailed;
  const int n = IpcReceiveData(handle, nullptr, 0);
  return n > 0 ? MessageWait::kReceived : (n == 0 ? MessageWait::kClosed : MessageWait::kFailed);
}

Reconnect ResumeDAMA(DaNetLink* link, IpcHandle handle) {
  static const char fn[] = "ResumeDAMA";
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr || link == nullptr || link->bufferCount < 1 ||
      link->bufferCount > kBmMaxBuffers) {
    return Reconnect::kGiveUp;
  }
  if (IpcSetAsyncDynBuf(handle) != 0) {
    NetReportIpc(kProg);
    return Reconnect::kUnusable;
  }
  if (WaitForMessage(handle, kReconnectAnswerSeconds) != MessageWait::kReceived) {
    return Reconnect::kGiveUp;
  }
  StrMsg* in = IpcGetReceiveStrMsg(handle);
  int code = StrParseStartL(in, nullptr);
  if (code != MSG_LISTEN) {
    DbgPlain(kLevel, "Reconnect: Unexpected msg #%d. Should be MSG_LISTEN!\n", code);
    return Reconnect::kGiveUp;
  }
  BmShmDescription g{};
  if (DaReadShmDescription(in, &g) != nullptr || g.bufNum != link->bufferCount ||
      g.bufSize != link->bufferSize || g.bufOffset != link->bufferOffset) {
    // Buffer ids and counters of the stream mean nothing in another
    // geometry.
    DbgPlain(kLevel, "%s: the agent resumes with another geometry (%d x %d, offset %d)", fn,
             g.bufNum, g.bufSize, g.bufOffset);
    return Reconnect::kGiveUp;
  }
  StrMsg* out = IpcGetStrMsg(handle);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, MSG_DAMA_RECONNECT, 0) != 0 ||
      StrMsgFAppendL(out, "%d", ctx->daId) != 0 || IpcSendStrMsg(handle) <= 0) {
    return Reconnect::kRetry;
  }
  if (WaitForMessage(handle, kReconnectAnswerSeconds) != MessageWait::kReceived) {
    return Reconnect::kRetry;
  }
  code = StrParseStartL(in, nullptr);
  if (code != MSG_MA_BUFFER_STATE) {
    DbgPlain(kLevel, "Reconnect: Unexpected msg #%d. Should be MSG_MA_BUFFER_STATE\n", code);
    return Reconnect::kGiveUp;
  }
  const int modulo = 2 * link->bufferCount;
  int blocks = -1;
  int acks = -1;
  if (StrParseMessageFL(in, "%d%d", &blocks, &acks) != 0 || blocks < 0 || blocks >= modulo ||
      acks < 0 || acks >= modulo) {
    DbgPlain(kLevel, "%s: unreadable MSG_MA_BUFFER_STATE", fn);
    return Reconnect::kGiveUp;
  }
  const int resend = Wrap(link->blockCounter - blocks, modulo);
  const int lost = Wrap(acks - link->ackCounter, modulo);
  DbgPlain(kLevel, "%s: blocks %d/%d, acknowledgements %d/%d: resend %d, forward %d", fn,
           link->blockCounter, blocks, link->ackCounter, acks, resend, lost);
  // Only buffers that are out can be resent or acknowledged.
  if (resend + lost > link->outstanding ||
      NetFwdAck(link->ackRing, lost, link->bufferCount, link->lastAcked) != 1 ||
      NetRewData(link->maRing, resend) != 1) {
    DbgPlain(kLevel, "%s: the agent's counters do not fit the %d buffers out", fn,
             link->outstanding);
    return Reconnect::kGiveUp;
  }
  link->blockCounter = blocks;
  link->ackCounter = acks;
  DbgPlain(kLevel, "Reconnect: Reconnected successfully!\n");
  ErhClearError();
  ctx->netFlags |= kDaNetReconnected;
  return Reconnect::kDone;
}

cmn::Clock::TimePoint NetReconnectDeadline() {
  int window = kReconnectWindow;
  int retry = 0;
  if (EnvReadInt("VEKRECONNECT_RETRY", &retry) == 1 && retry != 0) window = retry;
  return cmn::ClockNow() + std::chrono::seconds(window);
}

Reconnect ReconnectDAMA(DaNetLink* link, cmn::Clock::TimePoint deadline) {
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr || link == nullptr) return Reconnect::kGiveUp;
  DbgPlain(kLevel, "Reconnect: Closing old conection.\n");
  ErhClearError();
  if (link->maHandle != kIpcNoHandle) IpcCloseConnection(link->maHandle);
  link->maHandle = kIpcNoHandle;
  while (cmn::ClockNow() < deadline) {
    const IpcHandle handle =
        IpcConnectToProcess(ctx->maHost, static_cast<unsigned>(ctx->maPort), 0);
    if (handle == kIpcNoHandle) {
      ErhClearError();
      cmn::SleepFor(std::chrono::seconds(kReconnectPause));
      continue;
    }
    link->maHandle = handle;
    return ResumeDAMA(link, handle);
  }
  DbgPlain(kLevel,
           "Reconnect: Connect to process failed! Timeout interval for reconnecting elapsed!\n");
  return Reconnect::kGiveUp;
}

// ---------------------------------------------------------------- hooks and mains

void NetReportHook(const char* message) {
  NetForwardReport(message, &DacmnPtd::asyncReport);
}

void NetConsoleHook(const char* message) {
  NetForwardConsole(message, &DacmnPtd::asyncReport);
}

int NetSetProbeSeconds(int seconds) {
  const int previous = probeSeconds;
  if (seconds > 0) probeSeconds = seconds;
  return previous;
}

void NetMain() {
  NetRunProcess<BackupNet>(BdaNetExit, NetReportHook, NetConsoleHook);
}

void NetMainFile(const char* path) {
  NetRunProcess<FileNet>(BdaNetExit, NetReportHook, NetConsoleHook, path);
}

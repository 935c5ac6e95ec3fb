// The restore network process: one event loop over the pipe to the parent
// and the connection to the media agent, with at most one send and one
// receive pending on each; a remote agent's bytes land straight in the
// shared buffer.
#include "dacmn/rdanet.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "dacmn/bm.h"
#include "dacmn/netimpl.h"
#include "ipc/ipcasync.h"

TARN_RCSID("da/dacmn/rdanet.cpp");

using namespace dacmn_detail;

namespace {

constexpr char kProg[] = "RNetMain";
constexpr char kFileProg[] = "RNetMainFile";

// 0 none, then due (to be sent when the handle is free) and sent.
// Who holds a buffer: the agent (also while its bytes arrive), this process
// (filled, not yet announced) or the parent.
enum class Holder : unsigned char { kAgent, kQueued, kParent };

void Report(const char* prog, int level, const char* packed) {
  ErhFullReportPacked(prog, level, packed);
}

void ReportProtocol(const char* prog) {
  Report(prog, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNetUnknown));
}

// The parent's MSG_DATA "%d%d": DA id and the released buffer id.
bool ReadRelease(StrMsg* msg, int* id) {
  int da = 0;
  return StrParseMessageFL(msg, "%d%d", &da, id) == 0;
}

// ---------------------------------------------------------------- remote or local agent

class RestoreNet {
 public:
  explicit RestoreNet(DacmnPtd* ctx) : ctx_(ctx), pipe_(ctx->maIpcHandle) {}
  // The exit code.
  NetStep Run();

 private:
  NetStep OpenAgent();
  // Ends the connection (an orderly one after MSG_CLOSE or MSG_STOP, shutting
  // it down first).
  void CloseAgent(bool orderly);
  // Gives the segment up once nothing can be received into it any more.
  void ReleaseSegment();
  // The end of an object: the connection, then the segment.
  void EndObject(bool orderly) {
    CloseAgent(orderly);
    ReleaseSegment();
  }
  NetStep Loop();
  NetStep OnPipe(int event);
  NetStep OnParentMessage();
  NetStep OnParentRelease(StrMsg* in);
  void OnParentStop(StrMsg* in);
  void OnParentClose();
  NetStep OnAgent(int event);
  NetStep OnAgentMessage();
  NetStep DropFromAgent();
  NetStep BufferComplete(int id);
  bool FeedParent();
  bool FeedAgent();
  bool AdvanceClose();
  void AbortParent();
  char* Buffer(int id) const { return base_ + std::size_t(g_.bufSize) * std::size_t(id); }

  DacmnPtd* ctx_;
  IpcHandle pipe_;
  IpcHandle ma_ = kIpcNoHandle;
  BmShmDescription g_{};
  bool remote_ = false;
  bool segment_ = false;
  bool segmentRemoved_ = false;
  char* base_ = nullptr;
  RIdRing parentRing_{};  // filled, not yet announced to the parent
  RIdRing ackRing_{};     // released by the parent, not yet passed to the agent
  std::array<Holder, kBmMaxBuffers> holder_{};
  int receiveState_ = 1;
  int current_ = -1;
  NetStop stop_ = NetStop::kNone;
  NetStop abort_ = NetStop::kNone;
  NetStop close_ = NetStop::kNone;
};

NetStep RestoreNet::Run() {
  if (const NetStep rc = NetStartProcess(ctx_, pipe_, kProg, RNetMainFile); rc != NetStep::kGoOn) {
    return rc;
  }
  if (const NetStep rc = OpenAgent(); rc != NetStep::kGoOn) return rc;
  const NetStep code = Loop();
  if (code == NetStep::kExitStop && ma_ != kIpcNoHandle) CloseAgent(true);
  return code;
}

// kGoOn when the object is open, else the step that ends the process.
NetStep RestoreNet::OpenAgent() {
  // Set-up speaks synchronously on the pipe: what is in flight goes first.
  if (IpcCanSendAsync(pipe_) == 0 && IpcFlushAsyncHandle(pipe_, kNetFlushSeconds) != 1) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  ctx_->restoreAsyncReport = 0;
  static constexpr NetAgentSide kSide = {kProg, "VEKRDANET", "Forcing DA to be remote.",
                                         "Got MSG_ABORT from RMA\n"};
  if (const NetStep rc = NetConnectAgent(ctx_, kSide, &ma_, &remote_); rc != NetStep::kGoOn)
    return rc;
  g_ = BmShmDescription{};
  const char* why = BmParseShmDescription(IpcGetReceiveStrMsg(ma_), &g_, DA_RESTORE);
  if (why != nullptr) {
    DbgPlain(kLevel,
             "%s: unusable description (%s): section %d, buffer size %d, count %d, segment %d, "
             "offset %d",
             kProg, why, g_.section, g_.bufSize, g_.bufNum, g_.shmSize, g_.bufOffset);
    ReportProtocol(kProg);
    return NetStep::kExitSetup;
  }
  // A remote agent's segment is made here in the agent's size, so that its
  // buffers lie where the description puts them.
  if (!NetSetUpSegment(pipe_, remote_, &g_)) {
    Report(kProg, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgAttach, ErhErrnoToText()));
    return NetStep::kExitSetup;
  }
  segment_ = true;
  segmentRemoved_ = false;
  base_ = reinterpret_cast<char*>(g_.address);
  if (!NetSendListen(pipe_, g_)) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  DbgPlain(kLevel, "%s: MSG_OPEN (DA %d) to the media agent", kProg, ctx_->daId);
  StrMsg* out = IpcGetStrMsg(ma_);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, MSG_OPEN, 0) != 0 ||
      StrMsgFAppendL(out, "%d", ctx_->daId) != 0 || IpcSendStrMsg(ma_) <= 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  ctx_->restoreAsyncReport = 1;
  if ((IpcCanReceiveAsync(pipe_) == 1 && IpcReceiveAsync(pipe_, nullptr, 0) != 0) ||
      IpcReceiveAsync(ma_, nullptr, 0) != 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  NetClrID(&parentRing_);
  NetClrID(&ackRing_);
  holder_.fill(Holder::kAgent);
  receiveState_ = 1;
  current_ = -1;
  close_ = NetStop::kNone;
  return NetStep::kGoOn;
}

void RestoreNet::CloseAgent(bool orderly) {
  if (ma_ != kIpcNoHandle) {
    // What the agent still sends is read and dropped, so that the close
    // reaches it as an orderly end.
    if (orderly) {
      IpcFlushAsyncHandle(ma_, kNetFlushSeconds);
      IpcShutdownAndCloseConnectionEx(ma_, 1, kNetFlushSeconds);
    } else {
      IpcCloseConnection(ma_);
    }
    ma_ = kIpcNoHandle;
    ErhClearError();
  }
  NetClrID(&parentRing_);
  NetClrID(&ackRing_);
  receiveState_ = 1;
  close_ = NetStop::kNone;
}

void RestoreNet::ReleaseSegment() {
  if (!segment_) return;
  // A private segment goes once the parent lets it go too.
  if (remote_ && !segmentRemoved_) NetRemoveOwnSegment(g_.key);
  IpcDetachShmem(pipe_);
  ErhClearError();
  segment_ = false;
}

NetStep RestoreNet::Loop() {
  for (;;) {
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(-1);
    NetStep rc = NetStep::kGoOn;
    if (handle < 0) {
      Report(kProg, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgWaitFailed, ErhErrnoToText()));
      return NetStep::kExitIpc;
    }
    if (handle == pipe_) {
      rc = OnPipe(IpcGetLastIpcHandleEvent(pipe_));
    } else if (handle == ma_) {
      rc = OnAgent(IpcGetLastIpcHandleEvent(ma_));
    } else {
      DbgPlain(kLevel, "Wrong handle!");
      if (IpcGetLastIpcHandleEvent(handle) == IPC_EVENT_ACCEPTED) IpcCloseConnection(handle);
    }
    if (rc != NetStep::kGoOn) return rc;
  }
}

bool RestoreNet::FeedParent() {
  if (NetEmptyID(&parentRing_) || IpcCanSendAsync(pipe_) != 1) return true;
  const int id = NetGetID(&parentRing_);
  holder_[id] = Holder::kParent;
  DbgPlain(kLevel, "NET -> RMA: MSG_DATA (%2d)", id);
  return NetSendCode(pipe_, MSG_DATA, id);
}

bool RestoreNet::FeedAgent() {
  if (ma_ == kIpcNoHandle || close_ != NetStop::kNone || NetEmptyID(&ackRing_) ||
      IpcCanSendAsync(ma_) != 1) {
    return true;
  }
  const int id = NetGetID(&ackRing_);
  DbgPlain(kLevel, "NET -> MA: MSG_DATA (%d, %2d)", ctx_->daId, id);
  StrMsg* out = IpcGetStrMsg(ma_);
  return out != nullptr && StrMsgStartExL(out, nullptr, 0, MSG_DATA, 0) == 0 &&
         StrMsgFAppendL(out, "%d%d", ctx_->daId, id) == 0 && IpcSendStrMsgAsync(ma_) == 0;
}

// Moves the end of an object on when the agent's handle is free: MSG_CLOSE
// goes out, and once it has, the connection ends. False when the send failed.
bool RestoreNet::AdvanceClose() {
  if (ma_ == kIpcNoHandle || IpcCanSendAsync(ma_) != 1) return true;
  if (close_ == NetStop::kDue) {
    DbgPlain(kLevel, "%s: MSG_CLOSE to the media agent", kProg);
    close_ = NetStop::kSent;
    return NetSendCode(ma_, MSG_CLOSE, -1);
  }
  if (close_ == NetStop::kSent) EndObject(true);
  return true;
}

// The agent left: the parent is told to abort and decides.
void RestoreNet::AbortParent() {
  NetSendOnce(pipe_, &abort_, MSG_ABORT);
}

NetStep RestoreNet::OnPipe(int event) {
  switch (event) {
    case IPC_EVENT_RECEIVED: return OnParentMessage();
    case IPC_EVENT_SENT:
      // A stop in flight is the last message: its completion ends the process.
      if (NetSendWhenDue(pipe_, &abort_, MSG_ABORT) || NetSendWhenDue(pipe_, &stop_, MSG_STOP)) {
        return NetStep::kGoOn;
      }
      if (stop_ == NetStop::kSent) return NetStep::kExitStop;
      if (abort_ == NetStop::kSent) {
        abort_ = NetStop::kNone;
      } else if (!AdvanceClose() || !FeedParent()) {
        NetReportIpc(kProg);
        return NetStep::kExitIpc;
      }
      return NetStep::kGoOn;
    case IPC_EVENT_CLOSED:
      DbgPlain(kLevel, "DA Handle: IPC Close Event !");
      ErhToConsole("NET close\n");
      return stop_ == NetStop::kNone ? NetStep::kExitIpc : NetStep::kExitStop;
    case IPC_EVENT_ERROR: ErhToConsole("NET read error\n"); return NetStep::kExitIpc;
    default: return NetStep::kGoOn;
  }
}

NetStep RestoreNet::OnParentMessage() {
  // Any message after MSG_LISTEN comes from a parent that has attached.
  if (remote_ && segment_ && !segmentRemoved_) segmentRemoved_ = NetRemoveWhenShared(g_.key);
  StrMsg* in = IpcGetReceiveStrMsg(pipe_);
  const int code = StrParseStartL(in, nullptr);
  switch (code) {
    case -1: ErhToConsole("NET MSG format error\n"); break;
    case MSG_DATA:
      if (const NetStep rc = OnParentRelease(in); rc != NetStep::kGoOn) return rc;
      break;
    case MSG_STOP: OnParentStop(in); break;
    case MSG_CLOSE: OnParentClose(); break;
    case MSG_OPEN:
      // The parent opens the next object; an object it did not close is
      // closed first.
      if (ma_ != kIpcNoHandle) {
        if (close_ == NetStop::kNone) close_ = NetStop::kDue;
        if (close_ == NetStop::kDue && IpcFlushAsyncHandle(ma_, kNetFlushSeconds) == 1) {
          StrMsg* out = IpcGetStrMsg(ma_);
          if (out != nullptr && StrMsgStartExL(out, nullptr, 0, MSG_CLOSE, 0) == 0) {
            IpcSendStrMsg(ma_);
          }
        }
      }
      EndObject(true);
      // Opening arms the pipe's receive.
      return OpenAgent();
    case MSG_ABORT: return NetStep::kExitAbort;
    default: DbgPlain(kLevel, "%s: message %d from the parent ignored", kProg, code); break;
  }
  return NetRearmPipe(pipe_, kProg);
}

NetStep RestoreNet::OnParentRelease(StrMsg* in) {
  int id = -1;
  const bool readable = ReadRelease(in, &id);
  if (ma_ == kIpcNoHandle || close_ != NetStop::kNone) {
    // The object has ended: the agent no longer wants its buffers.
    DbgPlain(kLevel, "%s: MSG_DATA (%d) after the end of the object ignored", kProg, id);
    return NetStep::kGoOn;
  }
  // Only a buffer the parent holds can come back; another would be filled
  // twice.
  if (!readable || id < 0 || id >= g_.bufNum || holder_[id] != Holder::kParent ||
      NetPutID(&ackRing_, id) != 0) {
    DbgPlain(kLevel, "%s: Protocol error! MSG_DATA (%d) from the parent => ABORTING", kProg, id);
    ReportProtocol(kProg);
    return NetStep::kExitIpc;
  }
  holder_[id] = Holder::kAgent;
  if (!FeedAgent()) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  return NetStep::kGoOn;
}

void RestoreNet::OnParentStop(StrMsg* in) {
  if (stop_ != NetStop::kNone) return;
  if (ma_ != kIpcNoHandle) {
    const std::vector<char> stop = NetRelayedStop(in);
    if (IpcFlushAsyncHandle(ma_, kNetFlushSeconds) != 1 ||
        IpcSendData(ma_, stop.data(), static_cast<int>(stop.size())) <= 0) {
      DbgPlain(kLevel, "%s: NET -> RMA: error sending MSG_STOP", kProg);
      ErhClearError();
    }
  }
  if (IpcCanSendAsync(pipe_) == 1) {
    stop_ = NetStop::kSent;
    NetSendCode(pipe_, MSG_STOP, -1);
  } else {
    stop_ = NetStop::kDue;
  }
}

void RestoreNet::OnParentClose() {
  if (ma_ == kIpcNoHandle || close_ != NetStop::kNone) {
    // An agent that left took the object along; its segment goes now.
    DbgPlain(kLevel, "%s: MSG_CLOSE without an open object", kProg);
    if (ma_ == kIpcNoHandle) ReleaseSegment();
    return;
  }
  // Filled buffers not yet announced belong to the object that ends.
  NetClrID(&parentRing_);
  NetClrID(&ackRing_);
  close_ = NetStop::kDue;
  if (!AdvanceClose()) {
    DbgPlain(kLevel, "%s: MSG_CLOSE could not be sent", kProg);
    EndObject(false);
  }
}

NetStep RestoreNet::OnAgent(int event) {
  switch (event) {
    case IPC_EVENT_RECEIVED:
      if (close_ != NetStop::kNone || stop_ != NetStop::kNone) return DropFromAgent();
      if (receiveState_ == 2) return BufferComplete(current_);
      return OnAgentMessage();
    case IPC_EVENT_SENT:
      if (close_ != NetStop::kNone) {
        if (!AdvanceClose()) EndObject(false);
      } else if (!FeedAgent()) {
        NetReportIpc(kProg);
        return NetStep::kExitIpc;
      }
      return NetStep::kGoOn;
    case IPC_EVENT_CLOSED:
      // Once MSG_CLOSE or MSG_STOP is on its way, the agent closing is the
      // end asked for. Otherwise the parent decides, and may still read
      // what it was given.
      if (close_ != NetStop::kNone) {
        EndObject(false);
      } else {
        CloseAgent(false);
        if (stop_ == NetStop::kNone) AbortParent();
      }
      return NetStep::kGoOn;
    case IPC_EVENT_ERROR:
      if (close_ != NetStop::kNone) {
        EndObject(false);
        return NetStep::kGoOn;
      }
      if (stop_ != NetStop::kNone) {
        CloseAgent(false);
        return NetStep::kGoOn;
      }
      NetReportIpc(kProg);
      return NetStep::kExitIpc;
    case IPC_EVENT_ACCEPTED:
      DbgPlain(kLevel, "RNetMain - got unallowed connection");
      ReportProtocol(kProg);
      return NetStep::kExitIpc;
    default: return NetStep::kGoOn;
  }
}

// Whatever the agent sends after MSG_CLOSE or MSG_STOP belongs to no object
// any more: it is dropped, and a raw packet that follows lands in the
// handle's own message, never in the segment.
NetStep RestoreNet::DropFromAgent() {
  receiveState_ = 1;
  if (IpcReceiveAsync(ma_, nullptr, 0) != 0) {
    if (close_ != NetStop::kNone) {
      EndObject(false);
    } else {
      CloseAgent(false);
    }
  }
  return NetStep::kGoOn;
}

NetStep RestoreNet::OnAgentMessage() {
  StrMsg* in = IpcGetReceiveStrMsg(ma_);
  const int code = StrParseStartL(in, nullptr);
  if (code == MSG_ABORT) {
    DbgPlain(kLevel, "%s: MSG_ABORT from the media agent", kProg);
    CloseAgent(false);
    AbortParent();
    return NetStep::kGoOn;
  }
  int id = -1;
  // Nothing is received into a buffer that is not the agent's to fill.
  if (code != MSG_DATA || !NetReadInt(in, &id) || id < 0 || id >= g_.bufNum ||
      holder_[id] != Holder::kAgent) {
    DbgPlain(kLevel, "%s: Protocol error! Message %d (%d) received from RMA => ABORTING", kProg,
             code, id);
    ReportProtocol(kProg);
    return NetStep::kExitIpc;
  }
  if (!remote_) return BufferComplete(id);
  current_ = id;
  receiveState_ = 2;
  if (IpcReceiveAsync(ma_, Buffer(id), g_.bufSize) != 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  return NetStep::kGoOn;
}

NetStep RestoreNet::BufferComplete(int id) {
  receiveState_ = 1;
  if (IpcReceiveAsync(ma_, nullptr, 0) != 0) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  holder_[id] = Holder::kQueued;
  NetPutID(&parentRing_, id);
  if (!FeedParent()) {
    NetReportIpc(kProg);
    return NetStep::kExitIpc;
  }
  return NetStep::kGoOn;
}

// ---------------------------------------------------------------- file variant

class FileRestore : public NetFileVariant {
 public:
  using NetFileVariant::NetFileVariant;
  NetStep Run();

 private:
  // The file has ended and every buffer it gave is back: the parent can only
  // be waiting for more.
  bool Drained() const;
  bool Fill();
  // Any message from the parent but MSG_ABORT, which ends the process.
  NetStep OnMessage(int code, StrMsg* in);
  bool FeedParent();

  bool ended_ = false;
  RIdRing freeRing_{};
  RIdRing parentRing_{};
  std::array<Holder, kBmMaxBuffers> holder_{};
  NetStop abort_ = NetStop::kNone;
};

bool FileRestore::Drained() const {
  if (!ended_ || stop_ != NetStop::kNone || abort_ != NetStop::kNone) return false;
  for (int id = 0; id < count_; ++id) {
    if (holder_[id] != Holder::kAgent) return false;
  }
  return true;
}

// Reads the file into one free buffer: one per event keeps the first
// buffers going out while the others are read. False after a report when
// the file cannot be read.
bool FileRestore::Fill() {
  if (!ended_ && !NetEmptyID(&freeRing_)) {
    const int id = NetGetID(&freeRing_);
    const ssize_t n = cmn::ReadAll(fd_.get(), Buffer(id), std::size_t(size_));
    if (n < 0) {
      const int err = errno;
      DbgPlain(kLevel, "%s: read failed (errno=%d)", kFileProg, err);
      Report(kFileProg, kErhMajor,
             NlsPackMessage(kSetDataPath, kDaMsgFileRead, ErhSysErrnoToText(err)));
      ended_ = true;
      NetPutID(&freeRing_, id);
      return false;
    }
    if (n < size_) {
      DbgPlain(kLevel, "%s: end of file after %ld bytes in buffer %d", kFileProg, long(n), id);
      ended_ = true;
      if (n == 0) {
        NetPutID(&freeRing_, id);
        return true;
      }
      // No stale bytes of an earlier block behind the last one.
      std::memset(Buffer(id) + n, 0, std::size_t(size_ - n));
    }
    holder_[id] = Holder::kQueued;
    NetPutID(&parentRing_, id);
  }
  return true;
}

bool FileRestore::FeedParent() {
  if (NetEmptyID(&parentRing_) || IpcCanSendAsync(pipe_) != 1) return true;
  const int id = NetGetID(&parentRing_);
  holder_[id] = Holder::kParent;
  return NetSendCode(pipe_, MSG_DATA, id);
}

NetStep FileRestore::Run() {
  if (const NetStep rc = OpenFile(kFileProg, 0, 0); rc != NetStep::kGoOn) return rc;
  if (const NetStep rc = StartSegment(kFileProg, &DacmnPtd::restoreAsyncReport, kRNetFileBufferSize,
                                      kRNetFileBufferCount, 0);
      rc != NetStep::kGoOn) {
    return rc;
  }
  NetClrID(&freeRing_);
  NetClrID(&parentRing_);
  holder_.fill(Holder::kAgent);
  for (int id = 0; id < count_; ++id) NetPutID(&freeRing_, id);
  if (!Fill()) abort_ = NetStop::kDue;
  for (;;) {
    if (abort_ == NetStop::kDue && IpcCanSendAsync(pipe_) == 1) {
      abort_ = NetStop::kSent;
      if (!NetSendCode(pipe_, MSG_ABORT, -1)) return NetStep::kExitIpc;
    }
    if (abort_ == NetStop::kNone && !FeedParent()) {
      NetReportIpc(kFileProg);
      return NetStep::kExitIpc;
    }
    // A parent that released everything and stops does so at once; one that
    // waits longer waits for buffers the file does not have.
    const bool drained = Drained();
    const IpcHandle handle = IpcWaitForAsyncIpcEvent(drained ? kRNetFileEndSeconds : -1);
    if (handle < 0) {
      if (drained && IpcGetLastIpcEvent() == IPC_EVENT_TIMEOUT) {
        DbgPlain(kLevel, "%s: the file has ended and the parent waits for more", kFileProg);
        Report(kFileProg, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgFileEnded));
        abort_ = NetStop::kDue;
        continue;
      }
      Report(kFileProg, kErhMajor,
             NlsPackMessage(kSetDataPath, kDaMsgWaitFailed, ErhErrnoToText()));
      return NetStep::kExitIpc;
    }
    if (handle != pipe_) continue;
    const NetStep rc = OnPipe(
        kFileProg, [this](int code, StrMsg* in) { return OnMessage(code, in); },
        [this] {
          if (abort_ == NetStop::kNone && !Fill()) abort_ = NetStop::kDue;
          return NetStep::kGoOn;
        });
    if (rc != NetStep::kGoOn) return rc;
  }
}

NetStep FileRestore::OnMessage(int code, StrMsg* in) {
  int id = -1;
  switch (code) {
    case MSG_DATA:
      if (!ReadRelease(in, &id) || id < 0 || id >= count_ || holder_[id] != Holder::kParent) {
        DbgPlain(kLevel, "%s: Protocol error! MSG_DATA (%d) from the parent => ABORTING", kFileProg,
                 id);
        ReportProtocol(kFileProg);
        return NetStep::kExitIpc;
      }
      holder_[id] = Holder::kAgent;
      NetPutID(&freeRing_, id);
      if (abort_ == NetStop::kNone && !Fill()) abort_ = NetStop::kDue;
      break;
    case MSG_STOP:
      if (!NetSendOnce(pipe_, &stop_, MSG_STOP)) return NetStep::kExitIpc;
      break;
    default: DbgPlain(kLevel, "%s: Protocol error! Message %d ignored", kFileProg, code); break;
  }
  return NetStep::kGoOn;
}

}  // namespace

// ---------------------------------------------------------------- hooks and mains

void RNetReportHook(const char* message) {
  NetForwardReport(message, &DacmnPtd::restoreAsyncReport);
}

void RNetConsoleHook(const char* message) {
  NetForwardConsole(message, &DacmnPtd::restoreAsyncReport);
}

void RNetMain() {
  NetRunProcess<RestoreNet>(RdaNetExit, RNetReportHook, RNetConsoleHook);
}

void RNetMainFile(const char* path) {
  NetRunProcess<FileRestore>(RdaNetExit, RNetReportHook, RNetConsoleHook, path);
}

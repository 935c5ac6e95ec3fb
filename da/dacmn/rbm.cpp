// Restore buffer manager: opens the stream from a local media agent or
// through the restore network process, queues the buffers the media side
// announces as filled, checks each block and hands its records out, and
// returns every buffer read with an acknowledgement.
#include "dacmn/rbm.h"

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "dacmn/bdanet.h"  // MSG_CLOSE
#include "dacmn/bmimpl.h"
#include "dacmn/daimpl.h"
#include "ipc/ipcasync.h"
#include "vekdf/rbm.h"

TARN_RCSID("da/dacmn/rbm.cpp");

using namespace dacmn_detail;
using namespace bm_detail;

namespace {

// The read offset between blocks.
constexpr int kNoOffset = -1;

}  // namespace

// What the open stream keeps beside the RdaPtd context: the checks' expected
// sequence numbers, the walk over the current block and which buffers are on
// this side, so that no buffer is read while the media side may fill it.
struct RbmStream {
  RbmStream() = default;
  RbmStream(const RbmStream&) = delete;
  RbmStream& operator=(const RbmStream&) = delete;
  RbmCheckState check;
  DaBlockReader reader{check};
  // Buffers queued as filled or held as the current block, one bit per id.
  std::uint64_t mine = 0;
  int heldId = -1;
  // A damaged record ended the reading of this object: reading on would skip
  // the rest of its block unnoticed.
  bool failed = false;
};

namespace {

std::uint64_t Bit(int id) {
  return std::uint64_t{1} << id;
}

// Forgets the segment, the queue and the block; the stream object stays.
void DropBuffers(RdaPtd* rda) {
  QueCleanup(&rda->filledBufQue);
  rda->shm = DaShmBuffers{};
  rda->blkPtr = nullptr;
  rda->blkSize = 0;
  rda->blkUsed = 0;
  rda->readOffset = kNoOffset;
  rda->currentRecord = nullptr;
  if (rda->stream != nullptr) {
    rda->stream->mine = 0;
    rda->stream->heldId = -1;
  }
}

// Closes the media side and forgets the stream.
void CloseMediaSide(DacmnPtd* ctx, RdaPtd* rda) {
  const IpcHandle handle = ctx->maIpcHandle;
  if (handle >= 0) {
    if (ctx->netIO != 0) {
      DbgPlain(kLevel, "RbmExit:  --> Close RDA-NET connection ( VEK_ShutdownRDANetIO ) !\n");
      VEK_ShutdownRDANetIO();
    } else {
      DbgPlain(kLevel, "RbmExit : --> Close RDA-NET connection  !\n");
      IpcShutdownAndCloseConnection(handle);
    }
    ErhClearError();
  }
  ctx->maIpcHandle = kIpcNoHandle;
  DropBuffers(rda);
  std::unique_ptr<RbmStream>(std::exchange(rda->stream, nullptr)).reset();
}

// Takes the filled buffer `item` names into the queue; false (reported) for
// an id that is no buffer of the stream or one already on this side: the
// media side may still be filling it, or would fill it again while it is
// read.
bool QueueFilled(RdaPtd* rda, const char* item) {
  static const char kFn[] = "RbmEventLoop";
  RbmStream* const stream = rda->stream;
  int id = -1;
  const bool inRange = stream != nullptr && ParseBufferId(item, rda->shm.bufNum, &id);
  if (!inRange || (stream->mine & Bit(id)) != 0) {
    const std::string text = item != nullptr ? item : "";
    DbgPlain(kLevel, "%s: filled buffer \"%s\" is %s", kFn, text.c_str(),
             inRange ? "already queued or held" : "no buffer of the stream");
    ReportDataPath(
        kFn, kDaMsgNetParse,
        (inRange ? "buffer announced twice: " : "announced buffer out of range: ") + text);
    return false;
  }
  if (!QueueBuffer(kFn, rcsId, __LINE__, &rda->filledBufQue, "filledBufQue", id)) return false;
  stream->mine |= Bit(id);
  return true;
}

// A message on the session-manager handle; never "go on waiting": the
// restore stream takes nothing from it but an abort or a resume.
int OnSessionManager(DacmnPtd* ctx) {
  static const char kFn[] = "RbmEventLoop";
  const IpcHandle handle = ctx->smHandle;
  char* buffer = ctx->smBuffer;
  const int rc = IpcReceiveData(handle, buffer, buffer != nullptr ? kDaSmBufferSize : 0);
  if (rc == 0) {
    DbgPlain(kLevel, "IPC EVENT (BSM) ==> SOCKET CLOSED");
    ReportDataPath(kFn, kDaMsgSmClosed);
    return RBM_FAILED;
  }
  if (rc < 0) {
    ReportDataPath(kFn, kDaMsgSmRead, ErrorText());
    ErhClearError();
    return RBM_FAILED;
  }
  const int code = SessionManagerCode(handle, buffer, rc);
  // MSG_STOP is unknown here: a stop while data is still to be read ends the
  // restore incomplete.
  if (OnSmCode(kFn, "RSM", code, kRbmMsgResume) != Common::kOwn) return RBM_FAILED;
  DbgPlain(kLevel, "from RSM: MSG_RESUME");
  return RBM_RESUMED;
}

// A message on the media-side handle; -1 to go on waiting.
int OnMediaSide(DacmnPtd* ctx, RdaPtd* rda, int state) {
  static const char kFn[] = "RbmEventLoop";
  const IpcHandle handle = ctx->maIpcHandle;
  const int rc = IpcReceiveData(handle, nullptr, 0);
  if (rc < 0) {
    DbgPlain(kLevel, "IPC EVENT (NETIO) ==> Read Error  !\n");
    ReportDataPath(kFn, kDaMsgNetRead, ErrorText());
    ErhClearError();
    return RBM_FAILED;
  }
  if (rc == 0) {
    DbgPlain(kLevel, "IPC EVENT (NETIO) ==> RDA-NET connection closed  !\n");
    const bool early = state == RBM_STATE_INIT && ctx->netIO != 0;
    ReportDataPath(kFn, kDaMsgNetClosed, early ? kNetEndedEarly : "closed by the peer");
    return RBM_FAILED;
  }
  StrMsg* msg = IpcGetReceiveStrMsg(handle);
  const int code = StrParseStartL(msg, nullptr);
  if (const Common common = OnNetCode(kFn, code, msg); common != Common::kOwn) {
    return LoopResult(common, RBM_STOPPED, RBM_FAILED);
  }
  switch (code) {
    case MSG_LISTEN:
      DbgPlain(kLevel, "from NET: MSG_LISTEN");
      if (state == RBM_STATE_STOP) return RBM_STOPPED;
      if (state == RBM_STATE_INIT || state == RBM_STATE_DISCONN) return RBM_GO_ON;
      DbgPlain(kLevel, "Unexpected MSG_LISTEN while in state %d", state);
      ReportDataPath(kFn, kDaMsgNetUnknown);
      return RBM_FAILED;
    case MSG_DATA:
      if (state == RBM_STATE_RUN) return QueueFilled(rda, StrParseNextL(msg)) ? -1 : RBM_FAILED;
      if (state == RBM_STATE_INIT) {
        // No segment yet: nothing can have been filled.
        ReportDataPath(kFn, kDaMsgNetParse, "filled buffer announced before MSG_LISTEN");
        return RBM_FAILED;
      }
      // Announced before the media side saw this side's MSG_CLOSE or
      // MSG_STOP: the object's buffers are not read any more.
      DbgPlain(kLevel, "%s: filled buffer ignored in state %d", kFn, state);
      return -1;
    default: ReportUnknownNet(kFn, code); return RBM_FAILED;
  }
}

int EventLoop(int state) {
  static const char kFn[] = "RbmEventLoop";
  DacmnPtd* ctx = DacmnGetContext();
  RdaPtd* rda = RdaGetContext();
  if (ctx == nullptr || rda == nullptr) return RBM_FAILED;
  if (state != RBM_STATE_INIT && state != RBM_STATE_RUN && state != RBM_STATE_STOP &&
      state != RBM_STATE_DISCONN && state != RBM_STATE_RESUME) {
    ReportInternal(kFn, rcsId, __LINE__);
    return RBM_FAILED;
  }
  for (;;) {
    const bool poll = state == RBM_STATE_RUN && QueCount(&rda->filledBufQue) > 0;
    if (!poll) DbgPlain(kLevel, "STATE_%d wait...", rda->lastState);
    // Exactly the stream's two handles: other links of the process (a
    // catalogue session, say) are none of its business.
    bool idle = false;
    const IpcHandle handle = WaitOnStream(kFn, ctx->smHandle, ctx->maIpcHandle, poll, &idle);
    if (handle < 0) return idle ? RBM_GO_ON : RBM_FAILED;
    if (!poll) DbgPlain(kLevel, "Received event.");
    int rc;
    if (handle == ctx->maIpcHandle) {
      rc = OnMediaSide(ctx, rda, state);
    } else if (handle == ctx->smHandle) {
      rc = OnSessionManager(ctx);
    } else {
      DbgPlain(kLevel, "Unknown: handle=%d, Sm=%d, Net=%d", handle, ctx->smHandle,
               ctx->maIpcHandle);
      rc = RBM_FAILED;
    }
    if (rc >= 0) return rc;
    // Filled buffers that came together are served from the bytes read
    // ahead; once they are used up the caller has its blocks, and another
    // poll would only find nothing.
    if (state == RBM_STATE_RUN && handle == ctx->maIpcHandle && QueCount(&rda->filledBufQue) > 0 &&
        IpcHoldsReadAhead(handle) != 1) {
      return RBM_GO_ON;
    }
  }
}

// Reads MSG_LISTEN (in the media side's receive message) and attaches the
// segment it describes, with an empty queue and no block.
bool AttachListened(const char* fn, DacmnPtd* ctx, RdaPtd* rda) {
  BmShmDescription d{};
  if (const char* why = DaParseListen(IpcGetReceiveStrMsg(ctx->maIpcHandle), &d)) {
    ReportDataPath(fn, kDaMsgAttach, why);
    return false;
  }
  return AttachSegment(fn, DA_RESTORE, ctx->maIpcHandle, d, &rda->shm) &&
         QueInit(&rda->filledBufQue, d.bufNum) == 0;
}

// A local agent serves the stream from its first block after MSG_OPEN with
// the DA id.
bool SendOpen(const DacmnPtd* ctx) {
  const IpcHandle handle = ctx->maIpcHandle;
  StrMsg* msg = IpcGetStrMsg(handle);
  if (msg == nullptr || StrMsgStartExL(msg, nullptr, 0, MSG_OPEN, 0) != 0 ||
      StrMsgFAppendL(msg, "%d", ctx->daId) != 0 || IpcSendStrMsg(handle) <= 0) {
    ReportDataPath("RbmInit", kDaMsgNetClosed, ErrorText());
    ErhClearError();
    return false;
  }
  return true;
}

// Acknowledges the current block and takes the next usable one, skipping
// blocks that repeat the previous one. False after a report.
bool NextBlock() {
  for (;;) {
    if (RbmPutBlock() != 1) return false;
    const RbmBlock rc = RbmGetBlock();
    if (rc == RbmBlock::kUsable) return true;
    if (rc == RbmBlock::kFailed) return false;
  }
}

// Takes the first block of an object: a stream that starts with a repeated
// block cannot be, but would be skipped like any other.
bool FirstBlock() {
  const RbmBlock rc = RbmGetBlock();
  return rc == RbmBlock::kUsable || (rc == RbmBlock::kRepeated && NextBlock());
}

}  // namespace

int RbmInit(const char* additionalId, const char* ranges, const char* postfix, const char* select,
            int reportLevel, int waitForStop, IpcHandle smHandle, char* smBuffer, int daId,
            const char* maHost, int maPort, const char* filePath, double netLoad) {
  static const char kFn[] = "RbmInit";
  const TracedExit done = TraceOpening(TARN_HERE, kFn, daId, maHost, maPort);
  DacmnPtd* ctx = DacmnGetContext();
  RdaPtd* rda = RdaGetContext();
  if (!CanOpen(kFn, rcsId, __LINE__, ctx, rda)) return done(0);
  const int netIO = StoreStreamFields(ctx, DA_RESTORE, waitForStop, smHandle, smBuffer, daId,
                                      maHost, maPort, filePath, netLoad);
  if (netIO < 0) return done(0);
  rda->stream = new RbmStream();
  DropBuffers(rda);
  rda->lastState = RBM_STATE_INIT;

  BmShmDescription description{};
  bool opened;
  if (netIO == 0) {
    opened = OpenLocalAgent(ctx, DA_RESTORE, &description) &&
             AttachSegment(kFn, DA_RESTORE, ctx->maIpcHandle, description, &rda->shm) &&
             QueInit(&rda->filledBufQue, description.bufNum) == 0;
  } else {
    opened = VEK_CreateRDANetIO(additionalId, postfix, ranges, select, reportLevel) == 1;
    if (opened && IpcSetAsyncDynBuf(ctx->maIpcHandle) != 0) {
      ReportDataPath(kFn, kDaMsgNetRead, ErrorText());
      ErhClearError();
      opened = false;
    }
    if (opened) {
      rda->lastState = EventLoop(RBM_STATE_INIT);
      if (rda->lastState == RBM_FAILED) {
        DbgPlain(kLevel, "Got STATE_ABORT from RbmEventLoop in RbmInit");
      }
      opened = rda->lastState == RBM_GO_ON && AttachListened(kFn, ctx, rda);
    }
  }
  if (opened && netIO == 0) opened = SendOpen(ctx);
  if (!opened || !FirstBlock()) {
    if (ctx->maIpcHandle >= 0) SendBare(ctx->maIpcHandle, MSG_ABORT);
    CloseMediaSide(ctx, rda);
    return done(0);
  }
  return done(1);
}

RbmBlock RbmGetBlock() {
  static const char kFn[] = "RbmGetBlock";
  RdaPtd* rda = RdaGetContext();
  RbmStream* const stream = rda != nullptr ? rda->stream : nullptr;
  if (stream == nullptr) return RbmBlock::kFailed;
  if (stream->heldId >= 0) {
    DbgPlain(kDbgUnexpected, "[%s] buffer %d is still held", kFn, stream->heldId);
    ReportInternal(kFn, rcsId, __LINE__);
    return RbmBlock::kFailed;
  }
  if (QueCount(&rda->filledBufQue) == 0) {
    rda->lastState = EventLoop(RBM_STATE_RUN);
    if (rda->lastState == RBM_FAILED) {
      DbgPlain(kLevel, "Got STATE_ABORT from RbmEventLoop in RbmGetBlock");
      return RbmBlock::kFailed;
    }
    if (rda->lastState != RBM_GO_ON) return RbmBlock::kFailed;
  }
  int id = -1;
  if (QueGet(&rda->filledBufQue, &id) == 0) {
    ReportInternal(kFn, rcsId, __LINE__);
    return RbmBlock::kFailed;
  }
  DaShmBuffers& shm = rda->shm;
  const int skip = DaBlockSkip(shm.bufOffset);
  shm.bufID = id;
  shm.bufPtr = shm.shmemBasePtr + DaBufferStart(shm, id, DA_RESTORE);
  stream->heldId = id;
  rda->blkPtr = shm.bufPtr + skip;
  rda->blkSize = shm.bufSize - skip;
  rda->readOffset = static_cast<int>(kDaBlkHeaderSize);
  rda->currentRecord = nullptr;
  DbgPlain(kLevel, "RbmGetBlock: shmemBasePtr = 0x%p", static_cast<void*>(shm.shmemBasePtr));
  DbgPlain(kLevel, "\tbufID\t= %d", id);
  DbgPlain(kLevel, "\tbufPtr\t= 0x%p", static_cast<void*>(shm.bufPtr));
  DbgPlain(kLevel, "\tblkPtr\t= 0x%p", static_cast<void*>(rda->blkPtr));
  DbgPlain(kLevel, "\tblkSize\t= %d", rda->blkSize);
  const int used = stream->reader.Open(
      {reinterpret_cast<std::uint8_t*>(rda->blkPtr), static_cast<std::size_t>(rda->blkSize)});
  rda->blkIndex = static_cast<int>(stream->check.expectedBlkSeqNo);
  DbgPlain(kLevel, "\tblkIndex\t= %d", rda->blkIndex);
  if (used < 0) return RbmBlock::kFailed;
  if (used == 0) return RbmBlock::kRepeated;
  rda->blkUsed = used;
  return RbmBlock::kUsable;
}

int RbmPutBlock() {
  static const char kFn[] = "RbmPutBlock";
  DacmnPtd* ctx = DacmnGetContext();
  RdaPtd* rda = RdaGetContext();
  RbmStream* const stream = rda != nullptr ? rda->stream : nullptr;
  if (ctx == nullptr || stream == nullptr || stream->heldId < 0) return 0;
  const int id = stream->heldId;
  DbgPlain(kLevel, "RbmPutBlock: bufID = %d ", id);
  // The buffer is the media side's from now on, even when the send fails.
  stream->heldId = -1;
  stream->mine &= ~Bit(id);
  rda->blkPtr = nullptr;
  rda->readOffset = kNoOffset;
  rda->currentRecord = nullptr;
  const IpcHandle handle = ctx->maIpcHandle;
  StrMsg* msg = IpcGetStrMsg(handle);
  if (msg == nullptr || StrMsgStartExL(msg, nullptr, 0, MSG_DATA, 0) != 0 ||
      StrMsgFAppendL(msg, "%d%d", ctx->daId, id) != 0 || IpcSendStrMsg(handle) <= 0) {
    ReportDataPath(kFn, kDaMsgNetClosed, ErrorText());
    ErhClearError();
    return 0;
  }
  return 1;
}

std::uint8_t* RbmRead() {
  RdaPtd* rda = RdaGetContext();
  RbmStream* const stream = rda != nullptr ? rda->stream : nullptr;
  if (stream == nullptr || stream->failed || stream->heldId < 0) return nullptr;
  for (;;) {
    std::span<std::uint8_t> record;
    const int rc = stream->reader.Next(&record);
    if (rc == 1) {
      rda->currentRecord = record.data();
      rda->recSeqNo = static_cast<int>(stream->check.expectedRecSeqNo);
      rda->readOffset = static_cast<int>(record.data() + DaAlignUp(record.size()) -
                                         reinterpret_cast<std::uint8_t*>(rda->blkPtr));
      return record.data();
    }
    // The end of the block, or the rest of it repeats records already read.
    if (rc == 0 && NextBlock()) continue;
    stream->failed = true;
    rda->currentRecord = nullptr;
    return nullptr;
  }
}

int RbmExit(int abortCode) {
  static const char kFn[] = "RbmExit";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "(abortCode %d)", abortCode);
  auto done = [&](int rc) {
    DbgPlain(kLevel, "RbmExit : --> EXIT  !\n");
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
    return rc;
  };
  DacmnPtd* ctx = DacmnGetContext();
  RdaPtd* rda = RdaGetContext();
  if (ctx == nullptr || rda == nullptr) return done(0);
  const IpcHandle handle = ctx->maIpcHandle;
  if (handle < 0) {
    DbgPlain(kLevel, "%s: maIpcHandle is -1.", kFn);
    CloseMediaSide(ctx, rda);
    return done(0);
  }
  if (IpcDetachShmem(handle) != 0) ErhClearError();
  rda->shm.shmemBasePtr = nullptr;
  if (IpcGetStrMsg(handle) == nullptr) {
    DbgPlain(kLevel, "%s: Could not get StrMsg from maIpcHandle (probably cannot send async).",
             kFn);
    CloseMediaSide(ctx, rda);
    return done(0);
  }
  bool abort = abortCode != 0;
  if (rda->stream != nullptr && rda->stream->heldId >= 0) {
    DbgPlain(kLevel, "%s: Sending the ack for the last buffer.", kFn);
    if (RbmPutBlock() != 1) {
      DbgPlain(kLevel, "%s: Failed to send the last ack.", kFn);
      abort = true;
    }
  }
  int rc = 0;
  if (!abort) {
    DbgPlain(kLevel, "%s :  MSG_STOP send to RMA-NET\n", kFn);
    if (!SendBare(handle, MSG_STOP)) {
      DbgPlain(kLevel, "%s: IpcSendData(MSG_STOP) to maIpcHandle failed.", kFn);
      ErhClearError();
    } else if (ctx->netIO != 0) {
      rda->lastState = EventLoop(RBM_STATE_STOP);
      if (rda->lastState == RBM_STOPPED) {
        rc = 1;
      } else {
        DbgPlain(kLevel, "%s: RbmEventLoop returned value != STATE_STOP.", kFn);
      }
    } else {
      rc = 1;
    }
  } else {
    DbgPlain(kLevel, "RbmExit : MSG_ABORT send to RDA-NET and Exit immediately !\n");
    if (!SendBare(handle, MSG_ABORT)) ErhClearError();
  }
  CloseMediaSide(ctx, rda);
  return done(rc);
}

int RbmReset() {
  static const char kFn[] = "RbmReset";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "%s", "");
  const TracedExit done(TARN_HERE, kFn);
  DacmnPtd* ctx = DacmnGetContext();
  RdaPtd* rda = RdaGetContext();
  const IpcHandle handle = ctx != nullptr ? ctx->maIpcHandle : kIpcNoHandle;
  RbmStream* const stream = rda != nullptr ? rda->stream : nullptr;
  if (stream == nullptr || handle < 0) return done(0);
  stream->check = RbmCheckState{};
  stream->failed = false;
  rda->blkIndex = 0;
  rda->recSeqNo = 0;
  DbgPlain(kLevel, "RESET !!! \n");
  if (IpcDetachShmem(handle) != 0) {
    ErhClearError();
    return done(0);
  }
  // The object's buffers, filled or held, go with it.
  DropBuffers(rda);
  if (IpcGetStrMsg(handle) == nullptr) {
    DbgPlain(kLevel, "%s: strMsg == NULL", kFn);
    return done(0);
  }
  DbgPlain(kLevel, " IPC CLOSE : %d \n", handle);
  if (!SendBare(handle, MSG_CLOSE)) {
    ReportDataPath(kFn, kDaMsgNetClosed, ErrorText());
    ErhClearError();
    return done(0);
  }
  if (ctx->smHandle >= 0) {
    DbgPlain(kLevel, "RSM IPC RESET: %d \n", ctx->smHandle);
    if (!SendBare(ctx->smHandle, kRbmMsgReset)) {
      ReportDataPath(kFn, kDaMsgSmRead, ErrorText());
      ErhClearError();
      return done(0);
    }
    rda->lastState = EventLoop(RBM_STATE_RESUME);
    if (rda->lastState != RBM_RESUMED) return done(0);
  }
  if (!SendBare(handle, MSG_OPEN)) {
    ReportDataPath(kFn, kDaMsgNetClosed, ErrorText());
    ErhClearError();
    return done(0);
  }
  rda->lastState = EventLoop(RBM_STATE_DISCONN);
  if (rda->lastState == RBM_FAILED) {
    DbgPlain(kLevel, "Got STATE_ABORT from RbmEventLoop in RbmReset");
    return done(0);
  }
  if (rda->lastState != RBM_GO_ON) return done(0);
  DbgPlain(kLevel, " STATE RUN \n");
  if (!AttachListened(kFn, ctx, rda)) return done(0);
  if (ctx->netIO == 0 && !SendOpen(ctx)) return done(0);
  DbgPlain(kLevel, "RBM_GETBLOCK  \n");
  return done(FirstBlock() ? 1 : 0);
}

void dacmn_detail::RbmFreeStream(RbmStream* stream) {
  delete stream;
}

int RbmEventLoop(int state) {
  RdaPtd* rda = RdaGetContext();
  const int rc = EventLoop(state);
  if (rda != nullptr) rda->lastState = rc;
  return rc;
}

int RdaState() {
  const RdaPtd* rda = RdaGetContext();
  return rda != nullptr ? rda->lastState : RBM_FAILED;
}

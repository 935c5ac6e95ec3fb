// Backup buffer manager: opens the stream to a local media agent or through
// a network process, keeps the free-buffer queue, assembles blocks in the
// shared buffers and waits for acknowledgements and the session manager.
#include "dacmn/bm.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "dacmn/bmimpl.h"
#include "dacmn/daimpl.h"
#include "ipc/ipcasync.h"
#include "vekdf/dablock.h"
#include "vekdf/rm.h"

TARN_RCSID("da/dacmn/bm.cpp");

using namespace dacmn_detail;
using namespace bm_detail;

namespace {

// Set 12.
constexpr int kMsgOption = 1007;

// MSG_OPEN's buffer-count item: a local agent or a network process.
constexpr int kOpenLocal = 3;
constexpr int kOpenNet = 1;

}  // namespace

// Blocks of the open stream come from the free buffers of the segment; a
// sent block leaves as MSG_DATA with its buffer id and comes back with the
// media side's acknowledgement.
class BmSink final : public DaBlockSink {
 public:
  std::span<std::uint8_t> TakeBlock() override;
  bool SendBlock(std::span<std::uint8_t> block, std::uint32_t used) override;

  // Buffer of the current block, -1 between blocks.
  int heldId = -1;
  // Buffers at the media side, one bit per id.
  std::uint64_t out = 0;
  // The last BmFlush got every buffer back and nothing was sent since.
  bool flushed = false;
  // The media side failed or ended the stream: no buffer out there comes
  // back, so nothing may wait for one.
  bool broken = false;
};

// The open stream; its plain fields live in the BdaPtd context.
struct BmStream {
  explicit BmStream(std::uint32_t daId) : writer(sink, daId) {}
  BmStream(const BmStream&) = delete;
  BmStream& operator=(const BmStream&) = delete;
  // Puts back the writer the record layer had, unless it moved on.
  ~BmStream() {
    if (RmGetBlockWriter() == &writer) RmSetBlockWriter(previousWriter);
  }
  BmSink sink;
  DaBlockWriter writer;
  DaBlockWriter* previousWriter = nullptr;
};

namespace {

int PlainSmReceive(IpcHandle handle, char* buffer, int capacity) {
  return IpcReceiveData(handle, buffer, capacity);
}
BmSmReceiveFn smReceive = PlainSmReceive;

// The open stream of this thread's context, or null.
BmStream* OpenStream() {
  const BdaPtd* bda = BdaGetContext();
  return bda != nullptr ? bda->stream : nullptr;
}

// Gives a buffer id of the current block back to the front of the queue.
void Unget(BdaPtd* bda, int id) {
  if (QueUnget(&bda->freeBufQue, id) == 0) ReportInternal("BmUnget", rcsId, __LINE__);
}

}  // namespace

std::span<std::uint8_t> BmSink::TakeBlock() {
  static const char kFn[] = "BmGetBlock";
  BdaPtd* bda = BdaGetContext();
  DacmnPtd* ctx = DacmnGetContext();
  if (bda == nullptr || ctx == nullptr) return {};
  // The writer dropped the previous block unsent: its buffer is free again.
  if (heldId >= 0) {
    Unget(bda, heldId);
    heldId = -1;
  }
  if (QueCount(&bda->freeBufQue) == 0) {
    const int rc = BmEventLoop(BM_STATE_RUN);
    if (rc == BM_STOPPED) {
      DbgPlain(kLevel, "%s: Got unexpected STATE_STOP from BmEventLoop", kFn);
      DbgPlain(kLevel, "Ipc handle %d, Sm handle=%d, Net handle=%d", bda->lastHandle, ctx->smHandle,
               ctx->maIpcHandle);
      return {};
    }
    if (rc != BM_GO_ON) return {};
  }
  int id = -1;
  if (QueGet(&bda->freeBufQue, &id) == 0) {
    ReportInternal(kFn, rcsId, __LINE__);
    return {};
  }
  DaShmBuffers& shm = bda->shm;
  const std::size_t start = DaBufferStart(shm, id, DA_BACKUP);
  const int skip = DaBlockSkip(shm.bufOffset);
  shm.bufID = id;
  shm.bufPtr = shm.shmemBasePtr + start;
  heldId = id;
  bda->zeroCopy = 0;
  bda->blkPtr = shm.bufPtr + skip;
  bda->blkSize = shm.bufSize - skip;
  DbgPlain(kLevel, "BmGetBlock:");
  DbgPlain(kLevel, "\tbufID   = %d", id);
  DbgPlain(kLevel, "\tblkSize = %d\n", bda->blkSize);
  return {reinterpret_cast<std::uint8_t*>(bda->blkPtr), static_cast<std::size_t>(bda->blkSize)};
}

bool BmSink::SendBlock(std::span<std::uint8_t> /*block*/, std::uint32_t used) {
  static const char kFn[] = "BmPutBlock";
  BdaPtd* bda = BdaGetContext();
  DacmnPtd* ctx = DacmnGetContext();
  if (bda == nullptr || ctx == nullptr) return false;
  const int id = heldId;
  heldId = -1;
  if (id < 0 || id >= bda->shm.bufNum) {
    ReportInternal(kFn, rcsId, __LINE__);
    return false;
  }
  DbgPlain(kLevel, "send (%2d)", id);
  const IpcHandle handle = ctx->maIpcHandle;
  StrMsg* msg = IpcGetStrMsg(handle);
  int built = -1;
  if (msg != nullptr) {
    if (bda->zeroCopy != 0) {
      DbgPlain(kLevel, "BDA -> BMA-NET: MSG_DATA_NOMEMCPY (%2d, %x)", id, bda->zeroCopyBufID);
      built = StrMsgStartExL(msg, nullptr, 0, MSG_DATA_NOMEMCPY, 0);
      if (built == 0) built = StrMsgFAppendL(msg, "%d%u", id, bda->zeroCopyBufID);
    } else {
      DbgPlain(kLevel, "BDA -> BMA-NET: MSG_DATA (%2d)", id);
      built = StrMsgStartExL(msg, nullptr, 0, MSG_DATA, 0);
      if (built == 0) built = StrMsgFAppendL(msg, "%d", id);
    }
  }
  bda->zeroCopy = 0;
  bda->blkPtr = nullptr;
  bda->blkIndex = static_cast<int>(bda->stream->writer.blkSeqNo());
  // The buffer is the media side's from now on, even when the send fails
  // half-way: it must not be written again.
  out |= std::uint64_t{1} << id;
  flushed = false;
  if (built != 0 || IpcSendStrMsg(handle) <= 0) {
    DbgPlain(kDbgUnexpected, "[%s] sending buffer %d (%u bytes) failed", kFn, id, used);
    ReportDataPath(kFn, kDaMsgNetClosed, ErrorText());
    ErhClearError();
    return false;
  }
  return true;
}

namespace {

// The media side's acknowledgement of `item`; false for an id that is not a
// buffer of the stream or not out (it would free a buffer still in use).
bool TakeAck(BdaPtd* bda, const char* item) {
  static const char kFn[] = "BmEventLoop";
  BmStream* const stream = bda->stream;
  int id = -1;
  const std::uint64_t bit =
      stream != nullptr && ParseBufferId(item, bda->shm.bufNum, &id) ? std::uint64_t{1} << id : 0;
  if (bit == 0 || (stream->sink.out & bit) == 0) {
    DbgPlain(kLevel, "%s: acknowledgement \"%s\" names no buffer that is out", kFn,
             item != nullptr ? item : "");
    ReportDataPath(kFn, kDaMsgNetParse,
                   std::string("acknowledgement of a buffer that is not out: ") +
                       (item != nullptr ? item : ""));
    return false;
  }
  if (!QueueBuffer(kFn, rcsId, __LINE__, &bda->freeBufQue, "freeBufQue", id)) return false;
  stream->sink.out &= ~bit;
  return true;
}

// A message on the session-manager handle; -1 to go on waiting.
int OnSessionManager(DacmnPtd* ctx, int state, bool* smClosed) {
  static const char kFn[] = "BmEventLoop";
  IpcHandle handle = ctx->smHandle;
  char* buffer = ctx->smBuffer;
  const int rc = smReceive(handle, buffer, buffer != nullptr ? kDaSmBufferSize : 0);
  if (rc == 0) {
    DbgPlain(kLevel, "IPC EVENT (BSM) ==> SOCKET CLOSED");
    if (state == BM_STATE_STOP) {
      // A closed link stays readable; waiting on it would spin.
      *smClosed = true;
      return -1;
    }
    ReportDataPath(kFn, kDaMsgSmRead, "connection closed");
    return BM_FAILED;
  }
  if (rc == -3) {
    DbgPlain(kLevel, "%s: reconnection to the session manager failed", kFn);
    DaSetReconnectPort(0);
    return BM_FAILED;
  }
  if (rc == -2) {
    DbgPlain(kLevel, "%s: reconnected to the session manager", kFn);
    if (state == BM_STATE_STOP || state == BM_STATE_DISCONN) return BM_STOPPED;
    return -1;
  }
  if (rc < 0) {
    DbgPlain(kLevel, "IPC EVENT (BSM) ==> READ ERROR");
    ReportDataPath(kFn, kDaMsgSmRead, ErrorText());
    ErhClearError();
    return BM_FAILED;
  }
  DbgPlain(kLevel, "IPC EVENT (BSM) ==> DATA-READY");
  const int code = SessionManagerCode(handle, buffer, rc);
  if (OnSmCode(kFn, "BSM", code, MSG_STOP) != Common::kOwn) return BM_FAILED;
  DbgPlain(kLevel, "from BSM: MSG_STOP");
  return BM_STOPPED;
}

// A message on the media-side handle; -1 to go on waiting.
int OnMediaSide(DacmnPtd* ctx, BdaPtd* bda, int state, bool* maClosed, bool* acked) {
  static const char kFn[] = "BmEventLoop";
  const IpcHandle handle = ctx->maIpcHandle;
  const int rc = IpcReceiveData(handle, nullptr, 0);
  if (rc < 0) {
    ReportDataPath(kFn, kDaMsgNetRead, ErrorText());
    ErhClearError();
    return BM_FAILED;
  }
  if (rc == 0) {
    if (state == BM_STATE_DISCONN) {
      *maClosed = true;
      return -1;
    }
    DbgPlain(kLevel, "%s: the media side closed the connection", kFn);
    const bool early = state == BM_STATE_INIT && ctx->netIO != 0;
    ReportDataPath(kFn, kDaMsgNetClosed, early ? kNetEndedEarly : "closed by the peer");
    return BM_FAILED;
  }
  DbgPlain(kLevel, "IPC EVENT (NETIO) ==> DATA-READY");
  StrMsg* msg = IpcGetReceiveStrMsg(handle);
  const int code = StrParseStartL(msg, nullptr);
  if (const Common common = OnNetCode(kFn, code, msg); common != Common::kOwn) {
    return LoopResult(common, BM_STOPPED, BM_FAILED);
  }
  switch (code) {
    case MSG_LISTEN: DbgPlain(kLevel, "from NET: MSG_LISTEN"); return BM_GO_ON;
    case MSG_DATA:
      if (!TakeAck(bda, StrParseNextL(msg))) return BM_FAILED;
      *acked = true;
      return -1;
    default: ReportUnknownNet(kFn, code); return BM_FAILED;
  }
}

// The event loop; with `untilAck` a run waits without time-out until an
// acknowledgement came, even while free buffers are queued.
int EventLoop(int state, bool untilAck) {
  static const char kFn[] = "BmEventLoop";
  DacmnPtd* ctx = DacmnGetContext();
  BdaPtd* bda = BdaGetContext();
  if (ctx == nullptr || bda == nullptr) return BM_FAILED;
  if (state != BM_STATE_INIT && state != BM_STATE_RUN && state != BM_STATE_STOP &&
      state != BM_STATE_DISCONN) {
    ReportInternal(kFn, rcsId, __LINE__);
    return BM_FAILED;
  }
  if (state == BM_STATE_INIT) DbgPlain(kLevel, "STATE_INIT ...");
  if (state == BM_STATE_STOP) DbgPlain(kLevel, "STATE_STOP ...");
  if (state == BM_STATE_DISCONN) DbgPlain(kLevel, "STATE_DISCONN ...");
  BmStream* const stream = bda->stream;
  if (stream != nullptr && stream->sink.broken) {
    DbgPlain(kLevel, "%s: the media side has ended the stream", kFn);
    return BM_FAILED;
  }
  bool smClosed = false;
  bool maClosed = false;
  bool acked = false;
  for (;;) {
    const bool poll = state == BM_STATE_RUN && (untilAck ? acked : QueCount(&bda->freeBufQue) > 0);
    bool idle = false;
    const IpcHandle handle = WaitOnStream(kFn, smClosed ? kIpcNoHandle : ctx->smHandle,
                                          maClosed ? kIpcNoHandle : ctx->maIpcHandle, poll, &idle);
    bda->lastHandle = handle;
    if (handle < 0) {
      if (!idle) return BM_FAILED;
      DbgPlain(kLevel, "IPC EVENT ==> TIMEOUT");
      return BM_GO_ON;
    }
    int rc = -1;
    if (handle == ctx->smHandle) {
      rc = OnSessionManager(ctx, state, &smClosed);
    } else if (handle == ctx->maIpcHandle) {
      rc = OnMediaSide(ctx, bda, state, &maClosed, &acked);
      if (rc == BM_FAILED && stream != nullptr) stream->sink.broken = true;
    } else if (bda->ipcAbortSwitch != 0) {
      DbgPlain(kLevel, "%s: Unknown handle=%d, Sm=%d, Net=%d", kFn, handle, ctx->smHandle,
               ctx->maIpcHandle);
      rc = BM_FAILED;
    } else {
      DbgPlain(kLevel, "%s: Unknown handle=%d, Sm=%d, Net=%d, sleep.", kFn, handle, ctx->smHandle,
               ctx->maIpcHandle);
    }
    if (rc >= 0) return rc;
    // Acknowledgements that came together are served from the bytes read
    // ahead; once they are used up the caller has its buffers, and another
    // poll would only find nothing.
    if (acked && state == BM_STATE_RUN && IpcHoldsReadAhead(ctx->maIpcHandle) != 1) {
      return BM_GO_ON;
    }
  }
}

// Closes the media side and forgets the segment and the stream.
void CloseMediaSide(DacmnPtd* ctx, BdaPtd* bda) {
  const IpcHandle handle = ctx->maIpcHandle;
  if (handle >= 0) {
    if (ctx->netIO != 0) {
      VEK_ShutdownBDANetIO();
    } else {
      IpcShutdownAndCloseConnection(handle);
    }
    ErhClearError();
  }
  ctx->maIpcHandle = kIpcNoHandle;
  QueCleanup(&bda->freeBufQue);
  bda->shm = DaShmBuffers{};
  bda->blkPtr = nullptr;
  bda->zeroCopy = 0;
  std::unique_ptr<BmStream>(std::exchange(bda->stream, nullptr)).reset();
}

// Builds the MSG_OPEN (or MSG_OPEN_NOMEMCPY) of the stream; false after a
// report.
bool BuildOpen(StrMsg* msg, const DacmnPtd* ctx, const BdaPtd* bda, const char* zeroCopyName,
               const char* zeroCopyString, const CmnVec* options) {
  static const char kFn[] = "BmInit";
  if (bda->zeroCopy != 0) {
    return StrMsgStartExL(msg, nullptr, 0, MSG_OPEN_NOMEMCPY, 0) == 0 &&
           StrMsgFAppendL(msg, "%d%s%s", ctx->daId, zeroCopyName, zeroCopyString) == 0;
  }
  if (StrMsgStartExL(msg, nullptr, 0, MSG_OPEN, 0) != 0) return false;
  if (options == nullptr || options->count < 1) return StrMsgFAppendL(msg, "%d", ctx->daId) == 0;
  const bool local = ctx->netIO == 0;
  if (StrMsgFAppendL(msg, "%d%d%s%d%s%d%d%d", ctx->daId, -1, CmnGetProgname(), 0, "", 0,
                     bda->shm.bufNum, local ? kOpenLocal : kOpenNet) != 0) {
    return false;
  }
  if (local && StrMsgFAppendL(msg, "%d%d", 0, 0) != 0) return false;
  for (int i = 0; i < options->count; ++i) {
    if (StrMsgAppendL(msg, static_cast<const char*>(IVecGet(options, i))) != 0) {
      DbgPlain(kLevel, "[%s] option %d cannot be appended", kFn, i);
      ErhFullReportPacked(kFn, kErhMajor, NlsPackMessage(kSetError, kMsgOption));
      return false;
    }
  }
  return true;
}

// Forks the network process and waits for its MSG_LISTEN.
bool OpenRemote(DacmnPtd* ctx, const char* additionalId, const char* ranges, const char* postfix,
                const char* select, int reportLevel) {
  static const char kFn[] = "BmInit";
  if (VEK_CreateBDANetIO(additionalId, postfix, ranges, select, reportLevel) != 1) return false;
  if (IpcSetAsyncDynBuf(ctx->maIpcHandle) != 0) {
    ReportDataPath(kFn, kDaMsgNetRead, ErrorText());
    ErhClearError();
    return false;
  }
  return true;
}

bool ReadListen(DacmnPtd* ctx, BmShmDescription* d) {
  static const char kFn[] = "BmInit";
  if (EventLoop(BM_STATE_INIT, false) != BM_GO_ON) return false;
  StrMsg* msg = IpcGetReceiveStrMsg(ctx->maIpcHandle);
  if (const char* why = DaParseListen(msg, d)) {
    ReportDataPath(kFn, kDaMsgAttach, why);
    return false;
  }
  return true;
}

}  // namespace

BmSmReceiveFn BmSetSmReceive(BmSmReceiveFn receive) {
  const BmSmReceiveFn previous = smReceive;
  smReceive = receive != nullptr ? receive : PlainSmReceive;
  return previous;
}

int BdaIPCAbortSwitch(int value) {
  BdaPtd* bda = BdaGetContext();
  if (bda == nullptr) return 0;
  const int previous = bda->ipcAbortSwitch;
  bda->ipcAbortSwitch = value;
  return previous;
}

int BmInit(const char* additionalId, const char* ranges, const char* postfix, const char* select,
           int reportLevel, int waitForStop, IpcHandle smHandle, char* smBuffer, int daId,
           const char* maHost, int maPort, const char* filePath, double netLoad,
           const char* zeroCopyName, const char* zeroCopyString, const CmnVec* options) {
  static const char kFn[] = "BmInit";
  const TracedExit done = TraceOpening(TARN_HERE, kFn, daId, maHost, maPort);
  DacmnPtd* ctx = DacmnGetContext();
  BdaPtd* bda = BdaGetContext();
  if (!CanOpen(kFn, rcsId, __LINE__, ctx, bda)) return done(0);
  ctx->savedReconnectPort = ctx->reconnectPort;
  const int netIO = StoreStreamFields(ctx, DA_BACKUP, waitForStop, smHandle, smBuffer, daId, maHost,
                                      maPort, filePath, netLoad);
  if (netIO < 0) return done(0);
  QueCleanup(&bda->freeBufQue);
  bda->zeroCopy = 0;
  bda->zeroCopyBufID = 0;

  BmShmDescription description{};
  const bool opened = netIO == 0
                          ? OpenLocalAgent(ctx, DA_BACKUP, &description)
                          : OpenRemote(ctx, additionalId, ranges, postfix, select, reportLevel);
  if (!opened) {
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  const bool zeroCopy = netIO == 0 && zeroCopyName != nullptr && zeroCopyName[0] != '\0';
  bda->zeroCopy = zeroCopy ? 1 : 0;
  if (netIO == 0) bda->shm.bufNum = description.bufNum;
  StrMsg* msg = IpcGetStrMsg(ctx->maIpcHandle);
  if (msg == nullptr || !BuildOpen(msg, ctx, bda, zeroCopyName != nullptr ? zeroCopyName : "",
                                   zeroCopyString != nullptr ? zeroCopyString : "", options)) {
    DbgPlain(kLevel, "[%s] MSG_OPEN cannot be built", kFn);
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  StrParseMessageToDebugsL(msg, StrMsgGetBufL(msg), kLevel, "MSG_OPEN", "", 1);
  if (IpcSendStrMsg(ctx->maIpcHandle) <= 0) {
    const bool early = netIO != 0 && ErhSysErrno() == EPIPE;
    ReportDataPath(kFn, kDaMsgNetClosed, early ? std::string(kNetEndedEarly) : ErrorText());
    ErhClearError();
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  if (netIO != 0 && !ReadListen(ctx, &description)) {
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  if (!AttachSegment(kFn, DA_BACKUP, ctx->maIpcHandle, description, &bda->shm) ||
      QueInit(&bda->freeBufQue, description.bufNum) != 0) {
    if (ctx->maIpcHandle >= 0) SendBare(ctx->maIpcHandle, MSG_ABORT);
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  for (int id = 0; id < description.bufNum; ++id) QuePut(&bda->freeBufQue, id);
  bda->blkPtr = nullptr;
  bda->blkIndex = 0;
  bda->zeroCopy = zeroCopy ? 1 : 0;
  bda->stream = new BmStream(static_cast<std::uint32_t>(daId));
  bda->stream->previousWriter = RmSetBlockWriter(&bda->stream->writer);
  if (!bda->stream->writer.GetBlock()) {
    SendBare(ctx->maIpcHandle, MSG_ABORT);
    CloseMediaSide(ctx, bda);
    return done(0);
  }
  return done(1);
}

int BmGetParams(int* bufSize, int* headRoom) {
  const BdaPtd* bda = BdaGetContext();
  const bool open = bda != nullptr && bda->stream != nullptr;
  if (bufSize != nullptr) *bufSize = open ? bda->shm.bufSize : 0;
  if (headRoom != nullptr) {
    *headRoom = open ? DaBlockSkip(bda->shm.bufOffset) + static_cast<int>(kDaBlkHeaderSize) : 0;
  }
  return open ? 1 : 0;
}

std::uint8_t* BmAlloc(std::uint32_t wanted, std::uint32_t minimum, std::uint32_t* granted) {
  BmStream* const stream = OpenStream();
  if (stream == nullptr) {
    if (granted != nullptr) *granted = 0;
    return nullptr;
  }
  std::uint32_t room = 0;
  std::uint8_t* record = stream->writer.Alloc(wanted, minimum, &room);
  if (granted != nullptr) *granted = room;
  return record;
}

int BmWrite(std::uint32_t length) {
  BmStream* const stream = OpenStream();
  return stream != nullptr && stream->writer.Write(length) ? 1 : 0;
}

std::uint8_t* BmAllocShm(char* callerBuffer, unsigned callerId, std::uint32_t* room) {
  static const char kFn[] = "BmAllocShm";
  if (room != nullptr) *room = 0;
  BdaPtd* bda = BdaGetContext();
  BmStream* const stream = bda != nullptr ? bda->stream : nullptr;
  if (stream == nullptr) return nullptr;
  DaBlockWriter& writer = stream->writer;
  if (writer.hasBlock() && writer.offset() > kDaBlkHeaderSize) {
    if (!writer.PutBlock() || !writer.GetBlock()) return nullptr;
  }
  if (!writer.hasBlock()) return nullptr;
  const DaShmBuffers& shm = bda->shm;
  const char* base = shm.shmemBasePtr;
  if (callerBuffer == nullptr || callerBuffer < base ||
      callerBuffer - base > static_cast<std::ptrdiff_t>(shm.shmemSize) - shm.bufSize) {
    DbgPlain(kDbgUnexpected, "[%s] buffer %p lies outside the segment", kFn,
             static_cast<void*>(callerBuffer));
    return nullptr;
  }
  const int skip = DaBlockSkip(shm.bufOffset);
  const std::span<std::uint8_t> block(reinterpret_cast<std::uint8_t*>(callerBuffer + skip),
                                      static_cast<std::size_t>(shm.bufSize - skip));
  if (!writer.UseBlock(block)) return nullptr;
  bda->zeroCopy = 1;
  bda->zeroCopyBufID = callerId;
  bda->blkPtr = callerBuffer + skip;
  bda->blkSize = shm.bufSize - skip;
  if (room != nullptr) *room = writer.capacity() - kDaBlkHeaderSize;
  return block.data() + kDaBlkHeaderSize;
}

int BmGetBlock() {
  BmStream* const stream = OpenStream();
  return stream != nullptr && stream->writer.GetBlock() ? 1 : 0;
}

int BmPutBlock() {
  BmStream* const stream = OpenStream();
  return stream != nullptr && stream->writer.PutBlock() ? 1 : 0;
}

int BmFlush() {
  static const char kFn[] = "BmFlush";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "%s", "");
  const TracedExit done(TARN_HERE, kFn);
  BdaPtd* bda = BdaGetContext();
  BmStream* const stream = bda != nullptr ? bda->stream : nullptr;
  if (stream == nullptr) return done(0);
  DaBlockWriter& writer = stream->writer;
  BmSink& sink = stream->sink;
  if (writer.hasBlock()) {
    if (writer.offset() <= kDaBlkHeaderSize) {
      writer.DropBlock();
      if (sink.heldId >= 0) Unget(bda, sink.heldId);
      sink.heldId = -1;
      bda->blkPtr = nullptr;
    } else if (!writer.PutBlock()) {
      return done(0);
    }
  }
  while (QueCount(&bda->freeBufQue) < bda->shm.bufNum) {
    DbgPlain(kLevel, "Waiting for buffer ack, remaining %d",
             bda->shm.bufNum - QueCount(&bda->freeBufQue));
    if (EventLoop(BM_STATE_RUN, true) != BM_GO_ON) return done(0);
  }
  sink.flushed = true;
  return done(1);
}

int BmExit(int doNotWait) {
  static const char kFn[] = "BmExit";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "(doNotWait %d)", doNotWait);
  const TracedExit done(TARN_HERE, kFn);
  DacmnPtd* ctx = DacmnGetContext();
  BdaPtd* bda = BdaGetContext();
  if (ctx == nullptr || bda == nullptr) return done(0);
  const IpcHandle handle = ctx->maIpcHandle;
  if (handle < 0) {
    CloseMediaSide(ctx, bda);
    return done(1);
  }
  if (IpcDetachShmem(handle) != 0) ErhClearError();
  bda->shm.shmemBasePtr = nullptr;
  const BmStream* stream = bda->stream;
  const bool complete = stream != nullptr && stream->sink.flushed && !stream->writer.hasBlock();
  bool sent;
  if (complete) {
    DbgPlain(kLevel, "BmExit :  MSG_STOP send to BMA-NET");
    sent = SendBare(handle, MSG_STOP);
  } else {
    DbgPlain(kLevel, "BmExit :  stream incomplete, MSG_ABORT send to BMA-NET");
    SendBare(handle, MSG_ABORT);
    sent = false;
  }
  if (!sent) ErhClearError();
  CloseMediaSide(ctx, bda);
  if (ctx->waitForStop != 0 && doNotWait == 0 && sent) {
    return done(EventLoop(BM_STATE_DISCONN, false) == BM_STOPPED ? 1 : 0);
  }
  return done(sent ? 1 : 0);
}

void dacmn_detail::BmFreeStream(BmStream* stream) {
  delete stream;
}

int BmEventLoop(int state) {
  return EventLoop(state, false);
}

std::uint32_t* BmRecSeqNo() {
  BmStream* const stream = OpenStream();
  return stream != nullptr ? stream->writer.RecSeqNo() : nullptr;
}

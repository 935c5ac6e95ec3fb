// Request/reply transport of the cell-server client: messages, raw packets,
// results, bulk data in chunks both ways, and protocol negotiation.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/utf.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"

TARN_RCSID("cs/csa/csatransport.cpp");

// Nothing a server sends can end the process: a reply that breaks the
// protocol marks 1011 and drops the connection, which a later bind restores.
namespace {

using namespace csa_detail;

// A heap block from safe_malloc that is freed unless released.
class HeapBlock {
 public:
  HeapBlock() = default;
  ~HeapBlock() { reset(); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  char* get() const { return p_; }
  std::size_t capacity() const { return capacity_; }
  // Grows to at least `size` bytes; false when memory ran out (content kept).
  bool reserve(std::size_t size) {
    if (size <= capacity_) return true;
    const std::size_t grown = std::max(size, capacity_ * 2);
    void* q = safe_realloc(p_, grown, TARN_HERE);
    if (q == nullptr) return false;
    p_ = static_cast<char*>(q);
    capacity_ = grown;
    return true;
  }
  char* release() {
    char* p = p_;
    p_ = nullptr;
    capacity_ = 0;
    return p;
  }
  void reset() {
    if (p_ != nullptr) safe_free(p_, TARN_HERE);
    p_ = nullptr;
    capacity_ = 0;
  }

 private:
  char* p_ = nullptr;
  std::size_t capacity_ = 0;
};

// A transfer that failed on the connection: 0 means the peer closed.
void MarkTransferFailure(int result, const char* function, const char* what) {
  if (result == 0) {
    DbgPlain(kLevel, "[%s] connection closed by the peer during %s", function, what);
    ErhMark(ECSACONNECTION, 0, function, kErhMinor);
  } else {
    ErhPromoteError(ECSACONNECTION);
  }
}

void TraceMessage(const char* title) {
  if (DbgMatch(kLevelData)) StrParseMessageToDebugsL(Msg(), nullptr, kLevelData, title, "", 0);
}

}  // namespace

namespace csa_detail {

int CloseQuietly(IpcHandle handle) {
  if (handle < 0) return -1;
  const bool pending = ErhErrno() != 0;
  const int rc = IpcCloseConnection(handle);
  if (!pending && ErhErrno() != 0) ErhClearError();
  return rc;
}

void Disconnect(CsaServerSlot& slot) {
  CloseQuietly(slot.handle);
  slot.handle = kIpcNoHandle;
  slot.connected = 0;
}

int ReplyFault(CsaServerSlot& slot, const char* function, const char* what) {
  DbgPlain(kDbgUnexpected, "[%s] %s: %s; connection closed", function, slot.host, what);
  ErhMark(ECSACONNECTION, 0, function, kErhMinor);
  Disconnect(slot);
  return -1;
}

int SendMessageWithin(IpcHandle handle, StrMsg* msg, int timeout) {
  if (msg == nullptr || msg->data == nullptr) {
    ErhMark(EIPCPACKET, 0, "SendMessageWithin", kErhMinor);
    return -1;
  }
  return ipc_sendDataEx(handle, msg->data, static_cast<int>(msg->length) + 1, timeout);
}

int SendOn(IpcHandle handle, const char* function, int timeout) {
  StrMsg* msg = Msg();
  if (DbgMatch(kLevelData))
    StrParseMessageToDebugsL(msg, StrMsgGetBufL(msg), kLevelData, "send", "", 0);
  const int n = SendMessageWithin(handle, msg, timeout);
  if (n > 0) return 0;
  if (n == 0) {
    DbgPlain(kLevel, "Got 0 on send --> close");
    ErhMark(ECSACONNECTION, 0, function, kErhMinor);
  } else {
    DbgPlain(kLevel, "Got CLOSE on send");
    ErhPromoteError(ECSACONNECTION);
  }
  return -1;
}

int ReceiveOn(IpcHandle handle, const char* function, int timeout) {
  StrMsg* msg = Msg();
  const int n = IpcReceiveStrMsgExL(handle, msg, timeout);
  if (n <= 0) {
    MarkTransferFailure(n, function, "a receive");
    return -1;
  }
  const int code = StrParseStartL(msg, nullptr);
  if (code < 0) return -2;
  TraceMessage("received");
  return code;
}

void NoteSilence(CsaServerSlot& slot) {
  slot.silent = CsaServerSilent();
  if (slot.silent == 0) return;
  slot.silentSince = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
  DbgPlain(kLevel, "[%s] %s took the connection and did not answer in time", "NoteSilence",
           slot.host);
}

void GiveUp(CsaServerSlot& slot) {
  NoteSilence(slot);
  Disconnect(slot);
}

int SlotSend(CsaServerSlot& slot, const char* function) {
  if (SendOn(slot.handle, function) == 0) return 0;
  GiveUp(slot);
  return -1;
}

int SlotReceive(CsaServerSlot& slot, const char* function, int timeout) {
  const int code = ReceiveOn(slot.handle, function, timeout);
  if (code == -2) return ReplyFault(slot, function, "packet is no message");
  if (code < 0) GiveUp(slot);
  return code;
}

int SlotUnpack(CsaServerSlot& slot, const char* function) {
  const int error = ErhUnpackMsgL(Msg());
  if (error < 0) return ReplyFault(slot, function, "MSG_RESULT without a usable error state");
  return error;
}

Outcome SlotAnswer(CsaServerSlot& slot, const char* function, int timeout) {
  if (SlotSend(slot, function) != 0) return Outcome::kFailed;
  const int code = SlotReceive(slot, function, timeout);
  if (code < 0) return Outcome::kFailed;
  if (code != MSG_RESULT) {
    ReplyFault(slot, function, "MSG_RESULT expected");
    return Outcome::kFailed;
  }
  const int error = SlotUnpack(slot, function);
  if (error < 0) return Outcome::kFailed;
  return error == 0 ? Outcome::kOk : Outcome::kServerError;
}

int SlotQuery(CsaServerSlot& slot, const char* function, char** reply, int expectedId) {
  *reply = nullptr;
  if (SlotSend(slot, function) != 0) return -1;
  const int code = SlotReceive(slot, function);
  if (code < 0) return -1;
  if (code != expectedId) {
    if (code != MSG_RESULT) return ReplyFault(slot, function, "reply or MSG_RESULT expected");
    const int error = SlotUnpack(slot, function);
    if (error == 0)
      return ReplyFault(slot, function, "MSG_RESULT without error in place of the reply");
    return -1;
  }
  StrMsg* msg = Msg();
  char* copy = StrMsgDetachRBufL(msg);
  if (copy == nullptr) {
    const int size = StrMsgSizeRBufL(msg);
    if (size < 0) return ReplyFault(slot, function, "reply not terminated");
    copy = static_cast<char*>(safe_malloc(static_cast<std::size_t>(size) + 2, TARN_HERE));
    if (copy == nullptr) return ReplyFault(slot, function, "no memory for the reply");
    std::memcpy(copy, StrMsgGetRBufL(msg), static_cast<std::size_t>(size));
    copy[size] = copy[size + 1] = '\0';
  }
  const int closing = SlotReceive(slot, function);
  if (closing >= 0) ErhClearError();
  if (closing != MSG_RESULT) {
    safe_free(copy, TARN_HERE);
    return closing < 0 ? -1 : ReplyFault(slot, function, "MSG_RESULT expected after the reply");
  }
  if (SlotUnpack(slot, function) != 0) {
    safe_free(copy, TARN_HERE);
    return -1;
  }
  *reply = copy;
  return 0;
}

int SlotSendbuf(CsaServerSlot& slot, const char* function, const void* bytes, int length, int raw) {
  if (length < 0 || (length > 0 && bytes == nullptr)) {
    DbgPlain(kLevel, "[%s] no bulk data of length %d", function, length);
    ErhMark(ECSARANGE, 0, function, kErhMajor);
    return -1;
  }
  if (SlotSend(slot, function) != 0) return -1;
  const char* p = static_cast<const char*>(bytes);
  int rest = length;
  if (raw == 0 && rest >= 2 && MsgCheckLEBOM(p) != 0) {
    p += 2;
    rest -= 2;
  }
  do {
    const int chunk = std::min(rest, kCsaChunkMax);
    const int last = chunk == rest ? 1 : 0;
    if (StartMessage(function, MSG_DATA, "%d%d", last, chunk) != 0) return -1;
    if (SlotSend(slot, function) != 0) return -1;
    if (chunk > 0) {
      const int n = ipc_sendDataEx(slot.handle, p, chunk, ReplyTimeout());
      if (n <= 0) {
        MarkTransferFailure(n, function, "a bulk send");
        GiveUp(slot);
        return -1;
      }
      DbgPlain(kLevelData, "[%s] sent chunk of %d bytes (last %d)", function, chunk, last);
    }
    p += chunk;
    rest -= chunk;
  } while (rest > 0);
  const int code = SlotReceive(slot, function);
  if (code < 0) return -1;
  if (code != MSG_RESULT) return ReplyFault(slot, function, "MSG_RESULT expected after bulk data");
  return SlotUnpack(slot, function) == 0 ? 0 : -1;
}

int SlotReceivebuf(CsaServerSlot& slot, const char* function, char** buffer, int raw) {
  *buffer = nullptr;
  if (SlotSend(slot, function) != 0) return -1;
  // Spare bytes behind the data: the terminators and room to see a packet
  // that is longer than announced.
  constexpr int kSpare = 6;
  HeapBlock block;
  long long total = 0;
  for (;;) {
    const int code = SlotReceive(slot, function);
    if (code < 0) return -1;
    if (code == MSG_RESULT) break;
    if (code != MSG_DATA) return ReplyFault(slot, function, "MSG_DATA (MSG_RESULT) expected");
    long long length = 0;
    if (!ItemToNumber(StrParseNextL(Msg()), 1, kCsaChunkMax, &length)) {
      return ReplyFault(slot, function, "Bad MSG_DATA format");
    }
    if (total + length > dynBufMax)
      return ReplyFault(slot, function, "bulk data beyond the message-size limit");
    if (!block.reserve(static_cast<std::size_t>(total + length + kSpare))) {
      return ReplyFault(slot, function, "no memory for bulk data");
    }
    const int n = ipc_receiveDataEx(slot.handle, block.get() + total,
                                    static_cast<int>(length) + kSpare, ReplyTimeout());
    if (n <= 0) {
      MarkTransferFailure(n, function, "a bulk receive");
      GiveUp(slot);
      return -1;
    }
    if (n != length) return ReplyFault(slot, function, "raw packet does not match its MSG_DATA");
    DbgPlain(kLevelData, "[%s] received chunk of %d bytes", function, n);
    total += length;
  }
  if (SlotUnpack(slot, function) != 0) return -1;
  if (total == 0) {
    if (!block.reserve(1)) return ReplyFault(slot, function, "no memory for bulk data");
    block.get()[0] = '\0';
    *buffer = block.release();
    return 0;
  }
  char* data = block.get();
  // A UTF-16 text ends with a NUL unit, any text with a NUL byte.
  data[total] = '\0';
  data[total + 1] = '\0';
  if (raw != 0) {
    *buffer = block.release();
    return static_cast<int>(total);
  }
  char* text = block.release();
  int length = static_cast<int>(total);
  if (DynBufAdjustToNative(&text, &length, 0) < 0) {
    safe_free(text, TARN_HERE);
    DbgPlain(kLevel, "[%s] bulk text could not be converted to the native character set", function);
    ErhMark(ECSACONNECTION, 0, function, kErhMinor);
    return -1;
  }
  *buffer = text;
  return length;
}

int Negotiate(IpcHandle handle, const char* function, const char* peer) {
  DbgPlain(kLevel, "Starting protocol negotiation with %s.", peer);
  if (StartMessage(function, MSG_PROTOCOL, "%d%d%d%s%s%d", kCsaProtocolType, kCsaProtocolVersion,
                   kCsaModuleVersion, kTarnBuild, CmnGetProgname(), kCsaProtocolFlags) != 0 ||
      SendOn(handle, function) != 0) {
    return -1;
  }
  const int code = ReceiveOn(handle, function);
  if (code == -1) return -1;
  if (code != MSG_PROTOCOL) {
    DbgPlain(kLevel, "Expecting MSG_PROTOCOL. Msg %d recieved.", code);
    ErhMark(ECSACONNECTION, 0, function, kErhMinor);
    return -1;
  }
  const int error = ErhUnpackMsgL(Msg());
  if (error != 0) {
    DbgPlain(kLevel, "Failure. Errno after ErhUnpackMsgL() is %d", error);
    if (error < 0) ErhMark(ECSACONNECTION, 0, function, kErhMinor);
    return -1;
  }
  CsaProtocolData data{};
  if (CsaParseProtocolData(&data) != 0) {
    ErhMark(ECSACONNECTION, 0, function, kErhMinor);
    return -1;
  }
  return 0;
}

}  // namespace csa_detail

int CsaParseProtocolData(CsaProtocolData* record) {
  StrMsg* msg = Msg();
  if (record == nullptr || msg == nullptr) return -1;
  char* items[kCsaProtocolReplyDataItems] = {};
  for (char*& item : items) {
    item = StrParseNextL(msg);
    if (item == nullptr) return -1;
  }
  long long type = 0;
  long long version = 0;
  long long moduleVersion = 0;
  long long flags = 0;
  constexpr long long kIntMin = -2147483647LL - 1;
  constexpr long long kIntMax = 2147483647LL;
  if (!ItemToNumber(items[0], kIntMin, kIntMax, &type) ||
      !ItemToNumber(items[1], kIntMin, kIntMax, &version) ||
      !ItemToNumber(items[2], kIntMin, kIntMax, &moduleVersion) ||
      !ItemToNumber(items[5], kIntMin, kIntMax, &flags)) {
    return -1;
  }
  record->type = static_cast<int>(type);
  record->version = static_cast<int>(version);
  record->moduleVersion = static_cast<int>(moduleVersion);
  CopyCut(record->moduleSubversion, sizeof record->moduleSubversion, items[3]);
  CopyCut(record->sender, sizeof record->sender, items[4]);
  record->flags = static_cast<int>(flags);
  DbgPlain(kLevel,
           "Protocol data recieved from: %s\n\t\tProtocol type: %d\n\t\tProtocol version: "
           "%d\n\t\tProtocol "
           "flags: %d\n\t\tModule version: %d\n\t\tModule subversion: %s\n",
           record->sender, record->type, record->version, record->flags, record->moduleVersion,
           record->moduleSubversion);
  return 0;
}

int SendMsg(int slot) {
  static const char kFn[] = "SendMsg";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr ? SlotSend(*s, kFn) : -1;
}

int ReceiveMsg(int slot) {
  static const char kFn[] = "ReceiveMsg";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr && SlotReceive(*s, kFn) >= 0 ? 0 : -1;
}

int SendData(int slot, const void* bytes, int length) {
  static const char kFn[] = "SendData";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return -1;
  const int n = ipc_sendDataEx(s->handle, bytes, length, ReplyTimeout());
  if (n > 0) return 0;
  MarkTransferFailure(n, kFn, "a send");
  GiveUp(*s);
  return -1;
}

int ReceiveData(int slot, void* buffer, int size) {
  static const char kFn[] = "ReceiveData";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return -1;
  const int n = ipc_receiveDataEx(s->handle, buffer, size, ReplyTimeout());
  if (n > 0) return n;
  MarkTransferFailure(n, kFn, "a receive");
  GiveUp(*s);
  return -1;
}

int SarAnswer(int slot) {
  static const char kFn[] = "SarAnswer";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr && SlotAnswer(*s, kFn) == Outcome::kOk ? 0 : -1;
}

int SarQuery(int slot, char** reply, int expectedId) {
  static const char kFn[] = "SarQuery";
  if (reply == nullptr) return -1;
  *reply = nullptr;
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr ? SlotQuery(*s, kFn, reply, expectedId) : -1;
}

int SarSendbuf(int slot, const void* bytes, int length, int raw) {
  static const char kFn[] = "SarSendbuf";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr ? SlotSendbuf(*s, kFn, bytes, length, raw) : -1;
}

int SarReceivebuf(int slot, char** buffer, int raw) {
  static const char kFn[] = "SarReceivebuf";
  if (buffer == nullptr) return -1;
  *buffer = nullptr;
  CsaServerSlot* s = ReadySlot(kFn, slot);
  return s != nullptr ? SlotReceivebuf(*s, kFn, buffer, raw) : -1;
}

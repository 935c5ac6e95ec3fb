// Cell-server sessions: start, attach by key or session id, signal and
// disconnect, and the string messages on a session connection. Entries are
// indexed by the IPC handle of the session connection.
#include "csa/csasession.h"

#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"

TARN_RCSID("cs/csa/csasession.cpp");

using namespace csa_detail;

namespace {

bool TypeAccepted(int type) {
  return type >= 0 && type <= 19 && type != 9 && type != 15 && type != 18;
}

bool IsBarType(int type) {
  return type == kCsaSessionBackup || type == kCsaSessionRestore;
}

// What the server said where to find a session.
struct SessionPlace {
  int type = 0;
  int port = 0;
  std::string key;
  std::string guid;
};

// Reads a port item: 1 to 65535, else 1602.
bool ReadPort(const char* item, const char* function, int* port) {
  long long value = 0;
  if (!ItemToNumber(item, 1, 65535, &value)) {
    DbgPlain(kLevel, "[%s] no usable session port \"%.32s\"", function, item);
    ErhMark(ECSANOHOST, 0, function, kErhMinor);
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

// A key or session id from the server is kept whole or not at all.
bool FitsWhole(const char* text, std::size_t max, const char* what, const char* function) {
  if (std::strlen(text) <= max) return true;
  DbgPlain(kLevel, "[%s] %s of %zu characters is longer than %zu", function, what,
           std::strlen(text), max);
  ErhMark(ECSACONNECTION, 0, function, kErhMinor);
  return false;
}

// Sends the identity message on a new session connection.
bool SendIdentity(IpcHandle handle, const char* function) {
  const CsaContext* c = Ctx();
  if (ipc_sendDataEx(handle, c->identity, StrMsgTSize(c->identity), ReplyTimeout()) > 0)
    return true;
  ErhPromoteError(ECSACONNECTION);
  DbgPlain(kLevel, "[%s] identity could not be sent on handle %d", function, handle);
  return false;
}

// Readies a new session connection (the protocol negotiation when
// `negotiate`, then the identity) and records the session on its handle. The
// handle, or kIpcNoHandle with the connection closed.
IpcHandle Enter(IpcHandle handle, const SessionPlace& place, bool negotiate, const char* function) {
  IpcHandleGuard connection(handle, CloseQuietly);
  if (negotiate && Negotiate(handle, function, "SM") != 0) return kIpcNoHandle;
  if (!SendIdentity(handle, function)) return kIpcNoHandle;
  if (handle >= kCsaSessionHandles) {
    connection.reset();
    ErhMark(ECSARANGE, 0, function, kErhMinor);
    return kIpcNoHandle;
  }
  CsaContext* c = Ctx();
  CsaSessionEntry& e = c->sessions[handle];
  e = CsaSessionEntry{};
  e.type = place.type;
  e.port = place.port;
  StrCopy(e.key, place.key.c_str(), kCsaKeyMax);
  StrCopy(e.guid, place.guid.c_str(), kCsaGuidMax);
  e.inUse = 1;
  ++c->sessionCount;
  DbgPlain(kLevel, "[%s] session %s (%s) type %d port %d on handle %d", function, e.key, e.guid,
           e.type, e.port, handle);
  return connection.release();
}

// The checks every attaching call makes: a running client, a ready slot and
// room in the session table.
CsaServerSlot* AttachSlot(const char* function, int slot) {
  CsaServerSlot* s = ReadySlot(function, slot);
  if (s != nullptr && Ctx()->sessionCount >= kCsaMaxSessions) {
    ErhMark(ECSASESSIONS, 0, function, kErhWarning);
    return nullptr;
  }
  return s;
}

// Size of a start message, or -1 when it is not terminated. One of the
// process's message buffers is read only within its bounds; any other text is
// the caller's own message text, complete by contract.
int StartMessageSize(const char* text) {
  for (StrMsg* record : {StrMsgGetGlobal(), Msg()}) {
    const long extent = record != nullptr ? StrMsgExtentL(record, text) : -1;
    if (extent >= 0) return StrMsgTSizeN(text, static_cast<std::size_t>(extent));
  }
  return StrMsgTSize(text);
}

bool ArgumentFits(const char* text, std::size_t max, const char* function) {
  if (text != nullptr && *text != '\0' && std::strlen(text) <= max) return true;
  DbgPlain(kLevel, "[%s] key or session id empty or longer than %zu", function, max);
  ErhMark(ECSARANGE, 0, function, kErhMinor);
  return false;
}

}  // namespace

IpcHandle MCsaStartSession(int slot, int type, const char* startMsg) {
  return MCsaStartSessionEx(slot, type, startMsg, DbgGetRanges(), DbgGetPostfix(), DbgGetSelect());
}

IpcHandle MCsaStartSessionEx(int slot, int type, const char* startMsg, const char* ranges,
                             const char* postfix, const char* select) {
  static const char kFn[] = "MCsaStartSessionEx";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "slot=%d type=%d", slot, type);
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return done(-1);
  if (!TypeAccepted(type)) {
    ErhMark(ECSAARG, 0, kFn, kErhWarning);
    return done(-1);
  }
  if (Ctx()->sessionCount >= kCsaMaxSessions) {
    ErhMark(ECSASESSIONS, 0, kFn, kErhWarning);
    return done(-1);
  }
  const char* text = startMsg != nullptr ? startMsg : StrMsgGetBuf();
  StrMsg start;
  StrMsgInitL(&start);
  std::string name;
  const int size = text != nullptr ? StartMessageSize(text) : -1;
  bool usable =
      size > 0 && StrParseStartNL(&start, text, static_cast<std::size_t>(size)) == MSG_PORT_REQUEST;
  if (usable && IsBarType(type)) {
    const char* first = StrParseNextL(&start);
    const char* second = first != nullptr ? StrParseNextL(&start) : nullptr;
    usable = second != nullptr && std::strcmp(first, "-bar") == 0;
    if (usable) name = second;
  }
  StrMsgFreeL(&start);
  if (!usable) {
    ErhMark(ECSASTARTMSG, 0, kFn, kErhWarning);
    return done(-1);
  }
  // The start message may lie in the very buffer the request is built in.
  const std::string startCopy(text, static_cast<std::size_t>(size));

  SessionPlace place;
  place.type = type;
  IpcHandle handle = kIpcNoHandle;
  for (int attempt = 0;; ++attempt) {
    if (StartMessage(kFn, kCsaReqStartSession, "%d%s%s%s%s%s", type, name.c_str(), ranges, postfix,
                     select, cmnLang) != 0 ||
        SlotSendbuf(*s, kFn, startCopy.data(), static_cast<int>(startCopy.size()), 0) != 0) {
      return done(-1);
    }
    StrMsg* msg = Msg();
    const char* port = StrParseNextL(msg);
    const char* key = port != nullptr ? StrParseNextL(msg) : nullptr;
    const char* guid = key != nullptr ? StrParseNextL(msg) : nullptr;
    if (guid == nullptr)
      return done(ReplyFault(*s, kFn, "session start without port, key and session id"));
    if (!ReadPort(port, kFn, &place.port) || !FitsWhole(key, kCsaKeyMax, "key", kFn) ||
        !FitsWhole(guid, kCsaGuidMax, "session id", kFn)) {
      return done(-1);
    }
    place.key = key;
    place.guid = guid;
    handle = ConnectWithin(s->host, static_cast<unsigned>(place.port), BindTimeout());
    if (handle >= 0) break;
    if (IsBarType(type) && attempt == 0) {
      ErhClearError();
      DbgPlain(kLevel, "connect failed for bar session to port %s\n",
               std::to_string(place.port).c_str());
      continue;
    }
    ErhPromoteError(ECSANOHOST);
    return done(-1);
  }
  return done(Enter(handle, place, EnvGetBool("VEK_PROTNEG_CSA_SM") != 0, kFn));
}

namespace {

// Attaching to a running session, by key (207) or by session id (283): the
// result is followed by the session's type and port, and for 283 its key.
IpcHandle Attach(const char* function, int slot, int request, const char* name) {
  const bool byKey = request == kCsaReqConnectSession;
  DbgFcnInEx(TARN_HERE, function, kLevel, "slot=%d %s=%s", slot, byKey ? "key" : "sessionId",
             name != nullptr ? name : "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, function, kLevel, "%s is exiting with return value %d", function, rc);
    return rc;
  };
  CsaServerSlot* s = AttachSlot(function, slot);
  if (s == nullptr || !ArgumentFits(name, byKey ? kCsaKeyMax : kCsaGuidMax, function))
    return done(-1);
  if (StartMessage(function, request, "%s", name) != 0 ||
      SlotAnswer(*s, function) != Outcome::kOk) {
    return done(-1);
  }
  StrMsg* msg = Msg();
  const char* type = StrParseNextL(msg);
  const char* port = type != nullptr ? StrParseNextL(msg) : nullptr;
  const char* key = byKey ? name : port != nullptr ? StrParseNextL(msg) : nullptr;
  long long typeValue = 0;
  if (port == nullptr || key == nullptr || !ItemToNumber(type, 0, 19, &typeValue)) {
    return done(ReplyFault(*s, function, "session type, port and key expected"));
  }
  if (!byKey) DbgPlain(kLevel, "%s: Stype:%s Sport:%s Skey:%s", function, type, port, key);
  SessionPlace place;
  place.type = static_cast<int>(typeValue);
  if (!ReadPort(port, function, &place.port) || !FitsWhole(key, kCsaKeyMax, "key", function))
    return done(-1);
  place.key = key;
  if (!byKey) place.guid = name;
  const IpcHandle handle = ConnectWithin(s->host, static_cast<unsigned>(place.port), BindTimeout());
  if (handle < 0) {
    if (byKey) ErhPromoteError(ECSACONNECTION);
    return done(-1);
  }
  return done(Enter(handle, place, false, function));
}

}  // namespace

IpcHandle MCsaConnectSession(int slot, const char* key) {
  return Attach("MCsaConnectSession", slot, kCsaReqConnectSession, key);
}

IpcHandle MCsaReconnectSession(int slot, const char* sessionId) {
  return Attach("MCsaReconnectSession", slot, kCsaReqReconnectSession, sessionId);
}

int MCsaDisconnectSession(IpcHandle handle) {
  static const char kFn[] = "MCsaDisconnectSession";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "handle=%d", handle);
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  CsaContext* c = Running(kFn);
  if (c == nullptr) return done(-1);
  // A range error is marked only when nothing else is: the caller usually
  // disconnects after some other failure, which the report must name.
  if (handle < 0 || handle >= kCsaSessionHandles || c->sessions[handle].inUse == 0) {
    if (ErhErrno() == 0) ErhMark(ECSARANGE, 0, kFn, kErhMajor);
    return done(-1);
  }
  CsaSessionEntry& e = c->sessions[handle];
  if (e.signalled != 0 && c->disconnectHook != nullptr) c->disconnectHook(handle);
  const bool pending = ErhErrno() != 0;
  IpcShutdownAndCloseConnection(handle);
  if (!pending && ErhErrno() != 0) ErhClearError();
  e = CsaSessionEntry{};
  if (c->sessionCount > 0) --c->sessionCount;
  return done(0);
}

int MCsaSignalSession(int slot, IpcHandle handle, unsigned signal) {
  static const char kFn[] = "MCsaSignalSession";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return -1;
  CsaSessionEntry* e = SessionAt(kFn, handle);
  if (e == nullptr) return -1;
  if (e->inUse == 0) {
    ErhMark(ECSARANGE, 0, kFn, kErhMajor);
    return -1;
  }
  if (StartMessage(kFn, kCsaReqSignalSession, "%s%u", e->key, signal) != 0 ||
      SlotAnswer(*s, kFn) != Outcome::kOk) {
    return -1;
  }
  e->signalled = 1;
  return 0;
}

namespace {

const CsaSessionEntry* SessionInUse(const char* function, IpcHandle handle) {
  if (Running(function) == nullptr) return nullptr;
  const CsaSessionEntry* e = SessionAt(function, handle);
  if (e != nullptr && e->inUse == 0) {
    ErhMark(ECSARANGE, 0, function, kErhMajor);
    return nullptr;
  }
  return e;
}

// Promotes the error of a failed session read or write.
void PromoteSessionFailure() {
  ErhPromoteError(ErhErrno() == EIPCINTR ? ECSAINTERRUPTED : ECSACONNECTION);
}

}  // namespace

const char* MCsaGetSessionKey(IpcHandle handle) {
  const CsaSessionEntry* e = SessionInUse("MCsaGetSessionKey", handle);
  return e != nullptr ? e->key : nullptr;
}

const char* MCsaGetSessionGuid(IpcHandle handle) {
  const CsaSessionEntry* e = SessionInUse("MCsaGetSessionGuid", handle);
  return e != nullptr ? e->guid : nullptr;
}

int MCsaRead(IpcHandle handle, char** message) {
  static const char kFn[] = "MCsaRead";
  if (message == nullptr) return -1;
  *message = nullptr;
  if (Running(kFn) == nullptr || SessionAt(kFn, handle) == nullptr) return -1;
  StrMsg* msg = Msg();
  // Callers read once a message waits; the rest of it comes within the bound.
  const int n = IpcReceiveStrMsgExL(handle, msg, ReplyTimeout());
  if (n < 0) {
    PromoteSessionFailure();
    return -1;
  }
  if (n == 0) {
    ErhMark(ECSAPEERCLOSED, 0, kFn, kErhNormal);
    return -1;
  }
  DbgPlain(kLevel, "Got packet of size %d!\n", n);
  char* text = StrMsgDetachRBufL(msg);
  if (text == nullptr) {
    const std::size_t size =
        (static_cast<std::size_t>(n) + 2) * static_cast<std::size_t>(dynBufOversize);
    text = static_cast<char*>(safe_malloc(size, TARN_HERE));
    if (text == nullptr) return -1;
    std::memcpy(text, StrMsgGetRBufL(msg), static_cast<std::size_t>(n));
    text[n] = text[n + 1] = '\0';
  }
  *message = text;
  return 0;
}

int MCsaWrite(IpcHandle handle, const char* message) {
  static const char kFn[] = "MCsaWrite";
  if (Running(kFn) == nullptr || SessionAt(kFn, handle) == nullptr) return -1;
  if (message == nullptr) {
    ErhMark(ECSARANGE, 0, kFn, kErhMajor);
    return -1;
  }
  if (ipc_sendDataEx(handle, message, StrMsgTSize(message), ReplyTimeout()) < 0) {
    PromoteSessionFailure();
    return -1;
  }
  return 0;
}

int CsaComposeID(StrMsg* record) {
  static const char kFn[] = "CsaComposeID";
  const CsaContext* c = Running(kFn);
  if (c == nullptr || record == nullptr) return -1;
  return StrMsgCopyNew(c->identity, 0, record);
}

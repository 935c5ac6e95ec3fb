// Cell-server client state: start and stop of the client, its flags, the
// identity message, the checks every request makes, and the slot accessors.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csaops.h"
#include "parse/userlist.h"

TARN_RCSID("cs/csa/csactx.cpp");

int csaUseGlobalStrMsg = 0;

namespace {

// Frees what the slots hold and forgets them.
void ResetSlots(CsaContext& c) {
  for (CsaServerSlot& s : c.slots) {
    if (s.users != nullptr) UserPdeleteUserList(s.users);
    s = CsaServerSlot{};
    s.handle = kIpcNoHandle;
  }
  c.boundSlots = 0;
}

// A forked child starts without the client; the heap copies it inherited
// would be lost with the slot, so they are freed here. Connections stay
// with the IPC layer, which drops them for the child on its own.
void AtFork(void* data) {
  auto* c = static_cast<CsaContext*>(data);
  ResetSlots(*c);
  StrMsgDelete(&c->message);
}

CsaContext csaPtdProto;
const PtdDescriptor CsaPtd = {"CsaPtd", &csaPtdProto, sizeof(CsaContext),
                              nullptr,  AtFork,       nullptr};

bool exitRegistered = false;

void AtExit() {
  CsaExit();
}

}  // namespace

namespace csa_detail {

CsaContext* Ctx() {
  return static_cast<CsaContext*>(CmnCreateContextEx(&CsaPtd, CMN_SLOT_CSA));
}

CsaContext* Running(const char* function) {
  CsaContext* c = Ctx();
  if (c == nullptr || c->initialised == 0) {
    ErhMark(ECSANOTINIT, 0, function, kErhMajor);
    return nullptr;
  }
  return c;
}

StrMsg* Msg() {
  return Ctx()->message;
}

CsaServerSlot* ReadySlot(const char* function, int slot) {
  CsaContext* c = Running(function);
  if (c == nullptr) return nullptr;
  if (slot < 0 || slot >= c->boundSlots) {
    DbgPlain(kLevel, "[%s] slot %d out of range (0..%d)", function, slot, c->boundSlots - 1);
    ErhMark(ECSARANGE, 0, function, kErhMajor);
    return nullptr;
  }
  CsaServerSlot& s = c->slots[slot];
  if (s.connected == 0) {
    DbgPlain(kLevel, "[%s] slot %d (%s) is not connected%s", function, slot, s.host,
             s.silent != 0 ? " (its server did not answer)" : "");
    ErhMark(ECSACONNECTION, s.silent != 0 ? ETIMEDOUT : 0, function, kErhMinor);
    return nullptr;
  }
  return &s;
}

CsaSessionEntry* SessionAt(const char* function, IpcHandle handle) {
  CsaContext* c = Ctx();
  if (c == nullptr || handle < 0 || handle >= kCsaSessionHandles) {
    DbgPlain(kLevel, "[%s] session handle %d out of range (0..%d)", function, handle,
             kCsaSessionHandles - 1);
    ErhMark(ECSARANGE, 0, function, kErhMajor);
    return nullptr;
  }
  return &c->sessions[handle];
}

int StartMessageV(const char* function, int id, const char* signature, va_list items) {
  StrMsg* msg = Msg();
  if (StrMsgStartExL(msg, nullptr, kCsaRequestSize, id, 0) != 0 ||
      (signature != nullptr && StrMsgFAppendVAL(msg, signature, items) != 0)) {
    DbgPlain(kLevel, "[%s] message %d could not be built", function, id);
    ErhMark(ECSARANGE, 0, function, kErhMinor);
    return -1;
  }
  return 0;
}

int StartMessage(const char* function, int id, const char* signature, ...) {
  va_list items;
  va_start(items, signature);
  const int rc = StartMessageV(function, id, signature, items);
  va_end(items);
  return rc;
}

bool ItemToNumber(const char* item, long long min, long long max, long long* value) {
  if (item == nullptr || *item == '\0') return false;
  const char* end = item + std::strlen(item);
  long long parsed = 0;
  const auto [ptr, ec] = std::from_chars(item, end, parsed);
  if (ec != std::errc() || ptr != end || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

void CopyCut(char* buffer, std::size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return;
  StrCopy(buffer, text != nullptr ? text : "", size - 1);
}

std::string CanonicalHost(const char* host) {
  if (host == nullptr || *host == '\0') return "";
  const bool pending = ErhErrno() != 0;
  const char* name = CmnExpandHostname(host);
  if (name == nullptr && !pending) ErhClearError();
  return name != nullptr && *name != '\0' ? name : host;
}

namespace {

// A time-out setting of the environment (or rc file) within [1, max], or 0.
int SecondsSetting(const char* name, int max) {
  int value = 0;
  return EnvReadInt(name, &value) == 1 && value >= 1 && value <= max ? value : 0;
}

}  // namespace

int BindTimeout() {
  if (const int set = SecondsSetting("VEKCSBINDTIMEOUT", 3600); set > 0) return set;
  return glBindTimeout > 0 ? glBindTimeout : kCsaDefaultBindTimeout;
}

int ReplyTimeout() {
  const int set = SecondsSetting("VEKCSREPLYTIMEOUT", 86400);
  return set > 0 ? set : kCsaDefaultReplyTimeout;
}

}  // namespace csa_detail

using namespace csa_detail;

CsaContext* CsaGetContext() {
  return Ctx();
}

int CsaIsInitialized() {
  const CsaContext* c = Ctx();
  return c != nullptr && c->initialised != 0 ? 1 : 0;
}

int CsaServerSilent() {
  const int code = ErhErrno();
  return (code == ECSAPORT || code == ECSACONNECTION) && ErhSysErrno() == ETIMEDOUT ? 1 : 0;
}

int CsaEmbedded() {
  const CsaContext* c = Ctx();
  return c != nullptr ? c->embedded : 0;
}

void CsaSetEmbedded(int flag) {
  if (CsaContext* c = Ctx()) c->embedded = flag;
}

void CsaSetDisconnectHook(CsaDisconnectHook hook) {
  if (CsaContext* c = Ctx()) c->disconnectHook = hook;
}

CsaSessionEntry* CsaSessions() {
  CsaContext* c = Ctx();
  return c != nullptr ? c->sessions : nullptr;
}

int MCsaInit(const char* cellHost) {
  static const char kFn[] = "MCsaInit";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "cellHost=%s", cellHost != nullptr ? cellHost : "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  // A start that fails stops the IPC layer again only when it started it.
  auto fail = [&] {
    CsaExitEx(kCsaStartedIpc);
    return done(-1);
  };
  CsaContext* c = Ctx();
  if (c == nullptr) {
    ErhMark(ECSANOTINIT, 0, kFn, kErhMajor);
    return done(-1);
  }
  if (c->initialised != 0) {
    ErhMark(ECSAINITIALIZED, 0, kFn, kErhMinor);
    return done(-1);
  }
  ResetSlots(*c);
  c->initialised = 1;
  c->message = csaUseGlobalStrMsg != 0 ? StrMsgGetGlobal() : StrMsgNew();
  if (c->message == nullptr) return fail();
  if (IpcIsInitialized() == 0) {
    if (IpcInit() != 0) {
      ErhPromoteError(ECSACONNECTION);
      return fail();
    }
    c->flags |= kCsaStartedIpc;
  }
  MakeShortVersionString(sizeof c->shortVersion, c->shortVersion);

  const std::string host = CanonicalHost(cellHost);
  if (host.empty() || host.size() > kCsaHostMax) {
    DbgPlain(kLevel, "[%s] no usable cell-server host \"%.64s\"", kFn, host.c_str());
    ErhMark(ECSANOHOST, 0, kFn, kErhMinor);
    return fail();
  }
  // The progname goes into the login message, so the identity must exist first.
  if (MCsaSetProgname(CmnGetProgname()) != 0 || MCsaBindServerEx(host.c_str(), nullptr) < 0 ||
      (c->embedded == 0 && HandleGlobals() != 0)) {
    return fail();
  }
  DbgPlain(kLevel, "MSG_ID [%s] [%s]  created\n", CmnGetProgname(), c->shortVersion);
  if (!exitRegistered) {
    exitRegistered = true;
    CmnSetAtAxit(AtExit);
  }
  return done(0);
}

void CsaExitEx(int flags) {
  static const char kFn[] = "CsaExitEx";
  CsaContext* c = Ctx();
  if (c == nullptr || c->initialised == 0) return;
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "flags=%d", flags);
  c->initialised = 0;
  const bool stopIpc =
      (flags & kCsaStartedIpc) != 0 ? (c->flags & kCsaStartedIpc) != 0 : c->embedded == 0;
  if (IpcIsInitialized() != 0 && stopIpc) {
    IpcExit();
    for (CsaSessionEntry& e : c->sessions) e = CsaSessionEntry{};
    c->sessionCount = 0;
  } else {
    // The IPC layer stays with its owner: only the slots' connections are ours.
    for (int i = 0; i < c->boundSlots; ++i) {
      if (c->slots[i].connected != 0) Disconnect(c->slots[i]);
    }
  }
  ResetSlots(*c);
  c->flags &= ~kCsaStartedIpc;
  StrMsgDelete(&c->message);
  DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, 0);
}

void CsaExit() {
  CsaExitEx(0);
}

int MCsaSetProgname(const char* name) {
  static const char kFn[] = "MCsaSetProgname";
  CsaContext* c = Running(kFn);
  if (c == nullptr) return -1;
  StrMsg record;
  StrMsgInitL(&record);
  const int rc = StrMsgMakeL(&record, c->identity, sizeof c->identity, MSG_LOGIN,
                             name != nullptr ? name : "", c->shortVersion, nullptr);
  if (rc != 0) {
    c->identity[0] = '\0';
    ErhMark(ECSARANGE, 0, kFn, kErhMinor);
    return -1;
  }
  return 0;
}

void MCsaUnbindServer(int slot, int flag) {
  CsaContext* c = Ctx();
  if (flag == 0 || c == nullptr || c->initialised == 0 || slot < 0 || slot >= c->boundSlots) return;
  if (c->slots[slot].connected != 0) Disconnect(c->slots[slot]);
}

void MCsaUnbindAllServers(int all) {
  CsaContext* c = Ctx();
  if (c == nullptr || c->initialised == 0) return;
  for (int i = all != 0 ? 0 : 1; i < c->boundSlots; ++i) MCsaUnbindServer(i, 1);
}

namespace {

// Slot of a running client within the bound slots, connected or not.
CsaServerSlot* BoundSlot(const char* function, int slot) {
  CsaContext* c = Running(function);
  if (c == nullptr) return nullptr;
  if (slot < 0 || slot >= c->boundSlots) {
    ErhMark(ECSARANGE, 0, function, kErhMajor);
    return nullptr;
  }
  return &c->slots[slot];
}

}  // namespace

int MCsaGetAcl(int slot, std::uint32_t* rights) {
  const CsaServerSlot* s = BoundSlot("MCsaGetAcl", slot);
  if (s == nullptr) return -1;
  if (rights != nullptr) *rights = s->acl;
  return 0;
}

int MCsaGetInstFlags(int slot, int* flags) {
  const CsaServerSlot* s = BoundSlot("MCsaGetInstFlags", slot);
  if (s == nullptr) return -1;
  if (flags != nullptr) *flags = s->instFlags;
  return 0;
}

int CsaIsMessage(IpcHandle handle) {
  static const char kFn[] = "CsaIsMessage";
  if (Running(kFn) == nullptr) return -1;
  const int rc = IpcWaitForIpcEventOnHandle(handle, 0);
  DbgPlain(kLevel, "CsaIsMessage for handle <%d> return <%d>!\n", handle, rc);
  return rc;
}

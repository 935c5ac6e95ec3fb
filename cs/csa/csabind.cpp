// Binding of the cell-server client: the port lookup at a server's inet
// service, the connect to its request port, optional protocol negotiation,
// login into a server slot, and the cell's global options.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/nls.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/user.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "parse/userlist.h"

TARN_RCSID("cs/csa/csabind.cpp");

using namespace csa_detail;

namespace {

using Clock = std::chrono::steady_clock;

// Whole seconds left until `deadline`, at least 1.
int SecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count();
  return left < 1 ? 1 : static_cast<int>(left);
}

std::vector<in_addr_t> Addresses(const hostent* entry) {
  std::vector<in_addr_t> out;
  if (entry == nullptr || entry->h_length != sizeof(in_addr_t)) return out;
  for (char** p = entry->h_addr_list; p != nullptr && *p != nullptr; ++p) {
    in_addr_t address;
    std::memcpy(&address, *p, sizeof address);
    out.push_back(address);
  }
  return out;
}

// One non-blocking connect on a fresh socket, waited for until `deadline`.
// The connected descriptor (blocking again), or -1 with errno set.
int ConnectOne(in_addr_t address, unsigned port, Clock::time_point deadline, const char* function) {
  cmn::UniqueFd socket(IpcNewSocket(function));
  if (!socket) return -1;
  const int fd = socket.get();
  const int modes = fcntl(fd, F_GETFL);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = address;
  int failure = 0;
  if (modes < 0 || fcntl(fd, F_SETFL, modes | O_NONBLOCK) != 0) {
    failure = errno;
  } else if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    failure = errno;
    if (failure == EINPROGRESS || failure == EINTR) {
      failure = 0;
      for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
          failure = ETIMEDOUT;
          break;
        }
        pollfd wait{fd, POLLOUT, 0};
        const int n = IpcSelectM(&wait, 1, static_cast<int>(left), function, __LINE__);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          failure = errno;
        } else if (n == 0) {
          failure = ETIMEDOUT;
        } else {
          socklen_t size = sizeof failure;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
        }
        break;
      }
    }
  }
  if (failure == 0 && fcntl(fd, F_SETFL, modes) != 0) failure = errno;
  if (failure != 0) {
    errno = failure;
    return -1;
  }
  return socket.release();
}

enum class PortExchange { kReplied, kNoConnection, kFailed };

// Sends the port request built in Msg() to the inet service of `host` and
// receives the reply into Msg(), on a connection of its own that is closed
// again before this returns. On kFailed ECSAPORT is marked when the peer
// closed.
PortExchange AskInetService(const char* host, int inetPort, const char* function) {
  // The whole exchange is bounded: an inet service that hangs must not hang
  // the process, and SIGALRM belongs to a host process.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(BindTimeout());
  const IpcHandleGuard connection(
      ConnectWithin(host, static_cast<unsigned>(inetPort), BindTimeout()), CloseQuietly);
  if (!connection) return PortExchange::kNoConnection;
  StrMsg* msg = Msg();
  const int sent = SendMessageWithin(connection.get(), msg, SecondsLeft(deadline));
  const int received =
      sent > 0 ? IpcReceiveStrMsgExL(connection.get(), msg, SecondsLeft(deadline)) : -1;
  if (sent <= 0 || received <= 0) {
    if (sent == 0 || received == 0) ErhMark(ECSAPORT, 0, function, kErhMinor);
    return PortExchange::kFailed;
  }
  return PortExchange::kReplied;
}

// Reads the six items behind the login result into the slot. A missing access
// rights item, or a number that does not read, is a broken reply; missing
// later items default to 0 or empty.
int ReadLoginItems(CsaServerSlot& slot, const char* function) {
  StrMsg* msg = Msg();
  long long rights = 0;
  const char* item = StrParseNextL(msg);
  if (item == nullptr) return ReplyFault(slot, function, "login reply without access rights");
  if (!ItemToNumber(item, 0, UINT32_MAX, &rights))
    return ReplyFault(slot, function, "access rights not a number");
  // Item 2, item 3, item 4, installation flags, item 6.
  const char* rest[5] = {};
  for (const char*& next : rest) {
    if ((next = StrParseNextL(msg)) == nullptr) break;
  }
  long long item2 = 0;
  long long flags = 0;
  if ((rest[0] != nullptr && !ItemToNumber(rest[0], INT32_MIN, INT32_MAX, &item2)) ||
      (rest[3] != nullptr && !ItemToNumber(rest[3], INT32_MIN, INT32_MAX, &flags))) {
    return ReplyFault(slot, function, "login item not a number");
  }
  slot.acl = static_cast<std::uint32_t>(rights);
  slot.loginItem2 = static_cast<int>(item2);
  const char* blank = rest[1] != nullptr ? std::strrchr(rest[1], ' ') : nullptr;
  CopyCut(slot.loginItem3, sizeof slot.loginItem3, blank != nullptr ? blank : rest[1]);
  CopyCut(slot.loginItem4, sizeof slot.loginItem4, rest[2]);
  slot.instFlags = static_cast<int>(flags);
  CopyCut(slot.loginItem6, sizeof slot.loginItem6, rest[4]);
  return 0;
}

}  // namespace

namespace csa_detail {

IpcHandle ConnectWithin(const char* host, unsigned port, int timeout) {
  static const char kFn[] = "ConnectWithin";
  ErhSetErrorInfo(host != nullptr ? host : "");
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout > 0 ? timeout : 1);
  const int local = IpcIPIsLocal(host);
  const hostent* entry = nullptr;
  if (local == 1) {
    entry = IpcGetHostByName("127.0.0.1");
  } else if (local != -1) {
    if (local != 0) ErhClearError();
    entry = IpcGetHostByName(host);
  }
  const std::vector<in_addr_t> addresses = Addresses(entry);
  if (addresses.empty()) {
    ErhPromoteError(EIPCRESOLVE);
    return kIpcNoHandle;
  }
  int failure = 0;
  for (const in_addr_t address : addresses) {
    cmn::UniqueFd fd(ConnectOne(address, port, deadline, kFn));
    if (fd) {
      const IpcHandle handle = IpcAttachConnection(fd.get(), fd.get());
      if (handle >= 0) fd.release();
      return handle;
    }
    failure = errno;
    DbgPlain(kLevel, "[%s] connect to %s port %u failed (errno=%d)", kFn, host, port, failure);
    if (failure == ETIMEDOUT) break;
  }
  ErhMark(EIPCCONNECT, failure, kFn, kErhMinor);
  return kIpcNoHandle;
}

}  // namespace csa_detail

int GetCSport(const char* host) {
  static const char kFn[] = "GetCSport";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "host=%s", host != nullptr ? host : "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  if (Running(kFn) == nullptr) return done(-1);
  const int inetPort = CmnGetInetPort();
  if (StartMessage(kFn, MSG_PORT_REQUEST, "%s%d%s%s%s%d", cmnHostname, 0, cmnEun, cmnEgn, cmnLang,
                   15) != 0) {
    return done(-1);
  }
  switch (AskInetService(host, inetPort, kFn)) {
    case PortExchange::kNoConnection: ErhPromoteError(ECSANOHOST); return done(-1);
    case PortExchange::kFailed: ErhPromoteError(ECSAPORT); return done(-1);
    case PortExchange::kReplied: break;
  }
  StrMsg* msg = Msg();
  const int code = StrParseStartL(msg, nullptr);
  if (code != MSG_PORT_REPLY) {
    DbgPlain(kLevel, "[%s] port reply expected, message %d received", kFn, code);
    ErhMark(ECSAPORT, 0, kFn, kErhMinor);
    return done(-1);
  }
  const char* portItem = StrParseNextL(msg);
  if (portItem == nullptr) {
    ErhMark(ECSAPORT, 0, kFn, kErhMinor);
    return done(-1);
  }
  if (StrParseNextL(msg) == nullptr) {
    ErhMark(ECSAPORTREPLY, 0, kFn, kErhMinor);
    return done(-1);
  }
  long long port = 0;
  if (!ItemToNumber(portItem, 1, 65535, &port)) {
    DbgPlain(kLevel, "[%s] no usable port \"%.32s\" from %s", kFn, portItem, host);
    ErhMark(ECSAPORT, 0, kFn, kErhMinor);
    return done(-1);
  }
  return done(static_cast<int>(port));
}

int MCsaBindServerEx(const char* host, int* reused) {
  static const char kFn[] = "MCsaBindServerEx";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "host=%s", host != nullptr ? host : "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  if (reused != nullptr) *reused = 0;
  CsaContext* c = Running(kFn);
  if (c == nullptr) return done(-1);
  const std::string name = CanonicalHost(host);
  if (name.empty() || name.size() > kCsaHostMax) {
    DbgPlain(kLevel, "[%s] no usable host name \"%.64s\"", kFn, name.c_str());
    ErhMark(ECSANOHOST, 0, kFn, kErhMinor);
    return done(-1);
  }
  const char* expanded = name.c_str();

  int index = -1;
  for (int i = 0; i < c->boundSlots; ++i) {
    if (StrICmpA(c->slots[i].host, expanded) != 0) continue;
    if (c->slots[i].connected != 0) {
      DbgPlain(kLevel, "BIND reused %s[%d]\n", expanded, i);
      if (reused != nullptr) *reused = 1;
      return done(i);
    }
    if (index < 0) index = i;
  }
  if (index >= 0) {
    DbgPlain(kLevel, "BIND reconnect %s[%d]\n", expanded, index);
  } else {
    if (c->boundSlots >= kCsaMaxServers) {
      DbgPlain(kLevel, "[%s] all %d server slots are taken", kFn, kCsaMaxServers);
      ErhMark(ECSARANGE, 0, kFn, kErhMinor);
      return done(-1);
    }
    index = c->boundSlots;
    CsaServerSlot& fresh = c->slots[index];
    if (fresh.users != nullptr) UserPdeleteUserList(fresh.users);
    fresh = CsaServerSlot{};
    fresh.handle = kIpcNoHandle;
    StrCopy(fresh.host, expanded, kCsaHostMax);
    DbgPlain(kLevel, "BIND newserver %s[%d]\n", expanded, index);
  }
  CsaServerSlot& slot = c->slots[index];

  // Its server took the last exchange and never answered: binding it again
  // at once would only wait out the bounds again.
  if (slot.silent != 0) {
    const auto since = std::chrono::milliseconds(slot.silentSince);
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
    if (now - since < std::chrono::seconds(ReplyTimeout())) {
      DbgPlain(kLevel, "[%s] %s did not answer %lld s ago; not bound again yet", kFn, slot.host,
               static_cast<long long>((now - since).count() / 1000));
      ErhMark(ECSACONNECTION, ETIMEDOUT, kFn, kErhMinor);
      return done(-1);
    }
  }
  const int port = GetCSport(slot.host);
  if (port < 0) {
    NoteSilence(slot);
    return done(-1);
  }
  slot.port = port;
  slot.handle = ConnectWithin(slot.host, static_cast<unsigned>(port), BindTimeout());
  if (slot.handle < 0) {
    ErhPromoteError(ECSACONNECT);
    return done(-1);
  }
  if (EnvGetBool("VEK_PROTNEG_CSA_CRS") != 0 && Negotiate(slot.handle, kFn, "CRS") != 0) {
    GiveUp(slot);
    return done(-1);
  }
  if (StartMessage(kFn, MSG_LOGIN, "%s%s%s%s%d%s", CmnGetProgname(), c->shortVersion, cmnEun,
                   cmnEgn, std::abs(static_cast<int>(getpid())), cmnNodename) != 0 ||
      SlotAnswer(slot, kFn) != Outcome::kOk) {
    GiveUp(slot);
    return done(-1);
  }
  if (ReadLoginItems(slot, kFn) != 0) return done(-1);
  slot.connected = 1;
  slot.silent = 0;
  if (index == c->boundSlots) ++c->boundSlots;
  if (c->embedded != 0 && IpcSetEntryFlag(slot.handle, IPC_FLAG_NOWAIT) != 0) ErhClearError();
  return done(index);
}

int HandleGlobals() {
  static const char kFn[] = "HandleGlobals";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "%s", "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "%s is exiting with return value %d", kFn, rc);
    return rc;
  };
  CsaServerSlot* slot = ReadySlot(kFn, 0);
  char* reply = nullptr;
  if (slot == nullptr || StartMessage(kFn, MSG_GLOBALS, nullptr) != 0 ||
      SlotQuery(*slot, kFn, &reply, MSG_GLOBALS_REPLY) != 0) {
    return done(-1);
  }
  // The reply is a received message and ends in two NULs (SarQuery).
  if (DbgMatch(kLevel)) {
    StrMsg pairs;
    StrMsgInitL(&pairs);
    if (StrParseStartL(&pairs, reply) == MSG_GLOBALS_REPLY) {
      for (;;) {
        const char* name = StrParseNextL(&pairs);
        const char* value = name != nullptr ? StrParseNextL(&pairs) : nullptr;
        if (value == nullptr) break;
        DbgPlain(kLevel, "name=%s\nvalue=%s\n\n", name, value);
      }
    }
    StrMsgFreeL(&pairs);
  }
  GlobalDispatch(reply);
  safe_free(reply, TARN_HERE);
  return done(0);
}

int MCsaReInitGlobals() {
  const CsaContext* c = Ctx();
  if (c == nullptr || c->initialised == 0 || c->embedded != 0) return 0;
  return HandleGlobals();
}

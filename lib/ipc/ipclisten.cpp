// Listen socket of the IPC layer and its port range, taken per program from
// VEKPORTRANGESPEC or for every program from VEKPORTRANGE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/sysio.h"
#include "ipc/ipc.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipclisten.cpp");

using namespace ipc_detail;

namespace {

constexpr int kBacklog = 32;
constexpr long kMaxPort = 65535;

// "start-end" with both ends valid ports; trailing text is ignored.
bool ParseRange(const std::string& text, int* start, int* end) {
  const char* p = text.c_str();
  char* after = nullptr;
  errno = 0;
  const long first = std::strtol(p, &after, 10);
  if (after == p || *after != '-' || errno == ERANGE) return false;
  const char* q = after + 1;
  const long second = std::strtol(q, &after, 10);
  if (after == q || errno == ERANGE) return false;
  if (first < 1 || first > kMaxPort || second < 1 || second > kMaxPort) return false;
  *start = static_cast<int>(first);
  *end = static_cast<int>(second);
  return true;
}

}  // namespace

void GetRealProgname(char* buffer) {
  if (buffer != nullptr) StrCopy(buffer, CmnGetProgname(), kIpcHostNameSize - 1);
}

int IpcGetPortRange(int* start, int* end) {
  static const char kFn[] = "IpcGetPortRange";
  char progname[kIpcHostNameSize];
  GetRealProgname(progname);
  const std::string_view program(progname);
  int result = 0;
  int first = 0;
  int last = 0;
  bool exactMatched = false;

  const char* spec = std::getenv("VEKPORTRANGESPEC");
  std::string text = spec != nullptr ? spec : "";
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t cut = text.find_first_of(";,", pos);
    if (cut == std::string::npos) cut = text.size();
    std::string token = text.substr(pos, cut - pos);
    pos = cut + 1;
    const std::size_t lead = token.find_first_not_of(" \t");
    if (lead == std::string::npos) continue;
    token.erase(0, lead);
    const std::size_t colon = token.find(':');
    if (colon == std::string::npos || colon == 0) {
      DbgPlain(kLevel, "[%s] Error parsing \"%s\"", kFn, token.c_str());
      continue;
    }
    const std::string name = token.substr(0, colon);
    const std::string range = token.substr(colon + 1);
    bool applies;
    if (name[0] == 'x') {
      applies =
          !exactMatched && program.find(std::string_view(name).substr(1)) != std::string_view::npos;
    } else {
      applies = program == name;
      if (applies) exactMatched = true;
    }
    if (!applies) continue;
    int a = 0;
    int b = 0;
    if (!ParseRange(range, &a, &b)) {
      DbgPlain(kLevel, "[%s] Error parsing \"%s\"", kFn, range.c_str());
      if (result != 1) result = -1;
      continue;
    }
    if (b < a) DbgPlain(kLevel, "[%s] end should be bigger than start: \"%s\"", kFn, range.c_str());
    first = a;
    last = b;
    result = 1;
  }

  if (result != 1) {
    const char* common = std::getenv("VEKPORTRANGE");
    if (common != nullptr) {
      int a = 0;
      int b = 0;
      if (!ParseRange(common, &a, &b)) {
        DbgPlain(kLevel, "[%s] Error parsing \"%s\"", kFn, common);
        result = -1;
      } else if (b < a) {
        DbgPlain(kLevel, "[%s] end should be bigger than start: \"%s\"", kFn, common);
        result = -1;
      } else {
        first = a;
        last = b;
        result = 1;
      }
    }
  }
  if (result == 1) {
    if (start != nullptr) *start = first;
    if (end != nullptr) *end = last;
    DbgPlain(kLevel, "[%s] Port range: %d-%d\n", kFn, first, last);
  }
  return result;
}

int IpcNewSocket(const char* caller) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    const int err = errno;
    DbgPlain(kDbgUnexpected, "[%s] socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) failed (errno=%d)",
             caller, err);
    ErhMark(EIPCSOCKET, err, caller, kErhMinor);
    return -1;
  }
  return fd;
}

int IpcAcceptConnections(unsigned port) {
  static const char kFn[] = "IpcAcceptConnections";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "port=%u", port);
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
    return rc;
  };
  if (instance->listenPort != kIpcNoPort) {
    ErhMark(EIPCLISTENING, 0, kFn, kErhMinor);
    return done(-1);
  }
  if (port > static_cast<unsigned>(kMaxPort)) {
    ErhMark(EIPCBIND, EINVAL, kFn, kErhMinor);
    return done(-1);
  }
  bool ranged = false;
  int current = static_cast<int>(port);
  int first = current;
  int last = current;
  if (port != 0) {
    DbgPlain(kLevel, "[%s] Fixed port (%d) overrides environment settings...", kFn, current);
  } else if (IpcGetPortRange(&first, &last) == 1) {
    ranged = true;
    current = first;
  }
  for (;;) {
    cmn::UniqueFd listener(IpcNewSocket(kFn));
    if (!listener) return done(-1);
    const int fd = listener.get();
    if (!ranged) {
      int on = 1;
      if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        const int err = errno;
        DbgPlain(kDbgUnexpected,
                 "[%s] setsockopt(%d, SOL_SOCKET, SO_REUSEADDR, &(value=1)) failed (errno=%d)", kFn,
                 fd, err);
        ErhMark(EIPCSETSOCKOPT, err, kFn, kErhMinor);
        return done(-1);
      }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(current));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      const int err = errno;
      listener.reset();
      if (ranged && err == EADDRINUSE) {
        DbgPlain(kLevel, "[%s] Cannot bind port %d: already in use!", kFn, current);
        if (current >= last) {
          DbgPlain(kDbgUnexpected, "[%s] all ports in port range %d-%d are occupied!!", kFn, first,
                   last);
          ErhMark(EIPCPORTRANGE, err, kFn, kErhMinor);
          return done(-1);
        }
        ++current;
        continue;
      }
      DbgPlain(kDbgUnexpected, "[%s] bind(%d, &(.sin_port=%d)) failed (errno=%d)", kFn,
               listener.get(), current, err);
      ErhMark(EIPCBIND, err, kFn, kErhMinor);
      instance->listenPort = kIpcNoPort;
      return done(-1);
    }
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ErhMark(EIPCGETSOCKNAME, errno, kFn, kErhMinor);
      return done(-1);
    }
    if (listen(fd, kBacklog) != 0) {
      const int err = errno;
      DbgPlain(kDbgUnexpected, "[%s] listen(%d, %d)) failed (errno=%d)", kFn, fd, kBacklog, err);
      ErhMark(EIPCLISTEN, err, kFn, kErhMinor);
      return done(-1);
    }
    instance->listenSocket = listener.release();
    instance->listenPort = ntohs(address.sin_port);
    DbgPlain(kLevel, "%s: listening on %d", kFn, static_cast<int>(instance->listenPort));
    return done(0);
  }
}

int IpcCancelAccept() {
  static const char kFn[] = "IpcCancelAccept";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  if (instance->listenSocket < 0) {
    ErhMark(EIPCLISTENING, 0, kFn, kErhMinor);
    return -1;
  }
  CloseFd(instance->listenSocket);
  instance->listenPort = kIpcNoPort;
  return 0;
}

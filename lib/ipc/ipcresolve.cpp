// Host names for the IPC layer: resolution with retries and the TARN_HOSTS
// override, and whether a host is this machine or two names are one host.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "ipc/ipc.h"
#include "ipc/ipchooks.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcresolve.cpp");

using namespace ipc_detail;

namespace {

constexpr int kDefaultDnsTries = 30;
constexpr double kSlowLookupSeconds = 0.5;
constexpr int kErrNotAvailable = 1001;

// Resolver error numbers of the classic resolver interface.
enum ResolverError : int {
  kHostNotFound = 1,
  kTryAgain = 2,
  kNoRecovery = 3,
  kNoData = 4,
};

// A host entry with storage of its own; the pointers of `entry` point into it.
class HostStore {
 public:
  HostStore() = default;
  HostStore(const HostStore&) = delete;
  HostStore& operator=(const HostStore&) = delete;

  hostent* Fill(hostent* entry, const char* name, const std::vector<in_addr_t>& addresses) {
    StrCopy(name_, name != nullptr ? name : "", sizeof name_ - 1);
    addresses_ = addresses;
    pointers_.clear();
    for (in_addr_t& address : addresses_) pointers_.push_back(reinterpret_cast<char*>(&address));
    pointers_.push_back(nullptr);
    aliases_[0] = nullptr;
    entry->h_name = name_;
    entry->h_aliases = aliases_;
    entry->h_addrtype = AF_INET;
    entry->h_length = sizeof(in_addr_t);
    entry->h_addr_list = pointers_.data();
    return entry;
  }

 private:
  char name_[kIpcHostNameSize] = {};
  std::vector<in_addr_t> addresses_;
  std::vector<char*> pointers_;
  char* aliases_[1] = {nullptr};
};

HostStore tarnHostStore;
HostStore resolvedStore;
hostent resolvedHost;

int SystemResolver(const char* name, std::string* official, std::vector<in_addr_t>* addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  const int rc = getaddrinfo(name, nullptr, &hints, &result);
  if (rc != 0) {
    switch (rc) {
      case EAI_AGAIN: return kTryAgain;
      case EAI_NONAME: return kHostNotFound;
#ifdef EAI_NODATA
      case EAI_NODATA: return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY: return kNoData;
#endif
      default: return kNoRecovery;
    }
  }
  official->assign(result->ai_canonname != nullptr ? result->ai_canonname : name);
  addresses->clear();
  for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    const in_addr_t address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses->begin(), addresses->end(), address) == addresses->end()) {
      addresses->push_back(address);
    }
  }
  freeaddrinfo(result);
  return addresses->empty() ? kNoData : 0;
}

IpcResolverFn resolverFunction = SystemResolver;

bool ShareAddress(const std::vector<in_addr_t>& a, const std::vector<in_addr_t>& b) {
  return std::any_of(a.begin(), a.end(),
                     [&](in_addr_t x) { return std::find(b.begin(), b.end(), x) != b.end(); });
}

// Marks EIPCRESOLVE with the resolver's error, unless an error is pending.
void MarkResolveFailure(int error, const char* caller) {
  const bool free = ErhErrno() == 0;
  ErhMark(EIPCRESOLVE, error, caller, kErhMinor);
  if (free) ErhSetSysErrorStr(Ipc_h_errno_to_text(error));
}

// The last name asked as one argument of IpcIPIsEqual, and its answer.
struct EqualCache {
  char name[kIpcHostNameSize] = {};
  bool valid = false;
  bool failed = false;
  std::vector<in_addr_t> addresses;
};

EqualCache equalCache[2];

// Addresses of `name` through the kept answer of argument `which`; false when
// the name does not resolve.
bool CachedAddresses(int which, const char* name, std::vector<in_addr_t>* out) {
  EqualCache& cache = equalCache[which];
  if (!cache.valid || std::strncmp(cache.name, name, sizeof cache.name - 1) != 0) {
    StrCopy(cache.name, name, sizeof cache.name - 1);
    const hostent* entry = IpcGetHostByName(name);
    cache.valid = true;
    cache.failed = entry == nullptr;
    cache.addresses = HostAddresses(entry);
  }
  *out = cache.addresses;
  return !cache.failed;
}

}  // namespace

hostent TarnHost;

std::vector<in_addr_t> ipc_detail::OwnAddresses() {
  char own[kIpcHostNameSize] = {};
  if (gethostname(own, sizeof own - 1) != 0) own[0] = '\0';
  return HostAddresses(IpcGetHostByName(own));
}

std::vector<in_addr_t> ipc_detail::HostAddresses(const hostent* entry) {
  std::vector<in_addr_t> out;
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr_t)) {
    return out;
  }
  for (char** p = entry->h_addr_list; p != nullptr && *p != nullptr; ++p) {
    in_addr_t address;
    std::memcpy(&address, *p, sizeof address);
    out.push_back(address);
  }
  return out;
}

IpcResolverFn IpcSetResolverFunction(IpcResolverFn resolver) {
  const IpcResolverFn previous = resolverFunction;
  resolverFunction = resolver != nullptr ? resolver : SystemResolver;
  equalCache[0] = EqualCache();
  equalCache[1] = EqualCache();
  return previous;
}

const char* Ipc_h_errno_to_text(int error) {
  switch (error) {
    case kHostNotFound: return "HOST_NOT_FOUND";
    case kTryAgain: return "TRY_AGAIN";
    case kNoRecovery: return "NO_RECOVERY";
    case kNoData: return "NO_DATA";
    default: return "#UNKNOWN DNS ERROR#";
  }
}

double ipc_ftime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec / 1000000) / 1000.0;
}

const hostent* ipc_gethostbyname(const char* name) {
  const double start = ipc_ftime();
  std::string official;
  std::vector<in_addr_t> addresses;
  const int error = resolverFunction(name, &official, &addresses);
  const double took = ipc_ftime() - start;
  if (took > kSlowLookupSeconds) {
    DbgPlain(kDbgUnexpected, "gethostbyname(%s) Network performance warning: took %f sec", name,
             took);
  }
  if (error != 0) {
    h_errno = error;
    return nullptr;
  }
  return resolvedStore.Fill(&resolvedHost, official.c_str(), addresses);
}

int IpcGetHostFromEnv(const char* name) {
  static const char kFn[] = "IpcGetHostFromEnv";
  const char* value = std::getenv("TARN_HOSTS");
  if (value == nullptr || name == nullptr || name[0] == '\0') return 0;
  std::string text;
  for (const char* p = value; *p != '\0'; ++p) {
    if (std::isspace(static_cast<unsigned char>(*p)) == 0) text.push_back(*p);
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t colon = text.find(':', pos);
    if (colon == std::string::npos) break;
    const std::size_t next = text.find(':', colon + 1);
    const std::string host = text.substr(pos, colon - pos);
    const std::string ip =
        text.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    if (host == name) {
      in_addr address{};
      if (inet_pton(AF_INET, ip.c_str(), &address) == 1) {
        tarnHostStore.Fill(&TarnHost, name, {address.s_addr});
        DbgPlain(kLevel, "[%s] overriding host %s with environment variable TARN_HOSTS: %s\n", kFn,
                 name, ip.c_str());
        return 1;
      }
      DbgPlain(kDbgUnexpected, "[%s] invalid address \"%s\" for host %s in TARN_HOSTS, ignored",
               kFn, ip.c_str(), name);
    }
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  return 0;
}

const hostent* IpcGetHostByName(const char* name, int /*ignored*/) {
  static const char kFn[] = "IpcGetHostByName";
  int tries = kDefaultDnsTries;
  EnvReadInt("VEK_DNSTIMEOUT", &tries);
  // Without a bound a resolver that keeps answering TRY_AGAIN would hang us.
  if (tries < 1) tries = 1;
  if (IpcGetHostFromEnv(name) == 1) return &TarnHost;
  if (name == nullptr || name[0] == '\0') {
    MarkResolveFailure(kHostNotFound, kFn);
    return nullptr;
  }
  // A dotted address needs no name service.
  in_addr numeric{};
  if (inet_pton(AF_INET, name, &numeric) == 1) {
    return resolvedStore.Fill(&resolvedHost, name, {numeric.s_addr});
  }
  int error = 0;
  for (;;) {
    const hostent* entry = ipc_gethostbyname(name);
    if (entry != nullptr) return entry;
    error = h_errno;
    if (error != kTryAgain) break;
    --tries;
    DbgPlain(kLevel, "[%s] h_errno=%i (~%s), %i retries left", kFn, error,
             Ipc_h_errno_to_text(error), tries);
    if (tries <= 0) break;
    Sleep(1, 0);
  }
  MarkResolveFailure(error, kFn);
  if (error != kHostNotFound && error != kNoData) {
    DbgPlain(kLevel, "[%s] gethostbyname (%s) returned %i ~ %s", kFn, name, error,
             Ipc_h_errno_to_text(error));
  }
  return nullptr;
}

int IpcIPIsLocal(const char* host) {
  const std::vector<in_addr_t> addresses = HostAddresses(IpcGetHostByName(host));
  if (addresses.empty()) {
    ErhPromoteError(EIPCRESOLVE);
    return -1;
  }
  // Loopback needs no lookup of our own name, which containers often lack.
  bool local = std::any_of(addresses.begin(), addresses.end(), IsLoopback);
  if (!local) {
    const std::vector<in_addr_t> mine = OwnAddresses();
    if (mine.empty()) {
      ErhPromoteError(EIPCRESOLVE);
      return -5;
    }
    local = ShareAddress(addresses, mine);
  }
  DbgPlain(kLevel, "IP is local \"%s\" == %s\n", host, local ? "true" : "false");
  return local ? 1 : 0;
}

int IpcIPIsEqual(const char* host1, const char* host2) {
  std::vector<in_addr_t> first;
  std::vector<in_addr_t> second;
  if (host1 == nullptr || host2 == nullptr || !CachedAddresses(0, host1, &first) ||
      !CachedAddresses(1, host2, &second)) {
    if (ErhErrno() == 0) MarkResolveFailure(kHostNotFound, "IpcIPIsEqual");
    ErhPromoteError(EIPCRESOLVE);
    return -1;
  }
  return ShareAddress(first, second) ? 1 : 0;
}

int ipc_listInterfaces(char** list) {
  if (list != nullptr) *list = nullptr;
  ErhMark(kErrNotAvailable, 0, "ipc_listInterfaces", kErhMinor);
  return -1;
}

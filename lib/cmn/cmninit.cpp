// Process start-up and exit of the common runtime, the process identity, host
// names, the inet service port and the sleep calls.
#include "cmn/cmninit.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/rcfile.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/cmninit.cpp");

char cmnNodename[kCmnHostNameSize] = "hostname_unknown";
char cmnHostname[kCmnHostNameSize] = "hostname_unknown";
char cmnCSHostname[kCmnHostNameSize] = "unnamed";
int cmnUsageCount = 0;
int cmnProcessInited = 0;
int glInetPort = 0;

namespace {

// Kept outside the context table: a forked child keeps its identity.
char progname[kCmnProgNameMax + 1] = "";
char additionalId[kCmnProgNameMax + 1] = "";

CmnContext cmnPtdProto;

void CmnPtdAtInit(void* data) {
  static const char kTag[] = "(LibCmn.lib)";
  std::memcpy(static_cast<CmnContext*>(data)->tag, kTag, sizeof kTag);
}

const PtdDescriptor CmnPtd = {"CmnPtd",     &cmnPtdProto, sizeof(CmnContext),
                              CmnPtdAtInit, nullptr,      nullptr};

constexpr int kHostLookupRetries = 5;

void CopyName(char* dst, size_t size, const char* src) {
  std::snprintf(dst, size, "%s", src != nullptr ? src : "");
}

// The system name lower-cased; `who` names the caller in the failure line.
char* SystemHostName(const char* who, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  char raw[256];
  if (gethostname(raw, sizeof raw) != 0) {
    DbgLogPlain(nullptr, "%s: gethostname() failed, errcode=%d", who, errno);
    buffer[0] = '\0';
    return buffer;
  }
  raw[sizeof raw - 1] = '\0';
  HostToLower(buffer, raw, size - 1);
  return buffer;
}

// name replaced by its canonical form when it resolves.
void Canonicalise(char* name, size_t size) {
  const char* expanded = CmnExpandHostname(name);
  if (expanded != nullptr && expanded[0] != '\0') CopyName(name, size, expanded);
}

}  // namespace

CmnContext* CmnGetContext() {
  return static_cast<CmnContext*>(CmnCreateContextEx(&CmnPtd, CMN_SLOT_CMN));
}

void CmnSetProgname(const char* name) {
  if (name != nullptr) CopyName(progname, sizeof progname, name);
}

const char* CmnGetProgname() {
  return progname;
}

void CmnSetAdditionalId(const char* id) {
  CopyName(additionalId, sizeof additionalId, id);
}

const char* CmnGetAdditionalId() {
  return additionalId;
}

// ---------------------------------------------------------------------------
// Start and stop.

int CmnInitEx(const char* name, const char* addId, const char* postfix, const char* ranges,
              const char* select, int reportLevel, int threadId) {
  CmnSetProgname(name);
  if (addId != nullptr) CmnSetAdditionalId(addId);
  CmnContext* context = CmnGetContext();
  bool ok = context != nullptr && CmnInitializeEnvironment() == 0;

  if (ok && !cmnDefine_ORACLE8 && !EnvGetBool("VEKDISABLESETLOCALE")) std::setlocale(LC_ALL, "");

  if (ok && !cmnProcessInited) {
    ok = CmnGetHostInfo() == 0 && CmnGetUserInfo() == 0;
    if (ok) {
      ExportTarnRcVariables();
      StrMsgConfigure();
    }
  }
  if (ok) DbgInitEx(postfix, ranges, select, CmnGetProgname(), threadId);
  if (ok && cmnUsageCount == 0) ok = NlsOpenCatalog() == 0;
  if (ok) {
    ErhInit(reportLevel);
    ok = CmnCheckAndUpdateEnvironment() == 0;
  }
  if (!ok) {
    DbgPlain(1, "CmnInit() failed");
    return -1;
  }
  cmnProcessInited = 1;
  if (!context->inited) {
    ++cmnUsageCount;
    context->inited = 1;
  }
  DbgMessageM(TARN_HERE, 1, nullptr);
  DbgPlain(1, "CmnInit() done");
  return 0;
}

int CmnInit(const char* name, const char* addId, const char* postfix, const char* ranges,
            const char* select, int reportLevel) {
  return CmnInitEx(name, addId, postfix, ranges, select, reportLevel, 0);
}

int CmnInitDLL(const char* name) {
  CmnSetProgname(name);
  return 0;
}

int CmnExit() {
  DbgPlain(1, "CmnExit()");
  auto* context = static_cast<CmnContext*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_CMN));
  if (context == nullptr) return cmnUsageCount;
  ErhExit();
  if (StrMsg* msg = StrMsgGetGlobal()) StrMsgFreeL(msg);
  DbgExit();
  if (context->inited) {
    if (cmnUsageCount > 0) --cmnUsageCount;
    context->inited = 0;
  }
  if (cmnUsageCount == 0) {
    TrbExit();
    NlsCloseCatalog();
  }
  CmnCleanupEnvironment();
  return cmnUsageCount;
}

int CmnIsInitialized() {
  auto* context = static_cast<CmnContext*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_CMN));
  return context != nullptr && context->inited ? 1 : 0;
}

void CmnSetAtAxit(void (*function)()) {
  if (function == nullptr || cmnDefine_NOATEXIT || CmnInHostProcess()) return;
  std::atexit(function);
}

void CmnExitProcess(int status) {
  std::fflush(nullptr);
  std::exit(status);
}

void CmnSetLevels(const char* ranges, int reportLevel) {
  if (ranges != nullptr && ranges[0] != '\0') DbgSetRanges(ranges);
  if (reportLevel != -1) ErhSetReportLevel(reportLevel);
}

// ---------------------------------------------------------------------------
// Hosts.

int CmnGetHostInfo() {
  if (cmnProcessInited) return 0;
  GetNodename(cmnNodename, sizeof cmnNodename);
  Canonicalise(cmnNodename, sizeof cmnNodename);
  GetHostname(cmnHostname, sizeof cmnHostname);
  Canonicalise(cmnHostname, sizeof cmnHostname);

  // A client without a cell_server file is normal here; its mark must not
  // stand in for the first real error of the program.
  const bool hadError = ErhErrno() != 0;
  char* csHost = nullptr;
  if (CliReadCSHost(&csHost) == 0) {
    CopyName(cmnCSHostname, sizeof cmnCSHostname, csHost);
  } else if (!hadError) {
    ErhClearError();
  }
  safe_free(csHost, TARN_HERE);
  return 0;
}

char* GetNodename(char* buffer, size_t size) {
  return SystemHostName("GetNodename", buffer, size);
}

char* GetHostname(char* buffer, size_t size) {
  return SystemHostName("GetHostname", buffer, size);
}

struct hostent* GetHostByName(const char* name) {
  DbgPlain(kDbgDetail, "[GetHostByName] strHostname='%s'", name != nullptr ? name : "");
  if (name == nullptr || name[0] == '\0') return nullptr;
  for (int attempt = 0;; ++attempt) {
    struct hostent* entry = gethostbyname(name);
    if (entry != nullptr) return entry;
    const int err = h_errno;
    if (err == TRY_AGAIN && attempt < kHostLookupRetries) {
      DbgPlain(19, "[%d] gethostbyname() for \"%s\" failed with TRY_AGAIN", attempt + 1, name);
      continue;
    }
    if (err != HOST_NOT_FOUND && err != NO_DATA) {
      DbgLogPlain(nullptr, "gethostbyname() failed, h_errno=%d [host=%s, retry=%d]", err, name,
                  attempt);
    }
    return nullptr;
  }
}

const char* CmnExpandHostname(const char* name) {
  struct hostent* entry = GetHostByName(name);
  CmnContext* context = CmnGetContext();
  if (entry == nullptr || context == nullptr) return nullptr;
  const char* official =
      entry->h_name != nullptr && entry->h_name[0] != '\0' ? entry->h_name : name;
  DbgPlain(111, "gethostbyname(%s):%s", name, official);
  HostToLower(context->expandedHost, official, sizeof context->expandedHost - 1);
  return context->expandedHost;
}

int CmnExpandHostName(const char* name, char** copy) {
  if (copy != nullptr) *copy = nullptr;
  if (name == nullptr) return -1;
  const char* expanded = CmnExpandHostname(name);
  if (copy != nullptr) *copy = StrNewCopy(expanded != nullptr ? expanded : name);
  return expanded != nullptr ? 1 : 0;
}

const char* CmnCheckHostentAliases(const struct hostent* entry) {
  CmnContext* context = CmnGetContext();
  if (context == nullptr) return "";
  CopyName(context->officialName, sizeof context->officialName,
           entry != nullptr ? entry->h_name : "");
  return context->officialName;
}

int CmnGetInetPort() {
  if (const char* text = std::getenv("TARN_INET_PORT")) {
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && port > 0 && port <= 65535)
      return static_cast<int>(port);
  }
  if (glInetPort != 0) return glInetPort;
  struct servent* service = getservbyname("tarn", "tcp");
  if (service == nullptr) {
    DbgPlain(kDbgUnexpected, "Unable to detect port for service tarn, trying default (%d)",
             kCmnDefaultInetPort);
    glInetPort = kCmnDefaultInetPort;
  } else {
    glInetPort = ntohs(static_cast<uint16_t>(service->s_port));
    if (glInetPort == 0) {
      DbgPlain(kDbgUnexpected, "Inet port query yielded an invalid port, reverting to default (%d)",
               kCmnDefaultInetPort);
      glInetPort = kCmnDefaultInetPort;
    }
  }
  return glInetPort;
}

// ---------------------------------------------------------------------------
// Time.

void CmnSleep(long milliseconds) {
  cmn::SleepFor(std::chrono::milliseconds(milliseconds));
}

double CmnGetCurrentTime() {
  struct timeval now = {};
  gettimeofday(&now, nullptr);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

void VEK_Yield(int grade) {
  switch (grade) {
    case 1: CmnSleep(1000); break;
    case 2: CmnSleep(100); break;
    case 3: CmnSleep(10); break;
    case 4: CmnSleep(1); break;
    case 5: cmn::SleepFor(std::chrono::microseconds(100)); break;
    default: sched_yield(); break;
  }
}

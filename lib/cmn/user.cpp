// Process environment: effective user and group names, the cluster switch,
// the machine description, the client's cell_server file and changing user.
#include "cmn/user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/user.cpp");

char cmnEun[kCmnUserNameMax + 1] = "unnamed";
char cmnEgn[kCmnUserNameMax + 1] = "unnamed";
int cmnClus = 0;
int cmnClusLibLoaded = 0;
volatile sig_atomic_t commandModeSet = 0;

namespace {

constexpr size_t kCSHostLineMax = 1023;

// getpwnam_r with a work buffer that grows as the system asks.
bool LookUpUser(const char* name, struct passwd* entry, std::vector<char>* work) {
  if (name == nullptr || name[0] == '\0') return false;
  work->resize(4096);
  for (;;) {
    struct passwd* found = nullptr;
    const int rc = getpwnam_r(name, entry, work->data(), work->size(), &found);
    if (rc == ERANGE && work->size() < (1u << 20)) {
      work->resize(work->size() * 2);
      continue;
    }
    return rc == 0 && found != nullptr;
  }
}

}  // namespace

int CmnGetUserInfo() {
  const uid_t euid = geteuid();
  const gid_t egid = getegid();
  std::vector<char> work(16384);

  struct passwd user {};
  struct passwd* foundUser = nullptr;
  errno = 0;
  const int userRc = getpwuid_r(euid, &user, work.data(), work.size(), &foundUser);
  if (userRc == 0 && foundUser != nullptr) {
    StrCopy(cmnEun, foundUser->pw_name, kCmnUserNameMax);
  } else {
    DbgLogPlain(nullptr, "CmnGetUserInfo: getpwuid() failed, errcode=%d [euid=%d]",
                userRc != 0 ? userRc : errno, static_cast<int>(euid));
  }

  struct group grp {};
  struct group* foundGroup = nullptr;
  errno = 0;
  const int groupRc = getgrgid_r(egid, &grp, work.data(), work.size(), &foundGroup);
  if (groupRc == 0 && foundGroup != nullptr) {
    StrCopy(cmnEgn, foundGroup->gr_name, kCmnUserNameMax);
  } else {
    DbgLogPlain(nullptr, "CmnGetUserInfo: getgrgid() failed, errcode=%d [egid=%d]",
                groupRc != 0 ? groupRc : errno, static_cast<int>(egid));
  }
  return 0;
}

int UxCheckCluster() {
  const char* value = std::getenv("VEKSGENABLED");
  if (value != nullptr && std::strcmp(value, "1") == 0) {
    cmnClus = 1;
    cmnClusLibLoaded = 1;
  }
  return 0;
}

int CmnCheckAndUpdateEnvironment() {
  return UxCheckCluster();
}

int CmnInitializeEnvironment() {
  return 0;
}

int CmnCleanupEnvironment() {
  return 0;
}

void CmnSetProcessTitle() {}

void CmnVoidAlarmHandler(int) {}

char* CmnGetMachineInfoString(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  struct utsname u {};
  if (uname(&u) != 0) {
    std::snprintf(buf, size, "%s", "UNKNOWN");
  } else {
    std::snprintf(buf, size, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version,
                  u.machine, "");
  }
  return buf;
}

int CliReadCSHost(char** host) {
  static const char kFn[] = "CliReadCSHost";
  if (host != nullptr) *host = nullptr;
  const std::string path = std::string(cmnFenConfigClient) + "/cell_server";
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    const int err = errno;
    if (err != ENOENT)
      DbgPlain(kDbgUnexpected, "%s: fopen() failed, errcode=%d [file=%s]", kFn, err, path.c_str());
    ErhMark(ERH_NO_CS_HOST, err, kFn, kErhMajor);
    return -1;
  }
  char line[kCSHostLineMax + 2];
  char* found = nullptr;
  bool overlong = false;
  while (found == nullptr && std::fgets(line, sizeof line, file) != nullptr) {
    const bool complete = std::strchr(line, '\n') != nullptr || std::feof(file);
    // The tail of an overlong line is no host name of its own.
    const bool skip = overlong || !complete;
    overlong = !complete;
    if (skip) continue;
    StrCutNewLine(line);
    char* name = StrCutSpacesInPlace(line);
    if (name[0] == '\0') continue;
    if (const char* expanded = CmnExpandHostname(name)) found = StrNewCopy(expanded);
  }
  if (std::fclose(file) != 0)
    DbgPlain(kDbgUnexpected, "%s: fclose() failed, errcode=%d [file=%s]", kFn, errno, path.c_str());
  if (found == nullptr) {
    ErhMark(ERH_NO_CS_HOST, 0, kFn, kErhMajor);
    return -1;
  }
  if (host != nullptr) {
    *host = found;
  } else {
    safe_free(found, TARN_HERE);
  }
  return 0;
}

void CliCommandModeIntr(int) {
  commandModeSet = 1;
}

void CliSetCommandModeIntr() {
  static const char kFn[] = "CliSetCommandModeIntr";
  struct sigaction action {};
  action.sa_handler = CliCommandModeIntr;
  if (sigemptyset(&action.sa_mask) != 0) {
    DbgPlain(kDbgUnexpected, "%s: sigemptyset() failed, errcode=%d", kFn, errno);
    return;
  }
  action.sa_flags = 0;
  if (sigaction(SIGINT, &action, nullptr) != 0) {
    DbgPlain(kDbgUnexpected, "%s: sigaction() failed, errcode=%d [signal=SIGINT]", kFn, errno);
  }
}

int CmnSetUid(const char* user) {
  struct passwd entry {};
  std::vector<char> work;
  if (!LookUpUser(user, &entry, &work) && !LookUpUser(glDefScriptUser, &entry, &work)) return 0;
  // Only a privileged process may change its groups; it must drop the ones it
  // has, or the script keeps root's supplementary groups.
  if (geteuid() == 0 && initgroups(entry.pw_name, entry.pw_gid) != 0) return -1;
  if (setgid(entry.pw_gid) != 0) return -1;
  if (setuid(entry.pw_uid) != 0) return -1;
  return 1;
}

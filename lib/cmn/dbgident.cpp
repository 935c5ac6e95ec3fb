// Process identity as the trace shows it: host name, effective user and
// group, and the machine description of the trace banner.
#include <grp.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cmn/dbgimpl.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/dbgident.cpp");

namespace {

constexpr size_t kHostMax = 64;
constexpr size_t kNameMax = 60;

}  // namespace

const char* DbgHostName() {
  static char host[kHostMax + 1];
  char raw[kHostMax + 1] = "";
  if (gethostname(raw, sizeof raw) != 0) raw[0] = '\0';
  raw[kHostMax] = '\0';
  HostToLower(host, raw, kHostMax);
  host[kHostMax] = '\0';
  return host;
}

const char* DbgUserName() {
  static char name[kNameMax + 1];
  std::snprintf(name, sizeof name, "%s", "unnamed");
  struct passwd entry {};
  struct passwd* found = nullptr;
  char work[4096];
  if (getpwuid_r(geteuid(), &entry, work, sizeof work, &found) == 0 && found != nullptr) {
    std::snprintf(name, sizeof name, "%s", found->pw_name);
  }
  return name;
}

const char* DbgGroupName() {
  static char name[kNameMax + 1];
  std::snprintf(name, sizeof name, "%s", "unnamed");
  struct group entry {};
  struct group* found = nullptr;
  char work[8192];
  if (getgrgid_r(getegid(), &entry, work, sizeof work, &found) == 0 && found != nullptr) {
    std::snprintf(name, sizeof name, "%s", found->gr_name);
  }
  return name;
}

const char* DbgMachineText() {
  static char text[6 * sizeof(utsname{}.sysname) + 8];
  struct utsname u {};
  if (uname(&u) != 0) {
    std::snprintf(text, sizeof text, "%s", "UNKNOWN");
  } else {
    std::snprintf(text, sizeof text, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version, u.machine,
                  "");
  }
  return text;
}

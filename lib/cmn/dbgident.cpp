// Process identity as the trace shows it: host name, effective user and
// group, and the machine description of the trace banner.
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/dbgimpl.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/dbgident.cpp");

namespace {

// True while the identity is still being gathered, so that a failure line in
// debug.log (whose header names the host) does not ask for it again.
bool gathering = false;

}  // namespace

const char* DbgHostName() {
  // Until start-up has resolved the host name, the trace uses the system's.
  static char host[kCmnHostNameSize];
  if (std::strcmp(cmnHostname, "hostname_unknown") != 0) return cmnHostname;
  if (gathering) return host;
  gathering = true;
  GetHostname(host, sizeof host);
  gathering = false;
  return host;
}

const char* DbgUserName() {
  if (!cmnProcessInited && !gathering) {
    gathering = true;
    CmnGetUserInfo();
    gathering = false;
  }
  return cmnEun;
}

const char* DbgGroupName() {
  if (!cmnProcessInited && !gathering) {
    gathering = true;
    CmnGetUserInfo();
    gathering = false;
  }
  return cmnEgn;
}

const char* DbgMachineText() {
  static char text[kCmnMachineInfoSize];
  return CmnGetMachineInfoString(text, sizeof text);
}

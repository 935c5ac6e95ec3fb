// Process identity as the trace shows it: host name, effective user and
// group, and the machine description of the trace banner.
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/dbgimpl.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/dbgident.cpp");

namespace {

// True while that part of the identity is being gathered, so that a failure
// line in debug.log (whose header names the host) does not ask for it again.
bool gatheringHost = false;
bool gatheringUser = false;

// Before start-up has filled them in, looks the user and group names up.
void GatherUser() {
  if (cmnProcessInited || gatheringUser) return;
  gatheringUser = true;
  CmnGetUserInfo();
  gatheringUser = false;
}

}  // namespace

const char* DbgHostName() {
  // Until start-up has resolved the host name, the trace uses the system's.
  static char host[kCmnHostNameSize];
  if (std::strcmp(cmnHostname, "hostname_unknown") != 0) return cmnHostname;
  if (gatheringHost) return host;
  gatheringHost = true;
  GetHostname(host, sizeof host);
  gatheringHost = false;
  return host;
}

const char* DbgUserName() {
  GatherUser();
  return cmnEun;
}

const char* DbgGroupName() {
  GatherUser();
  return cmnEgn;
}

const char* DbgMachineText() {
  static char text[kCmnMachineInfoSize];
  return CmnGetMachineInfoString(text, sizeof text);
}

// Temporary process identity so the library links while process start-up is
// written. Deleted by the start-up module's change.
#include <cstdio>
#include <cstdlib>

#include "cmn/cmninit.h"

namespace {
char progname[256] = "";
}

void CmnSetProgname(const char* name) { std::snprintf(progname, sizeof progname, "%s", name ? name : ""); }
const char* CmnGetProgname() { return progname; }
const char* CmnGetAdditionalId() { return ""; }
char cmnNodename[64] = "hostname_unknown";
void CmnSetAtAxit(void (*function)()) {
  if (!cmnDefine_NOATEXIT && function != nullptr) std::atexit(function);
}
void CmnExitProcess(int status) { std::exit(status); }

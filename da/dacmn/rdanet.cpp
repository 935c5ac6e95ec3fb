#include "dacmn/rdanet.h"

// Placeholder until the restore network process lands.
void RNetReportHook(const char*) {}
void RNetConsoleHook(const char*) {}
void RNetMain() {
  RdaNetExit(DA_NET_EXIT_SETUP);
}
void RNetMainFile(const char*) {
  RdaNetExit(DA_NET_EXIT_SETUP);
}

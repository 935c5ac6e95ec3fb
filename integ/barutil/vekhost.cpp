// Host names of the integration: which cell server to use, and full names of
// hosts for configuration paths and object names.
#include "barutil/vekhost.h"

#include <cstdlib>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/user.h"

TARN_RCSID("integ/barutil/vekhost.cpp");

namespace {

constexpr int kLevel = 30;

// Plain arrays: these areas must outlive every caller and need no destructor
// in a library loaded into a host process.
char cellServer[kVekHostNameMax + 1];
char expanded[kVekHostNameMax + 1];

}  // namespace

const char* VEK_ExpandHostname(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  const char* full = CmnExpandHostname(name);
  StrCopy(expanded, full != nullptr ? full : name, kVekHostNameMax);
  return expanded;
}

const char* VEK_CellServer() {
  static const char kFn[] = "VEK_CellServer";
  if (cellServer[0] != '\0') return cellServer;
  const char* override = std::getenv("VEK_CELL_SERVER_HOSTNAME");
  if (override != nullptr && override[0] != '\0') {
    DbgPlain(kLevel, "[%s] *Caution*: override cell server to %s", kFn, override);
    StrCopy(cellServer, VEK_ExpandHostname(override), kVekHostNameMax);
    return cellServer;
  }
  char* fromFile = nullptr;
  if (CliReadCSHost(&fromFile) != 0 || fromFile == nullptr || fromFile[0] == '\0') {
    safe_free(fromFile, TARN_HERE);
    DbgPlain(kLevel, "[%s] No cell server host found (error %d)", kFn, ErhErrno());
    return nullptr;
  }
  StrCopy(cellServer, VEK_ExpandHostname(fromFile), kVekHostNameMax);
  safe_free(fromFile, TARN_HERE);
  DbgPlain(kLevel, "[%s] Cell server: %s", kFn, cellServer);
  return cellServer;
}

void VEK_ResetCellServer() {
  cellServer[0] = '\0';
}

void VEK_SetHostname(const char* name) {
  const char* full = VEK_ExpandHostname(name);
  if (full == nullptr) return;
  StrCopy(cmnHostname, full, kCmnHostNameSize - 1);
  DbgPlain(kLevel, "[VEK_SetHostname] Host name set to %s", cmnHostname);
}

// Integration configuration on the cell server and in local files: the item
// path, one client start and binding per read or write, and the stored text.
#include "barutil/buconfig.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "barutil/buenv.h"
#include "barutil/vekhost.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/utf.h"
#include "cmn/vekfile.h"
#include "csa/csa.h"
#include "csa/csaops.h"

TARN_RCSID("integ/barutil/buconfig.cpp");

namespace {

constexpr int kLevel = 30;

bool Given(const char* text) {
  return text != nullptr && text[0] != '\0';
}

// Frees a safe_malloc block at scope end.
struct HeapBlock {
  char* p = nullptr;
  HeapBlock() = default;
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (p != nullptr) safe_free(p, TARN_HERE);
  }
};

// Stops the client (or closes the binding) when the scope ends, whatever path
// the caller leaves by.
class CsaScope {
 public:
  CsaScope() = default;
  CsaScope(const CsaScope&) = delete;
  CsaScope& operator=(const CsaScope&) = delete;
  ~CsaScope() { BU_CsaExit(&state_); }
  int start(const char* cellServer) { return BU_CsaInit(&state_, cellServer); }
  int slot() const { return state_.slot; }

 private:
  BuCsaState state_;
};

}  // namespace

int BU_ErhErrno(int code) {
  switch (code) {
    case 0: return ERH_NONE;
    case 1:
    case 2:
    case 3:
    case 4: return ERH_VAR_PARSE;
    case 5:
    case 7: return ERH_INTERNAL;
    case kBuCellServer: {
      const int marked = ErhErrno();
      return marked != ERH_NONE ? marked : ERH_CSA_CONNECT;
    }
    case kBuLocalFile: return ERH_SYSTEM;
    case 10: return ERH_NOMEM;
    default: return ERH_INTERNAL;
  }
}

int BU_GetConfigPath(char* out, std::size_t size, const char* host, const char* appType,
                     const char* appName) {
  if (out == nullptr || size == 0) return kBuBadArg;
  out[0] = '\0';
  if (!Given(appType) || (!Given(host) && !Given(appName))) return kBuBadArg;
  int n = 0;
  if (!Given(appName)) {
    const char* encoded = StrToUrl(host);
    if (encoded == nullptr) return kBuBadArg;
    n = std::snprintf(out, size, "config/%s/%s", appType, encoded);
  } else {
    char fullHost[kVekHostNameMax + 1];
    StrCopy(fullHost, Given(host) ? VEK_ExpandHostname(host) : cmnHostname, kVekHostNameMax);
    const char* encoded = StrToUrl(appName);
    if (encoded == nullptr) return kBuBadArg;
    n = std::snprintf(out, size, "config/%s/%s%%%s", appType, fullHost, encoded);
  }
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
    return kBuBadArg;
  }
  return kBuOk;
}

int BU_CsaInit(BuCsaState* state, const char* cellServer) {
  static const char kFn[] = "BU_CsaInit";
  if (state == nullptr) return kBuBadArg;
  *state = BuCsaState{};
  const char* host = Given(cellServer) ? cellServer : VEK_CellServer();
  if (!Given(host)) {
    DbgPlain(kLevel, "[%s] No cell server host", kFn);
    if (ErhErrno() == ERH_NONE) ErhMark(ERH_NO_CS_HOST, 0, kFn, kErhMajor);
    return kBuCellServer;
  }
  if (!CsaIsInitialized()) {
    if (MCsaInit(host) != 0) {
      DbgPlain(kLevel, "[%s] MCsaInit(%s) failed with error %d", kFn, host, ErhErrno());
      return kBuCellServer;
    }
    state->startedClient = true;
    state->slot = 0;
    return kBuOk;
  }
  int reused = 0;
  const int slot = MCsaBindServerEx(host, &reused);
  if (slot < 0) {
    DbgPlain(kLevel, "[%s] MCsaBindServerEx(%s) failed with error %d", kFn, host, ErhErrno());
    return kBuCellServer;
  }
  state->slot = slot;
  state->boundHere = reused == 0;
  return kBuOk;
}

void BU_CsaExit(BuCsaState* state) {
  if (state == nullptr) return;
  if (state->startedClient) {
    CsaExitEx(kCsaStartedIpc);
  } else if (state->boundHere && state->slot > 0) {
    MCsaUnbindServer(state->slot, 1);
  }
  *state = BuCsaState{};
}

int BU_GetConfig(const char* cellServer, const char* host, const char* appType, const char* appName,
                 BpList* out) {
  static const char kFn[] = "BU_GetConfig";
  if (out == nullptr) return kBuBadArg;
  char path[kBuConfigPathMax + 1];
  if (BU_GetConfigPath(path, sizeof path, host, appType, appName) != kBuOk) return kBuBadArg;
  CmnVarFree(out);
  HeapBlock text;
  {
    CsaScope csa;
    if (csa.start(cellServer) != kBuOk) return kBuCellServer;
    if (MCsaGetGroupItem(csa.slot(), kBuConfigGroup, path, &text.p, 0) != 0) {
      DbgPlain(kLevel, "[%s] Reading %s failed with error %d", kFn, path, ErhErrno());
      return kBuCellServer;
    }
  }
  if (BP_ParseBuffer(text.p, out) != kBpOk) {
    DbgPlain(kLevel, "[%s] Configuration %s could not be parsed", kFn, path);
    CmnVarFree(out);
    return kBuParseFailed;
  }
  return kBuOk;
}

int BU_PutConfig(const char* cellServer, const char* host, const char* appType, const char* appName,
                 BpList list) {
  static const char kFn[] = "BU_PutConfig";
  char path[kBuConfigPathMax + 1];
  if (BU_GetConfigPath(path, sizeof path, host, appType, appName) != kBuOk) return kBuBadArg;
  CsaScope csa;
  if (csa.start(cellServer) != kBuOk) return kBuCellServer;
  HeapBlock text;
  text.p = BP_Pack(list, kBpStored);
  if (text.p == nullptr) return kBuBadArg;
  if (MCsaPutGroupItem(csa.slot(), kBuConfigGroup, path, text.p, 1) != 0) {
    DbgPlain(kLevel, "[%s] Writing %s failed with error %d", kFn, path, ErhErrno());
    return kBuCellServer;
  }
  return kBuOk;
}

int BU_UpdateConfig(BpList* list, const char* name, const char* value) {
  const char* shown = value == nullptr ? "" : BU_IsSecretName(name) ? kBuMasked : value;
  DbgPlain(kLevel, "[%s] Updating configuration:Option name  - %sOption Value - %s",
           "BU_UpdateConfig", name != nullptr ? name : "", shown);
  if (value == nullptr) return BP_RemoveOptByName(list, name);
  return BP_ChangeStr(list, name, value);
}

int BU_GetLocalFile(const char* path, BpList* out) {
  if (!Given(path) || out == nullptr) return kBuBadArg;
  CmnVarFree(out);
  std::size_t size = 0;
  HeapBlock data;
  data.p = CmnGetFile(path, &size);
  if (data.p == nullptr) return kBuLocalFile;
  if (size >= 2 && size <= INT32_MAX && MsgCheckLEBOM(data.p) != 0) {
    int length = static_cast<int>(size);
    if (DynBufAdjustToNative(&data.p, &length, 0) < 0) return kBuParseFailed;
    size = static_cast<std::size_t>(length);
  }
  std::string_view text(data.p);
  // A NUL inside the text would hide the rest of the file from the parser.
  if (text.size() != size) return kBuParseFailed;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return BP_ParseBuffer(text.data(), out) == kBpOk ? kBuOk : kBuParseFailed;
}

int BU_PutLocalFile(const char* path, BpList list) {
  if (!Given(path)) return kBuBadArg;
  HeapBlock text;
  text.p = BP_Pack(list, kBpStored);
  if (text.p == nullptr) return kBuBadArg;
  return CmnPutFile(path, text.p, std::strlen(text.p)) == 0 ? kBuOk : kBuLocalFile;
}

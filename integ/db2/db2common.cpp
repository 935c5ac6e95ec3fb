// The DB2 integration's configuration read from the cell server, tracing
// switched on from it, file-name formatting and the report hook.
#include "db2/db2common.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "barutil/buconfig.h"
#include "barutil/buenv.h"
#include "barutil/vekdebug.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "cmn/vekfile.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/db2common.cpp");

char* debugRanges = nullptr;
char* debugSession = nullptr;
char* debugSelect = nullptr;

namespace {

constexpr char kAppType[] = "DB2";
constexpr char kEnvironment[] = "Environment";
constexpr char kVekOpts[] = "VEKOPTS";
constexpr std::size_t kVekOptsCopyMax = 255;
// The settings that lead DB2's sessions to the session of the session
// manager: its options (server, session) and the barlist the sessions join.
constexpr const char* kSessionSettings[] = {kVekOpts, "VEKBARLIST"};

char convertedFileName[kDb2FileNameMax + 1];

void ReplaceHeap(char** global, const char* text) {
  if (*global != nullptr) safe_free(*global, TARN_HERE);
  *global = StrNewCopy(text);
}

const char* FormatFileName(const char* function, const char* name) {
  convertedFileName[0] = '\0';
  if (name == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s]: ERROR: Parameter is NULL!!", function);
    return convertedFileName;
  }
  const std::size_t length = std::strlen(name);
  if (length > kDb2FileNameMax) {
    DbgPlain(kDbgUnexpected, "[%s]: ERROR: Parameter too long!!", function);
    return convertedFileName;
  }
  std::memcpy(convertedFileName, name, length + 1);
  PathToSlashes(convertedFileName);
  return convertedFileName;
}

// The "Environment" section of a configuration, or null.
CmnVar* EnvironmentOf(const BpList* config) {
  CmnVar* section = nullptr;
  if (config == nullptr || BP_GetListByName(*config, kEnvironment, &section) != kBpOk)
    return nullptr;
  return section;
}

}  // namespace

void DB2ReportHook(const char* packed) {
  PrintPackedMessage(packed);
}

void DB2StartForkedTask(const char* name) {
  ErhSetHooks(nullptr, DB2ReportHook, ConPrint);
  if (CmnIsInitialized() != 0) return;
  DebugOpts debug{};
  const bool traced = VEK_DebugOptsFromEnv(&debug) == 1;
  // The process's own name is copied: CmnInit stores the name it gets.
  const std::string program = name != nullptr ? name : CmnGetProgname();
  CmnInit(program.c_str(), nullptr, traced ? debug.postfix : nullptr,
          traced ? debug.ranges : nullptr, traced ? debug.select : nullptr, 0);
}

BpList* GetCfg(const char* instance) {
  static const char kFn[] = "GetCfg";
  DbgPlain(kDbgDetail, "[%s] Instance: %s", kFn, instance != nullptr ? instance : "(null)");
  if (instance == nullptr || instance[0] == '\0') {
    DbgPlain(kDbgUnexpected, "instance is not specified");
    return nullptr;
  }
  char* cellServer = nullptr;
  const int rc = CliReadCSHost(&cellServer);
  if (rc != 0) {
    DbgPlain(kDbgUnexpected, "[%s] CliReadCSHost failed with error %d", kFn, rc);
    return nullptr;
  }
  auto* config = static_cast<BpList*>(safe_calloc(1, sizeof(BpList), TARN_HERE));
  if (config != nullptr) {
    const int got = BU_GetConfig(cellServer, cmnHostname, kAppType, instance, config);
    if (got != kBuOk) {
      DbgPlain(kDbgUnexpected, "[%s] Getting configuration for instance %s failed, rc = %d", kFn,
               instance, got);
      DB2FreeCfg(config);
      config = nullptr;
    }
  }
  safe_free(cellServer, TARN_HERE);
  return config;
}

void DB2FreeCfg(BpList* config) {
  if (config == nullptr) return;
  CmnVarFree(config);
  safe_free(config, TARN_HERE);
}

void GetUserAndPass(const char* instance, char** user, char** password) {
  static const char kFn[] = "GetUserAndPass";
  if (instance == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] instance == NULL", kFn);
    return;
  }
  BpList* config = GetCfg(instance);
  if (config == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] config == NULL", kFn);
    return;
  }
  const char* name = BP_GetStr(*config, "Username");
  const char* encoded = name != nullptr ? BP_GetStr(*config, "Password") : nullptr;
  *user = nullptr;
  *password = nullptr;
  if (name == nullptr) {
    DbgPlain(kDbgDetail,
             "[%s] Can not get username from the configuration, will use system account", kFn);
  } else if (encoded == nullptr) {
    DbgPlain(kDbgDetail,
             "[%s] Can not get password from the configuration, will use system account", kFn);
  } else {
    // The encoded form turns back into the password by a fixed rule, so it is
    // as secret as the password itself and is not traced.
    DbgPlain(kDbgDetail, "[%s] Username: \"%s\"", kFn, name);
    DbgPlain(kDbgDetail, "[%s] Password (encoded): \"%s\"", kFn, kBuMasked);
    *user = StrNewCopy(name);
    *password = DecodePassword(encoded);
  }
  DB2FreeCfg(config);
}

char* GetCfgVersion(const char* instance) {
  BpList* config = GetCfg(instance);
  if (config == nullptr) return nullptr;
  char* version = BP_GetStrCopy(*config, "Version");
  if (version == nullptr)
    DbgPlain(kDbgUnexpected, "[GetCfgVersion] Can not get version from the configuration");
  DB2FreeCfg(config);
  return version;
}

bool OptParseDebug(const char* text) {
  char ranges[kDebugRangesMax + 1] = "";
  char postfix[kDebugWordMax + 1] = "";
  char select[kDebugWordMax + 1] = "";
  if (text == nullptr) return false;
  DbgParseStr(text, ranges, postfix, select);
  if (ranges[0] == '\0') return false;
  ReplaceHeap(&debugRanges, ranges);
  ReplaceHeap(&debugSession, postfix);
  ReplaceHeap(&debugSelect, select);
  return true;
}

void InitDebugging(const BpList* config) {
  static const char kFn[] = "InitDebugging";
  if (DbgGetFd() != nullptr) return;
  CmnVar* section = EnvironmentOf(config);
  if (section == nullptr) return;
  DbgPlain(16, "/[%s] Found %s section in the configuration. Number of vars defined: %d", kFn,
           kEnvironment, CmnVarLength(*section));
  const char* options = BP_GetStr(*section, kVekOpts);
  if (options == nullptr || options[0] == '\0') return;
  DbgPlain(36, "[%s] Found VEKOPTS=%s in the configuration", kFn, options);
  const std::string copy(options, strnlen(options, kVekOptsCopyMax));
  // Without ranges in this text tracing stays off, whatever an earlier text
  // left in the globals.
  if (OptParseDebug(copy.c_str())) {
    const std::string postfix =
        std::string(CmnGetProgname()) + "_" + (debugSession != nullptr ? debugSession : "");
    DbgInit(postfix.c_str(), debugRanges, debugSelect);
  }
  DbgPlain(16, "[%s] VEKOPTS parsed.", kFn);
  // A process started with VEKOPTS (the agent, by the session manager) keeps
  // its server, session and reconnect address: they lead DB2's sessions to
  // the session that started it. The configuration adds its debug words.
  if (const char* own = std::getenv(kVekOpts); own != nullptr && own[0] != '\0') {
    DebugOpts debug{};
    if (VEK_DebugOptsFromStr(&debug, copy.c_str()) == 1) VEK_DebugOptsToEnv(&debug);
    return;
  }
  // The integration API started afterwards takes its other options (server,
  // report level, reconnect address) from here, with or without ranges.
  PutEnv((std::string(kVekOpts) + "=" + options).c_str());
}

const char* DB2_fNameFormatNative(const char* name) {
  return FormatFileName("DB2_fNameFormatNative", name);
}

const char* DB2_fNameFormatIDB(const char* name) {
  static const char kFn[] = "DB2_fNameFormatIDB";
  DbgPlain(30, "[%s] fName == %s", kFn, name != nullptr ? name : "(null)");
  return FormatFileName(kFn, name);
}

void ExportEnvVars(const BpList* config) {
  static const char kFn[] = "ExportEnvVars";
  CmnVar* section = EnvironmentOf(config);
  if (section == nullptr) return;
  // What the session manager started the process with names its session;
  // the configuration does not replace it.
  std::vector<std::pair<const char*, std::string>> kept;
  for (const char* name : kSessionSettings)
    if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0')
      kept.emplace_back(name, value);
  BU_ExportToEnv(*section);
  for (const auto& [name, value] : kept) {
    const char* now = std::getenv(name);
    if (now != nullptr && value == now) continue;
    DbgPlain(16, "[%s] %s of the configuration is not taken; %s=%s stays", kFn, name, name,
             value.c_str());
    BU_PutEnv(name, value.c_str());
  }
}

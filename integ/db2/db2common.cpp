// The DB2 integration's configuration read from the cell server, tracing
// switched on from it, file-name formatting and the report hook.
#include "db2/db2common.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
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

// True when the integration's option splitter, reading `text`, ends inside
// a quoted word or a comment: whatever followed it would be taken into that
// word or comment. Its rules: a word that begins with "#" comments out the
// rest of its line; one that begins with a quote runs to the next quote of
// either kind or a newline, a backslash taking the next character.
bool LeavesAWordOpen(std::string_view text) {
  std::size_t i = 0;
  auto blank = [&] { return std::isspace(static_cast<unsigned char>(text[i])) != 0; };
  while (i < text.size()) {
    if (blank()) {
      ++i;
    } else if (text[i] == '#') {
      i = text.find('\n', i);
      if (i == std::string_view::npos) return true;
    } else if (text[i] == '"' || text[i] == '\'') {
      for (++i; i < text.size() && text[i] != '"' && text[i] != '\'' && text[i] != '\n'; ++i)
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
      if (i == text.size()) return true;
      ++i;
    } else {
      while (i < text.size() && !blank()) ++i;
    }
  }
  return false;
}

// Puts the configuration's VEKOPTS words in front of the process's own: the
// later word wins in the integration's option parser (and the later "-debug"
// in the debug readers), so a session manager's -server and -session stay.
// Merged once: a VEKOPTS that begins with the configured words keeps them.
void MergeConfiguredVekopts(const char* fn, const char* configured) {
  if (configured == nullptr || configured[0] == '\0') return;
  const char* held = std::getenv(kVekOpts);
  const std::string own = held != nullptr ? held : "";
  std::string merged = configured;
  if (!own.empty()) {
    if (own == merged || own.rfind(merged + " ", 0) == 0) return;
    if (LeavesAWordOpen(merged)) {
      DbgPlain(kDbgUnexpected,
               "[%s] VEKOPTS=%s of the configuration ends inside a quote or a comment; it is "
               "not taken, VEKOPTS=%s stays",
               fn, configured, own.c_str());
      return;
    }
    merged += " " + own;
  }
  PutEnv((std::string(kVekOpts) + "=" + merged).c_str());
}

}  // namespace

void DB2ReportHook(const char* packed) {
  PrintPackedMessage(packed);
}

void DB2StartForkedTask(const char* name) {
  // The agent runs its catalog partition in its own process, where the
  // integration's hooks lead every later report to the session manager.
  if (CmnIsInitialized() != 0) return;
  ErhSetHooks(nullptr, DB2ReportHook, ConPrint);
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
  // The integration API started afterwards takes its other options (server,
  // report level, reconnect address) from here, with or without ranges.
  MergeConfiguredVekopts(kFn, options);
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
    BU_PutEnv(name, value.c_str());
    if (std::strcmp(name, kVekOpts) == 0) {
      MergeConfiguredVekopts(kFn, BP_GetStr(*section, kVekOpts));
      continue;
    }
    DbgPlain(16, "[%s] %s of the configuration is not taken; %s=%s stays", kFn, name, name,
             value.c_str());
  }
}

// The DB2 configuration utility: option parsing, the actions, the partition
// list of db2nodes.cfg and the user-exit link.
#include "heron/heron.h"

#include <errno.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "barutil/buconfig.h"
#include "barutil/buenv.h"
#include "barutil/vekdebug.h"
#include "barutil/vekhost.h"
#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "cmn/vekfile.h"
#include "csa/csa.h"
#include "db2/db2common.h"
#include "db2/db2conn.h"
#include "db2/db2msg.h"
#include "db2/owned.h"
#include "ipc/ipc.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/heron/heron.cpp");

namespace {

constexpr char kProgram[] = "HERON";
constexpr char kAppType[] = "DB2";
constexpr char kInstanceList[] = "INSTANCE_LIST";
constexpr int kTrace = 16;
constexpr std::size_t kNodesLineMax = 4096;
constexpr std::size_t kNodesFileMax = 1u << 20;
constexpr std::size_t kLinkMax = 1023;

enum KeywordId : int {
  kKwDebug = 1,
  kKwHelp,
  kKwVersion,
  kKwObjs0,
  kKwObjs1,
  kKwApp,
  kKwConfig,
  kKwEConfig,
  kKwChkConf,
};

constexpr CliKeyword kKeywords[] = {
    {kKwDebug, "debug", 0},   {kKwHelp, "help", 0},       {kKwVersion, "ver[sion", 0},
    {kKwObjs0, "objs0", 0},   {kKwObjs1, "objs1", 0},     {kKwApp, "app", 0},
    {kKwConfig, "config", 0}, {kKwEConfig, "econfig", 0}, {kKwChkConf, "chkconf", 0},
};

enum class Read { kFound, kMissing, kFailed };

// Reads the DB2 configuration `name` for this host. Only a configuration the
// cell server says it does not have is kMissing; any other failure (no
// cell-server host, a lost connection, an unparsable text) is kFailed, so
// that callers never replace what they could not read.
Read ReadConfig(const char* name, std::string& cellServer, BpList* out) {
  Db2HeapText host;
  if (CliReadCSHost(&host.p) != 0) {
    DbgPlain(kDbgUnexpected, "[ReadConfig] CliReadCSHost failed with error %d", ErhErrno());
    return Read::kFailed;
  }
  cellServer = host.p;
  ErhClearError();
  const int rc = BU_GetConfig(host.p, cmnHostname, kAppType, name, out);
  if (rc == kBuOk) return Read::kFound;
  if (rc == kBuCellServer && ErhErrno() == ERH_CSA_ITEM) {
    ErhClearError();
    return Read::kMissing;
  }
  DbgPlain(kDbgUnexpected, "[ReadConfig] Reading the configuration %s failed: %d (error %d)", name,
           rc, ErhErrno());
  return Read::kFailed;
}

// Values of an option: the following arguments that do not begin with "-".
std::vector<std::string> ValuesAfter(int argc, const char* const* argv, int at, std::size_t max) {
  std::vector<std::string> values;
  for (int i = at + 1; i < argc && values.size() < max; ++i) {
    if (argv[i] == nullptr || argv[i][0] == '-') break;
    values.emplace_back(argv[i]);
  }
  return values;
}

int Missing(const char* what) {
  DbgPlain(kDbgUnexpected, "[OptParseOptions] Incorrect or missing %s", what);
  return kDb2BadOption;
}

// The word before the first blank of a blank-padded directory name, at most
// 8 characters.
std::string Alias(const char (&field)[8]) {
  std::string alias(field, strnlen(field, sizeof field));
  return alias.substr(0, alias.find(' '));
}

bool CheckSql(const char* what, const sqlca& ca) {
  return SqlInfoPrint2Debug(what, &ca, __LINE__, rcsId) == 0;
}

// The instance list, read or started empty; false when it could not be read.
bool ReadInstanceList(const char* fn, std::string& cellServer, BpList* list) {
  DbgPlain(kTrace, "[%s] Getting instance list from Cell Server \"%s\" with instance \"%s\"", fn,
           cellServer.c_str(), kInstanceList);
  switch (ReadConfig(kInstanceList, cellServer, list)) {
    case Read::kFound: return true;
    case Read::kFailed: return false;
    case Read::kMissing: break;
  }
  DbgPlain(kTrace, "[%s] Can not get instance list from Cell Server \"%s\" with instance \"%s\"",
           fn, cellServer.c_str(), kInstanceList);
  DbgPlain(kTrace, "[%s] Initializing instance list", fn);
  return BP_InitAsList(list) == kBpOk;
}

}  // namespace

HeronOptions& HeronOpts() {
  static HeronOptions options;
  return options;
}

void OptReset() {
  HeronOpts() = HeronOptions{};
}

void OptFree() {
  // The password must not outlive the run in freed memory.
  std::string& password = HeronOpts().password;
  std::fill(password.begin(), password.end(), '\0');
  OptReset();
}

void OptParseDebugArgs(int argc, const char* const* argv) {
  HeronOptions& o = HeronOpts();
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr || std::strcmp(argv[i], "-debug") != 0) continue;
    const std::vector<std::string> words = ValuesAfter(argc, argv, i, 3);
    if (words.empty()) return;
    o.debugRanges = words[0];
    o.debugPostfix = words.size() > 1 ? words[1] : "";
    o.debugSelect = words.size() > 2 ? words[2] : "";
    const std::string setting =
        "VEKOPTS=-debug " + o.debugRanges + " " + o.debugPostfix + " " + o.debugSelect;
    PutEnv(setting.c_str());
    return;
  }
  // VEKOPTS carries the integration's other options too: "-debug" may stand
  // anywhere among them.
  DebugOpts found{};
  if (VEK_DebugOptsFromStr(&found, GetEnv("VEKOPTS")) != 1) return;
  o.debugRanges = found.ranges;
  o.debugPostfix = found.postfix;
  o.debugSelect = found.select;
}

void PrintUsage() {
  std::printf("%s", NlsGetFormat(kDb2MsgSet, kDb2MsgUsage));
}

void PrintVersion() {
  char buffer[256];
  std::printf("%s\n", MakeVersionString(255, buffer));
}

int OptParseOptions(int argc, const char* const* argv) {
  static const char kFn[] = "OptParseOptions";
  HeronOptions& o = HeronOpts();
  if (argc < 2) {
    PrintUsage();
    return kHeronPrintedOnly;
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr || argv[i][0] != '-') continue;
    const int id = CliKwLookup(argv[i] + 1, kKeywords, std::size(kKeywords), nullptr);
    std::vector<std::string> v = ValuesAfter(argc, argv, i, 4);
    switch (id) {
      case kKwDebug: i += static_cast<int>(std::min<std::size_t>(v.size(), 3)); break;
      case kKwVersion: PrintVersion(); return kHeronPrintedOnly;
      case kKwObjs0:
        if (v.empty()) return Missing("instance name");
        o.instance = v[0];
        o.action = kHeronPrintDatabases;
        break;
      case kKwObjs1:
        if (v.empty()) return Missing("instance name");
        if (v.size() < 2) return Missing("database name");
        o.instance = v[0];
        o.database = v[1];
        o.action = kHeronPrintTablespaces;
        break;
      case kKwApp: o.action = kHeronPrintInstances; break;
      case kKwChkConf:
        if (v.empty()) return Missing("instance name");
        o.instance = v[0];
        o.action = kHeronCheckConfig;
        break;
      case kKwConfig:
      case kKwEConfig: {
        if (v.empty()) return Missing("instance name");
        if (v.size() < 2) return Missing("username");
        if (v.size() < 3) return Missing("password");
        o.instance = v[0];
        o.user = v[1];
        if (id == kKwEConfig) {
          Db2HeapText decoded(DecodePassword(v[2].c_str()));
          o.password = decoded.p != nullptr ? decoded.p : "";
        } else {
          o.password = v[2];
        }
        std::fill(v[2].begin(), v[2].end(), '\0');
        o.eee = v.size() > 3 && (id == kKwConfig || !v[3].empty());
        if (o.eee) o.home = v[3];
        DbgPlain(
            kTrace,
            o.eee ? "[%s] It is db2 eee configuration" : "[%s] It is not db2 eee configuration",
            kFn);
        o.action = kHeronConfig;
        break;
      }
      default:
        DbgPlain(kDbgUnexpected, "[%s] Unrecognised option", kFn);
        PrintUsage();
        return kHeronPrintedOnly;
    }
  }
  return 0;
}

int main_init(int argc, const char* const* argv) {
  static const char kFn[] = "main_init";
  CmnSetProgname(kProgram);
  OptReset();
  HeronOptions& o = HeronOpts();
  o.programName = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  OptParseDebugArgs(argc, argv);
  auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  if (CmnInit(kProgram, nullptr, orNull(o.debugPostfix), orNull(o.debugRanges),
              orNull(o.debugSelect), 0) < 0)
    return kDb2Environment;
  DbgPlain(6, "======================");
  DbgPlain(6, "Command argument list:");
  for (int i = 0; i < argc; ++i) {
    // The password of "config" and "econfig" is not traced.
    const bool secret =
        i >= 4 && argv[i - 3] != nullptr && argv[i - 3][0] == '-' &&
        CliKwLookup(argv[i - 3] + 1, kKeywords, std::size(kKeywords), nullptr) >= kKwConfig &&
        CliKwLookup(argv[i - 3] + 1, kKeywords, std::size(kKeywords), nullptr) <= kKwEConfig;
    DbgPlain(6, "arg(%d): \"%s\"", i, secret ? kBuMasked : argv[i]);
  }
  DbgPlain(6, "======================");
  const char* vekopts = GetEnv("VEKOPTS");
  DbgPlain(6, "[%s] Debugging options are: %s", kFn, vekopts != nullptr ? vekopts : "");
  const int parsed = OptParseOptions(argc, argv);
  if (parsed != 0) return parsed;
  IpcInit();
  Db2HeapText cellServer;
  if (CliReadCSHost(&cellServer.p) != 0) {
    const int code = ErhErrno() != 0 ? ErhErrno() : ERH_NO_CS_HOST;
    DbgPlain(kDbgUnexpected, "[%s] CliReadCSHost failed with error %d", kFn, code);
    return code;
  }
  CsaSetEmbedded(1);
  if (MCsaInit(cellServer.p) != 0) {
    const int code = ErhErrno() != 0 ? ErhErrno() : ERH_CSA_CONNECT;
    DbgPlain(kDbgUnexpected, "[%s] CsaInit failed with error %d", kFn, code);
    return code;
  }
  VEK_SetHostname(GetEnv("VEKBARHOSTNAME"));
  return 0;
}

std::string RetvalLine(int code) {
  std::string line = "*RETVAL*" + std::to_string(code) + "\n";
  const char* text = DB2MessageBufferGet();
  if (text != nullptr && text[0] != '\0') line += std::string(text) + "\n";
  return line;
}

void PrintRetval(int code) {
  const std::string line = RetvalLine(code);
  std::fwrite(line.data(), 1, line.size(), stdout);
}

int HeronMain(int argc, const char* const* argv) {
  static const char kFn[] = "main";
  int code = main_init(argc, argv);
  if (code > 0) DbgPlain(kDbgUnexpected, "[%s] Initialization failed. Exiting.", kFn);
  if (code == 0) {
    switch (HeronOpts().action) {
      case kHeronPrintDatabases: code = PrintDatabases(); break;
      case kHeronPrintTablespaces: code = PrintTablespaces(); break;
      case kHeronPrintInstances: code = PrintInstances(); break;
      case kHeronConfig: code = Config(); break;
      case kHeronCheckConfig: code = CheckConfig(); break;
      default: break;
    }
  }
  if (code != kHeronPrintedOnly) {
    PrintRetval(code);
    DbgPlain(kTrace, "[%s] heron exiting with the code %d", kFn, code);
  }
  std::fflush(stdout);
  if (CsaIsInitialized()) CsaExit();
  IpcExit();
  CmnExit();
  OptFree();
  return 0;
}

// ---- actions

int GetDBList(std::vector<std::string>& aliases) {
  static const char kFn[] = "GetDBList";
  aliases.clear();
  sqlca ca{};
  std::uint16_t handle = 0, count = 0;
  sqledosd_api("", &handle, &count, &ca);
  if (ca.sqlcode == kSqlDirEmptyError || ca.sqlcode == kSqlDirEmpty) {
    DbgPlain(kDbgUnexpected, "[%s] Database directory is empty", kFn);
    return kDb2DirectoryEmpty;
  }
  if (!CheckSql("sqledosd - open db directory scan", ca)) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get database directory. Return %d", kFn, ca.sqlcode);
    return kDb2DirectoryUnreadable;
  }
  int result = kDb2Ok;
  for (std::uint16_t i = 0; i < count; ++i) {
    sqledinfo* entry = nullptr;
    sqledgne_api(handle, &entry, &ca);
    if (!CheckSql("sqledgne - get next db entry", ca) || entry == nullptr) {
      DbgPlain(kDbgUnexpected, "[%s] Can't get database directory", kFn);
      result = kDb2DirectoryUnreadable;
      break;
    }
    if (entry->type != '0') continue;
    aliases.push_back(Alias(entry->alias));
    DbgPlain(kTrace, "DB %s is added into list", aliases.back().c_str());
  }
  // The scan is closed on every path, also after a failed entry.
  sqledcls_api(handle, &ca);
  if (!CheckSql("sqledcls - close db directory scan", ca)) result = kDb2DirectoryUnreadable;
  return result;
}

int PrintDatabases() {
  if (GetCfgAndAttach(HeronOpts().instance.c_str()) != 0) return kDb2CliOther;
  std::vector<std::string> aliases;
  const int rc = GetDBList(aliases);
  if (rc != kDb2Ok) return rc;
  for (const auto& a : aliases) std::printf("%s\n", a.c_str());
  return kDb2Ok;
}

int PrintTablespaces() {
  const HeronOptions& o = HeronOpts();
  if (GetCfgAndAttach(o.instance.c_str()) != 0) return kDb2CliOther;
  int count = 0;
  char** names = nullptr;
  const int rc =
      GetTablespacesListOnHost(o.database.c_str(), &count, &names, o.instance.c_str(), cmnHostname);
  for (int i = 0; i < count; ++i) std::printf("%s\n", names[i]);
  FreeTablespaceNames(names, count);
  return rc;
}

void PrintInstance(const char* instance) {
  static const char kFn[] = "PrintInstance";
  std::string cellServer;
  Db2List config;
  if (ReadConfig(instance, cellServer, &config.v) != Read::kFound) {
    DbgPlain(kDbgUnexpected, "[%s] Getting configuration for intstance %s failed", kFn, instance);
    return;
  }
  const char* user = BP_GetStr(config.v, "Username");
  const char* password = BP_GetStr(config.v, "Password");
  if (user == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get username from the configuration", kFn);
    return;
  }
  if (password == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get password from the configuration", kFn);
    return;
  }
  // The caller's answer carries the password as stored; it goes to standard
  // output only, never to a trace.
  std::printf("%s %s", user, password);
}

int PrintInstances() {
  static const char kFn[] = "PrintInstances";
  std::string cellServer;
  Db2List list;
  // Only a list the cell server does not have is an empty one.
  if (!ReadInstanceList(kFn, cellServer, &list.v)) return kDb2NoConfig;
  CmnVar* names = nullptr;
  if (BP_GetStrListByName(list.v, kInstanceList, &names) != kBpOk) return kDb2Ok;
  const int count = BP_StrListCount(*names);
  for (int i = 0; i < count; ++i) {
    const char* name = BP_StrListAt(*names, i);
    if (name == nullptr) continue;
    std::printf("%s ", name);
    PrintInstance(name);
    std::printf("\n");
  }
  return kDb2Ok;
}

int CheckConfig() {
  return GetCfgAndAttach(HeronOpts().instance.c_str()) == 0 ? kDb2Ok : kDb2CliOther;
}

int FindVersion(std::string& version) {
  static const char kFn[] = "FindVersion";
  version.clear();
  const std::string& name = HeronOpts().programName;
  const std::size_t at = name.find("heron_");
  if (at == std::string::npos) {
    DbgPlain(kDbgUnexpected, "[%s] Cannot find version of %s", kFn, name.c_str());
    return kDb2DirectoryUnreadable;
  }
  const std::string tmp = name.substr(at + 6);
  DbgPlain(kTrace, "[%s] tmp=%s", kFn, tmp.c_str());
  if (tmp.rfind("64bit", 0) == 0) {
    DbgPlain(kTrace, "[%s] DBMS is 64 bit!", kFn);
    version = "64bit";
  } else if (tmp.rfind("32bit", 0) == 0) {
    DbgPlain(kTrace, "[%s] DBMS is 32 bit!", kFn);
    version = "32bit";
  } else {
    DbgPlain(kDbgUnexpected, "[%s] Cannot find version of %s", kFn, name.c_str());
  }
  return kDb2Ok;
}

bool ParseNodesLine(std::string_view line, int& node, std::string& host) {
  std::size_t digits = 0;
  while (digits < line.size() && digits < 4 && line[digits] >= '0' && line[digits] <= '9') ++digits;
  const std::size_t blank = line.find(' ');
  // No number, one too long for a partition, or no blank before the host.
  if (digits == 0 || blank == std::string_view::npos || blank < digits) return false;
  node = 0;
  for (std::size_t i = 0; i < digits; ++i) node = node * 10 + (line[i] - '0');
  if (node > 999) return false;
  std::size_t start = blank;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  std::size_t end = start;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
  if (end == start || end - start >= kCmnHostNameSize) return false;
  host.assign(line.substr(start, end - start));
  return true;
}

std::vector<std::pair<int, std::string>> ParseNodesFile(std::string_view text) {
  std::vector<std::pair<int, std::string>> nodes;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    DbgPlain(kTrace, "Read %.*s", static_cast<int>(std::min(line.size(), kNodesLineMax)),
             line.data());
    int node = 0;
    std::string host;
    if (line.size() <= kNodesLineMax && ParseNodesLine(line, node, host))
      nodes.emplace_back(node, std::move(host));
    at = end + 1;
  }
  return nodes;
}

int AddNodesIntoConfig(BpList* config, const std::string& home) {
  static const char kFn[] = "AddNodesIntoConfig";
  const std::string path = home + "/sqllib/db2nodes.cfg";
  // The file is read whole, so its size is checked first.
  struct stat st {};
  std::size_t size = 0;
  Db2HeapText text;
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) <= kNodesFileMax)
    text.p = CmnGetFile(path.c_str(), &size);
  if (text.p == nullptr || size > kNodesFileMax) {
    DbgPlain(kDbgUnexpected, "[%s] Can not open file %s", kFn, path.c_str());
    return -1;
  }
  DbgPlain(kTrace, "[%s] Parsing file %s", kFn, path.c_str());
  BP_RemoveOptByName(config, "DB2_NODES");
  CmnVar* nodes = nullptr;
  if (BP_AddList(config, "DB2_NODES", &nodes) != kBpOk || nodes == nullptr) return -1;
  for (auto& [node, host] : ParseNodesFile(std::string_view(text.p, size))) {
    const char* expanded = CmnExpandHostname(host.c_str());
    const std::string name = expanded != nullptr ? expanded : host;
    DbgPlain(kTrace, "[%s] NODE NUMBER=%d\tHOSTNAME=%s", kFn, node, name.c_str());
    if (BP_ChangeStr(nodes, std::to_string(node).c_str(), name.c_str()) != kBpOk) return -1;
  }
  return 0;
}

int LinkUserExit(const char* instance) {
  static const char kFn[] = "LinkUserExit";
  const passwd* owner = instance != nullptr ? ::getpwnam(instance) : nullptr;
  if (owner == nullptr || owner->pw_dir == nullptr || owner->pw_dir[0] == '\0') {
    DbgPlain(kDbgUnexpected, "[%s] No home directory for the instance user %s", kFn,
             instance != nullptr ? instance : "(null)");
    return kDb2NoHome;
  }
  const uid_t uid = owner->pw_uid;
  const gid_t gid = owner->pw_gid;
  const std::string target = std::string(cmnFenLBin) + "/plover";
  const std::string link = std::string(owner->pw_dir) + "/sqllib/adm/db2uext2";
  struct stat st {};
  const int rc = ::lstat(link.c_str(), &st);
  const int err = errno;
  if (rc != 0 && err != ENOENT) {
    DbgPlain(kDbgUnexpected, "[%s] lstat(%s) failed with error [%d] %s", kFn, link.c_str(), err,
             std::strerror(err));
    return kDb2NoHome;
  }
  DbgPlain(kTrace, "[%s] lstat(%s) returned %d, errno = %d", kFn, link.c_str(), rc,
           rc != 0 ? err : 0);
  if (rc != 0) {
    DbgPlain(kTrace, "[%s] File %s not found. Creating symbolic link", kFn, link.c_str());
  } else {
    DbgPlain(kTrace, "[%s] Found file %s of type %d", kFn, link.c_str(),
             static_cast<int>(st.st_mode & S_IFMT));
    const bool isLink = S_ISLNK(st.st_mode);
    if (isLink) {
      DbgPlain(kTrace, "[%s] Which is a symbolic link", kFn);
      char buffer[kLinkMax + 1];
      const ssize_t n = ::readlink(link.c_str(), buffer, kLinkMax);
      if (n < 0) {
        DbgPlain(kDbgUnexpected, "[%s] readlink(%s, %p) failed with error [%d] %s", kFn,
                 link.c_str(), static_cast<void*>(buffer), errno, std::strerror(errno));
        return kDb2NoHome;
      }
      buffer[n] = '\0';
      DbgPlain(kTrace, "[%s] Link %s -> %s", kFn, link.c_str(), buffer);
      if (target == buffer) {
        DbgPlain(kTrace, "[%s] Link %s -> %s exists. Nothing to do", kFn, link.c_str(), buffer);
        return kDb2Ok;
      }
    }
    const std::string aside = link + ".orig";
    struct stat orig {};
    if (::lstat(aside.c_str(), &orig) == 0) {
      // An earlier run moved the administrator's own user exit there. A
      // regular file here now cannot be moved aside without losing one of
      // the two; a link holds nothing but its target and is replaced.
      if (!isLink) {
        DbgPlain(kDbgUnexpected, "[%s] %s exists; %s is left as it is", kFn, aside.c_str(),
                 link.c_str());
        return kDb2MoveAsideFailed;
      }
      DbgPlain(kTrace, "[%s] %s exists; the link %s is replaced", kFn, aside.c_str(), link.c_str());
      if (VEK_DeleteFile(link.c_str()) != 0) {
        DbgPlain(kDbgUnexpected, "[%s] Can not remove %s: %s", kFn, link.c_str(),
                 std::strerror(errno));
        return kDb2MoveAsideFailed;
      }
    } else {
      DbgPlain(kTrace, "[%s] Renaming %s into %s", kFn, link.c_str(), aside.c_str());
      if (VEK_RenameFile(link.c_str(), aside.c_str()) != 0) {
        const int e = errno;
        DbgPlain(kDbgUnexpected, "[%s]: VEK_RenameFile('%s','%s') failed. Error code: %d. %s", kFn,
                 link.c_str(), aside.c_str(), e, std::strerror(e));
        return kDb2MoveAsideFailed;
      }
    }
  }
  DbgPlain(kTrace, "[%s] Creating link %s -> %s", kFn, link.c_str(), target.c_str());
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    const int e = errno;
    DbgPlain(kDbgUnexpected, "[%s]: symlink('%s','%s') failed. Error code: %d. %s", kFn,
             target.c_str(), link.c_str(), e, std::strerror(e));
    return kDb2LinkFailed;
  }
  if (::lchown(link.c_str(), uid, gid) != 0)
    DbgPlain(kDbgUnexpected, "[%s] lchown failed, error %d", kFn, errno);
  DbgPlain(kTrace, "[%s] Done!", kFn);
  return kDb2Ok;
}

int Config() {
  static const char kFn[] = "Config";
  const HeronOptions& o = HeronOpts();
  const char* instance = o.instance.c_str();
  std::string cellServer;
  Db2List config;
  switch (ReadConfig(instance, cellServer, &config.v)) {
    case Read::kFound: break;
    case Read::kFailed:
      // Writing a fresh configuration now would drop what other tools keep
      // in it (Environment, Redirection, USEREXIT_BARLISTS).
      DbgPlain(kDbgUnexpected, "[%s] Getting configuration for instance %s failed", kFn, instance);
      return kDb2NoConfig;
    case Read::kMissing:
      DbgPlain(kTrace,
               "[%s] Can not get instance list from Cell Server \"%s\" with instance \"%s\"", kFn,
               cellServer.c_str(), instance);
      DbgPlain(kTrace, "[%s] Initializing instance list", kFn);
      if (BP_InitAsList(&config.v) != kBpOk) return kDb2ConfigNotSet;
      break;
  }
  sqlca ca{};
  sqleatin_api(instance, o.user.c_str(), o.password.c_str(), &ca);
  if (!CheckSql("sqleatin - connecting to the database", ca))
    return ca.sqlcode == kSqlNotStarted ? kDb2NotStarted : kDb2EmptyCredentials;
  if (o.eee) {
    for (const std::string& path : {o.home, o.home + "/sqllib/db2nodes.cfg"}) {
      if (VEK_StatFile(path.c_str(), nullptr) != 0) {
        DbgPlain(kDbgUnexpected, "[%s] Can not stat %s", kFn, path.c_str());
        DbgPlain(kDbgUnexpected, "error: %s", std::strerror(errno));
        return kDb2HomeUnreadable;
      }
    }
  }
  if (BP_ChangeStr(&config.v, "Username", o.user.c_str()) != kBpOk) {
    DbgPlain(kDbgUnexpected, "[%s] Can not add username '%s' into the configuration", kFn,
             o.user.c_str());
    return kDb2ConfigNotSet;
  }
  Db2HeapText encoded(EncodePassword(o.password.c_str()));
  if (encoded.p == nullptr || BP_ChangeStr(&config.v, "Password", encoded.p) != kBpOk) {
    DbgPlain(kDbgUnexpected, "[%s] Can not add password '%s' into the configuration", kFn,
             kBuMasked);
    return kDb2ConfigNotSet;
  }
  std::string version;
  if (const int rc = FindVersion(version); rc != kDb2Ok) {
    DbgPlain(kDbgUnexpected, "[%s] Can not add version '%s' into the configuration. Retval %d", kFn,
             version.c_str(), rc);
    return rc;
  }
  // Without a bitness in the program name the stored version stays as it was.
  if (!version.empty() && BP_ChangeStr(&config.v, "Version", version.c_str()) != kBpOk) {
    DbgPlain(kDbgUnexpected, "[%s] Can not add version '%s' into the configuration", kFn,
             version.c_str());
    return kDb2ConfigNotSet;
  }
  if (o.eee) {
    if (BP_ChangeStr(&config.v, "DB2_HOME_DIR", o.home.c_str()) != kBpOk) {
      DbgPlain(kDbgUnexpected,
               "[%s] Can not add DB2 Home Directory '%s' into the DB2 EEE configuration", kFn,
               o.home.c_str());
      return kDb2ConfigNotSet;
    }
    if (AddNodesIntoConfig(&config.v, o.home) != 0) {
      DbgPlain(kDbgUnexpected,
               "[%s] Can not add information about nodes into the DB2 EEE configuration", kFn);
      return kDb2ConfigNotSet;
    }
  }
  if (BU_PutConfig(cellServer.c_str(), cmnHostname, kAppType, instance, config.v) != kBuOk) {
    DbgPlain(kDbgUnexpected,
             "[%s] Can not save configuration on the Cell Server \"%s\" for instance \"%s\"", kFn,
             cellServer.c_str(), instance);
    return kDb2ConfigNotSet;
  }
  DbgPlain(kTrace, "[%s] configuration stored successfully", kFn);

  Db2List list;
  if (!ReadInstanceList(kFn, cellServer, &list.v)) {
    DbgPlain(kDbgUnexpected,
             "[%s] Can not save instance list on the Cell Server \"%s\" with instance \"%s\"", kFn,
             cellServer.c_str(), kInstanceList);
    return kDb2ConfigNotSet;
  }
  CmnVar* names = nullptr;
  if (BP_GetStrListByName(list.v, kInstanceList, &names) != kBpOk) {
    DbgPlain(kTrace, "[%s] Can not get option %s from configuration", kFn, kInstanceList);
    if (BP_AddStrList(&list.v, kInstanceList, &names) != kBpOk) {
      DbgPlain(kDbgUnexpected, "[%s] Can not add option %s to configuration", kFn, kInstanceList);
      return kDb2ConfigNotSet;
    }
  }
  bool listed = false;
  for (int i = 0; i < BP_StrListCount(*names) && !listed; ++i) {
    const char* name = BP_StrListAt(*names, i);
    listed = name != nullptr && strcasecmp(name, instance) == 0;
  }
  if (!listed) {
    if (BP_ChangeStrListAdd(&list.v, kInstanceList, instance) != kBpOk) {
      DbgPlain(kDbgUnexpected, "[%s] Can not add string %s to list %s in configuration", kFn,
               instance, kInstanceList);
      return kDb2ConfigNotSet;
    }
    if (BU_PutConfig(cellServer.c_str(), cmnHostname, kAppType, kInstanceList, list.v) != kBuOk) {
      DbgPlain(kDbgUnexpected,
               "[%s] Can not save instance list on the Cell Server \"%s\" with instance \"%s\"",
               kFn, cellServer.c_str(), kInstanceList);
      return kDb2ConfigNotSet;
    }
  }
  DbgPlain(kTrace, "[%s] instance list stored successfully", kFn);
  return LinkUserExit(instance);
}

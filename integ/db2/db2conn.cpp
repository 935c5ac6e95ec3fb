// DB2 connections: attach with the stored credentials, CLI connects per
// partition, node and table-space lists, container checks and the reports of
// DB2 results.
#include "db2/db2conn.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "barutil/buconfig.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "cmn/vekfile.h"
#include "db2/db2common.h"
#include "db2/db2msg.h"
#include "db2/owned.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/db2conn.cpp");

namespace {

constexpr int kTrace = 30;
constexpr int kMessageMax = 1024;
constexpr int kDiagMessageMax = 1025;
constexpr int kLineWidth = 80;
constexpr std::size_t kInstanceMax = 255;
constexpr char kAppType[] = "DB2";
constexpr char kNodesSection[] = "DB2_NODES";

std::optional<std::string> messageText;

int Out(const char* fn, int rc) {
  DbgPlain(kTrace, "%s is exiting with return value %d", fn, rc);
  return rc;
}

const char* Show(const char* text) {
  return text != nullptr ? text : "(null)";
}

struct ReportStyle {
  const char* head[2];  // warning, error
  const char* prefix;   // before each field name
  const char* tail[2];
};

constexpr ReportStyle kAgentStyle = {
    {"\n---- warning report ----\n", "\n---- error report ----\n"},
    "",
    {"--- end warning report ---\n", "--- end error report ---\n"}};
constexpr ReportStyle kSharedStyle = {
    {"---- DB2 warning report ----\n", "---- DB2 error report ----\n"},
    "  ",
    {"--- DB2 end warning report ---", "--- DB2 end error report ---\n"}};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[kMessageMax];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// The report text of an sqlca in one of the two styles.
std::string BuildReport(const ReportStyle& style, bool error, const char* appMessage,
                        const sqlca& ca, int line, const char* file) {
  std::string text = style.head[error];
  text += Format("%sapp. message      = %s\n", style.prefix, Show(appMessage));
  text += Format("%sline              = %d\n", style.prefix, line);
  text += Format("%sfile              = %s\n", style.prefix, Show(file));
  text += Format("%sSQLCODE           = %d\n", style.prefix, ca.sqlcode);
  char buffer[kMessageMax];
  sqlca copy = ca;
  if (sqlaintp_api(buffer, sizeof buffer, kLineWidth, "db2sql.mo", &copy) > 0)
    text += std::string(buffer, strnlen(buffer, sizeof buffer)) + "\n";
  char state[sizeof ca.sqlstate];
  std::memcpy(state, ca.sqlstate, sizeof state);
  if (sqlogstt(buffer, sizeof buffer, kLineWidth, state) >= 0)
    text += std::string(buffer, strnlen(buffer, sizeof buffer)) + "\n";
  text += style.tail[error];
  return text;
}

void Report(int number, int severity, const std::string& text) {
  ErhFullReportPacked("DB2", severity, NlsPackMessage(kDb2MsgSet, number, text.c_str()));
}

// Reads the DB2 configuration `name` for this host: 0, 15012 when the cell
// server is not known, 15001 when it cannot be read.
int ReadConfig(const char* fn, const char* name, BpList* out) {
  Db2HeapText cellServer;
  const int rc = CliReadCSHost(&cellServer.p);
  if (rc != 0) {
    DbgPlain(kDbgUnexpected, "[%s] CliReadCSHost failed with error %d", fn, rc);
    return kDb2Environment;
  }
  if (BU_GetConfig(cellServer.p, cmnHostname, kAppType, name, out) != kBuOk) return kDb2NoConfig;
  return kDb2Ok;
}

// The partitions of "DB2_NODES", all or those on this machine.
int ReadNodes(const char* fn, const char* instance, int** nodes, bool onThisHost) {
  *nodes = nullptr;
  Db2List config;
  const int rc = ReadConfig(fn, instance, &config.v);
  if (rc != kDb2Ok) {
    if (rc == kDb2NoConfig)
      DbgPlain(kDbgUnexpected, "[%s] Getting configuration for intstance %s failed", fn,
               Show(instance));
    ErhClearError();
    return -1;
  }
  CmnVar* section = nullptr;
  if (BP_GetListByName(config.v, kNodesSection, &section) != kBpOk) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get  DB2_NODES section from the configuration", fn);
    return 0;
  }
  std::vector<int> kept;
  const int entries = CmnVarLength(*section);
  for (int i = 0; i < entries; ++i) {
    const char* key = CmnVarKey(*section, i);
    const char* host = nullptr;
    if (key == nullptr || BP_GetStrAt(*section, i, &host) != kBpOk) continue;
    char* end = nullptr;
    const long node = std::strtol(key, &end, 10);
    // The list comes from the cell server: a key that is no partition number
    // is skipped rather than read as partition 0.
    if (end == key || *end != '\0' || node < 0 || node > 999) {
      DbgPlain(kDbgUnexpected, "[%s] Entry %s of DB2_NODES is no partition number", fn, key);
      continue;
    }
    if (onThisHost) {
      const char* expanded = CmnExpandHostname(host);
      if (expanded == nullptr) expanded = host;
      if (std::strcmp(expanded, cmnHostname) != 0) {
        DbgPlain(kTrace, "[%s] Host %s is skipped", fn, host);
        continue;
      }
      DbgPlain(kTrace, "[%s] Node %d named %d is read on host %s", fn, static_cast<int>(node),
               static_cast<int>(node), host);
    } else {
      DbgPlain(kTrace, "[%s] Node %d named %d is read", fn, static_cast<int>(node),
               static_cast<int>(node));
    }
    kept.push_back(static_cast<int>(node));
  }
  if (!kept.empty()) {
    *nodes = static_cast<int*>(safe_malloc(kept.size() * sizeof(int), TARN_HERE));
    if (*nodes == nullptr) return -1;
    std::memcpy(*nodes, kept.data(), kept.size() * sizeof(int));
  }
  return static_cast<int>(kept.size());
}

// A table space's name: nameLen characters, never beyond the field.
std::string SpaceName(const SQLB_TBSPQRY_DATA& ts) {
  const std::size_t length = std::min<std::size_t>(ts.nameLen, sizeof ts.name);
  return std::string(ts.name, strnlen(ts.name, length));
}

// The union of the table-space names over `nodes`.
int UnionOfTablespaces(const char* fn, const char* database, const char* instance,
                       const std::vector<int>& nodes, int* count, char*** names) {
  int result = kDb2Ok;
  std::vector<std::string> seen;
  for (int node : nodes) {
    std::uint32_t n = 0;
    SQLB_TBSPQRY_DATA** list = nullptr;
    if (GetTablespacesListOnNode(database, &n, &list, node, instance) != kDb2Ok) {
      DbgPlain(kDbgUnexpected, "[%s] Can not get tablespaces on node %d for instance %s", fn, node,
               instance);
      result = kDb2SomeNodesUnlisted;
      continue;
    }
    for (std::uint32_t i = 0; i < n && list != nullptr; ++i) {
      const SQLB_TBSPQRY_DATA* ts = list[i];
      if (ts == nullptr) continue;
      std::string name = SpaceName(*ts);
      bool known = false;
      for (const auto& s : seen) known = known || s == name;
      if (!known) seen.push_back(std::move(name));
    }
    sqlca ca{};
    if (list != nullptr) sqlefmem_api(&ca, list);
  }
  *count = 0;
  *names = nullptr;
  if (!seen.empty()) {
    *names = static_cast<char**>(safe_calloc(seen.size(), sizeof(char*), TARN_HERE));
    if (*names == nullptr) return kDb2CliOther;
    for (const auto& s : seen) (*names)[(*count)++] = StrNewCopy(s.c_str());
  }
  return result;
}

}  // namespace

// ---- message text

const char* DB2MessageBuffer(int mode, const char* text) {
  switch (mode) {
    case 0: messageText = std::string(Show(text)); break;
    case 2: messageText.reset(); break;
    case 3:
      if (text != nullptr) messageText = messageText.value_or("") + text;
      break;
    default: break;
  }
  return messageText ? messageText->c_str() : nullptr;
}

const char* DB2MessageBufferGet() {
  return DB2MessageBuffer(1, nullptr);
}

void DB2MessageBufferAppend(const char* text) {
  DB2MessageBuffer(3, text);
}

// ---- reports

int VEKSqlInfoPrint(const char* appMessage, const sqlca* ca, int line, const char* file) {
  static const char kFn[] = "VEKSqlInfoPrint";
  if (ca == nullptr) return 0;
  const int code = ca->sqlcode;
  if (code == kSqlOk || code == kSqlNoData || code == kSqlContainerWarning || code == 2540)
    return 0;
  const bool error = code < 0 && code != -2066 && code != -2542;
  const std::string text = BuildReport(kAgentStyle, error, appMessage, *ca, line, file);
  if (error)
    Report(kDb2MsgError, kErhMajor, text);
  else
    Report(kDb2MsgWarning, kErhNormal, text);
  DbgPlain(kDbgUnexpected, "[%s] %s", kFn, text.c_str());
  return 0;
}

int SqlInfoPrint2Debug(const char* appMessage, const sqlca* ca, int line, const char* file) {
  static const char kFn[] = "SqlInfoPrint2Debug";
  if (ca == nullptr || ca->sqlcode == kSqlOk || ca->sqlcode == kSqlNoData) return 0;
  const bool error = ca->sqlcode < 0;
  const std::string text = BuildReport(kSharedStyle, error, appMessage, *ca, line, file);
  if (!error) {
    DbgPlain(16, "[%s] %s", kFn, text.c_str());
    Report(kDb2MsgWarning, kErhNormal, text);
    return 0;
  }
  DbgPlain(kDbgUnexpected, "[%s] %s", kFn, text.c_str());
  Report(kDb2MsgError, kErhMajor, text);
  return ca->sqlcode;
}

int HandleInfoPrint(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc, int line, const char* file) {
  int result = kDb2CliOther;
  switch (rc) {
    case SQL_SUCCESS:
    case SQL_SUCCESS_WITH_INFO:
    case SQL_STILL_EXECUTING:
    case SQL_NEED_DATA:
    case SQL_NO_DATA_FOUND: return kDb2Ok;
    case SQL_ERROR:
      DbgPlain(kDbgUnexpected, "--DB2 SQL ERROR--------------");
      result = kDb2CliError;
      break;
    case SQL_INVALID_HANDLE:
      DbgPlain(kDbgUnexpected, "-DB2 SQL INVALID HANDLE-----");
      result = kDb2CliInvalidHandle;
      break;
    default: DbgPlain(kDbgUnexpected, "--DB2 default----------------"); break;
  }
  DbgPlain(kDbgUnexpected, "  sqlrc             = %d", rc);
  DbgPlain(kDbgUnexpected, "  line              = %d", line);
  DbgPlain(kDbgUnexpected, "  file              = %s", Show(file));
  if (rc == SQL_ERROR) HandleDiagnosticsPrint(type, handle);
  return result;
}

void HandleDiagnosticsPrint(SQLSMALLINT type, SQLHANDLE handle) {
  std::string collected;
  for (SQLSMALLINT record = 1; record > 0; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[kDiagMessageMax] = {};
    SQLSMALLINT length = 0;
    if (SQLGetDiagRec(type, handle, record, state, &native, message, sizeof message, &length) !=
        SQL_SUCCESS)
      break;
    state[sizeof state - 1] = '\0';
    message[sizeof message - 1] = '\0';
    const char* text = reinterpret_cast<const char*>(message);
    if (native < 0) Report(kDb2MsgError, kErhMajor, text);
    DbgPlain(kDbgUnexpected, "  SQLSTATE          = %s", reinterpret_cast<const char*>(state));
    DbgPlain(kDbgUnexpected, "Native Error Code = %d", static_cast<int>(native));
    DbgPlain(kDbgUnexpected, "%s", text);
    if (!collected.empty()) collected += "\n";
    collected += text;
  }
  if (collected.empty()) return;
  DB2MessageBufferAppend(collected.c_str());
  Report(kDb2MsgError, kErhMajor, collected);
}

SQLRETURN FreeCliHandle(SQLSMALLINT type, SQLHANDLE handle, const char* typeName,
                        const char* function, int line) {
  if (handle == kCliNoHandle) return SQL_SUCCESS;
  const SQLRETURN rc = SQLFreeHandle(type, handle);
  if (rc == SQL_ERROR)
    DbgPlain(kDbgUnexpected, "[%s:%d] Can not free %s handle %d", Show(function), line,
             Show(typeName), handle);
  else if (rc == SQL_INVALID_HANDLE)
    DbgPlain(kDbgUnexpected, "[%s:%d] Handle %s %d is invalid", Show(function), line,
             Show(typeName), handle);
  return rc;
}

int CLIAppCleanUp(SQLHENV environment, const SQLHDBC* connections, int count) {
  static const char kFn[] = "CLIAppCleanUp";
  int result = kDb2Ok;
  for (int i = 0; connections != nullptr && i < count; ++i) {
    if (connections[i] == kCliNoHandle) continue;
    DbgPlain(16, "Disconnecting from the database nb. %d of %d", i + 1, count);
    const SQLRETURN rc = SQLDisconnect(connections[i]);
    if (rc == SQL_INVALID_HANDLE)
      DbgPlain(kDbgUnexpected, "[%s] Handle %d is invalid", kFn, connections[i]);
    else if (rc == SQL_ERROR)
      DbgPlain(kDbgUnexpected, "[%s] Can not disconnect from database", kFn);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO)
      result = HandleInfoPrint(SQL_HANDLE_DBC, connections[i], rc, __LINE__, rcsId);
    DbgPlain(16, "Disconnected from the database nb. %d of %d", i + 1, count);
  }
  for (int i = 0; connections != nullptr && i < count; ++i) {
    DbgPlain(16, "Freeing the connection handle nb. %d ...", i + 1);
    FreeCliHandle(SQL_HANDLE_DBC, connections[i], "SQL_HANDLE_DBC", kFn, __LINE__);
    DbgPlain(16, "The connection handle nb. %d is free.", i + 1);
  }
  DbgPlain(16, "Freeing the environment handle ...");
  FreeCliHandle(SQL_HANDLE_ENV, environment, "SQL_HANDLE_ENV", kFn, __LINE__);
  DbgPlain(16, "The environment handle is free.");
  return result;
}

// ---- attach and connect

int GetCfgAndAttach(const char* instance) {
  static const char kFn[] = "GetCfgAndAttach";
  if (instance == nullptr || instance[0] == '\0') {
    DbgPlain(kDbgUnexpected, "instance is not specified");
    return Out(kFn, kDb2NoConfig);
  }
  const std::string setting =
      "DB2INSTANCE=" + std::string(instance, strnlen(instance, kInstanceMax));
  if (PutEnv(setting.c_str()) != 0) {
    DbgPlain(kDbgUnexpected, "Can't put DB2INSTANCE into environment");
    return Out(kFn, kDb2Environment);
  }
  DbgPlain(6, "[%s] Variable DB2INSTANCE is set to %s", kFn, setting.c_str() + 12);
  Db2List config;
  if (const int rc = ReadConfig(kFn, instance, &config.v); rc != kDb2Ok) {
    if (rc == kDb2NoConfig)
      DbgPlain(kDbgUnexpected, "[%s] Getting configuration for instance %s failed", kFn, instance);
    return Out(kFn, rc);
  }
  InitDebugging(&config.v);
  const char* user = BP_GetStr(config.v, "Username");
  const char* encoded = BP_GetStr(config.v, "Password");
  if (user == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get username from the configuration", kFn);
    return Out(kFn, kDb2NoConfig);
  }
  if (encoded == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get password from the configuration", kFn);
    return Out(kFn, kDb2NoConfig);
  }
  Db2HeapText password;
  password.p = DecodePassword(encoded);
  if (user[0] == '\0' || password.p == nullptr || password.p[0] == '\0') {
    DbgPlain(kDbgUnexpected, "[%s] Username or password is empty", kFn);
    return Out(kFn, kDb2EmptyCredentials);
  }
  sqlca ca{};
  sqleatin_api(setting.c_str() + 12, user, password.p, &ca);
  int result = SqlInfoPrint2Debug("sqleatin - connecting to the database", &ca, __LINE__, rcsId);
  if (result != 0)
    DbgPlain(kDbgUnexpected, "[%s] Attaching to the instance %s failed with error %d", kFn,
             instance, result);
  ExportEnvVars(&config.v);
  return Out(kFn, result);
}

int AttachToNode(int node, const char* instance) {
  static const char kFn[] = "AttachToNode";
  DbgPlain(kTrace, "[%s] Attach to node %d instance %s", kFn, node, Show(instance));
  if (node < 0 || node > 0xFFFF) {
    DbgPlain(kDbgUnexpected, "[%s] Node %d is out of range", kFn, node);
    return Out(kFn, -1);
  }
  sqle_conn_setting settings[2] = {{SQL_CONNECT_NODE, static_cast<std::uint16_t>(node)},
                                   {SQL_ATTACH_NODE, static_cast<std::uint16_t>(node)}};
  sqlca ca{};
  sqlesetc_api(settings, 2, &ca);
  const int set = SqlInfoPrint2Debug("Set Connection Parameters", &ca, __LINE__, rcsId);
  // A refused setting leaves DB2 on the previous partition: nothing may run
  // for this one.
  if (set != 0) return Out(kFn, set);
  // The partition is set; an attach that fails now is traced by
  // GetCfgAndAttach and shows in the DB2 calls that follow.
  GetCfgAndAttach(instance);
  return Out(kFn, 0);
}

int DB2_ConnectToDB(const char* database, const char* instance, int node, SQLHDBC* connection,
                    SQLHENV* environment) {
  static const char kFn[] = "DB2_ConnectToDB";
  if (connection != nullptr) *connection = kCliNoHandle;
  if (environment != nullptr) *environment = kCliNoHandle;
  if (database == nullptr || connection == nullptr || environment == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] dbName=%p", kFn, static_cast<const void*>(database));
    return Out(kFn, -1);
  }
  if (const int rc = AttachToNode(node, instance); rc != 0) return Out(kFn, rc);
  SQLHENV env = kCliNoHandle;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    DbgPlain(kDbgUnexpected, "--ERROR while allocating the environment handle.");
    DbgPlain(kDbgUnexpected, "  sqlrc             = %d", rc);
    return Out(kFn, kDb2CliInvalidHandle);
  }
  SQLHDBC dbc = kCliNoHandle;
  rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    const int result = HandleInfoPrint(SQL_HANDLE_ENV, env, rc, __LINE__, rcsId);
    dbc = kCliNoHandle;
    CLIAppCleanUp(env, &dbc, 1);
    return Out(kFn, result != kDb2Ok ? result : kDb2CliOther);
  }
  SQLCHAR empty[] = "";
  std::string name(database);
  rc = SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS, empty, SQL_NTS, empty,
                  SQL_NTS);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    const int result = HandleInfoPrint(SQL_HANDLE_DBC, dbc, rc, __LINE__, rcsId);
    CLIAppCleanUp(env, &dbc, 1);
    return Out(kFn, result != kDb2Ok ? result : kDb2CliOther);
  }
  *connection = dbc;
  *environment = env;
  return Out(kFn, kDb2Ok);
}

// ---- nodes and table spaces

int GetTablespacesListOnNode(const char* database, std::uint32_t* count,
                             SQLB_TBSPQRY_DATA*** tableSpaces, int node, const char* instance) {
  static const char kFn[] = "GetTablespacesListOnNode";
  if (database == nullptr || count == nullptr || tableSpaces == nullptr || instance == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] dbName=%s,count =%p, instance= %s ", kFn, Show(database),
             static_cast<void*>(count), Show(instance));
    return Out(kFn, -1);
  }
  *count = 0;
  *tableSpaces = nullptr;
  SQLHDBC dbc = kCliNoHandle;
  SQLHENV env = kCliNoHandle;
  if (const int rc = DB2_ConnectToDB(database, instance, node, &dbc, &env); rc != kDb2Ok) {
    DbgPlain(kDbgUnexpected, "[%s] Cannot connect to database %s on node %d instance %s", kFn,
             database, node, instance);
    return Out(kFn, rc);
  }
  sqlca ca{};
  sqlbmtsq(&ca, count, tableSpaces, SQLB_RESERVED1, SQLB_RESERVED2);
  int result = kDb2Ok;
  SqlInfoPrint2Debug("TABLESPACE QUERY", &ca, __LINE__, rcsId);
  if (ca.sqlcode != 0) {
    DbgPlain(kDbgUnexpected, "[%s] Can not make Tablespace Query", kFn);
    if (*tableSpaces != nullptr) {
      sqlca freed{};
      sqlefmem_api(&freed, *tableSpaces);
    }
    *tableSpaces = nullptr;
    *count = 0;
    result = kDb2CliOther;
  }
  CLIAppCleanUp(env, &dbc, 1);
  return Out(kFn, result);
}

int GetNodes(const char* instance, int** nodes) {
  static const char kFn[] = "GetNodes";
  if (nodes == nullptr) return Out(kFn, -1);
  return Out(kFn, ReadNodes(kFn, instance, nodes, false));
}

int GetNodesOnHost(const char* instance, int** nodes, const char* /*host*/) {
  static const char kFn[] = "GetNodesOnHost";
  if (nodes == nullptr) return Out(kFn, -1);
  return Out(kFn, ReadNodes(kFn, instance, nodes, true));
}

std::string GetNodeHost(const char* instance, int node) {
  static const char kFn[] = "GetNodeHost";
  Db2List config;
  if (ReadConfig(kFn, instance, &config.v) != kDb2Ok) {
    ErhClearError();
    return {};
  }
  CmnVar* section = nullptr;
  const char* host = nullptr;
  if (BP_GetListByName(config.v, kNodesSection, &section) != kBpOk ||
      BP_GetStrByName(*section, std::to_string(node).c_str(), &host) != kBpOk || host == nullptr)
    return {};
  const char* expanded = CmnExpandHostname(host);
  return expanded != nullptr ? expanded : host;
}

void FreeNodeList(int* nodes) {
  if (nodes != nullptr) safe_free(nodes, TARN_HERE);
}

int GetTablespacesList(const char* database, int* count, char*** names, const char* instance) {
  static const char kFn[] = "GetTablespacesList";
  if (database == nullptr || count == nullptr || names == nullptr || instance == nullptr)
    return Out(kFn, -1);
  int* nodes = nullptr;
  const int n = GetNodes(instance, &nodes);
  if (n < 0) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get nodes for instance %s", kFn, instance);
    *count = 0;
    *names = nullptr;
    return Out(kFn, kDb2SomeNodesUnlisted);
  }
  std::vector<int> list(nodes, nodes + n);
  FreeNodeList(nodes);
  return Out(kFn, UnionOfTablespaces(kFn, database, instance, list, count, names));
}

int GetTablespacesListOnHost(const char* database, int* count, char*** names, const char* instance,
                             const char* host) {
  static const char kFn[] = "GetTablespacesListOnHost";
  if (database == nullptr || count == nullptr || names == nullptr || instance == nullptr)
    return Out(kFn, -1);
  int* nodes = nullptr;
  const int n = GetNodesOnHost(instance, &nodes, host);
  if (n < 0) {
    DbgPlain(kDbgUnexpected, "[%s] Can not get nodes for instance %s on host %s", kFn, instance,
             Show(host));
    *count = 0;
    *names = nullptr;
    return Out(kFn, kDb2SomeNodesUnlisted);
  }
  std::vector<int> list(nodes, nodes + n);
  FreeNodeList(nodes);
  if (list.empty()) {
    DbgPlain(kTrace, "[%s] nodes_number=0, list the tablespaces from node 0", kFn);
    list.push_back(0);
  }
  return Out(kFn, UnionOfTablespaces(kFn, database, instance, list, count, names));
}

void FreeTablespaceNames(char** names, int count) {
  if (names == nullptr) return;
  for (int i = 0; i < count; ++i)
    if (names[i] != nullptr) safe_free(names[i], TARN_HERE);
  safe_free(names, TARN_HERE);
}

int TestContainersOnNode(const char* database, int node, const char* instance, int* inaccessible) {
  static const char kFn[] = "TestContainersOnNode";
  if (inaccessible != nullptr) *inaccessible = 0;
  if (database == nullptr || instance == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] dbName=%s instance= %s ", kFn, Show(database), Show(instance));
    return Out(kFn, -1);
  }
  if (const int rc = AttachToNode(node, instance); rc != 0) return Out(kFn, rc);
  int result = kDb2Ok;
  SQLHENV env = kCliNoHandle;
  SQLHDBC dbc = kCliNoHandle;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    env = kCliNoHandle;
    DbgPlain(kDbgUnexpected, "--ERROR while allocating the environment handle.");
    DbgPlain(kDbgUnexpected, "  sqlrc             = %d", rc);
    return Out(kFn, kDb2CliInvalidHandle);
  }
  rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  bool connected = false;
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    dbc = kCliNoHandle;
    DbgPlain(kDbgUnexpected, "--ERROR while allocating the database connection handle.");
    DbgPlain(kDbgUnexpected, "  sqlrc             = %d", rc);
    result = kDb2CliInvalidHandle;
  } else {
    DbgPlain(kTrace, "[%s] Connecting to Database: %s", kFn, database);
    SQLCHAR empty[] = "";
    std::string name(database);
    rc = SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS, empty, SQL_NTS, empty,
                    SQL_NTS);
    connected = rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
    if (!connected) {
      DbgPlain(kDbgUnexpected,
               "[%s] SQLConnect failed, DB2 catalog table spaces might be in accessible", kFn);
      result = -1;
    }
  }
  if (connected) {
    sqlca ca{};
    std::uint32_t count = 0;
    SQLB_TBSPQRY_DATA** spaces = nullptr;
    sqlbmtsq(&ca, &count, &spaces, SQLB_RESERVED1, SQLB_RESERVED2);
    SqlInfoPrint2Debug("TABLESPACE QUERY", &ca, __LINE__, rcsId);
    if (ca.sqlcode != 0) {
      DbgPlain(kDbgUnexpected, "[%s] Can not make Tablespace Query", kFn);
      result = kDb2CliOther;
    } else {
      int missing = 0;
      for (std::uint32_t i = 0; i < count && spaces != nullptr; ++i) {
        if (spaces[i] == nullptr) continue;
        std::uint32_t n = 0;
        SQLB_TBSCONTQRY_DATA* containers = nullptr;
        sqlca cq{};
        sqlbtcq(&cq, spaces[i]->id, &n, &containers);
        SqlInfoPrint2Debug("CONTAINER QUERY", &cq, __LINE__, rcsId);
        // Containers that could not be queried are not known to be there.
        if (cq.sqlcode < 0 || (containers == nullptr && n > 0)) {
          DbgPlain(kDbgUnexpected, "[%s] containers of table space %s are not known", kFn,
                   SpaceName(*spaces[i]).c_str());
          ++missing;
        }
        for (std::uint32_t c = 0; cq.sqlcode >= 0 && containers != nullptr && c < n; ++c) {
          const SQLB_TBSCONTQRY_DATA& cont = containers[c];
          const std::string path(cont.name, strnlen(cont.name, sizeof cont.name));
          DbgPlain(kTrace, "[%s] container: %s state is: %s ", kFn, path.c_str(),
                   cont.ok != 0 ? "Accessible" : "Not Accessible");
          if (cont.ok == 0) ++missing;
        }
        sqlca freed{};
        if (containers != nullptr) sqlefmem_api(&freed, containers);
      }
      if (inaccessible != nullptr) *inaccessible = missing;
      if (missing > 0) result = kDb2ContainersMissing;
    }
    sqlca freed{};
    if (spaces != nullptr) sqlefmem_api(&freed, spaces);
    DbgPlain(kTrace, "[%s] Disconnecting from Database: %s", kFn, database);
    rc = SQLDisconnect(dbc);
    if (rc == SQL_INVALID_HANDLE)
      DbgPlain(kDbgUnexpected, "[%s] Handle is invalid", kFn);
    else if (rc == SQL_ERROR)
      DbgPlain(kDbgUnexpected, "[%s] Can not disconnect from database", kFn);
  }
  DbgPlain(16, "Freeing the connection handle nb");
  FreeCliHandle(SQL_HANDLE_DBC, dbc, "SQL_HANDLE_DBC", kFn, __LINE__);
  DbgPlain(16, "[%s]Freeing the environment handle ...", kFn);
  FreeCliHandle(SQL_HANDLE_ENV, env, "SQL_HANDLE_ENV", kFn, __LINE__);
  return Out(kFn, result);
}

// The user exit's main flow: DB2's arguments, the integration context, the
// host name it acts as, the instance's configuration, the request, and the
// summary line in db2.log.
#include "plover/uexit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bar2/barbackup.h"
#include "barutil/bp.h"
#include "barutil/buconfig.h"
#include "barutil/vekhost.h"
#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "db2/db2common.h"
#include "gen_parser/genparser.h"
#include "plover/archlog.h"

TARN_RCSID("integ/db2/plover/uexit.cpp");

namespace {

constexpr int kLevel = 6;
constexpr int kLevelSummary = 36;
constexpr char kProgram[] = "PLOVER";
constexpr int kCellInfoFile = 0;
constexpr int kCellFormatGroup = 5;
constexpr char kCellFormatName[] = "cell/cell_format";
// What cmnHostname holds whole.
constexpr std::size_t kHostMax = kCmnHostNameSize - 1;
constexpr std::size_t kVersionMax = 255;

enum Key { kOs, kRl, kRq, kDb, kNn, kLp, kLn, kVersion };
constexpr CliKeyword kKeys[] = {{kOs, "os", 0}, {kRl, "rl", 0}, {kRq, "rq", 0},
                                {kDb, "db", 0}, {kNn, "nn", 0}, {kLp, "lp", 0},
                                {kLn, "ln", 0}, {kVersion, "ver[sion", 0}};
constexpr int kKeyRows = static_cast<int>(std::size(kKeys));

const char* Text(const char* s) {
  return s != nullptr ? s : "";
}

struct SafeFree {
  void operator()(void* p) const { safe_free(p, TARN_HERE); }
};

// The configuration list of BU_GetConfig, released on every path.
class Config {
 public:
  Config() = default;
  ~Config() { CmnVarFree(&list_); }
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
  BpList* get() { return &list_; }

 private:
  BpList list_{};
};

}  // namespace

UE_Options UE_ParseOpts(int argc, const char* const* argv) {
  UE_Options o;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || arg[0] != '-') continue;
    if (CliKwLookup(arg + 1, kKeys, kKeyRows, nullptr) == kVersion) {
      o.version = true;
      return o;
    }
    // DB2 writes the value straight behind its two-letter key.
    if (std::strlen(arg) < 3) continue;
    const char key[3] = {arg[1], arg[2], '\0'};
    const char* value = arg + 3;
    switch (CliKwLookup(key, kKeys, kKeyRows, nullptr)) {
      case kOs: o.os = value; DbgPlain(kLevel, "OS = %s", value); break;
      case kRl: o.rl = value; DbgPlain(kLevel, "RL = %s", value); break;
      case kRq:
        o.rq = std::strncmp(value, "ARCHIVE", 7) == 0    ? kUeArchive
               : std::strncmp(value, "RETRIEVE", 8) == 0 ? kUeRetrieve
                                                         : kUeOtherRequest;
        DbgPlain(kLevel, "RQ = %d", o.rq);
        break;
      case kDb: o.db = value; DbgPlain(kLevel, "DB = %s", value); break;
      case kNn: o.nn = value; DbgPlain(kLevel, "NN = %s", value); break;
      case kLp: o.lp = value; DbgPlain(kLevel, "LP = %s", value); break;
      case kLn: o.ln = value; DbgPlain(kLevel, "LN = %s", value); break;
      default: break;
    }
  }
  return o;
}

bool configFileIsFound(const char* host, const char* instance) {
  static const char kFn[] = "configFileIsFound";
  const char* cellServer = VEK_CellServer();
  if (cellServer == nullptr || *cellServer == '\0') {
    DbgPlain(kDbgUnexpected, "[%s] Unable to get CS host", kFn);
    return false;
  }
  Config config;
  if (BU_GetConfig(cellServer, host, "DB2", instance, config.get()) != 0) return false;
  DbgPlain(kLevel, "[%s] configuration file fot virtual host %s and instance %s if found", kFn,
           Text(host), Text(instance));
  return true;
}

std::optional<std::vector<std::string>> VirtualServersOf(const char* format,
                                                         const char* description,
                                                         const char* hostname) {
  static const char kFn[] = "GetVSArray";
  std::unique_ptr<ParserList, void (*)(ParserList*)> list(PLParse(format, description), PLFree);
  if (!list) {
    DbgPlain(kDbgUnexpected, "[%s] Unable to parse received buffer.", kFn);
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const PLNode* line = list->first; line != nullptr; line = line->nextLine) {
    const char* host = PLGetValue(line, "host");
    if (host == nullptr || std::strcmp(host, Text(hostname)) != 0) continue;
    const char* name = PLGetValue(line, "virtual");
    if (name == nullptr) name = PLGetValue(line, "clus");
    if (name == nullptr || *name == '\0') continue;
    names.emplace_back(name);
  }
  return names;
}

std::optional<std::vector<std::string>> GetVSArray() {
  static const char kFn[] = "GetVSArray";
  const char* cellServer = VEK_CellServer();
  if (cellServer == nullptr || *cellServer == '\0') {
    DbgPlain(kDbgUnexpected, "[%s] Unable to get CS host", kFn);
    return std::nullopt;
  }
  // Binds a slot of the client the integration context runs, or starts the
  // client, which binds the cell server as it starts.
  const bool clientRunning = CsaIsInitialized() != 0;
  BuCsaState csa;
  if (BU_CsaInit(&csa, cellServer) != 0) {
    if (clientRunning)
      DbgPlain(kDbgUnexpected, "[%s] Unable to bind CS host", kFn);
    else
      DbgPlain(kDbgUnexpected, "[%s] Unable to init CSA", kFn);
    return std::nullopt;
  }
  char* description = nullptr;
  char* format = nullptr;
  std::optional<std::vector<std::string>> names;
  if (MCsaGetSingleFile(csa.slot, kCellInfoFile, &description, 0) != 0 || description == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Unable to read cell info file.", kFn);
  } else if (MCsaGetCustomFile(csa.slot, kCellFormatGroup, kCellFormatName, &format) != 0 ||
             format == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] Unable to read cell format file.", kFn);
  } else {
    names = VirtualServersOf(format, description, cmnHostname);
  }
  safe_free(description, TARN_HERE);
  safe_free(format, TARN_HERE);
  BU_CsaExit(&csa);
  return names;
}

std::string GetVirtualServerName(const char* instance) {
  const auto names = GetVSArray();
  if (!names) return {};
  for (const std::string& name : *names)
    if (configFileIsFound(name.c_str(), instance)) return name;
  return {};
}

int UE_Main(int argc, const char* const* argv) {
  CmnSetProgname(kProgram);
  const char* fromEnv = std::getenv("DB2INSTANCE");
  const std::string instance = fromEnv != nullptr ? fromEnv : "DB2";
  const UE_Options o = UE_ParseOpts(argc > 0 ? argc - 1 : 0, argv + (argc > 0 ? 1 : 0));
  if (o.version) {
    char version[kVersionMax + 1] = {};
    MakeVersionString(sizeof version, version);
    std::printf("%s\n", version);
    return kUeOk;
  }
  BarContext* ctx = nullptr;
  if (VEK_Init("DB2", instance.c_str(), kProgram, 0, &ctx) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_Init failed for instance %s!", instance.c_str());
    DbgLogPlain(kUeLog, "VEK_Init failed for instance %s!", instance.c_str());
    return kUeSoftwareError;
  }
  const char* barHost = std::getenv("VEKBARHOSTNAME");
  if (barHost != nullptr && *barHost != '\0') {
    // A cut name files the log under another host, where a retrieval after a
    // failover never finds it.
    const std::size_t given = std::strlen(barHost);
    const char* full = given <= kHostMax ? VEK_ExpandHostname(barHost) : nullptr;
    if (full == nullptr || std::strlen(full) > kHostMax) {
      DbgPlain(kDbgUnexpected, "VEKBARHOSTNAME of %zu characters does not fit a host name of %zu",
               given, kHostMax);
      DbgLogPlain(kUeLog, "VEKBARHOSTNAME of %zu characters is longer than a host name (%zu)",
                  given, kHostMax);
      VEK_Exit(ctx);
      return kUeSoftwareError;
    }
    const std::string name = full;  // `full` is the area VEK_SetHostname expands into
    VEK_SetHostname(name.c_str());
    DbgPlain(kLevel, "VEKBARHOSTNAME variable is set to %s, using it as the hostname", cmnHostname);
  } else if (const std::string vs = GetVirtualServerName(instance.c_str()); !vs.empty()) {
    VEK_SetHostname(vs.c_str());
    DbgPlain(kLevel, "cmnHostname is set to %s", cmnHostname);
  }
  DbgPlain(kLevelSummary, "DB2INSTANCE=%s", instance.c_str());

  // Without the configuration nothing was archived or retrieved: DB2 must
  // not take that for success.
  int code = kUeSoftwareError;
  Config config;
  const char* cellServer = VEK_CellServer();
  if (cellServer == nullptr || *cellServer == '\0') {
    DbgPlain(kDbgUnexpected, "[%s] CliReadCSHost() failed with error [%d] %s", kProgram,
             ErhErrno(), ErhErrnoToText());
  } else if (const int rc =
                 BU_GetConfig(cellServer, cmnHostname, "DB2", instance.c_str(), config.get());
             rc != 0) {
    DbgPlain(kDbgUnexpected, "[%s] BU_GetConfig(%s, %s, DB2, %s, config) failed with error [%d] %s",
             kProgram, cellServer, cmnHostname, instance.c_str(), rc, ErhErrnoToText());
    DbgLogPlain(kUeLog, "Cannot read the configuration of instance %s from %s", instance.c_str(),
                cellServer);
  } else {
    InitDebugging(config.get());
    const std::string path = o.lp + o.ln;
    if (path.size() > kUeLogPathMax || o.lp.empty() || o.ln.empty() ||
        o.ln.find('/') != std::string::npos) {
      DbgLogPlain(kUeLog, "Log path \"%s\" not usable", path.c_str());
    } else if (o.rq == kUeArchive) {
      code = UE_BackupFile(ctx, config.get(), instance.c_str(), o.db.c_str(), path.c_str());
    } else if (o.rq == kUeRetrieve) {
      code = UE_RestoreFile(ctx, instance.c_str(), o.db.c_str(), path.c_str(), nullptr, nullptr,
                            nullptr);
    } else {
      DbgLogPlain(kUeLog, "Got incorrect request");
    }
    const char* done = o.rq == kUeRetrieve ? "retrieved" : "archived";
    if (code == kUeOk) {
      DbgPlain(kLevelSummary, "Log %s for %s/%s %s successfully", path.c_str(), instance.c_str(),
               o.db.c_str(), done);
      DbgLogPlain(kUeLog, "Log %s for %s/%s %s successfully", path.c_str(), instance.c_str(),
                  o.db.c_str(), done);
    } else {
      DbgPlain(kLevelSummary, "Log %s for %s/%s %s with error %d", path.c_str(), instance.c_str(),
               o.db.c_str(), done, code);
      DbgLogPlain(kUeLog, "Log %s for %s/%s %s with error %d", path.c_str(), instance.c_str(),
                  o.db.c_str(), done, code);
    }
  }
  VEK_Exit(ctx);
  return code;
}

// End-to-end road of the DB2 integration: a stand-in DB2 instance with a
// database of two partitions is backed up by DB2's own backup call through
// the vendor library libwren (sessions per partition as asked, paced by the node
// semaphores the way the agent paces them) to the stand-in media agent, the
// data is changed, the image is restored and checked against the backed-up
// state, and the image is deleted. One line per step with bytes, sessions and
// throughput; exit 0 only when every step worked.
//
//   TARN_ROOT=<root> TARN_INET_PORT=<port> TARN_DB2_STATE=<state>
//     db2_road <installed libwren_32bit.so> [<MiB per partition>] [--sessions <n>]
//              [--network] [--peers <pid>[,<pid>...]]
//
// --sessions: sessions per partition (default 2). --network: the library
// sends through its network process (VEKBDANET and VEKRDANET in the vendor
// environment) even to an agent on this host. --peers: processes whose CPU
// time counts to the road (the media agent, the cell server). After the
// backup and the restore one "figures" line each gives the seconds, the
// road's CPU seconds and the stand-in DB2's own share of them, read from its
// calls log.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "barutil/bp.h"
#include "barutil/buconfig.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "db2/db2common.h"
#include "db2/nodesem.h"
#include "db2/sqladmin.h"
#include "db2/sqluv.h"
#include "db2/store.h"
#include "db2/util.h"
#include "db2/vendoropts.h"
#include "road_steps.h"
#include "task/task.h"
#include "xtra/passwd.h"

TARN_RCSID("e2e/db2_road.cpp");

namespace {

using road::Clock;
using road::failures;
using road::Format;
using road::Hex;
using road::kDatabase;
using road::kInstance;
using road::kMiB;
using road::kPartitions;
using road::kPassword;
using road::Seconds;
using road::Step;

constexpr char kUser[] = "db2inst1";
int sessions = 2;      // per partition
bool network = false;  // through the library's network process
std::vector<int> peers;
constexpr std::uint32_t kBufferPages = 64;  // 256 KiB per vendor call

// The record the agent hands to DB2 for the library: the variables that
// lead it to the cell server, the barlist, and for a backup the data tree.
std::string Options(bool backup) {
  const char* port = std::getenv("TARN_INET_PORT");
  VendorOptions o;
  o.variables = VendorOptionsVariables("db2_road", "-server 127.0.0.1") +
                "\nVEK_CELL_SERVER_HOSTNAME=127.0.0.1\nTARN_INET_PORT=" +
                std::string(port != nullptr ? port : "") +
                (network ? "\nVEKBDANET=1\nVEKRDANET=1" : "");
  o.barlist = "db2_road";
  o.hasTree = backup;
  if (backup) DataTreeAppend(&o.dataTree, kInstance, kDatabase);
  std::vector<std::uint8_t> record;
  if (VendorOptionsWrite(o, &record) != 0) return {};
  return std::string(record.begin(), record.end());
}

struct Credentials {
  std::string user, password;
};

// Attaches to the partition with the credentials the cell server keeps.
bool Attach(const Credentials& c, int node, sqlca* ca) {
  if (sqleatin_api(kInstance, c.user.c_str(), c.password.c_str(), ca) != 0) return false;
  sqle_conn_setting setting{SQL_ATTACH_NODE, static_cast<std::uint16_t>(node)};
  return sqlesetc_api(&setting, 1, ca) == 0;
}

// The media target DB2 is given: the vendor library, with `sessions` sessions.
struct VendorMedia {
  explicit VendorMedia(const std::string& library) {
    std::snprintf(vendor.shr_lib, sizeof vendor.shr_lib, "%s", library.c_str());
    list.media_type = SQLU_OTHER_MEDIA;
    list.sessions = sessions;
    list.target.vendor = &vendor;
  }
  VendorMedia(const VendorMedia&) = delete;
  VendorMedia& operator=(const VendorMedia&) = delete;
  sqlu_vendor vendor{};
  sqlu_media_list list{};
};

// Where a partition's backup leaves the timestamp DB2 gave its image: each
// partition's backup takes its own, so each partition is restored and
// deleted by its own.
std::string TimestampFile(int node) {
  return std::string(cmnFenTmp) + "/road.timestamp." + std::to_string(node);
}

// DB2's backup of one partition, as the agent's partition task runs it: the
// node's sets and its coordinator around DB2's backup call. Prints the
// partition's line; exits 0 on success.
int BackupPartition(const std::string& library, const Credentials& c, int node) {
  if (DB2NodeSemsCreate(node) != 0) return 2;
  BackupCoordinatorArg arg{node, sessions};
  Task coordinator{};
  TaskInit(&coordinator);
  if (TaskRun(&coordinator, BackupCoordinator, &arg, "BackupCoordinator") != 0) return 3;
  sqlca ca{};
  VendorMedia media(library);
  std::string options = Options(true);
  char applicationId[33] = {}, timestamp[16] = {};
  std::uint32_t mib = 0;
  const Clock::time_point start = Clock::now();
  int rc = 4;
  if (Attach(c, node, &ca)) {
    sqlubkp(kDatabase, kBufferPages, SQLUB_OFFLINE, 0, SQLUB_BACKUP, applicationId, timestamp, 2,
            nullptr, &media.list, c.user.c_str(), c.password.c_str(), nullptr,
            static_cast<std::uint32_t>(options.size()), options.data(), sessions, &mib, nullptr,
            nullptr, &ca);
    rc = ca.sqlcode == 0 ? 0 : 1;
  }
  const double s = Seconds(start);
  SemaphoreDelete(&arg);
  if (TaskWait(&coordinator, 0, -1) != 0 || coordinator.status != 0) rc = 5;
  Step(rc == 0, "backup of partition " + std::to_string(node) + ": " + std::to_string(sessions) +
                    " sessions, image " + std::to_string(mib) + " MiB" +
                    Format(" in %.2f s (%.1f MiB/s)", s, s > 0 ? mib / s : 0) +
                    (rc == 0 ? ", timestamp " + std::string(timestamp)
                             : ", SQLCODE " + std::to_string(ca.sqlcode) + " " +
                                   std::string(ca.sqlerrmc, strnlen(ca.sqlerrmc, 70))));
  std::FILE* out = std::fopen(TimestampFile(node).c_str(), "w");
  if (out != nullptr) {
    std::fputs(timestamp, out);
    std::fclose(out);
  }
  return rc;
}

int RestorePartition(const std::string& library, const Credentials& c, int node,
                     const std::string& timestamp, double mib) {
  sqlca ca{};
  VendorMedia media(library);
  std::string options = Options(false);
  char applicationId[33] = {};
  const Clock::time_point start = Clock::now();
  int rc = 4;
  if (Attach(c, node, &ca)) {
    sqlurestore(kDatabase, nullptr, kBufferPages, 0, 0, 0, 0, SQLUD_RESTORE, applicationId,
                timestamp.c_str(), nullptr, 2, nullptr, nullptr, &media.list, c.user.c_str(),
                c.password.c_str(), nullptr, static_cast<std::uint32_t>(options.size()),
                options.data(), sessions, nullptr, nullptr, nullptr, &ca);
    if (ca.sqlcode > 0)  // a warning that needs no redefinition: go on
      sqlurestore(kDatabase, nullptr, kBufferPages, 0, 0, 0, 0, SQLUD_CONTINUE, applicationId,
                  timestamp.c_str(), nullptr, 2, nullptr, nullptr, &media.list, nullptr, nullptr,
                  nullptr, 0, nullptr, sessions, nullptr, nullptr, nullptr, &ca);
    rc = ca.sqlcode == 0 ? 0 : 1;
  }
  const double s = Seconds(start);
  Step(rc == 0, "restore of partition " + std::to_string(node) + ": " + std::to_string(sessions) +
                    " sessions" +
                    Format(", %.1f MiB in %.2f s (%.1f MiB/s)", mib, s, s > 0 ? mib / s : 0) +
                    (rc == 0 ? std::string()
                             : ", SQLCODE " + std::to_string(ca.sqlcode) + " " +
                                   std::string(ca.sqlerrmc, strnlen(ca.sqlerrmc, 70))));
  return rc;
}

// CPU seconds of the road so far: this process, its reaped children (the
// partitions' processes and DB2's session processes under them) and the
// peers; and what the stand-in DB2 logged of its own (the engine's work in
// the partition process, the session processes outside the vendor calls).
struct Cpu {
  double road = 0, standIn = 0, vendor = 0;
};

double PeerSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::strtod(field.c_str(), nullptr);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sums "<call> <key>=<ms>" values of the calls log from byte `from` on.
double LoggedSeconds(const std::string& log, std::size_t from, const std::string& call,
                     const std::string& key) {
  std::ifstream in(log);
  in.seekg(static_cast<std::streamoff>(from));
  double ms = 0;
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(" " + call + " ");
    const std::size_t value = line.find(" " + key + "=", at == std::string::npos ? 0 : at);
    if (at != std::string::npos && value != std::string::npos)
      ms += std::strtod(line.c_str() + value + key.size() + 2, nullptr);
  }
  return ms / 1000.0;
}

std::size_t LogSize(const std::string& log) {
  std::ifstream in(log, std::ios::ate);
  return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

double RusageSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Measures one step of the road from its construction to Print.
class CpuSpan {
 public:
  explicit CpuSpan(std::string log) : log_(std::move(log)), from_(LogSize(log_)), start_(Now()) {}
  void Print(const char* step, double mib, double seconds) const {
    const Cpu end = Now();
    const double engine = LoggedSeconds(log_, from_, "engine-cpu", "ms");
    const double standIn = engine + LoggedSeconds(log_, from_, "session-cpu", "own-ms");
    const double vendor = LoggedSeconds(log_, from_, "session-cpu", "vendor-ms");
    const double road = end.road - start_.road;
    std::printf(
        "figures %s sessions=%d network=%d mib=%.1f seconds=%.3f mib_per_s=%.1f road_cpu=%.3f "
        "standin_cpu=%.3f standin_engine_cpu=%.3f vendor_cpu=%.3f standin_share=%.3f\n",
        step, sessions, network ? 1 : 0, mib, seconds, seconds > 0 ? mib / seconds : 0, road,
        standIn, engine, vendor, road > 0 ? standIn / road : 0);
    std::fflush(stdout);
  }

 private:
  static Cpu Now() {
    Cpu c;
    c.road = RusageSeconds(RUSAGE_SELF) + RusageSeconds(RUSAGE_CHILDREN);
    for (int pid : peers) c.road += PeerSeconds(pid);
    return c;
  }
  std::string log_;
  std::size_t from_;
  Cpu start_;
};

// Runs `body` in a child and returns its exit code (-1 when it did not exit).
template <class Body>
pid_t Fork(Body body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}
int Reap(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
  const char* usage =
      "usage: db2_road <libwren_32bit.so> [<MiB per partition>] [--sessions <1..16>] [--network]"
      " [--peers <pid>[,<pid>...]]\n";
  if (argc < 2) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::string library = argv[1];
  const auto keys = road::ClaimRootKeys("db2_road");
  if (!keys) return 1;
  long mibPerPartition = 128;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    char* end = nullptr;
    if (arg == "--network") {
      network = true;
    } else if (arg == "--sessions" && i + 1 < argc) {
      const long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1 || n > 16) {
        std::fputs("db2_road: sessions per partition from 1 to 16\n", stderr);
        return 2;
      }
      sessions = static_cast<int>(n);
    } else if (arg == "--peers" && i + 1 < argc) {
      for (const char* p = argv[++i]; *p != '\0'; p = *end == ',' ? end + 1 : end) {
        const long pid = std::strtol(p, &end, 10);
        if (end == p || pid < 1 || pid > 4194304 || (*end != ',' && *end != '\0')) {
          std::fputs("db2_road: --peers takes process ids separated by commas\n", stderr);
          return 2;
        }
        peers.push_back(static_cast<int>(pid));
      }
    } else if (i == 2 && !arg.empty() && arg[0] != '-') {
      mibPerPartition = std::strtol(argv[i], &end, 10);
      if (*end != '\0') mibPerPartition = 0;
    } else {
      std::fputs(usage, stderr);
      return 2;
    }
  }
  if (mibPerPartition < 1 || mibPerPartition > 4096) {
    std::fprintf(stderr, "db2_road: MiB per partition from 1 to 4096\n");
    return 2;
  }
  if (CmnInit("db2_road", nullptr, nullptr, nullptr, nullptr, 0) != 0) {
    std::fprintf(stderr, "db2_road: the common library did not start\n");
    return 1;
  }

  // 1. The instance, its database on two partitions, and its data.
  const db2sim::Store store(db2sim::StateRoot());
  std::vector<std::uint64_t> backedUp;
  const std::size_t total = static_cast<std::size_t>(mibPerPartition) << 20;
  try {
    const std::string home = store.root() + "/home";
    db2sim::MakeDirs(home + "/sqllib/adm");
    store.CreateInstance({kInstance, home, kInstance, kUser, kPassword, true});
    store.CreateDatabase(kInstance, {kDatabase, {0, 1}, 0, false}, {"SYSCATSPACE", "USERSPACE1"});
    for (int node : kPartitions) {
      road::Fill(store, kInstance, kDatabase, node, "SYSCATSPACE", total / 16, 100 + node);
      road::Fill(store, kInstance, kDatabase, node, "USERSPACE1", total - total / 16, 200 + node);
      backedUp.push_back(store.ContentChecksum(kInstance, kDatabase, node));
    }
    Step(true, "DB2 instance " + std::string(kInstance) + ", database " + kDatabase +
                   " on partitions 0 and 1, " + std::to_string(mibPerPartition) +
                   " MiB of table-space data each (checksums " + Hex(backedUp[0]) + ", " +
                   Hex(backedUp[1]) + ")");
  } catch (const std::exception& e) {
    Step(false, std::string("DB2 instance and database: ") + e.what());
    return 1;
  }

  // 2. The instance's configuration and credentials on the cell server.
  Credentials c;
  {
    BpList config = VarUndef;
    BP_InitAsList(&config);
    char* encoded = EncodePassword(kPassword);
    BP_AddStr(&config, "Username", kUser);
    BP_AddStr(&config, "Password", encoded);
    safe_free(encoded, rcsId, __LINE__);
    const int put = BU_PutConfig("127.0.0.1", cmnHostname, "DB2", kInstance, config);
    CmnVarFree(&config);
    char* user = nullptr;
    char* password = nullptr;
    GetUserAndPass(kInstance, &user, &password);
    if (user != nullptr) c.user = user;
    if (password != nullptr) c.password = password;
    safe_free(user, rcsId, __LINE__);
    safe_free(password, rcsId, __LINE__);
    Step(put == 0 && c.user == kUser && c.password == kPassword,
         "configuration of " + std::string(kInstance) +
             " with its credentials stored on the cell server and read back (user " + c.user + ")");
    if (failures != 0) return 1;
  }

  // 3. DB2's backup of both partitions at once through libwren.
  std::string timestamps[std::size(kPartitions)];
  {
    Db2GlobalSems global;
    if (DB2GlobalSemsCreate(&global, 2) != 0) {
      Step(false, "semaphores of the backup");
      return 1;
    }
    const CpuSpan cpu(store.CallsLog());
    const Clock::time_point start = Clock::now();
    std::vector<pid_t> children;
    for (int node : kPartitions) {
      if (DB2DeviceWait(&global, 600000) != 0) {
        Step(false, "a device for partition " + std::to_string(node));
        break;
      }
      children.push_back(Fork([&, node] { return BackupPartition(library, c, node); }));
    }
    int bad = 0;
    for (pid_t pid : children) bad += Reap(pid) != 0 ? 1 : 0;
    const double s = Seconds(start);
    DB2GlobalSemsDelete(&global);
    bool stamped = true;
    for (int node : kPartitions) {
      std::string& timestamp = timestamps[node];
      if (db2sim::Exists(TimestampFile(node)))
        timestamp = db2sim::ReadWholeFile(TimestampFile(node));
      stamped = stamped && timestamp.size() == 14;
    }
    const double mib = 2.0 * static_cast<double>(total) / kMiB;
    Step(bad == 0 && stamped,
         "backup: 2 partitions x " + std::to_string(sessions) + " sessions" +
             Format(", %.1f MiB of data in %.2f s (%.1f MiB/s)", mib, s, s > 0 ? mib / s : 0));
    cpu.Print("backup", mib, s);
    if (bad != 0) return 1;
  }

  // 4. The data changes after the backup.
  for (int node : kPartitions)
    road::Fill(store, kInstance, kDatabase, node, "USERSPACE1", 1 << 20, 300 + node);
  const bool changed = store.ContentChecksum(kInstance, kDatabase, 0) != backedUp[0] &&
                       store.ContentChecksum(kInstance, kDatabase, 1) != backedUp[1];
  Step(changed, "data changed on both partitions after the backup (1 MiB more each)");

  // 5. The restore of the image, and the check against the backed-up state.
  {
    const double mib = static_cast<double>(total) / kMiB;
    const CpuSpan cpu(store.CallsLog());
    const Clock::time_point start = Clock::now();
    for (int node : kPartitions) RestorePartition(library, c, node, timestamps[node], mib);
    const double s = Seconds(start);
    Step(failures == 0,
         "restore: 2 partitions x " + std::to_string(sessions) + " sessions" +
             Format(", %.1f MiB in %.2f s (%.1f MiB/s)", 2 * mib, s, s > 0 ? 2 * mib / s : 0));
    cpu.Print("restore", 2 * mib, s);
    for (int node : kPartitions) {
      const std::uint64_t now = store.ContentChecksum(kInstance, kDatabase, node);
      Step(now == backedUp[static_cast<std::size_t>(node)],
           "partition " + std::to_string(node) + " holds the backed-up data again (checksum " +
               Hex(now) + ")");
    }
  }

  // 6. DB2 gives the image up: one delete per partition, in one process.
  {
    void* h = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto del = h != nullptr ? reinterpret_cast<sqluvdel_fn>(dlsym(h, "sqluvdel")) : nullptr;
    std::string options = Options(false);
    for (int node : kPartitions) {
      char action[] = "D", instance[] = "db2inst1", alias[] = "SAMPLE", type[] = "0",
           sequence[] = "001", empty[] = "";
      std::string ts = timestamps[node];
      DB2_info info{};
      info.action = action;
      info.db2instance = instance;
      info.alias = alias;
      info.dbname = alias;
      info.type = type;
      info.sequence = sequence;
      info.timestamp = ts.data();
      info.DB2_id = info.version = info.release = info.level = info.filename = info.server_id =
          info.nodename = info.password = info.owner = info.mcNameP = empty;
      info.nodeNum = static_cast<std::int16_t>(node);
      Init_input in{};
      in.DB2_session = &info;
      in.options = options.data();
      in.size_options_full = static_cast<std::uint32_t>(options.size());
      Init_output out{};
      Return_code rc{};
      const int r = del != nullptr ? del(&in, &out, &rc) : -2;
      Step(r == 0, "delete of the image of partition " + std::to_string(node) + " (sqluvdel " +
                       std::to_string(r) + ")");
    }
    // Left loaded, as DB2 leaves it: the library's own state lives until exit.
  }

  std::printf("%s\n", failures == 0 ? "db2_road: every step worked" : "db2_road: FAILED");
  CmnExit();
  return failures == 0 ? 0 : 1;
}

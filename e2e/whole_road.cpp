// The whole road of a database backup, as an administrator's day goes,
// against the stand-ins the runner started (run_whole_road.sh): heron stores
// the instance's configuration on the cell server and links the user exit to
// plover; the session manager starts kestrel for a backup of a database of
// two partitions with log archiving on; logged writes, whose closed logs DB2
// archives through plover, a point in time, more logged writes and archived
// logs; the database is damaged; the session manager starts kestrel for a
// restore with roll-forward to the point in time; both partitions must hold
// exactly the state of that point in time. One line per step with its
// figures; exit 0 only when every step worked.
//
//   TARN_ROOT=<install root> TARN_DB2_STATE=<state> DB2INSTANCE=db2inst1
//     whole_road --cell-server <address> --client <address> <port>
//                --launch <file> --launches <file> --media-store <dir> [--mib <n>]
//
// The installed programs find the cell server through the install root's
// cell_server file and .tarnrc; nothing here hands them a setting.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "barutil/bp.h"
#include "barutil/buconfig.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "db2/accounts.h"
#include "db2/logs.h"
#include "db2/store.h"
#include "db2/util.h"
#include "pacewatch.h"
#include "road_steps.h"

TARN_RCSID("e2e/whole_road.cpp");

namespace {

using road::Clock;
using road::kDatabase;
using road::kInstance;
using road::kPartitions;
using road::kPassword;
using road::Step;

constexpr char kBarlist[] = "nightly";
constexpr char kLogBarlist[] = "logs";
constexpr int kAgentTimeout = 240;  // seconds the session manager gives kestrel
constexpr int kUserExitTimeoutMs = 60000;
// Logged writes: rounds of records per partition, each round's log archived.
constexpr int kRoundsEachSide = 2;
constexpr int kRecordsPerRound = 8;
constexpr std::size_t kRecordBytes = 128 << 10;

using Checksums = std::vector<std::uint64_t>;

struct Settings {
  std::string cellServer, clientAddress, launch, launches, mediaStore;
  int clientPort = 0;
  long mib = 64;
};

std::optional<Settings> ParseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string port, mib;
    bool ok = true;
    if (a == "--cell-server") {
      ok = value(s.cellServer);
    } else if (a == "--client") {
      ok = value(s.clientAddress) && value(port);
      if (ok) s.clientPort = static_cast<int>(std::strtol(port.c_str(), nullptr, 10));
      ok = ok && s.clientPort > 0 && s.clientPort <= 65535;
    } else if (a == "--launch") {
      ok = value(s.launch);
    } else if (a == "--launches") {
      ok = value(s.launches);
    } else if (a == "--media-store") {
      ok = value(s.mediaStore);
    } else if (a == "--mib") {
      ok = value(mib);
      if (ok) s.mib = std::strtol(mib.c_str(), nullptr, 10);
      ok = ok && s.mib >= 1 && s.mib <= 4096;
    } else {
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  if (s.cellServer.empty() || s.clientPort == 0 || s.launch.empty() || s.launches.empty() ||
      s.mediaStore.empty())
    return std::nullopt;
  return s;
}

// Bytes of the regular files under `dir`: what the media agent has stored.
std::uintmax_t TreeBytes(const std::string& dir) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      const std::uintmax_t n = it->file_size(sizeError);
      if (!sizeError) total += n;
    }
  }
  return total;
}

std::size_t LineCount(const std::string& path) {
  if (!db2sim::Exists(path)) return 0;
  const std::string text = db2sim::ReadWholeFile(path);
  std::size_t n = 0;
  for (char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

// Lines of the stand-in DB2's calls log after the first `skip` that hold
// every one of `words`.
std::vector<std::string> CallLines(const db2sim::Store& store, std::size_t skip,
                                   const std::vector<std::string>& words) {
  std::vector<std::string> found;
  const std::string path = store.CallsLog();
  if (!db2sim::Exists(path)) return found;
  const std::string text = db2sim::ReadWholeFile(path);
  std::size_t line = 0;
  for (std::size_t at = 0; at < text.size(); ++line) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(at, end - at);
    bool all = line >= skip;
    for (const std::string& w : words) all = all && l.find(w) != std::string::npos;
    if (all) found.push_back(std::move(l));
    at = end + 1;
  }
  return found;
}

// Runs a program with `extra` settings added to the environment and its
// standard output in `output`; its exit code, or -1 when it did not exit
// within `seconds` (it is killed then).
int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& extra,
               const std::string& output, int seconds) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0) _exit(126);
    for (const std::string& e : extra) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct AgentRun {
  bool ended = false;
  int exitCode = -1;
  std::string record;  // the session manager's line on the run
  std::string output;
};

std::string Field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(" " + name + "=");
  if (at == std::string::npos) return "";
  const std::size_t start = at + name.size() + 2;
  return text.substr(start, text.find(' ', start) - start);
}

// The sum of the number `name` of each line.
long SumField(const std::vector<std::string>& lines, const std::string& name) {
  long sum = 0;
  for (const std::string& l : lines) sum += std::strtol(Field(l, name).c_str(), nullptr, 10);
  return sum;
}

// The session manager starts kestrel for the barlist through the client
// service of this host, `line` on its standard input; waits for its record.
AgentRun Agent(const Settings& s, const std::string& line) {
  const std::string spec = std::string("barlist ") + kBarlist + "\nappname " + kInstance +
                           "\nclient " + s.clientAddress + " " + std::to_string(s.clientPort) +
                           "\nclienthost " + cmnHostname + "\nprogram " + cmnFenLBin +
                           "/kestrel\ntimeout " + std::to_string(kAgentTimeout) + "\ninput " +
                           line + "\n";
  const std::size_t before = LineCount(s.launches);
  const std::string outPath = s.launches + ".out";
  const std::size_t outBefore = db2sim::Exists(outPath) ? db2sim::ReadWholeFile(outPath).size() : 0;
  db2sim::WriteWholeFile(s.launch + ".new", spec);
  AgentRun r;
  if (std::rename((s.launch + ".new").c_str(), s.launch.c_str()) != 0) return r;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(kAgentTimeout + 60);
  while (LineCount(s.launches) == before && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (LineCount(s.launches) == before) return r;
  const std::string all = db2sim::ReadWholeFile(s.launches);
  std::size_t last = all.rfind('\n', all.size() - 2);
  r.record = all.substr(last == std::string::npos ? 0 : last + 1);
  if (!r.record.empty() && r.record.back() == '\n') r.record.pop_back();
  r.ended = true;
  if (Field(r.record, "end") == "exit")
    r.exitCode = static_cast<int>(std::strtol(Field(r.record, "status").c_str(), nullptr, 10));
  if (db2sim::Exists(outPath)) r.output = db2sim::ReadWholeFile(outPath).substr(outBefore);
  return r;
}

void ShowAgentOutput(const AgentRun& r) {
  std::fprintf(stderr, "--- session manager: %s\n--- kestrel's output:\n%s\n", r.record.c_str(),
               r.output.c_str());
}

Checksums Sums(const db2sim::Store& store) {
  Checksums sums;
  for (int node : kPartitions) sums.push_back(store.ContentChecksum(kInstance, kDatabase, node));
  return sums;
}

std::string SumsText(const Checksums& sums) {
  return road::Hex(sums[0]) + ", " + road::Hex(sums[1]);
}

// Logged writes on both partitions, each round closing the active log, which
// DB2 archives through the user exit. The bytes of the archived log files.
struct Logged {
  bool ok = true;
  int logs = 0;
  std::uintmax_t dataBytes = 0, logBytes = 0;
};

Logged WriteAndArchive(const db2sim::Store& store, unsigned seed) {
  Logged done;
  for (int round = 0; round < kRoundsEachSide; ++round) {
    for (int node : kPartitions) {
      std::string data(kRecordBytes, '\0');
      std::uint32_t x = seed * 7919u + static_cast<unsigned>(round * 31 + node);
      for (int i = 0; i < kRecordsPerRound; ++i) {
        road::Pattern(data, data.size(), x);
        db2sim::WriteLogged(store, kInstance, kDatabase, node, "USERSPACE1", data, "");
        done.dataBytes += data.size();
      }
      const db2sim::NodeState st = store.ReadNodeState(kInstance, kDatabase, node);
      const std::string log =
          store.NodeDir(kInstance, kDatabase, node) + "/logs/" + db2sim::LogFileName(st.log);
      std::error_code ec;
      const std::uintmax_t size = std::filesystem::file_size(log, ec);
      const int rc = db2sim::ArchiveLog(store, kInstance, kDatabase, node, kUserExitTimeoutMs);
      if (rc != 0 || db2sim::Exists(log)) {
        std::fprintf(stderr, "whole_road: archiving %s gave SQLCODE %d\n", log.c_str(), rc);
        done.ok = false;
        return done;
      }
      done.logBytes += ec ? 0 : size;
      ++done.logs;
    }
  }
  return done;
}

std::string LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d-%H.%M.%S", &tm);
  return text;
}

// The administrator's configuration of the instance: heron, then the log
// barlist of the database, kept beside what heron stored.
bool Configure(const Settings& s, const db2sim::Store& store) {
  const std::string heron = std::string(cmnFenLBin) + "/heron_32bit";
  const std::string out = std::string(cmnFenTmp) + "/heron.out";
  const std::vector<std::string> env = {
      std::string("LD_PRELOAD=") + TARN_NSS_WRAPPER,
      "NSS_WRAPPER_PASSWD=" + db2sim::AccountsPasswdFile(store),
      "NSS_WRAPPER_GROUP=" + db2sim::AccountsGroupFile(store), "NSS_WRAPPER_DISABLE_DEEPBIND=1",
      // The preloaded wrapper comes before a sanitizer runtime.
      std::string("ASAN_OPTIONS=verify_asan_link_order=0") +
          (std::getenv("ASAN_OPTIONS") != nullptr ? std::string(":") + std::getenv("ASAN_OPTIONS")
                                                  : std::string())};
  // A partitioned instance: its home, where db2nodes.cfg lists the partitions.
  const std::string home = store.ReadInstance(kInstance).home;
  const Clock::time_point start = Clock::now();
  const int rc =
      RunProgram({heron, "-config", kInstance, kInstance, kPassword, home}, env, out, 60);
  const std::string said = db2sim::Exists(out) ? db2sim::ReadWholeFile(out) : "";
  char target[1024] = {};
  const std::string link = home + "/sqllib/adm/db2uext2";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  const bool linked = n > 0 && std::string(target, static_cast<std::size_t>(n)) ==
                                   std::string(cmnFenLBin) + "/plover";
  if (rc != 0 || said.find("*RETVAL*0\n") == std::string::npos || !linked) {
    Step(false, "heron -config " + std::string(kInstance) + ": exit " + std::to_string(rc) +
                    ", said " + said.substr(0, 80) + (linked ? "" : ", no user-exit link"));
    return false;
  }

  BpList config = VarUndef;
  int got = BU_GetConfig(s.cellServer.c_str(), cmnHostname, "DB2", kInstance, &config);
  // The partitions heron found in db2nodes.cfg, with their hosts.
  std::string partitions;
  CmnVar* nodes = nullptr;
  if (got == 0 && BP_GetListByName(config, "DB2_NODES", &nodes) == kBpOk) {
    for (int node : kPartitions) {
      const char* host = nullptr;
      if (BP_GetStrByName(*nodes, std::to_string(node).c_str(), &host) == kBpOk && host != nullptr)
        partitions += (partitions.empty() ? "" : ", ") + std::to_string(node) + " on " + host;
    }
  }
  CmnVar* barlists = nullptr;
  int put = -1;
  if (got == 0 && BP_AddList(&config, "USEREXIT_BARLISTS", &barlists) == kBpOk &&
      BP_AddStr(barlists, kDatabase, kLogBarlist) == kBpOk)
    put = BU_PutConfig(s.cellServer.c_str(), cmnHostname, "DB2", kInstance, config);
  CmnVarFree(&config);
  Step(got == 0 && put == 0 && partitions.find("1 on") != std::string::npos,
       "heron stored the configuration of " + std::string(kInstance) + " on the cell server " +
           s.cellServer + " (partitions " + partitions +
           ") and linked the user exit to plover; log barlist '" + kLogBarlist + "' for " +
           kDatabase + road::Format(" (%.2f s)", road::Seconds(start)));
  return road::failures == 0;
}

// The pacing of the backup's partitions, seen from outside: every node
// semaphore set of the installation existed during the backup and none is
// left; on each partition one of DB2's sessions took a permit from its
// coordinator (the kernel names it as the last to operate on the partition's
// canStart); the agent reported no partition as unpaced. One step line.
bool Paced(const db2sim::Store& store, std::size_t skip, const tarn::test::PaceWatch& watch,
           const AgentRun& r) {
  const std::map<std::string, tarn::test::PaceWatch::Seen> sets = watch.Sets();
  int seen = 0;
  for (const auto& [name, set] : sets) seen += set.existed ? 1 : 0;
  const int all = 2 + 5 * static_cast<int>(std::size(kPartitions));
  std::string partitions;
  std::set<pid_t> waited;
  bool everyPartition = true;
  for (int node : kPartitions) {
    std::set<pid_t> sessions;
    for (const std::string& l : CallLines(store, skip, {" sqluvint ", "action=W"}))
      if (Field(l, "node") == std::to_string(node))
        sessions.insert(static_cast<pid_t>(std::strtol(l.c_str(), nullptr, 10)));
    bool took = false;
    for (const std::string phase : {"canStart ", "canEnd "}) {
      const auto set = sets.find(phase + std::to_string(node));
      if (set == sets.end()) continue;
      for (pid_t pid : set->second.lastUsers) {
        if (sessions.count(pid) == 0) continue;
        waited.insert(pid);
        took = took || phase == "canStart ";
      }
    }
    everyPartition = everyPartition && took;
    if (took) partitions += (partitions.empty() ? "" : " and ") + std::to_string(node);
  }
  const std::vector<std::string> left = watch.Existing();
  const bool unpacedReport = r.output.find("without pacing") != std::string::npos;
  const bool ok = seen == all && left.empty() && everyPartition && !unpacedReport;
  Step(ok, "pacing of the backup: " + std::to_string(seen) + " of " + std::to_string(all) +
               " node semaphore sets seen, " + std::to_string(left.size()) + " left after it; " +
               std::to_string(waited.size()) + " sessions seen taking a permit, partitions " +
               (partitions.empty() ? "none" : partitions) + " paced" +
               (unpacedReport ? "; the agent reported a partition backed up without pacing" : ""));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Settings> parsed = ParseArgs(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: whole_road --cell-server <address> --client <address> <port> "
                 "--launch <file> --launches <file> --media-store <dir> [--mib 1..4096]\n");
    return 2;
  }
  const Settings& s = *parsed;
  const auto keys = road::ClaimRootKeys("whole_road");
  if (!keys) return 1;
  if (CmnInit("whole_road", nullptr, nullptr, nullptr, nullptr, 0) != 0) {
    std::fprintf(stderr, "whole_road: the common library did not start\n");
    return 1;
  }
  const Clock::time_point roadStart = Clock::now();

  // 1. The instance, its database on two partitions with log archiving on,
  //    and its data.
  const db2sim::Store store(db2sim::StateRoot());
  const std::size_t total = static_cast<std::size_t>(s.mib) << 20;
  try {
    const std::string home = store.root() + "/home";
    db2sim::MakeDirs(home + "/sqllib/adm");
    store.CreateInstance({kInstance, home, kInstance, kInstance, kPassword, true});
    db2sim::WriteAccounts(store);
    store.CreateDatabase(kInstance, {kDatabase, {0, 1}, 0, true}, {"SYSCATSPACE", "USERSPACE1"});
    db2sim::WriteNodesFile(store, kInstance);
    for (int node : kPartitions) {
      road::Fill(store, kInstance, kDatabase, node, "SYSCATSPACE", total / 16,
                 100 + static_cast<unsigned>(node));
      road::Fill(store, kInstance, kDatabase, node, "USERSPACE1", total - total / 16,
                 200 + static_cast<unsigned>(node));
    }
    Step(true, "DB2 instance " + std::string(kInstance) + ", database " + kDatabase +
                   " on partitions 0 and 1 with log archiving on, " + std::to_string(s.mib) +
                   " MiB of table-space data each (checksums " + SumsText(Sums(store)) + ")");
  } catch (const std::exception& e) {
    Step(false, std::string("DB2 instance and database: ") + e.what());
    return 1;
  }

  // 2. heron: the configuration on the cell server, the user exit linked.
  if (!Configure(s, store)) return 1;

  // 3. The session manager starts kestrel for the backup: two sessions per
  //    partition, two devices.
  std::uintmax_t imageBytes = 0;
  {
    const std::uintmax_t before = TreeBytes(s.mediaStore);
    const std::size_t calls = LineCount(store.CallsLog());
    const Clock::time_point start = Clock::now();
    std::optional<tarn::test::PaceWatch> watch(
        std::in_place, std::getenv("TARN_ROOT"),
        std::vector<int>(std::begin(kPartitions), std::end(kPartitions)));
    const AgentRun r =
        Agent(s, std::string("-backup -dbname ") + kDatabase + " -conc 2 -dev_number 2");
    const double seconds = road::Seconds(start);
    imageBytes = TreeBytes(s.mediaStore) - before;
    const std::size_t images =
        CallLines(store, 0, {"sqlubkp-result", "sqlcode=0 timestamp="}).size();
    const long sessions = SumField(CallLines(store, 0, {" sqlubkp instance="}), "sessions");
    Step(r.exitCode == 0 && images == 2 && sessions == 4 && imageBytes >= 2 * total,
         "backup by kestrel (session " + Field(r.record, "key") + "): " + std::to_string(images) +
             " partitions, " + std::to_string(sessions) + " sessions, device count 2, " +
             road::Rate(static_cast<double>(imageBytes), seconds) + " stored" +
             (r.exitCode == 0 ? "" : ", " + r.record));
    const bool paced = Paced(store, calls, *watch, r);
    watch.reset();
    if (r.exitCode != 0 || !paced) {
      ShowAgentOutput(r);
      return 1;
    }
  }

  // 4. Logged writes, archived through plover; the point in time; more.
  Checksums atPoint;
  std::string point;
  {
    Clock::time_point start = Clock::now();
    Logged before = WriteAndArchive(store, 1);
    Step(before.ok,
         "logged writes on 2 partitions: " + road::Rate(before.dataBytes, road::Seconds(start)) +
             ", " + std::to_string(before.logs) + " logs (" +
             road::Format("%.1f MiB", before.logBytes / road::kMiB) + ") archived through plover");
    if (!before.ok) return 1;
    // Every record so far is older than the point in time, every later one
    // younger: the log times have whole seconds.
    const std::time_t pointTime = std::time(nullptr) + 1;
    atPoint = Sums(store);
    point = LocalTime(pointTime);
    while (std::time(nullptr) <= pointTime)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Step(true, "point in time " + point + ": checksums " + SumsText(atPoint));
    start = Clock::now();
    Logged after = WriteAndArchive(store, 2);
    Step(after.ok && Sums(store) != atPoint,
         "logged writes after the point in time: " +
             road::Rate(after.dataBytes, road::Seconds(start)) + ", " + std::to_string(after.logs) +
             " logs (" + road::Format("%.1f MiB", after.logBytes / road::kMiB) +
             ") archived through plover");
    if (road::failures != 0) return 1;
  }

  // 5. The database is damaged: every container of both partitions.
  {
    for (int node : kPartitions)
      for (const std::string& ts : store.TableSpaces(kInstance, kDatabase, node))
        for (const std::string& c : store.Containers(kInstance, kDatabase, node, ts))
          db2sim::WriteWholeFile(c, "damaged");
    const Checksums now = Sums(store);
    Step(now[0] != atPoint[0] && now[1] != atPoint[1],
         "database " + std::string(kDatabase) + " damaged on both partitions (checksums " +
             SumsText(now) + ")");
  }

  // 6. The session manager starts kestrel for the restore with roll-forward
  //    to the point in time.
  {
    const std::size_t calls = LineCount(store.CallsLog());
    const Clock::time_point start = Clock::now();
    const AgentRun r =
        Agent(s, std::string("-restore -dbname ") + kDatabase + " -rollforward -time " + point);
    const double seconds = road::Seconds(start);
    const std::size_t retrieved = CallLines(store, calls, {"userexit ", "-RQRETRIEVE"}).size();
    const std::vector<std::string> restored =
        CallLines(store, calls, {"sqlurestore-result", "sqlcode=0 objects="});
    const long sessions = SumField(restored, "objects");
    Step(r.exitCode == 0 && restored.size() == 2 && sessions == 4,
         "restore by kestrel with roll-forward to " + point + ": " +
             std::to_string(restored.size()) + " partitions, " + std::to_string(sessions) +
             " sessions, " + road::Rate(static_cast<double>(imageBytes), seconds) + ", " +
             std::to_string(retrieved) + " logs asked of plover" +
             (r.exitCode == 0 ? "" : ", " + r.record));
    if (r.exitCode != 0) ShowAgentOutput(r);
  }

  // 7. Both partitions hold exactly the state of the point in time.
  {
    const Checksums now = Sums(store);
    for (std::size_t i = 0; i < now.size(); ++i) {
      const bool pending = store.ReadNodeState(kInstance, kDatabase, kPartitions[i]).rfPending;
      Step(now[i] == atPoint[i] && !pending,
           "partition " + std::to_string(kPartitions[i]) +
               " holds the state of the point in time (checksum " + road::Hex(now[i]) +
               (pending ? ", roll-forward pending" : "") + ")");
    }
  }

  std::printf("whole_road: %s in %.1f s\n", road::failures == 0 ? "every step worked" : "FAILED",
              road::Seconds(roadStart));
  CmnExit();
  return road::failures == 0 ? 0 : 1;
}

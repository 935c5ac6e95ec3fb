// State of the stand-in DB2 on disk.
#include "db2/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "db2/util.h"

namespace db2sim {
namespace {

std::string Get(const std::vector<std::pair<std::string, std::string>>& kv, const char* key) {
  for (const auto& [k, v] : kv)
    if (k == key) return v;
  return {};
}

void CheckName(const std::string& what, const std::string& name) {
  if (!IsSafeName(name)) throw Error("bad " + what + " name \"" + name + "\"");
}

std::string NodePiece(int node) {
  if (node < 0 || node > 999) throw Error("bad partition number " + std::to_string(node));
  char b[16];
  std::snprintf(b, sizeof b, "NODE%04d", node);
  return b;
}

std::vector<int> ParseNodes(const std::string& text) {
  std::vector<int> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t comma = text.find(',', at);
    std::string piece =
        text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    char* end = nullptr;
    long n = std::strtol(piece.c_str(), &end, 10);
    if (piece.empty() || *end != '\0' || n < 0 || n > 999) throw Error("bad partition list");
    out.push_back(static_cast<int>(n));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

}  // namespace

std::string StateRoot() {
  if (const char* s = std::getenv("TARN_DB2_STATE"); s != nullptr && *s != '\0') return s;
  if (const char* r = std::getenv("TARN_ROOT"); r != nullptr && *r != '\0')
    return std::string(r) + "/var/db2";
  throw Error("neither TARN_DB2_STATE nor TARN_ROOT is set");
}

std::string Store::InstanceDir(const std::string& name) const {
  CheckName("instance", name);
  return root_ + "/instances/" + name;
}

std::string Store::DbDir(const std::string& instance, const std::string& db) const {
  CheckName("database", db);
  return InstanceDir(instance) + "/db/" + db;
}

void Store::CreateInstance(const Instance& inst) const {
  std::string dir = InstanceDir(inst.name);
  MakeDirs(dir + "/db");
  MakeDirs(inst.home + "/sqllib/adm");
  WriteWholeFile(dir + "/instance.cfg", "home=" + inst.home + "\nowner=" + inst.owner +
                                            "\nuser=" + inst.user + "\npassword=" + inst.password +
                                            "\nstarted=" + (inst.started ? "1" : "0") + "\n");
}

Instance Store::ReadInstance(const std::string& name) const {
  auto kv = ParseKeyValues(ReadWholeFile(InstanceDir(name) + "/instance.cfg", 65536));
  Instance inst;
  inst.name = name;
  inst.home = Get(kv, "home");
  inst.owner = Get(kv, "owner");
  inst.user = Get(kv, "user");
  inst.password = Get(kv, "password");
  inst.started = Get(kv, "started") == "1";
  return inst;
}

void Store::DropDatabase(const std::string& instance, const std::string& name) const {
  if (!IsSafeName(name)) throw Error("not a database name: " + name);
  std::filesystem::remove_all(DbDir(instance, name));
}

void Store::CreateDatabase(const std::string& instance, const Database& db,
                           const std::vector<std::string>& tableSpaces) const {
  if (db.name.size() > 8) throw Error("database name longer than 8 characters");
  std::string dir = DbDir(instance, db.name);
  if (db.partitions.empty()) throw Error("a database needs a partition");
  std::string nodes;
  for (int n : db.partitions) nodes += (nodes.empty() ? "" : ",") + std::to_string(n);
  for (int n : db.partitions) {
    std::string nd = dir + "/" + NodePiece(n);
    MakeDirs(nd + "/logs");
    if (!Exists(nd + "/node.cfg")) WriteNodeState(instance, db.name, n, NodeState{});
    for (const auto& ts : tableSpaces) {
      CheckName("table space", ts);
      MakeDirs(nd + "/ts/" + ts);
      std::string container = nd + "/ts/" + ts + "/C0000.DAT";
      if (!Exists(container)) WriteWholeFile(container, "");
      WriteWholeFile(nd + "/ts/" + ts + "/containers", container + "\n");
    }
  }
  WriteWholeFile(dir + "/db.cfg", "partitions=" + nodes +
                                      "\ncatalog=" + std::to_string(db.catalog) +
                                      "\nlogarchive=" + (db.logArchive ? "1" : "0") + "\n");
}

void Store::EnsurePartition(const std::string& instance, const std::string& name, int node,
                            const std::vector<std::pair<std::string, int>>& tableSpaces,
                            bool logArchive) const {
  std::string dir = DbDir(instance, name);
  // Partitions restored side by side each add themselves to db.cfg.
  MakeDirs(dir);
  Fd lock(::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX) != 0)
    throw Error("cannot lock database " + name);
  Database db;
  if (HasDatabase(instance, name)) {
    db = ReadDatabase(instance, name);
  } else {
    if (name.size() > 8) throw Error("database name longer than 8 characters");
    db = Database{name, {}, node, logArchive};
  }
  if (std::find(db.partitions.begin(), db.partitions.end(), node) == db.partitions.end()) {
    db.partitions.push_back(node);
    std::sort(db.partitions.begin(), db.partitions.end());
  }
  std::string nd = dir + "/" + NodePiece(node);
  MakeDirs(nd + "/logs");
  if (!Exists(nd + "/node.cfg")) WriteNodeState(instance, name, node, NodeState{});
  for (const auto& [ts, count] : tableSpaces) {
    CheckName("table space", ts);
    std::string tsDir = nd + "/ts/" + ts;
    if (Exists(tsDir + "/containers")) continue;
    MakeDirs(tsDir);
    std::string list;
    for (int i = 0; i < count; ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "/C%04d.DAT", i);
      WriteWholeFile(tsDir + file, "");
      list += tsDir + file + "\n";
    }
    WriteWholeFile(tsDir + "/containers", list);
  }
  std::string nodes;
  for (int n : db.partitions) nodes += (nodes.empty() ? "" : ",") + std::to_string(n);
  WriteWholeFile(dir + "/db.cfg", "partitions=" + nodes +
                                      "\ncatalog=" + std::to_string(db.catalog) +
                                      "\nlogarchive=" + (db.logArchive ? "1" : "0") + "\n");
}

bool Store::HasDatabase(const std::string& instance, const std::string& db) const {
  return IsSafeName(db) && Exists(DbDir(instance, db) + "/db.cfg");
}

Database Store::ReadDatabase(const std::string& instance, const std::string& name) const {
  auto kv = ParseKeyValues(ReadWholeFile(DbDir(instance, name) + "/db.cfg", 65536));
  Database db;
  db.name = name;
  db.partitions = ParseNodes(Get(kv, "partitions"));
  db.catalog = std::atoi(Get(kv, "catalog").c_str());
  db.logArchive = Get(kv, "logarchive") == "1";
  return db;
}

std::vector<std::string> Store::ListDatabases(const std::string& instance) const {
  return ListDir(InstanceDir(instance) + "/db");
}

std::string Store::NodeDir(const std::string& instance, const std::string& db, int node) const {
  return DbDir(instance, db) + "/" + NodePiece(node);
}

std::vector<std::string> Store::TableSpaces(const std::string& instance, const std::string& db,
                                            int node) const {
  return ListDir(NodeDir(instance, db, node) + "/ts");
}

std::vector<std::string> Store::Containers(const std::string& instance, const std::string& db,
                                           int node, const std::string& ts) const {
  CheckName("table space", ts);
  std::string text =
      ReadWholeFile(NodeDir(instance, db, node) + "/ts/" + ts + "/containers", 1 << 20);
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    if (!line.empty()) {
      if (line[0] != '/' || line.size() > 1022) throw Error("bad container path in " + ts);
      out.push_back(line);
    }
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return out;
}

NodeState Store::ReadNodeState(const std::string& instance, const std::string& db, int node) const {
  auto kv = ParseKeyValues(ReadWholeFile(NodeDir(instance, db, node) + "/node.cfg", 65536));
  NodeState st;
  st.rfPending = Get(kv, "rfpending") == "1";
  st.lsn = std::strtoull(Get(kv, "lsn").c_str(), nullptr, 10);
  unsigned long log = std::strtoul(Get(kv, "log").c_str(), nullptr, 10);
  unsigned long rfLog = std::strtoul(Get(kv, "rflog").c_str(), nullptr, 10);
  if (log > 9999999 || rfLog > 9999999) throw Error("bad log number in node state");
  st.log = static_cast<std::uint32_t>(log);
  st.rfLog = static_cast<std::uint32_t>(rfLog);
  const std::string behind = Get(kv, "behind");
  for (std::size_t at = 0; at < behind.size();) {
    std::size_t end = behind.find(',', at);
    if (end == std::string::npos) end = behind.size();
    const std::string entry = behind.substr(at, end - at);
    LeftBehind b;
    unsigned long long lsn = 0;
    unsigned long first = 0, next = 0;
    int used = 0;
    if (std::sscanf(entry.c_str(), "%llu:%lu:%lu%n", &lsn, &first, &next, &used) != 3 ||
        static_cast<std::size_t>(used) != entry.size() || entry[0] == '-' || first > next ||
        next > 9999999)
      throw Error("bad left-behind logs \"" + entry + "\" in node state");
    b.lastLsn = lsn;
    b.firstLog = static_cast<std::uint32_t>(first);
    b.nextLog = static_cast<std::uint32_t>(next);
    st.leftBehind.push_back(b);
    at = end + 1;
  }
  return st;
}

void Store::WriteNodeState(const std::string& instance, const std::string& db, int node,
                           const NodeState& st) const {
  std::string behind;
  for (const LeftBehind& b : st.leftBehind)
    behind += (behind.empty() ? "behind=" : ",") + std::to_string(b.lastLsn) + ":" +
              std::to_string(b.firstLog) + ":" + std::to_string(b.nextLog);
  if (!behind.empty()) behind += "\n";
  WriteWholeFile(NodeDir(instance, db, node) + "/node.cfg",
                 std::string("rfpending=") + (st.rfPending ? "1" : "0") +
                     "\nlsn=" + std::to_string(st.lsn) + "\nlog=" + std::to_string(st.log) +
                     "\nrflog=" + std::to_string(st.rfLog) + "\n" + behind);
}

void Store::WriteData(const std::string& instance, const std::string& db, int node,
                      const std::string& ts, const std::string& data) const {
  auto containers = Containers(instance, db, node, ts);
  if (containers.empty()) throw Error("table space " + ts + " has no container");
  Fd fd(::open(containers[0].c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0 || !WriteFull(fd.get(), data.data(), data.size()))
    throw Error("cannot write container " + containers[0]);
}

std::vector<PayloadPart> Store::Snapshot(const std::string& instance, const std::string& db,
                                         int node) const {
  std::vector<PayloadPart> out;
  for (const auto& ts : TableSpaces(instance, db, node)) {
    auto containers = Containers(instance, db, node, ts);
    for (std::size_t i = 0; i < containers.size(); ++i) {
      struct stat st {};
      if (::stat(containers[i].c_str(), &st) != 0)
        throw Error("cannot read " + containers[i] + ": " + std::strerror(errno));
      Pieces data;
      if (st.st_size > 0)
        data.push_back(Piece{{}, containers[i], 0, static_cast<std::uint64_t>(st.st_size)});
      out.push_back({ts + "/" + std::to_string(i), std::move(data)});
    }
  }
  return out;
}

void Store::Apply(const std::string& instance, const std::string& db, int node,
                  const std::vector<PayloadPart>& parts) const {
  // Check every record before the first container changes.
  std::vector<std::string> targets;
  for (const auto& e : parts) {
    std::size_t slash = e.name.find('/');
    if (slash == std::string::npos) throw Error("bad image entry " + e.name);
    std::string ts = e.name.substr(0, slash);
    char* end = nullptr;
    unsigned long index = std::strtoul(e.name.c_str() + slash + 1, &end, 10);
    if (*end != '\0' || end == e.name.c_str() + slash + 1) throw Error("bad image entry " + e.name);
    auto containers = Containers(instance, db, node, ts);
    if (index >= containers.size()) throw Error("image entry " + e.name + " has no container");
    targets.push_back(containers[index]);
  }
  for (std::size_t i = 0; i < parts.size(); ++i) WritePiecesToFile(targets[i], parts[i].data);
}

std::uint64_t Store::ContentChecksum(const std::string& instance, const std::string& db,
                                     int node) const {
  return ChecksumPieces(PayloadPieces(Snapshot(instance, db, node)));
}

std::optional<int> FindSetting(std::string_view text, char sep, const std::string& call) {
  while (!text.empty()) {
    std::size_t end = text.find(sep);
    std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos || item.substr(0, eq) != call) continue;
    std::string value(item.substr(eq + 1));
    char* stop = nullptr;
    long code = std::strtol(value.c_str(), &stop, 10);
    if (!value.empty() && *stop == '\0' && code >= -99999 && code <= 99999)
      return static_cast<int>(code);
  }
  return std::nullopt;
}

std::optional<int> FaultFor(const std::string& root, const std::string& call) {
  if (const char* env = std::getenv("TARN_DB2_FAULTS"); env != nullptr)
    if (auto f = FindSetting(env, ',', call)) return f;
  std::string path = root + "/faults";
  if (!Exists(path)) return std::nullopt;
  return FindSetting(ReadWholeFile(path, 1 << 20), '\n', call);
}

std::optional<int> FaultForNode(const std::string& root, const std::string& call, int node) {
  if (auto f = FaultFor(root, call + ".node" + std::to_string(node))) return f;
  return FaultFor(root, call);
}

void SetFault(const std::string& root, const std::string& call, int sqlcode, bool clear) {
  if (!IsSafeName(call)) throw Error("bad call name \"" + call + "\"");
  std::string path = root + "/faults";
  std::string kept;
  if (Exists(path))
    for (const auto& [k, v] : ParseKeyValues(ReadWholeFile(path, 1 << 20)))
      if (k != call) kept += k + "=" + v + "\n";
  if (!clear) kept += call + "=" + std::to_string(sqlcode) + "\n";
  MakeDirs(root);
  WriteWholeFile(path, kept);
}

std::vector<std::string> InstanceEnvironment(const Instance& inst, const std::string& root) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + inst.home,
                                  "DB2INSTANCE=" + inst.name, "TARN_DB2_STATE=" + root};
  if (!inst.owner.empty()) env.push_back("USER=" + inst.owner);
  // The instance's library path, as its profile sets it, leads the session
  // processes to the system's libraries a vendor library needs.
  for (const char* keep : {"TARN_ROOT", "LD_PRELOAD", "LD_LIBRARY_PATH", "NSS_WRAPPER_PASSWD",
                           "NSS_WRAPPER_GROUP", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
  return env;
}

void LogCall(const std::string& logPath, const std::string& call, const std::string& text) {
  std::string line = std::to_string(::getpid()) + " " + call + " " + text + "\n";
  Fd fd(::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() >= 0) WriteFull(fd.get(), line.data(), line.size());
}

}  // namespace db2sim

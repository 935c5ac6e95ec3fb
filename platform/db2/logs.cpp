// Log files, user-exit runs and roll-forward of the stand-in DB2.
#include "db2/logs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "db2/engine.h"
#include "db2/util.h"

namespace db2sim {
namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string UtcNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%d-%H.%M.%S", &tm);
  return b;
}

bool IsTime(const std::string& t) {
  static const char kShape[] = "dddd-dd-dd-dd.dd.dd";
  if (t.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (kShape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != kShape[i]) return false;
  return true;
}

}  // namespace

std::string EncodeLogRecord(const LogRecord& r) {
  std::string out = std::to_string(r.lsn) + " " + r.time + " " + r.tableSpace + " ";
  out.reserve(out.size() + r.data.size() * 2 + 1);
  for (unsigned char c : r.data) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out + "\n";
}

std::optional<LogRecord> DecodeLogRecord(const std::string& line) {
  std::size_t a = line.find(' ');
  if (a == std::string::npos) return std::nullopt;
  std::size_t b = line.find(' ', a + 1);
  if (b == std::string::npos) return std::nullopt;
  std::size_t c = line.find(' ', b + 1);
  if (c == std::string::npos) return std::nullopt;
  LogRecord r;
  std::string lsn = line.substr(0, a);
  char* end = nullptr;
  errno = 0;
  r.lsn = std::strtoull(lsn.c_str(), &end, 10);
  if (lsn.empty() || *end != '\0' || errno != 0 || lsn[0] == '-') return std::nullopt;
  r.time = line.substr(a + 1, b - a - 1);
  r.tableSpace = line.substr(b + 1, c - b - 1);
  if (!IsTime(r.time) || !IsSafeName(r.tableSpace)) return std::nullopt;
  std::string hex = line.substr(c + 1);
  if (hex.size() % 2 != 0) return std::nullopt;
  r.data.resize(hex.size() / 2);
  for (std::size_t i = 0; i < r.data.size(); ++i) {
    int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    r.data[i] = static_cast<char>(hi << 4 | lo);
  }
  return r;
}

std::string LogFileName(std::uint32_t number) {
  char b[32];
  std::snprintf(b, sizeof b, "S%07u.LOG", number);
  return b;
}

void WriteLogged(const Store& store, const std::string& instance, const std::string& db, int node,
                 const std::string& tableSpace, const std::string& data, const std::string& time) {
  NodeState st = store.ReadNodeState(instance, db, node);
  LogRecord r{st.lsn + 1, time.empty() ? UtcNow() : time, tableSpace, data};
  if (!IsTime(r.time)) throw Error("bad log time \"" + r.time + "\"");
  store.WriteData(instance, db, node, tableSpace, data);
  std::string line = EncodeLogRecord(r);
  std::string path = store.NodeDir(instance, db, node) + "/logs/" + LogFileName(st.log);
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0 || !WriteFull(fd.get(), line.data(), line.size()))
    throw Error("cannot write log " + path);
  st.lsn = r.lsn;
  store.WriteNodeState(instance, db, node, st);
}

int RunUserExit(const Store& store, const Instance& inst, const std::string& request,
                const std::string& db, int node, const std::string& logDir,
                const std::string& logName, int timeoutMs) {
  std::string exitPath = inst.home + "/sqllib/adm/db2uext2";
  char nn[16];
  std::snprintf(nn, sizeof nn, "NODE%04d", node);
  std::vector<std::string> args = {exitPath,
                                   "-OSLinux",
                                   "-RL110",
                                   "-RQ" + request,
                                   "-DB" + db,
                                   std::string("-NN") + nn,
                                   "-LP" + logDir + "/",
                                   "-LN" + logName};
  std::string line;
  for (const auto& a : args) line += a + " ";
  LogCall(store.CallsLog(), "userexit", line);
  std::vector<std::string> env = InstanceEnvironment(inst, store.root());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::execve(exitPath.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  switch (WaitOrKill(pid, NowMs() + timeoutMs, status)) {
    case ChildEnd::kLost: return -1;
    case ChildEnd::kKilled:
      LogCall(store.CallsLog(), "userexit-result", "killed after time-out");
      return -1;
    case ChildEnd::kExited: break;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  LogCall(store.CallsLog(), "userexit-result", "exit=" + std::to_string(code));
  return code;
}

int ArchiveLog(const Store& store, const std::string& instance, const std::string& db, int node,
               int timeoutMs) {
  NodeState st = store.ReadNodeState(instance, db, node);
  std::string logDir = store.NodeDir(instance, db, node) + "/logs";
  std::string name = LogFileName(st.log);
  if (!Exists(logDir + "/" + name)) WriteWholeFile(logDir + "/" + name, "");
  ++st.log;
  store.WriteNodeState(instance, db, node, st);
  if (!store.ReadDatabase(instance, db).logArchive) return kSqlOk;
  int code = RunUserExit(store, store.ReadInstance(instance), "ARCHIVE", db, node, logDir, name,
                         timeoutMs);
  if (code != 0) return kSqlLogArchive;
  ::unlink((logDir + "/" + name).c_str());
  return kSqlOk;
}

int RollForwardNode(const Store& store, const std::string& instance, const std::string& db,
                    int node, const std::string& stopTime, int timeoutMs, int& applied) {
  NodeState st = store.ReadNodeState(instance, db, node);
  if (!st.rfPending) return kSqlNotPending;
  Instance inst = store.ReadInstance(instance);
  std::string logDir = store.NodeDir(instance, db, node) + "/logs";
  std::string stop = stopTime.substr(0, 19);
  // Where the restored image stands to each earlier stop at a point in time:
  // taken after the stop on the chain left behind, it follows that chain,
  // whose logs end where the database's logging went on; taken before the
  // stop, it follows the chain the database went on with, which the records
  // left behind are not of.
  const std::uint64_t from = st.lsn;
  auto ownChainEnds = [&](std::uint32_t file) {
    return std::any_of(st.leftBehind.begin(), st.leftBehind.end(), [&](const LeftBehind& b) {
      return st.rfLog < b.nextLog && from > b.lastLsn && file >= b.nextLog;
    });
  };
  auto leftBehind = [&](std::uint32_t file, std::uint64_t lsn) {
    return std::any_of(st.leftBehind.begin(), st.leftBehind.end(), [&](const LeftBehind& b) {
      return st.rfLog < b.nextLog && from <= b.lastLsn && file >= b.firstLog && file < b.nextLog &&
             lsn > b.lastLsn;
    });
  };
  applied = 0;
  std::optional<std::uint32_t> stoppedIn;
  for (std::uint32_t n = st.rfLog; n <= 9999999 && !ownChainEnds(n); ++n) {
    std::string name = LogFileName(n);
    std::string path = logDir + "/" + name;
    if (!Exists(path)) {
      int code = RunUserExit(store, inst, "RETRIEVE", db, node, logDir, name, timeoutMs);
      if (code != 0) return kSqlLogRetrieve;
      if (!Exists(path)) break;  // the exit has no such log: the end of the logs
    }
    std::string text = ReadWholeFile(path);
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t nl = text.find('\n', at);
      if (nl == std::string::npos) return kSqlLogCorrupt;  // a cut last record
      auto r = DecodeLogRecord(text.substr(at, nl - at));
      at = nl + 1;
      if (!r) return kSqlLogCorrupt;
      if (r->lsn <= st.lsn) continue;
      if (r->lsn != st.lsn + 1) return kSqlLogCorrupt;  // a gap in the chain
      if (r->time > stop) {
        stoppedIn = n;
        break;
      }
      if (leftBehind(n, r->lsn)) return kSqlLogOtherChain;
      store.WriteData(instance, db, node, r->tableSpace, r->data);
      // Kept per record, so a roll-forward that stops half-way never applies
      // a record twice when it is run again.
      st.lsn = r->lsn;
      store.WriteNodeState(instance, db, node, st);
      ++applied;
    }
    if (stoppedIn) break;
  }
  if (stoppedIn) {
    // The records after the stop, up to the active log, are left behind;
    // the database logs on in a file none of them is in.
    const std::string active = logDir + "/" + LogFileName(st.log);
    const bool activeEmpty = !Exists(active) || ReadWholeFile(active).empty();
    const std::uint32_t next =
        *stoppedIn < st.log && activeEmpty ? st.log : std::max(st.log, *stoppedIn) + 1;
    if (next > 9999999) return kSqlLogCorrupt;
    st.leftBehind.push_back(LeftBehind{st.lsn, *stoppedIn, next});
    st.log = next;
  }
  st.rfPending = false;
  store.WriteNodeState(instance, db, node, st);
  return kSqlOk;
}

}  // namespace db2sim

// Backup and restore of one partition by the stand-in DB2.
#include "db2/engine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "db2/image.h"
#include "db2/session.h"
#include "db2/sqluv.h"
#include "db2/store.h"
#include "db2/util.h"

#ifndef TARN_DB2_SESSION_PROGRAM
#define TARN_DB2_SESSION_PROGRAM "db2standin-session"
#endif

namespace db2sim {
namespace {

constexpr const char* kStateEntry = "#state";

struct Failure {
  int sqlcode;
  std::string message;
};

std::string SessionProgram() {
  if (const char* p = std::getenv("TARN_DB2_SESSION_PROGRAM"); p != nullptr && *p != '\0') return p;
  return TARN_DB2_SESSION_PROGRAM;
}

// One running session process; killed and reaped when the object goes.
class SessionProc {
 public:
  SessionProc(const std::string& program, const std::vector<std::string>& env) {
    // One socket serves as the session's standard input and output; a socket
    // (unlike a pipe) lets the parent write to a crashed session without SIGPIPE.
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
      throw Error("socketpair failed");
    Fd mine(sv[0]), theirs(sv[1]);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_ = ::fork();
    if (pid_ < 0) throw Error("fork failed");
    if (pid_ == 0) {
      ::dup2(theirs.get(), 0);
      ::dup2(theirs.get(), 1);
      ::execve(program.c_str(), argv, envp.data());
      ::_exit(127);
    }
    sock_ = std::move(mine);
  }
  SessionProc(const SessionProc&) = delete;
  SessionProc& operator=(const SessionProc&) = delete;
  ~SessionProc() { Kill(); }

  bool Send(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0 && sock_.get() >= 0) {
      ssize_t n = ::send(sock_.get(), p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return left == 0;
  }

  // The next answer line, or empty when the session ended or stayed silent
  // past the deadline (then it is killed).
  std::optional<std::string> Line(std::int64_t deadlineMs) {
    for (;;) {
      if (std::size_t nl = buf_.find('\n'); nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      if (buf_.size() > 4096) return std::nullopt;
      std::int64_t left = deadlineMs - NowMs();
      if (left <= 0) {
        timedOut_ = true;
        Kill();
        return std::nullopt;
      }
      pollfd p{sock_.get(), POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char chunk[512];
      ssize_t n = ::read(sock_.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Waits for the exit until the deadline, then kills. True when the
  // process exited normally.
  bool Reap(std::int64_t deadlineMs) {
    sock_.reset();
    if (pid_ > 0) {
      int status = 0;
      if (WaitOrKill(pid_, deadlineMs, status) == ChildEnd::kExited) {
        exitedNormally_ = WIFEXITED(status);
      }
      pid_ = -1;
    }
    return exitedNormally_;
  }

  void Kill() {
    if (pid_ > 0) {
      KillAndReap(pid_);
      pid_ = -1;
    }
  }
  bool timedOut() const { return timedOut_; }

 private:
  pid_t pid_ = -1;
  Fd sock_;
  std::string buf_;
  bool timedOut_ = false;
  bool exitedNormally_ = false;
};

// Parses "<word> <n> [<m>]"; empty when the line is not of that form.
std::optional<std::pair<long, long>> Answer(const std::optional<std::string>& line,
                                            const std::string& word) {
  if (!line || line->rfind(word + " ", 0) != 0) return std::nullopt;
  const char* p = line->c_str() + word.size() + 1;
  char* end = nullptr;
  long a = std::strtol(p, &end, 10);
  if (end == p) return std::nullopt;
  long b = 0;
  if (*end == ' ') {
    const char* q = end + 1;
    b = std::strtol(q, &end, 10);
    if (end == q) return std::nullopt;
  }
  if (*end != '\0') return std::nullopt;
  return std::make_pair(a, b);
}

Failure Silent(const SessionProc& s, int index, const char* phase) {
  return {kSqlVendorError,
          "session " + std::to_string(index) +
              (s.timedOut() ? " did not answer in time during " : " ended without answer during ") +
              phase};
}

// The time a partition's backup is stamped with: now, moved by the
// partition's seconds in the setting TARN_DB2_CLOCK_SKEW ("<node>=<seconds>"
// items separated by commas), as when the backups of partitions straddle a
// second or run on hosts whose clocks differ.
std::string NowTimestamp(int node) {
  std::time_t t = std::time(nullptr);
  if (const char* skew = std::getenv("TARN_DB2_CLOCK_SKEW"))
    t += FindSetting(skew, ',', std::to_string(node)).value_or(0);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%Y%m%d%H%M%S", &tm);
  return b;
}

std::string Sequence(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "%03d", i + 1);
  return b;
}

// A work folder under the state root, removed with everything in it.
class WorkDir {
 public:
  explicit WorkDir(const std::string& root) {
    static int counter = 0;
    path_ = root + "/work/" + std::to_string(::getpid()) + "." + std::to_string(++counter);
    RemoveTree(path_);
    MakeDirs(path_);
  }
  ~WorkDir() { RemoveTree(path_); }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Checked {
  Store store;
  Instance instance;
  Database db;
};

// The checks both directions make before any session starts.
// With `mayCreate` a missing database or partition passes (a restore makes it).
std::optional<Failure> Check(const std::string& instance, const std::string& alias, int node,
                             const std::string& library, int sessions, int bufferSize,
                             std::optional<Checked>& out, bool mayCreate = false) {
  Store store(StateRoot());
  if (!IsSafeName(instance) || !Exists(store.root() + "/instances/" + instance + "/instance.cfg"))
    return Failure{kSqlBadParameter, "unknown instance \"" + instance + "\""};
  Instance inst = store.ReadInstance(instance);
  if (!inst.started) return Failure{kSqlNotStarted, "instance " + instance + " is not started"};
  if (!IsSafeName(alias) || alias.size() > 8)
    return Failure{kSqlBadParameter, "bad database name \"" + alias + "\""};
  Database db{alias, {}, node, false};
  if (store.HasDatabase(instance, alias))
    db = store.ReadDatabase(instance, alias);
  else if (!mayCreate)
    return Failure{kSqlDbNotFound, "database \"" + alias + "\" not found"};
  bool hasNode = false;
  for (int n : db.partitions) hasNode |= n == node;
  if (!hasNode && !mayCreate)
    return Failure{kSqlDbNotFound, "database has no partition " + std::to_string(node)};
  if (library.empty() || library[0] != '/')
    return Failure{kSqlBadParameter, "media target is not an absolute library path"};
  if (sessions < 1 || sessions > 999) return Failure{kSqlBadParameter, "bad session count"};
  if (bufferSize < 1 || bufferSize > (64 << 20))
    return Failure{kSqlBadParameter, "bad buffer size"};
  out.emplace(Checked{store, inst, db});
  return std::nullopt;
}

// Keeps the entries of the named table spaces; every name must be there.
std::optional<Failure> KeepTableSpaces(std::vector<PayloadPart>& entries,
                                       const std::vector<std::string>& names) {
  if (names.empty()) return std::nullopt;
  for (const auto& name : names) {
    bool found = false;
    for (const auto& e : entries) found |= e.name.rfind(name + "/", 0) == 0;
    if (!found) return Failure{kSqlNoTableSpace, "table space " + name + " not found"};
  }
  std::erase_if(entries, [&](const PayloadPart& e) {
    if (e.name == kStateEntry) return false;
    std::string ts = e.name.substr(0, e.name.find('/'));
    return std::find(names.begin(), names.end(), ts) == names.end();
  });
  return std::nullopt;
}

Result Fail(const Failure& f, const std::string& log, const char* call) {
  LogCall(log, call, "sqlcode=" + std::to_string(f.sqlcode) + " " + f.message);
  return Result{f.sqlcode, f.message, {}, 0, 0};
}

// Ends every live session with the same decision and collects the answers;
// *ended counts the sessions whose end may have gone through (it succeeded,
// or the session gave no answer). The sessions end side by side, so they
// share one deadline: sessions that hang cost one time-out between them, not
// one each.
std::optional<Failure> EndAll(std::vector<std::unique_ptr<SessionProc>>& procs,
                              const std::vector<bool>& live, bool commit, int timeoutMs,
                              int firstIndex, int* ended = nullptr) {
  std::optional<Failure> failure;
  if (ended != nullptr) *ended = 0;
  for (std::size_t i = 0; i < procs.size(); ++i)
    if (live[i]) procs[i]->Send(commit ? "commit\n" : "abort\n");
  const std::int64_t deadline = NowMs() + timeoutMs;
  for (std::size_t i = 0; i < procs.size(); ++i) {
    if (!live[i]) continue;
    auto a = Answer(procs[i]->Line(deadline), "end");
    if ((!a || a->first == 0) && ended != nullptr) ++*ended;
    if (!a && !failure)
      failure = Silent(*procs[i], firstIndex + static_cast<int>(i), "sqluvend");
    else if (a && a->first != 0 && !failure)
      failure = Failure{kSqlVendorError, "sqluvend of session " + std::to_string(firstIndex + i) +
                                             " answered " + std::to_string(a->first)};
  }
  const std::int64_t exitDeadline = NowMs() + timeoutMs;
  for (auto& p : procs) p->Reap(exitDeadline);
  return failure;
}

// Gives up the image a failed backup left partly committed: one delete
// session calls sqluvdel for it. What it answers changes nothing for the
// backup, which has failed either way; the session logs the answer.
void GiveUpImage(const std::string& program, const std::vector<std::string>& env,
                 const SessionRequest& request, int timeoutMs) {
  SessionProc proc(program, env);
  proc.Send(EncodeSessionRequest(request));
  proc.Line(NowMs() + timeoutMs);
  proc.Reap(NowMs() + timeoutMs);
}

}  // namespace

Result RunBackup(const BackupRequest& req) {
  const std::int64_t cpuStart = ProcessCpuNs();
  std::string log;
  try {
    log = Store(StateRoot()).CallsLog();
    LogCall(log, "sqlubkp",
            "instance=" + req.instance + " alias=" + req.alias +
                " node=" + std::to_string(req.node) + " sessions=" + std::to_string(req.sessions) +
                " library=" + req.library + " action=" + std::to_string(req.callerAction));
    std::optional<Checked> c;
    if (auto f =
            Check(req.instance, req.alias, req.node, req.library, req.sessions, req.bufferSize, c))
      return Fail(*f, log, "sqlubkp-result");
    if (req.callerAction == kCallerActionCheckOnly) {
      LogCall(log, "sqlubkp-result", "sqlcode=0 checked only");
      return {};
    }
    if (auto f = FaultForNode(c->store.root(), "sqlubkp", req.node))
      return Fail(Failure{*f, "fault setting"}, log, "sqlubkp-result");
    std::string timestamp = req.timestamp.empty() ? NowTimestamp(req.node) : req.timestamp;
    // The image carries the partition's log position, where a roll-forward
    // after its restore starts.
    auto entries = c->store.Snapshot(req.instance, req.alias, req.node);
    if (auto f = KeepTableSpaces(entries, req.tableSpaces)) return Fail(*f, log, "sqlubkp-result");
    NodeState ns = c->store.ReadNodeState(req.instance, req.alias, req.node);
    entries.push_back(
        {kStateEntry,
         {Piece{"lsn=" + std::to_string(ns.lsn) + "\nlog=" + std::to_string(ns.log) + "\n"}}});
    const Pieces payload = PayloadPieces(entries);
    const std::uint64_t payloadSize = PiecesSize(payload);
    WorkDir work(c->store.root());
    // Each session is told where its share lies and reads it from the
    // containers itself, side by side with the others, a buffer at a time.
    for (const ShareHeader& h :
         MakeShareHeaders(payload, static_cast<std::uint32_t>(req.sessions), req.node)) {
      const auto head = EncodeShareHeader(h);
      Pieces share{Piece{std::string(head.begin(), head.end())}};
      const Pieces data = SlicePieces(payload, h.offset, h.length);
      share.insert(share.end(), data.begin(), data.end());
      WriteWholeFile(work.path() + "/obj." + std::to_string(h.index), EncodePieces(share));
    }

    std::string program = SessionProgram();
    auto env = InstanceEnvironment(c->instance, c->store.root());
    std::vector<std::unique_ptr<SessionProc>> procs;
    for (int i = 0; i < req.sessions; ++i) {
      procs.push_back(std::make_unique<SessionProc>(program, env));
      SessionRequest s{'W',          req.library,    req.instance, req.alias,   req.node,
                       timestamp,    Sequence(i),    req.type,     work.path(), i,
                       req.sessions, req.bufferSize, log,          req.options};
      procs.back()->Send(EncodeSessionRequest(s));
    }
    std::optional<Failure> failure;
    std::vector<bool> live(procs.size(), false);
    for (std::size_t i = 0; i < procs.size(); ++i) {
      auto a = Answer(procs[i]->Line(NowMs() + req.timeoutMs), "init");
      if (!a) {
        if (!failure) failure = Silent(*procs[i], static_cast<int>(i), "sqluvint");
      } else if (a->first != SQLUV_OK) {
        if (!failure)
          failure = Failure{
              a->first == -1 ? kSqlVendorLoad : kSqlVendorError,
              "sqluvint of session " + std::to_string(i) + " answered " + std::to_string(a->first)};
      } else {
        live[i] = true;
      }
    }
    if (!failure) {
      for (auto& p : procs) p->Send("put\n");
      for (std::size_t i = 0; i < procs.size(); ++i) {
        auto a = Answer(procs[i]->Line(NowMs() + req.timeoutMs), "data");
        if (!a) {
          live[i] = false;
          if (!failure) failure = Silent(*procs[i], static_cast<int>(i), "sqluvput");
        } else if (a->first != SQLUV_OK && !failure) {
          failure = Failure{kSqlVendorError, "sqluvput of session " + std::to_string(i) +
                                                 " answered " + std::to_string(a->first)};
        }
      }
    }
    const bool commit = !failure;
    int committed = 0;
    auto endFailure = EndAll(procs, live, commit, req.timeoutMs, 0, &committed);
    // A commit that a session could not carry out still fails the backup,
    // and the objects the other sessions committed must not stay behind as
    // an image that reads as complete.
    if (commit && endFailure) {
      failure = endFailure;
      if (committed > 0) {
        SessionRequest s{'D',          req.library,    req.instance, req.alias,   req.node,
                         timestamp,    Sequence(0),    req.type,     work.path(), 0,
                         req.sessions, req.bufferSize, log,          req.options};
        GiveUpImage(program, env, s, req.timeoutMs);
      }
    }
    if (failure) return Fail(*failure, log, "sqlubkp-result");
    LogCall(log, "sqlubkp-result", "sqlcode=0 timestamp=" + timestamp);
    LogCall(log, "engine-cpu", "ms=" + std::to_string((ProcessCpuNs() - cpuStart) / 1000000));
    return Result{kSqlOk, {}, timestamp, req.sessions, payloadSize};
  } catch (const std::exception& e) {
    if (!log.empty()) LogCall(log, "sqlubkp-result", std::string("sqlcode=-902 ") + e.what());
    return Result{kSqlInternal, e.what(), {}, 0, 0};
  }
}

Result RunRestore(const RestoreRequest& req) {
  const std::int64_t cpuStart = ProcessCpuNs();
  std::string log;
  try {
    log = Store(StateRoot()).CallsLog();
    std::string target = req.target.empty() ? req.alias : req.target;
    LogCall(log, "sqlurestore",
            "instance=" + req.instance + " alias=" + req.alias + " target=" + target +
                " node=" + std::to_string(req.node) + " sessions=" + std::to_string(req.sessions) +
                " timestamp=" + req.timestamp + " library=" + req.library);
    std::optional<Checked> c;
    if (auto f = Check(req.instance, target, req.node, req.library, req.sessions, req.bufferSize, c,
                       true))
      return Fail(*f, log, "sqlurestore-result");
    if (auto f = FaultForNode(c->store.root(), "sqlurestore", req.node))
      return Fail(Failure{*f, "fault setting"}, log, "sqlurestore-result");
    WorkDir work(c->store.root());
    std::string program = SessionProgram();
    auto env = InstanceEnvironment(c->instance, c->store.root());

    long objects = -1;  // known after the first sqluvint
    long next = 0;      // next object to read
    int started = 0;    // sessions started so far, for their numbers
    while (objects < 0 || next < objects) {
      int wave = objects < 0 ? req.sessions
                             : static_cast<int>(std::min<long>(req.sessions, objects - next));
      std::vector<std::unique_ptr<SessionProc>> procs;
      for (int i = 0; i < wave; ++i) {
        procs.push_back(std::make_unique<SessionProc>(program, env));
        SessionRequest s{'R',         req.library,   req.instance,          req.alias,
                         req.node,    req.timestamp, Sequence(started + i), req.type,
                         work.path(), started + i,   req.sessions,          req.bufferSize,
                         log,         req.options};
        procs.back()->Send(EncodeSessionRequest(s));
      }
      std::optional<Failure> failure;
      std::vector<bool> live(procs.size(), false);
      for (std::size_t i = 0; i < procs.size(); ++i) {
        int index = started + static_cast<int>(i);
        auto a = Answer(procs[i]->Line(NowMs() + req.timeoutMs), "init");
        if (!a) {
          if (!failure) failure = Silent(*procs[i], index, "sqluvint");
          continue;
        }
        if (a->first != SQLUV_OK) {
          if (!failure)
            failure = Failure{a->first == -1 ? kSqlVendorLoad : kSqlVendorError,
                              "sqluvint of session " + std::to_string(index) + " answered " +
                                  std::to_string(a->first)};
          continue;
        }
        live[i] = true;
        if (a->second < 1 || a->second > 9999 || (objects >= 0 && a->second != objects)) {
          if (!failure)
            failure = Failure{kSqlVendorError, "session " + std::to_string(index) + " reports " +
                                                   std::to_string(a->second) + " backup objects"};
          continue;
        }
        objects = a->second;
      }
      std::vector<bool> reading(procs.size(), false);
      if (!failure) {
        for (std::size_t i = 0; i < procs.size() && next < objects; ++i, ++next) {
          procs[i]->Send("read " + std::to_string(next) + "\n");
          reading[i] = true;
        }
        for (std::size_t i = 0; i < procs.size(); ++i) {
          if (!reading[i]) continue;
          auto a = Answer(procs[i]->Line(NowMs() + req.timeoutMs), "data");
          if (!a) {
            live[i] = false;
            if (!failure) failure = Silent(*procs[i], started + static_cast<int>(i), "sqluvget");
          } else if (a->first != SQLUV_OK && !failure) {
            failure =
                Failure{kSqlVendorError, "sqluvget of session " + std::to_string(started + i) +
                                             " answered " + std::to_string(a->first)};
          }
        }
      }
      EndAll(procs, live, !failure, req.timeoutMs, started);
      if (failure) return Fail(*failure, log, "sqlurestore-result");
      started += wave;
    }

    // The objects stay in the work folder; the containers are written from
    // them once the whole image has been checked.
    std::vector<std::string> paths;
    for (long i = 0; i < objects; ++i) paths.push_back(work.path() + "/obj." + std::to_string(i));
    std::vector<PayloadPart> entries;
    try {
      const StoredImage image = VerifyShareFiles(paths);
      if (image.header.node != req.node)
        throw Error("image is of partition " + std::to_string(image.header.node));
      entries = DecodePayloadPieces(image.payload);
    } catch (const Error& e) {
      return Fail(Failure{kSqlImageCorrupt, e.what()}, log, "sqlurestore-result");
    }
    NodeState ns;  // the log position the image carries
    bool hadState = false;
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->name != kStateEntry) {
        ++it;
        continue;
      }
      constexpr std::uint64_t kMaxState = 65536;
      if (PiecesSize(it->data) > kMaxState)
        return Fail(Failure{kSqlImageCorrupt, "image with an oversized log position"}, log,
                    "sqlurestore-result");
      auto kv = ParseKeyValues(ReadPieces(it->data, 0, PiecesSize(it->data)));
      for (const auto& [k, v] : kv) {
        if (k == "lsn") ns.lsn = std::strtoull(v.c_str(), nullptr, 10);
        if (k == "log") ns.rfLog = static_cast<std::uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
      }
      hadState = true;
      it = entries.erase(it);
    }
    if (!hadState)
      return Fail(Failure{kSqlImageCorrupt, "image without log position"}, log,
                  "sqlurestore-result");
    if (auto f = KeepTableSpaces(entries, req.tableSpaces))
      return Fail(*f, log, "sqlurestore-result");
    // A new database name, or a partition the target lacks, is made from
    // the image: its table spaces with as many containers as it carries.
    std::vector<std::pair<std::string, int>> layout;
    for (const auto& e : entries) {
      std::string ts = e.name.substr(0, e.name.find('/'));
      if (!layout.empty() && layout.back().first == ts)
        ++layout.back().second;
      else
        layout.emplace_back(ts, 1);
    }
    c->store.EnsurePartition(req.instance, target, req.node, layout, c->db.logArchive);
    c->store.Apply(req.instance, target, req.node, entries);
    NodeState ts = c->store.ReadNodeState(req.instance, target, req.node);
    ts.lsn = ns.lsn;
    ts.rfLog = ns.rfLog;
    ts.rfPending = c->store.ReadDatabase(req.instance, target).logArchive;
    c->store.WriteNodeState(req.instance, target, req.node, ts);
    LogCall(log, "sqlurestore-result", "sqlcode=0 objects=" + std::to_string(objects));
    LogCall(log, "engine-cpu", "ms=" + std::to_string((ProcessCpuNs() - cpuStart) / 1000000));
    return Result{kSqlOk, {}, req.timestamp, static_cast<int>(objects), 0};
  } catch (const std::exception& e) {
    if (!log.empty()) LogCall(log, "sqlurestore-result", std::string("sqlcode=-902 ") + e.what());
    return Result{kSqlInternal, e.what(), {}, 0, 0};
  }
}

}  // namespace db2sim

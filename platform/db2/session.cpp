// A session process of the stand-in DB2: loads the vendor library as DB2
// does and drives its entry points for one share of an image.
#include "db2/session.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "db2/image.h"
#include "db2/sqluv.h"
#include "db2/store.h"
#include "db2/util.h"

namespace db2sim {
namespace {

constexpr std::size_t kMaxOptions = 1 << 20;
constexpr std::size_t kMaxLine = 4096;

bool CleanValue(const std::string& v) {
  return v.find('\n') == std::string::npos;
}

// Reads one line byte by byte: the request is small and the raw options
// block that follows must not be swallowed by a buffer.
bool ReadLine(int fd, std::string& line) {
  line.clear();
  char c;
  while (line.size() < kMaxLine) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
  return false;
}

bool ParseInt(const std::string& text, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

class Session {
 public:
  Session(SessionRequest req, int out) : req_(std::move(req)), out_(out) {}
  ~Session() {
    if (lib_ != nullptr) ::dlclose(lib_);
  }
  int Run(int in);

 private:
  void Answer(const std::string& line) {
    std::string l = line + "\n";
    WriteFull(out_, l.data(), l.size());
  }
  void Log(const std::string& call, const std::string& text) {
    LogCall(req_.callsLog, call,
            "node=" + std::to_string(req_.node) + " session=" + std::to_string(req_.session) + " " +
                text);
  }
  // Runs a call of the vendor library, counting the CPU it takes, so that
  // a benchmark can tell the stand-in's own share of a session's CPU.
  template <class Call>
  int Vendor(Call call) {
    const std::int64_t start = ProcessCpuNs();
    const int r = call();
    vendorNs_ += ProcessCpuNs() - start;
    return r;
  }
  void LogCpu() {
    const std::int64_t all = ProcessCpuNs();
    Log("session-cpu", "own-ms=" + std::to_string((all - vendorNs_) / 1000000) +
                           " vendor-ms=" + std::to_string(vendorNs_ / 1000000));
  }
  bool Load();
  void FillInput();
  int Init();
  int Delete();
  int Put(long& total);
  int Read(int object, long& total);
  int End(int action);

  SessionRequest req_;
  int out_;
  void* lib_ = nullptr;
  sqluvint_fn init_ = nullptr;
  sqluvget_fn get_ = nullptr;
  sqluvput_fn put_ = nullptr;
  sqluvend_fn end_ = nullptr;
  sqluvdel_fn del_ = nullptr;
  std::vector<char> options_;
  std::string action_, instance_, alias_, timestamp_, sequence_, type_, empty_;
  DB2_info info_{};
  Init_input in_{};
  Init_output outInfo_{};
  std::int64_t vendorNs_ = 0;
};

bool Session::Load() {
  Log("dlopen", "library=" + req_.library);
  // The library stays mapped after dlclose, as a vendor library of a
  // database process does: what it keeps for the process stays its own.
  lib_ = ::dlopen(req_.library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (lib_ == nullptr) {
    Log("dlopen-failed", ::dlerror());
    return false;
  }
  init_ = reinterpret_cast<sqluvint_fn>(::dlsym(lib_, "sqluvint"));
  get_ = reinterpret_cast<sqluvget_fn>(::dlsym(lib_, "sqluvget"));
  put_ = reinterpret_cast<sqluvput_fn>(::dlsym(lib_, "sqluvput"));
  end_ = reinterpret_cast<sqluvend_fn>(::dlsym(lib_, "sqluvend"));
  del_ = reinterpret_cast<sqluvdel_fn>(::dlsym(lib_, "sqluvdel"));
  if (init_ == nullptr || get_ == nullptr || put_ == nullptr || end_ == nullptr ||
      (req_.action == 'D' && del_ == nullptr)) {
    Log("dlsym-failed", "library=" + req_.library);
    return false;
  }
  return true;
}

void Session::FillInput() {
  // Texts DB2 owns for the whole session; the library may keep pointers.
  action_ = std::string(1, req_.action);
  instance_ = req_.instance;
  alias_ = req_.alias;
  timestamp_ = req_.timestamp;
  sequence_ = req_.sequence;
  type_ = req_.type;
  info_.action = action_.data();
  info_.db2instance = instance_.data();
  info_.dbname = alias_.data();
  info_.alias = alias_.data();
  info_.timestamp = timestamp_.data();
  info_.sequence = sequence_.data();
  info_.type = type_.data();
  info_.DB2_id = empty_.data();
  info_.version = empty_.data();
  info_.release = empty_.data();
  info_.level = empty_.data();
  info_.filename = empty_.data();
  info_.server_id = empty_.data();
  info_.nodename = empty_.data();
  info_.password = empty_.data();
  info_.owner = empty_.data();
  info_.mcNameP = empty_.data();
  info_.nodeNum = static_cast<std::int16_t>(req_.node);
  // The library gets its own copy of the options block, as each DB2 process does.
  options_.assign(req_.options.begin(), req_.options.end());
  options_.push_back('\0');
  in_.DB2_session = &info_;
  in_.size_options = static_cast<std::uint16_t>(std::min<std::size_t>(req_.options.size(), 0xFFFF));
  in_.size_options_full = static_cast<std::uint32_t>(req_.options.size());
  in_.options = options_.data();
  in_.num_sessions = req_.sessions;
}

int Session::Init() {
  FillInput();
  Return_code rc{};
  Log("sqluvint", "action=" + action_ + " instance=" + instance_ + " alias=" + alias_ +
                      " timestamp=" + timestamp_ + " sequence=" + sequence_ + " type=" + type_ +
                      " options=" + std::to_string(req_.options.size()));
  int r = Vendor([&] { return init_(&in_, &outInfo_, &rc); });
  int objects =
      outInfo_.vendor_session != nullptr ? outInfo_.vendor_session->num_objects_in_backup : 0;
  Log("sqluvint-result", "rc=" + std::to_string(r) +
                             " return_code=" + std::to_string(rc.return_code) +
                             " objects=" + std::to_string(objects));
  Answer("init " + std::to_string(r) + " " + std::to_string(objects));
  return r;
}

int Session::Put(long& total) {
  // The share's header and where its bytes lie in the containers.
  Pieces share;
  try {
    share = DecodePieces(
        ReadWholeFile(req_.workDir + "/obj." + std::to_string(req_.session), 16 << 20));
  } catch (const Error&) {
    return SQLUV_IO_ERROR;
  }
  PieceReader reader(share);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(req_.bufferSize));
  for (;;) {
    std::size_t n = 0;
    try {
      n = reader.Read(buf);
    } catch (const Error&) {
      return SQLUV_IO_ERROR;
    }
    if (n == 0) return SQLUV_OK;
    Data d{};
    d.buff_size = static_cast<std::int32_t>(n);
    d.dataptr = reinterpret_cast<char*>(buf.data());
    Return_code rc{};
    int r = Vendor([&] { return put_(outInfo_.pVendorCB, &d, &rc); });
    Log("sqluvput", "size=" + std::to_string(n) + " rc=" + std::to_string(r));
    if (r != SQLUV_OK) return r;
    total += static_cast<long>(n);
  }
}

int Session::Read(int object, long& total) {
  std::string path = req_.workDir + "/obj." + std::to_string(object);
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return SQLUV_IO_ERROR;
  std::vector<char> buf(static_cast<std::size_t>(req_.bufferSize));
  for (;;) {
    Data d{};
    d.obj_num = object;
    d.buff_size = static_cast<std::int32_t>(buf.size());
    d.dataptr = buf.data();
    Return_code rc{};
    int r = Vendor([&] { return get_(outInfo_.pVendorCB, &d, &rc); });
    Log("sqluvget", "object=" + std::to_string(object) + " size=" + std::to_string(buf.size()) +
                        " actual=" + std::to_string(d.actual_buf_size) +
                        " rc=" + std::to_string(r));
    if (r != SQLUV_MORE_DATA && r != SQLUV_ENDOFMEDIA && r != SQLUV_ENDOFMEDIA_NO_DATA) return r;
    if (r == SQLUV_ENDOFMEDIA_NO_DATA) return SQLUV_OK;
    // A library that claims more than the buffer holds is not trusted.
    if (d.actual_buf_size < 0 || d.actual_buf_size > d.buff_size) return SQLUV_IO_ERROR;
    if (r == SQLUV_MORE_DATA && d.actual_buf_size != d.buff_size) return SQLUV_IO_ERROR;
    if (!WriteFull(fd.get(), buf.data(), static_cast<std::size_t>(d.actual_buf_size)))
      return SQLUV_IO_ERROR;
    total += d.actual_buf_size;
    if (r == SQLUV_ENDOFMEDIA) return SQLUV_OK;
  }
}

// Gives up every object of the image the request names, as DB2 does with a
// failed backup whose other sessions had committed.
int Session::Delete() {
  FillInput();
  Return_code rc{};
  Log("sqluvdel", "instance=" + instance_ + " alias=" + alias_ + " timestamp=" + timestamp_);
  int r = del_(&in_, &outInfo_, &rc);
  Log("sqluvdel-result",
      "rc=" + std::to_string(r) + " return_code=" + std::to_string(rc.return_code));
  Answer("deleted " + std::to_string(r) + " " + std::to_string(rc.return_code));
  return r;
}

int Session::End(int action) {
  Return_code rc{};
  Log("sqluvend", std::string("action=") + (action == SQLUV_COMMIT ? "commit" : "abort"));
  int r = Vendor([&] { return end_(action, outInfo_.pVendorCB, &outInfo_, &rc); });
  Log("sqluvend-result", "rc=" + std::to_string(r));
  Answer("end " + std::to_string(r));
  return r;
}

int Session::Run(int in) {
  if (!Load()) {
    Answer(req_.action == 'D' ? "deleted -1 0" : "init -1 0");
    return 2;
  }
  if (req_.action == 'D') {
    Delete();
    return 0;
  }
  // The fault "session-dies=<index>": that session ends before it calls
  // sqluvint, as a DB2 session process that crashed early would.
  try {
    if (auto dies = FaultFor(StateRoot(), "session-dies"); dies && *dies == req_.session) {
      Log("session-dies", "session=" + std::to_string(req_.session));
      _exit(3);
    }
  } catch (const std::exception&) {
  }
  if (Init() != SQLUV_OK) return 0;
  std::string cmd;
  while (ReadLine(in, cmd)) {
    long total = 0;
    if (cmd == "put" && req_.action == 'W') {
      int r = Put(total);
      Answer("data " + std::to_string(r) + " " + std::to_string(total));
    } else if (cmd.rfind("read ", 0) == 0 && req_.action == 'R') {
      int object = 0;
      int r = ParseInt(cmd.substr(5), 0, 9999, object) ? Read(object, total) : SQLUV_INV_ACTION;
      Answer("data " + std::to_string(r) + " " + std::to_string(total));
    } else if (cmd == "commit" || cmd == "abort") {
      End(cmd == "commit" ? SQLUV_COMMIT : SQLUV_ABORT);
      LogCpu();
      return 0;
    } else {
      break;
    }
  }
  // The parent went away or spoke nonsense: give the session up.
  End(SQLUV_ABORT);
  return 1;
}

}  // namespace

std::string EncodeSessionRequest(const SessionRequest& r) {
  std::string s;
  auto add = [&](const char* k, const std::string& v) {
    if (!CleanValue(v)) throw Error(std::string("line break in ") + k);
    s += k;
    s += '=';
    s += v;
    s += '\n';
  };
  add("action", std::string(1, r.action));
  add("library", r.library);
  add("instance", r.instance);
  add("alias", r.alias);
  add("node", std::to_string(r.node));
  add("timestamp", r.timestamp);
  add("sequence", r.sequence);
  add("type", r.type);
  add("work", r.workDir);
  add("session", std::to_string(r.session));
  add("sessions", std::to_string(r.sessions));
  add("buffer", std::to_string(r.bufferSize));
  add("calls", r.callsLog);
  add("options", std::to_string(r.options.size()));
  s += r.options;
  return s;
}

std::optional<SessionRequest> ReadSessionRequest(int fd) {
  SessionRequest r;
  std::string line;
  for (;;) {
    if (!ReadLine(fd, line)) return std::nullopt;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    bool ok = true;
    if (k == "action") {
      ok = v == "W" || v == "R" || v == "D";
      r.action = v.empty() ? '?' : v[0];
    } else if (k == "library")
      r.library = v;
    else if (k == "instance")
      r.instance = v;
    else if (k == "alias")
      r.alias = v;
    else if (k == "node")
      ok = ParseInt(v, -32768, 32767, r.node);
    else if (k == "timestamp")
      r.timestamp = v;
    else if (k == "sequence")
      r.sequence = v;
    else if (k == "type")
      r.type = v;
    else if (k == "work")
      r.workDir = v;
    else if (k == "session")
      ok = ParseInt(v, 0, 999, r.session);
    else if (k == "sessions")
      ok = ParseInt(v, 1, 999, r.sessions);
    else if (k == "buffer")
      ok = ParseInt(v, 1, 64 << 20, r.bufferSize);
    else if (k == "calls")
      r.callsLog = v;
    else if (k == "options") {
      int n = 0;
      if (!ParseInt(v, 0, kMaxOptions, n)) return std::nullopt;
      r.options.resize(static_cast<std::size_t>(n));
      if (ReadFull(fd, r.options.data(), r.options.size()) != n) return std::nullopt;
      return r;
    }
    if (!ok) return std::nullopt;
  }
}

int RunSession(int in, int out) {
  auto req = ReadSessionRequest(in);
  if (!req) {
    const char msg[] = "init -1 0\n";
    WriteFull(out, msg, sizeof msg - 1);
    return 2;
  }
  Session s(std::move(*req), out);
  return s.Run(in);
}

}  // namespace db2sim

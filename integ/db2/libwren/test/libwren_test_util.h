// Harness of the vendor library's tests through the stand-in DB2: an install
// root with the library in its lib directory, the stand-in DB2 with a
// database of two partitions, the stand-in cell server and media agent, the
// vendor-options record DB2 passes on, and readers of what got stored.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "db2/engine.h"
#include "db2/testing/db2_standin.h"
#include "db2/vendoropts.h"
#include "libwren/vendorapi.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"

namespace wren_test {

inline constexpr char kInstance[] = "db2inst1";
inline constexpr char kDatabase[] = "SAMPLE";
inline constexpr char kTimestamp[] = "20261209120000";

inline int Count(std::string_view text, std::string_view what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}
inline int Count(const std::vector<std::string>& lines, std::string_view what) {
  int n = 0;
  for (const std::string& line : lines) n += Count(line, what);
  return n;
}

// Lines of `text` that hold both `call` (a calls-log call name) and `what`.
inline int CountCalls(std::string_view text, std::string_view call, std::string_view what = "") {
  int n = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    const std::size_t name = line.find(' ');
    if (name != std::string_view::npos &&
        line.substr(name + 1, call.size() + 1) == std::string(call) + " " &&
        line.find(what) != std::string_view::npos)
      ++n;
    at = end + 1;
  }
  return n;
}

// The text of every trace file in `dir`.
inline std::string TraceText(const std::string& dir) {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().filename().string().rfind("VEKDBG_", 0) == 0)
      text += tarn::test::ReadFile(entry.path().string());
  return text;
}

// Deterministic bytes of a seed.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// DB2's input of sqluvint and sqluvdel for one image of the test database.
struct Db2Input {
  Db2Input(int node, const std::string& timestamp, const std::string& action,
           const std::string& optionsRecord)
      : action_(action),
        instance_(kInstance),
        alias_(kDatabase),
        timestamp_(timestamp),
        options_(optionsRecord) {
    info.action = action_.data();
    info.db2instance = instance_.data();
    info.dbname = alias_.data();
    info.alias = alias_.data();
    info.timestamp = timestamp_.data();
    info.sequence = sequence_.data();
    info.type = type_.data();
    info.nodeNum = static_cast<std::int16_t>(node);
    in.DB2_session = &info;
    in.options = options_.data();
    in.size_options_full = static_cast<std::uint32_t>(options_.size());
    in.num_sessions = 1;
  }
  Db2Input(const Db2Input&) = delete;
  Db2Input& operator=(const Db2Input&) = delete;

  DB2_info info{};
  Init_input in{};

 private:
  std::string action_, instance_, alias_, timestamp_, sequence_ = "001", type_ = "0";
  std::string options_;
};

// The installed library's entry points, loaded as DB2 loads them; the
// library stays loaded for the life of the process.
struct WrenEntryPoints {
  explicit WrenEntryPoints(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) return;
    init = reinterpret_cast<decltype(init)>(dlsym(h, "sqluvint"));
    get = reinterpret_cast<decltype(get)>(dlsym(h, "sqluvget"));
    put = reinterpret_cast<decltype(put)>(dlsym(h, "sqluvput"));
    end = reinterpret_cast<decltype(end)>(dlsym(h, "sqluvend"));
  }
  bool ok() const { return init != nullptr && get != nullptr && put != nullptr && end != nullptr; }
  int (*init)(Init_input*, Init_output*, Return_code*) = nullptr;
  int (*get)(void*, Data*, Return_code*) = nullptr;
  int (*put)(void*, Data*, Return_code*) = nullptr;
  int (*end)(std::int32_t, void*, Init_output*, Return_code*) = nullptr;
};

// Bit i of the result is set when check i failed: a child process's exit code.
class CheckBits {
 public:
  void operator()(bool ok) {
    if (!ok) failed_ |= bit_;
    bit_ <<= 1;
  }
  int failed() const { return failed_; }

 private:
  int failed_ = 0, bit_ = 1;
};

// Runs `body` in a process of its own, as DB2 runs a session: with `env` set
// in its environment and the installed library loaded. Returns the bits of
// the failed checks; 1 << 20 when the library does not load, -1 when the
// process did not end by itself within a minute.
inline int RunAsDb2(const std::string& library,
                    const std::vector<std::pair<std::string, std::string>>& env,
                    const std::function<void(const WrenEntryPoints&, CheckBits&)>& body) {
  tarn::test::ChildProcess db2(
      [&] {
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        WrenEntryPoints wren(library);
        if (!wren.ok()) return 1 << 20;
        CheckBits check;
        body(wren, check);
        return check.failed();
      },
      60);
  return db2.ExitCode(60);
}

class WrenDb2 : public ::testing::Test {
 public:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    root_.writeKeyPrograms();
    root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
    std::filesystem::copy_file(TARN_WREN_LIBRARY, library(),
                               std::filesystem::copy_options::overwrite_existing);
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("wrentest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    db2_.CreateDatabase(kDatabase, {0, 1}, 0, {"SYSCATSPACE", "USERSPACE1"});
  }

  // Starts the media agent (with `maArgs` besides its buffer settings) and
  // the cell server, whose session manager answers `backups` object requests
  // with that agent, one data-path id each from 1 on, and then `restores`
  // object requests with the agent and the DA id of the object's stream;
  // `catalogue` adds fixture lines.
  void Start(int backups, std::vector<std::string> maArgs = {}, int restores = 0,
             const std::string& catalogue = "") {
    std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4"};
    args.insert(args.end(), maArgs.begin(), maArgs.end());
    ma_ = std::make_unique<tarn::test::MediaAgentStandIn>(
        tarn::test::MediaAgentStandIn::Options{.args = args});
    ASSERT_TRUE(ma_->ready());
    const std::string agent = "baropt connect -ma 127.0.0.1 " + std::to_string(ma_->port());
    std::string fixture = catalogue;
    for (int da = 1; da <= backups; ++da) fixture += agent + " -daid " + std::to_string(da) + "\n";
    for (int i = 0; i < restores; ++i) fixture += agent + " -daid ${da}\n";
    cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
        .fixture = fixture, .args = {"--media-events", ma_->eventsPath()}});
    ASSERT_TRUE(cs_->ready());
  }

  // The installed library, where DB2 is told to find it.
  std::string library() const { return root_.at("/opt/tarn/lib/libwren_32bit.so"); }

  // The record the agent hands through DB2: the variables that lead the
  // library to the stand-ins (with `vekopts` as VEKOPTS), the barlist, and
  // for a backup the tree.
  std::string Options(bool backup, const std::string& vekopts = "-server 127.0.0.1") const {
    VendorOptions o;
    o.variables = VendorOptionsVariables("nightly", vekopts) +
                  "\nTARN_INET_PORT=" + std::to_string(cs_->inetPort()) +
                  "\nVEK_CELL_SERVER_HOSTNAME=127.0.0.1\nVEKSHUTDOWNTIMEOUT=1";
    o.barlist = "nightly";
    o.hasTree = backup;
    if (backup) DataTreeAppend(&o.dataTree, kInstance, kDatabase);
    std::vector<std::uint8_t> record;
    EXPECT_EQ(VendorOptionsWrite(o, &record), 0);
    return std::string(record.begin(), record.end());
  }

  void WriteData(int node, std::size_t size, unsigned seed) const {
    db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1", Pattern(size, seed));
  }

  // DB2's backup of one partition through the library; `options` replaces
  // the record when given.
  db2sim::Result Backup(int node, int sessions, const std::string& options = "",
                        int bufferSize = 4096) const {
    db2sim::BackupRequest req;
    req.instance = kInstance;
    req.alias = kDatabase;
    req.node = node;
    req.library = library();
    req.sessions = sessions;
    req.bufferSize = bufferSize;
    req.timestamp = kTimestamp;
    req.options = options.empty() ? Options(true) : options;
    req.timeoutMs = 60000;
    return db2sim::RunBackup(req);
  }

  db2sim::Result Restore(int node, int sessions, const std::string& timestamp = kTimestamp,
                         int bufferSize = 4096) const {
    db2sim::RestoreRequest req;
    req.instance = kInstance;
    req.alias = kDatabase;
    req.node = node;
    req.library = library();
    req.sessions = sessions;
    req.bufferSize = bufferSize;
    req.timestamp = timestamp;
    req.options = Options(false);
    req.timeoutMs = 60000;
    return db2sim::RunRestore(req);
  }

  std::uint64_t Checksum(int node) const {
    return db2_.store().ContentChecksum(kInstance, kDatabase, node);
  }

  // Lines of the cell server's catalogue file that begin with `prefix`.
  std::vector<std::string> CatalogueLines(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : tarn::test::FileLines(cs_->stateDir() + "/catalogue"))
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }
  // The object names of the stored versions, sorted.
  std::vector<std::string> CatalogueObjects() const {
    std::vector<std::string> names;
    for (const std::string& line : CatalogueLines("cat-version ")) {
      const std::size_t open = line.find('"');
      const std::size_t close = line.find('"', open + 1);
      if (open != std::string::npos && close != std::string::npos)
        names.push_back(line.substr(open + 1, close - open - 1));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Hostname() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
  }

  tarn::test::Watchdog watchdog_{170};
  tarn::test::TempRoot root_;
  db2sim::testing::Db2StandIn db2_{kInstance};
  std::unique_ptr<tarn::test::MediaAgentStandIn> ma_;
  std::unique_ptr<tarn::test::CellServerStandIn> cs_;
};

}  // namespace wren_test

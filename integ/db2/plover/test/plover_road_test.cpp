// The user exit end to end: the stand-in DB2 archives its closed log files
// through the instance's link to plover and its roll-forward retrieves them
// again, against the stand-in cell server and media agent.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "barutil/buconfig.h"
#include "barutil/vekhost.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "db2/engine.h"
#include "db2/logs.h"
#include "db2/sqladmin.h"
#include "db2/testing/db2_standin.h"
#include "db2/util.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "plover/archlog.h"
#include "plover/uexit.h"
#include "tarn_test.h"
#include "vekposix/vekposix.h"

TARN_RCSID("integ/db2/plover/test/plover_road_test.cpp");

namespace {

constexpr char kInstance[] = "db2inst1";
constexpr char kDatabase[] = "SAMPLE";
constexpr char kBarlistConfig[] = "\"USEREXIT_BARLISTS={\\n\\tSAMPLE='logs';\\n};\\n\"";
constexpr char kNoBarlistConfig[] = "\"Version='11.5';\\n\"";
constexpr int kTimeoutMs = 60000;

class PloverRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("ploverroad", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    char path[1024];
    ASSERT_EQ(BU_GetConfigPath(path, sizeof path, nullptr, "DB2", kInstance), 0);
    configPath_ = path;
    db2_.CreateDatabase(kDatabase, {0}, 0, {"USERSPACE1"}, true);
    db2_.InstallUserExit(TARN_PLOVER_PROGRAM);
  }

  // The stand-ins; the session manager answers `backups` object requests
  // with the agent and DA ids 1, 2, ..., then `restores` with the DA id of
  // the requested version's stream, then `later` of each again.
  void Start(const char* config, int backups, int restores, const std::string& extra = "",
             std::pair<int, int> later = {}) {
    ma_ = std::make_unique<tarn::test::MediaAgentStandIn>(tarn::test::MediaAgentStandIn::Options{
        .args = {"--buffer-size", "65536", "--buffer-count", "4"}});
    ASSERT_TRUE(ma_->ready());
    const std::string agent = "baropt connect -ma 127.0.0.1 " + std::to_string(ma_->port());
    std::string fixture = extra + "item 80 \"" + configPath_ + "\" " + config + "\n";
    for (int da = 1; da <= backups; ++da) fixture += agent + " -daid " + std::to_string(da) + "\n";
    for (int i = 0; i < restores; ++i) fixture += agent + " -daid ${da}\n";
    for (int da = backups + 1; da <= backups + later.first; ++da)
      fixture += agent + " -daid " + std::to_string(da) + "\n";
    for (int i = 0; i < later.second; ++i) fixture += agent + " -daid ${da}\n";
    cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
        .fixture = fixture, .args = {"--media-events", ma_->eventsPath()}});
    ASSERT_TRUE(cs_->ready());
    UseInetPort(cs_->inetPort());
  }
  // The user exit finds the cell server through the installation's rc file.
  void UseInetPort(int port) const {
    root_.write("/opt/tarn/.tarnrc", "TARN_INET_PORT=" + std::to_string(port) + "\n");
  }

  std::string LogDir() const { return store_.NodeDir(kInstance, kDatabase, 0) + "/logs"; }
  // Files of the log folder a retrieval writes before its rename.
  int TemporaryFiles() const {
    int files = 0;
    for (const std::string& name : db2sim::ListDir(LogDir())) files += name[0] == '.' ? 1 : 0;
    return files;
  }
  // The barlist's session, started as the integration API's caller would.
  void StartLogsSession(BarContext** ctx) const {
    cs_->exportInetPort();
    ASSERT_EQ(VEK_Init("DB2", kInstance, "ploverroad", 0, ctx), 0);
    ASSERT_EQ(VEK_StartBackup(*ctx, "logs"), 0);
  }
  std::string LogPath(std::uint32_t n) const { return LogDir() + "/" + db2sim::LogFileName(n); }
  void Log(const std::string& data, const std::string& time) const {
    db2sim::WriteLogged(store_, kInstance, kDatabase, 0, "USERSPACE1", data, time);
  }
  // Closes the active log with its mode and times set, and archives it.
  int Archive(std::uint32_t n, mode_t mode, time_t mtime) const {
    ::chmod(LogPath(n).c_str(), mode);
    struct utimbuf t {
      mtime, mtime
    };
    ::utime(LogPath(n).c_str(), &t);
    return db2sim::ArchiveLog(store_, kInstance, kDatabase, 0, kTimeoutMs);
  }
  int Retrieve(std::uint32_t n) const {
    return db2sim::RunUserExit(store_, store_.ReadInstance(kInstance), "RETRIEVE", kDatabase, 0,
                               LogDir(), db2sim::LogFileName(n), kTimeoutMs);
  }
  std::string Content() const {
    return db2sim::ReadWholeFile(store_.Containers(kInstance, kDatabase, 0, "USERSPACE1")[0]);
  }
  std::string Db2Log() const { return root_.read("/var/opt/tarn/log/db2.log"); }
  // Lines of the cell server's catalogue file that hold `text`.
  int CatalogueLines(const std::string& text) const {
    int n = 0;
    for (const std::string& line : tarn::test::FileLines(cs_->stateDir() + "/catalogue"))
      n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  tarn::test::Watchdog watchdog_{180};
  tarn::test::TempRoot root_;
  db2sim::testing::Db2StandIn db2_{kInstance};
  db2sim::Store store_ = db2_.store();
  tarn::test::TempDir media_;
  std::string configPath_;
  std::unique_ptr<tarn::test::MediaAgentStandIn> ma_;
  std::unique_ptr<tarn::test::CellServerStandIn> cs_;
};

struct Archived {
  std::string content;
  mode_t mode;
  time_t mtime;
};

TEST_F(PloverRoad, ArchivedLogsComeBackByteIdenticalThroughRollForward) {
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 3, 4));
  // A backup, then three logs archived (each in a session of its own, so all
  // three objects share one name), then a restore.
  Log("r1.", "2026-01-01-09.00.00");
  db2sim::BackupRequest b;
  b.instance = kInstance;
  b.alias = kDatabase;
  b.library = db2sim::testing::Db2StandIn::TestVendorLibrary();
  b.timestamp = "20260101090500";
  b.options = "dir=" + media_.path() + "\n";
  ASSERT_EQ(db2sim::RunBackup(b).sqlcode, 0);
  std::vector<Archived> archived;
  const char* times[] = {"2026-01-01-10.00.00", "2026-01-01-11.00.00", "2026-01-01-12.00.00"};
  const mode_t modes[] = {0640, 0600, 0444};
  for (std::uint32_t n = 0; n < 3; ++n) {
    Log("r" + std::to_string(n + 2) + ".", times[n]);
    const std::string content = db2sim::ReadWholeFile(LogPath(n));
    const time_t mtime = 1767258000 + 3600 * static_cast<time_t>(n);
    ASSERT_EQ(Archive(n, modes[n], mtime), 0) << db2_.Calls();
    EXPECT_FALSE(db2sim::Exists(LogPath(n))) << "DB2 drops a log once it is archived";
    archived.push_back({content, modes[n], mtime});
  }
  Log("r5.", "2026-01-01-13.00.00");
  EXPECT_EQ(CatalogueLines("db2inst1:SAMPLE:0:0:0"), 3);
  EXPECT_EQ(CatalogueLines("cat-item"), 3);
  EXPECT_NE(Db2Log().find("/S0000002.LOG for db2inst1/SAMPLE archived successfully"),
            std::string::npos)
      << Db2Log();

  db2sim::RestoreRequest r;
  r.instance = kInstance;
  r.alias = kDatabase;
  r.library = b.library;
  r.timestamp = b.timestamp;
  r.options = b.options;
  ASSERT_EQ(db2sim::RunRestore(r).sqlcode, 0);
  ASSERT_EQ(Content(), "r1.");

  char alias[] = "SAMPLE";
  rfwd_input in{};
  in.version = 5;
  in.pDbAlias = alias;
  in.CallerAction = SQLUM_ROLLFWD_STOP;
  in.NumNodeInfo = 1;
  char appId[33] = {};
  std::int32_t replies = 0;
  sqlurf_info info[1];
  rfwd_output out{appId, &replies, info};
  sqlca ca{};
  EXPECT_EQ(sqluroll_api(&in, &out, &ca), 0) << db2_.Calls();
  EXPECT_EQ(Content(), "r1.r2.r3.r4.r5.");
  for (std::uint32_t n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(db2sim::ReadWholeFile(LogPath(n)), archived[n].content);
    struct stat st {};
    ASSERT_EQ(::stat(LogPath(n).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, archived[n].mode);
    EXPECT_EQ(st.st_mtime, archived[n].mtime);
  }
  // A longer file in the way is replaced whole, never overwritten in place.
  db2sim::WriteWholeFile(LogPath(1), archived[1].content + std::string(5000, '#'));
  EXPECT_EQ(Retrieve(1), 0);
  EXPECT_EQ(db2sim::ReadWholeFile(LogPath(1)), archived[1].content);
  // The log after the active one was never archived: "none", no file.
  EXPECT_EQ(Retrieve(9), 0);
  EXPECT_FALSE(db2sim::Exists(LogPath(9)));
  // No temporary file stays behind.
  EXPECT_EQ(TemporaryFiles(), 0);
}

// A copy that cannot be written whole fails the retrieval (16) and leaves
// neither the log nor its temporary file. The user exit inherits a file-size
// limit one byte short of the log (above every other file it writes), with
// SIGXFSZ ignored so that the write fails instead of ending the process.
TEST_F(PloverRoad, ACopyThatCannotBeWrittenWholeFailsTheRetrieval) {
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 1, 1));
  Log(std::string(4 << 20, 'w'), "");
  const std::string content = db2sim::ReadWholeFile(LogPath(0));
  ASSERT_EQ(Archive(0, 0600, 1767258000), 0) << db2_.Calls();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit limit{content.size() - 1, saved.rlim_max};
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const int code = Retrieve(0);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(code, 16) << Db2Log();
  EXPECT_FALSE(db2sim::Exists(LogPath(0)));
  EXPECT_EQ(TemporaryFiles(), 0);
}

TEST_F(PloverRoad, ArchivesInOneRunningSessionTakeIncreasingSetNumbers) {
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 3, 0));
  // The barlist's session runs while the logs are archived.
  BarContext* ctx = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartLogsSession(&ctx));
  for (std::uint32_t n = 0; n < 3; ++n) {
    Log("x", "");
    EXPECT_EQ(Archive(n, 0600, 1767258000), 0);
  }
  EXPECT_EQ(VEK_EndBackup(ctx, 0), 0);
  EXPECT_EQ(VEK_Exit(ctx), 0);
  for (const char* set : {":0:0:0", ":0:1:0", ":0:2:0"})
    EXPECT_EQ(CatalogueLines(std::string("db2inst1:SAMPLE") + set), 1) << set;
}

// The cell description names a virtual server of this machine that has the
// instance's configuration: the log is archived under that host.
TEST_F(PloverRoad, VirtualServerOfTheCellDescriptionBecomesTheHost) {
  char path[1024];
  ASSERT_EQ(BU_GetConfigPath(path, sizeof path, "localhost", "DB2", kInstance), 0);
  configPath_ = path;  // only the virtual server has a configuration
  const std::string cell = std::string("file 0 \"-host other -virtual nothere\\n-host ") +
                           cmnHostname + " -os linux\\n-host " + cmnHostname +
                           " -virtual localhost\"\n"
                           "custom 5 cell/cell_format \"-key host\\n-key virtual\\n-key os\"\n";
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 1, 0, cell));
  Log("x", "");
  EXPECT_EQ(Archive(0, 0600, 1767258000), 0) << db2_.Calls();
  const std::string host = VEK_ExpandHostname("localhost");
  EXPECT_EQ(CatalogueLines("\"05 " + host + ":db2inst1:SAMPLE:0:0:0 // DB2\""), 1) << host;
}

TEST_F(PloverRoad, NoConfigurationOrNoRegularFileFailsWithSoftwareError) {
  configPath_ = "config/DB2/elsewhere%db2inst1";
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 1, 0));
  Log("x", "");
  EXPECT_EQ(Archive(0, 0600, 1767258000), db2sim::kSqlLogArchive);
  EXPECT_TRUE(db2sim::Exists(LogPath(0)));
  EXPECT_EQ(Retrieve(0), 16);
  EXPECT_NE(db2_.Calls().find("userexit-result exit=16"), std::string::npos) << db2_.Calls();
}

// Stores `content` as the log's copy in the running session of `ctx`, its
// item ending with `itemEnd`, as a failed archive leaves it.
void StoreCopy(BarContext* ctx, const std::string& logPath, int set, const std::string& content,
               int itemEnd, const std::string& scratch) {
  const auto name = MakeArchivedLogName(kInstance, kDatabase, set, logPath.c_str());
  ASSERT_TRUE(name);
  db2sim::WriteWholeFile(scratch, content);
  ObjectBackupOptions options{};
  options.flags = 1;
  ASSERT_EQ(
      VEK_StartObjectBackupEx(ctx, 0, VEK_Objectname(name->object.c_str(), ""), nullptr, &options),
      0);
  VEK_Stat st{};
  ASSERT_EQ(VEK_StatFile(scratch.c_str(), &st), 0);
  DaItemAttr item{};
  VEK_StatToItem(&st, &item);
  item.name = name->item.c_str();
  item.fileType = kDaFileRegular;
  item.mode = 0600;
  ASSERT_EQ(VEK_StartItemBackup(ctx, &item, nullptr, 0, 0), 0);
  const int fd = VEK_OpenFile(scratch.c_str(), 0, 0);
  std::int64_t size = 0;
  EXPECT_EQ(VEK_BackupFileItem(ctx, fd, &size), 0);
  VEK_CloseFile(fd);
  EXPECT_EQ(VEK_EndItemBackup(ctx, itemEnd), 0);
  EXPECT_EQ(VEK_EndObjectBackup(ctx, 0), 0);
}

// A failed and a retried archive of one log in one shared session: the
// failed copy, the earlier one, is passed over; with only a failed copy the
// retrieval fails and leaves no file.
TEST_F(PloverRoad, CopyWhoseItemFailedIsNeverTheRetrievedLog) {
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 3, 3, "", {2, 2}));
  BarContext* ctx = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartLogsSession(&ctx));
  const std::string scratch = media_.path() + "/scratch";
  ASSERT_NO_FATAL_FAILURE(StoreCopy(ctx, LogPath(0), 0, "half", -1, scratch));
  ASSERT_NO_FATAL_FAILURE(StoreCopy(ctx, LogPath(1), 1, "broken", -1, scratch));
  Log("whole log", "");
  const std::string content = db2sim::ReadWholeFile(LogPath(0));
  EXPECT_EQ(Archive(0, 0600, 1767258000), 0) << db2_.Calls();
  EXPECT_EQ(VEK_EndBackup(ctx, 0), 0);
  EXPECT_EQ(VEK_Exit(ctx), 0);

  // Temporaries of the log beside it: only those whose maker has ended go
  // (the older pattern names none: it goes once it has not been written
  // for ten minutes).
  tarn::test::ChildProcess gone([] { return 0; });
  const pid_t endedPid = gone.pid();
  EXPECT_EQ(gone.ExitCode(), 0);
  struct Temporary {
    std::string suffix;
    time_t age;
    bool stays;
  };
  const Temporary temporaries[] = {
      {".a1B2c3", 3600, false},
      {".d4E5f6", 0, true},
      {"." + std::to_string(endedPid) + ".g7H8i9", 0, false},
      {"." + std::to_string(::getpid()) + ".j1K2l3", 3600, true},
  };
  for (const Temporary& t : temporaries) {
    const std::string file = LogDir() + "/." + db2sim::LogFileName(0) + t.suffix;
    db2sim::WriteWholeFile(file, "left by a run");
    const time_t when = ::time(nullptr) - t.age;
    struct utimbuf times {
      when, when
    };
    ::utime(file.c_str(), &times);
  }
  EXPECT_EQ(Retrieve(0), 0);
  EXPECT_EQ(db2sim::ReadWholeFile(LogPath(0)), content);
  for (const Temporary& t : temporaries) {
    const std::string file = LogDir() + "/." + db2sim::LogFileName(0) + t.suffix;
    EXPECT_EQ(db2sim::Exists(file), t.stays) << t.suffix;
    ::unlink(file.c_str());
  }
  EXPECT_EQ(Retrieve(1), 16);
  EXPECT_FALSE(db2sim::Exists(LogPath(1)));

  // The newest copy, of a later session, failed: an older session's copy is
  // retrieved, and db2.log says which, and that a newer one was passed over.
  Log("second whole log", "");
  const std::string second = db2sim::ReadWholeFile(LogPath(1));
  ASSERT_EQ(Archive(1, 0600, 1767258000), 0) << db2_.Calls();
  ASSERT_NO_FATAL_FAILURE(StartLogsSession(&ctx));
  ASSERT_NO_FATAL_FAILURE(StoreCopy(ctx, LogPath(1), 2, "newest but broken", -1, scratch));
  EXPECT_EQ(VEK_EndBackup(ctx, 0), 0);
  EXPECT_EQ(VEK_Exit(ctx), 0);
  std::vector<std::string> sessions;  // of the catalogue's copies, in order
  for (const std::string& line : tarn::test::FileLines(cs_->stateDir() + "/catalogue")) {
    if (!line.starts_with("cat-version ")) continue;
    std::istringstream rest(line.substr(line.find("\" ") + 2));  // past the object name
    std::string session;
    rest >> session;
    std::erase(session, '"');
    if (sessions.empty() || sessions.back() != session) sessions.push_back(session);
  }
  ASSERT_EQ(sessions.size(), 3u) << testing::PrintToString(sessions);
  EXPECT_EQ(Retrieve(1), 0) << Db2Log();
  EXPECT_EQ(db2sim::ReadWholeFile(LogPath(1)), second);
  EXPECT_NE(Db2Log().find("Log " + LogPath(1) + " retrieved from the copy of session " +
                          sessions[1] + "; the newer copy of session " + sessions[2] +
                          " could not be used and was passed over"),
            std::string::npos)
      << Db2Log();
  // Of one session, a failed copy passed over is no newer copy.
  EXPECT_EQ(Db2Log().find("retrieved from the copy of session " + sessions[0]), std::string::npos);
  // Never archived: still success, and db2.log says no copy was found.
  EXPECT_EQ(Retrieve(9), 0);
  EXPECT_NE(Db2Log().find("No archived copy of log " + LogPath(9) + " found"), std::string::npos)
      << Db2Log();
  EXPECT_EQ(TemporaryFiles(), 0);
}

// A host name of 64 characters is the host the log is filed under; one that
// cmnHostname cannot hold whole would file the log under another host:
// refused, and DB2 keeps the log.
TEST_F(PloverRoad, HostNameTooLongForTheHostBufferIsRefused) {
  const std::string longest(kCmnHostNameSize - 1, 'h');
  char path[1024];
  ASSERT_EQ(BU_GetConfigPath(path, sizeof path, longest.c_str(), "DB2", kInstance), 0);
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 1, 0,
                                std::string("item 80 \"") + path + "\" " + kBarlistConfig + "\n"));
  Log("x", "");
  struct Case {
    std::size_t length;
    int code;
  };
  for (const Case c : {Case{64, 0}, Case{65, 16}, Case{105, 16}}) {
    SCOPED_TRACE(c.length);
    ::setenv("VEKBARHOSTNAME", std::string(c.length, 'h').c_str(), 1);
    tarn::test::ChildProcess plover =
        tarn::test::ChildProcess::Program({TARN_PLOVER_PROGRAM, "-RQARCHIVE", "-DBSAMPLE",
                                           "-LP" + LogDir() + "/", "-LN" + db2sim::LogFileName(0)});
    EXPECT_EQ(plover.ExitCode(60), c.code) << Db2Log();
    ::unsetenv("VEKBARHOSTNAME");
    EXPECT_TRUE(db2sim::Exists(LogPath(0)));
    EXPECT_EQ(Db2Log().find("VEKBARHOSTNAME of " + std::to_string(c.length) + " characters") !=
                  std::string::npos,
              c.code != 0)
        << Db2Log();
  }
  EXPECT_EQ(CatalogueLines("cat-version"), 1);
  EXPECT_EQ(CatalogueLines("\"05 " + longest + ":db2inst1:SAMPLE:0:0:0 // DB2\""), 1);
}

// The copy the catalogue offers: the newest session by date and serial
// number, a named session's own, none of a session without one.
TEST_F(PloverRoad, FindRestoreDataChoosesTheNewestOrTheNamedSessionsCopy) {
  const std::string path = LogPath(0);
  const auto name = MakeArchivedLogName(kInstance, kDatabase, 0, path.c_str());
  ASSERT_TRUE(name);
  const std::string item = "\"" + name->item.substr(0, name->item.size() - 1) + "\\x01\"";
  std::string fixture;
  const char* sessions[] = {"2008/01/02-1", "2008/01/10-12", "2008/01/10-3"};
  for (int v = 1; v <= 3; ++v)
    fixture += "cat-version " + std::to_string(v) + " \"05 " + cmnHostname + ":" + kInstance + ":" +
               kDatabase + ":0:" + std::to_string(v) + ":0 // DB2\" " + sessions[v - 1] +
               " 1199000000 \"\"\ncat-item " + std::to_string(v) + " " + item + " 3 1199000000\n";
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 0, 0, fixture));
  cs_->exportInetPort();
  BarContext* ctx = nullptr;
  ASSERT_EQ(VEK_Init("DB2", kInstance, "ploverroad", 0, &ctx), 0);
  struct Case {
    const char* requested;
    int code;
    const char* session;
    const char* object;
  } cases[] = {{"", 0, "2008/01/10-12", "db2inst1:SAMPLE:0:2:0"},
               {"2008/01/02-1", 0, "2008/01/02-1", "db2inst1:SAMPLE:0:1:0"},
               {"2008/01/03-1", 16, "2008/01/03-1", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    char session[kUeSessionIdMax + 1] = {};
    std::snprintf(session, sizeof session, "%s", c.requested);
    char object[kBarObjNameMax + 1] = {};
    char itemName[kUeItemNameMax + 1] = {};
    std::int64_t version = 0;
    EXPECT_EQ(UE_FindRestoreData(ctx, kInstance, kDatabase, path.c_str(), session, object, itemName,
                                 cmnHostname, &version),
              c.code);
    EXPECT_STREQ(session, c.session);
    EXPECT_STREQ(object, c.object);
    if (c.code == 0) {
      EXPECT_EQ(itemName, name->item);
    }
  }
  // The catalogue holds items under the name, none of them the log: not
  // "never archived".
  char session[kUeSessionIdMax + 1] = {};
  char object[kBarObjNameMax + 1] = {};
  char itemName[kUeItemNameMax + 1] = {};
  std::int64_t version = 0;
  const std::string other = LogDir() + "/S000000?.LOG";
  EXPECT_EQ(UE_FindRestoreData(ctx, kInstance, kDatabase, other.c_str(), session, object, itemName,
                               cmnHostname, &version),
            16);
  EXPECT_EQ(VEK_Exit(ctx), 0);
}

TEST_F(PloverRoad, OnlyRegularFilesAreArchived) {
  ASSERT_NO_FATAL_FAILURE(Start(kBarlistConfig, 1, 0));
  ASSERT_EQ(::mkdir((LogDir() + "/S0000007.LOG").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((LogDir() + "/S0000008.LOG").c_str(), 0600), 0);
  for (const char* name : {"S0000007.LOG", "S0000008.LOG"}) {
    SCOPED_TRACE(name);
    tarn::test::ChildProcess plover =
        tarn::test::ChildProcess::Program({TARN_PLOVER_PROGRAM, "-RQARCHIVE", "-DBSAMPLE",
                                           "-LP" + LogDir() + "/", std::string("-LN") + name});
    EXPECT_EQ(plover.ExitCode(60), 16);
    // The session manager hears of the failure.
    bool reported = false;
    for (const std::string& line : cs_->traffic())
      reported |= line.find("report") != std::string::npos && line.find(name) != std::string::npos;
    EXPECT_TRUE(reported);
  }
  EXPECT_EQ(CatalogueLines("cat-version"), 0);
}

TEST_F(PloverRoad, NoBarlistFailsWithSoftwareErrorAndDb2KeepsTheLog) {
  ASSERT_NO_FATAL_FAILURE(Start(kNoBarlistConfig, 1, 0));
  Log("x", "");
  EXPECT_EQ(Archive(0, 0600, 1767258000), db2sim::kSqlLogArchive);
  EXPECT_TRUE(db2sim::Exists(LogPath(0)));
  EXPECT_NE(db2_.Calls().find("userexit-result exit=16"), std::string::npos) << db2_.Calls();
  EXPECT_NE(Db2Log().find("Barlist not specified for Instance db2inst1, Database SAMPLE"),
            std::string::npos)
      << Db2Log();
}

// The user exit's start retries the cell server for almost a minute, so this
// runs it in a child on a clock that does not wait.
TEST_F(PloverRoad, CellServerDownFailsBothRequestsAndKeepsTheLog) {
  Log("x", "");
  const std::string logDir = LogDir() + "/";
  const auto run = [&](const char* request, const char* name) {
    return tarn::test::RunInChild([&] {
      cmn::ManualClock clock;
      const cmn::ScopedClock scoped(clock);
      ::setenv("TARN_INET_PORT", std::to_string(tarn::test::FreePort()).c_str(), 1);
      const std::string rq = std::string("-RQ") + request, lp = "-LP" + logDir,
                        ln = std::string("-LN") + name;
      const char* argv[] = {"plover", "-OSLinux", rq.c_str(), "-DBSAMPLE", lp.c_str(), ln.c_str()};
      return UE_Main(6, argv);
    });
  };
  const int archived = run("ARCHIVE", "S0000000.LOG");
  ASSERT_TRUE(WIFEXITED(archived));
  EXPECT_EQ(WEXITSTATUS(archived), 16);
  EXPECT_TRUE(db2sim::Exists(LogPath(0)));
  const int retrieved = run("RETRIEVE", "S0000005.LOG");
  ASSERT_TRUE(WIFEXITED(retrieved));
  EXPECT_EQ(WEXITSTATUS(retrieved), 16);
  EXPECT_FALSE(db2sim::Exists(LogPath(5)));
  EXPECT_NE(Db2Log().find("VEK_Init failed for instance db2inst1!"), std::string::npos) << Db2Log();
}

}  // namespace

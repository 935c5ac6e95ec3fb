// Restores through the vendor library in the stand-in DB2's session
// processes: images of two partitions written with two sessions each come
// back byte for byte, an image stored under the older name (without the
// node) is found, and a missing image is refused.
#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "libwren_test_util.h"

namespace {

using namespace wren_test;
using tarn::test::ChildProcess;

class WrenDb2RestoreTest : public WrenDb2 {};

TEST_F(WrenDb2RestoreTest, TwoPartitionsComeBackByteForByte) {
  ASSERT_NO_FATAL_FAILURE(Start(4, {}, 4));
  WriteData(0, 700000, 11);
  WriteData(1, 500001, 12);
  const std::uint64_t sum0 = Checksum(0), sum1 = Checksum(1);
  ASSERT_EQ(Backup(0, 2).sqlcode, 0) << db2_.Calls();
  ASSERT_EQ(Backup(1, 2).sqlcode, 0) << db2_.Calls();
  WriteData(0, 1000, 13);
  WriteData(1, 1000, 14);
  ASSERT_NE(Checksum(0), sum0);

  const db2sim::Result r0 = Restore(0, 2);
  EXPECT_EQ(r0.sqlcode, 0) << r0.message << "\n" << db2_.Calls();
  EXPECT_EQ(r0.objects, 2);
  const db2sim::Result r1 = Restore(1, 2);
  EXPECT_EQ(r1.sqlcode, 0) << r1.message;
  EXPECT_EQ(Checksum(0), sum0);
  EXPECT_EQ(Checksum(1), sum1);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqluvint-result", "rc=0 return_code=0 objects=2"), 4) << calls;
  // Every object ends with a short last piece or an empty read.
  EXPECT_EQ(CountCalls(calls, "sqluvget", " rc=25"), 0);
  EXPECT_EQ(CountCalls(calls, "sqluvend-result", " rc=0"), 8);
}

// Stores every file of `dir` (sorted) as one object of the older name form
// "<instance>:<alias>:<timestamp>:<type>:<sequence>", as images were written
// before the node was part of the name.
int StoreUnderOlderNames(const std::string& dir, int inetPort) {
  setenv("VEKOPTS", "-server 127.0.0.1", 1);
  setenv("TARN_INET_PORT", std::to_string(inetPort).c_str(), 1);
  setenv("VEK_CELL_SERVER_HOSTNAME", "127.0.0.1", 1);
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) return 30;
  BarContext* ctx = nullptr;
  if (VEK_Init("DB2", kInstance, "DB2LIB", 0, &ctx) != 0) return 31;
  ctx->output = 0;
  if (VEK_StartBackup(ctx, "nightly") != 0) return 32;
  for (const std::string& file : files) {
    const std::string sequence = file.substr(file.rfind(':') + 1);
    const std::string name =
        std::string(kInstance) + ":" + kDatabase + ":" + kTimestamp + ":0:" + sequence;
    const std::string bytes = tarn::test::ReadFile(dir + "/" + file);
    if (VEK_StartObjectBackupEx(ctx, 0, VEK_Objectname(name.c_str(), nullptr), nullptr, nullptr) !=
        0)
      return 33;
    DaItemAttr item{};
    item.name = "item";
    if (VEK_StartItemBackup(ctx, &item, nullptr, 0, 0) != 0) return 34;
    if (VEK_WriteItemData(ctx, bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size()))
      return 35;
    if (VEK_EndItemBackup(ctx, 0) != 0 || VEK_EndObjectBackup(ctx, 0) != 0) return 36;
  }
  if (VEK_EndBackup(ctx, 0) != 0) return 37;
  VEK_Exit(ctx);
  return 0;
}

TEST_F(WrenDb2RestoreTest, AnImageUnderTheOlderNameIsFound) {
  ASSERT_NO_FATAL_FAILURE(Start(2, {}, 2));
  WriteData(0, 300000, 21);
  const std::uint64_t sum = Checksum(0);
  // DB2's image, kept by the stand-in's trivial vendor library as files.
  tarn::test::TempDir images;
  db2sim::BackupRequest req;
  req.instance = kInstance;
  req.alias = kDatabase;
  req.node = 0;
  req.library = db2sim::testing::Db2StandIn::TestVendorLibrary();
  req.sessions = 2;
  req.timestamp = kTimestamp;
  req.options = "dir=" + images.path() + "\n";
  ASSERT_EQ(db2sim::RunBackup(req).sqlcode, 0);
  ChildProcess store([&] { return StoreUnderOlderNames(images.path(), cs_->inetPort()); }, 60);
  ASSERT_EQ(store.ExitCode(60), 0);
  const std::string host = Hostname();
  ASSERT_EQ(
      CatalogueObjects(),
      (std::vector<std::string>{"05 " + host + ":db2inst1:SAMPLE:20261209120000:0:001 // DB2",
                                "05 " + host + ":db2inst1:SAMPLE:20261209120000:0:002 // DB2"}));
  WriteData(0, 5000, 22);

  const db2sim::Result r = Restore(0, 2);
  EXPECT_EQ(r.sqlcode, 0) << r.message << "\n" << db2_.Calls();
  EXPECT_EQ(Checksum(0), sum);
}

TEST_F(WrenDb2RestoreTest, AMissingImageIsRefusedAtInit) {
  ASSERT_NO_FATAL_FAILURE(Start(1, {}, 1));
  WriteData(0, 10000, 31);
  ASSERT_EQ(Backup(0, 1).sqlcode, 0);
  const std::uint64_t sum = Checksum(0);
  const db2sim::Result r = Restore(0, 1, "20200101000000");
  EXPECT_EQ(r.sqlcode, db2sim::kSqlVendorError);
  EXPECT_EQ(CountCalls(db2_.Calls(), "sqluvint-result", "rc=6 return_code=6"), 1) << db2_.Calls();
  EXPECT_EQ(Checksum(0), sum);
}

// DB2's calls straight into the installed library: an image whose object the
// catalogue knows without a version fails the first read with its code set,
// and a read of an object the image does not have fails too.
TEST_F(WrenDb2RestoreTest, ReadsOfAnObjectWithoutVersionsOrOutOfRangeFailWithTheirCode) {
  const std::string name = "05 " + Hostname() + ":db2inst1:SAMPLE#0:20261209120000:0:001 // DB2";
  ASSERT_NO_FATAL_FAILURE(Start(0, {}, 0, "cat-object \"" + name + "\" 5\n"));
  const std::string lib = library();
  const std::string options = Options(false);
  ChildProcess db2(
      [&] {
        void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return 100;
        auto init = reinterpret_cast<int (*)(Init_input*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvint"));
        auto get = reinterpret_cast<int (*)(void*, Data*, Return_code*)>(dlsym(h, "sqluvget"));
        auto end = reinterpret_cast<int (*)(std::int32_t, void*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvend"));
        int failed = 0, bit = 1;
        const auto check = [&](bool ok) {
          if (!ok) failed |= bit;
          bit <<= 1;
        };
        char buffer[64];
        for (int object : {0, 1}) {
          Db2Input input(0, kTimestamp, "R", options);
          Init_output out{};
          Return_code rc{};
          check(init(&input.in, &out, &rc) == 0 && out.vendor_session != nullptr &&
                out.vendor_session->num_objects_in_backup == 1);
          Data data{object, sizeof buffer, 0, buffer, nullptr};
          rc.return_code = 0;
          const int r = get(out.pVendorCB, &data, &rc);
          check(object == 0 ? r == -1 && rc.return_code == -1
                            : r == SQLUV_IO_ERROR && rc.return_code == SQLUV_IO_ERROR);
          check(end(SQLUV_ABORT, out.pVendorCB, &out, &rc) == 0);
        }
        return failed;
      },
      60);
  EXPECT_EQ(db2.ExitCode(60), 0);
}

}  // namespace

namespace {

// The session manager refuses the restore of the image's object: the first
// read answers DB2 with the start's failure, not with a read error after it.
TEST_F(WrenDb2RestoreTest, AnObjectWhoseRestoreCannotStartFailsTheFirstReadAsAStartFailure) {
  const std::string name = "05 " + Hostname() + ":db2inst1:SAMPLE#0:20261209120000:0:001 // DB2";
  ASSERT_NO_FATAL_FAILURE(Start(0, {}, 0,
                                "cat-object \"" + name + "\" 5\ncat-version 7 \"" + name +
                                    "\" \"2026/12/09-1\" 1765281600 \"-\"\nbaropt abort 5\n"));
  WriteData(0, 10000, 41);
  const std::uint64_t sum = Checksum(0);
  const db2sim::Result r = Restore(0, 1);
  EXPECT_EQ(r.sqlcode, db2sim::kSqlVendorError);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqluvget", " rc=11"), 1) << calls;
  EXPECT_EQ(CountCalls(calls, "sqluvget", " rc=25"), 0) << calls;
  EXPECT_EQ(Checksum(0), sum);
}

// A read of nothing, without a buffer, reads nothing and leaves the stream
// where it is: the whole object still comes back after it, and the reads
// are traced with their Data.
TEST_F(WrenDb2RestoreTest, AnEmptyReadChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(Start(1, {}, 1));
  WriteData(0, 20000, 42);
  ASSERT_EQ(Backup(0, 1).sqlcode, 0);
  const std::string lib = library();
  const std::string options = Options(false, "-debug 1-99 wren -server 127.0.0.1");
  const std::string traces = root_.at("/var/opt/tarn/tmp");
  const std::string stored = root_.at("/var/opt/tarn/tmp/object");
  const int failed =
      RunAsDb2(lib, {{"VEKDBG_PATH", traces}}, [&](const WrenEntryPoints& wren, CheckBits& check) {
        Db2Input input(0, kTimestamp, "R", options);
        Init_output out{};
        Return_code rc{};
        check(wren.init(&input.in, &out, &rc) == SQLUV_OK);
        Data empty{0, 0, -1, nullptr, nullptr};
        check(wren.get(out.pVendorCB, &empty, &rc) == SQLUV_MORE_DATA &&
              rc.return_code == SQLUV_MORE_DATA && empty.actual_buf_size == 0);
        std::string object, buffer(65536, '\0');
        int r = SQLUV_MORE_DATA;
        while (r == SQLUV_MORE_DATA) {
          Data data{0, static_cast<std::int32_t>(buffer.size()), 0, buffer.data(), nullptr};
          r = wren.get(out.pVendorCB, &data, &rc);
          if (r == SQLUV_MORE_DATA || r == SQLUV_ENDOFMEDIA)
            object.append(buffer, 0, static_cast<std::size_t>(data.actual_buf_size));
        }
        check(r == SQLUV_ENDOFMEDIA || r == SQLUV_ENDOFMEDIA_NO_DATA);
        check(wren.end(SQLUV_COMMIT, out.pVendorCB, &out, &rc) == SQLUV_OK);
        tarn::test::WriteFile(stored, object);
      });
  ASSERT_EQ(failed, 0);
  // The stand-in's object header and the whole image with the data written.
  EXPECT_GT(tarn::test::ReadFile(stored).size(), 20000u);
  const std::string trace = TraceText(traces);
  EXPECT_GT(Count(trace, "[sqluvget] Data structure contains following information"), 0);
  EXPECT_GT(Count(trace, "sqluvget is exiting with return value 21"), 0);
}

}  // namespace

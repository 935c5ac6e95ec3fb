// File items: a file read into item records and written back from them, plain
// and sparse, with the failures of the file and of the call order.
#include "vekposix/vekposix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bar2/barbackup.h"
#include "bar2/barrestore.h"
#include "bar2/bartransform.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/vekfile.h"
#include "tarn_test.h"
#include "vekdf/daformat.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"
#include "vekdf/test/vekdf_test_util.h"

TARN_RCSID("integ/bar2/vekposix/test/vekposix_test.cpp");

namespace {

std::vector<std::vector<std::uint8_t>> records;
std::size_t nextRecord = 0;

int ReadRecord(BarContext*, std::span<std::uint8_t>* record) {
  if (nextRecord >= records.size()) return 0;
  *record = records[nextRecord++];
  return 1;
}

class FileItemTest : public vekdftest::StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    records.clear();
    nextRecord = 0;
    BarLinkHooks hooks{};
    hooks.rbmRead = ReadRecord;
    BarSetLinkHooks(&hooks);
    ctx_ = std::make_unique<BarContext>();
    ctx_->session.smHandle = -1;
    Open(256 * 1024);
    ASSERT_NE(RmWriteStart(kDaId, 1, 0, 5, 1, 0, 0, 0, 0, "obj", "", "VEKBAR", "v"), 0);
  }
  void TearDown() override {
    CmnVarFree(&ctx_->item.itemName);
    BarSetLinkHooks(nullptr);
    StreamTest::TearDown();
  }

  std::string Path(const char* leaf) const { return dir_.path() + "/" + leaf; }

  // Backs up the file at `path` as item 0 of the stream; the call's result.
  int Backup(const std::string& path, std::int64_t* size) {
    DaItemAttr item{};
    item.name = "/logs/S0000001.LOG";
    item.fileType = kDaFileRegular;
    EXPECT_NE(RmWriteObjAttribute(DA_REC_OBJ_ATTR, item), 0);
    ctx_->mode = BAR_MODE_ITEM_BACKUP;
    const int fd = ::open(path.c_str(), O_RDONLY);
    const int rc = VEK_BackupFileItem(ctx_.get(), fd, size);
    ::close(fd);
    EXPECT_EQ(VEK_EndItemBackup(ctx_.get(), rc == 0 ? 0 : -1), 0);
    return rc;
  }
  // Every record written, queued for the restore walk of item 0.
  void StartRestore() {
    EXPECT_NE(RmWriteEnd(kDaId, 1, 2, 0, 0), 0);
    ASSERT_NO_FATAL_FAILURE(ReadBack(records));
    ctx_->item.itemId = 0;
    ctx_->item.restoreRecord = nullptr;
    ctx_->item.recBytes = 0;
    ctx_->mode = BAR_MODE_OBJECT_RESTORE;
    VEK_Item item{};
    ASSERT_EQ(VEK_StartItemRestoreEx(ctx_.get(), nullptr, &item, nullptr, nullptr), 0);
  }

  tarn::test::TempDir dir_;
  std::unique_ptr<BarContext> ctx_;
};

// 1 MiB + 5 of data, 2 MiB of zeros, 100 bytes of data, 300 KiB of zeros.
std::string LogContent() {
  std::string s;
  for (int i = 0; i < (1 << 20) + 5; ++i) s.push_back(static_cast<char>('a' + i % 23));
  s.append(2 << 20, '\0');
  s.append(100, 'z');
  s.append(300 * 1024, '\0');
  return s;
}

TEST_F(FileItemTest, FileComesBackWholePlainAndSparse) {
  const std::string content = LogContent();
  tarn::test::WriteFile(Path("log"), content);
  std::int64_t size = -1;
  ASSERT_EQ(Backup(Path("log"), &size), 0);
  EXPECT_EQ(size, static_cast<std::int64_t>(content.size()));
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  const std::vector<std::vector<std::uint8_t>> stream = records;

  for (const int sparse : {0, 1}) {
    SCOPED_TRACE(sparse);
    records = stream;
    nextRecord = 0;
    ctx_->object.sparse = sparse;
    ctx_->item.restoreRecord = nullptr;
    ctx_->item.recBytes = 0;
    ctx_->mode = BAR_MODE_OBJECT_RESTORE;
    VEK_Item item{};
    ASSERT_EQ(VEK_StartItemRestoreEx(ctx_.get(), nullptr, &item, nullptr, nullptr), 0);
    const std::string out = Path(sparse != 0 ? "sparse" : "plain");
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    std::int64_t written = -1;
    EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), fd, &written), 0);
    ::close(fd);
    EXPECT_EQ(written, static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(tarn::test::ReadFile(out) == content);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(content.size()));
    // The 2 MiB zero run is a hole in the sparse copy.
    if (sparse != 0) {
      EXPECT_LT(st.st_blocks * 512, static_cast<blkcnt_t>(content.size()) - (1 << 20));
    }
    // The end record stays current for the item's end.
    int code = -1;
    EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), &code), 0);
    EXPECT_EQ(code, 0);
  }
}

TEST_F(FileItemTest, EmptyFileGivesAnEmptyItem) {
  tarn::test::WriteFile(Path("empty"), "");
  std::int64_t size = -1;
  ASSERT_EQ(Backup(Path("empty"), &size), 0);
  EXPECT_EQ(size, 0);
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  const int fd = ::open(Path("back").c_str(), O_WRONLY | O_CREAT, 0600);
  std::int64_t written = -1;
  EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), fd, &written), 0);
  ::close(fd);
  EXPECT_EQ(written, 0);
}

TEST_F(FileItemTest, WrongModeAndArgumentsChangeNothing) {
  std::int64_t size = 0;
  ctx_->mode = BAR_MODE_OBJECT_BACKUP;
  EXPECT_EQ(VEK_BackupFileItem(ctx_.get(), 0, &size), BAR_ESEQUENCE);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), 0, &size), BAR_ESEQUENCE);
  ctx_->mode = BAR_MODE_ITEM_BACKUP;
  EXPECT_EQ(VEK_BackupFileItem(ctx_.get(), -1, &size), BAR_EPARAM);
  EXPECT_EQ(VEK_BackupFileItem(ctx_.get(), 0, nullptr), BAR_EPARAM);
  ctx_->mode = BAR_MODE_ITEM_RESTORE;
  EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), -1, &size), BAR_EPARAM);
}

TEST_F(FileItemTest, RefusedCallsAreUnexpectedFailuresWithAStackDump) {
  char logPath[1024];
  if (DbgLogGetPathname(logPath, nullptr)[0] == '\0') GTEST_SKIP() << "no debug.log in this build";
  std::int64_t size = 0;
  struct Case {
    bool backup;
    int mode;
    int fd;
    std::int64_t* size;
    int code;
    const char* text;
  } cases[] = {
      {true, BAR_MODE_OBJECT_BACKUP, 0, &size, BAR_ESEQUENCE,
       "[VEK_BackupFileItem] Invalid function call sequence.(current mode: 3, should be: 4)"},
      {true, BAR_MODE_ITEM_BACKUP, -1, &size, BAR_EPARAM,
       "[VEK_BackupFileItem] Condition not fulfilled: fd != -1"},
      {true, BAR_MODE_ITEM_BACKUP, 0, nullptr, BAR_EPARAM,
       "[VEK_BackupFileItem] Condition not fulfilled: size != ((void *)0)"},
      {false, BAR_MODE_OBJECT_RESTORE, 0, &size, BAR_ESEQUENCE,
       "[VEK_RestoreFileItem] Invalid function call sequence.(current mode: 6, should be: 7)"},
      {false, BAR_MODE_ITEM_RESTORE, -1, &size, BAR_EPARAM,
       "[VEK_RestoreFileItem] Condition not fulfilled: fd != -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ::unlink(logPath);
    ctx_->mode = c.mode;
    const int rc = c.backup ? VEK_BackupFileItem(ctx_.get(), c.fd, c.size)
                            : VEK_RestoreFileItem(ctx_.get(), c.fd, c.size);
    EXPECT_EQ(rc, c.code);
    EXPECT_EQ(ctx_->mode, c.mode);
    EXPECT_EQ(VEK_GetErrno(ctx_.get()), c.code);
    const std::string log = tarn::test::ReadFile(logPath);
    EXPECT_NE(log.find(c.text), std::string::npos) << log;
    // The stack dump, empty when nothing traced entered a function.
    EXPECT_TRUE(log.find("Function trace") != std::string::npos ||
                log.find("DbgDumpStack() - no stack.") != std::string::npos)
        << log;
  }
}

TEST_F(FileItemTest, CompressingReadWithoutAContextIsRefused) {
  EXPECT_EQ(BackupFileItemCompress(nullptr, 0), BAR_ENOCONTEXT);
}

TEST_F(FileItemTest, ReadErrorIsReportedWithItsOwnSystemError) {
  // An error marked before the call and never cleared must not stand in
  // for the read's.
  ErhMark(ERH_SYSTEM, EACCES, "earlier", kErhMinor);
  std::int64_t size = 0;
  EXPECT_EQ(Backup(dir_.path(), &size), -7);
  EXPECT_EQ(ErhSysErrno(), EISDIR);
}

TEST_F(FileItemTest, ReadErrorFailsTheBackup) {
  // A directory opens but does not read.
  std::int64_t size = 0;
  EXPECT_EQ(Backup(dir_.path(), &size), -7);
  EXPECT_EQ(ErhSysErrno(), EISDIR);
  EXPECT_EQ(VEK_GetErrno(ctx_.get()), -7);
}

TEST_F(FileItemTest, WriteErrorFailsTheRestore) {
  tarn::test::WriteFile(Path("log"), std::string(5000, 'q'));
  std::int64_t size = 0;
  ASSERT_EQ(Backup(Path("log"), &size), 0);
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  const int fd = ::open(Path("log").c_str(), O_RDONLY);
  EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), fd, &size), -7);
  EXPECT_EQ(ErhSysErrno(), EBADF);
  ::close(fd);
}

TEST_F(FileItemTest, BackupByPathInAlignedBlocksComesBackWhole) {
  // Not a multiple of the block size, longer than one data buffer.
  std::string content = LogContent().substr(0, (3 << 20) + 777);
  tarn::test::WriteFile(Path("log"), content);
  ctx_->mode = BAR_MODE_OBJECT_BACKUP;
  // A missing file starts no item.
  DaItemAttr item{};
  EXPECT_EQ(VEK_BackupFileItemAl(ctx_.get(), Path("none").c_str(), &item, 1), -7);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  item = DaItemAttr{};
  item.name = "/logs/S0000002.LOG";
  ASSERT_EQ(VEK_BackupFileItemAl(ctx_.get(), Path("log").c_str(), &item, 1), 0);
  EXPECT_EQ(item.size, content.size());
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  const int fd = ::open(Path("back").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  std::int64_t written = -1;
  EXPECT_EQ(VEK_RestoreFileItem(ctx_.get(), fd, &written), 0);
  ::close(fd);
  EXPECT_EQ(written, static_cast<std::int64_t>(content.size()));
  EXPECT_TRUE(tarn::test::ReadFile(Path("back")) == content);
}

TEST_F(FileItemTest, StatToItemCopiesTheAttributes) {
  tarn::test::WriteFile(Path("f"), "12345");
  ASSERT_EQ(::chmod(Path("f").c_str(), 04640), 0);
  VEK_Stat st{};
  ASSERT_EQ(VEK_StatFile(Path("f").c_str(), &st), 0);
  DaItemAttr item{};
  ASSERT_EQ(VEK_StatToItem(&st, &item), 0);
  EXPECT_EQ(item.fileType, kDaFileRegular);
  EXPECT_EQ(item.mode, 04640u);
  EXPECT_EQ(item.size, 5u);
  EXPECT_EQ(item.quantity, 5u);
  EXPECT_EQ(item.uid, ::getuid());
  EXPECT_EQ(item.time[kDaAttrModifyTime], static_cast<std::uint32_t>(st.mtime));
  EXPECT_EQ(VEK_StatToItem(nullptr, &item), BAR_EPARAM);
  EXPECT_GE(GetBlockSize(dir_.path().c_str()), 512);
  EXPECT_EQ(GetBlockSize("/no/such/dir"), 1);
}

}  // namespace

// File wrappers: the open-flag table on real files, exact permissions under a
// strict mask, locks against a second process, tree deletion that never
// follows links, copies and whole-file writes that fail without damage.
#include "cmn/vekfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::RunInChild;
using tarn::test::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 07777777;
  return st.st_mode & 07777;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

int ChildStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}

// Every test runs in a fresh install root under the strictest mask, so that a
// permission that survives it was set on purpose.
class FileTest : public cmntest::ErrorStateTest {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    dir_ = root_.at("/var/opt/tarn/tmp");
    oldMask_ = umask(077);
    cmntest::ErrorStateTest::SetUp();
  }
  void TearDown() override {
    cmntest::ErrorStateTest::TearDown();
    umask(oldMask_);
    CmnPathsInit("");
  }
  std::string At(const std::string& name) const { return dir_ + "/" + name; }
  std::string DebugLog() const { return root_.read("/var/opt/tarn/log/debug.log"); }
  // Whether level -2 lines reach debug.log in this build.
  static bool LinesObservable() {
    char buffer[1024];
    return DbgLogGetPathname(buffer, nullptr)[0] != '\0';
  }

  tarn::test::TempRoot root_;
  std::string dir_;
  mode_t oldMask_ = 0;
};

// ---------------------------------------------------------------------------

struct OpenCase {
  int rule;
  bool exists;
  int error;          // expected errno, 0 for success
  const char* after;  // contents afterwards, null: file absent
};

TEST_F(FileTest, OpenFlagTableOnRealFiles) {
  const OpenCase cases[] = {
      {0, true, 0, "old"},      {0, false, ENOENT, nullptr}, {1, true, 0, ""},
      {1, false, 0, ""},        {2, true, 0, "old"},         {2, false, 0, ""},
      {3, true, 0, ""},         {3, false, ENOENT, nullptr}, {4, true, EEXIST, "old"},
      {4, false, 0, ""},        {5, true, EEXIST, "old"},    {6, false, 0, ""},
      {7, true, EEXIST, "old"}, {7, false, 0, ""},
  };
  for (const OpenCase& c : cases) {
    const std::string path = At("rule" + std::to_string(c.rule) + (c.exists ? "e" : "m"));
    if (c.exists) {
      WriteFile(path, "old");
      chmod(path.c_str(), 0640);
    }
    SCOPED_TRACE(path);
    errno = 0;
    const int fd = VEK_OpenFile(path.c_str(), 1, (0644 << 3) | c.rule);
    if (c.error == 0) {
      EXPECT_GE(fd, 0);
      EXPECT_EQ(VEK_CloseFile(fd), 0);
    } else {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(errno, c.error);
    }
    if (c.after == nullptr) {
      EXPECT_FALSE(Exists(path));
    } else {
      EXPECT_EQ(ReadFile(path), c.after);
      // A created file has exactly the requested bits despite the mask; an
      // existing one keeps its own.
      EXPECT_EQ(ModeOf(path), c.exists ? 0640u : 0644u);
    }
  }
  if (LinesObservable()) {
    EXPECT_EQ(DebugLog(), "");
  }
}

TEST_F(FileTest, CreatedModeIsExactAndMaskIsRestored) {
  const std::string a = At("a");
  int fd = VEK_OpenFile(a.c_str(), 1, (0750 << 3) | 1);
  ASSERT_GE(fd, 0);
  VEK_CloseFile(fd);
  EXPECT_EQ(ModeOf(a), 0750u);

  const std::string b = At("b");
  fd = VEK_OpenFile(b.c_str(), 1, 2);
  ASSERT_GE(fd, 0);
  VEK_CloseFile(fd);
  EXPECT_EQ(ModeOf(b), 0600u);

  const mode_t mask = umask(077);
  EXPECT_EQ(mask, 077u);
}

TEST_F(FileTest, AccessBitSelectsReadWriteElseReadOnly) {
  const std::string path = At("f");
  WriteFile(path, "abc");
  const int ro = VEK_OpenFile(path.c_str(), 0, 0);
  ASSERT_GE(ro, 0);
  errno = 0;
  EXPECT_EQ(VEK_WriteFile(ro, "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
  char buffer[8] = {};
  EXPECT_EQ(VEK_ReadFile(ro, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "abc");
  VEK_CloseFile(ro);

  const int rw = VEK_OpenFile(path.c_str(), 1, 0);
  ASSERT_GE(rw, 0);
  EXPECT_EQ(VEK_WriteFile(rw, "XY", 2), 2);
  VEK_CloseFile(rw);
  EXPECT_EQ(ReadFile(path), "XYc");
}

TEST_F(FileTest, ExpectedOutcomesWriteNoLineOtherFailuresDo) {
  if (!LinesObservable()) GTEST_SKIP() << "debug.log is not written in this build";
  const std::string file = At("f");
  WriteFile(file, "x");
  EXPECT_EQ(VEK_OpenFile(file.c_str(), 1, 4), -1);
  EXPECT_EQ(VEK_OpenFile(At("missing").c_str(), 0, 0), -1);
  EXPECT_EQ(VEK_DeleteFile(At("missing").c_str()), -1);
  EXPECT_EQ(VEK_StatFile(At("missing").c_str(), nullptr), -1);
  EXPECT_EQ(VEK_ChangeDirectory(At("missing").c_str()), -1);
  EXPECT_EQ(VEK_CreateDirectory(dir_.c_str(), 0), 0);
  EXPECT_EQ(DebugLog(), "");

  const std::string below = file + "/x";
  EXPECT_EQ(VEK_OpenFile(below.c_str(), 0, 0), -1);
  EXPECT_NE(DebugLog().find("VEK_OpenFile: open() failed, errcode=20 [file=" + below + "]"),
            std::string::npos);
}

TEST_F(FileTest, CloseOfNoneDoesNothing) {
  errno = 0;
  EXPECT_EQ(VEK_CloseFile(-1), 0);
  EXPECT_EQ(errno, 0);
}

TEST_F(FileTest, SeekBeyondTheIntRangeFailsAndKeepsThePosition) {
  const int fd = VEK_OpenFile(At("sparse").c_str(), 1, 1);
  ASSERT_GE(fd, 0);
  const std::int64_t far = (std::int64_t{5} << 30) + 7;
  EXPECT_EQ(VEK_SeekFile64(fd, far, SEEK_SET), far);
  errno = 0;
  EXPECT_EQ(VEK_SeekFile(fd, 0, SEEK_CUR), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(VEK_SeekFile64(fd, 0, SEEK_CUR), far);

  EXPECT_EQ(VEK_SeekFile(fd, 10, SEEK_SET), 10);
  EXPECT_EQ(VEK_SeekFile(fd, std::int64_t{3} << 30, SEEK_SET), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(VEK_SeekFile(fd, 0, SEEK_CUR), 10);
  EXPECT_EQ(VEK_SeekFile(fd, 2147483647, SEEK_SET), 2147483647);
  VEK_CloseFile(fd);

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_EQ(VEK_SeekFile(pipeFds[0], 0, SEEK_SET), -1);
  EXPECT_EQ(errno, ESPIPE);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

TEST_F(FileTest, StatRecordOfFilesLinksAndOthers) {
  const std::string file = At("file");
  WriteFile(file, "12345");
  ASSERT_EQ(chmod(file.c_str(), 04755), 0);
  VEK_Stat st;
  std::memset(&st, 0xAB, sizeof st);
  ASSERT_EQ(VEK_StatFile(file.c_str(), &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_REG);
  EXPECT_EQ(st.size, 5u);
  EXPECT_EQ(st.size64.low, 5u);
  EXPECT_EQ(st.size64.high, 0u);
  EXPECT_EQ(st.mode, 04755u);
  EXPECT_EQ(st.uid, static_cast<std::uint32_t>(getuid()));
  EXPECT_EQ(st.gid, static_cast<std::uint32_t>(getgid()));
  EXPECT_EQ(st.mtime, static_cast<std::int32_t>(st.native.st_mtime));

  // Beyond 4 GiB the 32-bit field keeps the low word only.
  const std::string big = At("big");
  WriteFile(big, "");
  ASSERT_EQ(truncate(big.c_str(), (off_t{1} << 32) + 3), 0);
  ASSERT_EQ(VEK_StatFile(big.c_str(), &st), 0);
  EXPECT_EQ(st.size, 3u);
  EXPECT_EQ(st.size64.low, 3u);
  EXPECT_EQ(st.size64.high, 1u);
  EXPECT_EQ(st.size64.value(), (std::uint64_t{1} << 32) + 3);

  const std::string link = At("link");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(VEK_StatFile(link.c_str(), &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_REG);
  EXPECT_EQ(st.size, 5u);

  ASSERT_EQ(VEK_StatFile(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_DIR);
  const std::string fifo = At("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(VEK_StatFile(fifo.c_str(), &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_FIFO);
  ASSERT_EQ(VEK_StatFile("/dev/null", &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_CHR);

  struct stat native {};
  ASSERT_EQ(lstat(link.c_str(), &native), 0);
  ASSERT_EQ(VEK_UnpackNativeStat(&native, &st), 0);
  EXPECT_EQ(st.type, VEK_FTYPE_LNK);

  EXPECT_EQ(VEK_StatFile(file.c_str(), nullptr), 0);
  errno = 0;
  EXPECT_EQ(VEK_StatFile(At("missing").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(VEK_StatFile((file + "/below").c_str(), &st), -2);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(FileTest, CreateDirectoryModesAndExistingPaths) {
  const std::string d = At("d");
  EXPECT_EQ(VEK_CreateDirectory(d.c_str(), 0), 0);
  EXPECT_EQ(ModeOf(d), 0755u);
  EXPECT_EQ(VEK_CreateDirectory(d.c_str(), 0700), 0);
  EXPECT_EQ(ModeOf(d), 0755u);
  const std::string e = At("e");
  EXPECT_EQ(VEK_CreateDirectory(e.c_str(), 0751), 0);
  EXPECT_EQ(ModeOf(e), 0751u);

  const std::string file = At("file");
  WriteFile(file, "x");
  errno = 0;
  EXPECT_EQ(VEK_CreateDirectory(file.c_str(), 0), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(VEK_CreateDirectory(At("no/such").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---------------------------------------------------------------------------
// Deleting directories.

TEST_F(FileTest, RecursiveDeleteNeverFollowsLinksInsideTheTree) {
  const std::string outside = At("outside");
  fs::create_directories(outside + "/sub");
  WriteFile(outside + "/keep", "k");
  WriteFile(outside + "/sub/keep", "k");

  const std::string tree = At("tree");
  fs::create_directories(tree + "/a/b/c");
  WriteFile(tree + "/top", "1");
  WriteFile(tree + "/a/b/c/deep", "2");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/keep").c_str(), (tree + "/a/b/filelink").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere", (tree + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((tree + "/a/fifo").c_str(), 0600), 0);

  EXPECT_EQ(VEK_DeleteDirectory(tree.c_str(), kVekDeleteRecursive), 0);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(outside + "/keep"), "k");
  EXPECT_EQ(ReadFile(outside + "/sub/keep"), "k");
}

TEST_F(FileTest, DeletingALinkToADirectoryRemovesOnlyTheLink) {
  const std::string target = At("target");
  fs::create_directories(target + "/sub");
  WriteFile(target + "/sub/keep", "k");
  const std::string link = At("link");
  for (const std::string& given : {link, link + "/"}) {
    SCOPED_TRACE(given);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(VEK_DeleteDirectory(given.c_str(), kVekDeleteRecursive), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(ReadFile(target + "/sub/keep"), "k");
  }

  const std::string file = At("file");
  WriteFile(file, "f");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  EXPECT_EQ(VEK_DeleteDirectory(link.c_str(), kVekDeleteRecursive), -1);
  EXPECT_TRUE(Exists(link));
}

TEST_F(FileTest, DeleteDirectoryRefusals) {
  const std::string d = At("d");
  fs::create_directories(d);
  WriteFile(d + "/f", "x");
  errno = 0;
  EXPECT_EQ(VEK_DeleteDirectory(d.c_str(), 0), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_EQ(ReadFile(d + "/f"), "x");
  EXPECT_EQ(VEK_DeleteDirectory((d + "/f").c_str(), kVekDeleteRecursive), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(VEK_DeleteDirectory(At("missing").c_str(), kVekDeleteRecursive), -1);
  EXPECT_EQ(errno, ENOENT);

  // Beyond the path limit nothing is half-deleted silently: the call fails.
  std::string deep = d;
  while (deep.size() < 1100) deep += "/" + std::string(60, 'n');
  fs::create_directories(deep);
  EXPECT_EQ(VEK_DeleteDirectory(d.c_str(), kVekDeleteRecursive), -1);
  EXPECT_TRUE(Exists(d));

  fs::create_directories(At("empty"));
  EXPECT_EQ(VEK_DeleteDirectory(At("empty").c_str(), 0), 0);
  EXPECT_FALSE(Exists(At("empty")));
}

// ---------------------------------------------------------------------------
// Copies.

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

TEST_F(FileTest, CopyKeepsEveryByteAndRefusesToOverwriteUnlessAsked) {
  const std::string from = At("from");
  const std::string to = At("to");
  const std::string data = Pattern(300 * 1024 + 17);
  WriteFile(from, data);
  chmod(from.c_str(), 0640);

  EXPECT_EQ(VEK_CopyFile(from.c_str(), to.c_str(), 0), 0);
  EXPECT_EQ(ReadFile(to), data);
  EXPECT_EQ(ModeOf(to), 0600u);  // the source's bits under the mask 077

  WriteFile(to, "other");
  errno = 0;
  EXPECT_EQ(VEK_CopyFile(from.c_str(), to.c_str(), 0), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ErhErrno(), ERH_SYSTEM);
  EXPECT_EQ(ReadFile(to), "other");

  ErhClearErrorM("test", __LINE__);
  EXPECT_EQ(VEK_CopyFile(from.c_str(), to.c_str(), kVekCopyOverwrite | kVekCopyOwner), 0);
  EXPECT_EQ(ReadFile(to), data);

  const std::string empty = At("empty");
  WriteFile(empty, "");
  EXPECT_EQ(VEK_CopyFile(empty.c_str(), At("empty2").c_str(), 0), 0);
  EXPECT_EQ(ReadFile(At("empty2")), "");
}

TEST_F(FileTest, CopyOntoItselfFailsAndKeepsTheData) {
  const std::string from = At("from");
  WriteFile(from, "precious");
  const std::string alias = At("alias");
  ASSERT_EQ(symlink(from.c_str(), alias.c_str()), 0);
  EXPECT_EQ(VEK_CopyFile(from.c_str(), from.c_str(), kVekCopyOverwrite), -1);
  EXPECT_EQ(VEK_CopyFile(from.c_str(), alias.c_str(), kVekCopyOverwrite), -1);
  EXPECT_EQ(ReadFile(from), "precious");
}

TEST_F(FileTest, CopyThatCannotReadRemovesTheTargetItCreated) {
  const std::string source = At("srcdir");
  fs::create_directories(source);
  const std::string to = At("to");
  EXPECT_EQ(VEK_CopyFile(source.c_str(), to.c_str(), 0), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(ErhErrno(), ERH_SYSTEM);
  EXPECT_FALSE(Exists(to));
  EXPECT_EQ(VEK_CopyFile(At("missing").c_str(), to.c_str(), 0), -1);
  EXPECT_FALSE(Exists(to));
}

TEST_F(FileTest, CopyThatCannotWriteEverythingFailsAndLeavesNoPartialFile) {
  tarn::test::Watchdog watchdog(60);
  const std::string from = At("from");
  WriteFile(from, Pattern(512 * 1024));
  const std::string to = At("to");
  const int status = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100 * 1024, 100 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    if (VEK_CopyFile(from.c_str(), to.c_str(), 0) != -1) return 11;
    if (errno != EFBIG) return 12;
    return Exists(to) ? 13 : 0;
  });
  EXPECT_EQ(ChildStatus(status), 0);
}

TEST_F(FileTest, CopyAsSymbolicLink) {
  const std::string from = At("from");
  WriteFile(from, "data");
  const std::string to = At("to");
  EXPECT_EQ(VEK_CopyFile(from.c_str(), to.c_str(), kVekCopySymlink | kVekCopyOwner), 0);
  EXPECT_EQ(fs::read_symlink(to).string(), from);
  EXPECT_EQ(VEK_CopyFile(At("other").c_str(), to.c_str(), kVekCopySymlink), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(VEK_CopyFile(At("other").c_str(), to.c_str(), kVekCopySymlink | kVekCopyOverwrite), 0);
  EXPECT_EQ(fs::read_symlink(to).string(), At("other"));
  EXPECT_EQ(ReadFile(from), "data");
}

// ---------------------------------------------------------------------------
// Locks against a second process (record locks belong to the process).

TEST_F(FileTest, LocksAgainstAnotherProcess) {
  tarn::test::Watchdog watchdog(60);
  const std::string path = At("lock");
  WriteFile(path, std::string(100, 'x'));
  const int fd = VEK_OpenFile(path.c_str(), 1, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(VEK_LockUnlockFile(0, fd), 0);

  auto tryFromChild = [&](auto attempt) {
    return RunInChild([&] {
      const int child = VEK_OpenFile(path.c_str(), 1, 0);
      if (child < 0) return 99;
      return attempt(child);
    });
  };
  // The child must get its answer at once rather than wait for the parent.
  int status = tryFromChild([](int child) {
    const int r = VEK_LockUnlockFile(0, child);
    return r == kVekLockHeld ? 0 : 1;
  });
  EXPECT_EQ(ChildStatus(status), 0);

  ASSERT_EQ(VEK_LockUnlockFile(1, fd), 0);
  status = tryFromChild([](int child) { return VEK_LockUnlockFile(0, child) == 0 ? 0 : 1; });
  EXPECT_EQ(ChildStatus(status), 0);

  ASSERT_EQ(VEK_LockUnlockRecord(fd, 0, 0, 10), 0);
  status = tryFromChild([](int child) {
    if (VEK_LockUnlockRecord(child, 0, 10, 10) != 0) return 1;
    if (VEK_LockUnlockRecord(child, 0, 5, 10) != kVekLockHeld) return 2;
    return 0;
  });
  EXPECT_EQ(ChildStatus(status), 0);
  ASSERT_EQ(VEK_LockUnlockRecord(fd, 1, 0, 10), 0);

  ASSERT_EQ(VEK_LockFile(fd, F_LOCK, 0, 50), 0);
  status = tryFromChild([](int child) {
    if (VEK_LockFile(child, F_TLOCK, 10, 10) != -2) return 1;
    if (VEK_LockFile(child, F_TEST, 0, 1) != -2) return 2;
    if (VEK_LockFile(child, F_TLOCK, 60, 10) != 0) return 3;
    // The offset positioned the file before the lock.
    if (lseek(child, 0, SEEK_CUR) != 60) return 4;
    return 0;
  });
  EXPECT_EQ(ChildStatus(status), 0);
  ASSERT_EQ(VEK_LockFile(fd, F_ULOCK, 0, 50), 0);
  VEK_CloseFile(fd);
}

TEST_F(FileTest, LockFileRejectsOffsetsBelowMinusOne) {
  const int fd = VEK_OpenFile(At("f").c_str(), 1, 1);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(VEK_LockFile(fd, F_TLOCK, -5, 10), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ErhErrno(), ERH_SYSTEM);
  EXPECT_EQ(ErhSysErrno(), EINVAL);
  ErhClearErrorM("test", __LINE__);
  EXPECT_EQ(VEK_LockFile(-1, F_TLOCK, -1, 10), -1);
  EXPECT_EQ(ErhErrno(), ERH_SYSTEM);
  VEK_CloseFile(fd);
}

// ---------------------------------------------------------------------------
// Directory search.

TEST_F(FileTest, FindListsMatchingNamesOnly) {
  for (const char* name : {"a.log", "b.log", "c.txt", ".hidden.log"}) WriteFile(At(name), "");
  fs::create_directories(At("d.log"));
  VEK_FindData search;
  char name[kVekFindNameMax];
  std::set<std::string> found;
  int rc = VEK_FindFirstFile(&search, At("*.log").c_str(), name);
  while (rc == 0) {
    found.insert(name);
    rc = VEK_FindNextFile(&search, name);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(VEK_FindClose(&search), 0);
  EXPECT_EQ(found, (std::set<std::string>{"a.log", "b.log", "d.log", ".hidden.log"}));
  EXPECT_EQ(search.dir, nullptr);
  EXPECT_EQ(search.path, nullptr);

  // Everything but the two dot entries.
  found.clear();
  rc = VEK_FindFirstFile(&search, At("*").c_str(), name);
  while (rc == 0) {
    found.insert(name);
    rc = VEK_FindNextFile(&search, name);
  }
  VEK_FindClose(&search);
  EXPECT_EQ(found.size(), 5u);
  EXPECT_EQ(found.count("."), 0u);
}

TEST_F(FileTest, FindWithoutMatchesClosesTheSearchItself) {
  VEK_FindData search;
  char name[kVekFindNameMax] = "untouched";
  EXPECT_EQ(VEK_FindFirstFile(&search, At("*.none").c_str(), name), -1);
  EXPECT_EQ(search.dir, nullptr);
  EXPECT_EQ(search.path, nullptr);
  EXPECT_EQ(VEK_FindFirstFile(&search, "no-slash-*", name), -1);
  EXPECT_EQ(search.path, nullptr);
  EXPECT_EQ(VEK_FindFirstFile(&search, At("missing/*").c_str(), name), -1);
  EXPECT_STREQ(name, "untouched");
  WriteFile(At("file"), "");
  EXPECT_EQ(VEK_FindFirstFile(&search, At("file/*").c_str(), name), -2);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(VEK_FindClose(nullptr), -1);
}

// ---------------------------------------------------------------------------
// Whole files.

TEST_F(FileTest, GetFileReturnsTerminatedContents) {
  const std::string empty = At("empty");
  WriteFile(empty, "");
  std::size_t size = 99;
  char* data = CmnGetFile(empty.c_str(), &size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(data[0], '\0');
  safe_free(data, "test", __LINE__);

  const std::string file = At("file");
  WriteFile(file, std::string("a\0b", 3));
  data = CmnGetFile(file.c_str(), &size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, size + 1), std::string("a\0b\0", 4));
  safe_free(data, "test", __LINE__);

  const std::string big = Pattern(3 * 1024 * 1024 + 5);
  WriteFile(file, big);
  data = CmnGetFile(file.c_str(), nullptr);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, big.size()), big);
  safe_free(data, "test", __LINE__);
}

TEST_F(FileTest, GetFileFailuresMarkTheReadError) {
  std::size_t size = 99;
  errno = 0;
  EXPECT_EQ(CmnGetFile(At("missing").c_str(), &size), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(ErhErrno(), ERH_CSA_READ);
  ErhClearErrorM("test", __LINE__);
  EXPECT_EQ(CmnGetFile(dir_.c_str(), &size), nullptr);
  EXPECT_EQ(ErhErrno(), ERH_CSA_READ);
}

TEST_F(FileTest, PutFileCreatesAndReplaces) {
  umask(022);
  const std::string path = At("put");
  EXPECT_EQ(CmnPutFile(path.c_str(), "first", 5), 0);
  EXPECT_EQ(ReadFile(path), "first");
  EXPECT_EQ(ModeOf(path), 0644u);

  // A replaced file keeps what access it had.
  chmod(path.c_str(), 0600);
  EXPECT_EQ(CmnPutFile(path.c_str(), "second, longer", 14), 0);
  EXPECT_EQ(ReadFile(path), "second, longer");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(CmnPutFile(path.c_str(), nullptr, 0), 0);
  EXPECT_EQ(ReadFile(path), "");

  // Writing through a link keeps the link.
  const std::string link = At("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(CmnPutFile(link.c_str(), "via link", 8), 0);
  EXPECT_EQ(fs::read_symlink(link).string(), path);
  EXPECT_EQ(ReadFile(path), "via link");

  EXPECT_EQ(fs::directory_entry(dir_).exists(), true);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2);  // no temporary file left behind
}

TEST_F(FileTest, FailedPutFileKeepsTheOldContents) {
  tarn::test::Watchdog watchdog(60);
  const std::string path = At("put");
  WriteFile(path, "old contents");
  const std::string big = Pattern(1024 * 1024);
  const int status = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    if (CmnPutFile(path.c_str(), big.data(), big.size()) != -1) return 11;
    return ErhErrno() == ERH_CSA_READ ? 0 : 12;
  });
  EXPECT_EQ(ChildStatus(status), 0);
  EXPECT_EQ(ReadFile(path), "old contents");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);

  if (geteuid() != 0) {
    const std::string locked = At("locked");
    fs::create_directories(locked);
    WriteFile(locked + "/f", "kept");
    chmod(locked.c_str(), 0500);
    EXPECT_EQ(CmnPutFile((locked + "/f").c_str(), "new", 3), -1);
    EXPECT_EQ(errno, EACCES);
    chmod(locked.c_str(), 0700);
    EXPECT_EQ(ReadFile(locked + "/f"), "kept");
  }
}

// ---------------------------------------------------------------------------
// Environment and error texts.

TEST_F(FileTest, ErrnoTextIsPrefixedAndCut) {
  char buffer[64];
  EXPECT_STREQ(VEK_SysErrnoToString(ENOENT, buffer, sizeof buffer),
               "[2] No such file or directory");
  EXPECT_STREQ(VEK_SysErrnoToString(ENOENT, buffer, 15), "[2] No such fi");
  std::strcpy(buffer, "untouched");
  EXPECT_STREQ(VEK_SysErrnoToString(ENOENT, buffer, 14), "untouched");
}

TEST_F(FileTest, PutEnvKeepsItsOwnCopy) {
  char text[] = "TARN_VEKFILE_TEST=value";
  ASSERT_EQ(PutEnv(text), 0);
  std::strcpy(text, "TARN_VEKFILE_TEST=other");
  EXPECT_STREQ(GetEnv("TARN_VEKFILE_TEST"), "value");
  ASSERT_EQ(PutEnv("TARN_VEKFILE_TEST="), 0);
  EXPECT_STREQ(GetEnv("TARN_VEKFILE_TEST"), "");
  EXPECT_EQ(GetEnv("TARN_VEKFILE_UNSET_NAME"), nullptr);
  EXPECT_EQ(GetEnv(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Path texts.

std::string Concat(const char* a, const char* b) {
  char buffer[256];
  return PathConcat(buffer, a, b);
}

TEST(PathText, JoinKeepsExactlyOneSeparator) {
  EXPECT_EQ(Concat("/a/", "/b"), "/a/b");
  EXPECT_EQ(Concat("/a", "b"), "/a/b");
  EXPECT_EQ(Concat("/a/", "b"), "/a/b");
  EXPECT_EQ(Concat("/a", "/b"), "/a/b");
  EXPECT_EQ(Concat("/a//", "/b"), "/a//b");
  EXPECT_EQ(Concat("/a/", ""), "/a/");
  EXPECT_EQ(Concat("", "b"), "b");
  EXPECT_EQ(Concat("", "/b"), "/b");

  char buffer[32] = "dir";
  char* end = PathAppendComponent(buffer, "leaf");
  EXPECT_STREQ(buffer, "dir/leaf");
  EXPECT_EQ(end, buffer + 8);
  EXPECT_STREQ(PathConcat(buffer, buffer, "x"), "dir/leaf/x");
}

TEST(PathText, SplitAndConvert) {
  char a[] = "a\\b\\c";
  EXPECT_STREQ(PathToSlashes(a), "a/b/c");
  EXPECT_STREQ(PathToBackslashes(a), "a\\b\\c");

  char b[] = "/x/y//\\/";
  EXPECT_EQ(PathCutTrailSlashes(b, '/'), b + 7);
  EXPECT_STREQ(b, "/x/y//\\");
  EXPECT_EQ(PathCutTrailSlashes(b, 0), b + 4);
  EXPECT_STREQ(b, "/x/y");

  EXPECT_STREQ(PathGetLeaf("/x/y.log"), "y.log");
  EXPECT_STREQ(PathGetLeaf("y.log"), "y.log");
  EXPECT_STREQ(PathGetLeaf("/x/"), "");
  EXPECT_EQ(PathGetLeaf(static_cast<const char*>(nullptr)), nullptr);

  char c[] = "/x/y.log";
  EXPECT_STREQ(PathCutLeaf(c), "y.log");
  EXPECT_STREQ(c, "/x");
  char d[] = "plain";
  EXPECT_STREQ(PathCutLeaf(d), "plain");
  EXPECT_STREQ(d, "plain");
}

TEST(PathText, DrivesNetworkPathsAndRoots) {
  EXPECT_EQ(PathIsUNC("\\\\srv\\share"), 1);
  EXPECT_EQ(PathIsUNC("//srv/share"), 0);
  EXPECT_EQ(PathIsUNC("\\"), 0);

  EXPECT_STREQ(PathSkipDrive("//srv/share/dir/f"), "/dir/f");
  EXPECT_STREQ(PathSkipDrive("\\\\srv\\share\\dir"), "\\dir");
  EXPECT_STREQ(PathSkipDrive("//srv/share"), "");
  EXPECT_STREQ(PathSkipDrive("//srv"), "");
  EXPECT_STREQ(PathSkipDrive("C:/dir"), "/dir");
  EXPECT_STREQ(PathSkipDrive("/a:b"), "/a:b");
  EXPECT_STREQ(PathSkipDrive("rel/path"), "rel/path");

  EXPECT_EQ(VEK_PathIsRoot("/"), 1);
  EXPECT_EQ(VEK_PathIsRoot(""), 1);
  EXPECT_EQ(VEK_PathIsRoot("C:"), 1);
  EXPECT_EQ(VEK_PathIsRoot("C:/"), 1);
  EXPECT_EQ(VEK_PathIsRoot("//srv/share/"), 1);
  EXPECT_EQ(VEK_PathIsRoot("/a"), 0);
  EXPECT_EQ(VEK_PathIsRoot("//"), 1);
  EXPECT_EQ(VEK_PathIsRoot(nullptr), -1);
}

}  // namespace

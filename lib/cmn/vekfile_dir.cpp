// File wrappers: deleting directory trees and copying or linking files, the
// calls that touch more than one file system object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "cmn/vekfile_private.h"

TARN_RCSID("lib/cmn/vekfile_dir.cpp");

using vekfile::Log;

namespace {

// ---------------------------------------------------------------------------
// Directory deletion.

constexpr char kDeleteFn[] = "VEK_DeleteDirectory";
constexpr std::size_t kDeletePathMax = 1023;

void LogDeleteFailure(const char* call, const std::string& path, int sysErrno) {
  char text[256];
  Log(-2, "[%s] %s(%s) failed! error='%s' (%d)", kDeleteFn, call, path.c_str(),
      vekfile::SystemText(sysErrno, text, sizeof text), sysErrno);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Empties the directory open as `dirFd`, named `path` in
// messages. Every entry is examined and opened relative to its parent without
// following links, so a link inside the tree, or one swapped in while we work,
// is removed itself and never leads outside the tree.
int EmptyDirectory(cmn::UniqueFd dirFd, std::string& path) {
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(dirFd.get()));
  if (!dir) {
    LogDeleteFailure("opendir", path, errno);
    return -1;
  }
  dirFd.release();  // the directory stream owns it now
  const int fd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno == 0) return 0;
      LogDeleteFailure("readdir", path, errno);
      return -1;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::size_t base = path.size();
    if (base + 1 + std::strlen(name) > kDeletePathMax) {
      errno = ENAMETOOLONG;
      Log(-2, "[%s] path too long: '%s/%s'", kDeleteFn, path.c_str(), name);
      return -1;
    }
    path += '/';
    path += name;
    struct stat st {};
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      LogDeleteFailure("lstat", path, errno);
      return -1;
    }
    if (S_ISDIR(st.st_mode)) {
      cmn::UniqueFd sub(openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) {
        if (errno != ENOENT) LogDeleteFailure("opendir", path, errno);
        return -1;
      }
      if (EmptyDirectory(std::move(sub), path) != 0) return -1;
      if (unlinkat(fd, name, AT_REMOVEDIR) != 0) {
        LogDeleteFailure("rmdir", path, errno);
        return -1;
      }
    } else if (unlinkat(fd, name, 0) != 0) {
      LogDeleteFailure("remove", path, errno);
      return -1;
    }
    path.resize(base);
  }
}

// ---------------------------------------------------------------------------
// File copy.

constexpr char kCopyFn[] = "VEK_CopyFile";
// Large enough that the copy is not made of small writes.
constexpr std::size_t kCopyBlock = 64 * 1024;

int CopyFailure(const char* call, const char* path) {
  const int sysErrno = errno;
  char text[256];
  Log(-2, "[%s] %s(%s) failed! error='%s' (%d)", kCopyFn, call, path,
      vekfile::SystemText(sysErrno, text, sizeof text), sysErrno);
  ErhMark(ERH_SYSTEM, sysErrno, kCopyFn, kErhMinor);
  errno = sysErrno;
  return -1;
}

int LinkFile(const char* from, const char* to, int options) {
  if ((options & kVekCopyOverwrite) != 0 && remove(to) != 0 && errno != ENOENT) {
    return CopyFailure("remove", to);
  }
  if (symlink(from, to) != 0) return CopyFailure("symlink", to);
  if ((options & kVekCopyOwner) != 0) {
    struct stat st {};
    if (stat(from, &st) != 0) {
      CopyFailure("stat", from);
      return -2;
    }
    if (lchown(to, st.st_uid, st.st_gid) != 0) {
      CopyFailure("lchown", to);
      return -2;
    }
  }
  return 0;
}

// Closes both descriptors on every path; removes the target again when this
// call created it and the copy failed.
class CopyJob {
 public:
  CopyJob(const char* from, const char* to) : from_(from), to_(to) {}
  ~CopyJob() {
    if (failed_ && created_) {
      const int saved = errno;
      unlink(to_);
      errno = saved;
    }
  }
  CopyJob(const CopyJob&) = delete;
  CopyJob& operator=(const CopyJob&) = delete;

  int Run(int options) {
    in_.reset(cmn::OpenRetry(from_, O_RDONLY | O_CLOEXEC));
    if (!in_) return Fail("open", from_);
    struct stat src {};
    if (fstat(in_.get(), &src) != 0) return Fail("fstat", from_);
    struct stat dst {};
    if (stat(to_, &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
      // Truncating the target would destroy the source.
      errno = EINVAL;
      return Fail("open", to_);
    }
    if (!OpenTarget(options, src.st_mode & 0777)) return Fail("open", to_);
    if (!CopyData()) return -1;
    int rc = 0;
    if ((options & kVekCopyOwner) != 0 && fchown(out_.get(), src.st_uid, src.st_gid) != 0) {
      CopyFailure("fchown", to_);
      rc = -2;
    }
    // Delayed write errors of some file systems only show at close.
    if (out_.close() != 0) return Fail("close", to_);
    return rc;
  }

 private:
  bool OpenTarget(int options, mode_t mode) {
    out_.reset(cmn::OpenRetry(to_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out_) {
      created_ = true;
      return true;
    }
    if (errno != EEXIST || (options & kVekCopyOverwrite) == 0) return false;
    out_.reset(cmn::OpenRetry(to_, O_WRONLY | O_TRUNC | O_CLOEXEC));
    return static_cast<bool>(out_);
  }

  bool CopyData() {
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    for (;;) {
      const ssize_t n = cmn::ReadRetry(in_.get(), block.get(), kCopyBlock);
      if (n < 0) {
        Fail("read", from_);
        return false;
      }
      if (n == 0) return true;
      const std::size_t want = static_cast<std::size_t>(n);
      if (cmn::WriteAll(out_.get(), block.get(), want) != want) {
        if (errno == 0) errno = ENOSPC;
        Fail("write", to_);
        return false;
      }
    }
  }

  int Fail(const char* call, const char* path) {
    failed_ = true;
    return CopyFailure(call, path);
  }

  const char* from_;
  const char* to_;
  cmn::UniqueFd in_;
  cmn::UniqueFd out_;
  bool created_ = false;
  bool failed_ = false;
};

}  // namespace

int VEK_DeleteDirectory(const char* path, int options) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Without trailing separators, so that "link/" names the link and not the
  // directory it points to.
  std::string name(path);
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0) {
    const int sysErrno = errno;
    char text[256];
    if (sysErrno == ENOENT) {
      Log(10, "[%s] stat/lstat(%s) returned ENOENT", kDeleteFn, name.c_str());
    } else {
      Log(-2, "[%s] stat/lstat(%s) failed! error='%s' (%d)", kDeleteFn, name.c_str(),
          vekfile::SystemText(sysErrno, text, sizeof text), sysErrno);
    }
    return -1;
  }
  if (S_ISLNK(st.st_mode)) {
    struct stat target {};
    if (stat(name.c_str(), &target) != 0) {
      LogDeleteFailure("stat", name, errno);
      return -1;
    }
    if (!S_ISDIR(target.st_mode)) {
      Log(-2, "[%s] symlink '%s' does not point to a directory! (st_mode=0x%x)", kDeleteFn,
          name.c_str(), static_cast<unsigned>(target.st_mode));
      errno = ENOTDIR;
      return -1;
    }
    // Only the link goes; the directory it points to is not ours to empty.
    if (unlink(name.c_str()) != 0) {
      LogDeleteFailure("remove", name, errno);
      return -1;
    }
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    Log(-2, "[%s] '%s' is not a directory or symlink! (st_mode=0x%x)", kDeleteFn, name.c_str(),
        static_cast<unsigned>(st.st_mode));
    errno = ENOTDIR;
    return -1;
  }
  if ((options & kVekDeleteRecursive) != 0) {
    cmn::UniqueFd fd(open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      if (errno != ENOENT) LogDeleteFailure("opendir", name, errno);
      return -1;
    }
    std::string work = name;
    if (EmptyDirectory(std::move(fd), work) != 0) return -1;
  }
  if (rmdir(name.c_str()) != 0) {
    LogDeleteFailure("rmdir", name, errno);
    return -1;
  }
  return 0;
}

int VEK_CopyFile(const char* from, const char* to, int options) {
  DbgFcnInEx(TARN_HERE, kCopyFn, 20, "in:%s out:%s flags:0x%x", from ? from : "(null)",
             to ? to : "(null)", static_cast<unsigned>(options));
  int rc;
  if (from == nullptr || to == nullptr) {
    errno = EINVAL;
    ErhMark(ERH_SYSTEM, EINVAL, kCopyFn, kErhMinor);
    rc = -1;
  } else if ((options & kVekCopySymlink) != 0) {
    rc = LinkFile(from, to, options);
  } else {
    CopyJob job(from, to);
    rc = job.Run(options);
  }
  const int saved = errno;
  DbgFcnOutEx(TARN_HERE, kCopyFn, 20, "(int) %d", rc);
  errno = saved;
  return rc;
}

// File wrappers: reading a whole file into memory and replacing a file's
// contents so that a failed write never loses the old ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "cmn/vekfile_private.h"

TARN_RCSID("lib/cmn/vekfile_whole.cpp");

using vekfile::Log;

namespace {

constexpr char kGetFn[] = "CmnGetFile";
constexpr char kPutFn[] = "CmnPutFile";
constexpr std::uint64_t kWholeFileLimit = std::uint64_t{1} << 32;

// Marks the cause, then names the whole-file failure as the caller's code.
void MarkAndPromote(const char* function, int sysErrno) {
  ErhMark(ERH_SYSTEM, sysErrno, function, kErhMinor);
  ErhPromoteError(ERH_CSA_READ);
}

// The file a write to `path` really lands in: the target of a symbolic link,
// so that replacing it keeps the link.
std::string ResolveTarget(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path, nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

// Creates a new file beside `target` that no one else uses; empty on failure.
cmn::UniqueFd CreateTemporary(const std::string& target, std::string& tempPath) {
  const long pid = static_cast<long>(getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = target + ".tmp" + std::to_string(pid) + "_" + std::to_string(attempt);
    cmn::UniqueFd fd(
        cmn::OpenRetry(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd || errno != EEXIST) return fd;
  }
  return cmn::UniqueFd();
}

}  // namespace

char* CmnGetFile(const char* path, std::size_t* size) {
  DbgPlain(kDbgFileIo, "%s: Loading from pathname: %s!\n", kGetFn, path);
  if (size != nullptr) *size = 0;
  cmn::UniqueFd fd(cmn::OpenRetry(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    const int sysErrno = errno;
    if (sysErrno != ENOENT) {
      Log(-2, "%s: open() failed, errcode=%d [file=%s]", kGetFn, sysErrno, path);
    }
    ErhMark(ERH_CSA_READ, sysErrno, kGetFn, kErhMinor);
    errno = sysErrno;
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    const int sysErrno = errno;
    Log(-2, "%s: fstat() failed, errcode=%d [file=%s]", kGetFn, sysErrno, path);
    MarkAndPromote(kGetFn, sysErrno);
    errno = sysErrno;
    return nullptr;
  }
  const auto statSize = static_cast<std::uint64_t>(st.st_size);
  if (st.st_size < 0 || statSize >= kWholeFileLimit || statSize >= SIZE_MAX) {
    Log(-2, "%s: read() cannot read file [file=%s]\n   Size mismatch: statSize=%lu, readSize=%lu",
        kGetFn, path, static_cast<unsigned long>(statSize), 0ul);
    MarkAndPromote(kGetFn, EFBIG);
    errno = EFBIG;
    return nullptr;
  }
  const auto want = static_cast<std::size_t>(statSize);
  auto* buffer = static_cast<char*>(safe_malloc(want + 1, TARN_HERE));
  if (buffer == nullptr) {
    ErhPromoteError(ERH_CSA_READ);
    return nullptr;
  }
  const ssize_t got = cmn::ReadAll(fd.get(), buffer, want);
  if (got < 0 || static_cast<std::size_t>(got) != want) {
    const int sysErrno = got < 0 ? errno : EIO;
    if (got < 0) {
      Log(-2, "%s: read() failed, errcode=%d [file=%s]", kGetFn, sysErrno, path);
    } else {
      Log(-2, "%s: read() cannot read file [file=%s]\n   Size mismatch: statSize=%lu, readSize=%lu",
          kGetFn, path, static_cast<unsigned long>(want), static_cast<unsigned long>(got));
    }
    safe_free(buffer, TARN_HERE);
    MarkAndPromote(kGetFn, sysErrno);
    errno = sysErrno;
    return nullptr;
  }
  buffer[want] = '\0';
  if (fd.close() != 0) Log(-2, "%s: close() failed, errcode=%d [file=%s]", kGetFn, errno, path);
  if (size != nullptr) *size = want;
  return buffer;
}

int CmnPutFile(const char* path, const void* data, std::size_t length) {
  DbgPlain(kDbgFileIo, "%s: Saving to pathname: %s!\n", kPutFn, path);
  if (path == nullptr || (data == nullptr && length > 0)) {
    errno = EINVAL;
    ErhMark(ERH_CSA_READ, EINVAL, kPutFn, kErhMinor);
    return -1;
  }
  const std::string target = ResolveTarget(path);
  std::string tempPath;
  cmn::UniqueFd fd = CreateTemporary(target, tempPath);
  if (!fd) {
    const int sysErrno = errno;
    Log(-2, "%s: open() failed, errcode=%d [file=%s]", kPutFn, sysErrno, path);
    ErhMark(ERH_CSA_READ, sysErrno, kPutFn, kErhMinor);
    errno = sysErrno;
    return -1;
  }
  // Drop the temporary file on every failure below.
  auto discard = [&](int sysErrno) {
    unlink(tempPath.c_str());
    MarkAndPromote(kPutFn, sysErrno);
    errno = sysErrno;
    return -1;
  };

  struct stat old {};
  if (stat(target.c_str(), &old) == 0) {
    // The replacement must not widen access to what the old file protected.
    // The owner can only be kept where we may change it; that is no failure.
    if (fchmod(fd.get(), old.st_mode & 07777) != 0) {
      const int sysErrno = errno;
      Log(-2, "%s: fchmod() failed, errcode=%d [file=%s]", kPutFn, sysErrno, path);
      return discard(sysErrno);
    }
    if (fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      DbgPlain(kDbgFileIo, "%s: owner of %s not kept, errcode=%d", kPutFn, path, errno);
    }
  }

  const std::size_t written = cmn::WriteAll(fd.get(), data, length);
  if (written != length) {
    const int sysErrno = errno != 0 ? errno : ENOSPC;
    if (errno != 0) {
      Log(-2, "%s: write() failed, errcode=%d [file=%s]", kPutFn, sysErrno, path);
    } else {
      Log(-2, "%s: write() cannot write file [file=%s]\n   Size mismatch: size=%lu, writeSize=%lu",
          kPutFn, path, static_cast<unsigned long>(length), static_cast<unsigned long>(written));
    }
    return discard(sysErrno);
  }
  // The new contents must be on disk before the name points at them, or a
  // crash could leave an empty file where the old one was.
  if (cmn::RetryEintr([&] { return fsync(fd.get()); }) != 0 && errno != EINVAL) {
    const int sysErrno = errno;
    Log(-2, "%s: write() failed, errcode=%d [file=%s]", kPutFn, sysErrno, path);
    return discard(sysErrno);
  }
  if (fd.close() != 0) {
    Log(-2, "%s: close() failed, errcode=%d [file=%s]", kPutFn, errno, path);
    return discard(errno);
  }
  if (rename(tempPath.c_str(), target.c_str()) != 0) {
    Log(-2, "%s: rename() failed, errcode=%d [file=%s]", kPutFn, errno, path);
    return discard(errno);
  }
  return 0;
}

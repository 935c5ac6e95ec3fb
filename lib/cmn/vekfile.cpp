// File wrappers: descriptors, status, locks, environment and error texts, each
// one system call with a uniform failure line.
#include "cmn/vekfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"
#include "cmn/vekfile_private.h"

TARN_RCSID("lib/cmn/vekfile.cpp");

namespace vekfile {

bool RetryInterrupted() {
  return cmnDefine_ORACLE_SIGNALS != 0;
}

void Log(int level, const char* format, ...) {
  const int saved = errno;
  va_list args;
  va_start(args, format);
  DbgPlainVA(level, format, args);
  va_end(args);
  errno = saved;
}

namespace {
// strerror_r comes in two shapes; overloads pick whichever the C library has.
[[maybe_unused]] const char* PickText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* PickText(const char* result, const char*) {
  return result;
}
}  // namespace

const char* SystemText(int sysErrno, char* buffer, std::size_t size) {
  buffer[0] = '\0';
  return PickText(strerror_r(sysErrno, buffer, size), buffer);
}

}  // namespace vekfile

using vekfile::Log;

namespace {

// Repeats `call` on EINTR only in host-process mode; elsewhere the caller sees
// the interruption (a signal may be how it bounds a blocking call).
template <typename Call>
auto Once(Call call) {
  return cmn::RetryEintrIf(vekfile::RetryInterrupted(), call);
}

int OpenFlags(int access, int flags) {
  int open = (access & 1) != 0 ? O_RDWR : O_RDONLY;
  switch (flags & 7) {
    case 0: break;
    case 1: open |= O_CREAT | O_TRUNC; break;
    case 2: open |= O_CREAT; break;
    case 3: open |= O_TRUNC; break;
    default: open |= O_CREAT | O_EXCL; break;
  }
  return open;
}

int TypeOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return VEK_FTYPE_DIR;
    case S_IFREG: return VEK_FTYPE_REG;
    case S_IFIFO: return VEK_FTYPE_FIFO;
    case S_IFBLK: return VEK_FTYPE_BLK;
    case S_IFCHR: return VEK_FTYPE_CHR;
    case S_IFLNK: return VEK_FTYPE_LNK;
    case S_IFSOCK: return VEK_FTYPE_SOCK;
    default: return VEK_FTYPE_OTHER;
  }
}

int SetLock(const char* function, int fd, int unlock, std::int64_t start, std::int64_t length) {
  struct flock lock {};
  lock.l_type = unlock != 0 ? F_UNLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(start);
  lock.l_len = static_cast<off_t>(length);
  if (Once([&] { return fcntl(fd, F_SETLK, &lock); }) == 0) return 0;
  if (errno == EAGAIN || errno == EACCES) return kVekLockHeld;
  Log(-2, "%s: fcntl() failed, errcode=%d", function, errno);
  return -1;
}

}  // namespace

int VEK_OpenFile(const char* path, int access, int flags) {
  mode_t mode = static_cast<mode_t>((flags >> 3) & 0777);
  if (mode == 0) mode = 0600;
  const mode_t oldMask = umask(0);
  const int fd = Once([&] { return open(path, OpenFlags(access, flags), mode); });
  const int saved = errno;
  umask(oldMask);
  errno = saved;
  if (fd < 0 && errno != ENOENT && errno != EEXIST) {
    Log(-2, "VEK_OpenFile: open() failed, errcode=%d [file=%s]", errno, path);
  }
  return fd;
}

int VEK_CloseFile(int fd) {
  if (fd == -1) return 0;
  // Never repeated: after EINTR the descriptor is already released on this
  // system, and a second close could hit a descriptor another call reopened.
  const int r = close(fd);
  if (r != 0) Log(-2, "VEK_CloseFile: close() failed, errcode=%d", errno);
  return r;
}

long VEK_ReadFile(int fd, void* buffer, std::size_t count) {
  const ssize_t n = Once([&] { return read(fd, buffer, count); });
  if (n < 0) Log(-2, "VEK_ReadFile: read() failed, errcode=%d", errno);
  return static_cast<long>(n);
}

long VEK_WriteFile(int fd, const void* buffer, std::size_t count) {
  const ssize_t n = Once([&] { return write(fd, buffer, count); });
  if (n < 0) Log(-2, "VEK_WriteFile: write() failed, errcode=%d", errno);
  return static_cast<long>(n);
}

std::int64_t VEK_SeekFile64(int fd, std::int64_t offset, int whence) {
  const off_t r = lseek(fd, static_cast<off_t>(offset), whence);
  if (r < 0) Log(-2, "VEK_SeekFile: lseek() failed, errcode=%d", errno);
  return static_cast<std::int64_t>(r);
}

int VEK_SeekFile(int fd, std::int64_t offset, int whence) {
  const off_t before = lseek(fd, 0, SEEK_CUR);
  const std::int64_t r = VEK_SeekFile64(fd, offset, whence);
  if (r < 0) return -1;
  if (r > INT_MAX) {
    if (before >= 0) lseek(fd, before, SEEK_SET);
    errno = EOVERFLOW;
    Log(-2, "VEK_SeekFile: lseek() failed, errcode=%d", errno);
    return -1;
  }
  return static_cast<int>(r);
}

int VEK_UnpackNativeStat(const struct stat* native, VEK_Stat* record) {
  if (native == nullptr || record == nullptr) return -1;
  std::memset(record, 0, sizeof *record);
  const auto size = static_cast<std::uint64_t>(native->st_size);
  record->size = static_cast<std::uint32_t>(size);
  record->size64.low = static_cast<std::uint32_t>(size);
  record->size64.high = static_cast<std::uint32_t>(size >> 32);
  record->mtime = static_cast<std::int32_t>(native->st_mtime);
  record->type = TypeOf(native->st_mode);
  record->uid = static_cast<std::uint32_t>(native->st_uid);
  record->gid = static_cast<std::uint32_t>(native->st_gid);
  record->mode = static_cast<std::uint32_t>(native->st_mode & 07777);
  record->native = *native;
  return 0;
}

int VEK_StatFile(const char* path, VEK_Stat* record) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    if (errno == ENOENT) return -1;
    Log(-2, "VEK_StatFile: stat() failed, errcode=%d [file=%s]", errno, path);
    return -2;
  }
  if (record != nullptr) VEK_UnpackNativeStat(&st, record);
  return 0;
}

int VEK_LockUnlockFile(int unlock, int fd) {
  return SetLock("VEK_LockUnlockFile", fd, unlock, 0, 0);
}

int VEK_LockUnlockRecord(int fd, int unlock, std::int64_t start, std::int64_t length) {
  return SetLock("VEK_LockUnlockFile", fd, unlock, start, length);
}

int VEK_LockFile(int fd, int command, std::int64_t offset, std::int64_t length) {
  static const char kFn[] = "VEK_LockFile";
  DbgFcnInEx(TARN_HERE, kFn, 99, "fd=%d command=%d offset=%lld length=%lld", fd, command,
             static_cast<long long>(offset), static_cast<long long>(length));
  int rc = 0;
  if (offset < -1) {
    errno = EINVAL;
    ErhMark(ERH_SYSTEM, EINVAL, kFn, kErhMinor);
    rc = -1;
  } else if (offset != -1 && lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    ErhMark(ERH_SYSTEM, errno, kFn, kErhMinor);
    rc = -1;
  } else if (Once([&] { return lockf(fd, command, static_cast<off_t>(length)); }) != 0) {
    if (errno == EACCES || errno == EAGAIN) {
      rc = -2;
    } else {
      ErhMark(ERH_SYSTEM, errno, kFn, kErhMinor);
      rc = -1;
    }
  }
  const int saved = errno;
  DbgFcnOutEx(TARN_HERE, kFn, 99, "(int) %d", rc);
  errno = saved;
  return rc;
}

int VEK_DeleteFile(const char* path) {
  const int r = remove(path);
  if (r != 0 && errno != ENOENT) {
    Log(-2, "VEK_DeleteFile: remove() failed, errcode=%d [file=%s]", errno, path);
  }
  return r;
}

int VEK_RenameFile(const char* path, const char* newPath) {
  const int r = rename(path, newPath);
  if (r != 0) {
    Log(-2, "VEK_RenameFile: rename() failed, errcode=%d [path=%s,new=%s]", errno, path, newPath);
  }
  return r;
}

int VEK_CreateDirectory(const char* path, int mode) {
  const mode_t bits = mode == 0 ? 0755 : static_cast<mode_t>(mode);
  const mode_t oldMask = umask(0);
  const int r = mkdir(path, bits);
  const int saved = errno;
  umask(oldMask);
  if (r == 0) return 0;
  if (saved == EEXIST) {
    struct stat st {};
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    errno = EEXIST;
    return -1;
  }
  errno = saved;
  Log(-2, "VEK_CreateDirectory: mkdir() failed, errcode=%d [dir=%s]", saved, path);
  return r;
}

int VEK_ChangeDirectory(const char* path) {
  const int r = chdir(path);
  if (r != 0 && errno != ENOENT) {
    Log(-2, "VEK_ChangeDirectory: chdir() failed, errcode=%d [dir=%s]", errno, path);
  }
  return r;
}

char* VEK_SysErrnoToString(int sysErrno, char* buffer, std::size_t size) {
  if (buffer == nullptr || size <= 14) return buffer;
  char text[256];
  std::snprintf(buffer, size, "[%d] %s", sysErrno,
                vekfile::SystemText(sysErrno, text, sizeof text));
  return buffer;
}

const char* GetEnv(const char* name) {
  if (name == nullptr) return nullptr;
  const char* value = std::getenv(name);
  if (value != nullptr) DbgPlain(kDbgDetail, "ENV VARIABLE read: %s=%s", name, value);
  return value;
}

int PutEnv(const char* text) {
  if (text == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // putenv keeps the pointer itself, and a value read earlier may still be in
  // use after the name is set again: every copy lives as long as the process,
  // held here so that it stays reachable.
  static auto* copies = new std::vector<std::unique_ptr<char[]>>();
  const std::size_t length = std::strlen(text) + 1;
  std::unique_ptr<char[]> copy(new char[length]);
  std::memcpy(copy.get(), text, length);
  copies->reserve(copies->size() + 1);  // no allocation after putenv holds it
  const int r = putenv(copy.get());
  if (r != 0) {
    Log(-2, "PutEnv: putenv() failed, errcode=%d [env=%s]", errno, text);
    return r;
  }
  copies->push_back(std::move(copy));
  DbgPlain(kDbgDetail, "ENV VARIABLE set: %s", text);
  return r;
}

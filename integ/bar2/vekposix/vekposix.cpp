// File items: reads a descriptor into the current backup item through the
// item's own record buffers, and writes a restore item's data back, with
// holes for zero runs when the session restores sparse.
#include "vekposix/vekposix.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "bar2/barbackup.h"
#include "bar2/barimpl.h"
#include "bar2/barrestore.h"
#include "bar2/bartransform.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "cmn/vekfile.h"

TARN_RCSID("integ/bar2/vekposix/vekposix.cpp");

namespace {

constexpr int kLevel = 30;
constexpr int kFileIoError = -7;
// Zero runs shorter than this are written, not skipped: a hole below the
// file system's page gains nothing.
constexpr std::size_t kHoleUnit = 4096;
constexpr int kMaxRead = 1 << 20;

// The file a backup or restore call moves. The codec callbacks get only the
// integration context, so the call in progress is kept here for them; the
// process runs one such call at a time.
struct ActiveFile {
  int fd = -1;
  std::size_t alignment = 1;  // reads a multiple of this
  bool sparse = false;
  std::int64_t pendingZeros = 0;  // sparse: zero bytes not yet placed
  int sysErrno = 0;               // of the first failed read or write
};
ActiveFile* active = nullptr;

class ActiveScope {
 public:
  explicit ActiveScope(ActiveFile* file) : previous_(active) { active = file; }
  ~ActiveScope() { active = previous_; }
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;

 private:
  ActiveFile* previous_;
};

int Fail(BarContext* ctx, const char* fn, int code) {
  DbgPlain(kDbgUnexpected, "[%s] failed with %d: %s", fn, code, ErhGetErrorInfo());
  DbgDumpStack(kDbgUnexpected);
  return BarFail(ctx, code);
}

// A refused call is an unexpected failure like any other here: its text
// (already written at level -2) is followed by the stack that made the call.
int Refused(int code) {
  DbgDumpStack(kDbgUnexpected);
  return code;
}

int NoContext(const char* fn) {
  DbgPlain(kDbgUnexpected, "[%s] Uninitialized BAR2 library context", fn);
  return Refused(BAR_ENOCONTEXT);
}

// Checks shared by both directions; 0 or the failure's code.
int Check(BarContext* ctx, const char* fn, int mode, int fd, const std::int64_t* size) {
  if (ctx == nullptr) return NoContext(fn);
  if (BarCheckMode(ctx, fn, mode, -1, kDbgUnexpected) != 0) return Refused(BAR_ESEQUENCE);
  if (fd == -1) return Refused(bar2_detail::ParamFail(ctx, fn, "fd != -1", kDbgUnexpected));
  if (size == nullptr)
    return Refused(bar2_detail::ParamFail(ctx, fn, "size != ((void *)0)", kDbgUnexpected));
  return 0;
}

// Fills `room` bytes, or fewer only at the end of the file, so that a pipe
// or a short read never makes a small record. The count, or -1.
int ReadFull(ActiveFile& file, std::uint8_t* buffer, int room) {
  if (file.alignment > 1 && static_cast<std::size_t>(room) > file.alignment)
    room -= static_cast<int>(static_cast<std::size_t>(room) % file.alignment);
  int done = 0;
  while (done < room) {
    const long n = VEK_ReadFile(file.fd, buffer + done, static_cast<std::size_t>(room - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      file.sysErrno = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<int>(n);
  }
  return done;
}

// Read callback of the item (plain and compressing alike); 0 at the end of
// the file and, for the compression library, after a read error, which the
// caller then finds in the active file.
int BFileDcReadImpl(void* buffer, int size, void* context, bool plain) {
  if (context == nullptr) return BAR_ENOCONTEXT;
  auto* ctx = static_cast<BarContext*>(context);
  if (active == nullptr || size <= 0) return 0;
  const int n = ReadFull(*active, static_cast<std::uint8_t*>(buffer), std::min(size, kMaxRead));
  if (n < 0) return plain ? -1 : 0;
  ctx->item.bytesRead += n;
  return n;
}

int PlainRead(void* buffer, int size, void* context) {
  return BFileDcReadImpl(buffer, size, context, true);
}

bool WriteAll(ActiveFile& file, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const long n = VEK_WriteFile(file.fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      file.sysErrno = n < 0 ? errno : EIO;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AllZero(std::span<const std::uint8_t> bytes) {
  static const std::uint8_t kZeros[kHoleUnit] = {};
  return bytes.size() <= kHoleUnit && std::memcmp(bytes.data(), kZeros, bytes.size()) == 0;
}

// Sparse write: pieces of kHoleUnit bytes that are all zero are skipped and
// placed later by a seek; runs of other pieces go out in one write each.
bool WriteSparse(ActiveFile& file, std::span<const std::uint8_t> data) {
  std::size_t at = 0;
  while (at < data.size()) {
    std::size_t end = at;
    while (end < data.size()) {
      const std::size_t piece = std::min(kHoleUnit, data.size() - end);
      if (AllZero(data.subspan(end, piece))) break;
      end += piece;
    }
    if (end > at) {
      if (file.pendingZeros > 0 && VEK_SeekFile64(file.fd, file.pendingZeros, SEEK_CUR) < 0) {
        file.sysErrno = errno;
        return false;
      }
      file.pendingZeros = 0;
      if (!WriteAll(file, data.data() + at, end - at)) return false;
      at = end;
      continue;
    }
    const std::size_t piece = std::min(kHoleUnit, data.size() - at);
    file.pendingZeros += static_cast<std::int64_t>(piece);
    at += piece;
  }
  return true;
}

int RFileDcWriteImpl(const void* data, int length, void* context) {
  if (context == nullptr) return BAR_ENOCONTEXT;
  auto* ctx = static_cast<BarContext*>(context);
  if (active == nullptr || length < 0) return -1;
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data),
                                            static_cast<std::size_t>(length));
  if (!(active->sparse ? WriteSparse(*active, bytes)
                       : WriteAll(*active, bytes.data(), bytes.size())))
    return -1;
  ctx->item.bytesWritten += length;
  // A count of 0 would tell the walk that no more data is wanted.
  return length > 0 ? length : 1;
}

// The sparse file's length: the zero run at its end is placed by extending it.
bool FinishSparse(ActiveFile& file) {
  if (file.pendingZeros == 0) return true;
  const std::int64_t here = VEK_SeekFile64(file.fd, 0, SEEK_CUR);
  if (here < 0 || ::ftruncate(file.fd, static_cast<off_t>(here + file.pendingZeros)) != 0) {
    file.sysErrno = errno;
    return false;
  }
  file.pendingZeros = 0;
  return true;
}

int FileIoFail(BarContext* ctx, const char* fn, const ActiveFile& file) {
  ErhMark(ERH_SYSTEM, file.sysErrno, fn, kErhMinor);
  return Fail(ctx, fn, kFileIoError);
}

}  // namespace

int BFileDcRead(void* buffer, int size, void* context) {
  return BFileDcReadImpl(buffer, size, context, false);
}

int RFileDcWrite(void* data, int length, void* context) {
  return RFileDcWriteImpl(data, length, context);
}

int BackupFileItemCompress(BarContext* ctx, int fd) {
  if (ctx == nullptr) return NoContext("BackupFileItemCompress");
  ActiveFile file{.fd = fd};
  const ActiveScope scope(&file);
  ctx->item.bytesRead = 0;
  ctx->item.bytesWritten = 0;
  return VEK_BackupItemCB(ctx, BFileDcRead);
}

int VEK_BackupFileItem(BarContext* ctx, int fd, std::int64_t* size) {
  static const char kFn[] = "VEK_BackupFileItem";
  ctx = BarResolve(ctx);
  if (const int rc = Check(ctx, kFn, BAR_MODE_ITEM_BACKUP, fd, size); rc != 0) return rc;
  // The first marked error wins: one left from before would stand in for a
  // failed read's own.
  ErhClearError();
  errno = 0;
  *size = 0;
  ActiveFile file{.fd = fd};
  const ActiveScope scope(&file);
  ctx->item.bytesRead = 0;
  const int rc = VEK_BackupItemCB(ctx, ctx->object.codecs.compress != 0 ? BFileDcRead : PlainRead);
  *size = ctx->item.bytesRead;
  if (file.sysErrno != 0) return FileIoFail(ctx, kFn, file);
  if (rc != 0) return Fail(ctx, kFn, BAR_ECOMM);
  return 0;
}

int VEK_RestoreFileItem(BarContext* ctx, int fd, std::int64_t* size) {
  static const char kFn[] = "VEK_RestoreFileItem";
  ctx = BarResolve(ctx);
  if (const int rc = Check(ctx, kFn, BAR_MODE_ITEM_RESTORE, fd, size); rc != 0) return rc;
  *size = 0;
  ActiveFile file{.fd = fd, .sparse = ctx->object.sparse != 0};
  const ActiveScope scope(&file);
  ctx->item.bytesWritten = 0;
  const int rc = VEK_RestoreItemCB(ctx, RFileDcWriteImpl);
  *size = ctx->item.bytesWritten;
  if (file.sysErrno != 0) return FileIoFail(ctx, kFn, file);
  if (rc != 0) return Fail(ctx, kFn, BAR_ECOMM);
  if (file.sparse && !FinishSparse(file)) return FileIoFail(ctx, kFn, file);
  return 0;
}

int GetBlockSize(const char* path) {
  static const char kFn[] = "GetBlockSize";
  struct statvfs fs {};
  if (path == nullptr || ::statvfs(path, &fs) != 0 || fs.f_frsize == 0) {
    char text[128] = {};
    DbgPlain(kLevel, "[%s] lstat(name=%s) failed. Error: %s", kFn, path != nullptr ? path : "",
             VEK_SysErrnoToString(errno, text, sizeof text));
    return 1;
  }
  return fs.f_frsize > static_cast<unsigned long>(kMaxRead) ? kMaxRead
                                                            : static_cast<int>(fs.f_frsize);
}

int VEK_BackupFileItemAl(BarContext* ctx, const char* path, DaItemAttr* item, int aligned) {
  static const char kFn[] = "VEK_BackupFileItemAl";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_OBJECT_BACKUP) != 0) return BAR_ESEQUENCE;
  if (path == nullptr || item == nullptr)
    return bar2_detail::ParamFail(ctx, kFn, "path != ((void *)0) && item != ((void *)0)");
  VEK_Stat st{};
  if (VEK_StatFile(path, &st) != 0) return Fail(ctx, kFn, kFileIoError);
  VEK_StatToItem(&st, item);
  const int fd = VEK_OpenFile(path, 0, 0);
  if (fd < 0) return Fail(ctx, kFn, kFileIoError);
  int rc = VEK_StartItemBackup(ctx, item, nullptr, 0, 0);
  if (rc == 0) {
    ActiveFile file{.fd = fd,
                    .alignment = aligned != 0 ? static_cast<std::size_t>(GetBlockSize(path)) : 1};
    {
      const ActiveScope scope(&file);
      ctx->item.bytesRead = 0;
      rc = VEK_BackupItemCB(ctx, ctx->object.codecs.compress != 0 ? BFileDcRead : PlainRead);
    }
    if (file.sysErrno != 0) rc = FileIoFail(ctx, kFn, file);
    const int end = VEK_EndItemBackup(ctx, rc == 0 ? 0 : -1);
    if (rc == 0) rc = end;
  }
  VEK_CloseFile(fd);
  return rc;
}

// Archive and retrieval of DB2 log files through the integration API: one log
// file is one item of one object; its copies are found again by item name.
#include "plover/archlog.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "bar2/barbackup.h"
#include "bar2/barquery.h"
#include "bar2/barrestore.h"
#include "barutil/buconfig.h"
#include "barutil/buenv.h"
#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/objname.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/vekfile.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "db2/db2common.h"
#include "db2/db2msg.h"
#include "vekdf/daformat.h"
#include "vekposix/vekposix.h"

TARN_RCSID("integ/db2/plover/archlog.cpp");

namespace {

constexpr int kLevel = 6;
constexpr char kBarlists[] = "USEREXIT_BARLISTS";
constexpr char kRestoreBarlist[] = "Archived Log Restore";
constexpr int kOverviewFields = 7;
// Object name parts: instance, database, 0, set number, 0.
constexpr int kObjectNameParts = 5;
constexpr unsigned kArchivedModeMask = 04777;

struct SafeFree {
  void operator()(void* p) const { safe_free(p, TARN_HERE); }
};
using HeapText = std::unique_ptr<char, SafeFree>;

const char* Text(const char* s) {
  return s != nullptr ? s : "";
}

const char* ErrorText() {
  return ErhErrnoToText();
}

void Unexpected(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Unexpected(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DbgPlainVA(kDbgUnexpected, format, args);
  va_end(args);
}

// Splits at ':'; the parts.
std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t colon = text.find(':', at);
    parts.push_back(text.substr(at, colon == std::string_view::npos ? colon : colon - at));
    if (colon == std::string_view::npos) return parts;
    at = colon + 1;
  }
}

bool ParseInt(std::string_view text, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// A session row of the overview whose name is "DB2 <barlist>" and that runs;
// its session id, empty when none.
std::string RunningSessionOf(const char* fn, const char* overview, const char* barlist) {
  StrMsg msg;
  StrMsgInitL(&msg);
  std::string found;
  if (StrParseStartL(&msg, overview) < 0) {
    Unexpected("[%s] StrParseStart failed. [%d] %s", fn, ErhErrno(), ErrorText());
    StrMsgFreeL(&msg);
    return found;
  }
  const std::string wanted = std::string("DB2 ") + barlist;
  char* row[kOverviewFields] = {};
  while (StrParseMessageL(&msg, kOverviewFields, row) == 0) {
    DbgPlain(kLevel, "[%s] Checking session %s", fn, row[6]);
    if (std::strcmp(row[1], "0") != 0) continue;
    if (wanted == row[5]) {
      DbgPlain(kLevel, "[%s] Found session %s, barlist %s", fn, row[6], barlist);
      found = row[6];
      if (found.empty())
        DbgPlain(kLevel, "[%s] Session is the new one, no session ID yet, ignoring...", fn);
      break;
    }
    DbgPlain(kLevel, "[%s] Session barlist = '%s', current barlist = '%s'", fn, row[5], barlist);
  }
  StrMsgFreeL(&msg);
  return found;
}

void Report(const char* fn, bool ok, int okNumber, int failedNumber, const char* path, int code) {
  if (ok)
    ErhFullReportPacked(fn, kErhCritical, NlsPackMessage(kDb2MsgSet, okNumber, path));
  else
    ErhFullReportPacked(fn, kErhMinor, NlsPackMessage(kDb2MsgSet, failedNumber, path, code));
}

// The archived log's item as the backup stores it.
DaItemAttr ItemOf(const VEK_Stat& st, const char* name) {
  DaItemAttr item{};
  VEK_StatToItem(&st, &item);
  item.name = name;
  item.fileType = kDaFileRegular;
  item.mode = st.mode & kArchivedModeMask;
  return item;
}

int BackupObject(BarContext* ctx, const ArchivedLogName& name, const char* path,
                 const VEK_Stat& st) {
  static const char kFn[] = "UE_BackupFile";
  const HeapText extOpts(UE_Format("DBtree=%s", name.tree.c_str()));
  if (!extOpts) return kUeSoftwareError;
  DbgPlain(kLevel, "Set External Options:%s", extOpts.get());
  const HeapText filter(BU_GetEnv("VEKDEVICEFILTER"));
  ObjectBackupOptions options{};
  options.flags = 1;
  options.extOpts = extOpts.get();
  options.deviceFilter = filter.get();
  const char* objectName = VEK_Objectname(name.object.c_str(), "");
  if (objectName == nullptr) return kUeSoftwareError;
  if (const int rc = VEK_StartObjectBackupEx(ctx, 0, objectName, nullptr, &options); rc != 0) {
    Unexpected("[%s] VEK_StartObjectBackup failed with error %d", kFn, rc);
    return kUeSoftwareError;
  }
  int code = kUeOk;
  const int fd = VEK_OpenFile(path, 0, 0);
  if (fd < 0) {
    char text[128];
    Unexpected("[%s] VEK_OpenFile(logFullName=%s, 0, 0) failed. Error: %s", kFn, path,
               VEK_SysErrnoToString(errno, text, sizeof text));
    code = kUeIoError;
  } else {
    DaItemAttr item = ItemOf(st, name.item.c_str());
    int rc = VEK_StartItemBackup(ctx, &item, nullptr, 0, 0);
    if (rc != 0) {
      Unexpected(
          "[%s] VEK_StartItemBackup(context, item.name=%s) failed with return code %d. "
          "Error: %s",
          kFn, name.item.c_str(), rc, ErrorText());
      code = kUeSoftwareError;
    } else {
      std::int64_t size = 0;
      rc = VEK_BackupFileItem(ctx, fd, &size);
      if (rc != 0) {
        Unexpected(
            "[%s] VEK_BackupFileItem(ctx, fd, &size) for item.name=%s) failed with return "
            "code %d. Error: %s",
            kFn, name.item.c_str(), rc, ErrorText());
        code = kUeSoftwareError;
      }
      const int end = code != kUeOk ? -1 : 0;
      rc = VEK_EndItemBackup(ctx, end);
      if (rc != 0) {
        Unexpected("[%s] VEK_EndItemBackup(context, %d) failed with return code %d. Error: %s", kFn,
                   end, rc, ErrorText());
        code = kUeSoftwareError;
      }
    }
    VEK_CloseFile(fd);
  }
  if (const int rc = VEK_EndObjectBackup(ctx, code); rc != 0) {
    Unexpected("[%s] VEK_EndBackup(ctx, %d) failed with error [%d] %s", kFn, code, rc, ErrorText());
    code = kUeSoftwareError;
  }
  return code;
}

// Removes the file it names unless released.
class PartialFile {
 public:
  explicit PartialFile(std::string path) : path_(std::move(path)) {}
  ~PartialFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  const std::string& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// Sets the archived attributes of the written copy; failures are only
// logged, as DB2 can use a log whose attributes differ.
void SetAttributes(const char* fn, const char* path, const VEK_Item& item) {
  char text[128];
  const auto mode = static_cast<mode_t>(item.mode & 07777);
  if (::chmod(path, mode) != 0) {
    Unexpected("[%s] chmod(%s, %o) failed. Error: [%d] %s", fn, path, static_cast<unsigned>(mode),
               errno, VEK_SysErrnoToString(errno, text, sizeof text));
    DbgLogPlain(kUeLog, "[%s] chmod(%s, %o) failed. Error: [%d] %s", fn, path,
                static_cast<unsigned>(mode), errno, text);
  }
  struct utimbuf times {};
  times.actime = times.modtime = static_cast<time_t>(item.mtime);
  if (::utime(path, &times) != 0) {
    Unexpected("[%s] utime(%s, %p) failed. Error: [%d] %s", fn, path, static_cast<void*>(&times),
               errno, VEK_SysErrnoToString(errno, text, sizeof text));
    DbgLogPlain(kUeLog, "[%s] utime(%s, %p) failed. Error: [%d] %s", fn, path,
                static_cast<void*>(&times), errno, text);
  }
  const auto uid = static_cast<uid_t>(item.uid);
  const auto gid = static_cast<gid_t>(item.gid);
  if (::chown(path, uid, gid) != 0) {
    Unexpected("[%s] chown(%s, %d, %d) failed.Error: [%d] %s", fn, path, static_cast<int>(uid),
               static_cast<int>(gid), errno, VEK_SysErrnoToString(errno, text, sizeof text));
    DbgLogPlain(kUeLog, "[%s] chown(%s, %d, %d) failed.Error: [%d] %s", fn, path,
                static_cast<int>(uid), static_cast<int>(gid), errno, text);
  }
}

// A retrieval writes the copy of `path` into ".<name>.<pid>.XXXXXX" beside
// it, <pid> its own process id; earlier versions wrote ".<name>.XXXXXX".
constexpr std::size_t kTemporarySuffix = 6;  // mkstemp's XXXXXX
// A temporary of the older pattern names no maker: it is taken for left
// over once it has not been written for this long.
constexpr time_t kUnnamedMakerAge = 600;

std::string TemporaryPrefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
}

// Whether the process that made the temporary `entry` (after `prefix`) has
// ended, so that nobody writes it any more.
bool MakerEnded(std::string_view entry, std::size_t prefix, const struct stat& st) {
  const std::string_view rest = entry.substr(prefix);
  if (rest.size() == kTemporarySuffix) return ::time(nullptr) - st.st_mtime >= kUnnamedMakerAge;
  const std::size_t dot = rest.find('.');
  long pid = 0;
  if (dot == std::string_view::npos || rest.size() - dot - 1 != kTemporarySuffix ||
      !ParseInt(rest.substr(0, dot), &pid) || pid <= 0)
    return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes the temporary files of `path` that retrievals which have ended
// left beside it; one a running retrieval writes stays.
void RemoveStaleCopies(const char* fn, const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string prefix = TemporaryPrefix(path);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view entry(e->d_name);
    if (entry.size() < prefix.size() + kTemporarySuffix ||
        entry.substr(0, prefix.size()) != prefix)
      continue;
    const std::string stale = dir + std::string(entry);
    struct stat st {};
    if (::lstat(stale.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!MakerEnded(entry, prefix.size(), st)) continue;
    DbgPlain(kLevel, "[%s] Removing %s left by an earlier retrieval", fn, stale.c_str());
    ::unlink(stale.c_str());
  }
  ::closedir(d);
}

// Makes a rename in the folder of `path` last through a host crash; a
// failure is only logged, the log is in place already.
void SyncFolderOf(const char* fn, const char* path) {
  const std::string_view p(path);
  const std::size_t slash = p.rfind('/');
  const std::string dir =
      slash == std::string_view::npos ? "." : std::string(p.substr(0, slash + 1));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    char text[128];
    Unexpected("[%s] fsync(%s) failed. Error: [%d] %s", fn, dir.c_str(), errno,
               VEK_SysErrnoToString(errno, text, sizeof text));
  }
  if (fd >= 0) ::close(fd);
}

// The item of a copy ended with a failure: the next copy is tried.
constexpr int kCopyFailed = -1;

// Writes the current item into a new file beside `path`, ends the item and,
// only when the item ended well, renames the file into place. An exit code,
// or kCopyFailed when the stored item did not end well.
int RestoreInto(BarContext* ctx, const char* path, const VEK_Item& item, const char* session) {
  static const char kFn[] = "UE_RestoreFile";
  char text[128];
  const std::string target(path);
  RemoveStaleCopies(kFn, target);
  const std::size_t slash = target.rfind('/');
  std::string tmpl = target.substr(0, slash == std::string::npos ? 0 : slash + 1) +
                     TemporaryPrefix(target) + std::to_string(::getpid()) + ".XXXXXX";
  // mkstemp makes the file with mode 0600: nobody reads the log before its
  // attributes are set.
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    Unexpected("[%s] open (%s, O_CREAT | O_WRONLY) failed with error: [%d] %s", kFn, tmpl.c_str(),
               errno, VEK_SysErrnoToString(errno, text, sizeof text));
    return kUeIoError;
  }
  PartialFile partial(tmpl);
  std::int64_t size = 0;
  const int rc = VEK_RestoreFileItem(ctx, fd, &size);
  // A log reported retrieved must be whole on disk even after a host crash.
  const int synced = rc == 0 ? ::fsync(fd) : 0;
  if (synced != 0)
    Unexpected("[%s] fsync(%s) failed. Error: [%d] %s", kFn, tmpl.c_str(), errno,
               VEK_SysErrnoToString(errno, text, sizeof text));
  const int closed = VEK_CloseFile(fd);
  if (rc != 0) {
    Unexpected("[%s] VEK_RestoreFileItem failed with error: [%d] %s", kFn, rc, ErrorText());
    return kUeSoftwareError;
  }
  if (synced != 0 || closed != 0) return kUeSoftwareError;
  int itemCode = 0;
  if (const int end = VEK_EndItemRestore(ctx, &itemCode); end != 0) {
    Unexpected("[%s] VEK_EndItemRestore(%d) failed with error %s", kFn, end, ErrorText());
    return kUeSoftwareError;
  }
  if (itemCode != 0) {
    Unexpected("[%s] The copy of %s in session %s ended with code %d; it is not used", kFn, path,
               session, itemCode);
    return kCopyFailed;
  }
  SetAttributes(kFn, partial.path().c_str(), item);
  if (VEK_RenameFile(partial.path().c_str(), path) != 0) {
    Unexpected("[%s] rename(%s, %s) failed. Error: [%d] %s", kFn, partial.path().c_str(), path,
               errno, VEK_SysErrnoToString(errno, text, sizeof text));
    return kUeSoftwareError;
  }
  partial.release();
  SyncFolderOf(kFn, path);
  return kUeOk;
}

// One stored copy of a log file.
struct LogCopy {
  std::string session;
  std::string object;  // the version's object name text
  std::string item;
  std::int64_t versionId = 0;
};

// The copies of `path` in the order they are tried: with `wanted` empty the
// newest session first, else the copies of that session; copies of one
// session in catalogue order. An exit code; 0 with no copy when nothing was
// ever archived under the log's name.
int FindCopies(BarContext* ctx, const char* instance, const char* database, const char* path,
               const std::string& wanted, const char* host, std::vector<LogCopy>* copies) {
  static const char kFn[] = "UE_FindRestoreData";
  const auto name = MakeArchivedLogName(instance, database, 0, path);
  if (!name) {
    Unexpected("[%s] the names of %s for %s/%s do not fit", kFn, Text(path), Text(instance),
               Text(database));
    return kUeSoftwareError;
  }
  const VekQueryScope queries(ctx);
  if (queries.rc() != 0) {
    Unexpected("[%s] VEK_StartQueries failed with error %d, %s", kFn, queries.rc(), ErrorText());
    return kUeSoftwareError;
  }
  DbgPlain(kLevel, "[%s] dbFullName = %s", kFn, name->directory.c_str());
  DbgPlain(kLevel, "[%s] fname=%s", kFn, name->file.c_str());
  VEK_Catalog* catalog = VEK_ContextCatalog(ctx);
  int count = 0;
  VEK_Item* items = nullptr;
  if (const int rc = VEK_QueryPatternSearch(catalog, name->file.c_str(), Text(host),
                                            name->directory.c_str(), 0, 0, 0, &count, &items);
      rc != 0) {
    Unexpected("[%s] VEK_QueryPatternSearch(%s, %s, %s) failed with error %d, %s", kFn,
               name->file.c_str(), Text(host), name->directory.c_str(), rc, ErrorText());
    return kUeSoftwareError;
  }
  std::string latest;
  int result = kUeOk;
  for (int i = 0; i < count; ++i) {
    const VEK_Item& item = items[i];
    DbgPlain(kLevel, "[%s] Processing item.name=%s", kFn, item.name);
    if (name->item != item.name) continue;  // a pattern may match more than the name
    VEK_ObjectVersion ov{};
    const int versionIdOfItem = static_cast<int>(item.number10);
    if (const int rc = VEK_QueryGetObjectVersion(catalog, versionIdOfItem, &ov); rc != 0) {
      Unexpected("[%s] VEK_QueryGetObjectAndVersion(%d) failed with error %d, %s", kFn,
                 versionIdOfItem, rc, ErrorText());
      result = kUeSoftwareError;
      break;
    }
    const char* session = ov.version.sessionId;
    bool take = true;
    if (wanted.empty()) {
      // Every copy is kept: an older one is tried when a newer one fails, and
      // is only passed over once a newer one was retrieved.
      if (copies->empty() || UE_CompareSessionIds(session, latest.c_str()) > 0) {
        if (!copies->empty())
          DbgPlain(kLevel, "[%s] Session %s is later than the current latest %s", kFn, session,
                   latest.c_str());
        latest = session;
      }
    } else {
      DbgPlain(kLevel, "[%s] Comparing OV.version.sessionID=%s and sessionID=%s", kFn, session,
               wanted.c_str());
      take = wanted == session;
      if (take) DbgPlain(kLevel, "[%s] Match! object name = %s", kFn, ov.object.mountPoint);
    }
    if (take)
      copies->push_back(
          {session, Text(ov.object.mountPoint), item.name, VEK_VersionId(ov.version)});
    VEK_ObjectVersionFree(&ov);
  }
  VEK_FreeArray(count, items, sizeof(VEK_Item), nullptr);
  if (result != kUeOk) return result;
  // Newest first; copies of one session keep their order, the earlier first.
  std::stable_sort(copies->begin(), copies->end(), [](const LogCopy& a, const LogCopy& b) {
    return UE_CompareSessionIds(a.session.c_str(), b.session.c_str()) > 0;
  });
  if (copies->empty()) {
    if (!wanted.empty()) {
      Unexpected("[%s] Target sessionID %s not found", kFn, wanted.c_str());
      return kUeSoftwareError;
    }
    // Items under the log's folder and name that are not the log itself: the
    // catalogue holds something, so this is not "never archived".
    if (count > 0) {
      Unexpected("[%s] %d items found for file %s, none of them is item.name %s", kFn, count,
                 Text(path), name->item.c_str());
      return kUeSoftwareError;
    }
    DbgPlain(kLevel, "[%s] No backups found for file %s, item.name %s in part. object name %s", kFn,
             Text(path), name->item.c_str(), name->object.c_str());
  }
  return kUeOk;
}

// The copies behind `chosen` in `copies` are not used.
void TracePassedOver(const char* fn, const std::vector<LogCopy>& copies, std::size_t chosen) {
  for (std::size_t i = chosen + 1; i < copies.size(); ++i)
    DbgPlain(kLevel, "[%s] Skipping session %s, because it's not later than the current latest %s",
             fn, copies[i].session.c_str(), copies[chosen].session.c_str());
}

// Restores `copy` of the log into `path`. An exit code, or kCopyFailed.
int RestoreCopy(BarContext* ctx, const char* host, const LogCopy& copy, const char* path) {
  static const char kFn[] = "UE_RestoreFile";
  const char* fullName = VEK_ObjectnameEx(5, host, copy.object.c_str(), nullptr);
  const std::string object = fullName != nullptr ? fullName : "";
  if (const int rc = VEK_StartObjectRestoreEx(ctx, object.c_str(), copy.session.c_str(),
                                              copy.item.c_str(), static_cast<int>(copy.versionId));
      rc != 0) {
    Unexpected("[%s] VEK_StartObjectRestore(%s, %s, %s, %s) failed with error %d, %s", kFn,
               object.c_str(), copy.session.c_str(), copy.item.c_str(), Text(path), rc,
               ErrorText());
    return kUeSoftwareError;
  }
  int code = kUeSoftwareError;
  for (;;) {
    VEK_Item item{};
    if (VEK_StartItemRestoreEx(ctx, nullptr, &item, nullptr, nullptr) != 0) break;
    if (copy.item == item.name) {
      // RestoreInto ends the item itself: its end decides the rename.
      code = RestoreInto(ctx, path, item, copy.session.c_str());
      break;
    }
    int itemCode = 0;
    if (const int rc = VEK_EndItemRestore(ctx, &itemCode); rc != 0) {
      Unexpected("[%s] VEK_EndItemRestore(%d) failed with error %s", kFn, rc, ErrorText());
      break;
    }
  }
  const int ended = code == kCopyFailed ? kUeSoftwareError : code;
  if (const int rc = VEK_EndObjectRestore(ctx, ended); rc != 0)
    Unexpected("[%s] VEK_EndObjectRestore(%d) failed with error %d, %s", kFn, ended, rc,
               ErrorText());
  return code;
}

}  // namespace

char* UE_Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  char* out =
      n < 0 ? nullptr : static_cast<char*>(safe_malloc(static_cast<std::size_t>(n) + 1, TARN_HERE));
  if (out != nullptr) std::vsnprintf(out, static_cast<std::size_t>(n) + 1, format, args);
  va_end(args);
  return out;
}

std::optional<ArchivedLogName> MakeArchivedLogName(const char* instance, const char* database,
                                                   int setNumber, const char* path) {
  if (instance == nullptr || database == nullptr || path == nullptr || *instance == '\0' ||
      *database == '\0' || *path == '\0' || setNumber < 0)
    return std::nullopt;
  ArchivedLogName name;
  name.object = std::string(instance) + ":" + database + ":0:" + std::to_string(setNumber) + ":0";
  // The object name must fit the integration's buffer with its type and host.
  if (name.object.size() > kObjNameMpointMax) return std::nullopt;
  if (std::strlen(path) > kStrPathMax) return std::nullopt;
  char clean[kStrPathMax + 1];
  StrCleanPathnameR(path, '/', clean);
  name.tree = std::string("/") + instance + "/" + database + "/" + kUeArchivedLogs +
              (clean[0] == '/' ? "" : "/") + clean + kUeNameEnd;
  if (name.tree.size() > kUeItemNameMax) return std::nullopt;
  name.item = DB2_fNameFormatIDB(name.tree.c_str());
  if (name.item.empty()) return std::nullopt;
  const std::size_t slash = name.item.rfind('/');
  name.directory = name.item.substr(0, slash);
  name.file = name.item.substr(slash + 1);
  return name;
}

int UE_CompareSessionIds(const char* a, const char* b) {
  // A session id is "<date>-<serial>"; one that is not sorts after (below)
  // every one that is, and among its kind by its text, so that the order
  // stays strict and weak whatever the catalogue holds.
  struct Key {
    std::string_view text;
    bool wellFormed = false;
    std::string_view date;
    long serial = 0;
  };
  const auto key = [](const char* id) {
    Key k{Text(id)};
    const std::size_t dash = k.text.rfind('-');
    if (dash != std::string_view::npos && ParseInt(k.text.substr(dash + 1), &k.serial)) {
      k.wellFormed = true;
      k.date = k.text.substr(0, dash);
    }
    return k;
  };
  const Key x = key(a), y = key(b);
  if (x.wellFormed != y.wellFormed) return x.wellFormed ? 1 : -1;
  if (!x.wellFormed) {
    const int text = x.text.compare(y.text);
    return text < 0 ? -1 : text > 0 ? 1 : 0;
  }
  if (const int date = x.date.compare(y.date); date != 0) return date < 0 ? -1 : 1;
  return x.serial < y.serial ? -1 : x.serial > y.serial ? 1 : 0;
}

char* UE_GetBarList(const BpList* config, const char* database) {
  static const char kFn[] = "UE_GetBarList";
  if (config == nullptr || database == nullptr || *database == '\0') {
    Unexpected("[%s] Wrong input parameters config=%p, dbname =%s", kFn,
               static_cast<const void*>(config), Text(database));
    return nullptr;
  }
  CmnVar* barlists = nullptr;
  if (const int rc = BP_GetListByName(*config, kBarlists, &barlists); rc != kBpOk) {
    Unexpected("[%s] BP_GetListByName(config, %s, &barListOpt) failed with error [%d], %s", kFn,
               kBarlists, rc, ErrorText());
    return nullptr;
  }
  const char* barlist = nullptr;
  if (const int rc = BP_GetStrByName(*barlists, database, &barlist);
      rc != kBpOk || barlist == nullptr || *barlist == '\0') {
    Unexpected("[%s] BP_GetStrByName(*barListOpt, %s, &barlist) failed with error [%d], %s", kFn,
               database, rc, ErrorText());
    return nullptr;
  }
  return StrNewCopy(barlist);
}

int UE_GetNextID(BarContext* ctx, const char* host, const char* instance, const char* database,
                 const char* barlist) {
  static const char kFn[] = "UE_GetNextID";
  const VekQueryScope queries(ctx);
  if (queries.rc() != 0) {
    Unexpected("[%s] VEK_StartQueries failed with error %d, %s", kFn, queries.rc(), ErrorText());
    return 0;
  }
  std::string session;
  {
    BuCsaState csa;
    if (BU_CsaInit(&csa, nullptr) != 0) {
      CliErhReport(cmnEmptyString);
      return 0;
    }
    char* overview = nullptr;
    if (MCsaGetSessionOverview(csa.slot, &overview) != 0 || overview == nullptr) {
      Unexpected("[%s] MCsaGetSessionOverview failed. [%d] %s", kFn, ErhErrno(), ErrorText());
    } else {
      session = RunningSessionOf(kFn, overview, Text(barlist));
    }
    safe_free(overview, TARN_HERE);
    BU_CsaExit(&csa);
  }
  if (session.empty()) return 0;

  int count = 0;
  VEK_ObjectVersion* versions = nullptr;
  // Every version: objects of one session share its backup id, so one
  // version per backup id would hide all but one set number.
  const int rc = VEK_QueryObjectsOfSessionEx(VEK_ContextCatalog(ctx), session.c_str(), Text(host),
                                             "DB2", 0, &count, &versions);
  if (rc != 0) {
    Unexpected("[%s] VEK_QueryObjectsOfSession exited with error [%d] %s", kFn, rc, ErrorText());
    return 0;
  }
  int next = 0;
  for (int i = 0; i < count; ++i) {
    const std::vector<std::string_view> parts = SplitColons(versions[i].object.mountPoint);
    if (parts.size() != kObjectNameParts) {
      DbgPlain(kLevel, "[%s] Skipping object %s", kFn, versions[i].object.mountPoint);
      continue;
    }
    const std::string p[kObjectNameParts] = {std::string(parts[0]), std::string(parts[1]),
                                             std::string(parts[2]), std::string(parts[3]),
                                             std::string(parts[4])};
    DbgPlain(kLevel, "[%s] Checking object %s:%s:%s:%s:%s", kFn, p[0].c_str(), p[1].c_str(),
             p[2].c_str(), p[3].c_str(), p[4].c_str());
    long set = 0;
    if (p[0] != Text(instance) || p[1] != Text(database) || !ParseInt(parts[3], &set)) continue;
    if (set >= next) {
      next = static_cast<int>(set) + 1;
      DbgPlain(kLevel, "[%s] Setting setNumber to %d", kFn, next);
    }
  }
  VEK_FreeArray(count, versions, sizeof(VEK_ObjectVersion), VEK_ObjectVersionFree);
  DbgPlain(kLevel, "[%s] Returning %d as the next set/timestamp number", kFn, next);
  return next;
}

int UE_BackupFile(BarContext* ctx, const BpList* config, const char* instance, const char* database,
                  const char* path) {
  static const char kFn[] = "UE_BackupFile";
  VEK_Stat st{};
  const int statRc = VEK_StatFile(path, &st);
  if (statRc == -1) {
    DbgPlain(kLevel, "[%s] %s does not exist: nothing to archive", kFn, Text(path));
    return kUeOk;
  }
  if (statRc != 0) return kUeIoError;
  const HeapText barlist(UE_GetBarList(config, database));
  if (!barlist) {
    Unexpected("UE_GetBarList(%s, %s) failed!", Text(instance), Text(database));
    DbgLogPlain(kUeLog,
                "Barlist not specified for Instance %s, Database %s. Aborting archived log backup.",
                Text(instance), Text(database));
    return kUeSoftwareError;
  }
  if (const int rc = VEK_StartBackup(ctx, barlist.get()); rc != 0) {
    Unexpected("[%s] VEK_StartBackup(ctx, %s) failed with error [%d] %s", kFn, barlist.get(), rc,
               ErrorText());
    return kUeSoftwareError;
  }
  // A directory, device, FIFO or socket is never archived as a log; the
  // session still ends with the failure, so the session manager hears of it.
  if (st.type != VEK_FTYPE_REG) {
    Unexpected("[%s] Unexpected type %d of file %s", kFn,
               static_cast<int>(st.native.st_mode & S_IFMT), path);
    Report(kFn, false, kDb2MsgArchived, kDb2MsgArchiveFailed, path, kUeSoftwareError);
    if (const int rc = VEK_EndBackup(ctx, kUeSoftwareError); rc != 0)
      Unexpected("[%s] VEK_EndBackup(ctx, %d) failed with error [%d] %s", kFn, kUeSoftwareError, rc,
                 ErrorText());
    return kUeSoftwareError;
  }
  const int setNumber = UE_GetNextID(ctx, cmnHostname, instance, database, barlist.get());
  const auto name = MakeArchivedLogName(instance, database, setNumber, path);
  int code = kUeSoftwareError;
  if (!name) {
    Unexpected("[%s] the names of %s for %s/%s do not fit", kFn, Text(path), Text(instance),
               Text(database));
  } else {
    code = BackupObject(ctx, *name, path, st);
  }
  Report(kFn, code == kUeOk, kDb2MsgArchived, kDb2MsgArchiveFailed, path, code);
  if (const int rc = VEK_EndBackup(ctx, code); rc != 0) {
    Unexpected("[%s] VEK_EndBackup(ctx, %d) failed with error [%d] %s", kFn, code, rc, ErrorText());
    code = kUeSoftwareError;
  }
  return code;
}

int UE_FindRestoreData(BarContext* ctx, const char* instance, const char* database,
                       const char* path, char* sessionId, char* objectName, char* itemName,
                       const char* host, std::int64_t* versionId) {
  static const char kFn[] = "UE_FindRestoreData";
  if (sessionId == nullptr || objectName == nullptr || itemName == nullptr ||
      versionId == nullptr) {
    Unexpected("[%s] Invalid parameters: sessionID = %p, objectName = %p, itemName = %p", kFn,
               static_cast<void*>(sessionId), static_cast<void*>(objectName),
               static_cast<void*>(itemName));
    return kUeSoftwareError;
  }
  std::vector<LogCopy> copies;
  if (const int rc = FindCopies(ctx, instance, database, path, sessionId, host, &copies); rc != 0)
    return rc;
  if (copies.empty()) {
    sessionId[0] = '\0';
    return kUeOk;
  }
  const LogCopy& chosen = copies.front();
  TracePassedOver(kFn, copies, 0);
  StrSafeCopyA(sessionId, chosen.session.c_str(), kUeSessionIdMax);
  StrSafeCopyA(objectName, chosen.object.c_str(), kBarObjNameMax);
  StrSafeCopyA(itemName, chosen.item.c_str(), kUeItemNameMax);
  *versionId = chosen.versionId;
  DbgPlain(kLevel, "[%s] Restoring file %s from object %s session %s, item.name = %s", kFn,
           Text(path), objectName, sessionId, itemName);
  return kUeOk;
}

int UE_RestoreFile(BarContext* ctx, const char* instance, const char* database, const char* path,
                   const char* sessionId, const char* host, const char* sourceInstance,
                   bool* found) {
  static const char kFn[] = "UE_RestoreFile";
  if (found != nullptr) *found = true;
  DbgPlain(kLevel, "[%s] Called as %s(0x%p, %s, %s, %s, %s)", kFn, kFn, static_cast<void*>(ctx),
           Text(instance), Text(database), Text(path), Text(sessionId));
  const char* searchHost = host != nullptr && *host != '\0' ? host : cmnHostname;
  const char* searchInstance =
      sourceInstance != nullptr && *sourceInstance != '\0' ? sourceInstance : instance;
  if (sessionId != nullptr && std::strlen(sessionId) > kUeSessionIdMax) {
    Unexpected("[%s] session id %s is too long", kFn, sessionId);
    return kUeSoftwareError;
  }
  std::vector<LogCopy> copies;
  if (const int rc =
          FindCopies(ctx, searchInstance, database, path, Text(sessionId), searchHost, &copies);
      rc != 0) {
    Unexpected(
        "[%s] Restore failed since queries not succeeded getting name, objectName or "
        "session from the IDB !",
        kFn);
    return rc;
  }
  if (copies.empty()) {
    DbgPlain(kLevel, "[%s] Looks like no files found in the IDB. Returning success!", kFn);
    DbgLogPlain(kUeLog, "No archived copy of log %s found", Text(path));
    if (found != nullptr) *found = false;
    return kUeOk;
  }
  DbgPlain(kLevel, "[%s] Restoring file %s from object %s session %s, item.name = %s",
           "UE_FindRestoreData", Text(path), copies.front().object.c_str(),
           copies.front().session.c_str(), copies.front().item.c_str());
  const char* barlist = std::getenv("VEKBARLIST");
  if (const int rc =
          VEK_StartRestore(ctx, barlist != nullptr && *barlist != '\0' ? barlist : kRestoreBarlist);
      rc != 0) {
    Unexpected("[%s] VEK_StartRestore() failed with error %d, %s", kFn, rc, ErrorText());
    return kUeSoftwareError;
  }
  int code = kUeSoftwareError;
  std::size_t tried = 0;
  for (; tried < copies.size(); ++tried) {
    code = RestoreCopy(ctx, searchHost, copies[tried], path);
    if (code != kCopyFailed) break;
  }
  if (code == kUeOk) {
    TracePassedOver(kFn, copies, tried);
    // The administrator must tell an older copy from the newest.
    std::string newer;
    std::size_t newerCount = 0;
    for (std::size_t i = 0; i < tried; ++i) {
      // A failed copy of the retrieved copy's own session is no newer one.
      if (copies[i].session == copies[tried].session) continue;
      newer += (newerCount++ == 0 ? "" : ", ") + copies[i].session;
    }
    if (newerCount > 0) {
      DbgLogPlain(kUeLog,
                  "Log %s retrieved from the copy of session %s; %s %s could not be used and %s "
                  "passed over",
                  Text(path), copies[tried].session.c_str(),
                  newerCount == 1 ? "the newer copy of session" : "the newer copies of sessions",
                  newer.c_str(), newerCount == 1 ? "was" : "were");
    }
  }
  if (code == kCopyFailed) {
    Unexpected("[%s] No copy of %s ended well", kFn, Text(path));
    code = kUeSoftwareError;
  }
  Report(kFn, code == kUeOk, kDb2MsgRetrieved, kDb2MsgRetrieveFailed, path, code);
  if (const int rc = VEK_EndRestore(ctx, code); rc != 0)
    Unexpected("[%s] VEK_EndRestore(%d) failed with error %d, %s", kFn, code, rc, ErrorText());
  return code;
}

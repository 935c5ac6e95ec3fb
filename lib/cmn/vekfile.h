// File, directory and environment wrappers: every module opens, reads, writes,
// locks, stats, searches and deletes files through these calls.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "cmn/defines.h"

// Conventions of the single-call wrappers: each performs one system call with
// 64-bit offsets and returns its result; errno is left as the system set it.
// A failure writes one level -2 trace line naming the wrapper, the call and
// errno; ENOENT (and EEXIST for calls that create) is an expected outcome and
// writes nothing. In host-process mode (cmnDefine_ORACLE_SIGNALS) a call
// interrupted by a signal is repeated; otherwise EINTR reaches the caller.

// ---------------------------------------------------------------------------
// Portable file status.

enum VekFileType : int {
  VEK_FTYPE_OTHER = 0,
  VEK_FTYPE_DIR = 1,
  VEK_FTYPE_REG = 2,
  VEK_FTYPE_FIFO = 3,
  VEK_FTYPE_BLK = 4,
  VEK_FTYPE_CHR = 5,
  VEK_FTYPE_LNK = 6,
  VEK_FTYPE_SOCK = 7,
};

struct VekSize64 {
  std::uint32_t low;
  std::uint32_t high;
  constexpr std::uint64_t value() const { return (std::uint64_t{high} << 32) | low; }
};

// Filled by VEK_StatFile and VEK_UnpackNativeStat. The 32-bit fields are
// truncations kept for old callers; `size64` and `native` are exact.
struct VEK_Stat {
  std::uint32_t size;  // low 32 bits of the size
  VekSize64 size64;
  std::int32_t mtime;  // last modification, seconds since the epoch
  int type;            // VekFileType
  std::uint32_t uid;
  std::uint32_t gid;
  std::uint32_t mode;  // permission bits only (07777)
  struct stat native;
};

// Fills `record` (zeroed first) from a native status record. 0; -1 for null.
int VEK_UnpackNativeStat(const struct stat* native, VEK_Stat* record);

// stat (follows links). 0, with `record` filled when given; -1 (no line) when
// the path does not exist; -2 on any other failure.
int VEK_StatFile(const char* path, VEK_Stat* record);

// ---------------------------------------------------------------------------
// Descriptors.

// `access` bit 1: read-write, else read-only. `flags & 7` picks the rule:
// 0 must exist, 1 create or truncate, 2 create when missing, 3 truncate and
// must exist, 4-7 create and must not exist. A created file gets exactly the
// permission bits (flags >> 3) & 0777 (0600 when zero), whatever the process
// mask. Returns the descriptor or -1.
int VEK_OpenFile(const char* path, int access, int flags);
// 0 at once for -1; else close's result.
int VEK_CloseFile(int fd);
// One read; bytes read (0 at end of file) or -1.
long VEK_ReadFile(int fd, void* buffer, std::size_t count);
// One write; bytes written (may be short) or -1.
long VEK_WriteFile(int fd, const void* buffer, std::size_t count);
// The new position, or -1. A position that does not fit the int result fails
// with EOVERFLOW and leaves the file position where it was.
int VEK_SeekFile(int fd, std::int64_t offset, int whence);
// The new 64-bit position, or -1.
std::int64_t VEK_SeekFile64(int fd, std::int64_t offset, int whence);

// ---------------------------------------------------------------------------
// Locks.

inline constexpr int kVekLockHeld = -100;

// Non-waiting write lock on the whole file (unlock when `unlock` is nonzero).
// 0; kVekLockHeld when another process holds a conflicting lock; else -1.
int VEK_LockUnlockFile(int unlock, int fd);
// The same over `length` bytes from `start` (length 0: to the end and beyond).
int VEK_LockUnlockRecord(int fd, int unlock, std::int64_t start, std::int64_t length);
// lockf with `command` (F_LOCK, F_TLOCK, F_TEST, F_ULOCK) over `length` bytes
// from `offset` (-1: from the current position, other offsets move the file
// position there first). 0; -2 when another process holds the range; -1 on
// error with 1026 marked.
int VEK_LockFile(int fd, int command, std::int64_t offset, std::int64_t length);

// ---------------------------------------------------------------------------
// Files and directories by name.

// remove; the call's result. No line for ENOENT.
int VEK_DeleteFile(const char* path);
// rename; the call's result.
int VEK_RenameFile(const char* path, const char* newPath);
// mkdir of one level with exactly `mode` (0 means 0755), whatever the process
// mask. 0 also when the directory exists; -1 with EEXIST (no line) when the
// path exists as something else.
int VEK_CreateDirectory(const char* path, int mode);
// chdir; the call's result. No line for ENOENT.
int VEK_ChangeDirectory(const char* path);

inline constexpr int kVekDeleteRecursive = 1;
// Removes a directory, or a symbolic link to one (only the link: the target
// and its contents stay). With kVekDeleteRecursive a real directory is emptied
// first, depth first, without following any link inside it. 0 or -1.
int VEK_DeleteDirectory(const char* path, int options);

inline constexpr int kVekCopyOverwrite = 1;
inline constexpr int kVekCopySymlink = 2;
inline constexpr int kVekCopyOwner = 4;
// Copies `from` to `to` (new file with the source's permission bits under the
// process mask), refusing an existing target unless kVekCopyOverwrite; with
// kVekCopySymlink `to` becomes a symbolic link to `from` instead; with
// kVekCopyOwner the target gets the source's owner and group. 0; -1 on
// failure (1026 marked; a target this call created is removed again); -2 when
// only the ownership change failed. Copying a file onto itself fails (EINVAL).
int VEK_CopyFile(const char* from, const char* to, int options);

// ---------------------------------------------------------------------------
// Directory search.

inline constexpr int kVekFindNameMax = 1024;  // name buffers of the search calls

struct VEK_FindData {
  struct dirent* entry;
  DIR* dir;
  char* path;     // heap copy of the searched path, cut at its last '/'
  char* pattern;  // file-name pattern inside `path`
};

// Starts a search for "directory/pattern" (shell pattern on the leaf) and
// returns the first match's name in `name` (kVekFindNameMax bytes). 0 found; -1
// none, no '/' in `path` or no such directory; -2 error. On any result other
// than 0 the search is already closed.
int VEK_FindFirstFile(VEK_FindData* search, const char* path, char* name);
// Next match other than "." and ".."; 0, -1 at the end, -2 error.
int VEK_FindNextFile(VEK_FindData* search, char* name);
// Closes the search and clears the record; 0, -1 for null or a failed close.
int VEK_FindClose(VEK_FindData* search);

// ---------------------------------------------------------------------------
// Whole files.

// Reads a whole file (below 4 GiB) into a new NUL-terminated heap buffer that
// the caller frees with safe_free; `size` (may be null) gets the byte count.
// Null on failure, with 1012 marked.
char* CmnGetFile(const char* path, std::size_t* size);
// Replaces the file's contents with `length` bytes of `data`. The data goes to
// a temporary file beside it which is then renamed over the path, so a failure
// leaves the old contents in place. A new file gets 0644 under the process
// mask; an existing one keeps its permission bits (and, where allowed, its
// owner). A symbolic link is written through. 0, or -1 with 1012 marked.
int CmnPutFile(const char* path, const void* data, std::size_t length);

// ---------------------------------------------------------------------------
// Environment and error texts.

// "[errno] system text" cut to `size` bytes with its terminator; `buffer` is
// left alone when `size` is 14 or less. Returns `buffer`.
char* VEK_SysErrnoToString(int sysErrno, char* buffer, std::size_t size);
// getenv; the value (owned by the environment) or null.
const char* GetEnv(const char* name);
// Puts a private copy of "NAME=value" into the environment; the copy stays
// for the life of the process. putenv's result.
int PutEnv(const char* text);

// ---------------------------------------------------------------------------
// Path texts, changed in place; '/' is the separator.

// Every '\' to '/' (or every '/' to '\'); return `s`.
char* PathToSlashes(char* s);
char* PathToBackslashes(char* s);
// Removes the trailing run of `sep` (sep 0: of '/' and '\' both); returns the
// new end (the terminator).
char* PathCutTrailSlashes(char* s, char sep);
// Appends `part` with exactly one '/' between (none when either side is empty
// or one side has it, one dropped when both have it). `buffer` must hold
// strlen(buffer) + strlen(part) + 2 bytes. Returns the new end (terminator).
char* PathAppendComponent(char* buffer, const char* part);
// `buffer` becomes `a` and `b` joined as by PathAppendComponent; `buffer` may
// be `a` itself. Returns `buffer`.
char* PathConcat(char* buffer, const char* a, const char* b);
// After the last '/', the whole text when there is none; null for null.
const char* PathGetLeaf(const char* s);
char* PathGetLeaf(char* s);
// Cuts `s` at its last '/' and returns the leaf after it; a text without '/'
// stays whole and is returned itself. Null for null.
char* PathCutLeaf(char* s);
// 1 when the text starts with two backslashes.
int PathIsUNC(const char* s);
// Network path ("//server/share/..."): the separator after the share (the end
// when missing); a text not starting with '/': after its first ':' when it has
// one; otherwise `s`.
const char* PathSkipDrive(const char* s);
// 1 when nothing or a single separator remains after PathSkipDrive; 0
// otherwise; -1 for null.
int VEK_PathIsRoot(const char* s);

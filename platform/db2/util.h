// Small system helpers of the stand-in DB2 (it shares no code with the
// product): descriptors, whole-file reads and writes, directories, settings.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace db2sim {

// Any failure of the stand-in's own machinery; callers at the C boundary
// turn it into an SQLCODE.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Owns one descriptor; closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes everything (retrying EINTR and partial writes); false on error.
bool WriteFull(int fd, const void* data, std::size_t size);
// Reads up to `size` bytes, stopping early only at end of file; -1 on error.
long ReadFull(int fd, void* data, std::size_t size);

// Whole file; throws Error when it cannot be read or exceeds `limit` bytes.
std::string ReadWholeFile(const std::string& path, std::size_t limit = 1u << 30);
// The temporary name a file is written under before its rename: one per
// process, as the partitions of one database are restored side by side and
// write the same files.
std::string TempPath(const std::string& path);
// Replaces the file through a temporary name and rename; throws Error.
void WriteWholeFile(const std::string& path, std::string_view content);
// mkdir -p; throws Error.
void MakeDirs(const std::string& path);
// rm -r; missing is fine.
void RemoveTree(const std::string& path);
bool Exists(const std::string& path);
// Names in a directory (no "." and ".."), sorted; empty when missing.
std::vector<std::string> ListDir(const std::string& path);

// A name that may become a path piece: 1..64 of [A-Za-z0-9_.-], not "." or "..".
bool IsSafeName(std::string_view name);

// Key=value lines; unknown keys are kept. Throws Error on a line without '='.
std::vector<std::pair<std::string, std::string>> ParseKeyValues(std::string_view text);

// Checksum of a byte range, eight bytes at a step.
std::uint64_t Checksum(std::span<const std::uint8_t> bytes, std::uint64_t seed = 0);

// The same checksum over bytes that come in pieces of any size: Update with
// each piece in order, then Final gives what Checksum gives over them joined.
class ChecksumStream {
 public:
  explicit ChecksumStream(std::uint64_t seed = 0);
  void Update(std::span<const std::uint8_t> bytes);
  std::uint64_t Final() const;

 private:
  std::uint64_t h_;
  std::uint64_t size_ = 0;
  std::uint8_t pending_[8] = {};  // the start of a word not yet whole
  std::size_t pendingSize_ = 0;
};

// Milliseconds of the monotonic clock.
std::int64_t NowMs();
// CPU time of the whole process so far, in nanoseconds.
std::int64_t ProcessCpuNs();

// How a child process ended for WaitOrKill.
enum class ChildEnd {
  kExited,  // ended by itself; the wait status is filled in
  kKilled,  // still running at the deadline: killed and reaped
  kLost,    // could not be waited for (reaped elsewhere)
};
// Waits for the child `pid` until `deadlineMs` (NowMs), then kills it.
ChildEnd WaitOrKill(pid_t pid, std::int64_t deadlineMs, int& status);
// SIGKILL, then waits for the end of the child `pid`.
void KillAndReap(pid_t pid);

}  // namespace db2sim

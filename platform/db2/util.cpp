// Small system helpers of the stand-in DB2.
#include "db2/util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace db2sim {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}
Fd::~Fd() {
  reset();
}
int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}
void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool WriteFull(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

long ReadFull(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, p + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

std::string ReadWholeFile(const std::string& path, std::size_t limit) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw Error("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw Error("not a file: " + path);
  if (static_cast<std::uint64_t>(st.st_size) > limit) throw Error("file too large: " + path);
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  long n = ReadFull(fd.get(), out.data(), out.size());
  if (n < 0) throw Error("cannot read " + path);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string TempPath(const std::string& path) {
  return path + ".tmp." + std::to_string(::getpid());
}

void WriteWholeFile(const std::string& path, std::string_view content) {
  const std::string tmp = TempPath(path);
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw Error("cannot create " + tmp + ": " + std::strerror(errno));
  if (!WriteFull(fd.get(), content.data(), content.size())) throw Error("cannot write " + tmp);
  fd.reset();
  if (::rename(tmp.c_str(), path.c_str()) != 0) throw Error("cannot rename to " + path);
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw Error("cannot create directory " + path + ": " + ec.message());
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool IsSafeName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
  });
}

std::vector<std::pair<std::string, std::string>> ParseKeyValues(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty()) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) throw Error("bad line: " + std::string(line));
    out.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
  }
  return out;
}

namespace {
constexpr std::uint64_t kChecksumPrime = 0x100000001b3ULL;
}  // namespace

ChecksumStream::ChecksumStream(std::uint64_t seed) : h_(0xcbf29ce484222325ULL ^ seed) {}

void ChecksumStream::Update(std::span<const std::uint8_t> bytes) {
  size_ += bytes.size();
  auto word = [this](const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h_ = (h_ ^ w) * kChecksumPrime;
    h_ ^= h_ >> 29;
  };
  if (pendingSize_ > 0) {
    const std::size_t n = std::min(8 - pendingSize_, bytes.size());
    std::memcpy(pending_ + pendingSize_, bytes.data(), n);
    pendingSize_ += n;
    bytes = bytes.subspan(n);
    if (pendingSize_ < 8) return;
    word(pending_);
    pendingSize_ = 0;
  }
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) word(bytes.data() + i);
  pendingSize_ = bytes.size() - i;
  if (pendingSize_ > 0) std::memcpy(pending_, bytes.data() + i, pendingSize_);
}

std::uint64_t ChecksumStream::Final() const {
  std::uint64_t tail = 0;
  if (pendingSize_ > 0) std::memcpy(&tail, pending_, pendingSize_);
  const std::uint64_t h = (h_ ^ tail ^ (size_ << 56)) * kChecksumPrime;
  return h ^ (h >> 31);
}

std::uint64_t Checksum(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
  ChecksumStream sum(seed);
  sum.Update(bytes);
  return sum.Final();
}

std::int64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t ProcessCpuNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ChildEnd WaitOrKill(pid_t pid, std::int64_t deadlineMs, int& status) {
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return ChildEnd::kExited;
    if (r < 0 && errno != EINTR) return ChildEnd::kLost;
    if (NowMs() >= deadlineMs) {
      KillAndReap(pid);
      return ChildEnd::kKilled;
    }
    ::usleep(2000);
  }
}

void KillAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace db2sim

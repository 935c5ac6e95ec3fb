#include "keyclaims.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "tarn_layout.h"

namespace tarn::test {

namespace fs = std::filesystem;

namespace {

// Shared by every test process of the machine, whatever its TMPDIR: roots of
// different builds and work trees collide just the same.
constexpr const char* kClaimsFolder = "/tmp/tarn-test-keys";
constexpr const char* kClaimsFile = "/tmp/tarn-test-keys/claims";
// Fresh inodes tried for one path before giving up.
constexpr int kRenewals = 64;

// What ftok() takes of a file: the key bits every proj_id shares.
unsigned KeyBits(const struct stat& st) {
  return static_cast<unsigned>(((st.st_dev & 0xff) << 16) | (st.st_ino & 0xffff));
}

// The key bits of every System V semaphore set and shared segment there is:
// one left by a test that died is as much in the way as a live claim.
std::set<unsigned> KeyBitsInUse() {
  std::set<unsigned> used;
  for (const char* table : {"/proc/sysvipc/sem", "/proc/sysvipc/shm"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    long long key = 0;
    while (in >> key) {
      if (key != 0) used.insert(static_cast<unsigned>(key) & 0xffffff);
      std::getline(in, line);
    }
  }
  return used;
}

int OpenClaims() {
  if (mkdir(kClaimsFolder, 01777) == 0) chmod(kClaimsFolder, 01777);
  const int fd = open(kClaimsFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) fchmod(fd, 0666);  // whoever made it first, every user claims through it
  return fd;
}

}  // namespace

KeyClaims::KeyClaims(std::string spare) : fd_(OpenClaims()), spare_(std::move(spare)) {}

KeyClaims::~KeyClaims() {
  if (fd_ >= 0) close(fd_);  // drops every lock of this description
}

bool KeyClaims::fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  return false;
}

bool KeyClaims::claim(const std::string& link) {
  if (fd_ < 0) return fail(std::string("cannot open ") + kClaimsFile);
  // A key path that is a link (lbin/heron) keys on the file it names: that
  // file is the one to move, and the link stays a link.
  std::error_code ec;
  const std::string path = fs::is_symlink(link, ec) ? fs::canonical(link, ec).string() : link;
  if (ec) return fail("cannot follow " + link);
  const std::set<unsigned> inUse = KeyBitsInUse();
  for (int attempt = 0; attempt < kRenewals; ++attempt) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return fail("cannot claim the key of " + path);
    const unsigned bits = KeyBits(st);
    const auto held = held_.find(bits);
    if (held != held_.end() && held->second == st.st_ino) return true;  // claimed before
    // Two paths of one owner must not share a key either (its own lock would
    // not stop it), nor a path a set or segment that is already there.
    if (held == held_.end() && inUse.count(bits) == 0) {
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = static_cast<off_t>(bits);
      lock.l_len = 1;
      if (fcntl(fd_, F_OFD_SETLK, &lock) == 0) {
        held_.emplace(bits, st.st_ino);
        return true;
      }
      if (errno != EAGAIN && errno != EACCES) return fail("cannot lock a key of " + path);
    }
    if (!renew(path)) return false;
  }
  errno = EAGAIN;
  return fail("no free key for " + path);
}

// Puts a copy of `path` on a fresh inode in its place; the old inode moves to
// the spare folder, so the next try cannot be handed it again.
bool KeyClaims::renew(const std::string& path) {
  std::error_code ec;
  const std::string fresh = path + ".renew";
  const fs::file_status status = fs::status(path, ec);
  if (ec) return fail("cannot look at " + path);
  if (fs::is_directory(status)) {
    fs::create_directory(fresh, ec);
    for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
      if (ec) break;
      fs::rename(entry.path(), fs::path(fresh) / entry.path().filename(), ec);
      if (ec) break;
    }
  } else {
    fs::copy_file(path, fresh, fs::copy_options::overwrite_existing, ec);
  }
  if (!ec) fs::permissions(fresh, status.permissions(), ec);
  if (ec) {
    errno = ec.value();
    return fail("cannot renew " + path);
  }
  fs::create_directories(spare_, ec);
  const std::string old = spare_ + "/" + std::to_string(spares_++);
  if (rename(path.c_str(), old.c_str()) != 0 || rename(fresh.c_str(), path.c_str()) != 0)
    return fail("cannot renew " + path);
  return true;
}

bool KeyClaims::claimRoot(const std::string& root) {
  // Every folder of the layout and those above it, down from the root.
  std::set<std::string> folders;
  for (const char* dir : kLayoutDirs)
    for (fs::path p = dir; p.has_relative_path(); p = p.parent_path()) folders.insert(p.string());
  // A folder the root does not have keys nothing.
  for (const std::string& dir : folders)
    if (access((root + dir).c_str(), F_OK) == 0 && !claim(root + dir)) return false;
  for (const char* program : kKeyPrograms) {
    const std::string path = root + "/opt/tarn/lbin/" + program;
    if (access(path.c_str(), F_OK) == 0 && !claim(path)) return false;
  }
  return true;
}

}  // namespace tarn::test

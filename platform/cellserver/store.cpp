// Persistent data of the stand-in cell server in its state directory, so that a
// second process started on the same directory reads back what the first stored.
#include "cellserver/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/store.cpp");

namespace tarn::cellserver {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxNumber = 999999;
constexpr std::size_t kMaxFileName = 255;
constexpr char kHex[] = "0123456789ABCDEF";

const char* Folder(Area area) {
  switch (area) {
    case Area::kItem: return "items";
    case Area::kCustom: return "custom";
    case Area::kFile: return "files";
    case Area::kCertificate: return "certs";
  }
  return "other";
}

bool Plain(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || (c == '.' && !first);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool WriteWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> ReadWhole(const std::string& path, bool* missing) {
  *missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *missing = errno == ENOENT;
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kMissing: return "missing";
    case Outcome::kExists: return "exists";
    case Outcome::kInvalid: return "invalid";
    case Outcome::kFailed: return "failed";
  }
  return "?";
}

std::optional<std::string> EscapeName(std::string_view name) {
  if (name.empty()) return std::string("=");
  std::string file;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (Plain(c, i == 0)) {
      file.push_back(c);
    } else {
      const auto b = static_cast<unsigned char>(c);
      file.push_back('%');
      file.push_back(kHex[b >> 4]);
      file.push_back(kHex[b & 15]);
    }
    if (file.size() > kMaxFileName) return std::nullopt;
  }
  return file;
}

std::optional<std::string> UnescapeName(std::string_view file) {
  if (file == "=") return std::string();
  if (file.empty()) return std::nullopt;
  std::string name;
  for (std::size_t i = 0; i < file.size(); ++i) {
    const char c = file[i];
    if (c != '%') {
      if (!Plain(c, i == 0)) return std::nullopt;
      name.push_back(c);
      continue;
    }
    if (file.size() - i < 3) return std::nullopt;
    const int hi = HexValue(file[i + 1]);
    const int lo = HexValue(file[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    name.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return name;
}

Store::Store(std::string root) : root_(std::move(root)) {
  std::error_code ec;
  ok_ = !root_.empty();
  for (Area area : {Area::kItem, Area::kCustom, Area::kFile, Area::kCertificate}) {
    if (!ok_) break;
    fs::create_directories(fs::path(root_) / Folder(area), ec);
    ok_ = !ec;
  }
}

std::string Store::groupPath(Area area, int group) const {
  std::string path = root_ + "/" + Folder(area);
  if (area == Area::kItem || area == Area::kCustom) path += "/" + std::to_string(group);
  return path;
}

std::optional<std::string> Store::path(const Key& key) const {
  if (key.group < 0 || key.group > kMaxNumber) return std::nullopt;
  switch (key.area) {
    case Area::kFile: return groupPath(key.area, 0) + "/" + std::to_string(key.group);
    case Area::kCertificate:
    case Area::kItem:
    case Area::kCustom: {
      const auto file = EscapeName(key.name);
      if (!file) return std::nullopt;
      return groupPath(key.area, key.group) + "/" + *file;
    }
  }
  return std::nullopt;
}

std::optional<std::string> Store::get(const Key& key, Outcome* outcome) const {
  Outcome result = Outcome::kOk;
  std::optional<std::string> bytes;
  if (const auto p = path(key)) {
    std::lock_guard lock(mutex_);
    bool missing = false;
    bytes = ReadWhole(*p, &missing);
    if (!bytes) result = missing ? Outcome::kMissing : Outcome::kFailed;
  } else {
    result = Outcome::kInvalid;
  }
  if (outcome != nullptr) *outcome = result;
  return bytes;
}

Outcome Store::put(const Key& key, std::string_view bytes) {
  const auto p = path(key);
  if (!p) return Outcome::kInvalid;
  static std::atomic<unsigned> serial{0};
  const std::string temp = fs::path(*p).parent_path().string() + "/.tmp." +
                           std::to_string(getpid()) + "." + std::to_string(serial++);
  std::lock_guard lock(mutex_);
  std::error_code ec;
  fs::create_directories(fs::path(*p).parent_path(), ec);
  if (ec) return Outcome::kFailed;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Outcome::kFailed;
  const bool written = WriteWhole(fd, bytes);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), p->c_str()) != 0) {
    ::unlink(temp.c_str());
    return Outcome::kFailed;
  }
  return Outcome::kOk;
}

Outcome Store::remove(const Key& key) {
  const auto p = path(key);
  if (!p) return Outcome::kInvalid;
  std::lock_guard lock(mutex_);
  if (::unlink(p->c_str()) == 0) return Outcome::kOk;
  return errno == ENOENT ? Outcome::kMissing : Outcome::kFailed;
}

Outcome Store::rename(const Key& from, const std::string& newName) {
  Key to = from;
  to.name = newName;
  const auto a = path(from);
  const auto b = path(to);
  if (!a || !b) return Outcome::kInvalid;
  std::lock_guard lock(mutex_);
  // link() refuses an existing target, so no value is ever overwritten.
  if (::link(a->c_str(), b->c_str()) != 0) {
    if (errno == EEXIST) return *a == *b ? Outcome::kOk : Outcome::kExists;
    return errno == ENOENT ? Outcome::kMissing : Outcome::kFailed;
  }
  ::unlink(a->c_str());
  return Outcome::kOk;
}

std::vector<std::string> Store::names(Area area, int group) const {
  std::vector<std::string> names;
  if (group < 0 || group > kMaxNumber) return names;
  std::lock_guard lock(mutex_);
  std::error_code ec;
  for (fs::directory_iterator it(groupPath(area, group), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (area == Area::kFile) {
      if (file.find_first_not_of("0123456789") == std::string::npos) names.push_back(file);
    } else if (const auto name = UnescapeName(file)) {
      names.push_back(*name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarn::cellserver

// Catalogue file reader: maps (or reads) one "tarn.cat" per handle, checks it
// against its size, and looks texts up by set and number.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/nls.h"
#include "cmn/nlsfile.h"
#include "cmn/sysio.h"

TARN_RCSID("lib/cmn/nlscat.cpp");

namespace {

constexpr int kMaxCatalogs = 8;

struct SetRange {
  std::uint32_t first;
  std::uint32_t last;
};

class Catalog {
 public:
  Catalog() = default;
  ~Catalog() { CmnUnmapFile(&map_); }
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // 0, or -1 with errno and the failure traced.
  int Open(const char* path);
  // Raw text of (set, number) into area (at most kNlsMaxText bytes); its
  // length, or -1 with errno.
  int Lookup(int set, int number, char* area);

 private:
  NlsCatEntry Entry(std::uint32_t i) const {
    NlsCatEntry e;
    std::memcpy(&e,
                static_cast<const char*>(map_.address) + kNlsCatHeaderSize + i * kNlsCatEntrySize,
                sizeof e);
    return e;
  }

  CmnMapRecord map_{0, nullptr, 0, -1, 0};
  std::uint32_t count_ = 0;
  std::uint64_t textStart_ = 0;
  std::array<SetRange, kNlsCatSets> sets_{};
};

std::array<std::unique_ptr<Catalog>, kMaxCatalogs> catalogs;
char catgetsArea[kNlsMaxText + 1];
bool forceEmulation = false;

// Reads exactly `length` bytes at `offset`; false with errno on a failure or
// a short file.
bool ReadAt(int fd, void* buffer, size_t length, off_t offset) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t n = cmn::RetryEintr([&] { return pread(fd, p, length, offset); });
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

int Catalog::Open(const char* path) {
  if (CmnMapFile(&map_, path, PROT_READ, MAP_PRIVATE, 0, 0) != 0) {
    const int err = errno;
    if (err != ENOENT)
      DbgPlain(kDbgUnexpected, "[%s] CmnMapFile(%s) failed, errcode=%d", "catopen", path, err);
    errno = err;
    return -1;
  }
  NlsCatHeader header{};
  if (map_.size >= sizeof header) std::memcpy(&header, map_.address, sizeof header);
  if (map_.size < sizeof header || header.magic != kNlsCatMagic) {
    DbgPlain(kDbgUnexpected, "[%s] catopen(): Wrong file format [file=%s]", "catopen", path);
    errno = EINVAL;
    return -1;
  }
  // Every index entry and every text offset must lie inside the file, so a
  // lookup can never read beyond it.
  const std::uint64_t fileSize = static_cast<std::uint64_t>(map_.fileSize);
  const std::uint64_t indexEnd = kNlsCatHeaderSize + std::uint64_t{header.count} * kNlsCatEntrySize;
  bool intact = indexEnd <= map_.size && indexEnd <= fileSize;
  count_ = intact ? header.count : 0;
  textStart_ = indexEnd;
  sets_.fill(SetRange{0xFFFFFFFFu, 0});
  for (std::uint32_t i = 0; i < count_ && intact; ++i) {
    const NlsCatEntry e = Entry(i);
    if (textStart_ + e.offset >= fileSize) {
      intact = false;
      break;
    }
    const std::uint32_t set = e.set & kNlsCatSetMask;
    if (set >= static_cast<std::uint32_t>(kNlsCatSets)) continue;  // never looked up
    SetRange& r = sets_[set];
    if (i < r.first) r.first = i;
    if (i > r.last) r.last = i;
  }
  if (!intact) {
    DbgPlain(kDbgUnexpected, "[%s] catopen(): Corrupt index [file=%s]", "catopen", path);
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int Catalog::Lookup(int set, int number, char* area) {
  if (set < 0 || set >= kNlsCatSets) {
    errno = ENOMSG;
    return -1;
  }
  const SetRange r = sets_[set];
  if (r.first > r.last || r.last >= count_) {
    errno = ENOMSG;
    return -1;
  }
  const std::uint32_t wanted = static_cast<std::uint32_t>(number);
  std::uint32_t lo = r.first;
  std::uint32_t hi = r.last + 1;
  bool found = false;
  NlsCatEntry e{};
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    e = Entry(mid);
    if (e.number == wanted) {
      found = true;
      break;
    }
    if (e.number < wanted) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  // An unsorted file may put another set's entry inside this set's range.
  if (!found || (e.set & kNlsCatSetMask) != static_cast<std::uint32_t>(set)) {
    errno = ENOMSG;
    return -1;
  }
  const std::uint64_t position = textStart_ + e.offset;
  const std::uint64_t available = static_cast<std::uint64_t>(map_.fileSize) - position;
  size_t length = available < static_cast<std::uint64_t>(kNlsMaxText)
                      ? static_cast<size_t>(available)
                      : static_cast<size_t>(kNlsMaxText);
  if ((map_.flags & kCmnMapEmulated) == 0) {
    std::memcpy(area, static_cast<const char*>(map_.address) + position, length);
  } else {
    const ssize_t n =
        cmn::RetryEintr([&] { return pread(map_.fd, area, length, static_cast<off_t>(position)); });
    if (n < 0) {
      DbgPlain(kDbgUnexpected, "[%s] catgets: read() failed, errcode=%d", "catgets", errno);
      return -1;
    }
    length = static_cast<size_t>(n);
  }
  const void* nul = std::memchr(area, '\0', length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - area);
  const void* newline = std::memchr(area, '\n', length);
  if (newline != nullptr)
    length = static_cast<size_t>(static_cast<const char*>(newline) - area) + 1;
  // Resolve the escapes in place: the text only shrinks.
  size_t out = 0;
  for (size_t in = 0; in < length; ++in) {
    char c = area[in];
    if (c == '\\' && in + 1 < length) {
      c = area[++in];
      if (c == 'n')
        c = '\n';
      else if (c == 't')
        c = '\t';
    } else if (c == '\\') {
      continue;
    }
    area[out++] = c;
  }
  area[out] = '\0';
  return static_cast<int>(out);
}

Catalog* FromHandle(CmnCatd handle) {
  if (handle < 1 || handle > kMaxCatalogs) return nullptr;
  return catalogs[static_cast<size_t>(handle - 1)].get();
}

}  // namespace

void CmnMapFileForceEmulation(bool on) {
  forceEmulation = on;
}

int CmnMapFile(CmnMapRecord* record, const char* path, int protection, int flags, size_t length,
               off_t offset) {
  *record = CmnMapRecord{0, nullptr, 0, -1, 0};
  cmn::UniqueFd fd(cmn::OpenRetry(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return -1;
  if (length == 0 && st.st_size > offset) length = static_cast<size_t>(st.st_size - offset);
  void* address = MAP_FAILED;
  if (!forceEmulation) {
    address = length > 0 ? mmap(nullptr, length, protection, flags, fd.get(), offset) : MAP_FAILED;
    if (address == MAP_FAILED) {
      const int err = length > 0 ? errno : EINVAL;
      DbgPlain(kDbgUnexpected, "[CmnMapFile] mmap(%s) failed: %d (%s)", path, err,
               std::strerror(err));
    }
  }
  // A mapping outlives its descriptor.
  fd.reset();
  if (address == MAP_FAILED) return CmnEmulateMapFile(record, path);
  *record = CmnMapRecord{kCmnMapMapped, address, length, -1, st.st_size};
  return 0;
}

int CmnEmulateMapFile(CmnMapRecord* record, const char* path) {
  *record = CmnMapRecord{0, nullptr, 0, -1, 0};
  cmn::UniqueFd fd(cmn::OpenRetry(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  struct stat st {};
  NlsCatHeader header{};
  if (fstat(fd.get(), &st) != 0) return -1;
  // A short file keeps only what it has: the caller refuses it by its size.
  size_t size = 0;
  if (static_cast<std::uint64_t>(st.st_size) >= kNlsCatHeaderSize) {
    if (!ReadAt(fd.get(), &header, sizeof header, 0)) return -1;
    size = kNlsCatHeaderSize;
    const std::uint64_t indexEnd =
        kNlsCatHeaderSize + std::uint64_t{header.count} * kNlsCatEntrySize;
    if (indexEnd <= static_cast<std::uint64_t>(st.st_size)) size = static_cast<size_t>(indexEnd);
  }
  void* copy = safe_malloc(size > 0 ? size : 1, TARN_HERE);
  if (copy == nullptr || (size > 0 && !ReadAt(fd.get(), copy, size, 0))) {
    const int err = copy == nullptr ? ENOMEM : errno;
    safe_free(copy, TARN_HERE);
    errno = err;
    return -1;
  }
  *record = CmnMapRecord{kCmnMapMapped | kCmnMapEmulated, copy, size, fd.release(), st.st_size};
  return 0;
}

void CmnUnmapFile(CmnMapRecord* record) {
  if (record == nullptr || (record->flags & kCmnMapMapped) == 0) return;
  if ((record->flags & kCmnMapEmulated) != 0) {
    CmnEmulateUnmapFile(record);
    return;
  }
  munmap(record->address, record->size);
  *record = CmnMapRecord{0, nullptr, 0, -1, 0};
}

void CmnEmulateUnmapFile(CmnMapRecord* record) {
  if (record == nullptr) return;
  safe_free(record->address, TARN_HERE);
  cmn::CloseKeepErrno(record->fd);
  *record = CmnMapRecord{0, nullptr, 0, -1, 0};
}

CmnCatd VEK_catopen(const char* path, int /*flag*/) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  size_t slot = 0;
  while (slot < catalogs.size() && catalogs[slot] != nullptr) ++slot;
  if (slot == catalogs.size()) {
    errno = EMFILE;
    return -1;
  }
  auto catalog = std::make_unique<Catalog>();
  if (catalog->Open(path) != 0) return -1;
  catalogs[slot] = std::move(catalog);
  return static_cast<CmnCatd>(slot + 1);
}

int VEK_catclose(CmnCatd handle) {
  if (FromHandle(handle) == nullptr) {
    errno = EBADF;
    return -1;
  }
  catalogs[static_cast<size_t>(handle - 1)].reset();
  return 0;
}

const char* VEK_catgets(CmnCatd handle, int set, int number, const char* defaultText) {
  Catalog* catalog = FromHandle(handle);
  if (catalog == nullptr) {
    errno = EBADF;
    return defaultText;
  }
  if (catalog->Lookup(set, number, catgetsArea) < 0) return defaultText;
  return catgetsArea;
}

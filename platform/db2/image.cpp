// Backup image layout of the stand-in DB2: share headers and payload records.
#include "db2/image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "db2/util.h"

namespace db2sim {
namespace {

constexpr char kMagic[8] = {'S', 'D', 'B', '2', 'I', 'M', 'G', '1'};

template <typename T>
void PutLe(std::uint8_t* p, T v) {
  auto u = static_cast<std::uint64_t>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}
template <typename T>
T GetLe(const std::uint8_t* p) {
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return static_cast<T>(u);
}
// Bytes of the stream a check or copy takes at a time.
constexpr std::size_t kStreamBuffer = 1 << 20;

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A payload record up to its data: name length, name, data length.
std::string RecordHead(const std::string& name, std::uint64_t dataSize) {
  std::uint8_t n[4], d[8];
  PutLe(n, static_cast<std::uint32_t>(name.size()));
  PutLe(d, dataSize);
  std::string out(reinterpret_cast<const char*>(n), 4);
  out += name;
  out.append(reinterpret_cast<const char*>(d), 8);
  return out;
}

// Checks the headers of an image's objects against each other and against
// the bytes each object holds (`sizes`, header included): one count, every
// index exactly once, lengths, shares that tile the payload. Returns the
// positions of the objects in index order.
std::vector<std::size_t> CheckShareHeaders(const std::vector<std::optional<ShareHeader>>& heads,
                                           const std::vector<std::uint64_t>& sizes) {
  if (heads.empty()) throw Error("no backup objects");
  std::uint64_t carried = 0;
  for (std::uint64_t size : sizes) carried += size;
  std::optional<ShareHeader> first;
  std::vector<std::optional<std::size_t>> byIndex;
  for (std::size_t k = 0; k < heads.size(); ++k) {
    const auto& h = heads[k];
    if (!h) throw Error("backup object without a valid header");
    if (!first) {
      // The headers are read back from the vendor library: never size
      // anything by them beyond what the objects actually carry.
      if (h->payloadLength > carried || h->count > heads.size())
        throw Error("backup object header claims more than was read");
      first = h;
      byIndex.resize(h->count);
    }
    if (h->count != first->count || h->payloadLength != first->payloadLength ||
        h->payloadChecksum != first->payloadChecksum || h->node != first->node)
      throw Error("backup objects of different images");
    if (byIndex[h->index]) throw Error("backup object " + std::to_string(h->index) + " twice");
    if (sizes[k] - kShareHeaderSize != h->length)
      throw Error("backup object " + std::to_string(h->index) + " has " +
                  std::to_string(sizes[k] - kShareHeaderSize) + " bytes, header says " +
                  std::to_string(h->length));
    byIndex[h->index] = k;
  }
  std::vector<std::size_t> order;
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < byIndex.size(); ++i) {
    if (!byIndex[i]) throw Error("backup object " + std::to_string(i) + " is missing");
    // Shares must tile the payload: each starts where the one before it ended.
    const ShareHeader& h = *heads[*byIndex[i]];
    if (h.offset != next) throw Error("backup objects do not cover the image");
    next += h.length;
    order.push_back(*byIndex[i]);
  }
  if (next != first->payloadLength) throw Error("backup objects do not cover the image");
  return order;
}

}  // namespace

std::array<std::uint8_t, kShareHeaderSize> EncodeShareHeader(const ShareHeader& h) {
  std::array<std::uint8_t, kShareHeaderSize> b{};
  std::memcpy(b.data(), kMagic, 8);
  PutLe(b.data() + 8, kShareVersion);
  PutLe(b.data() + 12, h.index);
  PutLe(b.data() + 16, h.count);
  PutLe(b.data() + 20, static_cast<std::uint32_t>(h.node));
  PutLe(b.data() + 24, h.payloadLength);
  PutLe(b.data() + 32, h.offset);
  PutLe(b.data() + 40, h.length);
  PutLe(b.data() + 48, h.payloadChecksum);
  PutLe(b.data() + 56, h.shareChecksum);
  return b;
}

std::optional<ShareHeader> DecodeShareHeader(std::span<const std::uint8_t> b) {
  if (b.size() < kShareHeaderSize || std::memcmp(b.data(), kMagic, 8) != 0) return std::nullopt;
  if (GetLe<std::uint32_t>(b.data() + 8) != kShareVersion) return std::nullopt;
  ShareHeader h;
  h.index = GetLe<std::uint32_t>(b.data() + 12);
  h.count = GetLe<std::uint32_t>(b.data() + 16);
  h.node = static_cast<std::int32_t>(GetLe<std::uint32_t>(b.data() + 20));
  h.payloadLength = GetLe<std::uint64_t>(b.data() + 24);
  h.offset = GetLe<std::uint64_t>(b.data() + 32);
  h.length = GetLe<std::uint64_t>(b.data() + 40);
  h.payloadChecksum = GetLe<std::uint64_t>(b.data() + 48);
  h.shareChecksum = GetLe<std::uint64_t>(b.data() + 56);
  if (h.count == 0 || h.index >= h.count || h.offset > h.payloadLength ||
      h.length > h.payloadLength - h.offset)
    return std::nullopt;
  return h;
}

std::pair<std::uint64_t, std::uint64_t> ShareRange(std::uint64_t payloadLength, std::uint32_t index,
                                                   std::uint32_t count) {
  std::uint64_t cut = payloadLength / count;
  std::uint64_t offset = cut * index;
  std::uint64_t length = index + 1 == count ? payloadLength - offset : cut;
  return {offset, length};
}

std::string EncodePayload(const std::vector<PayloadEntry>& entries) {
  std::string out;
  for (const auto& e : entries) {
    out += RecordHead(e.name, e.data.size());
    out += e.data;
  }
  return out;
}

std::vector<PayloadEntry> DecodePayload(std::span<const std::uint8_t> p) {
  const Pieces whole{Piece{std::string(reinterpret_cast<const char*>(p.data()), p.size())}};
  std::vector<PayloadEntry> out;
  for (const PayloadPart& part : DecodePayloadPieces(whole))
    out.push_back({part.name, ReadPieces(part.data, 0, PiecesSize(part.data))});
  return out;
}

std::string AssembleShares(const std::vector<std::string>& objects) {
  std::vector<std::optional<ShareHeader>> heads;
  std::vector<std::uint64_t> sizes;
  for (const auto& o : objects) {
    heads.push_back(DecodeShareHeader(Bytes(o)));
    sizes.push_back(o.size());
  }
  const std::vector<std::size_t> order = CheckShareHeaders(heads, sizes);
  const ShareHeader& first = *heads[order[0]];
  std::string payload(first.payloadLength, '\0');
  for (std::size_t at : order) {
    const ShareHeader& h = *heads[at];
    auto share = Bytes(objects[at]).subspan(kShareHeaderSize);
    if (Checksum(share) != h.shareChecksum)
      throw Error("checksum mismatch in backup object " + std::to_string(h.index));
    if (h.length > 0) std::memcpy(payload.data() + h.offset, share.data(), h.length);
  }
  if (Checksum(Bytes(payload)) != first.payloadChecksum) throw Error("image checksum mismatch");
  return payload;
}

std::uint64_t PiecesSize(const Pieces& pieces) {
  std::uint64_t n = 0;
  for (const Piece& p : pieces) n += p.size();
  return n;
}

Pieces SlicePieces(const Pieces& pieces, std::uint64_t offset, std::uint64_t length) {
  Pieces out;
  std::uint64_t pos = 0;
  for (const Piece& p : pieces) {
    const std::uint64_t size = p.size();
    if (length == 0) break;
    if (pos + size <= offset) {
      pos += size;
      continue;
    }
    const std::uint64_t from = offset - pos;
    const std::uint64_t n = std::min(size - from, length);
    Piece q;
    if (p.path.empty()) {
      q.bytes = p.bytes.substr(from, n);
    } else {
      q.path = p.path;
      q.offset = p.offset + from;
      q.length = n;
    }
    out.push_back(std::move(q));
    offset += n;
    length -= n;
    pos += size;
  }
  if (length > 0) throw Error("slice beyond the end of the stream");
  return out;
}

std::size_t PieceReader::Read(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size() && index_ < pieces_.size()) {
    const Piece& p = pieces_[index_];
    if (at_ == p.size()) {
      ++index_;
      at_ = 0;
      fd_.reset();
      continue;
    }
    std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(p.size() - at_, out.size() - done));
    if (p.path.empty()) {
      std::memcpy(out.data() + done, p.bytes.data() + at_, n);
    } else {
      if (fd_.get() < 0) {
        fd_.reset(::open(p.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd_.get() < 0) throw Error("cannot open " + p.path + ": " + std::strerror(errno));
      }
      const ssize_t r =
          ::pread(fd_.get(), out.data() + done, n, static_cast<off_t>(p.offset + at_));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw Error("cannot read " + p.path + ": " + std::strerror(errno));
      if (r == 0) throw Error(p.path + " ends inside the range to read");
      n = static_cast<std::size_t>(r);
    }
    done += n;
    at_ += n;
  }
  return done;
}

std::string ReadPieces(const Pieces& pieces, std::uint64_t offset, std::size_t length) {
  const Pieces slice = SlicePieces(pieces, offset, length);
  std::string out(length, '\0');
  PieceReader reader(slice);
  if (reader.Read(std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size())) != length)
    throw Error("stream shorter than its pieces");
  return out;
}

void ScanPieces(const Pieces& pieces,
                const std::function<void(std::span<const std::uint8_t>)>& take) {
  // A window at a time, its pages filled in one go.
  constexpr std::uint64_t kWindow = 16 << 20;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  for (const Piece& p : pieces) {
    if (p.path.empty()) {
      take(Bytes(p.bytes));
      continue;
    }
    if (p.length == 0) continue;
    Fd fd(::open(p.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
      throw Error("cannot read " + p.path + ": " + std::strerror(errno));
    if (static_cast<std::uint64_t>(st.st_size) < p.offset + p.length)
      throw Error(p.path + " ends inside the range to read");
    for (std::uint64_t at = p.offset; at < p.offset + p.length;) {
      const std::uint64_t base = at / page * page;
      const std::uint64_t end = std::min(p.offset + p.length, base + kWindow);
      const std::size_t size = static_cast<std::size_t>(end - base);
      void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(),
                         static_cast<off_t>(base));
      if (map == MAP_FAILED) throw Error("cannot map " + p.path + ": " + std::strerror(errno));
      try {
        take(std::span(static_cast<const std::uint8_t*>(map), size).subspan(at - base));
      } catch (...) {
        ::munmap(map, size);
        throw;
      }
      ::munmap(map, size);
      at = end;
    }
  }
}

std::uint64_t ChecksumPieces(const Pieces& pieces) {
  ChecksumStream sum;
  ScanPieces(pieces, [&](std::span<const std::uint8_t> bytes) { sum.Update(bytes); });
  return sum.Final();
}

namespace {

// Copies a file range into `to` in the kernel; false when the two files do
// not allow it (then the caller copies through a buffer).
bool CopyRange(const Piece& p, int to) {
  Fd from(::open(p.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) throw Error("cannot open " + p.path + ": " + std::strerror(errno));
  auto offset = static_cast<off_t>(p.offset);
  std::uint64_t left = p.length;
  while (left > 0) {
    const ssize_t n = ::copy_file_range(from.get(), &offset, to, nullptr, left, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && left == p.length &&
        (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
      return false;
    if (n < 0) throw Error("cannot copy from " + p.path + ": " + std::strerror(errno));
    if (n == 0) throw Error(p.path + " ends inside the range to copy");
    left -= static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

void WritePiecesToFile(const std::string& path, const Pieces& pieces) {
  const std::string tmp = TempPath(path);
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw Error("cannot create " + tmp + ": " + std::strerror(errno));
  try {
    std::vector<std::uint8_t> buffer;
    for (const Piece& p : pieces) {
      if (p.path.empty() ? WriteFull(fd.get(), p.bytes.data(), p.bytes.size())
                         : CopyRange(p, fd.get()))
        continue;
      if (!p.path.empty()) {
        buffer.resize(kStreamBuffer);
        const Pieces one{p};
        PieceReader reader(one);
        for (std::size_t n; (n = reader.Read(buffer)) > 0;)
          if (!WriteFull(fd.get(), buffer.data(), n)) throw Error("cannot write " + tmp);
        continue;
      }
      throw Error("cannot write " + tmp);
    }
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  fd.reset();
  if (::rename(tmp.c_str(), path.c_str()) != 0) throw Error("cannot rename to " + path);
}

std::string EncodePieces(const Pieces& pieces) {
  std::string out;
  for (const Piece& p : pieces) {
    if (p.path.empty()) {
      out += "b " + std::to_string(p.bytes.size()) + "\n";
      out += p.bytes;
    } else {
      if (p.path.find('\n') != std::string::npos) throw Error("line break in a path");
      out += "f " + std::to_string(p.offset) + " " + std::to_string(p.length) + " " + p.path + "\n";
    }
  }
  return out;
}

Pieces DecodePieces(std::string_view text, std::size_t maxPieces) {
  Pieces out;
  // A number and the separator after it; consumes both from `line`.
  auto number = [](std::string_view& line, char end) {
    std::uint64_t v = 0;
    const auto [stop, ec] = std::from_chars(line.data(), line.data() + line.size(), v);
    if (ec != std::errc() || stop == line.data()) throw Error("bad number in a piece list");
    line.remove_prefix(static_cast<std::size_t>(stop - line.data()));
    if (end != '\0') {
      if (line.empty() || line[0] != end) throw Error("bad piece line");
      line.remove_prefix(1);
    } else if (!line.empty()) {
      throw Error("bad piece line");
    }
    return v;
  };
  while (!text.empty()) {
    if (out.size() >= maxPieces) throw Error("too many pieces");
    const std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos) throw Error("piece line without its end");
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    if (line.size() < 2 || line[1] != ' ') throw Error("bad piece line");
    const char kind = line[0];
    line.remove_prefix(2);
    Piece p;
    if (kind == 'b') {
      const std::uint64_t n = number(line, '\0');
      if (n > text.size()) throw Error("piece bytes beyond the list");
      p.bytes.assign(text.substr(0, n));
      text.remove_prefix(n);
    } else if (kind == 'f') {
      p.offset = number(line, ' ');
      p.length = number(line, ' ');
      if (p.offset > UINT64_MAX - p.length) throw Error("file range past the largest offset");
      if (line.empty() || line[0] != '/') throw Error("piece path is not absolute");
      p.path.assign(line);
    } else {
      throw Error("bad piece line");
    }
    out.push_back(std::move(p));
  }
  return out;
}

Pieces PayloadPieces(const std::vector<PayloadPart>& parts) {
  Pieces out;
  for (const PayloadPart& part : parts) {
    out.push_back(Piece{RecordHead(part.name, PiecesSize(part.data))});
    out.insert(out.end(), part.data.begin(), part.data.end());
  }
  return out;
}

std::vector<PayloadPart> DecodePayloadPieces(const Pieces& payload) {
  std::vector<PayloadPart> out;
  const std::uint64_t total = PiecesSize(payload);
  std::uint64_t at = 0;
  while (at < total) {
    if (total - at < 4) throw Error("payload truncated in a name length");
    const std::string n = ReadPieces(payload, at, 4);
    const auto nameLen = GetLe<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(n.data()));
    at += 4;
    if (nameLen == 0 || nameLen > 4096 || total - at < nameLen)
      throw Error("payload has a bad name length");
    PayloadPart part{ReadPieces(payload, at, nameLen), {}};
    at += nameLen;
    if (total - at < 8) throw Error("payload truncated in a data length");
    const std::string d = ReadPieces(payload, at, 8);
    const auto dataLen = GetLe<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(d.data()));
    at += 8;
    if (dataLen > total - at) throw Error("payload truncated in data of " + part.name);
    part.data = SlicePieces(payload, at, dataLen);
    at += dataLen;
    out.push_back(std::move(part));
  }
  return out;
}

std::vector<ShareHeader> MakeShareHeaders(const Pieces& payload, std::uint32_t count,
                                          std::int32_t node) {
  if (count == 0) throw Error("an image of no shares");
  const std::uint64_t total = PiecesSize(payload);
  std::vector<ShareHeader> heads(count);
  std::vector<ChecksumStream> sums(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto [offset, length] = ShareRange(total, i, count);
    heads[i] = ShareHeader{i, count, node, total, offset, length, 0, 0};
  }
  ChecksumStream all;
  std::uint64_t pos = 0;
  std::uint32_t share = 0;
  ScanPieces(payload, [&](std::span<const std::uint8_t> chunk) {
    all.Update(chunk);
    const std::size_t n = chunk.size();
    for (std::size_t c = 0; c < n;) {
      while (share + 1 < count && pos >= heads[share].offset + heads[share].length) ++share;
      const std::uint64_t end = heads[share].offset + heads[share].length;
      const std::size_t take =
          share + 1 == count ? n - c
                             : static_cast<std::size_t>(std::min<std::uint64_t>(n - c, end - pos));
      sums[share].Update(chunk.subspan(c, take));
      c += take;
      pos += take;
    }
  });
  if (pos != total) throw Error("payload shorter than its pieces");
  for (std::uint32_t i = 0; i < count; ++i) {
    heads[i].payloadChecksum = all.Final();
    heads[i].shareChecksum = sums[i].Final();
  }
  return heads;
}

StoredImage VerifyShareFiles(const std::vector<std::string>& paths) {
  std::vector<std::optional<ShareHeader>> heads;
  std::vector<std::uint64_t> sizes;
  for (const std::string& path : paths) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) throw Error("cannot read " + path);
    std::uint8_t b[kShareHeaderSize];
    const bool whole = ReadFull(fd.get(), b, sizeof b) == static_cast<long>(sizeof b);
    heads.push_back(whole ? DecodeShareHeader(b) : std::nullopt);
    sizes.push_back(static_cast<std::uint64_t>(st.st_size));
  }
  const std::vector<std::size_t> order = CheckShareHeaders(heads, sizes);
  StoredImage image{*heads[order[0]], {}};
  ChecksumStream all;
  for (std::size_t at : order) {
    const ShareHeader& h = *heads[at];
    const Pieces share{Piece{{}, paths[at], kShareHeaderSize, h.length}};
    ChecksumStream sum;
    ScanPieces(share, [&](std::span<const std::uint8_t> bytes) {
      sum.Update(bytes);
      all.Update(bytes);
    });
    if (sum.Final() != h.shareChecksum)
      throw Error("checksum mismatch in backup object " + std::to_string(h.index));
    image.payload.push_back(share[0]);
  }
  if (all.Final() != image.header.payloadChecksum) throw Error("image checksum mismatch");
  return image;
}

}  // namespace db2sim

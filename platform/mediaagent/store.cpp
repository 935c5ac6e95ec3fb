// The stand-in media agent's store of block files and their metadata.
#include "mediaagent/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "codec/message.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/store.cpp");

namespace tarn::mediaagent {

namespace {

constexpr std::size_t kMaxMetaBytes = 4096;

bool Fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

std::string SystemText(const char* call) {
  return std::string(call) + ": " + std::strerror(errno);
}

}  // namespace

std::string MetaText(const StreamMeta& m) {
  const Geometry& g = m.geometry;
  return "da " + std::to_string(m.da) + "\nstatus " + (m.stopped ? "stop" : "abort") +
         "\nbuffer-size " + std::to_string(g.bufferSize) + "\nbuffer-count " +
         std::to_string(g.bufferCount) + "\nbuffer-offset " + std::to_string(g.offset) +
         "\nsection " + std::to_string(g.section) + "\ncapacity " + std::to_string(g.capacity()) +
         "\nblocks " + std::to_string(m.blocks) + "\nbytes " + std::to_string(m.bytes) +
         "\nsha256 " + m.sha256 + "\n";
}

std::optional<StreamMeta> ParseMeta(std::string_view text, std::string* why) {
  const auto fail = [why](std::string reason) -> std::optional<StreamMeta> {
    Fail(why, std::move(reason));
    return std::nullopt;
  };
  if (text.size() > kMaxMetaBytes) return fail("metadata longer than 4096 bytes");
  const std::string_view original = text;
  static constexpr const char* kNames[] = {
      "da",      "status",   "buffer-size", "buffer-count", "buffer-offset",
      "section", "capacity", "blocks",      "bytes",        "sha256"};
  std::string values[std::size(kNames)];
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail(std::string("no line ") + kNames[i]);
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::string_view name = kNames[i];
    if (line.size() <= name.size() || !line.starts_with(name) || line[name.size()] != ' ')
      return fail("line " + std::to_string(i + 1) + " is not " + kNames[i]);
    values[i] = std::string(line.substr(name.size() + 1));
  }
  if (!text.empty()) return fail("text after the sha256 line");
  using standin::ParseDecimal;
  constexpr long long kU32 = std::numeric_limits<std::uint32_t>::max();
  const auto da = ParseDecimal(values[0], 0, std::numeric_limits<int>::max());
  const auto size = ParseDecimal(values[2], 0, kU32);
  const auto count = ParseDecimal(values[3], 1, kMaxBufferCount);
  const auto offset = ParseDecimal(values[4], 0, kU32);
  const auto section = ParseDecimal(values[5], 0, 63);
  const auto capacity = ParseDecimal(values[6], 0, kU32);
  const auto blocks = ParseDecimal(values[7], 0, kU32);
  const auto bytes = ParseDecimal(values[8], 0, std::numeric_limits<long long>::max());
  if (!da || !size || !count || !offset || !section || !capacity || !blocks || !bytes)
    return fail("a number is out of range");
  if (values[1] != "stop" && values[1] != "abort") return fail("status is " + values[1]);
  if (values[9].size() != 64 ||
      values[9].find_first_not_of("0123456789abcdef") != std::string::npos)
    return fail("sha256 is not 64 hex digits");
  StreamMeta m;
  m.da = static_cast<int>(*da);
  m.stopped = values[1] == "stop";
  m.geometry = {static_cast<std::uint32_t>(*size), static_cast<int>(*count),
                static_cast<std::uint32_t>(*offset), static_cast<int>(*section)};
  m.blocks = static_cast<std::uint32_t>(*blocks);
  m.bytes = static_cast<std::uint64_t>(*bytes);
  m.sha256 = values[9];
  std::string reason;
  if (!CheckGeometry(m.geometry, &reason)) return fail(reason);
  if (m.geometry.capacity() != *capacity) return fail("capacity does not follow the geometry");
  if (std::uint64_t{m.blocks} * m.geometry.capacity() != m.bytes)
    return fail("bytes is not blocks x capacity");
  // Leading zeros and the like: only the agent writes this file.
  if (MetaText(m) != std::string_view(original)) return fail("numbers not in their plain form");
  return m;
}

std::string BlocksPath(const std::string& dir, int da) {
  return dir + "/da-" + std::to_string(da) + ".blocks";
}

std::string MetaPath(const std::string& dir, int da) {
  return dir + "/da-" + std::to_string(da) + ".meta";
}

bool StreamRecorded(const std::string& dir, int da) {
  struct stat st {};
  return ::stat(MetaPath(dir, da).c_str(), &st) == 0;
}

std::unique_ptr<StreamWriter> StreamWriter::Create(const std::string& dir, int da,
                                                   const Geometry& geometry,
                                                   std::optional<std::uint64_t> limit,
                                                   std::string* why) {
  // A stored stream, complete or not, is never overwritten; a metadata file
  // without its blocks file counts as stored too.
  const std::string stored = "DA " + std::to_string(da) + " already holds a stored stream";
  if (StreamRecorded(dir, da)) {
    Fail(why, stored);
    return nullptr;
  }
  standin::Fd fd(
      ::open(BlocksPath(dir, da).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    Fail(why, errno == EEXIST ? stored : SystemText("open"));
    return nullptr;
  }
  return std::unique_ptr<StreamWriter>(new StreamWriter(dir, da, geometry, std::move(fd), limit));
}

bool StreamWriter::append(std::span<const std::uint8_t> block, std::string* why) {
  if (limit_ && bytes_ + block.size() > *limit_) {
    errno = ENOSPC;
    return Fail(why, SystemText("write"));
  }
  std::size_t done = 0;
  while (done < block.size()) {
    const ssize_t n = ::pwrite(fd_.get(), block.data() + done, block.size() - done,
                               static_cast<off_t>(bytes_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return Fail(why, SystemText("write"));
    }
    done += static_cast<std::size_t>(n);
  }
  hash_.update(block);
  bytes_ += block.size();
  ++blocks_;
  return true;
}

bool StreamWriter::finish(bool stopped, std::string* why) {
  if (::ftruncate(fd_.get(), static_cast<off_t>(bytes_)) != 0)
    return Fail(why, SystemText("ftruncate"));
  // The digest so far; the stream may still resume after an abort.
  Sha256 copy = hash_;
  const StreamMeta meta{da_, stopped, geometry_, blocks_, bytes_, copy.hex()};
  const std::string text = MetaText(meta);
  const std::string path = MetaPath(dir_, da_);
  const std::string temp = path + ".tmp";
  standin::Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out.valid()) return Fail(why, SystemText("open"));
  if (::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    return Fail(why, SystemText("write"));
  out.reset();
  if (std::rename(temp.c_str(), path.c_str()) != 0) return Fail(why, SystemText("rename"));
  return true;
}

std::unique_ptr<StreamReader> StreamReader::Open(const std::string& dir, int da, std::string* why) {
  standin::Fd metaFd(::open(MetaPath(dir, da).c_str(), O_RDONLY | O_CLOEXEC));
  if (!metaFd.valid()) {
    Fail(why, "no stored stream for DA " + std::to_string(da));
    return nullptr;
  }
  std::string text(kMaxMetaBytes + 1, '\0');
  const ssize_t n = ::read(metaFd.get(), text.data(), text.size());
  if (n < 0) {
    Fail(why, SystemText("read"));
    return nullptr;
  }
  text.resize(static_cast<std::size_t>(n));
  std::string reason;
  auto meta = ParseMeta(text, &reason);
  if (!meta || meta->da != da) {
    Fail(why, "metadata of DA " + std::to_string(da) + ": " + (meta ? "wrong DA id" : reason));
    return nullptr;
  }
  standin::Fd fd(::open(BlocksPath(dir, da).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 ||
      static_cast<std::uint64_t>(st.st_size) != meta->bytes) {
    Fail(why, "blocks file of DA " + std::to_string(da) + " missing or not as long as recorded");
    return nullptr;
  }
  return std::unique_ptr<StreamReader>(new StreamReader(std::move(*meta), std::move(fd)));
}

bool StreamReader::read(std::uint32_t index, std::span<std::uint8_t> out) const {
  const auto at = static_cast<std::uint64_t>(offsetOf(index));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace tarn::mediaagent

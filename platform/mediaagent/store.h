// The stand-in media agent's store: per DA id a file of the blocks as they
// arrived, each of the stream's block capacity, and a metadata text beside it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/wire.h"
#include "mediaagent/protocol.h"
#include "mediaagent/sha256.h"

namespace tarn::mediaagent {

// The metadata text, one "name value" line each, in this order:
//   da <id>
//   status stop|abort
//   buffer-size <n>
//   buffer-count <n>
//   buffer-offset <n>
//   section <n>
//   capacity <n>
//   blocks <n>
//   bytes <n>
//   sha256 <64 lower-case hex digits of the blocks file>
struct StreamMeta {
  int da = 0;
  bool stopped = false;  // status stop; otherwise abort
  Geometry geometry;
  std::uint32_t blocks = 0;
  std::uint64_t bytes = 0;
  std::string sha256;

  bool operator==(const StreamMeta&) const = default;
};

std::string MetaText(const StreamMeta& meta);
// Nothing with the reason in *why unless every line is there, in order, in
// range, and blocks x capacity = bytes.
std::optional<StreamMeta> ParseMeta(std::string_view text, std::string* why);

std::string BlocksPath(const std::string& dir, int da);
std::string MetaPath(const std::string& dir, int da);
// Whether a stream of `da` has ended in the store: its metadata file is
// there, of whatever status and whether readable or not.
bool StreamRecorded(const std::string& dir, int da);

// Appends one backup stream's blocks; owned by the stream while it may resume.
class StreamWriter {
 public:
  // Creates the blocks file; never over a stream already stored (a blocks or
  // a metadata file of `da`). `limit`: bytes the file may hold before writes fail as a
  // full disk would. Null with the reason in *why.
  static std::unique_ptr<StreamWriter> Create(const std::string& dir, int da,
                                              const Geometry& geometry,
                                              std::optional<std::uint64_t> limit, std::string* why);

  // Writes the whole block to the file before it returns; false with the
  // reason in *why (nothing of a refused block counts).
  bool append(std::span<const std::uint8_t> block, std::string* why);
  // Writes the metadata file whole (through a rename) with this status.
  bool finish(bool stopped, std::string* why);

  std::uint32_t blocks() const { return blocks_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  StreamWriter(std::string dir, int da, Geometry geometry, standin::Fd fd,
               std::optional<std::uint64_t> limit)
      : dir_(std::move(dir)), da_(da), geometry_(geometry), fd_(std::move(fd)), limit_(limit) {}

  std::string dir_;
  int da_;
  Geometry geometry_;
  standin::Fd fd_;
  std::optional<std::uint64_t> limit_;
  Sha256 hash_;
  std::uint32_t blocks_ = 0;
  std::uint64_t bytes_ = 0;
};

// Reads a stored stream's blocks back.
class StreamReader {
 public:
  // The stored stream of `da`: its metadata must read and the blocks file
  // must be as long as it says. Null with the reason in *why.
  static std::unique_ptr<StreamReader> Open(const std::string& dir, int da, std::string* why);

  const StreamMeta& meta() const { return meta_; }
  // Block `index` into `out` (capacity bytes). False on a read failure.
  bool read(std::uint32_t index, std::span<std::uint8_t> out) const;
  // The blocks file and where block `index` starts in it, for a send
  // straight from the file.
  int file() const { return fd_.get(); }
  off_t offsetOf(std::uint32_t index) const {
    return static_cast<off_t>(std::uint64_t{index} * meta_.geometry.capacity());
  }

 private:
  StreamReader(StreamMeta meta, standin::Fd fd) : meta_(std::move(meta)), fd_(std::move(fd)) {}

  StreamMeta meta_;
  standin::Fd fd_;
};

}  // namespace tarn::mediaagent

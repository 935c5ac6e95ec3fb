// Fuzz target of the stand-ins' data-stream reader: any run of blocks either
// decodes into records that lie inside their block, or is refused with a text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../test/dastream_bytes.h"
#include "codec/dastream.h"
#include "codec/rcsid.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("platform/codec/fuzz/dastream_fuzz.cpp");

using namespace tarn::standin::dastream;

namespace {

void Inside(ByteSpan block, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (size != 0 && (p < block.data() || p + size > block.data() + block.size())) std::abort();
}

void CheckBlock(ByteSpan bytes, const Block& block) {
  if (block.header.used > bytes.size()) std::abort();
  for (const Record& r : block.records) {
    if (r.offset % kRecordAlign != 0 || r.offset + r.length > block.header.used) std::abort();
    if (const auto* s = r.as<StartRecord>()) {
      Inside(bytes, s->objectName.data(), s->objectName.size());
      Inside(bytes, s->applicationDescription.data(), s->applicationDescription.size());
    } else if (const auto* a = r.as<AttributeRecord>()) {
      Inside(bytes, a->name.data(), a->name.size());
    } else if (const auto* d = r.as<DataRecord>()) {
      Inside(bytes, d->data.data(), d->data.size());
      if (d->data.size() != d->length) std::abort();
    } else if (const auto* n = r.as<NtAttributeRecord>()) {
      Inside(bytes, n->name.data(), n->name.size());
    }
  }
}

}  // namespace

// The first byte sets the block size (64 + 8 * n bytes); the rest is cut into
// blocks of that size and fed to one stream, then decoded block by block.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t blockSize = kBlockHeaderSize + 8 * std::size_t{data[0]};
  const ByteSpan input(data + 1, size - 1);
  DecodeOptions options;
  options.reservedMustBeZero = (data[0] & 1) == 0;
  StreamDecoder stream(options);
  for (std::size_t at = 0; at < input.size(); at += blockSize) {
    const ByteSpan bytes = input.subspan(at, std::min(blockSize, input.size() - at));
    if (const auto block = stream.Feed(bytes)) {
      CheckBlock(bytes, *block);
      tarn::fuzz::Accepted();
    } else if (stream.error().empty()) {
      std::abort();
    }
    std::string why;
    if (const auto block = DecodeBlock(bytes, options, &why)) {
      CheckBlock(bytes, *block);
      tarn::fuzz::Accepted();
    } else if (why.empty()) {
      std::abort();
    }
  }
  return 0;
}

// Blocks laid out byte by byte from the layout tables (the reader's test
// blocks), each behind the byte that gives its size.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  // The largest block the first byte can give, twice.
  seeds->maxLen = 1 + 2 * (kBlockHeaderSize + 8 * 255);
  namespace tb = testbytes;
  const std::pair<const char*, tb::Bytes> kBlocks[] = {
      {"start", tb::StartBlock()},
      {"item", tb::ItemBlock()},
      {"encryption", tb::EncryptionBlock()},
      {"mixed", tb::MixedBlock()},
      {"stream", tb::Cat({tb::StartBlockAt(0), tb::StartBlockAt(1)})},
  };
  for (const auto& [name, bytes] : kBlocks) {
    const std::size_t blockSize =
        std::string_view(name) == "stream" ? bytes.size() / 2 : bytes.size();
    const std::size_t n = (blockSize - kBlockHeaderSize) / 8;
    if (n > 255 || kBlockHeaderSize + 8 * n != blockSize) std::abort();
    seeds->Add(name, static_cast<std::uint8_t>(n),
               std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
}

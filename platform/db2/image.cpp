// Backup image layout of the stand-in DB2: share headers and payload records.
#include "db2/image.h"

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
void AppendLe64(std::string& out, std::uint64_t v) {
  std::uint8_t b[8];
  PutLe(b, v);
  out.append(reinterpret_cast<const char*>(b), 8);
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
    std::uint8_t n[4];
    PutLe(n, static_cast<std::uint32_t>(e.name.size()));
    out.append(reinterpret_cast<const char*>(n), 4);
    out += e.name;
    AppendLe64(out, e.data.size());
    out += e.data;
  }
  return out;
}

std::vector<PayloadEntry> DecodePayload(std::span<const std::uint8_t> p) {
  std::vector<PayloadEntry> out;
  std::size_t at = 0;
  while (at < p.size()) {
    if (p.size() - at < 4) throw Error("payload truncated in a name length");
    std::uint32_t nameLen = GetLe<std::uint32_t>(p.data() + at);
    at += 4;
    if (nameLen == 0 || nameLen > 4096 || p.size() - at < nameLen)
      throw Error("payload has a bad name length");
    PayloadEntry e;
    e.name.assign(reinterpret_cast<const char*>(p.data() + at), nameLen);
    at += nameLen;
    if (p.size() - at < 8) throw Error("payload truncated in a data length");
    std::uint64_t dataLen = GetLe<std::uint64_t>(p.data() + at);
    at += 8;
    if (dataLen > p.size() - at) throw Error("payload truncated in data of " + e.name);
    e.data.assign(reinterpret_cast<const char*>(p.data() + at), dataLen);
    at += dataLen;
    out.push_back(std::move(e));
  }
  return out;
}

std::string AssembleShares(const std::vector<std::string>& objects) {
  if (objects.empty()) throw Error("no backup objects");
  std::vector<std::optional<ShareHeader>> byIndex;
  std::optional<ShareHeader> first;
  std::string payload;
  std::uint64_t carried = 0;
  for (const auto& o : objects) carried += o.size();
  for (const auto& o : objects) {
    auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(o.data()), o.size());
    auto h = DecodeShareHeader(bytes);
    if (!h) throw Error("backup object without a valid header");
    if (!first) {
      // The headers are read back from the vendor library: never size
      // anything by them beyond what the objects actually carry.
      if (h->payloadLength > carried || h->count > objects.size())
        throw Error("backup object header claims more than was read");
      first = h;
      byIndex.resize(h->count);
      payload.assign(h->payloadLength, '\0');
    }
    if (h->count != first->count || h->payloadLength != first->payloadLength ||
        h->payloadChecksum != first->payloadChecksum || h->node != first->node)
      throw Error("backup objects of different images");
    if (byIndex[h->index]) throw Error("backup object " + std::to_string(h->index) + " twice");
    if (o.size() - kShareHeaderSize != h->length)
      throw Error("backup object " + std::to_string(h->index) + " has " +
                  std::to_string(o.size() - kShareHeaderSize) + " bytes, header says " +
                  std::to_string(h->length));
    auto share = bytes.subspan(kShareHeaderSize);
    if (Checksum(share) != h->shareChecksum)
      throw Error("checksum mismatch in backup object " + std::to_string(h->index));
    if (h->length > 0) std::memcpy(payload.data() + h->offset, share.data(), h->length);
    byIndex[h->index] = h;
  }
  for (std::size_t i = 0; i < byIndex.size(); ++i)
    if (!byIndex[i]) throw Error("backup object " + std::to_string(i) + " is missing");
  // Shares must tile the payload: each starts where the one before it ended.
  std::uint64_t next = 0;
  for (const auto& h : byIndex) {
    if (h->offset != next) throw Error("backup objects do not cover the image");
    next += h->length;
  }
  if (next != first->payloadLength) throw Error("backup objects do not cover the image");
  auto all = std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  if (Checksum(all) != first->payloadChecksum) throw Error("image checksum mismatch");
  return payload;
}

}  // namespace db2sim

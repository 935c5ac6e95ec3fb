// Compression library stand-in: zlib's deflate stream between two callbacks.
#include "starling/starling.h"

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int kChunk = 256 * 1024;
constexpr int kFirstId = 0x0B0B0B0B;

int initCalls = 0;

bool WriteAll(StarlingIoFn write, void* user, unsigned char* data, int length) {
  return length == 0 || write(data, length, user) == length;
}

}  // namespace

int DcInit(char* buffer) {
  if (buffer == nullptr) return 0;
  return initCalls++ == 0 ? kFirstId : ~kFirstId;
}

int DcCompress2(StarlingIoFn read, StarlingIoFn write, void* user) {
  if (read == nullptr || write == nullptr || initCalls == 0) return -1;
  z_stream zs{};
  if (deflateInit(&zs, Z_BEST_SPEED) != Z_OK) return -1;
  std::vector<unsigned char> in(kChunk), out(kChunk);
  int rc = 0;
  int flush = Z_NO_FLUSH;
  while (rc == 0 && flush != Z_FINISH) {
    const int got = read(in.data(), kChunk, user);
    if (got < 0 || got > kChunk) {
      rc = -1;
      break;
    }
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = out.data();
      zs.avail_out = kChunk;
      const int z = deflate(&zs, flush);
      if (z == Z_STREAM_ERROR) {
        rc = -1;
        break;
      }
      if (!WriteAll(write, user, out.data(), kChunk - static_cast<int>(zs.avail_out))) rc = -1;
    } while (rc == 0 && zs.avail_out == 0);
  }
  deflateEnd(&zs);
  return rc;
}

int DcDecompress2(StarlingIoFn read, StarlingIoFn write, void* user) {
  if (read == nullptr || write == nullptr || initCalls == 0) return 0;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return 0;
  std::vector<unsigned char> in(kChunk), out(kChunk);
  int z = Z_OK;
  bool ok = true;
  while (ok && z != Z_STREAM_END) {
    const int got = read(in.data(), kChunk, user);
    if (got <= 0 || got > kChunk) {
      ok = false;  // the stream ended before its end mark
      break;
    }
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(got);
    while (ok && zs.avail_in > 0 && z != Z_STREAM_END) {
      zs.next_out = out.data();
      zs.avail_out = kChunk;
      z = inflate(&zs, Z_NO_FLUSH);
      if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) ok = false;
      if (ok && !WriteAll(write, user, out.data(), kChunk - static_cast<int>(zs.avail_out))) {
        ok = false;
      }
      if (z == Z_BUF_ERROR && zs.avail_in > 0 && zs.avail_out == kChunk) ok = false;
    }
  }
  inflateEnd(&zs);
  return ok ? 1 : 0;
}

void DcExit(void) {
  initCalls = 0;
}

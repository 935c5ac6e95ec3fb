// Compression library stand-in (libstarling), backed by zlib. Data moves
// through the caller's callbacks; note that the two passes report success
// the opposite ways.
#pragma once

#define STARLING_API extern "C" __attribute__((visibility("default")))

inline constexpr int kStarlingInitBufferSize = 126;

// Read and write callbacks: (buffer, length, user argument) → the count read
// or written. A read of 0 is the end of the data (or a failure); a write that
// returns less than `length` is a failure.
using StarlingIoFn = int (*)(void* buffer, int length, void* user);

// Handshake: 0x0B0B0B0B on the first call after load (or after DcExit), then
// 0xF4F4F4F4. A null buffer returns 0 and changes nothing.
STARLING_API int DcInit(char* buffer);
// Compresses everything `read` gives until it returns 0 and writes the
// compressed stream through `write`. 0 on success; non-zero on a failed
// write, a negative read, before DcInit or without callbacks.
STARLING_API int DcCompress2(StarlingIoFn read, StarlingIoFn write, void* user);
// Decompresses one stream that `read` gives and writes the data through
// `write`. Non-zero on success; 0 on damaged or truncated input, a failed
// write, before DcInit or without callbacks.
STARLING_API int DcDecompress2(StarlingIoFn read, StarlingIoFn write, void* user);
STARLING_API void DcExit(void);

// Encoding library stand-in (libmerle): a reversible in-place transform that
// keeps the length. Not a cipher; it only makes encoded data differ from the
// plain data the way the real library's output does.
#pragma once

#define MERLE_API extern "C" __attribute__((visibility("default")))

// Size of the buffer DeInit takes; it begins with the caller's name.
inline constexpr int kMerleInitBufferSize = 126;

// Handshake: the first call after load (or after DeExit) returns 1, every
// further call -2. A null buffer returns 0 and changes nothing.
MERLE_API int DeInit(char* buffer);
// Encode or decode `length` bytes of `data` in place. 0; -1 for a null buffer
// or a negative length, or before DeInit.
MERLE_API int DeEncode(unsigned char* data, int length);
MERLE_API int DeDecode(unsigned char* data, int length);
// Ends the library; the next DeInit starts the handshake again.
MERLE_API void DeExit(void);

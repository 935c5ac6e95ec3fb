// Helpers shared by the file wrapper sources only; not part of the library's
// contract.
#pragma once

#include <cerrno>
#include <cstddef>

#include "cmn/dbg.h"

namespace vekfile {

// True when an interrupted system call is to be repeated (host-process mode).
bool RetryInterrupted();

// Writes a trace line and keeps the caller's errno, so a wrapper's failure
// line never changes what its caller tests afterwards.
void Log(int level, const char* format, ...) TARN_PRINTF(2, 3);

// The system's text for an error number, without the "[n] " prefix.
const char* SystemText(int sysErrno, char* buffer, std::size_t size);

// Repeats `call` while it fails with EINTR (always, not only in host mode).
template <typename Call>
auto Restart(Call call) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Writes all `count` bytes, repeating partial writes and EINTR. Returns the
// bytes written: less than `count` only on an error (errno set) or when the
// system accepted nothing more (errno 0).
std::size_t WriteAll(int fd, const void* data, std::size_t count);
// Reads until `count` bytes, end of file or an error; EINTR is repeated.
// Returns the bytes read, or -1 on an error.
long ReadFull(int fd, void* data, std::size_t count);

}  // namespace vekfile

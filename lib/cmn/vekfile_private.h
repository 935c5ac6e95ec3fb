// Helpers shared by the file wrapper sources only; not part of the library's
// contract.
#pragma once

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

}  // namespace vekfile

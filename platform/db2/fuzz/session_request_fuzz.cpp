// Feeds arbitrary bytes to the session-request reader and the log-record
// parser of the stand-in DB2.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "db2/logs.h"
#include "db2/session.h"
#include "db2/util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  (void)db2sim::DecodeLogRecord(text);
  db2sim::Fd fd(::memfd_create("request", MFD_CLOEXEC));
  if (fd.get() < 0 || !db2sim::WriteFull(fd.get(), data, size)) return 0;
  ::lseek(fd.get(), 0, SEEK_SET);
  (void)db2sim::ReadSessionRequest(fd.get());
  return 0;
}

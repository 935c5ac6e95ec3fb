// Feeds arbitrary bytes to the session-request reader and the log-record
// parser of the stand-in DB2.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db2/logs.h"
#include "db2/session.h"
#include "db2/util.h"
#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (db2sim::DecodeLogRecord(text)) tarn::fuzz::Accepted();
  db2sim::Fd fd(::memfd_create("request", MFD_CLOEXEC));
  if (fd.get() < 0 || !db2sim::WriteFull(fd.get(), data, size)) return 0;
  ::lseek(fd.get(), 0, SEEK_SET);
  if (db2sim::ReadSessionRequest(fd.get())) tarn::fuzz::Accepted();
  return 0;
}

// A session request as the stand-in DB2 hands it to a session process (with
// a vendor-options block of binary bytes), and a log record as it writes one.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->maxLen = 16384;
  db2sim::SessionRequest r;
  r.action = 'W';
  r.library = "/opt/tarn/lib/libwren_32bit.so";
  r.instance = "db2inst1";
  r.alias = "SAMPLE";
  r.node = 1;
  r.timestamp = "20261209150000";
  r.sequence = "001";
  r.type = "0";
  r.workDir = "/var/db2/work";
  r.sessions = 2;
  r.callsLog = "/var/db2/calls.log";
  using namespace std::string_view_literals;
  r.options = "VEKBARLIST=db2_full\nVEKOPTS=-debug 1-99\0\0\x01tree\x01"sv;
  seeds->Add("request", db2sim::EncodeSessionRequest(r));
  // A log file's line, read without its line end.
  std::string line = db2sim::EncodeLogRecord({42, "2026-12-09-15.00.00", "USERSPACE1", "row data"});
  line.pop_back();
  seeds->Add("log_record", line);
}

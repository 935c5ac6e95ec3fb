// The request the stand-in DB2 hands to each of its session processes, and
// the lines they answer with. One request per process on its standard input;
// commands and answers follow, one line each.
//
// Parent -> session: the request, then commands "put", "read <object>",
// "commit", "abort". Session -> parent: "init <rc> <objects>" after sqluvint,
// "data <rc> <bytes>" after a put or read run, "end <rc>" after sqluvend.
// A delete session ('D') takes no commands: it calls sqluvdel for the image
// and answers "deleted <rc> <return_code>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace db2sim {

struct SessionRequest {
  char action = 'W';    // 'W' backup, 'R' restore, 'D' delete
  std::string library;  // vendor library path, opened with dlopen as given
  std::string instance;
  std::string alias;
  int node = 0;
  std::string timestamp;
  std::string sequence;   // "001", "002", ...
  std::string type;       // backup type text handed to the library
  std::string workDir;    // backup: reads obj.<n>; restore: writes obj.<n>
  int session = 0;        // index of this session
  int sessions = 1;       // sessions of this run
  int bufferSize = 4096;  // bytes per sqluvput/sqluvget
  std::string callsLog;
  std::string options;  // the vendor-options block, bytes as given
};

// "key=value" lines and, last, "options=<n>" followed by n raw bytes.
std::string EncodeSessionRequest(const SessionRequest& r);
// Reads a request from a descriptor; empty on any malformed or oversized input.
std::optional<SessionRequest> ReadSessionRequest(int fd);

// Runs one session on descriptors `in` (commands) and `out` (answers); the
// session program's whole body. Returns its exit code.
int RunSession(int in, int out);

}  // namespace db2sim

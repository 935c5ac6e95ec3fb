// Catalogue query engine: the table of catalogue requests and the exchange of
// one request, its rows and the MSG_RESULT that closes it on a catalogue
// session.
#pragma once

#include <memory>
#include <vector>

#include "cmn/defines.h"
#include "ipc/ipc.h"

// One row of the request table.
struct QueryDescription {
  int id;            // request id
  const char* name;  // "FUN_..."
  int args;          // request arguments
  int rowId;         // id of a row reply; 0 when the request has no rows
  int rowFields;     // fields of one row
  int resultFields;  // fields the closing MSG_RESULT carries behind its error
};

inline constexpr int kQueryDescriptions = 24;
extern const QueryDescription msg_description_table[kQueryDescriptions];

// The table row of a request id, or of a name (case ignored); null when none.
const QueryDescription* query_get_description(int id);
const QueryDescription* query_get_description_by_name(const char* name);

// Query error codes.
enum QueryError : int {
  kQueryNoRequest = 8002,   // request not in the table, or no request open
  kQueryBadMessage = 8010,  // a message (or a row) could not be parsed
  kQueryWriteFailed = 8012,
  kQueryEndedWithError = 8013,
  kQueryUnexpected = 8014,  // unexpected message under the strict flag
  kQueryReadFailed = 8016,  // read failed or timed out
};

enum QueryState : int { kQueryIdle = 0, kQueryAwaiting = 1, kQueryRowReady = 2 };

// Normal ends of a listing carried by MSG_RESULT besides 0.
inline constexpr int kQueryEndNoData = 1245;
inline constexpr int kQueryEndNoMore = 1252;

// Seconds a query waits for the next message before it fails with 8016.
inline constexpr int kQueryReadTimeout = 600;

// Message functions of every query. Read: *message gets a heap text (free
// with safe_free) that ends in two NULs, waiting at most `timeout` seconds;
// 0 or -1 with the error state set. Write: 0 or -1.
using QueryReadFn = int (*)(IpcHandle handle, char** message, int timeout);
using QueryWriteFn = int (*)(IpcHandle handle, const char* message);
// Null restores the default (the cell-server client's session read, bounded
// by the time-out, and write).
void query_setio(QueryReadFn read, QueryWriteFn write);

struct QueryMessageFree {
  void operator()(char* text) const;
};
using QueryMessage = std::unique_ptr<char, QueryMessageFree>;

struct query_t {
  IpcHandle handle = -1;
  int strict = 0;
  int lastId = 0;
  int state = kQueryIdle;
  int error = 0;
  int nfields = 0;                  // fields parsed from the last message
  int timeout = kQueryReadTimeout;  // seconds per message
  QueryMessage message;             // last message received
  std::vector<const char*> fields;  // point into `message`
  const QueryDescription* description = nullptr;
};

// Starts a request from a complete message text (code = request id). False
// with 8002 for an id not in the table (nothing is sent) or 8012 when the
// write fails.
bool query_opent(query_t* query, IpcHandle handle, const char* request);
// The request built from typed items (StrMsgFAppend letters).
bool query_openv(query_t* query, IpcHandle handle, int id, const char* format, va_list args);
bool query_open(query_t* query, IpcHandle handle, int id, const char* format, ...);
// The request built from text items up to a null.
bool query_opens(query_t* query, IpcHandle handle, int id, ...) __attribute__((sentinel));
// True when a row (or, for requests without rows, nothing) is in
// query->fields; false at the end (error 0) or on error (query->error).
// A MSG_RESULT with error 0 leaves the result fields in query->fields.
bool query_read(query_t* query);
// Ends the request: reads and drops what is still coming up to its
// MSG_RESULT, then leaves the query idle and freed. False when a read failed
// (or timed out) before the MSG_RESULT: the session is then out of step, and
// a later request on it could take the late replies for its own.
bool query_close(query_t* query);
// True when the last message gave no fields.
bool query_empty(const query_t* query);

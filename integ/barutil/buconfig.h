// Integration configuration: parameter lists kept as configuration items of
// the cell server's group 80 or in local files, and the cell-server client
// start and stop around a single read or write.
#pragma once

#include <cstddef>

#include "barutil/bp.h"

// Results of the BU_ configuration calls.
inline constexpr int kBuOk = 0;
inline constexpr int kBuParseFailed = 2;  // the stored text could not be parsed
inline constexpr int kBuBadArg = 5;       // bad argument, no path, or packing failed
inline constexpr int kBuCellServer = 8;   // client start, binding, item read or write failed
inline constexpr int kBuLocalFile = 9;    // local file could not be read or written

// Cell-server group that holds integration configuration items.
inline constexpr int kBuConfigGroup = 80;
// Longest configuration item path, without the terminator.
inline constexpr std::size_t kBuConfigPathMax = 1023;

// The error-state code for a BU_ (or BP_) result: 0 for 0; 1 to 4 give 1008;
// 5 and 7 give 1007; 8 the code already in the error state (1000 when there
// is none); 9 gives 1026; 10 gives 1024; any other non-zero result 1007, so
// that a failure never reads as success.
int BU_ErhErrno(int code);

// The configuration item path into `out` (`size` bytes):
//   no application name: "config/<type>/<host URL-encoded>";
//   with one: "config/<type>/<host>%<name URL-encoded>", the host expanded to
//   its full name, or this host's name when none is given.
// URL encoding doubles '%'. 0; 5 when there is no application type, neither a
// host nor an application name, or the path does not fit.
int BU_GetConfigPath(char* out, std::size_t size, const char* host, const char* appType,
                     const char* appName);

// What BU_CsaInit did, so that BU_CsaExit undoes exactly that.
struct BuCsaState {
  int slot = -1;               // the server slot to send requests to
  bool startedClient = false;  // the client was started here
  bool boundHere = false;      // the slot was bound here (not a reused binding)
};

// Starts the cell-server client bound to `cellServer` (null: VEK_CellServer)
// when it is not running, else binds the server to a slot of the running
// client. 0, or 8 (the state then needs no BU_CsaExit).
int BU_CsaInit(BuCsaState* state, const char* cellServer);
// Stops the client when BU_CsaInit started it, else closes a binding it made.
// The state is reset; a second call does nothing.
void BU_CsaExit(BuCsaState* state);

// Reads the configuration item of (host, type, name) from the cell server into
// *out (whatever it held is freed first). 0; 5 no path; 8 cell-server failure;
// 2 the text could not be parsed (*out then undefined). The client is stopped
// again on every path on which this call started it.
int BU_GetConfig(const char* cellServer, const char* host, const char* appType, const char* appName,
                 BpList* out);
// Writes `list` packed (kBpStored) as that item. 0, 5 or 8; the client is
// stopped again as above.
int BU_PutConfig(const char* cellServer, const char* host, const char* appType, const char* appName,
                 BpList list);
// With a value, changes the named text entry or adds it; without one, removes
// the entry. 0, or the BP_ result (6 when removing an absent entry).
int BU_UpdateConfig(BpList* list, const char* name, const char* value);

// The same list in a local file: read (a UTF-16 file with a byte-order mark
// is converted first) into *out, freed first: 0, 9 (file unreadable), 2 (not
// parsed), 5; written packed (kBpStored), replacing the file only as a whole:
// 0, 5 or 9.
int BU_GetLocalFile(const char* path, BpList* out);
int BU_PutLocalFile(const char* path, BpList list);

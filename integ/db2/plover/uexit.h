// The user exit's command line (DB2's "-XXvalue" arguments and the version
// query) and the host it acts as: VEKBARHOSTNAME, a virtual server of this
// machine from the cell description, else the machine's own name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bar2/bar2.h"

inline constexpr int kUeArchive = 0;
inline constexpr int kUeRetrieve = 1;
inline constexpr int kUeOtherRequest = -1;
// Longest log path plus log name.
inline constexpr std::size_t kUeLogPathMax = 1023;

struct UE_Options {
  std::string os, rl;
  int rq = kUeOtherRequest;
  std::string db, nn, lp, ln;
  bool version = false;  // the version query was asked
};

// Reads the arguments (without the program name). Arguments that do not
// begin with "-", unknown keys and keys without room for a value are passed
// over.
UE_Options UE_ParseOpts(int argc, const char* const* argv);

// True when the cell server holds a "DB2" configuration for (host, instance).
bool configFileIsFound(const char* host, const char* instance);
// The virtual-server (or cluster) names the cell description gives this
// machine: the "virtual" field, else the "clus" field, of every line whose
// "host" is this machine's name. Lines without those keys are passed over.
// Nothing when the description or its format cannot be read or parsed.
std::optional<std::vector<std::string>> GetVSArray();
// The names of GetVSArray from a description and its format text.
std::optional<std::vector<std::string>> VirtualServersOf(const char* format,
                                                         const char* description,
                                                         const char* hostname);
// The first virtual server of this machine that has a configuration for the
// instance; empty when none.
std::string GetVirtualServerName(const char* instance);

// The whole program: an exit code for DB2.
int UE_Main(int argc, const char* const* argv);

// Host names of the integration: the cell-server host the process works
// with, full names of hosts, and this host's own name.
#pragma once

#include <cstddef>

// Longest host name the integration keeps (longer names are cut).
inline constexpr std::size_t kVekHostNameMax = 255;

// The cell-server host, worked out on the first successful call and then kept
// for the life of the process (also when VEK_CELL_SERVER_HOSTNAME changes
// later): VEK_CELL_SERVER_HOSTNAME when set and not empty, else the host of
// the client's cell_server file; either way expanded to its full name.
// Null while no host can be found (the error state then tells why: 2001 for
// a missing or empty cell_server file). The text stays valid for the process.
const char* VEK_CellServer();
// Forgets the kept cell-server host, so that the next VEK_CellServer works it
// out again. For tests of the override.
void VEK_ResetCellServer();

// The full (canonical, lower-case) name of `name`, or `name` itself (cut to
// kVekHostNameMax characters) when it does not resolve; null for a null or
// empty name. The text lies in a per-process area that the next call
// overwrites.
const char* VEK_ExpandHostname(const char* name);

// Makes `name`, expanded to its full name and cut to 63 characters, this
// host's name (cmnHostname), used in object names and configuration paths.
// A null or empty name changes nothing.
void VEK_SetHostname(const char* name);

// Files the stand-in DB2 keeps beside its state for programs that look at an
// instance from outside: the instance owners' accounts for nss_wrapper, so
// getpwnam finds an owner (and its home) without root and without touching
// the real account database, and an instance's "sqllib/db2nodes.cfg".
#pragma once

#include <string>
#include <vector>

#include "db2/store.h"

namespace db2sim {

// "<root>/nss/passwd" and "<root>/nss/group", rewritten from every instance:
// each owner with this process's user and group ids and its instance's home.
// Throws Error.
void WriteAccounts(const Store& store);
std::string AccountsPasswdFile(const Store& store);
std::string AccountsGroupFile(const Store& store);

// Rewrites "<home>/sqllib/db2nodes.cfg" of the instance with one line
// "<partition> <host> <logical port>" per partition of any of its databases,
// when that is more than partition 0 alone; a single-partition instance has
// no such file. The host is this machine's name. Throws Error.
void WriteNodesFile(const Store& store, const std::string& instance);

}  // namespace db2sim

// Replaceable sleep and resolver of the IPC layer, so that throttling and
// retries can be checked without waiting or a name service.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

// Every pause of the layer (throttle, resolver retries, shared-memory attach
// retries, sleeps around shutdown) goes through this function.
using IpcSleepFn = void (*)(long seconds, long microseconds);
// Installs `sleep` (null: sleeping on the process clock, cmn::SleepFor);
// returns the previous function.
IpcSleepFn IpcSetSleepFunction(IpcSleepFn sleep);

// One resolver call: fills the official name and the IPv4 addresses (network
// order) and returns 0, or returns the resolver error (1 HOST_NOT_FOUND,
// 2 TRY_AGAIN, 3 NO_RECOVERY, 4 NO_DATA).
using IpcResolverFn = int (*)(const char* name, std::string* official,
                              std::vector<in_addr_t>* addresses);
// Installs `resolver` (null: the system's); returns the previous function.
IpcResolverFn IpcSetResolverFunction(IpcResolverFn resolver);

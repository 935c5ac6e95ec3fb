// Replaceable sleep, resolver and peer locality of the IPC layer, so that
// throttling and retries can be checked without waiting or a name service,
// and a peer on loopback can stand for one on another host.
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

// How IpcHandleIsLocal counts the peer of a socket handle: by its address
// (kByAddress, the default), or every socket peer on this host (kLocal) or
// on another one (kRemote). Pipes and segments stay local. The setting is
// process-wide, outlives IpcExit and is inherited by forked children.
enum class IpcPeerLocality { kByAddress, kLocal, kRemote };
// Installs `locality`; returns the previous setting.
IpcPeerLocality IpcSetPeerLocality(IpcPeerLocality locality);

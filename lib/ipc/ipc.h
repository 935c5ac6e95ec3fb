// IPC layer: numbered connections to other processes, length-framed packets
// over them, listening, connecting, event waits, shutdown and load throttling.
#pragma once

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "cmn/defines.h"

struct StrMsg;
struct IpcInstance;

// A connection of this process: 0 to 63. -1 means none or failure.
using IpcHandle = int;
inline constexpr IpcHandle kIpcNoHandle = -1;
inline constexpr int kIpcMaxHandles = 64;

// The wire unit, shared with every peer: a 4-byte length L (unsigned,
// big-endian), then exactly L data bytes. A StrMsg travels as one packet whose
// data are its text and the final NUL (L = length + 1). Packets of up to
// kIpcPackMax data bytes leave in one write of header and data.
inline constexpr int kIpcHeaderSize = 4;
inline constexpr int kIpcPackMax = 252;
inline constexpr int kIpcPackSize = kIpcHeaderSize + kIpcPackMax;
// The listen port while nothing listens.
inline constexpr unsigned kIpcNoPort = 0xFFFF;
// Bytes a host or peer name buffer must hold.
inline constexpr std::size_t kIpcHostNameSize = 257;

// The last event of the process and of each handle.
enum IpcEvent : int {
  IPC_EVENT_TIMEOUT = -2,  // a wait timed out (process only)
  IPC_EVENT_ERROR = -1,
  IPC_EVENT_NONE = 0,
  IPC_EVENT_READ = 1,
  IPC_EVENT_WRITE = 2,
  IPC_EVENT_RECEIVED = 3,  // asynchronous receive complete
  IPC_EVENT_SENT = 4,      // asynchronous send complete
  IPC_EVENT_ACCEPTED = 5,  // new connection on the listen socket
  IPC_EVENT_CLOSED = 6,    // peer closed during an asynchronous transfer
};

// Handle types.
enum IpcType : int {
  IPC_TYPE_NONE = -1,
  IPC_PIPE = 0,
  IPC_SOCKET = 1,
  IPC_SHMEM = 2,
};

// Entry flags (IpcSetEntryFlag, IpcClearEntryFlag).
enum IpcEntryFlag : unsigned {
  IPC_FLAG_NOWAIT = 1,    // leave the handle out of IpcWaitForIpcEvent
  IPC_FLAG_BLOCKING = 2,  // never switch the descriptor to non-blocking for a time-out
  IPC_FLAG_PEEKED = 8,    // a peeked packet waits in the receive message
};

// Error codes the layer marks (errno is marked with them where a system call
// failed; a time-out is marked with ETIMEDOUT).
enum IpcErrorCode : int {
  EIPCBADHANDLE = 3001,  // handle out of range or not in use
  EIPCTABLEFULL = 3002,
  EIPCNOTINIT = 3004,
  EIPCLISTENING = 3006,  // already listening, or cancel without listening
  EIPCSOCKET = 3007,
  EIPCBIND = 3008,
  EIPCGETSOCKNAME = 3009,
  EIPCLISTEN = 3010,
  EIPCRESOLVE = 3011,  // host name could not be resolved
  EIPCCONNECT = 3012,  // connect failed on every address
  EIPCSHUTDOWN = 3013,
  EIPCCLOSE = 3014,
  EIPCSELECT = 3015,  // waiting on descriptors failed
  EIPCACCEPT = 3016,
  EIPCRECEIVE = 3017,     // receive failed or timed out
  EIPCSEND = 3018,        // send failed or timed out
  EIPCBROKENPIPE = 3019,  // peer gone while sending
  EIPCSHMCREATE = 3021,
  EIPCSHMATTACH = 3022,
  EIPCSHMFREE = 3023,  // segment not ours, or its removal failed
  EIPCSHMNONE = 3024,  // nothing attached
  EIPCPIPE1 = 3025,
  EIPCPIPE2 = 3026,
  EIPCNOTPIPE = 3027,
  EIPCRECVSTATE = 3028,  // asynchronous receive in an unknown state
  EIPCSENDSTATE = 3029,  // asynchronous send in an unknown state
  EIPCPACKET = 3030,     // bad header, buffer too small, bad async buffer
  EIPCRECVPENDING = 3031,
  EIPCSENDPENDING = 3032,
  EIPCBADFDS = 3033,  // descriptors to attach are not valid
  EIPCNOTSOCKET = 3034,
  EIPCSETSOCKOPT = 3035,
  EIPCNOEVENT = 3036,    // a wait reported readiness but no handle was ready
  EIPCINTR = 3037,       // interrupted by a signal
  EIPCPORTRANGE = 3038,  // all ports of the port range are in use
};

// ---------------------------------------------------------------- start and stop

// Starts the layer once per process (later calls do nothing): load share
// from VEKIPCNETLOADMAX, bandwidth unit from VEKIPCNETBANDW; outside host
// processes SIGPIPE ignored (the previous action is kept) and IpcAtExit
// registered. No write of the layer raises SIGPIPE in either case.
// Returns 0.
int IpcInit();
// Puts SIGPIPE back, closes every handle and the listen socket and drops the
// layer's state. Returns 0; does nothing when not started.
int IpcExit();
// IpcExit for process exit; a missing layer is not reported then.
void IpcAtExit();
// 1 when the layer runs, else 0.
int IpcIsInitialized();
// The layer's state, or null.
IpcInstance* IpcMyInstance();
// The layer's state; null (and EIPCNOTINIT marked) when not started.
IpcInstance* IpcGetInstance(const char* caller);
// Fork hook of the layer's context slot: closes the descriptors the child
// inherited and drops every entry, so a child keeps no IPC state.
void IpcInstanceAtFork(void* instance);
// Ignores SIGPIPE, keeping the previous action; IpcEnableSigPipe puts it back.
// In a host process the host's action is left alone.
void IpcIgnoreSigPipe();
void IpcEnableSigPipe();
// Called in a process forked off a host process and detached from it (so it
// owns its signals although the host switch is set): pipe writes stop
// borrowing the signal mask per call, SIGPIPE is blocked once instead
// (until IpcExit).
void IpcOwnSignals();

// Bandwidth unit of the throttle in units of 104857.6 bytes per second
// (default 100, i.e. 10485760 bytes per second). Read by IpcInit.
extern int IpcNetBandw;

// ---------------------------------------------------------------- handle table

// 0 when the handle is in use, else -1 (nothing marked).
int IpcTestIpcHandle(IpcHandle handle);
// Takes the lowest free handle with a fresh entry; -1 (EIPCTABLEFULL) when all
// 64 are in use.
IpcHandle IpcFindEmptyIpcHandle();
// Frees the handle's entry and its own messages. Returns 0, -1 for a bad handle.
int IpcReleaseIpcHandle(IpcHandle handle);
// Records an event for the handle (-1: for the process only).
void IpcSetEvent(IpcHandle handle, int event);
// The last event of the process (-1 without the layer) and of one handle.
int IpcGetLastIpcEvent();
int IpcGetLastIpcHandleEvent(IpcHandle handle);
// The handle the last event wait answered, where its round-robin resumes.
int IpcGetLastIncomingHandle();

// 1 when the handle holds bytes read ahead, so that its next receive takes
// no system call (a wait reports it readable at once); else 0.
int IpcHoldsReadAhead(IpcHandle handle);

// Descriptors of a socket handle, or -1.
int IpcGetReadSocket(IpcHandle handle);
int IpcGetWriteSocket(IpcHandle handle);
// The peer's dotted address; owned by the entry, valid while the handle lives.
const char* IpcGetConnectionIP(IpcHandle handle);
// The handle's send message (null, EIPCSENDPENDING while an asynchronous send
// is pending) and receive message (null, EIPCRECVPENDING while an asynchronous
// receive is pending). Fresh handles share the process-wide StrMsg.
StrMsg* IpcGetStrMsg(IpcHandle handle);
StrMsg* IpcGetReceiveStrMsg(IpcHandle handle);
// Installs send and receive messages (null: the process-wide StrMsg). The
// handle deletes the messages it replaces (the process-wide one never), so
// pass StrMsgNew records or records that outlive the handle's use of them
// and are then replaced before deletion. 0, or -1 while a transfer is pending.
int IpcSetStrMsg(IpcHandle handle, StrMsg* send, StrMsg* receive);
// Gives the handle two heap messages of its own. 0 or -1.
int IpcSetAsyncDynBuf(IpcHandle handle);
// Listen port (kIpcNoPort when not listening or without the layer) and socket.
unsigned IpcGetListenPort();
int IpcGetListenSocket();
// Sets or clears IpcEntryFlag bits. 0 or -1.
int IpcSetEntryFlag(IpcHandle handle, unsigned bits);
int IpcClearEntryFlag(IpcHandle handle, unsigned bits);

// ---------------------------------------------------------------- packets
// Time-outs are in seconds; 0 or less waits without limit.

// Sends one packet of `length` bytes; null data sends the handle's send
// message. Returns a positive count (length + 4 for a packet of up to
// kIpcPackMax bytes, else length), -1 on failure.
int IpcSendData(IpcHandle handle, const void* data, int length);
int ipc_sendDataEx(IpcHandle handle, const void* data, int length, int timeout);
// Writes header and data into the handle's pack buffer: 0, or -1 when the
// length is not 0 to kIpcPackMax.
int IpcPackPacket(IpcHandle handle, const void* data, int length);

// Receives one packet into `buffer` (`size` bytes), or with a null buffer into
// the handle's receive message. Returns the data length L; 0 when the peer
// closed the connection, also in the middle of a packet, and for a packet of
// length 0; -1 on failure. A header that is negative, above dynBufMax or above
// `size` is refused before any data is read; the connection is then out of
// step and must be closed. The received bytes are followed by two NULs, in a
// caller's buffer as far as `size` allows.
int IpcReceiveData(IpcHandle handle, void* buffer, int size);
int ipc_receiveDataEx(IpcHandle handle, void* buffer, int size, int timeout);
// Receives the next packet into the receive message and keeps it for the next
// receive; with a buffer also copies it there (-1 when it is larger than
// `size`; it stays peeked). Returns as a receive does.
int IpcPeekData(IpcHandle handle, void* buffer, int size);
int ipc_peekDataEx(IpcHandle handle, void* buffer, int size, int timeout);
// The peeked packet's length; with a buffer also its bytes (-1 when larger
// than `size`). -1 (EIPCPACKET) when no peeked packet is pending.
int ipc_getpeekeddata(IpcHandle handle, void* buffer, int size);
// Data sizes of the asynchronous machines: received and sent so far.
int IpcGetReceivePacketSize(IpcHandle handle);
int IpcGetReadPacketSize(IpcHandle handle);
int IpcGetSendPacketSize(IpcHandle handle);
int IpcGetWritePacketSize(IpcHandle handle);

// StrMsg forms: the handle's send message, or `msg`, as one packet.
int IpcSendStrMsg(IpcHandle handle);
int IpcSendStrMsgL(IpcHandle handle, StrMsg* msg);
// Receives one packet into `msg` (for the call only); results as a receive.
int IpcReceiveStrMsgL(IpcHandle handle, StrMsg* msg);
int IpcReceiveStrMsgExL(IpcHandle handle, StrMsg* msg, int timeout);

// ---------------------------------------------------------------- listening

// A new TCP socket, or -1 (EIPCSOCKET).
int IpcNewSocket(const char* caller);
// Opens the listen socket: a non-zero port as given; port 0 takes the first
// free port of the program's range (VEKPORTRANGESPEC, VEKPORTRANGE), or the
// system's choice without a range. 0 or -1.
int IpcAcceptConnections(unsigned port);
// Closes the listen socket. 0, or -1 (EIPCLISTENING) when none is open.
int IpcCancelAccept();
// The listen port range of this program: 1 found (written to *start, *end),
// 0 none, -1 malformed.
int IpcGetPortRange(int* start, int* end);
// Copies the program name into `buffer` (kIpcHostNameSize bytes).
void GetRealProgname(char* buffer);

// ---------------------------------------------------------------- names

// Resolves a host name: TARN_HOSTS first, then the resolver, tried up to
// VEK_DNSTIMEOUT times (default 30, at least 1) while it answers TRY_AGAIN.
// The entry lies in a static area that the next call overwrites; null (and
// EIPCRESOLVE marked) when the name does not resolve.
const hostent* IpcGetHostByName(const char* name, int ignored = 0);
// 1 when TARN_HOSTS names the host (its entry is then TarnHost), else 0.
int IpcGetHostFromEnv(const char* name);
extern hostent TarnHost;
// One timed resolver call (no retries, no TARN_HOSTS); null with h_errno set.
const hostent* ipc_gethostbyname(const char* name);
// Seconds since the epoch with a millisecond fraction.
double ipc_ftime();
// Name of a resolver error: "HOST_NOT_FOUND", "TRY_AGAIN", "NO_RECOVERY",
// "NO_DATA", else "#UNKNOWN DNS ERROR#".
const char* Ipc_h_errno_to_text(int error);
// 1 when the host is this machine, 0 not, -1 the host does not resolve, -5
// this machine's own name does not resolve. Loopback addresses are local
// without any lookup of the own name.
int IpcIPIsLocal(const char* host);
// 1 when the two names share an address, 0 not, -1 one does not resolve.
int IpcIPIsEqual(const char* host1, const char* host2);
// Always -1: interface listing is not available (*list becomes null).
int ipc_listInterfaces(char** list);

// ---------------------------------------------------------------- connections

// Connects to host:port, trying every address; a host that is this machine is
// reached through 127.0.0.1. `flag` is only traced. A new socket handle, or -1
// (no handle is left behind).
IpcHandle IpcConnectToProcess(const char* host, unsigned port, int flag);
// Waits for a connect in progress: 0 connected, -1 failed (errno set), -2
// timed out (errno ETIMEDOUT).
int IpcWaitForConnect(IpcHandle handle, int timeout);
// A socket handle over two open descriptors (an existing handle with the same
// pair is reused); -1 (EIPCBADFDS) when either is not open.
IpcHandle IpcAttachConnection(int readfd, int writefd);
// 1 the peer is on this host, 0 remote, -1 bad handle. Decided once per handle.
int IpcHandleIsLocal(IpcHandle handle);
// Writes the peer's host name (or dotted address) into `name`, which holds
// `size` bytes (kIpcHostNameSize for IpcGetPeer). 0, or -1 (EIPCNOTSOCKET for
// a handle that is no socket).
int IpcGetPeer(IpcHandle handle, char* name);
int IpcGetPeerN(IpcHandle handle, char* name, std::size_t size);
// 1 when the socket has a peer, 0 not, -1 bad or non-socket handle.
int IpcTestConnection(IpcHandle handle);

// Waits on descriptors without the 1024-descriptor limit of select. `timeout`
// in milliseconds, negative without limit. Interrupted waits are resumed in
// host processes. Returns poll's result.
int IpcSelectM(pollfd* fds, nfds_t count, int timeout, const char* caller, int line);
// accept, resumed after interruptions in host processes; the descriptor is
// closed on exec.
int IpcAccept(int socket, sockaddr* address, socklen_t* length);

// Waits for an event on any handle (timeout in seconds, negative without
// limit): a packet already peeked, a readable socket or pipe (event 1, round
// robin across handles) or a new connection (event 5, the new handle). -1 on
// failure or time-out (the last event says which: -1 or -2); -1 at once
// (EIPCNOEVENT) when there is nothing to wait on and no time limit.
IpcHandle IpcWaitForIpcEvent(int timeout);
// The same restricted to the `count` handles listed (negative entries are
// skipped; no new connections): other readable handles of the process stay
// untouched. -1 at once (EIPCNOEVENT) when no listed handle can be waited on
// and there is no time limit.
IpcHandle IpcWaitForIpcEventOnHandles(const IpcHandle* handles, int count, int timeout);
// Waits on one handle; mode bit 1 readable, bit 2 writable. 9 readable
// socket, 0 readable pipe or writable, -1 failure or time-out.
int IpcWaitForIpcEventOnHandle(IpcHandle handle, int timeout);
int IpcWaitForIpcEventOnHandleEx(IpcHandle handle, int timeout, int mode);

// Closes the handle's connection (removing or detaching its segment) and
// releases it, also when close fails. 0, -1 for a bad handle.
int IpcCloseConnection(IpcHandle handle);
// Shuts a socket down (flags & 3: 1 writing, 2 both, 3 reading; flag 4 sleep
// after, flag 8 sleep before) and, after a write shutdown with a time-out,
// reads and discards what the peer still sends, for at most `timeout`
// seconds in all. 0 or -1; non-socket handles are ignored (0).
int IpcShutdownAndDiscard(IpcHandle handle, int flags, int timeout);
// Shutdown as above when flags or timeout are set, then close and release.
int IpcShutdownAndCloseConnectionEx(IpcHandle handle, int flags, int timeout);
// The same with VEKSHUTDOWNFLAGS (default 1) and VEKSHUTDOWNTIMEOUT (60).
int IpcShutdownAndCloseConnection(IpcHandle handle);
// Closes the socket descriptor only; the entry stays for a reconnect.
int IpcJustCloseSocket(IpcHandle handle);
// Readies an entry whose socket was closed for a new connection. 0 or -1.
int IpcFixHandleForReconnect(IpcHandle handle);

// Socket tuning placeholders: do nothing, return 0.
int IpcSocketSetLinger(IpcHandle handle);
int IpcSocketSetKeepAlive(IpcHandle handle);
int IpcSocketFlush(IpcHandle handle);
int IpcSocketMaxTCPBuffers(IpcHandle handle);

// ---------------------------------------------------------------- load

// Sets the share of the bandwidth a socket write may use: 0 reads
// VEKIPCNETLOADMAX, else VEKIPCNETLOAD overrides the fraction; a value of 1 to
// 100 percent replaces it. 0, or -1 when the result is not in (0, 1].
int IpcSetMaxNetLoad(double fraction);
// After a write of `bytes` on a socket handle with a load share below 1:
// sleeps (1/load - 1) * bytes / (IpcNetBandw * 104857.6) seconds.
void IpcDecreaseLoad(IpcHandle handle, int bytes);
// Sleeps on the process clock (cmn::SleepFor) unless the layer's sleep was
// replaced (IpcSetSleepFunction); resumed after signals.
void IpcSleep(long seconds, long microseconds);

// ---------------------------------------------------------------- handle guard

// Holds a handle a function has taken and gives it back on every way out
// unless released: by IpcCloseConnection, or by `close` (IpcReleaseIpcHandle
// for an entry taken with IpcFindEmptyIpcHandle that never got a
// connection). Move-only; kIpcNoHandle means none.
class IpcHandleGuard {
 public:
  using CloseFn = int (*)(IpcHandle);
  IpcHandleGuard() = default;
  explicit IpcHandleGuard(IpcHandle handle, CloseFn close = IpcCloseConnection)
      : handle_(handle), close_(close) {}
  IpcHandleGuard(IpcHandleGuard&& other) noexcept
      : handle_(other.release()), close_(other.close_) {}
  IpcHandleGuard& operator=(IpcHandleGuard&& other) noexcept {
    if (this != &other) {
      reset();
      close_ = other.close_;
      handle_ = other.release();
    }
    return *this;
  }
  IpcHandleGuard(const IpcHandleGuard&) = delete;
  IpcHandleGuard& operator=(const IpcHandleGuard&) = delete;
  ~IpcHandleGuard() { reset(); }

  IpcHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ >= 0; }
  // Keeps the handle open and hands it to the caller.
  IpcHandle release() {
    const IpcHandle handle = handle_;
    handle_ = kIpcNoHandle;
    return handle;
  }
  // Gives the handle back now.
  void reset() {
    const IpcHandle handle = release();
    if (handle >= 0) close_(handle);
  }

 private:
  IpcHandle handle_ = kIpcNoHandle;
  CloseFn close_ = IpcCloseConnection;
};

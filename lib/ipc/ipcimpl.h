// Private records of the IPC layer: the process's IPC state, one entry per
// handle, and the descriptor-level helpers the layer's sources share.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

#include "ipc/ipc.h"

namespace ipc_detail {

// Trace levels: the layer's flow, each packet, and every wait.
constexpr int kLevel = 40;
constexpr int kLevelData = 41;
constexpr int kLevelSelect = 260;

constexpr std::uint32_t kHeaderMaxSigned = 0x7FFFFFFF;

enum ReceiveState : int { RX_IDLE = 0, RX_HEADER = 1, RX_DATA = 2 };  // IPC_FSM_NO_RECEIVE = 0
// TX_PARTS: a message packet and a data packet written together.
enum SendState : int { TX_IDLE = 0, TX_HEADER = 1, TX_DATA = 2, TX_PARTS = 3 };

struct AsyncReceive {
  int state = RX_IDLE;
  int lastRead = 0;
  int received = 0;  // data bytes received so far
  int expected = 0;  // bytes still expected in this state
  int room = 0;      // room left in a caller's buffer
  char* target = nullptr;
  char* buffer = nullptr;  // the caller's buffer; null = the receive message
  int size = 0;            // its size
  unsigned char header[kIpcHeaderSize] = {};
  // The wait already tried this receive once without polling.
  bool tried = false;
};

// Room for several small packets (acknowledgements, buffer numbers) at once;
// small enough that copying out what a large packet's first read brought
// costs nothing worth counting.
inline constexpr int kReadAheadSize = 1024;

struct ReadAhead {
  int start = 0;
  int end = 0;
  // Bytes behind `end` that a look (MSG_PEEK) found on a socket and that
  // are still there, at the head of what the socket holds: the next packet's
  // length word and whatever came with it.
  int seen = 0;
  // Bytes at the head of the socket already handed out from `seen` (the
  // length word of the packet being received): the next read drops them
  // first, so that a packet's length word and its data are one receive.
  int skip = 0;
  // Set by a receive about to read a fresh length word: the largest packet
  // it accepts (-1: no read ahead). A socket then reads past the length
  // word only when its packet is accepted, so that a refused packet's data
  // stay on the connection.
  std::int64_t limit = -1;
  // The last read filled all the room: more bytes may be waiting.
  bool full = false;
  // A poll found the descriptor readable and it has not been read since.
  bool polledReadable = false;
  char bytes[kReadAheadSize];
  int held() const { return end - start; }
};

struct ModeNote {
  int fd = -1;
  bool switched = false;  // by the layer, not by the descriptor's owner
};

struct AsyncSend {
  int state = TX_IDLE;
  int lastWritten = 0;
  int sent = 0;       // data bytes sent so far
  int remaining = 0;  // bytes still to write in this state
  int dataSize = 0;   // above 0 while a send is pending
  const char* source = nullptr;
  const char* data = nullptr;  // the data part of a long packet
  unsigned char header[kIpcHeaderSize] = {};
  // The wait already tried this send once without polling.
  bool tried = false;
  // TX_PARTS: what is left to write, from parts[part] on.
  iovec parts[3] = {};
  int partCount = 0;
  int part = 0;
};

}  // namespace ipc_detail

struct IpcEntry {
  IpcEntry();
  ~IpcEntry();
  IpcEntry(const IpcEntry&) = delete;
  IpcEntry& operator=(const IpcEntry&) = delete;

  int type = IPC_TYPE_NONE;
  int locality = -1;  // -1 unknown, 0 this host, 1 remote
  StrMsg* sendMsg = nullptr;
  StrMsg* receiveMsg = nullptr;
  int readFd = -1;
  int writeFd = -1;
  sockaddr_in peer{};
  char connectionIp[kIpcHostNameSize] = {};
  int lastEvent = IPC_EVENT_NONE;
  ipc_detail::AsyncReceive rx;
  ipc_detail::AsyncSend tx;
  unsigned char receiveHeader[kIpcHeaderSize] = {};
  unsigned char sendHeader[kIpcHeaderSize] = {};
  unsigned char pack[kIpcPackSize] = {};
  // Shared memory.
  int shmAttached = 0;
  int shmOwner = 0;
  pid_t shmCreator = 0;  // a forked child inherits the flag, not the ownership
  int shmSize = 0;
  int shmId = -1;
  void* shmAddress = nullptr;
  int shmKey = 0;
  // Pipe pair: side 1 both ends, 2 parent, 3 child.
  int pipeSide = 0;
  int pipeA[2] = {-1, -1};
  int pipeB[2] = {-1, -1};
  int pipeRead = -1;
  int pipeWrite = -1;
  int waitRead = -1;
  int waitWrite = -1;
  unsigned flags = 0;
  StrMsg* peekedMsg = nullptr;  // the message holding the peeked packet
  // Set once a descriptor of a socket handle turned out not to be a socket
  // (an attached pipe): plain read and write are used from then on.
  bool plainDescriptor = false;
  // The read and write descriptors found or made non-blocking for good (a
  // blocking call waits on them with poll instead).
  ipc_detail::ModeNote nonBlocking[2];
  // The receive time-out (SO_RCVTIMEO, ms; 0 none) a wait that looks at the
  // socket set on it, so that it is set again only when it changes.
  long receiveTimeoutMs = 0;
  // Bytes read ahead of the packet being received: a small packet's header
  // and body, and often the packets behind it, come in one read. Every read
  // of the handle takes from here first, and every wait treats a handle
  // with bytes here as readable.
  ipc_detail::ReadAhead ahead;
};

struct IpcInstance {
  std::array<std::unique_ptr<IpcEntry>, kIpcMaxHandles> table;
  int inUse = 0;
  int highWater = 0;  // one more than the highest handle in use
  unsigned listenPort = kIpcNoPort;
  int listenSocket = -1;
  int lastEvent = IPC_EVENT_NONE;
  int lastEventHandle = -1;
  int lastIncoming = 0;
  double load = 1.0;
};

// The entry of a handle in use; null (EIPCBADHANDLE, last event -1) otherwise.
IpcEntry* IpcGetEntry(IpcHandle handle, const char* caller);

// One transfer of `count` bytes; results as in the callers' contracts.
int ipcI_sendPacket(IpcHandle handle, int descriptor, const void* bytes, int count, int timeout,
                    const char* caller);
// Reads `count` bytes (with flags bit 1 returns after the first read). count,
// the first read's size, 0 when the peer closed, -1 on failure.
int ipcI_receivePacket(IpcHandle handle, int descriptor, void* buffer, int count, int timeout,
                       int flags, const char* caller);

namespace ipc_detail {

using Clock = std::chrono::steady_clock;

inline void PutHeader(unsigned char* out, std::uint32_t length) {
  out[0] = static_cast<unsigned char>(length >> 24);
  out[1] = static_cast<unsigned char>(length >> 16);
  out[2] = static_cast<unsigned char>(length >> 8);
  out[3] = static_cast<unsigned char>(length);
}

inline std::uint32_t GetHeader(const unsigned char* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

// The descriptors packets travel on: the socket, or the pipe ends this side
// uses; -1 for other types.
int ReadDescriptor(const IpcEntry& entry);
int WriteDescriptor(const IpcEntry& entry);

// One read or write. Socket handles use recv/send (never SIGPIPE; with
// `dontWait` never blocking); other descriptors are switched to non-blocking
// mode once and use plain read/write, a write to a pipe whose reader is gone
// failing with EPIPE and leaving no SIGPIPE behind. A blocking call on them
// that meets EAGAIN waits for the descriptor itself. A read takes the bytes
// read ahead first; a small read with none held reads ahead as far as there
// is room: on a socket only whole packets behind a length word that
// `ahead.limit` accepts, the first one up to that limit and the others small.
ssize_t ReadSome(IpcEntry& entry, int fd, void* buffer, std::size_t count, bool dontWait);
ssize_t WriteSome(IpcEntry& entry, int fd, const void* bytes, std::size_t count, bool dontWait);
// WriteSome of a packet header and the start of its data: one call on a
// socket or pipe, so that a long packet does not go out as a tiny segment
// and a wake-up of its reader first. The bytes written count the header
// first.
ssize_t WriteSomeWithHeader(IpcEntry& entry, int fd, const void* header, std::size_t headerCount,
                            const void* data, std::size_t dataCount, bool dontWait);

// One gathering write of `count` parts: sendmsg on a socket, writev
// elsewhere, with WriteSome's rules.
ssize_t WriteParts(IpcEntry& entry, int fd, iovec* parts, int count, bool dontWait);

// True when a wait must treat the handle as readable without polling: bytes
// are read ahead.
inline bool HoldsBytes(const IpcEntry& entry) {
  return entry.ahead.held() > 0;
}

// True when the layer knows that the handle's next read finds bytes without
// waiting: bytes read ahead, or bytes a look found still on the socket.
inline bool KnowsBytes(const IpcEntry& entry) {
  return entry.ahead.held() > 0 || entry.ahead.seen > 0;
}

// Drops the length word a refused packet's receive took from `seen` and that
// is still on the socket, so that the packet's data come next on it.
void DropHandedOut(IpcEntry& entry);

// Waits up to `ms` (-1 without limit, 0 not at all) for bytes on a socket
// handle by looking at them (MSG_PEEK; the bytes stay on the socket and are
// noted in `seen`), so that the receive that follows needs no look of its
// own. 1 when the handle is readable (bytes there, the peer gone or an
// error for the receive to find), 0 after the time-out, -1 on failure
// (errno set, as poll's), -2 when the handle must be waited for with poll.
int LookForBytes(IpcEntry& entry, int fd, int ms);

// Puts back the mode of the descriptors the entry switched to non-blocking,
// for a caller who takes them over.
void RestoreBlocking(IpcEntry& entry);

// Blocks SIGPIPE in a process that owns its signals (once), or does nothing
// in a host process; IpcExit puts the mask back through the second call.
void HoldSigPipe();
void ReleaseSigPipe();

// A time-out in seconds as poll's milliseconds: -1 (no limit) for a negative
// one; one too large for poll waits as long as poll can.
inline int PollMs(int seconds) {
  if (seconds < 0) return -1;
  return seconds >= INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

// Milliseconds left of `timeout` seconds started at `start`; 0 when over.
long RemainingMs(Clock::time_point start, int timeout);

// What is left of a wait of `ms` milliseconds started at `start`: `ms`
// itself when it is not positive (-1 for ever, 0 for no wait), else 0 when
// over.
long LeftOfWait(Clock::time_point start, long ms);

// Waits for one descriptor (events POLLIN or POLLOUT) at most `ms`
// milliseconds: 1 ready, 0 not, -1 failed (errno set).
// An interruption does not end the wait when every handler of the process
// restarts what it interrupts (which of them ran is not known), just as it
// would not end the blocking call the wait stands for.
int WaitDescriptor(int fd, short events, long ms, const char* caller);

// True when every signal the process catches, but for the faults a thread
// raises on itself, has a handler installed with SA_RESTART.
bool HandlersRestart();

// Every pause of the layer.
void Sleep(long seconds, long microseconds);

// True for an address in 127.0.0.0/8 (network order).
bool IsLoopback(in_addr_t address);

// Closes a descriptor and sets it to -1; -1 stays. The close result.
int CloseFd(int& fd);

// Lets the small writes of the entry's socket leave at once (TCP_NODELAY).
// A request, its data message and its data go out as separate small writes;
// held back until the peer acknowledges, each would wait for the peer's
// delayed acknowledgement. A descriptor that is no TCP socket is left as it
// is; errno and the error state stay.
void SendSmallWritesAtOnce(const IpcEntry& entry);

// The settings every connected socket of the layer gets: linger, keep-alive,
// the largest TCP buffers and SendSmallWritesAtOnce.
void TuneSocket(IpcHandle handle, const IpcEntry& entry);

// True when this very process created the entry's segment.
bool OwnsSegment(const IpcEntry& entry);

// Marks segment `id` for removal when the process that made it has ended (a
// media agent killed mid-stream): nobody else knows it then, and it would
// outlive every process. It goes with the last process still attached, the
// dead maker's own mapping included, which the kernel may drop later than the
// maker's connections. A maker that is ending or a zombie counts as ended; a
// pid in use again keeps the segment. Safe in a signal handler.
void RemoveIfOrphaned(int id);

// Removes (owner) or detaches a segment without marking errors, removing an
// orphaned one (RemoveIfOrphaned); used where the layer gives up a handle
// wholesale.
void DropShmem(IpcEntry& entry);

// Accepts a pending connection on the listen socket into a new handle
// (event 5); -1 on failure. `lookupPeer` names the peer in the trace.
IpcHandle AcceptNew(const char* caller, bool lookupPeer);

// Poll results that make a read or a write worth trying (it then reports
// the end of the connection or the error).
constexpr short kReadable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
constexpr short kWritable = POLLOUT | POLLHUP | POLLERR | POLLNVAL;

// The entry of a handle with no asynchronous send (receive) pending; null
// with EIPCSENDPENDING (EIPCRECVPENDING) or EIPCBADHANDLE marked.
IpcEntry* IdleSendEntry(IpcHandle handle, const char* caller);
IpcEntry* IdleReceiveEntry(IpcHandle handle, const char* caller);
// The entry of a socket handle; null with EIPCNOTSOCKET marked for others.
IpcEntry* SocketEntry(IpcHandle handle, const char* caller);

// The descriptors one wait of the layer polls: per handle at most one read
// and one write slot (a single slot when both are the same descriptor), and
// the listen socket. Reused from round to round through clear().
class PollSet {
 public:
  PollSet() { clear(); }
  void clear();
  void watchRead(IpcHandle handle, int fd);
  void watchWrite(IpcHandle handle, int fd);
  void watchListen(int fd);

  enum class Outcome {
    kFailed,      // the event is recorded; the caller returns -1
    kConnection,  // the listen socket is ready
    kHandles,     // look at readable() and writable()
  };
  // Polls the set at most `timeout` seconds (negative without limit). Fails
  // at once (EIPCNOEVENT) when there is nothing to poll and no time limit;
  // a failed poll or a time-out is recorded as WaitGaveNothing does.
  Outcome wait(int timeout, const char* caller);
  // Polls without waiting, for a wait that already has a handle to serve:
  // nothing ready is no failure here, and nothing is recorded.
  Outcome glance(const char* caller);

  // After wait: the handle's read or write slot reported readiness.
  bool readable(IpcHandle handle) const;
  bool writable(IpcHandle handle) const;

 private:
  std::vector<pollfd> fds_;
  std::array<int, kIpcMaxHandles> read_;
  std::array<int, kIpcMaxHandles> write_;
  int listen_ = -1;
};

// What a FairScan callback returns for a handle it passes over.
constexpr int kPassOver = -2;

// Offers the handles below `top` to `serve` in fair turns: starting after
// the handle that answered last (instance.lastIncoming, pulled below `top`)
// and wrapping round. The first result of `serve` other than kPassOver, or
// kPassOver when every handle was passed over. Recording the handle that
// answered is up to `serve`.
template <typename Serve>
int FairScan(IpcInstance& instance, int top, Serve&& serve) {
  if (instance.lastIncoming >= top) instance.lastIncoming = top - 1;
  const int last = instance.lastIncoming;
  for (int step = 1; step <= top; ++step) {
    const int result = serve((last + step) % top);
    if (result != kPassOver) return result;
  }
  return kPassOver;
}

// For the result of IpcSelectM: true when the wait gave nothing to serve,
// after recording the process's event (-1 and EIPCSELECT for a failure, -2
// for a time-out).
bool WaitGaveNothing(int result, const char* caller);
// For a wait with nothing to serve: marks EIPCNOEVENT, records the process's
// error event and returns -1.
int NoEvent(const char* caller);

// This machine's addresses from its own name; empty (EIPCRESOLVE marked)
// when that does not resolve.
std::vector<in_addr_t> OwnAddresses();
// The IPv4 addresses of a host entry, in network order.
std::vector<in_addr_t> HostAddresses(const hostent* entry);

// The bytes a send takes: `data`, or when null the handle's send message
// (its text and final NUL; *length is set). Null (EIPCPACKET) without one.
const char* SendSource(const IpcEntry& entry, const void* data, int* length, const char* caller);

// Traces and marks (EIPCPACKET) a refused length word.
void RefuseHeader(const unsigned char* header, std::int64_t length, const char* caller);

// Checks a length word just read and decides where its data go: the caller's
// `buffer` of `size` bytes (NULs written behind the data as far as it
// reaches) or, when null, the entry's receive message (grown; two NULs
// behind). The length, or -1 (EIPCPACKET marked; nothing of the data read).
int PlacePacket(IpcEntry& entry, const unsigned char* header, char* buffer, int size, bool async,
                char** target, const char* caller);

// "%u.%u.%u.%u" of an address in network order, into `out` (16 bytes).
void DottedAddress(in_addr_t address, char* out, std::size_t size);

}  // namespace ipc_detail

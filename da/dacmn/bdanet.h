// The backup network process: the child that carries the blocks of a backup
// stream from the shared segment to a remote media agent (or to a file),
// passes the agent's acknowledgements back to its parent, keeps an idle link
// alive and reconnects after a broken link without losing or repeating a
// block.
//
// Reports of the process reach the parent over the pipe: MSG_MSG (a report
// line) or MSG_MSGFMT (a packed catalogue message) with the line exactly as
// the error layer handed it to the report hook as the one item, and MSG_CON
// with a console text as the one item. The parent passes the item on
// unchanged (ErhFullReport at level -1, or ErhToConsole).
#pragma once

#include "cmn/sysio.h"
#include "dacmn/dacmn.h"
#include "dacmn/dashm.h"
#include "dacmn/idring.h"

// Messages between a network process and a media agent, beside those of
// dacmn.h.
enum DaAgentMsgId : int {
  MSG_CLOSE = 28,              // restore: end of an object
  MSG_PROBE = 1050,            // keeps an idle link to a remote agent alive
  MSG_DAMA_RECONNECT = 1051,   // "%d" DA id: which stream resumes
  MSG_MA_BUFFER_STATE = 1052,  // "%d%d" the agent's block and acknowledgement counters
};

// Seconds without an event after which a remote agent gets MSG_PROBE.
inline constexpr int kNetProbeSeconds = 120;
// Replaces those seconds for the backup network processes this process
// starts from now on (tests shorten them); a value below 1 changes nothing.
// Returns the previous value.
int NetSetProbeSeconds(int seconds);

// A first-in first-out queue of buffer ids (NetClrID, NetEmptyID, NetPutID,
// NetGetID in dacmn/idring.h).
using IdRing = IdRingOf<kBmMaxBuffers>;

// Puts the `diff` acknowledgements that the agent sent but that never
// arrived: buffers are acknowledged in the order 0, 1, ..., count - 1, 0, ...,
// so the ids following `lastAcked` (-1 when none was acknowledged yet). 1, or
// -1 (nothing put) when diff is negative or the ring cannot take them all.
int NetFwdAck(IdRing* ring, int diff, int bufferCount, int lastAcked);
// Makes the last `diff` ids taken from the ring due again. 1, or -1 (ring
// unchanged) when diff is negative or the ring would hold more than 64.
int NetRewData(IdRing* ring, int diff);

// What a reconnection needs and updates.
struct DaNetLink {
  IpcHandle maHandle;  // the connection to the agent; replaced by a new one
  IdRing* maRing;      // filled buffers not yet sent
  IdRing* ackRing;     // acknowledgements not yet passed to the parent
  int blockCounter;    // headers sent, modulo 2 x bufferCount
  int ackCounter;      // acknowledgements received, modulo 2 x bufferCount
  int lastAcked;       // last acknowledged buffer id, -1 none
  int outstanding;     // buffers sent and not acknowledged
  int bufferCount;
  int bufferSize;  // the resumed stream must keep the geometry
  int bufferOffset;
};
// When reconnecting after a link failure now gives up: 600 seconds from now
// on the process clock, or VEKRECONNECT_RETRY seconds when that is set to a
// non-zero integer. One deadline serves every attempt of one outage.
cmn::Clock::TimePoint NetReconnectDeadline();
// How an attempt to resume the stream over a new connection ended.
enum class Reconnect {
  // The link is updated; acknowledgements lost with the old link are on the
  // acknowledgement ring and blocks the agent did not store are due again.
  kDone,
  // Try again.
  kRetry,
  // Give up: the deadline passed, an unexpected answer, or a resumed stream
  // with another geometry or counters that do not fit.
  kGiveUp,
  // The new connection cannot be used (reported): the process should end
  // with DA_NET_EXIT_IPC.
  kUnusable,
};
// Connects to the agent again, trying every 10 seconds until `deadline`, and
// resumes the stream.
Reconnect ReconnectDAMA(DaNetLink* link, cmn::Clock::TimePoint deadline);
// ReconnectDAMA's exchange on a new connection `handle` (already in
// link->maHandle): MSG_LISTEN with the same geometry, MSG_DAMA_RECONNECT,
// MSG_MA_BUFFER_STATE.
Reconnect ResumeDAMA(DaNetLink* link, IpcHandle handle);

enum class MessageWait { kReceived, kClosed, kFailed };
// Waits up to `timeout` seconds for a message on `handle` and receives it
// into the handle's receive message; kFailed also when the time is out.
MessageWait WaitForMessage(IpcHandle handle, int timeout);

// Report and console hooks of the process: the text goes to the parent.
void NetReportHook(const char* message);
void NetConsoleHook(const char* message);

// The body of the backup network process (VEK_CreateBDANetIO runs it; it is
// installed by default). Ends the process through BdaNetExit.
void NetMain();
// The file variant: writes every filled buffer to `path`, synced at the end.
// Ends the process through BdaNetExit.
void NetMainFile(const char* path);

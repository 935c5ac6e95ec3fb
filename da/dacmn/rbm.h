// Restore buffer manager: the media side (a media agent on this host, or the
// restore network process for a remote agent or a file) fills shared-memory
// buffers with the blocks of a stored stream and announces each by id; the
// manager checks every block, hands its records out one by one and returns
// each buffer, once read, by acknowledging its id.
#pragma once

#include <cstdint>

#include "dacmn/dacmn.h"

// States of RbmEventLoop.
enum RbmLoopState : int {
  RBM_STATE_INIT = 0,     // waiting for the network process's MSG_LISTEN
  RBM_STATE_RUN = 1,      // reading: MSG_DATA announces filled buffers
  RBM_STATE_STOP = 2,     // waiting for the media side's MSG_STOP
  RBM_STATE_DISCONN = 4,  // object closed: waiting for MSG_LISTEN after MSG_OPEN
  RBM_STATE_RESUME = 5    // waiting for the session manager's MSG_RESUME
};
// Results of RbmEventLoop.
enum RbmLoopResult : int {
  RBM_GO_ON = 1,    // a time-out, a queued buffer, or MSG_LISTEN received
  RBM_STOPPED = 2,  // MSG_STOP
  RBM_FAILED = 3,   // abort, protocol or IPC failure (reported)
  RBM_RESUMED = 4   // MSG_RESUME from the session manager
};

// Session-manager messages of the restore stream beside MSG_ABORT.
inline constexpr int kRbmMsgReset = 41;   // to the session manager: next object
inline constexpr int kRbmMsgResume = 44;  // from it: go on

// Opens the restore stream of `daId` and takes its first block; 1 on
// success, 0 after a report. The first five arguments start the common
// library of a network process (CmnInit's additional id, ranges, postfix,
// select and report level). A media agent on this host (see DaChooseNetIO
// with DA_RESTORE) is read directly from its shared memory; otherwise a
// network process is forked (VEK_CreateRDANetIO) and announces its segment
// with MSG_LISTEN. `smHandle` (-1: none) is watched while waiting; its
// messages are received into `smBuffer` (kDaSmBufferSize bytes, the
// caller's; null: the handle's own message); the restore stream takes only
// MSG_ABORT and MSG_RESUME from it, anything else (MSG_STOP included) fails
// the stream. `filePath` (null: none) reads the stream from a file through
// the network process. Buffer i of the segment lies at buffer size x i,
// whatever the section (unlike the backup side, where the section's rings of
// buffers come first).
int RbmInit(const char* additionalId, const char* ranges, const char* postfix, const char* select,
            int reportLevel, int waitForStop, IpcHandle smHandle, char* smBuffer, int daId,
            const char* maHost, int maPort, const char* filePath, double netLoad);

// The next record in host order, checked (its length is the header's), or
// null at a failure (reported). Blocks are converted in place in the shared
// buffer. Valid until the next call. Repeated blocks and repeated records are
// skipped; once a read failed, every further read of the object fails too.
std::uint8_t* RbmRead();

enum class RbmBlock { kUsable, kRepeated, kFailed };
// Takes the next filled buffer as current block: usable, a repeated block to
// be skipped, or a failure. The block is held (and must be acknowledged) in
// every case; a failure also while a block is already held.
// A filled-buffer id outside the stream's buffers, or one that is already
// queued or held, fails the stream (reported) before anything is read.
RbmBlock RbmGetBlock();
// Acknowledges the current block to the media side. 1, or 0.
int RbmPutBlock();

// Ends the stream: 0 for an orderly stop (MSG_STOP), non-zero to abort. A
// block still held is acknowledged first; when that fails the end becomes an
// abort. A network process is awaited for its MSG_STOP. 1 when the stream
// ended with a stop (and the network process's answer), else 0.
int RbmExit(int abortCode);

// Ends the current object on the media side (MSG_CLOSE; with a session
// manager, message 41 and its MSG_RESUME) and opens the stream again for the
// next object, keeping a network process; the object's buffers, filled or
// held, are given up unread. 1 with the first block taken, or 0.
int RbmReset();

// One round of waiting on the session-manager and media-side handles (and no
// other: the process may hold further links, a catalogue session say) and
// handling what arrives; an RbmLoopResult.
int RbmEventLoop(int state);

// The last event-loop result.
int RdaState();

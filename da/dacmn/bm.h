// Backup buffer manager: records are assembled into blocks straight in the
// media side's shared-memory buffers, and each full block is handed over by
// buffer id to a local media agent or to the network process.
#pragma once

#include <cstdint>

#include "dacmn/dacmn.h"
#include "dacmn/dashm.h"  // BmShmDescription and its checks, shared with the restore side
#include "parse/cmnvec.h"

// States of BmEventLoop.
enum BmLoopState : int {
  BM_STATE_INIT = 0,    // waiting for the network process's MSG_LISTEN
  BM_STATE_RUN = 1,     // streaming: acknowledgements bring buffers back
  BM_STATE_STOP = 2,    // waiting for the end
  BM_STATE_DISCONN = 4  // media side closed; waiting for the session manager's stop
};
// Results of BmEventLoop.
enum BmLoopResult : int {
  BM_GO_ON = 1,    // a time-out, or MSG_LISTEN received
  BM_STOPPED = 2,  // MSG_STOP from either side
  BM_FAILED = 3    // abort, protocol or IPC failure (reported)
};

// Opens the backup stream of `daId` and takes the first block; 1 on
// success, 0 after a report. The first five arguments start the common
// library of a network process (CmnInit's additional id, ranges, postfix,
// select and report level). A media agent on this host (see DaChooseNetIO)
// is connected directly and its shared memory attached; otherwise a network
// process is forked and announces its segment with MSG_LISTEN. `smHandle`
// (-1: none) is watched while waiting, so that the session manager's abort
// or stop ends the stream; its messages are received into `smBuffer`
// (kDaSmBufferSize bytes, the caller's; null: the handle's own message).
// `filePath` (null: none) sends the stream to a file through the network
// process. A non-empty `zeroCopyName` opens a local stream for BmAllocShm.
// The entries of `options` (null or empty: none) travel in MSG_OPEN.
// While open, the stream's block writer is installed for the record writers
// (RmSetBlockWriter); BmExit puts the previous one back.
int BmInit(const char* additionalId, const char* ranges, const char* postfix, const char* select,
           int reportLevel, int waitForStop, IpcHandle smHandle, char* smBuffer, int daId,
           const char* maHost, int maPort, const char* filePath, double netLoad,
           const char* zeroCopyName, const char* zeroCopyString, const CmnVec* options);

// The buffer size and the bytes in front of a block's first record (the
// buffer offset rounded up to 8, plus the block header). 1, or 0 with both
// set to 0 when no stream is open.
int BmGetParams(int* bufSize, int* headRoom);

// Reserves room for one record of `wanted` bytes (at least `minimum`) in the
// current block, sending a block with too little room first. The record's
// address with the room in *granted, or null (reported).
std::uint8_t* BmAlloc(std::uint32_t wanted, std::uint32_t minimum, std::uint32_t* granted);
// Commits the record of `length` bytes at the address BmAlloc returned. 1 or 0.
int BmWrite(std::uint32_t length);

// Zero copy: `callerBuffer`, a whole buffer of the local agent's segment that
// the caller fills itself, becomes the current block (a block with records
// is sent first). Returns where its first record goes and the room in *room;
// null without a current block or for a buffer outside the segment.
std::uint8_t* BmAllocShm(char* callerBuffer, unsigned callerId, std::uint32_t* room);

// Takes the next free buffer as current block, waiting for an
// acknowledgement when all are out. 1 or 0.
int BmGetBlock();
// Sends the current block. 0 without one or when the send failed (reported).
int BmPutBlock();

// Sends what is left (an empty current block goes back unsent) and waits
// until every buffer has been acknowledged. 1 when all came back; there is no
// current block afterwards.
int BmFlush();

// Ends the stream: MSG_STOP when the last BmFlush brought every buffer back
// and nothing was written since, else MSG_ABORT, so that the media side never
// keeps an incomplete stream as complete. With the wait-for-stop flag and
// `doNotWait` 0 it then waits for the session manager's MSG_STOP. 1 when the
// stream ended with MSG_STOP (and the stop came); also 1 without a stream.
int BmExit(int doNotWait);

// One round of waiting on the session-manager and media-side handles (and no
// other) and handling what arrives; a BmLoopResult.
int BmEventLoop(int state);

// The stream's record sequence number, for record writers of other modules;
// null without a stream.
std::uint32_t* BmRecSeqNo();

// Sets the IPC abort switch and returns its previous value. The event loop
// waits on its two handles only, so the switch is kept for its callers but
// no other handle can reach the loop.
int BdaIPCAbortSwitch(int value);

// How the event loop receives from the session manager: like IpcReceiveData
// into `buffer` (null: the handle's receive message), or -2 when the link was
// re-established and the caller must wait for the next message, -3 when it
// was lost for good. Reconnection installs its own; null restores the plain
// receive. Returns the previous function.
using BmSmReceiveFn = int (*)(IpcHandle handle, char* buffer, int capacity);
BmSmReceiveFn BmSetSmReceive(BmSmReceiveFn receive);

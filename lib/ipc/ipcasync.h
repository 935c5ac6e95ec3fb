// IPC that never blocks on one peer: asynchronous packets driven by one event
// wait, System V shared memory, pipe pairs to a forked child, SIGINT clean-up.
#pragma once

#include "ipc/ipc.h"

// ---------------------------------------------------------------- asynchronous transfer

// Arms a receive of one packet into `buffer` (`size` >= 1 bytes), or with a
// null buffer into the handle's receive message. `buffer` must stay alive
// until the receive ends. 0, or -1 (EIPCRECVPENDING, EIPCPACKET).
int IpcReceiveAsync(IpcHandle handle, void* buffer, int size);
// Arms a send of one packet of `length` >= 1 bytes; null data sends the
// handle's send message. Packets above kIpcPackMax bytes are written from
// `data` itself, which must stay unchanged until the send completes.
// 0, or -1 (EIPCSENDPENDING, EIPCPACKET).
int IpcSendAsync(IpcHandle handle, const void* data, int length);
int IpcSendStrMsgAsync(IpcHandle handle);
int IpcSendStrMsgAsyncL(IpcHandle handle, StrMsg* msg);
// Arms a send of two packets: the handle's send message (at most kIpcPackMax
// bytes with its NUL), then `length` >= 1 bytes of `data`, written together
// as far as the descriptor takes them and reported as one send; `data` must
// stay unchanged until it completes. 0, or -1 (EIPCSENDPENDING, EIPCPACKET).
int IpcSendStrMsgAndDataAsync(IpcHandle handle, const void* data, int length);
// 1 when the machine is idle, 0 busy, -1 bad handle.
int IpcCanReceiveAsync(IpcHandle handle);
int IpcCanSendAsync(IpcHandle handle);
// One step of the machine, for a ready descriptor. The handle when the
// transfer ended (its event says how: 3 or 4 done, 6 peer closed, -1 error),
// -2 while it goes on, -1 for an unknown state. A packet of length 0 completes
// as an empty message.
int IpcReceiveAsyncCallBack(IpcHandle handle);
int IpcSendAsyncCallBack(IpcHandle handle);
// Accepts a pending connection: the new handle (event 5) or -1.
IpcHandle IpcAcceptAsyncCallBack();
// Drives every armed machine and the listen socket until one transfer ends or
// a connection is accepted (timeout in seconds, negative without limit; it
// starts again after each round of partial progress). The handle, or -1 on
// failure or time-out (last event -1 or -2).
IpcHandle IpcWaitForAsyncIpcEvent(int timeout);
// Completes a pending send: 1 once none is pending, -1 when it failed or a
// wait for writability timed out.
int IpcFlushAsyncHandle(IpcHandle handle, int timeout);

// ---------------------------------------------------------------- shared memory
// Segments created here are readable and writable by their owner only. On
// entry *address is the wanted attach address (null: any); on success it is
// the address attached. The segment stays attached until IpcDetachShmem,
// IpcFreeShmem or IpcCloseConnection.

// Creates a segment of `size` bytes under the next free key and attaches it.
// 0 or -1 (EIPCSHMCREATE, EIPCSHMATTACH).
int IpcAllocShmem(IpcHandle handle, void** address, int size);
// Attaches the segment of `key`, waiting up to 100 s for it to appear.
// 0 or -1 (EIPCSHMATTACH).
int IpcAttachShmem(IpcHandle handle, int key, void** address, int size);
// Detaches; IpcFreeShmem also removes a segment this process created.
// 0 or -1 (EIPCSHMNONE, EIPCSHMFREE, EIPCNOEVENT).
int IpcDetachShmem(IpcHandle handle);
int IpcFreeShmem(IpcHandle handle);
// The attached segment's key, or -1 (EIPCSHMNONE).
int IpcGetShmemKey(IpcHandle handle);

// ---------------------------------------------------------------- pipes

// Two pipes on a new handle, for a parent and the child it forks next; after
// the fork each side calls its Prepare function and then uses the same
// handle for packets. A new handle or -1 (EIPCPIPE1, EIPCPIPE2).
IpcHandle IpcOpenPipes();
int IpcPrepareParentPipesAfterFork(IpcHandle handle);
int IpcPrepareChildPipesAfterFork(IpcHandle handle);
// Closes the ends this side holds and releases the handle. 0 or -1.
int IpcClosePipes(IpcHandle handle);
// Hands the two ends this side uses (after a Prepare call) to the caller, who
// then owns and closes them, and releases the handle without closing them.
// A child that restarts the layer keeps its pipe pair this way; the ends go
// back to blocking mode. 0, or -1 (EIPCNOTPIPE for a handle that is no
// prepared pipe pair, EIPCRECVPENDING while it holds bytes already read).
int IpcTakePipeEnds(IpcHandle handle, int* readFd, int* writeFd);
// A pipe handle over two ends taken with IpcTakePipeEnds; the handle owns them
// from now on, also when this call fails. A new handle or -1 (EIPCBADFDS).
IpcHandle IpcAttachPipes(int readFd, int writeFd);

// ---------------------------------------------------------------- SIGINT

// Installs IpcIntrCleanup for SIGINT, keeping the old action and `callback`
// (may be null). The handler writes "IPC - SIGINT caught! Exiting...", closes
// every descriptor of the layer and removes the segments it created, then
// calls the callback: without one, or when it returns non-zero, the process
// ends with status 1. The callback runs inside a signal handler. The memory
// of the layer is released by the next IpcExit.
void IpcInstallSigIntr(int (*callback)());
void IpcRestoreSigIntr();
void IpcIntrCleanup(int signal);

// The restore network process: the child that receives the blocks of a
// stored stream from a remote media agent (or reads them from a file) into
// the segment it shares with the restore buffer manager, announces each
// filled buffer to its parent and passes the parent's acknowledgements back
// to the agent. It serves one object after another: MSG_CLOSE from the
// parent ends an object, MSG_OPEN connects again for the next.
//
// Reports reach the parent over the pipe as those of the backup network
// process do (dacmn/bdanet.h).
//
// Buffer i of a segment lies at base + buffer size x i for a local and a
// remote agent alike, whatever section the agent describes (a remote agent's
// bytes for buffer i land there too); the file variant announces section 0.
// A buffer belongs to the agent until it has been announced to the parent and
// to the parent until the parent releases it; an announcement or a release
// that breaks this ends the process with DA_NET_EXIT_IPC after a report.
// From a file, the buffers are the file's contents one buffer size after the
// other (the last may be partial); when the file has ended while the parent
// holds no buffer and asks for no stop, the parent gets MSG_ABORT after a
// report instead of waiting for ever.
#pragma once

#include "dacmn/bdanet.h"
#include "dacmn/dacmn.h"
#include "dacmn/idring.h"

// Ids a restore ring holds.
inline constexpr int kRNetRingSlots = 256;
using RIdRing = IdRingOf<kRNetRingSlots>;

// Buffer size and count of the file variant unless VEKDABLOCKSIZE
// (8192 .. 1048576) and VEKDABLOCKSPERDA (1 .. 32) replace them.
inline constexpr int kRNetFileBufferSize = 8192;
inline constexpr int kRNetFileBufferCount = 32;
// Seconds the file variant waits, once the file has ended and the parent has
// every buffer back, for the parent's MSG_STOP before it aborts the parent.
inline constexpr int kRNetFileEndSeconds = 3;

// Report and console hooks of the process: the text goes to the parent once
// set-up is complete (DacmnPtd::restoreAsyncReport).
void RNetReportHook(const char* message);
void RNetConsoleHook(const char* message);

// The body of the restore network process (VEK_CreateRDANetIO runs it; it is
// installed by default). Ends the process through RdaNetExit.
void RNetMain();
// The file variant: announces the file's contents buffer by buffer. Ends the
// process through RdaNetExit.
void RNetMainFile(const char* path);

// The restore network process: the child that receives the blocks of a
// stored stream from a remote media agent (or reads them from a file) into
// the segment it shares with the restore buffer manager, announces each
// filled buffer to its parent and passes the parent's acknowledgements back
// to the agent. It serves one object after another: MSG_CLOSE from the
// parent ends an object, MSG_OPEN connects again for the next.
//
// Reports reach the parent over the pipe as those of the backup network
// process do (dacmn/bdanet.h).
#pragma once

#include "dacmn/dacmn.h"

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

// Process start-up and exit, process identity and small process services.
#pragma once

#include "cmn/defines.h"

void CmnSetProgname(const char* name);
const char* CmnGetProgname();
// Additional id of the process (255 characters; empty when none was given).
const char* CmnGetAdditionalId();
// This host's node name (63 characters; "hostname_unknown" until known).
extern char cmnNodename[64];
// Registers an exit handler, unless cmnDefine_NOATEXIT is set.
void CmnSetAtAxit(void (*function)());
// Ends the process with `status`.
void CmnExitProcess(int status);

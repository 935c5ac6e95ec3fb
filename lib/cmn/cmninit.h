// Process start-up and exit, process identity and small process services.
#pragma once

#include "cmn/defines.h"

void CmnSetProgname(const char* name);
const char* CmnGetProgname();
// Registers an exit handler, unless cmnDefine_NOATEXIT is set.
void CmnSetAtAxit(void (*function)());
// Ends the process with `status`.
void CmnExitProcess(int status);

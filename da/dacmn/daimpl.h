// Private constants of the data-path library shared by its sources.
#pragma once

#include <sys/types.h>

#include "cmn/dbg.h"
#include "cmn/nls.h"
#include "dacmn/dacmn.h"
#include "vekdf/damsg.h"

namespace dacmn_detail {

// Trace level of the data path's flow.
constexpr int kLevel = 70;

// The exit trace of a function traced at kLevel whose entry the caller
// traced under the same name: `done(rc)` traces the int result, at the
// caller's source position, and gives it back.
class TracedExit {
 public:
  TracedExit(const char* file, int line, const char* function)
      : file_(file), line_(line), function_(function) {}
  int operator()(int rc) const {
    DbgFcnOutEx(file_, line_, function_, kLevel, "(int) %d", rc);
    return rc;
  }

 private:
  const char* file_;
  int line_;
  const char* function_;
};

// Catalogue sets the data path reports from.
constexpr int kSetError = kNlsSetError;
constexpr int kSetScript = 61;
constexpr int kSetDataPath = kDaMsgSet;

// Set 61: the program of a command cannot be found.
constexpr int kMsgNoProgram = 3005;
// Set 12: negotiation with a local agent failed (reported by the buffer managers).
constexpr int kMsgNegotiation = 16005;

// The fork with which the intermediate process starts a network process
// (fork itself unless replaced); a test puts in one that fails. Returns the
// previous one.
using DaForkFn = pid_t (*)();
DaForkFn DaSetNetProcessFork(DaForkFn fork);

// Replaces the seconds the buffer managers wait for a silent peer (a test
// puts in a short one); 0 restores the default. Returns the previous
// replacement, 0 when there was none.
int DaSetPeerWaitSeconds(int seconds);

// Frees a stream whose context slot is freed while it is open.
void BmFreeStream(BmStream* stream);
void RbmFreeStream(RbmStream* stream);

}  // namespace dacmn_detail

// Private pieces both buffer managers share: their report numbers, the
// opening of a media agent on this host, the attachment of the stream's
// segment and the texts a network process forwards.
#pragma once

#include <string>

#include "cmn/nls.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"
#include "dacmn/dashm.h"
#include "vekdf/damsg.h"

namespace bm_detail {

// The text of kDaMsgNetClosed when the network process's pipe closes before
// its MSG_LISTEN: it could not start (its common library, say) or gave up.
inline constexpr char kNetEndedEarly[] = "the network process ended before it was ready";

// A media agent that connected but says nothing within this many seconds is
// taken as gone.
constexpr int kSetupTimeout = 300;

// Seconds a buffer manager waits without any message on the stream's links
// while a peer owes it one (an acknowledgement, a filled buffer, a stop or a
// resume) before it gives the stream up with a report (set 80, number 1023):
// longer than a live peer stays silent, that is VEKRECONNECT_RETRY (else
// 1200) for a reconnection's retry window, 1200 for a network process's two
// waits on its agent after reconnecting and 120 for a probe interval.
int PeerWaitSeconds();
// The report of a wait that reached PeerWaitSeconds.
void ReportSilentPeer(const char* function, int seconds);
// One wait of a buffer manager's event loop on the stream's session-manager
// and media-side handles (a negative one is left out; with neither the wait
// fails at once): with `poll` a look that does not wait, else a wait of
// PeerWaitSeconds at most. The handle with an event; else -1 with *idle set
// when a look found nothing, or clear after a report under `function`.
IpcHandle WaitOnStream(const char* function, IpcHandle sm, IpcHandle ma, bool poll, bool* idle);

// The error state's text, for the reports that carry one.
std::string ErrorText();
// A set-80 report at severity 3, with or without a text.
void ReportDataPath(const char* function, int number);
void ReportDataPath(const char* function, int number, const std::string& text);
// An internal fault (set 12, number 5) at `line` of the source `rcsId` names;
// the stream is not to be used further.
void ReportInternal(const char* function, const char* rcsId, int line);

// The entry trace of a buffer manager's opening `function` (its DA, agent
// host and port) at `file`:`line` of the caller; the exit trace to match.
dacmn_detail::TracedExit TraceOpening(const char* file, int line, const char* function, int daId,
                                      const char* maHost, int maPort);

// The check at a buffer manager's opening: false, after an internal-fault
// report at `line` of the source `rcsId` names, when a stream is open already
// (`streamOpen`, or a media-side handle in the context).
bool NoStreamOpen(const char* function, const char* rcsId, int line, bool streamOpen,
                  const DacmnPtd* ctx);
// The same check where the shared context `ctx` and the direction's `own`
// (whose `stream` is its open stream) are also looked for: false when either
// is missing, without a report.
template <class Ptd>
bool CanOpen(const char* function, const char* rcsId, int line, const DacmnPtd* ctx,
             const Ptd* own) {
  return ctx != nullptr && own != nullptr &&
         NoStreamOpen(function, rcsId, line, own->stream != nullptr, ctx);
}

// Takes buffer `id`, which the media side gave back or filled, into `queue`
// (traced as `name`). False, after an internal-fault report at `line` of the
// source `rcsId` names, when the queue refuses it.
bool QueueBuffer(const char* function, const char* rcsId, int line, QueRec* queue, const char* name,
                 int id);

// Sends a message without items on `handle`. True when sent.
bool SendBare(IpcHandle handle, int code);

// Keeps the stream's fields in the shared context (a file variant gets port
// -1) and chooses the carrier (DaChooseNetIO) into ctx->netIO. The choice, or
// -1 after a report.
int StoreStreamFields(DacmnPtd* ctx, DaSide side, int waitForStop, IpcHandle smHandle,
                      char* smBuffer, int daId, const char* maHost, int maPort,
                      const char* filePath, double netLoad);

// The code of the message of `length` bytes just received from the session
// manager into `buffer` (null: into the handle's receive message), or -1.
int SessionManagerCode(IpcHandle handle, char* buffer, int length);

// Connects to the media agent on this host (ctx->maHost, ctx->maPort),
// receives its first message, negotiates and reads its shared-memory
// description into *description. On success the connection is
// ctx->maIpcHandle; else nothing is left open and the failure is reported
// (the restore side reports the negotiation's outcome in plain text).
bool OpenLocalAgent(DacmnPtd* ctx, DaSide side, BmShmDescription* description);

// Traces and checks `description` for a stream of `side` and attaches its
// segment on `handle` (at the agent's address when that is free), filling
// *shm with no buffer in hand. A segment that the stream's network process
// made (DacmnPtd::netPid) is marked for removal at once: it goes when both
// sides have let it go, however they end. False after a report (set 80,
// number 1003).
bool AttachSegment(const char* function, DaSide side, IpcHandle handle,
                   const BmShmDescription& description, DaShmBuffers* shm);

// The buffer id a message item names: the whole item a number in
// 0 .. bufNum - 1. False for anything else, a null item included.
bool ParseBufferId(const char* item, int bufNum, int* id);

// What a message both buffer managers treat alike asks of their event loop.
enum class Common {
  kWait,     // go on waiting
  kStopped,  // MSG_STOP from the media side
  kFailed,   // the stream ends, reported
  kOwn,      // not one of them: the buffer manager's own case
};

// A buffer manager's event-loop result for a common case other than kOwn:
// -1 to go on waiting, else its `stopped` or `failed`.
constexpr int LoopResult(Common common, int stopped, int failed) {
  return common == Common::kWait ? -1 : common == Common::kStopped ? stopped : failed;
}

// A message from the session manager (`code` as SessionManagerCode gives
// it), traced as from `peer`: none or MSG_ABORT fail the stream with a
// report under `function`, `known` is kOwn, any other code is reported as
// unknown and fails it.
Common OnSmCode(const char* function, const char* peer, int code, int known);
// A message from the media side (`code` parsed from `msg`): none is reported
// and waited past, MSG_ABORT fails the stream, texts are forwarded
// (ForwardNetText), MSG_STOP stops; kOwn for any other.
Common OnNetCode(const char* function, int code, StrMsg* msg);
// The report of a media-side message neither the common cases nor the
// buffer manager know; the stream fails.
void ReportUnknownNet(const char* function, int code);

// MSG_MSG, MSG_MSGFMT or MSG_CON from the network process, its parse past
// the code: the text goes to the report or the console hook. False for any
// other code.
bool ForwardNetText(const char* function, int code, StrMsg* msg);

}  // namespace bm_detail

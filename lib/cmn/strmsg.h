// Message buffers: the growable record that builds and parses one message of
// the string protocol, the wire format of every IPC string message.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "cmn/defines.h"

// Text form of a message (the wire format), byte by byte:
//   the code in decimal ASCII, NUL;
//   per item: one blank (0x20), the item's text (no NUL inside), NUL;
//   one more NUL.
// Code 15 with the item "abc" is the 9 bytes 31 35 00 20 61 62 63 00 00.
//
// The first eight fields are the record every module knows. The rest is
// bookkeeping that keeps every walk inside the memory it may read; callers
// never touch it.
//
// What every function of this module keeps true of a record:
// - Ownership. `data` was allocated here (safe_malloc) and is freed here
//   exactly when STRMSG_OWNED is set; `rbuf` likewise with STRMSG_ROWNED.
//   Otherwise the block is borrowed: the caller's, never freed or grown here,
//   and it must outlive the record's use of it. A bounced message has
//   data == rbuf; then only rbuf's flag decides, and data is dropped with it.
// - Capacity. `capacity` (`rcapacity`) is what the message may use, not the
//   block's size. A borrowed buffer refuses any request of its capacity or
//   more; an owned one is sized to a size class (DynBufOptimizeSize).
// - Spare bytes. A block allocated here is capacity + 2 bytes long, marked by
//   STRMSG_DATA_SPARE (STRMSG_RBUF_SPARE). The two bytes behind the capacity
//   take the two NULs that close a received packet filling the whole
//   capacity, so that the text stays terminated even in a copy detached from
//   the record. A block from outside has no spare bytes: an owned one is
//   replaced by one of its size class when a packet would leave no room for
//   the NULs inside its capacity; a borrowed one gets them only where they
//   fit.
// - Receiving. With STRMSG_RECEIVE a packet goes into rbuf, else into data,
//   which is then made owned. For each packet the receive buffer gets the
//   size class of the packet's size times dynBufOversize: a block of another
//   class is replaced (the old content is not kept), unless the caller asks
//   to keep the content (DYNBUF_KEEP), when it only grows. A data buffer
//   that is being built only grows, except that a block beyond 100 KB goes
//   back to its size class when a new message starts in it.
// - Bounds. knownText/knownSize name the one text whose readable size is
//   known (the packet just received); parseText/parseEnd bound the parse in
//   progress. A block that is freed, replaced or reused is first forgotten
//   by both, so that no walk reads memory that is gone or stale.
struct StrMsg {
  std::uint32_t flags;
  std::uint32_t capacity;   // allocated bytes of data
  char* data;               // the message being built, or an adopted text
  std::uint32_t length;     // position of the final NUL; the message is length + 1 bytes
  std::uint32_t mark;       // saved length (StrMsgMarkL)
  char* cursor;             // parse position; null when no parse is active
  char* rbuf;               // received message, or null
  std::uint32_t rcapacity;  // allocated bytes of rbuf; 0 when borrowed

  const char* parseText;    // start of the text being parsed
  const char* parseEnd;     // its final NUL; null when its size is unknown
  const char* knownText;    // a text whose readable size is known exactly...
  std::uint32_t knownSize;  // ...and that size (a received packet's length)
};

// Flag bits of StrMsg::flags.
enum StrMsgFlag : std::uint32_t {
  STRMSG_OWNED = 1,        // data is allocated and freed here
  STRMSG_LIMIT100K = 2,    // data may not grow to 102400 bytes or more
  STRMSG_ROWNED = 16,      // rbuf is allocated and freed here
  STRMSG_RECEIVE = 32,     // a receive goes into rbuf, else into data
  STRMSG_GLOBAL = 64,      // the process-wide record; never deleted
  STRMSG_ALLOCATED = 128,  // the record itself came from StrMsgNew
  // Private: the buffer was allocated here with two spare bytes behind its
  // capacity, where a receive writes the terminating NULs.
  STRMSG_DATA_SPARE = 256,
  STRMSG_RBUF_SPARE = 512,
};

// Sizing, set once at start-up by StrMsgConfigure. dynBufMax is also the
// largest IPC packet accepted.
extern int dynBufMax;       // 102400..268435455, default 16777215
extern int dynBufOpt;       // 1..16777215, default 2016
extern int dynBufOversize;  // 1..16, default 1
inline constexpr int kDynBufMaxDefault = 16777215;
inline constexpr int kDynBufOptDefault = 2016;
inline constexpr int kDynBufOversizeDefault = 1;
// Largest data buffer of a record with the 100 KB limit is one byte less.
inline constexpr int kStrMsg100kLimit = 102400;

// Reads VEK_DYNBUFMAX, VEK_DYNBUFOPT and VEK_DYNBUFOVERSIZE; a value outside
// its range (or none) gives the default.
void StrMsgConfigure();

// Size class for a wanted size n: the capacity an owned buffer gets. -1 for
// n < 0 and for n above dynBufMax.
int DynBufOptimizeSize(int n);

// Mode bits of DynBufChkSizeL.
enum DynBufMode : int {
  DYNBUF_RECEIVE = 1,  // the buffer a packet is received into
  DYNBUF_FRESH = 2,    // content need not be kept
  DYNBUF_KEEP = 4,     // content is kept (on the receive side)
  DYNBUF_OWN = 8,      // make the data buffer owned
};
// Makes the buffer in question hold at least `size` bytes, by the rules of
// the record above. Returns its capacity, or -1 (limit, dynBufMax, allocation
// failure, borrowed buffer too small). With DYNBUF_RECEIVE the caller then
// writes a packet of exactly `size` bytes at the start of
// StrMsgGetRBufL(msg): walks over it stop there, and two NULs behind it keep
// even a detached copy terminated.
int DynBufChkSizeL(StrMsg* msg, int size, int mode);

// Records.
void StrMsgInitL(StrMsg* msg);  // zeroes the record
// New heap record (flags 128), or null. Delete with StrMsgDelete.
StrMsg* StrMsgNew();
// Frees owned buffers and a StrMsgNew record, and nulls *msg. The process-wide
// record is left alone.
void StrMsgDelete(StrMsg** msg);
// Frees the owned buffers and clears their fields; flags stay.
void StrMsgFreeL(StrMsg* msg);

// The process-wide record (context slot 2); null only without a context table.
StrMsg* StrMsgGetGlobal();
char* StrMsgGetBuf();
char* StrMsgGetBufL(StrMsg* msg);
// The receive buffer if set, else the data buffer.
char* StrMsgGetRBuf();
char* StrMsgGetRBufL(StrMsg* msg);
// Message size (StrMsgTSize) of those buffers; 0 without one, -1 when the
// text is not terminated inside the memory known to hold it.
int StrMsgSizeBufL(StrMsg* msg);
int StrMsgSizeRBufL(StrMsg* msg);

void StrMsgSet100kLimit(int on);
void StrMsgSet100kLimitL(StrMsg* msg, int on);

// Options of StrMsgAttachBufL.
enum StrMsgAttachOption : int {
  STRMSG_ATTACH_OWN = 1,    // the record owns the buffer (from safe_malloc) and frees it
  STRMSG_ATTACH_LIMIT = 2,  // set the 100 KB limit
  STRMSG_ATTACH_SCAN = 4,   // length from the content, not the argument
};
// Makes caller memory of `capacity` bytes the data buffer (an owned one is
// freed first). Returns the length, or -1 when STRMSG_ATTACH_SCAN finds no
// complete message inside `capacity` (the record is then unchanged).
int StrMsgAttachBufL(StrMsg* msg, char* buffer, int capacity, int length, int options);
// Hands an owned data buffer to the caller (free with safe_free); null when
// not owned.
char* StrMsgDetachBufL(StrMsg* msg);
// Hands an owned receive buffer to the caller; without a receive buffer an
// owned data buffer. Null otherwise.
char* StrMsgDetachRBufL(StrMsg* msg);
// Gives the data buffer back unless it is owned and no larger than the size
// class of a non-zero `keep`.
void StrMsgReleaseBuffer(int keep);
void StrMsgReleaseBufferL(StrMsg* msg, int keep);
// Ends a parse: frees an owned receive buffer and clears the receive fields.
void StrMsgParseDone();
void StrMsgParseDoneL(StrMsg* msg);

// Mark saves the length; Cut drops every item appended since.
void StrMsgMark();
void StrMsgMarkL(StrMsg* msg);
void StrMsgCut();
void StrMsgCutL(StrMsg* msg);

// Size of a message text: from its start to its final NUL inclusive. 0 for
// null. Trusts the text to be terminated; for texts from outside use
// StrMsgTSizeN.
int StrMsgTSize(const char* text);
// The same, reading at most `limit` bytes: -1 when the final NUL does not
// lie inside them.
int StrMsgTSizeN(const char* text, std::size_t limit);
// Bytes that may be read at `text` when it is one of the record's buffers;
// -1 when unknown (a borrowed text of unknown size).
long StrMsgExtentL(const StrMsg* msg, const char* text);

// Copies a whole message; `destination` must hold StrMsgTSize(text) bytes.
// Returns the size copied.
int StrMsgCopy(char* destination, const char* text);
// Copies a message text of `size` bytes (0: its message size) into the
// record's own buffer; the record's data buffer itself is refused. 0 or -1.
int StrMsgCopyNew(const char* text, int size, StrMsg* msg);

// Adopt a received text of `capacity` bytes as the borrowed data buffer and
// return its code; -1 when it does not start with a number or holds no
// complete message within `capacity` (then it is not adopted).
int StrMsgUse(char* text, int capacity);
int StrMsgUseL(StrMsg* msg, char* text, int capacity);

// Makes a received message the one to send: `text` (or, when null, the
// receive buffer) becomes the borrowed data buffer, capacity 0, so nothing can
// be appended to it. Returns the length, or -1 for an unterminated text.
int StrMsgPrepareForBounce(char* text);
int StrMsgPrepareForBounceL(StrMsg* msg, char* text);

// Moves an owned data buffer (the message just received) to the receive side
// so that it can still be parsed while a new message is built.
void StrMsgPrepareForConcurrentAppend();
void StrMsgPrepareForConcurrentAppendL(StrMsg* msg);

// Building. Every call returns 0, or -1 when capacity cannot be had.
// Starts an empty message; `buffer` (capacity bytes) is used borrowed, null
// uses an owned one. limit == 1 sets the 100 KB limit, else it is cleared.
int StrMsgInitExL(StrMsg* msg, char* buffer, int capacity, int limit);
// StrMsgInitExL, then the code as the first item.
int StrMsgStartEx(char* buffer, int capacity, int code, int limit);
int StrMsgStartExL(StrMsg* msg, char* buffer, int capacity, int code, int limit);
// Sets a record up over a caller's local buffer: borrowed, limit set, empty.
int StrMsgLocalL(StrMsg* record, char* buffer, int capacity);

// Appends one item; null appends an empty item.
int StrMsgAppend(const char* text);
int StrMsgAppendL(StrMsg* msg, const char* text);
// Appends texts up to a null argument; on failure the message is left as it
// was at entry.
int StrMsgNAppend(const char* text, ...) __attribute__((sentinel));
int StrMsgNAppendL(StrMsg* msg, const char* text, ...) __attribute__((sentinel));
int StrMsgNAppendVAL(StrMsg* msg, const char* text, va_list rest);
// Process-wide record; stops at the first failure and keeps what was appended.
int StrMsgTAppend(const char* text, ...) __attribute__((sentinel));

// Appends one item per conversion of `signature` ("%d%s%O"...): s text (null
// gives an empty item), d int, u unsigned, l unsigned long, O uint64_t (as
// "low high"), f double (decimal point "."), p pointer. On any failure,
// an unknown letter included, the message is left as it was at entry.
int StrMsgFAppend(const char* signature, ...);
int StrMsgFAppendVA(const char* signature, va_list args);
int StrMsgFAppendL(StrMsg* msg, const char* signature, ...);
int StrMsgFAppendVAL(StrMsg* msg, const char* signature, va_list args);

// Starts a message with `code` and appends texts up to a null argument; the
// 100 KB limit is set exactly when a buffer is given. -1 at the first failure.
int StrMsgMake(char* buffer, int capacity, int code, const char* text, ...)
    __attribute__((sentinel));
int StrMsgMakeL(StrMsg* msg, char* buffer, int capacity, int code, const char* text, ...)
    __attribute__((sentinel));
int StrMsgMakeVAL(StrMsg* msg, char* buffer, int capacity, int code, const char* text,
                  va_list rest);

// Parsing. Items returned point into the parsed text and live until the
// buffer is reused or freed.
// Begins parsing and returns the message code, or -1 (no number, or a text
// that is not a complete message). A `text` other than the record's buffers
// becomes its borrowed receive buffer and must stay alive during the parse;
// its size is unknown, so it must be terminated: for a text of known size use
// StrParseStartNL.
int StrParseStart(const char* text);
int StrParseStartL(StrMsg* msg, const char* text);
// The same for a borrowed text of which only `size` bytes may be read.
int StrParseStartNL(StrMsg* msg, const char* text, std::size_t size);
// The next item, or null at the end (or without a parse).
char* StrParseNext();
char* StrParseNextL(StrMsg* msg);
// Fetches n items into the char** arguments; when one is missing the cursor
// is put back and -1 returned.
int StrParseNNext(int n, ...);
int StrParseNNextL(StrMsg* msg, int n, ...);
int StrParseNNextVAL(StrMsg* msg, int n, va_list outputs);
// Fetches up to n items into `array`: 0 when the n-th was found, else -1.
int StrParseMessage(int n, char** array);
int StrParseMessageL(StrMsg* msg, int n, char** array);
// Converts the next items by `signature`. Outputs: s char* and its size_t
// size (an item that does not fit fails), d int*, u unsigned*, l unsigned
// long*, O uint64_t*, f double*, p void**. 0 when the signature is used up;
// -1 for a missing item, a bad or out-of-range value, or a bad signature.
int StrParseMessageF(const char* signature, ...);
int StrParseMessageFL(StrMsg* msg, const char* signature, ...);
int StrParseMessageFVAL(StrMsg* msg, const char* signature, va_list outputs);

// Writes a message to the trace at `level` (framed by START and END lines
// when `frame` is set, a hex dump when level + 300 is active too). Without a
// text the record's receive buffer, else its data buffer (the process-wide
// record for StrParseMessageToDebugs). Leaves any active parse alone.
void StrParseMessageToDebugs(const char* text, int level, const char* title, const char* prefix,
                             int frame);
void StrParseMessageToDebugsL(StrMsg* msg, const char* text, int level, const char* title,
                              const char* prefix, int frame);

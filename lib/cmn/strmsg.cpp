// Message buffers: records, buffer ownership and sizing, and the size walk of
// the message text form.
#include "cmn/strmsg.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/strmsg_private.h"

TARN_RCSID("lib/cmn/strmsg.cpp");

int dynBufMax = kDynBufMaxDefault;
int dynBufOpt = kDynBufOptDefault;
int dynBufOversize = kDynBufOversizeDefault;

namespace {

// Owned buffers get two bytes behind their capacity for the NULs that close a
// received packet (see DynBufChkSizeL).
constexpr std::size_t kSpare = 2;

void StrMsgAtInit(void* data) {
  static_cast<StrMsg*>(data)->flags = STRMSG_GLOBAL;
}

// The record lives in a static area; dropping the slot must not strand its
// heap buffers.
void StrMsgAtFree(void* data) {
  StrMsgFreeL(static_cast<StrMsg*>(data));
}

StrMsg strMsgProto;
const PtdDescriptor StrMsgPtd = {"StrMsgPtd",  &strMsgProto, sizeof(StrMsg),
                                 StrMsgAtInit, nullptr,      StrMsgAtFree};

int ConfiguredValue(const char* name, int current, int low, int high, int fallback) {
  int value = current;
  EnvReadInt(name, &value);
  return value >= low && value <= high ? value : fallback;
}

std::int64_t RoundUp(std::int64_t n, std::int64_t step) {
  return (n + step - 1) / step * step;
}

}  // namespace

namespace strmsg_detail {

void Forget(StrMsg* msg, const char* text) {
  if (text == nullptr) return;
  if (msg->parseText == text) {
    msg->cursor = nullptr;
    msg->parseText = nullptr;
    msg->parseEnd = nullptr;
  }
  if (msg->knownText == text) {
    msg->knownText = nullptr;
    msg->knownSize = 0;
  }
}

void DropData(StrMsg* msg) {
  if (msg->data != nullptr) {
    Forget(msg, msg->data);
    if ((msg->flags & STRMSG_OWNED) != 0 && msg->data != msg->rbuf) safe_free(msg->data, TARN_HERE);
  }
  msg->data = nullptr;
  msg->capacity = 0;
  msg->length = 0;
  msg->flags &= ~STRMSG_DATA_SPARE;
}

void DropRbuf(StrMsg* msg) {
  if (msg->rbuf != nullptr) {
    Forget(msg, msg->rbuf);
    // A bounced message borrows the receive buffer as its data buffer.
    if (msg->data == msg->rbuf) {
      msg->data = nullptr;
      msg->capacity = 0;
      msg->length = 0;
      msg->flags &= ~(STRMSG_OWNED | STRMSG_DATA_SPARE);
    }
    if ((msg->flags & STRMSG_ROWNED) != 0) safe_free(msg->rbuf, TARN_HERE);
  }
  msg->rbuf = nullptr;
  msg->rcapacity = 0;
  msg->flags &= ~STRMSG_RBUF_SPARE;
}

void SetLength(StrMsg* msg, std::uint32_t length) {
  if (msg->data == nullptr) return;
  msg->length = length;
  msg->data[length] = '\0';
  if (length == 0 && msg->capacity > 1) msg->data[1] = '\0';
}

int MessageSize(const StrMsg* msg, const char* text) {
  const long extent = StrMsgExtentL(msg, text);
  return extent < 0 ? StrMsgTSize(text) : StrMsgTSizeN(text, static_cast<std::size_t>(extent));
}

bool LeadingCode(const char* text, int* code) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *code = static_cast<int>(value);
  return true;
}

}  // namespace strmsg_detail

using namespace strmsg_detail;

void StrMsgConfigure() {
  dynBufMax = ConfiguredValue("VEK_DYNBUFMAX", dynBufMax, 102400, 268435455, kDynBufMaxDefault);
  dynBufOpt = ConfiguredValue("VEK_DYNBUFOPT", dynBufOpt, 1, 16777215, kDynBufOptDefault);
  dynBufOversize =
      ConfiguredValue("VEK_DYNBUFOVERSIZE", dynBufOversize, 1, 16, kDynBufOversizeDefault);
}

int DynBufOptimizeSize(int n) {
  if (n < 0 || n > dynBufMax) return -1;
  if (dynBufOpt <= 1024) return n == 0 ? dynBufOpt : static_cast<int>(RoundUp(n, dynBufOpt));
  if (n <= dynBufOpt) return dynBufOpt;
  if (n <= 16256) return 16256;
  if (n <= 102400) return 102400;
  if (n <= 204800) return 204800;
  return static_cast<int>(std::min<std::int64_t>(RoundUp(n, 65536), dynBufMax));
}

namespace {

// The bytes a request must make room for: `size`, and on the receive side
// dynBufOversize times that, so that a run of growing packets does not
// reallocate for each one. Above INT_MAX it cannot be had.
std::int64_t WantedBytes(int size, bool receive) {
  std::int64_t want = size;
  if (receive && dynBufOversize > 1) want *= dynBufOversize;
  return want;
}

// A request refused before any buffer is touched: one beyond an int, or a
// message built in a record with the 100 KB limit that would reach it.
bool RefusedUpFront(const StrMsg* msg, std::int64_t want, bool receive) {
  if (want > INT_MAX) return true;
  return !receive && (msg->flags & STRMSG_LIMIT100K) != 0 && want >= kStrMsg100kLimit;
}

// Readies the receive side of a record for a packet. A record that does not
// receive into rbuf lets any receive buffer go and receives into its data
// buffer, which must then be owned (the returned mode says so); a borrowed
// receive buffer is let go (never freed) for an owned one.
int PrepareReceiveSide(StrMsg* msg, int mode) {
  if ((msg->flags & STRMSG_RECEIVE) == 0) {
    DropRbuf(msg);
    return mode | DYNBUF_OWN;
  }
  if ((msg->flags & STRMSG_ROWNED) == 0) {
    Forget(msg, msg->rbuf);
    msg->rbuf = nullptr;
    msg->rcapacity = 0;
    msg->flags = (msg->flags | STRMSG_ROWNED) & ~STRMSG_RBUF_SPARE;
  }
  return mode;
}

// Lets a borrowed data buffer go (never freed) so that an owned one is
// allocated in its place; an owned one stays.
void OwnDataBuffer(StrMsg* msg) {
  if ((msg->flags & STRMSG_OWNED) != 0) return;
  Forget(msg, msg->data);
  msg->data = nullptr;
  msg->capacity = 0;
  msg->length = 0;
  msg->flags = (msg->flags | STRMSG_OWNED) & ~STRMSG_DATA_SPARE;
}

// The buffer a request is about: rbuf when receiving into it, else data; with
// the flags that say whether it is owned and has the spare bytes.
struct BufferSlot {
  char*& buffer;
  std::uint32_t& capacity;
  std::uint32_t ownedFlag;
  std::uint32_t spareFlag;
};

BufferSlot SlotFor(StrMsg* msg, bool receive) {
  if (receive && (msg->flags & STRMSG_RECEIVE) != 0)
    return {msg->rbuf, msg->rcapacity, STRMSG_ROWNED, STRMSG_RBUF_SPARE};
  return {msg->data, msg->capacity, STRMSG_OWNED, STRMSG_DATA_SPARE};
}

// True when the old content of the buffer need not survive: asked for with
// DYNBUF_FRESH, and always on the receive side unless DYNBUF_KEEP.
bool ContentDisposable(int mode, bool receive) {
  return (mode & DYNBUF_FRESH) != 0 || (receive && (mode & DYNBUF_KEEP) == 0);
}

// True when an owned buffer may stay as it is. A buffer already of the size
// class stays. Otherwise one whose content is kept stays while large enough;
// one whose content is disposable stays only for building, large enough and
// no larger than 100 KB (a larger one goes back to its size class), and on
// the receive side never (it takes the packet's size class). A receive
// buffer must also have room for the two closing NULs.
bool OwnedBufferFits(const StrMsg* msg, const BufferSlot& slot, std::int64_t want, int sizeClass,
                     bool receive, bool disposable) {
  const bool largeEnough = slot.buffer != nullptr && slot.capacity >= want;
  const bool roomForNuls = !receive || (msg->flags & slot.spareFlag) != 0 ||
                           static_cast<std::int64_t>(slot.capacity) >= want + 2;
  if (!roomForNuls) return false;
  if (slot.buffer != nullptr && static_cast<std::uint32_t>(sizeClass) == slot.capacity) return true;
  return disposable ? !receive && largeEnough && slot.capacity <= kStrMsg100kLimit : largeEnough;
}

// Gives an owned buffer the size class: a disposable content is dropped and
// the block allocated anew (no copy), a kept one is reallocated. Either way
// the block gets the spare bytes. False when memory ran out (a dropped buffer
// is then gone, capacity 0; a kept one stays as it was).
bool ResizeOwnedBuffer(StrMsg* msg, BufferSlot& slot, int sizeClass, bool disposable) {
  const std::size_t bytes = static_cast<std::size_t>(sizeClass) + kSpare;
  if (disposable) {
    if (slot.buffer != nullptr) {
      Forget(msg, slot.buffer);
      safe_free(slot.buffer, TARN_HERE);
    }
    slot.buffer = static_cast<char*>(safe_malloc(bytes, TARN_HERE));
    slot.capacity = slot.buffer != nullptr ? static_cast<std::uint32_t>(sizeClass) : 0;
    msg->flags |= slot.spareFlag;
    return slot.buffer != nullptr;
  }
  void* grown = safe_realloc(slot.buffer, bytes, TARN_HERE);
  if (grown == nullptr) return false;
  if (grown != slot.buffer) Forget(msg, slot.buffer);
  slot.buffer = static_cast<char*>(grown);
  slot.capacity = static_cast<std::uint32_t>(sizeClass);
  msg->flags |= slot.spareFlag;
  return true;
}

// Readies the buffer for a packet of `size` bytes about to be received into
// it: an old parse of it is over, walks over the new text stop at its last
// byte, and two NULs behind it close it where there is room for them.
void ExpectPacket(StrMsg* msg, const BufferSlot& slot, int size) {
  Forget(msg, slot.buffer);
  msg->knownText = slot.buffer;
  msg->knownSize = static_cast<std::uint32_t>(size);
  const std::size_t room = slot.capacity + ((msg->flags & slot.spareFlag) != 0 ? kSpare : 0);
  if (static_cast<std::size_t>(size) + 2 <= room) {
    slot.buffer[size] = '\0';
    slot.buffer[size + 1] = '\0';
  }
}

}  // namespace

int DynBufChkSizeL(StrMsg* msg, int size, int mode) {
  if (msg == nullptr || size < 0) return -1;
  const bool receive = (mode & DYNBUF_RECEIVE) != 0;
  const std::int64_t want = WantedBytes(size, receive);
  if (RefusedUpFront(msg, want, receive)) return -1;

  if (receive) mode = PrepareReceiveSide(msg, mode);
  if ((mode & DYNBUF_OWN) != 0) OwnDataBuffer(msg);

  BufferSlot slot = SlotFor(msg, receive);
  // A message built here replaces whatever was received into the buffer.
  if (!receive && msg->knownText == slot.buffer) Forget(msg, msg->knownText);

  if ((msg->flags & slot.ownedFlag) == 0) {
    // A borrowed buffer never grows.
    if (slot.buffer == nullptr || want >= slot.capacity) return -1;
  } else {
    const int sizeClass = DynBufOptimizeSize(static_cast<int>(want));
    if (sizeClass < 0) return -1;
    const bool disposable = ContentDisposable(mode, receive);
    if (!OwnedBufferFits(msg, slot, want, sizeClass, receive, disposable) &&
        !ResizeOwnedBuffer(msg, slot, sizeClass, disposable)) {
      return -1;
    }
  }

  if (receive) ExpectPacket(msg, slot, size);
  return static_cast<int>(slot.capacity);
}

void StrMsgInitL(StrMsg* msg) {
  if (msg != nullptr) *msg = StrMsg{};
}

StrMsg* StrMsgNew() {
  auto* msg = static_cast<StrMsg*>(safe_malloc(sizeof(StrMsg), TARN_HERE));
  if (msg == nullptr) return nullptr;
  StrMsgInitL(msg);
  msg->flags = STRMSG_ALLOCATED;
  return msg;
}

void StrMsgDelete(StrMsg** msg) {
  if (msg == nullptr || *msg == nullptr) return;
  StrMsg* record = *msg;
  if ((record->flags & STRMSG_GLOBAL) != 0) return;
  StrMsgFreeL(record);
  if ((record->flags & STRMSG_ALLOCATED) != 0) safe_free(record, TARN_HERE);
  *msg = nullptr;
}

void StrMsgFreeL(StrMsg* msg) {
  if (msg == nullptr) return;
  if ((msg->flags & STRMSG_ROWNED) != 0) DropRbuf(msg);
  if ((msg->flags & STRMSG_OWNED) != 0) DropData(msg);
}

StrMsg* StrMsgGetGlobal() {
  return static_cast<StrMsg*>(CmnCreateContextEx(&StrMsgPtd, CMN_SLOT_STRMSG));
}

char* StrMsgGetBuf() {
  return StrMsgGetBufL(StrMsgGetGlobal());
}
char* StrMsgGetBufL(StrMsg* msg) {
  return msg != nullptr ? msg->data : nullptr;
}
char* StrMsgGetRBuf() {
  return StrMsgGetRBufL(StrMsgGetGlobal());
}
char* StrMsgGetRBufL(StrMsg* msg) {
  if (msg == nullptr) return nullptr;
  return msg->rbuf != nullptr ? msg->rbuf : msg->data;
}

int StrMsgSizeBufL(StrMsg* msg) {
  if (msg == nullptr || msg->data == nullptr) return 0;
  return MessageSize(msg, msg->data);
}

int StrMsgSizeRBufL(StrMsg* msg) {
  const char* text = StrMsgGetRBufL(msg);
  return text != nullptr ? MessageSize(msg, text) : 0;
}

void StrMsgSet100kLimit(int on) {
  StrMsgSet100kLimitL(StrMsgGetGlobal(), on);
}
void StrMsgSet100kLimitL(StrMsg* msg, int on) {
  if (msg == nullptr) return;
  if (on != 0) {
    msg->flags |= STRMSG_LIMIT100K;
  } else {
    msg->flags &= ~STRMSG_LIMIT100K;
  }
}

int StrMsgAttachBufL(StrMsg* msg, char* buffer, int capacity, int length, int options) {
  if (msg == nullptr) return -1;
  if (buffer == nullptr || capacity < 0) capacity = 0;
  int newLength = 0;
  if (buffer != nullptr && (options & STRMSG_ATTACH_SCAN) != 0) {
    const int size = capacity > 0 ? StrMsgTSizeN(buffer, static_cast<std::size_t>(capacity))
                                  : StrMsgTSize(buffer);
    if (size < 1) return -1;
    newLength = size - 1;
  } else if (buffer != nullptr) {
    // The final NUL must lie inside the buffer.
    if (length < 0 || (capacity > 0 && length >= capacity)) return -1;
    newLength = length;
  }
  if (buffer != msg->data) DropData(msg);
  msg->data = buffer;
  msg->capacity = static_cast<std::uint32_t>(capacity);
  msg->length = static_cast<std::uint32_t>(newLength);
  msg->flags &= ~(STRMSG_OWNED | STRMSG_LIMIT100K | STRMSG_DATA_SPARE);
  if ((options & STRMSG_ATTACH_OWN) != 0 && buffer != nullptr) msg->flags |= STRMSG_OWNED;
  if ((options & STRMSG_ATTACH_LIMIT) != 0) msg->flags |= STRMSG_LIMIT100K;
  return newLength;
}

char* StrMsgDetachBufL(StrMsg* msg) {
  if (msg == nullptr || (msg->flags & STRMSG_OWNED) == 0 || msg->data == nullptr) return nullptr;
  char* buffer = msg->data;
  Forget(msg, buffer);
  msg->data = nullptr;
  msg->capacity = 0;
  msg->length = 0;
  msg->flags &= ~STRMSG_DATA_SPARE;
  return buffer;
}

char* StrMsgDetachRBufL(StrMsg* msg) {
  if (msg == nullptr) return nullptr;
  if (msg->rbuf == nullptr) return StrMsgDetachBufL(msg);
  if ((msg->flags & STRMSG_ROWNED) == 0) return nullptr;
  char* buffer = msg->rbuf;
  msg->flags &= ~STRMSG_ROWNED;  // so that DropRbuf frees nothing
  DropRbuf(msg);
  msg->flags |= STRMSG_ROWNED;
  return buffer;
}

void StrMsgReleaseBuffer(int keep) {
  StrMsgReleaseBufferL(StrMsgGetGlobal(), keep);
}
void StrMsgReleaseBufferL(StrMsg* msg, int keep) {
  if (msg == nullptr) return;
  if (keep != 0 && msg->data != nullptr && (msg->flags & STRMSG_OWNED) != 0) {
    const int sizeClass = DynBufOptimizeSize(keep);
    if (sizeClass >= 0 && msg->capacity <= static_cast<std::uint32_t>(sizeClass)) return;
  }
  DropData(msg);
}

void StrMsgParseDone() {
  StrMsgParseDoneL(StrMsgGetGlobal());
}
void StrMsgParseDoneL(StrMsg* msg) {
  if (msg == nullptr) return;
  DropRbuf(msg);
  Forget(msg, msg->parseText);
}

void StrMsgMark() {
  StrMsgMarkL(StrMsgGetGlobal());
}
void StrMsgMarkL(StrMsg* msg) {
  if (msg != nullptr) msg->mark = msg->length;
}

void StrMsgCut() {
  StrMsgCutL(StrMsgGetGlobal());
}
void StrMsgCutL(StrMsg* msg) {
  // A mark beyond the message belongs to an earlier one; cutting "back" to it
  // would bring stale bytes back as items.
  if (msg == nullptr || msg->mark > msg->length) return;
  SetLength(msg, msg->mark);
}

int StrMsgTSize(const char* text) {
  if (text == nullptr) return 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = pos + std::strlen(text + pos);
    if (text[end + 1] == '\0') return static_cast<int>(end + 2);
    pos = end + 2;
  }
}

int StrMsgTSizeN(const char* text, std::size_t limit) {
  if (text == nullptr) return 0;
  std::size_t pos = 0;
  while (pos < limit) {
    const void* nul = std::memchr(text + pos, '\0', limit - pos);
    if (nul == nullptr) break;
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    if (end + 1 >= limit) break;
    if (text[end + 1] == '\0') return end + 2 > INT_MAX ? -1 : static_cast<int>(end + 2);
    pos = end + 2;
  }
  return -1;
}

long StrMsgExtentL(const StrMsg* msg, const char* text) {
  if (msg == nullptr || text == nullptr) return -1;
  long extent = -1;
  if (text == msg->rbuf && msg->rcapacity > 0) {
    extent = msg->rcapacity;
  } else if (text == msg->data && msg->capacity > 0) {
    extent = msg->capacity;
  }
  if (text == msg->knownText) {
    const long known = msg->knownSize;
    extent = extent < 0 ? known : std::min(extent, known);
  }
  return extent;
}

int StrMsgCopy(char* destination, const char* text) {
  const int size = StrMsgTSize(text);
  if (destination != nullptr && size > 0)
    std::memcpy(destination, text, static_cast<std::size_t>(size));
  return size;
}

int StrMsgCopyNew(const char* text, int size, StrMsg* msg) {
  if (msg == nullptr || text == nullptr || size < 0) return -1;
  // Sizing may free the data buffer: nothing inside it can be the source.
  if (msg->data != nullptr && text >= msg->data &&
      text < msg->data + std::max<std::uint32_t>(msg->capacity, 1)) {
    return -1;
  }
  if (size == 0) size = MessageSize(msg, text);
  if (size < 1) return -1;
  if (DynBufChkSizeL(msg, size, DYNBUF_OWN | DYNBUF_FRESH) < 0) return -1;
  std::memcpy(msg->data, text, static_cast<std::size_t>(size));
  msg->length = static_cast<std::uint32_t>(size - 1);
  return 0;
}

int StrMsgUse(char* text, int capacity) {
  return StrMsgUseL(StrMsgGetGlobal(), text, capacity);
}
int StrMsgUseL(StrMsg* msg, char* text, int capacity) {
  if (msg == nullptr || text == nullptr) return -1;
  if (capacity < 0) capacity = 0;
  const int size =
      capacity > 0 ? StrMsgTSizeN(text, static_cast<std::size_t>(capacity)) : StrMsgTSize(text);
  if (size < 1) return -1;
  if (text != msg->data) DropData(msg);
  msg->data = text;
  msg->capacity = static_cast<std::uint32_t>(capacity);
  msg->length = static_cast<std::uint32_t>(size - 1);
  msg->flags &= ~(STRMSG_OWNED | STRMSG_DATA_SPARE);
  int code = 0;
  if (!LeadingCode(text, &code) || (code == 0 && text[0] != '0')) return -1;
  return code;
}

int StrMsgPrepareForBounce(char* text) {
  return StrMsgPrepareForBounceL(StrMsgGetGlobal(), text);
}
int StrMsgPrepareForBounceL(StrMsg* msg, char* text) {
  if (msg == nullptr) return -1;
  char* source = text != nullptr ? text : msg->rbuf;
  if (source == nullptr || source == msg->data) {
    if (msg->data == nullptr) return -1;
    const int size = MessageSize(msg, msg->data);
    if (size < 1) return -1;
    msg->length = static_cast<std::uint32_t>(size - 1);
    return static_cast<int>(msg->length);
  }
  const int size = MessageSize(msg, source);
  if (size < 1) return -1;
  const char* knownText = msg->knownText;
  const std::uint32_t knownSize = msg->knownSize;
  DropData(msg);
  if (knownText == source) {
    msg->knownText = knownText;
    msg->knownSize = knownSize;
  }
  msg->data = source;
  msg->capacity = 0;
  msg->length = static_cast<std::uint32_t>(size - 1);
  msg->flags &= ~(STRMSG_OWNED | STRMSG_DATA_SPARE);
  return static_cast<int>(msg->length);
}

void StrMsgPrepareForConcurrentAppend() {
  StrMsgPrepareForConcurrentAppendL(StrMsgGetGlobal());
}
void StrMsgPrepareForConcurrentAppendL(StrMsg* msg) {
  if (msg == nullptr || msg->rbuf != nullptr || msg->data == nullptr ||
      (msg->flags & STRMSG_OWNED) == 0) {
    return;
  }
  msg->rbuf = msg->data;
  msg->rcapacity = msg->capacity;
  msg->flags |= STRMSG_ROWNED;
  if ((msg->flags & STRMSG_DATA_SPARE) != 0) msg->flags |= STRMSG_RBUF_SPARE;
  msg->flags &= ~STRMSG_DATA_SPARE;
  msg->data = nullptr;
  msg->capacity = 0;
  msg->length = 0;
}

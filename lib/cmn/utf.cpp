// Character sets: the system's own UTF-16 <-> UTF-8 conversion (raw bytes
// travel as U+EE80-U+EEFF), its message-buffer forms and the small copies.
#include "cmn/utf.h"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/strmsg.h"

TARN_RCSID("lib/cmn/utf.cpp");

namespace {

using Byte = std::uint8_t;

constexpr char16_t kBom = 0xFEFF;
constexpr char16_t kBomSwapped = 0xFFFE;

bool IsHigh(unsigned u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(unsigned u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}
bool IsRawUnit(unsigned u) {
  return u >= kUtfRawFirst && u <= kUtfRawLast;
}
bool IsCont(Byte b) {
  return (b & 0xC0) == 0x80;
}

// UTF-16 units at a byte address in a given byte order.
struct Units {
  const Byte* p;
  bool bigEndian;
  unsigned operator[](size_t i) const {
    const Byte a = p[2 * i];
    const Byte b = p[2 * i + 1];
    return bigEndian ? (unsigned{a} << 8 | b) : (unsigned{b} << 8 | a);
  }
};

// How many units (or bytes) a source holds by the flags: up to its NUL, up to
// its list-ending empty string, and never beyond `count` with kConvCount.
template <typename At>
size_t SourceLength(At at, int count, int flags) {
  const bool counted = (flags & kConvCount) != 0;
  const size_t limit = counted ? (count > 0 ? static_cast<size_t>(count) : 0) : SIZE_MAX;
  const bool list = (flags & kConvList) != 0;
  // Counted plain text converts NULs like any other character.
  if (counted && !list) return limit;
  for (size_t i = 0; i < limit; ++i) {
    if (at(i) != 0) continue;
    if (!list || i == 0 || at(i - 1) == 0) return i;
  }
  return limit;
}

// UTF-16 -> UTF-8. With a null `out` only counts. Stops before a character
// that would not fit in `cap` bytes. Returns bytes produced.
size_t EncodeUtf8(Units in, size_t n, char* out, size_t cap) {
  size_t o = 0;
  for (size_t i = 0; i < n;) {
    const unsigned u = in[i];
    Byte tmp[4];
    size_t len;
    size_t used = 1;
    if (u < 0x80) {
      tmp[0] = static_cast<Byte>(u);
      len = 1;
    } else if (u < 0x800) {
      tmp[0] = static_cast<Byte>(0xC0 | u >> 6);
      tmp[1] = static_cast<Byte>(0x80 | (u & 0x3F));
      len = 2;
    } else if (IsRawUnit(u)) {
      tmp[0] = static_cast<Byte>(u & 0xFF);
      len = 1;
    } else if (IsHigh(u) && i + 1 < n && IsLow(in[i + 1])) {
      const unsigned cp = 0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      tmp[0] = static_cast<Byte>(0xF0 | cp >> 18);
      tmp[1] = static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F));
      tmp[2] = static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F));
      tmp[3] = static_cast<Byte>(0x80 | (cp & 0x3F));
      len = 4;
      used = 2;
    } else {
      tmp[0] = static_cast<Byte>(0xE0 | u >> 12);
      tmp[1] = static_cast<Byte>(0x80 | ((u >> 6) & 0x3F));
      tmp[2] = static_cast<Byte>(0x80 | (u & 0x3F));
      len = 3;
    }
    if (out != nullptr) {
      if (o + len > cap) break;
      std::memcpy(out + o, tmp, len);
    }
    o += len;
    i += used;
  }
  return o;
}

// UTF-8 -> UTF-16 units. With a null `emit` only counts; `emit(u)` returns
// false when the unit does not fit (a surrogate pair is emitted whole or not
// at all). Returns units produced.
template <typename Emit>
size_t DecodeUtf8(const Byte* in, size_t n, Emit emit) {
  size_t units = 0;
  for (size_t i = 0; i < n;) {
    const Byte b = in[i];
    unsigned cp = 0;
    size_t len = 0;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF && i + 1 < n && IsCont(in[i + 1])) {
      cp = (b & 0x1Fu) << 6 | (in[i + 1] & 0x3Fu);
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF && i + 2 < n && IsCont(in[i + 1]) && IsCont(in[i + 2])) {
      cp = (b & 0x0Fu) << 12 | (in[i + 1] & 0x3Fu) << 6 | (in[i + 2] & 0x3Fu);
      if (cp >= 0x800 && !IsHigh(cp) && !IsLow(cp) && !IsRawUnit(cp)) len = 3;
    } else if (b >= 0xF0 && b <= 0xF7 && i + 3 < n && IsCont(in[i + 1]) && IsCont(in[i + 2]) &&
               IsCont(in[i + 3])) {
      cp = (b & 0x07u) << 18 | (in[i + 1] & 0x3Fu) << 12 | (in[i + 2] & 0x3Fu) << 6 |
           (in[i + 3] & 0x3Fu);
      if (cp >= 0x10000 && cp <= 0x10FFFF) len = 4;
    }
    if (len == 0) {
      // Not the start of an accepted sequence: the byte travels as itself.
      cp = 0xEE00u + b;
      len = 1;
    }
    if (cp >= 0x10000) {
      const unsigned v = cp - 0x10000;
      if (!emit(static_cast<char16_t>(0xD800 + (v >> 10)),
                static_cast<char16_t>(0xDC00 + (v & 0x3FF))))
        break;
      units += 2;
    } else {
      if (!emit(static_cast<char16_t>(cp), char16_t{0})) break;
      units += 1;
    }
    i += len;
  }
  return units;
}

size_t CountUtf16(const Byte* in, size_t n) {
  return DecodeUtf8(in, n, [](char16_t, char16_t) { return true; });
}

void PutUnit(Byte* out, char16_t u, bool bigEndian) {
  if (bigEndian) {
    out[0] = static_cast<Byte>(u >> 8);
    out[1] = static_cast<Byte>(u & 0xFF);
  } else {
    out[0] = static_cast<Byte>(u & 0xFF);
    out[1] = static_cast<Byte>(u >> 8);
  }
}

// Writes decoded units into `out` (room for `capUnits` units); returns units.
size_t WriteUtf16(const Byte* in, size_t n, Byte* out, size_t capUnits, bool bigEndian) {
  size_t o = 0;
  return DecodeUtf8(in, n, [&](char16_t a, char16_t b) {
    const size_t need = b != 0 ? 2 : 1;
    if (o + need > capUnits) return false;
    PutUnit(out + 2 * o++, a, bigEndian);
    if (b != 0) PutUnit(out + 2 * o++, b, bigEndian);
    return true;
  });
}

// The UTF-16 source of a conversion after the flags' mark rule.
struct WideSource {
  Units units;
  size_t n;
};

WideSource WideFrom(const void* src, int count, int flags) {
  static const Byte kEmpty[2] = {0, 0};
  const bool be = (flags & kConvBigEndian) != 0;
  Units in{src != nullptr ? static_cast<const Byte*>(src) : kEmpty, be};
  size_t n = SourceLength([&](size_t i) { return in[i]; }, count, src != nullptr ? flags : 0);
  if (n > 0 && in[0] == kBom && (flags & kConvKeepBom) == 0) {
    in.p += 2;
    --n;
  }
  return {in, n};
}

struct NarrowSource {
  const Byte* p;
  size_t n;
};

NarrowSource NarrowFrom(const char* src, int count, int flags) {
  const Byte* p =
      src != nullptr ? reinterpret_cast<const Byte*>(src) : reinterpret_cast<const Byte*>("");
  size_t n = SourceLength([&](size_t i) { return p[i]; }, count, src != nullptr ? flags : 0);
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF && (flags & kConvKeepBom) == 0) {
    p += 3;
    n -= 3;
  }
  return {p, n};
}

// Makes buf's data buffer hold `need` bytes; returns the usable capacity
// (maybe smaller than need when it cannot grow) and whether it grew enough.
size_t Room(StrMsg* buf, size_t need, bool* enough) {
  const int mode = DYNBUF_FRESH | (buf->data == nullptr ? DYNBUF_OWN : 0);
  *enough = need <= INT_MAX && DynBufChkSizeL(buf, static_cast<int>(need), mode) >= 0;
  if (*enough) return need;
  // A borrowed buffer is refused even when the text fits it exactly.
  const size_t capacity = buf->data != nullptr ? buf->capacity : 0;
  *enough = capacity >= need;
  return capacity;
}

char* HeapBlock(size_t bytes) {
  return static_cast<char*>(safe_malloc(bytes, TARN_HERE));
}

size_t WideLen(const char16_t* s) {
  size_t n = 0;
  if (s != nullptr) {
    while (s[n] != 0) ++n;
  }
  return n;
}

constexpr bool NativeIsBigEndian() {
  return std::endian::native == std::endian::big;
}

Units Native(const char16_t* s) {
  return Units{reinterpret_cast<const Byte*>(s), NativeIsBigEndian()};
}

}  // namespace

int DynConvW2S(const void* src, StrMsg* buf, int count, int flags) {
  const WideSource in = WideFrom(src, count, flags);
  const size_t need = EncodeUtf8(in.units, in.n, nullptr, 0) + 1;
  if ((flags & kConvSizeOnly) != 0) return need <= INT_MAX ? static_cast<int>(need) : -1;
  if (buf == nullptr) return -1;
  bool enough = false;
  const size_t cap = Room(buf, need, &enough);
  if (cap == 0) return -1;
  const size_t written = EncodeUtf8(in.units, in.n, buf->data, cap - 1);
  buf->data[written] = '\0';
  buf->length = static_cast<std::uint32_t>(written);
  return enough ? static_cast<int>(written + 1) : -1;
}

int DynConvS2W(const char* src, StrMsg* buf, int count, int flags) {
  const NarrowSource in = NarrowFrom(src, count, flags);
  const bool be = (flags & kConvBigEndian) != 0;
  const size_t bom = (flags & kConvWriteBom) != 0 ? 1 : 0;
  const size_t needUnits = bom + CountUtf16(in.p, in.n) + 1;
  if (needUnits > INT_MAX / 2) return -1;
  const size_t need = 2 * needUnits;
  if ((flags & kConvSizeOnly) != 0) return static_cast<int>(need);
  if (buf == nullptr) return -1;
  bool enough = false;
  const size_t capUnits = Room(buf, need, &enough) / 2;
  if (capUnits == 0) return -1;
  auto* out = reinterpret_cast<Byte*>(buf->data);
  size_t o = 0;
  if (bom != 0 && capUnits > 1) PutUnit(out + 2 * o++, kBom, be);
  o += WriteUtf16(in.p, in.n, out + 2 * o, capUnits - 1 - o, be);
  PutUnit(out + 2 * o, 0, be);
  buf->length = static_cast<std::uint32_t>(2 * o);
  return enough ? static_cast<int>(2 * o + 2) : -1;
}

int MsgCheckLEBOM(const void* buf) {
  if (buf == nullptr) return 0;
  const auto* b = static_cast<const Byte*>(buf);
  if (b[0] == 0xFF && b[1] == 0xFE) return 1;
  if (b[0] == 0xFE && b[1] == 0xFF) return 2;
  return 0;
}

namespace {

// Converts a marked UTF-16 list of at most `maxBytes` bytes (or unbounded
// when maxBytes is negative) into a new owned block in `out`.
int ConvertMarked(const char* text, long maxBytes, int extraFlags, StrMsg* out) {
  const int mark = MsgCheckLEBOM(text);
  int flags = kConvList | extraFlags | (mark == 2 ? kConvBigEndian : 0);
  int count = 0;
  if (maxBytes >= 0) {
    flags |= kConvCount;
    count = static_cast<int>(maxBytes / 2 > INT_MAX ? INT_MAX : maxBytes / 2);
  }
  StrMsgInitL(out);
  return DynConvW2S(text, out, count, flags);
}

}  // namespace

int StrMsgAdjustToNativeL(StrMsg* msg) {
  if (msg == nullptr) return -1;
  const char* text = StrMsgGetRBufL(msg);
  // Two bytes are needed to see a mark at all.
  const long extent = text != nullptr ? StrMsgExtentL(msg, text) : 0;
  if (text == nullptr || (extent >= 0 && extent < 2) || MsgCheckLEBOM(text) == 0) return 0;
  StrMsg narrow;
  const int n = ConvertMarked(text, extent, 0, &narrow);
  if (n < 0) {
    StrMsgFreeL(&narrow);
    return -1;
  }
  // The converted text takes the received text's place: its buffer is made
  // owned and large enough the way a receive does it, never written in place
  // (it may be borrowed).
  const bool onRbuf = msg->rbuf != nullptr;
  const std::uint32_t savedFlags = msg->flags;
  if (onRbuf) msg->flags |= STRMSG_RECEIVE;
  const int cap = DynBufChkSizeL(msg, n, DYNBUF_RECEIVE);
  msg->flags = (msg->flags & ~STRMSG_RECEIVE) | (savedFlags & STRMSG_RECEIVE);
  if (cap < 0) {
    StrMsgFreeL(&narrow);
    return -1;
  }
  std::memcpy(StrMsgGetRBufL(msg), narrow.data, static_cast<size_t>(n));
  if (!onRbuf) msg->length = static_cast<std::uint32_t>(n - 1);
  StrMsgFreeL(&narrow);
  return 1;
}

int DynBufAdjustToNative(char** buf, int* len, int flags) {
  if (buf == nullptr || *buf == nullptr || len == nullptr || *len < 2) return 0;
  if (MsgCheckLEBOM(*buf) == 0) return 0;
  StrMsg narrow;
  const int n = ConvertMarked(*buf, *len, flags & kConvList, &narrow);
  char* block = n >= 0 ? StrMsgDetachBufL(&narrow) : nullptr;
  StrMsgFreeL(&narrow);
  if (block == nullptr) return -1;
  if ((flags & 8) != 0) {
    void* shrunk = safe_realloc(block, static_cast<size_t>(n), TARN_HERE);
    if (shrunk != nullptr) block = static_cast<char*>(shrunk);
  }
  safe_free(*buf, TARN_HERE);
  *buf = block;
  *len = n - 1;
  return 1;
}

namespace {

// Replaces every NUL of a message text but its last `keep` bytes by 0x03.
char* FlattenMessage(char* text, int keep) {
  if (text == nullptr) return nullptr;
  const int size = StrMsgTSize(text);
  for (int i = 0; i < size - keep; ++i) {
    if (text[i] == '\0') text[i] = '\x03';
  }
  return text;
}

}  // namespace

char* MsgConvertNullToChar(char* text) {
  return FlattenMessage(text, 2);
}

char* MsgConvertNullToCharWithZeros(char* text) {
  return FlattenMessage(text, 1);
}

// A flattened text ends at its first NUL, so the bytes before it are all the
// message but its last two.
char* MsgConvertCharToNull(char* text) {
  return StrConvertCharToNull(text);
}

char* StrConvertCharToNull(char* s) {
  if (s == nullptr) return nullptr;
  const size_t n = std::strlen(s);
  for (size_t i = 0; i < n; ++i) {
    if (s[i] == '\x03') s[i] = '\0';
  }
  return s;
}

// ---------------------------------------------------------------- small copies

char* StrCopyW2S(char* dst, const char16_t* src, size_t n) {
  if (dst == nullptr) return nullptr;
  const size_t units = WideLen(src);
  const size_t written = src != nullptr ? EncodeUtf8(Native(src), units, dst, n) : 0;
  dst[written] = '\0';
  return dst;
}

char16_t* StrCopyS2W(char16_t* dst, const char* src, size_t n) {
  if (dst == nullptr) return nullptr;
  const NarrowSource in = NarrowFrom(src, 0, kConvKeepBom);
  const size_t units = WriteUtf16(in.p, in.n, reinterpret_cast<Byte*>(dst), n, NativeIsBigEndian());
  dst[units] = 0;
  return dst;
}

size_t StrLenW2S(const char16_t* src) {
  return src != nullptr ? EncodeUtf8(Native(src), WideLen(src), nullptr, 0) : 0;
}

size_t StrLenS2W(const char* src) {
  const NarrowSource in = NarrowFrom(src, 0, kConvKeepBom);
  return CountUtf16(in.p, in.n);
}

char* StrNewCopyW2S(const char16_t* src) {
  const size_t n = StrLenW2S(src);
  char* copy = HeapBlock(n + 1);
  return copy != nullptr ? StrCopyW2S(copy, src, n) : nullptr;
}

char16_t* StrNewCopyS2W(const char* src) {
  const size_t n = StrLenS2W(src);
  auto* copy = reinterpret_cast<char16_t*>(HeapBlock(2 * (n + 1)));
  return copy != nullptr ? StrCopyS2W(copy, src, n) : nullptr;
}

char* StrNullCopyW2S(const char16_t* src) {
  return src != nullptr ? StrNewCopyW2S(src) : nullptr;
}

char16_t* StrNullCopyS2W(const char* src) {
  return src != nullptr ? StrNewCopyS2W(src) : nullptr;
}

char* StrNewCopyW2A(const char16_t* src) {
  return StrNewCopyW2S(src);
}

char* StrCopyW2A(char* dst, const char16_t* src, size_t n) {
  if (dst == nullptr) return nullptr;
  size_t i = 0;
  for (; src != nullptr && i < n && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i] & 0xFF);
  dst[i] = '\0';
  return dst;
}

char* StrNullCopyW2A(const char16_t* src) {
  if (src == nullptr) return nullptr;
  const size_t n = WideLen(src);
  char* copy = HeapBlock(n + 1);
  return copy != nullptr ? StrCopyW2A(copy, src, n) : nullptr;
}

// Each byte becomes the unit of the same value (Latin-1). A sign-extended
// byte of 0x80 or above would be a unit 0xFF80-0xFFFF: another character, and
// one that IsConvertableW2A refuses although it came from narrow text.
char16_t* StrCopyA2W(char16_t* dst, const char* src, size_t n) {
  if (dst == nullptr) return nullptr;
  size_t i = 0;
  for (; src != nullptr && i < n && src[i] != '\0'; ++i)
    dst[i] = static_cast<unsigned char>(src[i]);
  dst[i] = 0;
  return dst;
}

char16_t* StrNullCopyA2W(const char* src) {
  if (src == nullptr) return nullptr;
  const size_t n = std::strlen(src);
  auto* copy = reinterpret_cast<char16_t*>(HeapBlock(2 * (n + 1)));
  return copy != nullptr ? StrCopyA2W(copy, src, n) : nullptr;
}

char16_t* StrNewCopyA2W(const char* src) {
  return StrNullCopyA2W(src != nullptr ? src : "");
}

int lstrlenW(const char16_t* s) {
  return static_cast<int>(WideLen(s));
}

int lstrlenA(const char* s) {
  return s != nullptr ? static_cast<int>(std::strlen(s)) : 0;
}

int IsConvertableW2A(const char16_t* s) {
  for (size_t i = 0; s != nullptr && s[i] != 0; ++i) {
    if (s[i] >= 0x100) return 0;
  }
  return 1;
}

int StrIsPureAscii(const char* s) {
  for (const char* p = s; p != nullptr && *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return 0;
  }
  return 1;
}

int StrUsesPUAspecialUTF16LE(const char16_t* s) {
  for (size_t i = 0; s != nullptr && s[i] != 0; ++i) {
    if (IsRawUnit(s[i])) return 1;
  }
  return 0;
}

int StrMaxBitsUTF16LE(const char16_t* s, int limit) {
  int widest = 7;
  for (size_t i = 0; s != nullptr && s[i] != 0; ++i) {
    const unsigned u = s[i];
    const int bits = u < 0x80 ? 7 : u < 0x100 ? 8 : IsHigh(u) ? 20 : 16;
    if (bits > widest) widest = bits;
    if (limit == -1 || (limit > 0 && widest > limit)) break;
  }
  return widest;
}

int MsgCheckBOM(const char16_t* s) {
  if (s == nullptr) return 0;
  if (s[0] == kBom) return 1;
  if (s[0] == kBomSwapped) return 2;
  return 0;
}

int IsStringMarkedUnicode(const char16_t* s) {
  return MsgCheckBOM(s);
}

namespace {

char16_t Swap(char16_t u) {
  return static_cast<char16_t>((u >> 8) | (u << 8));
}

// Units of a list from index `from`: up to, not with, its empty string.
size_t ListUnits(const char16_t* s, size_t from) {
  size_t i = from;
  while (!(s[i] == 0 && (i == from || s[i - 1] == 0))) ++i;
  return i - from;
}

int NarrowInPlace(char16_t* msg, bool swapped) {
  const size_t n = ListUnits(msg, 1);
  auto* out = reinterpret_cast<char*>(msg);
  // Byte i-1 lies before unit i, which is read first, so nothing unread is
  // overwritten.
  for (size_t i = 1; i <= n; ++i) {
    const char16_t u = swapped ? Swap(msg[i]) : msg[i];
    out[i - 1] = u > 0xFF ? '_' : static_cast<char>(u);
  }
  out[n] = '\0';
  return static_cast<int>(n + 1);
}

}  // namespace

int MsgUnicode2Ascii(char16_t* msg) {
  const int mark = MsgCheckBOM(msg);
  if (mark == 0) return 0;
  if (mark != 1) return -2;
  return NarrowInPlace(msg, false);
}

int MsgReversedUnicode2Ascii(char16_t* msg) {
  const int mark = MsgCheckBOM(msg);
  if (mark == 0) return 0;
  if (mark != 2) return -2;
  return NarrowInPlace(msg, true);
}

int MsgAdjustToNative(char16_t* msg) {
  switch (MsgCheckBOM(msg)) {
    case 1: return MsgUnicode2Ascii(msg);
    case 2: return MsgReversedUnicode2Ascii(msg);
    default: return 0;
  }
}

int MsgReversedUnicode2Unicode(char16_t* msg) {
  if (msg == nullptr) return 0;
  const size_t n = ListUnits(msg, 0) + 1;
  return BufReversedUnicode2Unicode(msg, static_cast<int>(n));
}

int BufReversedUnicode2Unicode(char16_t* buf, int n) {
  if (buf == nullptr || n <= 0) return 0;
  for (int i = 0; i < n; ++i) buf[i] = Swap(buf[i]);
  return n;
}

int MsgAscii2Unicode(void* buf, size_t capacity) {
  if (buf == nullptr) return -1;
  auto* bytes = static_cast<Byte*>(buf);
  // The narrow list, its final NUL included, must lie inside the buffer.
  size_t n = 0;
  for (;; ++n) {
    if (n >= capacity) return -1;
    if (bytes[n] == 0 && (n == 0 || bytes[n - 1] == 0)) break;
  }
  ++n;
  if (2 * (n + 1) > capacity) return -1;
  // Backwards, so every byte is read before its place is written.
  const bool be = NativeIsBigEndian();
  for (size_t i = n; i-- > 0;) PutUnit(bytes + 2 * (i + 1), bytes[i], be);
  PutUnit(bytes, kBom, be);
  return static_cast<int>(2 * (n + 1));
}

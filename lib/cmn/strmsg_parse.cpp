// Message buffers: parsing a received message item by item, typed conversion
// of items, and writing a message to the trace.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/dbg.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/strmsg_private.h"

TARN_RCSID("lib/cmn/strmsg_parse.cpp");

using namespace strmsg_detail;

namespace {

// Longest item that "%f" converts.
constexpr std::size_t kDoubleItemMax = 320;
// Bytes of a message shown by the binary dump.
constexpr int kDumpMax = 80;

// The head of a complete message: its code, the position after the code
// item, and its final NUL.
struct MessageHead {
  int code;
  char* first;
  char* end;
};

// Validates a message of which `extent` bytes may be read (-1: unknown, the
// text is trusted to be terminated) and reads its code.
bool ReadHead(char* text, long extent, MessageHead* head) {
  const int size =
      extent < 0 ? StrMsgTSize(text) : StrMsgTSizeN(text, static_cast<std::size_t>(extent));
  if (size < 1) return false;
  int code = 0;
  if (!LeadingCode(text, &code) || (code == 0 && text[0] != '0')) return false;
  head->code = code;
  head->first = text + std::strlen(text) + 1;
  head->end = text + size - 1;
  return true;
}

// The item after `*cursor`, or null at the end; never reads at or past `end`.
char* NextItem(char** cursor, const char* end) {
  char* at = *cursor;
  if (at == nullptr || at >= end || *at == '\0') return nullptr;
  char* item = at + 1;
  void* nul = std::memchr(item, '\0', static_cast<std::size_t>(end - item));
  if (nul == nullptr) {
    *cursor = nullptr;
    return nullptr;
  }
  *cursor = static_cast<char*>(nul) + 1;
  return item;
}

bool IsBom(const char* text, long extent) {
  const auto first = static_cast<unsigned char>(text[0]);
  if (first != 0xFF && first != 0xFE) return false;
  return (extent < 0 || extent >= 2) && MsgCheckLEBOM(text) != 0;
}

int StartParse(StrMsg* msg, const char* text, bool sized, std::size_t size) {
  if (msg == nullptr) return -1;
  Forget(msg, msg->parseText);
  if (text != nullptr) {
    if (msg->rbuf != nullptr && msg->rbuf != text) DropRbuf(msg);
    if (text != msg->rbuf && text != msg->data) {
      msg->rbuf = const_cast<char*>(text);
      msg->rcapacity = 0;
      msg->flags &= ~(STRMSG_ROWNED | STRMSG_RBUF_SPARE);
    }
    if (sized) {
      msg->knownText = text;
      msg->knownSize = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    } else if (msg->knownText == text) {
      // A receive into the record's own buffer keeps its size up to date; a
      // borrowed text handed in again may hold a new message.
      const bool own = (text == msg->rbuf && (msg->flags & STRMSG_ROWNED) != 0) ||
                       (text == msg->data && (msg->flags & STRMSG_OWNED) != 0);
      if (!own) Forget(msg, text);
    }
  }
  char* parsed = StrMsgGetRBufL(msg);
  if (parsed == nullptr) return -1;
  long extent = StrMsgExtentL(msg, parsed);
  if (extent == 0) return -1;
  if (IsBom(parsed, extent)) {
    if (StrMsgAdjustToNativeL(msg) < 0) return -1;
    parsed = StrMsgGetRBufL(msg);
    if (parsed == nullptr) return -1;
    extent = StrMsgExtentL(msg, parsed);
    if (extent == 0) return -1;
  }
  MessageHead head{};
  if (!ReadHead(parsed, extent, &head)) return -1;
  msg->parseText = parsed;
  msg->parseEnd = head.end;
  msg->cursor = head.first;
  return head.code;
}

const char* SkipBlanks(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

// Reads an unsigned number the way "%u" does: blanks, an optional sign (a
// minus wraps around within the type), digits. Values that do not fit fail.
bool ScanUnsigned(const char* text, std::uint64_t max, std::uint64_t* value, const char** end) {
  const char* p = SkipBlanks(text);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  errno = 0;
  char* stop = nullptr;
  const unsigned long long magnitude = std::strtoull(p, &stop, 10);
  if (errno == ERANGE || magnitude > max) return false;
  *value = negative ? (max - magnitude + 1) & max : magnitude;
  if (end != nullptr) *end = stop;
  return true;
}

bool ScanInt(const char* text, int* value) {
  const char* p = SkipBlanks(text);
  const char* digits = p + ((*p == '+' || *p == '-') ? 1 : 0);
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  const long long parsed = std::strtoll(p, nullptr, 10);
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// "%lf" of an item written with "." as decimal point.
bool ScanDouble(const char* text, double* value) {
  if (std::strlen(text) > kDoubleItemMax) return false;
  std::string local(text);
  const char* point = std::localeconv()->decimal_point;
  if (point != nullptr && point[0] != '\0' && std::strcmp(point, ".") != 0) {
    const std::size_t dot = local.find('.');
    if (dot != std::string::npos) local.replace(dot, 1, point);
  }
  char* stop = nullptr;
  *value = std::strtod(local.c_str(), &stop);
  return stop != local.c_str();
}

bool ConvertItem(char letter, const char* item, va_list* outputs) {
  switch (letter) {
    case 's': {
      char* destination = va_arg(*outputs, char*);
      const std::size_t room = va_arg(*outputs, std::size_t);
      const std::size_t size = std::strlen(item) + 1;
      if (destination == nullptr || size > room) return false;
      std::memcpy(destination, item, size);
      return true;
    }
    case 'd': return ScanInt(item, va_arg(*outputs, int*));
    case 'u': {
      auto* out = va_arg(*outputs, unsigned*);
      std::uint64_t value = 0;
      if (!ScanUnsigned(item, UINT32_MAX, &value, nullptr)) return false;
      *out = static_cast<unsigned>(value);
      return true;
    }
    case 'l': {
      auto* out = va_arg(*outputs, unsigned long*);
      std::uint64_t value = 0;
      if (!ScanUnsigned(item, ULONG_MAX, &value, nullptr)) return false;
      *out = static_cast<unsigned long>(value);
      return true;
    }
    case 'O': {
      auto* out = va_arg(*outputs, std::uint64_t*);
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      const char* rest = nullptr;
      if (!ScanUnsigned(item, UINT32_MAX, &low, &rest) ||
          !ScanUnsigned(rest, UINT32_MAX, &high, nullptr)) {
        return false;
      }
      *out = high << 32 | low;
      return true;
    }
    case 'f': return ScanDouble(item, va_arg(*outputs, double*));
    case 'p': return std::sscanf(item, "%p", va_arg(*outputs, void**)) == 1;
    default: return false;
  }
}

void DumpBytes(int level, const char* text, int size) {
  const int dumpLevel = level + 300;
  if (!DbgMatch(dumpLevel)) return;
  DbgPlain(dumpLevel, "%s", "");
  DbgPlain(dumpLevel, "BINARY MESSAGE DUMP:");
  if (size > kDumpMax) {
    DbgPlain(dumpLevel, "Note: Message size exceeds %d bytes => output limited.", kDumpMax);
    size = kDumpMax;
  }
  DbgDumpMem(dumpLevel, text, size);
}

}  // namespace

int StrParseStart(const char* text) {
  return StrParseStartL(StrMsgGetGlobal(), text);
}
int StrParseStartL(StrMsg* msg, const char* text) {
  return StartParse(msg, text, false, 0);
}
int StrParseStartNL(StrMsg* msg, const char* text, std::size_t size) {
  if (text == nullptr) return -1;
  return StartParse(msg, text, true, size);
}

char* StrParseNext() {
  return StrParseNextL(StrMsgGetGlobal());
}
char* StrParseNextL(StrMsg* msg) {
  if (msg == nullptr || msg->cursor == nullptr || msg->parseEnd == nullptr) return nullptr;
  return NextItem(&msg->cursor, msg->parseEnd);
}

int StrParseNNext(int n, ...) {
  va_list outputs;
  va_start(outputs, n);
  const int result = StrParseNNextVAL(StrMsgGetGlobal(), n, outputs);
  va_end(outputs);
  return result;
}

int StrParseNNextL(StrMsg* msg, int n, ...) {
  va_list outputs;
  va_start(outputs, n);
  const int result = StrParseNNextVAL(msg, n, outputs);
  va_end(outputs);
  return result;
}

int StrParseNNextVAL(StrMsg* msg, int n, va_list outputs) {
  if (msg == nullptr) return -1;
  va_list out;
  va_copy(out, outputs);
  char* const start = msg->cursor;
  int result = 0;
  for (int i = 0; i < n; ++i) {
    char** target = va_arg(out, char**);
    char* item = StrParseNextL(msg);
    if (item == nullptr) {
      msg->cursor = start;
      result = -1;
      break;
    }
    if (target != nullptr) *target = item;
  }
  va_end(out);
  return result;
}

int StrParseMessage(int n, char** array) {
  return StrParseMessageL(StrMsgGetGlobal(), n, array);
}
int StrParseMessageL(StrMsg* msg, int n, char** array) {
  if (msg == nullptr || array == nullptr || n <= 0) return -1;
  for (int i = 0; i < n; ++i) {
    array[i] = StrParseNextL(msg);
    if (array[i] == nullptr) return -1;
  }
  return 0;
}

int StrParseMessageF(const char* signature, ...) {
  va_list outputs;
  va_start(outputs, signature);
  const int result = StrParseMessageFVAL(StrMsgGetGlobal(), signature, outputs);
  va_end(outputs);
  return result;
}

int StrParseMessageFL(StrMsg* msg, const char* signature, ...) {
  va_list outputs;
  va_start(outputs, signature);
  const int result = StrParseMessageFVAL(msg, signature, outputs);
  va_end(outputs);
  return result;
}

int StrParseMessageFVAL(StrMsg* msg, const char* signature, va_list outputs) {
  if (msg == nullptr || signature == nullptr) return -1;
  va_list out;
  va_copy(out, outputs);
  int result = 0;
  for (const char* p = signature; *p != '\0'; p += 2) {
    if (p[0] != '%' || std::strchr("sdulOfp", p[1]) == nullptr || p[1] == '\0') {
      result = -1;
      break;
    }
    const char* item = StrParseNextL(msg);
    if (item == nullptr || !ConvertItem(p[1], item, &out)) {
      result = -1;
      break;
    }
  }
  va_end(out);
  return result;
}

void StrParseMessageToDebugs(const char* text, int level, const char* title, const char* prefix,
                             int frame) {
  StrParseMessageToDebugsL(text != nullptr ? nullptr : StrMsgGetGlobal(), text, level, title,
                           prefix, frame);
}

void StrParseMessageToDebugsL(StrMsg* msg, const char* text, int level, const char* title,
                              const char* prefix, int frame) {
  if (!DbgMatch(level)) return;
  if (text == nullptr) text = StrMsgGetRBufL(msg);
  if (text == nullptr) {
    DbgPlain(level, "StrParseMessageToDebugs: strMsg==NULL");
    return;
  }
  const long extent = StrMsgExtentL(msg, text);
  MessageHead head{};
  if (extent == 0 || !ReadHead(const_cast<char*>(text), extent, &head)) {
    DbgPlain(level, "INVALID MESSAGE");
    const int size =
        extent < 0 ? StrMsgTSize(text) : StrMsgTSizeN(text, static_cast<std::size_t>(extent));
    DumpBytes(level, text,
              size > 0 ? size : static_cast<int>(std::min<long>(std::max(extent, 0L), kDumpMax)));
    return;
  }
  if (prefix == nullptr) prefix = "";
  if (frame != 0) DbgPlain(level, "+===== START [%d] %s", head.code, title != nullptr ? title : "");
  char* cursor = head.first;
  for (char* item = NextItem(&cursor, head.end); item != nullptr;
       item = NextItem(&cursor, head.end)) {
    DbgPlain(level, "%s%s", prefix, item);
  }
  if (frame != 0) DbgPlain(level, "+===== END");
  DumpBytes(level, text, static_cast<int>(head.end - text) + 1);
}

// Message buffers: starting a message and appending items, plain and by a
// signature of typed values.
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/strmsg.h"
#include "cmn/strmsg_private.h"

TARN_RCSID("lib/cmn/strmsg_build.cpp");

using namespace strmsg_detail;

namespace {

// Room for the longest item a signature letter formats: "%f" of the largest
// double is 316 characters.
constexpr std::size_t kItemRoom = 400;

// "%f" in the "C" form: the locale's decimal point becomes ".".
void FormatDouble(char* out, std::size_t size, double value) {
  std::snprintf(out, size, "%f", value);
  const char* point = std::localeconv()->decimal_point;
  if (point == nullptr || std::strcmp(point, ".") == 0 || point[0] == '\0') return;
  char* found = std::strstr(out, point);
  if (found == nullptr) return;
  const std::size_t width = std::strlen(point);
  *found = '.';
  std::memmove(found + 1, found + width, std::strlen(found + width) + 1);
}

int AppendTexts(StrMsg* msg, const char* text, va_list rest, bool rollBack) {
  const std::uint32_t entry = msg->length;
  for (; text != nullptr; text = va_arg(rest, const char*)) {
    if (StrMsgAppendL(msg, text) != 0) {
      if (rollBack) SetLength(msg, entry);
      return -1;
    }
  }
  return 0;
}

}  // namespace

int StrMsgInitExL(StrMsg* msg, char* buffer, int capacity, int limit) {
  if (msg == nullptr) return -1;
  if (limit == 1) {
    msg->flags |= STRMSG_LIMIT100K;
  } else {
    msg->flags &= ~STRMSG_LIMIT100K;
  }
  if (buffer != nullptr) {
    if (buffer != msg->data) DropData(msg);
    msg->data = buffer;
    msg->capacity = capacity > 0 ? static_cast<std::uint32_t>(capacity) : 0;
    msg->flags &= ~(STRMSG_OWNED | STRMSG_DATA_SPARE);
  } else if ((msg->flags & STRMSG_OWNED) == 0) {
    Forget(msg, msg->data);
    msg->data = nullptr;
    msg->capacity = 0;
    msg->flags = (msg->flags | STRMSG_OWNED) & ~STRMSG_DATA_SPARE;
  }
  msg->length = 0;
  if (DynBufChkSizeL(msg, 2, DYNBUF_FRESH) < 0) return -1;
  msg->data[0] = '\0';
  msg->data[1] = '\0';
  return 0;
}

int StrMsgStartEx(char* buffer, int capacity, int code, int limit) {
  return StrMsgStartExL(StrMsgGetGlobal(), buffer, capacity, code, limit);
}

int StrMsgStartExL(StrMsg* msg, char* buffer, int capacity, int code, int limit) {
  if (StrMsgInitExL(msg, buffer, capacity, limit) != 0) return -1;
  char text[16];
  std::snprintf(text, sizeof text, "%d", code);
  return StrMsgAppendL(msg, text);
}

int StrMsgLocalL(StrMsg* record, char* buffer, int capacity) {
  StrMsgInitL(record);
  return StrMsgInitExL(record, buffer, capacity, 1);
}

int StrMsgAppend(const char* text) {
  return StrMsgAppendL(StrMsgGetGlobal(), text);
}

int StrMsgAppendL(StrMsg* msg, const char* text) {
  if (msg == nullptr) return -1;
  if (text == nullptr) text = "";
  const std::size_t size = std::strlen(text);
  if (static_cast<std::uint64_t>(msg->length) + size + 4 > INT_MAX) return -1;
  // Growing may move the buffer under an item taken from the message itself.
  std::string copy;
  if (msg->data != nullptr && text >= msg->data && text < msg->data + msg->capacity) {
    copy.assign(text, size);
    text = copy.c_str();
  }
  if (DynBufChkSizeL(msg, static_cast<int>(msg->length + size + 4), 0) < 0) return -1;
  if (msg->data == nullptr) return -1;
  std::uint32_t pos = msg->length;
  if (pos != 0) msg->data[pos++] = ' ';
  std::memcpy(msg->data + pos, text, size);
  msg->length = pos + static_cast<std::uint32_t>(size) + 1;
  msg->data[msg->length - 1] = '\0';
  msg->data[msg->length] = '\0';
  return 0;
}

int StrMsgNAppend(const char* text, ...) {
  StrMsg* msg = StrMsgGetGlobal();
  if (msg == nullptr) return -1;
  va_list rest;
  va_start(rest, text);
  const int result = AppendTexts(msg, text, rest, true);
  va_end(rest);
  return result;
}

int StrMsgNAppendL(StrMsg* msg, const char* text, ...) {
  if (msg == nullptr) return -1;
  va_list rest;
  va_start(rest, text);
  const int result = AppendTexts(msg, text, rest, true);
  va_end(rest);
  return result;
}

int StrMsgNAppendVAL(StrMsg* msg, const char* text, va_list rest) {
  if (msg == nullptr) return -1;
  va_list copy;
  va_copy(copy, rest);
  const int result = AppendTexts(msg, text, copy, true);
  va_end(copy);
  return result;
}

int StrMsgTAppend(const char* text, ...) {
  StrMsg* msg = StrMsgGetGlobal();
  if (msg == nullptr) return -1;
  va_list rest;
  va_start(rest, text);
  const int result = AppendTexts(msg, text, rest, false);
  va_end(rest);
  return result;
}

int StrMsgFAppend(const char* signature, ...) {
  va_list args;
  va_start(args, signature);
  const int result = StrMsgFAppendVAL(StrMsgGetGlobal(), signature, args);
  va_end(args);
  return result;
}

int StrMsgFAppendVA(const char* signature, va_list args) {
  return StrMsgFAppendVAL(StrMsgGetGlobal(), signature, args);
}

int StrMsgFAppendL(StrMsg* msg, const char* signature, ...) {
  va_list args;
  va_start(args, signature);
  const int result = StrMsgFAppendVAL(msg, signature, args);
  va_end(args);
  return result;
}

int StrMsgFAppendVAL(StrMsg* msg, const char* signature, va_list args) {
  if (msg == nullptr) return -1;
  if (signature == nullptr) return 0;
  va_list values;
  va_copy(values, args);
  const std::uint32_t entry = msg->length;
  int result = 0;
  // Each conversion is two characters; the first (normally "%") is not read.
  for (const char* p = signature; p[0] != '\0' && p[1] != '\0' && result == 0; p += 2) {
    char formatted[kItemRoom];
    const char* item = formatted;
    switch (p[1]) {
      case 's': item = va_arg(values, const char*); break;
      case 'd': std::snprintf(formatted, sizeof formatted, "%d", va_arg(values, int)); break;
      case 'u': std::snprintf(formatted, sizeof formatted, "%u", va_arg(values, unsigned)); break;
      case 'l':
        std::snprintf(formatted, sizeof formatted, "%lu", va_arg(values, unsigned long));
        break;
      case 'O': {
        const std::uint64_t value = va_arg(values, std::uint64_t);
        std::snprintf(formatted, sizeof formatted, "%u %u",
                      static_cast<unsigned>(value & 0xFFFFFFFFu),
                      static_cast<unsigned>(value >> 32));
        break;
      }
      case 'f': FormatDouble(formatted, sizeof formatted, va_arg(values, double)); break;
      case 'p': std::snprintf(formatted, sizeof formatted, "%p", va_arg(values, void*)); break;
      default: result = -1; continue;
    }
    result = StrMsgAppendL(msg, item);
  }
  va_end(values);
  if (result != 0) SetLength(msg, entry);
  return result;
}

int StrMsgMake(char* buffer, int capacity, int code, const char* text, ...) {
  va_list rest;
  va_start(rest, text);
  const int result = StrMsgMakeVAL(StrMsgGetGlobal(), buffer, capacity, code, text, rest);
  va_end(rest);
  return result;
}

int StrMsgMakeL(StrMsg* msg, char* buffer, int capacity, int code, const char* text, ...) {
  va_list rest;
  va_start(rest, text);
  const int result = StrMsgMakeVAL(msg, buffer, capacity, code, text, rest);
  va_end(rest);
  return result;
}

int StrMsgMakeVAL(StrMsg* msg, char* buffer, int capacity, int code, const char* text,
                  va_list rest) {
  if (StrMsgStartExL(msg, buffer, capacity, code, buffer != nullptr ? 1 : 0) != 0) return -1;
  va_list copy;
  va_copy(copy, rest);
  const int result = AppendTexts(msg, text, copy, false);
  va_end(copy);
  return result;
}

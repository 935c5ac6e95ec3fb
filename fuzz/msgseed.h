// Seed writer of the product's fuzz targets that read string messages: the
// bytes of one message as the message-buffer writer builds it.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "cmn/strmsg.h"

namespace tarn::fuzz {

// The message `code` with `items`, every byte up to its closing NUL.
template <class Items>
std::string MessageBytes(int code, const Items& items) {
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrMsgStartExL(&msg, nullptr, 0, code, 0) != 0) std::abort();
  for (const auto& item : items) {
    if (StrMsgAppendL(&msg, std::string(item).c_str()) != 0) std::abort();
  }
  const char* text = StrMsgGetBufL(&msg);
  std::string bytes(text, static_cast<std::size_t>(StrMsgTSize(text)));
  StrMsgFreeL(&msg);
  return bytes;
}
inline std::string MessageBytes(int code, std::initializer_list<const char*> items) {
  return MessageBytes<std::initializer_list<const char*>>(code, items);
}

}  // namespace tarn::fuzz

// Traffic log of the stand-in cell server: one line per message, so that tests
// can assert what the client sent and what it was answered.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "codec/message.h"
#include "codec/wire.h"

namespace tarn::cellserver {

// Line forms ("<conn>" is "c<number> <service>", service "inet", "request"
// or "session:<key>"):
//   <conn> < <code> "<item>"...   a message from the client
//   <conn> > <code> "<item>"...   a message to the client
//   <conn> < raw <length>         a raw bulk-data packet (and "> raw")
//   <conn> <event> <text>         open, close, bad, fault, bulk, session, ...
// Items are quoted; a quote, a backslash and bytes outside 0x20..0x7E are
// written as \", \\ and \xHH. Each line reaches the file in one write.
class Traffic {
 public:
  // Appends to `path`; an empty path logs nothing.
  explicit Traffic(const std::string& path);
  ~Traffic();
  Traffic(const Traffic&) = delete;
  Traffic& operator=(const Traffic&) = delete;
  bool ok() const { return disabled_ || fd_.valid(); }

  void message(std::string_view conn, char direction, const standin::Message& message);
  void raw(std::string_view conn, char direction, std::size_t length);
  void event(std::string_view conn, std::string_view what, std::string_view text = {});

  // `text` quoted as the log writes items.
  static std::string Quote(std::string_view text);

 private:
  void line(std::string text);

  standin::Fd fd_;
  bool disabled_ = false;
  std::mutex mutex_;
};

}  // namespace tarn::cellserver

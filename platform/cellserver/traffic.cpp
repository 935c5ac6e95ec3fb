// Traffic log of the stand-in cell server: one line per message, so that tests
// can assert what the client sent and what it was answered.
#include "cellserver/traffic.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/traffic.cpp");

namespace tarn::cellserver {

Traffic::Traffic(const std::string& path) {
  if (path.empty()) {
    disabled_ = true;
    return;
  }
  fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

Traffic::~Traffic() = default;

std::string Traffic::Quote(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (b < 0x20 || b > 0x7E) {
      out += "\\x";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

void Traffic::message(std::string_view conn, char direction, const standin::Message& message) {
  if (disabled_) return;
  std::string text(conn);
  text += ' ';
  text += direction;
  text += ' ';
  text += std::to_string(message.code);
  for (const std::string& item : message.items) {
    text += ' ';
    text += Quote(item);
  }
  line(std::move(text));
}

void Traffic::raw(std::string_view conn, char direction, std::size_t length) {
  if (disabled_) return;
  line(std::string(conn) + ' ' + direction + " raw " + std::to_string(length));
}

void Traffic::event(std::string_view conn, std::string_view what, std::string_view text) {
  if (disabled_) return;
  std::string out = std::string(conn) + ' ' + std::string(what);
  if (!text.empty()) out += ' ' + std::string(text);
  line(std::move(out));
}

void Traffic::line(std::string text) {
  text.push_back('\n');
  std::lock_guard lock(mutex_);
  if (!fd_.valid()) return;
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd_.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tarn::cellserver

// String messages as the stand-ins build and read them: a decimal code and text
// items, the result message with its packed error, and the bulk-data headers.
#include "codec/message.h"

#include <charconv>
#include <limits>
#include <stdexcept>

#include "codec/rcsid.h"
#include "codec/wire.h"

TARN_RCSID("platform/codec/message.cpp");

namespace tarn::standin {

std::string EncodeMessage(const Message& message) {
  std::string out = std::to_string(message.code);
  std::size_t size = out.size() + 2;
  for (const std::string& item : message.items) size += item.size() + 2;
  out.reserve(size);
  out.push_back('\0');
  for (const std::string& item : message.items) {
    if (item.find('\0') != std::string::npos)
      throw std::invalid_argument("message item holds a NUL byte");
    out.push_back(' ');
    out.append(item);
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

std::optional<long long> ParseDecimal(std::string_view text, long long min, long long max) {
  if (text.empty() || text.front() == '+') return std::nullopt;
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < min || value > max) return std::nullopt;
  return value;
}

std::optional<Message> ParseMessage(std::string_view data, std::string* why) {
  const auto fail = [why](const char* reason) -> std::optional<Message> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  const std::size_t codeEnd = data.find('\0');
  if (codeEnd == std::string_view::npos) return fail("no NUL after the code");
  const std::string_view codeText = data.substr(0, codeEnd);
  const std::string_view digits = codeText.substr(codeText.starts_with('-') ? 1 : 0);
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return fail("code is not a decimal number");
  }
  const auto code =
      ParseDecimal(codeText, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  if (!code) return fail("code is not a decimal int");

  Message message;
  message.code = static_cast<int>(*code);
  std::size_t pos = codeEnd + 1;
  for (;;) {
    if (pos >= data.size()) return fail("final NUL missing");
    if (data[pos] == '\0') break;
    if (data[pos] != ' ') return fail("item not behind a blank");
    const std::size_t itemEnd = data.find('\0', pos + 1);
    if (itemEnd == std::string_view::npos) return fail("item without NUL");
    message.items.emplace_back(data.substr(pos + 1, itemEnd - pos - 1));
    pos = itemEnd + 1;
  }
  if (pos + 1 != data.size()) return fail("bytes after the final NUL");
  return message;
}

void AppendPackedError(Message& message, const PackedError& error) {
  message.items.push_back(std::to_string(error.code));
  message.items.push_back(std::to_string(error.level));
  message.items.push_back(error.function);
  message.items.push_back(error.systemText);
}

std::optional<PackedError> ReadPackedError(const Message& message, std::size_t first) {
  if (first > message.items.size() || message.items.size() - first < 4) return std::nullopt;
  constexpr long long kMin = std::numeric_limits<int>::min();
  constexpr long long kMax = std::numeric_limits<int>::max();
  const auto code = ParseDecimal(message.items[first], kMin, kMax);
  const auto level = ParseDecimal(message.items[first + 1], kMin, kMax);
  if (!code || !level) return std::nullopt;
  return PackedError{static_cast<int>(*code), static_cast<int>(*level), message.items[first + 2],
                     message.items[first + 3]};
}

Message MakeResult(const PackedError& error, std::vector<std::string> extra) {
  Message message{kMsgResult, {}};
  message.items.reserve(4 + extra.size());
  AppendPackedError(message, error);
  for (std::string& item : extra) message.items.push_back(std::move(item));
  return message;
}

Message MakeClientDataHeader(bool last, std::uint32_t length) {
  return Message{kMsgData, {last ? "1" : "0", std::to_string(length)}};
}

std::optional<ClientChunk> ParseClientDataHeader(const Message& message) {
  if (message.code != kMsgData || message.items.size() != 2) return std::nullopt;
  const auto last = ParseDecimal(message.items[0], 0, 1);
  const auto length = ParseDecimal(message.items[1], 0, kDataChunkMax);
  if (!last || !length) return std::nullopt;
  return ClientChunk{*last == 1, static_cast<std::uint32_t>(*length)};
}

Message MakeServerDataHeader(std::uint32_t length) {
  return Message{kMsgData, {std::to_string(length)}};
}

std::optional<std::uint32_t> ParseServerDataHeader(const Message& message) {
  if (message.code != kMsgData || message.items.size() != 1) return std::nullopt;
  const auto length = ParseDecimal(message.items[0], 1, kDataChunkMax);
  if (!length) return std::nullopt;
  return static_cast<std::uint32_t>(*length);
}

Io ReadMessage(int fd, Message* out, std::size_t maxLength, const Deadline& idle,
               std::chrono::milliseconds body, int stopFd, std::string* why) {
  std::string data;
  std::uint32_t announced = 0;
  const Io io = ReadFrame(fd, data, maxLength, idle, body, stopFd, &announced);
  switch (io) {
    case Io::kOk: break;
    case Io::kTooLarge:
      *why = "header announces " + std::to_string(announced) + " bytes";
      return io;
    case Io::kTruncated:
    case Io::kError: *why = IoName(io); return io;
    default: return io;
  }
  std::string wrong;
  auto message = ParseMessage(data, &wrong);
  if (!message) {
    *why = wrong + " in " + std::to_string(data.size()) + " bytes";
    return Io::kError;
  }
  *out = std::move(*message);
  return Io::kOk;
}

}  // namespace tarn::standin

// String messages as the stand-ins build and read them: a decimal code and text
// items, the result message with its packed error, and the bulk-data headers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/wire.h"

namespace tarn::standin {

// Message codes every stand-in needs.
inline constexpr int kMsgResult = 5;      // closes every request; carries the packed error
inline constexpr int kMsgData = 24;       // announces one bulk-data packet
inline constexpr int kMsgProtocol = 267;  // protocol negotiation
// Largest bulk-data packet either side may send.
inline constexpr std::size_t kDataChunkMax = 81920;

// One message: its code and its items in order. Items never hold a NUL byte.
struct Message {
  int code = 0;
  std::vector<std::string> items;

  bool operator==(const Message&) const = default;
};

// The text form: the code in decimal and a NUL; per item a blank, its text and
// a NUL; one more NUL. {15, {"abc"}} gives the 9 bytes "15\0 abc\0\0".
// Throws std::invalid_argument when an item holds a NUL byte.
std::string EncodeMessage(const Message& message);

// Reads the data of one packet as a message. The whole packet must be one
// message: a code item of an optional '-' and 1 to 10 digits that fits an int,
// items each behind exactly one blank, the final NUL as the last byte. Returns
// nothing for any other input, with the reason in *why when given.
std::optional<Message> ParseMessage(std::string_view data, std::string* why = nullptr);

// Reads one frame (as ReadFrame) and parses it as a message into *out. A
// frame that is too large, cut short, unreadable, or not a message gives
// kTooLarge, kTruncated or kError with what was wrong in *why; *out is set
// only with kOk.
Io ReadMessage(int fd, Message* out, std::size_t maxLength, const Deadline& idle,
               std::chrono::milliseconds body, int stopFd, std::string* why);

// A whole text read as a decimal number in [min, max]: an optional '-' and
// digits, nothing else (no blanks, no '+'). Nothing when it does not fit.
std::optional<long long> ParseDecimal(std::string_view text, long long min, long long max);

// The error state as it travels in messages: four items code, level, function
// and system error text. Code 0 means success.
struct PackedError {
  int code = 0;
  int level = 0;
  std::string function;
  std::string systemText;

  bool operator==(const PackedError&) const = default;
};

// Appends the four items of `error` to `message`.
void AppendPackedError(Message& message, const PackedError& error);
// Reads the four items from position `first` on; nothing when one is missing
// or code or level is not a decimal int.
std::optional<PackedError> ReadPackedError(const Message& message, std::size_t first = 0);
// The result message: code 5, the packed error, then `extra` items.
Message MakeResult(const PackedError& error = {}, std::vector<std::string> extra = {});

// Bulk data from a client: code 24 with the items last-chunk flag (0 or 1) and
// chunk length; the chunk follows as one raw packet when its length is not 0.
struct ClientChunk {
  bool last = false;
  std::uint32_t length = 0;
};
Message MakeClientDataHeader(bool last, std::uint32_t length);
// Nothing unless the message is code 24 with exactly those two items and a
// length of at most kDataChunkMax.
std::optional<ClientChunk> ParseClientDataHeader(const Message& message);

// Bulk data from a server: code 24 with the chunk length as its only item,
// followed by the chunk as one raw packet.
Message MakeServerDataHeader(std::uint32_t length);
// Nothing unless the message is code 24 with exactly one item, a length of 1
// to kDataChunkMax.
std::optional<std::uint32_t> ParseServerDataHeader(const Message& message);

}  // namespace tarn::standin

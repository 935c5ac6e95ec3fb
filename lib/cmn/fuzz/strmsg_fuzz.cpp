// Fuzz target of the message-buffer parser: any bytes from a peer either
// parse into items that rebuild into the same message, or are refused; never
// a read outside the bytes received.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/strmsg.h"
#include "fuzz/fuzzseed.h"
#include "fuzz/msgseed.h"

TARN_RCSID("lib/cmn/fuzz/strmsg_fuzz.cpp");

namespace {

struct Parsed {
  int code = -1;
  std::vector<std::string> items;
};

Parsed Walk(StrMsg* msg, int code, const char* low, const char* high) {
  Parsed parsed;
  parsed.code = code;
  if (code < 0 && msg->cursor == nullptr) return parsed;
  for (const char* item = StrParseNextL(msg); item != nullptr; item = StrParseNextL(msg)) {
    if (low != nullptr && (item < low || item + std::strlen(item) >= high)) std::abort();
    parsed.items.emplace_back(item);
  }
  return parsed;
}

bool Same(const Parsed& a, const Parsed& b) {
  return a.code == b.code && a.items == b.items;
}

// The signature letters, each with a destination of its kind.
void ConvertAll(StrMsg* msg) {
  char text[16];
  int d = 0;
  unsigned u = 0;
  unsigned long l = 0;
  std::uint64_t o = 0;
  double f = 0;
  void* p = nullptr;
  StrParseMessageFL(msg, "%s%d%u%l%O%f%p%s", text, sizeof text, &d, &u, &l, &o, &f, &p, text,
                    sizeof text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  // Exactly the received bytes: one byte more is already outside.
  auto bytes = std::make_unique<char[]>(size);
  if (size > 0) std::memcpy(bytes.get(), data, size);
  const char* low = bytes.get();
  const char* high = low + size;

  // A text with a byte-order mark is converted first and then has another size.
  const bool marked =
      size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
  const int total = StrMsgTSizeN(low, size);
  if (total != -1 && (total < 2 || static_cast<std::size_t>(total) > size ||
                      low[total - 1] != '\0' || low[total - 2] != '\0')) {
    std::abort();
  }

  StrMsg borrowed;
  StrMsgInitL(&borrowed);
  // Items of a converted text lie in the record's own buffer.
  const Parsed first =
      Walk(&borrowed, StrParseStartNL(&borrowed, low, size), marked ? nullptr : low, high);
  StrMsgFreeL(&borrowed);
  StrMsgInitL(&borrowed);
  if (StrParseStartNL(&borrowed, low, size) >= 0) ConvertAll(&borrowed);
  StrMsgFreeL(&borrowed);

  // The same bytes as a packet received into either buffer of a record.
  for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(STRMSG_RECEIVE)}) {
    StrMsg received;
    StrMsgInitL(&received);
    received.flags = flags;
    if (DynBufChkSizeL(&received, static_cast<int>(size), DYNBUF_RECEIVE) < 0) std::abort();
    char* target = StrMsgGetRBufL(&received);
    if (size > 0) std::memcpy(target, data, size);
    const Parsed again = Walk(&received, StrParseStartL(&received, nullptr), nullptr, nullptr);
    if (first.code >= 0 && !Same(first, again)) std::abort();
    if (!marked && StrMsgPrepareForBounceL(&received, nullptr) >= 0 &&
        received.length + 1 != static_cast<std::uint32_t>(total)) {
      std::abort();
    }
    StrMsgFreeL(&received);
  }

  // A message that parsed rebuilds into the same items.
  if (first.code >= 0) {
    tarn::fuzz::Accepted();
    StrMsg rebuilt;
    StrMsgInitL(&rebuilt);
    if (StrMsgStartExL(&rebuilt, nullptr, 0, first.code, 0) != 0) std::abort();
    for (const std::string& item : first.items) {
      if (StrMsgAppendL(&rebuilt, item.c_str()) != 0) std::abort();
    }
    const Parsed back = Walk(&rebuilt, StrParseStartL(&rebuilt, nullptr), nullptr, nullptr);
    if (!Same(first, back)) std::abort();
    StrMsgFreeL(&rebuilt);
  }

  StrMsg used;
  StrMsgInitL(&used);
  if (size > 0 && StrMsgUseL(&used, bytes.get(), static_cast<int>(size)) >= 0 &&
      used.length + 1 != static_cast<std::uint32_t>(total)) {
    std::abort();
  }
  return 0;
}

// Messages as the message-buffer writer builds them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("options", tarn::fuzz::MessageBytes(120, {"MaxSessions", "50", "SmPeerId", ""}));
  seeds->Add("numbers",
             tarn::fuzz::MessageBytes(7, {"abc", "-12", "4294967295", "9", "1.5", "0x1f"}));
  seeds->Add("bare", tarn::fuzz::MessageBytes(0, {}));
}

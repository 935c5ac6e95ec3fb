// Host lists: parsing IP specifications into per-part ranges and matching a
// client by name or address against a ';'-separated list of entries.
#include "parse/ipspec.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/parse/ipspec.cpp");

namespace {

constexpr std::size_t kEntryMax = 64;
constexpr std::size_t kDigitsMax = 5;
constexpr int kPartMax = 255;

bool ReadNumber(std::string_view text, int* value) {
  if (text.empty() || text.size() > kDigitsMax) return false;
  int n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > kPartMax) return false;
  *value = n;
  return true;
}

bool ReadPart(std::string_view part, int* low, int* high) {
  if (part == "*") {
    *low = 0;
    *high = kPartMax;
    return true;
  }
  const std::size_t dash = part.find('-');
  if (dash == std::string_view::npos) {
    if (!ReadNumber(part, low)) return false;
    *high = *low;
    return true;
  }
  return ReadNumber(part.substr(0, dash), low) && ReadNumber(part.substr(dash + 1), high) &&
         *low < *high;
}

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// The client as ConnectionIPCheck sees it: the address's ranges (a plain
// address has low equal to high) and the name, when names are compared.
struct Client {
  const char* name = nullptr;
  bool haveAddress = false;
  int low[4] = {};
  int high[4] = {};
};

bool Matches(const std::string& entry, const Client& client) {
  if (entry == "*") return true;
  int low[4];
  int high[4];
  if (IPspecToRanges(entry.c_str(), low, high, 4) == 1) {
    if (!client.haveAddress) return false;
    for (int i = 0; i < 4; ++i) {
      if (client.low[i] < low[i] || client.high[i] > high[i]) return false;
    }
    return true;
  }
  return client.name != nullptr && HostStrCmp(entry.c_str(), client.name) == 0;
}

}  // namespace

int IPspecToRanges(const char* spec, int* lows, int* highs, int count) {
  if (spec == nullptr || lows == nullptr || highs == nullptr || count < 1) return 0;
  std::string_view rest(spec);
  for (int i = 0; i < count; ++i) {
    const std::size_t dot = rest.find('.');
    const bool last = i + 1 == count;
    // The last part takes the rest: a further dot makes it invalid.
    if (last != (dot == std::string_view::npos)) return 0;
    if (!ReadPart(rest.substr(0, dot), &lows[i], &highs[i])) return 0;
    if (!last) rest.remove_prefix(dot + 1);
  }
  return 1;
}

int ConnectionIPCheck(const char* host, const char* address, const char* specList) {
  if (specList == nullptr) return 0;
  Client client;
  client.name = host;
  if (address != nullptr && address[0] != '\0') {
    client.haveAddress = IPspecToRanges(address, client.low, client.high, 4) == 1;
  } else if (host != nullptr && IPspecToRanges(host, client.low, client.high, 4) == 1) {
    client.haveAddress = true;
    client.name = nullptr;
  }
  std::string_view rest(specList);
  for (;;) {
    const std::size_t semicolon = rest.find(';');
    const std::string_view entry = Trimmed(rest.substr(0, semicolon));
    if (!entry.empty() && entry.size() <= kEntryMax && Matches(std::string(entry), client)) {
      return 1;
    }
    if (semicolon == std::string_view::npos) return 0;
    rest.remove_prefix(semicolon + 1);
  }
}

int HostInArgvList(const char* host, const ArgvVec* argv) {
  if (argv == nullptr) return 0;
  for (int i = 0; i < argv->count; ++i) {
    if (HostStrCmp(argv->items[i], host) == 0) return 1;
  }
  return 0;
}

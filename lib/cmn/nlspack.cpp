// Packed catalogue messages: packing a (set, number) with its arguments into
// one flattened string, and expanding it again with this process's catalogue.
#include "cmn/nlspack.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/nlsfmt.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/utf.h"

TARN_RCSID("lib/cmn/nlspack.cpp");

namespace {

constexpr int kMaxTokens = 1000;
// All expansions of one SKprintf call together produce at most this much.
constexpr size_t kExpansionBudget = 4 * kSKprintfMax;
constexpr size_t kSmallArea = 64;
constexpr size_t kFloatArea = 256;

NlsAreaRing<kNlsPackedMax + 1> packAreas;
NlsAreaRing<kSmallArea> literalAreas;
NlsAreaRing<kSmallArea> timeAreas;
NlsAreaRing<kFloatArea> floatAreas;
char floatText[kFloatArea];
char formatLiteral[256];

bool IsValueType(char type) {
  return type == kNlsTypeLiteral || type == kNlsTypeTime || type == kNlsTypeShortTime ||
         type == kNlsTypeFloat;
}

// A flattened packed message: "15", separator, blank, typed item.
bool IsNestedMessage(std::string_view text) {
  return text.size() >= 5 && text[0] == '1' && text[1] == '5' && text[2] == kNlsSeparator &&
         text[3] == ' ' && text[4] == kNlsItemMark;
}

// A plain argument must stay one item that expands to itself: a separator
// byte inside it would split it, and a leading format or text mark would
// make the receiver take it as a format that consumes the items after it.
std::string PlainItem(std::string_view text) {
  if (text.size() > static_cast<size_t>(kNlsPackedMax - 1))
    text = text.substr(0, kNlsPackedMax - 1);
  while (!text.empty() && text[0] == kNlsItemMark && (text.size() < 2 || !IsValueType(text[1]))) {
    text.remove_prefix(1);
  }
  std::string item(text);
  std::replace(item.begin(), item.end(), kNlsSeparator, ' ');
  return item;
}

// The items of a message held in `bytes` (NUL-separated, ending in two NULs).
// Returns the code, or -1 when it is not a message.
int SplitMessage(std::string& bytes, std::vector<std::string>* items) {
  StrMsg msg;
  StrMsgInitL(&msg);
  const int code = StrParseStartNL(&msg, bytes.data(), bytes.size());
  if (code >= 0) {
    while (const char* item = StrParseNextL(&msg)) {
      if (items->size() >= static_cast<size_t>(kMaxTokens)) break;
      items->emplace_back(item);
    }
  }
  StrMsgParseDoneL(&msg);
  return code;
}

// A message text as NUL-separated bytes ending in two NULs. `text` is either
// a complete message (code, NUL, items, final NUL) or a flattened one; with
// splitItems separators inside the items become NULs too, so nested messages
// come apart into their items.
std::string MessageBytes(const char* text, bool splitItems) {
  size_t digits = 0;
  while (text[digits] >= '0' && text[digits] <= '9') ++digits;
  std::string bytes;
  if (digits > 0 && text[digits] == '\0') {
    bytes.assign(text, static_cast<size_t>(StrMsgTSize(text)));
  } else {
    bytes.assign(text);
    splitItems = true;
  }
  if (splitItems) std::replace(bytes.begin(), bytes.end(), kNlsSeparator, '\0');
  bytes.append(2, '\0');
  return bytes;
}

bool ParseInt(const char* p, const char** end, long long* value) {
  errno = 0;
  char* e = nullptr;
  *value = std::strtoll(p, &e, 10);
  if (e == p || errno != 0) return false;
  *end = e;
  return true;
}

// "[set:number]" exactly.
bool ParseReference(const char* p, int* set, int* number) {
  long long s = 0;
  long long n = 0;
  if (*p++ != '[' || !ParseInt(p, &p, &s) || *p++ != ':' || !ParseInt(p, &p, &n) || *p++ != ']' ||
      *p != '\0') {
    return false;
  }
  if (s < 0 || s > 0x7FFFFFFF || n < 0 || n > 0xFFFFFFFFLL) return false;
  *set = static_cast<int>(s);
  *number = static_cast<int>(static_cast<unsigned>(n));
  return true;
}

// A float format from a packer or from the wire: exactly one floating
// conversion and nothing the C library could read another argument for.
bool IsFloatFormat(const char* format) {
  if (format == nullptr || std::strlen(format) > 32) return false;
  int conversions = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    ++p;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    for (int i = 0; i < 3 && *p >= '0' && *p <= '9'; ++i) ++p;
    if (*p == '.') {
      ++p;
      for (int i = 0; i < 3 && *p >= '0' && *p <= '9'; ++i) ++p;
    }
    if (*p == 'l') ++p;
    if (*p == '\0' || std::strchr("fFeEgGaA", *p) == nullptr) return false;
    ++conversions;
  }
  return conversions == 1;
}

std::string ExpandTypedItem(const std::string& item) {
  if (item.size() < 2 || item[0] != kNlsItemMark) return item;
  const char* body = item.c_str() + 2;
  std::string text;
  long long value = 0;
  const char* end = nullptr;
  switch (item[1]) {
    case kNlsTypeFormat: {
      int set = 0;
      int number = 0;
      if (!ParseReference(body, &set, &number)) return item.substr(1);
      return std::string(1, kNlsItemMark) + NlsGetFormat(set, number);
    }
    case kNlsTypeLiteral:
      if (*body != '[' || !ParseInt(body + 1, &end, &value) || *end != ']' || value < 0 ||
          value > 0x7FFFFFFF) {
        return item.substr(1);
      }
      text = NlsGetLiteral(static_cast<int>(value));
      break;
    case kNlsTypeTime:
    case kNlsTypeShortTime:
      if (!ParseInt(body, &end, &value) || *end != '\0') return item.substr(1);
      text = item[1] == kNlsTypeTime ? StrFromTime(static_cast<time_t>(value))
                                     : StrShortFromTime(static_cast<time_t>(value));
      break;
    case kNlsTypeFloat: text = StrFromFloat(body); break;
    case kNlsTypeText: text = body; break;
    default: return item;
  }
  // A value never turns into a format.
  if (!text.empty() && text[0] == kNlsItemMark) text.erase(0, 1);
  return text;
}

std::string ExpandTokens(std::vector<std::string>& tokens) {
  DbgPlain(100, "*************** SKPrintf [START] ***************");
  DbgPlain(100, "Tokenize the string...");
  for (size_t i = 0; i < tokens.size(); ++i)
    DbgPlain(100, "token [%d] = %s", static_cast<int>(i), tokens[i].c_str());
  size_t budget = kExpansionBudget;
  for (size_t i = tokens.size(); i-- > 0;) {
    const std::string& token = tokens[i];
    if (token.empty() || token[0] != kNlsItemMark) continue;
    const std::string_view format = std::string_view(token).substr(1);
    if (format.find('%') == std::string_view::npos) {
      tokens[i] = std::string(format);
      continue;
    }
    const size_t limit = std::min(kSKprintfMax, budget);
    std::string result;
    NlsExpandFormat(format, limit, &result, [&](const NlsConversion&, int slot, std::string* text) {
      const size_t argument = i + 1 + static_cast<size_t>(slot);
      if (argument < tokens.size()) text->append(tokens[argument]);
    });
    if (result.size() > limit) result.resize(limit);
    budget -= result.size();
    const size_t slots = std::min(static_cast<size_t>(NlsConversionWalker::SlotCount(format)),
                                  tokens.size() - i - 1);
    tokens[i] = std::move(result);
    tokens.erase(tokens.begin() + static_cast<long>(i) + 1,
                 tokens.begin() + static_cast<long>(i + 1 + slots));
  }
  DbgPlain(100, "*************** SKPrintf [END] ***************");
  return tokens.empty() ? std::string() : tokens.front();
}

// True when every format among the expanded tokens finds all the arguments
// it takes and one text remains: then the tokens cannot take arguments
// that follow them.
bool IsSelfContained(const std::vector<std::string>& expanded) {
  size_t available = 0;
  for (size_t i = expanded.size(); i-- > 0;) {
    const std::string& token = expanded[i];
    if (!token.empty() && token[0] == kNlsItemMark) {
      const size_t slots =
          static_cast<size_t>(NlsConversionWalker::SlotCount(std::string_view(token).substr(1)));
      if (slots > available) return false;
      available -= slots;
    }
    ++available;
  }
  return available == 1;
}

// A nested packed message as one item: its items from the format reference
// on, joined by separators. Works on a copy; the caller's text is untouched.
// A nested message that would take arguments from the message around it is
// expanded here and carried as plain text.
std::string NestedItem(std::string_view text) {
  std::string bytes(text);
  std::replace(bytes.begin(), bytes.end(), kNlsSeparator, '\0');
  bytes.append(2, '\0');
  std::vector<std::string> items;
  SplitMessage(bytes, &items);
  std::vector<std::string> expanded;
  for (const std::string& item : items) expanded.push_back(ExpandTypedItem(item));
  if (!IsSelfContained(expanded)) return PlainItem(ExpandTokens(expanded));
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) {
      joined += kNlsSeparator;
      joined += ' ';
    }
    joined += item;
  }
  return joined;
}

char* HeapCopy(const std::string& text) {
  char* copy = static_cast<char*>(safe_malloc(text.size() + 1, TARN_HERE));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Expands the message in `bytes`; null when it is not a packed message.
char* ExpandMessage(std::string& bytes) {
  std::vector<std::string> items;
  const int code = SplitMessage(bytes, &items);
  if (code != kNlsPackedCode && code != kNlsExtractCode) return nullptr;
  for (std::string& item : items) item = ExpandTypedItem(item);
  return HeapCopy(ExpandTokens(items));
}

}  // namespace

const char* NlsPackMessageVA(int set, int number, NlsArgs args) {
  DbgPlain(100, "*************** NlsPackMessage [START] ***************");
  DbgPlain(100, "Message [%d:%d]", set, number);
  int found = 0;
  const std::string format = NlsGetCatalogStringEx(set, number, &found);
  char buffer[kNlsPackedMax];
  StrMsg msg;
  StrMsgInitL(&msg);
  StrMsgStartExL(&msg, buffer, sizeof buffer, kNlsPackedCode, 1);
  if (!found) {
    std::string item{kNlsItemMark, kNlsTypeText};
    item += std::string(CmnGetProgname()) + ": " + format + "\n";
    if (StrMsgAppendL(&msg, item.c_str()) != 0) StrMsgAppendL(&msg, "...");
  } else {
    // Each argument is shown by the first conversion that names it.
    std::vector<std::optional<NlsConversion>> conversions;
    NlsConversionWalker walker(format);
    std::string_view literal;
    NlsConversion c;
    int slot = 0;
    while (walker.Next(&literal, &c, &slot)) {
      if (slot < 0) continue;
      if (static_cast<size_t>(slot) >= conversions.size())
        conversions.resize(static_cast<size_t>(slot) + 1);
      if (!conversions[static_cast<size_t>(slot)]) conversions[static_cast<size_t>(slot)] = c;
    }
    char reference[64];
    std::snprintf(reference, sizeof reference, "%c%c[%d:%d]", kNlsItemMark, kNlsTypeFormat, set,
                  number);
    StrMsgAppendL(&msg, reference);
    DbgPlain(100, "Let's collect data from stack ...");
    for (size_t i = 0; i < conversions.size(); ++i) {
      std::string item;
      if (i < args.size()) {
        const NlsArg& arg = args[i];
        if (arg.kind != NlsArg::kText) {
          NlsFormatArg(conversions[i].value_or(NlsConversion{}), &arg, &item);
          DbgPlain(100, "buf[%d] = %s", static_cast<int>(i), item.c_str());
        } else if (arg.nullText) {
          DbgPlain(kDbgUnexpected, "[%s] Got NULL parameter ($%d) for [%d:%d]", "NlsPackMessage",
                   static_cast<int>(i) + 1, set, number);
          item = "(NULL)";
        } else if (IsNestedMessage(arg.text)) {
          item = NestedItem(arg.text);
          DbgPlain(100, "buf[nested] = %s", item.c_str());
        } else {
          item = PlainItem(arg.text);
          DbgPlain(100, "Simple message = %s", item.c_str());
        }
      }
      // Once not even "..." fits, later items stay out too: a short one
      // must not take the place of the one that was dropped.
      if (StrMsgAppendL(&msg, item.c_str()) != 0 && StrMsgAppendL(&msg, "...") != 0) break;
    }
  }
  MsgConvertNullToCharWithZeros(buffer);
  char* area = packAreas.Take();
  std::snprintf(area, kNlsPackedMax + 1, "%s", buffer);
  DbgPlain(100, "Returned message (RetVal): %s\n", area);
  DbgPlain(100, "*************** NlsPackMessage [END] ***************");
  return area;
}

const char* NlsPackLiteral(int n) {
  char* area = literalAreas.Take();
  std::snprintf(area, kSmallArea, "%c%c[%d]", kNlsItemMark, kNlsTypeLiteral, n);
  return area;
}

const char* NlsPackTime(time_t t) {
  char* area = timeAreas.Take();
  std::snprintf(area, kSmallArea, "%c%c%ld", kNlsItemMark, kNlsTypeTime, static_cast<long>(t));
  return area;
}

const char* NlsPackShortTime(time_t t) {
  char* area = timeAreas.Take();
  std::snprintf(area, kSmallArea, "%c%c%ld", kNlsItemMark, kNlsTypeShortTime, static_cast<long>(t));
  return area;
}

const char* NlsPackFloat(double value, const char* format) {
  if (!IsFloatFormat(format)) format = "%g";
  char number[kFloatArea - 48];  // leaves room for the marks and a 32-byte format
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(number, sizeof number, format, value);
#pragma GCC diagnostic pop
  char* area = floatAreas.Take();
  std::snprintf(area, kFloatArea, "%c%c%s%c%s", kNlsItemMark, kNlsTypeFloat, number, 'S', format);
  return area;
}

const char* StrFromFloat(const char* item) {
  floatText[0] = '\0';
  if (item == nullptr) return floatText;
  const char* split = std::strchr(item, 'S');
  std::string value =
      split != nullptr ? std::string(item, static_cast<size_t>(split - item)) : item;
  const char* format = split != nullptr ? split + 1 : "%g";
  if (!IsFloatFormat(format)) format = "%g";
  const char* point = std::localeconv()->decimal_point;
  for (char& ch : value) {
    if (ch == '.' || ch == ',') ch = point != nullptr && point[0] != '\0' ? point[0] : '.';
  }
  const double number = std::strtod(value.c_str(), nullptr);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(floatText, sizeof floatText, format, number);
#pragma GCC diagnostic pop
  return floatText;
}

char* NlsFormatPackedMessage(const char* text) {
  if (text == nullptr) return nullptr;
  std::string bytes(text);
  std::replace(bytes.begin(), bytes.end(), kNlsSeparator, '\0');
  bytes.append(2, '\0');
  return ExpandMessage(bytes);
}

char* NlsFormatReceivedMessage() {
  return NlsGetSingleFromSM(nullptr);
}

char* NlsGetSingleFromSM(const char* text) {
  if (text != nullptr) {
    std::string bytes = MessageBytes(text, true);
    return ExpandMessage(bytes);
  }
  StrMsg* global = StrMsgGetGlobal();
  const char* received = global != nullptr ? StrMsgGetRBufL(global) : nullptr;
  const int size = global != nullptr ? StrMsgSizeRBufL(global) : -1;
  if (received == nullptr || size <= 0) return nullptr;
  std::string bytes(received, static_cast<size_t>(size));
  std::replace(bytes.begin(), bytes.end(), kNlsSeparator, '\0');
  bytes.append(2, '\0');
  return ExpandMessage(bytes);
}

char* NlsExtractFromSM(const char* text) {
  if (text == nullptr) text = "";
  // A packed message handed over as a text expands as such.
  if (IsNestedMessage(text)) return NlsFormatPackedMessage(text);
  std::string bytes = std::to_string(kNlsExtractCode);
  bytes += '\0';
  bytes += ' ';
  bytes += text;
  std::replace(bytes.begin(), bytes.end(), kNlsSeparator, '\0');
  bytes.append(3, '\0');
  return ExpandMessage(bytes);
}

char* NlsExtractFromSMAdjustLC(const char* text, const char* locale) {
  if (text == nullptr || locale == nullptr || locale[0] == '\0') return NlsExtractFromSM(text);
  // iconv wants the code set: "de_DE.ISO8859-1@euro" converts to "ISO8859-1".
  std::string codeset = locale;
  const size_t dot = codeset.find('.');
  if (dot != std::string::npos) codeset.erase(0, dot + 1);
  const size_t at = codeset.find('@');
  if (at != std::string::npos) codeset.erase(at);
  char* converted = StrNullCopyAdjustLC_input(text, codeset.c_str());
  char* result = NlsExtractFromSM(converted != nullptr ? converted : text);
  safe_free(converted, TARN_HERE);
  return result;
}

char* SKprintf(const char* text) {
  if (text == nullptr) return nullptr;
  std::string bytes(text, static_cast<size_t>(StrMsgTSize(text)));
  bytes.append(2, '\0');
  std::vector<std::string> tokens;
  const int code = SplitMessage(bytes, &tokens);
  if (code != kNlsPackedCode && code != kNlsExtractCode) {
    DbgPlain(100, "Not a valid message number --> %d", code);
    return nullptr;
  }
  return HeapCopy(ExpandTokens(tokens));
}

void FPrintPackedMessage(FILE* stream, const char* text) {
  if (stream == nullptr) return;
  if (text == nullptr) {
    StrMsg* global = StrMsgGetGlobal();
    text = global != nullptr ? StrMsgGetRBufL(global) : nullptr;
    if (text == nullptr) return;
  }
  std::string bytes = MessageBytes(text, false);
  std::vector<std::string> items;
  const int code = SplitMessage(bytes, &items);
  if (code == 4 || code == 9) {
    FPrint(stream, items.empty() ? "" : items.front().c_str());
  } else if (code == kNlsPackedCode) {
    char* expanded = NlsGetSingleFromSM(text);
    FPrint(stream, expanded != nullptr ? expanded : "");
    safe_free(expanded, TARN_HERE);
  } else {
    DbgPlain(kDbgUnexpected, "%s: Strange message received: %s", "PrintPackedMessage", text);
    FPrint(stream, text);
  }
}

void PrintPackedMessage(const char* text) {
  FPrintPackedMessage(stdout, text);
}

const char* NlsGetFormat(int set, int number) {
  int found = 0;
  return NlsGetCatalogStringEx(set, number, &found);
}

const char* NlsFormatLiteral(const char* text) {
  const char* open = text != nullptr ? std::strchr(text, '[') : nullptr;
  long long n = 0;
  const char* end = nullptr;
  if (open != nullptr && ParseInt(open + 1, &end, &n) && *end == ']' && n > 0 && n <= 0x7FFFFFFF) {
    std::snprintf(formatLiteral, sizeof formatLiteral, "%s", NlsGetLiteral(static_cast<int>(n)));
  }
  return formatLiteral;
}

int isformat(const char* text) {
  if (text == nullptr || text[0] != kNlsItemMark) return -1;
  return static_cast<int>(std::count(text, text + std::strlen(text), '%'));
}

// Variants: the text form written by the packer, and the escaping of quoted
// texts that the text form and the integration's path encoder share.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/base64.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/var.h"
#include "cmn/var_impl.h"

TARN_RCSID("lib/cmn/var_pack.cpp");

namespace {

constexpr char kEscape = '\x01';

// The one area StrEscape and StrUnescape return their results in.
std::string escapeArea;

// Letter that stands for `c` under `options`, or 0 when c stays as it is.
char EscapeLetter(unsigned char c, int options) {
  switch (c) {
    case kEscape: return kEscape;
    case '\'': return (options & STR_ESCAPE_QUOTE) ? 'q' : 0;
    case '"': return (options & STR_ESCAPE_DQUOTE) ? 'Q' : 0;
    case '/': return (options & STR_ESCAPE_SLASH) ? 's' : 0;
    case '\\': return (options & STR_ESCAPE_BACKSLASH) ? 'b' : 0;
    case ':': return (options & STR_ESCAPE_COLON) ? 'c' : 0;
    default: return 0;
  }
}

char UnescapeLetter(char letter) {
  switch (letter) {
    case kEscape: return kEscape;
    case 'q': return '\'';
    case 'Q': return '"';
    case 's': return '/';
    case 'b': return '\\';
    case 'c': return ':';
    default: return 0;
  }
}

constexpr int kMaxTabLevel = 15;
constexpr int kMaxListDepth = 14;

constexpr const char* tabs_default[kMaxTabLevel + 1] = {
    "",
    "\t",
    "\t\t",
    "\t\t\t",
    "\t\t\t\t",
    "\t\t\t\t\t",
    "\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t\t\t\t\t",
    "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t",
};
constexpr const char* tabs_empty[kMaxTabLevel + 1] = {"", "", "", "", "", "", "", "",
                                                      "", "", "", "", "", "", "", ""};

// Internal flag carried to the values inside a brace-less outermost list: their
// indentation is one level less.
constexpr int kShiftTabs = 0x10000;

bool IsKeyDelimiter(unsigned char c) {
  return std::strchr("{}()[]=,; \t\v\r\n'\"", c) != nullptr && c != '\0';
}

// A key is written bare only when it reads back as the same key: not empty,
// no '#' in front (a comment), no delimiter, no control byte.
bool KeyNeedsQuotes(const char* key) {
  if (key == nullptr || *key == '\0' || *key == '#') return true;
  for (const auto* p = reinterpret_cast<const unsigned char*>(key); *p != '\0'; ++p) {
    if (*p < 0x20 || *p == 0x7f || IsKeyDelimiter(*p)) return true;
  }
  return false;
}

int AppendQuoted(CmnVar* out, const char* text, size_t length) {
  if (!cmnvar::Append(out, "'", 1)) return -1;
  if (text != nullptr && length > 0) {
    size_t n = length;
    const char* escaped = StrEscape(text, &n, STR_ESCAPE_QUOTE);
    if (!cmnvar::Append(out, escaped, n)) return -1;
  }
  return cmnvar::Append(out, "'", 1) ? 0 : -1;
}

int AppendFormatted(CmnVar* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
int AppendFormatted(CmnVar* out, const char* format, ...) {
  char buffer[64];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buffer) return -1;
  return cmnvar::Append(out, buffer, static_cast<size_t>(n)) ? 0 : -1;
}

// Options handed to the values inside a container: only the outermost list
// may be brace-less.
CmnVarPackOptions ChildOptions(const CmnVarPackOptions* options, bool shift) {
  CmnVarPackOptions child = options != nullptr ? *options : CmnVarPackOptions{};
  child.flags &= ~VAR_PACK_NOBRACES;
  if (shift) child.flags |= kShiftTabs;
  return child;
}

}  // namespace

// ---- escaping -------------------------------------------------------------------

const char* StrEscape(const char* text, size_t* length, int options) {
  if (text == nullptr) return nullptr;
  const size_t n = length != nullptr ? *length : std::strlen(text);
  size_t first = 0;
  while (first < n && EscapeLetter(static_cast<unsigned char>(text[first]), options) == 0) ++first;
  if (first == n) {
    if (length != nullptr) *length = n;
    return text;
  }
  escapeArea.assign(text, first);
  for (size_t i = first; i < n; ++i) {
    const char letter = EscapeLetter(static_cast<unsigned char>(text[i]), options);
    if (letter != 0) {
      escapeArea.push_back(kEscape);
      escapeArea.push_back(letter);
    } else {
      escapeArea.push_back(text[i]);
    }
  }
  if (length != nullptr) *length = escapeArea.size();
  return escapeArea.c_str();
}

const char* StrUnescape(const char* text, size_t* length) {
  if (text == nullptr) return nullptr;
  const size_t n = length != nullptr ? *length : std::strlen(text);
  const void* firstEscape = std::memchr(text, kEscape, n);
  if (firstEscape == nullptr) {
    if (length != nullptr) *length = n;
    return text;
  }
  const auto first = static_cast<size_t>(static_cast<const char*>(firstEscape) - text);
  escapeArea.assign(text, first);
  for (size_t i = first; i < n; ++i) {
    if (text[i] != kEscape) {
      escapeArea.push_back(text[i]);
      continue;
    }
    const char c = i + 1 < n ? UnescapeLetter(text[i + 1]) : 0;
    if (c == 0) {
      ErhMark(ERH_UNESCAPE, 0, "BU_DecodePath::InvalidCharacterSequence", kErhMajor);
      return nullptr;
    }
    escapeArea.push_back(c);
    ++i;
  }
  if (length != nullptr) *length = escapeArea.size();
  return escapeArea.c_str();
}

// ---- pack operations of the kinds ------------------------------------------------

namespace cmnvar {

int IntegerPack(CmnVar self, CmnVar* out, int, const CmnVarPackOptions*) {
  return AppendFormatted(out, "%lld", static_cast<long long>(self.u.integer));
}

int RangePack(CmnVar self, CmnVar* out, int, const CmnVarPackOptions*) {
  return AppendFormatted(out, "[%d,%d]", self.u.range.first, self.u.range.second);
}

int StringPack(CmnVar self, CmnVar* out, int, const CmnVarPackOptions*) {
  return AppendQuoted(out, self.u.text.data, self.u.text.length);
}

int ArrayPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options) {
  const CmnVarPackOptions child = ChildOptions(options, false);
  if (!Append(out, "(", 1)) return -1;
  for (size_t i = 0; i < self.u.array.count; ++i) {
    if (i > 0 && !Append(out, ",", 1)) return -1;
    if (CmnVarSerialize(out, self.u.array.items[i], depth, &child) != 0) return -1;
  }
  return Append(out, ")", 1) ? 0 : -1;
}

int ListPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options) {
  const int flags = options != nullptr ? options->flags : 0;
  const bool braceless = (flags & VAR_PACK_NOBRACES) != 0 && depth == 0;
  const bool shift = braceless || (flags & kShiftTabs) != 0;
  const char* const* tabs = options != nullptr && options->tabs != nullptr ? options->tabs
                            : (flags & VAR_PACK_NOTABS)                    ? tabs_empty
                                                                           : tabs_default;
  const auto tab = [&](int level) {
    return tabs[std::clamp(level - (shift ? 1 : 0), 0, kMaxTabLevel)];
  };
  const char* eol = (flags & VAR_PACK_NOLF) ? "" : "\n";
  const int d = std::min(depth, kMaxListDepth);
  const CmnVarPackOptions child = ChildOptions(options, shift);

  if (!braceless && (!Append(out, "{", 1) || !AppendText(out, eol))) return -1;
  for (size_t i = 0; i < self.u.list.count; ++i) {
    const CmnVarEntry& e = self.u.list.entries[i];
    if (!AppendText(out, tab(d + 1))) return -1;
    if (KeyNeedsQuotes(e.key)) {
      if (AppendQuoted(out, e.key, e.key != nullptr ? std::strlen(e.key) : 0) != 0) return -1;
    } else if (!AppendText(out, e.key)) {
      return -1;
    }
    if (!Append(out, "=", 1)) return -1;
    if (CmnVarSerialize(out, e.value, depth + 1, &child) != 0) return -1;
    if (!Append(out, ";", 1) || !AppendText(out, eol)) return -1;
  }
  if (!braceless && (!AppendText(out, tab(d)) || !Append(out, "}", 1))) return -1;
  return 0;
}

}  // namespace cmnvar

// ---- text form ----------------------------------------------------------------------

int CmnVarSerialize(CmnVar* out, CmnVar var, int depth, const CmnVarPackOptions* options) {
  if (out == nullptr) return -1;
  if (!cmnvar::Append(out, "", 0)) return -1;
  if (var.klass == nullptr || var.klass->pack == nullptr) return 0;
  return var.klass->pack(var, out, depth < 0 ? 0 : depth, options);
}

char* CmnVarPackEx(CmnVar var, const CmnVarPackOptions* options) {
  CmnVar out = VarUndef;
  if (CmnVarSerialize(&out, var, 0, options) != 0) {
    CmnVarFree(&out);
    return nullptr;
  }
  // The text's storage came from the tracked allocator: it is handed over.
  char* text = out.u.text.data;
  if (options == nullptr || (options->flags & VAR_PACK_BASE64) == 0) return text;
  char* encoded = base64Tencode(text);
  safe_free(text, TARN_HERE);
  return encoded;
}

char* CmnVarPack(CmnVar var) {
  return CmnVarPackEx(var, nullptr);
}

void CmnVarDbgDump(int level, const CmnVar* var) {
  if (!DbgMatch(level)) return;
  char* packed = var != nullptr ? CmnVarPack(*var) : nullptr;
  DbgPlain(level, "[VarDbgDump] %p\n%s", static_cast<const void*>(var),
           packed != nullptr ? packed : "<null>");
  if (packed != nullptr) safe_free(packed, TARN_HERE);
}

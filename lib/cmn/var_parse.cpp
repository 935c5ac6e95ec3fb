// Variants: the tokenizer and recursive parser of the text form. Its input
// comes from files and from peers, so it reads without writing, bounds its
// recursion and reports every fault as a syntax error.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/base64.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/var.h"
#include "cmn/var_impl.h"

TARN_RCSID("lib/cmn/var_parse.cpp");

namespace {

enum TokenType : int {
  token_eof = 0,
  token_string = 1,
  token_number = 2,
  token_range_begin = 3,
  token_range_end = 4,
  token_array_begin = 5,
  token_array_end = 6,
  token_list_begin = 7,
  token_list_end = 8,
  token_eq = 9,
  token_comma = 10,
  token_delimiter = 11,
  // An unterminated quoted text or a NUL byte.
  token_invalid = 12,
};

constexpr const char* kTokenNames[] = {
    "EOF", "string", "number", "'['", "']'",       "'('",           "')'",
    "'{'", "'}'",    "'='",    "','", "delimiter", "invalid token",
};

constexpr const char kExpectNumber[] = "token->type==token_number";
constexpr const char kExpectComma[] = "token->type==token_comma";
constexpr const char kExpectRangeEnd[] = "token->type==token_range_end";
constexpr const char kExpectArrayEnd[] = "token->type==token_array_end";
constexpr const char kExpectKey[] = "token->type==token_string || token->type==token_number";
constexpr const char kExpectEq[] = "token->type==token_eq";
constexpr const char kExpectDepth[] = "nesting depth at most 64";
constexpr const char kExpectInRange[] = "number in range";
constexpr const char kExpectValidToken[] = "valid token";
constexpr const char kExpectValidEscape[] = "valid escape sequence";

static_assert(kCmnVarMaxParseDepth == 64, "kExpectDepth names the limit");

// The rest of a line quoted in an error message is cut to this many bytes:
// a text packed without line breaks is one line.
constexpr size_t kNearMax = 255;

constexpr char kFunction[] = "CmnVarDeserialize";

// The tokenizer: `start`..`end` is the current token (for a quoted text, its
// contents without the quotes).
struct Tokenizer {
  const char* text;
  const char* limit;
  const char* cursor;
  int type;
  const char* start;
  const char* end;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EndsWord(char c) {
  switch (c) {
    case '{':
    case '}':
    case '(':
    case ')':
    case '[':
    case ']':
    case '=':
    case ',':
    case ';':
    case ' ':
    case '\t':
    case '\v':
    case '\r':
    case '\n':
    case '\'':
    case '"':
    case '\0': return true;
    default: return false;
  }
}

void token_next(Tokenizer* t) {
  const char* p = t->cursor;
  for (;;) {
    while (p < t->limit && IsBlank(*p)) ++p;
    if (p < t->limit && *p == '#') {
      const void* eol = std::memchr(p, '\n', static_cast<size_t>(t->limit - p));
      p = eol != nullptr ? static_cast<const char*>(eol) : t->limit;
      continue;
    }
    break;
  }
  t->start = p;
  if (p >= t->limit) {
    t->type = token_eof;
    t->end = t->cursor = t->limit;
    return;
  }
  switch (*p) {
    case '[': t->type = token_range_begin; break;
    case ']': t->type = token_range_end; break;
    case '(': t->type = token_array_begin; break;
    case ')': t->type = token_array_end; break;
    case '{': t->type = token_list_begin; break;
    case '}': t->type = token_list_end; break;
    case '=': t->type = token_eq; break;
    case ',': t->type = token_comma; break;
    case ';': t->type = token_delimiter; break;
    case '\0': t->type = token_invalid; break;
    case '\'': {
      const char* q = p + 1;
      while (q < t->limit && *q != '\'' && *q != '\0') ++q;
      if (q >= t->limit || *q != '\'') {
        t->type = token_invalid;
        t->end = t->cursor = q;
        return;
      }
      t->type = token_string;
      t->start = p + 1;
      t->end = q;
      t->cursor = q + 1;
      return;
    }
    default: {
      // The first character always belongs to the word, so a lone '"' moves on.
      const char* q = p + 1;
      while (q < t->limit && !EndsWord(*q)) ++q;
      t->type = std::all_of(p, q, [](char c) { return (c >= '0' && c <= '9') || c == '-'; })
                    ? token_number
                    : token_string;
      t->end = t->cursor = q;
      return;
    }
  }
  t->end = t->cursor = p + 1;
}

struct Parser {
  Tokenizer tok;
  CmnVarUnpackState* state;
  bool failed;
};

void Advance(Parser* p) {
  token_next(&p->tok);
}

void SyntaxError(Parser* p, const char* expected, int sourceLine) {
  if (p->failed) return;
  p->failed = true;
  const Tokenizer& t = p->tok;
  const char* at = t.start;  // an unterminated text: its opening quote
  int line = 1;
  const char* lineStart = t.text;
  for (const char* c = t.text; c < at; ++c) {
    if (*c == '\n') {
      ++line;
      lineStart = c + 1;
    }
  }
  const int column = static_cast<int>(std::min<ptrdiff_t>(at - lineStart + 1, INT_MAX));
  const char* nearEnd = at;
  while (nearEnd < t.limit && *nearEnd != '\n' && *nearEnd != '\0' &&
         static_cast<size_t>(nearEnd - at) < kNearMax) {
    ++nearEnd;
  }
  const char* found = kTokenNames[t.type];
  char message[512];
  std::snprintf(message, sizeof message,
                "Syntax error at line %d, column %d. Expected '%s', got %s. Near: '%.*s'", line,
                column, expected, found, static_cast<int>(nearEnd - at), at);
  DbgPlain(30, "[%s:%d] %s", kFunction, sourceLine, message);
  const bool ownMark = ErhErrno() == 0;
  ErhMark(ERH_VAR_PARSE, 0, kFunction, kErhMajor);
  if (ownMark) ErhSetSysErrorStr(message);
  if (p->state != nullptr) {
    p->state->error |= VAR_UNPACK_ERROR;
    p->state->column = column;
    p->state->line = line;
    p->state->token = found;
  }
}

// The token's unescaped text into `out`; false after a syntax error.
bool TokenText(Parser* p, std::string* out, int sourceLine) {
  size_t n = static_cast<size_t>(p->tok.end - p->tok.start);
  const char* text = StrUnescape(p->tok.start, &n);
  if (text == nullptr) {
    SyntaxError(p, kExpectValidEscape, sourceLine);
    return false;
  }
  out->assign(text, n);
  return true;
}

// Reads a number token as "%lld" would, but refuses values that do not fit
// between `min` and `max` instead of wrapping them.
bool TokenNumber(Parser* p, long long min, long long max, long long* value, int sourceLine) {
  const char* c = p->tok.start;
  const char* end = p->tok.end;
  const bool negative = c < end && *c == '-';
  if (negative) ++c;
  unsigned long long magnitude = 0;
  const unsigned long long bound = negative ? static_cast<unsigned long long>(-(min + 1)) + 1
                                            : static_cast<unsigned long long>(max);
  bool digits = false;
  for (; c < end && *c >= '0' && *c <= '9'; ++c) {
    digits = true;
    const unsigned d = static_cast<unsigned>(*c - '0');
    if (magnitude > (bound - d) / 10) {
      SyntaxError(p, kExpectInRange, sourceLine);
      return false;
    }
    magnitude = magnitude * 10 + d;
  }
  if (!digits) {
    *value = 0;
  } else if (negative) {
    *value = magnitude == 0 ? 0 : -static_cast<long long>(magnitude - 1) - 1;
  } else {
    *value = static_cast<long long>(magnitude);
  }
  return true;
}

CmnVar Deserialize(Parser* p, int depth);

// Checks the current token's type; a syntax error naming `expected` otherwise.
bool Expect(Parser* p, int type, const char* expected, int sourceLine) {
  if (p->tok.type == type) return true;
  SyntaxError(p, expected, sourceLine);
  return false;
}

CmnVar ParseRange(Parser* p) {
  long long first = 0;
  long long second = 0;
  Advance(p);
  if (!Expect(p, token_number, kExpectNumber, __LINE__) ||
      !TokenNumber(p, INT32_MIN, INT32_MAX, &first, __LINE__)) {
    return VarUndef;
  }
  Advance(p);
  if (!Expect(p, token_comma, kExpectComma, __LINE__)) return VarUndef;
  Advance(p);
  if (!Expect(p, token_number, kExpectNumber, __LINE__) ||
      !TokenNumber(p, INT32_MIN, INT32_MAX, &second, __LINE__)) {
    return VarUndef;
  }
  Advance(p);
  if (!Expect(p, token_range_end, kExpectRangeEnd, __LINE__)) return VarUndef;
  Advance(p);
  return CmnVarRange(static_cast<int32_t>(first), static_cast<int32_t>(second));
}

CmnVar ParseArray(Parser* p, int depth) {
  Advance(p);
  CmnVar arr = cmnvar::EmptyOf(var_class_array);
  for (;;) {
    CmnVar element = Deserialize(p, depth + 1);
    if (p->failed) {
      CmnVarFree(&element);
      CmnVarFree(&arr);
      return VarUndef;
    }
    if (element.klass == nullptr) break;
    if (CmnVarPush(&arr, element) == nullptr) {
      CmnVarFree(&element);
      CmnVarFree(&arr);
      return VarUndef;
    }
    if (p->tok.type != token_comma) break;
    Advance(p);
  }
  if (!Expect(p, token_array_end, kExpectArrayEnd, __LINE__)) {
    CmnVarFree(&arr);
    return VarUndef;
  }
  Advance(p);
  return arr;
}

// A keyed list; `braced` false reads a body that the end of the text closes.
CmnVar ParseList(Parser* p, int depth, bool braced) {
  if (braced) Advance(p);
  CmnVar list = cmnvar::EmptyOf(var_class_list);
  std::string key;
  for (;;) {
    while (p->tok.type == token_delimiter) Advance(p);
    if (braced && p->tok.type == token_list_end) {
      Advance(p);
      break;
    }
    if (!braced && p->tok.type == token_eof) break;
    if (p->tok.type != token_string && p->tok.type != token_number) {
      SyntaxError(p, kExpectKey, __LINE__);
      break;
    }
    if (!TokenText(p, &key, __LINE__)) break;
    Advance(p);
    if (!Expect(p, token_eq, kExpectEq, __LINE__)) break;
    Advance(p);
    CmnVar value = Deserialize(p, depth + 1);
    // A nested list keeps what it read before an error; nothing else does.
    if (p->failed && value.klass == nullptr) break;
    if (CmnVarListAdd(&list, key.c_str(), value) == nullptr) {
      CmnVarFree(&value);
      break;
    }
    if (p->failed) break;
  }
  return list;
}

CmnVar Deserialize(Parser* p, int depth) {
  if (p->failed) return VarUndef;
  const int type = p->tok.type;
  if ((type == token_array_begin || type == token_list_begin) && depth > kCmnVarMaxParseDepth) {
    SyntaxError(p, kExpectDepth, __LINE__);
    return VarUndef;
  }
  switch (type) {
    case token_string: {
      std::string text;
      if (!TokenText(p, &text, __LINE__)) return VarUndef;
      Advance(p);
      return CmnVarTextN(text.data(), text.size());
    }
    case token_number: {
      long long value = 0;
      if (!TokenNumber(p, LLONG_MIN, LLONG_MAX, &value, __LINE__)) return VarUndef;
      Advance(p);
      return CmnVarInt64(value);
    }
    case token_range_begin: return ParseRange(p);
    case token_array_begin: return ParseArray(p, depth);
    case token_list_begin: return ParseList(p, depth, true);
    case token_invalid: SyntaxError(p, kExpectValidToken, __LINE__); return VarUndef;
    default: return VarUndef;
  }
}

}  // namespace

CmnVar cmnvar::ParseText(const char* text, size_t length, CmnVarUnpackState* state, int flags) {
  Parser p{};
  p.tok.text = p.tok.cursor = text;
  p.tok.limit = text + length;
  p.state = state;
  Advance(&p);
  if (flags & VAR_PACK_NOBRACES) return ParseList(&p, 0, false);
  return Deserialize(&p, 0);
}

CmnVar CmnVarUnpackEx(const char* text, CmnVarUnpackState* state) {
  const int flags = state != nullptr ? state->flags : 0;
  if (state != nullptr) {
    state->error = 0;
    state->column = state->line = 0;
    state->token = nullptr;
  }
  if (text == nullptr) return VarUndef;
  if ((flags & VAR_PACK_BASE64) == 0)
    return cmnvar::ParseText(text, std::strlen(text), state, flags);

  size_t decodedLength = 0;
  char* decoded = base64decode(text, &decodedLength);
  if (decoded == nullptr) {
    DbgPlain(30, "[%s] base64 decoding of the text form failed", "CmnVarUnpackEx");
    if (state != nullptr) state->error |= VAR_UNPACK_ERROR;
    return VarUndef;
  }
  CmnVar result = cmnvar::ParseText(decoded, decodedLength, state, flags);
  safe_free(decoded, TARN_HERE);
  return result;
}

CmnVar CmnVarUnpack(const char* text) {
  return CmnVarUnpackEx(text, nullptr);
}

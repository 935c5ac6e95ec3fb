// Keyword scanner over a character callback, with a token buffer that grows
// in large steps so that long quoted texts never get cut.
#include "parse/pstoken.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <new>
#include <string>

#include "cmn/defines.h"

TARN_RCSID("lib/parse/pstoken.cpp");

namespace {

constexpr std::size_t kTokenGrowStep = 128 * 1024;
// An input that never ends a token must not take all memory.
constexpr std::size_t kTokenMax = 128 * kTokenGrowStep;

PsSwitches switches{};
std::string token;

// False when the token would pass kTokenMax or memory runs out.
bool Append(char c) {
  if (token.size() == token.capacity()) {
    if (token.size() >= kTokenMax) return false;
    try {
      token.reserve(std::min(token.capacity() + kTokenGrowStep, kTokenMax));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  token.push_back(c);
  return true;
}

// The callback may hand back any int; only 0 to 255 are characters to classify.
bool IsSpace(int c) {
  return c >= 0 && c <= 255 && std::isspace(c) != 0;
}
bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

bool EndsWord(int c) {
  if (c < 0 || IsSpace(c) || c == '{' || c == '}' || c == ';' || c == '+' || c == '"' ||
      c == '\'') {
    return true;
  }
  if (c == ':' && !switches.colonInWords) return true;
  if (switches.listSyntax) return c == '(' || c == ')' || c == '=' || c == ',' || c == '#';
  if (c == '#') return true;
  if (c == '=') return switches.endAtEquals;
  if (c == ',') return switches.endAtComma;
  if (c == '(' || c == ')') return switches.endAtParens;
  return false;
}

int SingleCharCode(int c) {
  switch (c) {
    case '{': return PS_TOK_LBRACE;
    case '}': return PS_TOK_RBRACE;
    case ';': return PS_TOK_SEMICOLON;
    case '+': return PS_TOK_PLUS;
    case ':': return switches.colonInWords ? 0 : PS_TOK_COLON;
    default: break;
  }
  if (!switches.listSyntax) return 0;
  switch (c) {
    case '(': return PS_TOK_LPAREN;
    case ')': return PS_TOK_RPAREN;
    case '=': return PS_TOK_EQUALS;
    case ',': return PS_TOK_COMMA;
    case '#': return PS_TOK_HASH;
    default: return 0;
  }
}

int TooLong() {
  token.clear();
  return PS_TOK_END;
}

}  // namespace

void PsSetSwitches(const PsSwitches& newSwitches) {
  switches = newSwitches;
}

const char* PsTokenText() {
  return token.c_str();
}

int PsGetToken(PsNextCharFn nextChar, int* current, void* arg1, void* arg2,
               const PsKeyword* keywords, int* value1, int* value2) {
  if (nextChar == nullptr || current == nullptr) return PS_TOK_END;
  token.clear();
  int& c = *current;
  for (;;) {
    while (IsSpace(c)) c = nextChar(arg1, arg2);
    if (c == '#' && !switches.listSyntax) {
      while (c >= 0 && c != '\n') c = nextChar(arg1, arg2);
      continue;
    }
    break;
  }
  if (c < 0) return PS_TOK_END;

  if (const int code = SingleCharCode(c); code != 0) {
    c = nextChar(arg1, arg2);
    return code;
  }

  if (c == '"' || c == '\'') {
    const int quote = c;
    c = nextChar(arg1, arg2);
    while (c >= 0 && c != quote && c != '\n') {
      if (!Append(static_cast<char>(c))) return TooLong();
      c = nextChar(arg1, arg2);
    }
    if (c == quote) c = nextChar(arg1, arg2);
    return PS_TOK_QUOTED;
  }

  bool digits = true;
  // A character that a switch makes end words is, met first, a word of its
  // own; otherwise the scan would stand still on it.
  const bool single = EndsWord(c);
  do {
    if (!IsDigit(c)) digits = false;
    if (!Append(static_cast<char>(c))) return TooLong();
    c = nextChar(arg1, arg2);
  } while (!single && !EndsWord(c));
  for (const PsKeyword* row = keywords; row != nullptr && row->text != nullptr; ++row) {
    if (strcasecmp(row->text, token.c_str()) == 0) {
      if (value1 != nullptr) *value1 = row->value1;
      if (value2 != nullptr) *value2 = row->value2;
      return row->code;
    }
  }
  return digits ? PS_TOK_NUMBER : PS_TOK_WORD;
}

const char* PsFindTokenStr(int code, const PsKeyword* keywords, int value) {
  for (const PsKeyword* row = keywords; row != nullptr && row->text != nullptr; ++row) {
    if (row->code == code && row->value1 == value) return row->text;
  }
  return nullptr;
}

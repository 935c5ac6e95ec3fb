// Keyword scanner: reads characters through a caller's callback and returns
// the code of the next token, recognising the words of a keyword table.
#pragma once

#include <cstddef>

// Token codes.
enum PsTokenCode : int {
  PS_TOK_NUMBER = 48,  // a run of digits
  PS_TOK_WORD = 50,    // any other word not in the keyword table
  PS_TOK_END = 51,
  PS_TOK_LBRACE = 52,
  PS_TOK_RBRACE = 53,
  PS_TOK_COLON = 54,
  PS_TOK_SEMICOLON = 62,
  PS_TOK_QUOTED = 70,  // text in quotes, without them
  PS_TOK_PLUS = 256,
  PS_TOK_LPAREN = 323,  // the five list-syntax codes
  PS_TOK_RPAREN = 324,
  PS_TOK_EQUALS = 325,
  PS_TOK_COMMA = 326,
  PS_TOK_HASH = 327,
};

// One row of a keyword table; a table ends with a row whose text is null.
struct PsKeyword {
  const char* text;  // compared without regard to case
  int code;
  int value1;
  int value2;
};

// Returns the next character, or -1 at the end of the input.
using PsNextCharFn = int (*)(void* arg1, void* arg2);

// Scanner switches. All off by default; a caller sets them before scanning.
struct PsSwitches {
  bool listSyntax;    // ( ) = , # are tokens of their own
  bool colonInWords;  // ':' is a word character rather than a token
  bool endAtEquals;   // without list syntax: '=' ends a word
  bool endAtComma;    // without list syntax: ',' ends a word
  bool endAtParens;   // without list syntax: '(' and ')' end a word
};
void PsSetSwitches(const PsSwitches& switches);

// Scans the next token. `current` holds the look-ahead character between
// calls (start it at ' '). For a keyword row the row's values are stored in
// *value1 and *value2 (either may be null); words, numbers and quoted texts
// are in PsTokenText() until the next call. Returns a PsTokenCode or the row's
// code; PS_TOK_END also when a token passes 16 MiB or memory runs out. A
// character that a switch makes end words, met on its own, is a one-character
// word.
int PsGetToken(PsNextCharFn nextChar, int* current, void* arg1, void* arg2,
               const PsKeyword* keywords, int* value1, int* value2);
// The text of the last word, number or quoted token ("" before any).
const char* PsTokenText();
// The keyword text of the row with this code and first value, or null.
const char* PsFindTokenStr(int code, const PsKeyword* keywords, int value);

// Packed catalogue messages: a (set, number) reference with its arguments
// already formatted, flattened into one string, and expanded by the receiver
// with its own catalogue. Also the troubleshooting table and strformat.
#pragma once

#include <array>
#include <cstdio>
#include <ctime>

#include "cmn/nls.h"

inline constexpr int kNlsPackedCode = 15;     // message code of a packed message
inline constexpr int kNlsExtractCode = 1068;  // a plain text wrapped for expansion
inline constexpr int kNlsPackedMax = 2047;    // longest flattened packed message

// Typed items: kNlsItemMark, a type byte, then the item's text.
inline constexpr char kNlsItemMark = '\x07';
inline constexpr char kNlsTypeFormat = '\x01';     // "[set:number]"
inline constexpr char kNlsTypeLiteral = '\x02';    // "[n]" of set 11
inline constexpr char kNlsTypeTime = '\x04';       // seconds, full local text
inline constexpr char kNlsTypeShortTime = '\x05';  // seconds, short local text
inline constexpr char kNlsTypeFloat = '\x06';      // value "S" format
inline constexpr char kNlsTypeText = '\x22';       // plain text
// Stands for the NUL between items inside a flattened message.
inline constexpr char kNlsSeparator = '\x03';

// Packs catalogue message (set, number) with its arguments, taken in the
// order of their positions in the catalogue text. The result (at most 2047
// bytes) lies in a result area (see kNlsResultAreas), so packers may be
// nested in one argument list.
const char* NlsPackMessageVA(int set, int number, NlsArgs args);
template <class... A>
const char* NlsPackMessage(int set, int number, const A&... args) {
  const std::array<NlsArg, sizeof...(A)> list{NlsArg(args)...};
  return NlsPackMessageVA(set, number, list);
}
// Typed items, passed as text arguments of a packed message, in result
// areas.
const char* NlsPackLiteral(int n);
const char* NlsPackTime(time_t t);
const char* NlsPackShortTime(time_t t);
// `format` must hold exactly one floating conversion (f, F, e, E, g, G);
// any other format is replaced by "%g".
const char* NlsPackFloat(double value, const char* format);

// Expands a flattened packed message (code 15 or 1068), read up to its first
// NUL. New heap text the caller frees with safe_free; null when the text is
// not such a message.
char* NlsFormatPackedMessage(const char* text);
// Same for the process-wide message buffer's receive buffer.
char* NlsFormatReceivedMessage();
// Expands a message text (code, NUL, items, two NULs: it must be complete)
// or a flattened one; null text: the receive buffer. The text itself is not
// changed.
char* NlsGetSingleFromSM(const char* text);
// Wraps a text as the only item of a code-1068 message and expands it
// (AdjustLC first converts it from UTF-8 to `locale`).
char* NlsExtractFromSM(const char* text);
char* NlsExtractFromSMAdjustLC(const char* text, const char* locale);

// Expands every format item of a message text by the argument items after it.
// New heap text (at most kSKprintfMax bytes) or null when the text is not a
// message with code 15 or 1068.
inline constexpr size_t kSKprintfMax = 65536;
char* SKprintf(const char* text);

// Prints a message text or a flattened one, as for NlsGetSingleFromSM (null:
// the receive buffer): code 4 and 9 their first item, code 15 its
// expansion, anything else as it is.
void FPrintPackedMessage(FILE* stream, const char* text);
void PrintPackedMessage(const char* text);

// The catalogue text (set, number), in NlsGetCatalogStringEx's area.
const char* NlsGetFormat(int set, int number);
// The literal named by "[n]" in text (set 11), in a 256-byte area; the
// previous result when the text names none or n is 0.
const char* NlsFormatLiteral(const char* text);
// Re-formats a float item ("value" "S" "format", the two leading bytes
// already removed) in this process's locale, in a 256-byte area.
const char* StrFromFloat(const char* item);
// -1 when text does not begin with kNlsItemMark, else the count of "%" in it.
int isformat(const char* text);

// Troubleshooting table built from catalogue set 253; ended by a row of -1.
struct TrbObj {
  int set;
  int number;
  int description;
  int action;
};
extern TrbObj* pTrbObjTab;
// Loads the table (once). 0, or -1 when memory ran out.
int TrbInit();
void TrbExit();
// 1-based row of (set, number) with its ids, or 0 (ids untouched).
int TrbGetExtendedInfo(int set, int number, int* description, int* action);
int TrbIsExtendedMessage(int set, int number);
int TrbHasDescription(int set, int number);
int TrbHasAction(int set, int number);
// Overwrites every "[" in text by "X"; each "[set:number]" naming an extended
// message joins *list (heap array and heap texts; the caller frees all with
// safe_free). Returns the number of entries.
int TrbParseNext(char* text, char*** list);

// Callback formatter. Piece types: 0 c; 3 d/i, 5 with "l", 7 64-bit; 4 u, 6
// with "l", 8 64-bit; 9 floating; 10 p; 11 S; 12 s and literal text.
struct StrFormatPiece {
  int type;
  union {
    long long i;
    unsigned long long u;
    double d;
    const char* s;
    const void* p;
  } value;
  size_t length;  // type 12: text length
  int width;
  int precision;  // -1 when none
};
using StrFormatCallback = void (*)(void* context, const StrFormatPiece* piece);
// Hands every piece of `format` to callback (may be null) and returns the sum
// of strformatsize over the pieces. Arguments are taken by their real type.
size_t strvformat(StrFormatCallback callback, void* context, const char* format, NlsArgs args);
template <class... A>
size_t strformat(StrFormatCallback callback, void* context, const char* format, const A&... args) {
  const std::array<NlsArg, sizeof...(A)> list{NlsArg(args)...};
  return strvformat(callback, context, format, list);
}
size_t strformatsize(const StrFormatPiece* piece);

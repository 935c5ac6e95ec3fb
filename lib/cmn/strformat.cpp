// Callback formatter: cuts a format into literal and conversion pieces, hands
// each to a callback and estimates the size of the formatted text.
#include <algorithm>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/nlspack.h"

TARN_RCSID("lib/cmn/strformat.cpp");

namespace {

enum PieceType : int {
  kChar = 0,
  kInt = 3,
  kUnsigned = 4,
  kLong = 5,
  kUnsignedLong = 6,
  kInt64 = 7,
  kUnsigned64 = 8,
  kFloat = 9,
  kPointer = 10,
  kWideText = 11,
  kText = 12,
};

size_t Emit(StrFormatCallback callback, void* context, const StrFormatPiece& piece) {
  if (callback != nullptr) callback(context, &piece);
  return strformatsize(&piece);
}

StrFormatPiece TextPiece(const char* text, size_t length, int width = -1) {
  StrFormatPiece piece{};
  piece.type = kText;
  piece.value.s = text;
  piece.length = length;
  piece.width = width;
  piece.precision = -1;
  return piece;
}

// The piece for `arg` under `letter`. An argument of another kind than the
// letter asks for is handed over as what it really is.
StrFormatPiece ArgPiece(char letter, int longs, bool wide64, const NlsArg* arg, int width,
                        int precision) {
  if (arg == nullptr) return TextPiece("", 0, width);
  StrFormatPiece piece{};
  piece.width = width;
  piece.precision = precision;
  const bool integer = arg->kind == NlsArg::kInt || arg->kind == NlsArg::kUnsigned;
  const long long whole = arg->kind == NlsArg::kInt ? arg->i : static_cast<long long>(arg->u);
  const bool big = wide64 || longs >= 2;
  if (letter == 'c' && integer) {
    piece.type = kChar;
    piece.value.i = whole;
  } else if ((letter == 'd' || letter == 'i') && integer) {
    piece.type = big ? kInt64 : longs == 1 ? kLong : kInt;
    piece.value.i = whole;
  } else if (letter == 'u' && integer) {
    piece.type = big ? kUnsigned64 : longs == 1 ? kUnsignedLong : kUnsigned;
    piece.value.u = static_cast<unsigned long long>(whole);
  } else if (std::strchr("eEfFgG", letter) != nullptr && arg->kind == NlsArg::kDouble) {
    piece.type = kFloat;
    piece.value.d = arg->d;
  } else if (letter == 'p' && arg->kind == NlsArg::kPointer) {
    piece.type = kPointer;
    piece.value.p = arg->p;
  } else if ((letter == 's' || letter == 'S') && arg->kind == NlsArg::kText) {
    piece.type = letter == 'S' ? kWideText : kText;
    piece.value.s = arg->nullText ? "(null)" : arg->text.data();
    piece.length = arg->nullText ? 6 : arg->text.size();
  } else {
    switch (arg->kind) {
      case NlsArg::kInt:
        piece.type = kInt64;
        piece.value.i = arg->i;
        break;
      case NlsArg::kUnsigned:
        piece.type = kUnsigned64;
        piece.value.u = arg->u;
        break;
      case NlsArg::kDouble:
        piece.type = kFloat;
        piece.value.d = arg->d;
        break;
      case NlsArg::kPointer:
        piece.type = kPointer;
        piece.value.p = arg->p;
        break;
      case NlsArg::kText:
        return TextPiece(arg->nullText ? "(null)" : arg->text.data(),
                         arg->nullText ? 6 : arg->text.size(), width);
    }
  }
  return piece;
}

}  // namespace

size_t strformatsize(const StrFormatPiece* piece) {
  if (piece == nullptr) return 0;
  const size_t width = piece->width > 0 ? static_cast<size_t>(piece->width) : 0;
  const size_t precision = piece->precision > 0 ? static_cast<size_t>(piece->precision) : 0;
  switch (piece->type) {
    case kChar: return std::max<size_t>(1, width);
    case 1:
    case 2: return std::max<size_t>(5, width);
    case kInt:
    case kUnsigned:
    case kLong:
    case kUnsignedLong:
    case kPointer: return std::max<size_t>(10, width);
    case kInt64:
    case kUnsigned64: return std::max<size_t>(20, width);
    case kFloat: return std::max<size_t>(30, width + precision + 1);
    case kText: return std::max(width, piece->length);
    default: return 0;
  }
}

size_t strvformat(StrFormatCallback callback, void* context, const char* format, NlsArgs args) {
  if (format == nullptr) return 0;
  size_t total = 0;
  size_t next = 0;
  const char* p = format;
  while (*p != '\0') {
    const char* percent = std::strchr(p, '%');
    const size_t literal = percent != nullptr ? static_cast<size_t>(percent - p) : std::strlen(p);
    if (literal > 0) total += Emit(callback, context, TextPiece(p, literal));
    if (percent == nullptr) break;
    p = percent + 1;
    if (*p == '%') {
      total += Emit(callback, context, TextPiece("%", 1));
      ++p;
      continue;
    }
    int width = -1;
    int precision = -1;
    int longs = 0;
    bool wide64 = false;
    bool inPrecision = false;
    for (;;) {
      const char c = *p;
      if (c == '\0') break;
      ++p;
      if (c == 'h' || c == '+' || c == '-') continue;
      if (c >= '0' && c <= '9') {
        int& target = inPrecision ? precision : width;
        target = std::min(99999, std::max(target, 0) * 10 + (c - '0'));
        continue;
      }
      if (c == '.') {
        inPrecision = true;
        precision = 0;
        continue;
      }
      if (c == 'l') {
        ++longs;
        continue;
      }
      if (c == 'I') {
        if (std::strncmp(p, "64", 2) == 0) {
          wide64 = true;
          p += 2;
        } else if (std::strncmp(p, "16", 2) == 0 || std::strncmp(p, "32", 2) == 0) {
          p += 2;
        } else {
          DbgPlain(kDbgUnexpected, "[strvformat] Ignoring unrecognized format sign:%%%c\n",
                   *p != '\0' ? *p : ' ');
        }
        continue;
      }
      if (std::strchr("cdiupSseEfFgG", c) != nullptr) {
        const NlsArg* arg = next < args.size() ? &args[next] : nullptr;
        ++next;
        total += Emit(callback, context, ArgPiece(c, longs, wide64, arg, width, precision));
      } else {
        DbgPlain(kDbgUnexpected, "Ignoring unrecognized format sign:%%%c\n", c);
      }
      break;
    }
  }
  return total;
}

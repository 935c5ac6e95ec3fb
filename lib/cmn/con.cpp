// Console output: whole texts and formatted lines on a stream or standard
// output, written without any fixed-size work buffer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cmn/cmninit.h"

TARN_RCSID("lib/cmn/con.cpp");

namespace {

int conType = 0;

}  // namespace

int SetConType(int type) {
  const int previous = conType;
  conType = type;
  return previous;
}

int GetConType() {
  return conType;
}

int FPrintPartial(FILE* stream, const char* text) {
  if (stream == nullptr) return -1;
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length > 0 && std::fwrite(text, 1, length, stream) != length) return -1;
  return static_cast<int>(length);
}

int FPrint(FILE* stream, const char* text) {
  const int written = FPrintPartial(stream, text);
  if (written < 0 || std::fflush(stream) != 0) return -1;
  return written;
}

int FPrintVA(FILE* stream, const char* format, va_list args) {
  if (stream == nullptr || format == nullptr) return -1;
  const int written = std::vfprintf(stream, format, args);
  if (written < 0 || std::fflush(stream) != 0) return -1;
  return written;
}

int FPrintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = FPrintVA(stream, format, args);
  va_end(args);
  return written;
}

void ConPrintPartial(const char* text) {
  FPrintPartial(stdout, text);
}

int ConFlush() {
  return std::fflush(stdout) == 0 ? 0 : -1;
}

void ConPrint(const char* text) {
  FPrint(stdout, text);
}

int ConPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = FPrintVA(stdout, format, args);
  va_end(args);
  return written;
}

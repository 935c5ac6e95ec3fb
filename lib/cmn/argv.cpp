// Growable argument vectors of heap strings, and the reader that splits a
// text into words with quotes, escapes and comments.
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/argv.cpp");

namespace {

constexpr int kGrowth = 50;
constexpr size_t kPlainWordMax = 1022;

// Room for at least one more item (and the closing null).
bool Reserve(ArgvVec* vector) {
  if (vector->items != nullptr && vector->count < vector->capacity) return true;
  const int capacity = vector->capacity + kGrowth;
  void* grown =
      safe_realloc(vector->items, (static_cast<size_t>(capacity) + 1) * sizeof(char*), TARN_HERE);
  if (grown == nullptr) return false;
  vector->items = static_cast<char**>(grown);
  vector->capacity = capacity;
  return true;
}

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

int ArgvInit(ArgvVec* vector, int capacity) {
  if (vector == nullptr) return -1;
  vector->count = 0;
  vector->capacity = capacity > 0 ? capacity : 0;
  vector->items = static_cast<char**>(
      safe_calloc(static_cast<size_t>(vector->capacity) + 1, sizeof(char*), TARN_HERE));
  if (vector->items == nullptr) {
    vector->capacity = 0;
    return -1;
  }
  return 0;
}

int ArgvAdd(ArgvVec* vector, const char* text) {
  return vector != nullptr ? ArgvInsert(vector, text, vector->count) : -1;
}

int ArgvAdds(ArgvVec* vector, const char* text, ...) {
  int added = 0;
  va_list args;
  va_start(args, text);
  for (const char* t = text; t != nullptr; t = va_arg(args, const char*)) {
    if (ArgvAdd(vector, t) == 0) ++added;
  }
  va_end(args);
  return added;
}

int ArgvInsert(ArgvVec* vector, const char* text, int index) {
  if (vector == nullptr || index < 0 || index > vector->count) return 0;
  if (!Reserve(vector)) return -1;
  char* copy = StrNewCopy(text);
  if (copy == nullptr) return -1;
  std::memmove(vector->items + index + 1, vector->items + index,
               static_cast<size_t>(vector->count - index) * sizeof(char*));
  vector->items[index] = copy;
  ++vector->count;
  vector->items[vector->count] = nullptr;
  return 0;
}

void ArgvFree(ArgvVec* vector) {
  if (vector == nullptr) return;
  for (int i = 0; vector->items != nullptr && i < vector->count; ++i)
    safe_free(vector->items[i], TARN_HERE);
  safe_free(vector->items, TARN_HERE);
  vector->items = nullptr;
  vector->count = 0;
  vector->capacity = 0;
}

int ArgvReadFromBuffer(ArgvVec* vector, const char* text) {
  DbgPlain(12, "ArgvReadFromBuffer");
  if (vector == nullptr) return -1;
  int added = 0;
  const char* s = text != nullptr ? text : "";
  std::string word;
  for (;;) {
    while (*s != '\0' && IsBlank(*s)) ++s;
    if (*s == '\0') break;
    if (*s == '#') {
      while (*s != '\0' && *s != '\n') ++s;
      continue;
    }
    word.clear();
    if (*s == '"' || *s == '\'') {
      ++s;
      while (*s != '\0' && *s != '"' && *s != '\'' && *s != '\n') {
        if (*s == '\\') {
          const char next = s[1];
          if (next == '\0') {
            ++s;
            break;
          }
          if (next != '\n' && next != '"' && next != '\'') word += '\\';
          word += next;
          s += 2;
          continue;
        }
        word += *s++;
      }
      if (*s == '"' || *s == '\'') ++s;
    } else {
      while (*s != '\0' && !IsBlank(*s) && word.size() < kPlainWordMax) word += *s++;
    }
    if (word.empty()) continue;
    DbgPlain(12, "\t%s", word.c_str());
    if (ArgvAdd(vector, word.c_str()) != 0) return -1;
    ++added;
  }
  return added;
}

// Word tokenizer over a caller's text; the cursor never moves past the
// text's terminating NUL.
#include "cmn/tok.h"

#include <cctype>
#include <cstring>

#include "cmn/ctx.h"

TARN_RCSID("lib/cmn/tok.cpp");

namespace {

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void ReleaseOwned(tok_t* t) {
  if (t->owned != nullptr) safe_free(t->owned, TARN_HERE);
  if (t->token == t->owned) t->token = nullptr;
  t->owned = nullptr;
}

}  // namespace

void tok_init(tok_t* t, char* text) {
  if (t == nullptr) return;
  *t = tok_t{nullptr, text, 0, nullptr};
}

char* tok_getex(tok_t* t, int copy) {
  if (t == nullptr || t->cursor == nullptr || *t->cursor == '\0') return nullptr;
  if (copy) ReleaseOwned(t);
  t->token = nullptr;
  char* p = t->cursor;
  while (IsSpace(*p)) ++p;
  char quote = 0;
  if (*p == '\'' || *p == '"') quote = *p++;
  t->quote = quote;
  if (*p == '\0') {
    t->cursor = p;
    return nullptr;
  }
  char* start = p;
  if (quote != 0) {
    while (*p != '\0' && *p != quote) ++p;
  } else {
    while (*p != '\0' && !IsSpace(*p)) ++p;
  }
  char* end = p;
  // Step over the character that ended the token, but never over the NUL.
  t->cursor = *end != '\0' ? end + 1 : end;
  if (copy) {
    const auto n = static_cast<std::size_t>(end - start);
    auto* token = static_cast<char*>(safe_malloc(n + 1, TARN_HERE));
    if (token == nullptr) return nullptr;
    std::memcpy(token, start, n);
    token[n] = '\0';
    t->owned = token;
  } else {
    *end = '\0';
  }
  t->token = copy ? t->owned : start;
  return t->token;
}

char* tok_get(tok_t* t) {
  return tok_getex(t, 1);
}

void tok_free(tok_t* t) {
  if (t == nullptr) return;
  ReleaseOwned(t);
  *t = tok_t{};
}

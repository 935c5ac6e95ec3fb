// Word tokenizer of the common library: blank-separated words and quoted
// phrases of a caller's text.
#pragma once

// The text stays the caller's and must outlive the tokenizer. `token` is
// either the heap copy the tokenizer owns (`owned`) or a pointer into the
// caller's text.
struct tok_t {
  char* token;   // current token, or null
  char* cursor;  // next character to read in the caller's text
  char quote;    // quote character of the last token, 0 when unquoted
  char* owned;   // the heap copy the tokenizer must release, or null
};

// Starts at `text` (may be null: every call then returns null).
void tok_init(tok_t* t, char* text);

// Next token: white space is skipped; a token that starts with ' or " runs to
// the next same quote (or the end) without the quotes, any other token to the
// next white space (or the end). Null at the end of the text.
// With `copy` the token is a heap copy owned by the tokenizer, valid until the
// next copying call or tok_free, and the text is left as it is. Without
// `copy` the character that ended the token is overwritten with NUL and the
// token points into the text.
char* tok_getex(tok_t* t, int copy);
// tok_getex(t, 1).
char* tok_get(tok_t* t);

// Releases the token copy the tokenizer owns (never the caller's text) and
// clears the record.
void tok_free(tok_t* t);

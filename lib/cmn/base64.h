// Base64 of the common library (standard alphabet, "=" padding, no line
// breaks), used by the variant text form for its encoded option.
#pragma once

#include <cstddef>

// New heap text (free with safe_free) holding the encoding of `length` bytes
// of `data`; an empty text for 0 bytes. Null only when memory runs out.
char* base64encode(const void* data, std::size_t length);
// base64encode of a NUL-terminated text without its NUL; null `text` encodes "".
char* base64Tencode(const char* text);

// New heap buffer (free with safe_free) holding the decoded bytes followed by
// at least one NUL byte; the number of decoded bytes is ADDED to `*length`
// when `length` is given (start it at 0). Strict: the text must be groups of
// four alphabet characters, padding only in the last group, no white space.
// Anything else marks error 1009 and returns null. The empty text decodes to
// an empty buffer; a null text is refused like an invalid one.
char* base64decode(const char* text, std::size_t* length);
// base64decode without the length, for texts that hold no NUL bytes.
char* base64Tdecode(const char* text);

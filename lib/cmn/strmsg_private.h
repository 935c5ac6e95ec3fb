// Message buffers: bookkeeping shared by the record, building and parsing
// sources. Not for use outside the message-buffer module.
#pragma once

#include <cstdint>

#include "cmn/strmsg.h"

namespace strmsg_detail {

// Ends a parse of, and forgets the known size of, a buffer about to go.
void Forget(StrMsg* msg, const char* text);
// Frees an owned data buffer; clears the data fields either way.
void DropData(StrMsg* msg);
// Frees an owned receive buffer; clears the receive fields (and a data buffer
// that borrows it) either way.
void DropRbuf(StrMsg* msg);
// Sets the length and writes the final NUL there.
void SetLength(StrMsg* msg, std::uint32_t length);
// StrMsgTSize bounded by what the record knows of the text; -1 when the text
// is not a complete message inside it.
int MessageSize(const StrMsg* msg, const char* text);
// The leading decimal number of a NUL-terminated text (blanks and a sign
// allowed); false when there is none or it does not fit an int.
bool LeadingCode(const char* text, int* code);

}  // namespace strmsg_detail

// Character sets: the system's own UTF-16 <-> UTF-8 conversion, which carries
// bytes that are not valid UTF-8 as the units U+EE80-U+EEFF and brings them
// back unchanged; the message-text conversions built on it; and the locale
// conversions of catalogue texts through iconv.
//
// Wide text (char16_t) is UTF-16 in the processor's byte order (little-endian
// on the supported processors). Heap results come from safe_malloc; free them
// with safe_free.
#pragma once

#include <cstddef>

struct StrMsg;

// Flags of DynConvW2S and DynConvS2W.
inline constexpr int kConvList = 0x1;         // strings ended by an empty one (double NUL)
inline constexpr int kConvCount = 0x2;        // exactly `count` units (W2S) or bytes (S2W)
inline constexpr int kConvSizeOnly = 0x4;     // write nothing, only return the size
inline constexpr int kConvWriteBom = 0x10;    // S2W: write a byte-order mark first
inline constexpr int kConvKeepBom = 0x20;     // keep a leading mark instead of skipping it
inline constexpr int kConvBigEndian = 0x100;  // the UTF-16 side is big-endian, else little

// The private-use units that carry raw bytes 0x80-0xFF.
inline constexpr char16_t kUtfRawFirst = 0xEE80;
inline constexpr char16_t kUtfRawLast = 0xEEFF;

// UTF-16 (bytes at src, in the order the flags say) to UTF-8 in buf's data
// buffer, which grows as needed (a record without data is made owning).
// Returns the bytes written including the terminating NUL, buf's length set
// to one less; -1 when the buffer could not grow (the text is then cut at a
// character boundary and terminated). src is read up to its NUL unit (list:
// its empty string) or, with kConvCount, `count` units.
int DynConvW2S(const void* src, StrMsg* buf, int count, int flags);
// UTF-8 (bytes) to UTF-16 in buf's data buffer; bytes that do not start a
// valid sequence become 0xEE00 + byte. Returns the bytes written including
// the terminating NUL unit (buf's length set to the bytes before that unit),
// or -1 when the buffer could not grow.
int DynConvS2W(const char* src, StrMsg* buf, int count, int flags);

// 1 when buf starts with FF FE, 2 with FE FF, else 0. NULL gives 0.
int MsgCheckLEBOM(const void* buf);
// Converts msg's received text (its receive buffer, else its data buffer)
// that starts with a byte-order mark into native narrow text in place of the
// old: 1 converted, 0 no mark, -1 failed.
int StrMsgAdjustToNativeL(StrMsg* msg);
// The same for a counted heap buffer of *len bytes (*len / 2 units; the
// flags may add kConvList): 0 no mark; 1 converted (*buf replaced by a new
// heap text, *len set to its byte count without the added terminator; flag 8
// shrinks the block to that size); -1 failed (*buf untouched).
int DynBufAdjustToNative(char** buf, int* len, int flags);

// Message texts with NUL separators as one string and back (byte 0x03).
// The size is StrMsgTSize of the text; the last two (WithZeros: one) bytes
// stay. Return text.
char* MsgConvertNullToChar(char* text);
char* MsgConvertNullToCharWithZeros(char* text);
char* MsgConvertCharToNull(char* text);
char* StrConvertCharToNull(char* s);  // over strlen(s)

// Caller buffers: dst holds n+1 bytes (W2S) or n+1 units (S2W); a leading mark
// is kept; the text is cut at a character boundary. Return dst.
char* StrCopyW2S(char* dst, const char16_t* src, size_t n);
char16_t* StrCopyS2W(char16_t* dst, const char* src, size_t n);
// Converted length in bytes or units, without the terminator.
size_t StrLenW2S(const char16_t* src);
size_t StrLenS2W(const char* src);
// Heap copies; New converts "" for NULL, Null returns NULL for NULL.
char* StrNewCopyW2S(const char16_t* src);
char16_t* StrNewCopyS2W(const char* src);
char* StrNullCopyW2S(const char16_t* src);
char16_t* StrNullCopyS2W(const char* src);

// Narrow copies: StrNewCopyW2A converts to UTF-8 ("" for NULL); the others
// keep each unit's low byte. StrCopyW2A: dst holds n+1 bytes.
char* StrNewCopyW2A(const char16_t* src);
char* StrNullCopyW2A(const char16_t* src);
char* StrCopyW2A(char* dst, const char16_t* src, size_t n);
// Wide copies: each byte becomes the unit of the same value (0x00-0xFF, not
// sign-extended). StrCopyA2W: dst holds n+1 units.
char16_t* StrNewCopyA2W(const char* src);
char16_t* StrNullCopyA2W(const char* src);
char16_t* StrCopyA2W(char16_t* dst, const char* src, size_t n);

int lstrlenW(const char16_t* s);                  // units; 0 for NULL
int lstrlenA(const char* s);                      // bytes; 0 for NULL
int IsConvertableW2A(const char16_t* s);          // 1 when every unit < 0x100
int StrIsPureAscii(const char* s);                // 1 when no byte >= 0x80
int StrUsesPUAspecialUTF16LE(const char16_t* s);  // 1 when a unit is raw-byte
// Widest class of the units: 7, 8, 16, or 20 at a high surrogate. limit 0
// scans all, -1 stops after the first unit, others stop once exceeded.
int StrMaxBitsUTF16LE(const char16_t* s, int limit);
// 1 when the first unit is U+FEFF, 2 when it is U+FFFE, else 0.
int MsgCheckBOM(const char16_t* s);
int IsStringMarkedUnicode(const char16_t* s);

// In-place narrowing of a marked UTF-16 message list, which must end with its
// empty string (units above 0xFF become '_'): the narrow list starts at the
// buffer's first byte. Return the narrow
// size including the final NUL; 0 without a mark; -2 for the other mark.
int MsgUnicode2Ascii(char16_t* msg);
int MsgReversedUnicode2Ascii(char16_t* msg);
int MsgAdjustToNative(char16_t* msg);  // either of the two, by the mark
// Swaps the bytes of each unit of a terminated list (up to and with its
// empty string), or of n units. Return the units swapped.
int MsgReversedUnicode2Unicode(char16_t* msg);
int BufReversedUnicode2Unicode(char16_t* buf, int n);
// Widens the narrow list at buf in place behind a U+FEFF mark; buf holds
// `capacity` bytes. Returns the wide size in bytes, or -1 when it does not fit.
int MsgAscii2Unicode(void* buf, size_t capacity);

// iconv from `fromcode` to UTF-8 (input: from UTF-8 to `tocode`) into a new
// zeroed heap block of 3 x (length + 1) bytes; NULL when the conversion
// cannot start or not all input was converted.
char* StrNullCopyAdjustLC(const char* s, const char* fromcode);
char* StrNullCopyAdjustLC_input(const char* s, const char* tocode);
// 1 when iconv can convert from the code set to UTF-8.
int IsValidUXLocale(const char* codeset);

// Strings: NULL-safe comparison and copying, trimming, numbers, argument
// splitting, path clean-up, URL and hex texts, variable expansion, time texts
// and the small identity texts (users, session ids, media, GUIDs).
//
// Conventions: functions marked "NULL-safe" (and every name ending in NS or A)
// take NULL as "". Heap results come from safe_malloc and the caller frees them
// with safe_free. A `const char*` result without a caller buffer lies in a
// per-process area that the next call of the same function overwrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "cmn/objname.h"
#include "cmn/rcfile.h"
#include "cmn/utf.h"

// Path texts returned by the clean-up and directory functions: at most
// kStrPathMax characters plus the terminator.
inline constexpr size_t kStrPathMax = 1024;

// ---------------------------------------------------------------- comparison
// strcmp/strcasecmp/strncmp/strncasecmp with NULL taken as "".
int StrCmpNSA(const char* a, const char* b);
int StrICmpA(const char* a, const char* b);
int StrNCmpA(const char* a, const char* b, size_t n);
int StrNICmpA(const char* a, const char* b, size_t n);

// Host-name comparison; the mode comes once per process from
// VEK_HOSTCMPINSENSITIVE: 0 case-sensitive, 1 strcasecmp, anything else
// (default 2) folds only A-Z of names up to 64 characters. NULL-safe.
int HostStrCmp(const char* a, const char* b);
// Copies at most n characters of src to dst folding A-Z, terminates (dst holds
// n+1 bytes). Returns the length when src ended within n characters, else 0.
// With src NULL it folds dst in place the same way.
int HostToLower(char* dst, const char* src, size_t n);
// 0 when the last path component of `path` equals `name` ignoring case, else -1.
int StrCmpCmdName(const char* path, const char* name);

// ---------------------------------------------------------------- copying
size_t StrLen(const char* s);  // 0 for NULL
// Copy at most n characters and always terminate: dst holds n+1 bytes.
// Return dst (NULL when dst is NULL).
char* StrCopy(char* dst, const char* src, size_t n);
char* StrSafeCopyA(char* dst, const char* src, size_t n);
// Copies min(n, max) characters and terminates.
char* StrNCopy(char* dst, const char* src, size_t n, size_t max);
char* StrCpyNS(char* dst, const char* src);
// Appends src to dst, which holds n+1 bytes; the text never grows past n
// characters and dst[n] is always NUL.
char* StrCatNS(char* dst, const char* src, size_t n);
// NULL in, NULL out.
char* StrChrNS(const char* s, int c);
char* StrrChrNS(const char* s, int c);
char* StrStrNS(const char* s, const char* find);
// strtok over the process's own cursor; NULL delimiters give NULL.
char* StrTokNS(char* s, const char* delimiters);
// Re-entrant tokenizer: continues from *save when s is NULL, skips leading
// delimiters, cuts the token at the next delimiter and leaves *save after it
// (NULL at the end of the text; the last token may be empty). NULL
// delimiters, NULL save or a NULL *save with s NULL give NULL.
char* StrTokR(char* s, const char* delimiters, char** save);

// Heap copies. StrNewCopy and StrNewCopyA copy "" for NULL; StrNullCopyA
// returns NULL for NULL; StrNNewCopy copies at most n characters.
char* StrNewCopy(const char* s);
char* StrNewCopyA(const char* s);
char* StrNullCopyA(const char* s);
char* StrNNewCopy(const char* s, size_t n);

// Appends src to the text in buf (size bytes). *end (when end is non-NULL and
// holds non-NULL) is the current end; it always advances by the full length of
// src, so once a text was cut later appends add nothing. Copies what fits with
// the terminator. Returns size minus the end offset: negative once cut. A NULL
// buf returns -1.
int StrCatEx(char* buf, const char* src, int size, char** end);
// Grows the heap text `heap` (may be NULL) to hold src appended; returns the
// new block, or NULL when memory ran out (then `heap` is still the caller's).
char* StrAppendM(char* heap, const char* src);
// Replaces every `from` character by `to` in place; returns s.
char* StrReplaceA(char* s, int from, int to);
// The last n characters of s (all of s when shorter); NULL for NULL.
const char* StrTail(const char* s, size_t n);
const char* StrFromInt(int n);  // "%d" in a per-process area

// Growable zero-filled buffer; a zeroed record is empty.
struct CmnBuffer {
  char* data;
  size_t capacity;
};
// Makes room for n characters and a terminator, zero-filling the new part.
// 0, or -1 when memory ran out (the old data stays).
int CmnBufferRealloc(CmnBuffer* buf, size_t n);
void CmnBufferFree(CmnBuffer* buf);  // frees the data and clears the record

// ---------------------------------------------------------------- trimming
char* StrToUpper(char* s);  // in place by the locale, NULL-safe; returns s
char* StrToLower(char* s);
char* StrSkipSpaces(const char* s);  // past leading white space; NULL for NULL
char* StrCutNewLine(char* s);        // drops trailing CR and LF; returns s
char* StrCutTrailingSpacesInPlace(char* s);
// Cuts trailing white space and returns the position past the leading one.
char* StrCutSpacesInPlace(char* s);
// Heap copies without leading, trailing or both kinds of white space; NULL
// when nothing else remains (or for NULL).
char* StrCutLeadingSpaces(const char* s);
char* StrCutTrailingSpaces(const char* s);
char* StrCutSpaces(const char* s);
// Heap copy without one pair of enclosing double or single quotes; the result
// is always the start of its block. NULL for NULL.
char* StrTrimQuotes(const char* s);
// Heap copy in which every character q is doubled. NULL for NULL.
char* StrDuplicateQuotes(const char* s, int q);

// ---------------------------------------------------------------- numbers
// Each scans one number ("%d", "%ld", "%u", "%d", "%p", "%lld") after optional
// white space and returns the fields converted (0 or 1), also stored in
// *count when count is non-NULL. A number that does not fit the output type,
// or a sign on an unsigned number, converts nothing. The value is only
// written on success.
int StrAtoi(const char* text, int* value, int* count);
int StrAtol(const char* text, long* value, int* count);
int StrAtoULONG(const char* text, uint32_t* value, int* count);
int StrAtoLONG(const char* text, int32_t* value, int* count);
int StrAtoAddr(const char* text, void** value, int* count);
int StrAtoOFF_T64(const char* text, int64_t* value, int* count);
// A number as StrAtoi; else "", "true", "yes", "on" give 1 and "false", "no",
// "off" give 0 (case ignored); anything else converts nothing.
int StrAtoBool(const char* text, int* value, int* count);
// 64-bit value from two 32-bit unsigned decimal texts (high NULL: low only).
int StrLowHighToOFF_T64(const char* low, const char* high, int64_t* value, int* count);
const char* StrFromOFF_T64(int64_t value);  // "%lld" in a per-process area
// StrFromOFF_T64 of the value of two decimal texts; "0" when they do not scan.
const char* StrFromLowHighStr(const char* low, const char* high);

// Version texts such as "A.06.20": fields are major, minor, letter (default
// 'Z') and trailing number (default 0). Returns 0.
int Decompose_VEK_Version_String(int fields[4], const char* text);
// 1 when a is the higher version, -1 when lower, 0 when equal.
int VEK_higher_version(const char* a, const char* b);

// Divides *value by 1024 per unit step (see the implementation comment).
void CmnScaleDoubleSize(double* value, int* unit, int minUnit, int maxUnit);

// ---------------------------------------------------------------- arguments
// Splits `line` at blanks into a NULL-ended heap vector; argv[0] is a copy of
// `prog` unless mode is 1. Quoted words ('...' or "...") keep a doubled quote
// as two characters. 0, or -1 when memory ran out (outputs then empty).
int StrToArgEx(const char* prog, const char* line, int* argc, char*** argv, int mode);
int StrToArg(const char* prog, const char* line, int* argc, char*** argv);
// Frees every element and the vector; zeroes both outputs.
void FreeStrToArg(int* argc, char*** argv);

// ---------------------------------------------------------------- paths
// After the last '/' (all of path without one); NULL for NULL.
char* StrBasename(const char* path);
// Copy of path (at most 1023 characters) cut at its last '/'; "/" when that is
// the first character; NULL when there is no '/'. buf holds kStrPathMax bytes.
char* StrDirnameR(const char* path, char* buf);
char* StrDirname(const char* path);
// After the last '.' of the base name; NULL when none.
char* StrExtname(const char* path);
// Runs of '/' and '\' become one '/'; a trailing separator goes unless the
// result is "/"; NULL gives "". `sep` is not consulted. buf holds
// kStrPathMax + 1 bytes; longer results are cut.
char* StrCleanPathnameR(const char* path, int sep, char* buf);
char* StrCleanPathname(const char* path, int sep);
// Options: 1 keep a leading pair of equal separators, 2 '\' is a separator
// too, 4 the first separator met decides, 8 write '\' instead of '/'.
char* StrCleanPathnameExR(const char* path, int options, char* buf);
char* StrCleanPathnameEx(const char* path, int options);
// First character not allowed in a file name (option 1: only '/'; option 2
// adds '+' and '&'), or NULL.
char* FindForbiddenFnmChar(const char* s, int options);
// Replaces every such character (option 0) by c, or '_' when c is 0.
char* ReplaceForbiddenFnmChars(char* s, int c);

// ---------------------------------------------------------------- encodings
// Writes n bytes as upper-case hex with a terminator; dst holds dstSize bytes.
// 0, or -1 when n is 0 (dst becomes "") or 2n+1 exceeds dstSize.
int StrBytesToHex(const void* bytes, size_t n, char* dst, size_t dstSize);
// Reads hex digit pairs until the text ends or `max` bytes are stored; *count
// (optional) gets the bytes stored. 0, or -1 on a non-hex digit or a lone one.
int StrHexToBytes(const char* text, void* out, size_t max, size_t* count);
// URL-escaped copy ('"' '*' '/' ':' '<' '>' '?' '\' '|' as %XX, '%' as "%%")
// in a per-process growing area; NULL for NULL or when memory ran out.
const char* StrToUrl(const char* s);
// The reverse: "%%" is '%', '%' and two hex digits a byte, a '%' with fewer
// than two characters after it stays. NULL for NULL or a bad pair.
const char* StrFromUrl(const char* s);
// One line of uuencoding without a length character; *out is a new heap text.
// 0, or -1 when memory ran out.
int uuencode(const char* s, char** out);
int uudecode(const char* s, char** out);

// ---------------------------------------------------------------- commands
// Nonzero when cmd holds ';', '`', "$(", '&', '|', '>', '<' or "..".
int StrExecIsNotSecure(const char* cmd);
// Looks a name up: returns a heap text (freed by the caller of the hook) or NULL.
using StrExpandLookupFn = char* (*)(const char* name, void* ctx);
// New heap text with $name, ${name} and %name% replaced by lookup's answer
// (nothing when NULL); incomplete forms stay literal. NULL for NULL text.
char* StrExpandString(const char* text, StrExpandLookupFn lookup, void* ctx);
char* StrExpandEnvironmentStrings(const char* text);

// ---------------------------------------------------------------- times
// When set, produces every StrFromTimeEx text alone.
using StrFromTimeExHookFn = int (*)(char* buf, size_t size, int form, time_t t);
extern StrFromTimeExHookFn strFromTimeExHook;
// Local time text of form 2 "%m/%d/%Y %H:%M:%S", 3 "%Y-%m-%d %H:%M:%S",
// 6 "%m/%d/%y %H:%M:%S", 7 "%Y-%m-%d %H:%M", 1 and 5 "%c", 4 "%x %H:%M",
// others "%x %X"; time 0 gives "-". Returns the length (0 for "-").
int StrFromTimeEx(char* buf, size_t size, int form, time_t t);
const char* StrFromTime(time_t t);       // form 1
const char* StrFromTime1(time_t t);      // form 6
const char* StrShortFromTime(time_t t);  // form 0
// "Y-M-D[ H:M:S]" (also '/' '.' 'T' separators) as local time; 0 when the
// text does not parse or the year lies outside 1970-2037.
time_t StrToTime(const char* text);
time_t StrSetToLocalMidnight();  // today's local midnight
// 0-69 gain 2000, 70-99 gain 1900 (returns 1); >= 100 stays (0); negative
// becomes 1970 (-1).
int CmnAdjustTwoDigitYear(int* year);

// ---------------------------------------------------------------- identity texts
// Session ids: stored form "YYYY/MM/DD NNNN", user form "YYYY/MM/DD-N".
// Both return per-process areas, or NULL (with a level -2 line) on bad text.
const char* StrFromUserSessionId(const char* text);
const char* StrToUserSessionId(const char* text);

// Key ids "R-<date>-<name>". dst holds kStrKidSize bytes; NULL when the name
// does not fit.
inline constexpr size_t kStrKidSize = 288;
char* StrToKID(const char* name, time_t t, char* dst);
// The name of a key id into dst (holds strlen(text)+1 bytes); 0 or -1.
int StrFromKID(char* dst, const char* text);

// "%s.%s@%s" (user, group, host) or, with domainForm, "%s\%s@%s" (group,
// user, host); user and group cut to 60 and host to 64 characters. dst holds
// kStrVekUserSize bytes. Returns dst.
inline constexpr size_t kStrVekUserSize = 188;
char* StrToVEKUser(char* dst, const char* user, const char* group, const char* host,
                   int domainForm);
// Splits a user text; user and group hold 61 bytes, host 65. 0 when all three
// parts were found, -1 when a delimiter was missing (parts found stay).
int StrFromVEKUser(const char* text, char* user, char* group, char* host);

// "%6s %ld" into out (outSize bytes); 0, or -1 when it does not fit.
int StrToPhyLocation(const char* location, long side, char* out, size_t outSize);
// Location without its side number into out (holds strlen(location)+1
// bytes); *side (optional) gets the side or -1. Returns 0.
int StrFromPhyLocation(const char* location, char* out, long* side);
// "%s_%s" into out (outSize bytes); 0, or -1 when it does not fit.
int StrToMagDescription(const char* a, const char* b, char* out, size_t outSize);
// Splits at the last '_'; a and b hold strlen(text)+1 bytes. 0, or -1 without '_'.
int StrFromMagDescription(const char* text, char* a, char* b);

// "%08x:%08x:%04hx:%04hx" of the host address, time, pid and a counter.
const char* StrGenerateMediumId();
// GUID text; dst holds 37 bytes. Returns dst.
char* StrFromGuid(char* dst, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4);
// "[prefix] text" (flags & 1) or the text cut to 80 characters.
const char* StrToUserLabel(int flags, const char* prefix, const char* text);
// "[medium: location A|B] text", "[non-resident] text" or the text cut to 80.
const char* StrToUserLocation(const char* text, const char* location, const char* medium);
// Permission string: with style & 16 five attribute letters, else a type
// letter and nine rwx letters.
const char* StrRWX(int fileType, int style, unsigned mode);

// Password encoding of the DB2 integration's configuration on the cell
// server, and the time-seeded byte scrambler with hex output.
#pragma once

// New heap text (free with safe_free) of the encoded password: four letters
// 'B'-'Q' per UTF-16 unit of `text` (UTF-8). Null for null.
char* EncodePassword(const char* text);
// New heap text (free with safe_free) of the password, UTF-8; null only for
// null. Lenient, as stored configurations need: letters beyond the last full
// group of four are ignored, letters outside 'B'-'Q' are taken as they come
// (distance from 'B', modulo 2^16 per unit), and a unit of 0 ends the text.
char* DecodePassword(const char* encoded);

// Scrambles `length` bytes of `data` (a negative length: the text at `data`
// and its terminating NUL) into `out`, which holds 4 + 2 x length + 1
// characters: four hex digits of seed, then two per byte, upper case, NUL
// terminated. Returns the text's length. The generator is this module's own,
// so the text restores on any system and the process's rand() is untouched.
int CmnScrambleBytes(const void* data, int length, char* out);
// Restores at most `max` bytes of a scrambled text into `out`; returns their
// number, or -1 for a text that is not a scrambled text (shorter than the
// seed, an odd number of digits, or a character other than 0-9 and A-F).
int CmnUnScrambleBytes(const char* text, void* out, int max);

// Writes `byte` as two upper-case hex digits (no terminator); returns 2.
int ByteToChars(int byte, char* out);
// The byte of two upper-case hex digits, or -1 when either is not one.
int CharsToByte(const char* text);

// Command-line side of the common library: keyword tables with abbreviations
// and "no_" negation, options in argument vectors, error output, the
// manager-of-managers host file and the interactive command mode.
#pragma once

#include <cstddef>

#include "cmn/defines.h"

// One keyword. The pattern is lower case; a "[" marks the end of the part
// that must be typed ("mou[nt" takes "mou", "moun", "mount"); a ":" shared by
// input and pattern ends the comparison, so "type:" takes "type:DB2".
struct CliKeyword {
  int id;
  const char* pattern;
  int flags;  // kCliKwNegatable
};
inline constexpr int kCliKwNegatable = 1;  // the keyword may be written "no_<keyword>"

inline constexpr int kCliKwNone = -1;
inline constexpr int kCliKwAmbiguous = -2;

// 1 when `input` (upper-case letters fold to lower) matches `pattern`, else 0.
int CliKwMatch(const char* input, const char* pattern);
// The id of the only row matching `word`; -1 when none, -2 when several.
// A word "no_<rest>" looks <rest> up among negatable rows only and sets
// *negation (may be null) to 1; otherwise *negation is 0.
int CliKwLookup(const char* word, const CliKeyword* table, int rows, int* negation);
// Index of the first argument "-<word>" whose word looks up to `id`; -1.
int CliFindID(int argc, const char* const* argv, const CliKeyword* table, int rows, int id,
              int* negation);

// Pass this (or null, or any empty text) to CliErhReport to print the
// current error's message text.
extern const char cmnEmptyString[];
// Writes `text` and a line feed to standard error.
void CliErhReport(const char* text);

// The manager-of-managers host from the server's "cell/mom_server" file: 0
// and *host a heap copy (free with safe_free) of the expanded name, or of the
// trimmed text when it does not resolve; -1 with 1012 (unreadable) or 2000
// (empty) marked.
int CliReadMCMHost(char** host);

// Data protection (retention) of a backed-up object version: how long its
// data may not be overwritten. Type and value travel as the two protection
// numbers of the integration options and the object start record.
inline constexpr int kCliProtNone = 0;       // not protected; value 0
inline constexpr int kCliProtPermanent = 1;  // never expires; value 0
inline constexpr int kCliProtUntil = 2;      // value: end, seconds since the epoch (> 0)
inline constexpr int kCliProtDays = 3;       // value: days after the backup (> 0)
inline constexpr int kCliProtWeeks = 4;      // value: weeks after the backup (> 0)

struct CliProtectionStruct {
  int type;
  int value;
};

// Sets *protection to (type, value); none and permanent store value 0. 0, or
// -1 for a null record, an unknown type or a value out of range (the record
// is then set to none).
int InitCliConstructProtectionStruct(CliProtectionStruct* protection, int type, int value);
// The protection as text in this process's language ("None", "Permanent",
// "Until <local time>", "<n> days", "<n> weeks"; "1 day", "1 week") into
// buffer (size bytes). Returns buffer; null (and "" in buffer when there is
// room) for a record that InitCliConstructProtectionStruct would refuse or a
// text that does not fit whole.
char* CliConstructProtectionStr(const CliProtectionStruct* protection, char* buffer, size_t size);
// The same as a packed catalogue message (cmn/nlspack.h) that its receiver
// expands in its own language, the end time in its own local form. Same
// results as CliConstructProtectionStr; a packed message is never cut.
char* CliConstructProtectionCatStr(const CliProtectionStruct* protection, char* buffer,
                                   size_t size);

// Commands of command mode; also the bits of `allowed`.
inline constexpr int kCliCmdMount = 1;
inline constexpr int kCliCmdAbort = 2;
inline constexpr int kCliCmdDisconnect = 4;
inline constexpr int kCliCmdContinue = 8;
inline constexpr int kCliCmdCancel = 16;
// Result when the operator interrupted the prompt (SIGINT).
inline constexpr int kCliCmdInterrupted = 4;

extern const CliKeyword fenComArr[5];
// Seconds command mode waits for an answer (30). Tests shorten it.
extern int cliCommandModeTimeout;
inline constexpr size_t kCliSecondWordMax = 255;

// Prompts on the terminal for one of the `allowed` commands (continue is
// always allowed) and returns its id; mount and cancel copy their second
// word into `second` (kCliSecondWordMax + 1 bytes). Standard input that is
// not a terminal, no answer in time, end of input or a read error give 8
// (continue); an operator's interrupt gives 4. The alarm and SIGALRM action
// in place before the call are put back.
int CliCommandMode(const char* text, int allowed, char* second);
// SIGALRM handler of command mode: sets the alarm flag in the CmnContext.
void toAlarmIntr(int signal);

// Debug options of a program: read from its command line, from a text, or
// from the environment, and handed on to child processes through VEKOPTS.
#pragma once

#include <cstddef>

inline constexpr std::size_t kDebugRangesMax = 1023;
inline constexpr std::size_t kDebugWordMax = 255;

// The three words that follow "-debug"; empty when missing. Longer words are
// cut to the sizes above.
struct DebugOpts {
  char ranges[kDebugRangesMax + 1];
  char postfix[kDebugWordMax + 1];
  char select[kDebugWordMax + 1];
};

// Finds the last word "-debug" in argv[0..argc-1] (a later one wins, as in
// the integration's option parser) and takes the next three words
// as ranges, postfix and selection. A word that is itself an option ('-'
// and a letter) ends them, so "-debug 1-99 -server cs" gives the ranges only.
// 1 when found (*out replaced), 0 when there is no "-debug" (*out unchanged).
int VEK_DebugOptsFromArg(DebugOpts* out, int argc, const char* const* argv);
// The same over the words of `text` (blanks separate; '...' and "..." group).
int VEK_DebugOptsFromStr(DebugOpts* out, const char* text);
// From VEKOPTS when it holds "-debug", else from VEKDBG (whose "-debug" word
// is optional). 1 when either gave options, else 0 (*out unchanged).
int VEK_DebugOptsFromEnv(DebugOpts* out);
// Puts "-debug <ranges> <postfix> <select>" into VEKOPTS in place of the
// debug words it held (every "-debug" with its words); its other options are
// kept behind. Empty or blank words are quoted so that they keep their place. Nothing happens when the
// ranges are empty. 0, or -1 when the environment could not be set.
int VEK_DebugOptsToEnv(const DebugOpts* options);

// Host lists: IP specifications and the matching of a client against a list
// of them, and the trusted-hosts groups.
#pragma once

struct ArgvVec;

// An IP spec has `count` parts separated by '.'; each part is "*"
// (0 to 255), a decimal number of at most five digits and at most 255, or a
// range "low-high" of two such numbers with low below high. Fills lows[] and
// highs[] (count elements each) and returns 1; 0 for any other text (the
// arrays may then be partly written).
int IPspecToRanges(const char* spec, int* lows, int* highs, int count);

// 1 when the client (host name and/or dotted address, either may be null)
// matches an entry of the ';'-separated list, else 0. Entries are trimmed;
// empty ones and ones of 65 characters or more are skipped. "*" matches any
// client; a four-part IP spec matches an address inside its ranges;
// any other entry is a host name compared with HostStrCmp. A host given
// without an address that is itself a four-part IP spec is taken as
// the address, and then no name is compared.
int ConnectionIPCheck(const char* host, const char* address, const char* specList);

// 1 when an element of `argv` names the host (HostStrCmp), else 0.
int HostInArgvList(const char* host, const ArgvVec* argv);

// ParseTrusts flag: add the host itself first.
inline constexpr int kTrustsAddSelf = 1;

// Adds the trusted partners of `host` to `argv`: the other words of every
// '{' '}' group that holds the host (exact comparison); without a host, every
// word up to the first '}'. '#' starts a comment to the line end; words are
// cut to 255 characters; a group without its '}' is ignored. 1 when a host
// was added, else 0.
int ParseTrustsBuffer(const char* text, const char* host, int flags, ArgvVec* argv);
// The same over the file `name` in the server configuration directory. A
// missing or unreadable file clears the error state; with kTrustsAddSelf the
// host itself is still added.
int ParseTrustsFile(const char* name, const char* host, int flags, ArgvVec* argv);

// The installation's rc file ".tarnrc" (NAME=VALUE lines) in cmnFenBase: its
// reader, its line parser and its export into the environment.
#pragma once

// The whole file as a new heap text (free with safe_free), or NULL when it is
// missing or cannot be read.
char* ReadTarnrcFile();
// Returns the next entry of the text at *cursor and moves the cursor past it:
// 0 with *name and *value pointing into the text (cut in place), -1 at the
// end. Blank lines and lines starting with '#' are skipped; white space
// before '=' and at the end of the value is cut, after '=' it is kept; a line
// without '=' gives *value NULL.
int ParseTarnRcFormat(char** cursor, char** name, char** value);
// 1 and a heap copy of the first value of `name` (exact case) in *value, or 0
// and NULL when the file or the name is missing, the name is empty, or its
// line has no '='.
int GetTarnrcVar(const char* name, char** value);
// Puts every entry with a non-empty name and a value (empty included) into
// the environment. Returns the number exported, -1 when a PutEnv failed
// (the other entries are still exported).
int ExportTarnRcVariables();

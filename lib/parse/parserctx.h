// Work area of the list parsers in the process's module context table: the
// scanners' current line and field and the rejected lines of the last parse.
#pragma once

#include "parse/userlist.h"

struct ParserWork {
  char line[kAdmLineMax + 1];
  bool lineCut;
  char token[kAdmLineMax + 1];
  int rejected[kUserRejectedMax];
  int rejectedCount;
  int rejectedTotal;
};

// The work area (never null).
ParserWork* ParserData();

// A small program of the system for the start-up tests: starts the common
// runtime, answers one request on standard output and stops it again.
//
//   startprobe -version     prints the version line
//   startprobe -env <name>  prints the variable's value as the program sees it
// Exit status: 0 done, 1 start-up failed (the reason is in debug.log),
// 2 usage, 3 the runtime still had users after CmnExit.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/cmninit.h"

TARN_RCSID("lib/cmn/test/startprobe.cpp");

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: startprobe -version | -env <name>\n");
    return 2;
  }
  if (CmnInit("startprobe", nullptr, nullptr, nullptr, nullptr, 0) != 0) {
    std::fprintf(stderr, "startprobe: cannot start\n");
    return 1;
  }
  int status = 0;
  if (std::strcmp(argv[1], "-version") == 0) {
    char line[1024];
    ConPrintf("%s\n", MakeVersionString(sizeof line, line));
  } else if (std::strcmp(argv[1], "-env") == 0 && argc > 2) {
    const char* value = std::getenv(argv[2]);
    ConPrintf("%s\n", value != nullptr ? value : "<unset>");
  } else {
    status = 2;
  }
  if (CmnExit() != 0) status = 3;
  return status;
}

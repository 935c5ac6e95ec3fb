// plover: the log-archive user exit DB2 runs once per log file.
#include "plover/uexit.h"

int main(int argc, char** argv) {
  return UE_Main(argc, argv);
}

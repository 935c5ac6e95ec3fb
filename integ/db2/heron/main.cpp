// heron: the DB2 configuration utility's program.
#include "heron/heron.h"

int main(int argc, char** argv) {
  return HeronMain(argc, argv);
}

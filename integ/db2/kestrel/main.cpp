// kestrel: the DB2 backup agent's program.
#include "kestrel/agent.h"

int main(int argc, char** argv) {
  return KestrelMain(argc, argv);
}

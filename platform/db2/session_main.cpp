// Session program of the stand-in DB2: one backup or restore session, its
// request on standard input, its answers on standard output.
#include <csignal>

#include "db2/session.h"

int main() {
  // A parent that died must not take the session down with SIGPIPE before it
  // can give the vendor session up.
  std::signal(SIGPIPE, SIG_IGN);
  return db2sim::RunSession(0, 1);
}

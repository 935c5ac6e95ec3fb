// Session program of the stand-in DB2: one backup or restore session, its
// request and commands on standard input, its answers on standard output.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "db2/session.h"

int main() {
  // A parent that died must not take the session down with SIGPIPE before it
  // can give the vendor session up.
  std::signal(SIGPIPE, SIG_IGN);
  // The vendor library may print: keep the conversation with the parent on
  // descriptors of its own and give the library's standard output to
  // standard error, its standard input to /dev/null.
  int in = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  int out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (in < 0 || out < 0) return 2;
  int devnull = ::open("/dev/null", O_RDONLY);
  if (devnull >= 0) {
    ::dup2(devnull, 0);
    ::close(devnull);
  }
  ::dup2(2, 1);
  return db2sim::RunSession(in, out);
}

// tarn-clientsvc: the stand-in client service of a client host. The session
// manager connects to it over TCP and asks it to start an agent; the service
// runs the program with its own environment plus the settings asked for,
// writes the given text on its standard input and closes it, collects what
// it prints, and answers how it ended. One forked server per connection.
//
//   tarn-clientsvc [--bind <address>] [--port <n>] [--ports-file <file>]
//                  [--lifetime <s>]
//
// --ports-file gets "port <n>" and "pid <pid>" lines once the service
// listens. The service ends on SIGTERM or after --lifetime seconds (default
// 3600); programs still running are killed then.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "codec/agentlaunch.h"
#include "codec/message.h"
#include "codec/wire.h"

extern char** environ;

namespace {

using tarn::standin::Deadline;
using tarn::standin::Fd;
using tarn::standin::Io;
using tarn::standin::LaunchRequest;
using tarn::standin::LaunchResult;

constexpr std::size_t kRequestMax = 1 << 20;
constexpr auto kRequestWait = std::chrono::seconds(10);

volatile sig_atomic_t stopping = 0;

void OnTerm(int) {
  stopping = 1;
}

// The service's environment with the request's settings put over it.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const std::string& entry : extra) {
    const std::size_t eq = entry.find('=');
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

LaunchResult RunProgram(const LaunchRequest& request) {
  LaunchResult result;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return result;
  }
  Fd inRead(in[0]), inWrite(in[1]), outRead(out[0]), outWrite(out[1]);
  std::vector<std::string> env = Environment(request.env);
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = request.program;
  std::vector<std::string> args = request.args;
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(inRead.get(), 0);
    ::dup2(outWrite.get(), 1);
    ::dup2(outWrite.get(), 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  inRead.reset();
  outWrite.reset();
  // The text is small (one option line); a program that does not read it
  // only loses it.
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t at = 0; at < request.input.size();) {
    const ssize_t n = ::write(inWrite.get(), request.input.data() + at, request.input.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  inWrite.reset();
  const Deadline deadline = Deadline::After(std::chrono::seconds(request.timeoutSeconds));
  bool timedOut = false;
  for (;;) {
    pollfd p{outRead.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, deadline.pollMs());
    if (ready == 0 || deadline.expired()) {
      timedOut = true;
      break;
    }
    if (ready < 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(outRead.get(), chunk, sizeof chunk);
    if (n <= 0) break;
    if (result.output.size() < tarn::standin::kLaunchOutputMax)
      result.output.append(chunk, static_cast<std::size_t>(n));
  }
  if (timedOut) ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    result.end = LaunchResult::End::kTimedOut;
  } else if (WIFEXITED(status)) {
    result.end =
        WEXITSTATUS(status) == 127 ? LaunchResult::End::kNotStarted : LaunchResult::End::kExited;
    result.status = WEXITSTATUS(status);
  } else {
    result.end = LaunchResult::End::kKilled;
    result.status = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  return result;
}

// One connection: one request, one answer.
int Serve(Fd connection) {
  tarn::standin::Message message;
  std::string why;
  if (tarn::standin::ReadMessage(connection.get(), &message, kRequestMax,
                                 Deadline::After(kRequestWait), kRequestWait, -1, &why) != Io::kOk)
    return 1;
  const auto request = tarn::standin::ParseLaunchRequest(message);
  LaunchResult result;
  if (request) result = RunProgram(*request);
  const std::string reply = tarn::standin::EncodeMessage(tarn::standin::EncodeLaunchResult(result));
  tarn::standin::WriteFrame(connection.get(), reply, Deadline::After(kRequestWait), -1);
  tarn::standin::CloseGracefully(connection, std::chrono::seconds(1), -1);
  return request ? 0 : 1;
}

int Usage(const char* why) {
  std::fprintf(stderr, "tarn-clientsvc: %s\n", why);
  std::fprintf(stderr,
               "usage: tarn-clientsvc [--bind <address>] [--port <n>] [--ports-file <file>] "
               "[--lifetime <s>]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bind = "127.0.0.1", portsFile;
  long port = 0, lifetime = 3600;
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return Usage("an option without its value");
    const char* value = argv[i + 1];
    if (name == "--bind")
      bind = value;
    else if (name == "--ports-file")
      portsFile = value;
    else if (name == "--port")
      port = std::strtol(value, nullptr, 10);
    else if (name == "--lifetime")
      lifetime = std::strtol(value, nullptr, 10);
    else
      return Usage("unknown option");
  }
  if (port < 0 || port > 65535 || lifetime < 1) return Usage("bad number");
  struct sigaction term {};
  term.sa_handler = OnTerm;
  sigaction(SIGTERM, &term, nullptr);
  sigaction(SIGINT, &term, nullptr);
  std::string why;
  Fd listener = tarn::standin::ListenTcp(bind, static_cast<int>(port), &why);
  if (!listener.valid()) return Usage(why.c_str());
  if (!portsFile.empty()) {
    std::ofstream f(portsFile + ".tmp");
    f << "port " << tarn::standin::LocalPort(listener.get()) << "\npid " << ::getpid() << "\n";
    f.close();
    std::rename((portsFile + ".tmp").c_str(), portsFile.c_str());
  }
  std::vector<pid_t> servers;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  while (stopping == 0 && std::chrono::steady_clock::now() < end) {
    Io status = Io::kOk;
    std::string peer;
    Fd connection = tarn::standin::AcceptTcp(
        listener.get(), Deadline::After(std::chrono::milliseconds(200)), -1, &status, &peer);
    std::erase_if(servers, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == pid; });
    if (!connection.valid()) continue;
    const pid_t pid = ::fork();
    if (pid == 0) {
      listener.reset();
      ::_exit(Serve(std::move(connection)));
    }
    if (pid > 0) servers.push_back(pid);
  }
  for (pid_t pid : servers) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return 0;
}

// Test harness: temporary roots, watchdog, System V clean-up and hex compare.
#include "tarn_test.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "tarn_layout.h"

namespace tarn::test {

namespace fs = std::filesystem;

namespace {

std::string MakeTempDir(const char* tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base ? base : "/tmp") + "/" + tag + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    return {};
  }
  return std::string(buf.data());
}

}  // namespace

TempRoot::TempRoot() : path_(MakeTempDir("tarnroot.")), keys_(path_ + "/.keys") {
  for (const char* dir : kLayoutDirs) fs::create_directories(path_ + dir);
  if (!keys_.claimRoot(path_)) ADD_FAILURE() << keys_.error();
  // Products look their texts up in the catalogue the build compiled.
  const fs::path catalogue = fs::path(TARN_BUILD_DIR) / "nls/C/tarn.cat";
  std::error_code ec;
  if (fs::exists(catalogue, ec)) {
    fs::copy_file(catalogue, path_ + "/opt/tarn/lib/nls/C/tarn.cat",
                  fs::copy_options::overwrite_existing, ec);
  }
  if (const char* old = std::getenv("TARN_ROOT")) {
    oldRoot_ = old;
    hadOldRoot_ = true;
  }
  setenv("TARN_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (hadOldRoot_) {
    setenv("TARN_ROOT", oldRoot_.c_str(), 1);
  } else {
    unsetenv("TARN_ROOT");
  }
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::string TempRoot::at(std::string_view absolute) const {
  return path_ + std::string(absolute);
}

void TempRoot::write(std::string_view absolute, std::string_view content) const {
  const std::string p = at(absolute);
  fs::create_directories(fs::path(p).parent_path());
  WriteFile(p, content);
}

std::string TempRoot::read(std::string_view absolute) const {
  return ReadFile(at(absolute));
}

void TempRoot::writeKeyPrograms() {
  for (const char* program : kKeyPrograms) {
    const std::string absolute = std::string("/opt/tarn/lbin/") + program;
    write(absolute, "");
    if (!keys_.claim(at(absolute))) ADD_FAILURE() << keys_.error();
  }
}

bool TempRoot::install() {
  const std::string command = std::string("'") + TARN_CMAKE_COMMAND + "' --install '" +
                              TARN_BUILD_DIR + "' --prefix '" + path_ + "' >/dev/null";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "failed: " << command;
    return false;
  }
  if (!keys_.claimRoot(path_)) {
    ADD_FAILURE() << keys_.error();
    return false;
  }
  std::set<std::string> dirs;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(fs::path(TARN_BUILD_DIR) / "platform", ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".so") dirs.insert(it->path().parent_path().string());
  std::string path;
  for (const std::string& dir : dirs) path += (path.empty() ? "" : ":") + dir;
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  return true;
}

TempDir::TempDir() : path_(MakeTempDir("tarntmp.")) {}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

Watchdog::Watchdog(unsigned seconds) {
  signal(SIGALRM, SIG_DFL);
  alarm(seconds);
}

Watchdog::~Watchdog() {
  alarm(0);
}

SysVGuard::~SysVGuard() {
  for (int id : sems_) semctl(id, 0, IPC_RMID);
  for (int id : shms_) shmctl(id, IPC_RMID, nullptr);
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

ChildProcess::ChildProcess(const std::function<int()>& body, unsigned seconds) {
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    return;
  }
  if (pid_ == 0) {
    alarm(seconds);
    _exit(body());
  }
}

ChildProcess ChildProcess::Program(const std::vector<std::string>& args, unsigned seconds) {
  return ChildProcess(
      [&args] {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (!args.empty()) execv(argv[0], argv.data());
        return 127;
      },
      seconds);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  Kill();
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  pid_t r;
  do {
    r = waitpid(pid_, &status_, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return true;
  pid_ = -1;
  return false;
}

int ChildProcess::Wait(unsigned seconds) {
  if (pid_ <= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "child " << pid_ << " killed after " << seconds << "s";
      Kill();
      break;
    }
    usleep(5000);
  }
  return status_;
}

int ChildProcess::ExitCode(unsigned seconds) {
  const int status = Wait(seconds);
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

int RunInChild(const std::function<int()>& body, unsigned seconds) {
  ChildProcess child(body, seconds);
  return child.Wait(seconds);
}

namespace {

constexpr int kStillRunning = -1;
constexpr int kNotAChild = -2;

// Waits for `pid` at most `timeout`: its wait status, kStillRunning, or
// kNotAChild when it was reaped elsewhere.
int WaitForPid(pid_t pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno == ECHILD) return kNotAChild;
    if (std::chrono::steady_clock::now() >= end) return kStillRunning;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool ServerProgram::Start(std::vector<std::string> args, const std::string& stdoutPath,
                          const std::string& readyFile,
                          const std::function<bool(const std::string&)>& ready,
                          std::chrono::milliseconds timeout, const std::string& what) {
  what_ = what;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string out = stdoutPath.empty() ? "/dev/null" : stdoutPath;
  const pid_t parent = getpid();
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed for " << what_;
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) dup2(fd, STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A placement prefix starts with a bare command name (ip).
    execvp(argv[0], argv.data());
    _exit(127);
  }
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    const int status = WaitForPid(pid_, std::chrono::milliseconds(0));
    if (status != kStillRunning) {
      pid_ = -1;
      ADD_FAILURE() << what_ << " ended at start (status " << status << ")";
      return false;
    }
    if (ready(ReadFile(readyFile))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << what_ << " did not become ready";
  Stop();
  return false;
}

int ServerProgram::Stop() {
  if (pid_ <= 0) return -1;
  int status = WaitForPid(pid_, std::chrono::milliseconds(0));
  if (status == kStillRunning) {
    kill(pid_, SIGTERM);
    status = WaitForPid(pid_, std::chrono::seconds(10));
  }
  if (status == kStillRunning) {
    ADD_FAILURE() << what_ << " ignored SIGTERM; killed";
    kill(pid_, SIGKILL);
    status = WaitForPid(pid_, std::chrono::seconds(10));
  }
  pid_ = -1;
  return status < 0 ? -1 : status;
}

int ServerProgram::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const int status = WaitForPid(pid_, timeout);
  if (status == kStillRunning) return -1;
  pid_ = -1;
  return status < 0 ? -1 : status;
}

bool WaitForFileText(const std::string& path, std::string_view text,
                     std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::span<const std::uint8_t> Span(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Packet(std::string_view data) {
  const auto n = static_cast<std::uint32_t>(data.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
  out.append(data);
  return out;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    if (i > 0) out += ' ';
    out += buf;
  }
  return out;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

::testing::AssertionResult BytesEqual(std::span<const std::uint8_t> expected,
                                      std::span<const std::uint8_t> actual) {
  if (expected.size() == actual.size() &&
      std::equal(expected.begin(), expected.end(), actual.begin())) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "\n  expected (" << expected.size() << "): " << Hex(expected) << "\n  actual   ("
         << actual.size() << "): " << Hex(actual);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

Hosts TestHosts() {
  Hosts hosts{
      .cellServer = {{}, "127.0.0.1"}, .mediaAgent = {{}, "127.0.0.1"}, .self = "127.0.0.1"};
  const char* text = std::getenv("TARN_TEST_NETNS");
  if (text == nullptr || *text == '\0') return hosts;
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.size() != 6) {
    ADD_FAILURE() << "TARN_TEST_NETNS needs six words (<cs netns> <cs address> <ma netns> <ma "
                     "address> <db netns> <db address>), not \""
                  << text << "\"";
    return hosts;
  }
  hosts.cellServer = {{"ip", "netns", "exec", words[0]}, words[1]};
  hosts.mediaAgent = {{"ip", "netns", "exec", words[2]}, words[3]};
  hosts.self = words[5];
  hosts.apart = true;
  return hosts;
}

}  // namespace tarn::test

// Tests provoke allocation failures on purpose: the sanitizer must let malloc
// return null instead of ending the test.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=1";
}

// Test harness shared by every test: set the state up, name the case, assert
// against literal expected bytes or text.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keyclaims.h"

namespace tarn::test {

// A fresh directory with the install layout (opt/tarn/..., etc/opt/tarn/...,
// var/opt/tarn/...) that becomes TARN_ROOT for this process. Removed with
// everything in it when the object dies. Product tests also call
// CmnPathsInit(root.path()) so the library's directories follow. Its folders
// hold System V keys no other live test root shares (see KeyClaims).
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // path() + absolute, e.g. root.at("/var/opt/tarn/log/debug.log").
  std::string at(std::string_view absolute) const;
  // Writes a file under the root, creating its directories.
  void write(std::string_view absolute, std::string_view content) const;
  // Whole file content under the root; empty when missing.
  std::string read(std::string_view absolute) const;
  // Writes the empty lbin programs whose files key the DB2 semaphore sets,
  // each with a key of its own.
  void writeKeyPrograms();
  // Installs the build this test belongs to into the root, as an
  // administrator installs the product, and claims the keys of what it put
  // there. The platform's libraries are found through LD_LIBRARY_PATH, which
  // this sets for the process and what it starts. False, with a test
  // failure added, when the install failed.
  bool install();

 private:
  std::string path_;
  KeyClaims keys_;
  std::string oldRoot_;
  bool hadOldRoot_ = false;
};

// A temporary directory that is not an install root.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Ends the test process with SIGALRM if it runs longer than `seconds`.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

// Removes every System V semaphore set and shared-memory segment handed to it.
class SysVGuard {
 public:
  SysVGuard() = default;
  ~SysVGuard();
  SysVGuard(const SysVGuard&) = delete;
  SysVGuard& operator=(const SysVGuard&) = delete;
  void semaphore(int id) { sems_.push_back(id); }
  void segment(int id) { shms_.push_back(id); }

 private:
  std::vector<int> sems_;
  std::vector<int> shms_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// Where a test places the stand-in cell server and media agent. By default
// both run beside the test on 127.0.0.1. TARN_TEST_NETNS (set by
// e2e/run_faults_netns.sh, which runs the test in the DB2 host's namespace)
// holds "<cs netns> <cs address> <ma netns> <ma address> <db netns> <db
// address>": each stand-in then runs through `ip netns exec` in its own
// namespace, bound to its address, and reaches this host at the last one.
struct Placement {
  std::vector<std::string> prefix;  // the command that runs the stand-in there; empty here
  std::string address;              // where it listens and is reached
};
struct Hosts {
  Placement cellServer;
  Placement mediaAgent;
  std::string self;  // where the stand-ins reach this host (its client service)
  bool apart = false;
};
// The placement of this run; a malformed TARN_TEST_NETNS fails the test and
// leaves the loopback placement.
Hosts TestHosts();

// A child process that runs while the test goes on: a forked copy running a
// function, or a program. The child ends itself (SIGALRM) after `seconds`;
// one still running when the object dies is killed and reaped. Move-only.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Forks (stdio flushed first); the child runs `body` and exits with its result.
  explicit ChildProcess(const std::function<int()>& body, unsigned seconds = 30);
  // Starts the program args[0] with `args` as its arguments and this
  // process's environment; a failed exec exits with 127.
  static ChildProcess Program(const std::vector<std::string>& args, unsigned seconds = 30);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The child's process id; -1 when none was started or it was reaped.
  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // True while the child has not ended; reaps it (keeping its status) once it has.
  bool Running();
  // Waits up to `seconds` for the end (a failure is added when it is killed
  // then) and returns the raw wait status; -1 when there was no child.
  int Wait(unsigned seconds = 30);
  // Wait(), as the exit code; -1 when the child did not exit normally.
  int ExitCode(unsigned seconds = 30);
  // Kills (SIGKILL) and reaps the child; nothing when there is none.
  void Kill();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A stand-in server program run for one test. The program ends with the test
// process even when that dies without a word, starts with no signal blocked,
// and writes its standard output to a given file (/dev/null when none).
class ServerProgram {
 public:
  ServerProgram() = default;
  ServerProgram(const ServerProgram&) = delete;
  ServerProgram& operator=(const ServerProgram&) = delete;
  // Stops a program still running (see Stop).
  ~ServerProgram() { Stop(); }

  // Starts args[0] with `args`, then reads `readyFile` every 10 ms until
  // `ready` accepts its text. On a failed start, an early end or `timeout`,
  // adds a test failure naming `what`, stops what runs and returns false.
  bool Start(std::vector<std::string> args, const std::string& stdoutPath,
             const std::string& readyFile, const std::function<bool(const std::string&)>& ready,
             std::chrono::milliseconds timeout, const std::string& what);
  // SIGTERM, then after 10 s SIGKILL with a test failure. The wait status,
  // or -1 when nothing ran or it was reaped elsewhere.
  int Stop();
  // Waits up to `timeout` for the program to end by itself: its wait status,
  // or -1 while it still runs.
  int WaitForExit(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string what_;
};

// Reads `path` every 10 ms until it holds `text`; false after `timeout`.
bool WaitForFileText(const std::string& path, std::string_view text,
                     std::chrono::milliseconds timeout);
// The lines of a file; none when it is missing.
std::vector<std::string> FileLines(const std::string& path);

// Runs `body` in a forked child; the child exits with the body's result.
// Returns the raw wait status. The parent waits at most `seconds`, then kills.
int RunInChild(const std::function<int()>& body, unsigned seconds = 30);

// Owns a heap text that code under test hands over, freed by `Free` (the
// library's own release function) when the owner goes. Tests pass &p where
// the code wants a `char**` to fill.
template <auto Free>
struct HeapText {
  char* p = nullptr;
  HeapText() = default;
  explicit HeapText(char* heap) : p(heap) {}
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() {
    if (p != nullptr) Free(p);
  }
  // The text; empty for null.
  std::string str() const { return p != nullptr ? std::string(p) : std::string(); }
};

// Takes a heap text over and frees it with `Free`: its content, "<null>" for null.
template <auto Free>
std::string TakeText(char* heap) {
  if (heap == nullptr) return "<null>";
  HeapText<Free> owned(heap);
  return owned.str();
}

// A fixture base that runs `Reset` before and after every test, for module
// state a test may leave behind (a sticky error, say), so each test starts
// clean whatever the one before it did. Derived fixtures that override SetUp
// or TearDown call these as well.
template <auto Reset>
class ResetAroundEachTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
};

std::string Hex(std::span<const std::uint8_t> bytes);
// The bytes of a string, for BytesEqual.
std::span<const std::uint8_t> Span(const std::string& s);
// The wire form of one IPC packet: 4-byte big-endian length, then the data.
std::string Packet(std::string_view data);
std::vector<std::uint8_t> Bytes(std::string_view text);
// Compares two byte ranges and prints both in hex when they differ.
::testing::AssertionResult BytesEqual(std::span<const std::uint8_t> expected,
                                      std::span<const std::uint8_t> actual);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view content);

}  // namespace tarn::test

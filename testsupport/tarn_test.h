// Test harness shared by every test: set the state up, name the case, assert
// against literal expected bytes or text.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::test {

// A fresh directory with the install layout (opt/tarn/..., etc/opt/tarn/...,
// var/opt/tarn/...) that becomes TARN_ROOT for this process. Removed with
// everything in it when the object dies. Product tests also call
// CmnPathsInit(root.path()) so the library's directories follow.
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

 private:
  std::string path_;
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

// Runs `body` in a forked child; the child exits with the body's result.
// Returns the raw wait status. The parent waits at most `seconds`, then kills.
int RunInChild(const std::function<int()>& body, unsigned seconds = 30);

std::string Hex(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> Bytes(std::string_view text);
// Compares two byte ranges and prints both in hex when they differ.
::testing::AssertionResult BytesEqual(std::span<const std::uint8_t> expected,
                                      std::span<const std::uint8_t> actual);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view content);

}  // namespace tarn::test

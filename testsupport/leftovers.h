// What a multi-process test leaves behind: the processes and System V objects
// of one install root that outlive the test's own work.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace tarn::test {

// Snapshots the System V objects at construction and, on a background thread
// while it lives, notes every process of the run: a process whose environment
// holds TARN_ROOT=<root>, other than the test process. Objects of tests that
// run beside this one (other roots) are never counted.
class Leftovers {
 public:
  explicit Leftovers(std::string root);
  ~Leftovers();
  Leftovers(const Leftovers&) = delete;
  Leftovers& operator=(const Leftovers&) = delete;

  // Waits up to `grace` for the run's processes to end and its new semaphore
  // sets and shared segments to go. "" when none remain; else one line per
  // leftover: a pid with its command line, or a System V id with its key.
  // An object is the run's when it was not in the snapshot and either a
  // process of the run created it or last used it, or its key is an ftok key
  // of a file under the root.
  std::string Remaining(std::chrono::milliseconds grace = std::chrono::seconds(5)) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarn::test

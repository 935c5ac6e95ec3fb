// What a run did with the DB2 node semaphores of an install root, seen from
// outside: which of the sets keyed by the root's paths existed, and which
// processes made the last operation on each of them.
// Links neither the product nor the test framework: the road programs use it.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tarn::test {

// Samples the sets every millisecond on a thread of its own while it lives.
class PaceWatch {
 public:
  // The sets of `root`: GlobalLock and sem_dev, and the five of each node.
  PaceWatch(const std::string& root, const std::vector<int>& nodes);
  ~PaceWatch();
  PaceWatch(const PaceWatch&) = delete;
  PaceWatch& operator=(const PaceWatch&) = delete;

  struct Seen {
    bool existed = false;
    std::set<pid_t> lastUsers;  // pids the kernel named as the last to operate
  };
  // Names: "GlobalLock", "sem_dev", and "<set> <node>" with the sets
  // "libReady", "canStart", "finishedStart", "canEnd", "finishedEnd".
  std::map<std::string, Seen> Sets() const;
  // The names of the sets that exist now.
  std::vector<std::string> Existing() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarn::test

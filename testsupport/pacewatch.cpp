// The pace watch: ftok keys of an install root's key paths, sampled in
// /proc/sysvipc/sem and by GETPID.
#include "pacewatch.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <thread>

namespace tarn::test {
namespace {

struct Key {
  std::string name;
  key_t key;
};

std::vector<Key> Keys(const std::string& root, const std::vector<int>& nodes) {
  const std::string lbin = root + "/opt/tarn/lbin";
  std::vector<Key> keys = {{"GlobalLock", ftok((lbin + "/kestrel").c_str(), 1)},
                           {"sem_dev", ftok((lbin + "/plover").c_str(), 1)}};
  const std::pair<const char*, std::string> node[] = {{"libReady", root + "/opt/tarn/bin"},
                                                      {"canStart", root + "/opt/tarn/lib"},
                                                      {"finishedStart", lbin + "/heron"},
                                                      {"canEnd", root + "/var/opt/tarn/tmp"},
                                                      {"finishedEnd", lbin + "/linnet"}};
  for (int n : nodes)
    for (const auto& [name, path] : node)
      keys.push_back({std::string(name) + " " + std::to_string(n), ftok(path.c_str(), n + 1)});
  return keys;
}

// Key and id of every semaphore set there is.
std::map<key_t, int> SetsNow() {
  std::map<key_t, int> sets;
  std::ifstream in("/proc/sysvipc/sem");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key = 0;
    int id = -1;
    if (fields >> key >> id) sets[static_cast<key_t>(key)] = id;
  }
  return sets;
}

}  // namespace

struct PaceWatch::State {
  std::vector<Key> keys;
  mutable std::mutex mutex;
  std::map<std::string, Seen> seen;
  std::vector<std::string> existing;
  std::jthread sampler;

  void Sample() {
    const std::map<key_t, int> now = SetsNow();
    std::vector<std::string> there;
    std::lock_guard lock(mutex);
    for (const Key& k : keys) {
      const auto set = k.key == static_cast<key_t>(-1) ? now.end() : now.find(k.key);
      if (set == now.end()) continue;
      Seen& s = seen[k.name];
      s.existed = true;
      const int last = semctl(set->second, 0, GETPID);
      if (last > 0) s.lastUsers.insert(last);
      there.push_back(k.name);
    }
    existing = std::move(there);
  }
};

PaceWatch::PaceWatch(const std::string& root, const std::vector<int>& nodes)
    : state_(std::make_unique<State>()) {
  state_->keys = Keys(root, nodes);
  state_->Sample();
  state_->sampler = std::jthread([state = state_.get()](std::stop_token stop) {
    while (!stop.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      state->Sample();
    }
  });
}

PaceWatch::~PaceWatch() = default;

std::map<std::string, PaceWatch::Seen> PaceWatch::Sets() const {
  std::lock_guard lock(state_->mutex);
  return state_->seen;
}

std::vector<std::string> PaceWatch::Existing() const {
  state_->Sample();
  std::lock_guard lock(state_->mutex);
  return state_->existing;
}

}  // namespace tarn::test

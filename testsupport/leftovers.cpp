// The leftover check: the run's processes found through their environment,
// its System V objects through their creator or user or their ftok key.
#include "leftovers.h"

#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <stop_token>
#include <thread>
#include <vector>

namespace tarn::test {
namespace {

std::string ProcFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Live processes whose environment holds exactly `entry`, the test's own excepted.
std::set<pid_t> RunPids(const std::string& entry) {
  std::set<pid_t> pids;
  std::error_code ec;
  for (const auto& dir : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = dir.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid == getpid()) continue;
    const std::string env = ProcFile("/proc/" + name + "/environ");
    for (std::size_t at = 0; at < env.size();) {
      std::size_t end = env.find('\0', at);
      if (end == std::string::npos) end = env.size();
      if (env.compare(at, end - at, entry) == 0) {
        pids.insert(pid);
        break;
      }
      at = end + 1;
    }
  }
  return pids;
}

// The low 24 bits that ftok takes from a file (device and inode), for every
// file and folder under the root.
std::set<std::uint32_t> FtokBits(const std::string& root) {
  std::set<std::uint32_t> bits;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(
      root, std::filesystem::directory_options::skip_permission_denied, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (stat(it->path().c_str(), &st) != 0) continue;
    bits.insert(static_cast<std::uint32_t>((st.st_dev & 0xff) << 16 | (st.st_ino & 0xffff)));
  }
  return bits;
}

struct SysVObject {
  bool semaphore = false;
  int id = -1;
  std::int32_t key = 0;
  std::vector<pid_t> users;  // creator, last user(s)
};

std::vector<SysVObject> SysVObjects() {
  std::vector<SysVObject> objects;
  for (const bool semaphore : {true, false}) {
    std::istringstream table(ProcFile(semaphore ? "/proc/sysvipc/sem" : "/proc/sysvipc/shm"));
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      SysVObject o;
      o.semaphore = semaphore;
      long long key = 0;
      std::string perms;
      if (semaphore) {
        int nsems = 0;
        if (!(fields >> key >> o.id >> perms >> nsems)) continue;
        for (int i = 0; i < nsems && i < 1024; ++i) {
          const int last = semctl(o.id, i, GETPID);
          if (last > 0) o.users.push_back(last);
        }
      } else {
        unsigned long long size = 0;
        pid_t cpid = 0, lpid = 0;
        if (!(fields >> key >> o.id >> perms >> size >> cpid >> lpid)) continue;
        o.users = {cpid, lpid};
      }
      o.key = static_cast<std::int32_t>(key);
      objects.push_back(std::move(o));
    }
  }
  return objects;
}

std::pair<bool, int> Identity(const SysVObject& o) { return {o.semaphore, o.id}; }

}  // namespace

struct Leftovers::State {
  std::string root;
  std::string entry;
  std::set<std::pair<bool, int>> before;
  mutable std::mutex mutex;
  std::condition_variable_any wake;
  std::set<pid_t> seen;
  std::set<std::uint32_t> ftokBits;
  std::jthread sampler;

  void Sample(bool withFiles) {
    std::set<pid_t> now = RunPids(entry);
    std::set<std::uint32_t> files = withFiles ? FtokBits(root) : std::set<std::uint32_t>();
    std::lock_guard lock(mutex);
    seen.insert(now.begin(), now.end());
    ftokBits.insert(files.begin(), files.end());
  }
};

Leftovers::Leftovers(std::string root) : state_(std::make_unique<State>()) {
  state_->root = std::move(root);
  state_->entry = "TARN_ROOT=" + state_->root;
  for (const SysVObject& o : SysVObjects()) state_->before.insert(Identity(o));
  state_->Sample(true);
  // Processes that create an object and die between two samples are still
  // caught by the object's ftok key or its later users.
  state_->sampler = std::jthread([state = state_.get()](std::stop_token stop) {
    for (unsigned round = 1; !stop.stop_requested(); ++round) {
      std::unique_lock lock(state->mutex);
      state->wake.wait_for(lock, stop, std::chrono::milliseconds(20), [] { return false; });
      lock.unlock();
      if (!stop.stop_requested()) state->Sample(round % 10 == 0);
    }
  });
}

Leftovers::~Leftovers() = default;

std::string Leftovers::Remaining(std::chrono::milliseconds grace) const {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  for (;;) {
    state_->Sample(true);
    std::ostringstream out;
    for (const pid_t pid : RunPids(state_->entry)) {
      std::string cmd = ProcFile("/proc/" + std::to_string(pid) + "/cmdline");
      for (char& c : cmd) c = c == '\0' ? ' ' : c;
      out << "process " << pid << ": " << cmd << "\n";
    }
    {
      std::lock_guard lock(state_->mutex);
      for (const SysVObject& o : SysVObjects()) {
        if (state_->before.count(Identity(o)) != 0) continue;
        bool ours = o.key != 0 && state_->ftokBits.count(static_cast<std::uint32_t>(o.key) & 0xffffff) != 0;
        for (const pid_t user : o.users) ours = ours || state_->seen.count(user) != 0;
        if (!ours) continue;
        out << (o.semaphore ? "semaphore set " : "shared segment ") << o.id << " key 0x" << std::hex
            << static_cast<std::uint32_t>(o.key) << std::dec << "\n";
      }
    }
    if (out.str().empty() || std::chrono::steady_clock::now() >= deadline) return out.str();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace tarn::test

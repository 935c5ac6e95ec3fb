// The stand-in media agent: its listening port, a thread per connection, the
// streams that may resume, and a clean stop.
#include "mediaagent/agent.h"

#include <sys/stat.h>

#include <algorithm>

#include "codec/rcsid.h"
#include "mediaagent/segment.h"

TARN_RCSID("platform/mediaagent/agent.cpp");

namespace tarn::mediaagent {

namespace {

// How long a restore waits for its DA id to be let go by a side that ends.
constexpr std::chrono::milliseconds kReleaseGrace{2000};

}  // namespace

Agent::Agent(Config config, cellserver::Traffic& traffic,
             std::function<void(const std::string&)> event)
    : config_(std::move(config)),
      traffic_(traffic),
      event_(std::move(event)),
      faults_(config_.faults) {}

Agent::~Agent() {
  stop();
}

bool Agent::start(std::string* why) {
  // An agent killed on this store could not remove its segments itself.
  if (const int removed = RemoveLeftBehind(SegmentLedger(config_.storeDir)); removed > 0)
    traffic_.event("agent", "segments", "removed " + std::to_string(removed) + " left behind");
  listener_ = standin::ListenTcp(config_.bind, config_.port, why);
  if (!listener_.valid()) return false;
  port_ = standin::LocalPort(listener_.get());
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

void Agent::stop() {
  stop_.raise();
  if (acceptor_.joinable()) acceptor_.join();
  std::list<Worker> workers;
  {
    std::lock_guard lock(workersMutex_);
    stopped_ = true;
    workers.swap(workers_);
  }
  for (Worker& worker : workers) worker.thread.join();
  listener_.reset();
}

void Agent::acceptLoop() {
  while (!stop_.raised()) {
    standin::Io status = standin::Io::kOk;
    std::string peer;
    standin::Fd fd =
        standin::AcceptTcp(listener_.get(), standin::Deadline::After(std::chrono::seconds(1)),
                           stop_.fd(), &status, &peer);
    reap();
    if (!fd.valid()) {
      if (status == standin::Io::kStopped) return;
      continue;
    }
    const std::string label = "c" + std::to_string(++labels_);
    std::lock_guard lock(workersMutex_);
    if (stopped_) return;
    if (workers_.size() >= static_cast<std::size_t>(config_.maxConnections)) {
      traffic_.event(label, "refused", "too many connections from " + peer);
      continue;
    }
    traffic_.event(label, "open", peer);
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto shared = std::make_shared<standin::Fd>(std::move(fd));
    workers_.push_back({std::thread([this, shared, label, done] {
                          Converse(*this, std::move(*shared), label);
                          done->store(true);
                        }),
                        done});
  }
}

void Agent::reap() {
  std::lock_guard lock(workersMutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool Agent::fires(std::optional<std::uint32_t> Faults::*slot, std::uint32_t block) {
  std::lock_guard lock(faultsMutex_);
  if (!(faults_.*slot) || *(faults_.*slot) != block) return false;
  (faults_.*slot).reset();
  return true;
}

bool Agent::refuseOnce() {
  std::lock_guard lock(faultsMutex_);
  const bool refuse = faults_.refuse;
  faults_.refuse = false;
  return refuse;
}

std::shared_ptr<BackupStream> Agent::beginBackup(int da, std::string* why) {
  {
    std::lock_guard lock(streamsMutex_);
    if (!active_.insert(da).second) {
      *why = "DA " + std::to_string(da) + " is in use";
      return nullptr;
    }
    interrupted_.erase(da);
  }
  auto stream = std::make_shared<BackupStream>();
  stream->da = da;
  if (!config_.sink) {
    ::mkdir(config_.storeDir.c_str(), 0700);
    stream->writer =
        StreamWriter::Create(config_.storeDir, da, config_.geometry, config_.faults.diskFull, why);
    if (!stream->writer) {
      std::lock_guard lock(streamsMutex_);
      active_.erase(da);
      return nullptr;
    }
  }
  return stream;
}

std::shared_ptr<BackupStream> Agent::resumeBackup(int da) {
  std::unique_lock lock(streamsMutex_);
  const auto end = std::chrono::steady_clock::now() + config_.io;
  while (active_.count(da) != 0 && !stop_.raised() && std::chrono::steady_clock::now() < end)
    streamsChanged_.wait_for(lock, std::chrono::milliseconds(50));
  const auto it = interrupted_.find(da);
  if (it == interrupted_.end() || !active_.insert(da).second) return nullptr;
  auto stream = it->second;
  interrupted_.erase(it);
  return stream;
}

void Agent::breakingLink(int da) {
  std::lock_guard lock(streamsMutex_);
  breaking_.insert(da);
}

bool Agent::resumePending() {
  std::lock_guard lock(streamsMutex_);
  return !interrupted_.empty() || !breaking_.empty();
}

void Agent::endBackup(const std::shared_ptr<BackupStream>& stream, bool interrupted) {
  {
    std::lock_guard lock(streamsMutex_);
    active_.erase(stream->da);
    breaking_.erase(stream->da);
    if (interrupted) interrupted_[stream->da] = stream;
  }
  streamsChanged_.notify_all();
}

bool Agent::beginRestore(int da) {
  // A client that was just refused may open again before the refusing side
  // has let the stream go: give that side a moment.
  std::unique_lock lock(streamsMutex_);
  const auto end = std::chrono::steady_clock::now() +
                   std::min<std::chrono::milliseconds>(config_.io, kReleaseGrace);
  while (active_.count(da) != 0 && !stop_.raised() && std::chrono::steady_clock::now() < end)
    streamsChanged_.wait_for(lock, std::chrono::milliseconds(20));
  return active_.insert(da).second;
}

void Agent::endRestore(int da) {
  {
    std::lock_guard lock(streamsMutex_);
    active_.erase(da);
  }
  streamsChanged_.notify_all();
}

}  // namespace tarn::mediaagent

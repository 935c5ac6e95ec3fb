// The System V shared-memory segment a media agent offers one connection.
#include "mediaagent/segment.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/segment.cpp");

namespace tarn::mediaagent {

namespace {

// A ledger larger than this is not read: no run makes that many segments.
constexpr std::streamsize kMaxLedger = 1 << 20;

// One line "<pid> <id>"; a single append, so that the lines of concurrent
// connections do not mix.
void Note(const std::string& ledger, int id) {
  if (ledger.empty()) return;
  const int fd = ::open(ledger.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string line = std::to_string(getpid()) + " " + std::to_string(id) + "\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

// Gone, or a zombie: its segments have no other owner.
bool Ended(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

}  // namespace

std::unique_ptr<Segment> Segment::Create(std::size_t size, std::string* why,
                                         const std::string& ledger) {
  std::random_device seed;
  std::mt19937 keys(seed() ^ static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> pick(0x10000, 0x7FFFFFFF);
  for (int attempt = 0; attempt < 64; ++attempt) {
    const int key = pick(keys);
    const int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) {
      if (errno == EEXIST) continue;
      *why = std::string("shmget: ") + std::strerror(errno);
      return nullptr;
    }
    void* base = shmat(id, nullptr, 0);
    if (base == reinterpret_cast<void*>(-1)) {
      *why = std::string("shmat: ") + std::strerror(errno);
      shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    Note(ledger, id);
    return std::unique_ptr<Segment>(new Segment(key, id, static_cast<std::uint8_t*>(base), size));
  }
  *why = "no free shared-memory key";
  return nullptr;
}

Segment::~Segment() {
  shmdt(base_);
  shmctl(id_, IPC_RMID, nullptr);
}

int Segment::attachCount() const {
  shmid_ds info{};
  if (shmctl(id_, IPC_STAT, &info) != 0) return -1;
  return static_cast<int>(info.shm_nattch);
}

int RemoveLeftBehind(const std::string& ledger) {
  std::string text;
  {
    std::ifstream in(ledger, std::ios::binary);
    if (!in) return 0;
    text.resize(static_cast<std::size_t>(kMaxLedger));
    in.read(text.data(), kMaxLedger);
    text.resize(static_cast<std::size_t>(in.gcount()));
  }
  int removed = 0;
  std::string kept;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    long long pid = 0, id = -1;
    if (!(fields >> pid >> id) || pid <= 0 || pid > INT32_MAX || id < 0 || id > INT32_MAX) continue;
    const auto maker = static_cast<pid_t>(pid);
    if (maker == getpid()) continue;
    if (!Ended(maker)) {
      kept += line + "\n";
      continue;
    }
    shmid_ds state{};
    if (shmctl(static_cast<int>(id), IPC_STAT, &state) == 0 && state.shm_cpid == maker &&
        shmctl(static_cast<int>(id), IPC_RMID, nullptr) == 0)
      ++removed;
  }
  std::ofstream(ledger, std::ios::binary | std::ios::trunc) << kept;
  return removed;
}

}  // namespace tarn::mediaagent

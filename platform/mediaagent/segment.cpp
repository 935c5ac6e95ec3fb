// The System V shared-memory segment a media agent offers one connection.
#include "mediaagent/segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/segment.cpp");

namespace tarn::mediaagent {

std::unique_ptr<Segment> Segment::Create(std::size_t size, std::string* why) {
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

}  // namespace tarn::mediaagent

// Throughput of the data path. Backup: an object of 1 GiB through BmInit,
// RmGetObjDataBuf and RmWriteObjData to the stand-in media agent in sink mode
// (it acknowledges every block at once and stores nothing), straight into
// its shared memory and through the network process (VEKBDANET=1). Restore:
// a stored stream of 512 MiB read back record by record through RbmInit,
// RbmRead and RbmExit, straight from the agent's shared memory and through
// the network process (VEKRDANET=1), each record's data copied out as a
// client's writer would. Beside them, the bounds in the same shape:
// single-core memcpy over a ring of as many buffers of the same size (into
// the ring for backup, out of it for restore), and raw loopback TCP sending
// the same blocks with a window of as many buffers and a small
// acknowledgement each. Every benchmark reports MB/s (bytes processed), the
// peak resident memory of this process (rss_self_kib) and, for the network
// process, its own peak (rss_netproc_kib) read from /proc before it ends.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"
#include "dacmn/bm.h"
#include "dacmn/rbm.h"
#include "ipc/ipc.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"
#include "vekdf/daview.h"
#include "vekdf/rm.h"

TARN_RCSID("bench/dapath_bench.cpp");

namespace {

constexpr int kDa = 7;
constexpr int kBufferCount = 8;
constexpr std::uint64_t kObjectBytes = std::uint64_t{1} << 30;
constexpr std::size_t kSourceBytes = std::size_t{4} << 20;
// The stored stream each restore reads back, once per buffer size.
constexpr std::uint64_t kRestoreBytes = std::uint64_t{512} << 20;

// Rates (bytes per second) of the bounds by buffer size, from the runs
// before: the bounds are registered ahead of the backups they bound, so each
// backup reports its ratio to its bound when the bound ran too.
std::map<std::int64_t, double>& MemcpyRates() {
  static std::map<std::int64_t, double> rates;
  return rates;
}
std::map<std::int64_t, double>& TcpRates() {
  static std::map<std::int64_t, double> rates;
  return rates;
}
std::map<std::int64_t, double>& RestoreMemcpyRates() {
  static std::map<std::int64_t, double> rates;
  return rates;
}
// Backup rates of this run by path (network or not) and buffer size: to a
// sink agent (the benchmarks above), and into the store the restores read.
std::map<std::pair<bool, std::int64_t>, double>& SinkBackupRates() {
  static std::map<std::pair<bool, std::int64_t>, double> rates;
  return rates;
}
std::map<std::int64_t, double>& StoredBackupRates() {
  static std::map<std::int64_t, double> rates;
  return rates;
}

// Google Benchmark's bytes_per_second needs the measured time, which the
// state does not expose; the loops time themselves with this.
class Stopwatch {
 public:
  void start() { begin_ = std::chrono::steady_clock::now(); }
  void stop() { total_ += std::chrono::steady_clock::now() - begin_; }
  double rate(std::uint64_t bytes) const {
    const double seconds = std::chrono::duration<double>(total_).count();
    return seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  }

 private:
  std::chrono::steady_clock::time_point begin_;
  std::chrono::steady_clock::duration total_{};
};

long SelfMaxRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// VmHWM of `pid` in KiB; 0 when unreadable.
long PeakRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// The largest peak among this process's children other than `except` (the
// stand-in): the network process while it still runs.
long ChildrenPeakRssKib(pid_t except) {
  long peak = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == except) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(text.c_str() + paren + 1, " %c %ld", &state, &ppid) != 2 || ppid != self) {
      continue;
    }
    peak = std::max(peak, PeakRssKib(static_cast<pid_t>(pid)));
  }
  closedir(proc);
  return peak;
}

const std::vector<std::uint8_t>& Source() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(kSourceBytes);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
  }();
  return bytes;
}

// The common runtime over a temporary root, started once.
class Runtime {
 public:
  Runtime() {
    CmnPathsInit(root_.path().c_str());
    if (!CmnIsInitialized() && CmnInit("dapathbench", nullptr, nullptr, nullptr, nullptr, 0) != 0) {
      failure_ = "the common runtime did not start";
    }
  }
  const std::string& failure() const { return failure_; }

 private:
  tarn::test::TempRoot root_;
  std::string failure_;
};

const Runtime& TheRuntime() {
  static Runtime runtime;
  return runtime;
}

// One object of `bytes`: the data copied from the source into the records as
// a client's reader would. Empty on success, else the failing step.
std::string BackUpObject(std::uint64_t bytes = kObjectBytes) {
  if (RmWriteStart(kDa, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS", "full", "VEKBAR", "A.01") !=
      1) {
    return "RmWriteStart";
  }
  DaItemAttr item{};
  item.itemId = 1;
  item.fileType = kDaFileRegular;
  item.name = "image.001";
  item.size = bytes;
  if (RmWriteObjAttr(item) != 1) return "RmWriteObjAttr";
  const std::vector<std::uint8_t>& source = Source();
  std::uint64_t done = 0;
  std::size_t at = 0;
  while (done < bytes) {
    const std::uint64_t left = bytes - done;
    const std::uint32_t wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(left, source.size() - at));
    std::uint32_t granted = 0;
    std::uint8_t* data = RmGetObjDataBuf(wanted, &granted);
    if (data == nullptr) return "RmGetObjDataBuf";
    std::memcpy(data, source.data() + at, granted);
    if (RmWriteObjData(data, 1, granted, static_cast<std::uint32_t>(done),
                       static_cast<std::uint32_t>(done >> 32), 0, 0) != 1) {
      return "RmWriteObjData";
    }
    done += granted;
    at += granted;
    if (at == source.size()) at = 0;
  }
  if (RmWriteObjEnd(item, 0) != 1) return "RmWriteObjEnd";
  if (RmWriteEnd(kDa, 1000, 1100, 0, 0) != 1) return "RmWriteEnd";
  return {};
}

// state.range(0): buffer size; the agent has kBufferCount buffers.
void Backup(benchmark::State& state, bool network) {
  if (!TheRuntime().failure().empty()) {
    state.SkipWithError(TheRuntime().failure().c_str());
    return;
  }
  const std::string size = std::to_string(state.range(0));
  std::vector<std::string> args = {"--sink", "--buffer-size", size, "--buffer-count",
                                   std::to_string(kBufferCount)};
  if (!network) args.insert(args.end(), {"--transfer", "shm"});
  tarn::test::MediaAgentStandIn ma({.args = args, .trafficEvery = false});
  if (!ma.ready()) {
    state.SkipWithError("the stand-in media agent did not start");
    return;
  }
  if (network) {
    setenv("VEKBDANET", "1", 1);
  } else {
    unsetenv("VEKBDANET");
  }
  ErhInit(0);
  if (IpcInit() != 0) {
    state.SkipWithError("IpcInit failed");
    return;
  }
  long netPeak = 0;
  std::string failure;
  Stopwatch watch;
  for (auto _ : state) {
    watch.start();
    if (BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa, "127.0.0.1",
               ma.port(), nullptr, 1.0, nullptr, nullptr, nullptr) != 1) {
      failure = "BmInit failed with error " + std::to_string(ErhErrno());
      break;
    }
    failure = BackUpObject();
    if (failure.empty() && BmFlush() != 1) failure = "BmFlush";
    if (network) netPeak = std::max(netPeak, ChildrenPeakRssKib(ma.pid()));
    if (BmExit(1) != 1 && failure.empty()) failure = "BmExit";
    watch.stop();
    if (!failure.empty()) break;
  }
  unsetenv("VEKBDANET");
  IpcExit();
  ErhClearErrorM("dapathbench", 0);
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kObjectBytes));
  state.counters["rss_self_kib"] = static_cast<double>(SelfMaxRssKib());
  if (network) state.counters["rss_netproc_kib"] = static_cast<double>(netPeak);
  state.counters["rss_agent_kib"] = static_cast<double>(PeakRssKib(ma.pid()));
  SinkBackupRates()[{network, state.range(0)}] = watch.rate(state.iterations() * kObjectBytes);
  const auto& bounds = network ? TcpRates() : MemcpyRates();
  const auto bound = bounds.find(state.range(0));
  if (bound != bounds.end() && bound->second > 0) {
    state.counters[network ? "x_tcp" : "x_memcpy"] =
        watch.rate(state.iterations() * kObjectBytes) / bound->second;
  }
}

void BM_BackupLocal(benchmark::State& state) {
  Backup(state, false);
}
void BM_BackupNetworkProcess(benchmark::State& state) {
  Backup(state, true);
}

// The stream the restores of one buffer size read: backed up once into a
// temporary store by a storing stand-in, removed when the next size needs its
// own (or the program ends), so that at most one lies on disk.
class StoredStream {
 public:
  // Empty on success, else the failing step.
  std::string prepare(std::int64_t bufferSize) {
    if (bufferSize_ == bufferSize) return failure_;
    store_.reset();
    store_ = std::make_unique<tarn::test::TempDir>();
    bufferSize_ = bufferSize;
    failure_ = backUp();
    return failure_;
  }
  const std::string& storeDir() const { return store_->path(); }

 private:
  std::string backUp() {
    tarn::test::MediaAgentStandIn ma(
        {.args = {"--buffer-size", std::to_string(bufferSize_), "--buffer-count",
                  std::to_string(kBufferCount), "--transfer", "shm", "--role", "backup"},
         .storeDir = store_->path(),
         .trafficEvery = false});
    if (!ma.ready()) return "the storing stand-in media agent did not start";
    unsetenv("VEKBDANET");
    ErhInit(0);
    if (IpcInit() != 0) return "IpcInit failed";
    std::string failure;
    Stopwatch watch;
    watch.start();
    if (BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa, "127.0.0.1",
               ma.port(), nullptr, 1.0, nullptr, nullptr, nullptr) != 1) {
      failure = "BmInit of the stored stream failed with error " + std::to_string(ErhErrno());
    } else {
      failure = BackUpObject(kRestoreBytes);
      if (failure.empty() && BmFlush() != 1) failure = "BmFlush of the stored stream";
      if (BmExit(1) != 1 && failure.empty()) failure = "BmExit of the stored stream";
    }
    watch.stop();
    if (failure.empty()) StoredBackupRates()[bufferSize_] = watch.rate(kRestoreBytes);
    IpcExit();
    ErhClearErrorM("dapathbench", 0);
    if (failure.empty() &&
        !ma.waitForEvent("STREAM_END da=" + std::to_string(kDa) + " status=stop"))
      failure = "the stored stream did not end with a stop";
    return failure;
  }

  std::unique_ptr<tarn::test::TempDir> store_;
  std::int64_t bufferSize_ = 0;
  std::string failure_;
};

StoredStream& TheStoredStream() {
  static StoredStream stream;
  return stream;
}

// Reads the open restore stream to its end record, copying every data
// record's bytes into `sink` as a client's writer would. Empty on success,
// else the failing step; *bytes gets the data bytes read.
std::string ReadStream(std::vector<std::uint8_t>& sink, std::uint64_t* bytes) {
  std::size_t at = 0;
  *bytes = 0;
  for (;;) {
    std::uint8_t* record = RbmRead();
    if (record == nullptr) return "RbmRead failed with error " + std::to_string(ErhErrno());
    const auto* header = reinterpret_cast<const DaRecHeader*>(record);
    if (header->type == DA_REC_END) return {};
    if (header->type != DA_REC_OBJ_DATA) continue;
    DaDataView view{};
    if (!DaViewData(std::span<std::uint8_t>(record, header->length), &view))
      return "a data record did not hold together";
    if (at + view.data.size() > sink.size()) at = 0;
    std::memcpy(sink.data() + at, view.data.data(), view.data.size());
    at += view.data.size();
    *bytes += view.data.size();
  }
}

// state.range(0): buffer size; the restoring agent has kBufferCount buffers.
void Restore(benchmark::State& state, bool network) {
  if (!TheRuntime().failure().empty()) {
    state.SkipWithError(TheRuntime().failure().c_str());
    return;
  }
  StoredStream& stored = TheStoredStream();
  const std::string prepared = stored.prepare(state.range(0));
  if (!prepared.empty()) {
    state.SkipWithError(prepared.c_str());
    return;
  }
  std::vector<std::string> args = {"--buffer-size",  std::to_string(state.range(0)),
                                   "--buffer-count", std::to_string(kBufferCount),
                                   "--role",         "restore"};
  if (!network) args.insert(args.end(), {"--transfer", "shm"});
  tarn::test::MediaAgentStandIn ma(
      {.args = args, .storeDir = stored.storeDir(), .trafficEvery = false});
  if (!ma.ready()) {
    state.SkipWithError("the stand-in media agent did not start");
    return;
  }
  if (network) {
    setenv("VEKRDANET", "1", 1);
  } else {
    unsetenv("VEKRDANET");
  }
  ErhInit(0);
  if (IpcInit() != 0) {
    state.SkipWithError("IpcInit failed");
    return;
  }
  std::vector<std::uint8_t> sink(kSourceBytes);
  long netPeak = 0;
  std::string failure;
  Stopwatch watch;
  for (auto _ : state) {
    watch.start();
    if (RbmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa, "127.0.0.1",
                ma.port(), nullptr, 1.0) != 1) {
      failure = "RbmInit failed with error " + std::to_string(ErhErrno());
      break;
    }
    std::uint64_t bytes = 0;
    failure = ReadStream(sink, &bytes);
    if (failure.empty() && bytes != kRestoreBytes)
      failure = "read " + std::to_string(bytes) + " bytes of " + std::to_string(kRestoreBytes);
    if (network) netPeak = std::max(netPeak, ChildrenPeakRssKib(ma.pid()));
    RbmExit(failure.empty() ? 0 : 1);
    watch.stop();
    if (!failure.empty()) break;
  }
  unsetenv("VEKRDANET");
  IpcExit();
  ErhClearErrorM("dapathbench", 0);
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRestoreBytes));
  state.counters["rss_self_kib"] = static_cast<double>(SelfMaxRssKib());
  if (network) state.counters["rss_netproc_kib"] = static_cast<double>(netPeak);
  state.counters["rss_agent_kib"] = static_cast<double>(PeakRssKib(ma.pid()));
  const double rate = watch.rate(state.iterations() * kRestoreBytes);
  const auto& bounds = network ? TcpRates() : RestoreMemcpyRates();
  const auto bound = bounds.find(state.range(0));
  if (bound != bounds.end() && bound->second > 0) {
    state.counters[network ? "x_tcp" : "x_memcpy"] = rate / bound->second;
  }
  // Against the backup of the same path and size in this run: to the sink
  // agent, which never touches the data, and (local only) into the store
  // this restore reads, whose agent copies each block as the restoring one
  // does.
  const auto sinkRate = SinkBackupRates().find({network, state.range(0)});
  if (sinkRate != SinkBackupRates().end() && sinkRate->second > 0) {
    state.counters["x_backup"] = rate / sinkRate->second;
  }
  const auto storedRate = StoredBackupRates().find(state.range(0));
  if (!network && storedRate != StoredBackupRates().end() && storedRate->second > 0) {
    state.counters["x_backup_stored"] = rate / storedRate->second;
  }
}

void BM_RestoreLocal(benchmark::State& state) {
  Restore(state, false);
}
void BM_RestoreNetworkProcess(benchmark::State& state) {
  Restore(state, true);
}

// The bound of the local restore: the same bytes copied on one core out of a
// ring of kBufferCount buffers of the size, a buffer at a time, into the
// 4 MiB sink the restores copy into.
void BM_MemcpyFromRing(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::vector<std::vector<std::uint8_t>> ring(kBufferCount,
                                                    std::vector<std::uint8_t>(size, 1));
  std::vector<std::uint8_t> sink(kSourceBytes);
  Stopwatch watch;
  for (auto _ : state) {
    watch.start();
    std::size_t at = 0;
    int next = 0;
    for (std::uint64_t done = 0; done < kRestoreBytes; done += size) {
      std::memcpy(sink.data() + at, ring[static_cast<std::size_t>(next)].data(), size);
      benchmark::DoNotOptimize(sink.data());
      next = (next + 1) % kBufferCount;
      at += size;
      if (at + size > sink.size()) at = 0;
    }
    benchmark::ClobberMemory();
    watch.stop();
  }
  RestoreMemcpyRates()[state.range(0)] = watch.rate(state.iterations() * kRestoreBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRestoreBytes));
  state.counters["rss_self_kib"] = static_cast<double>(SelfMaxRssKib());
}

// The bound of the local path: the same bytes copied on one core into a ring
// of kBufferCount buffers of the size, a buffer at a time.
void BM_MemcpyRing(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  std::vector<std::vector<std::uint8_t>> ring(kBufferCount, std::vector<std::uint8_t>(size, 1));
  const std::vector<std::uint8_t>& source = Source();
  Stopwatch watch;
  for (auto _ : state) {
    watch.start();
    std::size_t at = 0;
    int next = 0;
    for (std::uint64_t done = 0; done < kObjectBytes; done += size) {
      std::memcpy(ring[static_cast<std::size_t>(next)].data(), source.data() + at, size);
      benchmark::DoNotOptimize(ring[static_cast<std::size_t>(next)].data());
      next = (next + 1) % kBufferCount;
      at += size;
      if (at + size > source.size()) at = 0;
    }
    benchmark::ClobberMemory();
    watch.stop();
  }
  MemcpyRates()[state.range(0)] = watch.rate(state.iterations() * kObjectBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kObjectBytes));
  state.counters["rss_self_kib"] = static_cast<double>(SelfMaxRssKib());
}

// The bound of the network process: blocks of the size sent over loopback
// TCP from a ring of kBufferCount buffers, at most that many unacknowledged;
// the receiver (a thread) reads each block whole and answers with 4 bytes.
void BM_RawLoopbackTcp(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::uint64_t blocks = kObjectBytes / size;
  cmn::UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    state.SkipWithError("no loopback listener");
    return;
  }
  const int one = 1;
  Stopwatch watch;
  for (auto _ : state) {
    watch.start();
    cmn::UniqueFd sender(socket(AF_INET, SOCK_STREAM, 0));
    if (connect(sender.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      state.SkipWithError("connect failed");
      return;
    }
    cmn::UniqueFd receiver(accept(listener.get(), nullptr, nullptr));
    setsockopt(sender.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(receiver.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread sink([&receiver, size, blocks] {
      std::vector<std::uint8_t> block(size);
      for (std::uint64_t i = 0; i < blocks; ++i) {
        if (cmn::ReadAll(receiver.get(), block.data(), size) != static_cast<ssize_t>(size)) return;
        const std::uint32_t ack = static_cast<std::uint32_t>(i % kBufferCount);
        if (cmn::WriteAll(receiver.get(), &ack, sizeof ack) != sizeof ack) return;
      }
    });
    std::vector<std::vector<std::uint8_t>> ring(kBufferCount, std::vector<std::uint8_t>(size, 1));
    std::uint64_t acked = 0;
    bool failed = false;
    for (std::uint64_t i = 0; i < blocks && !failed; ++i) {
      if (i - acked == kBufferCount) {
        std::uint32_t ack = 0;
        failed = cmn::ReadAll(sender.get(), &ack, sizeof ack) != sizeof ack;
        ++acked;
      }
      failed = failed || cmn::WriteAll(sender.get(), ring[i % kBufferCount].data(), size) != size;
    }
    while (acked < blocks && !failed) {
      std::uint32_t ack = 0;
      failed = cmn::ReadAll(sender.get(), &ack, sizeof ack) != sizeof ack;
      ++acked;
    }
    sender.reset();
    sink.join();
    watch.stop();
    if (failed) {
      state.SkipWithError("the loopback transfer failed");
      return;
    }
  }
  TcpRates()[state.range(0)] = watch.rate(state.iterations() * kObjectBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kObjectBytes));
  state.counters["rss_self_kib"] = static_cast<double>(SelfMaxRssKib());
}

}  // namespace

// For each buffer size the bound runs right before the backup or restore it
// bounds, so that both see the same load on a shared machine; the restore
// through the network process is set against the raw TCP figure of its size.
int main(int argc, char** argv) {
  // The network process is a grandchild (its first parent exits at once);
  // as subreaper the benchmark becomes its parent, so ChildrenPeakRssKib
  // finds it. The data path ignores SIGCHLD, so nothing is left unreaped.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  for (std::int64_t size = 64 << 10; size <= 1 << 20; size *= 2) {
    const auto shape = [size](benchmark::internal::Benchmark* b) {
      b->Arg(size)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    };
    shape(benchmark::RegisterBenchmark("BM_MemcpyRing", BM_MemcpyRing));
    shape(benchmark::RegisterBenchmark("BM_BackupLocal", BM_BackupLocal));
    shape(benchmark::RegisterBenchmark("BM_RawLoopbackTcp", BM_RawLoopbackTcp));
    shape(benchmark::RegisterBenchmark("BM_BackupNetworkProcess", BM_BackupNetworkProcess));
    shape(benchmark::RegisterBenchmark("BM_MemcpyFromRing", BM_MemcpyFromRing));
    shape(benchmark::RegisterBenchmark("BM_RestoreLocal", BM_RestoreLocal));
    shape(benchmark::RegisterBenchmark("BM_RestoreNetworkProcess", BM_RestoreNetworkProcess));
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

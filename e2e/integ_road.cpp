// End-to-end road of the integration API: starts the stand-in media agent and
// the stand-in cell server (session manager and catalogue), backs up one
// session of three objects (plain, encrypted, encoded; one item of 256 MiB),
// finds them through the catalogue queries, restores them straight from the
// agent's shared memory, through the network process (VEKRDANET=1) and from
// the agent's stored blocks file, and checks every byte by a fingerprint
// taken while the data streams. One line per step with bytes and throughput;
// exit 0 only when every step worked.
//
//   integ_road [--big-mib <n>] [--buffer-size <bytes>] [--paths local,net,file]
//              [--cellserver <program>] [--mediaagent <program>]
//              [--catalogue <file>] [--timeout <seconds>] [--keep] [--reports]
//
// Without the program options the stand-ins of the build the road belongs to
// are used. The work directory (install root, agent store, cell-server state
// and logs) lies under $TMPDIR or /tmp and is removed at the end unless
// --keep is given. --reports lets the integration API's report lines out (to
// the session manager, and on a terminal to the screen). VEKDBG is passed on.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barquery.h"
#include "bar2/barrestore.h"
#include "barutil/queryrec.h"
#include "barutil/vekquery.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"

TARN_RCSID("e2e/integ_road.cpp");

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kAppType[] = "ROAD";
constexpr char kAppName[] = "integ_road";
constexpr char kBarlist[] = "integ_road";
constexpr char kMountPrefix[] = "/integ_road/";
// Object type of the composed names ("05 host:/integ_road/... // ROAD").
constexpr int kObjectType = 5;
// The encrypted object's key entity is "<app type>:<database id>"; the
// fixture gives it a fixed key so that every run encrypts alike.
constexpr char kDatabaseId[] = "integ_road";
constexpr char kKeyLine[] =
    "key ROAD:integ_road 0f1e2d3c4b5a69788796a5b4c3d2e1f0 00112233445566778899aabbccddeeff 0 0 "
    "6b3a1f0e9d8c7b6a594837261504f3e2d1c0bfae9d8c7b6a5948372615041322\n";
constexpr int kBufferCount = 8;
// Odd sizes, so that records and reads straddle every boundary.
constexpr std::size_t kWriteChunk = (std::size_t{1} << 20) + 17;
constexpr std::size_t kReadChunk = (std::size_t{1} << 20) - 5;
constexpr int kExtAttrRoom = 1024;
// VEK_StartItemRestoreEx once the object has no further item.
constexpr int kNoFurtherItem = -6;

int failures = 0;

// ---------------------------------------------------------------- printing

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string Rate(std::uint64_t bytes, Clock::duration d) {
  const double s = Seconds(d);
  char text[96];
  std::snprintf(text, sizeof text, "%llu bytes in %.3f s, %.1f MiB/s",
                static_cast<unsigned long long>(bytes), s,
                s > 0 ? static_cast<double>(bytes) / (1 << 20) / s : 0.0);
  return text;
}

// Prints the step's line; a failed step names the marked error.
bool Step(bool ok, const std::string& what) {
  if (ok) {
    std::printf("ok    %s\n", what.c_str());
  } else {
    ++failures;
    if (ErhErrno() != 0)
      std::printf("FAIL  %s: error %d (%s)\n", what.c_str(), ErhErrno(), ErhErrnoToText());
    else
      std::printf("FAIL  %s\n", what.c_str());
  }
  std::fflush(stdout);
  return ok;
}

// A call of the integration API that answers 0 on success.
bool Call(int rc, const std::string& what) {
  if (rc == 0) return Step(true, what);
  return Step(false, what + " returned " + std::to_string(rc));
}

void Note(const std::string& text) {
  std::printf("      %s\n", text.c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------- item data

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// The bytes of an item: word i (8 bytes, little-endian) is Mix(seed + i), so
// any stretch can be made again without keeping the item.
class ItemData {
 public:
  ItemData(std::uint64_t seed, std::uint64_t size) : seed_(seed), size_(size) {}
  std::uint64_t left() const { return size_ - offset_; }
  // Fills the whole of `out` (at most left() bytes) with the next bytes.
  void Next(std::span<std::uint8_t> out) {
    std::size_t at = 0;
    while (at < out.size()) {
      const std::uint64_t word = Word(offset_ / 8);
      const std::size_t skip = offset_ % 8;
      const std::size_t n = std::min(out.size() - at, 8 - skip);
      std::memcpy(out.data() + at, reinterpret_cast<const std::uint8_t*>(&word) + skip, n);
      at += n;
      offset_ += n;
    }
  }

 private:
  std::uint64_t Word(std::uint64_t index) const {
    const std::uint64_t w = Mix(seed_ + index);
    return std::endian::native == std::endian::little ? w : __builtin_bswap64(w);
  }
  std::uint64_t seed_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
};

// A fingerprint of a byte stream, taken a word at a time whatever the pieces
// it arrives in.
class Fingerprint {
 public:
  void Add(std::span<const std::uint8_t> bytes) {
    bytes_ += bytes.size();
    std::size_t at = 0;
    if (pending_ > 0) {
      const std::size_t n = std::min(bytes.size(), 8 - pending_);
      std::memcpy(tail_.data() + pending_, bytes.data(), n);
      pending_ += n;
      at = n;
      if (pending_ < 8) return;
      Take(tail_.data());
      pending_ = 0;
    }
    for (; at + 8 <= bytes.size(); at += 8) Take(bytes.data() + at);
    pending_ = bytes.size() - at;
    std::memcpy(tail_.data(), bytes.data() + at, pending_);
  }
  std::uint64_t value() const {
    std::uint64_t last = 0;
    std::memcpy(&last, tail_.data(), pending_);
    return Mix(hash_ ^ Mix(last) ^ bytes_);
  }
  std::uint64_t bytes() const { return bytes_; }

 private:
  void Take(const std::uint8_t* p) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, 8);
    hash_ = std::rotl(hash_ ^ (w * 0x87C37B91114253D5ull), 31) * 0x4CF5AD432745937Full;
  }
  std::uint64_t hash_ = 0x243F6A8885A308D3ull;
  std::uint64_t bytes_ = 0;
  std::array<std::uint8_t, 8> tail_{};
  std::size_t pending_ = 0;
};

std::string Hex(std::uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// ---------------------------------------------------------------- the session's contents

struct ItemSpec {
  std::string name;
  std::uint64_t size;
  std::uint64_t seed;
  std::string extAttr;  // empty: none
  std::uint64_t fingerprint = 0;
};

enum class Restore { kRead, kCallback };

struct ObjectSpec {
  std::string label;
  std::string connectWords;  // the object's own MSG_CONNECT words besides agent and DA id
  int daId;
  Restore restore;
  std::vector<ItemSpec> items;
  std::string name;  // composed at backup
  std::int64_t versionId = -1;
  std::string sessionId;
};

std::vector<ObjectSpec> Objects(std::uint64_t bigBytes) {
  return {
      {"plain",
       "",
       1,
       Restore::kRead,
       {{"big.dat", bigBytes, 11, ""},
        {"notes.txt", 1000, 12, "user.road=plain"},
        {"empty", 0, 13, ""},
        {"medium.dat", (std::uint64_t{3} << 20) + 5, 14, ""}}},
      {"encrypted",
       "-encode aes256",
       2,
       Restore::kRead,
       {{"secret-a.dat", (std::uint64_t{5} << 20) + 7, 21, ""},
        {"secret-b.dat", 100 * 1024, 22, "user.road=encrypted"},
        {"secret-c.dat", 1, 23, ""}}},
      {"encoded",
       "-encode",
       3,
       Restore::kCallback,
       {{"coded-a.dat", (std::uint64_t{4} << 20) + 3, 31, ""}, {"coded-b.dat", 77777, 32, ""}}},
  };
}

std::uint64_t ObjectBytes(const ObjectSpec& o) {
  std::uint64_t n = 0;
  for (const ItemSpec& i : o.items) n += i.size;
  return n;
}

// ---------------------------------------------------------------- peers

// A stand-in program started for the road: it ends with the road even when
// the road dies without a word, and is stopped (SIGTERM, then SIGKILL) when
// the object goes.
class Peer {
 public:
  explicit Peer(std::string what) : what_(std::move(what)) {}
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() { Stop(); }

  // Starts args[0] with its standard output going to `stdoutPath`, then waits
  // until `readyFile` holds the line "<key> <number>"; the number, or -1.
  int Start(const std::vector<std::string>& args, const std::string& stdoutPath,
            const std::string& readyFile, std::string_view key) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) return -1;
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const int out = cmn::OpenRetry(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out >= 0) dup2(out, STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      std::ifstream in(readyFile);
      std::string word;
      long long value = 0;
      while (in >> word >> value)
        if (word == key && value > 0) return static_cast<int>(value);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        std::printf("FAIL  %s ended at start (wait status %d)\n", what_.c_str(), status);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("FAIL  %s did not become ready\n", what_.c_str());
    Stop();
    return -1;
  }

  // Its wait status, or -1 when it was not running.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  std::string what_;
  pid_t pid_ = -1;
};

// ---------------------------------------------------------------- set-up

struct Options {
  std::uint64_t bigMib = 256;
  std::uint32_t bufferSize = 256 * 1024;
  bool local = true, net = true, file = true;
  std::string cellServer = TARN_CELLSERVER_PROGRAM;
  std::string mediaAgent = TARN_MEDIAAGENT_PROGRAM;
  std::string catalogue = TARN_CATALOGUE_FILE;
  unsigned timeout = 600;
  bool keep = false;
  bool reports = false;  // the API's report lines go out
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const auto number = [&](unsigned long long low, unsigned long long high,
                            unsigned long long& out) {
      if (value == nullptr) return false;
      char* end = nullptr;
      const unsigned long long n = std::strtoull(value, &end, 10);
      if (*value == '\0' || *end != '\0' || n < low || n > high) return false;
      out = n;
      ++i;
      return true;
    };
    unsigned long long n = 0;
    if (arg == "--keep") {
      o.keep = true;
    } else if (arg == "--reports") {
      o.reports = true;
    } else if (arg == "--big-mib" && number(0, 4096, n)) {
      o.bigMib = n;
    } else if (arg == "--buffer-size" && number(8192, 1 << 20, n) && n % 8 == 0) {
      o.bufferSize = static_cast<std::uint32_t>(n);
    } else if (arg == "--timeout" && number(10, 86400, n)) {
      o.timeout = static_cast<unsigned>(n);
    } else if (arg == "--paths" && value != nullptr) {
      const std::string paths = std::string(",") + value + ",";
      o.local = paths.find(",local,") != std::string::npos;
      o.net = paths.find(",net,") != std::string::npos;
      o.file = paths.find(",file,") != std::string::npos;
      ++i;
    } else if (arg == "--cellserver" && value != nullptr) {
      o.cellServer = argv[++i];
    } else if (arg == "--mediaagent" && value != nullptr) {
      o.mediaAgent = argv[++i];
    } else if (arg == "--catalogue" && value != nullptr) {
      o.catalogue = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: integ_road [--big-mib <0..4096>] [--buffer-size <8192..1048576>]\n"
                   "       [--paths local,net,file] [--cellserver <program>]\n"
                   "       [--mediaagent <program>] [--catalogue <file>] [--timeout <s>] "
                   "[--keep]\n"
                   "       [--reports]\n");
      return false;
    }
  }
  return true;
}

// The road's temporary directory; removed when the road ends unless kept.
class WorkDir {
 public:
  explicit WorkDir(bool keep) : keep_(keep) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/integroad.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  ~WorkDir() {
    if (path_.empty()) return;
    if (keep_) {
      std::printf("      work directory kept: %s\n", path_.c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool keep_;
};

// The install layout below `root`, as every test root has it, with the
// message catalogue when there is one.
bool MakeRoot(const std::string& root, const std::string& catalogue) {
  std::ifstream layout(TARN_LAYOUT_FILE);
  std::string dir;
  std::error_code error;
  int made = 0;
  while (std::getline(layout, dir)) {
    if (dir.empty()) continue;
    fs::create_directories(root + "/" + dir, error);
    if (error) return false;
    ++made;
  }
  if (made == 0) return false;
  if (!catalogue.empty() && fs::exists(catalogue))
    fs::copy_file(catalogue, root + "/opt/tarn/lib/nls/C/tarn.cat",
                  fs::copy_options::overwrite_existing, error);
  return !error;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void ShowTail(const std::string& title, const std::string& path, std::size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  if (all.empty()) return;
  std::printf("--- %s (last %zu lines of %s)\n", title.c_str(), std::min(lines, all.size()),
              path.c_str());
  for (std::size_t i = all.size() - std::min(lines, all.size()); i < all.size(); ++i)
    std::printf("%s\n", all[i].c_str());
}

// ---------------------------------------------------------------- backup

bool BackUpItem(BarContext* ctx, ItemSpec& spec, std::vector<std::uint8_t>& chunk) {
  DaItemAttr item{};
  item.fileType = kDaFileRegular;
  item.name = spec.name.c_str();
  item.size = spec.size;
  item.mode = 0640;
  const void* ext = spec.extAttr.empty() ? nullptr : spec.extAttr.data();
  if (!Call(VEK_StartItemBackup(ctx, &item, ext, static_cast<int>(spec.extAttr.size()), 0),
            "  start item " + spec.name))
    return false;
  ItemData data(spec.seed, spec.size);
  Fingerprint print;
  while (data.left() > 0) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(data.left(), chunk.size()));
    const std::span<std::uint8_t> piece(chunk.data(), n);
    data.Next(piece);
    print.Add(piece);
    const int written = VEK_WriteItemData(ctx, piece.data(), static_cast<int>(n));
    if (written != static_cast<int>(n))
      return Step(false, "  write item " + spec.name + " returned " + std::to_string(written));
  }
  spec.fingerprint = print.value();
  return Call(VEK_EndItemBackup(ctx, 0), "  end item " + spec.name + ": " +
                                             std::to_string(spec.size) + " bytes, fingerprint " +
                                             Hex(spec.fingerprint));
}

bool BackUp(BarContext* ctx, std::vector<ObjectSpec>& objects) {
  if (!Call(VEK_StartBackup(ctx, kBarlist), std::string("start the backup session ") + kBarlist))
    return false;
  std::vector<std::uint8_t> chunk(kWriteChunk);
  std::uint64_t total = 0;
  Clock::duration spent{};
  bool ok = true;
  for (ObjectSpec& o : objects) {
    const std::string mount = kMountPrefix + o.label;
    const char* name = VEK_ObjectnameEx(kObjectType, nullptr, mount.c_str(), nullptr);
    if (!Step(name != nullptr, "compose the object name of " + mount)) return false;
    o.name = name;
    if (o.label == "encrypted") VEK_SetDatabaseId(ctx, kDatabaseId);
    const auto begin = Clock::now();
    const char* const trees[] = {mount.c_str(), nullptr};
    const int started = VEK_StartObjectBackupEx(ctx, 1, o.name.c_str(), trees, nullptr);
    if (!Call(started, "start object \"" + o.name + "\" (" + o.label + ", DA " +
                           std::to_string(o.daId) + ", " +
                           (ctx->object.maLocal == 1 ? "local agent" : "remote agent") + ")")) {
      ok = false;
      break;
    }
    const char* transform = ctx->object.codecs.encrHandle != nullptr ? "encrypted"
                            : ctx->object.codecs.encode != 0         ? "encoded"
                                                                     : "plain";
    Note(std::string("transforms: ") + transform + ", agent block size " +
         std::to_string(ctx->object.maBlockSize));
    if (o.label != transform) {
      Step(false, "object " + o.label + " was started " + transform);
      ok = false;
    }
    bool items = true;
    for (ItemSpec& i : o.items) {
      if (!BackUpItem(ctx, i, chunk)) {
        items = false;
        break;
      }
    }
    const int end = VEK_EndObjectBackup(ctx, items ? 0 : 1);
    const auto elapsed = Clock::now() - begin;
    if (!items || !Call(end, "end object " + o.label + ": " + std::to_string(o.items.size()) +
                                 " items, " + Rate(ObjectBytes(o), elapsed))) {
      ok = false;
      break;
    }
    total += ObjectBytes(o);
    spent += elapsed;
  }
  const bool ended = Call(VEK_EndBackup(ctx, ok ? 0 : 1), "end the backup session");
  if (ok && ended) Note("backup total: " + Rate(total, spent));
  return ok && ended;
}

// The agent's stored stream of a transformed object must not hold the start
// of any item in the clear.
bool StoredTransformed(const ObjectSpec& o, const std::string& store) {
  std::ifstream in(store + "/da-" + std::to_string(o.daId) + ".blocks", std::ios::binary);
  const std::string blocks((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!Step(!blocks.empty(), "read the stored stream of " + o.label + " (" +
                                 std::to_string(blocks.size()) + " bytes)"))
    return false;
  bool clear = false;
  for (const ItemSpec& i : o.items) {
    std::array<std::uint8_t, 32> start{};
    if (i.size < start.size()) continue;
    ItemData(i.seed, i.size).Next(start);
    const std::string_view needle(reinterpret_cast<const char*>(start.data()), start.size());
    clear = clear || blocks.find(needle) != std::string::npos;
  }
  return Step(!clear, "the stored stream of " + o.label + " holds no item's data in the clear");
}

// ---------------------------------------------------------------- catalogue

bool FindInCatalogue(BarContext* ctx, std::vector<ObjectSpec>& objects) {
  if (!Call(VEK_StartQueries(ctx), "open the catalogue session")) return false;
  VEK_Catalog* catalog = VEK_ContextCatalog(ctx);
  bool ok = true;
  int count = 0;
  VEK_Object* found = nullptr;
  if (Call(VEK_QueryObjectsPartName(catalog, 0, kMountPrefix, "", &count, &found),
           std::string("list the objects named with ") + kMountPrefix)) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      const VEK_Object& f = found[i];
      const char* name = VEK_ObjectnameEx(f.type, f.host, f.mountPoint, f.description);
      if (name != nullptr) names.emplace_back(name);
    }
    VEK_FreeArray(count, found, sizeof(VEK_Object), nullptr);
    for (const ObjectSpec& o : objects) {
      const bool listed = std::find(names.begin(), names.end(), o.name) != names.end();
      ok = Step(listed, "the catalogue lists \"" + o.name + "\"") && ok;
    }
    ok = Step(names.size() == objects.size(), "the catalogue lists " +
                                                  std::to_string(names.size()) + " objects, " +
                                                  std::to_string(objects.size()) + " backed up") &&
         ok;
  } else {
    ok = false;
  }
  for (ObjectSpec& o : objects) {
    VEK_Version* versions = nullptr;
    count = 0;
    if (!Call(VEK_QueryObjectVersionsEx(catalog, o.name.c_str(), 0, &count, &versions),
              "list the versions of " + o.label)) {
      ok = false;
      continue;
    }
    if (Step(count == 1, "one version of " + o.label + " (" + std::to_string(count) + " listed)")) {
      o.versionId = VEK_VersionId(versions[0]);
      o.sessionId = versions[0].sessionId;
      Note("version " + std::to_string(o.versionId) + ", session " + o.sessionId + ", backup id " +
           versions[0].backupId + ", time " + std::to_string(VEK_VersionTime(versions[0])));
    } else {
      ok = false;
    }
    VEK_FreeArray(count, versions, sizeof(VEK_Version), VEK_VersionFree);
  }
  return Call(VEK_EndQueries(ctx), "close the catalogue session") && ok;
}

// ---------------------------------------------------------------- restore

struct CallbackSink {
  ItemData expected;
  Fingerprint print;
  std::vector<std::uint8_t> compare;
  std::uint64_t mismatchAt = UINT64_MAX;
};

// Checks a restored piece against the bytes the item was made of.
void Check(ItemData& expected, std::vector<std::uint8_t>& scratch,
           std::span<const std::uint8_t> piece, std::uint64_t at, std::uint64_t& mismatchAt) {
  if (piece.size() > expected.left()) {
    if (mismatchAt == UINT64_MAX) mismatchAt = at + expected.left();
    return;
  }
  if (scratch.size() < piece.size()) scratch.resize(piece.size());
  const std::span<std::uint8_t> want(scratch.data(), piece.size());
  expected.Next(want);
  if (mismatchAt == UINT64_MAX && std::memcmp(want.data(), piece.data(), piece.size()) != 0) {
    std::size_t i = 0;
    while (want[i] == piece[i]) ++i;
    mismatchAt = at + i;
  }
}

void Take(CallbackSink* sink, const void* data, int length) {
  const std::span<const std::uint8_t> piece(static_cast<const std::uint8_t*>(data),
                                            static_cast<std::size_t>(length));
  Check(sink->expected, sink->compare, piece, sink->print.bytes(), sink->mismatchAt);
  sink->print.Add(piece);
}

// The write callback gets the integration context as its third argument, so
// the item being restored is found here.
CallbackSink* restoring = nullptr;

int CallbackWrite(const void* data, int length, void*) {
  if (restoring == nullptr || length < 0) return -1;
  Take(restoring, data, length);
  return length;
}

bool RestoreItem(BarContext* ctx, const ObjectSpec& o, const ItemSpec& spec,
                 std::vector<std::uint8_t>& buffer) {
  VEK_Item item{};
  std::vector<std::uint8_t> attr(kExtAttrRoom);
  int attrSize = kExtAttrRoom;
  if (!Call(VEK_StartItemRestoreEx(ctx, nullptr, &item, attr.data(), &attrSize),
            "  start item " + spec.name))
    return false;
  bool ok = Step(spec.name == item.name && item.size == spec.size,
                 "  item \"" + std::string(item.name) + "\" of " + std::to_string(item.size) +
                     " bytes is the one backed up");
  if (!spec.extAttr.empty())
    ok = Step(attrSize == static_cast<int>(spec.extAttr.size()) &&
                  std::memcmp(attr.data(), spec.extAttr.data(), spec.extAttr.size()) == 0,
              "  extended attributes of " + spec.name + " (" + std::to_string(attrSize) +
                  " bytes) came back") &&
         ok;

  CallbackSink sink{ItemData(spec.seed, spec.size), {}, {}};
  if (o.restore == Restore::kCallback) {
    restoring = &sink;
    const int rc = VEK_RestoreItemCB(ctx, CallbackWrite);
    restoring = nullptr;
    ok = Call(rc, "  restore " + spec.name + " through the callback") && ok;
  } else {
    for (;;) {
      const int n = VEK_ReadItemData(ctx, buffer.data(), static_cast<int>(buffer.size()));
      if (n < 0) {
        ok = Step(false, "  read " + spec.name + " at byte " + std::to_string(sink.print.bytes()) +
                             " returned " + std::to_string(n));
        break;
      }
      if (n == 0) break;
      Take(&sink, buffer.data(), n);
    }
  }
  const std::uint64_t print = sink.print.value();
  if (sink.mismatchAt != UINT64_MAX)
    ok = Step(false, "  " + spec.name + " differs from byte " + std::to_string(sink.mismatchAt)) &&
         ok;
  ok = Step(sink.print.bytes() == spec.size && print == spec.fingerprint,
            "  " + spec.name + ": " + std::to_string(sink.print.bytes()) + " bytes, fingerprint " +
                Hex(print) + " (backed up " + Hex(spec.fingerprint) + ")") &&
       ok;
  int code = -1;
  ok = Call(VEK_EndItemRestore(ctx, &code), "  end item " + spec.name) && ok;
  return Step(code == 0,
              "  item " + spec.name + " was stored with completion code " + std::to_string(code)) &&
         ok;
}

bool RestoreObject(BarContext* ctx, const ObjectSpec& o, std::vector<std::uint8_t>& buffer,
                   Clock::duration& spent) {
  const auto begin = Clock::now();
  const std::string tree = kMountPrefix + o.label;
  const int started = VEK_StartObjectRestoreEx(ctx, o.name.c_str(), o.sessionId.c_str(),
                                               tree.c_str(), static_cast<int>(o.versionId));
  if (!Call(started, "start restoring " + o.label + " (version " + std::to_string(o.versionId) +
                         ", " +
                         (ctx->object.maHost[0] != '\0' ? std::string("agent ") + ctx->object.maHost
                                                        : std::string("no agent")) +
                         ")"))
    return false;
  bool ok = true;
  std::size_t restored = 0;
  for (; ok && restored < o.items.size(); ++restored)
    ok = RestoreItem(ctx, o, o.items[restored], buffer);
  if (ok) {
    VEK_Item none{};
    const int rc = VEK_StartItemRestoreEx(ctx, nullptr, &none, nullptr, nullptr);
    ok = Step(rc == kNoFurtherItem, "  no further item (" + std::to_string(rc) + ")");
  }
  const int end = VEK_EndObjectRestore(ctx, ok ? 0 : 1);
  const auto elapsed = Clock::now() - begin;
  spent += elapsed;
  return Call(end, "end restoring " + o.label + ": " + std::to_string(restored) + " items, " +
                       Rate(ObjectBytes(o), elapsed)) &&
         ok;
}

// One restore session of every object over the path the environment chose.
bool RestoreAll(BarContext* ctx, const std::vector<ObjectSpec>& objects, const std::string& path) {
  std::printf("---   restore %s\n", path.c_str());
  if (!Call(VEK_StartRestore(ctx, kBarlist), "start the restore session (" + path + ")"))
    return false;
  std::vector<std::uint8_t> buffer(kReadChunk);
  bool ok = true;
  Clock::duration spent{};
  std::uint64_t total = 0;
  for (const ObjectSpec& o : objects) {
    if (!RestoreObject(ctx, o, buffer, spent)) {
      ok = false;
      break;
    }
    total += ObjectBytes(o);
  }
  ok = Call(VEK_EndRestore(ctx, ok ? 0 : 1), "end the restore session (" + path + ")") && ok;
  if (ok) Note("restore total (" + path + "): " + Rate(total, spent));
  return ok;
}

// ---------------------------------------------------------------- the road

std::string Fixture(const std::vector<ObjectSpec>& objects, const Options& opt, int maPort,
                    const std::string& store) {
  std::ostringstream f;
  f << "option BindTimeout 10\n" << kKeyLine;
  const std::string agent = "-ma 127.0.0.1 " + std::to_string(maPort);
  // The session manager answers the object requests in this order.
  for (const ObjectSpec& o : objects)
    f << "baropt connect " << agent << " -daid " << o.daId
      << (o.connectWords.empty() ? "" : " " + o.connectWords) << "\n";
  for (const bool agentPath : {opt.local, opt.net}) {
    if (!agentPath) continue;
    for (const ObjectSpec& o : objects)
      f << "baropt connect " << agent << " -daid " << o.daId << "\n";
  }
  if (opt.file)
    for (const ObjectSpec& o : objects)
      f << "baropt connect -output " << store << "/da-" << o.daId << ".blocks -daid " << o.daId
        << "\n";
  return f.str();
}

int Road(const Options& opt, const WorkDir& work) {
  const std::string dir = work.path();
  if (!Step(!dir.empty(), "make the work directory " + dir)) return 1;
  const std::string root = dir + "/root", store = dir + "/store", state = dir + "/state";
  const std::string events = dir + "/ma-events", maTraffic = dir + "/ma-traffic.log";
  // The session manager's object requests, from which the agent takes each
  // stream's direction.
  const std::string requests = dir + "/ma-requests";
  if (!Step(MakeRoot(root, opt.catalogue), "lay out the install root " + root)) return 1;

  std::vector<ObjectSpec> objects = Objects(opt.bigMib << 20);
  Peer agent("the stand-in media agent");
  const int maPort = agent.Start(
      {opt.mediaAgent, "--store", store, "--port-file", dir + "/ma-port", "--traffic", maTraffic,
       "--requests", requests, "--buffer-size", std::to_string(opt.bufferSize), "--buffer-count",
       std::to_string(kBufferCount), "--lifetime", std::to_string(opt.timeout + 60)},
      events, dir + "/ma-port", "port");
  if (!Step(maPort > 0, "start the stand-in media agent on port " + std::to_string(maPort) + " (" +
                            std::to_string(kBufferCount) + " buffers of " +
                            std::to_string(opt.bufferSize) + " bytes)"))
    return 1;
  WriteText(dir + "/fixture", Fixture(objects, opt, maPort, store));
  Peer cellServer("the stand-in cell server");
  const int inet =
      cellServer.Start({opt.cellServer, "--state", state, "--ports-file", dir + "/cs-ports",
                        "--fixture", dir + "/fixture", "--media-events", events, "--media-requests",
                        requests, "--lifetime", std::to_string(opt.timeout + 60)},
                       dir + "/cs-stdout", dir + "/cs-ports", "inet");
  if (!Step(inet > 0, "start the stand-in cell server (session manager, catalogue) on inet port " +
                          std::to_string(inet)))
    return 1;

  // The paths were taken from the environment at load time; this process and
  // the network processes it forks take the road's root from here on.
  setenv("TARN_ROOT", root.c_str(), 1);
  CmnPathsInit(root.c_str());
  setenv("TARN_INET_PORT", std::to_string(inet).c_str(), 1);
  setenv("VEKOPTS", "-server 127.0.0.1", 1);
  for (const char* name : {"VEKBDANET", "VEKRDANET", "VEKDABLOCKSIZE", "VEKDABLOCKSPERDA",
                           "VEKBARHOSTNAME", "VEK_CELL_SERVER_HOSTNAME"})
    unsetenv(name);

  BarContext* ctx = nullptr;
  if (!Call(VEK_Init(kAppType, kAppName, "ROADLIB", 0, &ctx), "open the integration context"))
    return 1;
  ctx->output = opt.reports ? 1 : 0;

  bool ok = BackUp(ctx, objects);
  for (const ObjectSpec& o : objects)
    if (ok && o.label != "plain") ok = StoredTransformed(o, store);
  ok = ok && FindInCatalogue(ctx, objects);
  if (ok && opt.local)
    ok = RestoreAll(ctx, objects, "local: straight from the agent's shared memory");
  if (ok && opt.net) {
    setenv("VEKRDANET", "1", 1);
    ok = RestoreAll(ctx, objects, "network process: VEKRDANET=1");
    unsetenv("VEKRDANET");
  }
  if (ok && opt.file) {
    // The stored blocks file holds whole buffers of the agent's size.
    setenv("VEKDABLOCKSIZE", std::to_string(opt.bufferSize).c_str(), 1);
    setenv("VEKDABLOCKSPERDA", std::to_string(kBufferCount).c_str(), 1);
    ok = RestoreAll(ctx, objects, "file: the agent's stored blocks through the network process");
    unsetenv("VEKDABLOCKSIZE");
    unsetenv("VEKDABLOCKSPERDA");
  }
  if (VEK_GetMode(ctx) != BAR_MODE_IDLE) VEK_End(ctx, 1);
  Call(VEK_Exit(ctx), "close the integration context");

  const int csStatus = cellServer.Stop();
  const int maStatus = agent.Stop();
  Step(WIFEXITED(csStatus) && WEXITSTATUS(csStatus) == 0,
       "stop the stand-in cell server (wait status " + std::to_string(csStatus) + ")");
  Step(WIFEXITED(maStatus) && WEXITSTATUS(maStatus) == 0,
       "stop the stand-in media agent (wait status " + std::to_string(maStatus) + ")");
  if (failures != 0) {
    ShowTail("the stand-in cell server's traffic", state + "/traffic.log", 30);
    ShowTail("the stand-in media agent's traffic", maTraffic, 30);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, opt)) return 2;
  // A road that hangs ends here; the stand-ins end with it.
  alarm(opt.timeout);
  int rc = 1;
  {
    WorkDir work(opt.keep);
    rc = Road(opt, work);
  }
  std::printf("%s\n", rc == 0 ? "integ_road: every step worked" : "integ_road: FAILED");
  return rc;
}

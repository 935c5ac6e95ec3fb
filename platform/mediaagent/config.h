// Command line of the stand-in media agent: where it listens and stores, the
// buffer geometry it offers, negotiation, transfer mode, role and the faults
// it injects.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mediaagent/protocol.h"

namespace tarn::mediaagent {

enum class Transfer { kAuto, kSharedMemory, kSocket };
enum class Role { kAuto, kBackup, kRestore };

enum class CorruptField { kMagic, kUsed, kRecordLength, kRecordType, kDataLength, kStringLength };

// Faults. Block numbers count the blocks of one stream from 0. Every fault
// but delay, hold, restore-hold, lose-acks and disk-full hits once per process, so that a client
// that reconnects or retries meets it only once.
struct Faults {
  bool refuse = false;                     // refuse: MSG_ABORT as the first message
  std::optional<std::uint32_t> dropAfter;  // drop-after=K: reset the link once K blocks are stored
  std::optional<std::uint32_t> loseAcks;   // lose-acks=K: no acknowledgement from block K on
  std::optional<std::uint32_t> cutAt;      // cut-at=K: half of block K's reply frame, then close
  // restore-cut-at=K: cut-at for a restore only, so that the backup that
  // stored the stream goes through undisturbed.
  std::optional<std::uint32_t> restoreCutAt;
  std::optional<std::uint32_t> badAck;     // bad-ack=K: block K acknowledged with id = count
  std::optional<std::uint32_t> abortAt;    // abort-at=K: block K answered with MSG_ABORT
  std::optional<std::uint64_t> diskFull;   // disk-full=N: store files refuse bytes beyond N
  std::optional<std::uint32_t> truncate;   // truncate=K: a restore serves blocks 0..K-1 only
  std::optional<std::uint32_t> duplicate;  // duplicate=K: a restore sends block K twice
  std::optional<std::uint32_t> corruptAt;  // corrupt=K:field: a restore damages block K
  CorruptField corruptField = CorruptField::kMagic;
  std::optional<std::uint32_t> badBuffer;  // bad-buffer=K: block K announced with id = count
  std::chrono::milliseconds delay{0};      // delay=MS: before every 24 the agent sends
  // hold=K: each backup stream's block K is stored, but acknowledged only
  // once the file <store>/release no longer holds what it held when the
  // stream got there (a test bumps a count in it); the traffic log notes
  // "fault hold K" and "fault released K".
  std::optional<std::uint32_t> hold;
  // restore-hold=K: the same for each restore stream's block K, held before
  // it is sent, so that the backup that stored the stream goes through.
  std::optional<std::uint32_t> restoreHold;
};

struct Config {
  std::string bind = "127.0.0.1";
  int port = 0;
  std::string storeDir;
  std::string portFile;
  std::string traffic;  // empty: <store>/traffic.log
  // The session manager's object requests (the stand-in cell server's
  // --media-requests); with role auto the direction of a DA id comes from
  // them. Empty: none.
  std::string requests;
  Geometry geometry;
  std::vector<int> offers{100};  // empty: no negotiation
  Transfer transfer = Transfer::kAuto;
  Role role = Role::kAuto;
  bool sink = false;
  // Every message and raw packet in the traffic log; else the first of each
  // kind and their counts per connection.
  bool trafficEvery = false;
  Faults faults;
  std::chrono::seconds idle{600};
  std::chrono::seconds io{30};
  std::chrono::seconds lifetime{3600};
  int maxConnections = 64;
};

// Reads the arguments after the program name. Nothing with the reason in *why
// on any unknown option, missing value or value out of range.
std::optional<Config> ParseCommandLine(const std::vector<std::string>& args, std::string* why);
// One fault "name" or "name=value"; false with the reason in *why.
bool ParseFault(const std::string& text, Faults& faults, std::string* why);

inline constexpr char kUsage[] =
    "usage: tarn-mediaagent --store <dir> [--port <n>] [--bind <address>] [--port-file <file>]\n"
    "       [--traffic <file>] [--traffic-every] [--requests <file>] [--buffer-size <n>] "
    "[--buffer-count <1..64>]\n"
    "       [--offset <n>] [--section <n>] [--offer none|<version>[,<version>...]]\n"
    "       [--transfer auto|shm|socket]\n"
    "       [--role auto|backup|restore] [--sink] [--fault <name>[=<value>]]...\n"
    "       [--idle-timeout <s>] [--io-timeout <s>] [--lifetime <s>]\n";

}  // namespace tarn::mediaagent

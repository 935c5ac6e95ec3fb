// Command line of the stand-in media agent.
#include "mediaagent/config.h"

#include <array>
#include <limits>
#include <utility>

#include "codec/message.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/config.cpp");

namespace tarn::mediaagent {

using standin::ParseDecimal;

namespace {

bool Fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

constexpr std::array<std::pair<const char*, CorruptField>, 6> kFields = {{
    {"magic", CorruptField::kMagic},
    {"used", CorruptField::kUsed},
    {"record-length", CorruptField::kRecordLength},
    {"record-type", CorruptField::kRecordType},
    {"data-length", CorruptField::kDataLength},
    {"string-length", CorruptField::kStringLength},
}};

constexpr long long kBlockMax = std::numeric_limits<std::uint32_t>::max();

}  // namespace

bool ParseFault(const std::string& text, Faults& f, std::string* why) {
  const std::size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const std::string value = eq == std::string::npos ? std::string() : text.substr(eq + 1);
  if (name == "refuse") {
    if (eq != std::string::npos) return Fail(why, "fault refuse takes no value");
    f.refuse = true;
    return true;
  }
  if (eq == std::string::npos) return Fail(why, "fault " + name + " needs =<value>");
  if (name == "corrupt") {
    const std::size_t colon = value.find(':');
    const auto block = ParseDecimal(value.substr(0, colon), 0, kBlockMax);
    if (!block || colon == std::string::npos) return Fail(why, "corrupt needs <block>:<field>");
    const std::string field = value.substr(colon + 1);
    for (const auto& [fieldName, kind] : kFields) {
      if (field == fieldName) {
        f.corruptAt = static_cast<std::uint32_t>(*block);
        f.corruptField = kind;
        return true;
      }
    }
    return Fail(why, "unknown corrupt field " + field);
  }
  if (name == "disk-full") {
    const auto bytes = ParseDecimal(value, 0, std::numeric_limits<long long>::max());
    if (!bytes) return Fail(why, "disk-full needs a byte count");
    f.diskFull = static_cast<std::uint64_t>(*bytes);
    return true;
  }
  if (name == "delay") {
    const auto ms = ParseDecimal(value, 0, 600000);
    if (!ms) return Fail(why, "delay needs 0..600000 milliseconds");
    f.delay = std::chrono::milliseconds(*ms);
    return true;
  }
  const std::pair<const char*, std::optional<std::uint32_t>*> blocks[] = {
      {"drop-after", &f.dropAfter},
      {"lose-acks", &f.loseAcks},
      {"cut-at", &f.cutAt},
      {"bad-ack", &f.badAck},
      {"abort-at", &f.abortAt},
      {"truncate", &f.truncate},
      {"duplicate", &f.duplicate},
      {"bad-buffer", &f.badBuffer},
      {"restore-cut-at", &f.restoreCutAt},
      {"hold", &f.hold},
      {"restore-hold", &f.restoreHold},
  };
  for (const auto& [blockName, slot] : blocks) {
    if (name != blockName) continue;
    const auto block = ParseDecimal(value, 0, kBlockMax);
    if (!block) return Fail(why, "fault " + name + " needs a block number");
    *slot = static_cast<std::uint32_t>(*block);
    return true;
  }
  return Fail(why, "unknown fault " + name);
}

std::optional<Config> ParseCommandLine(const std::vector<std::string>& args, std::string* why) {
  Config c;
  const auto fail = [why](std::string text) -> std::optional<Config> {
    Fail(why, std::move(text));
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--sink") {
      c.sink = true;
      continue;
    }
    if (name == "--traffic-every") {
      c.trafficEvery = true;
      continue;
    }
    if (i + 1 >= args.size()) return fail(name + " needs a value");
    const std::string& value = args[++i];
    const auto number = [&](long long min, long long max) { return ParseDecimal(value, min, max); };
    bool ok = true;
    if (name == "--store") {
      c.storeDir = value;
      ok = !value.empty();
    } else if (name == "--bind") {
      c.bind = value;
    } else if (name == "--port-file") {
      c.portFile = value;
    } else if (name == "--traffic") {
      c.traffic = value;
    } else if (name == "--requests") {
      c.requests = value;
    } else if (name == "--port") {
      const auto v = number(0, 65535);
      if ((ok = v.has_value())) c.port = static_cast<int>(*v);
    } else if (name == "--buffer-size") {
      const auto v = number(0, kMaxBufferSize);
      if ((ok = v.has_value())) c.geometry.bufferSize = static_cast<std::uint32_t>(*v);
    } else if (name == "--buffer-count") {
      const auto v = number(1, kMaxBufferCount);
      if ((ok = v.has_value())) c.geometry.bufferCount = static_cast<int>(*v);
    } else if (name == "--offset") {
      const auto v = number(0, kMaxBufferSize);
      if ((ok = v.has_value())) c.geometry.offset = static_cast<std::uint32_t>(*v);
    } else if (name == "--section") {
      const auto v = number(0, 63);
      if ((ok = v.has_value())) c.geometry.section = static_cast<int>(*v);
    } else if (name == "--offer") {
      c.offers.clear();
      if (value != "none") {
        std::size_t from = 0;
        while (ok && c.offers.size() < 16) {
          const std::size_t comma = value.find(',', from);
          const auto v = ParseDecimal(value.substr(from, comma - from), 0, 1000000);
          if (!(ok = v.has_value())) break;
          c.offers.push_back(static_cast<int>(*v));
          if (comma == std::string::npos) break;
          from = comma + 1;
        }
        ok = ok && value.find(',', from) == std::string::npos;
      }
    } else if (name == "--transfer") {
      if (value == "auto")
        c.transfer = Transfer::kAuto;
      else if (value == "shm")
        c.transfer = Transfer::kSharedMemory;
      else if (value == "socket")
        c.transfer = Transfer::kSocket;
      else
        ok = false;
    } else if (name == "--role") {
      if (value == "auto")
        c.role = Role::kAuto;
      else if (value == "backup")
        c.role = Role::kBackup;
      else if (value == "restore")
        c.role = Role::kRestore;
      else
        ok = false;
    } else if (name == "--fault") {
      std::string reason;
      if (!ParseFault(value, c.faults, &reason)) return fail(reason);
    } else if (name == "--idle-timeout") {
      const auto v = number(1, 86400);
      if ((ok = v.has_value())) c.idle = std::chrono::seconds(*v);
    } else if (name == "--io-timeout") {
      const auto v = number(1, 3600);
      if ((ok = v.has_value())) c.io = std::chrono::seconds(*v);
    } else if (name == "--lifetime") {
      const auto v = number(1, 7LL * 86400);
      if ((ok = v.has_value())) c.lifetime = std::chrono::seconds(*v);
    } else {
      return fail("unknown option " + name);
    }
    if (!ok) return fail("bad value for " + name + ": " + value);
  }
  if (c.storeDir.empty()) return fail("--store is required");
  std::string reason;
  if (!CheckGeometry(c.geometry, &reason)) return fail(reason);
  return c;
}

}  // namespace tarn::mediaagent

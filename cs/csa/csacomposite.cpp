// Composite cell-server operations over single files: the cell servers of a
// multi-cell environment, the CD-ROM table, the managing servers named in
// local files, and the server groups.
#include <string>
#include <string_view>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/vekfile.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csaops.h"

TARN_RCSID("cs/csa/csacomposite.cpp");

using namespace csa_detail;

namespace {

// A heap text from safe_malloc, freed at scope end.
struct HeapText {
  char* p = nullptr;
  HeapText() = default;
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() {
    if (p != nullptr) safe_free(p, TARN_HERE);
  }
};

// The lines of a text without line ends and surrounding white space; empty
// lines are left out.
std::vector<std::string> Lines(const char* text) {
  std::vector<std::string> out;
  std::string_view rest = text != nullptr ? text : "";
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.empty()) out.emplace_back(line);
  }
  return out;
}

// The blank-separated words of a line.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

bool SameHost(const std::string& a, const std::string& b) {
  return StrICmpA(a.c_str(), b.c_str()) == 0;
}

const char* Dash(const char* text) {
  return text != nullptr && *text != '\0' ? text : "-";
}

// A local message with `code`: started, then filled by `fill`, handed over
// with its size in *size (may be null).
template <typename Fill>
int LocalMessage(int code, char** reply, const char* function, Fill fill, int* size = nullptr) {
  StrMsg local;
  StrMsgInitL(&local);
  bool ok = StrMsgStartExL(&local, nullptr, kCsaRequestSize, code, 0) == 0 && fill(&local);
  if (ok) {
    if (size != nullptr) *size = static_cast<int>(local.length) + 1;
    *reply = StrMsgDetachBufL(&local);
    ok = *reply != nullptr;
  }
  StrMsgFreeL(&local);
  if (!ok) ErhMark(ECSARANGE, 0, function, kErhMinor);
  return ok ? 0 : -1;
}

void Unbind(int slot) {
  if (slot > 0) MCsaUnbindServer(slot, 1);
}

// Reads the host named in a local file of the server configuration directory
// and binds it unless it is this host.
int BindNamedServer(const char* file, int* slot, char* host, std::size_t size,
                    const char* function) {
  if (slot != nullptr) *slot = -1;
  if (host != nullptr && size > 0) host[0] = '\0';
  if (Running(function) == nullptr) return -1;
  const std::string path = std::string(cmnFenConfig) + "/" + file;
  HeapText text;
  text.p = CmnGetFile(path.c_str(), nullptr);
  if (text.p == nullptr) return -1;
  const std::vector<std::string> lines = Lines(text.p);
  const std::vector<std::string> words =
      lines.empty() ? std::vector<std::string>() : Words(lines.front());
  if (words.empty()) {
    DbgPlain(kLevel, "[%s] %s names no host", function, path.c_str());
    ErhMark(ECSANOHOST, 0, function, kErhMinor);
    return -1;
  }
  CopyCut(host, size, words.front().c_str());
  if (StrICmpA(words.front().c_str(), cmnHostname) == 0) return 0;
  const int bound = MCsaBindServerEx(words.front().c_str(), nullptr);
  if (bound < 0) return -1;
  if (slot != nullptr) *slot = bound;
  return 0;
}

}  // namespace

namespace {

// MCsaGetServers; *size gets the size of the message handed over.
int ServerList(char** reply, int* size) {
  static const char kFn[] = "MCsaGetServers";
  if (reply == nullptr || Running(kFn) == nullptr) return -1;
  *reply = nullptr;
  HeapText file;
  if (MCsaGetSingleFile(0, kCsaFileServers, &file.p, 1) != 0) return -1;
  const std::vector<std::string> servers = Lines(file.p);
  return LocalMessage(
      kCsaMsgServerList, reply, kFn,
      [&](StrMsg* local) {
        for (const std::string& server : servers) {
          const int slot = MCsaBindServerEx(server.c_str(), nullptr);
          if (slot < 0) {
            DbgPlain(kLevel, "[%s] %s could not be bound", kFn, server.c_str());
            ErhClearError();
          }
          const CsaServerSlot* s = slot >= 0 ? &Ctx()->slots[slot] : nullptr;
          if (StrMsgFAppendL(local, "%s%d%s%d%s%s%d", server.c_str(), slot,
                             s != nullptr ? Dash(s->loginItem3) : "-",
                             s != nullptr ? s->instFlags : 0,
                             s != nullptr ? Dash(s->loginItem4) : "-",
                             s != nullptr ? Dash(s->loginItem6) : "-", s != nullptr ? 1 : 0) != 0) {
            return false;
          }
        }
        return true;
      },
      size);
}

}  // namespace

int MCsaGetServers(char** reply) {
  return ServerList(reply, nullptr);
}

int MCsaImportServer(const char* host) {
  static const char kFn[] = "MCsaImportServer";
  CsaContext* c = Running(kFn);
  if (c == nullptr) return -1;
  const std::string own = c->slots[0].host;
  const int slot = MCsaBindServerEx(host, nullptr);
  if (slot < 0) return -1;
  const std::string name = c->slots[slot].host;
  HeapText manager;
  if (MCsaGetSingleFile(slot, kCsaFileManager, &manager.p, 1) != 0) {
    Unbind(slot);
    return -1;
  }
  const std::vector<std::string> managerLines = Lines(manager.p);
  if (!managerLines.empty() && !SameHost(managerLines.front(), own)) {
    DbgPlain(kLevel, "[%s] %s is managed by %s", kFn, name.c_str(), managerLines.front().c_str());
    ErhMark(ECSAFOREIGNSERVER, 0, kFn, kErhMajor);
    Unbind(slot);
    return -1;
  }
  HeapText servers;
  if (MCsaGetSingleFile(0, kCsaFileServers, &servers.p, 1) != 0) {
    Unbind(slot);
    return -1;
  }
  std::vector<std::string> lines = Lines(servers.p);
  bool listed = false;
  for (const std::string& line : lines) listed = listed || SameHost(line, name);
  if (!listed) lines.push_back(name);
  if (MCsaPutSingleFile(0, kCsaFileServers, Joined(lines).c_str()) != 0) {
    Unbind(slot);
    return -1;
  }
  if (MCsaPutSingleFile(slot, kCsaFileManager, own.c_str()) != 0) ErhClearError();
  Unbind(slot);
  return 0;
}

int MCsaExportServer(const char* host) {
  static const char kFn[] = "MCsaExportServer";
  CsaContext* c = Running(kFn);
  if (c == nullptr) return -1;
  const std::string own = c->slots[0].host;
  const std::string given = host != nullptr ? host : "";
  const std::string name = CanonicalHost(host);
  HeapText list;
  int size = 0;
  if (ServerList(&list.p, &size) != 0) return -1;
  bool listed = false;
  StrMsg parse;
  StrMsgInitL(&parse);
  if (StrParseStartNL(&parse, list.p, static_cast<std::size_t>(size)) == kCsaMsgServerList) {
    for (;;) {
      char* group[7] = {};
      if (StrParseMessageL(&parse, 7, group) != 0) break;
      listed = listed || SameHost(group[0], name) || SameHost(group[0], given);
    }
  }
  StrMsgFreeL(&parse);
  if (!listed || SameHost(name, own)) {
    DbgPlain(kLevel, "[%s] %s is %s", kFn, name.c_str(),
             listed ? "this cell server" : "not listed");
    ErhMark(ECSAEXISTS, 0, kFn, kErhNormal);
    return -1;
  }
  HeapText servers;
  if (MCsaGetSingleFile(0, kCsaFileServers, &servers.p, 1) != 0) return -1;
  std::vector<std::string> lines = Lines(servers.p);
  const std::size_t before = lines.size();
  std::erase_if(lines, [&](const std::string& line) {
    return SameHost(line, name) || SameHost(line, given);
  });
  if (lines.size() != before && MCsaPutSingleFile(0, kCsaFileServers, Joined(lines).c_str()) != 0)
    return -1;
  const int slot = MCsaBindServerEx(host, nullptr);
  if (slot < 0) return -1;
  const int rc = MCsaPutSingleFile(slot, kCsaFileManager, "");
  Unbind(slot);
  return rc;
}

int MCsaGetCDROMTable(int slot, char** reply) {
  static const char kFn[] = "MCsaGetCDROMTable";
  if (reply == nullptr) return -1;
  *reply = nullptr;
  HeapText file;
  if (MCsaGetSingleFile(slot, kCsaFileCdrom, &file.p, 1) != 0) return -1;
  const std::vector<std::string> lines = Lines(file.p);
  return LocalMessage(kCsaMsgCdromTable, reply, kFn, [&](StrMsg* local) {
    for (const std::string& line : lines) {
      std::vector<std::string> w = Words(line);
      w.resize(4);
      if (StrMsgFAppendL(local, "%s%s%s%s", w[0].c_str(), w[1].c_str(), w[2].c_str(),
                         w[3].c_str()) != 0) {
        return false;
      }
    }
    return true;
  });
}

int MCsaBindMomServer(int* slot, char* host, std::size_t size) {
  return BindNamedServer("cell/mom_server", slot, host, size, "MCsaBindMomServer");
}

int MCsaBindCMMDBServer(int* slot, char* host, std::size_t size) {
  return BindNamedServer("cell/mmdb_server", slot, host, size, "MCsaBindCMMDBServer");
}

int MCsaGetGroups(int slot, char** reply) {
  static const char kFn[] = "MCsaGetGroups";
  if (reply == nullptr) return -1;
  *reply = nullptr;
  HeapText file;
  if (MCsaGetSingleFile(slot, kCsaFileGroups, &file.p, 1) != 0) return -1;
  const std::vector<std::string> lines = Lines(file.p);
  return LocalMessage(kCsaMsgGroups, reply, kFn, [&](StrMsg* local) {
    for (const std::string& line : lines) {
      if (StrMsgAppendL(local, line.c_str()) != 0) return false;
    }
    return true;
  });
}

int MCsaAddGroup(int slot, const char* name) {
  HeapText file;
  if (MCsaGetSingleFile(slot, kCsaFileGroups, &file.p, 1) != 0) return -1;
  std::vector<std::string> lines = Lines(file.p);
  lines.emplace_back(name != nullptr ? name : "");
  return MCsaPutSingleFile(slot, kCsaFileGroups, Joined(lines).c_str());
}

int MCsaRemoveGroup(int slot, const char* name) {
  static const char kFn[] = "MCsaRemoveGroup";
  HeapText file;
  if (MCsaGetSingleFile(slot, kCsaFileGroups, &file.p, 1) != 0) return -1;
  std::vector<std::string> lines = Lines(file.p);
  const std::string wanted = name != nullptr ? name : "";
  if (std::erase(lines, wanted) == 0) {
    ErhMark(ECSAEXISTS, 0, kFn, kErhNormal);
    return -1;
  }
  return MCsaPutSingleFile(slot, kCsaFileGroups, Joined(lines).c_str());
}

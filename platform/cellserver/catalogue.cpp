// The stand-in catalogue: the versions the session manager stored (kept in
// the state directory across processes) and those of the fixture, and the
// catalogue session that lists them.
#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>

#include "cellserver/protocol.h"
#include "cellserver/server.h"
#include "cellserver/sm.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/catalogue.cpp");

namespace tarn::cellserver {

using standin::Message;
using standin::PackedError;
using standin::ParseDecimal;

namespace {

// Both forms of a session id name the same session.
bool SameSession(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const auto x = SessionIdParts(a);
  const auto y = SessionIdParts(b);
  return x && y && *x == *y;
}

// The catalogue file holds fixture lines (cat-version, cat-protection); a
// file larger than this is refused rather than read.
constexpr std::size_t kMaxCatalogueFile = 64 << 20;

using Fields = std::vector<std::string>;

std::string Num(long long n) {
  return std::to_string(n);
}

// The type of a catalogue object name: its leading decimal number, else 0.
int TypeOfName(const std::string& name) {
  return static_cast<int>(ParseDecimal(std::string_view(name).substr(0, name.find(' ')), 0,
                                       std::numeric_limits<int>::max())
                              .value_or(0));
}

void AddVersionPart(Fields& out, const CatVersion& v, bool withSessionId) {
  const auto size = static_cast<unsigned long long>(v.size);
  Fields part(withSessionId ? kCatVersionFields : kCatVersionFields - 1, "0");
  part[0] = Num(v.versionId);
  part[1] = Num(v.version);
  part[2] = Num(static_cast<long long>(v.time));
  part[4] = Num(v.level);
  part[5] = std::to_string(size & 0xFFFFFFFFu);
  part[6] = std::to_string(size >> 32);
  part[7] = Num(v.copy);
  part[8] = Num(v.protection);
  part[9] = Num(v.protectionValue);
  part[10] = Num(v.type);
  for (const int text : {12, 13, 17, 18, 20, 21}) part[static_cast<std::size_t>(text)].clear();
  part[22] = v.sessionId.substr(0, 32);
  part[25] = v.options;
  if (withSessionId) part[26] = v.sessionId;
  out.insert(out.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
}

// Object name, type and the version part: 28 or 29 fields.
Fields ObjectVersionRow(const CatVersion& v, bool withSessionId) {
  Fields row{v.objectName, Num(v.type)};
  AddVersionPart(row, v, withSessionId);
  return row;
}

Fields ItemRow(const CatItem& item, long long itemId, bool withVersionId) {
  const auto size = static_cast<unsigned long long>(item.size);
  Fields row{item.name,
             Num(itemId),
             "1",
             Num(item.owner),
             Num(item.group),
             Num(item.mode),
             std::to_string(size & 0xFFFFFFFFu),
             std::to_string(size >> 32),
             Num(static_cast<long long>(item.modified)),
             "0"};
  if (withVersionId) row.push_back(Num(item.versionId));
  return row;
}

Fields MediumRow(const CatMedium& m) {
  Fields row(22, "0");
  row[0] = "";
  row[1] = m.label;
  row[3] = m.description;
  row[7] = m.mediumId;
  row[18] = Num(m.pool);
  return row;
}

Message Result(int code, int level, Fields extra = {}) {
  return standin::MakeResult(PackedError{code, level, code == 0 ? "" : "catalogue", ""},
                             std::move(extra));
}

// The directory part of a path: up to its last '/', without it ("/" for a
// top-level name).
std::string DirectoryOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// The host and the label of a catalogue object name "TT host:name // label";
// empty when the name has none.
std::string HostOfName(const std::string& name) {
  const std::size_t blank = name.find(' ');
  const std::size_t colon = name.find(':');
  if (blank == std::string::npos || colon == std::string::npos || colon < blank) return "";
  return name.substr(blank + 1, colon - blank - 1);
}

std::string LabelOfName(const std::string& name) {
  const std::size_t at = name.find(" // ");
  return at == std::string::npos ? "" : name.substr(at + 4);
}

}  // namespace

SessionManagerBook::SessionManagerBook(const Fixture& fixture, std::string catalogueFile)
    : steps_(fixture.baropt),
      aborts_(fixture.smAborts),
      keys_(fixture.keys),
      catalogue_(fixture.catVersions),
      objects_(fixture.catObjects),
      items_(fixture.catItems),
      media_(fixture.catMedia),
      catalogueFile_(std::move(catalogueFile)) {
  std::vector<CatProtection> changes = fixture.catProtections;
  if (!catalogueFile_.empty()) {
    std::ifstream in(catalogueFile_, std::ios::binary);
    if (in) {
      std::ostringstream text;
      text << in.rdbuf();
      std::string why;
      if (text.str().size() > kMaxCatalogueFile) {
        catalogueError_ = catalogueFile_ + ": too large";
      } else if (const auto stored = ParseFixture(text.str(), &why)) {
        for (const CatVersion& v : stored->catVersions) {
          const bool clash =
              std::any_of(catalogue_.begin(), catalogue_.end(),
                          [&](const CatVersion& o) { return o.versionId == v.versionId; });
          if (clash)
            catalogueError_ = catalogueFile_ + ": version id " + Num(v.versionId) +
                              " is the fixture's; the stored version is left out";
          else
            catalogue_.push_back(v);
        }
        changes.insert(changes.end(), stored->catProtections.begin(), stored->catProtections.end());
        items_.insert(items_.end(), stored->catItems.begin(), stored->catItems.end());
      } else {
        catalogueError_ = catalogueFile_ + ": " + why;
      }
    }
  }
  for (const CatVersion& v : catalogue_) {
    versions_[v.objectName] = std::max(versions_[v.objectName], v.version);
    nextVersionId_ = std::max(nextVersionId_, v.versionId + 1);
  }
  for (const CatProtection& change : changes) applyProtection(change);
}

void SessionManagerBook::persist(const std::string& line) {
  if (catalogueFile_.empty()) return;
  // One whole line per write, appended: a reader never sees half a record.
  std::ofstream out(catalogueFile_, std::ios::binary | std::ios::app);
  out << line << '\n';
  out.flush();
}

bool SessionManagerBook::applyProtection(const CatProtection& change) {
  for (CatVersion& v : catalogue_) {
    if (v.versionId != change.versionId) continue;
    v.protection = change.protection;
    v.protectionValue = change.value;
    v.givenUp = change.protection == 0;
    return true;
  }
  return false;
}

CatalogueRecord SessionManagerBook::store(std::string objectName, std::string sessionId,
                                          std::time_t time, std::string options, int daId,
                                          std::vector<CatItem> items) {
  std::lock_guard lock(mutex_);
  CatVersion v;
  v.versionId = nextVersionId_++;
  v.type = TypeOfName(objectName);
  v.version = ++versions_[objectName];
  v.objectName = std::move(objectName);
  v.sessionId = std::move(sessionId);
  v.time = time;
  v.options = std::move(options);
  v.daId = std::max(daId, 0);  // -1: the object had no stream
  persist("cat-version " + Num(v.versionId) + " " + QuoteFixtureWord(v.objectName) + " " +
          QuoteFixtureWord(v.sessionId) + " " + Num(static_cast<long long>(v.time)) + " " +
          QuoteFixtureWord(v.options) + " type=" + Num(v.type) + " version=" + Num(v.version) +
          " da=" + Num(v.daId));
  for (CatItem& item : items) {
    item.versionId = v.versionId;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(item.mode) & 077777u);
    persist("cat-item " + Num(item.versionId) + " " + QuoteFixtureWord(item.name) + " " +
            Num(item.size) + " " + Num(static_cast<long long>(item.modified)) + " " +
            Num(item.owner) + " " + Num(item.group) + " " + mode);
    items_.push_back(std::move(item));
  }
  catalogue_.push_back(std::move(v));
  return catalogue_.back();
}

int SessionManagerBook::daFor(const std::string& objectName, const std::string& sessionId,
                              long long versionId) const {
  std::lock_guard lock(mutex_);
  const CatVersion* chosen = nullptr;
  for (const CatVersion& v : catalogue_) {
    if (v.objectName != objectName) continue;
    if (versionId > 0) {
      if (v.versionId == versionId) return v.daId;
      continue;
    }
    if (!sessionId.empty() && v.sessionId != sessionId) continue;
    // Stored in order, so the last one seen is the newest.
    chosen = &v;
  }
  return chosen != nullptr ? chosen->daId : 0;
}

std::vector<CatalogueRecord> SessionManagerBook::catalogue() const {
  std::lock_guard lock(mutex_);
  return catalogue_;
}

std::vector<Message> SessionManagerBook::answerCatalogue(const Message& request) {
  const auto spec = FindCatalogueRequest(request.code);
  if (!spec) return {Result(kCatErrUnknownRequest, kErrorLevel)};
  const auto& args = request.items;
  if (args.size() < static_cast<std::size_t>(spec->args))
    return {Result(kCatErrBadRequest, kErrorLevel)};
  const auto number = [&args](std::size_t i) {
    return ParseDecimal(args[i], std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  };
  // Arguments that must be numbers, by request.
  std::vector<std::size_t> numeric;
  switch (spec->id) {
    case kCatListObjects:
    case kCatListPartOfObject:
    case kCatGetOver:
    case kCatListCatalog:
    case kCatFbListDir:
    case kCatFbListFileVers:
    case kCatListFileNames:
    case kCatListMediaOfOver: numeric = {0}; break;
    case kCatListVerOfObject: numeric = {1, 2}; break;
    case kCatChangeOverProt: numeric = {0, 1}; break;
    default: break;
  }
  for (const std::size_t i : numeric)
    if (!number(i)) return {Result(kCatErrBadRequest, kErrorLevel)};
  // A protection value may be a time past 2038.
  if (spec->id == kCatChangeOverProt &&
      !ParseDecimal(args[2], std::numeric_limits<long long>::min(),
                    std::numeric_limits<long long>::max()))
    return {Result(kCatErrBadRequest, kErrorLevel)};

  std::lock_guard lock(mutex_);
  std::vector<Message> out;
  const auto row = [&](Fields fields) { out.push_back(Message{spec->rowId, std::move(fields)}); };
  const auto findVersion = [this](long long id) -> const CatVersion* {
    for (const CatVersion& v : catalogue_)
      if (v.versionId == id) return &v;
    return nullptr;
  };
  const auto backupIdOf = [](const CatVersion& v) {
    // The id behind -backupId, else the session id.
    const std::string key = "-backupId \"";
    const std::size_t at = v.options.find(key);
    if (at == std::string::npos) return v.sessionId;
    const std::size_t end = v.options.find('"', at + key.size());
    return end == std::string::npos ? v.sessionId
                                    : v.options.substr(at + key.size(), end - at - key.size());
  };

  switch (spec->id) {
    case kCatListObjects:
    case kCatListPartOfObject: {
      const int type = static_cast<int>(*number(0));
      const std::string part = spec->id == kCatListPartOfObject ? args[1] : "";
      std::vector<CatObject> seen;
      const auto offer = [&](const std::string& name, int objectType) {
        if ((type != 0 && objectType != type) || name.find(part) == std::string::npos) return;
        if (std::any_of(seen.begin(), seen.end(),
                        [&](const CatObject& o) { return o.name == name; }))
          return;
        seen.push_back(CatObject{name, objectType});
        row({name, Num(objectType)});
      };
      for (const CatObject& o : objects_) offer(o.name, o.type);
      for (const CatVersion& v : catalogue_)
        if (!v.givenUp) offer(v.objectName, v.type);
      break;
    }
    case kCatListOverOfAppBackup:
    case kCatListOverOfSession:
      // By backup id (or session id); 1083 narrows further by the object's
      // host and application type, each when not empty.
      for (const CatVersion& v : catalogue_) {
        if (!SameSession(backupIdOf(v), args[0]) && !SameSession(v.sessionId, args[0])) continue;
        if (spec->id == kCatListOverOfAppBackup &&
            ((!args[1].empty() && HostOfName(v.objectName) != args[1]) ||
             (!args[2].empty() && LabelOfName(v.objectName) != args[2])))
          continue;
        row(ObjectVersionRow(v, false));
      }
      break;
    case kCatListVerOfObject:
    case kCatFbListAllOver: {
      // 1024's third argument, when above 0, keeps only that many of the
      // newest versions.
      std::vector<const CatVersion*> found;
      for (const CatVersion& v : catalogue_)
        if (v.objectName == args[0] && !(spec->id == kCatListVerOfObject && v.givenUp))
          found.push_back(&v);
      const long long limit = spec->id == kCatListVerOfObject ? *number(2) : 0;
      if (limit > 0 && found.size() > static_cast<std::size_t>(limit)) {
        std::stable_sort(found.begin(), found.end(), [](const CatVersion* a, const CatVersion* b) {
          return a->time > b->time;
        });
        found.resize(static_cast<std::size_t>(limit));
      }
      for (const CatVersion* v : found) {
        if (spec->id == kCatListVerOfObject) {
          Fields fields;
          AddVersionPart(fields, *v, true);
          row(std::move(fields));
        } else {
          row(ObjectVersionRow(*v, true));
        }
      }
      if (spec->id == kCatFbListAllOver) {
        out.push_back(Result(
            found.empty() ? kCatEndNoRows : 0, 0,
            found.empty() ? Fields{}
                          : Fields{Num(static_cast<long long>(found.size())), "0", "0", "0"}));
        return out;
      }
      break;
    }
    case kCatGetOver: {
      const CatVersion* v = findVersion(*number(0));
      if (v == nullptr) return {Result(kCatEndNotFound, 0)};
      return {Result(0, 0, ObjectVersionRow(*v, true))};
    }
    case kCatListCatalog:
    case kCatFbListDir: {
      const long long id = *number(0);
      long long itemId = 0;
      for (const CatItem& item : items_) {
        ++itemId;
        if (item.versionId != id) continue;
        if (spec->id == kCatFbListDir && DirectoryOf(item.name) != args[1]) continue;
        row(ItemRow(item, itemId, spec->id == kCatFbListDir));
      }
      break;
    }
    case kCatListFileNames: {
      const long long id = *number(0);
      for (const CatItem& item : items_) {
        if (item.versionId != id || !item.name.starts_with(args[1])) continue;
        row({item.name, Num(item.size), Num(static_cast<long long>(item.modified)),
             Num(item.mode)});
      }
      break;
    }
    case kCatFilePatternSearch: {
      // A pattern (* and ?) for the name's last part (empty: all), the
      // object's host (empty: any), the name's directory part (empty: any);
      // the numbers are not used.
      long long itemId = 0;
      for (const CatItem& item : items_) {
        ++itemId;
        const CatVersion* v = findVersion(item.versionId);
        if (v == nullptr) continue;
        const std::string leaf = item.name.substr(item.name.rfind('/') + 1);
        if (!args[0].empty() && ::fnmatch(args[0].c_str(), leaf.c_str(), FNM_NOESCAPE) != 0)
          continue;
        if (!args[1].empty() && HostOfName(v->objectName) != args[1]) continue;
        if (!args[2].empty() && DirectoryOf(item.name) != args[2]) continue;
        row(ItemRow(item, itemId, true));
      }
      break;
    }
    case kCatFbListFileVers: {
      long long itemId = 0;
      for (const CatItem& item : items_) {
        ++itemId;
        if (item.name != args[1]) continue;
        const CatVersion* v = findVersion(item.versionId);
        if (v == nullptr) continue;
        Fields fields = ItemRow(item, itemId, false);
        AddVersionPart(fields, *v, true);
        row(std::move(fields));
      }
      break;
    }
    case kCatListMediaOfOver: {
      const long long id = *number(0);
      for (const CatMedium& m : media_)
        if (m.versionId == id) row(MediumRow(m));
      break;
    }
    case kCatChangeOverProt: {
      const CatProtection change{*number(0), static_cast<int>(*number(1)),
                                 *ParseDecimal(args[2], std::numeric_limits<long long>::min(),
                                               std::numeric_limits<long long>::max())};
      if (!applyProtection(change)) return {Result(kErrRefused, kErrorLevel)};
      persist("cat-protection " + Num(change.versionId) + " " + Num(change.protection) + " " +
              Num(change.value));
      return {Result(0, 0)};
    }
    default: return {Result(kCatErrUnknownRequest, kErrorLevel)};
  }
  out.push_back(out.empty() ? Result(kCatEndNoRows, 0) : Result(0, 0));
  return out;
}

void CatalogueConversation::run(Link& link, Session& session) {
  // A catalogue session is never re-attached: it ends with its connection,
  // however that ends, so that clients that only close it do not use up the
  // running sessions.
  const auto endSession = [&](const char* reason) {
    if (!session.ended()) link.note("session", "catalogue session " + session.info().key + " ends");
    session.end();
    server_.sessions().forget(session);
    link.close(reason);
  };
  Message message;
  for (;;) {
    if (session.ended()) {
      link.close("session ended");
      return;
    }
    switch (link.receive(message)) {
      case Link::Got::kMessage: break;
      case Link::Got::kClosed: return endSession("by peer");
      case Link::Got::kTimeout: return endSession("idle");
      case Link::Got::kStopped: return endSession("stopped");
      case Link::Got::kBad: return endSession("bad input");
    }
    if (message.code == kMsgStop || message.code == kMsgAbort) return endSession("session ended");
    const std::vector<Message> answer = server_.smBook().answerCatalogue(message);
    link.note("catalogue", "request " + std::to_string(message.code) + ": " +
                               std::to_string(answer.size() - 1) + " rows, result " +
                               answer.back().items.at(0));
    for (const Message& reply : answer)
      if (!link.send(reply)) return endSession("send failed");
  }
}

}  // namespace tarn::cellserver

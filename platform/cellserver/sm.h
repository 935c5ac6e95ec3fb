// The stand-in session manager: the conversation on a session port after the
// identity, and what its conversations share (the fixture's script, the key
// service and the catalogue records of stored objects).
#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cellserver/fixture.h"
#include "cellserver/session.h"

namespace tarn::cellserver {

class Server;

// One stored object version, kept for the catalogue.
using CatalogueRecord = CatVersion;

// Shared by every session-manager conversation of one server; thread-safe.
class SessionManagerBook {
 public:
  // With a `catalogueFile`, the versions stored earlier are read from it and
  // every stored version and protection change is appended to it, so that a
  // later process on the same state directory finds them.
  explicit SessionManagerBook(const Fixture& fixture, std::string catalogueFile = {});

  // The answer to the next object request; MSG_CONNECT without words once
  // the script is used up.
  SmStep nextStep();
  // The code of an abort due at this point of an object, used up when taken.
  std::optional<SmAbort> takeAbort(SmAbortPoint point, int count);

  // The key of `entity`, made up and kept when it is new.
  KeyRecord keyOf(const std::string& entity);
  std::optional<KeyRecord> keyById(const std::string& keyId, const std::string& storeId) const;

  // Stores a version of the object held by the media agent's stream `daId`,
  // with the items that stream carried.
  CatalogueRecord store(std::string objectName, std::string sessionId, std::time_t time,
                        std::string options, int daId = 0, std::vector<CatItem> items = {});
  std::vector<CatalogueRecord> catalogue() const;
  // The data-path id of the stream to restore the object from: that of the
  // version `versionId` names (when above 0), else of the object's newest
  // version of `sessionId` (when not empty), else of its newest version;
  // 0 when none is known.
  int daFor(const std::string& objectName, const std::string& sessionId,
            long long versionId) const;
  // Why the catalogue file could not be read; empty when it could.
  const std::string& catalogueError() const { return catalogueError_; }

  // The answer to a catalogue-session request: its rows, then MSG_RESULT.
  std::vector<standin::Message> answerCatalogue(const standin::Message& request);

 private:
  mutable std::mutex mutex_;
  std::vector<SmStep> steps_;
  std::size_t nextStep_ = 0;
  std::vector<SmAbort> aborts_;
  std::vector<KeyRecord> keys_;
  void persist(const std::string& line);
  bool applyProtection(const CatProtection& change);

  std::map<std::string, int> versions_;
  std::vector<CatalogueRecord> catalogue_;
  std::vector<CatObject> objects_;
  std::vector<CatItem> items_;
  std::vector<CatMedium> media_;
  std::string catalogueFile_;
  std::string catalogueError_;
  long long nextVersionId_ = 1;
};

// The session manager's side of a catalogue session (type 2): requests
// answered from the book's catalogue until MSG_STOP or MSG_ABORT ends the
// session.
class CatalogueConversation final : public SessionConversation {
 public:
  explicit CatalogueConversation(Server& server) : server_(server) {}
  void run(Link& link, Session& session) override;

 private:
  Server& server_;
};

// `count` random bytes in lowercase hexadecimal.
std::string RandomHex(std::size_t count);

// A report line (message 15) as text: the catalogue text of its format
// reference with the arguments put in, typed arguments expanded. Without a
// catalogue text: "[set:number]" and the arguments, blank-separated.
std::string ExpandReport(const std::vector<std::string>& items, const Fixture& fixture);

// The option words of a MSG_CONNECT with the placeholders ${lport},
// ${host}, ${session}, ${guid} and ${da} (`daId`) replaced.
std::vector<std::string> ExpandWords(const std::vector<std::string>& words, int reconnectPort,
                                     const std::string& host, const SessionInfo& session,
                                     int daId = 0);

enum class StreamEnd { kNone, kStop, kAbort };
// How the media agent's events file shows the stream of `daId` ended after
// `offset` (a STREAM_END line with status stop; any other status is an
// abort); moves `offset` past the complete lines read.
StreamEnd StreamEnded(const std::string& path, std::uint64_t& offset, int daId);
// The process id the media agent printed at the start of its events file
// ("pid <n>"); nothing when it is not there.
std::optional<long> MediaAgentPid(const std::string& path);

// The items the media agent's events file reports for the last stream of
// `daId` (the ITEM lines before its last STREAM_END), ready to store.
std::vector<CatItem> StreamItems(const std::string& path, int daId);

// The data-path id a restore object request (application, object name,
// session id, "0", tree, version id) is answered with (see daFor).
int RestoreDa(const SessionManagerBook& book, const standin::Message& request);

class SessionManagerConversation final : public SessionConversation {
 public:
  explicit SessionManagerConversation(Server& server) : server_(server) {}
  void run(Link& link, Session& session) override;

 private:
  // False when the connection is to end.
  bool handle(Link& link, Session& session, const standin::Message& message);
  bool objectRequest(Link& link, Session& session, const standin::Message& message);
  bool status(Link& link, Session& session, const standin::Message& message);
  bool report(Link& link, Session& session, const standin::Message& message);
  bool endFromClient(Link& link, Session& session, const standin::Message& message);
  bool keyRequest(Link& link, const standin::Message& message);
  bool randomBytes(Link& link, const standin::Message& message);
  // Sends MSG_STOP once the media agent has ended the object's stream with a
  // stop, MSG_ABORT when it ended it otherwise or died without ending it.
  bool watchStream(Link& link, Session& session);
  bool abortIfDue(Link& link, Session& session, SmAbortPoint point, int count);

  Server& server_;
};

// Serves a connection to the reconnect port: MSG_RECONNECT, the answer
// MSG_RECONNECTED, then the conversation of the session whose object has
// that DA id.
void ServeReconnect(Server& server, Link& link);

}  // namespace tarn::cellserver

// What the stand-in cell server speaks: message ids, the shape of every request
// it serves, the error codes it answers with and the 267 reply layout.
#include "cellserver/protocol.h"

#include <algorithm>
#include <array>

#include "cellserver/fixture.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/protocol.cpp");

namespace tarn::cellserver {

namespace {

constexpr std::array kRequests = {
    RequestSpec{0, Shape::kAnswer, 0, 6, "login"},
    RequestSpec{202, Shape::kServerBulk, 0, 1, "get single file"},
    RequestSpec{203, Shape::kClientBulk, 0, 2, "put single file"},
    RequestSpec{205, Shape::kClientBulk, 0, 6, "start session"},
    RequestSpec{207, Shape::kAnswer, 0, 1, "connect session"},
    RequestSpec{209, Shape::kQuery, 101, 0, "session overview"},
    RequestSpec{210, Shape::kQuery, 103, 1, "session status"},
    RequestSpec{211, Shape::kQuery, 102, 1, "group list"},
    RequestSpec{212, Shape::kQuery, 104, 0, "datalists"},
    RequestSpec{213, Shape::kQuery, 105, 1, "backups"},
    RequestSpec{214, Shape::kServerBulk, 0, 2, "get group item"},
    RequestSpec{215, Shape::kClientBulk, 0, 3, "put group item"},
    RequestSpec{216, Shape::kAnswer, 0, 2, "remove group item"},
    RequestSpec{219, Shape::kAnswer, 0, 3, "rename group item"},
    RequestSpec{225, Shape::kQuery, kMsgGlobalOptions, 0, "global options"},
    RequestSpec{227, Shape::kAnswer, 0, 3, "redebug"},
    RequestSpec{228, Shape::kAnswer, 0, 2, "import host"},
    RequestSpec{229, Shape::kAnswer, 0, 2, "export host"},
    RequestSpec{231, Shape::kAnswer, 0, 2, "update host"},
    RequestSpec{234, Shape::kAnswer, 0, 1, "exec"},
    RequestSpec{235, Shape::kAnswer, 0, 1, "is running"},
    RequestSpec{236, Shape::kAnswer, 0, 2, "signal session"},
    RequestSpec{238, Shape::kQuery, 104, 0, "templates"},
    RequestSpec{244, Shape::kQuery, 113, 0, "notifications"},
    RequestSpec{246, Shape::kAnswer, 0, 1, "import cluster"},
    RequestSpec{247, Shape::kAnswer, 0, 2, "import cluster node"},
    RequestSpec{248, Shape::kAnswer, 0, 2, "import cluster virtual server"},
    RequestSpec{249, Shape::kAnswer, 0, 1, "export cluster"},
    RequestSpec{250, Shape::kAnswer, 0, 2, "export cluster node"},
    RequestSpec{251, Shape::kAnswer, 0, 2, "export cluster virtual server"},
    RequestSpec{254, Shape::kQuery, 115, 0, "backup file list"},
    RequestSpec{256, Shape::kClientBulk, 0, 2, "put single file and push"},
    RequestSpec{257, Shape::kClientBulk, 0, 3, "put binary group item"},
    RequestSpec{258, Shape::kAnswer, 0, 6, "import NDMP host"},
    RequestSpec{259, Shape::kServerBulk, 0, 2, "get custom file"},
    RequestSpec{260, Shape::kClientBulk, 0, 3, "put custom file"},
    RequestSpec{261, Shape::kAnswer, 0, 1, "import install server"},
    RequestSpec{262, Shape::kAnswer, 0, 1, "export install server"},
    RequestSpec{263, Shape::kServerBulk, 0, 2, "get binary group item"},
    RequestSpec{264, Shape::kAnswer, 0, 2, "remove custom file"},
    RequestSpec{265, Shape::kAnswer, 0, 2, "client info"},
    RequestSpec{266, Shape::kQuery, 114, 0, "amos"},
    RequestSpec{267, Shape::kProtocol, 0, 6, "protocol"},
    RequestSpec{270, Shape::kQuery, 116, 0, "scheduled copy specs"},
    RequestSpec{271, Shape::kQuery, 117, 0, "scheduled consolidation specs"},
    RequestSpec{272, Shape::kQuery, 118, 0, "scheduled verification specs"},
    RequestSpec{273, Shape::kAnswer, 0, 1, "group path"},
    RequestSpec{275, Shape::kQuery, 104, 1, "filtered datalists"},
    RequestSpec{281, Shape::kAnswer, 0, -1, "semaphore control"},
    RequestSpec{282, Shape::kAnswer, 0, 5, "impersonate"},
    RequestSpec{283, Shape::kAnswer, 0, 1, "reconnect session"},
    RequestSpec{302, Shape::kAnswer, 0, 7, "import app server"},
    RequestSpec{303, Shape::kAnswer, 0, 6, "host id"},
    RequestSpec{304, Shape::kAnswer, 0, 2, "event log trigger"},
    RequestSpec{1090, Shape::kQuery, 102, 0, "list certificates"},
    RequestSpec{1091, Shape::kClientBulk, 0, 2, "add certificate"},
    RequestSpec{1092, Shape::kServerBulk, 0, 1, "get certificate"},
};

constexpr bool Sorted() {
  for (std::size_t i = 1; i < kRequests.size(); ++i) {
    if (kRequests[i - 1].id >= kRequests[i].id) return false;
  }
  return true;
}
static_assert(Sorted(), "request table must stay sorted by id");

}  // namespace

std::optional<RequestSpec> FindRequest(int id) {
  const auto* it = std::lower_bound(kRequests.begin(), kRequests.end(), id,
                                    [](const RequestSpec& spec, int key) { return spec.id < key; });
  if (it == kRequests.end() || it->id != id) return std::nullopt;
  return *it;
}

std::optional<CatRequestSpec> FindCatalogueRequest(int id) {
  static constexpr CatRequestSpec kCatalogue[] = {
      {kCatListObjects, 1, 1023, 2, 0},
      {kCatListPartOfObject, 2, 1070, 2, 0},
      {kCatListOverOfAppBackup, 3, 1084, 28, 0},
      {kCatListOverOfSession, 1, 1027, 28, 0},
      {kCatListVerOfObject, 3, 1025, 27, 0},
      {kCatListCatalog, 1, 1033, 10, 0},
      {kCatFilePatternSearch, 8, 1037, 11, 0},
      {kCatFbListFileVers, 2, 1061, 37, 0},
      {kCatFbListDir, 2, 1055, 11, 0},
      {kCatFbListAllOver, 6, 1051, 29, 4},
      {kCatListMediaOfOver, 2, 1613, 22, 0},
      {kCatChangeOverProt, 3, 0, 0, 0},
      {kCatGetOver, 1, 0, 0, 29},
      {kCatListFileNames, 3, 1034, 4, 0},
  };
  for (const CatRequestSpec& spec : kCatalogue)
    if (spec.id == id) return spec;
  return std::nullopt;
}

standin::Message ProtocolReply(const standin::PackedError& error, const ProtocolData& data) {
  standin::Message reply{standin::kMsgProtocol, {}};
  standin::AppendPackedError(reply, error);
  reply.items.push_back(std::to_string(data.type));
  reply.items.push_back(std::to_string(data.version));
  reply.items.push_back(std::to_string(data.moduleVersion));
  reply.items.push_back(data.moduleSubversion);
  reply.items.push_back(data.sender);
  reply.items.push_back(std::to_string(data.flags));
  return reply;
}

}  // namespace tarn::cellserver

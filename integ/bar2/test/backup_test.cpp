// Backup sessions end to end against the stand-in cell server, session
// manager and media agent: the stored records of an object, two objects in
// one session, long item names, extended attributes, a failed flush at
// object end, the call order and the description cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barimpl.h"
#include "bar2/bartransform.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "codec/dastream.h"
#include "dacmn/bm.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "ipc/ipchooks.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"
#include "vekdf/daformat.h"

TARN_RCSID("integ/bar2/test/backup_test.cpp");

namespace {

namespace ds = tarn::standin::dastream;
using tarn::test::MediaAgentStandIn;

constexpr std::uint32_t kCapacity = 4096;

std::vector<std::string> Small(std::vector<std::string> faults = {}, int bufferSize = 4096) {
  std::vector<std::string> args = {
      "--buffer-size", std::to_string(bufferSize), "--buffer-count", "4", "--transfer", "shm"};
  for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
  return args;
}

std::vector<std::uint8_t> Payload(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  return bytes;
}

// Every record of a stored stream but padding, checked block by block by the
// decoder. The records point into `blocks`.
std::vector<ds::Record> StoredRecords(const std::string& blocks) {
  std::vector<ds::Record> records;
  ds::StreamDecoder decoder;
  EXPECT_EQ(blocks.size() % kCapacity, 0u);
  for (std::size_t at = 0; at + kCapacity <= blocks.size(); at += kCapacity) {
    auto block = decoder.Feed(
        ds::ByteSpan(reinterpret_cast<const std::uint8_t*>(blocks.data()) + at, kCapacity));
    EXPECT_TRUE(block.has_value()) << decoder.error();
    if (!block) break;
    for (ds::Record& r : block->records)
      if (r.type != static_cast<std::uint32_t>(ds::RecordType::kPadding)) records.push_back(r);
  }
  return records;
}

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    for (const char* name :
         {"VEKOPTS", "VEKBARUPDATE", "VEKAPPNAME_RPT", "VEKDBG", "VEK_CELL_SERVER_HOSTNAME",
          "VEKBARHOSTNAME", "VEKRECONNECT_RETRY", "VEKRECONNECT_ACK", "VEKDISKONLY", "VEKBDANET"})
      unsetenv(name);
    setenv("VEKSHUTDOWNTIMEOUT", "1", 1);
    VEK_SetFlags(0);
    bar2_detail::ResetGlobals();
    BarSetLinkHooks(nullptr);
  }
  void TearDown() override {
    BmExit(1);
    if (BarContext* ctx = VEK_GetContext()) {
      ctx->mode = BAR_MODE_IDLE;
      if (ctx->session.smHandle != kIpcNoHandle) IpcCloseConnection(ctx->session.smHandle);
      ctx->session.smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    DaSetReconnectPort(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
    unsetenv("VEKSHUTDOWNTIMEOUT");
  }

  // Starts the media agent and the cell server, whose session manager
  // answers the object requests with `connects` (one "-daid <n>" each).
  void Start(std::vector<int> daIds, std::vector<std::string> maFaults = {},
             int bufferSize = 4096) {
    StartWith(Small(maFaults, bufferSize), daIds, "");
  }
  // The same with the agent's arguments given whole and `words` behind each
  // "-daid <n>".
  void StartWith(const std::vector<std::string>& maArgs, std::vector<int> daIds,
                 const std::string& words) {
    ma_ = std::make_unique<MediaAgentStandIn>(MediaAgentStandIn::Options{.args = maArgs});
    ASSERT_TRUE(ma_->ready());
    std::string fixture;
    for (int da : daIds)
      fixture += "baropt connect -ma 127.0.0.1 " + std::to_string(ma_->port()) + " -daid " +
                 std::to_string(da) + words + "\n";
    server_ =
        std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
            .fixture = fixture, .args = {"--media-events", ma_->eventsPath()}});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    setenv("VEKOPTS", "-server 127.0.0.1", 1);
    ASSERT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx_), 0);
    ctx_->output = 0;
    ASSERT_EQ(VEK_StartBackup(ctx_, "nightly"), 0);
    ASSERT_EQ(ctx_->mode, BAR_MODE_BACKUP);
  }

  tarn::test::Watchdog watchdog_{120};
  tarn::test::TempRoot root_;
  std::unique_ptr<MediaAgentStandIn> ma_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
  BarContext* ctx_ = nullptr;
};

TEST_F(BackupTest, OneObjectOfOneItemIsStoredRecordByRecord) {
  ASSERT_NO_FATAL_FAILURE(Start({7}));
  const char* const trees[] = {"C:\\db", nullptr};
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "host:/db ALIAS", trees, nullptr), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  EXPECT_EQ(ctx_->object.daId, 7);
  ASSERT_EQ(VEK_GetTrees(ctx_)->count, 1);
  EXPECT_STREQ(static_cast<const char*>(IVecGet(VEK_GetTrees(ctx_), 0)), "C:\\db");

  DaItemAttr item{};
  item.fileType = kDaFileRegular;
  item.name = "image.001";
  const std::vector<std::uint8_t> payload = Payload(10000);
  item.size = payload.size();
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  EXPECT_STREQ(CmnVarCastText(ctx_->item.itemName), "image.001");
  // Odd pieces: records are filled across calls and the last stays pending.
  std::size_t done = 0;
  for (std::size_t piece : {1u, 999u, 5000u, 4000u}) {
    ASSERT_EQ(VEK_WriteItemData(ctx_, payload.data() + done, static_cast<int>(piece)),
              static_cast<int>(piece));
    done += piece;
  }
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  EXPECT_EQ(ctx_->item.itemId, 1);
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(ctx_->mode, BAR_MODE_BACKUP);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=7 status=stop"));

  const std::string blocks = ma_->blocks(7);  // the records point into it
  const std::vector<ds::Record> records = StoredRecords(blocks);
  ASSERT_GE(records.size(), 5u);
  const auto* start = std::get_if<ds::StartRecord>(&records.front().body);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->daId, 7u);
  EXPECT_EQ(start->objectType, 5u);
  EXPECT_EQ(start->backupType, 1u);
  EXPECT_EQ(start->objectName, "host:/db ALIAS");
  EXPECT_EQ(start->applicationName, "VEKBAR");
  EXPECT_NE(start->objectDescription.find("-backupId \""), std::string_view::npos);
  EXPECT_NE(start->objectDescription.find("-trees \"C:/db\""), std::string_view::npos);
  const auto* attr = std::get_if<ds::AttributeRecord>(&records[1].body);
  ASSERT_NE(attr, nullptr);
  EXPECT_EQ(records[1].type, static_cast<std::uint32_t>(ds::RecordType::kAttribute));
  EXPECT_EQ(attr->itemId, 0u);
  EXPECT_EQ(attr->name, "image.001");
  EXPECT_EQ(attr->size, 10000u);
  std::vector<std::uint8_t> data;
  std::size_t i = 2;
  for (; i < records.size(); ++i) {
    const auto* d = std::get_if<ds::DataRecord>(&records[i].body);
    if (d == nullptr) break;
    EXPECT_EQ(d->itemId, 0u);
    EXPECT_EQ(d->itemOffset(), data.size());
    EXPECT_EQ(d->transformId, 0u);
    data.insert(data.end(), d->data.begin(), d->data.end());
  }
  ASSERT_EQ(data.size(), payload.size());
  EXPECT_EQ(data, payload);
  ASSERT_EQ(i + 2, records.size());
  const auto* itemEnd = std::get_if<ds::ItemEndRecord>(&records[i].body);
  ASSERT_NE(itemEnd, nullptr);
  EXPECT_EQ(itemEnd->itemId, 0u);
  EXPECT_EQ(itemEnd->completionCode, 0u);
  const auto* end = std::get_if<ds::EndRecord>(&records[i + 1].body);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end->daId, 7u);
  EXPECT_EQ(end->completionCode, 0u);
  // The end time is stored: seconds since 1970 on the wall clock.
  EXPECT_GE(end->endTime, static_cast<std::uint32_t>(before));
  EXPECT_LE(end->endTime, static_cast<std::uint32_t>(after));
  for (std::size_t s = 0; s < records.size(); ++s) EXPECT_EQ(records[s].sequence, s);

  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_IDLE);
  EXPECT_EQ(ctx_->session.sessGuid[0], '\0');
}

// One item of `size` bytes of `payload` with the given name.
void BackUpItem(BarContext* ctx, const char* name, std::size_t size) {
  DaItemAttr item{};
  item.fileType = kDaFileRegular;
  item.name = name;
  item.size = size;
  ASSERT_EQ(VEK_StartItemBackup(ctx, &item, nullptr, 0, 0), 0);
  const std::vector<std::uint8_t> payload = Payload(size);
  ASSERT_EQ(VEK_WriteItemData(ctx, payload.data(), static_cast<int>(size)), static_cast<int>(size));
  ASSERT_EQ(VEK_EndItemBackup(ctx, 0), 0);
}

// The agent, on another host as far as the IPC layer can tell, drops the link
// mid-stream; with the session's reconnect port given, the network process
// connects again and resumes, and the stored stream decodes whole.
TEST_F(BackupTest, StreamThroughTheNetworkProcessSurvivesADroppedAgentLink) {
  struct RemotePeers {
    IpcPeerLocality previous = IpcSetPeerLocality(IpcPeerLocality::kRemote);
    ~RemotePeers() { IpcSetPeerLocality(previous); }
  } remote;
  setenv("VEKBDANET", "1", 1);
  ASSERT_NO_FATAL_FAILURE(StartWith({"--buffer-size", std::to_string(kCapacity), "--buffer-count",
                                     "4", "--fault", "drop-after=5"},
                                    {9}, " -lport 127.0.0.1 ${lport}"));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  constexpr std::size_t kSize = 100000;
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "big", kSize));
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=9 status=abort blocks=5"));
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=9 status=stop"));
  EXPECT_TRUE(ma_->waitForTraffic("< 1051 \"9\""));

  const std::string blocks = ma_->blocks(9);  // the records point into it
  const std::vector<ds::Record> records = StoredRecords(blocks);
  ASSERT_GT(blocks.size() / kCapacity, 5u);
  std::vector<std::uint8_t> data;
  for (const ds::Record& r : records) {
    if (const auto* d = std::get_if<ds::DataRecord>(&r.body)) {
      EXPECT_EQ(d->itemOffset(), data.size());
      data.insert(data.end(), d->data.begin(), d->data.end());
    }
  }
  EXPECT_EQ(data, Payload(kSize));
  ASSERT_FALSE(records.empty());
  const auto* end = std::get_if<ds::EndRecord>(&records.back().body);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end->completionCode, 0u);
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
  unsetenv("VEKBDANET");
}

TEST_F(BackupTest, TwoObjectsInOneSessionReattachBetweenThem) {
  ASSERT_NO_FATAL_FAILURE(Start({3, 4}));
  ctx_->output = 1;  // report lines go to the session manager
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj1", nullptr, nullptr), 0);
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "a", 5000));
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_BACKUP);
  EXPECT_EQ(ctx_->object.maLocal, -1);
  const std::string guid = ctx_->session.sessGuid;
  EXPECT_FALSE(guid.empty());

  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj2", nullptr, nullptr), 0);
  EXPECT_EQ(ctx_->item.itemId, 0);
  EXPECT_EQ(ctx_->session.sessGuid, guid);
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "b", 100));
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "c", 100));
  EXPECT_EQ(ctx_->item.itemId, 2);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=3 status=stop"));
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=4 status=stop"));
  EXPECT_TRUE(server_->waitForTraffic("stopped \"obj1\""));
  EXPECT_TRUE(server_->waitForTraffic("283"));
  EXPECT_TRUE(server_->waitForTraffic("stopped \"obj2\""));
  // Each object's start and completion go to the session manager as report lines.
  EXPECT_TRUE(server_->waitForTraffic("[131:11]"));
  EXPECT_TRUE(server_->waitForTraffic("[131:19]"));

  const std::string blocks = ma_->blocks(4);
  const std::vector<ds::Record> records = StoredRecords(blocks);
  std::vector<std::uint32_t> ends;
  for (const ds::Record& r : records)
    if (const auto* e = std::get_if<ds::ItemEndRecord>(&r.body)) ends.push_back(e->itemId);
  EXPECT_EQ(ends, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST_F(BackupTest, LongItemNamesStayOutOfTheCatalogueAndExtendedAttributesFollow) {
  ASSERT_NO_FATAL_FAILURE(Start({5}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  const std::string longName(1030, 'n');
  DaItemAttr item{};
  item.fileType = kDaFileRegular;
  item.longName = longName.c_str();
  const std::uint8_t ext[5] = {'u', 's', 'e', 'r', '.'};
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, ext, sizeof ext, 0), 0);
  EXPECT_EQ(ctx_->object.longNameWarned, 1);
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "short", 10));
  // Extended attributes beyond 1024 bytes are refused before anything is written.
  std::vector<std::uint8_t> big(1025);
  DaItemAttr other{};
  other.name = "x";
  EXPECT_EQ(VEK_StartItemBackup(ctx_, &other, big.data(), 1025, 0), BAR_EPARAM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=5 status=stop"));

  const std::string blocks = ma_->blocks(5);
  const std::vector<ds::Record> records = StoredRecords(blocks);
  ASSERT_GE(records.size(), 5u);
  EXPECT_EQ(records[1].type, static_cast<std::uint32_t>(ds::RecordType::kAttributeNoCatalog));
  const auto* attr = std::get_if<ds::AttributeRecord>(&records[1].body);
  ASSERT_NE(attr, nullptr);
  EXPECT_EQ(attr->name, longName);
  EXPECT_EQ(records[2].type, static_cast<std::uint32_t>(ds::RecordType::kSystem));
  EXPECT_EQ(records[2].format, 22u);
  EXPECT_EQ(records[2].length, 64u + sizeof ext);
  const auto* sys = std::get_if<ds::SystemRecord>(&records[2].body);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->kind, 0u);  // the item id
  EXPECT_EQ(sys->dataLength, sizeof ext);
  EXPECT_EQ(sys->dataOffset, 64u);
  EXPECT_EQ(std::vector<std::uint8_t>(sys->data.begin(), sys->data.end()),
            (std::vector<std::uint8_t>{'u', 's', 'e', 'r', '.'}));
  EXPECT_EQ(records[4].type, static_cast<std::uint32_t>(ds::RecordType::kAttribute));
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST_F(BackupTest, ExtendedAttributeRecordLayout) {
  std::vector<std::uint8_t> rec(72, 0xEE);
  const std::uint8_t ext[3] = {1, 2, 3};
  ASSERT_EQ(VEK_SetDAExtAttrRec(rec.data(), 67, 9, ext, 3), 1);
  std::vector<std::uint8_t> expected = {
      0xAA, 0xAA, 0xAA, 0xAA, 2,    0,    0,  0,
      22,   0,    0,    0,    0xEA, 0x03, 0,  0,  // magic type format version
      0,    0,    0,    0,    67,   0,    0,  0,
      0,    0,    0,    0,    0,    0,    0,  0,   // no stream: seq 0; length
      9,    0,    0,    0,    3,    0,    64, 0};  // item id, size, offset
  expected.resize(64, 0);
  expected.insert(expected.end(), {1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
  EXPECT_EQ(rec, expected);
  EXPECT_EQ(VEK_SetDAExtAttrRec(rec.data(), 66, 9, ext, 3), 0);
}

TEST_F(BackupTest, FlushFailureAtObjectEndAbortsTheObject) {
  ASSERT_NO_FATAL_FAILURE(Start({6}, {"abort-at=0"}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "a", 100));
  EXPECT_EQ(VEK_EndObjectBackup(ctx_, 0), BAR_ECOMM);
  EXPECT_TRUE(server_->waitForTraffic("aborted \"obj\" code 2"));
  EXPECT_NE(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
}

TEST_F(BackupTest, CallOrderAndArgumentsAreCheckedBeforeAnythingChanges) {
  ASSERT_NO_FATAL_FAILURE(Start({8}));
  // The object end in session mode changes nothing.
  EXPECT_EQ(VEK_EndObjectBackup(ctx_, 0), BAR_ESEQUENCE);
  EXPECT_EQ(ctx_->mode, BAR_MODE_BACKUP);
  EXPECT_NE(ctx_->session.smHandle, kIpcNoHandle);
  EXPECT_EQ(VEK_StartObjectBackupEx(ctx_, 28, "obj", nullptr, nullptr), BAR_EPARAM);
  EXPECT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "", nullptr, nullptr), BAR_EPARAM);
  ObjectBackupOptions o{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  const std::string longRes(256, 'r');
  o.resType = longRes.c_str();
  EXPECT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, &o), BAR_EPARAM);
  std::uint8_t byte = 0;
  EXPECT_EQ(VEK_WriteItemData(ctx_, &byte, 1), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
  const std::string longList(256, 'l');
  EXPECT_EQ(VEK_StartBackup(ctx_, longList.c_str()), BAR_EPARAM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_IDLE);
  EXPECT_EQ(ctx_->session.smHandle, kIpcNoHandle);
}

TEST_F(BackupTest, NoDataBackupTypesOpenNoDataPath) {
  ASSERT_NO_FATAL_FAILURE(Start({9}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 15, "obj", nullptr, nullptr), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_BACKUP);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
  EXPECT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_EQ(ma_->blocks(9), "");
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST(BackupDescription, CutToRoomThenBackToTheLastBreakOrBlank) {
  char crlf[] = "-backupId \"1\" a\rb\nc d";
  int trimmed = 0;
  EXPECT_EQ(BarCutDescription(crlf, 20, &trimmed), 15);
  EXPECT_STREQ(crlf, "-backupId \"1\" a");
  EXPECT_EQ(trimmed, 1);
  char lf[] = "abc\ndef ghi";
  EXPECT_EQ(BarCutDescription(lf, 9, &trimmed), 3);
  EXPECT_STREQ(lf, "abc");
  char blank[] = "abc def ghi";
  EXPECT_EQ(BarCutDescription(blank, 9, &trimmed), 7);
  EXPECT_STREQ(blank, "abc def");
  char none[] = "abcdefghij";
  EXPECT_EQ(BarCutDescription(none, 4, &trimmed), 4);
  EXPECT_STREQ(none, "abcd");
  EXPECT_EQ(trimmed, 0);
  char fits[] = "abc def";
  EXPECT_EQ(BarCutDescription(fits, 7, &trimmed), 7);
  EXPECT_STREQ(fits, "abc def");
}

TEST_F(BackupTest, ZeroCopyChecksComeFirstAndARemoteAgentGetsACopy) {
  ASSERT_NO_FATAL_FAILURE(Start({10}));
  std::vector<char> shm(4096);
  // Checked before anything else, also before the remote fallback.
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, shm.data(), 200, 4096, 10), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_StartObjectBackup(ctx_, 5, "", "/db", 1, "/db", nullptr, 1, nullptr, nullptr), 0);
  const std::string expectedName = std::string("05 ") + cmnHostname + ":/db // DB2";
  EXPECT_STREQ(ctx_->object.objName, expectedName.c_str());
  DaItemAttr item{};
  item.name = "log";
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, nullptr, 200, 4096, 10), BAR_EPARAM);
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 0, shm.data(), 200, 4096, 10), BAR_EPARAM);
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, shm.data(), -1, 4096, 10), BAR_EPARAM);
  ctx_->object.maLocal = 0;  // as if the agent ran elsewhere
  const std::vector<std::uint8_t> payload = Payload(10);
  std::memcpy(shm.data() + 200, payload.data(), payload.size());
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, nullptr, 200, 4096, 10), BAR_EPARAM);
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, shm.data(), 200, 4096, -1), BAR_EPARAM);
  // A remote agent has no segment: the key and its size are not asked for.
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 0, shm.data(), 200, 0, 4), 4);
  EXPECT_EQ(VEK_WriteItemData_NMC(ctx_, 1, shm.data(), 204, 4096, 6), 6);
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=10 status=stop"));
  const std::string blocks = ma_->blocks(10);
  std::vector<std::uint8_t> data;
  for (const ds::Record& r : StoredRecords(blocks))
    if (const auto* d = std::get_if<ds::DataRecord>(&r.body)) {
      EXPECT_EQ(d->transformId, 0u);
      data.insert(data.end(), d->data.begin(), d->data.end());
    }
  EXPECT_EQ(data, payload);
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST_F(BackupTest, LongExternalOptionsAreCutInTheStartRecord) {
  ASSERT_NO_FATAL_FAILURE(Start({11}));
  std::string ext;
  while (ext.size() < 3000) ext += "key=value ";
  ObjectBackupOptions o{1, ext.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr};
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, &o), 0);
  const int room = ctx_->object.maBlockSize - kBarDescriptionReserve;
  ASSERT_GT(room, 0);
  std::string expected = std::string("-backupId \"") + ctx_->session.sessId +
                         "\"  -baropt \"external = {" + ext + "};\"";
  expected.resize(static_cast<std::size_t>(room));
  expected.resize(expected.rfind(' '));
  ASSERT_NO_FATAL_FAILURE(BackUpItem(ctx_, "a", 10));
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=11 status=stop"));
  const std::string blocks = ma_->blocks(11);
  const std::vector<ds::Record> records = StoredRecords(blocks);
  ASSERT_FALSE(records.empty());
  const auto* start = std::get_if<ds::StartRecord>(&records.front().body);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->objectDescription, expected);
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

// Hands out the payload in pieces of at most 3000 bytes.
struct Feed {
  std::vector<std::uint8_t> bytes;
  std::size_t at = 0;
  int fail = 0;
} feed;

int ReadFeed(void* buffer, int room, void*) {
  if (feed.fail != 0) return -1;
  const std::size_t n =
      std::min({feed.bytes.size() - feed.at, static_cast<std::size_t>(room), std::size_t{3000}});
  std::memcpy(buffer, feed.bytes.data() + feed.at, n);
  feed.at += n;
  return static_cast<int>(n);
}

TEST_F(BackupTest, PullThroughItemDataAndAFailingCallback) {
  ASSERT_NO_FATAL_FAILURE(Start({12}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  EXPECT_EQ(VEK_BackupItemCB(ctx_, ReadFeed), BAR_ESEQUENCE);
  DaItemAttr item{};
  item.name = "cb";
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  EXPECT_EQ(VEK_BackupItemCB(ctx_, nullptr), BAR_EPARAM);
  feed = Feed{Payload(9000)};
  ASSERT_EQ(VEK_BackupItemCB(ctx_, ReadFeed), 0);
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  item.name = "broken";
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  feed.fail = 1;
  EXPECT_EQ(VEK_BackupItemCB(ctx_, ReadFeed), BAR_ECOMM);
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 1), 0);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=12 status=stop"));
  const std::string blocks = ma_->blocks(12);
  std::vector<std::uint8_t> data;
  for (const ds::Record& r : StoredRecords(blocks))
    if (const auto* d = std::get_if<ds::DataRecord>(&r.body)) {
      EXPECT_EQ(d->itemId, 0u);
      EXPECT_EQ(d->itemOffset(), data.size());
      data.insert(data.end(), d->data.begin(), d->data.end());
    }
  EXPECT_EQ(data, Payload(9000));
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST_F(BackupTest, FailedStartRecordEndsTheDataPathBeforeTheAbort) {
  // A start record that cannot fit the agent's small blocks.
  ASSERT_NO_FATAL_FAILURE(Start({13}, {}, 1024));
  const std::string name(1100, 'o');
  EXPECT_EQ(VEK_StartObjectBackupEx(ctx_, 1, name.c_str(), nullptr, nullptr), BAR_ECOMM);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
  EXPECT_EQ(ctx_->object.codecs.codecsStarted, 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_BACKUP);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=13 status=abort"));
  EXPECT_TRUE(server_->waitForTraffic("code -2"));
}

TEST_F(BackupTest, PullThroughDataIsCompressedWhileCompressionRuns) {
  ASSERT_NO_FATAL_FAILURE(Start({14}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  // Objects are never offered compression; start it as a caller of the
  // codec layer would.
  ctx_->object.codecs.compress = 1;
  ASSERT_EQ(VEK_InitCompression(ctx_), 0);
  ctx_->object.codecs.codecsStarted |= kBarCodecCompression;
  DaItemAttr item{};
  item.name = "cb";
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  feed = Feed{std::vector<std::uint8_t>(20000, 'z')};
  ASSERT_EQ(VEK_BackupItemCB(ctx_, ReadFeed), 0);
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  const std::uint32_t id = static_cast<std::uint32_t>(ctx_->object.codecs.compressionId);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=14 status=stop"));
  const std::string blocks = ma_->blocks(14);
  std::size_t stored = 0;
  for (const ds::Record& r : StoredRecords(blocks))
    if (const auto* d = std::get_if<ds::DataRecord>(&r.body)) {
      EXPECT_EQ(d->compressionId, id);
      stored += d->data.size();
    }
  EXPECT_GT(stored, 0u);
  EXPECT_LT(stored, 20000u);
  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
}

TEST_F(BackupTest, ReleasingTheContextMidItemAbortsTheStream) {
  ASSERT_NO_FATAL_FAILURE(Start({15}));
  ASSERT_EQ(VEK_StartObjectBackupEx(ctx_, 1, "obj", nullptr, nullptr), 0);
  DaItemAttr item{};
  item.name = "a";
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  const std::vector<std::uint8_t> payload = Payload(100);
  ASSERT_EQ(VEK_WriteItemData(ctx_, payload.data(), 100), 100);
  EXPECT_EQ(VEK_Exit(ctx_), BAR_ESEQUENCE);
  EXPECT_EQ(RmGetBlockWriter(), nullptr);
  EXPECT_TRUE(ma_->waitForEvent("STREAM_END da=15 status=abort"));
  EXPECT_TRUE(server_->waitForTraffic("aborted \"obj\" code 8003"));
}

TEST(BackupTypeText, NamesComeFromTheApplicationTypesTable) {
  BarContext ctx{};
  const struct {
    const char* appType;
    int type;
    const char* text;
  } cases[] = {
      {"DB2", 0, "-full"},         {"DB2", 10, "-incr"},
      {"db2", 26, "-delta"},       {"DB2", 1, "<unknown>"},
      {"DB2", 28, "<unknown>"},    {"DB2", -1, "<unknown>"},
      {"Oracle8", 3, "-or8incr3"}, {"SAPDB", 18, "trans"},
      {"VEK", 0, "<unknown>"},     {"NoSuchType", 0, "<unknown>"},
      {"", 0, "<unknown>"},
  };
  for (const auto& c : cases) {
    std::strcpy(ctx.appType, c.appType);
    EXPECT_STREQ(VEK_BackupTypeToText(&ctx, c.type), c.text) << c.appType << " " << c.type;
  }
  ASSERT_EQ(VEK_GetContext(), nullptr);
  EXPECT_STREQ(VEK_BackupTypeToText(nullptr, 0), "<unknown>");
}

}  // namespace

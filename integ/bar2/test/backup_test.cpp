// Backup sessions end to end against the stand-in cell server, session
// manager and media agent: the stored records of an object, two objects in
// one session, long item names, extended attributes, a failed flush at
// object end, the call order and the description cut.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barimpl.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "codec/dastream.h"
#include "dacmn/bm.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"
#include "vekdf/daformat.h"

TARN_RCSID("integ/bar2/test/backup_test.cpp");

namespace {

namespace ds = tarn::standin::dastream;
using tarn::test::MediaAgentStandIn;

constexpr std::uint32_t kCapacity = 4096;

std::vector<std::string> Small(std::vector<std::string> faults = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--transfer",    "shm"};
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
      if (ctx->smHandle != kIpcNoHandle) IpcCloseConnection(ctx->smHandle);
      ctx->smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    DaSetReconnectPort(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
    unsetenv("VEKSHUTDOWNTIMEOUT");
  }

  // Starts the media agent and the cell server, whose session manager
  // answers the object requests with `connects` (one "-daid <n>" each).
  void Start(std::vector<int> daIds, std::vector<std::string> maFaults = {}) {
    ma_ = std::make_unique<MediaAgentStandIn>(MediaAgentStandIn::Options{.args = Small(maFaults)});
    ASSERT_TRUE(ma_->ready());
    std::string fixture;
    for (int da : daIds)
      fixture += "baropt connect -ma 127.0.0.1 " + std::to_string(ma_->port()) + " -daid " +
                 std::to_string(da) + "\n";
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
  EXPECT_EQ(ctx_->daId, 7);

  DaItemAttr item{};
  item.fileType = kDaFileRegular;
  item.name = "image.001";
  const std::vector<std::uint8_t> payload = Payload(10000);
  item.size = payload.size();
  ASSERT_EQ(VEK_StartItemBackup(ctx_, &item, nullptr, 0, 0), 0);
  // Odd pieces: records are filled across calls and the last stays pending.
  std::size_t done = 0;
  for (std::size_t piece : {1u, 999u, 5000u, 4000u}) {
    ASSERT_EQ(VEK_WriteItemData(ctx_, payload.data() + done, static_cast<int>(piece)),
              static_cast<int>(piece));
    done += piece;
  }
  ASSERT_EQ(VEK_EndItemBackup(ctx_, 0), 0);
  EXPECT_EQ(ctx_->itemId, 1);
  ASSERT_EQ(VEK_EndObjectBackup(ctx_, 0), 0);
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
  for (std::size_t s = 0; s < records.size(); ++s) EXPECT_EQ(records[s].sequence, s);

  EXPECT_EQ(VEK_EndBackup(ctx_, 0), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_IDLE);
  EXPECT_EQ(ctx_->sessGuid[0], '\0');
}

}  // namespace

// The restore buffer manager against the stand-in media agent on this host:
// a stream stored by the backup buffer manager comes back record for record
// and byte for byte, in any section; each restore-side fault of the agent
// ends in a failure with a report (an exact duplicate block is skipped); the
// next object reopens the stream; and the session manager's messages.
#include "dacmn/rbm.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/nlspack.h"
#include "cmn/strmsg.h"
#include "dacmn/bdanet.h"  // MSG_CLOSE
#include "dacmn/bm.h"
#include "dacmn/daimpl.h"
#include "dacmn_test_util.h"
#include "dastream_test_util.h"
#include "ipc/ipcasync.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"

namespace {

using datest::Msg;
using datest::Packet;
using datest::PeerLink;
using datest::ScriptedAgent;
using tarn::test::MediaAgentStandIn;
using Bytes = std::vector<std::uint8_t>;

constexpr int kDa = 7;
constexpr std::uint32_t kCapacity = 4096;

std::vector<std::string> Small(std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4",
                                   "--transfer",    "shm"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> Faults(std::vector<std::string> faults) {
  std::vector<std::string> args;
  for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
  return Small(args);
}

Bytes Payload(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * seed + i / 251);
  return bytes;
}

// The object the tests back up: two items, the first spread over many more
// blocks than the agent has buffers.
const std::vector<Bytes>& Items() {
  static const std::vector<Bytes> items = {Payload(60000, 7), Payload(3000, 13)};
  return items;
}

// The stored stream's records in host order, read from the agent's blocks
// file without any buffer manager.
std::vector<Bytes> StoredRecords(const MediaAgentStandIn& ma) {
  const std::string blocks = ma.blocks(kDa);
  Bytes all(blocks.begin(), blocks.end());
  RbmCheckState state;
  DaBlockReader reader(state);
  std::vector<Bytes> records;
  for (std::size_t at = 0; at + kCapacity <= all.size(); at += kCapacity) {
    EXPECT_GT(reader.Open(std::span(all).subspan(at, kCapacity)), 0);
    std::span<std::uint8_t> record;
    while (reader.Next(&record) == 1) records.emplace_back(record.begin(), record.end());
  }
  return records;
}

std::uint32_t Type(const Bytes& record) {
  DaRecHeader header;
  std::memcpy(&header, record.data(), sizeof header);
  return header.type;
}

// Records through RbmRead up to the end record or the first null.
std::vector<Bytes> ReadAll(bool* failed) {
  std::vector<Bytes> records;
  *failed = false;
  for (;;) {
    const std::uint8_t* record = RbmRead();
    if (record == nullptr) {
      *failed = true;
      break;
    }
    DaRecHeader header;
    std::memcpy(&header, record, sizeof header);
    records.emplace_back(record, record + header.length);
    if (header.type == DA_REC_END) break;
  }
  return records;
}

// The data of each item, gathered from the data records.
std::vector<Bytes> ItemData(std::vector<Bytes> records) {
  std::vector<Bytes> items;
  for (Bytes& record : records) {
    DaDataView view{};
    if (Type(record) != DA_REC_OBJ_DATA || !DaViewData(record, &view)) continue;
    if (items.size() < view.itemId) items.resize(view.itemId);
    Bytes& item = items[view.itemId - 1];
    EXPECT_EQ(view.offset, item.size());
    item.insert(item.end(), view.data.begin(), view.data.end());
  }
  return items;
}

std::vector<std::string> reports;
void CaptureReport(const char* text) {
  char* expanded = NlsFormatPackedMessage(text);
  reports.emplace_back(expanded != nullptr ? expanded : text);
  safe_free(expanded, "rbm_test", 0);
}

class RbmTest : public datest::DaTest {
 protected:
  void SetUp() override {
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("rbmtest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    DaTest::SetUp();
    unsetenv("VEKBDANET");
    unsetenv("VEKRDANET");
    ErhSetHooks(&savedHooks_, CaptureReport, CaptureReport);
    reports.clear();
  }
  void TearDown() override {
    RbmExit(1);
    BmExit(1);
    ErhSetHooks(nullptr, savedHooks_.report, savedHooks_.console);
    DaTest::TearDown();
  }

  // Backs the object up to `ma` and returns the stored records.
  static std::vector<Bytes> BackUp(const MediaAgentStandIn& ma) {
    EXPECT_EQ(BmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, kIpcNoHandle, nullptr, kDa,
                     "127.0.0.1", ma.port(), nullptr, 1.0, nullptr, nullptr, nullptr),
              1);
    EXPECT_TRUE(datest::WriteItems(kDa, Items()));
    EXPECT_EQ(BmFlush(), 1);
    EXPECT_EQ(BmExit(1), 1);
    EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
    return StoredRecords(ma);
  }
  static int Open(int port, IpcHandle sm = kIpcNoHandle, char* smBuffer = nullptr) {
    return RbmInit(nullptr, nullptr, nullptr, nullptr, 0, 0, sm, smBuffer, kDa, "127.0.0.1", port,
                   nullptr, 1.0);
  }
  static bool Reported(const std::string& text) {
    for (const std::string& report : reports) {
      if (report.find(text) != std::string::npos) return true;
    }
    return false;
  }

  tarn::test::Watchdog watchdog_{60};
  ErhHooks savedHooks_{};
};

// The stored stream, and a restore through `args`'s agent over the same store.
class RbmStoreTest : public RbmTest {
 protected:
  void SetUp() override {
    RbmTest::SetUp();
    MediaAgentStandIn ma({.args = Small(), .storeDir = store_.path() + "/s"});
    ASSERT_TRUE(ma.ready());
    stored_ = BackUp(ma);
    ASSERT_GT(stored_.size(), 20u);
    const std::string blocks = ma.blocks(kDa);
    for (std::size_t at = 0; at + kCapacity <= blocks.size(); at += kCapacity) {
      blocks_.emplace_back(blocks.begin() + at, blocks.begin() + at + kCapacity);
    }
  }
  std::unique_ptr<MediaAgentStandIn> Agent(std::vector<std::string> args) {
    auto ma = std::make_unique<MediaAgentStandIn>(
        MediaAgentStandIn::Options{.args = std::move(args), .storeDir = store_.path() + "/s"});
    EXPECT_TRUE(ma->ready());
    return ma;
  }

  tarn::test::TempDir store_;
  std::vector<Bytes> stored_;
  std::vector<Bytes> blocks_;  // as stored, in network order
};

TEST_F(RbmTest, LocalRestoreGivesBackEveryRecordAndByteInAnySection) {
  for (const char* section : {"0", "2"}) {
    SCOPED_TRACE(section);
    MediaAgentStandIn ma({.args = Small({"--section", section})});
    ASSERT_TRUE(ma.ready());
    const std::vector<Bytes> stored = BackUp(ma);
    ASSERT_EQ(Type(stored.front()), DA_REC_START);
    ASSERT_EQ(Open(ma.port()), 1);
    EXPECT_EQ(RdaGetContext()->shm.shmemSection, std::atoi(section));
    bool failed = true;
    const std::vector<Bytes> got = ReadAll(&failed);
    EXPECT_FALSE(failed);
    EXPECT_EQ(got, stored);
    EXPECT_EQ(ItemData(got), Items());
    EXPECT_EQ(RbmExit(0), 1);
    EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
    EXPECT_EQ(RbmRead(), nullptr);
    EXPECT_TRUE(ma.waitForTraffic("stop"));
  }
}

// Another link of the process with input waiting (the catalogue session of
// a vendor-library restore, say) neither disturbs the stream nor is read.
TEST_F(RbmStoreTest, AStrayReadableHandleDoesNotDisturbTheStream) {
  const auto ma = Agent(Small());
  PeerLink stray;
  stray.Send(Msg({"24", "9"}));
  ASSERT_EQ(Open(ma->port()), 1);
  bool failed = true;
  EXPECT_EQ(ReadAll(&failed), stored_);
  EXPECT_EQ(RbmExit(0), 1);
  EXPECT_EQ(IpcWaitForIpcEventOnHandle(stray.handle(), 0), 9);
}

// Every restore-side damage the agent can do ends the read with a report;
// nothing of the damaged block is handed out as data.
TEST_F(RbmStoreTest, DamagedOrMissingBlocksFailTheReadWithAReport) {
  const char* const faults[] = {
      "truncate=5",
      "bad-buffer=3",
      "corrupt=3:magic",
      "corrupt=3:used",
      "corrupt=3:record-length",
      "corrupt=3:record-type",
  };
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    reports.clear();
    const auto ma = Agent(Faults({fault}));
    std::vector<Bytes> got;
    bool failed = true;
    if (Open(ma->port()) == 1) got = ReadAll(&failed);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(reports.empty());
    ASSERT_LE(got.size(), stored_.size());
    // What came before the damage is the stream's own.
    EXPECT_TRUE(std::equal(got.begin(), got.end(), stored_.begin()));
    EXPECT_EQ(RbmExit(1), 0);
  }
}

// A length inside a record's body is the record view's to check: the record
// comes out, and its view refuses it.
TEST_F(RbmStoreTest, DamagedBodyLengthsAreRefusedByTheRecordViews) {
  for (const char* fault : {"corrupt=3:data-length", "corrupt=0:string-length"}) {
    SCOPED_TRACE(fault);
    const auto ma = Agent(Faults({fault}));
    ASSERT_EQ(Open(ma->port()), 1);
    bool failed = true;
    std::vector<Bytes> got = ReadAll(&failed);
    ASSERT_EQ(got.size(), stored_.size());
    std::size_t damaged = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (got[i] == stored_[i]) continue;
      ++damaged;
      if (Type(got[i]) == DA_REC_OBJ_DATA) {
        DaDataView view{};
        EXPECT_FALSE(DaViewData(got[i], &view));
      } else {
        DaStartView view{};
        EXPECT_EQ(Type(got[i]), DA_REC_START);
        EXPECT_FALSE(DaViewStart(got[i], &view));
      }
    }
    EXPECT_EQ(damaged, 1u);
    EXPECT_EQ(RbmExit(0), 1);
  }
}

TEST_F(RbmStoreTest, ABlockDeliveredTwiceIsSkipped) {
  const auto ma = Agent(Faults({"duplicate=2"}));
  ASSERT_EQ(Open(ma->port()), 1);
  bool failed = true;
  EXPECT_EQ(ReadAll(&failed), stored_);
  EXPECT_FALSE(failed);
  EXPECT_EQ(RbmExit(0), 1);
}

TEST_F(RbmStoreTest, ResetOpensTheStreamAgainForTheNextObject) {
  const auto ma = Agent(Small());
  ASSERT_EQ(Open(ma->port()), 1);
  bool failed = true;
  // The first object is left half read: its buffers go with it.
  for (int i = 0; i < 10; ++i) ASSERT_NE(RbmRead(), nullptr);
  ASSERT_EQ(RbmReset(), 1);
  EXPECT_EQ(ReadAll(&failed), stored_);
  ASSERT_EQ(RbmReset(), 1);
  EXPECT_EQ(ReadAll(&failed), stored_);
  EXPECT_FALSE(failed);
  EXPECT_EQ(RbmExit(0), 1);
}

// With a session manager the reset waits for its MSG_RESUME.
TEST_F(RbmStoreTest, ResetWithASessionManagerWaitsForItsResume) {
  const auto ma = Agent(Small());
  PeerLink sm;
  std::vector<char> smBuffer(kDaSmBufferSize);
  ASSERT_EQ(Open(ma->port(), sm.handle(), smBuffer.data()), 1);
  sm.Send(Msg({"44"}));
  ASSERT_EQ(RbmReset(), 1);
  EXPECT_EQ(sm.Written(), Packet(Msg({"41"})));
  bool failed = true;
  EXPECT_EQ(ReadAll(&failed), stored_);
  // Anything but MSG_RESUME fails the reset.
  sm.Send(Msg({"6"}));
  EXPECT_EQ(RbmReset(), 0);
}

// MSG_STOP from the session manager while data is still to come ends the
// restore as failed; so does its abort.
TEST_F(RbmStoreTest, SessionManagerStopOrAbortDuringARestoreFailsTheRead) {
  for (const char* code : {"6", "1"}) {
    SCOPED_TRACE(code);
    const auto ma = Agent(Faults({"delay=300"}));
    PeerLink sm;
    ASSERT_EQ(Open(ma->port(), sm.handle()), 1);
    sm.Send(Msg({code}));
    bool failed = false;
    const std::vector<Bytes> got = ReadAll(&failed);
    EXPECT_TRUE(failed);
    EXPECT_LT(got.size(), stored_.size());
    EXPECT_EQ(RdaState(), RBM_FAILED);
    EXPECT_EQ(RbmExit(1), 0);
  }
  const auto ma = Agent(Faults({"delay=300"}));
  PeerLink sm;
  ASSERT_EQ(Open(ma->port(), sm.handle()), 1);
  sm.ClosePeer();
  bool failed = false;
  ReadAll(&failed);
  EXPECT_TRUE(failed);
  EXPECT_EQ(RbmExit(1), 0);
}

// ---------------------------------------------------------------- scripted local agent

// A local agent played by the test over a segment of the test's own, with
// the stored blocks in buffers 0 to 3.
class RbmScriptTest : public RbmStoreTest {
 protected:
  void SetUp() override {
    RbmStoreTest::SetUp();
    ASSERT_NE(segment_.base(), nullptr);
    Fill();
  }
  // Blocks are read in place (and turned to host order there), so an agent
  // fills its buffers again for every stream.
  void Fill() {
    for (std::size_t id = 0; id < 4; ++id) {
      std::memcpy(segment_.base() + id * kCapacity, blocks_[id].data(), kCapacity);
    }
  }
  std::string Description() const {
    return Msg({"10", "0", std::to_string(segment_.key()), "0", "4096", "4", "16384", "0"});
  }

  datest::TestSegment segment_{4 * static_cast<int>(kCapacity)};
};

// The block in hand goes back before the stop or the abort.
TEST_F(RbmScriptTest, ExitAcknowledgesTheBlockInHandFirst) {
  for (const int abortCode : {0, 1}) {
    SCOPED_TRACE(abortCode);
    Fill();
    ScriptedAgent agent({Description(), Msg({"24", "0"}), Msg({"24", "1"})});
    ASSERT_EQ(Open(agent.port()), 1) << testing::PrintToString(reports);
    EXPECT_EQ(RbmExit(abortCode), abortCode == 0 ? 1 : 0);
    EXPECT_EQ(agent.received(), Packet(Msg({"27", "7"})) + Packet(Msg({"24", "7", "0"})) +
                                    Packet(Msg({abortCode == 0 ? "6" : "1"})));
  }
}

// Only a buffer of the stream that is neither queued nor in hand may be
// announced: anything else could be refilled while it is read.
TEST_F(RbmScriptTest, AnnouncementsOfBuffersOutOfRangeOrTwiceFailTheStream) {
  struct Case {
    std::vector<std::string> announced;
    const char* report;
  };
  const Case cases[] = {
      {{"0", "0"}, "buffer announced twice: 0"},
      {{"0", "1", "2", "1"}, "buffer announced twice: 1"},
      {{"4"}, "announced buffer out of range: 4"},
      {{"-1"}, "announced buffer out of range: -1"},
      {{"1x"}, "announced buffer out of range: 1x"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.report);
    reports.clear();
    std::vector<std::string> script = {Description()};
    for (const std::string& id : k.announced) script.push_back(Msg({"24", id}));
    ScriptedAgent agent(script);
    EXPECT_EQ(Open(agent.port()), 0);
    EXPECT_TRUE(Reported(k.report)) << testing::PrintToString(reports);
    // Nothing was read, so nothing is acknowledged: the stream is aborted.
    EXPECT_EQ(agent.received(), Packet(Msg({"27", "7"})) + Packet(Msg({"1"})));
    EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
  }
}

// A stored stream that ends early leaves the agent with nothing to send:
// after the bound without a filled buffer the read fails with a report, and
// what came before is the stream's own.
TEST_F(RbmScriptTest, AStreamThatStopsComingFailsTheReadAtTheBound) {
  const int previous = dacmn_detail::DaSetPeerWaitSeconds(1);
  ScriptedAgent agent({Description(), Msg({"24", "0"}), Msg({"24", "1"})});
  ASSERT_EQ(Open(agent.port()), 1);
  bool failed = false;
  const std::vector<Bytes> got = ReadAll(&failed);
  dacmn_detail::DaSetPeerWaitSeconds(previous);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(Reported("Waiting for data failed: nothing received for 1 seconds"))
      << testing::PrintToString(reports);
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), stored_.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), stored_.begin()));
  EXPECT_EQ(RbmExit(1), 0);
}

TEST(RbmListen, TheSixItemsAreReadInOrder) {
  const std::string text = Msg({"10", "1234", "32768", "1", "4", "4096", "20"});
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrParseStartNL(&msg, text.data(), text.size()), 10);
  BmShmDescription d{};
  EXPECT_EQ(DaParseListen(&msg, &d), nullptr);
  EXPECT_EQ(d.key, 1234);
  EXPECT_EQ(d.shmSize, 32768);
  EXPECT_EQ(d.section, 1);
  EXPECT_EQ(d.bufNum, 4);
  EXPECT_EQ(d.bufSize, 4096);
  EXPECT_EQ(d.bufOffset, 20);
  EXPECT_EQ(d.address, 0u);
  EXPECT_EQ(BmCheckShmDescription(d, DA_RESTORE), nullptr);
  for (const std::string& bad : {Msg({"10", "1234", "32768", "1", "4", "4096"}),
                                 Msg({"10", "1234", "32768", "one", "4", "4096", "20"})}) {
    ASSERT_EQ(StrParseStartNL(&msg, bad.data(), bad.size()), 10);
    EXPECT_STREQ(DaParseListen(&msg, &d), "malformed MSG_LISTEN");
  }
  StrMsgFreeL(&msg);
}

// ---------------------------------------------------------------- network process

// What the scripted network process serves; the forked child sees the
// parent's copy as it was at the fork.
struct NetScript {
  std::vector<Bytes> blocks;
  int section = 0;
  int count = 4;
  int announceTwice = -1;  // block whose buffer is announced a second time
};
NetScript script;

// The restore network process as its parent sees it over the pipe: MSG_LISTEN
// with the six items of a segment of its own (its buffers from the start), MSG_DATA with the id of
// each buffer filled, buffers used again once the parent's MSG_DATA (exactly "24 7 <id>") returns
// them, MSG_CLOSE and a bare MSG_OPEN for the next object, and MSG_STOP answered with MSG_STOP only
// when every buffer came back (else MSG_ABORT).
void SendNet(IpcHandle pipe, int code, const std::vector<std::string>& items = {}) {
  StrMsg* out = IpcGetStrMsg(pipe);
  if (out == nullptr || StrMsgStartExL(out, nullptr, 0, code, 0) != 0) RdaNetExit(3);
  for (const std::string& item : items) {
    if (StrMsgFAppendL(out, "%s", item.c_str()) != 0) RdaNetExit(3);
  }
  if (IpcSendStrMsg(pipe) <= 0) RdaNetExit(3);
}

// A segment of the process's own, announced with MSG_LISTEN; null when the
// process has ended.
void* Listen(IpcHandle pipe) {
  const int size = static_cast<int>(kCapacity);
  const int shmSize = size * script.count * (script.section + 1);
  void* base = nullptr;
  if (IpcAllocShmem(pipe, &base, shmSize) != 0) RdaNetExit(2);
  SendNet(
      pipe, MSG_LISTEN,
      {std::to_string(IpcGetShmemKey(pipe)), std::to_string(shmSize),
       std::to_string(script.section), std::to_string(script.count), std::to_string(size), "0"});
  return base;
}

void ScriptedNetMain() {
  const IpcHandle pipe = MaIpcHandle();
  void* base = Listen(pipe);
  std::deque<int> free;
  for (int id = 0; id < script.count; ++id) free.push_back(id);
  std::size_t next = 0;
  for (;;) {
    while (base != nullptr && next < script.blocks.size() && !free.empty()) {
      const int id = free.front();
      free.pop_front();
      // Restore buffers lie at the segment's start, whatever the section.
      const std::size_t start = std::size_t(kCapacity) * std::size_t(id);
      std::memcpy(static_cast<char*>(base) + start, script.blocks[next].data(), kCapacity);
      SendNet(pipe, MSG_DATA, {std::to_string(id)});
      if (static_cast<int>(next) == script.announceTwice) {
        SendNet(pipe, MSG_DATA, {std::to_string(id)});
      }
      ++next;
    }
    const int length = IpcReceiveData(pipe, nullptr, 0);
    if (length <= 0) RdaNetExit(3);
    StrMsg* in = IpcGetReceiveStrMsg(pipe);
    const std::string text(StrMsgGetBufL(in), static_cast<std::size_t>(length));
    switch (StrParseStartL(in, nullptr)) {
      case MSG_DATA: {
        StrParseNextL(in);
        const char* id = StrParseNextL(in);
        if (id == nullptr || text != Msg({"24", "7", id})) RdaNetExit(3);
        free.push_back(std::atoi(id));
        break;
      }
      case MSG_CLOSE:
        // The object ends: its buffers, wherever they are, go with the segment,
        // which the parent marked for removal once it had attached it.
        if (IpcDetachShmem(pipe) != 0) RdaNetExit(2);
        base = nullptr;
        break;
      case MSG_OPEN:
        if (base != nullptr || text != Msg({"27"})) RdaNetExit(3);
        base = Listen(pipe);
        free.clear();
        for (int id = 0; id < script.count; ++id) free.push_back(id);
        next = 0;
        break;
      case MSG_STOP:
        if (static_cast<int>(free.size()) != script.count) {
          SendNet(pipe, MSG_ABORT);
          RdaNetExit(1);
        }
        SendNet(pipe, MSG_STOP);
        RdaNetExit(0);
        break;
      default: RdaNetExit(1);
    }
  }
}

class RbmNetTest : public RbmStoreTest {
 protected:
  void SetUp() override {
    RbmStoreTest::SetUp();
    setenv("VEKRDANET", "1", 1);
    DaSetRdaNetMain(ScriptedNetMain);
    script = NetScript{};
    script.blocks = blocks_;
  }
  void TearDown() override {
    RbmStoreTest::TearDown();
    unsetenv("VEKRDANET");
  }
  // Opens through the scripted process; the segment it made is removed at the
  // end whatever happens.
  int OpenNet() {
    const int rc = Open(1);
    if (rc == 1) {
      const int id = shmget(RdaGetContext()->shm.shmemKey, 0, 0);
      if (id >= 0) guard_.segment(id);
    }
    return rc;
  }

  tarn::test::SysVGuard guard_;
};

TEST_F(RbmNetTest, ThroughANetworkProcessInAnySectionEveryRecordComesBack) {
  for (const int section : {0, 1}) {
    SCOPED_TRACE(section);
    script.section = section;
    ASSERT_EQ(OpenNet(), 1);
    EXPECT_EQ(RdaGetContext()->shm.shmemSection, section);
    bool failed = true;
    EXPECT_EQ(ReadAll(&failed), stored_);
    EXPECT_FALSE(failed);
    // The end record's block is still held: acknowledged before the stop,
    // or the process would answer MSG_ABORT.
    EXPECT_EQ(RbmExit(0), 1);
    EXPECT_EQ(RdaState(), RBM_STOPPED);
  }
}

// The next object through the same process: no MSG_OPEN with the DA id, the
// process opens the agent again itself.
TEST_F(RbmNetTest, ResetReadsTheNextObjectThroughTheSameProcess) {
  ASSERT_EQ(OpenNet(), 1);
  for (int i = 0; i < 5; ++i) ASSERT_NE(RbmRead(), nullptr);
  ASSERT_EQ(RbmReset(), 1);
  const int id = shmget(RdaGetContext()->shm.shmemKey, 0, 0);
  if (id >= 0) guard_.segment(id);
  bool failed = true;
  EXPECT_EQ(ReadAll(&failed), stored_);
  EXPECT_FALSE(failed);
  EXPECT_EQ(RbmExit(0), 1);
}

// A block with no records is acknowledged and the next one read.
TEST_F(RbmNetTest, AnEmptyBlockIsPassedOver) {
  Bytes empty(kCapacity, 0);
  std::memcpy(empty.data(), blocks_[1].data(), 32);
  const std::uint8_t used64[4] = {0, 0, 0, 64};
  std::memcpy(empty.data() + 32, used64, 4);
  script.blocks.insert(script.blocks.begin() + 1, empty);
  // The blocks behind it move one sequence number on.
  for (std::size_t i = 2; i < script.blocks.size(); ++i) {
    Bytes& block = script.blocks[i];
    block[24] = 0;
    block[25] = 0;
    block[26] = static_cast<std::uint8_t>(i >> 8);
    block[27] = static_cast<std::uint8_t>(i);
  }
  ASSERT_EQ(OpenNet(), 1);
  bool failed = true;
  EXPECT_EQ(ReadAll(&failed), stored_);
  EXPECT_EQ(RbmExit(0), 1);
}

// A buffer announced again while it is queued or read could be refilled under
// the reader: the stream fails. (Should the second announcement come only
// after the buffer was returned, the reader meets a repeated and then a
// broken sequence: a failure as well.)
TEST_F(RbmNetTest, ABufferAnnouncedTwiceFailsTheStream) {
  script.announceTwice = 0;
  std::vector<Bytes> got;
  bool failed = true;
  if (OpenNet() == 1) got = ReadAll(&failed);
  EXPECT_TRUE(failed);
  EXPECT_LT(got.size(), stored_.size());
  EXPECT_FALSE(reports.empty());
  EXPECT_EQ(RbmExit(1), 0);
}

TEST_F(RbmNetTest, ASegmentOfMoreThan64BuffersIsRefused) {
  script.count = 65;  // more than a stream may have
  EXPECT_EQ(OpenNet(), 0);
  EXPECT_EQ(MaIpcHandle(), kIpcNoHandle);
  EXPECT_TRUE(Reported("buffer count outside 1..64"));
}

}  // namespace

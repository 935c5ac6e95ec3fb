// The data path's context slots and accessors, the algorithm table, and the
// choice between a local media agent and a network process with its
// environment overrides.
#include <netinet/in.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "dacmn/dacmn.h"
#include "dacmn_test_util.h"
#include "ipc/ipchooks.h"

namespace {

std::vector<std::string> reports;
void CaptureReport(const char* text) {
  reports.emplace_back(text != nullptr ? text : "");
}

// This host is 192.0.2.1; "remote.example" lies elsewhere; "nowhere.example"
// does not resolve.
int Resolve(const char* name, std::string* official, std::vector<in_addr_t>* addresses) {
  const std::string host = name;
  if (host == "nowhere.example") return 1;
  *official = host;
  addresses->push_back(htonl(host == "remote.example" ? 0xC0000207u : 0xC0000201u));
  return 0;
}

class DaContextTest : public datest::DaTest {
 protected:
  void SetUp() override {
    DaTest::SetUp();
    unsetenv("VEKBDANET");
    unsetenv("VEKRDANET");
    IpcSetResolverFunction(Resolve);
    ErhSetHooks(&previous_, CaptureReport, nullptr);
    reports.clear();
  }
  void TearDown() override {
    ErhSetHooks(nullptr, previous_.report, previous_.console);
    IpcSetResolverFunction(nullptr);
    unsetenv("VEKBDANET");
    unsetenv("VEKRDANET");
    DaTest::TearDown();
  }
  ErhHooks previous_{};
};

TEST_F(DaContextTest, SlotsAreCreatedOnFirstUseWithTheirInitialValues) {
  for (int slot : {CMN_SLOT_RDA, CMN_SLOT_BDA, CMN_SLOT_DACMN})
    CmnFreeContextEx(pcmnMasterContext, slot);
  DacmnPtd* dacmn = DacmnGetContext();
  ASSERT_NE(dacmn, nullptr);
  EXPECT_EQ(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_DACMN), dacmn);
  EXPECT_EQ(dacmn->maIpcHandle, -1);
  EXPECT_EQ(dacmn->conIpcHandle, -1);
  EXPECT_EQ(dacmn->netIO, 0);
  BdaPtd* bda = BdaGetContext();
  ASSERT_NE(bda, nullptr);
  EXPECT_EQ(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_BDA), bda);
  EXPECT_EQ(bda->ipcAbortSwitch, 1);
  EXPECT_EQ(bda->blkPtr, nullptr);
  RdaPtd* rda = RdaGetContext();
  ASSERT_NE(rda, nullptr);
  EXPECT_EQ(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_RDA), rda);
  EXPECT_EQ(rda->shm.bufNum, 0);
  // Freeing a slot releases its queue.
  ASSERT_EQ(QueInit(&bda->freeBufQue, 8), 0);
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_BDA);
  EXPECT_EQ(BdaGetContext()->freeBufQue.entries, nullptr);
}

TEST_F(DaContextTest, Accessors) {
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_DACMN);
  EXPECT_EQ(MaIpcHandle(), -1);
  IpcHandle* con = DaConIpcHandle();
  ASSERT_NE(con, nullptr);
  EXPECT_EQ(*con, -1);
  *con = 7;
  EXPECT_EQ(DacmnGetContext()->conIpcHandle, 7);

  DaSetReconnectHost("sm.example");
  DaSetReconnectPort(5565);
  DaSetReconnectID(12);
  EXPECT_STREQ(DaGetReconnectHost(), "sm.example");
  EXPECT_EQ(DaGetReconnectPort(), 5565);
  EXPECT_EQ(DacmnGetContext()->reconnectId, 12);
  DaSetReconnectHost(std::string(100, 'h').c_str());
  EXPECT_EQ(std::string(DaGetReconnectHost()), std::string(kDaHostSize - 1, 'h'));
  DaSetReconnectHost(nullptr);
  EXPECT_STREQ(DaGetReconnectHost(), "");
}

TEST_F(DaContextTest, EncryptionAlgorithmsByName) {
  EXPECT_EQ(GetEncryptOption("aes256"), 3);
  EXPECT_EQ(GetEncryptOption("AES256"), 3);
  EXPECT_EQ(GetEncryptOption("aes128"), 0);
  EXPECT_EQ(GetEncryptOption(""), 0);
  EXPECT_EQ(GetEncryptOption(nullptr), 0);
  EXPECT_EQ(suppProt[0], 100);
  EXPECT_EQ(suppProt[1], -1);
}

TEST_F(DaContextTest, AgentOnThisHostIsWrittenDirectlyAndARemoteOneThroughANetworkProcess) {
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "local.example", nullptr), 0);
  EXPECT_EQ(DacmnGetContext()->netIO, 0);
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "remote.example", nullptr), 1);
  EXPECT_EQ(DacmnGetContext()->netIO, 1);
  // A host that does not resolve keeps the network process.
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "nowhere.example", nullptr), 1);
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(DaContextTest, EnvironmentReplacesTheChoiceForItsOwnSideOnly) {
  setenv("VEKBDANET", "1", 1);
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "local.example", nullptr), 1);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "local.example", nullptr), 0);
  setenv("VEKBDANET", "0", 1);
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "remote.example", nullptr), 0);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "remote.example", nullptr), 1);
  setenv("VEKRDANET", "0", 1);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "remote.example", nullptr), 0);
  setenv("VEKRDANET", "5", 1);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "local.example", nullptr), 1);
  EXPECT_EQ(DacmnGetContext()->netIO, 1);
  // Not a number: the variable is ignored.
  setenv("VEKRDANET", "yes please", 1);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, "local.example", nullptr), 0);
}

TEST_F(DaContextTest, WithoutAHostAFileGoesThroughANetworkProcessAndNothingIsASetUpFailure) {
  setenv("VEKBDANET", "0", 1);
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "", "/tmp/stream.dat"), 1);
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, nullptr, "/tmp/stream.dat"), 1);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(DaChooseNetIO(DA_BACKUP, "", ""), -1);
  EXPECT_EQ(DaChooseNetIO(DA_RESTORE, nullptr, nullptr), -1);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].find("[80:1006]"), std::string::npos)
      << tarn::test::Hex(datest::Span(reports[0]));
}

}  // namespace

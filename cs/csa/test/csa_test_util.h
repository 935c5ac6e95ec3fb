// Shared set-up of the cell-server client tests: a started common runtime over
// a temporary root, the stand-in cell server on loopback with the client
// pointed at it, and a clean stop of client and IPC layer after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "csa/csasession.h"
#include "ipc/ipc.h"
#include "tarn_test.h"

namespace csatest {

inline constexpr char kHost[] = "127.0.0.1";

class CsaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("csatest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    ErhClearErrorM("csa_test", 0);
    glBindTimeout = 0;
    for (const char* name : {"VEK_PROTNEG_CSA_CRS", "VEK_PROTNEG_CSA_SM", "VEKSHUTDOWNTIMEOUT",
                             "VEKCSBINDTIMEOUT", "VEKCSREPLYTIMEOUT"})
      unsetenv(name);
    // A session disconnect waits for the peer at most this long.
    setenv("VEKSHUTDOWNTIMEOUT", "2", 1);
  }
  void TearDown() override {
    CsaExitEx(0);
    CsaSetEmbedded(0);
    IpcExit();
    ErhClearErrorM("csa_test", 0);
  }

  // Starts the stand-in with `fixture` and points TARN_INET_PORT at it.
  void StartServer(std::string fixture = {}) {
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = std::move(fixture)});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
  }
  // StartServer, then MCsaInit against it.
  void Init(std::string fixture = {}) {
    ASSERT_NO_FATAL_FAILURE(StartServer(std::move(fixture)));
    ASSERT_EQ(MCsaInit(kHost), 0) << "error " << ErhErrno();
  }
  tarn::test::CellServerStandIn& server() { return *server_; }
  // Traffic lines that contain `text`.
  int Count(std::string_view text) const {
    int n = 0;
    for (const std::string& line : server_->traffic())
      n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

inline void FreeHeap(void* heap) {
  safe_free(heap, "csa_test", 0);
}
// Frees a safe_malloc block at scope end.
using Owned = tarn::test::HeapText<FreeHeap>;

}  // namespace csatest

// Module context table, tracked memory and environment readers.
#include "cmn/ctx.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/ctx_test.cpp");

namespace {

struct Probe {
  int inits = 0;
  int forks = 0;
  int frees = 0;
};
Probe probe;

struct Data {
  int value;
  char text[16];
};
Data staticArea;

void OnInit(void* d) {
  ++probe.inits;
  static_cast<Data*>(d)->value = 7;
}
void OnFork(void*) {
  ++probe.forks;
}
void OnFree(void*) {
  ++probe.frees;
}

constexpr int kSlotA = 13;
constexpr int kSlotB = 14;

const PtdDescriptor heapPtd = {"TestHeap", nullptr, sizeof(Data), OnInit, OnFork, OnFree};
const PtdDescriptor staticPtd = {"TestStatic", &staticArea, sizeof(Data), OnInit, nullptr, OnFree};

class ContextTable : public ::testing::Test {
 protected:
  void SetUp() override { probe = {}; }
  void TearDown() override { CmnFreeMasterContext(); }
};

TEST_F(ContextTable, CreatesOnceAndRunsInitOnce) {
  auto* a = static_cast<Data*>(CmnCreateContextEx(&heapPtd, kSlotA));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->value, 7);
  EXPECT_EQ(CmnCreateContextEx(&heapPtd, kSlotA), a);
  EXPECT_EQ(CmnGetContextEx(pcmnMasterContext, kSlotA), a);
  EXPECT_EQ(probe.inits, 1);
}

TEST_F(ContextTable, StaticAreaIsZeroedOnEveryCreationAndNeverFreed) {
  std::strcpy(staticArea.text, "stale");
  auto* d = static_cast<Data*>(CmnCreateContextEx(&staticPtd, kSlotB));
  EXPECT_EQ(d, &staticArea);
  EXPECT_STREQ(d->text, "");
  std::strcpy(d->text, "used");
  CmnFreeContextEx(pcmnMasterContext, kSlotB);
  EXPECT_EQ(probe.frees, 1);
  EXPECT_EQ(CmnGetContextEx(pcmnMasterContext, kSlotB), nullptr);
  d = static_cast<Data*>(CmnCreateContextEx(&staticPtd, kSlotB));
  EXPECT_STREQ(d->text, "");
  EXPECT_EQ(probe.inits, 2);
}

TEST_F(ContextTable, RejectsBadSlotsAndNullTable) {
  EXPECT_EQ(CmnCreateContextEx(&heapPtd, -1), nullptr);
  EXPECT_EQ(CmnCreateContextEx(&heapPtd, kCmnContextSlots), nullptr);
  EXPECT_EQ(CmnGetContextEx(nullptr, kSlotA), nullptr);
  CmnContextSlot* saved = pcmnMasterContext;
  pcmnMasterContext = nullptr;
  EXPECT_EQ(CmnCreateContextEx(&heapPtd, kSlotA), nullptr);
  EXPECT_EQ(CmnSetContextEx(&heapPtd, kSlotA, &staticArea), nullptr);
  pcmnMasterContext = saved;
}

TEST_F(ContextTable, ForkHookRunsThenEverySlotIsEmpty) {
  ASSERT_NE(CmnCreateContextEx(&heapPtd, kSlotA), nullptr);
  ASSERT_NE(CmnCreateContextEx(&staticPtd, kSlotB), nullptr);
  const int status = tarn::test::RunInChild([] {
    CmnContextAtFork();
    const bool empty = CmnGetContextEx(pcmnMasterContext, kSlotA) == nullptr &&
                       CmnGetContextEx(pcmnMasterContext, kSlotB) == nullptr;
    return (empty && probe.forks == 1 && probe.frees == 2) ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Caps this process's address space a little above what it uses now, so that
// one large allocation fails while small ones still succeed. Child only.
bool CapAddressSpace() {
  unsigned long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return false;
  const bool read = std::fscanf(statm, "%lu", &pages) == 1;
  std::fclose(statm);
  if (!read) return false;
  const rlim_t cap =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) != 0) return false;
  limit.rlim_cur = cap;
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

TEST_F(ContextTable, FailedHeapAllocationLeavesTheSlotEmptyAndSkipsInit) {
  static const PtdDescriptor hugePtd = {"TestHuge", nullptr, 1u << 30, OnInit, nullptr, OnFree};
  const int status = tarn::test::RunInChild([] {
    if (!CapAddressSpace()) return 2;
    if (CmnCreateContextEx(&hugePtd, kSlotA) != nullptr) return 3;
    if (probe.inits != 0) return 4;  // AtInit must never see a null record
    if (CmnGetContextEx(pcmnMasterContext, kSlotA) != nullptr) return 5;
    CmnFreeContextEx(pcmnMasterContext, kSlotA);  // nothing to release
    return probe.frees == 0 ? 0 : 6;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ContextTable, ChildStartsWithAnEmptyErrorState) {
  ErhClearErrorM(TARN_HERE);
  ErhMarkM(ERH_SYSTEM, 0, "parent", 2, TARN_HERE);
  ASSERT_EQ(ErhErrno(), ERH_SYSTEM);
  const int status = tarn::test::RunInChild([] {
    CmnContextAtFork();
    if (ErhErrno() != 0) return 1;
    // The first mark wins only against marks of this process.
    ErhMarkM(ERH_NOMEM, 0, "child", 2, TARN_HERE);
    return ErhErrno() == ERH_NOMEM ? 0 : 2;
  });
  ErhClearErrorM(TARN_HERE);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class SafeMemory : public cmntest::ErrorStateTest {};

TEST_F(SafeMemory, FailedMallocMarksTheCallerInHostProcessMode) {
  cmnDefine_ORACLE8 = 1;
  EXPECT_EQ(safe_malloc(static_cast<size_t>(-1) / 2, "lib/x/caller.cpp", 77), nullptr);
  const ErhStatusInfo* state = ErhStatus();
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->code, ERH_NOMEM);
  EXPECT_STREQ(state->markFunction, "MALLOC CALL");
  EXPECT_NE(std::strstr(state->markFile, "caller.cpp"), nullptr) << state->markFile;
  EXPECT_EQ(state->markLine, 77);
  EXPECT_NE(state->sysErrno, 0);
  cmnDefine_ORACLE8 = 0;
}

TEST_F(SafeMemory, FailedCallocReturnsNullEvenOutsideHostProcessMode) {
  // safe_calloc has no hook: the program goes on.
  EXPECT_EQ(safe_calloc(static_cast<size_t>(-1) / 4, 2, "caller", 5), nullptr);
  EXPECT_EQ(ErhErrno(), ERH_NOMEM);
  EXPECT_STREQ(ErhStatus()->markFunction, "CALLOC CALL");
}

TEST_F(SafeMemory, ReallocEdgeForms) {
  void* p = safe_realloc(nullptr, 32, "test", 1);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 32);
  p = safe_realloc(p, 64, "test", 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(p)[31], 1);
  EXPECT_EQ(safe_realloc(p, 0, "test", 3), nullptr);
  safe_free(nullptr, "test", 4);  // allowed, frees nothing
}

TEST_F(SafeMemory, FailedReallocKeepsTheOldBlockInHostProcessMode) {
  cmnDefine_ORACLE8 = 1;
  void* p = safe_malloc(16, "test", 1);
  ASSERT_NE(p, nullptr);
  std::strcpy(static_cast<char*>(p), "keep");
  // An impossible size fails; the default hook must not end a host process.
  void* q = safe_realloc(p, static_cast<size_t>(-1) / 2, "test", 2);
  EXPECT_EQ(q, nullptr);
  EXPECT_STREQ(static_cast<char*>(p), "keep");
  safe_free(p, "test", 3);
  cmnDefine_ORACLE8 = 0;
}

TEST_F(SafeMemory, FailedMallocEndsAProgramWithStatusThree) {
  const int status = tarn::test::RunInChild([] {
    safe_malloc(static_cast<size_t>(-1) / 2, "test", 1);
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(Environment, ReadsIntegersAndBooleanWords) {
  int v = 42;
  setenv("TARN_T_INT", "yes", 1);
  EXPECT_EQ(EnvReadInt("TARN_T_INT", &v), 1);
  EXPECT_EQ(v, 1);
  setenv("TARN_T_INT", "-17", 1);
  EXPECT_EQ(EnvReadInt("TARN_T_INT", &v), 1);
  EXPECT_EQ(v, -17);
  setenv("TARN_T_INT", "Off", 1);
  EXPECT_EQ(EnvGetBool("TARN_T_INT"), 0);
  v = 42;
  setenv("TARN_T_INT", "maybe", 1);
  EXPECT_EQ(EnvReadInt("TARN_T_INT", &v), 0);
  EXPECT_EQ(v, 42);
  unsetenv("TARN_T_INT");
  EXPECT_EQ(EnvReadInt("TARN_T_INT", &v), 0);
  EXPECT_EQ(EnvGetString("TARN_T_INT"), nullptr);
  setenv("TARN_T_INT", "text", 1);
  char* s = EnvGetString("TARN_T_INT");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "text");
  safe_free(s, "test", 1);
}

TEST(InstallPaths, FollowTheRoot) {
  CmnPathsInit("/x/root/");
  EXPECT_STREQ(cmnFenLog, "/x/root/var/opt/tarn/log");
  EXPECT_STREQ(cmnFenNls, "/x/root/opt/tarn/lib/nls");
  EXPECT_EQ(CmnRootedPath("/opt/tarn/lib/libwren_32bit.so"),
            "/x/root/opt/tarn/lib/libwren_32bit.so");
  CmnPathsInit(nullptr);
  EXPECT_STREQ(cmnFenConfigClient, "/etc/opt/tarn/client");
  CmnPathsInit(std::getenv("TARN_ROOT"));
}

}  // namespace

// Shared set-up of the integration-utility tests: a started common runtime
// over a temporary install root, and a clean error state around every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "barutil/bp.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "tarn_test.h"

namespace barutiltest {

inline void FreeHeap(void* heap) {
  safe_free(heap, "barutil_test", 0);
}
// Frees a safe_malloc block at scope end.
using Owned = tarn::test::HeapText<FreeHeap>;

// An empty parameter list owned by the test.
struct List {
  BpList v = VarUndef;
  List() { BP_InitAsList(&v); }
  ~List() { CmnVarFree(&v); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;
};

// Sets or removes an environment variable for one scope and puts the old
// value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class BarutilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("barutiltest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    ErhClearErrorM("barutil_test", 0);
  }
  void TearDown() override { ErhClearErrorM("barutil_test", 0); }

  tarn::test::TempRoot root_;
};

}  // namespace barutiltest

// Helpers shared by the common-runtime tests: heap texts of the library as
// strings, and the trace text that a piece of code writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "tarn_test.h"

namespace cmntest {

inline void FreeHeap(void* heap) {
  safe_free(heap, "cmn_test_util.h", __LINE__);
}
// A heap text of the library, freed when the owner goes.
using HeapText = tarn::test::HeapText<FreeHeap>;
// Takes a heap text from the library (freed here); "<null>" for null.
inline std::string Take(char* heap) {
  return tarn::test::TakeText<FreeHeap>(heap);
}

inline void ClearErrorState() {
  ErhClearErrorM("cmn_test_util.h", __LINE__);
}
// The fixture of tests that leave the sticky error state set: it is cleared
// before and after each test.
using ErrorStateTest = tarn::test::ResetAroundEachTest<ClearErrorState>;

// Runs `body` with tracing of `ranges` (e.g. "1-10") into a fresh directory
// and returns the text of the trace files written there. Tracing must be off
// when called; it is off again on return.
template <class Body>
std::string Traced(const char* ranges, Body body) {
  tarn::test::TempDir dir;
  setenv("VEKDBGDIR", dir.path().c_str(), 1);
  EXPECT_EQ(DbgInitEx("t", ranges, "", "cmn_test", 0), 0);
  body();
  DbgExit();
  unsetenv("VEKDBGDIR");
  std::string trace;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().rfind("VEKDBG_", 0) == 0) {
      trace += tarn::test::ReadFile(entry.path().string());
    }
  }
  return trace;
}

}  // namespace cmntest

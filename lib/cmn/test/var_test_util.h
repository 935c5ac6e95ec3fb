// Helpers shared by the variant tests: an owning holder and the packer's
// output as a std::string.
#pragma once

#include <string>

#include "cmn/ctx.h"
#include "cmn/var.h"
#include "cmn_test_util.h"

namespace vartest {

// Frees the variant when the test scope ends.
struct Owned {
  CmnVar v = VarUndef;
  Owned() = default;
  explicit Owned(CmnVar var) : v(var) {}
  ~Owned() { CmnVarFree(&v); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

inline std::string Pack(CmnVar v, int flags = 0) {
  const CmnVarPackOptions options{flags, nullptr};
  return cmntest::Take(CmnVarPackEx(v, &options));
}

// The configuration list the cell server keeps for a DB2 instance.
inline CmnVar Db2Config() {
  return CmnVarList("Version", CmnVarText("32bit"), "DB2_NODES",
                    CmnVarList("0", CmnVarText("hostA"), nullptr), nullptr);
}

}  // namespace vartest

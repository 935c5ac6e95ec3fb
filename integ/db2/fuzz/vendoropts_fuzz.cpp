// Fuzz target of the vendor-options reader and the data tree text: a record
// as DB2 hands it to a session process. Refusal is fine; a crash, an overrun
// or a read record that does not write back the same way is not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "db2/vendoropts.h"
#include "fuzz/fuzzseed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> record(data, size);
  VendorOptions options;
  if (VendorOptionsRead(record, &options) == 0) {
    std::vector<std::uint8_t> again;
    if (VendorOptionsWrite(options, &again) != 0) std::abort();
    VendorOptions back;
    if (VendorOptionsRead(again, &back) != 0 || back.variables != options.variables ||
        back.barlist != options.barlist || back.dataTree != options.dataTree)
      std::abort();
    tarn::fuzz::Accepted();
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> entries;
  if (DataTreeSplit(text, &entries) == 0) {
    std::string joined;
    for (const std::string& entry : entries) joined.append(entry).push_back(kDataTreeSeparator);
    if (joined != text) std::abort();
  }
  return 0;
}

// Records as the agent writes them: a backup record with its tree, a restore
// record with its source overrides.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  // Room for a tree of some dozens of table spaces.
  seeds->maxLen = kVoFixedSize + 8192;
  VendorOptions backup;
  backup.variables = VendorOptionsVariables("db2_full", "-server cs1 -debug 1-99 fz");
  backup.barlist = "db2_full";
  backup.mode = 1;
  backup.hasTree = true;
  DataTreeAppend(&backup.dataTree, "db2inst1", "SAMPLE");
  DataTreeAppend(&backup.dataTree, "db2inst1", "SAMPLE", "SYSCATSPACE");
  DataTreeAppend(&backup.dataTree, "db2inst1", "SAMPLE", "USERSPACE1");
  VendorOptions restore;
  restore.variables = VendorOptionsVariables("db2_full", "-server cs1");
  restore.barlist = "db2_full";
  restore.restoreHost = "db2host.example.com";
  restore.restoreInstance = "db2inst2";
  restore.mode = 2;
  for (const auto& [name, options] : {std::pair{"backup", backup}, std::pair{"restore", restore}}) {
    std::vector<std::uint8_t> record;
    if (VendorOptionsWrite(options, &record) != 0) std::abort();
    seeds->Add(name, record);
  }
}

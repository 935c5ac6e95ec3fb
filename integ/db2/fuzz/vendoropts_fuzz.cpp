// Fuzz target of the vendor-options reader and the data tree text: a record
// as DB2 hands it to a session process. Refusal is fine; a crash, an overrun
// or a read record that does not write back the same way is not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "db2/vendoropts.h"

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

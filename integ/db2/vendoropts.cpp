// The vendor-options record, written and read at fixed byte offsets, and the
// data tree text.
#include "db2/vendoropts.h"

#include <cstring>

#include "cmn/dbg.h"
#include "cmn/vekfile.h"

TARN_RCSID("integ/db2/vendoropts.cpp");

namespace {

// Copies `text` into a field of `size` bytes; the rest stays zero.
bool PutText(std::vector<std::uint8_t>* out, std::size_t offset, std::size_t size,
             std::string_view text) {
  if (text.size() >= size || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(out->data() + offset, text.data(), text.size());
  return true;
}

void PutInt(std::vector<std::uint8_t>* out, std::size_t offset, std::int32_t value) {
  std::memcpy(out->data() + offset, &value, sizeof value);
}

bool GetText(std::span<const std::uint8_t> record, std::size_t offset, std::size_t size,
             std::string* out) {
  const auto* begin = reinterpret_cast<const char*>(record.data() + offset);
  const void* nul = std::memchr(begin, '\0', size);
  if (nul == nullptr) return false;
  out->assign(begin, static_cast<const char*>(nul));
  return true;
}

std::int32_t GetInt(std::span<const std::uint8_t> record, std::size_t offset) {
  std::int32_t value = 0;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

}  // namespace

std::string VendorOptionsVariables(std::string_view barlist, std::string_view options) {
  std::string text("VEKBARLIST=");
  text.append(barlist).append("\nVEKOPTS=").append(options);
  return text;
}

int VendorOptionsWrite(const VendorOptions& options, std::vector<std::uint8_t>* out) {
  std::size_t size = kVoFixedSize;
  if (options.hasTree) {
    if (options.dataTree.find('\0') != std::string::npos) return -1;
    size += options.dataTree.size() + 2;
  }
  std::vector<std::uint8_t> record(size, 0);
  if (!PutText(&record, kVoVariablesOffset, kVoVariablesSize, options.variables) ||
      !PutText(&record, kVoBarlistOffset, kVoBarlistSize, options.barlist) ||
      !PutText(&record, kVoRestoreHostOffset, kVoRestoreHostSize, options.restoreHost) ||
      !PutText(&record, kVoRestoreInstanceOffset, kVoRestoreInstanceSize,
               options.restoreInstance)) {
    DbgPlain(kDbgUnexpected, "[VendorOptionsWrite] A text does not fit the vendor options");
    return -1;
  }
  PutInt(&record, kVoModeOffset, options.mode);
  PutInt(&record, kVoReservedOffset, options.reserved);
  if (options.hasTree)
    std::memcpy(record.data() + kVoTreeOffset, options.dataTree.data(), options.dataTree.size());
  *out = std::move(record);
  return 0;
}

int VendorOptionsRead(std::span<const std::uint8_t> record, VendorOptions* out) {
  VendorOptions read;
  if (record.size() < kVoFixedSize ||
      !GetText(record, kVoVariablesOffset, kVoVariablesSize, &read.variables) ||
      !GetText(record, kVoBarlistOffset, kVoBarlistSize, &read.barlist) ||
      !GetText(record, kVoRestoreHostOffset, kVoRestoreHostSize, &read.restoreHost) ||
      !GetText(record, kVoRestoreInstanceOffset, kVoRestoreInstanceSize, &read.restoreInstance)) {
    DbgPlain(kDbgUnexpected, "[VendorOptionsRead] Vendor options of %zu bytes refused",
             record.size());
    return -1;
  }
  read.mode = GetInt(record, kVoModeOffset);
  read.reserved = GetInt(record, kVoReservedOffset);
  if (record.size() > kVoFixedSize) {
    read.hasTree = true;
    if (!GetText(record, kVoTreeOffset, record.size() - kVoTreeOffset, &read.dataTree)) {
      DbgPlain(kDbgUnexpected, "[VendorOptionsRead] Data tree text is not terminated");
      return -1;
    }
  }
  *out = std::move(read);
  return 0;
}

int VendorOptionsExportVariables(std::string_view variables) {
  int exported = 0;
  while (!variables.empty()) {
    const std::size_t end = variables.find('\n');
    const std::string_view line = variables.substr(0, end);
    variables = end == std::string_view::npos ? std::string_view() : variables.substr(end + 1);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      DbgPlain(kDbgParse, "[VendorOptionsExportVariables] Line without a variable skipped");
      continue;
    }
    if (PutEnv(std::string(line).c_str()) == 0) ++exported;
  }
  return exported;
}

void DataTreeAppend(std::string* tree, std::string_view instance, std::string_view database,
                    std::string_view tablespace) {
  tree->append("/").append(instance).append("/").append(database).append("/");
  if (!tablespace.empty()) tree->append(tablespace.substr(0, kDataTreeNameMax)).append("/");
  tree->push_back(kDataTreeSeparator);
}

int DataTreeSplit(std::string_view tree, std::vector<std::string>* out) {
  std::vector<std::string> entries;
  while (!tree.empty()) {
    const std::size_t end = tree.find(kDataTreeSeparator);
    if (end == std::string_view::npos || end == 0) return -1;
    entries.emplace_back(tree.substr(0, end));
    tree.remove_prefix(end + 1);
  }
  *out = std::move(entries);
  return 0;
}

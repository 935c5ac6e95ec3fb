// The vendor library's names of DB2 images and its checks of what DB2 hands
// in; the entry points themselves are in sqluv.cpp.
#include "libwren/wren.h"

#include <cstdlib>
#include <cstring>
#include <span>

#include "cmn/dbg.h"
#include "cmn/defines.h"

TARN_RCSID("integ/db2/libwren/wren.cpp");

VendorControlBlock::~VendorControlBlock() {
  if (objects != nullptr) VEK_FreeArray(objectCount, objects, sizeof(VEK_Object), nullptr);
  if (versions != nullptr)
    VEK_FreeArray(versionCount, versions, sizeof(VEK_Version), VEK_VersionFree);
}

char Db2TypeChar(const char* type) {
  if (type == nullptr || std::strlen(type) <= 1) return '0';
  return type[2];
}

int Db2BackupType(char typeChar) {
  switch (typeChar) {
    case '1': return 10;
    case '3': return 26;
    default: return 0;
  }
}

std::string Db2PartName(std::string_view instance, std::string_view alias, int node,
                        std::string_view timestamp) {
  std::string name;
  name.append(instance).append(":").append(alias).append("#").append(std::to_string(node));
  name.append(":").append(timestamp).append(":");
  return name;
}

std::string Db2ObjectName(std::string_view instance, std::string_view alias, int node,
                          std::string_view timestamp, char typeChar, std::string_view sequence) {
  std::string name = Db2PartName(instance, alias, node, timestamp);
  if (typeChar != '\0') name.push_back(typeChar);
  name.append(":").append(sequence);
  return name;
}

std::string Db2OlderPartName(std::string_view instance, std::string_view alias,
                             std::string_view timestamp) {
  std::string name;
  name.append(instance).append(":").append(alias).append(":").append(timestamp).append(":");
  return name;
}

bool Db2PartMatches(std::string_view mountPoint, std::string_view part) {
  if (!mountPoint.empty() && mountPoint.front() == '/') mountPoint.remove_prefix(1);
  return !part.empty() && mountPoint.substr(0, part.size()) == part;
}

int compare(const void* a, const void* b) {
  const char* x = a != nullptr ? static_cast<const VEK_Object*>(a)->mountPoint : "";
  const char* y = b != nullptr ? static_cast<const VEK_Object*>(b)->mountPoint : "";
  return std::strcmp(x, y);
}

std::size_t WrenOptionsSize(const Init_input& in) {
  return in.size_options_full != 0 ? in.size_options_full : in.size_options;
}

int WrenReadOptions(const Init_input* in, bool backup, VendorOptions* out) {
  if (in == nullptr || in->options == nullptr) {
    DbgPlain(kDbgUnexpected, "[WrenReadOptions] No vendor options");
    return -1;
  }
  const std::size_t size = WrenOptionsSize(*in);
  if (size < kVoFixedSize) {
    DbgPlain(kDbgUnexpected, "[WrenReadOptions] Vendor options of %zu bytes, %zu needed", size,
             kVoFixedSize);
    return -1;
  }
  VendorOptions options;
  if (VendorOptionsRead(std::span(static_cast<const std::uint8_t*>(in->options), size), &options) !=
      0) {
    DbgPlain(kDbgUnexpected, "[WrenReadOptions] Malformed vendor options");
    return -1;
  }
  if (backup && !options.hasTree) {
    DbgPlain(kDbgUnexpected, "[WrenReadOptions] Backup vendor options without data tree");
    return -1;
  }
  *out = std::move(options);
  return 0;
}

const char* WrenMissingField(const DB2_info* info) {
  if (info == nullptr) return "DB2_session";
  if (info->action == nullptr) return "action";
  if (info->db2instance == nullptr) return "db2instance";
  if (info->type == nullptr) return "type";
  if (info->alias == nullptr) return "alias";
  if (info->timestamp == nullptr) return "timestamp";
  if (info->sequence == nullptr) return "sequence";
  return nullptr;
}

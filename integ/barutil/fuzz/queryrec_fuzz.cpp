// Fuzz target of the catalogue row unpackers and the options-text reader: the
// input is split at NULs into fields (the first byte picks the unpacker), and
// every unpacker either refuses the row or fills a record that frees cleanly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "barutil/queryrec.h"
#include "cmn/defines.h"

TARN_RCSID("integ/barutil/fuzz/queryrec_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\0') {
      parts.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  std::vector<const char*> fields;
  for (const std::string& p : parts) fields.push_back(p.c_str());
  const int count = static_cast<int>(fields.size());
  switch (data[0] % 8) {
    case 0: {
      VEK_Object r;
      VEK_ObjectUnpack(fields.data(), count, &r);
      break;
    }
    case 1: {
      VEK_Version r;
      if (VEK_VersionUnpack(fields.data(), count, &r) == 0) VEK_VersionFree(&r);
      break;
    }
    case 2: {
      VEK_ObjectVersion r;
      if (VEK_ObjectVersionUnpack(fields.data(), count, &r) == 0) VEK_ObjectVersionFree(&r);
      break;
    }
    case 3: {
      VEK_Item r;
      VEK_ItemUnpack(fields.data(), count, &r);
      break;
    }
    case 4: {
      VEK_ItemVersion r;
      if (VEK_ItemVersionUnpack(fields.data(), count, &r) == 0) VEK_ItemVersionFree(&r);
      break;
    }
    case 5: {
      VEK_FileName r;
      VEK_FileNameUnpack(fields.data(), count, &r);
      break;
    }
    case 6: {
      VEK_Medium r;
      VEK_MediumUnpack(fields.data(), count, &r);
      break;
    }
    default: {
      VEK_Version r{};
      VEK_ReadVersionOptions(text.c_str(), &r);
      VEK_VersionFree(&r);
      break;
    }
  }
  return 0;
}

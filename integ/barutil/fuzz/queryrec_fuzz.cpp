// Fuzz target of the catalogue row unpackers and the options-text reader: the
// input is split at NULs into fields (the first byte picks the unpacker), and
// every unpacker either refuses the row or fills a record that frees cleanly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "barutil/queryrec.h"
#include "catalogue_rows.h"
#include "cmn/defines.h"
#include "fuzz/fuzzseed.h"

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
  int rc = -1;
  switch (data[0] % 8) {
    case 0: {
      VEK_Object r;
      rc = VEK_ObjectUnpack(fields.data(), count, &r);
      break;
    }
    case 1: {
      VEK_Version r;
      rc = VEK_VersionUnpack(fields.data(), count, &r);
      if (rc == 0) VEK_VersionFree(&r);
      break;
    }
    case 2: {
      VEK_ObjectVersion r;
      rc = VEK_ObjectVersionUnpack(fields.data(), count, &r);
      if (rc == 0) VEK_ObjectVersionFree(&r);
      break;
    }
    case 3: {
      VEK_Item r;
      rc = VEK_ItemUnpack(fields.data(), count, &r);
      break;
    }
    case 4: {
      VEK_ItemVersion r;
      rc = VEK_ItemVersionUnpack(fields.data(), count, &r);
      if (rc == 0) VEK_ItemVersionFree(&r);
      break;
    }
    case 5: {
      VEK_FileName r;
      rc = VEK_FileNameUnpack(fields.data(), count, &r);
      break;
    }
    case 6: {
      VEK_Medium r;
      rc = VEK_MediumUnpack(fields.data(), count, &r);
      break;
    }
    default: {
      VEK_Version r{};
      rc = VEK_ReadVersionOptions(text.c_str(), &r);
      VEK_VersionFree(&r);
      break;
    }
  }
  if (rc == 0) tarn::fuzz::Accepted();
  return 0;
}

// A row of each kind (the first byte picks the unpacker), its fields joined
// by NULs, and a stored options text.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using namespace barutil_fuzz;
  const auto row = [](const std::vector<std::string>& fields) {
    std::string text;
    for (const std::string& f : fields) text.append(f).push_back('\0');
    text.pop_back();
    return text;
  };
  seeds->Add("object", 0, row(ObjectFields()));
  seeds->Add("version", 1, row(VersionFields()));
  seeds->Add("object_version", 2, row(Join(ObjectFields(), VersionFields())));
  seeds->Add("item", 3, row(ItemFields(true)));
  seeds->Add("item_version", 4, row(Join(ItemFields(), VersionFields())));
  seeds->Add("file_name", 5, row({"/db2inst1/NODE0000/S0000001.LOG", "1", "2", "3"}));
  seeds->Add("medium", 6, row(MediumFields()));
  seeds->Add("options", 7, VersionFields()[kVekVersionOptionsField]);
}

// The vendor-options record the agent hands through DB2 to the vendor
// library in every session process, and the data tree text it carries.
// Built and read byte by byte at fixed offsets in host byte order; the tree
// slot holds 0 and the reader finds the tree text at its fixed offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kVoVariablesOffset = 0;
inline constexpr std::size_t kVoVariablesSize = 4096;
inline constexpr std::size_t kVoBarlistOffset = 4096;
inline constexpr std::size_t kVoBarlistSize = 256;
inline constexpr std::size_t kVoRestoreHostOffset = 4352;
inline constexpr std::size_t kVoRestoreHostSize = 65;
inline constexpr std::size_t kVoRestoreInstanceOffset = 4417;
inline constexpr std::size_t kVoRestoreInstanceSize = 83;
inline constexpr std::size_t kVoModeOffset = 4500;
inline constexpr std::size_t kVoReservedOffset = 4504;
inline constexpr std::size_t kVoTreeSlotOffset = 4508;
inline constexpr std::size_t kVoTreeOffset = 4512;
// Size of a record without tree text (a restore record).
inline constexpr std::size_t kVoFixedSize = kVoTreeOffset;
static_assert(kVoVariablesOffset + kVoVariablesSize == kVoBarlistOffset);
static_assert(kVoBarlistOffset + kVoBarlistSize == kVoRestoreHostOffset);
static_assert(kVoRestoreHostOffset + kVoRestoreHostSize == kVoRestoreInstanceOffset);
static_assert(kVoRestoreInstanceOffset + kVoRestoreInstanceSize == kVoModeOffset);
static_assert(kVoModeOffset + 4 == kVoReservedOffset && kVoReservedOffset + 4 == kVoTreeSlotOffset);
static_assert(kVoTreeSlotOffset + 4 == kVoTreeOffset);

// The byte that ends every entry of the data tree text.
inline constexpr char kDataTreeSeparator = '\x01';
// Table-space names in the tree are cut to this many characters.
inline constexpr std::size_t kDataTreeNameMax = 1023;

// The record's content. Texts hold no NUL.
struct VendorOptions {
  std::string variables;  // NAME=value lines joined by "\n"
  std::string barlist;
  std::string restoreHost;
  std::string restoreInstance;
  std::int32_t mode = 0;
  std::int32_t reserved = 0;  // traced as "backup type"
  bool hasTree = false;       // a backup record carries the tree text
  std::string dataTree;
};

// The variables text of both writers: "VEKBARLIST=<barlist>\nVEKOPTS=<options>".
std::string VendorOptionsVariables(std::string_view barlist, std::string_view options);

// The record's bytes: 4512 without tree text; with it 4512 + n + 2 (the tree
// text, its NUL and one spare zero byte). 0; -1 (out untouched) when a text
// does not fit its field or holds a NUL.
int VendorOptionsWrite(const VendorOptions& options, std::vector<std::uint8_t>* out);

// Reads a record received from DB2. 0; -1 (out untouched) for a record
// shorter than 4512 bytes, a fixed field without its NUL, or bytes after
// offset 4512 without a NUL among them. The tree slot's value is ignored.
int VendorOptionsRead(std::span<const std::uint8_t> record, VendorOptions* out);

// Puts every NAME=value line of a variables text into the environment.
// Lines without '=' or with an empty name are skipped. Returns the number of
// variables set.
int VendorOptionsExportVariables(std::string_view variables);

// Appends one tree entry, "/instance/database/" or
// "/instance/database/tablespace/" (an empty table space gives the first form),
// followed by the separator. The table-space name is cut to kDataTreeNameMax.
void DataTreeAppend(std::string* tree, std::string_view instance, std::string_view database,
                    std::string_view tablespace = {});
// The entries of a tree text, without their separators. -1 (out untouched)
// when the text does not end with a separator or holds an empty entry.
int DataTreeSplit(std::string_view tree, std::vector<std::string>* out);

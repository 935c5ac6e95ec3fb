// The vendor library's own parts behind its five entry points: the control
// block of a vendor session, the names under which DB2 images are kept in the
// catalogue, and the checks of what DB2 hands in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bar2/bar2.h"
#include "barutil/queryrec.h"
#include "db2/nodesem.h"
#include "db2/vendoropts.h"
#include "libwren/vendorapi.h"

// Action of a vendor session.
enum WrenAction : int { WREN_ACTION_RESTORE = 1, WREN_ACTION_BACKUP = 2 };

// How far a vendor session got; the end unwinds from here.
enum WrenState : int {
  WREN_STATE_NONE = 0,
  WREN_STATE_INIT = 1,
  WREN_STATE_SESSION = 2,
  WREN_STATE_OBJECT = 3,
  WREN_STATE_ITEM = 4,
};

// The object type and label of every DB2 image in the catalogue.
inline constexpr int kDb2ObjectType = 5;
inline constexpr char kDb2Label[] = "DB2";
// The one item of every object.
inline constexpr char kDb2ItemName[] = "item";

// One vendor session. Owned by a std::unique_ptr inside the library; sqluvint
// releases it to DB2 as pVendorCB and sqluvend takes it back to end it.
// Owns its object and version lists.
struct VendorControlBlock {
  BarContext* handle = nullptr;
  int action = 0;     // WrenAction
  int firstRead = 0;  // 1 while the catalogue queries wait for the first sqluvget
  VEK_Object* objects = nullptr;
  int objectCount = 0;
  VEK_Version* versions = nullptr;
  int versionCount = 0;
  std::string restoreHost;  // empty: none
  WrenState state = WREN_STATE_NONE;
  int node = 0;
  Db2PaceState pace;
  VendorControlBlock() = default;
  VendorControlBlock(const VendorControlBlock&) = delete;
  VendorControlBlock& operator=(const VendorControlBlock&) = delete;
  ~VendorControlBlock();
};

// The type character of DB2's backup type text: its third character when
// the text is longer than one (NUL for a text of two), else '0'.
char Db2TypeChar(const char* type);
// The integration backup type of a type character: '1' 10, '3' 26, else 0.
int Db2BackupType(char typeChar);

// The mount-point part of an image's catalogue name, as a backup writes it:
// "<instance>:<alias>#<node>:<timestamp>:<type char>:<sequence>" (a NUL
// type char leaves its field empty).
std::string Db2ObjectName(std::string_view instance, std::string_view alias, int node,
                          std::string_view timestamp, char typeChar, std::string_view sequence);
// What every object of an image starts with: "<instance>:<alias>#<node>:<timestamp>:".
std::string Db2PartName(std::string_view instance, std::string_view alias, int node,
                        std::string_view timestamp);
// The same for images written before the node was part of the name:
// "<instance>:<alias>:<timestamp>:".
std::string Db2OlderPartName(std::string_view instance, std::string_view alias,
                             std::string_view timestamp);
// True when the mount point (with or without a leading '/') begins with the
// part name: the catalogue matches parts anywhere in a name, so an instance
// or database whose name ends in another's would otherwise be found too.
bool Db2PartMatches(std::string_view mountPoint, std::string_view part);

// Orders two object records by their mount-point text, byte by byte.
int compare(const void* a, const void* b);

// The length of the vendor-options record DB2 passes: its full size when
// given, else its size.
std::size_t WrenOptionsSize(const Init_input& in);
// The vendor-options record DB2 passes in `in`: 0 and *out; -1 when it is
// missing, shorter than its fixed part, longer than DB2 says, or malformed.
// A backup record must carry its tree text.
int WrenReadOptions(const Init_input* in, bool backup, VendorOptions* out);

// The DB2_info texts the library relies on: null when one is missing.
const char* WrenMissingField(const DB2_info* info);

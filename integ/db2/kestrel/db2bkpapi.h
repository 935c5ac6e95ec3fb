// Values of DB2's backup call that the agent passes and tells apart.
#pragma once

#include <cstdint>

#include "db2/db2api.h"

inline constexpr std::uint32_t SQLUB_BACKUP = 0;
inline constexpr std::uint32_t SQLUB_PARM_CHECK_ONLY = 11;
// The table-space bits of a backup type.
inline constexpr std::uint32_t kSqlubTablespaces = 3;
// The utility heap is too small for the buffers asked for.
inline constexpr int kSqlUtilHeapTooSmall = -2009;
// A backup that DB2 reports done with a warning about its image.
inline constexpr int kSqlBackupWarning = -2066;

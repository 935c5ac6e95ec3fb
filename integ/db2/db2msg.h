// Catalogue set 146: the reports of the DB2 integration. Every text of the
// set that the code uses has its one name here; the texts themselves are in
// the "C" catalogue source.
#pragma once

inline constexpr int kDb2MsgSet = 146;
// DB2's own message text, as a warning and as an error.
inline constexpr int kDb2MsgWarning = 7;
inline constexpr int kDb2MsgError = 8;
// Log files: the path; the path and the code.
inline constexpr int kDb2MsgArchived = 9;
inline constexpr int kDb2MsgArchiveFailed = 10;
inline constexpr int kDb2MsgRetrieved = 11;
inline constexpr int kDb2MsgRetrieveFailed = 12;
// Instance: the agent could not attach to it.
inline constexpr int kDb2MsgNoAttach = 13;
// DB2's code and the parameter to raise when a backup ran out of utility heap.
inline constexpr int kDb2MsgUtilHeap = 19;
// Database and partition: a partition's backup started; it completed (with
// the time stamp and its size).
inline constexpr int kDb2MsgBackupStarted = 21;
inline constexpr int kDb2MsgBackupDone = 22;
// The node's semaphores could not be set up: the backup goes on unpaced.
inline constexpr int kDb2MsgUnpaced = 20;
// The configuration utility's usage.
inline constexpr int kDb2MsgUsage = 25;
// Partition, seconds: the coordinator stops pacing its node.
inline constexpr int kDb2MsgPaceGaveUp = 30;
// Partition, seconds: a session's permit did not come.
inline constexpr int kDb2MsgNoPermit = 31;

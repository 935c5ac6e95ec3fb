// Catalogue set 146: the reports of the DB2 integration. Every text of the
// set that the code uses has its one name here; the texts themselves are in
// the "C" catalogue source.
#pragma once

inline constexpr int kDb2MsgSet = 146;
// Database: its roll-forward started; completed.
inline constexpr int kDb2MsgRollForwardStarted = 5;
inline constexpr int kDb2MsgRollForwardDone = 6;
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
// A restore needs redirected containers; they were redirected (instance,
// database); they could not be; one container and its new name.
inline constexpr int kDb2MsgRedirectNeeded = 14;
inline constexpr int kDb2MsgRedirected = 15;
inline constexpr int kDb2MsgRedirectFailed = 16;
inline constexpr int kDb2MsgContainerRedirected = 17;
// DB2's code and the parameter to raise when a backup ran out of utility heap.
inline constexpr int kDb2MsgUtilHeap = 19;
// Database and partition: a partition's backup started; it completed (with
// the time stamp and its size).
inline constexpr int kDb2MsgBackupStarted = 21;
inline constexpr int kDb2MsgBackupDone = 22;
// Database and partition: a partition's restore started; it completed.
inline constexpr int kDb2MsgRestoreStarted = 23;
inline constexpr int kDb2MsgRestoreDone = 24;
// Some table space containers are not accessible.
inline constexpr int kDb2MsgContainersInaccessible = 26;
// The node's semaphores could not be set up: the backup goes on unpaced.
inline constexpr int kDb2MsgUnpaced = 20;
// The configuration utility's usage.
inline constexpr int kDb2MsgUsage = 25;
// Partition, seconds: the coordinator stops pacing its node.
inline constexpr int kDb2MsgPaceGaveUp = 30;
// Partition, seconds: a session's permit did not come.
inline constexpr int kDb2MsgNoPermit = 31;

// Cell-server operations: one call per request of the cell server, the
// composite operations over single files, and the cell's user list.
#pragma once

#include <cstddef>

#include "csa/csa.h"

// Every call takes the server slot first. It fails before anything is sent
// with 1613 (client not running), 1004 (slot not bound), 1011 (slot not
// connected) or its own argument check (1001, 1620, 8002); otherwise the
// server's error is unpacked into the error state. Results are 0 or -1 unless
// said otherwise. Texts handed to the caller are heap blocks from safe_malloc
// (free with safe_free); on failure the pointer is null.

// Single files the client itself uses.
inline constexpr int kCsaFileUsers = 1;
inline constexpr int kCsaFileServers = 8;
inline constexpr int kCsaFileManager = 16;
inline constexpr int kCsaFileGroups = 17;
inline constexpr int kCsaFileCdrom = 26;
inline constexpr int kCsaFileRaw = 28;
// Group items: group 80 needs no item name; 42 and 43 travel raw.
inline constexpr int kCsaGroupNoName = 80;
inline constexpr int kCsaGroupRawA = 42;
inline constexpr int kCsaGroupRawB = 43;
// Ids of the messages the composite calls build locally.
inline constexpr int kCsaMsgServerList = 107;
inline constexpr int kCsaMsgCdromTable = 108;
inline constexpr int kCsaMsgGroups = 121;
// Access right needed to read and change the user list.
inline constexpr unsigned kCsaRightUserAdmin = 0x800;

// ---------------------------------------------------------------- single files
// mode 0 or 1 (else 1001); file 28 comes raw, others as native text.
int MCsaGetSingleFile(int slot, int file, char** text, int mode);
// Null text stores an empty file.
int MCsaPutSingleFile(int slot, int file, const char* text);
int MCsaPutSingleFileAndPushToMoM(int slot, int file, const char* text);
// Sends nothing: 0 for mode 1 or 2, else 1001.
int MCsaSingleFileLock(int slot, int file, int mode);
int MCsaGetCustomFile(int slot, int group, const char* name, char** text);
int MCsaPutCustomFile(int slot, int group, const char* name, const char* text);
int MCsaRemoveCustomFile(int slot, int group, const char* name);

// ---------------------------------------------------------------- group items
// The item as native text (raw for groups 42 and 43). A group other than 80
// needs a name (1620); mode above 1 gives 1001.
int MCsaGetGroupItem(int slot, int group, const char* name, char** text, int mode);
// The item's bytes as stored; *length gets their count.
int MCsaGetBinaryGroupItem(int slot, int group, const char* name, char** bytes, int* length,
                           int mode);
// Stores the text (a leading UTF-16 byte-order mark is not sent). The name
// must be a valid item name unless the group is 80; mode 1 or 2.
int MCsaPutGroupItem(int slot, int group, const char* name, const char* text, int mode);
int MCsaPutBinaryGroupItem(int slot, int group, const char* name, const void* bytes, int length,
                           int mode);
int MCsaRemoveGroupItem(int slot, int group, const char* name, int mode);
int MCsaRenameGroupItem(int slot, int group, const char* oldName, const char* newName);
// Sends nothing: 0.
int MCsaGroupItemLock(int slot, int group, const char* name, int mode);
// The group's path on the server, cut to `size` bytes with its NUL.
int MCsaGetGroupPath(int slot, int group, char* path, std::size_t size);
// The list reply (message 102) of the group's item names.
int MCsaGetGroupList(int slot, int group, char** reply);
// Type items: `typeAndName` is an integration type name, a blank and an item
// name; `kind` picks the type's group ("datalist", "schedule", ...). They
// call the group-item calls above.
int MCsaGetTypeItem(int slot, const char* kind, const char* typeAndName, char** text, int mode);
int MCsaPutTypeItem(int slot, const char* kind, const char* typeAndName, const char* text,
                    int mode);
int MCsaRemoveTypeItem(int slot, const char* kind, const char* typeAndName, int mode);
// The list of the type's group (kind as above).
int MCsaGetListForType(int slot, const char* type, const char* kind, char** reply);

// ---------------------------------------------------------------- certificates
int MCsaListCertificates(int slot, char** reply);
int MCsaGetCertificate(int slot, const char* name, char** text);
int MCsaAddCertificate(int slot, const char* name, const char* text);

// ---------------------------------------------------------------- lists and queries
// Each hands over the server's list message unparsed.
int MCsaGetDatalists(int slot, char** reply);
int MCsaGetTemplates(int slot, char** reply);
int MCsaGetFilteredDatalists(int slot, int filter, char** reply);
int MCsaGetBackups(int slot, int kind, char** reply);
int MCsaGetNotifications(int slot, char** reply);
int MCsaGetAmos(int slot, char** reply);
int MCsaGetBackupFileList(int slot, char** reply);
int MCsaGetScheduledCopySpecs(int slot, char** reply);
int MCsaGetScheduledConsolidationSpecs(int slot, char** reply);
int MCsaGetScheduledVerificationSpecs(int slot, char** reply);
// Overview (101): seven items per running session. Status (103) of one.
int MCsaGetSessionOverview(int slot, char** reply);
int MCsaGetSessionStatus(int slot, const char* session, char** reply);

// ---------------------------------------------------------------- commands
// *text gets a copy of the item behind the result ("" when none).
int MCsaGetClientInfo(int slot, const char* a, const char* b, char** text);
int MCsaRedebug(int slot, const char* ranges, const char* postfix, const char* select);
// *value gets the item behind the result as a number (0 when none).
int MCsaExec(int slot, const char* command, int* value);
int MCsaIsRunning(int slot, int n);
// Host and cluster import and export. On a server error *text (may be null)
// gets a copy of the server's explanation, the item behind the result.
int MCsaImportHost(int slot, const char* host, int flags, char** text);
int MCsaExportHostEx(int slot, const char* host, unsigned flags, char** text);
int MCsaUpdateHostEx(int slot, const char* host, unsigned flags, char** text);
int MCsaImportCluster(int slot, const char* cluster, char** text);
int MCsaImportClusterNode(int slot, const char* cluster, const char* node, char** text);
int MCsaImportClusterVS(int slot, const char* cluster, const char* server, char** text);
int MCsaExportCluster(int slot, const char* cluster, char** text);
int MCsaExportClusterNode(int slot, const char* cluster, const char* node, char** text);
int MCsaExportClusterVS(int slot, const char* cluster, const char* server, char** text);
int MCsaImportInstallServer(int slot, const char* host, char** text);
int MCsaExportInstallServer(int slot, const char* host, char** text);
int MCsaImportNDMPHost(int slot, const char* host, int type, int port, const char* user,
                       const char* password, int flag, char** text);
int MCsaImportAppServer(int slot, const char* host, int type, int subType, int port,
                        const char* user, const char* password, const char* cert, char** text);
// *text gets the host id, the item behind the result.
int MCsaGetHostId(int slot, const char* s1, int n, const char* s2, const char* s3, const char* s4,
                  const char* s5, char** text);
// Sends `packedMessage` (a packed catalogue message) as one item.
int MCsaEventLogTrigger(int slot, int event, const char* packedMessage);

// ---------------------------------------------------------------- resources
// Request 281 with `operation` and its items: 1 (const char*, int, int),
// 2 (int), 3 (int, int, int), 4, 5 and 6 (int, int), 7 none. The item behind
// the result as a number (0 when none), or -1 (also for a server error or an
// unknown operation, 1001).
int MCsaSemaphoreControl(int slot, int operation, ...);
// The server's number of the new resource, or -1.
int MCsaResourceCreate(int slot, const char* name, int a, int b);
int MCsaResourceClose(int slot, int resource);
// With `flag` set asks the server to wait without limit, else at most
// `timeout` seconds; the client waits for the answer that time-out beyond
// its reply time-out (VEKCSREPLYTIMEOUT), and for an unlimited wait only the
// reply time-out: no wait of the client is without bound.
int MCsaResourceAcquire(int slot, int resource, int flag, int timeout);
int MCsaResourceRelease(int slot, int resource);
int MCsaResourceCleanup(int slot);

// ---------------------------------------------------------------- composites
// Binds every server listed in file 8 of the cell server and hands over a
// message 107 with seven items per server: name, slot (-1 unbound), login
// item 3, installation flags, login item 4, login item 6 ("-" when unknown),
// connected (1 or 0).
int MCsaGetServers(char** reply);
// Adds `host` to the cell servers of file 8 and makes this cell server its
// manager; 1949 when another cell server manages it.
int MCsaImportServer(const char* host);
// Removes `host` from file 8 and clears its manager; 1013 when it is this
// cell server or not listed.
int MCsaExportServer(const char* host);
// Message 108 from file 26: four items per line.
int MCsaGetCDROMTable(int slot, char** reply);
// Reads the host named in the local file cell/mom_server (cell/mmdb_server)
// of the server configuration directory into `host` (`size` bytes) and binds
// it unless it is this host. *slot gets its slot, or -1 for this host.
int MCsaBindMomServer(int* slot, char* host, std::size_t size);
int MCsaBindCMMDBServer(int* slot, char* host, std::size_t size);
// Server groups, one per line of file 17: message 121, one item per group.
int MCsaGetGroups(int slot, char** reply);
int MCsaAddGroup(int slot, const char* name);
// 1013 when the group is not listed.
int MCsaRemoveGroup(int slot, const char* name);

// ---------------------------------------------------------------- user list
// The slot's user list, loaded from file 1 on first use and kept with the
// slot; null (1002 without the user-administration right). The list belongs
// to the client.
UserList* MCsaUserGetList(int slot);
// Adds an entry (all four texts non-empty, else 8002); 1013 when the user,
// group and host are listed already.
int MCsaUserAdd(int slot, const char* name, const char* group, const char* host,
                const char* className);
// Removes the entry of user, group and host; 1005 when none.
int MCsaUserDel(int slot, const char* name, const char* group, const char* host);
// Writes the slot's list back to file 1; slot -1 commits every bound slot.
// A slot without a loaded list gives 0.
int MCsaUserCommit(int slot);

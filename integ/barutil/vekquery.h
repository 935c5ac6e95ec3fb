// Catalogue queries of the integration: the catalogue session, the typed row
// and array forms over the query engine, and the change of a version's
// protection. The integration context keeps one VEK_Catalog.
#pragma once

#include <cstdarg>

#include "barutil/query.h"
#include "barutil/queryrec.h"
#include "cmn/array.h"

inline constexpr int kVekCatalogSession = 2;
inline constexpr int kVekQueryFilterMax = 80;
inline constexpr int kVekQueryFailed = -18;
inline constexpr int kVekQuerySessionFailed = -2;
inline constexpr int kVekQueryNoContext = -21;

struct VEK_Catalog;
// Post-step of a fetch: 0 skips the record and reads the next row.
using VEK_QueryPostFn = int (*)(void* record, VEK_Catalog* catalog);

struct VEK_QueryInfo {
  VEK_UnpackFn unpack = nullptr;
  VEK_QueryPostFn post = nullptr;
  char filter[kVekQueryFilterMax + 1] = {};
};

struct VEK_Catalog {
  IpcHandle handle = -1;  // the catalogue session, -1 when closed
  // When set, kept equal to `handle` (the integration context's copy).
  IpcHandle* mirror = nullptr;
  query_t query;
  VEK_QueryInfo info;
};

// Query message functions on a session connection, with no need of a running
// cell-server client: an IPC failure becomes 1617 when interrupted, else 1011.
int VEK_IpcRead(IpcHandle handle, char** message, int timeout);
int VEK_IpcWrite(IpcHandle handle, const char* message);

// Opens the catalogue session (type 2) on the cell server of VEK_CellServer.
// The cell-server client is started for it and stopped again only when this
// call started it. 0, -21 without catalogue, -2 when the session fails.
int VEK_CatalogStart(VEK_Catalog* catalog);
// Closes the session. 0 (-21 without catalogue).
int VEK_CatalogEnd(VEK_Catalog* catalog);

int VEK_QueryOpen(VEK_Catalog* catalog, int id, const char* format, ...);
int VEK_QueryOpenV(VEK_Catalog* catalog, int id, const char* format, va_list args);
bool VEK_QueryRead(VEK_Catalog* catalog);
// Reads and unpacks the next accepted row into `record`; false at the end, on
// error (the query error code says which) or when the row does not unpack.
bool VEK_QueryFetch(VEK_Catalog* catalog, void* record);
int VEK_QueryUnpack(VEK_Catalog* catalog, void* record);
// 0, or -18 when the query's error code is set.
int VEK_QueryRetval(VEK_Catalog* catalog);
// Ends the query; a session left out of step by a failed read is closed, so
// that later queries fail instead of reading late replies.
void VEK_QueryClose(VEK_Catalog* catalog);

// Row forms: fill `out` (optional; element records by value) and return 0 or
// -18. `out` must be initialised by the caller with the record's size and
// free function, or be zeroed (it is then set up here).
int VEK_QueryObjects2(VEK_Catalog* c, int type, const char* filter, array_t* out);
int VEK_QueryObjectsPartName2(VEK_Catalog* c, int type, const char* part, const char* filter,
                              array_t* out);
int VEK_QueryObjectsOfSessionEx2(VEK_Catalog* c, const char* a, const char* b, const char* d,
                                 int onePerBackupId, array_t* out);
int VEK_QueryObjectVersionsEx2(VEK_Catalog* c, const char* object, int onePerBackupId,
                               array_t* out);
int VEK_QueryObjectVersionsFast2(VEK_Catalog* c, const char* object, int number, array_t* out);
int VEK_QueryGetObjectVersion(VEK_Catalog* c, int versionId, VEK_ObjectVersion* out);
int VEK_QueryCatalog2(VEK_Catalog* c, int number, array_t* out);
int VEK_QueryFileNames(VEK_Catalog* c, int number, const char* a, const char* b, array_t* out);
int VEK_QueryFbVersions(VEK_Catalog* c, const char* name, int n1, int n2, array_t* out);
int VEK_QueryFbDir(VEK_Catalog* c, int number, const char* dir, array_t* out);
int VEK_QueryPatternSearch2(VEK_Catalog* c, const char* a, const char* b, const char* d, int n1,
                            int n2, int n3, array_t* out);
int VEK_QueryFileVersions2(VEK_Catalog* c, const char* name, array_t* out);
int VEK_QueryMedia2(VEK_Catalog* c, int n1, int n2, array_t* out);

// Array forms: *count and *records (free with VEK_FreeArray) on 0.
int VEK_QueryObjects(VEK_Catalog* c, int type, const char* filter, int* count,
                     VEK_Object** records);
int VEK_QueryObjectsPartName(VEK_Catalog* c, int type, const char* part, const char* filter,
                             int* count, VEK_Object** records);
int VEK_QueryObjectsOfSessionEx(VEK_Catalog* c, const char* a, const char* b, const char* d,
                                int onePerBackupId, int* count, VEK_ObjectVersion** records);
int VEK_QueryObjectVersionsEx(VEK_Catalog* c, const char* object, int onePerBackupId, int* count,
                              VEK_Version** records);
int VEK_QueryObjectVersionsFast(VEK_Catalog* c, const char* object, int number, int* count,
                                VEK_Version** records);
int VEK_QueryCatalog(VEK_Catalog* c, int number, int* count, VEK_Item** records);
int VEK_QueryPatternSearch(VEK_Catalog* c, const char* a, const char* b, const char* d, int n1,
                           int n2, int n3, int* count, VEK_Item** records);
int VEK_QueryFileVersions(VEK_Catalog* c, const char* name, int* count, VEK_ItemVersion** records);
int VEK_QueryMedia(VEK_Catalog* c, int n1, int n2, int* count, VEK_Medium** records);

// Request 1601 with the three numbers (the first the object-version id).
int VEK_ChangeOVProtection(VEK_Catalog* c, int versionId, int n2, int n3);

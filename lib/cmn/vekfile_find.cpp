// File wrappers: searching a directory for names that match a shell pattern,
// one name per call.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/vekfile.h"
#include "cmn/vekfile_private.h"

TARN_RCSID("lib/cmn/vekfile_find.cpp");

using vekfile::Log;

int VEK_FindFirstFile(VEK_FindData* search, const char* path, char* name) {
  if (search == nullptr || path == nullptr || name == nullptr) {
    errno = EINVAL;
    return -2;
  }
  std::memset(search, 0, sizeof *search);
  const std::size_t length = std::strlen(path);
  search->path = static_cast<char*>(safe_malloc(length + 1, TARN_HERE));
  if (search->path == nullptr) return -2;
  std::memcpy(search->path, path, length + 1);
  char* slash = std::strrchr(search->path, '/');
  if (slash == nullptr) {
    VEK_FindClose(search);
    return -1;
  }
  *slash = '\0';
  search->pattern = slash + 1;
  const char* directory = search->path[0] != '\0' ? search->path : "/";
  search->dir = opendir(directory);
  if (search->dir == nullptr) {
    const int sysErrno = errno;
    int rc = -1;
    if (sysErrno != ENOENT) {
      Log(-2, "VEK_FindFirstFile: opendir() failed, errcode=%d [path=%s]", sysErrno, path);
      rc = -2;
    }
    VEK_FindClose(search);
    errno = sysErrno;
    return rc;
  }
  const int rc = VEK_FindNextFile(search, name);
  if (rc != 0) {
    const int sysErrno = errno;
    VEK_FindClose(search);
    errno = sysErrno;
  }
  return rc;
}

int VEK_FindNextFile(VEK_FindData* search, char* name) {
  if (search == nullptr || search->dir == nullptr || name == nullptr) {
    errno = EINVAL;
    return -2;
  }
  for (;;) {
    errno = 0;
    dirent* entry = readdir(search->dir);
    if (entry == nullptr) {
      if (errno == 0) return -1;
      Log(-2, "VEK_FindNextFile: readdir() failed, errcode=%d", errno);
      return -2;
    }
    const char* leaf = entry->d_name;
    if (std::strcmp(leaf, ".") == 0 || std::strcmp(leaf, "..") == 0) continue;
    if (FnmFilenameMatch(search->pattern, leaf, 0) != 1) continue;
    search->entry = entry;
    std::snprintf(name, kVekFindNameMax, "%s", leaf);
    return 0;
  }
}

int VEK_FindClose(VEK_FindData* search) {
  if (search == nullptr) return -1;
  int rc = 0;
  if (search->dir != nullptr && closedir(search->dir) != 0) {
    Log(-2, "VEK_FindClose: closedir() failed, errcode=%d", errno);
    rc = -1;
  }
  if (search->path != nullptr) safe_free(search->path, TARN_HERE);
  std::memset(search, 0, sizeof *search);
  return rc;
}

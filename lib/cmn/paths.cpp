// Installation and log directories, rooted at TARN_ROOT when it is set.
#include "cmn/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char cmnFenBase[kCmnPathMax];
char cmnFenLib[kCmnPathMax];
char cmnFenNls[kCmnPathMax];
char cmnFenBin[kCmnPathMax];
char cmnFenLBin[kCmnPathMax];
char cmnFenHelp[kCmnPathMax];
char cmnFenConfigClient[kCmnPathMax];
char cmnFenConfig[kCmnPathMax];
char cmnFenLog[kCmnPathMax];
char cmnFenServerLog[kCmnPathMax];
char cmnFenTmp[kCmnPathMax];

namespace {

char installRoot[kCmnPathMax];

struct FixedDir {
  char* variable;
  const char* path;
};

constexpr FixedDir kFixedDirs[] = {
    {cmnFenBase, "/opt/tarn"},
    {cmnFenLib, "/opt/tarn/lib"},
    {cmnFenNls, "/opt/tarn/lib/nls"},
    {cmnFenBin, "/opt/tarn/bin"},
    {cmnFenLBin, "/opt/tarn/lbin"},
    {cmnFenHelp, "/opt/tarn/gui/help"},
    {cmnFenConfigClient, "/etc/opt/tarn/client"},
    {cmnFenConfig, "/etc/opt/tarn/server"},
    {cmnFenLog, "/var/opt/tarn/log"},
    {cmnFenServerLog, "/var/opt/tarn/server/log"},
    {cmnFenTmp, "/var/opt/tarn/tmp"},
};

// Read before main so that every module sees the same root from the start.
struct PathsAtLoad {
  PathsAtLoad() { CmnPathsInit(std::getenv("TARN_ROOT")); }
} pathsAtLoad;

}  // namespace

const char* CmnInstallRoot() {
  return installRoot;
}

std::string CmnRootedPath(const char* absolutePath) {
  std::string path(installRoot);
  if (absolutePath != nullptr) path += absolutePath;
  return path;
}

void CmnPathsInit(const char* root) {
  installRoot[0] = '\0';
  if (root != nullptr && root[0] != '\0' && std::strlen(root) < kCmnPathMax / 2) {
    std::snprintf(installRoot, sizeof installRoot, "%s", root);
    // A trailing slash would double up with the absolute paths below.
    for (size_t n = std::strlen(installRoot); n > 0 && installRoot[n - 1] == '/'; --n) {
      installRoot[n - 1] = '\0';
    }
  }
  for (const FixedDir& dir : kFixedDirs) {
    std::snprintf(dir.variable, kCmnPathMax, "%s%s", installRoot, dir.path);
  }
}

// Installation and log directories. Each defaults to its fixed path under "/";
// when TARN_ROOT is set at process start every one of them lies under that
// root instead. Read once, before main, so no code path sees a mix.
#pragma once

#include <string>

inline constexpr int kCmnPathMax = 1024;

extern char cmnFenBase[kCmnPathMax];          // /opt/tarn
extern char cmnFenLib[kCmnPathMax];           // /opt/tarn/lib
extern char cmnFenNls[kCmnPathMax];           // /opt/tarn/lib/nls
extern char cmnFenBin[kCmnPathMax];           // /opt/tarn/bin
extern char cmnFenLBin[kCmnPathMax];          // /opt/tarn/lbin
extern char cmnFenHelp[kCmnPathMax];          // /opt/tarn/gui/help
extern char cmnFenConfigClient[kCmnPathMax];  // /etc/opt/tarn/client
extern char cmnFenConfig[kCmnPathMax];        // /etc/opt/tarn/server
extern char cmnFenLog[kCmnPathMax];           // /var/opt/tarn/log
extern char cmnFenServerLog[kCmnPathMax];     // /var/opt/tarn/server/log
extern char cmnFenTmp[kCmnPathMax];           // /var/opt/tarn/tmp

// The root every fixed path is taken under ("" for "/").
const char* CmnInstallRoot();
// A fixed absolute path (e.g. "/opt/tarn/lib/libwren_32bit.so") under the root.
std::string CmnRootedPath(const char* absolutePath);
// Sets the root and recomputes every directory. Start-up calls it with
// getenv("TARN_ROOT"); tests may call it again to switch roots.
void CmnPathsInit(const char* root);

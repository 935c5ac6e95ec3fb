// End-to-end road of the cell-server client: start-up, binding and login,
// global options, a configuration item written and read back, and a session
// started and re-attached by its GUID. One line per step; exit 0 only when
// every step worked.
//
//   TARN_INET_PORT=<port> TARN_ROOT=<root> csa_road [<cell server host>]
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "csa/csasession.h"
#include "ipc/ipc.h"

TARN_RCSID("e2e/csa_road.cpp");

namespace {

constexpr int kItemGroup = 12;
constexpr char kItemName[] = "csa_road";

int failures = 0;

// Prints the step's line; a failed step names the marked error.
bool Step(bool ok, const std::string& what) {
  if (ok) {
    std::printf("ok    %s\n", what.c_str());
  } else {
    ++failures;
    std::printf("FAIL  %s: error %d (%s)\n", what.c_str(), ErhErrno(), ErhErrnoToText());
  }
  std::fflush(stdout);
  return ok;
}

std::string ItemText() {
  std::string text = "# written by csa_road\n";
  for (int i = 0; text.size() < 100000; ++i)
    text += "Line" + std::to_string(i) + "=value " + std::to_string(i * 7) + "\n";
  return text;
}

// Starts a backup session, then leaves it and attaches again by its GUID.
void SessionRoad() {
  StrMsg start;
  StrMsgInitL(&start);
  StrMsgMakeL(&start, nullptr, 0, MSG_PORT_REQUEST, "-bar", kItemName, nullptr);
  const IpcHandle session = MCsaStartSession(0, kCsaSessionBackup, StrMsgGetBufL(&start));
  StrMsgFreeL(&start);
  if (!Step(session >= 0, "start a backup session")) return;
  const std::string key = MCsaGetSessionKey(session);
  const std::string guid = MCsaGetSessionGuid(session);
  std::printf("      session key %s, GUID %s, handle %d\n", key.c_str(), guid.c_str(), session);
  if (!Step(MCsaDisconnectSession(session) == 0, "leave the session")) return;
  const IpcHandle again = MCsaReconnectSession(0, guid.c_str());
  if (!Step(again >= 0, "re-attach the session by its GUID " + guid)) return;
  const char* againKey = MCsaGetSessionKey(again);
  Step(againKey != nullptr && key == againKey, "the re-attached session has the key " + key);
  Step(MCsaDisconnectSession(again) == 0, "leave the re-attached session");
}

}  // namespace

int main(int argc, char** argv) {
  const char* host = argc > 1 ? argv[1] : "127.0.0.1";
  if (!Step(CmnInit("csa_road", nullptr, nullptr, nullptr, nullptr, 0) == 0,
            "start the common runtime"))
    return 1;
  std::printf("      cell server %s, inet port %d\n", host, CmnGetInetPort());

  const int bound = MCsaInit(host);
  if (bound != 0) Step(false, "bind to the cell server and log in");
  if (bound == 0) {
    const CsaServerSlot& slot = CsaGetContext()->slots[0];
    Step(slot.connected != 0, std::string("bind to the cell server ") + slot.host +
                                  " (request port " + std::to_string(slot.port) + ", slot 0)");
    char rights[32];
    std::snprintf(rights, sizeof rights, "0x%x", slot.acl);
    Step(slot.acl != 0, std::string("log in (access rights ") + rights + ")");
    Step(glBindTimeout > 0,
         "take the global options (BindTimeout " + std::to_string(glBindTimeout) + ")");

    const std::string text = ItemText();
    Step(MCsaPutGroupItem(0, kItemGroup, kItemName, text.c_str(), 1) == 0,
         "write the configuration item " + std::to_string(kItemGroup) + "/" + kItemName + " (" +
             std::to_string(text.size()) + " bytes)");
    char* back = nullptr;
    const bool read = MCsaGetGroupItem(0, kItemGroup, kItemName, &back, 0) == 0;
    Step(read && back != nullptr && text == back, "read the configuration item back unchanged");
    if (back != nullptr) safe_free(back, TARN_HERE);

    SessionRoad();
    CsaExit();
  }
  Step(CsaIsInitialized() == 0 && IpcIsInitialized() == 0,
       "stop the client and the IPC layer it started");
  CmnExit();
  std::printf("%s\n", failures == 0 ? "csa_road: every step worked" : "csa_road: FAILED");
  return failures == 0 ? 0 : 1;
}

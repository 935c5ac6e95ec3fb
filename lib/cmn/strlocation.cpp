// Strings: the media texts built on process globals: user locations (the
// non-resident location option) and generated medium ids (this host).
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/global.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strlocation.cpp");

const char* StrGenerateMediumId() {
  static char area[33];
  static std::uint16_t counter = 0;
  // The four address bytes are read as one number in the processor's order.
  std::uint32_t address = 0;
  const struct hostent* entry = GetHostByName(cmnHostname);
  if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4 &&
      entry->h_addr_list[0] != nullptr) {
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  } else {
    DbgPlain(kDbgUnexpected, "[%s] gethostbyname(%s) failed. Errno: %d", "StrGenerateMediumId",
             cmnHostname, errno);
  }
  ++counter;
  std::snprintf(area, sizeof area, "%08x:%08x:%04hx:%04hx", address,
                static_cast<unsigned>(std::time(nullptr)), static_cast<unsigned short>(getpid()),
                static_cast<unsigned short>(counter));
  return area;
}

const char* StrToUserLocation(const char* text, const char* location, const char* medium) {
  static char area[165];
  text = text != nullptr ? text : "";
  const char* gap = *text != '\0' ? " " : "";
  if (medium != nullptr && *medium != '\0') {
    std::string place(StrLen(location) + 1, '\0');
    long side = -1;
    StrFromPhyLocation(location, place.data(), &side);
    const char* sideText = side == 0 ? " A" : side == 1 ? " B" : "";
    std::snprintf(area, sizeof area, "[%s: %5s%s]%s%s", medium, place.c_str(), sideText, gap, text);
  } else if (glNonResidentLocation[0] != '\0') {
    // The area is cut at its capacity like every other form.
    const int width = static_cast<int>(strnlen(glNonResidentLocation, sizeof area - 4));
    std::snprintf(area, sizeof area, "[%.*s] %s", width, glNonResidentLocation, text);
  } else {
    std::snprintf(area, sizeof area, "%.*s", static_cast<int>(strnlen(text, 80)), text);
  }
  return area;
}

// Global options: the process identity that some option defaults are made of.
#include <string>

#include "cmn/cmninit.h"
#include "cmn/global_private.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/global_ident.cpp");

namespace global_detail {

std::string CellServerName() {
  return cmnCSHostname;
}

std::string SenderAddress() {
  return std::string(cmnEun) + "@" + cmnHostname;
}

int InetPort() {
  return CmnGetInetPort();
}

}  // namespace global_detail

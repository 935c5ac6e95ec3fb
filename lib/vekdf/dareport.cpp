// Reports of the data-stream format library: internal faults of the calling
// code and damaged data read back.
#include <string>

#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "vekdf/daimpl.h"
#include "vekdf/damsg.h"

TARN_RCSID("lib/vekdf/dareport.cpp");

namespace vekdf_detail {

void ReportInternal(const char* function, const char* file, int line) {
  DbgMessageM(file, line, kDbgUnexpected, nullptr);
  DbgPlain(kDbgUnexpected, "[%s] internal error", function);
  ErhMarkM(ERH_INTERNAL, 0, function, kErhMajor, file, line);
  const std::string shortFile = Get_FILE_from_rcsId(file);
  ErhFullReportPackedM(
      function, kErhMajor,
      NlsPackMessage(kNlsSetError, kNlsErrorInternal, shortFile, line, shortFile, line), file,
      line);
}

void ReportDamaged(const char* function, const char* file, int line) {
  DbgPlain(kLevel, "[%s] damaged data at %s:%d", function, Get_FILE_from_rcsId(file), line);
  ErhFullReportPackedM(function, kErhMajor, NlsPackMessage(kDaMsgSet, kDaMsgBadHeader), file, line);
}

}  // namespace vekdf_detail

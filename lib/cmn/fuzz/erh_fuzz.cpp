// Fuzz target of the error state received from a peer: any message either
// unpacks into a bounded error state or is refused; an error already marked
// here is never changed by it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/erh_fuzz.cpp");

namespace {

bool Bounded(const ErhStatusInfo& s) {
  return std::strlen(s.markFunction) < sizeof s.markFunction &&
         std::strlen(s.sysErrorText) < sizeof s.sysErrorText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  auto bytes = std::make_unique<char[]>(size);
  if (size > 0) std::memcpy(bytes.get(), data, size);

  // Into an empty error state.
  ErhClearErrorM(TARN_HERE);
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrParseStartNL(&msg, bytes.get(), size) >= 0) {
    const int code = ErhUnpackMsgL(&msg);
    const ErhStatusInfo* s = ErhStatus();
    if (s == nullptr || !Bounded(*s)) std::abort();
    if (code > 0 && s->code != code) std::abort();
    if (code > 0) tarn::fuzz::Accepted();
  }
  StrMsgFreeL(&msg);

  // Into a state that already holds an error: it stays as it was.
  ErhClearErrorM(TARN_HERE);
  ErhMarkM(3017, 110, "IpcRecv", 2, TARN_HERE);
  StrMsgInitL(&msg);
  if (StrParseStartNL(&msg, bytes.get(), size) >= 0) {
    ErhUnpackMsgL(&msg);
    const ErhStatusInfo* s = ErhStatus();
    if (s->code != 3017 || s->level != 2 || std::strcmp(s->markFunction, "IpcRecv") != 0 ||
        std::strcmp(s->sysErrorText, "[110] Connection timed out") != 0) {
      std::abort();
    }
  }
  StrMsgFreeL(&msg);
  return 0;
}

// Error states as a peer packs them after its message code.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const struct {
    const char* name;
    int code;
    int sysErrno;
    const char* function;
    int level;
  } kErrors[] = {{"system", 3017, 110, "IpcRecv", 2}, {"plain", 1620, 0, "CmnItemFromTname", 1}};
  for (const auto& e : kErrors) {
    ErhClearErrorM(TARN_HERE);
    ErhMarkM(e.code, e.sysErrno, e.function, e.level, TARN_HERE);
    StrMsg msg;
    StrMsgInitL(&msg);
    if (StrMsgStartExL(&msg, nullptr, 0, 13, 0) != 0 || ErhPackMsgL(&msg) != 0) std::abort();
    const char* text = StrMsgGetBufL(&msg);
    seeds->Add(e.name, std::string_view(text, static_cast<std::size_t>(StrMsgTSize(text))));
    StrMsgFreeL(&msg);
  }
  ErhClearErrorM(TARN_HERE);
}

// Linked into every fuzz target of the product and its seed program: the
// unexpected-failure lines that fuzzed input provokes by the thousand stay
// out of debug.log. Each such line opens and closes the log file, which
// slows the socket targets tenfold.
#include "cmn/defines.h"

namespace {

[[maybe_unused]] const bool quiet = (cmnDefine_DISABLE_DBG_UNEXPECTED = 1, true);

}  // namespace

// Fuzz target of the trusted-hosts parser: any text, with and without a host,
// gives words of at most 255 characters besides the host, and the host itself
// only when it was asked for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "fuzz/fuzzseed.h"
#include "parse/ipspec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first line names the host (may be empty); the rest is the text.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string host = input.substr(0, std::min(newline, input.find('\0')));
  const std::string text = newline == std::string::npos ? std::string() : input.substr(newline + 1);
  for (const char* h : {host.c_str(), static_cast<const char*>(nullptr)}) {
    for (int flags : {0, kTrustsAddSelf}) {
      ArgvVec argv{};
      const int added = ParseTrustsBuffer(text.c_str(), h, flags, &argv);
      if ((added == 1) != (argv.count > 0)) std::abort();
      if (added == 1) tarn::fuzz::Accepted();
      for (int i = 0; i < argv.count; ++i) {
        const bool self = h != nullptr && h[0] != '\0' && std::strcmp(argv.items[i], h) == 0;
        if (self && (flags & kTrustsAddSelf) == 0) std::abort();
        if (!self && std::strlen(argv.items[i]) > 255) std::abort();
      }
      ArgvFree(&argv);
    }
  }
  return 0;
}

// A trusted-hosts file after the line naming this host.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  seeds->Add("hosts", "client.example.com\n# trusted\ncs1.example.com\ncs2 10.0.0.7\n\n");
}

// Fuzz target of the stand-in cell server's fixture parser: any text is either
// read into a fixture or refused with a line number; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cellserver/fixture.h"
#include "cellserver/protocol.h"
#include "cellserver/sm.h"
#include "codec/rcsid.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("platform/cellserver/fuzz/fixture_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto fixture = tarn::cellserver::ParseFixture(text, &why);
  if (!fixture && !why.starts_with("line ")) std::abort();
  if (fixture) {
    tarn::fuzz::Accepted();
    // What the session manager makes of the script: the comment lines as the
    // items of a report line (the first alone as a flattened one) and the
    // option words expanded.
    std::vector<std::string> items;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
      if (text[at] == '#') items.emplace_back(text.substr(at + 1, end - at - 1));
    }
    (void)tarn::cellserver::ExpandReport(items, *fixture);
    if (!items.empty()) (void)tarn::cellserver::ExpandReport({items[0]}, *fixture);
    const tarn::cellserver::SessionInfo session{.key = "k", .guid = "g"};
    for (const auto& step : fixture->baropt)
      (void)tarn::cellserver::ExpandWords(step.words, 1, "h", session);
    // Every catalogue request with the comment lines as its items: rows of
    // exactly the table's field count, then one MSG_RESULT.
    tarn::cellserver::SessionManagerBook book(*fixture);
    for (const int id : {1022, 1069, 1083, 1026, 1024, 1032, 1036, 1060, 1054, 1050, 1612, 1601,
                         1001, 1033, 1020}) {
      const auto out = book.answerCatalogue({id, items});
      if (out.empty() || out.back().code != tarn::standin::kMsgResult) std::abort();
      const auto spec = tarn::cellserver::FindCatalogueRequest(id);
      for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (!spec || out[i].code != spec->rowId ||
            out[i].items.size() != static_cast<std::size_t>(spec->fields))
          std::abort();
        (void)tarn::standin::EncodeMessage(out[i]);
      }
    }
  }
  (void)tarn::cellserver::Utf8ToUtf16LeWithMark(text);
  return 0;
}

// Fixtures of the catalogue, keys and faults, and the session manager's
// script, their quoted words as the fixture writer quotes them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  using tarn::cellserver::QuoteFixtureWord;
  const std::string object = QuoteFixtureWord("05 h1:/db // D");
  seeds->Add("catalogue",
             "#05 h1:/db // D\n#0\n"
             "cat-object " +
                 QuoteFixtureWord("05 h1:/empty // E") +
                 " 5\n"
                 "cat-version 10 " +
                 object + " S1 1700000000 " + QuoteFixtureWord("-backupId \"B1\" -trees \"/db\"") +
                 " type=5 size=4294967298\n"
                 "cat-item 10 /db/a 7 1699999999\n"
                 "cat-item 10 /db/sub/b.log 9 1699999998 100 200 0600\n"
                 "cat-medium 10 0a1b2c3d_00000001_0001 " +
                 QuoteFixtureWord("Pool Disk") + " " + QuoteFixtureWord("Tape 1") +
                 " 3\n"
                 "cat-protection 10 2 1800000000\n");
  seeds->Add("keys_and_faults", "key db2/i1 " + std::string(32, 'a') + " " + std::string(32, 'b') +
                                    " 3 1 " + std::string(64, 'c') +
                                    "\nfault 205 port0 times=1\nlogin 0x800 1 " +
                                    QuoteFixtureWord("CM") + " " + QuoteFixtureWord("") + " 0 " +
                                    QuoteFixtureWord("") + "\n");
  seeds->Add("session_manager",
             "#[131:11]a\n#arg\n"
             "baropt connect -ma ${host} 5555 -daid 7 -lport ${host} ${lport} -sess ${session}\n"
             "baropt wait 0\nsm-abort 33 status 2\nsession-timeout 250\n"
             "catalogue 131 11 " +
                 QuoteFixtureWord("Object %s at %d%%") +
                 "\n"
                 "literal 7512 " +
                 QuoteFixtureWord("x") + "\n");
}

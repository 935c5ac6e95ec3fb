// Helpers shared by the catalogue tests: a fresh install root with the
// language environment cleared, and catalogues compiled from source text by
// the build's own compiler.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cmn/ctx.h"
#include "cmn/defines.h"
#include "cmn/nls.h"
#include "cmn/paths.h"
#include "tarn_test.h"

namespace nlstest {

// Compiles catalogue source text into `output`; true on success.
inline bool CompileCatalogue(const std::string& source, const std::string& output) {
  tarn::test::TempDir dir;
  const std::string input = dir.path() + "/source.msg";
  tarn::test::WriteFile(input, source);
  const std::string command = std::string(TARN_BUILD_DIR) + "/lib/cmn/cat/tarn_catc -o '" + output +
                              "' '" + input + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// A root without any catalogue, the language variables unset and the
// catalogue closed; everything is put back afterwards.
class NlsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      const char* value = std::getenv(kVars[i]);
      saved_[i] = value != nullptr ? value : "";
      had_[i] = value != nullptr;
      unsetenv(kVars[i]);
    }
    root_ = std::make_unique<tarn::test::TempRoot>();
    std::remove(root_->at("/opt/tarn/lib/nls/C/tarn.cat").c_str());
    CmnPathsInit(root_->path().c_str());
    NlsCloseCatalog();
    cmnDefine_ORACLE8 = 0;
  }
  void TearDown() override {
    NlsCloseCatalog();
    CmnMapFileForceEmulation(false);
    cmnDefine_ORACLE8 = 0;
    root_.reset();
    CmnPathsInit(std::getenv("TARN_ROOT"));
    for (int i = 0; i < 3; ++i) {
      if (had_[i]) {
        setenv(kVars[i], saved_[i].c_str(), 1);
      } else {
        unsetenv(kVars[i]);
      }
    }
  }
  // Installs a catalogue for `lang` compiled from `source`.
  void Install(const std::string& lang, const std::string& source) {
    root_->write("/opt/tarn/lib/nls/" + lang + "/.keep", "");
    ASSERT_TRUE(CompileCatalogue(source, root_->at("/opt/tarn/lib/nls/" + lang + "/tarn.cat")));
  }
  std::string CatalogPath(const std::string& lang) const {
    return root_->at("/opt/tarn/lib/nls/" + lang + "/tarn.cat");
  }

  std::unique_ptr<tarn::test::TempRoot> root_;

 private:
  static constexpr const char* kVars[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string saved_[3];
  bool had_[3] = {false, false, false};
};

}  // namespace nlstest

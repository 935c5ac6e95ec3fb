// Environment helpers: defaults, number words, export of a list, secrets.
#include "barutil/buenv.h"

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "barutil_test_util.h"

namespace {

using barutiltest::Owned;
using barutiltest::ScopedEnv;

class BuEnvTest : public barutiltest::BarutilTest {};

TEST_F(BuEnvTest, StringValuesAndDefaults) {
  ScopedEnv a("BU_TEST_A", "value");
  ScopedEnv b("BU_TEST_B", nullptr);
  EXPECT_EQ(Owned(BU_GetEnv("BU_TEST_A")).str(), "value");
  EXPECT_EQ(BU_GetEnv("BU_TEST_B"), nullptr);
  EXPECT_EQ(BU_GetEnv(nullptr), nullptr);
  EXPECT_EQ(Owned(BU_EnvGetStrValue("BU_TEST_A", "d")).str(), "value");
  EXPECT_EQ(Owned(BU_EnvGetStrValue("BU_TEST_B", "d")).str(), "d");
  EXPECT_EQ(BU_EnvGetStrValue("BU_TEST_B", nullptr), nullptr);
}

TEST_F(BuEnvTest, IntValuesKeepTheDefaultWhenAbsentOrInvalid) {
  int v = 20;
  {
    ScopedEnv e("BU_TEST_N", nullptr);
    EXPECT_EQ(BU_EnvGetIntValue("BU_TEST_N", &v), 0);
    EXPECT_EQ(v, 20);
  }
  {
    ScopedEnv e("BU_TEST_N", "12x");
    EXPECT_EQ(BU_EnvGetIntValue("BU_TEST_N", &v), 0);
    EXPECT_EQ(v, 20);
  }
  {
    ScopedEnv e("BU_TEST_N", "45");
    EXPECT_EQ(BU_EnvGetIntValue("BU_TEST_N", &v), 1);
    EXPECT_EQ(v, 45);
  }
  ScopedEnv e("BU_TEST_N", "yes");
  EXPECT_EQ(BU_EnvGetIntValue("BU_TEST_N", &v), 1);
  EXPECT_EQ(v, 1);
}

TEST_F(BuEnvTest, PutAndExportSetVariablesAndSkipWhatCannotBeOne) {
  ScopedEnv a("BU_TEST_X", nullptr);
  ScopedEnv b("BU_TEST_I", nullptr);
  ScopedEnv c("BU_TEST_L", nullptr);
  EXPECT_EQ(BU_PutEnv("BU_TEST_X", nullptr), 0);
  EXPECT_STREQ(std::getenv("BU_TEST_X"), "");
  EXPECT_EQ(BU_PutEnv("", "v"), -1);
  EXPECT_EQ(BU_PutEnv("A=B", "v"), -1);
  EXPECT_EQ(BU_PutEnv(nullptr, "v"), -1);

  BpList l = VarUndef;
  BP_InitAsList(&l);
  BP_AddStr(&l, "BU_TEST_X", "text");
  BP_AddInt(&l, "BU_TEST_I", -42);
  BP_AddList(&l, "BU_TEST_L", nullptr);
  BP_AddStr(&l, "BAD=NAME", "v");
  EXPECT_EQ(BU_ExportToEnv(l), kBpOk);
  EXPECT_STREQ(std::getenv("BU_TEST_X"), "text");
  EXPECT_STREQ(std::getenv("BU_TEST_I"), "-42");
  EXPECT_EQ(std::getenv("BU_TEST_L"), nullptr);
  EXPECT_EQ(std::getenv("BAD"), nullptr);
  CmnVarFree(&l);
  EXPECT_EQ(BU_ExportToEnv(CmnVarInt64(1)), kBpBadArg);
}

TEST(BuSecretTest, NamesOfSecretsAreRecognised) {
  for (const char* name : {"Password", "DB2_PASSWD", "-pwd", "ENC_KEY", "KeyStore", "SECRET",
                           "api_token", "Credentials"})
    EXPECT_EQ(BU_IsSecretName(name), 1) << name;
  for (const char* name :
       std::initializer_list<const char*>{"PWD", "OLDPWD", "Username", "VEKOPTS", "HOME", nullptr})
    EXPECT_EQ(BU_IsSecretName(name), 0) << (name != nullptr ? name : "null");
}

}  // namespace

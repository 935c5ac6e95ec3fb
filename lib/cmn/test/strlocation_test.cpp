// Media texts built on process globals: user locations and medium ids.
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

#include "cmn/global.h"
#include "cmn/str.h"
#include "tarn_test.h"

namespace {

TEST(StrLocation, UserLocationShowsMediumLocationAndSide) {
  EXPECT_STREQ(StrToUserLocation("note", " Shelf 1", "MED1"), "[MED1: Shelf B] note");
  EXPECT_STREQ(StrToUserLocation("", "ab 0", "M"), "[M:    ab A]");
  EXPECT_STREQ(StrToUserLocation("x", "room", "M"), "[M:  room] x");
  EXPECT_STREQ(StrToUserLocation(std::string(90, 't').c_str(), "room", nullptr),
               std::string(80, 't').c_str());
  std::snprintf(glNonResidentLocation, sizeof glNonResidentLocation, "%s", "Offsite");
  EXPECT_STREQ(StrToUserLocation("note", "room", ""), "[Offsite] note");
  glNonResidentLocation[0] = '\0';
}

TEST(StrLocation, MediumIdsCarryPidAndACounter) {
  const std::string first = StrGenerateMediumId();
  const std::string second = StrGenerateMediumId();
  const std::regex form("[0-9a-f]{8}:[0-9a-f]{8}:[0-9a-f]{4}:[0-9a-f]{4}");
  ASSERT_TRUE(std::regex_match(first, form)) << first;
  ASSERT_TRUE(std::regex_match(second, form)) << second;
  char pid[5];
  std::snprintf(pid, sizeof pid, "%04hx", static_cast<unsigned short>(getpid()));
  EXPECT_EQ(first.substr(18, 4), pid);
  const unsigned a = std::stoul(first.substr(23), nullptr, 16);
  const unsigned b = std::stoul(second.substr(23), nullptr, 16);
  EXPECT_EQ((a + 1) & 0xFFFF, b);
}

}  // namespace

// Catalogue object names: the exact text written, the fields parsed back, and
// the limits that keep a name parseable.
#include "cmn/objname.h"

#include <string>

#include "cmn/str.h"
#include "tarn_test.h"

namespace {

struct Parsed {
  int rc = 0;
  int type = -1;
  std::string host;
  std::string mpoint;
  std::string label;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  char host[kObjNameHostMax + 1] = "";
  char mpoint[kObjNameMpointMax + 1] = "";
  char label[kObjNameLabelMax + 1] = "";
  p.rc = StrFromObjectName(&p.type, host, mpoint, label, text.c_str());
  p.host = host;
  p.mpoint = mpoint;
  p.label = label;
  return p;
}

std::string Write(int type, const char* host, const char* mpoint, const char* label,
                  int* rc = nullptr) {
  char dst[kObjNameSize];
  const int r = StrToObjectName(type, host, mpoint, label, dst);
  if (rc != nullptr) *rc = r;
  return dst;
}

TEST(ObjectName, WritesTypeHostMountPointAndLabel) {
  EXPECT_EQ(Write(5, "client1", "/home/data", "L"), "05 client1:/home/data // L");
  EXPECT_EQ(Write(123, "h", "/", "DB2"), "123 h:/ // DB2");
  EXPECT_EQ(Write(5, nullptr, nullptr, nullptr), "05 : // ");
  // The mount point is cleaned: separator runs and backslashes become one '/'.
  EXPECT_EQ(Write(5, "h", "//a\\b/", "L"), "05 h:/a/b // L");
  // The label is cut to 80 characters.
  EXPECT_EQ(Write(5, "h", "/m", std::string(90, 'l').c_str()),
            "05 h:/m // " + std::string(80, 'l'));
}

TEST(ObjectName, ParsesBackTheSameFields) {
  const Parsed p = Parse("05 client1:/home/data // L");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.type, 5);
  EXPECT_EQ(p.host, "client1");
  EXPECT_EQ(p.mpoint, "/home/data");
  EXPECT_EQ(p.label, "L");

  // The first colon ends the host, so a drive letter survives; the label may
  // hold anything, another " // " included.
  const std::string name = Write(2, "win1", "C:/dir", "a // b: c");
  EXPECT_EQ(name, "02 win1:C:/dir // a // b: c");
  const Parsed q = Parse(name);
  EXPECT_EQ(q.rc, 0);
  EXPECT_EQ(q.host, "win1");
  EXPECT_EQ(q.mpoint, "C:/dir");
  EXPECT_EQ(q.label, "a // b: c");

  // Empty host and empty mount point pass.
  const Parsed e = Parse("05 : // x");
  EXPECT_EQ(e.rc, 0);
  EXPECT_EQ(e.host, "");
  EXPECT_EQ(e.mpoint, "");

  // Every output may be left out.
  EXPECT_EQ(StrFromObjectName(nullptr, nullptr, nullptr, nullptr, "x h:/m // l"), 0);
}

TEST(ObjectName, HostAndMountPointLimitsHoldBothWays) {
  const std::string host64(64, 'h');
  const std::string host65(65, 'h');
  int rc = 0;
  EXPECT_EQ(Parse(Write(5, host64.c_str(), "/m", "L", &rc)).host, host64);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Write(5, host65.c_str(), "/m", "L", &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Parse("05 " + host65 + ":/m // L").rc, -1);

  const std::string mp1023 = "/" + std::string(1022, 'm');
  const std::string mp1024 = "/" + std::string(1023, 'm');
  EXPECT_EQ(Parse(Write(5, "h", mp1023.c_str(), "L", &rc)).mpoint, mp1023);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Write(5, "h", mp1024.c_str(), "L", &rc), "");
  EXPECT_EQ(rc, -1);
  // Longer than any path buffer: refused, never cut into a different name.
  EXPECT_EQ(Write(5, "h", ("/" + std::string(5000, 'm')).c_str(), "L", &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Parse("05 h:" + mp1024 + " // L").rc, -1);

  EXPECT_EQ(Parse("05 h:/m // " + std::string(80, 'l')).rc, 0);
  EXPECT_EQ(Parse("05 h:/m // " + std::string(81, 'l')).rc, -1);

  // A host that would move the delimiters is refused by the writer.
  EXPECT_EQ(Write(5, "a b", "/m", "L", &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Write(5, "a:b", "/m", "L", &rc), "");
  EXPECT_EQ(rc, -1);
  char dst[kObjNameSize];
  EXPECT_EQ(StrToObjectNameEx(5, "h", "/a // b", "L", dst), -1);
  EXPECT_EQ(StrToObjectNameEx(5, "h", "//a", "L", dst), 0);
  EXPECT_STREQ(dst, "05 h://a // L");
}

TEST(ObjectName, RefusesMisplacedOrMissingDelimiters) {
  for (const char* bad : {"05h:/m//L",     // no blank
                          "05 h/m // L",   // no colon
                          "05 h:/m/L",     // no " // "
                          "05:h /m // L",  // colon before the blank
                          "x // h:/m",     // " // " before the colon
                          "05 h: //L"}) {  // " // " needs its blanks
    EXPECT_EQ(Parse(bad).rc, -1) << bad;
  }
  // The type is only checked when it is asked for.
  EXPECT_EQ(Parse("xx h:/m // L").rc, -1);
  char host[kObjNameHostMax + 1];
  EXPECT_EQ(StrFromObjectName(nullptr, host, nullptr, nullptr, "xx h:/m // L"), 0);
  EXPECT_STREQ(host, "h");
}

TEST(ObjectName, UserForm) {
  char dst[kObjNameSize];
  EXPECT_EQ(StrObjectNameToUserObjectName(dst, "05 client1:/home/data // Label x"), 0);
  EXPECT_STREQ(dst, "client1:/home/data \"Label x\"");
  EXPECT_EQ(StrObjectNameToUserObjectName(dst, "garbage"), -1);
  EXPECT_STREQ(dst, "");
}

}  // namespace

// Item lines of the media agent's events: the literal line and what is refused.
#include "codec/itemevent.h"

#include "tarn_test.h"

namespace {

using tarn::standin::FormatItemEvent;
using tarn::standin::ItemEvent;
using tarn::standin::ParseItemEvent;

TEST(ItemEvent, LineIsLiteralAndReadsBack) {
  const ItemEvent item{7, 0, 2, 0640, 1001, 70000, 5000000000ull, 1700000000,
                       std::string("/a b/S1.LOG\x01", 12)};
  const std::string line = FormatItemEvent(item);
  EXPECT_EQ(line,
            "ITEM da=7 id=0 type=2 mode=640 uid=1001 gid=70000 size=5000000000 mtime=1700000000 "
            "name=2f6120622f53312e4c4f4701");
  EXPECT_EQ(ParseItemEvent(line), item);
}

TEST(ItemEvent, MalformedLinesAreRefused) {
  const std::string good =
      "ITEM da=7 id=0 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=41";
  ASSERT_TRUE(ParseItemEvent(good));
  for (const char* bad : {
           "ITEM da=7 id=0 type=2 mode=648 uid=1 gid=2 size=3 mtime=4 name=41",
           "ITEM da=7 id=0 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=4",
           "ITEM da=7 id=0 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=4g",
           "ITEM da=7 id=4294967296 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=41",
           "ITEM da=7 id=0 type=2 mode=640 uid=1 gid=2 size=3 name=41",
           "ITEM da=7 id=0 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=41 x",
           "ITEM da= id=0 type=2 mode=640 uid=1 gid=2 size=3 mtime=4 name=41",
           "STREAM_END da=7 status=stop blocks=1",
       })
    EXPECT_FALSE(ParseItemEvent(bad)) << bad;
}

}  // namespace

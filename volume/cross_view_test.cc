#include "volume/cross_view.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The walk as text: each name, a hidden one marked with a star.
std::string Walk(const std::vector<ListedEntry>& listed,
                 const std::vector<VolumeEntry>& on_volume) {
  std::string out;
  for (const WalkEntry& step : MergeListings(listed, on_volume)) {
    if (!out.empty()) out += " ";
    if (step.hidden) out += "*";
    out += std::string(step.name.begin(), step.name.end());
  }
  return out;
}

TEST(CrossViewTest, PlacesHiddenEntriesWhereTheIndexHasThem) {
  struct Case {
    const char* what;
    std::vector<ListedEntry> listed;
    std::vector<VolumeEntry> on_volume;
    const char* walk;
  };
  const Case kCases[] = {
      {"nothing hidden",
       {{u"a.sys", u""}, {u"b.sys", u""}},
       {{u"a.sys", u"", 30}, {u"b.sys", u"", 31}},
       "a.sys b.sys"},
      {"hidden first, between and last",
       {{u"b.sys", u""}, {u"d.sys", u""}},
       {{u"a.sys", u"", 1},
        {u"b.sys", u"", 2},
        {u"c.sys", u"", 3},
        {u"d.sys", u"", 4},
        {u"e.sys", u"", 5}},
       "*a.sys b.sys *c.sys d.sys *e.sys"},
      {"all hidden: the system lists nothing",
       {},
       {{u"x.sys", u"", 7}, {u"y.sys", u"", 8}},
       "*x.sys *y.sys"},
      {"listed only by the system, as a file created a moment ago",
       {{u"a.sys", u""}, {u"new.sys", u""}},
       {{u"a.sys", u"", 1}},
       "a.sys new.sys"},
      {"listed under its 8.3 name alone",
       {{u"X~1.SYS", u""}},
       {{u"x.sysx", u"X~1.SYS", 9}},
       "X~1.SYS"},
      {"names compare unit for unit: case differs, so it is hidden",
       {{u"A.SYS", u""}},
       {{u"a.sys", u"", 3}},
       "*a.sys A.SYS"},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(Walk(c.listed, c.on_volume), c.walk) << c.what;
}

TEST(CrossViewTest, KeepsTheRecordOfEachEntryTheVolumeHolds) {
  std::vector<WalkEntry> walk =
      MergeListings({{u"a.sys", u""}, {u"new.sys", u""}},
                    {{u"a.sys", u"", 40}, {u"h.sys", u"", 41}});
  ASSERT_EQ(walk.size(), 3u);
  EXPECT_TRUE(walk[0].on_volume);
  EXPECT_EQ(walk[0].record, 40u);
  EXPECT_TRUE(walk[1].hidden);
  EXPECT_EQ(walk[1].record, 41u);
  EXPECT_FALSE(walk[2].on_volume);
}

}  // namespace

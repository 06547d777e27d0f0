// Whether the web benchmark tells a vars message built once per subscription
// from one built for every browser: judged wrongly, it would report the
// saving as made when it is not.
#include "web_bench.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(WebBench, BuildsPerRowTellsOnceFromPerBrowser) {
  struct Case {
    const char* name;
    double one, two, all;  // relay-web's CPU µs per row on 1, 2 and 10 subscriptions
    double builds;         // NaN: no build to tell
  };
  const Case cases[] = {
      // 1000 µs of sends and 125 µs per build.
      {"once per subscription", 1125, 1250, 2250, 1},
      {"once per subscription, by noise", 1160, 1230, 2280, 1.4666666666666668},
      // Every browser's own: the three runs cost the same, give or take.
      {"once per browser", 2250, 2260, 2255, std::nan("")},
      {"once per browser, by noise", 2250, 2200, 2330, std::nan("")},
  };
  for (const Case& c : cases) {
    double build = 0;
    const double builds = bench::BuildsPerRow(c.one, c.two, c.all, 10, &build);
    if (std::isnan(c.builds)) {
      EXPECT_TRUE(std::isnan(builds)) << c.name << ": " << builds;
    } else {
      EXPECT_NEAR(builds, c.builds, 1e-6) << c.name;
    }
  }
}

}  // namespace

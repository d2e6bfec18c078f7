// Progress records and the run summary.
#include <gtest/gtest.h>

#include "map_generator.h"
#include "core/progress.h"
#include "support/test_support.h"

using namespace korvane_navigation;
using test_support::LogCapture;

namespace {

TEST(ProgressLog, ShortStagesWriteNothingLongOnesTheShareAndRate) {
  LogCapture log;
  {
    ProgressLog quick("thinning", "points");
    for (uint64_t i = 0; i <= 1000; ++i) quick.update(i, 1000);
    EXPECT_EQ(quick.recordsWritten(), 0);
  }
  ProgressLog slow("casting rays", "points", 0.0);
  slow.update(250000, 1000000);
  EXPECT_EQ(slow.recordsWritten(), 1);
  EXPECT_TRUE(log.has(google::GLOG_INFO, "casting rays: 25% (250.0 k of 1.00 M points, "));
  EXPECT_TRUE(log.has(google::GLOG_INFO, "points/s)"));
}

TEST(RunSummary, NamesEveryFigure) {
  RunSummary summary;
  summary.points_loaded = 1200;
  summary.points_thinned = 800;
  summary.floors.push_back({"L1", 300, 40, 20, 0.05, 100, 500, 200, 0.5, 0.25, 0.125});
  const std::string text = describeRun(summary);
  EXPECT_NE(text.find("1200 points loaded"), std::string::npos) << text;
  EXPECT_NE(text.find("800 after thinning"), std::string::npos);
  EXPECT_NE(text.find("floor L1: 300 points in its band, grid 40 x 20 cells (2.00 m x 1.00 m at 0.05 m)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("occupied 100 (12.50 %), free 500 (62.50 %), unknown 200 (25.00 %)"),
            std::string::npos)
      << text;
}

}  // namespace

// Floors made side by side: which floors may overlap, in what order they
// start, and that the maps are the ones the floors make one after the other.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/floor_schedule.h"
#include "map_generator.h"
#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using namespace test_support;

namespace {

TEST(FloorsAtOnce, AsManyAsTheProcessorsHoldAtLeastOneAtMostEveryFloor) {
  struct Case {
    unsigned processors, threads_per_floor;
    size_t floors;
    unsigned expected;
  };
  for (const Case& c : {Case{2, 2, 3, 1}, Case{16, 4, 3, 3}, Case{16, 4, 8, 4}, Case{7, 4, 3, 1},
                        Case{1, 1, 5, 1}, Case{8, 1, 0, 1}, Case{8, 0, 3, 3}}) {
    EXPECT_EQ(floorsAtOnce(c.processors, c.threads_per_floor, c.floors), c.expected)
        << c.processors << " processors, " << c.threads_per_floor << " threads a floor, " << c.floors << " floors";
  }
}

// What the floors of a schedule did, seen from inside make_floor.
struct Observed {
  std::mutex mutex;
  std::vector<size_t> started;
  size_t running = 0, most_running = 0;
  uint64_t running_bytes = 0, most_bytes_side_by_side = 0;
};

bool makeObserved(size_t floors, unsigned at_once, const std::vector<uint64_t>& needs, uint64_t budget,
                  size_t failing, Observed& seen) {
  return makeFloors(floors, at_once, needs, budget, [&](size_t floor) {
    {
      std::lock_guard<std::mutex> lock(seen.mutex);
      seen.started.push_back(floor);
      ++seen.running;
      seen.running_bytes += needs[floor];
      seen.most_running = std::max(seen.most_running, seen.running);
      if (seen.running > 1) seen.most_bytes_side_by_side = std::max(seen.most_bytes_side_by_side, seen.running_bytes);
    }
    // Long enough for the others to start beside it when they may.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(seen.mutex);
    --seen.running;
    seen.running_bytes -= needs[floor];
    return floor != failing;
  });
}

TEST(MakeFloors, StartsFloorsInOrderAndNeverOverlapsBeyondTheBudget) {
  constexpr size_t kNone = ~size_t{0};
  struct Case {
    const char* what;
    unsigned at_once;
    std::vector<uint64_t> needs;
    uint64_t budget;
    size_t most_running;
  };
  const Case cases[] = {
      {"one at a time", 1, {5, 5, 5, 5}, 0, 1},
      {"no bound", 3, {5, 5, 5, 5, 5, 5}, 0, 3},
      {"two fit the budget", 4, {4, 4, 4, 4, 4}, 9, 2},
      {"each alone beyond it", 3, {20, 20, 20}, 10, 1},
  };
  for (const Case& c : cases) {
    Observed seen;
    EXPECT_TRUE(makeObserved(c.needs.size(), c.at_once, c.needs, c.budget, kNone, seen)) << c.what;
    std::vector<size_t> in_order(c.needs.size());
    for (size_t i = 0; i < in_order.size(); ++i) in_order[i] = i;
    EXPECT_EQ(seen.started, in_order) << c.what;
    EXPECT_LE(seen.most_running, c.most_running) << c.what;
    if (c.budget > 0) EXPECT_LE(seen.most_bytes_side_by_side, c.budget) << c.what;
  }
}

TEST(MakeFloors, NoFloorStartsOnceOneHasFailed) {
  for (const unsigned at_once : {1u, 2u}) {
    Observed seen;
    EXPECT_FALSE(makeObserved(6, at_once, std::vector<uint64_t>(6, 1), 0, 1, seen));
    // Floor 1 fails; with two at once floor 2 may already run beside it.
    EXPECT_LE(seen.started.size(), at_once + 1u) << at_once << " at once";
    EXPECT_EQ(seen.started[0], 0u);
  }
}

TEST(MakeFloors, WhatAFloorThrowsReachesTheCaller) {
  EXPECT_THROW(makeFloors(3, 2, {}, 0, [](size_t floor) -> bool {
                 if (floor == 1) throw std::runtime_error("floor 1");
                 return true;
               }),
               std::runtime_error);
}

// The demo building's three floors made one after the other and side by side.
TEST(FloorsSideBySide, WriteTheSameFilesAsOneAfterTheOther) {
  TempDir dir;
  const BuildingParameters params = demoBuilding();
  const BuildingLayout layout = planBuilding(params);
  ASSERT_TRUE(writeBuildingLas(dir.file("building.las"), params, layout).ok);
  std::ostringstream floors;
  for (size_t s = 0; s < layout.storeys.size(); ++s) {
    floors << (s ? ", " : "[") << "{\"floor_name\": \"L" << s + 1 << "\", \"min_height\": "
           << layout.storeys[s].floor_z + 0.1 << ", \"max_height\": " << layout.storeys[s].floor_z + 1.8 << "}";
  }
  floors << "]";
  ASSERT_GE(layout.storeys.size(), 2u);
  const auto run = [&](const std::string& output, unsigned processors) {
    writeFile(dir.file(output + ".json"),
              configJson(dir.file(output), dir.file("building.las"), 0.05, 0.05, floors.str(), "[1, 0, 0, 0]",
                         "[0, 0, 0]", "[5, 5, 1]"));
    NavMapGenerator generator;
    generator.floor_processors_ = processors;
    return generator.loadConfig(dir.file(output + ".json")) && generator.run();
  };
  ASSERT_TRUE(run("one_after_the_other", 1));
  LogCapture log;
  ASSERT_TRUE(run("side_by_side", 64));
  EXPECT_TRUE(log.has(google::GLOG_INFO, "floors at once"));
  for (size_t s = 0; s < layout.storeys.size(); ++s) {
    const std::string name = "L" + std::to_string(s + 1);
    EXPECT_TRUE(log.has(google::GLOG_INFO, "floor \"" + name + "\": the band's octree will take about")) << name;
    for (const std::string extension : {".png", ".yaml"}) {
      EXPECT_EQ(readFile(dir.file("side_by_side/" + name + extension)),
                readFile(dir.file("one_after_the_other/" + name + extension)))
          << name << extension;
    }
  }
  EXPECT_EQ(readFile(dir.file("side_by_side/map.pcd")), readFile(dir.file("one_after_the_other/map.pcd")));
}

}  // namespace

// The standings and relative of a field driven at constant speeds, where
// every gap is known exactly: the time since the car ahead was where the car
// behind is now.
#include "relay-web/standings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace {

using standings::Row;

// A car of the scripted field: laps run at time t are start + t / lapTime.
struct Script {
  int carIdx;
  double start;
  double lapTime;
  double leavesAt = 1e9;             // out of the world from then on
  std::vector<double> pitRoad = {};  // start times of 10 s on pit road
};

// car 0: the pace car, on track but never listed; car 5: a spectator.
// GT3: 1 (leader), 2 (the driver, 5 s behind), 6 (20 s behind, pits twice).
// GT4: 3 (lapped by car 1 at t=180), 4 (leaves the world at t=250).
const std::vector<Script> kField = {
    {0, 0.60, 100}, {1, 0.50, 100},      {2, 0.45, 100},
    {3, 0.40, 200}, {4, 0.35, 200, 250}, {6, 0.30, 100, 1e9, {50, 150}},
};

std::string SessionText() {
  std::string text =
      "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Race\n"
      " - SessionNum: 1\n   SessionType: Practice\nDriverInfo:\n DriverCarIdx: 2\n Drivers:\n";
  const auto car = [&](int idx, const char* name, const char* cls, int id, int lapTime,
                       int pace = 0, int spectator = 0) {
    text += " - CarIdx: " + std::to_string(idx) + "\n   UserName: " + name + "\n   CarNumber: \"" +
            std::to_string(idx * 10) + "\"\n   CarClassShortName: " + cls +
            "\n   CarClassID: " + std::to_string(id) +
            "\n   CarClassEstLapTime: " + std::to_string(lapTime) +
            "\n   CarClassColor: 0xffda59\n   CarIsPaceCar: " + std::to_string(pace) +
            "\n   IsSpectator: " + std::to_string(spectator) + "\n";
  };
  // The classes' estimated lap times are not the laps driven: an estimated
  // gap is told from a measured one.
  car(0, "Pace Car", "Safety", 11, 100, 1);
  car(1, "Ana", "GT3", 2708, 110);
  car(2, "Sam", "GT3", 2708, 110);
  car(3, "Kim", "GT4", 4083, 210);
  car(4, "Lee", "GT4", 4083, 210);
  car(5, "Watcher", "GT3", 2708, 110, 0, 1);
  car(6, "Eve", "GT3", 2708, 110);
  return text;
}

// The field at time t. The lap count changes one row after the lap
// distance wraps, as the simulator's may.
Row FieldAt(double t, double step, int sessionNum) {
  Row row;
  row.sessionTime = t;
  row.sessionNum = sessionNum;
  row.playerCarIdx = 2;
  for (const Script& car : kField) {
    if (t >= car.leavesAt) continue;
    const auto c = static_cast<std::size_t>(car.carIdx);
    const double laps = car.start + t / car.lapTime;
    const double before = car.start + (t - step) / car.lapTime;
    row.lapDistPct[c] = laps - std::floor(laps);
    row.lapCompleted[c] = static_cast<std::int32_t>(std::floor(t > 0 ? before : laps));
    row.trackSurface[c] = 3;
    for (const double from : car.pitRoad) row.onPitRoad[c] |= t >= from && t < from + 10;
    row.position[c] = car.carIdx;
    row.bestLapTime[c] = sessionNum == 1 ? 90 + car.carIdx : -1;
  }
  return row;
}

struct Want {
  int position, classPosition;
  std::optional<double> gapToLeader;
  int lapsDown;
  std::optional<double> interval, gapToClassLeader;
  int pitStops;
};

struct Check {
  const char* what;
  double time;
  int session;
  // Per listed car, by carIdx; cars 0 and 5 must not be listed.
  std::vector<std::pair<int, std::optional<Want>>> cars;  // nullopt: not in the world
  // The relative from the top: carIdx, gap, laps (none: not checked).
  std::vector<std::tuple<int, std::optional<double>, int>> relative;
};

TEST(Standings, GapsOfAFieldAtConstantSpeeds) {
  const std::vector<Check> checks = {
      {"before any car passed another's place the gaps are estimated from the class pace",
       1,
       0,
       {{1, Want{1, 1, 0, 0, 0, 0, 0}},
        {2, Want{2, 2, 5.5, 0, 5.5, 5.5, 0}},
        {3, Want{3, 1, 11.55, 0, 6.05, 0, 0}},
        {4, Want{4, 2, 17.05, 0, 10.5, 10.5, 0}},
        {6, Want{5, 3, 22, 0, 9.45, 22, 0}}},
       {{1, 5.5, 0}, {2, 0, 0}, {3, -6.05, 0}, {4, -11.55, 0}, {6, -16.5, 0}}},
      {"the leader's lap distance has wrapped and its lap count not yet: nothing jumps",
       50,
       0,
       {{1, Want{1, 1, 0, 0, 0, 0, 0}},
        {2, Want{2, 2, 5, 0, 5, 5, 0}},
        {6, Want{3, 3, 20, 0, 15, 20, 1}},
        {3, Want{4, 1, 35, 0, 15, 0, 0}},
        {4, Want{5, 2, 40, 0, 10, 10, 0}}},
       {{1, 5, 0}, {2, 0, 0}, {6, -15, 0}, {3, -30, 0}, {4, -35, 0}}},
      {"the driver has just crossed the line too",
       55.5,
       0,
       {{2, Want{2, 2, 5, 0, 5, 5, 0}}},
       {{1, 5, 0}, {2, 0, 0}, {6, -15, 0}, {3, -32.75, 0}, {4, -37.75, 0}}},
      {"a row before car 1 laps car 3, within a point of it",
       179.95,
       0,
       {{3, Want{4, 1, 99.975, 0, 79.975, 0, 0}}},
       {}},
      {"car 3 a lap down; car 4 out of the world, last and without gaps; two pit stops",
       300,
       0,
       {{1, Want{1, 1, 0, 0, 0, 0, 0}},
        {2, Want{2, 2, 5, 0, 5, 5, 0}},
        {6, Want{3, 3, 20, 0, 15, 20, 2}},
        {3, Want{4, 1, 60, 1, 40, 0, 0}},
        {4, std::nullopt}},
       {{3, 90, -1}, {1, 5, 0}, {2, 0, 0}, {6, -15, 0}}},
      {"a new session starts the histories afresh; outside a race the order is by best lap",
       310,
       1,
       {{1, Want{1, 1, 0, 0, 0, 0, 0}},
        {2, Want{2, 2, 1, 0, 1, 1, 0}},
        {3, Want{3, 1, 2, 0, 1, 0, 0}},
        {6, Want{4, 3, 5, 0, 3, 5, 0}}},
       {{3, 84, -1}, {1, 5, 0}, {2, 0, 0}, {6, -16.5, 0}}},
  };

  standings::Standings standings;
  standings.SetField(standings::ReadField(SessionText()));
  constexpr double kStep = 1.0 / 20;
  int rows = 0;
  for (const Check& check : checks) {
    SCOPED_TRACE(check.what);
    for (; rows * kStep <= check.time + 1e-9; ++rows) {
      standings.Feed(FieldAt(rows * kStep, kStep, check.session));
    }
    standings::Table table;
    standings.Compute(table);
    EXPECT_EQ(table.count, 5);
    EXPECT_EQ(table.race, check.session == 0);
    for (int i = 0; i < table.count; ++i) {
      const standings::Car& car = table.cars[static_cast<std::size_t>(i)];
      SCOPED_TRACE("car " + std::to_string(car.carIdx));
      EXPECT_NE(car.carIdx, 0);
      EXPECT_NE(car.carIdx, 5);
      EXPECT_EQ(car.isPlayer, car.carIdx == 2);
      for (const auto& [carIdx, want] : check.cars) {
        if (carIdx != car.carIdx) continue;
        EXPECT_EQ(car.inWorld, want.has_value());
        if (!want) {
          EXPECT_EQ(car.position, table.count);
          EXPECT_FALSE(car.gapToLeader || car.interval || car.gapToClassLeader);
          continue;
        }
        EXPECT_EQ(car.position, want->position);
        EXPECT_EQ(car.classPosition, want->classPosition);
        const auto agrees = [](std::optional<double> got, std::optional<double> wanted) {
          return got.has_value() == wanted.has_value() && (!got || std::abs(*got - *wanted) < 1e-6);
        };
        EXPECT_TRUE(agrees(car.gapToLeader, want->gapToLeader)) << car.gapToLeader.value_or(-1);
        EXPECT_EQ(car.lapsDown, want->lapsDown);
        EXPECT_TRUE(agrees(car.interval, want->interval)) << car.interval.value_or(-1);
        EXPECT_TRUE(agrees(car.gapToClassLeader, want->gapToClassLeader))
            << car.gapToClassLeader.value_or(-1);
        EXPECT_EQ(car.pitStops, want->pitStops);
      }
    }
    if (check.relative.empty()) continue;
    standings::Relative relative;
    standings.ComputeRelative(relative);
    ASSERT_EQ(relative.count, static_cast<int>(check.relative.size()));
    for (int i = 0; i < relative.count; ++i) {
      const standings::RelativeCar& car = relative.cars[static_cast<std::size_t>(i)];
      const auto& [carIdx, gap, laps] = check.relative[static_cast<std::size_t>(i)];
      EXPECT_EQ(car.carIdx, carIdx) << "row " << i;
      ASSERT_TRUE(car.gap.has_value());
      EXPECT_NEAR(*car.gap, *gap, 1e-6) << "car " << carIdx;
      EXPECT_EQ(car.laps, laps) << "car " << carIdx;
    }
  }
}

// Each driver's values come from its own entry of the list, in whatever
// order they stand; the list ends where DriverInfo's next key begins.
TEST(Standings, ReadsEachDriverFromItsOwnEntry) {
  const std::string text =
      "DriverInfo:\n DriverCarIdx: 1\n Drivers:\n"
      " - CarIdx: 1\n   UserName: Ana\n   CarClassID: 2708\n"
      " - UserName: Kim\n   CarIdx: 2\n"
      " - CarIdx: 3\n   CarNumber: \"33\"\n"
      " - CarIdx: 04\n   UserName: Zero\n"
      " - CarIdx: 5\n   UserName: Lee\n"
      " - CarIdx: 5\n   UserName: Again\n"
      " DriverTires:\n - TireIndex: 0\n   CarIdx: 6\n   UserName: Tyre\n"
      "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Race\n";
  struct Case {
    int car;
    bool listed;
    const char* name;
  };
  const Case cases[] = {
      {1, true, "Ana"}, {2, true, "Kim"},
      {3, true, ""},     // no name of its own, not the next entry's
      {4, false, ""},    // "04" is not how the simulator writes 4
      {5, true, "Lee"},  // a car's first entry
      {6, false, ""},    // another list's entry
  };
  const standings::Field field = standings::ReadField(text);
  for (const Case& c : cases) {
    const standings::Driver& driver = field.drivers[static_cast<std::size_t>(c.car)];
    EXPECT_EQ(driver.listed, c.listed) << c.car;
    EXPECT_EQ(driver.name, c.name) << c.car;
  }
  EXPECT_EQ(field.drivers[1].classId, 2708);
  EXPECT_EQ(field.drivers[3].number, "33");
  EXPECT_EQ(field.sessionTypes[0], "Race");
}

}  // namespace

// The simulated session behind sim-publisher.
#include "sim-publisher/sim_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "sessioninfo/query.h"

namespace {

using simulated::Model;

simulated::Car BuiltInCar() {
  return simulated::CarFromSessionText(simulated::SessionText().c_str());
}

std::vector<std::uint8_t> Row(const Model& model, const publisher::Layout& layout) {
  std::vector<std::uint8_t> row(static_cast<std::size_t>(layout.rowLength));
  simulated::WriteRow(model, layout, row);
  return row;
}

// Element `index` of the row's variable `name`.
template <typename T>
T Value(const std::vector<std::uint8_t>& row, const publisher::Layout& layout, const char* name,
        int index = 0) {
  T value{};
  std::memcpy(&value, row.data() + publisher::OffsetOf(layout, name) + sizeof(T) * index,
              sizeof value);
  return value;
}

// A driver's `key` in the session text, "" when the car is not listed.
std::string Listed(const std::string& text, int car, const char* key) {
  const std::string path = "DriverInfo:Drivers:CarIdx:{" + std::to_string(car) + "}" + key + ":";
  const char* start = nullptr;
  std::int32_t length = 0;
  if (!sessioninfo::FindValue(text.c_str(), path.c_str(), &start, &length)) return "";
  return std::string(start, static_cast<std::size_t>(length));
}

TEST(SimModel, SameSeedSameRowsOtherSeedOtherRows) {
  const publisher::Layout layout = simulated::SessionLayout();
  Model a, b, c;
  simulated::StartSession(a, BuiltInCar(), 42, 60);
  simulated::StartSession(b, BuiltInCar(), 42, 60);
  simulated::StartSession(c, BuiltInCar(), 43, 60);
  bool differs = false;
  for (int i = 0; i < 60 * 60; ++i) {
    ASSERT_EQ(Row(a, layout), Row(b, layout)) << "row " << i;
    differs = differs || Row(a, layout) != Row(c, layout);
    simulated::Step(a), simulated::Step(b), simulated::Step(c);
  }
  EXPECT_TRUE(differs);
}

// A whole race, step by step, against what a driver and a car can do.
TEST(SimModel, DrivesABelievableRace) {
  const simulated::Car car = BuiltInCar();
  Model m;
  simulated::StartSession(m, car, 7, 60);
  const double startOil = m.oilTemp;
  double topSpeed = 0, highestRpm = 0;
  int highestGear = 0, upshifts = 0, pitStops = 0;
  bool refuelled = false;
  std::vector<double> lapTimes;
  double oilAfterTenMinutes = 0, waterAfterTenMinutes = 0;
  for (int i = 0; i < 60 * 60 * 60 && m.lapsCompleted <= simulated::kSessionLaps; ++i) {
    const Model before = m;
    simulated::Step(m);
    SCOPED_TRACE(testing::Message() << "at " << m.sessionTime << " s");
    ASSERT_NEAR(m.sessionTime - before.sessionTime, 1.0 / 60, 1e-12);
    ASSERT_GE(m.rpm, car.idleRpm);
    ASSERT_LE(m.rpm, car.redLine);
    ASSERT_GE(m.throttle, 0);
    ASSERT_LE(m.throttle, 1);
    ASSERT_GE(m.distance, 0);
    ASSERT_LT(m.distance, simulated::kTrackLength);
    // One gear at a time; upshifts only once the engine has climbed to
    // around the shift lights' shift RPM.
    ASSERT_LE(std::abs(m.gear - before.gear), 1);
    if (m.gear > before.gear && before.gear > 0) {
      ++upshifts;
      ASSERT_GE(before.rpm, car.shiftRpm - 100);
    }
    if (m.gear == 0) {
      ASSERT_EQ(m.speed, 0);
    }
    // Fuel only burns, except standing in the pit box.
    if (m.fuel > before.fuel) {
      ASSERT_TRUE(simulated::OnPitRoad(m) && m.speed == 0);
      refuelled = true;
    }
    if (m.phase == simulated::Phase::kPitStop && before.phase != simulated::Phase::kPitStop) {
      ++pitStops;
    }
    // The lap counter moves exactly when the car crosses the line.
    if (m.lap != before.lap && before.lap > 0) {
      ASSERT_EQ(m.lap, before.lap + 1);
      ASSERT_LT(m.distance, before.distance);
      lapTimes.push_back(m.lastLapTime);
    }
    topSpeed = std::max(topSpeed, m.speed * 3.6);
    highestRpm = std::max(highestRpm, m.rpm);
    highestGear = std::max(highestGear, m.gear);
    if (i == 60 * 600) oilAfterTenMinutes = m.oilTemp, waterAfterTenMinutes = m.waterTemp;
  }
  EXPECT_LT(startOil, 35);
  EXPECT_GT(oilAfterTenMinutes, 90);
  EXPECT_GT(waterAfterTenMinutes, 80);
  EXPECT_GT(topSpeed, 250);
  EXPECT_LT(topSpeed, 300);
  EXPECT_GT(highestRpm, car.shiftRpm);
  EXPECT_EQ(highestGear, simulated::kForwardGears);
  EXPECT_GT(upshifts, 100);
  EXPECT_GE(pitStops, 1);
  EXPECT_TRUE(refuelled);
  ASSERT_GE(lapTimes.size(), std::size_t{simulated::kSessionLaps});
  for (std::size_t lap = 1; lap < lapTimes.size(); ++lap) {
    EXPECT_GT(lapTimes[lap], 110) << "lap " << lap + 1;
    EXPECT_LT(lapTimes[lap], 170) << "lap " << lap + 1;
  }
  // After the last lap the car is back in its garage.
  for (int i = 0; i < 60 * 300; ++i) simulated::Step(m);
  EXPECT_FALSE(simulated::OnTrack(m));
}

// The per-car arrays of a row.
struct Cars {
  template <typename T>
  using PerCar = std::array<T, simulated::kCarSlots>;
  PerCar<std::int32_t> lap, completed, surface, position, classPosition;
  PerCar<float> pct, last, best, f2;
  PerCar<bool> pit;
};
Cars Decode(const std::vector<std::uint8_t>& row, const publisher::Layout& layout) {
  Cars cars;
  const auto read = [&](const char* name, auto& values) {
    std::memcpy(values.data(), row.data() + publisher::OffsetOf(layout, name), sizeof values);
  };
  read("CarIdxLap", cars.lap), read("CarIdxLapCompleted", cars.completed);
  read("CarIdxTrackSurface", cars.surface), read("CarIdxPosition", cars.position);
  read("CarIdxClassPosition", cars.classPosition), read("CarIdxLapDistPct", cars.pct);
  read("CarIdxLastLapTime", cars.last), read("CarIdxBestLapTime", cars.best);
  read("CarIdxF2Time", cars.f2), read("CarIdxOnPitRoad", cars.pit);
  return cars;
}

// Four minutes of the race at 30 rows a second, row by row, for several
// seeds, against the rules a standings or relative view relies on.
TEST(SimModel, FieldRacesByTheSimulatorsRules) {
  const publisher::Layout layout = simulated::SessionLayout();
  const std::string text = simulated::SessionText();
  constexpr std::size_t kPlayer = simulated::kPlayerCarIdx;
  std::vector<bool> racing;
  std::vector<double> estLapTime;
  for (int car = 0; car < simulated::kCarSlots; ++car) {
    racing.push_back(!Listed(text, car, "UserName").empty() &&
                     Listed(text, car, "CarIsPaceCar") == "0" &&
                     Listed(text, car, "IsSpectator") == "0");
    estLapTime.push_back(racing.back() ? std::stod(Listed(text, car, "CarClassEstLapTime")) : 0);
  }
  for (const std::uint64_t seed : {1, 7, 42}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Model m;
    simulated::StartSession(m, BuiltInCar(), seed, 30);
    Cars was = Decode(Row(m, layout), layout);
    std::vector<double> stallSince(simulated::kCarSlots, -1);
    std::vector<bool> seen(simulated::kCarSlots, false);
    double firstStop = -1, firstLapped = -1;
    while (m.sessionTime < 240) {
      simulated::Step(m);
      const std::vector<std::uint8_t> row = Row(m, layout);
      const Cars now = Decode(row, layout);
      SCOPED_TRACE(testing::Message() << "at " << m.sessionTime << " s");
      double leader = -1, last = 1e9;
      for (std::size_t car = 0; car < racing.size(); ++car) {
        seen[car] = seen[car] || now.surface[car] >= 0;
        if (!racing[car]) {
          ASSERT_EQ(now.surface[car], -1) << "car " << car;
          ASSERT_EQ(now.position[car], 0) << "car " << car;
          continue;
        }
        ASSERT_GE(now.position[car], now.classPosition[car]) << "car " << car;
        ASSERT_GE(now.classPosition[car], 1) << "car " << car;
        // Official places change only as the car crosses the line.
        if (now.position[car] != was.position[car] ||
            now.classPosition[car] != was.classPosition[car]) {
          ASSERT_EQ(now.completed[car], was.completed[car] + 1) << "car " << car;
        }
        if (now.surface[car] < 0) continue;
        ASSERT_EQ(now.completed[car], now.lap[car] - 1) << "car " << car;
        ASSERT_TRUE(now.pct[car] >= 0 && now.pct[car] < 1) << "car " << car << ": " << now.pct[car];
        ASSERT_EQ(now.pit[car], now.surface[car] == 1 || now.surface[car] == 2) << "car " << car;
        ASSERT_GE(now.f2[car], 0) << "car " << car;
        // Standing in the stall: no movement, for 25 to 40 s.
        double& since = stallSince[car];
        if (now.surface[car] == 1) {
          if (since < 0) since = m.sessionTime;
          ASSERT_TRUE(since == m.sessionTime || now.pct[car] == was.pct[car]) << "car " << car;
          if (car != kPlayer && firstStop < 0) firstStop = m.sessionTime;
        } else if (since >= 0 && car != kPlayer) {
          EXPECT_NEAR(m.sessionTime - since, 32.5, 8) << "car " << car << "'s stop";
          since = -1;
        }
        // The classes' paces apart, with the pit lane's few seconds on an in-lap.
        if (car != kPlayer && now.best[car] > 0) {
          ASSERT_NEAR(now.best[car], estLapTime[car], 8) << "car " << car;
        }
        leader = std::max(leader, now.completed[car] + static_cast<double>(now.pct[car]));
        last = std::min(last, now.completed[car] + static_cast<double>(now.pct[car]));
      }
      if (firstLapped < 0 && last <= leader - 1) firstLapped = m.sessionTime;
      // The driver's entries are the driver's own values.
      const auto value = [&](const char* name) { return Value<std::int32_t>(row, layout, name); };
      const auto time = [&](const char* name) {
        const float seconds = Value<float>(row, layout, name);
        return seconds > 0 ? seconds : -1;
      };
      ASSERT_EQ(now.lap[kPlayer], value("Lap"));
      ASSERT_EQ(now.completed[kPlayer], value("LapCompleted"));
      ASSERT_EQ(now.position[kPlayer], value("PlayerCarPosition"));
      ASSERT_EQ(now.classPosition[kPlayer], value("PlayerCarClassPosition"));
      ASSERT_EQ(now.pct[kPlayer], Value<float>(row, layout, "LapDistPct"));
      ASSERT_EQ(now.pit[kPlayer], Value<bool>(row, layout, "OnPitRoad"));
      ASSERT_EQ(now.last[kPlayer], time("LapLastLapTime"));
      ASSERT_EQ(now.best[kPlayer], time("LapBestLapTime"));
      was = now;
    }
    EXPECT_GT(firstStop, 0) << "no car stopped in its pit stall";
    EXPECT_LT(firstStop, 180) << "the first stop came after three minutes";
    EXPECT_GT(firstLapped, 0) << "no car was lapped within four minutes";
    // The cars in the world are the listed racing cars, every one of them.
    for (std::size_t car = 0; car < racing.size(); ++car) {
      EXPECT_EQ(seen[car], racing[car]) << "car " << car;
    }
  }
}

TEST(SimModel, TakesTheCarFromTheSessionText) {
  struct Case {
    std::string text;
    double idle, redLine, shift, fuel;
  };
  const Case cases[] = {
      {simulated::SessionText(), 900, 7400, 6900, 100},
      {"DriverInfo:\n DriverCarRedLine: 9000.000\n DriverCarSLShiftRPM: 8500.000\n"
       " DriverCarFuelMaxLtr: 60.0\n",
       900, 9000, 8500, 60},
      // Missing keys keep the defaults; a shift point past the red line is
      // moved below it.
      {"WeekendInfo:\n TrackName: x\n", 900, 7400, 6900, 100},
      {"DriverInfo:\n DriverCarSLShiftRPM: 8000.000\n", 900, 7400, 7400 * 0.93, 100},
  };
  for (const Case& c : cases) {
    const simulated::Car car = simulated::CarFromSessionText(c.text.c_str());
    EXPECT_EQ(car.idleRpm, c.idle) << c.text;
    EXPECT_EQ(car.redLine, c.redLine) << c.text;
    EXPECT_DOUBLE_EQ(car.shiftRpm, c.shift) << c.text;
    EXPECT_EQ(car.fuelCapacity, c.fuel) << c.text;
  }
  sessioninfo::CarFacts facts;
  sessioninfo::ReadCarFacts(simulated::SessionText().c_str(), facts);
  EXPECT_EQ(std::string(facts.userName), "Alex Morgan");
  EXPECT_EQ(std::string(facts.carPath), "bmwm4gt3");
  EXPECT_EQ(facts.shiftRpm, BuiltInCar().shiftRpm);
}

// The relay reads each relayed variable with a fixed type; the layout must
// publish them with those types, in an order of its own, in four slots.
TEST(SimModel, LayoutCarriesTheRelayedVariablesWithTheirTypes) {
  using T = publisher::ValueType;
  const publisher::Layout layout = simulated::SessionLayout();
  EXPECT_EQ(layout.slotCount, 4);
  EXPECT_GT(layout.variables.size(), relay::kRelayedVariableCount);
  std::vector<std::int32_t> offsets;
  bool unaligned = false;
  for (const char* name : relay::kRelayedVariables) {
    const std::string n = name;
    const T wanted = n == "SessionTimeRemain"               ? T::kDouble
                     : n == "OnPitRoad" || n == "IsOnTrack" ? T::kBool
                     : n == "Gear" || n == "Lap" || n == "RaceLaps" || n == "SessionLapsRemain"
                         ? T::kInt
                         : T::kFloat;
    const auto found = std::find_if(layout.variables.begin(), layout.variables.end(),
                                    [&](const publisher::Variable& v) { return v.name == n; });
    ASSERT_NE(found, layout.variables.end()) << n;
    EXPECT_EQ(found->type, wanted) << n;
    offsets.push_back(found->offset);
    unaligned =
        unaligned || found->offset % static_cast<std::int32_t>(publisher::ValueSize(wanted)) != 0;
  }
  EXPECT_FALSE(std::is_sorted(offsets.begin(), offsets.end()));
  EXPECT_TRUE(unaligned);
}

}  // namespace

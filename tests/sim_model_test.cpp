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

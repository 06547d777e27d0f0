// The simulated session behind sim-publisher: a race on a 7 km circuit, the
// driver's car simulated in full and the rest of a two-class field lapping
// around it, with its telemetry row layout and its session text.
//
// The model is deterministic: the same car, seed and rate give the same rows
// on every platform (its arithmetic is IEEE addition, multiplication,
// division and square roots only, and its random numbers come from a fixed
// generator), so a test can replay it and predict every value the relay sends.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "sim-publisher/publisher.h"

namespace simulated {

// What the model takes from the session text; keys it lacks keep these.
struct Car {
  double idleRpm = 900;       // DriverCarIdleRPM
  double redLine = 7400;      // DriverCarRedLine: the rev limiter
  double shiftRpm = 6900;     // DriverCarSLShiftRPM: where the driver aims to shift
  double fuelCapacity = 100;  // DriverCarFuelMaxLtr
};
Car CarFromSessionText(const char* sessionText);

// A realistic layout of its own: the simulator's grouping of variables (not
// the relay's order), per-car arrays, values packed at unaligned offsets, and
// four row slots.
publisher::Layout SessionLayout();
// A race at Spa: twelve cars in two classes (GT3 and GT4), the driver in
// car 3 (a GT3), the pace car (car 0) and a spectator.
std::string SessionText();

inline constexpr int kSessionLaps = 20;
inline constexpr double kSessionSeconds = 45 * 60;
inline constexpr double kTrackLength = 7004;  // metres
inline constexpr int kForwardGears = 6;
inline constexpr int kCorners = 10;
// Entries of each per-car array.
inline constexpr int kCarSlots = 64;
inline constexpr int kPlayerCarIdx = 3;
// The racing cars are CarIdx 1 to kRacingCars, the driver's among them.
inline constexpr int kRacingCars = 12;
// A racing lap takes about 1:58 and uses about this much fuel.
inline constexpr double kLitresPerLap = 3.3;
// The lap, in stretches of this many metres, for the delta to the best lap.
inline constexpr int kDeltaStretchMetres = 10;
inline constexpr int kDeltaStretches = static_cast<int>(kTrackLength) / kDeltaStretchMetres + 1;

enum class Phase { kGarage, kPitLane, kRacing, kPitEntry, kPitStop };

// The rest of the field: each car runs its laps at a pace of its own, faster
// on the straights than through the corners, stops in the pits from time to time
// and leaves the world after its last lap.
enum class FieldPhase { kRacing, kToStall, kInStall, kFromStall, kFinished };
struct FieldCar {
  FieldPhase phase = FieldPhase::kRacing;
  double fraction = 0;  // of the lap
  int lap = 1;
  int lapsCompleted = 0;
  double pace = 0;      // seconds for this lap at racing speed
  double lapStart = 0;  // session time the lap began (the line crossing)
  double lastLapTime = -1;
  double bestLapTime = -1;
  double leaveStall = 0;  // session time the stop ends
  int stopLap = 0;        // the lap on which the car next turns into the pits
  // The official places, as of the car's last line crossing (the start's
  // order before its first); the driver's entry holds the driver's.
  int position = 0;
  int classPosition = 0;
};

struct Model {
  Car car;
  double step = 1.0 / 60;  // seconds of session time per row
  std::uint64_t random = 0;

  Phase phase = Phase::kGarage;
  std::int64_t steps = 0;
  double sessionTime = 0;
  double phaseTime = 0;  // seconds since the phase began
  double distance = 0;   // metres past the start line on the current lap
  double speed = 0;      // m/s
  int gear = 0;          // -1 reverse, 0 neutral
  double lastShift = -1;
  double rpm = 0;
  double throttle = 0;
  double brake = 0;
  double fuel = 0;
  double oilTemp = 0;
  double waterTemp = 0;
  int lap = 0;
  int lapsCompleted = 0;
  double lapStart = 0;
  double lastLapTime = 0;
  double bestLapTime = 0;
  // Seconds into the lap at the start of each stretch, for this lap and the
  // best one; the delta compares the two.
  std::array<float, kDeltaStretches> lapProfile{};
  std::array<float, kDeltaStretches> bestProfile{};
  int stretch = 0;             // the stretch the car is in
  bool lapFromLine = false;    // this lap began at the line (not in the pits)
  double bestProfileTime = 0;  // the best lap begun at the line, 0 before one
  int incidents = 0;
  double incidentAt = -1;  // this lap's trip off the track, as a lap fraction
  // This lap's driving: a speed factor per corner and the RPM at which the
  // driver actually shifts (before or after the shift lights say so).
  std::array<double, kCorners> cornerFactor{};
  double shiftAt = 0;
  // The racing cars by CarIdx - 1; the driver's own entry holds only its
  // places. The field draws its numbers from a generator of its own, so the
  // driver's laps do not depend on it.
  std::array<FieldCar, kRacingCars> field{};
  std::uint64_t fieldRandom = 0;
};

// A fresh session: the car in its garage, cold, with a race's fuel load.
void StartSession(Model& model, const Car& car, std::uint64_t seed, int rowsPerSecond);
// Advances the model by one row's worth of time.
void Step(Model& model);
// Writes the model's current values into `row`, laid out by `layout`.
// Values that lie beyond the end of `row` are left out.
void WriteRow(const Model& model, const publisher::Layout& layout, std::span<std::uint8_t> row);

// The flags the row carries as OnPitRoad and IsOnTrack.
bool OnPitRoad(const Model& model);
bool OnTrack(const Model& model);
// Seconds behind (positive) or ahead of the best lap at this point of the
// lap, and whether that is known: a best lap exists and the car is racing.
double DeltaToBestLap(const Model& model);
bool DeltaValid(const Model& model);
// The driver's official places in the race and in the car's class, from 1.
int Position(const Model& model);
int ClassPosition(const Model& model);

}  // namespace simulated

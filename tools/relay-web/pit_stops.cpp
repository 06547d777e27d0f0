// Pit stops told apart by OnPitRoad, timed in session time.
#include "relay-web/pit_stops.h"

#include <algorithm>
#include <cmath>

namespace pits {

namespace {

// Slower than this on pit road is standing still (m/s): the simulator's
// speed of a parked car wavers around zero.
constexpr double kStandstill = 0.5;
// A rise of the fuel level smaller than this is noise, not fuel taken on.
constexpr double kRefuelLitres = 0.05;

bool Usable(double value) { return std::isfinite(value) && value >= 0; }

// Whether the row tells if the car stands in its stall, and if it does.
bool KnowsStationary(const Row& row) { return row.inPitStall || row.speed; }
bool Stationary(const Row& row) {
  if (row.inPitStall) return *row.inPitStall;
  return row.speed && std::abs(*row.speed) < kStandstill;
}

// Noise is no fuel.
void Settle(Stop& stop) {
  if (stop.fuelAdded && *stop.fuelAdded < kRefuelLitres) stop.fuelAdded = 0;
}

}  // namespace

bool PitStops::Feed(const Row& row) {
  if (!row.sessionTime || !Usable(*row.sessionTime)) return false;
  const double time = *row.sessionTime;
  bool ended = false;
  if (inStop_) {
    // The time from the previous row to this one was spent in the stall if
    // the car stood there at the previous row.
    if (wasStationary_ && stop_.stationary && time > lastTime_) {
      *stop_.stationary += time - lastTime_;
    }
  } else if (haveRow_ && row.onPitRoad && !wasOnPitRoad_) {
    inStop_ = true;
    stop_ = Stop{};
    stop_.lap = row.lap;
    stop_.pitIn = time;
    if (KnowsStationary(row)) stop_.stationary = 0;
    lowestFuel_.reset();
  }
  if (inStop_ && Usable(row.fuelLevel)) {
    // The fuel added is the largest rise above the lowest level before it:
    // the car burns fuel on its way in and out.
    lowestFuel_ = std::min(lowestFuel_.value_or(row.fuelLevel), row.fuelLevel);
    stop_.fuelAdded = std::max(stop_.fuelAdded.value_or(0), row.fuelLevel - *lowestFuel_);
  }
  if (inStop_ && !row.onPitRoad) {
    inStop_ = false;
    stop_.pitOut = time;
    Settle(stop_);
    ended = true;
  }
  haveRow_ = true;
  wasOnPitRoad_ = row.onPitRoad;
  wasStationary_ = row.onPitRoad && Stationary(row);
  lastTime_ = time;
  return ended;
}

bool PitStops::Close() {
  const bool open = inStop_;
  inStop_ = false;
  haveRow_ = false;
  if (open) Settle(stop_);
  return open;
}

}  // namespace pits

// The player's pit stops, for relay-web's pit messages: when the car came
// onto pit road and left it, how long it stood in its stall, and the fuel
// taken on. It is fed every row of the simulator's own (the relay's stream
// has no session time) and is standard C++ only, so tests drive it with
// plain rows; a row costs no allocation.
#pragma once

#include <cstdint>
#include <optional>

namespace pits {

struct Row {
  std::int32_t lap = 0;               // Lap
  bool onPitRoad = false;             // OnPitRoad
  std::optional<double> sessionTime;  // SessionTime, seconds
  double fuelLevel = 0;               // FuelLevel, litres (not finite: none)
  // PlayerCarInPitStall, when the source has it; otherwise the car counts as
  // in its stall while on pit road at a standstill (Speed, m/s).
  std::optional<bool> inPitStall;
  std::optional<double> speed;
};

struct Stop {
  std::int32_t lap = 0;              // the Lap on which the car came onto pit road
  double pitIn = 0;                  // session time when OnPitRoad rose
  std::optional<double> pitOut;      // and when it fell; none if not seen
  std::optional<double> stationary;  // seconds in the stall; none if unknown
  std::optional<double> fuelAdded;   // litres; none without a fuel level
};

class PitStops {
 public:
  // One row; true when the car left pit road with it: stop() is that stop.
  // A stop begins only where OnPitRoad is seen to rise (a car already on pit
  // road when the rows begin, or come back, is not in a stop of its own),
  // and only in rows with a session time.
  bool Feed(const Row& row);
  // The source went away or the session ended: true when a stop was under
  // way; stop() is then that stop as far as it was seen, without pitOut.
  // The rows that follow start no stop until the car next comes onto pit
  // road.
  bool Close();
  const Stop& stop() const { return stop_; }

 private:
  Stop stop_;
  bool inStop_ = false;
  // The previous row, unless Close() came since.
  bool haveRow_ = false;
  bool wasOnPitRoad_ = false;
  bool wasStationary_ = false;
  double lastTime_ = 0;
  // The least fuel level of the stop so far, if any.
  std::optional<double> lowestFuel_;
};

}  // namespace pits

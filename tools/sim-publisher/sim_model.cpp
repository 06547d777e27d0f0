// The simulated session: a GT car racing a two-class field at Spa, driven by
// a simple driver model that brakes for each corner, shifts by the lights and
// pits for fuel. The other cars follow a speed profile of the lap at their
// class's pace, stop in the pits now and then, and are placed officially as
// they cross the line.
#include "sim-publisher/sim_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sessioninfo/query.h"

namespace simulated {

namespace {

using publisher::ValueType;

// Corners as a fraction of the lap and their apex speed in km/h.
struct Corner {
  double at;
  double kmh;
};
constexpr std::array<Corner, kCorners> kTrackCorners = {{
    {0.060, 68},   // La Source
    {0.150, 235},  // Eau Rouge and Raidillon
    {0.330, 115},  // Les Combes
    {0.420, 92},   // Bruxelles
    {0.470, 125},  // No Name
    {0.560, 165},  // Pouhon
    {0.640, 130},  // Fagnes
    {0.720, 150},  // Stavelot
    {0.850, 255},  // Blanchimont
    {0.945, 72},   // Bus Stop
}};

// Pit lane, as fractions of the lap: the entry before the line, the car's
// box just after it, the exit before La Source.
constexpr double kPitEntry = 0.955;
constexpr double kPitBox = 0.012;
constexpr double kPitExit = 0.045;
constexpr double kPitLimit = 79 / 3.6;  // m/s, just under the 80 km/h limit

constexpr double kGarageSeconds = 1.5;
constexpr double kPitFuelLitres = 6;  // below this the driver pits
constexpr double kRefuelLitresPerSecond = 2.5;
constexpr double kStopSeconds = 2;  // the rest of a stop besides fuelling
// Litres per second for every thousand RPM at full throttle, most of it
// (8 % even off the throttle): about kLitresPerLap over a racing lap.
constexpr double kFuelFlow = 0.0054;
constexpr double kIncidentChance = 0.1;  // a trip off the track, per lap

// Longitudinal dynamics: full-throttle acceleration falls to nothing at
// kDragSpeed; lifting costs coast(v); the brakes give up to kBrakeMax.
constexpr double kDrive = 7.5;
constexpr double kDragSpeed = 87;
constexpr double kBrakeMax = 18;
constexpr double kPlanBrake = 13;  // what the driver plans with, below kBrakeMax
constexpr double kResponse = 2.5;  // 1/s: how hard the driver closes a speed gap

// Top speed of each gear at the red line, km/h.
constexpr std::array<double, kForwardGears + 1> kGearTop = {0, 100, 135, 170, 205, 245, 290};

struct CarClass {
  int id;
  const char* shortName;
  double estLapTime;  // seconds
  const char* color;
};
constexpr CarClass kGt3 = {2708, "GT3", 118.5, "0xffda59"};
constexpr CarClass kGt4 = {4083, "GT4", 135.2, "0x33ceff"};
constexpr CarClass kPaceCarClass = {11, "Safety", 150.0, "0xffffff"};

struct Entrant {
  const char* userName;
  const char* teamName;
  int number;
  const char* carPath;
  const char* screenName;
  int iRating;
  const CarClass* carClass;
  double start;   // how far round the first lap the car is at session time 0
  double pace;    // seconds for a racing lap
  int firstStop;  // the lap at whose end it first turns into the pits
};

// The racing cars, CarIdx 1 to kRacingCars; the driver's (car 3) starts from
// the pits and drives itself. The rows begin with the field strung out round
// its first lap, the GT3s ahead of the GT4s. Car 8 pits at the end of its
// first lap (in its stall about 80 s in), car 2 at the end of its second
// (about 2:45 in); car 12 starts three quarters of a lap behind the leader, car 4, and is
// lapped by it a little before the three-minute mark.
constexpr std::size_t kPlayerSlot = kPlayerCarIdx - 1;
constexpr std::array<Entrant, kRacingCars> kEntrants = {{
    {"Lena Vogt", "Vogt Motorsport", 12, "porsche992rgt3", "Porsche 911 GT3 R (992)", 2650, &kGt3,
     0.74, 117.0, 6},
    {"Tom Okafor", "Okafor Racing", 31, "ferrari296gt3", "Ferrari 296 GT3", 2480, &kGt3, 0.70,
     117.6, 2},
    {"Alex Morgan", "Morgan Racing", 46, "bmwm4gt3", "BMW M4 GT3", 2710, &kGt3, 0, 0, 0},
    {"Sofia Marques", "Marques Competition", 8, "mclaren720sgt3", "McLaren 720S GT3 EVO", 2395,
     &kGt3, 0.78, 116.4, 7},
    {"Ravi Iyer", "Iyer Sport", 77, "audir8lmsevo2gt3", "Audi R8 LMS GT3 evo II", 2555, &kGt3, 0.64,
     116.9, 5},
    {"Hannah Lindqvist", "Nordic Speed", 5, "mercedesamgevogt3", "Mercedes-AMG GT3 2020", 2820,
     &kGt3, 0.58, 119.6, 8},
    {"Marco Bellini", "Scuderia Bellini", 63, "lamborghinievogt3", "Lamborghini Huracan GT3 EVO",
     2300, &kGt3, 0.09, 121.8, 4},
    {"Yuki Tanaka", "Tanaka Works", 108, "bmwm4evogt4", "BMW M4 GT4", 1980, &kGt4, 0.50, 133.0, 1},
    {"Chloe Dubois", "Dubois Autosport", 142, "porsche718gt4", "Porsche 718 Cayman GT4 RS CS", 2105,
     &kGt4, 0.44, 134.2, 9},
    {"Jonas Berg", "Berg Racing", 117, "mclaren570sgt4", "McLaren 570S GT4", 1870, &kGt4, 0.36,
     135.5, 6},
    {"Priya Nair", "Nair Motorsport", 155, "amvantagegt4", "Aston Martin Vantage GT4", 1760, &kGt4,
     0.28, 137.0, 5},
    {"Owen Fletcher", "Fletcher Bros", 199, "mercedesamggt4", "Mercedes-AMG GT4", 1540, &kGt4, 0.03,
     139.8, 7},
}};

// The field's laps vary by up to this many seconds about the car's pace; a
// stop in the pits stands 25 to 40 s; the next stop comes 7 to 10 laps on.
constexpr double kFieldPaceSpread = 1.2;
constexpr double kFieldStopSeconds = 25;
constexpr double kFieldStopSpread = 15;
constexpr int kFieldStintLaps = 7;
// Acceleration out of a corner, on average over the straight after it.
constexpr double kFieldAcceleration = 4;

// The lap's speed profile, in kLapShapeStretches equal stretches: the share
// of a lap's time spent before each stretch (and 1 at the end), at a speed
// no faster than lets a car brake down to every corner ahead or than it can
// have reached accelerating out of every corner behind.
constexpr int kLapShapeStretches = 100;
using LapShapeTable = std::array<double, kLapShapeStretches + 1>;
const LapShapeTable& LapShape() {
  static const LapShapeTable shape = [] {
    LapShapeTable table{};
    for (int i = 0; i < kLapShapeStretches; ++i) {
      const double at = (i + 0.5) / kLapShapeStretches;
      double speed = 80;  // m/s, at the end of the longest straight
      for (const Corner& corner : kTrackCorners) {
        const double apex = corner.kmh / 3.6;
        double ahead = (corner.at - at) * kTrackLength;
        if (ahead < 0) ahead += kTrackLength;
        speed = std::min(speed, std::sqrt(apex * apex + 2 * kPlanBrake * ahead));
        speed = std::min(speed,
                         std::sqrt(apex * apex + 2 * kFieldAcceleration * (kTrackLength - ahead)));
      }
      table[static_cast<std::size_t>(i) + 1] = table[static_cast<std::size_t>(i)] + 1 / speed;
    }
    const double lap = table.back();
    for (double& share : table) share /= lap;
    return table;
  }();
  return shape;
}

std::size_t ShapeStretch(double fraction) {
  const double at = std::clamp(fraction, 0.0, 1.0) * kLapShapeStretches;
  return std::min(static_cast<std::size_t>(at), std::size_t{kLapShapeStretches - 1});
}

// The share of a lap's time spent before `fraction` of the lap.
double ShapeAt(double fraction) {
  const LapShapeTable& shape = LapShape();
  const std::size_t stretch = ShapeStretch(fraction);
  const double into =
      std::clamp(fraction, 0.0, 1.0) * kLapShapeStretches - static_cast<double>(stretch);
  return shape[stretch] + (shape[stretch + 1] - shape[stretch]) * into;
}

// Laps a second at `fraction` of the lap for a car whose lap takes `pace` s.
double LapRate(double fraction, double pace) {
  const LapShapeTable& shape = LapShape();
  const std::size_t stretch = ShapeStretch(fraction);
  return 1 / (kLapShapeStretches * pace * (shape[stretch + 1] - shape[stretch]));
}

double NextUnit(std::uint64_t& state) {
  // splitmix64: fixed output on every platform, unlike the standard
  // library's distributions.
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / 9007199254740992.0;
}

double Coast(double speed) { return speed > 0 ? 0.3 + 0.0002 * speed * speed : 0; }

double FullThrottleAcceleration(double speed) {
  const double ratio = speed / kDragSpeed;
  return std::max(0.0, kDrive * (1 - ratio * ratio));
}

double EngineRpm(const Model& m, int gear) {
  if (gear < 1) return 0;
  return m.speed / (kGearTop[static_cast<std::size_t>(gear)] / 3.6) * m.car.redLine;
}

void NewLapDriving(Model& m) {
  for (double& factor : m.cornerFactor) factor = 0.96 + 0.07 * NextUnit(m.random);
  m.shiftAt = std::min(m.car.shiftRpm - 100 + 500 * NextUnit(m.random), m.car.redLine - 40);
  m.incidentAt = NextUnit(m.random) < kIncidentChance ? 0.1 + 0.8 * NextUnit(m.random) : -1;
}

double FuelFlow(const Model& m) { return kFuelFlow * m.rpm / 1000 * (0.08 + 0.92 * m.throttle); }

double Fraction(const Model& m) { return m.distance / kTrackLength; }

// Metres from the car forward to the point at `fraction` of the lap.
double Ahead(const Model& m, double fraction) {
  double ahead = fraction * kTrackLength - m.distance;
  if (ahead < 0) ahead += kTrackLength;
  return ahead;
}

// The fastest the driver wants to go here: no faster than lets them brake
// down to every corner ahead, and in the pits to the limit or to a stop.
double TargetSpeed(const Model& m) {
  double target = 100;
  for (std::size_t c = 0; c < kTrackCorners.size(); ++c) {
    const double apex = kTrackCorners[c].kmh / 3.6 * m.cornerFactor[c];
    target =
        std::min(target, std::sqrt(apex * apex + 2 * kPlanBrake * Ahead(m, kTrackCorners[c].at)));
  }
  switch (m.phase) {
    case Phase::kGarage:
    case Phase::kPitStop:
      return 0;
    case Phase::kPitLane:
      return std::min(target, kPitLimit);
    case Phase::kPitEntry:
      if (OnPitRoad(m)) {
        target = std::min(target, kPitLimit);
      } else {
        const double toEntry = Ahead(m, kPitEntry);
        target = std::min(target, std::sqrt(kPitLimit * kPitLimit + 2 * kPlanBrake * toEntry));
      }
      // A gentle stop in the box.
      return std::min(target, std::sqrt(2 * 4.0 * Ahead(m, kPitBox)));
    case Phase::kRacing:
      break;
  }
  return target;
}

template <typename T>
T Approach(T value, T wanted, T up, T down) {
  return value < wanted ? std::min(wanted, value + up) : std::max(wanted, value - down);
}

void Drive(Model& m) {
  const double dt = m.step;
  const double coast = Coast(m.speed);
  const double available = FullThrottleAcceleration(m.speed);
  const double desired = kResponse * (TargetSpeed(m) - m.speed);
  double wantThrottle = 0;
  double wantBrake = 0;
  if (desired >= -coast) {
    wantThrottle = available > 0 ? std::clamp((desired + coast) / available, 0.0, 1.0) : 0;
  } else {
    wantBrake = std::clamp((-desired - coast) / kBrakeMax, 0.0, 1.0);
  }
  if (m.gear == 0) wantThrottle = 0;
  m.throttle = Approach(m.throttle, wantThrottle, 6 * dt, 12 * dt);
  m.brake = Approach(m.brake, wantBrake, 8 * dt, 12 * dt);

  double acceleration = m.throttle * available - m.brake * kBrakeMax - coast;
  // The rev limiter cuts the power at the red line.
  if (m.gear > 0 && EngineRpm(m, m.gear) >= m.car.redLine) {
    acceleration = std::min(acceleration, -coast);
  }
  m.speed = std::max(0.0, m.speed + acceleration * dt);
  m.distance += m.speed * dt;
}

void Shift(Model& m) {
  if (m.gear < 1) return;
  const double sinceShift = m.sessionTime - m.lastShift;
  if (m.gear < kForwardGears && EngineRpm(m, m.gear) >= m.shiftAt && m.throttle > 0.5 &&
      sinceShift > 0.25) {
    ++m.gear;
    m.lastShift = m.sessionTime;
  } else if (m.gear > 1 && EngineRpm(m, m.gear) < 0.6 * m.shiftAt &&
             EngineRpm(m, m.gear - 1) < m.shiftAt - 300 && sinceShift > 0.3) {
    --m.gear;
    m.lastShift = m.sessionTime;
  }
}

void UpdateEngine(Model& m) {
  const double dt = m.step;
  double rpm = m.car.idleRpm;
  if (m.gear > 0) rpm = std::max(rpm, EngineRpm(m, m.gear));
  // Pulling away in first, the clutch slips and the engine runs above the
  // road speed's RPM.
  if (m.gear == 1)
    rpm = std::max(rpm, m.car.idleRpm + m.throttle * (0.45 * m.car.redLine - m.car.idleRpm));
  m.rpm = std::min(rpm, m.car.redLine);

  const double load = m.throttle * m.rpm / m.car.redLine;
  m.fuel = std::max(0.0, m.fuel - FuelFlow(m) * dt);
  m.oilTemp += (75 + 40 * load - m.oilTemp) * dt / 120;
  m.waterTemp += (72 + 22 * load - m.waterTemp) * dt / 80;
}

// Notes the time into the lap at each stretch the car has reached.
void TrackStretches(Model& m) {
  const int stretch =
      std::min(kDeltaStretches - 1, static_cast<int>(m.distance) / kDeltaStretchMetres);
  while (m.stretch < stretch) {
    m.lapProfile[static_cast<std::size_t>(++m.stretch)] =
        static_cast<float>(m.sessionTime - m.lapStart);
  }
}

// The standing of racing car `k` (CarIdx k + 1): laps completed and when it
// last crossed the line.
int LapsCompletedOf(const Model& m, std::size_t k) {
  return k == kPlayerSlot ? m.lapsCompleted : m.field[k].lapsCompleted;
}
double LineTimeOf(const Model& m, std::size_t k) {
  return k == kPlayerSlot ? m.lapStart : m.field[k].lapStart;
}

// Gives car `k` its places: one behind every car `ahead` says is ahead of it.
template <typename Ahead>
void Place(Model& m, std::size_t k, Ahead ahead) {
  int position = 1;
  int classPosition = 1;
  for (std::size_t j = 0; j < m.field.size(); ++j) {
    if (j == k || !ahead(j)) continue;
    ++position;
    if (kEntrants[j].carClass == kEntrants[k].carClass) ++classPosition;
  }
  m.field[k].position = position;
  m.field[k].classPosition = classPosition;
}

// The official places of car `k` as it crosses the line, as the simulator
// gives them: ahead of it are the cars with more laps completed and those
// with as many that crossed the line before it. The other cars' places
// change only as they cross the line themselves.
void Classify(Model& m, std::size_t k) {
  const int laps = LapsCompletedOf(m, k);
  const double at = LineTimeOf(m, k);
  Place(m, k, [&](std::size_t j) {
    const int lapsJ = LapsCompletedOf(m, j);
    const double atJ = LineTimeOf(m, j);
    return lapsJ > laps || (lapsJ == laps && (atJ < at || (atJ == at && j < k)));
  });
}

// The pit stall of car `k`: the driver's at kPitBox, the others' beside it.
double PitStall(std::size_t k) {
  return kPitBox + 0.0025 * (static_cast<double>(k) - static_cast<double>(kPlayerSlot));
}

void NewFieldLap(Model& m, std::size_t k) {
  m.field[k].pace = kEntrants[k].pace + kFieldPaceSpread * (NextUnit(m.fieldRandom) - 0.5);
}

void StartField(Model& m) {
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    if (k == kPlayerSlot) continue;
    FieldCar& car = m.field[k];
    car = FieldCar{};
    car.fraction = kEntrants[k].start;
    car.stopLap = kEntrants[k].firstStop;
    NewFieldLap(m, k);
    // The lap began before the rows did, at the car's pace.
    car.lapStart = -car.pace * ShapeAt(car.fraction);
  }
  // The start's order: by how far round the first lap each car is; the
  // driver, in the pits, comes last.
  auto start = [&m](std::size_t k) { return k == kPlayerSlot ? -1.0 : m.field[k].fraction; };
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    Place(m, k,
          [&](std::size_t j) { return start(j) > start(k) || (start(j) == start(k) && j < k); });
  }
}

// The chequered flag is out once a car has completed the race's laps: every
// car finishes as it next crosses the line.
bool Chequered(const Model& m) {
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    if (LapsCompletedOf(m, k) >= kSessionLaps) return true;
  }
  return false;
}

void FieldCrossLine(Model& m, std::size_t k, double at) {
  FieldCar& car = m.field[k];
  car.lastLapTime = at - car.lapStart;
  if (car.bestLapTime < 0 || car.lastLapTime < car.bestLapTime) car.bestLapTime = car.lastLapTime;
  car.lapStart = at;
  ++car.lap;
  ++car.lapsCompleted;
  Classify(m, k);
  // After its last lap the car leaves the world.
  if (Chequered(m)) {
    car.phase = FieldPhase::kFinished;
    return;
  }
  NewFieldLap(m, k);
}

// Moves car `k` on by one row's worth of time, from m.sessionTime.
void StepFieldCar(Model& m, std::size_t k) {
  FieldCar& car = m.field[k];
  const double now = m.sessionTime;
  switch (car.phase) {
    case FieldPhase::kFinished:
      return;
    case FieldPhase::kInStall:
      if (now < car.leaveStall) return;
      car.phase = FieldPhase::kFromStall;
      break;
    default:
      break;
  }
  const double rate =
      car.phase == FieldPhase::kRacing ? LapRate(car.fraction, car.pace) : kPitLimit / kTrackLength;
  const double from = car.fraction;
  double to = from + rate * m.step;
  if (car.phase == FieldPhase::kRacing && car.lap == car.stopLap && from < kPitEntry &&
      to >= kPitEntry && car.lap < kSessionLaps && !Chequered(m)) {
    car.phase = FieldPhase::kToStall;
  }
  if (to >= 1) {
    FieldCrossLine(m, k, now + m.step * (1 - from) / (to - from));
    to -= 1;
    if (car.phase == FieldPhase::kFinished) return;
  }
  // The stalls and the pit exit lie past the line, in the first half of the lap.
  if (car.phase == FieldPhase::kToStall && to < 0.5 && to >= PitStall(k)) {
    to = PitStall(k);
    car.phase = FieldPhase::kInStall;
    car.leaveStall = now + m.step + kFieldStopSeconds + kFieldStopSpread * NextUnit(m.fieldRandom);
  } else if (car.phase == FieldPhase::kFromStall && to < 0.5 && to >= kPitExit) {
    car.phase = FieldPhase::kRacing;
    car.stopLap = car.lap + kFieldStintLaps + static_cast<int>(4 * NextUnit(m.fieldRandom));
  }
  car.fraction = to;
}

int FieldTrackSurface(const FieldCar& car) {
  switch (car.phase) {
    case FieldPhase::kFinished:
      return -1;
    case FieldPhase::kInStall:
      return 1;
    case FieldPhase::kToStall:
    case FieldPhase::kFromStall:
      return 2;
    case FieldPhase::kRacing:
      break;
  }
  return 3;
}

void CrossLine(Model& m) {
  m.distance -= kTrackLength;
  ++m.lapsCompleted;
  ++m.lap;
  m.lastLapTime = m.sessionTime - m.lapStart;
  if (m.bestLapTime == 0 || m.lastLapTime < m.bestLapTime) m.bestLapTime = m.lastLapTime;
  // Only a whole lap can be measured against.
  if (m.lapFromLine && (m.bestProfileTime == 0 || m.lastLapTime < m.bestProfileTime)) {
    m.bestProfile = m.lapProfile;
    m.bestProfileTime = m.lastLapTime;
  }
  m.lapStart = m.sessionTime;
  m.lapFromLine = true;
  m.stretch = 0;
  m.lapProfile = {};
  NewLapDriving(m);
  Classify(m, kPlayerSlot);
}

void Enter(Model& m, Phase phase) {
  m.phase = phase;
  m.phaseTime = 0;
}

// Fuel for the laps still to run, plus a lap in hand, within the tank.
double FuelWanted(const Model& m) {
  const int lapsLeft = std::max(0, kSessionLaps - m.lapsCompleted);
  return std::min(m.car.fuelCapacity, (lapsLeft + 1) * kLitresPerLap);
}

bool RaceOver(const Model& m) { return m.lapsCompleted >= kSessionLaps; }

void AdvancePhase(Model& m) {
  switch (m.phase) {
    case Phase::kGarage:
      if (m.phaseTime >= kGarageSeconds && !RaceOver(m)) {
        Enter(m, Phase::kPitLane);
        m.gear = 1;
        m.lap = 1;
        m.lapStart = m.sessionTime;
      }
      break;
    case Phase::kPitLane:
      if (m.distance >= kPitExit * kTrackLength && m.distance < kPitEntry * kTrackLength) {
        Enter(m, Phase::kRacing);
      }
      break;
    case Phase::kRacing:
      if ((m.fuel < kPitFuelLitres || RaceOver(m)) && Fraction(m) > 0.85 &&
          Fraction(m) < kPitEntry) {
        Enter(m, Phase::kPitEntry);
      }
      break;
    case Phase::kPitEntry:
      if (Ahead(m, kPitBox) < 0.5 || (m.speed < 0.3 && Ahead(m, kPitBox) < 5)) {
        Enter(m, Phase::kPitStop);
        m.speed = 0;
        m.gear = 0;
        m.throttle = 0;
      }
      break;
    case Phase::kPitStop: {
      // After the last lap the car goes back to its garage for good.
      if (RaceOver(m)) {
        Enter(m, Phase::kGarage);
        break;
      }
      const double wanted = FuelWanted(m);
      m.fuel = std::min(std::max(m.fuel, wanted), m.fuel + kRefuelLitresPerSecond * m.step);
      if (m.fuel >= wanted && m.phaseTime >= kStopSeconds) {
        Enter(m, Phase::kPitLane);
        m.gear = 1;
      }
      break;
    }
  }
}

// What the records say of the variables a dashboard shows.
struct Described {
  const char* name;
  const char* unit;
  const char* description;
};
constexpr Described kDescribed[] = {
    {"SessionTime", "s", "Time since the session began"},
    {"SessionFlags", "", "Flags shown to the driver, one bit each"},
    {"SessionTimeRemain", "s", "Time left in the session"},
    {"SessionLapsRemain", "", "Laps left in the session, the current one included"},
    {"SessionLapsRemainEx", "", "Laps left in the session, the current one included"},
    {"IsOnTrack", "", "The driver is in the car on track"},
    {"PlayerCarPosition", "", "The driver's place in the race"},
    {"PlayerCarClassPosition", "", "The driver's place in the car's class"},
    {"PlayerCarMyIncidentCount", "", "Incident points of the driver this session"},
    {"CarIdxLap", "", "Lap each car is on, by car index"},
    {"CarIdxLapCompleted", "", "Laps each car has completed, by car index"},
    {"CarIdxLapDistPct", "", "How far around the lap each car is, 0 to 1"},
    {"CarIdxTrackSurface", "", "Where each car is: -1 not in world, 1 pit stall, 2 pit lane"},
    {"CarIdxOnPitRoad", "", "Each car is on pit road"},
    {"CarIdxPosition", "", "Each car's place in the race, as of its last line crossing"},
    {"CarIdxClassPosition", "", "Each car's place in its class"},
    {"CarIdxLastLapTime", "s", "Each car's last lap time, -1 for none"},
    {"CarIdxBestLapTime", "s", "Each car's best lap time, -1 for none"},
    {"CarIdxEstTime", "s", "Each car's estimated time from the line at its class's pace"},
    {"CarIdxF2Time", "s", "Each car's time behind the leader"},
    {"OnPitRoad", "", "The car is on pit road"},
    {"Throttle", "", "Throttle, 0 (off) to 1 (full)"},
    {"Brake", "", "Brake, 0 (off) to 1 (full)"},
    {"Gear", "", "Gear: -1 reverse, 0 neutral"},
    {"RPM", "revs/min", "Engine speed"},
    {"Lap", "", "Lap the car is on"},
    {"LapCompleted", "", "Laps completed"},
    {"LapDist", "m", "Distance around the lap"},
    {"LapDistPct", "", "How far around the lap, 0 to 1"},
    {"RaceLaps", "", "Laps completed in the race"},
    {"LapBestLapTime", "s", "The driver's best lap time"},
    {"LapLastLapTime", "s", "The driver's last lap time"},
    {"LapCurrentLapTime", "s", "Time into the current lap"},
    {"LapDeltaToBestLap", "s", "Time behind (positive) the best lap at this point"},
    {"LapDeltaToBestLap_OK", "", "The delta to the best lap is known"},
    {"Speed", "m/s", "Speed of the car"},
    {"FuelLevel", "l", "Fuel in the tank"},
    {"FuelLevelPct", "", "Fuel as a share of a full tank, 0 to 1"},
    {"FuelUsePerHour", "kg/h", "Fuel the engine uses"},
    {"WaterTemp", "C", "Engine coolant temperature"},
    {"OilTemp", "C", "Engine oil temperature"},
};

}  // namespace

Car CarFromSessionText(const char* sessionText) {
  Car car;
  auto read = [sessionText](const char* path, double* value) {
    const char* start = nullptr;
    std::int32_t length = 0;
    if (!sessioninfo::FindValue(sessionText, path, &start, &length) || length <= 0) return;
    const std::string text(start, static_cast<std::size_t>(length));
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && parsed > 0) *value = parsed;
  };
  read("DriverInfo:DriverCarIdleRPM:", &car.idleRpm);
  read("DriverInfo:DriverCarRedLine:", &car.redLine);
  read("DriverInfo:DriverCarSLShiftRPM:", &car.shiftRpm);
  read("DriverInfo:DriverCarFuelMaxLtr:", &car.fuelCapacity);
  // A text whose numbers contradict each other still gives a drivable car.
  car.redLine = std::max(car.redLine, car.idleRpm + 1000);
  if (car.shiftRpm <= car.idleRpm || car.shiftRpm > car.redLine) car.shiftRpm = car.redLine * 0.93;
  return car;
}

publisher::Layout SessionLayout() {
  using T = ValueType;
  std::vector<publisher::Variable> variables = {
      {"SessionTime", T::kDouble},
      {"SessionTick", T::kInt},
      {"SessionNum", T::kInt},
      {"SessionState", T::kInt},
      {"SessionUniqueID", T::kInt},
      {"SessionFlags", T::kBitField},
      {"SessionTimeRemain", T::kDouble},
      {"SessionLapsRemain", T::kInt},
      {"SessionLapsRemainEx", T::kInt},
      {"SessionTimeTotal", T::kDouble},
      {"SessionLapsTotal", T::kInt},
      {"SessionTimeOfDay", T::kFloat},
      {"RadioTransmitCarIdx", T::kInt},
      {"IsOnTrack", T::kBool},
      {"IsReplayPlaying", T::kBool},
      {"ReplayFrameNum", T::kInt},
      {"FrameRate", T::kFloat},
      {"CpuUsageFG", T::kFloat},
      {"PlayerCarPosition", T::kInt},
      {"PlayerCarClassPosition", T::kInt},
      {"PlayerCarMyIncidentCount", T::kInt},
      {"PlayerTrackSurface", T::kInt},
      {"PlayerCarIdx", T::kInt},
      {"PlayerCarInPitStall", T::kBool},
      {"CarIdxLap", T::kInt, kCarSlots},
      {"CarIdxLapCompleted", T::kInt, kCarSlots},
      {"CarIdxLapDistPct", T::kFloat, kCarSlots},
      {"CarIdxTrackSurface", T::kInt, kCarSlots},
      {"CarIdxOnPitRoad", T::kBool, kCarSlots},
      {"CarIdxPosition", T::kInt, kCarSlots},
      {"CarIdxClassPosition", T::kInt, kCarSlots},
      {"CarIdxF2Time", T::kFloat, kCarSlots},
      {"CarIdxEstTime", T::kFloat, kCarSlots},
      {"CarIdxLastLapTime", T::kFloat, kCarSlots},
      {"CarIdxBestLapTime", T::kFloat, kCarSlots},
      {"CarIdxGear", T::kInt, kCarSlots},
      {"CarIdxRPM", T::kFloat, kCarSlots},
      {"OnPitRoad", T::kBool},
      {"SteeringWheelAngle", T::kFloat},
      {"Throttle", T::kFloat},
      {"Brake", T::kFloat},
      {"Clutch", T::kFloat},
      {"Gear", T::kInt},
      {"RPM", T::kFloat},
      {"Lap", T::kInt},
      {"LapCompleted", T::kInt},
      {"LapDist", T::kFloat},
      {"LapDistPct", T::kFloat},
      {"RaceLaps", T::kInt},
      {"LapBestLapTime", T::kFloat},
      {"LapLastLapTime", T::kFloat},
      {"LapCurrentLapTime", T::kFloat},
      {"LapDeltaToBestLap", T::kFloat},
      {"LapDeltaToBestLap_OK", T::kBool},
      {"Speed", T::kFloat},
      {"Yaw", T::kFloat},
      {"Pitch", T::kFloat},
      {"Roll", T::kFloat},
      {"TrackTemp", T::kFloat},
      {"AirTemp", T::kFloat},
      {"WeatherType", T::kInt},
      {"PitsOpen", T::kBool},
      {"PitRepairLeft", T::kFloat},
      {"PitstopActive", T::kBool},
      {"IsOnTrackCar", T::kBool},
      {"ShiftIndicatorPct", T::kFloat},
      {"ShiftGrindRPM", T::kFloat},
      {"ThrottleRaw", T::kFloat},
      {"BrakeRaw", T::kFloat},
      {"EngineWarnings", T::kBitField},
      {"FuelLevel", T::kFloat},
      {"FuelLevelPct", T::kFloat},
      {"PitSvFlags", T::kBitField},
      {"PitSvFuel", T::kFloat},
      {"WaterTemp", T::kFloat},
      {"WaterLevel", T::kFloat},
      {"FuelPress", T::kFloat},
      {"FuelUsePerHour", T::kFloat},
      {"OilTemp", T::kFloat},
      {"OilPress", T::kFloat},
      {"OilLevel", T::kFloat},
      {"Voltage", T::kFloat},
      {"ManifoldPress", T::kFloat},
  };
  for (const char* corner : {"LF", "RF", "LR", "RR"}) {
    for (const char* channel : {"tempCL", "tempCM", "tempCR", "pressure", "wearM", "shockDefl"}) {
      variables.push_back({std::string(corner) + channel, T::kFloat});
    }
  }
  for (publisher::Variable& variable : variables) {
    for (const Described& described : kDescribed) {
      if (variable.name == described.name) {
        variable.unit = described.unit;
        variable.description = described.description;
      }
    }
  }
  return publisher::PackedLayout(std::move(variables), 4, 0);
}

namespace {

// One entry of the driver list, in the simulator's style.
void AppendDriver(std::string& text, int carIdx, const char* userName, const char* teamName,
                  int number, const char* carPath, const char* screenName, const CarClass& carClass,
                  bool paceCar, int iRating) {
  char entry[1024];
  std::snprintf(entry, sizeof entry,
                " - CarIdx: %d\n"
                "   UserName: %s\n"
                "   TeamName: %s\n"
                "   CarNumber: \"%d\"\n"
                "   CarNumberRaw: %d\n"
                "   CarPath: %s\n"
                "   CarScreenName: %s\n"
                "   CarClassID: %d\n"
                "   CarClassShortName: %s\n"
                "   CarClassEstLapTime: %.4f\n"
                "   CarClassColor: %s\n"
                "   CarIsPaceCar: %d\n"
                "   IsSpectator: 0\n"
                "   IRating: %d\n",
                carIdx, userName, teamName, number, number, carPath, screenName, carClass.id,
                carClass.shortName, carClass.estLapTime, carClass.color, paceCar ? 1 : 0, iRating);
  text += entry;
}

}  // namespace

std::string SessionText() {
  std::string text =
      "---\n"
      "WeekendInfo:\n"
      " TrackName: spa 2024 up\n"
      " TrackDisplayName: Circuit de Spa-Francorchamps\n"
      " TrackLength: 7.00 km\n"
      " TrackCity: Stavelot\n"
      " TrackCountry: Belgium\n"
      " TrackAirTemp: 22.00 C\n"
      " EventType: Race\n"
      " Category: Road\n"
      " SessionID: 90211307\n"
      " SubSessionID: 71544092\n"
      "SessionInfo:\n"
      " Sessions:\n"
      " - SessionNum: 0\n"
      "   SessionLaps: 20\n"
      "   SessionTime: 2700.0000 sec\n"
      "   SessionType: Race\n"
      "   SessionName: RACE\n"
      "DriverInfo:\n"
      " DriverCarIdx: 3\n"
      " DriverUserID: 204117\n"
      " PaceCarIdx: 0\n"
      " DriverCarIdleRPM: 900.000\n"
      " DriverCarRedLine: 7400.000\n"
      " DriverCarEngCylinderCount: 6\n"
      " DriverCarFuelKgPerLtr: 0.750\n"
      " DriverCarFuelMaxLtr: 100.000\n"
      " DriverCarMaxFuelPct: 1.000\n"
      " DriverCarGearNumForward: 6\n"
      " DriverCarGearNeutral: 1\n"
      " DriverCarGearReverse: 1\n"
      " DriverCarSLFirstRPM: 5500.000\n"
      " DriverCarSLShiftRPM: 6900.000\n"
      " DriverCarSLLastRPM: 7100.000\n"
      " DriverCarSLBlinkRPM: 7250.000\n"
      " DriverCarVersion: 2024.03.12.01\n"
      " DriverPitTrkPct: 0.012000\n"
      " Drivers:\n";
  AppendDriver(text, 0, "Pace Car", "Pace Car", 0, "safety pcbmwm4gt3", "BMW M4 Safety Car",
               kPaceCarClass, true, 0);
  for (std::size_t k = 0; k < kEntrants.size(); ++k) {
    const Entrant& e = kEntrants[k];
    AppendDriver(text, static_cast<int>(k) + 1, e.userName, e.teamName, e.number, e.carPath,
                 e.screenName, *e.carClass, false, e.iRating);
  }
  // Someone watching: listed, never in the world.
  text +=
      " - CarIdx: 13\n"
      "   UserName: Sam Keller\n"
      "   TeamName: Sam Keller\n"
      "   CarNumber: \"\"\n"
      "   CarNumberRaw: -1\n"
      "   CarIsPaceCar: 0\n"
      "   IsSpectator: 1\n"
      "   IRating: 1350\n";
  text +=
      "SplitTimeInfo:\n"
      " Sectors:\n"
      " - SectorNum: 0\n"
      "   SectorStartPct: 0.000000\n"
      " - SectorNum: 1\n"
      "   SectorStartPct: 0.330000\n"
      " - SectorNum: 2\n"
      "   SectorStartPct: 0.700000\n"
      "...\n";
  return text;
}

bool OnPitRoad(const Model& m) {
  switch (m.phase) {
    case Phase::kPitLane:
    case Phase::kPitStop:
      return true;
    case Phase::kPitEntry:
      return Fraction(m) >= kPitEntry || Fraction(m) < 0.5;
    default:
      return false;
  }
}

bool OnTrack(const Model& m) { return m.phase != Phase::kGarage; }

bool DeltaValid(const Model& m) { return m.bestProfileTime > 0 && m.phase == Phase::kRacing; }

double DeltaToBestLap(const Model& m) {
  if (!DeltaValid(m)) return 0;
  // The best lap's time at this point, between the stretches around it.
  const double at = m.distance / kDeltaStretchMetres;
  const auto stretch = std::min(static_cast<std::size_t>(at), m.bestProfile.size() - 1);
  const double from = m.bestProfile[stretch];
  const double to =
      stretch + 1 < m.bestProfile.size() ? m.bestProfile[stretch + 1] : m.bestProfileTime;
  const double best = from + (to - from) * std::clamp(at - static_cast<double>(stretch), 0.0, 1.0);
  return m.sessionTime - m.lapStart - best;
}

int Position(const Model& m) { return m.field[kPlayerSlot].position; }

int ClassPosition(const Model& m) { return m.field[kPlayerSlot].classPosition; }

void StartSession(Model& m, const Car& car, std::uint64_t seed, int rowsPerSecond) {
  m = Model{};
  m.car = car;
  m.step = 1.0 / std::max(1, rowsPerSecond);
  m.random = seed;
  m.distance = kPitBox * kTrackLength;
  m.stretch = static_cast<int>(m.distance) / kDeltaStretchMetres;
  m.rpm = car.idleRpm;
  m.fuel = std::min(car.fuelCapacity, 12 + 4 * NextUnit(m.random));
  m.oilTemp = 28 + 3 * NextUnit(m.random);
  m.waterTemp = m.oilTemp - 1;
  // The driver's generator passes over the ten numbers that went to the
  // other cars before the field had a generator of its own, so that a seed
  // still gives the driver the laps it always gave.
  for (int skipped = 0; skipped < 10; ++skipped) NextUnit(m.random);
  NewLapDriving(m);
  m.fieldRandom = seed + 0x632BE59BD9B4E019ULL;
  StartField(m);
}

void Step(Model& m) {
  if (m.phase != Phase::kGarage && m.phase != Phase::kPitStop) {
    Drive(m);
    Shift(m);
    if (m.distance >= kTrackLength) CrossLine(m);
    TrackStretches(m);
    if (m.phase == Phase::kRacing && m.incidentAt >= 0 && Fraction(m) >= m.incidentAt) {
      ++m.incidents;
      m.incidentAt = -1;
    }
  }
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    if (k != kPlayerSlot) StepFieldCar(m, k);
  }
  UpdateEngine(m);
  m.sessionTime += m.step;
  m.phaseTime += m.step;
  ++m.steps;
  AdvancePhase(m);
}

namespace {

int PlayerTrackSurface(const Model& m) {
  if (!OnTrack(m)) return -1;
  if (m.phase == Phase::kPitStop) return 1;
  return OnPitRoad(m) ? 2 : 3;
}

// The per-car arrays of one row: every racing car's entry, the driver's from
// the driver's own values; the pace car, the spectator and the unused
// entries are not in the world.
struct CarArrays {
  std::array<std::int32_t, kCarSlots> lap, lapsCompleted, surface, position, classPosition;
  std::array<float, kCarSlots> fraction, lastLapTime, bestLapTime, estTime, f2Time;
  std::array<bool, kCarSlots> onPitRoad;
};

float LapTimeOrNone(double seconds) { return seconds > 0 ? static_cast<float>(seconds) : -1.0f; }

void FillCarArrays(const Model& m, CarArrays& a) {
  a.lap.fill(-1);
  a.lapsCompleted.fill(-1);
  a.surface.fill(-1);
  a.position.fill(0);
  a.classPosition.fill(0);
  a.fraction.fill(-1);
  a.lastLapTime.fill(-1);
  a.bestLapTime.fill(-1);
  a.estTime.fill(-1);
  a.f2Time.fill(-1);
  a.onPitRoad.fill(false);
  // Laps covered, in the time-like units of the lap's profile: the gap to
  // the leader in these, times a class's estimated lap, is seconds behind.
  std::array<double, kRacingCars> covered{};
  double leader = 0;
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    const std::size_t car = k + 1;
    const FieldCar& f = m.field[k];
    if (k == kPlayerSlot) {
      a.lap[car] = m.lap;
      a.lapsCompleted[car] = m.lapsCompleted;
      a.fraction[car] = static_cast<float>(Fraction(m));
      a.surface[car] = PlayerTrackSurface(m);
      a.onPitRoad[car] = OnPitRoad(m);
      a.lastLapTime[car] = LapTimeOrNone(m.lastLapTime);
      a.bestLapTime[car] = LapTimeOrNone(m.bestLapTime);
    } else {
      a.lap[car] = f.lap;
      a.lapsCompleted[car] = f.lapsCompleted;
      a.surface[car] = FieldTrackSurface(f);
      if (a.surface[car] >= 0) a.fraction[car] = static_cast<float>(f.fraction);
      a.onPitRoad[car] = a.surface[car] == 1 || a.surface[car] == 2;
      a.lastLapTime[car] = LapTimeOrNone(f.lastLapTime);
      a.bestLapTime[car] = LapTimeOrNone(f.bestLapTime);
    }
    a.position[car] = f.position;
    a.classPosition[car] = f.classPosition;
    const double into =
        a.surface[car] >= 0 ? ShapeAt(k == kPlayerSlot ? Fraction(m) : f.fraction) : 0;
    covered[k] = LapsCompletedOf(m, k) + into;
    leader = std::max(leader, covered[k]);
    if (a.surface[car] >= 0) {
      a.estTime[car] = static_cast<float>(kEntrants[k].carClass->estLapTime * into);
    }
  }
  for (std::size_t k = 0; k < m.field.size(); ++k) {
    if (a.surface[k + 1] < 0) continue;
    a.f2Time[k + 1] = static_cast<float>(kEntrants[k].carClass->estLapTime * (leader - covered[k]));
  }
}

}  // namespace

void WriteRow(const Model& m, const publisher::Layout& layout, std::span<std::uint8_t> row) {
  auto f = [&](const char* name, double value, int index = 0) {
    publisher::SetFloat(row, layout, name, static_cast<float>(value), index);
  };
  auto i = [&](const char* name, std::int32_t value, int index = 0) {
    publisher::SetInt(row, layout, name, value, index);
  };
  auto b = [&](const char* name, bool value) { publisher::SetBool(row, layout, name, value); };

  publisher::SetDouble(row, layout, "SessionTime", m.sessionTime);
  i("SessionTick", static_cast<std::int32_t>(m.steps));
  i("SessionNum", 0);
  i("SessionState", 4);  // racing
  i("SessionUniqueID", 1);
  i("SessionFlags", 0x4);  // green
  publisher::SetDouble(row, layout, "SessionTimeRemain",
                       std::max(0.0, kSessionSeconds - m.sessionTime));
  i("SessionLapsRemain", std::max(0, kSessionLaps - m.lapsCompleted));
  i("SessionLapsRemainEx", std::max(0, kSessionLaps - m.lapsCompleted));
  publisher::SetDouble(row, layout, "SessionTimeTotal", kSessionSeconds);
  i("SessionLapsTotal", kSessionLaps);
  f("SessionTimeOfDay", 14 * 3600 + m.sessionTime);
  i("RadioTransmitCarIdx", -1);
  b("IsOnTrack", OnTrack(m));
  b("IsOnTrackCar", OnTrack(m));
  f("FrameRate", 120);
  f("CpuUsageFG", 0.42);
  i("PlayerCarPosition", Position(m));
  i("PlayerCarClassPosition", ClassPosition(m));
  i("PlayerCarMyIncidentCount", m.incidents);
  i("PlayerTrackSurface", PlayerTrackSurface(m));
  i("PlayerCarIdx", kPlayerCarIdx);
  b("PlayerCarInPitStall", m.phase == Phase::kPitStop);
  b("PitstopActive", m.phase == Phase::kPitStop);
  b("PitsOpen", true);
  b("OnPitRoad", OnPitRoad(m));

  CarArrays cars;
  FillCarArrays(m, cars);
  publisher::SetInts(row, layout, "CarIdxLap", cars.lap);
  publisher::SetInts(row, layout, "CarIdxLapCompleted", cars.lapsCompleted);
  publisher::SetFloats(row, layout, "CarIdxLapDistPct", cars.fraction);
  publisher::SetInts(row, layout, "CarIdxTrackSurface", cars.surface);
  publisher::SetBools(row, layout, "CarIdxOnPitRoad", cars.onPitRoad);
  publisher::SetInts(row, layout, "CarIdxPosition", cars.position);
  publisher::SetInts(row, layout, "CarIdxClassPosition", cars.classPosition);
  publisher::SetFloats(row, layout, "CarIdxLastLapTime", cars.lastLapTime);
  publisher::SetFloats(row, layout, "CarIdxBestLapTime", cars.bestLapTime);
  publisher::SetFloats(row, layout, "CarIdxEstTime", cars.estTime);
  publisher::SetFloats(row, layout, "CarIdxF2Time", cars.f2Time);
  i("CarIdxGear", m.gear, kPlayerCarIdx);
  f("CarIdxRPM", m.rpm, kPlayerCarIdx);

  f("Throttle", m.throttle);
  f("ThrottleRaw", m.throttle);
  f("Brake", m.brake);
  f("BrakeRaw", m.brake);
  f("Clutch", m.gear == 0 ? 0 : 1);
  i("Gear", m.gear);
  f("RPM", m.rpm);
  f("ShiftGrindRPM", 0);
  i("Lap", m.lap);
  i("LapCompleted", m.lapsCompleted);
  f("LapDist", m.distance);
  f("LapDistPct", Fraction(m));
  i("RaceLaps", m.lapsCompleted);
  f("LapBestLapTime", m.bestLapTime);
  f("LapLastLapTime", m.lastLapTime);
  f("LapCurrentLapTime", m.lap > 0 ? m.sessionTime - m.lapStart : 0);
  f("LapDeltaToBestLap", DeltaToBestLap(m));
  b("LapDeltaToBestLap_OK", DeltaValid(m));
  f("Speed", m.speed);
  f("TrackTemp", 31.5);
  f("AirTemp", 22);

  f("FuelLevel", m.fuel);
  f("FuelLevelPct", m.fuel / m.car.fuelCapacity);
  f("PitSvFuel", FuelWanted(m));
  f("FuelPress", m.rpm > 0 ? 4.2 : 0);
  f("FuelUsePerHour", FuelFlow(m) * 3600 * 0.75);  // kg/h
  f("WaterTemp", m.waterTemp);
  f("WaterLevel", 12.4);
  f("OilTemp", m.oilTemp);
  f("OilPress", 1.5 + m.rpm / 2500);
  f("OilLevel", 5.8);
  f("Voltage", 13.9);
  f("ManifoldPress", 0.3 + 1.6 * m.throttle);
}

}  // namespace simulated

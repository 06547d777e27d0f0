// The simulated session: a GT car lapping Spa, driven by a simple driver
// model that brakes for each corner, shifts by the lights and pits for fuel.
#include "sim-publisher/sim_model.h"

#include <algorithm>
#include <cmath>
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
    {"CarIdxLapDistPct", "", "How far around the lap each car is, 0 to 1"},
    {"CarIdxPosition", "", "Each car's place in the race"},
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

double OtherCarFraction(const Model& m, std::size_t car) {
  const double laps = m.otherStart[car] + m.sessionTime / m.otherLapTime[car];
  return laps - std::floor(laps);
}

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
      {"CarIdxLap", T::kInt, 64},
      {"CarIdxLapCompleted", T::kInt, 64},
      {"CarIdxLapDistPct", T::kFloat, 64},
      {"CarIdxTrackSurface", T::kInt, 64},
      {"CarIdxOnPitRoad", T::kBool, 64},
      {"CarIdxPosition", T::kInt, 64},
      {"CarIdxGear", T::kInt, 64},
      {"CarIdxRPM", T::kFloat, 64},
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

std::string SessionText() {
  return "---\n"
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
         " Drivers:\n"
         " - CarIdx: 0\n"
         "   UserName: Pace Car\n"
         "   CarNumber: \"0\"\n"
         "   CarPath: safety pcbmwm4gt3\n"
         "   CarScreenName: BMW M4 Safety Car\n"
         "   CarIsPaceCar: 1\n"
         " - CarIdx: 1\n"
         "   UserName: Lena Vogt\n"
         "   CarNumber: \"12\"\n"
         "   CarPath: porsche992rgt3\n"
         "   CarScreenName: Porsche 911 GT3 R (992)\n"
         "   IRating: 2650\n"
         " - CarIdx: 2\n"
         "   UserName: Tom Okafor\n"
         "   CarNumber: \"31\"\n"
         "   CarPath: ferrari296gt3\n"
         "   CarScreenName: Ferrari 296 GT3\n"
         "   IRating: 2480\n"
         " - CarIdx: 3\n"
         "   UserName: Alex Morgan\n"
         "   CarNumber: \"46\"\n"
         "   CarPath: bmwm4gt3\n"
         "   CarScreenName: BMW M4 GT3\n"
         "   IRating: 2710\n"
         " - CarIdx: 4\n"
         "   UserName: Sofia Marques\n"
         "   CarNumber: \"8\"\n"
         "   CarPath: mclaren720sgt3\n"
         "   CarScreenName: McLaren 720S GT3 EVO\n"
         "   IRating: 2395\n"
         " - CarIdx: 5\n"
         "   UserName: Ravi Iyer\n"
         "   CarNumber: \"77\"\n"
         "   CarPath: audir8lmsevo2gt3\n"
         "   CarScreenName: Audi R8 LMS GT3 evo II\n"
         "   IRating: 2555\n"
         "SplitTimeInfo:\n"
         " Sectors:\n"
         " - SectorNum: 0\n"
         "   SectorStartPct: 0.000000\n"
         " - SectorNum: 1\n"
         "   SectorStartPct: 0.330000\n"
         " - SectorNum: 2\n"
         "   SectorStartPct: 0.700000\n"
         "...\n";
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

int Position(const Model& m) {
  const double covered = m.lapsCompleted + (m.phase == Phase::kGarage ? 0 : Fraction(m));
  int position = 1;
  for (std::size_t car = 0; car < kOtherCars; ++car) {
    if (m.otherStart[car] + m.sessionTime / m.otherLapTime[car] > covered) ++position;
  }
  return position;
}

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
  for (std::size_t i = 0; i < kOtherCars; ++i) {
    m.otherStart[i] = NextUnit(m.random);
    m.otherLapTime[i] = 141 + 8 * NextUnit(m.random);
  }
  NewLapDriving(m);
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
  UpdateEngine(m);
  m.sessionTime += m.step;
  m.phaseTime += m.step;
  ++m.steps;
  AdvancePhase(m);
}

void WriteRow(const Model& m, const publisher::Layout& layout, std::span<std::uint8_t> row) {
  auto f = [&](const char* name, double value, int index = 0) {
    publisher::SetFloat(row, layout, name, static_cast<float>(value), index);
  };
  auto i = [&](const char* name, std::int32_t value, int index = 0) {
    publisher::SetInt(row, layout, name, value, index);
  };
  auto b = [&](const char* name, bool value) { publisher::SetBool(row, layout, name, value); };
  constexpr int kPlayer = 3;

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
  i("PlayerCarClassPosition", Position(m));
  i("PlayerCarMyIncidentCount", m.incidents);
  i("PlayerTrackSurface", OnTrack(m) ? (OnPitRoad(m) ? 2 : 3) : -1);
  i("PlayerCarIdx", kPlayer);
  b("PlayerCarInPitStall", m.phase == Phase::kPitStop);
  b("PitstopActive", m.phase == Phase::kPitStop);
  b("PitsOpen", true);
  b("OnPitRoad", OnPitRoad(m));

  i("CarIdxLap", m.lap, kPlayer);
  i("CarIdxLapCompleted", m.lapsCompleted, kPlayer);
  f("CarIdxLapDistPct", Fraction(m), kPlayer);
  i("CarIdxGear", m.gear, kPlayer);
  f("CarIdxRPM", m.rpm, kPlayer);
  i("CarIdxPosition", Position(m), kPlayer);
  for (std::size_t car = 0; car < kOtherCars; ++car) {
    const int index = car < kPlayer - 1 ? static_cast<int>(car) + 1 : static_cast<int>(car) + 2;
    const double laps = m.otherStart[car] + m.sessionTime / m.otherLapTime[car];
    i("CarIdxLap", static_cast<std::int32_t>(laps) + 1, index);
    i("CarIdxLapCompleted", static_cast<std::int32_t>(laps), index);
    f("CarIdxLapDistPct", OtherCarFraction(m, car), index);
    i("CarIdxTrackSurface", 3, index);
  }

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

// Standings and relative: where every car of the session stands, and the
// cars around the driver's own on track, worked out from the simulator's
// per-car arrays (CarIdxLapCompleted, CarIdxLapDistPct, ...) and the driver
// list of its session text.
//
// Gaps come from when each car passed each of kPoints points around the
// lap: every row, the points a car went past since its previous row get
// their passing time, interpolated in SessionTime between the two rows. The
// gap between two cars is then the time since the car ahead passed the point
// where the one behind is now. Measured this way a gap does not jump when a
// car crosses the line (the points run on around the lap), nor drift through
// corners (both cars took the same corner), and a replay at ten times its
// speed gives the recorded gaps: the wall clock is never read. Until a car
// has passed a place since relay-web began, a gap to it there is estimated
// from the distance and its class's lap time.
//
// Standard C++ only, so tests drive it with plain rows; a row allocates
// nothing (the histories are fixed arrays, sized once).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace standings {

// The simulator's per-car arrays have this many entries.
inline constexpr int kMaxCars = 64;
// Points around the lap at which each car's passing time is kept: some
// 17 m apart on a 7 km circuit, a few rows of a car at racing speed.
inline constexpr int kPoints = 400;
// The relative shows at most this many cars ahead of the driver and behind.
inline constexpr int kRelativeEachWay = 4;

// A car of the session text's driver list.
struct Driver {
  bool listed = false;         // in the list, not the pace car nor a spectator
  std::string number;          // CarNumber, without its quotes
  std::string name;            // UserName
  std::string team;            // TeamName
  std::string className;       // CarClassShortName
  std::string classColor;      // CarClassColor as "#rrggbb", or empty
  std::int32_t classId = 0;    // CarClassID
  double classEstLapTime = 0;  // CarClassEstLapTime, seconds
};

// What the session text says about the field.
struct Field {
  std::array<Driver, kMaxCars> drivers;
  // SessionType of each SessionNum the text lists ("Race", "Practice", ...).
  static constexpr int kMaxSessions = 16;
  std::array<std::string, kMaxSessions> sessionTypes;
};

// Reads the driver list and the sessions' types with the relay's own
// session-text query.
Field ReadField(std::string_view sessionText);

// One row's values. Arrays the simulator does not give stay at their
// defaults: a car with trackSurface -1 is not in the world.
struct Row {
  double sessionTime = 0;  // SessionTime, seconds
  std::int32_t sessionNum = 0;
  std::int32_t playerCarIdx = -1;
  std::array<std::int32_t, kMaxCars> lapCompleted{};
  std::array<double, kMaxCars> lapDistPct{};
  std::array<std::int32_t, kMaxCars> trackSurface{};
  std::array<bool, kMaxCars> onPitRoad{};
  std::array<std::int32_t, kMaxCars> position{};
  std::array<std::int32_t, kMaxCars> classPosition{};
  std::array<double, kMaxCars> lastLapTime{};
  std::array<double, kMaxCars> bestLapTime{};
  Row() { trackSurface.fill(-1); }
};

struct Car {
  std::int32_t carIdx = 0;
  std::int32_t position = 0;
  std::int32_t classPosition = 0;
  std::int32_t officialPosition = 0;  // CarIdxPosition, 0 when none
  std::int32_t lapsCompleted = 0;
  double lapDistPct = 0;
  std::optional<double> gapToLeader;
  std::int32_t lapsDown = 0;
  std::optional<double> interval;
  std::optional<double> gapToClassLeader;
  std::optional<double> lastLap;
  std::optional<double> bestLap;
  bool onPitRoad = false;
  bool inWorld = false;
  std::int32_t pitStops = 0;
  bool isPlayer = false;
};

struct Table {
  double sessionTime = 0;
  bool race = false;
  std::string_view sessionType;  // the field's, while it lives
  int count = 0;
  std::array<Car, kMaxCars> cars;  // in position order
};

struct RelativeCar {
  std::int32_t carIdx = 0;
  std::optional<double> gap;  // seconds: ahead above 0, behind below
  std::int32_t laps = 0;      // +1 a lap or more ahead in the race, -1 behind
  bool onPitRoad = false;
  bool isPlayer = false;
};

struct Relative {
  double sessionTime = 0;
  int count = 0;
  std::array<RelativeCar, 2 * kRelativeEachWay + 1> cars;  // furthest ahead first
};

class Standings {
 public:
  Standings();

  // The driver list and session types from now on; the cars' histories go
  // on (the simulator rewrites its text within a session).
  void SetField(Field field);
  const Field& field() const { return field_; }

  // One row: the passing times of the points each car went past since its
  // previous row, and pit road entries.
  void Feed(const Row& row);

  // A new session: every car's history starts afresh.
  void NewSession();

  // The standings and the relative as of the last row.
  void Compute(Table& table) const;
  void ComputeRelative(Relative& relative) const;

 private:
  struct History {
    bool present = false;  // in the world on the previous row
    double distance = 0;   // laps run, as of the previous row
    double time = 0;       // SessionTime of the previous row
    double reached = 0;    // the furthest distance whose points are kept
    bool everPresent = false;
    bool onPitRoad = false;
    std::int32_t pitStops = 0;
    // The point passed last at each place around the lap (its count from
    // the start of lap 0, -1 for none yet) and when.
    std::array<std::int64_t, kPoints> passed;
    std::array<double, kPoints> passedAt;
  };
  // When `car` last went past the place `distance` laps into the race is at
  // (the same place of the lap, on any lap), and how many whole laps further
  // into the race it was then than `distance`; false when it has not passed
  // that place since its history began.
  bool PassedAt(int car, double distance, double* time, std::int64_t* lapsAhead) const;
  std::optional<double> GapBehind(int ahead, int behind, std::int64_t* lapsAhead) const;
  // Until `ahead` has passed the place `behind` is at (relay-web started in
  // the middle of a lap), the gap is estimated from the distance between
  // them at the pace of `ahead`'s class; null without that pace.
  std::optional<double> EstimatedGap(int ahead, int behind) const;

  Field field_;
  Row last_;
  bool haveRow_ = false;
  std::unique_ptr<std::array<History, kMaxCars>> history_;
};

}  // namespace standings

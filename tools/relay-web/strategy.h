// The race-strategy figures relay-web sends browsers: the fuel a lap takes at
// racing pace (pit, caution, cut and outlier laps left out), how far the fuel
// in the car goes, and what the rest of the session needs. It is fed every
// telemetry row of either source, the relay's stream or the simulator's
// shared memory, and is standard C++ only, so tests drive it with plain rows.
// A row costs no allocation: the counted laps live in fixed windows.
//
// It is also the one place that decides where a lap ends: each lap ended by
// Lap rising by one is reported as a LapRecord once its time is settled, for
// relay-web's lap messages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace strategy {

inline constexpr double kDefaultFuelMarginLaps = 0.5;
// SessionLapsRemain in a session without a lap limit.
inline constexpr std::int32_t kNoLapLimit = 32767;

struct Row {
  // From either source (the relay's DATA_PACKET carries these).
  std::int32_t lap = 0;                // Lap
  double fuelLevel = 0;                // FuelLevel, litres
  double fuelLevelPct = 0;             // FuelLevelPct, 0..1
  double lapDistPct = 0;               // LapDistPct, 0..1
  bool onPitRoad = false;              // OnPitRoad
  bool isOnTrack = false;              // IsOnTrack
  std::int32_t sessionLapsRemain = 0;  // SessionLapsRemain (kNoLapLimit: none)
  double sessionTimeRemain = 0;        // SessionTimeRemain, seconds
  // Only the shared memory has these; the relay's stream does not.
  std::optional<double> lapLastLapTime;       // LapLastLapTime, seconds
  std::optional<double> sessionTime;          // SessionTime, seconds
  std::optional<std::uint32_t> sessionFlags;  // SessionFlags bit field
};

// Every figure is absent until it can be computed, and never NaN or infinite.
struct Figures {
  std::optional<double> fuelPerLap;     // litres, mean of the averaged laps
  std::optional<double> fuelPerLapMax;  // litres, the most of those laps
  std::optional<double> lastLapFuel;    // litres, the lap just completed
  std::optional<double> lastLapTime;    // seconds, the lap just completed
  std::optional<double> avgLapTime;     // seconds, mean of the averaged laps
  std::optional<double> tank;           // litres the tank holds
  std::optional<double> lapsOfFuel;     // laps the fuel in the car lasts
  std::optional<double> lapsToGo;       // laps to the end of the session
  std::optional<double> fuelToFinish;   // litres for those laps and the margin
  std::optional<double> fuelToAdd;      // litres beyond the fuel in the car
  std::optional<int> stops;             // refuels that takes, a tank each
  int lapsCounted = 0;                  // laps averaged since the session began
  double fuelMargin = 0;                // laps, as configured
};

// A lap that ended with Lap rising by one, as the figures saw it.
struct LapRecord {
  std::int32_t lap = 0;               // the Lap that ended
  std::optional<double> time;         // seconds, as lastLapTime has it
  std::optional<double> fuelUsed;     // litres, as lastLapFuel has it
  bool counted = false;               // averaged into the figures when it ended
  bool whole = false;                 // seen from its first row, with no break
  bool pit = false;                   // a row of it on pit road
  bool caution = false;               // a row of it under a yellow or caution flag
  std::optional<double> sessionTime;  // at the line (the next lap's first row)
};

class Strategy {
 public:
  // `fuelMarginLaps` below 0 or not finite falls back to the default;
  // `tickRate` is the rows per second of the simulator.
  Strategy(double fuelMarginLaps, double tickRate);

  // Ignored unless finite and above 0.
  void SetTickRate(double rowsPerSecond);

  // One row; `monotonicSeconds` is a steady clock reading used only to tell
  // that the feed stopped (rows more than 3 s apart), never for lap times.
  // True when a lap ended with this row (counted or not); a lap broken off by
  // a gap or Interrupt ended there instead.
  bool Feed(const Row& row, double monotonicSeconds);

  // The oldest lap record not yet taken, if any; one is ready once its time
  // is settled (LapLastLapTime taken, or the wait for it over, or the feed
  // broken off meanwhile). Call it after every Feed: at most the last
  // kRecords not taken are kept.
  bool NextLapRecord(LapRecord* record);

  // The source went away: the lap in progress ends without counting.
  void Interrupt();

  // A new session: everything starts afresh.
  void NewSession();

  const Figures& figures() const { return figures_; }

 private:
  static constexpr int kWindowLaps = 5;
  static constexpr int kStreakLaps = 3;
  static constexpr int kRecords = 4;

  struct LapFigures {
    double fuel = 0;
    double seconds = 0;
  };

  struct Lap {
    bool whole = false;  // seen from its first row, with no break since
    bool clean = true;   // on track, off pit road and without caution flags
    bool refuelled = false;
    bool pitRoad = false;
    bool caution = false;
    std::optional<double> firstFuel;
    double lastFuel = 0;
    double lowestFuel = 0;
    std::int64_t rows = 0;
    std::optional<double> startTime;  // session time at its first row
  };

  // The simulator writes LapLastLapTime a moment after Lap rises; until it
  // does (or the wait is over), the lap just ended may still take it.
  struct PendingTime {
    bool active = false;
    double before = 0;  // LapLastLapTime on the ended lap's last row
    std::int64_t rows = 0;
    std::optional<double> lineTime;
  };

  enum class Placed { kNowhere, kWindow, kStreak };

  void EndLap(bool next, std::optional<double> sessionTime);
  void StartLap(bool whole, std::optional<double> sessionTime);
  void AddRow(const Row& row);
  void Count(LapFigures lap);
  void UpdateAverages();
  void WatchLapTime(const Row& row, std::optional<double> sessionTime);
  void TakeLapTime(double seconds);
  // The wait for LapLastLapTime is over: the lap just ended is reported.
  void StopWaiting();
  void SettleRecord();
  void UpdateRowFigures(const Row& row);
  void Afresh();

  double margin_;
  double tickRate_ = 60;
  Figures figures_;

  // The previous row, unless the feed broke off since.
  bool haveRow_ = false;
  std::int32_t lapNumber_ = 0;
  double lastMonotonic_ = 0;
  std::optional<double> lastSessionTime_;
  std::optional<double> lastLapTimeValue_;

  Lap lap_;
  PendingTime pending_;
  Placed placed_ = Placed::kNowhere;  // where the lap just ended went
  // The lap just ended while its time may still change, and the records
  // ready to be taken, oldest first from recordsFirst_.
  LapRecord record_;
  bool recordPending_ = false;
  std::array<LapRecord, kRecords> records_{};
  int recordsFirst_ = 0;
  int recordsCount_ = 0;

  // The averaged laps, oldest first, and the outliers in a row since the
  // last lap that was not one.
  std::array<LapFigures, kWindowLaps> window_{};
  int windowSize_ = 0;
  std::array<LapFigures, kStreakLaps> streak_{};
  int streakSize_ = 0;

  double tankPct_ = 0;  // the fuel percent the tank's size was taken at
};

// True when `a` and `b` differ at the precision the dashboard shows them
// (litres per lap to 0.01, other litres to 0.1, laps to 0.1, times to
// 0.001 s, counts exactly, absent against present).
bool DifferAtDisplayPrecision(const Figures& a, const Figures& b);

}  // namespace strategy

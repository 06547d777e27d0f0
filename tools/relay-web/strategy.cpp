// The fuel calculator: laps are told apart by the Lap counter, each lap's
// fuel and time measured from its own rows, and the figures rebuilt from the
// counted laps and the newest row.
#include "relay-web/strategy.h"

#include <algorithm>
#include <cmath>

namespace strategy {

namespace {

// Rows further apart than this, in the steady clock or in session time,
// mean the feed broke off.
constexpr double kGapSeconds = 3;
constexpr double kShortestLapSeconds = 10;
// Once this many laps count, a lap this far from their median is an outlier.
constexpr int kOutlierCheckFrom = 3;
constexpr double kOutlierShare = 0.15;
// A level this far above the lap's lowest is fuel taken on, not noise.
constexpr double kRefuelLitres = 0.05;
// How long after the line LapLastLapTime may still turn into the lap's time,
// and how close an unchanged value must be to the measured time to be taken
// as a lap exactly as fast as the one before.
constexpr double kLapTimeWaitSeconds = 2;
constexpr double kSameLapTimeSeconds = 0.1;
// Below this the fuel percent is too coarse to divide by.
constexpr double kTankFromPct = 0.05;
// A time remaining beyond any race's length is the simulator's "unlimited".
constexpr double kLongestTimeLimitSeconds = 48 * 3600.0;
// Yellow, yellow waving, caution, caution waving.
constexpr std::uint32_t kCautionFlags = 0x8 | 0x100 | 0x4000 | 0x8000;

bool Usable(double value) { return std::isfinite(value) && value >= 0; }

std::optional<double> Finite(double value) {
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

std::optional<double> UsableOrNone(const std::optional<double>& value) {
  return value && Usable(*value) ? value : std::nullopt;
}

// The median fuel of the first `count` laps (at most eight).
template <typename Laps>
double MedianFuel(const Laps& laps, int count) {
  std::array<double, 8> fuels{};
  // Insertion sort: a handful of values, and GCC 12 reads std::sort on so
  // small an array as going out of bounds.
  for (int i = 0; i < count; ++i) {
    fuels[i] = laps[i].fuel;
    for (int j = i; j > 0 && fuels[j - 1] > fuels[j]; --j) std::swap(fuels[j - 1], fuels[j]);
  }
  const int middle = count / 2;
  return count % 2 == 1 ? fuels[middle] : (fuels[middle - 1] + fuels[middle]) / 2;
}

bool FarFrom(double fuel, double median) {
  return std::abs(fuel - median) > kOutlierShare * median;
}

// Laps to the end of the session from this row, or none without a limit.
// The simulator counts the lap in progress among the laps remaining; a timed
// session ends when the car next crosses the line once time is up. With both
// limits, the one reached first.
std::optional<double> LapsToGo(const Row& row, const std::optional<double>& avgLapTime) {
  const double pct = row.lapDistPct;
  if (!(pct >= 0 && pct <= 1)) return std::nullopt;
  std::optional<double> laps;
  if (row.sessionLapsRemain >= 0 && row.sessionLapsRemain < kNoLapLimit) {
    laps = std::max(0.0, row.sessionLapsRemain - pct);
  }
  const double time = row.sessionTimeRemain;
  if (time >= 0 && time <= kLongestTimeLimitSeconds && avgLapTime) {
    const double timed = std::ceil(pct + time / *avgLapTime) - pct;
    if (!laps || timed < *laps) laps = timed;
  }
  return laps ? Finite(*laps) : std::nullopt;
}

}  // namespace

Strategy::Strategy(double fuelMarginLaps, double tickRate)
    : margin_(Usable(fuelMarginLaps) ? fuelMarginLaps : kDefaultFuelMarginLaps) {
  SetTickRate(tickRate);
  figures_.fuelMargin = margin_;
}

void Strategy::SetTickRate(double rowsPerSecond) {
  if (std::isfinite(rowsPerSecond) && rowsPerSecond > 0) tickRate_ = rowsPerSecond;
}

bool Strategy::Feed(const Row& row, double monotonicSeconds) {
  const std::optional<double> sessionTime = UsableOrNone(row.sessionTime);
  if (haveRow_) {
    const double wall = monotonicSeconds - lastMonotonic_;
    bool broke = wall > kGapSeconds || wall < 0;
    if (sessionTime && lastSessionTime_) {
      const double simulated = *sessionTime - *lastSessionTime_;
      broke = broke || simulated > kGapSeconds || simulated < 0;
    }
    if (broke) Interrupt();
  }

  bool ended = false;
  if (!haveRow_) {
    StartLap(false, sessionTime);
  } else if (row.lap != lapNumber_) {
    ended = true;
    const bool next = std::int64_t{row.lap} - lapNumber_ == 1;
    // A lap still waiting for its time goes as it is.
    SettleRecord();
    EndLap(next, sessionTime);
    if (next) {
      record_ = {lapNumber_, figures_.lastLapTime, figures_.lastLapFuel, placed_ == Placed::kWindow,
                 lap_.whole, lap_.pitRoad,         lap_.caution,         sessionTime};
      recordPending_ = true;
    }
    // The counter starting over is a new session.
    if (row.lap < lapNumber_ && row.lap <= 1) Afresh();
    if (next && row.lapLastLapTime) {
      pending_ = {true, lastLapTimeValue_.value_or(std::nan("")), 0, sessionTime};
    } else {
      SettleRecord();
    }
    // After a jump or a fall nothing says where in its lap the car is.
    StartLap(next, sessionTime);
  }
  AddRow(row);
  if (pending_.active) WatchLapTime(row, sessionTime);
  UpdateRowFigures(row);

  haveRow_ = true;
  lapNumber_ = row.lap;
  lastMonotonic_ = monotonicSeconds;
  lastSessionTime_ = sessionTime;
  lastLapTimeValue_ = row.lapLastLapTime;
  return ended;
}

void Strategy::Interrupt() {
  // The next row starts a lap that is not whole, wherever the car is.
  haveRow_ = false;
  StopWaiting();
}

bool Strategy::NextLapRecord(LapRecord* record) {
  if (recordsCount_ == 0) return false;
  *record = records_[static_cast<std::size_t>(recordsFirst_)];
  recordsFirst_ = (recordsFirst_ + 1) % kRecords;
  --recordsCount_;
  return true;
}

void Strategy::StopWaiting() {
  pending_.active = false;
  SettleRecord();
}

void Strategy::SettleRecord() {
  if (!recordPending_) return;
  recordPending_ = false;
  // Full: the oldest not taken gives way.
  if (recordsCount_ == kRecords) {
    recordsFirst_ = (recordsFirst_ + 1) % kRecords;
    --recordsCount_;
  }
  records_[static_cast<std::size_t>((recordsFirst_ + recordsCount_) % kRecords)] = record_;
  ++recordsCount_;
}

void Strategy::NewSession() {
  Interrupt();
  Afresh();
}

void Strategy::Afresh() {
  figures_ = Figures{};
  figures_.fuelMargin = margin_;
  StopWaiting();
  placed_ = Placed::kNowhere;
  windowSize_ = streakSize_ = 0;
  tankPct_ = 0;
}

void Strategy::StartLap(bool whole, std::optional<double> sessionTime) {
  lap_ = Lap{};
  lap_.whole = whole;
  lap_.startTime = sessionTime;
}

void Strategy::AddRow(const Row& row) {
  const bool caution = row.sessionFlags && (*row.sessionFlags & kCautionFlags);
  if (!row.isOnTrack || row.onPitRoad || caution) lap_.clean = false;
  lap_.pitRoad = lap_.pitRoad || row.onPitRoad;
  lap_.caution = lap_.caution || caution;
  ++lap_.rows;
  // A row without a usable level is left out of the lap's fuel.
  if (!Usable(row.fuelLevel)) return;
  if (!lap_.firstFuel) lap_.firstFuel = lap_.lowestFuel = row.fuelLevel;
  if (row.fuelLevel > lap_.lowestFuel + kRefuelLitres) lap_.refuelled = true;
  lap_.lowestFuel = std::min(lap_.lowestFuel, row.fuelLevel);
  lap_.lastFuel = row.fuelLevel;
}

void Strategy::EndLap(bool next, std::optional<double> sessionTime) {
  placed_ = Placed::kNowhere;
  figures_.lastLapFuel = figures_.lastLapTime = std::nullopt;
  // A lap cut by a jump, or not seen from its start, has no figures of its
  // own (though the simulator's LapLastLapTime may still give its time).
  if (!next || !lap_.whole) return;
  const double seconds = lap_.startTime && sessionTime ? *sessionTime - *lap_.startTime
                                                       : static_cast<double>(lap_.rows) / tickRate_;
  figures_.lastLapTime = Finite(seconds);
  if (lap_.refuelled || !lap_.firstFuel) return;
  const double used = std::max(0.0, *lap_.firstFuel - lap_.lastFuel);
  figures_.lastLapFuel = Finite(used);
  if (lap_.clean && figures_.lastLapFuel && figures_.lastLapTime &&
      seconds >= kShortestLapSeconds) {
    Count({used, seconds});
  }
}

void Strategy::Count(LapFigures lap) {
  if (windowSize_ >= kOutlierCheckFrom && FarFrom(lap.fuel, MedianFuel(window_, windowSize_))) {
    // Left out as a spin or a tow would be; but three in a row that agree
    // with each other mean the car now uses that much (a fuel-saving map, a
    // drying track), and they replace the laps averaged so far.
    streak_[streakSize_++] = lap;
    placed_ = Placed::kStreak;
    if (streakSize_ < kStreakLaps) return;
    const double median = MedianFuel(streak_, kStreakLaps);
    if (std::none_of(streak_.begin(), streak_.end(),
                     [&](const LapFigures& l) { return FarFrom(l.fuel, median); })) {
      std::copy(streak_.begin(), streak_.end(), window_.begin());
      windowSize_ = kStreakLaps;
      figures_.lapsCounted += kStreakLaps;
      placed_ = Placed::kWindow;
      UpdateAverages();
    } else {
      std::copy(streak_.begin() + 1, streak_.end(), streak_.begin());
      --streakSize_;
    }
    return;
  }
  streakSize_ = 0;
  if (windowSize_ == kWindowLaps) {
    std::copy(window_.begin() + 1, window_.end(), window_.begin());
    --windowSize_;
  }
  window_[windowSize_++] = lap;
  ++figures_.lapsCounted;
  placed_ = Placed::kWindow;
  UpdateAverages();
}

void Strategy::UpdateAverages() {
  double fuel = 0, most = 0, seconds = 0;
  for (int i = 0; i < windowSize_; ++i) {
    fuel += window_[i].fuel;
    most = std::max(most, window_[i].fuel);
    seconds += window_[i].seconds;
  }
  figures_.fuelPerLap = Finite(fuel / windowSize_);
  figures_.fuelPerLapMax = Finite(most);
  figures_.avgLapTime = Finite(seconds / windowSize_);
}

void Strategy::WatchLapTime(const Row& row, std::optional<double> sessionTime) {
  const double waited = pending_.lineTime && sessionTime
                            ? *sessionTime - *pending_.lineTime
                            : static_cast<double>(pending_.rows) / tickRate_;
  ++pending_.rows;
  const double value = row.lapLastLapTime.value_or(0);
  const bool valid = std::isfinite(value) && value > 0;
  if (valid && value != pending_.before) {
    TakeLapTime(value);
  } else if (waited >= kLapTimeWaitSeconds) {
    // Unchanged all along: the same time as the lap before, if the rows
    // agree; otherwise the simulator gave none, and the measured time stays.
    if (valid && figures_.lastLapTime &&
        std::abs(value - *figures_.lastLapTime) <= kSameLapTimeSeconds) {
      TakeLapTime(value);
    }
    StopWaiting();
  }
}

void Strategy::TakeLapTime(double seconds) {
  figures_.lastLapTime = seconds;
  if (recordPending_) record_.time = seconds;
  StopWaiting();
  if (placed_ == Placed::kWindow) {
    window_[windowSize_ - 1].seconds = seconds;
    UpdateAverages();
  } else if (placed_ == Placed::kStreak) {
    streak_[streakSize_ - 1].seconds = seconds;
  }
}

void Strategy::UpdateRowFigures(const Row& row) {
  const double fuel = row.fuelLevel;
  const bool haveFuel = Usable(fuel);
  // The relay sends the percent to two decimals, so the size is taken where
  // the percent is highest, where that rounding matters least.
  const double pct = row.fuelLevelPct;
  if (haveFuel && pct >= kTankFromPct && pct <= 1 && pct > tankPct_ && std::isfinite(fuel / pct)) {
    tankPct_ = pct;
    figures_.tank = fuel / pct;
  }

  const std::optional<double>& perLap = figures_.fuelPerLap;
  figures_.lapsOfFuel = haveFuel && perLap ? Finite(fuel / *perLap) : std::nullopt;
  figures_.lapsToGo = LapsToGo(row, figures_.avgLapTime);
  figures_.fuelToFinish =
      figures_.lapsToGo && perLap ? Finite((*figures_.lapsToGo + margin_) * *perLap) : std::nullopt;
  figures_.fuelToAdd = figures_.fuelToFinish && haveFuel
                           ? std::optional<double>(std::max(0.0, *figures_.fuelToFinish - fuel))
                           : std::nullopt;
  figures_.stops = std::nullopt;
  if (figures_.fuelToAdd && *figures_.fuelToAdd == 0) {
    figures_.stops = 0;
  } else if (figures_.fuelToAdd && figures_.tank && *figures_.tank > 0) {
    // A hair over a whole number of tanks is rounding, not another stop.
    const double stops = std::ceil(*figures_.fuelToAdd / *figures_.tank - 1e-9);
    if (stops <= 1e6) figures_.stops = static_cast<int>(stops);
  }
}

namespace {

bool Differ(const std::optional<double>& a, const std::optional<double>& b, double step) {
  if (a.has_value() != b.has_value()) return true;
  return a && std::round(*a / step) != std::round(*b / step);
}

}  // namespace

bool DifferAtDisplayPrecision(const Figures& a, const Figures& b) {
  constexpr double kPerLap = 0.01, kLitres = 0.1, kLaps = 0.1, kSeconds = 0.001;
  return Differ(a.fuelPerLap, b.fuelPerLap, kPerLap) ||
         Differ(a.fuelPerLapMax, b.fuelPerLapMax, kPerLap) ||
         Differ(a.lastLapFuel, b.lastLapFuel, kPerLap) ||
         Differ(a.lastLapTime, b.lastLapTime, kSeconds) ||
         Differ(a.avgLapTime, b.avgLapTime, kSeconds) || Differ(a.tank, b.tank, kLitres) ||
         Differ(a.lapsOfFuel, b.lapsOfFuel, kLaps) || Differ(a.lapsToGo, b.lapsToGo, kLaps) ||
         Differ(a.fuelToFinish, b.fuelToFinish, kLitres) ||
         Differ(a.fuelToAdd, b.fuelToAdd, kLitres) || a.stops != b.stops ||
         a.lapsCounted != b.lapsCounted || Differ(a.fuelMargin, b.fuelMargin, kLaps);
}

}  // namespace strategy

// The fuel calculator on generated drives, with hostile values, what counts
// as a change of its figures, and the lap records it reports.
#include "relay-web/strategy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using strategy::Figures;
using strategy::Row;

// What happens on a lap besides driving it.
// clang-format off
enum class Event { kGreen, kPitRoad, kPit, kTow, kShort, kJump, kRestart, kNewSession, kGap, kSkip,
                   kInterrupt };
// clang-format on

struct Lap {
  double use;  // litres from the lap's first row to its last
  Event event = Event::kGreen;
  std::uint32_t flags = 0;  // SessionFlags on all its rows
};

struct Source {
  bool direct;  // the shared memory's lap times, session time and flags, or the relay's rounding
  std::int32_t lapsLimit;
  double timeLimit;
};

struct Drive {
  const char* name;
  Source source;
  std::vector<Lap> laps;
  Figures want;
};

constexpr double kNoTimeLimit = 604800;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::pair<const char*, std::optional<double> Figures::*> kFields[] = {
    {"fuelPerLap", &Figures::fuelPerLap},     {"fuelPerLapMax", &Figures::fuelPerLapMax},
    {"lastLapFuel", &Figures::lastLapFuel},   {"lastLapTime", &Figures::lastLapTime},
    {"avgLapTime", &Figures::avgLapTime},     {"tank", &Figures::tank},
    {"lapsOfFuel", &Figures::lapsOfFuel},     {"lapsToGo", &Figures::lapsToGo},
    {"fuelToFinish", &Figures::fuelToFinish}, {"fuelToAdd", &Figures::fuelToAdd}};

// Laps of 1200 rows (20 s at 60 rows/s; a short one 500) from 40 of 100 litres,
// then 3 s of one more. LapLastLapTime, written 30 rows after the line, says
// 19.996 s (from the fourth lap 19.997: the line falls between rows). The steady clock runs ten
// times as fast, as at --speed 10. `spoil` changes the third lap's middle row.
// No figure may ever be NaN or infinite. The lap records reported go to
// `records`, if given.
void DriveRows(const Drive& d, strategy::Strategy& s, void (*spoil)(Row&) = nullptr,
               std::vector<strategy::LapRecord>* records = nullptr) {
  std::vector<Lap> laps = d.laps;
  laps.push_back({0});
  std::int32_t lap = 0;
  int t = 0, lapTimeAt = -1;
  double fuel = 40, monotonic = 0, lapTime = 0, skipped = 0;
  auto cents = [&](double v) { return d.source.direct ? v : std::round(v * 100) / 100; };
  for (std::size_t k = 0; k < laps.size(); ++k) {
    const Event e = laps[k].event;
    lap = e == Event::kJump ? lap + 2 : e == Event::kRestart ? 1 : lap + 1;
    if (e == Event::kNewSession) s.NewSession();
    if (k > 0) lapTimeAt = t + 30;
    const int rows = k + 1 == laps.size() ? 181 : e == Event::kShort ? 500 : 1200;
    for (int i = 0; i < rows; ++i, ++t, monotonic += 1 / 600.0) {
      if (i == rows / 2 && e == Event::kGap) monotonic += 5;
      if (i == rows / 2 && e == Event::kSkip) skipped += 5;
      if (i == rows / 2 && e == Event::kInterrupt) s.Interrupt();
      if (t == lapTimeAt) lapTime = k < 4 ? 19.996 : 19.997;
      const double level =
          fuel - laps[k].use * i / (rows - 1) + (e == Event::kPit && i >= rows / 2 ? 5 : 0);
      const bool pit = (e == Event::kPit || e == Event::kPitRoad) && i >= 480 && i < 720;
      Row r;
      r.lap = lap, r.fuelLevel = cents(level), r.fuelLevelPct = cents(level / 100);
      r.lapDistPct = cents(i / 1200.0), r.onPitRoad = pit;
      r.isOnTrack = e != Event::kTow || i < 480 || i >= 720;
      r.sessionLapsRemain = d.source.lapsLimit - (d.source.lapsLimit < 1000 ? int(k) : 0);
      r.sessionTimeRemain = cents(d.source.timeLimit - t / 60.0);
      if (d.source.direct) {
        r.lapLastLapTime = lapTime, r.sessionTime = t / 60.0 + skipped;
        r.sessionFlags = laps[k].flags;
      }
      if (spoil && t == 3000) spoil(r);
      ASSERT_EQ(s.Feed(r, monotonic), i == 0 && k > 0 && e != Event::kNewSession) << d.name << t;
      for (strategy::LapRecord record; records && s.NextLapRecord(&record);) {
        records->push_back(record);
      }
      for (const auto& [field, member] : kFields) {
        const std::optional<double>& v = s.figures().*member;
        ASSERT_TRUE(!v || std::isfinite(*v)) << d.name << ": " << field << " at " << t;
      }
    }
    fuel += -laps[k].use + (e == Event::kPit ? 5 : 0);
  }
}

void ExpectFigures(const Figures& got, const Figures& want, const char* name) {
  for (const auto& [field, member] : kFields) {
    const std::optional<double>&g = got.*member, &w = want.*member;
    EXPECT_TRUE(g.has_value() == w.has_value() && (!g || std::abs(*g - *w) < 1e-4))
        << name << ": " << field << " is " << g.value_or(kNaN) << ", not " << w.value_or(kNaN);
  }
  EXPECT_EQ(got.stops, want.stops) << name;
  EXPECT_EQ(got.lapsCounted, want.lapsCounted) << name;
  EXPECT_EQ(got.fuelMargin, want.fuelMargin) << name;
}

constexpr Source kRelay{false, strategy::kNoLapLimit, kNoTimeLimit};
constexpr Source kDirect{true, strategy::kNoLapLimit, kNoTimeLimit};
using enum Event;

// clang-format off
const std::vector<Drive> kDrives = {
    {"green laps, lap-limited race, relay", {false, 8, 5000}, {{1}, {2.4}, {2.5}, {2.6}},
     {2.5, 2.6, 2.6, 20, 20, 100, 12.6, 3.85, 10.875, 0, 0, 3, 0.5}},
    {"timed race, simulator's lap times", {true, 40, 610}, {{1}, {2.4}, {2.5}, {2.6}},
     {2.5, 2.6, 2.6, 19.997, 19.99633, 100, 12.6, 26.85, 68.375, 36.875, 1, 3, 0.5}},
    {"drive-through, tow and pit stop", kRelay,
     {{1}, {2.4}, {2.6}, {2, kPitRoad}, {2, kTow}, {2.5}, {2.5, kPit}},
     {2.5, 2.6, {}, 20, 20, 100, 12, {}, {}, {}, {}, 3, 0.5}},
    {"caution, short lap, session time skipping 5 s", kDirect, {{1}, {2.4, kSkip}, {2.4},
      {1, kShort}, {2.5, kGreen, 0x8}, {2.5, kGreen, 0x100}, {2.5, kGreen, 0x4000},
      {2.5, kGreen, 0x8000}, {2.6, kGreen, 0x4}, {2.5}},
     {2.5, 2.6, 2.5, 19.997, 19.99667, 100, 7.24, {}, {}, {}, {}, 3, 0.5}},
    {"spin lap as outlier", kRelay, {{1}, {2.5}, {2.4}, {2.6}, {2.8}, {2.2}, {1.8}, {2.6}},
     {2.52, 2.8, 2.6, 20, 20, 100, 8.7698, {}, {}, {}, {}, 6, 0.5}},
    {"three laps that agree replace the average", kRelay, {{1}, {2.5}, {2.5}, {2.5}, {2}, {2}, {2}},
     {2.0, 2.0, 2.0, 20, 20, 100, 12.75, {}, {}, {}, {}, 6, 0.5}},
    {"lap cut by a jump of two", kDirect, {{1}, {2.4}, {2.6}, {2.5, kJump}},
     {2.4, 2.4, {}, 19.997, 19.996, 100, 13.125, {}, {}, {}, {}, 1, 0.5}},
    {"lap counter starts over", kDirect, {{1}, {2.4}, {2.6}, {2.5}, {2, kRestart}, {3}},
     {3, 3, 3, 19.997, 19.997, 100, 8.8333, {}, {}, {}, {}, 1, 0.5}},
    {"new session text", kDirect, {{1}, {2.4}, {2.6}, {2.5}, {2, kNewSession}, {3}},
     {3, 3, 3, 19.997, 19.997, 100, 8.8333, {}, {}, {}, {}, 1, 0.5}},
    {"feed stopped for 5 s, then interrupted", kRelay,
     {{1}, {2.4}, {2.6, kGap}, {2.5}, {2.7, kInterrupt}, {2.5}},
     {2.4667, 2.5, 2.5, 20, 20, 100, 10.6622, {}, {}, {}, {}, 3, 0.5}},
};
// clang-format on

TEST(Strategy, DrivesGiveTheirFigures) {
  for (const Drive& d : kDrives) {
    strategy::Strategy s(0.5, 60);
    DriveRows(d, s);
    ExpectFigures(s.figures(), d.want, d.name);
  }
}

// A hostile value in one row of a counted lap is left out and changes no
// figure; a margin that is not a number falls back to 0.5, a tick rate of 0
// to 60.
TEST(Strategy, HostileValuesAreLeftOut) {
  void (*const changes[])(Row&) = {
      [](Row& r) { r.fuelLevel = kNaN; },       [](Row& r) { r.fuelLevel = -kInf; },
      [](Row& r) { r.fuelLevel = -5; },         [](Row& r) { r.fuelLevelPct = 0; },
      [](Row& r) { r.fuelLevelPct = 2; },       [](Row& r) { r.fuelLevelPct = kNaN; },
      [](Row& r) { r.lapDistPct = kInf; },      [](Row& r) { r.sessionTimeRemain = kNaN; },
      [](Row& r) { r.sessionLapsRemain = -3; }, [](Row& r) { r.sessionTime = kNaN; },
      [](Row& r) { r.lapLastLapTime = kInf; },
  };
  for (auto* change : changes) {
    strategy::Strategy s(kNaN, 0);
    DriveRows(kDrives[0], s, change);
    ExpectFigures(s.figures(), kDrives[0].want, "a hostile value");
  }
  // A level too large to divide by the percent gives no tank size.
  strategy::Strategy s(0.5, 60);
  s.Feed({1, 1e308, 0.5, 0, false, true, 3, 100, {}, {}, {}}, 0);
  EXPECT_FALSE(s.figures().tank);
}

TEST(Strategy, FiguresDifferOnlyAtDisplayPrecision) {
  Figures base;
  base.fuelPerLap = 2.5, base.lastLapTime = 20, base.tank = 100, base.lapsToGo = 10;
  base.stops = 1;
  // clang-format off
  const std::pair<void (*)(Figures&), bool> cases[] = {
      {[](Figures& f) { *f.fuelPerLap += 0.004; }, false}, {[](Figures& f) { *f.fuelPerLap += 0.006; }, true},
      {[](Figures& f) { *f.tank += 0.04; }, false},        {[](Figures& f) { *f.tank += 0.06; }, true},
      {[](Figures& f) { *f.lapsToGo -= 0.04; }, false},    {[](Figures& f) { *f.lapsToGo -= 0.06; }, true},
      {[](Figures& f) { *f.lastLapTime += 4e-4; }, false}, {[](Figures& f) { *f.lastLapTime += 6e-4; }, true},
      {[](Figures& f) { f.stops = 2; }, true},             {[](Figures& f) { f.fuelPerLap.reset(); }, true},
  };
  // clang-format on

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    Figures changed = base;
    cases[i].first(changed);
    EXPECT_EQ(strategy::DifferAtDisplayPrecision(base, changed), cases[i].second) << i;
    EXPECT_EQ(strategy::DifferAtDisplayPrecision(changed, base), cases[i].second) << i;
  }
}

// Each lap ended by Lap rising by one is reported once its time is settled:
// the simulator's LapLastLapTime when it changes within 2 s of the line, or
// when unchanged but within 0.1 s of the measured time; else the measured
// time (none for a lap not seen whole). A lap ended by a jump is not.
TEST(Strategy, ReportsEachLapOnceItsTimeIsSettled) {
  using strategy::LapRecord;
  constexpr std::nullopt_t none = std::nullopt;
  // Two tables side by side: a Drive nested in a table's row makes MinGW's
  // g++ 12 warn of its laps as maybe uninitialized.
  const std::vector<Drive> drives = {
      {"the simulator's rows",
       kDirect,
       {{1},
        {2.4},
        {2.4, kPitRoad},
        {2.5, kPit},
        {2.5, kGreen, 0x8},
        {1, kShort},
        {2.5, kInterrupt},
        {2.5},
        {2.5, kJump}},
       {}},
      {"the relay's rows", kRelay, {{1}, {2.4}}, {}},
  };
  // clang-format off
  const std::vector<std::vector<LapRecord>> wants = {
      // lap, time, fuelUsed, counted, whole, pit, caution, sessionTime
      {{1, 19.996, none, false, false, false, false, 20},
       {2, 19.996, 2.4, true, true, false, false, 40},
       {3, 19.996, 2.4, false, true, true, false, 60},
       {4, 19.997, none, false, true, true, false, 80},
       {5, 19.997, 2.5, false, true, false, true, 100},
       {6, 500 / 60.0, 1, false, true, false, false, 6500 / 60.0},
       {7, none, none, false, false, false, false, 7700 / 60.0},
       {10, none, none, false, false, false, false, 10100 / 60.0}},
      {{1, none, none, false, false, false, false, none},
       {2, 20, 2.4, true, true, false, false, none}},
  };
  // clang-format on
  const auto same = [](const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() && (!a || std::abs(*a - *b) < 1e-4);
  };
  ASSERT_EQ(drives.size(), wants.size());
  for (std::size_t d = 0; d < drives.size(); ++d) {
    const Drive& drive = drives[d];
    strategy::Strategy s(0.5, 60);
    std::vector<LapRecord> got;
    DriveRows(drive, s, nullptr, &got);
    ASSERT_EQ(got.size(), wants[d].size()) << drive.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      const LapRecord &g = got[i], &w = wants[d][i];
      EXPECT_TRUE(g.lap == w.lap && same(g.time, w.time) && same(g.fuelUsed, w.fuelUsed) &&
                  g.counted == w.counted && g.whole == w.whole && g.pit == w.pit &&
                  g.caution == w.caution && same(g.sessionTime, w.sessionTime))
          << drive.name << ": record " << i << " is lap " << g.lap << " in "
          << g.time.value_or(kNaN) << " s, " << g.fuelUsed.value_or(kNaN) << " l, counted "
          << g.counted << ", whole " << g.whole << ", pit " << g.pit << ", caution " << g.caution
          << ", at " << g.sessionTime.value_or(kNaN);
    }
  }
}

}  // namespace

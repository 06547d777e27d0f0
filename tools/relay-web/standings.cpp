// The standings, the relative, and the passing times they are worked out from.
#include "relay-web/standings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sessioninfo/query.h"

namespace standings {

namespace {

// The lines of `text` from the one that starts with `key` (a top-level
// section such as "DriverInfo:") up to the next top-level line: every path
// into the section is looked for there rather than in the whole text.
std::string_view Section(std::string_view text, std::string_view key) {
  std::size_t start = 0;
  while (text.compare(start, key.size(), key) != 0) {
    start = text.find('\n', start);
    if (start == std::string_view::npos) return {};
    ++start;
  }
  std::size_t end = start;
  for (;;) {
    end = text.find('\n', end);
    if (end == std::string_view::npos) return text.substr(start);
    ++end;
    if (end >= text.size()) return text.substr(start);
    const char next = text[end];
    if (next != ' ' && next != '-' && next != '\n' && next != '\r') break;
  }
  return text.substr(start, end - start);
}

// The value at `path` without trailing blanks and surrounding quotes;
// nullopt when the path is not found.
std::optional<std::string> Value(std::string_view text, const char* path) {
  const char* start = nullptr;
  std::int32_t length = 0;
  if (!sessioninfo::FindValue(text, path, &start, &length)) return std::nullopt;
  if (length <= 0) return std::string();
  std::string_view value(start, static_cast<std::size_t>(length));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.remove_suffix(1);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The entries of the list under the first "Drivers:" line of `section`,
// each from its "- " line up to the next entry's or the list's end, line
// ends included. Depth counts leading blanks and dashes, as the query does.
// Each car's values are then looked for in its own entry: looked for in the
// whole list, a full field's text (some 100 KB) took some 600 scans from
// its start, tens of milliseconds whenever the simulator rewrote it.
std::vector<std::string_view> DriverEntries(std::string_view section) {
  std::vector<std::string_view> entries;
  std::size_t listDepth = std::string_view::npos;
  std::size_t entryDepth = std::string_view::npos;
  std::size_t entryStart = std::string_view::npos;
  const auto close = [&](std::size_t end) {
    if (entryStart != std::string_view::npos) {
      entries.push_back(section.substr(entryStart, end - entryStart));
    }
    entryStart = std::string_view::npos;
  };
  for (std::size_t at = 0; at < section.size();) {
    const std::size_t lineEnd = section.find('\n', at);
    const std::size_t next = lineEnd == std::string_view::npos ? section.size() : lineEnd + 1;
    const std::string_view line = section.substr(at, next - at);
    const std::size_t depth = line.find_first_not_of(" -");
    const bool blank =
        depth == std::string_view::npos || line[depth] == '\n' || line[depth] == '\r';
    if (!blank) {
      const bool dash = line.substr(0, depth).find('-') != std::string_view::npos;
      if (listDepth == std::string_view::npos) {
        if (line.substr(depth).starts_with("Drivers:")) listDepth = depth;
      } else if (depth <= listDepth) {
        close(at);
        break;
      } else if (dash && (entryDepth == std::string_view::npos || depth == entryDepth)) {
        close(at);
        entryDepth = depth;
        entryStart = at;
      }
    }
    at = next;
  }
  close(section.size());
  return entries;
}

std::int32_t WholeNumber(const std::optional<std::string>& text) {
  return text ? static_cast<std::int32_t>(std::strtol(text->c_str(), nullptr, 0)) : 0;
}

// 0xffda59 (the simulator's spelling) as #ffda59; empty when it is none.
std::string Colour(const std::optional<std::string>& text) {
  if (!text || text->empty()) return {};
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, 16);
  if (end == text->c_str() || *end != '\0' || value > 0xffffff) return {};
  char colour[8];
  std::snprintf(colour, sizeof colour, "#%06lx", value);
  return colour;
}

int PointOf(std::int64_t point) {
  return static_cast<int>(((point % kPoints) + kPoints) % kPoints);
}

bool Present(const Row& row, int car) {
  const double pct = row.lapDistPct[static_cast<std::size_t>(car)];
  return row.trackSurface[static_cast<std::size_t>(car)] >= 0 && pct >= 0 && pct <= 1;
}

std::optional<double> Positive(double seconds) {
  if (seconds > 0 && std::isfinite(seconds)) return seconds;
  return std::nullopt;
}

}  // namespace

Field ReadField(std::string_view text) {
  Field field;
  std::array<bool, kMaxCars> seen{};
  for (const std::string_view entry : DriverEntries(Section(text, "DriverInfo:"))) {
    const auto read = [&](const char* key) { return Value(entry, key); };
    // A car of the list has its CarIdx line, written as the simulator
    // writes it ("5", not "05"); a car's first entry is the one read.
    const std::optional<std::string> index = read("CarIdx:");
    const long car = index ? std::strtol(index->c_str(), nullptr, 10) : -1;
    if (car < 0 || car >= kMaxCars || std::to_string(car) != *index ||
        seen[static_cast<std::size_t>(car)]) {
      continue;
    }
    seen[static_cast<std::size_t>(car)] = true;
    Driver& driver = field.drivers[static_cast<std::size_t>(car)];
    driver.number = read("CarNumber:").value_or("");
    driver.name = read("UserName:").value_or("");
    driver.team = read("TeamName:").value_or("");
    driver.className = read("CarClassShortName:").value_or("");
    driver.classColor = Colour(read("CarClassColor:"));
    driver.classId = WholeNumber(read("CarClassID:"));
    const std::optional<std::string> lapTime = read("CarClassEstLapTime:");
    driver.classEstLapTime = lapTime ? std::strtod(lapTime->c_str(), nullptr) : 0;
    driver.listed =
        WholeNumber(read("CarIsPaceCar:")) == 0 && WholeNumber(read("IsSpectator:")) == 0;
  }
  char path[128];
  const std::string_view sessions = Section(text, "SessionInfo:");
  for (int number = 0; number < Field::kMaxSessions; ++number) {
    std::snprintf(path, sizeof path, "SessionInfo:Sessions:SessionNum:{%d}SessionType:", number);
    field.sessionTypes[static_cast<std::size_t>(number)] = Value(sessions, path).value_or("");
  }
  return field;
}

Standings::Standings() : history_(std::make_unique<std::array<History, kMaxCars>>()) {
  NewSession();
}

void Standings::SetField(Field field) { field_ = std::move(field); }

void Standings::NewSession() {
  for (History& history : *history_) {
    history = History{};
    history.passed.fill(-1);
    history.passedAt.fill(0);
  }
  haveRow_ = false;
}

void Standings::Feed(const Row& row) {
  // Another session, or time run backwards (a replay begun again): the
  // passing times so far belong to something else.
  if (haveRow_ && (row.sessionNum != last_.sessionNum || row.sessionTime < last_.sessionTime)) {
    NewSession();
  }
  const double now = row.sessionTime;
  for (int car = 0; car < kMaxCars; ++car) {
    History& h = (*history_)[static_cast<std::size_t>(car)];
    if (!Present(row, car)) {
      h.present = false;
      h.onPitRoad = false;
      continue;
    }
    const double pct = row.lapDistPct[static_cast<std::size_t>(car)];
    double distance = row.lapCompleted[static_cast<std::size_t>(car)] + pct;
    if (h.present) {
      // The lap count and the lap distance may change a row apart at the
      // line; the distance run must not jump by a lap for that.
      const double before = h.distance - std::floor(h.distance);
      if (before > 0.9 && pct < 0.1 && distance < h.distance - 0.5) distance += 1;
      if (before < 0.1 && pct > 0.9 && distance > h.distance + 0.5) distance -= 1;
    }
    if (h.present && std::abs(distance - h.distance) <= 0.5 && now >= h.time) {
      if (distance > h.reached) {
        // The points passed since the furthest so far, each at the time it
        // was reached between the two rows.
        const std::int64_t first = static_cast<std::int64_t>(std::floor(h.reached * kPoints)) + 1;
        const std::int64_t last = static_cast<std::int64_t>(std::floor(distance * kPoints));
        const double span = distance - h.distance;
        for (std::int64_t point = std::max(first, last - kPoints + 1); point <= last; ++point) {
          const double at = static_cast<double>(point) / kPoints;
          const double share = span > 0 ? std::clamp((at - h.distance) / span, 0.0, 1.0) : 1.0;
          const int slot = PointOf(point);
          h.passed[static_cast<std::size_t>(slot)] = point;
          h.passedAt[static_cast<std::size_t>(slot)] = h.time + share * (now - h.time);
        }
        h.reached = distance;
      }
      if (row.onPitRoad[static_cast<std::size_t>(car)] && !h.onPitRoad) ++h.pitStops;
    } else {
      // First seen, or moved further than it can drive in a row (towed,
      // reset): its passing times start again from here.
      h.reached = distance;
    }
    h.present = true;
    h.everPresent = true;
    h.onPitRoad = row.onPitRoad[static_cast<std::size_t>(car)];
    h.distance = distance;
    h.time = now;
  }
  last_ = row;
  haveRow_ = true;
}

bool Standings::PassedAt(int car, double distance, double* time, std::int64_t* lapsAhead) const {
  const History& h = (*history_)[static_cast<std::size_t>(car)];
  const double point = distance * kPoints;
  const double below = std::floor(point);
  const auto from = static_cast<std::int64_t>(below);
  const std::size_t slot = static_cast<std::size_t>(PointOf(from));
  const std::int64_t passed = h.passed[slot];
  if (passed < 0) return false;
  // Between the pass of that point and of the next, or the car's place now
  // when it has not reached the next point yet.
  double nextTime = h.time;
  double next = h.distance * kPoints;
  const std::size_t nextSlot = static_cast<std::size_t>(PointOf(passed + 1));
  if (h.passed[nextSlot] == passed + 1) {
    nextTime = h.passedAt[nextSlot];
    next = static_cast<double>(passed + 1);
  } else if (next < point + static_cast<double>(passed - from)) {
    // It is short of the place on this lap, within a point of it: it was
    // there a lap earlier, a pass written over since. The two points after
    // it still hold that lap's passes; the time is carried back from them.
    const std::int64_t before = passed - kPoints;
    const std::size_t after = static_cast<std::size_t>(PointOf(before + 2));
    if (h.passed[nextSlot] != before + 1 || h.passed[after] != before + 2) return false;
    const double perPoint = h.passedAt[after] - h.passedAt[nextSlot];
    *time = h.passedAt[nextSlot] - (1 - (point - below)) * perPoint;
    *lapsAhead = (before - from) / kPoints;
    return true;
  }
  const double span = next - static_cast<double>(passed);
  const double share = span > 0 ? std::clamp((point - below) / span, 0.0, 1.0) : 0.0;
  *time = h.passedAt[slot] + share * (nextTime - h.passedAt[slot]);
  *lapsAhead = (passed - from) / kPoints;
  return true;
}

std::optional<double> Standings::GapBehind(int ahead, int behind, std::int64_t* lapsAhead) const {
  double time = 0;
  const History& h = (*history_)[static_cast<std::size_t>(behind)];
  if (!h.present) return std::nullopt;
  if (!PassedAt(ahead, h.distance, &time, lapsAhead) || *lapsAhead < 0) {
    const double apart = (*history_)[static_cast<std::size_t>(ahead)].distance - h.distance;
    if (!(apart >= 0)) return std::nullopt;
    *lapsAhead = static_cast<std::int64_t>(std::floor(apart));
    return EstimatedGap(ahead, behind);
  }
  return std::max(0.0, last_.sessionTime - time);
}

std::optional<double> Standings::EstimatedGap(int ahead, int behind) const {
  const auto& history = *history_;
  const History& front = history[static_cast<std::size_t>(ahead)];
  const History& back = history[static_cast<std::size_t>(behind)];
  const double lapTime = field_.drivers[static_cast<std::size_t>(ahead)].classEstLapTime;
  if (!front.present || !back.present || !(lapTime > 0)) return std::nullopt;
  double apart = front.distance - back.distance;
  apart -= std::floor(apart);
  return apart * lapTime;
}

void Standings::Compute(Table& table) const {
  static const std::string kUnknown;
  const std::string& type = last_.sessionNum >= 0 && last_.sessionNum < Field::kMaxSessions
                                ? field_.sessionTypes[static_cast<std::size_t>(last_.sessionNum)]
                                : kUnknown;
  table.sessionTime = last_.sessionTime;
  table.sessionType = type;
  table.race = type == "Race";
  table.count = 0;
  const auto& history = *history_;
  for (int car = 0; car < kMaxCars; ++car) {
    if (!field_.drivers[static_cast<std::size_t>(car)].listed) continue;
    const auto c = static_cast<std::size_t>(car);
    Car& entry = table.cars[static_cast<std::size_t>(table.count++)];
    entry = Car{};
    entry.carIdx = car;
    entry.inWorld = haveRow_ && history[c].present;
    entry.officialPosition = std::max(0, last_.position[c]);
    entry.lapsCompleted = last_.lapCompleted[c];
    entry.lapDistPct = entry.inWorld ? last_.lapDistPct[c] : 0;
    entry.lastLap = Positive(last_.lastLapTime[c]);
    entry.bestLap = Positive(last_.bestLapTime[c]);
    entry.onPitRoad = entry.inWorld && last_.onPitRoad[c];
    entry.pitStops = history[c].pitStops;
    entry.isPlayer = car == last_.playerCarIdx;
  }
  const auto official = [](const Car& a, const Car& b) {
    const std::int32_t x = a.officialPosition > 0 ? a.officialPosition : kMaxCars + 1;
    const std::int32_t y = b.officialPosition > 0 ? b.officialPosition : kMaxCars + 1;
    return x != y ? x < y : a.carIdx < b.carIdx;
  };
  const auto order = [&](const Car& a, const Car& b) {
    if (a.inWorld != b.inWorld) return a.inWorld;
    if (!a.inWorld) return official(a, b);
    if (table.race) {
      const double x = history[static_cast<std::size_t>(a.carIdx)].distance;
      const double y = history[static_cast<std::size_t>(b.carIdx)].distance;
      if (x != y) return x > y;
    } else if (a.bestLap.has_value() != b.bestLap.has_value()) {
      return a.bestLap.has_value();
    } else if (a.bestLap && *a.bestLap != *b.bestLap) {
      return *a.bestLap < *b.bestLap;
    }
    return official(a, b);
  };
  std::sort(table.cars.begin(), table.cars.begin() + table.count, order);

  // Positions, and for each class its leader so far.
  std::array<std::int32_t, kMaxCars> classLeader{};  // index in the table
  std::array<std::int32_t, kMaxCars> classCount{};
  const auto classOf = [&](const Car& car) {
    const std::int32_t id = field_.drivers[static_cast<std::size_t>(car.carIdx)].classId;
    // Classes are told apart by their id; a table holds at most kMaxCars.
    for (int i = 0; i < table.count; ++i) {
      const Car& other = table.cars[static_cast<std::size_t>(i)];
      if (field_.drivers[static_cast<std::size_t>(other.carIdx)].classId == id) return i;
    }
    return 0;
  };
  for (int i = 0; i < table.count; ++i) {
    Car& car = table.cars[static_cast<std::size_t>(i)];
    const auto cls = static_cast<std::size_t>(classOf(car));
    car.position = i + 1;
    car.classPosition = ++classCount[cls];
    if (car.classPosition == 1) classLeader[cls] = i;
    if (!car.inWorld) continue;
    const Car& leader = table.cars[0];
    const Car& ahead = table.cars[static_cast<std::size_t>(std::max(0, i - 1))];
    const Car& classFirst = table.cars[static_cast<std::size_t>(classLeader[cls])];
    if (table.race) {
      std::int64_t laps = 0;
      car.gapToLeader =
          i == 0 ? std::optional<double>(0) : GapBehind(leader.carIdx, car.carIdx, &laps);
      car.lapsDown = i == 0 || !car.gapToLeader ? 0 : static_cast<std::int32_t>(laps);
      car.interval = i == 0 ? std::optional<double>(0) : GapBehind(ahead.carIdx, car.carIdx, &laps);
      car.gapToClassLeader = &classFirst == &car ? std::optional<double>(0)
                                                 : GapBehind(classFirst.carIdx, car.carIdx, &laps);
    } else {
      // Outside a race the order is by best lap, and so are the gaps.
      const auto behind = [&](const Car& other) -> std::optional<double> {
        if (!car.bestLap || !other.bestLap) return std::nullopt;
        return *car.bestLap - *other.bestLap;
      };
      car.gapToLeader = behind(leader);
      car.interval = behind(ahead);
      car.gapToClassLeader = behind(classFirst);
    }
  }
}

void Standings::ComputeRelative(Relative& relative) const {
  relative.sessionTime = last_.sessionTime;
  relative.count = 0;
  const int player = last_.playerCarIdx;
  const auto& history = *history_;
  if (!haveRow_ || player < 0 || player >= kMaxCars ||
      !history[static_cast<std::size_t>(player)].present) {
    return;
  }
  const History& me = history[static_cast<std::size_t>(player)];
  const double myPct = last_.lapDistPct[static_cast<std::size_t>(player)];
  // The nearest cars ahead and behind on track, by how far around the lap.
  struct Near {
    int car;
    double offset;  // laps ahead on track, -0.5 to 0.5
  };
  std::array<Near, kMaxCars> ahead{}, behind{};
  int aheadCount = 0, behindCount = 0;
  for (int car = 0; car < kMaxCars; ++car) {
    const auto c = static_cast<std::size_t>(car);
    if (car == player || !field_.drivers[c].listed || !history[c].present) continue;
    double offset = last_.lapDistPct[c] - myPct;
    if (offset > 0.5) offset -= 1;
    if (offset <= -0.5) offset += 1;
    if (offset > 0) {
      ahead[static_cast<std::size_t>(aheadCount++)] = {car, offset};
    } else {
      behind[static_cast<std::size_t>(behindCount++)] = {car, offset};
    }
  }
  const auto nearest = [](const Near& a, const Near& b) {
    return std::abs(a.offset) != std::abs(b.offset) ? std::abs(a.offset) < std::abs(b.offset)
                                                    : a.car < b.car;
  };
  const int aheadShown = std::min(aheadCount, kRelativeEachWay);
  const int behindShown = std::min(behindCount, kRelativeEachWay);
  std::partial_sort(ahead.begin(), ahead.begin() + aheadShown, ahead.begin() + aheadCount, nearest);
  std::partial_sort(behind.begin(), behind.begin() + behindShown, behind.begin() + behindCount,
                    nearest);

  const auto add = [&](int car, std::optional<double> gap) {
    const auto c = static_cast<std::size_t>(car);
    const double laps = history[c].distance - me.distance;
    RelativeCar& entry = relative.cars[static_cast<std::size_t>(relative.count++)];
    entry.carIdx = car;
    entry.gap = gap;
    entry.laps = laps >= 1 ? 1 : laps <= -1 ? -1 : 0;
    entry.onPitRoad = last_.onPitRoad[c];
    entry.isPlayer = car == player;
  };
  double time = 0;
  std::int64_t laps = 0;
  // Ahead: the time since that car passed the driver's place; behind: minus
  // the time since the driver passed that car's place.
  for (int i = aheadShown - 1; i >= 0; --i) {
    const int car = ahead[static_cast<std::size_t>(i)].car;
    std::optional<double> gap = EstimatedGap(car, player);
    if (PassedAt(car, me.distance, &time, &laps)) gap = std::max(0.0, last_.sessionTime - time);
    add(car, gap);
  }
  add(player, 0.0);
  for (int i = 0; i < behindShown; ++i) {
    const int car = behind[static_cast<std::size_t>(i)].car;
    std::optional<double> gap = EstimatedGap(player, car);
    if (gap) gap = -*gap;
    if (PassedAt(player, history[static_cast<std::size_t>(car)].distance, &time, &laps)) {
      gap = -std::max(0.0, last_.sessionTime - time);
    }
    add(car, gap);
  }
}

}  // namespace standings

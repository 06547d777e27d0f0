// The publishing side of the benchmark.
#include "feed.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sessioninfo/car_facts.h"
#include "simlink/region.h"

namespace bench {

namespace {

constexpr std::size_t kPublishTimeRing = std::size_t{1} << 20;
constexpr double kFirstRowRate = 60;

template <typename Value>
void Put(std::span<std::uint8_t> row, std::int32_t offset, Value value) {
  if (offset < 0 || static_cast<std::size_t>(offset) + sizeof value > row.size()) return;
  std::memcpy(row.data() + offset, &value, sizeof value);
}

void SleepUntil(std::int64_t nanoseconds) {
  const timespec deadline{static_cast<time_t>(nanoseconds / 1000000000LL),
                          static_cast<long>(nanoseconds % 1000000000LL)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
  }
}

}  // namespace

relay::VariableOffsets RelayedOffsets(const publisher::Layout& layout) {
  relay::VariableOffsets offsets{};
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    offsets[i] = publisher::OffsetOf(layout, relay::kRelayedVariables[i]);
  }
  return offsets;
}

void FillRow(std::span<std::uint8_t> row, const relay::VariableOffsets& offsets,
             std::int32_t tick) {
  // In the order of relay::kRelayedVariables; values that keep every field's
  // width changing with the tick, as a car on track would.
  const float phase = static_cast<float>(tick % 600) / 600.0f;
  Put(row, offsets[0], 90.0f + phase * 10.0f);                             // OilTemp
  Put(row, offsets[1], 80.0f + phase * 5.0f);                              // WaterTemp
  Put(row, offsets[2], static_cast<std::int32_t>(tick % 7) - 1);           // Gear
  Put(row, offsets[3], 100.0f - phase * 50.0f);                            // FuelLevel
  Put(row, offsets[4], 800.0f + static_cast<float>(tick % 7200) + 0.75f);  // RPM
  Put(row, offsets[5], phase);                                             // LapDistPct
  Put(row, offsets[6], 1.0f - phase / 2.0f);                               // FuelLevelPct
  Put(row, offsets[7], phase * 6923.5f);                                   // LapDist
  // A lap a minute: a lap's end costs relay-web its fuel figures, which a
  // lap a row would make a cost of every row.
  Put(row, offsets[8], tick / 3600 + 1);                                      // Lap
  Put(row, offsets[9], tick);                                                 // RaceLaps
  Put(row, offsets[10], 32767 - tick / 600);                                  // SessionLapsRemain
  Put(row, offsets[11], 86400.0 - static_cast<double>(tick) / 60.0);          // SessionTimeRemain
  Put(row, offsets[12], static_cast<std::uint8_t>(tick % 600 < 30 ? 1 : 0));  // OnPitRoad
  Put(row, offsets[13], static_cast<float>(tick % 101) / 100.0f);             // Throttle
  Put(row, offsets[14], static_cast<std::uint8_t>(1));                        // IsOnTrack
}

void FillEveryValue(std::span<std::uint8_t> row, const publisher::Layout& layout,
                    const relay::VariableOffsets& offsets, std::int32_t tick) {
  using publisher::ValueType;
  for (std::size_t v = 0; v < layout.variables.size(); ++v) {
    const publisher::Variable& variable = layout.variables[v];
    const auto size = static_cast<std::int32_t>(publisher::ValueSize(variable.type));
    for (std::int32_t e = 0; e < variable.count; ++e) {
      // Wraps around; unsigned, so that it may.
      const std::uint32_t k = static_cast<std::uint32_t>(tick) +
                              static_cast<std::uint32_t>(v) * 131u +
                              static_cast<std::uint32_t>(e) * 7u;
      const std::int32_t at = variable.offset + e * size;
      switch (variable.type) {
        case ValueType::kChar:
          Put(row, at, static_cast<std::uint8_t>(k));
          break;
        case ValueType::kBool:
          Put(row, at, static_cast<std::uint8_t>(k % 3 == 0 ? 1 : 0));
          break;
        case ValueType::kInt:
          Put(row, at, static_cast<std::int32_t>(k));
          break;
        case ValueType::kBitField:
          Put(row, at, k * 2654435761u);
          break;
        case ValueType::kFloat:
          Put(row, at, static_cast<float>(k % 100000) / 7.0f);
          break;
        case ValueType::kDouble:
          Put(row, at, static_cast<double>(k) / 7.0);
          break;
      }
    }
  }
  FillRow(row, offsets, tick);
}

FieldOffsets FieldOffsetsOf(const publisher::Layout& layout) {
  const auto at = [&](std::string_view name) { return publisher::OffsetOf(layout, name); };
  return {at("SessionTime"),        at("SessionNum"),       at("PlayerCarIdx"),
          at("CarIdxLapCompleted"), at("CarIdxLapDistPct"), at("CarIdxTrackSurface"),
          at("CarIdxOnPitRoad"),    at("CarIdxPosition"),   at("CarIdxClassPosition"),
          at("CarIdxLastLapTime"),  at("CarIdxBestLapTime")};
}

namespace {

// The field's classes: GT3 cars 1 to 30, GT4 cars 31 to 60, each car a
// quarter of a second a lap slower than the one before in its class.
bool Gt3(int car) { return car <= kFieldCars / 2; }
double ClassLapTime(int car) { return Gt3(car) ? 138.0 : 152.0; }
double LapTime(int car) { return ClassLapTime(car) + ((car - 1) % (kFieldCars / 2)) * 0.25; }

}  // namespace

void FillSession(std::span<std::uint8_t> row, const FieldOffsets& offsets, std::int32_t tick,
                 bool field) {
  const double seconds = tick / 60.0;
  Put(row, offsets.sessionTime, seconds);
  Put(row, offsets.sessionNum, std::int32_t{0});
  Put(row, offsets.playerCarIdx, std::int32_t{kPlayerCar});
  for (int car = 0; car < 64; ++car) {
    const bool racing = field && car >= 1 && car <= kFieldCars;
    // Lined up a hundredth of a lap apart, then each at its own pace.
    const double laps = racing ? 1.0 - (car - 1) * 0.01 + seconds / LapTime(car) : -1.0;
    const double whole = std::floor(laps);
    // The last car spends half a minute in the pit lane every five minutes.
    const bool pitting = racing && car == kFieldCars && std::fmod(seconds, 300.0) < 30.0;
    // Element `car` of the array at `base` (-1 when the layout lacks it).
    const auto at = [car](std::int32_t base, std::int32_t size) {
      return base < 0 ? -1 : base + car * size;
    };
    Put(row, at(offsets.lapCompleted, 4), static_cast<std::int32_t>(whole));
    Put(row, at(offsets.lapDistPct, 4), static_cast<float>(racing ? laps - whole : -1.0));
    Put(row, at(offsets.trackSurface, 4), std::int32_t{racing ? (pitting ? 2 : 3) : -1});
    Put(row, at(offsets.onPitRoad, 1), static_cast<std::uint8_t>(pitting ? 1 : 0));
    Put(row, at(offsets.position, 4), std::int32_t{racing ? car : 0});
    Put(row, at(offsets.classPosition, 4),
        std::int32_t{racing ? (car - 1) % (kFieldCars / 2) + 1 : 0});
    Put(row, at(offsets.lastLapTime, 4), static_cast<float>(racing ? LapTime(car) : -1.0));
    Put(row, at(offsets.bestLapTime, 4), static_cast<float>(racing ? LapTime(car) - 0.3 : -1.0));
  }
}

std::string FieldSessionText() {
  std::string text = publisher::DefaultSessionText();
  const std::string practice = "SessionType: Practice";
  text.replace(text.find(practice), practice.size(), "SessionType: Race");
  std::string drivers =
      " Drivers:\n"
      " - CarIdx: 0\n"
      "   UserName: Pace Car\n"
      "   CarPath: safety pcporsche911cup\n"
      "   CarIsPaceCar: 1\n";
  for (int car = 1; car <= kFieldCars; ++car) {
    const bool gt3 = Gt3(car);
    const std::string number = std::to_string(car);
    drivers += " - CarIdx: " + number +
               "\n   UserName: " + (car == kPlayerCar ? "Sam Driver" : "Driver " + number) +
               "\n   TeamName: Team " + number + "\n   CarNumber: \"" + number +
               "\"\n   CarPath: " +
               (car == kPlayerCar ? "porsche992rgt3"
                : gt3             ? "bmwm4gt3"
                                  : "bmwm4gt4") +
               "\n   CarClassID: " + (gt3 ? "2708" : "4083") +
               "\n   CarClassShortName: " + (gt3 ? "GT3" : "GT4") +
               "\n   CarClassEstLapTime: " + (gt3 ? "138.0000" : "152.0000") +
               "\n   CarClassColor: " + (gt3 ? "0xffda59" : "0x33ceff") +
               "\n   CarIsPaceCar: 0\n   IsSpectator: 0\n";
  }
  const std::size_t from = text.find(" Drivers:\n");
  text.replace(from, text.find("SplitTimeInfo:") - from, drivers);
  return text;
}

bool OpenFeed(Feed& feed, std::string* error) {
  platform::RemoveNamedMapping(simlink::kMappingName);
  platform::RemoveNamedEvent(simlink::kDataValidEventName);
  const publisher::Layout layout = publisher::DefaultLayout();
  if (!publisher::OpenNamed(feed.sim, layout, publisher::DefaultSessionText(), error)) {
    return false;
  }
  feed.offsets = RelayedOffsets(layout);
  feed.fieldOffsets = FieldOffsetsOf(layout);
  feed.row.assign(static_cast<std::size_t>(layout.rowLength), 0);
  feed.publishTimes = std::make_unique<std::atomic<std::int64_t>[]>(kPublishTimeRing);
  // Sleeps end when asked for, not up to 50 us later: high row rates need
  // their spacing kept.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  return true;
}

void WriteFieldText(Feed& feed, bool field) {
  publisher::WriteSessionText(feed.sim.region, feed.sim.layout,
                              field ? FieldSessionText() : publisher::DefaultSessionText());
}

void UseField(Feed& feed, bool field) {
  feed.field = field;
  WriteFieldText(feed, field);
  // A program that starts reads the newest row at once: one of the rows
  // the text goes with.
  Publish(feed, kFirstRowRate, 1);
}

void CloseFeed(Feed&) {
  platform::RemoveNamedMapping(simlink::kMappingName);
  platform::RemoveNamedEvent(simlink::kDataValidEventName);
}

std::int32_t NextTick(const Feed& feed) { return feed.sim.tickCount + 1; }

double Publish(Feed& feed, double rate, std::int64_t count, const std::function<void()>& midway) {
  const auto spacing = static_cast<std::int64_t>(1e9 / rate);
  std::int64_t due = platform::MonotonicNanoseconds();
  std::int64_t first = 0;
  std::int64_t last = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    if (midway && i > 0) {
      SleepUntil(due - spacing / 2);
      midway();
    }
    SleepUntil(due);
    const std::int32_t tick = NextTick(feed);
    if (feed.everyValue) {
      FillEveryValue(feed.row, feed.sim.layout, feed.offsets, tick);
      FillSession(feed.row, feed.fieldOffsets, tick, feed.field);
    } else {
      FillRow(feed.row, feed.offsets, tick);
    }
    const std::int64_t now = platform::MonotonicNanoseconds();
    feed.publishTimes[static_cast<std::size_t>(tick) % kPublishTimeRing].store(
        now, std::memory_order_release);
    publisher::PublishRow(feed.sim, feed.row);
    if (i == 0) first = now;
    last = now;
    // Never closer than the spacing: a late row pushes the next one back
    // rather than letting two rows out back to back.
    if (now >= due + spacing) ++feed.lateRows;
    due = std::max(due, now) + spacing;
  }
  return static_cast<double>(count) * 1e9 / static_cast<double>(last - first + spacing);
}

std::int64_t PublishTime(const Feed& feed, std::int64_t tick) {
  return feed.publishTimes[static_cast<std::size_t>(tick) % kPublishTimeRing].load(
      std::memory_order_acquire);
}

void ExpectedRow(const Feed& feed, std::int64_t tick, std::vector<std::uint8_t>& row) {
  row.assign(feed.row.size(), 0);
  const auto stamped = static_cast<std::int32_t>(tick);
  if (feed.everyValue) {
    FillEveryValue(row, feed.sim.layout, feed.offsets, stamped);
    FillSession(row, feed.fieldOffsets, stamped, feed.field);
  } else {
    FillRow(row, feed.offsets, stamped);
  }
}

std::string_view ExpectedDataPacket(const Feed& feed, std::int64_t tick,
                                    std::vector<std::uint8_t>& row,
                                    char (&packet)[relay::kPacketBufferSize]) {
  std::fill(row.begin(), row.end(), std::uint8_t{0});
  FillRow(row, feed.offsets, static_cast<std::int32_t>(tick));
  return {packet, relay::FormatDataPacket(row, feed.offsets, packet)};
}

std::string ExpectedSessionInfo() {
  static sessioninfo::CarFacts facts;
  sessioninfo::ReadCarFacts(publisher::DefaultSessionText().c_str(), facts);
  char packet[relay::kPacketBufferSize];
  return {packet, relay::FormatSessionInfo(facts, packet)};
}

}  // namespace bench

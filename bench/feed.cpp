// The publishing side of the benchmark.
#include "feed.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "sessioninfo/car_facts.h"
#include "simlink/region.h"

namespace bench {

namespace {

constexpr std::size_t kPublishTimeRing = std::size_t{1} << 20;

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

bool OpenFeed(Feed& feed, std::string* error) {
  platform::RemoveNamedMapping(simlink::kMappingName);
  platform::RemoveNamedEvent(simlink::kDataValidEventName);
  const publisher::Layout layout = publisher::DefaultLayout();
  if (!publisher::OpenNamed(feed.sim, layout, publisher::DefaultSessionText(), error)) {
    return false;
  }
  feed.offsets = RelayedOffsets(layout);
  feed.row.assign(static_cast<std::size_t>(layout.rowLength), 0);
  feed.publishTimes = std::make_unique<std::atomic<std::int64_t>[]>(kPublishTimeRing);
  // Sleeps end when asked for, not up to 50 us later: high row rates need
  // their spacing kept.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  return true;
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

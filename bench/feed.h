// The benchmark's simulator: publishes rows into the named region at a set
// rate, each carrying its tick number in the relayed "RaceLaps" field, and keeps
// the monotonic time at which each tick was published. Every other relayed
// value is a function of the tick too, so a receiver can rebuild the exact
// bytes any DATA_PACKET must have. With the field, the rows also carry a
// race of kFieldCars cars going round in the per-car arrays, and the session
// text lists their drivers, so that relay-web works out standings from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "relay/messages.h"
#include "sim-publisher/publisher.h"

namespace bench {

// Row offsets of the relayed variables in the feed's layout.
relay::VariableOffsets RelayedOffsets(const publisher::Layout& layout);
// Writes the relayed values of `tick` into `row`; everything else stays as
// it was (zero in a fresh row).
void FillRow(std::span<std::uint8_t> row, const relay::VariableOffsets& offsets, std::int32_t tick);
// Writes a value of `tick` into every element of every variable of `layout`,
// each variable and element a value of its own, none of them round, then the
// relayed values of FillRow: a row whose every value a reader can check.
void FillEveryValue(std::span<std::uint8_t> row, const publisher::Layout& layout,
                    const relay::VariableOffsets& offsets, std::int32_t tick);

// The field: kFieldCars cars in two classes of kFieldCars / 2, each at its
// own pace, all on track; the pace car stays in the pits.
inline constexpr int kFieldCars = 60;
// The drivers DefaultSessionText lists, the pace car aside.
inline constexpr int kDefaultDrivers = 3;
// The driver's car (DriverCarIdx and PlayerCarIdx) in both texts.
inline constexpr int kPlayerCar = 2;

// Where the values the field is made of lie in a row.
struct FieldOffsets {
  std::int32_t sessionTime = -1, sessionNum = -1, playerCarIdx = -1;
  std::int32_t lapCompleted = -1, lapDistPct = -1, trackSurface = -1, onPitRoad = -1, position = -1,
               classPosition = -1, lastLapTime = -1, bestLapTime = -1;
};
FieldOffsets FieldOffsetsOf(const publisher::Layout& layout);
// Writes what makes FillEveryValue's rows one session of the simulator's:
// SessionTime (the tick at 60 rows/s), SessionNum 0 and PlayerCarIdx
// kPlayerCar, which FillEveryValue would change every row, and every entry
// of the per-car arrays the standings read: with `field`, the field as it
// stands at `tick`; otherwise every car out of the world.
void FillSession(std::span<std::uint8_t> row, const FieldOffsets& offsets, std::int32_t tick,
                 bool field);
// publisher::DefaultSessionText for a race of the field: the same car
// facts, with kFieldCars drivers in two classes and the pace car.
std::string FieldSessionText();

struct Feed {
  publisher::Publisher sim;
  relay::VariableOffsets offsets{};
  std::vector<std::uint8_t> row;
  // Publish times by tick, in a ring long enough to outlast any delivery.
  std::unique_ptr<std::atomic<std::int64_t>[]> publishTimes;
  // Rows published later than their spacing asked for (the thread overslept
  // a whole period); the spacing is never shortened to catch up.
  std::int64_t lateRows = 0;
  // Rows carry FillEveryValue's values rather than FillRow's alone.
  bool everyValue = false;
  // FillEveryValue's rows carry the field on track (see FillSession).
  bool field = false;
  FieldOffsets fieldOffsets;
};

// Lays the default layout out in freshly made named objects (earlier ones are
// removed first), status bit set, no row published yet.
bool OpenFeed(Feed& feed, std::string* error);
// Writes FieldSessionText into the region, or DefaultSessionText.
void WriteFieldText(Feed& feed, bool field);
// From now on, rows with the field and FieldSessionText, or without either,
// beginning with one row published at once: for the next programs to start,
// which read the text and the newest row as they start.
void UseField(Feed& feed, bool field);
// Removes the named objects.
void CloseFeed(Feed& feed);

// The tick the next published row will carry.
std::int32_t NextTick(const Feed& feed);
// Publishes `count` rows, one every 1/rate seconds at the earliest, and
// returns the rate achieved (rows per second from the first row to the last
// plus one spacing). `midway`, when given, is called half a spacing before
// each row after the first: when the row before it has long arrived.
double Publish(Feed& feed, double rate, std::int64_t count,
               const std::function<void()>& midway = {});
std::int64_t PublishTime(const Feed& feed, std::int64_t tick);

// The row the feed published for `tick`, in `row` (resized to the feed's
// row length).
void ExpectedRow(const Feed& feed, std::int64_t tick, std::vector<std::uint8_t>& row);
// The DATA_PACKET the relay must send for `tick`, built as the relay builds
// it from the row the feed published; `row` is scratch space of the feed's
// row length.
std::string_view ExpectedDataPacket(const Feed& feed, std::int64_t tick,
                                    std::vector<std::uint8_t>& row,
                                    char (&packet)[relay::kPacketBufferSize]);
// The SESSION_INFO the relay must send for the feed's session text.
std::string ExpectedSessionInfo();

}  // namespace bench

// The benchmark's simulator: publishes rows into the named region at a set
// rate, each carrying its tick number in the relayed "RaceLaps" field, and keeps
// the monotonic time at which each tick was published. Every other relayed
// value is a function of the tick too, so a receiver can rebuild the exact
// bytes any DATA_PACKET must have.
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
};

// Lays the default layout out in freshly made named objects (earlier ones are
// removed first), status bit set, no row published yet.
bool OpenFeed(Feed& feed, std::string* error);
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

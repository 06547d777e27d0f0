// What the benchmark's clients do with what they receive: split the stream
// into messages at the keywords, account for every published row at every
// client (delivered, or missing), and summarise latencies.
//
// A SESSION_INFO takes the place of the DATA_PACKET of the row on which it was
// sent and carries no tick, so it is counted as the delivery of one row that
// the surrounding DATA_PACKETs leave out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace bench {

enum class MessageKind { kIncomplete, kData, kSessionInfo, kGarbage };

struct Message {
  MessageKind kind = MessageKind::kIncomplete;
  std::string_view text;  // the whole message, or the bytes skipped as garbage
};

// Takes the first message off the front of `stream`. A DATA_PACKET is whole
// once its sixteenth ';' has arrived; a SESSION_INFO once the next keyword
// begins after it. Bytes that do not start with a keyword come back as one
// kGarbage message reaching up to the next keyword (or the end). kIncomplete,
// with nothing consumed, until more bytes are needed.
Message NextMessage(std::string_view stream);

// The tick a DATA_PACKET carries in its "RaceLaps" field (field 11); -1 when the
// field is not a plain non-negative integer.
std::int64_t TickOf(std::string_view dataPacket);

// The span of published rows being measured: ticks first..last inclusive.
struct Window {
  std::int64_t first = 0;
  std::int64_t last = -1;
};

// Delivery accounting for one client, fed in stream order.
struct Tally {
  std::int64_t lastTick = -1;  // of the last DATA_PACKET, in any window
  std::int64_t sessionInfosSinceData = 0;
  // Within the current window:
  std::int64_t delivered = 0;
  std::int64_t missing = 0;
  // Over the client's whole life: DATA_PACKETs whose tick was not above the
  // one before them.
  std::int64_t outOfOrder = 0;
};

// Starts a new window: its counts go back to zero; the stream position is kept.
void OpenWindow(Tally& tally);
// A DATA_PACKET of `tick`. True when the tick lies in `window` and is new:
// the caller then takes its latency.
bool CountData(Tally& tally, const Window& window, std::int64_t tick);
void CountSessionInfo(Tally& tally);
// Ends the window: rows after the last one seen are missing, less those a
// SESSION_INFO stood in for.
void CloseWindow(Tally& tally, const Window& window);
// True once the client has received something for every row up to `tick`.
bool CaughtUp(const Tally& tally, std::int64_t tick);

// Nearest-rank percentile of `sorted` (ascending): the smallest value with
// at least `percent` % of the values at or below it. 0 when empty.
std::int64_t Percentile(const std::vector<std::int64_t>& sorted, double percent);

struct LatencySummary {
  std::size_t count = 0;
  std::int64_t p50 = 0, p99 = 0, p999 = 0, max = 0;  // nanoseconds
};
// Sorts `samples` and summarises them.
LatencySummary Summarise(std::vector<std::int64_t>& samples);

}  // namespace bench

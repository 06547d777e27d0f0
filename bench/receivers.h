// The benchmark's clients: loopback connections to the relay and to the
// floor, all read by one thread through epoll. Every message is checked
// against the bytes it must have, counted for its row, and, while a window
// asks for it, timed from publish to receipt.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed.h"
#include "measure.h"

namespace bench {

enum Side : int { kRelaySide = 0, kFloorSide = 1 };
inline constexpr int kSides = 2;

struct Receiver {
  int fd = -1;
  std::string carry;  // the start of a message still arriving
  Tally tally;
  bool receivedAny = false;
  bool closed = false;
};

// Totals for one side, over the life of its clients.
struct SideFaults {
  std::int64_t corrupt = 0;     // messages whose bytes are not what the row gives
  std::int64_t outOfOrder = 0;  // filled in by Snapshot from the tallies
  std::int64_t closed = 0;      // connections the far end closed or broke
};

struct Latencies {
  // The first and the last client in table order, and all of them.
  std::vector<std::int64_t> first, last, all;
};

struct Receivers {
  const Feed* feed = nullptr;
  int epoll = -1;
  std::atomic<bool> running{false};
  std::thread thread;

  // Everything below is shared with the reading thread and guarded.
  std::mutex mutex;
  std::vector<Receiver> clients[kSides];
  SideFaults faults[kSides];
  std::int64_t bytes[kSides] = {};  // received so far: shows whether data still flows
  int windowSide = kRelaySide;
  Window window;  // empty unless a window is open
  bool timeWindow = false;
  Latencies latencies[kSides];

  // What the reading thread needs to check messages; its own.
  std::string expectedSessionInfo;
  struct Expected {
    std::int64_t tick = -1;
    std::string text;
  } expected[16];
  std::vector<std::uint8_t> row;
  char scratch[65536];
};

bool StartReceivers(Receivers& receivers, const Feed& feed, std::string* error);
void StopReceivers(Receivers& receivers);

// Opens `count` connections to 127.0.0.1:`port` for `side`, retrying the
// first until `timeoutMilliseconds` pass (the relay may still be starting).
bool Connect(Receivers& receivers, int side, int port, std::size_t count, int timeoutMilliseconds,
             std::string* error);
// Closes every connection of `side` and forgets its clients and latencies.
void Disconnect(Receivers& receivers, int side);

// How many of `side`'s clients have received at least one message.
std::size_t ClientsServed(Receivers& receivers, int side);

// Starts counting rows first..last for `side`, timing them when `time`.
void OpenWindow(Receivers& receivers, int side, Window window, bool time);
// Calls `caughtUp` about every millisecond until it returns true (then
// true), or until the byte count it reports in `bytes` has not moved for
// `quietMilliseconds` (then false).
bool WaitWhileBytesFlow(int quietMilliseconds,
                        const std::function<bool(std::int64_t* bytes)>& caughtUp);

// Waits until every client of `side` has something for each row up to
// `tick`. Gives up, returning false, once the side has received nothing for
// `quietMilliseconds`: what is still missing then is lost, not late.
bool WaitCaughtUp(Receivers& receivers, int side, std::int64_t tick, int quietMilliseconds);

struct WindowCounts {
  std::int64_t delivered = 0;
  std::int64_t missing = 0;
};
// Ends the window and sums its counts over the side's clients.
WindowCounts CloseWindow(Receivers& receivers);

// The side's faults so far.
SideFaults Faults(Receivers& receivers, int side);
// Hands over the latencies taken so far for `side` and clears them.
Latencies TakeLatencies(Receivers& receivers, int side);

}  // namespace bench

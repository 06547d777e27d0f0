// relay-web's direct source: the simulator's shared memory on this machine,
// read with the relay's own region code (the same attach, tick rules and
// tear-free copy) on a thread of its own, so that waiting for rows never
// holds up the thread that serves browsers.
//
// The reader thread hands each new row over through three buffers: it fills
// one, one holds the newest complete row, and the server's thread reads the
// third; they swap without locks, so neither side waits for the other and a
// row allocates nothing. Changes of state (the simulator coming and going, a
// new session text) are looked for once a second and passed under a lock.
// The layout (the header's row length, variable count and records) is
// compared with every row: a new one is read at once, and no row is read
// through a directory other than the one it was stored under. Whenever a
// directory is read, or the simulator is seen running again, the newest row
// in the region is published at once, so that a browser has a row to show
// even while rows have stopped.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay-web/buffer_pool.h"
#include "relay-web/feed.h"
#include "relay-web/handler_memory.h"
#include "relay-web/variables.h"
#include "simlink/region.h"

namespace web {

// How often the reader looks at the simulator's state, session text and
// directory; and how long the status bit may stay clear before the region
// is let go (a simulator that starts again may lay out a new one).
inline constexpr std::int64_t kCheckIntervalNanoseconds = 1000000000;
inline constexpr std::int64_t kReattachAfterNanoseconds = 2000000000;

class SimulatorLink {
 public:
  SimulatorLink(boost::asio::io_context& io, Feed& feed);
  ~SimulatorLink();
  SimulatorLink(const SimulatorLink&) = delete;
  SimulatorLink& operator=(const SimulatorLink&) = delete;

  // Starts the reader thread.
  void Start();

 private:
  struct Slot {
    std::vector<std::uint8_t> bytes;
    std::int32_t tick = 0;
    std::uint64_t directory = 0;  // the directory version it is laid out by
  };
  // What changed, waiting for the server's thread.
  struct Changes {
    std::optional<bool> running;
    std::shared_ptr<const Directory> directory;
    std::uint64_t directoryVersion = 0;
    std::optional<std::string> session;      // the session message
    std::optional<std::string> sessionText;  // the text itself
    std::optional<double> tickRate;          // rows per second
  };

  // ---- The reader thread
  void ReadLoop();
  // Looks at the simulator's state; true when it published the newest row
  // (the row just fetched, if any, is then not published again).
  bool Check(std::int64_t now);
  // The layout changed, or is not known yet: reads it, and with it the
  // directory, into `found`. False when the header does not fit the
  // mapping: no simulator.
  bool Relayout(Changes& found);
  // Passes `found` to the server's thread.
  void PostChanges(Changes& found);
  // Copies the newest row in the region and publishes it; false when there
  // is none.
  bool PublishNewestRow();
  void Detach();
  void PublishRow();
  void Post();

  // ---- The server's thread
  void Deliver();

  boost::asio::io_context& io_;
  Feed& feed_;
  std::thread reader_;
  std::atomic<bool> stop_{false};

  // Owned by the reader thread.
  simlink::TelemetryRegion region_;
  simlink::RowBuffer copy_;
  RegionLayout layout_;  // the layout of directoryVersion_
  bool layoutKnown_ = false;
  std::string text_;
  bool running_ = false;
  std::int64_t lastCheck_ = 0;
  std::int64_t notRunningSince_ = 0;
  std::uint64_t directoryVersion_ = 0;
  std::int32_t tickRate_ = 0;

  // The three row buffers: back_ is the reader's, front_ the server's, and
  // middle_ (with kFresh when it holds a row not yet taken) is passed
  // between them.
  static constexpr int kFresh = 4;
  std::array<Slot, 3> slots_;
  int back_ = 0;
  int front_ = 1;
  std::atomic<int> middle_{2};

  std::mutex changesMutex_;
  Changes changes_;
  std::atomic<bool> posted_{false};
  const std::shared_ptr<HandlerMemory> postMemory_ = std::make_shared<HandlerMemory>();

  // Owned by the server's thread.
  std::shared_ptr<const Directory> directory_;
  std::uint64_t appliedVersion_ = 0;
  BufferPool dataBuffers_{kDataJsonCapacity};
};

}  // namespace web

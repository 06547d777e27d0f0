// What relay-web's sources hand their telemetry to: it passes everything on
// to the web server and works out the race strategy (the fuel figures) from
// every row, whichever the source, and the standings and relative from every
// row that carries the simulator's per-car arrays, so that the page,
// /api/latest and any client of the feed see the same figures. Reading the
// simulator, it also turns the strategy's lap records and the pit stops into
// the race log's lap and pit messages.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "relay-web/buffer_pool.h"
#include "relay-web/handler_memory.h"
#include "relay-web/pit_stops.h"
#include "relay-web/standings.h"
#include "relay-web/strategy.h"
#include "relay-web/variables.h"
#include "relay-web/web_server.h"

namespace web {

// At most this often a strategy message for figures that changed (and at
// the latest this long after the change); at once when a lap ends.
inline constexpr std::chrono::seconds kStrategyInterval{1};
// The standings and relative go out at most this often.
inline constexpr std::chrono::milliseconds kStandingsInterval{250};
// The simulator's rows per second until its header says otherwise.
inline constexpr double kDefaultTickRate = 60;

class Feed {
 public:
  Feed(boost::asio::io_context& io, WebServer& server, double fuelMarginLaps);

  // The same calls as the web server's; see there.
  void PublishStatus(bool present);
  void PublishSession(std::string json);
  void PublishSessionText(std::string text);
  void PublishDirectory(std::shared_ptr<const Directory> directory);
  void PublishRow(std::shared_ptr<const std::string> data, std::span<const std::uint8_t> row,
                  std::int32_t tick);
  // The simulator's rows per second: lap times from the rows' count use it.
  void SetTickRate(double rowsPerSecond);
  // The fuel figures as they stand.
  const strategy::Figures& figures() const { return strategy_.figures(); }

 private:
  // Sends the figures when they changed; `now` a lap ended, otherwise at
  // most once a kStrategyInterval.
  void SendStrategy(bool now);
  // Feeds the row's per-car values to the standings, and sends the
  // standings and relative when kStandingsInterval has passed.
  void UpdateStandings(std::span<const std::uint8_t> row);
  void SendStandings();
  void NewSession();
  // The race log's key for the session as it stands, given to the server
  // when it changes.
  void UpdateLogSession();
  // Sends the lap records the strategy has ready, and a pit stop.
  void SendLaps();
  void SendPit(const pits::Stop& stop);
  // True when lap and pit messages can be made: the session and the
  // driver are known. Says once per session why not, when they are not.
  bool Recording();

  WebServer& server_;
  strategy::Strategy strategy_;
  double tickRate_ = kDefaultTickRate;
  std::shared_ptr<const Directory> directory_;
  // Where the values the strategy reads lie in the directory, or -1.
  struct Indices {
    int lap = -1, fuelLevel = -1, fuelLevelPct = -1, lapDistPct = -1, onPitRoad = -1,
        isOnTrack = -1, sessionLapsRemain = -1, sessionTimeRemain = -1, lapLastLapTime = -1,
        sessionTime = -1, sessionFlags = -1, sessionNum = -1, position = -1, classPosition = -1,
        incidents = -1, inPitStall = -1, speed = -1;
  } indices_;
  // What tells one session from the next: the session's number in the rows
  // (the simulator's SessionNum) and the session text's ids.
  double sessionNum_ = 0;
  bool haveSessionNum_ = false;
  std::string sessionId_;
  // The race log: its session's key ("SubSessionID/SessionNum", empty until
  // both are known), the driver's name, and the player's values of the
  // newest row.
  std::string subSessionId_;
  std::string logSession_;
  std::string driver_;
  bool toldNotRecording_ = false;
  pits::PitStops pits_;
  struct Player {
    std::optional<std::int32_t> position, classPosition;
    std::optional<double> incidents;  // PlayerCarMyIncidentCount
  } player_;
  // The incident count at the last lap's record, or at the first row after
  // a session began.
  std::optional<double> incidentsBefore_;
  // Where the values the standings read lie in the directory, or -1.
  struct CarIndices {
    int playerCarIdx = -1, lapCompleted = -1, lapDistPct = -1, trackSurface = -1, onPitRoad = -1,
        position = -1, classPosition = -1, lastLapTime = -1, bestLapTime = -1;
  } carIndices_;
  standings::Standings standings_;
  bool haveField_ = false;  // a session text was read
  DriverMembers drivers_;
  // Filled from every row; the two results only when they are sent.
  standings::Row standingsRow_;
  standings::Table table_;
  standings::Relative relative_;
  BufferPool standingsBuffers_{kStandingsJsonCapacity};
  BufferPool relativeBuffers_{kStandingsJsonCapacity / 4};
  std::chrono::steady_clock::time_point standingsSentAt_;
  // Rows held back by the interval go out when it is over, rows or not, so
  // the last rows before the simulator pauses are sent too.
  boost::asio::steady_timer standingsHeldBack_;
  bool standingsHolding_ = false;
  const std::shared_ptr<HandlerMemory> standingsTimerMemory_ = std::make_shared<HandlerMemory>();
  std::optional<strategy::Figures> sent_;
  std::chrono::steady_clock::time_point sentAt_;
  // A change held back by the interval goes out when it is over, rows or
  // not.
  boost::asio::steady_timer heldBack_;
  bool holding_ = false;
};

}  // namespace web

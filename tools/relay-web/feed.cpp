// Passing the telemetry on, and the strategy figures, the standings and the
// race log with it.
#include "relay-web/feed.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "sessioninfo/query.h"

namespace web {

using Clock = std::chrono::steady_clock;

namespace {

// The session text's value at `path` without its trailing blanks, or empty.
std::string_view Value(std::string_view text, const char* path) {
  const char* start = nullptr;
  std::int32_t length = 0;
  if (!sessioninfo::FindValue(text, path, &start, &length) || length <= 0) return {};
  std::string_view value(start, static_cast<std::size_t>(length));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.remove_suffix(1);
  return value;
}

// A whole number read as a double, or `otherwise` when it is none.
std::int32_t Whole(double value, std::int32_t otherwise) {
  if (!(value >= -2147483648.0 && value < 2147483648.0)) return otherwise;
  return static_cast<std::int32_t>(value);
}

// PlayerCarPosition and PlayerCarClassPosition: 0 while the car has none.
std::optional<std::int32_t> Position(double value) {
  if (!(value >= 1 && value <= 1000)) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

Feed::Feed(boost::asio::io_context& io, WebServer& server, double fuelMarginLaps)
    : server_(server),
      strategy_(fuelMarginLaps, kDefaultTickRate),
      standingsHeldBack_(io),
      heldBack_(io) {}

void Feed::PublishStatus(bool present) {
  if (!present) {
    // The lap waiting for its time goes with the time it has, and a stop
    // under way as far as it was seen.
    strategy_.Interrupt();
    SendLaps();
    if (pits_.Close()) SendPit(pits_.stop());
    SendStrategy(true);
  }
  server_.PublishStatus(present);
}

void Feed::PublishSession(std::string json) { server_.PublishSession(std::move(json)); }

void Feed::PublishSessionText(std::string text) {
  // The simulator rewrites the text within a session (results, drivers
  // joining): only other ids make a new session. The first text only begins
  // one, and a text without the ids tells nothing.
  const std::string_view sessionId = Value(text, "WeekendInfo:SessionID:");
  const std::string_view subSessionId = Value(text, "WeekendInfo:SubSessionID:");
  if (!sessionId.empty() || !subSessionId.empty()) {
    std::string id = std::string(sessionId) + "/" + std::string(subSessionId);
    if (!sessionId_.empty() && id != sessionId_) NewSession();
    sessionId_ = std::move(id);
    subSessionId_ = subSessionId;
  }
  // The drivers may change within a session (joining, leaving, swapping):
  // the list is read anew, and the cars' histories go on.
  standings::Field field = standings::ReadField(text);
  // The driver of the player's car, now: after a driver swap, the next one.
  const std::string_view carText = Value(text, "DriverInfo:DriverCarIdx:");
  int car = -1;
  std::from_chars(carText.data(), carText.data() + carText.size(), car);
  driver_ = car >= 0 && car < standings::kMaxCars
                ? field.drivers[static_cast<std::size_t>(car)].name
                : std::string();
  UpdateLogSession();
  drivers_ = DriverMembersJson(field);
  standings_.SetField(std::move(field));
  haveField_ = true;
  server_.PublishSessionText(std::move(text));
}

void Feed::PublishDirectory(std::shared_ptr<const Directory> directory) {
  directory_ = directory;
  const auto find = [&](const char* name) { return directory_ ? directory_->Find(name) : -1; };
  indices_ = {find("Lap"),
              find("FuelLevel"),
              find("FuelLevelPct"),
              find("LapDistPct"),
              find("OnPitRoad"),
              find("IsOnTrack"),
              find("SessionLapsRemain"),
              find("SessionTimeRemain"),
              find("LapLastLapTime"),
              find("SessionTime"),
              find("SessionFlags"),
              find("SessionNum"),
              find("PlayerCarPosition"),
              find("PlayerCarClassPosition"),
              find("PlayerCarMyIncidentCount"),
              find("PlayerCarInPitStall"),
              find("Speed")};
  carIndices_ = {
      find("PlayerCarIdx"),        find("CarIdxLapCompleted"), find("CarIdxLapDistPct"),
      find("CarIdxTrackSurface"),  find("CarIdxOnPitRoad"),    find("CarIdxPosition"),
      find("CarIdxClassPosition"), find("CarIdxLastLapTime"),  find("CarIdxBestLapTime")};
  server_.PublishDirectory(std::move(directory));
}

void Feed::SetTickRate(double rowsPerSecond) {
  if (!(rowsPerSecond > 0) || !std::isfinite(rowsPerSecond)) return;
  tickRate_ = rowsPerSecond;
  strategy_.SetTickRate(rowsPerSecond);
}

void Feed::PublishRow(std::shared_ptr<const std::string> data, std::span<const std::uint8_t> row,
                      std::int32_t tick) {
  if (directory_ != nullptr) {
    const auto number = [&](int index) {
      return index >= 0 ? ReadNumber(row, directory_->variables[static_cast<std::size_t>(index)])
                        : std::nan("");
    };
    const auto optional = [&](int index) -> std::optional<double> {
      if (index < 0) return std::nullopt;
      return number(index);
    };
    // Another session in the rows (practice to qualifying, say) starts the
    // figures afresh; the same one after the simulator came back does not.
    const double sessionNum = number(indices_.sessionNum);
    if (std::isfinite(sessionNum) && (!haveSessionNum_ || sessionNum != sessionNum_)) {
      if (haveSessionNum_) NewSession();
      sessionNum_ = sessionNum;
      haveSessionNum_ = true;
      UpdateLogSession();
    }
    strategy::Row values;
    values.lap = Whole(number(indices_.lap), 0);
    values.fuelLevel = number(indices_.fuelLevel);
    values.fuelLevelPct = number(indices_.fuelLevelPct);
    values.lapDistPct = number(indices_.lapDistPct);
    values.onPitRoad = number(indices_.onPitRoad) != 0;
    values.isOnTrack = number(indices_.isOnTrack) != 0;
    values.sessionLapsRemain = Whole(number(indices_.sessionLapsRemain), strategy::kNoLapLimit);
    values.sessionTimeRemain = number(indices_.sessionTimeRemain);
    values.lapLastLapTime = optional(indices_.lapLastLapTime);
    // Without the simulator's session time (a relay's stream), the rows' own
    // count at the tick rate keeps time: never the wall clock, so a replay
    // at ten times its speed still gives the recorded lap times.
    values.sessionTime =
        indices_.sessionTime >= 0 ? number(indices_.sessionTime) : tick / tickRate_;
    const double flags = number(indices_.sessionFlags);
    if (flags >= 0 && flags < 4294967296.0) values.sessionFlags = static_cast<std::uint32_t>(flags);
    const double seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    const double incidents = number(indices_.incidents);
    player_ = {Position(number(indices_.position)), Position(number(indices_.classPosition)),
               incidents >= 0 && incidents < 1e9 ? std::optional<double>(incidents) : std::nullopt};
    if (!incidentsBefore_) incidentsBefore_ = player_.incidents;
    SendStrategy(strategy_.Feed(values, seconds));
    SendLaps();
    // Pit stops are timed in the simulator's own session time only.
    pits::Row pit;
    pit.lap = values.lap;
    pit.onPitRoad = values.onPitRoad;
    if (indices_.sessionTime >= 0) pit.sessionTime = values.sessionTime;
    pit.fuelLevel = values.fuelLevel;
    if (indices_.inPitStall >= 0) pit.inPitStall = number(indices_.inPitStall) != 0;
    pit.speed = optional(indices_.speed);
    if (pits_.Feed(pit)) SendPit(pits_.stop());
    UpdateStandings(row);
  }
  server_.PublishRow(std::move(data), row, tick);
}

void Feed::NewSession() {
  // What the old session still has goes to its log first.
  strategy_.Interrupt();
  SendLaps();
  if (pits_.Close()) SendPit(pits_.stop());
  strategy_.NewSession();
  SendStrategy(true);
  standings_.NewSession();
  incidentsBefore_.reset();
}

void Feed::UpdateLogSession() {
  if (subSessionId_.empty() || !haveSessionNum_) return;
  std::string session = subSessionId_ + "/" + std::to_string(Whole(sessionNum_, 0));
  if (session == logSession_) return;
  logSession_ = std::move(session);
  toldNotRecording_ = false;
  server_.StartLog(logSession_);
}

bool Feed::Recording() {
  if (!logSession_.empty() && !driver_.empty()) return true;
  // With a relay as source there is no session text, and nothing to say.
  if (haveField_ && !toldNotRecording_) {
    toldNotRecording_ = true;
    std::printf(
        "relay-web: not recording laps and pit stops: %s\n",
        logSession_.empty()
            ? "no WeekendInfo SubSessionID in the session text, or no SessionNum in the rows"
            : "the session text gives no UserName for DriverInfo DriverCarIdx");
    std::fflush(stdout);
  }
  return false;
}

void Feed::SendLaps() {
  strategy::LapRecord record;
  while (strategy_.NextLapRecord(&record)) {
    // The incidents the simulator counted since the last lap's record (it
    // counts them, as it writes the lap's time, a moment after the line).
    std::optional<std::int32_t> incidents;
    const std::optional<double> now = player_.incidents;
    if (record.whole && now && incidentsBefore_ && *now >= *incidentsBefore_ &&
        *now - *incidentsBefore_ <= 1000) {
      incidents = static_cast<std::int32_t>(*now - *incidentsBefore_);
    }
    if (now) incidentsBefore_ = now;
    if (!Recording()) continue;
    server_.PublishLap(LapJson(
        {logSession_, driver_, record, player_.position, player_.classPosition, incidents}));
  }
}

void Feed::SendPit(const pits::Stop& stop) {
  if (Recording()) server_.PublishPit(PitJson(logSession_, driver_, stop));
}

void Feed::UpdateStandings(std::span<const std::uint8_t> row) {
  // Only the simulator's own rows carry the per-car arrays, and the drivers
  // come from its session text: a relay's stream gives neither.
  if (!haveField_ || carIndices_.lapDistPct < 0 || carIndices_.lapCompleted < 0) return;
  const auto& variables = directory_->variables;
  const auto number = [&](int index) {
    return index >= 0 ? ReadNumber(row, variables[static_cast<std::size_t>(index)]) : std::nan("");
  };
  // Each car's value of one array; cars past the array's end get `otherwise`.
  const auto each = [&](int index, auto& values, auto otherwise) {
    const Variable* variable = index >= 0 ? &variables[static_cast<std::size_t>(index)] : nullptr;
    const std::int32_t count = variable != nullptr ? variable->count : 0;
    for (std::int32_t car = 0; car < standings::kMaxCars; ++car) {
      const double value = car < count ? ReadNumber(row, *variable, car) : std::nan("");
      using Value = std::decay_t<decltype(values[0])>;
      if constexpr (std::is_same_v<Value, bool>) {
        values[static_cast<std::size_t>(car)] = value == value && value != 0;
      } else if constexpr (std::is_same_v<Value, double>) {
        values[static_cast<std::size_t>(car)] = value == value ? value : otherwise;
      } else {
        values[static_cast<std::size_t>(car)] = Whole(value, otherwise);
      }
    }
  };
  standings::Row& values = standingsRow_;
  values.sessionTime = number(indices_.sessionTime);
  values.sessionNum = Whole(number(indices_.sessionNum), 0);
  values.playerCarIdx = Whole(number(carIndices_.playerCarIdx), -1);
  each(carIndices_.lapCompleted, values.lapCompleted, 0);
  each(carIndices_.lapDistPct, values.lapDistPct, -1.0);
  // Without the track surfaces, a car with a lap distance is in the world.
  if (carIndices_.trackSurface >= 0) {
    each(carIndices_.trackSurface, values.trackSurface, -1);
  } else {
    for (std::size_t car = 0; car < values.trackSurface.size(); ++car) {
      values.trackSurface[car] = values.lapDistPct[car] >= 0 ? 3 : -1;
    }
  }
  each(carIndices_.onPitRoad, values.onPitRoad, false);
  each(carIndices_.position, values.position, 0);
  each(carIndices_.classPosition, values.classPosition, 0);
  each(carIndices_.lastLapTime, values.lastLapTime, -1.0);
  each(carIndices_.bestLapTime, values.bestLapTime, -1.0);
  if (!std::isfinite(values.sessionTime)) return;
  standings_.Feed(values);

  if (Clock::now() - standingsSentAt_ >= kStandingsInterval) return SendStandings();
  if (standingsHolding_) return;
  standingsHolding_ = true;
  standingsHeldBack_.expires_at(standingsSentAt_ + kStandingsInterval);
  standingsHeldBack_.async_wait(
      WithMemory(standingsTimerMemory_, [this](boost::system::error_code ec) {
        standingsHolding_ = false;
        if (!ec) SendStandings();
      }));
}

void Feed::SendStandings() {
  standingsSentAt_ = Clock::now();
  standings_.Compute(table_);
  const std::shared_ptr<std::string> standingsJson = standingsBuffers_.Free();
  StandingsJson(table_, drivers_, *standingsJson);
  server_.PublishStandings(standingsJson);
  standings_.ComputeRelative(relative_);
  const std::shared_ptr<std::string> relativeJson = relativeBuffers_.Free();
  RelativeJson(relative_, drivers_, *relativeJson);
  server_.PublishRelative(relativeJson);
}

void Feed::SendStrategy(bool now) {
  const strategy::Figures& figures = strategy_.figures();
  const Clock::time_point at = Clock::now();
  if (sent_ && !now) {
    if (!strategy::DifferAtDisplayPrecision(*sent_, figures)) return;
    if (at - sentAt_ < kStrategyInterval) {
      if (!holding_) {
        holding_ = true;
        heldBack_.expires_at(sentAt_ + kStrategyInterval);
        heldBack_.async_wait([this](boost::system::error_code ec) {
          holding_ = false;
          if (!ec) SendStrategy(false);
        });
      }
      return;
    }
  }
  sent_ = figures;
  sentAt_ = at;
  server_.PublishStrategy(StrategyJson(figures));
}

}  // namespace web
